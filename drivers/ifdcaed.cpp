// I-DEAS picture files, binary and formatted (text): a sequence of
// commands, each a header of five numbers (class, code, counts of
// integers, reals and characters) followed by its values. The picture is
// drawn by raster commands: a row position, then runs of pixels from a
// start column, then the end of the row. Read only.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "drivers.h"

#define CMN_SOURCE "ifdcaed"

namespace {

const char kFormat[] = "I-DEAS";

constexpr int kKept = 15;       // integers and reals kept of one command
constexpr int kLine = 80;       // a formatted text or data line
constexpr int kPerLine = 8;     // formatted pixel values per data line
constexpr int kValueWidth = 9;  // formatted: three characters per component

enum { kClassPicture = 0, kClassRaster = 3 };
enum { kBeginPicture = 1, kPictureKind = 2, kEndPicture = 7 };
enum { kRasterStart = 1, kRasterRow = 2, kRasterRun = 3, kRasterRowEnd = 4 };

struct Command {
  uint32_t cls = 0, code = 0;
  uint64_t nint = 0, nreal = 0, nchar = 0;
  int32_t ints[kKept] = {};
  float reals[kKept] = {};
  bool overflow = false;
};

struct CaedsState {
  IfiHandleTp *handle = nullptr;
  bool binary = false;
  // Formatted input read ahead.
  unsigned char in[8192];
  int32_t in_pos = 0, in_len = 0;
  // The picture.
  int64_t top = 0, first_column = 0;
  int32_t width = 0, height = 0;
  int32_t next_line = 0;
};

// ---- Formatted input --------------------------------------------------------

int NextChar(CaedsState *s) {
  if (s->in_pos == s->in_len) {
    s->in_pos = 0;
    s->in_len = static_cast<int32_t>(IfiFetch(s->in, 1, sizeof s->in, s->handle));
    if (s->in_len == 0) return -1;
  }
  return s->in[s->in_pos++];
}

void Unget(CaedsState *s) { --s->in_pos; }

bool IsSpace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A number token: blanks, then the characters of `allowed`; false at the end
// of the file or when nothing of it is there.
bool Token(CaedsState *s, const char *allowed, char *out, size_t size) {
  int c;
  do c = NextChar(s);
  while (c >= 0 && IsSpace(c));
  size_t n = 0;
  while (c > 0 && strchr(allowed, c)) {
    if (n + 1 < size) out[n++] = static_cast<char>(c);
    c = NextChar(s);
  }
  if (c >= 0) Unget(s);
  out[n] = 0;
  return n > 0;
}

bool ReadInteger(CaedsState *s, int64_t *value) {
  char text[32];
  if (!Token(s, "+-0123456789", text, sizeof text)) return false;
  char *end;
  *value = strtoll(text, &end, 10);
  return *end == 0;
}

bool ReadReal(CaedsState *s, float *value) {
  char text[64];
  if (!Token(s, "+-.0123456789eEdD", text, sizeof text)) return false;
  for (char *p = text; *p; ++p)
    if (*p == 'd' || *p == 'D') *p = 'E';
  char *end;
  *value = strtof(text, &end);
  return *end == 0;
}

// The rest of the current line is passed over; the next line (its first
// kLine characters) goes to line, padded with blanks. False at the end.
bool ReadLine(CaedsState *s, char *line, bool skip_rest) {
  int c;
  if (skip_rest) {
    while ((c = NextChar(s)) >= 0 && c != '\n') {
    }
    if (c < 0) return false;
  }
  memset(line, ' ', kLine);
  int n = 0;
  while ((c = NextChar(s)) >= 0 && c != '\n')
    if (n < kLine && c != '\r') line[n++] = static_cast<char>(c);
  return c >= 0 || n > 0;
}

// ---- Binary input -------------------------------------------------------------

bool Get32(CaedsState *s, uint32_t *value) {
  unsigned char b[4];
  if (IfiRead(b, 4, 1, s->handle) != 0) return false;
  *value = IfuGetBe32(b);
  return true;
}

// The length word before a record, which must be `length`.
bool Open(CaedsState *s, uint64_t length) {
  uint32_t word;
  return Get32(s, &word) && word == length;
}
bool Close(CaedsState *s, uint64_t length) { return Open(s, length); }

bool Skip(CaedsState *s, int64_t bytes) { return bytes == 0 || IfiSeek(s->handle, bytes, 1) == 0; }

// n values of 4 bytes as one record, the first kKept kept.
bool ReadValues(CaedsState *s, uint64_t n, uint32_t *kept) {
  if (n == 0) return true;
  if (!Open(s, 4 * n)) return false;
  const uint64_t keep = std::min<uint64_t>(n, kKept);
  for (uint64_t i = 0; i < keep; ++i)
    if (!Get32(s, &kept[i])) return false;
  return Skip(s, static_cast<int64_t>(4 * (n - keep))) && Close(s, 4 * n);
}

// ---- Commands -----------------------------------------------------------------

// The next command. A command with more than kKept integers or reals
// keeps the first ones and comes back marked; false for a file that ends
// or whose records do not hold together.
bool ReadCommand(CaedsState *s, Command *c) {
  *c = Command();
  if (s->binary) {
    uint32_t h[5];
    if (!Open(s, 20)) return false;
    for (uint32_t &v : h)
      if (!Get32(s, &v)) return false;
    if (!Close(s, 20)) return false;
    c->cls = h[0];
    c->code = h[1];
    c->nint = h[2];
    c->nreal = h[3];
    c->nchar = h[4];
    uint32_t ints[kKept], reals[kKept];
    if (!ReadValues(s, c->nint, ints) || !ReadValues(s, c->nreal, reals)) return false;
    for (uint64_t i = 0; i < std::min<uint64_t>(c->nint, kKept); ++i)
      c->ints[i] = static_cast<int32_t>(ints[i]);
    for (uint64_t i = 0; i < std::min<uint64_t>(c->nreal, kKept); ++i)
      memcpy(&c->reals[i], &reals[i], 4);
    const uint64_t text = (2 * c->nchar + 2) / 4 * 4;
    if (text > 0 && !(Open(s, text) && Skip(s, static_cast<int64_t>(text)) && Close(s, text)))
      return false;
  } else {
    int64_t h[5];
    for (int64_t &v : h)
      if (!ReadInteger(s, &v)) return false;
    // Read as unsigned numbers: a minus sign wraps around.
    c->cls = static_cast<uint32_t>(h[0]);
    c->code = static_cast<uint32_t>(h[1]);
    c->nint = static_cast<uint64_t>(h[2]);
    c->nreal = static_cast<uint64_t>(h[3]);
    c->nchar = static_cast<uint64_t>(h[4]);
    for (uint64_t i = 0; i < c->nint; ++i) {
      int64_t v;
      if (!ReadInteger(s, &v)) return false;
      if (i < kKept) c->ints[i] = static_cast<int32_t>(v);
    }
    for (uint64_t i = 0; i < c->nreal; ++i) {
      float v;
      if (!ReadReal(s, &v)) return false;
      if (i < kKept) c->reals[i] = v;
    }
    char line[kLine];
    if (c->nchar > 0 && !ReadLine(s, line, true)) return false;
  }
  c->overflow = c->nint > kKept || c->nreal > kKept;
  return true;
}

ReturnTp Invalid(unsigned line) { return CmnError(CMN_SOURCE, line, IFD_E_INVALID_DATA, kFormat); }

bool Is(const Command &c, uint32_t cls, uint32_t code) { return c.cls == cls && c.code == code; }

// The next command that is not of the raster class.
bool NextPictureCommand(CaedsState *s, Command *c) {
  do
    if (!ReadCommand(s, c)) return false;
  while (c->cls == kClassRaster);
  return true;
}

// The pixels of a run, skipped (out null) or placed in out.
bool RunData(CaedsState *s, int64_t length, unsigned char *out) {
  if (s->binary) {
    if (!out) return Skip(s, 4 * length + 8);
    if (!Open(s, static_cast<uint64_t>(4 * length))) return false;
    for (int64_t i = 0; i < length; ++i) {
      unsigned char v[4];
      if (IfiRead(v, 4, 1, s->handle) != 0) return false;
      memcpy(out + 3 * i, v + 1, 3);
    }
    return Close(s, static_cast<uint64_t>(4 * length));
  }
  char line[kLine];
  for (int64_t i = 0; i < length; i += kPerLine) {
    // The first data line starts after the command's last number.
    if (!ReadLine(s, line, i == 0)) return false;
    if (!out) continue;
    for (int64_t k = 0; k < kPerLine && i + k < length; ++k)
      for (int comp = 0; comp < 3; ++comp) {
        const char *digits = line + k * kValueWidth + 3 * comp;
        int v = 0;
        for (int d = 0; d < 3; ++d)
          if (digits[d] >= '0' && digits[d] <= '9') v = 10 * v + digits[d] - '0';
        out[3 * (i + k) + comp] = static_cast<unsigned char>(std::min(v, 255));
      }
  }
  return true;
}

ReturnTp Rewind(CaedsState *s) {
  s->in_pos = s->in_len = 0;
  ReturnTp rc = IfiSeek(s->handle, 0, 0);
  return rc ? CmnReraise(CMN_SOURCE, __LINE__, rc) : 0;
}

ReturnTp Init(void **state, IffOpenRequestTp *request, bool binary) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  if (request->service != IFF_SRV_IMPORT)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_CONVERT, kFormat);
  std::unique_ptr<CaedsState> s(new (std::nothrow) CaedsState());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  s->binary = binary;
  ReturnTp rc = IffOpenDriverStream(request, &s->handle, nullptr, 0);
  if (rc) return rc;
  *state = s.release();
  return 0;
}

ReturnTp IfdCaedsFormatInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  return Init(state, request, false);
}

ReturnTp IfdCaedsBinaryInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  return Init(state, request, true);
}

ReturnTp IfdCaedsRdHead(void *state, IffParamTp *p) {
  auto *s = static_cast<CaedsState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  ReturnTp rc = Rewind(s);
  if (rc) return rc;
  Command c;
  if (!NextPictureCommand(s, &c) || !Is(c, kClassPicture, kBeginPicture)) return Invalid(__LINE__);
  if (!NextPictureCommand(s, &c) || !Is(c, kClassPicture, kPictureKind) || c.nint < 1 ||
      (c.ints[0] != 6 && c.ints[0] != 8))
    return Invalid(__LINE__);

  // The extent: rows from the row positions, columns from the runs.
  bool any_row = false, any_run = false;
  int64_t top = 0, bottom = 0, left = 0, right = 0;
  for (;;) {
    if (!ReadCommand(s, &c)) return Invalid(__LINE__);
    if (Is(c, kClassPicture, kEndPicture)) break;
    if (Is(c, kClassRaster, kRasterRow)) {
      if (c.nint < 1) return Invalid(__LINE__);
      if (!any_row) top = c.ints[0];
      bottom = any_row ? std::min<int64_t>(bottom, c.ints[0]) : c.ints[0];
      any_row = true;
    } else if (Is(c, kClassRaster, kRasterRun)) {
      if (c.nint < 2 || c.ints[1] < 0) return Invalid(__LINE__);
      const int64_t start = c.ints[0], end = start + c.ints[1] - 1;
      if (!RunData(s, c.ints[1], nullptr)) return Invalid(__LINE__);
      if (c.ints[1] == 0) continue;
      left = any_run ? std::min(left, start) : start;
      right = any_run ? std::max(right, end) : end;
      any_run = true;
    }
  }
  const int64_t width = right - left + 1, height = top - bottom + 1;
  if (!any_run || !any_row || width < 1 || height < 1)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_CAEDS_NO_RASTER);
  if (width > INT32_MAX || height > INT32_MAX)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_UNSUPPORTED, kFormat);
  s->top = top;
  s->first_column = left;
  s->width = static_cast<int32_t>(width);
  s->height = static_cast<int32_t>(height);
  s->next_line = 0;
  if ((rc = Rewind(s)) != 0) return rc;

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
  FXICompression = IFF_COMP_RLE;  // the picture is stored as runs of colour
  return 0;
}

ReturnTp IfdCaedsRdScan(void *state, IffParamTp *p) {
  auto *s = static_cast<CaedsState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->width == 0 || p->line != s->next_line || s->next_line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  const int32_t line = s->next_line++;
  unsigned char *row = p->buffer;
  memset(row, 0, 3 * static_cast<size_t>(s->width));
  Command c;
  do {
    if (!ReadCommand(s, &c)) return Invalid(__LINE__);
  } while (c.cls != kClassRaster || c.code == kRasterStart);
  if (c.code != kRasterRow || c.nint < 1 || c.ints[0] != s->top - line) return Invalid(__LINE__);
  for (;;) {
    if (!ReadCommand(s, &c) || c.cls != kClassRaster) return Invalid(__LINE__);
    if (c.code == kRasterRowEnd) return 0;
    if (c.code != kRasterRun || c.nint < 2 || c.ints[1] < 0) return Invalid(__LINE__);
    const int64_t at = c.ints[0] - s->first_column, length = c.ints[1];
    if (at < 0 || at + length > s->width) return Invalid(__LINE__);
    if (!RunData(s, length, row + 3 * at)) return Invalid(__LINE__);
  }
}

ReturnTp IfdCaedsTerm(void **state) { return IffTermDriverState<CaedsState>(state); }

}  // namespace

const IffFormatTp IfdCaedsFormattedFormat = {
    "CaedsFormatted",
    {{IFF_TYPE_CAEDS_FORMATTED, "I-DEAS Picture\nFormatted."}},
    0,
    0,
    {IfdCaedsFormatInit, IfdCaedsRdHead, nullptr, nullptr, nullptr, IfdCaedsRdScan, nullptr,
     IfdCaedsTerm},
    {},
    0,
};

const IffFormatTp IfdCaedsBinaryFormat = {
    "CaedsBinary",
    {{IFF_TYPE_CAEDS_BINARY, "I-DEAS Picture\nBinary."}},
    0,
    0,
    {IfdCaedsBinaryInit, IfdCaedsRdHead, nullptr, nullptr, nullptr, IfdCaedsRdScan, nullptr,
     IfdCaedsTerm},
    {},
    0,
};
