// Packing and unpacking of one tile line. Each run is opened by a control
// byte: below 128 a literal run of c + 1 pixels, from 128 a repeat of one
// pixel 257 - c times. The packer writes repeats of 2 to 128 pixels
// (control bytes 129..255, never 128) and literal runs of up to 128.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ifu.h"
#include "imaraw.h"
#include "imascale.h"

#define CMN_SOURCE "imapack"

namespace {

// kB is the pixel size known at compile time, 0 for the generic path. The
// 1- and 4-byte rasters are the common ones and get comparisons and copies
// of a fixed size.
template <int kB>
struct Pixels {
  int bpp;
  const unsigned char *px;
  int size() const { return kB ? kB : bpp; }
  const unsigned char *at(int i) const { return px + static_cast<size_t>(i) * size(); }
  bool same(int a, int b) const {
    if (kB == 1) return px[a] == px[b];
    if (kB == 4) {
      uint32_t u, v;
      memcpy(&u, at(a), 4);
      memcpy(&v, at(b), 4);
      return u == v;
    }
    return memcmp(at(a), at(b), size()) == 0;
  }
};

template <int kB>
int32_t Pack(const Pixels<kB> &p, int n, unsigned char *out) {
  const int b = p.size();
  unsigned char *o = out;
  int i = 0;
  while (i < n) {
    if (i + 1 < n && p.same(i, i + 1)) {
      int run = 2;
      while (i + run < n && run < IMG_TILE && p.same(i, i + run)) ++run;
      *o++ = static_cast<unsigned char>(257 - run);
      memcpy(o, p.at(i), kB ? kB : b);
      o += b;
      i += run;
    } else {
      // A literal run ends where two equal neighbours start a repeat.
      const int start = i++;
      while (i < n && i - start < IMG_TILE && !(i + 1 < n && p.same(i, i + 1))) ++i;
      const int len = i - start;
      *o++ = static_cast<unsigned char>(len - 1);
      memcpy(o, p.at(start), static_cast<size_t>(len) * b);
      o += static_cast<size_t>(len) * b;
    }
  }
  return static_cast<int32_t>(o - out);
}

// Walks the runs of a packed line and hands the part of each run that
// falls in [skip, skip + n) to sink(first output pixel, repeat, pixel
// bytes, count). Data that ends early, or a literal run cut short, stops
// the walk without reading past end. Returns how many of the n pixels
// were reached.
template <typename Sink>
int Decode(const unsigned char *p, const unsigned char *end, int bpp, int skip, int n,
           Sink &&sink) {
  const int stop = skip + n;
  int pos = 0;
  while (p < end && pos < stop) {
    const unsigned c = *p++;
    const bool repeat = c >= 128;
    const ptrdiff_t avail = (end - p) / bpp;
    int count = repeat ? 257 - static_cast<int>(c) : static_cast<int>(c) + 1;
    if (avail < 1) break;
    if (!repeat && count > avail) count = static_cast<int>(avail);
    const int a = pos > skip ? pos : skip;
    const int z = pos + count < stop ? pos + count : stop;
    if (a < z) sink(a - skip, repeat, repeat ? p : p + static_cast<size_t>(a - pos) * bpp, z - a);
    p += repeat ? bpp : static_cast<size_t>(count) * bpp;
    pos += count;
  }
  const int reached = (pos < stop ? pos : stop) - skip;
  return reached > 0 ? reached : 0;
}

inline RgbPixelTp Gray(unsigned char v) { return RgbPixelTp{v, v, v, 255}; }

// One-byte pixels, the pixels of gray and bilevel pages, compared eight at
// a time: a white tile line of a drawing is a few word compares instead of
// 128 byte compares. Same runs as Pack: the longest repeat from the left,
// literals until two equal neighbours start.
inline uint64_t Load8(const unsigned char *p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}

// Index of the lowest zero byte of x, 8 when none (little-endian bytes).
inline int FirstZeroByte(uint64_t x) {
  const uint64_t ones = 0x0101010101010101ull;
  // Only bytes above a true zero can be flagged falsely, so the lowest
  // flag is exact.
  const uint64_t flags = (x - ones) & ~x & (ones << 7);
  return flags ? __builtin_ctzll(flags) >> 3 : 8;
}

int32_t PackBytes(const unsigned char *px, int n, unsigned char *out) {
  unsigned char *o = out;
  int i = 0;
  while (i < n) {
    if (i + 1 < n && px[i] == px[i + 1]) {
      const unsigned char v = px[i];
      const int limit = std::min(n - i, IMG_TILE);
      int run = 2;
      const uint64_t all = 0x0101010101010101ull * v;
      while (run + 8 <= limit) {
        const uint64_t x = Load8(px + i + run) ^ all;
        if (x) {
          run += __builtin_ctzll(x) >> 3;
          break;
        }
        run += 8;
      }
      if (run + 8 > limit)
        while (run < limit && px[i + run] == v) ++run;
      *o++ = static_cast<unsigned char>(257 - run);
      *o++ = v;
      i += run;
    } else {
      // A literal run ends where two equal neighbours start: where the
      // line xor itself shifted by one has a zero byte.
      const int start = i++;
      const int limit = std::min(n, start + IMG_TILE);
      while (i + 9 <= limit) {
        const int k = FirstZeroByte(Load8(px + i) ^ Load8(px + i + 1));
        i += k;
        if (k < 8) break;
      }
      if (i + 9 > limit)
        while (i < limit && !(i + 1 < n && px[i] == px[i + 1])) ++i;
      const int len = i - start;
      *o++ = static_cast<unsigned char>(len - 1);
      memcpy(o, px + start, static_cast<size_t>(len));
      o += len;
    }
  }
  return static_cast<int32_t>(o - out);
}

}  // namespace

int32_t ImgPackLine(const unsigned char *pixels, int n, int bpp, unsigned char *out) {
  IMG_ASSERT(n >= 1 && n <= IMG_TILE && bpp >= 1 && bpp <= 4, "0");
  if (bpp == 1)
    return __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? PackBytes(pixels, n, out)
                                                     : Pack(Pixels<1>{1, pixels}, n, out);
  if (bpp == 4) return Pack(Pixels<4>{4, pixels}, n, out);
  return Pack(Pixels<0>{bpp, pixels}, n, out);
}

int32_t ImgPackChanges(const int32_t *changes, int count, int *next, int x, int n,
                       const uint8_t levels[2], unsigned char *out) {
  IMG_ASSERT(n >= 1 && n <= IMG_TILE, "0");
  // Within one tile line a stretch of two or more equal pixels is one
  // repeat (it cannot be longer than 128), and the single pixels between
  // such stretches are one literal run: ImgPackLine's choices exactly.
  int k = *next;
  while (k < count && changes[k] <= x) ++k;
  *next = k;
  const int end = x + n;
  unsigned char *o = out;
  unsigned char *literal = nullptr;  // the control byte of an open literal run
  int pos = x;
  while (pos < end) {
    const int stop = k < count && changes[k] < end ? changes[k] : end;
    const uint8_t v = levels[k & 1];
    if (stop - pos >= 2) {
      literal = nullptr;
      *o++ = static_cast<unsigned char>(257 - (stop - pos));
      *o++ = v;
    } else if (literal) {
      ++*literal;
      *o++ = v;
    } else {
      literal = o;
      *o++ = 0;
      *o++ = v;
    }
    pos = stop;
    if (k < count && changes[k] == pos) ++k;
  }
  return static_cast<int32_t>(o - out);
}

int ImgUnpackLine(const unsigned char *packed, const unsigned char *end, int bpp, int skip, int n,
                  unsigned char *out) {
  return Decode(packed, end, bpp, skip, n,
                [out, bpp](int at, bool repeat, const unsigned char *px, int count) {
                  unsigned char *o = out + static_cast<size_t>(at) * bpp;
                  if (!repeat) {
                    memcpy(o, px, static_cast<size_t>(count) * bpp);
                  } else if (bpp == 1) {
                    memset(o, *px, count);
                  } else {
                    for (int i = 0; i < count; ++i, o += bpp) memcpy(o, px, bpp);
                  }
                });
}

int ImgUnpackLineRuns(const unsigned char *packed, const unsigned char *end, int skip, int n,
                      ImgRunLineTp *out) {
  // Most tile lines of a drawing are one run: no walk needed.
  if (end - packed >= 2 && packed[0] >= 128 && 257 - packed[0] >= skip + n) {
    out->run(n, packed[1]);
    return n;
  }
  // The walk of Decode, with the line's running figures kept at hand: a
  // line of text is a run or two per character.
  std::vector<ImgRunLineTp::PieceTp> &pieces = out->pieces;
  int32_t width = out->width;
  uint64_t total = out->total;
  int32_t last = pieces.empty() ? -2 : pieces.back().value;
  const unsigned char *p = packed;
  const int stop = skip + n;
  int pos = 0;
  while (p < end && pos < stop) {
    const unsigned c = *p++;
    if (p >= end) break;
    const bool repeat = c >= 128;
    int count = repeat ? 257 - static_cast<int>(c) : static_cast<int>(c) + 1;
    if (!repeat && count > end - p) count = static_cast<int>(end - p);
    const int a = pos > skip ? pos : skip;
    const int z = pos + count < stop ? pos + count : stop;
    if (a < z && repeat) {
      const int32_t v = *p, len = z - a;
      if (last == v)
        pieces.back().end += len;
      else
        pieces.push_back(ImgRunLineTp::PieceTp{width + len, v, -1, total});
      last = v;
      width += len;
      total += static_cast<uint64_t>(v) * static_cast<uint64_t>(len);
    } else if (a < z) {
      out->width = width;
      out->total = total;
      out->literals(p + (a - pos), z - a);
      width = out->width;
      total = out->total;
      last = -1;
    }
    p += repeat ? 1 : count;
    pos += count;
  }
  out->width = width;
  out->total = total;
  const int reached = (pos < stop ? pos : stop) - skip;
  return reached > 0 ? reached : 0;
}

RgbPixelTp ImgPixelToRgb(const unsigned char *p, int bpp, ImgInterpretationTp interp,
                         const RgbPixelTp *cmap) {
  switch (interp) {
    case ImgInterpLut:
      IMG_ASSERT(cmap, "cmap");
      return cmap[p[0]];
    case ImgInterpGray:
      return Gray(p[0]);
    case ImgInterpRgb:
      return bpp >= 3 ? RgbPixelTp{p[2], p[1], p[0], 255} : Gray(p[0]);
    default: {
      // Unset and RGBW copy the stored bytes; a narrower pixel leaves the
      // rest 0 rather than reading past it.
      RgbPixelTp v = {0, 0, 0, 0};
      memcpy(&v, p, bpp < 4 ? bpp : 4);
      return v;
    }
  }
}

int ImgUnpackLineRgb(const unsigned char *packed, const unsigned char *end, int bpp, int skip,
                     int n, ImgInterpretationTp interp, const RgbPixelTp *cmap, RgbPixelTp *out) {
  return Decode(packed, end, bpp, skip, n,
                [=](int at, bool repeat, const unsigned char *px, int count) {
                  RgbPixelTp *o = out + at;
                  if (repeat) {
                    const RgbPixelTp v = ImgPixelToRgb(px, bpp, interp, cmap);
                    for (int i = 0; i < count; ++i) o[i] = v;
                  } else if (bpp == 1 && interp == ImgInterpGray) {
                    for (int i = 0; i < count; ++i) o[i] = Gray(px[i]);
                  } else {
                    for (int i = 0; i < count; ++i, px += bpp)
                      o[i] = ImgPixelToRgb(px, bpp, interp, cmap);
                  }
                });
}

namespace {

// Eight pixels of a byte of bits, the first from the high bit, as a word of
// 0xFF (set) and 0x00 bytes in memory order.
struct BitsToBytesTp {
  uint64_t word[256];
  BitsToBytesTp() : word() {
    for (int b = 0; b < 256; ++b) {
      unsigned char bytes[8];
      for (int i = 0; i < 8; ++i) bytes[i] = (b & (0x80 >> i)) ? 0xFF : 0x00;
      memcpy(&word[b], bytes, 8);
    }
  }
};
const BitsToBytesTp kBitsToBytes;

bool ReadableTile(const ImgTileTp *tile, int line) {
  return tile && tile->data && tile->size >= 1 && tile->size <= IMG_TILE_MAX_SIZE && tile->w >= 1 &&
         tile->w <= IMG_TILE && tile->h >= 1 && tile->h <= IMG_TILE && line >= 0 && line < tile->h;
}

}  // namespace

int ImgTileBitsLine(const ImgTileTp *tile, int line, unsigned char *out) {
  if (!ReadableTile(tile, line) || tile->form != IMG_TILE_BITS || tile->lineoff[line] == 0 ||
      (line + 1) * IMG_BITS_STRIDE > tile->size)
    return 0;
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  const uint64_t base = kOnes * tile->levels[0];
  const uint64_t flip = kOnes * static_cast<unsigned char>(tile->levels[0] ^ tile->levels[1]);
  const unsigned char *bits = tile->data + line * IMG_BITS_STRIDE;
  for (int i = 0; i < (tile->w + 7) / 8; ++i) {
    const uint64_t word = (kBitsToBytes.word[bits[i]] & flip) ^ base;
    memcpy(out + 8 * i, &word, 8);
  }
  return tile->w;
}

const unsigned char *ImgTileLine(const ImgTileTp *tile, int line, const unsigned char **end) {
  if (!ReadableTile(tile, line)) return nullptr;
  const unsigned off = tile->lineoff[line];
  if (tile->form == IMG_TILE_BITS) {
    // Packed on demand; a reader may hold a few lines at once.
    if (off == 0 || (line + 1) * IMG_BITS_STRIDE > tile->size) return nullptr;
    thread_local unsigned char ring[8][IMG_PACK_BOUND(1) / IMG_TILE + 1];
    thread_local unsigned turn = 0;
    unsigned char *out = ring[turn++ % 8];
    int32_t changes[IMG_TILE];
    const int count = tile->levels[0] == tile->levels[1]
                          ? 0
                          : IfuBitsToChanges(tile->w, tile->data + line * IMG_BITS_STRIDE, changes);
    int next = 0;
    const int32_t n = ImgPackChanges(changes, count, &next, 0, tile->w, tile->levels, out);
    *end = out + n;
    return out;
  }
  if (off == 0 || off - 1 >= static_cast<unsigned>(tile->size)) return nullptr;
  *end = tile->data + tile->size;
  return tile->data + (off - 1);
}
