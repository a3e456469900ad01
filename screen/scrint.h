// Helpers shared by the modules of the device-independent screen layer.
// Not for use outside the screen layer.
#ifndef PV_SCREEN_SCRINT_H
#define PV_SCREEN_SCRINT_H

#include "screen.h"

// True when block points at a control block whose tag is intact.
bool ScrValidBlock(const SCR_CONTROL_BLOCK *block);
// True when the table's tag is intact.
bool ScrValidFunctions(const SCR_DRIVER_FUNCTIONS *functions);

// Compares rectangle b with rectangle a, both given by inclusive start and
// end points: *result is 2 when b lies inside a (the clip is b), 1 when
// they overlap (the clip is the intersection), 0 when they are disjoint.
// A rectangle that ends before it starts is invalid.
ReturnTp ScrClipRectangle(ScrXYTp a_start, ScrXYTp a_end, ScrXYTp b_start, ScrXYTp b_end,
                          ScrXYTp *clip_start, ScrXYTp *clip_size, int *result);

// The first viewport in use, or null.
ScrViewportTp *ScrFirstViewport(SCR_CONTROL_BLOCK *block);

#endif
