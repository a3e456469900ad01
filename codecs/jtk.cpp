// The JPEG 2000 codec's context: the magic check, the error table with
// its records and handler, and the component-plane image.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "jtkint.h"

#define CMN_SOURCE "jtk"

namespace {

// clang-format off: one message a line, one MQ state a line
const char *const kCategory00[] = {"Insufficient Memory"};
const char *const kCategory01[] = {"Invalid Function Parameter to Compression",
                                   "Palette not initialized", "Color Specification Error",
                                   "Invalid Source file"};
const char *const kCategory02[] = {"Invalid Function Parameter"};
const char *const kCategory03[] = {"Invalid Subband Index"};
const char *const kCategory05[] = {"Invalid Function Parameters"};
const char *const kCategory06[] = {"Invalid File Pointer",
                                   "Invalid Function Parameter",
                                   "Unable to read file",
                                   "Reserve value for LBox is used",
                                   "File io failure",
                                   "Unknown box in the UUIDInfoBox",
                                   "Extra Large field",
                                   "Length of Box can't be Super",
                                   "Type of Box is wrong",
                                   "Wrong value in byMeth of Color Spacefication Box",
                                   "Unable to write data into file"};
const char *const kCategory07[] = {"Invalid Parameter to GetMainHeader function"};
const char *const kCategory08[] = {"Invalid Function Parameter",
                                   "Invalid Marker Size",
                                   "Invalid Quantization Type",
                                   "CodeStream Buffer size is NULL",
                                   "Invalid Marker Code",
                                   "End Of Codestream (EOC) marker not found",
                                   "Not enough data",
                                   "Invalid Progression Order",
                                   "Invalid Number of Layers",
                                   "Invalid Number of Decomposition Levels",
                                   "Invalid CodeBlock CB Parameter(Xcb or Ycb)",
                                   "Invalid CodeBlock Coding Style",
                                   "Invalid Precinct Parttion Parameter(PPx or PPy)",
                                   "XRSiz and/or YRSiz not an exact power of 2",
                                   "SSiz values(Bitdepth) of components are unequal",
                                   "XRSiz and/or YRSiz (Separation) of the components are unequal",
                                   "Invalid COC Coding Style",
                                   "Invalid Wavelet Transform in COC",
                                   "Invalid Quantization Style",
                                   "Invalid ROI style",
                                   "Invalid Codestream Capability Code in SIZ",
                                   "Invalid XSiz and/or YSiz Value",
                                   "Invalid X or Y offset",
                                   "Invalid XTSiz and/or YTSiz Value",
                                   "Invaild Xt or YT offset",
                                   "Invalid Number of Image Components in SIZ",
                                   "Invalid Ssiz Value",
                                   "Invalid Tile Part Index in SOT",
                                   "Invalid PSOT",
                                   "Invalid TPSOT",
                                   "Invalid Starting Resolution index in POC",
                                   "Invalid Starting Component index in POC",
                                   "Invalid Ending Resolution index in POC",
                                   "Invalid Ending Component index in POC"};
const char *const kCategory09[] = {
    "Invalid Function Parameters",
    "incorrect symbol value encountered during Arithmetic Entropy Decoding",
    "Error while Arithmetic Decoding"};
const char *const kCategory0C[] = {"JtkMapTileNumber:Invalid value in pMapTileNo",
                                   "Invalid Coding Passes : greater than 164",
                                   "Invalid Coding Passes : less than 10",
                                   "Invalid Coding Passes : less than 2",
                                   "Invalid Coding Passes : less than 1",
                                   "Invalid Function Parameter",
                                   "Invalid Packet Header Byte",
                                   "Invalid Tile Size",
                                   "Invalid Data",
                                   "Invalid Data",
                                   "Invalid Packet related Function parameter",
                                   "Invalid subband dimension",
                                   "Invalid Subband type",
                                   "Invalid Data",
                                   "Invalid progression Order",
                                   "Marker not available either",
                                   "Invalid progression order"};
const char *const kCategory0E[] = {"Invalid Quantization Style"};
const char *const kCategory0F[] = {"Invalid Function Parameters", "Raw object not initialized",
                                   "Invalid Raw Object", "Component Value is Zero",
                                   "COC Marker not yet created"};
const char *const kCategory12[] = {"Invalid Function Parameter"};
const char *const kCategory13[] = {"Invalid Function Parameter"};
const char *const kCategory14[] = {"negative value of NumXTiles", "negative value of Bit depth",
                                   "Invalid Data"};
const char *const kCategory15[] = {"Unknown filter",    "Unknown filter",
                                   "Wrong array size.", "Wrong array size.",
                                   "Invalid Input",     "Mismatch in Decomposelevel values "};

}  // namespace

// The messages of each category, in number order.
const JtkErrCategoryTp JtkErrTable[JTK_ERR_CATEGORIES] = {
    {1, kCategory00},  {4, kCategory01},  {1, kCategory02}, {1, kCategory03},
    {0, nullptr},  // 0x04
    {1, kCategory05},  {11, kCategory06}, {1, kCategory07}, {34, kCategory08},
    {3, kCategory09},  {0, nullptr},                     // 0x0A
    {0, nullptr},                                        // 0x0B
    {17, kCategory0C}, {0, nullptr},                     // 0x0D
    {1, kCategory0E},  {5, kCategory0F},  {0, nullptr},  // 0x10
    {0, nullptr},                                        // 0x11
    {1, kCategory12},  {1, kCategory13},  {3, kCategory14}, {6, kCategory15},
};

// The MQ coder's probability states.
const JtkMqStateTp JtkMqStates[JTK_MQ_STATES] = {
    {0x5601, 1, 1, 1},   {0x3401, 2, 6, 0},   {0x1801, 3, 9, 0},   {0x0AC1, 4, 12, 0},
    {0x0521, 5, 29, 0},  {0x0221, 38, 33, 0}, {0x5601, 7, 6, 1},   {0x5401, 8, 14, 0},
    {0x4801, 9, 14, 0},  {0x3801, 10, 14, 0}, {0x3001, 11, 17, 0}, {0x2401, 12, 18, 0},
    {0x1C01, 13, 20, 0}, {0x1601, 29, 21, 0}, {0x5601, 15, 14, 1}, {0x5401, 16, 14, 0},
    {0x5101, 17, 15, 0}, {0x4801, 18, 16, 0}, {0x3801, 19, 17, 0}, {0x3401, 20, 18, 0},
    {0x3001, 21, 19, 0}, {0x2801, 22, 19, 0}, {0x2401, 23, 20, 0}, {0x2201, 24, 21, 0},
    {0x1C01, 25, 22, 0}, {0x1801, 26, 23, 0}, {0x1601, 27, 24, 0}, {0x1401, 28, 25, 0},
    {0x1201, 29, 26, 0}, {0x1101, 30, 27, 0}, {0x0AC1, 31, 28, 0}, {0x09C1, 32, 29, 0},
    {0x08A1, 33, 30, 0}, {0x0521, 34, 31, 0}, {0x0441, 35, 32, 0}, {0x02A1, 36, 33, 0},
    {0x0221, 37, 34, 0}, {0x0141, 38, 35, 0}, {0x0111, 39, 36, 0}, {0x0085, 40, 37, 0},
    {0x0049, 41, 38, 0}, {0x0025, 42, 39, 0}, {0x0015, 43, 40, 0}, {0x0009, 44, 41, 0},
    {0x0005, 45, 42, 0}, {0x0001, 45, 43, 0}, {0x5601, 46, 46, 0}};

const char *JtkErrorText(int32_t code) {
  if (code >= 0) return "Unknown Error";
  const uint32_t value = static_cast<uint32_t>(-static_cast<int64_t>(code));
  const uint32_t category = (value >> 16) & 0xFF, number = value & 0xFFFF;
  if (category >= JTK_ERR_CATEGORIES || number < 1 || number > JtkErrTable[category].count)
    return "Unknown Error";
  return JtkErrTable[category].messages[number - 1];
}

struct JtkContextTp {
  int32_t magic;
  JtkErrorHandlerTp handler;
  void *user;
  int32_t mode;
  std::vector<JtkErrorRecordTp> errors;
};
// clang-format on

int32_t JtkDefaultErrorHandler(JtkContextTp *, const JtkErrorRecordTp *error, void *) {
  fprintf(stderr, "%s: %s (%d)\n", error->entry ? error->entry : "Jtk", error->message,
          error->code);
  return error->code;
}

JtkContextTp *JtkCreateContext(JtkErrorHandlerTp handler, void *user) {
  auto *context = new (std::nothrow) JtkContextTp();
  if (!context) return nullptr;
  context->magic = JTK_MAGIC;
  context->handler = handler ? handler : JtkDefaultErrorHandler;
  context->user = user;
  context->mode = JTK_HANDLER_CALL;
  return context;
}

void JtkDestroyContext(JtkContextTp **context) {
  if (!context || !*context) return;
  (*context)->magic = 0;
  delete *context;
  *context = nullptr;
}

bool JtkValidContext(const JtkContextTp *context) { return context && context->magic == JTK_MAGIC; }

int32_t JtkSetHandlerMode(JtkContextTp *context, int32_t mode) {
  if (!JtkValidContext(context)) return JTK_ERROR(JTK_CAT_PARAM, 1);
  context->mode = mode;
  return 0;
}

const JtkErrorRecordTp *JtkGetError(const JtkContextTp *context, int32_t index) {
  if (!JtkValidContext(context) || index < 0 ||
      static_cast<size_t>(index) >= context->errors.size())
    return nullptr;
  return &context->errors[static_cast<size_t>(index)];
}

int32_t JtkReport(JtkContextTp *context, const char *entry, int32_t code) {
  if (code >= 0) return code;
  if (!JtkValidContext(context)) return code;
  JtkErrorRecordTp record{};
  record.code = code;
  snprintf(record.message, sizeof record.message, "%s", JtkErrorText(code));
  record.entry = entry;
  record.answer = code;
  if (context->mode == JTK_HANDLER_CALL)
    record.answer = context->handler(context, &record, context->user);
  try {
    context->errors.push_back(record);
  } catch (...) {
    // The record is lost; the answer still reaches the caller.
  }
  return record.answer;
}

JtkImageTp *JtkCreateImage(JtkContextTp *context, int32_t width, int32_t height, int32_t components,
                           int32_t precision) {
  if (!JtkValidContext(context) || width < 1 || height < 1 || components < 1 ||
      components > JTK_MAX_COMPONENTS || precision < 1 || precision > 38)
    return nullptr;
  auto *image = static_cast<JtkImageTp *>(calloc(1, sizeof(JtkImageTp)));
  if (!image) return nullptr;
  image->width = width;
  image->height = height;
  image->comp = static_cast<JtkComponentTp *>(
      calloc(static_cast<size_t>(components), sizeof(JtkComponentTp)));
  if (!image->comp) {
    free(image);
    return nullptr;
  }
  image->components = components;
  for (int32_t c = 0; c < components; ++c) {
    JtkComponentTp &comp = image->comp[c];
    comp.precision = precision;
    comp.dx = comp.dy = 1;
    comp.width = width;
    comp.height = height;
    comp.data = static_cast<int32_t *>(
        calloc(static_cast<size_t>(width) * static_cast<size_t>(height), sizeof(int32_t)));
    if (!comp.data) {
      JtkFreeImage(&image);
      return nullptr;
    }
  }
  return image;
}

void JtkFreeImage(JtkImageTp **image) {
  if (!image || !*image) return;
  for (int32_t c = 0; c < (*image)->components; ++c) free((*image)->comp[c].data);
  free((*image)->comp);
  free(*image);
  *image = nullptr;
}
