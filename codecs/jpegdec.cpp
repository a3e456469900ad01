// The JPEG decoder: markers, Huffman entropy decoding of sequential,
// progressive and lossless scans, the integer inverse DCT, smooth
// upsampling of chroma and YCbCr to RGB, delivered in bands of rows.
// It stays one file, longer than our usual limit, on purpose: every stage
// works on the one decoder state, and the bit reader and block decoder
// must be inlined into the scan loops, which keeping them in one unit
// with internal linkage guarantees.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "jpegint.h"

#define CMN_SOURCE "jpegdec"

namespace {

constexpr int kMaxWarnings = 100;      // more than this many damaged places stop the decoding
constexpr int32_t kSoiSearch = 65536;  // bytes of other data tolerated before the start of image
constexpr int kEndOfData = 0x100;      // pseudo marker: the input has ended

// A Huffman table: codes of up to 9 bits are found with one look-up, longer
// ones by the canonical code ranges.
struct Huff {
  bool defined = false;
  uint16_t fast[512];  // (length << 8) | symbol, 0 for codes longer than 9 bits
  // AC coefficients whose code and extra bits fit in 9 bits, decoded at
  // once: value << 8 | run << 4 | bits used; 0 for the others.
  int32_t fast_ac[512];
  int32_t maxcode[18];  // largest code of each length, -1 none
  int32_t valoff[17];   // index in vals of code 0 of each length
  uint8_t vals[256];
};

struct Comp {
  int id = 0, h = 1, v = 1, tq = 0;
  int td = 0, ta = 0;
  int bw = 0, bh = 0;    // blocks covering the component's own samples
  int bwp = 0, bhp = 0;  // blocks of the whole MCU grid
  int pred = 0;          // DC predictor, or lossless row state
  int64_t base = 0;      // first block in the coefficient store
  int cover[64];         // progressive: lowest bit of each coefficient decoded so far, -1 none
  std::vector<uint8_t> plane8;    // one MCU row of samples (8-bit)
  std::vector<uint16_t> plane16;  // the same above 8 bits and for lossless
  int stride = 0;
  std::vector<int32_t> xmap;   // output column -> sample column
  int cw = 0, ch = 0;          // the component's own samples across and down
  int up = 0;                  // kUp*: how its rows become full-size rows
  int bx = 8, by = 8;          // samples of one block across and down (8 at full size)
  int64_t ymul = 1, ydiv = 1;  // output row y is sample row y x ymul / ydiv (repeated)
};

// Upsampling of a component against the frame's largest sampling. Halved
// components are interpolated between sample centres (weights 3/4 and 1/4,
// the edges repeated), as the common decoders do by default, so that
// colour edges come out as smooth as elsewhere; other ratios, and rows of
// two samples or fewer, repeat samples.
enum { kUpSame, kUpRepeat, kUpH2V1, kUpH1V2, kUpH2V2 };

struct Decoder {
  IfuCodecTp *codec = nullptr;
  JpegParamTp *par = nullptr;
  bool failed = false;
  int warnings = 0;

  // Input: the tables stream first, then the codec's chunks.
  const uint8_t *p = nullptr, *end = nullptr;
  bool in_tables = false;
  bool input_done = false;

  // Entropy bits, most significant first.
  uint64_t acc = 0;
  int nbits = 0;
  int marker = 0;        // marker met inside entropy data, kEndOfData, or 0
  int fake_bits = 0;     // zero bits fed after the data ended
  bool damaged = false;  // the rest of the scan is lost

  // Tables.
  uint16_t q[4][64];
  bool q_defined[4] = {};
  Huff dc[4], ac[4];
  int restart_interval = 0;

  // Frame.
  int sof = -1;
  int mode = JPEG_BASELINE;
  int precision = 8;
  int width = 0, height = 0;
  int ncomp = 0;
  Comp comp[4];
  int hmax = 1, vmax = 1;
  int mcux = 0, mcuy = 0;  // MCUs of an interleaved scan
  bool adobe = false;
  int adobe_transform = -1;
  bool jfif = false;

  // Scan.
  int scan_no = 0;
  int ns = 0;
  int sc[4];  // frame indices of the scan's components
  int ss = 0, se = 63, ah = 0, al = 0;
  int eobrun = 0;
  int restarts_left = 0;
  int next_rst = 0;

  // Output: the rows delivered, out_w x out_h, each block becoming
  // block x block samples (8, or 4, 2, 1 at a reduced size).
  int out_w = 0, out_h = 0;
  int block = 8;
  bool prepared = false;  // the output stage is set up (at the first read)
  // At 1/8 size a stored image keeps the DC terms alone (one coefficient a
  // block): the scans of AC terms are passed over undecoded.
  bool dc_only = false;
  bool buffered = false;  // the whole image is read into the store first
  bool scans_done = false;
  bool eoi_seen = false;
  JpegMemTp *mem = nullptr;
  int mcu_row = 0;  // next MCU row to produce
  // MCU rows held: one, or three when a component is interpolated between
  // rows (the rows above and below the one delivered). MCU row m is in
  // slot m % slots.
  int slots = 1;
  int slot = 0;                   // the slot being decoded
  bool slot_lost[3] = {};         // the slot was decoded with its data lost
  std::vector<uint8_t> up8[4];    // one upsampled row of each component
  std::vector<uint16_t> up16[4];  // the same above 8 bits
  int out_row = 0;                // rows delivered
  bool transform = true;          // YCbCr to RGB
  bool pending_scan = true;       // the scan whose header the initialisation read
  // Lossless
  int predictor = 1;
  bool restarted = false;  // a restart interval began: prediction starts afresh
  bool lenient = false;    // between scans: data ending inside a segment ends the image
  bool ended = false;      // ... and it did
  bool loss_reported = false;
};

Decoder *Dec(IfuCodecTp *codec) { return static_cast<Decoder *>(codec->object); }

// ---- Input -------------------------------------------------------------------

int Refill(Decoder &d) {
  if (d.in_tables) {
    d.in_tables = false;
    d.p = d.end = nullptr;
  }
  if (d.input_done) return -1;
  const uint8_t *chunk = nullptr;
  int32_t length = 0;
  if (IfuCodecInput(d.codec, &chunk, &length) || length <= 0) {
    d.input_done = true;
    return -1;
  }
  d.p = chunk;
  d.end = chunk + length;
  return *d.p++;
}

inline int GetByte(Decoder &d) { return d.p < d.end ? *d.p++ : Refill(d); }

int PeekByte(Decoder &d) {
  const int c = GetByte(d);
  if (c >= 0) --d.p;
  return c;
}

ReturnTp Warn(Decoder &d, const char *what) {
  CmnDebug(1, "JPEG warning: %s\n", what);
  if (++d.warnings > kMaxWarnings) return JpegFail(d.codec, kDecTooManyWarnings);
  return 0;
}

// Two bytes big-endian, -1 at the end of the data.
int GetWord(Decoder &d) {
  const int a = GetByte(d);
  const int b = GetByte(d);
  return a < 0 || b < 0 ? -1 : a << 8 | b;
}

// The next marker: 0xFF, fill bytes, the code. Anything else where a marker
// must stand is "Expected 0xFF".
ReturnTp NextMarker(Decoder &d, int *code) {
  if (d.marker) {
    *code = d.marker;
    d.marker = 0;
    if (*code == kEndOfData) return JPEG_FAIL(d.codec, kDecUnexpectedMarker, 0xD9);
    return 0;
  }
  int c = GetByte(d);
  if (c != 0xFF) {
    if (c < 0) return JPEG_FAIL(d.codec, kDecUnexpectedMarker, 0xD9);
    // Some writers leave a few bytes after a scan; skip to the next marker.
    if (ReturnTp rc = Warn(d, "Expected 0xFF")) return rc;
    for (int32_t skipped = 0; c != 0xFF; ++skipped) {
      c = GetByte(d);
      if (c < 0 || skipped > kSoiSearch) return JpegFail(d.codec, kDecNoMarker);
    }
  }
  do c = GetByte(d);
  while (c == 0xFF);
  if (c < 0) return JPEG_FAIL(d.codec, kDecUnexpectedMarker, 0xD9);
  *code = c;
  return 0;
}

// A marker segment's payload, its length checked against what it may hold.
// Data that end inside a segment between scans end the image: what the
// scans before brought is shown.
ReturnTp SegmentCut(Decoder &d, std::vector<uint8_t> *seg) {
  if (!d.lenient) return JpegFail(d.codec, kDecBadLength);
  if (seg) seg->clear();
  d.ended = true;
  return Warn(d, "JPEG data ends early");
}

ReturnTp ReadSegment(Decoder &d, std::vector<uint8_t> &seg) {
  const int length = GetWord(d);
  if (length < 0) return SegmentCut(d, &seg);
  if (length < 2) return JpegFail(d.codec, kDecBadLength);
  seg.resize(length - 2);
  for (auto &b : seg) {
    const int c = GetByte(d);
    if (c < 0) return SegmentCut(d, &seg);
    b = static_cast<uint8_t>(c);
  }
  return 0;
}

ReturnTp SkipSegment(Decoder &d) {
  const int length = GetWord(d);
  if (length < 0) return SegmentCut(d, nullptr);
  if (length < 2) return JpegFail(d.codec, kDecBadLength);
  for (int i = 2; i < length; ++i)
    if (GetByte(d) < 0) return SegmentCut(d, nullptr);
  return 0;
}

// ---- Tables ------------------------------------------------------------------

ReturnTp ReadDqt(Decoder &d) {
  std::vector<uint8_t> s;
  if (ReturnTp rc = ReadSegment(d, s)) return rc;
  size_t i = 0;
  while (i < s.size()) {
    const int pq = s[i] >> 4, tq = s[i] & 15;
    if (tq > 3) return JPEG_FAIL(d.codec, kDecQuantNumber, tq);
    if (pq > 1 || i + 1 + 64 * (pq + 1) > s.size()) return JpegFail(d.codec, kDecBadLength);
    ++i;
    for (int k = 0; k < 64; ++k) {
      d.q[tq][JpegZigzag[k]] = pq ? IfuGetBe16(&s[i]) : s[i];
      i += pq + 1;
    }
    d.q_defined[tq] = true;
  }
  return 0;
}

ReturnTp BuildHuff(Decoder &d, Huff &h, const uint8_t *counts, const uint8_t *symbols) {
  memset(h.fast, 0, sizeof h.fast);
  int32_t code = 0, k = 0;
  for (int len = 1; len <= 16; ++len) {
    h.valoff[len] = k - code;
    for (int i = 0; i < counts[len - 1]; ++i, ++k, ++code) {
      // A code space used beyond its size makes codes ambiguous.
      if (code >= 1 << len) return JpegFail(d.codec, kDecHuffOverrun);
      if (len <= 9) {
        const int shift = 9 - len;
        for (int f = 0; f < 1 << shift; ++f)
          h.fast[(code << shift) + f] = static_cast<uint16_t>(len << 8 | symbols[k]);
      }
    }
    h.maxcode[len] = counts[len - 1] ? code - 1 : -1;
    code <<= 1;
  }
  h.maxcode[17] = 0x7FFFFFFF;
  memcpy(h.vals, symbols, k);
  for (int look = 0; look < 512; ++look) {
    h.fast_ac[look] = 0;
    const int e = h.fast[look];
    if (!e) continue;
    const int len = e >> 8, rs = e & 0xFF, r = rs >> 4, s = rs & 15;
    if (s == 0 || len + s > 9) continue;
    int v = (look >> (9 - len - s)) & ((1 << s) - 1);
    if (v < 1 << (s - 1)) v -= (1 << s) - 1;
    h.fast_ac[look] = static_cast<int32_t>(static_cast<uint32_t>(v) << 8) | r << 4 | (len + s);
  }
  h.defined = true;
  return 0;
}

ReturnTp ReadDht(Decoder &d) {
  std::vector<uint8_t> s;
  if (ReturnTp rc = ReadSegment(d, s)) return rc;
  size_t i = 0;
  while (i < s.size()) {
    const int tc = s[i] >> 4, th = s[i] & 15;
    if (tc > 1 || th > 3) return JpegFail(d.codec, kDecHuffClass);
    if (i + 17 > s.size()) return JpegFail(d.codec, kDecBadLength);
    const uint8_t *counts = &s[i + 1];
    int total = 0;
    for (int l = 0; l < 16; ++l) total += counts[l];
    if (total > 256) return JpegFail(d.codec, kDecHuffOverrun);
    if (i + 17 + total > s.size()) return JpegFail(d.codec, kDecBadLength);
    if (ReturnTp rc = BuildHuff(d, tc ? d.ac[th] : d.dc[th], counts, &s[i + 17])) return rc;
    i += 17 + total;
  }
  return 0;
}

char CompChar(const Decoder &d, int index) {
  const int id = d.comp[index].id;
  return id >= 32 && id < 127 ? static_cast<char>(id) : "YUVK"[index & 3];
}

// Resolution of a JFIF marker, in thousandths of a dot per inch. Dots per
// centimetre are x 2.54, rounded to whole dots per inch: such densities
// were mostly whole in inches before they were rounded to centimetres
// (118 is 300, not 299.72).
void ReadJfif(Decoder &d, const std::vector<uint8_t> &s) {
  if (s.size() < 12) return;
  d.jfif = true;
  const int units = s[7];
  const int64_t x = IfuGetBe16(&s[8]), y = IfuGetBe16(&s[10]);
  if (units == 1) {
    d.par->x_resolution = static_cast<int32_t>(x * 1000);
    d.par->y_resolution = static_cast<int32_t>(y * 1000);
  } else if (units == 2) {
    d.par->x_resolution = static_cast<int32_t>((x * 254 + 50) / 100 * 1000);
    d.par->y_resolution = static_cast<int32_t>((y * 254 + 50) / 100 * 1000);
  }
}

// Resolution from the first directory of an EXIF block (a small TIFF).
// Its orientation (1 to 8) is recorded as well. Every read is checked
// against the marker's own length: an offset or count that points beyond
// it reads as 0, so that a forged block is ignored, never followed.
void ReadExif(Decoder &d, const std::vector<uint8_t> &s) {
  if (s.size() < 14 || s[4] != 0 || s[5] != 0) return;
  const uint8_t *t = s.data() + 6;
  const size_t n = s.size() - 6;
  const bool le = t[0] == 'I';
  if (memcmp(t, le ? "II*\0" : "MM\0*", 4) != 0) return;
  auto u16 = [&](size_t o) -> uint32_t {
    return o + 2 > n ? 0 : le ? IfuGetLe16(t + o) : IfuGetBe16(t + o);
  };
  auto u32 = [&](size_t o) -> uint32_t {
    return o + 4 > n ? 0 : le ? u16(o) | u16(o + 2) << 16 : u16(o) << 16 | u16(o + 2);
  };
  const uint32_t ifd = u32(4);
  if (ifd >= n) return;
  const uint32_t entries = u16(ifd);
  // A directory running past the block is not trusted at all.
  if (ifd + 2 + 12 * static_cast<size_t>(entries) > n) return;
  double xres = 0, yres = 0;
  int unit = 2;
  for (uint32_t e = 0; e < entries && e < 200; ++e) {
    const size_t o = ifd + 2 + 12 * static_cast<size_t>(e);
    const uint32_t tag = u16(o);
    auto rational = [&]() {
      const uint32_t at = u32(o + 8), den = u32(at + 4);
      return den ? static_cast<double>(u32(at)) / den : 0.0;
    };
    // The orientation is one SHORT, held in the entry itself.
    if (tag == 274 && u16(o + 2) == 3 && u32(o + 4) == 1) {
      const uint32_t v = u16(o + 8);
      if (v >= 1 && v <= 8) d.par->orientation = static_cast<int32_t>(v);
    } else if (tag == 282)
      xres = rational();
    else if (tag == 283)
      yres = rational();
    else if (tag == 296)
      unit = static_cast<int>(u16(o + 8));
  }
  // A JFIF density read before stands.
  if (d.par->x_resolution) return;
  if (unit == 3)
    xres *= 2.54, yres *= 2.54;
  else if (unit != 2)
    return;
  if (xres > 0 && xres < 2e6) d.par->x_resolution = static_cast<int32_t>(xres * 1000 + 0.5);
  if (yres > 0 && yres < 2e6) d.par->y_resolution = static_cast<int32_t>(yres * 1000 + 0.5);
}

ReturnTp ReadApp(Decoder &d, int code) {
  std::vector<uint8_t> s;
  if (ReturnTp rc = ReadSegment(d, s)) return rc;
  if (code == 0xE0 && s.size() >= 5 && memcmp(s.data(), "JFIF", 5) == 0) ReadJfif(d, s);
  if (code == 0xE1 && s.size() >= 6 &&
      (memcmp(s.data(), "Exif", 4) == 0 || memcmp(s.data(), "EXIF", 4) == 0))
    ReadExif(d, s);
  if (code == 0xEE && s.size() >= 12 && memcmp(s.data(), "Adobe", 5) == 0) {
    d.adobe = true;
    d.adobe_transform = s[11];
  }
  return 0;
}

ReturnTp ReadSof(Decoder &d, int code) {
  if (d.sof >= 0) return JPEG_FAIL(d.codec, kDecUnexpectedMarker, code);
  switch (code) {
    case 0xC0:
      d.mode = JPEG_BASELINE;
      break;
    case 0xC1:
      d.mode = JPEG_EXTENDED;
      break;
    case 0xC2:
      d.mode = JPEG_PROGRESSIVE;
      break;
    case 0xC3:
      d.mode = JPEG_LOSSLESS;
      break;
    case 0xC9:
    case 0xCA:
    case 0xCB:
    case 0xCD:
    case 0xCE:
    case 0xCF:
      return JpegFail(d.codec, kDecArithmetic);
    default:
      return JPEG_FAIL(d.codec, kDecFrameType, code);
  }
  std::vector<uint8_t> s;
  if (ReturnTp rc = ReadSegment(d, s)) return rc;
  if (s.size() < 6) return JpegFail(d.codec, kDecBadLength);
  d.sof = code;
  d.precision = s[0];
  d.height = IfuGetBe16(&s[1]);
  d.width = IfuGetBe16(&s[3]);
  d.ncomp = s[5];
  const bool lossless = d.mode == JPEG_LOSSLESS;
  if (lossless ? d.precision < 2 || d.precision > 16
               : d.precision != 8 && (d.precision != 12 || d.mode == JPEG_BASELINE))
    return lossless ? JPEG_FAIL(d.codec, kDecLosslessPrecision, d.precision)
                    : JPEG_FAIL(d.codec, kDecPrecision, d.precision);
  if (s.size() != 6 + 3 * static_cast<size_t>(d.ncomp)) return JpegFail(d.codec, kDecBadLength);
  if (d.ncomp != 1 && d.ncomp != 3 && d.ncomp != 4) return JpegFail(d.codec, kDecComponents);
  if (d.width == 0) return JPEG_FAIL(d.codec, kDecZeroWidth, 1);
  // A height given later by a DNL marker is not supported.
  if (d.height == 0) return JPEG_FAIL(d.codec, kDecFrameType, code);
  d.hmax = d.vmax = 1;
  for (int i = 0; i < d.ncomp; ++i) {
    Comp &c = d.comp[i];
    c.id = s[6 + 3 * i];
    c.h = s[7 + 3 * i] >> 4;
    c.v = s[7 + 3 * i] & 15;
    c.tq = s[8 + 3 * i];
    for (int j = 0; j < i; ++j)
      if (d.comp[j].id == c.id) return JPEG_FAIL(d.codec, kDecComponentTwice, c.id, CompChar(d, i));
    if (c.h < 1 || c.h > 4) return JPEG_FAIL(d.codec, kDecHSampling, c.h, c.id);
    if (c.v < 1 || c.v > 4) return JPEG_FAIL(d.codec, kDecVSampling, c.v, c.id);
    if (c.tq > 3 && !lossless) return JPEG_FAIL(d.codec, kDecQuantNumber, c.tq);
    if (c.h > d.hmax) d.hmax = c.h;
    if (c.v > d.vmax) d.vmax = c.v;
  }
  // One component alone is never subsampled against itself.
  if (d.ncomp == 1) d.comp[0].h = d.comp[0].v = d.hmax = d.vmax = 1;
  const int unit = lossless ? 1 : 8;
  d.mcux = (d.width + unit * d.hmax - 1) / (unit * d.hmax);
  d.mcuy = (d.height + unit * d.vmax - 1) / (unit * d.vmax);
  for (int i = 0; i < d.ncomp; ++i) {
    Comp &c = d.comp[i];
    const int cw = (d.width * c.h + d.hmax - 1) / d.hmax,
              ch = (d.height * c.v + d.vmax - 1) / d.vmax;
    c.bw = (cw + unit - 1) / unit;
    c.bh = (ch + unit - 1) / unit;
    c.bwp = d.mcux * c.h;
    c.bhp = d.mcuy * c.v;
    for (int &k : c.cover) k = -1;
  }
  return 0;
}

// ---- Entropy decoding ----------------------------------------------------------

// Tops up the bit buffer to more than 56 bits. Past a marker or the end of
// the data zeros are fed, counted so that a scan can tell it ran dry.
void Fill(Decoder &d) {
  while (d.nbits <= 56) {
    int b = 0;
    if (!d.marker) {
      b = GetByte(d);
      if (b == 0xFF) {
        int c = GetByte(d);
        while (c == 0xFF) c = GetByte(d);
        if (c != 0) {
          d.marker = c < 0 ? kEndOfData : c;
          b = 0;
        }
      } else if (b < 0) {
        d.marker = kEndOfData;
        b = 0;
      }
    }
    if (d.marker) d.fake_bits += 8;
    d.acc |= static_cast<uint64_t>(b) << (56 - d.nbits);
    d.nbits += 8;
  }
}

inline void Consume(Decoder &d, int n) {
  d.acc <<= n;
  d.nbits -= n;
}

// True once the scan has read bits that were never in the data.
inline bool RanDry(const Decoder &d) { return d.marker && d.fake_bits > d.nbits; }

inline int Bits(Decoder &d, int n) {
  if (d.nbits < n) Fill(d);
  const int v = static_cast<int>(d.acc >> (64 - n));
  Consume(d, n);
  return v;
}

inline int Extend(int v, int s) { return v < 1 << (s - 1) ? v - (1 << s) + 1 : v; }

// A Huffman symbol, or -1 for a code no table entry has.
inline int Decode(Decoder &d, const Huff &h) {
  if (d.nbits < 16) Fill(d);
  const int e = h.fast[d.acc >> 55];
  if (e) {
    Consume(d, e >> 8);
    return e & 0xFF;
  }
  for (int len = 10; len <= 16; ++len) {
    const int32_t code = static_cast<int32_t>(d.acc >> (64 - len));
    if (code <= h.maxcode[len]) {
      Consume(d, len);
      return h.vals[h.valoff[len] + code];
    }
  }
  return -1;
}

// A code no table holds: damaged data. The rest of the scan is given up
// (it shows grey), counted as a warning.
ReturnTp BadCode(Decoder &d) {
  d.damaged = true;
  return Warn(d, "Invalid code in JPEG stream");
}

// Sequential block: coefficients dequantised into blk (natural order,
// zeroed by the caller). Returns the last zig-zag index written.
inline ReturnTp DecodeBlock(Decoder &d, Comp &c, int32_t *blk, const uint16_t *q, int *last) {
  const Huff &dct = d.dc[c.td], &act = d.ac[c.ta];
  if (d.nbits < 32) Fill(d);
  int s = Decode(d, dct);
  if (s < 0 || s > 16) return BadCode(d);
  int diff = 0;
  if (s) {
    if (s > 15) return BadCode(d);
    diff = Extend(Bits(d, s), s);
  }
  // Sixteen bits hold every legal DC value; damaged data only wrap.
  c.pred = static_cast<int16_t>(c.pred + diff);
  blk[0] = c.pred * q[0];
  int k = 1;
  *last = 0;
  while (k < 64) {
    if (d.nbits < 32) Fill(d);
    const int32_t f = act.fast_ac[d.acc >> 55];
    if (f) {
      k += (f >> 4) & 15;
      Consume(d, f & 15);
      if (k > 63) {
        d.damaged = true;
        return JPEG_FAIL(d.codec, kDecOutOfBlock, k, 63);
      }
      const int z = JpegZigzag[k];
      blk[z] = (f >> 8) * q[z];
      *last = k++;
      continue;
    }
    const int rs = Decode(d, act);
    if (rs < 0) return BadCode(d);
    const int r = rs >> 4;
    s = rs & 15;
    if (s == 0) {
      if (r != 15) break;
      k += 16;
      continue;
    }
    k += r;
    if (k > 63) {
      d.damaged = true;
      return JPEG_FAIL(d.codec, kDecOutOfBlock, k, 63);
    }
    const int z = JpegZigzag[k];
    blk[z] = Extend(static_cast<int>(d.acc >> (64 - s)), s) * q[z];
    Consume(d, s);
    *last = k++;
  }
  return 0;
}

// The DC term of a sequential block alone, dequantised; the AC codes are
// read past without being placed (a block shown at 1/8 size).
inline ReturnTp DecodeDcOnly(Decoder &d, Comp &c, const uint16_t *q, int32_t *dc) {
  const Huff &dct = d.dc[c.td], &act = d.ac[c.ta];
  if (d.nbits < 32) Fill(d);
  int s = Decode(d, dct);
  if (s < 0 || s > 15) return BadCode(d);
  const int diff = s ? Extend(Bits(d, s), s) : 0;
  c.pred = static_cast<int16_t>(c.pred + diff);
  *dc = c.pred * q[0];
  for (int k = 1; k < 64;) {
    if (d.nbits < 32) Fill(d);
    const int32_t f = act.fast_ac[d.acc >> 55];
    if (f) {
      k += (f >> 4) & 15;
      Consume(d, f & 15);
    } else {
      const int rs = Decode(d, act);
      if (rs < 0) return BadCode(d);
      s = rs & 15;
      if (s == 0) {
        if ((rs >> 4) != 15) break;
        k += 16;
        continue;
      }
      k += rs >> 4;
      Consume(d, s);
    }
    // The same damage as a whole block would meet.
    if (k > 63) {
      d.damaged = true;
      return JPEG_FAIL(d.codec, kDecOutOfBlock, k, 63);
    }
    ++k;
  }
  return 0;
}

// ---- Inverse DCT ----------------------------------------------------------------

// The accurate integer inverse DCT (Loeffler, Ligtenberg and Moschytz
// factorisation, 13-bit constants): columns then rows, rounding once per
// pass, the output level-shifted and limited to the sample range.
constexpr int kConstBits = 13;
constexpr int64_t Fix(double x) { return static_cast<int64_t>(x * (1 << kConstBits) + 0.5); }

template <typename T>
inline T Limit(int64_t v, int max) {
  return static_cast<T>(v < 0 ? 0 : v > max ? max : v);
}

template <typename T, int kPass1>
void Idct(const int32_t *in, T *out, int stride, int center, int max) {
  int64_t ws[64];
  for (int col = 0; col < 8; ++col) {
    const int32_t *i = in + col;
    int64_t *w = ws + col;
    if (!(i[8] | i[16] | i[24] | i[32] | i[40] | i[48] | i[56])) {
      const int64_t dc = static_cast<int64_t>(i[0]) * (1 << kPass1);
      for (int r = 0; r < 8; ++r) w[8 * r] = dc;
      continue;
    }
    int64_t z2 = i[16], z3 = i[48];
    int64_t z1 = (z2 + z3) * Fix(0.541196100);
    int64_t tmp2 = z1 + z3 * -Fix(1.847759065);
    int64_t tmp3 = z1 + z2 * Fix(0.765366865);
    z2 = i[0];
    z3 = i[32];
    int64_t tmp0 = (z2 + z3) * (1 << kConstBits);
    int64_t tmp1 = (z2 - z3) * (1 << kConstBits);
    const int64_t t10 = tmp0 + tmp3, t13 = tmp0 - tmp3, t11 = tmp1 + tmp2, t12 = tmp1 - tmp2;
    tmp0 = i[56];
    tmp1 = i[40];
    tmp2 = i[24];
    tmp3 = i[8];
    z1 = tmp0 + tmp3;
    z2 = tmp1 + tmp2;
    z3 = tmp0 + tmp2;
    int64_t z4 = tmp1 + tmp3;
    const int64_t z5 = (z3 + z4) * Fix(1.175875602);
    tmp0 *= Fix(0.298631336);
    tmp1 *= Fix(2.053119869);
    tmp2 *= Fix(3.072711026);
    tmp3 *= Fix(1.501321110);
    z1 *= -Fix(0.899976223);
    z2 *= -Fix(2.562915447);
    z3 = z3 * -Fix(1.961570560) + z5;
    z4 = z4 * -Fix(0.390180644) + z5;
    tmp0 += z1 + z3;
    tmp1 += z2 + z4;
    tmp2 += z2 + z3;
    tmp3 += z1 + z4;
    constexpr int sh = kConstBits - kPass1;
    constexpr int64_t rnd = int64_t{1} << (sh - 1);
    w[0] = (t10 + tmp3 + rnd) >> sh;
    w[56] = (t10 - tmp3 + rnd) >> sh;
    w[8] = (t11 + tmp2 + rnd) >> sh;
    w[48] = (t11 - tmp2 + rnd) >> sh;
    w[16] = (t12 + tmp1 + rnd) >> sh;
    w[40] = (t12 - tmp1 + rnd) >> sh;
    w[24] = (t13 + tmp0 + rnd) >> sh;
    w[32] = (t13 - tmp0 + rnd) >> sh;
  }
  for (int row = 0; row < 8; ++row) {
    const int64_t *w = ws + 8 * row;
    T *o = out + row * stride;
    if (!(w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7])) {
      const T v = Limit<T>(((w[0] + (int64_t{1} << (kPass1 + 2))) >> (kPass1 + 3)) + center, max);
      for (int c = 0; c < 8; ++c) o[c] = v;
      continue;
    }
    int64_t z2 = w[2], z3 = w[6];
    int64_t z1 = (z2 + z3) * Fix(0.541196100);
    int64_t tmp2 = z1 + z3 * -Fix(1.847759065);
    int64_t tmp3 = z1 + z2 * Fix(0.765366865);
    int64_t tmp0 = (w[0] + w[4]) * (1 << kConstBits);
    int64_t tmp1 = (w[0] - w[4]) * (1 << kConstBits);
    const int64_t t10 = tmp0 + tmp3, t13 = tmp0 - tmp3, t11 = tmp1 + tmp2, t12 = tmp1 - tmp2;
    tmp0 = w[7];
    tmp1 = w[5];
    tmp2 = w[3];
    tmp3 = w[1];
    z1 = tmp0 + tmp3;
    z2 = tmp1 + tmp2;
    z3 = tmp0 + tmp2;
    int64_t z4 = tmp1 + tmp3;
    const int64_t z5 = (z3 + z4) * Fix(1.175875602);
    tmp0 *= Fix(0.298631336);
    tmp1 *= Fix(2.053119869);
    tmp2 *= Fix(3.072711026);
    tmp3 *= Fix(1.501321110);
    z1 *= -Fix(0.899976223);
    z2 *= -Fix(2.562915447);
    z3 = z3 * -Fix(1.961570560) + z5;
    z4 = z4 * -Fix(0.390180644) + z5;
    tmp0 += z1 + z3;
    tmp1 += z2 + z4;
    tmp2 += z2 + z3;
    tmp3 += z1 + z4;
    constexpr int sh = kConstBits + kPass1 + 3;
    constexpr int64_t rnd = int64_t{1} << (sh - 1);
    o[0] = Limit<T>(((t10 + tmp3 + rnd) >> sh) + center, max);
    o[7] = Limit<T>(((t10 - tmp3 + rnd) >> sh) + center, max);
    o[1] = Limit<T>(((t11 + tmp2 + rnd) >> sh) + center, max);
    o[6] = Limit<T>(((t11 - tmp2 + rnd) >> sh) + center, max);
    o[2] = Limit<T>(((t12 + tmp1 + rnd) >> sh) + center, max);
    o[5] = Limit<T>(((t12 - tmp1 + rnd) >> sh) + center, max);
    o[3] = Limit<T>(((t13 + tmp0 + rnd) >> sh) + center, max);
    o[4] = Limit<T>(((t13 - tmp0 + rnd) >> sh) + center, max);
  }
}

// The inverse DCT at a reduced size (1/2, 1/4 or 1/8, across and down
// apart): each sample is the mean of the 2 x 2, 4 x 4 ... samples the full
// transform gives there (before they are limited to the sample range),
// computed straight from the coefficients. The mean of a basis function
// over a group of samples is a fixed weight, so the block is two small
// matrix products. Row n of the table holds the weights of size 8 >> n.
struct ReducedBasis {
  int64_t w[4][8][8];  // [shift][output sample][frequency], 13 fractional bits
  ReducedBasis() {
    const double pi = 3.14159265358979323846;
    for (int shift = 0; shift <= 3; ++shift) {
      const int n = 1 << shift, size = 8 >> shift;
      for (int j = 0; j < size; ++j)
        for (int u = 0; u < 8; ++u) {
          double sum = 0;
          for (int x = j * n; x < (j + 1) * n; ++x) sum += std::cos((2 * x + 1) * u * pi / 16);
          const double scale = u == 0 ? 0.5 / std::sqrt(2.0) : 0.5;
          w[shift][j][u] = std::llround(scale * sum / n * (1 << kConstBits));
        }
    }
  }
};

template <typename T>
void ReducedIdct(const int32_t *in, T *out, int stride, int sx, int sy, int center, int max) {
  static const ReducedBasis basis;
  const int width = 8 >> sx, height = 8 >> sy;
  const int64_t(*wx)[8] = basis.w[sx];
  const int64_t(*wy)[8] = basis.w[sy];
  int64_t ws[8][8] = {};  // [output row][horizontal frequency]
  for (int u = 0; u < 8; ++u) {
    const int32_t *col = in + u;
    if (!(col[0] | col[8] | col[16] | col[24] | col[32] | col[40] | col[48] | col[56])) continue;
    for (int j = 0; j < height; ++j) {
      int64_t sum = 0;
      for (int v = 0; v < 8; ++v) sum += wy[j][v] * col[8 * v];
      ws[j][u] = sum;
    }
  }
  constexpr int sh = 2 * kConstBits;
  constexpr int64_t rnd = int64_t{1} << (sh - 1);
  for (int j = 0; j < height; ++j) {
    T *o = out + j * stride;
    for (int i = 0; i < width; ++i) {
      int64_t sum = 0;
      for (int u = 0; u < 8; ++u) sum += wx[i][u] * ws[j][u];
      o[i] = Limit<T>(((sum + rnd) >> sh) + center, max);
    }
  }
}

// One block to its place in a component's plane; a block with a DC term
// only is a flat square, and so is every block at 1/8 size (the mean of a
// block is its DC term).
void PutBlock(Decoder &d, Comp &c, const int32_t *blk, int last, int bx, int by) {
  const int w = c.bx, h = c.by;
  const size_t at =
      static_cast<size_t>(d.slot * c.v + by) * h * c.stride + static_cast<size_t>(bx) * w;
  const int sx = w == 8 ? 0 : w == 4 ? 1 : w == 2 ? 2 : 3;
  const int sy = h == 8 ? 0 : h == 4 ? 1 : h == 2 ? 2 : 3;
  if (d.precision == 8) {
    uint8_t *o = c.plane8.data() + at;
    if (last == 0 || (w == 1 && h == 1)) {
      const uint8_t v = Limit<uint8_t>(((blk[0] + 4) >> 3) + 128, 255);
      for (int r = 0; r < h; ++r) memset(o + r * c.stride, v, w);
      return;
    }
    if (sx || sy)
      ReducedIdct<uint8_t>(blk, o, c.stride, sx, sy, 128, 255);
    else
      Idct<uint8_t, 2>(blk, o, c.stride, 128, 255);
  } else {
    uint16_t *o = c.plane16.data() + at;
    // At 1/8 the block may be its DC term alone (one coefficient, not 64).
    if (w == 1 && h == 1) {
      *o = Limit<uint16_t>(((blk[0] + 4) >> 3) + 2048, 4095);
      return;
    }
    if (sx || sy)
      ReducedIdct<uint16_t>(blk, o, c.stride, sx, sy, 2048, 4095);
    else
      Idct<uint16_t, 1>(blk, o, c.stride, 2048, 4095);
  }
}

// ---- Scans ------------------------------------------------------------------------

ReturnTp ReadSos(Decoder &d) {
  std::vector<uint8_t> s;
  if (ReturnTp rc = ReadSegment(d, s)) return rc;
  if (d.ended) return 0;
  if (d.sof < 0) return JpegFail(d.codec, kDecNoFrame);
  ++d.scan_no;
  if (s.empty() || s[0] < 1 || s[0] > 4 || s[0] > d.ncomp)
    return JpegFail(d.codec, kDecScanComponents);
  d.ns = s[0];
  if (s.size() != 4 + 2 * static_cast<size_t>(d.ns)) return JpegFail(d.codec, kDecBadLength);
  for (int i = 0; i < d.ns; ++i) {
    const int id = s[1 + 2 * i];
    int f = 0;
    while (f < d.ncomp && d.comp[f].id != id) ++f;
    if (f == d.ncomp)
      return JPEG_FAIL(d.codec, kDecUnknownComponent, id, id >= 32 && id < 127 ? id : '?');
    for (int j = 0; j < i; ++j)
      if (d.sc[j] == f) return JpegFail(d.codec, kDecScanComponents);
    d.sc[i] = f;
    d.comp[f].td = s[2 + 2 * i] >> 4;
    d.comp[f].ta = s[2 + 2 * i] & 15;
    if (d.comp[f].td > 3 || d.comp[f].ta > 3) return JPEG_FAIL(d.codec, kDecTableNumber, d.scan_no);
  }
  const uint8_t *t = &s[1 + 2 * d.ns];
  d.ss = t[0];
  d.se = t[1];
  d.ah = t[2] >> 4;
  d.al = t[2] & 15;
  // Blocks in one MCU of an interleaved scan.
  int blocks = 0;
  for (int i = 0; i < d.ns; ++i) blocks += d.comp[d.sc[i]].h * d.comp[d.sc[i]].v;
  if (d.ns > 1 && blocks > 10) return JPEG_FAIL(d.codec, kDecMcuBlocks, d.scan_no, blocks);

  if (d.mode == JPEG_LOSSLESS) {
    if (d.ss < 1 || d.ss > 7) return JpegFail(d.codec, kDecPredictor);
    d.predictor = d.ss;
    if (d.al >= d.precision) return JpegFail(d.codec, kDecPredictor);
  } else if (d.mode != JPEG_PROGRESSIVE) {
    if (d.ss != 0 || d.se != 63 || d.ah || d.al) {
      if (d.ss) return JPEG_FAIL(d.codec, kDecSequentialStart, d.scan_no);
      if (d.se != 63) return JPEG_FAIL(d.codec, kDecSequentialEnd, d.scan_no);
      return JPEG_FAIL(d.codec, kDecSequentialBits, d.scan_no);
    }
    for (int i = 0; i < d.ns; ++i)
      if (!d.q_defined[d.comp[d.sc[i]].tq])
        return JPEG_FAIL(d.codec, kDecQuantUndefined, d.comp[d.sc[i]].tq);
  } else {
    if (d.se > 63) return JPEG_FAIL(d.codec, kDecSpectralEnd, d.scan_no, d.se);
    if (d.ss > d.se) return JPEG_FAIL(d.codec, kDecSpectralOrder, d.scan_no, d.ss, d.se);
    if (d.ss == 0 && d.se != 0) return JPEG_FAIL(d.codec, kDecDcWithAc, d.scan_no);
    if (d.ss > 0 && d.ns != 1) return JPEG_FAIL(d.codec, kDecAcComponents, d.scan_no);
    if (d.al > 13 || d.ah > 13) return JPEG_FAIL(d.codec, kDecSuccessiveBits, d.scan_no);
    // Every bit of every coefficient is sent once, the top bits first.
    for (int i = 0; i < d.ns; ++i) {
      Comp &c = d.comp[d.sc[i]];
      for (int k = d.ss; k <= d.se; ++k) {
        if (d.ah == 0 ? c.cover[k] >= 0 : c.cover[k] >= 0 && c.cover[k] <= d.al)
          return JPEG_FAIL(d.codec, kDecBitOverlap, d.scan_no, i, c.id, CompChar(d, d.sc[i]), k,
                           d.ah ? d.ah - 1 : d.al);
        if (d.ah != 0 && (c.cover[k] != d.ah || d.ah != d.al + 1))
          return JPEG_FAIL(d.codec, kDecBitGap, d.scan_no, i, c.id, CompChar(d, d.sc[i]), k, d.ah);
      }
      for (int k = d.ss; k <= d.se; ++k) c.cover[k] = d.al;
    }
  }
  // Tables the scan's symbols need.
  for (int i = 0; i < d.ns; ++i) {
    const Comp &c = d.comp[d.sc[i]];
    const bool need_dc = d.mode == JPEG_LOSSLESS || (d.ss == 0 && d.ah == 0);
    const bool need_ac = d.mode != JPEG_LOSSLESS && d.se > 0;
    if (d.mode == JPEG_BASELINE && (c.td > 1 || c.ta > 1))
      return JPEG_FAIL(d.codec, kDecTableNumber, d.scan_no);
    if ((need_dc && !d.dc[c.td].defined) || (need_ac && !d.ac[c.ta].defined))
      return JpegFail(d.codec, kDecNoHuffTable);
  }
  // A fresh entropy-coded segment.
  for (int i = 0; i < d.ncomp; ++i) d.comp[i].pred = 0;
  d.acc = 0;
  d.nbits = 0;
  d.fake_bits = 0;
  d.marker = 0;
  d.damaged = false;
  d.eobrun = 0;
  d.restarts_left = d.restart_interval;
  d.next_rst = 0;
  return 0;
}

// Between restart intervals: the marker that must come, then a fresh start.
ReturnTp Restart(Decoder &d) {
  d.acc = 0;
  d.nbits = 0;
  if (!d.marker) {
    // Bits left over in the interval are padding; look for the marker.
    int32_t skipped = 0;
    while (!d.marker) {
      int b = GetByte(d);
      if (b < 0)
        d.marker = kEndOfData;
      else if (b == 0xFF) {
        int c = GetByte(d);
        while (c == 0xFF) c = GetByte(d);
        if (c != 0) d.marker = c < 0 ? kEndOfData : c;
      } else
        ++skipped;
    }
    if (skipped > 0)
      if (ReturnTp rc = Warn(d, "Restart marker expected\n")) return rc;
  }
  if (d.marker >= 0xD0 && d.marker <= 0xD7) {
    if (d.marker != 0xD0 + d.next_rst)
      if (ReturnTp rc = Warn(d, "Restart marker expected\n")) return rc;
    d.marker = 0;
  } else {
    // Another marker or the end: the rest of the scan is lost.
    d.damaged = true;
    if (ReturnTp rc = Warn(d, "Restart marker expected\n")) return rc;
  }
  d.next_rst = (d.next_rst + 1) & 7;
  d.fake_bits = 0;
  for (int i = 0; i < d.ncomp; ++i) d.comp[i].pred = 0;
  d.eobrun = 0;
  d.restarts_left = d.restart_interval;
  d.restarted = true;
  return 0;
}

// Before each MCU: a restart when the interval is used up, and the check
// that the data has not run out.
inline ReturnTp BeforeMcu(Decoder &d, bool first) {
  if (d.restart_interval && !first) {
    if (d.restarts_left == 0)
      if (ReturnTp rc = Restart(d)) return rc;
  }
  if (d.restart_interval) --d.restarts_left;
  if (!d.damaged && RanDry(d)) {
    d.damaged = true;
    // A frame far larger than its data is not worth painting grey.
    const int64_t unit = d.mode == JPEG_LOSSLESS ? 1 : 8 * d.vmax;
    const int64_t missing = static_cast<int64_t>(d.width) * (d.height - d.mcu_row * unit);
    if (d.marker == kEndOfData && missing > (int64_t{1} << 26))
      return JPEG_FAIL(d.codec, kDecDataEnds, static_cast<int>(d.mcu_row * unit), d.height);
    return Warn(
        d, d.marker == kEndOfData ? "JPEG data ends early" : "Unexpected marker in entropy data");
  }
  return 0;
}

// Progressive: one block's share of the current scan, into the store.
ReturnTp DecodeProgressive(Decoder &d, Comp &c, int16_t *blk) {
  if (d.nbits < 32) Fill(d);
  if (d.ss == 0) {
    if (d.ah == 0) {
      const int s = Decode(d, d.dc[c.td]);
      if (s < 0 || s > 15) return BadCode(d);
      c.pred = static_cast<int16_t>(c.pred + (s ? Extend(Bits(d, s), s) : 0));
      blk[0] = static_cast<int16_t>(static_cast<uint32_t>(c.pred) << d.al);
    } else if (Bits(d, 1)) {
      blk[0] = static_cast<int16_t>(blk[0] | 1 << d.al);
    }
    return 0;
  }
  const Huff &act = d.ac[c.ta];
  if (d.ah == 0) {
    if (d.eobrun > 0) {
      --d.eobrun;
      return 0;
    }
    for (int k = d.ss; k <= d.se; ++k) {
      if (d.nbits < 32) Fill(d);
      const int32_t f = act.fast_ac[d.acc >> 55];
      if (f) {
        k += (f >> 4) & 15;
        Consume(d, f & 15);
        if (k > 63) return JPEG_FAIL(d.codec, kDecOutOfBlock, k, 63);
        blk[JpegZigzag[k]] = static_cast<int16_t>(static_cast<uint32_t>(f >> 8) << d.al);
        continue;
      }
      const int rs = Decode(d, act);
      if (rs < 0) return BadCode(d);
      const int r = rs >> 4, s = rs & 15;
      if (s == 0) {
        if (r < 15) {
          d.eobrun = (1 << r) - 1;
          if (r) d.eobrun += Bits(d, r);
          break;
        }
        k += 15;
        continue;
      }
      k += r;
      if (k > 63) return JPEG_FAIL(d.codec, kDecOutOfBlock, k, 63);
      blk[JpegZigzag[k]] =
          static_cast<int16_t>(static_cast<uint32_t>(Extend(Bits(d, s), s)) << d.al);
    }
    return 0;
  }
  // Refinement: one more bit of coefficients already seen, new ones of
  // magnitude one placed among them.
  const int p1 = 1 << d.al, m1 = -1 * (1 << d.al);
  int k = d.ss;
  if (d.eobrun == 0) {
    for (; k <= d.se; ++k) {
      if (d.nbits < 32) Fill(d);
      const int rs = Decode(d, act);
      if (rs < 0) return BadCode(d);
      int r = rs >> 4;
      const int s = rs & 15;
      int value = 0;
      if (s) {
        if (s != 1) return BadCode(d);
        value = Bits(d, 1) ? p1 : m1;
      } else if (r != 15) {
        d.eobrun = 1 << r;
        if (r) d.eobrun += Bits(d, r);
        break;
      }
      for (; k <= d.se; ++k) {
        int16_t &co = blk[JpegZigzag[k]];
        if (co != 0) {
          if (d.nbits < 16) Fill(d);
          if (Bits(d, 1) && (co & p1) == 0) co = static_cast<int16_t>(co >= 0 ? co + p1 : co + m1);
        } else {
          if (r == 0) {
            if (value) co = static_cast<int16_t>(value);
            break;
          }
          --r;
        }
      }
      if (k > d.se && s) return JPEG_FAIL(d.codec, kDecOutOfBlock, k, d.se);
    }
  }
  if (d.eobrun > 0) {
    for (; k <= d.se; ++k) {
      int16_t &co = blk[JpegZigzag[k]];
      if (co != 0) {
        if (d.nbits < 16) Fill(d);
        if (Bits(d, 1) && (co & p1) == 0) co = static_cast<int16_t>(co >= 0 ? co + p1 : co + m1);
      }
    }
    --d.eobrun;
  }
  return 0;
}

// A scan into the coefficient store (progressive, or sequential files
// whose components come in separate scans).
ReturnTp BufferedScan(Decoder &d) {
  const bool single = d.ns == 1;
  const Comp &c0 = d.comp[d.sc[0]];
  const int units_x = single ? c0.bw : d.mcux, units_y = single ? c0.bh : d.mcuy;
  int32_t blk32[64];
  ReturnTp rc = 0;
  for (int my = 0; my < units_y; ++my)
    for (int mx = 0; mx < units_x; ++mx) {
      if ((rc = BeforeMcu(d, mx == 0 && my == 0))) return rc;
      // Without restarts nothing more of this scan can be read: the
      // blocks left keep what earlier scans gave them. Walking them would
      // cost the frame's area, which a short file can make billions.
      if (d.damaged && !d.restart_interval) return 0;
      if (d.damaged) continue;
      for (int i = 0; i < d.ns; ++i) {
        Comp &c = d.comp[d.sc[i]];
        const int bh = single ? 1 : c.h, bv = single ? 1 : c.v;
        for (int y = 0; y < bv; ++y)
          for (int x = 0; x < bh; ++x) {
            const int64_t bx = static_cast<int64_t>(mx) * bh + x,
                          by = static_cast<int64_t>(my) * bv + y;
            int16_t *blk = JpegMemBlock(d.mem, c.base + by * c.bwp + bx, true, &rc);
            if (!blk) return rc;
            if (d.mode == JPEG_PROGRESSIVE) {
              rc = DecodeProgressive(d, c, blk);
            } else {
              // Sequential: whole coefficients, kept undequantised like
              // progressive ones.
              static const uint16_t ones[64] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                                1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                                1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                                1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
              memset(blk32, 0, sizeof blk32);
              int last = 0;
              rc = DecodeBlock(d, c, blk32, ones, &last);
              for (int k = 0; k < (d.dc_only ? 1 : 64); ++k)
                blk[k] = static_cast<int16_t>(blk32[k] < -32768  ? -32768
                                              : blk32[k] > 32767 ? 32767
                                                                 : blk32[k]);
            }
            if (rc) return rc;
            if (d.damaged) goto next_mcu;
          }
      }
    next_mcu:;
    }
  return 0;
}

// ---- Output ---------------------------------------------------------------------------

void PrepareOutput(Decoder &d) {
  d.slots = 1;
  const bool lossless = d.mode == JPEG_LOSSLESS;
  // Lossless data have a sample per pixel: no block, no reduced size.
  const int unit = lossless ? 1 : 8, block = lossless ? 1 : d.block;
  d.out_w = static_cast<int>((int64_t{d.width} * block + unit - 1) / unit);
  d.out_h = static_cast<int>((int64_t{d.height} * block + unit - 1) / unit);
  for (int i = 0; i < d.ncomp; ++i) {
    Comp &c = d.comp[i];
    // At a reduced size a subsampled component is decoded at the
    // output's own scale where its blocks can be that large (chroma halved
    // at 1/2 size takes whole 8 x 8 blocks): nothing is left to upsample,
    // and its samples are exact means too.
    auto side = [&](int factor, int most) {
      if (lossless || d.dc_only) return 1;
      int b = 8;
      while (b > 1 && static_cast<int64_t>(b) * factor > int64_t{block} * most) b >>= 1;
      return b;
    };
    c.bx = side(c.h, d.hmax);
    c.by = side(c.v, d.vmax);
    c.cw = static_cast<int>((int64_t{d.width} * c.h * c.bx + int64_t{unit} * d.hmax - 1) /
                            (int64_t{unit} * d.hmax));
    c.ch = static_cast<int>((int64_t{d.height} * c.v * c.by + int64_t{unit} * d.vmax - 1) /
                            (int64_t{unit} * d.vmax));
    // Output pixels per sample across and down: hmax x block / (h x bx).
    const int64_t across = int64_t{c.h} * c.bx, down = int64_t{c.v} * c.by;
    const int64_t wide = int64_t{d.hmax} * block, tall = int64_t{d.vmax} * block;
    const bool h2 = across * 2 == wide, v2 = down * 2 == tall;
    const bool h1 = across == wide, v1 = down == tall;
    if (h1 && v1)
      c.up = kUpSame;
    else if (lossless || d.par->replicate || c.cw <= 2)
      c.up = kUpRepeat;
    else if (h2 && v1)
      c.up = kUpH2V1;
    else if (h1 && v2)
      c.up = kUpH1V2;
    else if (h2 && v2)
      c.up = kUpH2V2;
    else
      c.up = kUpRepeat;
    if (c.up == kUpH1V2 || c.up == kUpH2V2) d.slots = 3;
    if (c.up != kUpSame) {
      const size_t n = std::max(static_cast<size_t>(d.out_w), static_cast<size_t>(c.cw) * 2);
      if (d.precision == 8)
        d.up8[i].resize(n);
      else
        d.up16[i].resize(n);
    }
    c.xmap.resize(d.out_w);
    for (int x = 0; x < d.out_w; ++x) c.xmap[x] = static_cast<int32_t>(x * across / wide);
    c.ymul = down;
    c.ydiv = tall;
  }
  for (int i = 0; i < d.ncomp; ++i) {
    Comp &c = d.comp[i];
    c.stride = c.bwp * c.bx;
    // Lossless keeps the previous row after the current one.
    const size_t samples = static_cast<size_t>(c.stride) * (lossless ? 2 : c.v * c.by * d.slots);
    if (d.precision == 8 && !lossless)
      c.plane8.assign(samples, 128);
    else
      c.plane16.assign(samples, static_cast<uint16_t>(lossless ? 0 : 2048));
  }
}

// One MCU row of a single interleaved scan (or the one component of a
// grey image), decoded and transformed straight into the planes.
ReturnTp StreamMcuRow(Decoder &d) {
  const bool single = d.ns == 1;
  const int units_x = single ? d.comp[d.sc[0]].bw : d.mcux;
  alignas(16) int32_t blk[64];
  for (int mx = 0; mx < units_x; ++mx) {
    if (ReturnTp rc = BeforeMcu(d, mx == 0 && d.mcu_row == 0)) return rc;
    for (int i = 0; i < d.ns; ++i) {
      Comp &c = d.comp[d.sc[i]];
      const uint16_t *q = d.q[c.tq];
      const int bh = single ? 1 : c.h, bv = single ? 1 : c.v;
      if (c.bx == 1 && c.by == 1) {
        // One sample a block: the DC term is all that is shown.
        for (int y = 0; y < bv; ++y)
          for (int x = 0; x < bh; ++x) {
            int32_t dc = 0;
            if (!d.damaged)
              if (ReturnTp rc = DecodeDcOnly(d, c, q, &dc)) return rc;
            if (d.damaged) dc = 0;
            PutBlock(d, c, &dc, 0, mx * bh + x, y);
          }
        continue;
      }
      for (int y = 0; y < bv; ++y)
        for (int x = 0; x < bh; ++x) {
          memset(blk, 0, sizeof blk);
          int last = 0;
          if (!d.damaged)
            if (ReturnTp rc = DecodeBlock(d, c, blk, q, &last)) return rc;
          if (d.damaged) {
            // Lost data shows as mid grey.
            memset(blk, 0, sizeof blk);
            last = 0;
          }
          PutBlock(d, c, blk, last, mx * bh + x, y);
        }
    }
  }
  return 0;
}

// One MCU row from the coefficient store.
ReturnTp StoreMcuRow(Decoder &d) {
  alignas(16) int32_t blk[64];
  for (int i = 0; i < d.ncomp; ++i) {
    Comp &c = d.comp[i];
    const uint16_t *q = d.q[c.tq];
    for (int y = 0; y < c.v; ++y) {
      const int64_t by = static_cast<int64_t>(d.mcu_row) * c.v + y;
      for (int bx = 0; bx < c.bwp; ++bx) {
        ReturnTp rc = 0;
        const int16_t *co = JpegMemBlock(d.mem, c.base + by * c.bwp + bx, false, &rc);
        if (!co) return rc;
        int last = 0;
        if (d.dc_only) {
          blk[0] = co[0] * q[0];
        } else {
          for (int k = 0; k < 64; ++k) {
            blk[k] = co[k] * q[k];
            if (co[k] && k) last = 1;
          }
        }
        PutBlock(d, c, blk, last, bx, y);
      }
    }
  }
  return 0;
}

// Lossless: one MCU row of samples (every component sampled 1 x 1).
ReturnTp LosslessRow(Decoder &d) {
  const int y = d.mcu_row;
  const int initial = 1 << (d.precision - d.al - 1);
  // The first row of the image, and of each restart interval, predicts
  // from the left only; its first sample from the middle of the range.
  bool first_row = y == 0;
  for (int x = 0; x < d.mcux; ++x) {
    d.restarted = false;
    if (ReturnTp rc = BeforeMcu(d, x == 0 && y == 0)) return rc;
    const bool fresh = (x == 0 && y == 0) || d.restarted;
    if (d.restarted) first_row = true;
    for (int i = 0; i < d.ns; ++i) {
      Comp &c = d.comp[d.sc[i]];
      uint16_t *row = c.plane16.data();
      const uint16_t *prev = row + c.stride;
      int diff = 0;
      if (!d.damaged) {
        if (d.nbits < 32) Fill(d);
        const int s = Decode(d, d.dc[c.td]);
        if (s < 0 || s > 16) {
          if (ReturnTp rc = BadCode(d)) return rc;
        } else if (s == 16) {
          diff = 32768;
        } else if (s) {
          diff = Extend(Bits(d, s), s);
        }
      }
      const int ra = x > 0 ? row[x - 1] : 0, rb = prev[x], rc_ = x > 0 ? prev[x - 1] : 0;
      int pred;
      if (fresh)
        pred = initial;
      else if (first_row)
        pred = ra;
      else if (x == 0)
        pred = rb;
      else {
        switch (d.predictor) {
          case 1:
            pred = ra;
            break;
          case 2:
            pred = rb;
            break;
          case 3:
            pred = rc_;
            break;
          case 4:
            pred = ra + rb - rc_;
            break;
          case 5:
            pred = ra + ((rb - rc_) >> 1);
            break;
          case 6:
            pred = rb + ((ra - rc_) >> 1);
            break;
          default:
            pred = (ra + rb) >> 1;
            break;
        }
      }
      row[x] = static_cast<uint16_t>((pred + diff) & 0xFFFF);
    }
  }
  for (int i = 0; i < d.ns; ++i) {
    Comp &c = d.comp[d.sc[i]];
    memcpy(c.plane16.data() + c.stride, c.plane16.data(), sizeof(uint16_t) * c.stride);
  }
  return 0;
}

// The colour conversion tables of JFIF YCbCr, in 16-bit fixed point.
struct YccTables {
  int center;
  std::vector<int32_t> cr_r, cb_b, cr_g, cb_g;
  explicit YccTables(int bits) : center(1 << (bits - 1)) {
    const int n = 1 << bits;
    cr_r.resize(n), cb_b.resize(n), cr_g.resize(n), cb_g.resize(n);
    constexpr int64_t kHalf = 1 << 15;
    for (int i = 0; i < n; ++i) {
      const int64_t x = i - center;
      cr_r[i] = static_cast<int32_t>((91881 * x + kHalf) >> 16);   // 1.40200
      cb_b[i] = static_cast<int32_t>((116130 * x + kHalf) >> 16);  // 1.77200
      cr_g[i] = static_cast<int32_t>(-46802 * x);                  // 0.71414
      cb_g[i] = static_cast<int32_t>(-22554 * x + kHalf);          // 0.34414
    }
  }
};

const YccTables &Ycc(int bits) {
  static const YccTables t8(8), t12(12);
  return bits == 8 ? t8 : t12;
}

// Row cy of a component's samples, from the MCU row that holds it.
template <typename T>
const T *SampleRow(const Decoder &d, const Comp &c, int cy) {
  const T *plane;
  if constexpr (sizeof(T) == 1)
    plane = c.plane8.data();
  else
    plane = c.plane16.data();
  if (d.mode == JPEG_LOSSLESS) return plane;
  const int rows = c.by * c.v;
  return plane + static_cast<size_t>(cy / rows % d.slots * rows + cy % rows) * c.stride;
}

// Component i's samples for image row y at full size: its own row when it
// is not subsampled, else interpolated into line. Between two samples the
// nearer weighs 3/4 and the farther 1/4; across and down at once, the sums
// of both directions are rounded once (the rounding alternates, so that
// flat areas do not drift).
template <typename T>
const T *UpRow(const Decoder &d, int i, int y, T *line) {
  const Comp &c = d.comp[i];
  if (c.up == kUpSame) return SampleRow<T>(d, c, y);
  if (c.up == kUpRepeat) {
    const T *s = SampleRow<T>(d, c, static_cast<int>(y * c.ymul / c.ydiv));
    const int32_t *map = c.xmap.data();
    for (int x = 0; x < d.out_w; ++x) line[x] = s[map[x]];
    return line;
  }
  const int n = c.cw;
  if (c.up == kUpH2V1) {
    const T *s = SampleRow<T>(d, c, y);
    line[0] = s[0];
    line[1] = static_cast<T>((3 * s[0] + s[1] + 2) >> 2);
    for (int x = 1; x < n - 1; ++x) {
      const int near3 = 3 * s[x];
      line[2 * x] = static_cast<T>((near3 + s[x - 1] + 1) >> 2);
      line[2 * x + 1] = static_cast<T>((near3 + s[x + 1] + 2) >> 2);
    }
    line[2 * n - 2] = static_cast<T>((3 * s[n - 1] + s[n - 2] + 1) >> 2);
    line[2 * n - 1] = s[n - 1];
    return line;
  }
  // Down: the nearer sample row and the one above (even image rows) or
  // below (odd rows), the image's first and last rows repeated.
  const int cy = y >> 1;
  const int far_y = y & 1 ? std::min(cy + 1, c.ch - 1) : std::max(cy - 1, 0);
  const T *near = SampleRow<T>(d, c, cy), *far = SampleRow<T>(d, c, far_y);
  if (c.up == kUpH1V2) {
    const int bias = y & 1 ? 2 : 1;
    for (int x = 0; x < n; ++x) line[x] = static_cast<T>((3 * near[x] + far[x] + bias) >> 2);
    return line;
  }
  int here = 3 * near[0] + far[0], next = 3 * near[1] + far[1], last = here;
  line[0] = static_cast<T>((4 * here + 8) >> 4);
  line[1] = static_cast<T>((3 * here + next + 7) >> 4);
  for (int x = 1; x < n - 1; ++x) {
    last = here;
    here = next;
    next = 3 * near[x + 1] + far[x + 1];
    line[2 * x] = static_cast<T>((3 * here + last + 8) >> 4);
    line[2 * x + 1] = static_cast<T>((3 * here + next + 7) >> 4);
  }
  line[2 * n - 2] = static_cast<T>((3 * next + here + 8) >> 4);
  line[2 * n - 1] = static_cast<T>((4 * next + 7) >> 4);
  return line;
}

template <typename T>
T *UpLine(Decoder &d, int i) {
  if constexpr (sizeof(T) == 1)
    return d.up8[i].data();
  else
    return d.up16[i].data();
}

// Four components are printing inks, stored inverted (the largest value
// is no ink) as the programs that write them do; with the transform flag
// (YCCK) the first three are luminance and chrominance of the inverted
// cyan, magenta and yellow. Each ink darkens what lies under it: red is
// (1 - cyan)(1 - black), and so on.
template <typename T>
void DeliverInk(Decoder &d, int y, bool ycck, T *out) {
  const int max = (1 << d.precision) - 1, half = max / 2;
  const T *c0 = UpRow<T>(d, 0, y, UpLine<T>(d, 0)), *c1 = UpRow<T>(d, 1, y, UpLine<T>(d, 1)),
          *c2 = UpRow<T>(d, 2, y, UpLine<T>(d, 2)), *k = UpRow<T>(d, 3, y, UpLine<T>(d, 3));
  const YccTables &t = Ycc(d.precision);
  const bool grey = d.par->color == JPEG_GRAY;
  for (int x = 0; x < d.out_w; ++x) {
    int rgb[3] = {c0[x], c1[x], c2[x]};
    if (ycck) {
      const int y_ = c0[x], cb = c1[x], cr = c2[x];
      const int v[3] = {y_ + t.cr_r[cr], y_ + ((t.cb_g[cb] + t.cr_g[cr]) >> 16), y_ + t.cb_b[cb]};
      // The transform gives the inks themselves: their inverse is kept.
      for (int i = 0; i < 3; ++i) rgb[i] = max - (v[i] < 0 ? 0 : v[i] > max ? max : v[i]);
    }
    for (int &v : rgb) v = static_cast<int>((int64_t{v} * k[x] + half) / max);
    if (grey)
      out[x] = static_cast<T>(
          (int64_t{rgb[0]} * 19595 + int64_t{rgb[1]} * 38470 + int64_t{rgb[2]} * 7471 + 32768) >>
          16);
    else
      for (int i = 0; i < 3; ++i) out[3 * x + i] = static_cast<T>(rgb[i]);
  }
}

// Image row y, from the MCU rows held, into the caller's buffer.
template <typename T>
void DeliverRow(Decoder &d, int y, T *out) {
  const int width = d.out_w;
  const int color = d.par->color;
  const int max = (1 << d.precision) - 1;
  if (d.ncomp == 1) {
    const T *g = SampleRow<T>(d, d.comp[0], y);
    if (color == JPEG_GRAY) {
      memcpy(out, g, sizeof(T) * width);
    } else {
      for (int x = 0; x < width; ++x) out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = g[x];
    }
    return;
  }
  const bool transform = d.transform && d.mode != JPEG_LOSSLESS;
  if (d.ncomp == 4 && color == JPEG_FOUR) {
    // Inks or colours with alpha that a container converts itself.
    const T *c[4];
    for (int i = 0; i < 4; ++i) c[i] = UpRow<T>(d, i, y, UpLine<T>(d, i));
    for (int x = 0; x < width; ++x)
      for (int i = 0; i < 4; ++i) out[4 * x + i] = c[i][x];
    return;
  }
  if (d.ncomp == 4) {
    DeliverInk<T>(d, y, transform, out);
    return;
  }
  const T *c0 = UpRow<T>(d, 0, y, UpLine<T>(d, 0));
  if (transform && color == JPEG_GRAY) {
    memcpy(out, c0, sizeof(T) * width);
    return;
  }
  const T *c1 = UpRow<T>(d, 1, y, UpLine<T>(d, 1)), *c2 = UpRow<T>(d, 2, y, UpLine<T>(d, 2));
  if (!transform) {
    for (int x = 0; x < width; ++x) {
      const int a = c0[x], b = c1[x], c = c2[x];
      if (color == JPEG_GRAY)
        out[x] = static_cast<T>((a * 19595 + b * 38470 + c * 7471 + 32768) >> 16);
      else
        out[3 * x] = static_cast<T>(a), out[3 * x + 1] = static_cast<T>(b),
                out[3 * x + 2] = static_cast<T>(c);
    }
    return;
  }
  const YccTables &t = Ycc(d.precision);
  for (int x = 0; x < width; ++x) {
    const int y_ = c0[x], cb = c1[x], cr = c2[x];
    const int r_ = y_ + t.cr_r[cr], g_ = y_ + ((t.cb_g[cb] + t.cr_g[cr]) >> 16),
              b_ = y_ + t.cb_b[cb];
    out[3 * x] = static_cast<T>(r_ < 0 ? 0 : r_ > max ? max : r_);
    out[3 * x + 1] = static_cast<T>(g_ < 0 ? 0 : g_ > max ? max : g_);
    out[3 * x + 2] = static_cast<T>(b_ < 0 ? 0 : b_ > max ? max : b_);
  }
}

// The entropy data of a scan passed over to the marker after them.
void SkipScanData(Decoder &d) {
  for (;;) {
    int c = GetByte(d);
    if (c < 0) break;
    if (c != 0xFF) continue;
    do c = GetByte(d);
    while (c == 0xFF);
    if (c < 0) break;
    if (c == 0 || (c >= 0xD0 && c <= 0xD7)) continue;  // stuffing, restarts
    d.marker = c;
    return;
  }
  d.marker = kEndOfData;
}

// A scan into the store, or past it when it brings nothing kept.
ReturnTp TakeScan(Decoder &d) {
  if (d.dc_only && d.mode == JPEG_PROGRESSIVE && d.ss > 0) {
    SkipScanData(d);
    return 0;
  }
  return BufferedScan(d);
}

// Reads scans until the end of image into the store.
ReturnTp ReadAllScans(Decoder &d) {
  if (d.pending_scan) {
    d.pending_scan = false;
    if (ReturnTp rc = TakeScan(d)) return rc;
  }
  d.lenient = true;
  while (!d.scans_done && !d.ended) {
    int code = 0;
    if (d.marker == kEndOfData || (!d.marker && PeekByte(d) < 0)) {
      // The data ended without its end of image: show what there is.
      d.scans_done = true;
      if (ReturnTp rc = Warn(d, "JPEG data ends early")) return rc;
      break;
    }
    ReturnTp rc = NextMarker(d, &code);
    if (rc) return rc;
    switch (code) {
      case 0xD9:
        d.scans_done = d.eoi_seen = true;
        break;
      case 0xDA:
        if ((rc = ReadSos(d)) || d.ended || (rc = TakeScan(d))) return rc;
        break;
      case 0xC4:
        rc = ReadDht(d);
        break;
      case 0xDB:
        rc = ReadDqt(d);
        break;
      case 0xDD: {
        std::vector<uint8_t> s;
        if (!(rc = ReadSegment(d, s)) && !d.ended) {
          if (s.size() != 2) return JpegFail(d.codec, kDecBadLength);
          d.restart_interval = IfuGetBe16(s.data());
        }
        break;
      }
      default:
        if (code >= 0xD0 && code <= 0xD7) break;  // a stray restart marker
        if ((code >= 0xE0 && code <= 0xEF) || code == 0xFE || code == 0xDC) {
          rc = SkipSegment(d);
          break;
        }
        return JPEG_FAIL(d.codec, kDecUnexpectedMarker, code);
    }
    if (rc) return rc;
  }
  // A coefficient never sent is a scan missing. Low bits never refined
  // are not: the picture is complete, only coarser, and it is shown so.
  if (d.mode == JPEG_PROGRESSIVE && d.eoi_seen) {
    for (int i = 0; i < d.ncomp; ++i)
      for (int k = 0; k < 64; ++k)
        if (d.comp[i].cover[k] < 0) return JPEG_FAIL(d.codec, kDecScanMissing, d.comp[i].id, k, 0);
  }
  for (int i = 0; i < d.ncomp; ++i)
    if (!d.q_defined[d.comp[i].tq]) return JPEG_FAIL(d.codec, kDecQuantUndefined, d.comp[i].tq);
  return 0;
}

// The markers up to the first scan.
ReturnTp ReadHeaders(Decoder &d) {
  // Optional tables stream: markers up to its end of image.
  if (d.par->tables && d.par->tables_length > 0) {
    d.in_tables = true;
    d.p = d.par->tables;
    d.end = d.p + d.par->tables_length;
  }
  // The start of image, after whatever comes before it.
  bool soi = false;
  while (!soi) {
    int prev = 0;
    int32_t seen = 0;
    const bool tables = d.in_tables;
    for (;;) {
      const int c = GetByte(d);
      if (c < 0 || ++seen > kSoiSearch || tables != d.in_tables) break;
      if (prev == 0xFF && c == 0xD8) {
        soi = true;
        break;
      }
      prev = c;
    }
    if (!soi && !tables) return JpegFail(d.codec, kDecNotJpeg);
    // A tables stream without its start of image is ignored.
    if (!soi) continue;
    if (tables) {
      soi = false;
      for (;;) {
        int code = 0;
        if (ReturnTp rc = NextMarker(d, &code)) return rc;
        ReturnTp rc = 0;
        if (code == 0xD9) break;
        if (code == 0xC4)
          rc = ReadDht(d);
        else if (code == 0xDB)
          rc = ReadDqt(d);
        else
          rc = SkipSegment(d);
        if (rc) return rc;
      }
      d.in_tables = false;
      d.p = d.end = nullptr;
    }
  }
  for (;;) {
    int code = 0;
    if (ReturnTp rc = NextMarker(d, &code)) return rc;
    ReturnTp rc = 0;
    if (code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC) {
      rc = ReadSof(d, code);
    } else if (code == 0xC4) {
      rc = ReadDht(d);
    } else if (code == 0xDB) {
      rc = ReadDqt(d);
    } else if (code == 0xDD) {
      std::vector<uint8_t> s;
      if (!(rc = ReadSegment(d, s))) {
        if (s.size() != 2) return JpegFail(d.codec, kDecBadLength);
        d.restart_interval = IfuGetBe16(s.data());
      }
    } else if (code >= 0xE0 && code <= 0xEF) {
      rc = ReadApp(d, code);
    } else if (code == 0xFE || code == 0xDC || code == 0xCC) {
      rc = SkipSegment(d);
    } else if (code == 0xDA) {
      if (d.sof < 0) return JpegFail(d.codec, kDecNoFrame);
      return ReadSos(d);
    } else if (code == 0xD9) {
      return JpegFail(d.codec, d.sof < 0 ? kDecEndBeforeFrame : kDecEndBeforeScan);
    } else {
      return JPEG_FAIL(d.codec, kDecUnexpectedMarker, code);
    }
    if (rc) return rc;
  }
}

void Free(Decoder *d) {
  if (!d) return;
  JpegMemFree(d->mem);
  delete d;
}

}  // namespace

ReturnTp JpegInitDecoder(IfuCodecTp *codec) {
  auto *par = static_cast<JpegParamTp *>(codec->param);
  if (!par) return JpegFail(codec, kDecNotStarted);
  auto *d = new (std::nothrow) Decoder();
  if (!d) return JpegFail(codec, kDecNoMemory);
  d->codec = codec;
  d->par = par;
  codec->object = d;
  ReturnTp rc = ReadHeaders(*d);
  if (!rc && d->mode != JPEG_LOSSLESS) {
    for (int i = 0; i < d->ns; ++i)
      if (!d->q_defined[d->comp[d->sc[i]].tq])
        rc = JPEG_FAIL(codec, kDecQuantUndefined, d->comp[d->sc[i]].tq);
  }
  if (rc) {
    Free(d);
    codec->object = nullptr;
    return rc;
  }
  par->file_mode = d->mode;
  par->width = d->width;
  par->height = d->height;
  par->components = d->ncomp;
  par->file_depth = d->precision;
  // Band heights: the MCU row of the frame rounded up to a power of two.
  int m = 1;
  while ((8 << (m - 1)) < 8 * d->vmax) ++m;
  if (d->mode == JPEG_LOSSLESS) m = 1;
  d->buffered = d->mode == JPEG_PROGRESSIVE || d->ns != d->ncomp;
  par->band_height = 1 << (m + 2);
  if (par->band_height > d->height) par->band_height = d->height;
  if (d->mode == JPEG_LOSSLESS && d->ns != d->ncomp) {
    rc = JpegFail(codec, kDecLosslessLimit);
  } else if (d->mode == JPEG_LOSSLESS) {
    for (int i = 0; i < d->ncomp; ++i)
      if (d->comp[i].h != 1 || d->comp[i].v != 1) rc = JpegFail(codec, kDecLosslessLimit);
  }
  if (!rc && d->buffered) {
    // The whole image's coefficients, blocks of each component one after another.
    // It is sized at the first read, once the size asked for is known.
    d->mem = JpegMemCreate(codec);
    int64_t blocks = 0;
    for (int i = 0; i < d->ncomp; ++i) {
      d->comp[i].base = blocks;
      blocks += static_cast<int64_t>(d->comp[i].bwp) * d->comp[i].bhp;
    }
    if (!d->mem) rc = JpegFail(codec, kDecNoMemory);
    // The whole image in one band, unless that band would be huge.
    if (d->mode == JPEG_PROGRESSIVE &&
        static_cast<int64_t>(d->width) * d->height * (d->precision > 8 ? 6 : 3) <=
            (int64_t{64} << 20))
      par->band_height = d->height;
  }
  if (!rc) {
    d->transform =
        d->ncomp == 3 && !par->raw_components && (d->adobe ? d->adobe_transform != 0 : true);
    // Four components are transformed only when the Adobe marker says so.
    if (d->ncomp == 4) d->transform = !par->raw_components && d->adobe && d->adobe_transform == 2;
    // Adobe files without the transform flag and components named R, G, B
    // hold RGB.
    if (d->ncomp == 3 && !d->adobe && d->comp[0].id == 'R' && d->comp[1].id == 'G' &&
        d->comp[2].id == 'B')
      d->transform = false;
  }
  if (rc) {
    Free(d);
    codec->object = nullptr;
    return rc;
  }
  return 0;
}

ReturnTp JpegDecode(IfuCodecTp *codec, uint8_t *buffer, int32_t *length) {
  Decoder *d = Dec(codec);
  if (!d) return JpegFail(codec, kDecNotStarted);
  if (d->failed) {
    *length = 0;
    return JpegFail(codec, kDecAfterFailure);
  }
  if (!d->prepared) {
    // The size asked for is known from the first read on.
    const int shift = d->par->scale_shift;
    if (d->mode != JPEG_LOSSLESS && shift > 0 && shift <= 3) d->block = 8 >> shift;
    d->dc_only = d->buffered && d->block == 1;
    d->prepared = true;
    if (d->buffered) {
      const Comp &last = d->comp[d->ncomp - 1];
      const int64_t blocks = last.base + static_cast<int64_t>(last.bwp) * last.bhp;
      if (ReturnTp rc = JpegMemReserve(d->mem, blocks, d->dc_only ? 1 : 64)) {
        d->failed = true;
        *length = 0;
        return rc;
      }
    }
    PrepareOutput(*d);
  }
  const int components = d->par->color == JPEG_GRAY                    ? 1
                         : d->par->color == JPEG_FOUR && d->ncomp == 4 ? 4
                                                                       : 3;
  const int64_t row_bytes =
      static_cast<int64_t>(d->out_w) * components * (d->precision > 8 ? 2 : 1);
  if (d->out_row >= d->out_h) {
    *length = 0;
    return IFU_I_EOD;
  }
  int64_t rows = *length / row_bytes;
  if (rows > d->par->band_height) rows = d->par->band_height;
  if (rows < 1) return CmnError(CMN_SOURCE, __LINE__, IFU_E_BUFFER);
  ReturnTp rc = 0;
  if (d->buffered && !d->scans_done) rc = ReadAllScans(*d);
  const int mcu_height = (d->mode == JPEG_LOSSLESS ? 1 : d->block) * d->vmax;
  int64_t done = 0;
  while (!rc && done < rows && d->out_row < d->out_h) {
    // The MCU row of the next image row is decoded, and the one after it
    // when rows are interpolated down: its first row is the one below.
    const int m = d->out_row / mcu_height;
    const int need = std::min(d->slots > 1 ? m + 1 : m, d->mcuy - 1);
    while (!rc && d->mcu_row <= need) {
      d->slot = d->mcu_row % d->slots;
      d->slot_lost[d->slot] = d->damaged && !d->buffered;
      if (d->mode == JPEG_LOSSLESS)
        rc = LosslessRow(*d);
      else if (d->buffered)
        rc = StoreMcuRow(*d);
      else
        rc = StreamMcuRow(*d);
      ++d->mcu_row;
    }
    if (rc) break;
    uint8_t *out = buffer + done * row_bytes;
    if (d->precision > 8 || d->mode == JPEG_LOSSLESS) {
      if (d->precision > 8)
        DeliverRow<uint16_t>(*d, d->out_row, reinterpret_cast<uint16_t *>(out));
      else {
        // Lossless of 8 bits or fewer: one byte per sample.
        std::vector<uint16_t> wide(static_cast<size_t>(d->out_w) * components);
        DeliverRow<uint16_t>(*d, d->out_row, wide.data());
        for (size_t i = 0; i < wide.size(); ++i) out[i] = static_cast<uint8_t>(wide[i]);
      }
      if (d->mode == JPEG_LOSSLESS && d->al) {
        uint16_t *o16 = reinterpret_cast<uint16_t *>(out);
        for (int64_t i = 0; i < int64_t{d->out_w} * components; ++i) {
          if (d->precision > 8)
            o16[i] = static_cast<uint16_t>(o16[i] << d->al);
          else
            out[i] = static_cast<uint8_t>(out[i] << d->al);
        }
      }
    } else {
      DeliverRow<uint8_t>(*d, d->out_row, out);
    }
    if (d->slot_lost[m % d->slots]) d->par->made_up += row_bytes;
    ++d->out_row;
    ++done;
  }
  if (rc) {
    d->failed = true;
    *length = 0;
    return rc;
  }
  *length = static_cast<int32_t>(done * row_bytes);
  // Damaged data were decoded as far as they go: say so once, at the end.
  if (d->out_row >= d->out_h && d->warnings && !d->loss_reported) {
    d->loss_reported = true;
    CmnError(CMN_SOURCE, __LINE__, IFU_W_DATA_LOST);
  }
  return 0;
}

void JpegFreeDecoder(IfuCodecTp *codec) {
  Free(Dec(codec));
  codec->object = nullptr;
}
