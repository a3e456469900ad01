// The X11 screen driver: lists the visuals of the screen as resolution
// attributes, creates the image window (top-level or inside a parent
// window) with an X image over a buffer of its own, converts lines into
// the image, puts them on the window and loads colour maps.
#include "scrx.h"

#include <X11/Xatom.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#define CMN_SOURCE "scrx"

Window scr_external_window_id = 0;
GC scr_external_gc = nullptr;
XImage *scr_external_x_image = nullptr;
char *scr_external_image_data = nullptr;

namespace {

ReturnTp XFailure(unsigned line, const char *text) {
  return CmnError(CMN_SOURCE, line, CMN_E_TEXT, text);
}

bool Writable(int c_class) {
  return c_class == GrayScale || c_class == PseudoColor || c_class == DirectColor;
}

bool Indexed(int c_class) {
  return c_class == StaticGray || c_class == GrayScale || c_class == StaticColor ||
         c_class == PseudoColor;
}

// True when the visual's identifier is the first value of one of the
// four-value records of the root window's overlay property.
bool IsOverlay(const long *records, unsigned long count, VisualID id) {
  for (unsigned long i = 0; i + 4 <= count; i += 4)
    if (static_cast<VisualID>(records[i]) == id) return true;
  return false;
}

// The visual passes the VIEW_* selection variables that are set.
bool Selected(const XVisualInfo &v) {
  static const struct {
    const char *name;
    int depth;
  } kDepths[] = {{"VIEW_8BIT", 8},
                 {"VIEW_12BIT", 12},
                 {"VIEW_15BIT", 15},
                 {"VIEW_16BIT", 16},
                 {"VIEW_24BIT", 24}};
  for (const auto &d : kDepths)
    if (getenv(d.name) && v.depth != d.depth) return false;
  if (getenv("VIEW_TRUECOLOR") && v.c_class != TrueColor) return false;
  if (getenv("VIEW_DIRECTCOLOR") && v.c_class != DirectColor) return false;
  if (const char *id = getenv("VIEW_ID")) {
    unsigned long wanted = strtoul(id, nullptr, 16);
    if (wanted != 0 && wanted != v.visualid) return false;
  }
  return true;
}

// Lets go of what the record holds; with server set, also of the window,
// the graphics context and the colour map.
void Release(ScrDrvXTp *x, bool server) {
  Display *d = x->display;
  if (server) {
    ScrDrvXWatch(d);
    if (x->own_gc && x->gc) XFreeGC(d, x->gc);
    if (x->own_window && x->window) XDestroyWindow(d, x->window);
    if (x->own_colormap && x->colormap) XFreeColormap(d, x->colormap);
    // The window may already be gone, destroyed by another client; that
    // is no failure here.
    char ignored[256];
    ScrDrvXFailed(d, ignored, sizeof ignored);
  }
  if (x->image && scr_external_x_image == x->image) {
    scr_external_window_id = 0;
    scr_external_gc = nullptr;
    scr_external_x_image = nullptr;
    scr_external_image_data = nullptr;
  }
  if (x->image) {
    x->image->data = nullptr;  // the buffer is ours, not Xlib's
    XDestroyImage(x->image);
    x->image = nullptr;
  }
}

}  // namespace

ReturnTp ScrDrvXFunctions(SCR_DRIVER_FUNCTIONS *functions) {
  if (!functions) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  memset(functions, 0, sizeof *functions);
  memcpy(functions->tag, SCR_DRIVER_FUNCTIONS_TAG, sizeof functions->tag);
  functions->init = ScrDrvXInit;
  functions->load_color_map = ScrDrvXLoadColorMap;
  functions->load_rectangle = ScrDrvXLoadRectangle;
  functions->get_attributes = ScrDrvXGetAttributes;
  functions->flush = ScrDrvXFlush;
  functions->term = ScrDrvXTerm;
  return 0;
}

ReturnTp ScrDrvXGetAttributes(void *context, ScrAttributesTp *attributes) {
  Display *d = static_cast<Display *>(context);
  if (!d || !attributes) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  memset(attributes, 0, sizeof *attributes);
  int screen = DefaultScreen(d);
  int width = DisplayWidth(d, screen), height = DisplayHeight(d, screen);

  XVisualInfo pattern{};
  pattern.screen = screen;
  int count = 0;
  XVisualInfo *visuals = XGetVisualInfo(d, VisualScreenMask, &pattern, &count);

  long *overlays = nullptr;
  unsigned long n_overlays = 0;
  Atom overlay_atom = XInternAtom(d, "SERVER_OVERLAY_VISUALS", True);
  if (overlay_atom != None) {
    Atom type = None;
    int format = 0;
    unsigned long after = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(d, RootWindow(d, screen), overlay_atom, 0, 1L << 16, False, overlay_atom,
                           &type, &format, &n_overlays, &after, &data) == Success &&
        data) {
      // Xlib hands 32-bit items as longs.
      if (type == overlay_atom && format == 32)
        overlays = reinterpret_cast<long *>(data);
      else
        XFree(data);
    }
    if (!overlays) n_overlays = 0;
  }

  ReturnTp rc = 0;
  for (int i = 0; i < count && rc == 0; ++i) {
    const XVisualInfo &v = visuals[i];
    if (overlays && IsOverlay(overlays, n_overlays, v.visualid)) continue;
    if (v.depth == 30) continue;
    if (!Selected(v)) continue;
    bool shadowed = false;
    if (v.c_class == TrueColor)
      for (int k = 0; k < attributes->n_resolutions; ++k) {
        const ScrResAttributeTp &r = attributes->resolutions[k];
        if (r.display_class == TrueColor && r.depth == v.depth &&
            static_cast<VisualID>(static_cast<uint32_t>(r.driver_defined)) < v.visualid)
          shadowed = true;
      }
    if (shadowed) continue;
    // GL-capable servers offer hundreds of visuals that differ only in
    // their GL properties; the limit is on the ones that are kept.
    if (attributes->n_resolutions >= SCR_MAX_RESOLUTIONS) {
      rc = CmnError(CMN_SOURCE, __LINE__, SCR_E_VISUALS);
      break;
    }
    ScrDrvXAttribute(&v, width, height, &attributes->resolutions[attributes->n_resolutions++]);
  }
  if (overlays) XFree(overlays);
  if (visuals) XFree(visuals);
  return rc;
}

ReturnTp ScrDrvXInit(ScrInitRecordTp *record, void **context, ScrDriverInfoTp *info) {
  if (!record || !record->user_data || !context || !info)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  Display *d = static_cast<Display *>(record->user_data);
  const int width = record->size.x, height = record->size.y;
  if (width < 1 || height < 1 || width > 32767 || height > 32767)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);

  std::unique_ptr<ScrDrvXTp> x(new (std::nothrow) ScrDrvXTp());
  if (!x) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  x->display = d;
  const int screen = DefaultScreen(d);
  const Window root = RootWindow(d, screen);

  XVisualInfo pattern{};
  pattern.screen = screen;
  pattern.visualid = static_cast<VisualID>(static_cast<uint32_t>(record->attribute.driver_defined));
  int found = 0;
  XVisualInfo *match = XGetVisualInfo(d, VisualScreenMask | VisualIDMask, &pattern, &found);
  if (!match || found < 1) {
    if (match) XFree(match);
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  }
  x->visual = match[0];
  XFree(match);
  Visual *visual = x->visual.visual;
  const int c_class = x->visual.c_class;
  const int map_size = x->visual.colormap_size;
  const bool is_default = visual == DefaultVisual(d, screen);
  const Colormap default_map = DefaultColormap(d, screen);

  size_t n_cells = static_cast<size_t>(std::max(map_size, 256));
  try {
    x->cells.assign(n_cells, 0);
    x->default_colors.assign(n_cells * 3, 0);
    x->colors.resize(std::max<size_t>(n_cells, 3 * 256));
  } catch (const std::bad_alloc &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }

  ScrDrvXTrapErrors();
  ScrDrvXWatch(d);
  ReturnTp rc = 0;

  // The colour map. A two-entry visual is black and white and works with
  // the screen's own map when it is the default one.
  if (map_size != 2 || !is_default) {
    int alloc = c_class == StaticGray || c_class == StaticColor || c_class == TrueColor ? AllocNone
                                                                                        : AllocAll;
    x->colormap = XCreateColormap(d, root, visual, alloc);
    x->own_colormap = true;
  } else {
    x->colormap = default_map;
  }
  if ((c_class == DirectColor || c_class != DefaultVisual(d, screen)->c_class) && map_size > 0)
    x->pending = true;

  Window parent = parentWindow ? static_cast<Window>(parentWindow) : root;
  int px = parentWindow ? xoffset : record->position.x;
  int py = parentWindow ? yoffset : record->position.y;
  XSetWindowAttributes wa{};
  wa.background_pixel = record->background;
  wa.border_pixel = record->foreground;
  wa.bit_gravity = NorthWestGravity;
  wa.colormap = c_class == PseudoColor && is_default ? default_map : x->colormap;
  // Structure events from the start: the window is mapped before the
  // screen layer selects its input, and another client may destroy it in
  // between; that must still end the program.
  wa.event_mask = StructureNotifyMask;
  x->window =
      XCreateWindow(d, parent, px, py, static_cast<unsigned>(width), static_cast<unsigned>(height),
                    0, x->visual.depth, InputOutput, visual,
                    CWBackPixel | CWBorderPixel | CWBitGravity | CWColormap | CWEventMask, &wa);
  x->own_window = true;

  XGCValues gcv{};
  gcv.foreground = record->foreground;
  gcv.background = record->background;
  x->gc = XCreateGC(d, x->window, GCForeground | GCBackground, &gcv);
  x->own_gc = true;
  XSetWindowBackground(d, x->window, record->background);

  if (!parentWindow) {
    XSizeHints hints{};
    hints.flags = PPosition | PSize | PMinSize;
    hints.x = record->position.x;
    hints.y = record->position.y;
    hints.width = width;
    hints.height = height;
    hints.min_width = 10;
    hints.min_height = 10;
    const char *title = record->title ? record->title : "";
    const char *icon = record->icon_name ? record->icon_name : title;
    XSetStandardProperties(d, x->window, const_cast<char *>(title), const_cast<char *>(icon), None,
                           nullptr, 0, &hints);
  }

  if (c_class == PseudoColor) {
    if (is_default) {
      // The colours of the cells that other clients hold are kept, so
      // that their windows look the same while our map is installed.
      for (int i = 0; i < map_size; ++i) x->colors[i].pixel = static_cast<unsigned long>(i);
      XQueryColors(d, default_map, x->colors.data(), map_size);
      for (int i = 0; i < map_size; ++i) {
        x->default_colors[3 * i] = static_cast<uint8_t>(x->colors[i].red >> 8);
        x->default_colors[3 * i + 1] = static_cast<uint8_t>(x->colors[i].green >> 8);
        x->default_colors[3 * i + 2] = static_cast<uint8_t>(x->colors[i].blue >> 8);
      }
      std::vector<unsigned long> free_cells;
      if (!ScrDrvXFreeCells(d, default_map, map_size, &free_cells))
        rc = CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
      std::fill(x->cells.begin(), x->cells.end(), 1);
      for (unsigned long pixel : free_cells)
        if (pixel < n_cells) x->cells[pixel] = 0;
    } else {
      // A map of a visual of its own: nobody else holds any of its cells.
      std::fill(x->cells.begin() + map_size, x->cells.end(), 1);
    }
  }

  // The image: a Z-format image over our own buffer of the window's size.
  if (rc == 0) {
    x->image = XCreateImage(d, visual, static_cast<unsigned>(x->visual.depth), ZPixmap, 0, nullptr,
                            static_cast<unsigned>(width), static_cast<unsigned>(height), 8, 0);
    if (!x->image) rc = CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  if (rc == 0) {
    int depth = x->visual.depth;
    size_t pixel_bytes = depth >= 24 ? 4 : depth > 8 ? 2 : 1;
    size_t size = static_cast<size_t>(width) * static_cast<size_t>(height) * pixel_bytes;
    size_t needed = static_cast<size_t>(x->image->bytes_per_line) * static_cast<size_t>(height);
    try {
      x->buffer.assign(std::max(size, needed), 0);
    } catch (const std::bad_alloc &) {
      rc = CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
    }
  }
  if (rc == 0) {
    x->image->data = x->buffer.data();
    if (x->image->bits_per_pixel == 1) {
      // One-bit lines are packed with the first pixel in the top bit.
      x->image->bitmap_unit = 8;
      x->image->bitmap_bit_order = MSBFirst;
    }
    x->bits_per_pixel = x->image->bits_per_pixel;
    x->format.bits_per_pixel = x->bits_per_pixel;
    x->format.byte_order = x->image->byte_order;
    x->format.indexed = Indexed(c_class);
    x->format.masks[0] = x->visual.red_mask;
    x->format.masks[1] = x->visual.green_mask;
    x->format.masks[2] = x->visual.blue_mask;
    XMapWindow(d, x->window);
  }

  char text[256];
  bool failed = ScrDrvXFailed(d, text, sizeof text);
  if (rc == 0 && failed) rc = XFailure(__LINE__, text);
  if (rc) {
    Release(x.get(), true);
    ScrDrvXReleaseErrors();
    return rc;
  }

  scr_external_window_id = x->window;
  scr_external_gc = x->gc;
  scr_external_x_image = x->image;
  scr_external_image_data = x->buffer.data();
  info->color_count = x->format.indexed ? map_size : 0;
  info->cell_table = x->cells.data();
  info->default_colors = x->default_colors.data();
  *context = x.release();
  return 0;
}

ReturnTp ScrDrvXLoadColorMap(void *context, int32_t entries, const uint8_t *rgb) {
  auto *x = static_cast<ScrDrvXTp *>(context);
  if (!x || entries < 1 || !rgb) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const int c_class = x->visual.c_class;
  const int map_size = x->visual.colormap_size;
  // Static maps and maps of the screen hold their colours already.
  if (!Writable(c_class) || !x->own_colormap) return 0;

  int n = 0;
  if (c_class != GrayScale) {
    double gamma = ScrDrvXGamma();
    n = std::min(entries, map_size);
    for (int i = 0; i < n; ++i) {
      XColor &c = x->colors[i];
      c.pixel = static_cast<unsigned long>(i);
      c.red = ScrDrvXGammaLevel(rgb[3 * i], gamma);
      c.green = ScrDrvXGammaLevel(rgb[3 * i + 1], gamma);
      c.blue = ScrDrvXGammaLevel(rgb[3 * i + 2], gamma);
      c.flags = DoRed | DoGreen | DoBlue;
    }
  } else {
    // A gray ramp over the entries; cells the map does not have are left
    // out.
    int ramp = std::min(entries, 256);
    for (int i = 0; i < ramp; ++i) {
      unsigned long pixel = static_cast<unsigned long>(i) * 65536 + i * 256 + i;
      if (pixel >= static_cast<unsigned long>(map_size)) continue;
      int level = ramp > 1 ? static_cast<int>(static_cast<double>(i) / (ramp - 1) * 255) : 0;
      XColor &c = x->colors[n++];
      c.pixel = pixel;
      c.red = c.green = c.blue = static_cast<unsigned short>(level * 65535 / 255);
      c.flags = DoRed | DoGreen | DoBlue;
    }
  }

  ScrDrvXWatch(x->display);
  if (n > 0) XStoreColors(x->display, x->colormap, x->colors.data(), n);
  XSetWindowColormap(x->display, x->window, x->colormap);
  x->pending = true;
  char text[256];
  if (ScrDrvXFailed(x->display, text, sizeof text)) return XFailure(__LINE__, text);
  return 0;
}

ReturnTp ScrDrvXLoadRectangle(void *context, const ScrRectTp *rect, uint8_t *pixels) {
  auto *x = static_cast<ScrDrvXTp *>(context);
  if (!x || !rect || !pixels || !x->image) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const int width = x->image->width, height = x->image->height;
  if (rect->width < 1 || rect->height < 1 || rect->x < 0 || rect->y < 0 ||
      rect->x > width - rect->width || rect->y > height - rect->height)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);

  const ScrDrvXFormatTp &f = x->format;
  const size_t in_bytes = f.indexed ? 1 : 4;
  const size_t line_bytes = static_cast<size_t>(x->image->bytes_per_line);
  char *data = x->buffer.data();

  if (rect->x != 0 || rect->width != width) {
    // Copied as it comes, clipped to the line.
    size_t row_bytes = static_cast<size_t>(rect->width) * in_bytes;
    size_t at = static_cast<size_t>(rect->x);
    if (at >= line_bytes) return 0;
    size_t n = std::min(row_bytes, line_bytes - at);
    for (int r = 0; r < rect->height; ++r)
      memcpy(data + static_cast<size_t>(rect->y + r) * line_bytes + at, pixels + r * row_bytes, n);
    return 0;
  }

  switch (f.bits_per_pixel) {
    case 1:
      if (x->visual.c_class != StaticGray && x->visual.c_class != GrayScale) {
        fprintf(stderr, "%s %d: Internal Error\n", CMN_SOURCE, __LINE__);
        fflush(stderr);
        exit(1);
      }
      break;
    case 8:
    case 16:
    case 24:
    case 32:
      break;
    default:
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  }
  if (!f.indexed && f.bits_per_pixel != 1) {
    int bits = 0;
    int channel = ScrDrvXWideChannel(&f, &bits);
    if (channel >= 0) {
      static const char *const kMessages[] = {"Red mask=%d (maximum is 8) \n",
                                              "Green mask=%d (maximum is 8) \n",
                                              "Blue mask=%d (maximum is 8) \n"};
      char text[64];
      snprintf(text, sizeof text, kMessages[channel], bits);
      CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, text);
      exit(1);
    }
  }

  const size_t src_row = static_cast<size_t>(width) * in_bytes;
  for (int r = 0; r < rect->height; ++r)
    ScrDrvXPackLine(
        &f, pixels + r * src_row,
        reinterpret_cast<uint8_t *>(data) + static_cast<size_t>(rect->y + r) * line_bytes, width);
  return 0;
}

ReturnTp ScrDrvXFlush(void *context, int32_t x0, int32_t y0, int32_t width, int32_t height) {
  auto *x = static_cast<ScrDrvXTp *>(context);
  if (!x || !x->image) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  Display *d = x->display;
  // Only what the image has can be put.
  int32_t left = std::max(x0, 0), top = std::max(y0, 0);
  int32_t right = std::min<int64_t>(static_cast<int64_t>(x0) + width, x->image->width);
  int32_t bottom = std::min<int64_t>(static_cast<int64_t>(y0) + height, x->image->height);

  ScrDrvXWatch(d);
  if (right > left && bottom > top)
    XPutImage(d, x->window, x->gc, x->image, left, top, left, top,
              static_cast<unsigned>(right - left), static_cast<unsigned>(bottom - top));
  if (x->pending) {
    // A deep direct-colour map starts out black: each channel gets a
    // linear ramp. Read-only maps have theirs already.
    if (x->visual.depth == 24 && x->visual.c_class == DirectColor && x->own_colormap) {
      int n = 0;
      const unsigned long masks[3] = {x->visual.red_mask, x->visual.green_mask,
                                      x->visual.blue_mask};
      const char flags[3] = {DoRed, DoGreen, DoBlue};
      for (int c = 0; c < 3; ++c) {
        int shift, bits;
        ScrDrvXChannel(masks[c], &shift, &bits);
        for (int i = 0; i < 256; ++i) {
          XColor &color = x->colors[n++];
          color = XColor{};
          color.pixel = (static_cast<unsigned long>(i) << shift) & masks[c];
          unsigned short value = static_cast<unsigned short>(i * 257);
          if (c == 0)
            color.red = value;
          else if (c == 1)
            color.green = value;
          else
            color.blue = value;
          color.flags = flags[c];
        }
      }
      XStoreColors(d, x->colormap, x->colors.data(), n);
    }
    XInstallColormap(d, x->colormap);
    x->pending = false;
  }
  char text[256];
  if (ScrDrvXFailed(d, text, sizeof text)) return XFailure(__LINE__, text);
  return 0;
}

ReturnTp ScrDrvXTerm(void *context, int32_t mode) {
  auto *x = static_cast<ScrDrvXTp *>(context);
  if (!x) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  Release(x, mode == SCR_TERM_VIEWPORT);
  ScrDrvXReleaseErrors();
  delete x;
  return 0;
}
