// The JPEG 2000 encoder's bit-plane coder: the three coding passes of a
// code-block (significance propagation, magnitude refinement, clean-up with
// run mode) into the MQ arithmetic coder, with the truncation length and
// the error removed after each pass for the rate control.
#include <cstring>
#include <utility>

#include "jtkeint.h"

#define CMN_SOURCE "jtket1"

namespace {

// Contexts: 0..8 significance, 9..13 sign, 14..16 refinement, run, uniform.
enum {
  kCtxRefine = 14,
  kCtxRun = JTK_CTX_RUN,
  kCtxUniform = JTK_CTX_UNIFORM,
  kContexts = JTK_CTX_COUNT
};

// Per coefficient flags: which of the eight neighbours are significant, the
// signs of the four direct ones, and the coefficient's own state.
constexpr uint32_t kNW = 1u << 0, kN = 1u << 1, kNE = 1u << 2, kW = 1u << 3, kE = 1u << 4,
                   kSW = 1u << 5, kS = 1u << 6, kSE = 1u << 7;
constexpr uint32_t kNegN = 1u << 8, kNegS = 1u << 9, kNegW = 1u << 10, kNegE = 1u << 11;
constexpr uint32_t kSig = 1u << 12, kVisit = 1u << 13, kRefined = 1u << 14;
const uint32_t kNeighbours = 0xFF;

struct Tables {
  uint8_t zero[4][256];  // significance context by orientation and neighbours
  uint8_t sign[4096];    // sign context | flip bit << 7 by neighbours and signs
  Tables() {
    for (int o = 0; o < 4; ++o)
      for (int n = 0; n < 256; ++n) {
        int h = !!(n & kW) + !!(n & kE), v = !!(n & kN) + !!(n & kS);
        const int d = !!(n & kNW) + !!(n & kNE) + !!(n & kSW) + !!(n & kSE);
        int ctx;
        if (o == JTKE_HH) {
          const int hv = h + v;
          if (d >= 3)
            ctx = 8;
          else if (d == 2)
            ctx = hv >= 1 ? 7 : 6;
          else if (d == 1)
            ctx = hv >= 2 ? 5 : hv == 1 ? 4 : 3;
          else
            ctx = hv >= 2 ? 2 : hv;
        } else {
          // HL bands see edges across the rows: the roles of the
          // horizontal and vertical neighbours swap.
          if (o == JTKE_HL) std::swap(h, v);
          if (h == 2)
            ctx = 8;
          else if (h == 1)
            ctx = v >= 1 ? 7 : d >= 1 ? 6 : 5;
          else if (v >= 1)
            ctx = v == 2 ? 4 : 3;
          else
            ctx = d >= 2 ? 2 : d;
        }
        zero[o][n] = static_cast<uint8_t>(ctx);
      }
    for (int n = 0; n < 4096; ++n) {
      auto part = [n](uint32_t sig, uint32_t neg) { return (n & sig) ? ((n & neg) ? -1 : 1) : 0; };
      int h = part(kW, kNegW) + part(kE, kNegE), v = part(kN, kNegN) + part(kS, kNegS);
      h = h < -1 ? -1 : h > 1 ? 1 : h;
      v = v < -1 ? -1 : v > 1 ? 1 : v;
      int ctx, flip = 0;
      if (h == 0) {
        ctx = v == 0 ? 9 : 10;
        flip = v < 0;
      } else {
        ctx = v == h ? 13 : v == 0 ? 12 : 11;
        flip = h < 0;
      }
      sign[n] = static_cast<uint8_t>(ctx | flip << 7);
    }
  }
};
const Tables kTables;

// The MQ encoder writing into a byte vector whose first byte stands for
// the byte before the data.
class Mq {
 public:
  explicit Mq(std::vector<uint8_t> *out) : out_(out) {
    out_->clear();
    out_->push_back(0);
    for (int i = 0; i < kContexts; ++i) state_[i] = mps_[i] = 0;
    state_[0] = JTK_CTX_ZERO_START;
    state_[kCtxRun] = JTK_CTX_RUN_START;
    state_[kCtxUniform] = JTK_CTX_UNIFORM_START;
  }
  __attribute__((always_inline)) void Encode(int bit, int ctx) {
    const JtkMqStateTp &s = JtkMqStates[state_[ctx]];
    const uint32_t qe = s.qe;
    a_ -= qe;
    if (bit == mps_[ctx]) {
      if (a_ & 0x8000) {
        c_ += qe;
        return;
      }
      if (a_ < qe)
        a_ = qe;
      else
        c_ += qe;
      state_[ctx] = s.nmps;
    } else {
      if (a_ < qe)
        c_ += qe;
      else
        a_ = qe;
      if (s.swap) mps_[ctx] ^= 1;
      state_[ctx] = s.nlps;
    }
    // Renormalise: as many doublings as bring A back to 0x8000, in steps
    // that stop at each byte boundary.
    int n = __builtin_clz(a_) - 16;
    while (n > 0) {
      const int step = n < ct_ ? n : ct_;
      a_ <<= step;
      c_ <<= step;
      ct_ -= step;
      n -= step;
      if (ct_ == 0) ByteOut();
    }
  }
  // Bytes a decoder needs to decode every symbol so far when the data is
  // cut there: the bytes out, and those that will hold the bits still in
  // the register (a cut stream reads as if followed by ones, which stays
  // inside the current interval once every bit of its low end is kept).
  uint32_t CutLength() const {
    return static_cast<uint32_t>(out_->size() - 1) + 1 + static_cast<uint32_t>((20 - ct_ + 6) / 7);
  }
  // Ends the data; returns its length.
  uint32_t Flush() {
    const uint32_t top = c_ + a_;
    c_ |= 0xFFFF;
    if (c_ >= top) c_ -= 0x8000;
    c_ <<= ct_;
    ByteOut();
    c_ <<= ct_;
    ByteOut();
    if (out_->back() == 0xFF) out_->pop_back();
    return static_cast<uint32_t>(out_->size() - 1);
  }

 private:
  void ByteOut() {
    uint8_t &b = out_->back();
    if (b == 0xFF) {
      Put7();
    } else if (c_ < 0x8000000) {
      Put8();
    } else {
      ++b;
      if (b == 0xFF) {
        c_ &= 0x7FFFFFF;
        Put7();
      } else {
        Put8();
      }
    }
  }
  void Put7() {
    out_->push_back(static_cast<uint8_t>(c_ >> 20));
    c_ &= 0xFFFFF;
    ct_ = 7;
  }
  void Put8() {
    out_->push_back(static_cast<uint8_t>(c_ >> 19));
    c_ &= 0x7FFFF;
    ct_ = 8;
  }

  std::vector<uint8_t> *out_;
  uint32_t a_ = 0x8000, c_ = 0;
  int ct_ = 12;
  uint8_t state_[kContexts], mps_[kContexts];
};

// The squared error removed when a coefficient of magnitude v (with its
// fraction bits) is first found significant at bit `bit`, and when bit
// `bit` refines it: reconstruction at the middle of the interval left.
inline double SigGain(uint64_t v, int bit) {
  const int64_t r = bit ? (int64_t{3} << bit) >> 1 : 1;
  const int64_t e0 = static_cast<int64_t>(v), e1 = e0 - r;
  return static_cast<double>(e0) * static_cast<double>(e0) -
         static_cast<double>(e1) * static_cast<double>(e1);
}
inline double RefineGain(uint64_t v, int bit) {
  const int64_t before =
      static_cast<int64_t>(((v >> (bit + 1)) << (bit + 1)) + (uint64_t{1} << bit));
  const int64_t after = bit ? static_cast<int64_t>(((v >> bit) << bit) + (uint64_t{1} << (bit - 1)))
                            : static_cast<int64_t>(v);
  const double e0 = static_cast<double>(static_cast<int64_t>(v) - before);
  const double e1 = static_cast<double>(static_cast<int64_t>(v) - after);
  return e0 * e0 - e1 * e1;
}

}  // namespace

void JtkeBlockCoder::Code(const uint32_t *magnitude, const uint8_t *negative, int32_t w, int32_t h,
                          int32_t orientation, int32_t fraction, bool measure,
                          JtkeCodedBlockTp *out) {
  out->data.clear();
  out->length.clear();
  out->gain.clear();
  uint32_t top = 0;
  for (int32_t i = 0; i < w * h; ++i) top |= magnitude[i];
  top >>= fraction;
  int32_t planes = 0;
  while (top) {
    ++planes;
    top >>= 1;
  }
  out->planes = planes;
  if (planes == 0) return;

  const size_t stride = static_cast<size_t>(w) + 2;
  flags_.assign(stride * (static_cast<size_t>(h) + 2), 0);
  uint32_t *const f0 = flags_.data() + stride + 1;
  const uint8_t *const zc = kTables.zero[orientation];
  const uint8_t *const sc = kTables.sign;
  Mq mq(&bytes_);
  const double unit = 1.0 / (static_cast<double>(uint64_t{1} << fraction) *
                             static_cast<double>(uint64_t{1} << fraction));
  double gain = 0;

  // A coefficient turning significant tells its neighbours.
  auto become_significant = [stride](uint32_t * f, bool neg) __attribute__((always_inline)) {
    f[0] |= kSig;
    f[-static_cast<ptrdiff_t>(stride) - 1] |= kSE;
    f[-static_cast<ptrdiff_t>(stride)] |= kS | (neg ? kNegS : 0);
    f[-static_cast<ptrdiff_t>(stride) + 1] |= kSW;
    f[-1] |= kE | (neg ? kNegE : 0);
    f[1] |= kW | (neg ? kNegW : 0);
    f[stride - 1] |= kNE;
    f[stride] |= kN | (neg ? kNegN : 0);
    f[stride + 1] |= kNW;
  };
  auto code_sign = [&](uint32_t * f, size_t i, int bit) __attribute__((always_inline)) {
    const uint8_t s = sc[*f & 0xFFF];
    const bool neg = negative[i] != 0;
    mq.Encode(neg ^ (s >> 7), s & 0x7F);
    become_significant(f, neg);
    if (measure) gain += SigGain(magnitude[i], bit);
  };
  auto end_pass = [&]() {
    out->length.push_back(mq.CutLength());
    out->gain.push_back(gain * unit);
  };

  for (int32_t plane = planes - 1; plane >= 0; --plane) {
    const int bit = plane + fraction;
    if (plane != planes - 1) {
      // Significance propagation: coefficients with a significant neighbour.
      for (int32_t y0 = 0; y0 < h; y0 += 4) {
        const int32_t y1 = y0 + 4 < h ? y0 + 4 : h;
        for (int32_t x = 0; x < w; ++x)
          for (int32_t y = y0; y < y1; ++y) {
            uint32_t *f = f0 + static_cast<size_t>(y) * stride + x;
            if ((*f & kSig) || !(*f & kNeighbours)) continue;
            const size_t i = static_cast<size_t>(y) * w + x;
            const int b = (magnitude[i] >> bit) & 1;
            mq.Encode(b, zc[*f & kNeighbours]);
            *f |= kVisit;
            if (b) code_sign(f, i, bit);
          }
      }
      end_pass();
      // Magnitude refinement of the coefficients significant before.
      for (int32_t y0 = 0; y0 < h; y0 += 4) {
        const int32_t y1 = y0 + 4 < h ? y0 + 4 : h;
        for (int32_t x = 0; x < w; ++x)
          for (int32_t y = y0; y < y1; ++y) {
            uint32_t *f = f0 + static_cast<size_t>(y) * stride + x;
            if ((*f & (kSig | kVisit)) != kSig) continue;
            const size_t i = static_cast<size_t>(y) * w + x;
            const int ctx = (*f & kRefined)      ? kCtxRefine + 2
                            : (*f & kNeighbours) ? kCtxRefine + 1
                                                 : kCtxRefine;
            mq.Encode((magnitude[i] >> bit) & 1, ctx);
            *f |= kRefined;
            if (measure) gain += RefineGain(magnitude[i], bit);
          }
      }
      end_pass();
    }
    // Clean-up: everything not coded yet, four quiet coefficients of a
    // column at once in run mode.
    for (int32_t y0 = 0; y0 < h; y0 += 4) {
      const int32_t y1 = y0 + 4 < h ? y0 + 4 : h;
      for (int32_t x = 0; x < w; ++x) {
        uint32_t *fc = f0 + static_cast<size_t>(y0) * stride + x;
        int32_t y = y0;
        if (y1 - y0 == 4) {
          const uint32_t busy = kSig | kVisit | kNeighbours;
          if (!(fc[0] & busy) && !(fc[stride] & busy) && !(fc[2 * stride] & busy) &&
              !(fc[3 * stride] & busy)) {
            int k = 0;
            while (k < 4 && !((magnitude[static_cast<size_t>(y0 + k) * w + x] >> bit) & 1)) ++k;
            if (k == 4) {
              mq.Encode(0, kCtxRun);
              continue;
            }
            mq.Encode(1, kCtxRun);
            mq.Encode(k >> 1, kCtxUniform);
            mq.Encode(k & 1, kCtxUniform);
            code_sign(fc + static_cast<size_t>(k) * stride, static_cast<size_t>(y0 + k) * w + x,
                      bit);
            y = y0 + k + 1;
          }
        }
        for (; y < y1; ++y) {
          uint32_t *f = f0 + static_cast<size_t>(y) * stride + x;
          if (*f & (kSig | kVisit)) {
            *f &= ~kVisit;
            continue;
          }
          const size_t i = static_cast<size_t>(y) * w + x;
          const int b = (magnitude[i] >> bit) & 1;
          mq.Encode(b, zc[*f & kNeighbours]);
          if (b) code_sign(f, i, bit);
        }
      }
    }
    end_pass();
  }
  const uint32_t total = mq.Flush();
  for (uint32_t &l : out->length)
    if (l > total) l = total;
  out->length.back() = total;
  out->data.assign(bytes_.begin() + 1, bytes_.begin() + 1 + total);
}
