// PCX: a 128-byte header with a 16-colour palette, then run-length encoded
// rows of 1 to 4 bit planes (1 bit per pixel), of packed 2- or 4-bit
// pixels, or of 1, 3 or 4 byte planes (8 bits: indexes, RGB, RGB and
// alpha, laid over white), and for 256 colours a palette after the last
// row. A DCX file is a table of up to 1023 PCX pages: the magic
// 0x3ADE68B1, then their offsets, ended by 0. Writes 2, 16 and 256
// colours, version 5. Fields are little-endian.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "drivers.h"

#define CMN_SOURCE "ifdpcx"

namespace {

const char kFormat[] = "PCX";

constexpr int kHeaderSize = 128;
constexpr int kPaletteMark = 12;  // the byte before a trailing 768-byte palette
constexpr int kTrailer = 769;
constexpr size_t kChunk = 4096;  // compressed bytes read at once
constexpr uint32_t kDcxMagic = 0x3ADE68B1;
constexpr int kDcxPages = 1023;

// Header offsets.
constexpr int kVersion = 1, kEncoding = 2, kBits = 3, kXMin = 4, kYMin = 6, kXMax = 8, kYMax = 10,
              kHRes = 12, kVRes = 14, kPalette = 16, kPlanes = 65, kBytesPerLine = 66,
              kPaletteInfo = 68;

// The colours of a 16-colour display, for files that predate palettes.
const unsigned char kFixedPalette[48] = {0,   0,  0,  0,   0,  168, 0,   168, 0,  0,   168, 168,
                                         168, 0,  0,  168, 0,  168, 168, 168, 0,  168, 168, 168,
                                         84,  84, 84, 84,  84, 255, 84,  255, 84, 84,  255, 255,
                                         255, 84, 84, 255, 84, 255, 255, 255, 84, 255, 255, 255};

// Horizontal resolution fields that hold a screen width, not dots per inch.
bool ScreenWidth(int v) {
  for (int w : {320, 360, 512, 640, 720, 800, 1024, 1280, 1400, 1440, 1600, 1920})
    if (v == w) return true;
  return false;
}

struct PcxState {
  IfiHandleTp *handle = nullptr;
  unsigned char header[kHeaderSize] = {};
  bool recognised = false;
  int32_t version = 0, bits = 0, planes = 0, bytes_per_line = 0;
  int32_t width = 0, height = 0;
  int32_t row_bytes = 0;  // planes x bytes per line
  int64_t unreached = 0;  // bytes of each line that its stored row does not reach
  // A 1-bit page of two grey entries is handed over as these greys.
  bool grey = false;
  unsigned char shade[2] = {};
  std::vector<unsigned char> planes_row;
  std::vector<unsigned char> pixels;  // 4 byte planes: the row's RGBA pixels
  // A run that reached past the end of the previous row.
  int32_t carry_count = 0;
  unsigned char carry_value = 0;
  int32_t next_line = 0;
  std::vector<unsigned char> chunk;
  size_t chunk_at = 0, chunk_end = 0;
  // DCX: the page offsets; where the page read starts and ends (0: the
  // file's end).
  bool dcx = false;
  std::vector<uint32_t> pages;
  int64_t base = 0, page_end = 0;
  // Writing.
  int32_t entries = 0, in_bits = 8;
  unsigned char cmap[3 * 256] = {};
  std::vector<unsigned char> encoded;
};

// The next compressed byte. Past the end of the data the I/O layer makes
// up zeros and counts them, so that a header promising endless rows is
// stopped by the interface.
unsigned char NextByte(PcxState *s) {
  if (s->chunk_at == s->chunk_end) {
    const int64_t before = s->handle->delivered;
    const ReturnTp rc = IfiRead(s->chunk.data(), 1, kChunk, s->handle);
    s->chunk_end = rc ? kChunk : static_cast<size_t>(s->handle->delivered - before);
    if (rc) memset(s->chunk.data(), 0, kChunk);
    s->chunk_at = 0;
  }
  return s->chunk[s->chunk_at++];
}

// A run of count bytes of value at out + *n, cut at total; for 1-bit
// images the rest is carried into the next row.
void PutRun(PcxState *s, unsigned char *out, int32_t *n, int32_t total, int32_t count,
            unsigned char value) {
  const int32_t k = std::min(count, total - *n);
  memset(out + *n, value, static_cast<size_t>(k));
  *n += k;
  if (count > k && s->bits == 1) {
    s->carry_count = count - k;
    s->carry_value = value;
  }
}

// One row of planes x bytes per line. A run longer than what is left of
// the row goes on in the next row for 1-bit images; deeper images drop it.
void DecodeRow(PcxState *s) {
  unsigned char *out = s->planes_row.data();
  const int32_t total = s->row_bytes;
  int32_t n = 0;
  for (; s->carry_count > 0 && n < total; --s->carry_count) out[n++] = s->carry_value;
  while (n < total) {
    // While the chunk holds a whole pair, straight from it.
    const unsigned char *chunk = s->chunk.data();
    size_t at = s->chunk_at;
    const size_t end = s->chunk_end;
    while (n < total && at + 2 <= end) {
      const unsigned char c = chunk[at++];
      if ((c & 0xC0) != 0xC0) {
        out[n++] = c;
        continue;
      }
      const unsigned char value = chunk[at++];
      PutRun(s, out, &n, total, c & 0x3F, value);
    }
    s->chunk_at = at;
    if (n == total) break;
    const unsigned char c = NextByte(s);
    if ((c & 0xC0) != 0xC0) {
      out[n++] = c;
      continue;
    }
    const unsigned char value = NextByte(s);
    PutRun(s, out, &n, total, c & 0x3F, value);
  }
}

// Pixels of one stored row: bytes per line x 8 / bits.
int64_t Reach(const PcxState *s) {
  return std::min<int64_t>(s->width, 8 * int64_t{s->bytes_per_line} / s->bits);
}

void ToLine(PcxState *s, unsigned char *line) {
  const unsigned char *in = s->planes_row.data();
  const int32_t bpl = s->bytes_per_line;
  const int32_t w = s->width;
  // Pixels the rows do not reach stay 0.
  const int32_t reach = static_cast<int32_t>(Reach(s));
  if (s->grey) {
    IfuExpandBitsAs(reach, in, line, s->shade[0], s->shade[1]);
    if (reach < w) memset(line + reach, s->shade[0], static_cast<size_t>(w - reach));
    return;
  }
  if (s->planes == 1) {
    memset(line, 0, static_cast<size_t>(w));
    if (s->bits == 8) {
      if (reach > 0) memcpy(line, in, static_cast<size_t>(reach));  // empty rows have no buffer
    } else if (s->bits == 1) {
      IfuExpandBits(reach, in, line);
    } else if (reach > 0) {
      memcpy(line, in, static_cast<size_t>((reach * s->bits + 7) / 8));
      IfuExpandPacked(line, reach, s->bits, 0);
    }
    return;
  }
  if (s->bits == 8) {
    // Red, green, blue (and alpha) planes to pixels; alpha laid over white.
    unsigned char *px = s->planes == 4 ? s->pixels.data() : line;
    memset(px, 0, static_cast<size_t>(w) * s->planes);
    for (int32_t i = 0; i < reach; ++i)
      for (int32_t p = 0; p < s->planes; ++p) px[s->planes * i + p] = in[p * bpl + i];
    if (s->planes == 4) IfuAlphaOverWhite(w, 4, px, line);
    return;
  }
  memset(line, 0, static_cast<size_t>(w));
  for (int32_t i = 0; i < reach; ++i) {
    unsigned v = 0;
    for (int32_t p = 0; p < s->planes; ++p)
      v |= ((in[p * bpl + (i >> 3)] >> (7 - (i & 7))) & 1u) << p;
    line[i] = static_cast<unsigned char>(v);
  }
}

// The two entries of a 1-bit page: the header's palette from version 5
// on, black and white before.
const unsigned char *TwoEntries(const PcxState *s) {
  static const unsigned char kBlackWhite[6] = {0, 0, 0, 255, 255, 255};
  return s->version == 5 ? s->header + kPalette : kBlackWhite;
}

bool IsPcx(const unsigned char *h) {
  const int version = h[kVersion];
  return h[0] == 10 && h[kEncoding] == 1 &&
         (version == 0 || version == 2 || version == 3 || version == 5);
}

// The page offsets of a DCX file, up to the first 0. An offset inside the
// table or at the end of the file or beyond ends the list there. False
// without a single page.
bool ReadPageTable(PcxState *s) {
  unsigned char table[4 * (kDcxPages + 1)] = {};
  const size_t got =
      IfiSeek(s->handle, 4, 0) == 0 ? IfiFetch(table, 1, sizeof table, s->handle) : 0;
  const int64_t size = s->handle->file_size;
  for (size_t i = 0; i + 4 <= got && s->pages.size() < kDcxPages; i += 4) {
    const uint32_t at = IfuGetLe32(table + i);
    if (at < 4 + i + 4 || (size > 0 && at >= size)) break;
    s->pages.push_back(at);
  }
  return !s->pages.empty();
}

// Puts the reading at page `page` (1-based) of a DCX file and reads its
// header.
ReturnTp StartPage(PcxState *s, int32_t page) {
  if (page > static_cast<int32_t>(s->pages.size())) return IFF_I_NO_MORE_PAGES;
  s->base = s->pages[static_cast<size_t>(page - 1)];
  s->page_end = static_cast<size_t>(page) < s->pages.size() ? s->pages[static_cast<size_t>(page)]
                                                            : s->handle->file_size;
  if (s->page_end <= s->base) s->page_end = 0;
  ReturnTp rc = IfiSeek(s->handle, s->base, 0);
  if (!rc) rc = IfiRead(s->header, kHeaderSize, 1, s->handle);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  if (!IsPcx(s->header)) return CmnError(CMN_SOURCE, __LINE__, IFD_E_UNSUPPORTED, kFormat);
  return 0;
}

ReturnTp IfdPcxInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  std::unique_ptr<PcxState> s(new (std::nothrow) PcxState());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);

  ReturnTp rc = IffOpenDriverStream(request, &s->handle, s->header, kHeaderSize);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  if (request->service == IFF_SRV_EXPORT) {
    IfiSetBuffer(s->handle, nullptr, 0, 12000);
    *state = s.release();
    return 0;
  }
  s->dcx = IfuGetLe32(s->header) == kDcxMagic;
  s->recognised = s->dcx ? ReadPageTable(s.get()) : IsPcx(s->header);
  request->recognised = s->recognised;
  *state = s.release();
  return 0;
}

ReturnTp IfdPcxRdHead(void *state, IffParamTp *p) {
  auto *s = static_cast<PcxState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const int32_t page = std::max(p->page, 1);
  if (s->dcx) {
    ReturnTp rc = StartPage(s, page);
    if (rc) return rc;
  } else if (page > 1) {
    return IFF_I_NO_MORE_PAGES;
  }
  const unsigned char *h = s->header;
  s->version = h[kVersion];
  if (s->version > 5) return CmnError(CMN_SOURCE, __LINE__, IFD_E_PCX_VERSION);
  if (!s->recognised) return CmnError(CMN_SOURCE, __LINE__, IFD_E_UNSUPPORTED, kFormat);
  s->bits = h[kBits];
  s->planes = h[kPlanes];
  // Bit planes of 1 bit; packed pixels of 2 or 4 bits in one plane; byte
  // planes of indexes, RGB or RGB and alpha.
  const bool valid = s->bits == 1   ? s->planes >= 1 && s->planes <= 4
                     : s->bits == 8 ? s->planes == 1 || s->planes == 3 || s->planes == 4
                                    : (s->bits == 2 || s->bits == 4) && s->planes == 1;
  if (!valid) return CmnError(CMN_SOURCE, __LINE__, IFD_E_PCX_COLOR_MODE);
  s->width = IfuGetLe16(h + kXMax) - IfuGetLe16(h + kXMin) + 1;
  s->height = IfuGetLe16(h + kYMax) - IfuGetLe16(h + kYMin) + 1;
  s->bytes_per_line = IfuGetLe16(h + kBytesPerLine);
  s->row_bytes = s->planes * s->bytes_per_line;
  const bool true_colour = s->bits == 8 && s->planes >= 3;
  s->unreached = (s->width - Reach(s)) * (true_colour ? 3 : 1);
  s->carry_count = 0;
  s->next_line = 0;
  s->chunk_at = s->chunk_end = 0;
  try {
    s->planes_row.assign(static_cast<size_t>(s->row_bytes), 0);
    if (s->bits == 8 && s->planes == 4) s->pixels.assign(4 * static_cast<size_t>(s->width), 0);
    s->chunk.assign(kChunk, 0);
  } catch (const std::exception &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  }

  const int hres = IfuGetLe16(h + kHRes), vres = IfuGetLe16(h + kVRes);
  if (hres != 0 && !(hres != vres && ScreenWidth(hres))) {
    p->x_resolution = hres;
    p->y_resolution = vres ? vres : hres;
    p->resolution_known = 1;
  }
  FXIBitsPerPixel = s->bits == 8 ? 8 : s->bits * s->planes;
  FXICompression = IFF_COMP_RLE;

  p->width = s->width;
  p->height = s->height;
  p->page_count = s->dcx ? static_cast<int32_t>(s->pages.size()) : 1;
  p->aspect_x = p->aspect_y = 1;
  p->has_cmap = !true_colour;
  p->cmap_entries = true_colour ? 0 : 1 << (s->bits * s->planes);
  p->color_model = IFF_CM_RGB;
  p->bits_per_sample = 8;
  p->bytes_per_pixel = true_colour ? 3 : 1;
  p->planes = 1;
  p->orientation = 0;
  p->mirrored = 0;
  p->reported0 = 0;
  p->reported1 = 1;
  // Two greys: the bits are spread to them by table, and the page is grey.
  s->grey = s->bits == 1 && s->planes == 1 && IfdGreyPair(TwoEntries(s), p);
  s->shade[0] = TwoEntries(s)[0];
  s->shade[1] = TwoEntries(s)[3];
  return 0;
}

ReturnTp IfdPcxRdCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<PcxState *>(state);
  if (!s || !p || !p->cmap) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  unsigned char *map = p->cmap;
  const bool v5 = s->version == 5;
  if (s->bits == 1 && s->planes == 1) {
    memcpy(map, TwoEntries(s), 6);
  } else if (s->bits < 8) {
    memcpy(map, v5 ? s->header + kPalette : kFixedPalette,
           3 * (size_t{1} << (s->bits * s->planes)));
  } else if (!v5) {
    for (int i = 0; i < 256; ++i)
      map[3 * i] = map[3 * i + 1] = map[3 * i + 2] = static_cast<unsigned char>(i);
  } else {
    // The header's 16 entries, unless a marked palette ends the file.
    memcpy(map, s->header + kPalette, 48);
    memset(map + 48, 0, 3 * 256 - 48);
    // Of a DCX page, the palette ends the page.
    const int64_t end = s->dcx ? s->page_end : s->handle->file_size;
    if (end == 0 || end - s->base >= kHeaderSize + kTrailer) {
      unsigned char trailer[kTrailer];
      ReturnTp rc =
          end && s->dcx ? IfiSeek(s->handle, end - kTrailer, 0) : IfiSeek(s->handle, -kTrailer, 2);
      if (!rc) rc = IfiRead(trailer, kTrailer, 1, s->handle);
      if (!rc && trailer[0] == kPaletteMark) memcpy(map, trailer + 1, 768);
    }
    ReturnTp rc = IfiSeek(s->handle, s->base + kHeaderSize, 0);
    if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  }
  return 0;
}

ReturnTp IfdPcxRdScan(void *state, IffParamTp *p) {
  auto *s = static_cast<PcxState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!s->bits || p->line != s->next_line || p->line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  if (p->line == 0) {
    ReturnTp rc = IfiSeek(s->handle, s->base + kHeaderSize, 0);
    if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
    s->chunk_at = s->chunk_end = 0;
    s->carry_count = 0;
  }
  DecodeRow(s);
  if (s->grey && p->runs_wanted && Reach(s) == s->width) {
    // The two greys handed over as the row's bits, without a byte per
    // pixel. A row that does not reach the page's width goes as bytes.
    p->line_form = IFF_LINE_BITS;
    p->bits = s->planes_row.data();
    p->levels[0] = s->shade[0];
    p->levels[1] = s->shade[1];
  } else {
    ToLine(s, p->buffer);
  }
  // Pixels beyond the stored row are made up, not read: they count as such,
  // so that a header far wider than its rows is stopped by the interface.
  if (s->unreached > 0) IfiAccount(s->handle, 0, s->unreached);
  ++s->next_line;
  return 0;
}

ReturnTp IfdPcxWtHead(void *state, IffParamTp *p) {
  auto *s = static_cast<PcxState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!p->has_cmap || p->cmap_entries < 1) return CmnError(CMN_SOURCE, __LINE__, IFD_E_NEEDS_CMAP);
  if (p->color_model != IFF_CM_RGB && p->color_model != IFF_CM_PALETTE)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_NEEDS_RGB);
  s->entries = p->cmap_entries;
  if (s->entries != 2 && s->entries != 16 && s->entries != 256)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_CMAP_SIZE);
  if (p->width < 1 || p->height < 1) return CmnError(CMN_SOURCE, __LINE__, IFD_E_CONVERT, kFormat);
  s->width = p->width;
  s->height = p->height;
  s->in_bits = p->bits_per_sample;
  s->bits = s->entries == 256 ? 8 : 1;
  s->planes = s->entries == 16 ? 4 : 1;
  const int64_t bytes_per_line =
      s->entries == 256 ? (int64_t{s->width} + 1) / 2 * 2 : 2 * ((int64_t{s->width} + 15) / 16);
  // The last column and row and the bytes per line are signed 16-bit
  // integers: readers take larger values for negative ones.
  if (s->width > 0x8000 || s->height > 0x8000 || bytes_per_line > 0x7FFF)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_TOO_LARGE, kFormat, s->width, s->height);
  s->bytes_per_line = static_cast<int32_t>(bytes_per_line);
  s->row_bytes = s->planes * s->bytes_per_line;
  s->next_line = 0;
  try {
    s->planes_row.assign(static_cast<size_t>(s->row_bytes), 0);
    if (s->bits == 8 && s->planes == 4) s->pixels.assign(4 * static_cast<size_t>(s->width), 0);
    s->encoded.assign(static_cast<size_t>(IFU_RLE_MAXOUT(s->row_bytes)), 0);
  } catch (const std::exception &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  }

  unsigned char *h = s->header;
  memset(h, 0, kHeaderSize);
  h[0] = 10;
  h[kVersion] = 5;
  h[kEncoding] = 1;
  h[kBits] = static_cast<unsigned char>(s->bits);
  IfuPutLe16(h + kXMax, static_cast<uint16_t>(s->width - 1));
  IfuPutLe16(h + kYMax, static_cast<uint16_t>(s->height - 1));
  double x = 72, y = 72;
  if (p->resolution_known && p->x_resolution > 0) {
    x = p->x_resolution;
    y = p->y_resolution > 0 ? p->y_resolution : x;
  }
  IfuPutLe16(h + kHRes, static_cast<uint16_t>(std::min(std::round(x), 65535.0)));
  IfuPutLe16(h + kVRes, static_cast<uint16_t>(std::min(std::round(y), 65535.0)));
  h[kPlanes] = static_cast<unsigned char>(s->planes);
  IfuPutLe16(h + kBytesPerLine, static_cast<uint16_t>(s->bytes_per_line));
  h[kPaletteInfo] = 1;
  return 0;
}

// The header goes out with the colour map, which fills its palette.
ReturnTp IfdPcxWtCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<PcxState *>(state);
  if (!s || !p || !p->cmap) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!s->entries) return CmnError(CMN_SOURCE, __LINE__, IFD_E_NEEDS_CMAP);
  const int32_t n = 3 * s->entries;
  if (s->in_bits > 0 && s->in_bits < 8) {
    ReturnTp rc = IfuConvBPC(n, s->in_bits, 8, p->cmap, s->cmap);
    if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  } else {
    memcpy(s->cmap, p->cmap, static_cast<size_t>(n));
  }
  if (s->entries <= 16) memcpy(s->header + kPalette, s->cmap, static_cast<size_t>(n));
  ReturnTp rc = IfiWrite(s->header, kHeaderSize, 1, s->handle);
  return rc ? CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_HEADER) : 0;
}

ReturnTp IfdPcxWtScan(void *state, IffParamTp *p) {
  auto *s = static_cast<PcxState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!s->entries || p->line != s->next_line || p->line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  const unsigned char *in = p->buffer;
  unsigned char *row = s->planes_row.data();
  const int32_t bpl = s->bytes_per_line;
  memset(row, 0, static_cast<size_t>(s->row_bytes));
  if (s->bits == 8) {
    memcpy(row, in, static_cast<size_t>(s->width));
  } else {
    for (int32_t i = 0; i < s->width; ++i)
      for (int32_t k = 0; k < s->planes; ++k)
        if (in[i] >> k & 1) row[k * bpl + (i >> 3)] |= static_cast<unsigned char>(0x80 >> (i & 7));
  }
  int32_t length = 0;
  ReturnTp rc = IfuRunLengthEncode(s->row_bytes, 1, 2, &length, row, s->encoded.data());
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  if (IfiWrite(s->encoded.data(), 1, static_cast<size_t>(length), s->handle))
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_LINE);
  if (++s->next_line == s->height && s->entries == 256) {
    const unsigned char mark = kPaletteMark;
    if (IfiWrite(&mark, 1, 1, s->handle) || IfiWrite(s->cmap, 768, 1, s->handle))
      return CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_CMAP);
  }
  return 0;
}

ReturnTp IfdPcxTerm(void **state) { return IffTermDriverState<PcxState>(state); }

// The writer takes colour indexes with a palette of 2, 16 or 256 entries.
}  // namespace

const IffFormatTp IfdPcxFormat = {
    "PCX",
    {{IFF_TYPE_PCX, "PCX."}},
    1,
    0,
    {IfdPcxInit, IfdPcxRdHead, IfdPcxWtHead, IfdPcxRdCMap, IfdPcxWtCMap, IfdPcxRdScan, IfdPcxWtScan,
     IfdPcxTerm},
    {{"pcx", IFF_TYPE_PCX, IFF_CM_PALETTE}},
    IFF_MODEL_BIT(IFF_CM_RGB) | IFF_MODEL_BIT(IFF_CM_PALETTE),
};
