// The native raw reader through the image file interface: every input
// that starts with the format's letters goes to it, whatever else the
// identification would say, and is read as the viewer reads it: header,
// colour map and every line (across bands, text rows and the end of
// short files).
#include <cstring>

#include "fuzzinput.h"

namespace {

uint32_t ForceQpl(const unsigned char *buffer, int32_t length) {
  return length >= 7 && memcmp(buffer, "QPLMAGE", 7) == 0 ? IFF_TYPE_QPL : IFF_TYPE_UNKNOWN;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (EndsTheProgram(data, size)) return 0;
  static bool once = (QuietReports(), IfiIdentifyFn = ForceQpl, true);
  (void)once;
  ReadThroughInterface(data, size, 1);
  return 0;
}
