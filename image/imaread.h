// The reading layer: turns an image file, or a page of an ImgRaw already
// in memory, into a stream of display lines of RgbPixelTp. Each line is
// cropped, mirrored, converted, passed through the colour operations and
// scaled to the output size; rotation, mirroring of the line order and
// files stored bottom line first are handled once, before the first line,
// by reading the crop region into a packed raster.
#ifndef PV_IMAGE_IMAREAD_H
#define PV_IMAGE_IMAREAD_H

#include <cstdint>
#include <vector>

#include "imacolor.h"
#include "imagefile.h"
#include "imaraw.h"
#include "imascale.h"
#include "imatxt.h"
#include "imatypes.h"

// One open image. Create it with ImgOpen or ImgOpenRaw, end it with
// ImgClose. Fields the viewer sets between the open and the first line:
// the crop, the output size (ImgSetOutputSize), scale_method, color,
// progress and the stamp fields.
struct ImgControlBlockTp {
  // Identity.
  char *file_name = nullptr;
  uint32_t file_type = 0;
  char *type_description = nullptr;  // the interface's type name
  int32_t page_count = 0;            // pages the interface reports (0: not known)
  int32_t page_index = 0;            // remaining pages of a raster; page - 1 while reading
  int32_t current_page = 0;

  // Geometry. width x lines is the page as displayed (after the aspect
  // correction); source_lines is the number of lines stored.
  int32_t width = 0, lines = 0, source_lines = 0;
  double x_resolution = 0, y_resolution = 0;
  double aspect = 0;  // x / y resolution; 0 when it is 1

  // Crop in display pixels; a width or height of 0 is the whole page.
  int32_t crop_x = 0, crop_y = 0, crop_w = 0, crop_h = 0;
  // Output size; 0 is the crop size (exchanged for 90 and 270).
  int32_t out_w = 0, out_h = 0;
  // The part of the output delivered (ImgSetOutputWindow); a width of 0
  // is the whole output.
  int32_t win_x = 0, win_y = 0, win_w = 0, win_h = 0;

  // Operations.
  int32_t mirror = 0;    // bit 0 reverses each line, bit 1 the line order
  int32_t rotation = 0;  // 0, 90, 180, 270
  // The page's own quarter turn (90 or 270, anticlockwise as the
  // rotation; 0 none), from a header orientation of 1 (270) or 3 (90):
  // its stored lines are columns of the upright picture. The user's
  // rotation and mirrors apply to the upright picture. A raster turns each
  // such page once it is read; a file read straight adds the turn to the
  // rotation when it is prepared.
  int32_t file_turn = 0;
  ImgScaleTp scale_method = ImgScaleAveraging;
  // The caller reads the page only at its output size (a conversion, the
  // viewer's fitted display): a file that lists resolution levels (JPEG
  // 2000, JPEG) may then be decoded at the smallest level that still
  // gives the output size, chosen when the block is prepared.
  bool may_reduce = false;
  ImgColorOpsTp color{};
  bool progress = false;
  int32_t further = 0, last = 0;  // open parameters kept for the viewer

  // Stamp and labels: composed into the scaled lines once they exist.
  char *stamp_text = nullptr;
  int32_t stamp_weight = 0;  // 0 medium, 1 light, 2 heavy
  int32_t stamp_angle = 0;
  uint32_t stamp_color = 0xFF000000u;
  bool stamp_inverse = false;
  int32_t stamp_width = 0, stamp_height = 0;  // explicit stamp size; 0 = the output size
  ImgStampTp *stamp = nullptr;                // the prepared stamp (imatxt)
  char *label_text = nullptr;                 // owned; the viewer's label text
  int32_t label_position = 5;                 // 0 topleft ... 5 bottomright
  bool text_label = false;                    // make the label text's label
  int32_t label_min_left = 0, label_min_top = 0;
  ImgLabelSpecTp *label_specs = nullptr;  // owned list, in reading order
  ImgLabelTp *labels = nullptr;           // owned list, newest first
  // The caller composes stamp and labels itself (a view that is only a
  // window of a larger output): none are prepared or applied here.
  bool caller_stamps = false;

  // Sources: exactly one of iff and raw is set.
  IffControlBlockTp *iff = nullptr;
  ImgRaw *raw = nullptr;
  ImgRawTp *packed = nullptr;  // the cropped file region, when read out of order
  RgbPixelTp cmap[256] = {};   // the file's colour map as display pixels

  // Reading state.
  std::vector<RgbPixelTp> line;  // the source line in hand
  // The page is gray and stays gray: its lines are scaled as one byte per
  // pixel and made display pixels only at the output size (ImgPrepare).
  bool gray = false;
  // A gray page reduced across: its lines go to the scaler as pieces, a
  // raster's never unpacked, a file's found in its bytes.
  bool use_runs = false;
  bool whole_line = false;  // this line is in `line` all the same (noisy)
  ImgRunLineTp runs;
  std::vector<int32_t> changed, needed;  // column ranges of a line read in part
  ImgStretchTp *stretch = nullptr;
  int need_more = 1, ready = 0;
  int32_t lines_read = 0;        // source lines given to the scaler for this page
  int32_t file_line = 0;         // next line of the file, in stored order
  int32_t run_w = 0, run_h = 0;  // length and count of the lines the scaler gets
  int32_t run_x = 0, run_y = 0;  // where they start in the source
  int32_t progress_marks = 0;
  bool prepared = false, abort = false, bottom_up = false;

  const char *compression = "";  // name of the page's compression ("" = none)
};

// Opens a file (an empty name reads standard input) and reads the header
// of the page that params asks for. *cb must be null. For files that hold
// no image to read (unknown type, text, PostScript) the block is returned
// without a header: file_type tells which.
ReturnTp ImgOpen(const char *file_name, ImgControlBlockTp **cb, ImgOpenParamsTp *params);
// ImgOpen for callers that want the lines: a file that holds no picture
// (unknown type, text, an empty file) is reported as "Unknown type of file
// %s" and fails, rather than opening as a picture of width 0.
ReturnTp ImgOpenPicture(const char *file_name, ImgControlBlockTp **cb, ImgOpenParamsTp *params);
// A block over page `page` (1-based; below 2 is the first) of a raster chain.
ReturnTp ImgOpenRaw(ImgRaw *raw, int32_t page, ImgControlBlockTp **cb,
                    const ImgOpenParamsTp *params);
ReturnTp ImgReadPageHeader(ImgControlBlockTp *cb);
// Runs once, before the first line: rotation, mirrors, bottom-up files,
// background sampling and the final scaler.
ReturnTp ImgPrepare(ImgControlBlockTp *cb);
// Fills output line n (out_w pixels). Lines come in increasing order.
ReturnTp ImgReadLine(ImgControlBlockTp *cb, int32_t n, RgbPixelTp *out);
ReturnTp ImgClose(ImgControlBlockTp **cb);
// This layer's operations as the raster calls them; every program installs
// them at start-up (ImgRawUseReader).
extern const ImgRawReaderTp ImgReadingLayer;

// The size the block will deliver: the output size if set, else the crop
// size, exchanged when the rotation is 90 or 270.
void ImgOutputSize(const ImgControlBlockTp *cb, int32_t *w, int32_t *h);
// Sets the output size and makes the scaler for it.
ReturnTp ImgSetOutputSize(ImgControlBlockTp *cb, int32_t w, int32_t h);
// Sets an output size of w x h of which only the window of ww x wh at
// (x, y) is delivered: line n read is output row y + n, ww pixels from
// column x. From a raster only the source lines and columns the window
// needs are read, so the output may be far larger than the picture.
// Before the first line; the scaler is made when the block is prepared.
ReturnTp ImgSetOutputWindow(ImgControlBlockTp *cb, int32_t w, int32_t h, int32_t x, int32_t y,
                            int32_t ww, int32_t wh);

// The resolution level of the file's page (an index into its header's
// level_sizes; 0 the full size) that an output of out_w x out_h needs from
// the block's crop: the smallest listed level at which the crop is at
// least that size both ways (across a quarter turn, the other way round).
// 0 for a raster, or a file that lists no levels.
int32_t ImgLevelFor(const ImgControlBlockTp *cb, int32_t out_w, int32_t out_h);
// Reads the file's page at that level: the interface is asked for it, and
// the block's width, lines and crop (set on the full page) are brought to
// the level. Before the first line.
ReturnTp ImgReadAtLevel(ImgControlBlockTp *cb, int32_t level);
// The block's page is held at width x source lines lw x lh while its
// width, lines and crop were set on the full page: brings them to the
// size held. The crop keeps every pixel it covered, so that an output
// size chosen on the full page comes out exact from the smaller one.
void ImgCropToLevel(ImgControlBlockTp *cb, int32_t lw, int32_t lh);

// Opens a file, reads every output line into a new buffer of *w x *h
// pixels (free() it) and closes it. color 2 asks for gray lines.
ReturnTp ImgReadAll(const char *file_name, RgbPixelTp **buffer, int32_t *w, int32_t *h,
                    int32_t color, ImgOpenParamsTp *params);

// Puts line y (width x bpp bytes) into the tile grid of a record of
// width x height pixels. The first line fixes the direction: line 0 fills
// top-down, any other line bottom-up from there.
ReturnTp ImgStoreRawLine(ImgRawTp *praw, const unsigned char *line, int y, int width, int height,
                         int bpp);

#endif
