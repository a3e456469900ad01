// The viewer on input that comes through the filters (a PDF, rasterised
// again for a larger size) and on pages joined at their seams.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runprog.h"
#include "xvfb.h"

namespace {

const char kPostScript[] =
    "%!PS\n<< /PageSize [144 72] >> setpagedevice\n"
    "1 0 0 setrgbcolor 10 10 60 40 rectfill 0 0 1 setrgbcolor 80 20 50 30 rectfill\n"
    "0 setgray 5 60 moveto 140 5 lineto stroke showpage\n";

// The pixels of a binary PPM, without its header.
std::string Pixels(const std::string &ppm, int w, int h) {
  const size_t n = static_cast<size_t>(w) * h * 3;
  return ppm.size() >= n ? ppm.substr(ppm.size() - n) : std::string();
}

class Vector : public testing::Test {
 protected:
  // Shows the file and returns what -save wrote.
  std::string Shown(const std::string &file, std::vector<std::string> args) {
    const std::string out = dir_.file("out.rgb");
    unlink(out.c_str());
    args.insert(args.begin(), PVVIEW_BIN);
    args.insert(args.end(), {"-timer", "1", "-save", out, file});
    RunOptions options;
    options.set_env = {"DISPLAY=" + server_.display(), std::string("SYSDIR=") + PV_SYSDIR,
                       "TMPDIR=" + dir_.path(), "PV_GRAPHICS_RESOLUTION=144"};
    options.unset_env = {"PVDEBUG", "PVVIEWDEBUG", "PVDEBUGFILTER"};
    options.cwd = dir_.path();
    const RunResult r = RunProgram(args, options);
    EXPECT_EQ(r.status, 0) << r.err;
    return ReadFile(out);
  }
  std::string Ghostscript(int resolution) {
    RunOptions o;
    o.cwd = dir_.path();
    return RunProgram({"sh", "-c",
                       "gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=ppmraw -r" +
                           std::to_string(resolution) + " -sOutputFile=- a.ps"},
                      o)
        .out;
  }
  XvfbServer server_{24};
  TempDir dir_;
};

TEST_F(Vector, PdfIsShownAsGhostscriptDrawsIt) {
  ASSERT_TRUE(server_.ok());
  WriteFile(dir_.file("a.ps"), kPostScript);
  RunOptions o;
  o.cwd = dir_.path();
  ASSERT_EQ(RunProgram({"ps2pdf", "a.ps", "x'; touch pwned; '.pdf"}, o).status, 0);
  EXPECT_TRUE(Shown("x'; touch pwned; '.pdf", {}) == Pixels(Ghostscript(144), 288, 144));
  EXPECT_NE(access(dir_.file("pwned").c_str(), F_OK), 0);
  // Asked for twice the size, the page is drawn again at twice the
  // resolution rather than enlarged.
  EXPECT_TRUE(Shown("x'; touch pwned; '.pdf", {"-size", "576"}) ==
              Pixels(Ghostscript(288), 576, 288));
}

TEST_F(Vector, StitchJoinsOverlappingPages) {
  ASSERT_TRUE(server_.ok());
  // Page 2 begins with the last 40 lines of page 1.
  const int w = 60;
  std::string rows[160];
  for (int y = 0; y < 160; ++y)
    for (int x = 0; x < w; ++x)
      rows[y] += {char(x * 4 + y), char(y * 3), char(x ^ y)};
  const auto page = [&rows](int from, int to) {
    std::string p = "P6\n60 " + std::to_string(to - from) + "\n255\n";
    for (int y = from; y < to; ++y) p += rows[y];
    return p;
  };
  WriteFile(dir_.file("pages.ppm"), page(0, 100) + page(60, 160));
  std::string joined;
  for (const std::string &row : rows) joined += row;
  EXPECT_TRUE(Shown("pages.ppm", {"-stitch", "true"}) == joined);
  const std::string first = Shown("pages.ppm", {});  // the first page alone
  EXPECT_TRUE(first == joined.substr(0, first.size()));
  EXPECT_EQ(first.size(), size_t{w} * 100 * 3);
}

}  // namespace
