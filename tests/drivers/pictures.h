// What the driver tests share: running oracles, reading a file through the
// interface as red, green, blue bytes top row first, and the messages raised.
#ifndef PV_TESTS_DRIVERS_PICTURES_H
#define PV_TESTS_DRIVERS_PICTURES_H

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "imagefile.h"
#include "runprog.h"

namespace pictures {

using Bytes = std::vector<unsigned char>;

inline std::string Sh(const std::string &command) { return ShellOutput(command); }

// The pixels of a netpbm stream (any of P1..P3 after pnmtoplainpnm) as red,
// green, blue bytes, samples spread to 0..255 as the readers spread them.
inline Bytes PlainRgb(const std::string &command) {
  std::istringstream plain(Sh(command + " | pamtopnm | pnmtoplainpnm"));
  std::string magic;
  unsigned w, h, m = 1, v;
  char bit;
  plain >> magic >> w >> h;
  Bytes out;
  if (magic == "P1") {
    while (plain >> bit) out.insert(out.end(), 3, bit == '0' ? 255 : 0);
  } else if (plain >> m) {
    while (plain >> v) out.insert(out.end(), magic == "P2" ? 3 : 1, v * 255 / m);
  }
  return out;
}

// Every message raised while a Recorder lives.
class Recorder {
 public:
  Recorder() {
    raised().clear();
    CmnSetErrorHandler([](ReturnTp code) { raised().push_back(CmnErrorText(code, nullptr, nullptr)); });
  }
  ~Recorder() { CmnSetErrorHandler(CmnDefaultErrorHandler); }
  static std::vector<std::string> &raised() {
    static std::vector<std::string> list;
    return list;
  }
};

// A w x h picture of at most `colours` colours (0: many), as indexes and
// a palette, or as red, green, blue lines; returns its red, green, blue.
inline Bytes Picture(int32_t w, int32_t h, int colours, Bytes *lines, Bytes *cmap) {
  Bytes rgb;
  for (int i = 0; i < colours; ++i)
    cmap->insert(cmap->end(), {static_cast<unsigned char>(i * 37), static_cast<unsigned char>(255 - i),
                               static_cast<unsigned char>(i * i)});
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      if (!colours) {
        rgb.insert(rgb.end(), {static_cast<unsigned char>(x * 7), static_cast<unsigned char>(y * 11),
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

inline std::string PpmOf(int32_t w, int32_t h, const Bytes &rgb) {
  return "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n" +
         std::string(rgb.begin(), rgb.end());
}

struct Decoded {
  ReturnTp rc = 0;  // the first failure, or 0
  IffParamTp header = {};
  Bytes rgb;        // top row first
};

// A file read as the viewer reads it: header, colour map, every line; the
// lines of a bottom-up file are put back top first.
inline Decoded ReadRgb(const std::string &path) {
  Decoded d;
  IffControlBlockTp *cb = nullptr;
  IffFileSpecTp spec = {path.c_str(), nullptr, 0};
  uint32_t type = 0;
  d.rc = IffInit(nullptr, &cb, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, &type);
  if (!d.rc) d.rc = IffRdHead(cb, 0, nullptr, &d.header);
  const bool palette = !d.rc && d.header.has_cmap;
  if (palette) d.rc = IffRdCMap(cb);
  std::vector<Bytes> rows;
  for (int32_t y = 0; !d.rc && y < d.header.height; ++y) {
    d.rc = IffRdScan(cb, 1, y);
    Bytes row;
    for (int32_t x = 0; !d.rc && x < d.header.width; ++x) {
      const unsigned char *p = cb->line + x * cb->pixel_size;
      if (palette)
        row.insert(row.end(), cb->cmap + p[0] * 3, cb->cmap + p[0] * 3 + 3);
      else if (cb->pixel_size == 1)
        row.insert(row.end(), 3, p[0]);
      else
        row.insert(row.end(), p, p + 3);
    }
    rows.push_back(row);
  }
  if (d.header.orientation == 2) std::reverse(rows.begin(), rows.end());
  for (const Bytes &row : rows) d.rgb.insert(d.rgb.end(), row.begin(), row.end());
  IffTerm(&cb);
  return d;
}

// Reading the file fails with a message that starts with `message`.
inline void ExpectRefused(const std::string &path, const std::string &message) {
  Recorder recorder;
  EXPECT_NE(ReadRgb(path).rc, 0u);
  ASSERT_FALSE(Recorder::raised().empty());
  EXPECT_EQ(Recorder::raised().back().rfind(message, 0), 0u) << Recorder::raised().back();
}

// Writes lines through the interface's writer of a type. Lines hold one
// byte per pixel with a colour map (3 bytes an entry), else red, green,
// blue (or grey). Rows go in the order given.
inline ReturnTp WriteLines(const std::string &path, uint32_t type, uint32_t model, int32_t width,
                           int32_t height, const Bytes &cmap, const Bytes &lines,
                           const std::vector<int32_t> &order) {
  IffControlBlockTp *cb = nullptr;
  IffFileSpecTp spec = {path.c_str(), nullptr, 0};
  const int32_t entries = static_cast<int32_t>(cmap.size() / 3);
  ReturnTp rc = IffInit(nullptr, &cb, IFF_SRV_EXPORT, &spec, type, IFF_MIN_VERIFY, nullptr);
  if (!rc)
    rc = IffWtHead(cb, width, height, 1, 1, entries != 0, model, entries, 8, nullptr, 0, 0, 0,
                   nullptr);
  Bytes map = cmap;
  if (!rc && entries) rc = IffWtCMap(cb, map.data());
  const size_t row = lines.size() / static_cast<size_t>(height);
  for (int32_t y : order) {
    if (rc) break;
    Bytes line(lines.begin() + row * y, lines.begin() + row * (y + 1));
    rc = IffWtScan(cb, y, line.data());
  }
  const ReturnTp closed = IffTerm(&cb);
  return rc ? rc : closed;
}

}  // namespace pictures

#endif
