// pvview's explore mode: zoom, pan, pages and turns in the window.
//
// A view is a part of the page scaled to a zoom: the page (cropped as the
// options ask, turned and mirrored) is thought of at its zoomed size, and
// the window shows the part of it at the view's offset. The reading layer
// delivers exactly that part of the zoomed output (ImgSetOutputWindow),
// reading only the source it needs from the raster, so a view costs what
// the window shows, whatever the zoom. The screen's own image is the only
// window-sized picture: moving the view moves it and draws only the strips
// that come in (and the labels, which stay in their place), read again from
// the raster, as -save reads the whole view again.
//
// Keys, buttons and motion only set the view wanted; it is drawn when no
// event waits, so that input faster than the drawing is taken together and
// the last view wins.
#include "pvexplore.h"

#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "common.h"

#define CMN_SOURCE "pvexplore"

namespace {

// Zooming in stops here.
constexpr double kMaxZoom = 64.0;
// No side of a zoomed page grows past this, so that offsets stay exact.
constexpr double kMaxSide = 1 << 30;

// A page as read, with the crop the options ask for on it, and how far
// its raster has been turned by the reading layer so far.
struct PageTp {
  int32_t width = 0, height = 0;
  int32_t crop_x = 0, crop_y = 0, crop_w = 0, crop_h = 0;
  int32_t turned = 0;  // 0, 90 or 270
};

// One view: which page, turned and mirrored how, at which zoom, and where
// the window's top left corner falls in the zoomed page (negative where the
// page is smaller than the window and stands in its middle).
struct ViewTp {
  int32_t page = 1;
  int32_t rotation = 0, mirror = 0;
  bool fit = true;
  double zx = 1, zy = 1;  // output pixels per page pixel, when not fitted
  int64_t vx = 0, vy = 0;
  int32_t w = 0, h = 0;  // of the window
};

int64_t Clamp64(int64_t v, int64_t lo, int64_t hi) { return std::max(lo, std::min(v, hi)); }

double NowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The processor time this program has used, in milliseconds: on a busy
// machine it tells what a redraw costs better than the time it takes.
double CpuMs() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

}  // namespace

struct PvExploreTp {
  PvExploreSetupTp setup{};
  std::vector<PageTp> pages;  // the pages read, from 1
  int32_t page_count = 0;     // 0 while not known
  bool pages_ended = false;   // no page can follow the last one read

  ViewTp start, shown, want;
  double start_fx = 1, start_fy = 1;  // the fitted view's zoom
  bool drawn = false;

  // Stamp and labels, prepared for the page, its turn and the window
  // (the block only holds them: no line is read through it).
  ImgControlBlockTp *decor = nullptr;
  int32_t decor_key[5] = {-1, -1, -1, -1, -1};

  std::vector<RgbPixelTp> row;  // one row as it is rendered and goes to the screen
  // Through a palette (colour-mapped screen, -colors) the whole view is
  // reduced at once: the view as shown.
  bool through_palette = false;
  std::vector<RgbPixelTp> composed;

  // Dragging the picture.
  bool dragging = false;
  unsigned int drag_button = 0;
  int drag_x = 0, drag_y = 0;
  int64_t drag_vx = 0, drag_vy = 0;

  // The title: what failed last, and the crop box.
  std::string message, crop_text, title;

  // Timing of the redraw (PVDEBUG above 0).
  const char *cause = nullptr;
  double since = 0, cpu_since = 0;
};

namespace {

// ---- Geometry ---------------------------------------------------------------

bool Turned(int32_t rotation) { return rotation == 90 || rotation == 270; }

const PageTp &Page(const PvExploreTp &x, const ViewTp &v) {
  return x.pages[static_cast<size_t>(v.page - 1)];
}

// The cropped page as the view shows it, before the zoom.
void PageSize(const PvExploreTp &x, const ViewTp &v, int32_t *w, int32_t *h) {
  const PageTp &p = Page(x, v);
  *w = Turned(v.rotation) ? p.crop_h : p.crop_w;
  *h = Turned(v.rotation) ? p.crop_w : p.crop_h;
}

int32_t Side(double pixels) {
  return static_cast<int32_t>(std::max(1.0, std::min(std::floor(pixels + 0.5), kMaxSide)));
}

// The fitted view: the size the window started with, for the page and the
// turn it started with; any other page or turn, or a resized window, is
// fitted to the window with the same proportions.
void FitSize(const PvExploreTp &x, const ViewTp &v, int32_t *zw, int32_t *zh) {
  const ViewTp &s = x.start;
  if (v.page == s.page && Turned(v.rotation) == Turned(s.rotation) && v.w == s.w && v.h == s.h) {
    *zw = x.setup.fit_w;
    *zh = x.setup.fit_h;
    return;
  }
  int32_t dw, dh;
  PageSize(x, v, &dw, &dh);
  const bool swap = Turned(v.rotation) != Turned(s.rotation);
  const double bx = swap ? x.start_fy : x.start_fx, by = swap ? x.start_fx : x.start_fy;
  const double k = std::min(v.w / (dw * bx), v.h / (dh * by));
  *zw = Side(dw * bx * k);
  *zh = Side(dh * by * k);
}

void ZoomedSize(const PvExploreTp &x, const ViewTp &v, int32_t *zw, int32_t *zh) {
  if (v.fit) return FitSize(x, v, zw, zh);
  int32_t dw, dh;
  PageSize(x, v, &dw, &dh);
  *zw = Side(dw * v.zx);
  *zh = Side(dh * v.zy);
}

// The zoom a view shows at, whether fitted or not.
void Zoom(const PvExploreTp &x, const ViewTp &v, double *zx, double *zy) {
  int32_t dw, dh, zw, zh;
  PageSize(x, v, &dw, &dh);
  ZoomedSize(x, v, &zw, &zh);
  *zx = static_cast<double>(zw) / dw;
  *zy = static_cast<double>(zh) / dh;
}

// A page smaller than the window stands in its middle; a larger one
// covers it, up to its edges.
void ClampView(const PvExploreTp &x, ViewTp *v) {
  int32_t zw, zh;
  ZoomedSize(x, *v, &zw, &zh);
  v->vx = zw <= v->w ? -static_cast<int64_t>(v->w - zw) / 2 : Clamp64(v->vx, 0, zw - v->w);
  v->vy = zh <= v->h ? -static_cast<int64_t>(v->h - zh) / 2 : Clamp64(v->vy, 0, zh - v->h);
}

// Where window point (px, py) falls in the zoomed page, as fractions.
void Fraction(const PvExploreTp &x, const ViewTp &v, double px, double py, double *u, double *w) {
  int32_t zw, zh;
  ZoomedSize(x, v, &zw, &zh);
  *u = (v.vx + px) / zw;
  *w = (v.vy + py) / zh;
}

// Puts page fraction (u, w) under window point (px, py).
void Place(const PvExploreTp &x, ViewTp *v, double u, double w, double px, double py) {
  int32_t zw, zh;
  ZoomedSize(x, *v, &zw, &zh);
  v->vx = static_cast<int64_t>(std::floor(u * zw - px + 0.5));
  v->vy = static_cast<int64_t>(std::floor(w * zh - py + 0.5));
  ClampView(x, v);
}

void Centre(const ViewTp &v, double *px, double *py) {
  *px = v.w / 2.0;
  *py = v.h / 2.0;
}

// ---- Changing the view wanted ----------------------------------------------

void Wanted(PvExploreTp *x, const char *cause) {
  if (!x->cause) {
    x->cause = cause;
    x->since = NowMs();
    x->cpu_since = CpuMs();
  }
}

// Sets a new zoom keeping the page point under window point (px, py).
void ZoomAbout(PvExploreTp *x, bool fit, double zx, double zy, double px, double py) {
  ViewTp &v = x->want;
  double u, w;
  Fraction(*x, v, px, py, &u, &w);
  v.fit = fit;
  v.zx = zx;
  v.zy = zy;
  Place(*x, &v, u, w, px, py);
  Wanted(x, "zoom");
}

void ZoomIn(PvExploreTp *x, double px, double py) {
  double zx, zy;
  Zoom(*x, x->want, &zx, &zy);
  double f = std::min(2.0, kMaxZoom / std::max(zx, zy));
  if (f <= 1.0 + 1e-9) return;  // as far as it goes
  ZoomAbout(x, false, zx * f, zy * f, px, py);
}

void ZoomOut(PvExploreTp *x, double px, double py) {
  if (x->want.fit) return;
  ViewTp fitted = x->want;
  fitted.fit = true;
  double fx, fy;
  Zoom(*x, fitted, &fx, &fy);
  const double zx = x->want.zx / 2, zy = x->want.zy / 2;
  // Down to the fitted view, never past it.
  const bool fit = zx <= fx * (1 + 1e-9) || zy <= fy * (1 + 1e-9);
  ZoomAbout(x, fit, zx, zy, px, py);
}

void ActualPixels(PvExploreTp *x, double px, double py) {
  ViewTp fitted = x->want;
  fitted.fit = true;
  int32_t dw, dh, fw, fh;
  PageSize(*x, fitted, &dw, &dh);
  FitSize(*x, fitted, &fw, &fh);
  ZoomAbout(x, fw == dw && fh == dh, 1.0, 1.0, px, py);
}

void Pan(PvExploreTp *x, int64_t dx, int64_t dy) {
  x->want.vx += dx;
  x->want.vy += dy;
  ClampView(*x, &x->want);
  Wanted(x, "pan");
}

// Turns the view a quarter clockwise (the reading layer's 270) or
// counter-clockwise (its 90), or mirrors it left to right, keeping the
// page point in the window's middle. A mirror in one direction becomes one
// in the other when the picture turns under it.
void Turn(PvExploreTp *x, int how) {
  ViewTp &v = x->want;
  double cx, cy, u, w;
  Centre(v, &cx, &cy);
  Fraction(*x, v, cx, cy, &u, &w);
  if (how == 0) {
    v.mirror ^= 1;
    u = 1 - u;
  } else {
    if (v.mirror == 1 || v.mirror == 2) v.mirror ^= 3;
    v.rotation = (v.rotation + (how > 0 ? 270 : 90)) % 360;
    std::swap(v.zx, v.zy);
    const double su = u;
    u = how > 0 ? 1 - w : w;
    w = how > 0 ? su : 1 - su;
  }
  Place(*x, &v, u, w, cx, cy);
  Wanted(x, "turn");
}

void SetMessage(PvExploreTp *x, ReturnTp rc) {
  const char *text = CmnErrorText(rc, nullptr, nullptr);
  x->message = text ? text : "";
  while (!x->message.empty() && (x->message.back() == '\n' || x->message.back() == ' '))
    x->message.pop_back();
}

void UpdateTitle(PvExploreTp *x);

// ---- Pages ------------------------------------------------------------------

// A block over a page as every view opens it: the page's crop expressed in
// its raster as turned so far, and the view's turn taken from there.
ReturnTp OpenBlock(PvExploreTp *x, const ViewTp &v, ImgControlBlockTp **cb, int32_t *turn) {
  PageTp &p = x->pages[static_cast<size_t>(v.page - 1)];
  ImgOpenParamsTp params = {};
  *turn = (v.rotation - p.turned + 360) % 360;
  params.rotation = *turn;
  params.mirror = v.mirror;
  params.last = 1;
  ReturnTp rc = ImgOpenRaw(x->setup.raw, v.page, cb, &params);
  if (!rc && x->setup.stitch) rc = x->setup.raw->removeOverlaps(*cb, true);
  if (rc) return rc;
  ImgControlBlockTp *b = *cb;
  int32_t cx = p.crop_x, cy = p.crop_y, cw = p.crop_w, ch = p.crop_h;
  if (p.turned == 90) {
    cx = p.crop_y;
    cy = p.width - p.crop_w - p.crop_x;
    std::swap(cw, ch);
  } else if (p.turned == 270) {
    cx = p.height - p.crop_h - p.crop_y;
    cy = p.crop_x;
    std::swap(cw, ch);
  }
  b->crop_x = cx;
  b->crop_y = cy;
  b->crop_w = cw;
  b->crop_h = ch;
  ImgCopyColorOptions(x->setup.color, &b->color);
  b->caller_stamps = true;
  return 0;
}

// Records page n, read: its size and crop.
ReturnTp AddPage(PvExploreTp *x, int32_t n) {
  ImgControlBlockTp *cb = nullptr;
  ReturnTp rc = ImgOpenRaw(x->setup.raw, n, &cb, nullptr);
  if (!rc && x->setup.stitch) rc = x->setup.raw->removeOverlaps(cb, true);
  if (rc) {
    if (cb) ImgClose(&cb);
    return rc;
  }
  PageTp p;
  p.width = cb->width;
  p.height = cb->lines;
  p.crop_w = cb->width;
  p.crop_h = cb->lines;
  x->setup.crop(cb);
  // The crop as the reading layer will use it, inside the page.
  p.crop_x = std::min(std::max(cb->crop_x, 0), p.width - 1);
  p.crop_y = std::min(std::max(cb->crop_y, 0), p.height - 1);
  p.crop_w = cb->crop_w <= 0 || cb->crop_w > p.width - p.crop_x ? p.width - p.crop_x : cb->crop_w;
  p.crop_h = cb->crop_h <= 0 || cb->crop_h > p.height - p.crop_y ? p.height - p.crop_y : cb->crop_h;
  ImgClose(&cb);
  x->pages.resize(static_cast<size_t>(n));
  x->pages[static_cast<size_t>(n - 1)] = p;
  return 0;
}

// Reads pages up to n when they are not read yet; false when there is no
// such page or it cannot be read (then the message says why).
bool ReachPage(PvExploreTp *x, int32_t n) {
  if (n < 1) return false;
  if (n <= static_cast<int32_t>(x->pages.size())) return true;
  if (x->page_count > 0 && n > x->page_count) return false;
  if (x->pages_ended || !x->setup.pages) return false;
  for (int32_t k = static_cast<int32_t>(x->pages.size()) + 1; k <= n; ++k) {
    ReturnTp rc = x->setup.raw->readPages(x->setup.pages, k, k);
    ImgRaw *seg = x->setup.raw->segment(k);
    if (rc || !seg || !seg->complete()) {
      // What follows a page that cannot be read is not read either.
      x->pages_ended = true;
      if (rc) SetMessage(x, rc);
      if (!rc || x->page_count == 0) x->page_count = k - 1;
      return false;
    }
    if ((rc = AddPage(x, k))) {
      x->pages_ended = true;
      SetMessage(x, rc);
      return false;
    }
  }
  return true;
}

void TurnPage(PvExploreTp *x, int delta) {
  if (x->setup.stitch) return;
  ViewTp &v = x->want;
  const int32_t n = v.page + delta;
  if (!ReachPage(x, n)) {
    UpdateTitle(x);  // the page count found, or what failed
    return;
  }
  double cx, cy, u, w;
  Centre(v, &cx, &cy);
  Fraction(*x, v, cx, cy, &u, &w);
  v.page = n;
  x->message.clear();
  Place(*x, &v, u, w, cx, cy);
  Wanted(x, "page");
}

// ---- Drawing ----------------------------------------------------------------

ImgScaleTp MethodFor(const PvExploreTp &x, const ViewTp &v) {
  // Enlarged, averaging would blur each pixel's edges: pixels are
  // repeated, unless interpolation was asked for. The fitted view is the
  // one the plain viewer shows.
  if (v.fit || x.setup.scale_method != ImgScaleAveraging) return x.setup.scale_method;
  double zx, zy;
  Zoom(x, v, &zx, &zy);
  return zx > 1 && zy > 1 ? ImgScaleReplication : ImgScaleAveraging;
}

// Stamp and labels for the view: the stamp for the fitted page, which it
// stays on whatever the zoom; the labels for the window, where they stay.
ReturnTp PrepareDecor(PvExploreTp *x, const ViewTp &v) {
  ViewTp fitted = v;
  fitted.fit = true;
  int32_t fw, fh;
  FitSize(*x, fitted, &fw, &fh);
  const int32_t key[5] = {fw, fh, v.rotation, v.w, v.h};
  if (std::equal(key, key + 5, x->decor_key)) return 0;
  x->decor->stamp_angle = v.rotation;
  std::copy(key, key + 5, x->decor_key);
  return ImgPrepareViewStamp(x->decor, fw, fh, v.w, v.h);
}

// What a rendered row goes to: row j of the window, pixels rx .. rx + rw - 1
// of it, page and stamp not yet laid over white.
using RowSinkTp = std::function<ReturnTp(int32_t j, RgbPixelTp *row)>;

// Renders rectangle (rx, ry, rw, rh) of view v, top row first, from the
// raster: the part the page covers is read through a block whose output
// window is that part of the zoomed page; the rest is left transparent,
// which shows white.
ReturnTp Render(PvExploreTp *x, const ViewTp &v, int32_t rx, int32_t ry, int32_t rw, int32_t rh,
                const RowSinkTp &sink) {
  int32_t zw, zh;
  ZoomedSize(*x, v, &zw, &zh);
  const int64_t x0 = std::max<int64_t>(rx, -v.vx), x1 = std::min<int64_t>(rx + rw, zw - v.vx);
  const int64_t y0 = std::max<int64_t>(ry, -v.vy), y1 = std::min<int64_t>(ry + rh, zh - v.vy);
  const bool covered = x0 < x1 && y0 < y1;
  x->row.resize(static_cast<size_t>(std::max(rw, 1)));
  RgbPixelTp *row = x->row.data();
  ImgControlBlockTp *cb = nullptr;
  int32_t turn = 0;
  ReturnTp rc = 0;
  if (covered) {
    rc = OpenBlock(x, v, &cb, &turn);
    if (!rc) {
      cb->scale_method = MethodFor(*x, v);
      rc = ImgSetOutputWindow(cb, zw, zh, static_cast<int32_t>(v.vx + x0),
                              static_cast<int32_t>(v.vy + y0), static_cast<int32_t>(x1 - x0),
                              static_cast<int32_t>(y1 - y0));
    }
  }
  const int32_t cols = static_cast<int32_t>(x1 - x0);
  for (int32_t j = ry; !rc && j < ry + rh; ++j) {
    if (!covered || j < y0 || j >= y1) {
      std::fill(row, row + rw, RgbPixelTp{0, 0, 0, 0});
    } else {
      std::fill(row, row + (x0 - rx), RgbPixelTp{0, 0, 0, 0});
      std::fill(row + (x1 - rx), row + rw, RgbPixelTp{0, 0, 0, 0});
      RgbPixelTp *out = row + (x0 - rx);
      rc = ImgReadLine(cb, static_cast<int32_t>(j - y0), out);
      // The block turned the page's raster before its first line.
      if (j == y0 && cb->prepared && Turned(turn)) {
        PageTp &p = x->pages[static_cast<size_t>(v.page - 1)];
        p.turned = (p.turned + turn) % 360;
      }
      if (!rc && x->decor)
        ImgApplyZoomedStamp(x->decor, out, cols, static_cast<int32_t>(v.vx + x0),
                            static_cast<int32_t>(v.vy + j), zw, zh);
    }
    if (!rc) rc = sink(j, row);
  }
  if (cb) ImgClose(&cb);
  return rc;
}

// Row y, pixels rx .. rx + rw - 1, as the window shows it: labels laid on,
// then over white.
void Compose(PvExploreTp *x, int32_t rx, int32_t y, int32_t rw, RgbPixelTp *row) {
  if (x->decor) ImgApplyLabels(x->decor, row, y, rx, rw);
  ImgOverWhite(row, row, rw);
}

// Draws rectangle (rx, ry, rw, rh) of the view wanted into the window.
ReturnTp Show(PvExploreTp *x, int32_t rx, int32_t ry, int32_t rw, int32_t rh) {
  const ViewTp &v = x->want;
  rw = std::min(rw + std::min(rx, 0), v.w - std::max(rx, 0));
  rh = std::min(rh + std::min(ry, 0), v.h - std::max(ry, 0));
  rx = std::max(rx, 0);
  ry = std::max(ry, 0);
  if (rw <= 0 || rh <= 0) return 0;
  SCR_CONTROL_BLOCK *screen = x->setup.screen;
  const ReturnTp rc = Render(x, v, rx, ry, rw, rh, [&](int32_t j, RgbPixelTp *row) {
    Compose(x, rx, j, rw, row);
    return ScrPutRect(screen, rx, j, rw, 1, reinterpret_cast<const uint8_t *>(row), 0);
  });
  return rc ? rc : ScrFlush(screen, rx, ry, rw, rh);
}

// The whole view through a palette: the screen's colour map, or -colors.
ReturnTp ShowThroughPalette(PvExploreTp *x) {
  const int32_t w = x->shown.w, h = x->shown.h;
  SCR_CONTROL_BLOCK *screen = x->setup.screen;
  try {
    x->composed.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
  } catch (const std::bad_alloc &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  if (ReturnTp rc = Render(x, x->want, 0, 0, w, h, [&](int32_t j, RgbPixelTp *row) {
        RgbPixelTp *to = &x->composed[static_cast<size_t>(j) * w];
        std::copy_n(row, w, to);
        Compose(x, 0, j, w, to);
        return ReturnTp{0};
      }))
    return rc;
  std::vector<RgbPixelTp> palette(256, RgbPixelTp{0, 0, 0, 0});
  std::vector<uint32_t> cells(256, 0);
  const bool mapped = screen->display_class == SCR_CLASS_PSEUDOCOLOR;
  const int entries = std::min<int32_t>(256, screen->color_count);
  const uint8_t *defaults = screen->default_colors;
  if (mapped && defaults)
    for (int i = 0; i < entries; ++i)
      palette[i] = RgbPixelTp{defaults[3 * i + 2], defaults[3 * i + 1], defaults[3 * i], 255};
  if (screen->cell_table)
    for (int i = 0; i < entries; ++i) cells[i] = screen->cell_table[i];
  RgbPixelTp *pixels = x->composed.data();
  uint8_t *index = reinterpret_cast<uint8_t *>(pixels);
  const int colors = x->setup.colors ? x->setup.colors : 256;
  ImgReduceColors(pixels, index, palette.data(), cells.data(), colors - 1, x->setup.nodither,
                  x->setup.stdcmap, w, h);
  ReturnTp rc = 0;
  if (mapped) {
    for (int i = 0; i < entries && screen->default_colors; ++i) {
      screen->default_colors[3 * i] = palette[i].red;
      screen->default_colors[3 * i + 1] = palette[i].green;
      screen->default_colors[3 * i + 2] = palette[i].blue;
    }
    rc = ScrInstallColorMap(screen);
    if (!rc) rc = ScrPutRect(screen, 0, 0, w, h, index, static_cast<size_t>(w));
  }
  // Kept as the colours shown, for -save.
  ImgLut2Pix(index, palette.data(), pixels, w * h);
  if (!mapped && !rc)
    rc = ScrPutRect(screen, 0, 0, w, h, reinterpret_cast<const uint8_t *>(pixels),
                    static_cast<size_t>(w) * sizeof(RgbPixelTp));
  return rc ? rc : ScrFlush(screen, 0, 0, w, h);
}

// Moves the shown view by (dx, dy) in the zoomed page: what stays is
// moved in the window, and only what comes in is drawn.
ReturnTp Scroll(PvExploreTp *x, int64_t dx64, int64_t dy64) {
  const ViewTp &v = x->want;
  const int32_t w = v.w, h = v.h, dx = static_cast<int32_t>(dx64), dy = static_cast<int32_t>(dy64);
  if (ReturnTp rc = ScrScroll(x->setup.screen, -dx, -dy)) return rc;
  const int32_t cols = w - std::abs(dx);
  // The strips that came in: a column band across the whole height, and
  // a row band beside it.
  const int32_t sx = dx > 0 ? w - dx : 0, sw = std::abs(dx);
  const int32_t ty = dy > 0 ? h - dy : 0, th = std::abs(dy);
  const int32_t tx = dx > 0 ? 0 : sw;
  ReturnTp rc = 0;
  if (sw > 0) rc = Show(x, sx, 0, sw, h);
  if (!rc && th > 0 && cols > 0) rc = Show(x, tx, ty, cols, th);
  // Labels stay where they are in the window: the copy moved them, so both
  // where they are and where the copy put them are drawn again.
  for (const ImgLabelTp *l = x->decor ? x->decor->labels : nullptr; l && !rc; l = l->next) {
    rc = Show(x, l->left, l->top, l->right - l->left, l->bottom - l->top);
    if (!rc) rc = Show(x, l->left - dx, l->top - dy, l->right - l->left, l->bottom - l->top);
  }
  return rc;
}

std::string ZoomText(const PvExploreTp &x, const ViewTp &v) {
  double zx, zy;
  Zoom(x, v, &zx, &zy);
  char text[32];
  const double percent = zx * 100;
  snprintf(text, sizeof text, percent >= 10 ? "%.0f%%" : "%.1f%%", percent);
  return text;
}

void UpdateTitle(PvExploreTp *x) {
  const ViewTp &v = x->shown;
  std::string t = x->setup.name ? x->setup.name : "";
  t += " - " + std::to_string(v.page) + "/" +
       (x->page_count > 0 ? std::to_string(x->page_count) : std::string("?"));
  t += " - " + ZoomText(*x, v);
  if (!x->message.empty()) t += " - " + x->message;
  if (!x->crop_text.empty()) t += " - " + x->crop_text;
  if (t == x->title) return;
  x->title = t;
  ScrSetTitle(x->setup.screen, t.c_str());
}

bool SamePicture(const PvExploreTp &x, const ViewTp &a, const ViewTp &b) {
  if (a.page != b.page || a.rotation != b.rotation || a.mirror != b.mirror || a.w != b.w ||
      a.h != b.h)
    return false;
  int32_t aw, ah, bw, bh;
  ZoomedSize(x, a, &aw, &ah);
  ZoomedSize(x, b, &bw, &bh);
  return aw == bw && ah == bh && MethodFor(x, a) == MethodFor(x, b);
}

bool SameView(const PvExploreTp &x, const ViewTp &a, const ViewTp &b) {
  return SamePicture(x, a, b) && a.vx == b.vx && a.vy == b.vy;
}

}  // namespace

ReturnTp PvExploreOpen(const PvExploreSetupTp *setup, PvExploreTp **out) {
  if (!setup || !out || !setup->screen || !setup->raw || !setup->crop || !setup->decor)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  PvExploreTp *x = new (std::nothrow) PvExploreTp();
  if (!x) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  *out = x;
  x->setup = *setup;
  x->decor = setup->decor;
  const int32_t first = std::max(setup->page, 1);
  for (int32_t n = 1; n <= first; ++n)
    if (ReturnTp rc = AddPage(x, n)) return rc;
  if (setup->stitch) {
    x->page_count = 1;
  } else if (const ImgControlBlockTp *file = setup->pages) {
    if (file->page_count > 0)
      x->page_count = file->page_count;
    else if (file->iff && !file->iff->multipage)
      x->page_count = 1;
  } else {
    x->page_count = setup->raw->pagesInChain();
  }
  SCR_CONTROL_BLOCK *screen = setup->screen;
  x->through_palette = screen->display_class == SCR_CLASS_PSEUDOCOLOR || setup->colors > 0;

  ViewTp &v = x->start;
  v.page = first;
  v.rotation = ((setup->rotation % 360) + 360) % 360;
  v.mirror = setup->mirror & 3;
  v.w = screen->width;
  v.h = screen->height;
  int32_t dw, dh;
  PageSize(*x, v, &dw, &dh);
  x->start_fx = static_cast<double>(setup->fit_w) / dw;
  x->start_fy = static_cast<double>(setup->fit_h) / dh;
  ClampView(*x, &v);
  x->want = v;
  Wanted(x, "fit");
  return PvExploreDraw(x);
}

void PvExploreClose(PvExploreTp **explore) {
  if (!explore || !*explore) return;
  PvExploreTp *x = *explore;
  if (x->decor) ImgClose(&x->decor);
  delete x;
  *explore = nullptr;
}

bool PvExplorePending(const PvExploreTp *x) {
  return x && (!x->drawn || !SameView(*x, x->shown, x->want));
}

ReturnTp PvExploreDraw(PvExploreTp *x) {
  if (!PvExplorePending(x)) return 0;
  const ViewTp v = x->want;
  ReturnTp rc = 0;
  if (x->drawn && (v.w != x->shown.w || v.h != x->shown.h)) {
    // The picture of the old size goes before the new one comes.
    std::vector<RgbPixelTp>().swap(x->composed);
    if ((rc = ScrResize(x->setup.screen, v.w, v.h))) return rc;
  }
  if ((rc = PrepareDecor(x, v))) return rc;

  const bool moved_only = x->drawn && !x->through_palette && SamePicture(*x, x->shown, v);
  const int64_t dx = v.vx - x->shown.vx, dy = v.vy - x->shown.vy;
  if (moved_only && std::abs(dx) < v.w && std::abs(dy) < v.h) {
    rc = Scroll(x, dx, dy);
  } else {
    x->shown = v;
    rc = x->through_palette ? ShowThroughPalette(x) : Show(x, 0, 0, v.w, v.h);
  }
  x->shown = v;
  x->drawn = true;
  if (rc) return rc;
  UpdateTitle(x);
  if (pvdebug > 0 && x->cause) {
    fprintf(stderr, "explore: %s %s %.1f ms (cpu %.1f ms)\n", x->cause, ZoomText(*x, v).c_str(),
            NowMs() - x->since, CpuMs() - x->cpu_since);
    fflush(stderr);
  }
  x->cause = nullptr;
  return 0;
}

bool PvExploreKey(PvExploreTp *x, XKeyEvent *event) {
  if (!x || !event) return false;
  char text[8];
  KeySym key = NoSymbol;
  XLookupString(event, text, sizeof text, &key, nullptr);
  double cx, cy;
  Centre(x->want, &cx, &cy);
  const int64_t across = std::max(1, x->want.w / 4), down = std::max(1, x->want.h / 4);
  switch (key) {
    case XK_plus:
    case XK_equal:
    case XK_KP_Add:
      ZoomIn(x, cx, cy);
      break;
    case XK_minus:
    case XK_KP_Subtract:
      ZoomOut(x, cx, cy);
      break;
    case XK_1:
    case XK_KP_1: {
      // About the pointer when it is in the window.
      Window root, child;
      int rx, ry, px, py;
      unsigned int buttons;
      if (XQueryPointer(event->display, event->window, &root, &child, &rx, &ry, &px, &py,
                        &buttons) &&
          px >= 0 && py >= 0 && px < x->want.w && py < x->want.h) {
        cx = px;
        cy = py;
      }
      ActualPixels(x, cx, cy);
      break;
    }
    case XK_0:
    case XK_KP_0:
    case XK_f:
      if (!x->want.fit) ZoomAbout(x, true, 1, 1, cx, cy);
      break;
    case XK_Left:
    case XK_h:
      Pan(x, -across, 0);
      break;
    case XK_Right:
    case XK_l:
      Pan(x, across, 0);
      break;
    case XK_Up:
    case XK_k:
      Pan(x, 0, -down);
      break;
    case XK_Down:
    case XK_j:
      Pan(x, 0, down);
      break;
    case XK_Next:
    case XK_n:
      TurnPage(x, 1);
      break;
    case XK_Prior:
    case XK_p:
      TurnPage(x, -1);
      break;
    case XK_r:
      if (!x->setup.stitch) Turn(x, 1);
      break;
    case XK_R:
      if (!x->setup.stitch) Turn(x, -1);
      break;
    case XK_m:
      Turn(x, 0);
      break;
    default:
      return false;
  }
  return true;
}

bool PvExploreButton(PvExploreTp *x, const XButtonEvent *event, bool may_crop) {
  if (!x || !event) return false;
  if (event->type == ButtonRelease) {
    if (!x->dragging || event->button != x->drag_button) return false;
    x->dragging = false;
    return true;
  }
  // Inside another application's window, a click gives us the keys.
  if (parentWindow) XSetInputFocus(event->display, event->window, RevertToParent, event->time);
  switch (event->button) {
    case Button4:
      ZoomIn(x, event->x, event->y);
      return true;
    case Button5:
      ZoomOut(x, event->x, event->y);
      return true;
    case Button1:
      if (may_crop) return false;
      [[fallthrough]];
    case Button2:
      x->dragging = true;
      x->drag_button = event->button;
      x->drag_x = event->x;
      x->drag_y = event->y;
      x->drag_vx = x->want.vx;
      x->drag_vy = x->want.vy;
      return true;
    default:
      return false;
  }
}

bool PvExploreMotion(PvExploreTp *x, const XMotionEvent *event) {
  if (!x || !event || !x->dragging) return false;
  // The picture follows the pointer.
  x->want.vx = x->drag_vx - (event->x - x->drag_x);
  x->want.vy = x->drag_vy - (event->y - x->drag_y);
  ClampView(*x, &x->want);
  Wanted(x, "pan");
  return true;
}

void PvExploreResized(PvExploreTp *x, int32_t width, int32_t height) {
  if (!x || width < 1 || height < 1) return;
  ViewTp &v = x->want;
  if (width == v.w && height == v.h) return;
  // The zoom stays, and so does the page point in the window's middle.
  double cx, cy, u, w;
  Centre(v, &cx, &cy);
  Fraction(*x, v, cx, cy, &u, &w);
  if (v.fit) {
    Zoom(*x, v, &v.zx, &v.zy);
    v.fit = false;
  }
  v.w = width;
  v.h = height;
  Centre(v, &cx, &cy);
  Place(*x, &v, u, w, cx, cy);
  Wanted(x, "resize");
}

void PvExploreCropBox(PvExploreTp *x, bool shown, int x0, int y0, int x1, int y1) {
  if (!x || !x->drawn) return;
  x->crop_text.clear();
  if (shown) {
    // From the window to the page as read: through the zoom, the mirror,
    // the turn and the crop.
    const ViewTp &v = x->shown;
    const PageTp &p = Page(*x, v);
    int32_t dw, dh, zw, zh;
    PageSize(*x, v, &dw, &dh);
    ZoomedSize(*x, v, &zw, &zh);
    auto to_page = [&](int wx, int wy, int64_t *px, int64_t *py) {
      int64_t u = Clamp64((v.vx + wx) * dw / zw, 0, dw - 1);
      int64_t w = Clamp64((v.vy + wy) * dh / zh, 0, dh - 1);
      if (v.mirror & 1) u = dw - 1 - u;
      if (v.mirror & 2) w = dh - 1 - w;
      int64_t a = u, b = w;  // in the cropped page
      if (v.rotation == 90) {
        a = p.crop_w - 1 - w;
        b = u;
      } else if (v.rotation == 180) {
        a = p.crop_w - 1 - u;
        b = p.crop_h - 1 - w;
      } else if (v.rotation == 270) {
        a = w;
        b = p.crop_h - 1 - u;
      }
      *px = a + p.crop_x;
      *py = b + p.crop_y;
    };
    int64_t ax, ay, bx, by;
    to_page(x0, y0, &ax, &ay);
    to_page(x1, y1, &bx, &by);
    char text[128];
    snprintf(text, sizeof text, "Crop: %lldx%lld+%lld+%lld (%d,%d)",
             static_cast<long long>(std::abs(bx - ax) + 1),
             static_cast<long long>(std::abs(by - ay) + 1),
             static_cast<long long>(std::min(ax, bx)), static_cast<long long>(std::min(ay, by)),
             p.width, p.height);
    x->crop_text = text;
  }
  UpdateTitle(x);
}

bool PvExploreSave(PvExploreTp *x, const char *name) {
  FILE *fp = fopen(name, "wb");
  if (!fp) return false;
  const ViewTp &v = x->shown;
  std::vector<uint8_t> rgb(static_cast<size_t>(v.w) * 3);
  bool ok = true;
  if (x->through_palette) {
    // Through a palette the colours shown are kept.
    for (int32_t y = 0; y < v.h && ok; ++y) {
      ImgPix2Rgb(x->composed.data() + static_cast<size_t>(y) * v.w, rgb.data(), v.w);
      ok = fwrite(rgb.data(), 1, rgb.size(), fp) == rgb.size();
    }
  } else if (x->drawn) {
    // Otherwise the view is made again as it went to the window.
    ok = Render(x, v, 0, 0, v.w, v.h, [&](int32_t j, RgbPixelTp *row) {
           Compose(x, 0, j, v.w, row);
           ImgPix2Rgb(row, rgb.data(), v.w);
           return fwrite(rgb.data(), 1, rgb.size(), fp) == rgb.size() ? ReturnTp{0} : ReturnTp{1};
         }) == 0;
  }
  const int saved_errno = errno;
  if (fclose(fp) != 0)
    ok = false;
  else if (!ok)
    errno = saved_errno;
  return ok;
}
