// Option tables, response files, typed queries and the crop parsers.
#include "common.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string g_info;  // what the info channel received
int g_info_calls = 0;

void CaptureInfo(const char *, char **text) {
  if (*text) g_info += *text;
  g_info_calls++;
  CmnStrFree(text);
}

// In death tests each info text goes to standard error between braces.
void BraceInfo(const char *, char **text) {
  fprintf(stderr, "{%s}", *text ? *text : "");
  CmnStrFree(text);
}

#define EXPECT_FATAL(statement, regex) \
  EXPECT_EXIT({ CmnSetInfoHandler(BraceInfo); statement; }, ::testing::ExitedWithCode(1), regex)

// A few rows shaped like the viewer's own table, plus rows for the
// prefix rules ("color" is a prefix of "colors" and so is never selected).
std::vector<CmdOptionTp> MakeTable() {
  return {{"", 0, nullptr, "GENERAL:"},       {"bartitle", 1, nullptr, "name of window"},
          {"help", 0, nullptr, ""},              {"info", 0, nullptr, nullptr},
          {"pageno", 1, nullptr, "Page number"}, {"timer", 1, nullptr, "(exit after n seconds)"},
          {"", 0, nullptr, "COLORS:"},           {"color", 1, nullptr, nullptr},
          {"colors", 1, nullptr, "0-256"},       {"brightness", 1, nullptr, "<-1.0-1.0>"},
          {"bluetint", 1, nullptr, "<-1.0-1.0>"}, {"resize", 1, nullptr, nullptr},
          {"scalemethod", 1, nullptr, "<x>"},    {"stampcolor", 1, nullptr, nullptr},
          {"labelspec", 4, nullptr, nullptr},    {"parentwindow", 1, nullptr, nullptr},
          {"parentwidth", 1, nullptr, nullptr},  {nullptr, 0, nullptr, nullptr}};
}

class CmdOptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table_ = MakeTable();
    saved_ = CmnInfoHandle;
    CmnSetInfoHandler(CaptureInfo);
    g_info.clear();
    g_info_calls = 0;
  }
  void TearDown() override {
    CmdFreeOpts(table_.data(), &files_);
    CmnSetInfoHandler(saved_);
    for (const std::string &path : temp_files_) unlink(path.c_str());
    unsetenv("PVDEBUGARGS");
  }

  CmdOptionTp *T() { return table_.data(); }

  void Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "pvtest");
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    CmdFreeOpts(nullptr, &files_);
    CmdParseArgs(static_cast<int>(args.size()), argv.data(), T(), &files_, &nfiles_);
  }

  std::string Opt(const char *name) {
    const char *v = static_cast<const char *>(CmdGetOpt(T(), name));
    return v ? v : "<null>";
  }

  // The values of a multi-value option, in list order.
  std::vector<std::string> List(const char *name) {
    std::vector<std::string> out;
    for (auto *n = static_cast<CmdValueNodeTp *>(CmdGetOpt(T(), name)); n; n = n->next)
      out.push_back(n->value);
    return out;
  }

  std::string WriteTemp(const std::string &content) {
    char path[] = "/tmp/pvcmdoptXXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    temp_files_.push_back(path);
    return path;
  }

  int32_t IntOf(const char *value) {
    Parse({"-timer", value});
    return CmdGetOptInt(T(), "timer", 42);
  }

  std::vector<CmdOptionTp> table_;
  char **files_ = nullptr;
  int nfiles_ = -1;
  CmnInfoHandlerTp saved_ = nullptr;
  std::vector<std::string> temp_files_;
};

// Prefixes, case and underscores; text after a blank is not matched; a
// name that prefixes a later row ("color") is never selected.
TEST_F(CmdOptTest, OptionNames) {
  Parse({"-bri", "0.5", "-Scale_Method", "interp", "-timer now", "5", "-colors", "8"});
  EXPECT_DOUBLE_EQ(CmdGetOptDouble(T(), "brightness", 0.0), 0.5);
  EXPECT_DOUBLE_EQ(CmdGetOptDouble(T(), "bright", 0.0), 0.5);
  EXPECT_EQ(Opt("SCALE_M"), "interp");
  EXPECT_EQ(Opt("timer"), "5");
  EXPECT_EQ(CmdGetOptInt(T(), "colors", 0), 8);
  EXPECT_FATAL(Parse({"-parentw", "5"}),
               "^\\{Ambiguous option: -parentw\n\\}\\{Valid options are: \n");
  EXPECT_FATAL(Parse({"-", "5"}), "\\{Ambiguous option: -\n\\}");
  EXPECT_FATAL(CmdGetOpt(T(), "parentw"), "\\{Ambiguous option: -parentw\n\\}");
  EXPECT_FATAL(Parse({"-color", "5"}), "Ambiguous option: -color\n");
  EXPECT_FATAL(CmdGetOpt(T(), "color"), "Ambiguous option: -color\n");
  EXPECT_FATAL(Parse({"-zzz"}), "^\\{Unrecognized option: -zzz\n\\}\\{Valid options are: \n");
  EXPECT_FATAL(CmdGetOpt(T(), "zzz"), "^\\{Unrecognized option: -zzz\n\\}");
}

TEST_F(CmdOptTest, FlagsAndFileNames) {
  Parse({"a.tif", "-help", "b.tif", "-timer", "3", "c.tif"});
  EXPECT_EQ(Opt("help"), "");
  EXPECT_EQ(Opt("info"), "<null>");
  ASSERT_EQ(nfiles_, 3);
  EXPECT_EQ(std::vector<std::string>(files_, files_ + 3),
            (std::vector<std::string>{"a.tif", "b.tif", "c.tif"}));
  EXPECT_EQ(files_[3], nullptr);
  CmdFreeOpts(T(), &files_);
  EXPECT_EQ(files_, nullptr);
  EXPECT_EQ(T()[2].value, nullptr);
}

TEST_F(CmdOptTest, OneValueOption) {
  Parse({"-timer"});  // last argument: not given
  EXPECT_EQ(CmdGetOptInt(T(), "timer", 7), 7);
  Parse({"-timer", "5", "-timer", "9"});  // last one wins
  EXPECT_EQ(CmdGetOptInt(T(), "timer", 7), 9);
  Parse({"-timer", "5", "-timer"});  // the earlier value is dropped too
  EXPECT_EQ(Opt("timer"), "<null>");
  setenv("PVTESTVAR", "abc", 1);
  Parse({"-bartitle", "$PVTESTVAR\\t"});  // stored verbatim
  EXPECT_EQ(Opt("bartitle"), "$PVTESTVAR\\t");
  Parse({"-timer", ""});
  EXPECT_FATAL(CmdGetOpt(T(), "timer"), "\\{CmdGetOpt: Missing value for option: timer\n\\}");
}

TEST_F(CmdOptTest, MultiValueOptionAccumulatesExpandedValues) {
  setenv("PVTESTVAR", "abc", 1);
  Parse({"-labelspec", "1", "2", "3", "4", "x.tif", "-label", "$PVTESTVAR", "b\\tc", "7", "8"});
  EXPECT_EQ(List("labelspec"),
            (std::vector<std::string>{"1", "2", "3", "4", "abc", "b\tc", "7", "8"}));
  EXPECT_EQ(nfiles_, 1);
  EXPECT_FATAL(Parse({"-labelspec", "a", "b", "c"}),
               "^\\{Missing values in option \\[-labelspec\\], which takes 4 values\n"
               "Giving up!!!\n\\}$");
}

TEST_F(CmdOptTest, ExpandValue) {
  setenv("PVTESTVAR", "abc", 1);
  setenv("PVTEST", "P", 1);
  unsetenv("PVTESTUNSET");
  struct {
    const char *in, *out;
  } cases[] = {
      {"x$PVTESTVAR/y", "xabc/y"},  {"$PVTEST_VAR", "P_VAR"},  {"[$PVTESTUNSET]", "[]"},
      {"\\\"\\'\\\\", "\"'\\"},     {"\\b\\f\\n\\r\\t\\v", "\b\f\n\r\t\v"},
      {"\\101\\1018", "AA8"},       {"\\q", "q"},              {"end\\", "end"},
  };
  for (const auto &c : cases) {
    char *out = CmdExpandValue(c.in);
    EXPECT_STREQ(out, c.out) << c.in;
    free(out);
  }
}

TEST_F(CmdOptTest, ResponseFileWordsQuotesAndCommandHeader) {
  setenv("PVTESTVAR", "abc", 1);
  std::string path = WriteTemp(
      "QPLCMD -timer 9\n"
      "-pageno 2 -bar \"say \\\"hi\\\" $PVTESTVAR\"\n"
      "  -labelspec \"two words\" 'single \\' q' x\\101 ''\n");
  Parse({"@" + path, "file.tif"});
  EXPECT_EQ(Opt("timer"), "<null>");
  EXPECT_EQ(Opt("pageno"), "2");
  EXPECT_EQ(Opt("bartitle"), "say \"hi\" abc");
  EXPECT_EQ(List("labelspec"), (std::vector<std::string>{"two words", "single ' q", "xA", ""}));
  EXPECT_EQ(nfiles_, 1);
}

TEST_F(CmdOptTest, ResponseFileErrors) {
  EXPECT_FATAL(Parse({"@" + WriteTemp("-help image.tif\n")}),  // options only
               "\\{Unrecognized option: image.tif\n\\}");
  std::string dq = WriteTemp("-bar \"abc def\n");
  std::string sq = WriteTemp("-bar 'abc\n");
  EXPECT_FATAL(Parse({"@" + dq}), "^\\{ERROR: No trailling quote in \\[\"abc def\n\\]\n\\}$");
  EXPECT_FATAL(Parse({"@" + sq}), "^\\{ERROR: No trailling quote in string \\['abc\n\\]\n\\}$");
  EXPECT_FATAL(Parse({"@/nonexistent/pv.rsp"}), "/nonexistent/pv.rsp: No such file or directory\n");
}

TEST_F(CmdOptTest, ResponseFileBinaryContentNeverCrashes) {
  // A line that begins with NUL ends the file.
  Parse({"@" + WriteTemp(std::string("\0-timer 5\n", 10))});
  EXPECT_EQ(Opt("timer"), "<null>");
  std::string noise;
  for (unsigned i = 0, seed = 12345; i < 8192; i++)
    noise += static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
  std::string path = WriteTemp(noise);
  EXPECT_EXIT({ CmnSetInfoHandler(BraceInfo); Parse({"@" + path}); exit(0); },
              [](int status) { return WIFEXITED(status) && WEXITSTATUS(status) <= 1; }, "");
}

TEST_F(CmdOptTest, HugeArgumentsAreKeptWhole) {
  std::string big(100 * 1024, 'a');
  Parse({"-bartitle", big});
  EXPECT_EQ(Opt("bartitle"), big);
  Parse({"@" + WriteTemp("-bartitle " + big + "\n-labelspec \"" + big + "\" b c d\n")});
  EXPECT_EQ(Opt("bartitle"), big);
  EXPECT_EQ(List("labelspec")[0], big);
}

TEST_F(CmdOptTest, DebugTracing) {
  std::string path = WriteTemp("-pageno 2\n");
  setenv("PVDEBUGARGS", "1", 1);
  ::testing::internal::CaptureStderr();
  Parse({"-timer", "5", "a.tif", "@" + path});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "------------------pvtest\n[-timer 5 ]\n[a.tif]\n[ -pageno 2 ] ------------------\n");
}

TEST_F(CmdOptTest, IntegerForms) {
  EXPECT_EQ(CmdGetOptInt(T(), "timer", 42), 42);
  struct {
    const char *in;
    int32_t out;
  } good[] = {{"0x1F", 31}, {"0X1f", 31}, {"017", 15}, {"-12", -12}, {"+7", 7},
              {"none", 0},  {"n", 0},     {"no", 0},   {"-", 0},     {"08", 0}};
  for (const auto &c : good) EXPECT_EQ(IntOf(c.in), c.out) << c.in;
  for (const char *bad : {"1F", "12-3", "0xx1", "+-1", "1.5", "None"}) {
    std::string quoted;
    for (const char *c = bad; *c; c++) quoted += std::string(*c == '+' || *c == '.' ? "\\" : "") + *c;
    EXPECT_FATAL(IntOf(bad), "^\\{CmdGetOptInt: Bad value \\[" + quoted +
                                 "\\] for option \\[-timer\\]\n"
                                 "   The value must be an integer in one of the forms:\n"
                                 "      decimal        ddd\n"
                                 "      octal         0ddd \\(with d in the range 0-7\\)\n"
                                 "   or hexadecimal  0xddd \\(with d in the range 0-9,A-F\\)\n\\}$");
  }
}

TEST_F(CmdOptTest, DoubleReadsTheLeadingNumber) {
  EXPECT_DOUBLE_EQ(CmdGetOptDouble(T(), "brightness", -0.5), -0.5);
  Parse({"-bri", "0.25abc"});
  EXPECT_DOUBLE_EQ(CmdGetOptDouble(T(), "brightness", 0.0), 0.25);
  Parse({"-bri", "abc"});
  EXPECT_FATAL(CmdGetOptDouble(T(), "brightness", 0.0),
               "\\{CmdGetOptDouble: Bad value \\[abc\\] for option \\[-brightness\\]\n\\}");
}

#define RESIZE_WORDS "shrink", "fit", "noresize", "obey", nullptr

// Index and choice queries: prefixes, case, ambiguity, star words, the limit.
TEST_F(CmdOptTest, WordQueries) {
  EXPECT_EQ(CmdGetOptIndex(T(), "resize", RESIZE_WORDS), 0);
  Parse({"-resize", "no"});
  EXPECT_EQ(CmdGetOptIndex(T(), "resize", RESIZE_WORDS), 3);
  Parse({"-resize", "NoResize"});
  EXPECT_EQ(CmdGetOptIndex(T(), "resize", RESIZE_WORDS), 3);
  Parse({"-resize", "x"});
  EXPECT_EQ(CmdGetOptIndex(T(), "resize", RESIZE_WORDS), -1);
  EXPECT_EQ(g_info,
            "Bad value [x] for option [-resize]\nSupported values are:\n"
            "    [shrink]\n    [fit]\n    [noresize]\n    [obey]\n");
  EXPECT_EQ(g_info_calls, 1);
  g_info.clear();
  Parse({"-stampcolor", "bla"});
  EXPECT_STREQ(CmdGetOptChoice(T(), "stampcolor", "black", "blue", nullptr), "black");
  Parse({"-stampcolor", "b"});
  EXPECT_STREQ(CmdGetOptChoice(T(), "stampcolor", "black", "blue", nullptr), "");
  EXPECT_EQ(g_info,
            "Ambiguous value [b] for option [-stampcolor]\nSupported values are:\n"
            "    [black]\n    [blue]\n");
  Parse({"-stampcolor", "Custom_42"});
  EXPECT_STREQ(CmdGetOptChoice(T(), "stampcolor", "black", "custom*", nullptr), "custom*");
  Parse({"-stampcolor", "cust"});  // a star word is not matched by prefix
  EXPECT_STREQ(CmdGetOptChoice(T(), "stampcolor", "black", "custom*", nullptr), "");
#define W4 "w", "w", "w", "w"
#define W16 W4, W4, W4, W4
#define W64 W16, W16, W16, W16
  CmdFreeOpts(T(), &files_);  // -resize unset again
  EXPECT_EQ(CmdGetOptIndex(T(), "resize", W64, W64, W64, W16, W16, W16, W4, W4, W4, "w", "w",
                           "w", nullptr),
            0);  // 255 words
  EXPECT_EXIT(CmdGetOptIndex(T(), "resize", W64, W64, W64, W64, nullptr),
              ::testing::ExitedWithCode(1),
              "^Wow: You hit a hard limit of max 256 values for an option\n$");
}

TEST_F(CmdOptTest, HelpListing) {
  CmdOptionTp table[] = {
      {"", 0, nullptr, "GENERAL:"},   {"help", 0, nullptr, ""},
      {"info", 0, nullptr, nullptr},  {"pageno", 1, nullptr, "Page number"},
      {"", 0, nullptr, nullptr},      {"", 0, nullptr, "COLORS:"},
      {"scalemethodlong", 1, nullptr, "<x>"}, {nullptr, 0, nullptr, nullptr},
  };
  CmdPrintOptions(table);
  EXPECT_EQ(g_info,
            "Valid options are: \n"
            "\nGENERAL:\n"
            " -help           \n"
            " -pageno         Page number\n"
            "\nCOLORS:\n"
            " -scalemethodlong <x>\n");
  EXPECT_EQ(g_info_calls, 1);
}

TEST(CmdCropTest, AbsoluteCropOn1000x800) {
  struct { const char *text; int32_t w, h, x, y; } cases[] = {
      {"500x400+10+20", 500, 400, 10, 20}, {"500x400-10-20", 500, 400, 490, 380},
      {"900-200", 800, 1, 0, 0}, {"300", 300, 1, 0, 0}, {"x300", 1, 300, 0, 0},
      {"2000x2000+0+0", 1000, 800, 0, 0}, {"500x400junk", 500, 400, 0, 0}, {"0x0", 1, 1, 0, 0},
      {"500x400-5000-5000", 500, 400, 500, 400}, {"500x400+1000+800", 500, 400, 0, 0},
      {"+900+700", 1, 1, 900, 700}, {"800x400+300+500", 700, 300, 300, 500}};
  for (const auto &c : cases) {
    int32_t w = 1000, h = 800, x = -1, y = -1;
    CmdParseCrop(c.text, &w, &h, &x, &y);
    EXPECT_EQ(std::vector<int32_t>({w, h, x, y}), std::vector<int32_t>({c.w, c.h, c.x, c.y}))
        << c.text;
  }
  int32_t w = 1000, h = 800, x = -1, y = -1;
  CmdParseCrop("", &w, &h, &x, &y);
  CmdParseCrop(nullptr, &w, &h, &x, &y);
  EXPECT_EQ(std::vector<int32_t>({w, h, x, y}), std::vector<int32_t>({1000, 800, -1, -1}));

  EXPECT_EXIT(CmdParseCrop("500x400+10+20junk", &w, &h, &x, &y), ::testing::ExitedWithCode(1),
              "^Bad format for crop.. \\[junk\\]\n$");
  EXPECT_EXIT(CmdParseCrop("abc", &w, &h, &x, &y), ::testing::ExitedWithCode(1),
              "^Bad format for crop.. \\[abc\\]\n$");
  int32_t zero = 0;
  EXPECT_EXIT(CmdParseCrop("10x10", &zero, &h, &x, &y), ::testing::ExitedWithCode(1),
              "^Input size is 0x800 - cannot crop\n$");
}

TEST(CmdCropTest, RelativeCrop) {
  struct { const char *text; double w, h, x, y; } cases[] = {
      {"0.5x0.5-0.1-0.1", 0.5, 0.5, 0.4, 0.4}, {"0.5x0.5+0.25+0.75", 0.5, 0.25, 0.25, 0.75},
      {"2x0.5", 1.0, 0.5, 0.0, 0.0}, {"0x0.5", 1.0, 0.5, 0.0, 0.0}, {"0.9-0.2", 0.8, 1.0, 0.0, 0.0}};
  for (const auto &c : cases) {
    double v[4] = {7, 7, 7, 7}, want[4] = {c.w, c.h, c.x, c.y};
    CmdParseRelCrop(c.text, &v[0], &v[1], &v[2], &v[3]);
    for (int i = 0; i < 4; i++) EXPECT_NEAR(v[i], want[i], 1e-12) << c.text << " #" << i;
  }
  double w = 7, h = 7, x = 7, y = 7;
  EXPECT_EXIT(CmdParseRelCrop("abc", &w, &h, &x, &y), ::testing::ExitedWithCode(1),
              "^Bad format for relative crop.. \\[abc\\]\n$");
  EXPECT_EXIT(CmdParseRelCrop("0.5x0.5+0.1+0.1z", &w, &h, &x, &y), ::testing::ExitedWithCode(1),
              "^Bad format for relative crop.. \\[z\\]\n$");
}

}  // namespace
