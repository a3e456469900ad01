// The XWD reader through the image file interface: any bytes that
// identification takes for a dump are read as one, with a bounded number
// of lines.
#include "fuzzinput.h"

namespace {

// A TrueColor or DirectColor dump with a zero mask ends the program by
// design; the fuzzer leaves such inputs out rather than report the exit.
bool ZeroMask(const uint8_t *data, size_t size) {
  if (size < 68) return false;
  const uint32_t visual = IfuGetBe32(data + 52);
  return (visual == 4 || visual == 5) &&
         (!IfuGetBe32(data + 56) || !IfuGetBe32(data + 60) || !IfuGetBe32(data + 64));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (EndsTheProgram(data, size) || ZeroMask(data, size)) return 0;
  static bool once = (QuietReports(), true);
  (void)once;
  ReadThroughInterface(data, size, 1, 256);
  return 0;
}
