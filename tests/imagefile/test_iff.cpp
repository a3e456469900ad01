// The image file interface around a driver written for the tests: the
// calling-order checks, the header checks and the normalisation of what
// the driver delivers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "imagefile.h"
#include "runprog.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// What the test driver reports: a header, a colour map and lines, as raw
// bytes in the driver's own layout.
struct FakeImage {
  IffParamTp header = {};
  std::vector<unsigned char> cmap;
  std::vector<std::vector<unsigned char>> lines;
  int32_t cmap_entries_asked = -1;
  int scans = 0;
};
FakeImage g_image;

const uint32_t kFakeType = IFF_TYPE_SGI;
// Most codes of the interface are internal errors; raised quietly they
// come back unmarked.
const uint32_t kQuiet = CMN_SEV_ERROR | CMN_SEV_INTERNAL;

ReturnTp FakeInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  *state = request->stream ? static_cast<void *>(request->stream) : static_cast<void *>(&g_image);
  return 0;
}
ReturnTp FakeRdHead(void *, IffParamTp *p) {
  IffParamTp h = g_image.header;
  h.page = p->page;
  h.client_data = p->client_data;
  *p = h;
  return 0;
}
ReturnTp FakeRdCMap(void *, IffParamTp *p) {
  g_image.cmap_entries_asked = p->cmap_entries;
  memcpy(p->cmap, g_image.cmap.data(), g_image.cmap.size());
  return 0;
}
ReturnTp FakeRdScan(void *, IffParamTp *p) {
  ++g_image.scans;
  const auto &l = g_image.lines.at(static_cast<size_t>(p->line));
  memcpy(p->buffer, l.data(), l.size());
  return 0;
}
ReturnTp FakeWtScan(void *, IffParamTp *) {
  ++g_image.scans;
  return 0;
}
ReturnTp FakeTerm(void **state) {
  if (*state != &g_image) IfiClose(static_cast<IfiHandleTp *>(*state));
  *state = nullptr;
  return 0;
}

uint32_t IdentifyForTests(const unsigned char *buffer, int32_t length) {
  if (length >= 7 && memcmp(buffer, "FAKEIMG", 7) == 0) return kFakeType;
  if (length >= 4 && memcmp(buffer, "%!PS", 4) == 0) return IFF_TYPE_PS;
  return IFF_TYPE_UNKNOWN;
}

class Interface : public testing::Test {
 protected:
  void SetUp() override {
    saved_identify_ = IfiIdentifyFn;
    IfiIdentifyFn = IdentifyForTests;
    *IffDriverSlot(kFakeType) = {FakeInit, FakeRdHead, nullptr,    FakeRdCMap,
                                 nullptr,  FakeRdScan, FakeWtScan, FakeTerm};
    g_image = FakeImage();
    IffParamTp &h = g_image.header;
    h.width = 4;
    h.height = 2;
    h.aspect_x = h.aspect_y = 1;
    h.planes = 1;
    h.bits_per_sample = 8;
    h.color_model = IFF_CM_GRAY;
    path_ = dir_.file("image.fake");
    WriteFile(path_, "FAKEIMG and some bytes");
  }
  void TearDown() override {
    IffTerm(&cb_);
    *IffDriverSlot(kFakeType) = {};
    IfiIdentifyFn = saved_identify_;
  }

  ReturnTp Open(const std::string &path, uint32_t requested = IFF_TYPE_ANY) {
    IffFileSpecTp spec = {path.c_str(), nullptr, 0};
    return IffInit(nullptr, &cb_, IFF_SRV_IMPORT, &spec, requested, IFF_MIN_VERIFY, &type_);
  }
  // Opens the fake file, reads its header and returns line `y` as the
  // client sees it.
  std::vector<unsigned char> ReadLine(int32_t y) {
    EXPECT_EQ(Open(path_), 0u);
    EXPECT_EQ(IffRdHead(cb_, 0, nullptr, &header_), 0u);
    EXPECT_EQ(IffRdScan(cb_, 1, y), 0u);
    return std::vector<unsigned char>(cb_->line, cb_->line + cb_->pixel_size * cb_->width);
  }

  TempDir dir_;
  std::string path_;
  IffControlBlockTp *cb_ = nullptr;
  IffParamTp header_ = {};
  uint32_t type_ = 99;
  IfiIdentifyFnTp saved_identify_ = nullptr;
};

using Bytes = std::vector<unsigned char>;

// What the client gets from a driver's own layout: 8-bit samples in 1 or
// 3 bytes per pixel.
TEST_F(Interface, LinesAreNormalisedTo8BitSamples) {
  const struct {
    int bits, bytes_per_pixel, width;
    uint32_t model;
    Bytes line, want;
  } cases[] = {
      {4, 0, 4, IFF_CM_GRAY, {0, 7, 15, 8}, {0, 119, 255, 136}},
      {16, 2, 4, IFF_CM_GRAY, {0x34, 0x12, 0xFF, 0xAB, 0, 1, 0xFF, 0xFF}, {0x12, 0xAB, 1, 0xFF}},
      {16, 6, 2, IFF_CM_RGB, {1, 10, 2, 20, 3, 30, 4, 40, 5, 50, 6, 60}, {10, 20, 30, 40, 50, 60}},
      {8, 0, 2, IFF_CM_CMYK, {0, 0, 0, 0, 100, 50, 0, 100}, {255, 255, 255, 55, 105, 155}}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.bits << " bits, model " << c.model);
    SetUp();
    IffParamTp &h = g_image.header;
    h.bits_per_sample = c.bits, h.bytes_per_pixel = c.bytes_per_pixel, h.width = c.width;
    h.color_model = c.model;
    g_image.lines = {c.line, {}};
    EXPECT_EQ(ReadLine(0), c.want);
    EXPECT_EQ(type_, kFakeType);
    EXPECT_EQ(header_.bits_per_sample, std::max(c.bits, 8)) << "fewer bits are spread to 8";
    EXPECT_EQ(header_.color_model, c.model == IFF_CM_CMYK ? uint32_t{IFF_CM_RGB} : c.model);
    EXPECT_EQ(cb_->pixel_size, c.model == IFF_CM_GRAY ? 1 : 3);
    IffTerm(&cb_);
  }
}

TEST_F(Interface, WideColourMapIsReadWholeAndAppliedInside) {
  IffParamTp &h = g_image.header;
  h.color_model = IFF_CM_RGB;
  h.has_cmap = 1;
  h.cmap_entries = 300;
  g_image.cmap.resize(300 * 3);
  for (int i = 0; i < 300; ++i) {
    g_image.cmap[3 * i] = static_cast<unsigned char>(i);
    g_image.cmap[3 * i + 1] = static_cast<unsigned char>(i >> 8);
    g_image.cmap[3 * i + 2] = 7;
  }
  // Indexes most significant byte first; the top 4 bits are not part of it.
  g_image.lines = {{0x01, 0x2B, 0x00, 0x05, 0xF1, 0x2B, 0x00, 0x00}, {}};
  EXPECT_EQ(ReadLine(0), (Bytes{43, 1, 7, 5, 0, 7, 43, 1, 7, 0, 0, 7}));
  EXPECT_EQ(g_image.cmap_entries_asked, 300) << "the driver reads every entry";
  EXPECT_EQ(header_.has_cmap, 0) << "the client sees pixels, not indexes";
  EXPECT_EQ(header_.cmap_entries, 256);
  EXPECT_EQ(cb_->pixel_size, 3);

  // An index beyond the file's entries reads a zeroed entry, never past
  // the map.
  IffTerm(&cb_);
  g_image.lines = {{0x0F, 0xFF, 0x0F, 0xFE, 0, 0, 0, 0}, {}};
  EXPECT_EQ(ReadLine(0), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 7}));
}

TEST_F(Interface, SmallPaletteGoesToTheClient) {
  IffParamTp &h = g_image.header;
  h.color_model = IFF_CM_RGB;
  h.has_cmap = 1;
  h.cmap_entries = 2;
  h.bits_per_sample = 1;
  g_image.cmap = {0, 0, 0, 1, 1, 1};
  g_image.lines = {{0, 1, 1, 0}, {}};
  EXPECT_EQ(ReadLine(0), (Bytes{0, 1, 1, 0})) << "indexes are not spread";
  EXPECT_EQ(header_.color_model, static_cast<uint32_t>(IFF_CM_PALETTE));
  EXPECT_EQ(header_.has_cmap, 1);
  ASSERT_EQ(IffRdCMap(cb_), 0u);
  EXPECT_EQ(Bytes(cb_->cmap, cb_->cmap + 6), (Bytes{0, 0, 0, 255, 255, 255}));
}

TEST_F(Interface, HeaderChecks) {
  struct Case {
    void (*spoil)(IffParamTp &);
    ReturnTp code;
  } cases[] = {
      {[](IffParamTp &h) { h.width = 0; }, IFF_E_BAD_HEADER},
      {[](IffParamTp &h) { h.aspect_y = 0; }, IFF_E_BAD_HEADER},
      {[](IffParamTp &h) { h.planes = 11; }, IFF_E_BAD_HEADER},
      {[](IffParamTp &h) { h.bits_per_sample = 17; }, IFF_E_BAD_HEADER},
      {[](IffParamTp &h) { h.has_cmap = 2; }, IFF_E_HAS_CMAP},
      {[](IffParamTp &h) { h.color_model = IFF_CM_BILEVEL; }, IFF_E_CMAP},
      {[](IffParamTp &h) { h.cmap_entries = 4; }, IFF_E_CMAP_SIZE},
      {[](IffParamTp &h) { h.orientation = 4; }, IFF_E_ORIENTATION},
      {[](IffParamTp &h) { h.mirrored = 2; }, IFF_E_MIRRORED},
      // Hostile sizes never size an allocation.
      {[](IffParamTp &h) { h.width = 0x7FFFFFFF; }, IFF_E_WIDTH},
      {[](IffParamTp &h) { h.width = -5; }, IFF_E_WIDTH},
      {[](IffParamTp &h) { h.has_cmap = 1, h.cmap_entries = 2000000000; }, IFF_E_CMAP_SIZE}};
  CmnFilterOn(kQuiet);
  for (const Case &c : cases) {
    SetUp();
    c.spoil(g_image.header);
    ASSERT_EQ(Open(path_), 0u);
    EXPECT_EQ(IffRdHead(cb_, 0, nullptr, &header_), c.code);
    IffTerm(&cb_);
  }
  CmnFilterOff(kQuiet);
}

TEST_F(Interface, CallingOrder) {
  IffParamTp h;
  CaptureStderr();
  EXPECT_EQ(IffRdHead(nullptr, 0, nullptr, &h), IFF_E_CB_NULL | CMN_REPORTED);
  // Codes of the interface are internal errors: they always name their place.
  EXPECT_EQ(GetCapturedStderr().rfind("Internal Error: Control block pointer is NULL (iff ", 0),
            0u);

  g_image.lines = {{1, 2, 3, 4}, {5, 6, 7, 8}};
  ASSERT_EQ(Open(path_), 0u);
  IffControlBlockTp *other = cb_;
  EXPECT_EQ(Open(path_) & ~CMN_REPORTED, IFF_E_CB_NOT_NULL);
  ASSERT_EQ(cb_, other);
  EXPECT_EQ(IffRdScan(cb_, 1, 0) & ~CMN_REPORTED, IFF_E_SCANLINE_PTR)
      << "no line buffer before the header";
  ASSERT_EQ(IffRdHead(cb_, 0, nullptr, &h), 0u);
  // A single-page file has one header; the second read says so quietly.
  CaptureStderr();
  EXPECT_EQ(IffRdHead(cb_, 0, nullptr, &h), IFF_I_NO_MORE_PAGES);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(IffRdCMap(cb_) & ~CMN_REPORTED, IFF_E_NO_CMAP_RD);
  EXPECT_EQ(IffWtCMap(cb_, cb_->line) & ~CMN_REPORTED, IFF_E_SERVICE);
  EXPECT_EQ(IffWtCMap(cb_, nullptr) & ~CMN_REPORTED, IFF_E_CMAP_PTR);

  // Reads past the last line are counted over the whole run.
  int scans = g_image.scans;
  CaptureStderr();
  ReturnTp rc = IffRdScan(cb_, 1, 2);
  EXPECT_EQ(GetCapturedStderr(), "Error: Trying to read a line (2) that does not exist\n");
  EXPECT_NE(rc, 0u);
  EXPECT_EQ(g_image.scans, scans) << "the driver is not asked";

  IffFileSpecTp both = {"x", &both, 0};
  IffControlBlockTp *fresh = nullptr;
  CmnFilterOn(kQuiet);
  EXPECT_EQ(IffInit(nullptr, &fresh, IFF_SRV_IMPORT, nullptr, 1, 0, nullptr), IFF_E_NO_FILENAME);
  EXPECT_EQ(IffInit(nullptr, &fresh, IFF_SRV_IMPORT, &both, 1, 0, nullptr), 0x00080001u);
  CmnFilterOff(kQuiet);
  EXPECT_EQ(fresh, nullptr);
}

// An unknown file, and PostScript which has no driver: the client decides
// about them, unless it asks for such a type itself.
TEST_F(Interface, UnknownAndDriverlessTypes) {
  WriteFile(dir_.file("what.bin"), "nothing anyone knows");
  ASSERT_EQ(Open(dir_.file("what.bin")), 0u);
  EXPECT_EQ(type_, 0u);
  EXPECT_EQ(cb_->driver_present, 0);
  IffTerm(&cb_);
  WriteFile(dir_.file("page.ps"), "%!PS-Adobe-3.0\n");
  ASSERT_EQ(Open(dir_.file("page.ps")), 0u);
  EXPECT_EQ(type_, static_cast<uint32_t>(IFF_TYPE_PS));
  IffTerm(&cb_);
  CmnFilterOn(kQuiet);
  EXPECT_EQ(Open(dir_.file("page.ps"), IFF_TYPE_PS), IFF_E_NOT_LINKED);
  CmnFilterOff(kQuiet);
}

TEST_F(Interface, ExportChecks) {
  const std::string out = dir_.file("out.x");
  IffFileSpecTp spec = {out.c_str(), nullptr, 0};
  CmnFilterOn(kQuiet);
  // The fake driver has no header writer: it reads only.
  EXPECT_EQ(IffInit(nullptr, &cb_, IFF_SRV_EXPORT, &spec, kFakeType, 0, &type_), IFF_E_IMPORT_ONLY);
  IffTerm(&cb_);
  EXPECT_EQ(IffInit(nullptr, &cb_, IFF_SRV_EXPORT, &spec, IFF_TYPE_GZIP, 0, &type_),
            CMN_E_NOT_SUPPORTED);
  IffTerm(&cb_);
  EXPECT_EQ(IffInit(nullptr, &cb_, IFF_SRV_EXPORT, &spec, 60, 0, &type_), CMN_E_NOT_SUPPORTED);
  IffTerm(&cb_);

  IffDriverSlot(kFakeType)->WtHead = [](void *, IffParamTp *) -> ReturnTp { return 0; };
  ASSERT_EQ(IffInit(nullptr, &cb_, IFF_SRV_EXPORT, &spec, kFakeType, 0, &type_), 0u);
  unsigned char line[16] = {};
  IffParamTp h;
  EXPECT_EQ(IffRdHead(cb_, 0, nullptr, &h), IFF_E_SERVICE);
  EXPECT_EQ(IffWtHead(cb_, 0, 2, 1, 1, 0, IFF_CM_GRAY, 0, 8, nullptr, 0, 0, 0, nullptr),
            IFF_E_WT_HEADER);
  EXPECT_EQ(IffWtHead(cb_, 4, 2, 1, 1, 0, IFF_CM_CMYK, 0, 8, nullptr, 0, 0, 0, nullptr),
            IFF_E_CMAP);
  ASSERT_EQ(IffWtHead(cb_, 4, 2, 1, 1, 0, IFF_CM_BILEVEL, 0, 1, nullptr, 0, 0, 0, nullptr), 0u);
  EXPECT_EQ(IffWtCMap(cb_, line), IFF_E_NO_CMAP_WT);
  EXPECT_EQ(IffWtScan(cb_, 1, line), 0u);
  int scans = g_image.scans;
  EXPECT_EQ(IffWtScan(cb_, 2, line), IFF_E_WT_NO_LINE);
  EXPECT_EQ(g_image.scans, scans);
  CmnFilterOff(kQuiet);
}

// A driver's stream: the fixed header read from the start; on a failure a
// stream opened here is closed (a leak shows under the sanitizer) and a
// stream handed in stays open for its owner.
TEST_F(Interface, DriverStreamReadsTheHeaderAndClosesOnlyItsOwn) {
  IffOpenRequestTp request = {};
  request.service = IFF_SRV_IMPORT;
  request.spec = {path_.c_str(), nullptr, 0};
  IfiHandleTp *handle = nullptr;
  char magic[8] = {}, big[64];
  bool opened = false;
  ASSERT_EQ(IffOpenDriverStream(&request, &handle, magic, 7, &opened), 0u);
  EXPECT_TRUE(opened);
  EXPECT_STREQ(magic, "FAKEIMG");
  ASSERT_EQ(IfiRead(magic, 4, 1, handle), 0u);  // after the header
  EXPECT_EQ(std::string(magic, 4), " and");
  EXPECT_EQ(IffOpenDriverStream(&request, &handle, big, sizeof big), IFI_E_EOF);
  request.stream = handle;  // handed in, read from its start again
  EXPECT_EQ(IffOpenDriverStream(&request, &handle, big, sizeof big, &opened), IFI_E_EOF);
  EXPECT_FALSE(opened);
  ASSERT_EQ(IffOpenDriverStream(&request, &handle, magic, 7), 0u);
  EXPECT_EQ(handle, request.stream);
  EXPECT_EQ(IfiClose(handle), 0u);
}

TEST_F(Interface, FrequentColoursMostCommonFirst) {
  ASSERT_EQ(Open(path_), 0u);
  ASSERT_EQ(IffRdHead(cb_, 0, nullptr, &header_), 0u);
  // 2000 x white, 600 x 5, 400 x 9 then 7 tie at 0 afterwards.
  for (int i = 0; i < IFF_SAMPLES; ++i)
    cb_->sample_values[i] = i < 2000 ? 0xFFFFFF : i < 2600 ? 5 : 9;
  cb_->sample_values[2999] = 7;
  IffFrequentColors(cb_);
  EXPECT_EQ(cb_->frequent[0], 0xFFFFFFu);
  EXPECT_EQ(cb_->frequent[1], 5u);
  EXPECT_EQ(cb_->frequent[2], 9u);
  EXPECT_EQ(cb_->frequent[3], 7u);
  EXPECT_EQ(cb_->frequent[4], 0xFFFFFFu) << "with nothing left, entry 0 is taken";
  // The client samples while it reads: the positions lie inside the image
  // in reading order.
  for (int i = 1; i < IFF_SAMPLES; ++i) {
    ASSERT_LE(cb_->sample_rows[i - 1] * 4ull + cb_->sample_cols[i - 1],
              cb_->sample_rows[i] * 4ull + cb_->sample_cols[i]);
    ASSERT_LT(cb_->sample_rows[i], 2u);
  }
}

}  // namespace
