// The JPEG 2000 encoder's forward wavelets (reversible 5-3 on integers,
// irreversible 9-7 on floats) by lifting with symmetric extension, by rows:
// each level holds the few rows its vertical steps still need, and the
// synthesis energy of each band that weighs its errors in the rate control.
#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

#include "jtkeint.h"

#define CMN_SOURCE "jtkedwt"

namespace {

// The 9-7 lifting steps and the scaling of the two bands.
const double kAlpha = JTK_97_ALPHA;
const double kBeta = JTK_97_BETA;
const double kGamma = JTK_97_GAMMA;
const double kDelta = JTK_97_DELTA;
const double kScale = JTK_97_K;

// One lifting step along a row of n samples: samples of the given parity
// get op(sample, left neighbour, right neighbour), with the row mirrored at
// both ends.
template <typename T, typename Op>
void Lift(T *x, int32_t n, int parity, Op op) {
  for (int32_t i = parity; i < n; i += 2) {
    const T l = i > 0 ? x[i - 1] : x[i + 1];
    const T r = i + 1 < n ? x[i + 1] : x[i - 1];
    x[i] = op(x[i], l, r);
  }
}

void LiftRow(int32_t *x, int32_t n) {
  if (n < 2) return;
  Lift(x, n, 1, [](int32_t s, int32_t l, int32_t r) { return s - ((l + r) >> 1); });
  Lift(x, n, 0, [](int32_t s, int32_t l, int32_t r) { return s + ((l + r + 2) >> 2); });
}

void LiftRow(float *x, int32_t n) {
  if (n < 2) return;
  const float a = static_cast<float>(kAlpha), b = static_cast<float>(kBeta);
  const float g = static_cast<float>(kGamma), d = static_cast<float>(kDelta);
  Lift(x, n, 1, [a](float s, float l, float r) { return s + a * (l + r); });
  Lift(x, n, 0, [b](float s, float l, float r) { return s + b * (l + r); });
  Lift(x, n, 1, [g](float s, float l, float r) { return s + g * (l + r); });
  Lift(x, n, 0, [d](float s, float l, float r) { return s + d * (l + r); });
  const float lo = static_cast<float>(1 / kScale), hi = static_cast<float>(kScale);
  for (int32_t i = 0; i < n; ++i) x[i] *= (i & 1) ? hi : lo;
}

// Synthesis of one level of a signal of n samples whose low half is first.
void Inverse1D(std::vector<double> &v, int32_t n, bool reversible) {
  std::vector<double> x(n);
  const int32_t nl = (n + 1) / 2;
  for (int32_t i = 0; i < n; ++i) x[i] = (i & 1) ? v[nl + i / 2] : v[i / 2];
  auto step = [&](int parity, double c) {
    for (int32_t i = parity; i < n; i += 2) {
      const double l = i > 0 ? x[i - 1] : x[i + 1], r = i + 1 < n ? x[i + 1] : x[i - 1];
      x[i] += c * (l + r);
    }
  };
  if (reversible) {
    step(0, -0.25);
    step(1, 0.5);
  } else {
    for (int32_t i = 0; i < n; ++i) x[i] *= (i & 1) ? 1 / kScale : kScale;
    step(0, -kDelta);
    step(1, -kGamma);
    step(0, -kBeta);
    step(1, -kAlpha);
  }
  for (int32_t i = 0; i < n; ++i) v[i] = x[i];
}

// Squared norm of the one-dimensional synthesis of a unit sample in the
// low (high = false) or high band of the given level.
double Energy1D(bool reversible, bool high, int32_t level) {
  const int32_t n = 32 << level;
  std::vector<double> v(n, 0.0);
  const int32_t low_n = n >> level;  // the low band of that level
  v[high ? low_n + low_n / 4 : low_n / 2] = 1;
  for (int32_t l = level; l >= 1; --l) Inverse1D(v, n >> (l - 1), reversible);
  double e = 0;
  for (double s : v) e += s * s;
  return e;
}

// One vertical lifting step over rows of n samples: step 1 lifts odd rows
// from their even neighbours, step 2 even rows from the odd ones, and so
// on, with the arithmetic of the horizontal steps.
void Step(int32_t k, int32_t *s, const int32_t *l, const int32_t *r, int32_t n) {
  if (k == 1)
    for (int32_t j = 0; j < n; ++j) s[j] = s[j] - ((l[j] + r[j]) >> 1);
  else
    for (int32_t j = 0; j < n; ++j) s[j] = s[j] + ((l[j] + r[j] + 2) >> 2);
}

void Step(int32_t k, float *s, const float *l, const float *r, int32_t n) {
  const float c = static_cast<float>(k == 1 ? kAlpha : k == 2 ? kBeta : k == 3 ? kGamma : kDelta);
  for (int32_t j = 0; j < n; ++j) s[j] = s[j] + c * (l[j] + r[j]);
}

// The last vertical step's row as it leaves: 9-7 scales low and high rows.
void Finish(const int32_t *in, int32_t *out, int32_t n, bool) { std::copy(in, in + n, out); }
void Finish(const float *in, float *out, int32_t n, bool high) {
  const float k = static_cast<float>(high ? kScale : 1 / kScale);
  for (int32_t j = 0; j < n; ++j) out[j] = in[j] * k;
}

// Lifting steps: two for 5-3, four for 9-7.
template <typename T>
constexpr int32_t StepsOf() {
  return std::is_same<T, float>::value ? 4 : 2;
}

}  // namespace

template <typename T>
void JtkeWavelet<T>::Start(int32_t w, int32_t h, int32_t levels, Sink sink) {
  sink_ = std::move(sink);
  levels_.clear();
  levels_.resize(static_cast<size_t>(levels));
  for (Level &v : levels_) {
    v.w = w;
    v.h = h;
    v.line.resize(static_cast<size_t>(w));
    v.split.resize(static_cast<size_t>(w));
    w = (w + 1) / 2;
    h = (h + 1) / 2;
  }
  rows_ = 0;
}

template <typename T>
void JtkeWavelet<T>::Push(const T *row) {
  if (levels_.empty()) {
    sink_(0, JTKE_LL, rows_++, row);
    return;
  }
  PushAt(0, row);
}

template <typename T>
void JtkeWavelet<T>::PushAt(size_t at, const T *row) {
  Level &v = levels_[at];
  const int32_t steps = StepsOf<T>();
  if (v.h < 2) {
    // A single row is not lifted vertically.
    std::copy(row, row + v.w, v.line.data());
    Split(at, 0);
    return;
  }
  const int32_t i = v.received++;
  if (v.spare.empty()) v.spare.emplace_back(static_cast<size_t>(v.w));
  v.held.push_back(std::move(v.spare.back()));
  v.spare.pop_back();
  std::copy(row, row + v.w, v.held.back().data());
  // Odd rows wait for the first step; even ones for the second.
  v.valid.push_back(static_cast<int8_t>((i & 1) ? 0 : 1));
  auto held = [&v](int32_t r) -> std::vector<T> & {
    return v.held[static_cast<size_t>(r - v.first)];
  };
  auto valid = [&v](int32_t r) -> int8_t & { return v.valid[static_cast<size_t>(r - v.first)]; };
  // Every step whose row and neighbours (mirrored at the ends) are ready.
  for (bool changed = true; changed;) {
    changed = false;
    for (int32_t k = 1; k <= steps; ++k)
      for (int32_t r = v.first + ((v.first & 1) != (k & 1)); r < v.received; r += 2) {
        if (valid(r) != k - 1) continue;
        const int32_t l = r > 0 ? r - 1 : r + 1, n = r + 1 < v.h ? r + 1 : r - 1;
        if (l >= v.received || n >= v.received || l < v.first || n < v.first) continue;
        if (valid(l) < k - 1 || valid(n) < k - 1) continue;
        Step(k, held(r).data(), held(l).data(), held(n).data(), v.w);
        valid(r) = static_cast<int8_t>(std::min(k + 1, steps));
        changed = true;
      }
  }
  // Rows whose last step is done leave in order; a row is let go once
  // its lower neighbour is done too.
  while (v.emitted < v.received && valid(v.emitted) == steps) {
    Finish(held(v.emitted).data(), v.line.data(), v.w, v.emitted & 1);
    Split(at, v.emitted++);
  }
  while (v.first < v.emitted &&
         (v.first + 1 >= v.h || (v.first + 1 < v.received && valid(v.first + 1) == steps))) {
    v.spare.push_back(std::move(v.held.front()));
    v.held.pop_front();
    v.valid.pop_front();
    ++v.first;
  }
}

// Row r of level `at`, lifted vertically, in v.line: the horizontal
// lifting, then the low half to the next level (or the LL band) and the
// high half to its band.
template <typename T>
void JtkeWavelet<T>::Split(size_t at, int32_t r) {
  Level &v = levels_[at];
  const int32_t w = v.w, lw = (w + 1) / 2, level = static_cast<int32_t>(at) + 1;
  LiftRow(v.line.data(), w);
  T *out = v.split.data();
  for (int32_t x = 0; x < w; ++x)
    out[(x & 1) ? lw + x / 2 : x / 2] = v.line[static_cast<size_t>(x)];
  if (r & 1) {
    sink_(level, JTKE_LH, r / 2, out);
  } else if (at + 1 < levels_.size()) {
    PushAt(at + 1, out);
  } else {
    sink_(level, JTKE_LL, r / 2, out);
  }
  sink_(level, (r & 1) ? JTKE_HH : JTKE_HL, r / 2, out + lw);
}

template class JtkeWavelet<int32_t>;
template class JtkeWavelet<float>;

double JtkeBandEnergy(bool reversible, int32_t orientation, int32_t level) {
  // Past 10 levels each further level multiplies the energy by the same
  // factor, so the deep ones are extrapolated instead of synthesised.
  const int32_t l = level > 10 ? 10 : level;
  auto axis = [&](bool high) {
    double e = Energy1D(reversible, high, l);
    if (level > l)
      e *= std::pow(Energy1D(reversible, false, l) / Energy1D(reversible, false, l - 1), level - l);
    return e;
  };
  const bool hx = orientation == JTKE_HL || orientation == JTKE_HH;
  const bool hy = orientation == JTKE_LH || orientation == JTKE_HH;
  return axis(hx) * axis(hy);
}
