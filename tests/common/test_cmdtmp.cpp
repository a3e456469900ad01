// Temporary files and path resolution.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common.h"
#include "runprog.h"

namespace {

TEST(TmpFiles, ResolvePathAndPrivateFiles) {
  TempDir t;
  const std::string d = t.path(), base = d.substr(d.rfind('/') + 1);
  mkdir(t.file("sub").c_str(), 0700);
  WriteFile(t.file("sub/f"), "x");
  char cwd[CMD_PATH_MAX], dir[CMD_PATH_MAX], file[CMD_PATH_MAX];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd) && chdir(d.c_str()) == 0);
  setenv("HOME", t.file("sub").c_str(), 1);
  // Every spelling of sub/f; "/" alone; things that are not there.
  for (const std::string &path :
       std::vector<std::string>{"sub/f", "./sub/f", "~/f", "../" + base + "/sub/f", d + "/sub/f"}) {
    ASSERT_EQ(CmdResolvePath(path.c_str(), dir, file), 0) << path;
    EXPECT_EQ(dir, d + "/sub/") << path;
    EXPECT_EQ(file, d + "/sub/f") << path;
  }
  for (const char *bad : {"sub/missing", "~", ""}) EXPECT_EQ(CmdResolvePath(bad, dir, file), 1);
  unsetenv("HOME");
  EXPECT_EQ(CmdResolvePath("~/f", dir, file), 1);

  setenv("TMPDIR", "sub", 1);
  char *name = CmdTmpName(nullptr, "flt");
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(std::string(name).find(d + "/sub/pv_"), 0u) << name;
  EXPECT_EQ(std::string(name).find("_flt") + 10, strlen(name)) << name;
  unlink(name);
  free(name);
  FILE *anonymous = CmdTmpFile(nullptr, "anon");  // no name left behind
  EXPECT_EQ(RunProgram({"ls", t.file("sub")}).out, "f\n");
  fclose(anonymous);
  EXPECT_EQ(CmdTmpFd("/nonexistent/dir", "x"), -1);
  unsetenv("TMPDIR");
  EXPECT_EQ(chdir(cwd), 0);
}

}  // namespace
