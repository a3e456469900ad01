// The synthetic drawing the benchmarks share (20000 x 28000 by default):
// white with thin black lines and text-like blobs, about 3% ink, made one
// line at a time so that no benchmark has to hold the whole picture.
#ifndef PV_BENCH_DRAWING_H
#define PV_BENCH_DRAWING_H

#include <cstdint>
#include <cstring>

inline uint32_t Hash(uint32_t a, uint32_t b) {
  uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  return h;
}

// A drawing: a frame, a grid of thin lines, two slanted lines, and blocks
// of text, 18-pixel characters on lines 66 pixels apart. A character is a
// blob 12 wide and 20 tall (narrower at top and bottom), or with glyphs a
// 5 x 7 bit pattern drawn three times larger.
struct Drawing {
  int w, h;
  bool glyphs;
  uint64_t glyph[64];

  Drawing(int width, int height, bool bits) : w(width), h(height), glyphs(bits) {
    for (int g = 0; g < 64; ++g) {
      glyph[g] = 0;
      for (int bit = 0; bit < 35; ++bit)
        if (Hash(g, bit) % 100 < 42) glyph[g] |= uint64_t(1) << bit;
    }
  }

  void Black(unsigned char *line, int x0, int x1) const {
    if (x0 < 0) x0 = 0;
    if (x1 > w) x1 = w;
    if (x0 < x1) memset(line + x0, 0, x1 - x0);
  }

  void Line(int y, unsigned char *line) const {
    memset(line, 255, w);
    const int m = 20;
    if ((y >= m && y < m + 4) || (y >= h - m - 4 && y < h - m)) Black(line, m, w - m);
    if (y >= m && y < h - m) {
      Black(line, m, m + 4);
      Black(line, w - m - 4, w - m);
    }
    if (y % 1000 < 2 && y > m + 4 && y < h - m - 4) Black(line, 500, w - 500);
    for (int x = 1250; x < w - m - 4; x += 1250) Black(line, x, x + 2);
    const int slant = y * 7 / 10;
    Black(line, 3000 + slant, 3002 + slant);
    Black(line, w - 3000 - slant, w - 2998 - slant);

    // Text blocks of 4000 x 1500 in cells of 5000 x 2500, one cell in three.
    const int by = y / 2500, ty = y % 2500 - 500;
    if (ty < 0 || ty >= 1500 || ty % 66 >= 21) return;
    const int text_line = ty / 66, row = ty % 66;
    static const int kHalf[21] = {2, 4, 5, 5, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 5, 5, 4, 2};
    for (int bx = 0; bx * 5000 + 500 < w; ++bx) {
      if (Hash(bx, by) % 3 != 0) continue;
      const int left = bx * 5000 + 500;
      for (int cell = 0; cell < 4000 / 18; ++cell) {
        const uint32_t id = Hash(bx * 1000 + cell, by * 100 + text_line);
        if (id % 6 == 0) continue;  // a space
        const int x = left + cell * 18;
        if (!glyphs) {
          Black(line, x + 8 - kHalf[row], x + 8 + kHalf[row]);
          continue;
        }
        const uint64_t bits = glyph[id % 64] >> (row / 3 * 5);
        for (int col = 0; col < 5; ++col)
          if (bits >> col & 1) Black(line, x + col * 3, x + col * 3 + 3);
      }
    }
  }
};

#endif
