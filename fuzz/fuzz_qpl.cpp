// The native raw reader through the image file interface: every input
// that starts with the format's letters goes to it, whatever else the
// identification would say, and is read as the viewer reads it: header,
// colour map and the lines.
#include <cstring>

#include "fuzzinput.h"
#include "imagefile.h"

namespace {

void Quiet(ReturnTp) {}

uint32_t ForceQpl(const unsigned char *buffer, int32_t length) {
  return length >= 7 && memcmp(buffer, "QPLMAGE", 7) == 0 ? IFF_TYPE_QPL : IFF_TYPE_UNKNOWN;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (EndsTheProgram(data, size)) return 0;
  static bool once = [] {
    CmnSetErrorHandler(Quiet);
    IfiIdentifyFn = ForceQpl;
    return true;
  }();
  (void)once;
  FuzzFile file(data, size);
  if (!file.ok()) return 0;

  IffFileSpecTp spec = {file.name(), nullptr, 0};
  IffControlBlockTp *cb = nullptr;
  uint32_t type = 0;
  IffParamTp header;
  if (IffInit(nullptr, &cb, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, &type) == 0 &&
      type == IFF_TYPE_QPL && IffRdHead(cb, 0, nullptr, &header) == 0 &&
      (!header.has_cmap || IffRdCMap(cb) == 0)) {
    // Headers may ask for 65535 lines; a bounded part keeps runs short and
    // still crosses bands, text rows and the end of short files.
    const int32_t lines = header.height < 512 ? header.height : 512;
    for (int32_t y = 0; y < lines; ++y)
      if (IffRdScan(cb, 1, y) != 0) break;
  }
  IffTerm(&cb);
  return 0;
}
