// File I/O of the image file layer: the virtual read-ahead buffer over
// files, standard input and filter pipes, plain writing, and shell
// commands connected by pipes.
#include "ifiio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
  if (h->is_pipe) return IfiPipeRead(h->stream, dst, length);
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

void ReapChild(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// The child runs in a process group of its own, so that it and everything
// its shell starts can be signalled together. Setting the group from both
// sides closes the race with a caller that signals the group at once.
// Pipe ends are close-on-exec: no other child inherits them and keeps a
// pipe open behind our back.
FILE *OpenOneWay(const char *command, const char *mode, pid_t *pid) {
  if (!mode || (strcmp(mode, "r") != 0 && strcmp(mode, "w") != 0)) return nullptr;
  const bool reading = mode[0] == 'r';
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  const int parent_end = reading ? fds[0] : fds[1];
  const int child_end = reading ? fds[1] : fds[0];
  const pid_t child = fork();
  if (child < 0) {
    close(fds[0]);
    close(fds[1]);
    return nullptr;
  }
  if (child == 0) {
    setpgid(0, 0);
    ConnectChild(child_end, reading ? STDOUT_FILENO : STDIN_FILENO);
    execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
    perror("execl");
    _exit(0);
  }
  setpgid(child, child);
  close(child_end);
  FILE *stream = fdopen(parent_end, mode);
  if (!stream) {
    close(parent_end);
    ReapChild(child);
    return nullptr;
  }
  *pid = child;
  return stream;
}

FILE *OpenTwoWay(const char *command, pid_t *pid, FILE **write_stream) {
  if (!write_stream) return nullptr;
  int to_child[2];
  int from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0) return nullptr;
  if (pipe2(from_child, O_CLOEXEC) != 0) {
    close(to_child[0]);
    close(to_child[1]);
    return nullptr;
  }
  const pid_t child = fork();
  if (child < 0) {
    for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) close(fd);
    return nullptr;
  }
  if (child == 0) {
    setpgid(0, 0);
    int out = from_child[1];
    // Connecting standard input first would overwrite it.
    if (out == STDIN_FILENO) out = fcntl(out, F_DUPFD_CLOEXEC, 3);
    ConnectChild(to_child[0], STDIN_FILENO);
    ConnectChild(out, STDOUT_FILENO);
    execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
    perror("execl");
    _exit(1);
  }
  setpgid(child, child);
  close(to_child[0]);
  close(from_child[1]);
  FILE *writer = fdopen(to_child[1], "w");
  FILE *reader = writer ? fdopen(from_child[0], "r") : nullptr;
  if (!reader) {
    if (writer)
      fclose(writer);
    else
      close(to_child[1]);
    close(from_child[0]);
    ReapChild(child);
    return nullptr;
  }
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

ReturnTp IfiOpenRead(void *client, const IffFileSpecTp *spec, IfiHandleTp **handle) {
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
    // Draining lets the filter finish instead of dying on a broken pipe in
    // the middle of its output.
    IfiEmptyPipe(stream);
    IfiClosePipe(stream, handle->pid);
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
                  int bidirectional) {
  if (!command || !pid) return nullptr;
  if (CmnDebugCheck("debugimageload", 0)) fprintf(stderr, "IfiOpenPipe: %s\n", command);
  std::unique_lock<std::mutex> lock(pipe_mutex, std::defer_lock);
  if (pipe_locking) lock.lock();
  return bidirectional ? OpenTwoWay(command, pid, write_stream) : OpenOneWay(command, mode, pid);
}

size_t IfiPipeRead(FILE *stream, void *buffer, size_t length) {
  if (!stream || !buffer) return 0;
  char *to = static_cast<char *>(buffer);
  size_t done = 0;
  int idle = 0;
  while (done < length) {
    const size_t got = fread(to + done, 1, length - done, stream);
    done += got;
    if (done == length || feof(stream)) break;
    if (got == 0 && ++idle >= kPipeAttempts) break;
    clearerr(stream);  // interrupted or would block: try again
    usleep(kPipeRetryMicros);
  }
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
  while (fread(scratch, 1, sizeof scratch, stream) > 0) {
  }
}

int IfiClosePipe(FILE *stream, pid_t pid) {
  if (!stream) return -1;
  const bool closed = fclose(stream) == 0;
  // Wait even when the close failed: the child must not stay a zombie.
  if (pid <= 0) return -1;
  int status = 0;
  pid_t got;
  do {
    got = waitpid(pid, &status, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0 || !closed) return -1;
  return status;
}

void IfiEnableLocking(void) { pipe_locking = true; }
