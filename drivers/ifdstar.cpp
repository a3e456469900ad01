// StarBase bitmap files: a 256-byte big-endian header, a colour map of
// floating-point red, green, blue triplets, and the pixels as one byte per
// pixel in one to three banks, packed bits, or bit planes. Read and written
// (two, sixteen and 256 colours, and true colour in three banks).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "drivers.h"

#define CMN_SOURCE "ifdstar"

namespace {

const char kFormat[] = "STARBASE";  // the word of "Unsupported %s format"

constexpr int kHeaderSize = 256;
constexpr int kEntrySize = 12;  // three 32-bit floats
constexpr int kExportBuffer = 12000;
constexpr int kBand = 10;                // rows of each bank read at a time...
constexpr int64_t kBandBytes = 1 << 22;  // ...fewer where that would take more than this
const char kMagic[] = "Bitmapfile";
const char kSignature[] = "Image Converted To StarBase Using QPL Software";

// Header words, by their offset.
enum {
  kRevision = 16,
  kBmLoc = 36,
  kEndLoc = 40,
  kXStart = 44,
  kYStart = 48,
  kXLen = 52,
  kYLen = 56,
  kBmMode = 60,
  kDepth = 64,
  kPixelAlign = 68,
  kNumBanks = 72,
  kPlaneMask = 76,
  kCmapMode = 80,
  kCsize = 84,
  kBackIndex = 88,
  kSignatureAt = 192
};
enum { kModeBytes = -1, kModeBits = 0, kModePlanes = -2 };

struct StarState {
  IfiHandleTp *handle = nullptr;
  unsigned char header[kHeaderSize] = {};
  bool recognised = false;
  int32_t width = 0, height = 0, mode = 0, depth = 0, banks = 0, csize = 0;
  int64_t bm_loc = 0;
  int32_t next_line = 0;
  int32_t band_rows = kBand;
  int32_t map_bits = 8;              // export: bits of the caller's colour-map components
  int32_t map_given = 0;             // export: entries of the caller's map
  std::vector<unsigned char> band;   // import: kBand rows of each bank; a packed row
  std::vector<unsigned char> later;  // export to a stream: the green and red banks
  std::vector<unsigned char> row;
};

int32_t Word(const unsigned char *h, int at) { return static_cast<int32_t>(IfuGetBe32(h + at)); }

ReturnTp Unsupported(unsigned line) {
  return CmnError(CMN_SOURCE, line, IFD_E_UNSUPPORTED, kFormat);
}

bool Allocate(std::vector<unsigned char> &v, size_t n) {
  try {
    v.assign(n, 0);
  } catch (const std::exception &) {
    return false;
  }
  return true;
}

int64_t PackedRow(int32_t width) { return (static_cast<int64_t>(width) + 7) / 8; }

// Reads what is there; past the end of the file the rest reads as zeros and
// the interface stops a file that claims far more than it holds.
void ReadAt(StarState *s, int64_t at, unsigned char *out, size_t size) {
  if (IfiSeek(s->handle, at, 0) != 0 || IfiRead(out, size, 1, s->handle) != 0) {
  }
}

// A component of the caller's map as a fraction of its largest value, in
// the nearest float at or above it, so that reading it back by truncation
// gives the value itself.
float Fraction(int value, int bits) {
  const double top = static_cast<double>((1 << bits) - 1);
  float f = static_cast<float>(value / top);
  while (static_cast<int>(static_cast<double>(f) * top) < value) f = std::nextafter(f, 2.0f);
  return f;
}

ReturnTp IfdStarBaseInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  std::unique_ptr<StarState> s(new (std::nothrow) StarState());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  size_t got = 0;
  ReturnTp rc = IffOpenDriverStream(request, &s->handle, s->header, kHeaderSize, nullptr,
                                    IFF_HEADER_AS_FOUND, &got);
  if (rc) return rc;
  if (request->service == IFF_SRV_EXPORT) {
    IfiSetBuffer(s->handle, nullptr, 0, kExportBuffer);
    *state = s.release();
    return 0;
  }
  s->recognised = got == kHeaderSize && memcmp(s->header, kMagic, sizeof kMagic) == 0;
  request->recognised = s->recognised;
  *state = s.release();
  return 0;
}

ReturnTp IfdStarBaseRdHead(void *state, IffParamTp *p) {
  auto *s = static_cast<StarState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const unsigned char *h = s->header;
  // In the order of the header.
  if (!s->recognised) return Unsupported(__LINE__);
  const int32_t bm_loc = Word(h, kBmLoc), end_loc = Word(h, kEndLoc);
  if (bm_loc < kHeaderSize || end_loc <= bm_loc) return Unsupported(__LINE__);
  if (Word(h, kXStart) < 0 || Word(h, kYStart) < 0) return Unsupported(__LINE__);
  const int32_t width = Word(h, kXLen), height = Word(h, kYLen);
  if (!IffSizeWithinLimits(width, height)) return Unsupported(__LINE__);
  const int32_t mode = Word(h, kBmMode), depth = Word(h, kDepth), banks = Word(h, kNumBanks);
  if (mode < kModePlanes || mode > kModeBits) return Unsupported(__LINE__);
  if (depth != 1 && depth != 4 && depth != 8 && depth != 24) return Unsupported(__LINE__);
  if (Word(h, kPixelAlign) != 1 && Word(h, kPixelAlign) != 8) return Unsupported(__LINE__);
  if (mode == kModeBytes && (banks < 1 || banks > 3)) return Unsupported(__LINE__);
  const int32_t cmap_mode = Word(h, kCmapMode), csize = Word(h, kCsize);
  if (cmap_mode != 0 && cmap_mode != 1 && cmap_mode != 4) return Unsupported(__LINE__);
  if (csize < 0 || csize > 256) return Unsupported(__LINE__);
  // Layouts the fields allow but that name no picture: 24-bit indexes.
  const bool rgb = mode == kModeBytes && banks > 1;
  if (depth == 24 && !rgb) return Unsupported(__LINE__);
  if (mode == kModeBits && depth != 1) return Unsupported(__LINE__);

  s->width = width;
  s->height = height;
  s->mode = mode;
  s->depth = depth;
  s->banks = mode == kModeBytes ? banks : 1;
  s->csize = csize;
  s->bm_loc = bm_loc;
  s->next_line = 0;
  s->band_rows =
      static_cast<int32_t>(std::clamp<int64_t>(kBandBytes / (3 * int64_t{width}), 1, kBand));
  const int64_t band = rgb ? int64_t{s->band_rows} * 3 * width : PackedRow(width);
  if (!Allocate(s->band, static_cast<size_t>(band)))
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);

  p->width = width;
  p->height = height;
  p->aspect_x = p->aspect_y = 1;
  p->color_model = IFF_CM_RGB;
  p->bits_per_sample = 8;
  p->planes = 1;
  p->reported1 = 1;
  p->has_cmap = !rgb;
  // Without a map the indexes read as a grey ramp.
  p->cmap_entries = rgb ? 0 : csize > 0 ? csize : std::min(256, 1 << std::min(depth, 8));
  p->bytes_per_pixel = rgb ? 3 : 1;
  FXIBitsPerPixel = depth;
  FXICompression = IFF_COMP_NONE;
  return 0;
}

ReturnTp IfdStarBaseRdCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<StarState *>(state);
  if (!s || !p || !p->cmap) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->width == 0 || s->banks > 1) return CmnError(CMN_SOURCE, __LINE__, IFD_E_CONVERT, kFormat);
  if (s->csize == 0) {
    const int entries = std::min(256, 1 << s->depth);
    for (int i = 0; i < entries; ++i) memset(p->cmap + 3 * i, i * 255 / (entries - 1), 3);
    return 0;
  }
  unsigned char map[256 * kEntrySize];
  const size_t size = static_cast<size_t>(s->csize) * kEntrySize;
  if (IfiSeek(s->handle, kHeaderSize, 0) != 0 || IfiRead(map, size, 1, s->handle) != 0)
    return CmnError(CMN_SOURCE, __LINE__, IFI_E_EOF);
  for (size_t i = 0; i < size / 4; ++i) {
    const uint32_t bits = IfuGetBe32(map + 4 * i);
    float f;
    memcpy(&f, &bits, sizeof f);
    const double v = std::isnan(f) ? 0.0 : std::min(255.0, std::max(0.0, std::trunc(f * 255.0)));
    p->cmap[i] = static_cast<unsigned char>(v);
  }
  return 0;
}

ReturnTp IfdStarBaseRdScan(void *state, IffParamTp *p) {
  auto *s = static_cast<StarState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->band.empty() || p->line != s->next_line || s->next_line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  const int32_t line = s->next_line++;
  const int32_t w = s->width;
  const size_t uw = static_cast<size_t>(w);
  unsigned char *out = p->buffer;
  const int64_t bank_size = static_cast<int64_t>(w) * s->height;
  if (s->mode == kModeBytes && s->banks == 1) {
    ReadAt(s, s->bm_loc + static_cast<int64_t>(line) * w, out, uw);
  } else if (s->mode == kModeBytes) {
    // Banks lie one after the other: a band of rows of each at a time.
    const int32_t first = line / s->band_rows * s->band_rows,
                  rows = std::min(s->band_rows, s->height - first);
    if (line == first)
      for (int b = 0; b < s->banks; ++b)
        ReadAt(s, s->bm_loc + b * bank_size + static_cast<int64_t>(first) * w,
               s->band.data() + b * s->band_rows * uw, rows * uw);
    const unsigned char *at = s->band.data() + (line - first) * uw;
    // Red from the last bank, blue from the first.
    for (size_t x = 0; x < uw; ++x)
      for (int c = 0; c < 3; ++c) {
        const int b = s->banks - 1 - c;
        out[3 * x + c] = b >= 0 ? at[b * s->band_rows * uw + x] : 0;
      }
  } else if (s->mode == kModeBits) {
    const int64_t packed = PackedRow(w);
    ReadAt(s, s->bm_loc + line * packed, s->band.data(), static_cast<size_t>(packed));
    IfuExpandBits(w, s->band.data(), out);
  } else {
    const int64_t packed = PackedRow(w);
    memset(out, 0, uw);
    for (int plane = 0; plane < s->depth; ++plane) {
      ReadAt(s, s->bm_loc + (plane * static_cast<int64_t>(s->height) + line) * packed,
             s->band.data(), static_cast<size_t>(packed));
      for (size_t x = 0; x < uw; ++x)
        out[x] |= static_cast<unsigned char>(((s->band[x >> 3] >> (7 - (x & 7))) & 1) << plane);
    }
  }
  return 0;
}

ReturnTp IfdStarBaseWtHead(void *state, IffParamTp *p) {
  auto *s = static_cast<StarState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  // Palette lines are colour indexes into an RGB map.
  const bool palette = p->color_model == IFF_CM_PALETTE && p->has_cmap;
  if (p->color_model != IFF_CM_RGB && !palette)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_NEEDS_RGB);
  if (p->compression[0] != IFF_COMP_NONE) return CmnError(CMN_SOURCE, __LINE__, IFD_E_COMPRESSION);
  if (p->width < 1 || p->height < 1) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const int32_t entries = p->has_cmap ? p->cmap_entries : 0;
  if (entries < 0 || entries > 256 || (p->has_cmap && entries == 0))
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_CMAP_SIZE);
  // The smallest of the written layouts that holds the map.
  struct Layout {
    int32_t csize, mode, depth, align, banks, cmap_mode;
  };
  static const Layout kTrue = {0, kModeBytes, 24, 8, 3, 4}, kTwo = {2, kModeBits, 1, 1, 0, 1},
                      kSixteen = {16, kModeBytes, 8, 8, 1, 0},
                      kFull = {256, kModeBytes, 8, 8, 1, 4};
  const Layout &l = entries == 0 ? kTrue : entries <= 2 ? kTwo : entries <= 16 ? kSixteen : kFull;
  s->width = p->width;
  s->height = p->height;
  s->mode = l.mode;
  s->depth = l.depth;
  s->banks = l.banks;
  s->csize = l.csize;
  s->map_given = entries;
  s->map_bits = p->bits_per_sample > 0 && p->bits_per_sample <= 16 ? p->bits_per_sample : 8;
  s->bm_loc = kHeaderSize + int64_t{kEntrySize} * l.csize;
  s->next_line = 0;
  const int64_t row = l.mode == kModeBits ? PackedRow(s->width) : s->width;
  const int64_t end = s->bm_loc + row * s->height * (l.banks == 3 ? 3 : 1);
  // The end of the bitmap is a 32-bit field.
  if (end > INT32_MAX)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_TOO_LARGE, kFormat, s->width, s->height);
  if (!Allocate(s->row, static_cast<size_t>(row)))
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  if (l.banks == 3) {
    // Each bank goes to its place in the file; output that cannot seek
    // keeps the green and red banks until the blue one is out.
    if (s->handle->seekable)
      s->handle->direct = 1;
    else if (!Allocate(s->later,
                       2 * static_cast<size_t>(s->width) * static_cast<size_t>(s->height)))
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }

  unsigned char h[kHeaderSize] = {};
  memcpy(h, kMagic, sizeof kMagic);
  const struct {
    int at;
    int64_t value;
  } words[] = {{kRevision, 1},
               {kBmLoc, s->bm_loc},
               {kEndLoc, end},
               {kXStart, 0},
               {kYStart, 0},
               {kXLen, s->width},
               {kYLen, s->height},
               {kBmMode, l.mode},
               {kDepth, l.depth},
               {kPixelAlign, l.align},
               {kNumBanks, l.banks},
               {kPlaneMask, 255},
               {kCmapMode, l.cmap_mode},
               {kCsize, l.csize},
               {kBackIndex, 0}};
  for (const auto &w : words) IfuPutBe32(h + w.at, static_cast<uint32_t>(w.value));
  memcpy(h + kSignatureAt, kSignature, sizeof kSignature);
  ReturnTp rc = IfiWrite(h, sizeof h, 1, s->handle);
  return rc ? CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_HEADER) : 0;
}

ReturnTp IfdStarBaseWtCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<StarState *>(state);
  if (!s || !p || !p->cmap) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->csize == 0) return 0;
  unsigned char map[256 * kEntrySize] = {};
  // Entries beyond the caller's map are black.
  const int given = std::min(s->csize, s->map_given);
  for (int i = 0; i < given; ++i)
    for (int c = 0; c < 3; ++c) {
      const int v = s->map_bits > 8 ? (p->cmap[6 * i + 2 * c] << 8 | p->cmap[6 * i + 2 * c + 1])
                                    : p->cmap[3 * i + c];
      const float f = Fraction(v, s->map_bits);
      uint32_t bits;
      memcpy(&bits, &f, sizeof bits);
      IfuPutBe32(map + kEntrySize * i + 4 * c, bits);
    }
  ReturnTp rc = IfiWrite(map, static_cast<size_t>(s->csize) * kEntrySize, 1, s->handle);
  return rc ? CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_CMAP) : 0;
}

ReturnTp IfdStarBaseWtScan(void *state, IffParamTp *p) {
  auto *s = static_cast<StarState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->row.empty() || p->line != s->next_line || s->next_line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  const int32_t line = s->next_line++;
  const size_t w = static_cast<size_t>(s->width);
  const unsigned char *in = p->buffer;
  ReturnTp rc = 0;
  if (s->mode == kModeBits) {
    IfuPackBits(s->width, in, s->row.data());
    rc = IfiWrite(s->row.data(), s->row.size(), 1, s->handle);
  } else if (s->banks == 1) {
    rc = IfiWrite(in, w, 1, s->handle);
  } else {
    const int64_t bank_size = static_cast<int64_t>(w) * s->height;
    for (int b = 0; b < 3 && !rc; ++b) {
      unsigned char *row = s->row.data();
      if (s->later.empty()) {
        rc = IfiSeek(s->handle, s->bm_loc + b * bank_size + static_cast<int64_t>(line) * w, 0);
      } else if (b > 0) {
        row = s->later.data() + (b - 1) * bank_size + static_cast<int64_t>(line) * w;
      }
      for (size_t x = 0; x < w; ++x) row[x] = in[3 * x + 2 - b];  // bank 0 blue
      if (!rc && row == s->row.data()) rc = IfiWrite(row, w, 1, s->handle);
    }
    if (!rc && !s->later.empty() && s->next_line == s->height)
      rc = IfiWrite(s->later.data(), s->later.size(), 1, s->handle);
  }
  return rc ? CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_LINE) : 0;
}

ReturnTp IfdStarBaseTerm(void **state) { return IffTermDriverState<StarState>(state); }

}  // namespace

const IffFormatTp IfdStarBaseFormat = {
    "StarBase",
    {{IFF_TYPE_STARBASE, "StarBase."}},
    0,
    0,
    {IfdStarBaseInit, IfdStarBaseRdHead, IfdStarBaseWtHead, IfdStarBaseRdCMap, IfdStarBaseWtCMap,
     IfdStarBaseRdScan, IfdStarBaseWtScan, IfdStarBaseTerm},
    {{"sb", IFF_TYPE_STARBASE, IFF_CM_RGB}, {"starbase", IFF_TYPE_STARBASE, IFF_CM_RGB}},
    IFF_MODEL_BIT(IFF_CM_RGB) | IFF_MODEL_BIT(IFF_CM_PALETTE),
};
