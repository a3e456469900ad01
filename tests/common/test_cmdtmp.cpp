// Temporary files and path resolution.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "common.h"
#include "runprog.h"

namespace {

class TmpFiles : public testing::Test {
 protected:
  void SetUp() override {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    cwd_ = cwd;
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    mkdir("sub", 0700);
    WriteFile(dir_.file("sub/f"), "x");
    home_ = getenv("HOME") ? getenv("HOME") : "";
  }
  void TearDown() override {
    EXPECT_EQ(chdir(cwd_.c_str()), 0);
    setenv("HOME", home_.c_str(), 1);
    unsetenv("TMPDIR");
  }
  TempDir dir_;
  std::string cwd_, home_;
};

TEST_F(TmpFiles, ResolvePath) {
  const std::string d = dir_.path();
  setenv("HOME", (d + "/sub").c_str(), 1);
  const struct {
    std::string path;
    int rc;
    std::string dir, file;
  } cases[] = {
      {"sub/f", 0, d + "/sub/", d + "/sub/f"},
      {"./sub/f", 0, d + "/sub/", d + "/sub/f"},
      {"sub", 0, d + "/sub/", d + "/sub"},
      {"~/f", 0, d + "/sub/", d + "/sub/f"},
      {"../" + d.substr(d.rfind('/') + 1) + "/sub/f", 0, d + "/sub/", d + "/sub/f"},
      {d + "/sub/f", 0, d + "/sub/", d + "/sub/f"},
      {"/", 0, "/", "/"},
      {"sub/missing", 1, "", ""},
      {"~", 1, "", ""},
  };
  for (const auto &c : cases) {
    char dir[CMD_PATH_MAX], file[CMD_PATH_MAX];
    EXPECT_EQ(CmdResolvePath(c.path.c_str(), dir, file), c.rc) << c.path;
    if (c.rc == 0) {
      EXPECT_EQ(dir, c.dir) << c.path;
      EXPECT_EQ(file, c.file) << c.path;
    }
  }
  unsetenv("HOME");
  char dir[CMD_PATH_MAX], file[CMD_PATH_MAX];
  EXPECT_EQ(CmdResolvePath("~/f", dir, file), 1);  // raised: no home to put in
}

TEST_F(TmpFiles, TemporaryFilesAreNewAndPrivate) {
  setenv("TMPDIR", "sub", 1);
  char tmp[CMD_PATH_MAX];
  ASSERT_EQ(CmdTmpDir(nullptr, tmp), 0);
  EXPECT_EQ(tmp, dir_.path() + "/sub/");

  const passwd *pw = getpwuid(geteuid());
  char *name = CmdTmpName(nullptr, "flt");
  ASSERT_NE(name, nullptr);
  const std::string stem = dir_.path() + "/sub/pv_" + (pw ? pw->pw_name : "unknown") + "_flt";
  EXPECT_EQ(std::string(name).substr(0, stem.size()), stem);
  EXPECT_EQ(strlen(name), stem.size() + 6);
  struct stat st;
  ASSERT_EQ(stat(name, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 0);
  char *other = CmdTmpName(nullptr, "flt");
  EXPECT_STRNE(name, other);
  unlink(name);
  unlink(other);
  free(name);
  free(other);

  FILE *anonymous = CmdTmpFile(nullptr, "anon");
  ASSERT_NE(anonymous, nullptr);
  fputs("data", anonymous);
  rewind(anonymous);
  char back[8] = {};
  EXPECT_EQ(fread(back, 1, 4, anonymous), 4u);
  EXPECT_STREQ(back, "data");
  fclose(anonymous);
  EXPECT_EQ(RunProgram({"sh", "-c", "ls " + dir_.path() + "/sub | wc -l"}).out, "1\n");

  EXPECT_EQ(CmdTmpFd("/nonexistent/dir", "x"), -1);
}

}  // namespace
