// Identification over arbitrary bytes. The input is copied into a buffer of
// exactly its size so that any read past the length given is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "imagefile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 65536) return 0;  // identification sees at most 32768 bytes
  std::unique_ptr<unsigned char[]> buf(new unsigned char[size]);
  if (size) memcpy(buf.get(), data, size);
  IfiIdentifyChecked(buf.get(), static_cast<int32_t>(size));
  do_valid_lay = 1;
  IfiIdentify(buf.get(), static_cast<int32_t>(size));
  do_valid_lay = 0;
  return 0;
}
