// The XWD driver against netpbm's xwdtopnm and pnmtoxwd, on real
// screenshots of X servers at depths 8, 16 and 24, and on files made by
// hand for what neither writes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "rasterio.h"
#include "runprog.h"

namespace {

const ReturnTp kUnsupported = 0x06040001u, kConvert = 0x06040002u;

// A 25-word header (8-bit PseudoColor Z format, most significant first)
// with some words changed, the window name, then the rest as given.
std::string Dump(std::vector<std::pair<int, uint32_t>> changes, const Bytes &rest) {
  uint32_t w[25] = {104, 7, 2, 8, 3, 2, 0, 1, 32, 1, 32, 8, 4, 3, 0, 0, 0, 8, 2, 2, 3, 2};
  for (auto [word, value] : changes) w[word] = value;
  std::string f;
  for (uint32_t v : w)
    for (int shift = 24; shift >= 0; shift -= 8) f += static_cast<char>(v >> shift);
  f += std::string("abc", 4);
  f.append(rest.begin(), rest.end());
  return f;
}

class Xwd : public testing::Test {
 protected:
  std::string Make(const std::string &data) {
    const std::string path = dir_.file("in" + std::to_string(++files_) + ".xwd");
    WriteFile(path, data);
    return path;
  }
  void ExpectAsNetpbm(const std::string &path) {
    RgbImage ours = ReadRgb(path), theirs = NetpbmRgb("xwdtopnm " + path + " 2>/dev/null");
    EXPECT_EQ(ours.rc, 0u);
    EXPECT_EQ(ours.width, theirs.width);
    EXPECT_EQ(ours.rgb, theirs.rgb);
  }
  TempDir dir_;
  int files_ = 0;
};

TEST_F(Xwd, NetpbmFilesReadAsXwdtopnmDecodesThem) {
  const std::string d = dir_.path() + "/";
  Shell("cd " + d +
        "; pgmramp -diag 37 23 > r; pgmramp -lr 37 23 > g; pgmramp -tb 37 23 > b;"
        " rgb3toppm r g b > rgb.ppm; ppmpat -madras 37 23 > few.ppm;"
        " pamditherbw r | pamtopnm > bw.pbm; cp r grey.pgm");
  for (const char *make : {"pnmtoxwd few.ppm", "pnmtoxwd -directcolor few.ppm", "pnmtoxwd rgb.ppm",
                           "pnmtoxwd grey.pgm", "pnmtoxwd bw.pbm"}) {
    SCOPED_TRACE(make);
    Shell("cd " + d + "; " + make + " > out.xwd 2>/dev/null");
    ExpectAsNetpbm(d + "out.xwd");
  }
}

// The header's own length tells where the colours start, whatever it is:
// ImageMagick writes 101 bytes (an empty name); others write none or a
// long one. Each reads as ImageMagick reads it.
TEST_F(Xwd, HeadersOfAnyLength) {
  const std::string d = dir_.path() + "/";
  Shell("cd " + d + "; ppmpat -madras 37 23 > few.ppm");
  for (const char *form : {"", "-colors 12", "-type grayscale"}) {
    SCOPED_TRACE(form);
    Shell("cd " + d + "; convert few.ppm " + form + " im.xwd");
    const std::string im = ReadFile(d + "im.xwd");
    ASSERT_EQ(static_cast<unsigned char>(im[3]), 101);
    for (size_t length : {100, 101, 133}) {
      SCOPED_TRACE(length);
      std::string f = im.substr(0, 100) + std::string(length - 100, 'n') + im.substr(101);
      f[3] = static_cast<char>(length);
      const std::string path = Make(f);
      RgbImage ours = ReadRgb(path);
      EXPECT_EQ(ours.rc, 0u);
      EXPECT_EQ(ours.rgb, NetpbmRgb("convert " + d + "im.xwd ppm:-").rgb);
    }
  }
}

// The root window of a private server with the classic weave pattern, in
// Z format and in XY format: xwdtopnm decodes the first, the second must
// show the same pixels.
TEST_F(Xwd, ScreenshotsOfEveryDepthRead) {
  for (int depth : {8, 16, 24}) {
    SCOPED_TRACE(depth);
    const std::string d = dir_.path() + "/";
    // The server writes its display number into a pipe once it accepts
    // connections: reading that line waits exactly as long as needed.
    // Without -noreset the server resets when the first xwd leaves, and the
    // second can find the display closed for that moment.
    Shell("cd " + d +
          "; rm -f display; mkfifo display;"
          " Xvfb -displayfd 5 -nolisten tcp -noreset -retro -screen 0 61x37x" +
          std::to_string(depth) +
          " 5>display 2>/dev/null & pid=$!; trap 'kill $pid' EXIT; read n < display; d=:$n;"
          " xwd -root -silent -display $d > z.xwd; xwd -root -silent -xy -display $d > xy.xwd");
    ExpectAsNetpbm(d + "z.xwd");
    RgbImage z = ReadRgb(d + "z.xwd"), xy = ReadRgb(d + "xy.xwd");
    EXPECT_EQ(xy.rc, 0u);
    EXPECT_EQ(xy.rgb, z.rgb);
    EXPECT_NE(z.rgb, Bytes(z.rgb.size(), 0)) << "the pattern shows";
  }
}

TEST_F(Xwd, ColourRecordsAndBitOrders) {
  // 16-byte records (pixel, 4 unused bytes, red, green, blue, flags, pad)
  // whose flags and pads differ when read 12 bytes at a time.
  const Bytes records16 = {0, 0, 0, 0, 9, 9, 9, 9, 0x10, 0, 0x20, 0, 0x60, 0, 7, 0,
                           0, 0, 0, 1, 8, 8, 8, 8, 0x40, 0, 0x50, 0, 0x30, 0, 5, 3,
                           0, 0, 0, 2, 7, 7, 7, 7, 0x70, 0, 0x80, 0, 0x90, 0, 7, 1};
  const Bytes pixels = {1, 0, 2, 0, 0, 1, 0, 0};
  Bytes data = records16;
  data.insert(data.end(), pixels.begin(), pixels.end());
  RgbImage image = ReadRgb(Make(Dump({{18, 3}, {19, 3}}, data)));
  EXPECT_EQ(image.rc, 0u);
  const Bytes a = {0x10, 0x20, 0x60}, b = {0x40, 0x50, 0x30}, c = {0x70, 0x80, 0x90};
  Bytes want;
  for (const Bytes *p : {&b, &a, &c, &a, &b, &a}) want.insert(want.end(), p->begin(), p->end());
  EXPECT_EQ(image.rgb, want);

  // 4-bit and 1-bit palette pixels in both bit orders, units in the other
  // byte order, against xwdtopnm.
  const Bytes records12 = {0, 0, 0, 0, 0,    0, 0,    0, 0,    0, 7, 0,
                           0, 0, 0, 1, 0xFF, 0, 0x80, 0, 0x40, 0, 7, 0};
  for (uint32_t order : {0u, 1u}) {
    SCOPED_TRACE(order);
    Bytes nibbles = records12;
    for (int i = 0; i < 8; ++i) nibbles.push_back(i % 3 ? 0x01 : 0x10);
    ExpectAsNetpbm(Make(Dump({{3, 4}, {11, 4}, {7, order}, {9, order}, {12, 4}, {8, 8}}, nibbles)));
    Bytes bits = records12;
    for (int i = 0; i < 8; ++i) bits.push_back(static_cast<unsigned char>(0x35 * (i + 1)));
    ExpectAsNetpbm(
        Make(Dump({{3, 1}, {11, 1}, {4, 29}, {7, order}, {9, 1 - order}, {12, 4}}, bits)));
  }
}

TEST_F(Xwd, WrittenFilesReadBackWithNetpbm) {
  const std::string d = dir_.path() + "/";
  Shell("cd " + d +
        "; pgmramp -diag 37 23 > r; pgmramp -lr 37 23 > g; pgmramp -tb 37 23 > b;"
        " rgb3toppm r g b > rgb.ppm");
  RunResult r = RunProgram({PV_PVCONVERT, d + "rgb.ppm", d + "out.xwd"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(NetpbmRgb("xwdtopnm " + d + "out.xwd 2>/dev/null").rgb,
            NetpbmRgb("cat " + d + "rgb.ppm").rgb);
  for (int entries : {16, 2}) {
    SCOPED_TRACE(entries);
    Bytes cmap, lines, want;
    // xwdtopnm reads 1-bit StaticGray as white and black, without the map.
    for (int i = 0; i < entries; ++i)
      if (entries == 2)
        cmap.insert(cmap.end(), 3, static_cast<unsigned char>(255 - 255 * i));
      else
        cmap.insert(cmap.end(),
                    {static_cast<unsigned char>(i * 15), static_cast<unsigned char>(255 - i),
                     static_cast<unsigned char>(i * 7)});
    for (int i = 0; i < 19 * 5; ++i) {
      lines.push_back(static_cast<unsigned char>((i * 11) % entries));
      want.insert(want.end(), &cmap[3 * lines.back()], &cmap[3 * lines.back()] + 3);
    }
    ASSERT_EQ(WriteLines(d + "p.xwd", IFF_TYPE_XWD, 19, 5, IFF_CM_PALETTE, lines, cmap), 0u);
    EXPECT_EQ(NetpbmRgb("xwdtopnm " + d + "p.xwd 2>/dev/null").rgb, want);
  }
}

TEST_F(Xwd, BadHeadersFailWithTheirCode) {
  const Bytes some = Bytes(64, 1);
  const struct {
    std::string file;
    ReturnTp code;
  } kCases[] = {
      {Dump({{1, 6}}, some), kUnsupported},   // file version
      {Dump({{19, 3}}, some), kUnsupported},  // more colours than entries
      {Dump({{18, 0x7FFFFFFF}, {19, 0x7FFFFFFF}}, some), kUnsupported},  // huge colour counts
      {Dump({{2, 0}}, some), kConvert},                                  // XY bitmap
      {Dump({{12, 2}}, some), kUnsupported},                             // rows shorter than pixels
      {Dump({{12, 100000}}, some), kUnsupported},  // rows far longer than pixels
      {Dump({{3, 0}}, some), kUnsupported},        // depth 0
      {Dump({{11, 12}}, some), kUnsupported},      // 12 bits a pixel
      {Dump({{19, 2}}, {1, 2, 3}), 0x0808000Au},   // records beyond the file
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(testing::PrintToString(Bytes(c.file.begin(), c.file.begin() + 80)));
    CmnFilterOn(CMN_SEV_ERROR | CMN_SEV_INTERNAL);
    EXPECT_EQ(ReadRgb(Make(c.file)).rc, c.code);
    CmnFilterOff(CMN_SEV_ERROR | CMN_SEV_INTERNAL);
  }
  const std::string zero_blue = Make(
      Dump({{13, 4}, {3, 24}, {11, 32}, {12, 12}, {14, 0xFF0000}, {15, 0xFF00}, {18, 0}, {19, 0}},
           some));
  EXPECT_EXIT(ReadRgb(zero_blue), testing::ExitedWithCode(1),
              "^ERROR: zero mask value in XWD-RGB file rmask: FF0000 gmask: FF00 bmask:0\n$");
}

}  // namespace
