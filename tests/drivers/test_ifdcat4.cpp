// The CATIA V4 picture driver: files built record by record, the block
// layout the writer chooses, and broken files with the decoder's messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rasterio.h"
#include "runprog.h"

namespace {

const ReturnTp kUnsupported = 0x06040001u, kInvalid = 0x06040003u;
using Byte = unsigned char;

std::string Be32(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

// An item: its length record, then its bytes padded to whole records.
std::string Item(const std::string &data, uint32_t length = ~0u) {
  if (length == ~0u) length = static_cast<uint32_t>(data.size());
  std::string rec = Be32(length) + std::string(76, '\0');
  return rec + data + std::string((80 - data.size() % 80) % 80, '\0');
}

// Three fixed records, an unneeded item, the image record and the blocks.
std::string Picture(uint32_t w, uint32_t h, uint32_t code, uint32_t blocks, uint32_t ppb,
                    const std::vector<std::string> &items, bool ebcdic = false) {
  std::string second(80, '\0');
  second.replace(16, 5, "PIXEL");
  if (ebcdic) IfuAsciiToEbcdic(&second[16], 5, &second[16]);
  std::string f =
      std::string(80, ' ') + second + std::string(80, ' ') + Item(std::string("\0\0\0\1", 4));
  std::string image;
  for (uint32_t v : {w, h, 1u, code, blocks, ppb, 1u, 8u, 0u}) image += Be32(v);
  f += Item(image);
  for (const std::string &data : items) f += Item(data);
  return f;
}

class Catia4 : public testing::Test {
 protected:
  RgbImage Read(const std::string &bytes) {
    const std::string path = dir_.file("in" + std::to_string(++files_) + ".cat4");
    WriteFile(path, bytes);
    return ReadRgb(path);
  }
  TempDir dir_;
  int files_ = 0;
};

TEST_F(Catia4, PlainAndRunLengthBlocksOfEveryPixelCode) {
  // 3 x 3, two rows per block: blocks of 6 and 3 pixels a plane.
  const std::vector<std::string> planes = {"\x01\x02\x03\x04\x05\x06", "\x07\x08\x09",
                                           "\x11\x12\x13\x14\x15\x16", "\x17\x18\x19",
                                           "\x21\x22\x23\x24\x25\x26", "\x27\x28\x29"};
  Bytes rgb;
  for (int i = 0; i < 9; ++i) rgb.insert(rgb.end(), {Byte(1 + i), Byte(0x11 + i), Byte(0x21 + i)});
  for (uint32_t code : {10400u, 10407u}) {
    RgbImage got = Read(Picture(3, 3, code, 2, 6, planes));
    EXPECT_EQ(got.rc, 0u);
    EXPECT_EQ(got.rgb, rgb);
  }
  // Runs end at each row's end; a block as long as its plain form is plain.
  const std::string runs("\x04\x05\x01\x06\x03\x07", 6);
  RgbImage grey = Read(Picture(4, 2, 20407, 1, 8, {runs}, true));
  EXPECT_EQ(grey.rc, 0u);
  EXPECT_EQ(grey.rgb,
            (Bytes{5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 6, 6, 6, 7, 7, 7, 7, 7, 7, 7, 7, 7}));
  // Sixteen-bit grey keeps the high byte; a method alone means 16-bit grey.
  for (uint32_t code : {20500u, 0u}) {
    RgbImage wide = Read(Picture(2, 1, code, 1, 2, {std::string("\x12\x34\xAB\xCD", 4)}));
    EXPECT_EQ(wide.rc, 0u);
    EXPECT_EQ(wide.rgb, (Bytes{0x12, 0x12, 0x12, 0xAB, 0xAB, 0xAB}));
  }
  // A 640-byte prefix in front of the records.
  EXPECT_EQ(Read(std::string(640, 'x') + Picture(3, 3, 10400, 2, 6, planes)).rgb, rgb);
}

TEST_F(Catia4, BrokenFilesFailWithTheDecodersMessage) {
  const std::string two("\x01\x02", 2), runs("\x02\x09", 2);
  const struct {
    std::string file;
    ReturnTp rc;
    const char *says;
  } kCases[] = {
      {Picture(2, 1, 30400, 1, 2, {two}), kUnsupported, "code de compression non reconnu"},
      {Picture(2, 1, 10403, 1, 2, {two, two, two}), kUnsupported, "compression code not available"},
      {Picture(2, 1, 20400, 0, 2, {two}), kInvalid, "imcompatible pixel size"},
      {Picture(2, 2, 20400, 1, 3, {two}), kInvalid, "imcompatible pixel size"},
      // A block item whose length runs past the end of the file.
      {Picture(2, 1, 20400, 1, 2, {}) + Item(two, 2).substr(0, 80), kInvalid,
       "uncompressed bloc failed"},
      {Picture(2, 3, 20407, 3, 2, {two, two}), kInvalid, "error in reading internal blocs"},
      // A run longer than the row, and runs that leave the block short.
      {Picture(1, 4, 20407, 1, 4, {runs}), kInvalid, "error in decoding compression"},
      {Picture(4, 1, 20407, 1, 4, {runs}), kInvalid, "error in decoding compression"},
      {std::string(240, ' ').replace(96, 5, "PIXEL"), kInvalid, "no pixel descritpion found"},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.says);
    const std::string path = dir_.file("bad.cat4");
    WriteFile(path, c.file);
    EXPECT_EQ(ReadRgb(path).rc, c.rc);
    RunResult r = RunProgram({PV_PVCONVERT, path, dir_.file("out.ppm")});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
  }
}

TEST_F(Catia4, WriterCutsPlanesIntoBlocksOfWholeRows) {
  // 2000 x 300: 0x40000 / 2000 = 131 rows a block, 3 blocks a plane.
  const int32_t w = 2000, h = 300;
  std::string ppm = "P6\n2000 300\n255\n";
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) ppm += {char(x / 8), char(y), char((x * y) & 0x1F)};
  WriteFile(dir_.file("in.ppm"), ppm);
  RunResult r = RunProgram({PV_PVCONVERT, dir_.file("in.ppm"), dir_.file("out.cat4")});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string f = ReadFile(dir_.file("out.cat4"));
  // The image record is the item of 36 bytes.
  const size_t image = f.find(Be32(36) + std::string(76, '\0'));
  ASSERT_NE(image, std::string::npos);
  EXPECT_EQ(f.substr(image + 80, 24),
            Be32(w) + Be32(h) + Be32(1) + Be32(10407) + Be32(3) + Be32(131 * w));
  EXPECT_EQ(f.substr(image - 160, 4), Be32(12));
  EXPECT_EQ(f.substr(image - 80, 12), Be32(1) + Be32(3 * 3 + 1) + Be32(131 * w));
  ASSERT_EQ(RunProgram({PV_PVCONVERT, dir_.file("out.cat4"), dir_.file("back.ppm")}).status, 0);
  EXPECT_EQ(ReadFile(dir_.file("back.ppm")).substr(16), ppm.substr(16));
}

}  // namespace
