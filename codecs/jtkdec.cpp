// The JPEG 2000 decoder (not written yet: every call fails).
#include "jtkint.h"

#define CMN_SOURCE "jtkdec"

int32_t JtkGetMainHeader(JtkContextTp *context, const uint8_t *, size_t, int32_t, JtkHeaderTp *) {
  return JtkReport(context, "JtkGetMainHeader", JTK_ERROR(JTK_CAT_HEADER, 1));
}

int32_t Jp2Decompress(JtkContextTp *context, const JtkParamTp *, const uint8_t *, size_t,
                      JtkImageTp **) {
  return JtkReport(context, "Jp2Decompress", JTK_ERROR(JTK_CAT_PARAM, 1));
}
