// The portable bitmap family: PBM, PGM and PPM in their plain (P1..P3) and
// raw (P4..P6) forms, and the portable arbitrary map (P7). Reads any number
// of images concatenated in one stream, one per header read; writes raw
// PGM, PPM and PBM.
//
// What reaches the line buffer: one byte per grey pixel, three per RGB
// pixel, four per PAM pixel with alpha (blue, green, red premultiplied by
// alpha, then alpha: the display pixel). Samples of more than 8 bits (a
// maximum value above 255, two bytes per sample in the file, most
// significant first) are spread over 16 bits and delivered low byte first
// as 16-bit grey or RGB, which the interface reduces to 8 bits; with alpha
// they are reduced here, because the interface has no 16-bit form of them.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "drivers.h"

namespace {

#define CMN_SOURCE "ifdpbm"

// Comments and header words are read into this; longer ones are cut.
constexpr size_t kWorkSize = 65536;
// What the message about a bad PAM header line shows of it.
constexpr size_t kShownLine = 100;
constexpr int32_t kMaxSample = 65535;
// A plain sample longer than this is taken as this: larger values are
// clamped to the maximum value anyway.
constexpr uint32_t kSampleCap = 1u << 30;

struct PbmState {
  IfiHandleTp *handle = nullptr;
  int32_t width = 0, height = 0;
  int32_t next_line = 0;
  int32_t out_bits = 0;      // export: 24, 8 or 1
  uint32_t color_model = 0;  // export
  int64_t bytes_per_line = 0;
  int32_t format = 0;  // the digit of the magic; 0 before the first header
  int32_t maxval = 0;
  int32_t depth = 0;         // samples per pixel in the file
  int32_t sample_bytes = 1;  // 2 when the maximum value needs 16 bits
  int32_t pixel_bytes = 0;   // export: bytes per pixel of the lines given to us
  int pushback = -1;         // one character given back by the text readers
  // Import: a file row too long for the interface's line buffer (16-bit
  // samples with alpha). Export: the packed bilevel row.
  std::vector<unsigned char> row;
  bool pam = false;  // export: the file is a PAM (P7)
};

bool IsSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

int GetChar(PbmState *s) {
  if (s->pushback >= 0) {
    int c = s->pushback;
    s->pushback = -1;
    return c;
  }
  unsigned char c;
  if (IfiFetch(&c, 1, 1, s->handle) != 1) return -1;
  IfiAccount(s->handle, 1, 0);
  return c;
}

// Single-character pushback instead of peeking: peeking at the end of the
// read-ahead grows the I/O buffer byte by byte.
void UngetChar(PbmState *s, int c) { s->pushback = c; }

// The rest of a comment line after its '#', the line end consumed. Keeps
// at most size - 1 characters in text (null terminated; text may be null);
// returns the characters of the whole line.
size_t ReadCommentLine(PbmState *s, char *text, size_t size) {
  size_t n = 0, kept = 0;
  for (int c; (c = GetChar(s)) >= 0 && c != '\n'; ++n)
    if (text && kept + 1 < size) text[kept++] = static_cast<char>(c);
  if (text) text[kept] = '\0';
  return n;
}

// A word runs up to white space, a '#' or the end of the data; the
// character that ends it stays unread.
size_t ReadWord(PbmState *s, char *word, size_t size) {
  size_t kept = 0;
  int c;
  while ((c = GetChar(s)) >= 0 && !IsSpace(c) && c != '#')
    if (kept + 1 < size) word[kept++] = static_cast<char>(c);
  UngetChar(s, c);
  word[kept] = '\0';
  return kept;
}

// The single white-space character between a header and its raw data. A
// comment there counts as that character, as it ends with a line end.
void SkipOneSpace(PbmState *s) {
  int c = GetChar(s);
  if (c == '#')
    ReadCommentLine(s, nullptr, 0);
  else if (!IsSpace(c))
    UngetChar(s, c);
}

bool StartsWith(const char *text, const char *prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

// What the comments of one header said.
struct HeaderNotes {
  char *work = nullptr;  // kWorkSize bytes
  bool pam = false;
  int metric_values = 0;  // millimetre values found
  double mm_width = 0, mm_height = 0;
  IffParamTp *param = nullptr;
};

// An owned copy of a comment's text, replacing an earlier one.
ReturnTp KeepText(char **slot, const char *text) {
  char *copy = strdup(text);
  if (!copy) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  free(*slot);
  *slot = copy;
  return 0;
}

void ParseMetric(HeaderNotes *notes, const char *values) {
  double w = 0, h = 0;
  int n = sscanf(values, "%lf x %lf", &w, &h);
  if (n < 1) return;
  notes->metric_values = n;
  notes->mm_width = w;
  notes->mm_height = n > 1 ? h : 0;
}

// Header white space and comments. Outside the header (notes null) comments
// are only skipped. In a PBM..PPM header only a "#METRIC" comment that
// starts within the first 10 characters of the skipped text means
// something; in a PAM header the four comments of ours do wherever they are.
ReturnTp SkipSpace(PbmState *s, HeaderNotes *notes) {
  size_t offset = 0;
  for (;;) {
    int c = GetChar(s);
    if (c < 0) return 0;
    if (IsSpace(c)) {
      ++offset;
      continue;
    }
    if (c != '#') {
      UngetChar(s, c);
      return 0;
    }
    if (!notes) {
      ReadCommentLine(s, nullptr, 0);
      continue;
    }
    const char *text = notes->work;
    size_t length = ReadCommentLine(s, notes->work, kWorkSize);
    if (!notes->pam) {
      if (offset < 10 && StartsWith(text, "METRIC")) ParseMetric(notes, text + 6);
    } else if (StartsWith(text, "METRIC ")) {
      ParseMetric(notes, text + 7);
    } else {
      ReturnTp rc = 0;
      if (StartsWith(text, "DESCRIPTION "))
        rc = KeepText(&notes->param->description, text + 12);
      else if (StartsWith(text, "TITLE "))
        rc = KeepText(&notes->param->title, text + 6);
      else if (StartsWith(text, "PAGELIST "))
        rc = KeepText(&notes->param->pagelist, text + 9);
      if (rc) return rc;
    }
    offset += length + 2;
  }
}

// A header number of P1..P6: decimal digits only. Zero passes: a size of
// 0 is the interface's to refuse, a maximum of 0 means no scaling.
bool ParseCount(const char *word, int32_t *value) {
  size_t n = strlen(word);
  if (n == 0 || n > 10 || strspn(word, "0123456789") != n) return false;
  long long v = strtoll(word, nullptr, 10);
  if (v > INT32_MAX) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

// A PAM header value: an optionally signed decimal number and the white
// space after it. Without digits the value stays as it was and the text
// is left for the next word.
void ReadPamValue(PbmState *s, int32_t *value) {
  int c;
  while (IsSpace(c = GetChar(s))) {
  }
  bool negative = c == '-';
  if (c == '-' || c == '+') c = GetChar(s);
  if (c < '0' || c > '9') {
    UngetChar(s, c);
    return;
  }
  int64_t v = 0;
  for (; c >= '0' && c <= '9'; c = GetChar(s))
    v = std::min<int64_t>(v * 10 + (c - '0'), INT64_C(1) << 40);
  v = negative ? -v : v;
  *value = static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
  while (IsSpace(c)) c = GetChar(s);
  UngetChar(s, c);
}

// Resolutions from the physical size, once the pixel size is known.
void SetResolution(const HeaderNotes &notes, int32_t width, int32_t height, IffParamTp *p) {
  auto dpi = [](int32_t pixels, double mm) {
    if (!(mm > 0)) return 0.0;
    double r = pixels * 25.4 / mm;
    return std::isfinite(r) && r > 0 ? r : 0.0;
  };
  if (!notes.metric_values) return;
  double x = dpi(width, notes.mm_width);
  double y = dpi(height, notes.mm_height);
  if (!notes.pam) {
    if (x == 0) x = y;
    if (y == 0) y = x;
  }
  p->x_resolution = x;
  p->y_resolution = y;
  if (x != 0 || y != 0) p->resolution_known = 1;
}

ReturnTp BadData(unsigned line, const PbmState *s) {
  return CmnError(CMN_SOURCE, line, IFD_E_INVALID_DATA, s->format == 7 ? "PAM" : "PNM");
}

// Width, height and maximum value of P1..P6.
ReturnTp ReadPnmHeader(PbmState *s, HeaderNotes *notes) {
  int32_t *fields[] = {&s->width, &s->height, &s->maxval};
  const bool bitmap = s->format == 1 || s->format == 4;
  const int count = bitmap ? 2 : 3;
  for (int i = 0; i < count; ++i) {
    ReturnTp rc = SkipSpace(s, notes);
    if (rc) return rc;
    ReadWord(s, notes->work, kWorkSize);
    if (!ParseCount(notes->work, fields[i])) return BadData(__LINE__, s);
  }
  if (bitmap) s->maxval = 1;
  SkipOneSpace(s);
  return 0;
}

// The keyword lines of P7, up to ENDHDR.
ReturnTp ReadPamHeader(PbmState *s, HeaderNotes *notes) {
  char *word = notes->work;
  for (;;) {
    ReturnTp rc = SkipSpace(s, notes);
    if (rc) return rc;
    ReadWord(s, word, kWorkSize);
    if (StartsWith(word, "WIDTH")) {
      ReadPamValue(s, &s->width);
    } else if (StartsWith(word, "HEIGHT")) {
      ReadPamValue(s, &s->height);
    } else if (StartsWith(word, "MAXVAL")) {
      ReadPamValue(s, &s->maxval);
    } else if (StartsWith(word, "DEPTH")) {
      ReadPamValue(s, &s->depth);
    } else if (StartsWith(word, "TUPLTYPE")) {
      ReadCommentLine(s, nullptr, 0);
    } else {
      break;
    }
  }
  if (strcmp(word, "ENDHDR") != 0) {
    char line[kShownLine + 1];
    size_t n = std::min(strlen(word), kShownLine);
    memcpy(line, word, n);
    for (int c; n < kShownLine && (c = GetChar(s)) >= 0 && c != '\n' && c != '\r';)
      line[n++] = static_cast<char>(c);
    line[n] = '\0';
    char message[sizeof line + 40];
    snprintf(message, sizeof message, "Invalid line in PAM header: [%s]", line);
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, message);
  }
  if (s->depth > 4) return CmnError(CMN_SOURCE, __LINE__, IFD_E_UNSUPPORTED, "PAM");
  if (s->width < 0 || s->height < 0 || s->depth < 1) return BadData(__LINE__, s);
  SkipOneSpace(s);
  return 0;
}

// A sample of plain data: P1 takes any character outside white space and
// comments, P2 and P3 a decimal number. False at the end of the data or
// where no number stands.
bool ReadPlainSample(PbmState *s, uint32_t *value, uint32_t *low8 = nullptr) {
  SkipSpace(s, nullptr);
  int c = GetChar(s);
  if (c < 0) return false;
  if (s->format == 1) {
    *value = c == '0' ? 1 : 0;
    if (low8) *low8 = *value;
    return true;
  }
  if (c < '0' || c > '9') {
    UngetChar(s, c);
    return false;
  }
  uint32_t v = 0, low = 0;
  for (; c >= '0' && c <= '9'; c = GetChar(s)) {
    v = v >= kSampleCap / 10 ? kSampleCap : v * 10 + static_cast<uint32_t>(c - '0');
    low = (low * 10 + static_cast<uint32_t>(c - '0')) & 0xFF;  // exact, however long
  }
  UngetChar(s, c);
  *value = v;
  if (low8) *low8 = low;
  return true;
}

// Saturating a x b, for amounts of data that a hostile header may make
// absurd.
int64_t Product(int64_t a, int64_t b) {
  int64_t r;
  return __builtin_mul_overflow(a, b, &r) ? INT64_MAX : r;
}

// Passes over the lines of the current image that were not read, so that
// the next header read finds the next image. Stops at the end of the data.
void SkipRestOfImage(PbmState *s, char *scratch) {
  if (s->format == 0 || s->next_line >= s->height) return;
  const int64_t lines = s->height - s->next_line;
  s->next_line = s->height;
  if (s->format >= 4) {
    int64_t left = Product(lines, s->bytes_per_line);
    if (s->pushback >= 0) {
      GetChar(s);
      --left;
    }
    while (left > 0) {
      size_t chunk = static_cast<size_t>(std::min<int64_t>(left, kWorkSize));
      size_t got = IfiFetch(scratch, 1, chunk, s->handle);
      left -= static_cast<int64_t>(got);
      if (got < chunk) return;
    }
    return;
  }
  uint32_t v;
  for (int64_t left = Product(lines, Product(s->width, s->depth)); left > 0; --left)
    if (!ReadPlainSample(s, &v)) return;
}

// v of 0..maxval spread over 0..top.
uint32_t Scale(uint32_t v, uint32_t maxval, uint32_t top) {
  if (maxval == 0) return std::min(v, top);  // a maximum of 0 scales nothing
  return std::min(v, maxval) * top / maxval;
}

// Pixels of red, green, blue and alpha become display pixels: blue, green,
// red premultiplied by alpha, then alpha.
void Premultiply(unsigned char *p, int32_t width) {
  for (int32_t i = 0; i < width; ++i, p += 4) {
    unsigned a = p[3];
    if (a == 255) {
      std::swap(p[0], p[2]);
    } else if (a == 0) {
      p[0] = p[1] = p[2] = 0;
    } else {
      unsigned char r = p[0];
      p[0] = static_cast<unsigned char>(p[2] * a / 255);
      p[1] = static_cast<unsigned char>(p[1] * a / 255);
      p[2] = static_cast<unsigned char>(r * a / 255);
    }
  }
}

// Raw 16-bit samples (most significant byte first) in place: spread over
// 16 bits, low byte first.
void Spread16(unsigned char *p, int64_t samples, uint32_t maxval) {
  for (int64_t i = 0; i < samples; ++i, p += 2) {
    uint32_t v = Scale(static_cast<uint32_t>(p[0] << 8 | p[1]), maxval, 65535);
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
  }
}

// Raw samples of either width reduced to 8 bits, from src to dst (which
// may be the same place: dst never runs ahead of src).
void Reduce8(const unsigned char *src, unsigned char *dst, int64_t samples, int32_t sample_bytes,
             uint32_t maxval) {
  if (sample_bytes == 1 && maxval == 255 && src == dst) return;
  for (int64_t i = 0; i < samples; ++i) {
    uint32_t v =
        sample_bytes == 2 ? static_cast<uint32_t>(src[2 * i] << 8 | src[2 * i + 1]) : src[i];
    dst[i] = static_cast<unsigned char>(maxval == 255 ? v : Scale(v, maxval, 255));
  }
}

ReturnTp ReadRawLine(PbmState *s, unsigned char *buffer, IffParamTp *scan) {
  const int32_t w = s->width;
  const int64_t samples = Product(w, s->depth);
  unsigned char *raw = buffer;
  if (s->depth == 4 && s->sample_bytes == 2) {
    if (s->row.empty()) {
      try {
        s->row.resize(static_cast<size_t>(s->bytes_per_line));
      } catch (const std::exception &) {
        return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
      }
    }
    raw = s->row.data();
  }
  memset(raw, 0, static_cast<size_t>(s->bytes_per_line));
  size_t start = 0;
  if (s->pushback >= 0) raw[start++] = static_cast<unsigned char>(GetChar(s));
  // A short or failed read is no error: missing data reads as zeros.
  if (static_cast<int64_t>(start) < s->bytes_per_line)
    IfiRead(raw + start, 1, static_cast<size_t>(s->bytes_per_line) - start, s->handle);

  if (s->format == 4) {
    // A set bit is black.
    if (scan && scan->runs_wanted) {
      scan->line_form = IFF_LINE_BITS;
      scan->bits = raw;
      scan->levels[0] = 255;
      scan->levels[1] = 0;
      return 0;
    }
    IfuExpandBitsAs(w, raw, buffer, 255, 0);
    return 0;
  }
  switch (s->depth) {
    case 1:
    case 3:
      if (s->sample_bytes == 2)
        Spread16(raw, samples, static_cast<uint32_t>(s->maxval));
      else
        Reduce8(raw, raw, samples, 1, static_cast<uint32_t>(s->maxval));
      break;
    case 2:
      // Grey and alpha become a display pixel of four bytes.
      Reduce8(raw, buffer, samples, s->sample_bytes, static_cast<uint32_t>(s->maxval));
      for (int32_t i = w - 1; i >= 0; --i) {
        unsigned char g = buffer[2 * i], a = buffer[2 * i + 1];
        buffer[4 * i] = buffer[4 * i + 1] = buffer[4 * i + 2] = g;
        buffer[4 * i + 3] = a;
      }
      Premultiply(buffer, w);
      break;
    default:
      Reduce8(raw, buffer, samples, s->sample_bytes, static_cast<uint32_t>(s->maxval));
      Premultiply(buffer, w);
      break;
  }
  return 0;
}

void ReadPlainLine(PbmState *s, unsigned char *buffer) {
  const int64_t samples = Product(s->width, s->depth);
  const uint32_t maxval = static_cast<uint32_t>(s->maxval);
  const bool wide = s->sample_bytes == 2;
  memset(buffer, 0, static_cast<size_t>(samples * s->sample_bytes));
  uint32_t v;
  // Missing samples are left black; a read failure is no error. They are
  // counted as made up, so that a header promising far more than the text
  // holds is stopped as it is for the raw formats.
  int64_t i = 0;
  uint32_t low;
  for (; i < samples && ReadPlainSample(s, &v, &low); ++i) {
    if (wide) {
      v = Scale(v, maxval, 65535);
      buffer[2 * i] = static_cast<unsigned char>(v);
      buffer[2 * i + 1] = static_cast<unsigned char>(v >> 8);
    } else {
      // An 8-bit sample is the low 8 bits of the number written.
      buffer[i] = static_cast<unsigned char>(maxval == 255 ? low : Scale(low, maxval, 255));
    }
  }
  IfiAccount(s->handle, 0, (samples - i) * s->sample_bytes);
}

void FreeTexts(IffParamTp *p) {
  for (char **text : {&p->title, &p->description, &p->pagelist}) {
    free(*text);
    *text = nullptr;
  }
}

ReturnTp ReadHeader(PbmState *s, IffParamTp *p, char *work) {
  SkipRestOfImage(s, work);

  // The magic, after any PostScript status lines that an interpreter in
  // front of us wrote into the stream.
  // Comment lines may come first: identification takes such a file for a
  // PNM, so the reader does too.
  SkipSpace(s, nullptr);
  ReadWord(s, work, kWorkSize);
  while (StartsWith(work, "%%[")) {
    ReadCommentLine(s, nullptr, 0);
    SkipSpace(s, nullptr);
    ReadWord(s, work, kWorkSize);
  }
  if (work[0] != 'P') return IFF_I_NO_MORE_PAGES;
  if (work[1] < '1' || work[1] > '7') {
    CmnInfoPrintf(nullptr, "PBM/PAM file error: Expected a digit in range 1-7 but found [%c]",
                  work[1]);
    return 1;
  }

  s->format = work[1] - '0';
  s->width = s->height = s->maxval = s->depth = 0;
  s->next_line = 0;
  s->bytes_per_line = 0;
  s->row.clear();
  s->row.shrink_to_fit();

  HeaderNotes notes;
  notes.work = work;
  notes.pam = s->format == 7;
  notes.param = p;
  ReturnTp rc = notes.pam ? ReadPamHeader(s, &notes) : ReadPnmHeader(s, &notes);
  if (rc) {
    s->format = 0;  // no lines to read or skip
    return rc;
  }
  if (s->maxval < 0 || s->maxval > kMaxSample) {
    rc = BadData(__LINE__, s);  // names PAM or PNM, so before the format is dropped
    s->format = 0;
    return rc;
  }
  s->sample_bytes = s->maxval > 255 ? 2 : 1;
  const bool wide = s->sample_bytes == 2;

  uint32_t model = IFF_CM_GRAY;
  int32_t bits = 8;
  switch (s->format) {
    case 1:
    case 4:
      s->depth = 1;
      p->secondary_model = IFF_CM_BILEVEL;
      bits = 1;
      break;
    case 2:
    case 5:
      s->depth = 1;
      bits = 8;
      break;
    case 3:
    case 6:
      s->depth = 3;
      model = IFF_CM_RGB;
      bits = 24;
      break;
    default:
      model = s->depth == 3 ? IFF_CM_RGB : s->depth == 1 ? IFF_CM_GRAY : IFF_CM_RGBA;
      bits = 32;
      break;
  }
  FXIBitsPerPixel = wide ? 2 * bits : bits;
  FXICompression = IFF_COMP_NONE;

  s->bytes_per_line = s->format == 4 ? (static_cast<int64_t>(s->width) + 7) / 8
                                     : Product(Product(s->width, s->depth), s->sample_bytes);

  p->width = s->width;
  p->height = s->height;
  p->color_model = model;
  if (model == IFF_CM_RGBA) {
    p->bytes_per_pixel = 4;  // reduced to 8 bits here, whatever the file holds
    p->bits_per_sample = 8;
  } else {
    p->bytes_per_pixel = s->depth * s->sample_bytes;
    p->bits_per_sample = 8 * s->sample_bytes;
  }
  p->aspect_x = p->aspect_y = 1;
  p->has_cmap = 0;
  p->cmap_entries = 0;
  p->orientation = 0;
  p->mirrored = 0;
  p->planes = 1;
  p->reported0 = 0;
  p->reported1 = 1;
  SetResolution(notes, s->width, s->height, p);

  // Raw data of known size follows: the I/O layer is not to keep a copy.
  s->handle->exact_growth = 1;
  return 0;
}

ReturnTp IfdPbmInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *cb) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  std::unique_ptr<PbmState> s(new (std::nothrow) PbmState());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);

  ReturnTp rc;
  if (request->service == IFF_SRV_IMPORT) {
    rc = IffOpenDriverStream(request, &s->handle, nullptr, 0);
    if (rc) return rc;
    // Identification has decided already; there is nothing more to check.
    request->recognised = 1;
  } else {
    rc = IfiOpenWrite(&request->spec, &s->handle);
    if (rc) return rc;
    s->pam = cb && cb->requested_type == IFF_TYPE_PAM;
  }
  *state = s.release();
  return 0;
}

ReturnTp IfdPbmRdHead(void *state, IffParamTp *param) {
  auto *s = static_cast<PbmState *>(state);
  if (!s || !param) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  std::unique_ptr<char[]> work(new (std::nothrow) char[kWorkSize]);
  if (!work) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  ReturnTp rc = ReadHeader(s, param, work.get());
  // The texts go to the client only with a header.
  if (rc) FreeTexts(param);
  return rc;
}

ReturnTp IfdPbmRdScan(void *state, IffParamTp *param) {
  auto *s = static_cast<PbmState *>(state);
  if (!s || !param || !param->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->format == 0 || param->line != s->next_line || s->next_line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  ++s->next_line;
  if (s->format >= 4) return ReadRawLine(s, param->buffer, param);
  ReadPlainLine(s, param->buffer);
  return 0;
}

ReturnTp IfdPbmWtHead(void *state, IffParamTp *param) {
  auto *s = static_cast<PbmState *>(state);
  if (!s || !param) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const bool bilevel = param->compression[2] == IFF_ONE_BIT;
  switch (param->color_model) {
    case IFF_CM_RGB:
      s->pixel_bytes = 3;
      s->out_bits = 24;
      break;
    case IFF_CM_GRAY:
      s->pixel_bytes = 1;
      s->out_bits = 8;
      break;
    case IFF_CM_RGBA:
      // Straight (not premultiplied) red, green, blue, alpha: only a PAM
      // has room for the alpha.
      if (!s->pam)
        return CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, "Unsupported colormode for PBM");
      s->pixel_bytes = 4;
      s->out_bits = 32;
      break;
    case IFF_CM_BILEVEL:
      if (bilevel) {
        s->pixel_bytes = 1;
        break;
      }
      [[fallthrough]];
    default:
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, "Unsupported colormode for PBM");
  }
  if (param->width < 1 || param->height < 1)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  s->width = param->width;
  s->height = param->height;
  s->color_model = param->color_model;
  s->next_line = 0;

  char header[128];
  if (s->pam && !bilevel) {
    static const char *const kTuple[] = {"GRAYSCALE", "", "", "RGB", "RGB_ALPHA"};
    s->bytes_per_line = static_cast<int64_t>(s->width) * s->pixel_bytes;
    snprintf(header, sizeof header,
             "P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL 255\nTUPLTYPE %s\nENDHDR\n", s->width,
             s->height, s->pixel_bytes, kTuple[s->pixel_bytes - 1]);
  } else if (bilevel) {
    s->out_bits = 1;
    s->bytes_per_line = (static_cast<int64_t>(s->width) + 7) / 8;
    try {
      s->row.assign(static_cast<size_t>(s->bytes_per_line), 0);
    } catch (const std::exception &) {
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
    }
    snprintf(header, sizeof header, "P%d %d %d\n", 4, s->width, s->height);
  } else {
    s->bytes_per_line = static_cast<int64_t>(s->width) * s->pixel_bytes;
    snprintf(header, sizeof header, "P%d %d %d %d\n", s->out_bits == 24 ? 6 : 5, s->width,
             s->height, 255);
  }
  return IfiWrite(header, 1, strlen(header), s->handle);
}

ReturnTp IfdPbmWtScan(void *state, IffParamTp *param) {
  auto *s = static_cast<PbmState *>(state);
  if (!s || !param || !param->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->out_bits == 0 || param->line != s->next_line || s->next_line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  ++s->next_line;
  const unsigned char *line = param->buffer;
  if (s->out_bits != 1) return IfiWrite(line, 1, static_cast<size_t>(s->bytes_per_line), s->handle);

  // Black (a pixel of value 0) is a set bit. Packed into a row of our own:
  // the caller's line stays as it was.
  unsigned char *out = s->row.data();
  std::fill(s->row.begin(), s->row.end(), 0);
  for (int32_t i = 0; i < s->width; ++i) {
    const unsigned char *px = line + static_cast<size_t>(i) * s->pixel_bytes;
    bool black = true;
    for (int32_t k = 0; k < s->pixel_bytes; ++k) black = black && px[k] == 0;
    if (black) out[i >> 3] |= static_cast<unsigned char>(0x80 >> (i & 7));
  }
  return IfiWrite(out, 1, s->row.size(), s->handle);
}

ReturnTp IfdPbmTerm(void **state) { return IffTermDriverState<PbmState>(state); }

// One driver for the whole family: PBM, PGM and PPM are type 9, PAM 34.
}  // namespace

const IffFormatTp IfdPbmFormat = {
    "PNM",
    {{IFF_TYPE_PBM, "Portable Bitmap."}, {IFF_TYPE_PAM, "Portable Arbitrary Map."}},
    1,
    0,
    {IfdPbmInit, IfdPbmRdHead, IfdPbmWtHead, nullptr, nullptr, IfdPbmRdScan, IfdPbmWtScan,
     IfdPbmTerm},
    {{"pnm", IFF_TYPE_PBM, IFF_CM_RGB},
     {"ppm", IFF_TYPE_PBM, IFF_CM_RGB},
     {"pgm", IFF_TYPE_PBM, IFF_CM_GRAY},
     {"pbm", IFF_TYPE_PBM, IFF_CM_BILEVEL},
     {"pam", IFF_TYPE_PAM, IFF_CM_RGBA}},
    IFF_MODEL_BIT(IFF_CM_RGB) | IFF_MODEL_BIT(IFF_CM_GRAY) | IFF_MODEL_BIT(IFF_CM_BILEVEL) |
        IFF_MODEL_BIT(IFF_CM_RGBA),
};
