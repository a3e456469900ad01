// The installed programs: the tree `cmake --install` makes, the programs
// run from it without SYSDIR, the manual pages against the option tables,
// the desktop entry and the Debian package.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "runprog.h"
#include "xvfb.h"

namespace {

const char kPrefix[] = "/opt/pv view";  // a space must survive the shell and the programs

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class Installed : public testing::Test {
 protected:
  // One install for the whole suite, into a staging tree with a space in
  // both the staging directory and the prefix.
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    dest_ = dir_->file("dest dir");
    RunOptions o;
    o.set_env = {"DESTDIR=" + dest_};
    o.timeout_seconds = 120;
    install_ = RunProgram({"cmake", "--install", PV_BUILD_DIR, "--prefix", kPrefix}, o);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override { ASSERT_EQ(install_.status, 0) << install_.out << install_.err; }

  static std::string Root() { return dest_ + kPrefix; }
  static std::string Sample() { return Root() + "/share/pvview/samples/drawing.pbm"; }

  static RunResult RunInstalled(const std::string &program, std::vector<std::string> args,
                                std::vector<std::string> env = {}) {
    args.insert(args.begin(), Root() + "/bin/" + program);
    RunOptions o;
    o.set_env = env;
    o.unset_env = {"SYSDIR", "PVDEBUG", "PVVIEWDEBUG"};
    return RunProgram(args, o);
  }

  static TempDir *dir_;
  static std::string dest_;
  static RunResult install_;
};
TempDir *Installed::dir_ = nullptr;
std::string Installed::dest_;
RunResult Installed::install_;

TEST_F(Installed, TreeHoldsProgramsSystemDirectoryPagesAndEntry) {
  for (const char *path : {"/bin/pvview", "/bin/pvconvert", "/share/pvview/samples/drawing.pbm",
                           "/share/man/man1/pvview.1.gz", "/share/man/man1/pvconvert.1.gz",
                           "/share/applications/pvview.desktop", "/share/doc/pvview/copyright"})
    EXPECT_TRUE(Exists(Root() + path)) << path;
  EXPECT_EQ(access((Root() + "/bin/pvview").c_str(), X_OK), 0);
  // The generator of the sample is a development tool, not shipped.
  EXPECT_FALSE(Exists(Root() + "/share/pvview/samples/make-drawing.py"));
}

TEST_F(Installed, ProgramsFindTheirSystemDirectoryWithoutSysdir) {
  const RunResult info = RunInstalled("pvconvert", {"-info", Sample()});
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("Width: 1100"), std::string::npos) << info.out;

  XvfbServer server(24);
  ASSERT_TRUE(server.ok());
  const std::string saved = dir_->file("shown.rgb");
  const RunResult shown = RunInstalled("pvview", {"-timer", "1", "-save", saved, Sample()},
                                       {"DISPLAY=" + server.display()});
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(ReadFile(saved).size(), size_t(1100) * 850 * 3);
}

TEST_F(Installed, MissingSystemDirectoryAsksForOne) {
  const std::string sys = Root() + "/share/pvview", moved = sys + ".moved";
  ASSERT_EQ(rename(sys.c_str(), moved.c_str()), 0);
  const RunResult none = RunInstalled("pvview", {"-timer", "1", Sample()}, {"DISPLAY=:9999"});
  // SYSDIR still names a directory when the installed one is gone.
  const RunResult named =
      RunInstalled("pvview", {"-timer", "1", Sample()}, {"DISPLAY=:9999", "SYSDIR=" + moved});
  ASSERT_EQ(rename(moved.c_str(), sys.c_str()), 0);

  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err,
            "Error: Use the option '-sys <sysdir>' or set the SYSDIR variable\n"
            "to specify the path-name of the system directory\n");
  EXPECT_EQ(named.status, 1);
  EXPECT_NE(named.err.find("Cannot open display"), std::string::npos) << named.err;
}

// Option names listed by -help, and those a manual page describes as
// items ".TP" / ".B \-name".
std::set<std::string> HelpOptions(const std::string &help) {
  std::set<std::string> names;
  const std::regex row("^ -([A-Za-z0-9]+)");
  std::istringstream in(help);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, row)) names.insert(m[1]);
  }
  return names;
}

std::set<std::string> PageOptions(const std::string &page) {
  std::set<std::string> names;
  const std::regex item(R"(^\.B[IR]? \\-([A-Za-z0-9]+))");
  std::istringstream in(page);
  bool after_tp = false;
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (after_tp && std::regex_search(line, m, item)) names.insert(m[1]);
    after_tp = line == ".TP" || (after_tp && line == ".PD 0");
  }
  return names;
}

TEST(ManualPages, RenderCleanAndDescribeEveryOption) {
  const struct {
    const char *page, *program;
  } kPages[] = {{"pvview.1", PVVIEW_BIN}, {"pvconvert.1", PVCONVERT_BIN}};
  for (const auto &p : kPages) {
    SCOPED_TRACE(p.page);
    const std::string path = std::string(PV_SOURCE_DIR) + "/docs/man/" + p.page;
    const RunResult groff = RunProgram({"groff", "-ww", "-z", "-man", path});
    EXPECT_EQ(groff.status, 0);
    EXPECT_EQ(groff.err, "");
    RunOptions lint;
    lint.set_env = {"MANWIDTH=80"};
    const RunResult man = RunProgram({"man", "--warnings", "-l", path}, lint);
    EXPECT_EQ(man.status, 0);
    EXPECT_EQ(man.err, "");

    const std::set<std::string> page = PageOptions(ReadFile(path));
    const std::set<std::string> help = HelpOptions(RunProgram({p.program, "-help"}).err);
    ASSERT_GT(help.size(), 10u);
    for (const std::string &name : help) EXPECT_TRUE(page.count(name)) << "-" << name;
    // Every option the page describes is one the program takes (-help
    // comes after the values, so the run ends at the usage).
    for (const std::string &name : page) {
      const RunResult r = RunProgram({p.program, "-" + name, "1", "1", "1", "1", "-help"});
      EXPECT_EQ(r.err.find("Unrecognized option"), std::string::npos) << "-" << name;
    }
  }
}

TEST(DesktopEntry, Validates) {
  const RunResult r =
      RunProgram({"desktop-file-validate", std::string(PV_SOURCE_DIR) + "/dist/pvview.desktop"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out + r.err, "");
}

TEST(DebianPackage, DeclaresDependenciesShipsFilesAndRunsFromUsr) {
  TempDir dir;
  RunOptions o;
  o.timeout_seconds = 300;
  const RunResult cpack =
      RunProgram({"cpack", "-G", "DEB", "--config",
                  std::string(PV_BUILD_DIR) + "/CPackConfig.cmake", "-B", dir.path()},
                 o);
  ASSERT_EQ(cpack.status, 0) << cpack.out << cpack.err;
  const RunResult found = RunProgram({"sh", "-c", "ls \"$0\"/pvview_*.deb", dir.path()});
  ASSERT_EQ(found.status, 0) << found.err;
  const std::string deb = found.out.substr(0, found.out.find('\n'));

  const RunResult info = RunProgram({"dpkg-deb", "-f", deb, "Depends", "Recommends", "Section"});
  EXPECT_EQ(info.status, 0);
  for (const char *want : {"libx11-6", "libpng16-16", "zlib1g", "Recommends:", "Section: graphics"})
    EXPECT_NE(info.out.find(want), std::string::npos) << want << " in\n" << info.out;

  const RunResult contents = RunProgram({"dpkg-deb", "-c", deb});
  for (const char *want :
       {"./usr/bin/pvview\n", "./usr/bin/pvconvert\n", "./usr/share/pvview/samples/drawing.pbm\n",
        "./usr/share/man/man1/pvview.1.gz\n", "./usr/share/applications/pvview.desktop\n",
        "./usr/share/doc/pvview/copyright\n"})
    EXPECT_NE(contents.out.find(want), std::string::npos) << want;

  // Unpacked anywhere, the /usr tree finds its own system directory.
  const std::string root = dir.file("root");
  ASSERT_EQ(RunProgram({"dpkg-deb", "-x", deb, root}).status, 0);
  RunOptions plain;
  plain.unset_env = {"SYSDIR"};
  const RunResult conv = RunProgram(
      {root + "/usr/bin/pvconvert", "-info", root + "/usr/share/pvview/samples/drawing.pbm"},
      plain);
  EXPECT_EQ(conv.status, 0) << conv.err;

  if (RunProgram({"sh", "-c", "command -v lintian"}).status != 0) return;
  const RunResult lint = RunProgram({"lintian", "--tag-display-limit", "0", deb}, o);
  EXPECT_EQ(lint.out.find("E: "), std::string::npos) << lint.out;
}

}  // namespace
