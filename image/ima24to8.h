// Reduction of a finished picture to at most 256 palette indexes for
// displays with a colour map, respecting the cells other clients hold.
#ifndef PV_IMAGE_IMA24TO8_H
#define PV_IMAGE_IMA24TO8_H

#include <cstdint>

#include "imatypes.h"

// The standard colour map: entries 0..215 the 6 x 6 x 6 cube of levels
// 0x00, 0x33 .. 0xff (entry i: first byte 0x33 x (i / 36), second
// 0x33 x ((i / 6) % 6), third 0x33 x (i % 6)), entries 216..255 grays
// k x 255 / 41 for k = 1..40; fourth bytes 0.
extern const RgbPixelTp *const ImgStdColorMap;

// Reduces width x lines pixels of src (the fourth byte is ignored) to one
// palette index per pixel in dst, row after row; src and dst may be the
// same buffer. cmap (256 entries) holds the display's current colours on
// entry and the palette on return (blue, green, red written, fourth bytes
// kept). inuse (256 entries) marks with a non-zero value the cells other
// clients hold: they keep their colours. budget is the highest index
// wanted (below 1 or above 255 means 255); PVXLUTCOLORS (default 85)
// lowers it when more than two cells are taken. With std_cmap the palette
// is the standard colour map. Running out of memory is a panic.
void ImgReduceColors(const RgbPixelTp *src, unsigned char *dst, RgbPixelTp *cmap,
                     const uint32_t *inuse, int budget, bool no_dither, bool std_cmap, int width,
                     int lines);

#endif
