// Format conversion utilities and the codec object layer.
#include "ifu.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#define CMN_SOURCE "ifu"

// Bytes of n packed one-bit pixels.
static size_t PackedBytes(int32_t n) { return (static_cast<size_t>(n) + 7) / 8; }

static uint8_t PixelBit(int32_t i) { return static_cast<uint8_t>(0x80u >> (i & 7)); }

// ---------------------------------------------------------------------------
// Bit depth.

static uint32_t GetSample(const uint8_t *p, size_t i, int wide) {
  return wide ? static_cast<uint32_t>(p[2 * i] << 8 | p[2 * i + 1]) : p[i];
}

static void PutSample(uint8_t *p, size_t i, int wide, uint32_t v) {
  if (wide) {
    p[2 * i] = static_cast<uint8_t>(v >> 8);
    p[2 * i + 1] = static_cast<uint8_t>(v);
  } else {
    p[i] = static_cast<uint8_t>(v);
  }
}

ReturnTp IfuConvBPC(int32_t n, int from_bits, int to_bits, const uint8_t *in, uint8_t *out) {
  if (from_bits < 1 || from_bits > 16 || to_bits < 1 || to_bits > 16)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (from_bits == to_bits) return CmnError(CMN_SOURCE, __LINE__, IFU_E_CONVBPC);
  if (n <= 0) return 0;
  const int in_wide = from_bits > 8, out_wide = to_bits > 8;
  const uint32_t in_max = (1u << from_bits) - 1, out_max = (1u << to_bits) - 1;
  auto convert = [&](size_t i) {
    // Bits above the sample size are noise from the file; dropping them
    // keeps the result within the output size.
    uint32_t v = GetSample(in, i, in_wide) & in_max;
    if (from_bits > to_bits)
      v >>= from_bits - to_bits;
    else
      v = v == in_max ? out_max : v << (to_bits - from_bits);
    PutSample(out, i, out_wide, v);
  };
  // Growing samples in place must start from the end.
  if (out_wide > in_wide) {
    for (size_t i = static_cast<size_t>(n); i-- > 0;) convert(i);
  } else {
    for (size_t i = 0; i < static_cast<size_t>(n); i++) convert(i);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Planes, packed bits and fields.

ReturnTp IfuPlanesToIndex(int32_t n, int planes, const uint8_t *in, uint8_t *out) {
  if (planes != 3 && planes != 4) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const size_t row = PackedBytes(n);
  for (int32_t i = 0; i < n; i++) {
    uint8_t v = 0;
    for (int p = 0; p < planes; p++)
      if (in[p * row + i / 8] & PixelBit(i)) v |= static_cast<uint8_t>(1u << p);
    out[i] = v;
  }
  return 0;
}

void IfuIndexToPlanes(int32_t n, const uint8_t *in, uint8_t *out) {
  if (n <= 0) return;
  const size_t row = PackedBytes(n);
  memset(out, 0, 4 * row);
  for (int32_t i = 0; i < n; i++)
    for (int p = 0; p < 4; p++)
      if (in[i] >> p & 1) out[p * row + i / 8] |= PixelBit(i);
}

// Each byte of packed pixels spread to its 8 / bits pixel bytes, one table
// per depth and bit order: a line is expanded a byte at a time instead of
// a pixel at a time, which is what makes large bilevel pages cheap to read.
namespace {
struct SpreadTables {
  uint64_t t[3][2][256];
  SpreadTables() {
    for (int d = 0; d < 3; d++) {
      const int bits = 1 << d, per = 8 / bits;
      const unsigned mask = (1u << bits) - 1;
      for (int order = 0; order < 2; order++)
        for (unsigned b = 0; b < 256; b++) {
          uint8_t px[8] = {};
          for (int k = 0; k < per; k++)
            px[k] = static_cast<uint8_t>(b >> (order ? bits * k : 8 - bits * (k + 1)) & mask);
          memcpy(&t[d][order][b], px, 8);
        }
    }
  }
};

// n pixels of `bits` from in to bytes of out, each byte value v stored as
// (v x mul) ^ flip, where mul is a byte value and flip repeats one byte
// value in every byte (mul only ever scales 0/1 bytes, so no byte carries
// into the next). Backwards, so that in and out may share their start.
template <int kPer>
void Spread(const uint64_t *table, int32_t n, const uint8_t *in, uint8_t *out, uint64_t mul,
            uint64_t flip) {
  if (n <= 0) return;
  const int32_t full = n / kPer, tail = n % kPer;
  if (tail) {
    const uint64_t w = table[in[full]] * mul ^ flip;
    memcpy(out + static_cast<size_t>(full) * kPer, &w, static_cast<size_t>(tail));
  }
  for (int32_t k = full - 1; k >= 0; k--) {
    const uint64_t w = table[in[k]] * mul ^ flip;
    memcpy(out + static_cast<size_t>(k) * kPer, &w, kPer);
  }
}

const uint64_t *SpreadTable(int bits, int bit_order) {
  static const SpreadTables tables;
  return tables.t[bits == 1 ? 0 : bits == 2 ? 1 : 2][bit_order ? 1 : 0];
}
}  // namespace

void IfuExpandBits(int32_t n, const uint8_t *in, uint8_t *out) {
  Spread<8>(SpreadTable(1, 0), n, in, out, 1, 0);
}

void IfuExpandBitsAs(int32_t n, const uint8_t *in, uint8_t *out, uint8_t zero, uint8_t one) {
  const uint64_t bytes = 0x0101010101010101ull;
  Spread<8>(SpreadTable(1, 0), n, in, out, zero ^ one, zero * bytes);
}

int32_t IfuBitsToChanges(int32_t n, const uint8_t *in, int32_t *changes) {
  // Walks the row 64 bits at a time as one big-endian word, each word xor
  // the colour being passed over, so that the next change is the word's
  // first set bit.
  const size_t bytes = (static_cast<size_t>(std::max(n, 0)) + 7) / 8;
  int32_t count = 0;
  uint64_t flip = 0;  // all ones while inside a run of 1 bits
  for (size_t at = 0; at < bytes; at += 8) {
    uint64_t word = 0;
    if (at + 8 <= bytes) {
      memcpy(&word, in + at, 8);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
      word = __builtin_bswap64(word);
#endif
    } else {
      for (size_t k = at; k < bytes; ++k)
        word |= static_cast<uint64_t>(in[k]) << (56 - 8 * (k - at));
    }
    const int32_t base = static_cast<int32_t>(at * 8);
    uint64_t x = word ^ flip;
    while (x) {
      const int k = __builtin_clzll(x);
      const int32_t column = base + k;
      if (column >= n) return count;
      changes[count++] = column;
      flip = ~flip;
      x = k == 63 ? 0 : (word ^ flip) & (~uint64_t{0} >> (k + 1));
    }
  }
  return count;
}

void IfuPackBits(int32_t n, const uint8_t *in, uint8_t *out) {
  // Each output byte is complete before it is stored, and is stored only
  // after the input bytes at its position were read: in place works.
  for (int64_t k = 0; 8 * k < n; k++) {
    uint8_t byte = 0;
    for (int64_t i = 8 * k; i < n && i < 8 * k + 8; i++)
      if (in[i] & 1) byte |= static_cast<uint8_t>(0x80u >> (i & 7));
    out[k] = byte;
  }
}

ReturnTp IfuExpandPacked(uint8_t *line, int32_t n, int bits, int bit_order) {
  if (bits == 8) return 0;
  if (bits != 1 && bits != 2 && bits != 4) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  // Pixel i comes from byte i / (8 / bits), which is never behind i: going
  // backwards, every source byte is read before its place is overwritten.
  const uint64_t *table = SpreadTable(bits, bit_order);
  if (bits == 1)
    Spread<8>(table, n, line, line, 1, 0);
  else if (bits == 2)
    Spread<4>(table, n, line, line, 1, 0);
  else
    Spread<2>(table, n, line, line, 1, 0);
  return 0;
}

// Shift and mask of a field; 0 when the layout is valid.
static ReturnTp FieldLayout(int pixels_per_byte, int index, int *shift, uint8_t *mask) {
  if (pixels_per_byte != 8 && pixels_per_byte != 4 && pixels_per_byte != 2)
    return CmnError(CMN_SOURCE, __LINE__, IFU_E_PIXPERBYTE);
  if (index < 0 || index >= pixels_per_byte)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const int bits = 8 / pixels_per_byte;
  *shift = 8 - bits * (index + 1);
  *mask = static_cast<uint8_t>((1u << bits) - 1);
  return 0;
}

ReturnTp IfuGetField(int32_t n, int pixels_per_byte, int index, const uint8_t *in, uint8_t *out) {
  int shift;
  uint8_t mask;
  if (ReturnTp rc = FieldLayout(pixels_per_byte, index, &shift, &mask)) return rc;
  for (int32_t i = 0; i < n; i++) out[i] = static_cast<uint8_t>(in[i] >> shift & mask);
  return 0;
}

ReturnTp IfuPutField(int32_t n, int pixels_per_byte, int index, const uint8_t *in, uint8_t *out) {
  int shift;
  uint8_t mask;
  if (ReturnTp rc = FieldLayout(pixels_per_byte, index, &shift, &mask)) return rc;
  // The value is cut to the field so that it cannot spill into neighbours.
  for (int32_t i = 0; i < n; i++) out[i] |= static_cast<uint8_t>((in[i] & mask) << shift);
  return 0;
}

// ---------------------------------------------------------------------------
// Run-length packing.

ReturnTp IfuRunLengthEncode(int32_t n, int unit, int kind, int32_t *out_length, const uint8_t *in,
                            uint8_t *out) {
  uint8_t marker;
  int32_t longest;
  switch (kind) {
    case 1:
      marker = 0x80;
      longest = 127;
      break;
    case 2:
      marker = 0xC0;
      longest = 63;
      break;
    case 3:
      marker = 0xE0;
      longest = 31;
      break;
    default:
      return CmnError(CMN_SOURCE, __LINE__, IFU_E_RLKIND);
  }
  if (unit != 1) return CmnError(CMN_SOURCE, __LINE__, IFU_E_RLUNIT);
  if (n > INT32_MAX / 2) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  // The marker's bits are the high bits of the count byte; a literal with
  // the same high bits would read as a count, so it goes as a run of 1.
  int32_t o = 0;
  for (int32_t i = 0; i < n;) {
    const uint8_t b = in[i];
    int32_t run = 1;
    while (run < longest && i + run < n && in[i + run] == b) run++;
    if (run > 1 || (b & marker) == marker) {
      out[o++] = static_cast<uint8_t>(marker + run);
      out[o++] = b;
    } else {
      out[o++] = b;
    }
    i += run;
  }
  if (out_length) *out_length = o;
  return 0;
}

// ---------------------------------------------------------------------------
// Bit planes.

ReturnTp IfuBitPlanes(const uint8_t *in, uint8_t *out, int32_t n, int planes, int direction) {
  if (planes < 1 || planes > 24) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (direction != IFU_PLANES_TO_PIXELS && direction != IFU_PIXELS_TO_PLANES)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (n <= 0) return 0;
  const size_t row = PackedBytes(n);
  const bool wide = planes > 8;
  if (direction == IFU_PLANES_TO_PIXELS) {
    for (int32_t i = 0; i < n; i++) {
      uint32_t v = 0;
      for (int k = 0; k < planes; k++)
        if (in[k * row + i / 8] & PixelBit(i)) v |= 1u << k;
      if (wide) {
        out[3 * static_cast<size_t>(i)] = static_cast<uint8_t>(v >> 16);
        out[3 * static_cast<size_t>(i) + 1] = static_cast<uint8_t>(v >> 8);
        out[3 * static_cast<size_t>(i) + 2] = static_cast<uint8_t>(v);
      } else {
        out[i] = static_cast<uint8_t>(v);
      }
    }
  } else {
    memset(out, 0, planes * row);
    for (int32_t i = 0; i < n; i++) {
      const size_t at = wide ? 3 * static_cast<size_t>(i) : static_cast<size_t>(i);
      const uint32_t v =
          wide ? static_cast<uint32_t>(in[at] << 16 | in[at + 1] << 8 | in[at + 2]) : in[at];
      for (int k = 0; k < planes; k++)
        if (v >> k & 1) out[k * row + i / 8] |= PixelBit(i);
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Pixel byte layouts, byte order and bit order.

void IfuBgrxToRgb(int32_t n, int bits, const uint8_t *in, uint8_t *out) {
  const int shift = bits >= 1 && bits < 8 ? 8 - bits : 0;
  for (int32_t i = 0; i < n; i++) {
    // All of a pixel is read before its output, which may overlap it, is written.
    const size_t s = 4 * static_cast<size_t>(i), d = 3 * static_cast<size_t>(i);
    const uint8_t b = in[s + 1], g = in[s + 2], r = in[s + 3];
    out[d] = static_cast<uint8_t>(r >> shift);
    out[d + 1] = static_cast<uint8_t>(g >> shift);
    out[d + 2] = static_cast<uint8_t>(b >> shift);
  }
}

void IfuAlphaOverWhite(int32_t n, int channels, const uint8_t *in, uint8_t *out) {
  if (channels != 2 && channels != 4) {
    if (n > 0 && in != out) memmove(out, in, size_t(n) * size_t(channels));
    return;
  }
  const int colours = channels - 1;
  // Forwards: each output pixel ends before its input pixel does.
  for (int32_t i = 0; i < n; ++i, in += channels, out += colours) {
    const unsigned a = in[colours];
    for (int k = 0; k < colours; ++k) out[k] = IfuOverWhite(in[k], a);
  }
}

void IfuRgbToXbgr(int32_t n, const uint8_t *in, uint8_t *out) {
  // Backwards, as the output is wider than the input.
  for (int32_t i = n - 1; i >= 0; i--) {
    const size_t s = 3 * static_cast<size_t>(i), d = 4 * static_cast<size_t>(i);
    const uint8_t r = in[s], g = in[s + 1], b = in[s + 2];
    out[d] = 0;
    out[d + 1] = b;
    out[d + 2] = g;
    out[d + 3] = r;
  }
}

void IfuSwap32(void *buffer, int32_t bytes) {
  uint8_t *p = static_cast<uint8_t *>(buffer);
  for (int32_t i = 0; i + 4 <= bytes; i += 4) {
    uint8_t t = p[i];
    p[i] = p[i + 3];
    p[i + 3] = t;
    t = p[i + 1];
    p[i + 1] = p[i + 2];
    p[i + 2] = t;
  }
}

void IfuSwap16(void *buffer, int32_t bytes) {
  uint8_t *p = static_cast<uint8_t *>(buffer);
  for (int32_t i = 0; i + 2 <= bytes; i += 2) {
    const uint8_t t = p[i];
    p[i] = p[i + 1];
    p[i + 1] = t;
  }
}

void IfuSwapRB(void *buffer, int32_t bytes) {
  uint8_t *p = static_cast<uint8_t *>(buffer);
  for (int32_t i = 0; i + 3 <= bytes; i += 3) {
    const uint8_t t = p[i];
    p[i] = p[i + 2];
    p[i + 2] = t;
  }
}

namespace {

struct ReverseTable {
  uint8_t v[256];
  constexpr ReverseTable() : v() {
    for (int i = 0; i < 256; i++) {
      int r = 0;
      for (int b = 0; b < 8; b++)
        if (i >> b & 1) r |= 0x80 >> b;
      v[i] = static_cast<uint8_t>(r);
    }
  }
};
constexpr ReverseTable kReverse;

// EBCDIC (code page 037 for letters, digits, blank and the usual
// punctuation, plus the variants other EBCDIC pages use for braces,
// brackets, parentheses and digits) to ASCII; codes without an ASCII
// character are 0. The reverse table takes the lowest EBCDIC code of each
// character.
struct EbcdicTables {
  uint8_t to_ascii[256];
  uint8_t to_ebcdic[256];
  constexpr void Set(int code, char c) { to_ascii[code] = static_cast<uint8_t>(c); }
  constexpr void Run(int code, const char *chars) {
    for (int i = 0; chars[i]; i++) Set(code + i, chars[i]);
  }
  constexpr EbcdicTables() : to_ascii(), to_ebcdic() {
    Set(0x40, ' ');
    Run(0x4B, ".<(+|&");
    Run(0x5A, "!$*);");
    Run(0x60, "-/");
    Run(0x6A, "|,%_>?");
    Run(0x79, "`:#@'=\"");
    Run(0x81, "abcdefghi");
    Run(0x91, "jklmnopqr");
    Set(0xA1, '~');
    Run(0xA2, "stuvwxyz");
    Run(0xBA, "[]");
    Set(0xC0, '{');
    Run(0xC1, "ABCDEFGHI");
    Set(0xD0, '}');
    Run(0xD1, "JKLMNOPQR");
    Set(0xE0, '\\');
    Run(0xE2, "STUVWXYZ");
    Run(0xF0, "0123456789");
    Set(0x8B, '{');
    Set(0x9B, '}');
    Set(0x8D, '(');
    Set(0x9D, ')');
    Set(0xAD, '[');
    Set(0xBD, ']');
    Set(0xBF, '-');
    Run(0xB0, "0123456789");
    for (int code = 255; code >= 64; code--)
      if (to_ascii[code]) to_ebcdic[to_ascii[code]] = static_cast<uint8_t>(code);
  }
};
constexpr EbcdicTables kEbcdic;

}  // namespace

void IfuReverseBits(void *buffer, int32_t bytes) {
  uint8_t *p = static_cast<uint8_t *>(buffer);
  for (int32_t i = 0; i < bytes; i++) p[i] = kReverse.v[p[i]];
}

void IfuEbcdicToAscii(const void *in, int32_t n, void *out) {
  const uint8_t *s = static_cast<const uint8_t *>(in);
  uint8_t *d = static_cast<uint8_t *>(out);
  for (int32_t i = 0; i < n; i++) d[i] = kEbcdic.to_ascii[s[i]];
}

void IfuAsciiToEbcdic(const void *in, int32_t n, void *out) {
  const uint8_t *s = static_cast<const uint8_t *>(in);
  uint8_t *d = static_cast<uint8_t *>(out);
  for (int32_t i = 0; i < n; i++) d[i] = kEbcdic.to_ebcdic[s[i]];
}

// ---------------------------------------------------------------------------
// Codec object layer.

static void ListAppend(IfuCodecListTp *list, IfuCodecTp *codec) {
  codec->list = list;
  if (!list) return;
  codec->prev = list->last;
  codec->next = nullptr;
  if (list->last)
    list->last->next = codec;
  else
    list->first = codec;
  list->last = codec;
  list->count++;
}

static void ListRemove(IfuCodecTp *codec) {
  IfuCodecListTp *list = codec->list;
  if (!list) return;
  if (codec->prev)
    codec->prev->next = codec->next;
  else
    list->first = codec->next;
  if (codec->next)
    codec->next->prev = codec->prev;
  else
    list->last = codec->prev;
  list->count--;
  codec->list = nullptr;
  codec->next = codec->prev = nullptr;
}

static void FreeCodec(IfuCodecTp *codec) {
  free(codec->buffer);
  free(codec->param);
  free(codec);
}

ReturnTp IfuCodecCreateParam(const IfuCodecOpsTp *ops, void **param) {
  if (!ops || !param) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *param = ops->create_param ? ops->create_param() : nullptr;
  if (ops->create_param && !*param) return CmnError(CMN_SOURCE, __LINE__, IFU_E_ALLOC_BUFFER);
  return 0;
}

static ReturnTp Open(IfuCodecListTp *list, const IfuCodecOpsTp *ops, void *param, int encoder,
                     IfuCodecInputTp input, IfuCodecOutputTp output, void *arg, int32_t buffer_size,
                     IfuCodecTp **handle) {
  // param is ours from here on, whatever happens.
  std::unique_ptr<void, decltype(&free)> owned_param(param, &free);
  if (!handle) return CmnError(CMN_SOURCE, __LINE__, IFU_E_HANDLE);
  if (*handle) return CmnError(CMN_SOURCE, __LINE__, IFU_E_HANDLE_SET);
  const bool complete = ops && (encoder ? ops->init_encoder && ops->encode
                                        : ops->init_decoder && ops->decode && input);
  if (!complete) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);

  IfuCodecTp *codec = static_cast<IfuCodecTp *>(calloc(1, sizeof(IfuCodecTp)));
  if (!codec) return CmnError(CMN_SOURCE, __LINE__, IFU_E_ALLOC_HANDLE);
  codec->ops = ops;
  codec->encoder = encoder;
  codec->input = input;
  codec->output = output;
  codec->arg = arg;
  codec->param = owned_param.release();
  if (!codec->param && ops->create_param) {
    codec->param = ops->create_param();
    if (!codec->param) {
      FreeCodec(codec);
      return CmnError(CMN_SOURCE, __LINE__, IFU_E_ALLOC_BUFFER);
    }
  }
  // A decoder reads its input in chunks of this size; an encoder without an
  // output function collects its output in a buffer that starts this big.
  if (!encoder || !output) {
    codec->size = buffer_size >= 1 ? buffer_size : IFU_CODEC_BUFSIZE;
    codec->buffer = static_cast<uint8_t *>(malloc(codec->size));
    if (!codec->buffer) {
      FreeCodec(codec);
      return CmnError(CMN_SOURCE, __LINE__, IFU_E_ALLOC_BUFFER);
    }
  }
  // A failing init has raised its own code; it is passed on unchanged.
  if (ReturnTp rc = encoder ? ops->init_encoder(codec) : ops->init_decoder(codec)) {
    FreeCodec(codec);
    return rc;
  }
  ListAppend(list, codec);
  *handle = codec;
  return 0;
}

ReturnTp IfuCodecOpenDecoder(IfuCodecListTp *list, const IfuCodecOpsTp *ops, void *param,
                             IfuCodecInputTp input, void *arg, int32_t buffer_size,
                             IfuCodecTp **handle) {
  return Open(list, ops, param, 0, input, nullptr, arg, buffer_size, handle);
}

ReturnTp IfuCodecOpenEncoder(IfuCodecListTp *list, const IfuCodecOpsTp *ops, void *param,
                             IfuCodecOutputTp output, void *arg, IfuCodecTp **handle) {
  return Open(list, ops, param, 1, nullptr, output, arg, 0, handle);
}

ReturnTp IfuCodecRead(IfuCodecTp *codec, uint8_t *buffer, int32_t *length) {
  if (!codec || codec->encoder) return CmnError(CMN_SOURCE, __LINE__, IFU_E_HANDLE);
  if (!buffer || !length || *length < 1) return CmnError(CMN_SOURCE, __LINE__, IFU_E_BUFFER);
  return codec->ops->decode(codec, buffer, length);
}

ReturnTp IfuCodecWrite(IfuCodecTp *codec, const uint8_t *data, int32_t length) {
  if (!codec || !codec->encoder) return CmnError(CMN_SOURCE, __LINE__, IFU_E_HANDLE);
  if (length < 1) {
    fprintf(stderr, "GOT YOU  sl = %d\n", static_cast<int>(length));
    return CmnError(CMN_SOURCE, __LINE__, IFU_E_BUFFER);
  }
  if (!data) return CmnError(CMN_SOURCE, __LINE__, IFU_E_BUFFER);
  return codec->ops->encode(codec, data, length);
}

ReturnTp IfuCodecFinish(IfuCodecTp *codec) {
  if (!codec || !codec->encoder) return CmnError(CMN_SOURCE, __LINE__, IFU_E_HANDLE);
  return codec->ops->encode(codec, nullptr, 0);
}

ReturnTp IfuCodecFetch(IfuCodecTp *codec, uint8_t *buffer, int32_t *length) {
  if (!codec || !codec->encoder) return CmnError(CMN_SOURCE, __LINE__, IFU_E_HANDLE);
  if (!buffer || !length || *length < 1) return CmnError(CMN_SOURCE, __LINE__, IFU_E_BUFFER);
  const int32_t waiting = codec->end - codec->start;
  const int32_t count = *length < waiting ? *length : waiting;
  if (count > 0) memcpy(buffer, codec->buffer + codec->start, count);
  codec->start += count;
  if (codec->start == codec->end) codec->start = codec->end = 0;
  *length = count;
  return 0;
}

ReturnTp IfuCodecTerm(IfuCodecTp **handle) {
  if (!handle || !*handle) return CmnError(CMN_SOURCE, __LINE__, IFU_E_HANDLE);
  IfuCodecTp *codec = *handle;
  if (codec->ops->terminate) codec->ops->terminate(codec);
  ListRemove(codec);
  FreeCodec(codec);
  *handle = nullptr;
  return 0;
}

void IfuCodecTermAll(IfuCodecListTp *list) {
  if (!list) return;
  while (list->first) {
    IfuCodecTp *codec = list->first;
    IfuCodecTerm(&codec);
  }
}

ReturnTp IfuCodecInput(IfuCodecTp *codec, const uint8_t **chunk, int32_t *length) {
  if (!codec || codec->encoder) return CmnError(CMN_SOURCE, __LINE__, IFU_E_HANDLE);
  if (!chunk || !length) return CmnError(CMN_SOURCE, __LINE__, IFU_E_BUFFER);
  *chunk = codec->buffer;
  *length = codec->size;
  ReturnTp rc = codec->input(codec->arg, codec->buffer, length);
  // The codec trusts this count: never more than the buffer holds.
  if (rc || *length < 0) *length = 0;
  if (*length > codec->size) *length = codec->size;
  return rc;
}

ReturnTp IfuCodecOutput(IfuCodecTp *codec, const uint8_t *data, int32_t length) {
  if (!codec || !codec->encoder) return CmnError(CMN_SOURCE, __LINE__, IFU_E_HANDLE);
  if (length < 0 || (length > 0 && !data)) return CmnError(CMN_SOURCE, __LINE__, IFU_E_BUFFER);
  if (length == 0) return 0;
  if (codec->output) return codec->output(codec->arg, data, length);

  if (length > codec->size - codec->end) {
    // Move the unfetched bytes to the front, then grow if still short.
    const int32_t waiting = codec->end - codec->start;
    memmove(codec->buffer, codec->buffer + codec->start, waiting);
    codec->start = 0;
    codec->end = waiting;
    const int64_t need = static_cast<int64_t>(waiting) + length;
    if (need > codec->size) {
      int64_t size = 2 * static_cast<int64_t>(codec->size);
      if (size < need) size = need;
      if (size > INT32_MAX) size = INT32_MAX;
      uint8_t *grown =
          size >= need ? static_cast<uint8_t *>(realloc(codec->buffer, size)) : nullptr;
      if (!grown) return CmnError(CMN_SOURCE, __LINE__, IFU_E_ALLOC_BUFFER);
      codec->buffer = grown;
      codec->size = static_cast<int32_t>(size);
    }
  }
  memcpy(codec->buffer + codec->end, data, length);
  codec->end += length;
  return 0;
}
