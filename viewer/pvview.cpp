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

#include "common.h"
#include "image.h"
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
    {"", 0, nullptr, "COLORS:"},
    {"colors", 1, nullptr, "0-256 (0=RGB)"},
    {"output", 1, nullptr, "<color | gray | bw | eightcolor>"},
    {"8color", 1, nullptr, nullptr},
    {"removebgs", 1, nullptr, "<none | 0-255 >"},
    {"reversal", 1, nullptr, "<none | color | bw | gray>"},
    {"nodither", 0, nullptr, "(for special effects only)"},
    {"stdcmap", 0, nullptr, "use standard colormap (not optimize for pict"},
    {"brightness", 1, nullptr, "<-1.0-1.0>"},
    {"contrast", 1, nullptr, "<-1.0-1.0>"},
    {"chrominance", 1, nullptr, "<-1.0-1.0>"},
    {"redtint", 1, nullptr, "<-1.0-1.0>"},
    {"greentint", 1, nullptr, "<-1.0-1.0>"},
    {"bluetint", 1, nullptr, "<-1.0-1.0>"},
    {"colorreplace", 1, nullptr, nullptr},
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
    {"stamptext", 1, nullptr, "<textstring>"},
    {"stampcolor", 1, nullptr,
     "<black | red | green | blue | magenta | cyan | yellow | white | inverse>"},
    {"stampweight", 1, nullptr, "<light | medium | heavy>"},
    {"labeltext", 1, nullptr, "<textstring>"},
    {"labelposition", 1, nullptr,
     "<topleft | topcenter | topright | bottomleft | bottomcenter | bottomright>"},
    {"labelspec", 4, nullptr, nullptr},
    {"labelfile", 1, nullptr, nullptr},
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
  const char *infile = "";      // "" reads standard input
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
  int output = 0, reversal = 0, removebgs = 0;
  bool nodither = false, stdcmap = false;
  double factors[6] = {0, 0, 0, 0, 0, 0};  // brightness, contrast, chrominance, r/g/b tint
  const char *colorreplace = nullptr;
  const char *crop = nullptr;
  int resize = 0;       // 0 not given, 1 shrink, 2 fit, 3 noresize, 4 obey
  int scalemethod = 8;  // 8 averaging, 4 bilinear, 1 replication
  bool maycrop = false, stitch = false;
  const char *stamptext = nullptr;
  int stampcolor = 0, stampweight = 0;
  bool stampinverse = false;
  const char *labeltext = nullptr;
  int labelposition = 5;  // bottomright
  CmdValueNodeTp *labelspecs = nullptr;
};

ImgOpenParamsTp *pvParams = nullptr;
char **pvFiles = nullptr;
int pvNFiles = 0;

// The interrupt ends every process of our group (filters, the stamp
// renderer) and then this one. The X image may point into memory that is
// not the library's to free, so its data pointer is cleared first. Our own
// SIGTERM is ignored so that the exit status stays 0; children forked
// earlier keep the default.
void InterruptHandler(int) {
  if (scr_external_x_image) scr_external_x_image->data = nullptr;
  signal(SIGTERM, SIG_IGN);
  kill(0, SIGTERM);
  _exit(0);
}

[[noreturn]] void Exit(int status) {
  CmdFreeOpts(pvOptions, &pvFiles);
  free(pvParams);
  exit(status);
}

// A choice query whose bad or ambiguous value has been reported ends the
// program; returns the position of the chosen word in its list, or -1
// when the option was not given.
template <typename... Words>
int Choice(const char *name, Words... words) {
  const char *list[] = {words...};
  const char *got = CmdGetOptChoice(pvOptions, name, words..., static_cast<const char *>(nullptr));
  if (!got) return -1;
  if (!*got) Exit(1);
  for (size_t i = 0; i < sizeof...(words); ++i)
    if (got == list[i] || strcmp(got, list[i]) == 0) return static_cast<int>(i);
  return -1;
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
  CmnStrPrintf(&command, "cp %s %s.sav", quoted, quoted);
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

// "<w>", "<w>x<h>" or "x<h>", each at least 1 where it is given.
bool ParseSize(const char *text, int32_t *w, int32_t *h) {
  *w = *h = 0;
  const char *p = text;
  char *end;
  if (*p != 'x' && *p != 'X') {
    long v = strtol(p, &end, 10);
    if (end == p || v < 1 || v > INT32_MAX) return false;
    *w = static_cast<int32_t>(v);
    p = end;
    if (*p != 'x' && *p != 'X') return true;
  }
  ++p;
  long v = strtol(p, &end, 10);
  if (end == p || v < 1 || v > INT32_MAX) return false;
  *h = static_cast<int32_t>(v);
  return true;
}

void ReadSettings(PvSettingsTp *s) {
  s->bartitle = static_cast<const char *>(CmdGetOpt(pvOptions, "bartitle"));
  s->save = static_cast<const char *>(CmdGetOpt(pvOptions, "save"));
  s->timer = CmdGetOptInt(pvOptions, "timer", 0);
  s->colors = CmdGetOptInt(pvOptions, "colors", 0);

  int output = Choice("output", "color", "gray", "bw", "eightcolor");
  s->output = output < 0 ? 0 : output;
  if (Choice("8color", "false", "true") == 1) s->output = 3;
  s->removebgs = CmdGetOptInt(pvOptions, "removebgs", 0);
  static const int kReversal[] = {0, 3, 2, 1};  // none, color, gray, bw
  int reversal = Choice("reversal", "none", "color", "gray", "bw");
  s->reversal = reversal < 0 ? 0 : kReversal[reversal];
  s->nodither = CmdGetOpt(pvOptions, "nodither") != nullptr;
  s->stdcmap = CmdGetOpt(pvOptions, "stdcmap") != nullptr;
  static const char *const kFactors[] = {"brightness", "contrast", "chrominance",
                                         "redtint", "greentint", "bluetint"};
  for (int i = 0; i < 6; ++i) s->factors[i] = CmdGetOptDouble(pvOptions, kFactors[i], 0.0);
  s->colorreplace = static_cast<const char *>(CmdGetOpt(pvOptions, "colorreplace"));

  s->crop = static_cast<const char *>(CmdGetOpt(pvOptions, "crop"));
  s->resize = CmdGetOptIndex(pvOptions, "resize", "shrink", "fit", "noresize", "obey",
                             static_cast<const char *>(nullptr));
  if (s->resize < 0) Exit(1);
  static const int kMethods[] = {8, 4, 4, 1};
  int method = Choice("scalemethod", "averaging", "bilinear", "interpolation", "replication");
  s->scalemethod = method < 0 ? 8 : kMethods[method];
  s->maycrop = Choice("maycrop", "false", "true") == 1;
  s->stitch = Choice("stitch", "false", "true") == 1;

  s->stamptext = static_cast<const char *>(CmdGetOpt(pvOptions, "stamptext"));
  int color = Choice("stampcolor", "black", "red", "green", "blue", "yellow", "magenta", "cyan",
                     "white", "inverse");
  s->stampinverse = color == 8;
  s->stampcolor = color < 0 || color == 8 ? 0 : color;
  int weight = Choice("stampweight", "medium", "light", "heavy");
  s->stampweight = weight < 0 ? 0 : weight;
  s->labeltext = static_cast<const char *>(CmdGetOpt(pvOptions, "labeltext"));
  int position = Choice("labelposition", "topleft", "topcenter", "topright", "bottomleft",
                        "bottomcenter", "bottomright");
  s->labelposition = position < 0 ? 5 : position;
  s->labelspecs = static_cast<CmdValueNodeTp *>(CmdGetOpt(pvOptions, "labelspec"));
  if (const char *file = static_cast<const char *>(CmdGetOpt(pvOptions, "labelfile")))
    setenv("PVLABELFILE", file, 1);
}

}  // namespace

int main(int argc, char **argv) {
  PvSettingsTp s;

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
  signal(SIGINT, InterruptHandler);

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
    Exit(1);
  }

  // 8. System directory.
  s.sysdir = static_cast<const char *>(CmdGetOpt(pvOptions, "sysdir"));
  if (!s.sysdir) s.sysdir = static_cast<const char *>(CmdGetOpt(pvOptions, "ddt"));
  if (!s.sysdir) s.sysdir = getenv("SYSDIR");
  if (!s.sysdir) {
    CmnError(CMN_SOURCE, __LINE__, CMN_E_NOSYSDIR);
    Exit(1);
  }

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
  if (display_name) setenv("DISPLAY", display_name, 1);
  else display_name = getenv("DISPLAY");
  if (!display_name) display_name = ":0.0";
  s.display = XOpenDisplay(display_name);
  if (!s.display) {
    CmnInfoPrintf(nullptr, "ERROR: Cannot open display %s", display_name);
    Exit(1);
  }
  s.screen_width = DisplayWidth(s.display, 0);
  s.screen_height = DisplayHeight(s.display, 0);

  // 12. Embedding in a parent window.
  parentWindow = static_cast<unsigned long>(static_cast<uint32_t>(
      CmdGetOptInt(pvOptions, "parentwindow", 0)));
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
  if (s.parentwidth != 0) graphics_size = std::max(s.parentwidth, s.parentheight);
  else graphics_resolution = s.env_resolution;

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
    if (!ParseSize(size, &s.size_w, &s.size_h)) {
      fprintf(stderr, "Bad format for size.. [%s]\n", size);
      fflush(stderr);
      Exit(1);
    }
    int32_t larger = std::max(s.size_w, s.size_h);
    graphics_size = CmnGraphicsSize(larger, larger);
  }

  // 18. Page.
  pvParams->page = CmdGetOptInt(pvOptions, "pageno", 0);

  ReadSettings(&s);

  // The display pipeline starts here once the raster core and the screen
  // layer exist; until then a successful start-up ends cleanly.
  XCloseDisplay(s.display);
  Exit(0);
}
