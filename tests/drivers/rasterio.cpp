// Reading, writing, test pictures, netpbm decoding and CGM elements shared
// by the driver tests.
#include "rasterio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "runprog.h"

std::string Shell(const std::string &command) { return ShellOutput(command); }

namespace {

unsigned Be16(const std::string &f, size_t at) {
  return static_cast<unsigned>(static_cast<unsigned char>(f[at]) << 8 |
                               static_cast<unsigned char>(f[at + 1]));
}

int Int16(const Bytes &d, size_t at) { return static_cast<int16_t>(d[at] << 8 | d[at + 1]); }

}  // namespace

namespace {

// ReadRgb, with each line asked for as the raster asks for a bilevel
// page's when `packed` is given: as its bits or changes where the driver
// hands it over so (counted in *packed), spread to bytes here.
RgbImage ReadLines(const std::string &path, int32_t page, int32_t *packed) {
  RgbImage image;
  IffFileSpecTp spec = {path.c_str(), nullptr, 0};
  IffControlBlockTp *cb = nullptr;
  IffParamTp &h = image.header;
  ReturnTp rc =
      IffInit(nullptr, &cb, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, &image.type);
  if (!rc) cb->page = page;
  if (!rc) rc = IffRdHead(cb, 0, nullptr, &h);
  if (!rc && h.has_cmap) rc = IffRdCMap(cb);
  if (!rc) {
    image.width = h.width;
    image.height = h.height;
  }
  std::vector<Bytes> rows;
  Bytes spread;
  for (int32_t y = 0; !rc && y < h.height; ++y) {
    IffRunLineTp runs = {nullptr, nullptr, -1, {0, 0}};
    rc = packed ? IffRdScanRuns(cb, y, &runs, true) : IffRdScan(cb, 1, y);
    const unsigned char *line = cb->line;
    if (!rc && runs.count >= 0) {
      ++*packed;
      spread.assign(static_cast<size_t>(h.width), 0);
      int32_t k = 0;
      for (int32_t x = 0; x < h.width; ++x) {
        if (runs.bits) {
          spread[x] = runs.levels[runs.bits[x / 8] >> (7 - x % 8) & 1];
        } else {
          while (k < runs.count && runs.changes[k] <= x) ++k;
          spread[x] = runs.levels[k & 1];
        }
      }
      line = spread.data();
    }
    const int32_t ps = runs.count >= 0 ? 1 : cb->pixel_size;
    Bytes row;
    for (int32_t x = 0; !rc && x < h.width; ++x) {
      const unsigned char *p = line + x * ps;
      if (h.transparent && p[0] == h.transparent_index)
        row.insert(row.end(), 3, 255);
      else if (h.has_cmap)
        row.insert(row.end(), cb->cmap + 3 * p[0], cb->cmap + 3 * p[0] + 3);
      else if (ps == 1)
        row.insert(row.end(), 3, p[0]);
      else
        row.insert(row.end(), p, p + 3);
    }
    rows.push_back(row);
  }
  if (h.orientation == 2) std::reverse(rows.begin(), rows.end());
  for (const Bytes &row : rows) image.rgb.insert(image.rgb.end(), row.begin(), row.end());
  IffTerm(&cb);
  image.rc = rc & ~CMN_REPORTED;
  return image;
}

}  // namespace

RgbImage ReadRgb(const std::string &path, int32_t page) { return ReadLines(path, page, nullptr); }

RgbImage ReadRgbPacked(const std::string &path, int32_t *packed) {
  *packed = 0;
  return ReadLines(path, 0, packed);
}

RgbImage NetpbmRgb(const std::string &command) {
  std::istringstream in(Shell(command + " | pnmtoplainpnm"));
  RgbImage image;
  std::string magic;
  unsigned maxval = 1, v;
  in >> magic >> image.width >> image.height;
  if (magic == "P1") {
    char bit;
    while (in >> bit) image.rgb.insert(image.rgb.end(), 3, bit == '0' ? 255 : 0);
    return image;
  }
  in >> maxval;
  while (in >> v) {
    const unsigned char b = static_cast<unsigned char>(maxval > 255 ? v >> 8 : v * 255 / maxval);
    image.rgb.insert(image.rgb.end(), magic == "P2" ? 3 : 1, b);
  }
  return image;
}

RgbImage PamOverWhite(const std::string &command) {
  std::istringstream in(Shell(command));
  RgbImage image;
  std::string word;
  unsigned depth = 0, maxval = 0;
  while (in >> word && word != "ENDHDR") {
    if (word == "WIDTH") in >> image.width;
    if (word == "HEIGHT") in >> image.height;
    if (word == "DEPTH") in >> depth;
    if (word == "MAXVAL") in >> maxval;
  }
  in.get();
  EXPECT_TRUE(depth >= 1 && depth <= 4 && (maxval == 255 || maxval == 65535)) << command;
  for (size_t i = 0; i < size_t(image.width) * image.height && in; ++i) {
    unsigned v[4] = {0, 0, 0, 255};
    for (unsigned k = 0; k < depth; ++k) {
      v[k] = static_cast<unsigned char>(in.get());
      if (maxval > 255) in.get();
    }
    const unsigned a = depth == 2 || depth == 4 ? v[depth - 1] : 255;
    for (unsigned k = 0; k < 3; ++k)
      image.rgb.push_back(static_cast<unsigned char>(v[depth < 3 ? 0 : k] * a / 255 + 255 - a));
  }
  return image;
}

ReturnTp WriteLines(const std::string &path, uint32_t type, int32_t width, int32_t height,
                    uint32_t model, const Bytes &lines, const Bytes &cmap,
                    const std::vector<int32_t> &order) {
  IffFileSpecTp spec = {path.c_str(), nullptr, 0};
  IffControlBlockTp *cb = nullptr;
  const uint64_t compression[3] = {0, 0, 0};
  const int32_t entries = static_cast<int32_t>(cmap.size() / 3);
  ReturnTp rc = IffInit(nullptr, &cb, IFF_SRV_EXPORT, &spec, type, IFF_MIN_VERIFY, nullptr);
  if (!rc)
    rc = IffWtHead(cb, width, height, 1, 1, entries != 0, model, entries, 8, compression, 0, 0, 0,
                   nullptr);
  if (!rc && entries) rc = IffWtCMap(cb, const_cast<unsigned char *>(cmap.data()));
  const size_t row = lines.size() / static_cast<size_t>(height);
  Bytes line;
  for (int32_t i = 0; !rc && i < height; ++i) {
    const int32_t y = order.empty() ? i : order[static_cast<size_t>(i)];
    line.assign(lines.begin() + static_cast<long>(row * y),
                lines.begin() + static_cast<long>(row * (y + 1)));
    rc = IffWtScan(cb, y, line.data());
  }
  ReturnTp closed = IffTerm(&cb);
  return (rc ? rc : closed) & ~CMN_REPORTED;
}

Bytes Picture(int32_t w, int32_t h, int colours, Bytes *lines, Bytes *cmap) {
  Bytes rgb;
  for (int i = 0; i < colours; ++i)
    cmap->insert(cmap->end(),
                 {static_cast<unsigned char>(i * 37), static_cast<unsigned char>(255 - i),
                  static_cast<unsigned char>(i * i)});
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      if (!colours) {
        rgb.insert(rgb.end(),
                   {static_cast<unsigned char>(x * 7), static_cast<unsigned char>(y * 11),
                    static_cast<unsigned char>(x * y)});
        continue;
      }
      const int index = (x / 3 + y * 5) % colours;
      lines->push_back(static_cast<unsigned char>(index));
      rgb.insert(rgb.end(), cmap->begin() + 3 * index, cmap->begin() + 3 * index + 3);
    }
  if (!colours) *lines = rgb;
  return rgb;
}

std::string PpmOf(int32_t w, int32_t h, const Bytes &rgb) {
  return "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n" +
         std::string(rgb.begin(), rgb.end());
}

Recorder::Recorder() {
  raised().clear();
  CmnSetErrorHandler(
      [](ReturnTp code) { raised().push_back(CmnErrorText(code, nullptr, nullptr)); });
}
Recorder::~Recorder() { CmnSetErrorHandler(CmnDefaultErrorHandler); }
std::vector<std::string> &Recorder::raised() {
  static std::vector<std::string> list;
  return list;
}

void ExpectRefused(const std::string &path, const std::string &message) {
  Recorder recorder;
  EXPECT_NE(ReadRgb(path).rc, 0u);
  ASSERT_FALSE(Recorder::raised().empty());
  EXPECT_EQ(Recorder::raised().back().rfind(message, 0), 0u) << Recorder::raised().back();
}

std::vector<CgmElement> CgmElements(const std::string &f) {
  std::vector<CgmElement> out;
  size_t at = 0;
  while (at + 2 <= f.size()) {
    const unsigned head = Be16(f, at);
    at += 2;
    CgmElement e{
        static_cast<int>(head >> 12), static_cast<int>(head >> 5 & 127), (head & 31) == 31, {}, {}};
    bool more = true;
    unsigned length = head & 31;
    while (more) {
      more = false;
      if (e.long_form && at + 2 <= f.size()) {
        const unsigned word = Be16(f, at);
        at += 2;
        more = word & 0x8000;
        length = word & 0x7FFF;
      }
      if (at + length > f.size()) {
        ADD_FAILURE() << "element " << e.cls << "," << e.id << " runs past the end";
        return out;
      }
      e.partitions.push_back(length);
      e.data.insert(e.data.end(), f.begin() + static_cast<long>(at),
                    f.begin() + static_cast<long>(at + length));
      at += length + length % 2;
    }
    out.push_back(e);
  }
  EXPECT_EQ(at, f.size());
  return out;
}

Bytes CgmCells(const CgmElement &cell_array, size_t cell, int *nx, int *ny) {
  const Bytes &d = cell_array.data;
  *nx = Int16(d, 12);
  *ny = Int16(d, 14);
  EXPECT_EQ(Int16(d, 16), 8);
  const bool packed = Int16(d, 18) == 1;
  Bytes out;
  size_t at = 20;
  for (int y = 0; y < *ny; ++y) {
    const size_t row_start = at;
    if (packed) {
      out.insert(out.end(), d.begin() + static_cast<long>(at),
                 d.begin() + static_cast<long>(at + cell * *nx));
      at += cell * static_cast<size_t>(*nx);
    } else {
      for (int x = 0; x < *nx;) {
        const int n = Int16(d, at);
        EXPECT_GT(n, 0);
        for (int k = 0; k < n; ++k)
          out.insert(out.end(), d.begin() + static_cast<long>(at + 2),
                     d.begin() + static_cast<long>(at + 2 + cell));
        at += 2 + cell;
        x += n;
      }
    }
    at += (at - row_start) % 2;
  }
  EXPECT_EQ(at, d.size());
  return out;
}
