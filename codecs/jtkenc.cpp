// The JPEG 2000 encoder (not written yet: every call fails).
#include "jtkint.h"

#define CMN_SOURCE "jtkenc"

int32_t Jp2Compress(JtkContextTp *context, const JtkParamTp *, const JtkImageTp *, JtkWriteTp,
                    void *) {
  return JtkReport(context, "Jp2Compress", JTK_ERROR(JTK_CAT_COMPRESS, 1));
}
