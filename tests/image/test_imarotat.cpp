// Rotation of tiled rasters against netpbm's pamflip, rotation there and
// back, and block and buffer rotation with the angle rules.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "image.h"
#include "runprog.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Random(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  // Short runs of equal bytes, so that the tiles hold both kinds of run.
  for (size_t i = 0; i < n; ++i) b[i] = i && rng() % 3 == 0 ? b[i - 1] : static_cast<unsigned char>(rng());
  return b;
}

// The reference: pixel (x, y) of w x h lands at (y, w-1-x) for 90 and at
// (h-1-y, x) otherwise, in a picture h wide.
Bytes Turned(const Bytes &src, int w, int h, int bpp, int degrees) {
  Bytes out(src.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int nx = degrees == 90 ? y : h - 1 - y, ny = degrees == 90 ? w - 1 - x : x;
      memcpy(&out[(size_t(ny) * h + nx) * bpp], &src[(size_t(y) * w + x) * bpp], bpp);
    }
  return out;
}

Bytes Pixels(const ImgRaw &raw) {
  const size_t row = size_t(raw.width()) * raw.bytesPerPixel();
  Bytes out(row * raw.height());
  for (int y = 0; y < raw.height(); ++y) raw.getPackedLine(&out[y * row], y, 0, raw.width());
  return out;
}

ImgRaw *Make(const Bytes &px, int w, int h, int bpp) {
  ImgRaw *raw = new ImgRaw(w, h, bpp, false, bpp == 2 ? ImgInterpRgbw : ImgInterpUnset, 0, 0);
  for (int y = 0; y < h; ++y) raw->putLine(const_cast<unsigned char *>(&px[size_t(y) * w * bpp]));
  return raw;
}

TEST(Rotation, MatchesPamflip) {
  TempDir dir;
  struct {
    int w, h, bpp;
  } cases[] = {{300, 129, 1}, {129, 1, 1}, {1, 130, 3}, {257, 140, 3}};
  for (const auto &c : cases) {
    const Bytes px = Random(size_t(c.w) * c.h * c.bpp, c.w + c.h);
    std::ostringstream pnm;
    pnm << (c.bpp == 1 ? "P5\n" : "P6\n") << c.w << " " << c.h << "\n255\n";
    const std::string file = dir.file("in.pnm");
    WriteFile(file, pnm.str() + std::string(px.begin(), px.end()));
    // 90 turns counter-clockwise, 270 clockwise.
    for (int degrees : {90, 270}) {
      SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << "x" << c.bpp << " by " << degrees);
      const RunResult r = RunProgram({"pamflip", degrees == 90 ? "-ccw" : "-cw", file});
      ASSERT_EQ(r.status, 0) << r.err;
      std::ostringstream head;
      head << (c.bpp == 1 ? "P5\n" : "P6\n") << c.h << " " << c.w << "\n255\n";
      ASSERT_EQ(r.out.substr(0, head.str().size()), head.str());
      std::unique_ptr<ImgRaw> raw(Make(px, c.w, c.h, c.bpp));
      ASSERT_EQ(raw->rotate(degrees), 0u);
      ASSERT_EQ(raw->width(), c.h);
      ASSERT_EQ(raw->segmentLines(), c.w);
      const Bytes got = Pixels(*raw);
      EXPECT_TRUE(std::string(got.begin(), got.end()) == r.out.substr(head.str().size()));
    }
  }
}

TEST(Rotation, ThereAndBackAtEveryDepthAndSize) {
  const int sizes[] = {1, 127, 128, 129, 300};
  for (int bpp = 1; bpp <= 4; ++bpp)
    for (int w : sizes)
      for (int h : sizes) {
        SCOPED_TRACE(testing::Message() << w << "x" << h << "x" << bpp);
        const Bytes px = Random(size_t(w) * h * bpp, w * 31 + h + bpp);
        std::unique_ptr<ImgRaw> raw(Make(px, w, h, bpp));
        ASSERT_EQ(raw->rotate(90), 0u);
        ASSERT_EQ(Pixels(*raw), Turned(px, w, h, bpp, 90));
        ASSERT_EQ(raw->rotate(270), 0u);
        ASSERT_EQ(raw->width(), w);
        ASSERT_EQ(Pixels(*raw), px);
      }
}

TEST(Rotation, TileGridOfTheTurnedRaster) {
  Bytes px(129, 9);
  std::unique_ptr<ImgRaw> raw(Make(px, 129, 1, 1));
  ASSERT_EQ(raw->rotate(90), 0u);
  EXPECT_EQ(raw->tilesAcross(), 1);
  EXPECT_EQ(raw->tileRows(), 3);
  EXPECT_EQ(raw->tile(0, 0)->h, 128);
  EXPECT_EQ(raw->tile(0, 1)->h, 1);
  EXPECT_EQ(raw->tile(0, 2)->data, nullptr);  // the spare row
}

TEST(Rotation, HalfFilledRasterTurnsWithWhiteForMissingLines) {
  const Bytes px = Random(200 * 3, 4);
  ImgRaw raw(200, 150, 1, false, ImgInterpUnset, 0, 0);
  for (int y = 0; y < 3; ++y) raw.putLine(const_cast<unsigned char *>(&px[y * 200]));
  ASSERT_EQ(raw.rotate(270), 0u);
  Bytes full(200 * 150, 255);
  std::copy(px.begin(), px.end(), full.begin());
  EXPECT_EQ(Pixels(raw), Turned(full, 200, 150, 1, 270));
}

TEST(Rotation, PlainRecordTurnsAndSwapsItsSize) {
  ImgRawTp *rec = nullptr;
  ASSERT_EQ(ImgCreateRaw(&rec, 100, 50, 2), 0u);
  Bytes px = Random(100 * 50 * 2, 8);
  ASSERT_EQ(ImgStoreTile(&rec->pptile[0][0], px.data(), 200, 100, 50, 2), 0u);
  ASSERT_EQ(ImgRotateRaw(rec, 100, 50, 2, 270), 0u);
  ASSERT_EQ(rec->width, 50);
  ASSERT_EQ(rec->height, 100);
  Bytes got(50 * 100 * 2);
  for (int y = 0; y < 100; ++y) ImgGetRawLine(rec, y, &got[y * 100]);
  EXPECT_EQ(got, Turned(px, 100, 50, 2, 270));
  ImgTermRaw(&rec);
}

TEST(Rotation, BlocksAndBuffersFollowTheAngleRules) {
  CmnSetErrorHandler([](ReturnTp) {});
  for (int bpp = 1; bpp <= 4; ++bpp)
    for (int w : {1, 2, 7}) {
      const int h = 5;
      SCOPED_TRACE(testing::Message() << w << "x" << h << "x" << bpp);
      const Bytes px = Random(size_t(w) * h * bpp, w + bpp);
      for (int degrees : {90, 270}) {
        Bytes block(px.size());
        ImgRotateBlock(px.data(), block.data(), w, h, bpp, degrees);
        EXPECT_EQ(block, Turned(px, w, h, bpp, degrees));
      }
      auto rotated = [&](int degrees) {
        Bytes b = px;
        EXPECT_EQ(ImgRotateBuffer(b.data(), w, h, bpp, degrees), 0);
        return b;
      };
      EXPECT_EQ(rotated(450), Turned(px, w, h, bpp, 90));
      EXPECT_EQ(rotated(-90), Turned(px, w, h, bpp, 270));
      EXPECT_EQ(rotated(360), px);
      EXPECT_EQ(rotated(180), Turned(Turned(px, w, h, bpp, 90), h, w, bpp, 90));
      Bytes b = px;
      EXPECT_EQ(ImgRotateBuffer(b.data(), w, h, bpp, 45), 1);
      EXPECT_EQ(b, px);
    }
  EXPECT_STREQ(CmnErrorText(CmnErrno, nullptr, nullptr),
               "Angle for ImgRotate must be a multiple of 90 degree\nAngle given was 45");
  CmnSetErrorHandler(CmnDefaultErrorHandler);
}

}  // namespace
