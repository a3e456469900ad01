// File I/O of the image file layer: the virtual read-ahead buffer over
// files, standard input and filter pipes, plain writing, and shell
// commands connected by pipes.
#include "ifiio.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>

#include "common.h"
#include "ifd.h"
#include "iff.h"

IfiIdentifyFnTp IfiIdentifyFn = IfiIdentifyChecked;
IfiFilterStageFnTp IfiFilterStageFn = nullptr;

namespace {

#define CMN_SOURCE "ifiio"

constexpr size_t kStreamBuffer = 32768;  // stdio buffer of named files
constexpr size_t kProbeStep = 32768;     // seeking to the end reads in steps of this
constexpr size_t kDrainBlock = 32768;
constexpr double kGrowth = 0.4142135;  // sqrt(2) - 1: reading byte by byte stays linear
// One growth step never allocates more than this beyond the data already
// held (unless geometric growth asks for more), so that an absurd request
// from a corrupt header or a far seek on a pipe only costs memory for data
// that the stream really has.
constexpr int64_t kMaxGrowStep = int64_t{16} << 20;
constexpr int kPipeAttempts = 100;
constexpr useconds_t kPipeRetryMicros = 1000;
constexpr uint32_t kTypeIdeasBinary = 16;  // read with backward seeks all over the file

const char kHeaderStart[] = "QPLCMD";
const char kHeaderEnd[] = "QPLCMDEND";

std::mutex pipe_mutex;
std::atomic<bool> pipe_locking{false};
long write_calls = 0;

// size x count as a byte count, or -1 when it does not fit.
int64_t ByteCount(size_t size, size_t count) {
  size_t n;
  if (__builtin_mul_overflow(size, count, &n) || n > static_cast<size_t>(INT64_MAX)) return -1;
  return static_cast<int64_t>(n);
}

// The raised text must outlive CmnError: a handler may format the message
// later, from the recorded arguments.
ReturnTp SeekError(unsigned line, int64_t offset) {
  static char text[64];
  snprintf(text, sizeof text, "Invalid file seek %d", static_cast<int>(offset));
  return CmnError(CMN_SOURCE, line, CMN_E_TEXT, text);
}

void FreeHandle(IfiHandleTp *handle) {
  CmnStrFree(&handle->description);
  delete handle;
}

struct HandleDeleter {
  void operator()(IfiHandleTp *handle) const { FreeHandle(handle); }
};
using HandlePtr = std::unique_ptr<IfiHandleTp, HandleDeleter>;

bool Reserve(IfiHandleTp *h, int64_t size) {
  if (static_cast<int64_t>(h->buffer.size()) >= size) return true;
  try {
    h->buffer.reserve(static_cast<size_t>(size));
    h->buffer.resize(static_cast<size_t>(size));
  } catch (const std::exception &) {  // bad_alloc, length_error
    return false;
  }
  return true;
}

void ReleaseBuffer(IfiHandleTp *h) {
  std::vector<unsigned char>().swap(h->buffer);
  h->position = 0;
  h->valid = 0;
}

size_t StreamRead(IfiHandleTp *h, void *dst, size_t length) {
  if (length == 0) return 0;
  if (h->is_pipe) {
    const size_t got = IfiPipeRead(h->stream, dst, length);
    if (got < length && errno == ETIMEDOUT) IfiReportFilterTimeout();
    return got;
  }
  return fread(dst, 1, length, h->stream);
}

// Appends up to need bytes of the stream behind the valid bytes. Returns
// false only when the buffer cannot grow; a short stream is not a failure.
bool Fill(IfiHandleTp *h, int64_t need) {
  if (need <= 0) return true;
  const int64_t target = (need > INT64_MAX - h->valid) ? INT64_MAX : h->valid + need;
  while (h->valid < target) {
    const int64_t want = target - h->valid;
    const int64_t step = std::min(want, kMaxGrowStep);
    int64_t room = static_cast<int64_t>(h->buffer.size()) - h->valid;
    if (room < step) {
      int64_t grow = step;
      if (!h->exact_growth)
        grow = std::max(grow, static_cast<int64_t>(static_cast<double>(h->valid) * kGrowth + 0.5));
      if (!Reserve(h, h->valid + grow)) {
        CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
        return false;
      }
      room = static_cast<int64_t>(h->buffer.size()) - h->valid;
    }
    const size_t chunk = static_cast<size_t>(std::min(want, room));
    const size_t got = StreamRead(h, h->buffer.data() + h->valid, chunk);
    h->valid += static_cast<int64_t>(got);
    if (got < chunk) break;  // end of the stream (or a failing one)
  }
  return true;
}

// Reads and drops length bytes of a stream that cannot seek.
bool Skip(IfiHandleTp *h, int64_t length) {
  char scratch[4096];
  while (length > 0) {
    const size_t chunk = static_cast<size_t>(std::min<int64_t>(length, sizeof scratch));
    const size_t got = StreamRead(h, scratch, chunk);
    length -= static_cast<int64_t>(got);
    if (got < chunk) return false;
  }
  return true;
}

// Leaves virtual mode for good. Buffered bytes behind the position stay and
// are delivered first; a position beyond the buffered bytes is reached on
// the stream itself, which stands right behind them.
bool GoDirect(IfiHandleTp *h) {
  h->direct = 1;
  const int64_t skip = h->position - h->valid;
  if (skip < 0) return true;
  ReleaseBuffer(h);
  if (skip == 0) return true;
  if (h->seekable) return fseeko(h->stream, static_cast<off_t>(skip), SEEK_CUR) == 0;
  return Skip(h, skip);
}

// Direct mode: positions go to the stream. The stream stands behind the
// bytes that are still buffered, so a relative seek accounts for them.
ReturnTp DirectSeek(IfiHandleTp *h, int64_t offset, int whence, unsigned line) {
  off_t target = 0;
  int from = SEEK_SET;
  bool overflow = false;
  switch (whence) {
    case 0:
      overflow = __builtin_add_overflow(h->start_offset, offset, &target);
      break;
    case 1:
      overflow = __builtin_sub_overflow(offset, h->valid - h->position, &target);
      from = SEEK_CUR;
      break;
    default:
      target = static_cast<off_t>(offset);
      from = SEEK_END;
      break;
  }
  if (overflow || fseeko(h->stream, target, from) != 0) return SeekError(line, offset);
  h->position = 0;
  h->valid = 0;
  return 0;
}

// The child's end of a pipe becomes its descriptor `to`. A descriptor that
// already is `to` only loses close-on-exec.
void ConnectChild(int from, int to) {
  if (from == to)
    fcntl(from, F_SETFD, 0);
  else
    dup2(from, to);
}

// ---- Children ---------------------------------------------------------------
//
// Every child of IfiOpenPipe is a shell leading a process group of its
// own: the filters it starts, and whatever they start in the background,
// share the group and are ended with it. A child is recorded here from
// its fork to its reaping, in slots that a signal handler may read: the
// shell's pid (also the group's id, which stays ours until the shell is
// reaped), a descriptor that becomes readable when the shell exits, and
// our reading end of its output.

constexpr int kChildSlots = 64;
// How long a child that has written everything gets to exit by itself,
// and how long a group has between SIGTERM and SIGKILL.
constexpr int kGraceMillis = 2000;
constexpr int kDefaultTimeout = 300;  // seconds without output

struct ChildTp {
  std::atomic<pid_t> pid{0};  // 0: a free slot
  std::atomic<int> pidfd{-1};
  std::atomic<int> fd{-1};           // our reading end; -1 on a write pipe
  std::atomic<bool> at_end{false};   // its output has been read to the end
  std::atomic<bool> stopped{false};  // ended by us before it finished
};
ChildTp children[kChildSlots];
std::atomic<bool> filter_failed{false};

ChildTp *FindChild(pid_t pid) {
  if (pid <= 0) return nullptr;
  for (ChildTp &c : children)
    if (c.pid.load() == pid) return &c;
  return nullptr;
}

ChildTp *FindReader(int fd) {
  for (ChildTp &c : children)
    if (c.pid.load() != 0 && c.fd.load() == fd) return &c;
  return nullptr;
}

// A full table only costs the child its record: it is still ended when
// its pipe is closed, but not by IfiEndChildren.
void Record(pid_t pid, int fd) {
  int pidfd = -1;
#ifdef SYS_pidfd_open
  pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#endif
  for (ChildTp &c : children) {
    pid_t free_slot = 0;
    if (!c.pid.compare_exchange_strong(free_slot, pid)) continue;
    c.fd = fd;
    c.at_end = false;
    c.stopped = false;
    c.pidfd = pidfd;
    return;
  }
  if (pidfd >= 0) close(pidfd);
}

void Forget(ChildTp *c) {
  if (!c) return;
  const int pidfd = c->pidfd.exchange(-1);
  c->fd = -1;
  c->pid = 0;
  if (pidfd >= 0) close(pidfd);
}

int64_t NowMillis() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// poll() until the deadline, through interruptions.
int PollUntil(pollfd *fds, nfds_t n, int64_t deadline) {
  for (;;) {
    const int64_t left = std::max<int64_t>(deadline - NowMillis(), 0);
    const int got = poll(fds, n, static_cast<int>(std::min<int64_t>(left, INT32_MAX)));
    if (got >= 0 || errno != EINTR) return got;
  }
}

// True when the shell has exited (not yet reaped), waiting for that until
// the deadline where its pidfd allows.
bool Exited(pid_t pid, int pidfd, int64_t deadline) {
  if (pidfd >= 0) {
    pollfd p = {pidfd, POLLIN, 0};
    PollUntil(&p, 1, deadline);
  }
  siginfo_t info = {};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

// Waits until the shell has exited and nothing holds the pipe open for
// writing any more, reading and dropping what still comes, or until the
// deadline. Only calls that are safe in a signal handler.
void AwaitEnd(int pidfd, int fd, int64_t deadline) {
  bool shell = pidfd < 0, pipe = fd < 0;
  char scratch[4096];
  while (!shell || !pipe) {
    pollfd p[2] = {{shell ? -1 : pidfd, POLLIN, 0}, {pipe ? -1 : fd, POLLIN, 0}};
    if (PollUntil(p, 2, deadline) <= 0) return;
    if (p[0].revents) shell = true;
    if (p[1].revents) {
      const ssize_t n = read(fd, scratch, sizeof scratch);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) pipe = true;
    }
  }
}

// SIGTERM to the group, a grace to go, then SIGKILL to what is left. The
// shell is not reaped, so that the group's id cannot pass to another.
void EndGroup(pid_t pid, int pidfd, int fd) {
  if (pid <= 0) return;
  kill(-pid, SIGTERM);
  AwaitEnd(pidfd, fd, NowMillis() + kGraceMillis);
  kill(-pid, SIGKILL);
}

// The output has been read to its end when no byte is left and no writer
// is: a finished child. Pending bytes of a finished child are read and
// dropped (a bounded amount: a live child may write on and on).
bool OutputEnded(int fd) {
  char scratch[4096];
  for (int i = 0; i < 64; ++i) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    if (!(p.revents & POLLIN)) return (p.revents & (POLLHUP | POLLERR)) != 0;
    const ssize_t n = read(fd, scratch, sizeof scratch);
    if (n <= 0) return n == 0;
  }
  return false;
}

int Reap(pid_t pid) {
  int status = -1;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

// The interrupting signals of a terminal and of a shutdown: their handlers
// end the children, so none may arrive between a fork and its record.
struct EndSignalsBlocked {
  sigset_t old;
  EndSignalsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, &old);
  }
  ~EndSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
};

// Forks the shell for command. In the child, connect() puts the pipe ends
// in place; the child leads a process group of its own, set from both
// sides to close the race with a caller that signals the group at once.
template <typename Connect>
pid_t Start(const char *command, int error_fd, int failure_status, int watch_fd, Connect connect) {
  EndSignalsBlocked blocked;
  const pid_t child = fork();
  if (child == 0) {
    setpgid(0, 0);
    pthread_sigmask(SIG_SETMASK, &blocked.old, nullptr);
    connect();
    if (error_fd >= 0) ConnectChild(error_fd, STDERR_FILENO);
    execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
    perror("execl");
    _exit(failure_status);
  }
  if (child > 0) {
    setpgid(child, child);
    Record(child, watch_fd);
  }
  return child;
}

// A child whose pipe could not be set up: ended and reaped.
void Abandon(pid_t pid) {
  ChildTp *c = FindChild(pid);
  EndGroup(pid, c ? c->pidfd.load() : -1, -1);
  Forget(c);
  Reap(pid);
}

// Pipe ends are close-on-exec: no other child inherits them and keeps a
// pipe open behind our back.
FILE *OpenOneWay(const char *command, const char *mode, pid_t *pid, int error_fd) {
  if (!mode || (strcmp(mode, "r") != 0 && strcmp(mode, "w") != 0)) return nullptr;
  const bool reading = mode[0] == 'r';
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  const int parent_end = reading ? fds[0] : fds[1];
  const int child_end = reading ? fds[1] : fds[0];
  const pid_t child = Start(command, error_fd, 0, reading ? parent_end : -1, [&]() {
    ConnectChild(child_end, reading ? STDOUT_FILENO : STDIN_FILENO);
  });
  close(child_end);
  if (child < 0) {
    close(parent_end);
    return nullptr;
  }
  FILE *stream = fdopen(parent_end, mode);
  if (!stream) {
    close(parent_end);
    Abandon(child);
    return nullptr;
  }
  if (reading) setvbuf(stream, nullptr, _IONBF, 0);
  *pid = child;
  return stream;
}

FILE *OpenTwoWay(const char *command, pid_t *pid, FILE **write_stream, int error_fd) {
  if (!write_stream) return nullptr;
  int to_child[2];
  int from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0) return nullptr;
  if (pipe2(from_child, O_CLOEXEC) != 0) {
    close(to_child[0]);
    close(to_child[1]);
    return nullptr;
  }
  const pid_t child = Start(command, error_fd, 1, from_child[0], [&]() {
    int out = from_child[1];
    // Connecting standard input first would overwrite it.
    if (out == STDIN_FILENO) out = fcntl(out, F_DUPFD_CLOEXEC, 3);
    ConnectChild(to_child[0], STDIN_FILENO);
    ConnectChild(out, STDOUT_FILENO);
  });
  close(to_child[0]);
  close(from_child[1]);
  if (child < 0) {
    close(to_child[1]);
    close(from_child[0]);
    return nullptr;
  }
  FILE *writer = fdopen(to_child[1], "w");
  FILE *reader = writer ? fdopen(from_child[0], "r") : nullptr;
  if (!reader) {
    if (writer)
      fclose(writer);
    else
      close(to_child[1]);
    close(from_child[0]);
    Abandon(child);
    return nullptr;
  }
  setvbuf(reader, nullptr, _IONBF, 0);
  *write_stream = writer;
  *pid = child;
  return reader;
}

}  // namespace

ReturnTp IfiOpen(const IffFileSpecTp *spec, int service, IfiHandleTp **handle) {
  if (service == IFI_SRV_READ) return IfiOpenRead(nullptr, spec, handle);
  if (service == IFI_SRV_WRITE) return IfiOpenWrite(spec, handle);
  return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
}

ReturnTp IfiOpenRead(const IfiFilterClientTp *client, const IffFileSpecTp *spec,
                     IfiHandleTp **handle) {
  if (!spec || !spec->name || !handle) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *handle = nullptr;
  HandlePtr h(new (std::nothrow) IfiHandleTp());
  if (!h) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  h->seekable = 1;
  h->buffer_control = 1;
  rasterized = 0;  // the filter stage sets it again for this input

  const char *name = spec->name;
  if (name[0]) {
    h->stream = fopen(name, "r");
    // A directory opens for reading here and then reads as nothing at
    // all; say what it is instead of calling it an unknown file.
    struct stat st;
    if (h->stream && fstat(fileno(h->stream), &st) == 0 && S_ISDIR(st.st_mode)) {
      fclose(h->stream);
      h->stream = nullptr;
      errno = EISDIR;
    }
    if (!h->stream) {
      perror(name);
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_OPEN_NAMED, name);
    }
    setvbuf(h->stream, nullptr, _IOFBF, kStreamBuffer);
  } else {
    h->stream = stdin;
    h->seekable = 0;
  }
  auto close_stream = [&h]() {
    if (h->stream != stdin) fclose(h->stream);
  };

  // Standard input redirected from a file can seek too; put it back where
  // it was rather than at its start.
  const off_t here = ftello(h->stream);
  if (here >= 0 && fseeko(h->stream, 0, SEEK_END) == 0) {
    const off_t end = ftello(h->stream);
    if (end > 0) h->file_size = end;
    fseeko(h->stream, here, SEEK_SET);
  }
  clearerr(h->stream);

  if (!Reserve(h.get(), IFI_INITIAL_READ)) {
    close_stream();
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  h->valid = static_cast<int64_t>(fread(h->buffer.data(), 1, IFI_INITIAL_READ, h->stream));
  h->first_read = h->valid;

  const int64_t spec_start = static_cast<int32_t>(spec->start_offset);
  h->start_offset = std::max<int64_t>(spec_start, 0);

  // A command header carries instructions for the filter stage in front of
  // the image; the image starts after its trailer and one separator byte.
  int command_header = 0;
  int64_t header_end = 0;
  const size_t start_len = sizeof kHeaderStart - 1;
  if (h->valid >= static_cast<int64_t>(start_len) &&
      memcmp(h->buffer.data(), kHeaderStart, start_len) == 0) {
    const void *end =
        memmem(h->buffer.data(), static_cast<size_t>(h->valid), kHeaderEnd, sizeof kHeaderEnd - 1);
    if (!end) {
      fputs("Error parsing command header\n", stderr);
      exit(1);
    }
    command_header = 1;
    header_end = static_cast<const unsigned char *>(end) - h->buffer.data() + 10;
    h->start_offset = header_end;
    h->position = h->start_offset;
  }

  const int64_t from = std::min(h->start_offset, h->valid);
  const int64_t length = std::min<int64_t>(h->valid - from, IFI_INITIAL_READ);
  h->file_type =
      IfiIdentifyFn ? IfiIdentifyFn(h->buffer.data() + from, static_cast<int32_t>(length)) : 0;

  if (IfiFilterStageFn) {
    const ReturnTp rc = IfiFilterStageFn(client, name, command_header, h.get());
    if (rc) {
      if (h->stream) IfiClose(h.release());
      return rc;
    }
  }

  // A description ending in ".\n" comes from a filter and says more than
  // the type name.
  const char *desc = h->description;
  const size_t desc_len = desc ? strlen(desc) : 0;
  const bool keep = desc_len >= 2 && strcmp(desc + desc_len - 2, ".\n") == 0;
  if (!keep && IffTypeName(h->file_type)) {
    CmnStrFree(&h->description);
    CmnStrPrintf(&h->description, "%s\n", IffTypeName(h->file_type));
  }

  // Behind a command header the image starts after the trailer: drivers
  // that seek to 0 must land there, not on the header's text. A filter
  // that replaced the stream has set its own start.
  h->start_offset = command_header && !h->is_pipe ? header_end : spec_start;
  h->write_handle = 0;
  *handle = h.release();
  return 0;
}

ReturnTp IfiOpenWrite(const IffFileSpecTp *spec, IfiHandleTp **handle) {
  if (!spec || !spec->name || !handle) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *handle = nullptr;
  HandlePtr h(new (std::nothrow) IfiHandleTp());
  if (!h) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  const char *name = spec->name;
  if (name[0]) {
    h->stream = fopen(name, "w");
    if (!h->stream) {
      perror(name);
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_OPEN_NAMED, name);
    }
    setvbuf(h->stream, nullptr, _IOFBF, kStreamBuffer);
    h->seekable = 1;
  } else {
    h->stream = stdout;
    h->seekable = 0;
  }
  h->buffer_control = 1;
  h->write_handle = 1;
  h->start_offset = 0;
  *handle = h.release();
  return 0;
}

ReturnTp IfiClose(IfiHandleTp *handle) {
  if (!handle) return 0;
  ReturnTp rc = 0;
  FILE *stream = handle->stream;
  if (!stream) {
    rc = CmnError(CMN_SOURCE, __LINE__, IFI_E_STREAM);
  } else if (stream == stdin) {
  } else if (stream == stdout) {
    if (fflush(stdout) != 0) rc = CmnError(CMN_SOURCE, __LINE__, IFI_E_CLOSE);
  } else if (handle->is_pipe) {
    // What the filter would still write is not wanted: a page description
    // may go on drawing pages for ever. It is ended, and its status only
    // counts when it had finished by itself.
    IfiReportFilterStatus(IfiClosePipe(stream, handle->pid));
  } else if (fclose(stream) != 0) {
    rc = CmnError(CMN_SOURCE, __LINE__, IFI_E_CLOSE);
  }
  FreeHandle(handle);
  return rc;
}

ReturnTp IfiRead(void *buffer, size_t size, size_t count, IfiHandleTp *handle) {
  if (!handle) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!handle->stream) return CmnError(CMN_SOURCE, __LINE__, IFI_E_STREAM);
  if (!buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (size == 0 || count == 0) return 0;
  const int64_t n = ByteCount(size, count);
  if (n < 0) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const size_t items = IfiFetch(buffer, size, count, handle);
  if (items > 0) {
    handle->delivered += static_cast<int64_t>(items * size);
    return 0;
  }
  // Not raised: drivers probe with short reads.
  if (handle->is_pipe) return IFI_E_READ;
  if (feof(handle->stream)) {
    memset(buffer, 0, static_cast<size_t>(n));
    handle->made_up += n;
    return IFI_E_EOF;
  }
  return IFI_E_READ;
}

bool IfiInputExhausted(const IfiHandleTp *handle) {
  return handle && handle->made_up > (int64_t{64} << 20) &&
         handle->made_up / 16 > handle->delivered;
}

void IfiAccount(IfiHandleTp *handle, int64_t delivered, int64_t made_up) {
  if (!handle) return;
  handle->delivered += delivered;
  handle->made_up += made_up;
}

void IfiAccountSalvaged(IfiHandleTp *handle, int64_t made_up) {
  if (!handle) return;
  handle->made_up += made_up;
  handle->salvaged += made_up;
}

size_t IfiFetch(void *buffer, size_t size, size_t count, IfiHandleTp *h) {
  if (!h || !h->stream || size == 0 || count == 0) return 0;
  const int64_t n = ByteCount(size, count);
  if (n < 0) return 0;

  if (!buffer) {
    if (h->direct) {
      fputs("Trying to read with NULL buffer while virtual I/O disabled\n", stderr);
      return 0;
    }
    const int64_t before = h->valid;
    if (!Fill(h, n)) return 0;
    return static_cast<size_t>((h->valid - before) / static_cast<int64_t>(size));
  }

  unsigned char *out = static_cast<unsigned char *>(buffer);
  if (!h->direct) {
    if (!h->seekable || h->file_type == kTypeIdeasBinary || h->position < IFI_VIRTUAL_LIMIT) {
      if (h->position < 0) return 0;
      bool grew = false;
      if (h->valid - h->position < n) {
        if (!Fill(h, n - (h->valid - h->position))) return 0;
        grew = true;
      }
      const int64_t k = std::min(std::max<int64_t>(h->valid - h->position, 0), n);
      const int64_t items = k / static_cast<int64_t>(size);
      if (k > 0) memcpy(out, h->buffer.data() + h->position, static_cast<size_t>(k));
      h->position += items * static_cast<int64_t>(size);
      // Exact growth: the driver reads raw data of known size from here
      // on, which must not pile up in memory.
      if (grew && h->exact_growth) GoDirect(h);
      return static_cast<size_t>(items);
    }
    if (!GoDirect(h)) return 0;
  }

  int64_t done = 0;
  if (h->position < h->valid) {
    done = std::min(h->valid - h->position, n);
    memcpy(out, h->buffer.data() + h->position, static_cast<size_t>(done));
    h->position += done;
  }
  if (done < n)
    done += static_cast<int64_t>(StreamRead(h, out + done, static_cast<size_t>(n - done)));
  return static_cast<size_t>(done / static_cast<int64_t>(size));
}

size_t IfiPeek(void *buffer, size_t size, size_t count, IfiHandleTp *h) {
  if (!h || !h->stream || size == 0 || count == 0) return 0;
  const int64_t n = ByteCount(size, count);
  if (n < 0) return 0;
  if (h->direct && h->position > 0) {
    const int64_t rest = std::max<int64_t>(h->valid - h->position, 0);
    if (rest > 0)
      memmove(h->buffer.data(), h->buffer.data() + h->position, static_cast<size_t>(rest));
    h->valid = rest;
    h->position = 0;
  }
  if (h->position < 0) return 0;
  if (h->valid - h->position < n && !Fill(h, n - (h->valid - h->position))) return 0;
  const int64_t k = std::min(std::max<int64_t>(h->valid - h->position, 0), n);
  if (buffer && k > 0) memcpy(buffer, h->buffer.data() + h->position, static_cast<size_t>(k));
  return static_cast<size_t>(k);
}

ReturnTp IfiWrite(const void *buffer, size_t size, size_t count, IfiHandleTp *handle) {
  ++write_calls;
  if (!handle || !buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!handle->stream) return CmnError(CMN_SOURCE, __LINE__, IFI_E_STREAM);
  const size_t done = fwrite(buffer, size, count, handle->stream);
  if (done < count) {
    perror("");
    fprintf(stderr, "Tried to write %d buffers of %d bytes\n", static_cast<int>(count),
            static_cast<int>(size));
    fprintf(stderr, "Did write %d buffers\n", static_cast<int>(done));
    fprintf(stderr, "Failed in the %ld call to IfiWrite\n", write_calls);
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_WRITE_FILE);
  }
  return 0;
}

ReturnTp IfiSeek(IfiHandleTp *h, int64_t offset, int whence) {
  if (!h) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (whence == 0 && offset < 0) return SeekError(__LINE__, offset);
  int64_t target;
  if (whence == 0 && !h->direct && !__builtin_add_overflow(h->start_offset, offset, &target) &&
      target == h->position)
    return 0;
  if (!h->stream) return CmnError(CMN_SOURCE, __LINE__, IFI_E_STREAM);
  if (whence < 0 || whence > 2) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (h->direct) return DirectSeek(h, offset, whence, __LINE__);
  if (h->write_handle && h->seekable) return 0;  // export writes are sequential
  if (h->buffer.empty()) return 0;               // standard output: nothing to seek

  // A disk file is not copied into memory across a far forward seek: the
  // handle goes to the stream instead, which can come back.
  bool far = false;
  switch (whence) {
    case 0:
      if (__builtin_add_overflow(h->start_offset, offset, &target))
        return SeekError(__LINE__, offset);
      far = target - h->position >= IFI_FAR_SEEK;
      break;
    case 1:
      if (__builtin_add_overflow(h->position, offset, &target)) return SeekError(__LINE__, offset);
      break;
    default:
      if (h->seekable && !__builtin_add_overflow(h->file_size, offset, &target) &&
          target - h->position >= IFI_FAR_SEEK) {
        far = true;
        break;
      }
      while (IfiFetch(nullptr, 1, kProbeStep, h) == kProbeStep) {
      }
      if (__builtin_add_overflow(h->valid, offset, &target)) return SeekError(__LINE__, offset);
      break;
  }
  if (far && h->seekable) {
    ReleaseBuffer(h);
    h->direct = 1;
    return DirectSeek(h, offset, whence, __LINE__);
  }
  if (target < 0) return SeekError(__LINE__, offset);
  h->position = target;
  return 0;
}

ReturnTp IfiTell(IfiHandleTp *h, int64_t *position) {
  if (!h || !position) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!h->stream) return CmnError(CMN_SOURCE, __LINE__, IFI_E_STREAM);
  if (!h->direct && !h->write_handle && !h->buffer.empty()) {
    *position = h->position - h->start_offset;
    return 0;
  }
  errno = 0;
  const off_t at = ftello(h->stream);
  if (at < 0)
    return CmnError(CMN_SOURCE, __LINE__, errno == EBADF ? IFI_E_BADSTREAM : IFI_E_STREAM);
  *position = at - (h->direct ? h->valid - h->position : 0) - h->start_offset;
  return 0;
}

ReturnTp IfiSetBuffer(IfiHandleTp *h, char *buffer, int mode, size_t size) {
  static const int kModes[] = {_IOFBF, _IOLBF, _IONBF};
  if (!h || mode < 0 || mode > 2) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!h->stream) return CmnError(CMN_SOURCE, __LINE__, IFI_E_STREAM);
  if (setvbuf(h->stream, buffer, kModes[mode], size) != 0)
    return CmnError(CMN_SOURCE, __LINE__, IFI_E_SETBUF);
  return 0;
}

ReturnTp IfiRemove(const char *name) {
  if (!name || !name[0]) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (unlink(name) != 0)
    return CmnError(CMN_SOURCE, __LINE__,
                    (errno == EACCES || errno == EPERM) ? CMN_E_PERMISSION : IFI_E_NOTFOUND);
  return 0;
}

FILE *IfiOpenPipe(const char *command, const char *mode, pid_t *pid, FILE **write_stream,
                  int bidirectional, int error_fd) {
  if (!command || !pid) return nullptr;
  if (CmnDebugCheck("debugimageload", 0)) fprintf(stderr, "IfiOpenPipe: %s\n", command);
  std::unique_lock<std::mutex> lock(pipe_mutex, std::defer_lock);
  if (pipe_locking) lock.lock();
  return bidirectional ? OpenTwoWay(command, pid, write_stream, error_fd)
                       : OpenOneWay(command, mode, pid, error_fd);
}

// The pipe is read on its descriptor, so that poll() sees every byte that
// is still to come; read streams have no buffer of their own, so stdio
// calls on them (a header read line by line) take nothing away from this.
size_t IfiPipeRead(FILE *stream, void *buffer, size_t length) {
  if (!stream || !buffer) return 0;
  const int fd = fileno(stream);
  ChildTp *child = FindReader(fd);
  errno = 0;
  if (child && child->stopped) return 0;
  const int64_t limit = int64_t{IfiFilterTimeout()} * 1000;
  char *to = static_cast<char *>(buffer);
  size_t done = 0;
  while (done < length) {
    pollfd p = {fd, POLLIN, 0};
    const int ready = PollUntil(&p, 1, NowMillis() + limit);
    if (ready == 0) {
      // Silent for too long: it is not waited for again.
      if (child) {
        child->stopped = true;
        EndGroup(child->pid, child->pidfd, fd);
      }
      errno = ETIMEDOUT;
      return done;
    }
    if (ready < 0) break;
    const ssize_t n = read(fd, to + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      if (child) child->at_end = true;
      break;
    } else if (errno != EINTR && errno != EAGAIN) {
      break;
    }
  }
  errno = 0;
  return done;
}

size_t IfiPipeWrite(FILE *stream, const void *buffer, size_t length) {
  if (!stream || !buffer) return 0;
  const char *from = static_cast<const char *>(buffer);
  size_t done = 0;
  int idle = 0;
  while (done < length) {
    const size_t put = fwrite(from + done, 1, length - done, stream);
    done += put;
    if (done == length) break;
    if (put == 0 && ++idle >= kPipeAttempts) break;
    clearerr(stream);
    usleep(kPipeRetryMicros);
  }
  // The other side may be waiting for these bytes before it answers.
  if (fflush(stream) != 0) return 0;
  return done;
}

void IfiEmptyPipe(FILE *stream) {
  if (!stream) return;
  if (CmnDebugCheck("debugimageload", 0))
    fprintf(stderr, "IfiEmptyPipe: handle:%d\n", fileno(stream));
  char scratch[kDrainBlock];
  while (IfiPipeRead(stream, scratch, sizeof scratch) == sizeof scratch) {
  }
}

int IfiClosePipe(FILE *stream, pid_t pid) {
  if (!stream) return -1;
  if (pid <= 0) {
    fclose(stream);
    return -1;
  }
  ChildTp *child = FindChild(pid);
  const int pidfd = child ? child->pidfd.load() : -1;
  const int fd = fileno(stream);
  const int access = fcntl(fd, F_GETFL) & O_ACCMODE;
  bool by_itself = false, closed = true;
  if (access == O_WRONLY) {
    // Closing hands the child the end of its input; it may still be at work.
    closed = fclose(stream) == 0;
    stream = nullptr;
    by_itself = Exited(pid, pidfd, NowMillis() + int64_t{IfiFilterTimeout()} * 1000);
    EndGroup(pid, pidfd, -1);
  } else {
    if (!(child && child->stopped)) {
      const bool ended = (child && child->at_end) || OutputEnded(fd);
      by_itself = Exited(pid, pidfd, ended ? NowMillis() + kGraceMillis : 0);
    }
    EndGroup(pid, pidfd, fd);
    closed = fclose(stream) == 0;
  }
  Forget(child);
  // Reaped even when the close failed: the child must not stay a zombie.
  const int status = Reap(pid);
  return by_itself && closed ? status : -1;
}

void IfiEndChildren(void) {
  for (ChildTp &c : children) {
    const pid_t pid = c.pid;
    if (pid <= 0) continue;
    c.stopped = true;
    kill(-pid, SIGTERM);
  }
  const int64_t deadline = NowMillis() + kGraceMillis;
  for (ChildTp &c : children) {
    const pid_t pid = c.pid;
    if (pid <= 0) continue;
    AwaitEnd(c.pidfd, c.fd, deadline);
    kill(-pid, SIGKILL);
  }
}

int IfiFilterTimeout(void) {
  const char *text = getenv("PVFILTERTIMEOUT");
  if (!text || !*text) return kDefaultTimeout;
  char *end;
  const long seconds = strtol(text, &end, 10);
  if (*end || seconds <= 0) return kDefaultTimeout;
  return static_cast<int>(std::min<long>(seconds, INT32_MAX / 1000));
}

void IfiReportFilterStatus(int status) {
  if (status <= 0) return;
  filter_failed = true;
  // The shell reports a command ended by a signal as 128 and its number.
  if (WIFEXITED(status) && WEXITSTATUS(status) > 128 && WEXITSTATUS(status) < 128 + NSIG)
    CmnError(CMN_SOURCE, __LINE__, IFI_W_FILTER_SIGNAL, WEXITSTATUS(status) - 128);
  else if (WIFEXITED(status))
    CmnError(CMN_SOURCE, __LINE__, IFI_W_FILTER_STATUS, WEXITSTATUS(status));
  else if (WIFSIGNALED(status))
    CmnError(CMN_SOURCE, __LINE__, IFI_W_FILTER_SIGNAL, WTERMSIG(status));
}

ReturnTp IfiReportFilterTimeout(void) {
  filter_failed = true;
  return CmnError(CMN_SOURCE, __LINE__, IFI_E_FILTER_TIMEOUT, IfiFilterTimeout());
}

bool IfiFilterFailed(void) { return filter_failed; }

void IfiSetFilterFailed(bool failed) { filter_failed = failed; }

void IfiEnableLocking(void) { pipe_locking = true; }
