// Path resolution: a path split into its absolute directory and file name.
#include "cmddir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common.h"

#define CMN_SOURCE "cmddir"

namespace {

bool Copy(const std::string &text, char *result) {
  if (text.size() >= CMD_PATH_MAX) return false;
  memcpy(result, text.c_str(), text.size() + 1);
  return true;
}

}  // namespace

int CmdResolvePath(const char *path, char *directory, char *file) {
  if (!path || !directory || !file) return 1;
  directory[0] = file[0] = '\0';
  char cwd_buffer[CMD_PATH_MAX];
  if (!getcwd(cwd_buffer, sizeof cwd_buffer)) return 1;
  std::string cwd = cwd_buffer;
  if (!*path) {
    Copy(cwd, directory);
    return 1;
  }

  std::string p = path;
  if (p == "./")
    p = ".";
  else if (p.compare(0, 2, "./") == 0)
    p.erase(0, 2);
  if (p[0] == '~') {
    const char *home = getenv("HOME");
    if (!home) {
      CmnError(CMN_SOURCE, __LINE__, CMD_E_TILDE);
      return 1;
    }
    const size_t slash = p.find('/');
    if (slash == std::string::npos) return 1;
    p = std::string(home) + p.substr(slash);
  }

  std::string dir, name;
  const size_t last = p.rfind('/');
  if (last == std::string::npos) {
    dir = cwd;
    name = p;
  } else {
    name = p.substr(last + 1);
    std::string part = p.substr(0, last);
    if (part.empty()) {
      dir = "/";
    } else if (part[0] == '/') {
      dir = part;
    } else {
      // Leading ".." components climb from the current directory.
      std::string base = cwd;
      while (part.compare(0, 2, "..") == 0 && (part.size() == 2 || part[2] == '/')) {
        const size_t up = base.rfind('/');
        if (up == std::string::npos || base.size() <= 1) return 1;
        base.erase(up);
        part.erase(0, part.size() > 2 ? 3 : 2);
      }
      if (part.empty())
        dir = base.empty() ? "/" : base;
      else if (part[0] == '/' || part.find(':') != std::string::npos)
        dir = part;
      else
        dir = base + "/" + part;
    }
  }
  if (name == ".") name.clear();

  std::string full = dir;
  if (dir != "/" && !name.empty()) full += "/";
  full += name;
  struct stat st;
  if (stat(full.c_str(), &st) != 0) return 1;
  if (S_ISDIR(st.st_mode))
    dir = name = full;
  else if (S_ISREG(st.st_mode))
    name = full;
  if (!dir.empty() && dir.back() != '/') dir += "/";
  if (!Copy(dir, directory) || !Copy(name, file)) return 1;
  return 0;
}
