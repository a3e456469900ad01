// Where an installed program finds the system directory it was shipped with.
//
// The relative path from the programs' directory to the system directory
// is compiled in (PV_INSTALL_SYSDIR_REL, from the install layout), and the
// running program's own location is the anchor, so the installed tree can
// be moved (a DESTDIR staging tree, another prefix) and still finds its
// files. A program run from the build tree has no such directory beside
// it, so there nothing changes: it still needs -sysdir or SYSDIR.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common.h"

#define CMN_SOURCE "cmninst"

#ifndef PV_INSTALL_SYSDIR_REL
#define PV_INSTALL_SYSDIR_REL "../share/pvview"
#endif

const char *CmnInstalledSysdir() {
  static std::string found;
  static bool searched = false;
  if (searched) return found.empty() ? nullptr : found.c_str();
  searched = true;

  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return nullptr;
  exe[n] = '\0';
  std::string dir(exe);
  const size_t slash = dir.rfind('/');
  if (slash == std::string::npos) return nullptr;
  dir.erase(slash + 1);
  dir += PV_INSTALL_SYSDIR_REL;

  char resolved[PATH_MAX];
  if (!realpath(dir.c_str(), resolved)) return nullptr;
  struct stat st;
  // A directory that is there but cannot be listed is as good as missing:
  // the caller then asks the user for one.
  if (stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode) || access(resolved, R_OK | X_OK) != 0)
    return nullptr;
  found = resolved;
  return found.c_str();
}

const char *CmnDefaultSysdirToEnv() {
  if (getenv("SYSDIR")) return nullptr;
  const char *dir = CmnInstalledSysdir();
  if (dir) setenv("SYSDIR", dir, 0);
  return dir;
}
