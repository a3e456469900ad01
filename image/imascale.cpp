// The scaler: contribution tables, the horizontal and vertical passes, and
// the streaming, random-access and whole-buffer ways of driving them.
#include "imascale.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#define CMN_SOURCE "imascale"

// Up to this many samples, the plain sum of one component times 256 fits
// in 32 bits (255 x 256 x 65792 < 2^32).
static const int32_t kNarrowSum = 65792;

const char *ImgScaleName(ImgScaleTp method) {
  switch (method) {
    case ImgScaleDontCare:
      return "Method = DontCare";
    case ImgScaleReplication:
      return "Replicaton";
    case ImgScaleBilinear:
      return "Bilinear";
    case ImgScaleAveraging:
      return "Averaging";
    case ImgScaleNoScaling:
      return "NoScaling";
    case ImgScaleBigScale:
      return "BigScale";
  }
  return "Method = Unknown";
}

// ---------------------------------------------------------------------------
// Tables.

static void ReplicationEntry(ImgContribTp *e, int32_t i, double f, int32_t size) {
  const double p = std::floor((i + 0.5) * f);
  e->first = static_cast<uint32_t>(std::min(p, size - 1.0));
  e->n = 1;
  e->w1 = 256;
}

// Sample centres: output position i sits at source position (i + 0.5) f -
// 0.5, in 1/256 steps. Both ends are clamped, so the image edges repeat.
static void BilinearEntry(ImgContribTp *e, int32_t i, double f, int32_t size) {
  double p = std::floor(i * 256.0 * f + 128.0 * f - 128.0);
  p = std::max(0.0, std::min(p, (size - 1) * 256.0));
  const int64_t q = static_cast<int64_t>(p);
  int64_t first = q / 256;
  const int64_t fraction = q % 256;
  if (fraction == 0 && first >= 1) {
    // Keep the pair: the sample falls exactly on the second one.
    first -= 1;
    e->n = 2;
    e->w1 = 0;
    e->w3 = 256;
  } else {
    e->n = fraction != 0 ? 2 : 1;
    e->w1 = static_cast<uint16_t>(256 - fraction);
    e->w3 = static_cast<uint16_t>(fraction);
  }
  e->first = static_cast<uint32_t>(first);
}

// Output position i covers the source interval [x, x + f): every sample it
// touches contributes in proportion to the part it covers.
static void AveragingEntry(ImgContribTp *e, int32_t i, double f, int32_t size, int32_t window) {
  const double x = i * f;
  const int64_t a = std::min<int64_t>(static_cast<int64_t>(std::floor(x + 1e-10)), size - 1);
  // Rounding of i x f can put the end of the last interval a hair past the
  // source; its share there is nil.
  const int64_t end = static_cast<int64_t>(std::floor(x + f - 1e-10));
  const int64_t b = std::max(a, std::min<int64_t>(end, size - 1));
  const uint16_t last = static_cast<uint16_t>(std::floor((x + f - b) * 256.0 / f + 0.5));
  e->first = static_cast<uint32_t>(a);
  if (window == 2) {
    if (a == b) {
      e->n = 1;
      e->w1 = 256;
    } else {
      e->n = 2;
      e->w3 = last;
      e->w1 = static_cast<uint16_t>(256 - last);
    }
    return;
  }
  const int64_t n = b - a + 1;
  const int64_t middle = n < 3 ? 0 : static_cast<int64_t>(std::floor(256.0 / f));
  e->n = static_cast<int32_t>(n);
  e->w2 = static_cast<uint16_t>(middle);
  e->w3 = last;
  e->w1 = static_cast<uint16_t>(std::max<int64_t>(0, 256 - last - (n - 2) * middle));
}

void fillit(int32_t *window, ImgContribTp *table, int32_t source_size, int32_t output_size,
            ImgScaleTp method, int32_t first, int32_t count) {
  if (method == ImgScaleNoScaling || method == ImgScaleBigScale) CMN_ASSERT(0);
  int32_t w = (source_size - 1) / output_size + 2;
  if (method == ImgScaleReplication) w = 1;
  if (method == ImgScaleBilinear) w = 2;
  *window = w;
  const double f = static_cast<double>(source_size) / output_size;
  for (int32_t k = 0; k < count; k++) {
    ImgContribTp *e = &table[k];
    *e = ImgContribTp{};
    const int32_t i = first + k;
    switch (method) {
      case ImgScaleReplication:
        ReplicationEntry(e, i, f, source_size);
        break;
      case ImgScaleBilinear:
        BilinearEntry(e, i, f, source_size);
        break;
      case ImgScaleDontCare:
      case ImgScaleAveraging:
        AveragingEntry(e, i, f, source_size, w);
        break;
      default:
        break;  // unknown: every position takes sample 0 with weight 0
    }
  }
}

// ---------------------------------------------------------------------------
// Horizontal pass: one source line into cols x bpp values, each x 256.

// Wide windows ignore the weights: the plain mean of the samples.
template <int B, typename SumTp>
static void GenericMean(const uint8_t *p, int32_t n, uint32_t *d) {
  SumTp sum[B] = {};
  for (int32_t j = 0; j < n; j++, p += B)
    for (int b = 0; b < B; b++) sum[b] += p[b];
  for (int b = 0; b < B; b++) d[b] = static_cast<uint32_t>((sum[b] << 8) / static_cast<SumTp>(n));
}

// Four components two pixels at a time, the usual case of a reduced page:
// the even and the odd bytes of a 64-bit word are summed in 16-bit lanes,
// which hold up to 257 samples each, so windows of up to 514 pixels.
static const int32_t kLaneWindow = 514;
static void LaneMean4(const uint8_t *p, int32_t n, uint32_t *d) {
  const uint64_t mask = 0x00FF00FF00FF00FFull;
  uint64_t even = 0, odd = 0;
  int32_t j = 0;
  for (; j + 2 <= n; j += 2, p += 8) {
    uint64_t v;
    memcpy(&v, p, 8);
    even += v & mask;
    odd += v >> 8 & mask;
  }
  uint32_t sum[4] = {static_cast<uint32_t>((even & 0xFFFF) + (even >> 32 & 0xFFFF)),
                     static_cast<uint32_t>((odd & 0xFFFF) + (odd >> 32 & 0xFFFF)),
                     static_cast<uint32_t>((even >> 16 & 0xFFFF) + (even >> 48)),
                     static_cast<uint32_t>((odd >> 16 & 0xFFFF) + (odd >> 48))};
  if (j < n)
    for (int b = 0; b < 4; b++) sum[b] += p[b];
  for (int b = 0; b < 4; b++) d[b] = (sum[b] << 8) / static_cast<uint32_t>(n);
}

// One-byte samples (gray and bilevel pages) eight at a time: the even and
// the odd bytes of a word summed in 16-bit lanes, which hold up to 257
// words each, so windows of up to 2056 samples. This is the pass a large
// drawing spends its time in once it is reduced on gray samples.
static const int32_t kLaneWindow1 = 2056;
static void LaneMean1(const uint8_t *p, int32_t n, uint32_t *d) {
  const uint64_t mask = 0x00FF00FF00FF00FFull;
  uint64_t lanes = 0;
  int32_t j = 0;
  for (; j + 8 <= n; j += 8, p += 8) {
    uint64_t v;
    memcpy(&v, p, 8);
    lanes += (v & mask) + (v >> 8 & mask);
  }
  uint32_t sum = static_cast<uint32_t>((lanes & 0xFFFF) + (lanes >> 16 & 0xFFFF) +
                                       (lanes >> 32 & 0xFFFF) + (lanes >> 48));
  for (; j < n; j++) sum += *p++;
  *d = (sum << 8) / static_cast<uint32_t>(n);
}

template <int B>
static void PlainMean(const uint8_t *p, int32_t n, uint32_t *d) {
  // The lanes are laid out for a little-endian load (LaneMean1 sums all
  // lanes, so for it the order does not matter).
  if (B == 1 && n <= kLaneWindow1)
    LaneMean1(p, n, d);
  else if (B == 4 && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && n <= kLaneWindow)
    LaneMean4(p, n, d);
  else if (n <= kNarrowSum)
    GenericMean<B, uint32_t>(p, n, d);
  else
    GenericMean<B, uint64_t>(p, n, d);
}

template <int B>
static void ScaleRow(const ImgStretchTp *s, const uint8_t *src, uint32_t *dst) {
  const size_t cols = static_cast<size_t>(s->cols);
  if (s->same_width) {
    const uint8_t *p = src + static_cast<size_t>(s->h_offset) * B;
    for (size_t k = 0; k < cols * B; k++) dst[k] = static_cast<uint32_t>(p[k]) << 8;
    return;
  }
  const ImgContribTp *tab = s->htab.data();
  if (s->method == ImgScaleReplication) {
    for (size_t c = 0; c < cols; c++, dst += B) {
      const uint8_t *p = src + static_cast<size_t>(tab[c].first) * B;
      for (int b = 0; b < B; b++) dst[b] = static_cast<uint32_t>(p[b]) << 8;
    }
    return;
  }
  for (size_t c = 0; c < cols; c++, dst += B) {
    const ImgContribTp &e = tab[c];
    const uint8_t *p = src + static_cast<size_t>(e.first) * B;
    if (e.n >= 9) {
      PlainMean<B>(p, e.n, dst);
    } else if (e.n >= 3) {
      const uint8_t *q = p + static_cast<size_t>(e.n - 1) * B;
      for (int b = 0; b < B; b++) {
        uint32_t v = p[b] * e.w1 + q[b] * e.w3;
        for (int32_t j = 1; j < e.n - 1; j++) v += p[j * B + b] * e.w2;
        dst[b] = v;
      }
    } else if (e.n == 2) {
      for (int b = 0; b < B; b++) dst[b] = p[b] * e.w1 + p[B + b] * (256u - e.w1);
    } else if (e.n == 1) {
      for (int b = 0; b < B; b++) dst[b] = static_cast<uint32_t>(p[b]) << 8;
    } else {
      for (int b = 0; b < B; b++) dst[b] = 0;
    }
  }
}

static void HorizontalPass(const ImgStretchTp *s, const uint8_t *src, uint32_t *dst) {
  switch (s->bpp) {
    case 1:
      ScaleRow<1>(s, src, dst);
      break;
    case 2:
      ScaleRow<2>(s, src, dst);
      break;
    case 3:
      ScaleRow<3>(s, src, dst);
      break;
    default:
      ScaleRow<4>(s, src, dst);
      break;
  }
}

// ---------------------------------------------------------------------------
// Lines as pieces.

void ImgRunLineTp::clear() {
  repeated = false;
  width = 0;
  total = 0;
  pieces.clear();
  samples.clear();
  sums.clear();
}

void ImgRunLineTp::literals(const uint8_t *p, int32_t n) {
  if (n <= 0) return;
  if (!pieces.empty() && pieces.back().value < 0)
    pieces.back().end += n;
  else
    pieces.push_back(PieceTp{width + n, -1, static_cast<int32_t>(samples.size()), total});
  const size_t at = samples.size();
  samples.insert(samples.end(), p, p + n);
  sums.resize(at + static_cast<size_t>(n));
  uint64_t sum = total;
  uint64_t *s = sums.data() + at;
  for (int32_t i = 0; i < n; ++i) {
    s[i] = sum;
    sum += p[i];
  }
  total = sum;
  width += n;
}

bool ImgRunLineTp::bytes(const uint8_t *p, int32_t n) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  int32_t pending = 0;  // the first sample not yet appended
  int32_t loose = 0;    // literal samples appended
  // Runs are looked for eight samples at a time: any run of 15 or more
  // fills one of these words, so a noisy line costs a compare per word
  // and goes on as literals, and a drawing's runs are all found.
  for (int32_t j = 0; j + 8 <= n;) {
    const uint8_t v = p[j];
    uint64_t word;
    memcpy(&word, p + j, 8);
    if (word != kOnes * v) {
      j += 8;
      continue;
    }
    int32_t a = j, z = j + 8;
    while (a > pending && p[a - 1] == v) --a;
    for (bool open = true; open && z + 8 <= n;) {
      memcpy(&word, p + z, 8);
      const uint64_t x = word ^ kOnes * v;
      if (x == 0) {
        z += 8;
        continue;
      }
      // The first differing sample: the lowest byte of x in memory order.
      z += (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? __builtin_ctzll(x) : __builtin_clzll(x)) >>
           3;
      open = false;
    }
    while (z < n && p[z] == v) ++z;
    if ((loose += a - pending) > n / 2) return false;
    literals(p + pending, a - pending);
    run(z - a, v);
    pending = j = z;
  }
  if (loose + n - pending > n / 2) return false;
  literals(p + pending, n - pending);
  return true;
}

void ImgRunLineTp::reverse() {
  ImgRunLineTp r;
  r.pieces.reserve(pieces.size());
  r.samples.reserve(samples.size());
  std::vector<uint8_t> turned;
  for (size_t k = pieces.size(); k-- > 0;) {
    const PieceTp &piece = pieces[k];
    const int32_t n = piece.end - (k ? pieces[k - 1].end : 0);
    if (piece.value >= 0) {
      r.run(n, static_cast<uint8_t>(piece.value));
    } else {
      const uint8_t *p = samples.data() + piece.literal;
      turned.assign(p, p + n);
      std::reverse(turned.begin(), turned.end());
      r.literals(turned.data(), n);
    }
  }
  std::swap(*this, r);
}

void ImgRunLineTp::expand(uint8_t *out) const {
  for (size_t k = 0; k < pieces.size(); ++k) {
    const PieceTp &piece = pieces[k];
    const int32_t start = k ? pieces[k - 1].end : 0, n = piece.end - start;
    if (piece.value >= 0)
      memset(out + start, piece.value, static_cast<size_t>(n));
    else
      memcpy(out + start, samples.data() + piece.literal, static_cast<size_t>(n));
  }
}

namespace {

// Walks the pieces of a line: the sample at x and the sum of the samples
// before x, for positions that mostly move forward.
class RunCursor {
 public:
  explicit RunCursor(const ImgRunLineTp &l) : l_(l), p_(l.pieces.data()), last_(l.pieces.size()) {}

  uint32_t at(int32_t x) {
    seek(x);
    const int32_t v = p_[k_].value;
    return v >= 0 ? static_cast<uint32_t>(v) : l_.samples[static_cast<size_t>(Literal(x))];
  }
  // The value of the run that holds x and its end, or -1 where x is one
  // of literal samples.
  int32_t run(int32_t x, int32_t *end) {
    seek(x);
    *end = p_[k_].end;
    return p_[k_].value;
  }
  uint64_t sumBefore(int32_t x) {
    if (x >= l_.width) return l_.total;
    seek(x);
    const ImgRunLineTp::PieceTp &piece = p_[k_];
    return piece.value >= 0 ? piece.before + static_cast<uint64_t>(piece.value) *
                                                 static_cast<uint64_t>(x - start_)
                            : l_.sums[static_cast<size_t>(Literal(x))];
  }

 private:
  const ImgRunLineTp &l_;
  const ImgRunLineTp::PieceTp *p_;
  size_t last_;  // number of pieces
  size_t k_ = 0;
  int32_t start_ = 0;

  int32_t Literal(int32_t x) const { return p_[k_].literal + x - start_; }
  void seek(int32_t x) {
    while (x >= p_[k_].end && k_ + 1 < last_) start_ = p_[k_++].end;
    while (x < start_ && k_ > 0) start_ = --k_ > 0 ? p_[k_ - 1].end : 0;
  }
};

// Where the samples of each output column end, and what they add up to
// over a run of value 1, made once for the lines given as pieces.
void RunTables(ImgStretchTp *s) {
  if (!s->hend.empty()) return;
  const bool replication = s->method == ImgScaleReplication;
  s->hend.resize(static_cast<size_t>(s->cols));
  s->hunit.resize(static_cast<size_t>(s->cols));
  s->hwhite.resize(static_cast<size_t>(s->cols));
  for (size_t c = 0; c < s->hend.size(); c++) {
    const ImgContribTp &e = s->htab[c];
    const int32_t n = replication ? 1 : e.n;
    s->hend[c] = static_cast<int32_t>(
        std::min<int64_t>(static_cast<int64_t>(e.first) + std::max(n, 1), INT32_MAX));
    s->hunit[c] = n >= 3 && n < 9 ? e.w1 + e.w3 + static_cast<uint32_t>(n - 2) * e.w2
                  : n == 0        ? 0u
                                  : 256u;
    s->hwhite[c] = 255u * s->hunit[c];
  }
}

// One column scaled from pieces, with the same arithmetic as ScaleRow<1>.
uint32_t ScaleRunColumn(const ImgStretchTp *s, const ImgContribTp &e, RunCursor *r) {
  const int32_t f = static_cast<int32_t>(e.first);
  if (s->method == ImgScaleReplication || e.n == 1) return r->at(f) << 8;
  if (e.n >= 9) {
    const uint64_t sum = (r->sumBefore(f + e.n) - r->sumBefore(f)) << 8;
    return sum <= UINT32_MAX ? static_cast<uint32_t>(sum) / static_cast<uint32_t>(e.n)
                             : static_cast<uint32_t>(sum / static_cast<uint64_t>(e.n));
  }
  if (e.n >= 3) {
    const uint64_t middle = r->sumBefore(f + e.n - 1) - r->sumBefore(f + 1);
    return r->at(f) * e.w1 + r->at(f + e.n - 1) * e.w3 + static_cast<uint32_t>(middle) * e.w2;
  }
  if (e.n == 2) return r->at(f) * e.w1 + r->at(f + 1) * (256u - e.w1);
  return 0;
}

// The horizontal pass of one-byte samples from pieces. Where a column's
// samples all lie in one run, its value follows from the run's value and
// the weights; as columns come in source order, all those of one run are
// done at once, and those of a white run are left out: spans receives the
// columns that were scaled, as pairs of first and end.
void ScaleRuns(const ImgStretchTp *s, const ImgRunLineTp &line, uint32_t *dst,
               std::vector<int32_t> *spans) {
  const ImgContribTp *tab = s->htab.data();
  const int32_t *hend = s->hend.data(), *last = hend + s->cols;
  const uint32_t *hunit = s->hunit.data();
  spans->clear();
  auto keep = [spans](int32_t from, int32_t to) {
    if (!spans->empty() && spans->back() == from) {
      spans->back() = to;
    } else {
      spans->push_back(from);
      spans->push_back(to);
    }
  };
  RunCursor r(line);
  for (int32_t c = 0; c < s->cols;) {
    int32_t end = 0;
    const int32_t v = r.run(static_cast<int32_t>(tab[c].first), &end);
    if (v >= 0 && hend[c] <= end) {
      // Columns end in source order: these all end in this run.
      const int32_t stop = static_cast<int32_t>(std::upper_bound(hend + c, last, end) - hend);
      if (v != 255) {
        for (int32_t k = c; k < stop; k++) dst[k] = static_cast<uint32_t>(v) * hunit[k];
        keep(c, stop);
      }
      c = stop;
      continue;
    }
    dst[c] = ScaleRunColumn(s, tab[c], &r);
    keep(c, c + 1);
    c++;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Vertical pass: scaled lines are added into the accumulator as they come;
// the row is written out when its last line has been added.

// The last source line of a row. An entry of the unknown method (n = 0)
// still waits for its first line, which it weights 0.
static int32_t RowLast(const ImgContribTp &e) {
  return static_cast<int32_t>(e.first) + std::max(e.n, 1) - 1;
}

static uint32_t LineWeight(const ImgContribTp &e, int32_t j) {
  if (j == 0) return e.w1;
  if (e.n == 2) return 256u - e.w1;
  return j == e.n - 1 ? e.w3 : e.w2;
}

// Adds line j of the row's window; a sparse line only where spans says.
static void Accumulate(ImgStretchTp *s, const ImgContribTp &e, int32_t j, const uint32_t *h,
                       const std::vector<int32_t> &spans) {
  uint64_t *acc = s->acc.data();
  if (s->sparse) {
    const uint64_t w = e.n >= 9 ? 1 : LineWeight(e, j);
    if (w == 0) return;
    s->white_weight += w;
    const uint32_t *white = s->hwhite.data();
    // The differences from white wrap below zero; once the white is added
    // back the sums are exact.
    for (size_t i = 0; i + 1 < spans.size(); i += 2)
      for (int32_t k = spans[i]; k < spans[i + 1]; k++)
        acc[k] += (static_cast<uint64_t>(h[k]) - white[k]) * w;
    return;
  }
  const size_t m = s->acc.size();
  if (e.n >= 9) {
    for (size_t k = 0; k < m; k++) acc[k] += h[k];
    return;
  }
  const uint32_t w = LineWeight(e, j);
  if (w == 256) {
    for (size_t k = 0; k < m; k++) acc[k] += static_cast<uint64_t>(h[k]) << 8;
  } else if (w != 0) {
    for (size_t k = 0; k < m; k++) acc[k] += static_cast<uint64_t>(h[k]) * w;
  }
}

// Writes the row (bits 16..23 of value x 65536) and clears the accumulator.
static void Finish(ImgStretchTp *s, const ImgContribTp &e, uint8_t *out) {
  uint64_t *acc = s->acc.data();
  const size_t m = s->acc.size();
  if (s->sparse) {
    for (size_t k = 0; k < m; k++) acc[k] += s->white_weight * s->hwhite[k];
    s->white_weight = 0;
  }
  if (e.n >= 9) {
    // A plain sum: divide by n. Large sums are divided first (rounded) so
    // that value x 256 cannot leave 32 bits.
    const uint64_t n = static_cast<uint64_t>(e.n);
    for (size_t k = 0; k < m; k++) {
      uint64_t v = acc[k];
      v = v > 0x7fffff ? ((v + n / 2) / n) << 8
                       : static_cast<uint32_t>(v << 8) / static_cast<uint32_t>(n);
      out[k] = static_cast<uint8_t>(v >> 16);
      acc[k] = 0;
    }
    return;
  }
  for (size_t k = 0; k < m; k++) {
    out[k] = static_cast<uint8_t>(acc[k] >> 16);
    acc[k] = 0;
  }
}

// ---------------------------------------------------------------------------
// Making and driving a scaler.

ReturnTp ImgCreateStretch(ImgStretchTp **stretch, ImgScaleTp method, int32_t src_width,
                          int32_t src_lines, int32_t out_width, int32_t out_lines, int32_t bpp,
                          int32_t first_col, int32_t first_row, int32_t cols, int32_t rows) {
  if (!stretch) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (out_width == 0) out_width = src_width;
  if (out_lines == 0) out_lines = src_lines;
  if (src_width <= 0 || src_lines <= 0 || out_width <= 0 || out_lines <= 0 || bpp < 1 || bpp > 4 ||
      first_col < 0 || first_row < 0 || first_col >= out_width || first_row >= out_lines ||
      cols < 0 || rows < 0 || cols > out_width - first_col || rows > out_lines - first_row)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (cols == 0) cols = out_width - first_col;
  if (rows == 0) rows = out_lines - first_row;

  if (getenv("PVDEBUGSCALE")) {
    char text[128];
    snprintf(text, sizeof text, "Scale: %dx%d -> %dx%d (%s)", static_cast<int>(src_width),
             static_cast<int>(src_lines), static_cast<int>(out_width), static_cast<int>(out_lines),
             ImgScaleName(method));
    CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, text);  // a report only: go on
  }

  std::unique_ptr<ImgStretchTp> s(new (std::nothrow) ImgStretchTp());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  s->method = method;
  s->src_width = src_width;
  s->src_lines = src_lines;
  s->out_width = out_width;
  s->out_lines = out_lines;
  s->first_col = first_col;
  s->first_row = first_row;
  s->cols = cols;
  s->rows = rows;
  s->bpp = bpp;
  s->same_width = src_width == out_width;
  s->h_offset = first_col;
  s->hline_src[0] = s->hline_src[1] = -1;
  // Every stretch's tables and buffers are sized by the output (a 1:1
  // stretch is made for each page header, however large): the methods
  // whose tables would map each position onto itself need none of them.
  s->identity = src_width == out_width && src_lines == out_lines && cols == out_width &&
                rows == out_lines &&
                (method == ImgScaleDontCare || method == ImgScaleReplication ||
                 method == ImgScaleBilinear || method == ImgScaleAveraging);
  if (s->identity) {
    s->hwin = s->vwin = 1;
    s->span_x = s->span_y = 0;
    s->span_width = src_width;
    s->span_lines = src_lines;
    *stretch = s.release();
    return 0;
  }
  const size_t line = static_cast<size_t>(cols) * static_cast<size_t>(bpp);
  try {
    s->htab.resize(static_cast<size_t>(cols));
    s->vtab.resize(static_cast<size_t>(rows));
    s->hline[0].resize(line);
    s->hline[1].resize(line);
    s->acc.assign(line, 0);
  } catch (const std::bad_alloc &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  fillit(&s->hwin, s->htab.data(), src_width, out_width, method, first_col, cols);
  fillit(&s->vwin, s->vtab.data(), src_lines, out_lines, method, first_row, rows);
  s->span_x = static_cast<int32_t>(s->htab.front().first);
  s->span_width = RowLast(s->htab.back()) - s->span_x + 1;
  s->span_y = static_cast<int32_t>(s->vtab.front().first);
  s->span_lines = RowLast(s->vtab.back()) - s->span_y + 1;
  *stretch = s.release();
  return 0;
}

// One step of the streaming scaler; horizontal(dst) scales the source
// line given (when *need_more is set) into dst, copy(out) copies it as it
// is for a scaler that changes nothing.
template <typename Horizontal, typename Copy>
static ReturnTp Step(ImgStretchTp *s, bool have_src, Horizontal &&horizontal, Copy &&copy,
                     uint8_t *out, int *need_more, int *ready) {
  if (!s || !out || !need_more || !ready) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *ready = 0;
  if (s->lines_out >= s->rows) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_STATE);
  if (s->identity) {
    if (!*need_more || !have_src) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
    copy(out);
    s->lines_in++;
    *ready = 1;
    *need_more = ++s->lines_out < s->rows;
    return 0;
  }
  const ImgContribTp *e = &s->vtab[static_cast<size_t>(s->lines_out)];
  if (*need_more) {
    if (!have_src) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
    if (s->lines_in >= s->src_lines) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_STATE);
    const int32_t k = s->lines_in++;
    // Rows start in source order, so a line above the current row is
    // needed by no row at all: it is only counted.
    if (k >= static_cast<int32_t>(e->first)) {
      const int slot = s->hline_src[0] <= s->hline_src[1] ? 0 : 1;
      horizontal(s->hline[slot].data(), &s->hspans[slot]);
      s->hline_src[slot] = k;
      Accumulate(s, *e, k - static_cast<int32_t>(e->first), s->hline[slot].data(), s->hspans[slot]);
    }
  }
  const int32_t newest = s->lines_in - 1;
  if (newest < RowLast(*e)) {
    *need_more = 1;
    return 0;
  }
  Finish(s, *e, out);
  *ready = 1;
  if (++s->lines_out == s->rows) {
    *need_more = 0;
    return 0;
  }
  // The next row may begin on lines already held (enlarging, or the line
  // two reduced rows share): they serve again before any new line.
  const ImgContribTp &next = s->vtab[static_cast<size_t>(s->lines_out)];
  if (static_cast<int64_t>(next.first) < static_cast<int64_t>(newest) - 1)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_STATE);
  const int order[2] = {s->hline_src[0] <= s->hline_src[1] ? 0 : 1,
                        s->hline_src[0] <= s->hline_src[1] ? 1 : 0};
  for (int slot : order) {
    const int32_t k = s->hline_src[slot];
    if (k >= static_cast<int32_t>(next.first) && k <= RowLast(next))
      Accumulate(s, next, k - static_cast<int32_t>(next.first), s->hline[slot].data(),
                 s->hspans[slot]);
  }
  *need_more = RowLast(next) > newest;
  return 0;
}

ReturnTp ImgStretchLine(ImgStretchTp *s, const uint8_t *src, uint8_t *out, int *need_more,
                        int *ready) {
  return Step(
      s, src != nullptr,
      [&](uint32_t *dst, std::vector<int32_t> *spans) {
        HorizontalPass(s, src, dst);
        // Every column counts, should later lines come as pieces.
        spans->assign({0, s->cols});
      },
      [&](uint8_t *o) {
        memcpy(o, src, static_cast<size_t>(s->src_width) * static_cast<size_t>(s->bpp));
      },
      out, need_more, ready);
}

ReturnTp ImgStretchRunLine(ImgStretchTp *s, const ImgRunLineTp *line, uint8_t *out, int *need_more,
                           int *ready) {
  if (s && line && (s->bpp != 1 || line->width != s->src_width))
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  // From the first line as pieces on, white is added once per row; lines
  // given whole before count as differences from white in all columns,
  // which keeps the sums exact.
  if (s && !s->sparse && !s->identity) {
    RunTables(s);
    s->sparse = true;
  }
  return Step(
      s, line != nullptr,
      [&](uint32_t *dst, std::vector<int32_t> *spans) {
        // The line before, when it is what the other slot holds, scaled
        // already: its columns are copied.
        const int other = dst == s->hline[0].data() ? 1 : 0;
        if (line->repeated && s->lines_in >= 2 && s->hline_src[other] == s->lines_in - 2) {
          const std::vector<int32_t> &was = s->hspans[other];
          const uint32_t *from = s->hline[other].data();
          for (size_t i = 0; i + 1 < was.size(); i += 2)
            std::copy(from + was[i], from + was[i + 1], dst + was[i]);
          *spans = was;
          return;
        }
        if (s->same_width) {
          // Equal widths copy a part of the line: no sums needed.
          RunCursor r(*line);
          for (int32_t c = 0; c < s->cols; c++) dst[c] = r.at(s->h_offset + c) << 8;
          spans->assign({0, s->cols});
        } else {
          ScaleRuns(s, *line, dst, spans);
        }
      },
      [&](uint8_t *o) { line->expand(o); }, out, need_more, ready);
}

void ImgStretchFromSpan(ImgStretchTp *s) {
  if (!s || s->identity || s->lines_in > 0) return;
  for (ImgContribTp &e : s->htab) e.first -= static_cast<uint32_t>(s->span_x);
  for (ImgContribTp &e : s->vtab) e.first -= static_cast<uint32_t>(s->span_y);
  s->h_offset -= s->span_x;
  s->src_width = s->span_width;
  s->src_lines = s->span_lines;
  s->span_x = s->span_y = 0;
}

ReturnTp ImgStretchRow(ImgStretchTp *s, int32_t row, const uint8_t *src, uint8_t *out) {
  if (!s || !src || !out || row < s->first_row || row - s->first_row >= s->rows)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const size_t stride = static_cast<size_t>(s->src_width) * static_cast<size_t>(s->bpp);
  if (s->identity) {
    memcpy(out, src + static_cast<size_t>(row) * stride, stride);
    return 0;
  }
  const ImgContribTp &e = s->vtab[static_cast<size_t>(row - s->first_row)];
  std::fill(s->acc.begin(), s->acc.end(), 0);
  uint32_t *h = s->hline[0].data();
  if (s->sparse) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_STATE);
  for (int32_t j = 0; j <= RowLast(e) - static_cast<int32_t>(e.first); j++) {
    HorizontalPass(s, src + (e.first + static_cast<size_t>(j)) * stride, h);
    Accumulate(s, e, j, h, s->hspans[0]);
  }
  Finish(s, e, out);
  return 0;
}

ReturnTp ImgStretchBuffer(const uint8_t *src, uint8_t *dst, int32_t src_width, int32_t src_lines,
                          int32_t out_width, int32_t out_lines, int32_t bpp) {
  if (!src || !dst) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  ImgStretchTp *raw = nullptr;
  const ReturnTp rc =
      ImgCreateStretch(&raw, ImgScaleAveraging, src_width, src_lines, out_width, out_lines, bpp);
  if (rc) return rc;
  const ImgStretchPtr s(raw);
  const size_t in_stride = static_cast<size_t>(s->src_width) * static_cast<size_t>(bpp);
  const size_t out_stride = static_cast<size_t>(s->out_width) * static_cast<size_t>(bpp);
  int need_more = 1;
  size_t given = 0;
  for (int32_t row = 0; row < s->rows; row++) {
    int ready = 0;
    while (!ready) {
      const uint8_t *line = need_more ? src + given++ * in_stride : nullptr;
      const ReturnTp r = ImgStretchLine(s.get(), line, dst + row * out_stride, &need_more, &ready);
      if (r) return r;
    }
  }
  return 0;
}

// A constant line comes out unchanged when the weights of every entry add
// up to 256 (the plain mean of wide windows always does).
static bool KeepsLevel(const std::vector<ImgContribTp> &table) {
  for (const ImgContribTp &e : table) {
    if (e.n < 1 || (e.n == 1 && e.w1 != 256)) return false;
    if (e.n < 3 || e.n >= 9) continue;
    if (e.w1 + e.w3 + (e.n - 2) * e.w2 != 256) return false;
  }
  return true;
}

bool ImgStretchKeepsLevel(const ImgStretchTp *s) {
  return s->identity || (KeepsLevel(s->htab) && KeepsLevel(s->vtab));
}

ReturnTp ImgReleaseStretch(ImgStretchTp **stretch) {
  if (stretch) {
    delete *stretch;
    *stretch = nullptr;
  }
  return 0;
}
