// The JPEG driver: header fields, resolution (read, and kept on a PDF page
// and in lossless files), bands delivered like djpeg's decode, printing
// inks like ImageMagick's, and JPEG data after other bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rasterio.h"
#include "runprog.h"

namespace {

class CodeRead : public testing::Test {
 protected:
  // A cjpeg file of a test picture.
  std::string Make(const std::string &options, int w, int h) {
    Bytes lines, cmap;
    WriteFile(dir_.file("in.ppm"), PpmOf(w, h, Picture(w, h, 0, &lines, &cmap)));
    Shell("cjpeg " + options + " " + dir_.file("in.ppm") + " > " + dir_.file("t.jpg"));
    return dir_.file("t.jpg");
  }
  TempDir dir_;
};

TEST_F(CodeRead, HeaderAndPixelsOfEachKindOfFile) {
  struct Case {
    const char *options;
    uint32_t model;
    int32_t compression, bits_per_pixel;
  } cases[] = {
      {"-quality 75", IFF_CM_RGB, 5, 24},
      {"-quality 10 -sample 1x1", IFF_CM_RGB, 6, 24},
      {"-progressive -restart 1", IFF_CM_RGB, 7, 24},
      {"-grayscale -optimize", IFF_CM_GRAY, 5, 8},
      {"-grayscale -progressive", IFF_CM_GRAY, 7, 8},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.options);
    const std::string path = Make(c.options, 203, 77);
    const RgbImage ours = ReadRgb(path);
    ASSERT_EQ(ours.rc, 0u);
    EXPECT_EQ(ours.width, 203);
    EXPECT_EQ(ours.height, 77);
    EXPECT_EQ(ours.header.color_model, c.model);
    EXPECT_EQ(FXICompression, c.compression);
    EXPECT_EQ(FXIBitsPerPixel, c.bits_per_pixel);
    EXPECT_TRUE(ours.rgb == NetpbmRgb("djpeg -pnm " + path).rgb);
  }
}

TEST_F(CodeRead, ResolutionFromJfifDensities) {
  // Dots per centimetre count as whole dots per inch, densities x 2.54.
  const std::string path = Make("-quality 90", 16, 16);
  std::string jpeg = ReadFile(path);
  ASSERT_EQ(jpeg.compare(6, 4, "JFIF"), 0);
  struct Case {
    char units;
    int x, y;
    double want_x, want_y;
  } cases[] = {{1, 300, 150, 300, 150}, {2, 118, 40, 300, 102}, {0, 1, 1, 0, 0}};
  for (const Case &c : cases) {
    jpeg[13] = c.units;
    jpeg[14] = static_cast<char>(c.x >> 8), jpeg[15] = static_cast<char>(c.x);
    jpeg[16] = static_cast<char>(c.y >> 8), jpeg[17] = static_cast<char>(c.y);
    WriteFile(path, jpeg);
    const RgbImage ours = ReadRgb(path);
    ASSERT_EQ(ours.rc, 0u);
    EXPECT_NEAR(ours.header.x_resolution, c.want_x, 0.01);
    EXPECT_NEAR(ours.header.y_resolution, c.want_y, 0.01);
  }
}

TEST_F(CodeRead, DataAfterOtherBytesIsStillJpeg) {
  const std::string path = Make("-quality 80", 40, 30);
  const RgbImage plain = ReadRgb(path);
  WriteFile(dir_.file("junk.jpg"), std::string(200, 'x') + ReadFile(path));
  const RgbImage after_junk = ReadRgb(dir_.file("junk.jpg"));
  ASSERT_EQ(after_junk.rc, 0u);
  EXPECT_EQ(after_junk.type, static_cast<uint32_t>(IFF_TYPE_JPEG));
  EXPECT_TRUE(after_junk.rgb == plain.rgb);
}

// Four-component files of print work: YCCK (ImageMagick's CMYK JPEG,
// subsampled or not, progressive) and plain CMYK (Ghostscript's), each
// with the Adobe marker, show as ImageMagick converts them to sRGB.
TEST_F(CodeRead, InkFilesShowAsImageMagickShowsThem) {
  Bytes lines, cmap;
  const std::string ppm = dir_.file("in.ppm"), jpg = dir_.file("ink.jpg");
  WriteFile(ppm, PpmOf(45, 29, Picture(45, 29, 0, &lines, &cmap)));
  WriteFile(dir_.file("p.ps"),
            "%!PS\n<< /PageSize [30 20] >> setpagedevice\n"
            "0 0 1 0 setcmykcolor 0 0 10 20 rectfill\n"
            "0.2 0.7 0 0.3 setcmykcolor 10 0 20 10 rectfill\n"
            "0.9 0.1 0.4 0.05 setcmykcolor 10 10 20 10 rectfill\nshowpage\n");
  const std::string im = "convert " + ppm + " -colorspace CMYK ";
  const char *kMakers[] = {"-quality 90", "-sampling-factor 2x2 -quality 70",
                           "-interlace JPEG -quality 80",
                           // Ghostscript's inks, without its colour profile.
                           nullptr};
  for (const char *maker : kMakers) {
    SCOPED_TRACE(maker ? maker : "cmyk");
    Shell(maker ? im + maker + " " + jpg
                : "gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=jpegcmyk -r72 -sOutputFile=- " +
                      dir_.file("p.ps") + " | jpegtran -copy none > " + jpg);
    const std::string file = ReadFile(jpg);
    const size_t adobe = file.find("Adobe");
    ASSERT_NE(adobe, std::string::npos);
    EXPECT_EQ(file[adobe + 11], maker ? 2 : 0);  // the transform flag: YCCK or none
    const RgbImage ours = ReadRgb(jpg);
    ASSERT_EQ(ours.rc, 0u);
    EXPECT_EQ(ours.header.color_model, static_cast<uint32_t>(IFF_CM_RGB));
    EXPECT_TRUE(ours.rgb == NetpbmRgb("convert " + jpg + " -colorspace sRGB ppm:-").rgb);
  }
}

// A photo's EXIF orientation turns and mirrors it in pvconvert as
// ImageMagick's -auto-orient does, for each of the 8 values (the block
// big-endian for some), and -rotate and -mirror act on the upright picture.
TEST_F(CodeRead, ExifOrientationIsApplied) {
  const std::string plain = ReadFile(Make("-sample 1x1 -quality 90", 27, 14));
  for (int orientation = 1; orientation <= 8; ++orientation) {
    SCOPED_TRACE(orientation);
    const bool be = orientation % 2;
    auto put = [be](std::string *out, uint32_t v, int bytes) {
      for (int i = 0; i < bytes; ++i) *out += static_cast<char>(v >> 8 * (be ? bytes - 1 - i : i));
    };
    std::string tiff = be ? "MM" : "II";
    put(&tiff, 42, 2);
    put(&tiff, 8, 4);
    put(&tiff, 1, 2);  // one entry: the orientation, a SHORT
    put(&tiff, 274, 2);
    put(&tiff, 3, 2);
    put(&tiff, 1, 4);
    put(&tiff, static_cast<uint32_t>(orientation), 2);
    put(&tiff, 0, 2);
    put(&tiff, 0, 4);
    const size_t length = 2 + 6 + tiff.size();
    const std::string app1 = std::string("\xFF\xE1") + static_cast<char>(length >> 8) +
                             static_cast<char>(length) + std::string("Exif\0\0", 6) + tiff;
    const std::string jpg = dir_.file("o.jpg"), ppm = dir_.file("o.ppm");
    WriteFile(jpg, plain.substr(0, 2) + app1 + plain.substr(2));
    for (const std::vector<std::string> &user :
         {std::vector<std::string>{}, {"-rotate", "90", "-mirror", "horizontal"}}) {
      std::vector<std::string> argv = {PV_PVCONVERT};
      argv.insert(argv.end(), user.begin(), user.end());
      argv.insert(argv.end(), {jpg, ppm});
      const RunResult r = RunProgram(argv);
      ASSERT_EQ(r.status, 0) << r.err;
      // Our -rotate turns anticlockwise; the mirror follows the turn.
      const std::string im = user.empty() ? "" : " -rotate -90 -flop";
      EXPECT_EQ(NetpbmRgb("cat " + ppm).rgb,
                NetpbmRgb("convert " + jpg + " -auto-orient" + im + " ppm:-").rgb);
    }
    // -info gives the size of the upright picture, as written.
    const std::string size =
        orientation >= 5 ? "Width: 14\nHeight: 27\n" : "Width: 27\nHeight: 14\n";
    EXPECT_NE(RunProgram({PV_PVCONVERT, "-info", jpg}).out.find(size), std::string::npos);
  }
}

// 118 dots per centimetre are 300 dots per inch: a 600 x 300 picture
// makes a PDF page of 144 x 72 points. The resolution is kept in JPEG
// output of every kind, lossless included.
TEST_F(CodeRead, CentimetreDensityGivesTheTruePageAndIsKept) {
  const std::string path = Make("-quality 80", 600, 300);
  std::string jpeg = ReadFile(path);
  ASSERT_EQ(jpeg.compare(6, 4, "JFIF"), 0);
  jpeg.replace(13, 5, std::string("\x02\x00\x76\x00\x76", 5));
  WriteFile(path, jpeg);
  const std::string pdf = dir_.file("t.pdf");
  ASSERT_EQ(RunProgram({PV_PVCONVERT, path, pdf}).status, 0);
  EXPECT_NE(ReadFile(pdf).find("/MediaBox [0 0 144 72]"), std::string::npos);
  for (const char *compression : {"baseline", "lossless"}) {
    SCOPED_TRACE(compression);
    const std::string out = dir_.file("o.jpg");
    ASSERT_EQ(RunProgram({PV_PVCONVERT, "-compression", compression, path, out}).status, 0);
    const std::string o = ReadFile(out);
    // JFIF first, in dots per inch.
    EXPECT_EQ(o.substr(6, 12), std::string("JFIF\0\1\1\1\x01\x2C\x01\x2C", 12));
    const RgbImage back = ReadRgb(out);
    ASSERT_EQ(back.rc, 0u);
    EXPECT_EQ(back.header.x_resolution, 300);
  }
  // Lossless colour stays exact: the Adobe marker tells that the
  // components are red, green and blue despite the JFIF marker.
  const std::string ppm = dir_.file("in.ppm"), out = dir_.file("l.jpg");
  ASSERT_EQ(RunProgram({PV_PVCONVERT, "-compression", "lossless", ppm, out}).status, 0);
  EXPECT_TRUE(ReadRgb(out).rgb == NetpbmRgb("cat " + ppm).rgb);
}

}  // namespace
