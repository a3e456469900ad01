// Terminating a screen: the driver lets go of what is still open, and the
// control block is freed.
#include <cstdlib>

#include "scrint.h"

#define CMN_SOURCE "scrterm"

ReturnTp ScrTerm(SCR_CONTROL_BLOCK **block) {
  if (!block || !ScrValidBlock(*block)) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  SCR_CONTROL_BLOCK *cb = *block;
  ReturnTp first = 0;
  for (ScrViewportTp &viewport : cb->viewports) {
    if (!viewport.in_use || !cb->functions.term) continue;
    ReturnTp rc = cb->functions.term(viewport.handle, SCR_TERM_SCREEN);
    if (rc && !first) first = CmnReraise(CMN_SOURCE, __LINE__, rc);
  }
  free(cb->line);
  // A stale block must not pass the tag check.
  cb->tag[0] = '\0';
  free(cb);
  *block = nullptr;
  return first;
}
