// The fax codec's tables (built at compile time from the T.4 code lists),
// its parameter defaults and the codec object handed to the codec layer.
#include "ccitt.h"

#include <cstdlib>

#define CMN_SOURCE "ccitt"

namespace {

// One code of the T.4 lists: run length, bit count, bits right-aligned.
struct CodeTp {
  int16_t run;
  int16_t length;
  uint32_t bits;
};

// Terminating codes 0..63, make-up codes 64..1728 of the colour, then the
// extended make-up codes 1792..2560 that both colours share.
// clang-format off: the code tables in the standard's order
constexpr CodeTp kWhiteCodes[] = {
    {0, 8, 0x35},     {1, 6, 0x7},      {2, 4, 0x7},      {3, 4, 0x8},      {4, 4, 0xB},
    {5, 4, 0xC},      {6, 4, 0xE},      {7, 4, 0xF},      {8, 5, 0x13},     {9, 5, 0x14},
    {10, 5, 0x7},     {11, 5, 0x8},     {12, 6, 0x8},     {13, 6, 0x3},     {14, 6, 0x34},
    {15, 6, 0x35},    {16, 6, 0x2A},    {17, 6, 0x2B},    {18, 7, 0x27},    {19, 7, 0xC},
    {20, 7, 0x8},     {21, 7, 0x17},    {22, 7, 0x3},     {23, 7, 0x4},     {24, 7, 0x28},
    {25, 7, 0x2B},    {26, 7, 0x13},    {27, 7, 0x24},    {28, 7, 0x18},    {29, 8, 0x2},
    {30, 8, 0x3},     {31, 8, 0x1A},    {32, 8, 0x1B},    {33, 8, 0x12},    {34, 8, 0x13},
    {35, 8, 0x14},    {36, 8, 0x15},    {37, 8, 0x16},    {38, 8, 0x17},    {39, 8, 0x28},
    {40, 8, 0x29},    {41, 8, 0x2A},    {42, 8, 0x2B},    {43, 8, 0x2C},    {44, 8, 0x2D},
    {45, 8, 0x4},     {46, 8, 0x5},     {47, 8, 0xA},     {48, 8, 0xB},     {49, 8, 0x52},
    {50, 8, 0x53},    {51, 8, 0x54},    {52, 8, 0x55},    {53, 8, 0x24},    {54, 8, 0x25},
    {55, 8, 0x58},    {56, 8, 0x59},    {57, 8, 0x5A},    {58, 8, 0x5B},    {59, 8, 0x4A},
    {60, 8, 0x4B},    {61, 8, 0x32},    {62, 8, 0x33},    {63, 8, 0x34},    {64, 5, 0x1B},
    {128, 5, 0x12},   {192, 6, 0x17},   {256, 7, 0x37},   {320, 8, 0x36},   {384, 8, 0x37},
    {448, 8, 0x64},   {512, 8, 0x65},   {576, 8, 0x68},   {640, 8, 0x67},   {704, 9, 0xCC},
    {768, 9, 0xCD},   {832, 9, 0xD2},   {896, 9, 0xD3},   {960, 9, 0xD4},   {1024, 9, 0xD5},
    {1088, 9, 0xD6},  {1152, 9, 0xD7},  {1216, 9, 0xD8},  {1280, 9, 0xD9},  {1344, 9, 0xDA},
    {1408, 9, 0xDB},  {1472, 9, 0x98},  {1536, 9, 0x99},  {1600, 9, 0x9A},  {1664, 6, 0x18},
    {1728, 9, 0x9B},  {1792, 11, 0x8},  {1856, 11, 0xC},  {1920, 11, 0xD},  {1984, 12, 0x12},
    {2048, 12, 0x13}, {2112, 12, 0x14}, {2176, 12, 0x15}, {2240, 12, 0x16}, {2304, 12, 0x17},
    {2368, 12, 0x1C}, {2432, 12, 0x1D}, {2496, 12, 0x1E}, {2560, 12, 0x1F},
};
constexpr CodeTp kBlackCodes[] = {
    {0, 10, 0x37},    {1, 3, 0x2},      {2, 2, 0x3},      {3, 2, 0x2},      {4, 3, 0x3},
    {5, 4, 0x3},      {6, 4, 0x2},      {7, 5, 0x3},      {8, 6, 0x5},      {9, 6, 0x4},
    {10, 7, 0x4},     {11, 7, 0x5},     {12, 7, 0x7},     {13, 8, 0x4},     {14, 8, 0x7},
    {15, 9, 0x18},    {16, 10, 0x17},   {17, 10, 0x18},   {18, 10, 0x8},    {19, 11, 0x67},
    {20, 11, 0x68},   {21, 11, 0x6C},   {22, 11, 0x37},   {23, 11, 0x28},   {24, 11, 0x17},
    {25, 11, 0x18},   {26, 12, 0xCA},   {27, 12, 0xCB},   {28, 12, 0xCC},   {29, 12, 0xCD},
    {30, 12, 0x68},   {31, 12, 0x69},   {32, 12, 0x6A},   {33, 12, 0x6B},   {34, 12, 0xD2},
    {35, 12, 0xD3},   {36, 12, 0xD4},   {37, 12, 0xD5},   {38, 12, 0xD6},   {39, 12, 0xD7},
    {40, 12, 0x6C},   {41, 12, 0x6D},   {42, 12, 0xDA},   {43, 12, 0xDB},   {44, 12, 0x54},
    {45, 12, 0x55},   {46, 12, 0x56},   {47, 12, 0x57},   {48, 12, 0x64},   {49, 12, 0x65},
    {50, 12, 0x52},   {51, 12, 0x53},   {52, 12, 0x24},   {53, 12, 0x37},   {54, 12, 0x38},
    {55, 12, 0x27},   {56, 12, 0x28},   {57, 12, 0x58},   {58, 12, 0x59},   {59, 12, 0x2B},
    {60, 12, 0x2C},   {61, 12, 0x5A},   {62, 12, 0x66},   {63, 12, 0x67},   {64, 10, 0xF},
    {128, 12, 0xC8},  {192, 12, 0xC9},  {256, 12, 0x5B},  {320, 12, 0x33},  {384, 12, 0x34},
    {448, 12, 0x35},  {512, 13, 0x6C},  {576, 13, 0x6D},  {640, 13, 0x4A},  {704, 13, 0x4B},
    {768, 13, 0x4C},  {832, 13, 0x4D},  {896, 13, 0x72},  {960, 13, 0x73},  {1024, 13, 0x74},
    {1088, 13, 0x75}, {1152, 13, 0x76}, {1216, 13, 0x77}, {1280, 13, 0x52}, {1344, 13, 0x53},
    {1408, 13, 0x54}, {1472, 13, 0x55}, {1536, 13, 0x5A}, {1600, 13, 0x5B}, {1664, 13, 0x64},
    {1728, 13, 0x65}, {1792, 11, 0x8},  {1856, 11, 0xC},  {1920, 11, 0xD},  {1984, 12, 0x12},
    {2048, 12, 0x13}, {2112, 12, 0x14}, {2176, 12, 0x15}, {2240, 12, 0x16}, {2304, 12, 0x17},
    {2368, 12, 0x1C}, {2432, 12, 0x1D}, {2496, 12, 0x1E}, {2560, 12, 0x1F},
};
// clang-format on

constexpr CodeTp kEol = {-3, 12, 0x1};

constexpr CodeTp kModeCodes[] = {
    {FAX_PASS, 4, 0x1}, {FAX_HORIZONTAL, 3, 0x1}, {FAX_V0, 1, 0x1},
    {FAX_VR1, 3, 0x3},  {FAX_VR2, 6, 0x3},        {FAX_VR3, 7, 0x3},
    {FAX_VL1, 3, 0x2},  {FAX_VL2, 6, 0x2},        {FAX_VL3, 7, 0x2},
};

constexpr void Place(FaxTableTp &t, const CodeTp &c, int drop) {
  const int left = c.length - drop;  // bits of the code from this level on
  const int m = left < 8 ? left : 8;
  const uint32_t window = (c.bits >> (left - m)) & ((1u << m) - 1);
  const int first = static_cast<int>(window << (8 - m));
  FaxCodeTp e = {-1, 0};
  if (left <= 8) e = {c.run, static_cast<int16_t>(left)};
  for (int k = 0; k < 1 << (8 - m); ++k) t[first + k] = e;
}

// The table of one level: indexed by the code bits from `drop` on, for the
// codes longer than `min_length` (those the level before could not
// resolve; all of them share the dropped bits, which are zeros).
template <size_t N>
constexpr FaxTableTp Level(const CodeTp (&codes)[N], int drop, int min_length, int16_t none) {
  FaxTableTp t{};
  for (auto &e : t) e = {none, 0};
  for (const CodeTp &c : codes)
    if (c.length > min_length) Place(t, c, drop);
  if (none == -2 && kEol.length > min_length) Place(t, kEol, drop);
  return t;
}

template <size_t N>
constexpr std::array<FaxCodeWordTp, 64> Short(const CodeTp (&codes)[N]) {
  std::array<FaxCodeWordTp, 64> t{};
  for (const CodeTp &c : codes)
    if (c.run < 64) t[c.run] = {c.bits, static_cast<uint32_t>(c.length)};
  return t;
}

template <size_t N>
constexpr std::array<FaxCodeWordTp, 40> Long(const CodeTp (&codes)[N]) {
  std::array<FaxCodeWordTp, 40> t{};
  for (const CodeTp &c : codes)
    if (c.run >= 64) t[c.run / 64 - 1] = {c.bits, static_cast<uint32_t>(c.length)};
  return t;
}

constexpr std::array<uint32_t, 33> Ones() {
  std::array<uint32_t, 33> t{};
  for (int n = 0; n <= 32; ++n) t[n] = n == 32 ? 0xFFFFFFFFu : (1u << n) - 1;
  return t;
}

constexpr std::array<uint8_t, 256> Swap() {
  std::array<uint8_t, 256> t{};
  for (int v = 0; v < 256; ++v) {
    int r = 0;
    for (int b = 0; b < 8; ++b)
      if (v & 1 << b) r |= 0x80 >> b;
    t[v] = static_cast<uint8_t>(r);
  }
  return t;
}

void *CreateParam() {
  FaxParamTp *p = static_cast<FaxParamTp *>(calloc(1, sizeof(FaxParamTp)));
  if (!p) return nullptr;
  p->mode = FAX_MODE_G3_1D;
  p->columns = 1728;
  p->pad_eol = 1;
  p->black_is_one = 1;
  p->msb_first = 1;
  return p;
}

}  // namespace

const FaxTableTp FaxWhite0 = Level(kWhiteCodes, 0, 0, -2);
const FaxTableTp FaxWhite1 = Level(kWhiteCodes, 1, 8, -2);
const FaxTableTp FaxWhite4 = Level(kWhiteCodes, 4, 9, -2);
const FaxTableTp FaxBlack0 = Level(kBlackCodes, 0, 0, -2);
const FaxTableTp FaxBlack4 = Level(kBlackCodes, 4, 8, -2);
const FaxTableTp FaxBlack6 = Level(kBlackCodes, 6, 12, -2);
const FaxTableTp FaxModes = Level(kModeCodes, 0, 0, FAX_INVALID);
const std::array<uint32_t, 33> FaxOnes = Ones();
const std::array<uint8_t, 256> FaxSwap = Swap();
const std::array<FaxCodeWordTp, 64> short_white_runs = Short(kWhiteCodes);
const std::array<FaxCodeWordTp, 64> short_black_runs = Short(kBlackCodes);
const std::array<FaxCodeWordTp, 40> long_white_runs = Long(kWhiteCodes);
const std::array<FaxCodeWordTp, 40> long_black_runs = Long(kBlackCodes);
const FaxCodeWordTp EOL = {0x001, 12};
const FaxCodeWordTp EOFB = {0x001001, 24};

int fax_debug = 0;
FILE *bvadrfile = nullptr;

void FaxTerminate(IfuCodecTp *codec) {
  if (codec->encoder)
    FaxFreeEncoder(codec);
  else
    FaxFreeDecoder(codec);
}

const IfuCodecOpsTp FaxCodecOps = {
    "CCITT fax", CreateParam, FaxInitDecoder, FaxInitEncoder, FaxEncode, FaxDecode, FaxTerminate,
};
