// Stamps and text labels composed into the output lines: the big stamp
// text across the picture (drawn by the pvgraphx renderer, or in process
// from a coverage picture), label texts drawn with a bitmap font, label
// specification files and the security-classification label.
#ifndef PV_IMAGE_IMATXT_H
#define PV_IMAGE_IMATXT_H

#include <cstdint>
#include <cstdio>
#include <vector>

#include "cmdopt.h"
#include "cmnerror.h"
#include "imatypes.h"

struct ImgControlBlockTp;
#include "imascale.h"
class ImgRaw;

// The built-in label font: 8 x 16 glyphs of code page 437, 16 bytes per
// character, one byte per row, leftmost pixel in the high bit.
extern const unsigned char PCFont[256 * 16];

// The label and stamp options shared by pvview and pvconvert.
#define IMG_STAMP_OPTION_ROWS                                                         \
  {"stamptext", 1, nullptr, "<textstring>"},                                          \
      {"stampcolor", 1, nullptr,                                                      \
       "<black | red | green | blue | magenta | cyan | yellow | white | inverse>"},   \
      {"stampweight", 1, nullptr, "<light | medium | heavy>"},                        \
      {"labeltext", 1, nullptr, "<textstring>"},                                      \
      {"labelposition", 1, nullptr,                                                   \
       "<topleft | topcenter | topright | bottomleft | bottomcenter | bottomright>"}, \
      {"labelspec", 4, nullptr, nullptr}, {                                           \
    "labelfile", 1, nullptr, nullptr                                                  \
  }

// One label specification (a linked list, in reading order).
struct ImgLabelSpecTp {
  ImgLabelSpecTp *next = nullptr;
  char *text = nullptr;  // owned; lines separated by newlines
  char *font = nullptr;  // owned; not used by the bitmap renderer
  int bold = 0, italic = 0;
  int adjust = 0;  // 0 left, 1 centre, 2 right
  double point_size = 15.0;
  double scale = 1.0;    // not used by the bitmap renderer
  int32_t x = 0, y = 0;  // thousandths of the output width and height
  uint32_t foreground = 0xFF000000u, background = 0xFFFFFFFFu;  // 0xAARRGGBB
};

// One rendered label, in the control block's list, newest first.
struct ImgLabelTp {
  ImgLabelTp *next = nullptr;
  std::vector<uint8_t> cover;  // coverage picture, 255 = ink
  int32_t cover_w = 0, cover_h = 0;
  ImgStretchTp *stretch = nullptr;                   // cover_w x cover_h to the label size
  int32_t left = 0, top = 0, right = 0, bottom = 0;  // output pixels, right/bottom exclusive
  double point_size = 0;
  uint32_t foreground = 0, background = 0;
  std::vector<uint8_t> row;  // one scaled coverage row
};

// The stamp's working state, owned by the control block.
struct ImgStampTp {
  ImgRaw *raster = nullptr;  // first method: the renderer's picture, turned with the page
  int32_t col = 0, row = 0;  // where the output window starts in it
  // Second method: coverage picture, its scaler and one scaled line.
  std::vector<uint8_t> cover;
  ImgStretchTp *stretch = nullptr;
  std::vector<uint8_t> line;
  int32_t line_row = -1;  // the row `line` holds for a zoomed view, -1 none
};

// The stamp and label settings read from the command line.
struct ImgStampOptionsTp {
  const char *stamptext = nullptr;
  uint32_t stampcolor = 0xFF000000u;
  bool stampinverse = false;
  int stampweight = 0;  // 0 medium, 1 light, 2 heavy
  const char *labeltext = nullptr;
  int labelposition = 5;  // 0 topleft ... 5 bottomright
  CmdValueNodeTp *labelspecs = nullptr;
};

// Reads the rows of IMG_STAMP_OPTION_ROWS ("labelfile" puts PVLABELFILE
// into the environment). A bad word ends the program.
void ImgReadStampOptions(CmdOptionTp *table, ImgStampOptionsTp *out);
// Copies the settings into an open block and appends the -labelspec
// specifications, echoing each to standard error.
void ImgCopyStampOptions(const ImgStampOptionsTp *in, ImgControlBlockTp *cb);

// The renderer's colour and weight names.
const char *ImgStampColorName(uint32_t color, bool inverse);
const char *ImgStampWeightName(int weight);
// The colour a PVSTAMPCOLOR value names (opaque black when none).
uint32_t ImgStampColorFromEnv(const char *value, bool *inverse);
// The paper the in-process stamp is drawn on, for a stamp of w x h.
void ImgStampPaperSize(int32_t w, int32_t h, int32_t text_length, int weight, int32_t *paper_w,
                       int32_t *paper_h);
// Draws the stamp text large and centred on a w x h paper (diagonally when
// it is larger that way) as coverage, 255 = ink; rows y0 .. y0 + rows - 1
// into out (w bytes each). Lines of the text are separated by newlines.
class ImgStampLayout {
 public:
  ImgStampLayout(const char *text, int weight, int32_t w, int32_t h);
  void row(int32_t y, uint8_t *out) const;
  bool diagonal() const { return diagonal_; }

 private:
  std::vector<uint8_t> bits_;  // the text at twice the font's resolution
  int32_t bw_ = 0, bh_ = 0, w_ = 0, h_ = 0;
  double scale_ = 1, cos_ = 1, sin_ = 0;
  bool diagonal_ = false;
  uint8_t sample(double u, double v) const;
};

// Prepares the stamp of a block (called when the block is prepared): runs
// the renderer or draws the coverage picture. A renderer that fails leaves
// no stamp.
ReturnTp ImgPrepareStamp(ImgControlBlockTp *cb);
// Builds every label of the block: the label text (when text_label), the
// specifications and the classification label.
ReturnTp ImgSetUpLabels(ImgControlBlockTp *cb, bool text_label);
// Composes the stamp and then the labels into output row y (pixels x0 ..
// x0 + width - 1 of the output).
void ImgApplyStamp(ImgControlBlockTp *cb, RgbPixelTp *out, int32_t y, int32_t x0, int32_t width);
// For a view that shows a part of a zoomed output: the stamp is prepared
// for an output of w x h (the picture it stays on), the labels for the
// view of vw x vh (they stay at their places in it). Stamp and labels
// prepared before are replaced.
ReturnTp ImgPrepareViewStamp(ImgControlBlockTp *cb, int32_t w, int32_t h, int32_t vw, int32_t vh);
// Composes the stamp prepared by ImgPrepareViewStamp into a row of a view:
// pixel i shows point (x0 + i, y) of a zoom of zw x zh of the output the
// stamp was prepared for.
void ImgApplyZoomedStamp(ImgControlBlockTp *cb, RgbPixelTp *out, int32_t width, int32_t x0,
                         int32_t y, int32_t zw, int32_t zh);
// Composes the labels alone (newest first) into output row y.
void ImgApplyLabels(ImgControlBlockTp *cb, RgbPixelTp *out, int32_t y, int32_t x0, int32_t width);
// Frees the stamp and the label records of a block.
void ImgFreeStamp(ImgControlBlockTp *cb);

// Renders one label and puts it at the head of the block's list.
ReturnTp ImgMakeLabel(ImgControlBlockTp *cb, const ImgLabelSpecTp *spec);
// Appends the specifications of an open specification file to *tail
// (the address of the list's last next pointer); returns how many. The
// file is read as far as one label more than a page carries, each label's
// text up to the lines a label shows.
int ImgReadLabelSpecs(FILE *fp, ImgLabelSpecTp ***tail);
void ImgFreeLabelSpecs(ImgLabelSpecTp **list);
// The colour a colour text names, as 0xAARRGGBB.
uint32_t ImgParseColor(const char *text);

// The classification file: its text and point size. False when it cannot
// be opened; a corrupted file gives the warning text.
bool ImgReadClassification(const char *path, char **text, double *point_size);
// Where the classification file is looked for. The path is kept in a
// field of fixed size behind a marker, so that an installation can patch
// it into the binary.
const char *ImgClassificationPath(void);
extern const char kImgCorruptClassification[];

#endif
