// The JPEG codec (baseline, extended sequential 8/12 bits, progressive and
// lossless): its parameter block and the codec object the codec layer
// drives. The JPEG driver, the TIFF driver (compressions 6 and 7) and the
// PDF writer (DCTDecode) reach JPEG data only through this header.
//
// Decoder: IfuCodecOpenDecoder(list, &JpegCodecOps, param, input, arg, size,
// &handle) parses the markers up to the first scan and fills the "found in
// the file" fields of the parameter block (read them back from
// handle->param). Each IfuCodecRead then delivers the next band of
// band_height rows (fewer at the bottom) in the colour form asked for:
// bytes per row = width x components (x 2 above 8 bits, native byte
// order). The end of the image answers IFU_I_EOD.
// Encoder: IfuCodecOpenEncoder with the write fields set; IfuCodecWrite
// takes whole rows in the same layout (any number of rows per call);
// IfuCodecFinish writes the end of image.
#ifndef PV_CODECS_JPEG_H
#define PV_CODECS_JPEG_H

#include <cstdint>

#include "imagefile.h"

// Handle modes.
enum { JPEG_LOSSLESS = 0, JPEG_BASELINE = 1, JPEG_EXTENDED = 2, JPEG_PROGRESSIVE = 3 };

// Colour forms of the rows handed over.
enum { JPEG_GRAY = 1, JPEG_RGB = 2, JPEG_FOUR = 3 };  // FOUR: four components as they are

typedef struct {
  // ---- writing (and the colour form asked for when reading)
  int32_t mode;         // JPEG_* handle mode
  int32_t progression;  // progressive: 0..3, more scans with each step
  int32_t color;        // JPEG_GRAY (1 component) or JPEG_RGB (3)
  int32_t h_samp;       // luminance sampling of RGB data: 1x1, 2x1 or 2x2
  int32_t v_samp;
  int32_t quality;  // 1..20 from the drivers; 21..25 and 100..120 inside the codec
  int32_t depth;    // 8, or 12 for extended sequential and lossless
  int32_t width;
  int32_t height;
  int32_t x_resolution;  // thousandths of a dot per inch, 0 unknown
  int32_t y_resolution;
  int32_t ycbcr;  // RGB written as YCbCr (default 1); 0 keeps the components as they are

  // ---- reading: found in the file by the decoder's initialisation
  int32_t file_mode;    // JPEG_* mode of the frame
  int32_t components;   // 1, 3, or 4 (CMYK); the colour form delivered follows color
  int32_t file_depth;   // sample precision of the frame
  int32_t band_height;  // rows per IfuCodecRead: 1 << (m + 2), or the height when progressive
  // The EXIF orientation, 1 to 8 (0: none or not valid); the rows are
  // delivered as stored, whatever it says.
  int32_t orientation;
  // Bytes of the rows delivered so far that no data stood behind: rows of
  // MCU rows decoded after the data ran out or broke, shown grey. A driver
  // counts them as made up, so that a frame far larger than its data is
  // stopped after bounded work.
  int64_t made_up;
  // Set before the first read: rows 2^scale_shift times smaller (1..3;
  // 0 the full size), ceil(width / 2^shift) x ceil(height / 2^shift), each
  // sample the mean of the full decode's samples it covers, computed from
  // the DCT coefficients. Lossless data ignore it.
  int32_t scale_shift;

  // ---- reading: help for JPEG held inside other formats
  const uint8_t *tables;  // an abbreviated stream (tables only) read before the data; may be null
  int32_t tables_length;
  int32_t raw_components;  // 1: no colour transform of 3-component data (e.g. TIFF RGB JPEG)
  // 1: subsampled components repeated rather than interpolated (old-style
  // TIFF JPEG, which its reference library shows so)
  int32_t replicate;
  const char *name;  // the file's name, printed before a failure's message; may be null
  int32_t named;     // set once the name has been printed
} JpegParamTp;

extern const IfuCodecOpsTp JpegCodecOps;

// The JPEG coding a writer's compression request asks for. Every writer of
// JPEG data (the JPEG files, TIFF's JPEG strips, PDF's DCT images) reads
// the request through JpegCodingOf, so that the words mean the same
// everywhere.
typedef struct {
  int32_t mode;     // JPEG_* handle mode
  int32_t quality;  // 1..20; 10 for lossless coding, which has none
  int32_t h_samp;   // luminance sampling of colour: 1x1, 2x1 or 2x2
  int32_t v_samp;
} JpegCodingTp;

// The request's first word is the coding (IFF_COMP_JPEG_LOSSLESS,
// _BASELINE, _SEQUENTIAL or _PROGRESSIVE, or IFF_COMP_NONE for the
// defaults: baseline at quality 10, 2x1, the other words unread), its
// second the quality (1 smallest file .. 20 best picture), its third the
// sampling (IFF_SAMPLING_*). A code that is no JPEG coding, or a quality
// outside 1..20 where the coding has one, gets IFF_E_WT_HEADER back, not
// raised, for the writer to raise under its own name: a quality the
// converter would refuse is never quietly replaced by another.
ReturnTp JpegCodingOf(const uint64_t compression[3], JpegCodingTp *coding);
// Puts the coding into an encoder's parameter block.
void JpegUseCoding(const JpegCodingTp *coding, JpegParamTp *param);

// The text of the codec's last failure, for drivers that print it.
const char *JpegLastMessage(void);

#endif
