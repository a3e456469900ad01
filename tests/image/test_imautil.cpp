// Raster utilities: conversions in place, the pixel rules of composition,
// inversion and gray reduction, rectangle copies, the colour model, and
// the PPM/PGM files against netpbm.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "image.h"
#include "runprog.h"

namespace {

RgbPixelTp Px(int b, int g, int r, int a) {
  return RgbPixelTp{static_cast<uint8_t>(b), static_cast<uint8_t>(g), static_cast<uint8_t>(r),
                    static_cast<uint8_t>(a)};
}

uint32_t Word(const RgbPixelTp &p) {
  uint32_t v;
  memcpy(&v, &p, 4);
  return v;
}

// The samples of a plain PNM as netpbm prints it (pnmtoplainpnm).
std::vector<int> PlainSamples(const std::string &file, int *w, int *h) {
  std::istringstream in(ShellOutput("pnmtoplainpnm " + file));
  std::string magic;
  int maxval;
  in >> magic >> *w >> *h >> maxval;
  std::vector<int> v;
  for (int x; in >> x;) v.push_back(x);
  return v;
}

void Quiet(ReturnTp) {}

TEST(ImaUtil, ConversionsRoundTripInPlace) {
  const int n = 7;
  std::vector<RgbPixelTp> buf(n);
  unsigned char *bytes = reinterpret_cast<unsigned char *>(buf.data());

  // Narrow lines widen to pixels and back within one buffer.
  for (int i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>(i * 40);
  ImgGray2Pix(bytes, buf.data(), n);
  for (int i = 0; i < n; ++i) EXPECT_EQ(Word(buf[i]), 0xFF000000u | (i * 40) * 0x010101u) << i;
  ImgPix2Gray(buf.data(), bytes, n);
  for (int i = 0; i < n; ++i) EXPECT_EQ(bytes[i], i * 40) << i;

  for (int i = 0; i < 3 * n; ++i) bytes[i] = static_cast<unsigned char>(i * 11 + 1);
  const std::vector<unsigned char> triples(bytes, bytes + 3 * n);
  ImgInterp2Pix(bytes, buf.data(), n, ImgInterpRgb, nullptr);
  EXPECT_EQ(Word(buf[0]), 0xFF010C17u);  // red 1, green 12, blue 23
  ImgPix2Rgb(buf.data(), bytes, n);
  EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 3 * n), triples);

  RgbPixelTp cmap[256];
  for (int i = 0; i < 256; ++i) cmap[i] = Px(i, 255 - i, i / 2, 9);
  for (int i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>(250 - i);
  ImgLut2Pix(bytes, cmap, buf.data(), n);
  for (int i = 0; i < n; ++i) EXPECT_EQ(Word(buf[i]), Word(cmap[250 - i])) << i;
  EXPECT_DEATH(ImgInterp2Pix(bytes, buf.data(), n, ImgInterpLut, nullptr), "cmap");
}

TEST(ImaUtil, PixelRules) {
  std::vector<RgbPixelTp> v = {Px(0, 0, 0, 128), Px(200, 10, 0, 100), Px(1, 2, 3, 0),
                               Px(1, 2, 3, 255)};
  ImgOverWhite(v.data(), v.data(), 4);
  EXPECT_EQ(Word(v[0]), Word(Px(127, 127, 127, 255)));
  EXPECT_EQ(Word(v[1]), Word(Px(255, 165, 155, 255)));
  EXPECT_EQ(Word(v[2]), 0xFFFFFFFFu);
  EXPECT_EQ(Word(v[3]), Word(Px(1, 2, 3, 255)));

  // 64 x 128 = 8192 is not below 8192.
  const RgbPixelTp g[2] = {Px(128, 128, 128, 0), Px(127, 127, 127, 0)};
  unsigned char bw[2];
  ImgPix2Bilevel(g, bw, 2);
  EXPECT_EQ(bw[0], 255);
  EXPECT_EQ(bw[1], 0);

  const unsigned char buf[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(static_cast<uint32_t>(ImgGetPix(buf, 1, 3)), 0xFF040506u);
  EXPECT_EXIT(ImgGetPix(buf, 0, 5), testing::ExitedWithCode(1),
              "Bad value for bytes_per_pixel in getpix: 5\n");
}

TEST(ImaUtil, RectangleCopyClampsAndFlipExchangesRows) {
  const int W = 5, H = 4;
  std::vector<RgbPixelTp> src(W * H), dst(W * H);
  for (int i = 0; i < W * H; ++i) src[i] = Px(i, 0, 0, 255);
  struct Case {
    int rw, rh, x, y, w, h, first, last;
  } cases[] = {
      {3, 2, 1, 1, 3, 2, 6, 13},      // inside
      {10, 10, 99, 2, 1, 2, 14, 19},  // x beyond the width: the last column
      {0, -3, -2, -7, 1, 1, 0, 0},    // negative origin, empty size
  };
  for (const Case &c : cases) {
    int w = W, h = H;
    ImgCopyRect(src.data(), dst.data(), &w, &h, c.rw, c.rh, c.x, c.y);
    EXPECT_EQ(w, c.w);
    EXPECT_EQ(h, c.h);
    EXPECT_EQ(dst[0].blue, c.first);
    EXPECT_EQ(dst[w * h - 1].blue, c.last);
  }
  for (int rows : {3, 4}) {
    std::vector<RgbPixelTp> f(2 * rows);
    for (int i = 0; i < 2 * rows; ++i) f[i] = Px(i, 0, 0, 0);
    ImgFlipVertical(f.data(), 2, rows);
    for (int i = 0; i < 2 * rows; ++i) EXPECT_EQ(f[i].blue, (rows - 1 - i / 2) * 2 + i % 2);
  }
}

TEST(ImaUtil, ColourModelRoundTrips) {
  double h, s, v;
  ImgRgb2Hsv(255, 0, 0, &h, &s, &v);
  EXPECT_EQ(h, 1.0);  // the chrominance operation's sectors
  int bad = 0;
  for (int r = 0; r < 256; r += 15)
    for (int g = 0; g < 256; g += 17)
      for (int b = 0; b < 256; b += 5) {
        int r2, g2, b2;
        ImgRgb2Hsv(r, g, b, &h, &s, &v);
        ImgHsv2Rgb(h, s, v, &r2, &g2, &b2);
        bad += r2 != r || g2 != g || b2 != b;
      }
  EXPECT_EQ(bad, 0);
}

class ImaUtilFiles : public testing::Test {
 protected:
  void SetUp() override { CmnSetErrorHandler(Quiet); }
  void TearDown() override { CmnSetErrorHandler(CmnDefaultErrorHandler); }
  TempDir dir_;
};

TEST_F(ImaUtilFiles, DumpsReadByNetpbm) {
  const int w = 5000, h = 3;  // more than one write chunk
  std::vector<RgbPixelTp> pix(w * h);
  for (int i = 0; i < w * h; ++i) pix[i] = Px(i % 251, i % 13, i % 256, 0);
  const std::string ppm = dir_.file("pix.ppm");
  ASSERT_EQ(ImgDumpPixPpm(ppm.c_str(), pix.data(), w, h), 0u);
  std::vector<int> want;
  for (const RgbPixelTp &p : pix) want.insert(want.end(), {p.red, p.green, p.blue});
  int pw, ph;
  std::vector<int> s = PlainSamples(ppm, &pw, &ph);
  EXPECT_TRUE(pw == w && ph == h && s == want);

  unsigned char table[256 * 3];
  for (int i = 0; i < 768; ++i) table[i] = static_cast<unsigned char>(i * 7);
  const unsigned char idx[6] = {0, 1, 255, 3, 4, 5};
  ASSERT_EQ(ImgDumpLutPpm(dir_.file("lut.ppm").c_str(), idx, table, 3, 2), 0u);
  s = PlainSamples(dir_.file("lut.ppm"), &pw, &ph);
  ASSERT_EQ(s.size(), 18u);
  EXPECT_EQ(s[8], table[767]);

  const std::string missing = dir_.file("no/such.ppm");
  ReturnTp rc = ImgDumpPgm(missing.c_str(), idx, 2, 3);
  EXPECT_EQ(rc, CMN_E_OPEN | CMN_REPORTED);
  EXPECT_EQ(std::string(CmnErrorText(rc, nullptr, nullptr)), "Cannot open " + missing);
  rc = ImgDumpPixPpm("/dev/full", pix.data(), w, h);
  EXPECT_EQ(rc, CMN_E_WRITE | CMN_REPORTED);
  EXPECT_STREQ(CmnErrorText(rc, nullptr, nullptr), "Cannot write /dev/full");
}

TEST_F(ImaUtilFiles, ReaderReadsNetpbmAndOwnFiles) {
  const std::string pat = dir_.file("pat.ppm");
  ShellOutput("ppmpat -gingham3 300 200 > " + pat);
  int w, h, pw, ph;
  const unsigned char *p = ImgReadPpm(pat.c_str(), &w, &h);
  ASSERT_NE(p, nullptr);
  std::vector<int> s = PlainSamples(pat, &pw, &ph);
  ASSERT_EQ(w, pw);
  ASSERT_EQ(h, ph);
  int bad = 0;
  for (int i = 0; i < w * h; ++i)
    bad += p[4 * i] != s[3 * i] || p[4 * i + 1] != s[3 * i + 1] || p[4 * i + 2] != s[3 * i + 2] ||
           p[4 * i + 3] != 255;
  EXPECT_EQ(bad, 0);

  // A comment line, as other writers put in, and a smaller maxval, scaled
  // to 0..255.
  const char own[] = "P6\n# made here\n2 1 15\n\x0f\x00\x07\x01\x02\x03";
  WriteFile(dir_.file("own.ppm"), std::string(own, sizeof own - 1));
  p = ImgReadPpm(dir_.file("own.ppm").c_str(), &w, &h);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(w, 2);
  EXPECT_EQ(h, 1);
  const unsigned char want[8] = {255, 0, 119, 255, 17, 34, 51, 255};
  EXPECT_EQ(memcmp(p, want, 8), 0);
}

TEST_F(ImaUtilFiles, ReaderRefusesBadFiles) {
  const std::string bad_header = "Not a binary ppm file\n", short_data = "truncated ppm file\n";
  const std::pair<std::string, std::string> cases[] = {
      {"P5 16 4 255\n" + std::string(64, 'x'), bad_header},
      {"", bad_header},
      {"P3\n1 1\n255\n0 0 0\n", bad_header},
      {"P6 4 0 255\n", bad_header},
      {"P6 -4 2 255\n", bad_header},
      {"P6 4 2", bad_header},
      {"P6 1 1 256\n", bad_header},
      {"P6 99999999999999999999 1 255\n", bad_header},
      {"P6 2000000000 2000000000 255\nabc", bad_header},
      {"P6\n#" + std::string(10000, 'x'), bad_header},
      {"P6 10000 10000 255\nabcdef", short_data},  // no buffer for the claimed size
      {"P6\n2 2\n255\n" + std::string(11, 'x'), short_data},
  };
  for (const auto &c : cases) {
    const std::string file = dir_.file("bad");
    WriteFile(file, c.first);
    int w = 7, h = 7;
    testing::internal::CaptureStderr();
    const unsigned char *p = ImgReadPpm(file.c_str(), &w, &h);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(p == nullptr && w == 0 && h == 0) << c.first.substr(0, 30);
    EXPECT_NE(err.find(c.second), std::string::npos) << c.first.substr(0, 30) << ": " << err;
  }

  int w, h;
  const std::string missing = dir_.file("missing.ppm");
  testing::internal::CaptureStderr();
  EXPECT_EQ(ImgReadPpm(missing.c_str(), &w, &h), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), missing + ": No such file or directory\n");
}

}  // namespace
