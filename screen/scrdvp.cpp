// Destroying a viewport through the driver's terminate operation.
#include "scrint.h"

#define CMN_SOURCE "scrdvp"

ReturnTp ScrDestroyViewport(SCR_CONTROL_BLOCK *block, void **handle) {
  if (!ScrValidBlock(block) || !handle || !*handle)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  ScrViewportTp *viewport = nullptr;
  for (ScrViewportTp &candidate : block->viewports)
    if (candidate.in_use && candidate.handle == *handle) {
      viewport = &candidate;
      break;
    }
  if (!viewport) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!block->functions.term) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOT_SUPPORTED);

  ReturnTp rc = block->functions.term(*handle, SCR_TERM_VIEWPORT);
  // The driver has let go of the viewport whatever it reports.
  *viewport = ScrViewportTp{};
  *handle = nullptr;
  return rc ? CmnReraise(CMN_SOURCE, __LINE__, rc) : 0;
}
