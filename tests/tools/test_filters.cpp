// Page and vector files converted through the shipped filter description
// file and the real programs it names, compared with those programs' own
// rendering at the same resolution.
#include <gtest/gtest.h>

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

}  // namespace
