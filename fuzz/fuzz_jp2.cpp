// The JP2 file reader through the image file interface: any bytes handed
// to the JPEG 2000 driver, whose codec first walks the JP2 boxes.
#include "fuzzinput.h"

namespace {

uint32_t ForceJ2k(const unsigned char *, int32_t) { return IFF_TYPE_J2K; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (EndsTheProgram(data, size)) return 0;
  static bool once = (QuietReports(), IfiIdentifyFn = ForceJ2k, true);
  (void)once;
  ReadThroughInterface(data, size, 1);
  return 0;
}
