// The tiled raster: the packed line format, filling and reading back,
// rotation (against netpbm's pamflip and there and back), chains of pages
// through a stand-in reading layer, bad sizes, dumps, and the tile store,
// block and buffer functions of the plain record.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "image.h"
#include "imagefile.h"
#include "imarotat.h"
#include "imascale.h"
#include "runprog.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::vector<std::string> g_messages;
void Capture(ReturnTp code) { g_messages.push_back(CmnErrorText(code, nullptr, nullptr)); }

class Raw : public testing::Test {
 protected:
  void SetUp() override {
    g_messages.clear();
    CmnSetErrorHandler(Capture);
  }
  void TearDown() override { CmnSetErrorHandler(CmnDefaultErrorHandler); }
};

// Pixels that repeat often enough for both kinds of run; two pixels may
// differ in their last byte only, so that every byte must be compared.
Bytes Picture(int w, int h, int bpp, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes px(static_cast<size_t>(w) * h * bpp);
  for (size_t i = 0; i < px.size(); i += bpp) {
    if (i >= static_cast<size_t>(bpp) && rng() % 2) {
      memcpy(&px[i], &px[i - bpp], bpp);
    } else {
      memset(&px[i], 200, bpp);
      px[i + bpp - 1] = static_cast<unsigned char>(rng() % 4 * 60);
    }
  }
  return px;
}

// The reference turn: pixel (x, y) of w x h lands at (y, w-1-x) for 90
// (counter-clockwise) and at (h-1-y, x) otherwise, in a picture h wide.
Bytes Turned(const Bytes &src, int w, int h, int bpp, int degrees) {
  Bytes out(src.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int nx = degrees == 90 ? y : h - 1 - y, ny = degrees == 90 ? w - 1 - x : x;
      memcpy(&out[(size_t(ny) * h + nx) * bpp], &src[(size_t(y) * w + x) * bpp], bpp);
    }
  return out;
}

Bytes Line(const ImgRaw &raw, int y, int x = 0, int width = 0) {
  Bytes out(static_cast<size_t>(width ? width : raw.width() - x) * raw.bytesPerPixel());
  raw.getPackedLine(out.data(), y, x, width);
  return out;
}

Bytes Row(const Bytes &px, int w, int bpp, int y) {
  return Bytes(px.begin() + size_t(y) * w * bpp, px.begin() + size_t(y + 1) * w * bpp);
}

// Every line of the raster, stored format, top first.
Bytes All(const ImgRaw &raw) {
  Bytes out;
  for (int y = 0; y < raw.segmentLines(true); ++y) {
    const Bytes line = Line(raw, y);
    out.insert(out.end(), line.begin(), line.end());
  }
  return out;
}

// What a dump function writes.
template <typename F>
std::string Dumped(F dump) {
  char *buf = nullptr;
  size_t len = 0;
  FILE *mem = open_memstream(&buf, &len);
  EXPECT_EQ(dump(mem), 0);
  fclose(mem);
  const std::string out(buf, len);
  free(buf);
  return out;
}

uint32_t Word(RgbPixelTp p) {
  return p.blue | p.green << 8 | p.red << 16 | uint32_t(p.fourth) << 24;
}

TEST(PackedLine, RunChoicesOnEveryPath) {
  // Pixels told apart by their last byte: 21 22 23 23 23 24 packs as a
  // literal of two (control 1), a repeat of three (254) and a literal of
  // one (0).
  for (int bpp = 1; bpp <= 4; ++bpp) {
    auto put = [bpp](Bytes &to, int id) {
      to.insert(to.end(), bpp - 1, 7);
      to.push_back(static_cast<unsigned char>(id));
    };
    Bytes in, want;
    for (int id : {21, 22, 23, 23, 23, 24}) put(in, id);
    for (int b : {1, 21, 22, 254, 23, 0, 24}) b / 10 == 2 ? put(want, b) : want.push_back(b);
    Bytes out(IMG_PACK_BOUND(bpp));
    out.resize(ImgPackLine(in.data(), 6, bpp, out.data()));
    EXPECT_EQ(out, want) << bpp << " bytes per pixel";

    Bytes back(in.size(), 0);
    EXPECT_EQ(ImgUnpackLine(out.data(), out.data() + out.size(), bpp, 0, 6, back.data()), 6);
    EXPECT_EQ(back, in);
  }
  // 128 is never written but reads as 129 pixels; a literal run cut short
  // by the end of the data gives what is there.
  const Bytes packed = {128, 9, 4, 5, 6};
  Bytes out(133, 0);
  EXPECT_EQ(ImgUnpackLine(packed.data(), packed.data() + packed.size(), 1, 1, 133, out.data()),
            130);
  EXPECT_EQ((Bytes{out[127], out[128], out[129]}), (Bytes{9, 5, 6}));
}

TEST(PackedLine, ByteLinesPackLikeWiderPixels) {
  // One-byte lines are packed eight at a time; the runs must be those the
  // pixel-by-pixel packer of two-byte pixels finds on the same values.
  std::mt19937 rng(5);
  for (int trial = 0; trial < 3000; ++trial) {
    const int n = 1 + static_cast<int>(rng() % IMG_TILE);
    Bytes line(n), wide(2 * n, 0);
    // Runs of random length, of two or three values: long repeats, short
    // literals and everything in between.
    const int spread = 1 + trial % 40, values = 2 + trial % 2;
    for (int i = 0; i < n;) {
      const int run = 1 + static_cast<int>(rng() % spread);
      const unsigned char v = static_cast<unsigned char>(rng() % values * 255 / (values - 1));
      for (int k = 0; k < run && i < n; ++k, ++i) line[i] = wide[2 * i] = v;
    }
    Bytes narrow_out(IMG_PACK_BOUND(1)), wide_out(IMG_PACK_BOUND(2));
    narrow_out.resize(ImgPackLine(line.data(), n, 1, narrow_out.data()));
    wide_out.resize(ImgPackLine(wide.data(), n, 2, wide_out.data()));
    Bytes expect;  // the wide packing with every second payload byte dropped
    for (size_t i = 0; i < wide_out.size();) {
      const unsigned c = wide_out[i++];
      const size_t count = c >= 128 ? 1 : c + 1;
      expect.push_back(static_cast<unsigned char>(c));
      for (size_t k = 0; k < count; ++k, i += 2) expect.push_back(wide_out[i]);
    }
    ASSERT_EQ(narrow_out, expect) << "trial " << trial << ", width " << n;
  }
}

// Two-level lines given as changes or bits must read back exactly as their
// bytes do: the same packed bytes for every tile line, whatever the runs,
// the levels (gray or colour indexes), the width and the line order, and
// whether the tile keeps its lines packed or (noise) as plain bits; the
// dump too is the same.
TEST(PackedLine, TwoLevelLinesReadAsTheirBytes) {
  std::mt19937 rng(11);
  const uint8_t kLevels[][2] = {{255, 0}, {0, 255}, {0, 1}, {7, 7}};
  bool some_bits = false;
  for (int trial = 0; trial < 60; ++trial) {
    const int w = 1 + static_cast<int>(rng() % 700), h = 1 + static_cast<int>(rng() % 300);
    const uint8_t *levels = kLevels[trial % 4];
    const bool bottom_up = trial % 5 == 0, as_bits = trial % 2 == 1;
    ImgRaw bytes(w, h, 1, bottom_up, ImgInterpGray, 0, 0);
    ImgRaw runs(w, h, 1, bottom_up, ImgInterpGray, 0, 0);
    for (int y = 0; y < h; ++y) {
      // Runs of 1 to `spread` pixels: noise, text and wide white alike; a
      // tile of noise may turn to a drawing below it.
      const int spread = 1 + (trial * 7 + (y / 100) * 150) % 300;
      std::vector<int32_t> changes;
      Bytes line(w), bits((w + 7) / 8 + 16, 0xA5);  // bits past the width are junk
      std::fill(bits.begin(), bits.begin() + w / 8, 0);
      int level = 0;
      for (int x = 0; x < w;) {
        const int run = 1 + static_cast<int>(rng() % spread);
        for (int k = 0; k < run && x < w; ++k, ++x) {
          line[x] = levels[level];
          if (level)
            bits[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
          else
            bits[x / 8] &= static_cast<uint8_t>(~(0x80 >> (x % 8)));
        }
        if (x < w) changes.push_back(x);
        level ^= 1;
      }
      ASSERT_EQ(bytes.putLine(line.data()), 0u);
      ASSERT_EQ(as_bits ? runs.putBits(bits.data(), levels)
                        : runs.putChanges(changes.data(), static_cast<int>(changes.size()), levels),
                0u);
    }
    ASSERT_TRUE(bytes.complete() && runs.complete());
    for (int r = 0; r < bytes.tileRows(); ++r)
      for (int c = 0; c < bytes.tilesAcross(); ++c) {
        const ImgTileTp *a = bytes.tile(c, r), *b = runs.tile(c, r);
        some_bits |= b->form == IMG_TILE_BITS;
        ASSERT_EQ(a->h, b->h);
        if (b->form == IMG_TILE_PACKED) {
          ASSERT_EQ(Bytes(a->data, a->data + a->size), Bytes(b->data, b->data + b->size))
              << "trial " << trial << " tile " << c << "," << r;
          continue;
        }
        EXPECT_LT(b->size, a->size);
        for (int y = 0; y < a->h; ++y) {
          const unsigned char *ea, *eb;
          const unsigned char *pa = ImgTileLine(a, y, &ea), *pb = ImgTileLine(b, y, &eb);
          ASSERT_TRUE(pa && pb);
          Bytes la(a->w), lb(a->w);
          ASSERT_EQ(ImgUnpackLine(pa, ea, 1, 0, a->w, la.data()), a->w);
          ASSERT_EQ(ImgUnpackLine(pb, eb, 1, 0, a->w, lb.data()), a->w);
          ASSERT_EQ(la, lb) << "trial " << trial << " line " << y;
        }
      }
    // Read as runs (whole, or from any column, reversed or not), every line
    // gives its bytes, whichever form its tiles took.
    for (int y = 0; y < h; ++y) {
      const int x = y % 3 ? static_cast<int>(rng() % w) : 0;
      const int n = y % 3 ? 1 + static_cast<int>(rng() % (w - x)) : w;
      Bytes want(n), got(n);
      bytes.getPackedLine(want.data(), y, x, n);
      ImgRunLineTp pieces;
      runs.getRunLine(&pieces, y, x, n, y % 2 == 1, nullptr);
      ASSERT_EQ(pieces.width, n);
      pieces.expand(got.data());
      if (y % 2) std::reverse(want.begin(), want.end());
      ASSERT_EQ(got, want) << "trial " << trial << " line " << y;
    }
    // The dump writes a bits tile as the packed lines it stands for.
    char *da = nullptr, *db = nullptr;
    size_t na = 0, nb = 0;
    FILE *fa = open_memstream(&da, &na), *fb = open_memstream(&db, &nb);
    EXPECT_EQ(bytes.dumpRaw(fa), 0);
    EXPECT_EQ(runs.dumpRaw(fb), 0);
    fclose(fa);
    fclose(fb);
    EXPECT_TRUE(na == nb && memcmp(da, db, na) == 0) << "trial " << trial;
    free(da);
    free(db);
  }
  EXPECT_TRUE(some_bits);
}

// Lines of a drawing: most repeat the line before whole or in most tiles,
// and come now as bits, now as changes, now with the levels swapped (the
// same bits or changes then stand for other pixels). Every tile holds the
// bytes that putting the same lines as pixels stores.
TEST(PackedLine, RepeatedTwoLevelLinesStoreWhatPixelsStore) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 24; ++trial) {
    const int w = 1 + static_cast<int>(rng() % 600), h = 1 + static_cast<int>(rng() % 300);
    const bool bottom_up = trial % 3 == 2;
    ImgRaw bytes(w, h, 1, bottom_up, ImgInterpGray, 0, 0);
    ImgRaw runs(w, h, 1, bottom_up, ImgInterpGray, 0, 0);
    Bytes bits(static_cast<size_t>(runs.tilesAcross()) * 16, 0);
    uint8_t levels[2] = {255, 0};
    for (int y = 0; y < h; ++y) {
      const unsigned how = rng() % 16;
      if (how == 0) {
        std::swap(levels[0], levels[1]);
      } else if (how == 1 && trial % 4 == 3) {
        levels[1] = levels[0];  // one level: the line is a single run
      } else if (how < 8) {
        levels[0] = 255, levels[1] = 0;
        // A few strokes flipped: their tiles differ, the others repeat; a
        // flip to the end of the line leaves the changes of the tiles after
        // it as they were, their first level not.
        for (unsigned n = 1 + rng() % 3; n > 0; --n) {
          const int at = static_cast<int>(rng() % w);
          const int len = rng() % 4 ? 1 + static_cast<int>(rng() % 20) : w;
          for (int x = at; x < std::min(w, at + len); ++x)
            bits[x / 8] ^= static_cast<uint8_t>(0x80 >> (x % 8));
        }
      }
      std::vector<int32_t> changes;
      Bytes line(w);
      for (int x = 0; x < w; ++x) {
        const int b = bits[x / 8] >> (7 - x % 8) & 1;
        line[x] = levels[b];
        // A change at 0: the line starts with the second level.
        if (b != (x > 0 ? bits[(x - 1) / 8] >> (7 - (x - 1) % 8) & 1 : 0)) changes.push_back(x);
      }
      ASSERT_EQ(bytes.putLine(line.data()), 0u);
      ASSERT_EQ(rng() % 3
                    ? runs.putBits(bits.data(), levels)
                    : runs.putChanges(changes.data(), static_cast<int>(changes.size()), levels),
                0u);
    }
    ASSERT_TRUE(bytes.complete() && runs.complete());
    EXPECT_EQ(All(bytes), All(runs)) << "trial " << trial;
    for (int r = 0; r < bytes.tileRows(); ++r)
      for (int c = 0; c < bytes.tilesAcross(); ++c) {
        const ImgTileTp *a = bytes.tile(c, r), *b = runs.tile(c, r);
        if (b->form == IMG_TILE_PACKED) {
          ASSERT_EQ(Bytes(a->data, a->data + a->size), Bytes(b->data, b->data + b->size))
              << "trial " << trial << " tile " << c << "," << r;
        }
      }
  }
}

TEST_F(Raw, UnstoredLinesReadWhiteAndColourIsNoticed) {
  ImgRaw raw(300, 3, 1, false, ImgInterpUnset, 0, 0);
  Bytes line(300, 77);
  raw.putLine(line.data());
  for (int i = 0; i < 300; ++i) line[i] = i % 2 ? 10 : 20;
  raw.putLine(line.data());
  EXPECT_EQ(raw.interpretation(), ImgInterpGray);
  EXPECT_EQ(Line(raw, 1), line);
  EXPECT_EQ(Line(raw, 2), Bytes(300, 255));
  EXPECT_EQ(Word(raw.getPixel(3, 2)), 0u);
  EXPECT_EQ(Word(raw.getPixel(299, 0)), 0xFF4D4D4Du);

  ImgRaw rgb(2, 2, 3, false, ImgInterpUnset, 0, 0);
  Bytes grey(2 * 3, 90);
  rgb.putLine(grey.data());
  EXPECT_FALSE(rgb.hasColor());  // red = green = blue everywhere
  grey[4] = 91;
  rgb.putLine(grey.data());
  EXPECT_TRUE(rgb.hasColor());
}

TEST_F(Raw, WorstCaseTilesFitTheirWorkingBuffers) {
  // a b b for 1-byte pixels, all literals otherwise: the largest tiles.
  for (int bpp = 1; bpp <= 4; ++bpp) {
    Bytes px(128 * 128 * bpp);
    for (size_t i = 0; i < px.size(); ++i)
      px[i] = bpp == 1 ? (i % 128 % 3 ? 2 : 1) : static_cast<unsigned char>(i / bpp % 2 + i % bpp);
    ImgRaw raw(128, 128, bpp, false, ImgInterpRgbw, 0, 0);
    for (int y = 0; y < 128; ++y) raw.putLine(&px[y * 128 * bpp]);
    for (int y : {0, 127}) EXPECT_EQ(Line(raw, y), Row(px, 128, bpp, y));
  }
}

// Filled top down or bottom up, every depth and size around the tile edge
// reads back, in spans and as pixels, and turns by 90 and back.
TEST_F(Raw, RoundTripsAndTurnsAtEveryDepthSizeAndDirection) {
  const int sizes[] = {1, 127, 128, 129, 300};
  for (int bpp = 1; bpp <= 4; ++bpp)
    for (int w : sizes)
      for (int h : sizes)
        for (bool up : {false, true}) {
          SCOPED_TRACE(testing::Message() << w << "x" << h << "x" << bpp << (up ? " up" : ""));
          const Bytes px = Picture(w, h, bpp, w * 7 + h + bpp);
          ImgRaw raw(w, h, bpp, up, bpp == 2 ? ImgInterpRgbw : ImgInterpUnset, 0, 0);
          for (int i = 0; i < h; ++i)
            raw.putLine(const_cast<unsigned char *>(&px[size_t(i) * w * bpp]));
          ASSERT_TRUE(raw.complete());
          for (int y = 0; y < h; ++y)
            ASSERT_EQ(Line(raw, y), Row(px, w, bpp, up ? h - 1 - y : y)) << y;
          if (w >= 300) {  // a span starting and ending inside tiles
            const Bytes row = Row(px, w, bpp, up ? 0 : h - 1);
            EXPECT_EQ(Line(raw, h - 1, 100, 60),
                      Bytes(row.begin() + 100 * bpp, row.begin() + 160 * bpp));
          }
          const int x = w / 2, y = h / 3, src = up ? h - 1 - y : y;
          const RgbPixelTp want = ImgPixelToRgb(&px[(size_t(src) * w + x) * bpp], bpp,
                                                raw.interpretation(), raw.colorTable());
          EXPECT_EQ(Word(raw.getPixel(x, y)), Word(want));
          RgbPixelTp got;
          raw.getLine(&got, y, x, 1);
          EXPECT_EQ(Word(got), Word(want));

          if (up) continue;  // the grid is the same either way
          ASSERT_EQ(raw.rotate(90), 0u);
          EXPECT_EQ(raw.width(), h);
          ASSERT_EQ(All(raw), Turned(px, w, h, bpp, 90));
          ASSERT_EQ(raw.rotate(270), 0u);
          ASSERT_EQ(All(raw), px);
        }
}

TEST_F(Raw, RotationMatchesPamflip) {
  TempDir dir;
  const struct {
    int w, h, bpp;
  } cases[] = {{300, 129, 1}, {129, 1, 1}, {1, 130, 3}, {257, 140, 3}};
  for (const auto &c : cases) {
    const Bytes px = Picture(c.w, c.h, c.bpp, c.w + c.h);
    const std::string magic = c.bpp == 1 ? "P5\n" : "P6\n";
    WriteFile(dir.file("in.pnm"), magic + std::to_string(c.w) + " " + std::to_string(c.h) +
                                      "\n255\n" + std::string(px.begin(), px.end()));
    // 90 turns counter-clockwise, 270 clockwise.
    for (int degrees : {90, 270}) {
      SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << "x" << c.bpp << " by " << degrees);
      const RunResult r =
          RunProgram({"pamflip", degrees == 90 ? "-ccw" : "-cw", dir.file("in.pnm")});
      ASSERT_EQ(r.status, 0) << r.err;
      const std::string head = magic + std::to_string(c.h) + " " + std::to_string(c.w) + "\n255\n";
      ASSERT_EQ(r.out.substr(0, head.size()), head);
      ImgRaw raw(const_cast<unsigned char *>(px.data()), c.w, c.h, c.bpp, false, 0, 0);
      ASSERT_EQ(raw.rotate(degrees), 0u);
      ASSERT_EQ(raw.segmentLines(), c.w);
      const Bytes got = All(raw);
      EXPECT_TRUE(std::string(got.begin(), got.end()) == r.out.substr(head.size()));
    }
  }
}

TEST_F(Raw, HalfFilledRasterTurnsWithWhiteForMissingLines) {
  const Bytes px = Picture(200, 3, 1, 4);
  ImgRaw raw(200, 150, 1, false, ImgInterpUnset, 0, 0);
  for (int y = 0; y < 3; ++y) raw.putLine(const_cast<unsigned char *>(&px[y * 200]));
  ASSERT_EQ(raw.rotate(270), 0u);
  Bytes full(200 * 150, 255);
  std::copy(px.begin(), px.end(), full.begin());
  EXPECT_EQ(All(raw), Turned(full, 200, 150, 1, 270));
}

TEST_F(Raw, SizesOutOfRangeGiveTheirMessagesAndNoRaster) {
  const struct {
    int w, h, bpp;
    const char *message;
  } cases[] = {
      {0, 0, 1, "Creating image with width 0"},
      {5, -3, 1, "Creating image with height -3"},
      {5, 5, 0, "Creating image with 0 bytes per pixel (must be >0)"},
      {5, 5, 5, "Creating image with 5 bytes per pixel (must be <5)"},
  };
  for (const auto &c : cases) {
    g_messages.clear();
    ImgRaw raw(c.w, c.h, c.bpp, false, ImgInterpGray, 0, 0);
    EXPECT_EQ(raw.status(), 0x00140019u);
    ASSERT_EQ(g_messages, std::vector<std::string>{c.message});
    EXPECT_EQ(raw.width() + raw.height() + raw.bytesPerPixel(), 0);
    EXPECT_EQ(raw.tile(0, 0), nullptr);
    Bytes line(8, 0);
    EXPECT_EQ(raw.putLine(line.data()), raw.status());  // refused, not a crash
  }
  // A grid the machine cannot hold is a coded error, not an abort.
  g_messages.clear();
  ImgRaw huge(INT_MAX, INT_MAX, 4, false, ImgInterpUnset, 0, 0);
  EXPECT_EQ(huge.status(), 0x00140003u);
  EXPECT_EQ(g_messages, std::vector<std::string>{"Not enough memory"});
  ImgRawTp *rec = nullptr;
  EXPECT_EQ(ImgCreateRaw(&rec, 10, -1, 1), 0x00140019u);
  EXPECT_EQ(rec, nullptr);
}

TEST_F(Raw, TransparencyCheckerboardAndFrequentColours) {
  // Pixel (0, 0) is opaque blue; everything else transparent.
  Bytes px(20 * 20 * 4, 0);
  px[0] = 255, px[3] = 255;
  ImgRaw raw(px.data(), 20, 20, 4, false, 0, 0);
  EXPECT_TRUE(raw.hasTransparency());
  EXPECT_TRUE(raw.hasColor());
  std::vector<RgbPixelTp> line(20);
  raw.getLine(line.data(), 9, 0, 20, true);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(line[i].red, (i / 8 + 1) % 2 ? 240 : 224) << i;
  raw.getLine(line.data(), 0, 0, 20, true);
  EXPECT_EQ(Word(line[0]), 0xFF0000FFu);
  EXPECT_EQ(Word(line[1]), 0xE0E0E0E0u);

  // A quarter black, the rest white: ranked by the sampled count.
  Bytes gray(100 * 100, 255);
  memset(&gray[75 * 100], 0, 25 * 100);
  ImgRaw two(gray.data(), 100, 100, 1, false, 0, 0);
  const RgbPixelTp *top = two.frequentColors();
  EXPECT_EQ(Word(top[0]), 0xFFFFFFFFu);
  EXPECT_EQ(Word(top[1]), 0xFF000000u);
  EXPECT_EQ(Word(top[2]), 0u);
  EXPECT_EQ(two.frequentColors(), top);  // computed once
}

TEST_F(Raw, DumpsWriteTheirLayouts) {
  Bytes px = {1, 2, 3, 4, 5, 6};
  ImgRaw raw(px.data(), 3, 2, 1, false, 0, 0);
  const std::string dump = Dumped([&](FILE *f) { return raw.dumpRaw(f); });
  EXPECT_EQ(dump.substr(0, 10), std::string("QPLRAW\x03\0\0\0", 10));

  // The PPM dump shows transparent pixels on the checkerboard.
  TempDir dir;
  Bytes rgbw = {10, 20, 30, 255, 0, 0, 0, 0};
  ImgRaw four(rgbw.data(), 2, 1, 4, false, 72, 144);
  ASSERT_EQ(four.dumpPpm(dir.file("a.ppm").c_str()), 0);
  EXPECT_EQ(
      ReadFile(dir.file("a.ppm")),
      std::string("P6\n#METRIC 0.705555556 x 0.176388889 mm\n2 1 255\n\x1e\x14\x0a\xe0\xe0\xe0"));
  EXPECT_EQ(four.dumpPpm(dir.file("no/such/dir").c_str()), 1);
}

TEST_F(Raw, StreamPictureIsPremultiplied) {
  std::string file =
      "P7\n#METRIC 25.4 x 12.7 mm\n#TITLE Draft copy\nWIDTH 3\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\n"
      "TUPLTYPE RGB_ALPHA\nENDHDR\n";
  file += std::string(
      "\x10\x20\x30\xff"
      "\x10\x20\x30\x00"
      "\xff\x80\x00\x80",
      12);
  FILE *fp = fmemopen(&file[0], file.size(), "r");
  ImgRaw raw(fp);
  fclose(fp);
  ASSERT_EQ(raw.status(), 0u);
  EXPECT_STREQ(raw.description(), "PvDriver: Draft copy");
  EXPECT_NEAR(raw.xResolution(), 3, 1e-6);
  EXPECT_NEAR(raw.yResolution(), 2, 1e-6);
  EXPECT_EQ(Word(raw.getPixel(0, 0)), 0xFF102030u);
  EXPECT_EQ(Word(raw.getPixel(1, 0)), 0u);
  EXPECT_EQ(Word(raw.getPixel(2, 0)), 0x80804000u);
}

TEST_F(Raw, PlainRecordStoresReadsAndTurns) {
  ImgRawTp *rec = nullptr;
  ASSERT_EQ(ImgCreateRaw(&rec, 130, 2, 3), 0);
  const Bytes px = Picture(130, 2, 3, 5);
  ASSERT_EQ(
      ImgStoreTile(&rec->pptile[0][0], const_cast<unsigned char *>(px.data()), 130 * 3, 128, 1, 3),
      0);
  Bytes line(130 * 3);
  ImgGetRawLine(rec, 0, line.data());
  EXPECT_TRUE(std::equal(line.begin(), line.begin() + 128 * 3, px.begin()));
  EXPECT_EQ(Bytes(line.begin() + 128 * 3, line.end()), Bytes(6, 255));
  const int v = ImgGetRawPixel(rec, 1, 0);
  EXPECT_EQ(v, px[3] | px[4] << 8 | px[5] << 16);
  EXPECT_EQ(ImgGetRawPixel(rec, 1, 1), v);  // unstored: the last pixel again

  const std::string pnm = Dumped([&](FILE *f) { return ImgDumpRaw(rec, f); });
  EXPECT_EQ(pnm.substr(0, 16), "P6 130 2 255\n" + std::string(px.begin(), px.begin() + 3));
  EXPECT_EQ(pnm.size(), 13 + 130 * 2 * 3u);

  // Turned, the record swaps its size; what was never stored turns white.
  Bytes full(130 * 2 * 3, 255);
  std::copy(px.begin(), px.begin() + 128 * 3, full.begin());
  ASSERT_EQ(ImgRotateRaw(rec, 130, 2, 3, 270), 0u);
  ASSERT_TRUE(rec->width == 2 && rec->height == 130);
  Bytes got(full.size());
  for (int y = 0; y < 130; ++y) ImgGetRawLine(rec, y, &got[y * 2 * 3]);
  EXPECT_EQ(got, Turned(full, 130, 2, 3, 270));

  rec->bpp = 2;
  testing::internal::CaptureStderr();
  EXPECT_EQ(ImgDumpRaw(rec, stdout), 1);
  rec->bpp = 3;
  ImgTermRaw(&rec);
  EXPECT_EQ(rec, nullptr);
  ImgTermRaw(&rec);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "2 bytes per pixel - cannot dump"
            "Calling ImgTermRaw with NULL praw\n");
}

TEST_F(Raw, BlocksAndBuffersFollowTheAngleRules) {
  for (int bpp = 1; bpp <= 4; ++bpp)
    for (int w : {1, 2, 7}) {
      const int h = 5;
      SCOPED_TRACE(testing::Message() << w << "x" << h << "x" << bpp);
      const Bytes px = Picture(w, h, bpp, w + bpp);
      for (int degrees : {90, 270}) {
        Bytes block(px.size());
        ImgRotateBlock(px.data(), block.data(), w, h, bpp, degrees);
        EXPECT_EQ(block, Turned(px, w, h, bpp, degrees));
      }
      auto rotated = [&](int degrees, int status = 0) {
        Bytes b = px;
        EXPECT_EQ(ImgRotateBuffer(b.data(), w, h, bpp, degrees), status) << degrees;
        return b;
      };
      EXPECT_EQ(rotated(450), Turned(px, w, h, bpp, 90));
      EXPECT_EQ(rotated(-90), Turned(px, w, h, bpp, 270));
      EXPECT_EQ(rotated(360), px);
      EXPECT_EQ(rotated(180), Turned(Turned(px, w, h, bpp, 90), h, w, bpp, 90));
      EXPECT_EQ(rotated(45, 1), px);
    }
  EXPECT_EQ(g_messages.back(),
            "Angle for ImgRotate must be a multiple of 90 degree\nAngle given was 45");
}

// ---- Pages through a stand-in for the reading layer -----------------------

struct FakeFile {
  struct Page {
    int w, h, bpp;
    Bytes px;  // in stored line order
    bool up;
  };
  std::vector<Page> pages;
  int page = 0;
  IffControlBlockTp iff = {};
  Bytes line;
  int32_t page_index = -1, current_page = 0, lines_read = 7;
  int grown = 0;

  void Open(int p) {
    const Page &pg = pages[page = p];
    iff.width = pg.w, iff.height = pg.h, iff.pixel_size = iff.bytes_per_pixel = pg.bpp;
    iff.bottom_up = pg.up;
    line.assign(static_cast<size_t>(pg.w + 10) * 4, 0);
    iff.line = line.data();
  }
};

FakeFile *g_file;
FakeFile *Of(ImgControlBlockTp *cb) { return reinterpret_cast<FakeFile *>(cb); }

ImgRawReaderTp FakeReader() {
  ImgRawReaderTp r = {};
  r.open = [](const char *name, ImgControlBlockTp **cb, ImgOpenParamsTp *) -> ReturnTp {
    if (strcmp(name, "fake") != 0) return CmnError("test", 1, 0x00040011u, name);
    g_file->iff.driver_state = g_file;
    g_file->iff.line_step = 1;
    g_file->iff.bits_per_sample = 8;
    g_file->iff.driver.RdScan = [](void *state, IffParamTp *p) -> ReturnTp {
      const FakeFile *f = static_cast<FakeFile *>(state);
      const FakeFile::Page &pg = f->pages[f->page];
      memcpy(p->buffer, &pg.px[size_t(p->line) * pg.w * pg.bpp], size_t(pg.w) * pg.bpp);
      return 0;
    };
    g_file->Open(0);
    *cb = reinterpret_cast<ImgControlBlockTp *>(g_file);
    return 0;
  };
  r.readPageHeader = [](ImgControlBlockTp *cb) -> ReturnTp {
    if (Of(cb)->page + 1 >= static_cast<int>(Of(cb)->pages.size())) return IFF_I_NO_MORE_PAGES;
    Of(cb)->Open(Of(cb)->page + 1);
    return 0;
  };
  r.close = [](ImgControlBlockTp **cb) -> ReturnTp { return *cb = nullptr, 0; };
  r.source = [](ImgControlBlockTp *cb, ImgRawSourceTp *out) {
    FakeFile *f = Of(cb);
    *out = ImgRawSourceTp{&f->iff,          f->pages[f->page].w, f->pages[f->page].h,
                          "fake",           "a fake file",       &f->page_index,
                          &f->current_page, &f->lines_read,      0};
  };
  r.growLines = [](ImgControlBlockTp *cb, int32_t lines, bool) -> ReturnTp {
    return Of(cb)->grown = lines, 0;
  };
  return r;
}

class Pages : public Raw {
 protected:
  void SetUp() override {
    Raw::SetUp();
    saved_ = ImgRawUseReader(&reader_);
    g_file = &file_;
  }
  void TearDown() override {
    ImgRawUseReader(saved_);
    Raw::TearDown();
  }
  FakeFile file_;
  const ImgRawReaderTp reader_ = FakeReader();
  const ImgRawReaderTp *saved_ = nullptr;
};

TEST_F(Pages, ReadsEveryPageIntoAChain) {
  const Bytes a = Picture(300, 130, 1, 1), b = Picture(300, 20, 1, 2), c = Picture(200, 50, 3, 3);
  // The first page is stored bottom line first.
  file_.pages = {{300, 130, 1, a, true}, {300, 20, 1, b, false}, {200, 50, 3, c, false}};
  ImgRaw raw("fake", true, 1, 0);
  ASSERT_EQ(raw.status(), 0u);
  EXPECT_EQ(raw.pagesInChain(), 3);
  EXPECT_EQ(raw.segmentLines(true), 200);
  ASSERT_NE(raw.segment(3), nullptr);
  EXPECT_EQ(raw.segment(4), nullptr);
  EXPECT_EQ(file_.current_page, 3);
  EXPECT_EQ(file_.page_index, 3);  // the attempt at a fourth page
  EXPECT_EQ(file_.lines_read, 0);
  EXPECT_EQ(Line(raw, 0), Row(a, 300, 1, 129));
  EXPECT_EQ(Line(raw, 129), Row(a, 300, 1, 0));
  EXPECT_EQ(Line(raw, 135), Row(b, 300, 1, 5));
  EXPECT_EQ(Word(raw.getPixel(7, 135)), 0xFF000000u | b[5 * 300 + 7] * 0x010101u);
  std::vector<RgbPixelTp> rgb(200);
  raw.getLine(rgb.data(), 160, 0, 200);
  EXPECT_EQ(rgb[4].blue, c[(10 * 200 + 4) * 3 + 2]);

  std::unique_ptr<ImgRaw> flat(raw.flatten());
  ASSERT_EQ(flat->status(), 0u);
  EXPECT_EQ(flat->height(), 200);
  for (int y : {0, 77, 129, 131, 149}) EXPECT_EQ(Line(*flat, y), Line(raw, y)) << y;

  ImgRaw two("fake", true, 1, 2);
  EXPECT_EQ(two.segmentLines(true), 150);
  ImgRaw geometry("fake", false, 1, 0);
  EXPECT_EQ(geometry.width(), 300);
  EXPECT_FALSE(geometry.complete());
}

TEST_F(Pages, PaletteFilesAndFailures) {
  file_.pages = {{4, 1, 1, Bytes{0, 1, 2, 3}, false}};
  RgbPixelTp map[4] = {{1, 2, 3, 255}, {4, 5, 6, 255}, {7, 8, 9, 255}, {10, 11, 12, 255}};
  file_.iff.has_cmap = 1;
  file_.iff.cmap_kept = 4;
  file_.iff.bgrx_cmap = reinterpret_cast<unsigned char *>(map);
  file_.iff.transparent = 1;
  file_.iff.transparent_index = 2;
  ImgRaw raw("fake", true, 1, 0);
  EXPECT_EQ(raw.interpretation(), ImgInterpLut);
  EXPECT_EQ(Word(raw.getPixel(1, 0)), 0xFF060504u);
  EXPECT_EQ(Word(raw.getPixel(2, 0)), 0u);

  ImgRaw missing("nothere", true, 1, 0);
  EXPECT_EQ(missing.status(), 0x00140011u);
  EXPECT_EQ(missing.width() + missing.height() + missing.bytesPerPixel(), 0);

  ImgRawUseReader(nullptr);
  g_messages.clear();
  ImgRaw unwired("fake", true, 1, 0);
  EXPECT_EQ(unwired.status(), 0x00140019u);
  EXPECT_EQ(g_messages, std::vector<std::string>{"Image reading layer not installed"});
}

TEST_F(Pages, OverlappingPagesAreJoined) {
  // Page 2 starts with the last 10 lines of page 1.
  const Bytes all = Picture(64, 200, 1, 9);
  file_.pages = {{64, 100, 1, Bytes(all.begin(), all.begin() + 100 * 64), false},
                 {64, 110, 1, Bytes(all.begin() + 90 * 64, all.end()), false}};
  ImgRaw raw("fake", true, 1, 0);
  ASSERT_EQ(raw.segmentLines(true), 210);
  ImgControlBlockTp *cb = nullptr;
  reader_.open("fake", &cb, nullptr);
  EXPECT_EQ(raw.removeOverlaps(cb, true), 0);
  EXPECT_EQ(raw.segmentLines(false), 90);
  EXPECT_EQ(raw.segmentLines(true), 200);
  EXPECT_EQ(file_.grown, 200);  // more than the 100 lines the block knew
  EXPECT_EQ(raw.pagesInChain(), 1);
  for (int y : {0, 89, 90, 120, 199}) EXPECT_EQ(Line(raw, y), Row(all, 64, 1, y)) << y;
}

}  // namespace
