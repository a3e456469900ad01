// Two-colour GIF, BMP and PCX pages whose two entries are greys come as
// grey pages, the others stay colour-mapped; either way the pixels are
// those the netpbm decoders give.
#include <gtest/gtest.h>

#include <string>

#include "rasterio.h"
#include "runprog.h"

namespace {

TEST(GreyPair, TwoGreysMakeAGreyPageAndColoursAPalettePage) {
  TempDir dir;
  const std::string pbm = dir.file("in.pbm");
  Shell("pbmtext -builtin fixed 'Two greys' > " + pbm);
  struct Format {
    const char *make, *oracle;
    size_t entries, entry_bytes;  // where the two entries lie, and each one's size
    bool bgr;
  } formats[] = {{"pamtogif", "giftopnm", 13, 3, false},
                 {"pamtogif -interlace", "giftopnm", 13, 3, false},
                 {"ppmtobmp", "bmptopnm", 54, 4, true},
                 {"ppmtopcx", "pcxtoppm", 16, 3, false}};
  struct Palette {
    unsigned char e[6];
    bool grey;
  } palettes[] = {{{0, 0, 0, 255, 255, 255}, true},
                  {{255, 255, 255, 0, 0, 0}, true},
                  {{60, 60, 60, 200, 200, 200}, true},
                  {{255, 0, 0, 0, 0, 255}, false},
                  {{90, 90, 90, 90, 90, 91}, false}};
  for (const Format &f : formats) {
    const std::string made = Shell(std::string(f.make) + " " + pbm + " 2>/dev/null");
    for (const Palette &p : palettes) {
      SCOPED_TRACE(std::string(f.make) + " " + std::to_string(p.e[0]) + "," +
                   std::to_string(p.e[5]));
      std::string file = made;
      for (size_t i = 0; i < 2; ++i)
        for (size_t c = 0; c < 3; ++c)
          file[f.entries + i * f.entry_bytes + (f.bgr ? 2 - c : c)] =
              static_cast<char>(p.e[3 * i + c]);
      const std::string path = dir.file("two");
      WriteFile(path, file);
      const RgbImage ours = ReadRgb(path);
      ASSERT_EQ(ours.rc, 0u);
      EXPECT_EQ(ours.header.has_cmap, p.grey ? 0 : 1);
      EXPECT_EQ(ours.header.color_model == IFF_CM_GRAY, p.grey);
      EXPECT_EQ(ours.rgb, NetpbmRgb(std::string(f.oracle) + " " + path + " 2>/dev/null").rgb);
    }
  }

  // PCX files before version 5 are black and white whatever their header
  // holds.
  std::string old = Shell("ppmtopcx " + pbm + " 2>/dev/null");
  old[1] = 3;
  old[16] = 'x';
  const std::string path = dir.file("old.pcx");
  WriteFile(path, old);
  const RgbImage ours = ReadRgb(path);
  EXPECT_EQ(ours.header.color_model, IFF_CM_GRAY);
  EXPECT_EQ(ours.rgb, NetpbmRgb("cat " + pbm).rgb);
}

}  // namespace
