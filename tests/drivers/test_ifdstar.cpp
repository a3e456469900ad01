// The StarBase bitmap driver: headers built field by field for each pixel
// layout and for each refused field, and the writer on a stream.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "rasterio.h"
#include "runprog.h"

namespace {

const ReturnTp kUnsupported = 0x06040001u;

std::string Be32(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

std::string Float(float f) {
  uint32_t bits;
  memcpy(&bits, &f, 4);
  return Be32(bits);
}

// A header of width x height with the fields changed as asked, then the
// colour map and the pixel data.
std::string StarBase(int32_t w, int32_t h, std::map<int, int32_t> fields, const std::string &map,
                     const std::string &data) {
  std::map<int, int32_t> all = {{16, 1},
                                {36, 256 + int32_t(map.size())},
                                {40, 0},
                                {52, w},
                                {56, h},
                                {60, -1},
                                {64, 8},
                                {68, 8},
                                {72, 1},
                                {76, 255},
                                {84, int32_t(map.size() / 12)}};
  all[40] = all[36] + int32_t(data.size());
  for (auto [at, v] : fields) all[at] = v;
  std::string f = std::string("Bitmapfile") + std::string(246, '\0');
  for (auto [at, v] : all) f.replace(static_cast<size_t>(at), 4, Be32(static_cast<uint32_t>(v)));
  return f + map + data;
}

class StarBaseTest : public testing::Test {
 protected:
  RgbImage Read(const std::string &bytes) {
    const std::string path = dir_.file("in" + std::to_string(++files_) + ".sb");
    WriteFile(path, bytes);
    return ReadRgb(path);
  }
  TempDir dir_;
  int files_ = 0;
};

TEST_F(StarBaseTest, EveryPixelLayoutReads) {
  // Map entries: 0.5 truncates to 127.
  const std::string map = Float(0.5f) + Float(0) + Float(1) + Float(1) + Float(0.2f) + Float(0);
  const Bytes c0 = {127, 0, 255}, c1 = {255, 51, 0};
  auto pixels = [&](const std::string &indexes) {
    Bytes rgb;
    for (char i : indexes) rgb.insert(rgb.end(), (i ? c1 : c0).begin(), (i ? c1 : c0).end());
    return rgb;
  };
  // One byte a pixel, one bank.
  EXPECT_EQ(Read(StarBase(3, 1, {}, map, std::string("\0\1\1", 3))).rgb,
            pixels(std::string("\0\1\1", 3)));
  // One bit a pixel: rows of whole bytes.
  EXPECT_EQ(Read(StarBase(9, 1, {{60, 0}, {64, 1}, {68, 1}, {72, 0}}, map, "\x81\x80")).rgb,
            pixels(std::string("\1\0\0\0\0\0\0\1\1", 9)));
  // Bit planes: plane p gives bit p of the index; rows of plane 0 first.
  std::string map4;
  for (int i = 0; i < 16; ++i) map4 += Float(i / 16.0f) + Float(0) + Float(0);
  RgbImage planes = Read(StarBase(2, 2, {{60, -2}, {64, 4}, {68, 1}}, map4,
                                  std::string("\x80\x40\x00\xC0\xC0\x00\x40\x40", 8)));
  EXPECT_EQ(planes.rc, 0u);
  // Indexes 5, 12, 2, 11; red is trunc(index / 16 x 255).
  const Bytes reds = {planes.rgb[0], planes.rgb[3], planes.rgb[6], planes.rgb[9]};
  EXPECT_EQ(reds, (Bytes{79, 191, 31, 175}));
  // Depth 24 in three banks, blue first, across more than one band of rows.
  std::string banks;
  for (int b = 0; b < 3; ++b)
    for (int i = 0; i < 2 * 12; ++i) banks += char(b * 100 + i);
  RgbImage rgb = Read(StarBase(2, 12, {{64, 24}, {72, 3}}, "", banks));
  EXPECT_EQ(rgb.rc, 0u);
  ASSERT_EQ(rgb.rgb.size(), 72u);
  EXPECT_EQ(Bytes(rgb.rgb.begin() + 63, rgb.rgb.begin() + 66), (Bytes{200 + 21, 100 + 21, 21}));
}

TEST_F(StarBaseTest, HeaderFieldsOutOfRangeAreRefused) {
  const std::map<int, int32_t> kBad[] = {
      {{36, 200}}, {{40, 256}}, {{44, -1}},  {{48, -1}}, {{52, 0}},
      {{56, 0}},   {{60, -3}},  {{64, 16}},  {{68, 4}},  {{72, 0}},
      {{72, 4}},   {{80, 2}},   {{84, 257}}, {{64, 24}},  // true colour needs banks
  };
  for (const auto &fields : kBad) {
    SCOPED_TRACE(fields.begin()->first);
    EXPECT_EQ(Read(StarBase(2, 1, fields, "", "ab")).rc, kUnsupported);
  }
}

TEST_F(StarBaseTest, TrueColourWrittenToAStreamHasItsOffsets) {
  std::string ppm = "P6\n5 13\n255\n";
  for (int i = 0; i < 5 * 13; ++i) ppm += {char(i), char(3 * i), char(255 - i)};
  WriteFile(dir_.file("in.ppm"), ppm);
  RunResult r = RunProgram({PV_PVCONVERT, "-type", "sb", dir_.file("in.ppm"), "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string &f = r.out;
  EXPECT_EQ(f.substr(36, 8), Be32(256) + Be32(256 + 3 * 65));
  EXPECT_EQ(f.substr(192, 47),
            std::string("Image Converted To StarBase Using QPL Software") + '\0');
}

}  // namespace
