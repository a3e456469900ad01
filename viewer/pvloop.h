// The viewer's wait for the user once the picture is shown.
#ifndef PV_VIEWER_PVLOOP_H
#define PV_VIEWER_PVLOOP_H

#include <X11/Xlib.h>

#include "screen.h"

struct PvExploreTp;

// Handles the window's events until q, Escape or space is pressed with no
// crop box shown, or the window manager asks the window to close; returns
// 0 then, or the code of a failing redraw. A destroyed window ends the
// program with status 1. With may_crop the user can drag a box over the
// picture. With explore, the user moves about the picture (pvexplore.h),
// and a timer of that many seconds, when not 0, ends the loop as well.
// Selects the events the loop takes on the viewer's window. Called before
// a first picture is drawn, so that a click or key that comes as soon as
// it shows waits in the queue instead of being lost.
void ScrSelectLoopInput(Display *display, bool may_crop, bool explore);

ReturnTp ScrEventLoop(SCR_CONTROL_BLOCK *screen, Display *display, bool may_crop,
                      PvExploreTp *explore = nullptr, int32_t timer = 0);

#endif
