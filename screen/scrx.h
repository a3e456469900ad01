// Inside the X11 screen driver: its record and the helpers of scrdutil.
// Not for use outside the screen layer.
#ifndef PV_SCREEN_SCRX_H
#define PV_SCREEN_SCRX_H

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "screen.h"

// How the pixels of one line go into the image.
typedef struct {
  int bits_per_pixel;
  int byte_order;          // of the image: LSBFirst or MSBFirst
  int indexed;             // input is one byte per pixel (colour index, black and white)
  unsigned long masks[3];  // red, green, blue
} ScrDrvXFormatTp;

// One open window of the driver.
struct ScrDrvXTp {
  Display *display = nullptr;
  Window window = 0;
  XImage *image = nullptr;
  GC gc = nullptr;
  bool own_window = false, own_gc = false, own_colormap = false;
  std::vector<char> buffer;  // the image's pixels
  Colormap colormap = 0;     // the one the colours are loaded into
  int bits_per_pixel = 0;
  XVisualInfo visual{};
  std::vector<uint8_t> cells;           // per cell: 1 taken by other clients, 0 free
  std::vector<uint8_t> default_colors;  // per cell: red, green, blue
  bool pending = false;                 // install the colour map at the next flush
  std::vector<XColor> colors;           // work array for the colour map
  ScrDrvXFormatTp format{};
};

// X errors. While a driver window is open, X errors are caught instead of
// ending the process: inside a driver operation they are kept for the
// operation to report, outside one they are reported at once; a lost
// connection is reported and ends the process with status 1. An error on
// the window shown that says it no longer exists ends the process with
// status 1 without a message, as its DestroyNotify does.
void ScrDrvXTrapErrors(void);
void ScrDrvXReleaseErrors(void);
// Starts collecting the errors of the requests that follow.
void ScrDrvXWatch(Display *display);
// Waits for the server, stops collecting, and tells whether an error
// came, with its text.
bool ScrDrvXFailed(Display *display, char *text, size_t size);

// The shift of a channel mask and the width of its bits.
void ScrDrvXChannel(unsigned long mask, int *shift, int *width);
// The first channel (0 red, 1 green, 2 blue) wider than 8 bits, or -1;
// its width in *width.
int ScrDrvXWideChannel(const ScrDrvXFormatTp *format, int *width);
// Bytes of one image line of width pixels.
size_t ScrDrvXLineBytes(const ScrDrvXFormatTp *format, int32_t width);
// Converts one line into the image's pixel format. Input pixels are four
// bytes (fourth byte, red, green, blue), or one byte when indexed.
void ScrDrvXPackLine(const ScrDrvXFormatTp *format, const uint8_t *src, uint8_t *dst,
                     int32_t width);

// The resolution attribute of one visual on a screen of the given size.
void ScrDrvXAttribute(const XVisualInfo *visual, int width, int height, ScrResAttributeTp *attr);

// Finds, by halving steps, the most cells of a colour map that can still
// be allocated and lists them. False when memory runs out.
bool ScrDrvXFreeCells(Display *display, Colormap colormap, int size,
                      std::vector<unsigned long> *free_cells);

// VIEW_GAMMA, 1.0 when unset, 0 or not a usable number.
double ScrDrvXGamma(void);
// The 16-bit value of an 8-bit channel value after gamma correction.
unsigned short ScrDrvXGammaLevel(int value, double gamma);

#endif
