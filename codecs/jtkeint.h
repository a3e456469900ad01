// What the parts of the JPEG 2000 encoder share: the bit-plane coder of
// one code-block with its MQ coder, and the forward wavelets.
#ifndef PV_CODECS_JTKEINT_H
#define PV_CODECS_JTKEINT_H

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "jtkint.h"

// Sub-band orientations, in the order the bands of a resolution are coded.
enum { JTKE_LL = 0, JTKE_HL = 1, JTKE_LH = 2, JTKE_HH = 3 };

// One coded code-block: its bytes and, after each coding pass, the length
// a decoder needs to decode up to that pass and the squared error removed
// so far (in squared quantisation steps).
struct JtkeCodedBlockTp {
  int32_t planes = 0;  // magnitude bit-planes holding a 1
  std::vector<uint8_t> data;
  std::vector<uint32_t> length;
  std::vector<double> gain;
};

// Codes code-blocks one after the other; keeps its working arrays between
// blocks so that a tile costs one allocation of each.
class JtkeBlockCoder {
 public:
  // magnitude: w x h magnitudes with `fraction` bits below the integer
  // quantisation index; negative: their signs. w x h at most 4096. The
  // error removed by each pass is measured only when `measure` is set
  // (otherwise every gain is 0). Throws std::bad_alloc.
  void Code(const uint32_t *magnitude, const uint8_t *negative, int32_t w, int32_t h,
            int32_t orientation, int32_t fraction, bool measure, JtkeCodedBlockTp *out);

 private:
  std::vector<uint32_t> flags_;
  std::vector<uint8_t> bytes_;
};

// The forward wavelet of one component by rows: the component's rows go
// in from the top, and each band's rows come out from the top as soon as
// no later row changes them. Every level lifts columns, then rows (the
// 5-3 on int32_t, the 9-7 on float), and holds only the rows its vertical
// steps still need, a few rows of its width.
template <typename T>
class JtkeWavelet {
 public:
  // A row of a band: its level (1 the finest; LL of the last level has
  // that level, or 0 without levels), orientation and row in the band.
  // The row holds the band's width of samples and is valid during the call.
  using Sink = std::function<void(int32_t level, int32_t orientation, int32_t y, const T *row)>;
  // A w x h component of `levels` levels (each level keeps at least two
  // rows and columns). Throws std::bad_alloc.
  void Start(int32_t w, int32_t h, int32_t levels, Sink sink);
  // The next row of w samples.
  void Push(const T *row);

 private:
  struct Level {
    int32_t w = 0, h = 0;
    // Rows pushed, rows passed on, and the first row held.
    int32_t received = 0, emitted = 0, first = 0;
    std::deque<std::vector<T>> held;  // rows first .. received - 1
    std::deque<int8_t> valid;         // the last lifting step each reflects
    std::vector<std::vector<T>> spare;
    std::vector<T> line, split;  // the row lifted horizontally, then split
  };
  void PushAt(size_t at, const T *row);
  void Split(size_t at, int32_t r);
  std::vector<Level> levels_;
  Sink sink_;
  int32_t rows_ = 0;
};

// The energy gain of one sample of a band of level `level` (1 the finest;
// LL of the last level has its level) when it is synthesised back to the
// image: the squared norm of its synthesis basis function.
double JtkeBandEnergy(bool reversible, int32_t orientation, int32_t level);

#endif
