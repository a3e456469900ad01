// Colour operations on display lines. Pixels are handled as 32-bit words
// 0xAARRGGBB; on a big-endian host they are built from the named bytes.
#include "imacolor.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "imaraw.h"

#define CMN_SOURCE "imacolor"

namespace {

inline uint32_t Word(RgbPixelTp p) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  uint32_t w;
  memcpy(&w, &p, 4);
  return w;
#else
  return p.blue | static_cast<uint32_t>(p.green) << 8 | static_cast<uint32_t>(p.red) << 16 |
         static_cast<uint32_t>(p.fourth) << 24;
#endif
}

inline RgbPixelTp Pixel(uint32_t w) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  RgbPixelTp p;
  memcpy(&p, &w, 4);
  return p;
#else
  return {static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w >> 16),
          static_cast<uint8_t>(w >> 24)};
#endif
}

constexpr uint32_t kColorBits = 0x00FFFFFFu;
constexpr uint32_t kOpaqueBlack = 0xFF000000u;
constexpr uint32_t kOpaqueWhite = 0xFFFFFFFFu;

inline uint32_t WithFourth(uint32_t w, uint32_t a) { return (w & kColorBits) | a << 24; }

inline uint32_t Channel(uint32_t w, int shift) { return (w >> shift) & 0xFFu; }

// A factor that is not a number switches its operation off rather than
// spreading NaN into the tables and the byte conversions.
inline double Tame(double factor, double neutral) { return std::isnan(factor) ? neutral : factor; }

// Truncation toward zero of a value first limited to a byte's range; the
// limit comes first so that the conversion to an integer is always defined.
inline uint8_t ByteOf(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 255.0) return 255;
  return static_cast<uint8_t>(v);
}

}  // namespace

// ---------------------------------------------------------------------------
// The per-pixel steps. Every operation looks at one pixel at a time, so
// the chain runs them pixel by pixel in one pass over the line; each line
// function below runs one of them alone.

namespace {

// ImgMapBuf's settings, prepared once per line.
struct MapState {
  std::vector<uint32_t> words;  // FromColor, ToColor, then the frequent colours
  const uint32_t *from = nullptr, *to = nullptr, *frequent = nullptr;
  size_t n = 0;
  int32_t k = 0;
  int32_t reversal = IMG_REVERSAL_NONE, output = IMG_OUTPUT_COLOR;
  uint32_t a = 255;
  bool modes = false;  // a reversal, an output mode or a level is set
  // A mark for the hash of every colour in the lists: most pixels match
  // none, and a clear mark says so without searching the lists. A byte a
  // mark, so that the test is one load.
  uint8_t filter[4096];
};

inline uint32_t ColorHash(uint32_t w) { return (w * 0x9E3779B1u) >> 20; }

// False when ImgMapBuf has nothing to do.
bool PrepareMap(const ImgColorOpsTp *ops, MapState *st) {
  st->n = ops->FromColor.size();
  const int32_t t = std::clamp(ops->level, 0, 255);
  st->reversal = ops->reversal;
  st->output = ops->output;
  if (st->n == 0 && ops->removebgs <= 0 && t == 0 && st->reversal == IMG_REVERSAL_NONE &&
      st->output == IMG_OUTPUT_COLOR)
    return false;
  IMG_ASSERT(ops->ToColor.size() == st->n, "FromColor and ToColor");
  if (ops->removebgs > 0) {
    IMG_ASSERT(ops->frequent_count > 0, "FrequentColors");
    st->k = std::min({ops->removebgs, ops->frequent_count, 256});
  }
  st->a = 255 - static_cast<uint32_t>(t);
  st->modes = st->reversal != IMG_REVERSAL_NONE || st->output != IMG_OUTPUT_COLOR || t != 0;
  st->words.resize(2 * st->n + st->k);
  for (size_t i = 0; i < st->n; ++i) {
    st->words[i] = Word(ops->FromColor[i]);
    st->words[st->n + i] = Word(ops->ToColor[i]);
  }
  for (int32_t i = 0; i < st->k; ++i) st->words[2 * st->n + i] = Word(ops->FrequentColors[i]);
  memset(st->filter, 0, sizeof st->filter);
  st->from = st->words.data();
  st->to = st->from + st->n;
  st->frequent = st->to + st->n;
  for (size_t i = 0; i < st->n; ++i) st->filter[ColorHash(st->from[i])] = 1;
  for (int32_t i = 0; i < st->k; ++i) st->filter[ColorHash(st->frequent[i])] = 1;
  return true;
}

// The per-pixel steps are inlined into the loops over a line, where the
// settings they test stay in registers.
#define IMA_INLINE inline __attribute__((always_inline))

// A pixel that was replaced or removed is marked: the reversals and the
// level leave it as it was set. The output modes still apply to it.
IMA_INLINE uint32_t MapPixel(const MapState &st, uint32_t w) {
  bool marked = false;
  if (st.filter[ColorHash(w)]) {
    for (size_t i = 0; i < st.n; ++i) {
      if (w == st.from[i]) {
        w = st.to[i];
        if (w >> 24) w = WithFourth(w, st.a);
        marked = true;
        break;
      }
    }
    for (int32_t i = 0; !marked && i < st.k; ++i) {
      if (w == st.frequent[i]) {
        w = WithFourth(kOpaqueWhite, st.a);
        marked = true;
      }
    }
  }
  if (!st.modes) return w;
  if (!marked && w != 0) {
    if (st.reversal == IMG_REVERSAL_BW) {
      if ((w & kColorBits) == kColorBits)
        w = kOpaqueBlack;
      else if ((w & kColorBits) == 0)
        w = kOpaqueWhite;
    } else if (st.reversal == IMG_REVERSAL_COLOR) {
      w ^= kColorBits;
    }
  }
  if (st.output == IMG_OUTPUT_GRAY) {
    const uint32_t y = (77 * Channel(w, 16) + 151 * Channel(w, 8) + 28 * Channel(w, 0)) >> 8;
    w = (w & 0xFF000000u) | y * 0x010101u;
  }
  if (st.reversal == IMG_REVERSAL_GRAY && !marked && w != 0 && Channel(w, 0) == Channel(w, 8) &&
      Channel(w, 8) == Channel(w, 16))
    w ^= kColorBits;
  if (st.output == IMG_OUTPUT_EIGHTCOLOR) {
    // The top bit of each colour byte decides between 0 and 255.
    w = (w & 0xFF000000u) | ((w & 0x00808080u) >> 7) * 0xFF;
  } else if (st.output == IMG_OUTPUT_BW) {
    // White survives only while no background was turned white: then it
    // is known to be the picture's own.
    if (w != 0 && !(w == kOpaqueWhite && st.k == 0)) w = kOpaqueBlack;
  }
  if (st.a != 255 && !marked && (w >> 24) != 0) w = WithFourth(w, st.a);
  return w;
}

// Weights by hue (index round(hue x 40), hue 0..6), linear in thousandths
// between the knots below; index 240 is hue 6, the same as hue 0. The
// knots follow how light each hue looks: 1 - weight is close to the share
// of red (index 40), green (120) and blue (200) in the luminance, so that
// desaturating a colour lands on a gray of about its own lightness.
constexpr std::array<double, 241> MakeDvds() {
  constexpr int knots[7] = {590, 700, 110, 410, 300, 890, 590};
  std::array<double, 241> table{};
  for (int i = 0; i < 240; ++i) {
    const int k0 = knots[i / 40], k1 = knots[i / 40 + 1], j = i % 40;
    // Every step between knots is a whole number of quarter thousandths,
    // so rounding to three decimals (halves up) is exact in integers.
    const int quarters = 4 * k0 + j * (k1 - k0) / 10;
    table[i] = ((quarters + 2) / 4) / 1000.0;
  }
  table[240] = table[0];
  return table;
}
constexpr std::array<double, 241> dvds = MakeDvds();

// The new spread d' for every spread d, for the last s given.
struct GainTable {
  bool built = false;
  double s = 1.0;
  int32_t spread[256];
};
GainTable g_gain;

const int32_t *PrepareChrominance(double s) {
  s = Tame(s, 1.0);
  if (!g_gain.built || g_gain.s != s) {
    double gain;
    if (s < 0.0)
      gain = 0.0;
    else if (s <= 1.0)
      gain = s;
    else if (s <= 1.999999)
      gain = 1.0 / (2.0 - s);
    else
      gain = 1.0 / (2.0 - 1.999999);
    // The gain is at most 1e6, so d x gain stays far inside an int.
    for (int d = 0; d < 256; ++d) g_gain.spread[d] = static_cast<int32_t>(d * gain + 0.5);
    g_gain.s = s;
    g_gain.built = true;
  }
  return g_gain.spread;
}

// Divisions by D = 2d (d = 1..255) as a multiplication: with R =
// ceil(2^32 / D) and a numerator N below 2^17, N x R has the quotient in
// its upper 32 bits, and its lower 32 bits are below N when D divides N
// and at least 2^32 / 510 (above 2^23) when it does not. So the product
// also tells whether the quotient is exact, by a bound between the two.
constexpr std::array<uint64_t, 256> MakeReciprocals() {
  std::array<uint64_t, 256> r{};
  for (uint64_t d = 1; d < 256; ++d) r[d] = ((uint64_t{1} << 32) + 2 * d - 1) / (2 * d);
  return r;
}
constexpr std::array<uint64_t, 256> kHalfReciprocal = MakeReciprocals();
constexpr uint32_t kExactBelow = 1u << 20;

// Bit positions of M', p and q or u as red (16), green (8) and blue (0),
// by sector; the third value is q in even sectors and u in odd ones.
constexpr uint8_t kSectorShift[6][3] = {{16, 8, 0}, {16, 0, 8}, {8, 0, 16},
                                        {8, 16, 0}, {0, 16, 8}, {0, 8, 16}};

IMA_INLINE uint32_t SectorPixel(uint32_t w, int sector, uint32_t Mn, uint32_t p, uint32_t third) {
  if (sector < 0 || sector > 5) {
    fputs("Oops..", stderr);
    return w;
  }
  const uint8_t *shift = kSectorShift[sector];
  return (w & 0xFF000000u) | Mn << shift[0] | p << shift[1] | third << shift[2];
}

// The formulas as they stand, in doubles. Where a value to be truncated
// is a whole number in real arithmetic (a rounding "+ 0.5" meeting an
// exact half), the doubles land a little above or below it, and that
// decides the result.
__attribute__((noinline)) uint32_t ChromaInDoubles(const int32_t *spread, uint32_t w) {
  const int r = Channel(w, 16), g = Channel(w, 8), b = Channel(w, 0);
  const int M = std::max({r, g, b}), d = M - std::min({r, g, b});
  const double h = r == M   ? static_cast<double>(g - b) / d + 1.0
                   : g == M ? static_cast<double>(b - r) / d + 3.0
                            : static_cast<double>(r - g) / d + 5.0;
  const int dn = spread[d];
  int index = static_cast<int>(h * 40.0 + 0.5);
  if (index >= 240) index -= 240;
  const int Mn = std::clamp(M - static_cast<int>((d - dn) * dvds[index]), 0, 255);
  const double sn = Mn > 0 ? std::min(Mn, dn) / static_cast<double>(Mn) : 0.0;
  const int sector = static_cast<int>(h);
  const double f = h - sector;
  // 0 <= s' <= 1 and 0 <= f < 1 keep p, q and u within 0..255.
  const uint32_t p = static_cast<uint32_t>((1.0 - sn) * Mn + 0.5);
  const uint32_t third = (sector & 1) ? static_cast<uint32_t>((1.0 - (1.0 - f) * sn) * Mn + 0.5)
                                      : static_cast<uint32_t>((1.0 - sn * f) * Mn + 0.5);
  return SectorPixel(w, sector, Mn, p, third);
}

// The weights read from the other end: kReversed[j] = dvds[240 - j].
constexpr std::array<double, 241> MakeReversed() {
  std::array<double, 241> table{};
  for (int j = 0; j <= 240; ++j) table[j] = dvds[240 - j];
  return table;
}
constexpr std::array<double, 241> kReversed = MakeReversed();

// Each channel's value placed as its bits in a pixel word, after the
// brightness and contrast table or as it is: rows red, green, blue.
typedef uint32_t PlacedTp[3][256];

IMA_INLINE uint32_t PlacePixel(const PlacedTp &placed, uint32_t w) {
  return (w & 0xFF000000u) | placed[0][Channel(w, 16)] | placed[1][Channel(w, 8)] |
         placed[2][Channel(w, 0)];
}

// How the order of red, green and blue routes a pixel through the
// chrominance formulas. In a sector the largest channel becomes M', the
// smallest p = M' - min(M', d'), and the middle one q or u, which both
// come to M' - min(M', d') x (M - middle) / d rounded. In even sectors
// f x d = M - middle, so the hue index is 40 x sector + round(40 (M -
// middle) / d); in odd ones f x d = d - (M - middle), and away from exact
// halves round(40 - v) = 40 - round(v), so the index is 40 x (sector + 1)
// - round(40 (M - middle) / d). Either way the weight is a table read at
// round(40 (M - middle) / d), forwards or backwards.
// Keyed by (g > r) | (b > r) << 1 | (b > g) << 2; keys 2 and 5 cannot
// occur. Where two channels are equal the key may pick the neighbouring
// sector of the one the formula picks, at their boundary (f = 1 there
// instead of f = 0): the hue and all three values come out the same.
struct Route {
  const double *weight;
  uint8_t max_shift, mid_shift, min_shift;      // where the channels are
  const uint32_t *max_out, *mid_out, *min_out;  // rows of the placed table
};
struct RoutesTp {
  const PlacedTp *placed;
  Route by_key[8];
};

void MakeRoutes(const PlacedTp &placed, RoutesTp *routes) {
  // Sector, then the shifts of the largest, middle and smallest channel.
  static const uint8_t kKeys[8][4] = {
      {1, 16, 8, 0},  // r >= g >= b
      {2, 8, 16, 0},  // g > r >= b
      {1, 16, 8, 0},  // -
      {3, 8, 0, 16},  // g >= b > r
      {0, 16, 0, 8},  // r >= b > g
      {0, 16, 0, 8},  // -
      {5, 0, 16, 8},  // b > r >= g
      {4, 0, 8, 16},  // b > g > r
  };
  routes->placed = &placed;
  for (int key = 0; key < 8; ++key) {
    const uint8_t *k = kKeys[key];
    Route &route = routes->by_key[key];
    const int sector = k[0];
    route.weight = sector & 1 ? &kReversed[200 - 40 * sector] : &dvds[40 * sector];
    route.max_shift = k[1];
    route.mid_shift = k[2];
    route.min_shift = k[3];
    // Red at 16 is row 0, blue at 0 is row 2.
    route.max_out = placed[2 - k[1] / 8];
    route.mid_out = placed[2 - k[2] / 8];
    route.min_out = placed[2 - k[3] / 8];
  }
}

// The routes for chrominance alone: every value placed as it is.
struct PlainRoutesTp {
  PlacedTp placed;
  RoutesTp routes;
  PlainRoutesTp() {
    for (uint32_t v = 0; v < 256; ++v) {
      placed[0][v] = v << 16;
      placed[1][v] = v << 8;
      placed[2][v] = v;
    }
    MakeRoutes(placed, &routes);
  }
};

const RoutesTp &PlainRoutes() {
  static const PlainRoutesTp plain;
  return plain.routes;
}

// The same in integers. Where a value to be truncated is not a whole
// number it is at least 1/510 away from one, far beyond the doubles'
// error, and both ways agree; the ties (about two pixels in a hundred of
// random colours) go to ChromaInDoubles. With kTable the new values come
// out through the brightness and contrast table, else as they are.
template <bool kTable>
IMA_INLINE uint32_t ChromaPixel(const int32_t *spread, const RoutesTp &routes, uint32_t w) {
  if (((w ^ w >> 8) & 0xFFFFu) == 0)  // a gray has no hue
    return kTable ? PlacePixel(*routes.placed, w) : w;
  const int r = Channel(w, 16), g = Channel(w, 8), b = Channel(w, 0);
  // The sign bits of the differences make the key; the order is as good as
  // random in a photograph, and a mispredicted branch costs more than all
  // the arithmetic here.
  const uint32_t key = (static_cast<uint32_t>(r - g) >> 31) |
                       (static_cast<uint32_t>(r - b) >> 31 << 1) |
                       (static_cast<uint32_t>(g - b) >> 31 << 2);
  const Route &o = routes.by_key[key];
  const int M = Channel(w, o.max_shift), d = M - Channel(w, o.min_shift);
  const uint32_t part = M - Channel(w, o.mid_shift);  // M - middle
  const uint64_t recip = kHalfReciprocal[d];
  // round(40 part / d) = floor((80 part + d) / 2d), a tie when exact.
  const uint64_t x = (80 * part + d) * recip;
  const int dn = spread[d];
  // The drop is at most 0.89 d, so M' never falls below 0; |d - d'| x
  // weight stays below 2^31, so the conversion truncates it.
  const int Mn = std::min(M - static_cast<int>((d - dn) * o.weight[x >> 32]), 255);
  const uint32_t mn = static_cast<uint32_t>(std::min(Mn, dn));  // s' x M'
  // round(mn part / d) = floor((2 mn part + d) / 2d), a tie when exact.
  const uint64_t y = (2 * mn * part + d) * recip;
  if (static_cast<uint32_t>(x) < kExactBelow || static_cast<uint32_t>(y) < kExactBelow) {
    w = ChromaInDoubles(spread, w);
    return kTable ? PlacePixel(*routes.placed, w) : w;
  }
  return (w & 0xFF000000u) | o.max_out[Mn] | o.mid_out[Mn - (y >> 32)] | o.min_out[Mn - mn];
}

// One set of tables for the whole program: the factors change rarely (once
// per image), the lines come by the thousand.
struct ChannelTable {
  bool built = false;
  double brightness = 0.0, tint = 0.0;  // what the table was made for
  uint8_t map[256];
};
ChannelTable g_channel[3];  // red, green, blue

struct ContrastTable {
  bool built = false;
  double k = 1.0;
  uint8_t map[256];
};
ContrastTable g_contrast;

int32_t g_builds = 0;

// A factor in -1..1 as an exponent for values in 0..1: (1 - f) / (1 + f),
// with f kept just inside the open interval so that neither end divides
// by zero or gives an exponent of 0.
double Exponent(double f) {
  f = std::clamp(f, -0.999999, 0.999999);
  return (1.0 - f) / (1.0 + f);
}

// False when all four factors are 0 (or not numbers).
bool PrepareBrightness(double brightness, double redtint, double greentint, double bluetint) {
  brightness = Tame(brightness, 0.0);
  const double tints[3] = {Tame(redtint, 0.0), Tame(greentint, 0.0), Tame(bluetint, 0.0)};
  if (brightness == 0.0 && tints[0] == 0.0 && tints[1] == 0.0 && tints[2] == 0.0) return false;
  for (int c = 0; c < 3; ++c) {
    ChannelTable &t = g_channel[c];
    if (t.built && t.brightness == brightness && t.tint == tints[c]) continue;
    const double e1 = Exponent(brightness), e2 = Exponent(tints[c]);
    // Two passes, each truncated: the tint works on the brightened bytes.
    for (int i = 0; i < 256; ++i) {
      const uint8_t v = ByteOf(255.0 * std::pow(i / 255.0, e1));
      t.map[i] = ByteOf(255.0 * std::pow(v / 255.0, e2));
    }
    t.brightness = brightness;
    t.tint = tints[c];
    t.built = true;
    ++g_builds;
  }
  return true;
}

// False when k is 1 (or not a number).
bool PrepareContrast(double k) {
  k = Tame(k, 1.0);
  if (k == 1.0) return false;
  if (!g_contrast.built || g_contrast.k != k) {
    for (int i = 0; i < 256; ++i) g_contrast.map[i] = ByteOf((i - 127.5) * k + 127.5);
    g_contrast.k = k;
    g_contrast.built = true;
    ++g_builds;
  }
  return true;
}

// Brightness and contrast together as one table per channel, with the
// routes through it, remade when either part was rebuilt or switched on or
// off.
struct CombinedTable {
  int32_t builds = -1;
  int which = 0;  // 1 brightness, 2 contrast
  PlacedTp placed;
  RoutesTp routes;
};
CombinedTable g_combined;

const RoutesTp *PrepareCombined(bool brightness, bool contrast) {
  const int which = (brightness ? 1 : 0) | (contrast ? 2 : 0);
  if (g_combined.builds != g_builds || g_combined.which != which) {
    for (int c = 0; c < 3; ++c)
      for (int i = 0; i < 256; ++i) {
        const uint8_t v = brightness ? g_channel[c].map[i] : static_cast<uint8_t>(i);
        g_combined.placed[c][i] = static_cast<uint32_t>(contrast ? g_contrast.map[v] : v)
                                  << (16 - 8 * c);
      }
    MakeRoutes(g_combined.placed, &g_combined.routes);
    g_combined.builds = g_builds;
    g_combined.which = which;
  }
  return &g_combined.routes;
}

IMA_INLINE uint32_t TablePixel(const uint8_t *red, const uint8_t *green, const uint8_t *blue,
                               uint32_t w) {
  return (w & 0xFF000000u) | static_cast<uint32_t>(red[Channel(w, 16)]) << 16 |
         static_cast<uint32_t>(green[Channel(w, 8)]) << 8 | blue[Channel(w, 0)];
}

// The chain over one line, made once for each combination of steps so
// that no pixel pays for a test of a step that is off. routes carries the
// brightness and contrast table when kTable is set.
template <bool kMap, bool kChroma, bool kTable>
void RunChain(const MapState &st, const int32_t *spread, const RoutesTp *routes, RgbPixelTp *line,
              int count) {
  for (int x = 0; x < count; ++x) {
    uint32_t w = Word(line[x]);
    if (kMap) w = MapPixel(st, w);
    if (kChroma)
      w = ChromaPixel<kTable>(spread, *routes, w);
    else if (kTable)
      w = PlacePixel(*routes->placed, w);
    line[x] = Pixel(w);
  }
}

void Copy(const RgbPixelTp *src, RgbPixelTp *dst, int count) {
  if (src != dst && count > 0) memmove(dst, src, static_cast<size_t>(count) * sizeof *dst);
}

}  // namespace

// ---------------------------------------------------------------------------
// The line functions.

void ImgMapBuf(const ImgColorOpsTp *ops, RgbPixelTp *line, int count) {
  MapState st;
  if (!PrepareMap(ops, &st)) return;
  for (int x = 0; x < count; ++x) line[x] = Pixel(MapPixel(st, Word(line[x])));
}

void ImgChrominance(const RgbPixelTp *src, RgbPixelTp *dst, int count, double s) {
  const int32_t *spread = PrepareChrominance(s);
  const RoutesTp &routes = PlainRoutes();
  for (int x = 0; x < count; ++x) dst[x] = Pixel(ChromaPixel<false>(spread, routes, Word(src[x])));
}

void ImgBrightness(const RgbPixelTp *src, RgbPixelTp *dst, int count, double brightness,
                   double redtint, double greentint, double bluetint) {
  if (!PrepareBrightness(brightness, redtint, greentint, bluetint)) {
    Copy(src, dst, count);
    return;
  }
  const uint8_t *red = g_channel[0].map, *green = g_channel[1].map, *blue = g_channel[2].map;
  for (int x = 0; x < count; ++x) dst[x] = Pixel(TablePixel(red, green, blue, Word(src[x])));
}

void ImgContrast(const RgbPixelTp *src, RgbPixelTp *dst, int count, double k) {
  if (!PrepareContrast(k)) {
    Copy(src, dst, count);
    return;
  }
  const uint8_t *map = g_contrast.map;
  for (int x = 0; x < count; ++x) dst[x] = Pixel(TablePixel(map, map, map, Word(src[x])));
}

void ImgColorLine(const ImgColorOpsTp *ops, RgbPixelTp *line, int count) {
  MapState st;
  const bool map = PrepareMap(ops, &st);
  // s = 1 keeps every colour as it is, so a chrominance that is not a
  // number is simply left out.
  const bool chroma = ops->chrominance != 0.0 && !std::isnan(ops->chrominance);
  const int32_t *spread = chroma ? PrepareChrominance(ops->chrominance + 1.0) : nullptr;
  const bool bright =
      PrepareBrightness(ops->brightness, ops->redtint, ops->greentint, ops->bluetint);
  const bool contrast = ops->contrast != 0.0 && PrepareContrast(ops->contrast + 1.0);
  if (!map && !chroma && !bright && !contrast) return;
  const bool table = bright || contrast;
  const RoutesTp *routes = table ? PrepareCombined(bright, contrast) : &PlainRoutes();
  static void (*const kRun[8])(const MapState &, const int32_t *, const RoutesTp *, RgbPixelTp *,
                               int) = {RunChain<false, false, false>, RunChain<true, false, false>,
                                       RunChain<false, true, false>,  RunChain<true, true, false>,
                                       RunChain<false, false, true>,  RunChain<true, false, true>,
                                       RunChain<false, true, true>,   RunChain<true, true, true>};
  kRun[(map ? 1 : 0) | (chroma ? 2 : 0) | (table ? 4 : 0)](st, spread, routes, line, count);
}

int32_t ImgColorTableBuilds(void) { return g_builds; }

bool ImgColorKeepsGray(const ImgColorOpsTp *ops) {
  // The gray output mode weighs red, green and blue 77 + 151 + 28 = 256:
  // a gray pixel keeps its value. Every other step may change it.
  const bool map = !ops->FromColor.empty() || ops->removebgs > 0 ||
                   std::clamp(ops->level, 0, 255) != 0 || ops->reversal != IMG_REVERSAL_NONE ||
                   (ops->output != IMG_OUTPUT_COLOR && ops->output != IMG_OUTPUT_GRAY);
  const bool chroma = ops->chrominance != 0.0 && !std::isnan(ops->chrominance);
  const bool bright = Tame(ops->brightness, 0.0) != 0.0 || Tame(ops->redtint, 0.0) != 0.0 ||
                      Tame(ops->greentint, 0.0) != 0.0 || Tame(ops->bluetint, 0.0) != 0.0;
  const bool contrast = ops->contrast != 0.0 && Tame(ops->contrast + 1.0, 1.0) != 1.0;
  return !map && !chroma && !bright && !contrast;
}

// ---------------------------------------------------------------------------
// The colour replacement option.

namespace {

// One hexadecimal colour the way scanf's %x reads it: leading white space
// and an optional 0x. Signs and values beyond 32 bits are not colours.
bool ReadHex(const char **p, uint32_t *value) {
  const char *q = *p;
  while (isspace(static_cast<unsigned char>(*q))) ++q;
  if (!isxdigit(static_cast<unsigned char>(*q))) return false;
  char *end = nullptr;
  errno = 0;
  const unsigned long long v = strtoull(q, &end, 16);
  if (errno == ERANGE || v > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(v);
  *p = end;
  return true;
}

bool ReadPair(const char **p, uint32_t *from, uint32_t *to) {
  const char *q = *p;
  if (!ReadHex(&q, from) || *q != '/') return false;
  ++q;
  if (!ReadHex(&q, to)) return false;
  *p = q;
  return true;
}

[[noreturn]] void BadColorReplace(const char *text) {
  CmnInfoPrintf(nullptr, "Invalid -colorreplace parameter: [%s]\n", text);
  exit(1);
}

}  // namespace

void ImgParseColorReplace(const char *text, ImgColorOpsTp *ops) {
  if (!text) return;
  const char *p = text;
  for (bool first = true;; first = false) {
    uint32_t from, to;
    if (!ReadPair(&p, &from, &to)) {
      if (first) BadColorReplace(text);
      return;  // what follows the last ':' is not a pair: the list ends
    }
    // The user writes RRGGBB; toggling the top byte makes it opaque.
    ops->FromColor.push_back(Pixel(from ^ 0xFF000000u));
    ops->ToColor.push_back(Pixel(to ^ 0xFF000000u));
    if (*p == '\0') return;
    if (*p != ':') BadColorReplace(text);
    ++p;
  }
}

// ---------------------------------------------------------------------------
// The colour options of the command line.

void ImgReadColorOptions(CmdOptionTp *table, ImgColorOpsTp *ops) {
  const int output =
      CmdGetOptPosition(table, "output", "color", "gray", "bw", "eightcolor", nullptr);
  ops->output = output < 0 ? IMG_OUTPUT_COLOR : output;
  if (CmdGetOptPosition(table, "8color", "false", "true", nullptr) == 1)
    ops->output = IMG_OUTPUT_EIGHTCOLOR;
  static const int kReversal[] = {IMG_REVERSAL_NONE, IMG_REVERSAL_COLOR, IMG_REVERSAL_GRAY,
                                  IMG_REVERSAL_BW};
  const int reversal = CmdGetOptPosition(table, "reversal", "none", "color", "gray", "bw", nullptr);
  ops->reversal = reversal < 0 ? IMG_REVERSAL_NONE : kReversal[reversal];
  ops->removebgs = CmdGetOptIntRange(table, "removebgs", 0, 0, 255);
  ops->brightness = CmdGetOptDouble(table, "brightness", 0.0);
  ops->contrast = CmdGetOptDouble(table, "contrast", 0.0);
  ops->chrominance = CmdGetOptDouble(table, "chrominance", 0.0);
  ops->redtint = CmdGetOptDouble(table, "redtint", 0.0);
  ops->greentint = CmdGetOptDouble(table, "greentint", 0.0);
  ops->bluetint = CmdGetOptDouble(table, "bluetint", 0.0);
  ImgParseColorReplace(static_cast<const char *>(CmdGetOpt(table, "colorreplace")), ops);
}

void ImgCopyColorOptions(const ImgColorOpsTp *from, ImgColorOpsTp *to) {
  to->output = from->output;
  to->reversal = from->reversal;
  to->removebgs = from->removebgs;
  to->brightness = from->brightness;
  to->contrast = from->contrast;
  to->chrominance = from->chrominance;
  to->redtint = from->redtint;
  to->greentint = from->greentint;
  to->bluetint = from->bluetint;
  to->FromColor.insert(to->FromColor.end(), from->FromColor.begin(), from->FromColor.end());
  to->ToColor.insert(to->ToColor.end(), from->ToColor.begin(), from->ToColor.end());
}
