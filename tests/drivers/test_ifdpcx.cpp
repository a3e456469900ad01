// The PCX driver against netpbm, both ways, and on hand-made files for the
// versions, palettes, resolutions and runs carried across rows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rasterio.h"
#include "runprog.h"

namespace {

constexpr int32_t kW = 17, kH = 9;  // 17 pixels: planes of 32 pixels for 16 colours

// A header of our own making, then the data.
std::string Pcx(int version, int bits, int planes, int w, int h, int bpl, int hres, int vres,
                const std::string &data) {
  std::string f(128, '\0');
  const int at[][2] = {{0, 10},     {1, version}, {2, 1},     {3, bits},    {8, w - 1},
                       {10, h - 1}, {12, hres},   {14, vres}, {65, planes}, {66, bpl}};
  for (const auto &a : at) {
    f[a[0]] = static_cast<char>(a[1] & 255);
    if (a[0] >= 4 && a[0] != 65) f[a[0] + 1] = static_cast<char>(a[1] >> 8);
  }
  for (int i = 0; i < 48; ++i) f[16 + i] = static_cast<char>(100 + i);  // header palette
  return f + data;
}

uint32_t IdentifyAsPcx(const unsigned char *, int32_t) { return IFF_TYPE_PCX; }

TEST(Pcx, FilesOfNetpbmReadAsItDecodesThem) {
  TempDir dir;
  struct Case {
    int colours, bits, planes;
    const char *options;
  } cases[] = {{2, 1, 1, ""}, {16, 1, 4, ""}, {200, 8, 1, ""},       {0, 8, 3, "-24bit "},
               {4, 1, 2, ""}, {8, 1, 3, ""},  {4, 2, 1, "-packed "}, {16, 4, 1, "-packed "}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + " bits, " + std::to_string(c.planes) + " planes");
    Bytes lines, cmap;
    const Bytes rgb = Picture(kW, kH, c.colours, &lines, &cmap);
    const std::string in = dir.file("in.ppm"), out = dir.file("out.pcx");
    WriteFile(in, PpmOf(kW, kH, rgb));
    Shell(std::string("ppmtopcx ") + c.options + in + " 2>/dev/null > " + out);
    const std::string file = ReadFile(out);
    ASSERT_EQ(file[3], c.bits);
    ASSERT_EQ(file[65], c.planes);
    RgbImage d = ReadRgb(out);
    ASSERT_EQ(d.rc, 0u);
    EXPECT_EQ(d.rgb, rgb);
    EXPECT_EQ(d.rgb, NetpbmRgb("pcxtoppm " + out + " 2>/dev/null").rgb);
  }
}

// Four byte planes are red, green, blue and alpha, as ImageMagick writes
// and reads them (netpbm takes the fourth for an intensity): laid over
// white.
TEST(Pcx, FourBytePlanesLayTheirAlphaOverWhite) {
  TempDir dir;
  Shell("cd " + dir.path() +
        "; convert -size 19x11 gradient:cyan-brown \\( -size 11x19 gradient:white-black "
        "-rotate 90 \\) -alpha off -compose copy_opacity -composite -depth 8 a.pcx");
  const std::string out = dir.file("a.pcx");
  ASSERT_EQ(ReadFile(out)[65], 4);
  RgbImage d = ReadRgb(out);
  ASSERT_EQ(d.rc, 0u);
  EXPECT_EQ(d.rgb, PamOverWhite("convert " + out + " pam:-").rgb);
}

// A DCX file is PCX pages: each reads as ImageMagick reads it, with its
// own trailing palette. A table offset beyond the file ends the pages
// there; a file of no page is not DCX.
TEST(Pcx, DcxPagesReadAsImageMagickReadsThem) {
  TempDir dir;
  const std::string d = dir.path() + "/", dcx = d + "p.dcx";
  Shell("cd " + d +
        "; ppmpat -madras 23 11 > a.ppm; ppmpat -tartan 17 9 | pnmquant 200 > b.ppm 2>/dev/null;"
        " ppmpat -poles 31 7 | pnmquant 16 > c.ppm 2>/dev/null;"
        " convert a.ppm b.ppm -type palette c.ppm -type palette p.dcx");
  std::string file = ReadFile(dcx);
  ASSERT_EQ(file.substr(0, 4), std::string("\xB1\x68\xDE\x3A", 4));
  for (int page = 1; page <= 3; ++page) {
    SCOPED_TRACE(page);
    RgbImage ours = ReadRgb(dcx, page);
    ASSERT_EQ(ours.rc, 0u);
    EXPECT_EQ(ours.header.page_count, 3);
    EXPECT_EQ(ours.rgb,
              NetpbmRgb("convert '" + dcx + "[" + std::to_string(page - 1) + "]' ppm:-").rgb);
  }
  EXPECT_EQ(ReadRgb(dcx, 4).rc, static_cast<ReturnTp>(IFF_I_NO_MORE_PAGES));

  // The third offset pointing beyond the file: two pages.
  for (int i = 0; i < 4; ++i) file[12 + i] = static_cast<char>(i == 3 ? 0x7F : 0);
  WriteFile(dcx, file);
  EXPECT_EQ(ReadRgb(dcx, 1).header.page_count, 2);
  // No page at all.
  for (int i = 0; i < 4; ++i) file[4 + i] = 0;
  WriteFile(dcx, file);
  EXPECT_NE(ReadRgb(dcx, 1).rc, 0u);
}

TEST(Pcx, VersionsPalettesResolutionsAndCarriedRuns) {
  TempDir dir;
  const std::string path = dir.file("h.pcx");
  // 64 pixels a row: three literal bytes, then a run of ten 0xFF bytes, five
  // of which start the second row.
  WriteFile(path, Pcx(5, 1, 1, 64, 2, 8, 640, 480, std::string("\0\0\0\xCA\xFF\x0F\x0F\x0F", 8)));
  RgbImage d = ReadRgb(path);
  ASSERT_EQ(d.rc, 0u);
  EXPECT_EQ(d.header.x_resolution, 0) << "640 is a screen width";
  for (int x : {23, 24, 63, 64, 103, 104, 107, 108}) {
    SCOPED_TRACE(x);
    const bool set = (x >= 24 && x < 64) || (x >= 64 && x < 104) || (x >= 108);
    EXPECT_EQ(d.rgb[3 * x], set ? 103 : 100);  // header entries 0 and 1 of version 5
  }

  // 256 colours: version 5 without the mark keeps the header palette,
  // version 3 is a grey ramp; 300 by 300 is a resolution.
  std::string data(300, '\x07');
  data += std::string("\x0B", 1) + std::string(768, '\x55');
  WriteFile(path, Pcx(5, 8, 1, 2, 1, 2, 300, 300, data));
  d = ReadRgb(path);
  EXPECT_EQ(d.header.x_resolution, 300);
  EXPECT_EQ(d.rgb, (Bytes{121, 122, 123, 121, 122, 123}));
  WriteFile(path, Pcx(3, 8, 1, 2, 1, 2, 0, 0, data));
  EXPECT_EQ(ReadRgb(path).rgb, (Bytes{7, 7, 7, 7, 7, 7}));
  WriteFile(path, Pcx(2, 1, 4, 2, 1, 2, 0, 0, std::string("\x80\0\0\0\0\0\0\0\0\0", 8)));
  EXPECT_EQ(ReadRgb(path).rgb, (Bytes{0, 0, 168, 0, 0, 0})) << "the fixed palette";

  // Version 4 is no PCX file; version 6 and two planes are refused.
  const std::string v4 = Pcx(4, 8, 1, 2, 1, 2, 0, 0, data);
  EXPECT_NE(IfiIdentify(reinterpret_cast<const unsigned char *>(v4.data()), 128), IFF_TYPE_PCX);
  const IfiIdentifyFnTp saved = IfiIdentifyFn;
  IfiIdentifyFn = IdentifyAsPcx;
  WriteFile(path, Pcx(6, 8, 1, 2, 1, 2, 0, 0, data));
  ExpectRefused(path, "Version of PCX file is not supported");
  WriteFile(path, Pcx(5, 2, 3, 2, 1, 2, 0, 0, data));
  ExpectRefused(path, "Unsupported color mode in PCX file");
  IfiIdentifyFn = saved;
}

// A header may give rows of no bytes: every pixel is then entry 0 of the
// palette (black in true colour), in each colour mode.
TEST(Pcx, RowsOfNoBytesReadAsEntryZero) {
  TempDir dir;
  const std::string path = dir.file("empty.pcx");
  const struct {
    int bits, planes;
    unsigned char first;  // of the pixels
  } kModes[] = {{8, 1, 100}, {1, 1, 100}, {2, 1, 100}, {4, 1, 100}, {1, 4, 100}, {8, 3, 0}};
  for (const auto &m : kModes) {
    SCOPED_TRACE(std::to_string(m.bits) + " bits x " + std::to_string(m.planes));
    WriteFile(path, Pcx(5, m.bits, m.planes, 3, 2, 0, 0, 0, ""));
    RgbImage d = ReadRgb(path);
    ASSERT_EQ(d.rc, 0u);
    for (size_t i = 0; i < d.rgb.size(); i += 3) EXPECT_EQ(d.rgb[i], m.first) << "pixel " << i / 3;
    EXPECT_EQ(d.rgb.size(), 18u);
  }
}

TEST(Pcx, WrittenFilesReadBackWithNetpbm) {
  TempDir dir;
  const std::string out = dir.file("w.pcx");
  for (int colours : {2, 16, 256}) {
    SCOPED_TRACE(colours);
    Bytes lines, cmap;
    const Bytes rgb = Picture(kW, kH, colours, &lines, &cmap);
    ASSERT_EQ(WriteLines(out, IFF_TYPE_PCX, kW, kH, IFF_CM_RGB, lines, cmap), 0u);
    const std::string file = ReadFile(out);
    EXPECT_EQ(file[66], colours == 256 ? 18 : 4);
    EXPECT_EQ(NetpbmRgb("pcxtoppm " + out + " 2>/dev/null").rgb, rgb);
  }
}

}  // namespace
