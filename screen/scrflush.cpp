// Making a rectangle of the image visible in every viewport.
#include "scrint.h"

#define CMN_SOURCE "scrflush"

ReturnTp ScrFlush(SCR_CONTROL_BLOCK *block, int32_t x, int32_t y, int32_t width, int32_t height) {
  if (!ScrValidBlock(block)) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!block->functions.flush) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOT_SUPPORTED);
  for (const ScrViewportTp &viewport : block->viewports) {
    if (!viewport.in_use) continue;
    if (ReturnTp rc = block->functions.flush(viewport.handle, x, y, width, height))
      return CmnReraise(CMN_SOURCE, __LINE__, rc);
  }
  return 0;
}
