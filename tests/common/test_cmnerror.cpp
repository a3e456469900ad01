// Raising, message texts, suppression, the shared scratch text and the
// info channel.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// Every test starts from the default handlers, no filters and no debug.
class ErrorLayer : public testing::Test {
 protected:
  void SetUp() override {
    CmnSetErrorHandler(CmnDefaultErrorHandler);
    CmnSetInfoHandler(CmnDefaultInfoHandler);
    pvdebug = 0;
  }
  void TearDown() override { SetUp(); }

  // What raising prints, and what it returns.
  static std::string Raise(ReturnTp code, ReturnTp *rc, const char *arg = nullptr) {
    CaptureStderr();
    *rc = arg ? CmnError("ifdtiff", 77, code, arg) : CmnError("cmdopt", 503, code);
    return GetCapturedStderr();
  }
};

// Information and warnings come back as 0, errors marked as reported;
// severity 8, and any severity that is not 1, 2 or 4, is internal and
// always names its source and line. A marked code passes up silently.
TEST_F(ErrorLayer, SeverityDecidesLineAndResult) {
  const struct {
    ReturnTp code;
    const char *arg, *printed;
    ReturnTp returned;
  } cases[] = {
      {0x00020001u, "a.xyz", "Warning: Unknown type of file a.xyz\n", 0},
      {0x22010001u, nullptr, "Info: No more pages\n", 0},
      {0x00040003u, nullptr, "Error: Not enough memory\n", 0x00140003u},
      {0x00140003u, nullptr, "", 0x00140003u},
      {0, nullptr, "", 0},
      {0x200800FFu, nullptr, "Internal Error: Internal error (cmdopt   503)\n", 0x201800FFu},
      {0x12030001u, nullptr, "Internal Error: Unknown Error 0x12030001 (cmdopt   503)\n",
       0x12130001u},
      {0x12040099u, nullptr, "Error: Unknown Error 0x12040099\n", 0x12140099u}};
  for (const auto &c : cases) {
    ReturnTp rc;
    EXPECT_EQ(Raise(c.code, &rc, c.arg), c.printed) << std::hex << c.code;
    EXPECT_EQ(rc, c.returned) << std::hex << c.code;
  }
  EXPECT_EQ(CmnErrno, 0x12040099u);

  // Without a handler the code is recorded but not marked.
  CmnSetErrorHandler(nullptr);
  ReturnTp rc;
  EXPECT_EQ(Raise(0x08080009u, &rc), "");
  EXPECT_EQ(rc, 0x08080009u);
  EXPECT_EQ(CmnErrno, 0x08080009u);
}

std::string g_debug;
void DebugSink(const char *text) { g_debug += text; }

TEST_F(ErrorLayer, DebugLevel) {
  pvdebug = 1;
  // Debug texts up to the level are shown, with backspaces applied.
  CmnDebugHandlerTp saved = CmnHandleDebug;
  CmnHandleDebug = DebugSink;
  CmnDebug(2, "hidden %d", 1);
  CmnDebug(1, "shown %d ab\\bc", 2);
  CmnHandleDebug = saved;
  EXPECT_EQ(g_debug, "shown 2 ac");

  // Messages name their source and line.
  ReturnTp rc;
  EXPECT_EQ(Raise(0x00040003u, &rc), "Error: Not enough memory (cmdopt   503)\n");

  // The source name gives way to a long message: 150 characters minus the
  // message's length, never a negative count.
  for (size_t length : {148, 400}) {
    std::string text(length, 'm');
    EXPECT_EQ(Raise(0x00040019u, &rc, text.c_str()),
              "Error: " + text + (length == 148 ? " (if    77)\n" : " (    77)\n"));
  }
}

TEST_F(ErrorLayer, SuppressionReturnsCodeUnmarked) {
  ReturnTp rc;
  CmnFilterOn(CMN_SEV_WARNING);
  EXPECT_EQ(Raise(0x00020001u, &rc, "x"), "");
  EXPECT_EQ(rc, 0x00020001u) << "neither printed nor swallowed";
  // Errors are not touched by the warning counter.
  EXPECT_EQ(Raise(0x00040003u, &rc), "Error: Not enough memory\n");
  CmnFilterOff(CMN_SEV_WARNING);

  // Counters nest, and lowering never goes below zero.
  CmnFilterOn(CMN_SEV_ERROR | CMN_SEV_INTERNAL);
  CmnFilterOn(CMN_SEV_ERROR);
  CmnFilterOff(CMN_SEV_ERROR);
  EXPECT_EQ(Raise(0x00040003u, &rc), "");
  EXPECT_EQ(rc, 0x00040003u);
  EXPECT_EQ(Raise(0x200800FFu, &rc), "");
  CmnFilterOff(CMN_SEV_ERROR | CMN_SEV_INTERNAL);
  CmnFilterOff(CMN_SEV_ERROR | CMN_SEV_INTERNAL);
  CmnFilterOn(CMN_SEV_ERROR);
  EXPECT_EQ(Raise(0x00040003u, &rc), "");
  CmnFilterOff(CMN_SEV_ERROR);
  EXPECT_EQ(Raise(0x00040003u, &rc), "Error: Not enough memory\n");
}

// A code hidden by the filter and passed up once the filter is off keeps
// the text of its first raise; a code passed up that was never raised
// prints without its arguments instead of reading them from nowhere.
TEST_F(ErrorLayer, PassingUpAHiddenCodeKeepsItsText) {
  CmnFilterOn(CMN_SEV_ERROR);
  const ReturnTp hidden = CmnError("ifiio", 10, 0x00040015u, "out.tif");
  CmnFilterOff(CMN_SEV_ERROR);
  ASSERT_EQ(hidden, 0x00040015u);
  CaptureStderr();
  EXPECT_EQ(CmnReraise("iff", 20, hidden), 0x00140015u);
  EXPECT_EQ(CmnReraise("img", 30, 0x00140015u), 0x00140015u) << "marked: passed up silently";
  EXPECT_EQ(CmnReraise("ifdsgi", 40, 0x00040016u), 0x00140016u);
  EXPECT_EQ(GetCapturedStderr(),
            "Error: Cannot write out.tif\nError: Name, <>, too long. Max  allowed\n");
}

std::vector<std::string> g_seen;
void RecordingHandler(ReturnTp code) { g_seen.push_back(CmnErrorText(code, nullptr, nullptr)); }

TEST_F(ErrorLayer, MessageTextKeepsArgumentsOfTheLastRaise) {
  g_seen.clear();
  CmnSetErrorHandler(RecordingHandler);
  CmnError("ifiio", 10, 0x00040015u, "out.tif");
  CmnError("ifiio", 11, 0x00040016u, "longname", 14);
  ASSERT_EQ(g_seen.size(), 2u);
  EXPECT_EQ(g_seen[0], "Cannot write out.tif");
  EXPECT_EQ(g_seen[1], "Name, <longname>, too long. Max 14 allowed");
  // After the raise the last message can still be asked for; another code's
  // arguments are gone and are left out rather than read from nowhere.
  EXPECT_STREQ(CmnErrorText(0x00140016u, nullptr, nullptr),
               "Name, <longname>, too long. Max 14 allowed");
  EXPECT_STREQ(CmnErrorText(0x00040015u, nullptr, nullptr), "Cannot write ");
}

// A caller's own table is searched after the main one.
TEST_F(ErrorLayer, ExtensionTable) {
  static const CmnErrorTableTp ext[] = {
      {0x31040001u, "Printer on fire"}, {0x00040003u, "shadowed"}, {0, nullptr}};
  EXPECT_STREQ(CmnErrorText(0x31040001u, ext, nullptr), "Printer on fire");
  EXPECT_STREQ(CmnErrorText(0x00040003u, ext, nullptr), "Not enough memory");
  EXPECT_STREQ(CmnErrorText(0x31040002u, ext, nullptr), "Unknown Error 0x31040002");
}

TEST_F(ErrorLayer, BackspaceRemovesThePrecedingCharacter) {
  ReturnTp rc;
  const char *cases[][2] = {
      {"abc\\bd", "abd"}, {"\\bxy", "xy"}, {"ab\\b\\bc", "c"}, {"a\\\\bb", "ab"}};
  for (const auto &c : cases)
    EXPECT_EQ(Raise(0x00040019u, &rc, c[0]), std::string("Error: ") + c[1] + "\n") << c[0];
}

TEST_F(ErrorLayer, SysErrorNamesTheSystemReason) {
  ReturnTp rc;
  CaptureStderr();
  errno = ENOENT;
  rc = CmnSysError("missing.pbm");
  EXPECT_EQ(GetCapturedStderr(), "Error: missing.pbm: No such file or directory\n");
  EXPECT_EQ(rc, 0x00140019u);
}

TEST(ScratchText, DestinationRules) {
  // No destination: the scratch text itself.
  char *scratch = CmnStrPrintf(nullptr, "n=%d", 5);
  EXPECT_STREQ(scratch, "n=5");

  char *text = nullptr;
  EXPECT_STREQ(CmnStrPrintf(&text, "%s", ""), "");  // a null text becomes an empty heap text
  ASSERT_NE(text, nullptr);
  EXPECT_NE(text, CmnStrPrintf(nullptr, "x"));
  CmnStrPrintf(&text, "abc");
  CmnStrPrintf(&text, "%s", "");  // an empty result leaves it as it is
  CmnStrPrintf(&text, "-%d", 42);
  EXPECT_STREQ(text, "abc-42");
  char *before = text;
  EXPECT_EQ(CmnStrPrintf(&text, nullptr), before);  // a null format changes nothing
  EXPECT_STREQ(text, "abc-42");

  std::string big(5000, 'z');
  CmnStrPrintf(&text, "%s", big.c_str());
  EXPECT_EQ(std::string(text), "abc-42" + big);
  CmnStrFree(&text);
  EXPECT_EQ(text, nullptr);
  CmnStrFree(&text);  // freeing twice is harmless
}

std::vector<std::pair<std::string, std::string>> g_info;
void InfoSink(const char *kind, char **text) {
  g_info.emplace_back(kind, *text);
  CmnStrFree(text);
}

TEST_F(ErrorLayer, InfoChannel) {
  g_info.clear();
  CmnSetInfoHandler(InfoSink);
  CmnInfoPrintf(nullptr, "page %d\n", 3);
  char *text = nullptr;
  CmnStrPrintf(&text, "head ");
  CmnInfoPrintf(&text, "tail %s", "x");
  EXPECT_EQ(text, nullptr) << "the handler owns and clears the text";
  CmnInfoFlush(&text);  // an empty destination is ignored
  ASSERT_EQ(g_info.size(), 2u);
  EXPECT_EQ(g_info[0], std::make_pair(std::string("Info"), std::string("page 3\n")));
  EXPECT_EQ(g_info[1].second, "head tail x");

  CmnSetInfoHandler(nullptr);
  CaptureStderr();
  char *lost = strdup("y");
  CmnInfo("Info", &lost);
  EXPECT_EQ(GetCapturedStderr(), "cmninfo 201: Info handler not set\n");
  free(lost);
}

TEST(Panic, PrintsAndAborts) {
  EXPECT_DEATH(CmnPanic(42, "cmninfo", "Out of memory"),
               "\nPanic in line 42 of file cmninfo: Out of memory\n");
}

// Whatever a user types as a file name must reach /bin/sh as one word and
// start nothing.
TEST(ShellQuote, NoCharacterEscapesTheWord) {
  const char *nasty[] = {"plain", "a b",  "a;touch x", "it's", "'",  "''", "$(id)",
                         "`id`",  "a\nb", "\\",        "\"",   "-n", ""};
  for (const char *name : nasty) {
    char *quoted = CmnShellQuote(name);
    std::string command = std::string("printf %s ") + quoted;
    FILE *p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string got;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) got.append(buf, n);
    pclose(p);
    EXPECT_EQ(got, name) << quoted;
    free(quoted);
  }
}

}  // namespace
