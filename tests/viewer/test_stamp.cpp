// The stamp and the label as pvview shows them: compared pixel by pixel
// with the renderer's own picture of the same paper.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runprog.h"
#include "xvfb.h"

namespace {

const int kW = 300, kH = 200;

unsigned char Value(int x, int y, int c) { return static_cast<unsigned char>(x * (c + 1) + y * 3); }

std::string Drawing() {
  std::string data = "P6\n" + std::to_string(kW) + " " + std::to_string(kH) + "\n255\n";
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x)
      for (int c = 0; c < 3; ++c) data += static_cast<char>(Value(x, y, c));
  return data;
}

// The alpha bytes of the renderer's picture of a w x h paper.
std::string RendererAlpha(const std::string &text, int w, int h) {
  const std::string paper = std::to_string(w) + "x" + std::to_string(h);
  RunResult r = RunProgram({PVGRAPHX_BIN, "-noinfile", "-dostamp", "-stamptext", text,
                            "-stampcolor", "Red", "-stampweight", "Medium", "-papersize", paper,
                            "-size", std::to_string(std::max(w, h))});
  const std::string rgba = r.out.substr(r.out.size() - static_cast<size_t>(w) * h * 4);
  std::string alpha;
  for (size_t i = 3; i < rgba.size(); i += 4) alpha += rgba[i];
  return alpha;
}

class StampShown : public testing::Test {
 protected:
  std::string Show(std::vector<std::string> args) {
    WriteFile(dir_.file("in.ppm"), Drawing());
    const std::string out = dir_.file("out.rgb");
    unlink(out.c_str());
    args.insert(args.begin(), PVVIEW_BIN);
    args.insert(args.end(), {"-timer", "1", "-save", out, dir_.file("in.ppm")});
    RunOptions o;
    std::string tools = PVGRAPHX_BIN;
    tools.erase(tools.rfind('/'));
    o.set_env = {"DISPLAY=" + server_.display(), std::string("SYSDIR=") + PV_SYSDIR,
                 "PATH=" + tools + ":/usr/bin:/bin", "HOME=" + dir_.path()};
    o.set_env.insert(o.set_env.end(), env_.begin(), env_.end());
    o.unset_env = {"PVSTAMP", "PV_LABELTXT", "PVLABELFILE", "PVTOPDIR", "OLDSTAMP"};
    RunResult r = RunProgram(args, o);
    EXPECT_EQ(r.status, 0) << r.err;
    return ReadFile(out);
  }
  std::vector<std::string> env_;
  XvfbServer server_{24, 1280, 1024};
  TempDir dir_;
};

TEST_F(StampShown, RedWhereOpaqueUntouchedElsewhere) {
  ASSERT_TRUE(server_.ok());
  const std::string alpha = RendererAlpha("CONFIDENTIAL", kW, kH);
  for (const char *colour : {"red", "inverse"}) {
    const std::string shown = Show({"-stamptext", "CONFIDENTIAL", "-stampcolor", colour});
    ASSERT_EQ(shown.size(), static_cast<size_t>(kW) * kH * 3);
    size_t wrong = 0, stamped = 0;
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(&shown[(y * kW + x) * 3]);
        const bool ink = alpha[static_cast<size_t>(y) * kW + x] != 0;
        stamped += ink;
        const bool drawing =
            p[0] == Value(x, y, 0) && p[1] == Value(x, y, 1) && p[2] == Value(x, y, 2);
        if (!ink)
          wrong += !drawing;
        else if (colour[0] == 'r')
          wrong += !(p[0] == 255 && p[1] == 0 && p[2] == 0);
        else  // inverted: light parts dark, dark parts light
          wrong += (Value(x, y, 1) < 128) != (p[1] >= 128);
      }
    EXPECT_GT(stamped, 1000u);
    EXPECT_EQ(wrong, 0u) << colour;
  }
}

TEST_F(StampShown, TurnedPageAsksForTheTurnedPaper) {
  ASSERT_TRUE(server_.ok());
  // Shown 200 x 300; the renderer draws 300 x 200, turned with the page.
  const std::string alpha = RendererAlpha("DRAFT", kW, kH);
  const std::string shown = Show({"-stamptext", "DRAFT", "-stampcolor", "red", "-rotate", "90"});
  ASSERT_EQ(shown.size(), static_cast<size_t>(kW) * kH * 3);
  size_t wrong = 0;
  for (int y = 0; y < kW; ++y)
    for (int x = 0; x < kH; ++x) {
      // Turned counter-clockwise: shown (x, y) is paper (W - 1 - y, x).
      const bool ink = alpha[static_cast<size_t>(x) * kW + (kW - 1 - y)] != 0;
      const unsigned char *p = reinterpret_cast<const unsigned char *>(&shown[(y * kH + x) * 3]);
      const bool red = p[0] == 255 && p[1] == 0 && p[2] == 0;
      wrong += ink && !red;
    }
  EXPECT_EQ(wrong, 0u);
}

TEST_F(StampShown, LabelAtTheBottomRightByDefault) {
  ASSERT_TRUE(server_.ok());
  env_ = {"PV_TXT_POINT_SIZE=72"};
  const std::string shown = Show({"-labeltext", "Rev B"});
  ASSERT_EQ(shown.size(), static_cast<size_t>(kW) * kH * 3);
  // 70 x 16 at 72 points: a line is an eighth of the 200-pixel edge high.
  const int lw = 70 * 200 / 8 / 16, lh = 200 / 8;
  int changed_in = 0, changed_out = 0;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      const unsigned char *p = reinterpret_cast<const unsigned char *>(&shown[(y * kW + x) * 3]);
      const bool same = p[0] == Value(x, y, 0) && p[1] == Value(x, y, 1) && p[2] == Value(x, y, 2);
      const bool inside = x >= kW - lw && y >= kH - lh;
      (inside ? changed_in : changed_out) += !same;
    }
  EXPECT_EQ(changed_out, 0);
  EXPECT_GT(changed_in, lw * lh * 9 / 10);
}

}  // namespace
