// Averages a synthetic drawing (white, thin black lines, about 3% ink) of
// 20000 x 28000 pixels down to 1200 x 1680 through the streaming scaler,
// with 1 and with 4 bytes per pixel, and prints the rate in source
// megapixels per second of CPU time. Lines are drawn as they are needed;
// the time of drawing them is measured apart and taken off.
//   bench_imascale [source-width source-lines output-width output-lines]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "image.h"

// Line y of the drawing: a grid of one-pixel lines and two families of
// diagonals. Colour bytes are 0 for ink and 255 for paper; a fourth byte
// stays opaque.
static size_t DrawLine(int32_t y, int32_t width, int32_t bpp, uint8_t *line) {
  const int colours = bpp == 4 ? 3 : bpp;
  auto ink = [&](int32_t x) { memset(line + static_cast<size_t>(x) * bpp, 0, colours); };
  memset(line, 255, static_cast<size_t>(width) * bpp);
  if (y % 73 == 0) {
    for (int32_t x = 0; x < width; x++) ink(x);
    return static_cast<size_t>(width);
  }
  size_t inked = 0;
  for (int32_t x = 0; x < width; x += 71, inked++) ink(x);
  for (int32_t x = (997 - y % 997) % 997; x < width; x += 997, inked++) ink(x);
  for (int32_t x = y % 1009; x < width; x += 1009, inked++) ink(x);
  return inked;
}

static double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

static int Run(int32_t sw, int32_t sl, int32_t ow, int32_t ol, int32_t bpp) {
  ImgStretchTp *raw = nullptr;
  if (ImgCreateStretch(&raw, ImgScaleAveraging, sw, sl, ow, ol, bpp) != 0) return 1;
  const ImgStretchPtr s(raw);
  std::vector<uint8_t> in(static_cast<size_t>(sw) * bpp), out(static_cast<size_t>(ow) * bpp);

  // The drawing alone, to be taken off the time of drawing and scaling.
  double t0 = CpuSeconds();
  size_t inked = 0;
  for (int32_t y = 0; y < sl; y++) inked += DrawLine(y, sw, bpp, in.data());
  const double drawing = CpuSeconds() - t0;

  unsigned long long checksum = 0;
  int32_t next = 0;
  int need_more = 1;
  const auto wall0 = std::chrono::steady_clock::now();
  t0 = CpuSeconds();
  for (int32_t row = 0; row < ol; row++) {
    for (int ready = 0; !ready;) {
      if (need_more) DrawLine(next++, sw, bpp, in.data());
      if (ImgStretchLine(s.get(), in.data(), out.data(), &need_more, &ready) != 0) return 1;
    }
    for (uint8_t v : out) checksum += v;
  }
  const double both = CpuSeconds() - t0;
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wall0;
  const double mpix = static_cast<double>(sw) * next / 1e6;
  printf(
      "imascale: Averaging %dx%d -> %dx%d, %d byte(s)/pixel, %.1f%% ink: %.0f source Mpixel/s "
      "(scaler %.2f s CPU; with drawing %.2f s CPU, %.2f s wall), checksum %llu\n",
      sw, sl, ow, ol, bpp, 100.0 * inked / (static_cast<double>(sw) * sl), mpix / (both - drawing),
      both - drawing, both, wall.count(), checksum);
  return 0;
}

int main(int argc, char **argv) {
  int32_t sw = 20000, sl = 28000, ow = 1200, ol = 1680;
  if (argc == 5) {
    sw = atoi(argv[1]);
    sl = atoi(argv[2]);
    ow = atoi(argv[3]);
    ol = atoi(argv[4]);
  }
  for (int32_t bpp : {1, 4})
    if (Run(sw, sl, ow, ol, bpp) != 0) return 1;
  return 0;
}
