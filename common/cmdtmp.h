// Temporary files in the temporary directory.
#ifndef PV_COMMON_CMDTMP_H
#define PV_COMMON_CMDTMP_H

#include <cstdio>

#include "cmddir.h"

// The absolute temporary directory, ending in "/": dir, else TMPDIR, else
// "/tmp". result holds CMD_PATH_MAX bytes. 0 on success, 1 otherwise.
int CmdTmpDir(const char *dir, char *result);
// Creates an empty file "pv_<user>_<tag>XXXXXX" (mode 0600) in the
// temporary directory; its malloc'ed name, or null.
char *CmdTmpName(const char *dir, const char *tag);
// Creates "<tmpdir>/<prefix>XXXXXX" and returns its open descriptor, or -1.
int CmdTmpFd(const char *dir, const char *prefix);
// An anonymous read-write stream: the file's name is gone at once.
FILE *CmdTmpFile(const char *dir, const char *prefix);

#endif
