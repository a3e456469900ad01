// The wiring of the layers at start-up.
#include "pvinit.h"

#include "drivers.h"
#include "image.h"
#include "imagefile.h"

void PvInit(int flags) {
  IffUseFormats(IfdFormats);
  ImgRawUseReader(&ImgReadingLayer);
  IfiFilterStageFn = (flags & PV_INIT_FILTERS) ? IfiFilterStage : nullptr;
}
