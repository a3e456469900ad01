// Line and buffer helpers on RgbPixelTp: format conversions, inversions,
// composition onto white, rectangle copies, flips, the colour model and
// PPM/PGM files.
#include "imautil.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#define CMN_SOURCE "imautil"

// ---------------------------------------------------------------------------
// Into RgbPixelTp. The result is wider than the input, so the lines are
// converted from the end backwards: pixel i is written over bytes that no
// input pixel below i still needs.

static inline RgbPixelTp Pixel(int blue, int green, int red, int fourth) {
  return RgbPixelTp{static_cast<uint8_t>(blue), static_cast<uint8_t>(green),
                    static_cast<uint8_t>(red), static_cast<uint8_t>(fourth)};
}

void ImgLut2Pix(const unsigned char *in, const RgbPixelTp *cmap, RgbPixelTp *out, int n) {
  IMG_ASSERT(cmap, "cmap");
  for (int i = n - 1; i >= 0; --i) out[i] = cmap[in[i]];
}

void ImgGray2Pix(const unsigned char *in, RgbPixelTp *out, int n) {
  for (int i = n - 1; i >= 0; --i) {
    const unsigned char g = in[i];
    out[i] = Pixel(g, g, g, 255);
  }
}

void ImgRgb2Pix(const unsigned char *in, RgbPixelTp *out, int n) {
  for (int i = n - 1; i >= 0; --i) {
    const unsigned char *p = in + 3 * static_cast<size_t>(i);
    const unsigned char r = p[0], g = p[1], b = p[2];
    out[i] = Pixel(b, g, r, 255);
  }
}

void ImgInterp2Pix(const unsigned char *in, RgbPixelTp *out, int n, ImgInterpretationTp interp,
                   const RgbPixelTp *cmap) {
  switch (interp) {
    case ImgInterpLut:
      ImgLut2Pix(in, cmap, out, n);
      break;
    case ImgInterpGray:
      ImgGray2Pix(in, out, n);
      break;
    case ImgInterpRgb:
      ImgRgb2Pix(in, out, n);
      break;
    default:
      if (n > 0) memmove(out, in, static_cast<size_t>(n) * sizeof(RgbPixelTp));
      break;
  }
}

void ImgRgba2PixPremultiplied(const unsigned char *in, RgbPixelTp *out, int n) {
  for (int i = 0; i < n; ++i) {
    const unsigned char *p = in + 4 * static_cast<size_t>(i);
    const int r = p[0], g = p[1], b = p[2], a = p[3];
    if (a == 0)
      out[i] = Pixel(0, 0, 0, 0);
    else if (a == 255)
      out[i] = Pixel(b, g, r, 255);
    else
      out[i] = Pixel(b * a / 255, g * a / 255, r * a / 255, a);
  }
}

static inline unsigned char Clamp255(int v) {
  return static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v);
}

void ImgCmyk2Rgb(const unsigned char *in, unsigned char *out, int n) {
  // Narrower output: forwards, each pixel read whole before it is written.
  for (int i = 0; i < n; ++i) {
    const unsigned char *p = in + 4 * static_cast<size_t>(i);
    const int c = p[0], m = p[1], y = p[2], k = p[3];
    unsigned char *o = out + 3 * static_cast<size_t>(i);
    o[0] = Clamp255(255 - k - c);
    o[1] = Clamp255(255 - k - m);
    o[2] = Clamp255(255 - k - y);
  }
}

// ---------------------------------------------------------------------------
// Out of RgbPixelTp. Narrower or equal results go forwards.

void ImgPix2Rgb(const RgbPixelTp *in, unsigned char *out, int n) {
  for (int i = 0; i < n; ++i) {
    const RgbPixelTp p = in[i];
    unsigned char *o = out + 3 * static_cast<size_t>(i);
    o[0] = p.red;
    o[1] = p.green;
    o[2] = p.blue;
  }
}

void ImgPix2Rgba(const RgbPixelTp *in, RgbPixelTp *out, int n) {
  for (int i = 0; i < n; ++i) {
    const RgbPixelTp p = in[i];
    out[i] = Pixel(p.red, p.green, p.blue, p.fourth);
  }
}

void ImgPix2StraightRgba(const RgbPixelTp *in, unsigned char *out, int n) {
  for (int i = 0; i < n; ++i) {
    const RgbPixelTp p = in[i];
    const int a = p.fourth;
    auto straight = [a](int c) {
      return static_cast<unsigned char>(a == 0 ? 0 : std::min(255, (c * 255 + a / 2) / a));
    };
    unsigned char *o = out + 4 * static_cast<size_t>(i);
    o[0] = straight(p.red);
    o[1] = straight(p.green);
    o[2] = straight(p.blue);
    o[3] = static_cast<unsigned char>(a);
  }
}

void ImgPixReverseBytes(const RgbPixelTp *in, RgbPixelTp *out, int n) {
  for (int i = 0; i < n; ++i) {
    const RgbPixelTp p = in[i];
    out[i] = Pixel(p.fourth, p.red, p.green, p.blue);
  }
}

static inline int Luma64(const RgbPixelTp &p) { return 19 * p.red + 38 * p.green + 7 * p.blue; }

void ImgPix2Gray(const RgbPixelTp *in, unsigned char *out, int n) {
  for (int i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(Luma64(in[i]) >> 6);
}

void ImgPix2Bilevel(const RgbPixelTp *in, unsigned char *out, int n) {
  for (int i = 0; i < n; ++i) out[i] = Luma64(in[i]) < 8192 ? 0 : 255;
}

void ImgPixThreshold(const RgbPixelTp *in, RgbPixelTp *out, int n) {
  for (int i = 0; i < n; ++i) {
    const RgbPixelTp p = in[i];
    out[i] =
        Pixel(p.blue < 128 ? 0 : 255, p.green < 128 ? 0 : 255, p.red < 128 ? 0 : 255, p.fourth);
  }
}

// ---------------------------------------------------------------------------
// Pixel operations on a line.

static inline RgbPixelTp Inverted(const RgbPixelTp &p) {
  return Pixel(255 - p.blue, 255 - p.green, 255 - p.red, 255 - p.fourth);
}

static inline bool IsGray(const RgbPixelTp &p) { return p.red == p.green && p.green == p.blue; }

void ImgInvertPix(const RgbPixelTp *in, RgbPixelTp *out, int n) {
  for (int i = 0; i < n; ++i) out[i] = Inverted(in[i]);
}

void ImgInvertGrayPix(const RgbPixelTp *in, RgbPixelTp *out, int n) {
  for (int i = 0; i < n; ++i) out[i] = IsGray(in[i]) ? Inverted(in[i]) : in[i];
}

void ImgInvertBwPix(const RgbPixelTp *in, RgbPixelTp *out, int n) {
  for (int i = 0; i < n; ++i) {
    const RgbPixelTp p = in[i];
    out[i] = IsGray(p) && (p.red == 0 || p.red == 255) ? Inverted(p) : p;
  }
}

void ImgOverWhite(const RgbPixelTp *in, RgbPixelTp *out, int n) {
  for (int i = 0; i < n; ++i) {
    const RgbPixelTp p = in[i];
    if (p.fourth == 255) {
      out[i] = p;
    } else if (p.fourth == 0) {
      out[i] = Pixel(255, 255, 255, 255);
    } else {
      // A partly covered pixel shows the white beneath in proportion to
      // what the colour leaves open.
      const int add = 255 - p.fourth;
      out[i] = Pixel(std::min(255, p.blue + add), std::min(255, p.green + add),
                     std::min(255, p.red + add), 255);
    }
  }
}

int32_t ImgGetPix(const unsigned char *buffer, size_t index, int bpp) {
  switch (bpp) {
    case 1:
      return buffer[index];
    case 2: {
      int16_t v;
      memcpy(&v, buffer + 2 * index, sizeof v);
      return v;
    }
    case 3: {
      const unsigned char *p = buffer + 3 * index;
      const uint32_t v =
          0xFF000000u | static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
      return static_cast<int32_t>(v);
    }
    case 4: {
      int32_t v;
      memcpy(&v, buffer + 4 * index, sizeof v);
      return v;
    }
    default:
      fprintf(stderr, "Bad value for bytes_per_pixel in getpix: %d\n", bpp);
      exit(1);
  }
}

// ---------------------------------------------------------------------------
// Buffers.

void ImgCopyRect(const RgbPixelTp *src, RgbPixelTp *dst, int *w, int *h, int rw, int rh, int x,
                 int y) {
  const int sw = *w, sh = *h;
  if (sw < 1 || sh < 1) {
    *w = *h = 0;
    return;
  }
  x = std::max(0, std::min(x, sw - 1));
  y = std::max(0, std::min(y, sh - 1));
  const int cw = std::max(1, std::min(rw, sw - x));
  const int ch = std::max(1, std::min(rh, sh - y));
  // memmove: copying a buffer onto itself is safe, since every destination
  // row lies at or before its source row.
  for (int r = 0; r < ch; ++r)
    memmove(dst + static_cast<size_t>(r) * cw, src + (static_cast<size_t>(y) + r) * sw + x,
            static_cast<size_t>(cw) * sizeof(RgbPixelTp));
  *w = cw;
  *h = ch;
}

void ImgFlipVertical(RgbPixelTp *buffer, int w, int h) {
  if (w < 1) return;
  for (int top = 0, bottom = h - 1; top < bottom; ++top, --bottom) {
    RgbPixelTp *a = buffer + static_cast<size_t>(top) * w;
    std::swap_ranges(a, a + w, buffer + static_cast<size_t>(bottom) * w);
  }
}

// ---------------------------------------------------------------------------
// Colour model. The hue runs 0..6 with the sector boundaries of the
// chrominance operation, so that its sector formulas invert this exactly.

void ImgRgb2Hsv(int red, int green, int blue, double *hue, double *saturation, double *value) {
  const int mx = std::max(red, std::max(green, blue));
  const int mn = std::min(red, std::min(green, blue));
  const double d = mx - mn;
  *value = mx / 255.0;
  *saturation = mx > 0 ? 1.0 - static_cast<double>(mn) / mx : 0.0;
  if (d == 0)
    *hue = -1.0;
  else if (red == mx)
    *hue = (green - blue) / d + 1.0;
  else if (green == mx)
    *hue = (blue - red) / d + 3.0;
  else
    *hue = (red - green) / d + 5.0;
}

void ImgHsv2Rgb(double hue, double saturation, double value, int *red, int *green, int *blue) {
  const double m = value * 255.0;
  auto round = [](double v) { return static_cast<int>(Clamp255(static_cast<int>(v + 0.5))); };
  if (hue < 0) {
    *red = *green = *blue = round(m);
    return;
  }
  hue = std::fmod(hue, 6.0);
  const int sector = static_cast<int>(hue);
  const double f = hue - sector;
  const int mm = round(m);
  const int p = round((1.0 - saturation) * m);
  const int q = round((1.0 - saturation * f) * m);
  const int u = round((1.0 - (1.0 - f) * saturation) * m);
  switch (sector) {
    case 0:
      *red = mm, *green = p, *blue = q;
      break;
    case 1:
      *red = mm, *green = u, *blue = p;
      break;
    case 2:
      *red = q, *green = mm, *blue = p;
      break;
    case 3:
      *red = p, *green = mm, *blue = u;
      break;
    case 4:
      *red = p, *green = q, *blue = mm;
      break;
    default:
      *red = u, *green = p, *blue = mm;
      break;
  }
}

// ---------------------------------------------------------------------------
// Files.

namespace {

struct FileCloser {
  void operator()(FILE *fp) const { fclose(fp); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Writes a binary PNM: the header line, then `bytes` per pixel for w x h
// pixels, produced `kChunk` pixels at a time by fill(first, count, out),
// so that no buffer is sized by the picture.
template <typename Fill>
ReturnTp WritePnm(const char *file_name, char magic, int w, int h, int bytes, Fill fill) {
  FilePtr fp(fopen(file_name, "wb"));
  if (!fp) return CmnError(CMN_SOURCE, __LINE__, CMN_E_OPEN, file_name);
  bool ok = fprintf(fp.get(), "P%c %d %d 255\n", magic, w, h) > 0;
  const size_t total = w > 0 && h > 0 ? static_cast<size_t>(w) * h : 0;
  constexpr size_t kChunk = 4096;
  unsigned char out[kChunk * 3];
  for (size_t first = 0; ok && first < total; first += kChunk) {
    const size_t count = std::min(kChunk, total - first);
    fill(first, count, out);
    ok = fwrite(out, bytes, count, fp.get()) == count;
  }
  if (fclose(fp.release()) != 0) ok = false;
  if (!ok) return CmnError(CMN_SOURCE, __LINE__, CMN_E_WRITE, file_name);
  return 0;
}

}  // namespace

ReturnTp ImgDumpLutPpm(const char *file_name, const unsigned char *indexes,
                       const unsigned char *table, int w, int h) {
  return WritePnm(file_name, '6', w, h, 3, [&](size_t first, size_t count, unsigned char *out) {
    for (size_t i = 0; i < count; ++i) memcpy(out + 3 * i, table + 3 * indexes[first + i], 3);
  });
}

ReturnTp ImgDumpPgm(const char *file_name, const unsigned char *gray, int w, int h) {
  return WritePnm(file_name, '5', w, h, 1, [&](size_t first, size_t count, unsigned char *out) {
    memcpy(out, gray + first, count);
  });
}

ReturnTp ImgDumpRgbPpm(const char *file_name, const unsigned char *rgb, int w, int h) {
  return WritePnm(file_name, '6', w, h, 3, [&](size_t first, size_t count, unsigned char *out) {
    memcpy(out, rgb + 3 * first, 3 * count);
  });
}

ReturnTp ImgDumpPixPpm(const char *file_name, const RgbPixelTp *pixels, int w, int h) {
  return WritePnm(file_name, '6', w, h, 3, [&](size_t first, size_t count, unsigned char *out) {
    ImgPix2Rgb(pixels + first, out, static_cast<int>(count));
  });
}

// ---------------------------------------------------------------------------
// The PPM reader. Its input is untrusted: every header number is checked
// before it sizes anything, and the pixel buffer only grows as pixel data
// actually arrives, so a header claiming a huge picture over a short file
// costs nothing.

namespace {

// A header longer than this is not one a PPM writer makes.
const int kHeaderLimit = 4096;
// Larger pictures are refused, so that the callers' byte counts (int)
// cannot overflow.
const int64_t kMaxPixels = INT_MAX / 4;

unsigned char *g_ppm = nullptr;  // the reader's buffer, reused between calls
size_t g_ppmCapacity = 0;

class HeaderReader {
 public:
  explicit HeaderReader(FILE *fp) : fp_(fp) {}

  int get() {
    if (++used_ > kHeaderLimit) return EOF;
    return getc(fp_);
  }

  // The next decimal number after white space and comments. With
  // last, exactly one white-space character must follow: the pixels start
  // right after it.
  bool number(int *value, bool last) {
    int c = get();
    for (;;) {
      if (c == '#') {
        while (c != '\n' && c != EOF) c = get();
      } else if (c != EOF && isspace(c)) {
        c = get();
      } else {
        break;
      }
    }
    if (c == EOF || !isdigit(c)) return false;
    int64_t v = 0;
    while (c != EOF && isdigit(c)) {
      v = v * 10 + (c - '0');
      if (v > INT_MAX) return false;
      c = get();
    }
    if (last) {
      if (c == EOF || !isspace(c)) return false;
    } else if (c == '#') {
      ungetc(c, fp_);
      --used_;
    } else if (c == EOF || !isspace(c)) {
      return false;
    }
    *value = static_cast<int>(v);
    return true;
  }

 private:
  FILE *fp_;
  int used_ = 0;
};

bool Reserve(size_t bytes) {
  if (bytes <= g_ppmCapacity) return true;
  unsigned char *grown = static_cast<unsigned char *>(realloc(g_ppm, bytes));
  if (!grown) return false;
  g_ppm = grown;
  g_ppmCapacity = bytes;
  return true;
}

}  // namespace

const unsigned char *ImgReadPpm(const char *file_name, int *w, int *h) {
  *w = *h = 0;
  FilePtr fp(fopen(file_name, "rb"));
  if (!fp) {
    perror(file_name);
    return nullptr;
  }
  HeaderReader header(fp.get());
  int width = 0, height = 0, maxval = 0;
  const bool ok = header.get() == 'P' && header.get() == '6' && header.number(&width, false) &&
                  header.number(&height, false) && header.number(&maxval, true);
  if (!ok || width < 1 || height < 1 || maxval < 1 || maxval > 255 ||
      static_cast<int64_t>(width) * height > kMaxPixels) {
    fprintf(stderr, "Not a binary ppm file\n");
    return nullptr;
  }

  const size_t total = static_cast<size_t>(width) * height;
  constexpr size_t kChunk = 4096;
  unsigned char in[kChunk * 3];
  for (size_t done = 0; done < total;) {
    const size_t count = std::min(kChunk, total - done);
    if (fread(in, 3, count, fp.get()) != count) {
      fprintf(stderr, "%s: truncated ppm file\n", file_name);
      return nullptr;
    }
    // Grow geometrically, but never beyond the picture.
    const size_t need = (done + count) * 4;
    if (need > g_ppmCapacity && !Reserve(std::min(total * 4, std::max(need, 2 * g_ppmCapacity)))) {
      CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
      return nullptr;
    }
    unsigned char *o = g_ppm + done * 4;
    for (size_t i = 0; i < 3 * count; i += 3, o += 4) {
      for (int k = 0; k < 3; ++k)
        o[k] = maxval == 255 ? in[i + k]
                             : static_cast<unsigned char>(
                                   std::min(255, (in[i + k] * 255 + maxval / 2) / maxval));
      o[3] = 255;
    }
    done += count;
  }
  *w = width;
  *h = height;
  return g_ppm;
}
