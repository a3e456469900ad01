// JPEG 2000 files (JP2 boxes or raw codestreams) through the JPEG 2000
// codec: rows are decoded as they are handed out and coded as they are
// written (the codec holds a few rows of each level, never the picture;
// a written file keeps its coded blocks until the last row is in).
//
// Rows are handed out as 8-bit grey or RGB whatever the file holds, the
// way the picture looks in other JPEG 2000 readers: components sampled
// more coarsely are widened by repeating their samples, YCC pictures
// (sYCC, e-sYCC, and raw codestreams of three components whose colour
// differences are subsampled) are turned into RGB, samples of any
// precision are scaled to 0..255 with rounding (signed ones lifted by
// half their range first), and an opacity channel is laid over white.
#include <strings.h>

#include <algorithm>
#include <cmath>
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
  int32_t components = 0;  // 1 or 3 delivered (grey or RGB), or written
  int32_t depth = 8;       // component precision of a written picture
  int32_t row_bytes = 0;   // bytes of one delivered or written row
  // Reading: the file's channels, whether the last is opacity, its
  // colour space and whether YCC is turned into RGB.
  int32_t channels = 0;
  int32_t alpha = 0;
  int32_t color_space = 0;
  int32_t ycc = 0;
  int32_t x0 = 0, y0 = 0;  // the picture's origin on the reference grid
  // Per channel of the decoded picture: the column of its plane for each
  // delivered pixel.
  std::vector<std::vector<int32_t>> columns;
  std::vector<int32_t> samples;  // one row of every channel, before 8 bits
  int32_t next_line = 0;
  // Decoding limits taken from the open request (0: none).
  int32_t reduce = 0, max_layers = 0;
  int32_t level_count = 0;  // resolution levels listed in the header
  // Writing: the target rate (bits per pixel, -1 reversible) and layers.
  double rate = -1;
  int32_t layers = 1;
  JtkEncoderTp *encoder = nullptr;  // the file being written
  std::vector<int32_t> row;         // one written row, component after component
  // Reading: the whole stream, the row decoder over it and its channels'
  // geometry, and what the codec's last failure raised.
  std::vector<uint8_t> stream;
  JtkDecoderTp *decoder = nullptr;
  const JtkImageTp *layout = nullptr;
  ReturnTp codec_rc = 0;
  ~J2kState() {
    JtkCloseEncoder(&encoder);
    JtkCloseDecoder(&decoder);
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
  // Grey or RGB, each with or without opacity; more channels than that
  // show their first three.
  if (h.channels < 1) return CmnError(CMN_SOURCE, __LINE__, IFF_E_BAD_HEADER);
  const int64_t dx = h.dx[0], dy = h.dy[0];
  const int64_t width = (h.x1 + dx - 1) / dx - (h.x0 + dx - 1) / dx;
  const int64_t height = (h.y1 + dy - 1) / dy - (h.y0 + dy - 1) / dy;
  if (width < 1 || height < 1 || !IffSizeWithinLimits(width, height))
    return CmnError(CMN_SOURCE, __LINE__, IFF_E_BAD_HEADER);
  s->width = static_cast<int32_t>(width);
  s->height = static_cast<int32_t>(height);
  s->channels = h.channels;
  s->alpha = h.alpha;
  s->color_space = h.color_space;
  s->components = h.channels - h.alpha >= 3 ? 3 : 1;
  // A colour box that names a YCC space is followed; without one, three
  // components whose second is sampled more coarsely than the first can
  // only be luma and colour differences (4:2:0 and 4:2:2 codestreams).
  const bool named = h.color_space == JTK_CS_SRGB || h.color_space == JTK_CS_GREY;
  s->ycc = h.color_space == JTK_CS_SYCC || h.color_space == JTK_CS_ESYCC ? h.color_space : 0;
  if (!s->ycc && !named && h.palette == 0 && h.components == 3 && h.channels == 3 && h.dx[0] == 1 &&
      h.dy[0] == 1 && (h.dx[1] > 1 || h.dy[1] > 1))
    s->ycc = JTK_CS_SYCC;
  if (s->components < 3 || h.is_signed[0]) s->ycc = 0;
  s->depth = 8;
  s->row_bytes = s->width * s->components;
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
  s->level_count = p->level_count;
  FXIBitsPerPixel = 24;
  FXICompression = h.reversible ? IFF_COMP_WAVELET_LOSSLESS : IFF_COMP_WAVELET_LOSSY;
  p->width = s->width;
  p->height = s->height;
  p->color_model = s->components == 1 ? IFF_CM_GRAY : IFF_CM_RGB;
  p->bytes_per_pixel = s->components;
  p->bits_per_sample = 8;
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

namespace {

// Where each delivered pixel of a row takes its sample from in every
// channel: a channel sampled more coarsely repeats its samples. Positions
// are compared on the reference grid (in the resolution decoded).
void MapColumns(J2kState *s) {
  const JtkImageTp &img = *s->layout;
  const JtkComponentTp &first = img.comp[0];
  s->columns.assign(size_t(img.components), std::vector<int32_t>(size_t(s->width)));
  for (int32_t c = 0; c < img.components; ++c) {
    const JtkComponentTp &comp = img.comp[c];
    for (int32_t x = 0; x < s->width; ++x) {
      const int64_t ref = (int64_t(first.x0) + x) * first.dx;
      const int64_t at = ref / comp.dx - comp.x0;
      s->columns[size_t(c)][size_t(x)] =
          static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(at, 0), comp.width - 1));
    }
  }
  s->samples.assign(size_t(img.components) * size_t(s->width), 0);
}

int32_t RowOf(const JtkImageTp &img, int32_t c, int32_t line) {
  const JtkComponentTp &first = img.comp[0], &comp = img.comp[c];
  const int64_t at = (int64_t(first.y0) + line) * first.dy / comp.dy - comp.y0;
  return static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(at, 0), comp.height - 1));
}

// Luma and colour differences to red, green and blue in place. sYCC
// takes the coefficients and the truncation other JPEG 2000 readers use,
// so that the pixels come out the same; e-sYCC its own matrix, rounded.
void YccToRgb(int32_t *y, int32_t *cb, int32_t *cr, int32_t n, int32_t precision, bool extended) {
  const int32_t max = (1 << precision) - 1;
  const int32_t half = 1 << (precision - 1);
  auto clip = [max](int32_t v) { return std::min(max, std::max(0, v)); };
  auto near = [](double v) { return static_cast<int32_t>(std::floor(v + 0.5)); };
  for (int32_t i = 0; i < n; ++i) {
    const int32_t l = y[i];
    const double b = cb[i] - half, r = cr[i] - half;
    int32_t red, green, blue;
    if (extended) {
      red = near(l - 0.0000368 * b + 1.40199959 * r);
      green = near(l - 0.344113281 * b - 0.714103821 * r);
      blue = near(l + 1.77200006 * b + 0.0000155 * r);
    } else {
      red = l + static_cast<int32_t>(1.402 * r);
      green = l - static_cast<int32_t>(0.344 * b + 0.714 * r);
      blue = l + static_cast<int32_t>(1.772 * b);
    }
    y[i] = clip(red);
    cb[i] = clip(green);
    cr[i] = clip(blue);
  }
}

// A sample of the given precision on 0..255, rounded as netpbm reduces a
// deeper picture. Signed grey is lifted by half its range; signed samples
// of several channels are shown as they are, below zero as zero, as
// other readers write them.
inline uint8_t To8(int32_t v, int32_t precision, bool lift) {
  const int32_t max = (1 << precision) - 1;
  if (lift) v += 1 << (precision - 1);
  v = std::min(max, std::max(0, v));
  return static_cast<uint8_t>((int64_t(v) * 255 + max / 2) / max);
}

}  // namespace

ReturnTp IfdJ2kRdScan(void *state, IffParamTp *p) {
  auto *s = static_cast<J2kState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->width == 0 || p->line != s->next_line || p->line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  if (p->line == 0) {
    // A resolution level asked for: the levels were listed smallest first,
    // the last one at the full size.
    if (p->level > 0 && p->level < s->level_count) {
      s->reduce = s->level_count - 1 - p->level;
      s->width = static_cast<int32_t>((int64_t{s->width} + (1 << s->reduce) - 1) >> s->reduce);
      s->height = static_cast<int32_t>((int64_t{s->height} + (1 << s->reduce) - 1) >> s->reduce);
      s->row_bytes = s->width * s->components;
    }
    JtkParamTp param{};
    param.jp2 = s->jp2;
    param.reduce = s->reduce;
    param.max_layers = s->max_layers;
    JtkCloseDecoder(&s->decoder);
    if (JtkOpenDecoder(s->context, &param, s->stream.data(), s->stream.size(), &s->decoder))
      return CodecFailure(s, __LINE__, IFF_E_BAD_HEADER);
    s->layout = JtkDecoderImage(s->decoder);
    // A level of an image whose origin is odd may be a sample smaller than
    // listed: its last column and row repeat.
    const int32_t slack = s->reduce > 0 ? 1 : 0;
    if (s->layout->width < s->width - slack || s->layout->height < s->height - slack ||
        s->layout->components != s->channels || s->layout->alpha != s->alpha)
      return CmnError(CMN_SOURCE, __LINE__, IFF_E_BAD_HEADER);
    MapColumns(s);
  }
  if (!s->decoder) return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  ++s->next_line;
  const JtkImageTp &img = *s->layout;
  const int32_t w = s->width, n = s->components;
  // The channels shown: the colour ones, and the opacity.
  const int32_t colours = n, used = n + s->alpha;
  const int32_t alpha_channel = img.components - 1;
  for (int32_t k = 0; k < used; ++k) {
    const int32_t c = k < colours ? k : alpha_channel;
    const int32_t *row = nullptr;
    if (JtkDecodeRow(s->context, s->decoder, c, RowOf(img, c, p->line), &row))
      return CodecFailure(s, __LINE__, IFF_E_BAD_HEADER);
    const std::vector<int32_t> &cols = s->columns[size_t(c)];
    int32_t *out = s->samples.data() + size_t(k) * size_t(w);
    for (int32_t x = 0; x < w; ++x) out[x] = row[cols[size_t(x)]];
  }
  int32_t *plane = s->samples.data();
  if (s->ycc)
    YccToRgb(plane, plane + w, plane + 2 * w, w, img.comp[0].precision, s->ycc == JTK_CS_ESYCC);
  uint8_t *out = p->buffer;
  for (int32_t k = 0; k < colours; ++k) {
    const JtkComponentTp &comp = img.comp[k];
    // YCC turned into RGB holds unsigned samples of the luma's precision.
    const int32_t precision = s->ycc ? img.comp[0].precision : comp.precision;
    const bool lift = !s->ycc && comp.is_signed && img.components == 1;
    const int32_t *v = plane + size_t(k) * size_t(w);
    for (int32_t x = 0; x < w; ++x) out[x * n + k] = To8(v[x], precision, lift);
  }
  if (s->alpha) {
    const JtkComponentTp &comp = img.comp[alpha_channel];
    const int32_t *a = plane + size_t(colours) * size_t(w);
    for (int32_t x = 0; x < w; ++x) {
      const unsigned opacity = To8(a[x], comp.precision, false);
      for (int32_t k = 0; k < n; ++k) out[x * n + k] = IfuOverWhite(out[x * n + k], opacity);
    }
  }
  // After the last row the picture is let go.
  if (s->next_line == s->height) {
    JtkCloseDecoder(&s->decoder);
    s->layout = nullptr;
    std::vector<uint8_t>().swap(s->stream);
    std::vector<std::vector<int32_t>>().swap(s->columns);
    std::vector<int32_t>().swap(s->samples);
  }
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
  JtkParamTp param{};
  param.jp2 = s->jp2;
  param.rate = s->rate;
  param.layers = s->layers;
  std::vector<JtkComponentTp> comp(size_t(components), JtkComponentTp{});
  for (JtkComponentTp &k : comp) {
    k.precision = s->depth;
    k.dx = k.dy = 1;
    k.width = s->width;
    k.height = s->height;
  }
  JtkImageTp geometry{};
  geometry.width = s->width;
  geometry.height = s->height;
  geometry.components = components;
  geometry.comp = comp.data();
  JtkCloseEncoder(&s->encoder);
  s->codec_rc = 0;
  if (JtkOpenEncoder(s->context, &param, &geometry, &s->encoder))
    return CodecFailure(s, __LINE__, IFF_E_WT_HEADER);
  try {
    s->row.assign(size_t(components) * size_t(s->width), 0);
  } catch (const std::bad_alloc &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  return 0;
}

ReturnTp IfdJ2kWtScan(void *state, IffParamTp *p) {
  auto *s = static_cast<J2kState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!s->encoder || p->line != s->next_line || s->next_line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  const size_t w = static_cast<size_t>(s->width);
  for (int32_t c = 0; c < s->components; ++c) {
    int32_t *plane = s->row.data() + size_t(c) * w;
    const unsigned char *in = p->buffer + c;
    for (size_t x = 0; x < w; ++x, in += s->components) plane[x] = *in;
  }
  s->codec_rc = 0;
  if (JtkEncodeRow(s->context, s->encoder, s->row.data()))
    return CodecFailure(s, __LINE__, IFD_E_WRITE_LINE);
  if (++s->next_line < s->height) return 0;

  // The last row is in: the codec writes the file.
  const int32_t rc = JtkFinishEncoder(s->context, s->encoder, WriteOut, s->handle);
  JtkCloseEncoder(&s->encoder);
  std::vector<int32_t>().swap(s->row);
  return rc ? CodecFailure(s, __LINE__, IFD_E_WRITE_LINE) : 0;
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
