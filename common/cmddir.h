// The resolution of a path into an absolute directory and file name.
#ifndef PV_COMMON_CMDDIR_H
#define PV_COMMON_CMDDIR_H

#define CMD_PATH_MAX 4096

// Splits path into its absolute directory (ending in "/") and full file
// name; each result holds CMD_PATH_MAX bytes. A path that names nothing
// existing fails. 0 on success, 1 on failure.
int CmdResolvePath(const char *path, char *directory, char *file);

#endif
