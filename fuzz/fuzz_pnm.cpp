// The PBM/PGM/PPM/PAM reader through the image file interface: any bytes
// that start like a netpbm file (or a PostScript status line in front of
// one) are read as one, every page and a bounded number of lines of each.
#include <cstring>

#include "fuzzinput.h"
#include "imagefile.h"

namespace {

void Quiet(ReturnTp) {}
void QuietInfo(const char *, char **text) { CmnStrFree(text); }

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
  static bool once = [] {
    CmnSetErrorHandler(Quiet);
    CmnSetInfoHandler(QuietInfo);
    IfiIdentifyFn = ForcePnm;
    return true;
  }();
  (void)once;
  FuzzFile file(data, size);
  if (!file.ok()) return 0;

  IffFileSpecTp spec = {file.name(), nullptr, 0};
  IffControlBlockTp *cb = nullptr;
  uint32_t type = 0;
  if (IffInit(nullptr, &cb, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, &type) == 0) {
    for (int page = 0; page < 16; ++page) {
      IffParamTp header;
      if (IffRdHead(cb, 0, nullptr, &header) != 0) break;
      for (char *text : {header.title, header.description, header.pagelist}) free(text);
      // Huge images are legal; a bounded part (256 lines, at most about a
      // million pixels) keeps runs short. Pages left unread are passed
      // over by the next header read.
      int32_t lines = header.height < 256 ? header.height : 256;
      if (header.width > 4096)
        lines = lines < (1 << 20) / header.width ? lines : (1 << 20) / header.width + 1;
      for (int32_t y = 0; y < lines; ++y)
        if (IffRdScan(cb, 1, y) != 0) break;
    }
  }
  IffTerm(&cb);
  return 0;
}
