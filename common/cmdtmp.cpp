// Temporary files and directories.
#include "cmdtmp.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common.h"

namespace {

#define CMN_SOURCE "cmdtmp"

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
