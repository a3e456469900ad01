// The JPEG decoder against libjpeg-turbo's djpeg on files made by cjpeg,
// against streams built here for what cjpeg cannot make (lossless,
// 12-bit), and on damaged and hostile streams.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "codecs.h"
#include "jpegint.h"
#include "runprog.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<ReturnTp> g_raised;
void Record(ReturnTp code) { g_raised.push_back(code & ~CMN_REPORTED); }
void Quiet(const char *) {}

struct Result {
  ReturnTp open = 0, read = 0;
  JpegParamTp header = {};
  Bytes pixels;                // rows as delivered
  std::string message, again;  // the codec's words on failing, and on a call after it
};

struct Memory {
  const Bytes *data;
  size_t at;
};

ReturnTp Input(void *arg, uint8_t *buffer, int32_t *length) {
  auto *m = static_cast<Memory *>(arg);
  // Small chunks, so that markers and codes straddle chunk ends.
  size_t n = std::min<size_t>({m->data->size() - m->at, static_cast<size_t>(*length), 777});
  memcpy(buffer, m->data->data() + m->at, n);
  m->at += n;
  *length = static_cast<int32_t>(n);
  return 0;
}

Result Decode(const Bytes &jpeg, const Bytes *tables = nullptr, int scale_shift = 0,
              int color = 0) {
  Result r;
  Memory m = {&jpeg, 0};
  void *param = nullptr;
  IfuCodecCreateParam(&JpegCodecOps, &param);
  auto *p = static_cast<JpegParamTp *>(param);
  if (tables) {
    p->tables = tables->data();
    p->tables_length = static_cast<int32_t>(tables->size());
  }
  IfuCodecTp *codec = nullptr;
  r.open =
      IfuCodecOpenDecoder(nullptr, &JpegCodecOps, param, Input, &m, 4096, &codec) & ~CMN_REPORTED;
  if (r.open) {
    r.message = JpegLastMessage();
    return r;
  }
  p = static_cast<JpegParamTp *>(codec->param);
  p->color = color ? color : p->components == 1 ? JPEG_GRAY : JPEG_RGB;
  p->scale_shift = scale_shift;
  r.header = *p;
  const size_t row =
      static_cast<size_t>(p->width) * (p->color == JPEG_GRAY ? 1 : 3) * (p->file_depth > 8 ? 2 : 1);
  Bytes band(row * p->band_height);
  for (;;) {
    int32_t length = static_cast<int32_t>(band.size());
    r.read = IfuCodecRead(codec, band.data(), &length);
    r.pixels.insert(r.pixels.end(), band.begin(), band.begin() + (r.read ? 0 : length));
    if (r.read) break;
  }
  r.read &= ~CMN_REPORTED;
  if (r.read == IFU_I_EOD) r.read = 0;
  if (r.read) {
    r.message = JpegLastMessage();
    int32_t length = static_cast<int32_t>(band.size());
    IfuCodecRead(codec, band.data(), &length);
    r.again = JpegLastMessage();
  }
  IfuCodecTerm(&codec);
  return r;
}

// A picture with smooth shading, edges and noise, as a PPM.
std::string Picture(int w, int h) {
  std::string ppm = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  uint32_t seed = 12345;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      seed = seed * 1103515245u + 12345u;
      const int noise = static_cast<int>(seed >> 27) - 16;
      const double s = 128 + 100 * std::sin(x * 0.07) * std::cos(y * 0.05);
      const int edge = ((x / 23 + y / 17) & 1) ? 60 : -60;
      auto clamp = [](double v) { return static_cast<char>(v < 0 ? 0 : v > 255 ? 255 : v); };
      ppm += clamp(s + noise);
      ppm += clamp(128 + edge + noise / 2);
      ppm += clamp(255 - s + edge / 3);
    }
  return ppm;
}

Bytes ToBytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

// The pixels of a binary PGM or PPM.
Bytes PnmPixels(const std::string &pnm) {
  size_t at = 0;
  for (int fields = 0; fields < 4; ++fields) {
    while (at < pnm.size() && isspace(static_cast<unsigned char>(pnm[at]))) ++at;
    while (at < pnm.size() && !isspace(static_cast<unsigned char>(pnm[at]))) ++at;
  }
  return Bytes(pnm.begin() + static_cast<long>(at) + 1, pnm.end());
}

double Psnr(const Bytes &a, const Bytes &b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.size(); ++i) se += (a[i] - b[i]) * (a[i] - b[i]);
  return se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * a.size() / se);
}

class JpegDec : public testing::Test {
 protected:
  void SetUp() override {
    CmnSetErrorHandler(Record);
    saved_debug_ = CmnHandleDebug;
    CmnHandleDebug = Quiet;
    g_raised.clear();
  }
  void TearDown() override {
    CmnSetErrorHandler(CmnDefaultErrorHandler);
    CmnHandleDebug = saved_debug_;
  }
  CmnDebugHandlerTp saved_debug_ = nullptr;
  Bytes Cjpeg(const std::string &options, int w, int h) {
    WriteFile(dir_.file("in.ppm"), Picture(w, h));
    return ToBytes(ShellOutput("cjpeg " + options + " " + dir_.file("in.ppm")));
  }
  Bytes Djpeg(const Bytes &jpeg) {
    WriteFile(dir_.file("d.jpg"), std::string(jpeg.begin(), jpeg.end()));
    return PnmPixels(ShellOutput("djpeg -pnm " + dir_.file("d.jpg")));
  }
  TempDir dir_;
};

TEST_F(JpegDec, MatchesDjpegOnCjpegFiles) {
  struct Case {
    const char *options;
    int w, h;
  } cases[] = {
      {"-quality 10", 301, 203},
      {"-quality 50 -sample 1x1", 64, 64},
      {"-quality 100", 17, 9},
      {"-quality 75 -optimize -sample 2x1", 100, 31},
      {"-restart 1 -sample 1x2", 129, 66},
      {"-sample 4x1 -restart 2", 70, 19},
      {"-sample 3x2 -quality 90", 50, 50},
      // Halved chroma is interpolated: rows and columns at the edges of
      // the image and of MCU rows, components of two or three samples.
      {"-sample 2x2 -restart 1", 5, 3},
      {"-sample 2x2", 3, 35},
      {"-sample 2x2", 6, 17},
      {"-sample 2x1", 4, 2},
      {"-sample 1x2 -quality 95", 33, 31},
      {"-sample 2x2,1x1,2x1", 41, 18},
      {"-progressive", 301, 203},
      {"-progressive -sample 1x1 -quality 95", 45, 77},
      {"-progressive -sample 2x1,1x2,1x1 -restart 3", 99, 40},
      {"-grayscale", 301, 203},
      {"-grayscale -progressive -quality 30", 33, 65},
      {"-grayscale -quality 100 -restart 1", 1, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.options);
    const Bytes jpeg = Cjpeg(c.options, c.w, c.h);
    const Result r = Decode(jpeg);
    ASSERT_EQ(r.open, 0u);
    ASSERT_EQ(r.read, 0u);
    EXPECT_EQ(r.header.width, c.w);
    EXPECT_EQ(r.header.height, c.h);
    // Coarse tables need 16-bit entries: cjpeg then writes an extended frame.
    EXPECT_EQ(r.header.file_mode, strstr(c.options, "progressive")        ? JPEG_PROGRESSIVE
                                  : strcmp(c.options, "-quality 10") == 0 ? JPEG_EXTENDED
                                                                          : JPEG_BASELINE);
    EXPECT_TRUE(r.pixels == Djpeg(jpeg));
  }
}

// Offset of the first marker with this code (after the start of image).
size_t Find(const Bytes &j, uint8_t code) {
  for (size_t i = 2; i + 1 < j.size(); ++i)
    if (j[i] == 0xFF && j[i + 1] == code) return i;
  return 0;
}

// The progressive scans of a file: offset of each SOS and of what follows its data.
std::vector<std::pair<size_t, size_t>> Scans(const Bytes &j) {
  std::vector<std::pair<size_t, size_t>> scans;
  for (size_t i = 2; i + 1 < j.size(); ++i) {
    if (j[i] != 0xFF || j[i + 1] != 0xDA) continue;
    size_t e = i + 2 + (j[i + 2] << 8 | j[i + 3]);
    while (e + 1 < j.size() &&
           !(j[e] == 0xFF && j[e + 1] != 0 && (j[e + 1] < 0xD0 || j[e + 1] > 0xD7)))
      ++e;
    scans.push_back({i, e});
    i = e - 1;
  }
  return scans;
}

TEST_F(JpegDec, RefusesBrokenStreamsWithTheirMessage) {
  const Bytes base = Cjpeg("-quality 80", 40, 24);
  const Bytes prog = Cjpeg("-progressive", 40, 24);
  struct Case {
    const char *message;
    Bytes data;
  };
  std::vector<Case> cases;
  auto with = [](Bytes b, size_t at, std::initializer_list<uint8_t> bytes) {
    for (uint8_t v : bytes) b.at(at++) = v;
    return b;
  };
  const size_t sof = Find(base, 0xC0), dqt = Find(base, 0xDB), dht = Find(base, 0xC4),
               sos = Find(base, 0xDA);
  cases.push_back({"Not JPEG data stream", Bytes(100, 0x55)});
  cases.push_back({"Hoz. sampling rate = 5 > 4, Component=1", with(base, sof + 11, {0x51})});
  cases.push_back({"Ver. sampling rate = 5 > 4, Component=1", with(base, sof + 11, {0x15})});
  cases.push_back({"Header length field invalid.", with(base, dqt + 2, {0, 60})});
  cases.push_back({"Header length field invalid.", with(base, dht + 2, {0, 10})});
  cases.push_back({"Overrun in Huffman code-tree", with(base, dht + 5, {3, 0, 3})});
  cases.push_back({"Invalid opcode in Huffman table specification", with(base, dht + 4, {0x25})});
  cases.push_back({"Scan no:1. Td or Ta number to big", with(base, sos + 6, {0x02})});
  cases.push_back({"Component ID not found: 9 (?)", with(base, sos + 5, {9})});
  cases.push_back({"JPEG arithmetic coding is not supported", with(base, sof + 1, {0xC9})});
  cases.push_back({"Frame not supported: 0xc5", with(base, sof + 1, {0xC5})});
  Bytes no_frame(base.begin(), base.begin() + static_cast<long>(sof));
  no_frame.insert(no_frame.end(), base.begin() + static_cast<long>(sos), base.end());
  cases.push_back({"Frame marker expected", no_frame});
  Bytes no_scan(base.begin(), base.begin() + static_cast<long>(sos));
  no_scan.insert(no_scan.end(), {0xFF, 0xD9});
  cases.push_back({"Start of scan expected", no_scan});
  // A frame of 65535 x 65535 with a few bytes of data: refused at once.
  auto cut = [](Bytes b, size_t n) {
    b.resize(n);
    return b;
  };
  cases.push_back({"JPEG data ends at row 0 of 65535",
                   cut(with(base, sof + 5, {0xFF, 0xFF, 0xFF, 0xFF}), sos + 100)});
  const size_t psof = Find(prog, 0xC2);
  // The same progressive: its store would be large, but memory follows the
  // data read, and the data end first.
  const size_t psos = Find(prog, 0xDA);
  cases.push_back({"JPEG data ends at row 0 of 65535",
                   cut(with(prog, psof + 5, {0xFF, 0xFF, 0xFF, 0xFF}), psos + 16)});
  // Progressive coverage: coefficients never sent (the file ends after
  // the fourth scan, before the luminance's high band), a scan sent twice.
  const auto scans = Scans(prog);
  ASSERT_GE(scans.size(), 6u);
  Bytes missing(prog.begin(), prog.begin() + static_cast<long>(scans[3].second));
  missing.insert(missing.end(), {0xFF, 0xD9});
  cases.push_back({"Scan missing for CNO=1 Z=6", missing});
  Bytes twice(prog.begin(), prog.begin() + static_cast<long>(scans[3].second));
  twice.insert(twice.end(), prog.begin() + static_cast<long>(scans[3].first), prog.end());
  cases.push_back({"overlap previous", twice});
  Bytes refine_first(prog.begin(), prog.begin() + static_cast<long>(scans[0].second));
  refine_first.insert(refine_first.end(), prog.begin() + static_cast<long>(scans.back().first),
                      prog.end());
  cases.push_back({"above current", refine_first});

  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    const Result r = Decode(c.data);
    EXPECT_TRUE(r.open || r.read);
    EXPECT_EQ(r.open ? r.open : r.read, IFU_E_JPEG);
    EXPECT_NE(r.message.find(c.message), std::string::npos) << r.message;
    if (!r.open) {
      EXPECT_EQ(r.again, "Please Check Return Codes, IfcJPEG has previously returned an error !!");
    }
  }
}

// Progressive files whose low bits are never refined are whole pictures,
// only coarser: a script that sends each band once, at a shift of one or
// two bits, and a complete file without its last refinement. djpeg also
// smooths the blocks of such files, which we do not: close to its picture.
TEST_F(JpegDec, UnrefinedBitsAreShown) {
  WriteFile(dir_.file("s.txt"),
            "0,1,2: 0-0, 0, 1;\n0: 1-63, 0, 2;\n1: 1-63, 0, 1;\n2: 1-63, 0, 1;\n");
  const Bytes prog = Cjpeg("-progressive -quality 90", 61, 37);
  const auto scans = Scans(prog);
  Bytes unrefined(prog.begin(), prog.begin() + static_cast<long>(scans.back().first));
  unrefined.insert(unrefined.end(), {0xFF, 0xD9});
  for (const Bytes &jpeg : {Cjpeg("-sample 1x1 -scans " + dir_.file("s.txt"), 61, 37), unrefined}) {
    const Result r = Decode(jpeg);
    ASSERT_EQ(r.open, 0u);
    ASSERT_EQ(r.read, 0u);
    EXPECT_GE(Psnr(r.pixels, Djpeg(jpeg)), 35.0);
  }
}

// The EXIF orientation is read from the block's first directory, and only
// from a block that holds what it claims: an entry of one SHORT from 1 to
// 8. Anything forged leaves it 0, and the picture decodes all the same.
TEST_F(JpegDec, ExifOrientationIsReadOnlyWhenTheBlockHoldsIt) {
  struct Case {
    const char *what;
    bool big_endian;
    uint32_t ifd, entries, tag, type, count, value;
    int want;
  } cases[] = {
      {"little-endian", false, 8, 1, 274, 3, 1, 6, 6},
      {"big-endian", true, 8, 1, 274, 3, 1, 8, 8},
      {"directory beyond the block", false, 4000, 1, 274, 3, 1, 6, 0},
      {"entry count beyond the block", false, 8, 9000, 274, 3, 1, 6, 0},
      {"value count forged", false, 8, 1, 274, 3, 70000, 6, 0},
      {"not a SHORT", false, 8, 1, 274, 4, 1, 6, 0},
      {"value out of range", false, 8, 1, 274, 3, 1, 9, 0},
  };
  const Bytes plain = Cjpeg("-quality 80", 16, 8);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Bytes tiff;
    auto put = [&](uint32_t v, int bytes) {
      for (int i = 0; i < bytes; ++i)
        tiff.push_back(static_cast<uint8_t>(v >> 8 * (c.big_endian ? bytes - 1 - i : i)));
    };
    const char *order = c.big_endian ? "MM" : "II";
    tiff.insert(tiff.end(), order, order + 2);
    put(42, 2);
    put(c.ifd, 4);
    put(c.entries, 2);
    put(c.tag, 2);
    put(c.type, 2);
    put(c.count, 4);
    put(c.value, 2);
    put(0, 2);
    put(0, 4);  // no next directory
    Bytes jpeg(plain.begin(), plain.begin() + 2);
    const size_t length = 2 + 6 + tiff.size();
    jpeg.insert(jpeg.end(), {0xFF, 0xE1, static_cast<uint8_t>(length >> 8),
                             static_cast<uint8_t>(length), 'E', 'x', 'i', 'f', 0, 0});
    jpeg.insert(jpeg.end(), tiff.begin(), tiff.end());
    jpeg.insert(jpeg.end(), plain.begin() + 2, plain.end());
    const Result r = Decode(jpeg);
    ASSERT_EQ(r.read, 0u);
    EXPECT_EQ(r.header.orientation, c.want);
    EXPECT_TRUE(r.pixels == Decode(plain).pixels);
  }
}

TEST_F(JpegDec, DamagedDataShowWhatWasDecodedAndTheRestGrey) {
  const Bytes base = Cjpeg("-quality 80 -sample 1x1", 64, 64);
  const Bytes full = Djpeg(base);
  const size_t row = 64 * 3;
  // Cut inside the scan: the top is right, the bottom mid grey.
  Bytes cut(base.begin(), base.begin() + static_cast<long>(base.size() / 2));
  Result r = Decode(cut);
  ASSERT_EQ(r.open | r.read, 0u);
  ASSERT_EQ(r.pixels.size(), full.size());
  EXPECT_TRUE(std::equal(full.begin(), full.begin() + 8 * row, r.pixels.begin()));
  EXPECT_TRUE(
      std::all_of(r.pixels.end() - 8 * row, r.pixels.end(), [](uint8_t v) { return v == 128; }));
  EXPECT_EQ(g_raised.back(), IFU_W_DATA_LOST);
  // Codes no table holds (all ones) in the middle of the data.
  Bytes corrupt = base;
  for (size_t i = base.size() / 2; i < base.size() / 2 + 40; i += 2)
    corrupt[i] = 0xFF, corrupt[i + 1] = 0;
  g_raised.clear();
  r = Decode(corrupt);
  EXPECT_EQ(r.open | r.read, 0u);
  EXPECT_EQ(r.pixels.size(), full.size());
  EXPECT_EQ(g_raised.back(), IFU_W_DATA_LOST);
  // A progressive file cut between scans shows the scans it has.
  const Bytes prog = Cjpeg("-progressive", 64, 64);
  r = Decode(Bytes(prog.begin(), prog.begin() + static_cast<long>(Scans(prog)[2].first) + 3));
  EXPECT_EQ(r.open | r.read, 0u);
  EXPECT_GE(Psnr(r.pixels, Djpeg(prog)), 15.0);
}

TEST_F(JpegDec, PagedCoefficientStoreGivesTheSamePicture) {
  const Bytes prog = Cjpeg("-progressive -sample 1x1", 301, 203);
  const Result in_memory = Decode(prog);
  const int32_t saved = JpegMemResidentLimit;
  JpegMemResidentLimit = 6;  // 6 of the 24 buffers this picture needs
  const Result paged = Decode(prog);
  JpegMemResidentLimit = saved;
  ASSERT_EQ(paged.open | paged.read, 0u);
  EXPECT_TRUE(paged.pixels == in_memory.pixels);
}

// ---- Streams built here -----------------------------------------------------

struct BitWriter {
  Bytes out;
  uint32_t acc = 0;
  int n = 0;
  void Put(uint32_t v, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      acc = acc << 1 | ((v >> i) & 1);
      if (++n == 8) {
        out.push_back(static_cast<uint8_t>(acc));
        if (acc == 0xFF) out.push_back(0);
        acc = n = 0;
      }
    }
  }
  void Flush() {
    while (n) Put(1, 1);
  }
};

void Segment(Bytes &j, uint8_t code, const Bytes &payload) {
  j.insert(j.end(), {0xFF, code, static_cast<uint8_t>((payload.size() + 2) >> 8),
                     static_cast<uint8_t>(payload.size() + 2)});
  j.insert(j.end(), payload.begin(), payload.end());
}

// A DC-style table: symbols 0..16 all with 5-bit codes (code = symbol).
Bytes FlatTable(uint8_t tc_th) {
  Bytes t = {tc_th, 0, 0, 0, 0, 17, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  for (int s = 0; s <= 16; ++s) t.push_back(static_cast<uint8_t>(s));
  return t;
}

// Magnitude category and its extra bits.
void PutDiff(BitWriter &w, int diff) {
  int s = 0;
  for (int a = diff < 0 ? -diff : diff; a; a >>= 1) ++s;
  w.Put(static_cast<uint32_t>(s), 5);
  if (s && s < 16) w.Put(static_cast<uint32_t>(diff < 0 ? diff - 1 : diff) & ((1u << s) - 1), s);
}

// A lossless stream of comps interleaved components, each sample the
// prediction from the neighbours plus the coded difference.
Bytes Lossless(int w, int h, int comps, int precision, int predictor, int pt, int restart_rows,
               const std::vector<uint16_t> &samples) {
  Bytes j = {0xFF, 0xD8};
  Bytes sof = {static_cast<uint8_t>(precision), static_cast<uint8_t>(h >> 8),
               static_cast<uint8_t>(h),         static_cast<uint8_t>(w >> 8),
               static_cast<uint8_t>(w),         static_cast<uint8_t>(comps)};
  for (int c = 0; c < comps; ++c) sof.insert(sof.end(), {static_cast<uint8_t>(c + 1), 0x11, 0});
  Segment(j, 0xC3, sof);
  Segment(j, 0xC4, FlatTable(0x00));
  if (restart_rows)
    Segment(
        j, 0xDD,
        {static_cast<uint8_t>((restart_rows * w) >> 8), static_cast<uint8_t>(restart_rows * w)});
  Bytes sos = {static_cast<uint8_t>(comps)};
  for (int c = 0; c < comps; ++c) sos.insert(sos.end(), {static_cast<uint8_t>(c + 1), 0});
  sos.insert(sos.end(), {static_cast<uint8_t>(predictor), 0, static_cast<uint8_t>(pt)});
  Segment(j, 0xDA, sos);
  BitWriter bw;
  auto at = [&](int x, int y, int c) {
    return samples[(static_cast<size_t>(y) * w + x) * comps + c] >> pt;
  };
  int rst = 0;
  for (int y = 0; y < h; ++y) {
    const bool first = y == 0 || (restart_rows && y % restart_rows == 0);
    if (y && first) {
      bw.Flush();
      bw.out.insert(bw.out.end(), {0xFF, static_cast<uint8_t>(0xD0 + (rst++ & 7))});
    }
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < comps; ++c) {
        int p;
        if (first)
          p = x == 0 ? 1 << (precision - pt - 1) : at(x - 1, y, c);
        else if (x == 0)
          p = at(x, y - 1, c);
        else {
          const int a = at(x - 1, y, c), b = at(x, y - 1, c), d = at(x - 1, y - 1, c);
          const int choices[8] = {
              0, a, b, d, a + b - d, a + ((b - d) >> 1), b + ((a - d) >> 1), (a + b) >> 1};
          p = choices[predictor];
        }
        int diff = (at(x, y, c) - p) & 0xFFFF;
        if (diff >= 32768) diff -= 65536;
        PutDiff(bw, diff == -32768 ? 32768 : diff);
      }
  }
  bw.Flush();
  j.insert(j.end(), bw.out.begin(), bw.out.end());
  j.insert(j.end(), {0xFF, 0xD9});
  return j;
}

TEST_F(JpegDec, LosslessStreamsDecodeToTheirSamples) {
  struct Case {
    int comps, precision, predictor, pt, restart_rows;
  } cases[] = {{1, 8, 1, 0, 0},  {3, 8, 2, 0, 0}, {1, 12, 3, 0, 2}, {3, 16, 4, 0, 0},
               {1, 16, 5, 0, 1}, {3, 8, 6, 2, 0}, {1, 10, 7, 1, 3}, {1, 2, 7, 0, 0}};
  const int w = 37, h = 11;
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "predictor " << c.predictor << " precision " << c.precision);
    std::vector<uint16_t> samples(static_cast<size_t>(w) * h * c.comps);
    uint32_t seed = 99;
    for (size_t i = 0; i < samples.size(); ++i) {
      seed = seed * 1664525u + 1013904223u;
      // Extremes and noise, so that every magnitude category is used.
      const uint32_t max = (1u << c.precision) - 1;
      samples[i] = static_cast<uint16_t>(((i % 7 == 0 ? max : seed >> 8) & max) >> c.pt << c.pt);
    }
    const Result r =
        Decode(Lossless(w, h, c.comps, c.precision, c.predictor, c.pt, c.restart_rows, samples));
    ASSERT_EQ(r.open | r.read, 0u) << JpegLastMessage();
    EXPECT_EQ(r.header.file_mode, JPEG_LOSSLESS);
    EXPECT_EQ(r.header.file_depth, c.precision);
    std::vector<uint16_t> got(samples.size());
    for (size_t i = 0; i < got.size(); ++i) {
      if (c.precision > 8)
        memcpy(&got[i], &r.pixels[2 * i], 2);
      else
        got[i] = r.pixels.at(i);
    }
    EXPECT_TRUE(got == samples);
  }
}

// 12-bit sequential: flat 8 x 8 blocks, DC terms only, through an
// abbreviated tables stream read before the data (as JPEG in TIFF has it).
TEST_F(JpegDec, TwelveBitSequentialWithSeparateTables) {
  const int w = 24, h = 16;
  const uint16_t levels[6] = {0, 4095, 2048, 1000, 3000, 7};
  Bytes tables = {0xFF, 0xD8};
  Bytes dqt = {0x00};
  dqt.insert(dqt.end(), 64, 1);
  Segment(tables, 0xDB, dqt);
  Segment(tables, 0xC4, FlatTable(0x00));
  Segment(tables, 0xC4, {0x10, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00});  // EOB only
  tables.insert(tables.end(), {0xFF, 0xD9});
  Bytes j = {0xFF, 0xD8};
  Segment(j, 0xC1, {12, 0, h, 0, w, 1, 1, 0x11, 0});
  Segment(j, 0xDA, {1, 1, 0x00, 0, 63, 0});
  BitWriter bw;
  int pred = 0;
  for (uint16_t level : levels) {
    const int dc = (level - 2048) * 8;
    PutDiff(bw, dc - pred);
    pred = dc;
    bw.Put(0, 1);  // end of block
  }
  bw.Flush();
  j.insert(j.end(), bw.out.begin(), bw.out.end());
  j.insert(j.end(), {0xFF, 0xD9});
  // At every size, 1/8 too, where a block is its DC term alone.
  for (int shift = 0; shift <= 3; ++shift) {
    const Result r = Decode(j, &tables, shift);
    ASSERT_EQ(r.open | r.read, 0u) << JpegLastMessage();
    EXPECT_EQ(r.header.file_mode, JPEG_EXTENDED);
    EXPECT_EQ(r.header.file_depth, 12);
    const int sw = w >> shift, sh = h >> shift, n = 8 >> shift;
    ASSERT_EQ(r.pixels.size(), static_cast<size_t>(sw * sh * 2)) << shift;
    for (int y = 0; y < sh; ++y)
      for (int x = 0; x < sw; ++x) {
        uint16_t v;
        memcpy(&v, &r.pixels[2 * (y * sw + x)], 2);
        ASSERT_EQ(v, levels[(y / n) * 3 + x / n]) << x << "," << y << " at 1/" << (1 << shift);
      }
  }
}

}  // namespace

namespace {

// Means of n x n squares of a decoded picture (c samples a pixel), the
// squares at the right and bottom edges cut short.
std::vector<double> Means(const Bytes &px, int w, int h, int c, int n) {
  const int rw = (w + n - 1) / n, rh = (h + n - 1) / n;
  std::vector<double> out(size_t(rw) * rh * c);
  for (int y = 0; y < rh; ++y)
    for (int x = 0; x < rw; ++x)
      for (int k = 0; k < c; ++k) {
        double sum = 0;
        int count = 0;
        for (int yy = y * n; yy < std::min(h, y * n + n); ++yy)
          for (int xx = x * n; xx < std::min(w, x * n + n); ++xx, ++count)
            sum += px[(size_t(yy) * w + xx) * c + k];
        out[(size_t(y) * rw + x) * c + k] = sum / count;
      }
  return out;
}

// A picture whose decoded samples stay inside the sample range: shading,
// edges and noise of moderate contrast.
std::string MildPicture(int w, int h) {
  std::string ppm = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  uint32_t seed = 777;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      seed = seed * 1103515245u + 12345u;
      const int noise = static_cast<int>(seed >> 28) - 8;
      const double s = 128 + 50 * std::sin(x * 0.07) * std::cos(y * 0.05);
      const int edge = ((x / 23 + y / 17) & 1) ? 20 : -20;
      ppm += static_cast<char>(s + noise);
      ppm += static_cast<char>(128 + edge + noise);
      ppm += static_cast<char>(255 - s + edge / 2);
    }
  return ppm;
}

}  // namespace

// At 1/2, 1/4 and 1/8 size each luma sample is the mean of the full
// decode's samples it covers, up to rounding, whatever the chroma
// sampling (chroma is decoded at the output's scale: its filter differs
// from the full decode's interpolation, so colours are held to libjpeg's
// scaled decoding instead, the oracle, where it takes the same means).
TEST_F(JpegDec, ReducedSizesAreMeansOfTheFullDecode) {
  struct Case {
    const char *options;
    int w, h;
    bool oracle;  // djpeg -scale takes the same means
  } cases[] = {
      {"-grayscale -quality 90", 301, 203, true},
      {"-sample 1x1 -quality 90", 99, 70, true},
      {"-sample 2x2 -quality 80", 301, 203, true},
      {"-sample 2x1 -progressive", 77, 50, false},
      {"-sample 4x1", 64, 33, false},
  };
  for (const Case &c : cases) {
    WriteFile(dir_.file("in.ppm"), MildPicture(c.w, c.h));
    const Bytes jpeg =
        ToBytes(ShellOutput(std::string("cjpeg ") + c.options + " " + dir_.file("in.ppm")));
    WriteFile(dir_.file("s.jpg"), std::string(jpeg.begin(), jpeg.end()));
    const Result full = Decode(jpeg, nullptr, 0, JPEG_GRAY);
    ASSERT_EQ(full.read, 0u) << c.options;
    for (int shift = 1; shift <= 3; ++shift) {
      SCOPED_TRACE(std::string(c.options) + " at 1/" + std::to_string(1 << shift));
      const Result small = Decode(jpeg, nullptr, shift, JPEG_GRAY);
      ASSERT_EQ(small.read, 0u);
      const std::vector<double> means = Means(full.pixels, c.w, c.h, 1, 1 << shift);
      ASSERT_EQ(small.pixels.size(), means.size());
      // A square cut short by the picture's edge is the mean of its whole
      // block, the edge as the encoder padded it: only whole ones count.
      const int n = 1 << shift, rw = (c.w + n - 1) / n;
      size_t close = 0, counted = 0;
      for (int y = 0; y < c.h / n; ++y)
        for (int x = 0; x < c.w / n; ++x, ++counted) {
          const size_t i = size_t(y) * rw + x;
          close += std::fabs(small.pixels[i] - means[i]) <= 1;
        }
      EXPECT_GE(double(close) / counted, 0.995);
      if (!c.oracle) continue;
      const Result colour = Decode(jpeg, nullptr, shift);
      const Bytes oracle = PnmPixels(ShellOutput(
          "djpeg -pnm -scale 1/" + std::to_string(1 << shift) + " " + dir_.file("s.jpg")));
      ASSERT_EQ(oracle.size(), colour.pixels.size());
      double far = 0;
      for (size_t i = 0; i < oracle.size(); ++i) far += std::abs(oracle[i] - colour.pixels[i]);
      EXPECT_LE(far / oracle.size(), 0.1);
    }
  }
}
