// The JPEG 2000 codec's context: the magic check, the messages' texts,
// the error records and handler, and the component-plane image.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "jtkint.h"

#define CMN_SOURCE "jtk"

namespace {

// The texts of the messages, found by category and number.
struct MessageTp {
  uint32_t category;
  uint32_t number;
  const char *text;
};
#define JTK_MESSAGE_ROW(name, category, number, text) {category, number, text},
constexpr MessageTp kMessages[] = {JTK_MESSAGES(JTK_MESSAGE_ROW)};
#undef JTK_MESSAGE_ROW

// A second row for a code would never be found.
constexpr bool CodesUnique() {
  for (const MessageTp &a : kMessages)
    for (const MessageTp &b : kMessages)
      if (&a != &b && a.category == b.category && a.number == b.number) return false;
  return true;
}
static_assert(CodesUnique(), "two messages with one code");

}  // namespace

// clang-format off: one MQ state a line
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
  for (const MessageTp &m : kMessages)
    if (m.category == category && m.number == number) return m.text;
  return "Unknown Error";
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
  if (!JtkValidContext(context)) return JTK_E_PARAM;
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
