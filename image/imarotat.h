// Turning rasters by multiples of 90 degrees and mirroring lines. 90 turns
// counter-clockwise: pixel (x, y) of a W x H picture lands at column y,
// row W - 1 - x of the H x W result. 270 turns clockwise: (x, y) lands at
// column H - 1 - y, row x.
#ifndef PV_IMAGE_IMAROTAT_H
#define PV_IMAGE_IMAROTAT_H

#include "imaraw.h"

// Rotates the record's tile grid by 90 or 270 and exchanges its width and
// height.
ReturnTp ImgRotateRaw(ImgRawTp *praw, int w, int h, int bpp, int degrees);
// Replaces a grid for w x h pixels by the grid of the rotated picture, one
// tile strip at a time; each source tile is freed as soon as it is
// unpacked. When memory runs out after the first tile has moved, the grid
// is freed and *grid is null.
ReturnTp ImgRotateGrid(ImgTileTp ***grid, int w, int h, int bpp, int degrees);
// Rotates a w x h block into dst (h wide, w tall): 90 counter-clockwise,
// any other value clockwise.
void ImgRotateBlock(const unsigned char *src, unsigned char *dst, int w, int h, int bpp,
                    int degrees);
// Rotates a contiguous w x h buffer in place by any multiple of 90
// degrees; returns 0, or 1 for another angle (or when memory runs out).
int ImgRotateBuffer(unsigned char *buffer, int w, int h, int bpp, int degrees);
// Reverses the order of the n pixels of a line.
void ImgMirrorLine(unsigned char *line, int n, int bpp);

#endif
