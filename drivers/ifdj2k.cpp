// JPEG 2000 files (JP2 boxes or raw codestreams) through the JPEG 2000
// codec: the whole image is decoded on the first row and handed out row by
// row; written images are gathered into planes and coded at the end.
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "codecs.h"
#include "drivers.h"

#define CMN_SOURCE "ifdj2k"

namespace {

struct J2kState {
  IfiHandleTp *handle = nullptr;
  JtkContextTp *context = nullptr;
  int32_t service = 0;
  int32_t jp2 = 1;            // JP2 boxes (type 25 files) or a raw codestream
  int32_t width = 0, height = 0;
  int32_t components = 0;     // 1 or 3
  int32_t depth = 8;          // component precision
  int32_t row_bytes = 0;      // bytes of one delivered or written row
  int32_t next_line = 0;
  // Decoding limits taken from the open request (0: none).
  int32_t reduce = 0, max_layers = 0;
  // Writing: the target rate (bits per pixel, -1 reversible) and layers.
  double rate = -1;
  int32_t layers = 1;
  JtkImageTp *image = nullptr;  // decoded image, or the planes being written
  ~J2kState() {
    JtkFreeImage(&image);
    JtkDestroyContext(&context);
  }
};

}  // namespace

ReturnTp IfdJ2kInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  std::unique_ptr<J2kState> s(new (std::nothrow) J2kState());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  s->service = request->service;
  s->context = JtkCreateContext(nullptr, nullptr);
  if (!s->context) return CmnError(CMN_SOURCE, __LINE__, IFF_E_BAD_HEADER);
  ReturnTp rc = IffOpenDriverStream(request, &s->handle, nullptr, 0);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  *state = s.release();
  return 0;
}

// ---- Reading ----------------------------------------------------------------

ReturnTp IfdJ2kRdHead(void *state, IffParamTp *p) {
  if (!state || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  return CmnError(CMN_SOURCE, __LINE__, IFF_E_NOT_LINKED);
}

ReturnTp IfdJ2kRdScan(void *state, IffParamTp *p) {
  if (!state || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  return CmnError(CMN_SOURCE, __LINE__, IFF_E_NOT_LINKED);
}

// ---- Writing ----------------------------------------------------------------

ReturnTp IfdJ2kWtHead(void *state, IffParamTp *p) {
  if (!state || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  return CmnError(CMN_SOURCE, __LINE__, IFF_E_NOT_LINKED);
}

ReturnTp IfdJ2kWtScan(void *state, IffParamTp *p) {
  if (!state || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  return CmnError(CMN_SOURCE, __LINE__, IFF_E_NOT_LINKED);
}

// ---- Both -------------------------------------------------------------------

ReturnTp IfdJ2kTerm(void **state) { return IffTermDriverState<J2kState>(state); }

const IffFormatTp IfdJ2kFormat = {
    "JPEG2000",
    {{IFF_TYPE_J2K, "JPEG 2000."}},
    0,
    0,
    {IfdJ2kInit, IfdJ2kRdHead, IfdJ2kWtHead, nullptr, nullptr, IfdJ2kRdScan, IfdJ2kWtScan,
     IfdJ2kTerm},
    {{"jp2", IFF_TYPE_J2K, IFF_CM_RGB}, {"j2k", IFF_TYPE_J2K, IFF_CM_RGB}},
    IFF_MODEL_BIT(IFF_CM_RGB) | IFF_MODEL_BIT(IFF_CM_GRAY),
};
