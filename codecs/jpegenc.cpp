// The JPEG encoder's front: the compression parameters and their checks,
// the quantisation tables of each quality, the frame and scans of each
// o_mode, the call order, the rows gathered into MCU bands, and the
// diagnostics printed while debugging.
#include "jpegenc.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#define CMN_SOURCE "jpegenc"

const char *const JpegModeNames[OM_COUNT] = {
    "Baseline interleaved mode     ", "Baseline non interleaved mode ",
    "Sequential interleaved mode   ", "Sequential non interleaved    ",
    "Lossless                      ", "Progressive mode - 1 AC Y scan",
    "Progressive - 2 AC Y scans    ", "Progressive - 3 AC Y scans    ",
    "Prog. - 3 AC Y scan,2 DC scans"};

namespace {

const char *const kColorNames[JC_COUNT] = {"GRAY", "RGB",  "CMY",  "CMYK",  "YUV",
                                           "YYUV", "Y4UV", "YUVK", "YYUVKK"};

// ITU-T T.81 Annex K, tables K.1 and K.2, natural order.
const uint8_t kLuma[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                           14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                           18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                           49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
const uint8_t kChroma[64] = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                             24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                             99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                             99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// Scale of the example tables for qualities 1 to 20.
const double kScale[20] = {10.0, 6.0, 4.0, 3.0, 2.0, 1.7, 1.5, 1.3,   1.1,  1.0,
                           0.9,  0.8, 0.7, 0.6, 0.5, 0.4, 0.3, 0.125, 0.09, 0.066};
// The first three zig-zag entries of each quality: three luminance values
// and the chrominance value for the second and third entry. The DC step
// and the lowest AC steps decide how blocky a flat area looks, so they
// follow their own curve rather than the scale.
const uint8_t kLowRows[20][4] = {
    {32, 32, 32, 32}, {30, 29, 30, 30}, {28, 27, 28, 29}, {26, 24, 25, 27}, {24, 22, 23, 25},
    {22, 19, 20, 24}, {20, 17, 18, 22}, {18, 15, 16, 21}, {17, 13, 14, 19}, {16, 11, 12, 18},
    {15, 11, 11, 16}, {14, 10, 10, 14}, {12, 10, 10, 12}, {10, 9, 9, 10},   {8, 8, 8, 8},
    {7, 7, 7, 7},     {6, 6, 6, 6},     {5, 5, 5, 5},     {4, 4, 4, 4},     {4, 4, 4, 4}};

// Qualities 22 to 25: flat tables (every frequency the same step), for
// technical pictures whose fine lines must not be softened more than
// their flat areas: steps 2, 4, 8 and 16 for luminance, one more notch
// for chrominance.
const uint8_t kFlat[4][2] = {{2, 3}, {4, 6}, {8, 12}, {16, 24}};

struct JpegEncoderTp {
  enum { kNone, kReady, kInImage, kClosed } state = kNone;
  bool failed = false;
  JpegCompParamTp cp;
  JpegSetupTp setup;
  JpegCoderTp *coder = nullptr;
  std::vector<uint8_t> band;  // rows gathered for the next band
  int64_t band_fill = 0;      // bytes in band
  int32_t band_height = 0;
  int32_t row_bytes = 0;
  int32_t rows_fed = 0;  // rows handed to the coder
  bool diagnostics = false;
  clock_t t_start = 0, t_init = 0, t_compress = 0;
};

JpegEncoderTp *Encoder(IfuCodecTp *codec) { return static_cast<JpegEncoderTp *>(codec->object); }

int32_t InputSampleBytes(const JpegCompParamTp &cp) { return cp.precision > 8 ? 2 : 1; }
int InputComponents(const JpegCompParamTp &cp) {
  if (cp.i_format == IF_LUT) return 1;
  return cp.i_colors == JC_GRAY ? 1 : 3;
}

bool Diagnostics() { return CmnDebugCheck("debugjpeg", pvdebug >= 2) != 0; }

void Diag(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Diag(const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (CmnDebugOutputPtr)
    CmnDebugOutput(text);
  else
    fputs(text, stderr);
}

long Ms(clock_t t) { return static_cast<long>(t * 1000 / CLOCKS_PER_SEC); }

void PrintSetup(const JpegEncoderTp &e) {
  const JpegCompParamTp &cp = e.cp;
  const JpegSetupTp &s = e.setup;
  Diag("\n== JPEG Quill, JPEG compression diagnostics ==\n\n");
  Diag("=================== Compressing ==================\n");
  Diag("=== From: (%4d * %-4d) %s %s   image     ===\n", cp.i_xdim, cp.i_ydim,
       cp.i_format == IF_LUT     ? "LUT"
       : cp.i_format == IF_PIXEL ? "PIXEL"
                                 : "LINE",
       kColorNames[cp.i_colors]);
  if (cp.o_mode == OM_LOSSLESS)
    Diag("===   To: (%4d * %-4d)  %s image     ===\n", cp.o_xdim, cp.o_ydim,
         kColorNames[cp.o_colors]);
  else
    Diag("===   To: (%4d * %-4d) Q=%2d  %s image     ===\n", cp.o_xdim, cp.o_ydim, cp.o_quality,
         kColorNames[cp.o_colors]);
  Diag("=== Mode: JPEG %s  ===\n", JpegModeNames[cp.o_mode]);
  for (int i = 0; i < s.ncomp; ++i) {
    const JpegFrameCompTp &c = s.comp[i];
    Diag("CN=%c (%d) Hn=%d Vn=%d Qn=%d X=%5d Y=%5d\n", c.name, c.id, c.h, c.v, c.tq, c.xsize,
         c.ysize);
  }
  for (const JpegScanTp &sc : s.scans) {
    char line[160];
    int n = snprintf(line, sizeof line, "Ns=%d  z=[%2d,%2d]  slice=[%d,%d] Comp=", sc.ns, sc.z1,
                     sc.z2, sc.sl_prev_min, sc.slice_min);
    for (int k = 0; k < sc.ns && n < 120; ++k)
      n += snprintf(line + n, sizeof line - n, "%c", s.comp[sc.comp[k]].name);
    n += snprintf(line + n, sizeof line - n, " Td=");
    for (int k = 0; k < sc.ns && n < 140; ++k)
      n += snprintf(line + n, sizeof line - n, "%d", sc.td[k]);
    n += snprintf(line + n, sizeof line - n, " Ta=");
    for (int k = 0; k < sc.ns && n < 150; ++k)
      n += snprintf(line + n, sizeof line - n, "%d", sc.ta[k]);
    Diag("%s\n", line);
  }
  if (cp.o_mode != OM_LOSSLESS)
    for (int t = 0; t < s.nqtab; ++t) {
      Diag("\nTabno = %d    (row/column)\n", s.qnumber[t]);
      for (int r = 0; r < 8; ++r) {
        char line[64];
        int n = 0;
        for (int c = 0; c < 8; ++c)
          n += snprintf(line + n, sizeof line - n, "%3d,", s.qtab[t][r * 8 + c]);
        Diag("%s\n", line);
      }
    }
  Diag("\n");
}

void PrintSummary(const JpegEncoderTp &e) {
  const int64_t in_bytes =
      int64_t{e.cp.o_xdim} * e.cp.o_ydim * InputComponents(e.cp) * InputSampleBytes(e.cp);
  const int64_t out_bytes = JpegCoderBytesOut(e.coder);
  const int64_t memory = JpegCoderMemory(e.coder);
  Diag("Memory used for read/conversion: %ld bytes\n", static_cast<long>(memory));
  Diag("Allocated until now: %ld\n", static_cast<long>(memory + sizeof(JpegEncoderTp)));
  const clock_t total = clock() - e.t_start;
  const double all = total > 0 ? static_cast<double>(total) : 1.0;
  auto rate = [](int64_t bytes, clock_t t) {
    return t > 0 ? static_cast<int>(bytes / 1024 * CLOCKS_PER_SEC / t) : 0;
  };
  const clock_t overhead = total - e.t_init - e.t_compress;
  Diag("Initialization:\t%5ldms\t%5.1f%%\n", Ms(e.t_init), 100.0 * e.t_init / all);
  Diag("Compression...:\t%5ldms\t%5.1f%%\t%7d Kb/sec\n", Ms(e.t_compress),
       100.0 * e.t_compress / all, rate(in_bytes, e.t_compress));
  Diag("Overhead......:\t%5ldms\t%5.1f%%\n", Ms(overhead > 0 ? overhead : 0),
       overhead > 0 ? 100.0 * overhead / all : 0.0);
  Diag("TOTAL:........:\t%5ldms\t%5.1f%%%7d Kb/sec\n\n", Ms(total), 100.0, rate(in_bytes, total));
  Diag("Compression factor: (%7ld/%6ld)  <* %5.2f *>\n", static_cast<long>(in_bytes),
       static_cast<long>(out_bytes),
       out_bytes > 0 ? static_cast<double>(in_bytes) / out_bytes : 0.0);
}

}  // namespace

// ---- Quantisation tables -----------------------------------------------------

bool JpegQualityTables(int quality, uint16_t luma[64], uint16_t chroma[64]) {
  if (quality >= 1 && quality <= 20) {
    const double f = kScale[quality - 1];
    for (int k = 3; k < 64; ++k) {
      const int pos = JpegZigzag[k];
      auto scaled = [f](int value) {
        long v = lround(value * f);
        return static_cast<uint16_t>(v < 1 ? 1 : v > 255 ? 255 : v);
      };
      luma[pos] = scaled(kLuma[pos]);
      chroma[pos] = scaled(kChroma[pos]);
    }
    const uint8_t *row = kLowRows[quality - 1];
    for (int k = 0; k < 3; ++k) luma[JpegZigzag[k]] = row[k];
    chroma[JpegZigzag[0]] = quality == 1 ? 32 : kLowRows[quality - 2][0];
    chroma[JpegZigzag[1]] = chroma[JpegZigzag[2]] = row[3];
    return true;
  }
  if (quality == 21) {
    for (int k = 0; k < 64; ++k) luma[k] = chroma[k] = 1;
    return true;
  }
  if (quality >= 22 && quality <= 25) {
    for (int k = 0; k < 64; ++k) {
      luma[k] = kFlat[quality - 22][0];
      chroma[k] = kFlat[quality - 22][1];
    }
    return true;
  }
  if (quality >= 100 && quality <= 120) {
    for (int k = 0; k < 64; ++k) {
      luma[k] = kLuma[k];
      chroma[k] = kChroma[k];
    }
    return true;
  }
  return false;
}

// ---- Parameter checks ----------------------------------------------------------

#define FAIL(err, ...) return JpegFail(codec, err, __VA_ARGS__)

ReturnTp JpegCheckParams(IfuCodecTp *codec, const JpegCompParamTp &cp) {
  if (cp.o_dest == OD_FILE && !cp.o_file) FAIL(kErrIo, "o_file NULL");
  if (cp.o_dest == OD_WRFUNC && !cp.o_wrfunc) FAIL(kErrIo, "o_wrfunc NULL");
  if (cp.o_dest != OD_FILE && cp.o_dest != OD_WRFUNC) FAIL(kErrIo, "o_dest illegal");
  if (int64_t{cp.i_x_ori} + cp.o_xdim > cp.i_xdim || cp.i_x_ori < 0)
    FAIL(kErrIo, "i_x_ori+o_xdim > i_xdim");
  if (int64_t{cp.i_y_ori} + cp.o_ydim > cp.i_ydim || cp.i_y_ori < 0)
    FAIL(kErrIo, "i_y_ori+o_ydim > i_ydim");
  if (cp.o_colors < 0 || cp.o_colors >= JC_COUNT) FAIL(kErrIo, "o_colors invalid");
  if (cp.o_y_hv != YHV_11 && cp.o_y_hv != YHV_21 && cp.o_y_hv != YHV_22)
    FAIL(kErrIo, "o_y_hv invalid");
  if (cp.i_colors < 0 || cp.i_colors >= JC_COUNT) FAIL(kErrIo, "i_colors invalid");
  if (cp.i_format < IF_PIXEL || cp.i_format > IF_LUT) FAIL(kErrIo, "i_format invalid");
  if (cp.o_mode != OM_LOSSLESS) {
    uint16_t l[64], c[64];
    if (!JpegQualityTables(cp.o_quality, l, c)) FAIL(kErrIo, "o_quality illegal");
  }
  if (cp.o_spectral < 1 || cp.o_spectral > 61) FAIL(kErrIo, "o_spectral invalid");
  if (cp.o_mode < 0 || cp.o_mode >= OM_COUNT) FAIL(kErrIo, "o_mode invalid");
  if (cp.i_format == IF_LUT && !cp.lut) FAIL(kErrIo, "Lut table pointer NULL");
  // Rows come as pixels (or palette indexes) of grey or red, green, blue.
  const bool rgb_in = cp.i_colors == JC_RGB || cp.i_format == IF_LUT;
  if ((cp.i_format != IF_PIXEL && cp.i_format != IF_LUT) || (!rgb_in && cp.i_colors != JC_GRAY))
    FAIL(kErrIo, "Input format/color not supported");
  if ((cp.o_colors != JC_GRAY && cp.o_colors != JC_YUV && cp.o_colors != JC_RGB) ||
      (cp.o_colors != JC_YUV && cp.o_y_hv != YHV_11))
    FAIL(kErrIo, "Output color/y_hv not supported");
  if (cp.i_format == IF_PLANE && cp.o_dest == OD_FILE)
    FAIL(kErrIo, "IF_PLANE not supported in comp_im_buf");
  if (!rgb_in && cp.o_colors != JC_GRAY) FAIL(kErrIo, "Input/Output combination not supported");
  if (cp.o_mode == OM_LOSSLESS) {
    if (cp.i_format != IF_PIXEL && cp.i_format != IF_PLANE)
      FAIL(kErrIo, "i_format must be PIXEL or PLANE in LOSSLESS");
    if ((cp.i_colors == JC_GRAY) != (cp.o_colors == JC_GRAY) || cp.o_colors == JC_YUV)
      FAIL(kErrIo, "i/o colors must be the same in LOSSLESS");
  }
  return 0;
}

ReturnTp JpegCheckSetup(IfuCodecTp *codec, const JpegSetupTp &s) {
  // Frame.
  if (s.mode < 0 || s.mode >= OM_COUNT) FAIL(kErrFrame, "Unrecognized mode: %d", s.mode);
  const bool lossless = s.mode == OM_LOSSLESS;
  const bool baseline = s.mode == OM_BASELINE || s.mode == OM_BASELINE_NI;
  if (lossless) {
    if (s.precision < 2 || s.precision > 16)
      FAIL(kErrFrame, "Invalid precision for lossless: %d", s.precision);
  } else if (s.precision != 8 && !(s.precision == 12 && !baseline)) {
    FAIL(kErrFrame, "Invalid precision: %d", s.precision);
  }
  int hmax = 1, vmax = 1;
  for (int i = 0; i < s.ncomp; ++i) {
    const JpegFrameCompTp &c = s.comp[i];
    for (int j = 0; j < i; ++j)
      if (s.comp[j].id == c.id) FAIL(kErrFrame, "Component %d (%c) defined twice", c.id, c.name);
    if (c.h > 4 || c.h < 1) FAIL(kErrFrame, "Hoz. sampling rate = %d > 4, Component=%d", c.h, c.id);
    if (c.v > 4 || c.v < 1) FAIL(kErrFrame, "Ver. sampling rate = %d > 4, Component=%d", c.v, c.id);
    if (c.h > hmax) hmax = c.h;
    if (c.v > vmax) vmax = c.v;
  }
  int with_ysize = 0;
  for (int i = 0; i < s.ncomp; ++i) {
    const JpegFrameCompTp &c = s.comp[i];
    if (c.xsize == 0) FAIL(kErrFrame, "Xsize = 0 in component %d", c.id);
    const int32_t x = static_cast<int32_t>((int64_t{s.width} * c.h + hmax - 1) / hmax);
    const int32_t y = static_cast<int32_t>((int64_t{s.height} * c.v + vmax - 1) / vmax);
    if (c.xsize != x)
      FAIL(kErrFrame, "Expected xsize=%d (not %d) in component %d (%c)", x, c.xsize, c.id, c.name);
    if (c.ysize != 0 && c.ysize != y)
      FAIL(kErrFrame, "Expected ysize=%d (not %d) in component %d (%c)", y, c.ysize, c.id, c.name);
    with_ysize += c.ysize != 0;
  }
  if (with_ysize != 0 && with_ysize != s.ncomp) FAIL(kErrFrame, "ysize must == 0 for all or none");
  if (s.ncomp < 1 || s.ncomp > 4)
    FAIL(kErrFrame, "Number of components in comp chain and comps not equal");

  // Quantisation.
  if (!lossless) {
    for (int t = 0; t < s.nqtab; ++t) {
      if (s.qnumber[t] > 3 || s.qnumber[t] < 0) FAIL(kErrQuant, "Q-tabno = %d > 3", s.qnumber[t]);
      for (int u = 0; u < t; ++u)
        if (s.qnumber[u] == s.qnumber[t]) FAIL(kErrQuant, "Q-tabno = %d duplicate", s.qnumber[t]);
      for (int k = 0; k < 64; ++k) {
        if (s.qtab[t][k] == 0) FAIL(kErrQuant, "Quantization value == 0");
        if (s.qtab[t][k] > 255) FAIL(kErrQuant, "Quantization value > 255");
      }
    }
    for (int i = 0; i < s.ncomp; ++i) {
      bool known = false;
      for (int t = 0; t < s.nqtab; ++t) known |= s.qnumber[t] == s.comp[i].tq;
      if (!known) FAIL(kErrQuant, "Q-matrix %d not known", s.comp[i].tq);
    }
  }

  // Scans.
  const bool progressive = s.mode >= OM_PROG_1;
  std::vector<uint8_t> coded(s.ncomp, 0);
  for (size_t n = 0; n < s.scans.size(); ++n) {
    const JpegScanTp &sc = s.scans[n];
    const int no = static_cast<int>(n) + 1;
    if (sc.ns > 4 || sc.ns < 1)
      FAIL(kErrScan, "Scan no:%d. To many components (%d > 4)", no, sc.ns);
    int blocks = 0;
    for (int k = 0; k < sc.ns; ++k) {
      const int ci = sc.comp[k];
      if (ci < 0 || ci >= s.ncomp)
        FAIL(kErrScan, "Scan no:%d. Unknown component:%d (%c)", no, ci, '?');
      blocks += s.comp[ci].h * s.comp[ci].v;
    }
    if (sc.ns > 1 && blocks > 10)
      FAIL(kErrScan, "Scan no:%d. Blocks in MDU is %d > 10", no, blocks);
    if (!lossless) {
      if (sc.z2 > 63) FAIL(kErrScan, "Scan no:%d. Z2=%d > 63", no, sc.z2);
      if (sc.z1 > sc.z2) FAIL(kErrScan, "Scan no:%d. Z1=%d > Z2=%d", no, sc.z1, sc.z2);
    }
    if (!progressive && !lossless) {
      if (sc.z1 != 0) FAIL(kErrScan, "Scan no:%d. Z1 != 0 in non progressive mode", no);
      if (sc.z2 != 63) FAIL(kErrScan, "Scan no:%d. Z2 != 63 in non progressive mode", no);
      if (sc.slice_min != 0)
        FAIL(kErrScan, "Scan no:%d. slice_min != 0 in non progressive mode", no);
      if (sc.sl_prev_min != 0)
        FAIL(kErrScan, "Scan no:%d. sl_prev_min != 0 in non progressive mode", no);
    }
    if (progressive) {
      if (sc.z1 > 0 && sc.ns != 1)
        FAIL(kErrScan, "Scan no:%d. Only 1 component for AC scan in progressive", no);
      if (sc.z1 == 0 && sc.z2 != 0) FAIL(kErrScan, "Scan no:%d. DC mixed with AC (Z1=0,Z2!=0)", no);
      if (sc.sl_prev_min != 0 && sc.sl_prev_min - sc.slice_min != 1)
        FAIL(kErrScan, "Scan no:%d. sl_prev_min - slice_min != 1", no);
    }
    for (int k = 0; k < sc.ns; ++k)
      if (sc.td[k] < 0 || sc.td[k] > 3 || sc.ta[k] < 0 || sc.ta[k] > 3)
        FAIL(kErrScan, "Scan no:%d. Td or Ta number to big", no);
    // A component's coefficients (or bits of them) are coded once; later
    // scans of a progressive stream only add bands or bits.
    for (int k = 0; k < sc.ns; ++k) {
      const int ci = sc.comp[k];
      for (int j = 0; j < k; ++j)
        if (sc.comp[j] == ci)
          FAIL(kErrScan, "Scan no:%d. CNO[%d]=%d (%c) already in previous scan", no, k,
               s.comp[ci].id, s.comp[ci].name);
      if (!progressive && coded[ci])
        FAIL(kErrScan, "Scan no:%d. CNO[%d]=%d (%c) already in previous scan", no, k, s.comp[ci].id,
             s.comp[ci].name);
      coded[ci] = 1;
    }
  }

  // Huffman statistics.
  if (baseline) {
    int dc = 0, ac = 0;
    uint8_t used_dc[4] = {}, used_ac[4] = {};
    for (const JpegScanTp &sc : s.scans)
      for (int k = 0; k < sc.ns; ++k) {
        if (!used_dc[sc.td[k]]++) ++dc;
        if (!used_ac[sc.ta[k]]++) ++ac;
      }
    if (dc > 2) FAIL(kErrHuff, "To many DC statistics in BASELINE");
    if (ac > 2) FAIL(kErrHuff, "To many AC statistics in BASELINE");
  }
  if (!s.huff.empty()) {
    if (progressive) FAIL(kErrHuff, "HUFF_Tp list can't be used in progressive");
    for (const JpegScanTp &sc : s.scans)
      for (int k = 0; k < sc.ns; ++k) {
        bool dc = false, ac = lossless;
        for (const JpegHuffSpecTp &h : s.huff) {
          dc |= !h.ac && h.number == sc.td[k];
          ac |= h.ac && h.number == sc.ta[k];
        }
        if (!dc || !ac) FAIL(kErrHuff, "Missing statistics in HUFF_Tp list");
      }
  }
  if (lossless) {
    if (s.predictor < 1 || s.predictor > 7) FAIL(kErrHuff, "Invalid predictor %d", s.predictor);
    if (s.restart) FAIL(kErrHuff, "Restart cannot be created for LOSSLESS mode");
  }
  return 0;
}

// ---- The frame and scans of each mode ---------------------------------------------

void JpegBuildSetup(const JpegCompParamTp &cp, JpegSetupTp *s) {
  *s = JpegSetupTp();
  s->mode = cp.o_mode;
  s->precision = cp.precision;
  s->width = cp.o_xdim;
  s->height = cp.o_ydim;
  s->predictor = cp.predictor;
  s->restart = cp.restart;
  const bool gray = cp.o_colors == JC_GRAY;
  s->transform = cp.o_colors == JC_YUV;
  s->ncomp = gray ? 1 : 3;
  const int h0 = cp.o_y_hv >> 4, v0 = cp.o_y_hv & 15;
  // Untransformed colour carries the letters that tell readers so.
  static const char kYcc[3] = {'Y', 'U', 'V'}, kRgb[3] = {'R', 'G', 'B'};
  for (int i = 0; i < s->ncomp; ++i) {
    JpegFrameCompTp &c = s->comp[i];
    c.name = s->transform || gray ? kYcc[i] : kRgb[i];
    c.id = s->transform || gray ? i + 1 : c.name;
    c.h = i == 0 ? h0 : 1;
    c.v = i == 0 ? v0 : 1;
    c.tq = i == 0 ? 0 : 1;
    c.xsize = static_cast<int32_t>((int64_t{s->width} * c.h + h0 - 1) / h0);
    c.ysize = static_cast<int32_t>((int64_t{s->height} * c.v + v0 - 1) / v0);
  }
  // Untransformed components look alike: one table serves them all.
  if (!s->transform)
    for (int i = 0; i < s->ncomp; ++i) s->comp[i].tq = 0;
  uint16_t luma[64], chroma[64];
  if (cp.o_mode != OM_LOSSLESS && JpegQualityTables(cp.o_quality, luma, chroma)) {
    s->nqtab = s->transform ? 2 : 1;
    s->qnumber[0] = 0;
    memcpy(s->qtab[0], luma, sizeof luma);
    if (s->nqtab == 2) {
      s->qnumber[1] = 1;
      memcpy(s->qtab[1], chroma, sizeof chroma);
    }
  }
  auto table = [&](int ci) { return s->transform && ci > 0 ? 1 : 0; };
  auto add = [&](std::initializer_list<int> comps, int z1, int z2, int ah, int al) {
    JpegScanTp sc = {};
    for (int ci : comps) {
      if (ci >= s->ncomp) continue;
      sc.comp[sc.ns] = ci;
      sc.td[sc.ns] = sc.ta[sc.ns] = table(ci);
      ++sc.ns;
    }
    if (!sc.ns) return;
    sc.z1 = z1;
    sc.z2 = z2;
    sc.sl_prev_min = ah;
    sc.slice_min = al;
    s->scans.push_back(sc);
  };
  switch (cp.o_mode) {
    case OM_BASELINE:
    case OM_SEQUENTIAL:
      add({0, 1, 2}, 0, 63, 0, 0);
      break;
    case OM_BASELINE_NI:
    case OM_SEQUENTIAL_NI:
      for (int i = 0; i < s->ncomp; ++i) add({i}, 0, 63, 0, 0);
      break;
    case OM_LOSSLESS:
      add({0, 1, 2}, cp.predictor, 0, 0, 0);
      break;
    default: {
      // Progressive: the DC of every component first (the picture's
      // thumbnail), then the low luminance frequencies, the rest of the
      // luminance, and the chrominance last.
      const int two_dc = cp.o_mode == OM_PROG_3_2DC;
      const int sp = cp.o_spectral;
      add({0, 1, 2}, 0, 0, 0, two_dc);
      if (cp.o_mode == OM_PROG_1) {
        add({0}, 1, 63, 0, 0);
      } else if (cp.o_mode == OM_PROG_2) {
        add({0}, 1, sp, 0, 0);
        add({0}, sp + 1, 63, 0, 0);
      } else {
        const int mid = sp + 1 < 20 ? 20 : sp + 1 < 62 ? sp + 1 : 62;
        add({0}, 1, sp, 0, 0);
        add({0}, sp + 1, mid, 0, 0);
        add({0}, mid + 1, 63, 0, 0);
      }
      add({1}, 1, 63, 0, 0);
      add({2}, 1, 63, 0, 0);
      if (two_dc) add({0, 1, 2}, 0, 0, 1, 0);
      break;
    }
  }
}

// ---- Call order, bands of rows, the codec object ---------------------------------

namespace {

ReturnTp InitCompression(IfuCodecTp *codec, JpegEncoderTp *e, const JpegCompParamTp &cp) {
  if (e->state == JpegEncoderTp::kInImage)
    FAIL(kErrOrder, "init_compresion called in the middle of an image");
  e->t_start = clock();
  e->diagnostics = Diagnostics();
  ReturnTp rc = JpegCheckParams(codec, cp);
  if (rc) return rc;
  e->cp = cp;
  JpegBuildSetup(cp, &e->setup);
  if (e->diagnostics) PrintSetup(*e);
  rc = JpegCheckSetup(codec, e->setup);
  if (rc) return rc;
  rc = JpegCoderStart(codec, e->cp, e->setup, &e->coder);
  if (rc) return rc;
  e->band_height = JpegCoderBandHeight(e->coder);
  e->row_bytes = cp.i_xdim * InputComponents(cp) * InputSampleBytes(cp);
  try {
    e->band.assign(static_cast<size_t>(e->row_bytes) * e->band_height, 0);
  } catch (const std::bad_alloc &) {
    FAIL(kErrMemory, "get_mem failed");
  }
  e->band_fill = 0;
  e->rows_fed = 0;
  e->state = JpegEncoderTp::kReady;
  e->t_init = clock() - e->t_start;
  return 0;
}

// One band to the coder: the band height, except for the last rows.
ReturnTp Compress(IfuCodecTp *codec, JpegEncoderTp *e, const uint8_t *rows, int32_t count) {
  if (e->state != JpegEncoderTp::kReady && e->state != JpegEncoderTp::kInImage)
    FAIL(kErrOrder, "Compress called before init_compression");
  if (count > e->cp.o_ydim - e->rows_fed) FAIL(kErrRows, "To many lines fed to %d", e->cp.o_ydim);
  if (count % e->band_height && e->rows_fed + count != e->cp.o_ydim)
    FAIL(kErrRows, "Lines must be mul. of %d", e->band_height);
  e->state = JpegEncoderTp::kInImage;
  const clock_t t = clock();
  for (int32_t done = 0; done < count; done += e->band_height) {
    const int32_t n = count - done < e->band_height ? count - done : e->band_height;
    ReturnTp rc = JpegCoderBand(e->coder, rows + static_cast<size_t>(done) * e->row_bytes, n);
    if (rc) return rc;
  }
  e->rows_fed += count;
  e->t_compress += clock() - t;
  return 0;
}

ReturnTp CloseCompression(IfuCodecTp *codec, JpegEncoderTp *e) {
  if (e->state == JpegEncoderTp::kNone || e->state == JpegEncoderTp::kClosed)
    FAIL(kErrOrder, "Compress called before init_compression");
  if (e->rows_fed != e->cp.o_ydim) FAIL(kErrOrder, "Close_compresion called in middle of image");
  const clock_t t = clock();
  ReturnTp rc = JpegCoderFinish(e->coder);
  e->t_compress += clock() - t;
  if (rc) return rc;
  e->state = JpegEncoderTp::kClosed;
  if (e->diagnostics) PrintSummary(*e);
  return 0;
}

ReturnTp CodecOutput(void *arg, const uint8_t *data, int32_t length) {
  return IfuCodecOutput(static_cast<IfuCodecTp *>(arg), data, length);
}

}  // namespace

ReturnTp JpegCompImBuf(const JpegCompParamTp &cp, const uint8_t *image) {
  IfuCodecTp codec = {};
  codec.encoder = 1;
  JpegEncoderTp e;
  ReturnTp rc =
      image ? InitCompression(&codec, &e, cp) : JpegFail(&codec, kErrIo, "i_format invalid");
  if (!rc) {
    const size_t row = static_cast<size_t>(e.row_bytes);
    rc = Compress(&codec, &e, image + row * static_cast<size_t>(cp.i_y_ori), cp.o_ydim);
  }
  if (!rc) rc = CloseCompression(&codec, &e);
  if (rc && Diagnostics()) {
    Diag("\n** ERROR in comp_im_buf = %d\n", static_cast<int>(rc & 0xFFFF));
    Diag("** %s\n", CmnErrorText(rc, nullptr, nullptr));
  }
  JpegCoderFree(e.coder);
  return rc;
}

ReturnTp JpegInitEncoder(IfuCodecTp *codec) {
  if (!codec || !codec->param) return CmnError(CMN_SOURCE, __LINE__, IFU_E_HANDLE);
  const JpegParamTp *p = static_cast<const JpegParamTp *>(codec->param);
  JpegCompParamTp cp;
  switch (p->mode) {
    case JPEG_BASELINE:
      cp.o_mode = OM_BASELINE;
      break;
    case JPEG_EXTENDED:
      cp.o_mode = OM_SEQUENTIAL;
      break;
    case JPEG_LOSSLESS:
      cp.o_mode = OM_LOSSLESS;
      cp.predictor = 7;
      break;
    case JPEG_PROGRESSIVE:
      if (p->progression < 0 || p->progression > 3)
        return CmnError(CMN_SOURCE, __LINE__, IFU_E_INTERNAL);
      cp.o_mode = OM_PROG_1 + p->progression;
      break;
    default:
      return CmnError(CMN_SOURCE, __LINE__, IFU_E_INTERNAL);
  }
  if (p->color == JPEG_GRAY) {
    cp.i_colors = cp.o_colors = JC_GRAY;
    cp.o_y_hv = YHV_11;
  } else if (p->color == JPEG_RGB) {
    cp.i_colors = JC_RGB;
    // Lossless keeps what it is given; so does a caller that asks for
    // untransformed components.
    const bool transform = p->ycbcr && cp.o_mode != OM_LOSSLESS;
    cp.o_colors = transform ? JC_YUV : JC_RGB;
    cp.o_y_hv = !transform || p->h_samp != 2 ? YHV_11 : p->v_samp == 2 ? YHV_22 : YHV_21;
  } else {
    return CmnError(CMN_SOURCE, __LINE__, IFU_E_INTERNAL);
  }
  cp.o_quality = p->quality;
  cp.precision = p->depth;
  cp.i_xdim = cp.o_xdim = p->width;
  cp.i_ydim = cp.o_ydim = p->height;
  cp.x_density = p->x_resolution > 0 ? (p->x_resolution + 500) / 1000 : 0;
  cp.y_density = p->y_resolution > 0 ? (p->y_resolution + 500) / 1000 : cp.x_density;
  cp.o_dest = OD_WRFUNC;
  cp.o_wrfunc = CodecOutput;
  cp.o_file = codec;

  JpegEncoderTp *e = new (std::nothrow) JpegEncoderTp();
  if (!e) return JpegFail(codec, kErrMemory, "get_mem failed");
  codec->object = e;
  ReturnTp rc = InitCompression(codec, e, cp);
  if (rc) {
    JpegFreeEncoder(codec);
    return rc;
  }
  return 0;
}

// Any number of bytes of whole or partial rows; they reach the coder in
// bands of the MCU height.
ReturnTp JpegEncode(IfuCodecTp *codec, const uint8_t *data, int32_t length) {
  if (!codec || !codec->object) return CmnError(CMN_SOURCE, __LINE__, IFU_E_HANDLE);
  JpegEncoderTp *e = Encoder(codec);
  if (e->failed)
    return JpegFail(codec, kErrFailed,
                    "Please Check Return Codes, IfcJPEG has previously returned an error !!");
  ReturnTp rc = 0;
  if (!data) {
    // The end: the last, shorter band, then the remaining scans.
    const int32_t rows = static_cast<int32_t>(e->band_fill / (e->row_bytes > 0 ? e->row_bytes : 1));
    // Rows short of the picture's last are the close's complaint.
    if (rows > 0 && e->rows_fed + rows == e->cp.o_ydim)
      rc = Compress(codec, e, e->band.data(), rows);
    e->band_fill = 0;
    if (!rc) rc = CloseCompression(codec, e);
  } else {
    const int64_t band_bytes = static_cast<int64_t>(e->band.size());
    while (!rc && length > 0) {
      // Whole bands straight from the caller's rows, the rest gathered.
      if (e->band_fill == 0 && length >= band_bytes && band_bytes > 0) {
        const int64_t bands = length / band_bytes;
        const int64_t rows = bands * e->band_height;
        if (e->rows_fed + rows > e->cp.o_ydim) {
          rc = Compress(codec, e, data, static_cast<int32_t>(e->cp.o_ydim - e->rows_fed) + 1);
          break;
        }
        rc = Compress(codec, e, data, static_cast<int32_t>(rows));
        data += bands * band_bytes;
        length -= static_cast<int32_t>(bands * band_bytes);
        continue;
      }
      const int64_t room = band_bytes - e->band_fill;
      const int32_t n = static_cast<int32_t>(length < room ? length : room);
      memcpy(e->band.data() + e->band_fill, data, static_cast<size_t>(n));
      e->band_fill += n;
      data += n;
      length -= n;
      if (e->band_fill == band_bytes) {
        e->band_fill = 0;
        rc = Compress(codec, e, e->band.data(), e->band_height);
      }
    }
  }
  if (rc) e->failed = true;
  return rc;
}

void JpegFreeEncoder(IfuCodecTp *codec) {
  if (!codec || !codec->object) return;
  JpegEncoderTp *e = Encoder(codec);
  JpegCoderFree(e->coder);
  delete e;
  codec->object = nullptr;
}
