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

// The decoder's messages: X(name, number, text), the text a format for
// the message's arguments. Several texts may share a number (the kind of
// fault). Numbers and texts are the messages users see: they stay as they
// are, spelling and all.
#define JPEG_DECODER_MESSAGES(X)                                                                   \
  X(kDecNotStarted, 0, "Call to init_decompression expected")                                      \
  X(kDecAfterFailure, 0, "Please Check Return Codes, IfcJPEG has previously returned an error !!") \
  X(kDecNotJpeg, 1, "Not JPEG data stream")                                                        \
  X(kDecUnexpectedMarker, 2, "Unexpected marker 0x%02x in JPEG stream")                            \
  X(kDecNoMarker, 3, "Expected 0xFF")                                                              \
  X(kDecBadLength, 4, "Header length field invalid.")                                              \
  X(kDecQuantNumber, 5, "Invalid quantization matrix: no=%d>3")                                    \
  X(kDecHuffClass, 6, "Invalid opcode in Huffman table specification")                             \
  X(kDecHuffOverrun, 7, "Overrun in Huffman code-tree")                                            \
  X(kDecFrameType, 8, "Frame not supported: 0x%02x")                                               \
  X(kDecArithmetic, 8, "JPEG arithmetic coding is not supported")                                  \
  X(kDecLosslessPrecision, 9, "Invalid precision for lossless: %d")                                \
  X(kDecPrecision, 9, "Invalid precision: %d")                                                     \
  X(kDecComponents, 10, "Illegal conversion: # of components")                                     \
  X(kDecZeroWidth, 11, "Xsize = 0 in component %d")                                                \
  X(kDecComponentTwice, 12, "Component %d (%c) defined twice")                                     \
  X(kDecHSampling, 13, "Hoz. sampling rate = %d > 4, Component=%d")                                \
  X(kDecVSampling, 13, "Ver. sampling rate = %d > 4, Component=%d")                                \
  X(kDecNoFrame, 14, "Frame marker expected")                                                      \
  X(kDecScanComponents, 15, "Illegal # of components in scan")                                     \
  X(kDecUnknownComponent, 16, "Component ID not found: %d (%c)")                                   \
  X(kDecTableNumber, 17, "Scan no:%d. Td or Ta number to big")                                     \
  X(kDecMcuBlocks, 18, "Scan no:%d. Blocks in MDU is %d > 10")                                     \
  X(kDecPredictor, 19, "Illegal predictor")                                                        \
  X(kDecOutOfBlock, 20, "Out of block position=%d>%d")                                             \
  X(kDecSequentialStart, 21, "Scan no:%d. Z1 != 0 in non progressive mode")                        \
  X(kDecSequentialEnd, 21, "Scan no:%d. Z2 != 63 in non progressive mode")                         \
  X(kDecSequentialBits, 21, "Scan no:%d. slice_min != 0 in non progressive mode")                  \
  X(kDecQuantUndefined, 22, "Quantization table %d used but not defined")                          \
  X(kDecSpectralEnd, 23, "Scan no:%d. Z2=%d > 63")                                                 \
  X(kDecSpectralOrder, 23, "Scan no:%d. Z1=%d > Z2=%d")                                            \
  X(kDecDcWithAc, 23, "Scan no:%d. DC mixed with AC (Z1=0,Z2!=0)")                                 \
  X(kDecAcComponents, 23, "Scan no:%d. Only 1 component for AC scan in progressive")               \
  X(kDecSuccessiveBits, 23, "Scan no:%d. sl_prev_min - slice_min != 1")                            \
  X(kDecBitOverlap, 24, "Scan no:%d. CNO[%d]=%d (%c) Z=%d: Bit %d overlap previous")               \
  X(kDecBitGap, 24, "Scan no:%d. CNO[%d]=%d (%c) Z=%d: No scan for bit %d above current")          \
  X(kDecNoHuffTable, 25, "Statistic missing.")                                                     \
  X(kDecScanMissing, 26, "Scan missing for CNO=%d Z=%d Bit=%d")                                    \
  X(kDecEndBeforeFrame, 27, "Frame marker expected")                                               \
  X(kDecEndBeforeScan, 27, "Start of scan expected")                                               \
  X(kDecLosslessLimit, 28, "LOSSLESS implementation limit")                                        \
  X(kDecDataEnds, 29, "JPEG data ends at row %d of %d")                                            \
  X(kDecTooManyWarnings, 30, "Too many warnings")                                                  \
  X(kDecFewBuffers, 40, "To few 16K buffers")                                                      \
  X(kDecPoolLimit, 41, "Max no of pools allocated")                                                \
  X(kDecNoMemory, 42, "get_mem failed")                                                            \
  X(kDecUnallocated, 43, "Wanted non allocated buffer")                                            \
  X(kDecPageRead, 44, "16K buffer read failed")                                                    \
  X(kDecPageFile, 45, "map_mem failed. Reason:%d")                                                 \
  /* end */

#define JPEG_MESSAGE_NAME(name, number, text) name,
enum JpegDecMsgTp { JPEG_DECODER_MESSAGES(JPEG_MESSAGE_NAME) };
#undef JPEG_MESSAGE_NAME

struct JpegDecMsgTextTp {
  int number;
  const char *text;
};
#define JPEG_MESSAGE_ROW(name, number, text) {number, text},
constexpr JpegDecMsgTextTp kJpegDecMessages[] = {JPEG_DECODER_MESSAGES(JPEG_MESSAGE_ROW)};
#undef JPEG_MESSAGE_ROW

// A decoder message by name: JpegFail(codec, kDecBadLength) for a text
// without fields, JPEG_FAIL(codec, kDecUnexpectedMarker, code) for one
// with them (a macro, so that the compiler still checks the arguments
// against the text).
inline ReturnTp JpegFail(IfuCodecTp *codec, JpegDecMsgTp message) {
  return JpegFail(codec, kJpegDecMessages[message].number, "%s", kJpegDecMessages[message].text);
}
#define JPEG_FAIL(codec, message, ...) \
  JpegFail(codec, kJpegDecMessages[message].number, kJpegDecMessages[message].text, __VA_ARGS__)

// The codec's operations, chosen by the glue's table.
ReturnTp JpegInitDecoder(IfuCodecTp *codec);
ReturnTp JpegDecode(IfuCodecTp *codec, uint8_t *buffer, int32_t *length);
void JpegFreeDecoder(IfuCodecTp *codec);
ReturnTp JpegInitEncoder(IfuCodecTp *codec);
ReturnTp JpegEncode(IfuCodecTp *codec, const uint8_t *data, int32_t length);
void JpegFreeEncoder(IfuCodecTp *codec);

// The decoder's whole-image coefficient store: 64 coefficients per block
// (or the DC term alone, when only that is shown) in 16 KiB buffers,
// paged to a scratch file beyond JpegMemResidentLimit buffers in memory.
// Records of 32 buffers are made as their buffers are first written, and a
// block never written reads as zeros from no memory: the store follows the
// data read, not the frame's size. A block pointer stays valid until four
// other buffers have been used.
struct JpegMemTp;
extern int32_t JpegMemResidentLimit;
JpegMemTp *JpegMemCreate(IfuCodecTp *codec);
ReturnTp JpegMemReserve(JpegMemTp *mem, int64_t blocks, int32_t per_block);
int16_t *JpegMemBlock(JpegMemTp *mem, int64_t block, bool write, ReturnTp *rc);
void JpegMemFree(JpegMemTp *mem);

// The text of the codec's last failure (for drivers that print it).
const char *JpegLastMessage(void);

#endif
