// Windows and OS/2 bitmaps: the 14-byte file header, an info header of 12
// or 64 bytes (OS/2 1.x and 2.x) or of 40, 52, 56, 108 or 124 (Windows), a
// colour map below 16 bits per pixel, and rows padded to 4 bytes,
// uncompressed (1, 4, 8, 16, 24, 32 bits; 16 and 32 bits with channel
// masks, and with an alpha mask laid over white) or run-length encoded (8
// and 4 bits). Writes uncompressed files of 1, 4, 8 or 24 bits. Every field
// is little-endian, read and written byte by byte.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "drivers.h"

#define CMN_SOURCE "ifdbmp"

namespace {

const char kFormat[] = "BMP";  // the word of "Unsupported %s format"

constexpr int kFileHeader = 14;
constexpr int kWindowsHeader = 40;
constexpr int kMaxHeader = 124;
constexpr uint32_t kNegativeHeight = 0x4FFFFFFF;  // larger height fields are negative
constexpr double kInchPerMetre = 0.0254;

enum { kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3, kUnsupported = 99 };

// A channel mask: where its lowest set bit is, and how many bits it has.
struct Channel {
  uint32_t mask = 0;
  int shift = 0;
  uint32_t top = 0;  // 2^bits - 1
};

Channel MakeChannel(uint32_t mask) {
  Channel c;
  c.mask = mask;
  if (!mask) return c;
  c.shift = __builtin_ctz(mask);
  const int bits = __builtin_popcount(mask);
  c.top = bits >= 32 ? UINT32_MAX : (1u << bits) - 1;
  return c;
}

unsigned char Component(uint32_t value, const Channel &c) {
  if (!c.top) return 0;
  const uint64_t v = static_cast<uint64_t>((value & c.mask) >> c.shift) * 255 / c.top;
  return static_cast<unsigned char>(std::min<uint64_t>(v, 255));
}

struct BmpState {
  IfiHandleTp *handle = nullptr;
  bool recognised = false;
  uint32_t data_offset = 0;
  // The info header.
  uint32_t header_size = 0;
  int64_t width = 0, height = 0;
  int32_t planes = 0, bits = 0;
  uint32_t compression = 0, image_size = 0;
  int32_t x_ppm = 0, y_ppm = 0;
  uint32_t colors_used = 0, colors_important = 0;
  uint32_t header_masks[4] = {};
  uint32_t color_space = 0;
  Channel channels[4];      // red, green, blue, alpha (no mask: opaque)
  int32_t entry_bytes = 0;  // 4 Windows, 3 OS/2
  int32_t cmap_entries = 0;
  int64_t stride = 0;
  // A 1-bit page of two grey entries is handed over as these greys.
  bool grey = false;
  unsigned char shade[2] = {};
  bool bottom_up = false;
  // A bottom-up file read from its end a block of rows at a time, so that
  // rows go out top first; block_first is the top row the block holds.
  bool top_first = false;
  std::vector<unsigned char> block;
  int64_t block_first = 0, block_rows = 0;
  // Reading.
  std::vector<unsigned char> row;
  int32_t next_line = 0;
  bool ended = false;  // a run-length end of bitmap was met
  // Writing.
  int32_t out_bits = 0;
  int64_t file_size = 0;
  int64_t data_start = 0;
  bool top_down = false;  // output that cannot seek gets its rows in order
};

ReturnTp Unsupported(unsigned line) {
  return CmnError(CMN_SOURCE, line, IFD_E_UNSUPPORTED, kFormat);
}

// Whole records only: a header cut short is no bitmap.
ReturnTp ReadAll(BmpState *s, void *buffer, size_t size, unsigned line) {
  return CmnError(CMN_SOURCE, line, IfiRead(buffer, size, 1, s->handle));
}

// Pixel data: what the file holds of it, the rest zeros.
void ReadSome(BmpState *s, unsigned char *buffer, size_t size) {
  memset(buffer, 0, size);
  IfiRead(buffer, 1, size, s->handle);
}

int ReadByte(BmpState *s) {
  unsigned char c = 0;
  return IfiRead(&c, 1, 1, s->handle) == 0 ? c : 0;
}

// Old display modes whose pixels were not square: the aspect of the
// screen the picture was made for.
bool ScreenSize(int64_t w, int64_t h) {
  return (w == 320 && h == 200) || (w == 360 && h == 480) ||
         (w == 640 && (h == 200 || h == 350 || h == 400 || h == 480));
}

// Pixels per metre to dots per inch; a value that came from a whole
// number of dots per inch gives that number back exactly.
double Dpi(int32_t ppm) {
  if (ppm <= 0) return 0;
  const double dpi = ppm * kInchPerMetre;
  const double whole = std::round(dpi);
  return std::round(whole / kInchPerMetre) == ppm ? whole : dpi;
}

ReturnTp ReadInfoHeader(BmpState *s) {
  unsigned char h[kMaxHeader] = {};
  ReturnTp rc = CmnError(CMN_SOURCE, __LINE__, IfiSeek(s->handle, kFileHeader, 0));
  if (!rc) rc = ReadAll(s, h, 4, __LINE__);
  if (rc) return rc;
  s->header_size = IfuGetLe32(h);
  if (s->header_size == 12) {
    rc = ReadAll(s, h + 4, 8, __LINE__);
    if (rc) return rc;
    s->width = IfuGetLe16(h + 4);
    s->height = IfuGetLe16(h + 6);
    s->planes = IfuGetLe16(h + 8);
    s->bits = IfuGetLe16(h + 10);
    s->compression = kRgb;
    s->entry_bytes = 3;
    s->bottom_up = true;
    return 0;
  }
  // Windows headers of 40 bytes, 52 and 56 (with the channel masks, and
  // the alpha mask), 108 and 124; OS/2 2.x headers of 64 bytes, which begin
  // as the 40-byte one.
  const uint32_t hs = s->header_size;
  if (hs != 40 && hs != 52 && hs != 56 && hs != 64 && hs != 108 && hs != 124)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  rc = ReadAll(s, h + 4, s->header_size - 4, __LINE__);
  if (rc) return rc;
  s->width = static_cast<int32_t>(IfuGetLe32(h + 4));
  const uint32_t height = IfuGetLe32(h + 8);
  s->bottom_up = height <= kNegativeHeight;
  s->height = s->bottom_up ? height : (int64_t{1} << 32) - height;
  s->planes = IfuGetLe16(h + 12);
  s->bits = IfuGetLe16(h + 14);
  s->compression = IfuGetLe32(h + 16);
  s->image_size = IfuGetLe32(h + 20);
  s->x_ppm = static_cast<int32_t>(IfuGetLe32(h + 24));
  s->y_ppm = static_cast<int32_t>(IfuGetLe32(h + 28));
  s->colors_used = IfuGetLe32(h + 32);
  s->colors_important = IfuGetLe32(h + 36);
  if (hs != 64 && hs >= 52) {
    for (int i = 0; i < (hs >= 56 ? 4 : 3); ++i) s->header_masks[i] = IfuGetLe32(h + 40 + 4 * i);
  }
  if (hs >= 108) s->color_space = IfuGetLe32(h + 56);
  // Compression 3 is Huffman coding there, not channel masks.
  if (hs == 64 && s->compression == kBitFields) s->compression = kUnsupported;
  s->entry_bytes = 4;
  return 0;
}

// The channel masks of 16- and 32-bit data. Bit fields follow the first 40
// bytes of the info header: as three words of their own after a 40-byte
// header, as the header's first fields after a longer one.
ReturnTp ReadMasks(BmpState *s) {
  uint32_t masks[3] = {0x7C00, 0x3E0, 0x1F};
  if (s->compression == kBitFields) {
    if (s->header_size >= 52) {
      std::copy(s->header_masks, s->header_masks + 3, masks);
    } else {
      unsigned char m[12];
      ReturnTp rc = CmnError(CMN_SOURCE, __LINE__, IfiSeek(s->handle, kFileHeader + 40, 0));
      if (!rc) rc = ReadAll(s, m, sizeof m, __LINE__);
      if (rc) return rc;
      for (int i = 0; i < 3; ++i) masks[i] = IfuGetLe32(m + 4 * i);
    }
  }
  for (int i = 0; i < 3; ++i) s->channels[i] = MakeChannel(masks[i]);
  // Only the longer headers name an alpha mask, and only channel masks
  // make it count.
  const bool alpha = s->compression == kBitFields && s->header_size >= 56;
  s->channels[3] = MakeChannel(alpha ? s->header_masks[3] : 0);
  return 0;
}

bool ValidBits(const BmpState *s) {
  switch (s->bits) {
    case 1:
    case 4:
    case 8:
    case 24:
      return s->compression == kRgb || (s->compression == kRle8 && s->bits == 8) ||
             (s->compression == kRle4 && s->bits == 4);
    case 16:
    case 32:
      return s->compression == kRgb || s->compression == kBitFields;
    default:
      return false;
  }
}

// ---- Rows ------------------------------------------------------------------

// One uncompressed row of the file to the line: indexes or red, green, blue.
void ConvertRow(const BmpState *s, const unsigned char *in, unsigned char *out) {
  const int32_t w = static_cast<int32_t>(s->width);
  switch (s->bits) {
    case 1:
      if (s->grey)
        IfuExpandBitsAs(w, in, out, s->shade[0], s->shade[1]);
      else
        IfuExpandBits(w, in, out);
      break;
    case 4:
      for (int32_t i = 0; i < w; ++i) out[i] = (in[i >> 1] >> (i & 1 ? 0 : 4)) & 15;
      break;
    case 8:
      memcpy(out, in, static_cast<size_t>(w));
      break;
    case 16:
    case 32:
      if (s->bits == 32 && s->compression == kRgb) {
        // Blue, green, red and a byte that means nothing.
        for (int32_t i = 0; i < w; ++i) {
          out[3 * i] = in[4 * i + 2];
          out[3 * i + 1] = in[4 * i + 1];
          out[3 * i + 2] = in[4 * i];
        }
        break;
      }
      for (int32_t i = 0; i < w; ++i) {
        const uint32_t v = s->bits == 16 ? IfuGetLe16(in + 2 * i) : IfuGetLe32(in + 4 * i);
        const unsigned a = s->channels[3].top ? Component(v, s->channels[3]) : 255;
        for (int k = 0; k < 3; ++k) out[3 * i + k] = IfuOverWhite(Component(v, s->channels[k]), a);
      }
      break;
    default:
      for (int32_t i = 0; i < w; ++i) {
        out[3 * i] = in[3 * i + 2];
        out[3 * i + 1] = in[3 * i + 1];
        out[3 * i + 2] = in[3 * i];
      }
      break;
  }
}

// One run-length row: pairs of a count and a value, or of a zero and an
// escape. Runs and literals that reach past the row are cut at its end;
// pixels no pair sets stay index 0.
void DecodeRleRow(BmpState *s, unsigned char *out) {
  const int64_t w = s->width;
  const bool four = s->compression == kRle4;
  memset(out, 0, static_cast<size_t>(w));
  if (s->ended) {
    // Rows after the end of the bitmap or of the data still cost what an
    // uncompressed row would read, so that a tiny file claiming a huge
    // picture runs into the interface's limit on made-up data.
    ReadSome(s, s->row.data(), static_cast<size_t>(s->stride));
    return;
  }
  int64_t x = 0;
  for (;;) {
    unsigned char pair[2] = {0, 0};
    if (IfiRead(pair, 1, 2, s->handle) != 0) {
      s->ended = true;  // the end of the data ends the row and the bitmap
      return;
    }
    const int count = pair[0], value = pair[1];
    if (count) {
      for (int i = 0; i < count && x < w; ++i, ++x)
        out[x] = static_cast<unsigned char>(four ? (i & 1 ? value & 15 : value >> 4) : value);
      continue;
    }
    if (value == 0) return;
    if (value == 1) {
      s->ended = true;
      return;
    }
    if (value == 2) {
      // A move down would need rows we have delivered already: only the
      // move to the right is kept.
      x = std::min<int64_t>(x + ReadByte(s), w);
      ReadByte(s);
      continue;
    }
    const int bytes = four ? (value + 1) / 2 : value;
    unsigned char literal[256];
    ReadSome(s, literal, static_cast<size_t>(bytes + (bytes & 1)));
    for (int i = 0; i < value && x < w; ++i, ++x)
      out[x] = four ? (i & 1 ? literal[i / 2] & 15 : literal[i / 2] >> 4) : literal[i];
  }
}

// The colour map as red, green, blue entries. A map cut short leaves its
// last entries black.
ReturnTp ReadMap(BmpState *s, unsigned char *cmap) {
  unsigned char raw[256 * 4];
  const int32_t eb = s->entry_bytes;
  ReturnTp rc = CmnError(CMN_SOURCE, __LINE__, IfiSeek(s->handle, kFileHeader + s->header_size, 0));
  if (rc) return rc;
  ReadSome(s, raw, static_cast<size_t>(s->cmap_entries * eb));
  for (int32_t i = 0; i < s->cmap_entries; ++i) {
    cmap[3 * i] = raw[eb * i + 2];
    cmap[3 * i + 1] = raw[eb * i + 1];
    cmap[3 * i + 2] = raw[eb * i];
  }
  return 0;
}

// Row y (top first) of a bottom-up file: the block of rows from y down is
// read at once when y is not in the block at hand.
ReturnTp TopFirstRow(BmpState *s, int64_t y, const unsigned char **row) {
  constexpr int64_t kBlockBytes = 1 << 20;
  if (y < s->block_first || y >= s->block_first + s->block_rows) {
    const int64_t rows = std::min(std::max<int64_t>(kBlockBytes / s->stride, 1), s->height - y);
    const size_t size = static_cast<size_t>(rows * s->stride);
    try {
      if (s->block.size() < size) s->block.resize(size);
    } catch (const std::exception &) {
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
    }
    const int64_t at = s->data_offset + (s->height - y - rows) * s->stride;
    ReturnTp rc = CmnError(CMN_SOURCE, __LINE__, IfiSeek(s->handle, at, 0));
    if (rc) return rc;
    ReadSome(s, s->block.data(), size);
    s->block_first = y;
    s->block_rows = rows;
  }
  *row = s->block.data() + (s->block_rows - 1 - (y - s->block_first)) * s->stride;
  return 0;
}

ReturnTp StartRows(BmpState *s) {
  if (s->row.empty()) {
    // The interface has checked the width by now.
    const size_t size = static_cast<size_t>(std::max(s->stride, 3 * s->width));
    try {
      s->row.assign(size, 0);
    } catch (const std::exception &) {
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
    }
  }
  return CmnError(CMN_SOURCE, __LINE__, IfiSeek(s->handle, s->data_offset, 0));
}

// ---- Writing ---------------------------------------------------------------

void PackRow(const BmpState *s, const unsigned char *in, unsigned char *out, int32_t w) {
  memset(out, 0, static_cast<size_t>(s->stride));
  switch (s->out_bits) {
    case 1:
      IfuPackBits(w, in, out);
      break;
    case 4:
      for (int32_t i = 0; i < w; ++i)
        out[i >> 1] |= static_cast<unsigned char>((in[i] & 15) << (i & 1 ? 0 : 4));
      break;
    case 8:
      memcpy(out, in, static_cast<size_t>(w));
      break;
    default:
      for (int32_t i = 0; i < w; ++i) {
        out[3 * i] = in[3 * i + 2];
        out[3 * i + 1] = in[3 * i + 1];
        out[3 * i + 2] = in[3 * i];
      }
      break;
  }
}

uint32_t Ppm(double dpi) {
  if (!(dpi > 0)) return 0;
  return static_cast<uint32_t>(std::min(dpi / kInchPerMetre + 0.5, 2147483647.0));
}

ReturnTp IfdBmpInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  std::unique_ptr<BmpState> s(new (std::nothrow) BmpState());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);

  unsigned char h[kFileHeader];
  ReturnTp rc = IffOpenDriverStream(request, &s->handle, h, sizeof h);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  if (request->service == IFF_SRV_EXPORT) {
    IfiSetBuffer(s->handle, nullptr, 0, 12000);
    *state = s.release();
    return 0;
  }
  s->recognised = h[0] == 'B' && h[1] == 'M' && IfuGetLe32(h + 6) == 0;
  s->data_offset = IfuGetLe32(h + 10);
  request->recognised = s->recognised;
  *state = s.release();
  return 0;
}

ReturnTp IfdBmpRdHead(void *state, IffParamTp *p) {
  auto *s = static_cast<BmpState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!s->recognised) return Unsupported(__LINE__);
  ReturnTp rc = ReadInfoHeader(s);
  if (rc) return rc;
  if (s->compression == kUnsupported) return Unsupported(__LINE__);
  if (s->compression > kBitFields) return CmnError(CMN_SOURCE, __LINE__, CMN_E_READ_FILE);
  if (!ValidBits(s)) return Unsupported(__LINE__);
  if (s->bits == 16 || s->bits == 32) {
    rc = ReadMasks(s);
    if (rc) return rc;
  }
  // Pixel data that would start behind the end of the file is no picture.
  if (s->handle->file_size > 0 && s->data_offset >= s->handle->file_size)
    return CmnError(CMN_SOURCE, __LINE__, IFI_E_EOF);

  // Run-length rows are named as such; channel masks compress nothing.
  FXICompression =
      s->compression == kRle8 || s->compression == kRle4 ? IFF_COMP_RLE : IFF_COMP_NONE;
  FXIBitsPerPixel = s->bits;
  s->stride = (s->bits * std::max<int64_t>(s->width, 0) + 31) / 32 * 4;
  s->cmap_entries = s->bits < 16 ? 1 << s->bits : 0;
  // OS/2 2.x maps have 4-byte entries, but some writers give them 3: the
  // room before the pixel data tells which.
  if (s->header_size == 64 && s->cmap_entries &&
      s->data_offset < kFileHeader + 64 + 4 * static_cast<uint32_t>(s->cmap_entries))
    s->entry_bytes = 3;
  s->next_line = 0;
  s->ended = false;
  s->row.clear();

  // The interface refuses sizes outside its limits; what does not fit in
  // 32 bits is shown to it as too large.
  p->width = static_cast<int32_t>(std::clamp<int64_t>(s->width, -1, INT32_MAX));
  p->height = static_cast<int32_t>(std::min<int64_t>(s->height, INT32_MAX));
  p->aspect_x = p->aspect_y = 1;
  if (ScreenSize(s->width, s->height)) {
    p->aspect_x = static_cast<int32_t>(4 * s->height);
    p->aspect_y = static_cast<int32_t>(3 * s->width);
  } else if (s->x_ppm > 0 && s->y_ppm > 0) {
    const double ratio = static_cast<double>(s->y_ppm) / s->x_ppm;
    p->aspect_x = static_cast<int32_t>(std::clamp(ratio * 1000, 1.0, 1e9));
    p->aspect_y = 1000;
  }
  p->x_resolution = Dpi(s->x_ppm);
  p->y_resolution = Dpi(s->y_ppm);
  p->resolution_known = p->x_resolution > 0 || p->y_resolution > 0;
  p->color_model = IFF_CM_RGB;
  p->has_cmap = s->cmap_entries > 0;
  p->cmap_entries = s->cmap_entries;
  p->bytes_per_pixel = s->cmap_entries ? 1 : 3;
  p->bits_per_sample = 8;
  p->planes = 1;
  // Uncompressed rows of a named file that holds them all are read bottom
  // row last: the page streams through the reading layer like a top-down
  // one instead of waiting whole in the raster to be turned over.
  const bool uncompressed = s->compression == kRgb || s->compression == kBitFields;
  const int64_t room = s->handle->file_size - int64_t{s->data_offset};
  s->top_first = s->bottom_up && uncompressed && s->handle->seekable && s->stride > 0 &&
                 s->height > 0 && room > 0 && s->height <= room / s->stride;
  s->block_rows = 0;
  p->orientation = s->bottom_up && !s->top_first ? 2 : 0;
  p->mirrored = s->bottom_up && !s->top_first ? 1 : 0;
  p->reported0 = 0;
  p->reported1 = 1;
  // Two greys: the bits are spread to them by table, and the page is grey.
  s->grey = false;
  if (s->bits == 1) {
    unsigned char two[6];
    rc = ReadMap(s, two);
    if (rc) return rc;
    s->grey = IfdGreyPair(two, p);
    s->shade[0] = two[0];
    s->shade[1] = two[3];
  }
  return 0;
}

ReturnTp IfdBmpRdCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<BmpState *>(state);
  if (!s || !p || !p->cmap) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  return s->cmap_entries ? ReadMap(s, p->cmap) : 0;
}

// Rows come top first; those of a bottom-up file that cannot be read from
// its end (run-length rows, a pipe, a file cut short) come in file order,
// as its orientation tells the client. A line step of 0 asks for any row
// by its place in the picture instead (uncompressed files only).
ReturnTp IfdBmpRdScan(void *state, IffParamTp *p) {
  auto *s = static_cast<BmpState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const int32_t line = p->line;
  const bool rle = s->compression == kRle8 || s->compression == kRle4;
  const bool any_row = p->line_step == 0 && !rle;
  if (line < 0 || line >= s->height || (!any_row && line != s->next_line))
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  ReturnTp rc = 0;
  if (s->row.empty() || line == 0) rc = StartRows(s);
  if (rc) return rc;
  if (any_row) {
    const int64_t at = s->bottom_up ? s->height - 1 - line : line;
    rc = CmnError(CMN_SOURCE, __LINE__, IfiSeek(s->handle, s->data_offset + at * s->stride, 0));
    if (rc) return rc;
  }
  if (rle) {
    DecodeRleRow(s, p->buffer);
  } else {
    const unsigned char *row = s->row.data();
    if (s->top_first && !any_row) {
      rc = TopFirstRow(s, line, &row);
      if (rc) return rc;
    } else {
      ReadSome(s, s->row.data(), static_cast<size_t>(s->stride));
    }
    if (s->grey && s->bits == 1 && p->runs_wanted) {
      // The two greys handed over as the row's bits, without a byte per
      // pixel; the row stays where it is until the next request.
      p->line_form = IFF_LINE_BITS;
      p->bits = row;
      p->levels[0] = s->shade[0];
      p->levels[1] = s->shade[1];
    } else {
      ConvertRow(s, row, p->buffer);
    }
  }
  s->next_line = line + 1;
  return 0;
}

ReturnTp IfdBmpWtHead(void *state, IffParamTp *p) {
  auto *s = static_cast<BmpState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  // A colour map holds red, green, blue entries; lines given with it are
  // indexes into it.
  const bool mapped = p->has_cmap && p->cmap_entries > 0;
  if (p->color_model != IFF_CM_RGB && !(mapped && p->color_model == IFF_CM_PALETTE))
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_NEEDS_RGB);
  if (p->compression[0] != IFF_COMP_NONE)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_NO_COMPRESSION);
  const int32_t entries = mapped ? p->cmap_entries : 0;
  switch (entries) {
    case 0:
      s->out_bits = 24;
      break;
    case 2:
      s->out_bits = 1;
      break;
    case 16:
      s->out_bits = 4;
      break;
    case 256:
      s->out_bits = 8;
      break;
    default:
      return CmnError(CMN_SOURCE, __LINE__, IFD_E_CMAP_SIZE);
  }
  s->width = p->width;
  s->height = p->height;
  s->bits = p->bits_per_sample;
  s->cmap_entries = entries;
  s->stride = (s->out_bits * s->width + 31) / 32 * 4;
  s->data_start = kFileHeader + kWindowsHeader + 4 * entries;
  s->file_size = s->data_start + s->stride * s->height;
  // The file size is a 32-bit field.
  if (s->file_size > UINT32_MAX)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_TOO_LARGE, kFormat, s->width, s->height);
  try {
    s->row.assign(static_cast<size_t>(s->stride), 0);
  } catch (const std::exception &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  }
  // Rows go to their place in the file, so they may come in any order.
  // Output that cannot seek (a pipe) gets a top-down file instead, whose
  // rows must then come top first.
  s->top_down = !s->handle->seekable;
  s->handle->direct = 1;
  s->next_line = 0;

  unsigned char h[kFileHeader + kWindowsHeader] = {'B', 'M'};
  IfuPutLe32(h + 2, static_cast<uint32_t>(s->file_size));
  IfuPutLe32(h + 10, static_cast<uint32_t>(s->data_start));
  unsigned char *info = h + kFileHeader;
  IfuPutLe32(info, kWindowsHeader);
  IfuPutLe32(info + 4, static_cast<uint32_t>(s->width));
  IfuPutLe32(info + 8, static_cast<uint32_t>(s->top_down ? -s->height : s->height));
  IfuPutLe16(info + 12, 1);
  IfuPutLe16(info + 14, static_cast<uint16_t>(s->out_bits));
  IfuPutLe32(info + 20, static_cast<uint32_t>(s->stride * s->height));
  IfuPutLe32(info + 24, Ppm(p->x_resolution));
  IfuPutLe32(info + 28, Ppm(p->y_resolution));
  return CmnError(CMN_SOURCE, __LINE__, IfiWrite(h, sizeof h, 1, s->handle));
}

ReturnTp IfdBmpWtCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<BmpState *>(state);
  if (!s || !p || !p->cmap) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!s->cmap_entries) return 0;
  const int32_t n = 3 * s->cmap_entries;
  unsigned char rgb[3 * 256];
  if (s->bits > 0 && s->bits < 8) {
    ReturnTp rc = IfuConvBPC(n, s->bits, 8, p->cmap, rgb);
    if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  } else {
    memcpy(rgb, p->cmap, static_cast<size_t>(n));
  }
  unsigned char out[4 * 256] = {};
  for (int32_t i = 0; i < s->cmap_entries; ++i) {
    out[4 * i] = rgb[3 * i + 2];
    out[4 * i + 1] = rgb[3 * i + 1];
    out[4 * i + 2] = rgb[3 * i];
  }
  ReturnTp rc = IfiWrite(out, 4, static_cast<size_t>(s->cmap_entries), s->handle);
  return rc ? CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_CMAP) : 0;
}

ReturnTp IfdBmpWtScan(void *state, IffParamTp *p) {
  auto *s = static_cast<BmpState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const int32_t line = p->line;
  if (!s->out_bits || line < 0 || line >= s->height || (s->top_down && line != s->next_line))
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  PackRow(s, p->buffer, s->row.data(), static_cast<int32_t>(s->width));
  if (!s->top_down) {
    ReturnTp rc = IfiSeek(s->handle, s->file_size - (line + 1) * s->stride, 0);
    if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  }
  ReturnTp rc = IfiWrite(s->row.data(), 1, s->row.size(), s->handle);
  if (rc) return CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_LINE);
  s->next_line = line + 1;
  return 0;
}

ReturnTp IfdBmpTerm(void **state) { return IffTermDriverState<BmpState>(state); }

}  // namespace

const IffFormatTp IfdBmpFormat = {
    "BMP",
    {{IFF_TYPE_BMP, "Microsoft Bitmap (BMP)."}},
    0,
    0,
    {IfdBmpInit, IfdBmpRdHead, IfdBmpWtHead, IfdBmpRdCMap, IfdBmpWtCMap, IfdBmpRdScan, IfdBmpWtScan,
     IfdBmpTerm},
    {{"bmp", IFF_TYPE_BMP, IFF_CM_RGB}},
    IFF_MODEL_BIT(IFF_CM_RGB) | IFF_MODEL_BIT(IFF_CM_PALETTE),
};
