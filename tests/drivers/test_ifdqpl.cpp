// The native raw format: written files read back; hand-built ones cover old
// versions, modes the writer never makes, and broken headers and data.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "drivers.h"
#include "runprog.h"

namespace {

using Bytes = std::vector<unsigned char>;
const ReturnTp IFD_E_UNSUPPORTED = 0x06040001u, kEof = 0x0808000Au;

uint32_t IdentifyForTests(const unsigned char *buffer, int32_t length) {
  return length >= 7 && memcmp(buffer, "QPLMAGE", 7) == 0 ? IFF_TYPE_QPL : IFF_TYPE_UNKNOWN;
}

std::string Header(int version, unsigned width, unsigned height, int planes, int mode,
                   unsigned gap1 = 0, unsigned gap2 = 0) {
  std::string h("QPLMAGE\0\x24\0", 10);
  h += static_cast<char>(version);
  auto put16 = [&h](unsigned v) { h += {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; };
  for (unsigned v : {width, height, 1u, 1u}) put16(v);
  h += {0, static_cast<char>(planes), static_cast<char>(mode), 8, 0, 0, 0, 0, 0, 0, 0};
  for (unsigned v : {gap1, gap2, 0u}) put16(v);
  return h;
}

// h with the pixel aspect x : y.
std::string Aspect(std::string h, unsigned x, unsigned y) {
  h[15] = static_cast<char>(x & 0xFF), h[16] = static_cast<char>(x >> 8);
  h[17] = static_cast<char>(y & 0xFF), h[18] = static_cast<char>(y >> 8);
  return h;
}

struct Image {
  ReturnTp rc = 0;
  IffParamTp header = {};
  Bytes cmap;
  std::vector<Bytes> lines;
};

class Qpl : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = IfiIdentifyFn;
    IfiIdentifyFn = IdentifyForTests;
    CmnFilterOn(CMN_SEV_ERROR | CMN_SEV_INTERNAL);
  }
  void TearDown() override {
    CmnFilterOff(CMN_SEV_ERROR | CMN_SEV_INTERNAL);
    IfiIdentifyFn = saved_;
  }

  ReturnTp Write(int32_t width, const std::vector<Bytes> &lines, int32_t entries, Bytes cmap,
                 uint64_t compression = 0) {
    IffFileSpecTp spec = {path_.c_str(), nullptr, 0};
    IffControlBlockTp *cb = nullptr;
    const uint64_t comp[3] = {compression, 0, 0};
    ReturnTp rc =
        IffInit(nullptr, &cb, IFF_SRV_EXPORT, &spec, IFF_TYPE_QPL, IFF_MIN_VERIFY, nullptr);
    if (!rc)
      rc = IffWtHead(cb, width, static_cast<int32_t>(lines.size()), 1, 1, entries != 0,
                     entries ? IFF_CM_PALETTE : IFF_CM_RGB, entries, 8, comp, 0, 0, 0, nullptr);
    if (!rc && entries) rc = IffWtCMap(cb, cmap.data());
    for (size_t y = 0; !rc && y < lines.size(); ++y)
      rc = IffWtScan(cb, static_cast<int32_t>(y), const_cast<unsigned char *>(lines[y].data()));
    IffTerm(&cb);
    return rc;
  }

  Image Read(const std::string &data) {
    WriteFile(path_, data);
    return ReadWritten();
  }
  Image ReadWritten(IffControlBlockTp **keep = nullptr) {
    Image im;
    IffFileSpecTp spec = {path_.c_str(), nullptr, 0};
    IffControlBlockTp *cb = nullptr;
    im.rc = IffInit(nullptr, &cb, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, nullptr);
    if (!im.rc) im.rc = IffRdHead(cb, 0, nullptr, &im.header);
    if (!im.rc && im.header.has_cmap && !(im.rc = IffRdCMap(cb)))
      im.cmap.assign(cb->cmap, cb->cmap + 3 * im.header.cmap_entries);
    for (int32_t y = 0; !keep && !im.rc && y < im.header.height; ++y)
      if (!(im.rc = IffRdScan(cb, 1, y)))
        im.lines.emplace_back(cb->line, cb->line + cb->pixel_size * cb->width);
    if (keep)
      *keep = cb;  // for the caller's own reads
    else
      IffTerm(&cb);
    return im;
  }

  TempDir dir_;
  std::string path_ = dir_.file("image.qpl");
  IfiIdentifyFnTp saved_ = nullptr;
};

// Every reader is checked by the round trip over all writers; what it
// cannot see is the layout: 256 entries make version 3, 8 planes stored
// one byte per pixel.
TEST_F(Qpl, TwoHundredFiftySixColoursWriteVersionThree) {
  std::vector<Bytes> lines(17, Bytes(641, 7));
  ASSERT_EQ(0u, Write(641, lines, 256, Bytes(768, 5)));
  EXPECT_EQ(Header(3, 641, 17, 8, 1), ReadFile(path_).substr(0, 36));
}

TEST_F(Qpl, WriterRefusesWhatTheFormatCannotHold) {
  std::vector<Bytes> lines(2, Bytes(4, 0));
  EXPECT_EQ(IFD_E_UNSUPPORTED, Write(4, lines, 3, Bytes(9)));
  EXPECT_EQ(0x0608000Du, Write(4, lines, 0, {}, 1));
  EXPECT_EQ(IFD_E_TOO_LARGE, Write(70000, {Bytes(3 * 70000)}, 0, {}));
}

// Sixteen colours stored plane after plane: 25 lines come in bands of 10,
// 10 and 5 lines, each plane from its own part of the file.
TEST_F(Qpl, SixteenColourPlanesReadInBands) {
  const int w = 13, h = 25, rowbytes = 2;
  auto value = [](int x, int y) { return (x * 3 + y * 7) % 16; };
  std::string planes(4 * h * rowbytes, '\0');
  for (int p = 0; p < 4; ++p)
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        if (value(x, y) >> p & 1)
          planes[(p * h + y) * rowbytes + x / 8] |= static_cast<char>(0x80 >> x % 8);
  Image im = Read(Header(3, w, h, 4, 0) + std::string(48, 'c') + planes);
  ASSERT_EQ(0u, im.rc);
  ASSERT_EQ(static_cast<size_t>(h), im.lines.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) ASSERT_EQ(value(x, y), im.lines[y][x]) << x << "," << y;
}

// Versions 1 and 2 know only the first gap; version 3 skips both.
TEST_F(Qpl, GapsBeforeTheColourMap) {
  for (int version : {1, 2, 3}) {
    SCOPED_TRACE(version);
    Image im = Read(Header(version, 3, 2, 1, 1, 5, version == 3 ? 4 : 0xFFFF) +
                    std::string(version == 3 ? 9 : 5, 'g') + "\x10\x20\x30\x40\x50\x60" +
                    std::string("\x01\x00\x01\x00\x00\x01", 6));
    ASSERT_EQ(0u, im.rc);
    EXPECT_EQ((Bytes{0x10, 0x20, 0x30, 0x40, 0x50, 0x60}), im.cmap);
    EXPECT_EQ((std::vector<Bytes>{{1, 0, 1}, {0, 0, 1}}), im.lines);
  }
}

// The text screen is 640 x 400 whatever the header says; the low byte of
// the height field picks 16-line (25) or 8-line cells.
TEST_F(Qpl, TextScreenDrawsThroughItsFont) {
  auto font = [](int code, int row) { return (code * 7 + row * 13) & 0xFF; };
  auto code = [](int t, int c) { return (t * 80 + c) & 0xFF; };
  auto attribute = [](int t, int c) { return (t * 3 + c) & 0xFF; };
  for (unsigned height_field : {0x0119u, 0x0190u}) {
    SCOPED_TRACE(height_field);
    const int cell = height_field == 0x0119 ? 16 : 8;
    std::string file = Header(3, 80, height_field, 4, 9) + std::string(48, 'c');
    for (int i = 0; i < 8192; ++i) file += static_cast<char>(font(i / 32, i % 32));
    for (int t = 0; t < 400 / cell; ++t)
      for (int c = 0; c < 80; ++c)
        file += {static_cast<char>(code(t, c)), static_cast<char>(attribute(t, c))};
    Image im = Read(file);
    ASSERT_EQ(0u, im.rc);
    EXPECT_EQ(640, im.header.width);
    EXPECT_EQ(1600, im.header.aspect_x);
    EXPECT_EQ(1920, im.header.aspect_y);
    ASSERT_EQ(400u, im.lines.size());
    for (int y = 0; y < 400; ++y)
      for (int x = 0; x < 640; ++x) {
        const int t = y / cell, c = x / 8, a = attribute(t, c);
        const bool set = font(code(t, c), y % cell) & (0x80 >> x % 8);
        ASSERT_EQ(set ? a & 15 : (a & 0x70) >> 4, im.lines[y][x]) << x << "," << y;
      }
  }
}

TEST_F(Qpl, BrokenFilesFailWithTheirCode) {
  const std::string rgb = Header(3, 2, 2, 0, 1) + std::string(12, 'p');
  const struct {
    const char *what;
    std::string file;
    ReturnTp code;
  } cases[] = {
      {"last magic byte", "QPLMAGEX" + rgb.substr(8), IFD_E_UNSUPPORTED},
      {"header length 37", rgb.substr(0, 8) + '\x25' + rgb.substr(9), IFD_E_UNSUPPORTED},
      {"header length 5", rgb.substr(0, 8) + '\x05' + rgb.substr(9), IFD_E_UNSUPPORTED},
      {"version 4", Header(4, 2, 2, 0, 1) + rgb.substr(36), IFD_E_UNSUPPORTED},
      {"mode 5", Header(3, 2, 2, 0, 5) + rgb.substr(36), IFD_E_UNSUPPORTED},
      {"3 planes one after another", Header(3, 2, 2, 3, 0) + std::string(40, 'p'),
       IFD_E_UNSUPPORTED},
      {"9 planes", Header(3, 2, 2, 9, 1) + std::string(2000, 'p'), IFD_E_UNSUPPORTED},
      {"interleaved without colour map", Header(3, 2, 2, 0, 2) + rgb.substr(36), IFD_E_UNSUPPORTED},
      {"text without colour map", Header(3, 2, 25, 0, 9) + std::string(9000, 'p'),
       IFD_E_UNSUPPORTED},
      {"truncated header", rgb.substr(0, 20), kEof},
      {"truncated pixels", rgb.substr(0, rgb.size() - 1), kEof},
      {"huge, bytes", Header(3, 0xFFFF, 0xFFFF, 0, 1) + "pp", kEof},
      {"huge, planes", Header(3, 0xFFFF, 0xFFFF, 4, 0) + std::string(60, 'p'), kEof},
      {"zero width", Header(3, 0, 2, 0, 1), IFF_E_BAD_HEADER},
      // The aspect stretches the lines past the limits, or past 32 bits.
      {"aspect 1:65535", Aspect(Header(3, 1, 8192, 0, 1), 1, 0xFFFF) + "ppp", IFF_E_HEIGHT},
      {"aspect wraps", Aspect(Header(3, 1, 0xFFFF, 0, 1), 1, 0xFFFF) + "ppp", IFF_E_HEIGHT},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.code, Read(c.file).rc) << c.what;
    if (c.code == IFD_E_UNSUPPORTED) {  // the text names the driver that failed
      EXPECT_STREQ("Unsupported QPL format", CmnErrorText(c.code, nullptr, nullptr)) << c.what;
    }
  }

  // Lines come in order.
  WriteFile(path_, rgb);
  IffControlBlockTp *cb = nullptr;
  ASSERT_EQ(0u, ReadWritten(&cb).rc);
  EXPECT_EQ(0x06080005u, IffRdScan(cb, 1, 1));
  EXPECT_EQ(0u, IffRdScan(cb, 1, 0));
  IffTerm(&cb);
}

}  // namespace
