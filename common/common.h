// What the other layers may call in the common layer.
#ifndef PV_COMMON_COMMON_H
#define PV_COMMON_COMMON_H

#include "cmddir.h"
#include "cmdopt.h"
#include "cmdtmp.h"
#include "cmnerror.h"
#include "cmnprgx.h"

// Process-wide values shared across the layers. The viewer sets them at
// start-up; the file interface, the filters and the screen driver read them.
extern int graphics_resolution;     // dots per inch for rasterising vector input
extern int graphics_size;           // longer side in pixels of that raster
extern int rasterized;              // set when a filter turned the input into a raster
extern unsigned long parentWindow;  // X window to show the image in; 0 for a top-level window
extern int xoffset, yoffset;        // position of the image window in the parent

// Graphics size rounding: the size in pixels of the raster that vector
// input is rasterised into.
int32_t CmnGraphicsSize(int32_t a, int32_t b);

// A heap copy of text in single quotes, safe to put on a /bin/sh command
// line: no character of it can end the word or start a command.
char *CmnShellQuote(const char *text);

// The system directory installed with the running program
// (<prefix>/share/pvview beside <prefix>/bin), or null when the program
// does not run from an installed tree or that directory is missing or
// unreadable. Found once per process.
const char *CmnInstalledSysdir();

// When SYSDIR is not set, sets it to the installed system directory so
// that the filters and child processes find it too; returns the directory
// so set, or null when SYSDIR was set already or there is none.
const char *CmnDefaultSysdirToEnv();

#endif
