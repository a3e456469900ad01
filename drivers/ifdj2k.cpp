// JPEG 2000 files (JP2 boxes or raw codestreams) through the JPEG 2000
// codec: the whole image is decoded on the first row and handed out row by
// row; written images are gathered into planes and coded at the end.
#include <strings.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "codecs.h"
#include "drivers.h"

#define CMN_SOURCE "ifdj2k"

namespace {

struct J2kState {
  IfiHandleTp *handle = nullptr;
  JtkContextTp *context = nullptr;
  int32_t service = 0;
  int32_t jp2 = 1;            // JP2 boxes (type 25 files) or a raw codestream
  int32_t width = 0, height = 0;
  int32_t components = 0;     // 1 or 3
  int32_t depth = 8;          // component precision
  int32_t row_bytes = 0;      // bytes of one delivered or written row
  int32_t next_line = 0;
  // Decoding limits taken from the open request (0: none).
  int32_t reduce = 0, max_layers = 0;
  // Writing: the target rate (bits per pixel, -1 reversible) and layers.
  double rate = -1;
  int32_t layers = 1;
  JtkImageTp *image = nullptr;  // decoded image, or the planes being written
  ~J2kState() {
    JtkFreeImage(&image);
    JtkDestroyContext(&context);
  }
};

// Outputs named .j2k (or the other usual codestream extensions .j2c and
// .jpc) get the bare codestream; every other name, and standard output,
// the JP2 file with its boxes, which more programs recognise.
bool NamesCodestream(const char *name) {
  if (!name) return false;
  const char *dot = strrchr(name, '.');
  if (!dot || strchr(dot, '/')) return false;
  for (const char *ext : {".j2k", ".j2c", ".jpc"})
    if (strcasecmp(dot, ext) == 0) return true;
  return false;
}

int32_t WriteOut(void *arg, const uint8_t *data, size_t length) {
  return IfiWrite(data, length, 1, static_cast<IfiHandleTp *>(arg)) ? 1 : 0;
}

}  // namespace

ReturnTp IfdJ2kInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  std::unique_ptr<J2kState> s(new (std::nothrow) J2kState());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  s->service = request->service;
  s->context = JtkCreateContext(nullptr, nullptr);
  if (!s->context) return CmnError(CMN_SOURCE, __LINE__, IFF_E_BAD_HEADER);
  ReturnTp rc = IffOpenDriverStream(request, &s->handle, nullptr, 0);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  if (s->service == IFF_SRV_EXPORT) s->jp2 = !NamesCodestream(request->spec.name);
  *state = s.release();
  return 0;
}

// ---- Reading ----------------------------------------------------------------

ReturnTp IfdJ2kRdHead(void *state, IffParamTp *p) {
  if (!state || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  return CmnError(CMN_SOURCE, __LINE__, IFF_E_NOT_LINKED);
}

ReturnTp IfdJ2kRdScan(void *state, IffParamTp *p) {
  if (!state || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  return CmnError(CMN_SOURCE, __LINE__, IFF_E_NOT_LINKED);
}

// ---- Writing ----------------------------------------------------------------

ReturnTp IfdJ2kWtHead(void *state, IffParamTp *p) {
  auto *s = static_cast<J2kState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const int32_t components = p->color_model == IFF_CM_RGB    ? 3
                             : p->color_model == IFF_CM_GRAY ? 1
                                                             : 0;
  if (!components || p->has_cmap) return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
  switch (p->compression[0]) {
    case 0:  // the default: reversible, the file shows what it was given
    case 14:
      s->rate = -1;
      break;
    case 13:
      // The ratio of the raw samples' size to the file's.
      if (p->compression[1] < 1) return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
      s->rate = components * 8.0 / static_cast<double>(p->compression[1]);
      break;
    default:
      return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
  }
  if (p->width < 1 || p->height < 1) return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
  s->width = p->width;
  s->height = p->height;
  s->components = components;
  s->depth = 8;
  s->row_bytes = components * p->width;
  s->next_line = 0;
  // The export option, when set, is the count of quality layers.
  if (p->export_option < 0 || p->export_option > 65535)
    return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
  s->layers = p->export_option > 0 ? p->export_option : 1;
  JtkFreeImage(&s->image);
  s->image = JtkCreateImage(s->context, s->width, s->height, components, s->depth);
  return s->image ? 0 : CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
}

ReturnTp IfdJ2kWtScan(void *state, IffParamTp *p) {
  auto *s = static_cast<J2kState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!s->image || p->line != s->next_line || s->next_line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  const size_t w = static_cast<size_t>(s->width), at = static_cast<size_t>(p->line) * w;
  for (int32_t c = 0; c < s->components; ++c) {
    int32_t *plane = s->image->comp[c].data + at;
    const unsigned char *in = p->buffer + c;
    for (size_t x = 0; x < w; ++x, in += s->components) plane[x] = *in;
  }
  if (++s->next_line < s->height) return 0;

  // The whole picture is here: code it into the file, then let the planes go.
  JtkParamTp param{};
  param.jp2 = s->jp2;
  param.rate = s->rate;
  param.layers = s->layers;
  const int32_t rc = Jp2Compress(s->context, &param, s->image, WriteOut, s->handle);
  JtkFreeImage(&s->image);
  if (rc == JTK_ERROR(0, 1)) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  return rc ? CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_LINE) : 0;
}

// ---- Both -------------------------------------------------------------------

ReturnTp IfdJ2kTerm(void **state) { return IffTermDriverState<J2kState>(state); }

const IffFormatTp IfdJ2kFormat = {
    "JPEG2000",
    {{IFF_TYPE_J2K, "JPEG 2000."}},
    0,
    0,
    {IfdJ2kInit, IfdJ2kRdHead, IfdJ2kWtHead, nullptr, nullptr, IfdJ2kRdScan, IfdJ2kWtScan,
     IfdJ2kTerm},
    {{"jp2", IFF_TYPE_J2K, IFF_CM_RGB}, {"j2k", IFF_TYPE_J2K, IFF_CM_RGB}},
    IFF_MODEL_BIT(IFF_CM_RGB) | IFF_MODEL_BIT(IFF_CM_GRAY),
};
