// pvview: shows one raster image in an X window.
//
// This file is the viewer's option table and its start-up: the process
// group and interrupt handler, the environment, the command line, the
// system directory, the display, and every option read into the settings
// that the display pipeline uses.
#include <X11/Xlib.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common.h"
#include "image.h"
#include "pvexplore.h"
#include "pvinit.h"
#include "pvloop.h"
#include "screen.h"

#define CMN_SOURCE "pvview"

#ifndef PV_VERSION
#define PV_VERSION 10
#endif
#ifndef PV_BUILD
#define PV_BUILD 1
#endif

namespace {

const char kProductName[] = "pvview raster image viewer";
const char kReleaseDate[] = "September 13, 2016";

// Rows are searched in this order, so the order decides which prefixes
// are ambiguous; a null help hides a row from the listing.
CmdOptionTp pvOptions[] = {
    {"", 0, nullptr, "GENERAL:"},
    {"bartitle", 1, nullptr, "name of window"},
    {"sysdir", 1, nullptr, "<dirname>"},
    {"ddt", 1, nullptr, nullptr},
    {"display", 1, nullptr, "<hostname:display_no[:screen_no]>"},
    {"help", 0, nullptr, ""},
    {"info", 0, nullptr, nullptr},
    {"pageno", 1, nullptr, "Page number"},
    {"timer", 1, nullptr, "(Close window and exit after n seconds)"},
    {"tmp", 1, nullptr, "<temporary directory>"},
    {"version", 0, nullptr, ""},
    {"save", 1, nullptr, nullptr},
    {"explore", 1, nullptr, "<false | true> (zoom, pan, pages, turns)"},
    {"", 0, nullptr, "COLORS:"},
    {"colors", 1, nullptr, "0-256 (0=RGB)"},
    IMG_COLOR_MODE_OPTION_ROWS,
    {"nodither", 0, nullptr, "(for special effects only)"},
    {"stdcmap", 0, nullptr, "use standard colormap (not optimize for pict"},
    IMG_COLOR_FACTOR_OPTION_ROWS,
    {"", 0, nullptr, "GEOMETRY:"},
    {"crop", 1, nullptr, "[<width>][x<height>][+/-<xoff>[+/-<yoff>]]"},
    {"rotate", 1, nullptr, "<0 | 90 | 180 | 270>"},
    {"mirror", 1, nullptr, "<none | horizontal | vertical | both>"},
    {"resize", 1, nullptr, nullptr},
    {"scalemethod", 1, nullptr, "<averaging | interpolation | replication>"},
    {"size", 1, nullptr, "[<width>][x<height>]"},
    {"maycrop", 1, nullptr, nullptr},
    {"relcrop", 1, nullptr, nullptr},
    {"stitch", 1, nullptr, "<false | true>"},
    {"oresolution", 1, nullptr, nullptr},
    {"", 0, nullptr, "STAMP and LABEL:"},
    IMG_STAMP_OPTION_ROWS,
    {"parentwindow", 1, nullptr, nullptr},
    {"parentwidth", 1, nullptr, nullptr},
    {"parentheight", 1, nullptr, nullptr},
    {"xoffset", 1, nullptr, nullptr},
    {"yoffset", 1, nullptr, nullptr},
    {nullptr, 0, nullptr, nullptr},
};

// Everything the display pipeline takes from the command line and the
// environment, read once at start-up.
struct PvSettingsTp {
  const char *infile = "";  // "" reads standard input
  const char *sysdir = nullptr;
  const char *bartitle = nullptr;
  const char *save = nullptr;
  Display *display = nullptr;
  int screen_width = 0, screen_height = 0;
  int env_resolution = 144;
  int32_t parentwidth = 0, parentheight = 0;
  double relcrop_w = 1.0, relcrop_h = 1.0, relcrop_x = 0.0, relcrop_y = 0.0;
  int32_t size_w = 0, size_h = 0;  // 0: not given
  int32_t timer = 0, colors = 0;
  ImgColorOpsTp color{};  // the colour options
  bool nodither = false, stdcmap = false;
  const char *crop = nullptr;
  int resize = 0;  // 0 not given, 1 shrink, 2 fit, 3 noresize, 4 obey
  ImgScaleTp scalemethod = ImgScaleAveraging;
  bool maycrop = false, stitch = false;
  bool explore = false;     // zoom, pan, pages and turns in the window
  ImgStampOptionsTp stamp;  // stamp and label options
};

ImgOpenParamsTp *pvParams = nullptr;
char **pvFiles = nullptr;
int pvNFiles = 0;
const PvSettingsTp *pvSettings = nullptr;  // for the crop of each page explored

// An interrupt or a SIGTERM ends the filters and the stamp renderer (each
// in a group of its own), every other process of our group, and then this
// one. The X image may point into memory that is not the library's to
// free, so its data pointer is cleared first. Our own SIGTERM is ignored
// so that the exit status stays 0; children forked earlier keep the
// default.
void InterruptHandler(int) {
  if (scr_external_x_image) scr_external_x_image->data = nullptr;
  IfiEndFilters();
  signal(SIGTERM, SIG_IGN);
  kill(0, SIGTERM);
  _exit(0);
}

[[noreturn]] void Exit(int status) {
  CmdFreeOpts(pvOptions, &pvFiles);
  free(pvParams);
  exit(status);
}

// The position of the chosen word in its list, or -1 when the option was
// not given; a bad or ambiguous word has been reported and ends the program.
template <typename... Words>
int Choice(const char *name, Words... words) {
  return CmdGetOptPosition(pvOptions, name, words..., nullptr);
}

int EnvInt(const char *name, int dflt) {
  const char *value = getenv(name);
  if (!value) return dflt;
  return atoi(value);
}

void SaveInputCopy(int argc, char **argv) {
  for (int i = 0; i < argc; ++i) fprintf(stderr, "%s ", argv[i]);
  fputc('\n', stderr);
  fflush(stderr);
  if (argc < 2) return;
  // The name comes from the user: quoted, it can never run a command.
  char *quoted = CmnShellQuote(argv[argc - 1]);
  char *command = nullptr;
  // "--": a name that begins with "-" is a name, not options for cp.
  CmnStrPrintf(&command, "cp -- %s %s.sav", quoted, quoted);
  if (system(command) != 0) {
    // A missing input file is reported when it is read.
  }
  CmnStrFree(&command);
  CmnStrFree(&quoted);
}

void PrintVersion(const char *program) {
  char *text = nullptr;
  CmnStrPrintf(&text, " %s\n\n", kProductName);
  CmnStrPrintf(&text, " Version %d.%d.%d\n", PV_VERSION / 10, PV_VERSION % 10, PV_BUILD);
  CmnStrPrintf(&text, " Released on %s\n\n", kReleaseDate);
  CmnStrPrintf(&text, " Program is %s\n", program);
  if (const char *top = getenv("PVTOPDIR")) CmnStrPrintf(&text, " PVTOPDIR is %s\n", top);
  struct utsname names;
  if (uname(&names) == 0)
    CmnStrPrintf(&text, "\n Operating system is %s %s\n", names.sysname, names.release);
  CmnInfo("Version Information", &text);
  CmnStrFree(&text);
}

void ReadSettings(PvSettingsTp *s) {
  s->bartitle = static_cast<const char *>(CmdGetOpt(pvOptions, "bartitle"));
  s->save = static_cast<const char *>(CmdGetOpt(pvOptions, "save"));
  // A negative timer would be a wait of many years once made unsigned.
  s->timer = CmdGetOptIntRange(pvOptions, "timer", 0, 0, INT32_MAX);
  s->colors = CmdGetOptIntRange(pvOptions, "colors", 0, 0, 256);

  ImgReadColorOptions(pvOptions, &s->color);
  s->nodither = CmdGetOpt(pvOptions, "nodither") != nullptr;
  s->stdcmap = CmdGetOpt(pvOptions, "stdcmap") != nullptr;

  s->crop = static_cast<const char *>(CmdGetOpt(pvOptions, "crop"));
  s->resize = CmdGetOptIndex(pvOptions, "resize", "shrink", "fit", "noresize", "obey",
                             static_cast<const char *>(nullptr));
  if (s->resize < 0) Exit(1);
  static const ImgScaleTp kMethods[] = {ImgScaleAveraging, ImgScaleBilinear, ImgScaleBilinear,
                                        ImgScaleReplication};
  int method = Choice("scalemethod", "averaging", "bilinear", "interpolation", "replication");
  s->scalemethod = method < 0 ? ImgScaleAveraging : kMethods[method];
  s->maycrop = Choice("maycrop", "false", "true") == 1;
  s->stitch = Choice("stitch", "false", "true") == 1;
  s->explore = Choice("explore", "false", "true") == 1;

  ImgReadStampOptions(pvOptions, &s->stamp);
}

// ---- The display pipeline --------------------------------------------------

// The size the image is shown at before `size` overrides it: the display
// size of the crop, brought to the target and, unless the caller asked for
// a size of its own, fitted into the screen with room for the window
// decorations.
void ChooseShownSize(const PvSettingsTp &s, const ImgControlBlockTp *cb, int32_t *w, int32_t *h) {
  int32_t dw, dh;
  ImgOutputSize(cb, &dw, &dh);
  const int32_t tw = s.parentwidth ? s.parentwidth : dw;
  const int32_t th = s.parentheight ? s.parentheight : dh;
  *w = dw;
  *h = dh;
  if (s.resize == 3) {
    // Rasterised vector input is shown at its natural 72 dots per inch.
    const int32_t no_conversion = cb->iff ? cb->iff->scaled : 0;
    if (rasterized && !no_conversion && graphics_resolution > 0) {
      const int32_t cw = cb->crop_w ? cb->crop_w : cb->width;
      const int32_t ch = cb->crop_h ? cb->crop_h : cb->lines;
      *w = static_cast<int32_t>(cw * 72.0 / graphics_resolution + 0.5);
      *h = static_cast<int32_t>(ch * 72.0 / graphics_resolution + 0.5);
    }
    return;
  }
  if (s.resize == 4) {
    *w = tw;
    *h = th;
    return;
  }
  const bool fit = s.resize == 2;
  float f = 1.0f;
  if (static_cast<int64_t>(dh) * tw > static_cast<int64_t>(dw) * th) {
    if (dh >= th || fit) f = static_cast<float>(th) / static_cast<float>(dh);
  } else {
    if (dw >= tw || fit) f = static_cast<float>(tw) / static_cast<float>(dw);
  }
  *w = std::max<int32_t>(1, static_cast<int32_t>((dw + 0.5f) * f));
  *h = std::max<int32_t>(1, static_cast<int32_t>((dh + 0.5f) * f));

  // Leave 50 pixels across and 100 down for the window manager's frame.
  const int64_t sw = s.screen_width, sh = s.screen_height;
  if (sw > *w + 49 && sh > *h + 99) return;
  if ((*w + 50) * sh <= (*h + 100) * sw) {
    const int32_t old_h = *h;
    *h = static_cast<int32_t>(sh - 100);
    *w = std::max<int32_t>(1, static_cast<int32_t>(*w * (sh - 100) / old_h));
  } else {
    const int32_t old_w = *w;
    *w = static_cast<int32_t>(sw - 50);
    *h = std::max<int32_t>(1, static_cast<int32_t>(*h * (sw - 50) / old_w));
  }
}

// The size the page is shown at: fitted, then `size` when given.
void ShownSize(const PvSettingsTp &s, const ImgControlBlockTp *cb, int32_t *ow, int32_t *oh) {
  ChooseShownSize(s, cb, ow, oh);
  if (s.size_w) {
    *oh = s.size_h ? s.size_h : static_cast<int32_t>(static_cast<int64_t>(s.size_w) * *oh / *ow);
    *ow = s.size_w;
  } else if (s.size_h) {
    *ow = static_cast<int32_t>(static_cast<int64_t>(*ow) * s.size_h / *oh);
    *oh = s.size_h;
  }
  *ow = std::max<int32_t>(1, *ow);
  *oh = std::max<int32_t>(1, *oh);
}

// Everything the pipeline owns, released in one place whatever way the
// program ends.
struct PvRunTp {
  ImgRaw *raw = nullptr;
  ImgControlBlockTp *pages = nullptr;  // the open file further pages come from
  PvExploreTp *explore = nullptr;
  ImgControlBlockTp *cb = nullptr;
  SCR_CONTROL_BLOCK *screen = nullptr;
  RgbPixelTp *frame = nullptr;
  Display *display = nullptr;
  // The page's full size (upright) while the raster holds it at a smaller
  // resolution level; 0 when the raster holds it whole.
  int32_t full_w = 0, full_h = 0;
};

PvRunTp pvRun;

[[noreturn]] void Finish(int status) {
  PvExploreClose(&pvRun.explore);
  if (pvRun.cb) ImgClose(&pvRun.cb);
  if (pvRun.pages) ImgClose(&pvRun.pages);
  if (pvRun.screen) ScrClose(&pvRun.screen);
  free(pvRun.frame);
  pvRun.frame = nullptr;
  delete pvRun.raw;
  pvRun.raw = nullptr;
  if (pvRun.display) XCloseDisplay(pvRun.display);
  pvRun.display = nullptr;
  Exit(status);
}

// Line y of an ow-pixel frame to the window, widened with white when the
// frame had to be made smaller than the window. Returns ScrPutLine's code.
ReturnTp PutFrameLine(const uint8_t *row, int32_t ow, int32_t y, int bytes_per_pixel,
                      std::vector<uint8_t> *wide) {
  const int32_t width = pvRun.screen->width;
  if (ow >= width) return ScrPutLine(pvRun.screen, y, row);
  wide->assign(static_cast<size_t>(width) * bytes_per_pixel, 0xFF);
  memcpy(wide->data(), row, static_cast<size_t>(ow) * bytes_per_pixel);
  return ScrPutLine(pvRun.screen, y, wide->data());
}

// Reads the whole picture into the frame, reduces its colours where the
// screen or the user asks for it, and shows it. Ends the program on the
// failures that leave nothing to show.
void ShowThroughFrame(const PvSettingsTp &s, int32_t *ow, int32_t *oh) {
  ImgControlBlockTp *cb = pvRun.cb;
  for (int attempt = 0;; ++attempt) {
    pvRun.frame = static_cast<RgbPixelTp *>(
        malloc(static_cast<size_t>(*ow) * static_cast<size_t>(*oh) * sizeof(RgbPixelTp)));
    if (pvRun.frame) break;
    if (attempt == 2) {
      CmnError(CMN_SOURCE, 1141, CMN_E_NOMEM);
      Finish(3);
    }
    *ow = std::max<int32_t>(1, *ow / 2);
    *oh = std::max<int32_t>(1, *oh / 2);
    // The reader must now deliver lines of the smaller size.
    if (ImgSetOutputSize(cb, *ow, *oh)) Finish(1);
  }
  for (int32_t y = 0; y < *oh; ++y) {
    RgbPixelTp *row = pvRun.frame + static_cast<size_t>(y) * *ow;
    if (ImgReadLine(cb, y, row)) Finish(1);
    ImgOverWhite(row, row, *ow);
  }

  const bool mapped = pvRun.screen->display_class == SCR_CLASS_PSEUDOCOLOR;
  std::vector<uint8_t> wide;
  if (!mapped && s.colors == 0) {
    for (int32_t y = 0; y < *oh; ++y)
      if (PutFrameLine(reinterpret_cast<uint8_t *>(pvRun.frame + static_cast<size_t>(y) * *ow), *ow,
                       y, 4, &wide))
        Finish(0);
    return;
  }

  RgbPixelTp *palette = static_cast<RgbPixelTp *>(calloc(256, sizeof(RgbPixelTp)));
  if (!palette) {
    CmnError(CMN_SOURCE, 1161, CMN_E_NOMEM);
    Finish(1);
  }
  uint32_t *cells = static_cast<uint32_t *>(calloc(256, sizeof(uint32_t)));
  if (!cells) {
    free(palette);
    CmnError(CMN_SOURCE, 1167, CMN_E_NOMEM);
    Finish(1);
  }
  const uint8_t *defaults = pvRun.screen->default_colors;
  const int entries = std::min<int32_t>(256, pvRun.screen->color_count);
  if (mapped && defaults)
    for (int i = 0; i < entries; ++i)
      palette[i] = RgbPixelTp{defaults[3 * i + 2], defaults[3 * i + 1], defaults[3 * i], 255};
  if (pvRun.screen->cell_table)
    for (int i = 0; i < entries; ++i) cells[i] = pvRun.screen->cell_table[i];

  const int colors = s.colors ? s.colors : 256;
  uint8_t *index = reinterpret_cast<uint8_t *>(pvRun.frame);
  ImgReduceColors(pvRun.frame, index, palette, cells, colors - 1, s.nodither, s.stdcmap, *ow, *oh);
  free(cells);

  if (!mapped) {
    // Expanded in place from the end, so no index is overwritten unread.
    ImgLut2Pix(index, palette, pvRun.frame, *ow * *oh);
    free(palette);
    for (int32_t y = 0; y < *oh; ++y)
      if (PutFrameLine(reinterpret_cast<uint8_t *>(pvRun.frame + static_cast<size_t>(y) * *ow), *ow,
                       y, 4, &wide))
        Finish(0);
    return;
  }

  uint8_t *table = pvRun.screen->default_colors;
  for (int i = 0; i < entries && table; ++i) {
    table[3 * i] = palette[i].red;
    table[3 * i + 1] = palette[i].green;
    table[3 * i + 2] = palette[i].blue;
  }
  ScrInstallColorMap(pvRun.screen);
  for (int32_t y = 0; y < *oh; ++y)
    if (PutFrameLine(index + static_cast<size_t>(y) * *ow, *ow, y, 1, &wide)) {
      free(palette);
      Finish(0);
    }
  if (s.save) {
    // A saved picture holds the colours shown, not the screen's indices.
    ImgLut2Pix(index, palette, pvRun.frame, *ow * *oh);
  }
  free(palette);
}

// The raw dump of the frame: red, green, blue per pixel, no header.
void SaveFrame(const char *name, int32_t ow, int32_t oh) {
  const size_t n = static_cast<size_t>(ow) * static_cast<size_t>(oh);
  uint8_t *rgb = reinterpret_cast<uint8_t *>(pvRun.frame);
  ImgPix2Rgb(pvRun.frame, rgb, static_cast<int>(n));
  FILE *fp = fopen(name, "wb");
  if (!fp) {
    perror(name);
    Finish(1);
  }
  const size_t written = fwrite(rgb, 1, n * 3, fp);
  const bool closed = fclose(fp) == 0;
  if (written != n * 3 || !closed) {
    perror(name);
    Finish(1);
  }
}

// Crop: the relative one first, then the absolute one inside the page.
void ApplyCrop(ImgControlBlockTp *cb) {
  const PvSettingsTp &s = *pvSettings;
  cb->crop_x = 0;
  cb->crop_y = 0;
  cb->crop_w = cb->width;
  cb->crop_h = cb->lines;
  if (CmdGetOpt(pvOptions, "relcrop")) {
    cb->crop_w = static_cast<int32_t>(cb->width * s.relcrop_w + 0.5);
    cb->crop_h = static_cast<int32_t>(cb->lines * s.relcrop_h + 0.5);
    cb->crop_x = static_cast<int32_t>(s.relcrop_x * cb->width + 0.5);
    cb->crop_y = static_cast<int32_t>(s.relcrop_y * cb->lines + 0.5);
  }
  if (s.crop) {
    int32_t x = cb->crop_x, y = cb->crop_y;
    CmdParseCrop(s.crop, &cb->crop_w, &cb->crop_h, &x, &y);
    cb->crop_x = x;
    cb->crop_y = y;
  }
}

// The first page for the fitted view, no larger than it is shown: a file
// that lists resolution levels (JPEG 2000, JPEG) is read at the smallest
// that still gives the shown size, with the crop and size worked out on
// the full page as ShowImage will; pvRun.full_w and full_h then keep the
// full size. A crop of a page stored on its side, and pixels that are not
// square, are read whole.
ReturnTp ReadFittedPage(const PvSettingsTp &s) {
  ImgControlBlockTp *cb = nullptr;
  ReturnTp rc = ImgOpenPicture(s.infile, &cb, nullptr);
  if (rc) {
    if (cb) ImgClose(&cb);
    Finish(1);
  }
  const bool cropped = s.crop || CmdGetOpt(pvOptions, "relcrop");
  if (cb->iff && cb->iff->level_count > 1 && cb->lines == cb->source_lines &&
      !(cb->file_turn && cropped)) {
    ApplyCrop(cb);
    cb->rotation = pvParams->rotation;
    int32_t ow, oh;
    ShownSize(s, cb, &ow, &oh);
    const int32_t level = ImgLevelFor(cb, ow, oh);
    if (level) {
      const bool turned = cb->file_turn == 90 || cb->file_turn == 270;
      pvRun.full_w = turned ? cb->source_lines : cb->width;
      pvRun.full_h = turned ? cb->width : cb->source_lines;
      rc = ImgReadAtLevel(cb, level);
    }
    cb->rotation = 0;
  }
  pvRun.raw = new ImgRaw(cb);
  if (!rc) rc = pvRun.raw->status();
  if (!rc) rc = pvRun.raw->readPages(cb, 1, 1);
  ImgClose(&cb);
  return rc;
}

// The raster the window is drawn from, holding every page up to the one
// shown: the one place that decides how the file is read. The fitted
// view needs no more than its own size of each page; exploring needs
// each page whole, and reads the pages after the one shown only when they
// are asked for, from the file it keeps open. Returns the raster's status.
ReturnTp ReadRaster(const PvSettingsTp &s, int page) {
  delete pvRun.raw;
  pvRun.raw = nullptr;
  if (pvRun.pages) ImgClose(&pvRun.pages);
  // Stitched pages are shown as one picture: all of them are read. Pages
  // after the one shown are not (a page description may never end).
  pvRun.full_w = pvRun.full_h = 0;
  if (!s.explore && !s.stitch && page < 2) return ReadFittedPage(s);
  if (!s.explore || s.stitch) {
    pvRun.raw = new ImgRaw(s.infile, true, 1, s.stitch ? 0 : std::max(page, 1));
    return pvRun.raw->status();
  }
  ReturnTp rc = ImgOpenPicture(s.infile, &pvRun.pages, nullptr);
  if (rc) {
    if (pvRun.pages) ImgClose(&pvRun.pages);
    Finish(1);
  }
  pvRun.raw = new ImgRaw(pvRun.pages);
  rc = pvRun.raw->status();
  if (!rc) rc = pvRun.raw->readPages(pvRun.pages, 1, std::max(page, 1));
  return rc;
}

// Vector input rasterised by a filter is opened again at a resolution
// that fills the parent's area or the size asked for, rather than being
// enlarged pixel by pixel.
void Rerasterise(const PvSettingsTp &s, ImgControlBlockTp **pcb) {
  const ImgControlBlockTp *cb = *pcb;
  if (s.parentwidth != 0 && cb->width != 0 && graphics_resolution > 5) {
    const int32_t larger = std::max(cb->width, cb->lines);
    if (graphics_size <= larger) return;
    graphics_resolution = std::max(
        1,
        static_cast<int>(static_cast<double>(graphics_resolution) * graphics_size / larger + 0.5));
  } else {
    if (s.size_w == 0 || (s.size_w <= cb->width && cb->lines >= s.size_h)) return;
    const int32_t factor =
        std::max(s.size_w / std::max(cb->width, 1), s.size_h / std::max(cb->lines, 1));
    if (graphics_size != 0) graphics_size *= factor;
    graphics_resolution = std::max(1, graphics_resolution * factor);
  }
  // The open keeps the rotation unless the filter has turned the picture
  // itself; the raster read first was never rotated.
  ImgClose(pcb);
  if (s.explore) {
    // Views come from a raster: it is read again at the new resolution.
    const int page = pvParams->page;
    if (ReadRaster(s, page) || !pvRun.raw->segment(std::max(page, 1))) Finish(1);
    if (ImgOpenRaw(pvRun.raw, page, pcb, pvParams) || !*pcb) Finish(1);
    return;
  }
  if (ImgOpen(s.infile, pcb, pvParams) || !*pcb) Finish(1);
}

// The explore mode from the fitted view on: the same picture, then the
// user's zoom, pans, pages and turns until the window is closed or the
// timer runs out. -save writes the first view and, at the end, the last.
[[noreturn]] void Explore(const PvSettingsTp &s, int32_t ow, int32_t oh) {
  PvExploreSetupTp setup = {};
  setup.display = s.display;
  setup.screen = pvRun.screen;
  setup.raw = pvRun.raw;
  setup.pages = pvRun.pages;
  setup.page = s.stitch ? 1 : std::max(pvParams->page, 1);
  setup.rotation = pvParams->rotation;
  setup.mirror = pvParams->mirror;
  setup.fit_w = ow;
  setup.fit_h = oh;
  setup.name = s.bartitle ? s.bartitle : *s.infile ? s.infile : "From Standard Input";
  setup.stitch = s.stitch;
  setup.crop = ApplyCrop;
  setup.color = &s.color;
  setup.decor = pvRun.cb;  // its stamp and label settings; no line is read from it
  pvRun.cb = nullptr;
  setup.scale_method = s.scalemethod;
  setup.colors = s.colors;
  setup.nodither = s.nodither;
  setup.stdcmap = s.stdcmap;
  // The first view is drawn as the block opens, and a user (or a test
  // that waits for the title) may click at once.
  ScrSelectLoopInput(s.display, s.maycrop, true);
  if (PvExploreOpen(&setup, &pvRun.explore)) Finish(1);
  auto save = [&] {
    if (s.save && !PvExploreSave(pvRun.explore, s.save)) {
      perror(s.save);
      Finish(1);
    }
  };
  save();
  ScrEventLoop(pvRun.screen, s.display, s.maycrop, pvRun.explore, s.timer);
  save();
  Finish(0);
}

// Reads, sizes and shows the image, waits, and ends the program.
[[noreturn]] void ShowImage(PvSettingsTp *settings) {
  const PvSettingsTp &s = *settings;
  pvRun.display = s.display;

  // The raster holds every page up to the one shown, so that a page seam
  // can be looked at across pages.
  const int page = s.stitch ? 1 : pvParams->page;
  const ReturnTp read = ReadRaster(s, page);
  ImgRaw *raw = pvRun.raw;
  if (raw->width() == 0 || raw->segmentLines() == 0) Finish(1);
  // A page whose reading failed before its first line has nothing to
  // show; a page cut short later shows the lines it has.
  if (read && raw->segment(page) && raw->segment(page)->linesPut() == 0) Finish(1);
  if (ImgOpenRaw(raw, page, &pvRun.cb, pvParams) || !pvRun.cb) Finish(1);
  // 3. Page seams: lines repeated at the top of the next page go.
  if (s.stitch && raw->removeOverlaps(pvRun.cb, true)) Finish(1);
  // 4. Vector input is rasterised again when it came out too small.
  if (rasterized) Rerasterise(s, &pvRun.cb);
  ImgControlBlockTp *cb = pvRun.cb;
  if (cb->width == 0 || cb->lines == 0) Finish(1);

  // A page held at a smaller level is cropped and sized as the full page,
  // and then read from the level.
  const int32_t held_w = cb->width, held_h = cb->lines;
  if (pvRun.full_w) {
    cb->width = pvRun.full_w;
    cb->lines = cb->source_lines = pvRun.full_h;
  }
  ApplyCrop(cb);

  int32_t ow, oh;
  ShownSize(s, cb, &ow, &oh);
  char *title = nullptr;
  if (s.bartitle)
    CmnStrPrintf(&title, "%s", s.bartitle);
  else
    CmnStrPrintf(&title, "%s - %d x %d", *s.infile ? s.infile : "From Standard Input", cb->width,
                 cb->lines);
  if (pvRun.full_w) ImgCropToLevel(cb, held_w, held_h);
  // The scaler is made for area averaging; the method asked for is used
  // from the first line on.
  cb->scale_method = ImgScaleAveraging;
  if (ImgSetOutputSize(cb, ow, oh)) Finish(1);
  cb->scale_method = s.scalemethod;

  ImgCopyColorOptions(&s.color, &cb->color);
  ImgCopyStampOptions(&s.stamp, cb);

  ReturnTp rc = ScrOpen(&pvRun.screen, s.display, parentWindow, ow, oh, xoffset, yoffset, title);
  CmnStrFree(&title);
  if (rc == SCR_E_UNSUPPORTED) Finish(1);
  if (rc) Finish(0);
  if (s.explore) Explore(s, ow, oh);

  const bool direct =
      pvRun.screen->display_class != SCR_CLASS_PSEUDOCOLOR && s.colors == 0 && !s.save;
  if (direct) {
    // Only one line is ever in memory: the picture goes straight from the
    // raster through the reader to the window.
    std::vector<RgbPixelTp> line(static_cast<size_t>(ow));
    for (int32_t y = 0; y < oh; ++y) {
      if (ImgReadLine(cb, y, line.data())) break;
      ImgOverWhite(line.data(), line.data(), ow);
      if (ScrPutLine(pvRun.screen, y, reinterpret_cast<uint8_t *>(line.data()))) Finish(0);
    }
  } else {
    ShowThroughFrame(s, &ow, &oh);
  }

  // Only the window's own copy of the picture stays while we wait.
  ImgClose(&pvRun.cb);
  if (s.save) SaveFrame(s.save, ow, oh);
  free(pvRun.frame);
  pvRun.frame = nullptr;

  if (s.timer)
    sleep(static_cast<unsigned>(s.timer));
  else
    ScrEventLoop(pvRun.screen, s.display, s.maycrop);
  Finish(0);
}

}  // namespace

int main(int argc, char **argv) {
  CmnKeepFreedMemory();
  PvSettingsTp s;
  pvSettings = &s;
  PvInit(PV_INIT_FILTERS);

  // 1. The open parameters handed to the reading layer.
  pvParams = static_cast<ImgOpenParamsTp *>(calloc(1, sizeof(ImgOpenParamsTp)));
  if (!pvParams) {
    CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
    return 1;
  }
  pvParams->last = 1;

  // 2, 3. Our own process group, so that an interrupt can end the filters
  // and renderers we start together with us.
  setpgid(0, 0);
  struct sigaction on_end = {};
  on_end.sa_handler = InterruptHandler;
  sigemptyset(&on_end.sa_mask);
  for (int sig : {SIGINT, SIGTERM}) sigaddset(&on_end.sa_mask, sig);
  for (int sig : {SIGINT, SIGTERM}) sigaction(sig, &on_end, nullptr);

  // 4. Debugging aid: echo the command line and keep a copy of the input.
  if (getenv("PVVIEWDEBUG")) SaveInputCopy(argc, argv);

  // 5. Environment.
  s.env_resolution = EnvInt("PV_GRAPHICS_RESOLUTION", 144);
  if (s.env_resolution <= 0) s.env_resolution = 144;
  graphics_resolution = s.env_resolution;
  pvdebug = static_cast<uint16_t>(EnvInt("PVDEBUG", 0));

  // 6. Command line; the first file name is the input.
  CmdParseArgs(argc, argv, pvOptions, &pvFiles, &pvNFiles);
  if (pvNFiles > 0) s.infile = pvFiles[0];

  // 7. Help.
  if (CmdGetOpt(pvOptions, "help")) {
    fputs(" -----------------------------------------------\n", stderr);
    fputs("  pvview [options] [<in-file>]\n", stderr);
    fflush(stderr);
    CmdPrintOptions(pvOptions);
    fputs(
        "\nPDF, PostScript, SVG, plots and compressed files are converted by the\n"
        "programs listed in <sysdir>/filters.\n",
        stderr);
    Exit(1);
  }

  // 8. System directory.
  s.sysdir = static_cast<const char *>(CmdGetOpt(pvOptions, "sysdir"));
  if (!s.sysdir) s.sysdir = static_cast<const char *>(CmdGetOpt(pvOptions, "ddt"));
  if (!s.sysdir) s.sysdir = getenv("SYSDIR");
  // An installed viewer falls back on the system directory installed with
  // it, and tells the filters and child processes through SYSDIR.
  if (!s.sysdir) s.sysdir = CmnDefaultSysdirToEnv();
  if (!s.sysdir) {
    CmnError(CMN_SOURCE, __LINE__, CMN_E_NOSYSDIR);
    Exit(1);
  }
  // The filters are found there by whichever layer opens the input.
  setenv("SYSDIR", s.sysdir, 1);

  // 9. Temporary directory for this process and its children.
  if (const char *tmp = static_cast<const char *>(CmdGetOpt(pvOptions, "tmp")))
    setenv("TMPDIR", tmp, 1);

  // 10. Version report.
  if (CmdGetOpt(pvOptions, "version")) {
    PrintVersion(argv[0]);
    Exit(0);
  }

  // 11. Display.
  const char *display_name = static_cast<const char *>(CmdGetOpt(pvOptions, "display"));
  if (display_name)
    setenv("DISPLAY", display_name, 1);
  else
    display_name = getenv("DISPLAY");
  if (!display_name) display_name = ":0.0";
  s.display = XOpenDisplay(display_name);
  if (!s.display) {
    CmnInfoPrintf(nullptr, "ERROR: Cannot open display %s", display_name);
    Exit(1);
  }
  s.screen_width = DisplayWidth(s.display, 0);
  s.screen_height = DisplayHeight(s.display, 0);

  // 12. Embedding in a parent window.
  parentWindow =
      static_cast<unsigned long>(static_cast<uint32_t>(CmdGetOptInt(pvOptions, "parentwindow", 0)));
  xoffset = CmdGetOptInt(pvOptions, "xoffset", 0);
  yoffset = CmdGetOptInt(pvOptions, "yoffset", 0);
  s.parentwidth = CmdGetOptInt(pvOptions, "parentwidth", 0);
  s.parentheight = CmdGetOptInt(pvOptions, "parentheight", 0);

  // 13. Relative crop: fractions, known before the image is read.
  CmdParseRelCrop(static_cast<const char *>(CmdGetOpt(pvOptions, "relcrop")), &s.relcrop_w,
                  &s.relcrop_h, &s.relcrop_x, &s.relcrop_y);

  // 14. Rasterising of vector input. The output resolution only counts
  // when the raster is sized for a parent window.
  if (CmdGetOpt(pvOptions, "oresolution")) {
    graphics_resolution = CmdGetOptInt(pvOptions, "oresolution", 0);
    graphics_size = 0;
  }
  if (s.parentwidth != 0)
    graphics_size = std::max(s.parentwidth, s.parentheight);
  else
    graphics_resolution = s.env_resolution;

  // 15. Rotation and mirror.
  int rotate = Choice("rotate", "0", "90", "180", "270");
  pvParams->rotation = rotate < 0 ? 0 : rotate * 90;
  int mirror = Choice("mirror", "none", "horizontal", "vertical", "both");
  pvParams->mirror = mirror < 0 ? 0 : mirror;

  // 16. A cropped view of vector input is rasterised larger, so that the
  // part shown keeps its detail.
  double fraction = std::min(s.relcrop_w, s.relcrop_h);
  graphics_size = static_cast<int>(std::lround(graphics_size / fraction));
  graphics_size = CmnGraphicsSize(graphics_size, graphics_size);

  // 17. Output size.
  if (const char *size = static_cast<const char *>(CmdGetOpt(pvOptions, "size"))) {
    if (!CmdParseSize(size, &s.size_w, &s.size_h)) {
      fprintf(stderr, "Bad format for size.. [%s]\n", size);
      fflush(stderr);
      Exit(1);
    }
    int32_t larger = std::max(s.size_w, s.size_h);
    graphics_size = CmnGraphicsSize(larger, larger);
  }

  // 18. Page.
  pvParams->page = CmdGetOptIntRange(pvOptions, "pageno", 0, 0, INT32_MAX);

  ReadSettings(&s);
  ShowImage(&s);
}
