// Temporary files and directories, and path resolution.
#include "cmdtmp.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common.h"

namespace {

#define CMN_SOURCE "cmdtmp"

bool Copy(const std::string &text, char *result) {
  if (text.size() >= CMD_PATH_MAX) return false;
  memcpy(result, text.c_str(), text.size() + 1);
  return true;
}

// Creates the file of a template ending in XXXXXX; the descriptor or -1.
int Create(std::string *name) {
  std::string buffer = *name;
  const int fd = mkstemp(&buffer[0]);
  if (fd >= 0) *name = buffer;
  return fd;
}

std::string TemplateFor(const char *dir, const char *prefix) {
  char tmpdir[CMD_PATH_MAX];
  std::string name;
  if (CmdTmpDir(dir, tmpdir) != 0) return name;
  name = tmpdir;
  if (prefix) name += prefix;
  name += "XXXXXX";
  return name;
}

}  // namespace

int CmdTmpDir(const char *dir, char *result) {
  if (!result) return 1;
  if (!dir || !*dir) dir = getenv("TMPDIR");
  if (!dir || !*dir) dir = "/tmp";
  char file[CMD_PATH_MAX];
  char resolved[CMD_PATH_MAX];
  if (CmdResolvePath(dir, resolved, file) != 0 || !*resolved) return 1;
  strcpy(result, resolved);
  return 0;
}

char *CmdTmpName(const char *dir, const char *tag) {
  char user[256] = "unknown";
  if (const struct passwd *pw = getpwuid(geteuid()); pw && pw->pw_name && *pw->pw_name)
    snprintf(user, sizeof user, "%s", pw->pw_name);
  const std::string stem = std::string("pv_") + user + "_" + (tag ? tag : "");
  std::string name = TemplateFor(dir, stem.c_str());
  if (name.empty() || name.size() >= CMD_PATH_MAX) return nullptr;
  const int fd = Create(&name);
  if (fd < 0) return nullptr;
  close(fd);
  return strdup(name.c_str());
}

int CmdTmpFd(const char *dir, const char *prefix) {
  std::string name = TemplateFor(dir, prefix);
  const int fd = name.empty() ? -1 : Create(&name);
  if (fd < 0) {
    // The text must outlive CmnError: a handler may format it later.
    static std::string text;
    if (name.empty()) name = std::string(dir ? dir : "") + "/" + (prefix ? prefix : "") + "XXXXXX";
    text = "Invalid template: " + name;
    CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, text.c_str());
  }
  return fd;
}

FILE *CmdTmpFile(const char *dir, const char *prefix) {
  std::string name = TemplateFor(dir, prefix);
  const int fd = name.empty() ? -1 : Create(&name);
  if (fd < 0) return nullptr;
  FILE *stream = fdopen(dup(fd), "w+");
  unlink(name.c_str());
  close(fd);
  return stream;
}

// ---------------------------------------------------------------------------
// Path resolution.

#undef CMN_SOURCE
#define CMN_SOURCE "cmddir"

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
