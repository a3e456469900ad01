// The PCX reader through the image file interface: every input that starts
// with the format's manufacturer byte goes to it, whatever its version, and
// is read as the viewer reads it: header, colour map (the trailing palette
// included) and the lines, runs carried across rows included.
#include "fuzzinput.h"

namespace {

uint32_t ForcePcx(const unsigned char *buffer, int32_t length) {
  return length >= 1 && buffer[0] == 10 ? IFF_TYPE_PCX : IFF_TYPE_UNKNOWN;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || data[0] != 10) return 0;
  static bool once = (QuietReports(), IfiIdentifyFn = ForcePcx, true);
  (void)once;
  ReadThroughInterface(data, size, 1);
  return 0;
}
