// The PCX reader through the image file interface: every input that starts
// with the format's manufacturer byte goes to it, whatever its version, and
// is read as the viewer reads it: header, colour map (the trailing palette
// included) and the lines, runs carried across rows included. DCX files
// (pages of PCX) go to it too, three pages at most.
#include <algorithm>
#include <cstring>

#include "fuzzinput.h"

namespace {

bool PcxOrDcx(const unsigned char *buffer, size_t length) {
  return (length >= 1 && buffer[0] == 10) ||
         (length >= 4 && memcmp(buffer, "\xB1\x68\xDE\x3A", 4) == 0);
}

uint32_t ForcePcx(const unsigned char *buffer, int32_t length) {
  return PcxOrDcx(buffer, static_cast<size_t>(std::max(length, 0))) ? IFF_TYPE_PCX
                                                                    : IFF_TYPE_UNKNOWN;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!PcxOrDcx(data, size)) return 0;
  static bool once = (QuietReports(), IfiIdentifyFn = ForcePcx, true);
  (void)once;
  ReadThroughInterface(data, size, 3);
  return 0;
}
