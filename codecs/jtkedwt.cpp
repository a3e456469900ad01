// The JPEG 2000 encoder's forward wavelets (reversible 5-3 on integers,
// irreversible 9-7 on floats) by lifting with symmetric extension, and the
// synthesis energy of each band that weighs its errors in the rate control.
#include <cmath>
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

// One lifting step over n samples of `lanes` values each (lanes columns
// lifted together keep the column pass cache friendly): samples of the
// given parity get op(sample, left neighbour, right neighbour), with the
// signal mirrored at both ends.
template <typename T, typename Op>
void Lift(T *x, int32_t n, size_t lanes, int parity, Op op) {
  for (int32_t i = parity; i < n; i += 2) {
    T *s = x + static_cast<size_t>(i) * lanes;
    const T *l = i > 0 ? s - lanes : s + lanes;
    const T *r = i + 1 < n ? s + lanes : s - lanes;
    for (size_t j = 0; j < lanes; ++j) s[j] = op(s[j], l[j], r[j]);
  }
}

void Lift53(int32_t *x, int32_t n, size_t lanes) {
  if (n < 2) return;
  Lift(x, n, lanes, 1, [](int32_t s, int32_t l, int32_t r) { return s - ((l + r) >> 1); });
  Lift(x, n, lanes, 0, [](int32_t s, int32_t l, int32_t r) { return s + ((l + r + 2) >> 2); });
}

void Lift97(float *x, int32_t n, size_t lanes) {
  if (n < 2) return;
  const float a = static_cast<float>(kAlpha), b = static_cast<float>(kBeta);
  const float g = static_cast<float>(kGamma), d = static_cast<float>(kDelta);
  Lift(x, n, lanes, 1, [a](float s, float l, float r) { return s + a * (l + r); });
  Lift(x, n, lanes, 0, [b](float s, float l, float r) { return s + b * (l + r); });
  Lift(x, n, lanes, 1, [g](float s, float l, float r) { return s + g * (l + r); });
  Lift(x, n, lanes, 0, [d](float s, float l, float r) { return s + d * (l + r); });
  const float lo = static_cast<float>(1 / kScale), hi = static_cast<float>(kScale);
  for (int32_t i = 0; i < n; ++i) {
    float *s = x + static_cast<size_t>(i) * lanes;
    const float k = (i & 1) ? hi : lo;
    for (size_t j = 0; j < lanes; ++j) s[j] *= k;
  }
}

const size_t kLanes = 16;

template <typename T, typename LiftFn>
void Forward(T *plane, int32_t w, int32_t h, size_t stride, int32_t levels, std::vector<T> *scratch,
             LiftFn lift) {
  for (int32_t level = 0; level < levels && (w > 1 || h > 1); ++level) {
    const size_t need = std::max(static_cast<size_t>(w), static_cast<size_t>(h) * kLanes);
    if (scratch->size() < need) scratch->resize(need);
    T *tmp = scratch->data();
    const int32_t lw = (w + 1) / 2, lh = (h + 1) / 2;
    // Columns, kLanes at a time: even rows to the top, odd to the bottom.
    if (h > 1)
      for (int32_t x0 = 0; x0 < w; x0 += static_cast<int32_t>(kLanes)) {
        const size_t lanes = std::min(kLanes, static_cast<size_t>(w - x0));
        for (int32_t y = 0; y < h; ++y)
          for (size_t j = 0; j < lanes; ++j) tmp[y * lanes + j] = plane[y * stride + x0 + j];
        lift(tmp, h, lanes);
        for (int32_t y = 0; y < h; ++y) {
          const int32_t to = (y & 1) ? lh + y / 2 : y / 2;
          for (size_t j = 0; j < lanes; ++j) plane[to * stride + x0 + j] = tmp[y * lanes + j];
        }
      }
    // Rows: even samples to the left, odd to the right.
    if (w > 1)
      for (int32_t y = 0; y < h; ++y) {
        T *row = plane + y * stride;
        std::copy(row, row + w, tmp);
        lift(tmp, w, 1);
        for (int32_t x = 0; x < w; ++x) row[(x & 1) ? lw + x / 2 : x / 2] = tmp[x];
      }
    w = lw;
    h = lh;
  }
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

}  // namespace

void JtkeForward53(int32_t *plane, int32_t w, int32_t h, size_t stride, int32_t levels,
                   std::vector<int32_t> *scratch) {
  Forward(plane, w, h, stride, levels, scratch, Lift53);
}

void JtkeForward97(float *plane, int32_t w, int32_t h, size_t stride, int32_t levels,
                   std::vector<float> *scratch) {
  Forward(plane, w, h, stride, levels, scratch, Lift97);
}

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
