// pvview's explore mode (-explore true): the user zooms into the picture,
// moves it about, turns pages and turns the page itself. Every view is
// drawn from the raster held in memory through the reading layer, never
// from the file; moving the view copies what stays in the window and
// draws only the strips that come into it.
#ifndef PV_VIEWER_PVEXPLORE_H
#define PV_VIEWER_PVEXPLORE_H

#include <X11/Xlib.h>

#include "image.h"
#include "screen.h"

struct PvExploreTp;

// What the viewer hands over once the window is open at the size of the
// fitted view.
typedef struct {
  Display *display;
  SCR_CONTROL_BLOCK *screen;
  ImgRaw *raw;               // the pages read so far; further ones are read into it
  ImgControlBlockTp *pages;  // the open file the further pages come from, or null
  int32_t page;              // shown first, from 1
  int32_t rotation, mirror;  // -rotate and -mirror, as the reading layer takes them
  int32_t fit_w, fit_h;      // the fitted view's size: the window's
  const char *name;          // leads the title
  bool stitch;               // the pages are shown as one picture
  // Sets the crop of a block over a page as the options ask.
  void (*crop)(ImgControlBlockTp *cb);
  const ImgColorOpsTp *color;
  // A block that holds the stamp and label settings (ImgCopyStampOptions);
  // the explore mode takes it over and prepares them in it.
  ImgControlBlockTp *decor;
  ImgScaleTp scale_method;
  int32_t colors;  // -colors: the view goes through a palette of this size
  bool nodither, stdcmap;
} PvExploreSetupTp;

// Draws the fitted view. The screen, the raster and the file stay the
// caller's; the decor block is the explore mode's from here on, even when
// the open fails (PvExploreClose frees it).
ReturnTp PvExploreOpen(const PvExploreSetupTp *setup, PvExploreTp **explore);
void PvExploreClose(PvExploreTp **explore);
// Writes the view shown as red, green, blue bytes; false when the file
// cannot be written (errno tells why).
bool PvExploreSave(PvExploreTp *explore, const char *name);

// The event loop's hands. Keys, buttons, motion and a new window size only
// say which view is wanted; PvExploreDraw draws it once no event waits, so
// that input faster than the drawing is taken together.
bool PvExploreKey(PvExploreTp *explore, XKeyEvent *event);  // true: one of ours
// The wheel zooms; the middle button, or button 1 when the crop box is
// off, drags the picture. True when the press is taken.
bool PvExploreButton(PvExploreTp *explore, const XButtonEvent *event, bool may_crop);
bool PvExploreMotion(PvExploreTp *explore, const XMotionEvent *event);  // true while dragging
void PvExploreResized(PvExploreTp *explore, int32_t width, int32_t height);
bool PvExplorePending(const PvExploreTp *explore);
ReturnTp PvExploreDraw(PvExploreTp *explore);
// The crop box, given in window pixels, is shown in the title as the part
// of the page it covers; shown false takes it away.
void PvExploreCropBox(PvExploreTp *explore, bool shown, int x0, int y0, int x1, int y1);

#endif
