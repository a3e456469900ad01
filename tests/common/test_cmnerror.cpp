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

TEST_F(ErrorLayer, SeverityDecidesLineAndResult) {
  ReturnTp rc;
  EXPECT_EQ(Raise(0x00020001u, &rc, "a.xyz"), "Warning: Unknown type of file a.xyz\n");
  EXPECT_EQ(rc, 0u) << "warnings are swallowed";
  EXPECT_EQ(CmnErrno, 0x00020001u);

  EXPECT_EQ(Raise(0x22010001u, &rc), "Info: No more pages\n");
  EXPECT_EQ(rc, 0u);

  EXPECT_EQ(Raise(0x00040003u, &rc), "Error: Not enough memory\n");
  EXPECT_EQ(rc, 0x00140003u) << "errors come back marked";

  // A marked code passes up without a second report.
  ReturnTp again;
  EXPECT_EQ(Raise(rc, &again), "");
  EXPECT_EQ(again, rc);

  EXPECT_EQ(Raise(0, &rc), "");
  EXPECT_EQ(rc, 0u);
}

TEST_F(ErrorLayer, InternalAndUnknownCodes) {
  ReturnTp rc;
  // Severity 8, and any severity that is not 1, 2 or 4, is internal and
  // always names its source and line.
  EXPECT_EQ(Raise(0x200800FFu, &rc), "Internal Error: Internal error (cmdopt   503)\n");
  EXPECT_EQ(rc, 0x201800FFu);
  EXPECT_EQ(Raise(0x12030001u, &rc), "Internal Error: Unknown Error 0x12030001 (cmdopt   503)\n");
  EXPECT_EQ(Raise(0x12040099u, &rc), "Error: Unknown Error 0x12040099\n");
  EXPECT_EQ(rc, 0x12140099u);
}

TEST_F(ErrorLayer, DebugLevelDecoratesWithSourceAndLine) {
  pvdebug = 1;
  ReturnTp rc;
  EXPECT_EQ(Raise(0x00040003u, &rc), "Error: Not enough memory (cmdopt   503)\n");

  // The source name gives way to a long message: 150 characters minus the
  // message's length, never a negative count.
  std::string long_text(148, 'm');
  CaptureStderr();
  CmnError("abcdef", 9, 0x00040019u, long_text.c_str());
  EXPECT_EQ(GetCapturedStderr(), "Error: " + long_text + " (ab     9)\n");
  std::string longer(400, 'n');
  CaptureStderr();
  CmnError("abcdef", 9, 0x00040019u, longer.c_str());
  EXPECT_EQ(GetCapturedStderr(), "Error: " + longer + " (     9)\n");
}

TEST_F(ErrorLayer, SuppressionReturnsCodeUnmarked) {
  ReturnTp rc;
  CmnFilterOn(CMN_SEV_WARNING);
  EXPECT_EQ(Raise(0x00020001u, &rc, "x"), "");
  EXPECT_EQ(rc, 0x00020001u) << "neither printed nor swallowed";
  // Errors are not touched by the warning counter.
  EXPECT_EQ(Raise(0x00040003u, &rc), "Error: Not enough memory\n");
  CmnFilterOff(CMN_SEV_WARNING);
  EXPECT_EQ(Raise(0x00020001u, &rc, "x"), "Warning: Unknown type of file x\n");

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

TEST_F(ErrorLayer, NoHandlerRecordsButDoesNotMark) {
  CmnSetErrorHandler(nullptr);
  ReturnTp rc;
  EXPECT_EQ(Raise(0x08080009u, &rc), "");
  EXPECT_EQ(rc, 0x08080009u);
  EXPECT_EQ(CmnErrno, 0x08080009u);
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

TEST_F(ErrorLayer, ExtensionTableAndStream) {
  static const CmnErrorTableTp ext[] = {
      {0x31040001u, "Printer on fire"}, {0x00040003u, "shadowed"}, {0, nullptr}};
  EXPECT_STREQ(CmnErrorText(0x31040001u, ext, nullptr), "Printer on fire");
  EXPECT_STREQ(CmnErrorText(0x00040003u, ext, nullptr), "Not enough memory");
  EXPECT_STREQ(CmnErrorText(0x31040002u, ext, nullptr), "Unknown Error 0x31040002");

  char *buf = nullptr;
  size_t size = 0;
  FILE *mem = open_memstream(&buf, &size);
  CmnErrorText(0x08040004u, nullptr, mem);
  fclose(mem);
  EXPECT_EQ(std::string(buf, size), "Empty file\n");
  free(buf);
}

TEST_F(ErrorLayer, BackspaceRemovesThePrecedingCharacter) {
  ReturnTp rc;
  EXPECT_EQ(Raise(0x00040019u, &rc, "abc\\bd"), "Error: abd\n");
  EXPECT_EQ(Raise(0x00040019u, &rc, "\\bxy"), "Error: xy\n");
  EXPECT_EQ(Raise(0x00040019u, &rc, "ab\\b\\bc"), "Error: c\n");
  EXPECT_EQ(Raise(0x00040019u, &rc, "a\\\\bb"), "Error: ab\n");
}

TEST_F(ErrorLayer, SysErrorNamesTheSystemReason) {
  ReturnTp rc;
  CaptureStderr();
  errno = ENOENT;
  rc = CmnSysError("missing.pbm");
  EXPECT_EQ(GetCapturedStderr(), "Error: missing.pbm: No such file or directory\n");
  EXPECT_EQ(rc, 0x00140019u);
  pvdebug = 2;
  CaptureStderr();
  errno = EACCES;
  CmnSysError("x");
  EXPECT_EQ(GetCapturedStderr(), "Error: x: Permission denied (cmnerror   202)\n");
}

std::string g_debug;
void DebugSink(const char *text) { g_debug += text; }

TEST_F(ErrorLayer, DebugOutputFollowsTheLevel) {
  CmnDebugHandlerTp saved = CmnHandleDebug;
  CmnHandleDebug = DebugSink;
  g_debug.clear();
  pvdebug = 1;
  CmnDebug(2, "hidden %d", 1);
  CmnDebug(1, "shown %d ab\\bc", 2);
  CmnHandleDebug = saved;
  EXPECT_EQ(g_debug, "shown 2 ac");
}

// The scratch text is process-wide; its growth is checked in a fresh
// process so that earlier tests cannot have grown it already.
TEST(ScratchText, GrowsBy64OrToTheNeededSize) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::string hundred(100, 'a');
        CmnStrPrintf(nullptr, "%s", "x");
        if (CmnStrCapacity() != 64) exit(2);
        CmnStrPrintf(nullptr, "%s", hundred.c_str());
        if (CmnStrCapacity() != 128) exit(3);  // 100 is not above 64 + 63
        exit(0);
      },
      testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        std::string two_hundred(200, 'b');
        // Straight to 201, which is still not roomier than the text plus
        // one, so one step of 64 follows.
        char *text = CmnStrPrintf(nullptr, "%s", two_hundred.c_str());
        if (CmnStrCapacity() != 265) exit(2);
        if (std::string(text) != two_hundred) exit(3);
        exit(0);
      },
      testing::ExitedWithCode(0), "");
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
  CmnStrPrintf(&text, "flushed");
  CmnInfoFlush(&text);
  char *version = strdup("v");
  CmnInfo("Version Information", &version);
  ASSERT_EQ(g_info.size(), 4u);
  EXPECT_EQ(g_info[0], std::make_pair(std::string("Info"), std::string("page 3\n")));
  EXPECT_EQ(g_info[1].second, "head tail x");
  EXPECT_EQ(g_info[2].second, "flushed");
  EXPECT_EQ(g_info[3].first, "Version Information");

  // The default handler writes the text unchanged.
  CmnSetInfoHandler(CmnDefaultInfoHandler);
  CaptureStderr();
  CmnInfoPrintf(nullptr, "no newline");
  EXPECT_EQ(GetCapturedStderr(), "no newline");

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
  const char *nasty[] = {"plain", "a b", "a;touch x", "it's", "'", "''", "$(id)", "`id`",
                         "a\nb", "\\", "\"", "-n", ""};
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
