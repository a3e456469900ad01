// Loading a rectangle of pixels into the viewports that show it.
#include "scrint.h"

#define CMN_SOURCE "scrlrect"

ReturnTp ScrLoadRectangle(SCR_CONTROL_BLOCK *block, ScrXYTp start, ScrXYTp size, uint8_t *pixels) {
  if (!ScrValidBlock(block) || !pixels) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (size.x < 1 || size.y < 1 || start.x < 0 || start.y < 0 || start.x > block->width - size.x ||
      start.y > block->height - size.y)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!block->functions.load_rectangle) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOT_SUPPORTED);

  ScrXYTp end = {start.x + size.x - 1, start.y + size.y - 1};
  for (const ScrViewportTp &viewport : block->viewports) {
    if (!viewport.in_use) continue;
    // A viewport shows its image size from the image's origin; where its
    // window stands does not matter here.
    ScrXYTp shown_end = {viewport.image_size.x - 1, viewport.image_size.y - 1};
    ScrXYTp clip_start, clip_size;
    int result = 0;
    if (ReturnTp rc = ScrClipRectangle(ScrXYTp{0, 0}, shown_end, start, end, &clip_start,
                                       &clip_size, &result))
      return rc;
    if (result == 0) continue;
    // Pixels of a partly shown rectangle would have to be regathered row
    // by row; no caller needs that.
    if (result == 1) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOT_SUPPORTED);
    ScrRectTp rect = {clip_start.x, clip_start.y, clip_size.x, clip_size.y};
    if (ReturnTp rc = block->functions.load_rectangle(viewport.handle, &rect, pixels))
      return CmnReraise(CMN_SOURCE, __LINE__, rc);
  }
  return 0;
}
