// The JPEG decoder (not written yet: every call says the codec is missing).
#include "jpegint.h"

#define CMN_SOURCE "jpegdec"

ReturnTp JpegInitDecoder(IfuCodecTp *) { return CmnError(CMN_SOURCE, __LINE__, IFF_E_NOT_LINKED); }
ReturnTp JpegDecode(IfuCodecTp *, uint8_t *, int32_t *) { return CmnError(CMN_SOURCE, __LINE__, IFF_E_NOT_LINKED); }
void JpegFreeDecoder(IfuCodecTp *) {}
