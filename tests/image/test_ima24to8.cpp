// Colour reduction: which palette the budget and the taken cells lead to,
// where it lands in the colour table, and how faithfully pixels map.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "image.h"

namespace {

RgbPixelTp Px(int r, int g, int b, int fourth = 255) {
  return RgbPixelTp{static_cast<uint8_t>(b), static_cast<uint8_t>(g), static_cast<uint8_t>(r),
                    static_cast<uint8_t>(fourth)};
}

uint32_t Word(const RgbPixelTp &p) {
  uint32_t v;
  memcpy(&v, &p, 4);
  return v;
}

uint32_t Rgb(const RgbPixelTp &p) { return Word(p) & 0xFFFFFFu; }

// The largest difference of red, green and blue.
int Distance(const RgbPixelTp &a, const RgbPixelTp &b) {
  return std::max(
      {std::abs(a.red - b.red), std::abs(a.green - b.green), std::abs(a.blue - b.blue)});
}

struct Reduction {
  std::vector<RgbPixelTp> table = std::vector<RgbPixelTp>(256, Px(9, 9, 9, 0x5A));
  std::vector<uint32_t> inuse = std::vector<uint32_t>(256, 0);
  std::vector<unsigned char> index;

  void take(int cell, RgbPixelTp colour) {
    inuse[cell] = 1;
    table[cell] = colour;
  }
  void run(const std::vector<RgbPixelTp> &pixels, int w, int h, int budget = 255,
           bool no_dither = false, bool std_cmap = false) {
    index.assign(pixels.size(), 0);
    ImgReduceColors(pixels.data(), index.data(), table.data(), inuse.data(), budget, no_dither,
                    std_cmap, w, h);
  }
  const RgbPixelTp &shown(size_t i) const { return table[index[i]]; }
};

std::vector<RgbPixelTp> Gradient(int w, int h) {
  std::vector<RgbPixelTp> v(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int r = x * 255 / (w - 1);
      v[y * w + x] = Px(r, y * 255 / (h - 1), 255 - r);
    }
  return v;
}

std::vector<RgbPixelTp> RandomPicture(int n, int colours, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<RgbPixelTp> palette(colours), v(n);
  for (RgbPixelTp &c : palette) c = Px(rng() & 255, rng() & 255, rng() & 255);
  for (RgbPixelTp &p : v) p = palette[rng() % colours];
  return v;
}

class ReduceColors : public testing::Test {
 protected:
  void SetUp() override { unsetenv("PVXLUTCOLORS"); }
  void TearDown() override { unsetenv("PVXLUTCOLORS"); }
};

TEST_F(ReduceColors, FewColoursAreKeptExactlyWhenTheBudgetIsInTakenCells) {
  // 100 taken cells cut the budget to 85, no more than they: the picture's
  // own colours are used as they are.
  Reduction r;
  for (int i = 0; i < 100; ++i) r.take(i, Px(i, 2 * i, 255 - i, 7));
  const std::vector<RgbPixelTp> saved(r.table);
  const std::vector<RgbPixelTp> pic = RandomPicture(40 * 30, 10, 1);
  r.run(pic, 40, 30);
  for (size_t i = 0; i < pic.size(); ++i) {
    ASSERT_EQ(Rgb(r.shown(i)), Rgb(pic[i])) << i;
    ASSERT_EQ(r.inuse[r.index[i]], 0u) << i;
  }
  for (int i = 0; i < 100; ++i) EXPECT_EQ(Word(r.table[i]), Word(saved[i])) << i;
}

TEST_F(ReduceColors, FewColoursOnAFreeMapGoThroughTheMedianCut) {
  // Two colours; then 65536 pixels of one, which a wrapping 16-bit counter
  // would lose from the histogram.
  std::vector<RgbPixelTp> two(64);
  for (int i = 0; i < 64; ++i) two[i] = i % 3 ? Px(200, 50, 50) : Px(50, 60, 200);
  const std::pair<std::vector<RgbPixelTp>, int> cases[] = {
      {two, 8}, {std::vector<RgbPixelTp>(256 * 256, Px(120, 150, 30)), 256}};
  for (const auto &[pic, side] : cases) {
    Reduction r;
    r.run(pic, side, side, 255, true);
    std::set<uint32_t> colours;
    for (const RgbPixelTp &c : r.table) colours.insert(Rgb(c));
    EXPECT_GT(colours.size(), 100u) << side;  // the standard colours took part
    EXPECT_TRUE(colours.count(0xFFFFFF) && colours.count(0)) << side;
    for (size_t i = 0; i < pic.size(); ++i) ASSERT_LE(Distance(r.shown(i), pic[i]), 2) << i;
  }
}

TEST_F(ReduceColors, SharedMapLimitsNewColours) {
  const std::vector<RgbPixelTp> pic = Gradient(64, 64);
  for (const char *env : {static_cast<const char *>(nullptr), "20"}) {
    if (env) setenv("PVXLUTCOLORS", env, 1);
    Reduction r;
    for (int i = 0; i < 3; ++i) r.take(i, Px(1, 2, i));
    r.run(pic, 64, 64);
    std::set<uint32_t> written, used;
    for (int i = 3; i < 256; ++i) written.insert(Rgb(r.table[i]));
    for (unsigned char x : r.index)
      if (x >= 3) used.insert(x);
    const size_t limit = env ? 20 : 85;
    EXPECT_LE(written.size(), limit);
    EXPECT_LE(used.size(), limit);
    EXPECT_GT(used.size(), limit / 2);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Word(r.table[i]), Word(Px(1, 2, i))) << i;
  }
}

TEST_F(ReduceColors, StandardMapFlag) {
  Reduction r;
  const int taken[] = {5, 77, 200};
  for (int t : taken) r.take(t, Px(130, 20, 240, 0xAB));
  // Pixels in standard colours (far from the taken cells') come back
  // unchanged, dithered or not.
  std::vector<RgbPixelTp> pic;
  for (int i : {0, 1, 36, 100, 215, 216, 255})
    pic.push_back(Px(ImgStdColorMap[i].red, ImgStdColorMap[i].green, ImgStdColorMap[i].blue));
  for (bool no_dither : {true, false}) {
    r.run(pic, static_cast<int>(pic.size()), 1, 15, no_dither, true);
    for (int i = 0; i < 256; ++i) {
      const bool is_taken = i == 5 || i == 77 || i == 200;
      EXPECT_EQ(Word(r.table[i]), is_taken ? Word(Px(130, 20, 240, 0xAB)) : Word(ImgStdColorMap[i]))
          << i;
    }
    for (size_t i = 0; i < pic.size(); ++i) EXPECT_EQ(Rgb(r.shown(i)), Rgb(pic[i])) << i;
  }
  // The map itself: a 6 x 6 x 6 cube with red fastest, then 40 grays.
  std::vector<uint32_t> some;
  for (int i : {1, 6, 36, 215, 216, 255}) some.push_back(Word(ImgStdColorMap[i]));
  EXPECT_EQ(some, (std::vector<uint32_t>{0x330000, 0x3300, 0x33, 0xFFFFFF, 0x060606, 0xF8F8F8}));
}

TEST_F(ReduceColors, WithoutDitherEqualPixelsGetTheNearestIndex) {
  // More colours than cells: the median cut, then the inverse map, whose
  // answer for a pixel is the first palette colour nearest to the centre
  // of the pixel's histogram cell.
  const std::vector<RgbPixelTp> pic = RandomPicture(100 * 100, 500, 2);
  for (int budget : {15, 255}) {
    Reduction r;
    r.run(pic, 100, 100, budget, true);
    const int n = budget + 1;
    std::map<uint32_t, int> seen;
    for (size_t i = 0; i < pic.size(); ++i) {
      auto it = seen.emplace(Rgb(pic[i]), r.index[i]).first;
      ASSERT_EQ(it->second, r.index[i]) << i;
      const int cr = (pic[i].red & ~7) + 4, cg = (pic[i].green & ~3) + 2,
                cb = (pic[i].blue & ~7) + 4;
      int best = 0, bestd = INT_MAX;
      for (int k = 0; k < n; ++k) {
        const int dr = 2 * (r.table[k].red - cr), dg = 3 * (r.table[k].green - cg),
                  db = r.table[k].blue - cb;
        const int d = dr * dr + dg * dg + db * db;
        if (d < bestd) bestd = d, best = k;
      }
      ASSERT_EQ(r.index[i], best) << i;
    }
  }
}

TEST_F(ReduceColors, DitheredGradientKeepsItsMeanAndWorksInPlace) {
  const int w = 256, h = 64;
  const std::vector<RgbPixelTp> pic = Gradient(w, h);
  for (int budget : {255, 15}) {
    Reduction r;
    r.run(pic, w, h, budget);
    double sum[3] = {0, 0, 0};
    for (size_t i = 0; i < pic.size(); ++i) {
      sum[0] += r.shown(i).red - pic[i].red;
      sum[1] += r.shown(i).green - pic[i].green;
      sum[2] += r.shown(i).blue - pic[i].blue;
    }
    for (double s : sum) EXPECT_LT(std::abs(s / pic.size()), 2.0) << budget;

    // The viewer reduces its frame in place.
    Reduction same;
    std::vector<RgbPixelTp> frame = pic;
    ImgReduceColors(frame.data(), reinterpret_cast<unsigned char *>(frame.data()),
                    same.table.data(), same.inuse.data(), budget, false, false, w, h);
    EXPECT_EQ(memcmp(frame.data(), r.index.data(), pic.size()), 0);
    EXPECT_EQ(memcmp(same.table.data(), r.table.data(), 256 * 4), 0);
  }
}

TEST_F(ReduceColors, TwoColourDitherOfFlatGraysKeepsTheirLevel) {
  // Budget 1: one box, snapped to white, beside black. Only a complete
  // diffusion of the error gives the right share of white.
  for (int gray : {40, 100, 200}) {
    Reduction r;
    const std::vector<RgbPixelTp> pic(64 * 64, Px(gray, gray, gray));
    r.run(pic, 64, 64, 1);
    double sum = 0;
    for (size_t i = 0; i < pic.size(); ++i) {
      ASSERT_TRUE(Rgb(r.shown(i)) == 0 || Rgb(r.shown(i)) == 0xFFFFFF) << i;
      sum += r.shown(i).green;
    }
    EXPECT_NEAR(sum / pic.size(), gray, 1.5);
  }
}

}  // namespace
