// Any bytes through the whole import path: identification, the driver the
// type selects, every header and every line, as the viewer reads a file.
#include <cstdlib>

#include "fuzzinput.h"
#include "imagefile.h"

static void Quiet(ReturnTp) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (EndsTheProgram(data, size)) return 0;
  static bool once = [] {
    CmnSetErrorHandler(Quiet);
    return true;
  }();
  (void)once;
  FuzzFile file(data, size);
  if (!file.ok()) return 0;

  IffFileSpecTp spec = {file.name(), nullptr, 0};
  IffControlBlockTp *cb = nullptr;
  uint32_t type = 0;
  if (IffInit(nullptr, &cb, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, &type) == 0 &&
      type != 0) {
    for (int page = 0; page < 4; ++page) {
      IffParamTp header;
      if (IffRdHead(cb, 0, nullptr, &header) != 0) break;
      for (char **text : {&header.title, &header.description, &header.pagelist}) CmnStrFree(text);
      if (header.has_cmap && IffRdCMap(cb) != 0) break;
      // Huge images are legal; reading a bounded part keeps runs short.
      int32_t lines = header.height < 256 ? header.height : 256;
      for (int32_t y = 0; y < lines; ++y)
        if (IffRdScan(cb, 1, y) != 0) break;
    }
  }
  IffTerm(&cb);
  return 0;
}
