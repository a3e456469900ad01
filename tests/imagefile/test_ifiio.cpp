#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "ifiio.h"
#include "runprog.h"

namespace {

using Bytes = std::vector<unsigned char>;

ReturnTp Unmarked(ReturnTp rc) { return rc & ~CMN_REPORTED; }

// Byte i of every test input: a position mix-up anywhere shows.
unsigned char At(size_t i) { return static_cast<unsigned char>((i * 2654435761u) >> 13); }

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(At(i));
  return s;
}

std::string Quote(const std::string &text) {
  std::unique_ptr<char, decltype(&free)> q(CmnShellQuote(text.c_str()), free);
  return q.get();
}

bool Reaped(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD; }

// Reads n bytes and checks that they are bytes offset.. of the pattern.
testing::AssertionResult ReadsPattern(IfiHandleTp *h, size_t offset, size_t n) {
  Bytes got(n);
  ReturnTp rc = IfiRead(got.data(), 1, n, h);
  if (rc) return testing::AssertionFailure() << "IfiRead -> 0x" << std::hex << rc;
  for (size_t i = 0; i < n; ++i)
    if (got[i] != At(offset + i))
      return testing::AssertionFailure() << "byte " << offset + i << " differs";
  return testing::AssertionSuccess();
}

// Stands for the filter stage: the handle reads `pipe_command` instead.
std::string pipe_command;
ReturnTp PipeStage(const IfiFilterClientTp *, const char *, int, IfiHandleTp *h) {
  pid_t pid;
  FILE *pipe = IfiOpenPipe(pipe_command.c_str(), "r", &pid, nullptr, 0);
  if (!pipe) return IFI_E_READ;
  if (h->stream != stdin) fclose(h->stream);
  h->stream = pipe;
  h->pid = pid;
  h->is_pipe = 1;
  h->seekable = 0;
  h->start_offset = h->position = 0;
  h->valid = static_cast<int64_t>(IfiPipeRead(pipe, h->buffer.data(), 44));
  return 0;
}

std::string identified;  // what identification was shown
uint32_t RecordIdentify(const unsigned char *b, int32_t n) {
  identified.assign(reinterpret_cast<const char *>(b), static_cast<size_t>(n));
  return 9;
}

class IfiIo : public testing::Test {
 protected:
  void TearDown() override {
    IfiFilterStageFn = nullptr;
    IfiIdentifyFn = nullptr;
  }
  IfiHandleTp *Open(const std::string &name) {
    IffFileSpecTp spec = {name.c_str(), nullptr, 0};
    IfiHandleTp *h = nullptr;
    EXPECT_EQ(IfiOpen(&spec, IFI_SRV_READ, &h), 0u);
    return h;
  }
  IfiHandleTp *OpenPattern(size_t n) {
    WriteFile(dir.file("in"), Pattern(n));
    return Open(dir.file("in"));
  }
  TempDir dir;
};

// Standard input fed by a command for the duration of a test.
struct StdinFrom {
  explicit StdinFrom(const std::string &command)
      : pipe_(IfiOpenPipe(command.c_str(), "r", &pid_, nullptr, 0)), saved_(dup(0)) {
    dup2(fileno(pipe_), 0);
    clearerr(stdin);
  }
  ~StdinFrom() {
    while (fgetc(stdin) != EOF) {  // leave nothing of ours in stdin's buffer
    }
    dup2(saved_, 0);
    close(saved_);
    clearerr(stdin);
    IfiClosePipe(pipe_, pid_);
  }
  pid_t pid_ = 0;
  FILE *pipe_;
  int saved_;
};

enum Source { kFile, kStdin, kPipe };

class IfiSources : public IfiIo, public testing::WithParamInterface<Source> {};

// Reading past the first 32 KiB in odd pieces, then seeking back: on standard
// input and pipes only the virtual buffer makes that work.
TEST_P(IfiSources, SeekBackAfterReadingAhead) {
  const size_t size = 300000;
  WriteFile(dir.file("in"), Pattern(size));
  pipe_command = "cat " + Quote(dir.file("in"));
  std::unique_ptr<StdinFrom> feed;
  std::string name = dir.file("in");
  if (GetParam() == kStdin) {
    feed.reset(new StdinFrom(pipe_command));
    name = "";
  } else if (GetParam() == kPipe) {
    IfiFilterStageFn = PipeStage;
  }
  IfiHandleTp *h = Open(name);
  ASSERT_NE(h, nullptr);
  pid_t child = h->pid;
  EXPECT_EQ(h->file_size, GetParam() == kStdin ? 0 : static_cast<int64_t>(size));

  size_t at = 0;
  for (size_t piece : {3u, 1u, 40000u, 17u, 60000u}) {
    ASSERT_TRUE(ReadsPattern(h, at, piece));
    at += piece;
  }
  ASSERT_EQ(IfiSeek(h, 0, 0), 0u);
  ASSERT_TRUE(ReadsPattern(h, 0, 100));
  ASSERT_EQ(IfiSeek(h, 5000, 1), 0u);
  ASSERT_TRUE(ReadsPattern(h, 5100, 10));
  // A far seek: a disk file goes direct, the others stay virtual.
  ASSERT_EQ(IfiSeek(h, 250000, 0), 0u);
  EXPECT_EQ(h->direct, GetParam() == kFile ? 1 : 0);
  ASSERT_TRUE(ReadsPattern(h, 250000, 20));
  ASSERT_EQ(IfiSeek(h, 70, 0), 0u);
  ASSERT_TRUE(ReadsPattern(h, 70, 30));

  ASSERT_EQ(IfiSeek(h, -10, 2), 0u);
  ASSERT_TRUE(ReadsPattern(h, size - 10, 10));
  EXPECT_EQ(IfiClose(h), 0u);
  EXPECT_TRUE(GetParam() != kPipe || Reaped(child));
}

INSTANTIATE_TEST_SUITE_P(All, IfiSources, testing::Values(kFile, kStdin, kPipe));

TEST_F(IfiIo, GoingDirectKeepsThePosition) {
  // Short seeks past the buffered bytes of a disk file, up to where it
  // stops being copied into memory: the stream catches up going direct.
  IfiHandleTp *h = OpenPattern(1200000);
  for (int i = 0; i < 8; ++i) ASSERT_EQ(IfiSeek(h, 65536, 1), 0u);
  ASSERT_EQ(IfiSeek(h, 1, 1), 0u);
  EXPECT_EQ(h->direct, 0);
  ASSERT_TRUE(ReadsPattern(h, 0x80001, 5000));
  EXPECT_EQ(h->direct, 1);
  IfiClose(h);

  // Exact growth takes only what is asked, then goes direct.
  h = Open(dir.file("in"));
  h->exact_growth = 1;
  ASSERT_TRUE(ReadsPattern(h, 0, 40000));
  EXPECT_EQ(h->direct, 1);
  EXPECT_EQ(ftello(h->stream), 40000);  // nothing read ahead into memory
  ASSERT_TRUE(ReadsPattern(h, 40000, 100000));
  EXPECT_TRUE(h->buffer.empty());
  unsigned char peek;  // the stream now stands behind peeked bytes
  EXPECT_EQ(IfiPeek(&peek, 1, 1, h), 1u);
  EXPECT_EQ(peek, At(140000));
  int64_t tell = 0;
  ASSERT_EQ(IfiTell(h, &tell), 0u);
  EXPECT_EQ(tell, 140000);
  ASSERT_EQ(IfiSeek(h, 2, 1), 0u);
  ASSERT_TRUE(ReadsPattern(h, 140002, 8));
  // Peeked bytes that were partly read move to the front before the next
  // peek adds to them.
  unsigned char four[4];
  ASSERT_EQ(IfiPeek(four, 1, 4, h), 4u);
  ASSERT_TRUE(ReadsPattern(h, 140010, 1));
  ASSERT_EQ(IfiPeek(four, 1, 4, h), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(four[i], At(140011 + i)) << i;
  ASSERT_TRUE(ReadsPattern(h, 140011, 4));
  IfiClose(h);
}

TEST_F(IfiIo, CommandHeaderIsSkippedOrEndsTheProcessWithoutTrailer) {
  WriteFile(dir.file("in"), "QPLCMD -filter x QPLCMDEND\nP5 payload");
  IfiIdentifyFn = RecordIdentify;
  IfiHandleTp *h = Open(dir.file("in"));
  EXPECT_EQ(identified, "P5 payload");
  EXPECT_EQ(h->file_type, 9u);
  char got[3] = {};
  ASSERT_EQ(IfiRead(got, 1, 2, h), 0u);
  EXPECT_STREQ(got, "P5");
  // A driver that goes back to its start finds the image, not the header.
  ASSERT_EQ(IfiSeek(h, 0, 0), 0u);
  ASSERT_EQ(IfiRead(got, 1, 2, h), 0u);
  EXPECT_STREQ(got, "P5");
  int64_t at = -1;
  ASSERT_EQ(IfiTell(h, &at), 0u);
  EXPECT_EQ(at, 2);
  IfiClose(h);
  // A far seek goes direct; seeks still count from where the image starts.
  WriteFile(dir.file("in"), "QPLCMD -filter x QPLCMDEND\n" + Pattern(IFI_FAR_SEEK + 100));
  h = Open(dir.file("in"));
  ASSERT_EQ(IfiSeek(h, IFI_FAR_SEEK, 0), 0u);
  EXPECT_EQ(h->direct, 1);
  ASSERT_TRUE(ReadsPattern(h, IFI_FAR_SEEK, 4));
  ASSERT_EQ(IfiSeek(h, 7, 0), 0u);
  ASSERT_TRUE(ReadsPattern(h, 7, 4));
  IfiClose(h);
  WriteFile(dir.file("in"), "QPLCMD -filter x\n" + std::string(40000, 'a') + "QPLCMDEND\n");
  EXPECT_EXIT(Open(dir.file("in")), testing::ExitedWithCode(1), "Error parsing command header");
}

// End of file, bad seeks and requests give codes; nothing is raised.
TEST_F(IfiIo, EndOfFileAndBadRequestsFailCleanly) {
  IfiHandleTp *h = OpenPattern(13);
  Bytes got(10, 0xAA);
  ASSERT_EQ(IfiRead(got.data(), 1, 10, h), 0u);
  ASSERT_EQ(IfiRead(got.data(), 1, 10, h), 0u);  // 3 left: success
  EXPECT_EQ(got[2], At(12));
  got.assign(10, 0xAA);
  EXPECT_EQ(IfiRead(got.data(), 1, 10, h), IFI_E_EOF);
  EXPECT_EQ(got, Bytes(10, 0));
  IfiClose(h);

  WriteFile(dir.file("empty"), "");
  h = Open(dir.file("empty"));
  EXPECT_EQ(IfiRead(got.data(), 4, 2, h), IFI_E_EOF);
  IfiClose(h);

  pipe_command = "printf abc";
  IfiFilterStageFn = PipeStage;
  h = Open(dir.file("empty"));
  ASSERT_EQ(IfiRead(got.data(), 1, 3, h), 0u);
  EXPECT_EQ(IfiRead(got.data(), 1, 3, h), IFI_E_READ);
  IfiClose(h);

  IfiFilterStageFn = nullptr;
  h = OpenPattern(100);
  int64_t tell;
  testing::internal::CaptureStderr();
  EXPECT_EQ(Unmarked(IfiSeek(h, -1, 0)), CMN_E_TEXT);
  EXPECT_EQ(Unmarked(IfiSeek(h, -500, 1)), CMN_E_TEXT);
  EXPECT_EQ(Unmarked(IfiRead(&tell, SIZE_MAX / 2, 4, h)), CMN_E_INVALID_ARG);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Invalid file seek -1"), std::string::npos);
  IfiClose(h);

  // A position far beyond the end of a pipe costs memory only for the data.
  pipe_command = "cat " + Quote(dir.file("in"));
  IfiFilterStageFn = PipeStage;
  h = Open(dir.file("in"));
  ASSERT_EQ(IfiSeek(h, int64_t{1} << 40, 0), 0u);
  got.resize(16);
  EXPECT_EQ(IfiRead(got.data(), 1, 16, h), IFI_E_READ);
  EXPECT_LT(h->buffer.size(), size_t{64} << 20);
  IfiClose(h);
}

// A full device: the failed write is described, and buffered bytes that it
// refuses show up when closing.
TEST_F(IfiIo, WritesToAFullDevice) {
  IffFileSpecTp spec = {"/dev/full", nullptr, 0};
  IfiHandleTp *h = nullptr;
  const std::string data = Pattern(100000);
  ASSERT_EQ(IfiOpenWrite(&spec, &h), 0u);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Unmarked(IfiWrite(data.data(), 1000, 100, h)), CMN_E_WRITE_FILE);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(
      err.rfind("No space left on device\nTried to write 100 buffers of 1000 bytes\nDid write ", 0),
      0u)
      << err;
  EXPECT_NE(err.find(" call to IfiWrite\n"), std::string::npos) << err;
  IfiClose(h);
  ASSERT_EQ(IfiOpenWrite(&spec, &h), 0u);
  ASSERT_EQ(IfiWrite("abc", 1, 3, h), 0u);
  EXPECT_EQ(Unmarked(IfiClose(h)), IFI_E_CLOSE);
}

TEST_F(IfiIo, PipesQuoteNamesAndRunBothWays) {
  const std::string name = "a b; touch INJ1 'x' $(touch INJ2) `touch INJ3` \"$HOME\" \\";
  WriteFile(dir.file(name), "content");
  pid_t pid = 0;
  FILE *p = IfiOpenPipe(("cd " + Quote(dir.path()) + " && cat " + Quote(name)).c_str(), "r", &pid,
                        nullptr, 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(getpgid(pid), pid);  // its own process group
  char got[16] = {};
  EXPECT_EQ(IfiPipeRead(p, got, sizeof got), 7u);
  EXPECT_STREQ(got, "content");
  EXPECT_EQ(IfiClosePipe(p, pid), 0);
  for (const char *inj : {"INJ1", "INJ2", "INJ3"})
    EXPECT_NE(access(dir.file(inj).c_str(), F_OK), 0) << inj;

  FILE *to = nullptr;
  FILE *from = IfiOpenPipe("tr a-z A-Z; exit 4", nullptr, &pid, &to, 1);
  ASSERT_NE(from, nullptr);
  ASSERT_NE(to, nullptr);
  EXPECT_EQ(IfiPipeWrite(to, "round trip", 10), 10u);
  fclose(to);
  char back[16] = {};
  EXPECT_EQ(IfiPipeRead(from, back, sizeof back), 10u);
  EXPECT_STREQ(back, "ROUND TRIP");
  int status = IfiClosePipe(from, pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 4);
}

// Closing a filter pipe ends the filter, whether it is still writing or
// has died; only a filter that ended by itself has its status reported.
TEST_F(IfiIo, ClosingEndsTheFilter) {
  static std::string raised;
  CmnSetErrorHandler([](ReturnTp code) { raised = CmnErrorText(code, nullptr, nullptr); });
  WriteFile(dir.file("in"), "x");
  IfiFilterStageFn = PipeStage;
  const struct {
    std::string command;
    bool killed;
    const char *raised;
  } cases[] = {
      // Far more than the close reads of a live child's output (a bounded
      // amount, to see whether it has finished), so it cannot finish.
      {"head -c 100000000 /dev/zero && echo done > " + Quote(dir.file("done")), false, ""},
      {"printf 'abc'; exit 3", false, "The filter ended with status 3"},
      {"head -c 100 /dev/zero; exec sleep 30", true, "The filter was ended by signal 9"},
  };
  for (const auto &c : cases) {
    raised.clear();
    pipe_command = c.command;
    IfiHandleTp *h = Open(dir.file("in"));
    ASSERT_NE(h, nullptr);
    const pid_t pid = h->pid;
    siginfo_t info;
    if (c.killed) {
      ASSERT_TRUE(kill(-pid, SIGKILL) == 0 && waitid(P_PID, pid, &info, WEXITED | WNOWAIT) == 0);
    }
    EXPECT_EQ(IfiClose(h), 0u) << c.command;
    EXPECT_TRUE(Reaped(pid)) << c.command;
    EXPECT_EQ(raised, c.raised) << c.command;
  }
  EXPECT_NE(access(dir.file("done").c_str(), F_OK), 0);  // never drained to its end
  EXPECT_TRUE(IfiFilterFailed());
  CmnSetErrorHandler(CmnDefaultErrorHandler);
}

}  // namespace
