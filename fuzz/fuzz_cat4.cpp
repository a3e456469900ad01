// The CATIA V4 picture reader through the image file interface. Inputs
// without the mark that identification looks for get it at offset 96, so
// that every input reaches the reader.
#include <cstring>
#include <vector>

#include "fuzzinput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 101 || EndsTheProgram(data, size)) return 0;
  static bool once = (QuietReports(), true);
  (void)once;
  std::vector<uint8_t> bytes(data, data + size);
  if (IfiIdentify(bytes.data(), static_cast<int32_t>(size > 32768 ? 32768 : size)) !=
      IFF_TYPE_CATIA)
    memcpy(bytes.data() + 96, "PIXEL", 5);
  ReadThroughInterface(bytes.data(), size, 1);
  return 0;
}
