// Bilevel pages in the encodings whose readers hand a row over as its
// packed bits: read the way the raster reads them, line by line as bits,
// they give the pixels their netpbm and libtiff decoders give, and the
// same as when every line is asked for as bytes.
#include <gtest/gtest.h>

#include <string>

#include "rasterio.h"
#include "runprog.h"

namespace {

TEST(BilevelPages, HandedOverAsBitsAsTheirToolsReadThem) {
  TempDir dir;
  const std::string d = dir.path() + "/";
  // A width that leaves padding in every row's last byte, a drawing with
  // runs of both colours, and noise that fills LZW tables over and over.
  Shell("cd " + d +
        "; pgmramp -lr 37 23 | pamditherbw | pamtopnm > ramp.pbm"
        "; pbmtext -builtin fixed 'Packed rows' > text.pbm"
        "; pgmnoise 301 211 2>/dev/null | pamthreshold -simple | pamtopnm > noise.pbm");
  const struct {
    const char *make;    // from the PBM on standard input
    const char *oracle;  // to PNM, the file last
    bool grey;           // a grey page, rather than a palette one
  } kEncodings[] = {
      {"pnmtorast -standard", "rasttopnm", true},
      {"pnmtorast -rle", "rasttopnm", true},
      {"ppmtobmp", "bmptopnm", true},
      {"ppmtopcx", "pcxtoppm", true},
      {"pnmtotiff -lzw", "tifftopnm", true},
      {"pnmtotiff -lzw -rowsperstrip 1", "tifftopnm", true},
      {"pnmtotiff -packbits -miniswhite", "tifftopnm", true},
  };
  for (const char *picture : {"ramp.pbm", "text.pbm", "noise.pbm"})
    for (const auto &e : kEncodings) {
      SCOPED_TRACE(std::string(e.make) + " " + picture);
      const std::string path = d + "page";
      Shell(std::string(e.make) + " < " + d + picture + " > " + path + " 2>/dev/null");
      int32_t packed = 0;
      const RgbImage bits = ReadRgbPacked(path, &packed);
      ASSERT_EQ(bits.rc, 0u);
      EXPECT_EQ(packed, bits.height) << "every row handed over as bits";
      EXPECT_EQ(bits.header.color_model == IFF_CM_GRAY, e.grey);
      const RgbImage bytes = ReadRgb(path);
      EXPECT_TRUE(bits.rgb == bytes.rgb);
      EXPECT_TRUE(bits.rgb == NetpbmRgb(std::string(e.oracle) + " " + path + " 2>/dev/null").rgb);
    }
}

// Sun pages of one bit: a map of two greys makes a grey page, two colours
// stay a palette; either way the rows go as bits, and a cut or damaged
// byte-encoded file reads as it did when its rows went as bytes.
TEST(BilevelPages, SunMapsAndDamagedRuns) {
  TempDir dir;
  const std::string d = dir.path() + "/";
  Shell("cd " + d + "; pbmtext -builtin fixed 'Sun' > t.pbm; pnmtorast -rle < t.pbm > t.ras");
  const std::string made = Shell("cat " + d + "t.ras");
  ASSERT_EQ(made.substr(24, 8), std::string(8, '\0')) << "no map, to put one in";
  const struct {
    unsigned char map[6];  // red 0 and 1, green 0 and 1, blue 0 and 1
    bool grey;
  } kMaps[] = {{{255, 0, 255, 0, 255, 0}, true},
               {{40, 220, 40, 220, 40, 220}, true},
               {{255, 0, 0, 0, 0, 255}, false}};
  for (const auto &m : kMaps) {
    SCOPED_TRACE(testing::PrintToString(Bytes(m.map, m.map + 6)));
    std::string file = made;
    file[27] = 1;  // map type: equal planes of red, green, blue
    file[31] = 6;  // map length
    file.insert(32, reinterpret_cast<const char *>(m.map), 6);
    const std::string path = d + "m.ras";
    WriteFile(path, file);
    int32_t packed = 0;
    const RgbImage bits = ReadRgbPacked(path, &packed);
    ASSERT_EQ(bits.rc, 0u);
    EXPECT_EQ(packed, bits.height);
    EXPECT_EQ(bits.header.color_model == IFF_CM_GRAY, m.grey);
    EXPECT_EQ(bits.header.has_cmap, m.grey ? 0 : 1);
    EXPECT_TRUE(bits.rgb == ReadRgb(path).rgb);
    EXPECT_TRUE(bits.rgb == NetpbmRgb("rasttopnm " + path + " 2>/dev/null").rgb);
  }
  // Cut inside the runs, and runs whose escapes lose their count or value
  // at the end: the rest reads as zeros, as bytes or as bits.
  for (size_t keep : {made.size() - 1, made.size() - 2, made.size() / 2, size_t{33}}) {
    SCOPED_TRACE(keep);
    const std::string path = d + "cut.ras";
    std::string file = made.substr(0, keep);
    if (keep == 33) file += '\x80';
    WriteFile(path, file);
    int32_t packed = 0;
    CmnFilterOn(CMN_SEV_WARNING | CMN_SEV_ERROR);
    const RgbImage bits = ReadRgbPacked(path, &packed);
    const RgbImage bytes = ReadRgb(path);
    CmnFilterOff(CMN_SEV_WARNING | CMN_SEV_ERROR);
    EXPECT_EQ(bits.rc, bytes.rc);
    EXPECT_TRUE(bits.rgb == bytes.rgb);
  }
}

}  // namespace
