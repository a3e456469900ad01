// Labels and stamps inside the raster core: colour texts, specification
// files, classification files, label sizes and compositing, the stamp's
// paper and its names.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "image.h"
#include "runprog.h"

namespace {

TEST(LabelColor, Texts) {
  const struct {
    const char *text;
    uint32_t value;
  } cases[] = {
      {"black", 0xFF000000u},    {"darkblue", 0xFF0000FFu},    {"clear", 0u},
      {"red,55", 0xC8FF0000u},  // the number after a name is transparency
      {"FF8000", 0xFFFF8000u},  // one value: its top byte is transparency
      {"10,20,30", 0xFF102030u}, {"10,20,30,FF", 0x00102030u}, {"nonsense", 0xFF000000u},
  };
  for (const auto &c : cases) EXPECT_EQ(ImgParseColor(c.text), c.value) << c.text;
}

std::vector<ImgLabelSpecTp> ReadSpecs(const std::string &text, int *count) {
  TempDir dir;
  WriteFile(dir.file("spec"), text);
  FILE *fp = fopen(dir.file("spec").c_str(), "r");
  ImgLabelSpecTp *list = nullptr, **tail = &list;
  *count = ImgReadLabelSpecs(fp, &tail);
  fclose(fp);
  std::vector<ImgLabelSpecTp> out;
  for (const ImgLabelSpecTp *s = list; s; s = s->next) {
    out.push_back(*s);
    out.back().text = strdup(s->text);
    out.back().font = nullptr;
  }
  ImgFreeLabelSpecs(&list);
  return out;
}

TEST(LabelSpecs, OptionsTextsAndRepeat) {
  int n = 0;
  std::vector<ImgLabelSpecTp> s = ReadSpecs(
      "# comment\n*position=top right  \n*size=20\n*adjust=center\n*color=blue\n"
      "*background=clear\nfirst\nsecond line\n*position=250,750\n*bogus=1\n*bold=maybe\n"
      "*repeat\n*position=bottom left\nlast\n",
      &n);
  ASSERT_EQ(n, 3);
  EXPECT_STREQ(s[0].text, "first\nsecond line");
  EXPECT_EQ(s[0].x, 1000);
  EXPECT_EQ(s[0].y, 0);
  EXPECT_EQ(s[0].point_size, 20);
  EXPECT_EQ(s[0].adjust, 1);
  EXPECT_EQ(s[0].foreground, 0xFF0000FFu);
  EXPECT_EQ(s[0].background, 0u);
  // Unknown options and bad values are skipped; the repeat keeps the text.
  EXPECT_STREQ(s[1].text, "first\nsecond line");
  EXPECT_EQ(s[1].x, 250);
  EXPECT_EQ(s[1].y, 750);
  EXPECT_EQ(s[1].bold, 0);
  EXPECT_STREQ(s[2].text, "last");
  EXPECT_EQ(s[2].x, 0);
  EXPECT_EQ(s[2].y, 1000);
  for (auto &spec : s) free(spec.text);
}

TEST(Classification, CorruptionRules) {
  const struct {
    const char *file;
    const char *text;  // null: the warning
    double point_size;
  } cases[] = {
      {"SECRET\n", "SECRET\n", 0},
      {"point-size 24\nTOP SECRET\r\n", "TOP SECRET\r\n", 24},
      {"point-size 24\n", nullptr, 24},  // no text line
      {"EMPTY\nSECRET\n", nullptr, 0},   // empty before any text
      {"SEC\x01RET\n", nullptr, 0},      // a control character
      {"AB\x7f\n", nullptr, 0},          // too many DEL characters
      {"SECRET\nEMPTY\n", "SECRET\nEMPTY\n", 0},
  };
  TempDir dir;
  for (const auto &c : cases) {
    WriteFile(dir.file("secure"), c.file);
    char *text = nullptr;
    double size = 0;
    ASSERT_TRUE(ImgReadClassification(dir.file("secure").c_str(), &text, &size));
    EXPECT_STREQ(text, c.text ? c.text : kImgCorruptClassification) << c.file;
    EXPECT_EQ(size, c.point_size) << c.file;
    free(text);
  }
  char *text = nullptr;
  double size = 0;
  EXPECT_FALSE(ImgReadClassification(dir.file("missing").c_str(), &text, &size));
  EXPECT_STREQ(ImgClassificationPath(), "/etc/pvsecure");
}

class Labels : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("PV_LABEL_POLICY");
    unsetenv("PV_LABELFONT");
    cb_ = new ImgControlBlockTp();
    cb_->width = 400;
    cb_->lines = 900;
  }
  void TearDown() override {
    ImgFreeStamp(cb_);
    delete cb_;
  }
  ImgLabelTp *Make(const char *text, double points, int32_t x, int32_t y, uint32_t bg) {
    ImgLabelSpecTp spec;
    spec.text = const_cast<char *>(text);
    spec.point_size = points;
    spec.x = x;
    spec.y = y;
    spec.background = bg;
    EXPECT_EQ(ImgMakeLabel(cb_, &spec), 0);
    spec.text = nullptr;
    return cb_->labels;
  }
  ImgControlBlockTp *cb_ = nullptr;
};

TEST_F(Labels, CoverageAndSize) {
  // Two lines, the longer of 2 characters: (9 + 1) x 4 by 2 x 16; at 72
  // points a line is an eighth of the shorter edge high.
  ImgLabelTp *l = Make("ab\nc\n", 72, 0, 0, 0xFFFFFFFFu);
  EXPECT_EQ(l->cover_w, 40);
  EXPECT_EQ(l->cover_h, 32);
  EXPECT_EQ(l->bottom - l->top, 2 * 400 / 8);
  EXPECT_EQ(l->right - l->left, 40 * 400 / 8 / 16);
  setenv("PV_LABEL_POLICY", "average", 1);
  l = Make("ab", 72, 1000, 1000, 0xFFFFFFFFu);
  EXPECT_EQ(l->bottom - l->top, 600 / 8);  // sqrt(400 x 900)
  EXPECT_EQ(l->right, 400);
  EXPECT_EQ(l->bottom, 900);
  // A page turned by 90 turns the label: bottom right lands top right.
  cb_->stamp_angle = 90;
  unsetenv("PV_LABEL_POLICY");
  l = Make("ab", 72, 1000, 1000, 0xFFFFFFFFu);
  EXPECT_EQ(l->cover_w, 16);
  EXPECT_EQ(l->top, 0);
  EXPECT_EQ(l->right, 400);
}

TEST_F(Labels, ClearBackgroundShowsThePicture) {
  ImgLabelTp *l = Make("#", 72, 0, 0, 0u);
  std::vector<RgbPixelTp> row(400, RgbPixelTp{10, 200, 30, 255});
  const int32_t y = l->top + (l->bottom - l->top) / 2;
  ImgApplyLabels(cb_, row.data(), y, 0, 400);
  int ink = 0, picture = 0;
  for (int32_t x = l->left; x < l->right; ++x) {
    ink += row[x].green == 0 && row[x].fourth == 255;
    picture += row[x].green == 200;
  }
  EXPECT_GT(ink, 0);
  EXPECT_GT(picture, ink);
  // An opaque background hides it.
  l->background = 0xFFFFFFFFu;
  std::vector<RgbPixelTp> row2(400, RgbPixelTp{10, 200, 30, 255});
  ImgApplyLabels(cb_, row2.data(), y, 0, 400);
  for (int32_t x = l->left; x < l->right; ++x) EXPECT_NE(row2[x].green, 200) << x;
  EXPECT_EQ(row2[l->right].green, 200);
}

TEST(Stamp, NamesAndPaper) {
  bool inverse = false;
  EXPECT_EQ(ImgStampColorFromEnv("magenta", &inverse), 0xFFFF00FFu);
  EXPECT_EQ(ImgStampColorFromEnv("black", &inverse), 0xFF000000u);
  EXPECT_EQ(ImgStampColorFromEnv("blue", &inverse), 0xFF0000FFu);
  EXPECT_FALSE(inverse);
  ImgStampColorFromEnv("xor", &inverse);
  EXPECT_TRUE(inverse);
  EXPECT_STREQ(ImgStampColorName(0xFFFF00FFu, false), "Magenta");
  EXPECT_STREQ(ImgStampColorName(0xFF123456u, false), "Black");
  EXPECT_STREQ(ImgStampColorName(0xFFFF0000u, true), "Inverse");
  int32_t w, h;
  // Medium, 5 characters: L = 1500; a 1000 x 2000 stamp needs a x hi >
  // lo x L, so the short side is a = 1000.
  ImgStampPaperSize(1000, 2000, 5, 0, &w, &h);
  EXPECT_EQ(w, 1000);
  EXPECT_EQ(h, 2000);
  // Nearly square: the short side is L, the long one keeps the shape.
  ImgStampPaperSize(1200, 1000, 5, 0, &w, &h);
  EXPECT_EQ(w, 1800);
  EXPECT_EQ(h, 1500);
}

}  // namespace
