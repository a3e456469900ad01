// The JPEG 2000 reader through the image file interface: files made by
// opj_compress read as opj_decompress reads them, the header reports the
// sizes of the resolution levels and the kind of coding, and pictures the
// driver cannot deliver are refused.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
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

// What opj_decompress shows of a file: its PNM or PAM output brought to
// 8 bits by netpbm (pamdepth rounds), opacity laid over white.
Bytes Oracle(const TempDir &dir, const std::string &file) {
  const std::string ref = dir.file("ref.pnm");
  std::istringstream in(Shell("opj_decompress -i " + file + " -o " + ref +
                              " >/dev/null && pamdepth 255 " + ref + " | pamtopam"));
  std::string word;
  unsigned w = 0, h = 0, depth = 0;
  while (in >> word && word != "ENDHDR") {
    if (word == "WIDTH") in >> w;
    if (word == "HEIGHT") in >> h;
    if (word == "DEPTH") in >> depth;
  }
  in.get();
  Bytes out;
  for (size_t i = 0; i < size_t(w) * h; ++i) {
    unsigned v[4] = {0, 0, 0, 255};
    for (unsigned k = 0; k < depth; ++k) v[k] = static_cast<unsigned char>(in.get());
    const unsigned a = depth == 2 || depth == 4 ? v[depth - 1] : 255;
    for (unsigned k = 0; k < 3; ++k)
      out.push_back(static_cast<unsigned char>(v[depth < 3 ? 0 : k] * a / 255 + 255 - a));
  }
  return out;
}

void WriteFile(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Raw samples for opj_compress -F: component after component, big-endian
// above 8 bits; value(c, x, y) in the component's own samples.
template <typename F>
std::string RawPlanes(int w, int h, const std::vector<std::pair<int, int>> &sub, int bits,
                      F value) {
  std::string raw;
  for (size_t c = 0; c < sub.size(); ++c) {
    const int cw = (w + sub[c].first - 1) / sub[c].first,
              ch = (h + sub[c].second - 1) / sub[c].second;
    for (int y = 0; y < ch; ++y)
      for (int x = 0; x < cw; ++x) {
        const int v = value(static_cast<int>(c), x, y) & ((1 << bits) - 1);
        if (bits > 8) raw += static_cast<char>(v >> 8);
        raw += static_cast<char>(v);
      }
  }
  return raw;
}

struct Made {
  const char *name;
  // A shell command run in the test's directory that leaves t.jp2 or
  // t.j2k there (opj_compress on pictures made by ImageMagick or netpbm,
  // or on raw samples written before).
  const char *command;
  const char *file;
  int raw_bits;        // raw samples written first as raw.raw (0: none)
  int raw_components;  // with these sub-samplings
  int sub_x, sub_y;    // of the components after the first
  bool is_signed;
  int tolerance;  // 0: pixel for pixel
};

const Made kMade[] = {
    // Opacity: RGBA and grey with alpha, in JP2 boxes (with a channel
    // definition) and as bare codestreams.
    {"RgbaJp2",
     "convert -size 40x30 gradient:red-blue \\( -size 30x40 gradient:white-black -rotate 90 \\) "
     "-alpha off -compose copy_opacity -composite -depth 8 a.png && opj_compress -i a.png -o t.jp2 "
     "-n 3",
     "t.jp2", 0, 0, 0, 0, false, 0},
    {"RgbaCodestream",
     "convert -size 21x17 xc:orange -alpha set -channel A -fx 'i/21' -depth 8 a.png && "
     "opj_compress -i a.png -o t.j2k -n 2",
     "t.j2k", 0, 0, 0, 0, false, 0},
    {"GreyAlphaJp2",
     "convert -size 23x19 gradient:gray20-gray90 \\( -size 19x23 gradient:white-black -rotate 90 "
     "\\) "
     "-alpha off -compose copy_opacity -composite -depth 8 a.png && opj_compress -i a.png -o t.jp2 "
     "-n 2",
     "t.jp2", 0, 0, 0, 0, false, 0},
    // Colour differences sampled more coarsely: 4:2:0 and 4:2:2
    // codestreams, and JP2 files that name sYCC.
    {"Ycc420Codestream", "opj_compress -i raw.raw -o t.j2k -F 30,22,3,8,u@1x1:2x2:2x2 -n 2",
     "t.j2k", 8, 3, 2, 2, false, 0},
    {"Ycc422Codestream", "opj_compress -i raw.raw -o t.j2k -F 30,22,3,8,u@1x1:2x1:2x1 -n 2",
     "t.j2k", 8, 3, 2, 1, false, 0},
    {"Ycc420Jp2", "opj_compress -i raw.raw -o t.jp2 -F 30,22,3,8,u@1x1:2x2:2x2 -n 2", "t.jp2", 8, 3,
     2, 2, false, 0},
    {"Sycc444Jp2", "opj_compress -i raw.raw -o t.jp2 -F 30,22,3,8,u -n 2 -mct 0", "t.jp2", 8, 3, 1,
     1, false, 0},
    // e-sYCC (the colour box of such a file made to say so) comes within
    // one level of OpenJPEG's: both round, through slightly different sums.
    {"Esycc444Jp2",
     "opj_compress -i raw.raw -o t.jp2 -F 30,22,3,8,u -n 2 -mct 0 && "
     "off=$(grep -obUa colr t.jp2 | cut -d: -f1) && "
     "printf '\\030' | dd of=t.jp2 bs=1 seek=$((off + 10)) conv=notrunc 2>/dev/null",
     "t.jp2", 8, 3, 1, 1, false, 1},
    // Precisions from 1 to 16 bits, signed or not, grey and colour.
    {"Grey1", "opj_compress -i raw.raw -o t.j2k -F 30,22,1,1,u -n 2", "t.j2k", 1, 1, 1, 1, false,
     0},
    {"Grey4", "opj_compress -i raw.raw -o t.j2k -F 30,22,1,4,u -n 2", "t.j2k", 4, 1, 1, 1, false,
     0},
    {"Grey4Signed", "opj_compress -i raw.raw -o t.j2k -F 30,22,1,4,s -n 2", "t.j2k", 4, 1, 1, 1,
     true, 0},
    {"Grey12", "opj_compress -i raw.raw -o t.jp2 -F 30,22,1,12,u -n 2", "t.jp2", 12, 1, 1, 1, false,
     0},
    {"Grey12Signed", "opj_compress -i raw.raw -o t.j2k -F 30,22,1,12,s -n 2", "t.j2k", 12, 1, 1, 1,
     true, 0},
    {"Grey16Signed", "opj_compress -i raw.raw -o t.j2k -F 30,22,1,16,s -n 2", "t.j2k", 16, 1, 1, 1,
     true, 0},
    {"Rgb16", "opj_compress -i raw.raw -o t.j2k -F 30,22,3,16,u -n 2", "t.j2k", 16, 3, 1, 1, false,
     0},
    {"Rgb5Signed", "opj_compress -i raw.raw -o t.j2k -F 30,22,3,5,s -n 2", "t.j2k", 5, 3, 1, 1,
     true, 0},
    {"GreyAlpha5Signed", "opj_compress -i raw.raw -o t.j2k -F 30,22,2,5,s -n 2", "t.j2k", 5, 2, 1,
     1, true, 0},
    {"Rgba16",
     "convert -size 25x20 gradient:yellow-navy \\( -size 20x25 gradient:white-black -rotate 90 \\) "
     "-alpha off -compose copy_opacity -composite -depth 16 a.png && opj_compress -i a.png -o "
     "t.jp2 -n 2",
     "t.jp2", 0, 0, 0, 0, false, 0},
};

class IfdJ2kMade : public IfdJ2k, public ::testing::WithParamInterface<Made> {};

TEST_P(IfdJ2kMade, AsOpenJpegShowsIt) {
  const Made &m = GetParam();
  if (m.raw_bits) {
    std::vector<std::pair<int, int>> sub(size_t(m.raw_components), {m.sub_x, m.sub_y});
    sub[0] = {1, 1};
    // Every component sweeps its whole range, crossing the others.
    const int top = (1 << m.raw_bits) - 1;
    WriteFile(dir_.file("raw.raw"), RawPlanes(30, 22, sub, m.raw_bits, [&](int c, int x, int y) {
                return (x * (top / 29 + 1) + y * (c * 7 + 3) * (top / 63 + 1) + c * top / 3) %
                       (top + 1);
              }));
  }
  Shell("cd " + dir_.path() + " && " + m.command + " >/dev/null");
  const std::string file = dir_.file(m.file);
  const RgbImage ours = ReadRgb(file);
  ASSERT_EQ(ours.rc, 0u);
  const Bytes theirs = Oracle(dir_, file);
  ASSERT_EQ(ours.rgb.size(), theirs.size());
  int worst = 0;
  size_t differ = 0;
  for (size_t i = 0; i < theirs.size(); ++i) {
    worst = std::max(worst, std::abs(ours.rgb[i] - theirs[i]));
    differ += ours.rgb[i] != theirs[i];
  }
  EXPECT_LE(worst, m.tolerance) << differ << " samples differ";
}

void PrintTo(const Made &m, std::ostream *os) { *os << m.name; }

INSTANTIATE_TEST_SUITE_P(Files, IfdJ2kMade, ::testing::ValuesIn(kMade),
                         [](const testing::TestParamInfo<Made> &i) {
                           return std::string(i.param.name);
                         });

void Put(std::string &b, uint32_t v, int bytes) {
  while (bytes-- > 0) b += static_cast<char>(v >> (8 * bytes));
}

// A JP2 file of palette indexes: an opj_compress file of one component
// given an sRGB colour box, a palette of `held` entries of red, green and
// blue that claims `counted`, and the mapping of its three columns.
std::string PaletteJp2(const TempDir &dir, int counted, int held) {
  WriteFile(dir.file("raw.raw"), RawPlanes(30, 22, {{1, 1}}, 8, [&](int, int x, int y) {
              return (x + 3 * y) % (held + 3);  // a few indexes beyond the end
            }));
  Shell("cd " + dir.path() + " && opj_compress -i raw.raw -o i.jp2 -F 30,22,1,8,u -n 2 >/dev/null");
  std::string jp2 = ReadFile(dir.file("i.jp2"));
  std::string boxes;
  Put(boxes, 8 + 3 + 3 + 3 * held, 4);
  boxes += "pclr";
  Put(boxes, counted, 2);
  Put(boxes, 3, 1);
  for (int c = 0; c < 3; ++c) Put(boxes, 7, 1);  // 8-bit unsigned columns
  for (int e = 0; e < held; ++e)
    for (int c = 0; c < 3; ++c) Put(boxes, (e * (40 + 50 * c) + 17 * c) % 256, 1);
  Put(boxes, 8 + 12, 4);
  boxes += "cmap";
  for (int c = 0; c < 3; ++c) Put(boxes, 1 << 8 | c, 4);  // component 0, through column c
  const size_t header = jp2.find("jp2h") - 4, colr = jp2.find("colr");
  jp2[colr + 10] = 16;  // sRGB
  const uint32_t length = IfuGetBe32(reinterpret_cast<const uint8_t *>(&jp2[header]));
  jp2.insert(header + length, boxes);
  std::string fixed;
  Put(fixed, length + static_cast<uint32_t>(boxes.size()), 4);
  jp2.replace(header, 4, fixed);
  return jp2;
}

TEST_F(IfdJ2k, Palette) {
  const std::string file = dir_.file("p.jp2");
  WriteFile(file, PaletteJp2(dir_, 37, 37));
  const RgbImage ours = ReadRgb(file);
  ASSERT_EQ(ours.rc, 0u);
  EXPECT_EQ(ours.rgb, Oracle(dir_, file));

  // A palette that counts more entries than its box holds.
  WriteFile(file, PaletteJp2(dir_, 37, 36));
  ExpectRefused(file, "JtkGetMainHeader: Palette box holds fewer entries than it counts");
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

// A component coding style (COC) with fewer levels than the default: the
// levels listed are those every component has, so that a small output
// size reads the whole picture at the coarsest level there is, not a
// corner of it. The file is a 3-level codestream whose default is made
// to claim 6 levels while a COC keeps the 3 the data was coded with.
TEST_F(IfdJ2k, LevelsOfAComponentStyleBoundTheList) {
  const std::string src = dir_.file("src.pgm"), plain = dir_.file("plain.j2k");
  Shell("pgmramp -ellipse 200 160 > " + src + " && opj_compress -i " + src + " -o " + plain +
        " -n 4 >/dev/null");
  std::string f = ReadFile(plain);
  const size_t cod = f.find("\xFF\x52");
  ASSERT_NE(cod, std::string::npos);
  const size_t lcod =
      static_cast<unsigned char>(f[cod + 2]) << 8 | static_cast<unsigned char>(f[cod + 3]);
  // Lcod, Scod and the progression, layers and transform take 7 bytes;
  // the rest, from the levels on, is what a COC repeats.
  const std::string coding = f.substr(cod + 9, lcod - 7);
  ASSERT_EQ(coding[0], 3);
  std::string coc = "\xFF\x53";
  coc += static_cast<char>(0);
  coc += static_cast<char>(4 + coding.size());
  coc += std::string(1, '\0') + static_cast<char>(f[cod + 4] & 1) + coding;
  f.insert(cod + 2 + lcod, coc);
  f[cod + 9] = 6;
  const std::string edited = dir_.file("edited.j2k");
  WriteFile(edited, f);

  const RgbImage ours = ReadRgb(edited), theirs = ReadRgb(plain);
  ASSERT_EQ(ours.rc, 0u);
  ASSERT_EQ(ours.header.level_count, 5);
  EXPECT_EQ(std::vector<int32_t>(ours.header.level_sizes, ours.header.level_sizes + 10),
            std::vector<int32_t>(theirs.header.level_sizes, theirs.header.level_sizes + 10));
  EXPECT_EQ(ours.rgb, theirs.rgb);
  // 12 pixels wide would take the 4th level (13 x 10) if 6 were listed.
  for (const std::string &in : {plain, edited})
    ASSERT_EQ(RunProgram({PV_PVCONVERT, "-size", "12", in, in + ".pgm"}).status, 0);
  EXPECT_EQ(ReadFile(edited + ".pgm"), ReadFile(plain + ".pgm"));
}

TEST_F(IfdJ2k, Refusals) {
  // A codestream whose marker segment runs past the end: the codec's
  // message, under its entry point.
  const std::string src = dir_.file("src.pgm"), cut = dir_.file("cut.j2k");
  Shell("pgmramp -lr 16 16 > " + src + " && opj_compress -i " + src + " -o " + cut +
        " -n 2 >/dev/null && truncate -s 60 " + cut);
  ExpectRefused(cut, "JtkGetMainHeader: ");
}

}  // namespace
