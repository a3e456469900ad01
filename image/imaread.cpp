// The reading layer: the control block, opening files and raster pages,
// the page header, preparation before the first line and the line loop
// that feeds the scaler.
#include "imaread.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common.h"
#include "imarotat.h"
#include "imautil.h"

#define CMN_SOURCE "imaread"

namespace {

ReturnTp Fail(unsigned line, const char *text) {
  return CmnError(CMN_SOURCE, line, CMN_E_TEXT, text);
}

char *Dup(const char *text) { return text ? strdup(text) : nullptr; }

int32_t Scaled(int64_t value, int64_t num, int64_t den) {
  return den ? static_cast<int32_t>(value * num / den) : static_cast<int32_t>(value);
}

// Display lines as stored lines, rounded.
int32_t ToSource(const ImgControlBlockTp *cb, int32_t display) {
  if (cb->lines <= 0 || cb->lines == cb->source_lines) return display;
  return static_cast<int32_t>(static_cast<double>(display) * cb->source_lines / cb->lines + 0.5);
}

void ApplyParams(ImgControlBlockTp *cb, const ImgOpenParamsTp *params) {
  if (!params) return;
  if (params->page != 0) cb->current_page = params->page;
  if (params->rotation != 0) {
    cb->rotation = params->rotation;
    cb->stamp_angle = params->rotation;
  }
  cb->mirror = params->mirror & 3;
  cb->color.level = params->level;
  cb->last = params->last;
}

void StampWeightFromEnvironment(ImgControlBlockTp *cb) {
  const char *w = getenv("PV_STAMP_WEIGHT");
  if (!w) w = getenv("PVSTAMPWEIGHT");
  if (!w) return;
  if (w[0] == 'l')
    cb->stamp_weight = 1;
  else if (w[0] == 'h')
    cb->stamp_weight = 2;
  else
    cb->stamp_weight = 0;
}

ReturnTp MakeStretch(ImgControlBlockTp *cb, int32_t src_w, int32_t src_h, int32_t out_w,
                     int32_t out_h) {
  ImgReleaseStretch(&cb->stretch);
  cb->need_more = 1;
  cb->ready = 0;
  return ImgCreateStretch(&cb->stretch, cb->scale_method, src_w, src_h, out_w, out_h,
                          cb->gray ? 1 : 4);
}

// The scaler of a prepared block: for its window of the output, when one
// is set.
ReturnTp MakeRunStretch(ImgControlBlockTp *cb, int32_t out_w, int32_t out_h) {
  if (cb->win_w <= 0) return MakeStretch(cb, cb->run_w, cb->run_h, out_w, out_h);
  ImgReleaseStretch(&cb->stretch);
  cb->need_more = 1;
  cb->ready = 0;
  return ImgCreateStretch(&cb->stretch, cb->scale_method, cb->run_w, cb->run_h, out_w, out_h,
                          cb->gray ? 1 : 4, cb->win_x, cb->win_y, cb->win_w, cb->win_h);
}

// A window of the output read from a raster: the run shrinks to the span
// of source the scaler needs, counted in the order the lines are given
// (a mirror reads the raster from the other end).
void RunToSpan(ImgControlBlockTp *cb) {
  ImgStretchTp *s = cb->stretch;
  if (cb->win_w <= 0 || !cb->raw || s->identity) return;
  cb->run_x =
      (cb->mirror & 1) ? cb->run_x + cb->run_w - s->span_x - s->span_width : cb->run_x + s->span_x;
  cb->run_y =
      (cb->mirror & 2) ? cb->run_y + cb->run_h - s->span_y - s->span_lines : cb->run_y + s->span_y;
  cb->run_w = s->span_width;
  cb->run_h = s->span_lines;
  ImgStretchFromSpan(s);
}

ReturnTp NewLineBuffer(ImgControlBlockTp *cb, int32_t n) {
  try {
    cb->line.assign(static_cast<size_t>(std::max(n, 1)), RgbPixelTp{});
  } catch (const std::bad_alloc &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  return 0;
}

// The modes this layer can turn into display pixels.
bool ModeHandled(const IffControlBlockTp *iff) {
  switch (iff->color_model) {
    case IFF_CM_RGB:
    case IFF_CM_YCBCR:
    case IFF_CM_GRAY:
    case IFF_CM_RGBA:
    case IFF_CM_PALETTE:
      return iff->pixel_size >= 1 && iff->pixel_size <= 4;
    default:
      return false;
  }
}

// n stored pixels of the file, at the start of `pixels`, to display pixels
// in place.
void FileToPixels(const ImgControlBlockTp *cb, RgbPixelTp *pixels, int n) {
  ImgInterp2Pix(reinterpret_cast<const unsigned char *>(pixels), pixels, n,
                ImgFileInterpretation(cb->iff), cb->cmap);
}

// Reads the next line of the file in stored order and takes the samples
// that background removal chooses its colours from. With `runs`, a line
// its driver hands over as runs comes as their changes (runs->count -1:
// the bytes are in the interface's line as usual).
ReturnTp ReadFileLine(ImgControlBlockTp *cb, IffRunLineTp *runs = nullptr) {
  IffControlBlockTp *iff = cb->iff;
  const ReturnTp rc =
      runs ? IffRdScanRuns(iff, cb->file_line, runs, true) : IffRdScan(iff, 1, cb->file_line);
  if (rc) return rc;
  const bool changes = runs && runs->count >= 0;
  const uint8_t *bits = runs ? runs->bits : nullptr;
  if (iff->sample_values) {
    const int ps = iff->pixel_size;
    while (iff->sample_cursor < IFF_SAMPLES &&
           iff->sample_rows[iff->sample_cursor] <= static_cast<uint32_t>(cb->file_line)) {
      const uint32_t col = iff->sample_cols[iff->sample_cursor];
      if (iff->sample_rows[iff->sample_cursor] == static_cast<uint32_t>(cb->file_line) &&
          col < static_cast<uint32_t>(cb->width)) {
        RgbPixelTp px[1];
        if (bits) {
          memcpy(px, &runs->levels[bits[col / 8] >> (7 - col % 8) & 1], 1);
        } else if (changes) {
          // The level at the column: one for each change at or before it.
          const auto k = std::upper_bound(runs->changes, runs->changes + runs->count,
                                          static_cast<int32_t>(col)) -
                         runs->changes;
          memcpy(px, &runs->levels[k & 1], 1);
        } else {
          memcpy(px, iff->line + static_cast<size_t>(col) * ps, ps);
        }
        FileToPixels(cb, px, 1);
        uint32_t value;
        memcpy(&value, px, 4);
        iff->sample_values[iff->sample_cursor] = value;
      }
      ++iff->sample_cursor;
    }
  }
  ++cb->file_line;
  return 0;
}

// The crop span of a file line given as changes, as pieces (mirrored when
// asked), or, when it changes so often that pieces would not pay, as
// bytes at the start of `out`: then false.
bool SpanFromChanges(ImgControlBlockTp *cb, const IffRunLineTp &fr, unsigned char *out) {
  const int32_t x0 = cb->crop_x, end = x0 + cb->run_w;
  const int32_t *first = std::upper_bound(fr.changes, fr.changes + fr.count, x0);
  const int32_t *last = std::lower_bound(first, fr.changes + fr.count, end);
  const bool pieces = (last - first) * 8 <= cb->run_w;
  ImgRunLineTp &runs = cb->runs;
  if (pieces) runs.clear();
  int32_t k = static_cast<int32_t>(first - fr.changes);
  for (int32_t pos = x0; pos < end;) {
    const int32_t stop = k < fr.count && fr.changes[k] < end ? fr.changes[k] : end;
    const uint8_t v = fr.levels[k & 1];
    if (pieces)
      runs.run(stop - pos, v);
    else
      memset(out + (pos - x0), v, static_cast<size_t>(stop - pos));
    pos = stop;
    if (k < fr.count && fr.changes[k] == pos) ++k;
  }
  if (cb->mirror & 1) {
    if (pieces)
      runs.reverse();
    else
      ImgMirrorLine(out, cb->run_w, 1);
  }
  return pieces;
}

// The crop span of the file line in hand, mirrored when asked, as bytes at
// the start of `out`.
void CopySpan(const ImgControlBlockTp *cb, unsigned char *out, bool reverse) {
  const int ps = cb->iff->pixel_size;
  memcpy(out, cb->iff->line + static_cast<size_t>(cb->crop_x) * ps,
         static_cast<size_t>(cb->crop_w) * ps);
  if (reverse) ImgMirrorLine(out, cb->crop_w, ps);
}

ReturnTp SkipFileLines(ImgControlBlockTp *cb, int32_t upto) {
  while (cb->file_line < upto) {
    const ReturnTp rc = ReadFileLine(cb);
    if (rc) return rc;
  }
  return 0;
}

// Reads the crop region of the file into a packed raster, top line first
// whatever the file's order, with the mirrors applied, and reads the file
// to its end so that every sample is taken.
ReturnTp PackFileRegion(ImgControlBlockTp *cb, int32_t y0, int32_t h) {
  const int ps = cb->iff->pixel_size;
  ReturnTp rc = ImgCreateRaw(&cb->packed, cb->crop_w, h, ps);
  if (rc) return rc;
  std::vector<unsigned char> span;
  try {
    span.resize(static_cast<size_t>(cb->crop_w) * ps);
  } catch (const std::bad_alloc &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  // In a bottom-up file the lines below the region come first, and the
  // region itself arrives from its last line upward.
  const int32_t before = cb->bottom_up ? cb->source_lines - (y0 + h) : y0;
  if ((rc = SkipFileLines(cb, before))) return rc;
  for (int32_t i = 0; i < h; ++i) {
    if ((rc = ReadFileLine(cb))) return rc;
    CopySpan(cb, span.data(), cb->mirror & 1);
    int32_t y = cb->bottom_up ? h - 1 - i : i;
    if (cb->mirror & 2) y = h - 1 - y;
    if ((rc = ImgStoreRawLine(cb->packed, span.data(), y, cb->crop_w, h, ps))) return rc;
  }
  if ((rc = SkipFileLines(cb, cb->source_lines))) return rc;
  if (cb->rotation == 90 || cb->rotation == 270)
    return ImgRotateRaw(cb->packed, cb->packed->width, cb->packed->height, ps, cb->rotation);
  return 0;
}

void ClampCrop(ImgControlBlockTp *cb) {
  cb->crop_x = std::min(std::max(cb->crop_x, 0), cb->width - 1);
  cb->crop_y = std::min(std::max(cb->crop_y, 0), cb->lines - 1);
  if (cb->crop_w <= 0 || cb->crop_w > cb->width - cb->crop_x) cb->crop_w = cb->width - cb->crop_x;
  if (cb->crop_h <= 0 || cb->crop_h > cb->lines - cb->crop_y) cb->crop_h = cb->lines - cb->crop_y;
}

// Lets the raster reach the blocks it reads from without knowing them.
void SourceView(ImgControlBlockTp *cb, ImgRawSourceTp *out) {
  out->iff = cb->iff;
  out->width = cb->width;
  out->lines = cb->source_lines;
  out->name = cb->file_name;
  out->description = cb->type_description;
  out->page_index = &cb->page_index;
  out->current_page = &cb->current_page;
  out->lines_read = &cb->lines_read;
  out->turn = cb->file_turn;
}

// The raster found that its pages continue each other and now holds more
// lines than the block knew of.
ReturnTp GrowLines(ImgControlBlockTp *cb, int32_t total, bool proportional) {
  const int32_t old = cb->source_lines;
  if (old <= 0 || total <= old) return 0;
  cb->source_lines = total;
  if (proportional) {
    cb->lines = Scaled(cb->lines, total, old);
    if (cb->crop_h) cb->crop_h = Scaled(cb->crop_h, total, old);
    if (cb->out_h) cb->out_h = Scaled(cb->out_h, total, old);
  } else {
    cb->lines += total - old;
    if (cb->crop_h) cb->crop_h += total - old;
  }
  return MakeStretch(cb, cb->width, cb->source_lines, cb->out_w, cb->out_h);
}

// A filter that turns the picture itself (it was given the angle) leaves
// nothing to rotate here. Mirrors apply to the turned picture, so they
// stay as asked.
int32_t FilterRotation(void *data) { return static_cast<ImgControlBlockTp *>(data)->rotation; }
void FilterRotated(void *data) { static_cast<ImgControlBlockTp *>(data)->rotation = 0; }

}  // namespace

// The raster's file constructors open, read and close through this layer.
const ImgRawReaderTp ImgReadingLayer = {ImgOpenPicture, ImgReadPageHeader, ImgClose, SourceView,
                                        GrowLines};

ReturnTp ImgOpen(const char *file_name, ImgControlBlockTp **pcb, ImgOpenParamsTp *params) {
  if (!pcb) return Fail(__LINE__, "ImgOpen called without a block pointer");
  if (*pcb) {
    Fail(__LINE__, "ImgOpen called with non-zero img pointer");
    exit(1);
  }
  ImgControlBlockTp *cb = new (std::nothrow) ImgControlBlockTp();
  if (!cb) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  *pcb = cb;
  cb->file_name = Dup(file_name ? file_name : "");
  StampWeightFromEnvironment(cb);
  ApplyParams(cb, params);

  IffFileSpecTp spec = {};
  spec.name = cb->file_name;
  uint32_t type = 0;
  // The filter stage reaches the block being opened through this record.
  const IfiFilterClientTp client = {cb, FilterRotation, FilterRotated, nullptr};
  ReturnTp rc =
      IffInit(&client, &cb->iff, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, &type);
  cb->file_type = type;
  if (cb->iff && cb->iff->description) {
    cb->type_description = Dup(cb->iff->description);
    // The interface ends the name with a newline, which no caller wants.
    if (char *nl = cb->type_description ? strchr(cb->type_description, '\n') : nullptr) *nl = 0;
  }
  if (rc) return rc;
  if (type == IFF_TYPE_ASCII || type < IFF_TYPE_QPL) return 0;
  if (type == IFF_TYPE_PS || type == IFF_TYPE_EPS) return 1;
  cb->iff->page = cb->current_page;
  return ImgReadPageHeader(cb);
}

ReturnTp ImgOpenPicture(const char *file_name, ImgControlBlockTp **pcb, ImgOpenParamsTp *params) {
  ReturnTp rc = ImgOpen(file_name, pcb, params);
  // 1: a page format that no filter turned into a raster; as unreadable
  // here as a file of no known type, and said so.
  if (rc == 1) rc = 0;
  if (rc || ((*pcb)->width > 0 && (*pcb)->lines > 0)) return rc;
  // Only a warning for the interface's callers; here nothing can be read.
  const char *name = *(*pcb)->file_name ? (*pcb)->file_name : "(standard input)";
  rc = CmnError(CMN_SOURCE, __LINE__, CMN_W_UNKNOWN_TYPE, name);
  return rc ? rc : CMN_W_UNKNOWN_TYPE | CMN_REPORTED;
}

ReturnTp ImgReadPageHeader(ImgControlBlockTp *cb) {
  IMG_ASSERT(cb && cb->iff, "iff");
  IffControlBlockTp *iff = cb->iff;
  IffParamTp head;
  ReturnTp rc = IffRdHead(iff, 0, cb, &head);
  if (rc) return rc;
  // Nothing shown uses a file's own title or page list yet.
  for (char **text : {&head.title, &head.description, &head.pagelist}) CmnStrFree(text);
  if (iff->pixel_size > 4) {
    char text[64];
    snprintf(text, sizeof text, "Unsupported number of bytes per pixel: %d", iff->pixel_size);
    return Fail(__LINE__, text);
  }
  cb->page_count = head.page_count;

  if (iff->has_cmap) {
    if ((rc = IffRdCMap(iff))) return rc;
    const int step = iff->cmap_entry_size >= 6 ? 2 : 1;  // 16-bit entries: high bytes
    const int n = std::min(std::max(iff->cmap_kept, 0), 256);
    RgbPixelTp *map = cb->cmap;
    memset(map, 0, sizeof cb->cmap);
    for (int i = 0; i < n; ++i) {
      const unsigned char *e = iff->cmap + static_cast<size_t>(i) * iff->cmap_entry_size;
      map[i] = RgbPixelTp{e[2 * step], e[step], e[0], 255};
    }
    // Entries stay as the file gives them, equal ones too: their fourth
    // byte is opacity to everything after, so marking duplicates there
    // would show them lighter. Pixels carry colours from here on, not
    // indexes; an 8-bit screen chooses its own cells at display time.
    if (iff->transparent && iff->transparent_index >= 0 && iff->transparent_index < 256)
      map[iff->transparent_index] = RgbPixelTp{0, 0, 0, 0};
    // The raster built from this block takes its table from the interface.
    if (!iff->bgrx_cmap) iff->bgrx_cmap = static_cast<unsigned char *>(malloc(sizeof cb->cmap));
    if (!iff->bgrx_cmap) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
    memcpy(iff->bgrx_cmap, map, sizeof cb->cmap);
  }

  cb->x_resolution = iff->x_resolution;
  if (cb->x_resolution == 0 && iff->rasterized) cb->x_resolution = graphics_resolution;
  cb->y_resolution = iff->y_resolution != 0 ? iff->y_resolution : cb->x_resolution;
  cb->aspect = 0;
  if (cb->y_resolution != 0 && cb->x_resolution / cb->y_resolution != 1.0)
    cb->aspect = cb->x_resolution / cb->y_resolution;
  cb->bottom_up = head.orientation == 2;
  cb->file_turn = head.orientation == 1 ? 270 : head.orientation == 3 ? 90 : 0;

  int32_t w = head.width, h = head.height;
  cb->source_lines = h;
  if (getenv("ASSUME_OLD_VGA_SIZES")) {
    // Old display modes had pixels taller than wide; show them square.
    if (w == 320 && h == 200)
      h = 240;
    else if (w == 640 && (h == 200 || h == 350 || h == 400))
      h = 480;
  }
  if (head.aspect_y != head.aspect_x && head.aspect_x != 0)
    h = static_cast<int32_t>(static_cast<int64_t>(h) * head.aspect_y / head.aspect_x);
  cb->width = w;
  cb->lines = std::max(h, 1);

  cb->crop_x = cb->crop_y = cb->crop_w = cb->crop_h = 0;
  cb->lines_read = 0;
  cb->file_line = 0;
  cb->prepared = false;
  cb->scale_method = ImgScaleAveraging;
  if ((rc = NewLineBuffer(cb, std::max(cb->lines, cb->width)))) return rc;
  if ((rc = MakeStretch(cb, cb->width, cb->source_lines, cb->width, cb->lines))) return rc;

  const char *d = cb->type_description ? cb->type_description : "";
  cb->compression = "";
  if (!strstr(d, "HPGL") && !strstr(d, "CGM") && !strstr(d, "Calcomp") &&
      static_cast<uint32_t>(FXICompression) <= IFF_COMP_DEFLATE)
    cb->compression = FXICompressionNames[FXICompression];
  return 0;
}

ReturnTp ImgOpenRaw(ImgRaw *raw, int32_t page, ImgControlBlockTp **pcb,
                    const ImgOpenParamsTp *params) {
  if (!pcb) return Fail(__LINE__, "ImgOpenRaw called without a block pointer");
  ImgRaw *seg = raw ? raw->segment(page) : nullptr;
  // A page that could not be read says why now that it is asked for.
  if (seg && !seg->failure().empty()) return Fail(__LINE__, seg->failure().c_str());
  if (!seg || seg->width() < 1 || seg->segmentLines() < 1) {
    char text[64];
    snprintf(text, sizeof text, "The image has no page %d", page);
    return Fail(__LINE__, text);
  }
  ImgControlBlockTp *cb = new (std::nothrow) ImgControlBlockTp();
  if (!cb) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  *pcb = cb;
  cb->raw = seg;
  cb->file_name = Dup(seg->name());
  cb->type_description = Dup(seg->description());
  ApplyParams(cb, params);
  cb->current_page = std::max(page, 1);
  cb->x_resolution = seg->xResolution() != 0 ? seg->xResolution() : 72.0;
  cb->y_resolution = seg->yResolution() != 0 ? seg->yResolution() : 72.0;
  if (cb->x_resolution / cb->y_resolution != 1.0) cb->aspect = cb->x_resolution / cb->y_resolution;
  cb->width = seg->width();
  cb->lines = cb->source_lines = seg->segmentLines();
  cb->page_index = raw->pagesInChain() - std::max(page, 1) + 1;
  ReturnTp rc = NewLineBuffer(cb, std::max(cb->width, cb->lines));
  if (!rc) rc = MakeStretch(cb, cb->width, cb->lines, cb->width, cb->lines);
  return rc;
}

void ImgOutputSize(const ImgControlBlockTp *cb, int32_t *w, int32_t *h) {
  int32_t cw = cb->crop_w ? cb->crop_w : cb->width;
  int32_t ch = cb->crop_h ? cb->crop_h : cb->lines;
  const int32_t turn = (cb->rotation + cb->file_turn) % 360;
  if (!cb->prepared && (turn == 90 || turn == 270)) std::swap(cw, ch);
  *w = cb->out_w ? cb->out_w : cw;
  *h = cb->out_h ? cb->out_h : ch;
}

ReturnTp ImgSetOutputSize(ImgControlBlockTp *cb, int32_t w, int32_t h) {
  if (w < 1 || h < 1) return Fail(__LINE__, "Output size must be at least 1 x 1");
  cb->out_w = w;
  cb->out_h = h;
  cb->win_x = cb->win_y = cb->win_w = cb->win_h = 0;
  return MakeStretch(cb, cb->width, cb->source_lines, w, h);
}

ReturnTp ImgSetOutputWindow(ImgControlBlockTp *cb, int32_t w, int32_t h, int32_t x, int32_t y,
                            int32_t ww, int32_t wh) {
  if (w < 1 || h < 1) return Fail(__LINE__, "Output size must be at least 1 x 1");
  if (x < 0 || y < 0 || ww < 1 || wh < 1 || ww > w - x || wh > h - y)
    return Fail(__LINE__, "Output window outside the output");
  if (cb->prepared) return Fail(__LINE__, "Output window set after the first line");
  cb->out_w = w;
  cb->out_h = h;
  cb->win_x = x;
  cb->win_y = y;
  cb->win_w = ww;
  cb->win_h = wh;
  // The scaler of the whole output could be far larger than the window's.
  return ImgReleaseStretch(&cb->stretch);
}

namespace {

// Whether the lines come as one gray byte per pixel: from the raster when
// every page it may read is so, from the file when its pixels are.
bool GraySource(const ImgControlBlockTp *cb) {
  if (cb->raw) {
    for (const ImgRaw *seg = cb->raw; seg; seg = seg->next())
      if (seg->bytesPerPixel() != 1 || seg->interpretation() != ImgInterpGray) return false;
    return true;
  }
  return cb->iff->pixel_size == 1 && ImgFileInterpretation(cb->iff) == ImgInterpGray;
}

}  // namespace

// ---- Decoding at the size needed ----------------------------------------------

int32_t ImgLevelFor(const ImgControlBlockTp *cb, int32_t out_w, int32_t out_h) {
  const IffControlBlockTp *iff = cb->iff;
  if (cb->raw || !iff || iff->level_count < 2 || cb->width < 1 || cb->lines < 1 ||
      cb->source_lines < 1)
    return 0;
  const int64_t cw = cb->crop_w > 0 ? cb->crop_w : cb->width;
  const int64_t ch = cb->crop_h > 0 ? cb->crop_h : cb->lines;
  const bool across = (cb->rotation + cb->file_turn) % 180 == 90;
  const int64_t need_w = across ? out_h : out_w, need_h = across ? out_w : out_h;
  const int32_t *sizes = iff->level_sizes;
  // Levels are listed smallest first: the first that is large enough.
  for (int32_t level = 1; level < iff->level_count; ++level) {
    const int64_t lw = sizes[2 * level], lh = sizes[2 * level + 1];
    if (lw >= sizes[0] && lh >= sizes[1]) break;  // the full size again
    if (lw < 1 || lh < 1) continue;
    if (cw * lw / cb->width >= need_w && ch * lh / cb->source_lines >= need_h) return level;
  }
  return 0;
}

void ImgCropToLevel(ImgControlBlockTp *cb, int32_t lw, int32_t lh) {
  const int64_t w = cb->width, lines = cb->lines;
  const int64_t level_lines = std::max<int64_t>(1, lines * lh / std::max(cb->source_lines, 1));
  // First pixel covered, and one past the last, each rounded outwards.
  auto map = [](int64_t at, int64_t to, int64_t from, bool up) {
    return static_cast<int32_t>(up ? (at * to + from - 1) / from : at * to / from);
  };
  if (cb->crop_w > 0) {
    const int32_t x0 = std::min(map(cb->crop_x, lw, w, false), lw - 1);
    const int32_t x1 = std::min(map(int64_t{cb->crop_x} + cb->crop_w, lw, w, true), lw);
    cb->crop_x = x0;
    cb->crop_w = std::max(1, x1 - x0);
  } else {
    cb->crop_x = 0;
  }
  if (cb->crop_h > 0) {
    const int32_t top = static_cast<int32_t>(level_lines);
    const int32_t y0 = std::min(map(cb->crop_y, level_lines, lines, false), top - 1);
    const int32_t y1 =
        std::min(map(int64_t{cb->crop_y} + cb->crop_h, level_lines, lines, true), top);
    cb->crop_y = y0;
    cb->crop_h = std::max(1, y1 - y0);
  } else {
    cb->crop_y = 0;
  }
  cb->width = lw;
  cb->source_lines = lh;
  cb->lines = static_cast<int32_t>(level_lines);
}

ReturnTp ImgReadAtLevel(ImgControlBlockTp *cb, int32_t level) {
  if (!cb->iff || cb->raw) return Fail(__LINE__, "A resolution level is read from a file only");
  if (cb->prepared || cb->file_line > 0)
    return Fail(__LINE__, "Resolution level after the first line");
  const ReturnTp rc = IffRequestLevel(cb->iff, level);
  if (rc) return rc;
  ImgCropToLevel(cb, cb->iff->width, cb->iff->height);
  return 0;
}

ReturnTp ImgPrepare(ImgControlBlockTp *cb) {
  IMG_ASSERT(cb, "pimg");
  if (cb->prepared) return 0;
  if (!cb->raw && !cb->iff)
    return Fail(__LINE__, "zero ImgRaw and zero iff - Cannot determine pixel size");
  if (cb->iff && !ModeHandled(cb->iff))
    return Fail(__LINE__, "Image color-mode not handled by iff module");
  ClampCrop(cb);
  int32_t out_w, out_h;
  ImgOutputSize(cb, &out_w, &out_h);
  // A page reduced for its output is decoded no larger than needed.
  if (cb->may_reduce && cb->iff && cb->win_w <= 0) {
    const int32_t level = ImgLevelFor(cb, out_w, out_h);
    if (level)
      if (ReturnTp rc = ImgReadAtLevel(cb, level)) return rc;
  }
  cb->prepared = true;

  if (cb->file_turn && !cb->raw) {
    // The page's turn comes first, then the user's rotation and mirror.
    // Here the lines are mirrored before they are turned: across a quarter
    // turn, a mirror of the turned picture is the other mirror of the lines.
    cb->rotation = (cb->rotation + cb->file_turn) % 360;
    if ((cb->rotation == 90 || cb->rotation == 270) && (cb->mirror == 1 || cb->mirror == 2))
      cb->mirror ^= 3;
    cb->file_turn = 0;
  }
  if (cb->rotation == 180) {
    cb->rotation = 0;
    cb->mirror ^= 3;
  }
  const bool turned = cb->rotation == 90 || cb->rotation == 270;
  ReturnTp rc = 0;
  if (cb->raw) {
    if (turned) {
      // The raster turns, and the crop with it.
      const int32_t x = cb->crop_x, y = cb->crop_y;
      if (cb->rotation == 90) {
        cb->crop_x = y;
        cb->crop_y = cb->width - cb->crop_w - x;
      } else {
        cb->crop_x = cb->lines - cb->crop_h - y;
        cb->crop_y = x;
      }
      std::swap(cb->crop_w, cb->crop_h);
      if ((rc = cb->raw->rotate(cb->rotation))) return rc;
      cb->width = cb->raw->width();
      cb->lines = cb->source_lines = cb->raw->segmentLines();
    }
    cb->run_x = cb->crop_x;
    cb->run_y = cb->crop_y;
    cb->run_w = cb->crop_w;
    cb->run_h = cb->crop_h;
  } else {
    const int32_t y0 = std::min(ToSource(cb, cb->crop_y), cb->source_lines - 1);
    const int32_t h = std::max(1, std::min(ToSource(cb, cb->crop_h), cb->source_lines - y0));
    cb->run_x = cb->crop_x;
    cb->run_y = y0;
    cb->run_w = cb->crop_w;
    cb->run_h = h;
    const bool in_order = !cb->color.removebgs && !cb->bottom_up && !(cb->mirror & 2) && !turned;
    if (!in_order) {
      if ((rc = PackFileRegion(cb, y0, h))) return rc;
      cb->run_w = cb->packed->width;
      cb->run_h = cb->packed->height;
    }
  }

  if (cb->color.removebgs) {
    const RgbPixelTp *frequent = nullptr;
    if (cb->raw) {
      frequent = cb->raw->frequentColors();
    } else {
      IffFrequentColors(cb->iff);
      frequent = reinterpret_cast<const RgbPixelTp *>(cb->iff->frequent);
    }
    if (frequent) {
      memcpy(cb->color.FrequentColors, frequent, sizeof cb->color.FrequentColors);
      cb->color.frequent_count = 256;
    }
  }

  if ((rc = NewLineBuffer(cb, std::max(cb->run_w, cb->win_w > 0 ? cb->win_w : out_w)))) return rc;
  // A gray page whose colour settings keep it gray is scaled on its bytes,
  // a quarter of the work of display pixels; when the scaler's weights
  // would not keep the fourth byte opaque, display pixels it is.
  cb->gray = GraySource(cb) && ImgColorKeepsGray(&cb->color);
  rc = MakeRunStretch(cb, out_w, out_h);
  if (!rc && cb->gray && !ImgStretchKeepsLevel(cb->stretch)) {
    cb->gray = false;
    rc = MakeRunStretch(cb, out_w, out_h);
  }
  if (rc) return rc;
  RunToSpan(cb);
  // Reduced across, a gray page goes to the scaler as pieces, from a
  // raster or a file alike: a run of n equal samples is added in one step,
  // so a drawing costs what its strokes are, not its width.
  cb->use_runs = cb->gray && !cb->stretch->identity && !cb->stretch->same_width &&
                 cb->run_w > cb->stretch->cols;
  return cb->caller_stamps ? 0 : ImgPrepareStamp(cb);
}

namespace {

// The next source line of the run, as display pixels in cb->line (as gray
// bytes on a gray page).
ReturnTp NextSourceLine(ImgControlBlockTp *cb) {
  RgbPixelTp *line = cb->line.data();
  const int32_t k = cb->lines_read++;
  if (cb->raw) {
    const int32_t y = (cb->mirror & 2) ? cb->run_y + cb->run_h - 1 - k : cb->run_y + k;
    cb->whole_line = !cb->use_runs;
    if (cb->use_runs) {
      // A line the raster gives from the same bytes as the one before
      // keeps its pieces, and the scaler what it made of them.
      const int32_t before = (cb->mirror & 2) ? y + 1 : y - 1;
      if (k > 0 && cb->raw->sameLines(y, before, cb->run_x, cb->run_w)) {
        cb->runs.repeated = true;
        return 0;
      }
      cb->raw->getRunLine(&cb->runs, y, cb->run_x, cb->run_w, cb->mirror & 1);
      return 0;
    }
    if (cb->gray)
      cb->raw->getPackedLine(reinterpret_cast<unsigned char *>(line), y, cb->run_x, cb->run_w);
    else
      cb->raw->getLine(line, y, cb->run_x, cb->run_w, false);
    if (cb->mirror & 1)
      ImgMirrorLine(reinterpret_cast<unsigned char *>(line), cb->run_w, cb->gray ? 1 : 4);
    return 0;
  }
  unsigned char *bytes = reinterpret_cast<unsigned char *>(line);
  if (cb->packed) {
    ImgGetRawLine(cb->packed, k, bytes);
  } else {
    // A bilevel line its driver gives as runs becomes pieces without a
    // byte per pixel.
    const bool want = cb->use_runs && cb->iff->pixel_size == 1 && cb->run_w == cb->crop_w;
    IffRunLineTp fr = {nullptr, nullptr, -1, {0, 0}};
    ReturnTp rc = SkipFileLines(cb, cb->run_y);
    if (!rc) rc = ReadFileLine(cb, want ? &fr : nullptr);
    if (rc) return rc;
    if (fr.bits) {
      // A row of bits goes on as changes when it has few; a busy one
      // (noise) is spread to bytes by table, found by its bytes that are
      // neither all 0 nor all 1.
      IffControlBlockTp *iff = cb->iff;
      const int32_t n = (iff->width + 7) / 8;
      int32_t busy = 0;
      for (int32_t i = 0; i < n; ++i) busy += fr.bits[i] != 0 && fr.bits[i] != 0xFF;
      if (busy * 64 <= iff->width) {
        fr.count = IfuBitsToChanges(iff->width, fr.bits, iff->changes);
        fr.changes = iff->changes;
      } else {
        IfuExpandBitsAs(iff->width, fr.bits, iff->line, fr.levels[0], fr.levels[1]);
      }
    }
    if (fr.count >= 0 && fr.changes) {
      cb->whole_line = !SpanFromChanges(cb, fr, bytes);
      return 0;
    }
    CopySpan(cb, bytes, cb->mirror & 1);
  }
  if (cb->use_runs) {
    cb->runs.clear();
    cb->whole_line = !cb->runs.bytes(bytes, cb->run_w);
    if (!cb->whole_line) return 0;
  }
  if (!cb->gray) FileToPixels(cb, line, cb->run_w);
  return 0;
}

// The gray bytes at the start of a scaled line spread to display pixels,
// backwards so that no byte is overwritten before it is read.
void GrayToPixels(RgbPixelTp *line, int32_t n) {
  const unsigned char *bytes = reinterpret_cast<const unsigned char *>(line);
  for (int32_t i = n - 1; i >= 0; --i) {
    const unsigned char v = bytes[i];
    line[i] = RgbPixelTp{v, v, v, 255};
  }
}

void Progress(ImgControlBlockTp *cb) {
  if (!cb->progress || cb->run_h <= 0) return;
  const int32_t due = static_cast<int32_t>(static_cast<int64_t>(cb->lines_read) * 50 / cb->run_h);
  for (; cb->progress_marks < due; ++cb->progress_marks) fputc('#', stderr);
  fflush(stderr);
}

}  // namespace

ReturnTp ImgReadLine(ImgControlBlockTp *cb, int32_t n, RgbPixelTp *out) {
  IMG_ASSERT(cb, "pimg");
  // Lines come in order, and the scaler knows which one is next; n places
  // the stamp and the labels.
  if (cb->abort) return 0;
  ReturnTp rc = cb->prepared ? 0 : ImgPrepare(cb);
  if (rc) return rc;
  int ready = 0;
  while (!ready) {
    if (cb->need_more) {
      if (cb->lines_read >= cb->run_h) return Fail(__LINE__, "No more lines in the image");
      if ((rc = NextSourceLine(cb))) return rc;
      if (!cb->gray) ImgColorLine(&cb->color, cb->line.data(), cb->run_w);
      Progress(cb);
    }
    if (cb->use_runs && !cb->whole_line)
      rc = ImgStretchRunLine(cb->stretch, &cb->runs, reinterpret_cast<uint8_t *>(out),
                             &cb->need_more, &ready);
    else
      rc = ImgStretchLine(cb->stretch, reinterpret_cast<const uint8_t *>(cb->line.data()),
                          reinterpret_cast<uint8_t *>(out), &cb->need_more, &ready);
    if (rc) return rc;
  }
  if (cb->gray) GrayToPixels(out, cb->stretch->cols);
  if (!cb->caller_stamps && (cb->stamp || cb->labels))
    ImgApplyStamp(cb, out, n, 0, cb->stretch->cols);
  return 0;
}

ReturnTp ImgClose(ImgControlBlockTp **pcb) {
  IMG_ASSERT(pcb && *pcb, "pimg");
  ImgControlBlockTp *cb = *pcb;
  ReturnTp rc = ImgReleaseStretch(&cb->stretch);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  if (cb->iff && (rc = IffTerm(&cb->iff))) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  if (cb->packed) ImgTermRaw(&cb->packed);
  free(cb->file_name);
  free(cb->type_description);
  ImgFreeStamp(cb);
  free(cb->stamp_text);
  delete cb;
  *pcb = nullptr;
  return 0;
}

ReturnTp ImgReadAll(const char *file_name, RgbPixelTp **buffer, int32_t *w, int32_t *h,
                    int32_t color, ImgOpenParamsTp *params) {
  fputs(color == 2 ? "Converting from Gray..\n" : "Using RGB..\n", stderr);
  *buffer = nullptr;
  *w = *h = 0;
  ImgControlBlockTp *cb = nullptr;
  ReturnTp rc = ImgOpenPicture(file_name, &cb, params);
  int32_t ow = 0, oh = 0;
  if (!rc) {
    if (color == 2) cb->color.output = IMG_OUTPUT_GRAY;
    ImgOutputSize(cb, &ow, &oh);
    rc = ImgSetOutputSize(cb, ow, oh);
  }
  RgbPixelTp *all = nullptr;
  if (!rc) {
    all = static_cast<RgbPixelTp *>(malloc(static_cast<size_t>(ow) * oh * sizeof(RgbPixelTp)));
    if (!all) rc = CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  for (int32_t y = 0; !rc && y < oh; ++y)
    rc = ImgReadLine(cb, y, all + static_cast<size_t>(y) * ow);
  if (cb) {
    const ReturnTp closed = ImgClose(&cb);
    if (!rc) rc = closed;
  }
  if (rc) {
    free(all);
    return rc;
  }
  *buffer = all;
  *w = ow;
  *h = oh;
  return 0;
}

// ---- The line store of the plain record ------------------------------------

namespace {

// Kept in the record's `data` while it is being filled: the direction and
// the tile row in progress. Each line is packed into the tiles of its row
// as it comes, so that the memory held follows what the lines pack to.
struct LineStoreTp {
  int32_t step;  // +1 top-down, -1 bottom-up
  int32_t next;  // the line expected next
  int32_t row;   // the tile row being filled, -1 none
};

// Completes the tiles of the row in progress: lines never put read white,
// and each tile keeps the bytes it holds and no more. A tile is filling
// while its height is 0.
ReturnTp FlushRow(ImgRawTp *praw, LineStoreTp *store, int width, int height, int bpp) {
  const int row = store->row;
  const int rh = std::min(IMG_TILE, height - row * IMG_TILE);
  unsigned char white[IMG_TILE * 4];
  memset(white, 255, sizeof white);
  store->row = -1;
  for (int c = 0; c * IMG_TILE < width; ++c) {
    const int tw = std::min(IMG_TILE, width - c * IMG_TILE);
    ImgTileTp *tile = &praw->pptile[row][c];
    if (tile->h) continue;  // completed before: a line put twice keeps the first
    for (int i = 0; i < rh; ++i)
      if (!tile->data || !tile->lineoff[i])
        if (ReturnTp rc = ImgAppendTileLine(tile, i, white, tw, bpp)) return rc;
    if (auto *exact = static_cast<unsigned char *>(realloc(tile->data, tile->size)))
      tile->data = exact;
    tile->w = static_cast<uint16_t>(tw);
    tile->h = static_cast<uint16_t>(rh);
  }
  return 0;
}

}  // namespace

ReturnTp ImgStoreRawLine(ImgRawTp *praw, const unsigned char *line, int y, int width, int height,
                         int bpp) {
  IMG_ASSERT(praw && praw->pptile, "praw->pptile");
  IMG_ASSERT(width == praw->width && height == praw->height && bpp == praw->bpp, "0");
  if (y < 0 || y >= height) return Fail(__LINE__, "Line outside the image");
  auto *store = static_cast<LineStoreTp *>(praw->data);
  if (!store) {
    store = static_cast<LineStoreTp *>(malloc(sizeof(LineStoreTp)));
    if (!store) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
    store->step = y == 0 ? 1 : -1;
    store->next = y;
    store->row = -1;
    praw->data = store;
  }
  ReturnTp rc = 0;
  const int row = y / IMG_TILE;
  if (store->row != row) {
    if (store->row >= 0 && (rc = FlushRow(praw, store, width, height, bpp))) return rc;
    store->row = row;
  }
  for (int c = 0; c * IMG_TILE < width; ++c) {
    ImgTileTp *tile = &praw->pptile[row][c];
    if (tile->h) continue;
    const int tw = std::min(IMG_TILE, width - c * IMG_TILE);
    rc = ImgAppendTileLine(tile, y % IMG_TILE, line + static_cast<size_t>(c) * IMG_TILE * bpp, tw,
                           bpp);
    if (rc) return rc;
  }
  store->next = y + store->step;
  const bool row_done =
      store->step > 0 ? (y % IMG_TILE == IMG_TILE - 1 || y == height - 1) : y % IMG_TILE == 0;
  if (row_done) rc = FlushRow(praw, store, width, height, bpp);
  const bool last = store->step > 0 ? y == height - 1 : y == 0;
  if (last) {
    free(praw->data);
    praw->data = nullptr;
  }
  return rc;
}
