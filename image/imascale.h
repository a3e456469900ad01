// The scaler: resamples a stream of lines of 1 to 4 bytes per pixel to an
// output size, one line at a time. It is separable: a horizontal pass turns
// each source line into a line of the output width, and a vertical pass
// combines consecutive horizontally scaled lines into output lines. Both
// passes follow a table of contributions per output position (`fillit`).
#ifndef PV_IMAGE_IMASCALE_H
#define PV_IMAGE_IMASCALE_H

#include <cstdint>
#include <memory>
#include <vector>

#include "common.h"

typedef enum {
  ImgScaleDontCare = 0,     // built as Averaging
  ImgScaleReplication = 1,  // nearest source sample
  ImgScaleBilinear = 4,     // two samples with linear weights
  ImgScaleAveraging = 8,    // area average; the default everywhere
  ImgScaleNoScaling = 9,    // not supported: stops at an assertion
  ImgScaleBigScale = 10     // not supported: stops at an assertion
} ImgScaleTp;

// The contribution of the source to one output position on one axis:
// samples first .. first + n - 1, weighted w1 (first), w2 (each middle one)
// and w3 (last) in units of 1/256. n is wider than 16 bits so that a
// reduction by more than 32767 cannot wrap.
typedef struct {
  uint32_t first;
  int32_t n;
  uint16_t w1, w2, w3;
} ImgContribTp;

typedef struct {
  ImgScaleTp method;
  int32_t lines_in;   // source lines given so far
  int32_t lines_out;  // output rows finished so far (within the window)
  int32_t src_width, src_lines;
  // The source columns and lines that the window reads at all.
  int32_t span_x, span_width, span_y, span_lines;
  int32_t out_width, out_lines;
  // The window of the output being produced.
  int32_t first_col, first_row, cols, rows;
  int32_t hwin, vwin;  // window sizes from fillit
  int32_t bpp;
  // Equal sizes and a method that maps every position onto itself: lines
  // pass through unchanged, and the tables and buffers below stay empty.
  bool identity;
  std::vector<ImgContribTp> htab;  // cols entries
  std::vector<ImgContribTp> vtab;  // rows entries
  // The two newest horizontally scaled lines (value x 256 per component)
  // and the source line each holds (-1 = empty).
  std::vector<uint32_t> hline[2];
  int32_t hline_src[2];
  // The row in progress: sum of weighted scaled lines, value x 65536.
  // 64 bits so that the plain sum of a very tall window cannot overflow.
  std::vector<uint64_t> acc;
} ImgStretchTp;

// The debug name of a method: "Method = DontCare", "Replicaton",
// "Bilinear", "Averaging", "NoScaling", "BigScale", "Method = Unknown".
const char *ImgScaleName(ImgScaleTp method);

// Builds the table of one axis: count entries for output positions first ..
// first + count - 1 of a source_size -> output_size scaling, and the number
// of scaled lines the vertical pass must hold (*window). NoScaling and
// BigScale stop at an assertion; an unknown method leaves the table zero.
void fillit(int32_t *window, ImgContribTp *table, int32_t source_size, int32_t output_size,
            ImgScaleTp method, int32_t first, int32_t count);

// Makes a scaler from src_width x src_lines to out_width x out_lines (0 =
// the source size) with bpp bytes per pixel (1..4), producing the window
// of cols x rows output pixels at (first_col, first_row) (0 = to the end
// of the output). With PVDEBUGSCALE in the environment the sizes and the
// method are reported.
ReturnTp ImgCreateStretch(ImgStretchTp **stretch, ImgScaleTp method, int32_t src_width,
                          int32_t src_lines, int32_t out_width, int32_t out_lines, int32_t bpp,
                          int32_t first_col = 0, int32_t first_row = 0, int32_t cols = 0,
                          int32_t rows = 0);

// The streaming step. src is a whole source line (src_width pixels); out
// receives cols pixels. On entry *need_more says that src is a new source
// line; otherwise the scaler goes on with the lines it holds. On return
// *need_more asks for the next source line and *ready says that out holds
// the next output row. Source lines are given in order from line 0; rows
// come out in order from first_row.
ReturnTp ImgStretchLine(ImgStretchTp *stretch, const uint8_t *src, uint8_t *out, int *need_more,
                        int *ready);

// Random access when the whole source is in memory (src_width x src_lines
// pixels, rows packed): makes output row `row` (counted in the whole
// output, inside the window) into out. It uses the scaler's work lines, so
// it must not be mixed with ImgStretchLine on the same scaler.
ReturnTp ImgStretchRow(ImgStretchTp *stretch, int32_t row, const uint8_t *src, uint8_t *out);

// Averages a whole buffer of src_width x src_lines pixels into one of
// out_width x out_lines pixels (rows packed, bpp bytes per pixel).
ReturnTp ImgStretchBuffer(const uint8_t *src, uint8_t *dst, int32_t src_width, int32_t src_lines,
                          int32_t out_width, int32_t out_lines, int32_t bpp);

// True when every line of one constant value comes out with that value:
// the weights of each output position add up to 256. Components are then
// scaled alike, so a gray page may be scaled on one byte per pixel with
// the same results as on display pixels.
bool ImgStretchKeepsLevel(const ImgStretchTp *stretch);

// Frees the scaler and nulls the pointer; a null scaler is left alone.
ReturnTp ImgReleaseStretch(ImgStretchTp **stretch);

struct ImgStretchDeleter {
  void operator()(ImgStretchTp *stretch) const { ImgReleaseStretch(&stretch); }
};
typedef std::unique_ptr<ImgStretchTp, ImgStretchDeleter> ImgStretchPtr;

#endif
