// Page and vector files converted through the shipped filter description
// file and the real programs it names, compared with those programs' own
// rendering at the same resolution.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "runprog.h"

namespace {

// Width, height and samples of a binary PPM (comment lines skipped).
std::string Picture(const std::string &ppm) {
  std::istringstream in(ppm);
  std::string magic;
  int w = 0, h = 0, maxval = 0;
  in >> magic;
  while (in >> std::ws && in.peek() == '#') in.ignore(1 << 20, '\n');
  in >> w >> h >> maxval;
  const size_t n = size_t(w) * h * 3;
  if (magic != "P6" || n == 0 || ppm.size() < n) return "bad";
  return std::to_string(w) + "x" + std::to_string(h) + ":" + ppm.substr(ppm.size() - n);
}

const char kPostScript[] =
    "%!PS\n<< /PageSize [144 72] >> setpagedevice\n"
    "1 0 0 setrgbcolor 10 10 60 40 rectfill 0 0 1 setrgbcolor 80 20 50 30 rectfill\n"
    "0 setgray 5 60 moveto 140 5 lineto stroke showpage\n";
const char kGs[] =
    "gs -q -dBATCH -dNOPAUSE -dSAFER -dEPSCrop -sDEVICE=ppmraw -r144 -sOutputFile=- ";

class Filtered : public testing::Test {
 protected:
  void SetUp() override { WriteFile(dir_.file("a.ps"), kPostScript); }
  // pvconvert's picture of the file, and its exit status.
  std::string Convert(const std::string &file, int *status, const std::string &input = "") {
    RunOptions o;
    o.set_env = {"SYSDIR=" + sysdir_, "TMPDIR=" + dir_.path()};
    o.unset_env = {"PVDEBUG", "PVDEBUGFILTER"};
    o.stdin_data = input;
    o.cwd = dir_.path();
    unlink(dir_.file("out.ppm").c_str());
    const RunResult r = RunProgram({PVCONVERT_BIN, file, "out.ppm"}, o);
    *status = r.status;
    err_ = r.err;
    return Picture(ReadFile(dir_.file("out.ppm")));
  }
  std::string Oracle(const std::string &command) {
    RunOptions o;
    o.cwd = dir_.path();
    const RunResult r = RunProgram({"sh", "-c", command}, o);
    EXPECT_EQ(r.status, 0) << command << ": " << r.err;
    return Picture(r.out);
  }
  TempDir dir_;
  std::string sysdir_ = PV_SYSDIR, err_;
};

TEST_F(Filtered, EachKindShowsThePictureItsProgramDraws) {
  // A red rectangle in a Windows metafile with a placeable header.
  WriteFile(
      dir_.file("a.wmf"),
      std::string(
          "\xD7\xCD\xC6\x9A\x00\x00\x00\x00\x00\x00\xC8\x00\x64\x00\x48\x00\x00\x00\x00\x00\xF5\x57"
          "\x01\x00\x09\x00\x00\x03\x28\x00\x00\x00\x01\x00\x07\x00\x00\x00\x00\x00\x05\x00\x00\x00"
          "\x0B\x02\x00\x00\x00\x00\x05\x00\x00\x00\x0C\x02\x64\x00\xC8\x00\x07\x00\x00\x00\xFC\x02"
          "\x00\x00\xFF\x00\x00\x00\x00\x00\x04\x00\x00\x00\x2D\x01\x00\x00\x07\x00\x00\x00\x1B\x04"
          "\x50\x00\x96\x00\x14\x00\x1E\x00\x03\x00\x00\x00\x00\x00",
          102));
  WriteFile(dir_.file("a.svg"),
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"60\">"
            "<rect x=\"10\" y=\"10\" width=\"50\" height=\"30\" fill=\"red\"/></svg>");
  WriteFile(dir_.file("a.hpgl"), "IN;SP1;PU100,100;PD2000,100,2000,1000,100,100;PU;SP0;");
  const std::string gs = kGs;
  const struct {
    std::string make, file, oracle;
  } cases[] = {
      {"true", "a.ps", gs + "a.ps"},
      {"ps2pdf a.ps a.pdf", "a.pdf", gs + "a.pdf"},
      {"true", "a.svg",
       "rsvg-convert -f png -d 144 -p 144 a.svg | pngtopnm -mix -background white"},
      {"true", "a.hpgl", "hp2xx -q -m pbm -d 144 -f - a.hpgl | ppmtoppm"},
      {"true", "a.wmf", "wmf2gd -t png a.wmf | pngtopnm -mix -background white"},
      {"ppmpat -g2 -color red,blue 30 20 > c.ppm && gzip -c c.ppm > c.gz", "c.gz", "cat c.ppm"},
  };
  for (const auto &c : cases) {
    Oracle(c.make);
    int status;
    EXPECT_TRUE(Convert(c.file, &status) == Oracle(c.oracle)) << c.file << ": " << err_;
    EXPECT_EQ(status, 0) << c.file;
  }
}

TEST_F(Filtered, HostileNamesStandardInputAndNoFilters) {
  const std::string want = Oracle(std::string(kGs) + "a.ps");
  int status;
  for (const std::string name :
       {"x'; touch pwned; '.ps", "$(touch pwned).ps", "`touch pwned`.ps", "\"; touch pwned\".ps",
        "two words.ps", "line\nbreak;touch pwned.ps"}) {
    WriteFile(dir_.file(name), kPostScript);
    EXPECT_TRUE(Convert(name, &status) == want) << name << ": " << err_;
    EXPECT_NE(access(dir_.file("pwned").c_str(), F_OK), 0) << name;
  }
  // 100 bytes of HP-GL on standard input go through a temporary file,
  // which is gone afterwards.
  std::string plot = "IN;SP1;PU0,0;PD800,0,800,800,0,800,0,0;PU400,400;PD600,200;PU;SP0;";
  plot.resize(100, ' ');
  WriteFile(dir_.file("p.hpgl"), plot);
  EXPECT_TRUE(Convert("-", &status, plot) ==
              Oracle("hp2xx -q -m pbm -d 144 -f - p.hpgl | ppmtoppm"));
  EXPECT_EQ(RunProgram({"sh", "-c", "ls '" + dir_.path() + "' | grep -c -e pvpf -e pv_"}).out,
            "0\n");

  sysdir_ = dir_.file("nosuchdir");  // without filters vector input is unknown
  EXPECT_EQ(Convert("p.hpgl", &status), "bad");
  EXPECT_EQ(status, 1);
  EXPECT_NE(err_.find("Unknown type of file p.hpgl"), std::string::npos) << err_;
}

// Filters that never end, write nothing, fail, leave a child behind or are
// interrupted: every run ends, says why, and leaves neither a process nor
// a temporary file. Each filter notes the pid of every process it starts.
class Stubborn : public testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_.file("small.pgm"), "P5\n8 8\n255\n" + std::string(64, '\x40'));
    const std::string pids = dir_.file("pids"), small = dir_.file("small.pgm");
    std::string table;
    for (const auto &[tag, body] : std::vector<std::pair<std::string, std::string>>{
             {"*xzPOSTSCRIPT",
              "exec gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pgmraw -r72 "
              "-sOutputFile=- -"},
             {"EXIT3", "printf 'P5\\n8 8\\n255\\n'; exit 3"},
             {"BACKGROUND", "sleep 300 & echo $! >> " + pids + "; cat " + small},
             {"STALL", "head -c 50 " + small + "; exec sleep 300"},
             {"NOISY", "echo noise >&2; cat " + small},
         }) {
      const std::string script = dir_.file("filter" + tag);
      WriteFile(script, "#!/bin/sh\necho $$ >> " + pids + "\n" + body + "\n");
      chmod(script.c_str(), 0755);
      table += tag + " " + script + " filter\n";
    }
    mkdir(dir_.file("sys").c_str(), 0755);
    WriteFile(dir_.file("sys/filters"), table);
    WriteFile(dir_.file("loop.ps"),
              "%!PS\n<< /PageSize [72 36] >> setpagedevice\n{showpage} loop\n");
    WriteFile(dir_.file("idle.ps"), "%!PS\n{} loop\n");
    for (const char *tag : {"EXIT3", "BACKGROUND", "STALL", "NOISY"})
      WriteFile(dir_.file(std::string(tag) + ".in"), tag);
  }
  // pvconvert of file to out.pgm; signal, when given, is sent once the
  // filter runs (and, with writing, once the output is being written).
  RunResult Convert(const std::string &file, std::vector<std::string> env = {}, int signal = 0,
                    bool writing = false) {
    RunOptions o;
    env.insert(env.end(), {"SYSDIR=" + dir_.file("sys"), "TMPDIR=" + dir_.path()});
    o.set_env = env;
    o.unset_env = {"PVDEBUG", "PVDEBUGFILTER", "PVFILTERTIMEOUT"};
    o.cwd = dir_.path();
    unlink(dir_.file("pids").c_str());
    return RunProgram({PVCONVERT_BIN, file, "out.pgm"}, o, [&](pid_t pid) {
      if (!signal) return;
      EXPECT_TRUE(WaitFor(
          [&]() { return LineWritten(dir_.file("pids"), 0) && (!writing || Leftovers() != ""); }));
      kill(pid, signal);
    });
  }
  // Every process the filters noted has ended.
  void ExpectNoneRunning(const std::string &what) {
    std::istringstream pids(ReadFile(dir_.file("pids")));
    int n = 0;
    for (pid_t pid; pids >> pid; ++n) EXPECT_TRUE(ProcessGone(pid)) << what << ": pid " << pid;
    EXPECT_GT(n, 0) << what;
  }
  // Names of the temporary files in the directory (the output's and the
  // filter stage's).
  std::string Leftovers() {
    std::string names;
    DIR *d = opendir(dir_.path().c_str());
    while (dirent *e = d ? readdir(d) : nullptr)
      if (!strncmp(e->d_name, ".pvconvert.", 11) || !strncmp(e->d_name, "pvpf", 4))
        names += std::string(e->d_name) + " ";
    if (d) closedir(d);
    return names;
  }
  TempDir dir_;
};

TEST_F(Stubborn, EveryRunEndsAndSaysWhy) {
  const struct {
    const char *file, *env;
    int status;
    const char *message, *output;
  } cases[] = {
      // A page, then pages for ever: the first is written and the rest not waited for.
      {"loop.ps", "", 0, "", "P5 72 36 255\n"},
      {"idle.ps", "PVFILTERTIMEOUT=1", 1,
       "Error: The filter wrote nothing for 1 s and was stopped (PVFILTERTIMEOUT)", ""},
      {"BACKGROUND.in", "", 0, "", "P5 8 8 255\n@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@"},
      {"EXIT3.in", "", 1, "Warning: The filter ended with status 3", "P5 8 8 255\n"},
  };
  for (const auto &c : cases) {
    unlink(dir_.file("out.pgm").c_str());
    const RunResult r = Convert(c.file, {c.env});
    EXPECT_EQ(r.status, c.status) << c.file << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.file << ": " << r.err;
    EXPECT_EQ(ReadFile(dir_.file("out.pgm")).substr(0, strlen(c.output)), c.output) << c.file;
    ExpectNoneRunning(c.file);
    EXPECT_EQ(Leftovers(), "") << c.file;
  }
}

TEST_F(Stubborn, SignalsEndTheFiltersAndRemoveTemporaries) {
  for (int sig : {SIGINT, SIGTERM}) {
    // Ghostscript busy for ever, then a filter silent after a header: the
    // output is being written when the signal comes.
    for (const char *file : {"idle.ps", "STALL.in"}) {
      const std::string what = std::string(file) + " " + strsignal(sig);
      const RunResult r = Convert(file, {}, sig, file[0] == 'S');
      EXPECT_EQ(r.status, 128 + sig) << what << ": " << r.err;
      ExpectNoneRunning(what);
      EXPECT_EQ(Leftovers(), "") << what;
    }
  }
}

TEST_F(Stubborn, TheLogIsNeverWrittenThroughALink) {
  WriteFile(dir_.file("victim"), "precious\n");
  symlink(dir_.file("victim").c_str(), dir_.file("pv.mallory.log").c_str());
  const struct {
    const char *logname, *message;
  } cases[] = {
      {"alice", ""},
      {"mallory", "Warning: Filter messages are not written to "},
      {"../alice", "Warning: Filter messages are not logged: the user name ../alice holds a '/'"},
  };
  for (const auto &c : cases) {
    const RunResult r = Convert("NOISY.in", {std::string("LOGNAME=") + c.logname});
    EXPECT_EQ(r.status, 0) << c.logname << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.logname << ": " << r.err;
  }
  EXPECT_EQ(ReadFile(dir_.file("pv.alice.log")), "noise\n");
  EXPECT_EQ(ReadFile(dir_.file("victim")), "precious\n");
}

}  // namespace
