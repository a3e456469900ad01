#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "colourrules.h"
#include "image.h"

namespace {

typedef std::vector<uint32_t> Words;  // pixels written as 0xAARRGGBB

RgbPixelTp Px(uint32_t w) {
  return {uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)};
}
uint32_t W(RgbPixelTp p) {
  return p.blue | uint32_t(p.green) << 8 | uint32_t(p.red) << 16 | uint32_t(p.fourth) << 24;
}
Words Of(const std::vector<RgbPixelTp> &line) {
  Words w;
  for (RgbPixelTp p : line) w.push_back(W(p));
  return w;
}
std::vector<RgbPixelTp> Line(const Words &words) {
  std::vector<RgbPixelTp> line;
  for (uint32_t w : words) line.push_back(Px(w));
  return line;
}
std::vector<RgbPixelTp> Mixed(int n) {
  std::vector<RgbPixelTp> line(n);
  uint32_t x = 12345;
  for (RgbPixelTp &p : line) p = Px(x = x * 1103515245 + 12345);
  line[0] = Px(0);
  line[1] = Px(0xFFFFFFFF);
  return line;
}
Words Chain(const ImgColorOpsTp &ops, std::vector<RgbPixelTp> line) {
  ImgColorLine(&ops, line.data(), int(line.size()));
  return Of(line);
}
const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(ImgColor, NeutralSettingsLeaveLinesIdentical) {
  const auto line = Mixed(1000);
  EXPECT_EQ(Chain(ImgColorOpsTp{}, line), Of(line));
  std::vector<RgbPixelTp> out(line.size());
  ImgContrast(line.data(), out.data(), int(line.size()), 1.0);
  EXPECT_EQ(Of(out), Of(line));
  out.assign(line.size(), Px(0));
  ImgBrightness(line.data(), out.data(), int(line.size()), 0, 0, 0, 0);
  EXPECT_EQ(Of(out), Of(line));
}

TEST(ImgColor, ReplacedPixelsEscapeRemovalReversalAndLevel) {
  ImgColorOpsTp ops{};
  ImgParseColorReplace("ff0000/00ff00", &ops);
  ops.level = 55;  // a = 200
  ops.reversal = IMG_REVERSAL_COLOR;
  ops.removebgs = 2;
  ops.frequent_count = 3;
  ops.FrequentColors[0] = Px(0xC800FF00);  // the replacement as it comes out
  ops.FrequentColors[1] = Px(0xFF808080);
  ops.FrequentColors[2] = Px(0xFF102030);  // beyond the count of 2
  EXPECT_EQ(Chain(ops, Line({0xFFFF0000, 0xFF808080, 0xFF102030, 0, 0xFFFFFFFF})),
            Words({0xC800FF00, 0xC8FFFFFF, 0xC8EFDFCF, 0, 0xC8000000}));
}

TEST(ImgColor, ReversalAndOutputModes) {
  const auto line = Line({0xFFFFFFFF, 0x40000000, 0xFF646464, 0xFF2080C0, 0, 0x00FFFFFF});
  ImgColorOpsTp ops{};
  ops.output = IMG_OUTPUT_BW;  // only opaque white stays
  EXPECT_EQ(Chain(ops, line),
            Words({0xFFFFFFFF, 0xFF000000, 0xFF000000, 0xFF000000, 0, 0xFF000000}));
  ops.output = IMG_OUTPUT_COLOR;
  ops.reversal = IMG_REVERSAL_BW;
  EXPECT_EQ(Chain(ops, line),
            Words({0xFF000000, 0xFFFFFFFF, 0xFF646464, 0xFF2080C0, 0, 0xFF000000}));
  ops.reversal = IMG_REVERSAL_GRAY;
  EXPECT_EQ(Chain(ops, line),
            Words({0xFF000000, 0x40FFFFFF, 0xFF9B9B9B, 0xFF2080C0, 0, 0x00000000}));
  // Gray first, then the reversal of grays; every colour is gray by then.
  ops.output = IMG_OUTPUT_GRAY;
  const uint32_t y = (77 * 0x20 + 151 * 0x80 + 28 * 0xC0) >> 8;
  EXPECT_EQ(Chain(ops, line)[3], 0xFF000000 | (255 - y) * 0x010101);
  ops.reversal = IMG_REVERSAL_NONE;
  ops.output = IMG_OUTPUT_EIGHTCOLOR;
  EXPECT_EQ(Chain(ops, line)[3], 0xFF00FFFFu);
}

// Brightness 0.5 gives the exponent 1/3; a tint of 0.5 applies 1/3 again to
// the already truncated bytes, which differs from one pass with 1/9. The
// second setting changes the brightness and one tint: what the first
// built must not be used again.
TEST(ImgColor, BrightnessAndTintsTwoTruncatedPasses) {
  std::vector<RgbPixelTp> line(256);
  for (int i = 0; i < 256; ++i) line[i] = Px(0x7F000000u | i * 0x010101u);
  auto pass = [](int v, double e) { return uint32_t(255.0 * std::pow(v / 255.0, e)); };
  auto exponent = [](double f) { return (1 - f) / (1 + f); };
  ImgColorOpsTp ops{};
  ops.redtint = 0.5;
  ops.bluetint = -0.5;  // exponent 3
  for (auto [brightness, green] : {std::pair{0.5, 0.0}, {0.25, 0.25}}) {
    ops.brightness = brightness;
    ops.greentint = green;
    const auto out = Chain(ops, line);
    for (int i = 0; i < 256; ++i) {
      const int bright = pass(i, exponent(brightness));
      ASSERT_EQ(out[i], 0x7F000000u | pass(bright, 1.0 / 3) << 16 |
                            pass(bright, exponent(green)) << 8 | pass(bright, 3.0))
          << brightness << " " << i;
    }
  }
}

TEST(ImgColor, ContrastTableAndLimits) {
  std::vector<RgbPixelTp> line(256);
  for (int i = 0; i < 256; ++i) line[i] = Px(0xFF000000u | i << 16 | (255 - i) << 8 | i);
  auto expect = [](double k, int i) {
    const double v = (i - 127.5) * k + 127.5;
    return uint32_t(v < 0 ? 0 : v > 255 ? 255 : int(v));
  };
  for (double k : {1.5, 0.0, 1e9, -1e9, kNaN}) {
    std::vector<RgbPixelTp> out(256);
    ImgContrast(line.data(), out.data(), 256, k);
    for (int i = 0; i < 256; ++i)
      ASSERT_EQ(W(out[i]), std::isnan(k)
                               ? W(line[i])
                               : 0xFF000000u | expect(k, i) * 0x010001 | expect(k, 255 - i) << 8)
          << k << " " << i;
  }
}

TEST(ImgColor, ChrominanceFollowsTheRules) {
  // Desaturated primaries land on grays of M - trunc(255 x weight): the
  // weights are 0.70 at red, 0.41 at green and 0.89 at blue. Grays stay.
  auto line = Line({0xFFFF0000, 0xFF00FF00, 0x800000FF, 0xFF7F7F7F, 0x20FFFFFF, 0});
  ImgChrominance(line.data(), line.data(), 6, 0.0);
  EXPECT_EQ(Of(line), Words({0xFF4D4D4D, 0xFF979797, 0x801D1D1D, 0xFF7F7F7F, 0x20FFFFFF, 0}));
  // A lattice of colours with values that often fall exactly on halves.
  std::vector<RgbPixelTp> all;
  for (uint32_t r = 0; r < 256; r += 5)
    for (uint32_t g = 0; g < 256; g += 3)
      for (uint32_t b = 0; b < 256; b += 7) all.push_back(Px(0xFF000000 | r << 16 | g << 8 | b));
  for (double s : {-1e9, 0.0, 0.3, 1.0, 1.4, 1.9999995, 1e9, kNaN}) {
    std::vector<RgbPixelTp> out(all.size());
    ImgChrominance(all.data(), out.data(), int(all.size()), s);
    for (size_t i = 0; i < all.size(); ++i)
      ASSERT_EQ(W(out[i]), ChromaRule(W(all[i]), std::isnan(s) ? 1.0 : s))
          << std::hex << W(all[i]) << " s " << s;
  }
}

// The one-pass chain gives what the steps give one after the other.
TEST(ImgColor, ChainIsTheStepsInOrder) {
  ImgColorOpsTp ops{};
  ImgParseColorReplace("ff0000/00ff00", &ops);
  ops.reversal = IMG_REVERSAL_COLOR;
  ops.level = 10;
  ops.chrominance = 0.6;
  ops.brightness = -0.3;
  ops.bluetint = 0.2;
  ops.contrast = 0.4;
  auto line = Mixed(5000);
  line[2] = Px(0xFFFF0000);
  const auto chained = Chain(ops, line);
  const int n = int(line.size());
  ImgMapBuf(&ops, line.data(), n);
  ImgChrominance(line.data(), line.data(), n, 1.6);
  ImgBrightness(line.data(), line.data(), n, -0.3, 0, 0, 0.2);
  ImgContrast(line.data(), line.data(), n, 1.4);
  EXPECT_EQ(chained, Of(line));
}

// Mostly for the sanitizer build: no division by zero, no conversion of an
// out-of-range double. A level beyond 255 acts as 255.
TEST(ImgColor, FactorsAtTheirLimits) {
  const double inf = std::numeric_limits<double>::infinity();
  const auto line = Mixed(4096);
  for (double f : {-1.0, 1.0, 1e9, -1e9, kNaN, inf, -inf}) {
    ImgColorOpsTp ops{};
    ops.brightness = ops.contrast = ops.chrominance = f;
    ops.redtint = ops.greentint = ops.bluetint = f;
    ops.level = 300;
    for (uint32_t w : Chain(ops, line)) ASSERT_EQ(w >> 24, 0u) << f;
  }
  ImgColorOpsTp ops{};
  ops.brightness = ops.contrast = ops.chrominance = kNaN;
  EXPECT_EQ(Chain(ops, line), Of(line));
}

TEST(ImgColor, ParseColorReplace) {
  ImgColorOpsTp ops{};
  ImgParseColorReplace("ff0000/00ff00:0000ff/ffffff:", &ops);
  EXPECT_EQ(Of(ops.FromColor), Words({0xFFFF0000, 0xFF0000FF}));
  EXPECT_EQ(Of(ops.ToColor), Words({0xFF00FF00, 0xFFFFFFFF}));
  // Appends; a top byte given is toggled; text after ':' that is no pair
  // ends the list.
  ImgParseColorReplace("ff123456/0x10:12/zz", &ops);
  EXPECT_EQ(Of(ops.FromColor), Words({0xFFFF0000, 0xFF0000FF, 0x00123456}));
  EXPECT_EQ(Of(ops.ToColor), Words({0xFF00FF00, 0xFFFFFFFF, 0xFF000010}));
  EXPECT_EXIT(ImgParseColorReplace("ff0000/00ff00;1/2", &ops), testing::ExitedWithCode(1),
              "^Invalid -colorreplace parameter: \\[ff0000/00ff00;1/2\\]\n$");
  for (const char *bad : {"", "ff0000", "ff0000/00ff00 ", "1ffffffff/0"})
    EXPECT_EXIT(ImgParseColorReplace(bad, &ops), testing::ExitedWithCode(1),
                "Invalid -colorreplace parameter")
        << bad;
}

}  // namespace
