// The XWD reader through the image file interface: any bytes that
// identification takes for a dump are read as one, every line of it.
#include "fuzzinput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (EndsTheProgram(data, size)) return 0;
  static bool once = (QuietReports(), true);
  (void)once;
  ReadThroughInterface(data, size, 1);
  return 0;
}
