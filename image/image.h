// What the other layers may call in the raster image core.
#ifndef PV_IMAGE_IMAGE_H
#define PV_IMAGE_IMAGE_H

#include <cstdint>

// The optional open parameters handed by the viewer to the reading layer.
// A zero field leaves the reading layer's own value in place.
typedef struct {
  double resolution;      // rasterising resolution of vector input
  int32_t graphics_size;  // longer side of the raster of vector input
  int32_t page;           // page to show
  int32_t rotation;       // 0, 90, 180 or 270
  int32_t mirror;         // 0 none, 1 horizontal, 2 vertical, 3 both
  int32_t level;          // level t for marked pixels of the colour operations
  int32_t last;           // stored unchanged; the viewer sets 1
} ImgOpenParamsTp;

#endif
