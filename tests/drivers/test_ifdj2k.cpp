// The JPEG 2000 reader through the image file interface: files made by
// opj_compress read as opj_decompress reads them, the header reports the
// sizes of the resolution levels and the kind of coding, and pictures the
// driver cannot deliver are refused.
#include <gtest/gtest.h>

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "rasterio.h"
#include "runprog.h"

namespace {

class IfdJ2k : public ::testing::Test {
 protected:
  TempDir dir_;
};

struct Case {
  const char *name;
  const char *source;  // a netpbm command writing the picture
  const char *ext;
  const char *args;
  int32_t compression;  // 14 reversible, 13 lossy
};

const Case kCases[] = {
    {"RgbJp2", "ppmpat -madras 67 45", "jp2", "", 14},
    {"GreyCodestream", "pgmramp -ellipse 53 31", "j2k", "-n 3", 14},
    {"RgbLossyTiles", "ppmpat -camo 70 51", "jp2", "-I -r 10 -t 32,32 -n 3", 13},
    {"GreyRates", "pgmramp -lr 64 33", "j2k", "-r 30,10", 14},
};

class IfdJ2kRead : public IfdJ2k, public ::testing::WithParamInterface<Case> {};

TEST_P(IfdJ2kRead, AsOpenJpegReadsIt) {
  const Case &c = GetParam();
  const std::string src = dir_.file("src.pnm"), file = dir_.file(std::string("t.") + c.ext);
  const std::string ref = dir_.file(std::string("ref.") + (c.source[1] == 'p' ? "ppm" : "pgm"));
  Shell(std::string(c.source) + " > " + src + " && opj_compress -i " + src + " -o " + file + " " +
        c.args + " >/dev/null");
  FXICompression = 0;
  const RgbImage ours = ReadRgb(file);
  ASSERT_EQ(ours.rc, 0u);
  EXPECT_EQ(ours.type, static_cast<uint32_t>(IFF_TYPE_J2K));
  EXPECT_EQ(FXICompression, c.compression);
  EXPECT_EQ(FXIBitsPerPixel, 24);
  const RgbImage theirs =
      NetpbmRgb("opj_decompress -i " + file + " -o " + ref + " >/dev/null && cat " + ref);
  ASSERT_EQ(ours.width, theirs.width);
  ASSERT_EQ(ours.height, theirs.height);
  ASSERT_EQ(ours.rgb.size(), theirs.rgb.size());
  int worst = 0;
  for (size_t i = 0; i < ours.rgb.size(); ++i)
    worst = std::max(worst, std::abs(ours.rgb[i] - theirs.rgb[i]));
  EXPECT_LE(worst, c.compression == 13 ? 1 : 0);
}

// Cases print as their names (in test listings too).
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Files, IfdJ2kRead, ::testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case> &i) {
                           return std::string(i.param.name);
                         });

// Samples above eight bits come as two bytes a sample; the interface keeps
// their top eight bits, for grey and for colour alike.
TEST_F(IfdJ2k, DeepSamples) {
  for (const char *source : {"pgmramp -lr 37 21", "ppmpat -madras 37 21"})
    for (int bits : {12, 16}) {
      SCOPED_TRACE(std::string(source) + " " + std::to_string(bits));
      const bool grey = source[1] == 'g';
      const std::string src = dir_.file("src.pnm"), file = dir_.file("t.jp2"),
                        ref = dir_.file(grey ? "ref.pgm" : "ref.ppm");
      Shell(std::string(source) + " | pamdepth " + std::to_string((1 << bits) - 1) + " > " + src +
            " && opj_compress -i " + src + " -o " + file + " -n 3 >/dev/null");
      const RgbImage ours = ReadRgb(file);
      ASSERT_EQ(ours.rc, 0u);
      EXPECT_EQ(ours.header.bits_per_sample, bits);
      EXPECT_EQ(ours.header.bytes_per_pixel, grey ? 2 : 6);
      std::istringstream in(Shell("opj_decompress -i " + file + " -o " + ref +
                                  " >/dev/null && pnmtoplainpnm " + ref));
      std::string magic;
      int w = 0, h = 0, maxval = 0, v = 0;
      in >> magic >> w >> h >> maxval;
      ASSERT_EQ(maxval, (1 << bits) - 1);
      Bytes expected;
      while (in >> v)
        expected.insert(expected.end(), grey ? 3 : 1, static_cast<unsigned char>(v >> (bits - 8)));
      EXPECT_EQ(ours.rgb, expected);
    }
}

// The reading layer may pick a resolution level: the header lists the
// full size, then each level's size from the smallest.
TEST_F(IfdJ2k, ResolutionLevelSizes) {
  const std::string src = dir_.file("src.pgm"), file = dir_.file("t.jp2");
  Shell("pgmramp -lr 1000 750 > " + src + " && opj_compress -i " + src + " -o " + file +
        " -n 6 -I -r 200 >/dev/null");
  const RgbImage ours = ReadRgb(file);
  ASSERT_EQ(ours.rc, 0u);
  const std::vector<int32_t> expected = {1000, 750, 32,  24,  63,  47,   125,
                                         94,   250, 188, 500, 375, 1000, 750};
  ASSERT_EQ(ours.header.level_count, 7);
  EXPECT_EQ(std::vector<int32_t>(ours.header.level_sizes, ours.header.level_sizes + 14), expected);
  EXPECT_EQ(FXICompression, 13);
}

TEST_F(IfdJ2k, Refusals) {
  // Four components (an alpha channel) are neither grey nor RGB.
  const std::string rgba = dir_.file("a.png"), four = dir_.file("four.jp2");
  Shell("convert -size 9x7 xc:red -alpha set -channel A -evaluate set 50% " + rgba +
        " && opj_compress -i " + rgba + " -o " + four + " -n 2 >/dev/null");
  ExpectRefused(four, "Bad file header params returned from driver");

  // A codestream whose marker segment runs past the end: the codec's
  // message, under its entry point.
  const std::string src = dir_.file("src.pgm"), cut = dir_.file("cut.j2k");
  Shell("pgmramp -lr 16 16 > " + src + " && opj_compress -i " + src + " -o " + cut +
        " -n 2 >/dev/null && truncate -s 60 " + cut);
  ExpectRefused(cut, "JtkGetMainHeader: ");
}

}  // namespace
