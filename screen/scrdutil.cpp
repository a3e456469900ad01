// Helpers of the X11 screen driver: catching X errors, packing pixels into
// the image's format, describing visuals, the free colour cell search and
// the gamma correction.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "scrx.h"

#define CMN_SOURCE "scrdutil"

namespace {

int trap_count = 0;
XErrorHandler old_error_handler = nullptr;
XIOErrorHandler old_io_error_handler = nullptr;

bool watching = false;
Display *watch_display = nullptr;
unsigned long watch_from = 0;
bool have_error = false;
XErrorEvent first_error;

void Describe(Display *display, const XErrorEvent *error, char *text, size_t size) {
  char name[160];
  XGetErrorText(display, error->error_code, name, sizeof name);
  snprintf(text, size, "X error: %s, request %d.%d, resource 0x%lx", name, error->request_code,
           error->minor_code, error->resourceid);
}

int ErrorHandler(Display *display, XErrorEvent *error) {
  // Once another client has destroyed the window we show, every request on
  // it fails, and such an error may be read before the DestroyNotify is.
  // Either way the window is gone, which ends the program as the event
  // does: status 1, and no error text for it.
  if ((error->error_code == BadWindow || error->error_code == BadDrawable) &&
      scr_external_window_id != 0 && error->resourceid == scr_external_window_id)
    exit(1);
  if (watching && display == watch_display && error->serial >= watch_from) {
    if (!have_error) {
      first_error = *error;
      have_error = true;
    }
    return 0;
  }
  // Not one of ours: told, and the program goes on.
  char text[256];
  Describe(display, error, text, sizeof text);
  CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, text);
  return 0;
}

int IOErrorHandler(Display *display) {
  char text[256];
  snprintf(text, sizeof text, "Lost the connection to the X display %s", DisplayString(display));
  CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, text);
  exit(1);
}

void WriteWord(uint8_t *dst, uint32_t value, int bytes, int byte_order) {
  for (int i = 0; i < bytes; ++i) {
    int shift = byte_order == MSBFirst ? 8 * (bytes - 1 - i) : 8 * i;
    dst[i] = static_cast<uint8_t>(value >> shift);
  }
}

// The byte of a four-byte pixel, counted from the most significant, that a
// whole-byte channel mask selects; -1 for any other mask.
int BytePosition(unsigned long mask) {
  switch (mask) {
    case 0xFF0000:
      return 1;
    case 0x00FF00:
      return 2;
    case 0x0000FF:
      return 3;
    default:
      return -1;
  }
}

}  // namespace

void ScrDrvXTrapErrors(void) {
  if (trap_count++ > 0) return;
  old_error_handler = XSetErrorHandler(ErrorHandler);
  old_io_error_handler = XSetIOErrorHandler(IOErrorHandler);
}

void ScrDrvXReleaseErrors(void) {
  if (trap_count == 0 || --trap_count > 0) return;
  XSetErrorHandler(old_error_handler);
  XSetIOErrorHandler(old_io_error_handler);
}

void ScrDrvXWatch(Display *display) {
  watching = true;
  watch_display = display;
  watch_from = NextRequest(display);
  have_error = false;
}

bool ScrDrvXFailed(Display *display, char *text, size_t size) {
  XSync(display, False);
  watching = false;
  if (!have_error) return false;
  have_error = false;
  Describe(display, &first_error, text, size);
  return true;
}

void ScrDrvXChannel(unsigned long mask, int *shift, int *width) {
  *shift = 0;
  *width = 0;
  if (mask == 0) return;
  while (!((mask >> *shift) & 1)) ++*shift;
  int top = *shift;
  for (int bit = *shift; bit < static_cast<int>(8 * sizeof mask); ++bit)
    if ((mask >> bit) & 1) top = bit;
  *width = top - *shift + 1;
}

int ScrDrvXWideChannel(const ScrDrvXFormatTp *format, int *width) {
  for (int c = 0; c < 3; ++c) {
    int shift;
    ScrDrvXChannel(format->masks[c], &shift, width);
    if (*width > 8) return c;
  }
  return -1;
}

size_t ScrDrvXLineBytes(const ScrDrvXFormatTp *format, int32_t width) {
  if (width <= 0) return 0;
  if (format->bits_per_pixel == 1) return (static_cast<size_t>(width) + 7) / 8;
  return static_cast<size_t>(width) * static_cast<size_t>(format->bits_per_pixel / 8);
}

void ScrDrvXPackLine(const ScrDrvXFormatTp *f, const uint8_t *src, uint8_t *dst, int32_t width) {
  const int bpp = f->bits_per_pixel;
  const int bytes = bpp / 8;
  if (bpp == 1) {
    memset(dst, 0, ScrDrvXLineBytes(f, width));
    for (int32_t x = 0; x < width; ++x)
      if (src[x]) dst[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
    return;
  }
  if (f->indexed) {
    if (bytes == 1) {
      memcpy(dst, src, static_cast<size_t>(width));
      return;
    }
    for (int32_t x = 0; x < width; ++x) WriteWord(dst + x * bytes, src[x], bytes, f->byte_order);
    return;
  }

  if (bytes >= 3) {
    // Whole-byte channels: each colour byte moves to its place.
    int pos[3] = {BytePosition(f->masks[0]), BytePosition(f->masks[1]), BytePosition(f->masks[2])};
    if (pos[0] > 0 && pos[1] > 0 && pos[2] > 0 && pos[0] != pos[1] && pos[1] != pos[2] &&
        pos[0] != pos[2]) {
      if (f->byte_order == LSBFirst)
        for (int &p : pos) p = 3 - p;
      int rest = 6 - pos[0] - pos[1] - pos[2];
      if (bytes == 4 && pos[0] == 1 && pos[1] == 2 && pos[2] == 3) {
        memcpy(dst, src, static_cast<size_t>(width) * 4);
        return;
      }
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
      if (bytes == 4 && pos[0] == 2 && pos[1] == 1 && pos[2] == 0) {
        // The usual TrueColor screen: the pixel's bytes reversed, the
        // fourth 255, a word at a time.
        for (int32_t x = 0; x < width; ++x) {
          uint32_t v;
          memcpy(&v, src + 4 * x, 4);
          v = __builtin_bswap32(v) | 0xFF000000u;
          memcpy(dst + 4 * x, &v, 4);
        }
        return;
      }
#endif
      for (int32_t x = 0; x < width; ++x) {
        const uint8_t *in = src + 4 * x;
        uint8_t out[4];
        out[pos[0]] = in[1];
        out[pos[1]] = in[2];
        out[pos[2]] = in[3];
        out[rest] = 255;
        if (bytes == 4) {
          memcpy(dst + 4 * x, out, 4);
        } else {
          // The unused byte is at one end of the four; the other three
          // follow each other.
          memcpy(dst + 3 * x, rest == 0 ? out + 1 : out, 3);
        }
      }
      return;
    }
  }

  int shift[3], bits[3];
  for (int c = 0; c < 3; ++c) ScrDrvXChannel(f->masks[c], &shift[c], &bits[c]);
  for (int32_t x = 0; x < width; ++x) {
    const uint8_t *in = src + 4 * x;
    uint32_t value = 0;
    for (int c = 0; c < 3; ++c) {
      if (bits[c] == 0 || bits[c] > 8) continue;
      value |= static_cast<uint32_t>((in[c + 1] >> (8 - bits[c])) << shift[c]) &
               static_cast<uint32_t>(f->masks[c]);
    }
    WriteWord(dst + x * bytes, value, bytes, f->byte_order);
  }
}

void ScrDrvXAttribute(const XVisualInfo *v, int width, int height, ScrResAttributeTp *a) {
  *a = ScrResAttributeTp{};
  a->width = width;
  a->height = height;
  a->ratio = height > 0 ? static_cast<float>(width) / static_cast<float>(height) : 0.0f;
  a->cmap_entries = v->colormap_size;
  a->max_colors = v->colormap_size;
  a->bits_per_color = 8;
  a->format = 0;
  a->depth = v->depth;
  a->rgb_supported = 1;
  a->bw_supported = 0;
  a->writable_cmap = 0;
  a->technicolor = 0;
  a->fast = 1;
  a->rgb_all_same = 1;
  a->driver_defined = static_cast<int32_t>(v->visualid);
  a->display_class = v->c_class;
  switch (v->c_class) {
    case GrayScale:
      a->writable_cmap = 1;
      a->technicolor = 1;
      break;
    case PseudoColor:
      a->rgb_all_same = 0;
      a->writable_cmap = 1;
      a->technicolor = 1;
      break;
    case TrueColor:
      a->rgb_all_same = 0;
      a->fast = 0;
      if (v->depth > 8) a->cmap_entries = 0;
      break;
    case DirectColor:
      a->rgb_all_same = 0;
      if (v->depth > 8) a->cmap_entries = 0;
      break;
    default:
      break;
  }
}

bool ScrDrvXFreeCells(Display *display, Colormap colormap, int size,
                      std::vector<unsigned long> *free_cells) {
  free_cells->clear();
  if (size < 1) return true;
  std::vector<unsigned long> pixels;
  try {
    pixels.resize(static_cast<size_t>(size));
    free_cells->reserve(static_cast<size_t>(size));
  } catch (const std::bad_alloc &) {
    return false;
  }
  // A refused allocation comes back as a status, not as an X error.
  int n = size, step = size / 2, best = 0;
  for (;;) {
    bool ok = n >= 1 && n <= size &&
              XAllocColorCells(display, colormap, False, nullptr, 0, pixels.data(),
                               static_cast<unsigned>(n)) != 0;
    if (ok) {
      if (n > best) {
        best = n;
        free_cells->assign(pixels.begin(), pixels.begin() + n);
      }
      XFreeColors(display, colormap, pixels.data(), n, 0);
    }
    if (step == 0) break;
    n += ok ? step : -step;
    step /= 2;
  }
  return true;
}

double ScrDrvXGamma(void) {
  const char *text = getenv("VIEW_GAMMA");
  if (!text) return 1.0;
  double gamma = strtod(text, nullptr);
  // A gamma of zero or below has no meaning; such values are taken as 1.
  if (!(gamma > 0.0) || !std::isfinite(gamma)) return 1.0;
  return gamma;
}

unsigned short ScrDrvXGammaLevel(int value, double gamma) {
  if (value < 0) value = 0;
  if (value > 255) value = 255;
  double level = gamma == 1.0 ? value : 255.0 * std::pow(value / 255.0, 1.0 / gamma);
  // The small addition keeps values that are whole numbers in exact
  // arithmetic from dropping one step below.
  level += 1e-9;
  int whole = level >= 255.0 ? 255 : static_cast<int>(level);
  return static_cast<unsigned short>(whole * 257);
}
