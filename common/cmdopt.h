// Command-line option tables, typed queries, response files and the crop
// parsers. Every diagnostic here is fatal: it is printed through the info
// channel and the process exits with status 1.
#ifndef PV_COMMON_CMDOPT_H
#define PV_COMMON_CMDOPT_H

#include <cstdint>

// One value of a multi-value option; the nodes of all occurrences are
// chained in the order given.
typedef struct CmdValueNodeTp {
  struct CmdValueNodeTp *next;
  char *value;
} CmdValueNodeTp;

// One row of an option table. name "" marks a section header row (help is
// then its title); a null help hides the row from the listing. The table
// ends with a row whose name is null.
typedef struct {
  const char *name;
  int32_t nvalues;
  void *value;  // null, a heap text (nvalues 0 or 1) or a CmdValueNodeTp list
  const char *help;
} CmdOptionTp;

void CmdParseArgs(int argc, char **argv, CmdOptionTp *table, char ***files, int *nfiles);
void *CmdGetOpt(CmdOptionTp *table, const char *name);
int32_t CmdGetOptInt(CmdOptionTp *table, const char *name, int32_t dflt);
// CmdGetOptInt for a value that must lie in low..high; one outside is
// reported with the parser's message and ends the program (1).
int32_t CmdGetOptIntRange(CmdOptionTp *table, const char *name, int32_t dflt, int32_t low,
                          int32_t high);
double CmdGetOptDouble(CmdOptionTp *table, const char *name, double dflt);
// The allowed words follow the name and end with a null pointer.
int CmdGetOptIndex(CmdOptionTp *table, const char *name, ...);
const char *CmdGetOptChoice(CmdOptionTp *table, const char *name, ...);
// The 0-based position of the chosen word, -1 when the option was not
// given; a bad or ambiguous value is reported and ends the program (1).
int CmdGetOptPosition(CmdOptionTp *table, const char *name, ...);
void CmdPrintOptions(const CmdOptionTp *table);
void CmdFreeOpts(CmdOptionTp *table, char ***files);

// Lower case, underscores dropped, cut at the first blank. Returns a heap
// text owned by the caller.
char *CmdNormalizeName(const char *name);
// "$NAME" and backslash escapes; returns a heap text owned by the caller.
char *CmdExpandValue(const char *text);
// Splits a response-file text into words (quotes removed); returns a
// null-terminated array of heap texts and their number through nwords.
char **CmdSplitWords(const char *text, int *nwords);
void CmdFreeWords(char **words);

// An output size: "<w>", "<w>x<h>" or "x<h>", each a decimal integer of
// at least 1, nothing after it; a missing one is 0. Returns 0 when the
// text is not such a size.
int CmdParseSize(const char *text, int32_t *width, int32_t *height);

// width and height hold the input size on entry.
void CmdParseCrop(const char *text, int32_t *width, int32_t *height, int32_t *xoff, int32_t *yoff);
void CmdParseRelCrop(const char *text, double *width, double *height, double *xoff, double *yoff);

#endif
