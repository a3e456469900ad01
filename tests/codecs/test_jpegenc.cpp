// The JPEG encoder: its DCT streams decode in djpeg as close to the source
// as their quality promises, its quantisation tables are the quality's,
// 12-bit and lossless streams come back through our decoder (lossless
// exactly), and the parameter checks and call order refuse what they must.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "codecs.h"
#include "jpegenc.h"
#include "runprog.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Hash(uint32_t a, uint32_t b) {
  uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  return h ^ h >> 12;
}

// A picture with what photographs and drawings hold: smooth ramps, a hard
// edge, fine texture; samples of depth bits, two bytes each above 8.
Bytes Picture(int32_t w, int32_t h, int comps, int depth) {
  const int max = (1 << depth) - 1;
  Bytes out;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      for (int c = 0; c < comps; ++c) {
        double v =
            0.5 + 0.3 * std::sin(x * (0.05 + 0.02 * c) + y * 0.03) + 0.15 * std::cos(y * 0.11 - c);
        if ((x / 16 + y / 16) % 5 == 0) v = c == 1 ? 0.1 : 0.9;
        v += (static_cast<int>(Hash(x, y * 3 + c) & 31) - 16) / 800.0;
        const int s = static_cast<int>(std::lround(std::min(std::max(v, 0.0), 1.0) * max));
        if (depth > 8) {
          const uint16_t s16 = static_cast<uint16_t>(s);
          out.insert(out.end(), reinterpret_cast<const uint8_t *>(&s16),
                     reinterpret_cast<const uint8_t *>(&s16) + 2);
        } else {
          out.push_back(static_cast<uint8_t>(s));
        }
      }
  return out;
}

ReturnTp Append(void *arg, const uint8_t *data, int32_t length) {
  static_cast<Bytes *>(arg)->insert(static_cast<Bytes *>(arg)->end(), data, data + length);
  return 0;
}

// The codec's messages, caught while a check runs.
struct Messages {
  Messages() {
    saved_level = pvdebug;
    saved = CmnHandleDebug;
    pvdebug = 1;
    text().clear();
    CmnHandleDebug = [](const char *t) { text() += t; };
    CmnFilterOn(CMN_SEV_ERROR | CMN_SEV_INTERNAL);
  }
  ~Messages() {
    pvdebug = saved_level;
    CmnHandleDebug = saved;
    CmnFilterOff(CMN_SEV_ERROR | CMN_SEV_INTERNAL);
  }
  static std::string &text() {
    static std::string t;
    return t;
  }
  uint16_t saved_level;
  CmnDebugHandlerTp saved;
};

// Through the codec handle, as the drivers use it; rows fed in uneven
// pieces so that the gathering into bands is exercised.
ReturnTp Encode(JpegParamTp p, const Bytes &rows, Bytes *out) {
  auto *param = static_cast<JpegParamTp *>(malloc(sizeof p));
  *param = p;
  IfuCodecTp *codec = nullptr;
  ReturnTp rc = IfuCodecOpenEncoder(nullptr, &JpegCodecOps, param, Append, out, &codec);
  for (size_t at = 0, piece = 1; !rc && at < rows.size(); at += piece, piece = piece * 3 + 7)
    rc = IfuCodecWrite(codec, rows.data() + at,
                       static_cast<int32_t>(std::min(piece, rows.size() - at)));
  if (!rc) rc = IfuCodecFinish(codec);
  if (codec) IfuCodecTerm(&codec);
  return rc;
}

JpegParamTp Param(int mode, int color, int32_t w, int32_t h, int quality = 10, int depth = 8) {
  JpegParamTp p = {};
  p.mode = mode;
  p.color = color;
  p.h_samp = 2;
  p.v_samp = 1;
  p.quality = quality;
  p.depth = depth;
  p.width = w;
  p.height = h;
  p.ycbcr = 1;
  return p;
}

// The stream through our decoder, in the colour form it was written in.
struct Memory {
  const Bytes *data;
  size_t at = 0;
};
ReturnTp Read(void *arg, uint8_t *buffer, int32_t *length) {
  auto *m = static_cast<Memory *>(arg);
  const size_t n = std::min(static_cast<size_t>(*length), m->data->size() - m->at);
  memcpy(buffer, m->data->data() + m->at, n);
  m->at += n;
  *length = static_cast<int32_t>(n);
  return 0;
}

Bytes Decode(const Bytes &jpeg, int color, size_t row_bytes, int32_t height,
             bool replicate = false) {
  Memory m{&jpeg};
  void *param = nullptr;
  EXPECT_EQ(IfuCodecCreateParam(&JpegCodecOps, &param), 0u);
  static_cast<JpegParamTp *>(param)->color = color;
  static_cast<JpegParamTp *>(param)->replicate = replicate;
  IfuCodecTp *codec = nullptr;
  if (IfuCodecOpenDecoder(nullptr, &JpegCodecOps, param, Read, &m, 0, &codec)) return {};
  static_cast<JpegParamTp *>(codec->param)->color = color;
  Bytes out, band(row_bytes * static_cast<size_t>(height));
  while (out.size() < band.size()) {
    int32_t length = static_cast<int32_t>(band.size());
    const ReturnTp rc = IfuCodecRead(codec, band.data(), &length);
    if (rc && rc != IFU_I_EOD && rc != IFU_I_PAUSED) break;
    // A pass of a progressive stream is the whole picture again.
    if (static_cast<size_t>(length) == band.size()) out.clear();
    out.insert(out.end(), band.begin(), band.begin() + length);
    if (rc == IFU_I_EOD || length == 0) break;
  }
  IfuCodecTerm(&codec);
  return out;
}

double Psnr(const Bytes &a, const Bytes &b, int depth = 8) {
  if (a.size() != b.size() || a.empty()) return 0;
  double sum = 0;
  size_t n = 0;
  if (depth > 8) {
    for (size_t i = 0; i + 1 < a.size(); i += 2, ++n) {
      uint16_t x, y;
      memcpy(&x, &a[i], 2);
      memcpy(&y, &b[i], 2);
      sum += (double(x) - y) * (double(x) - y);
    }
  } else {
    for (; n < a.size(); ++n) sum += (double(a[n]) - b[n]) * (double(a[n]) - b[n]);
  }
  const double peak = (1 << depth) - 1;
  return sum == 0 ? 99 : 10 * std::log10(peak * peak * n / sum);
}

// djpeg's decode of a stream, as the PNM bytes after the header.
Bytes Djpeg(const TempDir &dir, const Bytes &jpeg, size_t expected) {
  WriteFile(dir.file("t.jpg"), std::string(jpeg.begin(), jpeg.end()));
  const std::string pnm = ShellOutput("djpeg -pnm -dct float '" + dir.file("t.jpg") + "'");
  if (pnm.size() < expected) return {};
  return Bytes(pnm.end() - static_cast<std::ptrdiff_t>(expected), pnm.end());
}

TEST(JpegEncoder, DctStreamsDecodeInDjpegAsTheirQualityPromises) {
  TempDir dir;
  // The floor of each quality on the test picture; any coding fault
  // (a wrong table, a shifted block, a lost band) costs far more.
  struct Case {
    int mode, progression, quality, h, v, color;
    int32_t w, hgt;
    double min_psnr;
  } kCases[] = {
      {JPEG_BASELINE, 0, 1, 1, 1, JPEG_RGB, 64, 48, 33},
      {JPEG_BASELINE, 0, 5, 1, 1, JPEG_RGB, 64, 48, 34},
      {JPEG_BASELINE, 0, 10, 1, 1, JPEG_RGB, 64, 48, 35},
      {JPEG_BASELINE, 0, 15, 1, 1, JPEG_RGB, 64, 48, 36},
      {JPEG_BASELINE, 0, 20, 1, 1, JPEG_RGB, 64, 48, 38.5},
      {JPEG_BASELINE, 0, 10, 2, 1, JPEG_RGB, 37, 23, 30},
      {JPEG_BASELINE, 0, 10, 2, 2, JPEG_RGB, 37, 23, 27.5},
      {JPEG_BASELINE, 0, 12, 2, 2, JPEG_GRAY, 301, 17, 37},
      {JPEG_EXTENDED, 0, 10, 2, 2, JPEG_RGB, 33, 47, 29.5},
      {JPEG_PROGRESSIVE, 0, 10, 2, 1, JPEG_RGB, 64, 48, 32},
      {JPEG_PROGRESSIVE, 1, 15, 1, 1, JPEG_RGB, 37, 23, 36},
      {JPEG_PROGRESSIVE, 2, 20, 2, 2, JPEG_RGB, 95, 9, 30.5},
      {JPEG_PROGRESSIVE, 3, 10, 2, 2, JPEG_RGB, 129, 77, 27},
      {JPEG_PROGRESSIVE, 3, 10, 1, 1, JPEG_GRAY, 37, 23, 37},
  };
  double last = 0;
  for (const Case &c : kCases) {
    SCOPED_TRACE("mode " + std::to_string(c.mode) + "/" + std::to_string(c.progression) + " q" +
                 std::to_string(c.quality) + " " + std::to_string(c.h) + "x" + std::to_string(c.v) +
                 " " + std::to_string(c.w) + "x" + std::to_string(c.hgt) +
                 (c.color == JPEG_GRAY ? " grey" : ""));
    const int comps = c.color == JPEG_GRAY ? 1 : 3;
    const Bytes src = Picture(c.w, c.hgt, comps, 8);
    JpegParamTp p = Param(c.mode, c.color, c.w, c.hgt, c.quality);
    p.progression = c.progression;
    p.h_samp = c.h;
    p.v_samp = c.v;
    Bytes jpeg;
    ASSERT_EQ(Encode(p, src, &jpeg), 0u);
    const double psnr = Psnr(Djpeg(dir, jpeg, src.size()), src);
    EXPECT_GE(psnr, c.min_psnr);
    // Within the run of baseline qualities, each one is closer than the last.
    if (c.mode == JPEG_BASELINE && c.quality > 1 && c.w == 64) {
      EXPECT_GT(psnr, last);
    }
    last = psnr;
  }
}

// The forms only the whole-image entry reaches: non-interleaved scans and
// restart intervals.
TEST(JpegEncoder, NonInterleavedScansAndRestartsDecodeInDjpeg) {
  TempDir dir;
  const int32_t w = 45, h = 29;
  const Bytes src = Picture(w, h, 3, 8);
  for (int mode : {OM_BASELINE_NI, OM_SEQUENTIAL_NI, OM_BASELINE, OM_PROG_3_2DC})
    for (int restart : {0, 1, 3}) {
      SCOPED_TRACE("o_mode " + std::to_string(mode) + " restart " + std::to_string(restart));
      JpegCompParamTp cp;
      Bytes jpeg;
      cp.i_xdim = cp.o_xdim = w;
      cp.i_ydim = cp.o_ydim = h;
      cp.o_mode = mode;
      cp.o_y_hv = YHV_22;
      cp.restart = restart;
      cp.o_wrfunc = Append;
      cp.o_file = &jpeg;
      ASSERT_EQ(JpegCompImBuf(cp, src.data()), 0u);
      EXPECT_GE(Psnr(Djpeg(dir, jpeg, src.size()), src), 30);
    }
}

// The DQT segment of a stream, tables in natural order.
std::vector<std::vector<int>> Dqt(const Bytes &jpeg) {
  std::vector<std::vector<int>> tables;
  for (size_t i = 2; i + 4 < jpeg.size() && jpeg[i] == 0xFF && jpeg[i + 1] != 0xDA;) {
    const size_t length = jpeg[i + 2] << 8 | jpeg[i + 3];
    if (jpeg[i + 1] == 0xDB)
      for (size_t t = i + 4; t + 65 <= i + 2 + length; t += 65) {
        std::vector<int> natural(64);
        for (int k = 0; k < 64; ++k) natural[JpegZigzag[k]] = jpeg[t + 1 + k];
        tables.push_back(natural);
      }
    i += 2 + length;
  }
  return tables;
}

TEST(JpegEncoder, QuantisationTablesAreTheQualitys) {
  // T.81 Annex K, K.1 and K.2.
  const std::vector<int> k1 = {16,  11,  10,  16,  24, 40, 51,  61,  12,  12,  14,  19,  26,
                               58,  60,  55,  14,  13, 16, 24,  40,  57,  69,  56,  14,  17,
                               22,  29,  51,  87,  80, 62, 18,  22,  37,  56,  68,  109, 103,
                               77,  24,  35,  55,  64, 81, 104, 113, 92,  49,  64,  78,  87,
                               103, 121, 120, 101, 72, 92, 95,  98,  112, 100, 103, 99};
  std::vector<int> k2(64, 99);
  const int k2_low[4][4] = {{17, 18, 24, 47}, {18, 21, 26, 66}, {24, 26, 56, 99}, {47, 66, 99, 99}};
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) k2[r * 8 + c] = k2_low[r][c];
  // Quality 10 scales by 1 and its fixed low entries are the example's own.
  const Bytes rgb = Picture(16, 8, 3, 8);
  Bytes jpeg;
  ASSERT_EQ(Encode(Param(JPEG_BASELINE, JPEG_RGB, 16, 8, 10), rgb, &jpeg), 0u);
  auto tables = Dqt(jpeg);
  ASSERT_EQ(tables.size(), 2u);
  EXPECT_EQ(tables[0], k1);
  EXPECT_EQ(tables[1], k2);
  // Elsewhere: spot entries (natural order) of luminance and chrominance.
  struct Case {
    int quality;
    int l0, l1, l8, l3, l63, c0, c1, c8, c63;
  } kCases[] = {{1, 32, 32, 32, 160, 255, 32, 32, 32, 255},
                {2, 30, 29, 30, 96, 255, 32, 30, 30, 255},
                {15, 8, 8, 8, 8, 50, 10, 8, 8, 50},
                {18, 5, 5, 5, 2, 12, 6, 5, 5, 12},
                {20, 4, 4, 4, 1, 7, 4, 4, 4, 7},
                {21, 1, 1, 1, 1, 1, 1, 1, 1, 1}};
  for (const Case &c : kCases) {
    SCOPED_TRACE("quality " + std::to_string(c.quality));
    jpeg.clear();
    ASSERT_EQ(Encode(Param(JPEG_BASELINE, JPEG_RGB, 16, 8, c.quality), rgb, &jpeg), 0u);
    tables = Dqt(jpeg);
    ASSERT_EQ(tables.size(), 2u);
    EXPECT_EQ(
        (std::vector<int>{tables[0][0], tables[0][1], tables[0][8], tables[0][3], tables[0][63]}),
        (std::vector<int>{c.l0, c.l1, c.l8, c.l3, c.l63}));
    EXPECT_EQ((std::vector<int>{tables[1][0], tables[1][1], tables[1][8], tables[1][63]}),
              (std::vector<int>{c.c0, c.c1, c.c8, c.c63}));
  }
  // 100 to 120: the example tables as they are; 22 to 25 flat.
  uint16_t l[64], c[64];
  ASSERT_TRUE(JpegQualityTables(117, l, c));
  EXPECT_EQ(std::vector<int>(l, l + 64), k1);
  ASSERT_TRUE(JpegQualityTables(24, l, c));
  EXPECT_EQ(std::vector<int>(l, l + 64), std::vector<int>(64, 8));
  EXPECT_FALSE(JpegQualityTables(26, l, c));
  EXPECT_FALSE(JpegQualityTables(0, l, c));
}

TEST(JpegEncoder, TwelveBitAndLosslessComeBackThroughOurDecoder) {
  struct Case {
    int mode, progression, color, depth, predictor;
    double min_psnr;  // 99: exact
  } kCases[] = {
      {OM_SEQUENTIAL, 0, JPEG_GRAY, 12, 0, 45},   {OM_SEQUENTIAL, 0, JPEG_RGB, 12, 0, 37},
      {OM_SEQUENTIAL_NI, 0, JPEG_RGB, 12, 0, 37}, {OM_LOSSLESS, 0, JPEG_RGB, 8, 7, 99},
      {OM_LOSSLESS, 0, JPEG_GRAY, 12, 7, 99},     {OM_LOSSLESS, 0, JPEG_RGB, 12, 4, 99},
  };
  const int32_t w = 41, h = 19;
  for (const Case &c : kCases) {
    for (int predictor = c.predictor ? 1 : 0; predictor <= (c.predictor ? 7 : 0); ++predictor) {
      SCOPED_TRACE("o_mode " + std::to_string(c.mode) + " depth " + std::to_string(c.depth) +
                   " predictor " + std::to_string(predictor) +
                   (c.color == JPEG_GRAY ? " grey" : ""));
      const int comps = c.color == JPEG_GRAY ? 1 : 3;
      const Bytes src = Picture(w, h, comps, c.depth);
      JpegCompParamTp cp;
      Bytes jpeg;
      cp.i_xdim = cp.o_xdim = w;
      cp.i_ydim = cp.o_ydim = h;
      cp.o_mode = c.mode;
      cp.precision = c.depth;
      cp.predictor = predictor ? predictor : 7;
      cp.i_colors = comps == 1 ? JC_GRAY : JC_RGB;
      cp.o_colors = comps == 1 ? JC_GRAY : c.mode == OM_LOSSLESS ? JC_RGB : JC_YUV;
      cp.o_y_hv = c.mode == OM_LOSSLESS || comps == 1 ? YHV_11 : YHV_21;
      cp.o_wrfunc = Append;
      cp.o_file = &jpeg;
      ASSERT_EQ(JpegCompImBuf(cp, src.data()), 0u);
      // Chroma repeated as it was averaged: the coder's loss alone.
      const Bytes back = Decode(jpeg, c.color, src.size() / h, h, true);
      if (c.min_psnr == 99) {
        EXPECT_TRUE(back == src);
      } else {
        EXPECT_GE(Psnr(back, src, c.depth), c.min_psnr);
      }
    }
  }
}

TEST(JpegEncoder, ChecksRefuseWithTheirMessages) {
  IfuCodecTp codec = {};
  codec.encoder = 1;
  JpegCompParamTp cp;
  cp.i_xdim = cp.o_xdim = 40;
  cp.i_ydim = cp.o_ydim = 30;
  cp.o_wrfunc = Append;
  Bytes sink;
  cp.o_file = &sink;
  struct Case {
    const char *message;
    void (*spoil)(JpegSetupTp *);
  } kCases[] = {
      {"To many AC statistics in BASELINE", [](JpegSetupTp *s) { s->scans[0].ta[2] = 2; }},
      {"Hoz. sampling rate = 5 > 4, Component=1", [](JpegSetupTp *s) { s->comp[0].h = 5; }},
      {"Restart cannot be created for LOSSLESS mode",
       [](JpegSetupTp *s) {
         s->mode = OM_LOSSLESS;
         s->restart = 4;
       }},
      {"Scan no:1. Blocks in MDU is 14 > 10",
       [](JpegSetupTp *s) {
         s->comp[0].h = 4;
         s->comp[0].v = 3;
         s->comp[1].xsize = s->comp[2].xsize = s->comp[1].ysize = s->comp[2].ysize = 10;
       }},
  };
  for (const Case &c : kCases) {
    JpegSetupTp s;
    JpegBuildSetup(cp, &s);
    c.spoil(&s);
    Messages m;
    EXPECT_NE(JpegCheckSetup(&codec, s), 0u);
    EXPECT_NE(Messages::text().find(c.message), std::string::npos) << Messages::text();
  }
  // Parameters, and restarts asked of a whole lossless picture.
  const Bytes rgb = Picture(40, 30, 3, 8);
  struct ParamCase {
    const char *message;
    void (*spoil)(JpegCompParamTp *);
  } kParams[] = {
      {"o_quality illegal", [](JpegCompParamTp *p) { p->o_quality = 21 + 100; }},
      {"Invalid precision: 12", [](JpegCompParamTp *p) { p->precision = 12; }},
      {"i/o colors must be the same in LOSSLESS",
       [](JpegCompParamTp *p) { p->o_mode = OM_LOSSLESS; }},
      {"Restart cannot be created for LOSSLESS mode",
       [](JpegCompParamTp *p) {
         p->o_mode = OM_LOSSLESS;
         p->o_colors = JC_RGB;
         p->o_y_hv = YHV_11;
         p->restart = 2;
       }},
  };
  for (const ParamCase &c : kParams) {
    JpegCompParamTp p = cp;
    c.spoil(&p);
    Messages m;
    EXPECT_NE(JpegCompImBuf(p, rgb.data()), 0u);
    EXPECT_NE(Messages::text().find(c.message), std::string::npos) << Messages::text();
  }
}

TEST(JpegEncoder, RowsAndCallsOutOfOrderAreRefused) {
  const int32_t w = 20, h = 20;
  const Bytes rgb = Picture(w, h, 3, 8);
  auto open = [&](IfuCodecTp **codec, Bytes *out) {
    auto *p = static_cast<JpegParamTp *>(malloc(sizeof(JpegParamTp)));
    *p = Param(JPEG_BASELINE, JPEG_RGB, w, h);
    return IfuCodecOpenEncoder(nullptr, &JpegCodecOps, p, Append, out, codec);
  };
  Bytes out;
  IfuCodecTp *codec = nullptr;
  {
    // Finishing before the last row.
    Messages m;
    ASSERT_EQ(open(&codec, &out), 0u);
    ASSERT_EQ(IfuCodecWrite(codec, rgb.data(), w * 3 * 10), 0u);
    EXPECT_NE(IfuCodecFinish(codec), 0u);
    EXPECT_NE(Messages::text().find("Close_compresion called in middle of image"),
              std::string::npos);
    // Every call after a failure says so.
    EXPECT_NE(IfuCodecWrite(codec, rgb.data(), w * 3), 0u);
    EXPECT_NE(Messages::text().find("IfcJPEG has previously returned an error"), std::string::npos);
    IfuCodecTerm(&codec);
  }
  {
    // More rows than the picture holds.
    Messages m;
    ASSERT_EQ(open(&codec, &out), 0u);
    ASSERT_EQ(IfuCodecWrite(codec, rgb.data(), static_cast<int32_t>(rgb.size())), 0u);
    EXPECT_NE(IfuCodecWrite(codec, rgb.data(), static_cast<int32_t>(rgb.size())), 0u);
    EXPECT_NE(Messages::text().find("To many lines fed to 20"), std::string::npos)
        << Messages::text();
    IfuCodecTerm(&codec);
  }
  {
    // Compressing after the close.
    Messages m;
    out.clear();
    ASSERT_EQ(open(&codec, &out), 0u);
    ASSERT_EQ(IfuCodecWrite(codec, rgb.data(), static_cast<int32_t>(rgb.size())), 0u);
    ASSERT_EQ(IfuCodecFinish(codec), 0u);
    EXPECT_NE(IfuCodecFinish(codec), 0u);
    EXPECT_NE(Messages::text().find("Compress called before init_compression"), std::string::npos);
    IfuCodecTerm(&codec);
    EXPECT_EQ(out[out.size() - 2], 0xFF);
    EXPECT_EQ(out.back(), 0xD9);
  }
}

// Diagnostics are written only while debugging, and never change the data.
TEST(JpegEncoder, DiagnosticsLeaveTheDataAlone) {
  static std::string text;
  text.clear();
  const uint16_t level = pvdebug;
  CmnDebugOutputPtr = [](const char *t) { text += t; };
  Bytes quiet, debugging;
  const Bytes picture = Picture(20, 10, 3, 8);
  EXPECT_EQ(Encode(Param(JPEG_PROGRESSIVE, JPEG_RGB, 20, 10), picture, &quiet), 0u);
  EXPECT_EQ(text, "");
  pvdebug = 2;
  EXPECT_EQ(Encode(Param(JPEG_PROGRESSIVE, JPEG_RGB, 20, 10), picture, &debugging), 0u);
  CmnDebugOutputPtr = nullptr;
  pvdebug = level;
  EXPECT_NE(text, "");
  EXPECT_EQ(debugging, quiet);
}

TEST(JpegEncoder, OptimalTablesKeepEveryCodeWithinSixteenBits) {
  // Counts growing like Fibonacci numbers give the deepest tree.
  uint32_t freq[256] = {};
  uint32_t a = 1, b = 1;
  for (int s = 0; s < 40; ++s) {
    freq[s] = a;
    const uint32_t next = a + b;
    a = b;
    b = next;
  }
  uint8_t bits[17], values[256];
  const int n = JpegOptimalTable(freq, bits, values);
  EXPECT_EQ(n, 40);
  // Kraft: the codes fit without the all-ones code.
  double kraft = 0;
  int total = 0;
  for (int l = 1; l <= 16; ++l) {
    kraft += bits[l] / std::pow(2.0, l);
    total += bits[l];
  }
  EXPECT_EQ(total, 40);
  EXPECT_LT(kraft, 1.0);
  // The most frequent symbol has a code no longer than the rarest one's.
  int length[256] = {};
  for (int l = 1, k = 0; l <= 16; ++l)
    for (int i = 0; i < bits[l]; ++i) length[values[k++]] = l;
  EXPECT_LE(length[39], length[0]);
  EXPECT_GT(length[39], 0);
}

}  // namespace
