// The CATIA raster reader through the image file interface: inputs that
// start like one (in ASCII or EBCDIC) are read as the viewer reads them.
#include "fuzzinput.h"

namespace {

uint32_t ForceCatia(const unsigned char *, int32_t) { return IFF_TYPE_CATIA3; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (EndsTheProgram(data, size)) return 0;
  static bool once = (QuietReports(), IfiIdentifyFn = ForceCatia, true);
  (void)once;
  ReadThroughInterface(data, size, 1);
  return 0;
}
