// Fuzz inputs reach the readers the way files do: through a name. The
// bytes are put in an in-memory file whose /proc name the readers open.
#ifndef PV_FUZZ_FUZZINPUT_H
#define PV_FUZZ_FUZZINPUT_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

class FuzzFile {
 public:
  FuzzFile(const uint8_t *data, size_t size) {
    fd_ = memfd_create("pvfuzz", 0);
    if (fd_ < 0) return;
    for (size_t done = 0; done < size;) {
      ssize_t n = write(fd_, data + done, size - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    name_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~FuzzFile() {
    if (fd_ >= 0) close(fd_);
  }
  const char *name() const { return name_.c_str(); }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  std::string name_;
};

// A command header that never ends stops the program by design; the
// fuzzers leave such inputs out rather than report the exit.
inline bool EndsTheProgram(const uint8_t *data, size_t size) {
  return size >= 6 && memcmp(data, "QPLCMD", 6) == 0;
}

#endif
