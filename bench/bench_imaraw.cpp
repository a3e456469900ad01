// Fills the tiled raster with a synthetic engineering drawing (white, thin
// black lines, blocks of text-like blobs; one byte per pixel), then prints
// the packed size, putLine and getLine throughput, and the time and peak
// extra heap of rotations by 90 and back by 270. Times are the CPU time of
// the benchmark's thread (wall time in parentheses), so that other work on
// the machine does not count.
//   bench_imaraw [--glyphs] [width height]      (default 20000 x 28000)
// --glyphs draws each character as a 5 x 7 bit pattern instead of a blob:
// noisier lines, the hard case for run-length packing.
#include <malloc.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "drawing.h"
#include "image.h"

// ---- Heap accounting -------------------------------------------------------
// The benchmark replaces malloc and friends with thin wrappers around the C
// library's own, so that it can tell the peak of the bytes in use while a
// rotation runs. Sanitizer builds keep their own allocator.
#if defined(__SANITIZE_ADDRESS__)
#define BENCH_HEAP 0
#else
#define BENCH_HEAP 1
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}
static size_t g_in_use = 0, g_peak = 0;
static void Grew(size_t n) {
  g_in_use += n;
  if (g_in_use > g_peak) g_peak = g_in_use;
}
extern "C" void *malloc(size_t n) {
  void *p = __libc_malloc(n);
  if (p) Grew(malloc_usable_size(p));
  return p;
}
extern "C" void *calloc(size_t n, size_t size) {
  void *p = __libc_calloc(n, size);
  if (p) Grew(malloc_usable_size(p));
  return p;
}
extern "C" void *realloc(void *p, size_t n) {
  const size_t before = p ? malloc_usable_size(p) : 0;
  void *q = __libc_realloc(p, n);
  if (q) {
    g_in_use -= before;
    Grew(malloc_usable_size(q));
  } else if (n == 0) {
    g_in_use -= before;
  }
  return q;
}
extern "C" void free(void *p) {
  if (p) g_in_use -= malloc_usable_size(p);
  __libc_free(p);
}
#endif

namespace {

// Seconds of CPU time of this thread, and of the wall clock.
struct Stopwatch {
  double cpu = 0, wall = 0;
  timespec c0, w0;
  void start() {
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
    clock_gettime(CLOCK_MONOTONIC, &w0);
  }
  void stop() {
    timespec c1, w1;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
    clock_gettime(CLOCK_MONOTONIC, &w1);
    cpu += (c1.tv_sec - c0.tv_sec) + (c1.tv_nsec - c0.tv_nsec) / 1e9;
    wall += (w1.tv_sec - w0.tv_sec) + (w1.tv_nsec - w0.tv_nsec) / 1e9;
  }
};

size_t PackedBytes(const ImgRaw &raw) {
  size_t n = 0;
  for (int r = 0; r < raw.tileRows(); ++r)
    for (int c = 0; c < raw.tilesAcross(); ++c) n += raw.tile(c, r)->size;
  return n;
}

// What the packed lines would take if a tile line equal to the line above
// it shared that line's bytes: lines are stored one after the other, so
// each one's length is the distance to the next offset.
size_t SharedBytes(const ImgRaw &raw) {
  size_t n = 0;
  for (int r = 0; r < raw.tileRows(); ++r)
    for (int c = 0; c < raw.tilesAcross(); ++c) {
      const ImgTileTp *t = raw.tile(c, r);
      for (int i = 0; i < t->h; ++i) {
        const int off = t->lineoff[i] - 1, end = i + 1 < t->h ? t->lineoff[i + 1] - 1 : t->size;
        const int prev = i ? t->lineoff[i - 1] - 1 : 0;
        if (i == 0 || end - off != off - prev ||
            memcmp(t->data + off, t->data + prev, end - off) != 0)
          n += end - off;
      }
    }
  return n;
}

// Rotates and prints the time and how far the heap rose above the larger
// of where it stood before and after (the packed size itself may change).
void Rotate(ImgRaw &raw, int degrees) {
#if BENCH_HEAP
  const int strip_pixels = 128 * (degrees == 90 ? raw.width() : raw.height());
  const size_t before = g_in_use;
  g_peak = g_in_use;
#endif
  Stopwatch t;
  t.start();
  const ReturnTp rc = raw.rotate(degrees);
  t.stop();
  printf("rotate %3d: %.3f s (%.3f s)%s", degrees, t.cpu, t.wall, rc ? " FAILED" : "");
#if BENCH_HEAP
  const size_t base = before > g_in_use ? before : g_in_use;
  printf(", peak heap %.2f MB above the packed raster = %.2f strips of %.2f MB",
         (g_peak - base) / 1e6, double(g_peak - base) / strip_pixels, strip_pixels / 1e6);
#endif
  printf("\n");
}

}  // namespace

int main(int argc, char **argv) {
  bool glyphs = argc > 1 && strcmp(argv[1], "--glyphs") == 0;
  if (glyphs) --argc, ++argv;
  const int w = argc > 2 ? atoi(argv[1]) : 20000, h = argc > 2 ? atoi(argv[2]) : 28000;
  if (w < 1 || h < 1) {
    fprintf(stderr, "usage: bench_imaraw [--glyphs] [width height]\n");
    return 2;
  }
  Drawing drawing(w, h, glyphs);
  std::vector<unsigned char> line(w), back(w);
  std::vector<RgbPixelTp> rgb(w);
  const double mpix = double(w) * h / 1e6;

  ImgRaw raw(w, h, 1, false, ImgInterpUnset, 0, 0);
  if (raw.status()) return 1;
  uint64_t ink = 0;
  Stopwatch put;
  for (int y = 0; y < h; ++y) {
    drawing.Line(y, line.data());
    for (int x = 0; x < w; ++x) ink += line[x] == 0;
    put.start();
    raw.putLine(line.data());
    put.stop();
  }
  const size_t packed = PackedBytes(raw);
  printf("drawing %d x %d%s, 1 byte per pixel (%.1f MB unpacked), ink %.2f%%\n", w, h,
         glyphs ? " with bit-pattern glyphs" : "", mpix, 100.0 * ink / (double(w) * h));
  printf(
      "packed lines %.2f MB = %.2f%% of unpacked; with the tile grid (memory use) %.2f MB = "
      "%.2f%%\n",
      packed / 1e6, 100.0 * packed / (mpix * 1e6), raw.memoryUse() / 1e6,
      100.0 * raw.memoryUse() / (mpix * 1e6));
  printf("(with equal neighbouring tile lines sharing their bytes: %.2f MB = %.2f%%)\n",
         SharedBytes(raw) / 1e6, 100.0 * SharedBytes(raw) / (mpix * 1e6));
#if BENCH_HEAP
  printf("heap in use after filling: %.2f MB\n", g_in_use / 1e6);
#endif
  printf("putLine: %.3f s (%.3f s) = %.0f Mpixel/s\n", put.cpu, put.wall, mpix / put.cpu);

  Stopwatch get;
  get.start();
  for (int y = 0; y < h; ++y) raw.getLine(rgb.data(), y, 0, w, false);
  get.stop();
  printf("getLine: %.3f s (%.3f s) = %.0f Mpixel/s\n", get.cpu, get.wall, mpix / get.cpu);
  Stopwatch packed_get;
  packed_get.start();
  for (int y = 0; y < h; ++y) raw.getPackedLine(line.data(), y, 0, w);
  packed_get.stop();
  printf("getPackedLine: %.3f s (%.3f s) = %.0f Mpixel/s\n", packed_get.cpu, packed_get.wall,
         mpix / packed_get.cpu);

  Rotate(raw, 90);
  printf("after 90: %d x %d, memory use %.2f MB\n", raw.width(), raw.height(),
         raw.memoryUse() / 1e6);
  Rotate(raw, 270);
  int bad = 0;
  for (int y = 0; y < h; y += 97) {
    drawing.Line(y, line.data());
    raw.getPackedLine(back.data(), y, 0, w);
    bad += line != back;
  }
  printf("after 270: %s\n", bad ? "DIFFERS from the drawing" : "equal to the drawing");
  return bad ? 1 : 0;
}
