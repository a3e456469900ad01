// The I-DEAS picture reader, binary and formatted, through the image file
// interface: inputs that identification takes for either variant.
#include "fuzzinput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || EndsTheProgram(data, size)) return 0;
  static bool once = (QuietReports(), true);
  (void)once;
  const uint32_t type = IfiIdentify(data, static_cast<int32_t>(size > 32768 ? 32768 : size));
  if (type != IFF_TYPE_CAEDS_BINARY && type != IFF_TYPE_CAEDS_FORMATTED) return 0;
  ReadThroughInterface(data, size, 1);
  return 0;
}
