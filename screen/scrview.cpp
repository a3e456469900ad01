// The viewer's display for a view the user moves about: parts of the
// image put anywhere, the picture moved inside the window, a new size
// after the window manager resized the window, and the title.
#include <cstdlib>
#include <cstring>

#include "scrint.h"
#include "scrx.h"

#define CMN_SOURCE "scrview"

namespace {

ScrViewportTp *Viewport(SCR_CONTROL_BLOCK *block) {
  return ScrValidBlock(block) ? ScrFirstViewport(block) : nullptr;
}

}  // namespace

ReturnTp ScrPutRect(SCR_CONTROL_BLOCK *cb, int32_t x, int32_t y, int32_t w, int32_t h,
                    const uint8_t *pixels, size_t stride) {
  ScrViewportTp *viewport = Viewport(cb);
  if (!viewport || !pixels || w < 1 || h < 1 || x < 0 || y < 0 || x > cb->width - w ||
      y > cb->height - h)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  for (int32_t r = 0; r < h; ++r)
    if (ReturnTp rc =
            ScrDrvXPutRow(viewport->handle, x, y + r, w, pixels + static_cast<size_t>(r) * stride))
      return CmnReraise(CMN_SOURCE, __LINE__, rc);
  return 0;
}

ReturnTp ScrScroll(SCR_CONTROL_BLOCK *cb, int32_t dx, int32_t dy) {
  ScrViewportTp *viewport = Viewport(cb);
  if (!viewport) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (ReturnTp rc = ScrDrvXScroll(viewport->handle, dx, dy))
    return CmnReraise(CMN_SOURCE, __LINE__, rc);
  return 0;
}

ReturnTp ScrResize(SCR_CONTROL_BLOCK *cb, int32_t width, int32_t height) {
  ScrViewportTp *viewport = Viewport(cb);
  if (!viewport || width < 1 || height < 1)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  uint8_t *line = static_cast<uint8_t *>(realloc(cb->line, static_cast<size_t>(width) * 4 + 1));
  if (!line) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  cb->line = line;
  if (ReturnTp rc = ScrDrvXResize(viewport->handle, width, height))
    return CmnReraise(CMN_SOURCE, __LINE__, rc);
  cb->width = width;
  cb->height = height;
  viewport->size = viewport->image_size = viewport->viewport_size = ScrXYTp{width, height};
  return 0;
}

ReturnTp ScrSetTitle(SCR_CONTROL_BLOCK *cb, const char *title) {
  ScrViewportTp *viewport = Viewport(cb);
  if (!viewport || !title) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (ReturnTp rc = ScrDrvXSetTitle(viewport->handle, title))
    return CmnReraise(CMN_SOURCE, __LINE__, rc);
  return 0;
}
