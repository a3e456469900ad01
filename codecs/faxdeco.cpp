// The fax decoder: rows of T.4/T.6 coded data to changing elements (the
// positions where the colour changes), and from those to packed rows.
//
// Rows are decoded to runs, never pixel by pixel: the two-dimensional
// decoder works on the changing elements of the reference and the current
// row, and lines are filled from runs with whole-byte stores. Input bits
// sit in a 64-bit accumulator, most significant bit next, refilled eight
// bytes at a time where the chunk allows.
#include <cstdlib>
#include <cstring>

#include "ccitt.h"

#define CMN_SOURCE "faxdeco"

namespace {

// Row results.
constexpr int kRow = 1, kEnd = 0, kInvalid = -1;

struct Decoder {
  FaxParamTp p;
  IfuCodecTp *codec;
  int dimension;  // 1 or 2
  int32_t columns, rowbytes;
  int64_t rows_left;  // -1: until the data ends
  // Bit input.
  uint64_t acc;
  int64_t bits;  // valid bits at the top of acc (not int: row arrays of int32_t would alias it)
  const uint8_t *ptr, *end;
  bool input_done;
  int64_t made_up;  // zero bytes appended after the input ended
  ReturnTp input_rc;
  // Changing elements, each array with a slot before its first entry (the
  // reference's is 0: a vertical-left code at the start of a row looks
  // back to the row's left edge) and room for the end markers.
  int32_t *ref, *cur;
  int32_t *ref_store, *cur_store;
  int32_t count;  // changing elements of the last row
  bool failed;
  bool finished;
  bool damaged;  // the row just decoded met an invalid code and went past it
};

Decoder *Of(IfuCodecTp *codec) { return static_cast<Decoder *>(codec->object); }

// The next chunk of input, bit-reversed in place when the data's first bit
// is the low one (the chunk is the codec layer's buffer, filled for us).
bool NextChunk(Decoder *d) {
  if (d->input_done) return false;
  const uint8_t *chunk = nullptr;
  int32_t length = 0;
  ReturnTp rc = IfuCodecInput(d->codec, &chunk, &length);
  if (rc || length <= 0) {
    d->input_rc = rc;
    d->input_done = true;
    return false;
  }
  if (!d->p.msb_first) {
    uint8_t *bytes = const_cast<uint8_t *>(chunk);
    for (int32_t i = 0; i < length; ++i) bytes[i] = FaxSwap[bytes[i]];
  }
  d->ptr = chunk;
  d->end = chunk + length;
  return true;
}

// Fills the accumulator to at least 57 bits. Past the end of the input
// zeros come in; they are counted, so that running into them is noticed.
void RefillSlow(Decoder *d) {
  while (d->bits <= 56) {
    if (d->ptr == d->end && !NextChunk(d)) {
      d->made_up++;
      d->bits += 8;
      continue;
    }
    d->acc |= static_cast<uint64_t>(*d->ptr++) << (56 - d->bits);
    d->bits += 8;
  }
}

inline void Refill(Decoder *d) {
  if (d->end - d->ptr >= 8) {
    const uint8_t *q = d->ptr;
    const uint64_t w = static_cast<uint64_t>(q[0]) << 56 | static_cast<uint64_t>(q[1]) << 48 |
                       static_cast<uint64_t>(q[2]) << 40 | static_cast<uint64_t>(q[3]) << 32 |
                       static_cast<uint64_t>(q[4]) << 24 | static_cast<uint64_t>(q[5]) << 16 |
                       static_cast<uint64_t>(q[6]) << 8 | q[7];
    // Bits beyond the whole bytes taken are the next bytes' own bits, so
    // OR-ing them in again on the next refill changes nothing.
    d->acc |= w >> d->bits;
    d->ptr += (63 - d->bits) >> 3;
    d->bits |= 56;
  } else {
    RefillSlow(d);
  }
}

inline void Drop(Decoder *d, int n) {
  d->acc <<= n;
  d->bits -= n;
}

// Bits taken from the zeros made up after the input's end.
inline bool UsedUp(const Decoder *d) { return d->input_done && d->made_up * 8 > d->bits; }
// Nothing real is left to decode.
inline bool AtEnd(const Decoder *d) { return d->input_done && d->made_up * 8 >= d->bits; }
// Fewer real bits are left than a code and the look-ahead of its table
// take: an invalid code here is where a cut file stops, not damage.
inline bool NearEnd(const Decoder *d) { return d->input_done && d->bits - d->made_up * 8 < 24; }

inline bool NextIsEol(const Decoder *d) { return (d->acc >> 52) == 1; }

// One run of a colour with its make-up codes: the length, or -2 for an
// invalid code, -3 for an end of line (left unread).
int32_t DecodeRun(Decoder *d, bool white) {
  int32_t total = 0;
  for (;;) {
    if (d->bits < 16) Refill(d);
    FaxCodeTp e = (white ? FaxWhite0 : FaxBlack0)[d->acc >> 56];
    if (e.run == -1) {
      if (NextIsEol(d)) return -3;
      Drop(d, white ? 1 : 4);
      e = (white ? FaxWhite1 : FaxBlack4)[d->acc >> 56];
      if (e.run == -1) {
        Drop(d, white ? 3 : 2);
        e = (white ? FaxWhite4 : FaxBlack6)[d->acc >> 56];
      }
    }
    if (e.run < 0) return e.run == -3 ? -3 : -2;
    Drop(d, e.length);
    total += e.run;
    if (e.run < 64) return total;
    if (total > d->columns) return -2;
  }
}

// Skips to just after the next end of line, as a decoder that has lost
// its place would: up to eleven zero bits in a row, then the 1 that ends
// them (fill bits before an EOL are zeros too). False when the data ends.
bool SkipEol(Decoder *d) {
  for (;;) {
    if (d->bits < 16) Refill(d);
    if ((d->acc >> 53) == 0) break;
    Drop(d, 1);
    if (UsedUp(d)) return false;
  }
  for (;;) {
    if (d->bits < 16) Refill(d);
    if (d->acc >> 56) break;
    Drop(d, 8);
    if (UsedUp(d)) return false;
  }
  while (!(d->acc >> 63)) Drop(d, 1);
  Drop(d, 1);
  return !UsedUp(d);
}

void AlignToByte(Decoder *d) { Drop(d, d->bits & 7); }

// The changing elements of a one-dimensional row into d->cur.
int DecodeRow1D(Decoder *d) {
  int32_t *cur = d->cur;
  const int32_t columns = d->columns;
  int32_t a0 = 0, n = 0;
  bool white = true;
  while (a0 < columns) {
    const int32_t run = DecodeRun(d, white);
    if (run == -3) break;  // a row cut short by an end of line: the rest is white
    d->count = n;          // what an invalid code leaves of the row
    if (run < 0) return kInvalid;
    a0 += run;
    if (a0 > columns || n > columns) return kInvalid;
    cur[n++] = a0;
    white = !white;
  }
  d->count = n;
  return kRow;
}

// The changing elements of a row coded against the reference row.
int DecodeRow2D(Decoder *d) {
  const int32_t *ref = d->ref;
  int32_t *cur = d->cur;
  const int32_t columns = d->columns;
  const int32_t limit = columns + 1;  // most changes a row can hold
  int32_t a0 = 0, n = 0, pb = 0;
  int32_t b1 = ref[0];
  int color = 0;  // of the run at a0: 0 white, 1 black
  bool start = true;
  while (a0 < columns) {
    if (d->bits < 32) Refill(d);
    const FaxCodeTp m = FaxModes[d->acc >> 56];
    d->count = n;  // what an invalid code leaves of the row
    const bool at_start = start;
    if (!start) {
      // b1: the first change of the reference row after a0 to the colour
      // opposite a0's; pb keeps the parity of that colour. a0 is inside the
      // row here, so the end markers stop the search.
      while (b1 <= a0) {
        pb += 2;
        b1 = ref[pb];
      }
    }
    start = false;
    if (m.run >= FAX_V0) {
      // Vertical modes, the bulk of a drawing's codes, without a branch per
      // offset: a1 = b1 + offset; the next b1 lies after this one, or for a
      // code to the left possibly at the reference change just before it.
      static const int8_t kOffset[9] = {0, 0, 0, 1, 2, 3, -1, -2, -3};
      static const int8_t kStep[9] = {0, 0, 1, 1, 1, 1, -1, -1, -1};
      const int32_t a1 = b1 + kOffset[m.run];
      Drop(d, m.length);
      if (a1 < a0 || a1 > columns || n >= limit) return kInvalid;
      cur[n++] = a1;
      a0 = a1;
      color ^= 1;
      pb += kStep[m.run];
      b1 = ref[pb];
      continue;
    }
    switch (m.run) {
      case FAX_PASS: {
        Drop(d, m.length);
        a0 = ref[pb + 1];
        pb += 2;
        b1 = ref[pb];
        continue;
      }
      case FAX_HORIZONTAL: {
        Drop(d, m.length);
        const int32_t r1 = DecodeRun(d, color == 0);
        if (r1 < 0) return r1 == -3 ? (d->count = n, kRow) : kInvalid;
        const int32_t r2 = DecodeRun(d, color != 0);
        if (r2 < 0) return kInvalid;
        const int32_t a2 = a0 + r1 + r2;
        if (a2 > columns || n >= limit) return kInvalid;
        cur[n++] = a0 + r1;
        cur[n++] = a2;
        a0 = a2;
        continue;
      }
      default:
        // An end of line inside a row (Group 3) ends it; the rest is white.
        if (d->dimension == 2 && d->p.end_of_line && NextIsEol(d)) {
          d->count = n;
          return kRow;
        }
        // Without end-of-line codes there is no place to start again: an
        // invalid mode code costs one byte, and the row goes on from there
        // (the end of the block excepted).
        if (d->p.end_of_line || (d->acc >> 40) == EOFB.code || NearEnd(d)) return kInvalid;
        Drop(d, 8);
        if (NearEnd(d)) return kInvalid;
        d->damaged = true;
        start = at_start;
        continue;
    }
  }
  d->count = n;
  return kRow;
}

// The next row into d->cur (and d->count); the last row becomes the
// reference of the next.
int DecodeRow(Decoder *d) {
  if (d->finished) return kEnd;
  if (d->rows_left == 0) {
    d->finished = true;
    return kEnd;
  }
  int result;
  d->damaged = false;
  if (d->p.end_of_line) {
    if (AtEnd(d) || !SkipEol(d)) {
      d->finished = true;
      return kEnd;
    }
    if (d->bits < 16) Refill(d);
    // Another end of line right away (after the tag bit of a 2-D row)
    // ends the page (RTC, EOFB): no row starts with eleven zeros.
    if (((d->dimension == 2 ? d->acc << 1 : d->acc) >> 53) == 0) {
      d->finished = true;
      return kEnd;
    }
    bool one_dimensional = true;
    if (d->dimension == 2) {
      one_dimensional = d->acc >> 63;
      Drop(d, 1);
    }
    result = one_dimensional ? DecodeRow1D(d) : DecodeRow2D(d);
  } else {
    if (AtEnd(d)) {
      d->finished = true;
      return kEnd;
    }
    result = d->dimension == 1 ? DecodeRow1D(d) : DecodeRow2D(d);
    if (result == kRow && (d->dimension == 1 || d->p.byte_align)) AlignToByte(d);
    if (result == kInvalid && d->dimension == 2 && !UsedUp(d)) {
      if (d->bits < 32) Refill(d);
      if ((d->acc >> 40) == EOFB.code) {  // the end of the block
        d->finished = true;
        return kEnd;
      }
    }
  }
  // With end-of-line codes a damaged row keeps what was decoded of it, and
  // the next row starts at the next end of line.
  if (result == kInvalid && d->p.end_of_line && !NearEnd(d)) {
    d->damaged = true;
    result = kRow;
  }
  if (result == kInvalid || UsedUp(d)) {
    d->finished = true;
    if (!NearEnd(d)) {
      d->failed = true;
      fprintf(stderr, "Invalid code encountered\n");
      return kInvalid;
    }
    return kEnd;  // the data stop inside this row
  }
  // Changes at the row end say nothing; after the last change the end
  // markers follow (a row ending in black ends at the row end).
  int32_t *cur = d->cur;
  int32_t n = d->count;
  while (n > 0 && cur[n - 1] >= d->columns) --n;
  d->count = n;
  for (int i = 0; i < 4; ++i) cur[n + i] = d->columns;
  int32_t *swap = d->ref;
  d->ref = d->cur;
  d->cur = swap;
  if (d->rows_left > 0) d->rows_left--;
  return kRow;
}

// Sets (or clears) bits [from, to) of a packed row.
inline void PaintRun(uint8_t *row, int32_t from, int32_t to, bool set) {
  int32_t first = from >> 3, last = (to - 1) >> 3;
  const uint8_t head = static_cast<uint8_t>(0xFF >> (from & 7));
  const uint8_t tail = static_cast<uint8_t>(0xFF << (7 - ((to - 1) & 7)));
  if (first == last) {
    const uint8_t mask = head & tail;
    row[first] = set ? row[first] | mask : row[first] & ~mask;
    return;
  }
  row[first] = set ? row[first] | head : row[first] & ~head;
  if (last > first + 1) memset(row + first + 1, set ? 0xFF : 0x00, last - first - 1);
  row[last] = set ? row[last] | tail : row[last] & ~tail;
}

}  // namespace

void FaxFillRow(uint8_t *row, int32_t columns, const int32_t *changes, int32_t count,
                int black_is_one) {
  const int32_t rowbytes = (columns + 7) / 8;
  const bool set = black_is_one != 0;
  memset(row, set ? 0x00 : 0xFF, rowbytes);
  for (int32_t i = 0; i < count; i += 2) {
    const int32_t from = changes[i];
    int32_t to = i + 1 < count ? changes[i + 1] : columns;
    if (to > columns) to = columns;
    if (to > from) PaintRun(row, from, to, set);
  }
}

ReturnTp FaxInitDecoder(IfuCodecTp *codec) {
  const FaxParamTp *p = static_cast<const FaxParamTp *>(codec->param);
  if (!p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const int dimension = p->mode == FAX_MODE_G3_1D || p->mode == FAX_MODE_MH   ? 1
                        : p->mode == FAX_MODE_G3_2D || p->mode == FAX_MODE_G4 ? 2
                                                                              : 0;
  if (p->end_of_line != 0 && p->end_of_line != 1) {
    fprintf(stderr, "end_of_line must be either TRUE or FALSE\n");
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  }
  if (dimension == 0) {
    fprintf(stderr, "Dimension must be either 1 or 2\n");
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  }
  if (p->columns < 1 || p->columns > (1 << 24) || p->rows < 0)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  Decoder *d = static_cast<Decoder *>(calloc(1, sizeof(Decoder)));
  const size_t slots = static_cast<size_t>(p->columns) + 8;
  if (d) {
    d->ref_store = static_cast<int32_t *>(malloc(slots * sizeof(int32_t)));
    d->cur_store = static_cast<int32_t *>(malloc(slots * sizeof(int32_t)));
  }
  if (!d || !d->ref_store || !d->cur_store) {
    if (d) {
      free(d->ref_store);
      free(d->cur_store);
      free(d);
    }
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  d->p = *p;
  d->codec = codec;
  d->dimension = dimension;
  d->columns = p->columns;
  d->rowbytes = (p->columns + 7) / 8;
  d->rows_left = p->rows > 0 ? p->rows : -1;
  d->ref = d->ref_store + 1;
  d->cur = d->cur_store + 1;
  d->ref_store[0] = d->cur_store[0] = 0;
  // An all-white reference row before the first.
  for (int i = 0; i < 4; ++i) d->ref[i] = d->columns;
  codec->object = d;
  return 0;
}

void FaxFreeDecoder(IfuCodecTp *codec) {
  Decoder *d = Of(codec);
  if (!d) return;
  free(d->ref_store);
  free(d->cur_store);
  free(d);
  codec->object = nullptr;
}

ReturnTp FaxDecodeRowChanges(IfuCodecTp *codec, const int32_t **changes, int32_t *count,
                             int32_t *failed) {
  if (!codec || codec->encoder || !codec->object || codec->ops != &FaxCodecOps)
    return CmnError(CMN_SOURCE, __LINE__, IFU_E_HANDLE);
  Decoder *d = Of(codec);
  const int r = DecodeRow(d);
  // The row just decoded is the reference now.
  *changes = d->ref;
  *count = r == kRow ? d->count : -1;
  if (failed) *failed = r == kRow ? (d->damaged ? 2 : 0) : d->failed;
  return r == kRow ? 0 : d->input_rc;
}

ReturnTp FaxDecode(IfuCodecTp *codec, uint8_t *buffer, int32_t *length) {
  Decoder *d = Of(codec);
  if (!d) return CmnError(CMN_SOURCE, __LINE__, IFU_E_HANDLE);
  if (fax_debug) fprintf(stderr, "C FaxDecodeRun : target_len = %d\n", static_cast<int>(*length));
  const int32_t capacity = *length;
  if (capacity < d->rowbytes) return CmnError(CMN_SOURCE, __LINE__, IFU_E_BUFFER);
  int32_t produced = 0;
  while (capacity - produced >= d->rowbytes && DecodeRow(d) == kRow) {
    FaxFillRow(buffer + produced, d->columns, d->ref, d->count, d->p.black_is_one);
    produced += d->rowbytes;
  }
  *length = produced;
  if (fax_debug) fprintf(stderr, "R FaxDecodeRun : target_len = %d\n", static_cast<int>(*length));
  return produced ? 0 : d->input_rc;
}
