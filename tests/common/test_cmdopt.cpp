// Option tables, response files, typed queries and the crop parsers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "runprog.h"

namespace {

std::string g_info;  // what the info channel received

void CaptureInfo(const char *, char **text) {
  if (*text) g_info += *text;
  CmnStrFree(text);
}

// In death tests each info text goes to standard error between braces.
void BraceInfo(const char *, char **text) {
  fprintf(stderr, "{%s}", *text ? *text : "");
  CmnStrFree(text);
}

#define EXPECT_FATAL(expression, regex) \
  EXPECT_EXIT((CmnSetInfoHandler(BraceInfo), expression), ::testing::ExitedWithCode(1), regex)

// Rows for the prefix rules: "color" is a prefix of "colors" and so is
// never selected, "parentw" is ambiguous and "bri" is not.
std::vector<CmdOptionTp> MakeTable() {
  return {{"bartitle", 1, nullptr, nullptr},    {"help", 0, nullptr, nullptr},
          {"info", 0, nullptr, nullptr},        {"pageno", 1, nullptr, nullptr},
          {"timer", 1, nullptr, nullptr},       {"color", 1, nullptr, nullptr},
          {"colors", 1, nullptr, nullptr},      {"brightness", 1, nullptr, nullptr},
          {"bluetint", 1, nullptr, nullptr},    {"resize", 1, nullptr, nullptr},
          {"scalemethod", 1, nullptr, nullptr}, {"stampcolor", 1, nullptr, nullptr},
          {"labelspec", 4, nullptr, nullptr},   {"parentwindow", 1, nullptr, nullptr},
          {"parentwidth", 1, nullptr, nullptr}, {nullptr, 0, nullptr, nullptr}};
}

class CmdOptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table_ = MakeTable();
    saved_ = CmnInfoHandle;
    CmnSetInfoHandler(CaptureInfo);
    g_info.clear();
  }
  void TearDown() override {
    CmdFreeOpts(table_.data(), &files_);
    CmnSetInfoHandler(saved_);
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
    std::string path = dir_.file(std::to_string(++temps_));
    WriteFile(path, content);
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
  TempDir dir_;
  int temps_ = 0;
};

// Prefixes, case and underscores; text after a blank is not matched; a
// name that prefixes a later row ("color") is never selected. A double is
// read from the leading number.
TEST_F(CmdOptTest, OptionNames) {
  Parse({"-bri", "0.25abc", "-Scale_Method", "interp", "-timer now", "5", "-colors", "8"});
  EXPECT_DOUBLE_EQ(CmdGetOptDouble(T(), "brightness", 0.0), 0.25);
  EXPECT_DOUBLE_EQ(CmdGetOptDouble(T(), "bright", 0.0), 0.25);
  EXPECT_DOUBLE_EQ(CmdGetOptDouble(T(), "bluetint", -0.5), -0.5);
  EXPECT_EQ(Opt("SCALE_M"), "interp");
  EXPECT_EQ(Opt("timer"), "5");
  EXPECT_EQ(CmdGetOptInt(T(), "colors", 0), 8);
  // On the command line the typed word is shown as it is; a query adds the dash.
  EXPECT_FATAL(Parse({"-", "5"}), "^\\{Ambiguous option: -\n\\}\\{Valid options are: \n");
  EXPECT_FATAL(CmdGetOpt(T(), "parentw"), "^\\{Ambiguous option: -parentw\n\\}");
  EXPECT_FATAL(CmdGetOpt(T(), "color"), "Ambiguous option: -color\n");
  EXPECT_FATAL(CmdGetOpt(T(), "zzz"), "^\\{Unrecognized option: -zzz\n\\}\\{Valid options are: \n");
}

// Flags, options of one value and of several, and file names between them.
TEST_F(CmdOptTest, ValuesAndFileNames) {
  Parse({"a.tif", "-help", "b.tif", "-timer", "3", "c.tif"});
  EXPECT_EQ(Opt("help"), "");
  EXPECT_EQ(Opt("info"), "<null>");
  ASSERT_EQ(nfiles_, 3);
  EXPECT_EQ(std::vector<std::string>(files_, files_ + 3),
            (std::vector<std::string>{"a.tif", "b.tif", "c.tif"}));
  EXPECT_EQ(files_[3], nullptr);

  Parse({"-timer"});  // last argument: not given
  EXPECT_EQ(CmdGetOptInt(T(), "timer", 7), 7);
  Parse({"-timer", "5", "-timer", "9"});  // last one wins
  EXPECT_EQ(CmdGetOptInt(T(), "timer", 7), 9);
  Parse({"-timer", "5", "-timer"});  // the earlier value is dropped too
  EXPECT_EQ(Opt("timer"), "<null>");
  setenv("PVTESTVAR", "abc", 1);
  Parse({"-bartitle", "$PVTESTVAR\\t"});  // stored verbatim
  EXPECT_EQ(Opt("bartitle"), "$PVTESTVAR\\t");
  // Several values: expanded, and accumulated over repeats.
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
  } cases[] = {{"x$PVTESTVAR/y", "xabc/y"},
               {"$PVTEST_VAR", "P_VAR"},
               {"[$PVTESTUNSET]", "[]"},
               {"\\\"\\'\\\\", "\"'\\"},
               {"\\b\\f\\n\\r\\t\\v", "\b\f\n\r\t\v"},
               {"\\101\\1018", "AA8"},
               {"\\q", "q"},
               {"end\\", "end"}};
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

TEST_F(CmdOptTest, ResponseFileEdges) {
  EXPECT_FATAL(Parse({"@" + WriteTemp("-help image.tif\n")}),  // options only
               "\\{Unrecognized option: image.tif\n\\}");
  std::string sq = WriteTemp("-bar 'abc\n");
  EXPECT_FATAL(Parse({"@" + sq}), "^\\{ERROR: No trailling quote in string \\['abc\n\\]\n\\}$");
  // Lines are read in pieces: a word longer than a piece stays whole. A
  // line that begins with NUL ends the file.
  std::string big(100 * 1024, 'a');
  Parse({"@" + WriteTemp("-bartitle " + big + "\n-labelspec \"" + big + "\" b c d\n")});
  EXPECT_EQ(Opt("bartitle"), big);
  EXPECT_EQ(List("labelspec")[0], big);
  Parse({"@" + WriteTemp(std::string("\0\n-timer 5\n", 11))});
  EXPECT_EQ(Opt("timer"), "<null>");
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
  // Beyond 32 bits is refused rather than wrapped (to -1, say).
  for (const char *bad :
       {"1F", "12-3", "0xx1", "+-1", "1.5", "None", "99999999999999999999", "0x100000000"}) {
    std::string quoted;
    for (const char *c = bad; *c; c++)
      quoted += std::string(*c == '+' || *c == '.' ? "\\" : "") + *c;
    EXPECT_FATAL(IntOf(bad),
                 "^\\{CmdGetOptInt: Bad value \\[" + quoted +
                     "\\] for option \\[-timer\\]\n"
                     "   The value must be an integer in one of the forms:\n"
                     "      decimal        ddd\n"
                     "      octal         0ddd \\(with d in the range 0-7\\)\n"
                     "   or hexadecimal  0xddd \\(with d in the range 0-9,A-F\\)\n\\}$");
  }
}

// Values inside the range pass, outside it is the parser's message; the
// doubles refuse what no setting can use.
TEST_F(CmdOptTest, RangesAndFiniteDoubles) {
  EXPECT_EQ(CmdGetOptIntRange(T(), "timer", 3, 0, 9), 3);
  EXPECT_EQ((Parse({"-timer", "9"}), CmdGetOptIntRange(T(), "timer", 3, 0, 9)), 9);
  for (const char *bad : {"-1", "10"})
    EXPECT_FATAL((Parse({"-timer", bad}), CmdGetOptIntRange(T(), "timer", 3, 0, 9)),
                 std::string("^\\{CmdGetOptInt: Bad value \\[") + bad +
                     "\\] for option \\[-timer\\]\n   The value must be an integer from 0 to 9\n");
  for (const char *bad : {"nan", "-inf", "1e999"})
    EXPECT_FATAL((Parse({"-bri", bad}), CmdGetOptDouble(T(), "brightness", 0)),
                 "CmdGetOptDouble: Bad value");
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
  EXPECT_EQ(CmdGetOptIndex(T(), "resize", W64, W64, W64, W16, W16, W16, W4, W4, W4, "w", "w", "w",
                           nullptr),
            0);  // 255 words
  EXPECT_EXIT(CmdGetOptIndex(T(), "resize", W64, W64, W64, W64, nullptr),
              ::testing::ExitedWithCode(1),
              "^Wow: You hit a hard limit of max 256 values for an option\n$");
}

TEST(CmdCropTest, AbsoluteCropOn1000x800) {
  struct {
    const char *text;
    int32_t w, h, x, y;
  } cases[] = {{"500x400+10+20", 500, 400, 10, 20},
               {"500x400-10-20", 500, 400, 490, 380},
               {"900-200", 800, 1, 0, 0},
               {"300", 300, 1, 0, 0},
               {"x300", 1, 300, 0, 0},
               {"2000x2000+0+0", 1000, 800, 0, 0},
               {"500x400junk", 500, 400, 0, 0},
               {"0x0", 1, 1, 0, 0},
               {"500x400-5000-5000", 500, 400, 500, 400},
               {"500x400+1000+800", 500, 400, 0, 0},
               {"+900+700", 1, 1, 900, 700},
               {"800x400+300+500", 700, 300, 300, 500}};
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
  int32_t zero = 0;
  EXPECT_EXIT(CmdParseCrop("10x10", &zero, &h, &x, &y), ::testing::ExitedWithCode(1),
              "^Input size is 0x800 - cannot crop\n$");
}

TEST(CmdCropTest, RelativeCrop) {
  struct {
    const char *text;
    double w, h, x, y;
  } cases[] = {{"0.5x0.5-0.1-0.1", 0.5, 0.5, 0.4, 0.4},
               {"0.5x0.5+0.25+0.75", 0.5, 0.25, 0.25, 0.75},
               {"2x0.5", 1.0, 0.5, 0.0, 0.0},
               {"0x0.5", 1.0, 0.5, 0.0, 0.0},
               {"0.9-0.2", 0.8, 1.0, 0.0, 0.0}};
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
