// The JPEG encoder (not written yet: every call says the codec is missing).
#include "jpegint.h"

#define CMN_SOURCE "jpegenc"

ReturnTp JpegInitEncoder(IfuCodecTp *) { return CmnError(CMN_SOURCE, __LINE__, IFF_E_NOT_LINKED); }
ReturnTp JpegEncode(IfuCodecTp *, const uint8_t *, int32_t) { return CmnError(CMN_SOURCE, __LINE__, IFF_E_NOT_LINKED); }
void JpegFreeEncoder(IfuCodecTp *) {}
