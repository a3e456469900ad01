// Small line and buffer helpers on RgbPixelTp (blue, green, red, fourth
// byte), shared by the reading layer, the viewer's display path, the PNG
// writer and the screen driver. All of them work on buffers the caller
// owns. Where a helper says "in place" the source and destination may be
// the same buffer; other overlaps are not supported.
#ifndef PV_IMAGE_IMAUTIL_H
#define PV_IMAGE_IMAUTIL_H

#include <cstddef>
#include <cstdint>

#include "cmnerror.h"
#include "imaraw.h"  // ImgInterpretationTp
#include "imatypes.h"

// ---- Into RgbPixelTp (all in place) ----------------------------------------

// n palette indexes through a colour table of 256 entries; a missing table
// is a programming error (assertion "cmap").
void ImgLut2Pix(const unsigned char *in, const RgbPixelTp *cmap, RgbPixelTp *out, int n);
// n gray bytes: blue = green = red = gray, fourth byte 255.
void ImgGray2Pix(const unsigned char *in, RgbPixelTp *out, int n);
// n triples red, green, blue: blue, green, red, 255.
void ImgRgb2Pix(const unsigned char *in, RgbPixelTp *out, int n);
// n stored pixels after the raster's interpretation: Lut, Gray and Rgb as
// above; Unset and Rgbw copy 4 bytes per pixel.
void ImgInterp2Pix(const unsigned char *in, RgbPixelTp *out, int n, ImgInterpretationTp interp,
                   const RgbPixelTp *cmap);
// n words red, green, blue, alpha with alpha premultiplied into the
// colour: alpha 0 gives the transparent value 0, alpha 255 the colour as
// it is, else each colour byte x alpha / 255 and the fourth byte alpha.
void ImgRgba2PixPremultiplied(const unsigned char *in, RgbPixelTp *out, int n);

// n pixels c, m, y, k to triples red, green, blue: 255 - k - c (and - m,
// - y), limited to 0..255. In place.
void ImgCmyk2Rgb(const unsigned char *in, unsigned char *out, int n);

// ---- Out of RgbPixelTp (all in place) --------------------------------------

// Triples red, green, blue.
void ImgPix2Rgb(const RgbPixelTp *in, unsigned char *out, int n);
// Bytes 0 and 2 exchanged: red, green, blue, fourth byte in memory.
void ImgPix2Rgba(const RgbPixelTp *in, RgbPixelTp *out, int n);
// Red, green, blue, alpha bytes with the alpha taken out of the colour
// again (rounded): what a file with a straight alpha sample holds.
void ImgPix2StraightRgba(const RgbPixelTp *in, unsigned char *out, int n);
// The four bytes of each pixel reversed, for displays of the other byte
// order.
void ImgPixReverseBytes(const RgbPixelTp *in, RgbPixelTp *out, int n);
// Gray bytes (19 x red + 38 x green + 7 x blue) >> 6.
void ImgPix2Gray(const RgbPixelTp *in, unsigned char *out, int n);
// Bytes 0 or 255: 0 when 19 x red + 38 x green + 7 x blue is below 8192.
void ImgPix2Bilevel(const RgbPixelTp *in, unsigned char *out, int n);
// Blue, green and red each to 0 below 128 and 255 from 128 on; the fourth
// byte is kept.
void ImgPixThreshold(const RgbPixelTp *in, RgbPixelTp *out, int n);

// ---- Pixel operations on a line (all in place) -----------------------------

// All 32 bits of every pixel inverted.
void ImgInvertPix(const RgbPixelTp *in, RgbPixelTp *out, int n);
// Only pixels with red = green = blue are inverted (all 32 bits).
void ImgInvertGrayPix(const RgbPixelTp *in, RgbPixelTp *out, int n);
// Only black and white pixels (red = green = blue = 0 or 255) are inverted.
void ImgInvertBwPix(const RgbPixelTp *in, RgbPixelTp *out, int n);
// Lays the pixels over white: fourth byte 0 gives 0xFFFFFFFF; 1..254 adds
// 255 minus it to each colour byte (at most 255) and makes the pixel
// opaque; opaque pixels stay.
void ImgOverWhite(const RgbPixelTp *in, RgbPixelTp *out, int n);

// Pixel `index` of a buffer of bpp-byte pixels: the byte for 1, the signed
// 16-bit value for 2, first << 16 | second << 8 | third with the top byte
// 0xFF for 3, the 32-bit value for 4. Any other bpp is reported on
// standard error and ends the program with status 1.
int32_t ImgGetPix(const unsigned char *buffer, size_t index, int bpp);

// ---- Buffers of w x h RgbPixelTp -------------------------------------------

// Copies the rw x rh rectangle at (x, y) of a *w x *h source into the
// packed destination. The origin is clamped into the source and the size
// to 1 .. what remains; *w and *h return the size copied.
void ImgCopyRect(const RgbPixelTp *src, RgbPixelTp *dst, int *w, int *h, int rw, int rh, int x,
                 int y);
// Rows exchanged top with bottom.
void ImgFlipVertical(RgbPixelTp *buffer, int w, int h);

// ---- Colour model ----------------------------------------------------------

// Value max / 255, saturation 1 - min / max (0 for black), hue 0 .. 6 in
// the sectors of the chrominance operation (pure red is 1, green 3, blue
// 5), -1 for grays and black.
void ImgRgb2Hsv(int red, int green, int blue, double *hue, double *saturation, double *value);
// The inverse; components rounded to 0..255. A negative hue gives gray.
void ImgHsv2Rgb(double hue, double saturation, double value, int *red, int *green, int *blue);

// ---- Files -----------------------------------------------------------------
// Failures: "Cannot open %s" (CMN_E_OPEN) and "Cannot write %s" (CMN_E_WRITE).

// w x h palette indexes through a table of 256 triples red, green, blue.
ReturnTp ImgDumpLutPpm(const char *file_name, const unsigned char *indexes,
                       const unsigned char *table, int w, int h);
ReturnTp ImgDumpPgm(const char *file_name, const unsigned char *gray, int w, int h);
ReturnTp ImgDumpRgbPpm(const char *file_name, const unsigned char *rgb, int w, int h);
ReturnTp ImgDumpPixPpm(const char *file_name, const RgbPixelTp *pixels, int w, int h);

// Reads a binary PPM (maxval up to 255) into w x h four-byte pixels: the
// three file bytes in file order, then 255. The buffer belongs to the
// reader and is valid until its next call. Returns null, with *w = *h = 0,
// for a file that cannot be opened (perror), is not a binary PPM ("Not a
// binary ppm file") or ends before its pixels do.
const unsigned char *ImgReadPpm(const char *file_name, int *w, int *h);

#endif
