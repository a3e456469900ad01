// The JPEG codec's memory manager: the whole-image coefficient store of
// progressive and multi-scan files, kept in 16 KiB buffers that are paged to
// a scratch file when more of them are wanted than memory may hold.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "jpegint.h"

#define CMN_SOURCE "jpegdmem"

int32_t JpegMemResidentLimit = 4096;

namespace {

constexpr int32_t kBufferBytes = 16384;
constexpr int32_t kPoolRecords = 32;
constexpr int32_t kRing = 4;  // buffers used last: never paged out
// A block that no scan wrote reads as zeros without taking memory.
const int16_t kNoCoefficients[64] = {};

enum { kInMemory = 1, kModified = 2, kOnDisk = 4 };

struct BufferRecord {
  int32_t state;
  int32_t slot;  // place in the paging file, -1 none
  int16_t *memory;
};

}  // namespace

struct JpegMemTp {
  IfuCodecTp *codec;
  // Records of 32 buffers, each made when one of its buffers is first
  // written: the store grows with the data read, not with the frame.
  std::vector<BufferRecord *> pools;
  int32_t buffers;    // buffers the store was sized for
  int32_t resident;   // buffers holding memory now
  int32_t per_block;  // coefficients kept per block: 64, or 1 (the DC term)
  int32_t ring[kRing];
  int32_t hand;   // where the search for a buffer to page out resumes
  int32_t slots;  // paging file slots handed out (a buffer keeps its slot)
  int fd;
};

namespace {

BufferRecord &Record(JpegMemTp *m, int32_t i) {
  return m->pools[i / kPoolRecords][i % kPoolRecords];
}

bool Pinned(const JpegMemTp *m, int32_t i) {
  for (int32_t r : m->ring)
    if (r == i) return true;
  return false;
}

// The paging file: "/usr/tmp/codec<pid>" where that directory exists, else
// a private file under $TMPDIR. It is unlinked at once so that nothing is
// left behind, whatever way the program ends.
ReturnTp OpenPagingFile(JpegMemTp *m) {
  std::string name;
  struct stat st;
  if (stat("/usr/tmp", &st) == 0 && S_ISDIR(st.st_mode)) {
    char text[64];
    snprintf(text, sizeof text, "/usr/tmp/codec%d", static_cast<int>(getpid()));
    name = text;
    m->fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  }
  if (m->fd < 0) {
    const char *dir = getenv("TMPDIR");
    name = std::string(dir && *dir ? dir : "/tmp") + "/codecXXXXXX";
    m->fd = mkstemp(&name[0]);
  }
  if (m->fd < 0) return JPEG_FAIL(m->codec, kDecPageFile, errno);
  unlink(name.c_str());
  return 0;
}

// Frees the memory of one buffer that is not pinned, writing it to the
// paging file first unless the file already holds its contents.
ReturnTp PageOut(JpegMemTp *m) {
  for (int32_t tries = 0; tries < m->buffers; ++tries) {
    const int32_t i = m->hand;
    m->hand = (m->hand + 1) % m->buffers;
    if (!m->pools[i / kPoolRecords]) continue;
    BufferRecord &b = Record(m, i);
    if (!(b.state & kInMemory) || Pinned(m, i)) continue;
    if (m->fd < 0)
      if (ReturnTp rc = OpenPagingFile(m)) return rc;
    if (b.slot < 0) {
      b.slot = m->slots++;
      b.state |= kModified;
    }
    if (b.state & kModified) {
      if (pwrite(m->fd, b.memory, kBufferBytes, static_cast<off_t>(b.slot) * kBufferBytes) !=
          kBufferBytes)
        return JPEG_FAIL(m->codec, kDecPageFile, errno);
    }
    free(b.memory);
    b.memory = nullptr;
    b.state = kOnDisk;
    m->resident--;
    return 0;
  }
  return JpegFail(m->codec, kDecFewBuffers);
}

}  // namespace

JpegMemTp *JpegMemCreate(IfuCodecTp *codec) {
  auto *m = new (std::nothrow) JpegMemTp();
  if (!m) return nullptr;
  m->codec = codec;
  m->fd = -1;
  m->per_block = 64;
  for (int32_t &r : m->ring) r = -1;
  return m;
}

ReturnTp JpegMemReserve(JpegMemTp *m, int64_t blocks, int32_t per_block) {
  m->per_block = per_block == 1 ? 1 : 64;
  const int64_t per_buffer = kBufferBytes / (m->per_block * int64_t{sizeof(int16_t)});
  const int64_t buffers = (blocks + per_buffer - 1) / per_buffer;
  // A store beyond what a buffer number counts is no picture a frame can
  // describe: the limit of the manager, not of memory.
  if (buffers > INT32_MAX - kPoolRecords) return JpegFail(m->codec, kDecPoolLimit);
  try {
    m->pools.assign(static_cast<size_t>((buffers + kPoolRecords - 1) / kPoolRecords), nullptr);
  } catch (const std::bad_alloc &) {
    return JpegFail(m->codec, kDecNoMemory);
  }
  m->buffers = static_cast<int32_t>(buffers);
  return 0;
}

int16_t *JpegMemBlock(JpegMemTp *m, int64_t block, bool write, ReturnTp *rc) {
  const int64_t per_buffer = kBufferBytes / (m->per_block * int64_t{sizeof(int16_t)});
  const int64_t index = block / per_buffer;
  if (block < 0 || index >= m->buffers) {
    *rc = JpegFail(m->codec, kDecUnallocated);
    return nullptr;
  }
  const int32_t i = static_cast<int32_t>(index);
  BufferRecord *&pool = m->pools[static_cast<size_t>(i / kPoolRecords)];
  if (!pool) {
    if (!write) return const_cast<int16_t *>(kNoCoefficients);
    pool = static_cast<BufferRecord *>(calloc(kPoolRecords, sizeof(BufferRecord)));
    if (!pool) {
      *rc = JpegFail(m->codec, kDecNoMemory);
      return nullptr;
    }
    for (int32_t r = 0; r < kPoolRecords; ++r) pool[r].slot = -1;
  }
  BufferRecord &b = Record(m, i);
  if (!write && b.state == 0) return const_cast<int16_t *>(kNoCoefficients);
  if (!(b.state & kInMemory)) {
    if (m->resident >= JpegMemResidentLimit)
      if ((*rc = PageOut(m))) return nullptr;
    b.memory = static_cast<int16_t *>(calloc(1, kBufferBytes));
    if (!b.memory && m->resident > 0) {
      // Memory ran short before the limit: make room and try once more.
      if ((*rc = PageOut(m))) return nullptr;
      b.memory = static_cast<int16_t *>(calloc(1, kBufferBytes));
    }
    if (!b.memory) {
      *rc = JpegFail(m->codec, kDecNoMemory);
      return nullptr;
    }
    if ((b.state & kOnDisk) && pread(m->fd, b.memory, kBufferBytes,
                                     static_cast<off_t>(b.slot) * kBufferBytes) != kBufferBytes) {
      free(b.memory);
      b.memory = nullptr;
      *rc = JpegFail(m->codec, kDecPageRead);
      return nullptr;
    }
    // A fresh buffer has no copy on disk yet: it counts as modified.
    b.state = (b.state & kOnDisk) ? (kInMemory | kOnDisk) : (kInMemory | kModified);
    m->resident++;
  }
  if (write) b.state |= kModified;
  if (!Pinned(m, i)) {
    for (int32_t r = kRing - 1; r > 0; --r) m->ring[r] = m->ring[r - 1];
    m->ring[0] = i;
  }
  return b.memory + (block % per_buffer) * m->per_block;
}

void JpegMemFree(JpegMemTp *m) {
  if (!m) return;
  for (BufferRecord *pool : m->pools) {
    if (!pool) continue;
    for (int32_t r = 0; r < kPoolRecords; ++r) free(pool[r].memory);
    free(pool);
  }
  if (m->fd >= 0) close(m->fd);
  delete m;
}
