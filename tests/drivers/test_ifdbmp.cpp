// The BMP driver against netpbm and ImageMagick, both ways, and on
// hand-made files for the run-length escapes and hostile headers.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "rasterio.h"
#include "runprog.h"

namespace {

constexpr int32_t kW = 37, kH = 23;  // odd sizes catch padding faults

uint32_t Le32(const std::string &file, size_t at) {
  return static_cast<unsigned char>(file[at]) | static_cast<unsigned char>(file[at + 1]) << 8 |
         static_cast<unsigned char>(file[at + 2]) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(file[at + 3])) << 24;
}

void PutLe32(std::string *file, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*file)[at + i] = static_cast<char>(v >> (8 * i));
}

// A Windows bitmap of our own making: 40-byte header, palette, data.
std::string Bmp(int32_t w, int32_t h, int bits, int compression, const Bytes &palette,
                const std::string &data) {
  std::string f(54, '\0');
  f[0] = 'B';
  f[1] = 'M';
  PutLe32(&f, 10, static_cast<uint32_t>(54 + palette.size()));
  PutLe32(&f, 14, 40);
  PutLe32(&f, 18, static_cast<uint32_t>(w));
  PutLe32(&f, 22, static_cast<uint32_t>(h));
  f[26] = 1;
  f[28] = static_cast<char>(bits);
  PutLe32(&f, 30, static_cast<uint32_t>(compression));
  return f + std::string(palette.begin(), palette.end()) + data;
}

Bytes GreyPalette(int entries) {
  Bytes p;
  for (int i = 0; i < entries; ++i)
    p.insert(p.end(), {static_cast<unsigned char>(i), static_cast<unsigned char>(i),
                       static_cast<unsigned char>(i), 0});
  return p;
}

// Indexes of a grey-palette file: the red byte of each pixel.
Bytes Indexes(const Bytes &rgb) {
  Bytes out;
  for (size_t i = 0; i < rgb.size(); i += 3) out.push_back(rgb[i]);
  return out;
}

TEST(Bmp, FilesOfTheOraclesReadAsTheyDecodeThem) {
  TempDir dir;
  const std::string im = "/usr/bin/convert";
  struct Case {
    int colours;
    std::string make;  // {in} the PPM, {out} the BMP
    int bits, compression, header;
  } cases[] = {
      {2, "ppmtobmp -bpp 1 {in}", 1, 0, 40},
      {16, "ppmtobmp -bpp 4 {in}", 4, 0, 40},
      {256, "ppmtobmp -bpp 8 {in}", 8, 0, 40},
      {0, "ppmtobmp -bpp 24 {in}", 24, 0, 40},
      {256, "ppmtobmp -os2 -bpp 8 {in}", 8, 0, 12},
      {0, "ppmtobmp -os2 -bpp 24 {in}", 24, 0, 12},
      {200, im + " {in} -type palette -compress rle bmp3:-", 8, 1, 40},
      {0, im + " {in} -define bmp:subtype=RGB565 bmp:-", 16, 3, 124},
      {0, im + " {in} -define bmp:subtype=RGB555 bmp:-", 16, 3, 124},
      {0, im + " {in} -alpha set -define bmp:subtype=ARGB8888 bmp:-", 32, 3, 124},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.make);
    Bytes lines, cmap;
    const Bytes rgb = Picture(kW, kH, c.colours, &lines, &cmap);
    const std::string in = dir.file("in.ppm"), out = dir.file("out.bmp");
    WriteFile(in, PpmOf(kW, kH, rgb));
    std::string make = c.make;
    make.replace(make.find("{in}"), 4, in);
    Shell(make + " 2>/dev/null > " + out);
    const std::string file = ReadFile(out);
    ASSERT_EQ(Le32(file, 14), static_cast<uint32_t>(c.header));
    if (c.header == 40) {
      ASSERT_EQ(file[28], c.bits);
      ASSERT_EQ(Le32(file, 30), static_cast<uint32_t>(c.compression));
    }
    RgbImage d = ReadRgb(out);
    ASSERT_EQ(d.rc, 0u);
    EXPECT_EQ(FXIBitsPerPixel, c.bits);
    // Bottom-up rows: run-length ones in file order, the others top first.
    const bool file_order = c.compression == 1 || c.compression == 2;
    EXPECT_EQ(d.header.orientation, file_order ? 2 : 0);
    EXPECT_EQ(d.header.mirrored, file_order ? 1 : 0);
    // bmptopnm refuses the runs ImageMagick writes.
    const std::string oracle = c.compression == 1 ? im + " " + out + " ppm:-" : "bmptopnm " + out;
    EXPECT_EQ(d.rgb, NetpbmRgb(oracle + " 2>/dev/null").rgb);
    if (c.bits != 16) {
      EXPECT_EQ(d.rgb, rgb);
    }
  }

  // The same rows stored top row first, with a negative height.
  Bytes lines, cmap;
  const Bytes rgb = Picture(kW, kH, 0, &lines, &cmap);
  WriteFile(dir.file("in.ppm"), PpmOf(kW, kH, rgb));
  std::string file = Shell("ppmtobmp -bpp 24 " + dir.file("in.ppm") + " 2>/dev/null");
  const size_t stride = (3 * kW + 3) / 4 * 4;
  std::string top_down = file.substr(0, 54);
  PutLe32(&top_down, 22, static_cast<uint32_t>(-kH));
  for (int y = kH - 1; y >= 0; --y) top_down += file.substr(54 + y * stride, stride);
  WriteFile(dir.file("td.bmp"), top_down);
  RgbImage d = ReadRgb(dir.file("td.bmp"));
  EXPECT_EQ(d.header.orientation, 0);
  EXPECT_EQ(d.header.mirrored, 0);
  EXPECT_EQ(d.rgb, rgb);
}

// Alpha masks of the longer headers, as ImageMagick writes them (V4 and
// V5), show as ImageMagick reads them, laid over white; a 32-bit file
// without channel masks has no alpha, whatever its fourth bytes hold.
TEST(Bmp, AlphaMasksAreLaidOverWhite) {
  TempDir dir;
  Shell("cd " + dir.path() +
        "; convert -size 33x21 gradient:teal-pink \\( -size 21x33 gradient:white-black "
        "-rotate 90 \\) -alpha off -compose copy_opacity -composite -depth 8 a.png");
  const std::string v5 = dir.file("v5.bmp"), v4 = dir.file("v4.bmp"), plain = dir.file("p.bmp");
  Shell("convert " + dir.file("a.png") + " -define bmp:subtype=ARGB8888 " + v5);
  // The same file with the V4 header's length, and without channel masks.
  std::string file = ReadFile(v5);
  PutLe32(&file, 14, 108);
  WriteFile(v4, file);
  PutLe32(&file, 30, 0);
  WriteFile(plain, file);
  for (const std::string &f : {v5, v4, plain}) {
    SCOPED_TRACE(f);
    RgbImage ours = ReadRgb(f);
    ASSERT_EQ(ours.rc, 0u);
    EXPECT_EQ(ours.rgb, PamOverWhite("convert " + f + " pam:-").rgb);
  }
}

// A file's info header grown or cut to `size` bytes (zeros added), its
// colour map rewritten with entries of `entry` bytes, offsets made right.
std::string Reheader(const std::string &file, uint32_t size, int entries = 0, int entry = 4) {
  const uint32_t old = Le32(file, 14), offset = Le32(file, 10);
  std::string info = file.substr(14, old);
  info.resize(size, '\0');
  PutLe32(&info, 0, size);
  std::string map;
  for (int i = 0; i < entries; ++i) map += file.substr(14 + old + 4 * i, entry);
  std::string f = file.substr(0, 14) + info + map + file.substr(offset);
  PutLe32(&f, 2, static_cast<uint32_t>(f.size()));
  PutLe32(&f, 10, 14 + size + static_cast<uint32_t>(map.size()));
  return f;
}

// OS/2 2.x headers (64 bytes) and the short Windows header with masks (56
// bytes) read as ImageMagick reads them. ImageMagick takes 3-byte
// map entries after a 64-byte header; the format's own are 4 bytes, told
// apart by the room before the pixels.
TEST(Bmp, HeadersOfOtherLengths) {
  TempDir dir;
  Bytes lines, cmap;
  const Bytes rgb = Picture(kW, kH, 256, &lines, &cmap);
  WriteFile(dir.file("in.ppm"), PpmOf(kW, kH, rgb));
  const std::string w8 = Shell("ppmtobmp -bpp 8 " + dir.file("in.ppm") + " 2>/dev/null");
  const std::string w24 = Shell("ppmtobmp -bpp 24 " + dir.file("in.ppm") + " 2>/dev/null");
  Shell("cd " + dir.path() +
        "; convert in.ppm \\( -size 23x37 gradient:white-black -rotate 90 \\) -alpha off "
        "-compose copy_opacity -composite -define bmp:subtype=ARGB8888 a.bmp");
  const std::string argb = ReadFile(dir.file("a.bmp"));
  const struct {
    const char *what;
    std::string file;
    bool as_imagemagick;  // else: the picture itself
  } cases[] = {
      {"OS/2 2.x, 24 bits", Reheader(w24, 64), true},
      {"OS/2 2.x, 3-byte map", Reheader(w8, 64, 256, 3), true},
      {"OS/2 2.x, 4-byte map", Reheader(w8, 64, 256, 4), false},
      {"Windows 56, alpha mask", Reheader(argb, 56), true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.file("h.bmp");
    WriteFile(path, c.file);
    RgbImage ours = ReadRgb(path);
    ASSERT_EQ(ours.rc, 0u);
    EXPECT_EQ(ours.rgb, c.as_imagemagick ? PamOverWhite("convert " + path + " pam:-").rgb : rgb);
  }
}

TEST(Bmp, RunLengthEscapesAndBitFields) {
  TempDir dir;
  struct Case {
    const char *what;
    int32_t w, h;
    int bits, compression;
    std::string data;
    Bytes indexes;  // top row first
  } cases[] = {
      // Literal of 3: two data bytes, no pad; of 5: three bytes and a pad.
      {"rle4 literals 3 and 5",
       8,
       1,
       4,
       2,
       std::string("\0\3\x12\x30\0\5\x45\x67\x80\0\0\0\0\1", 14),
       {1, 2, 3, 4, 5, 6, 7, 8}},
      {"rle4 run alternates nibbles, cut at the row end",
       5,
       1,
       4,
       2,
       std::string("\7\x9A\0\1", 4),
       {9, 10, 9, 10, 9}},
      // Literal of 3 in 8 bits: three data bytes and one pad.
      {"rle8 literal, delta, run past the row",
       6,
       2,
       8,
       1,
       std::string("\0\3\x0B\x0C\x0D\0"
                   "\0\2\1\0"
                   "\5\x7F"
                   "\0\0"
                   "\1\x21\1\x22\0\1",
                   20),
       {0x21, 0x22, 0, 0, 0, 0, 0x0B, 0x0C, 0x0D, 0, 0x7F, 0x7F}},
      {"end of bitmap leaves the rest at index 0",
       2,
       3,
       8,
       1,
       std::string("\2\5\0\1\3\3", 6),
       {0, 0, 0, 0, 5, 5}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(dir.file("r.bmp"),
              Bmp(c.w, c.h, c.bits, c.compression, GreyPalette(1 << c.bits), c.data));
    RgbImage d = ReadRgb(dir.file("r.bmp"));
    ASSERT_EQ(d.rc, 0u);
    EXPECT_EQ(Indexes(d.rgb), c.indexes);
  }

  // 16 bits without masks are 5-5-5: 31 is 255, 16 is 131.
  const uint16_t pixel = 31 << 10 | 16 << 5 | 1;
  WriteFile(dir.file("s.bmp"),
            Bmp(1, 1, 16, 0, {},
                std::string{static_cast<char>(pixel), static_cast<char>(pixel >> 8), 0, 0}));
  EXPECT_EQ(ReadRgb(dir.file("s.bmp")).rgb, (Bytes{255, 131, 8}));
}

TEST(Bmp, HeaderFieldsGiveResolutionAndAspect) {
  TempDir dir;
  struct Case {
    int32_t w, h, x_ppm, y_ppm;
    double x_dpi, y_dpi;
    int32_t aspect_x, aspect_y;
  } cases[] = {
      {3, 2, 11811, 11811, 300, 300, 1000, 1000},   // exactly 300 dpi
      {3, 2, 2835, 5670, 72, 144.018, 2000, 1000},  // 144.018 is not a whole number
      {640, 350, 0, 0, 0, 0, 1400, 1920},           // a screen mode's aspect
  };
  for (const Case &c : cases) {
    std::string f = Bmp(c.w, c.h, 24, 0, {}, std::string(4 * c.w * c.h, '\0'));
    PutLe32(&f, 38, static_cast<uint32_t>(c.x_ppm));
    PutLe32(&f, 42, static_cast<uint32_t>(c.y_ppm));
    WriteFile(dir.file("a.bmp"), f);
    RgbImage d = ReadRgb(dir.file("a.bmp"));
    EXPECT_NEAR(d.header.x_resolution, c.x_dpi, 0.001);
    EXPECT_NEAR(d.header.y_resolution, c.y_dpi, 0.001);
    EXPECT_EQ(d.header.aspect_x, c.aspect_x);
    EXPECT_EQ(d.header.aspect_y, c.aspect_y);
  }
}

TEST(Bmp, WrittenFilesReadBackWithNetpbm) {
  TempDir dir;
  const std::string out = dir.file("w.bmp");
  std::vector<int32_t> order;
  for (int32_t y = 0; y < kH; ++y) order.push_back((y * 7) % kH);  // any order
  for (int colours : {2, 16, 256, 0}) {
    SCOPED_TRACE(colours);
    Bytes lines, cmap;
    const Bytes rgb = Picture(kW, kH, colours, &lines, &cmap);
    ASSERT_EQ(WriteLines(out, IFF_TYPE_BMP, kW, kH, IFF_CM_RGB, lines, cmap, order), 0u);
    EXPECT_EQ(NetpbmRgb("bmptopnm " + out + " 2>/dev/null").rgb, rgb);
  }
}

// A bottom-up file is read from its end in blocks of rows (here two, the
// second partial) and handed over top first; one cut short is read in
// file order, its missing top rows entry 0, as before.
TEST(Bmp, BottomUpFilesComeTopFirstWhenWhole) {
  TempDir dir;
  const std::string pbm = dir.file("in.pbm"), bmp = dir.file("in.bmp");
  Shell("pbmmake -g 8003 1100 | pnmcut 0 0 8003 1100 > " + pbm + "; ppmtobmp " + pbm + " > " + bmp +
        " 2>/dev/null");
  const RgbImage whole = ReadRgb(bmp);
  ASSERT_EQ(whole.rc, 0u);
  EXPECT_EQ(whole.header.orientation, 0);
  EXPECT_EQ(whole.rgb, NetpbmRgb("cat " + pbm).rgb);

  const std::string file = ReadFile(bmp);
  const size_t stride = 1004, kept = 700;  // rows of the bottom
  WriteFile(bmp, file.substr(0, file.size() - (1100 - kept) * stride));
  const RgbImage cut = ReadRgb(bmp);
  EXPECT_EQ(cut.header.orientation, 2);
  Bytes expected = NetpbmRgb("cat " + pbm).rgb;
  std::fill(expected.begin(), expected.begin() + (1100 - kept) * 8003 * 3, 0);
  EXPECT_EQ(cut.rgb, expected);
}

TEST(Bmp, BadHeadersFailWithTheirMessage) {
  TempDir dir;
  const std::string good = Bmp(2, 2, 24, 0, {}, std::string(16, '\0'));
  struct Case {
    const char *what;
    size_t at;
    uint32_t value;
    const char *message;
  } cases[] = {
      {"data offset beyond the file", 10, 1000, "Unexpected End-Of-File"},
      {"info header of 20 bytes", 14, 20, "Invalid argument"},
      {"compression 4", 30, 4, "Cannot read file"},
      {"0 bits", 28, 0, "Unsupported BMP format"},
      {"64 bits", 28, 64, "Unsupported BMP format"},
      {"run-length with 24 bits", 30, 1, "Unsupported BMP format"},
      {"width 2^31", 18, 0x80000000u, "Strange width of the image"},
      {"height -2^31", 22, 0x80000000u, "Strange height of the image"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string f = good;
    if (c.at == 28)
      f[28] = static_cast<char>(c.value);
    else
      PutLe32(&f, c.at, c.value);
    WriteFile(dir.file("bad.bmp"), f);
    ExpectRefused(dir.file("bad.bmp"), c.message);
  }
}

}  // namespace
