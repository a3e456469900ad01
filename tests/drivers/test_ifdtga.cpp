// The TGA driver against netpbm and ImageMagick, both ways, and on
// hand-made files for packets that cross rows and hostile headers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rasterio.h"
#include "runprog.h"

namespace {

constexpr int32_t kW = 37, kH = 23;

// An 18-byte header of our own making, then the rest.
std::string Tga(int map_type, int type, int first, int length, int entry, int w, int h, int depth,
                int descriptor, const std::string &rest) {
  const int v[] = {0,           map_type, type,    first & 255, first >> 8, length & 255,
                   length >> 8, entry,    0,       0,           0,          0,
                   w & 255,     w >> 8,   h & 255, h >> 8,      depth,      descriptor};
  std::string f;
  for (int b : v) f += static_cast<char>(b);
  return f + rest;
}

TEST(Tga, FilesOfTheOraclesReadAsTheyDecodeThem) {
  TempDir dir;
  Bytes lines, cmap, unused;
  const Bytes few = Picture(kW, kH, 256, &lines, &cmap);
  const Bytes many = Picture(kW, kH, 0, &unused, &unused);
  const std::string in_few = dir.file("few.ppm"), in_many = dir.file("many.ppm");
  WriteFile(in_few, PpmOf(kW, kH, few));
  WriteFile(in_many, PpmOf(kW, kH, many));
  const std::string im = "/usr/bin/convert ";
  struct Case {
    std::string make;
    int type;
    bool exact;  // the picture comes back as it went in
  } cases[] = {
      {"ppmtotga -mono " + in_many, 11, false},
      {"ppmtotga -norle -mono " + in_many, 3, false},
      {"ppmtotga -cmap " + in_few, 9, true},
      {"ppmtotga -norle -cmap " + in_few, 1, true},
      {"ppmtotga -norle -cmap16 " + in_few, 1, false},
      {"ppmtotga -rgb " + in_many, 10, true},
      {"ppmtotga -norle -rgb " + in_many, 2, true},
      {im + in_many + " -orient TopLeft tga:-", 2, true},
      {im + in_many + " -compress rle -orient TopLeft tga:-", 10, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.make);
    const std::string out = dir.file("out.tga");
    Shell(c.make + " 2>/dev/null > " + out);
    ASSERT_EQ(ReadFile(out)[2], c.type);
    RgbImage d = ReadRgb(out);
    ASSERT_EQ(d.rc, 0u);
    EXPECT_EQ(d.rgb, NetpbmRgb("tgatoppm " + out + " 2>/dev/null").rgb);
    if (c.exact) {
      EXPECT_EQ(d.rgb, c.make.find("few") != std::string::npos ? few : many);
    }
  }
}

// 32-bit pixels with alpha bits in the descriptor, as ImageMagick writes
// them (top row first: it keeps rows in file order whatever the origin),
// show as ImageMagick reads them, laid over white; without alpha bits the
// fourth byte is ignored, as tgatoppm does.
TEST(Tga, AlphaIsLaidOverWhite) {
  TempDir dir;
  Shell("cd " + dir.path() +
        "; convert -size 27x19 gradient:lime-maroon \\( -size 19x27 gradient:white-black "
        "-rotate 90 \\) -alpha off -compose copy_opacity -composite -depth 8 a.png");
  for (const char *form : {"-compress none", "-compress rle"}) {
    SCOPED_TRACE(form);
    const std::string out = dir.file("a.tga");
    Shell("convert " + dir.file("a.png") + " -orient TopLeft " + form + " " + out);
    ASSERT_EQ(ReadFile(out)[17] & 15, 8);
    RgbImage ours = ReadRgb(out);
    ASSERT_EQ(ours.rc, 0u);
    EXPECT_EQ(ours.rgb, PamOverWhite("convert " + out + " pam:-").rgb);
  }
  const std::string plain = dir.file("plain.tga");
  WriteFile(plain, Tga(0, 2, 0, 0, 0, 2, 1, 32, 0x20, {10, 20, 30, 0, 40, 50, 60, 99}));
  EXPECT_EQ(ReadRgb(plain).rgb, NetpbmRgb("tgatoppm " + plain).rgb);
}

TEST(Tga, PacketsCrossRowsAndMapsStartAnywhere) {
  TempDir dir;
  struct Case {
    const char *what;
    std::string file;
    Bytes rgb;  // top row first
    int orientation;
  } cases[] = {
      // 3 x 2, bottom row first: a run of four red pixels, then two raw.
      {"run crosses a row",
       Tga(0, 10, 0, 0, 0, 3, 2, 24, 0, std::string("\x83\0\0\xFF\1\0\xFF\0\xFF\0\0", 11)),
       {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 0, 0, 255, 0, 0, 255, 0, 0},
       2},
      // 2 x 2 grey, top row first: three raw values, then a run of one.
      {"raw packet crosses a row",
       Tga(0, 11, 0, 0, 0, 2, 2, 8, 0x20, "\2\1\2\3\x80\4"),
       {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4},
       0},
      // Uncompressed and bottom row first in the file: delivered top first.
      {"uncompressed bottom-left", Tga(0, 3, 0, 0, 0, 1, 2, 8, 0, "\5\6"), {6, 6, 6, 5, 5, 5}, 0},
      // Entries 2 and 3 of 16 bits: white and red 16 of 31.
      {"16-bit map from entry 2",
       Tga(1, 1, 2, 2, 16, 2, 1, 8, 0, std::string("\xFF\x7F\0\x40\2\3", 6)),
       {255, 255, 255, 131, 0, 0},
       0},
      // 100 x 2, top row first: runs of 128 and 72 colour pixels.
      {"long runs", Tga(0, 10, 0, 0, 0, 100, 2, 24, 0x20, "\xFF\1\2\3\xC7\4\5\6"),
       [] {
         Bytes rgb;
         for (int i = 0; i < 200; ++i) rgb.insert(rgb.end(), {3, 2, 1});
         for (int i = 128; i < 200; ++i) rgb[3 * i] = 6, rgb[3 * i + 1] = 5, rgb[3 * i + 2] = 4;
         return rgb;
       }(),
       0},
      // A map of no entries: every index shows black.
      {"empty map", Tga(1, 1, 0, 0, 24, 2, 1, 8, 0, "\0\1"), {0, 0, 0, 0, 0, 0}, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(dir.file("t.tga"), c.file);
    RgbImage d = ReadRgb(dir.file("t.tga"));
    ASSERT_EQ(d.rc, 0u);
    EXPECT_EQ(d.header.orientation, c.orientation);
    EXPECT_EQ(d.rgb, c.rgb);
  }
}

TEST(Tga, WrittenFilesReadBackWithNetpbm) {
  TempDir dir;
  const std::string out = dir.file("w.tga");
  std::vector<int32_t> order;
  for (int32_t y = 0; y < kH; ++y) order.push_back((y * 5) % kH);  // any order
  Bytes lines, cmap, grey, unused;
  const Bytes few = Picture(kW, kH, 256, &lines, &cmap);
  const Bytes many = Picture(kW, kH, 0, &unused, &unused);
  for (size_t i = 0; i < lines.size(); ++i) grey.insert(grey.end(), 3, lines[i]);
  ASSERT_EQ(WriteLines(out, IFF_TYPE_TGA, kW, kH, IFF_CM_RGB, lines, cmap, order), 0u);
  EXPECT_EQ(ReadFile(out)[2], 1);
  EXPECT_EQ(NetpbmRgb("tgatoppm " + out).rgb, few);
  ASSERT_EQ(WriteLines(out, IFF_TYPE_TGA, kW, kH, IFF_CM_RGB, many, {}, order), 0u);
  EXPECT_EQ(NetpbmRgb("tgatoppm " + out).rgb, many);
  ASSERT_EQ(WriteLines(out, IFF_TYPE_TGA, kW, kH, IFF_CM_GRAY, lines, {}, order), 0u);
  EXPECT_EQ(ReadFile(out)[2], 3);
  EXPECT_EQ(NetpbmRgb("tgatoppm " + out).rgb, grey);

  Recorder recorder;
  const Bytes sixteen(48, 9);
  EXPECT_NE(WriteLines(out, IFF_TYPE_TGA, kW, kH, IFF_CM_RGB, lines, sixteen, order), 0u);
  EXPECT_EQ(Recorder::raised().at(0).rfind("Unsupported TARGA format", 0), 0u);
}

TEST(Tga, BadHeadersFailWithTheirMessage) {
  TempDir dir;
  struct Case {
    const char *what;
    std::string file;
    const char *message;
  } cases[] = {
      {"type 32", Tga(1, 32, 0, 2, 24, 2, 2, 8, 0, std::string(10, '\0')),
       "Unsupported TARGA format"},
      {"24-bit grey", Tga(0, 3, 0, 0, 0, 2, 2, 24, 0, std::string(12, '\0')),
       "Unsupported TARGA format"},
      {"map of 65535 entries from 65535",
       Tga(1, 9, 65535, 65535, 24, 2, 2, 8, 0, std::string(9, '\0')), "Strange color map size"},
      {"no width", Tga(0, 2, 0, 0, 0, 0, 2, 24, 0, std::string(9, '\0')),
       "Bad file header params returned from driver"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(dir.file("bad.tga"), c.file);
    ExpectRefused(dir.file("bad.tga"), c.message);
  }

  // The longest map there is, with runs past the end of a tiny file: read
  // without complaint, pixels that are not there are index 0.
  WriteFile(dir.file("long.tga"), Tga(1, 9, 0, 65535, 32, 3, 3, 8, 0, std::string(40, '\xFF')));
  RgbImage d = ReadRgb(dir.file("long.tga"));
  EXPECT_EQ(d.rc, 0u);
  EXPECT_EQ(d.rgb.size(), 27u);
}

}  // namespace
