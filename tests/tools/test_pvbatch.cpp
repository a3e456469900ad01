// pvconvert over many inputs into a directory: outputs, failures and the
// summary, refusals before any work, -skipexisting, the progress line and
// a stopped run; ranges of pages into one file of pages or numbered files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runprog.h"

namespace {

RunResult Pvconvert(const std::vector<std::string> &args, const std::string &cwd = "") {
  std::vector<std::string> argv{PVCONVERT_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions o;
  o.cwd = cwd;
  return RunProgram(argv, o);
}

class PvBatch : public ::testing::Test {
 protected:
  void SetUp() override {
    ShellOutput("cd " + dir_.path() +
                " && mkdir out x y && pbmmake -g 31 7 > a.pbm && pgmramp -lr 40 9 > 'b c.pgm'"
                " && echo 'P6 no picture' > broken.ppm && cp a.pbm x/a.pbm && cp a.pbm y/a.pbm");
  }
  // The directory's names, hidden ones too, one per line.
  std::string Listing(const std::string &dir) {
    return ShellOutput("ls -A " + dir_.file(dir) + " | tr '\\n' ' '");
  }
  // True when the PNG holds the picture of the netpbm file.
  bool Same(const std::string &png, const std::string &pnm) {
    return ShellOutput("cd " + dir_.path() + " && pngtopnm '" + png + "' | ppmtoppm > got.ppm" +
                       " && ppmtoppm < '" + pnm + "' > want.ppm && cmp got.ppm want.ppm" +
                       " && rm got.ppm want.ppm && echo same") == "same\n";
  }
  TempDir dir_;
};

TEST_F(PvBatch, MixedInputsGiveEveryGoodOutputAndTheSummary) {
  WriteFile(dir_.file("list"), "b c.pgm\n\nbroken.ppm\n");
  const RunResult r =
      Pvconvert({"-destdir", "out", "-type", "png", "-jobs", "2", "a.pbm", "@list"}, dir_.path());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(Listing("out"), "a.png b c.png ");
  EXPECT_TRUE(Same("out/a.png", "a.pbm"));
  EXPECT_TRUE(Same("out/b c.png", "b c.pgm"));
  // The failure under its file's name, and one summary line last.
  EXPECT_NE(r.err.find("broken.ppm: "), std::string::npos) << r.err;
  const size_t last = r.err.rfind('\n', r.err.size() - 2);
  EXPECT_EQ(r.err.substr(last + 1), "2 converted, 1 failed, 0 skipped\n") << r.err;
  EXPECT_EQ(r.out, "");
}

TEST_F(PvBatch, BadRunsAreRefusedBeforeAnyWork) {
  WriteFile(dir_.file("plain"), "");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-destdir", "none", "-type", "png", "a.pbm"}, "[none] does not exist"},
      {{"-destdir", "plain", "-type", "png", "a.pbm"}, "[plain] does not exist"},
      {{"-destdir", "out", "-type", "png", "x/a.pbm", "a.pbm", "y/a.pbm"},
       "[x/a.pbm] and [a.pbm] would both be written to [out/a.png]"},
      {{"-destdir", "out", "-type", "png", "@missing"}, "Cannot read the list [missing]"},
      {{"-destdir", "out", "-type", "png", "-jobs", "0", "a.pbm"}, "[-jobs]"},
      {{"-dest", "out", "-type", "png", "-jobs", "-2", "a.pbm"}, "[-jobs]"},
      {{"-destdir", "out", "-type", "png", "-"}, "Standard input"},
      {{"-destdir", "out", "a.pbm"}, "needs an output type"},
      {{"-destdir", "out", "-type", "png"}, "No input files"},
  };
  for (const Case &c : cases) {
    const RunResult r = Pvconvert(c.args, dir_.path());
    EXPECT_EQ(r.status, 2) << c.message << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  if (geteuid() != 0) {  // root writes anywhere
    ShellOutput("chmod 555 " + dir_.file("out"));
    EXPECT_EQ(Pvconvert({"-destdir", "out", "-type", "png", "a.pbm"}, dir_.path()).status, 2);
  }
  EXPECT_EQ(Listing("out"), "");
}

TEST_F(PvBatch, SkipExistingKeepsOutputsNewerThanTheirInput) {
  const std::vector<std::string> args{"-destdir",      "out",   "-type",  "pgm",
                                      "-skipexisting", "a.pbm", "b c.pgm"};
  struct Step {
    std::string before, summary;
  } steps[] = {
      {"", "2 converted, 0 failed, 0 skipped\n"},
      {"", "0 converted, 0 failed, 2 skipped\n"},
      {"touch -d '+1 hour' a.pbm", "1 converted, 0 failed, 1 skipped\n"},
  };
  for (const Step &s : steps) {
    if (!s.before.empty()) ShellOutput("cd " + dir_.path() + " && " + s.before);
    const RunResult r = Pvconvert(args, dir_.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, s.summary);
  }
}

TEST_F(PvBatch, ProgressOnlyOnATerminal) {
  const std::string command =
      std::string(PVCONVERT_BIN) + " -destdir out -type png a.pbm 'b c.pgm'";
  const std::string tty = ShellOutput("cd " + dir_.path() + " && script -qfec \"" + command +
                                      "\" /dev/null | od -An -c | tr -d ' \\n'");
  EXPECT_NE(tty.find("\\r033[K2/2files,2pages,"), std::string::npos) << tty;
  const RunResult piped =
      RunProgram({"sh", "-c", "cd " + dir_.path() + " && " + command + " 2>&1 | cat"});
  EXPECT_EQ(piped.out, "2 converted, 0 failed, 0 skipped\n");
}

// Stopped while a worker writes: the finished output stays whole, no
// temporary file is left and the summary says where to start again. The
// second input is a pipe whose feeder keeps it open after its first rows.
TEST_F(PvBatch, StoppedRunLeavesCompleteFilesAndNoTemporaries) {
  const std::string pv = std::string(PVCONVERT_BIN);
  const RunResult r = RunProgram(
      {"sh", "-c",
       "cd " + dir_.path() + " && mkfifo slow.pgm && " +
           "((printf 'P5 2000 2000 255 '; head -c 1000000 /dev/zero; exec sleep 60) > slow.pgm &"
           " echo $! > feeder) && (" +
           pv + " -destdir out -type png -jobs 1 a.pbm slow.pgm 'b c.pgm' & p=$!;" +
           " until ls -A out | grep -q pvc; do sleep 0.1; done; kill -INT $p; wait $p;" +
           " echo \"status $?\"); kill $(cat feeder); ls -A out"});
  EXPECT_EQ(r.out, "status 130\na.png\n") << r.err;
  EXPECT_NE(r.err.find("1 converted, 0 failed, 0 skipped; stopped by Interrupt with 2 of 3 files "
                       "left, from [slow.pgm]"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(Same("out/a.png", "a.pbm"));
}

// Three pages of different sizes and kinds, checked page by page against
// what each page was made from, through tiffcp and Ghostscript.
TEST_F(PvBatch, PageRangesGiveOneFileOfPagesOrNumberedFiles) {
  const std::string cd = "cd " + dir_.path() + " && ";
  ShellOutput(
      cd +
      "pgmramp -lr 60 40 > p1.pgm && pbmmake -g 50 30 > p2.pbm &&"
      " ppmmake rgb:ff/80/00 20 25 > p3.ppm && for i in 1 2 3; do"
      " pnmtotiff p$i.p?m > p$i.tif 2>/dev/null; cat p$i.p?m | ppmtoppm > want$i.ppm; done && "
      "tiffcp p1.tif p2.tif p3.tif three.tif");
  // Page i of a TIFF, or Ghostscript's page i of a PDF, is page i.
  auto same_pages = [&](const std::string &file, int first, int last) {
    for (int i = first; i <= last; ++i) {
      // Its place in the file: from 0 for tiffcp, from 1 for Ghostscript.
      const std::string page = std::to_string(i), k = std::to_string(i - first),
                        n = std::to_string(i - first + 1);
      const std::string got =
          file.find(".tif") != std::string::npos
              ? "rm -f one.tif && tiffcp '" + file + "," + k + "' one.tif && tifftopnm one.tif"
              : "gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=ppmraw -r72 -dFirstPage=" + n +
                    " -dLastPage=" + n + " -sOutputFile=- '" + file + "'";
      EXPECT_EQ(ShellOutput(cd + got + " | pamtopnm | ppmtoppm | cmp - want" + page +
                            ".ppm && echo same"),
                "same\n")
          << file << " page " << page;
    }
  };
  ASSERT_EQ(Pvconvert({"-pageno", "all", "three.tif", "all.tif"}, dir_.path()).status, 0);
  EXPECT_EQ(ShellOutput(cd + "tiffinfo all.tif 2>/dev/null | grep -c '^TIFF Directory'"), "3\n");
  same_pages("all.tif", 1, 3);
  // Through a pipe, where the writer cannot seek back: the same bytes.
  EXPECT_EQ(ShellOutput(cd + std::string(PVCONVERT_BIN) +
                        " -pageno all -type tiff three.tif - | cmp - all.tif && echo same"),
            "same\n");
  ASSERT_EQ(Pvconvert({"-pageno", "2-3", "three.tif", "two.pdf"}, dir_.path()).status, 0);
  EXPECT_EQ(ShellOutput(cd + "pdfinfo two.pdf | awk '/^Pages:/ {print $2}'"), "2\n");
  same_pages("two.pdf", 2, 3);
  // GIF frames, each with its own colours, on the first frame's screen.
  ASSERT_EQ(Pvconvert({"-pageno", "all", "three.tif", "all.gif"}, dir_.path()).status, 0);
  EXPECT_EQ(ShellOutput(cd + "identify -format '%wx%h ' all.gif"), "60x40 50x30 20x25 ");
  for (int i = 1; i <= 3; ++i)
    EXPECT_EQ(
        ShellOutput(cd + "convert 'all.gif[" + std::to_string(i - 1) +
                    "]' +repage ppm:- | cmp - want" + std::to_string(i) + ".ppm && echo same"),
        "same\n")
        << "frame " << i;
  // Single-page writers number their files; the pages written stay.
  ASSERT_EQ(Pvconvert({"-pageno", "2-", "three.tif", "n.png"}, dir_.path()).status, 0);
  EXPECT_TRUE(Same("n-2.png", "p2.pbm"));
  EXPECT_TRUE(Same("n-3.png", "p3.ppm"));
  // The same in a run into a directory.
  const RunResult r = Pvconvert(
      {"-destdir", "out", "-type", "pdf", "-pageno", "all", "three.tif", "a.pbm"}, dir_.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ShellOutput(cd + "pdfinfo out/three.pdf | awk '/^Pages:/ {print $2}'"), "3\n");
  EXPECT_EQ(ShellOutput(cd + "pdfinfo out/a.pdf | awk '/^Pages:/ {print $2}'"), "1\n");

  struct Bad {
    std::vector<std::string> args;
    int status;
    std::string message;
  } bad[] = {
      {{"-pageno", "4-", "three.tif", "x.png"}, 1, "no page 4"},
      {{"-pageno", "3-2", "three.tif", "x.png"}, 1, "Bad value [3-2] for option [-pageno]"},
      {{"-pageno", "all", "grow.tif", "x.gif"}, 1, "frame of 60 x 40 pixels does not fit"},
      {{"-pageno", "all", "-type", "png", "three.tif", "-"}, 1, "Standard output takes one page"},
      {{"-destdir", "out", "-type", "png", "-pageno", "x-", "three.tif"}, 2, "[x-]"},
  };
  ShellOutput(cd + "tiffcp p3.tif p1.tif grow.tif");
  for (const Bad &b : bad) {
    const RunResult e = Pvconvert(b.args, dir_.path());
    EXPECT_EQ(e.status, b.status) << b.message;
    EXPECT_NE(e.err.find(b.message), std::string::npos) << e.err;
  }
  EXPECT_EQ(ShellOutput(cd + "ls x.* out/three* 2>/dev/null || true"), "out/three.pdf\n");
}

}  // namespace
