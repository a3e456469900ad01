// Reading, writing and netpbm decoding shared by the driver tests.
#include "rasterio.h"

#include <gtest/gtest.h>

#include <sstream>

#include "runprog.h"

std::string Shell(const std::string &command) { return ShellOutput(command); }

RgbImage ReadRgb(const std::string &path) {
  RgbImage image;
  IffFileSpecTp spec = {path.c_str(), nullptr, 0};
  IffControlBlockTp *cb = nullptr;
  uint32_t type = 0;
  IffParamTp h = {};
  ReturnTp rc = IffInit(nullptr, &cb, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, &type);
  if (!rc) rc = IffRdHead(cb, 0, nullptr, &h);
  if (!rc && h.has_cmap) rc = IffRdCMap(cb);
  if (!rc) {
    image.width = h.width;
    image.height = h.height;
  }
  for (int32_t y = 0; !rc && y < h.height; ++y) {
    rc = IffRdScan(cb, 1, y);
    for (int32_t x = 0; !rc && x < h.width; ++x) {
      const unsigned char *p = cb->line + x * cb->pixel_size;
      if (h.has_cmap)
        image.rgb.insert(image.rgb.end(), cb->cmap + 3 * p[0], cb->cmap + 3 * p[0] + 3);
      else if (cb->pixel_size == 1)
        image.rgb.insert(image.rgb.end(), 3, p[0]);
      else
        image.rgb.insert(image.rgb.end(), p, p + 3);
    }
  }
  IffTerm(&cb);
  image.rc = rc & ~CMN_REPORTED;
  return image;
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

ReturnTp WriteLines(const std::string &path, uint32_t type, int32_t width, int32_t height,
                    uint32_t model, const Bytes &lines, const Bytes &cmap) {
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
  for (int32_t y = 0; !rc && y < height; ++y) {
    line.assign(lines.begin() + static_cast<long>(row * y),
                lines.begin() + static_cast<long>(row * (y + 1)));
    rc = IffWtScan(cb, y, line.data());
  }
  ReturnTp closed = IffTerm(&cb);
  return (rc ? rc : closed) & ~CMN_REPORTED;
}
