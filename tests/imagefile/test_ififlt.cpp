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

#include "imagefile.h"
#include "runprog.h"

namespace {

const std::string kCgm("\x00\x22 binary metafile", 18);  // identified as binary CGM

class Filters : public testing::Test {
 protected:
  void SetUp() override {
    IfiFilterStageFn = IfiFilterStage;  // other tests put stand-ins here
    IfiIdentifyFn = IfiIdentifyChecked;
    graphics_size = 1500;
    setenv("PVDEBUGFILTER", "1", 1);  // messages to stderr, not to a log in TMPDIR
    setenv("TMPDIR", dir_.path().c_str(), 1);
    WriteFile(dir_.file("in.cgm"), kCgm);
  }
  void TearDown() override {
    IfiUnloadFilters(), unsetenv("PVDEBUGFILTER"), unsetenv("TMPDIR"), graphics_size = 0;
  }
  void Table(const std::string &text) {
    WriteFile(dir_.file("filters"), text);
    ASSERT_EQ(IfiLoadFiltersFrom(dir_.file("filters").c_str()), 0);
  }
  // An executable script that notes each run of it in the file "runs".
  std::string Script(const std::string &name, const std::string &body) {
    const std::string path = dir_.file(name);
    WriteFile(path, "#!/bin/sh\necho " + name + " >> '" + dir_.file("runs") + "'\n" + body + "\n");
    chmod(path.c_str(), 0755);
    return path;
  }
  int Runs(const std::string &name) {
    const std::string runs = "\n" + ReadFile(dir_.file("runs"));
    int n = 0;
    for (size_t at = 0; (at = runs.find("\n" + name + "\n", at)) != std::string::npos; ++at) ++n;
    return n;
  }
  // Opens in.cgm and reports the type it reads as.
  uint32_t Open() {
    unlink(dir_.file("runs").c_str());
    const std::string name = dir_.file("in.cgm");
    IffFileSpecTp spec = {name.c_str(), nullptr, 0};
    IfiHandleTp *h = nullptr;
    if (IfiOpenRead(nullptr, &spec, &h) != 0) return 0xFFFFFFFFu;
    const uint32_t type = h->file_type;
    IfiClose(h);
    return type;
  }
  TempDir dir_;
};

TEST_F(Filters, DescriptionFileAndMatching) {
  const std::string no = Script("no", "exit 1"), yes = Script("yes", "exit 0");
  Table("# comment\n   \n*" + no +
        " cat never\n*xzCGMTEXT \"cat %A\" cgm\n*xzCALCOMP cat c\n"
        "%PDF \"cat %S\" scaled\n%PDF \"cat %F\" \"Converted %s.\"\n*" +
        yes + " cat test\n");
  EXPECT_EQ(filters[1].uses_angle + filters[3].scaled + filters[3].rasterized, 3);
  EXPECT_EQ(filters[4].uses_file_name + filters[4].rasterized, 1);
  const auto find = [](const std::string &in) {
    return IfiFindFilter(reinterpret_cast<const unsigned char *>(in.data()),
                         static_cast<int32_t>(in.size()), nullptr);
  };
  EXPECT_EQ(find(kCgm), 1);  // a CGMTEXT tag serves binary CGM too
  EXPECT_EQ(find("&&&&CALCOMP DEVICE CONTROL and more"), 2);
  EXPECT_EQ(find("xx\x02\x05\x06\x05\x05\x06 rest of the plot..."), 2);
  EXPECT_EQ(find("%PDF-1.4"), 3);
  graphics_size = 0;
  EXPECT_EQ(find("%PDF-1.4"), 4);  // the scaled line waits for a size
  EXPECT_EQ(find("anything"), 5);
  EXPECT_EQ(Runs("no"), 6);  // asked on every search, and never a match
  char *description = strdup("Base\n");
  IfiFindFilter(reinterpret_cast<const unsigned char *>("%PDF"), 4, &description);
  EXPECT_STREQ(description, "Converted Base.\n");
  free(description);

  std::string many;  // only 64 lines are read
  for (int i = 0; i < 100; ++i) many += "T" + std::to_string(i) + " cat x\n";
  Table(many);
  EXPECT_STREQ(filters[63].tag, "T63");
  WriteFile(dir_.file("bad"), "*xzPDF cat d\n*xzSVG cat");
  EXPECT_EXIT(IfiLoadFiltersFrom(dir_.file("bad").c_str()), testing::ExitedWithCode(1),
              "Parse error reading filter description line\nFile: .*bad\nLine: \\*xzSVG cat");
}

TEST_F(Filters, ExpansionQuotesWhatComesFromOutside) {
  setenv("PVTESTVALUE", "a'b $(touch x) %R", 1);
  setenv("PV_CGM_LINES_PER_VDC", "100", 1);
  const struct {
    const char *tmpl, *want;
  } cases[] = {
      {"f -r%R -r%R %S %L %W %H %A", "f -r150 -r150 3000 30 300 600 90"},
      {"f %F", "f 'it'\\''s'"},
      {"f $PVTESTVALUE", "f 'a'\\''b $(touch x) %R'"},  // never expanded again
      {"f $PVTESTUNSET.x $ $(", "f .x $ $("},
  };
  for (const auto &c : cases) {
    Table(std::string("t \"") + c.tmpl + "\" d\n");
    char *out = nullptr;
    IfiExpandFilterCommand(&out, 0, "it's", 150, 3000, 144, 288, 90);
    EXPECT_STREQ(out, c.want) << c.tmpl;
    CmnStrFree(&out);
  }
  unsetenv("PV_CGM_LINES_PER_VDC");
}

TEST_F(Filters, PipelinesAndTheirFailures) {
  WriteFile(dir_.file("out.ppm"), "P6\n2 1\n255\n\xff\x00\x00\x00\x00\xff");
  Table("*xzCGM " + Script("tops", "cat > /dev/null; printf '%%!PS-Adobe-3.0\\n'") +
        " cgm\n*xzPOSTSCRIPT " + Script("toppm", "cat '" + dir_.file("out.ppm") + "'") + " ps\n");
  EXPECT_EQ(Open(), uint32_t{IFF_TYPE_PBM});
  EXPECT_EQ(Runs("tops") * 10 + Runs("toppm"), 21);  // the first pass, then the whole chain
  Table("*xzCGM " + Script("same", "cat") + " cgm\n");
  EXPECT_EQ(Open(), uint32_t{IFF_TYPE_CGM});
  EXPECT_EQ(Runs("same"), 3);  // alone, then twice in the chain, never three times

  for (const char *body : {"exit 3", "cat > /dev/null", "printf '\\001\\002 junk'", "sleep 1"}) {
    Table("*xzCGM " + Script("bad", body) + " cgm\n");
    EXPECT_EQ(Open(), uint32_t{IFF_TYPE_UNKNOWN}) << body;
  }
  Table("*xzCGM /nonexistent/filter cgm\n");  // not run: the input stays as it was
  EXPECT_EQ(Open(), uint32_t{IFF_TYPE_CGM});
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // every filter reaped
  EXPECT_EQ(errno, ECHILD);
  EXPECT_EQ(RunProgram({"sh", "-c", "ls " + dir_.path() + " | grep -c -e pvpf -e pv_"}).out, "0\n");
}

}  // namespace
