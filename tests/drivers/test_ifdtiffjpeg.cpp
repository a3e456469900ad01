// JPEG inside TIFF: new-style files made by libtiff's tiffcp read like
// libtiff's own decode; old-style files (an interchange stream, or tables
// in tags) built here read like djpeg's decode of the same data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "rasterio.h"
#include "runprog.h"

namespace {

double Psnr(const Bytes &a, const Bytes &b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.size(); ++i) se += (a[i] - b[i]) * (a[i] - b[i]);
  return se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * a.size() / se);
}

// Smooth shading: libtiff smooths subsampled chroma where we replicate
// it, which only smooth pictures show as nearly the same.
Bytes Smooth(int w, int h) {
  Bytes rgb;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double s = 128 + 90 * std::sin(x * 0.05) * std::cos(y * 0.04);
      rgb.push_back(static_cast<unsigned char>(s));
      rgb.push_back(static_cast<unsigned char>(255 - s));
      rgb.push_back(static_cast<unsigned char>(128 + 60 * std::cos((x + y) * 0.03)));
    }
  return rgb;
}

class TiffJpeg : public testing::Test {
 protected:
  std::string Source(bool grey, int w, int h) {
    WriteFile(dir_.file("in.ppm"), PpmOf(w, h, Smooth(w, h)));
    const std::string in = dir_.file("in.ppm");
    Shell((grey ? "ppmtopgm " + in + " | pnmtotiff" : "pnmtotiff " + in) + " > " +
          dir_.file("src.tif") + " 2>/dev/null");
    return dir_.file("src.tif");
  }
  TempDir dir_;
};

TEST_F(TiffJpeg, NewStyleReadsLikeLibtiff) {
  struct Case {
    bool grey;
    const char *tiffcp;
    double min_psnr;  // libtiff smooths subsampled chroma; we replicate it
  } cases[] = {
      {false, "-c jpeg -r 16", 36},          {false, "-c jpeg:50 -r 48", 36},
      {false, "-c jpeg -t -w 64 -l 64", 36}, {false, "-c jpeg:r -r 32", 99},
      {true, "-c jpeg -r 16", 99},           {true, "-c jpeg -t -w 32 -l 48", 99},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.tiffcp);
    const std::string src = Source(c.grey, 150, 101);
    const std::string jpg = dir_.file("j.tif"), plain = dir_.file("n.tif");
    Shell(std::string("tiffcp ") + c.tiffcp + " " + src + " " + jpg);
    const RgbImage ours = ReadRgb(jpg);
    ASSERT_EQ(ours.rc, 0u);
    EXPECT_EQ(FXICompression, 5);
    const RgbImage ref =
        NetpbmRgb("tiffcp -c none " + jpg + " " + plain + " && tifftopnm " + plain);
    EXPECT_GE(Psnr(ours.rgb, ref.rgb), c.min_psnr);
  }
}

// A little-endian TIFF of one page: the entries, then their long values,
// then `data` at the offset the entries point at as 0xDA7A0000 + n.
struct TiffBuilder {
  struct Entry {
    uint16_t tag, type;
    std::vector<uint32_t> values;
    std::string text;  // type 2
  };
  std::vector<Entry> entries;
  std::vector<std::string> blobs;
  void Add(uint16_t tag, uint16_t type, std::vector<uint32_t> v) {
    entries.push_back({tag, type, v, ""});
  }
  void AddText(uint16_t tag, const std::string &text) {
    entries.push_back({tag, 2, {}, text + '\0'});
  }
  uint32_t Blob(const std::string &b) {
    blobs.push_back(b);
    return 0xDA7A0000u + static_cast<uint32_t>(blobs.size() - 1);
  }
  std::string Build() {
    auto put = [](std::string &s, uint32_t v, int n) {
      for (int i = 0; i < n; ++i) s += static_cast<char>(v >> (8 * i));
    };
    const uint32_t ifd = 8, after = ifd + 2 + 12 * static_cast<uint32_t>(entries.size()) + 4;
    std::string values, blobs_at;
    std::vector<uint32_t> blob_offsets;
    uint32_t extra = 0;
    auto bytes = [](const Entry &e) {
      return e.type == 2 ? e.text.size() : e.values.size() * (e.type == 3 ? 2 : 4);
    };
    for (const Entry &e : entries) extra += bytes(e) > 4 ? static_cast<uint32_t>(bytes(e)) : 0;
    uint32_t blob_at = after + extra;
    for (const std::string &b : blobs) {
      blob_offsets.push_back(blob_at);
      blobs_at += b;
      blob_at += static_cast<uint32_t>(b.size());
    }
    auto fix = [&](uint32_t v) {
      return (v & 0xFFFF0000u) == 0xDA7A0000u ? blob_offsets[v & 0xFFFF] : v;
    };
    std::string s = "II";
    put(s, 42, 2);
    put(s, ifd, 4);
    put(s, static_cast<uint32_t>(entries.size()), 2);
    for (const Entry &e : entries) {
      const int size = e.type == 3 ? 2 : 4;
      put(s, e.tag, 2);
      put(s, e.type, 2);
      put(s, static_cast<uint32_t>(e.type == 2 ? e.text.size() : e.values.size()), 4);
      std::string value = e.text;
      for (uint32_t v : e.values) put(value, fix(v), size);
      if (value.size() <= 4) {
        value.resize(4, '\0');
        s += value;
      } else {
        put(s, after + static_cast<uint32_t>(values.size()), 4);
        values += value;
      }
    }
    put(s, 0, 4);
    return s + values + blobs_at;
  }
};

// The marker segments of a JPEG stream, by code; the entropy-coded data of
// its one scan.
struct Split {
  std::vector<std::pair<uint8_t, std::string>> segments;
  std::string scan_data;
  explicit Split(const std::string &j) {
    size_t i = 2;
    while (i + 4 <= j.size()) {
      const uint8_t code = static_cast<uint8_t>(j[i + 1]);
      const size_t length = static_cast<uint8_t>(j[i + 2]) << 8 | static_cast<uint8_t>(j[i + 3]);
      segments.push_back({code, j.substr(i + 4, length - 2)});
      i += 2 + length;
      if (code == 0xDA) {
        scan_data = j.substr(i, j.size() - 2 - i);
        break;
      }
    }
  }
};

TEST_F(TiffJpeg, OldStyleFromInterchangeStreamAndFromTableTags) {
  const int w = 64, h = 48;
  Bytes lines, cmap;
  WriteFile(dir_.file("in.ppm"), PpmOf(w, h, Picture(w, h, 0, &lines, &cmap)));
  Shell("cjpeg -quality 85 " + dir_.file("in.ppm") + " > " + dir_.file("in.jpg"));
  const std::string jpeg = ReadFile(dir_.file("in.jpg"));
  const RgbImage ref = NetpbmRgb("djpeg -pnm -dct int -nosmooth " + dir_.file("in.jpg"));
  auto common = [&](TiffBuilder &t) {
    t.Add(256, 3, {static_cast<uint32_t>(w)});
    t.Add(257, 3, {static_cast<uint32_t>(h)});
    t.Add(258, 3, {8, 8, 8});
    t.Add(259, 3, {6});
    t.Add(262, 3, {6});
    t.Add(277, 3, {3});
    t.Add(278, 3, {static_cast<uint32_t>(h)});
    t.Add(512, 3, {1});
  };
  {
    TiffBuilder t;
    common(t);
    const uint32_t stream = t.Blob(jpeg);
    t.Add(273, 4, {stream});
    t.Add(279, 4, {static_cast<uint32_t>(jpeg.size())});
    t.Add(513, 4, {stream});
    t.Add(514, 4, {static_cast<uint32_t>(jpeg.size())});
    std::sort(t.entries.begin(), t.entries.end(), [](auto &a, auto &b) { return a.tag < b.tag; });
    WriteFile(dir_.file("old1.tif"), t.Build());
    const RgbImage ours = ReadRgb(dir_.file("old1.tif"));
    ASSERT_EQ(ours.rc, 0u);
    EXPECT_TRUE(ours.rgb == ref.rgb);
  }
  {
    // Tables in tags, the strip only the entropy-coded data; written by
    // gXconvert, which announces its 8-bit samples as 12.
    const Split split(jpeg);
    TiffBuilder t;
    common(t);
    t.entries[2].values = {12, 12, 12};
    t.AddText(305, "gXconvert 1.0");
    std::vector<uint32_t> q, dc, ac;
    for (const auto &seg : split.segments) {
      if (seg.first == 0xDB)
        for (size_t i = 0; i + 65 <= seg.second.size(); i += 65)
          q.push_back(t.Blob(seg.second.substr(i + 1, 64)));
      if (seg.first == 0xC4)
        (seg.second[0] & 0x10 ? ac : dc).push_back(t.Blob(seg.second.substr(1)));
    }
    const uint32_t data = t.Blob(split.scan_data);
    t.Add(273, 4, {data});
    t.Add(279, 4, {static_cast<uint32_t>(split.scan_data.size())});
    t.Add(530, 3, {2, 2});
    t.Add(519, 4, q);
    t.Add(520, 4, dc);
    t.Add(521, 4, ac);
    std::sort(t.entries.begin(), t.entries.end(), [](auto &a, auto &b) { return a.tag < b.tag; });
    WriteFile(dir_.file("old2.tif"), t.Build());
    Recorder recorder;
    const RgbImage ours = ReadRgb(dir_.file("old2.tif"));
    ASSERT_EQ(ours.rc, 0u);
    EXPECT_EQ(FXICompression, 5);
    EXPECT_TRUE(ours.rgb == ref.rgb);
    ASSERT_FALSE(Recorder::raised().empty());
    EXPECT_EQ(Recorder::raised().front().rfind("Old-style JPEG written by gXconvert", 0), 0u);
  }
}

}  // namespace
