// pvview's event loop: waits for the user once the picture is in the
// window, redraws what is exposed, and lets the user drag a crop box over
// the picture. The box is drawn with exclusive-or, so drawing it a second
// time removes it and the picture underneath never has to be redrawn.
#include "pvloop.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "common.h"
#include "pvexplore.h"

namespace {

// Cursor-font shapes.
enum PvCursor { kCrosshair = 34, kHorizontal = 108, kVertical = 116, kCorner = 40, kInside = 52 };

// Box modes: what a drag moves.
enum { kNoBox = 0, kMoveX = 1, kMoveY = 2, kMoveCorner = 3, kMoveBox = 4 };

struct LoopTp {
  Display *display = nullptr;
  Window window = 0;
  SCR_CONTROL_BLOCK *screen = nullptr;
  int width = 0, height = 0;
  Cursor cursors[5] = {};  // crosshair, horizontal, vertical, corner, inside
  int shape = kCrosshair;  // of the cursor now shown
  GC gc = nullptr;
  unsigned long base = 0;
  unsigned long dash_back = 2, dash_fore = 5;
  int x0 = -1, y0 = -1, x1 = -1, y1 = -1;
  int grab_x = 0, grab_y = 0;
  int mode = kNoBox;
  PvExploreTp *explore = nullptr;
};

Cursor CursorFor(const LoopTp &l, int shape) {
  switch (shape) {
    case kHorizontal:
      return l.cursors[1];
    case kVertical:
      return l.cursors[2];
    case kCorner:
      return l.cursors[3];
    case kInside:
      return l.cursors[4];
    default:
      return l.cursors[0];
  }
}

void SetCursor(LoopTp *l, int shape) {
  if (shape == l->shape) return;
  l->shape = shape;
  XDefineCursor(l->display, l->window, CursorFor(*l, shape));
}

void DrawBox(const LoopTp &l) {
  if (l.mode == kNoBox || !l.gc) return;
  const int left = std::min(l.x0, l.x1), right = std::max(l.x0, l.x1);
  const int top = std::min(l.y0, l.y1), bottom = std::max(l.y0, l.y1);
  XDrawRectangle(l.display, l.window, l.gc, left, top, static_cast<unsigned>(right - left),
                 static_cast<unsigned>(bottom - top));
}

// The cursor shape for a pointer at (x, y): what a drag starting there
// would move.
int ShapeAt(const LoopTp &l, int x, int y) {
  if (l.mode == kNoBox) return kCrosshair;
  const int left = std::min(l.x0, l.x1), right = std::max(l.x0, l.x1);
  const int top = std::min(l.y0, l.y1), bottom = std::max(l.y0, l.y1);
  if (x < left - 3 || x > right + 3 || y < top - 3 || y > bottom + 3) return kCrosshair;
  if (x > left + 3 && x < right - 3 && y > top + 3 && y < bottom - 3) return kInside;
  const bool on_x = std::abs(x - left) <= 3 || std::abs(x - right) <= 3;
  const bool on_y = std::abs(y - top) <= 3 || std::abs(y - bottom) <= 3;
  if (on_x && on_y) return kCorner;
  return on_x ? kHorizontal : kVertical;
}

void Pointer(const LoopTp &l, int *x, int *y) {
  Window root, child;
  int root_x, root_y;
  unsigned int buttons;
  if (!XQueryPointer(l.display, l.window, &root, &child, &root_x, &root_y, x, y, &buttons))
    *x = *y = 0;
  *x = std::clamp(*x, 0, l.width);
  *y = std::clamp(*y, 0, l.height);
}

void MakeGC(LoopTp *l) {
  if (l->gc) return;
  l->base = l->screen->display_class == SCR_CLASS_PSEUDOCOLOR ? 0 : 0xFFFF00;
  XGCValues v;
  v.function = GXxor;
  v.plane_mask = AllPlanes;
  v.background = l->base | l->dash_back;
  v.foreground = l->base | l->dash_fore;
  v.line_width = 0;
  v.line_style = LineDoubleDash;
  v.cap_style = CapButt;
  v.join_style = JoinRound;
  v.subwindow_mode = IncludeInferiors;
  l->gc = XCreateGC(l->display, l->window,
                    GCFunction | GCPlaneMask | GCBackground | GCForeground | GCLineWidth |
                        GCLineStyle | GCCapStyle | GCJoinStyle | GCSubwindowMode,
                    &v);
}

// The dash colours run through the palette while the box moves, so that
// it stays visible over any picture.
void NextDashColors(LoopTp *l) {
  l->dash_back = (l->dash_back + 31) % 256;
  if (l->dash_back == 0) l->dash_back = 1;
  l->dash_fore = (l->dash_fore + 3) % 16;
  if (l->dash_fore == 0) l->dash_fore = 1;
  XSetBackground(l->display, l->gc, l->base | l->dash_back);
  XSetForeground(l->display, l->gc, l->base | l->dash_fore);
}

void DragBox(LoopTp *l) {
  MakeGC(l);
  int px, py;
  Pointer(*l, &px, &py);
  bool started = false;
  int shape = kCorner;
  if (l->mode != kNoBox) {
    DrawBox(*l);
    shape = ShapeAt(*l, px, py);
    if (shape != kCrosshair) {
      // The edge nearer to the pointer is the one that moves.
      if (std::abs(px - l->x0) < std::abs(px - l->x1)) std::swap(l->x0, l->x1);
      if (std::abs(py - l->y0) < std::abs(py - l->y1)) std::swap(l->y0, l->y1);
      started = true;
      if (shape == kHorizontal) {
        l->mode = kMoveX;
        l->x1 = px;
      } else if (shape == kVertical) {
        l->mode = kMoveY;
        l->y1 = py;
      } else if (shape == kCorner) {
        l->mode = kMoveCorner;
        l->x1 = px;
        l->y1 = py;
      } else {
        l->mode = kMoveBox;
        l->grab_x = px;
        l->grab_y = py;
      }
    }
  }
  if (!started) {
    shape = kCorner;
    l->x0 = l->x1 = px;
    l->y0 = l->y1 = py;
    l->mode = kMoveCorner;
  }
  DrawBox(*l);

  const unsigned int grab_mask =
      ButtonPressMask | ButtonReleaseMask | EnterWindowMask | LeaveWindowMask | PointerMotionMask;
  for (int tries = 0; tries < 20; ++tries) {
    if (XGrabPointer(l->display, l->window, False, grab_mask, GrabModeAsync, GrabModeAsync,
                     l->window, CursorFor(*l, shape), CurrentTime) == GrabSuccess)
      break;
    XSync(l->display, False);
  }

  bool done = false;
  while (!done) {
    XEvent e;
    XWindowEvent(l->display, l->window,
                 ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask |
                     StructureNotifyMask,
                 &e);
    switch (e.type) {
      case MotionNotify: {
        DrawBox(*l);
        NextDashColors(l);
        Pointer(*l, &px, &py);
        if (l->mode == kMoveX || l->mode == kMoveCorner) l->x1 = px;
        if (l->mode == kMoveY || l->mode == kMoveCorner) l->y1 = py;
        if (l->mode == kMoveBox) {
          const int left = std::min(l->x0, l->x1), right = std::max(l->x0, l->x1);
          const int top = std::min(l->y0, l->y1), bottom = std::max(l->y0, l->y1);
          const int dx = std::clamp(px - l->grab_x, -left, l->width - 1 - right);
          const int dy = std::clamp(py - l->grab_y, -top, l->height - 1 - bottom);
          l->x0 += dx;
          l->x1 += dx;
          l->y0 += dy;
          l->y1 += dy;
          l->grab_x += dx;
          l->grab_y += dy;
        }
        DrawBox(*l);
        break;
      }
      case KeyPress:
        // A key cancels the box being dragged.
        DrawBox(*l);
        l->mode = kNoBox;
        l->x0 = l->y0 = l->x1 = l->y1 = -1;
        XUngrabPointer(l->display, CurrentTime);
        return;
      case DestroyNotify:
        if (e.xdestroywindow.window == l->window) exit(1);
        break;
      case ButtonPress:
      case ButtonRelease:
        done = true;
        break;
      default:
        break;
    }
  }
  // A click without a drag leaves no box; a dragged box stays as drawn.
  if (std::abs(l->x1 - l->x0) <= 1 && std::abs(l->y1 - l->y0) <= 1) {
    DrawBox(*l);
    l->mode = kNoBox;
    l->x0 = l->y0 = l->x1 = l->y1 = -1;
  }
  XUngrabPointer(l->display, CurrentTime);
}

// After a drag: corners in order and inside the picture, the cursor for
// where the pointer now is. The box is drawn again only where it moved, so
// that it never leaves the window for a moment.
void SettleBox(LoopTp *l) {
  if (l->mode != kNoBox) {
    if (l->x0 > l->x1) std::swap(l->x0, l->x1);
    if (l->y0 > l->y1) std::swap(l->y0, l->y1);
    const int x0 = std::clamp(l->x0, 0, l->width), x1 = std::clamp(l->x1, 0, l->width);
    const int y0 = std::clamp(l->y0, 0, l->height), y1 = std::clamp(l->y1, 0, l->height);
    if (x0 != l->x0 || x1 != l->x1 || y0 != l->y0 || y1 != l->y1) {
      DrawBox(*l);
      l->x0 = x0, l->x1 = x1, l->y0 = y0, l->y1 = y1;
      DrawBox(*l);
    }
  }
  int px, py;
  Pointer(*l, &px, &py);
  SetCursor(l, ShapeAt(*l, px, py));

  // Exploring, the title shows the part of the page under the box.
  if (l->explore) {
    PvExploreCropBox(l->explore, l->mode != kNoBox, l->x0, l->y0, l->x1, l->y1);
    return;
  }
  // The description of the box; nothing shows it yet.
  char *text = nullptr;
  if (l->mode != kNoBox)
    CmnStrPrintf(&text, "Crop: %dx%d+%d+%d (%d,%d)", l->x1 - l->x0 + 1, l->y1 - l->y0 + 1, l->x0,
                 l->y0, l->width, l->height);
  else
    CmnStrPrintf(&text, "Crop: Off");
  CmnStrFree(&text);
}

void FreeLoop(LoopTp *l) {
  if (l->gc) XFreeGC(l->display, l->gc);
  for (Cursor c : l->cursors)
    if (c) XFreeCursor(l->display, c);
}

// The next event; false once the deadline (0: none) has passed first.
bool NextEvent(Display *display, XEvent *e, std::chrono::steady_clock::time_point deadline,
               bool timed) {
  while (timed && !XPending(display)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    pollfd p{ConnectionNumber(display), POLLIN, 0};
    poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
  }
  XNextEvent(display, e);
  return true;
}

// Draws the view the explore mode waits to show, once no event is
// queued, with the crop box taken off and put back around it.
ReturnTp DrawExplored(LoopTp *l) {
  if (!l->explore || !PvExplorePending(l->explore) || XPending(l->display)) return 0;
  DrawBox(*l);
  ReturnTp rc = PvExploreDraw(l->explore);
  DrawBox(*l);
  if (l->mode != kNoBox) PvExploreCropBox(l->explore, true, l->x0, l->y0, l->x1, l->y1);
  return rc;
}

}  // namespace

void ScrSelectLoopInput(Display *display, bool may_crop, bool explore) {
  long mask = KeyPressMask | EnterWindowMask | LeaveWindowMask | ExposureMask |
              StructureNotifyMask | ColormapChangeMask;
  if (may_crop) mask |= ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
  if (explore) mask |= ButtonPressMask | ButtonReleaseMask | ButtonMotionMask;
  XSelectInput(display, scr_external_window_id, mask);
}

ReturnTp ScrEventLoop(SCR_CONTROL_BLOCK *screen, Display *display, bool may_crop,
                      PvExploreTp *explore, int32_t timer) {
  LoopTp l;
  l.explore = explore;
  l.display = display;
  l.window = scr_external_window_id;
  l.screen = screen;
  l.width = screen->width;
  l.height = screen->height;
  const unsigned int shapes[] = {kCrosshair, kHorizontal, kVertical, kCorner, kInside};
  for (int i = 0; i < 5; ++i) l.cursors[i] = XCreateFontCursor(display, shapes[i]);
  l.shape = -1;

  ScrSelectLoopInput(display, may_crop, explore != nullptr);
  if (ReturnTp rc = ScrFlush(screen, 0, 0, l.width, l.height)) {
    FreeLoop(&l);
    return rc;
  }

  const Atom delete_window = XInternAtom(display, "WM_DELETE_WINDOW", False);
  const bool timed = explore && timer > 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timer);
  ReturnTp result = 0;
  for (bool running = true; running;) {
    if ((result = DrawExplored(&l))) break;
    XEvent e;
    if (!NextEvent(display, &e, deadline, timed)) break;
    switch (e.type) {
      case KeyPress: {
        if (explore && PvExploreKey(explore, &e.xkey)) break;
        const KeySym key = XLookupKeysym(&e.xkey, 0);
        if (key != XK_q && (key & 0xFF) != 27 && key != XK_space) break;
        if (l.mode == kNoBox) {
          running = false;
        } else {
          // The first press only takes the box away.
          DrawBox(l);
          l.mode = kNoBox;
          l.x0 = l.y0 = l.x1 = l.y1 = -1;
          if (explore) PvExploreCropBox(explore, false, 0, 0, 0, 0);
        }
        break;
      }
      case ButtonPress:
        if (explore && PvExploreButton(explore, &e.xbutton, may_crop)) break;
        if (!may_crop) break;
        DragBox(&l);
        SettleBox(&l);
        break;
      case ButtonRelease:
        if (explore) PvExploreButton(explore, &e.xbutton, may_crop);
        break;
      case MotionNotify:
        if (explore && PvExploreMotion(explore, &e.xmotion)) break;
        if (may_crop) SetCursor(&l, ShapeAt(l, e.xmotion.x, e.xmotion.y));
        break;
      case ConfigureNotify:
        if (!explore) break;
        // The window manager gave the window a new size.
        l.width = e.xconfigure.width;
        l.height = e.xconfigure.height;
        PvExploreResized(explore, e.xconfigure.width, e.xconfigure.height);
        break;
      case GraphicsExpose:
        // Hidden parts of the window that a move could not copy.
        if (ReturnTp rc = ScrFlush(screen, e.xgraphicsexpose.x, e.xgraphicsexpose.y,
                                   e.xgraphicsexpose.width, e.xgraphicsexpose.height)) {
          result = rc;
          running = false;
        }
        break;
      case EnterNotify:
        if (e.xcrossing.x < 0 || e.xcrossing.y < 0 || e.xcrossing.x >= l.width ||
            e.xcrossing.y >= l.height)
          break;
        ScrInstallColorMap(screen);
        {
          XWindowAttributes attributes;
          if (XGetWindowAttributes(display, l.window, &attributes) && attributes.colormap)
            XInstallColormap(display, attributes.colormap);
        }
        if (may_crop) SetCursor(&l, kCrosshair);
        break;
      case Expose: {
        // The picture comes back in the exposed area, and the box with it
        // there only: elsewhere it stays on screen throughout.
        if (ReturnTp rc =
                ScrFlush(screen, e.xexpose.x, e.xexpose.y, e.xexpose.width, e.xexpose.height)) {
          result = rc;
          running = false;
          break;
        }
        if (l.mode != kNoBox && l.gc) {
          XRectangle area = {static_cast<short>(e.xexpose.x), static_cast<short>(e.xexpose.y),
                             static_cast<unsigned short>(e.xexpose.width),
                             static_cast<unsigned short>(e.xexpose.height)};
          XSetClipRectangles(display, l.gc, 0, 0, &area, 1, Unsorted);
          DrawBox(l);
          XSetClipMask(display, l.gc, None);
        }
        break;
      }
      case DestroyNotify:
        if (e.xdestroywindow.window == l.window) exit(1);
        break;
      case ClientMessage:
        if (static_cast<Atom>(e.xclient.data.l[0]) == delete_window) running = false;
        break;
      default:
        break;
    }
  }
  FreeLoop(&l);
  return result;
}
