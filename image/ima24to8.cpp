// Colour reduction to a palette: the palette is chosen by exact colours
// when they fit, else by a median cut over a 5-6-5 histogram seeded with
// the standard colours; pixels are mapped through a lazily filled inverse
// colour map with serpentine Floyd-Steinberg error diffusion.
#include "ima24to8.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

#include "cmnerror.h"

#define CMN_SOURCE "ima24to8"

namespace {

// ---------------------------------------------------------------------------
// The standard colour map.

struct ColorTable {
  RgbPixelTp c[256];
};

constexpr ColorTable MakeStdColorMap() {
  ColorTable t{};
  for (int i = 0; i < 216; ++i) {
    t.c[i].blue = static_cast<uint8_t>(0x33 * (i / 36));
    t.c[i].green = static_cast<uint8_t>(0x33 * ((i / 6) % 6));
    t.c[i].red = static_cast<uint8_t>(0x33 * (i % 6));
  }
  for (int k = 1; k <= 40; ++k) {
    const uint8_t g = static_cast<uint8_t>(k * 255 / 41);
    t.c[215 + k].blue = t.c[215 + k].green = t.c[215 + k].red = g;
  }
  return t;
}

constexpr ColorTable kStdColorMap = MakeStdColorMap();

// ---------------------------------------------------------------------------
// The histogram: red >> 3, green >> 2, blue >> 3. The same array later
// holds the box labels and then the inverse-map cache.

const int kRedCells = 32, kGreenCells = 64, kBlueCells = 32;
const int kCells = kRedCells * kGreenCells * kBlueCells;

inline int Cell(int rc, int gc, int bc) {
  return rc * (kGreenCells * kBlueCells) + gc * kBlueCells + bc;
}
inline int CellOf(int r, int g, int b) { return Cell(r >> 3, g >> 2, b >> 3); }

template <typename T>
std::unique_ptr<T[]> Allocate(size_t n, unsigned line) {
  std::unique_ptr<T[]> p(new (std::nothrow) T[n]());
  if (!p) CmnPanic(line, CMN_SOURCE, "Out of memory");
  return p;
}

struct Rgb {
  int r, g, b;
};

// The colours that seed the histogram and the box sums, so that the
// palette always spans the colour space a little even for a picture of few
// colours.
template <typename F>
void ForEachSeed(F f) {
  for (const RgbPixelTp &p : kStdColorMap.c) f(p.red, p.green, p.blue);
}

template <typename F>
void ForEachPixel(const RgbPixelTp *src, size_t n, F f) {
  for (size_t i = 0; i < n; ++i) f(src[i].red, src[i].green, src[i].blue);
}

// ---------------------------------------------------------------------------
// Median cut.

struct Box {
  int rmin, rmax, gmin, gmax, bmin, bmax;  // cells, inclusive
  int64_t volume;
  int64_t count;  // non-empty cells
};

class MedianCut {
 public:
  explicit MedianCut(uint16_t *hist) : hist_(hist) {}

  // Cuts the counted histogram into at most `wanted` boxes and returns
  // their number.
  int cut(int wanted) {
    n_ = 0;
    boxes_[n_++] = Box{0, kRedCells - 1, 0, kGreenCells - 1, 0, kBlueCells - 1, 0, 0};
    shrink(&boxes_[0]);
    while (n_ < wanted) {
      // First spread the boxes over the populated cells, then cut the
      // largest regions, so that sparse colours still get their own box.
      const int pick = 2 * n_ <= wanted ? mostCells() : largestVolume();
      if (pick < 0) break;
      split(pick);
    }
    return n_;
  }

  const Box &box(int i) const { return boxes_[i]; }

 private:
  bool empty(int rlo, int rhi, int glo, int ghi, int blo, int bhi) const {
    for (int r = rlo; r <= rhi; ++r)
      for (int g = glo; g <= ghi; ++g)
        for (int b = blo; b <= bhi; ++b)
          if (hist_[Cell(r, g, b)]) return false;
    return true;
  }

  void shrink(Box *x) const {
    if (x->rmax > x->rmin) {
      while (x->rmin < x->rmax && empty(x->rmin, x->rmin, x->gmin, x->gmax, x->bmin, x->bmax))
        ++x->rmin;
      while (x->rmax > x->rmin && empty(x->rmax, x->rmax, x->gmin, x->gmax, x->bmin, x->bmax))
        --x->rmax;
    }
    if (x->gmax > x->gmin) {
      while (x->gmin < x->gmax && empty(x->rmin, x->rmax, x->gmin, x->gmin, x->bmin, x->bmax))
        ++x->gmin;
      while (x->gmax > x->gmin && empty(x->rmin, x->rmax, x->gmax, x->gmax, x->bmin, x->bmax))
        --x->gmax;
    }
    if (x->bmax > x->bmin) {
      while (x->bmin < x->bmax && empty(x->rmin, x->rmax, x->gmin, x->gmax, x->bmin, x->bmin))
        ++x->bmin;
      while (x->bmax > x->bmin && empty(x->rmin, x->rmax, x->gmin, x->gmax, x->bmax, x->bmax))
        --x->bmax;
    }
    // Lengths weighted by cell size and by the eye's sensitivity.
    const int64_t dr = 16 * (x->rmax - x->rmin), dg = 12 * (x->gmax - x->gmin),
                  db = 8 * (x->bmax - x->bmin);
    x->volume = dr * dr + dg * dg + db * db;
    x->count = 0;
    for (int r = x->rmin; r <= x->rmax; ++r)
      for (int g = x->gmin; g <= x->gmax; ++g)
        for (int b = x->bmin; b <= x->bmax; ++b) x->count += hist_[Cell(r, g, b)] != 0;
  }

  int mostCells() const {
    int pick = -1;
    int64_t best = 0;
    for (int i = 0; i < n_; ++i)
      if (boxes_[i].volume > 0 && boxes_[i].count > best) best = boxes_[i].count, pick = i;
    return pick;
  }

  int largestVolume() const {
    int pick = -1;
    int64_t best = 0;
    for (int i = 0; i < n_; ++i)
      if (boxes_[i].volume > best) best = boxes_[i].volume, pick = i;
    return pick;
  }

  void split(int i) {
    Box &a = boxes_[i];
    Box &b = boxes_[n_++];
    b = a;
    const int lr = 16 * (a.rmax - a.rmin), lg = 12 * (a.gmax - a.gmin), lb = 8 * (a.bmax - a.bmin);
    int axis = 1, longest = lg;
    if (lr > longest) axis = 0, longest = lr;
    if (lb > longest) axis = 2;
    switch (axis) {
      case 0:
        a.rmax = (a.rmin + a.rmax) / 2, b.rmin = a.rmax + 1;
        break;
      case 1:
        a.gmax = (a.gmin + a.gmax) / 2, b.gmin = a.gmax + 1;
        break;
      default:
        a.bmax = (a.bmin + a.bmax) / 2, b.bmin = a.bmax + 1;
        break;
    }
    shrink(&a);
    shrink(&b);
  }

  uint16_t *hist_;
  Box boxes_[256];
  int n_ = 0;
};

// Fills out[0 .. boxes - 1] with the mean colour of the seeds and pixels
// in each box; returns the number of boxes.
int MedianCutPalette(const RgbPixelTp *src, size_t n, uint16_t *hist, int wanted, Rgb *out) {
  std::fill(hist, hist + kCells, 0);
  auto count = [hist](int r, int g, int b) {
    uint16_t &c = hist[CellOf(r, g, b)];
    if (c < 65535) ++c;
  };
  ForEachSeed(count);
  ForEachPixel(src, n, count);

  MedianCut mc(hist);
  const int boxes = mc.cut(wanted);

  // The histogram is done with: label every cell with its box + 1.
  std::fill(hist, hist + kCells, 0);
  for (int i = 0; i < boxes; ++i) {
    const Box &x = mc.box(i);
    for (int r = x.rmin; r <= x.rmax; ++r)
      for (int g = x.gmin; g <= x.gmax; ++g)
        for (int b = x.bmin; b <= x.bmax; ++b) hist[Cell(r, g, b)] = static_cast<uint16_t>(i + 1);
  }
  struct Sum {
    uint64_t r, g, b, n;
  };
  Sum sums[256] = {};
  auto add = [hist, &sums](int r, int g, int b) {
    const int label = hist[CellOf(r, g, b)];
    if (!label) return;  // every populated cell lies in a box
    Sum &s = sums[label - 1];
    s.r += r, s.g += g, s.b += b, ++s.n;
  };
  ForEachSeed(add);
  ForEachPixel(src, n, add);
  for (int i = 0; i < boxes; ++i) {
    const Sum &s = sums[i];
    if (!s.n) continue;
    out[i] = Rgb{static_cast<int>((s.r + s.n / 2) / s.n), static_cast<int>((s.g + s.n / 2) / s.n),
                 static_cast<int>((s.b + s.n / 2) / s.n)};
  }
  return boxes;
}

// ---------------------------------------------------------------------------
// Exact colours: a sorted list of 24-bit values.

inline uint32_t Packed(const RgbPixelTp &p) {
  return static_cast<uint32_t>(p.red) << 16 | static_cast<uint32_t>(p.green) << 8 | p.blue;
}

// Collects the distinct colours into list (ascending); false as soon as
// there would be more than limit.
bool CollectExact(const RgbPixelTp *src, size_t n, int limit, uint32_t *list, int *count) {
  int c = 0;
  uint32_t last = UINT32_MAX;  // no 24-bit colour
  for (size_t i = 0; i < n; ++i) {
    const uint32_t v = Packed(src[i]);
    if (v == last) continue;
    last = v;
    uint32_t *at = std::lower_bound(list, list + c, v);
    if (at != list + c && *at == v) continue;
    if (c == limit) return false;
    std::copy_backward(at, list + c, list + c + 1);
    *at = v;
    ++c;
  }
  *count = c;
  return true;
}

// ---------------------------------------------------------------------------
// The inverse colour map: cache[cell] is 0 while unknown, else the palette
// index + 1. A miss fills the whole group of 4 x 8 x 4 cells around it.

class InverseMap {
 public:
  InverseMap(uint16_t *cache, const Rgb *palette, int n) : cache_(cache), pal_(palette), n_(n) {
    std::fill(cache_, cache_ + kCells, 0);
  }

  int index(int r, int g, int b) {
    const int cell = CellOf(r, g, b);
    if (!cache_[cell]) fill(r >> 5, g >> 5, b >> 5);
    return cache_[cell] - 1;
  }

 private:
  // Weights 2, 3, 1 on the red, green and blue differences.
  static int Term(int d, int w) { return d * w * d * w; }

  // Least and greatest weighted squared distance from x to lo .. hi.
  static void Range(int x, int lo, int hi, int w, int *least, int *greatest) {
    if (x < lo) {
      *least = Term(x - lo, w), *greatest = Term(x - hi, w);
    } else if (x > hi) {
      *least = Term(x - hi, w), *greatest = Term(x - lo, w);
    } else {
      *least = 0;
      *greatest = x <= (lo + hi) >> 1 ? Term(x - hi, w) : Term(x - lo, w);
    }
  }

  void fill(int gr, int gg, int gb) {
    // The group's span between its outermost cell centres.
    const int rlo = (gr << 5) + 4, rhi = rlo + 24;
    const int glo = (gg << 5) + 2, ghi = glo + 28;
    const int blo = (gb << 5) + 4, bhi = blo + 24;
    int least[256], greatest = INT_MAX;
    for (int i = 0; i < n_; ++i) {
      int l0, g0, l1, g1, l2, g2;
      Range(pal_[i].r, rlo, rhi, 2, &l0, &g0);
      Range(pal_[i].g, glo, ghi, 3, &l1, &g1);
      Range(pal_[i].b, blo, bhi, 1, &l2, &g2);
      least[i] = l0 + l1 + l2;
      greatest = std::min(greatest, g0 + g1 + g2);
    }
    // Only colours that may be nearest somewhere in the group.
    int candidates[256], nc = 0;
    for (int i = 0; i < n_; ++i)
      if (least[i] <= greatest) candidates[nc++] = i;

    for (int rc = gr << 2; rc < (gr + 1) << 2; ++rc)
      for (int gc = gg << 3; gc < (gg + 1) << 3; ++gc)
        for (int bc = gb << 2; bc < (gb + 1) << 2; ++bc) {
          const int r = (rc << 3) + 4, g = (gc << 2) + 2, b = (bc << 3) + 4;
          int best = candidates[0], bestd = INT_MAX;
          for (int k = 0; k < nc; ++k) {
            const Rgb &p = pal_[candidates[k]];
            const int d = Term(r - p.r, 2) + Term(g - p.g, 3) + Term(b - p.b, 1);
            if (d < bestd) bestd = d, best = candidates[k];
          }
          cache_[Cell(rc, gc, bc)] = static_cast<uint16_t>(best + 1);
        }
  }

  uint16_t *cache_;
  const Rgb *pal_;
  int n_;
};

inline int Clamp255(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

// Maps every pixel through the inverse map, rows in serpentine order, with
// Floyd-Steinberg error diffusion unless no_dither. dst may be src's
// buffer: an index byte is always written below the first pixel still to
// be read (row 0 runs forwards, and from row 1 on the index row lies
// wholly before the pixel row).
void MapPixels(const RgbPixelTp *src, unsigned char *dst, int width, int lines, uint16_t *cache,
               const Rgb *palette, int n, bool no_dither) {
  InverseMap map(cache, palette, n);
  std::unique_ptr<int16_t[]> errors;
  if (!no_dither) errors = Allocate<int16_t>((static_cast<size_t>(width) + 2) * 3, __LINE__);
  int16_t *row = errors.get();

  for (int y = 0; y < lines; ++y) {
    const int dir = (y & 1) ? -1 : 1;
    int x = dir > 0 ? 0 : width - 1;
    // pos is the error-row slot one behind the pixel; the pixel's own
    // slot (pos + dir) carries the error from the row above.
    int pos = dir > 0 ? 0 : width + 1;
    int prev[3] = {0, 0, 0}, carried[3] = {0, 0, 0}, below[3] = {0, 0, 0};
    for (int k = 0; k < width; ++k, x += dir, pos += dir) {
      const size_t at = static_cast<size_t>(y) * width + x;
      const RgbPixelTp p = src[at];
      int v[3] = {p.red, p.green, p.blue};
      if (row) {
        for (int c = 0; c < 3; ++c)
          v[c] = Clamp255(v[c] + ((7 * prev[c] + row[(pos + dir) * 3 + c] + 8) >> 4));
      }
      const int idx = map.index(v[0], v[1], v[2]);
      dst[at] = static_cast<unsigned char>(idx);
      if (row) {
        const int got[3] = {palette[idx].r, palette[idx].g, palette[idx].b};
        for (int c = 0; c < 3; ++c) {
          const int e = v[c] - got[c];
          row[pos * 3 + c] = static_cast<int16_t>(carried[c] + 3 * e);
          carried[c] = below[c] + 5 * e;
          below[c] = e;
          prev[c] = e;
        }
      }
    }
    if (row)
      for (int c = 0; c < 3; ++c) row[pos * 3 + c] = static_cast<int16_t>(carried[c]);
  }
}

// The budget scan's findings: the first P = free + taken table entries
// are the ones the palette occupies.
struct Budget {
  int n;      // colours wanted
  int taken;  // U
  int free;   // F
};

Budget ScanBudget(const uint32_t *inuse, int budget) {
  Budget b{budget < 1 || budget > 255 ? 255 : budget, 0, 0};
  for (int i = 0; i < 256; ++i) {
    if (inuse[i]) {
      ++b.taken;
    } else if (++b.free > b.n) {
      break;
    }
  }
  // A shared colour map: leave room for the other clients.
  if (b.taken > 2) {
    int limit = 85;
    if (const char *env = getenv("PVXLUTCOLORS")) {
      char *end = nullptr;
      const long v = strtol(env, &end, 10);
      if (end != env && *end == '\0' && v >= 1) limit = static_cast<int>(std::min(v, 255L));
    }
    b.n = std::min(b.n, limit);
  }
  return b;
}

// Index of the first colour nearest to (r, g, b) with the weights 2, 3, 1
// on the squared differences.
int Nearest(const Rgb *c, int n, int r, int g, int b) {
  int best = 0, bestd = INT_MAX;
  for (int i = 0; i < n; ++i) {
    const int d = 2 * (c[i].r - r) * (c[i].r - r) + 3 * (c[i].g - g) * (c[i].g - g) +
                  (c[i].b - b) * (c[i].b - b);
    if (d < bestd) bestd = d, best = i;
  }
  return best;
}

}  // namespace

const RgbPixelTp *const ImgStdColorMap = kStdColorMap.c;

void ImgReduceColors(const RgbPixelTp *src, unsigned char *dst, RgbPixelTp *cmap,
                     const uint32_t *inuse, int budget, bool no_dither, bool std_cmap, int width,
                     int lines) {
  if (width < 1 || lines < 1) return;
  const size_t npix = static_cast<size_t>(width) * lines;
  const Budget bud = ScanBudget(inuse, budget);
  const int P = bud.free + bud.taken;
  std::unique_ptr<uint16_t[]> hist = Allocate<uint16_t>(kCells, __LINE__);

  Rgb palette[256] = {};  // table order, entries 0 .. P - 1 (256 for the standard map)
  int npal = P;
  int place[256] = {};  // table entry of computed colour j (exact colours)
  uint32_t exact[256];
  int nexact = 0;
  bool use_exact = false;

  if (std_cmap) {
    // The standard map in table order; the cells other clients hold keep
    // their colours, so that pixels mapped there show what they should.
    for (int i = 0; i < 256; ++i) {
      const RgbPixelTp c = inuse[i] ? cmap[i] : kStdColorMap.c[i];
      if (!inuse[i]) cmap[i] = c;
      palette[i] = Rgb{c.red, c.green, c.blue};
    }
    npal = 256;
  } else {
    Rgb computed[256] = {};  // F entries; unused ones stay black
    const int F = bud.free, U = bud.taken, N = bud.n;
    const bool collected = CollectExact(src, npix, std::min(F, 256), exact, &nexact);
    if (F >= 2 && (collected ? N > U : N >= U)) {
      MedianCutPalette(src, npix, hist.get(), std::min(std::max(1, N - U), F), computed);
    } else if (collected) {
      use_exact = true;
      for (int j = 0; j < nexact; ++j)
        computed[j] = Rgb{static_cast<int>(exact[j] >> 16), static_cast<int>(exact[j] >> 8 & 255),
                          static_cast<int>(exact[j] & 255)};
    }
    // On a colour map of our own, make sure of pure white and black.
    if (U == 0) {
      computed[Nearest(computed, F, 255, 255, 255)] = Rgb{255, 255, 255};
      computed[Nearest(computed, F, 0, 0, 0)] = Rgb{0, 0, 0};
    }
    // Fill the free cells from the top down; taken cells keep theirs.
    for (int e = P - 1, j = F - 1; e >= 0; --e) {
      if (inuse[e]) {
        palette[e] = Rgb{cmap[e].red, cmap[e].green, cmap[e].blue};
      } else {
        palette[e] = computed[j];
        place[j--] = e;
      }
    }
  }

  if (use_exact) {
    uint32_t last = UINT32_MAX;
    unsigned char last_index = 0;
    for (size_t i = 0; i < npix; ++i) {
      const uint32_t v = Packed(src[i]);
      if (v != last) {
        const uint32_t *at = std::lower_bound(exact, exact + nexact, v);
        if (at == exact + nexact || *at != v) {
          fprintf(stderr, "quick_check:  i'm not here\n");
          exit(1);
        }
        last = v;
        last_index = static_cast<unsigned char>(place[at - exact]);
      }
      dst[i] = last_index;
    }
  } else {
    MapPixels(src, dst, width, lines, hist.get(), palette, npal, no_dither);
  }

  for (int i = 0; i < P; ++i) {
    cmap[i].blue = static_cast<uint8_t>(palette[i].b);
    cmap[i].green = static_cast<uint8_t>(palette[i].g);
    cmap[i].red = static_cast<uint8_t>(palette[i].r);
  }
}
