// Fuzz inputs reach the readers the way files do: through a name. The
// bytes are put in an in-memory file whose /proc name the readers open.
#ifndef PV_FUZZ_FUZZINPUT_H
#define PV_FUZZ_FUZZINPUT_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "imagefile.h"
#include "pvinit.h"

// One in-memory file serves every input of a run: it is emptied and
// refilled rather than made anew, which would cost more than many inputs
// take to read.
class FuzzFile {
 public:
  FuzzFile(const uint8_t *data, size_t size) {
    static const int fd = memfd_create("pvfuzz", 0);
    static const std::string name = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0) return;
    for (size_t done = 0; done < size;) {
      ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
    name_ = name.c_str();
  }
  const char *name() const { return name_; }
  bool ok() const { return name_ != nullptr; }

 private:
  const char *name_ = nullptr;
};

// Inputs that end the program by design, left out rather than reported
// as the target's exit: a command header that never ends, and an XWD
// TrueColor or DirectColor dump with a zero colour mask.
inline bool EndsTheProgram(const uint8_t *data, size_t size) {
  if (size >= 6 && memcmp(data, "QPLCMD", 6) == 0) return true;
  if (size < 68 || IfuGetBe32(data + 4) != 7) return false;
  const uint32_t visual = IfuGetBe32(data + 52);
  return (visual == 4 || visual == 5) &&
         (!IfuGetBe32(data + 56) || !IfuGetBe32(data + 60) || !IfuGetBe32(data + 64));
}

// A file cut short reads on as zeros, until they outweigh what it held by
// far (64 MiB and 16 times, IfiInputExhausted): more than a fuzz page ever
// takes. The harness moves on after 64 lines or 16 KiB of them; further
// zeros only decode the same way again.
class ZerosPastTheEnd {
 public:
  explicit ZerosPastTheEnd(const IffControlBlockTp *cb) : cb_(cb) {}
  bool Enough() {
    const IfiHandleTp *h = cb_->input;
    if (!h || h->made_up == 0) return false;
    return ++lines_ > 64 || h->made_up > (16 << 10);
  }

 private:
  const IffControlBlockTp *cb_;
  int lines_ = 0;
};

// The bytes read as the viewer reads a file: open (identification picks
// the driver), then every header, its colour map and every line, of up to
// max_pages pages. Pages are small in the fuzz build (PV_FUZZ_MAX_PIXELS,
// set with PV_FUZZ in CMakeLists.txt), so that a whole page takes a
// moment and whatever a header makes a driver allocate shows.
inline void ReadThroughInterface(const uint8_t *data, size_t size, int max_pages) {
  FuzzFile file(data, size);
  if (!file.ok()) return;
  IffFileSpecTp spec = {file.name(), nullptr, 0};
  IffControlBlockTp *cb = nullptr;
  uint32_t type = 0;
  if (IffInit(nullptr, &cb, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, &type) == 0 &&
      type != IFF_TYPE_UNKNOWN) {
    for (int page = 0; page < max_pages; ++page) {
      IffParamTp header;
      cb->page = page + 1;  // formats of numbered pages; the others read on
      if (IffRdHead(cb, 0, nullptr, &header) != 0) break;
      for (char **text : {&header.title, &header.description, &header.pagelist}) CmnStrFree(text);
      if (header.has_cmap && IffRdCMap(cb) != 0) break;
      ZerosPastTheEnd zeros(cb);
      for (int32_t y = 0; y < header.height && !zeros.Enough(); ++y) {
        // Every other line as runs, where the driver can give them: both
        // hand-overs of a bilevel driver are read, in any mix. The changes
        // must climb and stay inside the line.
        if (y % 2) {
          if (IffRdScan(cb, 1, y) != 0) break;
          continue;
        }
        IffRunLineTp runs;
        if (IffRdScanRuns(cb, y, &runs, false) != 0) break;
        for (int32_t k = 0; k < runs.count; ++k)
          if (runs.changes[k] >= cb->width || (k > 0 && runs.changes[k] <= runs.changes[k - 1]))
            abort();
      }
    }
  }
  IffTerm(&cb);
}

// Reports and info texts would only slow the fuzzers down. Every target
// calls this once first, so it also wires the layers (without the filter
// stage: no target starts a filter).
inline void QuietReports() {
  PvInit(0);
  CmnSetErrorHandler([](ReturnTp) {});
  CmnSetInfoHandler([](const char *, char **text) { CmnStrFree(text); });
}

#endif
