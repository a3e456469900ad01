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

#include "drivers.h"

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

// The bytes read as the viewer reads a file: open (identification picks
// the driver), then every header, its colour map and a bounded part of
// its lines. Huge images are legal, so each page is cut to max_lines
// lines and about a million pixels to keep runs short; pages left unread
// are passed over by the next header read.
inline void ReadThroughInterface(const uint8_t *data, size_t size, int max_pages,
                                 int32_t max_lines) {
  FuzzFile file(data, size);
  if (!file.ok()) return;
  IffFileSpecTp spec = {file.name(), nullptr, 0};
  IffControlBlockTp *cb = nullptr;
  uint32_t type = 0;
  if (IffInit(nullptr, &cb, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, &type) == 0 &&
      type != IFF_TYPE_UNKNOWN) {
    for (int page = 0; page < max_pages; ++page) {
      IffParamTp header;
      if (IffRdHead(cb, 0, nullptr, &header) != 0) break;
      for (char **text : {&header.title, &header.description, &header.pagelist}) CmnStrFree(text);
      if (header.has_cmap && IffRdCMap(cb) != 0) break;
      int32_t lines = header.height < max_lines ? header.height : max_lines;
      const int32_t budget = (1 << 20) / (header.width > 0 ? header.width : 1) + 1;
      if (lines > budget) lines = budget;
      for (int32_t y = 0; y < lines; ++y)
        if (IffRdScan(cb, 1, y) != 0) break;
    }
  }
  IffTerm(&cb);
}

// Reports and info texts would only slow the fuzzers down. Every target
// calls this once first, so it also hands over the list of formats.
inline void QuietReports() {
  IffUseFormats(IfdFormats);
  CmnSetErrorHandler([](ReturnTp) {});
  CmnSetInfoHandler([](const char *, char **text) { CmnStrFree(text); });
}

#endif
