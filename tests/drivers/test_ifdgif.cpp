// The GIF driver against netpbm and giflib, both ways, and on hand-made
// code streams that exercise the LZW decoder's rules and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "imagefile.h"
#include "rasterio.h"
#include "runprog.h"

namespace {

std::vector<std::string> g_raised;
void Record(ReturnTp code) { g_raised.push_back(CmnErrorText(code, nullptr, nullptr)); }
uint32_t IdentifyAsGif(const unsigned char *, int32_t) { return IFF_TYPE_GIF; }

// The pixels of a netpbm file as red, green, blue bytes (alpha: one byte).
Bytes Samples(const std::string &command) {
  std::istringstream plain(ShellOutput(command + " | pnmtoplainpnm"));
  std::string magic;
  unsigned w = 0, h = 0, m = 0, v;
  plain >> magic >> w >> h >> m;
  Bytes out;
  if (m == 0) return out;
  while (plain >> v) out.push_back(static_cast<unsigned char>(v * 255 / m));
  if (magic == "P2") {  // grey: one value per pixel
    Bytes rgb;
    for (unsigned char g : out) rgb.insert(rgb.end(), 3, g);
    return rgb;
  }
  return out;
}

// giftopnm's decode, with transparent pixels shown white as the viewer does.
Bytes Giftopnm(const std::string &gif, const std::string &dir) {
  Bytes rgb = Samples("giftopnm -alphaout=" + dir + "/alpha.pgm " + gif);
  Bytes alpha = Samples("pamdepth 255 " + dir + "/alpha.pgm 2>/dev/null | pamtopnm");
  for (size_t i = 0; i < rgb.size() && i < alpha.size(); i += 3)
    if (alpha[i] == 0) rgb[i] = rgb[i + 1] = rgb[i + 2] = 255;
  return rgb;
}

// A GIF made by hand: 4-entry global table, one image of width x height
// whose LZW data are the given codes at the given widths, in sub-blocks of
// 255 bytes.
std::string HandMade(int width, int height, const std::vector<std::pair<int, int>> &codes,
                     const char *signature = "GIF89a") {
  std::string f = signature;
  auto le16 = [&f](int v) {
    f += static_cast<char>(v & 255);
    f += static_cast<char>(v >> 8);
  };
  le16(width);
  le16(height);
  f += "\x81";
  f += std::string("\0\0", 2);
  f += std::string("\x00\x00\x00\xff\xff\xff\xff\x00\x00\x00\x00\xff", 12);
  f += ',';
  le16(0);
  le16(0);
  le16(width);
  le16(height);
  f += '\0';
  f += '\x02';  // minimum code size
  std::string data;
  uint32_t acc = 0;
  int bits = 0;
  for (auto [code, w] : codes) {
    acc |= static_cast<uint32_t>(code) << bits;
    for (bits += w; bits >= 8; bits -= 8, acc >>= 8) data += static_cast<char>(acc & 255);
  }
  if (bits) data += static_cast<char>(acc & 255);
  for (size_t at = 0; at < data.size(); at += 255) {
    f += static_cast<char>(std::min<size_t>(255, data.size() - at));
    f += data.substr(at, 255);
  }
  f += std::string("\0;", 2);
  return f;
}

// Clear 4, end 5. Rows of 3: the string of code 6 runs over into the
// second row, the code being defined (8) into the third, and the codes
// start over after a clear in the middle of the third row.
const std::vector<std::pair<int, int>> kGoodCodes = {{4, 3}, {1, 3}, {1, 3}, {6, 3}, {8, 4},
                                                     {4, 4}, {2, 3}, {2, 3}, {5, 3}};

class Gif : public testing::Test {
 protected:
  void SetUp() override {
    CmnSetErrorHandler(Record);
    g_raised.clear();
    saved_ = IfiIdentifyFn;
  }
  void TearDown() override {
    IffTerm(&cb_);
    IfiIdentifyFn = saved_;
    CmnSetErrorHandler(CmnDefaultErrorHandler);
  }

  TempDir dir_;
  IffControlBlockTp *cb_ = nullptr;
  IfiIdentifyFnTp saved_ = nullptr;
};

TEST_F(Gif, NetpbmFilesReadAsGiftopnmDecodesThem) {
  const std::string ppm = dir_.file("in.ppm"), gif = dir_.file("in.gif");
  // A picture of many colours, quantised to each size.
  ShellOutput("ppmpat -camo -randomseed=3 301 203 > " + dir_.file("camo.ppm"));
  struct Case {
    std::string make;
    const char *options;
  };
  std::vector<Case> cases;
  for (const char *colours : {"2", "16", "256"})
    for (const char *options : {"", "-interlace", "-transparent=rgbi:0/0/0"})
      cases.push_back({std::string("pnmquant ") + colours + " " + dir_.file("camo.ppm"), options});
  cases.push_back({"ppmpat -madras 37 1", "-interlace"});
  cases.push_back({"ppmpat -madras 37 2", "-interlace"});
  cases.push_back({"ppmpat -madras 37 9", "-interlace"});
  for (const Case &c : cases) {
    SCOPED_TRACE(c.make + " " + c.options);
    ShellOutput(c.make + " > " + ppm + " 2>/dev/null; pamtogif " + c.options + " " + ppm + " > " +
                gif + " 2>/dev/null");
    RgbImage ours = ReadRgb(gif);
    ASSERT_EQ(ours.rc, 0u);
    EXPECT_EQ(ours.rgb, Giftopnm(gif, dir_.path()));
    EXPECT_EQ(ours.header.transparent, std::string(c.options).find("transp") != std::string::npos);
  }
  EXPECT_TRUE(g_raised.empty());
}

TEST_F(Gif, HandMadeStreamsAndOddLayouts) {
  // Codes running across rows, the code being defined, a clear in mid-row.
  const std::string hand = dir_.file("hand.gif");
  WriteFile(hand, HandMade(3, 3, kGoodCodes));
  const Bytes ours = ReadRgb(hand).rgb;
  EXPECT_EQ(ours, Giftopnm(hand, dir_.path()));

  // A local colour table in place of the global one.
  std::string local = HandMade(3, 3, kGoodCodes);
  const std::string table = local.substr(13, 12);
  local[10] = 0;
  local.erase(13, 12);
  local[13 + 9] = static_cast<char>(0x81);
  local.insert(13 + 10, table);
  WriteFile(hand, local);
  EXPECT_EQ(ReadRgb(hand).rgb, ours);

  // An image larger than its screen is shown whole (giftopnm refuses it).
  std::string big = HandMade(3, 3, kGoodCodes);
  big[6] = big[8] = 1;
  WriteFile(hand, big);
  EXPECT_EQ(ReadRgb(hand).rgb, ours);

  // The old 640 x 350 screen had pixels taller than wide.
  ShellOutput("ppmpat -madras 640 350 | pnmquant 16 2>/dev/null | pamtogif > " + hand +
              " 2>/dev/null");
  const RgbImage wide = ReadRgb(hand);
  const IffParamTp &header = wide.header;
  EXPECT_EQ(wide.rgb, Giftopnm(hand, dir_.path()));
  EXPECT_EQ(header.aspect_x, 1400);
  EXPECT_EQ(header.aspect_y, 1920);
  EXPECT_DOUBLE_EQ(header.x_resolution, 72.0);
  EXPECT_DOUBLE_EQ(header.y_resolution, 52.5);
  EXPECT_TRUE(g_raised.empty());
}

// Codes drawn at random among those the decoder knows at each step (the
// literals, the entries made so far, the one being made), on past a full
// table and a clear: strings of every length, made every way, end inside
// rows and run on into the next; interlaced, into rows of other passes.
TEST_F(Gif, RandomCodeStreamsDecodeAsGiftopnmDecodesThem) {
  srand(11);
  std::vector<std::pair<int, int>> codes = {{4, 3}};
  std::vector<int> length(4096, 1);
  int avail = 6, width = 3, prev = -1;
  int64_t pixels = 0;
  for (int i = 0; i < 9000; ++i) {
    if (i == 6000) {
      codes.push_back({4, width});
      avail = 6, width = 3, prev = -1;
    }
    const int known = 4 + (avail - 6) + (avail < 4096 ? 1 : 0);
    const int pick = prev < 0 ? rand() % 4 : rand() % known;
    const int code = pick < 4 ? pick : pick + 2;
    codes.push_back({code, width});
    if (prev >= 0 && avail < 4096) length[avail++] = length[prev] + 1;
    if (avail >= 1 << width && width < 12) ++width;
    pixels += length[code];
    prev = code;
  }
  codes.push_back({5, width});
  const int w = 97;
  const int h = static_cast<int>(pixels / w);
  const std::string path = dir_.file("random.gif");
  for (const char flags : {'\0', '\x40'}) {
    std::string file = HandMade(w, h, codes);
    file[13 + 12 + 9] = flags;
    WriteFile(path, file);
    const RgbImage ours = ReadRgb(path);
    ASSERT_EQ(ours.rc, 0u);
    EXPECT_EQ(ours.rgb, Giftopnm(path, dir_.path()));
  }
  EXPECT_TRUE(g_raised.empty());
}

TEST_F(Gif, BadStreamsFailWithTheirCodes) {
  IfiIdentifyFn = IdentifyAsGif;
  const std::string truncated = HandMade(3, 3, kGoodCodes).substr(0, 13 + 12 + 10 + 3);
  std::string zero = HandMade(3, 3, kGoodCodes);
  zero[13 + 12 + 5] = zero[13 + 12 + 6] = 0;
  std::string min_size = HandMade(3, 3, kGoodCodes);
  min_size[13 + 12 + 10] = 12;
  const struct {
    std::string file;
    const char *message;
  } kCases[] = {
      {HandMade(3, 3, kGoodCodes, "GIF88a"), "Cannot open file"},
      {"GIF89a\x03", "Cannot open file"},
      // Code 7 is beyond the table; 6 right after a clear has no string.
      {HandMade(3, 3, {{4, 3}, {1, 3}, {7, 3}, {5, 3}}), "Cannot decompress GIF scan line"},
      {HandMade(3, 3, {{4, 3}, {6, 3}, {5, 3}}), "Cannot decompress GIF scan line"},
      // The end code before the last pixel; data ending early.
      {HandMade(3, 3, {{4, 3}, {1, 3}, {5, 3}}), "Cannot decompress GIF scan line"},
      {HandMade(3, 3, {{4, 3}, {1, 3}}), "Cannot decompress GIF scan line"},
      {truncated, "Cannot decompress GIF scan line"},
      {min_size, "Cannot decompress GIF scan line"},
      {zero, "Cannot read the GIF image descriptor"},
      {HandMade(3, 3, kGoodCodes).substr(0, 25) + "!\xF9\x04\x01",
       "Problems with GIF extension block handling"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.message);
    g_raised.clear();
    const std::string path = dir_.file("bad.gif");
    WriteFile(path, c.file);
    EXPECT_NE(ReadRgb(path).rc, 0u);
    ASSERT_FALSE(g_raised.empty());
    EXPECT_EQ(g_raised[0].substr(0, strlen(c.message)), c.message);
  }
}

TEST_F(Gif, WrittenFilesDecodeWithGiflib) {
  const std::string gif = dir_.file("out.gif");
  // A long random picture of 256 colours fills the code table many times
  // over: a single 13-bit code would derail both decoders.
  // Three colours: a table of four, of which the caller hands over three.
  for (const int colours : {2, 3, 256}) {
    SCOPED_TRACE(colours);
    const int32_t w = 211, h = colours < 256 ? 7 : 997;
    const int bits = colours == 2 ? 1 : colours == 3 ? 2 : 8;
    Bytes index, cmap;
    srand(7);
    for (int32_t i = 0; i < w * h; ++i)
      index.push_back(static_cast<unsigned char>(rand() % colours));
    for (int i = 0; i < colours; ++i)
      cmap.insert(cmap.end(), {static_cast<unsigned char>(i), static_cast<unsigned char>(255 - i),
                               static_cast<unsigned char>(i * 7)});
    IffFileSpecTp spec = {gif.c_str(), nullptr, 0};
    IffControlBlockTp *out = nullptr;
    ASSERT_EQ(IffInit(nullptr, &out, IFF_SRV_EXPORT, &spec, IFF_TYPE_GIF, IFF_MIN_VERIFY, nullptr),
              0u);
    ASSERT_EQ(IffWtHead(out, w, h, 1, 1, 1, IFF_CM_PALETTE, colours, 8, nullptr, 0, 0, 0, nullptr),
              0u);
    ASSERT_EQ(IffWtCMap(out, cmap.data()), 0u);
    for (int32_t y = 0; y < h; ++y)
      ASSERT_EQ(IffWtScan(out, y, &index[static_cast<size_t>(y * w)]), 0u);
    EXPECT_NE(IffWtScan(out, 0, index.data()), 0u) << "rows come once, in order";
    ASSERT_EQ(IffTerm(&out), 0u);

    Bytes expected;
    for (unsigned char i : index) expected.insert(expected.end(), &cmap[i * 3u], &cmap[i * 3u + 3]);
    EXPECT_EQ(Giftopnm(gif, dir_.path()), expected);
    ShellOutput("gif2rgb -1 -o " + dir_.file("out.rgb") + " " + gif);
    const std::string rgb = ReadFile(dir_.file("out.rgb"));
    EXPECT_EQ(Bytes(rgb.begin(), rgb.end()), expected);
    const std::string file = ReadFile(gif);
    // Screen packed byte, then the minimum code size after the descriptor.
    EXPECT_EQ(file[10] & 7, bits - 1);
    EXPECT_EQ(file[13 + (3 << bits) + 10], std::max(2, bits));
  }
  g_raised.clear();
  IffFileSpecTp spec = {gif.c_str(), nullptr, 0};
  IffControlBlockTp *out = nullptr;
  ASSERT_EQ(IffInit(nullptr, &out, IFF_SRV_EXPORT, &spec, IFF_TYPE_GIF, IFF_MIN_VERIFY, nullptr),
            0u);
  EXPECT_NE(IffWtHead(out, 5, 5, 1, 1, 0, IFF_CM_RGB, 0, 8, nullptr, 0, 0, 0, nullptr), 0u);
  EXPECT_NE(IffWtHead(out, 5, 5, 1, 1, 1, IFF_CM_PALETTE, 300, 8, nullptr, 0, 0, 0, nullptr), 0u);
  IffTerm(&out);
  ASSERT_EQ(g_raised.size(), 2u);
  EXPECT_EQ(g_raised[0].find("The driver expects a color map"), 0u);
  EXPECT_EQ(g_raised[1].find("Invalid color map size during export"), 0u);
}

}  // namespace
