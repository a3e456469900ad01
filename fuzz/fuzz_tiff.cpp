// The TIFF reader through the image file interface: any bytes that start
// with a TIFF byte-order mark are read as TIFF, every line of every page.
#include <cstring>

#include "fuzzinput.h"

namespace {

bool LooksLikeTiff(const uint8_t *data, size_t size) {
  return size >= 2 && (memcmp(data, "II", 2) == 0 || memcmp(data, "MM", 2) == 0);
}

// Identification decides the driver; here the input decides it.
uint32_t ForceTiff(const unsigned char *, int32_t) { return IFF_TYPE_TIFF; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!LooksLikeTiff(data, size)) return 0;
  static bool once = (QuietReports(), IfiIdentifyFn = ForceTiff, true);
  (void)once;
  ReadThroughInterface(data, size, 8);
  return 0;
}
