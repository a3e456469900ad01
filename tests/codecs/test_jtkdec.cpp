// The JPEG 2000 decoder against OpenJPEG: files made by opj_compress with
// every coding option decode as opj_decompress decodes them (exactly when
// reversible, within one level when not), and hostile or damaged
// codestreams end in the table's messages.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "codecs.h"
#include "jtk.h"
#include "runprog.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Pnm {
  int32_t w = 0, h = 0, comps = 0, maxval = 0;
  std::vector<int32_t> samples;  // interleaved
};

// A picture with smooth ramps, edges and noise, so that every pass and
// band has work; odd sizes exercise the partial code-blocks.
Pnm MakePicture(int32_t w, int32_t h, int32_t comps, int32_t bits) {
  Pnm p{w, h, comps, (1 << bits) - 1, {}};
  uint32_t seed = 12345;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      for (int32_t c = 0; c < comps; ++c) {
        seed = seed * 1103515245u + 12345u;
        int32_t v = (x * (3 + c) + y * 5) << (bits - 8);
        if ((x / 9 + y / 7) % 3 == 0) v = p.maxval - v / 2;
        v += static_cast<int32_t>((seed >> 16) % 24) << (bits - 8);
        p.samples.push_back(std::max(0, std::min(p.maxval, v)));
      }
  return p;
}

void WritePnm(const std::string &path, const Pnm &p) {
  std::string out = (p.comps == 3 ? "P6\n" : "P5\n") + std::to_string(p.w) + " " +
                    std::to_string(p.h) + "\n" + std::to_string(p.maxval) + "\n";
  for (int32_t v : p.samples) {
    if (p.maxval > 255) out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v & 255));
  }
  WriteFile(path, out);
}

// opj_decompress's picture, through its plain form.
Pnm OracleDecode(const std::string &file, const std::string &args, const std::string &ext) {
  const std::string out = file + ".ref." + ext;
  std::istringstream in(ShellOutput("opj_decompress -i " + file + " -o " + out + " " + args +
                                    " >/dev/null && pnmtoplainpnm " + out));
  Pnm p;
  std::string magic;
  in >> magic >> p.w >> p.h >> p.maxval;
  p.comps = magic == "P3" ? 3 : 1;
  int32_t v;
  while (in >> v) p.samples.push_back(v);
  return p;
}

Bytes ReadBytes(const std::string &path) {
  const std::string s = ReadFile(path);
  return Bytes(s.begin(), s.end());
}

struct Decoded {
  int32_t rc = 0;
  JtkImageTp *image = nullptr;
  std::string message, entry;
  ~Decoded() { JtkFreeImage(&image); }
};

void Decode(const Bytes &data, int32_t jp2, Decoded &d, int32_t reduce = 0, int32_t layers = 0) {
  JtkContextTp *context = JtkCreateContext(nullptr, nullptr);
  JtkSetHandlerMode(context, JTK_HANDLER_QUIET);
  JtkParamTp param{};
  param.jp2 = jp2;
  param.reduce = reduce;
  param.max_layers = layers;
  d.rc = Jp2Decompress(context, &param, data.data(), data.size(), &d.image);
  if (const JtkErrorRecordTp *e = JtkGetError(context, 0)) {
    d.message = e->message;
    d.entry = e->entry;
  }
  JtkDestroyContext(&context);
}

// Our picture against the oracle's: sizes, and every sample within `tolerance`.
void ExpectSame(const JtkImageTp *image, const Pnm &ref, int32_t tolerance) {
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(image->width, ref.w);
  ASSERT_EQ(image->height, ref.h);
  ASSERT_EQ(image->components, ref.comps);
  ASSERT_EQ(ref.samples.size(), size_t(ref.w) * ref.h * ref.comps);
  int32_t worst = 0;
  for (size_t i = 0; i < ref.samples.size(); ++i) {
    const int32_t ours = image->comp[i % ref.comps].data[i / ref.comps];
    worst = std::max(worst, std::abs(ours - ref.samples[i]));
  }
  EXPECT_LE(worst, tolerance);
}

struct Case {
  const char *name;
  int32_t w, h, comps, bits;
  const char *ext;  // j2k or jp2
  const char *args;
};

// Reversible cases are exact; -I ones within a level.
const Case kCases[] = {
    {"Plain", 61, 43, 3, 8, "jp2", ""},
    {"Grey", 61, 43, 1, 8, "j2k", ""},
    {"Twelve", 45, 33, 1, 12, "j2k", ""},
    {"TwelveLossy", 45, 33, 1, 12, "jp2", "-I -r 8"},
    {"Lossy", 61, 43, 3, 8, "j2k", "-I"},
    {"Rates", 61, 43, 3, 8, "j2k", "-r 40,10,2"},
    {"LossyRates", 61, 43, 3, 8, "jp2", "-I -r 30,8"},
    {"Tiles", 70, 50, 3, 8, "j2k", "-t 32,24 -n 3"},
    {"TilesOffsets", 70, 50, 3, 8, "j2k", "-t 40,30 -d 37,21 -T 30,10 -n 3 -I -r 12"},
    {"Levels", 61, 43, 1, 8, "j2k", "-n 2"},
    {"ManyLevels", 61, 43, 1, 8, "j2k", "-n 6"},
    {"Lrcp", 61, 43, 3, 8, "j2k", "-p LRCP -c [32,32],[16,16] -r 30,10,1"},
    {"Rlcp", 61, 43, 3, 8, "j2k", "-p RLCP -c [32,32],[16,16] -r 30,10,1"},
    {"Rpcl", 61, 43, 3, 8, "j2k", "-p RPCL -c [32,32],[16,16] -r 30,10,1"},
    {"Pcrl", 61, 43, 3, 8, "j2k", "-p PCRL -c [32,32],[16,16] -r 30,10,1 -I"},
    {"Cprl", 61, 43, 3, 8, "j2k", "-p CPRL -c [32,32],[16,16] -r 30,10,1"},
    {"Poc", 61, 43, 3, 8, "j2k", "-n 3 -r 20,10,1 -POC T1=0,0,1,3,3,CPRL/T1=0,0,2,4,3,LRCP"},
    {"SmallBlocks", 61, 43, 1, 8, "j2k", "-b 8,8"},
    {"WideBlocks", 61, 43, 1, 8, "j2k", "-b 64,16 -I"},
    {"Bypass", 61, 43, 3, 8, "j2k", "-M 1 -r 20,5"},
    {"Reset", 61, 43, 1, 8, "j2k", "-M 2"},
    {"Restart", 61, 43, 1, 8, "j2k", "-M 4 -r 20,5"},
    {"Causal", 61, 43, 1, 8, "j2k", "-M 8"},
    {"Erterm", 61, 43, 1, 8, "j2k", "-M 16"},
    {"Segmark", 61, 43, 1, 8, "j2k", "-M 32"},
    {"AllModes", 61, 43, 3, 8, "j2k", "-M 63 -r 20,5 -I"},
    {"Markers", 61, 43, 3, 8, "j2k", "-SOP -EPH -PLT -TLM -TP R -t 32,32 -n 3"},
    {"Roi", 61, 43, 3, 8, "j2k", "-ROI c=0,U=4"},
    {"RoiLossy", 61, 43, 3, 8, "j2k", "-ROI c=1,U=3 -I -r 10"},
    {"NoMct", 61, 43, 3, 8, "j2k", "-mct 0"},
    {"Subsampled", 61, 43, 3, 8, "j2k", "-s 2,2"},
    {"OneByOne", 1, 1, 1, 8, "j2k", "-n 1"},
    // Taller than a row of code-blocks and a window of rows at every
    // level: the rows are made in many strips.
    {"TallStrips", 90, 700, 1, 8, "j2k", "-b 16,16 -n 5"},
    {"TallLossy", 70, 600, 3, 8, "jp2", "-I -b 8,32 -n 4"},
    {"TallTiles", 150, 500, 3, 8, "j2k", "-t 64,200 -b 16,16 -n 3"},
    {"TallOffsets", 80, 400, 1, 8, "j2k", "-d 3,5 -b 32,8 -n 6 -I"},
};

class JtkDecode : public ::testing::TestWithParam<Case> {};

TEST_P(JtkDecode, MatchesOpenJpeg) {
  const Case &c = GetParam();
  TempDir dir;
  const std::string ext = c.comps == 3 ? "ppm" : "pgm";
  const std::string in = dir.file("in." + ext), file = dir.file(std::string("t.") + c.ext);
  WritePnm(in, MakePicture(c.w, c.h, c.comps, c.bits));
  ShellOutput("opj_compress -i " + in + " -o " + file + " " + c.args + " >/dev/null");
  const Pnm ref = OracleDecode(file, "", ext);
  Decoded d;
  Decode(ReadBytes(file), std::string(c.ext) == "jp2", d);
  ASSERT_EQ(d.rc, 0) << d.message;
  const bool lossy = std::string(c.args).find("-I") != std::string::npos;
  ExpectSame(d.image, ref, lossy ? 1 : 0);
}

// Cases print as their names (in test listings too).
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

INSTANTIATE_TEST_SUITE_P(Options, JtkDecode, ::testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case> &i) {
                           return std::string(i.param.name);
                         });

// Leaving out resolution levels and layers gives what OpenJPEG gives with
// the same limits.
TEST(JtkDecodeLimits, ReduceAndLayers) {
  TempDir dir;
  const std::string in = dir.file("in.ppm"), file = dir.file("t.j2k");
  WritePnm(in, MakePicture(67, 45, 3, 8));
  for (const char *mode : {"", "-I"}) {
    ShellOutput("opj_compress -i " + in + " -o " + file + " -n 4 -r 40,10,1 " + mode +
                " >/dev/null");
    const Bytes data = ReadBytes(file);
    const int32_t tolerance = *mode ? 1 : 0;
    for (int32_t reduce : {1, 3}) {
      SCOPED_TRACE(std::string(mode) + " reduce " + std::to_string(reduce));
      Decoded d;
      Decode(data, 0, d, reduce, 0);
      ASSERT_EQ(d.rc, 0) << d.message;
      ExpectSame(d.image, OracleDecode(file, "-r " + std::to_string(reduce), "ppm"), tolerance);
    }
    for (int32_t layers : {1, 2}) {
      SCOPED_TRACE(std::string(mode) + " layers " + std::to_string(layers));
      Decoded d;
      Decode(data, 0, d, 0, layers);
      ASSERT_EQ(d.rc, 0) << d.message;
      ExpectSame(d.image, OracleDecode(file, "-l " + std::to_string(layers), "ppm"), tolerance);
    }
  }
}

// Rows asked for in any order come out as the whole picture has them:
// a channel after another reads the rows of tiles again.
TEST(JtkDecodeRows, AnyOrderMatchesWhole) {
  TempDir dir;
  const std::string in = dir.file("in.ppm"), file = dir.file("t.j2k");
  WritePnm(in, MakePicture(90, 300, 3, 8));
  const char *const kArgs[] = {"-t 40,64 -b 16,16 -n 3 -I", "-s 2,2 -b 8,8 -n 4"};
  for (const char *args : kArgs) {
    SCOPED_TRACE(args);
    ShellOutput("opj_compress -i " + in + " -o " + file + " " + args + " >/dev/null");
    const Bytes data = ReadBytes(file);
    Decoded whole;
    Decode(data, 0, whole);
    ASSERT_EQ(whole.rc, 0) << whole.message;
    JtkContextTp *context = JtkCreateContext(nullptr, nullptr);
    JtkSetHandlerMode(context, JTK_HANDLER_QUIET);
    JtkParamTp param{};
    JtkDecoderTp *decoder = nullptr;
    ASSERT_EQ(JtkOpenDecoder(context, &param, data.data(), data.size(), &decoder), 0);
    const JtkImageTp *layout = JtkDecoderImage(decoder);
    ASSERT_EQ(layout->components, whole.image->components);
    int32_t wrong = 0;
    for (int32_t c = 0; c < layout->components; ++c) {
      const JtkComponentTp &comp = whole.image->comp[c];
      ASSERT_EQ(layout->comp[c].height, comp.height);
      for (int32_t y = 0; y < comp.height; y += 1 + (y % 3 == 0)) {
        const int32_t *row = nullptr;
        ASSERT_EQ(JtkDecodeRow(context, decoder, c, y, &row), 0);
        wrong += memcmp(row, comp.data + size_t(y) * comp.width, size_t(comp.width) * 4) != 0;
      }
    }
    EXPECT_EQ(wrong, 0);
    const int32_t *row = nullptr;
    EXPECT_LT(JtkDecodeRow(context, decoder, 0, layout->comp[0].height, &row), 0);
    EXPECT_LT(JtkDecodeRow(context, decoder, layout->components, 0, &row), 0);
    JtkCloseDecoder(&decoder);
    JtkDestroyContext(&context);
  }
}

// A resolution level of pictures made in many strips, of tiles and of
// orders that put the levels left out last, as opj_decompress -r makes it.
TEST(JtkDecodeLimits, ReducedLevelsOfStripsAndOrders) {
  TempDir dir;
  const std::string in = dir.file("in.pgm"), file = dir.file("t.j2k");
  WritePnm(in, MakePicture(83, 520, 1, 8));
  const char *const kArgs[] = {"-n 5 -b 16,16", "-n 5 -b 8,8 -I -r 10",
                               "-n 5 -t 48,160 -b 16,16 -p RPCL", "-n 5 -d 5,3 -p RLCP -r 20,4,1"};
  for (const char *args : kArgs) {
    ShellOutput("opj_compress -i " + in + " -o " + file + " " + args + " >/dev/null");
    const Bytes data = ReadBytes(file);
    const int32_t tolerance = strstr(args, "-I") ? 1 : 0;
    for (int32_t reduce : {1, 2, 4}) {
      SCOPED_TRACE(std::string(args) + " reduce " + std::to_string(reduce));
      Decoded d;
      Decode(data, 0, d, reduce, 0);
      ASSERT_EQ(d.rc, 0) << d.message;
      ExpectSame(d.image, OracleDecode(file, "-r " + std::to_string(reduce), "pgm"), tolerance);
    }
  }
}

// ---- Refusals and damage ----------------------------------------------------

// A bit writer for hand-made packet headers, with the 0 bit stuffed
// after each 0xFF byte; each call ends one header.
struct BitWriter {
  Bytes out;
  int32_t room = 0;  // bits left in the last byte
  void Put(const char *bits) {
    for (; *bits; ++bits) {
      if (room == 0) {
        room = !out.empty() && out.back() == 0xFF ? 7 : 8;
        out.push_back(0);
      }
      --room;
      if (*bits == '1') out.back() |= static_cast<uint8_t>(1u << room);
    }
    if (out.back() == 0xFF) out.push_back(0);
    room = 0;
  }
};

void Put16(Bytes &b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
void Put32(Bytes &b, uint32_t v) {
  Put16(b, v >> 16);
  Put16(b, v & 0xFFFF);
}

// An 8 x 8 grey codestream without wavelet levels and two layers: the
// first packet gives its one code-block `first_passes` (a pass-count
// code), the second packet's header is `second`.
Bytes TinyCodestream(const char *first_passes, const char *second) {
  Bytes b;
  Put16(b, 0xFF4F);
  Put16(b, 0xFF51);
  Put16(b, 41);
  Put16(b, 0);
  for (uint32_t v : {8u, 8u, 0u, 0u, 8u, 8u, 0u, 0u}) Put32(b, v);
  Put16(b, 1);
  b.insert(b.end(), {7, 1, 1});
  Put16(b, 0xFF52);  // COD: LRCP, 2 layers, no levels, 64 x 64 blocks, 5-3
  Put16(b, 12);
  b.insert(b.end(), {0, 0, 0, 2, 0, 0, 4, 4, 0, 1});
  Put16(b, 0xFF5C);  // QCD: no quantisation, 2 guard bits, one band
  Put16(b, 4);
  b.insert(b.end(), {0x40, 8 << 3});
  BitWriter w;
  // Present, included, no zero planes, the pass count, Lblock kept, length 0.
  w.Put((std::string("111") + first_passes + "0" + std::string(10, '0')).c_str());
  w.Put(second);
  Put16(b, 0xFF90);
  Put16(b, 10);
  Put16(b, 0);
  Put32(b, static_cast<uint32_t>(14 + w.out.size()));
  b.insert(b.end(), {0, 1});
  Put16(b, 0xFF93);
  b.insert(b.end(), w.out.begin(), w.out.end());
  Put16(b, 0xFFD9);
  return b;
}

TEST(JtkDecodeRefusals, TableMessages) {
  TempDir dir;
  const std::string in = dir.file("in.ppm"), file = dir.file("t.j2k");
  WritePnm(in, MakePicture(23, 17, 3, 8));
  ShellOutput("opj_compress -i " + in + " -o " + file + " -n 2 >/dev/null");
  const Bytes raw = ReadBytes(file);

  Decoded as_jp2;
  Decode(raw, 1, as_jp2);
  EXPECT_EQ(as_jp2.rc, JTK_ERROR(0x06, 1));
  EXPECT_EQ(as_jp2.entry, "Jp2Decompress");

  // 164 passes in all is the most a block may have; one more is refused.
  const char *k164 = "1111111111111111";  // 37 + 127
  Decoded most, more;
  Decode(TinyCodestream(k164, "10"), 0, most);
  EXPECT_EQ(most.rc, 0) << most.message;
  Decode(TinyCodestream(k164,
                        "110"
                        "0"
                        "000"),
         0, more);
  EXPECT_EQ(more.message, "Invalid Coding Passes : greater than 164");

  Bytes deep = raw;
  deep[45] = 16;  // Ssiz of the second component: 17 bits
  Decoded d;
  Decode(deep, 0, d);
  EXPECT_EQ(d.message, "Invalid Ssiz Value");

  EXPECT_STREQ(JtkErrorText(JTK_ERROR(0x08, 35)), "Unknown Error");
  EXPECT_STREQ(JtkErrorText(JTK_ERROR(0x04, 1)), "Unknown Error");
  EXPECT_STREQ(JtkErrorText(JTK_ERROR(0x0C, 2)), "Invalid Coding Passes : greater than 164");
}

TEST(JtkDecodeRefusals, HostileHeaders) {
  const Bytes tiny = TinyCodestream("0", "10");
  struct Patch {
    const char *what;
    size_t at;
    std::vector<uint8_t> bytes;
    const char *message;
  };
  const Patch patches[] = {
      {"zero width", 8, {0, 0, 0, 0}, "Invalid XSiz and/or YSiz Value"},
      {"huge size",
       8,
       {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0,    0,
        0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
       "Invalid XSiz and/or YSiz Value"},
      {"no components", 40, {0, 0}, "Invalid Number of Image Components in SIZ"},
      {"marker beyond the stream", 47, {0xFF, 0xF0}, "Invalid Marker Size"},
      {"tile index", 69, {0, 9}, "JtkMapTileNumber:Invalid value in pMapTileNo"},
      {"tiny tile", 24, {0, 0, 0, 0}, "Invalid XTSiz and/or YTSiz Value"},
      {"levels", 54, {40}, "Invalid Number of Decomposition Levels"},
      {"progression", 50, {7}, "Invalid Progression Order"},
      {"layers", 51, {0, 0}, "Invalid Number of Layers"},
      {"block size", 55, {9}, "Invalid CodeBlock CB Parameter(Xcb or Ycb)"},
      {"block style", 57, {0x40}, "Invalid CodeBlock Coding Style"},
      {"wavelet", 58, {2}, "Unknown filter"},
      {"quantisation", 63, {0x43}, "Invalid Quantization Style"},
      {"tile-part length", 71, {0, 0, 0, 5}, "Invalid PSOT"},
      {"tile-part order", 75, {1, 0}, "Invalid TPSOT"},
      {"tile-part count", 75, {1, 1}, "Invalid Tile Part Index in SOT"},
      {"no end", tiny.size() - 2, {0, 0}, "End Of Codestream (EOC) marker not found"},
  };
  for (const Patch &p : patches) {
    SCOPED_TRACE(p.what);
    Bytes b = tiny;
    std::copy(p.bytes.begin(), p.bytes.end(), b.begin() + static_cast<ptrdiff_t>(p.at));
    Decoded d;
    Decode(b, 0, d);
    EXPECT_LT(d.rc, 0);
    EXPECT_EQ(d.message, p.message);
  }
}

// Sizes are bounded by the bytes present, not by a fixed area: a short
// file padded to pass the samples-per-byte rule opens a square of 2^28
// samples, whose rows are few; rows of 16 million samples are refused,
// for they alone would take more memory than the bytes can justify.
TEST(JtkDecodeLimits, SizesFollowTheBytes) {
  struct Size {
    uint32_t w, h;
    bool opens;
  };
  const Size kSizes[] = {{16384, 16384, true}, {16777216, 16, false}, {60000, 60000, false}};
  for (const Size &size : kSizes) {
    SCOPED_TRACE(std::to_string(size.w) + " x " + std::to_string(size.h));
    Bytes b = TinyCodestream("0", "10");
    for (size_t at : {size_t(8), size_t(24)}) {  // image and tile size
      Bytes v;
      Put32(v, size.w);
      Put32(v, size.h);
      std::copy(v.begin(), v.end(), b.begin() + static_cast<ptrdiff_t>(at));
    }
    // A comment before the first tile-part pads the file to 2^15 bytes.
    Bytes pad;
    Put16(pad, 0xFF64);
    Put16(pad, 32770 - 4 - static_cast<uint32_t>(b.size()) + 2);
    pad.resize(32770 - b.size(), 'x');
    b.insert(b.begin() + 65, pad.begin(), pad.end());
    JtkContextTp *context = JtkCreateContext(nullptr, nullptr);
    JtkSetHandlerMode(context, JTK_HANDLER_QUIET);
    JtkParamTp param{};
    JtkDecoderTp *decoder = nullptr;
    const int32_t rc = JtkOpenDecoder(context, &param, b.data(), b.size(), &decoder);
    if (size.opens) {
      ASSERT_EQ(rc, 0);
      const int32_t *row = nullptr;
      ASSERT_EQ(JtkDecodeRow(context, decoder, 0, 0, &row), 0);
      EXPECT_EQ(row[0], 128);
      EXPECT_EQ(row[size.w - 1], 128);
    } else {
      EXPECT_LT(rc, 0);
      EXPECT_STREQ(JtkGetError(context, 0)->message, "Invalid XSiz and/or YSiz Value");
    }
    JtkCloseDecoder(&decoder);
    JtkDestroyContext(&context);
  }
}

// What the main header says, as the driver asks for it.
TEST(JtkDecodeHeader, MainHeaderValues) {
  TempDir dir;
  const std::string in = dir.file("in.ppm"), file = dir.file("t.jp2");
  WritePnm(in, MakePicture(70, 50, 3, 8));
  ShellOutput("opj_compress -i " + in + " -o " + file +
              " -t 32,24 -n 4 -p RPCL -b 16,32 -r 40,10 -I >/dev/null");
  const Bytes data = ReadBytes(file);
  JtkContextTp *context = JtkCreateContext(nullptr, nullptr);
  JtkHeaderTp h;
  ASSERT_EQ(JtkGetMainHeader(context, data.data(), data.size(), 1, &h), 0);
  JtkDestroyContext(&context);
  EXPECT_EQ(h.jp2, 1);
  EXPECT_EQ(h.x1 - h.x0, 70);
  EXPECT_EQ(h.y1 - h.y0, 50);
  EXPECT_EQ(h.tile_w, 32);
  EXPECT_EQ(h.tile_h, 24);
  EXPECT_EQ(h.tiles_x * h.tiles_y, 3 * 3);
  EXPECT_EQ(h.components, 3);
  EXPECT_EQ(h.precision[2], 8);
  EXPECT_EQ(h.levels, 3);
  EXPECT_EQ(h.layers, 2);
  EXPECT_EQ(h.progression, JTK_RPCL);
  EXPECT_EQ(h.cblk_w, 16);
  EXPECT_EQ(h.cblk_h, 32);
  EXPECT_EQ(h.reversible, 0);
  EXPECT_EQ(h.mct, 1);
}

// The JP2 box checks, on a file of opj_compress: signature, ftyp at 12,
// jp2h at 32 holding ihdr at 40 and colr at 62.
TEST(JtkDecodeRefusals, BoxChecks) {
  TempDir dir;
  const std::string in = dir.file("in.ppm"), file = dir.file("t.jp2");
  WritePnm(in, MakePicture(24, 17, 3, 8));
  ShellOutput("opj_compress -i " + in + " -o " + file + " -n 2 >/dev/null");
  const Bytes good = ReadBytes(file);
  struct Patch {
    size_t at;
    std::vector<uint8_t> bytes;
    const char *message;
  };
  const Patch patches[] = {
      {16, {'x', 'x', 'x', 'x'}, "Type of Box is wrong"},
      {12, {0, 0, 0, 3}, "Reserve value for LBox is used"},
      {12, {0, 0, 0, 1}, "Extra Large field"},
      {43, {0x30}, "Length of Box can't be Super"},
      {70, {9}, "Wrong value in byMeth of Color Spacefication Box"},
  };
  for (const Patch &p : patches) {
    SCOPED_TRACE(p.message);
    Bytes b = good;
    std::copy(p.bytes.begin(), p.bytes.end(), b.begin() + static_cast<ptrdiff_t>(p.at));
    Decoded d;
    Decode(b, 1, d);
    EXPECT_EQ(d.message, p.message);
  }
}

// A failing entry point records the error and returns what the handler
// answers.
TEST(JtkDecodeRefusals, HandlerAnswers) {
  int32_t calls = 0;
  JtkContextTp *context = JtkCreateContext(
      [](JtkContextTp *, const JtkErrorRecordTp *, void *user) {
        ++*static_cast<int32_t *>(user);
        return int32_t(77);
      },
      &calls);
  const Bytes junk = {0xFF, 0x4F, 0xFF, 0x51, 0, 0};
  JtkImageTp *image = nullptr;
  EXPECT_EQ(Jp2Decompress(context, nullptr, junk.data(), junk.size(), &image), 77);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(image, nullptr);
  const JtkErrorRecordTp *e = JtkGetError(context, 0);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->answer, 77);
  EXPECT_STREQ(e->entry, "Jp2Decompress");
  EXPECT_STREQ(e->message, JtkErrorText(e->code));
  JtkDestroyContext(&context);
}

// Cut and scrambled files end in a message or a picture, never worse
// (the sanitizer builds watch the memory).
TEST(JtkDecodeRefusals, DamagedFilesNeverCrash) {
  TempDir dir;
  const std::string in = dir.file("in.ppm"), file = dir.file("t.jp2");
  WritePnm(in, MakePicture(40, 30, 3, 8));
  ShellOutput("opj_compress -i " + in + " -o " + file +
              " -n 3 -r 20,5 -t 24,16 -M 63 -SOP >/dev/null");
  const Bytes good = ReadBytes(file);
  Decoded whole;
  Decode(good, 1, whole);
  ASSERT_EQ(whole.rc, 0) << whole.message;
  int32_t failures = 0;
  for (size_t cut = 0; cut < good.size(); cut += 7) {
    Decoded d;
    Decode(Bytes(good.begin(), good.begin() + static_cast<ptrdiff_t>(cut)), 1, d);
    failures += d.rc != 0;
  }
  EXPECT_GT(failures, 0);
  uint32_t seed = 7;
  for (int32_t round = 0; round < 300; ++round) {
    Bytes b = good;
    for (int32_t k = 0; k < 4; ++k) {
      seed = seed * 1103515245u + 12345u;
      b[(seed >> 8) % b.size()] ^= static_cast<uint8_t>(1u << ((seed >> 4) & 7));
    }
    Decoded d;
    Decode(b, 1, d);
  }
}

}  // namespace
