// Writes the benchmarks' synthetic drawing as a raw PBM or PGM file on
// standard output, one line at a time.
//   make_drawing pbm|pgm [width height]      (default 20000 x 28000)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "drawing.h"

int main(int argc, char **argv) {
  if (argc < 2 || (strcmp(argv[1], "pbm") != 0 && strcmp(argv[1], "pgm") != 0)) {
    fprintf(stderr, "usage: %s pbm|pgm [width height]\n", argv[0]);
    return 2;
  }
  const bool bits = strcmp(argv[1], "pbm") == 0;
  const int w = argc > 3 ? atoi(argv[2]) : 20000, h = argc > 3 ? atoi(argv[3]) : 28000;
  if (w < 1 || h < 1) return 2;
  Drawing drawing(w, h, false);
  std::vector<unsigned char> line(w), packed((w + 7) / 8);
  printf(bits ? "P4\n%d %d\n" : "P5\n%d %d\n255\n", w, h);
  for (int y = 0; y < h; ++y) {
    drawing.Line(y, line.data());
    if (!bits) {
      fwrite(line.data(), 1, line.size(), stdout);
      continue;
    }
    std::fill(packed.begin(), packed.end(), 0);
    for (int x = 0; x < w; ++x)
      if (line[x] == 0) packed[x >> 3] |= static_cast<unsigned char>(0x80 >> (x & 7));
    fwrite(packed.data(), 1, packed.size(), stdout);
  }
  return 0;
}
