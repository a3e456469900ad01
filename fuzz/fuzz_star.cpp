// The StarBase bitmap reader through the image file interface: any bytes
// that start with the StarBase magic are read as one, every line of it.
#include <cstring>

#include "fuzzinput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 11 || memcmp(data, "Bitmapfile", 11) != 0) return 0;
  static bool once = (QuietReports(), true);
  (void)once;
  ReadThroughInterface(data, size, 1);
  return 0;
}
