// The JPEG 2000 writer through the image file interface, checked with
// OpenJPEG's decoder: reversible files exact, lossy ones near their ratio,
// the name choosing between JP2 boxes and a bare codestream, refusals.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "rasterio.h"
#include "runprog.h"

namespace {

const ReturnTp kBadHeader = 0x05080016u;  // "Invalid parameters while writing file header"

ReturnTp Write(const std::string &path, int32_t w, int32_t h, uint32_t model, const Bytes &lines,
               uint64_t compression, uint64_t ratio) {
  IffFileSpecTp spec = {path.c_str(), nullptr, 0};
  IffControlBlockTp *cb = nullptr;
  const uint64_t request[3] = {compression, ratio, 0};
  ReturnTp rc = IffInit(nullptr, &cb, IFF_SRV_EXPORT, &spec, IFF_TYPE_J2K, IFF_MIN_VERIFY, nullptr);
  if (!rc) rc = IffWtHead(cb, w, h, 1, 1, 0, model, 0, 8, request, 0, 0, 0, nullptr);
  const size_t row = lines.size() / static_cast<size_t>(h);
  Bytes line;
  for (int32_t y = 0; !rc && y < h; ++y) {
    line.assign(lines.begin() + static_cast<long>(row * y),
                lines.begin() + static_cast<long>(row * (y + 1)));
    rc = IffWtScan(cb, y, line.data());
  }
  const ReturnTp closed = IffTerm(&cb);
  return (rc ? rc : closed) & ~CMN_REPORTED;
}

RgbImage OpenJpeg(const TempDir &dir, const std::string &path, bool grey) {
  const std::string out = dir.file(grey ? "d.pgm" : "d.ppm");
  return NetpbmRgb("opj_decompress -i " + path + " -o " + out + " >/dev/null && cat " + out);
}

double Psnr(const Bytes &a, const Bytes &b) {
  double sum = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * a.size() / sum);
}

TEST(J2kWrite, NamesAndModelsRoundTripThroughOpenJpeg) {
  struct Case {
    const char *name;
    uint32_t model;
    int32_t w, h;
    uint64_t compression, ratio;
    double min_psnr;  // 99: exact
  } const cases[] = {
      {"a.jp2", IFF_CM_RGB, 37, 23, 14, 0, 99},   {"b.j2k", IFF_CM_RGB, 1, 1, 14, 0, 99},
      {"c.jp2", IFF_CM_GRAY, 5, 130, 0, 0, 99},   {"d.J2K", IFF_CM_GRAY, 66, 65, 14, 0, 99},
      {"e.jp2", IFF_CM_RGB, 200, 120, 13, 8, 26}, {"f.j2k", IFF_CM_GRAY, 200, 120, 13, 4, 30},
  };
  TempDir dir;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bytes lines, cmap;
    Bytes rgb = Picture(c.w, c.h, 0, &lines, &cmap);
    if (c.model == IFF_CM_GRAY) {
      lines.clear();
      for (size_t i = 0; i < rgb.size(); i += 3) {
        lines.push_back(rgb[i + 1]);
        rgb[i] = rgb[i + 2] = rgb[i + 1];
      }
    }
    const std::string path = dir.file(c.name);
    ASSERT_EQ(Write(path, c.w, c.h, c.model, lines, c.compression, c.ratio), 0u);
    const std::string file = ReadFile(path);
    const bool raw = c.name[2] != 'j' || c.name[3] != 'p';
    ASSERT_GE(file.size(), 4u);
    EXPECT_EQ(file.substr(0, 4),
              raw ? std::string("\xFF\x4F\xFF\x51") : std::string("\0\0\0\x0C", 4));
    if (c.compression == 13) {
      const double budget = c.w * c.h * (c.model == IFF_CM_RGB ? 3.0 : 1.0) / c.ratio;
      EXPECT_LE(file.size(), budget + 100);
    }
    const RgbImage got = OpenJpeg(dir, path, c.model == IFF_CM_GRAY);
    ASSERT_EQ(got.width, c.w);
    if (c.min_psnr == 99)
      EXPECT_EQ(got.rgb, rgb);
    else
      EXPECT_GE(Psnr(got.rgb, rgb), c.min_psnr);
  }
}

TEST(J2kWrite, ConverterKeepsTheCodestreamOfJ2kNames) {
  TempDir dir;
  Bytes lines, cmap;
  const Bytes rgb = Picture(19, 11, 0, &lines, &cmap);
  WriteFile(dir.file("in.ppm"), PpmOf(19, 11, rgb));
  ASSERT_EQ(RunProgram({PV_PVCONVERT, dir.file("in.ppm"), dir.file("out.j2k")}).status, 0);
  EXPECT_EQ(ReadFile(dir.file("out.j2k")).substr(0, 2), "\xFF\x4F");
  EXPECT_EQ(OpenJpeg(dir, dir.file("out.j2k"), false).rgb, rgb);
}

// A page whose reading fails part way (a PNG whose compressed rows are
// damaged in the middle) ends the encoder with the reader's message and
// leaves no file behind.
TEST(J2kWrite, APageThatEndsEarlyWritesNothing) {
  TempDir dir;
  Bytes lines, cmap;
  const Bytes rgb = Picture(300, 200, 0, &lines, &cmap);
  WriteFile(dir.file("in.ppm"), PpmOf(300, 200, rgb));
  Shell("pnmtopng " + dir.file("in.ppm") + " > " + dir.file("in.png"));
  std::string png = ReadFile(dir.file("in.png"));
  const size_t idat = png.find("IDAT");
  ASSERT_NE(idat, std::string::npos);
  const size_t length =
      static_cast<unsigned char>(png[idat - 2]) << 8 | static_cast<unsigned char>(png[idat - 1]);
  for (size_t i = idat + 4 + length / 2; i < idat + 4 + length / 2 + 40; ++i) png[i] ^= 0x5A;
  WriteFile(dir.file("in.png"), png);
  for (const char *out : {"out.jp2", "out.j2k"}) {
    const RunResult r = RunProgram({PV_PVCONVERT, dir.file("in.png"), dir.file(out)});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Invalid Data in PNG format"), std::string::npos) << r.err;
    EXPECT_NE(access(dir.file(out).c_str(), F_OK), 0);
  }
}

TEST(J2kWrite, RequestsItCannotWriteAreRefused) {
  struct Case {
    uint32_t model;
    uint64_t compression, ratio;
  } const cases[] = {{IFF_CM_RGBA, 14, 0},
                     {IFF_CM_BILEVEL, 0, 0},
                     {IFF_CM_RGB, 5, 0},
                     {IFF_CM_GRAY, 13, 0},
                     {IFF_CM_RGB, 15, 0}};
  TempDir dir;
  const Bytes lines(4 * 2 * 4, 0);
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.model) + " " + std::to_string(c.compression));
    EXPECT_EQ(Write(dir.file("x.jp2"), 2, 2, c.model, lines, c.compression, c.ratio), kBadHeader);
  }
}

}  // namespace
