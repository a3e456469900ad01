// The JPEG 2000 decoder's bit-plane decoding of one code-block: the MQ
// arithmetic decoder, the raw (bypass) bit reader, and the significance,
// refinement and clean-up passes with their contexts.
#include <algorithm>
#include <cstring>

#include "jtkd.h"

#define CMN_SOURCE "jtkdt1"

namespace {

// Per-sample state: significance of the eight neighbours, the signs of
// the four direct ones, and the sample's own state.
constexpr uint32_t kNW = 1, kN = 2, kNE = 4, kW = 8, kE = 16, kSW = 32, kS = 64, kSE = 128;
constexpr uint32_t kSgnN = 0x100, kSgnS = 0x200, kSgnW = 0x400, kSgnE = 0x800;
constexpr uint32_t kSig = 0x1000, kRef = 0x2000, kVisit = 0x4000, kNeg = 0x8000;
// With vertically causal contexts the row below a stripe is not looked at.
const uint32_t kBelow = kSW | kS | kSE | kSgnS;

struct MqEntry {
  uint16_t qe;
  uint8_t mps;
  uint8_t nmps, nlps;  // next entries (state x 2 + mps)
};

struct Tables {
  uint8_t sig[4][256];
  uint8_t sign[256];  // context in the low bits, 0x80 when the bit is inverted
  MqEntry mq[2 * JTK_MQ_STATES];
  // The same, packed in one word a context holds: Qe in the low 16 bits,
  // the MPS in bit 16, the next entries after an MPS and an LPS in bits
  // 17..23 and 24..30.
  uint32_t packed[2 * JTK_MQ_STATES];
  Tables() {
    for (int32_t f = 0; f < 256; ++f) {
      const int32_t h = ((f & kW) != 0) + ((f & kE) != 0);
      const int32_t v = ((f & kN) != 0) + ((f & kS) != 0);
      const int32_t d = ((f & kNW) != 0) + ((f & kNE) != 0) + ((f & kSW) != 0) + ((f & kSE) != 0);
      sig[0][f] = sig[2][f] = Primary(h, v, d);
      sig[1][f] = Primary(v, h, d);
      int32_t hh = 0;
      const int32_t hv = h + v;
      if (d >= 3)
        hh = 8;
      else if (d == 2)
        hh = hv >= 1 ? 7 : 6;
      else if (d == 1)
        hh = hv >= 2 ? 5 : (hv == 1 ? 4 : 3);
      else
        hh = hv >= 2 ? 2 : hv;
      sig[3][f] = static_cast<uint8_t>(hh);
    }
    for (int32_t i = 0; i < 256; ++i) {
      auto contrib = [i](int32_t sig_bit, int32_t neg_bit) {
        return (i & sig_bit) ? ((i & neg_bit) ? -1 : 1) : 0;
      };
      int32_t v = contrib(1, 0x10) + contrib(2, 0x20);
      int32_t h = contrib(4, 0x40) + contrib(8, 0x80);
      v = std::max(-1, std::min(1, v));
      h = std::max(-1, std::min(1, h));
      int32_t ctx = 9, inv = 0;
      if (h == 0) {
        ctx = v == 0 ? 9 : 10;
        inv = v < 0;
      } else {
        ctx = 12 - h * v;  // same signs 13, none 12, opposite 11
        inv = h < 0;
      }
      sign[i] = static_cast<uint8_t>(ctx | (inv ? 0x80 : 0));
    }
    for (int32_t s = 0; s < JTK_MQ_STATES; ++s) {
      for (int32_t m = 0; m < 2; ++m) {
        MqEntry &e = mq[2 * s + m];
        e.qe = JtkMqStates[s].qe;
        e.mps = static_cast<uint8_t>(m);
        e.nmps = static_cast<uint8_t>(2 * JtkMqStates[s].nmps + m);
        e.nlps = static_cast<uint8_t>(2 * JtkMqStates[s].nlps + (JtkMqStates[s].swap ? 1 - m : m));
      }
    }
    for (int32_t i = 0; i < 2 * JTK_MQ_STATES; ++i)
      packed[i] = mq[i].qe | uint32_t(mq[i].mps) << 16 | uint32_t(mq[i].nmps) << 17 |
                  uint32_t(mq[i].nlps) << 24;
  }
  // Significance contexts where the horizontal neighbours count most.
  static uint8_t Primary(int32_t h, int32_t v, int32_t d) {
    if (h == 2) return 8;
    if (h == 1) return v >= 1 ? 7 : (d >= 1 ? 6 : 5);
    if (v == 2) return 4;
    if (v == 1) return 3;
    return d >= 2 ? 2 : static_cast<uint8_t>(d);
  }
};

const Tables kT;

inline uint32_t SignIndex(uint32_t f) {
  return ((f >> 1) & 1) | ((f >> 5) & 2) | ((f >> 1) & 4) | ((f >> 1) & 8) | ((f >> 4) & 0xF0);
}

// The MQ decoder over a segment followed by two 0xFF bytes, which read
// as a marker and so end the data without bounds checks.
struct Mq {
  const uint8_t *bp;
  uint32_t a, c;
  int32_t ct;
};

__attribute__((always_inline)) inline void MqByteIn(Mq &m) {
  if (m.bp[0] == 0xFF) {
    if (m.bp[1] > 0x8F) {
      m.c += 0xFF00;
      m.ct = 8;
    } else {
      ++m.bp;
      m.c += uint32_t(m.bp[0]) << 9;
      m.ct = 7;
    }
  } else {
    ++m.bp;
    m.c += uint32_t(m.bp[0]) << 8;
    m.ct = 8;
  }
}

inline void MqInit(Mq &m, const uint8_t *bp) {
  m.bp = bp;
  m.c = uint32_t(bp[0]) << 16;
  MqByteIn(m);
  m.c <<= 7;
  m.ct -= 7;
  m.a = 0x8000;
}

__attribute__((always_inline)) inline uint32_t MqDecode(Mq &m, uint32_t &cx) {
  const uint32_t st = cx;
  const uint32_t qe = st & 0xFFFF, mps = (st >> 16) & 1;
  uint32_t d;
  m.a -= qe;
  if ((m.c >> 16) < qe) {
    if (m.a < qe) {
      d = mps;
      cx = kT.packed[(st >> 17) & 0x7F];
    } else {
      d = mps ^ 1u;
      cx = kT.packed[st >> 24];
    }
    m.a = qe;
  } else {
    m.c -= qe << 16;
    if (m.a & 0x8000) return mps;
    if (m.a < qe) {
      d = mps ^ 1u;
      cx = kT.packed[st >> 24];
    } else {
      d = mps;
      cx = kT.packed[(st >> 17) & 0x7F];
    }
  }
  // Renormalise: all the shifts at once while the bits last.
  const int32_t n = __builtin_clz(m.a) - 16;
  if (n <= m.ct) {
    m.a <<= n;
    m.c <<= n;
    m.ct -= n;
    return d;
  }
  do {
    if (m.ct == 0) MqByteIn(m);
    m.a <<= 1;
    m.c <<= 1;
    --m.ct;
  } while (!(m.a & 0x8000));
  return d;
}

// Raw bits of bypassed passes: a 0 bit is stuffed after each 0xFF.
struct Raw {
  const uint8_t *bp, *end;
  uint32_t c;
  int32_t ct;
  uint32_t Bit() {
    if (ct == 0) {
      const bool stuffed = c == 0xFF;
      c = bp < end ? *bp++ : 0xFF;
      ct = stuffed ? 7 : 8;
    }
    --ct;
    return (c >> ct) & 1;
  }
};

struct Block {
  int32_t w_, h_, stride_;
  uint32_t *flags_;  // (h + 2) x stride, a border of one all round
  int32_t *data_;    // w x h magnitudes with one fraction bit
  const uint8_t *sig_;
  bool vsc_;
  uint32_t ctx_[JTK_CTX_COUNT];

  void Reset() {
    for (uint32_t &c : ctx_) c = kT.packed[0];
    ctx_[0] = kT.packed[2 * JTK_CTX_ZERO_START];
    ctx_[JTK_CTX_RUN] = kT.packed[2 * JTK_CTX_RUN_START];
    ctx_[JTK_CTX_UNIFORM] = kT.packed[2 * JTK_CTX_UNIFORM_START];
  }

  static void SetSignificant(uint32_t *f, uint32_t neg, int32_t s) {
    f[0] |= kSig | (neg ? kNeg : 0);
    f[-s - 1] |= kSE;
    f[-s] |= kS | (neg ? kSgnS : 0);
    f[-s + 1] |= kSW;
    f[-1] |= kE | (neg ? kSgnE : 0);
    f[1] |= kW | (neg ? kSgnW : 0);
    f[s - 1] |= kNE;
    f[s] |= kN | (neg ? kSgnN : 0);
    f[s + 1] |= kNW;
  }

  // The passes visit stripes of four rows column by column. Full stripes
  // take each row as its own step (the last row may ignore the stripe
  // below); a short last stripe goes row by row. The decoder state and
  // the block's fields are worked on in locals: the context stores are
  // bytes, which could otherwise alias every member and force reloads.
#define JTKD_BLOCK_LOCALS                         \
  const int32_t w = w_, h = h_, stride = stride_; \
  uint32_t *const flags = flags_;                 \
  int32_t *const data = data_;                    \
  const uint32_t mask3 = vsc_ ? ~kBelow : ~0u;    \
  uint32_t ctx[JTK_CTX_COUNT];                    \
  memcpy(ctx, ctx_, sizeof ctx);                  \
  Mq m = mq

  // Raw passes carry the sign itself, coded passes its agreement with
  // the prediction of the neighbours.
  template <bool kRaw>
  void Significance(Mq &mq, Raw &raw_in, int32_t plane) {
    JTKD_BLOCK_LOCALS;
    Raw raw = raw_in;
    const uint8_t *const sig = sig_;
    const int32_t one = 3 << plane;  // the bit and half the one below
    auto sample = [&](uint32_t * f, int32_t * d, uint32_t mask) __attribute__((always_inline)) {
      const uint32_t fl = *f;
      if (fl & kSig) return;
      const uint32_t fm = fl & mask;
      if (!(fm & 0xFF)) return;
      if (kRaw ? raw.Bit() : MqDecode(m, ctx[sig[fm & 0xFF]])) {
        uint32_t neg;
        if (kRaw) {
          neg = raw.Bit();
        } else {
          const uint8_t sc = kT.sign[SignIndex(fm)];
          neg = MqDecode(m, ctx[sc & 0x1F]) ^ uint32_t(sc >> 7);
        }
        *d = one;
        SetSignificant(f, neg, stride);
      }
      *f |= kVisit;
    };
    for (int32_t y0 = 0; y0 < h; y0 += 4) {
      const int32_t rows = std::min(4, h - y0);
      uint32_t *col = flags + size_t(y0 + 1) * size_t(stride) + 1;
      int32_t *dcol = data + size_t(y0) * size_t(w);
      if (rows == 4) {
        for (int32_t x = 0; x < w; ++x, ++col, ++dcol) {
          const uint32_t f0 = col[0], f1 = col[stride], f2 = col[2 * stride], f3 = col[3 * stride];
          if ((f0 | f1 | f2 | f3) == 0 || (f0 & f1 & f2 & f3 & kSig)) continue;
          sample(col, dcol, ~0u);
          sample(col + stride, dcol + w, ~0u);
          sample(col + 2 * stride, dcol + 2 * w, ~0u);
          sample(col + 3 * stride, dcol + 3 * w, mask3);
        }
      } else {
        for (int32_t x = 0; x < w; ++x, ++col, ++dcol)
          for (int32_t r = 0; r < rows; ++r) sample(col + r * stride, dcol + r * w, ~0u);
      }
    }
    mq = m;
    raw_in = raw;
    memcpy(ctx_, ctx, sizeof ctx);
  }

  template <bool kRaw>
  void Refinement(Mq &mq, Raw &raw_in, int32_t plane) {
    JTKD_BLOCK_LOCALS;
    Raw raw = raw_in;
    const int32_t half = 1 << plane;
    auto sample = [&](uint32_t * f, int32_t * d, uint32_t mask) __attribute__((always_inline)) {
      const uint32_t fl = *f;
      if ((fl & (kSig | kVisit)) != kSig) return;
      // Context 16 once refined, else 15 with significant neighbours, 14
      // without; worked out without branches, as are the updates.
      const uint32_t refined = (fl >> 13) & 1, near = (fl & mask & 0xFF) != 0;
      const uint32_t bit =
          kRaw ? raw.Bit() : MqDecode(m, ctx[14 + (refined << 1 | (near & ~refined))]);
      *d += static_cast<int32_t>(bit << (plane + 1)) - half;
      *f = fl | kRef;
    };
    for (int32_t y0 = 0; y0 < h; y0 += 4) {
      const int32_t rows = std::min(4, h - y0);
      uint32_t *col = flags + size_t(y0 + 1) * size_t(stride) + 1;
      int32_t *dcol = data + size_t(y0) * size_t(w);
      if (rows == 4) {
        for (int32_t x = 0; x < w; ++x, ++col, ++dcol) {
          if (!((col[0] | col[stride] | col[2 * stride] | col[3 * stride]) & kSig)) continue;
          sample(col, dcol, ~0u);
          sample(col + stride, dcol + w, ~0u);
          sample(col + 2 * stride, dcol + 2 * w, ~0u);
          sample(col + 3 * stride, dcol + 3 * w, mask3);
        }
      } else {
        for (int32_t x = 0; x < w; ++x, ++col, ++dcol)
          for (int32_t r = 0; r < rows; ++r) sample(col + r * stride, dcol + r * w, ~0u);
      }
    }
    mq = m;
    raw_in = raw;
    memcpy(ctx_, ctx, sizeof ctx);
  }

  void Cleanup(Mq &mq, int32_t plane) {
    JTKD_BLOCK_LOCALS;
    const uint8_t *const sig = sig_;
    const int32_t one = 3 << plane;
    auto significant = [&](uint32_t * f, int32_t * d, uint32_t fm) __attribute__((always_inline)) {
      const uint8_t sc = kT.sign[SignIndex(fm)];
      const uint32_t neg = MqDecode(m, ctx[sc & 0x1F]) ^ uint32_t(sc >> 7);
      *d = one;
      SetSignificant(f, neg, stride);
    };
    auto sample = [&](uint32_t * f, int32_t * d, uint32_t mask) __attribute__((always_inline)) {
      const uint32_t fl = *f;
      if (!(fl & (kSig | kVisit))) {
        const uint32_t fm = fl & mask;
        if (MqDecode(m, ctx[sig[fm & 0xFF]])) significant(f, d, fm);
      }
      *f &= ~kVisit;
    };
    const uint32_t busy = 0xFF | kSig | kVisit;
    for (int32_t y0 = 0; y0 < h; y0 += 4) {
      const int32_t rows = std::min(4, h - y0);
      uint32_t *col = flags + size_t(y0 + 1) * size_t(stride) + 1;
      int32_t *dcol = data + size_t(y0) * size_t(w);
      if (rows < 4) {
        for (int32_t x = 0; x < w; ++x, ++col, ++dcol)
          for (int32_t r = 0; r < rows; ++r) sample(col + r * stride, dcol + r * w, ~0u);
        continue;
      }
      for (int32_t x = 0; x < w; ++x, ++col, ++dcol) {
        uint32_t *f1 = col + stride, *f2 = col + 2 * stride, *f3 = col + 3 * stride;
        if (!(*col & busy) && !(*f1 & busy) && !(*f2 & busy) && !(*f3 & busy & mask3)) {
          // Run mode: one symbol says whether any of the four turns
          // significant, two more say which is the first.
          if (!MqDecode(m, ctx[JTK_CTX_RUN])) continue;
          int32_t r = static_cast<int32_t>(MqDecode(m, ctx[JTK_CTX_UNIFORM]) << 1);
          r |= static_cast<int32_t>(MqDecode(m, ctx[JTK_CTX_UNIFORM]));
          uint32_t *f = col + r * stride;
          significant(f, dcol + r * w, *f & (r == 3 ? mask3 : ~0u));
          for (++r; r < 4; ++r) sample(col + r * stride, dcol + r * w, r == 3 ? mask3 : ~0u);
          continue;
        }
        sample(col, dcol, ~0u);
        sample(f1, dcol + w, ~0u);
        sample(f2, dcol + 2 * w, ~0u);
        sample(f3, dcol + 3 * w, mask3);
      }
    }
    mq = m;
    memcpy(ctx_, ctx, sizeof ctx);
  }
#undef JTKD_BLOCK_LOCALS
};

}  // namespace

int32_t JtkdDecodeBlock(JtkdT1Work &work, const JtkdCblk &cblk, int32_t orient, int32_t style,
                        int32_t planes, const JtkdBlockOut &out) {
  const int32_t w = cblk.x1 - cblk.x0, h = cblk.y1 - cblk.y0;
  if (w <= 0 || h <= 0) return 0;
  if (planes > JTKD_MAX_PLANES) return JTK_E_PACKET_DATA;
  const size_t stride = size_t(w) + 2;
  work.flags.assign(stride * (size_t(h) + 2), 0);
  // Values are written when a sample turns significant and read only for
  // significant samples, so the array needs no clearing.
  if (work.data.size() < size_t(w) * size_t(h)) work.data.resize(size_t(w) * size_t(h));
  // Each segment followed by two 0xFF bytes.
  std::vector<size_t> starts;
  starts.reserve(cblk.segs.size());
  work.bytes.clear();
  size_t chunk = 0;
  for (size_t seg = 0; seg < cblk.segs.size(); ++seg) {
    starts.push_back(work.bytes.size());
    for (; chunk < cblk.chunks.size() && cblk.chunks[chunk].seg == seg; ++chunk)
      work.bytes.insert(work.bytes.end(), cblk.chunks[chunk].p,
                        cblk.chunks[chunk].p + cblk.chunks[chunk].n);
    work.bytes.push_back(0xFF);
    work.bytes.push_back(0xFF);
  }
  Block blk;
  blk.w_ = w;
  blk.h_ = h;
  blk.stride_ = static_cast<int32_t>(stride);
  blk.flags_ = work.flags.data();
  blk.data_ = work.data.data();
  blk.sig_ = kT.sig[orient & 3];
  blk.vsc_ = (style & JTK_CB_VSC) != 0;
  blk.Reset();
  const int32_t passes = std::min(cblk.usable_passes, 3 * planes - 2);
  Mq mq{};
  Raw raw{};
  size_t seg = 0;
  int32_t left = 0;
  bool raw_seg = false;
  for (int32_t k = 0; k < passes; ++k) {
    const int32_t type = k == 0 ? 2 : (k - 1) % 3;  // 0 significance, 1 refinement, 2 clean-up
    const int32_t plane = planes - 1 - (k + 2) / 3;
    if (left == 0) {
      if (k > 0) ++seg;
      if (seg >= cblk.segs.size()) break;
      left = cblk.segs[seg].passes;
      const uint8_t *start = work.bytes.data() + starts[seg];
      raw_seg = (style & JTK_CB_BYPASS) && k >= 10 && type != 2;
      if (raw_seg) {
        raw.bp = start;
        raw.end = work.bytes.data() +
                  (seg + 1 < starts.size() ? starts[seg + 1] - 2 : work.bytes.size() - 2);
        raw.c = 0;
        raw.ct = 0;
      } else {
        MqInit(mq, start);
      }
      if (left == 0) break;
    }
    if (type == 0) {
      if (raw_seg)
        blk.Significance<true>(mq, raw, plane);
      else
        blk.Significance<false>(mq, raw, plane);
    } else if (type == 1) {
      if (raw_seg)
        blk.Refinement<true>(mq, raw, plane);
      else
        blk.Refinement<false>(mq, raw, plane);
    } else {
      blk.Cleanup(mq, plane);
      if (style & JTK_CB_SEGMARK) {
        // The segmentation symbol 1010 is read and not checked: a damaged
        // block still shows what it has.
        for (int32_t i = 0; i < 4; ++i) MqDecode(mq, blk.ctx_[JTK_CTX_UNIFORM]);
      }
    }
    if (style & JTK_CB_RESET) blk.Reset();
    --left;
  }
  // Into the plane: magnitudes of significant samples, downshifted when
  // they belong to the region of interest, signed, without the fraction
  // bit (5-3) or times the step (9-7).
  const int32_t roi = out.roi;
  const int32_t roi_limit = roi ? (1 << (roi + 1)) : 0;
  for (int32_t y = 0; y < h; ++y) {
    const uint32_t *f = blk.flags_ + size_t(y + 1) * stride + 1;
    const int32_t *d = blk.data_ + size_t(y) * size_t(w);
    int32_t *di = out.ints ? out.ints + size_t(y) * out.stride : nullptr;
    float *df = out.floats ? out.floats + size_t(y) * out.stride : nullptr;
    for (int32_t x = 0; x < w; ++x) {
      int32_t m = d[x] & -static_cast<int32_t>((f[x] >> 12) & 1);
      if (roi && m >= roi_limit) m >>= roi;
      const int32_t neg = -static_cast<int32_t>((f[x] >> 15) & 1);
      if (di)
        di[x] = ((m >> 1) ^ neg) - neg;
      else
        df[x] = static_cast<float>((m ^ neg) - neg) * out.step;
    }
  }
  return 0;
}
