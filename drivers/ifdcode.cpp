// JPEG (JFIF) files through the JPEG codec: recognition anywhere in the
// first 10000 bytes, band reads of the decoder, rows handed to the encoder.
// The stream callbacks are shared with the PDF writer's DCT data.
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codecs.h"
#include "drivers.h"

#define CMN_SOURCE "ifdcode"

namespace {

constexpr int32_t kSearch = 10000;       // bytes searched for the start of image
constexpr int32_t kExportBuffer = 4000;  // stream buffer of a written file
constexpr int32_t kCodecBuffer = 32768;  // the codec's input chunk

struct CodeState {
  IfiHandleTp *handle = nullptr;
  IfuCodecTp *codec = nullptr;  // decoding or encoding handle
  int32_t service = 0;
  int32_t width = 0, height = 0;
  int32_t row_bytes = 0;  // components x width, doubled above 8 bits
  // Reading: the band held, its first row and its row count.
  std::vector<uint8_t> band;
  int32_t band_height = 0;
  int32_t band_first = 0;
  int32_t band_rows = 0;
  int32_t band_form = 1;  // 1, or 3 for progressive files
  int32_t next_line = 0;
  int64_t made_up = 0;  // the codec's made-up bytes already counted
  std::string name;     // the file's name, for the codec's failures
};

// The codec's input: the next bytes of the stream. The codec asks past the
// end only when its data run out before the picture does (it stops asking
// then): what it asked for is counted as made up.
ReturnTp ReadInput(void *arg, uint8_t *buffer, int32_t *length) {
  auto *handle = static_cast<IfiHandleTp *>(arg);
  const int32_t wanted = *length;
  const ReturnTp rc = IfdCodecJpegRead(buffer, length, handle);
  if (!rc && *length == 0 && wanted > 0) IfiAccount(handle, 0, wanted);
  return rc;
}

ReturnTp WriteOutput(void *arg, const uint8_t *data, int32_t length) {
  return IfdCodecJpegWrite(data, length, static_cast<IfiHandleTp *>(arg));
}

}  // namespace

ReturnTp IfdCodecJpegRead(uint8_t *buffer, int32_t *count, IfiHandleTp *stream) {
  if (!buffer || !count || *count < 0 || !stream)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const size_t got = IfiFetch(buffer, 1, static_cast<size_t>(*count), stream);
  *count = static_cast<int32_t>(got);
  return 0;
}

ReturnTp IfdCodecJpegWrite(const uint8_t *buffer, int32_t count, IfiHandleTp *stream) {
  if (count <= 0) return 0;
  if (!buffer || !stream || IfiWrite(buffer, 1, static_cast<size_t>(count), stream))
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_LINE);
  return 0;
}

namespace {

ReturnTp IfdCodecInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  std::unique_ptr<CodeState> s(new (std::nothrow) CodeState());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  s->service = request->service;
  // Standard input has no name to give.
  if (request->spec.name) s->name = request->spec.name;
  ReturnTp rc = IffOpenDriverStream(request, &s->handle, nullptr, 0);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  if (request->service == IFF_SRV_EXPORT) {
    IfiSetBuffer(s->handle, nullptr, 0, kExportBuffer);
    *state = s.release();
    return 0;
  }
  // A start of image followed by a marker, wherever it lies in the first
  // bytes: some files carry a header of their own before the JPEG data.
  std::vector<uint8_t> head(kSearch);
  const size_t n = IfiPeek(head.data(), 1, head.size(), s->handle);
  request->recognised = 0;
  for (size_t i = 0; i + 2 < n; ++i)
    if (head[i] == 0xFF && head[i + 1] == 0xD8 && head[i + 2] == 0xFF) {
      request->recognised = 1;
      break;
    }
  *state = s.release();
  return 0;
}

// ---- Reading ----------------------------------------------------------------

ReturnTp IfdCodecRdHead(void *state, IffParamTp *p) {
  if (!state || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  auto *s = static_cast<CodeState *>(state);
  if (s->codec) return CmnError(CMN_SOURCE, __LINE__, IFF_E_BAD_HEADER);
  void *param = nullptr;
  ReturnTp rc = IfuCodecCreateParam(&JpegCodecOps, &param);
  if (rc) return rc;
  auto *jp = static_cast<JpegParamTp *>(param);
  jp->color = JPEG_RGB;
  if (!s->name.empty()) jp->name = s->name.c_str();
  rc = IfuCodecOpenDecoder(nullptr, &JpegCodecOps, param, ReadInput, s->handle, kCodecBuffer,
                           &s->codec);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  jp = static_cast<JpegParamTp *>(s->codec->param);
  // Grey files are delivered grey, everything else as RGB.
  const bool grey = jp->components == 1;
  jp->color = grey ? JPEG_GRAY : JPEG_RGB;
  const int32_t components = grey ? 1 : 3;
  const int32_t bytes = jp->file_depth > 8 ? 2 : 1;
  s->width = jp->width;
  s->height = jp->height;
  s->row_bytes = s->width * components * bytes;
  p->width = jp->width;
  p->height = jp->height;
  p->color_model = grey ? IFF_CM_GRAY : IFF_CM_RGB;
  p->bytes_per_pixel = components * bytes;
  p->bits_per_sample = jp->file_depth;
  p->has_cmap = 0;
  p->cmap_entries = 0;
  p->aspect_x = p->aspect_y = 1;
  p->planes = 1;
  // The EXIF orientation of a photo: the reading layer turns and mirrors
  // the rows, which come as stored.
  p->view_orientation = jp->orientation;
  // The decoder gives 1/8, 1/4 and 1/2 of the size straight from the DCT
  // coefficients; lossless data have none to give.
  p->level_count = 0;
  p->level_sizes[p->level_count * 2] = jp->width;
  p->level_sizes[p->level_count++ * 2 + 1] = jp->height;
  for (int32_t shift = 3; shift >= 1 && jp->file_mode != JPEG_LOSSLESS; --shift) {
    p->level_sizes[p->level_count * 2] = (jp->width + (1 << shift) - 1) >> shift;
    p->level_sizes[p->level_count++ * 2 + 1] = (jp->height + (1 << shift) - 1) >> shift;
  }
  if (jp->x_resolution > 0 && jp->y_resolution > 0) {
    p->x_resolution = jp->x_resolution / 1000.0;
    p->y_resolution = jp->y_resolution / 1000.0;
    p->resolution_known = 1;
  }
  FXIBitsPerPixel = jp->components * jp->file_depth;
  switch (jp->file_mode) {
    case JPEG_LOSSLESS:
      FXICompression = IFF_COMP_JPEG_LOSSLESS;
      break;
    case JPEG_EXTENDED:
      FXICompression = IFF_COMP_JPEG_SEQUENTIAL;
      break;
    case JPEG_PROGRESSIVE:
      FXICompression = IFF_COMP_JPEG_PROGRESSIVE;
      break;
    default:
      FXICompression = IFF_COMP_JPEG_BASELINE;
      break;
  }
  s->band_height = jp->band_height;
  s->band_form = jp->file_mode == JPEG_PROGRESSIVE ? 3 : 1;
  try {
    s->band.assign(static_cast<size_t>(s->band_height) * s->row_bytes, 0);
  } catch (const std::exception &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  s->band_first = 0;
  s->band_rows = 0;
  s->next_line = 0;
  return 0;
}

ReturnTp IfdCodecRdCMap(void *, IffParamTp *) {
  // JPEG data never carries a colour map.
  return CmnError(CMN_SOURCE, __LINE__, IFD_E_NEEDS_RGB);
}

ReturnTp IfdCodecRdScan(void *state, IffParamTp *p) {
  if (!state || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  auto *s = static_cast<CodeState *>(state);
  if (!s->codec || s->service != IFF_SRV_IMPORT)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  const int32_t line = p->line;
  if (line == 0 && s->band_rows == 0 && p->level > 0 && p->level < 4) {
    // A level asked for before the first row: 1/8, 1/4 or 1/2.
    auto *jp = static_cast<JpegParamTp *>(s->codec->param);
    jp->scale_shift = 4 - p->level;
    const int32_t pixel = s->row_bytes / s->width;
    s->width = (s->width + (1 << jp->scale_shift) - 1) >> jp->scale_shift;
    s->height = (s->height + (1 << jp->scale_shift) - 1) >> jp->scale_shift;
    s->row_bytes = s->width * pixel;
  }
  if (line < 0 || line >= s->height || line < s->band_first)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  // Bands are read in order until the one holding the row.
  while (line >= s->band_first + s->band_rows) {
    s->band_first += s->band_rows;
    int32_t length = static_cast<int32_t>(s->band.size());
    ReturnTp rc = IfuCodecRead(s->codec, s->band.data(), &length);
    if (rc == IFU_I_EOD || rc == IFU_I_PAUSED) rc = 0;
    if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
    // Rows the codec painted grey for want of data count as made up: the
    // interface stops a frame that is mostly that.
    const int64_t made_up = static_cast<JpegParamTp *>(s->codec->param)->made_up;
    IfiAccount(s->handle, 0, made_up - s->made_up);
    s->made_up = made_up;
    s->band_rows = length / s->row_bytes;
    if (s->band_rows < 1) return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  }
  const uint8_t *row = s->band.data() + static_cast<size_t>(line - s->band_first) * s->row_bytes;
  // 12-bit samples go as they are (0..4095 in two bytes): the interface
  // scales them by the bits per sample reported.
  memcpy(p->buffer, row, s->row_bytes);
  s->next_line = line + 1;
  return 0;
}

// ---- Writing ----------------------------------------------------------------

// The compression request is read as every JPEG writer reads it
// (JpegCodingOf); IFF_COMP_NONE gives a JPEG file the defaults.
ReturnTp IfdCodecWtHead(void *state, IffParamTp *p) {
  if (!state || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  auto *s = static_cast<CodeState *>(state);
  if (s->service != IFF_SRV_EXPORT || s->codec)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  if (p->has_cmap) return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
  JpegCodingTp coding;
  ReturnTp rc = JpegCodingOf(p->compression, &coding);
  if (rc) return CmnError(CMN_SOURCE, __LINE__, rc);
  int32_t components;
  if (p->color_model == IFF_CM_GRAY)
    components = 1;
  else if (p->color_model == IFF_CM_RGB)
    components = 3;
  else
    return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
  if (p->width < 1 || p->height < 1) return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
  // The frame's width and height are 16-bit fields, and the common
  // decoders stop at 65500.
  if (p->width > 65500 || p->height > 65500)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_TOO_LARGE, "JPEG", p->width, p->height);
  const int32_t depth = p->bits_per_sample > 8 ? 12 : 8;

  JpegParamTp *jp = nullptr;
  rc = IfuCodecCreateParam(&JpegCodecOps, reinterpret_cast<void **>(&jp));
  if (rc) return rc;
  JpegUseCoding(&coding, jp);
  jp->progression = 1;  // DC, two luminance bands, then each chrominance
  jp->color = components == 1 ? JPEG_GRAY : JPEG_RGB;
  jp->depth = depth;
  jp->width = p->width;
  jp->height = p->height;
  jp->x_resolution = p->x_resolution > 0 ? static_cast<int32_t>(p->x_resolution * 1000 + 0.5) : 0;
  jp->y_resolution =
      p->y_resolution > 0 ? static_cast<int32_t>(p->y_resolution * 1000 + 0.5) : jp->x_resolution;
  rc = IfuCodecOpenEncoder(nullptr, &JpegCodecOps, jp, WriteOutput, s->handle, &s->codec);
  if (rc) return rc;
  s->width = p->width;
  s->height = p->height;
  s->row_bytes = components * p->width * (depth > 8 ? 2 : 1);
  s->next_line = 0;
  return 0;
}

ReturnTp IfdCodecWtCMap(void *, IffParamTp *) {
  return CmnError(CMN_SOURCE, __LINE__, IFD_E_NEEDS_RGB);
}

ReturnTp IfdCodecWtScan(void *state, IffParamTp *p) {
  if (!state || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  auto *s = static_cast<CodeState *>(state);
  if (!s->codec || p->line != s->next_line || p->line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  ReturnTp rc = IfuCodecWrite(s->codec, p->buffer, s->row_bytes);
  if (rc) return rc;
  ++s->next_line;
  return 0;
}

// ---- Both -------------------------------------------------------------------

ReturnTp IfdCodecTerm(void **state) {
  if (!state || !*state) return 0;
  auto *s = static_cast<CodeState *>(*state);
  ReturnTp rc = 0;
  if (s->codec) {
    // A written image is complete only once the encoder has finished it.
    if (s->service == IFF_SRV_EXPORT) rc = IfuCodecFinish(s->codec);
    const ReturnTp rc_term = IfuCodecTerm(&s->codec);
    if (!rc) rc = rc_term;
  }
  const ReturnTp rc_close = IffTermDriverState<CodeState>(state);
  return rc ? rc : rc_close;
}

}  // namespace

const IffFormatTp IfdCodecFormat = {
    "JPEG",
    {{IFF_TYPE_JPEG, "JPEG."}},
    0,
    0,
    {IfdCodecInit, IfdCodecRdHead, IfdCodecWtHead, IfdCodecRdCMap, IfdCodecWtCMap, IfdCodecRdScan,
     IfdCodecWtScan, IfdCodecTerm},
    {{"jpg", IFF_TYPE_JPEG, IFF_CM_RGB}, {"jpeg", IFF_TYPE_JPEG, IFF_CM_RGB}},
    IFF_MODEL_BIT(IFF_CM_RGB) | IFF_MODEL_BIT(IFF_CM_GRAY),
};
