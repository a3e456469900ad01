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
  // Equal widths: the horizontal pass copies cols pixels from column
  // h_offset of each line it is given.
  bool same_width;
  int32_t h_offset;
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
  // For lines given as pieces, per output column: where its samples end,
  // what a run of value 1 under them adds up to, and what white gives.
  std::vector<int32_t> hend;
  std::vector<uint32_t> hunit;
  std::vector<uint32_t> hwhite;
  // Lines given as pieces are mostly white on a drawing: only the columns
  // they do not scale to white are kept (hspans: pairs of first and end
  // column, per held line) and added, as their difference from white; the
  // white is added back once per row from the weight of its lines.
  bool sparse;
  std::vector<int32_t> hspans[2];
  uint64_t white_weight;
} ImgStretchTp;

// A line of one-byte samples described by its pieces: runs of one value
// and stretches of literal samples, in line order, with the sums the
// horizontal pass needs. A reduced view of a large drawing, whose lines
// are mostly long runs, is then scaled at the cost of its runs rather
// than of its width.
struct ImgRunLineTp {
  struct PieceTp {
    int32_t end;      // exclusive
    int32_t value;    // the piece's one value, or -1 for literal samples
    int32_t literal;  // literal pieces: index of their first sample
    uint64_t before;  // sum of the samples before the piece
  };
  int32_t width = 0;
  uint64_t total = 0;  // sum of all samples
  std::vector<PieceTp> pieces;
  std::vector<uint8_t> samples;  // the literal samples
  std::vector<uint64_t> sums;    // sum of the line's samples before each literal sample
  // Set by the giver when these are still the samples of the line given
  // before (a raster line that reads as the one above): the scaler may
  // reuse what it made of that line. clear() resets it.
  bool repeated = false;

  void clear();
  // Appends n samples of v.
  void run(int32_t n, uint8_t v) {
    if (n <= 0) return;
    if (!pieces.empty() && pieces.back().value == v)
      pieces.back().end += n;
    else
      pieces.push_back(PieceTp{width + n, v, -1, total});
    width += n;
    total += static_cast<uint64_t>(v) * static_cast<uint64_t>(n);
  }
  void literals(const uint8_t *p, int32_t n);  // appends n samples
  // Appends n samples as they come from a line of bytes: stretches of 15
  // or more equal samples as runs (some shorter ones too, never below 8),
  // the rest as literals. Eight samples are compared at once, so a line
  // of a drawing costs a compare per eight samples and a piece per stroke.
  // A line more than half literal scales faster whole: then false, and
  // the pieces are left unfinished.
  bool bytes(const uint8_t *p, int32_t n);
  void reverse();                   // the line read from its end
  void expand(uint8_t *out) const;  // the samples, width bytes
};

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

// ImgStretchLine for a scaler of one byte per pixel whose source line
// comes as pieces (line->width must be the source width). Lines may come
// whole or as pieces in any mix, with the same results.
ReturnTp ImgStretchRunLine(ImgStretchTp *stretch, const ImgRunLineTp *line, uint8_t *out,
                           int *need_more, int *ready);

// From now on the scaler is given only the span of the source that its
// window reads: lines span_y .. span_y + span_lines - 1, each of
// span_width pixels starting at column span_x. The rows come out exactly
// as they would from the whole source, so that a view of a large picture
// costs what the view needs, not what the picture holds. Call it before
// the first line; span_x and span_y become 0.
void ImgStretchFromSpan(ImgStretchTp *stretch);

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
