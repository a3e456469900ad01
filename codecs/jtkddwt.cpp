// The JPEG 2000 decoder's inverse wavelets: the reversible 5-3 on
// integers and the irreversible 9-7 on floats, by lifting, rows first and
// then columns, a strip of columns at a time.
#include <algorithm>
#include <vector>

#include "jtkd.h"

#define CMN_SOURCE "jtkddwt"

namespace {

const int32_t kMargin = 4;  // samples of symmetric extension on each side
const int32_t kLanes = 16;  // columns lifted together

// Mirror index of the whole-sample symmetric extension of n samples.
int32_t Mirror(int32_t i, int32_t n) {
  if (n == 1) return 0;
  const int32_t period = 2 * (n - 1);
  i %= period;
  if (i < 0) i += period;
  return i < n ? i : period - i;
}

// x holds n interleaved samples of G lanes each, from x[kMargin * G]; even
// positions (counted from the signal's first sample plus cas) are the low
// band. Extends, then lifts.
template <typename T, int G>
void ExtendLanes(T *x, int32_t n) {
  T *base = x + kMargin * G;
  for (int32_t k = 1; k <= kMargin; ++k) {
    const T *left = base + Mirror(-k, n) * G;
    const T *right = base + Mirror(n - 1 + k, n) * G;
    for (int32_t j = 0; j < G; ++j) {
      base[-k * G + j] = left[j];
      base[(n - 1 + k) * G + j] = right[j];
    }
  }
}

template <int G>
void Lift53(int32_t *x, int32_t n, int32_t cas) {
  int32_t *b = x + kMargin * G;
  if (n == 1) {
    if (cas)
      for (int32_t j = 0; j < G; ++j) b[j] /= 2;
    return;
  }
  ExtendLanes<int32_t, G>(x, n);
  // Low (even) samples from -1 to n, then high (odd) ones inside.
  for (int32_t i = -1 + ((cas + 1) & 1); i <= n; i += 2) {
    int32_t *p = b + i * G;
    for (int32_t j = 0; j < G; ++j) p[j] -= (p[j - G] + p[j + G] + 2) >> 2;
  }
  for (int32_t i = cas ? 0 : 1; i < n; i += 2) {
    int32_t *p = b + i * G;
    for (int32_t j = 0; j < G; ++j) p[j] += (p[j - G] + p[j + G]) >> 1;
  }
}

template <int G>
void Lift97(float *x, int32_t n, int32_t cas) {
  float *b = x + kMargin * G;
  if (n == 1) {
    if (cas)
      for (int32_t j = 0; j < G; ++j) b[j] *= 0.5f;
    return;
  }
  ExtendLanes<float, G>(x, n);
  const float k = static_cast<float>(JTK_97_K), ik = static_cast<float>(1.0 / JTK_97_K);
  // Position i is low when i + cas is even.
  for (int32_t i = -kMargin; i < n + kMargin; ++i) {
    float *p = b + i * G;
    const float f = ((i + cas) & 1) ? ik : k;
    for (int32_t j = 0; j < G; ++j) p[j] *= f;
  }
  auto step = [&](int32_t from, int32_t to, float c) {
    for (int32_t i = from; i < to; i += 2) {
      float *p = b + i * G;
      for (int32_t j = 0; j < G; ++j) p[j] -= c * (p[j - G] + p[j + G]);
    }
  };
  // Each step reaches one sample less far into the extension.
  const int32_t even0 = (cas & 1) ? -3 : -2, odd0 = (cas & 1) ? -2 : -1;
  step(even0, n + 3, static_cast<float>(JTK_97_DELTA));
  step(odd0, n + 2, static_cast<float>(JTK_97_GAMMA));
  step(even0 + 2, n + 1, static_cast<float>(JTK_97_BETA));
  step(odd0 + 2, n, static_cast<float>(JTK_97_ALPHA));
}

template <typename T, int G>
void Lift(T *x, int32_t n, int32_t cas);
template <>
void Lift<int32_t, 1>(int32_t *x, int32_t n, int32_t cas) {
  Lift53<1>(x, n, cas);
}
template <>
void Lift<int32_t, kLanes>(int32_t *x, int32_t n, int32_t cas) {
  Lift53<kLanes>(x, n, cas);
}
template <>
void Lift<float, 1>(float *x, int32_t n, int32_t cas) {
  Lift97<1>(x, n, cas);
}
template <>
void Lift<float, kLanes>(float *x, int32_t n, int32_t cas) {
  Lift97<kLanes>(x, n, cas);
}

// Source index in the band layout (low half, then high half) of
// interleaved position i.
inline int32_t Source(int32_t i, int32_t cas, int32_t sn) {
  return ((i + cas) & 1) ? sn + ((i + cas - 1) >> 1) : ((i - cas) >> 1);
}

// Rows are lifted in split form: the low and the high samples in two
// arrays of their own (with two samples of extension on each side), so
// that each step is a plain loop over contiguous samples. Low sample n
// sits at position 2n + cas, high sample k at 2k + 1 - cas.
const int32_t kSplitMargin = 4;

template <typename T>
void ExtendSplit(T *lo, T *hi, int32_t n, int32_t cas) {
  auto slot = [&](int32_t i) -> T & {
    return ((i + cas) & 1) ? hi[(i + cas - 1) >> 1] : lo[(i - cas) >> 1];
  };
  for (int32_t k = 1; k <= 4; ++k) {
    slot(-k) = slot(Mirror(-k, n));
    slot(n - 1 + k) = slot(Mirror(n - 1 + k, n));
  }
}

void RowSplit(int32_t *row, int32_t n, int32_t cas, int32_t sn, int32_t *__restrict lo,
              int32_t *__restrict hi) {
  const int32_t dn = n - sn;
  std::copy(row, row + sn, lo);
  std::copy(row + sn, row + n, hi);
  ExtendSplit(lo, hi, n, cas);
  for (int32_t m = -cas; m <= dn - cas; ++m) lo[m] -= (hi[m + cas - 1] + hi[m + cas] + 2) >> 2;
  for (int32_t k = 0; k < dn; ++k) hi[k] += (lo[k - cas] + lo[k - cas + 1]) >> 1;
  for (int32_t k = 0; k < sn; ++k) row[2 * k + cas] = lo[k];
  for (int32_t k = 0; k < dn; ++k) row[2 * k + 1 - cas] = hi[k];
}

void RowSplit(float *row, int32_t n, int32_t cas, int32_t sn, float *__restrict lo,
              float *__restrict hi) {
  const int32_t dn = n - sn;
  std::copy(row, row + sn, lo);
  std::copy(row + sn, row + n, hi);
  ExtendSplit(lo, hi, n, cas);
  const float k = static_cast<float>(JTK_97_K), ik = static_cast<float>(1.0 / JTK_97_K);
  for (int32_t m = -2; m < sn + 2; ++m) lo[m] *= k;
  for (int32_t m = -2; m < dn + 2; ++m) hi[m] *= ik;
  const float delta = static_cast<float>(JTK_97_DELTA), gamma = static_cast<float>(JTK_97_GAMMA);
  const float beta = static_cast<float>(JTK_97_BETA), alpha = static_cast<float>(JTK_97_ALPHA);
  // Each step reaches one sample less far into the extension.
  for (int32_t m = -1 - cas; m <= dn + 1 - cas; ++m)
    lo[m] -= delta * (hi[m + cas - 1] + hi[m + cas]);
  for (int32_t j = -1; j <= dn; ++j) hi[j] -= gamma * (lo[j - cas] + lo[j - cas + 1]);
  for (int32_t m = -cas; m <= dn - cas; ++m) lo[m] -= beta * (hi[m + cas - 1] + hi[m + cas]);
  for (int32_t j = 0; j < dn; ++j) hi[j] -= alpha * (lo[j - cas] + lo[j - cas + 1]);
  for (int32_t j = 0; j < sn; ++j) row[2 * j + cas] = lo[j];
  for (int32_t j = 0; j < dn; ++j) row[2 * j + 1 - cas] = hi[j];
}

template <typename T, int G>
void Columns(T *plane, size_t stride, int32_t x, int32_t rh, int32_t cas, int32_t sn,
             std::vector<T> &tmp) {
  T *t = tmp.data();
  for (int32_t i = 0; i < rh; ++i) {
    const T *src = plane + size_t(Source(i, cas, sn)) * stride + size_t(x);
    T *dst = t + (kMargin + i) * G;
    for (int32_t j = 0; j < G; ++j) dst[j] = src[j];
  }
  Lift<T, G>(t, rh, cas);
  for (int32_t i = 0; i < rh; ++i) {
    T *dst = plane + size_t(i) * stride + size_t(x);
    const T *src = t + (kMargin + i) * G;
    for (int32_t j = 0; j < G; ++j) dst[j] = src[j];
  }
}

template <typename T>
void Inverse(JtkdTileComp &tc, T *plane) {
  const size_t stride = size_t(tc.plane_w);
  std::vector<T> tmp;
  for (int32_t r = 1; r <= tc.kept; ++r) {
    const JtkdRes &res = tc.res[size_t(r)], &low = tc.res[size_t(r) - 1];
    const int32_t rw = static_cast<int32_t>(res.x1 - res.x0),
                  rh = static_cast<int32_t>(res.y1 - res.y0);
    if (rw <= 0 || rh <= 0) continue;
    const int32_t snx = static_cast<int32_t>(low.x1 - low.x0),
                  sny = static_cast<int32_t>(low.y1 - low.y0);
    const int32_t casx = static_cast<int32_t>(res.x0 & 1), casy = static_cast<int32_t>(res.y0 & 1);
    tmp.resize(size_t(std::max(rw, rh) + 2 * kMargin) * kLanes);
    // Rows.
    std::vector<T> split(size_t(rw) + 4 * kSplitMargin);
    T *lo = split.data() + kSplitMargin, *hi = lo + snx + 2 * kSplitMargin;
    for (int32_t y = 0; y < rh; ++y) {
      T *row = plane + size_t(y) * stride;
      if (rw == 1) {
        if (casx) row[0] /= 2;
        continue;
      }
      RowSplit(row, rw, casx, snx, lo, hi);
    }
    // Columns, a strip at a time.
    int32_t x = 0;
    for (; x + kLanes <= rw; x += kLanes) Columns<T, kLanes>(plane, stride, x, rh, casy, sny, tmp);
    for (; x < rw; ++x) Columns<T, 1>(plane, stride, x, rh, casy, sny, tmp);
  }
}

}  // namespace

void JtkdInverse53(JtkdTileComp &tc) {
  if (tc.ints) Inverse<int32_t>(tc, tc.ints);
}

void JtkdInverse97(JtkdTileComp &tc) {
  if (tc.floats) Inverse<float>(tc, tc.floats);
}
