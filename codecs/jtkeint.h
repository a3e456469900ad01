// What the parts of the JPEG 2000 encoder share: the bit-plane coder of
// one code-block with its MQ coder, and the forward wavelets.
#ifndef PV_CODECS_JTKEINT_H
#define PV_CODECS_JTKEINT_H

#include <cstdint>
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

// Forward wavelet of `levels` levels over a w x h plane (row stride
// `stride`), in place; each level leaves the low band in the top-left
// corner, HL right of it, LH below, HH diagonal. `scratch` grows as needed.
void JtkeForward53(int32_t *plane, int32_t w, int32_t h, size_t stride, int32_t levels,
                   std::vector<int32_t> *scratch);
void JtkeForward97(float *plane, int32_t w, int32_t h, size_t stride, int32_t levels,
                   std::vector<float> *scratch);

// The energy gain of one sample of a band of level `level` (1 the finest;
// LL of the last level has its level) when it is synthesised back to the
// image: the squared norm of its synthesis basis function.
double JtkeBandEnergy(bool reversible, int32_t orientation, int32_t level);

#endif
