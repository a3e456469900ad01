// The PNG driver against netpbm both ways, broken PNG data, and the
// previews that the layout driver finds in vector and layout files.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "imagefile.h"
#include "rasterio.h"
#include "runprog.h"

namespace {

std::vector<std::string> g_raised;
void Record(ReturnTp code) { g_raised.push_back(CmnErrorText(code, nullptr, nullptr)); }

// What a screen shows of a PAM of any depth and maxval as red, green, blue:
// alpha laid over white the way the viewer does it (colour premultiplied
// by alpha, plus the white left uncovered).
Bytes PamOverWhite(const std::string &pam) {
  std::istringstream in(pam);
  std::string word;
  unsigned w = 0, h = 0, depth = 0, maxval = 0;
  while (in >> word && word != "ENDHDR") {
    if (word == "WIDTH") in >> w;
    if (word == "HEIGHT") in >> h;
    if (word == "DEPTH") in >> depth;
    if (word == "MAXVAL") in >> maxval;
  }
  in.get();
  Bytes out;
  for (size_t i = 0; i < size_t(w) * h && maxval; ++i) {
    unsigned v[4];
    for (unsigned k = 0; k < depth; ++k) {
      unsigned s = static_cast<unsigned char>(in.get());
      if (maxval > 255) s = s << 8 | static_cast<unsigned char>(in.get());
      v[k] = maxval == 65535 ? s >> 8 : s * 255 / maxval;
    }
    const unsigned a = depth % 2 ? 255 : v[depth - 1];
    for (unsigned k = 0; k < 3; ++k)
      out.push_back(static_cast<unsigned char>(v[depth < 3 ? 0 : k] * a / 255 + 255 - a));
  }
  return out;
}

Bytes Oracle(const std::string &path) {
  return PamOverWhite(ShellOutput("pngtopam -alphapam " + path));
}

// A chunk's CRC made right again after an edit of its type or data.
void FixCrc(std::string &png, const char *type) {
  const size_t at = png.find(type);
  const uint32_t length = uint32_t(uint8_t(png[at - 4])) << 24 | uint8_t(png[at - 3]) << 16 |
                          uint8_t(png[at - 2]) << 8 | uint8_t(png[at - 1]);
  uLong crc = crc32(0, reinterpret_cast<const Bytef *>(&png[at]), length + 4);
  for (int i = 0; i < 4; ++i) png[at + 4 + length + i] = static_cast<char>(crc >> (24 - 8 * i));
}

class Png : public testing::Test {
 protected:
  void SetUp() override {
    CmnSetErrorHandler(Record);
    g_raised.clear();
    ShellOutput(
        "cd " + dir_.path() +
        "; pgmramp -diag 37 23 > g.pgm; pgmramp -maxval 65535 -diag 37 23 > g16.pgm"
        "; pgmramp -lr 37 23 > r.pgm; pgmramp -tb 37 23 > a.pgm; pgmramp -ellipse 37 23 > b.pgm"
        "; rgb3toppm r.pgm a.pgm b.pgm > rich.ppm");
  }
  void TearDown() override {
    IffTerm(&cb_);
    do_valid_lay = 0;
    CmnSetErrorHandler(CmnDefaultErrorHandler);
  }
  std::string In(const std::string &name) { return dir_.file(name); }

  TempDir dir_;
  IffControlBlockTp *cb_ = nullptr;
};

TEST_F(Png, EveryKindReadsAsPngtopamDecodesIt) {
  const struct {
    const char *make, *kind;  // how netpbm makes the file, what pngcheck calls it
  } kCases[] = {
      {"pamdepth 1 g.pgm | pnmtopng", "1-bit grayscale,"},
      {"pamdepth 3 g.pgm | pnmtopng", "2-bit grayscale,"},
      {"pamdepth 15 g.pgm | pnmtopng", "4-bit grayscale,"},
      {"pnmtopng g.pgm", "8-bit grayscale,"},
      {"pnmtopng g16.pgm", "16-bit grayscale,"},
      {"pnmtopng -transparent =gray50 g.pgm", "gray = 0x007f"},
      {"pnmtopng -alpha=a.pgm g16.pgm", "32-bit grayscale+alpha,"},
      {"pnmquant 2 rich.ppm | pnmtopng", "1-bit palette,"},
      {"pnmquant 4 rich.ppm | pnmtopng", "2-bit palette,"},
      {"pnmquant 16 rich.ppm | pnmtopng", "4-bit palette,"},
      {"pnmquant 200 rich.ppm | pnmtopng", "8-bit palette,"},
      {"pnmquant 8 rich.ppm | pnmtopng -alpha=a.pgm", "8-bit palette+trns,"},
      {"pamdepth 1 a.pgm > m.pgm; pnmquant 9 rich.ppm | pnmtopng -alpha=m.pgm", "palette+trns,"},
      {"pnmtopng rich.ppm", "24-bit RGB,"},
      {"pnmtopng -transparent =black rich.ppm", "red = 0x0000, green = 0x0000"},
      {"pamdepth 65535 rich.ppm | pamfunc -multiplier 0.999 | pnmtopng", "48-bit RGB,"},
      {"pnmtopng -alpha=a.pgm rich.ppm", "32-bit RGB+alpha,"},
      {"pnmtopng -interlace rich.ppm", "24-bit RGB, interlaced"},
      {"pnmquant 4 rich.ppm | pnmtopng -interlace", "2-bit palette, interlaced"},
      {"pamdepth 1 g.pgm | pnmtopng -interlace", "1-bit grayscale, interlaced"},
      {"pnmquant 2 rich.ppm | pnmtopng -interlace", "1-bit palette, interlaced"},
      {"pamdepth 1 g.pgm | pnmtopng -transparent =black", "1-bit grayscale,"},
      {"pnmtopng -interlace -alpha=a.pgm g16.pgm", "32-bit grayscale+alpha, interlaced"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.make);
    ShellOutput("cd " + dir_.path() + "; { " + c.make + "; } 2>/dev/null > in.png");
    EXPECT_NE(
        ShellOutput("cd " + dir_.path() + "; pngcheck in.png; pngcheck -v in.png").find(c.kind),
        std::string::npos);
    const RgbImage ours = ReadRgb(In("in.png"));
    EXPECT_EQ(ours.rgb, Oracle(In("in.png")));
    EXPECT_EQ(ours.rc, 0u);
    EXPECT_EQ(ours.type, uint32_t{IFF_TYPE_PNG});
  }
  EXPECT_TRUE(g_raised.empty());
}

// One-bit interlaced rows are spread from their passes by the driver: every
// size from one pixel up, so that passes are empty, one pixel wide or end
// in a part byte, grey and palette alike.
TEST_F(Png, OneBitInterlacedAtEverySmallSize) {
  std::mt19937 rng(5);
  for (int w = 1; w <= 19; w += 1 + w / 6)
    for (int h = 1; h <= 19; h += 1 + h / 5)
      for (const char *colours : {"", " | pgmtoppm red-blue"}) {
        SCOPED_TRACE(testing::Message() << w << "x" << h << colours);
        std::string pbm = "P4\n" + std::to_string(w) + " " + std::to_string(h) + "\n";
        for (int i = 0; i < (w + 7) / 8 * h; ++i) pbm += static_cast<char>(rng());
        WriteFile(In("in.pbm"), pbm);
        ShellOutput("cd " + dir_.path() + "; { cat in.pbm" + colours +
                    " | pnmtopng -interlace; } 2>/dev/null > in.png");
        const RgbImage ours = ReadRgb(In("in.png"));
        ASSERT_EQ(ours.rc, 0u);
        ASSERT_EQ(ours.rgb, Oracle(In("in.png")));
      }
  EXPECT_TRUE(g_raised.empty());
}

TEST_F(Png, PhysGivesResolutionAndPixelShape) {
  ShellOutput("cd " + dir_.path() +
              "; pnmtopng -size '7874 3937 1' g.pgm > m.png; "
              "pnmtopng -size '2 3 0' g.pgm > u.png");
  const IffParamTp m = ReadRgb(In("m.png")).header, u = ReadRgb(In("u.png")).header;
  EXPECT_NEAR(m.x_resolution, 200.0, 0.001);
  EXPECT_NEAR(m.y_resolution, 100.0, 0.001);
  EXPECT_EQ(m.aspect_x * 2, m.aspect_y);
  EXPECT_EQ(u.resolution_known, 0);
  EXPECT_EQ(u.aspect_x * 2, u.aspect_y * 3);
}

TEST_F(Png, WrittenFilesPassPngcheckAndReadBack) {
  const struct {
    uint32_t model;
    int entries, bits, transparent;
    int depth, color_type;  // of IHDR
  } kCases[] = {
      {IFF_CM_RGB, 0, 8, -1, 8, 2},      {IFF_CM_RGBA, 0, 8, -1, 8, 6},
      {IFF_CM_GRAY, 0, 8, -1, 8, 0},     {IFF_CM_GRAY, 0, 4, -1, 4, 0},
      {IFF_CM_BILEVEL, 0, 8, -1, 1, 0},  {IFF_CM_PALETTE, 2, 8, -1, 1, 3},
      {IFF_CM_PALETTE, 3, 8, -1, 2, 3},  {IFF_CM_PALETTE, 16, 8, 5, 4, 3},
      {IFF_CM_PALETTE, 256, 8, 5, 8, 3}, {IFF_CM_GRAY, 7, 8, -1, 4, 3},
  };
  const std::string path = In("out.png");
  const IffFileSpecTp spec = {path.c_str(), nullptr, 0};
  for (const auto &c : kCases) {
    SCOPED_TRACE(testing::Message() << "model " << c.model << " entries " << c.entries);
    IffTerm(&cb_);
    ASSERT_EQ(IffInit(nullptr, &cb_, IFF_SRV_EXPORT, &spec, IFF_TYPE_PNG, IFF_MIN_VERIFY, nullptr),
              0u);
    cb_->x_resolution = 200;
    cb_->transparent = c.transparent >= 0;
    cb_->transparent_index = c.transparent;
    ASSERT_EQ(IffWtHead(cb_, 37, 23, 1, 1, c.entries > 0, c.model, c.entries, c.bits, nullptr, 0, 0,
                        0, nullptr),
              0u);
    const bool rgb = c.model == IFF_CM_RGB || c.model == IFF_CM_RGBA;
    const int es = c.model == IFF_CM_GRAY ? 1 : 3,
              top = c.model == IFF_CM_GRAY ? (1 << c.bits) - 1 : 255;
    Bytes cmap, want;
    for (int i = 0; i < es * c.entries; ++i)
      cmap.push_back(static_cast<unsigned char>(i * 37 + 11));
    if (c.entries) {
      ASSERT_EQ(IffWtCMap(cb_, cmap.data()), 0u);
    }
    for (int y = 0; y < 23; ++y) {
      Bytes line;
      for (int x = 0; x < 37 * (rgb ? 3 : 1); ++x) {
        const int v = (x * 7 + y * 13) & 255;
        line.push_back(static_cast<unsigned char>(c.entries                   ? v % c.entries
                                                  : c.model == IFF_CM_BILEVEL ? (v & 1) * 255
                                                  : rgb                       ? v
                                                                              : v % (top + 1)));
        const int i = line.back();
        if (c.entries && i == c.transparent)
          want.insert(want.end(), 3, 255);
        else if (c.entries)
          for (int k = 0; k < 3; ++k) want.push_back(cmap[es * i + (es == 3 ? k : 0)]);
        else
          want.insert(want.end(), rgb ? 1 : 3, static_cast<unsigned char>(rgb ? i : i * 255 / top));
      }
      ASSERT_EQ(IffWtScan(cb_, y, line.data()), 0u);
    }
    ASSERT_EQ(IffTerm(&cb_), 0u);
    const std::string file = ReadFile(path);
    EXPECT_NE(ShellOutput("pngcheck -v " + path).find("7874 pixels/meter (200 dpi)"),
              std::string::npos);
    EXPECT_EQ(file[24], c.depth);
    EXPECT_EQ(file[25], c.color_type);
    EXPECT_EQ(Oracle(path), want);
    const RgbImage ours = ReadRgb(path);
    EXPECT_EQ(ours.rgb, want);
    EXPECT_EQ(ours.header.transparent_index, c.transparent < 0 ? 0 : c.transparent);
  }
}

TEST_F(Png, BrokenFilesFailWithTheirCode) {
  ShellOutput("cd " + dir_.path() +
              "; pnmtopng rich.ppm > p.png; pnmtopng -interlace rich.ppm > i.png");
  const std::string good = ReadFile(In("p.png")), interlaced = ReadFile(In("i.png"));
  const std::string million("\0\x0f\x42\x40\0\x0f\x42\x40", 8), big("\0\0\x75\x30\0\0\x75\x30", 8);
  const struct {
    std::string data;
    bool fix_crc, at_header;
    ReturnTp code;
    const char *message;
  } kCases[] = {
      {good.substr(0, 8) + "junk", 0, 1, 0x0508000A, "Bad file header params returned from driver"},
      {good.substr(0, 30) + '\x7f' + good.substr(31), 0, 1, 0x0508000A, "Bad file header params"},
      {good.substr(0, 25) + '\5' + good.substr(26), 1, 1, 0x0508000A, "Bad file header params"},
      {good.substr(0, 16) + million + good.substr(24), 1, 1, 0x0508000C,
       "Strange height of the image"},
      {good.substr(0, good.size() - 40), 0, 0, 0x0808000A, "Unexpected End-Of-File"},
      {good.substr(0, 60) + '\1' + good.substr(61), 0, 0, 0x06040003, "Invalid Data in PNG format"},
      {interlaced.substr(0, 16) + big + interlaced.substr(24), 1, 0, 0x0808000A,
       "Unexpected End-Of-File"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.message);
    std::string data = c.data;
    if (c.fix_crc) FixCrc(data, "IHDR");
    WriteFile(In("bad.png"), data);
    g_raised.clear();
    const RgbImage bad = ReadRgb(In("bad.png"));
    EXPECT_EQ(bad.rc, c.code);
    EXPECT_EQ(bad.width != 0, !c.at_header);
    ASSERT_EQ(g_raised.size(), 1u);
    EXPECT_EQ(g_raised[0].rfind(c.message, 0), 0u) << g_raised[0];
  }
}

// A palette with equal entries (GIMP writes such) shows every pixel in
// its entry's own colour through the whole reading layer, whichever of
// the equal entries it names: as pngtopam decodes it.
TEST_F(Png, EqualPaletteEntriesKeepTheirColours) {
  Bytes cmap(3 * 16, 0);  // black many times over
  const Bytes colour = {200, 100, 50};
  for (int i : {3, 9}) std::copy(colour.begin(), colour.end(), cmap.begin() + 3 * i);
  Bytes lines;
  for (int i = 0; i < 16; ++i) lines.push_back(static_cast<unsigned char>(i));
  ASSERT_EQ(WriteLines(In("dup.png"), IFF_TYPE_PNG, 4, 4, IFF_CM_RGB, lines, cmap), 0u);
  RunResult r = RunProgram({PV_PVCONVERT, In("dup.png"), In("dup.ppm")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(NetpbmRgb("cat " + In("dup.ppm")).rgb, NetpbmRgb("pngtopam " + In("dup.png")).rgb);
}

TEST_F(Png, LayoutPreviewIsShownAndNothingElse) {
  ShellOutput("cd " + dir_.path() + "; pnmtopng -alpha=a.pgm rich.ppm > p.png");
  const std::string b64 = ShellOutput("base64 " + In("p.png"));  // wrapped lines
  std::string escaped = ShellOutput("base64 -w0 " + In("p.png")), slash;
  for (char ch : escaped) slash += ch == '/' ? std::string("\\/") : std::string(1, ch);
  const struct {
    std::string text;
    uint32_t type;
    ReturnTp code;
  } kCases[] = {
      {"{\"kind\": \"Plotvise Collage Canvas\",\n \"preview\": \"" + b64 + "\"}\n", 26, 0},
      {"<svg>\n<metadata>{\"preview\":\"" + slash + "\"}</metadata></svg>", 27, 0},
      {"<svg>\n<rect width=\"10\" height=\"10\"/></svg>\n", 27, 0x05020021},
      {"<svg>\n<metadata>{\"icon\": \"" + b64 + "\", \"preview\": \"none\"}", 27, 0x05020021},
  };
  do_valid_lay = 1;
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    // Found near the end of the first 8192 bytes, the Base64 text runs on past them.
    WriteFile(In("lay"), (c.code ? "" : std::string(8000, ' ')) + c.text);
    g_raised.clear();
    const RgbImage got = ReadRgb(In("lay"));
    EXPECT_EQ(got.type, c.type);
    EXPECT_EQ(got.rc, c.code);
    if (c.code) {
      EXPECT_EQ(g_raised, std::vector<std::string>{"The layout does not have a preview"});
    } else {
      EXPECT_EQ(got.rgb, Oracle(In("p.png")));
    }
  }

  IffTerm(&cb_);
  const std::string out = In("out.lay");
  const IffFileSpecTp spec = {out.c_str(), nullptr, 0};
  g_raised.clear();
  EXPECT_EQ(IffInit(nullptr, &cb_, IFF_SRV_EXPORT, &spec, IFF_TYPE_LAYOUT, IFF_MIN_VERIFY, nullptr),
            0x00040019u | CMN_REPORTED);
  EXPECT_EQ(g_raised,
            std::vector<std::string>{"ERROR: ifd does not support write of Plotvise Layouts\n"});
}

}  // namespace
