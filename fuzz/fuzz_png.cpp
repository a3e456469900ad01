// The PNG reader and the layout driver through the image file interface:
// bytes that start with the PNG signature are read as a PNG file, anything
// else as a layout file whose Base64 preview is looked for (and read as a
// PNG when found).
#include <cstring>

#include "fuzzinput.h"

namespace {

const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// Identification decides the driver; here the input decides it.
uint32_t ForcePngOrLayout(const unsigned char *buffer, int32_t length) {
  if (length >= 8 && memcmp(buffer, kSignature, 8) == 0) return IFF_TYPE_PNG;
  return IFF_TYPE_LAYOUT;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (EndsTheProgram(data, size)) return 0;
  static bool once = (QuietReports(), IfiIdentifyFn = ForcePngOrLayout, true);
  (void)once;
  ReadThroughInterface(data, size, 1);
  return 0;
}
