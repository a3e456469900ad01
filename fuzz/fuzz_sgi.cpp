// The SGI reader through the image file interface: any bytes that start
// with the SGI magic are read as one, every line of it.
#include "fuzzinput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2 || data[0] != 0x01 || data[1] != 0xDA) return 0;
  static bool once = (QuietReports(), true);
  (void)once;
  ReadThroughInterface(data, size, 1);
  return 0;
}
