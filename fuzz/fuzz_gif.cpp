// The GIF reader through the image file interface: any bytes that start
// like a GIF are read as one, every row of every image of it.
#include <cstring>

#include "fuzzinput.h"

namespace {

// Identification decides the driver; here the input decides it, so that
// broken signatures reach the driver too.
uint32_t ForceGif(const unsigned char *, int32_t) { return IFF_TYPE_GIF; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (EndsTheProgram(data, size) || size < 4 || memcmp(data, "GIF8", 4) != 0) return 0;
  static bool once = (QuietReports(), IfiIdentifyFn = ForceGif, true);
  (void)once;
  ReadThroughInterface(data, size, 16);
  return 0;
}
