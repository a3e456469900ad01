// Colour operations on display lines of RgbPixelTp: colour replacement,
// background removal, reversal and the gray / black-and-white /
// eight-colour output modes (ImgMapBuf), then chrominance, brightness with
// per-channel tints, and contrast. The reading layer runs ImgColorLine on
// every line it delivers, before scaling.
#ifndef PV_IMAGE_IMACOLOR_H
#define PV_IMAGE_IMACOLOR_H

#include <cstdint>
#include <vector>

#include "common.h"
#include "imatypes.h"

enum { IMG_REVERSAL_NONE = 0, IMG_REVERSAL_BW = 1, IMG_REVERSAL_GRAY = 2, IMG_REVERSAL_COLOR = 3 };

enum { IMG_OUTPUT_COLOR = 0, IMG_OUTPUT_GRAY = 1, IMG_OUTPUT_BW = 2, IMG_OUTPUT_EIGHTCOLOR = 3 };

// What the colour operations are asked to do; the reading layer's control
// block embeds one. Value-initialise it (ImgColorOpsTp ops{}): every
// operation is then off and lines pass unchanged.
typedef struct {
  // Colour replacement: a pixel equal in all 32 bits to FromColor[i] (the
  // first match) becomes ToColor[i]. Both lists have the same length.
  std::vector<RgbPixelTp> FromColor;
  std::vector<RgbPixelTp> ToColor;
  // Background removal: pixels equal to one of the first `removebgs`
  // entries of FrequentColors become white. The reading layer fills the
  // table and sets frequent_count (the entries it holds) before the first
  // line; removebgs above frequent_count uses all it holds.
  int32_t removebgs;
  int32_t frequent_count;
  RgbPixelTp FrequentColors[256];
  int32_t reversal;  // IMG_REVERSAL_*
  int32_t output;    // IMG_OUTPUT_*
  // Level t (0..255): replaced, removed and otherwise untouched opaque
  // pixels get the fourth byte 255 - t.
  int32_t level;
  // 0 = off. NaN counts as off as well.
  double brightness, contrast, chrominance, redtint, greentint, bluetint;
} ImgColorOpsTp;

// Replacement, background removal, reversal, output mode and the fourth
// byte for level t, on count pixels in place. Returns at once when none of
// them is set.
void ImgMapBuf(const ImgColorOpsTp *ops, RgbPixelTp *line, int count);

// Chrominance with s = factor + 1.0 (0 = all gray, 1 = unchanged
// saturation, towards 2 = fully saturated). Grays are copied unchanged.
void ImgChrominance(const RgbPixelTp *src, RgbPixelTp *dst, int count, double s);

// Brightness and the red, green and blue tints (each -1..1, 0 = off)
// through one lookup table per channel. The tables are cached for the
// whole program and rebuilt only when their factors change; with all four
// factors 0 the line is copied.
void ImgBrightness(const RgbPixelTp *src, RgbPixelTp *dst, int count, double brightness,
                   double redtint, double greentint, double bluetint);

// Contrast with k = factor + 1.0 around the middle gray, through a cached
// table; k = 1 copies the line.
void ImgContrast(const RgbPixelTp *src, RgbPixelTp *dst, int count, double k);

// The whole chain in the order the reading layer applies it: ImgMapBuf,
// then chrominance, brightness and tints, and contrast, each only when its
// factors are set.
void ImgColorLine(const ImgColorOpsTp *ops, RgbPixelTp *line, int count);
// True when ImgColorLine leaves every opaque gray pixel as it is, so that
// a gray page may skip it.
bool ImgColorKeepsGray(const ImgColorOpsTp *ops);

// Parses the value of the colour replacement option: "from/to" pairs of
// hexadecimal 0xRRGGBB colours separated by ':', appended to the lists of
// ops with the top byte toggled (so 0xRRGGBB becomes opaque). Text after a
// ':' that does not form a pair ends the list. A text whose first pair
// cannot be read, or a pair followed by anything but ':' or the end, is
// reported through the info channel and ends the program with status 1.
// A null text adds nothing.
void ImgParseColorReplace(const char *text, ImgColorOpsTp *ops);

// The rows of the colour options in a program's option table, in the
// order of its help listing (the viewer lists two rows of its own between
// the two groups).
// clang-format off
#define IMG_COLOR_MODE_OPTION_ROWS                                 \
  {"output", 1, nullptr, "<color | gray | bw | eightcolor>"},      \
  {"8color", 1, nullptr, nullptr},                                 \
  {"removebgs", 1, nullptr, "<none | 0-255 >"},                    \
  {"reversal", 1, nullptr, "<none | color | bw | gray>"}
#define IMG_COLOR_FACTOR_OPTION_ROWS                               \
  {"brightness", 1, nullptr, "<-1.0-1.0>"},                        \
  {"contrast", 1, nullptr, "<-1.0-1.0>"},                          \
  {"chrominance", 1, nullptr, "<-1.0-1.0>"},                       \
  {"redtint", 1, nullptr, "<-1.0-1.0>"},                           \
  {"greentint", 1, nullptr, "<-1.0-1.0>"},                         \
  {"bluetint", 1, nullptr, "<-1.0-1.0>"},                          \
  {"colorreplace", 1, nullptr, nullptr}
// clang-format on

// Reads the colour options of a program's option table (output, 8color,
// reversal, removebgs, the six factors and colorreplace) into ops; the
// replacement pairs are appended. A bad value ends the program with
// status 1 after the parser's message, so programs call this at start-up.
void ImgReadColorOptions(CmdOptionTp *table, ImgColorOpsTp *ops);

// Copies what the colour options set from one record into another, whose
// level and frequent colours (the reader's own) stay as they are.
void ImgCopyColorOptions(const ImgColorOpsTp *from, ImgColorOpsTp *to);

// Test hook: how many lookup tables (one per channel for brightness and
// tints, one for contrast) have been built so far in this process.
int32_t ImgColorTableBuilds(void);

#endif
