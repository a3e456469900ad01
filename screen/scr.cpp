// The viewer's display: one window through the X11 driver, the choice of
// the visual, the image line by line, the colour map and the close.
#include <X11/Xatom.h>
#include <X11/keysym.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "scrint.h"
#include "scrx.h"

#define CMN_SOURCE "scr"

namespace {

// The resolution attribute the viewer works best with: a deep true-colour
// visual, then writable colour maps from the largest down, then the few
// fixed-colour ones. -1 when none suits.
int ChooseResolution(const ScrAttributesTp &a) {
  const int n = a.n_resolutions;
  const ScrResAttributeTp *r = a.resolutions;
  for (int i = n - 1; i >= 0; --i)
    if (r[i].cmap_entries == 0 && r[i].display_class == SCR_CLASS_TRUECOLOR) return i;
  for (int i = 0; i < n; ++i)
    if (r[i].cmap_entries == 256 && r[i].writable_cmap && r[i].rgb_all_same == 0) return i;
  for (int entries : {64, 16})
    for (int i = 0; i < n; ++i)
      if (r[i].cmap_entries == entries && r[i].writable_cmap) return i;
  for (int i = 0; i < n; ++i)
    if (r[i].cmap_entries == 2) return i;
  for (int i = n - 1; i >= 0; --i)
    if (r[i].cmap_entries == 8 && r[i].display_class == SCR_CLASS_TRUECOLOR) return i;
  for (int i = n - 1; i >= 0; --i)
    if (r[i].depth == 12 && r[i].display_class == SCR_CLASS_DIRECTCOLOR) return i;
  return -1;
}

ScrDrvXTp *Window0(SCR_CONTROL_BLOCK *block) {
  ScrViewportTp *viewport = ScrFirstViewport(block);
  return viewport ? static_cast<ScrDrvXTp *>(viewport->handle) : nullptr;
}

}  // namespace

ReturnTp ScrOpen(SCR_CONTROL_BLOCK **block, Display *display, Window parent, int32_t width,
                 int32_t height, int32_t x_offset, int32_t y_offset, const char *title) {
  if (!block || !display || width < 1 || height < 1)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);

  SCR_DRIVER_FUNCTIONS functions;
  if (ReturnTp rc = ScrDrvXFunctions(&functions)) return CmnReraise(CMN_SOURCE, __LINE__, rc);

  std::unique_ptr<ScrInitRecordTp> record(new (std::nothrow) ScrInitRecordTp());
  std::unique_ptr<ScrAttributesTp> attributes(new (std::nothrow) ScrAttributesTp());
  if (!record || !attributes) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  record->title = title ? title : "";
  record->icon_name = record->title;
  record->foreground = BlackPixel(display, DefaultScreen(display));
  record->background = WhitePixel(display, DefaultScreen(display));
  if (ReturnTp rc = ScrGetAttributes(&functions, display, attributes.get()))
    return CmnReraise(CMN_SOURCE, __LINE__, rc);

  int chosen = ChooseResolution(*attributes);
  if (chosen < 0) {
    fprintf(stderr, "%s : unsupported image/screen combination\n", "pvview");
    fflush(stderr);
    return SCR_E_UNSUPPORTED;
  }
  const ScrResAttributeTp attr = attributes->resolutions[chosen];
  attributes.reset();

  ScrModeTp mode = {attr.cmap_entries, attr.bits_per_color, 0};
  if (ReturnTp rc = ScrInit(block, &functions, &mode, record.get(), &attr, display))
    return CmnReraise(CMN_SOURCE, __LINE__, rc);
  SCR_CONTROL_BLOCK *cb = *block;

  void *handle = nullptr;
  ScrViewportModeTp viewport_mode = {0, 1};
  ScrDriverInfoTp info{};
  ScrXYTp size = {width, height};
  if (ReturnTp rc = ScrCreateViewport(cb, &handle, &viewport_mode, ScrXYTp{x_offset, y_offset},
                                      size, size, size, &info, record->title)) {
    ScrTerm(block);
    return CmnReraise(CMN_SOURCE, __LINE__, rc);
  }
  record.release();  // the control block's now; ScrClose frees it

  cb->display_class = attr.display_class;
  cb->color_count = info.color_count;
  cb->cell_table = info.cell_table;
  cb->default_colors = info.default_colors;

  Window window = static_cast<ScrDrvXTp *>(handle)->window;
  if (!parent) {
    // Closing the window through the window manager then arrives as a
    // client message instead of killing the connection.
    Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    Atom delete_window = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XChangeProperty(display, window, protocols, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char *>(&delete_window), 1);
  }

  cb->line = static_cast<uint8_t *>(malloc(static_cast<size_t>(width) * 4 + 1));
  if (!cb->line) {
    ReturnTp rc = CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
    ScrClose(block);
    return rc;
  }
  // Structure events as well, so that a window destroyed under us is
  // noticed while the image is loaded.
  XSelectInput(display, window, KeyPressMask | StructureNotifyMask);
  // Everything above is in effect before the first line arrives.
  XSync(display, False);
  return 0;
}

ReturnTp ScrPutLine(SCR_CONTROL_BLOCK *cb, int32_t y, const uint8_t *pixels) {
  if (!ScrValidBlock(cb) || !pixels || !cb->line)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  ScrDrvXTp *x = Window0(cb);
  if (!x) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);

  Display *d = x->display;
  const KeyCode escape = XKeysymToKeycode(d, XK_Escape);
  XEvent event;
  while (XCheckWindowEvent(d, x->window, KeyPressMask | KeyReleaseMask | StructureNotifyMask,
                           &event)) {
    if (event.type == DestroyNotify && event.xdestroywindow.window == x->window) exit(1);
    if (event.type == KeyPress && escape != 0 && event.xkey.keycode == escape) return 1;
  }

  const int32_t width = cb->width;
  if (cb->color_count) {
    memcpy(cb->line, pixels, static_cast<size_t>(width));
  } else {
    // Blue, green, red, fourth byte become fourth byte, red, green, blue.
    // The caller's line stays as it is: it may still be needed.
    for (int32_t i = 0; i < width; ++i) {
      const uint8_t *in = pixels + 4 * i;
      uint8_t *out = cb->line + 4 * i;
      out[0] = in[3];
      out[1] = in[2];
      out[2] = in[1];
      out[3] = in[0];
    }
  }
  if (ReturnTp rc = ScrLoadRectangle(cb, ScrXYTp{0, y}, ScrXYTp{width, 1}, cb->line))
    return CmnReraise(CMN_SOURCE, __LINE__, rc);

  // Lines reach the window in bands of five.
  if (y > 0 && y % 5 == 0)
    if (ReturnTp rc = ScrFlush(cb, 0, y - 5, width, 5)) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  if (y == cb->height - 1) {
    int32_t start = y / 5 * 5;
    if (ReturnTp rc = ScrFlush(cb, 0, start, width, y - start + 1))
      return CmnReraise(CMN_SOURCE, __LINE__, rc);
  }
  return 0;
}

ReturnTp ScrInstallColorMap(SCR_CONTROL_BLOCK *cb) {
  if (!ScrValidBlock(cb)) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (cb->display_class != SCR_CLASS_PSEUDOCOLOR) return 0;
  if (ReturnTp rc = ScrLoadColorMap(cb, cb->color_count, cb->default_colors))
    return CmnReraise(CMN_SOURCE, __LINE__, rc);
  return 0;
}

ReturnTp ScrClose(SCR_CONTROL_BLOCK **block) {
  if (!block || !ScrValidBlock(*block)) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  SCR_CONTROL_BLOCK *cb = *block;
  ScrInitRecordTp *record = cb->driver;
  ReturnTp first = 0;
  if (ScrViewportTp *viewport = ScrFirstViewport(cb)) {
    void *handle = viewport->handle;
    first = ScrDestroyViewport(cb, &handle);
  }
  // The tables were the viewport's.
  cb->cell_table = nullptr;
  cb->default_colors = nullptr;
  ReturnTp rc = ScrTerm(block);
  delete record;
  return first ? CmnReraise(CMN_SOURCE, __LINE__, first) : rc;
}
