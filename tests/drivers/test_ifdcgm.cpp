// The CGM writer, checked with the tests' reader of the binary encoding
// (rasterio.h; no tool at hand reads CGM): every element's class, id and
// length, long forms and partitions, and the cell array decoded back to the
// picture written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imagefile.h"
#include "rasterio.h"
#include "runprog.h"

namespace {

class Cgm : public testing::Test {
 protected:
  void SetUp() override {
    CmnSetErrorHandler([](ReturnTp) {});
  }
  void TearDown() override { CmnSetErrorHandler(CmnDefaultErrorHandler); }
  // Rows of `cell` bytes per pixel; a colour map of `entries` when indexed.
  ReturnTp Write(int32_t w, int32_t h, uint32_t model, const Bytes &pixels, uint64_t compression,
                 int profile = 0, double dpi = 0, int entries = 0) {
    IffControlBlockTp *out = nullptr;
    IffFileSpecTp spec = {path_.c_str(), nullptr, 0};
    ReturnTp rc =
        IffInit(nullptr, &out, IFF_SRV_EXPORT, &spec, IFF_TYPE_CGM, IFF_MIN_VERIFY, nullptr);
    if (rc) {
      IffTerm(&out);  // the block is made even when the file cannot be
      return rc;
    }
    out->export_option = profile;
    out->x_resolution = out->y_resolution = dpi;
    out->resolution_known = dpi > 0;
    const uint64_t c[3] = {compression, 0, 0};
    const bool indexed = model == IFF_CM_PALETTE;
    rc = IffWtHead(out, w, h, 1, 1, indexed, model, entries, 8, c, 0, 0, 0, nullptr);
    Bytes cmap;
    for (int i = 0; i < entries; ++i)
      cmap.insert(cmap.end(),
                  {static_cast<unsigned char>(i), 7, static_cast<unsigned char>(255 - i)});
    if (!rc && indexed) rc = IffWtCMap(out, cmap.data());
    const size_t row = pixels.size() / static_cast<size_t>(h);
    for (int32_t y = 0; !rc && y < h; ++y)
      rc = IffWtScan(out, y, const_cast<unsigned char *>(&pixels[row * static_cast<size_t>(y)]));
    const ReturnTp closed = IffTerm(&out);
    return rc ? rc : closed;
  }
  TempDir dir_;
  std::string path_ = dir_.file("x.cgm");
};

TEST_F(Cgm, ElementsAndCellsReadBack) {
  struct Case {
    const char *name;
    uint32_t model;
    uint64_t compression;
    int entries;
  } kCases[] = {{"rgb packed", IFF_CM_RGB, 0, 0},
                {"rgb run-length", IFF_CM_RGB, 2, 0},
                {"index packed", IFF_CM_PALETTE, 0, 16},
                {"index run-length", IFF_CM_PALETTE, 2, 256},
                {"grey", IFF_CM_GRAY, 0, 0}};
  const int32_t w = 101, h = 67;  // odd rows; the cell array takes several partitions
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    const size_t cell = c.model == IFF_CM_RGB ? 3 : 1;
    Bytes pixels;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x)
        for (size_t k = 0; k < cell; ++k)
          pixels.push_back(static_cast<unsigned char>((x / 4 * 3 + y / 3 + k * 50) %
                                                      (c.entries ? c.entries : 256)));
    ASSERT_EQ(Write(w, h, c.model, pixels, c.compression, 0, 254, c.entries), 0u);
    const std::vector<CgmElement> e = CgmElements(ReadFile(path_));
    std::vector<std::pair<int, int>> ids;
    for (const CgmElement &x : e) ids.push_back({x.cls, x.id});
    std::vector<std::pair<int, int>> want = {{0, 1}, {1, 1}, {1, 2}, {1, 3}, {1, 4},  {1, 5},
                                             {1, 6}, {1, 7}, {1, 8}, {1, 9}, {1, 11}, {0, 3},
                                             {2, 1}, {2, 6}, {2, 2}, {0, 4}};
    if (c.entries) want.push_back({5, 34});
    want.insert(want.end(), {{4, 9}, {0, 5}, {0, 2}});
    ASSERT_EQ(ids, want);
    // Long form exactly when the data exceed 30 bytes.
    for (const CgmElement &x : e)
      EXPECT_EQ(x.long_form, x.data.size() > 30) << x.cls << "," << x.id;
    EXPECT_EQ(e[12].data, Bytes({0, 1, 0x3D, 0xCC, 0xCC, 0xCD}));  // metric, 0.1 mm per pixel
    EXPECT_EQ(e[13].data, Bytes({0, 0, 0, 0, 0, w - 1, 0, h - 1}));
    EXPECT_EQ(e[14].data, Bytes({0, static_cast<unsigned char>(c.entries ? 0 : 1)}));
    if (c.entries) {
      EXPECT_EQ(e[16].data.size(), 1u + 3u * c.entries);
    }
    const CgmElement &cells = e[e.size() - 3];
    EXPECT_EQ(Bytes(cells.data.begin(), cells.data.begin() + 12),
              Bytes({0, 0, 0, h - 1, 0, w - 1, 0, 0, 0, w - 1, 0, h - 1}));
    for (size_t i = 0; i + 1 < cells.partitions.size(); ++i) {
      EXPECT_LE(cells.partitions[i], 4092u);
      EXPECT_GE(cells.partitions[i], 4082u);
    }
    if (!c.compression) {
      EXPECT_GT(cells.partitions.size(), 1u);
    }
    int nx, ny;
    Bytes want_cells = pixels;
    if (c.model == IFF_CM_GRAY) {
      want_cells.clear();
      for (unsigned char v : pixels) want_cells.insert(want_cells.end(), 3, v);
    }
    EXPECT_TRUE(CgmCells(cells, c.model == IFF_CM_PALETTE ? 1 : 3, &nx, &ny) == want_cells);
    EXPECT_EQ(nx, w);
    EXPECT_EQ(ny, h);
  }
}

TEST_F(Cgm, RowsProfilesAndRefusals) {
  // Five RGB pixels: 15 bytes and a pad packed; one run of 5 bytes and a
  // pad when they are all alike.
  const Bytes five = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  ASSERT_EQ(Write(5, 1, IFF_CM_RGB, five, 0), 0u);
  std::vector<CgmElement> e = CgmElements(ReadFile(path_));
  EXPECT_EQ(e[e.size() - 3].data.size(), 20u + 16u);
  ASSERT_EQ(Write(5, 1, IFF_CM_RGB, Bytes(15, 9), 2), 0u);
  e = CgmElements(ReadFile(path_));
  EXPECT_EQ(Bytes(e[e.size() - 3].data.begin() + 20, e[e.size() - 3].data.end()),
            Bytes({0, 5, 9, 9, 9, 0}));
  EXPECT_EQ(e[12].data, Bytes({0, 0, 0, 0, 0, 0}));  // no resolution: abstract scaling

  // The description is one string of quoted texts with its length in front.
  ASSERT_EQ(Write(5, 1, IFF_CM_RGB, five, 0, 1), 0u);
  const Bytes d = CgmElements(ReadFile(path_))[2].data;
  EXPECT_EQ(d[0], d.size() - 1);
  EXPECT_EQ(std::string(d.begin() + 1, d.end())
                .find("\"MIL-D-28003A/BASIC-1\" \".2\" \"Source: Plotvise "),
            0u);

  struct Bad {
    const char *name;
    int32_t w;
    uint32_t model;
    uint64_t compression;
    int profile;
    ReturnTp code;
  } kBad[] = {{"wider than 16-bit coordinates", 40000, IFF_CM_RGB, 0, 0, IFD_E_TOO_LARGE},
              {"alpha", 4, IFF_CM_RGBA, 0, 0, IFF_E_WT_HEADER},
              {"Group 4", 4, IFF_CM_RGB, 9, 0, IFF_E_WT_HEADER},
              {"unknown profile", 4, IFF_CM_RGB, 0, 3, IFF_E_WT_HEADER}};
  for (const Bad &b : kBad) {
    SCOPED_TRACE(b.name);
    EXPECT_EQ(
        Write(b.w, 1, b.model, Bytes(4 * static_cast<size_t>(b.w)), b.compression, b.profile) &
            ~CMN_REPORTED,
        b.code);
  }
  path_ = "/dev/full";
  EXPECT_NE(Write(300, 200, IFF_CM_RGB, Bytes(300 * 200 * 3, 1), 0), 0u);
}

}  // namespace
