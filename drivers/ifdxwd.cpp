// X Window dump files (version 7): a header of 25 big-endian words and the
// window name, colour records of 12 (or, from some 64-bit writers, 16)
// bytes, then the pixels as an X image in Z or XY format, in the byte and
// bit order of the machine that made it. Palette visuals deliver colour
// indexes with their map, TrueColor and DirectColor deliver RGB. Writes
// 24-bit TrueColor, 8-bit PseudoColor and 1-bit StaticGray dumps.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "drivers.h"

#define CMN_SOURCE "ifdxwd"

namespace {

const char kFormat[] = "XWD";  // the word of "Unsupported %s format"
const char kDefaultName[] = "Unknown Filename";

constexpr int kWords = 25;
constexpr int kHeaderSize = 4 * kWords;
constexpr uint32_t kVersion = 7;
// Limits of what we take from a header: no X server makes more.
constexpr uint32_t kMaxHeader = 65536;  // the header with the window name
constexpr uint32_t kMaxColours = 65536;

enum {
  kHeaderLength,
  kFileVersion,
  kFormatWord,
  kDepth,
  kWidth,
  kHeight,
  kXOffset,
  kByteOrder,
  kBitmapUnit,
  kBitOrder,
  kBitmapPad,
  kBitsPerPixel,
  kBytesPerLine,
  kVisualClass,
  kRedMask,
  kGreenMask,
  kBlueMask,
  kBitsPerRgb,
  kMapEntries,
  kColours,
  kWindowWidth,
  kWindowHeight,
  kWindowX,
  kWindowY,
  kBorder
};
enum { kXYBitmap = 0, kXYPixmap = 1, kZPixmap = 2 };
enum { kStaticGray = 0, kGrayScale = 1, kPseudoColor = 3, kTrueColor = 4, kDirectColor = 5 };
constexpr uint32_t kLsbFirst = 0, kMsbFirst = 1;

struct XwdState {
  IfiHandleTp *handle = nullptr;
  uint32_t h[kWords] = {};
  bool recognised = false;
  bool rgb = false;      // TrueColor or DirectColor: pixels are colour values
  bool has_map = false;  // colour records were read
  int64_t data_offset = 0;
  int64_t row_bytes = 0;   // bytes of one stored row (of one plane for XY)
  int64_t used_bytes = 0;  // of those, the bytes that hold the row's pixels
  int32_t next_line = 0;
  int shift[3] = {}, width_bits[3] = {};  // of the three masks
  uint32_t max[3] = {};
  std::vector<unsigned char> map;  // 3 bytes an entry
  std::vector<unsigned char> row;
  std::vector<uint32_t> pixels;  // XY format: the pixel values built plane by plane
  // Export.
  int32_t depth = 0, width = 0, height = 0, bits_map = 8, entries = 0;
  uint32_t model = 0;
};

ReturnTp Unsupported(unsigned line) {
  return CmnError(CMN_SOURCE, line, IFD_E_UNSUPPORTED, kFormat);
}
ReturnTp CannotConvert(unsigned line) { return CmnError(CMN_SOURCE, line, IFD_E_CONVERT, kFormat); }

ReturnTp ReadAll(XwdState *s, void *buffer, size_t size, unsigned line) {
  if (size == 0) return 0;
  ReturnTp rc = IfiRead(buffer, size, 1, s->handle);
  return rc ? CmnReraise(CMN_SOURCE, line, rc) : 0;
}

bool IsUnit(uint32_t v) { return v == 8 || v == 16 || v == 32; }

// The byte order, bit order and units a dump can have, and the rest of
// what identification checks.
bool Recognised(const uint32_t *h) {
  return h[kHeaderLength] >= kHeaderSize && h[kFormatWord] <= kZPixmap && h[kVisualClass] <= 5 &&
         h[kDepth] <= 64 && h[kByteOrder] <= 1 && h[kBitOrder] <= 1 && IsUnit(h[kBitmapUnit]) &&
         IsUnit(h[kBitmapPad]);
}

// Lowest set bit and width of a mask.
void MaskShape(uint32_t mask, int *shift, int *bits) {
  *shift = *bits = 0;
  if (!mask) return;
  while (!(mask & 1)) {
    mask >>= 1;
    ++*shift;
  }
  while (mask & 1) {
    mask >>= 1;
    ++*bits;
  }
}

// Reads the colour records. They are 12 bytes (pixel, red, green, blue,
// flags, pad) unless they make no sense as such: all flags equal, all pads
// equal or pixel values rising are what real 12-byte records show. Else
// they are 16 bytes, with four unused bytes after the pixel.
ReturnTp ReadColours(XwdState *s) {
  const uint32_t n = s->h[kColours];
  const uint32_t entries = std::max(s->h[kMapEntries], n);
  std::vector<unsigned char> records;
  try {
    s->map.assign(3 * static_cast<size_t>(std::max<uint32_t>(entries, 1)), 0);
    records.assign(16 * static_cast<size_t>(n), 0);
  } catch (const std::exception &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  ReturnTp rc = ReadAll(s, records.data(), 12 * static_cast<size_t>(n), __LINE__);
  if (rc) return rc;
  bool flags_equal = true, pads_equal = true, rising = true;
  for (uint32_t i = 1; i < n; ++i) {
    const unsigned char *r = &records[12 * i], *first = &records[0];
    flags_equal = flags_equal && r[10] == first[10];
    pads_equal = pads_equal && r[11] == first[11];
    rising = rising && IfuGetBe32(r) > IfuGetBe32(r - 12);
  }
  int size = 12;
  if (!flags_equal && !pads_equal && !rising) {
    size = 16;
    rc = ReadAll(s, &records[12 * static_cast<size_t>(n)], 4 * static_cast<size_t>(n), __LINE__);
    if (rc) return rc;
  }
  const int colour_at = size == 12 ? 4 : 8;
  for (uint32_t i = 0; i < n; ++i) {
    const unsigned char *r = &records[static_cast<size_t>(size) * i];
    uint32_t index = IfuGetBe32(r);
    if (index >= entries) index = i;
    for (int c = 0; c < 3; ++c) s->map[3 * index + c] = r[colour_at + 2 * c];
  }
  s->has_map = true;
  s->data_offset += static_cast<int64_t>(size) * n;
  return 0;
}

// The row as the file stores it, with each bitmap unit in most significant
// byte first order when the bits are numbered from the other end: then the
// bits of a unit run in one order through its bytes.
void NormaliseUnits(XwdState *s, unsigned char *row, int64_t bytes) {
  const uint32_t unit = s->h[kBitmapUnit] / 8;
  if (unit < 2 || s->h[kByteOrder] == s->h[kBitOrder]) return;
  for (int64_t at = 0; at + unit <= bytes; at += unit) std::reverse(row + at, row + at + unit);
}

// Bit k of a row of 1-bit pixels, in the file's bit order.
inline uint32_t BitAt(const unsigned char *row, int64_t k, bool lsb) {
  const int b = static_cast<int>(k & 7);
  return (row[k >> 3] >> (lsb ? b : 7 - b)) & 1u;
}

// Pixel x of a Z-format row.
uint32_t ZPixel(const XwdState *s, const unsigned char *row, int64_t x) {
  const uint32_t bpp = s->h[kBitsPerPixel];
  const bool lsb_bytes = s->h[kByteOrder] == kLsbFirst;
  if (bpp < 8) {
    const int64_t bit = x * bpp;
    const int in_byte = static_cast<int>(bit & 7);
    const unsigned byte = row[bit >> 3];
    const int shift = s->h[kBitOrder] == kLsbFirst ? in_byte : 8 - static_cast<int>(bpp) - in_byte;
    return (byte >> shift) & ((1u << bpp) - 1);
  }
  const int n = static_cast<int>(bpp / 8);
  const unsigned char *p = row + x * n;
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | p[lsb_bytes ? n - 1 - i : i];
  return v;
}

// The row's bytes that hold pixels, read from the file; the rest of the
// stored row is passed over by reading, so that no seek is needed between
// rows. The row buffer is padded to whole bitmap units.
ReturnTp ReadRow(XwdState *s) {
  unsigned char *row = s->row.data();
  if (IfiRead(row, static_cast<size_t>(s->used_bytes), 1, s->handle) != 0) {
    // Cut short: zeros from here (IfiRead has cleared the row).
  }
  unsigned char scratch[4096];
  for (int64_t left = s->row_bytes - s->used_bytes; left > 0;) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(left, sizeof scratch));
    if (IfiRead(scratch, n, 1, s->handle) != 0) break;  // the end: nothing left to pass
    left -= static_cast<int64_t>(n);
  }
  NormaliseUnits(s, row, s->used_bytes);
  return 0;
}

void PixelToRgb(const XwdState *s, uint32_t v, unsigned char *out) {
  for (int c = 0; c < 3; ++c) {
    const uint32_t component = (v >> s->shift[c]) & s->max[c];
    if (s->h[kVisualClass] == kDirectColor && s->has_map) {
      const size_t entries = s->map.size() / 3;
      out[c] = component < entries ? s->map[3 * component + c] : 0;
    } else if (s->max[c] == 255) {
      out[c] = static_cast<unsigned char>(component);
    } else {
      out[c] = static_cast<unsigned char>((component * 255u + s->max[c] / 2) / s->max[c]);
    }
  }
}

ReturnTp IfdXwdInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  std::unique_ptr<XwdState> s(new (std::nothrow) XwdState());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);

  unsigned char header[kHeaderSize];
  ReturnTp rc = IffOpenDriverStream(request, &s->handle, header, sizeof header);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  if (request->service == IFF_SRV_EXPORT) {
    *state = s.release();
    return 0;
  }
  for (int i = 0; i < kWords; ++i) s->h[i] = IfuGetBe32(header + 4 * i);
  s->recognised = Recognised(s->h);
  request->recognised = s->recognised;
  // A dump of another version or with more colours than entries is
  // refused by the header read.
  *state = s.release();
  return 0;
}

ReturnTp IfdXwdRdHead(void *state, IffParamTp *p) {
  auto *s = static_cast<XwdState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  uint32_t *h = s->h;
  if (!s->recognised || h[kFileVersion] != kVersion || h[kColours] > h[kMapEntries] ||
      h[kHeaderLength] > kMaxHeader || h[kMapEntries] > kMaxColours)
    return Unsupported(__LINE__);
  if (h[kFormatWord] != kZPixmap && h[kFormatWord] != kXYPixmap) return CannotConvert(__LINE__);
  const uint32_t depth = h[kDepth], bpp = h[kBitsPerPixel];
  const bool z = h[kFormatWord] == kZPixmap;
  s->rgb = h[kVisualClass] == kTrueColor || h[kVisualClass] == kDirectColor;
  if (depth < 1 || depth > 32 || h[kXOffset] > (1u << 24)) return Unsupported(__LINE__);
  // Rows are sized from the width: sizes the interface refuses are
  // refused before they are allocated.
  if (ReturnTp code = IffSizeCode(h[kWidth], h[kHeight]))
    return CmnError(CMN_SOURCE, __LINE__, code);
  if (z && (bpp < depth || (bpp != 1 && bpp != 2 && bpp != 4 && bpp % 8 != 0) || bpp > 32))
    return Unsupported(__LINE__);
  // Palette pixels index a map of at most 256 entries here.
  if (!s->rgb && depth > 8) return Unsupported(__LINE__);

  const int64_t width = h[kWidth], x_offset = h[kXOffset];
  const int64_t bits = (x_offset + width) * (z ? bpp : 1);
  const int64_t pad = h[kBitmapPad];
  if (h[kBytesPerLine] == 0)
    h[kBytesPerLine] = static_cast<uint32_t>((bits + pad - 1) / pad * pad / 8);
  s->row_bytes = h[kBytesPerLine];
  s->used_bytes = (bits + 7) / 8;
  // Rows are padded to the bitmap pad; far longer rows than their pixels
  // need are no X image, and would make us read data that means nothing.
  if (s->row_bytes < s->used_bytes || s->row_bytes > 2 * s->used_bytes + 64)
    return Unsupported(__LINE__);

  if (s->rgb) {
    if (!h[kRedMask] || !h[kGreenMask] || !h[kBlueMask]) {
      fprintf(stderr, "ERROR: zero mask value in XWD-RGB file rmask: %lX gmask: %lX bmask:%lX\n",
              static_cast<unsigned long>(h[kRedMask]), static_cast<unsigned long>(h[kGreenMask]),
              static_cast<unsigned long>(h[kBlueMask]));
      exit(1);
    }
    for (int c = 0; c < 3; ++c) {
      MaskShape(h[kRedMask + c], &s->shift[c], &s->width_bits[c]);
      s->max[c] = h[kRedMask + c] >> s->shift[c];
    }
  }

  p->width = static_cast<int32_t>(h[kWidth]);
  p->height = static_cast<int32_t>(h[kHeight]);
  p->aspect_x = p->aspect_y = 1;
  p->planes = 1;
  p->reported0 = 0;
  p->reported1 = 1;
  // Lines carry 8-bit samples whatever the depth: narrower components are
  // spread here, by their own mask.
  p->bits_per_sample = 8;
  const bool palette = !s->rgb && h[kColours] != 0;
  p->has_cmap = palette;
  p->cmap_entries = palette ? static_cast<int32_t>(std::max(h[kMapEntries], 1u)) : 0;
  p->color_model = s->rgb || palette ? IFF_CM_RGB : IFF_CM_GRAY;
  p->bytes_per_pixel = s->rgb ? 3 : 1;
  FXIBitsPerPixel = static_cast<int32_t>(depth);
  FXICompression = IFF_COMP_NONE;

  s->has_map = false;
  s->map.clear();
  s->next_line = 0;
  s->data_offset = h[kHeaderLength];
  ReturnTp rc = IfiSeek(s->handle, s->data_offset, 0);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  if (h[kColours]) {
    rc = ReadColours(s);
    if (rc) return rc;
  }
  const int64_t unit = h[kBitmapUnit] / 8;
  try {
    s->row.assign(static_cast<size_t>((s->used_bytes + unit - 1) / unit * unit), 0);
    if (!z) s->pixels.assign(static_cast<size_t>(width), 0);
  } catch (const std::exception &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  // Z-format rows are read in order: the I/O layer need not keep them.
  if (z) s->handle->exact_growth = 1;
  return 0;
}

ReturnTp IfdXwdRdCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<XwdState *>(state);
  if (!s || !p || !p->cmap) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!s->has_map || s->rgb) return CannotConvert(__LINE__);
  memcpy(p->cmap, s->map.data(),
         std::min<size_t>(s->map.size(), 3 * std::max(s->h[kMapEntries], 1u)));
  return 0;
}

ReturnTp IfdXwdRdScan(void *state, IffParamTp *p) {
  auto *s = static_cast<XwdState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->row.empty() || p->line != s->next_line ||
      s->next_line >= static_cast<int32_t>(s->h[kHeight]))
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  const int32_t row = s->next_line++;
  const int64_t width = s->h[kWidth], x0 = s->h[kXOffset];
  unsigned char *out = p->buffer;
  const bool z = s->h[kFormatWord] == kZPixmap;
  const uint32_t depth = s->h[kDepth];

  if (z) {
    ReturnTp rc = ReadRow(s);
    if (rc) return rc;
  } else {
    // Plane by plane, most significant first, each plane a bitmap of the
    // whole image.
    std::fill(s->pixels.begin(), s->pixels.end(), 0);
    const bool lsb = s->h[kBitOrder] == kLsbFirst;
    for (uint32_t plane = 0; plane < depth; ++plane) {
      const int64_t at =
          s->data_offset + (static_cast<int64_t>(plane) * s->h[kHeight] + row) * s->row_bytes;
      std::fill(s->row.begin(), s->row.end(), 0);
      if (IfiSeek(s->handle, at, 0) == 0) ReadRow(s);
      for (int64_t x = 0; x < width; ++x)
        s->pixels[static_cast<size_t>(x)] =
            s->pixels[static_cast<size_t>(x)] << 1 | BitAt(s->row.data(), x0 + x, lsb);
    }
  }

  const uint32_t top = depth >= 32 ? 0xFFFFFFFFu : (1u << depth) - 1;
  for (int64_t x = 0; x < width; ++x) {
    const uint32_t v = z ? ZPixel(s, s->row.data(), x0 + x) : s->pixels[static_cast<size_t>(x)];
    if (s->rgb) {
      PixelToRgb(s, v, out + 3 * x);
    } else if (s->has_map) {
      out[x] = static_cast<unsigned char>(v & top);
    } else {
      out[x] = static_cast<unsigned char>((v & top) * 255u / top);
    }
  }
  return 0;
}

ReturnTp IfdXwdWtHead(void *state, IffParamTp *p) {
  auto *s = static_cast<XwdState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const int32_t entries = p->has_cmap ? p->cmap_entries : 0;
  if ((p->has_cmap && entries < 1) || entries > 256 || p->compression[0] != IFF_COMP_NONE ||
      p->bits_per_sample > 16 || p->width < 1 || p->height < 1)
    return Unsupported(__LINE__);
  if (!entries && p->color_model != IFF_CM_RGB && p->color_model != IFF_CM_GRAY)
    return Unsupported(__LINE__);
  s->width = p->width;
  s->height = p->height;
  s->model = p->color_model;
  s->bits_map = p->bits_per_sample;
  s->entries = entries;
  s->depth = entries == 0 ? 24 : entries == 2 ? 1 : 8;
  s->next_line = 0;
  const int64_t bpl = (static_cast<int64_t>(s->width) * s->depth + 31) / 32 * 4;
  if (bpl > UINT32_MAX) return Unsupported(__LINE__);
  try {
    s->row.assign(static_cast<size_t>(bpl), 0);
  } catch (const std::exception &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  const uint32_t visual = entries == 0 ? kTrueColor : entries == 2 ? kStaticGray : kPseudoColor;
  const bool direct = visual == kTrueColor;
  const uint32_t d = static_cast<uint32_t>(s->depth);
  const uint32_t words[kWords] = {static_cast<uint32_t>(kHeaderSize + sizeof kDefaultName),
                                  kVersion,
                                  kZPixmap,
                                  d,
                                  static_cast<uint32_t>(s->width),
                                  static_cast<uint32_t>(s->height),
                                  0,
                                  kMsbFirst,
                                  32,
                                  kMsbFirst,
                                  32,
                                  d,
                                  static_cast<uint32_t>(bpl),
                                  visual,
                                  direct ? 0xFF0000u : 0,
                                  direct ? 0xFF00u : 0,
                                  direct ? 0xFFu : 0,
                                  8,
                                  static_cast<uint32_t>(entries),
                                  static_cast<uint32_t>(entries),
                                  static_cast<uint32_t>(s->width),
                                  static_cast<uint32_t>(s->height),
                                  0,
                                  0,
                                  0};
  std::vector<unsigned char> header;
  for (uint32_t w : words) IfuAppendBe32(&header, w);
  header.insert(header.end(), kDefaultName, kDefaultName + sizeof kDefaultName);
  ReturnTp rc = IfiWrite(header.data(), header.size(), 1, s->handle);
  return rc ? CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_HEADER) : 0;
}

ReturnTp IfdXwdWtCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<XwdState *>(state);
  if (!s || !p || !p->cmap) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->depth == 24) return 0;
  const int entries = s->entries;
  std::vector<unsigned char> records;
  for (int i = 0; i < entries; ++i) {
    IfuAppendBe32(&records, static_cast<uint32_t>(i));
    for (int c = 0; c < 3; ++c) {
      // 16 bits a component: 8-bit values are spread over the full range.
      const unsigned v =
          s->bits_map > 8 ? IfuGetLe16(p->cmap + 6 * i + 2 * c) : p->cmap[3 * i + c] * 257u;
      records.insert(records.end(),
                     {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)});
    }
    records.insert(records.end(), {7, 0});  // red, green and blue are set; pad
  }
  ReturnTp rc = IfiWrite(records.data(), records.size(), 1, s->handle);
  return rc ? CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_CMAP) : 0;
}

ReturnTp IfdXwdWtScan(void *state, IffParamTp *p) {
  auto *s = static_cast<XwdState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->row.empty() || p->line != s->next_line || s->next_line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  ++s->next_line;
  const unsigned char *in = p->buffer;
  unsigned char *out = s->row.data();
  std::fill(s->row.begin(), s->row.end(), 0);
  const int32_t w = s->width;
  if (s->depth == 1) {
    for (int32_t i = 0; i < w; ++i)
      if (in[i] & 1) out[i >> 3] |= static_cast<unsigned char>(0x80 >> (i & 7));
  } else if (s->depth == 8) {
    memcpy(out, in, static_cast<size_t>(w));
  } else if (s->model == IFF_CM_GRAY) {
    for (int32_t i = 0; i < w; ++i) memset(out + 3 * i, in[i], 3);
  } else {
    memcpy(out, in, 3 * static_cast<size_t>(w));
  }
  ReturnTp rc = IfiWrite(out, s->row.size(), 1, s->handle);
  return rc ? CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_LINE) : 0;
}

ReturnTp IfdXwdTerm(void **state) { return IffTermDriverState<XwdState>(state); }

}  // namespace

const IffFormatTp IfdXwdFormat = {
    "XWD",
    {{IFF_TYPE_XWD, "XWD."}},
    0,
    0,
    {IfdXwdInit, IfdXwdRdHead, IfdXwdWtHead, IfdXwdRdCMap, IfdXwdWtCMap, IfdXwdRdScan, IfdXwdWtScan,
     IfdXwdTerm},
    {{"xwd", IFF_TYPE_XWD, IFF_CM_RGB}},
    IFF_MODEL_BIT(IFF_CM_RGB) | IFF_MODEL_BIT(IFF_CM_PALETTE) | IFF_MODEL_BIT(IFF_CM_GRAY),
};
