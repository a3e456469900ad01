// Reads every line of a file through the image file interface and prints
// the time taken: the decoder's cost without the conversions and writing
// that pvconvert adds (bench/tiff.sh runs it beside libtiff's tiffcp).
#include <chrono>
#include <cstdio>

#include "imagefile.h"
#include "pvinit.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: bench_tiff <file>\n");
    return 2;
  }
  PvInit(0);
  const auto start = std::chrono::steady_clock::now();
  IffFileSpecTp spec = {argv[1], nullptr, 0};
  IffControlBlockTp *cb = nullptr;
  IffParamTp head = {};
  uint32_t type = 0;
  ReturnTp rc = IffInit(nullptr, &cb, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, &type);
  if (!rc) rc = IffRdHead(cb, 0, nullptr, &head);
  for (int32_t y = 0; !rc && y < head.height; ++y) rc = IffRdScan(cb, 1, y);
  IffTerm(&cb);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("%d x %d read in %.3f s%s\n", head.width, head.height, s, rc ? " (failed)" : "");
  return rc ? 1 : 0;
}
