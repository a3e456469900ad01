// pvgraphx: the stamp renderer the viewer starts. It draws the stamp text
// large and centred across a paper of the size asked for (along the
// diagonal when the text is larger that way) and writes the picture
// stream: a text header, then rows of red, green, blue and alpha bytes,
// transparent where there is no ink.
//
//   pvgraphx -noinfile -dostamp -stamptext <text> -stampcolor <colour>
//            -stampweight <Light|Medium|Heavy> -papersize <w>x<h> -size <n>
//
// Every value is taken literally: the text is one argument, whatever it
// holds.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image.h"

#define CMN_SOURCE "pvgraphx"

namespace {

// Papers beyond this are refused: the viewer never asks for more than a
// picture it can show.
constexpr long kMaxSide = 1L << 16;

int Usage() {
  fputs(
      "usage: pvgraphx -noinfile -dostamp -stamptext <text> -stampcolor <colour>\n"
      "                -stampweight <Light|Medium|Heavy> -papersize <w>x<h> [-size <n>]\n",
      stderr);
  return 2;
}

bool Colour(const char *name, unsigned char rgb[3]) {
  static const struct {
    const char *name;
    unsigned char r, g, b;
  } kColours[] = {{"Black", 0, 0, 0},
                  {"Red", 255, 0, 0},
                  {"Green", 0, 255, 0},
                  {"Blue", 0, 0, 255},
                  {"Magenta", 255, 0, 255},
                  {"Cyan", 0, 255, 255},
                  {"Yellow", 255, 255, 0},
                  {"White", 255, 255, 255},
                  // Inverted by the viewer; the picture only says where.
                  {"Inverse", 0, 0, 0}};
  for (const auto &c : kColours)
    if (strcasecmp(name, c.name) == 0) {
      rgb[0] = c.r, rgb[1] = c.g, rgb[2] = c.b;
      return true;
    }
  return false;
}

// A value that names nothing is said at once, whatever else the command
// line lacks.
int Unknown(const char *what, const char *value, const char *known) {
  fprintf(stderr, "pvgraphx: unknown %s [%s]; use one of %s\n", what, value, known);
  return 2;
}

bool Weight(const char *name, int *weight) {
  static const char *const kWeights[] = {"Medium", "Light", "Heavy"};
  for (int i = 0; i < 3; ++i)
    if (strcasecmp(name, kWeights[i]) == 0) {
      *weight = i;
      return true;
    }
  return false;
}

}  // namespace

int main(int argc, char **argv) {
  const char *text = nullptr, *paper = nullptr;
  unsigned char rgb[3] = {0, 0, 0};
  int wt = 0;
  for (int i = 1; i < argc; ++i) {
    const char *a = argv[i];
    const bool has_value = i + 1 < argc;
    if (strcmp(a, "-noinfile") == 0 || strcmp(a, "-dostamp") == 0) continue;
    if (!has_value) return Usage();
    if (strcmp(a, "-stamptext") == 0) {
      text = argv[++i];
    } else if (strcmp(a, "-stampcolor") == 0) {
      if (!Colour(argv[++i], rgb))
        return Unknown("colour", argv[i],
                       "Black, Red, Green, Blue, Magenta, Cyan, Yellow, White, Inverse");
    } else if (strcmp(a, "-stampweight") == 0) {
      if (!Weight(argv[++i], &wt)) return Unknown("weight", argv[i], "Light, Medium, Heavy");
    } else if (strcmp(a, "-papersize") == 0) {
      paper = argv[++i];
    } else if (strcmp(a, "-size") == 0) {
      ++i;  // the larger side; the paper says it all
    } else {
      return Usage();
    }
  }
  long w = 0, h = 0;
  char tail = 0;
  if (!text || !paper || sscanf(paper, "%ldx%ld%c", &w, &h, &tail) != 2 || w < 1 || h < 1 ||
      w > kMaxSide || h > kMaxSide)
    return Usage();

  const ImgStampLayout layout(text, wt, static_cast<int32_t>(w), static_cast<int32_t>(h));
  // 72 pixels to the inch.
  printf("PVPICTURE 1\n#METRIC %.2f x %.2f mm\n#TITLE Stamp\n", w * 25.4 / 72, h * 25.4 / 72);
  printf("WIDTH %ld\nHEIGHT %ld\nDEPTH 32\nFORMAT RGBA\nORDER TOP-DOWN\nDATA\n", w, h);
  std::vector<uint8_t> cover(static_cast<size_t>(w));
  std::vector<uint8_t> row(static_cast<size_t>(w) * 4);
  for (long y = 0; y < h; ++y) {
    layout.row(static_cast<int32_t>(y), cover.data());
    // Hard edges: the viewer lets every pixel that is not transparent
    // replace the picture's, so half-covered pixels would show dark rims.
    for (long x = 0; x < w; ++x) {
      uint8_t *p = &row[static_cast<size_t>(x) * 4];
      const bool ink = cover[static_cast<size_t>(x)] >= 128;
      p[0] = ink ? rgb[0] : 0;
      p[1] = ink ? rgb[1] : 0;
      p[2] = ink ? rgb[2] : 0;
      p[3] = ink ? 255 : 0;
    }
    if (fwrite(row.data(), 1, row.size(), stdout) != row.size()) return 1;
  }
  return fflush(stdout) == 0 ? 0 : 1;
}
