// CALS Type 1 raster files: a 2048-byte header of 128-byte text records,
// then the image as Group 4 data. Read and written.
//
// Rows are decoded one at a time as they are asked for, straight from the
// changing elements into the grey line: a header may promise any size,
// and the memory used follows one row, never the whole bitmap.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "codecs.h"
#include "drivers.h"

namespace {

#define CMN_SOURCE "ifdcals"
const char kFormat[] = "CALS";

constexpr int kHeaderSize = 2048;
constexpr int kRecord = 128;
constexpr int kChunk = 16384;  // compressed bytes read at once

struct CalsState {
  IfiHandleTp *handle = nullptr;
  int32_t width = 0, height = 0;
  int32_t next_line = 0;
  IfuCodecTp *codec = nullptr;
  unsigned char *packed = nullptr;  // export: one packed row
  bool rows_missing = false;
};

ReturnTp ReadInput(void *arg, uint8_t *buffer, int32_t *length) {
  CalsState *s = static_cast<CalsState *>(arg);
  *length = static_cast<int32_t>(IfiFetch(buffer, 1, static_cast<size_t>(*length), s->handle));
  return 0;
}

ReturnTp WriteOutput(void *arg, const uint8_t *data, int32_t length) {
  CalsState *s = static_cast<CalsState *>(arg);
  return CmnError(CMN_SOURCE, __LINE__, IfiWrite(data, static_cast<size_t>(length), 1, s->handle));
}

ReturnTp OpenCodec(CalsState *s, bool encoder) {
  FaxParamTp *p = nullptr;
  ReturnTp rc = IfuCodecCreateParam(&FaxCodecOps, reinterpret_cast<void **>(&p));
  if (rc) return rc;
  p->mode = FAX_MODE_G4;
  p->columns = s->width;
  p->rows = s->height;
  // Set bits are black when reading; the writer packs light pixels as set
  // bits, so to the encoder a clear bit is black. The data itself names
  // true colours and opens in any reader.
  p->black_is_one = encoder ? 0 : 1;
  if (encoder) return IfuCodecOpenEncoder(nullptr, &FaxCodecOps, p, WriteOutput, s, &s->codec);
  return IfuCodecOpenDecoder(nullptr, &FaxCodecOps, p, ReadInput, s, kChunk, &s->codec);
}

// The values of a record after its 8-character keyword.
int Values(const unsigned char *record, int *a, int *b) {
  char text[kRecord + 1];
  memcpy(text, record + 8, kRecord - 8);
  text[kRecord - 8] = '\0';
  return sscanf(text, "%d,%d", a, b);
}

ReturnTp IfdCalsInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  std::unique_ptr<CalsState> s(new (std::nothrow) CalsState());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  ReturnTp rc = IffOpenDriverStream(request, &s->handle, nullptr, 0);
  if (rc) return rc;
  *state = s.release();
  return 0;
}

ReturnTp IfdCalsRdHead(void *state, IffParamTp *p) {
  auto *s = static_cast<CalsState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  unsigned char header[kHeaderSize];
  ReturnTp rc = IfiSeek(s->handle, 0, 0);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  if (IfiFetch(header, 1, kHeaderSize, s->handle) != kHeaderSize)
    return CmnError(CMN_SOURCE, __LINE__, IFI_E_EOF);

  int first = 0, second = 270, width = 0, height = 0, density = 0;
  for (int k = 0; k < kHeaderSize / kRecord; ++k) {
    const unsigned char *record = header + k * kRecord;
    if (memcmp(record, "rorient:", 8) == 0) {
      first = 0;
      second = 270;
      Values(record, &first, &second);
    } else if (memcmp(record, "rpelcnt:", 8) == 0) {
      Values(record, &width, &height);
    } else if (memcmp(record, "rdensty:", 8) == 0) {
      int unused;
      Values(record, &density, &unused);
    }
  }
  FXIBitsPerPixel = 1;
  FXICompression = IFF_COMP_G4;
  if (width < 1 || height < 1) return CmnError(CMN_SOURCE, __LINE__, IFD_E_INVALID_DATA, kFormat);
  s->width = width;
  s->height = height;
  p->width = width;
  p->height = height;
  p->aspect_x = p->aspect_y = 1;
  p->x_resolution = p->y_resolution = density > 0 ? density : 0;
  p->resolution_known = density > 0;
  p->has_cmap = 0;
  p->color_model = IFF_CM_GRAY;
  p->planes = 1;
  p->reported1 = 1;
  p->bits_per_sample = 8;
  p->orientation = first == 90 ? 3 : first == 180 ? 2 : first == 270 ? 1 : 0;
  p->mirrored = second == 90;
  s->next_line = 0;
  s->rows_missing = false;
  if (s->codec) IfuCodecTerm(&s->codec);
  return 0;
}

ReturnTp IfdCalsRdScan(void *state, IffParamTp *p) {
  auto *s = static_cast<CalsState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (p->line != s->next_line || p->nlines != 1 || p->line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  // The decoder is opened at the first row: only then are the sizes known
  // to have passed the interface's checks.
  if (!s->codec) {
    ReturnTp rc = IfiSeek(s->handle, kHeaderSize, 0);
    if (!rc) rc = OpenCodec(s, false);
    if (rc) return rc;
  }
  const int32_t *changes = nullptr;
  int32_t count = -1, failed = 0;
  ReturnTp rc = FaxDecodeRowChanges(s->codec, &changes, &count, &failed);
  if (rc) return rc;
  if (count < 0) {
    if (failed) return CmnError(CMN_SOURCE, __LINE__, IFD_E_INVALID_DATA, kFormat);
    return CmnError(CMN_SOURCE, __LINE__, IFI_E_EOF);
  }
  ++s->next_line;
  if (p->runs_wanted) {
    p->line_form = IFF_LINE_RUNS;
    p->levels[0] = 255;
    p->levels[1] = 0;
    p->changes = changes;
    p->change_count = count;
    return 0;
  }
  // White line, then the black runs.
  unsigned char *line = p->buffer;
  memset(line, 255, static_cast<size_t>(s->width));
  for (int32_t i = 0; i < count; i += 2) {
    const int32_t from = changes[i];
    const int32_t to = i + 1 < count ? changes[i + 1] : s->width;
    if (to > from) memset(line + from, 0, static_cast<size_t>(to - from));
  }
  return 0;
}

ReturnTp IfdCalsWtHead(void *state, IffParamTp *p) {
  auto *s = static_cast<CalsState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (p->width < 1 || p->height < 1) return CmnError(CMN_SOURCE, __LINE__, IFD_E_CONVERT, kFormat);
  // The pel count has six digits.
  if (p->width > 999999 || p->height > 999999)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_TOO_LARGE, kFormat, p->width, p->height);
  s->width = p->width;
  s->height = p->height;
  s->next_line = 0;
  s->packed = static_cast<unsigned char *>(malloc((static_cast<size_t>(s->width) + 7) / 8));
  if (!s->packed) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  // An unknown resolution is written as the customary 200 dots per inch:
  // other readers refuse a density of 0.
  const double x = p->x_resolution > 0 ? p->x_resolution : 200;
  const double y = p->y_resolution > 0 ? p->y_resolution : x;
  int density = 0;
  if (x == y && x < 9999.5) density = static_cast<int>(std::lround(x));

  char header[kHeaderSize];
  memset(header, ' ', sizeof header);
  const char *const plain[][2] = {{"srcdocid:", "NONE"}, {"dstdocid:", "NONE"},
                                  {"txtfilid:", "NONE"}, {"figid:", "NONE"},
                                  {"srcgph:", "NONE"},   {"doccls:", "UNCLASS"},
                                  {"rtype:", "1"},       {"rorient:", "000,270"}};
  char text[kRecord + 1];
  int k = 0;
  for (const auto &r : plain) {
    int n = snprintf(text, sizeof text, "%s %s", r[0], r[1]);
    memcpy(header + kRecord * k++, text, static_cast<size_t>(n));
  }
  int n = snprintf(text, sizeof text, "%s %06d,%06d", "rpelcnt:", s->width, s->height);
  memcpy(header + kRecord * k++, text, static_cast<size_t>(n));
  n = density ? snprintf(text, sizeof text, "%s %04d", "rdensty:", density)
              : snprintf(text, sizeof text, "%s MIXED", "rdensty:");
  memcpy(header + kRecord * k++, text, static_cast<size_t>(n));
  n = snprintf(text, sizeof text, "%s NONE", "notes:");
  memcpy(header + kRecord * k++, text, static_cast<size_t>(n));
  for (char &c : header)
    if (c == '\0') c = ' ';
  ReturnTp rc = OpenCodec(s, true);
  if (rc) return rc;
  if (IfiWrite(header, sizeof header, 1, s->handle))
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_HEADER);
  return 0;
}

// Light pixels (128 and up) become set bits, and so do the pad bits after
// the last pixel: to the encoder a set bit is white.
ReturnTp IfdCalsWtScan(void *state, IffParamTp *p) {
  auto *s = static_cast<CalsState *>(state);
  if (!s || !p || !p->buffer || !s->codec) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (p->line != s->next_line || p->line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  const unsigned char *in = p->buffer;
  const int32_t whole = s->width / 8;
  for (int32_t i = 0; i < whole; ++i, in += 8) {
    unsigned v = 0;
    for (int b = 0; b < 8; ++b) v = v << 1 | (in[b] >> 7);
    s->packed[i] = static_cast<unsigned char>(v);
  }
  if (s->width % 8) {
    unsigned v = 0;
    for (int b = 0; b < 8; ++b) v = v << 1 | (b < s->width % 8 ? in[b] >> 7 : 1);
    s->packed[whole] = static_cast<unsigned char>(v);
  }
  ReturnTp rc = IfuCodecWrite(s->codec, s->packed, (s->width + 7) / 8);
  if (rc) return rc;
  ++s->next_line;
  return 0;
}

// The fax encoder's last bits go out before the stream closes.
ReturnTp Finish(CalsState *s) {
  ReturnTp rc = 0;
  if (s->codec) {
    if (s->codec->encoder) rc = IfuCodecFinish(s->codec);
    IfuCodecTerm(&s->codec);
  }
  free(s->packed);
  return rc;
}

ReturnTp IfdCalsTerm(void **state) { return IffTermDriverState<CalsState>(state, Finish); }

}  // namespace

const IffFormatTp IfdCalsFormat = {
    "CALS",
    {{IFF_TYPE_CALS, "CALS Raster Type 1."}},
    0,
    0,
    {IfdCalsInit, IfdCalsRdHead, IfdCalsWtHead, nullptr, nullptr, IfdCalsRdScan, IfdCalsWtScan,
     IfdCalsTerm},
    {{"cal", IFF_TYPE_CALS, IFF_CM_BILEVEL}, {"cals", IFF_TYPE_CALS, IFF_CM_BILEVEL}},
    IFF_MODEL_BIT(IFF_CM_BILEVEL) | IFF_MODEL_BIT(IFF_CM_GRAY),
};
