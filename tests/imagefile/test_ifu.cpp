#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ifu.h"

namespace {

using Bytes = std::vector<uint8_t>;

ReturnTp Unmarked(ReturnTp rc) { return rc & ~CMN_REPORTED; }

Bytes Noise(size_t n, uint32_t seed, uint8_t mask = 0xFF) {
  Bytes b(n);
  for (auto &x : b) x = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16) & mask;
  return b;
}

TEST(IfuConvBPC, WidensToFullScaleAndNarrowsBack) {
  Bytes in = {0, 1, 7, 14, 15}, out(5), back(5);
  ASSERT_EQ(IfuConvBPC(5, 4, 8, in.data(), out.data()), 0u);
  EXPECT_EQ(out, (Bytes{0, 16, 112, 224, 255}));
  ASSERT_EQ(IfuConvBPC(5, 8, 4, out.data(), back.data()), 0u);
  EXPECT_EQ(back, in);

  Bytes line = {0x12, 0xFF, 0x00, 0, 0, 0};  // 16-bit samples: two bytes, high first
  ASSERT_EQ(IfuConvBPC(3, 8, 16, line.data(), line.data()), 0u);
  EXPECT_EQ(line, (Bytes{0x12, 0x00, 0xFF, 0xFF, 0x00, 0x00}));
  ASSERT_EQ(IfuConvBPC(3, 16, 8, line.data(), line.data()), 0u);
  EXPECT_EQ(Bytes(line.begin(), line.begin() + 3), (Bytes{0x12, 0xFF, 0x00}));

  EXPECT_EQ(Unmarked(IfuConvBPC(1, 8, 8, in.data(), out.data())), IFU_E_CONVBPC);
  EXPECT_EQ(Unmarked(IfuConvBPC(1, 8, 17, in.data(), out.data())), CMN_E_INVALID_ARG);
}

// Unpacks run-length data so that arbitrary input can be checked.
Bytes RunLengthDecode(const Bytes &packed, uint8_t marker) {
  Bytes out;
  for (size_t i = 0; i < packed.size(); i++) {
    const uint8_t b = packed[i];
    const bool run = (b & marker) == marker;
    out.insert(out.end(), run ? b - marker : 1, run ? packed.at(++i) : b);
  }
  return out;
}

Bytes RunLengthEncode(const Bytes &in, int kind) {
  Bytes out(IFU_RLE_MAXOUT(in.size()));
  int32_t length = -1;
  EXPECT_EQ(IfuRunLengthEncode(in.size(), 1, kind, &length, in.data(), out.data()), 0u);
  out.resize(length);
  return out;
}

TEST(IfuRunLengthEncode, RunsLiteralsAndRoundTrips) {
  EXPECT_EQ(RunLengthEncode({0xC5, 0x10, 0x10, 0x10}, 2), (Bytes{0xC1, 0xC5, 0xC3, 0x10}));
  const struct {
    int kind;
    uint8_t marker;
    size_t longest;
  } kinds[] = {{1, 0x80, 127}, {2, 0xC0, 63}, {3, 0xE0, 31}};
  for (const auto &k : kinds) {
    Bytes run(200, 0x10);
    Bytes packed = RunLengthEncode(run, k.kind);
    EXPECT_EQ(packed[0], 0xFF) << k.kind;  // as long as the kind allows
    EXPECT_EQ(packed.size(), 2 * ((200 + k.longest - 1) / k.longest)) << k.kind;
    EXPECT_EQ(RunLengthDecode(packed, k.marker), run);
    Bytes mixed = Noise(300, k.kind);  // every kind of byte, with short runs
    for (size_t i = 0; i < mixed.size(); i += 7) mixed[i + 1] = mixed[i];
    EXPECT_EQ(RunLengthDecode(RunLengthEncode(mixed, k.kind), k.marker), mixed) << k.kind;
  }
  int32_t length;
  uint8_t b = 0;
  EXPECT_EQ(Unmarked(IfuRunLengthEncode(1, 1, 4, &length, &b, &b)), IFU_E_RLKIND);
  EXPECT_EQ(Unmarked(IfuRunLengthEncode(1, 2, 1, &length, &b, &b)), IFU_E_RLUNIT);
}

TEST(IfuPlanes, RoundTripsOverOddWidths) {
  for (int32_t n : {1, 7, 9, 33}) {
    const size_t row = (n + 7) / 8;
    Bytes index = Noise(n, n, 0x0F), planes(4 * row, 0xAA), back(n);
    IfuIndexToPlanes(n, index.data(), planes.data());
    ASSERT_EQ(IfuPlanesToIndex(n, 4, planes.data(), back.data()), 0u);
    EXPECT_EQ(back, index) << n;
    EXPECT_EQ(planes[3 * row] >> 7, index[0] >> 3);  // bit 3 of pixel 0 leads the 4th row
  }
  for (int planes : {1, 5, 8, 24}) {
    const int32_t n = 11;
    const size_t pixel = planes > 8 ? 3 : 1;
    Bytes pixels = Noise(n * pixel, planes, planes < 8 ? (1 << planes) - 1 : 0xFF);
    Bytes packed(planes * ((n + 7) / 8)), back(n * pixel);
    ASSERT_EQ(IfuBitPlanes(pixels.data(), packed.data(), n, planes, IFU_PIXELS_TO_PLANES), 0u);
    ASSERT_EQ(IfuBitPlanes(packed.data(), back.data(), n, planes, IFU_PLANES_TO_PIXELS), 0u);
    EXPECT_EQ(back, pixels) << planes;
  }
  uint8_t b[8] = {};
  EXPECT_EQ(Unmarked(IfuPlanesToIndex(8, 2, b, b)), CMN_E_INVALID_ARG);
  EXPECT_EQ(Unmarked(IfuBitPlanes(b, b, 1, 25, IFU_PLANES_TO_PIXELS)), CMN_E_INVALID_ARG);
}

TEST(IfuPacked, BitsFieldsAndInPlaceExpansion) {
  Bytes bits(10), repacked(2, 0x55);
  IfuExpandBits(10, Bytes{0xA5, 0xFF}.data(), bits.data());
  EXPECT_EQ(bits, (Bytes{1, 0, 1, 0, 0, 1, 0, 1, 1, 1}));
  IfuPackBits(10, bits.data(), repacked.data());
  EXPECT_EQ(repacked, (Bytes{0xA5, 0xC0}));  // unused bits cleared

  for (int depth : {1, 2, 4}) {
    const int per_byte = 8 / depth;
    for (int32_t n : {1, 3, 5, 13}) {
      // Pack through IfuPutField (MSB first) and by hand (LSB first); the
      // line has exactly n bytes so that an overrun shows under the sanitizer.
      Bytes values = Noise(n, depth * 100 + n, (1 << depth) - 1), msb(n, 0), lsb(n, 0);
      for (int index = 0; index < per_byte; index++) {
        Bytes column;
        for (int32_t i = index; i < n; i += per_byte) column.push_back(values[i]);
        ASSERT_EQ(IfuPutField(column.size(), per_byte, index, column.data(), msb.data()), 0u);
        Bytes got(column.size());
        ASSERT_EQ(IfuGetField(column.size(), per_byte, index, msb.data(), got.data()), 0u);
        EXPECT_EQ(got, column);
      }
      for (int32_t i = 0; i < n; i++) lsb[i / per_byte] |= values[i] << depth * (i % per_byte);
      ASSERT_EQ(IfuExpandPacked(msb.data(), n, depth, 0), 0u);
      ASSERT_EQ(IfuExpandPacked(lsb.data(), n, depth, 1), 0u);
      EXPECT_EQ(msb, values) << depth << " bits, n " << n;
      EXPECT_EQ(lsb, values) << depth << " bits, n " << n;
    }
  }
  // Set bits black, in place, over widths around the byte and word
  // boundaries; the last byte's padding bits are set and must not show.
  for (int32_t n : {1, 7, 8, 9, 63, 64, 65}) {
    Bytes packed = Noise((n + 7) / 8, n), line(n);
    packed.back() |= static_cast<uint8_t>(0xFF >> (n % 8 ? n % 8 : 8));
    memcpy(line.data(), packed.data(), packed.size());
    IfuExpandBitsAs(n, line.data(), line.data(), 255, 0);
    for (int32_t i = 0; i < n; i++)
      ASSERT_EQ(line[i], packed[i / 8] >> (7 - i % 8) & 1 ? 0 : 255) << "n " << n << " i " << i;
  }
  uint8_t b = 0;
  EXPECT_EQ(Unmarked(IfuExpandPacked(&b, 1, 3, 0)), CMN_E_INVALID_ARG);
  EXPECT_EQ(Unmarked(IfuGetField(1, 3, 0, &b, &b)), IFU_E_PIXPERBYTE);
  EXPECT_EQ(Unmarked(IfuPutField(1, 4, 4, &b, &b)), CMN_E_INVALID_ARG);
}

TEST(IfuPacked, BitsToChangesFindsEveryChange) {
  // Rows of every width against the bits one by one; bits past the width
  // are set or clear and must not count, and a row ending in 1 bits must
  // not report a change at the width.
  for (int32_t n = 1; n < 300; n += n < 80 ? 1 : 37) {
    for (int kind = 0; kind < 3; ++kind) {
      Bytes packed = kind == 0 ? Noise((n + 7) / 8, n) : Bytes((n + 7) / 8, kind == 1 ? 0xFF : 0);
      if (kind == 2 && n > 20) packed[1] = 0x3C;  // one short black run
      std::vector<int32_t> expect, got(n + 1, -1);
      for (int32_t i = 0; i < n; ++i) {
        const int bit = packed[i / 8] >> (7 - i % 8) & 1;
        if (bit != (expect.size() % 2 == 1)) expect.push_back(i);
      }
      got.resize(IfuBitsToChanges(n, packed.data(), got.data()));
      ASSERT_EQ(got, expect) << "width " << n << " kind " << kind;
    }
  }
}

TEST(IfuPixels, BgrxRgbSwapsAndBitReversal) {
  Bytes line = {10, 20, 30, 40, 50, 60, 0, 0};  // two RGB pixels, room for 4 bytes each
  IfuRgbToXbgr(2, line.data(), line.data());
  EXPECT_EQ(line, (Bytes{0, 30, 20, 10, 0, 60, 50, 40}));
  IfuBgrxToRgb(2, 8, line.data(), line.data());
  EXPECT_EQ(Bytes(line.begin(), line.begin() + 6), (Bytes{10, 20, 30, 40, 50, 60}));
  Bytes rgb(3);
  IfuBgrxToRgb(1, 5, Bytes{0, 0x1F, 0x10, 0x01}.data(), rgb.data());
  EXPECT_EQ(rgb, (Bytes{0x00, 0x02, 0x03}));

  // Incomplete words and pixels at the end stay.
  const std::pair<void (*)(void *, int32_t), Bytes> swaps[] = {{IfuSwap32, {4, 3, 2, 1, 5, 6, 7}},
                                                               {IfuSwap16, {2, 1, 4, 3, 6, 5, 7}},
                                                               {IfuSwapRB, {3, 2, 1, 6, 5, 4, 7}}};
  for (const auto &swap : swaps) {
    Bytes b = {1, 2, 3, 4, 5, 6, 7};
    swap.first(b.data(), 7);
    EXPECT_EQ(b, swap.second);
  }

  Bytes all(256), rev(256);
  for (int i = 0; i < 256; i++) all[i] = rev[i] = static_cast<uint8_t>(i);
  IfuReverseBits(rev.data(), 256);
  EXPECT_EQ(rev[0x01], 0x80);
  EXPECT_EQ(rev[0xB4], 0x2D);
  IfuReverseBits(rev.data(), 256);
  EXPECT_EQ(rev, all);
}

TEST(IfuEbcdic, ConvertsBothWays) {
  const uint8_t e[] = {0xC1, 0x40, 0xF1, 0x81, 0xAD, 0xBD, 0x8B, 0x9D, 0x6A, 0xB5, 0x00, 0xFF};
  char a[sizeof e];
  IfuEbcdicToAscii(e, sizeof e, a);
  EXPECT_EQ(std::string(a, sizeof e), std::string("A 1a[]{)|5\0\0", sizeof e));

  const std::string text = "BEGIN IMAGE abcxyz ABCXYZ 0123456789";
  Bytes ebcdic(text.size());
  IfuAsciiToEbcdic(text.data(), text.size(), ebcdic.data());
  EXPECT_EQ(ebcdic[0], 0xC2);
  std::string back(text.size(), '?');
  IfuEbcdicToAscii(ebcdic.data(), ebcdic.size(), &back[0]);
  EXPECT_EQ(back, text);
}

// A codec that complements every byte, to drive the layer.
int g_terminated = 0;
const IfuCodecOpsTp kFake = {
    "fake",
    []() -> void * { return calloc(1, 16); },
    [](IfuCodecTp *c) -> ReturnTp { return c->object = malloc(1), 0; },
    [](IfuCodecTp *c) -> ReturnTp { return c->object = malloc(1), 0; },
    [](IfuCodecTp *c, const uint8_t *data, int32_t length) -> ReturnTp {
      if (!data) return IfuCodecOutput(c, reinterpret_cast<const uint8_t *>("END"), 3);
      Bytes v(data, data + length);
      for (auto &x : v) x = ~x;
      return IfuCodecOutput(c, v.data(), length);
    },
    [](IfuCodecTp *c, uint8_t *buffer, int32_t *length) -> ReturnTp {
      const uint8_t *chunk;
      int32_t got;
      if (ReturnTp rc = IfuCodecInput(c, &chunk, &got)) return rc;
      *length = std::min(got, *length);
      for (int32_t i = 0; i < *length; i++) buffer[i] = ~chunk[i];
      return 0;
    },
    [](IfuCodecTp *c) { free(c->object), g_terminated++; },
};

TEST(IfuCodec, EncoderOutputIsFetchedInPieces) {
  IfuCodecListTp list = {};
  IfuCodecTp *codec = nullptr;
  ASSERT_EQ(IfuCodecOpenEncoder(&list, &kFake, nullptr, nullptr, nullptr, &codec), 0u);
  Bytes data = Noise(IFU_CODEC_BUFSIZE + 100, 5), got, piece(1000);  // outgrows the buffer
  ASSERT_EQ(IfuCodecWrite(codec, data.data(), data.size()), 0u);
  ASSERT_EQ(IfuCodecFinish(codec), 0u);
  for (int32_t n; n = 1000, IfuCodecFetch(codec, piece.data(), &n) == 0 && n > 0;)
    got.insert(got.end(), piece.begin(), piece.begin() + n);
  ASSERT_EQ(got.size(), data.size() + 3);
  EXPECT_EQ(got[0], static_cast<uint8_t>(~data[0]));
  EXPECT_EQ(std::string(got.end() - 3, got.end()), "END");

  const int before = g_terminated;
  ASSERT_EQ(IfuCodecTerm(&codec), 0u);
  EXPECT_EQ(codec, nullptr);
  EXPECT_EQ(g_terminated, before + 1);
  EXPECT_EQ(list.count, 0);
  EXPECT_EQ(list.first, nullptr);
}

TEST(IfuCodec, DecoderPullsInputInChunks) {
  struct Source {
    Bytes data;
    size_t at;
  } src = {Noise(50, 9), 0};
  auto input = [](void *arg, uint8_t *buffer, int32_t *length) -> ReturnTp {
    Source *s = static_cast<Source *>(arg);
    *length = std::min<int32_t>(*length, s->data.size() - s->at);
    memcpy(buffer, s->data.data() + s->at, *length);
    s->at += *length;
    return 0;
  };
  IfuCodecTp *codec = nullptr;
  ASSERT_EQ(IfuCodecOpenDecoder(nullptr, &kFake, nullptr, input, &src, 16, &codec), 0u);
  Bytes out;
  uint8_t buf[64];
  for (int32_t n; n = sizeof buf, IfuCodecRead(codec, buf, &n) == 0 && n > 0;) {
    EXPECT_LE(n, 16);
    out.insert(out.end(), buf, buf + n);
  }
  ASSERT_EQ(out.size(), 50u);
  EXPECT_EQ(out[49], static_cast<uint8_t>(~src.data[49]));
  EXPECT_EQ(IfuCodecTerm(&codec), 0u);
}

TEST(IfuCodec, InvalidHandlesAndBuffers) {
  IfuCodecTp *none = nullptr, *enc = nullptr, *enc2 = nullptr;
  uint8_t b[4] = {};
  int32_t n = 4;
  EXPECT_EQ(Unmarked(IfuCodecWrite(nullptr, b, 4)), IFU_E_HANDLE);
  EXPECT_EQ(Unmarked(IfuCodecRead(nullptr, b, &n)), IFU_E_HANDLE);
  EXPECT_EQ(Unmarked(IfuCodecTerm(&none)), IFU_E_HANDLE);

  IfuCodecListTp list = {};
  ASSERT_EQ(IfuCodecOpenEncoder(&list, &kFake, nullptr, nullptr, nullptr, &enc), 0u);
  ASSERT_EQ(IfuCodecOpenEncoder(&list, &kFake, nullptr, nullptr, nullptr, &enc2), 0u);
  EXPECT_EQ(Unmarked(IfuCodecOpenEncoder(&list, &kFake, nullptr, nullptr, nullptr, &enc)),
            IFU_E_HANDLE_SET);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Unmarked(IfuCodecWrite(enc, b, 0)), IFU_E_BUFFER);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("GOT YOU  sl = 0\n"), std::string::npos);
  n = 0;
  EXPECT_EQ(Unmarked(IfuCodecFetch(enc, b, &n)), IFU_E_BUFFER);
  n = 4;
  EXPECT_EQ(Unmarked(IfuCodecRead(enc, b, &n)), IFU_E_HANDLE);  // not a decoder
  ASSERT_EQ(IfuCodecFetch(enc, b, &n), 0u);
  EXPECT_EQ(n, 0);  // nothing waiting

  EXPECT_EQ(list.count, 2);
  IfuCodecTermAll(&list);
  EXPECT_EQ(list.count, 0);
  EXPECT_EQ(list.last, nullptr);
}

}  // namespace
