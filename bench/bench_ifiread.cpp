// Reads a file sequentially through the file I/O layer in items of a given
// size and prints the throughput and the largest the read-ahead buffer grew.
//   bench_ifiread FILE [item-bytes]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "imagefile.h"

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s FILE [item-bytes]\n", argv[0]);
    return 2;
  }
  size_t item = argc > 2 ? strtoul(argv[2], nullptr, 10) : 65536;
  if (item == 0) item = 65536;
  // Only the file's own bytes count: identification finds nothing here.
  IfiIdentifyFn = [](const unsigned char *, int32_t) -> uint32_t { return 0; };

  IffFileSpecTp spec = {argv[1], nullptr, 0};
  IfiHandleTp *handle = nullptr;
  auto start = std::chrono::steady_clock::now();
  if (IfiOpenRead(nullptr, &spec, &handle) != 0) return 1;
  std::vector<unsigned char> buf(item);
  size_t peak = handle->buffer.capacity();
  uint64_t total = 0;
  CmnFilterOn(CMN_SEV_ERROR | CMN_SEV_INTERNAL);
  // Whole items only: give the file a size that is a multiple of the item.
  for (;;) {
    if (IfiRead(buf.data(), item, 1, handle) != 0) break;
    total += item;
    if (handle->buffer.capacity() > peak) peak = handle->buffer.capacity();
  }
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  IfiClose(handle);
  printf("ifiread: %llu bytes in %.3f s = %.1f MiB/s, read-ahead buffer peak %.2f MiB\n",
         static_cast<unsigned long long>(total), seconds, total / seconds / 1048576.0,
         peak / 1048576.0);
  return 0;
}
