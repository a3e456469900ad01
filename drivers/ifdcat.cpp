// CATIA raster image files: 80-byte text records in ASCII or EBCDIC (a
// 400-byte image header, a colour table for palette images, framing
// records around the pixels) and uncompressed pixels, 32-bit true colour
// or 8-bit indices, or 4-, 2- and 1-bit indices of 2, 4 or 8 rows packed
// into one data row. Read and written (the 2-bit layout only read).
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "drivers.h"

namespace {

#define CMN_SOURCE "ifdcat"
const char kFormat[] = "CATIA";

constexpr int kRec = 80;
constexpr int kHeader = 5 * kRec;

struct Layout {
  const char *word;
  int entries;  // colour-map size, 0 for true colour
  int bits;     // per pixel
  int rows;     // rows per data row
};
const Layout kLayouts[] = {{"TRUE_COLOR", 0, 32, 1},
                           {"1_PIXEL_BYTE", 256, 8, 1},
                           {"2_PIXELS_BYTE", 16, 4, 2},
                           {"4_PIXELS_BYTE", 4, 2, 4},
                           {"8_PIXELS_BYTE", 2, 1, 8}};

struct CatState {
  IfiHandleTp *handle = nullptr;
  unsigned char header[kHeader] = {};
  bool ascii = true, recognised = false;
  const Layout *layout = nullptr;
  int32_t width = 0, height = 0, precision = 8;
  int32_t next_line = 0;
  std::vector<unsigned char> row;  // one data row
};

// A fixed-width number: digits weigh by their place, anything else adds 0.
int32_t Field(const unsigned char *text, int n) {
  int64_t value = 0;
  for (int i = 0; i < n; ++i) {
    value *= 10;
    if (text[i] >= '0' && text[i] <= '9') value += text[i] - '0';
  }
  return value > 99999999 ? 99999999 : static_cast<int32_t>(value);
}

bool At(const unsigned char *h, int offset, const char *text) {
  return memcmp(h + offset, text, strlen(text)) == 0;
}

// One record of text, blank-padded, in the file's character set.
ReturnTp PutRecord(CatState *s, const char *text, bool zero_after) {
  unsigned char rec[kRec];
  memset(rec, ' ', kRec);
  const size_t n = strlen(text);
  memcpy(rec, text, n);
  if (zero_after) rec[n] = 0;
  if (!s->ascii) IfuAsciiToEbcdic(rec, kRec, rec);
  return IfiWrite(rec, kRec, 1, s->handle);
}

// Whole items, raising what the stream says when nothing comes.
ReturnTp Get(CatState *s, void *buffer, size_t size, unsigned line) {
  if (size == 0) return 0;
  ReturnTp rc = IfiRead(buffer, size, 1, s->handle);
  if (!rc && IfiInputExhausted(s->handle)) rc = IFI_E_EOF;
  return rc ? CmnReraise(CMN_SOURCE, line, rc) : 0;
}

ReturnTp GetRecord(CatState *s, unsigned char *rec, unsigned line) {
  ReturnTp rc = Get(s, rec, kRec, line);
  if (!rc && !s->ascii) IfuEbcdicToAscii(rec, kRec, rec);
  return rc;
}

bool Allocate(std::vector<unsigned char> &v, size_t n) {
  try {
    v.assign(n, 0);
  } catch (const std::exception &) {
    return false;
  }
  return true;
}

ReturnTp IfdCatiaInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  std::unique_ptr<CatState> s(new (std::nothrow) CatState());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  size_t got = 0;
  ReturnTp rc = IffOpenDriverStream(request, &s->handle, s->header, kHeader, nullptr,
                                    IFF_HEADER_AS_FOUND, &got);
  if (rc) return rc;
  if (request->service == IFF_SRV_EXPORT) {
    *state = s.release();
    return 0;
  }
  unsigned char *h = s->header;
  if (got == kHeader) {
    s->ascii = At(h, 0, "BEGIN IMAGE");
    if (!s->ascii) IfuEbcdicToAscii(h, kHeader, h);
    s->recognised = At(h, 0, "BEGIN IMAGE") && At(h, 160, "IMAGE SIZE") &&
                    At(h, 240, "COLOR PREC") && At(h, 320, "IMAGE FORMAT");
  }
  request->recognised = s->recognised;
  *state = s.release();
  return 0;
}

ReturnTp IfdCatiaRdHead(void *state, IffParamTp *p) {
  auto *s = static_cast<CatState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!s->recognised) return CmnError(CMN_SOURCE, __LINE__, IFD_E_UNSUPPORTED, kFormat);
  const unsigned char *h = s->header;
  s->layout = nullptr;
  for (const Layout &l : kLayouts) {
    const size_t n = strlen(l.word);
    if (memcmp(h + 335, l.word, n) == 0 && (h[335 + n] == ' ' || h[335 + n] == 0)) s->layout = &l;
  }
  if (!s->layout) return CmnError(CMN_SOURCE, __LINE__, IFD_E_UNSUPPORTED, kFormat);
  s->width = Field(h + 182, 6);
  s->height = Field(h + 200, 6);
  s->precision = Field(h + 253, 6);
  if (s->precision < 1 || s->precision > 8)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_UNSUPPORTED, kFormat);
  p->width = s->width;
  p->height = s->height;
  p->aspect_x = p->aspect_y = 1;
  p->color_model = IFF_CM_RGB;
  p->planes = 1;
  p->reported1 = 1;
  p->bits_per_sample = s->precision;
  p->has_cmap = s->layout->entries != 0;
  p->cmap_entries = s->layout->entries;
  FXIBitsPerPixel = s->layout->bits;
  FXICompression = IFF_COMP_NONE;
  s->next_line = 0;
  return CmnError(CMN_SOURCE, __LINE__, IfiSeek(s->handle, kHeader, 0));
}

ReturnTp IfdCatiaRdCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<CatState *>(state);
  if (!s || !p || !p->cmap || !s->layout) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  unsigned char rec[kRec];
  ReturnTp rc = GetRecord(s, rec, __LINE__);
  if (rc) return rc;
  const int32_t count = Field(rec + 39, 6);
  if (count < 1 || count > 256) return CmnError(CMN_SOURCE, __LINE__, IFD_E_INVALID_DATA, kFormat);
  unsigned char table[256 * 4];
  if ((rc = Get(s, table, 4 * static_cast<size_t>(count), __LINE__)) != 0) return rc;
  const int shift = 8 - s->precision;
  memset(p->cmap, 0, 3 * static_cast<size_t>(s->layout->entries));
  for (int32_t i = 0; i < count && i < s->layout->entries; ++i)
    for (int c = 0; c < 3; ++c)
      p->cmap[3 * i + c] = static_cast<unsigned char>(table[4 * i + 3 - c] >> shift);
  unsigned char pad[kRec];
  if ((rc = Get(s, pad, (kRec - count * 4 % kRec) % kRec, __LINE__)) != 0) return rc;
  return GetRecord(s, rec, __LINE__);  // "END COLOR TABLE"
}

ReturnTp IfdCatiaRdScan(void *state, IffParamTp *p) {
  auto *s = static_cast<CatState *>(state);
  if (!s || !p || !p->buffer || !s->layout)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const int32_t line = p->line;
  if (line != s->next_line || p->nlines != 1 || line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  const Layout &l = *s->layout;
  const size_t length = static_cast<size_t>(s->width) * (l.entries ? 1 : 4);
  if (line == 0) {
    if (!Allocate(s->row, length)) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
    unsigned char rec[kRec];
    ReturnTp rc = GetRecord(s, rec, __LINE__);  // "BEGIN PIXEL DESCRIPTION"
    if (rc) return rc;
  }
  if (line % l.rows == 0) {
    ReturnTp rc = Get(s, s->row.data(), length, __LINE__);
    if (rc) return rc;
  }
  if (l.entries == 0)
    IfuBgrxToRgb(s->width, s->precision, s->row.data(), p->buffer);
  else if (l.rows == 1)
    memcpy(p->buffer, s->row.data(), length);
  else
    IfuGetField(s->width, l.rows, line % l.rows, s->row.data(), p->buffer);
  ++s->next_line;
  return 0;
}

ReturnTp IfdCatiaWtHead(void *state, IffParamTp *p) {
  auto *s = static_cast<CatState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (p->compression[0] != IFF_COMP_NONE)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_NO_COMPRESSION);
  // 1 ASCII, 2 EBCDIC; without a choice, ASCII.
  if (p->export_option < 0 || p->export_option > 2)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  s->ascii = p->export_option != 2;
  const int entries = p->has_cmap ? p->cmap_entries : 0;
  if (!entries && p->color_model != IFF_CM_RGB)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_NEEDS_RGB);
  s->layout = nullptr;
  for (const Layout &l : kLayouts)
    if (l.entries == entries && l.entries != 4) s->layout = &l;
  if (!s->layout) return CmnError(CMN_SOURCE, __LINE__, IFD_E_CMAP_SIZE);
  if (p->width < 1 || p->height < 1) return CmnError(CMN_SOURCE, __LINE__, IFD_E_CONVERT, kFormat);
  // The image size has six digits.
  if (p->width > 999999 || p->height > 999999)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_TOO_LARGE, kFormat, p->width, p->height);
  s->width = p->width;
  s->height = p->height;
  s->next_line = 0;
  if (!Allocate(s->row, static_cast<size_t>(s->width) * (entries ? 1 : 4)))
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  char text[kRec + 1];
  ReturnTp rc = PutRecord(s, "BEGIN IMAGE", true);
  if (!rc) rc = PutRecord(s, "IMAGE GENERATED USING THE QPL CATIA IMAGE FILE GENERATOR", true);
  snprintf(text, sizeof text, "IMAGE SIZE - X-AXIS : %6d - Y-AXIS : %6d", s->width, s->height);
  if (!rc) rc = PutRecord(s, text, false);
  snprintf(text, sizeof text, "COLOR PREC : %6d", 8);
  if (!rc) rc = PutRecord(s, text, false);
  snprintf(text, sizeof text, "IMAGE FORMAT : %s", s->layout->word);
  if (!rc) rc = PutRecord(s, text, false);
  return rc ? CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_HEADER) : 0;
}

ReturnTp IfdCatiaWtCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<CatState *>(state);
  if (!s || !p || !p->cmap || !s->layout) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const int count = s->layout->entries;
  if (count == 0) return 0;
  char text[kRec + 1];
  snprintf(text, sizeof text, "BEGIN COLOR TABLE . NUMBER OF COLORS : %6d", count);
  if (PutRecord(s, text, false)) return CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_HEADER);
  std::vector<unsigned char> table(static_cast<size_t>((count * 4 + kRec - 1) / kRec * kRec), 0);
  for (int i = 0; i < count; ++i)
    for (int c = 0; c < 3; ++c) table[4 * i + 3 - c] = p->cmap[3 * i + c];
  if (IfiWrite(table.data(), table.size(), 1, s->handle))
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_CMAP);
  if (PutRecord(s, "END COLOR TABLE", false))
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_HEADER);
  return 0;
}

ReturnTp IfdCatiaWtScan(void *state, IffParamTp *p) {
  auto *s = static_cast<CatState *>(state);
  if (!s || !p || !p->buffer || !s->layout)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const int32_t line = p->line;
  if (line != s->next_line || line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  const Layout &l = *s->layout;
  if (line == 0 && PutRecord(s, "BEGIN PIXEL DESCRIPTION", false))
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_HEADER);
  bool write = true;
  if (l.entries == 0) {
    IfuRgbToXbgr(s->width, p->buffer, s->row.data());
  } else if (l.rows == 1) {
    memcpy(s->row.data(), p->buffer, static_cast<size_t>(s->width));
  } else {
    ReturnTp rc = IfuPutField(s->width, l.rows, line % l.rows, p->buffer, s->row.data());
    if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
    write = line % l.rows == l.rows - 1 || line == s->height - 1;
  }
  if (write) {
    if (IfiWrite(s->row.data(), s->row.size(), 1, s->handle))
      return CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_LINE);
    std::fill(s->row.begin(), s->row.end(), 0);
  }
  ++s->next_line;
  if (s->next_line == s->height && (PutRecord(s, "END PIXEL DESCRIPTION", false) ||
                                    PutRecord(s, "END IMAGE DESCRIPTION", false)))
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_HEADER);
  return 0;
}

ReturnTp IfdCatiaTerm(void **state) { return IffTermDriverState<CatState>(state); }

}  // namespace

const IffFormatTp IfdCatiaFormat = {
    "Catia",
    {{IFF_TYPE_CATIA3, "Catia (level <4)."}},
    0,
    0,
    {IfdCatiaInit, IfdCatiaRdHead, IfdCatiaWtHead, IfdCatiaRdCMap, IfdCatiaWtCMap, IfdCatiaRdScan,
     IfdCatiaWtScan, IfdCatiaTerm},
    {{"catia", IFF_TYPE_CATIA3, IFF_CM_RGB}},
    IFF_MODEL_BIT(IFF_CM_RGB) | IFF_MODEL_BIT(IFF_CM_PALETTE),
};
