// TIFF's PackBits coding (runs of up to 128 bytes, byte-aligned rows),
// and the horizontal differencing (Predictor 2) that LZW and PackBits data
// may carry, undone after decoding.
#include <algorithm>
#include <cstring>
#include <vector>

#include "tiffint.h"

#define CMN_SOURCE "tifpack"

namespace {

// Codes are at most 128 bytes: filled and copied by 16 bytes at a time
// (the last 16 overlapping), not by a string instruction whose start-up
// costs more than such a run.
typedef uint8_t Bytes16 __attribute__((vector_size(16)));

inline void FillShort(uint8_t *o, uint8_t v, int32_t k) {
  if (k >= 16) {
    Bytes16 w;
    for (int i = 0; i < 16; ++i) w[i] = v;
    for (int32_t i = 0; i + 16 < k; i += 16) memcpy(o + i, &w, 16);
    memcpy(o + k - 16, &w, 16);
  } else {
    for (int32_t i = 0; i < k; ++i) o[i] = v;
  }
}

inline void CopyShort(uint8_t *o, const uint8_t *from, int32_t k) {
  if (k >= 16) {
    Bytes16 w;
    for (int32_t i = 0; i + 16 < k; i += 16) {
      memcpy(&w, from + i, 16);
      memcpy(o + i, &w, 16);
    }
    memcpy(&w, from + k - 16, 16);
    memcpy(o + k - 16, &w, 16);
  } else {
    for (int32_t i = 0; i < k; ++i) o[i] = from[i];
  }
}

size_t PackBitsProduce(TiffState *s, uint8_t *out, size_t n) {
  TiffPackBitsState &p = s->packbits;
  TiffInput &in = s->in;
  size_t done = 0;
  while (done < n) {
    if (p.repeat > 0) {
      const size_t k = std::min(n - done, static_cast<size_t>(p.repeat));
      memset(out + done, p.value, k);
      done += k;
      p.repeat -= static_cast<int32_t>(k);
      continue;
    }
    if (in.at >= in.end && TiffRefill(s) == 0) break;
    if (p.literal == 0) {
      // Whole codes in the chunk that fit the bytes asked for, with the
      // working values in locals (stores through out may alias them): a
      // row of a drawing is a few hundred short codes.
      const uint8_t *ip = &in.chunk[static_cast<size_t>(in.at)];
      const uint8_t *const ie = ip + (in.end - in.at);
      uint8_t *o = out + done;
      uint8_t *const oe = out + n;
      while (ie - ip >= 2) {
        const int8_t header = static_cast<int8_t>(ip[0]);
        if (header >= 0) {
          const int32_t k = header + 1;
          if (k > oe - o || k > ie - ip - 1) break;
          CopyShort(o, ip + 1, k);
          o += k;
          ip += 1 + k;
        } else if (header != -128) {
          const int32_t k = 1 - header;
          if (k > oe - o) break;
          FillShort(o, ip[1], k);
          o += k;
          ip += 2;
        } else {
          ++ip;
        }
      }
      in.at = static_cast<int32_t>(ip - in.chunk.data());
      done = static_cast<size_t>(o - out);
      if (done >= n || (in.at >= in.end && TiffRefill(s) == 0)) break;
    }
    if (p.literal > 0) {
      const size_t k =
          std::min({n - done, static_cast<size_t>(p.literal), static_cast<size_t>(in.end - in.at)});
      memcpy(out + done, &in.chunk[static_cast<size_t>(in.at)], k);
      in.at += static_cast<int32_t>(k);
      done += k;
      p.literal -= static_cast<int32_t>(k);
      continue;
    }
    const int8_t header = static_cast<int8_t>(in.chunk[static_cast<size_t>(in.at++)]);
    if (header >= 0) {
      p.literal = header + 1;
    } else if (header != -128) {
      if (in.at >= in.end && TiffRefill(s) == 0) break;
      p.value = in.chunk[static_cast<size_t>(in.at++)];
      p.repeat = 1 - header;
    }
  }
  return done;
}

ReturnTp OpenPackBits(TiffState *s, uint64_t, uint32_t, uint32_t) {
  s->packbits = TiffPackBitsState();
  return 0;
}

ReturnTp DecodePackBits(TiffState *s, uint8_t *out, uint64_t bytes, uint32_t rows, uint32_t,
                        size_t *got) {
  *got = PackBitsProduce(s, out, static_cast<size_t>(bytes * rows));
  return 0;
}

void PackBitsEncode(const uint8_t *in, size_t n, std::vector<uint8_t> *out) {
  size_t i = 0;
  while (i < n) {
    size_t run = 1;
    while (i + run < n && run < 128 && in[i + run] == in[i]) ++run;
    if (run >= 2) {
      out->push_back(static_cast<uint8_t>(1 - static_cast<int>(run)));
      out->push_back(in[i]);
      i += run;
      continue;
    }
    size_t lit = 1;
    while (i + lit < n && lit < 128 && !(i + lit + 1 < n && in[i + lit] == in[i + lit + 1])) ++lit;
    out->push_back(static_cast<uint8_t>(lit - 1));
    out->insert(out->end(), in + i, in + i + lit);
    i += lit;
  }
}

// Each row coded on its own: a run never crosses a row's end.
ReturnTp EncodePackBits(TiffState *s, const uint8_t *rows, uint64_t row_bytes, uint32_t count) {
  for (uint32_t r = 0; r < count; ++r) PackBitsEncode(rows + r * row_bytes, row_bytes, &s->packed);
  return 0;
}

}  // namespace

const TiffCoderTp TiffPackBitsCoder = {
    kTiffCompPackBits,  // tag
    IFF_COMP_PACKBITS,  // read_as: TIFF's own name for its run-length coding
    // written_for
    TIFF_REQUEST_BIT(IFF_COMP_RLE) | TIFF_REQUEST_BIT(IFF_COMP_PACKBITS),
    false,           // bilevel
    true,            // differencing
    false,           // refuses_palette
    nullptr,         // setup_decode
    OpenPackBits,    // open_decode
    DecodePackBits,  // decode
    nullptr,         // decode_line
    nullptr,         // setup_encode
    nullptr,         // encode_row
    EncodePackBits,  // encode_strip
};

ReturnTp TiffUndifference(TiffState *s, uint8_t *row, uint64_t bytes) {
  const TiffDirectory &d = s->dir;
  const uint64_t step = d.planar == 2 ? 1 : d.samples;
  if (d.bits == 8 && step == 1) {
    uint8_t a = row[0];
    for (uint64_t i = 1; i < bytes; ++i) row[i] = a = static_cast<uint8_t>(a + row[i]);
  } else if (d.bits == 8 && step == 3) {
    // Running sums in registers: the memory chain is what costs.
    uint8_t r = row[0], g = row[1], b = row[2];
    for (uint64_t i = 3; i + 2 < bytes; i += 3) {
      row[i] = r = static_cast<uint8_t>(r + row[i]);
      row[i + 1] = g = static_cast<uint8_t>(g + row[i + 1]);
      row[i + 2] = b = static_cast<uint8_t>(b + row[i + 2]);
    }
  } else if (d.bits == 8) {
    for (uint64_t i = step; i < bytes; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - step]);
  } else if (d.bits == 16) {
    const uint64_t stride = 2 * step;
    for (uint64_t i = stride; i + 1 < bytes; i += 2) {
      uint8_t *p = row + i, *q = row + i - stride;
      uint16_t a = s->big_endian ? static_cast<uint16_t>(p[0] << 8 | p[1]) : IfuGetLe16(p);
      uint16_t b = s->big_endian ? static_cast<uint16_t>(q[0] << 8 | q[1]) : IfuGetLe16(q);
      const uint16_t v = static_cast<uint16_t>(a + b);
      if (s->big_endian) {
        p[0] = static_cast<uint8_t>(v >> 8);
        p[1] = static_cast<uint8_t>(v);
      } else {
        IfuPutLe16(p, v);
      }
    }
  } else {
    return TIFF_FAIL(CMN_E_INVALID_ARG);
  }
  return 0;
}
