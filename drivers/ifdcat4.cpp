// CATIA V4 pictures: a sequence of 80-byte records (text in EBCDIC,
// numbers big-endian) in which every item is announced by a length record.
// The picture is three colour planes (or one grey plane) cut into blocks of
// whole rows, each block plain or run-length coded. Read and written.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <vector>

#include "drivers.h"

#define CMN_SOURCE "ifdcat4"

namespace {

const char kFormat[] = "CATIA";

constexpr int kRec = 80;
constexpr int kPrefix = 640;               // some files carry a prefix before the records
constexpr int kMarkAt = 96;                // "PIXEL" or "BUFFER" in the second record
constexpr int64_t kBlockPixels = 0x40000;  // the writer's pixels per block, at most
constexpr int kExportBuffer = 12000;
constexpr int kLayoutItem = 12, kImageItem = 36;
constexpr int32_t kWrittenCode = 10407;  // three 8-bit planes, run-length blocks
constexpr int kMethodRuns = 7;
constexpr size_t kChunk = 1 << 20;  // coded blocks are read in pieces of this size

// The decoder's own messages, printed on standard output.
const char kMsgCode[] = "Catia_picture : code de compression non reconnu ";
const char kMsgMethod[] = "Catia_picture : compression code not available  ";
const char kMsgBlocks[] = " Catia_picture : error in reading internal blocs \n ";
const char kMsgRuns[] = " Catia_picture : error in decoding compression informations \n ";
const char kMsgImageCode[] = "Catia_picture : image code not supported  ";
const char kMsgSize[] = "Catia_picture : imcompatible pixel size  argument ";
const char kMsgPlain[] = " Catia_picture : uncompressed bloc failed  \n ";
const char kMsgNoPixels[] = " Catia_picture : no pixel descritpion found   \n ";

struct Cat4State {
  IfiHandleTp *handle = nullptr;
  bool recognised = false;
  int64_t prefix = 0;
  // The picture.
  int32_t width = 0, height = 0;
  int32_t components = 3, sample_bytes = 1, method = 0;
  int32_t rows = 0, blocks = 0;  // rows per block, blocks per plane
  int32_t next_line = 0;
  std::vector<int64_t> item_at;       // import: position of each block item's length record
  std::vector<uint32_t> item_length;  // and its length
  int32_t loaded = -1;                // import: the block held in planes
  std::vector<unsigned char> coded;
  std::vector<unsigned char> planes[3];  // import: one block of each; export: the whole plane
  std::vector<unsigned char> runs;       // export: one coded block
};

// A text of the decoder on standard output, a line of its own.
void Say(const char *text) {
  fputs(text, stdout);
  if (!strchr(text, '\n')) fputc('\n', stdout);
  fflush(stdout);
}

ReturnTp Fail(const char *text, ReturnTp code, unsigned line) {
  Say(text);
  return CmnError(CMN_SOURCE, line, code, kFormat);
}

bool Allocate(std::vector<unsigned char> &v, size_t n) {
  try {
    v.assign(n, 0);
  } catch (const std::exception &) {
    return false;
  }
  return true;
}

// Whole items, or false: a failing stream (not a short file) also says why.
bool Get(Cat4State *s, void *buffer, size_t size) {
  if (size == 0) return true;
  const ReturnTp rc = IfiRead(buffer, size, 1, s->handle);
  if (rc == IFI_E_READ) perror(" fread () ");
  return rc == 0 && !IfiInputExhausted(s->handle);
}

bool Seek(Cat4State *s, int64_t at) {
  if (IfiSeek(s->handle, s->prefix + at, 0) == 0) return true;
  perror(" fseek () ");
  return false;
}

int64_t Records(uint32_t length) { return (static_cast<int64_t>(length) + kRec - 1) / kRec; }

bool IsMark(const unsigned char *p) {
  for (const char *mark : {"PIXEL", "BUFFER"}) {
    const size_t n = strlen(mark);
    char ascii[8];
    IfuEbcdicToAscii(p, static_cast<int32_t>(n), ascii);
    if (memcmp(p, mark, n) == 0 || memcmp(ascii, mark, n) == 0) return true;
  }
  return false;
}

// Rows in block k and the bytes of its plain form.
int32_t BlockRows(const Cat4State *s, int32_t k) {
  const int64_t left = static_cast<int64_t>(s->height) - static_cast<int64_t>(k) * s->rows;
  return static_cast<int32_t>(left < s->rows ? left : s->rows);
}
int64_t PlainSize(const Cat4State *s, int32_t k) {
  return static_cast<int64_t>(BlockRows(s, k)) * s->width * s->sample_bytes;
}

// The pixel code: 10000 t + 100 d + m, or a method alone for one 16-bit
// component. False for a code that names no layout.
bool SplitCode(Cat4State *s, uint32_t code) {
  uint32_t t = 2, d = 5, m = code;
  if (code >= 10) {
    t = code / 10000;
    d = code / 100 % 100;
    m = code % 100;
  }
  if (!((t == 1 && d == 4) || (t == 2 && (d == 4 || d == 5)))) return false;
  s->components = t == 1 ? 3 : 1;
  s->sample_bytes = d == 5 ? 2 : 1;
  s->method = static_cast<int32_t>(m);
  return true;
}

// Finds every block item of the planes: the length records are read, the
// data passed over. Lengths must fit the block they hold.
ReturnTp IndexBlocks(Cat4State *s, int64_t at) {
  s->item_at.clear();
  s->item_length.clear();
  const int64_t items = static_cast<int64_t>(s->components) * s->blocks;
  for (int64_t i = 0; i < items; ++i) {
    unsigned char rec[kRec];
    if (!Seek(s, at) || !Get(s, rec, kRec)) return Fail(kMsgBlocks, IFD_E_INVALID_DATA, __LINE__);
    const uint32_t length = IfuGetBe32(rec);
    const int64_t plain = PlainSize(s, static_cast<int32_t>(i % s->blocks));
    // Run-length data is shorter than the plain block and comes in pairs.
    const bool runs = s->method == kMethodRuns && length < plain && length % 2 == 0;
    if (length == 0 || (length != plain && !runs))
      return Fail(kMsgBlocks, IFD_E_INVALID_DATA, __LINE__);
    try {
      s->item_at.push_back(at);
      s->item_length.push_back(length);
    } catch (const std::exception &) {
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
    }
    at += kRec * (1 + Records(length));
  }
  return 0;
}

// Pairs (count, value) to rows of the block; runs end at the end of each
// row, and the pairs must fill the block exactly.
bool DecodeRuns(const unsigned char *in, size_t length, int32_t width, unsigned char *out,
                int64_t size) {
  int64_t done = 0;
  int32_t column = 0;
  for (size_t i = 0; i + 1 < length; i += 2) {
    const int32_t count = in[i];
    if (count == 0 || count > width - column || done + count > size) return false;
    memset(out + done, in[i + 1], static_cast<size_t>(count));
    done += count;
    column = (column + count) % width;
  }
  return done == size;
}

// Block k of every plane into the plane buffers.
ReturnTp LoadBlock(Cat4State *s, int32_t k) {
  const int64_t plain = PlainSize(s, k);
  for (int c = 0; c < s->components; ++c) {
    const size_t item = static_cast<size_t>(c) * s->blocks + k;
    const uint32_t length = s->item_length[item];
    if (!Seek(s, s->item_at[item] + kRec)) return Fail(kMsgBlocks, IFD_E_INVALID_DATA, __LINE__);
    // Read in pieces: the coded data must be in the file before memory is
    // taken for what it decodes to.
    s->coded.clear();
    for (size_t got = 0; got < length;) {
      const size_t n = std::min<size_t>(kChunk, length - got);
      try {
        s->coded.resize(got + n);
      } catch (const std::exception &) {
        return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
      }
      if (!Get(s, s->coded.data() + got, n))
        return Fail(length == plain ? kMsgPlain : kMsgBlocks, IFD_E_INVALID_DATA, __LINE__);
      got += n;
    }
    if (static_cast<int64_t>(s->planes[c].size()) < plain &&
        !Allocate(s->planes[c], static_cast<size_t>(plain)))
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
    if (length == plain) {
      memcpy(s->planes[c].data(), s->coded.data(), length);
    } else if (!DecodeRuns(s->coded.data(), length, s->width, s->planes[c].data(), plain)) {
      return Fail(kMsgRuns, IFD_E_INVALID_DATA, __LINE__);
    }
  }
  s->loaded = k;
  return 0;
}

// ---- Writing ---------------------------------------------------------------

ReturnTp Put(Cat4State *s, const void *data, size_t size) {
  if (IfiWrite(data, size, 1, s->handle) == 0) return 0;
  perror(" fwrite()");
  return IFD_E_WRITE_HEADER;
}

// An item: its length record, then its bytes padded with zeros to whole
// records.
ReturnTp PutItem(Cat4State *s, const void *data, uint32_t length) {
  unsigned char rec[kRec] = {};
  IfuPutBe32(rec, length);
  ReturnTp rc = Put(s, rec, kRec);
  if (!rc && length) rc = Put(s, data, length);
  const size_t pad = static_cast<size_t>(Records(length) * kRec - length);
  if (!rc && pad) {
    memset(rec, 0, sizeof rec);
    rc = Put(s, rec, pad);
  }
  return rc;
}

// Blank-padded text of n bytes in EBCDIC.
void Text(unsigned char *out, size_t n, const char *text) {
  memset(out, ' ', n);
  memcpy(out, text, std::min(n, strlen(text)));
  IfuAsciiToEbcdic(out, static_cast<int32_t>(n), out);
}

ReturnTp WriteHead(Cat4State *s) {
  static const char *const kDays[] = {"SUNDAY",   "MONDAY", "TUESDAY", "WEDNESDAY",
                                      "THURSDAY", "FRIDAY", "SATURDAY"};
  static const char *const kMonths[] = {"JANUARY",   "FEBRUARY", "MARCH",    "APRIL",
                                        "MAY",       "JUNE",     "JULY",     "AUGUST",
                                        "SEPTEMBER", "OCTOBER",  "NOVEMBER", "DECEMBER"};
  const time_t now = time(nullptr);
  struct tm tm = {};
  localtime_r(&now, &tm);
  unsigned char rec[kRec];
  char text[kRec + 1];

  Text(rec, kRec, "QPL Picture");
  ReturnTp rc = Put(s, rec, kRec);

  memset(rec, 0, kRec);
  memcpy(rec + 16, "PIXEL", 5);
  rec[27] = 1;
  memcpy(rec + 28, " 4 1 22", 7);
  memcpy(rec + 72, "PICTURE", 7);
  rec[79] = ' ';
  if (!rc) rc = Put(s, rec, kRec);

  memset(text, ' ', kRec);
  const int n = snprintf(text, sizeof text, "%2d.%03d%2d.%02d.%02d00.00000.00.0000.00000.000",
                         tm.tm_year, tm.tm_yday + 1, tm.tm_hour, tm.tm_min, tm.tm_sec);
  if (n >= 0 && n < kRec) text[n] = ' ';
  memcpy(text + 48, "ASCI", 4);
  text[kRec] = 0;
  Text(rec, kRec, text);
  if (!rc) rc = Put(s, rec, kRec);

  snprintf(text, sizeof text, "%s %s %d, %d", kDays[tm.tm_wday % 7], kMonths[tm.tm_mon % 12],
           tm.tm_mday, tm.tm_year + 1900);
  Text(rec, 28, text);
  if (!rc) rc = PutItem(s, rec, 28);

  memset(text, ' ', kRec);
  memcpy(text, "CATIA SOLUTIONS V4  RELEASE 1.5 ", 32);
  memcpy(text + 32, "FR 4.1.5", 8);
  text[kRec] = 0;
  Text(rec, kRec, text);
  if (!rc) rc = PutItem(s, rec, kRec);

  IfuPutBe32(rec, 1);
  if (!rc) rc = PutItem(s, rec, 4);
  Text(rec, 1, " ");
  if (!rc) rc = PutItem(s, rec, 1);

  const uint32_t ppb = static_cast<uint32_t>(s->rows) * static_cast<uint32_t>(s->width);
  memset(rec, 0, kRec);
  rec[3] = 1;  // 16-bit 0, 16-bit 1
  IfuPutBe32(rec + 4, 3 * static_cast<uint32_t>(s->blocks) + 1);
  IfuPutBe32(rec + 8, ppb);
  if (!rc) rc = PutItem(s, rec, kLayoutItem);

  const uint32_t image[9] = {static_cast<uint32_t>(s->width),
                             static_cast<uint32_t>(s->height),
                             1,
                             kWrittenCode,
                             static_cast<uint32_t>(s->blocks),
                             ppb,
                             1,
                             8,
                             0};
  for (int i = 0; i < 9; ++i) IfuPutBe32(rec + 4 * i, image[i]);
  if (!rc) rc = PutItem(s, rec, kImageItem);
  return rc;
}

// One block of a plane, run-length coded where that is shorter.
ReturnTp WriteBlock(Cat4State *s, const unsigned char *plane, int32_t k) {
  const int32_t rows = BlockRows(s, k);
  const size_t plain = static_cast<size_t>(rows) * static_cast<size_t>(s->width);
  const unsigned char *in = plane + static_cast<size_t>(k) * s->rows * s->width;
  size_t n = 0;
  for (int32_t y = 0; y < rows && n < plain; ++y) {
    const unsigned char *row = in + static_cast<size_t>(y) * s->width;
    for (int32_t x = 0; x < s->width && n < plain;) {
      int32_t count = 1;
      while (count < 255 && x + count < s->width && row[x + count] == row[x]) ++count;
      s->runs[n++] = static_cast<unsigned char>(count);
      s->runs[n++] = row[x];
      x += count;
    }
  }
  if (n % 2 != 0) {
    fputs("Bad alignment in catia output buffer\n", stderr);
    return IFD_E_WRITE_LINE;
  }
  if (n >= plain) return PutItem(s, in, static_cast<uint32_t>(plain));
  return PutItem(s, s->runs.data(), static_cast<uint32_t>(n));
}

ReturnTp WriteData(Cat4State *s) {
  for (int c = 0; c < 3; ++c)
    for (int32_t k = 0; k < s->blocks; ++k) {
      ReturnTp rc = WriteBlock(s, s->planes[c].data(), k);
      if (rc) return rc;
    }
  unsigned char end[kRec] = {};
  memset(end, 0xFF, 32);
  ReturnTp rc = PutItem(s, end, kRec);
  return rc ? rc : PutItem(s, end, kRec);
}

ReturnTp IfdCatia4Init(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  std::unique_ptr<Cat4State> s(new (std::nothrow) Cat4State());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  unsigned char head[kPrefix + kMarkAt + 8];
  size_t n = 0;
  ReturnTp rc =
      IffOpenDriverStream(request, &s->handle, head, sizeof head, nullptr, IFF_HEADER_AS_FOUND, &n);
  if (rc) return rc;
  if (request->service == IFF_SRV_EXPORT) {
    // Records go out in small pieces; a bigger stream buffer keeps writes few.
    IfiSetBuffer(s->handle, nullptr, 0, kExportBuffer);
    *state = s.release();
    return 0;
  }
  if (n >= kMarkAt + 6 && IsMark(head + kMarkAt)) {
    s->recognised = true;
  } else if (n >= sizeof head - 2 && IsMark(head + kPrefix + kMarkAt)) {
    s->recognised = true;
    s->prefix = kPrefix;
  }
  request->recognised = s->recognised;
  *state = s.release();
  return 0;
}

ReturnTp IfdCatia4RdHead(void *state, IffParamTp *p) {
  auto *s = static_cast<Cat4State *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!s->recognised) return CmnError(CMN_SOURCE, __LINE__, IFD_E_UNSUPPORTED, kFormat);
  // Items up to the image record (the one of 36 bytes); others are passed over.
  int64_t at = 3 * kRec;
  unsigned char rec[kRec];
  for (;;) {
    if (!Seek(s, at) || !Get(s, rec, kRec)) return Fail(kMsgNoPixels, IFD_E_INVALID_DATA, __LINE__);
    const uint32_t length = IfuGetBe32(rec);
    at += kRec * (1 + Records(length));
    if (length == kImageItem) break;
  }
  if (!Get(s, rec, kRec)) return Fail(kMsgNoPixels, IFD_E_INVALID_DATA, __LINE__);
  uint32_t word[9];
  for (int i = 0; i < 9; ++i) word[i] = IfuGetBe32(rec + 4 * i);
  if (word[2] != 1) return Fail(kMsgImageCode, IFD_E_UNSUPPORTED, __LINE__);
  if (!SplitCode(s, word[3])) return Fail(kMsgCode, IFD_E_UNSUPPORTED, __LINE__);
  if (s->method != 0 && (s->method != kMethodRuns || s->sample_bytes != 1))
    return Fail(kMsgMethod, IFD_E_UNSUPPORTED, __LINE__);
  const uint32_t width = word[0], height = word[1], blocks = word[4], ppb = word[5];
  if (width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX || ppb == 0 ||
      ppb % width != 0)
    return Fail(kMsgSize, IFD_E_INVALID_DATA, __LINE__);
  const uint32_t rows = std::min(ppb / width, height);
  if (blocks == 0 || blocks != (height - 1) / rows + 1)
    return Fail(kMsgSize, IFD_E_INVALID_DATA, __LINE__);
  s->width = static_cast<int32_t>(width);
  s->height = static_cast<int32_t>(height);
  s->rows = static_cast<int32_t>(rows);
  s->blocks = static_cast<int32_t>(blocks);
  ReturnTp rc = IndexBlocks(s, at);
  if (rc) return rc;
  s->loaded = -1;
  s->next_line = 0;

  p->width = s->width;
  p->height = s->height;
  p->aspect_x = p->aspect_y = 1;
  p->color_model = IFF_CM_RGB;
  p->bits_per_sample = 8;
  p->bytes_per_pixel = 3;
  p->planes = 1;
  p->reported1 = 1;
  p->has_cmap = 0;
  FXIBitsPerPixel = 24;
  FXICompression = s->method ? IFF_COMP_RLE : IFF_COMP_NONE;
  return 0;
}

ReturnTp IfdCatia4RdScan(void *state, IffParamTp *p) {
  auto *s = static_cast<Cat4State *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->item_at.empty() || p->line != s->next_line || s->next_line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  const int32_t k = p->line / s->rows;
  if (k != s->loaded) {
    ReturnTp rc = LoadBlock(s, k);
    if (rc) return rc;
  }
  ++s->next_line;
  const size_t row = static_cast<size_t>(p->line - k * s->rows) * s->width * s->sample_bytes;
  unsigned char *out = p->buffer;
  // Sixteen-bit samples keep their high byte, which comes first.
  for (int32_t x = 0; x < s->width; ++x)
    for (int c = 0; c < 3; ++c) {
      const int plane = s->components == 3 ? c : 0;
      out[3 * x + c] = s->planes[plane][row + static_cast<size_t>(x) * s->sample_bytes];
    }
  return 0;
}

ReturnTp IfdCatia4WtHead(void *state, IffParamTp *p) {
  auto *s = static_cast<Cat4State *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (p->color_model != IFF_CM_RGB || p->has_cmap)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_NEEDS_RGB);
  if (p->compression[0] != IFF_COMP_NONE) return CmnError(CMN_SOURCE, __LINE__, IFD_E_COMPRESSION);
  if (p->width < 1 || p->height < 1) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  s->width = p->width;
  s->height = p->height;
  s->rows = static_cast<int32_t>(
      std::max<int64_t>(1, std::min<int64_t>(s->height, kBlockPixels / s->width)));
  s->blocks = (s->height - 1) / s->rows + 1;
  s->next_line = 0;
  // The planes are stored one after the other: the whole picture is kept.
  const size_t plane = static_cast<size_t>(s->width) * static_cast<size_t>(s->height) + kRec;
  for (auto &v : s->planes)
    if (!Allocate(v, plane)) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  if (!Allocate(s->runs, 2 * static_cast<size_t>(s->rows) * static_cast<size_t>(s->width) + 2))
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  return WriteHead(s) ? CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_HEADER) : 0;
}

ReturnTp IfdCatia4WtScan(void *state, IffParamTp *p) {
  auto *s = static_cast<Cat4State *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->planes[0].empty() || p->line != s->next_line || s->next_line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  const size_t at = static_cast<size_t>(p->line) * s->width;
  for (int32_t x = 0; x < s->width; ++x)
    for (int c = 0; c < 3; ++c) s->planes[c][at + x] = p->buffer[3 * x + c];
  if (++s->next_line == s->height && WriteData(s))
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_LINE);
  return 0;
}

ReturnTp IfdCatia4Term(void **state) { return IffTermDriverState<Cat4State>(state); }

}  // namespace

const IffFormatTp IfdCatia4Format = {
    "Catia4",
    {{IFF_TYPE_CATIA, "Catia."}},
    0,
    0,
    {IfdCatia4Init, IfdCatia4RdHead, IfdCatia4WtHead, nullptr, nullptr, IfdCatia4RdScan,
     IfdCatia4WtScan, IfdCatia4Term},
    {{"cat4", IFF_TYPE_CATIA, IFF_CM_RGB}, {"catia4", IFF_TYPE_CATIA, IFF_CM_RGB}},
    IFF_MODEL_BIT(IFF_CM_RGB),
};
