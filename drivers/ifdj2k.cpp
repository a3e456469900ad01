// JPEG 2000 files (JP2 boxes or raw codestreams) through the JPEG 2000
// codec: the whole image is decoded on the first row and handed out row by
// row; written images are gathered into planes and coded at the end.
#include <strings.h>

#include <algorithm>
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
  int32_t jp2 = 1;  // JP2 boxes (type 25 files) or a raw codestream
  int32_t width = 0, height = 0;
  int32_t components = 0;  // 1 or 3
  int32_t depth = 8;       // component precision
  int32_t row_bytes = 0;   // bytes of one delivered or written row
  int32_t next_line = 0;
  // Decoding limits taken from the open request (0: none).
  int32_t reduce = 0, max_layers = 0;
  // Writing: the target rate (bits per pixel, -1 reversible) and layers.
  double rate = -1;
  int32_t layers = 1;
  JtkImageTp *image = nullptr;  // decoded image, or the planes being written
  // Reading: the whole stream, and what the codec's last failure raised.
  std::vector<uint8_t> stream;
  ReturnTp codec_rc = 0;
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

// The codec's failures reach the user as the driver's own errors, with
// the codec's entry point and message.
int32_t ReportCodecError(JtkContextTp *, const JtkErrorRecordTp *error, void *user) {
  auto *s = static_cast<J2kState *>(user);
  s->codec_rc = CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT3, error->entry ? error->entry : "Jtk",
                         ": ", error->message);
  return error->code;
}

ReturnTp IfdJ2kInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  std::unique_ptr<J2kState> s(new (std::nothrow) J2kState());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  s->service = request->service;
  s->context = JtkCreateContext(ReportCodecError, s.get());
  if (!s->context) return CmnError(CMN_SOURCE, __LINE__, IFF_E_BAD_HEADER);
  ReturnTp rc = IffOpenDriverStream(request, &s->handle, nullptr, 0);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  if (s->service == IFF_SRV_EXPORT) s->jp2 = !NamesCodestream(request->spec.name);
  *state = s.release();
  return 0;
}

// ---- Reading ----------------------------------------------------------------

// The whole input in memory: the codec works on one buffer. A file is
// read up to its size; a pipe up to 1 GiB.
ReturnTp ReadStream(J2kState *s) {
  IfiHandleTp *h = s->handle;
  h->exact_growth = 1;
  const int64_t known = h->file_size > h->start_offset ? h->file_size - h->start_offset : 0;
  const size_t cap = known > 0 ? static_cast<size_t>(known) : size_t(1) << 30;
  size_t used = 0;
  try {
    s->stream.resize(known > 0 ? cap : std::min<size_t>(cap, 1 << 20));
    for (;;) {
      if (used == s->stream.size()) {
        if (used >= cap) break;
        s->stream.resize(std::min(cap, 2 * used));
      }
      const size_t n = IfiFetch(s->stream.data() + used, 1, s->stream.size() - used, h);
      if (n == 0) break;
      used += n;
    }
  } catch (const std::bad_alloc &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  IfiAccount(h, static_cast<int64_t>(used), 0);
  s->stream.resize(used);
  if (used == 0) return CmnError(CMN_SOURCE, __LINE__, IFF_E_BAD_HEADER);
  return 0;
}

// The codec's failure, raised by its handler, or the driver's own code.
ReturnTp CodecFailure(J2kState *s, int line, ReturnTp fallback) {
  const ReturnTp rc = s->codec_rc;
  s->codec_rc = 0;
  return rc ? rc : CmnError(CMN_SOURCE, line, fallback);
}

ReturnTp IfdJ2kRdHead(void *state, IffParamTp *p) {
  auto *s = static_cast<J2kState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  ReturnTp rc = ReadStream(s);
  if (rc) return rc;
  // A raw codestream starts with its SOC and SIZ markers; anything else is
  // taken for JP2 boxes.
  static const uint8_t kRaw[4] = {0xFF, 0x4F, 0xFF, 0x51};
  s->jp2 = s->stream.size() >= 4 && memcmp(s->stream.data(), kRaw, 4) == 0 ? 0 : 1;
  JtkHeaderTp h;
  if (JtkGetMainHeader(s->context, s->stream.data(), s->stream.size(), s->jp2, &h))
    return CodecFailure(s, __LINE__, IFF_E_BAD_HEADER);
  if (h.components != 1 && h.components != 3)
    return CmnError(CMN_SOURCE, __LINE__, IFF_E_BAD_HEADER);
  const int64_t dx = h.dx[0], dy = h.dy[0];
  const int64_t width = (h.x1 + dx - 1) / dx - (h.x0 + dx - 1) / dx;
  const int64_t height = (h.y1 + dy - 1) / dy - (h.y0 + dy - 1) / dy;
  if (width < 1 || height < 1 || !IffSizeWithinLimits(width, height))
    return CmnError(CMN_SOURCE, __LINE__, IFF_E_BAD_HEADER);
  s->width = static_cast<int32_t>(width);
  s->height = static_cast<int32_t>(height);
  s->components = h.components;
  s->depth = h.precision[0];
  const int32_t sample_bytes = s->depth > 8 ? 2 : 1;
  s->row_bytes = s->width * s->components * sample_bytes;
  s->next_line = 0;

  // The full size, then each resolution level from the smallest up.
  p->level_count = 0;
  p->level_sizes[p->level_count * 2] = s->width;
  p->level_sizes[p->level_count++ * 2 + 1] = s->height;
  for (int32_t l = std::min(h.levels, IFF_MAX_LEVEL_SIZES - 2); l >= 0; --l) {
    p->level_sizes[p->level_count * 2] = static_cast<int32_t>((width + (int64_t(1) << l) - 1) >> l);
    p->level_sizes[p->level_count++ * 2 + 1] =
        static_cast<int32_t>((height + (int64_t(1) << l) - 1) >> l);
  }
  FXIBitsPerPixel = 24;
  FXICompression = h.reversible ? IFF_COMP_WAVELET_LOSSLESS : IFF_COMP_WAVELET_LOSSY;
  p->width = s->width;
  p->height = s->height;
  p->color_model = s->components == 1 ? IFF_CM_GRAY : IFF_CM_RGB;
  p->bytes_per_pixel = s->components * sample_bytes;
  p->bits_per_sample = s->depth;
  p->aspect_x = p->aspect_y = 1;
  p->has_cmap = 0;
  p->cmap_entries = 0;
  p->orientation = 0;
  p->mirrored = 0;
  p->planes = 1;
  p->reported0 = 0;
  p->reported1 = 1;
  return 0;
}

ReturnTp IfdJ2kRdScan(void *state, IffParamTp *p) {
  auto *s = static_cast<J2kState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->width == 0 || p->line != s->next_line || p->line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  if (p->line == 0) {
    JtkParamTp param{};
    param.jp2 = s->jp2;
    param.reduce = s->reduce;
    param.max_layers = s->max_layers;
    JtkFreeImage(&s->image);
    if (Jp2Decompress(s->context, &param, s->stream.data(), s->stream.size(), &s->image))
      return CodecFailure(s, __LINE__, IFF_E_BAD_HEADER);
    std::vector<uint8_t>().swap(s->stream);
    if (s->image->width < s->width || s->image->height < s->height ||
        s->image->components != s->components)
      return CmnError(CMN_SOURCE, __LINE__, IFF_E_BAD_HEADER);
  }
  if (!s->image) return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  ++s->next_line;
  const JtkImageTp &img = *s->image;
  const int32_t n = s->components, depth = s->depth;
  uint8_t *out = p->buffer;
  for (int32_t c = 0; c < n; ++c) {
    const JtkComponentTp &comp = img.comp[c];
    const int32_t *row = comp.data + size_t(p->line) * size_t(comp.width);
    // Signed samples are shown around the middle grey.
    const int32_t offset = comp.is_signed ? 1 << (depth - 1) : 0;
    if (depth > 8) {
      for (int32_t x = 0; x < s->width; ++x) {
        const int32_t v = row[x] + offset;
        out[2 * (x * n + c)] = static_cast<uint8_t>(v);
        out[2 * (x * n + c) + 1] = static_cast<uint8_t>(v >> 8);
      }
    } else {
      // Fewer than 8 bits are spread over the byte's range.
      const int32_t max = (1 << depth) - 1;
      for (int32_t x = 0; x < s->width; ++x)
        out[x * n + c] =
            static_cast<uint8_t>(depth == 8 ? row[x] + offset : (row[x] + offset) * 255 / max);
    }
  }
  // After the last row the picture is let go.
  if (s->next_line == s->height) JtkFreeImage(&s->image);
  return 0;
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
    case IFF_COMP_NONE:  // the default: reversible, the file shows what it was given
    case IFF_COMP_WAVELET_LOSSLESS:
      s->rate = -1;
      break;
    case IFF_COMP_WAVELET_LOSSY:
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
  s->codec_rc = 0;
  const int32_t rc = Jp2Compress(s->context, &param, s->image, WriteOut, s->handle);
  JtkFreeImage(&s->image);
  if (!rc) return 0;
  // The codec's handler has raised its message already.
  const ReturnTp raised = s->codec_rc;
  s->codec_rc = 0;
  return raised ? raised : CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_LINE);
}

// ---- Both -------------------------------------------------------------------

ReturnTp IfdJ2kTerm(void **state) { return IffTermDriverState<J2kState>(state); }

}  // namespace

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
