// The TGA reader through the image file interface: every input whose
// header passes the format's plausibility test goes to it and is read as
// the viewer reads it: header, colour map and the lines (packets that run
// on across rows included).
#include "fuzzinput.h"

namespace {

uint32_t ForceTga(const unsigned char *, int32_t length) {
  return length >= 18 ? IFF_TYPE_TGA : IFF_TYPE_UNKNOWN;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (EndsTheProgram(data, size) || size < 18) return 0;
  static bool once = (QuietReports(), IfiIdentifyFn = ForceTga, true);
  (void)once;
  ReadThroughInterface(data, size, 1);
  return 0;
}
