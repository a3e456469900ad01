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

struct Pnm {
  int w = 0, h = 0;
  std::string rgb;
};

// Binary PPM with maxval 255, after any comment lines.
Pnm ReadPpm(const std::string &data) {
  Pnm p;
  std::istringstream in(data);
  std::string magic;
  int maxval = 0;
  in >> magic;
  while (in >> std::ws && in.peek() == '#') in.ignore(1 << 20, '\n');
  in >> p.w >> p.h >> maxval;
  in.get();
  const size_t n = size_t(p.w) * p.h * 3;
  if (magic != "P6" || maxval != 255 || data.size() < n) return Pnm();
  p.rgb = data.substr(data.size() - n);
  return p;
}

bool Have(const char *program) {
  return RunProgram({"sh", "-c", std::string("command -v ") + program}).status == 0;
}

const char kPostScript[] =
    "%!PS\n<< /PageSize [144 72] >> setpagedevice\n"
    "1 0 0 setrgbcolor 10 10 60 40 rectfill 0 0 1 setrgbcolor 80 20 50 30 rectfill\n"
    "0 setgray 5 60 moveto 140 5 lineto stroke showpage\n";

// Little-endian 16-bit words.
std::string Words(std::initializer_list<int> words) {
  std::string out;
  for (int w : words) out += {char(w & 255), char((w >> 8) & 255)};
  return out;
}

// A Windows metafile with a placeable header: a red rectangle on a
// 200 x 100 window.
std::string Metafile() {
  std::string records;
  const auto record = [&records](int function, std::initializer_list<int> params) {
    const int size = 3 + int(params.size());
    records += Words({size, 0, function}) + Words(params);
  };
  record(0x020B, {0, 0});               // window origin
  record(0x020C, {100, 200});           // window extent
  record(0x02FC, {0, 0x00FF, 0, 0});    // solid red brush
  record(0x012D, {0});                  // select it
  record(0x041B, {80, 150, 20, 30});    // rectangle: bottom, right, top, left
  record(0x0000, {});
  const int size = (18 + int(records.size())) / 2;
  const std::string header = Words({1, 9, 0x0300, size & 0xFFFF, size >> 16, 1, 7, 0, 0});
  std::string placeable = Words({0xCDD7, 0x9AC6, 0, 0, 0, 200, 100, 72, 0, 0});
  int check = 0;
  for (size_t i = 0; i < placeable.size(); i += 2)
    check ^= (unsigned char)placeable[i] | (unsigned char)placeable[i + 1] << 8;
  return placeable + Words({check}) + header + records;
}

class Filtered : public testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_.file("a.ps"), kPostScript);
    sysdir_ = std::string(PV_SYSDIR);
  }
  RunResult Convert(const std::vector<std::string> &args, const std::string &stdin_data = "") {
    std::vector<std::string> argv{PVCONVERT_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions o;
    o.set_env = {"SYSDIR=" + sysdir_, "TMPDIR=" + dir_.path()};
    o.unset_env = {"PVDEBUG", "PVDEBUGFILTER"};
    o.stdin_data = stdin_data;
    o.cwd = dir_.path();
    return RunProgram(argv, o);
  }
  Pnm Oracle(const std::string &command) {
    RunOptions o;
    o.cwd = dir_.path();
    const RunResult r = RunProgram({"sh", "-c", command}, o);
    EXPECT_EQ(r.status, 0) << command << ": " << r.err;
    return ReadPpm(r.out);
  }
  // Samples may differ by tolerance (anti-aliased edges laid over white).
  void ExpectSame(const Pnm &got, const Pnm &want, const std::string &what, int tolerance = 0) {
    ASSERT_GT(want.w, 0) << what;
    ASSERT_EQ(got.w, want.w) << what;
    ASSERT_EQ(got.h, want.h) << what;
    for (size_t i = 0; i < got.rgb.size(); ++i)
      ASSERT_LE(std::abs((unsigned char)got.rgb[i] - (unsigned char)want.rgb[i]), tolerance)
          << what << " at sample " << i;
  }
  TempDir dir_;
  std::string sysdir_;
};

TEST_F(Filtered, EachKindShowsThePictureItsProgramDraws) {
  const std::string gs = "gs -q -dBATCH -dNOPAUSE -dSAFER -dEPSCrop -sDEVICE=ppmraw -r144 "
                         "-sOutputFile=- ";
  WriteFile(dir_.file("a.wmf"), Metafile());
  WriteFile(dir_.file("a.svg"),
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"60\">"
            "<rect x=\"10\" y=\"10\" width=\"50\" height=\"30\" fill=\"red\"/>"
            "<circle cx=\"75\" cy=\"30\" r=\"20\" fill=\"blue\"/></svg>");
  WriteFile(dir_.file("a.hpgl"), "IN;SP1;PU100,100;PD2000,100,2000,1000,100,100;PU;SP0;");
  const struct {
    const char *program, *make, *file, *oracle;
    int tolerance;
  } cases[] = {
      {"gs", "true", "a.ps", "cat a.ps | %s -", 0},
      {"gs", "ps2pdf a.ps a.pdf", "a.pdf", "%s a.pdf", 0},
      {"rsvg-convert", "true", "a.svg", "rsvg-convert -f png -d 144 -p 144 a.svg | pngtopnm -mix -background white", 1},
      {"hp2xx", "true", "a.hpgl", "hp2xx -q -m pbm -d 144 -f - a.hpgl | ppmtoppm", 0},
      {"wmf2gd", "true", "a.wmf", "wmf2gd -t png a.wmf | pngtopnm -mix -background white", 1},
      {"gzip", "ppmpat -g2 -color red,blue 30 20 > c.ppm && gzip -c c.ppm > c.gz", "c.gz",
       "cat c.ppm", 0},
  };
  for (const auto &c : cases) {
    if (!Have(c.program) || !Have("gs")) {
      ADD_FAILURE() << c.program << " missing: run .ci/deps.sh";
      continue;
    }
    Oracle(c.make);
    std::string oracle = c.oracle;
    if (size_t at = oracle.find("%s"); at != std::string::npos) oracle.replace(at, 2, gs);
    const RunResult r = Convert({c.file, "out.ppm"});
    EXPECT_EQ(r.status, 0) << c.file << ": " << r.err;
    ExpectSame(ReadPpm(ReadFile(dir_.file("out.ppm"))), Oracle(oracle), c.file, c.tolerance);
  }
}

TEST_F(Filtered, HostileNamesAreOnlyNames) {
  const Pnm want = Oracle("gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=ppmraw -r144 "
                          "-sOutputFile=- a.ps");
  for (const std::string name :
       {"x'; touch pwned; '.ps", "$(touch pwned).ps", "`touch pwned`.ps", "\"; touch pwned\".ps",
        "two words.ps", "line\nbreak;touch pwned.ps"}) {
    WriteFile(dir_.file(name), kPostScript);
    const RunResult r = Convert({name, "out.ppm"});
    EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    ExpectSame(ReadPpm(ReadFile(dir_.file("out.ppm"))), want, name);
    EXPECT_NE(RunProgram({"test", "-e", dir_.file("pwned")}).status, 0) << name;
  }
}

TEST_F(Filtered, StandardInputGoesThroughATemporaryFile) {
  if (!Have("hp2xx")) GTEST_FAIL() << "hp2xx missing: run .ci/deps.sh";
  std::string plot = "IN;SP1;PU0,0;PD800,0,800,800,0,800,0,0;PU400,400;PD600,200;PU;SP0;";
  plot.resize(100, ' ');
  WriteFile(dir_.file("p.hpgl"), plot);
  const RunResult r = Convert({"-", "out.ppm"}, plot);
  EXPECT_EQ(r.status, 0) << r.err;
  ExpectSame(ReadPpm(ReadFile(dir_.file("out.ppm"))),
             Oracle("hp2xx -q -m pbm -d 144 -f - p.hpgl | ppmtoppm"), "stdin");
  EXPECT_EQ(RunProgram({"sh", "-c", "ls '" + dir_.path() + "' | grep -c -e pvpf -e pv_"}).out,
            "0\n");
}

TEST_F(Filtered, WithoutFiltersVectorInputStaysUnknown) {
  sysdir_ = dir_.file("nosuchdir");
  for (const char *file : {"a.ps", "a.hpgl"}) {
    WriteFile(dir_.file("a.hpgl"), "IN;SP1;PU0,0;PD100,100;");
    const RunResult r = Convert({file, "out.ppm"});
    EXPECT_EQ(r.status, 1) << file;
    EXPECT_NE(RunProgram({"test", "-s", dir_.file("out.ppm")}).status, 0) << file;
  }
  EXPECT_NE(Convert({"a.hpgl", "out.ppm"}).err.find("Unknown type of file a.hpgl"),
            std::string::npos);
}

}  // namespace
