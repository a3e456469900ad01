// Any bytes through the whole import path: identification, the driver the
// type selects, every header and every line, as the viewer reads a file.
#include "fuzzinput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (EndsTheProgram(data, size)) return 0;
  static bool once = (QuietReports(), true);
  (void)once;
  ReadThroughInterface(data, size, 4);
  return 0;
}
