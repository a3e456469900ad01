// The X11 driver's part in a view the user moves about: rows of pixels put
// anywhere in the image, the picture moved inside the window, a new image
// size once the window manager has resized the window, and the title.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "scrx.h"

#define CMN_SOURCE "scrxview"

namespace {

// The same rule as for whole lines: a visual whose channels are wider
// than the eight bits of our pixels cannot be served at all.
void RefuseWideChannels(const ScrDrvXFormatTp &f) {
  if (f.indexed || f.bits_per_pixel == 1) return;
  int bits = 0;
  const int channel = ScrDrvXWideChannel(&f, &bits);
  if (channel < 0) return;
  static const char *const kNames[] = {"Red", "Green", "Blue"};
  char text[64];
  snprintf(text, sizeof text, "%s mask=%d (maximum is 8) \n", kNames[channel], bits);
  CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, text);
  exit(1);
}

}  // namespace

ReturnTp ScrDrvXPutRow(void *context, int32_t x0, int32_t y, int32_t width, const uint8_t *pixels) {
  auto *x = static_cast<ScrDrvXTp *>(context);
  if (!x || !x->image || !pixels) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (width < 1 || x0 < 0 || y < 0 || y >= x->image->height || x0 > x->image->width - width)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const ScrDrvXFormatTp &f = x->format;
  RefuseWideChannels(f);
  uint8_t *row = reinterpret_cast<uint8_t *>(x->buffer.data()) +
                 static_cast<size_t>(y) * static_cast<size_t>(x->image->bytes_per_line);
  if (f.bits_per_pixel == 1) {
    // Bits from the left, as whole lines are packed.
    for (int32_t i = 0; i < width; ++i) {
      const int32_t at = x0 + i;
      const uint8_t bit = static_cast<uint8_t>(0x80 >> (at & 7));
      if (pixels[i])
        row[at >> 3] |= bit;
      else
        row[at >> 3] &= static_cast<uint8_t>(~bit);
    }
    return 0;
  }
  uint8_t *dst = row + static_cast<size_t>(x0) * (f.bits_per_pixel / 8);
  if (f.indexed) {
    ScrDrvXPackLine(&f, pixels, dst, width);
    return 0;
  }
  // The usual deep visual stores blue, green, red and a pad byte, which is
  // how our pixels come: they go in as they are.
  if (f.bits_per_pixel == 32 && f.byte_order == LSBFirst && f.masks[0] == 0xFF0000 &&
      f.masks[1] == 0x00FF00 && f.masks[2] == 0x0000FF) {
    memcpy(dst, pixels, static_cast<size_t>(width) * 4);
    return 0;
  }
  // Otherwise through the form whole lines take: fourth byte, red, green,
  // blue.
  static std::vector<uint8_t> argb;
  argb.resize(static_cast<size_t>(width) * 4);
  for (int32_t i = 0; i < width; ++i) {
    const uint8_t *p = pixels + 4 * i;
    uint8_t *o = &argb[4 * static_cast<size_t>(i)];
    o[0] = p[3];
    o[1] = p[2];
    o[2] = p[1];
    o[3] = p[0];
  }
  ScrDrvXPackLine(&f, argb.data(), dst, width);
  return 0;
}

ReturnTp ScrDrvXScroll(void *context, int32_t dx, int32_t dy) {
  auto *x = static_cast<ScrDrvXTp *>(context);
  if (!x || !x->image) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const int32_t w = x->image->width, h = x->image->height;
  if (dx <= -w || dx >= w || dy <= -h || dy >= h) return 0;  // nothing stays
  const int32_t cols = w - std::abs(dx), rows = h - std::abs(dy);
  const int32_t from_x = std::max(-dx, 0), to_x = std::max(dx, 0);
  const int32_t from_y = std::max(-dy, 0), to_y = std::max(dy, 0);

  // Our copy first, so that an exposure later puts back what the window
  // shows; rows are taken in the order that reads each before it is
  // overwritten.
  char *data = x->buffer.data();
  const size_t line = static_cast<size_t>(x->image->bytes_per_line);
  for (int32_t k = 0; k < rows; ++k) {
    const int32_t r = dy > 0 ? rows - 1 - k : k;
    char *dst = data + static_cast<size_t>(to_y + r) * line;
    const char *src = data + static_cast<size_t>(from_y + r) * line;
    if (x->bits_per_pixel >= 8) {
      const size_t bytes = static_cast<size_t>(x->bits_per_pixel / 8);
      memmove(dst + to_x * bytes, src + from_x * bytes, static_cast<size_t>(cols) * bytes);
    } else {
      // Packed bits: pixel by pixel, from the end that is read first.
      for (int32_t i = 0; i < cols; ++i) {
        const int32_t c = dx > 0 ? cols - 1 - i : i;
        const unsigned long pixel = XGetPixel(x->image, from_x + c, from_y + r);
        XPutPixel(x->image, to_x + c, to_y + r, pixel);
      }
    }
  }
  // The server moves what the window shows; parts of it that were hidden
  // come back as graphics exposures, which the caller puts from our copy.
  ScrDrvXWatch(x->display);
  XCopyArea(x->display, x->window, x->window, x->gc, from_x, from_y, static_cast<unsigned>(cols),
            static_cast<unsigned>(rows), to_x, to_y);
  char text[256];
  if (ScrDrvXFailed(x->display, text, sizeof text))
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, text);
  return 0;
}

ReturnTp ScrDrvXResize(void *context, int32_t width, int32_t height) {
  auto *x = static_cast<ScrDrvXTp *>(context);
  if (!x || !x->image || width < 1 || height < 1 || width > 32767 || height > 32767)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  XImage *image =
      XCreateImage(x->display, x->visual.visual, static_cast<unsigned>(x->visual.depth), ZPixmap, 0,
                   nullptr, static_cast<unsigned>(width), static_cast<unsigned>(height), 8, 0);
  if (!image) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  // The old picture goes first: its contents are drawn anew anyway.
  const bool published = scr_external_x_image == x->image;
  x->image->data = nullptr;  // the buffer was ours, not Xlib's
  XDestroyImage(x->image);
  x->image = image;
  std::vector<char>().swap(x->buffer);
  try {
    x->buffer.assign(static_cast<size_t>(image->bytes_per_line) * static_cast<size_t>(height), 0);
  } catch (const std::bad_alloc &) {
    // Nothing to put: an image of no pixels until the next size.
    image->width = image->height = 0;
  }
  image->data = x->buffer.empty() ? nullptr : x->buffer.data();
  if (image->bits_per_pixel == 1) {
    image->bitmap_unit = 8;
    image->bitmap_bit_order = MSBFirst;
  }
  if (published) {
    scr_external_x_image = image;
    scr_external_image_data = image->data;
  }
  return image->data ? 0 : CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
}

ReturnTp ScrDrvXSetTitle(void *context, const char *title) {
  auto *x = static_cast<ScrDrvXTp *>(context);
  if (!x || !title) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  // A window inside another application's window has no title of its own.
  if (parentWindow) return 0;
  XStoreName(x->display, x->window, title);
  XSetIconName(x->display, x->window, title);
  XFlush(x->display);
  return 0;
}
