// The I-DEAS picture driver: one picture described once and written by
// hand in the binary and the formatted variant, and broken command
// sequences.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "rasterio.h"
#include "runprog.h"

namespace {

const ReturnTp kInvalid = 0x06040003u, kNoRaster = 0x060400BEu;

struct Run {
  int start;
  Bytes rgb;
};
struct Row {
  int position;
  std::vector<Run> runs;
};

std::string Be32(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }
std::string Record(const std::string &data) {
  return Be32(uint32_t(data.size())) + data + Be32(uint32_t(data.size()));
}

// Commands in either variant.
class Writer {
 public:
  explicit Writer(bool binary) : binary_(binary) {}
  Writer &Cmd(int cls, int code, const std::vector<int> &ints = {},
              const std::vector<float> &reals = {}, const std::string &text = "") {
    if (binary_) {
      std::string h;
      for (size_t v : {size_t(cls), size_t(code), ints.size(), reals.size(), text.size()})
        h += Be32(uint32_t(v));
      out += Record(h);
      std::string i, r;
      for (int v : ints) i += Be32(uint32_t(v));
      for (float v : reals) r += Be32(static_cast<uint32_t>(v));  // any 4 bytes: reals are not used
      if (!i.empty()) out += Record(i);
      if (!r.empty()) out += Record(r);
      const std::string t = text + std::string(text.size() + 2, ' ');
      if ((text.size() * 2 + 2) / 4) out += Record(t.substr(0, (text.size() * 2 + 2) / 4 * 4));
    } else {
      char h[64];
      snprintf(h, sizeof h, "%10d%10d%10zu%10zu%10zu\n", cls, code, ints.size(), reals.size(),
               text.size());
      out += h;
      for (int v : ints) out += std::to_string(v) + " ";
      for (float v : reals) {
        char e[32];
        snprintf(e, sizeof e, "%E ", double(v));
        out += e;
      }
      out += "\n";
      if (!text.empty()) out += text + "\n";
    }
    return *this;
  }
  Writer &Data(const Bytes &rgb) {
    std::string d;
    for (size_t i = 0; i < rgb.size(); i += 3) {
      if (binary_) {
        d += std::string(1, '\x7F') + std::string(rgb.begin() + long(i), rgb.begin() + long(i) + 3);
      } else {
        char v[16];
        snprintf(v, sizeof v, "%3d%3d%3d", rgb[i], rgb[i + 1], rgb[i + 2]);
        d += v;
        if (i / 3 % 8 == 7 || i + 3 == rgb.size()) d += "\n";
      }
    }
    out += binary_ ? Record(d) : d;
    return *this;
  }
  Writer &Rows(const std::vector<Row> &rows) {
    for (const Row &row : rows) {
      Cmd(3, 2, {row.position, 0});
      for (const Run &run : row.runs) Cmd(3, 3, {run.start, int(run.rgb.size() / 3)}).Data(run.rgb);
      Cmd(3, 4);
    }
    return *this;
  }
  std::string out;

 private:
  bool binary_;
};

const std::vector<Row> kRows = {
    {10, {{5, {10, 20, 30, 40, 50, 60, 70, 80, 90}}}},
    {9,
     {{6, {1, 2, 3, 4, 5, 6}}, {8, {7,  8,  9,  11, 12, 13, 14, 15, 16, 17, 18, 19, 21, 22, 23,
                                    24, 25, 26, 27, 28, 29, 31, 32, 33, 34, 35, 36, 37, 38, 39}}}},
};

// The picture of kRows, columns 5 to 17, rows 10 and 9.
Bytes Expected() {
  Bytes rgb(13 * 2 * 3, 0);
  for (size_t r = 0; r < kRows.size(); ++r)
    for (const Run &run : kRows[r].runs)
      std::copy(run.rgb.begin(), run.rgb.end(),
                rgb.begin() + long(r * 13 + size_t(run.start - 5)) * 3);
  return rgb;
}

class Caeds : public testing::Test {
 protected:
  RgbImage Read(const std::string &bytes) {
    const std::string path = dir_.file("in" + std::to_string(++files_) + ".pic");
    WriteFile(path, bytes);
    return ReadRgb(path);
  }
  TempDir dir_;
  int files_ = 0;
};

TEST_F(Caeds, HandMadePicturesReadInBothVariants) {
  // The picture kind carries 20 integers: 15 are kept and 5 passed over.
  std::vector<int> kind(20, 7);
  kind[0] = 8;
  for (bool binary : {true, false}) {
    SCOPED_TRACE(binary ? "binary" : "formatted");
    Writer w(binary);
    w.Cmd(0, 1)
        .Cmd(3, 1)
        .Cmd(0, 2, kind)
        .Cmd(1, 5, {1, 2}, {0.5f, 2.5f}, "A TITLE")
        .Cmd(3, 1)
        .Rows(kRows)
        .Cmd(0, 7);
    RgbImage got = Read(w.out);
    EXPECT_EQ(got.rc, 0u);
    EXPECT_EQ(got.width, 13);
    EXPECT_EQ(got.height, 2);
    EXPECT_EQ(got.rgb, Expected());
  }
}

TEST_F(Caeds, BrokenSequencesAreRefused) {
  auto picture = [](bool binary, int kind, const std::vector<Row> &rows) {
    Writer w(binary);
    return w.Cmd(0, 1).Cmd(0, 2, {kind, 0, 0, 0}).Rows(rows).Cmd(0, 7).out;
  };
  std::string framing = picture(true, 6, kRows);
  framing[framing.size() - 29] ^= 1;  // the closing length word of the last row's end
  const struct {
    const char *what;
    std::string file;
    ReturnTp rc;
  } kCases[] = {
      {"kind 5", picture(true, 5, kRows), kInvalid},
      {"no runs", picture(false, 6, {{10, {}}}), kNoRaster},
      {"framing", framing, kInvalid},
      {"a row left out", picture(true, 6, {kRows[0], {8, kRows[1].runs}}), kInvalid},
      {"cut short", picture(false, 6, kRows).substr(0, 60), kInvalid},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Read(c.file).rc, c.rc);
  }
}

}  // namespace
