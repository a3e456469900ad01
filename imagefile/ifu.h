// Conversions between the pixel and byte layouts of file formats and the
// one-byte-per-sample lines of the image file interface, byte order
// helpers, and the generic codec object layer that drives the codecs.
//
// Lines are byte arrays of n pixels. Packed input is read most significant
// bit first unless a function takes a bit order. Sizes below 1 do nothing.
#ifndef PV_IMAGEFILE_IFU_H
#define PV_IMAGEFILE_IFU_H

#include <cstdint>
#include <vector>

#include "cmnerror.h"

// ---- Pixel layouts -------------------------------------------------------

// Changes the bits per sample (1..16) of n samples. Samples of up to 8 bits
// take one byte, wider ones two bytes, most significant first. Reducing
// drops low bits; widening shifts left, except that the largest input value
// becomes the largest output value. in and out may be the same buffer.
ReturnTp IfuConvBPC(int32_t n, int from_bits, int to_bits, const uint8_t *in, uint8_t *out);

// planes (3 or 4) packed rows of (n + 7) / 8 bytes, one after another, to n
// colour indices: bit p of pixel i comes from row p.
ReturnTp IfuPlanesToIndex(int32_t n, int planes, const uint8_t *in, uint8_t *out);
// The reverse for four planes: out receives 4 rows of (n + 7) / 8 bytes.
void IfuIndexToPlanes(int32_t n, const uint8_t *in, uint8_t *out);

// n packed bits to n bytes 0 or 1.
void IfuExpandBits(int32_t n, const uint8_t *in, uint8_t *out);
// The same with chosen byte values for clear and set bits (a bitmap whose
// set bits are black: zero 255, one 0). in and out may be the same buffer.
void IfuExpandBitsAs(int32_t n, const uint8_t *in, uint8_t *out, uint8_t zero, uint8_t one);
// The columns below n at which n packed bits (first pixel in the high bit)
// change value, the first where a 1 bit follows 0 bits: at most n entries.
// Eight bytes are looked at together, so a row costs a step per change.
int32_t IfuBitsToChanges(int32_t n, const uint8_t *in, int32_t *changes);
// Bit 0 of each of n bytes to (n + 7) / 8 packed bytes; the unused low bits
// of the last byte are 0. n is the pixel count, not n + 7.
void IfuPackBits(int32_t n, const uint8_t *in, uint8_t *out);

// In place: n pixels of 1, 2 or 4 bits (8: nothing to do) to one byte
// each; line must hold n bytes. Bit order 0 takes the leftmost pixel from
// the high bits of a byte, 1 from the low bits.
ReturnTp IfuExpandPacked(uint8_t *line, int32_t n, int bits, int bit_order);

// Field `index` of each of n bytes holding 8, 4 or 2 pixels (index 0 is
// the leftmost, most significant field). Put ORs each value into the field.
ReturnTp IfuGetField(int32_t n, int pixels_per_byte, int index, const uint8_t *in, uint8_t *out);
ReturnTp IfuPutField(int32_t n, int pixels_per_byte, int index, const uint8_t *in, uint8_t *out);

// Byte run-length packing of n bytes. kind 1: runs up to 127 marked 0x80 +
// count; kind 2: up to 63, 0xC0 + count; kind 3: up to 31, 0xE0 + count.
// out must hold IFU_RLE_MAXOUT(n) bytes; *out_length gets the bytes written.
#define IFU_RLE_MAXOUT(n) (2 * static_cast<int64_t>(n))
ReturnTp IfuRunLengthEncode(int32_t n, int unit, int kind, int32_t *out_length, const uint8_t *in,
                            uint8_t *out);

// Bit planes and pixels. Planes: `planes` packed rows of (n + 7) / 8 bytes.
// Pixels: one byte each for up to 8 planes, else 3 bytes most significant
// first; plane k is bit k of the pixel value. Planes 1..24.
#define IFU_PLANES_TO_PIXELS 0
#define IFU_PIXELS_TO_PLANES 1
ReturnTp IfuBitPlanes(const uint8_t *in, uint8_t *out, int32_t n, int planes, int direction);

// 4-byte pixels (unused, blue, green, red) to red, green, blue; samples of
// fewer than 8 bits are shifted down by 8 - bits. in and out may coincide.
void IfuBgrxToRgb(int32_t n, int bits, const uint8_t *in, uint8_t *out);
// Red, green, blue to 4 bytes 0, blue, green, red. in and out may coincide.
void IfuRgbToXbgr(int32_t n, const uint8_t *in, uint8_t *out);

// A sample c covered by alpha a (both 0..255) laid over white: colour
// premultiplied by alpha, plus the white left uncovered. Readers of
// pictures with alpha deliver this, as the viewer shows them on a white
// window.
inline uint8_t IfuOverWhite(unsigned c, unsigned a) {
  return static_cast<uint8_t>(c * a / 255 + 255 - a);
}
// n pixels of `channels` samples (2: grey, alpha; 4: red, green, blue,
// alpha) to n pixels of channels - 1 samples laid over white; any other
// count is copied. in and out may coincide.
void IfuAlphaOverWhite(int32_t n, int channels, const uint8_t *in, uint8_t *out);

// In place over `bytes` bytes; an incomplete word or pixel at the end is
// left alone.
void IfuSwap32(void *buffer, int32_t bytes);
void IfuSwap16(void *buffer, int32_t bytes);
void IfuSwapRB(void *buffer, int32_t bytes);
void IfuReverseBits(void *buffer, int32_t bytes);

// Character sets. EBCDIC codes without an ASCII counterpart give 0; ASCII
// characters without an EBCDIC code (and NUL) give 0.
void IfuEbcdicToAscii(const void *in, int32_t n, void *out);
void IfuAsciiToEbcdic(const void *in, int32_t n, void *out);

// ---- Byte order of file fields -------------------------------------------
//
// The one set of readers and writers of 16- and 32-bit fields for drivers
// and codecs alike: whatever the host's order, a field is assembled from
// its bytes, so no file is read through a cast of its buffer.

inline uint16_t IfuGetLe16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint16_t IfuGetBe16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t IfuGetLe32(const uint8_t *p) {
  return static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[1]) << 8 | p[0];
}
inline uint32_t IfuGetBe32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline void IfuPutLe16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void IfuPutBe16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void IfuPutLe32(uint8_t *p, uint32_t v) {
  IfuPutLe16(p, static_cast<uint16_t>(v));
  IfuPutLe16(p + 2, static_cast<uint16_t>(v >> 16));
}
inline void IfuPutBe32(uint8_t *p, uint32_t v) {
  IfuPutBe16(p, static_cast<uint16_t>(v >> 16));
  IfuPutBe16(p + 2, static_cast<uint16_t>(v));
}
// Fields added at the end of a record being built.
inline void IfuAppendBe16(std::vector<uint8_t> *out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v >> 8));
  out->push_back(static_cast<uint8_t>(v));
}
inline void IfuAppendBe32(std::vector<uint8_t> *out, uint32_t v) {
  IfuAppendBe16(out, static_cast<uint16_t>(v >> 16));
  IfuAppendBe16(out, static_cast<uint16_t>(v));
}

// ---- Codec object layer --------------------------------------------------
//
// A codec supplies a table of operations; the layer opens it as a decoder
// or an encoder, holds its parameter record and state, feeds it and
// collects its output. Usage:
//   decoder: IfuCodecOpenDecoder, IfuCodecRead ..., IfuCodecTerm
//   encoder: IfuCodecOpenEncoder, IfuCodecWrite ..., IfuCodecFinish,
//            IfuCodecFetch when no output function was given, IfuCodecTerm

#define IFU_CODEC_BUFSIZE 4096

typedef struct IfuCodecTp IfuCodecTp;

// Caller's input of a decoder: fill at most *length bytes of buffer and set
// *length to the count, 0 at the end of the data. A failure is raised by the
// function itself and returned.
typedef ReturnTp (*IfuCodecInputTp)(void *arg, uint8_t *buffer, int32_t *length);
// Caller's output of an encoder: take the length bytes.
typedef ReturnTp (*IfuCodecOutputTp)(void *arg, const uint8_t *data, int32_t length);

typedef struct IfuCodecOpsTp {
  const char *name;
  // A malloc'ed parameter record holding the defaults, null without memory.
  void *(*create_param)(void);
  // Set up codec->object from codec->param. On failure nothing is left for
  // terminate to free.
  ReturnTp (*init_decoder)(IfuCodecTp *codec);
  ReturnTp (*init_encoder)(IfuCodecTp *codec);
  // Data null and length 0 end the image.
  ReturnTp (*encode)(IfuCodecTp *codec, const uint8_t *data, int32_t length);
  // *length: the buffer's capacity in, the bytes produced out.
  ReturnTp (*decode)(IfuCodecTp *codec, uint8_t *buffer, int32_t *length);
  // Frees codec->object (may be null).
  void (*terminate)(IfuCodecTp *codec);
} IfuCodecOpsTp;

typedef struct IfuCodecListTp {
  IfuCodecTp *first;
  IfuCodecTp *last;
  int32_t count;
} IfuCodecListTp;

struct IfuCodecTp {
  IfuCodecTp *next;
  IfuCodecTp *prev;
  IfuCodecListTp *list;
  const IfuCodecOpsTp *ops;
  int encoder;   // 1 encoder, 0 decoder
  void *object;  // the codec's own state
  void *param;   // parameter record, owned by the layer
  IfuCodecInputTp input;
  IfuCodecOutputTp output;
  void *arg;  // the caller's argument for input / output
  // The layer's buffer: a decoder's input chunk, or an encoder's collected
  // output whose unfetched bytes lie between start and end.
  uint8_t *buffer;
  int32_t size;
  int32_t start;
  int32_t end;
};

// A parameter record with the codec's defaults, to adjust before opening.
ReturnTp IfuCodecCreateParam(const IfuCodecOpsTp *ops, void **param);

// Open a codec into *handle, which must be null. The codec takes over param
// (null: the defaults) also when opening fails. list may be null. A decoder
// reads its input through input in chunks of buffer_size bytes (below 1: the
// default size). Without an output function an encoder's output is kept for
// IfuCodecFetch.
ReturnTp IfuCodecOpenDecoder(IfuCodecListTp *list, const IfuCodecOpsTp *ops, void *param,
                             IfuCodecInputTp input, void *arg, int32_t buffer_size,
                             IfuCodecTp **handle);
ReturnTp IfuCodecOpenEncoder(IfuCodecListTp *list, const IfuCodecOpsTp *ops, void *param,
                             IfuCodecOutputTp output, void *arg, IfuCodecTp **handle);

// Decode into buffer: *length is its capacity in, the bytes produced out.
ReturnTp IfuCodecRead(IfuCodecTp *codec, uint8_t *buffer, int32_t *length);
// Feed length bytes to an encoder.
ReturnTp IfuCodecWrite(IfuCodecTp *codec, const uint8_t *data, int32_t length);
// End the image of an encoder.
ReturnTp IfuCodecFinish(IfuCodecTp *codec);
// Take up to *length bytes of collected encoder output; *length gets the
// count, 0 when nothing is waiting.
ReturnTp IfuCodecFetch(IfuCodecTp *codec, uint8_t *buffer, int32_t *length);
// Terminate the codec, free everything the layer holds for it and set
// *handle to null.
ReturnTp IfuCodecTerm(IfuCodecTp **handle);
// Terminate every codec of a list.
void IfuCodecTermAll(IfuCodecListTp *list);

// For the codecs themselves: the next input chunk (*chunk, count returned
// in *length, 0 at the end), and handing on compressed output.
ReturnTp IfuCodecInput(IfuCodecTp *codec, const uint8_t **chunk, int32_t *length);
ReturnTp IfuCodecOutput(IfuCodecTp *codec, const uint8_t *data, int32_t length);

#endif
