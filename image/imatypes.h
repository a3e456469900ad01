// Types shared by every part of the raster core.
#ifndef PV_IMAGE_IMATYPES_H
#define PV_IMAGE_IMATYPES_H

#include <cstdint>

// One display pixel, in memory order blue, green, red, fourth byte. 255 in
// the fourth byte is opaque; the all-zero pixel is fully transparent. Read
// as a little-endian 32-bit word it is 0xAARRGGBB.
typedef struct {
  uint8_t blue, green, red, fourth;
} RgbPixelTp;

// The optional open parameters handed by the viewer to the reading layer.
// A zero field leaves the reading layer's own value in place. The
// rasterising resolution and size of vector input are the programs'
// process-wide values, set before the open; this layer only reads them.
typedef struct {
  int32_t page;      // page to show
  int32_t rotation;  // 0, 90, 180 or 270
  int32_t mirror;    // 0 none, 1 horizontal, 2 vertical, 3 both
  int32_t level;     // level t for marked pixels of the colour operations
  int32_t last;      // stored unchanged; the viewer sets 1
} ImgOpenParamsTp;

#endif
