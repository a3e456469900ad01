// The converter's run over many inputs: output names in one directory,
// file lists, worker processes, progress and the summary. The conversion
// of one file stays pvconvert's; this module only decides what is
// converted where, runs each file in a process of its own and reports.
#ifndef PV_TOOLS_PVBATCH_H
#define PV_TOOLS_PVBATCH_H

#include <functional>
#include <string>
#include <vector>

struct PvBatchTp {
  std::string destdir;
  std::string extension;  // with its dot: ".png"
  long jobs = 0;          // worker processes; 0 for the default
  bool skip_existing = false;
  // The page whose name -skipexisting looks at when every page goes to a
  // file of its own (PvBatchPageName); 0 when one file is written.
  int first_numbered_page = 0;
};

// Converts one input into `out` (in a worker process); counts the pages
// written in *pages as it goes; returns the exit status, 0 or 1.
using PvBatchConvertFn = std::function<int(const char *in, const char *out, volatile int *pages)>;

// True when the command line asks for a run into a directory (-destdir,
// or a prefix of it): only then do response files name inputs.
bool PvBatchRequested(const std::vector<std::string> &args);
// Replaces every "@file" argument that holds a list of inputs (its first
// line that is not blank does not begin with '-') by its names, one per
// line; lists of options are left to the option parser. False, with a
// message, when a file cannot be read.
bool PvBatchExpandLists(std::vector<std::string> *args);
// `out` with the page number before its extension: "a.png", 3 -> "a-3.png".
std::string PvBatchPageName(const std::string &out, int page);
// The whole run: checks, workers, progress, summary. Returns the exit
// status: 0 all converted (or skipped), 1 any failed, 2 a usage error.
// A stopping signal ends the workers, prints the summary and ends the
// program by that signal.
int PvBatchRun(const PvBatchTp &batch, const std::vector<std::string> &inputs,
               const PvBatchConvertFn &convert);

#endif
