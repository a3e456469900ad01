// The viewer on a PDF that comes through the filters (rasterised again
// for a larger size), and on pages joined at their seams.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "runprog.h"
#include "xvfb.h"

namespace {

class Vector : public testing::Test {
 protected:
  // What -save wrote; with w given, what Ghostscript draws at dpi.
  std::string Run(const std::string &file, std::vector<std::string> args, int w = 0, int dpi = 0) {
    RunOptions o;
    o.cwd = dir_.path();
    if (w) {
      const std::string gs = RunProgram({"gs", "-q", "-dBATCH", "-dNOPAUSE", "-sDEVICE=ppmraw",
                                         "-r" + std::to_string(dpi), "-sOutputFile=-", "a.ps"},
                                        o)
                                 .out;
      const size_t n = size_t(w) * w / 2 * 3;
      return gs.size() >= n ? gs.substr(gs.size() - n) : "no picture";
    }
    args.insert(args.begin(), PVVIEW_BIN);
    args.insert(args.end(), {"-timer", "1", "-save", "out.rgb", file});
    o.set_env = {"DISPLAY=" + server_.display(), std::string("SYSDIR=") + PV_SYSDIR,
                 "TMPDIR=" + dir_.path(), "PV_GRAPHICS_RESOLUTION=144"};
    o.unset_env = {"PVDEBUG", "PVVIEWDEBUG", "PVDEBUGFILTER"};
    unlink(dir_.file("out.rgb").c_str());
    EXPECT_EQ(RunProgram(args, o).status, 0) << file;
    return ReadFile(dir_.file("out.rgb"));
  }
  XvfbServer server_{24};
  TempDir dir_;
};

TEST_F(Vector, PdfIsShownAsGhostscriptDrawsIt) {
  ASSERT_TRUE(server_.ok());
  WriteFile(dir_.file("a.ps"),
            "%!PS\n<< /PageSize [144 72] >> setpagedevice 1 0 0 setrgbcolor\n"
            "10 10 60 40 rectfill 0 setgray 5 60 moveto 140 5 lineto stroke showpage\n");
  RunOptions o;
  o.cwd = dir_.path();
  const std::string pdf = "x'; touch pwned; '.pdf";
  ASSERT_EQ(RunProgram({"ps2pdf", "a.ps", pdf}, o).status, 0);
  EXPECT_TRUE(Run(pdf, {}) == Run("", {}, 288, 144));
  EXPECT_NE(access(dir_.file("pwned").c_str(), F_OK), 0);
  // Twice the size: drawn again at twice the resolution, not enlarged.
  EXPECT_TRUE(Run(pdf, {"-size", "576"}) == Run("", {}, 576, 288));
}

TEST_F(Vector, StitchJoinsOverlappingPages) {
  ASSERT_TRUE(server_.ok());
  std::string rows[160], joined;  // page 2 begins with the last 40 lines of page 1
  for (int y = 0; y < 160; ++y) {
    for (int x = 0; x < 60; ++x) rows[y] += {char(x * 4 + y), char(y * 3), char(x ^ y)};
    joined += rows[y];
  }
  std::string pages;
  for (auto [from, to] : {std::pair{0, 100}, {60, 160}}) {
    pages += "P6\n60 " + std::to_string(to - from) + "\n255\n";
    for (int y = from; y < to; ++y) pages += rows[y];
  }
  WriteFile(dir_.file("pages.ppm"), pages);
  EXPECT_TRUE(Run("pages.ppm", {"-stitch", "true"}) == joined);
  EXPECT_TRUE(Run("pages.ppm", {}) == joined.substr(0, 60 * 100 * 3));  // the first page alone
}

// PostScript that never ends or never draws, and signals while it is
// rasterised: the viewer ends, and so does Ghostscript, which notes its pid.
TEST_F(Vector, FiltersNeverOutliveTheViewer) {
  ASSERT_TRUE(server_.ok());
  const std::string pids = dir_.file("pids"), script = dir_.file("gs.sh");
  WriteFile(script, "#!/bin/sh\necho $$ >> " + pids +
                        "\nexec gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=ppmraw -r72 "
                        "-sOutputFile=- -\n");
  chmod(script.c_str(), 0755);
  mkdir(dir_.file("sys").c_str(), 0755);
  WriteFile(dir_.file("sys/filters"), "*xzPOSTSCRIPT " + script + " PostScript\n");
  WriteFile(dir_.file("loop.ps"), "%!PS\n<< /PageSize [72 36] >> setpagedevice\n{showpage} loop\n");
  WriteFile(dir_.file("idle.ps"), "%!PS\n{} loop\n");
  const struct {
    const char *file, *timeout;
    int signal, status;
    const char *message;
  } cases[] = {
      {"loop.ps", "300", 0, 0, ""},
      {"idle.ps", "1", 0, 1,
       "Error: The filter wrote nothing for 1 s and was stopped (PVFILTERTIMEOUT)"},
      {"idle.ps", "300", SIGINT, 0, ""},
      {"idle.ps", "300", SIGTERM, 0, ""},
  };
  for (const auto &c : cases) {
    RunOptions o;
    o.cwd = dir_.path();
    o.set_env = {"DISPLAY=" + server_.display(), "SYSDIR=" + dir_.file("sys"),
                 "TMPDIR=" + dir_.path(), std::string("PVFILTERTIMEOUT=") + c.timeout};
    o.unset_env = {"PVDEBUG", "PVVIEWDEBUG", "PVDEBUGFILTER"};
    unlink(pids.c_str());
    const RunResult r = RunProgram({PVVIEW_BIN, "-timer", "1", c.file}, o, [&](pid_t pid) {
      if (!c.signal) return;
      EXPECT_TRUE(LineWritten(pids));
      kill(pid, c.signal);
    });
    const std::string what = std::string(c.file) + " " + std::to_string(c.signal);
    EXPECT_EQ(r.status, c.status) << what << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << what << ": " << r.err;
    std::istringstream noted(ReadFile(pids));
    pid_t pid = 0;
    ASSERT_TRUE(noted >> pid) << what;
    EXPECT_TRUE(ProcessGone(pid)) << what;
  }
}

}  // namespace
