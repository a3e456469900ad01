// Creating a viewport: a window of the screen through the driver's
// initialise operation.
#include <cstdio>

#include "scrint.h"

#define CMN_SOURCE "scrcvp"

namespace {

ReturnTp Refuse(int number, unsigned line) {
  ReturnTp rc = CmnError(CMN_SOURCE, line, CMN_E_INVALID_ARG);
  fprintf(stderr, "Parameter Failure = %d\n", number);
  fflush(stderr);
  return rc;
}

}  // namespace

ReturnTp ScrCreateViewport(SCR_CONTROL_BLOCK *block, void **handle, const ScrViewportModeTp *mode,
                           ScrXYTp position, ScrXYTp size, ScrXYTp image_size,
                           ScrXYTp viewport_size, ScrDriverInfoTp *info, const char *title) {
  if (mode && mode->layers != 1) return Refuse(5, __LINE__);
  if (!block || !handle || !mode || !info || !title) return Refuse(2, __LINE__);
  if (*handle) return Refuse(1, __LINE__);
  if (!ScrValidBlock(block)) return Refuse(3, __LINE__);
  if (mode->color_mode >= 2) return Refuse(4, __LINE__);

  int scaled = image_size.x != viewport_size.x || image_size.y != viewport_size.y;
  if (scaled && !block->attributes.zooming_supported)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOT_SUPPORTED);
  if (!block->functions.init) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOT_SUPPORTED);
  if (!block->driver) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);

  ScrViewportTp *viewport = nullptr;
  for (ScrViewportTp &candidate : block->viewports)
    if (!candidate.in_use) {
      viewport = &candidate;
      break;
    }
  if (!viewport) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);

  ScrInitRecordTp *record = block->driver;
  record->user_data = block->user_data;
  record->attribute = block->attributes.resolutions[block->resolution];
  record->mode = *mode;
  record->position = position;
  record->size = size;
  record->title = title;

  void *context = nullptr;
  *info = ScrDriverInfoTp{};
  if (ReturnTp rc = block->functions.init(record, &context, info))
    return CmnReraise(CMN_SOURCE, __LINE__, rc);

  viewport->in_use = 1;
  viewport->scaled = scaled;
  viewport->position = position;
  viewport->size = size;
  viewport->image_size = image_size;
  viewport->viewport_size = viewport_size;
  viewport->handle = context;
  // The image reaches as far as the largest viewport shows it.
  if (image_size.x > block->width) block->width = image_size.x;
  if (image_size.y > block->height) block->height = image_size.y;
  *handle = context;
  return 0;
}
