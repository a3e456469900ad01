// The JPEG codec's glue: the operations table the codec layer drives, the
// parameter defaults, the tables both directions share, and failure reports.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "jpegint.h"

#define CMN_SOURCE "jpeg"

const uint8_t JpegZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

namespace {
char g_last_message[256];
}  // namespace

const char *JpegLastMessage(void) { return g_last_message; }

ReturnTp JpegFail(IfuCodecTp *codec, int err, const char *format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(g_last_message, sizeof g_last_message, format, args);
  va_end(args);
  const bool encoder = codec && codec->encoder;
  // A file that cannot be read is named once, before the reason.
  auto *p = codec ? static_cast<JpegParamTp *>(codec->param) : nullptr;
  if (!encoder && p && p->name && !p->named) {
    p->named = 1;
    CmnDebug(0, "JPEG file %s\n", p->name);
  }
  // The codec's number for the failure is for debugging; a reader's
  // failure reaches the user in the codec's own words.
  CmnDebug(1, "%s %d : err = %d\n", g_last_message, encoder ? 1 : 0, err);
  if (encoder) return CmnError(CMN_SOURCE, __LINE__, IFU_E_INTERNAL);
  return CmnError(CMN_SOURCE, __LINE__, IFU_E_JPEG, g_last_message);
}

namespace {

void *CreateParam() {
  auto *p = static_cast<JpegParamTp *>(calloc(1, sizeof(JpegParamTp)));
  if (!p) return nullptr;
  p->mode = JPEG_BASELINE;
  p->color = JPEG_RGB;
  p->h_samp = 2;
  p->v_samp = 1;
  p->quality = 10;
  p->depth = 8;
  p->ycbcr = 1;
  return p;
}

void Terminate(IfuCodecTp *codec) {
  if (codec->encoder)
    JpegFreeEncoder(codec);
  else
    JpegFreeDecoder(codec);
}

}  // namespace

const IfuCodecOpsTp JpegCodecOps = {"JPEG",     CreateParam, JpegInitDecoder, JpegInitEncoder,
                                    JpegEncode, JpegDecode,  Terminate};

ReturnTp JpegCodingOf(const uint64_t compression[3], JpegCodingTp *coding) {
  *coding = {JPEG_BASELINE, 10, 2, 1};
  switch (compression[0]) {
    case IFF_COMP_NONE:
      return 0;
    case IFF_COMP_JPEG_LOSSLESS:
      coding->mode = JPEG_LOSSLESS;
      break;
    case IFF_COMP_JPEG_BASELINE:
      break;
    case IFF_COMP_JPEG_SEQUENTIAL:
      coding->mode = JPEG_EXTENDED;
      break;
    case IFF_COMP_JPEG_PROGRESSIVE:
      coding->mode = JPEG_PROGRESSIVE;
      break;
    default:
      return IFF_E_WT_HEADER;
  }
  if (coding->mode != JPEG_LOSSLESS) {
    if (compression[1] < 1 || compression[1] > 20) return IFF_E_WT_HEADER;
    coding->quality = static_cast<int32_t>(compression[1]);
  }
  coding->h_samp = compression[2] == IFF_SAMPLING_1X1 ? 1 : 2;
  coding->v_samp = compression[2] == IFF_SAMPLING_2X2 ? 2 : 1;
  return 0;
}

void JpegUseCoding(const JpegCodingTp *coding, JpegParamTp *param) {
  param->mode = coding->mode;
  param->quality = coding->quality;
  param->h_samp = coding->h_samp;
  param->v_samp = coding->v_samp;
}
