// Stamps and labels drawn by pvconvert: where the ink lands, the stamp
// renderer's command line against hostile texts, a missing renderer, and
// the classification file of a binary whose path was patched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "runprog.h"

namespace {

struct PictureTp {
  int w = 0, h = 0;
  std::string rgb;
  const unsigned char *at(int x, int y) const {
    return reinterpret_cast<const unsigned char *>(&rgb[(static_cast<size_t>(y) * w + x) * 3]);
  }
};

PictureTp ReadPpm(const std::string &path) {
  PictureTp p;
  const std::string data = ReadFile(path);
  int max = 0, used = 0;
  if (sscanf(data.c_str(), "P6 %d %d %d%n", &p.w, &p.h, &max, &used) == 3)
    p.rgb = data.substr(static_cast<size_t>(used) + 1);
  return p;
}

// The box of pixels that differ from the gray of the input: x0, y0, x1,
// y1 (exclusive). A label's white background counts.
std::vector<int> InkBox(const PictureTp &p) {
  std::vector<int> box = {p.w, p.h, 0, 0};
  for (int y = 0; y < p.h; ++y)
    for (int x = 0; x < p.w; ++x) {
      const unsigned char *c = p.at(x, y);
      if (c[0] == 128 && c[1] == 128 && c[2] == 128) continue;
      box = {std::min(box[0], x), std::min(box[1], y), std::max(box[2], x + 1),
             std::max(box[3], y + 1)};
    }
  return box;
}

class Stamps : public testing::Test {
 protected:
  void SetUp() override {
    WriteFile(in_, "P6\n400 300\n255\n" + std::string(400 * 300 * 3, '\x80'));
  }
  RunResult Convert(std::vector<std::string> args, std::vector<std::string> env = {},
                    const std::string &program = PVCONVERT_BIN) {
    args.insert(args.begin(), program);
    args.insert(args.end(), {in_, out_});
    RunOptions o;
    o.set_env = env;
    o.unset_env = {"PVSTAMP",  "PV_LABELTXT", "PVLABELFILE",     "PVTOPDIR",     "PV_TXT_X",
                   "PV_TXT_Y", "OLDSTAMP",    "PV_LABEL_POLICY", "PV_LABELFONT", "PV_CLEARLABEL"};
    o.cwd = dir_.path();
    o.set_env.push_back("HOME=" + dir_.path());
    return RunProgram(args, o);
  }
  PictureTp Out() { return ReadPpm(out_); }

  TempDir dir_;
  std::string in_ = dir_.file("in.ppm"), out_ = dir_.file("out.ppm");
};

TEST_F(Stamps, RedStampOnlyWhereTheRendererDrew) {
  ASSERT_EQ(Convert({"-stamptext", "CONFIDENTIAL", "-stampcolor", "red"}).status, 0);
  const PictureTp p = Out();
  ASSERT_EQ(p.w, 400);
  size_t red = 0, other = 0;
  for (int y = 0; y < p.h; ++y)
    for (int x = 0; x < p.w; ++x) {
      const unsigned char *c = p.at(x, y);
      if (c[0] == 255 && c[1] == 0 && c[2] == 0)
        ++red;
      else if (!(c[0] == 128 && c[1] == 128 && c[2] == 128))
        ++other;
    }
  EXPECT_GT(red, 2000u);
  EXPECT_EQ(other, 0u);
  // Large and centred.
  const std::vector<int> box = InkBox(p);
  EXPECT_LT(box[0], 60);
  EXPECT_GT(box[2], 340);
  EXPECT_NEAR((box[0] + box[2]) / 2, 200, 10);
  EXPECT_NEAR((box[1] + box[3]) / 2, 150, 10);
}

TEST_F(Stamps, HostileTextIsDrawnAndRunsNothing) {
  const std::string text = "A\"B'C $(touch pwned); touch pwned2 `touch pwned3`\nD";
  RunResult r = Convert({"-stamptext", text});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char *name : {"pwned", "pwned2", "pwned3"})
    EXPECT_NE(access(dir_.file(name).c_str(), F_OK), 0) << name;
  // Exactly the picture of the renderer given the text as one argument.
  RunResult direct =
      RunProgram({PVGRAPHX_BIN, "-noinfile", "-dostamp", "-stamptext", text, "-stampcolor", "Black",
                  "-stampweight", "Medium", "-papersize", "400x300", "-size", "400"});
  ASSERT_EQ(direct.status, 0);
  const std::string rgba = direct.out.substr(direct.out.size() - 400 * 300 * 4);
  const PictureTp p = Out();
  size_t differ = 0;
  for (size_t i = 0; i < 400 * 300; ++i)
    differ += static_cast<unsigned char>(p.rgb[3 * i]) != (rgba[4 * i + 3] ? 0 : 128);
  EXPECT_EQ(differ, 0u);
  EXPECT_LT(InkBox(p)[0], 400);
}

TEST_F(Stamps, MissingRendererGivesNoStamp) {
  // A copy of the converter with no renderer beside it or on the path.
  const std::string alone = dir_.file("pvconvert");
  WriteFile(alone, ReadFile(PVCONVERT_BIN));
  chmod(alone.c_str(), 0755);
  RunResult r = Convert({"-stamptext", "LOST"}, {"PATH=/nonexistent"}, alone);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(InkBox(Out())[0], 400);
}

TEST_F(Stamps, BrokenRendererGivesNoStamp) {
  // A converter with a stand-in renderer beside it.
  const std::string alone = dir_.file("pvconvert"), renderer = dir_.file("pvgraphx");
  WriteFile(alone, ReadFile(PVCONVERT_BIN));
  chmod(alone.c_str(), 0755);
  const char *scripts[] = {
      "echo garbage",
      "exit 3",
      "kill -SEGV $$",
      // A picture far larger than the paper, and no end to it.
      "printf 'P\\nWIDTH 100000\\nHEIGHT 100000\\nDEPTH 32\\na\\nb\\nc\\n'; cat /dev/zero",
  };
  for (const char *script : scripts) {
    WriteFile(renderer, std::string("#!/bin/sh\n") + script + "\n");
    chmod(renderer.c_str(), 0755);
    RunResult r = Convert({"-stamptext", "LOST"}, {}, alone);
    EXPECT_EQ(r.status, 0) << script << r.err;
    EXPECT_EQ(InkBox(Out())[0], 400) << script;
  }
}

TEST_F(Stamps, LabelLandsAtEachPosition) {
  // 72 points on a 300-line output: one text line is 300 / 8 pixels high.
  const char *names[] = {"topleft",    "topcenter",    "topright",
                         "bottomleft", "bottomcenter", "bottomright"};
  for (int i = 0; i < 6; ++i) {
    ASSERT_EQ(Convert({"-labeltext", "Rev B", "-labelposition", names[i]}, {"PV_TXT_POINT_SIZE=72"})
                  .status,
              0);
    const std::vector<int> box = InkBox(Out());
    SCOPED_TRACE(names[i]);
    // Label: 7 cells of 10 x 16 scaled by 300 / 16 / 8.
    const int lw = static_cast<int>(70 * 300.0 / 16 / 8),
              lh = static_cast<int>(16 * 300.0 / 16 / 8);
    const int x = (400 - lw) * (i % 3) / 2, y = i < 3 ? 0 : 300 - lh;
    EXPECT_NEAR(box[0], x, 1);
    EXPECT_NEAR(box[2], x + lw, 1);
    EXPECT_NEAR(box[1], y, 1);
    EXPECT_NEAR(box[3], y + lh, 1);
  }
  // Two lines are twice as high.
  ASSERT_EQ(Convert({"-labeltext", "Rev B\nok"}, {"PV_TXT_POINT_SIZE=72"}).status, 0);
  const std::vector<int> box = InkBox(Out());
  EXPECT_NEAR(box[3] - box[1], 2 * 300 / 8, 2);
}

TEST_F(Stamps, ClassificationFileOfAPatchedBinary) {
  // The path lives behind its marker; an installation patches it in place.
  std::string binary = ReadFile(PVCONVERT_BIN);
  const size_t at = binary.find("SEQNAME/etc/pvsecure");
  ASSERT_NE(at, std::string::npos);
  const std::string secure = dir_.file("secure");
  ASSERT_LT(secure.size(), 80u);
  binary.replace(at + 7, secure.size() + 1, secure + '\0');
  const std::string patched = dir_.file("pvconvert");
  WriteFile(patched, binary);
  chmod(patched.c_str(), 0755);

  WriteFile(secure, "point-size 40\nUNCLASSIFIED\n");
  ASSERT_EQ(Convert({}, {}, patched).status, 0);
  PictureTp p = Out();
  std::vector<int> box = InkBox(p);
  // Top and bottom centre: the ink spans the height, and is centred.
  EXPECT_EQ(box[1], 0);
  EXPECT_EQ(box[3], 300);
  EXPECT_NEAR((box[0] + box[2]) / 2, 200, 2);
  const int wide = box[2] - box[0];

  // Corrupted: the warning text, much wider than the label was.
  WriteFile(secure, "point-size 40\n");
  ASSERT_EQ(Convert({}, {}, patched).status, 0);
  box = InkBox(Out());
  EXPECT_EQ(box[2] - box[0], 400);
  EXPECT_GT(400, wide);

  // A specification file takes the place of the classification label.
  WriteFile(dir_.file("spec"), "*position=top,left\n*size=72\nX\n");
  ASSERT_EQ(Convert({"-labelfile", dir_.file("spec")}, {}, patched).status, 0);
  box = InkBox(Out());
  EXPECT_EQ(box[0], 0);
  EXPECT_LT(box[3], 60);
}

TEST_F(Stamps, BadLabelFontFallsBackToTheBuiltIn) {
  WriteFile(dir_.file("font.pgm"), "P5 33 16 255\n" + std::string(33 * 16, '\0'));
  RunResult r = Convert({"-labeltext", "x"}, {"PV_LABELFONT=" + dir_.file("font.pgm")});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("Bad width of fontarray 33 (must be a multiple of 32)"), std::string::npos)
      << r.err;
  WriteFile(dir_.file("font.pgm"), "not a picture\n");
  r = Convert({"-labeltext", "x"}, {"PV_LABELFONT=" + dir_.file("font.pgm")});
  EXPECT_NE(r.err.find("(must be binary pgm)"), std::string::npos) << r.err;
  EXPECT_LT(InkBox(Out())[0], 400);
}

}  // namespace
