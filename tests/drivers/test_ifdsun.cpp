// The Sun raster driver against netpbm's rasttopnm and pnmtorast, and on
// files made by hand for what netpbm never writes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rasterio.h"
#include "runprog.h"

namespace {

const ReturnTp kUnsupported = 0x06040001u, kEof = 0x0808000Au, kWidth = 0x0508000Bu;

// A file: the eight header words, then the map and the data as given.
std::string Sun(uint32_t width, uint32_t height, uint32_t depth, uint32_t type, uint32_t map_type,
                const Bytes &map, const Bytes &data, uint32_t map_length = ~0u) {
  std::string f;
  if (map_length == ~0u) map_length = static_cast<uint32_t>(map.size());
  for (uint32_t v : {0x59A66A95u, width, height, depth, static_cast<uint32_t>(data.size()), type,
                     map_type, map_length})
    for (int shift = 24; shift >= 0; shift -= 8) f += static_cast<char>(v >> shift);
  f.append(map.begin(), map.end());
  f.append(data.begin(), data.end());
  return f;
}

class SunRaster : public testing::Test {
 protected:
  std::string Make(const std::string &data) {
    const std::string path = dir_.file("in" + std::to_string(++files_) + ".ras");
    WriteFile(path, data);
    return path;
  }
  void ExpectAsNetpbm(const std::string &path) {
    RgbImage ours = ReadRgb(path), theirs = NetpbmRgb("rasttopnm " + path);
    EXPECT_EQ(ours.rc, 0u);
    EXPECT_EQ(ours.width, theirs.width);
    EXPECT_EQ(ours.rgb, theirs.rgb);
  }
  TempDir dir_;
  int files_ = 0;
};

TEST_F(SunRaster, NetpbmFilesReadAsRasttopnmDecodesThem) {
  const std::string d = dir_.path() + "/";
  Shell("cd " + d +
        "; pgmramp -diag 37 23 > r; pgmramp -lr 37 23 > g; pgmramp -tb 37 23 > b;"
        " rgb3toppm r g b > rgb.ppm; ppmpat -madras 37 23 > few.ppm;"
        " pamditherbw r | pamtopnm > bw.pbm; pgmramp -lr 17 3 | pamditherbw | pamtopnm > w17.pbm");
  for (const char *image : {"rgb.ppm", "few.ppm", "r", "bw.pbm", "w17.pbm"})
    for (const char *form : {"-standard", "-rle"}) {
      SCOPED_TRACE(std::string(image) + " " + form);
      const std::string path = d + "out.ras";
      Shell("pnmtorast " + std::string(form) + " " + d + image + " > " + path + " 2>/dev/null");
      ExpectAsNetpbm(path);
    }
}

TEST_F(SunRaster, LayoutsNetpbmDoesNotWrite) {
  const Bytes bgr = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0};  // two 24-bit pixels padded to even
  const Bytes xbgr = {255, 1, 2, 3, 255, 4, 5, 6};   // opaque: netpbm ignores alpha
  // Map type 2: colour triplets; map type 1 shorter than 2^depth entries.
  const Bytes raw_map = {10, 20, 30, 40, 50, 60};
  const Bytes rgb_map = {10, 40, 20, 50, 30, 60};
  for (uint32_t type : {1u, 3u}) {
    SCOPED_TRACE(type);
    ExpectAsNetpbm(Make(Sun(2, 1, 24, type, 0, {}, bgr)));
    ExpectAsNetpbm(Make(Sun(2, 1, 32, type, 0, {}, xbgr)));
  }
  RgbImage raw = ReadRgb(Make(Sun(3, 1, 8, 1, 2, raw_map, {1, 0, 1, 0})));
  EXPECT_EQ(raw.rgb, (Bytes{40, 50, 60, 10, 20, 30, 40, 50, 60}));
  ExpectAsNetpbm(Make(Sun(3, 1, 8, 1, 1, rgb_map, {1, 0, 1, 0})));
  // A map on a 24-bit image is passed over.
  EXPECT_EQ(ReadRgb(Make(Sun(2, 1, 24, 1, 1, rgb_map, bgr))).rgb, (Bytes{3, 2, 1, 6, 5, 4}));
}

// The first byte of a 32-bit pixel is alpha: files ImageMagick writes
// from RGBA, and RGB-ordered ones made here, show as ImageMagick reads
// them, laid over white.
TEST_F(SunRaster, ThirtyTwoBitPixelsLayTheirAlphaOverWhite) {
  const std::string d = dir_.path() + "/";
  Shell("cd " + d +
        "; convert -size 29x13 gradient:yellow-purple \\( -size 13x29 gradient:white-black "
        "-rotate 90 \\) -alpha off -compose copy_opacity -composite -depth 8 a.png;"
        " convert a.png a.ras");
  const std::vector<std::string> files = {
      d + "a.ras", Make(Sun(3, 1, 32, 3, 0, {}, {0, 9, 9, 9, 128, 200, 100, 50, 255, 1, 2, 3})),
      Make(Sun(2, 1, 32, 1, 0, {}, {64, 10, 20, 30, 191, 40, 50, 60}))};
  for (const std::string &f : files) {
    SCOPED_TRACE(f);
    RgbImage ours = ReadRgb(f);
    EXPECT_EQ(ours.rc, 0u);
    EXPECT_EQ(ours.rgb, PamOverWhite("convert " + f + " pam:-").rgb);
  }
}

TEST_F(SunRaster, RunsCrossRowsAndMissingMapsHaveDefaults) {
  // Width 3 at depth 8 stores 4 bytes a row; the run of 6 fills the first
  // row and half the second, 0x80 0 is a literal 0x80.
  const Bytes grey_map = {0, 100, 200, 0, 100, 200, 0, 100, 200};
  const std::string path = Make(Sun(3, 3, 8, 2, 1, grey_map, {0x80, 5, 2, 1, 0x80, 0, 0x80, 3, 0}));
  EXPECT_EQ(ReadRgb(path).rgb, (Bytes{200, 200, 200, 200, 200, 200, 200, 200, 200,  //
                                      200, 200, 200, 200, 200, 200, 100, 100, 100,  //
                                      0,   0,   0,   0,   0,   0,   0,   0,   0}));
  ExpectAsNetpbm(path);

  // Depth 8 without a map is an inverted grey ramp, depth 1 white on black.
  RgbImage grey = ReadRgb(Make(Sun(4, 1, 8, 1, 0, {}, {0, 1, 254, 255})));
  EXPECT_EQ(grey.rgb, (Bytes{255, 255, 255, 254, 254, 254, 1, 1, 1, 0, 0, 0}));
  RgbImage bits = ReadRgb(Make(Sun(17, 1, 1, 1, 0, {}, {0x80, 0, 0x80, 0xFF})));
  ASSERT_EQ(bits.rgb.size(), 51u);
  EXPECT_EQ(bits.rgb[0], 0);
  EXPECT_EQ(bits.rgb[3], 255);
  EXPECT_EQ(bits.rgb[48], 0) << "pixel 16 is the first bit of the third byte";
}

TEST_F(SunRaster, WrittenFilesReadBackWithNetpbm) {
  const std::string d = dir_.path() + "/";
  Shell("cd " + d +
        "; pgmramp -diag 37 23 > r; pgmramp -lr 37 23 > g; pgmramp -tb 37 23 > b;"
        " rgb3toppm r g b > rgb.ppm");
  RunResult r = RunProgram({PV_PVCONVERT, d + "rgb.ppm", d + "out.ras"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(NetpbmRgb("rasttopnm " + d + "out.ras").rgb, NetpbmRgb("cat " + d + "rgb.ppm").rgb);

  // Palettes of 256 and 2 entries: indexes with the map, and packed bits.
  for (int entries : {256, 2}) {
    SCOPED_TRACE(entries);
    Bytes cmap, lines, want;
    for (int i = 0; i < entries; ++i)
      cmap.insert(cmap.end(), {static_cast<unsigned char>(i), static_cast<unsigned char>(255 - i),
                               static_cast<unsigned char>(i * 7)});
    for (int i = 0; i < 19 * 5; ++i) {
      lines.push_back(static_cast<unsigned char>((i * 11) % entries));
      want.insert(want.end(), &cmap[3 * lines.back()], &cmap[3 * lines.back()] + 3);
    }
    ASSERT_EQ(WriteLines(d + "p.ras", IFF_TYPE_SUN, 19, 5, IFF_CM_PALETTE, lines, cmap), 0u);
    EXPECT_EQ(NetpbmRgb("rasttopnm " + d + "p.ras").rgb, want);
  }
  CmnFilterOn(CMN_SEV_INTERNAL);
  EXPECT_EQ(WriteLines(d + "g.ras", IFF_TYPE_SUN, 2, 1, IFF_CM_GRAY, {1, 2}), 0x06080008u);
  EXPECT_EQ(WriteLines(d + "m.ras", IFF_TYPE_SUN, 1, 1, IFF_CM_PALETTE, {1}, Bytes(48)),
            0x06080009u);
  CmnFilterOff(CMN_SEV_INTERNAL);
}

TEST_F(SunRaster, BadHeadersFailWithTheirCode) {
  const struct {
    std::string file;
    ReturnTp code;
  } kCases[] = {
      {Sun(2, 1, 0, 1, 0, {}, {1, 2}), kUnsupported},
      {Sun(2, 1, 64, 1, 0, {}, {1, 2}), kUnsupported},
      {Sun(2, 1, 8, 4, 0, {}, {1, 2}), kUnsupported},
      {Sun(2, 1, 8, 1, 3, {}, {1, 2}), kUnsupported},
      {Sun(2, 1, 8, 1, 1, {1, 2, 3}, {}, 0x7FFFFFFF), kEof},   // map beyond the file
      {Sun(2, 1, 24, 1, 1, {1, 2, 3}, {}, 0xFFFFFFF0), kEof},  // skipped map beyond the file
      {Sun(0x7FFFFFF, 1, 8, 1, 0, {}, {1, 2}), kWidth},
      {Sun(60000, 60000, 24, 2, 0, {}, {0x80, 0xFF, 7}), kEof},  // claims far more than it holds
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(testing::PrintToString(Bytes(c.file.begin() + 8, c.file.begin() + 32)));
    CmnFilterOn(CMN_SEV_ERROR | CMN_SEV_INTERNAL);
    EXPECT_EQ(ReadRgb(Make(c.file)).rc, c.code);
    CmnFilterOff(CMN_SEV_ERROR | CMN_SEV_INTERNAL);
  }
  // A file cut short reads on as zeros.
  EXPECT_EQ(ReadRgb(Make(Sun(2, 2, 8, 1, 0, {}, {0, 1}))).rgb,
            (Bytes{255, 255, 255, 254, 254, 254, 255, 255, 255, 255, 255, 255}));
}

}  // namespace
