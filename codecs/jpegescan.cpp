// The JPEG encoder's coder: rows to component samples (YCbCr or as they
// are), downsampling, the forward DCT and quantisation, the Huffman coding
// of sequential, progressive and lossless scans, and the markers, all
// gathered in the harvest buffer on their way to the caller.
//
// Baseline and extended sequential streams of 8-bit samples are coded as
// the bands arrive, with the example tables of T.81 Annex K. Every other
// form needs the whole picture before its first scan: its quantised
// coefficients (or, lossless, its samples) are kept, two bytes each, and
// the scans are coded at the end with tables made from their statistics.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "jpegenc.h"

#define CMN_SOURCE "jpegescan"

namespace {

constexpr int32_t kHarvest = 32768;  // the harvest buffer

// Annex K example Huffman tables (K.3 to K.6).
const uint8_t kDcLumaBits[17] = {0, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const uint8_t kDcChromaBits[17] = {0, 0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
const uint8_t kDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
const uint8_t kAcLumaBits[17] = {0, 0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
const uint8_t kAcLumaValues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
const uint8_t kAcChromaBits[17] = {0, 0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
const uint8_t kAcChromaValues[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

struct HuffTable {
  uint8_t bits[17] = {};
  uint8_t values[256] = {};
  int count = 0;
};

// Codes of one table by symbol.
struct HuffCodes {
  uint16_t code[256] = {};
  uint8_t size[256] = {};
};

void MakeCodes(const HuffTable &t, HuffCodes *c) {
  *c = HuffCodes();
  uint32_t code = 0;
  int k = 0;
  for (int l = 1; l <= 16; ++l) {
    for (int i = 0; i < t.bits[l]; ++i, ++k) {
      c->code[t.values[k]] = static_cast<uint16_t>(code++);
      c->size[t.values[k]] = static_cast<uint8_t>(l);
    }
    code <<= 1;
  }
}

HuffTable Table(const uint8_t bits[17], const uint8_t *values) {
  HuffTable t;
  memcpy(t.bits, bits, 17);
  for (int l = 1; l <= 16; ++l) t.count += bits[l];
  memcpy(t.values, values, static_cast<size_t>(t.count));
  return t;
}

inline int BitLength(uint32_t v) { return v ? 32 - __builtin_clz(v) : 0; }

// Forward DCT of one block (Arai, Agui and Nakajima), in place, rows then
// columns; the outputs are the coefficients times 8 x s(u) x s(v), which
// the quantisation divisors take out again.
void ForwardDct(float *d) {
  for (int pass = 0; pass < 2; ++pass) {
    const int step = pass == 0 ? 1 : 8, next = pass == 0 ? 8 : 1;
    float *p = d;
    for (int i = 0; i < 8; ++i, p += next) {
      const float t0 = p[0] + p[7 * step], t7 = p[0] - p[7 * step];
      const float t1 = p[step] + p[6 * step], t6 = p[step] - p[6 * step];
      const float t2 = p[2 * step] + p[5 * step], t5 = p[2 * step] - p[5 * step];
      const float t3 = p[3 * step] + p[4 * step], t4 = p[3 * step] - p[4 * step];
      float t10 = t0 + t3, t13 = t0 - t3, t11 = t1 + t2, t12 = t1 - t2;
      p[0] = t10 + t11;
      p[4 * step] = t10 - t11;
      const float z1 = (t12 + t13) * 0.707106781f;
      p[2 * step] = t13 + z1;
      p[6 * step] = t13 - z1;
      t10 = t4 + t5;
      t11 = t5 + t6;
      t12 = t6 + t7;
      const float z5 = (t10 - t12) * 0.382683433f;
      const float z2 = 0.541196100f * t10 + z5;
      const float z4 = 1.306562965f * t12 + z5;
      const float z3 = t11 * 0.707106781f;
      const float z11 = t7 + z3, z13 = t7 - z3;
      p[5 * step] = z13 + z2;
      p[3 * step] = z13 - z2;
      p[step] = z11 + z4;
      p[7 * step] = z11 - z4;
    }
  }
}

}  // namespace

struct JpegCoderTp {
  IfuCodecTp *codec = nullptr;
  JpegCompParamTp cp;
  JpegSetupTp su;
  int hmax = 1, vmax = 1;
  int32_t mcux = 0, mcuy = 0, band_h = 8, pad_w = 0;
  int in_comps = 1, in_bytes = 1;
  bool lossless = false, stream = false, optimal = false;
  int32_t center = 128;
  int32_t coef_max = 1023;
  struct Comp {
    int32_t bw = 0, bh = 0;         // blocks of the MCU grid
    int32_t bw_ni = 0, bh_ni = 0;   // blocks of a scan of this component alone
    int32_t pw = 0;                 // plane width in samples
    std::vector<float> full;        // band at full resolution (pad_w x band_h)
    std::vector<float> plane;       // band at its own resolution (pw x 8v)
    std::vector<int16_t> coef;      // band (streaming) or picture, zig-zag order per block
    std::vector<uint16_t> samples;  // lossless: the picture
    float recip[64];                // 1 / divisor, natural order
  } comp[4];
  int32_t bands_done = 0;
  int32_t rows_done = 0;

  // Entropy coding.
  HuffCodes dc[4], ac[4];
  uint64_t acc = 0;
  int nbits = 0;
  int pred[4] = {};
  uint32_t eobrun = 0;
  int32_t units = 0;  // MCUs (or blocks) coded since the last restart
  int rst = 0;        // next restart marker number
  std::vector<uint8_t> harvest;
  int32_t fill = 0;
  int64_t bytes_out = 0;
  ReturnTp error = 0;  // a failed hand-over, reported at the next step
  int64_t memory = 0;

  void Flush(bool last) {
    if (harvest.empty()) {
      if (!error) error = JpegFail(codec, kErrRows, "Harvest buffer not initialized");
      return;
    }
    if (fill <= 0 || error) {
      fill = 0;
      return;
    }
    // To a stdio stream, or through the caller's write function.
    ReturnTp rc = 0;
    if (cp.o_dest == OD_FILE)
      rc = fwrite(harvest.data(), 1, static_cast<size_t>(fill), static_cast<FILE *>(cp.o_file)) ==
                   static_cast<size_t>(fill)
               ? 0
               : static_cast<ReturnTp>(errno ? errno : EIO);
    else
      rc = cp.o_wrfunc(cp.o_file, harvest.data(), fill);
    if (rc) {
      error = last ? JpegFail(codec, static_cast<int>(rc & 0xFFFF),
                              "Harvest returned %d flushing buffer", static_cast<int>(rc & 0xFFFF))
                   : JpegFail(codec, static_cast<int>(rc & 0xFFFF), "Harvest returned %d",
                              static_cast<int>(rc & 0xFFFF));
    }
    bytes_out += fill;
    fill = 0;
  }
  inline void Byte(uint8_t b) {
    harvest[fill++] = b;
    if (fill == kHarvest) Flush(false);
  }
  void Bytes(const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; ++i) Byte(p[i]);
  }
  void Word(uint32_t v) {
    Byte(static_cast<uint8_t>(v >> 8));
    Byte(static_cast<uint8_t>(v));
  }
  inline void Put(uint32_t code, int n) {
    acc = (acc << n) | code;
    nbits += n;
    while (nbits >= 8) {
      nbits -= 8;
      const uint8_t b = static_cast<uint8_t>(acc >> nbits);
      Byte(b);
      if (b == 0xFF) Byte(0);
    }
  }
  // Pads the last byte of a scan's data with ones.
  void PadBits() {
    if (nbits > 0) Put((1u << (8 - nbits)) - 1, 8 - nbits);
    acc = 0;
  }
};

namespace {

// Where the symbols of a scan go: counted for the tables, or coded.
struct CountSink {
  uint32_t (*dc)[256];
  uint32_t (*ac)[256];
  void Dc(int t, int sym, uint32_t, int) { ++dc[t][sym]; }
  void Ac(int t, int sym, uint32_t, int) { ++ac[t][sym]; }
  void Raw(uint32_t, int) {}
};

struct EmitSink {
  JpegCoderTp *c;
  inline void Dc(int t, int sym, uint32_t bits, int n) {
    c->Put(c->dc[t].code[sym], c->dc[t].size[sym]);
    if (n) c->Put(bits, n);
  }
  inline void Ac(int t, int sym, uint32_t bits, int n) {
    c->Put(c->ac[t].code[sym], c->ac[t].size[sym]);
    if (n) c->Put(bits, n);
  }
  void Raw(uint32_t bits, int n) { c->Put(bits, n); }
};

template <class S>
inline void CodeDc(S &s, int t, int diff) {
  int v = diff;
  uint32_t a = static_cast<uint32_t>(diff < 0 ? -diff : diff);
  if (diff < 0) --v;
  const int n = BitLength(a);
  s.Dc(t, n, static_cast<uint32_t>(v) & ((1u << n) - 1), n);
}

template <class S>
inline void CodeBlock(S &s, const int16_t *zz, int *pred, int td, int ta) {
  CodeDc(s, td, zz[0] - *pred);
  *pred = zz[0];
  int r = 0;
  for (int k = 1; k < 64; ++k) {
    int v = zz[k];
    if (!v) {
      ++r;
      continue;
    }
    while (r > 15) {
      s.Ac(ta, 0xF0, 0, 0);
      r -= 16;
    }
    uint32_t a = static_cast<uint32_t>(v < 0 ? -v : v);
    if (v < 0) --v;
    const int n = BitLength(a);
    s.Ac(ta, r << 4 | n, static_cast<uint32_t>(v) & ((1u << n) - 1), n);
    r = 0;
  }
  if (r) s.Ac(ta, 0, 0, 0);
}

template <class S>
void FlushEobRun(S &s, JpegCoderTp *c, int ta) {
  if (!c->eobrun) return;
  const int n = BitLength(c->eobrun) - 1;
  s.Ac(ta, n << 4, c->eobrun & ((1u << n) - 1), n);
  c->eobrun = 0;
}

// A progressive first AC scan of coefficients z1..z2, point transform al.
template <class S>
inline void CodeAcFirst(S &s, JpegCoderTp *c, const int16_t *zz, int z1, int z2, int al, int ta) {
  int r = 0;
  for (int k = z1; k <= z2; ++k) {
    const int v = zz[k];
    const uint32_t a = static_cast<uint32_t>(v < 0 ? -v : v) >> al;
    if (!a) {
      ++r;
      continue;
    }
    FlushEobRun(s, c, ta);
    while (r > 15) {
      s.Ac(ta, 0xF0, 0, 0);
      r -= 16;
    }
    const int n = BitLength(a);
    const uint32_t bits = v < 0 ? ~a & ((1u << n) - 1) : a;
    s.Ac(ta, r << 4 | n, bits, n);
    r = 0;
  }
  if (r && ++c->eobrun == 0x7FFF) FlushEobRun(s, c, ta);
}

// The restart marker after every interval but the last.
template <class S>
void Restart(S &s, JpegCoderTp *c, int ta, bool emit, bool last) {
  if (!c->su.restart || ++c->units < c->su.restart || last) return;
  FlushEobRun(s, c, ta);
  if (emit) {
    c->PadBits();
    c->Byte(0xFF);
    c->Byte(static_cast<uint8_t>(0xD0 + c->rst));
  }
  c->rst = (c->rst + 1) & 7;
  c->units = 0;
  memset(c->pred, 0, sizeof c->pred);
}

const int16_t *Block(const JpegCoderTp::Comp &k, int32_t by, int32_t bx) {
  return &k.coef[(static_cast<size_t>(by) * k.bw + bx) * 64];
}

// One DCT scan over the stored coefficients (or the band, streaming).
// Blocks rows first_row.. of the MCU grid; rows counts MCU rows.
template <class S>
void CodeScan(S &s, JpegCoderTp *c, const JpegScanTp &sc, int32_t mcu_row0, int32_t mcu_rows,
              bool emit, bool whole) {
  const bool dc_only = sc.z2 == 0;
  const bool refine = sc.sl_prev_min != 0;
  const bool sequential = c->su.mode < OM_LOSSLESS;
  auto code = [&](int ci, const int16_t *zz, int td, int ta) {
    if (sequential) {
      CodeBlock(s, zz, &c->pred[ci], td, ta);
    } else if (dc_only && refine) {
      s.Raw(static_cast<uint32_t>(zz[0] >> sc.slice_min) & 1, 1);
    } else if (dc_only) {
      const int v = zz[0] >> sc.slice_min;
      CodeDc(s, td, v - c->pred[ci]);
      c->pred[ci] = v;
    } else {
      CodeAcFirst(s, c, zz, sc.z1, sc.z2, sc.slice_min, ta);
    }
  };
  if (sc.ns > 1) {
    // Rows of MCUs; the band's rows start at 0 when streaming.
    const int32_t last = mcu_row0 + mcu_rows;
    for (int32_t my = mcu_row0; my < last; ++my) {
      const int32_t row = whole ? my : my - mcu_row0;
      for (int32_t mx = 0; mx < c->mcux; ++mx) {
        for (int k = 0; k < sc.ns; ++k) {
          const int ci = sc.comp[k];
          const JpegFrameCompTp &f = c->su.comp[ci];
          for (int v = 0; v < f.v; ++v)
            for (int h = 0; h < f.h; ++h)
              code(ci, Block(c->comp[ci], row * f.v + v, mx * f.h + h), sc.td[k], sc.ta[k]);
        }
        Restart(s, c, sc.ta[0], emit, my == c->mcuy - 1 && mx == c->mcux - 1);
      }
    }
  } else {
    const int ci = sc.comp[0];
    const JpegCoderTp::Comp &k = c->comp[ci];
    const JpegFrameCompTp &f = c->su.comp[ci];
    // Streaming, one band holds f.v block rows of this component.
    const int32_t by0 = whole ? 0 : mcu_row0 * f.v;
    const int32_t by1 = whole ? k.bh_ni : std::min<int32_t>(by0 + f.v, k.bh_ni);
    for (int32_t by = by0; by < by1; ++by)
      for (int32_t bx = 0; bx < k.bw_ni; ++bx) {
        code(ci, Block(k, whole ? by : by - by0, bx), sc.td[0], sc.ta[0]);
        Restart(s, c, sc.ta[0], emit, by == k.bh_ni - 1 && bx == k.bw_ni - 1);
      }
  }
  FlushEobRun(s, c, sc.ta[0]);
}

// Lossless: the prediction of each sample from its neighbours a (left),
// b (above) and c (above left); the first row predicts from the left, the
// first column from above, the first sample from half the range.
template <class S>
void CodeLossless(S &s, JpegCoderTp *c, const JpegScanTp &sc) {
  const int32_t w = c->su.width, h = c->su.height;
  const int p = c->su.predictor;
  const int32_t first = 1 << (c->su.precision - 1);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      for (int k = 0; k < sc.ns; ++k) {
        const uint16_t *row = &c->comp[sc.comp[k]].samples[static_cast<size_t>(y) * w];
        const int32_t v = row[x];
        int32_t px;
        if (y == 0) {
          px = x == 0 ? first : row[x - 1];
        } else if (x == 0) {
          px = row[x - w];
        } else {
          const int32_t ra = row[x - 1], rb = row[x - w], rc = row[x - w - 1];
          switch (p) {
            case 1:
              px = ra;
              break;
            case 2:
              px = rb;
              break;
            case 3:
              px = rc;
              break;
            case 4:
              px = ra + rb - rc;
              break;
            case 5:
              px = ra + ((rb - rc) >> 1);
              break;
            case 6:
              px = rb + ((ra - rc) >> 1);
              break;
            default:
              px = (ra + rb) >> 1;
              break;
          }
        }
        int32_t diff = (v - px) & 0xFFFF;
        if (diff >= 0x8000) diff -= 0x10000;
        if (diff == -0x8000) {
          s.Dc(sc.td[k], 16, 0, 0);  // the one difference of category 16 has no extra bits
          continue;
        }
        CodeDc(s, sc.td[k], diff);
      }
}

void WriteMarkerHead(JpegCoderTp *c, uint8_t marker, uint32_t length) {
  c->Byte(0xFF);
  c->Byte(marker);
  c->Word(length);
}

void WriteTables(JpegCoderTp *c, const HuffTable *dc[4], const HuffTable *ac[4]) {
  uint32_t length = 2;
  for (int t = 0; t < 4; ++t) {
    if (dc[t]) length += 17 + dc[t]->count;
    if (ac[t]) length += 17 + ac[t]->count;
  }
  if (length == 2) return;
  WriteMarkerHead(c, 0xC4, length);
  for (int cls = 0; cls < 2; ++cls)
    for (int t = 0; t < 4; ++t) {
      const HuffTable *h = cls ? ac[t] : dc[t];
      if (!h) continue;
      c->Byte(static_cast<uint8_t>(cls << 4 | t));
      c->Bytes(h->bits + 1, 16);
      c->Bytes(h->values, static_cast<size_t>(h->count));
      MakeCodes(*h, cls ? &c->ac[t] : &c->dc[t]);
    }
}

void WriteScanHeader(JpegCoderTp *c, const JpegScanTp &sc) {
  WriteMarkerHead(c, 0xDA, 6 + 2 * sc.ns);
  c->Byte(static_cast<uint8_t>(sc.ns));
  for (int k = 0; k < sc.ns; ++k) {
    c->Byte(static_cast<uint8_t>(c->su.comp[sc.comp[k]].id));
    c->Byte(static_cast<uint8_t>(sc.td[k] << 4 | (c->lossless ? 0 : sc.ta[k])));
  }
  c->Byte(static_cast<uint8_t>(sc.z1));
  c->Byte(static_cast<uint8_t>(sc.z2));
  c->Byte(static_cast<uint8_t>(sc.sl_prev_min << 4 | sc.slice_min));
  c->units = 0;
  c->rst = 0;
  c->eobrun = 0;
  memset(c->pred, 0, sizeof c->pred);
}

// The example tables for a scan of 8-bit sequential data, or the caller's.
void StandardTables(JpegCoderTp *c, const JpegScanTp *scans, size_t n) {
  static const HuffTable kStd[4] = {Table(kDcLumaBits, kDcValues), Table(kDcChromaBits, kDcValues),
                                    Table(kAcLumaBits, kAcLumaValues),
                                    Table(kAcChromaBits, kAcChromaValues)};
  HuffTable given[2][4];
  const HuffTable *dc[4] = {}, *ac[4] = {};
  for (const JpegHuffSpecTp &h : c->su.huff) {
    HuffTable &t = given[h.ac ? 1 : 0][h.number & 3];
    t = Table(h.bits, h.values);
    (h.ac ? ac : dc)[h.number & 3] = &t;
  }
  if (c->su.huff.empty())
    for (size_t i = 0; i < n; ++i)
      for (int k = 0; k < scans[i].ns; ++k) {
        dc[scans[i].td[k]] = &kStd[scans[i].td[k] ? 1 : 0];
        ac[scans[i].ta[k]] = &kStd[scans[i].ta[k] ? 3 : 2];
      }
  WriteTables(c, dc, ac);
}

// The tables a scan's statistics ask for.
void OptimalTables(JpegCoderTp *c, const JpegScanTp &sc) {
  static thread_local uint32_t dcf[4][256], acf[4][256];
  memset(dcf, 0, sizeof dcf);
  memset(acf, 0, sizeof acf);
  CountSink count{dcf, acf};
  memset(c->pred, 0, sizeof c->pred);
  c->eobrun = 0;
  c->units = 0;
  if (c->lossless)
    CodeLossless(count, c, sc);
  else
    CodeScan(count, c, sc, 0, c->mcuy, false, true);
  HuffTable dct[4], act[4];
  const HuffTable *dc[4] = {}, *ac[4] = {};
  const bool refine_dc = sc.z2 == 0 && sc.sl_prev_min != 0 && !c->lossless;
  for (int k = 0; k < sc.ns && !refine_dc; ++k) {
    const int td = sc.td[k], ta = sc.ta[k];
    if (!dc[td] && (sc.z1 == 0 || c->lossless)) {
      dct[td].count = JpegOptimalTable(dcf[td], dct[td].bits, dct[td].values);
      dc[td] = &dct[td];
    }
    if (!ac[ta] && sc.z2 > 0 && !c->lossless) {
      act[ta].count = JpegOptimalTable(acf[ta], act[ta].bits, act[ta].values);
      ac[ta] = &act[ta];
    }
  }
  WriteTables(c, dc, ac);
}

// Rows of the input to component samples at full resolution, level
// shifted, in the band's planes; the last row and column repeat into the
// padding.
void ConvertRows(JpegCoderTp *c, const uint8_t *rows, int32_t count) {
  const JpegCompParamTp &cp = c->cp;
  const int32_t w = cp.o_xdim;
  const size_t row_bytes = static_cast<size_t>(cp.i_xdim) * c->in_comps * c->in_bytes;
  const float center = static_cast<float>(c->center);
  const int oc = c->su.ncomp;
  const bool to_ycc = c->su.transform, to_gray = cp.o_colors == JC_GRAY;
  for (int32_t row = 0; row < c->band_h; ++row) {
    const uint8_t *in = rows + static_cast<size_t>(std::min(row, count - 1)) * row_bytes;
    float *out[3] = {};
    for (int i = 0; i < oc; ++i) out[i] = &c->comp[i].full[static_cast<size_t>(row) * c->pad_w];
    const bool grey_in = c->in_comps == 1 && cp.i_format != IF_LUT;
    if (grey_in && c->in_bytes == 1) {
      // The common forms get loops of their own, free of per-pixel tests.
      const uint8_t *p = in + cp.i_x_ori;
      for (int32_t x = 0; x < w; ++x) out[0][x] = p[x] - center;
    } else if (to_ycc && c->in_bytes == 1 && cp.i_format == IF_PIXEL) {
      const uint8_t *p = in + static_cast<size_t>(cp.i_x_ori) * 3;
      float *y = out[0], *cb = out[1], *cr = out[2];
      for (int32_t x = 0; x < w; ++x, p += 3) {
        const float r = p[0], g = p[1], b = p[2];
        y[x] = 0.299f * r + 0.587f * g + 0.114f * b - center;
        cb[x] = -0.168736f * r - 0.331264f * g + 0.5f * b;
        cr[x] = 0.5f * r - 0.418688f * g - 0.081312f * b;
      }
    } else {
      for (int32_t x = 0; x < w; ++x) {
        const int32_t at = x + cp.i_x_ori;
        float s[3] = {0, 0, 0};
        if (cp.i_format == IF_LUT) {
          const uint8_t *e = cp.lut + 3 * in[at];
          s[0] = e[0], s[1] = e[1], s[2] = e[2];
        } else if (c->in_bytes == 2) {
          const uint16_t *p =
              reinterpret_cast<const uint16_t *>(in) + static_cast<size_t>(at) * c->in_comps;
          for (int i = 0; i < c->in_comps; ++i) s[i] = p[i];
        } else {
          const uint8_t *p = in + static_cast<size_t>(at) * c->in_comps;
          for (int i = 0; i < c->in_comps; ++i) s[i] = p[i];
        }
        if (grey_in) {
          out[0][x] = s[0] - center;
        } else if (to_gray) {
          out[0][x] = 0.299f * s[0] + 0.587f * s[1] + 0.114f * s[2] - center;
        } else if (to_ycc) {
          out[0][x] = 0.299f * s[0] + 0.587f * s[1] + 0.114f * s[2] - center;
          out[1][x] = -0.168736f * s[0] - 0.331264f * s[1] + 0.5f * s[2];
          out[2][x] = 0.5f * s[0] - 0.418688f * s[1] - 0.081312f * s[2];
        } else {
          for (int i = 0; i < 3; ++i) out[i][x] = s[i] - center;
        }
      }
    }
    for (int i = 0; i < oc; ++i)
      for (int32_t x = w; x < c->pad_w; ++x) out[i][x] = out[i][w - 1];
  }
}

// Each component's band: averaged down to its sampling, transformed and
// quantised into blocks (zig-zag order): the band's v block rows, at the
// top of the store when streaming, else at the band's place.
void TransformBand(JpegCoderTp *c, int32_t band) {
  const float limit = static_cast<float>(c->coef_max);
  for (int ci = 0; ci < c->su.ncomp; ++ci) {
    JpegCoderTp::Comp &k = c->comp[ci];
    const JpegFrameCompTp &f = c->su.comp[ci];
    const int fh = c->hmax / f.h, fv = c->vmax / f.v;
    const float *src = k.full.data();
    if (fh == 2 && fv <= 2) {
      // 2x1 and 2x2: the pair (or square) averaged.
      const float scale = fv == 2 ? 0.25f : 0.5f;
      for (int32_t y = 0; y < 8 * f.v; ++y) {
        const float *a = src + static_cast<size_t>(y * fv) * c->pad_w;
        const float *b = fv == 2 ? a + c->pad_w : nullptr;
        float *o = &k.plane[static_cast<size_t>(y) * k.pw];
        if (b)
          for (int32_t x = 0; x < k.pw; ++x)
            o[x] = (a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1]) * scale;
        else
          for (int32_t x = 0; x < k.pw; ++x) o[x] = (a[2 * x] + a[2 * x + 1]) * scale;
      }
      src = k.plane.data();
    } else if (fh > 1 || fv > 1) {
      const float scale = 1.0f / static_cast<float>(fh * fv);
      for (int32_t y = 0; y < 8 * f.v; ++y)
        for (int32_t x = 0; x < k.pw; ++x) {
          float sum = 0;
          for (int dy = 0; dy < fv; ++dy)
            for (int dx = 0; dx < fh; ++dx)
              sum += src[static_cast<size_t>(y * fv + dy) * c->pad_w + x * fh + dx];
          k.plane[static_cast<size_t>(y) * k.pw + x] = sum * scale;
        }
      src = k.plane.data();
    }
    const int32_t stride = fh > 1 || fv > 1 ? k.pw : c->pad_w;
    const int32_t first_block_row = c->stream ? 0 : band * f.v;
    for (int by = 0; by < f.v; ++by)
      for (int32_t bx = 0; bx < k.bw; ++bx) {
        float d[64];
        const float *p = src + static_cast<size_t>(by) * 8 * stride + bx * 8;
        for (int y = 0; y < 8; ++y)
          memcpy(d + 8 * y, p + static_cast<size_t>(y) * stride, 8 * sizeof(float));
        ForwardDct(d);
        int16_t *zz = &k.coef[(static_cast<size_t>(first_block_row + by) * k.bw + bx) * 64];
        for (int i = 0; i < 64; ++i) {
          const int pos = JpegZigzag[i];
          float q = d[pos] * k.recip[pos];
          q = q > limit ? limit : q < -limit ? -limit : q;
          zz[i] = static_cast<int16_t>(static_cast<int32_t>(q + 65536.5f) - 65536);
        }
      }
  }
}

}  // namespace

int JpegOptimalTable(const uint32_t freq_in[256], uint8_t bits[17], uint8_t values[256]) {
  // Code lengths by repeatedly joining the two least frequent trees; a
  // reserved symbol (256) of count 1 keeps any code from being all ones.
  int64_t freq[257];
  int codesize[257], others[257];
  for (int i = 0; i < 256; ++i) freq[i] = freq_in[i];
  freq[256] = 1;
  for (int i = 0; i < 257; ++i) codesize[i] = 0, others[i] = -1;
  for (;;) {
    int c1 = -1, c2 = -1;
    for (int i = 0; i < 257; ++i) {
      if (!freq[i]) continue;
      if (c1 < 0 || freq[i] <= freq[c1]) {
        c2 = c1;
        c1 = i;
      } else if (c2 < 0 || freq[i] <= freq[c2]) {
        c2 = i;
      }
    }
    if (c2 < 0) break;
    freq[c1] += freq[c2];
    freq[c2] = 0;
    for (++codesize[c1]; others[c1] >= 0; ++codesize[c1]) c1 = others[c1];
    others[c1] = c2;
    for (++codesize[c2]; others[c2] >= 0; ++codesize[c2]) c2 = others[c2];
  }
  int count[258] = {};
  int longest = 0;
  for (int i = 0; i < 257; ++i)
    if (codesize[i]) {
      ++count[codesize[i]];
      longest = std::max(longest, codesize[i]);
    }
  // No code longer than 16 bits: a pair at the longest length becomes one
  // code a bit shorter and moves a shorter code one bit down.
  for (int i = longest; i > 16; --i)
    while (count[i] > 0) {
      int j = i - 2;
      while (count[j] == 0) --j;
      count[i] -= 2;
      ++count[i - 1];
      count[j + 1] += 2;
      --count[j];
    }
  int i = 16;
  while (i > 0 && count[i] == 0) --i;
  if (i > 0) --count[i];  // the reserved symbol's code
  bits[0] = 0;
  for (int l = 1; l <= 16; ++l) bits[l] = static_cast<uint8_t>(count[l]);
  int n = 0;
  for (int l = 1; l <= 256; ++l)
    for (int s = 0; s < 256; ++s)
      if (codesize[s] == l) values[n++] = static_cast<uint8_t>(s);
  int total = 0;
  for (int l = 1; l <= 16; ++l) total += bits[l];
  return std::min(n, total);
}

ReturnTp JpegCoderStart(IfuCodecTp *codec, const JpegCompParamTp &cp, const JpegSetupTp &su,
                        JpegCoderTp **out) {
  *out = nullptr;
  JpegCoderTp *c = new (std::nothrow) JpegCoderTp();
  if (!c) return JpegFail(codec, kErrMemory, "get_mem failed");
  c->codec = codec;
  c->cp = cp;
  c->su = su;
  c->lossless = su.mode == OM_LOSSLESS;
  const bool sequential8 = su.mode < OM_LOSSLESS && su.precision == 8;
  c->stream =
      sequential8 && (su.mode == OM_BASELINE || su.mode == OM_SEQUENTIAL) && su.scans.size() == 1;
  c->optimal = !sequential8;
  c->in_comps = cp.i_format == IF_LUT ? 1 : cp.i_colors == JC_GRAY ? 1 : 3;
  c->in_bytes = cp.precision > 8 ? 2 : 1;
  c->center = 1 << (su.precision - 1);
  c->coef_max = su.precision > 8 ? 16383 : 1023;
  for (int i = 0; i < su.ncomp; ++i) {
    c->hmax = std::max(c->hmax, su.comp[i].h);
    c->vmax = std::max(c->vmax, su.comp[i].v);
  }
  c->band_h = c->lossless ? 8 : 8 * c->vmax;
  c->mcux = (su.width + 8 * c->hmax - 1) / (8 * c->hmax);
  c->mcuy = (su.height + 8 * c->vmax - 1) / (8 * c->vmax);
  c->pad_w = c->mcux * 8 * c->hmax;
  try {
    c->harvest.resize(kHarvest);
    c->memory = kHarvest;
    for (int i = 0; i < su.ncomp; ++i) {
      JpegCoderTp::Comp &k = c->comp[i];
      const JpegFrameCompTp &f = su.comp[i];
      if (c->lossless) {
        k.samples.resize(static_cast<size_t>(su.width) * su.height);
        c->memory += static_cast<int64_t>(k.samples.size()) * 2;
        continue;
      }
      k.bw = c->mcux * f.h;
      k.bh = c->mcuy * f.v;
      k.bw_ni = (f.xsize + 7) / 8;
      k.bh_ni = (f.ysize + 7) / 8;
      k.pw = k.bw * 8;
      k.full.resize(static_cast<size_t>(c->pad_w) * c->band_h);
      if (f.h < c->hmax || f.v < c->vmax) k.plane.resize(static_cast<size_t>(k.pw) * 8 * f.v);
      k.coef.resize(static_cast<size_t>(k.bw) * (c->stream ? f.v : k.bh) * 64);
      c->memory += static_cast<int64_t>(k.full.size() + k.plane.size()) * 4 + k.coef.size() * 2;
      int t = 0;
      while (t < su.nqtab && su.qnumber[t] != f.tq) ++t;
      static const double kAan[8] = {1.0, 1.387039845, 1.306562965, 1.175875602,
                                     1.0, 0.785694958, 0.541196100, 0.275899379};
      for (int p = 0; p < 64; ++p)
        k.recip[p] = static_cast<float>(1.0 / (su.qtab[t][p] * kAan[p >> 3] * kAan[p & 7] * 8.0));
    }
  } catch (const std::bad_alloc &) {
    delete c;
    return JpegFail(codec, kErrMemory, "get_mem failed");
  }

  // The stream's head: SOI, the application markers, the tables and frame.
  // The JFIF marker carries the resolution, so every stream has one; red,
  // green and blue kept as they are (lossless) also have the Adobe
  // marker, which says that they are not luminance and chrominance.
  c->Byte(0xFF);
  c->Byte(0xD8);
  {
    static const uint8_t kJfif[] = {'J', 'F', 'I', 'F', 0, 1, 1};
    WriteMarkerHead(c, 0xE0, 16);
    c->Bytes(kJfif, sizeof kJfif);
    const int32_t xd = std::min<int32_t>(cp.x_density, 65535),
                  yd = std::min<int32_t>(cp.y_density, 65535);
    const bool known = xd > 0 && yd > 0;
    c->Byte(known ? 1 : 0);
    c->Word(known ? xd : 1);
    c->Word(known ? yd : 1);
    c->Byte(0);
    c->Byte(0);
  }
  if (!su.transform && su.ncomp != 1) {
    static const uint8_t kAdobe[] = {'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, 0};
    WriteMarkerHead(c, 0xEE, 14);
    c->Bytes(kAdobe, sizeof kAdobe);
  }
  if (!c->lossless && su.nqtab) {
    WriteMarkerHead(c, 0xDB, 2 + 65 * su.nqtab);
    for (int t = 0; t < su.nqtab; ++t) {
      c->Byte(static_cast<uint8_t>(su.qnumber[t]));
      for (int k = 0; k < 64; ++k) c->Byte(static_cast<uint8_t>(su.qtab[t][JpegZigzag[k]]));
    }
  }
  static const uint8_t kSof[OM_COUNT] = {0xC0, 0xC0, 0xC1, 0xC1, 0xC3, 0xC2, 0xC2, 0xC2, 0xC2};
  WriteMarkerHead(c, kSof[su.mode], 8 + 3 * su.ncomp);
  c->Byte(static_cast<uint8_t>(su.precision));
  c->Word(static_cast<uint32_t>(su.height));
  c->Word(static_cast<uint32_t>(su.width));
  c->Byte(static_cast<uint8_t>(su.ncomp));
  for (int i = 0; i < su.ncomp; ++i) {
    c->Byte(static_cast<uint8_t>(su.comp[i].id));
    c->Byte(static_cast<uint8_t>(su.comp[i].h << 4 | su.comp[i].v));
    c->Byte(static_cast<uint8_t>(c->lossless ? 0 : su.comp[i].tq));
  }
  if (su.restart) {
    WriteMarkerHead(c, 0xDD, 4);
    c->Word(static_cast<uint32_t>(su.restart));
  }
  if (c->stream) {
    StandardTables(c, su.scans.data(), 1);
    WriteScanHeader(c, su.scans[0]);
  }
  if (c->error) {
    ReturnTp rc = c->error;
    delete c;
    return rc;
  }
  *out = c;
  return 0;
}

ReturnTp JpegCoderBand(JpegCoderTp *c, const uint8_t *rows, int32_t count) {
  if (c->error) return c->error;
  if (c->lossless) {
    const JpegCompParamTp &cp = c->cp;
    const size_t row_bytes = static_cast<size_t>(cp.i_xdim) * c->in_comps * c->in_bytes;
    for (int32_t r = 0; r < count; ++r, ++c->rows_done) {
      const uint8_t *in = rows + r * row_bytes;
      for (int ci = 0; ci < c->su.ncomp; ++ci) {
        uint16_t *out = &c->comp[ci].samples[static_cast<size_t>(c->rows_done) * c->su.width];
        for (int32_t x = 0; x < cp.o_xdim; ++x) {
          const size_t at = static_cast<size_t>(x + cp.i_x_ori);
          if (cp.i_format == IF_LUT)
            out[x] = cp.lut[3 * in[at] + ci];
          else if (c->in_bytes == 2)
            out[x] = reinterpret_cast<const uint16_t *>(in)[at * c->in_comps + ci] &
                     static_cast<uint16_t>((1u << c->su.precision) - 1);
          else
            out[x] = in[at * c->in_comps + ci];
        }
      }
    }
    return 0;
  }
  ConvertRows(c, rows, count);
  TransformBand(c, c->bands_done);
  if (c->stream) {
    EmitSink emit{c};
    CodeScan(emit, c, c->su.scans[0], c->bands_done, 1, true, false);
  }
  ++c->bands_done;
  return c->error;
}

int32_t JpegCoderBandHeight(const JpegCoderTp *c) { return c->band_h; }

ReturnTp JpegCoderFinish(JpegCoderTp *c) {
  if (c->error) return c->error;
  if (!c->stream) {
    for (size_t i = 0; i < c->su.scans.size(); ++i) {
      const JpegScanTp &sc = c->su.scans[i];
      if (c->optimal)
        OptimalTables(c, sc);
      else
        StandardTables(c, &sc, 1);
      WriteScanHeader(c, sc);
      EmitSink emit{c};
      if (c->lossless)
        CodeLossless(emit, c, sc);
      else
        CodeScan(emit, c, sc, 0, c->mcuy, true, true);
      c->PadBits();
    }
  } else {
    c->PadBits();
  }
  c->Byte(0xFF);
  c->Byte(0xD9);
  if (!c->error) c->Flush(true);
  return c->error;
}

void JpegCoderFree(JpegCoderTp *c) { delete c; }

int64_t JpegCoderBytesOut(const JpegCoderTp *c) { return c ? c->bytes_out + c->fill : 0; }
int64_t JpegCoderMemory(const JpegCoderTp *c) { return c ? c->memory : 0; }
