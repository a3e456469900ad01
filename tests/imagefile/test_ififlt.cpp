// Conversion filters: the description file, matching, command expansion
// and the pipeline run inside the open, with small shell scripts standing
// in for the filter programs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "imagefile.h"
#include "runprog.h"

namespace {

const std::string kCgm("\x00\x22 binary metafile", 18);  // identified as binary CGM
const std::string kPpm = "P6\n2 1\n255\n\xff\x00\x00\x00\x00\xff";

// The lines of text in order: the stages of a pipeline start together.
std::string Sorted(const std::string &text) {
  std::vector<std::string> lines;
  for (size_t from = 0, end; from < text.size(); from = end + 1) {
    end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(from, end - from));
  }
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string &line : lines) out += line + "\n";
  return out;
}

class Filters : public testing::Test {
 protected:
  void SetUp() override {
    IfiFilterStageFn = IfiFilterStage;  // other tests put stand-ins here
    IfiIdentifyFn = IfiIdentifyChecked;
    saved_size_ = graphics_size;
    graphics_size = 1500;
    setenv("PVDEBUGFILTER", "1", 1);  // messages to stderr, not to a log in TMPDIR
    setenv("TMPDIR", dir_.path().c_str(), 1);
  }
  void TearDown() override {
    IfiUnloadFilters();
    graphics_size = saved_size_;
    unsetenv("PVDEBUGFILTER");
    unsetenv("TMPDIR");
  }
  void Table(const std::string &text) {
    WriteFile(dir_.file("filters"), text);
    ASSERT_EQ(IfiLoadFiltersFrom(dir_.file("filters").c_str()), 0);
  }
  // An executable script in the test directory; each run adds its name to
  // the file "runs".
  std::string Script(const std::string &name, const std::string &body) {
    const std::string path = dir_.file(name);
    WriteFile(path, "#!/bin/sh\necho " + name + " >> '" + dir_.file("runs") + "'\n" + body + "\n");
    chmod(path.c_str(), 0755);
    return path;
  }
  // Opens the file, reports its type and what ran, and closes it.
  uint32_t Open(const std::string &name, std::string *runs = nullptr) {
    unlink(dir_.file("runs").c_str());
    IffFileSpecTp spec = {name.c_str(), nullptr, 0};
    IfiHandleTp *h = nullptr;
    if (IfiOpenRead(nullptr, &spec, &h) != 0) return 0xFFFFFFFFu;
    const uint32_t type = h->file_type;
    IfiClose(h);
    if (runs) *runs = ReadFile(dir_.file("runs"));
    return type;
  }
  TempDir dir_;
  int saved_size_ = 0;
};

TEST_F(Filters, DescriptionFile) {
  Table("# comment\n   \n"
        "*xzPDF \"gs -r%R -g%S %F\" \"PDF, %s.\"\n"
        "IN; \"plot -a %A\" plot\n"
        "*xzSVG svg \"\"\n");
  EXPECT_STREQ(filters[0].command, "gs -r%R -g%S %F");
  EXPECT_STREQ(filters[0].description, "PDF, %s.");
  EXPECT_EQ(filters[0].rasterized + filters[0].scaled + filters[0].uses_file_name, 3);
  EXPECT_EQ(filters[1].uses_angle, 1);
  EXPECT_EQ(filters[1].rasterized, 0);
  EXPECT_STREQ(filters[2].description, "");
  EXPECT_EQ(filters[3].tag, nullptr);

  // Only 64 lines are read.
  std::string many;
  for (int i = 0; i < 100; ++i) many += "T" + std::to_string(i) + " cat x\n";
  Table(many);
  EXPECT_STREQ(filters[63].tag, "T63");

  EXPECT_EQ(IfiLoadFiltersFrom(dir_.file("missing").c_str()), 1);
  EXPECT_EQ(filters[0].tag, nullptr);
}

TEST_F(Filters, LineWithoutDescriptionEndsTheProcess) {
  WriteFile(dir_.file("bad"), "*xzPDF cat d\n*xzSVG cat");
  EXPECT_EXIT(IfiLoadFiltersFrom(dir_.file("bad").c_str()), testing::ExitedWithCode(1),
              "Parse error reading filter description line\nFile: .*bad\nLine: \\*xzSVG cat");
}

TEST_F(Filters, CommandExpansion) {
  setenv("PVTESTVALUE", "a'b $(touch x) %R", 1);
  setenv("PV_CGM_LINES_PER_VDC", "100", 1);
  unsetenv("PVTESTUNSET");
  const struct {
    const char *tmpl, *want;
  } cases[] = {
      {"f -r%R -r%R %S %L %W %H %A", "f -r150 -r150 3000 30 300 600 90"},
      {"f %F", "f 'it'\\''s'"},
      {"f $PVTESTVALUE", "f 'a'\\''b $(touch x) %R'"},  // quoted, never expanded again
      {"f $PVTESTUNSET.x $ $(", "f .x $ $("},
  };
  for (const auto &c : cases) {
    Table(std::string("t \"") + c.tmpl + "\" d\n");
    char *out = nullptr;
    IfiExpandFilterCommand(&out, 0, "it's", 150, 3000, 144, 288, 90);
    EXPECT_STREQ(out, c.want) << c.tmpl;
    CmnStrFree(&out);
  }
  unsetenv("PVTESTVALUE");
  unsetenv("PV_CGM_LINES_PER_VDC");
}

TEST_F(Filters, Matching) {
  const std::string yes = Script("yes", "exit 0"), no = Script("no", "exit 1");
  Table("*" + no + " cat never\n"
        "*xzCGMTEXT cat cgm\n"
        "*xzCALCOMP cat calcomp\n"
        "%PDF \"cat %S\" scaled\n"
        "%PDF cat pdf\n"
        "*" + yes + " cat test\n");
  const auto find = [](const std::string &in) {
    return IfiFindFilter(reinterpret_cast<const unsigned char *>(in.data()),
                         static_cast<int32_t>(in.size()), nullptr);
  };
  EXPECT_EQ(find(kCgm), 1);  // a CGMTEXT tag serves binary CGM too
  EXPECT_EQ(find("&&&&CALCOMP DEVICE CONTROL and more"), 2);
  EXPECT_EQ(find(std::string("xx\x02\x05\x06\x05\x05\x06 rest of the plot...")), 2);
  EXPECT_EQ(find("%PDF-1.4"), 3);
  graphics_size = 0;
  EXPECT_EQ(find("%PDF-1.4"), 4);  // the scaled line waits for a size
  EXPECT_EQ(find("anything"), 5);
  // The refusing program was asked on every search; the other only once,
  // when nothing before it matched.
  EXPECT_EQ(ReadFile(dir_.file("runs")), "no\nno\nno\nno\nno\nno\nyes\n");

  char *description = strdup("Base\n");
  graphics_size = 1500;
  Table("%PDF cat \"Converted %s.\"\n");
  IfiFindFilter(reinterpret_cast<const unsigned char *>("%PDF"), 4, &description);
  EXPECT_STREQ(description, "Converted Base.\n");
  free(description);
}

TEST_F(Filters, ChainsRunUntilARaster) {
  WriteFile(dir_.file("in.cgm"), kCgm);
  WriteFile(dir_.file("out.ppm"), kPpm);
  const std::string to_ps = Script("tops", "cat > /dev/null; printf '%%!PS-Adobe-3.0\\n'");
  const std::string to_ppm = Script("toppm", "cat > /dev/null; cat '" + dir_.file("out.ppm") + "'");
  Table("*xzCGM " + to_ps + " cgm\n*xzPOSTSCRIPT " + to_ppm + " ps\n");
  std::string runs;
  EXPECT_EQ(Open(dir_.file("in.cgm"), &runs), uint32_t{IFF_TYPE_PBM});
  EXPECT_EQ(Sorted(runs), "toppm\ntops\ntops\n");  // the first pass, then the whole chain

  // A filter whose output is its own input type runs at most twice.
  Table("*xzCGM " + Script("same", "cat") + " cgm\n");
  EXPECT_EQ(Open(dir_.file("in.cgm"), &runs), uint32_t{IFF_TYPE_CGM});
  EXPECT_EQ(runs, "same\nsame\nsame\n");  // alone, then twice in the chain
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // every filter reaped
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(Filters, FailingFiltersLeaveAnUnknownFile) {
  WriteFile(dir_.file("in.cgm"), kCgm);
  const struct {
    const char *name, *body;
  } cases[] = {
      {"fails", "exit 3"},
      {"silent", "cat > /dev/null"},
      {"garbage", "printf '\\001\\002\\003 junk'"},
      {"slow", "sleep 1"},
  };
  for (const auto &c : cases) {
    Table("*xzCGM " + Script(c.name, c.body) + " cgm\n");
    EXPECT_EQ(Open(dir_.file("in.cgm")), uint32_t{IFF_TYPE_UNKNOWN}) << c.name;
  }
  // A program that is not there is not run: the input stays what it was.
  Table("*xzCGM /nonexistent/filter cgm\n");
  EXPECT_EQ(Open(dir_.file("in.cgm")), uint32_t{IFF_TYPE_CGM});
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  // Nothing of ours stays in the temporary directory.
  for (const char *left : {"pvpf", "pv_"})
    EXPECT_EQ(RunProgram({"sh", "-c", "ls " + dir_.path() + " | grep -c ^" + left}).out, "0\n");
}

}  // namespace
