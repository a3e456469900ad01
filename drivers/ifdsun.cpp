// Sun raster files: a 32-byte big-endian header, an optional colour map
// and rows of 1, 8, 24 or 32 bits per pixel, stored as they are (types 0,
// 1 and 3) or byte-encoded (type 2, runs that may cross rows); the first
// byte of a 32-bit pixel is its alpha, laid over white. Writes
// standard files of 1, 8 or 24 bits.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "drivers.h"

#define CMN_SOURCE "ifdsun"

namespace {

const char kFormat[] = "Sun Raster";  // the word of "Unsupported %s format"

constexpr uint32_t kMagic = 0x59A66A95u;
constexpr int kHeaderSize = 32;
constexpr int kExportBuffer = 12000;

// Header words, in file order.
enum { kWMagic, kWWidth, kWHeight, kWDepth, kWLength, kWType, kWMapType, kWMapLength };
enum { kTypeOld = 0, kTypeStandard = 1, kTypeByteEncoded = 2, kTypeRgb = 3 };
enum { kMapNone = 0, kMapEqualRgb = 1, kMapRaw = 2 };
constexpr unsigned char kEscape = 0x80;

struct SunState {
  IfiHandleTp *handle = nullptr;
  uint32_t h[8] = {};
  int32_t width = 0, height = 0, depth = 0;
  int32_t next_line = 0;
  int32_t row_bytes = 0;  // one stored row
  int32_t bits_map = 8;   // export: bits of the caller's colour-map components
  bool map_read = false;
  unsigned char cmap[768] = {};
  // A 1-bit page whose two entries are greys is handed over as these
  // greys: a grey page, whose rows go as bits straight to the raster.
  bool grey = false;
  // Byte-encoded data: the run that goes on into the next row.
  int32_t run_left = 0;
  unsigned char run_value = 0;
  unsigned char in[16384];  // byte-encoded data read ahead
  int32_t in_pos = 0, in_len = 0;
  std::vector<unsigned char> row;  // import: a stored row; export: an output row
};

ReturnTp Unsupported(unsigned line) {
  return CmnError(CMN_SOURCE, line, IFD_E_UNSUPPORTED, kFormat);
}

// A record that must be whole: a file that ends inside it is cut short.
ReturnTp ReadAll(SunState *s, void *buffer, size_t size, unsigned line) {
  if (size == 0) return 0;
  ReturnTp rc = IfiRead(buffer, size, 1, s->handle);
  return rc ? CmnReraise(CMN_SOURCE, line, rc) : 0;
}

// The stored size of one row: rows are padded to 16 bits, 32-bit pixels
// need no padding.
int32_t RowBytes(int32_t width, int32_t depth) {
  const int64_t w = width;
  int64_t bytes = 0;
  switch (depth) {
    case 1:
      bytes = (w + 15) / 16 * 2;
      break;
    case 8:
      bytes = (w + 1) & ~int64_t{1};
      break;
    case 24:
      bytes = (3 * w + 1) & ~int64_t{1};
      break;
    default:
      bytes = 4 * w;
      break;
  }
  return static_cast<int32_t>(bytes);
}

// Without a map, two colours are white and black and more are an inverted
// grey ramp.
void DefaultMap(SunState *s) {
  const int entries = 1 << s->depth;
  for (int i = 0; i < entries; ++i) {
    const unsigned char v = s->depth == 1 ? (i ? 0 : 255) : static_cast<unsigned char>(255 - i);
    memset(s->cmap + 3 * i, v, 3);
  }
}

// The colour map, read in pieces whatever its length claims: only the
// entries that pixels can name are kept, and a length beyond the file ends
// in "Unexpected End-Of-File" rather than in an allocation.
ReturnTp ReadMap(SunState *s) {
  const uint32_t length = s->h[kWMapLength];
  const uint32_t entries = std::min<uint32_t>(1u << s->depth, length / 3);
  const uint32_t third = length / 3;
  memset(s->cmap, 0, sizeof s->cmap);
  unsigned char chunk[4096];
  for (uint32_t at = 0; at < length;) {
    const uint32_t n = std::min<uint32_t>(sizeof chunk, length - at);
    ReturnTp rc = ReadAll(s, chunk, n, __LINE__);
    if (rc) return rc;
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t k = at + i;
      if (s->h[kWMapType] == kMapRaw) {
        if (k < 3 * entries) s->cmap[k] = chunk[i];
      } else if (third > 0) {
        const uint32_t component = k / third, index = k % third;
        if (component < 3 && index < entries) s->cmap[3 * index + component] = chunk[i];
      }
    }
    at += n;
  }
  return 0;
}

// Skips a map that no pixel uses (deeper images), in pieces.
ReturnTp SkipMap(SunState *s) {
  unsigned char chunk[4096];
  for (uint32_t left = s->h[kWMapLength]; left > 0;) {
    const uint32_t n = std::min<uint32_t>(sizeof chunk, left);
    ReturnTp rc = ReadAll(s, chunk, n, __LINE__);
    if (rc) return rc;
    left -= n;
  }
  return 0;
}

// The next byte of byte-encoded data, read in chunks; false at the end.
bool NextByte(SunState *s, unsigned char *c) {
  if (s->in_pos == s->in_len) {
    s->in_pos = 0;
    s->in_len = static_cast<int32_t>(IfiFetch(s->in, 1, sizeof s->in, s->handle));
    if (s->in_len == 0) return false;
  }
  *c = s->in[s->in_pos++];
  return true;
}

// One stored row of a byte-encoded file. 0x80 0 is a literal 0x80, 0x80 n
// v is n + 1 copies of v, anything else is itself; a run longer than the
// row goes on in the next.
void DecodeRow(SunState *s, unsigned char *out, int32_t size) {
  int32_t done = 0;
  while (done < size) {
    if (s->run_left > 0) {
      const int32_t n = std::min(s->run_left, size - done);
      memset(out + done, s->run_value, static_cast<size_t>(n));
      done += n;
      s->run_left -= n;
      continue;
    }
    if (s->in_pos == s->in_len) {
      s->in_pos = 0;
      s->in_len = static_cast<int32_t>(IfiFetch(s->in, 1, sizeof s->in, s->handle));
      if (s->in_len == 0) break;
    }
    // The bytes up to the next escape stand for themselves: one copy.
    const unsigned char *from = s->in + s->in_pos;
    const size_t avail = static_cast<size_t>(std::min(s->in_len - s->in_pos, size - done));
    const auto *escape = static_cast<const unsigned char *>(memchr(from, kEscape, avail));
    const size_t literal = escape ? static_cast<size_t>(escape - from) : avail;
    memcpy(out + done, from, literal);
    done += static_cast<int32_t>(literal);
    s->in_pos += static_cast<int32_t>(literal);
    if (!escape) continue;
    ++s->in_pos;
    unsigned char count, value;
    if (!NextByte(s, &count)) break;
    if (count == 0) {
      out[done++] = kEscape;
      continue;
    }
    if (!NextByte(s, &value)) break;
    s->run_left = count + 1;
    s->run_value = value;
  }
  // At the end of the data the rest reads as zeros, counted as made up so
  // that the interface stops a file that claims far more than it holds.
  if (done < size) IfiRead(out + done, static_cast<size_t>(size - done), 1, s->handle);
}

// The caller's colour map to 8-bit components, 3 bytes per entry.
void MapEntry(const unsigned char *cmap, int bits, int i, unsigned char rgb[3]) {
  for (int c = 0; c < 3; ++c) rgb[c] = bits > 8 ? cmap[6 * i + 2 * c + 1] : cmap[3 * i + c];
}

ReturnTp IfdSunRasterInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  std::unique_ptr<SunState> s(new (std::nothrow) SunState());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);

  unsigned char header[kHeaderSize];
  ReturnTp rc = IffOpenDriverStream(request, &s->handle, header, sizeof header);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  if (request->service == IFF_SRV_EXPORT) {
    // Rows go out in small pieces; a bigger stream buffer keeps writes few.
    IfiSetBuffer(s->handle, nullptr, 0, kExportBuffer);
    *state = s.release();
    return 0;
  }
  for (int i = 0; i < 8; ++i) s->h[i] = IfuGetBe32(header + 4 * i);
  request->recognised = s->h[kWMagic] == kMagic;
  FXIBitsPerPixel = static_cast<int32_t>(s->h[kWDepth]);
  FXICompression = IFF_COMP_NONE;
  *state = s.release();
  return 0;
}

ReturnTp IfdSunRasterRdHead(void *state, IffParamTp *p) {
  auto *s = static_cast<SunState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const uint32_t *h = s->h;
  if (h[kWMagic] != kMagic) return Unsupported(__LINE__);
  const uint32_t depth = h[kWDepth];
  if (depth != 1 && depth != 8 && depth != 24 && depth != 32) return Unsupported(__LINE__);
  if (h[kWType] > kTypeRgb || h[kWMapType] > kMapRaw) return Unsupported(__LINE__);
  // The row buffer is sized from the width: sizes the interface refuses
  // are refused before it is allocated.
  if (ReturnTp code = IffSizeCode(h[kWWidth], h[kWHeight]))
    return CmnError(CMN_SOURCE, __LINE__, code);
  s->width = static_cast<int32_t>(h[kWWidth]);
  s->height = static_cast<int32_t>(h[kWHeight]);
  s->depth = static_cast<int32_t>(depth);
  s->row_bytes = RowBytes(s->width, s->depth);
  s->next_line = 0;
  s->run_left = 0;
  s->in_pos = s->in_len = 0;
  s->map_read = false;

  p->width = s->width;
  p->height = s->height;
  p->aspect_x = p->aspect_y = 1;
  p->color_model = IFF_CM_RGB;
  p->bits_per_sample = 8;
  p->planes = 1;
  p->reported0 = 0;
  p->reported1 = 1;
  p->has_cmap = s->depth <= 8;
  p->cmap_entries = p->has_cmap ? 1 << s->depth : 0;
  p->bytes_per_pixel = p->has_cmap ? 1 : 3;
  FXIBitsPerPixel = s->depth;
  FXICompression =
      s->h[kWType] == kTypeByteEncoded ? IFF_COMP_RLE : IFF_COMP_NONE;  // byte-encoded: runs

  ReturnTp rc = IfiSeek(s->handle, kHeaderSize, 0);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  const bool has_map = h[kWMapType] != kMapNone && h[kWMapLength] != 0;
  if (s->depth <= 8) {
    if (has_map) {
      rc = ReadMap(s);
    } else {
      DefaultMap(s);
    }
  } else if (has_map) {
    rc = SkipMap(s);
  }
  if (rc) return rc;
  s->map_read = true;
  s->grey = s->depth == 1 && IfdGreyPair(s->cmap, p);
  if (s->width > 0) {
    try {
      s->row.assign(static_cast<size_t>(s->row_bytes), 0);
    } catch (const std::exception &) {
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
    }
  }
  // Pixel data of known row size follows: the I/O layer need not keep it.
  s->handle->exact_growth = 1;
  return 0;
}

ReturnTp IfdSunRasterRdCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<SunState *>(state);
  if (!s || !p || !p->cmap) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!s->map_read || s->depth > 8) return CmnError(CMN_SOURCE, __LINE__, IFD_E_CONVERT, kFormat);
  memcpy(p->cmap, s->cmap, 3 * (size_t{1} << s->depth));
  return 0;
}

ReturnTp IfdSunRasterRdScan(void *state, IffParamTp *p) {
  auto *s = static_cast<SunState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!s->map_read || p->line != s->next_line || s->next_line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  ++s->next_line;
  unsigned char *raw = s->row.data();
  const size_t size = static_cast<size_t>(s->row_bytes);
  if (s->h[kWType] == kTypeByteEncoded) {
    DecodeRow(s, raw, s->row_bytes);
  } else if (IfiRead(raw, size, 1, s->handle) != 0) {
    // Cut short: the rest of the image reads as zeros (IfiRead has cleared
    // the row), and the interface stops a file that claims far too much.
  }

  unsigned char *out = p->buffer;
  const int32_t w = s->width;
  switch (s->depth) {
    case 1:
      if (p->runs_wanted) {
        // The two greys, or colour indexes 0 and 1, handed over as the
        // row's bits.
        p->line_form = IFF_LINE_BITS;
        p->bits = raw;
        p->levels[0] = s->grey ? s->cmap[0] : 0;
        p->levels[1] = s->grey ? s->cmap[3] : 1;
        break;
      }
      if (s->grey)
        IfuExpandBitsAs(w, raw, out, s->cmap[0], s->cmap[3]);
      else
        IfuExpandBits(w, raw, out);
      break;
    case 8:
      memcpy(out, raw, static_cast<size_t>(w));
      break;
    default: {
      // 32-bit pixels lead with their alpha, which is laid over white.
      const int step = s->depth / 8;
      const int skip = step - 3;
      const bool bgr = s->h[kWType] != kTypeRgb;
      for (int32_t i = 0; i < w; ++i) {
        const unsigned char *px = raw + static_cast<size_t>(i) * step + skip;
        const unsigned a = skip ? px[-1] : 255;
        out[3 * i] = IfuOverWhite(bgr ? px[2] : px[0], a);
        out[3 * i + 1] = IfuOverWhite(px[1], a);
        out[3 * i + 2] = IfuOverWhite(bgr ? px[0] : px[2], a);
      }
      break;
    }
  }
  return 0;
}

ReturnTp IfdSunRasterWtHead(void *state, IffParamTp *p) {
  auto *s = static_cast<SunState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  // Palette lines are colour indexes into an RGB map.
  const bool palette = p->color_model == IFF_CM_PALETTE && p->has_cmap;
  if (p->color_model != IFF_CM_RGB && !palette)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_NEEDS_RGB);
  const int32_t entries = p->has_cmap ? p->cmap_entries : 0;
  if (entries != 0 && entries != 2 && entries != 256)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_CMAP_SIZE);
  if (p->compression[0] != IFF_COMP_NONE) return CmnError(CMN_SOURCE, __LINE__, IFD_E_COMPRESSION);
  if (p->width < 1 || p->height < 1) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);

  s->width = p->width;
  s->height = p->height;
  s->depth = entries == 0 ? 24 : entries == 256 ? 8 : 1;
  s->bits_map = p->bits_per_sample;
  s->row_bytes = RowBytes(s->width, s->depth);
  s->next_line = 0;
  try {
    s->row.assign(static_cast<size_t>(s->row_bytes), 0);
  } catch (const std::exception &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  const uint64_t pixels = static_cast<uint64_t>(s->width) * static_cast<uint64_t>(s->height);
  const uint64_t length = s->depth == 1 ? pixels / 8 : pixels * static_cast<uint64_t>(s->depth / 8);
  const uint32_t words[8] = {kMagic,
                             static_cast<uint32_t>(s->width),
                             static_cast<uint32_t>(s->height),
                             static_cast<uint32_t>(s->depth),
                             static_cast<uint32_t>(std::min<uint64_t>(length, UINT32_MAX)),
                             kTypeStandard,
                             entries ? uint32_t{kMapEqualRgb} : uint32_t{kMapNone},
                             3 * static_cast<uint32_t>(entries)};
  unsigned char header[kHeaderSize];
  for (int i = 0; i < 8; ++i) IfuPutBe32(header + 4 * i, words[i]);
  ReturnTp rc = IfiWrite(header, sizeof header, 1, s->handle);
  return rc ? CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_HEADER) : 0;
}

ReturnTp IfdSunRasterWtCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<SunState *>(state);
  if (!s || !p || !p->cmap) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->depth > 8) return 0;
  const int entries = 1 << s->depth;
  unsigned char map[768];
  for (int i = 0; i < entries; ++i) {
    unsigned char rgb[3];
    MapEntry(p->cmap, s->bits_map, i, rgb);
    for (int c = 0; c < 3; ++c) map[c * entries + i] = rgb[c];
  }
  ReturnTp rc = IfiWrite(map, 3 * static_cast<size_t>(entries), 1, s->handle);
  return rc ? CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_CMAP) : 0;
}

ReturnTp IfdSunRasterWtScan(void *state, IffParamTp *p) {
  auto *s = static_cast<SunState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->row.empty() || p->line != s->next_line || s->next_line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  ++s->next_line;
  const unsigned char *in = p->buffer;
  unsigned char *out = s->row.data();
  const int32_t w = s->width;
  std::fill(s->row.begin(), s->row.end(), 0);
  switch (s->depth) {
    case 1:
      for (int32_t i = 0; i < w; ++i)
        if (in[i] & 1) out[i >> 3] |= static_cast<unsigned char>(0x80 >> (i & 7));
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
  ReturnTp rc = IfiWrite(out, s->row.size(), 1, s->handle);
  return rc ? CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_LINE) : 0;
}

ReturnTp IfdSunRasterTerm(void **state) { return IffTermDriverState<SunState>(state); }

}  // namespace

const IffFormatTp IfdSunRasterFormat = {
    "SunRaster",
    {{IFF_TYPE_SUN, "Sun Raster "}},
    0,
    0,
    {IfdSunRasterInit, IfdSunRasterRdHead, IfdSunRasterWtHead, IfdSunRasterRdCMap,
     IfdSunRasterWtCMap, IfdSunRasterRdScan, IfdSunRasterWtScan, IfdSunRasterTerm},
    {{"sun", IFF_TYPE_SUN, IFF_CM_RGB}, {"ras", IFF_TYPE_SUN, IFF_CM_RGB}},
    IFF_MODEL_BIT(IFF_CM_RGB) | IFF_MODEL_BIT(IFF_CM_PALETTE),
};
