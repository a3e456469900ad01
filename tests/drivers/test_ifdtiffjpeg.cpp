// JPEG inside TIFF: new-style files made by libtiff's tiffcp read like
// libtiff's own decode; old-style files (an interchange stream, or tables
// in tags) built here read like djpeg's decode of the same data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
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

// The segments of the given codes, each a marker with its length.
std::string Segments(const Split &split, std::initializer_list<uint8_t> codes) {
  std::string out;
  for (const auto &seg : split.segments)
    for (uint8_t code : codes)
      if (seg.first == code)
        out += std::string{'\xFF', static_cast<char>(code),
                           static_cast<char>((seg.second.size() + 2) >> 8),
                           static_cast<char>(seg.second.size() + 2)} +
               seg.second;
  return out;
}

// The table tags of a split stream: its quantisation and Huffman tables,
// or (per_component) a table of each kind for each of three components,
// as some writers number them.
void TableTags(TiffBuilder &t, const Split &split, bool per_component) {
  std::vector<uint32_t> q, dc, ac;
  for (const auto &seg : split.segments) {
    if (seg.first == 0xDB)
      for (size_t i = 0; i + 65 <= seg.second.size(); i += 65)
        q.push_back(t.Blob(seg.second.substr(i + 1, 64)));
    for (size_t i = 0; seg.first == 0xC4 && i + 17 <= seg.second.size();) {
      size_t n = 17;
      for (size_t k = 1; k <= 16; ++k) n += static_cast<uint8_t>(seg.second[i + k]);
      (seg.second[i] & 0x10 ? ac : dc).push_back(t.Blob(seg.second.substr(i + 1, n - 1)));
      i += n;
    }
  }
  if (per_component) q = {q[0], q[1], q[1]}, dc = {dc[0], dc[1], dc[1]}, ac = {ac[0], ac[1], ac[1]};
  t.Add(519, 4, q);
  t.Add(520, 4, dc);
  t.Add(521, 4, ac);
}

// The tags of an old-style YCbCr page of w x h in one strip, sampled
// 2 x 2: RowsPerStrip is entry 6, YCbCrSubSampling entry 8.
TiffBuilder OldStyleTags(int w, int h) {
  TiffBuilder t;
  t.Add(256, 3, {static_cast<uint32_t>(w)});
  t.Add(257, 3, {static_cast<uint32_t>(h)});
  t.Add(258, 3, {8, 8, 8});
  t.Add(259, 3, {6});
  t.Add(262, 3, {6});
  t.Add(277, 3, {3});
  t.Add(278, 3, {static_cast<uint32_t>(h)});
  t.Add(512, 3, {1});
  t.Add(530, 3, {2, 2});
  return t;
}

std::string Sorted(TiffBuilder &t) {
  std::sort(t.entries.begin(), t.entries.end(), [](auto &a, auto &b) { return a.tag < b.tag; });
  return t.Build();
}

// Old-style data in the forms writers made them, from one baseline JPEG
// (2 x 2 chroma, 16-row blocks) cut apart: libtiff's tiff2rgba shows each
// form it reads as djpeg shows the JPEG without smoothing, and so do we;
// the forms it refuses we read as djpeg does.
TEST_F(TiffJpeg, OldStyleInEveryFormWritersMadeIt) {
  const int w = 64, h = 48;
  Bytes lines, cmap;
  WriteFile(dir_.file("in.ppm"), PpmOf(w, h, Picture(w, h, 0, &lines, &cmap)));
  const std::string in = dir_.file("in.ppm");
  Shell("cjpeg -quality 85 " + in + " > " + dir_.file("in.jpg") +
        " && cjpeg -quality 85 -restart 1 " + in + " > " + dir_.file("rst.jpg"));
  for (int top = 0; top < h; top += 16)
    Shell("pnmcut -top " + std::to_string(top) + " -height 16 " + in + " | cjpeg -quality 85 > " +
          dir_.file("s" + std::to_string(top) + ".jpg"));
  const std::string jpeg = ReadFile(dir_.file("in.jpg"));
  const Split split(jpeg), restarts(ReadFile(dir_.file("rst.jpg")));
  std::vector<std::string> strip_jpegs, strip_scans;
  for (int top = 0; top < h; top += 16) {
    strip_jpegs.push_back(ReadFile(dir_.file("s" + std::to_string(top) + ".jpg")));
    strip_scans.push_back(Split(strip_jpegs.back()).scan_data);
  }
  // The scan with a restart each block row, cut at the markers: the
  // pieces without them, with the marker that ends each, or begins it.
  std::vector<std::string> bare(1), cut_after(1), cut_before(1);
  const std::string &r = restarts.scan_data;
  for (size_t i = 0; i < r.size(); ++i) {
    if (r[i] == '\xFF' && i + 1 < r.size() && (r[i + 1] & 0xF8) == 0xD0) {
      cut_after.back() += r.substr(i, 2);
      bare.emplace_back();
      cut_after.emplace_back();
      cut_before.push_back(r.substr(i++, 2));
      continue;
    }
    for (auto *v : {&bare, &cut_after, &cut_before}) v->back() += r[i];
  }
  const std::string header = jpeg.substr(0, jpeg.size() - 2 - split.scan_data.size());
  const std::string tables = "\xFF\xD8" + Segments(split, {0xDB, 0xC4}) + "\xFF\xD9";
  const RgbImage ref = NetpbmRgb("djpeg -pnm -nosmooth " + dir_.file("in.jpg"));

  auto strips = [](TiffBuilder &t, const std::vector<std::string> &pieces) {
    std::vector<uint32_t> offsets, counts;
    for (const std::string &p : pieces) {
      offsets.push_back(t.Blob(p));
      counts.push_back(static_cast<uint32_t>(p.size()));
    }
    t.Add(273, 4, offsets);
    t.Add(279, 4, counts);
    return offsets[0];
  };
  auto rows_per_strip = [](TiffBuilder &t, uint32_t rows) { t.entries[6].values = {rows}; };
  const struct {
    const char *form;
    bool libtiff;  // tiff2rgba reads it
    std::function<void(TiffBuilder &)> make;
  } cases[] = {
      {"interchange stream with its length, the strip the stream", true,
       [&](TiffBuilder &t) {
         const uint32_t at = t.Blob(jpeg);
         t.Add(273, 4, {at});
         t.Add(279, 4, {static_cast<uint32_t>(jpeg.size())});
         t.Add(513, 4, {at});
         t.Add(514, 4, {static_cast<uint32_t>(jpeg.size())});
       }},
      {"interchange stream without its length, the strip its scan data", true,
       [&](TiffBuilder &t) {
         t.Add(513, 4, {t.Blob(header)});
         strips(t, {split.scan_data + "\xFF\xD9"});
       }},
      {"interchange stream of the headers only, the data elsewhere", true,
       [&](TiffBuilder &t) {
         t.Add(513, 4, {t.Blob(header)});
         t.Add(514, 4, {static_cast<uint32_t>(header.size())});
         t.Blob("padding");
         strips(t, {split.scan_data});
       }},
      {"interchange stream of tables only, the data in strips", false,
       [&](TiffBuilder &t) {
         t.Add(513, 4, {t.Blob(tables)});
         t.Add(514, 4, {static_cast<uint32_t>(tables.size())});
         strips(t, {split.scan_data});
       }},
      {"interchange stream of the headers, strips coded each on their own", true,
       [&](TiffBuilder &t) {
         t.Add(513, 4, {t.Blob(header)});
         rows_per_strip(t, 16);
         strips(t, strip_scans);
       }},
      {"table tags, a table of each kind per component, sampling unsaid", true,
       [&](TiffBuilder &t) {
         TableTags(t, split, true);
         t.entries.erase(t.entries.begin() + 8);
         strips(t, {split.scan_data});
       }},
      {"table tags, one scan cut at its restarts, the markers left out", true,
       [&](TiffBuilder &t) {
         TableTags(t, restarts, false);
         rows_per_strip(t, 16);
         strips(t, bare);
       }},
      {"table tags and restart interval, strips ending in their markers", false,
       [&](TiffBuilder &t) {
         TableTags(t, restarts, false);
         t.Add(515, 3, {4});
         rows_per_strip(t, 16);
         strips(t, cut_after);
       }},
      {"table tags and restart interval, strips starting with their markers", false,
       [&](TiffBuilder &t) {
         TableTags(t, restarts, false);
         t.Add(515, 3, {4});
         rows_per_strip(t, 16);
         strips(t, cut_before);
       }},
      {"each strip a whole stream, the first named the interchange stream", false,
       [&](TiffBuilder &t) {
         rows_per_strip(t, 16);
         t.Add(513, 4, {strips(t, strip_jpegs)});
         t.Add(514, 4, {static_cast<uint32_t>(strip_jpegs[0].size())});
       }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.form);
    TiffBuilder t = OldStyleTags(w, h);
    c.make(t);
    const std::string file = dir_.file("old.tif");
    WriteFile(file, Sorted(t));
    const RgbImage ours = ReadRgb(file);
    ASSERT_EQ(ours.rc, 0u);
    EXPECT_EQ(FXICompression, 5);
    EXPECT_TRUE(ours.rgb == ref.rgb);
    if (c.libtiff) {
      const std::string rgba = dir_.file("rgba.tif");
      EXPECT_TRUE(ours.rgb == NetpbmRgb("tiff2rgba -c none " + file + " " + rgba +
                                        " 2>/dev/null && tifftopnm " + rgba)
                                  .rgb);
    }
  }
}
// A stream whose frame is taller or shorter than the page shows what the
// two share (the rest counted as missing), a stream cut short shows its
// rows up to the cut, tables the file does not hold are named, and
// gXconvert's 12-bit claim for 8-bit data is corrected with a warning.
TEST_F(TiffJpeg, OldStyleDisagreeingOrDamaged) {
  const int w = 64, h = 48;
  Bytes lines, cmap;
  WriteFile(dir_.file("in.ppm"), PpmOf(w, h, Picture(w, h, 0, &lines, &cmap)));
  Shell("cjpeg -quality 85 " + dir_.file("in.ppm") + " > " + dir_.file("in.jpg"));
  const std::string jpeg = ReadFile(dir_.file("in.jpg"));
  const Split split(jpeg);
  const RgbImage ref = NetpbmRgb("djpeg -pnm -nosmooth " + dir_.file("in.jpg"));
  const std::string file = dir_.file("old.tif");
  auto stream = [&](int page_height, const std::string &data) {
    TiffBuilder t = OldStyleTags(w, page_height);
    const uint32_t at = t.Blob(data);
    t.Add(513, 4, {at});
    t.Add(514, 4, {static_cast<uint32_t>(data.size())});
    WriteFile(file, Sorted(t));
  };
  const size_t row = 3 * w;
  for (int page : {40, 64}) {
    SCOPED_TRACE(page);
    stream(page, jpeg);
    Recorder recorder;
    const RgbImage ours = ReadRgb(file);
    ASSERT_EQ(ours.rgb.size(), row * page);
    const size_t shared = row * std::min(page, h);
    EXPECT_TRUE(std::equal(ref.rgb.begin(), ref.rgb.begin() + shared, ours.rgb.begin()));
    EXPECT_EQ(Recorder::raised().empty(), page < h);
  }
  {
    stream(h, jpeg.substr(0, jpeg.size() - split.scan_data.size() / 4));
    const RgbImage ours = ReadRgb(file);
    ASSERT_EQ(ours.rgb.size(), ref.rgb.size());
    EXPECT_TRUE(std::equal(ref.rgb.begin(), ref.rgb.begin() + 16 * row, ours.rgb.begin()));
  }
  {
    TiffBuilder t = OldStyleTags(w, h);
    t.Add(519, 4, {0x10000, 0x10000});
    t.Add(520, 4, {0x10000});
    t.Add(521, 4, {0x10000});
    t.Add(273, 4, {t.Blob(split.scan_data)});
    WriteFile(file, Sorted(t));
    ExpectRefused(file, "Old-style JPEG table at byte 65536 lies outside the file");
  }
  {
    TiffBuilder t = OldStyleTags(w, h);
    t.entries[2].values = {12, 12, 12};
    t.AddText(305, "gXconvert 1.0");
    TableTags(t, split, false);
    t.Add(273, 4, {t.Blob(split.scan_data)});
    t.Add(279, 4, {static_cast<uint32_t>(split.scan_data.size())});
    WriteFile(file, Sorted(t));
    Recorder recorder;
    const RgbImage ours = ReadRgb(file);
    ASSERT_EQ(ours.rc, 0u);
    EXPECT_TRUE(ours.rgb == ref.rgb);
    ASSERT_FALSE(Recorder::raised().empty());
    EXPECT_EQ(Recorder::raised().front().rfind("Old-style JPEG written by gXconvert", 0), 0u);
  }
}

}  // namespace
