// The CALS Type 1 driver: its header byte for byte, orientation records,
// files written by ImageMagick, our files opened by ImageMagick, and bad
// headers and data.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imagefile.h"
#include "rasterio.h"
#include "runprog.h"

namespace {

const char kConvert[] = "/usr/bin/convert-im6.q16";

std::string Record(const std::string &text) { return text + std::string(128 - text.size(), ' '); }

class Cals : public testing::Test {
 protected:
  void SetUp() override {
    CmnSetErrorHandler([](ReturnTp) {});
  }
  void TearDown() override {
    IffTerm(&cb_);
    CmnSetErrorHandler(CmnDefaultErrorHandler);
  }
  // Writes grey rows with the given resolution.
  void Write(const std::string &path, int32_t w, int32_t h, const Bytes &pixels, double xres,
             double yres) {
    IffControlBlockTp *out = nullptr;
    IffFileSpecTp spec = {path.c_str(), nullptr, 0};
    ASSERT_EQ(IffInit(nullptr, &out, IFF_SRV_EXPORT, &spec, IFF_TYPE_CALS, IFF_MIN_VERIFY, nullptr),
              0u);
    out->x_resolution = xres;
    out->y_resolution = yres;
    const uint64_t none[3] = {0, 0, 0};
    ASSERT_EQ(IffWtHead(out, w, h, 1, 1, 0, IFF_CM_GRAY, 0, 8, none, 0, 0, 0, nullptr), 0u);
    for (int32_t y = 0; y < h; ++y) {
      Bytes row(pixels.begin() + y * w, pixels.begin() + (y + 1) * w);
      ASSERT_EQ(IffWtScan(out, y, row.data()), 0u);
    }
    ASSERT_EQ(IffTerm(&out), 0u);
  }
  // A picture of grey values: dark ones read back black, light ones white.
  static Bytes Picture(int32_t w, int32_t h) {
    Bytes p;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) p.push_back(((x / 5 + y / 3) % 3 == 0 || x == y) ? 40 : 230);
    return p;
  }
  TempDir dir_;
  IffControlBlockTp *cb_ = nullptr;
};

TEST_F(Cals, WrittenHeaderIsByteForByteTheRecords) {
  const std::string head = Record("srcdocid: NONE") + Record("dstdocid: NONE") +
                           Record("txtfilid: NONE") + Record("figid: NONE") +
                           Record("srcgph: NONE") + Record("doccls: UNCLASS") + Record("rtype: 1") +
                           Record("rorient: 000,270") + Record("rpelcnt: 001700,000031");
  const std::string tail = Record("notes: NONE") + std::string(5 * 128, ' ');
  struct Case {
    double xres, yres;
    const char *density;
  } kCases[] = {{300, 300, "rdensty: 0300"},
                {199.6, 199.6, "rdensty: 0200"},
                {200, 300, "rdensty: MIXED"},
                {0, 0, "rdensty: 0200"}};
  const Bytes pixels = Picture(1700, 31);
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.density);
    const std::string path = dir_.file("h.cal");
    Write(path, 1700, 31, pixels, c.xres, c.yres);
    EXPECT_EQ(ReadFile(path).substr(0, 2048), head + Record(c.density) + tail);
  }
}

TEST_F(Cals, OrientationRecords) {
  struct Case {
    const char *record;
    int orientation, mirrored;
  } kCases[] = {{"rorient: 000", 0, 0},
                {"rorient: 090,270", 3, 0},
                {"rorient: 180,270", 2, 0},
                {"rorient: 270,270", 1, 0},
                {"rorient: 000,090", 0, 1}};
  // Our file's data under other orientation records.
  Write(dir_.file("o.cal"), 40, 7, Picture(40, 7), 200, 200);
  const std::string data = ReadFile(dir_.file("o.cal")).substr(2048);
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.record);
    std::string h = Record(c.record) + Record("rpelcnt: 40,7") + Record("rdensty: 200");
    h += std::string(2048 - h.size(), ' ');
    WriteFile(dir_.file("o2.cal"), h + data);
    IffTerm(&cb_);
    IffFileSpecTp spec = {nullptr, nullptr, 0};
    const std::string path = dir_.file("o2.cal");
    spec.name = path.c_str();
    uint32_t type = 0;
    ASSERT_EQ(IffInit(nullptr, &cb_, IFF_SRV_IMPORT, &spec, IFF_TYPE_CALS, IFF_MIN_VERIFY, &type),
              0u);
    IffParamTp header = {};
    ASSERT_EQ(IffRdHead(cb_, 0, nullptr, &header), 0u);
    EXPECT_EQ(header.orientation, c.orientation);
    EXPECT_EQ(header.mirrored, c.mirrored);
    EXPECT_EQ(header.x_resolution, 200);
  }
}

TEST_F(Cals, ImageMagickFilesBothWays) {
  for (int32_t w : {1700, 9}) {
    SCOPED_TRACE(w);
    ShellOutput("cd " + dir_.path() + " && pbmmake -g " + std::to_string(w) + " 33 > g.pbm && " +
                kConvert + " g.pbm im.cals && pnmtoplainpnm g.pbm > g.txt");
    const RgbImage im = ReadRgb(dir_.file("im.cals"));
    ASSERT_EQ(im.rc, 0u);
    EXPECT_EQ(im.rgb, NetpbmRgb("cat " + dir_.file("g.pbm")).rgb);
    Bytes got;
    for (size_t i = 0; i < im.rgb.size(); i += 3) got.push_back(im.rgb[i]);
    // Ours, opened by ImageMagick.
    Write(dir_.file("ours.cal"), w, 33, got, 0, 0);
    EXPECT_EQ(
        ShellOutput(std::string(kConvert) + " " + dir_.file("ours.cal") + " pbm:- | pnmtoplainpnm"),
        ReadFile(dir_.file("g.txt")));
  }
}

TEST_F(Cals, BadHeadersAndData) {
  Write(dir_.file("good.cal"), 300, 40, Picture(300, 40), 200, 200);
  const std::string good = ReadFile(dir_.file("good.cal"));
  const std::string head = good.substr(0, 2048), data = good.substr(2048);
  auto with_size = [&](const std::string &size) {
    std::string h = head;
    h.replace(8 * 128, 128, Record("rpelcnt: " + size));
    return h;
  };
  struct Case {
    const char *name;
    std::string file;
    bool fails;
  } kCases[] = {
      {"header cut short", head.substr(0, 2000), true},
      {"data cut short", head + data.substr(0, data.size() / 3), true},
      {"no data", head, true},
      {"garbage data", head + std::string(400, '\x0F'), true},
      {"100000 x 100000 over 2 KB", with_size("100000,100000") + std::string(2048, '\x55'), true},
      {"20000 x 200000 over 2 KB", with_size("20000,200000") + std::string(2048, '\0'), true},
      {"non-digit counts", with_size("abc,def") + data, true},
      {"wider than the data", with_size("000600,000040") + data, true},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    WriteFile(dir_.file("bad.cal"), c.file);
    EXPECT_NE(ReadRgb(dir_.file("bad.cal")).rc, 0u);
  }
}

}  // namespace
