// The CCITT fax codec (T.4 Group 3 one- and two-dimensional, T.6 Group 4,
// and TIFF's modified Huffman rows): its parameter record, lookup and code
// tables, and the codec object the codec layer drives.
//
// Decoder: open with IfuCodecOpenDecoder(list, &FaxCodecOps, param, input,
// ...); IfuCodecRead delivers whole packed rows (bytes per row (columns +
// 7) / 8); FaxDecodeRowChanges delivers one row as its changing elements,
// for callers that fill their own lines from runs.
// Encoder: IfuCodecOpenEncoder; IfuCodecWrite takes packed rows (any split);
// IfuCodecFinish ends the image.
#ifndef PV_CODECS_CCITT_H
#define PV_CODECS_CCITT_H

#include <array>
#include <cstdint>
#include <cstdio>

#include "imagefile.h"

enum {
  FAX_MODE_G3_1D = 0,
  FAX_MODE_G3_2D = 1,
  FAX_MODE_G4 = 2,
  FAX_MODE_MH = 3  // modified Huffman: 1-D rows, each starting on a byte
};

typedef struct {
  int32_t mode;          // FAX_MODE_*, default G3 1-D; modes 0 and 3 are 1-D, 1 and 2 are 2-D
  int32_t columns;       // pixels per row, default 1728
  int32_t rows;          // default 0: rows until the data ends
  int32_t group3;        // the caller's note that the data is Group 3; the mode decides the coding
  int32_t byte_align;    // rows start on a byte boundary (default 0)
  int32_t end_of_line;   // rows are introduced by EOL codes (default 0)
  int32_t pad_eol;       // encoder: fill bits so that each EOL ends on a byte boundary (default 1)
  int32_t black_is_one;  // 1 bits are black (default 1); 0 inverts the rows
  int32_t msb_first;     // data bytes hold their first bit in the high bit (default 1)
} FaxParamTp;

// One entry of a decoding table: a run length (or mode) and the bits its
// code takes at this level. Run length -1: the code is longer (next level);
// -2: no such code; -3: an end of line.
typedef struct {
  int16_t run;
  int16_t length;
} FaxCodeTp;
typedef std::array<FaxCodeTp, 256> FaxTableTp;

// Three-level tables, each indexed by the next 8 bits. White: level 0, then
// after dropping 1 bit level 1, then after 3 more level 4; black: 0, 4, 6.
// Lengths are counted from the bits the level is indexed with.
extern const FaxTableTp FaxWhite0, FaxWhite1, FaxWhite4;
extern const FaxTableTp FaxBlack0, FaxBlack4, FaxBlack6;
// Two-dimensional mode codes: run holds the mode.
enum {
  FAX_INVALID = -1,
  FAX_PASS = 0,
  FAX_HORIZONTAL = 1,
  FAX_V0 = 2,
  FAX_VR1 = 3,
  FAX_VR2 = 4,
  FAX_VR3 = 5,
  FAX_VL1 = 6,
  FAX_VL2 = 7,
  FAX_VL3 = 8
};
extern const FaxTableTp FaxModes;
// FaxOnes[n]: the n low bits set, n = 0..32.
extern const std::array<uint32_t, 33> FaxOnes;
// The bit reversal of each byte value.
extern const std::array<uint8_t, 256> FaxSwap;

// Encoding tables: code bits (right-aligned) and their count.
typedef struct {
  uint32_t code;
  uint32_t length;
} FaxCodeWordTp;
extern const std::array<FaxCodeWordTp, 64> short_white_runs, short_black_runs;  // runs 0..63
// Make-up codes of 64, 128, ... 2560 (index run / 64 - 1).
extern const std::array<FaxCodeWordTp, 40> long_white_runs, long_black_runs;
extern const FaxCodeWordTp EOL, EOFB;

// Decoder tracing, and the encoder's PostScript view of its output (the
// file "bvadr.ps", written with FAX_DEBUG=2).
extern int fax_debug;
extern FILE *bvadrfile;

extern const IfuCodecOpsTp FaxCodecOps;

// The next row of a decoder as its changing elements: (*changes)[0] is the
// first black pixel, [1] the first white one after it, and so on; a row
// that ends black has an odd *count. *count is -1 when no row is left: all
// rows done, the data used up, or an invalid code (*failed set to 1 for
// the last). Damaged data are decoded past where the coding allows: with
// end-of-line codes a row keeps what came before an invalid code and the
// next row starts at the next end of line; without them an invalid mode
// code is skipped with the byte it stands in. Such a row comes with
// *failed set to 2. The array stays valid until the next call.
ReturnTp FaxDecodeRowChanges(IfuCodecTp *codec, const int32_t **changes, int32_t *count,
                             int32_t *failed);

// Packed row from changing elements: 1 bits black when black_is_one.
void FaxFillRow(uint8_t *row, int32_t columns, const int32_t *changes, int32_t count,
                int black_is_one);

// The codec's operations (faxdeco and faxenco).
ReturnTp FaxInitDecoder(IfuCodecTp *codec);
ReturnTp FaxDecode(IfuCodecTp *codec, uint8_t *buffer, int32_t *length);
ReturnTp FaxInitEncoder(IfuCodecTp *codec);
ReturnTp FaxEncode(IfuCodecTp *codec, const uint8_t *data, int32_t length);
void FaxTerminate(IfuCodecTp *codec);
void FaxFreeDecoder(IfuCodecTp *codec);
void FaxFreeEncoder(IfuCodecTp *codec);

#endif
