// The CALS reader through the image file interface: every input is taken
// for a CALS file (identification would want three records in order) and
// read as the viewer reads it.
#include "fuzzinput.h"

namespace {

uint32_t ForceCals(const unsigned char *, int32_t) { return IFF_TYPE_CALS; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (EndsTheProgram(data, size)) return 0;
  static bool once = (QuietReports(), IfiIdentifyFn = ForceCals, true);
  (void)once;
  ReadThroughInterface(data, size, 1);
  return 0;
}
