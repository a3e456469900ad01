// The JPEG 2000 encoder against OpenJPEG's decoder: reversible files come
// back exact, lossy ones within the PSNR their rate allows, the structure
// is what we asked for, and bad requests are refused with their message.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codecs.h"
#include "runprog.h"

namespace {

struct Picture {
  int32_t w, h, comps, prec;
  std::vector<int32_t> samples;  // interleaved
};

// Smooth ramps with texture and a few hard edges: a mix that exercises
// every band and sign.
Picture Make(int32_t w, int32_t h, int32_t comps, int32_t prec) {
  Picture p{w, h, comps, prec, {}};
  const int32_t top = (1 << prec) - 1;
  uint32_t seed = 12345;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      for (int32_t c = 0; c < comps; ++c) {
        seed = seed * 1103515245u + 12345u;
        const double ramp = (x * (c + 1) * 3 + y * 2) % 256 / 255.0;
        const double wave = 0.5 + 0.5 * std::sin((x + 2 * c) * 0.21) * std::cos(y * 0.13);
        const double edge = ((x / 17 + y / 11) & 1) ? 0.25 : 0.0;
        const double noise = ((seed >> 16) % 17) / 255.0;
        double v = 0.45 * ramp + 0.35 * wave + edge + noise - 0.1;
        v = std::min(1.0, std::max(0.0, v));
        p.samples.push_back(static_cast<int32_t>(std::lround(v * top)));
      }
  return p;
}

int32_t Collect(void *arg, const uint8_t *data, size_t length) {
  auto *out = static_cast<std::string *>(arg);
  out->append(reinterpret_cast<const char *>(data), length);
  return 0;
}

int32_t Quiet(JtkContextTp *, const JtkErrorRecordTp *error, void *) { return error->code; }

// Encodes p; the codestream or file bytes, or the code of the failure.
int32_t Encode(const Picture &p, const JtkParamTp &param, std::string *out) {
  JtkContextTp *context = JtkCreateContext(Quiet, nullptr);
  JtkImageTp *image = JtkCreateImage(context, p.w, p.h, p.comps, p.prec);
  for (int32_t c = 0; c < p.comps; ++c)
    for (size_t i = 0; i < static_cast<size_t>(p.w) * p.h; ++i)
      image->comp[c].data[i] = p.samples[i * p.comps + c];
  const int32_t rc = Jp2Compress(context, &param, image, Collect, out);
  JtkFreeImage(&image);
  JtkDestroyContext(&context);
  return rc;
}

// What opj_decompress makes of the bytes, as interleaved samples.
bool Decode(const TempDir &dir, const std::string &bytes, bool jp2, int32_t comps,
            std::vector<int32_t> *samples) {
  const std::string in = dir.file(jp2 ? "t.jp2" : "t.j2k");
  const std::string out = dir.file(comps == 3 ? "t.ppm" : "t.pgm");
  WriteFile(in, bytes);
  remove(out.c_str());
  const RunResult r = RunProgram({"opj_decompress", "-i", in, "-o", out});
  if (r.status != 0) {
    ADD_FAILURE() << r.out << r.err;
    return false;
  }
  // The header's four words, past comment lines.
  const std::string pnm = ReadFile(out);
  size_t at = 0;
  long word[4] = {};
  for (int k = 0; k < 4; ++k) {
    while (at < pnm.size() && (isspace(static_cast<unsigned char>(pnm[at])) || pnm[at] == '#'))
      if (pnm[at] == '#')
        at = pnm.find('\n', at);
      else
        ++at;
    if (at >= pnm.size()) return false;
    word[k] = k == 0 ? (++at, strtol(pnm.c_str() + at, nullptr, 10))
                     : strtol(pnm.c_str() + at, nullptr, 10);
    while (at < pnm.size() && !isspace(static_cast<unsigned char>(pnm[at]))) ++at;
  }
  const long w = word[1], h = word[2], maxval = word[3];
  const size_t start = at + 1, n = static_cast<size_t>(w) * h * comps;
  const bool wide = maxval > 255;
  if (pnm.size() < start + n * (wide ? 2 : 1)) return false;
  samples->resize(n);
  for (size_t i = 0; i < n; ++i)
    (*samples)[i] = wide ? static_cast<uint8_t>(pnm[start + 2 * i]) << 8 |
                               static_cast<uint8_t>(pnm[start + 2 * i + 1])
                         : static_cast<uint8_t>(pnm[start + i]);
  return true;
}

double Psnr(const Picture &p, const std::vector<int32_t> &got) {
  double sum = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    const double d = got[i] - p.samples[i];
    sum += d * d;
  }
  const double top = (1 << p.prec) - 1;
  return sum == 0 ? 99 : 10 * std::log10(top * top * got.size() / sum);
}

// The last rows have resolutions wider or taller than 2^15: several
// precincts, in every progression's order of positions.
TEST(JtkEncode, ReversibleFilesDecodeExactly) {
  struct Case {
    int32_t w, h, comps, prec, jp2, layers, levels, cblk, progression;
  } const cases[] = {
      {1, 1, 1, 8, 1, 0, 0, 0, JTK_LRCP},     {1, 1, 3, 8, 0, 0, 0, 0, JTK_LRCP},
      {3, 2, 3, 8, 1, 0, 0, 0, JTK_LRCP},     {2, 7, 1, 8, 0, 0, 0, 0, JTK_LRCP},
      {37, 23, 3, 8, 1, 0, 0, 0, JTK_LRCP},   {37, 23, 1, 8, 0, 0, 0, 0, JTK_LRCP},
      {150, 97, 3, 8, 1, 0, 0, 0, JTK_LRCP},  {130, 67, 1, 12, 0, 0, 0, 0, JTK_LRCP},
      {70, 45, 1, 16, 1, 0, 2, 16, JTK_LRCP}, {90, 80, 3, 8, 1, 4, 3, 32, JTK_RPCL},
      {90, 80, 3, 8, 0, 3, 0, 0, JTK_CPRL},   {64, 300, 3, 8, 0, 2, 0, 0, JTK_RLCP},
      {32769, 1, 1, 8, 0, 0, 0, 0, JTK_LRCP}, {1, 40000, 1, 8, 1, 0, 0, 0, JTK_LRCP},
      {65535, 1, 3, 8, 0, 0, 0, 0, JTK_LRCP}, {33000, 3, 1, 8, 0, 2, 0, 0, JTK_PCRL},
      {33000, 2, 3, 8, 0, 2, 0, 0, JTK_CPRL}, {2, 33000, 1, 8, 0, 3, 0, 0, JTK_RPCL},
      {40000, 4, 1, 8, 0, 2, 0, 0, JTK_RLCP}, {4, 70000, 1, 8, 0, 2, 0, 16, JTK_PCRL},
  };
  TempDir dir;
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " comps " +
                 std::to_string(c.comps) + " prec " + std::to_string(c.prec) + " layers " +
                 std::to_string(c.layers));
    const Picture p = Make(c.w, c.h, c.comps, c.prec);
    JtkParamTp param{};
    param.jp2 = c.jp2;
    param.rate = -1;
    param.layers = c.layers;
    param.levels = c.levels;
    param.cblk_w = param.cblk_h = c.cblk;
    param.progression = c.progression;
    std::string bytes;
    ASSERT_EQ(Encode(p, param, &bytes), 0);
    std::vector<int32_t> got;
    ASSERT_TRUE(Decode(dir, bytes, c.jp2, c.comps, &got));
    EXPECT_TRUE(got == p.samples) << "PSNR " << Psnr(p, got);
    // Our own decoder agrees.
    JtkContextTp *context = JtkCreateContext(Quiet, nullptr);
    JtkImageTp *image = nullptr;
    JtkParamTp all{};
    all.jp2 = c.jp2;
    ASSERT_EQ(Jp2Decompress(context, &all, reinterpret_cast<const uint8_t *>(bytes.data()),
                            bytes.size(), &image),
              0);
    bool same = image->width == p.w && image->height == p.h && image->components == p.comps;
    for (size_t i = 0; same && i < p.samples.size(); ++i)
      same = image->comp[i % p.comps].data[i / p.comps] == p.samples[i];
    EXPECT_TRUE(same);
    JtkFreeImage(&image);
    JtkDestroyContext(&context);
  }
}

// The picture as a PNM file for OpenJPEG's encoder.
std::string Pnm(const Picture &p) {
  std::string f = (p.comps == 3 ? "P6\n" : "P5\n") + std::to_string(p.w) + " " +
                  std::to_string(p.h) + "\n" + std::to_string((1 << p.prec) - 1) + "\n";
  for (int32_t v : p.samples) {
    if (p.prec > 8) f += static_cast<char>(v >> 8);
    f += static_cast<char>(v);
  }
  return f;
}

TEST(JtkEncode, LossyFilesMeetTheirRateAndMatchOpenJpegsQuality) {
  struct Case {
    int32_t comps, prec;
    double ratio;
    int32_t layers;
  } const cases[] = {{3, 8, 4, 1}, {3, 8, 10, 1}, {3, 8, 20, 3}, {3, 8, 50, 1},
                     {1, 8, 8, 2}, {1, 8, 30, 1}, {1, 12, 6, 1}};
  TempDir dir;
  for (const Case &c : cases) {
    SCOPED_TRACE("comps " + std::to_string(c.comps) + " ratio " + std::to_string(c.ratio));
    const Picture p = Make(256, 192, c.comps, c.prec);
    JtkParamTp param{};
    param.jp2 = 1;
    param.rate = c.comps * c.prec / c.ratio;
    param.layers = c.layers;
    std::string bytes;
    ASSERT_EQ(Encode(p, param, &bytes), 0);
    const double budget = param.rate * p.w * p.h / 8;
    EXPECT_LE(bytes.size(), budget + 100) << "boxes take under 100 bytes";
    EXPECT_GE(bytes.size(), budget * 0.9);
    std::vector<int32_t> ours, theirs;
    ASSERT_TRUE(Decode(dir, bytes, true, c.comps, &ours));
    // OpenJPEG's encoder at the same ratios, layer for layer.
    std::string ratios;
    for (int32_t l = c.layers - 1; l >= 0; --l)
      ratios += std::to_string(static_cast<int>(c.ratio) << l) + (l ? "," : "");
    const std::string in = dir.file(c.comps == 3 ? "p.ppm" : "p.pgm"), out = dir.file("o.jp2");
    WriteFile(in, Pnm(p));
    ASSERT_EQ(RunProgram({"opj_compress", "-i", in, "-o", out, "-I", "-r", ratios}).status, 0);
    ASSERT_TRUE(Decode(dir, ReadFile(out), true, c.comps, &theirs));
    EXPECT_GE(Psnr(p, ours), Psnr(p, theirs) - 0.5) << "OpenJPEG: " << Psnr(p, theirs);
  }
}

TEST(JtkEncode, LossyFilesWiderThanAPrecinct) {
  const Picture p = Make(40000, 8, 1, 8);
  JtkParamTp param{};
  param.rate = 0.8;
  param.layers = 2;
  param.progression = JTK_PCRL;
  std::string bytes;
  ASSERT_EQ(Encode(p, param, &bytes), 0);
  TempDir dir;
  std::vector<int32_t> got;
  ASSERT_TRUE(Decode(dir, bytes, false, 1, &got));
  EXPECT_GT(Psnr(p, got), 25);
}

TEST(JtkEncode, RatesBelowTheHeadersStillGiveValidFiles) {
  const Picture p = Make(97, 61, 3, 8);
  TempDir dir;
  for (double rate : {0.001, 0.05}) {
    JtkParamTp param{};
    param.rate = rate;
    param.layers = 2;
    std::string bytes;
    ASSERT_EQ(Encode(p, param, &bytes), 0);
    std::vector<int32_t> got;
    EXPECT_TRUE(Decode(dir, bytes, false, 3, &got));
    EXPECT_EQ(got.size(), p.samples.size());
  }
}

TEST(JtkEncode, OpenJpegReadsTheStructureWeWrote) {
  const Picture p = Make(300, 200, 3, 8);
  JtkParamTp param{};
  param.jp2 = 1;
  param.rate = 2;
  param.layers = 3;
  param.progression = JTK_RPCL;
  std::string bytes;
  ASSERT_EQ(Encode(p, param, &bytes), 0);
  TempDir dir;
  WriteFile(dir.file("s.jp2"), bytes);
  const RunResult r = RunProgram({"opj_dump", "-i", dir.file("s.jp2")});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char *want : {"x1=300, y1=200", "numcomps=3", "prg=0x2", "numlayers=3", "mct=1",
                           "numresolutions=6", "cblkw=2^6", "qmfbid=0"})
    EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;
}

int32_t Refuse(void *, const uint8_t *, size_t) { return 1; }

TEST(JtkEncode, BadRequestsAreRefusedWithTheirMessage) {
  JtkContextTp *context = JtkCreateContext(Quiet, nullptr);
  JtkImageTp *grey = JtkCreateImage(context, 8, 8, 1, 8);
  JtkImageTp *two = JtkCreateImage(context, 8, 8, 2, 8);
  JtkImageTp *mixed = JtkCreateImage(context, 8, 8, 3, 8);
  mixed->comp[2].precision = 12;
  // Geometry without planes: enough for the row encoder, not for planes.
  JtkComponentTp bare_comp = grey->comp[0];
  bare_comp.data = nullptr;
  JtkImageTp bare = *grey;
  bare.comp = &bare_comp;
  std::string sink;
  const JtkParamTp plain{};
  JtkParamTp big_block{}, odd_block{}, bad_order{};
  big_block.cblk_w = big_block.cblk_h = 128;
  odd_block.cblk_w = 48;
  bad_order.progression = 7;
  struct Case {
    const JtkImageTp *image;
    const JtkParamTp *param;
  } const refused[] = {{nullptr, &plain},  {grey, nullptr},    {two, &plain},      {mixed, &plain},
                       {grey, &big_block}, {grey, &odd_block}, {grey, &bad_order}, {&bare, &plain}};
  int32_t index = 0;
  for (const Case &c : refused) {
    EXPECT_EQ(Jp2Compress(context, c.param, c.image, Collect, &sink), JTK_ERROR(1, 1));
    const JtkErrorRecordTp *e = JtkGetError(context, index++);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->message, "Invalid Function Parameter to Compression");
    EXPECT_STREQ(e->entry, "Jp2Compress");
  }
  EXPECT_EQ(Jp2Compress(context, &plain, grey, Refuse, nullptr), JTK_ERROR(6, 11));
  EXPECT_STREQ(JtkGetError(context, index)->message, "Unable to write data into file");
  EXPECT_TRUE(sink.empty());
  JtkFreeImage(&grey);
  JtkFreeImage(&two);
  JtkFreeImage(&mixed);
  JtkDestroyContext(&context);
}

// The row encoder takes exactly the picture's rows: a page that ends early
// is closed without a byte written (the sanitizer build checks that
// nothing leaks), a row too many or a finish too soon is refused, and
// rows pushed in full make the file Jp2Compress makes from planes.
TEST(JtkEncode, RowEncoderTakesThePicturesRowsOnly) {
  const Picture p = Make(70, 150, 3, 8);
  JtkContextTp *context = JtkCreateContext(Quiet, nullptr);
  JtkComponentTp comp[3] = {};
  for (JtkComponentTp &k : comp) {
    k.precision = 8;
    k.dx = k.dy = 1;
    k.width = p.w;
    k.height = p.h;
  }
  JtkImageTp geometry{};
  geometry.width = p.w;
  geometry.height = p.h;
  geometry.components = 3;
  geometry.comp = comp;
  auto row = [&p](int32_t y) {
    std::vector<int32_t> r(static_cast<size_t>(p.w) * 3);
    for (int32_t x = 0; x < p.w; ++x)
      for (int32_t c = 0; c < 3; ++c)
        r[static_cast<size_t>(c * p.w + x)] = p.samples[static_cast<size_t>((y * p.w + x) * 3 + c)];
    return r;
  };
  for (double rate : {-1.0, 2.0}) {
    SCOPED_TRACE(rate);
    JtkParamTp param{};
    param.rate = rate;
    param.layers = 2;
    std::string early, full, planes;
    JtkEncoderTp *encoder = nullptr;
    // Ends after 100 rows: past several rows of code-blocks.
    ASSERT_EQ(JtkOpenEncoder(context, &param, &geometry, &encoder), 0);
    for (int32_t y = 0; y < 100; ++y) ASSERT_EQ(JtkEncodeRow(context, encoder, row(y).data()), 0);
    EXPECT_EQ(JtkFinishEncoder(context, encoder, Collect, &early), JTK_ERROR(1, 1));
    JtkCloseEncoder(&encoder);
    EXPECT_EQ(encoder, nullptr);
    EXPECT_TRUE(early.empty());

    ASSERT_EQ(JtkOpenEncoder(context, &param, &geometry, &encoder), 0);
    for (int32_t y = 0; y < p.h; ++y) ASSERT_EQ(JtkEncodeRow(context, encoder, row(y).data()), 0);
    EXPECT_EQ(JtkEncodeRow(context, encoder, row(0).data()), JTK_ERROR(1, 1));
    ASSERT_EQ(JtkFinishEncoder(context, encoder, Collect, &full), 0);
    EXPECT_EQ(JtkFinishEncoder(context, encoder, Collect, &full), JTK_ERROR(1, 1));
    JtkCloseEncoder(&encoder);
    ASSERT_EQ(Encode(p, param, &planes), 0);
    EXPECT_TRUE(full == planes);
  }
  const JtkErrorRecordTp *last = JtkGetError(context, 0);
  ASSERT_NE(last, nullptr);
  EXPECT_STREQ(last->entry, "JtkFinishEncoder");
  EXPECT_STREQ(last->message, "Invalid Function Parameter to Compression");
  EXPECT_STREQ(JtkGetError(context, 1)->entry, "JtkEncodeRow");
  JtkDestroyContext(&context);
}

}  // namespace
