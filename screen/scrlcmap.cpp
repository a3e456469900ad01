// Loading a colour map into every viewport of a screen.
#include "scrint.h"

#define CMN_SOURCE "scrlcmap"

ReturnTp ScrLoadColorMap(SCR_CONTROL_BLOCK *block, int32_t entries, const uint8_t *rgb) {
  if (!ScrValidBlock(block) || entries < 1 || !rgb)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!block->functions.load_color_map) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOT_SUPPORTED);
  for (const ScrViewportTp &viewport : block->viewports) {
    if (!viewport.in_use) continue;
    if (ReturnTp rc = block->functions.load_color_map(viewport.handle, entries, rgb))
      return CmnReraise(CMN_SOURCE, __LINE__, rc);
  }
  return 0;
}
