// CGM export: a binary-encoded metafile with one picture that holds the
// image as one cell array, packed or run-length coded. Reading CGM means
// drawing it: that is a filter's work, not ours.
//
// An element is assembled one partition at a time in a fixed buffer and
// each partition goes out as soon as it is full, so a cell array of any
// size takes the memory of one partition and one row.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <memory>
#include <new>

#include "drivers.h"

namespace {

#define CMN_SOURCE "ifdcgm"

constexpr int kVersion = 10, kBuild = 1;  // the release named in the description
constexpr int kBuffer = 4096;
constexpr int kShortMax = 30;       // data bytes that fit the short form
constexpr int32_t kMaxVdc = 32767;  // 16-bit VDC coordinates
constexpr int32_t kMaxRun = 32767;

struct CgmState {
  IfiHandleTp *handle = nullptr;
  unsigned char buffer[kBuffer + 2];  // room for the pad of a last odd partition
  int fill = 0;                       // bytes of the current partition, with its header words
  int64_t element_bytes = 0;          // data bytes since the element began
  bool first = true;                  // the partition is the element's first
  int cls = 0, id = 0;
  bool open = false;  // an element is being assembled
  bool indexed = false;
  bool run_length = false;
  uint32_t model = 0;
  int32_t width = 0, height = 0;
  int32_t cmap_entries = 0;
  int32_t next_line = 0;
  bool in_cells = false;
  bool failed = false;
  unsigned char *row = nullptr;  // a grey row widened to colour
};

void Word(unsigned char *at, unsigned v) {
  at[0] = static_cast<unsigned char>(v >> 8);
  at[1] = static_cast<unsigned char>(v);
}

// The element header and a long-form length word are reserved; End turns
// a short element back into the short form.
void Begin(CgmState *s, int cls, int id) {
  CMN_ASSERT(!s->open);
  s->cls = cls;
  s->id = id;
  s->open = true;
  s->first = true;
  s->element_bytes = 0;
  s->fill = 4;
}

ReturnTp Flush(CgmState *s, const unsigned char *data, size_t length) {
  if (IfiWrite(data, length, 1, s->handle)) return CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_LINE);
  return 0;
}

// Writes the partition in the buffer; `more` says another one follows.
ReturnTp ClosePartition(CgmState *s, bool more) {
  const int head = s->first ? 4 : 2;
  const unsigned length = static_cast<unsigned>(s->fill - head);
  if (s->first) Word(s->buffer, static_cast<unsigned>(s->cls << 12 | s->id << 5 | 31));
  Word(s->buffer + head - 2, length | (more ? 0x8000u : 0));
  if (length % 2) s->buffer[s->fill++] = 0;
  ReturnTp rc = Flush(s, s->buffer, static_cast<size_t>(s->fill));
  s->first = false;
  s->fill = 2;
  return rc;
}

ReturnTp Bytes(CgmState *s, const unsigned char *data, size_t length) {
  constexpr int kNearlyFull = kBuffer - 10;
  for (size_t i = 0; i < length;) {
    // Full, or nearly full at a multiple of 6 data bytes (a whole number
    // of 16-bit words and of colour triplets).
    if (s->fill == kBuffer || (s->fill > kNearlyFull && s->element_bytes % 6 == 0)) {
      ReturnTp rc = ClosePartition(s, true);
      if (rc) return rc;
    }
    // Below the nearly-full mark no byte can close the partition.
    size_t n = 1;
    if (s->fill <= kNearlyFull)
      n = std::min(length - i, static_cast<size_t>(kNearlyFull + 1 - s->fill));
    memcpy(s->buffer + s->fill, data + i, n);
    s->fill += static_cast<int>(n);
    s->element_bytes += static_cast<int64_t>(n);
    i += n;
  }
  return 0;
}

ReturnTp Byte(CgmState *s, unsigned v) {
  const unsigned char b = static_cast<unsigned char>(v);
  return Bytes(s, &b, 1);
}

ReturnTp Int(CgmState *s, int v) {
  unsigned char b[2];
  Word(b, static_cast<unsigned>(v) & 0xFFFFu);
  return Bytes(s, b, 2);
}

ReturnTp String(CgmState *s, const char *text) {
  size_t n = strlen(text);
  if (n > 254) n = 254;
  ReturnTp rc = Byte(s, static_cast<unsigned>(n));
  return rc ? rc : Bytes(s, reinterpret_cast<const unsigned char *>(text), n);
}

ReturnTp End(CgmState *s) {
  CMN_ASSERT(s->open);
  s->open = false;
  if (s->first && s->element_bytes <= kShortMax) {
    const int length = static_cast<int>(s->element_bytes);
    Word(s->buffer + 2, static_cast<unsigned>(s->cls << 12 | s->id << 5 | length));
    int end = 4 + length;
    if (length % 2) s->buffer[end++] = 0;
    return Flush(s, s->buffer + 2, static_cast<size_t>(end - 2));
  }
  return ClosePartition(s, false);
}

// An element without parameters, or with one string, or with integers.
ReturnTp Simple(CgmState *s, int cls, int id, const char *text, std::initializer_list<int> ints) {
  Begin(s, cls, id);
  ReturnTp rc = text ? String(s, text) : 0;
  for (int v : ints)
    if (!rc) rc = Int(s, v);
  return rc ? rc : End(s);
}

ReturnTp Description(CgmState *s, int profile) {
  static const char *const kProfiles[3][3] = {
      {"ProfileId:ATA GRAPHICS.GREXCHANGE V2", "ProfileEd:2.1", "ColourClass: color"},
      {"MIL-D-28003A/BASIC-1", ".2", nullptr},
      {"ProfileId: PIP/I/3", "ColourClass:Colour", "Extension:Basic"}};
  char text[256] = "";
  size_t n = 0;
  for (const char *t : kProfiles[profile])
    if (t) n += static_cast<size_t>(snprintf(text + n, sizeof text - n, "\"%s\" ", t));
  const time_t now = time(nullptr);
  struct tm local = {};
  localtime_r(&now, &local);
  snprintf(text + n, sizeof text - n, "\"Source: Plotvise %d.%d.%d\" \"Date:%d-%02d-%02d\"",
           kVersion / 10, kVersion % 10, kBuild, local.tm_year + 1900, local.tm_mon + 1,
           local.tm_mday);
  return Simple(s, 1, 2, text, {});
}

ReturnTp BeginCells(CgmState *s) {
  Begin(s, 4, 9);
  ReturnTp rc = 0;
  for (int v : {0, s->height - 1, s->width - 1, 0, s->width - 1, s->height - 1, s->width, s->height,
                8, s->run_length ? 0 : 1})
    if (!rc) rc = Int(s, v);
  if (!rc) s->in_cells = true;
  return rc;
}

ReturnTp IfdCgmInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  if (request->service != IFF_SRV_EXPORT) return CmnError(CMN_SOURCE, __LINE__, IFF_E_UNKNOWN_TYPE);
  std::unique_ptr<CgmState> s(new (std::nothrow) CgmState());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  ReturnTp rc = IffOpenDriverStream(request, &s->handle, nullptr, 0);
  if (rc) return rc;
  request->recognised = 1;
  *state = s.release();
  return 0;
}

// The profile of the description is the export option: 0 ATA, 1 MIL-D-28003A,
// 2 PIP. Compression 2 asks for run-length rows.
ReturnTp IfdCgmWtHead(void *state, IffParamTp *p) {
  auto *s = static_cast<CgmState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->in_cells || s->next_line) return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  s->failed = true;
  if (p->width < 1 || p->height < 1 ||
      (p->compression[0] != IFF_COMP_NONE && p->compression[0] != IFF_COMP_RLE) ||
      p->export_option < 0 || p->export_option > 2)
    return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
  if (p->width > kMaxVdc + 1 || p->height > kMaxVdc + 1)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_TOO_LARGE, "CGM", p->width, p->height);
  s->model = p->color_model;
  s->indexed = p->has_cmap != 0;
  if (s->indexed != (s->model == IFF_CM_PALETTE) || p->cmap_entries > 256 ||
      (s->indexed && p->cmap_entries < 1))
    return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
  if (s->model != IFF_CM_RGB && s->model != IFF_CM_PALETTE && s->model != IFF_CM_GRAY &&
      s->model != IFF_CM_BILEVEL)
    return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
  s->width = p->width;
  s->height = p->height;
  s->cmap_entries = p->cmap_entries;
  s->run_length = p->compression[0] == IFF_COMP_RLE;
  if (s->model == IFF_CM_GRAY || s->model == IFF_CM_BILEVEL) {
    s->row = static_cast<unsigned char *>(malloc(3 * static_cast<size_t>(s->width)));
    if (!s->row) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  }

  ReturnTp rc = Simple(s, 0, 1, "TF_00000                         celaray", {});
  if (!rc) rc = Simple(s, 1, 1, nullptr, {1});
  if (!rc) rc = Description(s, p->export_option);
  if (!rc) rc = Simple(s, 1, 3, nullptr, {0});
  if (!rc) rc = Simple(s, 1, 4, nullptr, {16});
  if (!rc) rc = Simple(s, 1, 5, nullptr, {0, 9, 23});
  if (!rc) rc = Simple(s, 1, 6, nullptr, {16});
  if (!rc) rc = Simple(s, 1, 7, nullptr, {8});
  if (!rc) rc = Simple(s, 1, 8, nullptr, {8});
  if (!rc) {
    Begin(s, 1, 9);
    rc = Byte(s, 255);
    if (!rc) rc = End(s);
  }
  if (!rc) rc = Simple(s, 1, 11, nullptr, {1, -1, 1});
  if (!rc) rc = Simple(s, 0, 3, "picture 1", {});
  if (!rc) {
    // Metric scaling: millimetres per pixel, as a 32-bit float.
    const bool metric = p->resolution_known && p->x_resolution > 0;
    const float factor = metric ? static_cast<float>(25.4 / p->x_resolution) : 0.0f;
    uint32_t bits;
    memcpy(&bits, &factor, sizeof bits);
    Begin(s, 2, 1);
    rc = Int(s, metric ? 1 : 0);
    if (!rc) rc = Int(s, static_cast<int>(bits >> 16));
    if (!rc) rc = Int(s, static_cast<int>(bits & 0xFFFFu));
    if (!rc) rc = End(s);
  }
  if (!rc) rc = Simple(s, 2, 6, nullptr, {0, 0, s->width - 1, s->height - 1});
  if (!rc) rc = Simple(s, 2, 2, nullptr, {s->indexed ? 0 : 1});
  if (!rc) rc = Simple(s, 0, 4, nullptr, {});
  if (!rc && !s->indexed) rc = BeginCells(s);
  if (rc) return rc;
  s->failed = false;
  return 0;
}

ReturnTp IfdCgmWtCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<CgmState *>(state);
  if (!s || !p || !p->cmap) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->failed || !s->indexed || s->in_cells)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  s->failed = true;
  Begin(s, 5, 34);
  ReturnTp rc = Byte(s, 0);
  if (!rc) rc = Bytes(s, p->cmap, 3 * static_cast<size_t>(s->cmap_entries));
  if (!rc) rc = End(s);
  if (!rc) rc = BeginCells(s);
  if (rc) return rc;
  s->failed = false;
  return 0;
}

ReturnTp IfdCgmWtScan(void *state, IffParamTp *p) {
  auto *s = static_cast<CgmState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->failed || !s->in_cells || p->line != s->next_line || p->line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  s->failed = true;
  const unsigned char *row = p->buffer;
  if (s->row) {
    for (int32_t x = 0; x < s->width; ++x) {
      const unsigned char v = s->model == IFF_CM_BILEVEL ? (row[x] >= 128 ? 255 : 0) : row[x];
      memset(s->row + 3 * x, v, 3);
    }
    row = s->row;
  }
  const size_t cell = s->indexed ? 1 : 3;
  ReturnTp rc = 0;
  size_t bytes = 0;
  if (s->run_length) {
    int32_t runs = 0;
    for (int32_t x = 0; !rc && x < s->width;) {
      const unsigned char *first = row + cell * static_cast<size_t>(x);
      int32_t n = 1;
      while (x + n < s->width && n < kMaxRun &&
             memcmp(first, first + cell * static_cast<size_t>(n), cell) == 0)
        ++n;
      rc = Int(s, n);
      if (!rc) rc = Bytes(s, first, cell);
      x += n;
      ++runs;
    }
    bytes = runs % 2;
  } else {
    rc = Bytes(s, row, cell * static_cast<size_t>(s->width));
    bytes = cell * static_cast<size_t>(s->width);
  }
  // Each row starts on a 16-bit boundary.
  if (!rc && bytes % 2) rc = Byte(s, 0);
  if (rc) return rc;
  s->failed = false;
  ++s->next_line;
  return 0;
}

// The closing elements go out only after every row, so a file cut short by
// a failure lacks its END METAFILE.
ReturnTp Finish(CgmState *s) {
  ReturnTp rc = 0;
  if (s->in_cells && !s->failed) {
    if (s->next_line != s->height) rc = CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
    if (!rc) rc = End(s);
    if (!rc) rc = Simple(s, 0, 5, nullptr, {});
    if (!rc) rc = Simple(s, 0, 2, nullptr, {});
  }
  free(s->row);
  return rc;
}

ReturnTp IfdCgmTerm(void **state) { return IffTermDriverState<CgmState>(state, Finish); }

}  // namespace

const IffFormatTp IfdCgmFormat = {
    "CGM",
    {{IFF_TYPE_CGM, "CGM."}, {IFF_TYPE_CGM_TEXT, "CGM."}},
    0,
    0,
    {IfdCgmInit, nullptr, IfdCgmWtHead, nullptr, IfdCgmWtCMap, nullptr, IfdCgmWtScan, IfdCgmTerm},
    {{"cgm", IFF_TYPE_CGM, IFF_CM_RGB}},
    IFF_MODEL_BIT(IFF_CM_RGB) | IFF_MODEL_BIT(IFF_CM_PALETTE) | IFF_MODEL_BIT(IFF_CM_GRAY) |
        IFF_MODEL_BIT(IFF_CM_BILEVEL),
};
