// Helpers shared by the modules of the screen layer: tag checks, the
// rectangle clipping and the viewport lookup.
#include <cstdio>
#include <cstring>

#include "scrint.h"

#define CMN_SOURCE "scrutil"

bool ScrValidBlock(const SCR_CONTROL_BLOCK *block) {
  return block && memcmp(block->tag, SCR_CONTROL_BLOCK_TAG, sizeof block->tag) == 0;
}

bool ScrValidFunctions(const SCR_DRIVER_FUNCTIONS *functions) {
  // The terminating zero is compared too, so a tag that only starts with
  // the right text is refused.
  return functions && memcmp(functions->tag, SCR_DRIVER_FUNCTIONS_TAG, sizeof functions->tag) == 0;
}

ReturnTp ScrClipRectangle(ScrXYTp a_start, ScrXYTp a_end, ScrXYTp b_start, ScrXYTp b_end,
                          ScrXYTp *clip_start, ScrXYTp *clip_size, int *result) {
  if (a_end.x < a_start.x || a_end.y < a_start.y || b_end.x < b_start.x || b_end.y < b_start.y) {
    fprintf(stderr, "rectangle_a_start = %d %d\n", a_start.x, a_start.y);
    fprintf(stderr, "rectangle_a_end   = %d %d\n", a_end.x, a_end.y);
    fprintf(stderr, "rectangle_b_start = %d %d\n", b_start.x, b_start.y);
    fprintf(stderr, "rectangle_b_end   = %d %d\n", b_end.x, b_end.y);
    fflush(stderr);
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  }
  *result = 0;
  if (b_start.x > a_end.x || b_end.x < a_start.x || b_start.y > a_end.y || b_end.y < a_start.y)
    return 0;
  ScrXYTp start = b_start, end = b_end;
  if (b_start.x >= a_start.x && b_end.x <= a_end.x && b_start.y >= a_start.y &&
      b_end.y <= a_end.y) {
    *result = 2;
  } else {
    *result = 1;
    if (start.x < a_start.x) start.x = a_start.x;
    if (start.y < a_start.y) start.y = a_start.y;
    if (end.x > a_end.x) end.x = a_end.x;
    if (end.y > a_end.y) end.y = a_end.y;
  }
  *clip_start = start;
  clip_size->x = end.x - start.x + 1;
  clip_size->y = end.y - start.y + 1;
  return 0;
}

ScrViewportTp *ScrFirstViewport(SCR_CONTROL_BLOCK *block) {
  for (ScrViewportTp &viewport : block->viewports)
    if (viewport.in_use) return &viewport;
  return nullptr;
}
