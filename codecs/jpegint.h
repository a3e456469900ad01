// What the parts of the JPEG codec share: the decoder (jpegdec), the
// encoder (jpegenc) and the glue with its tables and reports (jpeg).
#ifndef PV_CODECS_JPEGINT_H
#define PV_CODECS_JPEGINT_H

#include <cstdint>

#include "jpeg.h"

// JpegZigzag[k]: the position in natural (row-major) order of the k-th
// coefficient in zig-zag order.
extern const uint8_t JpegZigzag[64];

// A codec failure: err is the codec's own error number, format and the
// arguments its message (the codec's diagnostic texts). The message is
// reported with the caller's place, and the handle code for the failure
// is returned (the decoder's "Invalid character", the encoder's "Internal
// error").
ReturnTp JpegFail(IfuCodecTp *codec, int err, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// The codec's operations, chosen by the glue's table.
ReturnTp JpegInitDecoder(IfuCodecTp *codec);
ReturnTp JpegDecode(IfuCodecTp *codec, uint8_t *buffer, int32_t *length);
void JpegFreeDecoder(IfuCodecTp *codec);
ReturnTp JpegInitEncoder(IfuCodecTp *codec);
ReturnTp JpegEncode(IfuCodecTp *codec, const uint8_t *data, int32_t length);
void JpegFreeEncoder(IfuCodecTp *codec);

// The decoder's whole-image coefficient store: 64 coefficients per block in
// 16 KiB buffers (pools of 32 records, at most 128 pools), paged to a
// scratch file beyond JpegMemResidentLimit buffers in memory. A block
// pointer stays valid until four other buffers have been used.
struct JpegMemTp;
extern int32_t JpegMemResidentLimit;
JpegMemTp *JpegMemCreate(IfuCodecTp *codec);
ReturnTp JpegMemReserve(JpegMemTp *mem, int64_t blocks);
int16_t *JpegMemBlock(JpegMemTp *mem, int64_t block, bool write, ReturnTp *rc);
void JpegMemFree(JpegMemTp *mem);

// The text of the codec's last failure (for drivers that print it).
const char *JpegLastMessage(void);

#endif
