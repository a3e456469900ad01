// The PBM/PGM/PPM/PAM reader through the image file interface: any bytes
// that start like a netpbm file (or a PostScript status line in front of
// one) are read as one, every line of every page.
#include <cstring>

#include "fuzzinput.h"

namespace {

bool LooksLikePnm(const uint8_t *data, size_t size) {
  return (size >= 1 && data[0] == 'P') || (size >= 3 && memcmp(data, "%%[", 3) == 0);
}

// Identification decides the driver; here the input decides it.
uint32_t ForcePnm(const unsigned char *buffer, int32_t length) {
  if (length >= 2 && buffer[0] == 'P' && buffer[1] == '7') return IFF_TYPE_PAM;
  return IFF_TYPE_PBM;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (EndsTheProgram(data, size) || !LooksLikePnm(data, size)) return 0;
  static bool once = (QuietReports(), IfiIdentifyFn = ForcePnm, true);
  (void)once;
  ReadThroughInterface(data, size, 16);
  return 0;
}
