// The raster and its reading, compared with themselves: a bilevel page
// made from any bytes is put as changes or bits (lines shared between
// neighbours, noisy tiles kept as bits and packed again) and, in the same
// raster of display pixels, as bytes; every view of it (crop, mirror,
// size, method, a window of the output) must show the same pixels from
// both, or the target stops. Lines that repeat and change in a few places
// are what the reading of lines in part is made for, so the bytes mostly
// say where a line differs from the one before.
#include <cstdlib>
#include <vector>

#include "fuzzinput.h"
#include "image.h"

namespace {

class Bytes {
 public:
  Bytes(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  // The next byte, 0 once the input is used up.
  unsigned next() { return at_ < size_ ? data_[at_++] : 0; }

 private:
  const uint8_t *data_;
  size_t size_, at_ = 0;
};

std::vector<uint32_t> View(ImgRaw *raw, Bytes view) {
  std::vector<uint32_t> px;
  ImgOpenParamsTp params = {};
  params.mirror = static_cast<int>(view.next() % 4);
  ImgControlBlockTp *cb = nullptr;
  if (ImgOpenRaw(raw, 1, &cb, &params) != 0 || !cb) return px;
  const int w = raw->width(), h = raw->height();
  if (view.next() % 2) {
    cb->crop_x = static_cast<int32_t>(view.next() % w);
    cb->crop_y = static_cast<int32_t>(view.next() % h);
    cb->crop_w = 1 + static_cast<int32_t>(view.next() * 3 % (w - cb->crop_x));
    cb->crop_h = 1 + static_cast<int32_t>(view.next() * 3 % (h - cb->crop_y));
  }
  const int ow = 1 + static_cast<int>(view.next() % 32),
            oh = 1 + static_cast<int>(view.next() % 32);
  const ImgScaleTp methods[] = {ImgScaleAveraging, ImgScaleAveraging, ImgScaleBilinear,
                                ImgScaleReplication};
  const bool window = view.next() % 2;
  const int ww = window ? 1 + ow / 2 : ow, wh = window ? 1 + oh / 3 : oh;
  const ReturnTp rc = window ? ImgSetOutputWindow(cb, ow, oh, ow / 3, oh / 4, ww, wh)
                             : ImgSetOutputSize(cb, ow, oh);
  cb->scale_method = methods[view.next() % 4];
  std::vector<RgbPixelTp> line(static_cast<size_t>(ww));
  for (int y = 0; rc == 0 && y < wh; ++y) {
    if (ImgReadLine(cb, y, line.data()) != 0) break;
    for (const RgbPixelTp &p : line)
      px.push_back(uint32_t(p.fourth) << 24 | p.red << 16 | p.green << 8 | p.blue);
  }
  ImgClose(&cb);
  return px;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool once = (QuietReports(), true);
  (void)once;
  if (size < 12) return 0;
  Bytes in(data, size);
  // Mostly one small tile; now and then a second tile across or a second
  // row of tiles, where lines are read in part and tile rows meet. Small
  // pages keep the runs many.
  const int w = 1 + static_cast<int>(in.next() % 100 + (in.next() % 3 == 2 ? 128 : 0));
  const int h = 1 + static_cast<int>(in.next() % 48 + (in.next() % 4 == 3 ? 128 : 0));
  const unsigned style = in.next();
  const bool bottom_up = style & 1;
  const uint8_t levels[2] = {static_cast<uint8_t>(style & 2 ? 255 : 0),
                             static_cast<uint8_t>(style & 4 ? 0 : 255)};
  const Bytes view = in;  // the view's bytes; the page's follow them
  for (int k = 0; k < 8; ++k) in.next();

  ImgRaw narrow(w, h, 1, bottom_up, ImgInterpGray, 0, 0);
  ImgRaw wide(w, h, 4, bottom_up, ImgInterpUnset, 0, 0);
  std::vector<uint8_t> bits(static_cast<size_t>((w + 127) / 128) * 16 + 16, 0);
  std::vector<uint8_t> pixels(static_cast<size_t>(w) * 4);
  std::vector<int32_t> changes;
  for (int y = 0; y < h; ++y) {
    // A control byte: the line repeats the one before, or flips a few runs
    // of it, or (rarely) is filled from the input as noise.
    const unsigned how = in.next();
    if (how % 8 == 7) {
      for (int i = 0; i < (w + 7) / 8; ++i)
        bits[static_cast<size_t>(i)] = static_cast<uint8_t>(in.next());
    } else if (how % 8 >= 4) {
      for (unsigned n = how / 32 + 1; n > 0; --n) {
        const int at = static_cast<int>((in.next() << 8 | in.next()) % static_cast<unsigned>(w));
        const int len = 1 + static_cast<int>(in.next() % 40);
        for (int x = at; x < std::min(w, at + len); ++x)
          bits[x / 8] ^= static_cast<uint8_t>(0x80 >> (x % 8));
      }
    }
    changes.clear();
    const int bit0 = bits[0] >> 7;
    for (int x = 0; x < w; ++x) {
      const int b = bits[x / 8] >> (7 - x % 8) & 1;
      if (x > 0 && b != (bits[(x - 1) / 8] >> (7 - (x - 1) % 8) & 1)) changes.push_back(x);
      const uint8_t v = levels[b];
      pixels[static_cast<size_t>(x) * 4 + 0] = pixels[static_cast<size_t>(x) * 4 + 1] =
          pixels[static_cast<size_t>(x) * 4 + 2] = v;
      pixels[static_cast<size_t>(x) * 4 + 3] = 255;
    }
    const uint8_t line_levels[2] = {levels[bit0], levels[1 - bit0]};
    // A row of bits is the tiles' slices of 16 bytes each already.
    const ReturnTp rc =
        how % 2 ? narrow.putBits(bits.data(), levels)
                : narrow.putChanges(changes.data(), static_cast<int>(changes.size()), line_levels);
    if (rc != 0 || wide.putLine(pixels.data()) != 0) return 0;
  }
  if (View(&narrow, view) != View(&wide, view)) abort();
  return 0;
}
