// The reading layer: headers, colour maps, bottom-up files, the packed
// crop region, rotation and mirrors on both sources, and the line store.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "image.h"
#include "imagefile.h"
#include "runprog.h"

namespace {

typedef std::vector<unsigned char> Bytes;

uint32_t Word(RgbPixelTp p) {
  return uint32_t(p.fourth) << 24 | p.red << 16 | p.green << 8 | p.blue;
}

// Writes a native raw file. `lines` are in stored order: with
// orientation 2 the bottom line comes first. With a map the lines hold
// indexes, else red, green, blue.
void WriteQpl(const std::string &path, int w, int h, const Bytes &lines, int orientation,
              const Bytes &map = Bytes(), int aspect_y = 1) {
  IffControlBlockTp *out = nullptr;
  IffFileSpecTp spec = {path.c_str(), nullptr, 0};
  ASSERT_EQ(IffInit(nullptr, &out, IFF_SRV_EXPORT, &spec, IFF_TYPE_QPL, IFF_MIN_VERIFY, nullptr),
            0u);
  const bool indexed = !map.empty();
  const uint64_t none[3] = {0, 0, 0};
  ASSERT_EQ(IffWtHead(out, w, h, 1, aspect_y, indexed, indexed ? IFF_CM_PALETTE : IFF_CM_RGB,
                      indexed ? 256 : 0, 8, none, orientation, 0, 0, nullptr),
            0u);
  if (indexed) {
    ASSERT_EQ(IffWtCMap(out, const_cast<unsigned char *>(map.data())), 0u);
  }
  const size_t stride = size_t(w) * (indexed ? 1 : 3);
  for (int y = 0; y < h; ++y)
    ASSERT_EQ(IffWtScan(out, y, const_cast<unsigned char *>(&lines[y * stride])), 0u);
  ASSERT_EQ(IffTerm(&out), 0u);
}

// A picture in which every pixel differs from its neighbours.
Bytes Picture(int w, int h) {
  Bytes b(size_t(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) b[(size_t(y) * w + x) * 3 + c] = uint8_t(x * 7 + y * 31 + c * 85);
  return b;
}

uint32_t At(const Bytes &pic, int w, int x, int y) {
  const unsigned char *p = &pic[(size_t(y) * w + x) * 3];
  return 0xFF000000u | p[0] << 16 | p[1] << 8 | p[2];
}

// Every output line of a block, as words; the block is closed after.
std::vector<uint32_t> ReadAll(ImgControlBlockTp *&cb, int *w, int *h) {
  ImgOutputSize(cb, w, h);
  EXPECT_EQ(ImgSetOutputSize(cb, *w, *h), 0u);
  std::vector<RgbPixelTp> line(*w);
  std::vector<uint32_t> all;
  for (int y = 0; y < *h; ++y) {
    EXPECT_EQ(ImgReadLine(cb, y, line.data()), 0u);
    for (RgbPixelTp p : line) all.push_back(Word(p));
  }
  EXPECT_EQ(ImgClose(&cb), 0u);
  return all;
}

void Crop(ImgControlBlockTp *cb, int x, int y, int w, int h) {
  cb->crop_x = x, cb->crop_y = y, cb->crop_w = w, cb->crop_h = h;
}

class ImaRead : public ::testing::Test {
 protected:
  TempDir dir_;
};

// Equal entries keep their colour and stay opaque: the fourth byte is
// opacity to everything after the reading layer.
TEST_F(ImaRead, EqualPaletteEntriesStayEqual) {
  Bytes map(768, 0);
  const unsigned char entry[3] = {200, 100, 50};  // entries 0, 1 and 2 alike
  for (int i = 0; i < 9; ++i) map[i] = entry[i % 3];
  map[9] = 10;  // entry 3 differs
  const std::string path = dir_.file("pal.qpl");
  WriteQpl(path, 4, 1, Bytes{0, 1, 2, 3}, 0, map);

  ImgControlBlockTp *cb = nullptr;
  ASSERT_EQ(ImgOpen(path.c_str(), &cb, nullptr), 0u);
  int w, h;
  const std::vector<uint32_t> px = ReadAll(cb, &w, &h);
  EXPECT_EQ(px, (std::vector<uint32_t>{0xFFC86432u, 0xFFC86432u, 0xFFC86432u, 0xFF0A0000u}));

  // The raster built through the reading layer takes the same table.
  ImgRaw raw(path.c_str(), true, 1, 0);
  ASSERT_EQ(raw.status(), 0u);
  EXPECT_EQ(Word(raw.getPixel(2, 0)), 0xFFC86432u);
}

TEST_F(ImaRead, BottomUpFileIsShownTopLineFirstFromFileAndRaster) {
  const int w = 5, h = 140;  // more than one tile row in the packed copy
  const Bytes pic = Picture(w, h);
  Bytes stored;
  for (int y = h - 1; y >= 0; --y)
    stored.insert(stored.end(), &pic[y * w * 3], &pic[(y + 1) * w * 3]);
  const std::string path = dir_.file("up.qpl");
  WriteQpl(path, w, h, stored, 2);

  ImgControlBlockTp *cb = nullptr;
  ASSERT_EQ(ImgOpen(path.c_str(), &cb, nullptr), 0u);
  EXPECT_TRUE(cb->bottom_up);
  Crop(cb, 1, 3, 3, 130);
  cb->progress = true;  // fifty marks whatever the number of lines
  testing::internal::CaptureStderr();
  int ow, oh;
  std::vector<uint32_t> px = ReadAll(cb, &ow, &oh);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(50, '#'));
  ASSERT_EQ(ow, 3);
  ASSERT_EQ(oh, 130);
  for (int y = 0; y < oh; ++y)
    for (int x = 0; x < ow; ++x)
      ASSERT_EQ(px[y * ow + x], At(pic, w, x + 1, y + 3)) << x << "," << y;

  ImgRaw raw(path.c_str(), true, 1, 0);
  ASSERT_EQ(raw.status(), 0u);
  ASSERT_EQ(ImgOpenRaw(&raw, 1, &cb, nullptr), 0u);
  px = ReadAll(cb, &ow, &oh);
  ASSERT_EQ(px.size(), size_t(w * h));
  for (int y = 0; y < h; ++y) ASSERT_EQ(px[y * w], At(pic, w, 0, y)) << y;
}

// Rotation and mirrors agree between the file and the raster source and
// with the pixel geometry: 90 turns counter-clockwise.
TEST_F(ImaRead, RotationAndMirrorsOnBothSources) {
  const int w = 7, h = 4;
  const Bytes pic = Picture(w, h);
  const std::string path = dir_.file("p.qpl");
  WriteQpl(path, w, h, pic, 0);
  struct Case {
    int rotation, mirror;
  } cases[] = {{0, 1}, {0, 2}, {180, 0}, {0, 3}, {90, 0}, {270, 0}};
  for (const Case &c : cases) {
    ImgOpenParamsTp params = {};
    params.rotation = c.rotation;
    params.mirror = c.mirror;
    for (int source = 0; source < 2; ++source) {
      SCOPED_TRACE(testing::Message() << c.rotation << "/" << c.mirror << "/" << source);
      ImgRaw raw(path.c_str(), true, 1, 0);
      ImgControlBlockTp *cb = nullptr;
      ASSERT_EQ(source ? ImgOpenRaw(&raw, 1, &cb, &params) : ImgOpen(path.c_str(), &cb, &params),
                0u);
      Crop(cb, 1, 1, 5, 3);  // in the unturned picture
      int ow, oh;
      const std::vector<uint32_t> px = ReadAll(cb, &ow, &oh);
      const bool turned = c.rotation == 90 || c.rotation == 270;
      ASSERT_EQ(ow, turned ? 3 : 5);
      ASSERT_EQ(oh, turned ? 5 : 3);
      for (int y = 0; y < oh; ++y)
        for (int x = 0; x < ow; ++x) {
          int sx = x, sy = y;  // in the cropped picture
          if (c.rotation == 90) sx = 4 - y, sy = x;
          if (c.rotation == 270) sx = y, sy = 2 - x;
          const int m = c.rotation == 180 ? 3 : c.mirror;
          if (m & 1) sx = 4 - sx;
          if (m & 2) sy = 2 - sy;
          ASSERT_EQ(px[y * ow + x], At(pic, w, sx + 1, sy + 1)) << x << "," << y;
        }
    }
  }
}

// A gray page is scaled on its bytes; the same page held as display
// pixels goes the general way. Both must show the same pixels, for every
// method, reducing and enlarging, mirrored, and with colour settings that
// keep gray pixels or change them.
TEST_F(ImaRead, GrayPagesScaleLikeDisplayPixels) {
  const int w = 67, h = 45;
  Bytes gray(size_t(w) * h), rgbw;
  for (size_t i = 0; i < gray.size(); ++i) {
    gray[i] = uint8_t(i * 2654435761u >> 13) < 96 ? 0 : (i % 7 == 0 ? uint8_t(i) : 255);
    rgbw.insert(rgbw.end(), {gray[i], gray[i], gray[i], 255});
  }
  const std::string pgm = dir_.file("g.pgm");
  FILE *f = fopen(pgm.c_str(), "wb");
  ASSERT_TRUE(f);
  fprintf(f, "P5 %d %d 255\n", w, h);
  fwrite(gray.data(), 1, gray.size(), f);
  fclose(f);
  ImgRaw narrow(gray.data(), w, h, 1, false, 0, 0), wide(rgbw.data(), w, h, 4, false, 0, 0);
  struct Size {
    int w, h;
  } sizes[] = {{5, 4}, {22, 15}, {67, 45}, {140, 97}, {1, 1}, {67, 9}};
  const ImgScaleTp methods[] = {ImgScaleAveraging, ImgScaleBilinear, ImgScaleReplication};
  for (const Size &size : sizes)
    for (ImgScaleTp method : methods)
      for (int variant = 0; variant < 5; ++variant) {
        SCOPED_TRACE(testing::Message()
                     << size.w << "x" << size.h << " method " << method << " variant " << variant);
        std::vector<uint32_t> px[3];
        for (int source = 0; source < 3; ++source) {
          ImgOpenParamsTp params = {};
          params.mirror = variant == 1 ? 1 : variant == 4 ? 3 : 0;
          ImgControlBlockTp *cb = nullptr;
          ASSERT_EQ(source == 2 ? ImgOpen(pgm.c_str(), &cb, &params)
                                : ImgOpenRaw(source ? &wide : &narrow, 1, &cb, &params),
                    0u);
          if (variant == 2) cb->color.output = IMG_OUTPUT_GRAY;
          if (variant == 3) cb->color.contrast = 0.5;
          // Mirrored both ways, a file's crop region is read out of order.
          if (variant == 4) Crop(cb, 3, 2, 50, 40);
          ASSERT_EQ(ImgSetOutputSize(cb, size.w, size.h), 0u);
          cb->scale_method = method;
          std::vector<RgbPixelTp> line(size.w);
          for (int y = 0; y < size.h; ++y) {
            ASSERT_EQ(ImgReadLine(cb, y, line.data()), 0u);
            for (RgbPixelTp p : line) px[source].push_back(Word(p));
          }
          ASSERT_EQ(ImgClose(&cb), 0u);
        }
        EXPECT_EQ(px[0], px[1]);
        EXPECT_EQ(px[2], px[1]);
      }
}

// A drawing's lines mostly repeat the line above, which the raster stores
// once and the scaler reuses: a bilevel page read as pieces must still
// show what the same page held as display pixels shows, for reductions
// that take every line or skip some, mirrored, cropped across tile
// borders, and with lines that repeat across a tile row's border.
TEST_F(ImaRead, RepeatedLinesScaleLikeTheirPixels) {
  const int w = 300, h = 400;
  Bytes gray(size_t(w) * h, 255), rgbw;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const bool stroke = x % 97 < 3 || (y / 50 % 3 == 1 && x > y / 3) || (y % 131 == 7);
      gray[size_t(y) * w + x] = stroke ? 0 : 255;
    }
  for (unsigned char v : gray) rgbw.insert(rgbw.end(), {v, v, v, 255});
  ImgRaw narrow(w, h, 1, false, ImgInterpGray, 0, 0);
  std::vector<int32_t> changes;
  for (int y = 0; y < h; ++y) {
    changes.clear();
    for (int x = 1; x < w; ++x)
      if (gray[size_t(y) * w + x] != gray[size_t(y) * w + x - 1]) changes.push_back(x);
    const uint8_t levels[2] = {gray[size_t(y) * w], uint8_t(255 - gray[size_t(y) * w])};
    ASSERT_EQ(narrow.putChanges(changes.data(), int(changes.size()), levels), 0u);
  }
  ImgRaw wide(rgbw.data(), w, h, 4, false, 0, 0);
  // Lines put alike share their bytes, and the raster says so.
  EXPECT_TRUE(narrow.sameLines(20, 21, 0, 0));
  EXPECT_FALSE(narrow.sameLines(6, 7, 0, 0));
  EXPECT_FALSE(narrow.sameLines(127, 128, 0, 0));  // another tile row
  EXPECT_LT(narrow.memoryUse(), size_t(w) * h / 8);
  struct Case {
    int ow, oh, mirror, crop;
    ImgScaleTp method;
  } cases[] = {{60, 80, 0, 0, ImgScaleAveraging},  {23, 17, 2, 0, ImgScaleAveraging},
               {40, 30, 3, 1, ImgScaleAveraging},  {31, 150, 1, 1, ImgScaleAveraging},
               {50, 40, 0, 0, ImgScaleBilinear},   {45, 61, 2, 1, ImgScaleBilinear},
               {29, 33, 0, 1, ImgScaleReplication}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.ow << "x" << c.oh << " mirror " << c.mirror << " crop "
                                    << c.crop << " method " << c.method);
    std::vector<uint32_t> px[2];
    for (int source = 0; source < 2; ++source) {
      ImgOpenParamsTp params = {};
      params.mirror = c.mirror;
      ImgControlBlockTp *cb = nullptr;
      ASSERT_EQ(ImgOpenRaw(source ? &wide : &narrow, 1, &cb, &params), 0u);
      if (c.crop) Crop(cb, 100, 90, 170, 250);
      ASSERT_EQ(ImgSetOutputSize(cb, c.ow, c.oh), 0u);
      cb->scale_method = c.method;
      std::vector<RgbPixelTp> line(c.ow);
      for (int y = 0; y < c.oh; ++y) {
        ASSERT_EQ(ImgReadLine(cb, y, line.data()), 0u);
        for (RgbPixelTp p : line) px[source].push_back(Word(p));
      }
      ASSERT_EQ(ImgClose(&cb), 0u);
    }
    EXPECT_EQ(px[0], px[1]);
  }
}

// A window of the output read from a raster is that part of the whole
// output, whatever the crop, mirror, rotation, depth and method, for
// windows at the edges and inside; an output far larger than the picture
// costs only its window.
TEST_F(ImaRead, OutputWindowIsThePartOfTheWholeOutput) {
  const int w = 53, h = 37;
  Bytes gray(size_t(w) * h);
  for (size_t i = 0; i < gray.size(); ++i) gray[i] = uint8_t(i * 2654435761u >> 11);
  const Bytes pic = Picture(w, h);
  struct Case {
    int out_w, out_h, rotation, mirror;
    ImgScaleTp method;
  } cases[] = {{20, 14, 0, 0, ImgScaleAveraging},    {20, 14, 0, 3, ImgScaleAveraging},
               {106, 74, 0, 1, ImgScaleReplication}, {90, 70, 0, 2, ImgScaleBilinear},
               {14, 20, 90, 0, ImgScaleAveraging},   {150, 200, 270, 1, ImgScaleReplication},
               {31, 23, 180, 0, ImgScaleBilinear},   {53, 37, 0, 1, ImgScaleAveraging}};
  for (const Case &c : cases)
    for (int depth : {1, 3}) {
      SCOPED_TRACE(testing::Message() << c.out_w << "x" << c.out_h << " rotation " << c.rotation
                                      << " mirror " << c.mirror << " depth " << depth);
      auto open = [&](ImgRaw *raw) {
        ImgOpenParamsTp params = {};
        params.rotation = c.rotation;
        params.mirror = c.mirror;
        ImgControlBlockTp *cb = nullptr;
        EXPECT_EQ(ImgOpenRaw(raw, 1, &cb, &params), 0u);
        Crop(cb, 2, 3, 45, 31);
        cb->caller_stamps = true;
        return cb;
      };
      // Each block turns its raster, so each reads a raster of its own.
      auto raster = [&] {
        return std::make_unique<ImgRaw>(
            const_cast<unsigned char *>(depth == 1 ? gray.data() : pic.data()), w, h, depth, false,
            0, 0);
      };
      std::vector<uint32_t> whole(size_t(c.out_w) * c.out_h);
      {
        auto raw = raster();
        ImgControlBlockTp *cb = open(raw.get());
        ASSERT_EQ(ImgSetOutputSize(cb, c.out_w, c.out_h), 0u);
        cb->scale_method = c.method;
        std::vector<RgbPixelTp> line(c.out_w);
        for (int y = 0; y < c.out_h; ++y) {
          ASSERT_EQ(ImgReadLine(cb, y, line.data()), 0u);
          for (int x = 0; x < c.out_w; ++x) whole[size_t(y) * c.out_w + x] = Word(line[x]);
        }
        ASSERT_EQ(ImgClose(&cb), 0u);
      }
      const int windows[][4] = {{0, 0, c.out_w, c.out_h},
                                {0, 0, 5, 4},
                                {c.out_w - 6, c.out_h - 3, 6, 3},
                                {c.out_w / 3, c.out_h / 4, c.out_w / 2, c.out_h / 2},
                                {c.out_w - 1, 1, 1, c.out_h - 1}};
      for (const auto &win : windows) {
        SCOPED_TRACE(testing::Message()
                     << "window " << win[0] << "," << win[1] << " " << win[2] << "x" << win[3]);
        auto raw = raster();
        ImgControlBlockTp *cb = open(raw.get());
        cb->scale_method = c.method;
        ASSERT_EQ(ImgSetOutputWindow(cb, c.out_w, c.out_h, win[0], win[1], win[2], win[3]), 0u);
        std::vector<RgbPixelTp> line(win[2]);
        for (int y = 0; y < win[3]; ++y) {
          ASSERT_EQ(ImgReadLine(cb, y, line.data()), 0u);
          for (int x = 0; x < win[2]; ++x)
            ASSERT_EQ(Word(line[x]), whole[size_t(win[1] + y) * c.out_w + win[0] + x])
                << x << "," << y;
        }
        ASSERT_EQ(ImgClose(&cb), 0u);
      }
    }
  // A window of 10 x 10 pixels of an output two million pixels wide.
  ImgRaw raw(const_cast<unsigned char *>(pic.data()), w, h, 3, false, 0, 0);
  ImgControlBlockTp *cb = nullptr;
  ASSERT_EQ(ImgOpenRaw(&raw, 1, &cb, nullptr), 0u);
  cb->scale_method = ImgScaleReplication;
  ASSERT_EQ(ImgSetOutputWindow(cb, 2120000, 1480000, 1060000, 740000, 10, 10), 0u);
  std::vector<RgbPixelTp> line(10);
  ASSERT_EQ(ImgReadLine(cb, 0, line.data()), 0u);
  EXPECT_EQ(Word(line[0]), At(pic, w, 26, 18));
  EXPECT_LE(cb->stretch->htab.size(), 10u);
  EXPECT_EQ(ImgSetOutputWindow(cb, 20, 20, 0, 0, 5, 5), CMN_E_TEXT | CMN_REPORTED);
  ASSERT_EQ(ImgClose(&cb), 0u);
  ASSERT_EQ(ImgOpenRaw(&raw, 1, &cb, nullptr), 0u);
  EXPECT_EQ(ImgSetOutputWindow(cb, 20, 20, 16, 0, 5, 5), CMN_E_TEXT | CMN_REPORTED);
  ASSERT_EQ(ImgClose(&cb), 0u);
}

TEST_F(ImaRead, HeaderSizes) {
  // Pixels twice as tall as wide are shown in twice the lines.
  const std::string tall = dir_.file("tall.qpl");
  WriteQpl(tall, 3, 4, Picture(3, 4), 0, Bytes(), 2);
  ImgControlBlockTp *cb = nullptr;
  ASSERT_EQ(ImgOpen(tall.c_str(), &cb, nullptr), 0u);
  EXPECT_EQ(cb->lines, 8);
  EXPECT_EQ(cb->source_lines, 4);
  int ow, oh;
  const std::vector<uint32_t> px = ReadAll(cb, &ow, &oh);
  EXPECT_EQ(oh, 8);
  EXPECT_EQ(px[1 * 3], px[0]);  // line 0 doubled

  // An old 640 x 350 display mode, shown with square pixels only when asked.
  const std::string ega = dir_.file("ega.pgm");
  ASSERT_EQ(RunProgram({"sh", "-c", "pgmramp -lr 640 350 > " + ega}).status, 0);
  ASSERT_EQ(ImgOpen(ega.c_str(), &cb, nullptr), 0u);
  EXPECT_EQ(cb->lines, 350);
  ImgClose(&cb);
  setenv("ASSUME_OLD_VGA_SIZES", "1", 1);
  ASSERT_EQ(ImgOpen(ega.c_str(), &cb, nullptr), 0u);
  unsetenv("ASSUME_OLD_VGA_SIZES");
  EXPECT_EQ(cb->lines, 480);
  EXPECT_STREQ(cb->compression, "");
  ImgClose(&cb);
}

TEST_F(ImaRead, MissingAndUnknownFiles) {
  ImgControlBlockTp *cb = nullptr;
  EXPECT_NE(ImgOpen(dir_.file("none.ppm").c_str(), &cb, nullptr), 0u);
  ASSERT_NE(cb, nullptr);
  ImgClose(&cb);

  const std::string text = dir_.file("t.txt");
  WriteFile(text, "just some words\n");
  ASSERT_EQ(ImgOpen(text.c_str(), &cb, nullptr), 0u);
  EXPECT_EQ(cb->width, 0);
  ImgClose(&cb);

  RgbPixelTp *all = nullptr;
  int32_t w = 1, h = 1;
  testing::internal::CaptureStderr();
  EXPECT_NE(ImgReadAll(text.c_str(), &all, &w, &h, 1, nullptr), 0u);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(all, nullptr);
  EXPECT_EQ(w, 0);
}

// The line store fills tile rows in either direction.
TEST(ImaLineStore, FillsTopDownAndBottomUp) {
  const int w = 130, h = 300;
  for (int bottom_up = 0; bottom_up < 2; ++bottom_up) {
    ImgRawTp *raw = nullptr;
    ASSERT_EQ(ImgCreateRaw(&raw, w, h, 1), 0u);
    Bytes line(w);
    for (int i = 0; i < h; ++i) {
      const int y = bottom_up ? h - 1 - i : i;
      for (int x = 0; x < w; ++x) line[x] = uint8_t(x + 3 * y);
      ASSERT_EQ(ImgStoreRawLine(raw, line.data(), y, w, h, 1), 0u);
    }
    EXPECT_EQ(raw->data, nullptr);  // the working row is gone once full
    for (int y = 0; y < h; ++y) {
      ImgGetRawLine(raw, y, line.data());
      for (int x = 0; x < w; x += 43) ASSERT_EQ(line[x], uint8_t(x + 3 * y)) << x << "," << y;
    }
    ImgTermRaw(&raw);
  }
}

}  // namespace

// ---- Decoding at the size needed ---------------------------------------------

// The level a block's crop needs for its output, over levels of a
// 1000 x 800 page listed as a driver lists them: full size, then 1/8, 1/4
// and 1/2.
TEST(ImaLevel, SmallestLevelThatStillGivesTheOutput) {
  IffControlBlockTp iff = {};
  iff.level_count = 4;
  const int32_t sizes[] = {1000, 800, 125, 100, 250, 200, 500, 400};
  memcpy(iff.level_sizes, sizes, sizeof sizes);
  struct {
    int crop_x, crop_y, crop_w, crop_h, rotation, out_w, out_h, level;
  } cases[] = {
      {0, 0, 0, 0, 0, 500, 400, 3},          // exactly half
      {0, 0, 0, 0, 0, 501, 400, 0},          // a pixel more than half: the full page
      {0, 0, 0, 0, 0, 200, 160, 2},          // between a quarter and a half
      {0, 0, 0, 0, 0, 100, 80, 1},           // below an eighth
      {0, 0, 0, 0, 90, 100, 125, 1},         // turned: the output's height is across
      {0, 0, 0, 0, 90, 125, 100, 2},         // ... and not the other way round
      {100, 100, 400, 400, 0, 100, 100, 2},  // a crop reduced by four
      {100, 100, 400, 400, 0, 101, 100, 3}, {0, 0, 0, 0, 0, 2000, 1600, 0},  // enlarged
  };
  for (const auto &c : cases) {
    ImgControlBlockTp cb;
    cb.iff = &iff;
    cb.width = 1000;
    cb.lines = cb.source_lines = 800;
    Crop(&cb, c.crop_x, c.crop_y, c.crop_w, c.crop_h);
    cb.rotation = c.rotation;
    EXPECT_EQ(ImgLevelFor(&cb, c.out_w, c.out_h), c.level)
        << c.crop_w << "x" << c.crop_h << " turned " << c.rotation << " to " << c.out_w << "x"
        << c.out_h;
    cb.iff = nullptr;
  }
}

// A crop set on the full page keeps every pixel it covered at the level.
TEST(ImaLevel, CropIsMappedOutwards) {
  struct {
    int x, y, w, h, lw, lh, ex, ey, ew, eh;
  } cases[] = {
      {123, 77, 500, 400, 500, 400, 61, 38, 251, 201},
      {0, 0, 1000, 800, 125, 100, 0, 0, 125, 100},
      {999, 799, 1, 1, 125, 100, 124, 99, 1, 1},  // the last pixel stays a pixel
      {0, 0, 0, 0, 250, 200, 0, 0, 0, 0},         // no crop stays none
  };
  for (const auto &c : cases) {
    ImgControlBlockTp cb;
    cb.width = 1000;
    cb.lines = cb.source_lines = 800;
    Crop(&cb, c.x, c.y, c.w, c.h);
    ImgCropToLevel(&cb, c.lw, c.lh);
    EXPECT_EQ(cb.crop_x, c.ex);
    EXPECT_EQ(cb.crop_y, c.ey);
    EXPECT_EQ(cb.crop_w, c.ew);
    EXPECT_EQ(cb.crop_h, c.eh);
    EXPECT_EQ(cb.width, c.lw);
    EXPECT_EQ(cb.lines, c.lh);
  }
}

// A JPEG 2000 or JPEG page reduced four times is decoded at its quarter
// level, and the output has the size asked for and the pixels of the full
// decode averaged (a smooth picture: the wavelet's low band and the
// reduced inverse DCT are its average).
TEST_F(ImaRead, ReducedPageIsDecodedAtItsLevel) {
  const std::string pgm = dir_.file("ramp.pgm");
  ASSERT_EQ(RunProgram({"sh", "-c", "pgmramp -diagonal 512 384 > " + pgm}).status, 0);
  const char *names[] = {"ramp.j2k", "ramp.jpg"};
  for (int k = 0; k < 2; ++k) {
    const std::string file = dir_.file(names[k]);
    const std::string make = k == 0 ? "opj_compress -i " + pgm + " -o " + file + " >/dev/null"
                                    : "pnmtojpeg -quality 95 " + pgm + " > " + file;
    ASSERT_EQ(RunProgram({"sh", "-c", make}).status, 0);
    std::vector<uint32_t> pixels[2];
    for (int reduce = 0; reduce < 2; ++reduce) {
      ImgControlBlockTp *cb = nullptr;
      ASSERT_EQ(ImgOpen(file.c_str(), &cb, nullptr), 0u);
      cb->may_reduce = reduce;
      ASSERT_EQ(ImgSetOutputSize(cb, 128, 96), 0u);
      std::vector<RgbPixelTp> line(128);
      for (int y = 0; y < 96; ++y) {
        ASSERT_EQ(ImgReadLine(cb, y, line.data()), 0u);
        for (RgbPixelTp p : line) pixels[reduce].push_back(Word(p));
      }
      EXPECT_EQ(cb->iff->width, reduce ? 128 : 512) << names[k];
      EXPECT_EQ(ImgClose(&cb), 0u);
    }
    int worst = 0;
    for (size_t i = 0; i < pixels[0].size(); ++i)
      worst = std::max(worst, std::abs(int(pixels[0][i] & 0xFF) - int(pixels[1][i] & 0xFF)));
    EXPECT_LE(worst, 2) << names[k];
  }
}
