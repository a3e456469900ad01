// The TIFF driver against libtiff's tools: files made by tiffcp and
// pnmtotiff in every layout and compression read pixel for pixel as
// tifftopnm reads them, our files opened by libtiff, and hand-made
// directories that must fail with their codes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "drivers.h"
#include "rasterio.h"
#include "runprog.h"

namespace {

// The inputs every case starts from, made once: colour, grey, a drawing,
// palettes of 8, 4, 2 and 1 bits, 2, 4 and 16-bit grey, 16-bit colour and CMYK
// without black.
class TiffFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    Shell("cd " + dir_->path() +
          " && pgmramp -lr 97 61 > r.pgm && pgmnoise 97 61 > n.pgm 2>/dev/null"
          " && pgmramp -tb 97 61 > t.pgm && rgb3toppm r.pgm n.pgm t.pgm > c.ppm"
          " && ppmtopgm c.ppm > g.pgm && pamthreshold -simple g.pgm | pamtopnm > b.pbm"
          " && pnmtotiff -truecolor c.ppm > rgb.tif 2>/dev/null"
          " && pnmtotiff g.pgm > grey.tif 2>/dev/null"
          " && pnmtotiff -miniswhite b.pbm > bw.tif 2>/dev/null"
          " && pnmtotiff -minisblack b.pbm > bwb.tif 2>/dev/null"
          " && pnmquant 200 c.ppm 2>/dev/null | pnmtotiff > p8.tif 2>/dev/null"
          " && pnmquant 12 c.ppm 2>/dev/null | pnmtotiff -indexbits 4 > p4.tif 2>/dev/null"
          " && pamdepth 15 g.pgm | pnmtotiff -miniswhite > g4.tif 2>/dev/null"
          " && pamdepth 3 g.pgm | pnmtotiff > g2.tif 2>/dev/null"
          " && pnmquant 4 c.ppm 2>/dev/null | pnmtotiff -indexbits 2 > p2.tif 2>/dev/null"
          " && pnmquant 2 c.ppm 2>/dev/null | pnmtotiff -indexbits 1 > p1.tif 2>/dev/null"
          " && pamdepth 65535 g.pgm | pnmtotiff > g16.tif 2>/dev/null"
          " && pamdepth 65535 c.ppm | pnmtotiff -truecolor > rgb16.tif 2>/dev/null"
          " && convert c.ppm -colorspace cmyk -channel K -evaluate set 0 +channel"
          "    -compress none cmyk.tif");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string F(const std::string &name) { return dir_->file(name); }

  // Copies `base` with tiffcp options and compares our read with libtiff's.
  static void ExpectAsLibtiff(const std::string &base, const std::string &options) {
    const std::string out = F("x.tif");
    Shell("tiffcp " + options + " " + F(base) + " " + out);
    RgbImage ours = ReadRgb(out);
    // libtiff decodes to plain strips first: tifftopnm's own tile path
    // is off at the edge of 16-bit tiles.
    RgbImage theirs = NetpbmRgb("tiffcp -c none -s " + out + " " + F("plain.tif") +
                                " && tifftopnm " + F("plain.tif") + " 2>/dev/null");
    ASSERT_EQ(ours.rc, 0u) << base << " " << options << ": "
                           << CmnErrorText(ours.rc, nullptr, nullptr);
    EXPECT_EQ(ours.width, theirs.width);
    EXPECT_TRUE(ours.rgb == theirs.rgb) << base << " " << options;
  }
  static TempDir *dir_;
};
TempDir *TiffFiles::dir_ = nullptr;

TEST_F(TiffFiles, StripsAndTilesInEveryCompressionAndByteOrder) {
  const char *bases[] = {"rgb.tif", "grey.tif", "bw.tif",  "bwb.tif",   "p8.tif",
                         "p4.tif",  "g4.tif",   "g16.tif", "rgb16.tif", "cmyk.tif",
                         "g2.tif",  "p2.tif",   "p1.tif"};
  const char *compressions[] = {"none", "lzw", "lzw:2", "packbits", "zip", "zip:2"};
  const char *layouts[] = {"-B -s -r 7", "-L -t -w 32 -l 16", "-L -s", "-B -t -w 16 -l 32"};
  for (const char *base : bases)
    for (const char *c : compressions) {
      const std::string name = base;
      // libtiff differences only whole bytes.
      if (std::string(c).find(":2") != std::string::npos &&
          (name == "bw.tif" || name == "bwb.tif" || name == "p4.tif" || name == "g4.tif" ||
           name == "g2.tif" || name == "p2.tif" || name == "p1.tif"))
        continue;
      for (const char *layout : layouts) ExpectAsLibtiff(base, std::string(layout) + " -c " + c);
    }
}

TEST_F(TiffFiles, FaxDataInEveryForm) {
  // A black-is-zero page shows its black runs white, as libtiff shows it.
  for (const char *base : {"bw.tif", "bwb.tif"})
    for (const char *c : {"g3", "g3:2d", "g3:fill", "g4"})
      for (const char *fill : {"msb2lsb", "lsb2msb"})
        for (const char *layout : {"-s", "-s -r 9", "-t -w 32 -l 16"})
          ExpectAsLibtiff(base, std::string("-f ") + fill + " " + layout + " -c " + c);
  // Modified Huffman comes from pnmtotiff; FillOrder 2 of raw bits too.
  for (const char *options : {"-g3 -2d", "-lsb2msb -g4", "-lsb2msb", "-rowsperstrip 5 -g3"}) {
    Shell("pnmtotiff " + std::string(options) + " " + F("b.pbm") + " > " + F("y.tif") +
          " 2>/dev/null");
    ExpectAsLibtiff("y.tif", "");
  }
}

// Separate planes in every compression, strips and tiles, both byte
// orders (tiffcp separates 8-bit samples only: ImageMagick writes the
// 16-bit and the 4-bit ones, whose samples share bytes, and reads them).
TEST_F(TiffFiles, SeparatePlanes) {
  const char *layouts[] = {"-B -s -r 16", "-L -t -w 32 -l 16", "-L -s -r 32"};
  for (const char *base : {"rgb.tif", "cmyk.tif"})
    for (const char *c : {"none", "lzw", "lzw:2", "packbits", "zip", "zip:2", "jpeg:r"}) {
      if (std::string(c) == "jpeg:r" && std::string(base) != "rgb.tif") continue;
      for (const char *layout : layouts)
        ExpectAsLibtiff(base, std::string("-p separate ") + layout + " -c " + c);
    }
  // tiffcp mixes up the planes of such tiles: ImageMagick reads them.
  for (const char *depth : {"16", "4"})
    for (const char *c : {"none", "zip", "lzw"})
      for (const char *tiles : {"", "-define tiff:tile-geometry=16x16"}) {
        const std::string what = std::string(depth) + " " + c + " " + tiles;
        Shell("convert " + F("c.ppm") + " -depth " + depth + " -interlace plane " + tiles +
              " -compress " + c + " " + F("planes.tif"));
        RgbImage ours = ReadRgb(F("planes.tif"));
        ASSERT_EQ(ours.rc, 0u) << what;
        EXPECT_TRUE(ours.rgb == NetpbmRgb("convert " + F("planes.tif") + " -depth 8 ppm:-").rgb)
            << what;
      }
}

// BigTIFF: 64-bit offsets and counts in strips and tiles, both byte
// orders, and a chain of pages.
TEST_F(TiffFiles, BigTiff) {
  for (const char *base : {"rgb.tif", "p8.tif", "g16.tif"})
    for (const char *layout : {"-B -s -r 7", "-L -t -w 32 -l 16"})
      for (const char *c : {"none", "zip:2"})
        ExpectAsLibtiff(base, std::string("-8 ") + layout + " -c " + c);
  Shell("tiffcp -8 " + F("rgb.tif") + " " + F("grey.tif") + " " + F("p8.tif") + " " + F("b.tif"));
  RunResult info = RunProgram({PV_PVCONVERT, "-info", F("b.tif")});
  EXPECT_NE(info.out.find("Pages: 3"), std::string::npos) << info.out;
  RunResult third = RunProgram({PV_PVCONVERT, "-pageno", "3", F("b.tif"), F("b.ppm")});
  ASSERT_EQ(third.status, 0) << third.err;
  EXPECT_TRUE(NetpbmRgb("cat " + F("b.ppm")).rgb ==
              NetpbmRgb("tifftopnm " + F("p8.tif") + " 2>/dev/null").rgb);
}

// Deflate under the value older writers gave it reads as Deflate.
TEST_F(TiffFiles, OldDeflateCode) {
  Shell("tiffcp -c zip:2 " + F("rgb.tif") + " " + F("z.tif") + " && tiffset -s 259 32946 " +
        F("z.tif"));
  ExpectAsLibtiff("z.tif", "");
}

// Inks with black: each colour (255 - C)(255 - K) / 255, as libtiff's
// RGBA interface gives them; 16-bit inks, which it refuses, as
// ImageMagick gives them but for its rounding.
TEST_F(TiffFiles, CmykMultipliedByBlack) {
  Shell("convert " + F("c.ppm") + " -colorspace cmyk -compress none " + F("k.tif") +
        " && convert " + F("c.ppm") + " -colorspace cmyk -depth 16 -compress none " + F("k16.tif"));
  RgbImage ours = ReadRgb(F("k.tif"));
  RgbImage theirs = NetpbmRgb("tiff2rgba -c none " + F("k.tif") + " " + F("rgba.tif") +
                              " && tifftopnm " + F("rgba.tif") + " 2>/dev/null");
  ASSERT_EQ(ours.rc, 0u);
  EXPECT_TRUE(ours.rgb == theirs.rgb);
  ours = ReadRgb(F("k16.tif"));
  theirs = NetpbmRgb("convert " + F("k16.tif") + " -depth 8 ppm:-");
  ASSERT_EQ(ours.rc, 0u);
  ASSERT_EQ(ours.rgb.size(), theirs.rgb.size());
  int worst = 0;
  for (size_t i = 0; i < ours.rgb.size(); ++i)
    worst = std::max(worst, std::abs(ours.rgb[i] - theirs.rgb[i]));
  EXPECT_LE(worst, 2);
}

// 32-bit integers and floating point from the page's own least to its
// greatest value, as ImageMagick's -auto-level shows them; floating point
// between the SMinSampleValue and SMaxSampleValue ImageMagick writes as
// ImageMagick shows it. Without those tags (renamed here to a tag no one
// reads) the range is measured in a first pass, through the floating-point
// differencing, tiles and separate planes.
TEST_F(TiffFiles, WideSamplesFromTheirRange) {
  Shell("convert " + F("c.ppm") + " +level 20%,60% " + F("lv.ppm"));
  const std::string flt = "-define quantum:format=floating-point -depth ";
  const struct {
    std::string magick, tiffcp;
    bool float_tags;  // SMin/SMax 0 and 1 kept: shown as ImageMagick shows them plainly
  } cases[] = {
      {"-depth 32", "", false},
      {"-depth 32 -compress zip", "", false},
      {flt + "32", "", true},
      {flt + "32", "-c none", false},
      {flt + "32", "-c zip:3", false},
      {flt + "64", "-c lzw:3 -t -w 32 -l 16", false},
      {flt + "32 -interlace plane -compress zip", "", false},
  };
  for (const auto &c : cases) {
    const std::string what = c.magick + " " + c.tiffcp;
    // ImageMagick fails on its own floating-point files for a tag it
    // does not know (the predictor), having written them.
    Shell("convert " + F("lv.ppm") + " " + c.magick + " " + F("w.tif") +
          " 2>/dev/null || test -s " + F("w.tif"));
    if (!c.tiffcp.empty())
      Shell("tiffcp " + c.tiffcp + " " + F("w.tif") + " " + F("w2.tif") + " 2>/dev/null && mv " +
            F("w2.tif") + " " + F("w.tif"));
    if (!c.float_tags) {
      // SMinSampleValue and SMaxSampleValue (340, 341, FLOAT or DOUBLE)
      // become tag 65021, which no reader knows.
      std::string file = ReadFile(F("w.tif"));
      for (char low : {'\x54', '\x55'})
        for (char type : {'\x0b', '\x0c'}) {
          const std::string entry = {low, '\x01', type, '\0'};
          for (size_t at = file.find(entry); at != std::string::npos; at = file.find(entry, at + 1))
            file[at] = file[at + 1] = '\xfd';
        }
      WriteFile(F("w.tif"), file);
    }
    RgbImage ours = ReadRgb(F("w.tif"));
    RgbImage theirs = NetpbmRgb("convert " + F("w.tif") + (c.float_tags ? "" : " -auto-level") +
                                " -depth 8 ppm:- 2>/dev/null");
    ASSERT_EQ(ours.rc, 0u) << what << ": " << CmnErrorText(ours.rc, nullptr, nullptr);
    ASSERT_EQ(ours.rgb.size(), theirs.rgb.size()) << what;
    int worst = 0;
    for (size_t i = 0; i < ours.rgb.size(); ++i)
      worst = std::max(worst, std::abs(ours.rgb[i] - theirs.rgb[i]));
    EXPECT_LE(worst, 1) << what;
  }
}

// CIE L*a*b* as ImageMagick shows it, but for the level or so by which
// its own reading of signed a* and b* differs (more near the edge of the
// gamut, so the colours are softened); tiff2rgba's display model is
// tens of levels off both.
TEST_F(TiffFiles, CieLabAsImageMagick) {
  for (const char *c : {"none", "zip"}) {
    Shell("convert " + F("c.ppm") + " -modulate 100,50 -colorspace Lab -compress " + c + " " +
          F("lab.tif"));
    RgbImage ours = ReadRgb(F("lab.tif"));
    RgbImage theirs = NetpbmRgb("convert " + F("lab.tif") + " -colorspace sRGB -depth 8 ppm:-");
    ASSERT_EQ(ours.rc, 0u) << c;
    ASSERT_EQ(ours.rgb.size(), theirs.rgb.size()) << c;
    int worst = 0;
    double total = 0;
    for (size_t i = 0; i < ours.rgb.size(); ++i) {
      worst = std::max(worst, std::abs(ours.rgb[i] - theirs.rgb[i]));
      total += std::abs(ours.rgb[i] - theirs.rgb[i]);
    }
    EXPECT_LE(worst, 10) << c;
    EXPECT_LE(total / ours.rgb.size(), 1.5) << c;
  }
}

// JPEG strips and tiles of four samples: CMYK as tiff2rgba converts it,
// and RGB with alpha as tiff2rgba gives it laid over white (by
// ImageMagick, which rounds where we cut; its own reading of such files
// is tens of levels off).
TEST_F(TiffFiles, JpegOfFourSamples) {
  Shell("convert " + F("c.ppm") + " -colorspace cmyk -compress none " + F("k.tif") +
        " && convert " + F("c.ppm") + " -alpha set -channel A -fx 'i/w' +channel -compress none " +
        F("a.tif"));
  for (const char *layout : {"-r 16", "-t -w 32 -l 16"})
    for (const char *base : {"k.tif", "a.tif"}) {
      const bool cmyk = base[0] == 'k';
      const std::string what = std::string(base) + " " + layout;
      Shell("tiffcp -c " + std::string(cmyk ? "jpeg" : "jpeg:r") + " " + layout + " " + F(base) +
            " " + F("j.tif") + " && tiff2rgba -c none " + F("j.tif") + " " + F("rgba.tif"));
      RgbImage ours = ReadRgb(F("j.tif"));
      RgbImage theirs = NetpbmRgb(cmyk ? "tifftopnm " + F("rgba.tif") + " 2>/dev/null"
                                       : "convert " + F("rgba.tif") +
                                             " -background white -flatten -depth 8 ppm:-");
      ASSERT_EQ(ours.rc, 0u) << what << ": " << CmnErrorText(ours.rc, nullptr, nullptr);
      ASSERT_EQ(ours.rgb.size(), theirs.rgb.size()) << what;
      int worst = 0;
      for (size_t i = 0; i < ours.rgb.size(); ++i)
        worst = std::max(worst, std::abs(ours.rgb[i] - theirs.rgb[i]));
      EXPECT_LE(worst, cmyk ? 0 : 1) << what;
    }
}

// Alpha laid over white, as ImageMagick flattens it (which rounds where
// we cut, so within one level), an extra sample of no stated kind as
// unassociated alpha; associated alpha is not multiplied again.
TEST_F(TiffFiles, AlphaOverWhite) {
  Shell("convert " + F("c.ppm") + " -alpha set -channel A -fx 'i/w' +channel " + F("a.png"));
  const struct {
    const char *options;
    int slack;
  } cases[] = {{"-colorspace gray", 1},
               {"", 1},
               {"-depth 16", 1},
               {"-define tiff:alpha=associated", 0},
               {"-define tiff:alpha=unspecified", 1},
               {"-interlace plane -compress zip", 1}};
  for (const auto &c : cases) {
    Shell("convert " + F("a.png") + " " + c.options + " " + F("a.tif"));
    RgbImage ours = ReadRgb(F("a.tif"));
    RgbImage theirs =
        NetpbmRgb("convert " + F("a.tif") + " -background white -flatten -depth 8 ppm:-");
    ASSERT_EQ(ours.rc, 0u) << c.options;
    ASSERT_EQ(ours.rgb.size(), theirs.rgb.size()) << c.options;
    int worst = 0;
    for (size_t i = 0; i < ours.rgb.size(); ++i)
      worst = std::max(worst, std::abs(ours.rgb[i] - theirs.rgb[i]));
    EXPECT_LE(worst, c.slack) << c.options;
  }
}

// Pages are counted by their directories: a page in a compression we do
// not read says so by name, and the pages after it open all the same.
TEST_F(TiffFiles, PagesAfterAnUnreadablePage) {
  const std::string m = F("u.tif");
  Shell("tiffcp " + F("rgb.tif") + " " + F("grey.tif") + " " + F("p8.tif") + " " + m +
        " && tiffset -d 1 -s 259 50000 " + m);
  RunResult info = RunProgram({PV_PVCONVERT, "-info", m});
  EXPECT_NE(info.out.find("Pages: 3"), std::string::npos) << info.out;
  RunResult second = RunProgram({PV_PVCONVERT, "-pageno", "2", m, F("two.ppm")});
  EXPECT_NE(second.status, 0);
  EXPECT_NE(second.err.find("TIFF compression 50000 (zstd) is not supported"), std::string::npos)
      << second.err;
  // The page after it converts, without a word about the page passed over.
  RunResult third = RunProgram({PV_PVCONVERT, "-pageno", "3", m, F("three.ppm")});
  ASSERT_EQ(third.status, 0) << third.err;
  EXPECT_EQ(third.err, "");
  EXPECT_TRUE(NetpbmRgb("cat " + F("three.ppm")).rgb ==
              NetpbmRgb("tifftopnm " + F("p8.tif") + " 2>/dev/null").rgb);
  // Every page: the one that cannot be read is named and left out, the
  // others are written (into one file, or a file each), and the run fails.
  for (const char *out : {"all.tif", "all.ppm"}) {
    RunResult all = RunProgram({PV_PVCONVERT, "-pageno", "all", m, F(out)});
    EXPECT_NE(all.status, 0) << out;
    EXPECT_NE(all.err.find("(zstd) is not supported"), std::string::npos) << all.err;
    EXPECT_EQ(all.err.find("Internal"), std::string::npos) << all.err;
  }
  EXPECT_EQ(ShellOutput("tiffinfo " + F("all.tif") + " 2>/dev/null | grep -c 'Image Width'"),
            "2\n");
  EXPECT_TRUE(NetpbmRgb("tifftopnm " + F("all.tif") + " 2>/dev/null | pnmsplit - " +
                        F("split%d.pnm") + " && cat " + F("split1.pnm"))
                  .rgb == NetpbmRgb("tifftopnm " + F("p8.tif") + " 2>/dev/null").rgb);
  EXPECT_EQ(ShellOutput("cd " + F("") + " && ls all-*.ppm"), "all-1.ppm\nall-3.ppm\n");
  IffFileSpecTp spec = {m.c_str(), nullptr, 0};
  IffControlBlockTp *cb = nullptr;
  ASSERT_EQ(IffInit(nullptr, &cb, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, nullptr),
            0u);
  cb->page = 3;
  IffParamTp h = {};
  EXPECT_EQ(IffRdHead(cb, 0, nullptr, &h), 0u);
  EXPECT_EQ(h.page_count, 3);
  EXPECT_EQ(h.color_model, static_cast<uint32_t>(IFF_CM_PALETTE));
  IffTerm(&cb);
}

// The header and the first line of a file with each orientation tag.
TEST_F(TiffFiles, OrientationTags) {
  const int expected[9][2] = {{0, 0}, {0, 0}, {0, 1}, {2, 1}, {2, 0},
                              {3, 1}, {1, 0}, {1, 1}, {3, 0}};
  RgbImage plain = ReadRgb(F("rgb.tif"));
  for (int o = 1; o <= 8; ++o) {
    Shell("cp " + F("rgb.tif") + " " + F("o.tif") + " && tiffset -s 274 " + std::to_string(o) +
          " " + F("o.tif"));
    const std::string name = F("o.tif");
    IffFileSpecTp spec = {name.c_str(), nullptr, 0};
    IffControlBlockTp *cb = nullptr;
    IffParamTp h = {};
    ASSERT_EQ(IffInit(nullptr, &cb, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, nullptr),
              0u);
    ASSERT_EQ(IffRdHead(cb, 0, nullptr, &h), 0u);
    EXPECT_EQ(h.orientation, expected[o][0]) << o;
    EXPECT_EQ(h.mirrored, expected[o][1]) << o;
    ASSERT_EQ(IffRdScan(cb, 1, 0), 0u);
    // A mirrored row runs right to left.
    const int x = h.mirrored ? h.width - 1 : 0;
    EXPECT_EQ(cb->line[0], plain.rgb[3 * x]) << o;
    EXPECT_EQ(cb->line[2], plain.rgb[3 * x + 2]) << o;
    IffTerm(&cb);
  }
}

// Every orientation tag shows the page as ImageMagick's -auto-orient and
// `tifftopnm -byrow` do (without -byrow, tifftopnm garbles 5-8), with the
// user's rotations, mirrors and crop on the upright page: read straight
// from the file, and through the raster the viewer shows (a second page).
TEST_F(TiffFiles, OrientationsAsUpright) {
  struct Ops {
    std::vector<std::string> ours;
    const char *magick;
  };
  const Ops ops[] = {
      {{}, ""},
      {{"-rotate", "90"}, "-rotate 270"},
      {{"-mirror", "horizontal"}, "-flop"},
      {{"-rotate", "90", "-mirror", "horizontal"}, "-rotate 270 -flop"},
      {{"-rotate", "180", "-mirror", "vertical"}, "-rotate 180 -flip"},
      {{"-crop", "20x30+5+7"}, "-crop 20x30+5+7"},
  };
  for (int o = 1; o <= 8; ++o) {
    Shell("cp " + F("rgb.tif") + " " + F("o.tif") + " && tiffset -s 274 " + std::to_string(o) +
          " " + F("o.tif") + " && tiffcp " + F("grey.tif") + " " + F("o.tif") + " " + F("o2.tif"));
    for (const Ops &op : ops)
      for (int page = 1; page <= 2; ++page) {
        std::vector<std::string> args = {PV_PVCONVERT, "-pageno", std::to_string(page)};
        args.insert(args.end(), op.ours.begin(), op.ours.end());
        args.insert(args.end(), {F(page == 1 ? "o.tif" : "o2.tif"), F("o.ppm")});
        RunResult r = RunProgram(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string what =
            std::to_string(o) + " " + op.magick + " page " + std::to_string(page);
        EXPECT_TRUE(
            NetpbmRgb("cat " + F("o.ppm")).rgb ==
            NetpbmRgb("convert " + F("o.tif") + " -auto-orient +repage " + op.magick + " ppm:-")
                .rgb)
            << what;
      }
    EXPECT_TRUE(NetpbmRgb("tifftopnm -byrow " + F("o.tif") + " 2>/dev/null").rgb ==
                NetpbmRgb("convert " + F("o.tif") + " -auto-orient ppm:-").rgb)
        << o;
  }
}

// Page n of a file of three, counted from 1; the fourth does not exist.
TEST_F(TiffFiles, PagesAndPageNumberEnvironment) {
  Shell("tiffcp " + F("rgb.tif") + " " + F("bw.tif") + " " + F("p8.tif") + " " + F("m.tif"));
  const std::string name = F("m.tif");
  IffFileSpecTp spec = {name.c_str(), nullptr, 0};
  auto read_page = [&](int page, IffParamTp *h) {
    IffControlBlockTp *cb = nullptr;
    EXPECT_EQ(IffInit(nullptr, &cb, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, nullptr),
              0u);
    cb->page = page;
    *h = {};
    ReturnTp rc = IffRdHead(cb, 0, nullptr, h);
    IffTerm(&cb);
    return rc;
  };
  IffParamTp h;
  ASSERT_EQ(read_page(3, &h), 0u);
  EXPECT_EQ(h.page_count, 3);
  EXPECT_EQ(h.color_model, static_cast<uint32_t>(IFF_CM_PALETTE));
  EXPECT_EQ(read_page(4, &h), IFF_I_NO_MORE_PAGES);
  setenv("PV_IMAGE_NUMBER", "2", 1);
  ASSERT_EQ(read_page(1, &h), 0u);
  EXPECT_EQ(h.secondary_model, static_cast<uint32_t>(IFF_CM_BILEVEL));
  ASSERT_EQ(read_page(3, &h), 0u);  // stops at the last
  unsetenv("PV_IMAGE_NUMBER");
  EXPECT_TRUE(ReadRgb(F("m.tif")).rgb == ReadRgb(F("rgb.tif")).rgb);
}

// A little-endian file made by hand: one directory of (tag, type, count,
// value) entries at offset 8, the data behind it.
std::string HandMade(const std::vector<std::vector<uint32_t>> &entries, const std::string &data,
                     uint32_t next = 0) {
  std::string f("II*\0\x08\0\0\0", 8);
  auto put = [&f](uint32_t v, int n) {
    for (int i = 0; i < n; ++i) f += static_cast<char>(v >> (8 * i));
  };
  put(static_cast<uint32_t>(entries.size()), 2);
  for (const auto &e : entries) {
    put(e[0], 2);
    put(e[1], 2);
    put(e[2], 4);
    put(e[3], 4);
  }
  put(next, 4);
  return f + data;
}

// 8 x 2 grey, one strip at `data_at` of `count` bytes with compression c.
std::string GreyFile(uint32_t c, uint32_t count, const std::string &data, uint32_t bits = 8) {
  const uint32_t at = 8 + 2 + 9 * 12 + 4;
  return HandMade({{256, 3, 1, 8},
                   {257, 3, 1, 2},
                   {258, 3, 1, bits},
                   {259, 3, 1, c},
                   {262, 3, 1, 1},
                   {273, 4, 1, at},
                   {277, 3, 1, 1},
                   {278, 3, 1, 2},
                   {279, 4, 1, count}},
                  data);
}

// n little-endian 16-bit values, all 0 but entry `one`, which is v.
std::string Shorts(int n, int one, int v) {
  std::string s(2 * static_cast<size_t>(n), '\0');
  s[2 * one] = static_cast<char>(v);
  return s;
}

struct BadCase {
  const char *what;
  std::string file;
  ReturnTp code;  // expected from the header or the first lines
};

TEST(TiffHostile, EachFailsWithItsCode) {
  TempDir dir;
  const std::string sixteen(16, '\x40');
  // An LZW strip that starts with code 300, a string not yet made (read
  // as the older form, least significant bit first, as it does not start
  // with today's Clear).
  const std::string no_clear("\x2C\x01\x00\x00", 4);
  std::vector<std::vector<uint32_t>> many;
  for (int i = 0; i < 1001; ++i) many.push_back({256, 3, 1, 8});
  const BadCase cases[] = {
      {"jpeg 2000", GreyFile(34712, 16, sixteen), TIFF_E_COMPRESSION_NAMED},
      {"unknown compression", GreyFile(40000, 16, sixteen), TIFF_E_COMPRESSION_NAMED},
      {"lzw starting with an unmade code", GreyFile(5, 4, no_clear), TIFF_E_INVALID},
      {"3 bits", GreyFile(1, 16, sixteen, 3), IFD_E_TIFF_BITS},
      {"absurd bits", GreyFile(1, 16, sixteen, 60000), IFD_E_TIFF_BITS},
      {"1001 entries", HandMade(many, ""), IFF_I_NO_MORE_PAGES},
      {"no width", HandMade({{257, 3, 1, 2}, {273, 4, 1, 8}}, ""), IFF_I_NO_MORE_PAGES},
      {"first offset 0", std::string("MM\0*\0\0\0\0", 8) + sixteen, TIFF_E_INVALID},
      // Two strips promised, one offset given.
      {"too few offsets",
       HandMade({{256, 3, 1, 8},
                 {257, 3, 1, 4},
                 {258, 3, 1, 8},
                 {273, 4, 1, 8},
                 {278, 3, 1, 2},
                 {279, 4, 1, 16}},
                sixteen),
       TIFF_E_INVALID},
      // Two strips without byte counts.
      {"no counts",
       HandMade({{256, 3, 1, 8}, {257, 3, 1, 2}, {273, 4, 2, 8}, {278, 3, 1, 1}}, sixteen),
       TIFF_E_INVALID},
      // An array far beyond the end of the file.
      {"offsets beyond the file",
       HandMade({{256, 3, 1, 8}, {257, 3, 1, 4}, {273, 4, 0x40000000, 64}, {278, 3, 1, 1}}, ""),
       TIFF_E_INVALID},
      {"planar colour",
       HandMade({{256, 3, 1, 8},
                 {257, 3, 1, 2},
                 {258, 3, 1, 8},
                 {262, 3, 1, 2},
                 {273, 4, 1, 8},
                 {277, 3, 1, 3},
                 {284, 3, 1, 2},
                 {279, 4, 1, 48}},
                ""),
       TIFF_E_INVALID},
      // Unknown types carry no value: the width is missing.
      {"unknown type", HandMade({{256, 11, 1, 8}, {257, 3, 1, 2}, {273, 4, 1, 8}}, ""),
       IFF_I_NO_MORE_PAGES},
  };
  for (const BadCase &c : cases) {
    WriteFile(dir.file("bad.tif"), c.file);
    RgbImage image = ReadRgb(dir.file("bad.tif"));
    EXPECT_EQ(image.rc, c.code & ~CMN_REPORTED) << c.what;
  }
}

// Directories that loop, absurd counts and types, strips past the end:
// read to the end or stopped, never hung.
TEST(TiffHostile, BoundedWhereTheFileLies) {
  TempDir dir;
  const std::string sixteen(16, '\x40');
  // The first directory names itself as the next: one page.
  WriteFile(
      dir.file("loop.tif"),
      HandMade({{256, 3, 1, 8}, {257, 3, 1, 2}, {258, 3, 1, 8}, {273, 4, 1, 74}, {279, 4, 1, 16}},
               sixteen, 8));
  IffFileSpecTp spec = {nullptr, nullptr, 0};
  const std::string loop = dir.file("loop.tif");
  spec.name = loop.c_str();
  IffControlBlockTp *cb = nullptr;
  IffParamTp h = {};
  ASSERT_EQ(IffInit(nullptr, &cb, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, nullptr),
            0u);
  ASSERT_EQ(IffRdHead(cb, 0, nullptr, &h), 0u);
  EXPECT_EQ(h.page_count, 1);
  IffTerm(&cb);
}

// Palettes whose values are all below 256 are 8-bit colours already.
// A little-endian file of one directory whose entries (tag, type,
// values; rationals as pairs) may hold more than four bytes; the strip
// and tile offsets (tags 273, 324) are given from the start of `data`.
struct Entry {
  uint16_t tag, type;
  std::vector<uint32_t> values;
};
std::string TiffOf(std::vector<Entry> entries, const std::string &data) {
  std::sort(entries.begin(), entries.end(),
            [](const Entry &a, const Entry &b) { return a.tag < b.tag; });
  std::string head("II*\0\x08\0\0\0", 8), tail;
  auto put = [](std::string &f, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) f += static_cast<char>(v >> (8 * i));
  };
  const uint32_t values_at = static_cast<uint32_t>(8 + 2 + 12 * entries.size() + 4);
  uint32_t data_at = values_at;
  for (const Entry &e : entries)
    if (e.values.size() * (e.type == 3 ? 2 : 4) > 4) data_at += 4 * e.values.size();
  put(head, static_cast<uint32_t>(entries.size()), 2);
  for (const Entry &e : entries) {
    std::string bytes;
    for (uint32_t v : e.values)
      put(bytes, e.tag == 273 || e.tag == 324 ? v + data_at : v, e.type == 3 ? 2 : 4);
    put(head, e.tag, 2);
    put(head, e.type, 2);
    put(head, static_cast<uint32_t>(e.type == 5 ? e.values.size() / 2 : e.values.size()), 4);
    if (bytes.size() <= 4) {
      head += bytes + std::string(4 - bytes.size(), '\0');
    } else {
      put(head, values_at + static_cast<uint32_t>(tail.size()), 4);
      tail += bytes + std::string(4 * e.values.size() - bytes.size(), '\0');
    }
  }
  put(head, 0, 4);
  return head + tail + data;
}

// LZW of a TIFF strip at its plainest: 9-bit codes, each byte a code of
// its own, a Clear code before the table would need wider codes.
std::string LzwOf(const std::string &in) {
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  auto code = [&](uint32_t c) {
    acc = acc << 9 | c;
    for (bits += 9; bits >= 8; bits -= 8) out += static_cast<char>(acc >> (bits - 8));
  };
  for (size_t i = 0; i < in.size(); ++i) {
    if (i % 200 == 0) code(256);
    code(static_cast<uint8_t>(in[i]));
  }
  code(257);
  if (bits) out += static_cast<char>(acc << (8 - bits));
  return out;
}

// YCbCr in blocks of h x v luma samples with their chroma, uncompressed,
// LZW and Deflate, in strips of several block rows and in tiles, with the
// reference black and white and the coefficients of their tags, as
// tiff2rgba converts them (tiffcp copies no such file, so they are made
// here). The picture's size is no multiple of the blocks or the tiles.
// Blocks of 4 x 4 are compared with the same data in strips: libtiff's
// own reading of them is off at the picture's edges.
TEST(TiffYCbCr, EverySubsamplingAsLibtiff) {
  TempDir dir;
  Shell("cd " + dir.path() +
        " && pgmramp -lr 97 61 > r.pgm && pgmnoise 97 61 > n.pgm 2>/dev/null"
        " && pgmramp -tb 97 61 > t.pgm && rgb3toppm r.pgm n.pgm t.pgm > c.ppm");
  const RgbImage c = NetpbmRgb("cat " + dir.file("c.ppm"));
  const uint32_t w = 97, h = 61;
  const struct {
    uint32_t bh, bv, rows, compression;
    std::vector<uint32_t> reference, coefficients;
    uint32_t tile_width = 0;  // tiles of tile_width x rows; 0: strips of `rows`
  } cases[] = {
      {1, 1, 61, 1, {}, {}},
      {2, 1, 61, 1, {}, {}},
      {2, 2, 61, 1, {}, {}},
      {4, 2, 61, 1, {}, {}},
      {4, 1, 61, 1, {}, {}},
      {2, 2, 8, 8, {}, {}},
      {4, 2, 6, 8, {}, {}},
      {2, 2, 61, 1, {16, 1, 235, 1, 128, 1, 240, 1, 128, 1, 240, 1}, {}},
      {2, 1, 10, 8, {}, {2126, 10000, 7152, 10000, 722, 10000}},
      {2, 2, 16, 1, {}, {}, 32},
      {2, 1, 32, 5, {}, {}, 16},
      {4, 2, 16, 8, {}, {}, 48},
      {4, 1, 16, 5, {16, 1, 235, 1, 128, 1, 240, 1, 128, 1, 240, 1}, {}, 16},
      {1, 1, 16, 8, {}, {}, 16},
      {4, 4, 8, 1, {}, {}},
      {4, 4, 32, 5, {}, {}, 32},
  };
  const std::string strips_of_4x4 = dir.file("s44.tif");
  for (const auto &k : cases) {
    const bool tiled = k.tile_width > 0;
    const std::string what = std::to_string(k.bh) + "x" + std::to_string(k.bv) + " rows " +
                             std::to_string(k.rows) + " compression " +
                             std::to_string(k.compression) + " tile width " +
                             std::to_string(k.tile_width);
    // Each strip or tile its block rows: luma of the block, then its mean
    // chroma; a tile's blocks beyond the picture repeat its edge.
    std::string data;
    std::vector<uint32_t> offsets, counts;
    for (uint32_t top = 0; top < h; top += k.rows)
      for (uint32_t left = 0; left < w; left += tiled ? k.tile_width : w) {
        std::string piece;
        const uint32_t bottom = tiled ? top + k.rows : std::min(h, top + k.rows);
        const uint32_t right = tiled ? left + k.tile_width : w;
        for (uint32_t by = top; by < bottom; by += k.bv)
          for (uint32_t bx = left; bx < right; bx += k.bh) {
            double cb = 0, cr = 0;
            for (uint32_t dy = 0; dy < k.bv; ++dy)
              for (uint32_t dx = 0; dx < k.bh; ++dx) {
                const size_t at = 3 * (std::min(by + dy, h - 1) * w + std::min(bx + dx, w - 1));
                const double r = c.rgb[at], g = c.rgb[at + 1], b = c.rgb[at + 2];
                const double y = 0.299 * r + 0.587 * g + 0.114 * b;
                piece += static_cast<char>(std::lround(y));
                cb += (b - y) / 1.772 + 128;
                cr += (r - y) / 1.402 + 128;
              }
            piece += static_cast<char>(std::lround(cb / (k.bh * k.bv)));
            piece += static_cast<char>(std::lround(cr / (k.bh * k.bv)));
          }
        if (k.compression == 5) piece = LzwOf(piece);
        if (k.compression == 8) {
          std::string z(compressBound(piece.size()), '\0');
          uLongf n = z.size();
          compress(reinterpret_cast<Bytef *>(&z[0]), &n,
                   reinterpret_cast<const Bytef *>(piece.data()), piece.size());
          piece = z.substr(0, n);
        }
        offsets.push_back(static_cast<uint32_t>(data.size()));
        counts.push_back(static_cast<uint32_t>(piece.size()));
        data += piece;
      }
    std::vector<Entry> e = {
        {256, 3, {w}}, {257, 3, {h}}, {258, 3, {8, 8, 8}},   {259, 3, {k.compression}},
        {262, 3, {6}}, {277, 3, {3}}, {530, 3, {k.bh, k.bv}}};
    if (tiled)
      e.insert(e.end(),
               {{322, 3, {k.tile_width}}, {323, 3, {k.rows}}, {324, 4, offsets}, {325, 4, counts}});
    else
      e.insert(e.end(), {{273, 4, offsets}, {278, 3, {k.rows}}, {279, 4, counts}});
    if (!k.reference.empty()) e.push_back({532, 5, k.reference});
    if (!k.coefficients.empty()) e.push_back({529, 5, k.coefficients});
    const std::string file = k.bh == 4 && k.bv == 4 && !tiled ? strips_of_4x4 : dir.file("y.tif");
    WriteFile(file, TiffOf(e, data));
    RgbImage ours = ReadRgb(file);
    ASSERT_EQ(ours.rc, 0u) << what << ": " << CmnErrorText(ours.rc, nullptr, nullptr);
    if (k.bh == 4 && k.bv == 4) {
      if (tiled) {
        EXPECT_TRUE(ours.rgb == ReadRgb(strips_of_4x4).rgb) << what;
      }
      continue;
    }
    EXPECT_TRUE(ours.rgb == NetpbmRgb("tiff2rgba -c none " + file + " " + dir.file("rgba.tif") +
                                      " && tifftopnm " + dir.file("rgba.tif") + " 2>/dev/null")
                                .rgb)
        << what;
  }
}

// LZW as TIFF 5.0 writers made it: codes least significant bit first,
// the width growing when the table reaches its size, a Clear before it
// fills. `first_clear` false leaves out the opening Clear.
std::string OldStyleLzwOf(const std::string &in, bool first_clear) {
  std::string out;
  uint64_t acc = 0;
  int bits = 0, width = 9, next = 258, codes = 0;
  auto put = [&](int code) {
    acc |= static_cast<uint64_t>(code) << bits;
    for (bits += width; bits >= 8; bits -= 8, acc >>= 8) out += static_cast<char>(acc & 0xFF);
    // A reader makes its entry from the second code after a Clear on.
    if (code == 256) {
      width = 9;
      codes = 0;
      return;
    }
    if (++codes >= 2 && ++next == 1 << width && width < 12) ++width;
  };
  std::map<std::pair<int, int>, int> table;
  auto clear = [&] {
    put(256);
    table.clear();
    next = 258;
  };
  if (first_clear) clear();
  int entry = -1, made = 258;
  for (unsigned char c : in) {
    if (entry < 0) {
      entry = c;
      continue;
    }
    auto it = table.find({entry, c});
    if (it != table.end()) {
      entry = it->second;
      continue;
    }
    put(entry);
    table[{entry, c}] = made++;
    entry = c;
    if (made == 4093) {
      put(entry);
      clear();
      made = 258;
      entry = -1;
    }
  }
  if (entry >= 0) put(entry);
  put(257);
  if (bits) out += static_cast<char>(acc & 0xFF);
  return out;
}

// Old-style LZW, with and without its opening Clear, its codes reaching
// 12 bits and the table cleared again and again; libtiff reads the first.
TEST(TiffLzw, OldStyleAsLibtiffReadsIt) {
  TempDir dir;
  Shell("cd " + dir.path() + " && pgmramp -lr 300 200 > r.pgm && pgmnoise 300 200 > n.pgm " +
        "2>/dev/null && pnmcat -tb r.pgm n.pgm r.pgm > g.pgm");
  const RgbImage grey = NetpbmRgb("cat " + dir.file("g.pgm"));
  std::string samples;
  for (size_t i = 0; i < grey.rgb.size(); i += 3) samples += static_cast<char>(grey.rgb[i]);
  for (bool first_clear : {true, false}) {
    const std::string data = OldStyleLzwOf(samples, first_clear);
    WriteFile(dir.file("o.tif"), TiffOf({{256, 3, {300}},
                                         {257, 3, {600}},
                                         {258, 3, {8}},
                                         {259, 3, {5}},
                                         {262, 3, {1}},
                                         {273, 4, {0}},
                                         {277, 3, {1}},
                                         {278, 3, {600}},
                                         {279, 4, {static_cast<uint32_t>(data.size())}}},
                                        data));
    const RgbImage ours = ReadRgb(dir.file("o.tif"));
    ASSERT_EQ(ours.rc, 0u) << first_clear << ": " << CmnErrorText(ours.rc, nullptr, nullptr);
    EXPECT_TRUE(ours.rgb == grey.rgb) << first_clear;
    if (first_clear) {
      EXPECT_TRUE(NetpbmRgb("tifftopnm " + dir.file("o.tif") + " 2>/dev/null").rgb == grey.rgb);
    }
  }
}

// Codes packed as a TIFF LZW reader takes them: today's form most
// significant bit first, the width growing one code before the table
// reaches its size; the older form least significant bit first, growing
// at the size. Back to 9 bits at each Clear.
std::string PackLzw(const std::vector<int> &codes, bool old_form) {
  std::string out;
  uint64_t acc = 0;
  int bits = 0, width = 9, next = 258;
  bool first = true;
  const int early = old_form ? 0 : 1;
  for (int c : codes) {
    if (old_form) {
      acc |= static_cast<uint64_t>(c) << bits;
      for (bits += width; bits >= 8; bits -= 8, acc >>= 8) out += static_cast<char>(acc & 0xFF);
    } else {
      acc = acc << width | static_cast<uint64_t>(c);
      for (bits += width; bits >= 8;) out += static_cast<char>(acc >> (bits -= 8));
    }
    if (c == 256) {
      width = 9;
      next = 258;
      first = true;
      continue;
    }
    if (first) {
      first = false;  // the first code after a Clear makes no entry
      continue;
    }
    ++next;
    if (next == 512 - early)
      width = 10;
    else if (next == 1024 - early)
      width = 11;
    else if (next == 2048 - early)
      width = 12;
  }
  if (bits) out += static_cast<char>(old_form ? acc & 0xFF : acc << (8 - bits));
  return out;
}

// Both forms, in one strip of 40 x 120 grey bytes: codes that reach 12
// bits between Clears, and damaged data. A code beyond the table, or one
// after a Clear that is no literal, fails its row with TIFF_E_INVALID after
// the rows before it; a table that fills without a Clear ends the data,
// the rest zeros.
TEST(TiffLzw, WidthsClearsAndDamageInBothForms) {
  TempDir dir;
  constexpr int kWidth = 40, kHeight = 120;
  std::vector<int> samples;
  for (int i = 0; i < kWidth * kHeight; ++i) samples.push_back((i * 7 + i / kWidth) & 0xFF);
  // Literals from `from` to `to`, each a code of its own.
  auto literals = [&](std::vector<int> codes, int from, int to) {
    codes.insert(codes.end(), samples.begin() + from, samples.begin() + to);
    return codes;
  };
  const int n = kWidth * kHeight;
  std::vector<int> whole = literals(literals({256}, 0, 3000), 3000, n);
  whole.insert(whole.begin() + 3001, 256);  // 3000 codes reach 12 bits; then a Clear
  whole.push_back(257);
  std::vector<int> beyond = literals({256}, 0, 200);
  beyond.push_back(500);  // the table ends at 457
  std::vector<int> not_literal = literals({256}, 0, 80);
  not_literal.insert(not_literal.end(), {256, 300});
  std::vector<int> full = literals({256}, 0, 4000);
  full.push_back(257);
  struct Case {
    const char *what;
    const std::vector<int> &codes;
    ReturnTp rc;
    int good;  // leading samples read; the rest zeros, or rows not read after a failure
  } const cases[] = {
      {"12 bits and a Clear", whole, 0, n},
      {"a code beyond the table", beyond, TIFF_E_INVALID, 200},
      {"no literal after a Clear", not_literal, TIFF_E_INVALID, 80},
      {"a full table without a Clear", full, 0, 4096 - 258 + 1},
  };
  for (bool old_form : {false, true})
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(c.what) + (old_form ? ", older form" : ""));
      const std::string data = PackLzw(c.codes, old_form);
      WriteFile(dir.file("l.tif"), TiffOf({{256, 3, {kWidth}},
                                           {257, 3, {kHeight}},
                                           {258, 3, {8}},
                                           {259, 3, {5}},
                                           {262, 3, {1}},
                                           {273, 4, {0}},
                                           {277, 3, {1}},
                                           {278, 3, {kHeight}},
                                           {279, 4, {static_cast<uint32_t>(data.size())}}},
                                          data));
      CmnFilterOn(CMN_SEV_WARNING | CMN_SEV_ERROR | CMN_SEV_INTERNAL);
      const RgbImage image = ReadRgb(dir.file("l.tif"));
      CmnFilterOff(CMN_SEV_WARNING | CMN_SEV_ERROR | CMN_SEV_INTERNAL);
      EXPECT_EQ(image.rc, c.rc & ~CMN_REPORTED);
      Bytes want;
      for (int i = 0; i < (c.rc ? c.good : n); ++i)
        want.insert(want.end(), 3, static_cast<unsigned char>(i < c.good ? samples[i] : 0));
      EXPECT_TRUE(image.rgb == want);
      if (!c.rc && c.good == n) {
        EXPECT_TRUE(NetpbmRgb("tifftopnm " + dir.file("l.tif") + " 2>/dev/null").rgb == want);
      }
    }
}

// Floating point that is not a number is black, infinities take their
// end of the range measured from the finite values.
TEST(TiffWideSamples, NotANumberAndInfinities) {
  TempDir dir;
  const float values[] = {NAN, -INFINITY, 1.0f, 3.0f, INFINITY, 2.0f};
  std::string data(reinterpret_cast<const char *>(values), sizeof values);
  WriteFile(dir.file("f.tif"), TiffOf({{256, 3, {6}},
                                       {257, 3, {1}},
                                       {258, 3, {32}},
                                       {262, 3, {1}},
                                       {273, 4, {0}},
                                       {277, 3, {1}},
                                       {279, 4, {24}},
                                       {339, 3, {3}}},
                                      data));
  RgbImage ours = ReadRgb(dir.file("f.tif"));
  ASSERT_EQ(ours.rc, 0u);
  const std::vector<int> grey = {0, 0, 0, 255, 255, 128};
  for (size_t x = 0; x < grey.size(); ++x) EXPECT_EQ(ours.rgb[3 * x], grey[x]) << x;
}

TEST(TiffColourMap, EightBitValuesKept) {
  TempDir dir;
  const std::string data(2, '\x01'),
      map = Shorts(256, 1, 10) + Shorts(256, 1, 20) + Shorts(256, 1, 30);
  const uint32_t at = 8 + 2 + 9 * 12 + 4;
  WriteFile(dir.file("p.tif"), HandMade({{256, 3, 1, 2},
                                         {257, 3, 1, 1},
                                         {258, 3, 1, 8},
                                         {262, 3, 1, 3},
                                         {273, 4, 1, at + 1536},
                                         {277, 3, 1, 1},
                                         {278, 3, 1, 1},
                                         {279, 4, 1, 2},
                                         {320, 3, 768, at}},
                                        map + data));
  RgbImage image = ReadRgb(dir.file("p.tif"));
  ASSERT_EQ(image.rc, 0u);
  EXPECT_EQ(image.rgb, (Bytes{10, 20, 30, 10, 20, 30}));
}

// Hand-made data for the decoding rules: the LZW string that is being
// made (KwKwK), PackBits' no-op header, a response curve in hundredths,
// a byte count of 0 (a white strip), 2^32 - 1 over LZW data that end, and
// a single uncompressed strip of 120000 bytes without byte counts.
TEST(TiffDecoding, HandMadeStrips) {
  TempDir dir;
  struct Case {
    const char *what;
    std::string file;
    Bytes grey;  // the 16 pixels expected
  };
  // Clear, 'A', 258 (= "AA", the entry being made), 258, 259, 'B' x 4, end.
  auto codes9 = [](const std::vector<int> &codes) {
    std::string out;
    uint32_t acc = 0;
    int n = 0;
    for (int c : codes) {
      acc = acc << 9 | static_cast<uint32_t>(c);
      n += 9;
      while (n >= 8) out += static_cast<char>(acc >> (n -= 8));
    }
    if (n) out += static_cast<char>(acc << (8 - n));
    return out;
  };
  const std::string kwk = codes9({256, 65, 258, 258, 259, 66, 66, 66, 66, 257});
  const std::string pack("\x80\x01\x0a\x14\xf3\x1e", 6);  // nop, 2 literal, 14 x 30
  auto zip = [](const std::string &data) {
    uLongf n = compressBound(data.size());
    std::string out(n, '\0');
    compress(reinterpret_cast<Bytef *>(&out[0]), &n, reinterpret_cast<const Bytef *>(data.data()),
             data.size());
    out.resize(n);
    return out;
  };
  std::string ramp;
  for (int i = 1; i <= 40; ++i) ramp += static_cast<char>(i);
  const std::string zipped = zip(ramp), zip_cut = zipped.substr(0, 8);
  const Bytes ramp_grey(ramp.begin(), ramp.begin() + 16);
  Bytes kwk_grey(8, 65);  // A, AA, AA, AAA
  kwk_grey.insert(kwk_grey.end(), 4, 66);
  kwk_grey.insert(kwk_grey.end(), 4, 0);  // the data end early: zeros
  Bytes pack_grey{10, 20};
  pack_grey.insert(pack_grey.end(), 14, 30);
  const Case cases[] = {
      {"kwkwk", GreyFile(5, static_cast<uint32_t>(kwk.size()), kwk), kwk_grey},
      {"packbits", GreyFile(32773, 6, pack), pack_grey},
      {"byte count 0", GreyFile(5, 0, ""), Bytes(16, 255)},
      {"lzw cut", GreyFile(5, 0xFFFFFFFF, std::string("\x80\x00\x00", 3)), Bytes(16, 0)},
      // Deflate: 40 bytes for a strip of 16, and the same stream cut short
      // (what came before the cut stays, zeros after it).
      {"deflate past the strip", GreyFile(8, static_cast<uint32_t>(zipped.size()), zipped),
       ramp_grey},
      {"deflate cut", GreyFile(32946, static_cast<uint32_t>(zip_cut.size()), zip_cut), Bytes()},
      {"deflate garbage", GreyFile(8, 16, std::string(16, '\x40')), Bytes(16, 0)},
  };
  for (const Case &c : cases) {
    WriteFile(dir.file("h.tif"), c.file);
    RgbImage image = ReadRgb(dir.file("h.tif"));
    ASSERT_EQ(image.rc, 0u) << c.what;
    Bytes grey;
    for (size_t i = 0; i < image.rgb.size(); i += 3) grey.push_back(image.rgb[i]);
    if (!c.grey.empty()) {
      EXPECT_EQ(grey, c.grey) << c.what;
    } else {
      // Cut data: some leading bytes come through, the rest are zeros.
      ASSERT_EQ(grey.size(), 16u) << c.what;
      EXPECT_EQ(grey.back(), 0) << c.what;
      for (size_t i = 0; i < 16 && grey[i]; ++i) EXPECT_EQ(grey[i], i + 1) << c.what;
    }
  }
  // GrayResponseCurve in hundredths of density: 0 is white, 1.00 a tenth.
  const std::string curve = Shorts(256, 1, 100);
  const uint32_t at = 8 + 2 + 10 * 12 + 4;
  WriteFile(dir.file("g.tif"), HandMade({{256, 3, 1, 2},
                                         {257, 3, 1, 1},
                                         {258, 3, 1, 8},
                                         {262, 3, 1, 1},
                                         {273, 4, 1, at + 512},
                                         {277, 3, 1, 1},
                                         {278, 3, 1, 1},
                                         {279, 4, 1, 2},
                                         {290, 3, 1, 2},
                                         {291, 3, 256, at}},
                                        curve + std::string("\0\x01", 2)));
  EXPECT_EQ(ReadRgb(dir.file("g.tif")).rgb, (Bytes{255, 255, 255, 25, 25, 25}));
  // One strip, no byte counts: read row by row all the same.
  std::string raw;
  for (int i = 0; i < 400 * 300; ++i) raw += static_cast<char>(i * 7 / 400);
  WriteFile(dir.file("r.tif"), HandMade({{256, 3, 1, 400},
                                         {257, 3, 1, 300},
                                         {258, 3, 1, 8},
                                         {262, 3, 1, 1},
                                         {273, 4, 1, 8 + 2 + 5 * 12 + 4}},
                                        raw));
  RgbImage big = ReadRgb(dir.file("r.tif"));
  ASSERT_EQ(big.rc, 0u);
  ASSERT_EQ(big.rgb.size(), 3 * raw.size());
  for (size_t i = 0; i < raw.size(); i += 997)
    EXPECT_EQ(big.rgb[3 * i], static_cast<unsigned char>(raw[i])) << i;
}

// Our files open in libtiff unchanged, directory in tag order, for every
// compression; the fax ones hold black and white.
TEST(TiffWriter, EveryCompressionOpensInLibtiff) {
  TempDir dir;
  Shell("cd " + dir.path() +
        " && pgmramp -lr 101 37 > r.pgm && pgmnoise 101 37 > n.pgm 2>/dev/null"
        " && rgb3toppm r.pgm n.pgm r.pgm > c.ppm && ppmtopgm c.ppm > g.pgm"
        " && pamthreshold -simple g.pgm | pamtopnm > b.pbm && pgmnoise 300 300 > noise.pgm "
        "2>/dev/null");
  const char *compressions[] = {"none", "lzw", "packbits", "g3", "g4", "mh", "deflate"};
  // Each file classic, then BigTIFF as a file that would pass 4 GB is
  // written, forced by a limit of 100 bytes.
  for (const bool big : {false, true})
    for (const char *c : compressions) {
      const bool fax = c[0] == 'g' || c[0] == 'm';
      // Noise fills the LZW table again and again.
      for (const char *in : {"c.ppm", "g.pgm", "b.pbm", "noise.pgm"}) {
        if (big) setenv("PV_TIFF_BIG_ABOVE", "100", 1);
        const std::string out = dir.file("w.tif");
        RunResult r = RunProgram({PV_PVCONVERT, "-compression", c, dir.file(in), out});
        ASSERT_EQ(r.status, 0) << c << " " << in << ": " << r.err;
        RunResult info = RunProgram({"tiffinfo", "-D", out});
        EXPECT_EQ(info.status, 0) << c << " " << in;
        EXPECT_EQ(info.err, "") << c << " " << in;
        // libtiff sees what we see; a bitmap comes back as it went in.
        RgbImage theirs = NetpbmRgb("tifftopnm " + out + " 2>/dev/null");
        EXPECT_TRUE(ReadRgb(out).rgb == theirs.rgb) << c << " " << in;
        if (!fax || std::string(in) == "b.pbm") {
          EXPECT_TRUE(theirs.rgb == NetpbmRgb("cat " + dir.file(in)).rgb) << c << " " << in;
        }
        // Tags in increasing order.
        const std::string dump = Shell("tiffdump " + out +
                                       " | grep -o '^[A-Za-z0-9]* ([0-9]*)' | "
                                       "grep -o '[0-9]*)' | tr -d ')' | sort -n -c && echo sorted");
        EXPECT_NE(dump.find("sorted"), std::string::npos) << c << " " << in;
        // Standard output cannot seek: the same bytes come out all the same.
        RunResult piped =
            RunProgram({PV_PVCONVERT, "-type", "tif", "-compression", c, dir.file(in), ""});
        unsetenv("PV_TIFF_BIG_ABOVE");
        EXPECT_TRUE(piped.out == ReadFile(out)) << c << " " << in;
        EXPECT_EQ(ReadFile(out)[2], big ? 43 : 42) << c << " " << in;
      }
    }
  // Pages of a BigTIFF file, linked by 8-byte offsets.
  Shell("cd " + dir.path() + " && pnmtotiff c.ppm > c.tif 2>/dev/null && pnmtotiff g.pgm > " +
        "g.tif 2>/dev/null && tiffcp c.tif g.tif c.tif three.tif");
  setenv("PV_TIFF_BIG_ABOVE", "100", 1);
  RunResult r = RunProgram({PV_PVCONVERT, "-pageno", "all", "-compression", "deflate",
                            dir.file("three.tif"), dir.file("big.tif")});
  unsetenv("PV_TIFF_BIG_ABOVE");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir.file("big.tif"))[2], 43);
  for (int page = 0; page < 3; ++page)
    EXPECT_TRUE(NetpbmRgb("tiffcp -c none " + dir.file("big.tif") + "," + std::to_string(page) +
                          " " + dir.file("p.tif") + " && tifftopnm " + dir.file("p.tif") +
                          " 2>/dev/null")
                    .rgb == NetpbmRgb("cat " + dir.file(page == 1 ? "g.pgm" : "c.ppm")).rgb)
        << page;
  // A limit that is not a plain positive number is ignored.
  for (const char *stray : {"0", "-1", "100x", "", " 100"}) {
    setenv("PV_TIFF_BIG_ABOVE", stray, 1);
    r = RunProgram({PV_PVCONVERT, dir.file("g.pgm"), dir.file("small.tif")});
    unsetenv("PV_TIFF_BIG_ABOVE");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(dir.file("small.tif"))[2], 42) << "[" << stray << "]";
  }
}

}  // namespace

namespace {

// Orientation and resolution written come back as they went in: every
// turn and mirror, and a resolution of 300.5 dots per inch.
TEST(TiffWriter, OrientationAndResolutionComeBack) {
  TempDir dir;
  const std::string path = dir.file("o.tif");
  IffFileSpecTp spec = {path.c_str(), nullptr, 0};
  const uint64_t compression[3] = {1, 0, 0};
  const Bytes line(3 * 5, 90);
  for (int mirrored = 0; mirrored < 2; ++mirrored)
    for (int orientation = 0; orientation < 4; ++orientation) {
      IffControlBlockTp *out = nullptr;
      ASSERT_EQ(
          IffInit(nullptr, &out, IFF_SRV_EXPORT, &spec, IFF_TYPE_TIFF, IFF_MIN_VERIFY, nullptr),
          0u);
      out->x_resolution = out->y_resolution = 300.5;
      ASSERT_EQ(IffWtHead(out, 5, 2, 1, 1, 0, IFF_CM_RGB, 0, 8, compression, orientation, mirrored,
                          0, nullptr),
                0u);
      for (int32_t y = 0; y < 2; ++y)
        ASSERT_EQ(IffWtScan(out, y, const_cast<unsigned char *>(line.data())), 0u);
      ASSERT_EQ(IffTerm(&out), 0u);
      const IffParamTp h = ReadRgb(path).header;
      EXPECT_EQ(h.orientation, orientation);
      EXPECT_EQ(h.mirrored, mirrored);
      EXPECT_DOUBLE_EQ(h.x_resolution, 300.5);
      EXPECT_EQ(h.aspect_x, h.aspect_y);
    }
}

}  // namespace

namespace {

// Every compression code a writer can be handed: the TIFF writer either
// writes it, and the file reads back named as the compression it holds, or
// refuses it. New-style JPEG is named baseline whatever its coding.
TEST(TiffWriter, EachRequestCodeWrittenAsItsCompressionOrRefused) {
  TempDir dir;
  const std::string path = dir.file("c.tif");
  IffFileSpecTp spec = {path.c_str(), nullptr, 0};
  const std::map<uint64_t, int32_t> read_back = {
      {IFF_COMP_NONE, IFF_COMP_NONE},
      {IFF_COMP_LZW, IFF_COMP_LZW},
      {IFF_COMP_RLE, IFF_COMP_PACKBITS},
      {IFF_COMP_PACKBITS, IFF_COMP_PACKBITS},
      {IFF_COMP_JPEG_LOSSLESS, IFF_COMP_JPEG_BASELINE},
      {IFF_COMP_JPEG_BASELINE, IFF_COMP_JPEG_BASELINE},
      {IFF_COMP_G3, IFF_COMP_G3},
      {IFF_COMP_G4, IFF_COMP_G4},
      {IFF_COMP_G3_TIFF, IFF_COMP_G3_TIFF},
      {IFF_COMP_DEFLATE, IFF_COMP_DEFLATE},
  };
  Bytes line(16);
  for (size_t x = 0; x < line.size(); ++x) line[x] = static_cast<unsigned char>(x * 16);
  for (uint64_t code = 0; code <= IFF_COMP_DEFLATE; ++code) {
    const uint64_t compression[3] = {code, 10, 0};  // a JPEG coding needs a quality
    IffControlBlockTp *out = nullptr;
    ASSERT_EQ(IffInit(nullptr, &out, IFF_SRV_EXPORT, &spec, IFF_TYPE_TIFF, IFF_MIN_VERIFY, nullptr),
              0u);
    ReturnTp rc = IffWtHead(out, 16, 3, 1, 1, 0, IFF_CM_GRAY, 0, 8, compression, 0, 0, 0, nullptr);
    for (int32_t y = 0; y < 3 && !rc; ++y) rc = IffWtScan(out, y, line.data());
    const ReturnTp term = IffTerm(&out);
    const auto written = read_back.find(code);
    if (written == read_back.end()) {
      EXPECT_NE(rc, 0u) << code;
      continue;
    }
    ASSERT_EQ(rc | term, 0u) << code;
    FXICompression = -1;
    EXPECT_EQ(ReadRgb(path).rc, 0u) << code;
    EXPECT_EQ(FXICompression, written->second) << code;
  }
}

}  // namespace
