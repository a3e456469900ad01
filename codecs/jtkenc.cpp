// The JPEG 2000 encoder: level shift and colour transform, the wavelet,
// quantisation, the bit-plane coder of each code-block, the rate control
// that cuts code-blocks into quality layers, the packets, the codestream
// markers and the JP2 boxes.
//
// Rows go in from the top: the wavelet passes each band's rows on as soon
// as they are final, and a band codes a row of code-blocks as soon as it
// has its rows, so that only a few rows of each level and the coded
// blocks are held, never the picture.
//
// The choices the encoder makes itself (the caller may set the ones the
// parameter block names):
// - one tile covering the image, image and tile offsets 0, one tile-part;
// - 5 decomposition levels, fewer when the smaller side has fewer than 32
//   samples (every band keeps at least one sample);
// - 64 x 64 code-blocks, no mode switches (no bypass, reset, termination
//   or segmentation symbols);
// - the default precinct partition (precincts of 2^15 in each resolution,
//   so one per resolution unless it is wider or taller), no SOP or EPH;
// - progression LRCP, one quality layer;
// - reversible coding (5-3 wavelet, RCT for three components, no
//   quantisation) unless a positive rate asks for lossy coding (9-7, ICT,
//   expounded quantisation with steps that weigh every band equally in the
//   mean squared error of the image, then rate-distortion truncation);
// - with several layers, layer l of L gets 2^-(L-1-l) of the final size;
// - guard bits: the fewest (at least 2) that hold every coefficient.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "imagefile.h"
#include "jtkeint.h"

#define CMN_SOURCE "jtkenc"

namespace {

const char kEntry[] = "Jp2Compress";

// Fraction bits kept below the quantisation index in lossy coding, so that
// the coder can measure the error each pass removes.
const int32_t kFraction = 8;
const int32_t kDefaultLevels = 5;
const int32_t kDefaultBlock = 64;
// The precinct exponent a COD without precinct sizes stands for: a
// resolution wider or taller than 2^15 holds several precincts, and each
// has packets of its own.
const int32_t kPrecinctBits = 15;

struct Block {
  int32_t x0, y0, w, h;  // within its band
  JtkeCodedBlockTp coded;
  // Convex hull of the (length, error removed) points: pass counts and the
  // slopes reaching them, slopes falling.
  std::vector<int32_t> hull;
  std::vector<double> slope;
  std::vector<int32_t> cut;  // passes included up to each layer
  // Packet-header state.
  int32_t lblock = 3;
  bool included = false;
};

// A tag tree over a grid of leaves: the values the decoder learns, level
// by level from the root.
class TagTree {
 public:
  void Reset(int32_t w, int32_t h) {
    levels_.clear();
    do {
      Level l;
      l.w = w;
      l.h = h;
      l.value.assign(static_cast<size_t>(w) * h, INT32_MAX);
      l.low.assign(static_cast<size_t>(w) * h, 0);
      l.known.assign(static_cast<size_t>(w) * h, 0);
      levels_.push_back(std::move(l));
      w = (w + 1) / 2;
      h = (h + 1) / 2;
    } while (levels_.back().w * levels_.back().h > 1);
  }
  void Set(int32_t x, int32_t y, int32_t value) {
    for (Level &l : levels_) {
      int32_t &v = l.value[static_cast<size_t>(y) * l.w + x];
      v = std::min(v, value);
      x >>= 1;
      y >>= 1;
    }
  }
  // Codes what the decoder needs to tell whether the leaf's value is below
  // threshold.
  template <typename Put>
  void Encode(int32_t x, int32_t y, int32_t threshold, Put put) {
    int32_t low = 0;
    for (size_t k = levels_.size(); k-- > 0;) {
      Level &l = levels_[k];
      const size_t i = static_cast<size_t>(y >> k) * l.w + (x >> k);
      if (l.low[i] < low)
        l.low[i] = low;
      else
        low = l.low[i];
      while (low < threshold) {
        if (low >= l.value[i]) {
          if (!l.known[i]) {
            put(1);
            l.known[i] = 1;
          }
          break;
        }
        put(0);
        ++low;
      }
      l.low[i] = low;
    }
  }

 private:
  struct Level {
    int32_t w, h;
    std::vector<int32_t> value, low;
    std::vector<uint8_t> known;
  };
  std::vector<Level> levels_;
};

// A band's share of one precinct: a rectangle of its code-blocks, with the
// tag trees of the precinct's packet headers.
struct PrecinctPart {
  int32_t bx0 = 0, by0 = 0, bw = 0, bh = 0;  // in the band's grid of code-blocks
  TagTree inclusion, zero_planes;
};

struct Band {
  int32_t orientation, level;
  int32_t w, h;
  int32_t exponent = 0, mantissa = 0;
  double step = 1;         // quantisation step
  double weight = 1;       // squared error in the image per squared step
  int32_t bw = 0, bh = 0;  // code-blocks across and down
  std::vector<Block> blocks;
  std::vector<PrecinctPart> precincts;  // the resolution's precincts, row by row
  // The rows of code-blocks being filled (5-3 or 9-7 coefficients).
  std::vector<int32_t> istrip;
  std::vector<float> fstrip;
};

inline std::vector<int32_t> &StripOf(Band &band, const int32_t *) { return band.istrip; }
inline std::vector<float> &StripOf(Band &band, const float *) { return band.fstrip; }

struct Resolution {
  std::vector<Band> bands;
  int32_t px = 1, py = 1;  // precincts across and down
};

struct Component {
  std::vector<Resolution> res;
};

// Packet-header bits with the stuffed zero after each 0xFF byte.
class HeaderBits {
 public:
  explicit HeaderBits(std::vector<uint8_t> *out) : out_(out) {}
  void Put(int bit) {
    byte_ = static_cast<uint8_t>(byte_ << 1 | bit);
    if (++n_ == limit_) Emit();
  }
  void Put(uint32_t value, int bits) {
    while (bits-- > 0) Put(static_cast<int>((value >> bits) & 1));
  }
  void Finish() {
    if (n_ > 0) {
      byte_ = static_cast<uint8_t>(byte_ << (limit_ - n_));
      Emit();
    }
    if (!out_->empty() && out_->back() == 0xFF) out_->push_back(0);
  }

 private:
  void Emit() {
    out_->push_back(byte_);
    limit_ = byte_ == 0xFF ? 7 : 8;
    byte_ = 0;
    n_ = 0;
  }
  std::vector<uint8_t> *out_;
  uint8_t byte_ = 0;
  int n_ = 0, limit_ = 8;
};

void PutPassCount(HeaderBits &bits, int32_t n) {
  if (n == 1)
    bits.Put(0);
  else if (n == 2)
    bits.Put(2, 2);
  else if (n <= 5)
    bits.Put(0xC | (n - 3), 4);
  else if (n <= 36)
    bits.Put(0x1E0 | (n - 6), 9);
  else
    bits.Put(0xFF80 | (n - 37), 16);
}

int32_t FloorLog2(uint32_t v) {
  int32_t r = -1;
  while (v) {
    ++r;
    v >>= 1;
  }
  return r;
}

// Where the file's bytes go: counted only, or counted and written (in
// pieces of at most a megabyte, so that a writer never sees one huge
// request) until a write fails.
struct Out {
  JtkWriteTp write = nullptr;
  void *arg = nullptr;
  uint64_t size = 0;
  bool failed = false;
  void Put(const uint8_t *data, size_t length) {
    size += length;
    const size_t kPiece = 1 << 20;
    for (size_t at = 0; write && !failed && at < length; at += kPiece)
      failed = write(arg, data + at, std::min(kPiece, length - at)) != 0;
  }
};

class Encoder {
 public:
  Encoder(const JtkParamTp &p, const JtkImageTp &image)
      : comp_(image.comp, image.comp + image.components) {
    image_ = image;
    for (JtkComponentTp &k : comp_) k.data = nullptr;
    image_.comp = comp_.data();
    reversible_ = !(p.rate > 0);
    rate_ = p.rate;
    layers_ = p.layers > 0 ? p.layers : 1;
    cbw_ = p.cblk_w > 0 ? p.cblk_w : kDefaultBlock;
    cbh_ = p.cblk_h > 0 ? p.cblk_h : kDefaultBlock;
    progression_ = p.progression;
    const int32_t side = std::min(image.width, image.height);
    const int32_t fit = FloorLog2(static_cast<uint32_t>(side));
    levels_ = std::min(p.levels > 0 ? p.levels : kDefaultLevels, fit);
    jp2_ = p.jp2 != 0;
    mct_ = image.components == 3;
  }

  // Checks what the caller may get wrong before any work; the planes need
  // not be there.
  static bool Valid(const JtkParamTp &p, const JtkImageTp &image) {
    if (image.width < 1 || image.height < 1 || !image.comp) return false;
    if (image.components != 1 && image.components != 3) return false;
    const JtkComponentTp &c0 = image.comp[0];
    for (int32_t c = 0; c < image.components; ++c) {
      const JtkComponentTp &k = image.comp[c];
      if (k.width != image.width || k.height != image.height || k.dx != 1 || k.dy != 1 ||
          k.precision < 1 || k.precision > 16 || k.precision != c0.precision ||
          k.is_signed != c0.is_signed)
        return false;
    }
    auto block_side = [](int32_t v) { return v == 0 || (v >= 4 && v <= 1024 && !(v & (v - 1))); };
    if (!block_side(p.cblk_w) || !block_side(p.cblk_h)) return false;
    const int32_t bw = p.cblk_w ? p.cblk_w : kDefaultBlock,
                  bh = p.cblk_h ? p.cblk_h : kDefaultBlock;
    if (bw * bh > 4096) return false;
    if (p.layers < 0 || p.layers > 65535 || p.levels < 0 || p.levels > 32) return false;
    if (p.progression < JTK_LRCP || p.progression > JTK_CPRL) return false;
    if (std::isnan(p.rate)) return false;
    return true;
  }

  // The bands and code-blocks, and the wavelet of each component.
  void Start() {
    Layout();
    const int32_t w = image_.width, h = image_.height;
    iwave_.reserve(static_cast<size_t>(image_.components));
    fwave_.reserve(static_cast<size_t>(image_.components));
    for (int32_t c = 0; c < image_.components; ++c) {
      auto sink = [this, c](int32_t level, int32_t orientation, int32_t y, const auto *row) {
        // The resolution of a band of level d is levels - d + 1; LL's is 0.
        const size_t r = orientation == JTKE_LL ? 0 : static_cast<size_t>(levels_ - level + 1);
        const size_t b = orientation == JTKE_LL ? 0 : static_cast<size_t>(orientation - 1);
        BandRow(comps_[c].res[r].bands[b], y, row);
      };
      if (reversible_) {
        iwave_.emplace_back();
        iwave_.back().Start(w, h, levels_, sink);
      } else {
        fwave_.emplace_back();
        fwave_.back().Start(w, h, levels_, sink);
      }
    }
    row_.resize(static_cast<size_t>(w));
    frow_.resize(reversible_ ? 0 : static_cast<size_t>(w));
  }

  // The next row of the picture: each component's width of samples, one
  // component after the other. Level shift and colour transform, then
  // the wavelet, which codes every row of code-blocks it completes.
  void Row(const int32_t *samples) {
    const size_t w = static_cast<size_t>(image_.width);
    const int32_t shift = image_.comp[0].is_signed ? 0 : 1 << (image_.comp[0].precision - 1);
    const int32_t *r = samples;
    const int32_t *g = mct_ ? samples + w : nullptr;
    const int32_t *b = mct_ ? samples + 2 * w : nullptr;
    for (int32_t c = 0; c < image_.components; ++c) {
      const int32_t *self = samples + static_cast<size_t>(c) * w;
      if (reversible_) {
        int32_t *o = row_.data();
        if (!mct_) {
          for (size_t i = 0; i < w; ++i) o[i] = self[i] - shift;
        } else if (c == 0) {
          for (size_t i = 0; i < w; ++i) o[i] = (r[i] + 2 * g[i] + b[i] - 4 * shift) >> 2;
        } else {
          const int32_t *x = c == 1 ? b : r;
          for (size_t i = 0; i < w; ++i) o[i] = x[i] - g[i];
        }
        iwave_[static_cast<size_t>(c)].Push(o);
      } else {
        float *o = frow_.data();
        const float s = static_cast<float>(shift);
        if (!mct_) {
          for (size_t i = 0; i < w; ++i) o[i] = static_cast<float>(self[i]) - s;
        } else {
          static const float kM[3][3] = {{0.299f, 0.587f, 0.114f},
                                         {-0.16875f, -0.331260f, 0.5f},
                                         {0.5f, -0.41869f, -0.08131f}};
          const float *m = kM[c];
          for (size_t i = 0; i < w; ++i)
            o[i] = m[0] * (static_cast<float>(r[i]) - s) + m[1] * (static_cast<float>(g[i]) - s) +
                   m[2] * (static_cast<float>(b[i]) - s);
        }
        fwave_[static_cast<size_t>(c)].Push(o);
      }
    }
    ++rows_;
  }

  bool Complete() const { return rows_ == image_.height; }

  // Once every row is in: the rate control, then the file through
  // write. The packets go out straight from the blocks' bytes, after a
  // first walk has counted them for the tile-part's length. False when
  // write fails.
  bool Finish(JtkWriteTp write, void *arg) {
    std::vector<JtkeWavelet<int32_t>>().swap(iwave_);
    std::vector<JtkeWavelet<float>>().swap(fwave_);
    std::vector<int32_t>().swap(row_);
    std::vector<float>().swap(frow_);
    PickGuardBits();
    const uint64_t body = Allocate();
    std::vector<uint8_t> cs;
    MainHeader(&cs);
    // One tile-part: SOT, SOD, the packets.
    IfuAppendBe16(&cs, 0xFF90);
    IfuAppendBe16(&cs, 10);
    IfuAppendBe16(&cs, 0);
    const uint64_t psot = 14 + body;
    IfuAppendBe32(&cs, psot > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(psot));
    cs.push_back(0);
    cs.push_back(1);
    IfuAppendBe16(&cs, 0xFF93);
    std::vector<uint8_t> head;
    if (jp2_) Boxes(&head, cs.size() + body + 2);
    Out out{write, arg};
    out.Put(head.data(), head.size());
    out.Put(cs.data(), cs.size());
    Packets(out);
    const uint8_t eoc[2] = {0xFF, 0xD9};
    out.Put(eoc, 2);
    return !out.failed;
  }

 private:
  // Bands and code-blocks of every component.
  void Layout() {
    comps_.resize(static_cast<size_t>(image_.components));
    const int32_t prec = image_.comp[0].precision;
    for (int32_t c = 0; c < image_.components; ++c) {
      Component &comp = comps_[c];
      comp.res.resize(static_cast<size_t>(levels_) + 1);
      // Sizes of the low band after each level.
      std::vector<int32_t> lw(levels_ + 1), lh(levels_ + 1);
      lw[0] = image_.width;
      lh[0] = image_.height;
      for (int32_t l = 1; l <= levels_; ++l) {
        lw[l] = (lw[l - 1] + 1) / 2;
        lh[l] = (lh[l - 1] + 1) / 2;
      }
      auto add = [&](Resolution &r, int32_t orientation, int32_t level, int32_t w, int32_t h) {
        Band b;
        b.orientation = orientation;
        b.level = level;
        b.w = w;
        b.h = h;
        b.bw = (w + cbw_ - 1) / cbw_;
        b.bh = (h + cbh_ - 1) / cbh_;
        for (int32_t by = 0; by < b.bh; ++by)
          for (int32_t bx = 0; bx < b.bw; ++bx) {
            Block k;
            k.x0 = bx * cbw_;
            k.y0 = by * cbh_;
            k.w = std::min(cbw_, w - k.x0);
            k.h = std::min(cbh_, h - k.y0);
            b.blocks.push_back(std::move(k));
          }
        const double energy = JtkeBandEnergy(reversible_, orientation, level);
        const int32_t gain = orientation == JTKE_LL ? 0 : orientation == JTKE_HH ? 2 : 1;
        const int32_t range = prec + gain;
        if (reversible_) {
          b.exponent = range;
          b.step = 1;
        } else {
          // Steps inversely proportional to the synthesis norm make one
          // step of every band cost the same error in the image. Half a
          // sample of 8 bits keeps rich rates near lossless; below one bit
          // a sample the truncation leaves errors far above the step, and
          // coarser steps spare coding bit-planes that would be cut off.
          const double per_sample = rate_ / image_.components;
          const double base = 0.5 * std::min(4.0, std::max(1.0, 1.0 / per_sample));
          const double wanted = base * std::ldexp(1.0, prec - 8) / std::sqrt(energy);
          const double x = wanted / std::ldexp(1.0, range);
          int32_t e = static_cast<int32_t>(std::ceil(-std::log2(x)));
          if (std::ldexp(x, e) < 1) ++e;
          if (std::ldexp(x, e) >= 2) --e;
          e = std::max(0, std::min(31, e));
          int32_t m = static_cast<int32_t>(std::lround((std::ldexp(x, e) - 1) * 2048));
          m = std::max(0, std::min(2047, m));
          b.exponent = e;
          b.mantissa = m;
          b.step = std::ldexp(1.0 + m / 2048.0, range - e);
        }
        b.weight = energy * b.step * b.step * ComponentWeight(c);
        r.bands.push_back(std::move(b));
      };
      add(comp.res[0], JTKE_LL, levels_, lw[levels_], lh[levels_]);
      for (int32_t r = 1; r <= levels_; ++r) {
        const int32_t d = levels_ - r + 1;  // level of this resolution's bands
        const int32_t w0 = lw[d - 1], h0 = lh[d - 1], w1 = lw[d], h1 = lh[d];
        add(comp.res[r], JTKE_HL, d, w0 - w1, h1);
        add(comp.res[r], JTKE_LH, d, w1, h0 - h1);
        add(comp.res[r], JTKE_HH, d, w0 - w1, h0 - h1);
      }
      for (int32_t r = 0; r <= levels_; ++r)
        Partition(&comp.res[r], r, lw[levels_ - r], lh[levels_ - r]);
    }
  }

  // The precincts of resolution r, of rw x rh samples: 2^15 of the
  // resolution across and down, which is 2^14 of each band above the
  // lowest resolution. Code-blocks never straddle them, being no larger.
  void Partition(Resolution *res, int32_t r, int32_t rw, int32_t rh) {
    const int32_t size = int32_t{1} << kPrecinctBits;
    res->px = (rw + size - 1) / size;
    res->py = (rh + size - 1) / size;
    const int32_t part = r == 0 ? size : size / 2;
    // Code-blocks [first, end) of the band's side that lie in precinct p.
    auto span = [part](int32_t p, int32_t side, int32_t block, int32_t *first, int32_t *count) {
      const int32_t lo = std::min(p * part, side), hi = std::min((p + 1) * part, side);
      *first = lo / block;
      *count = hi > lo ? (hi + block - 1) / block - *first : 0;
    };
    for (Band &b : res->bands) {
      b.precincts.resize(static_cast<size_t>(res->px) * res->py);
      for (int32_t py = 0; py < res->py; ++py)
        for (int32_t px = 0; px < res->px; ++px) {
          PrecinctPart &pp = b.precincts[static_cast<size_t>(py) * res->px + px];
          span(px, b.w, cbw_, &pp.bx0, &pp.bw);
          span(py, b.h, cbh_, &pp.by0, &pp.bh);
        }
    }
  }

  // How much a unit error of a transformed component costs in the sum of
  // squared errors of the image's components.
  double ComponentWeight(int32_t c) const {
    if (!mct_) return 1;
    if (reversible_) return c == 0 ? 3 : 11.0 / 16;
    static const double kIct[3] = {3.0, 0.34413 * 0.34413 + 1.772 * 1.772,
                                   1.402 * 1.402 + 0.71414 * 0.71414};
    return kIct[c];
  }

  // Row y of a band into its strip of code-block rows; a full strip (or
  // the band's last row) codes its row of code-blocks, and the strip is
  // let go after the last.
  template <typename T>
  void BandRow(Band &band, int32_t y, const T *row) {
    std::vector<T> &strip = StripOf(band, row);
    const size_t w = static_cast<size_t>(band.w);
    if (strip.empty()) strip.resize(w * static_cast<size_t>(std::min(cbh_, band.h)));
    std::copy(row, row + w, strip.data() + static_cast<size_t>(y % cbh_) * w);
    if (y % cbh_ != cbh_ - 1 && y != band.h - 1) return;
    Block *k = band.blocks.data() + static_cast<size_t>(y / cbh_) * band.bw;
    for (int32_t x = 0; x < band.bw; ++x, ++k) CodeBlock(band, *k, strip.data() + k->x0, w);
    if (y == band.h - 1) std::vector<T>().swap(strip);
  }
  // The block's samples from `at`, rows `stride` apart, through the
  // bit-plane coder (quantised first in lossy coding).
  void CodeBlock(const Band &band, Block &k, const int32_t *at, size_t stride) {
    const size_t n = static_cast<size_t>(k.w) * k.h;
    magnitude_.resize(n);
    negative_.resize(n);
    {
      for (int32_t y = 0; y < k.h; ++y) {
        const int32_t *row = at + y * stride;
        for (int32_t x = 0; x < k.w; ++x) {
          const int32_t v = row[x];
          magnitude_[y * k.w + x] = static_cast<uint32_t>(v < 0 ? -v : v);
          negative_[y * k.w + x] = v < 0;
        }
      }
      coder_.Code(magnitude_.data(), negative_.data(), k.w, k.h, band.orientation, 0, layers_ > 1,
                  &k.coded);
    }
    Hull(band, k);
  }

  void CodeBlock(const Band &band, Block &k, const float *at, size_t stride) {
    const size_t n = static_cast<size_t>(k.w) * k.h;
    magnitude_.resize(n);
    negative_.resize(n);
    {
      const float scale = static_cast<float>(std::ldexp(1.0, kFraction) / band.step);
      const float top = 4294967040.0f;  // the largest float below 2^32
      for (int32_t y = 0; y < k.h; ++y) {
        const float *row = at + y * stride;
        for (int32_t x = 0; x < k.w; ++x) {
          const float v = row[x] * scale;
          const float a = std::min(std::fabs(v), top);
          magnitude_[y * k.w + x] = static_cast<uint32_t>(a);
          negative_[y * k.w + x] = v < 0;
        }
      }
      coder_.Code(magnitude_.data(), negative_.data(), k.w, k.h, band.orientation, kFraction, true,
                  &k.coded);
    }
    Hull(band, k);
  }

  // The convex hull of the (length, error removed) cut points, for the
  // rate control.
  static void Hull(const Band &band, Block &k) {
    k.hull.clear();
    k.slope.clear();
    const std::vector<uint32_t> &len = k.coded.length;
    const std::vector<double> &gain = k.coded.gain;
    double last_len = 0, last_gain = 0;
    for (int32_t p = 1; p <= static_cast<int32_t>(len.size()); ++p) {
      const double dl = len[p - 1] - last_len, dg = (gain[p - 1] - last_gain) * band.weight;
      if (dg <= 0) continue;
      double s = dl > 0 ? dg / dl : HUGE_VAL;
      // Drop earlier points the new one makes concave.
      while (!k.hull.empty() && s >= k.slope.back()) {
        k.hull.pop_back();
        k.slope.pop_back();
        const int32_t q = k.hull.empty() ? 0 : k.hull.back();
        const double ql = q ? len[q - 1] : 0, qg = q ? gain[q - 1] * band.weight : 0;
        const double l2 = len[p - 1] - ql, g2 = gain[p - 1] * band.weight - qg;
        s = l2 > 0 ? g2 / l2 : HUGE_VAL;
      }
      k.hull.push_back(p);
      k.slope.push_back(s);
      last_len = len[p - 1];
      last_gain = gain[p - 1];
    }
    // A large page holds many blocks until its packets are written: they
    // keep only what the rate control and the packets read.
    std::vector<double>().swap(k.coded.gain);
    k.coded.length.shrink_to_fit();
  }

  // Guard bits so that every band's count of magnitude planes holds.
  void PickGuardBits() {
    guard_ = 2;
    for (const Component &c : comps_)
      for (const Resolution &r : c.res)
        for (const Band &b : r.bands)
          for (const Block &k : b.blocks)
            guard_ = std::max(guard_, k.coded.planes - b.exponent + 1);
    guard_ = std::min(guard_, 7);
  }

  // Passes of a block kept at slope threshold lambda (0: all).
  static int32_t CutAt(const Block &k, double lambda) {
    if (lambda <= 0) return static_cast<int32_t>(k.coded.length.size());
    // Slopes fall along the hull: the last one at or above lambda.
    auto it = std::upper_bound(k.slope.begin(), k.slope.end(), lambda, std::greater<double>());
    const size_t i = static_cast<size_t>(it - k.slope.begin());
    return i ? k.hull[i - 1] : 0;
  }

  template <typename Fn>
  void ForEachBlock(Fn fn) {
    for (Component &c : comps_)
      for (Resolution &r : c.res)
        for (Band &b : r.bands)
          for (Block &k : b.blocks) fn(k);
  }

  uint64_t DataBytes(double lambda) {
    uint64_t total = 0;
    ForEachBlock([&](Block &k) {
      const int32_t p = CutAt(k, lambda);
      if (p) total += k.coded.length[p - 1];
    });
    return total;
  }

  // The threshold whose data stays within budget bytes, no higher than
  // ceiling.
  double Threshold(double budget, double ceiling) {
    if (static_cast<double>(DataBytes(0)) <= budget) return 0;
    double lo = 0, hi = ceiling;  // DataBytes(hi) fits
    if (!(hi < HUGE_VAL)) {
      hi = 1;
      while (static_cast<double>(DataBytes(hi)) > budget && hi < 1e300) hi *= 16;
    }
    // Bisection on the logarithm of the slope.
    double llo = lo > 0 ? std::log(lo) : std::log(hi) - 80, lhi = std::log(hi);
    for (int i = 0; i < 48; ++i) {
      const double mid = 0.5 * (llo + lhi);
      if (static_cast<double>(DataBytes(std::exp(mid))) <= budget)
        lhi = mid;
      else
        llo = mid;
    }
    return std::exp(lhi);
  }

  // Chooses the cut of every block in every layer so that the codestream
  // meets the rate; the bytes of the packets.
  uint64_t Allocate() {
    std::vector<uint8_t> header;
    MainHeader(&header);
    const double fixed = static_cast<double>(header.size()) + 14 + 2;
    double target;
    if (reversible_) {
      target = static_cast<double>(DataBytes(0));
    } else {
      target = rate_ * static_cast<double>(image_.width) * static_cast<double>(image_.height) / 8;
    }
    // Data budget of the last layer; earlier layers get their share of it.
    double budget = target - fixed;
    uint64_t size = 0;
    for (int round = 0; round < 8; ++round) {
      std::vector<double> lambda(static_cast<size_t>(layers_));
      double ceiling = HUGE_VAL;
      for (int32_t l = 0; l < layers_; ++l) {
        if (l == layers_ - 1 && reversible_) {
          lambda[l] = 0;
          break;
        }
        const double share = std::ldexp(reversible_ ? target : budget, -(layers_ - 1 - l));
        lambda[l] = Threshold(std::max(share, 0.0), ceiling);
        ceiling = lambda[l] > 0 ? lambda[l] : ceiling;
      }
      ForEachBlock([&](Block &k) {
        k.cut.resize(static_cast<size_t>(layers_));
        int32_t prev = 0;
        for (int32_t l = 0; l < layers_; ++l) prev = k.cut[l] = std::max(prev, CutAt(k, lambda[l]));
      });
      Out count;
      Packets(count);
      size = count.size;
      if (reversible_) break;
      const double total = fixed + static_cast<double>(size);
      if (total <= target || budget <= 0) break;
      // The packet headers took the excess: take it off the data kept.
      budget = std::min(budget, static_cast<double>(DataBytes(lambda[layers_ - 1]))) -
               (total - target) - 1;
    }
    return size;
  }

  // The packets in the order of the progression. With one tile at the
  // origin and components of one size, the positions a progression walks
  // are the corners of the precincts of the finest resolution; a position
  // belongs to resolution r when it is a corner of that resolution's
  // precincts too (every 2^(15 + levels - r) samples of the image).
  void Packets(Out &body) {
    for (Component &c : comps_)
      for (Resolution &r : c.res)
        for (Band &b : r.bands) {
          for (PrecinctPart &pp : b.precincts) {
            pp.inclusion.Reset(std::max(pp.bw, 1), std::max(pp.bh, 1));
            pp.zero_planes.Reset(std::max(pp.bw, 1), std::max(pp.bh, 1));
          }
          for (Block &k : b.blocks) {
            k.lblock = 3;
            k.included = false;
          }
          const int32_t mb = guard_ + b.exponent - 1;
          for (PrecinctPart &pp : b.precincts)
            for (int32_t y = 0; y < pp.bh; ++y)
              for (int32_t x = 0; x < pp.bw; ++x) {
                const Block &k = b.blocks[static_cast<size_t>(pp.by0 + y) * b.bw + pp.bx0 + x];
                int32_t first = layers_;
                for (int32_t l = 0; l < layers_; ++l)
                  if (k.cut[l] > 0) {
                    first = l;
                    break;
                  }
                pp.inclusion.Set(x, y, first);
                pp.zero_planes.Set(x, y, mb - k.coded.planes);
              }
        }
    const int32_t nc = image_.components, nr = levels_ + 1;
    auto packet = [&](int32_t l, int32_t r, int32_t c, int32_t p) {
      Packet(l, comps_[c].res[r], p, body);
    };
    auto precincts = [&](int32_t r) { return comps_[0].res[r].px * comps_[0].res[r].py; };
    // The precinct of resolution r at the position (x, y), or -1.
    const int64_t step = int64_t{1} << kPrecinctBits;
    auto at = [&](int32_t r, int64_t x, int64_t y) -> int32_t {
      const int32_t shift = kPrecinctBits + levels_ - r;
      const int64_t mask = (int64_t{1} << shift) - 1;
      if ((x & mask) || (y & mask)) return -1;
      return static_cast<int32_t>((y >> shift) * comps_[0].res[r].px + (x >> shift));
    };
    auto positions = [&](auto fn) {
      for (int64_t y = 0; y < image_.height; y += step)
        for (int64_t x = 0; x < image_.width; x += step) fn(x, y);
    };
    switch (progression_) {
      case JTK_RLCP:
        for (int32_t r = 0; r < nr; ++r)
          for (int32_t l = 0; l < layers_; ++l)
            for (int32_t c = 0; c < nc; ++c)
              for (int32_t p = 0; p < precincts(r); ++p) packet(l, r, c, p);
        break;
      case JTK_RPCL:
        for (int32_t r = 0; r < nr; ++r)
          for (int32_t p = 0; p < precincts(r); ++p)
            for (int32_t c = 0; c < nc; ++c)
              for (int32_t l = 0; l < layers_; ++l) packet(l, r, c, p);
        break;
      case JTK_PCRL:
        positions([&](int64_t x, int64_t y) {
          for (int32_t c = 0; c < nc; ++c)
            for (int32_t r = 0; r < nr; ++r)
              if (const int32_t p = at(r, x, y); p >= 0)
                for (int32_t l = 0; l < layers_; ++l) packet(l, r, c, p);
        });
        break;
      case JTK_CPRL:
        for (int32_t c = 0; c < nc; ++c)
          positions([&](int64_t x, int64_t y) {
            for (int32_t r = 0; r < nr; ++r)
              if (const int32_t p = at(r, x, y); p >= 0)
                for (int32_t l = 0; l < layers_; ++l) packet(l, r, c, p);
          });
        break;
      default:
        for (int32_t l = 0; l < layers_; ++l)
          for (int32_t r = 0; r < nr; ++r)
            for (int32_t c = 0; c < nc; ++c)
              for (int32_t p = 0; p < precincts(r); ++p) packet(l, r, c, p);
        break;
    }
  }

  // The packet of layer l of precinct p of a resolution.
  void Packet(int32_t l, Resolution &res, int32_t p, Out &out) {
    auto passes = [l](const Block &k) { return k.cut[l] - (l ? k.cut[l - 1] : 0); };
    // The code-blocks of the precinct, band by band, row by row.
    auto each = [&res, p](auto fn) {
      for (Band &b : res.bands) {
        PrecinctPart &pp = b.precincts[static_cast<size_t>(p)];
        for (int32_t y = 0; y < pp.bh; ++y)
          for (int32_t x = 0; x < pp.bw; ++x)
            fn(b, pp, x, y, b.blocks[static_cast<size_t>(pp.by0 + y) * b.bw + pp.bx0 + x]);
      }
    };
    bool any = false;
    each([&](Band &, PrecinctPart &, int32_t, int32_t, Block &k) { any = any || passes(k) > 0; });
    header_.clear();
    HeaderBits bits(&header_);
    if (!any) {
      bits.Put(0);
      bits.Finish();
      out.Put(header_.data(), header_.size());
      return;
    }
    bits.Put(1);
    auto put = [&bits](int bit) { bits.Put(bit); };
    each([&](Band &b, PrecinctPart &pp, int32_t x, int32_t y, Block &k) {
      const int32_t n = passes(k);
      if (!k.included) {
        pp.inclusion.Encode(x, y, l + 1, put);
        if (n == 0) return;
        const int32_t mb = guard_ + b.exponent - 1;
        pp.zero_planes.Encode(x, y, mb - k.coded.planes + 1, put);
        k.included = true;
      } else {
        bits.Put(n > 0);
        if (n == 0) return;
      }
      PutPassCount(bits, n);
      const uint32_t from = l && k.cut[l - 1] ? k.coded.length[k.cut[l - 1] - 1] : 0;
      const uint32_t length = k.coded.length[k.cut[l] - 1] - from;
      int32_t width = k.lblock + FloorLog2(static_cast<uint32_t>(n));
      while (length >> width) {
        bits.Put(1);
        ++k.lblock;
        ++width;
      }
      bits.Put(0);
      bits.Put(length, width);
    });
    bits.Finish();
    out.Put(header_.data(), header_.size());
    each([&](Band &, PrecinctPart &, int32_t, int32_t, Block &k) {
      const int32_t n = passes(k);
      if (n == 0) return;
      const uint32_t from = l && k.cut[l - 1] ? k.coded.length[k.cut[l - 1] - 1] : 0;
      const uint32_t to = k.coded.length[k.cut[l] - 1];
      out.Put(k.coded.data.data() + from, to - from);
    });
  }

  void MainHeader(std::vector<uint8_t> *o) {
    const int32_t nc = image_.components;
    IfuAppendBe16(o, 0xFF4F);
    // SIZ: image and tile at the origin, one tile.
    IfuAppendBe16(o, 0xFF51);
    IfuAppendBe16(o, static_cast<uint16_t>(38 + 3 * nc));
    IfuAppendBe16(o, 0);
    IfuAppendBe32(o, static_cast<uint32_t>(image_.width));
    IfuAppendBe32(o, static_cast<uint32_t>(image_.height));
    IfuAppendBe32(o, 0);
    IfuAppendBe32(o, 0);
    IfuAppendBe32(o, static_cast<uint32_t>(image_.width));
    IfuAppendBe32(o, static_cast<uint32_t>(image_.height));
    IfuAppendBe32(o, 0);
    IfuAppendBe32(o, 0);
    IfuAppendBe16(o, static_cast<uint16_t>(nc));
    for (int32_t c = 0; c < nc; ++c) {
      o->push_back(static_cast<uint8_t>((image_.comp[c].precision - 1) |
                                        (image_.comp[c].is_signed ? 0x80 : 0)));
      o->push_back(1);
      o->push_back(1);
    }
    // COD.
    IfuAppendBe16(o, 0xFF52);
    IfuAppendBe16(o, 12);
    o->push_back(0);
    o->push_back(static_cast<uint8_t>(progression_));
    IfuAppendBe16(o, static_cast<uint16_t>(layers_));
    o->push_back(mct_ ? 1 : 0);
    o->push_back(static_cast<uint8_t>(levels_));
    o->push_back(static_cast<uint8_t>(FloorLog2(static_cast<uint32_t>(cbw_)) - 2));
    o->push_back(static_cast<uint8_t>(FloorLog2(static_cast<uint32_t>(cbh_)) - 2));
    o->push_back(0);
    o->push_back(reversible_ ? 1 : 0);
    // QCD: one exponent per band for reversible coding, exponent and
    // mantissa for the 9-7 steps.
    const int32_t bands = 3 * levels_ + 1;
    IfuAppendBe16(o, 0xFF5C);
    IfuAppendBe16(o, static_cast<uint16_t>(3 + (reversible_ ? bands : 2 * bands)));
    o->push_back(static_cast<uint8_t>(guard_ << 5 | (reversible_ ? 0 : 2)));
    for (const Resolution &r : comps_.empty() ? std::vector<Resolution>() : comps_[0].res)
      for (const Band &b : r.bands) {
        if (reversible_)
          o->push_back(static_cast<uint8_t>(b.exponent << 3));
        else
          IfuAppendBe16(o, static_cast<uint16_t>(b.exponent << 11 | b.mantissa));
      }
    // COM: who made the file (Latin text).
    static const char kComment[] = "pvview";
    IfuAppendBe16(o, 0xFF64);
    IfuAppendBe16(o, static_cast<uint16_t>(4 + sizeof kComment - 1));
    IfuAppendBe16(o, 1);
    o->insert(o->end(), kComment, kComment + sizeof kComment - 1);
  }

  // The JP2 boxes up to the codestream box's header.
  void Boxes(std::vector<uint8_t> *o, size_t codestream) {
    auto tag = [o](const char *t) { o->insert(o->end(), t, t + 4); };
    IfuAppendBe32(o, 12);
    tag("jP  ");
    IfuAppendBe32(o, 0x0D0A870A);
    IfuAppendBe32(o, 20);
    tag("ftyp");
    tag("jp2 ");
    IfuAppendBe32(o, 0);
    tag("jp2 ");
    IfuAppendBe32(o, 8 + 22 + 15);
    tag("jp2h");
    IfuAppendBe32(o, 22);
    tag("ihdr");
    IfuAppendBe32(o, static_cast<uint32_t>(image_.height));
    IfuAppendBe32(o, static_cast<uint32_t>(image_.width));
    IfuAppendBe16(o, static_cast<uint16_t>(image_.components));
    o->push_back(static_cast<uint8_t>((image_.comp[0].precision - 1) |
                                      (image_.comp[0].is_signed ? 0x80 : 0)));
    o->push_back(7);  // the only compression type of JP2
    o->push_back(0);  // colour space known
    o->push_back(0);  // no intellectual property box
    IfuAppendBe32(o, 15);
    tag("colr");
    o->push_back(1);  // enumerated colour space
    o->push_back(0);
    o->push_back(0);
    IfuAppendBe32(o, image_.components == 3 ? 16 : 17);  // sRGB or greyscale
    const uint64_t box = 8 + static_cast<uint64_t>(codestream);
    IfuAppendBe32(o, box > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(box));
    tag("jp2c");
  }

  std::vector<JtkComponentTp> comp_;  // the geometry, without planes
  JtkImageTp image_{};
  bool reversible_, jp2_, mct_;
  double rate_;
  int32_t layers_, levels_, cbw_, cbh_, progression_;
  int32_t guard_ = 2;
  int32_t rows_ = 0;  // rows pushed
  std::vector<Component> comps_;
  // Per component, the wavelet of its kind, and the row being transformed.
  std::vector<JtkeWavelet<int32_t>> iwave_;
  std::vector<JtkeWavelet<float>> fwave_;
  std::vector<int32_t> row_;
  std::vector<float> frow_;
  std::vector<uint32_t> magnitude_;
  std::vector<uint8_t> negative_;
  std::vector<uint8_t> header_;  // the packet header being made
  JtkeBlockCoder coder_;
};

}  // namespace

struct JtkEncoderTp {
  std::unique_ptr<Encoder> encoder;
  bool failed = false;  // a row failed: only closing is left
};

namespace {

const char kOpen[] = "JtkOpenEncoder";
const char kRow[] = "JtkEncodeRow";
const char kFinish[] = "JtkFinishEncoder";

}  // namespace

int32_t JtkOpenEncoder(JtkContextTp *context, const JtkParamTp *param, const JtkImageTp *geometry,
                       JtkEncoderTp **encoder) {
  if (!JtkValidContext(context)) return JtkReport(context, kOpen, JTK_E_PARAM);
  if (!encoder) return JtkReport(context, kOpen, JTK_E_COMPRESS_PARAM);
  *encoder = nullptr;
  if (!param || !geometry || !Encoder::Valid(*param, *geometry))
    return JtkReport(context, kOpen, JTK_E_COMPRESS_PARAM);
  try {
    std::unique_ptr<JtkEncoderTp> e(new JtkEncoderTp);
    e->encoder.reset(new Encoder(*param, *geometry));
    e->encoder->Start();
    *encoder = e.release();
  } catch (const std::bad_alloc &) {
    return JtkReport(context, kOpen, JTK_E_MEMORY);
  } catch (const std::length_error &) {
    return JtkReport(context, kOpen, JTK_E_MEMORY);
  }
  return 0;
}

int32_t JtkEncodeRow(JtkContextTp *context, JtkEncoderTp *encoder, const int32_t *row) {
  if (!JtkValidContext(context)) return JtkReport(context, kRow, JTK_E_PARAM);
  if (!encoder || !encoder->encoder || encoder->failed || !row || encoder->encoder->Complete())
    return JtkReport(context, kRow, JTK_E_COMPRESS_PARAM);
  try {
    encoder->encoder->Row(row);
  } catch (const std::exception &) {
    encoder->failed = true;
    return JtkReport(context, kRow, JTK_E_MEMORY);
  }
  return 0;
}

int32_t JtkFinishEncoder(JtkContextTp *context, JtkEncoderTp *encoder, JtkWriteTp write,
                         void *arg) {
  if (!JtkValidContext(context)) return JtkReport(context, kFinish, JTK_E_PARAM);
  if (!encoder || !encoder->encoder || encoder->failed || !write || !encoder->encoder->Complete())
    return JtkReport(context, kFinish, JTK_E_COMPRESS_PARAM);
  bool written = false;
  try {
    written = encoder->encoder->Finish(write, arg);
  } catch (const std::exception &) {
    encoder->encoder.reset();
    return JtkReport(context, kFinish, JTK_E_MEMORY);
  }
  encoder->encoder.reset();
  return written ? 0 : JtkReport(context, kFinish, JTK_E_FILE_WRITE);
}

void JtkCloseEncoder(JtkEncoderTp **encoder) {
  if (!encoder) return;
  delete *encoder;
  *encoder = nullptr;
}

// The planes row by row through the row encoder.
int32_t Jp2Compress(JtkContextTp *context, const JtkParamTp *param, const JtkImageTp *image,
                    JtkWriteTp write, void *arg) {
  if (!JtkValidContext(context)) return JtkReport(context, kEntry, JTK_E_PARAM);
  bool valid = param && image && write && Encoder::Valid(*param, *image);
  for (int32_t c = 0; valid && c < image->components; ++c) valid = image->comp[c].data != nullptr;
  if (!valid) return JtkReport(context, kEntry, JTK_E_COMPRESS_PARAM);
  bool written = false;
  try {
    Encoder encoder(*param, *image);
    encoder.Start();
    const size_t w = static_cast<size_t>(image->width);
    std::vector<int32_t> row(w * static_cast<size_t>(image->components));
    for (int32_t y = 0; y < image->height; ++y) {
      for (int32_t c = 0; c < image->components; ++c) {
        const int32_t *from = image->comp[c].data + static_cast<size_t>(y) * w;
        std::copy(from, from + w, row.data() + static_cast<size_t>(c) * w);
      }
      encoder.Row(row.data());
    }
    written = encoder.Finish(write, arg);
  } catch (const std::bad_alloc &) {
    return JtkReport(context, kEntry, JTK_E_MEMORY);
  } catch (const std::length_error &) {
    return JtkReport(context, kEntry, JTK_E_MEMORY);
  }
  return written ? 0 : JtkReport(context, kEntry, JTK_E_FILE_WRITE);
}
