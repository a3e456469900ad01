// The fax codec against libtiff: data made by tiffcp and fax2tiff decodes
// as tifftopnm decodes it, and our encoder's data decodes with libtiff to
// the original, in every mode.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codecs.h"
#include "runprog.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Hash(uint32_t a, uint32_t b) {
  uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  return h ^ h >> 12;
}

// A packed picture (1 = black) with every kind of row: all black, all
// white, random runs from 1 pixel to past the longest make-up code, and
// slanted edges that the two-dimensional modes follow.
struct Picture {
  int32_t w, h;
  Bytes bits;
  int32_t rowbytes() const { return (w + 7) / 8; }
  void Set(int32_t x, int32_t y) { bits[y * rowbytes() + x / 8] |= 0x80 >> (x & 7); }
};

Picture MakePicture(int32_t w, int32_t h) {
  Picture p = {w, h, Bytes(static_cast<size_t>((w + 7) / 8) * h, 0)};
  for (int32_t y = 0; y < h; ++y) {
    if (y % 29 == 3) {
      for (int32_t x = 0; x < w; ++x) p.Set(x, y);
      continue;
    }
    if (y % 31 == 5) continue;
    if (y % 3 == 0) {  // random runs
      bool black = Hash(y, 0) & 1;
      for (int32_t x = 0, k = 0; x < w; ++k) {
        const uint32_t r = Hash(y, k + 1);
        int32_t run =
            r % 4 == 0 ? static_cast<int32_t>(r % 3000) : static_cast<int32_t>(r % 70) + 1;
        for (int32_t i = 0; i < run && x < w; ++i, ++x)
          if (black) p.Set(x, y);
        black = !black;
      }
      continue;
    }
    for (int32_t x = 0; x < w; ++x)
      if ((x + y / 2) % 97 < 9 || (x * 3 + y) % 251 < 4 || (x > w - 5 && y % 2)) p.Set(x, y);
  }
  return p;
}

std::string Pbm(const Picture &p) {
  std::string s = "P4\n" + std::to_string(p.w) + " " + std::to_string(p.h) + "\n";
  return s + std::string(p.bits.begin(), p.bits.end());
}

// The packed raster of a raw PBM.
Bytes PbmBits(const std::string &pbm, int32_t *w, int32_t *h) {
  size_t at = 0;
  int fields[2], n = 0;
  at = pbm.find_first_of(" \n", 0);
  while (n < 2) {
    at = pbm.find_first_not_of(" \t\n", at);
    const size_t stop = pbm.find_first_of(" \t\n", at);
    fields[n++] = std::stoi(pbm.substr(at, stop - at));
    at = stop;
  }
  *w = fields[0];
  *h = fields[1];
  return Bytes(pbm.begin() + at + 1, pbm.end());
}

// Clears the bits after the last pixel of each row.
void Mask(Bytes *bits, int32_t w) {
  const int32_t rb = (w + 7) / 8;
  if (w % 8 == 0) return;
  for (size_t i = rb - 1; i < bits->size(); i += rb)
    (*bits)[i] &= static_cast<uint8_t>(0xFF << (8 - w % 8));
}

// The few tags of a single-strip TIFF file that the codec needs.
struct Strip {
  uint32_t width = 0, height = 0, compression = 0, photometric = 0, fill_order = 1, t4 = 0;
  std::string data;
};

Strip ReadStrip(const std::string &file) {
  Strip s;
  const bool le = file[0] == 'I';
  auto u = [&](size_t at, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      const uint32_t b = static_cast<uint8_t>(file.at(at + i));
      v |= le ? b << (8 * i) : b << (8 * (n - 1 - i));
    }
    return v;
  };
  const uint32_t ifd = u(4, 4);
  uint32_t offset = 0, count = 0;
  for (uint32_t i = 0, n = u(ifd, 2); i < n; ++i) {
    const size_t e = ifd + 2 + 12 * i;
    const uint32_t tag = u(e, 2), value = u(e + 2, 2) == 3 ? u(e + 8, 2) : u(e + 8, 4);
    if (tag == 273 || tag == 279) {
      EXPECT_EQ(u(e + 4, 4), 1u) << "one strip expected";
    }
    switch (tag) {
      case 256:
        s.width = value;
        break;
      case 257:
        s.height = value;
        break;
      case 259:
        s.compression = value;
        break;
      case 262:
        s.photometric = value;
        break;
      case 266:
        s.fill_order = value;
        break;
      case 273:
        offset = value;
        break;
      case 279:
        count = value;
        break;
      case 292:
        s.t4 = value;
        break;
    }
  }
  s.data = file.substr(offset, count);
  return s;
}

void Put16(std::string *s, uint32_t v) { s->append({char(v), char(v >> 8)}); }
void Put32(std::string *s, uint32_t v) {
  s->append({char(v), char(v >> 8), char(v >> 16), char(v >> 24)});
}

std::string WriteStrip(const Strip &s) {
  const uint32_t tags[][2] = {{256, s.width},
                              {257, s.height},
                              {258, 1},
                              {259, s.compression},
                              {262, s.photometric},
                              {266, s.fill_order},
                              {273, 0},
                              {277, 1},
                              {278, s.height},
                              {279, static_cast<uint32_t>(s.data.size())},
                              {292, s.t4}};
  const uint32_t n = s.compression == 3 ? 11 : 10;
  const uint32_t data_at = 8 + 2 + 12 * n + 4;
  std::string f = "II*";
  f += '\0';
  Put32(&f, 8);
  Put16(&f, n);
  for (uint32_t i = 0; i < n; ++i) {
    Put16(&f, tags[i][0]);
    Put16(&f, 4);
    Put32(&f, 1);
    Put32(&f, tags[i][0] == 273 ? data_at : tags[i][1]);
  }
  Put32(&f, 0);
  return f + s.data;
}

struct Source {
  const std::string *data;
  size_t at;
};

ReturnTp Feed(void *arg, uint8_t *buffer, int32_t *length) {
  Source *s = static_cast<Source *>(arg);
  size_t n = std::min(static_cast<size_t>(*length), s->data->size() - s->at);
  memcpy(buffer, s->data->data() + s->at, n);
  s->at += n;
  *length = static_cast<int32_t>(n);
  return 0;
}

// Decodes rows with our decoder, reading the data in chunks of 333 bytes.
Bytes Decode(const std::string &data, FaxParamTp param, int32_t *rows_out = nullptr) {
  FaxParamTp *p = static_cast<FaxParamTp *>(malloc(sizeof param));
  *p = param;
  Source source = {&data, 0};
  IfuCodecTp *codec = nullptr;
  EXPECT_EQ(IfuCodecOpenDecoder(nullptr, &FaxCodecOps, p, Feed, &source, 333, &codec), 0u);
  const int32_t rb = (param.columns + 7) / 8;
  Bytes out(static_cast<size_t>(rb) * 7);
  Bytes all;
  for (;;) {
    int32_t length = static_cast<int32_t>(out.size());
    if (!codec || IfuCodecRead(codec, out.data(), &length) != 0 || length == 0) break;
    all.insert(all.end(), out.begin(), out.begin() + length);
  }
  if (codec) IfuCodecTerm(&codec);
  if (rows_out) *rows_out = static_cast<int32_t>(all.size() / rb);
  return all;
}

FaxParamTp ParamsOf(const Strip &s) {
  FaxParamTp p = {};
  p.mode = s.compression == 4   ? FAX_MODE_G4
           : s.compression == 2 ? FAX_MODE_MH
           : (s.t4 & 1)         ? FAX_MODE_G3_2D
                                : FAX_MODE_G3_1D;
  p.columns = static_cast<int32_t>(s.width);
  p.rows = static_cast<int32_t>(s.height);
  p.end_of_line = s.compression == 3;
  p.pad_eol = 1;
  p.black_is_one = s.photometric == 0;
  p.msb_first = s.fill_order != 2;
  return p;
}

class Fax : public testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(Fax, DataMadeByLibtiffDecodesAsLibtiffDecodesIt) {
  const char *kMakers[] = {
      "tiffcp -c g3",
      "tiffcp -c g3:2d",
      "tiffcp -c g3:fill",
      "tiffcp -c g3:2d:fill",
      "tiffcp -c g4",
      "tiffcp -c g4 -f lsb2msb",
      "tiffcp -c g3:2d -f lsb2msb",
      "fax2tiff",  // raw Group 3 of a tiffcp file, written by fax2tiff: 2-D, fill, low bit first
  };
  for (int32_t w : {1203, 3001, 64}) {
    const Picture pic = MakePicture(w, w == 64 ? 9 : 157);
    WriteFile(dir_.file("in.pbm"), Pbm(pic));
    ShellOutput("cd " + dir_.path() + " && pnmtotiff -miniswhite in.pbm > base.tif");
    for (const char *maker : kMakers) {
      SCOPED_TRACE(std::string(maker) + " width " + std::to_string(w));
      const std::string r = " -r " + std::to_string(pic.h) + " ";
      std::string make = std::string(maker) + r + "base.tif out.tif";
      if (std::string(maker) == "fax2tiff") {
        WriteFile(dir_.file("raw.g3"), ReadStrip(ReadFile(dir_.file("g3.tif"))).data);
        make = "fax2tiff -M -X " + std::to_string(w) + r + "-o out.tif raw.g3";
      }
      ShellOutput("cd " + dir_.path() + " && " + make + " && cp out.tif " +
                  (std::string(maker) == "tiffcp -c g3" ? "g3.tif" : "last.tif"));
      const Strip strip = ReadStrip(ReadFile(dir_.file("out.tif")));
      int32_t ow, oh;
      Bytes expected = PbmBits(ShellOutput("tifftopnm -quiet " + dir_.file("out.tif")), &ow, &oh);
      ASSERT_EQ(ow, w);
      Bytes got = Decode(strip.data, ParamsOf(strip));
      Mask(&got, w);
      Mask(&expected, w);
      EXPECT_TRUE(got == expected) << "rows differ";
    }
  }
}

TEST_F(Fax, OurDataDecodesWithLibtiffToTheOriginal) {
  struct Mode {
    const char *name;
    int32_t mode, eol, pad, black_is_one, msb_first;
    uint32_t compression, t4;
  } kModes[] = {
      {"modified Huffman", FAX_MODE_MH, 0, 0, 1, 1, 2, 0},
      {"G3 1-D", FAX_MODE_G3_1D, 1, 0, 1, 1, 3, 0},
      {"G3 1-D padded EOL", FAX_MODE_G3_1D, 1, 1, 1, 1, 3, 4},
      {"G3 2-D", FAX_MODE_G3_2D, 1, 0, 1, 1, 3, 1},
      {"G3 2-D padded EOL, low bit first", FAX_MODE_G3_2D, 1, 1, 1, 0, 3, 5},
      {"G4", FAX_MODE_G4, 0, 1, 1, 1, 4, 0},
      {"G4 black is zero", FAX_MODE_G4, 0, 1, 0, 1, 4, 0},
  };
  for (int32_t w : {1203, 3001}) {
    const Picture pic = MakePicture(w, 157);
    for (const Mode &m : kModes) {
      SCOPED_TRACE(std::string(m.name) + " width " + std::to_string(w));
      FaxParamTp *p = nullptr;
      ASSERT_EQ(IfuCodecCreateParam(&FaxCodecOps, reinterpret_cast<void **>(&p)), 0u);
      p->mode = m.mode;
      p->columns = w;
      p->rows = pic.h;
      p->end_of_line = m.eol;
      p->pad_eol = m.pad;
      p->black_is_one = m.black_is_one;
      p->msb_first = m.msb_first;
      const FaxParamTp params = *p;
      IfuCodecTp *codec = nullptr;
      ASSERT_EQ(IfuCodecOpenEncoder(nullptr, &FaxCodecOps, p, nullptr, nullptr, &codec), 0u);
      Bytes rows = pic.bits;
      for (uint8_t &b : rows) {
        if (!m.black_is_one) b = static_cast<uint8_t>(~b);
        if (!m.msb_first) b = FaxSwap[b];
      }
      // Fed in pieces that do not follow the rows.
      for (size_t at = 0; at < rows.size(); at += 1000)
        ASSERT_EQ(IfuCodecWrite(codec, rows.data() + at,
                                static_cast<int32_t>(std::min<size_t>(1000, rows.size() - at))),
                  0u);
      ASSERT_EQ(IfuCodecFinish(codec), 0u);
      Strip s;
      uint8_t buffer[4096];
      for (int32_t n = sizeof buffer; IfuCodecFetch(codec, buffer, &n) == 0 && n > 0;
           n = sizeof buffer)
        s.data.append(reinterpret_cast<char *>(buffer), n);
      IfuCodecTerm(&codec);
      s.width = w;
      s.height = pic.h;
      s.compression = m.compression;
      s.photometric = 0;  // the codes name true colours, whatever the rows' sense
      s.fill_order = 1;   // the bit order flag of an encoder is the rows', not the data's
      s.t4 = m.t4;
      WriteFile(dir_.file("ours.tif"), WriteStrip(s));
      int32_t ow, oh;
      Bytes decoded = PbmBits(
          ShellOutput("tiffcp -c none " + dir_.file("ours.tif") + " " + dir_.file("plain.tif") +
                      " && tifftopnm -quiet " + dir_.file("plain.tif")),
          &ow, &oh);
      Bytes expected = pic.bits;
      Mask(&decoded, w);
      Mask(&expected, w);
      EXPECT_TRUE(decoded == expected) << "libtiff decodes other rows";
      // And our decoder reads its own data back.
      FaxParamTp read = params;
      read.msb_first = 1;
      Bytes back = Decode(s.data, read);
      if (!m.black_is_one)
        for (uint8_t &b : back) b = static_cast<uint8_t>(~b);
      Mask(&back, w);
      EXPECT_TRUE(back == expected) << "our decoder reads other rows";
    }
  }
}

TEST_F(Fax, BadDataEndsCleanly) {
  const Picture pic = MakePicture(300, 40);
  FaxParamTp g4 = {};
  g4.mode = FAX_MODE_G4;
  g4.columns = 300;
  g4.rows = 40;
  g4.black_is_one = 1;
  g4.msb_first = 1;
  // Good data for reference.
  WriteFile(dir_.file("in.pbm"), Pbm(pic));
  ShellOutput("cd " + dir_.path() +
              " && pnmtotiff -miniswhite in.pbm > b.tif && tiffcp -c g4 -r 40 b.tif g4.tif");
  const std::string good = ReadStrip(ReadFile(dir_.file("g4.tif"))).data;
  int32_t rows = 0;
  Decode(good, g4, &rows);
  EXPECT_EQ(rows, 40);
  struct Case {
    const char *name;
    std::string data;
    int32_t columns;
    int max_rows;
  } kCases[] = {
      {"cut in half", good.substr(0, good.size() / 2), 300, 39},
      {"all ones", std::string(5000, '\xFF'), 300, 40},
      {"empty", "", 300, 0},
      {"huge columns, 2 KB of zeros", std::string(2048, '\0'), 1 << 24, 0},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    FaxParamTp p = g4;
    p.columns = c.columns;
    Decode(c.data, p, &rows);
    EXPECT_LE(rows, c.max_rows);
  }
  // Damaged data is decoded past. Without end-of-line codes an invalid
  // mode code costs the byte it stands in: four zero bytes before good data
  // leave every row as it was. With them the decoder starts again at the
  // next end of line: a zeroed stretch costs a few rows, never the rest.
  EXPECT_TRUE(Decode(std::string(4, '\0') + good, g4) == Decode(good, g4));
  ShellOutput("cd " + dir_.path() + " && tiffcp -c g3:2d -r 40 b.tif g3.tif");
  const Strip g3 = ReadStrip(ReadFile(dir_.file("g3.tif")));
  std::string damaged = g3.data;
  damaged.replace(damaged.size() * 2 / 5, 4, 4, '\0');
  const Bytes whole = Decode(g3.data, ParamsOf(g3)),
              salvaged = Decode(damaged, ParamsOf(g3), &rows);
  ASSERT_EQ(rows, 40);
  int same = 0;
  for (size_t r = 0; r < 40; ++r)
    same +=
        std::equal(whole.begin() + r * 38, whole.begin() + (r + 1) * 38, salvaged.begin() + r * 38);
  EXPECT_GE(same, 36);
  // A modified Huffman row longer than the columns is an invalid code.
  FaxParamTp mh = g4;
  mh.mode = FAX_MODE_MH;
  mh.columns = 10;
  Decode(std::string("\x4C\x00", 2), mh, &rows);  // white run of 27 in 10 columns
  EXPECT_EQ(rows, 0);
}

}  // namespace
