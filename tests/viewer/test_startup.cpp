// The real pvview, started as a user starts it: help, version, bad
// options, the system directory, the display, the size option, response
// files and the debugging copy of the input.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "runprog.h"
#include "xvfb.h"

namespace {

class Startup : public testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = std::make_unique<XvfbServer>(24); }
  static void TearDownTestSuite() { server_.reset(); }

  // pvview with the given arguments, a system directory and our display
  // unless the test says otherwise.
  static RunResult Pvview(std::vector<std::string> args, RunOptions options = {}) {
    args.insert(args.begin(), PVVIEW_BIN);
    bool has_display = false, has_sysdir = false;
    for (const auto &e : options.set_env) {
      has_display |= e.rfind("DISPLAY=", 0) == 0;
      has_sysdir |= e.rfind("SYSDIR=", 0) == 0;
    }
    if (!has_display && server_->ok()) options.set_env.push_back("DISPLAY=" + server_->display());
    if (!has_sysdir) options.set_env.push_back(std::string("SYSDIR=") + PV_SYSDIR);
    options.unset_env.push_back("PVDEBUG");
    options.unset_env.push_back("PVVIEWDEBUG");
    return RunProgram(args, options);
  }

  void SetUp() override { ASSERT_TRUE(server_->ok()) << "Xvfb did not start"; }

  static std::unique_ptr<XvfbServer> server_;
};
std::unique_ptr<XvfbServer> Startup::server_;

// A picture on standard input, for the runs that must get past start-up.
const char kTinyImage[] = "P1\n2 2\n0 1\n1 0\n";

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

TEST_F(Startup, HelpListsVisibleOptionsInTableOrder) {
  RunResult r = Pvview({"-help"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind(" -----------------------------------------------\n"
                        "  pvview [options] [<in-file>]\n"
                        "Valid options are: \n\nGENERAL:\n"
                        " -bartitle       name of window\n"
                        " -sysdir         <dirname>\n",
                        0),
            0u)
      << r.err;
  // An empty help text still shows the row; a hidden row never does.
  EXPECT_NE(r.err.find(" -help           \n"), std::string::npos);
  EXPECT_NE(r.err.find(" -version        \n"), std::string::npos);
  for (const char *hidden : {" -ddt", " -info", " -save", " -8color", " -resize", " -labelspec",
                             " -parentwindow", " -xoffset"})
    EXPECT_EQ(r.err.find(hidden), std::string::npos) << hidden;
  size_t last = 0;
  for (const char *row : {"\nCOLORS:\n", " -colors         0-256 (0=RGB)\n", "\nGEOMETRY:\n",
                          " -scalemethod    <averaging | interpolation | replication>\n",
                          "\nSTAMP and LABEL:\n", " -labelposition  <topleft"}) {
    size_t at = r.err.find(row);
    ASSERT_NE(at, std::string::npos) << row;
    EXPECT_GT(at, last) << row;
    last = at;
  }
}

TEST_F(Startup, VersionReport) {
  RunResult r = Pvview({"-vers"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find(" Version 1.0.1\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" Released on September 13, 2016\n"), std::string::npos);
  EXPECT_NE(r.err.find(std::string(" Program is ") + PVVIEW_BIN + "\n"), std::string::npos);
  EXPECT_NE(r.err.find("\n Operating system is Linux "), std::string::npos);
  EXPECT_EQ(r.err.find("PVTOPDIR"), std::string::npos);
  RunOptions with_top;
  with_top.set_env = {"PVTOPDIR=/opt/pv"};
  EXPECT_NE(Pvview({"-version"}, with_top).err.find(" PVTOPDIR is /opt/pv\n"), std::string::npos);
}

TEST_F(Startup, BadOptionsEndWithStatusOne) {
  // Values outside what the option means, or beyond 32 bits, never turn
  // into long waits or odd palettes; an empty value is stored, and asking
  // for it is the error. A 100 KiB argument is just an unknown option, and
  // then a file name.
  const std::string huge(100 * 1024, 'q');
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-s"}, "Ambiguous option: -s\nValid options are: \n"},
      {{"-nosuchoption"}, "Unrecognized option: -nosuchoption\n"},
      {{"-rotate", "45"}, "Bad value [45] for option [-rotate]\n"},
      {{"-resize", "sideways"}, "Bad value [sideways] for option [-resize]\n"},
      {{"-timer", "12-3"}, "CmdGetOptInt: Bad value [12-3] for option [-timer]\n"},
      {{"-timer", "-1"}, "CmdGetOptInt: Bad value [-1] for option [-timer]"},
      {{"-timer", "99999999999999999999"},
       "CmdGetOptInt: Bad value [99999999999999999999] for option [-timer]"},
      {{"-colors", "1000"}, "CmdGetOptInt: Bad value [1000] for option [-colors]"},
      {{"-colors", "-1"}, "CmdGetOptInt: Bad value [-1] for option [-colors]"},
      {{"-pageno", "-2"}, "CmdGetOptInt: Bad value [-2] for option [-pageno]"},
      {{"-timer", ""}, "CmdGetOpt: Missing value for option: timer\n"},
      {{"-brightness", "bright"}, "CmdGetOptDouble: Bad value [bright] for option [-brightness]\n"},
      {{"-output", "purple"}, "Bad value [purple] for option [-output]\n"},
      {{"-colorreplace", "red/green"}, "Invalid -colorreplace parameter: [red/green]\n"},
      {{"-" + huge}, "Unrecognized option: -qqq"},
      {{huge}, "Error: Cannot open qqq"}};
  for (const auto &[args, message] : cases) {
    const RunResult r = Pvview(args);
    EXPECT_EQ(r.status, 1) << args[0].substr(0, 20);
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err.substr(0, 300);
  }
}

TEST_F(Startup, SystemDirectoryIsRequired) {
  RunOptions none;
  none.unset_env = {"SYSDIR"};
  RunResult r = RunProgram({PVVIEW_BIN, "drawing.pbm"}, none);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "Error: Use the option '-sys <sysdir>' or set the SYSDIR variable\n"
            "to specify the path-name of the system directory\n");
  // -sys abbreviates -sysdir; -ddt stands in for it.
  none.set_env = {"DISPLAY=" + server_->display()};
  none.stdin_data = kTinyImage;
  EXPECT_EQ(RunProgram({PVVIEW_BIN, "-sys", PV_SYSDIR, "-timer", "1"}, none).status, 0);
  EXPECT_EQ(RunProgram({PVVIEW_BIN, "-ddt", PV_SYSDIR, "-timer", "1"}, none).status, 0);
}

// A display number with no server behind it (no socket, no lock), from
// `from` upwards: other tests may be running servers of their own.
std::string FreeDisplay(int from) {
  for (int n = from;; ++n)
    if (!Exists("/tmp/.X11-unix/X" + std::to_string(n)) &&
        !Exists("/tmp/.X" + std::to_string(n) + "-lock"))
      return ":" + std::to_string(n);
}

TEST_F(Startup, DisplayThatCannotBeOpened) {
  const std::string away = FreeDisplay(77);
  RunOptions env;
  env.set_env = {"DISPLAY=" + away};
  RunResult r = Pvview({}, env);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR: Cannot open display " + away);
  // The option wins over the environment.
  const std::string other = FreeDisplay(std::stoi(away.substr(1)) + 1);
  r = Pvview({"-display", other});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR: Cannot open display " + other);
}

TEST_F(Startup, SizeNeedsPositiveNumbers) {
  for (const char *bad : {"0x300", "400x0", "300x", "x", "abc", "-5", "300y"}) {
    RunResult r = Pvview({"-size", bad});
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_EQ(r.err, std::string("Bad format for size.. [") + bad + "]\n");
  }
  RunOptions image;
  image.stdin_data = kTinyImage;
  for (const char *good : {"x300", "300", "400x300"})
    EXPECT_EQ(Pvview({"-size", good, "-timer", "1"}, image).status, 0);
}

TEST_F(Startup, ResponseFiles) {
  TempDir dir;
  WriteFile(dir.file("ok.rsp"),
            "QPLCMD this line is a command header\n-rotate \"90\"\n-bartitle 'two words'\n");
  RunOptions image;
  image.stdin_data = kTinyImage;
  EXPECT_EQ(Pvview({"-timer", "1", "@" + dir.file("ok.rsp")}, image).status, 0);

  WriteFile(dir.file("badword.rsp"), "-rotate 45\n");
  RunResult r = Pvview({"@" + dir.file("badword.rsp")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Bad value [45] for option [-rotate]"), std::string::npos);

  r = Pvview({"@" + dir.file("missing.rsp")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, dir.file("missing.rsp") + ": No such file or directory\n");

  WriteFile(dir.file("quote.rsp"), "-bartitle \"never closed\n");
  r = Pvview({"@" + dir.file("quote.rsp")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR: No trailling quote in [\"never closed\n]\n");

  // Binary garbage is a stream of unknown options, never a crash.
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7919) % 251 + 1);
  WriteFile(dir.file("binary.rsp"), binary);
  r = Pvview({"@" + dir.file("binary.rsp")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.find("Unrecognized option") != std::string::npos ||
              r.err.find("Ambiguous option") != std::string::npos ||
              r.err.find("No trailling quote") != std::string::npos)
      << r.err.substr(0, 200);
}

TEST_F(Startup, DebugCopyQuotesTheFileName) {
  TempDir dir;
  const std::string name = "a;touch x";
  WriteFile(dir.file(name), "P1\n1 1\n0\n");
  RunOptions debug;
  debug.set_env = {"PVVIEWDEBUG=1"};
  debug.cwd = dir.path();
  RunResult r = Pvview({"-timer", "1", name}, debug);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.rfind(std::string(PVVIEW_BIN) + " -timer 1 a;touch x \n", 0), 0u) << r.err;
  EXPECT_FALSE(Exists(dir.file("x"))) << "the file name ran a command";
  EXPECT_EQ(ReadFile(dir.file(name + ".sav")), "P1\n1 1\n0\n");
  // A last word that looks like an option never reaches cp as one.
  r = Pvview({"--version"}, debug);
  EXPECT_EQ(r.out.find("coreutils"), std::string::npos) << r.out;
}

}  // namespace
