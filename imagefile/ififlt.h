// External conversion filters: the filter description file of the system
// directory names, for inputs that no raster driver reads (page and vector
// formats, compressed files), shell commands that turn them into a raster
// the drivers read. The filter stage of IfiOpenRead runs them as a pipeline.
#ifndef PV_IMAGEFILE_IFIFLT_H
#define PV_IMAGEFILE_IFIFLT_H

#include <sys/types.h>

#include <cstdint>

#include "ifiio.h"

#define IFI_FILTER_SLOTS 64

// One line of the description file. A null tag ends the table.
typedef struct {
  char *tag;
  char *command;           // template, see IfiExpandFilterCommand
  char *description;       // "%s" stands for the description so far
  int32_t rasterized;      // the template holds %R or %S
  int32_t uses_file_name;  // %F
  int32_t scaled;          // %S: only used while graphics_size is set
  int32_t uses_angle;      // %A: the filter turns the picture itself
} IfiFilterTp;

extern IfiFilterTp filters[IFI_FILTER_SLOTS];
// Set by a host that shows PostScript itself: PostScript is not filtered.
extern int32_t passthru_ps;
// Page size in points for %W and %H.
extern int32_t graphics_width, graphics_height;

// Reads SYSDIR/filters (default /usr/local/plotvise/system) once per
// process. 0 when loaded, 1 when the file cannot be opened. A malformed
// line ends the process with status 1.
int IfiLoadFilters(void);
// Reads the table from path (tests, hosts with their own file): the same
// rules; any table loaded before is freed.
int IfiLoadFiltersFrom(const char *path);
// Adds one line of a description file to the table: 0 when added or
// ignored (comment, blank), 1 when the line has no description word, 2
// when the table is full.
int IfiAddFilterLine(const char *line);
// Frees the table; the next IfiLoadFilters reads the file again.
void IfiUnloadFilters(void);

// The first slot whose tag matches the input's first bytes, or -1. The
// slot's description is added to *description (a heap text or null).
int IfiFindFilter(const unsigned char *buffer, int32_t length, char **description);
// The slot's command with %A %R %L %S %W %H %F and $NAME replaced; file
// names and environment values are shell-quoted. *command is a heap text.
void IfiExpandFilterCommand(char **command, int slot, const char *file_name, int resolution,
                            int size, int width, int height, int angle);
// 1 when the program named by the command's first word can be run.
int IfiFilterProgramExists(const char *command);
// Runs "program 'file'" and appends its output to *text; the exit status.
int IfiRunTest(const char *program, const char *file, char **text);

// Ends every filter still running (and the stamp renderer, any child of
// IfiOpenPipe) with its process group, and removes the stage's temporary
// files. Safe in a signal handler: the programs call it before they end
// on a signal.
void IfiEndFilters(void);

// The filter stage (installed as IfiFilterStageFn).
ReturnTp IfiFilterStage(const IfiFilterClientTp *client, const char *name, int command_header,
                        IfiHandleTp *handle);

#endif
