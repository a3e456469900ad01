// The JPEG 2000 decoder's inverse wavelets, by lines: the reversible
// 5-3 on integers and the irreversible 9-7 on floats, by lifting. Each
// resolution turns the rows of the one below and of its three bands into
// its own rows as they are asked for: rows are lifted as they come
// (horizontally), then a window of them is lifted vertically, so a level
// holds a few rows of its width and every band one row of code-blocks.
// The arithmetic is that of lifting whole columns, sample for sample.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "jtkd.h"

#define CMN_SOURCE "jtkddwt"

namespace {

// Mirror index of the whole-sample symmetric extension of n samples.
int32_t Mirror(int32_t i, int32_t n) {
  if (n == 1) return 0;
  const int32_t period = 2 * (n - 1);
  i %= period;
  if (i < 0) i += period;
  return i < n ? i : period - i;
}

// Rows are lifted in split form: the low and the high samples (taken
// from the rows of their bands) in two arrays of their own (with two samples of extension on each
// side), so that each step is a plain loop over contiguous samples. Low sample n sits at position
// 2n + cas, high sample k at 2k + 1 - cas.
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

void RowSplit(const int32_t *low, const int32_t *high, int32_t *row, int32_t n, int32_t cas,
              int32_t sn, int32_t *__restrict lo, int32_t *__restrict hi) {
  const int32_t dn = n - sn;
  std::copy(low, low + sn, lo);
  std::copy(high, high + dn, hi);
  ExtendSplit(lo, hi, n, cas);
  for (int32_t m = -cas; m <= dn - cas; ++m) lo[m] -= (hi[m + cas - 1] + hi[m + cas] + 2) >> 2;
  for (int32_t k = 0; k < dn; ++k) hi[k] += (lo[k - cas] + lo[k - cas + 1]) >> 1;
  for (int32_t k = 0; k < sn; ++k) row[2 * k + cas] = lo[k];
  for (int32_t k = 0; k < dn; ++k) row[2 * k + 1 - cas] = hi[k];
}

void RowSplit(const float *low, const float *high, float *row, int32_t n, int32_t cas, int32_t sn,
              float *__restrict lo, float *__restrict hi) {
  const int32_t dn = n - sn;
  std::copy(low, low + sn, lo);
  std::copy(high, high + dn, hi);
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

// Rows [lo, hi) of one width in a ring that grows when it must.
template <typename T>
struct Ring {
  int32_t w = 0, lo = 0, hi = 0, cap = 0;
  std::vector<T> buf;
  T *Row(int32_t i) { return buf.data() + (cap ? size_t(i % cap) * size_t(w) : 0); }
  T *Push() {
    if (hi - lo >= cap) Grow();
    return Row(hi++);
  }
  void Grow() {
    const int32_t ncap = std::max(8, 2 * cap);
    std::vector<T> nb(size_t(ncap) * size_t(w));
    for (int32_t i = lo; i < hi; ++i)
      std::copy(Row(i), Row(i) + w, nb.data() + size_t(i % ncap) * size_t(w));
    buf.swap(nb);
    cap = ncap;
  }
  void Drop(int32_t below) { lo = std::max(lo, std::min(below, hi)); }
};

// Rows held beyond the window of a step: the lifting reach on each side
// (2 for 5-3, 4 for 9-7), and the rows a level makes at once.
const int32_t kChunk = 16;

// The rows of one band, a row of code-blocks at a time: each row is
// asked for once, in order, so the current row of blocks is all it holds.
template <typename T>
struct BandRows {
  const JtkdBand *band = nullptr;
  const JtkdTileComp *tc = nullptr;
  JtkdT1Work *work = nullptr;
  int32_t bw = 0, bh = 0;
  std::vector<JtkdCblk *> blocks;  // by rows of blocks, then columns
  size_t next = 0;
  int32_t y0 = 0, y1 = 0;  // the rows held
  std::vector<T> strip;

  void Init(const JtkdTileComp &comp, JtkdRes &res, int32_t b, JtkdT1Work &w) {
    tc = &comp;
    work = &w;
    band = &res.bands[b];
    bw = static_cast<int32_t>(std::max<int64_t>(0, band->x1 - band->x0));
    bh = static_cast<int32_t>(std::max<int64_t>(0, band->y1 - band->y0));
    for (JtkdPrecinct &prec : res.prec)
      for (JtkdCblk &cb : prec.band[b].cblks) blocks.push_back(&cb);
    std::stable_sort(blocks.begin(), blocks.end(), [](const JtkdCblk *a, const JtkdCblk *c) {
      return a->y0 != c->y0 ? a->y0 < c->y0 : a->x0 < c->x0;
    });
  }

  T *Row(int32_t y) { return strip.data() + size_t(y - y0) * size_t(bw); }

  int32_t Ensure(int32_t upto) {
    upto = std::min(upto, bh);
    while (y1 < upto) {
      y0 = y1;
      // Blocks cover the band; rows no block covers stay zero.
      y1 = next < blocks.size() ? blocks[next]->y0 : bh;
      if (y1 <= y0) y1 = blocks[next]->y1;
      y1 = std::min(std::max(y1, y0 + 1), bh);
      // Blocks that are decoded write each of their samples; the others
      // are zero.
      strip.resize(size_t(y1 - y0) * size_t(bw));
      if (next >= blocks.size() || blocks[next]->y0 >= y1)
        std::fill(strip.begin(), strip.end(), T(0));
      for (; next < blocks.size() && blocks[next]->y0 < y1; ++next) {
        JtkdCblk &cb = *blocks[next];
        if (cb.y0 < y0 || cb.y1 > y1 || cb.x0 < 0 || cb.x1 > bw) return JTK_E_PACKET_DATA;
        const int32_t planes = band->planes + tc->roi - cb.zero_planes;
        if (cb.usable_passes > 0 && planes > 0) {
          JtkdBlockOut out;
          out.ints = nullptr;
          out.floats = nullptr;
          SetOut(out, Row(cb.y0) + cb.x0);
          out.stride = size_t(bw);
          out.step = band->step;
          out.roi = tc->roi;
          JTKD_TRY(JtkdDecodeBlock(*work, cb, band->orient, tc->cod.style, planes, out));
        } else {
          for (int32_t y = cb.y0; y < cb.y1; ++y) std::fill(Row(y) + cb.x0, Row(y) + cb.x1, T(0));
        }
        std::vector<JtkdCblk::Chunk>().swap(cb.chunks);
        std::vector<JtkdSeg>().swap(cb.segs);
      }
    }
    return 0;
  }
  static void SetOut(JtkdBlockOut &out, int32_t *at) { out.ints = at; }
  static void SetOut(JtkdBlockOut &out, float *at) { out.floats = at; }
};

template <typename T>
struct Level {
  int32_t r = 0;
  int32_t rw = 0, rh = 0, snx = 0, sny = 0, casx = 0, casy = 0;
  Level *low = nullptr;
  BandRows<T> bands[3];  // LL at resolution 0; HL, LH, HH above
  Ring<T> h;             // rows lifted horizontally, by interleaved position
  // The window last lifted: positions from `from`, rows [made0, made1)
  // of the level among them.
  std::vector<T> window, split;
  std::vector<T *> rows;
  int32_t from = 0, made0 = 0, made1 = 0;

  static int32_t Reach();

  // The oldest row still held.
  int32_t Held() const { return r == 0 ? bands[0].y0 : made0; }
  T *Row(int32_t y) { return r == 0 ? bands[0].Row(y) : rows[size_t(y - from)]; }

  int32_t Ensure(int32_t upto) {
    if (r == 0) return bands[0].Ensure(upto);
    upto = std::min(upto, rh);
    while (made1 < upto) JTKD_TRY(Make(made1, std::min(rh, std::max(upto, made1 + kChunk))));
    return 0;
  }

  // Horizontally lifted rows up to position `upto`.
  int32_t Horizontal(int32_t upto) {
    while (h.hi < upto) {
      const int32_t i = h.hi;
      const bool high = ((i + casy) & 1) != 0;
      const int32_t k = high ? (i + casy - 1) >> 1 : (i - casy) >> 1;
      const T *left = nullptr, *right = nullptr;
      if (!high) {
        JTKD_TRY(low->Ensure(k + 1));
        JTKD_TRY(bands[0].Ensure(k + 1));
        left = low->Row(k);
        right = bands[0].Row(k);
      } else {
        JTKD_TRY(bands[1].Ensure(k + 1));
        JTKD_TRY(bands[2].Ensure(k + 1));
        left = bands[1].Row(k);
        right = bands[2].Row(k);
      }
      T *row = h.Push();
      if (rw == 1) {
        row[0] = snx == 1 ? left[0] : right[0];
        if (casx) row[0] /= 2;
      } else {
        T *lo = split.data() + kSplitMargin, *hi = lo + snx + 2 * kSplitMargin;
        RowSplit(left, right, row, rw, casx, snx, lo, hi);
      }
    }
    return 0;
  }

  int32_t Make(int32_t a, int32_t b);
};

template <>
int32_t Level<int32_t>::Reach() {
  return 2;
}
template <>
int32_t Level<float>::Reach() {
  return 4;
}

void LiftWindow(int32_t **x, int32_t from, int32_t to, int32_t cas, int32_t w) {
  // x[i - from] is interleaved position i; positions are low when i + cas is even.
  for (int32_t i = from + 1; i < to - 1; ++i) {
    if ((i + cas) & 1) continue;
    int32_t *p = x[i - from], *u = x[i - from - 1], *d = x[i - from + 1];
    for (int32_t j = 0; j < w; ++j) p[j] -= (u[j] + d[j] + 2) >> 2;
  }
  for (int32_t i = from + 2; i < to - 2; ++i) {
    if (!((i + cas) & 1)) continue;
    int32_t *p = x[i - from], *u = x[i - from - 1], *d = x[i - from + 1];
    for (int32_t j = 0; j < w; ++j) p[j] += (u[j] + d[j]) >> 1;
  }
}

void LiftWindow(float **x, int32_t from, int32_t to, int32_t cas, int32_t w) {
  const float k = static_cast<float>(JTK_97_K), ik = static_cast<float>(1.0 / JTK_97_K);
  for (int32_t i = from; i < to; ++i) {
    float *p = x[i - from];
    const float f = ((i + cas) & 1) ? ik : k;
    for (int32_t j = 0; j < w; ++j) p[j] *= f;
  }
  auto step = [&](int32_t reach, int32_t parity, float c) {
    for (int32_t i = from + reach; i < to - reach; ++i) {
      if (((i + cas) & 1) != parity) continue;
      float *p = x[i - from], *u = x[i - from - 1], *d = x[i - from + 1];
      for (int32_t j = 0; j < w; ++j) p[j] -= c * (u[j] + d[j]);
    }
  };
  step(1, 0, static_cast<float>(JTK_97_DELTA));
  step(2, 1, static_cast<float>(JTK_97_GAMMA));
  step(3, 0, static_cast<float>(JTK_97_BETA));
  step(4, 1, static_cast<float>(JTK_97_ALPHA));
}

// Rows [a, b) of the level: the horizontally lifted rows of the window
// around them (mirrored at the edges, as whole columns are extended),
// lifted vertically.
template <typename T>
int32_t Level<T>::Make(int32_t a, int32_t b) {
  const int32_t e = Reach();
  JTKD_TRY(Horizontal(std::min(rh, b + e)));
  made0 = a;
  made1 = b;
  if (rh == 1) {
    from = 0;
    window.assign(h.Row(0), h.Row(0) + rw);
    rows.assign(1, window.data());
    if (casy)
      for (int32_t j = 0; j < rw; ++j) window[size_t(j)] /= 2;
    return 0;
  }
  from = a - e;
  const int32_t n = b + e - from;
  window.resize(size_t(n) * size_t(rw));
  rows.resize(size_t(n));
  for (int32_t i = 0; i < n; ++i) {
    rows[size_t(i)] = window.data() + size_t(i) * size_t(rw);
    const T *src = h.Row(Mirror(from + i, rh));
    std::copy(src, src + rw, rows[size_t(i)]);
  }
  LiftWindow(rows.data(), from, b + e, casy, rw);
  h.Drop(b - e);
  return 0;
}

}  // namespace

struct JtkdLines {
  bool reversible = true;
  std::vector<std::unique_ptr<Level<int32_t>>> ints;
  std::vector<std::unique_ptr<Level<float>>> floats;
};

namespace {

template <typename T>
void BuildLevels(JtkdTileComp &tc, JtkdT1Work &work, std::vector<std::unique_ptr<Level<T>>> &v) {
  for (int32_t r = 0; r <= tc.kept; ++r) {
    v.emplace_back(new Level<T>());
    Level<T> &lv = *v.back();
    JtkdRes &res = tc.res[size_t(r)];
    lv.r = r;
    lv.rw = static_cast<int32_t>(std::max<int64_t>(0, res.x1 - res.x0));
    lv.rh = static_cast<int32_t>(std::max<int64_t>(0, res.y1 - res.y0));
    for (int32_t b = 0; b < res.nbands; ++b) lv.bands[b].Init(tc, res, b, work);
    if (r == 0) continue;
    const JtkdRes &below = tc.res[size_t(r) - 1];
    lv.low = v[size_t(r) - 1].get();
    lv.snx = static_cast<int32_t>(std::max<int64_t>(0, below.x1 - below.x0));
    lv.sny = static_cast<int32_t>(std::max<int64_t>(0, below.y1 - below.y0));
    lv.casx = static_cast<int32_t>(res.x0 & 1);
    lv.casy = static_cast<int32_t>(res.y0 & 1);
    lv.h.w = lv.rw;
    lv.split.resize(size_t(lv.rw) + 4 * kSplitMargin);
  }
}

}  // namespace

JtkdLines *JtkdNewLines(JtkdTileComp &tc, JtkdT1Work &work) {
  JtkdLines *lines = new (std::nothrow) JtkdLines();
  if (!lines) return nullptr;
  try {
    lines->reversible = tc.cod.reversible != 0;
    if (lines->reversible)
      BuildLevels(tc, work, lines->ints);
    else
      BuildLevels(tc, work, lines->floats);
  } catch (const std::bad_alloc &) {
    delete lines;
    return nullptr;
  }
  return lines;
}

void JtkdFreeLines(JtkdLines *lines) { delete lines; }

namespace {

template <typename T>
int32_t TopRow(Level<T> &top, int32_t y, const T **row) {
  if (y < 0 || y >= top.rh || y < top.Held()) return JTK_E_PARAM;
  JTKD_TRY(top.Ensure(y + 1));
  *row = top.Row(y);
  return 0;
}

}  // namespace

int32_t JtkdLineRow(JtkdLines *lines, int32_t y, const int32_t **ints, const float **floats) {
  *ints = nullptr;
  *floats = nullptr;
  if (lines->reversible) return TopRow(*lines->ints.back(), y, ints);
  return TopRow(*lines->floats.back(), y, floats);
}
