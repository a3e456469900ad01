// The colour options written out a second time, straight from their rules
// and in doubles, so that the programs' output can be checked against
// something that shares no code with them. Pixels are 0xAARRGGBB words.
#ifndef PV_TESTS_COLOURRULES_H
#define PV_TESTS_COLOURRULES_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct ColourRules {
  int output = 0;                                      // 0 color, 1 gray, 2 bw, 3 eightcolor
  int reversal = 0;                                    // 0 none, 1 bw, 2 gray, 3 color
  std::vector<std::pair<uint32_t, uint32_t>> replace;  // from, to
  std::vector<uint32_t> removed;                       // backgrounds that become white
  double brightness = 0, contrast = 0, chrominance = 0;
  double tint[3] = {0, 0, 0};  // red, green, blue
};

// Chrominance with s = factor + 1 on one pixel.
uint32_t ChromaRule(uint32_t px, double s);

// The whole chain on one pixel, with the level at 0.
uint32_t ColourRule(const ColourRules &rules, uint32_t px);

// A picture for the colour options: white, black, grays, the primaries,
// colours on both sides of the eight-colour threshold, random colours, and
// two background colours that cover most of the picture (0xE0D0C0 about
// 70% and 0x2040A0 about 20%), so that the two most frequent colours are
// known whatever pixels are sampled. Opaque pixels, row by row.
constexpr int kColourPictureW = 64, kColourPictureH = 16;
std::vector<uint32_t> ColourPicture();
std::string ColourPicturePpm();

// Command-line colour options and the rules they stand for; the same
// table drives pvconvert and pvview.
struct ColourCase {
  std::vector<std::string> args;
  ColourRules rules;
};
std::vector<ColourCase> ColourCases();

// The case's options as one text, for messages.
std::string ColourCaseName(const ColourCase &c);

// Compares red, green, blue bytes of the whole picture (as a program wrote
// or saved them) with the rules: "" when they agree, else what is wrong.
std::string ColourMismatch(const ColourCase &c, const std::string &rgb);

#endif
