// Writing JPEG through the drivers: the JPEG driver's compression request
// (mode, quality, sampling, refusals, resolution) and the TIFF writer's
// new-style JPEG as libtiff reads it.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "drivers.h"
#include "rasterio.h"
#include "runprog.h"

namespace {

Bytes Picture(int32_t w, int32_t h, int comps) {
  Bytes p;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      for (int c = 0; c < comps; ++c)
        p.push_back(
            static_cast<unsigned char>(128 + 100 * std::sin(x * 0.07 * (c + 1) + y * 0.05)));
  return p;
}

// One picture through a writer; the request's three compression words.
ReturnTp Write(const std::string &path, uint32_t type, uint32_t model, int32_t w, int32_t h,
               std::vector<uint64_t> compression, double dpi = 0) {
  IffControlBlockTp *out = nullptr;
  IffFileSpecTp spec = {path.c_str(), nullptr, 0};
  ReturnTp rc = IffInit(nullptr, &out, IFF_SRV_EXPORT, &spec, type, IFF_MIN_VERIFY, nullptr);
  if (rc) return rc;
  out->x_resolution = out->y_resolution = dpi;
  const uint64_t c[3] = {compression[0], compression[1], compression[2]};
  const int comps = model == IFF_CM_RGB ? 3 : 1;
  const Bytes rows = Picture(w, h, comps);
  rc = IffWtHead(out, w, h, 1, 1, 0, model, 0, 8, c, 0, 0, 0, nullptr);
  for (int32_t y = 0; !rc && y < h; ++y)
    rc = IffWtScan(out, y, const_cast<unsigned char *>(&rows[static_cast<size_t>(y) * w * comps]));
  const ReturnTp closed = IffTerm(&out);
  return rc ? rc : closed;
}

double Psnr(const std::string &a, const std::string &b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double d = static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i]);
    sum += d * d;
  }
  return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * a.size() / sum);
}

TEST(JpegWrite, CompressionRequestsAndRefusals) {
  TempDir dir;
  const std::string f = dir.file("a.jpg");
  struct Case {
    const char *name;
    uint32_t model;
    std::vector<uint64_t> compression;
    ReturnTp code;
  } kCases[] = {
      {"not a JPEG mode", IFF_CM_RGB, {IFF_COMP_G4, 10, 0}, IFF_E_WT_HEADER},
      {"bilevel", IFF_CM_BILEVEL, {IFF_COMP_JPEG_BASELINE, 10, IFF_ONE_BIT}, IFF_E_WT_HEADER},
      {"progressive grey", IFF_CM_GRAY, {IFF_COMP_JPEG_PROGRESSIVE, 20, 0}, 0},
      {"lossless without a quality", IFF_CM_RGB, {IFF_COMP_JPEG_LOSSLESS, 0, 0}, 0}};
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Write(f, IFF_TYPE_JPEG, c.model, 20, 10, c.compression) & ~CMN_REPORTED, c.code);
  }
  // A plain request is baseline, quality 10 (the example tables), 2x1;
  // the resolution goes into the JFIF marker in dots per inch.
  ASSERT_EQ(Write(f, IFF_TYPE_JPEG, IFF_CM_RGB, 20, 10, {IFF_COMP_NONE, 0, 0}, 300), 0u);
  const std::string jpeg = ReadFile(f);
  EXPECT_EQ(jpeg.substr(0, 4), "\xFF\xD8\xFF\xE0");
  EXPECT_EQ(jpeg.substr(11, 7), std::string("\x01\x01\x01\x01\x2C\x01\x2C", 7));
  const size_t sof = jpeg.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  EXPECT_EQ(jpeg.substr(sof + 10, 3), std::string("\x01\x21\x00", 3));
  EXPECT_NE(jpeg.find(std::string("\xFF\xDB\x00\x84\x00\x10\x0B\x0C", 8)), std::string::npos);
}

// Every writer of JPEG data reads the request alike: a quality out of
// range is refused, never replaced, and the sampling asked for is the
// frame's.
TEST(JpegWrite, EveryWriterReadsTheRequestAlike) {
  TempDir dir;
  const struct {
    const char *name;
    std::vector<uint64_t> compression;
    ReturnTp code;
    char sampling;  // of the first component in the frame header
  } kCases[] = {{"quality 0", {IFF_COMP_JPEG_BASELINE, 0, 0}, IFF_E_WT_HEADER, 0},
                {"quality 21", {IFF_COMP_JPEG_BASELINE, 21, 0}, IFF_E_WT_HEADER, 0},
                {"2x1", {IFF_COMP_JPEG_BASELINE, 10, IFF_SAMPLING_2X1}, 0, '\x21'},
                {"1x1", {IFF_COMP_JPEG_BASELINE, 20, IFF_SAMPLING_1X1}, 0, '\x11'},
                {"2x2", {IFF_COMP_JPEG_BASELINE, 1, IFF_SAMPLING_2X2}, 0, '\x22'}};
  for (const uint32_t type : {IFF_TYPE_JPEG, IFF_TYPE_PDF_GS, IFF_TYPE_TIFF})
    for (const auto &c : kCases) {
      SCOPED_TRACE(std::string(c.name) + " type " + std::to_string(type));
      const std::string f = dir.file(type == IFF_TYPE_JPEG   ? "a.jpg"
                                     : type == IFF_TYPE_TIFF ? "a.tif"
                                                             : "a.pdf");
      ASSERT_EQ(Write(f, type, IFF_CM_RGB, 20, 10, c.compression) & ~CMN_REPORTED, c.code);
      if (c.code) continue;
      const std::string file = ReadFile(f);
      const size_t sof = file.find("\xFF\xC0");
      ASSERT_NE(sof, std::string::npos);
      EXPECT_EQ(file[sof + 11], c.sampling);
    }
}

// 12-bit samples go in and come out as two bytes each; what a viewer shows
// of them is their top eight bits, for grey and colour alike.
TEST(JpegWrite, TwelveBitSamplesKeepTheirRange) {
  TempDir dir;
  const std::string f = dir.file("deep.jpg");
  for (uint32_t model : {IFF_CM_GRAY, IFF_CM_RGB}) {
    SCOPED_TRACE(model);
    const int comps = model == IFF_CM_RGB ? 3 : 1;
    constexpr int32_t w = 19, h = 7;
    std::vector<uint16_t> rows;
    Bytes expected;
    for (int32_t i = 0; i < w * h * comps; ++i) {
      rows.push_back(static_cast<uint16_t>((i * 37) % 4096));
      expected.insert(expected.end(), comps == 1 ? 3 : 1,
                      static_cast<unsigned char>(rows.back() >> 4));
    }
    IffControlBlockTp *out = nullptr;
    IffFileSpecTp spec = {f.c_str(), nullptr, 0};
    ASSERT_EQ(IffInit(nullptr, &out, IFF_SRV_EXPORT, &spec, IFF_TYPE_JPEG, IFF_MIN_VERIFY, nullptr),
              0u);
    const uint64_t lossless[3] = {IFF_COMP_JPEG_LOSSLESS, 0, 0};
    ASSERT_EQ(IffWtHead(out, w, h, 1, 1, 0, model, 0, 12, lossless, 0, 0, 0, nullptr), 0u);
    for (int32_t y = 0; y < h; ++y)
      ASSERT_EQ(
          IffWtScan(out, y,
                    reinterpret_cast<unsigned char *>(&rows[static_cast<size_t>(y) * w * comps])),
          0u);
    ASSERT_EQ(IffTerm(&out), 0u);
    const RgbImage back = ReadRgb(f);
    ASSERT_EQ(back.rc, 0u);
    EXPECT_EQ(back.header.bits_per_sample, 12);
    EXPECT_EQ(back.rgb, expected);
  }
}

TEST(JpegWrite, TiffJpegReadsInLibtiff) {
  TempDir dir;
  const int32_t w = 67, h = 45;
  const std::string tif = dir.file("a.tif"), src = dir.file("src.pnm");
  const struct {
    uint32_t model;
    uint64_t sampling;
    const char *subsampling;  // as tiffinfo reports it
  } kCases[] = {{IFF_CM_RGB, IFF_SAMPLING_1X1, "1, 1"},
                {IFF_CM_RGB, IFF_SAMPLING_2X1, "2, 1"},
                {IFF_CM_RGB, IFF_SAMPLING_2X2, "2, 2"},
                {IFF_CM_GRAY, IFF_SAMPLING_2X1, nullptr}};
  for (const auto &c : kCases) {
    SCOPED_TRACE(std::to_string(c.model) + " sampling " + std::to_string(c.sampling));
    ASSERT_EQ(Write(tif, IFF_TYPE_TIFF, c.model, w, h, {IFF_COMP_JPEG_BASELINE, 15, c.sampling}),
              0u);
    const std::string info = ShellOutput("tiffinfo '" + tif + "'");
    EXPECT_NE(info.find("Compression Scheme: JPEG"), std::string::npos);
    if (c.subsampling) {
      EXPECT_NE(info.find(std::string("YCbCr Subsampling: ") + c.subsampling), std::string::npos)
          << info;
    }
    // Both of libtiff's ways of decoding agree with the source.
    const Bytes rows = Picture(w, h, c.model == IFF_CM_RGB ? 3 : 1);
    const std::string raw(rows.begin(), rows.end());
    const std::string rgba = ShellOutput(
        "cd '" + dir.path() + "' && tiff2rgba a.tif r.tif && tifftopnm r.tif 2>/dev/null");
    const std::string plain = ShellOutput(
        "cd '" + dir.path() + "' && tiffcp -c none a.tif n.tif && tifftopnm n.tif 2>/dev/null");
    std::string want = raw;
    if (c.model == IFF_CM_GRAY) {  // tiff2rgba makes colour
      want.clear();
      for (char v : raw) want.append(3, v);
    }
    ASSERT_GE(rgba.size(), want.size());
    EXPECT_GE(Psnr(rgba.substr(rgba.size() - want.size()), want), 35);
    ASSERT_GE(plain.size(), raw.size());
    EXPECT_GE(Psnr(plain.substr(plain.size() - raw.size()), raw), 35);
  }
  // Lossless is JPEG too; a palette is not for JPEG.
  ASSERT_EQ(Write(tif, IFF_TYPE_TIFF, IFF_CM_RGB, w, h, {IFF_COMP_JPEG_LOSSLESS, 0, 0}), 0u);
  EXPECT_NE(ShellOutput("tiffinfo '" + tif + "'").find("Photometric Interpretation: RGB"),
            std::string::npos);
}

}  // namespace
