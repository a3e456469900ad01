// What the other layers may call in the screen layer: the
// device-independent screen layer over a table of driver functions, the
// viewer's display built on it, and the X11 driver that fills the table.
#ifndef PV_SCREEN_SCREEN_H
#define PV_SCREEN_SCREEN_H

#include <X11/Xlib.h>

#include <cstdint>

#include "common.h"

#define SCR_MAX_RESOLUTIONS 255
#define SCR_MAX_VIEWPORTS 255

// X visual classes as the attributes carry them.
#define SCR_CLASS_STATICGRAY 0
#define SCR_CLASS_GRAYSCALE 1
#define SCR_CLASS_STATICCOLOR 2
#define SCR_CLASS_PSEUDOCOLOR 3
#define SCR_CLASS_TRUECOLOR 4
#define SCR_CLASS_DIRECTCOLOR 5

// Terminate modes of a driver: a viewport ends with its window; a screen
// that is terminated as a whole leaves the window to the display.
#define SCR_TERM_SCREEN 0
#define SCR_TERM_VIEWPORT 1

// ScrOpen returns this, already reported, when no visual of the screen
// suits the viewer; the viewer ends with status 1.
#define SCR_E_UNSUPPORTED 0x1D140002u

// One resolution attribute: one way the screen can show an image (for the
// X11 driver, one visual). Compared byte for byte, so every field is four
// bytes and there is no padding.
typedef struct {
  int32_t width, height;  // of the screen
  float ratio;            // width / height
  int32_t cmap_entries;   // colour map entries
  int32_t max_colors;
  int32_t bits_per_color;
  int32_t format;
  int32_t depth;
  int32_t rgb_supported;
  int32_t bw_supported;
  int32_t writable_cmap;
  int32_t technicolor;
  int32_t fast;
  int32_t rgb_all_same;
  int32_t driver_defined;  // X11: the visual identifier
  int32_t display_class;   // X11: the visual class
} ScrResAttributeTp;
static_assert(sizeof(ScrResAttributeTp) == 64, "a resolution attribute is 64 bytes");

typedef struct {
  int32_t async_display;
  int32_t status_supported;
  int32_t noises_supported[4];
  uint16_t n_resolutions;  // at most SCR_MAX_RESOLUTIONS
  ScrResAttributeTp resolutions[SCR_MAX_RESOLUTIONS];
  int32_t scrolling_supported;
  int32_t panning_supported;
  int32_t zooming_supported;
} ScrAttributesTp;

typedef struct {
  int32_t x, y;
} ScrXYTp;

typedef struct {
  int32_t x, y, width, height;
} ScrRectTp;

// Requested mode of a screen.
typedef struct {
  int32_t cmap_entries;
  int32_t bits_per_color;
  int32_t color_mode;  // 0 colour, 1 black and white
} ScrModeTp;

// Mode of a viewport: its colour mode and the number of image layers it
// shows, which must be 1.
typedef struct {
  int32_t color_mode;
  int32_t layers;
} ScrViewportModeTp;

// What a driver tells about a new viewport. The tables belong to the
// driver and live until the viewport is destroyed.
typedef struct {
  int32_t color_count;      // non-zero when the display works with colour indices
  uint8_t *cell_table;      // per colour cell: 1 taken by other clients, 0 free
  uint8_t *default_colors;  // per colour cell: red, green, blue
} ScrDriverInfoTp;

// A driver's initialisation record. The layer fills the user data, the
// attribute, the mode, the position, the size and the title before each
// viewport is created; the caller presets the icon name and the colours.
typedef struct {
  void *user_data;              // X11: the display connection
  ScrResAttributeTp attribute;  // the chosen resolution attribute
  ScrViewportModeTp mode;
  ScrXYTp position;
  ScrXYTp size;  // image width and height
  const char *title;
  const char *icon_name;  // null: the title
  unsigned long foreground, background;
} ScrInitRecordTp;

typedef ReturnTp (*ScrDrvInitFn)(ScrInitRecordTp *record, void **context, ScrDriverInfoTp *info);
typedef ReturnTp (*ScrDrvLoadColorMapFn)(void *context, int32_t entries, const uint8_t *rgb);
typedef ReturnTp (*ScrDrvLoadRectangleFn)(void *context, const ScrRectTp *rect, uint8_t *pixels);
typedef ReturnTp (*ScrDrvGetAttributesFn)(void *context, ScrAttributesTp *attributes);
typedef ReturnTp (*ScrDrvFlushFn)(void *context, int32_t x, int32_t y, int32_t width,
                                  int32_t height);
typedef ReturnTp (*ScrDrvTermFn)(void *context, int32_t mode);
typedef void (*ScrDrvReservedFn)(void);

#define SCR_DRIVER_FUNCTIONS_TAG "SCR_DRIVER_FUNCTIONS"
#define SCR_CONTROL_BLOCK_TAG "SCR_CONTROL_BLOCK"

// A driver's operations. The reserved slots are never filled or called.
typedef struct SCR_DRIVER_FUNCTIONS {
  char tag[sizeof SCR_DRIVER_FUNCTIONS_TAG];
  ScrDrvInitFn init;
  ScrDrvLoadColorMapFn load_color_map;
  ScrDrvLoadRectangleFn load_rectangle;
  ScrDrvReservedFn reserved1;
  ScrDrvGetAttributesFn get_attributes;  // context: the user data
  ScrDrvReservedFn reserved2;
  ScrDrvFlushFn flush;
  ScrDrvReservedFn reserved3;
  ScrDrvTermFn term;
} SCR_DRIVER_FUNCTIONS;

typedef struct {
  int32_t in_use;
  int32_t scaled;    // image size differs from viewport size
  ScrXYTp position;  // where the viewport's window is put
  ScrXYTp size;
  ScrXYTp image_size;  // the part of the image it shows, from the origin
  ScrXYTp viewport_size;
  void *handle;  // the driver's context
} ScrViewportTp;

// One open screen, owned by the layer.
typedef struct SCR_CONTROL_BLOCK {
  char tag[sizeof SCR_CONTROL_BLOCK_TAG];
  void *user_data;
  SCR_DRIVER_FUNCTIONS functions;
  int32_t resolution;  // index of the chosen resolution attribute
  ScrModeTp mode;
  ScrAttributesTp attributes;
  ScrInitRecordTp *driver;  // the driver's initialisation record
  int32_t width, height;    // of the image, in pixels
  int32_t display_class;    // of the chosen attribute; 3 is PseudoColor
  int32_t color_count;      // non-zero when the display works with colour indices
  uint8_t *line;            // width x 4 + 1 bytes
  uint8_t *cell_table;      // the driver's: 1 taken by other clients, 0 free
  uint8_t *default_colors;  // the driver's: red, green, blue per cell
  ScrViewportTp viewports[SCR_MAX_VIEWPORTS];
} SCR_CONTROL_BLOCK;

// Device-independent layer.
ReturnTp ScrInit(SCR_CONTROL_BLOCK **block, const SCR_DRIVER_FUNCTIONS *functions,
                 const ScrModeTp *mode, ScrInitRecordTp *init_record,
                 const ScrResAttributeTp *desired, void *user_data);
ReturnTp ScrCreateViewport(SCR_CONTROL_BLOCK *block, void **handle, const ScrViewportModeTp *mode,
                           ScrXYTp position, ScrXYTp size, ScrXYTp image_size,
                           ScrXYTp viewport_size, ScrDriverInfoTp *info, const char *title);
ReturnTp ScrDestroyViewport(SCR_CONTROL_BLOCK *block, void **handle);
ReturnTp ScrLoadColorMap(SCR_CONTROL_BLOCK *block, int32_t entries, const uint8_t *rgb);
ReturnTp ScrLoadRectangle(SCR_CONTROL_BLOCK *block, ScrXYTp start, ScrXYTp size, uint8_t *pixels);
ReturnTp ScrFlush(SCR_CONTROL_BLOCK *block, int32_t x, int32_t y, int32_t width, int32_t height);
ReturnTp ScrGetAttributes(const SCR_DRIVER_FUNCTIONS *functions, void *user_data,
                          ScrAttributesTp *attributes);
ReturnTp ScrTerm(SCR_CONTROL_BLOCK **block);
void ScrDumpAttributes(const ScrAttributesTp *attributes);

// The viewer's display. The parent window is the viewer's parentWindow
// (0 for a top-level window), which the X11 driver reads as well.
ReturnTp ScrOpen(SCR_CONTROL_BLOCK **block, Display *display, Window parent, int32_t width,
                 int32_t height, int32_t x_offset, int32_t y_offset, const char *title);
// pixels: width pixels of four bytes (blue, green, red, fourth byte), or
// width colour indices when the control block's colour count is non-zero.
// Returns 0, 1 when the user pressed Escape, or an error code.
ReturnTp ScrPutLine(SCR_CONTROL_BLOCK *block, int32_t y, const uint8_t *pixels);
ReturnTp ScrInstallColorMap(SCR_CONTROL_BLOCK *block);
ReturnTp ScrClose(SCR_CONTROL_BLOCK **block);

// A view the user moves about (pvview -explore). Nothing of these reaches
// the window before ScrFlush, except what ScrScroll moves there.
// Puts h rows of w pixels (as for ScrPutLine; row r at pixels + r x stride)
// into the image at (x, y).
ReturnTp ScrPutRect(SCR_CONTROL_BLOCK *block, int32_t x, int32_t y, int32_t w, int32_t h,
                    const uint8_t *pixels, size_t stride);
// Moves the picture dx pixels right and dy down, in the image and in the
// window; the strips it leaves are the caller's to fill. Parts of the
// window that were hidden arrive as GraphicsExpose events.
ReturnTp ScrScroll(SCR_CONTROL_BLOCK *block, int32_t dx, int32_t dy);
// The window has been given a new size: an image of that size, to be
// filled anew.
ReturnTp ScrResize(SCR_CONTROL_BLOCK *block, int32_t width, int32_t height);
// The title of a top-level window (an embedded window has none).
ReturnTp ScrSetTitle(SCR_CONTROL_BLOCK *block, const char *title);

// The X11 driver.
ReturnTp ScrDrvXFunctions(SCR_DRIVER_FUNCTIONS *functions);
ReturnTp ScrDrvXGetAttributes(void *display, ScrAttributesTp *attributes);
ReturnTp ScrDrvXInit(ScrInitRecordTp *record, void **context, ScrDriverInfoTp *info);
ReturnTp ScrDrvXLoadColorMap(void *context, int32_t entries, const uint8_t *rgb);
ReturnTp ScrDrvXLoadRectangle(void *context, const ScrRectTp *rect, uint8_t *pixels);
ReturnTp ScrDrvXFlush(void *context, int32_t x, int32_t y, int32_t width, int32_t height);
ReturnTp ScrDrvXTerm(void *context, int32_t mode);
// Its part in a view the user moves about: a row of w pixels (as for
// ScrPutLine: blue, green, red, fourth byte, or colour indices) put into
// the image at (x, y), the picture moved, a new image size, the title.
ReturnTp ScrDrvXPutRow(void *context, int32_t x, int32_t y, int32_t w, const uint8_t *pixels);
ReturnTp ScrDrvXScroll(void *context, int32_t dx, int32_t dy);
ReturnTp ScrDrvXResize(void *context, int32_t width, int32_t height);
ReturnTp ScrDrvXSetTitle(void *context, const char *title);

// Published by the X11 driver while a window is open, so that code
// outside the layer (the interrupt handler, a host that embeds the
// window) can reach them; 0 or null otherwise.
extern Window scr_external_window_id;
extern GC scr_external_gc;
extern XImage *scr_external_x_image;
extern char *scr_external_image_data;

#endif
