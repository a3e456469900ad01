// The native raw format: a 36-byte little-endian header starting with
// "QPLMAGE", an optional RGB colour map and uncompressed pixels in one of
// four storage modes:
//   0  bit planes stored plane after plane (1 or 4 planes readable),
//   1  one byte per pixel (colour index), or three (RGB) without a map,
//   2  bit planes interleaved line by line,
//   9  a text screen: character codes and attributes drawn through an
//      8192-byte font that follows the colour map.
// Every field is read and written byte by byte, whatever the host's byte
// order. All sizes come from 8- and 16-bit fields, so no buffer here can
// grow beyond a few megabytes whatever a file claims.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "drivers.h"

namespace {

#define CMN_SOURCE "ifdqpl"
const char kFormat[] = "QPL";  // the word of "Unsupported %s format"

constexpr int kHeaderSize = 36;
constexpr int kLengthOffset = 8;  // the header length follows the magic
constexpr int kFirstField = 10;   // the header length counts from 0; fields are read from here
const unsigned char kMagic[8] = {'Q', 'P', 'L', 'M', 'A', 'G', 'E', 0};

// Header offsets.
constexpr int kVersion = 10, kWidth = 11, kHeight = 13, kAspectX = 15, kAspectY = 17;
constexpr int kPlanes = 20, kMode = 21, kBits = 22, kOrientation = 23;
constexpr int kGap1 = 30, kGap2 = 32;

enum { kModePlanes = 0, kModeBytes = 1, kModeInterleaved = 2, kModeText = 9 };

// Colour indexes of every storage mode fit in a byte; more planes than
// that cannot be addressed by any pixel.
constexpr int kMaxPlanes = 8;
constexpr int kBandLines = 10;   // lines of each plane read at once in mode 0
constexpr int kFontSize = 8192;  // 256 character codes of 32 bytes
constexpr int kFontStride = 32;
// The text screen is always 80 x 25 (or 50) character cells of 8 pixels.
constexpr int kTextWidth = 640, kTextHeight = 400;
constexpr int kTextAspectX = 1600, kTextAspectY = 1920;
constexpr int kTallCellRows = 25;  // height byte asking for 16-line cells

typedef struct {
  IfiHandleTp *handle;
  unsigned char header[kHeaderSize];
  int32_t recognised;  // the file starts with the magic
  int32_t planes;
  int32_t mode;
  int32_t cmap_entries;
  int32_t mirrored;  // export
  int32_t next_line;
  int32_t line_bytes;               // bytes of one line in the file
  int32_t rowbytes;                 // bytes of one packed bit row
  std::vector<unsigned char> line;  // packed rows of one line
  std::vector<unsigned char> band;  // mode 0, 16 colours: 10 lines of each plane
  std::vector<unsigned char> font;  // mode 9
  std::vector<unsigned char> text;  // mode 9: one row of (code, attribute) pairs
  uint16_t width, height, cell_height;
  int64_t cmap_start;  // header length + gaps
  int64_t data_start;  // colour map start + 3 x entries
  int64_t plane_size;  // height x rowbytes
} QplStateTp;

ReturnTp Unsupported(unsigned line) {
  return CmnError(CMN_SOURCE, line, IFD_E_UNSUPPORTED, kFormat);
}

// Buffers are sized from 16-bit fields; still, running out of memory is a
// clean failure.
bool Allocate(std::vector<unsigned char> &buffer, size_t size) {
  try {
    buffer.assign(size, 0);
  } catch (const std::exception &) {
    return false;
  }
  return true;
}

// Whole records only: a file that ends inside one is truncated.
ReturnTp ReadAll(QplStateTp *s, void *buffer, size_t size, unsigned line) {
  if (size == 0) return 0;
  return CmnError(CMN_SOURCE, line, IfiRead(buffer, size, 1, s->handle));
}

ReturnTp SeekTo(QplStateTp *s, int64_t offset, unsigned line) {
  return CmnError(CMN_SOURCE, line, IfiSeek(s->handle, offset, 0));
}

// The font and the text rows follow the colour map. A client may skip the
// colour map; the font is then fetched at the first line. The row buffer
// comes first, so that a font in memory always has one.
ReturnTp ReadFont(QplStateTp *s) {
  if (!Allocate(s->text, static_cast<size_t>(s->line_bytes)) || !Allocate(s->font, kFontSize))
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  return ReadAll(s, s->font.data(), kFontSize, __LINE__);
}

// Mode 0 with 16 colours: each plane is a separate block of the file, so
// ten lines of every plane are fetched at once to keep seeks rare.
ReturnTp ReadBand(QplStateTp *s, int32_t line) {
  const size_t row = static_cast<size_t>(s->rowbytes);
  const int32_t lines = std::min(kBandLines, s->height - line);
  for (int p = 0; p < 4; ++p) {
    const int64_t at = s->data_start + static_cast<int64_t>(line) * s->rowbytes + p * s->plane_size;
    ReturnTp rc = SeekTo(s, at, __LINE__);
    if (rc) return rc;
    unsigned char *band = s->band.data() + p * kBandLines * row;
    rc = ReadAll(s, band, static_cast<size_t>(lines) * row, __LINE__);
    if (rc) return rc;
  }
  return 0;
}

ReturnTp ReadPlanesLine(QplStateTp *s, int32_t line, unsigned char *out) {
  const size_t row = static_cast<size_t>(s->rowbytes);
  if (s->planes == 1) {
    ReturnTp rc = ReadAll(s, s->line.data(), row, __LINE__);
    if (rc) return rc;
    IfuExpandBits(s->width, s->line.data(), out);
    return 0;
  }
  if (line % kBandLines == 0) {
    ReturnTp rc = ReadBand(s, line);
    if (rc) return rc;
  }
  const size_t in_band = static_cast<size_t>(line % kBandLines) * row;
  for (size_t p = 0; p < 4; ++p)
    memcpy(s->line.data() + p * row, s->band.data() + p * kBandLines * row + in_band, row);
  return CmnError(CMN_SOURCE, __LINE__, IfuPlanesToIndex(s->width, 4, s->line.data(), out));
}

ReturnTp ReadInterleavedLine(QplStateTp *s, unsigned char *out) {
  ReturnTp rc = ReadAll(s, s->line.data(), static_cast<size_t>(s->line_bytes), __LINE__);
  if (rc) return rc;
  if (s->planes == 1) {
    IfuExpandBits(s->width, s->line.data(), out);
    return 0;
  }
  // Only the first three planes make the index; with two, the third row
  // of the buffer stays zero.
  return CmnError(CMN_SOURCE, __LINE__, IfuPlanesToIndex(s->width, 3, s->line.data(), out));
}

ReturnTp ReadTextLine(QplStateTp *s, int32_t line, unsigned char *out) {
  if (line % s->cell_height == 0) {
    ReturnTp rc = ReadAll(s, s->text.data(), s->text.size(), __LINE__);
    if (rc) return rc;
  }
  const int32_t cells = s->width / 8;
  const int32_t cell_line = line % s->cell_height;
  for (int32_t c = 0; c < cells; ++c) {
    const unsigned code = s->text[2 * c];
    const unsigned attribute = s->text[2 * c + 1];
    const unsigned bits = s->font[code * kFontStride + cell_line];
    const unsigned char fore = static_cast<unsigned char>(attribute & 15);
    const unsigned char back = static_cast<unsigned char>((attribute & 0x70) >> 4);
    for (int i = 0; i < 8; ++i) out[8 * c + i] = (bits & (0x80u >> i)) ? fore : back;
  }
  return 0;
}

// Plane files hold 2 or 16 colours; line-interleaved planes and the text
// screen make colour indexes, which mean nothing without a colour map.
bool Readable(const QplStateTp *s) {
  switch (s->mode) {
    case kModePlanes:
      return s->planes == 1 || s->planes == 4;
    case kModeBytes:
      return true;
    case kModeInterleaved:
    case kModeText:
      return s->planes != 0;
    default:
      return false;
  }
}

// Where the first line's data begins. Reading the colour map leaves the
// file there already; seeking again makes a skipped colour map harmless.
ReturnTp StartData(QplStateTp *s) {
  if (s->mode == kModeText) {
    if (s->font.empty()) {
      ReturnTp rc = SeekTo(s, s->data_start, __LINE__);
      if (!rc) rc = ReadFont(s);
      if (rc) return rc;
    }
    return SeekTo(s, s->data_start + kFontSize, __LINE__);
  }
  return SeekTo(s, s->data_start, __LINE__);
}

ReturnTp IfdQplInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  std::unique_ptr<QplStateTp> s(new (std::nothrow) QplStateTp());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);

  unsigned char magic[sizeof kMagic];
  ReturnTp rc = IffOpenDriverStream(request, &s->handle, magic, sizeof magic);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  if (request->service == IFF_SRV_EXPORT) {
    *state = s.release();
    return 0;
  }
  s->recognised = memcmp(magic, kMagic, sizeof kMagic) == 0;
  request->recognised = s->recognised;
  *state = s.release();
  return 0;
}

ReturnTp IfdQplRdHead(void *state, IffParamTp *p) {
  auto *s = static_cast<QplStateTp *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!s->recognised) return Unsupported(__LINE__);

  unsigned char *h = s->header;
  memset(h, 0, kHeaderSize);
  memcpy(h, kMagic, sizeof kMagic);
  ReturnTp rc = SeekTo(s, kLengthOffset, __LINE__);
  if (!rc) rc = ReadAll(s, h + kLengthOffset, 2, __LINE__);
  if (rc) return rc;
  // Shorter headers than the fields read from offset 10 on make no sense;
  // the fields a short header lacks read as 0.
  const int header_length = IfuGetLe16(h + kLengthOffset);
  if (header_length > kHeaderSize || header_length < kFirstField) return Unsupported(__LINE__);
  rc = ReadAll(s, h + kFirstField, static_cast<size_t>(header_length - kFirstField), __LINE__);
  if (rc) return rc;

  const int version = h[kVersion];
  s->mode = h[kMode];
  s->planes = h[kPlanes];
  if (s->planes > kMaxPlanes) return Unsupported(__LINE__);
  s->cmap_entries = s->planes ? 1 << s->planes : 0;
  s->width = IfuGetLe16(h + kWidth);
  s->height = IfuGetLe16(h + kHeight);
  int32_t aspect_x = IfuGetLe16(h + kAspectX), aspect_y = IfuGetLe16(h + kAspectY);
  if (s->mode == kModeText) {
    s->cell_height = h[kHeight] == kTallCellRows ? 16 : 8;
    s->width = kTextWidth;
    s->height = kTextHeight;
    aspect_x = kTextAspectX;
    aspect_y = kTextAspectY;
  }

  p->width = s->width;
  p->height = s->height;
  p->aspect_x = aspect_x;
  p->aspect_y = aspect_y;
  p->transparent = 0;
  p->color_model = IFF_CM_RGB;
  p->planes = 1;
  p->reported0 = 0;
  p->reported1 = 1;
  p->has_cmap = s->planes != 0;
  p->cmap_entries = s->cmap_entries;
  p->bits_per_sample = h[kBits];
  p->orientation = h[kOrientation] <= 3 ? h[kOrientation] : 0;
  p->mirrored = 0;
  FXIBitsPerPixel = s->planes ? 8 : 24;
  FXICompression = IFF_COMP_NONE;

  if (version == 0 || version > 3) return Unsupported(__LINE__);

  // Versions 1 and 2 have no second gap; whatever its bytes hold is noise.
  const int gap2 = version == 3 ? IfuGetLe16(h + kGap2) : 0;
  s->cmap_start = header_length + IfuGetLe16(h + kGap1) + gap2;
  s->data_start = s->cmap_start + 3 * static_cast<int64_t>(s->cmap_entries);

  const int32_t rowbytes = (s->width + 7) / 8;
  s->rowbytes = rowbytes;
  s->line_bytes = 0;
  bool ok = true;
  switch (s->mode) {
    case kModePlanes:
      s->line_bytes = rowbytes;
      s->plane_size = static_cast<int64_t>(s->height) * rowbytes;
      ok = Allocate(s->line, static_cast<size_t>(s->planes) * rowbytes);
      if (ok && s->planes == 4)
        ok = Allocate(s->band, 4 * kBandLines * static_cast<size_t>(rowbytes));
      break;
    case kModeBytes:
      s->line_bytes = (s->planes ? 1 : 3) * s->width;
      break;
    case kModeInterleaved:
      s->line_bytes = rowbytes * s->planes;
      ok = Allocate(s->line, static_cast<size_t>(std::max(s->planes, 3)) * rowbytes);
      break;
    case kModeText:
      s->line_bytes = s->width / 4;
      break;
    default:
      break;
  }
  if (!ok) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  s->font.clear();
  s->next_line = 0;
  return SeekTo(s, s->cmap_start, __LINE__);
}

ReturnTp IfdQplRdCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<QplStateTp *>(state);
  if (!s || !p || !p->cmap) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  ReturnTp rc = SeekTo(s, s->cmap_start, __LINE__);
  if (!rc) rc = ReadAll(s, p->cmap, 3 * static_cast<size_t>(s->cmap_entries), __LINE__);
  if (!rc && s->mode == kModeText) rc = ReadFont(s);
  return rc;
}

ReturnTp IfdQplRdScan(void *state, IffParamTp *p) {
  auto *s = static_cast<QplStateTp *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const int32_t line = p->line;
  if (line != s->next_line || p->nlines != 1 || line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  if (!Readable(s)) return Unsupported(__LINE__);

  // Sixteen-colour plane files seek for every band; the others read on.
  ReturnTp rc = 0;
  if (line == 0 && !(s->mode == kModePlanes && s->planes == 4)) rc = StartData(s);
  if (rc) return rc;
  switch (s->mode) {
    case kModePlanes:
      rc = ReadPlanesLine(s, line, p->buffer);
      break;
    case kModeBytes:
      rc = ReadAll(s, p->buffer, static_cast<size_t>(s->line_bytes), __LINE__);
      break;
    case kModeInterleaved:
      rc = ReadInterleavedLine(s, p->buffer);
      break;
    default:
      rc = ReadTextLine(s, line, p->buffer);
      break;
  }
  if (rc) return rc;
  ++s->next_line;
  return 0;
}

ReturnTp IfdQplWtHead(void *state, IffParamTp *p) {
  auto *s = static_cast<QplStateTp *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (p->compression[0] != IFF_COMP_NONE)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_NO_COMPRESSION);

  switch (p->cmap_entries) {
    case 0:
      s->planes = 0;
      break;
    case 2:
      s->planes = 1;
      break;
    case 8:
      s->planes = 3;
      break;
    case 16:
      s->planes = 4;
      break;
    case 64:
      s->planes = 6;
      break;
    case 256:
      s->planes = 8;
      break;
    default:
      return Unsupported(__LINE__);
  }
  // Sizes are 16-bit fields; a true-colour file holds red, green, blue
  // bytes only, so other layouts of the caller's lines cannot be stored.
  if (p->width < 1 || p->height < 1 || p->aspect_x < 1 || p->aspect_y < 1)
    return Unsupported(__LINE__);
  // The width and height are 16-bit fields.
  if (p->width > 0xFFFF || p->height > 0xFFFF)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_TOO_LARGE, kFormat, p->width, p->height);
  if (s->planes == 0 && p->color_model != IFF_CM_RGB) return Unsupported(__LINE__);
  int32_t aspect_x = p->aspect_x, aspect_y = p->aspect_y;
  while (aspect_x > 0xFFFF || aspect_y > 0xFFFF) {  // keep the ratio, lose precision
    aspect_x = std::max(aspect_x / 2, 1);
    aspect_y = std::max(aspect_y / 2, 1);
  }

  s->cmap_entries = p->cmap_entries;
  s->mode = s->cmap_entries == 2   ? kModePlanes
            : s->cmap_entries == 8 ? kModeInterleaved
                                   : kModeBytes;
  s->mirrored = p->mirrored;
  s->width = static_cast<uint16_t>(p->width);
  s->height = static_cast<uint16_t>(p->height);
  s->rowbytes = (s->width + 7) / 8;
  s->next_line = 0;
  switch (s->mode) {
    case kModePlanes:
      s->line_bytes = s->rowbytes;
      break;
    case kModeInterleaved:
      s->line_bytes = 3 * s->rowbytes;
      break;
    default:
      s->line_bytes = (s->planes ? 1 : 3) * s->width;
      break;
  }
  if (s->mode != kModeBytes && !Allocate(s->line, static_cast<size_t>(s->line_bytes)))
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);

  unsigned char *h = s->header;
  memset(h, 0, kHeaderSize);
  memcpy(h, kMagic, sizeof kMagic);
  IfuPutLe16(h + kLengthOffset, kHeaderSize);
  h[kVersion] = 3;
  IfuPutLe16(h + kWidth, s->width);
  IfuPutLe16(h + kHeight, s->height);
  IfuPutLe16(h + kAspectX, static_cast<uint16_t>(aspect_x));
  IfuPutLe16(h + kAspectY, static_cast<uint16_t>(aspect_y));
  h[kPlanes] = static_cast<unsigned char>(s->planes);
  h[kMode] = static_cast<unsigned char>(s->mode);
  h[kBits] = static_cast<unsigned char>(p->bits_per_sample);
  h[kOrientation] = static_cast<unsigned char>(p->orientation);
  return CmnError(CMN_SOURCE, __LINE__, IfiWrite(h, kHeaderSize, 1, s->handle));
}

ReturnTp IfdQplWtCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<QplStateTp *>(state);
  if (!s || !p || !p->cmap) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->cmap_entries == 0) return 0;
  const size_t size = 3 * static_cast<size_t>(s->cmap_entries);
  return CmnError(CMN_SOURCE, __LINE__, IfiWrite(p->cmap, size, 1, s->handle));
}

// The caller's lines hold one byte per pixel (a colour index, or red,
// green, blue without a colour map), as on import. Two-colour lines are
// packed to bits, eight-colour lines split into three bit rows; the file
// keeps no mirrored flag, so rows are stored as they come.
ReturnTp IfdQplWtScan(void *state, IffParamTp *p) {
  auto *s = static_cast<QplStateTp *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (p->line != s->next_line || p->line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  const unsigned char *out = p->buffer;
  if (s->mode == kModePlanes) {
    IfuPackBits(s->width, p->buffer, s->line.data());
    out = s->line.data();
  } else if (s->mode == kModeInterleaved) {
    ReturnTp rc = IfuBitPlanes(p->buffer, s->line.data(), s->width, 3, IFU_PIXELS_TO_PLANES);
    if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
    out = s->line.data();
  }
  ReturnTp rc = IfiWrite(out, static_cast<size_t>(s->line_bytes), 1, s->handle);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  ++s->next_line;
  return 0;
}

ReturnTp IfdQplTerm(void **state) { return IffTermDriverState<QplStateTp>(state); }

}  // namespace

const IffFormatTp IfdQplFormat = {
    "QPL",
    {{IFF_TYPE_QPL, "QPL."}},
    0,
    0,
    {IfdQplInit, IfdQplRdHead, IfdQplWtHead, IfdQplRdCMap, IfdQplWtCMap, IfdQplRdScan, IfdQplWtScan,
     IfdQplTerm},
    {{"qpl", IFF_TYPE_QPL, IFF_CM_RGB}},
    IFF_MODEL_BIT(IFF_CM_RGB) | IFF_MODEL_BIT(IFF_CM_PALETTE),
};
