// The CATIA raster driver: hand-made files in both character sets, the
// packed layouts, colour-table padding and number fields.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imagefile.h"
#include "runprog.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string Rec(const std::string &text) { return text + std::string(80 - text.size(), ' '); }
std::string Ebcdic(std::string text) {
  IfuAsciiToEbcdic(text.data(), static_cast<int32_t>(text.size()), text.data());
  return text;
}

// A file of the given layout; the text records in ASCII or EBCDIC.
std::string CatiaFile(bool ascii, const std::string &size, const char *word, int colors,
                      const std::string &data) {
  auto text = [&](const std::string &t) { return ascii ? Rec(t) : Ebcdic(Rec(t)); };
  std::string f = text("BEGIN IMAGE") + text("IMAGE GENERATED") +
                  text("IMAGE SIZE - X-AXIS : " + size) + text("COLOR PREC :      8") +
                  text(std::string("IMAGE FORMAT : ") + word);
  if (colors) {
    char count[8];
    snprintf(count, sizeof count, "%6d", colors);
    f += text(std::string("BEGIN COLOR TABLE . NUMBER OF COLORS : ") + count);
    for (int i = 0; i < colors; ++i) f += std::string{0, char(i * 3), char(i * 5), char(i * 7)};
    f += std::string((80 - colors * 4 % 80) % 80, '\0') + text("END COLOR TABLE");
  }
  return f + text("BEGIN PIXEL DESCRIPTION") + data + text("END PIXEL DESCRIPTION") +
         text("END IMAGE DESCRIPTION");
}

class Catia : public testing::Test {
 protected:
  void SetUp() override {
    CmnSetErrorHandler([](ReturnTp) {});
  }
  void TearDown() override {
    IffTerm(&cb_);
    CmnSetErrorHandler(CmnDefaultErrorHandler);
  }
  // Red, green, blue of every pixel, or the first failure.
  ReturnTp Read(const std::string &bytes, IffParamTp *h, Bytes *rgb) {
    WriteFile(dir_.file("c.cat"), bytes);
    IffTerm(&cb_);
    const std::string path = dir_.file("c.cat");
    IffFileSpecTp spec = {path.c_str(), nullptr, 0};
    uint32_t type = 0;
    ReturnTp rc =
        IffInit(nullptr, &cb_, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, &type);
    if (rc) return rc;
    *h = {};
    if ((rc = IffRdHead(cb_, 0, nullptr, h)) != 0) return rc;
    if (h->has_cmap && (rc = IffRdCMap(cb_)) != 0) return rc;
    for (int32_t y = 0; y < h->height; ++y) {
      if ((rc = IffRdScan(cb_, 1, y)) != 0) return rc;
      for (int32_t x = 0; x < h->width; ++x) {
        const unsigned char *p = cb_->line + x * cb_->pixel_size;
        if (h->has_cmap)
          rgb->insert(rgb->end(), cb_->cmap + 3 * p[0], cb_->cmap + 3 * p[0] + 3);
        else
          rgb->insert(rgb->end(), p, p + 3);
      }
    }
    return 0;
  }
  TempDir dir_;
  IffControlBlockTp *cb_ = nullptr;
};

TEST_F(Catia, TwinsInBothCharacterSetsAndEveryLayoutRead) {
  // 5 x 10 pixels; data bytes chosen so that every field of every row differs.
  std::string packed;
  for (int i = 0; i < 10; ++i) packed += char(0x1B * (i + 1));
  struct Case {
    const char *word;
    int colors;
    std::string data;
  } kCases[] = {
      {"8_PIXELS_BYTE", 2,
       packed.substr(0, 5) + packed.substr(5, 5)},  // rows 8 and 9 share the second
      {"4_PIXELS_BYTE", 4, packed + packed.substr(0, 5)},
      {"2_PIXELS_BYTE", 20, packed + packed + packed.substr(0, 5)},
      {"1_PIXEL_BYTE", 20, std::string(50, '\x13')},
      {"TRUE_COLOR", 0, std::string(200, '\x41')},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.word);
    IffParamTp a, e;
    Bytes ascii, ebcdic;
    ASSERT_EQ(
        Read(CatiaFile(true, "     5 - Y-AXIS :     10", c.word, c.colors, c.data), &a, &ascii),
        0u);
    ASSERT_EQ(
        Read(CatiaFile(false, "     5 - Y-AXIS :     10", c.word, c.colors, c.data), &e, &ebcdic),
        0u);
    EXPECT_EQ(a.width, 5);
    EXPECT_EQ(a.height, 10);
    EXPECT_EQ(ascii, ebcdic);
    EXPECT_EQ(ascii.size(), 150u);
  }
  // The last two rows of the 1-bit file come from the low bits of the second data row.
  IffParamTp h;
  Bytes rgb;
  ASSERT_EQ(
      Read(CatiaFile(true, "     5 - Y-AXIS :     10", "8_PIXELS_BYTE", 2, packed.substr(0, 10)),
           &h, &rgb),
      0u);
  for (int x = 0; x < 5; ++x) {
    const unsigned char s = static_cast<unsigned char>(packed[5 + x]);
    EXPECT_EQ(rgb[3 * (40 + x)], (s >> 7 & 1) * 7) << x;  // entry 1 is (7, 5, 3)
    EXPECT_EQ(rgb[3 * (45 + x)], (s >> 6 & 1) * 7) << x;
  }
}

TEST_F(Catia, NumberFieldsWeighDigitsByPlace) {
  IffParamTp h;
  Bytes rgb;
  // "  1 20" is 1020 wide: the blank adds nothing but keeps its place.
  EXPECT_EQ(
      Read(CatiaFile(true, "  1 20 - Y-AXIS :      1", "1_PIXEL_BYTE", 20, std::string(1020, '\1')),
           &h, &rgb),
      0u);
  EXPECT_EQ(h.width, 1020);
  // Non-digits count for nothing: a size of 0 is refused, a short file ends.
  EXPECT_NE(Read(CatiaFile(true, "  abc  - Y-AXIS :      1", "1_PIXEL_BYTE", 20, ""), &h, &rgb),
            0u);
  EXPECT_NE(Read(CatiaFile(true, "999999 - Y-AXIS : 999999", "TRUE_COLOR", 0, ""), &h, &rgb), 0u);
  EXPECT_NE(Read(CatiaFile(true, "     5 - Y-AXIS :     10", "3_PIXELS_BYTE", 0, ""), &h, &rgb),
            0u);
}

TEST_F(Catia, ColourTablesArePaddedToWholeRecords) {
  for (int colors : {2, 16, 256}) {
    SCOPED_TRACE(colors);
    const std::string path = dir_.file("w.cat");
    IffFileSpecTp spec = {path.c_str(), nullptr, 0};
    IffControlBlockTp *out = nullptr;
    ASSERT_EQ(
        IffInit(nullptr, &out, IFF_SRV_EXPORT, &spec, IFF_TYPE_CATIA3, IFF_MIN_VERIFY, nullptr),
        0u);
    out->export_option = 2;  // EBCDIC
    const uint64_t none[3] = {0, 0, 0};
    ASSERT_EQ(IffWtHead(out, 3, 1, 1, 1, 1, IFF_CM_PALETTE, colors, 8, none, 0, 0, 0, nullptr), 0u);
    Bytes cmap(3 * 256, 9);
    ASSERT_EQ(IffWtCMap(out, cmap.data()), 0u);
    unsigned char row[3] = {1, 0, 1};
    ASSERT_EQ(IffWtScan(out, 0, row), 0u);
    ASSERT_EQ(IffTerm(&out), 0u);
    const std::string f = ReadFile(path);
    const size_t table = 400 + 80, padding = (80 - colors * 4 % 80) % 80;
    EXPECT_EQ(f.substr(table + colors * 4, padding), std::string(padding, '\0'));
    EXPECT_EQ(f.substr(table + colors * 4 + padding, 15), Ebcdic("END COLOR TABLE"));
    EXPECT_EQ(f.size(), table + colors * 4 + padding + 80 * 4 +
                            3);  // end of table, pixel framing, one data row
  }
}

}  // namespace
