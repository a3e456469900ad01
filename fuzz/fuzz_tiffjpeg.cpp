// JPEG inside TIFF through the image file interface: any bytes that start
// with a TIFF byte-order mark are read as TIFF (the seeds are new-style and
// old-style JPEG files), every line of every page.
#include <cstring>

#include "fuzzinput.h"

namespace {

uint32_t ForceTiff(const unsigned char *, int32_t) { return IFF_TYPE_TIFF; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2 || (memcmp(data, "II", 2) != 0 && memcmp(data, "MM", 2) != 0)) return 0;
  static bool once = (
      QuietReports(), CmnHandleDebug = [](const char *) {}, IfiIdentifyFn = ForceTiff, true);
  (void)once;
  ReadThroughInterface(data, size, 4);
  return 0;
}
