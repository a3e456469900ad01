// Inside the JPEG encoder: the compression parameters, the frame and scan
// set-up derived from them, and the parts shared by the encoder's sources
// (jpegenc: parameters, checks, tables and the codec glue; jpegescan: the
// pixel pipeline, the DCT, the entropy coder and the markers).
#ifndef PV_CODECS_JPEGENC_H
#define PV_CODECS_JPEGENC_H

#include <cstdint>
#include <vector>

#include "jpegint.h"

// i_format: the layout of the rows handed over.
enum { IF_PIXEL = 0, IF_LINE = 1, IF_PLANE = 2, IF_LUT = 3 };
// i_colors / o_colors.
enum {
  JC_GRAY = 0,
  JC_RGB,
  JC_CMY,
  JC_CMYK,
  JC_YUV,
  JC_YYUV,
  JC_Y4UV,
  JC_YUVK,
  JC_YYUVKK,
  JC_COUNT
};
// o_dest: where the compressed bytes go.
enum { OD_FILE = 0, OD_WRFUNC = 1 };
// o_y_hv: luminance sampling as (horizontal << 4) | vertical.
enum { YHV_11 = 0x11, YHV_21 = 0x21, YHV_22 = 0x22 };

// The o_mode forms.
enum {
  OM_BASELINE = 0,
  OM_BASELINE_NI,
  OM_SEQUENTIAL,
  OM_SEQUENTIAL_NI,
  OM_LOSSLESS,
  OM_PROG_1,
  OM_PROG_2,
  OM_PROG_3,
  OM_PROG_3_2DC,
  OM_COUNT
};

// The encoder's error numbers, one per kind of check; the texts stand at
// the checks.
enum {
  kErrIo = 1,
  kErrFrame = 2,
  kErrQuant = 3,
  kErrScan = 4,
  kErrHuff = 5,
  kErrOrder = 6,
  kErrRows = 7,
  kErrMemory = 8,
  kErrFailed = 9
};

typedef ReturnTp (*JpegWrFuncTp)(void *arg, const uint8_t *data, int32_t length);

// The compression parameters; the names are the ones the messages use.
struct JpegCompParamTp {
  int i_format = IF_PIXEL;
  int i_colors = JC_RGB;
  int32_t i_xdim = 0, i_ydim = 0;    // the rows handed over
  int32_t i_x_ori = 0, i_y_ori = 0;  // the window of them compressed
  int32_t o_xdim = 0, o_ydim = 0;
  int o_mode = OM_BASELINE;
  int o_quality = 10;
  int o_spectral = 5;  // last coefficient of the first AC Y scan (progressive)
  int o_y_hv = YHV_21;
  int o_colors = JC_YUV;
  int o_dest = OD_WRFUNC;
  JpegWrFuncTp o_wrfunc = nullptr;
  void *o_file = nullptr;        // OD_FILE: a FILE *; OD_WRFUNC: the write function's argument
  const uint8_t *lut = nullptr;  // IF_LUT: 256 RGB triplets
  int precision = 8;             // 8, or 12 (and 2..16 lossless)
  int predictor = 7;             // lossless
  int32_t restart = 0;           // MCUs per restart interval, 0 none
  int32_t x_density = 0, y_density = 0;  // dots per inch, 0 unknown
};

// One Huffman table handed in by the caller instead of statistics.
struct JpegHuffSpecTp {
  int ac;            // 0 DC, 1 AC
  int number;        // 0..3
  uint8_t bits[17];  // bits[1..16]: codes of each length
  uint8_t values[256];
};

struct JpegFrameCompTp {
  int id;                // component identifier in the frame
  char name;             // its letter in messages
  int h, v;              // sampling factors
  int tq;                // quantisation table
  int32_t xsize, ysize;  // samples: ceil(X * h / hmax), 0 when not given
};

struct JpegScanTp {
  int ns;
  int comp[4];  // indexes into the frame's components
  int td[4], ta[4];
  int z1, z2;                  // spectral selection
  int slice_min, sl_prev_min;  // successive approximation: Al, Ah
};

// Everything the stream will hold, derived from the parameters and checked
// before the first byte is written.
struct JpegSetupTp {
  int mode = OM_BASELINE;
  int precision = 8;
  int32_t width = 0, height = 0;
  int ncomp = 0;
  JpegFrameCompTp comp[4] = {};
  int nqtab = 0;
  int qnumber[4] = {};        // table numbers defined, in order
  uint16_t qtab[4][64] = {};  // natural order, by position in qnumber
  std::vector<JpegScanTp> scans;
  std::vector<JpegHuffSpecTp> huff;  // caller's tables; empty: standard or from statistics
  int predictor = 7;
  int restart = 0;        // MCUs per restart interval, 0 none
  bool transform = true;  // three components written as YCbCr
};

// The quantisation tables of a quality (1..25, 100..120), natural order;
// false when the quality has none.
bool JpegQualityTables(int quality, uint16_t luma[64], uint16_t chroma[64]);

// The set-up the parameters ask for (after JpegCheckParams).
void JpegBuildSetup(const JpegCompParamTp &cp, JpegSetupTp *setup);

// The checks before compressing, each failure reported with its message.
ReturnTp JpegCheckParams(IfuCodecTp *codec, const JpegCompParamTp &cp);
ReturnTp JpegCheckSetup(IfuCodecTp *codec, const JpegSetupTp &setup);

// The whole-image entry point: the o_ydim rows from i_y_ori of image
// (i_ydim rows of i_xdim pixels in the input layout), compressed to
// o_wrfunc or the stream o_file.
ReturnTp JpegCompImBuf(const JpegCompParamTp &cp, const uint8_t *image);

// ---- the coder (jpegescan) ----

struct JpegCoderTp;

// Starts the stream: markers and, for the modes coded as the rows come,
// the scan header. Output goes through out(arg, ...).
ReturnTp JpegCoderStart(IfuCodecTp *codec, const JpegCompParamTp &cp, const JpegSetupTp &setup,
                        JpegCoderTp **coder);
// One band of rows of the input layout (bytes per row as the input says);
// rows is the band height except for the last band.
ReturnTp JpegCoderBand(JpegCoderTp *coder, const uint8_t *rows, int32_t count);
// The scans still to write and the end of image.
ReturnTp JpegCoderFinish(JpegCoderTp *coder);
void JpegCoderFree(JpegCoderTp *coder);
// Rows per band (the MCU height).
int32_t JpegCoderBandHeight(const JpegCoderTp *coder);
// Bytes written so far, and working memory held.
int64_t JpegCoderBytesOut(const JpegCoderTp *coder);
int64_t JpegCoderMemory(const JpegCoderTp *coder);

// The optimal code lengths for symbol counts (Annex K of T.81): bits[1..16]
// and the values in code order; returns the number of values.
int JpegOptimalTable(const uint32_t freq[256], uint8_t bits[17], uint8_t values[256]);

// Mode names in the diagnostics.
extern const char *const JpegModeNames[OM_COUNT];

#endif
