// Runs the colour chain of the reading layer over lines of 4-byte pixels:
//   full   all six factors and a colour replacement, in megapixels per
//          second, on random colours (every pixel a colour of its own,
//          none gray: the worst case), on a photograph-like picture
//          (smooth gradients with a little noise, many distinct colours)
//          and on a drawing (white paper, a little ink);
//   none   nothing set: the cost of the early returns, per line.
// Time is the thread's CPU time, so that other work on a shared machine
// does not count; only the time inside ImgColorLine is counted.
//   bench_imacolor [line-width lines]
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "image.h"

static double CpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

// Seconds of CPU time for `lines` calls of ImgColorLine on lines of width
// pixels taken in turn from source. Each line is copied just before the
// call, outside the timing, so that it is in the cache as a line freshly
// read would be.
static double Seconds(const ImgColorOpsTp &ops, const std::vector<RgbPixelTp> &source, int width,
                      int lines, unsigned *checksum) {
  std::vector<RgbPixelTp> line(static_cast<size_t>(width));
  const size_t rows = source.size() / width;
  double seconds = 0.0;
  for (int y = 0; y < lines; ++y) {
    const RgbPixelTp *from = &source[(y % rows) * width];
    line.assign(from, from + width);
    const double t0 = CpuSeconds();
    ImgColorLine(&ops, line.data(), width);
    seconds += CpuSeconds() - t0;
    *checksum += line[static_cast<size_t>(y) % width].red;
  }
  return seconds;
}

int main(int argc, char **argv) {
  const int width = argc > 2 ? atoi(argv[1]) : 4000;
  const int lines = argc > 2 ? atoi(argv[2]) : 5000;
  if (width <= 0 || lines <= 0) {
    fprintf(stderr, "usage: %s [line-width lines]\n", argv[0]);
    return 2;
  }
  // 16 different source lines, so the branch predictor cannot learn one.
  const int rows = 16;
  std::vector<RgbPixelTp> random(static_cast<size_t>(width) * rows);
  std::vector<RgbPixelTp> drawing(random.size());
  uint32_t x = 2463534242u;
  for (size_t i = 0; i < random.size(); ++i) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    random[i] = {static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8),
                 static_cast<uint8_t>(x >> 16), 255};
    const bool ink = x % 32 == 0;
    const uint8_t v = ink ? 0 : 255;
    drawing[i] = {v, v, static_cast<uint8_t>(ink && x % 64 == 0 ? 200 : v), 255};
  }

  // A photograph: hue, lightness and saturation drift slowly across the
  // line and down the picture, with noise of a few levels per channel as a
  // scan has. 64 rows taken from a picture about 2500 lines high.
  const int photo_rows = 64;
  std::vector<RgbPixelTp> photo(static_cast<size_t>(width) * photo_rows);
  for (int y = 0; y < photo_rows; ++y) {
    const double v = y * 40.0;
    for (int i = 0; i < width; ++i) {
      const double u = i * 4000.0 / width;
      uint8_t c[3];
      for (int k = 0; k < 3; ++k) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        const double smooth = 128.0 + 70.0 * std::sin(u / (230.0 + 90 * k) + v / 410.0 + 2 * k) +
                              45.0 * std::cos(v / (170.0 + 60 * k) - u / 700.0);
        c[k] = static_cast<uint8_t>(std::clamp(smooth + static_cast<int>(x % 7) - 3, 0.0, 255.0));
      }
      photo[static_cast<size_t>(y) * width + i] = {c[0], c[1], c[2], 255};
    }
  }

  ImgColorOpsTp full{};
  ImgParseColorReplace("ff0000/00ff00:123456/654321", &full);
  full.brightness = 0.2;
  full.contrast = 0.3;
  full.chrominance = 0.4;
  full.redtint = 0.1;
  full.greentint = -0.1;
  full.bluetint = 0.05;
  const ImgColorOpsTp none{};

  unsigned checksum = 0;
  const double pixels = static_cast<double>(width) * lines;
  const double random_s = Seconds(full, random, width, lines, &checksum);
  const double photo_s = Seconds(full, photo, width, lines, &checksum);
  const double drawing_s = Seconds(full, drawing, width, lines, &checksum);
  // Nothing set leaves the line alone: one timing around many calls.
  const int calls = 1000000;
  double none_s = CpuSeconds();
  for (int i = 0; i < calls; ++i) ImgColorLine(&none, random.data(), width);
  none_s = CpuSeconds() - none_s;
  printf("imacolor: %d lines of %d pixels, 4 bytes each, CPU time\n", lines, width);
  printf("  full chain, random colours: %8.1f Mpixel/s\n", pixels / random_s / 1e6);
  printf("  full chain, photograph:     %8.1f Mpixel/s\n", pixels / photo_s / 1e6);
  printf("  full chain, drawing:        %8.1f Mpixel/s\n", pixels / drawing_s / 1e6);
  printf("  nothing set:                %8.1f ns per line\n", none_s / calls * 1e9);
  printf("  (checksum %u)\n", checksum);
  return 0;
}
