// The SGI driver against netpbm's sgitopnm and pnmtosgi, and on files made
// by hand for the row order and broken tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rasterio.h"
#include "runprog.h"

namespace {

const ReturnTp kUnsupported = 0x06040001u, kConvert = 0x06040002u, kEof = 0x0808000Au;

// A 512-byte header, then the rest as given.
std::string Sgi(int storage, int bpc, int dimension, int x, int y, int z, const Bytes &rest) {
  std::string f(512, '\0');
  auto put16 = [&f](int at, int v) {
    f[at] = static_cast<char>(v >> 8);
    f[at + 1] = static_cast<char>(v);
  };
  put16(0, 474);
  f[2] = static_cast<char>(storage);
  f[3] = static_cast<char>(bpc);
  put16(4, dimension);
  put16(6, x);
  put16(8, y);
  put16(10, z);
  f[19] = static_cast<char>(255);
  f.append(rest.begin(), rest.end());
  return f;
}

class SgiImage : public testing::Test {
 protected:
  std::string Make(const std::string &data) {
    const std::string path = dir_.file("in" + std::to_string(++files_) + ".sgi");
    WriteFile(path, data);
    return path;
  }
  TempDir dir_;
  int files_ = 0;
};

TEST_F(SgiImage, NetpbmFilesReadAsSgitopnmDecodesThem) {
  const std::string d = dir_.path() + "/";
  Shell("cd " + d +
        "; pgmramp -diag 37 23 > r; pgmramp -lr 37 23 > g; pgmramp -tb 37 23 > b;"
        " rgb3toppm r g b > rgb.ppm; ppmpat -madras 37 23 > few.ppm");
  for (const char *image :
       {"rgb.ppm", "few.ppm", "r", "rgb.ppm | pamdepth 65535", "r | pamdepth 4095"})
    for (const char *form : {"-rle", "-verbatim"}) {
      SCOPED_TRACE(std::string(image) + " " + form);
      Shell("cd " + d + "; cat " + image + " | pnmtosgi " + form + " > out.sgi");
      RgbImage ours = ReadRgb(d + "out.sgi");
      EXPECT_EQ(ours.rc, 0u);
      EXPECT_EQ(ours.rgb, NetpbmRgb("sgitopnm " + d + "out.sgi 2>/dev/null | pamdepth 255").rgb);
    }
}

// RGBA files as ImageMagick writes them (8 and 16 bits, verbatim and
// run-length) show as ImageMagick reads them, laid over white. Grey with
// alpha (two channels) shows as the same picture stored as RGBA.
TEST_F(SgiImage, AlphaIsLaidOverWhite) {
  const std::string d = dir_.path() + "/";
  Shell("cd " + d +
        "; convert -size 31x17 gradient:orange-navy \\( -size 17x31 gradient:white-black "
        "-rotate 90 \\) -alpha off -compose copy_opacity -composite a.png");
  for (const char *form : {"-compress none -depth 8", "-compress RLE -depth 8", "-depth 16"}) {
    SCOPED_TRACE(form);
    Shell("cd " + d + "; convert a.png " + form + " a.sgi");
    RgbImage ours = ReadRgb(d + "a.sgi");
    EXPECT_EQ(ours.rc, 0u);
    EXPECT_EQ(ours.rgb, PamOverWhite("convert " + d + "a.sgi pam:-").rgb);
  }
  const Bytes grey = {0, 90, 200, 255, 30, 140}, alpha = {255, 0, 128, 64, 1, 254};
  Bytes two = grey, four = grey;
  two.insert(two.end(), alpha.begin(), alpha.end());
  four.insert(four.end(), grey.begin(), grey.end());
  four.insert(four.end(), grey.begin(), grey.end());
  four.insert(four.end(), alpha.begin(), alpha.end());
  RgbImage ours = ReadRgb(Make(Sgi(0, 1, 3, 3, 2, 2, two)));
  EXPECT_EQ(ours.rc, 0u);
  EXPECT_EQ(ours.rgb, PamOverWhite("convert " + Make(Sgi(0, 1, 3, 3, 2, 4, four)) + " pam:-").rgb);
}

TEST_F(SgiImage, RowsAreStoredBottomFirst) {
  // Verbatim: two grey rows; run-length: the same rows through the tables,
  // one a run and one literal samples, in the other order in the file.
  EXPECT_EQ(ReadRgb(Make(Sgi(0, 1, 2, 2, 2, 1, {1, 2, 3, 4}))).rgb,
            (Bytes{3, 3, 3, 4, 4, 4, 1, 1, 1, 2, 2, 2}));
  const Bytes tables = {0, 0, 2, 20, 0, 0, 2, 16, 0, 0, 0, 3, 0, 0, 0, 4};
  Bytes rle = tables;
  rle.insert(rle.end(), {0x82, 3, 4, 0, 2, 7, 0});
  EXPECT_EQ(ReadRgb(Make(Sgi(1, 1, 2, 2, 2, 1, rle))).rgb,
            (Bytes{3, 3, 3, 4, 4, 4, 7, 7, 7, 7, 7, 7}));
}

TEST_F(SgiImage, WrittenFilesReadBackWithNetpbm) {
  const std::string d = dir_.path() + "/";
  Shell("cd " + d +
        "; pgmramp -diag 37 23 > r; pgmramp -lr 37 23 > g; pgmramp -tb 37 23 > b;"
        " rgb3toppm r g b > rgb.ppm");
  // Grey output is compared with our own grey conversion of the input.
  RunResult grey = RunProgram({PV_PVCONVERT, d + "rgb.ppm", d + "grey.pgm"});
  ASSERT_EQ(grey.status, 0) << grey.err;
  for (const char *out : {"out.sgi", "out.bw"}) {
    SCOPED_TRACE(out);
    RunResult r = RunProgram({PV_PVCONVERT, d + "rgb.ppm", d + out});
    ASSERT_EQ(r.status, 0) << r.err;
    const bool rgb = out == std::string("out.sgi");
    EXPECT_EQ(NetpbmRgb("sgitopnm " + d + out + " 2>/dev/null").rgb,
              NetpbmRgb(std::string("cat ") + d + (rgb ? "rgb.ppm" : "grey.pgm")).rgb);
  }
  RunResult piped = RunProgram({PV_PVCONVERT, "-type", "sgi", d + "rgb.ppm", "-"});
  EXPECT_NE(piped.status, 0) << "rows land at their place: standard output cannot take them";
}

TEST_F(SgiImage, BadHeadersAndTablesFailWithTheirCode) {
  const Bytes pixels(64, 9);
  Bytes outside = {0, 0, 0, 0, 0x7F, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 4};
  const struct {
    std::string file;
    ReturnTp code;
  } kCases[] = {
      {Sgi(0, 1, 1, 4, 1, 1, pixels), kUnsupported},  // one dimension
      {Sgi(0, 3, 2, 4, 1, 1, pixels), kUnsupported},  // 3 bytes a sample
      {Sgi(2, 1, 2, 4, 1, 1, pixels), kUnsupported},  // storage
      {Sgi(0, 1, 3, 4, 1, 0, pixels), kUnsupported},  // no channels
      {Sgi(1, 1, 3, 60000, 60000, 3, pixels), kEof},  // tables beyond the file
      {Sgi(1, 1, 2, 2, 2, 1, outside), kConvert},     // rows outside the file
      {Sgi(0, 1, 3, 40, 40, 3, pixels), kConvert},    // verbatim rows missing
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(testing::PrintToString(Bytes(c.file.begin(), c.file.begin() + 12)));
    CmnFilterOn(CMN_SEV_ERROR | CMN_SEV_INTERNAL);
    EXPECT_EQ(ReadRgb(Make(c.file)).rc, c.code);
    CmnFilterOff(CMN_SEV_ERROR | CMN_SEV_INTERNAL);
  }
}

}  // namespace
