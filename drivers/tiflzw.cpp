// TIFF's LZW coding: codes most significant bit first, 9 to 12 bits
// wide, Clear (256) and End of Information (257). Files of TIFF 5.0
// writers hold the older form: codes least significant bit first, the
// width growing one code later; they are read too. The decoder hands out any
// number of bytes at a time, so that a strip streams a row at a time; the
// encoder codes a whole strip.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "tiffint.h"

#define CMN_SOURCE "tiflzw"

// The TIFF LZW decoder: codes most significant bit first, the width grows
// one code early; or, in the older form, least significant bit first and
// the width growing when the table reaches its size. Each code's string is
// written after the one before in `strings`, the bytes decoded since the
// last Clear (after the 256 literals): an entry is the string of the code
// before and the first byte of the next, so it is where those two were
// written (start and length) and is never copied, and a code is written
// by one copy from its entry. The calls take the written bytes out a row
// or so at a time; what one call did not take waits for the next.
struct TiffLzwDecoder {
  // A Clear comes before the table's 4096 entries are made: at most 3839
  // codes, each at most one byte longer than the newest entry (3840), and
  // the bytes not yet taken out (below kFlush plus a string) are all the
  // store ever holds. Pages of it that no string reaches are never touched.
  static constexpr uint32_t kFlush = 4096;
  static constexpr uint32_t kStore = 256 + 2 * kFlush + 3840u + 3839u * 3841u;
  uint32_t start[4096];
  uint16_t length[4096];
  std::unique_ptr<uint8_t[]> strings;
  uint32_t strings_end = 256;
  uint32_t taken = 256;  // strings before this one are out
  int32_t next = 258, width = 9, old = -1;
  uint32_t old_at = 0;  // where the string of `old` was written
  // The bit window: in the current form its top nbits bits are the next
  // ones, in the older form its low nbits bits.
  uint64_t bits = 0;
  int32_t nbits = 0;
  bool started = false, ended = false;
  bool decided = false, old_form = false;

  // The literals' strings are never overwritten (entries go after them):
  // they are set once, not for each of a page's many small strips.
  bool literals_set = false;

  void Start() {
    if (!literals_set) {
      for (uint32_t i = 0; i < 256; ++i) {
        strings[i] = static_cast<uint8_t>(i);
        start[i] = i;
        length[i] = 1;
      }
      literals_set = true;
    }
    bits = 0;
    nbits = 0;
    started = ended = decided = old_form = false;
    next = 258;
    width = 9;
    old = -1;
    strings_end = taken = 256;
  }
};

void TiffLzwDelete::operator()(TiffLzwDecoder *z) const { delete z; }

namespace {

uint64_t Load64(const uint8_t *p, bool big_endian) {
  uint64_t word;
  memcpy(&word, p, 8);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  return big_endian ? __builtin_bswap64(word) : word;
#else
  return big_endian ? word : __builtin_bswap64(word);
#endif
}

// n bytes from one buffer to another that it does not overlap. Most
// strings of a drawing are tens of bytes: two copies of a word or two
// that overlap in the middle, inline, rather than a call.
inline void CopyString(uint8_t *to, const uint8_t *from, uint32_t n) {
  if (n > 32) {
    memcpy(to, from, n);
  } else if (n >= 16) {
    uint8_t a[16], b[16];
    memcpy(a, from, 16);
    memcpy(b, from + n - 16, 16);
    memcpy(to, a, 16);
    memcpy(to + n - 16, b, 16);
  } else if (n >= 8) {
    uint64_t a, b;
    memcpy(&a, from, 8);
    memcpy(&b, from + n - 8, 8);
    memcpy(to, &a, 8);
    memcpy(to + n - 8, &b, 8);
  } else if (n >= 4) {
    uint32_t a, b;
    memcpy(&a, from, 4);
    memcpy(&b, from + n - 4, 4);
    memcpy(to, &a, 4);
    memcpy(to + n - 4, &b, 4);
  } else {
    for (uint32_t i = 0; i < n; ++i) to[i] = from[i];
  }
}

// Up to n decoded LZW bytes into out; fewer when the data ends. The
// working values live in locals: stores through out may alias anything.
ReturnTp LzwProduce(TiffState *s, uint8_t *out, size_t n, size_t *produced) {
  TiffLzwDecoder &z = *s->lzw;
  TiffInput &in = s->in;
  uint8_t *const strings = z.strings.get();
  size_t done = 0;
  if (!z.decided && (in.at < in.end || TiffRefill(s) > 0)) {
    // A strip in the current form starts with Clear, most significant bit
    // first: 0x80 and a byte whose high bit is clear. Anything else is
    // the older form (whose Clear comes out as 0x00 and a byte with its
    // low bit set), which may also start without a Clear.
    const uint8_t *p = &in.chunk[static_cast<size_t>(in.at)];
    z.old_form = !(p[0] == 0x80 && (in.end - in.at < 2 || (p[1] & 0x80) == 0));
    z.decided = true;
  }
  const bool old_form = z.old_form;
  // The code after which the width grows: one early in the current form.
  const int32_t early = old_form ? 0 : 1;
  uint64_t bits = z.bits;
  int32_t nbits = z.nbits, width = z.width, next = z.next, old = z.old;
  uint32_t strings_end = z.strings_end, taken = z.taken, old_at = z.old_at;
  uint32_t *const start = z.start;
  uint16_t *const length = z.length;
  bool started = z.started, ended = z.ended;
  // The entry whose making widens the codes, past 12 bits none.
  auto widens_at = [early](int32_t w) { return w < 12 ? (1 << w) - early : 4097; };
  int32_t widen = widens_at(width);
  ReturnTp rc = 0;
  while (done < n) {
    // Codes are decoded until the bytes asked for (at most kFlush of
    // them) are written, then taken out in one copy.
    const uint32_t want = static_cast<uint32_t>(std::min<size_t>(n - done, TiffLzwDecoder::kFlush));
    while (strings_end - taken < want && !ended) {
      if (nbits < width) {
        if (in.end - in.at >= 8) {
          // A whole word at once: the bits of its last byte that do not
          // fit come again, at the same places, with the next word.
          const uint64_t word = Load64(&in.chunk[static_cast<size_t>(in.at)], !old_form);
          bits |= old_form ? word << nbits : word >> nbits;
          const int32_t k = (63 - nbits) >> 3;
          in.at += k;
          nbits += 8 * k;
        } else {
          while (nbits < width) {
            if (in.at >= in.end && TiffRefill(s) == 0) break;
            const uint64_t byte = in.chunk[static_cast<size_t>(in.at++)];
            bits |= old_form ? byte << nbits : byte << (56 - nbits);
            nbits += 8;
          }
          if (nbits < width) {
            ended = true;
            break;
          }
        }
      }
      int32_t code;
      if (old_form) {
        code = static_cast<int32_t>(bits & ((uint64_t{1} << width) - 1));
        bits >>= width;
      } else {
        code = static_cast<int32_t>(bits >> (64 - width));
        bits <<= width;
      }
      nbits -= width;
      if (!started) {
        // The current form always starts with Clear.
        if (code != 256 && !old_form) {
          rc = TIFF_FAIL(TIFF_E_INVALID);
          break;
        }
        started = true;
      }
      if (code == 256) {
        // The bytes not yet taken out move to the front of the store.
        const uint32_t rest = strings_end - taken;
        memmove(strings + 256, strings + taken, rest);
        taken = 256;
        strings_end = 256 + rest;
        next = 258;
        width = 9;
        widen = widens_at(width);
        old = -1;
        continue;
      }
      if (code == 257) {
        ended = true;
        break;
      }
      if (old < 0) {
        if (code > 255) {
          rc = TIFF_FAIL(TIFF_E_INVALID);
          break;
        }
        old_at = strings_end;
        strings[strings_end++] = static_cast<uint8_t>(code);
        old = code;
        continue;
      }
      if (code > next) {
        rc = TIFF_FAIL(TIFF_E_INVALID);
        break;
      }
      if (next >= 4096) {
        // The table is full without a Clear: the data ends here.
        ended = true;
        break;
      }
      // This code's string goes after the one before; the new entry is
      // that one and this one's first byte, where they now stand. A code
      // that is the entry being made is the one before and its own first
      // byte.
      const uint32_t at = strings_end, len_old = length[old];
      uint32_t len;
      if (code == next) {
        CopyString(strings + at, strings + old_at, len_old);
        strings[at + len_old] = strings[old_at];
        len = len_old + 1;
      } else {
        len = length[code];
        CopyString(strings + at, strings + start[code], len);
      }
      strings_end += len;
      start[next] = old_at;
      length[next] = static_cast<uint16_t>(len_old + 1);
      if (++next == widen) widen = widens_at(++width);
      old = code;
      old_at = at;
    }
    const uint32_t k = std::min(strings_end - taken, want);
    memcpy(out + done, strings + taken, k);
    taken += k;
    done += k;
    if (k < want) break;  // the data ended or failed
  }
  z.started = started;
  z.ended = ended;
  z.bits = bits;
  z.nbits = nbits;
  z.width = width;
  z.next = next;
  z.old = old;
  z.old_at = old_at;
  z.strings_end = strings_end;
  z.taken = taken;
  *produced = done;
  return rc;
}

ReturnTp OpenLzw(TiffState *s, uint64_t, uint32_t, uint32_t) {
  if (!s->lzw) {
    std::unique_ptr<TiffLzwDecoder, TiffLzwDelete> z(new (std::nothrow) TiffLzwDecoder);
    if (z) z->strings.reset(new (std::nothrow) uint8_t[TiffLzwDecoder::kStore]);
    if (z && z->strings) s->lzw = std::move(z);
  }
  if (!s->lzw) return TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  s->lzw->Start();
  return 0;
}

ReturnTp DecodeLzw(TiffState *s, uint8_t *out, uint64_t bytes, uint32_t rows, uint32_t,
                   size_t *got) {
  return LzwProduce(s, out, static_cast<size_t>(bytes * rows), got);
}

// The TIFF LZW encoder: Clear first, codes most significant bit first,
// Clear again when the table is about to fill.
struct LzwEncoder {
  static constexpr int kSize = 5003;  // prime, above 4096
  int32_t keys[kSize];
  uint16_t codes[kSize];
  int32_t next = 258, ent = -1;
  uint64_t acc = 0;
  int32_t nacc = 0;
  std::vector<uint8_t> *out;

  explicit LzwEncoder(std::vector<uint8_t> *o) : out(o) {
    Clear();
    Put(256);
  }
  int Width(int32_t n) const { return n < 512 ? 9 : n < 1024 ? 10 : n < 2048 ? 11 : 12; }
  void Clear() {
    std::fill(keys, keys + kSize, -1);
    next = 258;
  }
  void Put(int32_t code) {
    const int w = Width(next);
    acc = acc << w | static_cast<uint32_t>(code);
    nacc += w;
    while (nacc >= 8) {
      nacc -= 8;
      out->push_back(static_cast<uint8_t>(acc >> nacc));
    }
  }
  void Add(const uint8_t *data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      const uint8_t c = data[i];
      if (ent < 0) {
        ent = c;
        continue;
      }
      const int32_t key = ent << 8 | c;
      uint32_t h = static_cast<uint32_t>((c << 4) ^ ent) % kSize;
      while (keys[h] >= 0 && keys[h] != key) h = h + 1 == kSize ? 0 : h + 1;
      if (keys[h] == key) {
        ent = codes[h];
        continue;
      }
      Put(ent);
      if (next >= 4094) {
        Put(256);
        Clear();
      } else {
        keys[h] = key;
        codes[h] = static_cast<uint16_t>(next++);
      }
      ent = c;
    }
  }
  void Finish() {
    if (ent >= 0) {
      Put(ent);
      // The reader adds an entry for this code before it reads the end.
      if (next + 1 >= 4094) {
        ++next;
        Put(256);
        Clear();
      } else {
        ++next;
      }
    }
    Put(257);
    if (nacc > 0) out->push_back(static_cast<uint8_t>(acc << (8 - nacc)));
    nacc = 0;
  }
};

ReturnTp EncodeLzw(TiffState *s, const uint8_t *rows, uint64_t row_bytes, uint32_t count) {
  std::unique_ptr<LzwEncoder> e(new (std::nothrow) LzwEncoder(&s->packed));
  if (!e) return TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  e->Add(rows, static_cast<size_t>(row_bytes * count));
  e->Finish();
  return 0;
}

}  // namespace

const TiffCoderTp TiffLzwCoder = {
    kTiffCompLzw,                    // tag
    IFF_COMP_LZW,                    // read_as
    TIFF_REQUEST_BIT(IFF_COMP_LZW),  // written_for
    false,                           // bilevel
    true,                            // differencing
    false,                           // refuses_palette
    nullptr,                         // setup_decode
    OpenLzw,                         // open_decode
    DecodeLzw,                       // decode
    nullptr,                         // decode_line
    nullptr,                         // setup_encode
    nullptr,                         // encode_row
    EncodeLzw,                       // encode_strip
};
