// The BMP reader through the image file interface: every input that starts
// with the format's letters goes to it and is read as the viewer reads it:
// header, colour map and the lines (run-length rows and their escapes
// included).
#include <cstring>

#include "fuzzinput.h"

namespace {

uint32_t ForceBmp(const unsigned char *buffer, int32_t length) {
  return length >= 2 && memcmp(buffer, "BM", 2) == 0 ? IFF_TYPE_BMP : IFF_TYPE_UNKNOWN;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2 || memcmp(data, "BM", 2) != 0) return 0;
  static bool once = (QuietReports(), IfiIdentifyFn = ForceBmp, true);
  (void)once;
  ReadThroughInterface(data, size, 1);
  return 0;
}
