// The tiled raster: filling it line by line, reading it back, chains of
// pages, dumps, and the tile store functions of the plain record.
#include "imaraw.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "imagefile.h"
#include "imarotat.h"
#include "imascale.h"

#define CMN_SOURCE "imaraw"

namespace {

// The reading layer's operations, installed once at start-up. Until then
// no file can be read into a raster.
const ImgRawReaderTp kNoReader = {};
const ImgRawReaderTp *g_reader = &kNoReader;

static_assert(sizeof(void *) != 8 || sizeof(ImgTileTp) == 280, "tile record is 280 bytes");
constexpr size_t kRecordBytes = 1168;  // the raster's own fields, as memory use counts them

int Tiles(int64_t pixels) { return static_cast<int>((pixels + IMG_TILE - 1) / IMG_TILE); }
// Width of tile column (or height of tile row) i of a side of n pixels.
int Span(int n, int i) { return std::min(IMG_TILE, n - i * IMG_TILE); }

// Bytes held for a tile of the working row with `size` packed bytes:
// powers of two from 64, so that the buffer follows what the lines packed
// to, not what 128 lines of literals could need. A buffer is never
// smaller than this for the bytes it holds.
size_t WorkCapacity(int32_t size) {
  // The power of two at or above size, at least 64: asked for every line
  // of every tile, so found from the top bit rather than by doubling.
  if (size <= 64) return 64;
  return size_t{1} << (64 - __builtin_clzll(static_cast<uint64_t>(size) - 1));
}

ReturnTp RangeError(unsigned line, const char *format, int value) {
  char text[96];
  snprintf(text, sizeof text, format, value);
  return CmnError(CMN_SOURCE, line, CMN_E_TEXT, text);
}

ReturnTp NoMemory(unsigned line) { return CmnError(CMN_SOURCE, line, CMN_E_NOMEM); }

ReturnTp NoReader(unsigned line) {
  return CmnError(CMN_SOURCE, line, CMN_E_TEXT, "Image reading layer not installed");
}

char *Dup(const char *text) { return text ? strdup(text) : nullptr; }

uint64_t PhysicalMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
  return pages > 0 && size > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(size)
                               : UINT64_MAX;
}

ImgInterpretationTp FromDepth(int bpp) {
  switch (bpp) {
    case 1:
      return ImgInterpGray;
    case 3:
      return ImgInterpRgb;
    case 4:
      return ImgInterpRgbw;
    default:
      IMG_ASSERT(false, "0");  // 2-byte pixels have no interpretation
  }
}

// Pixels x .. x + n - 1 of line y of a grid, in stored format, into out;
// what no readable tile gives stays as it is (the callers fill white).
void ReadSpan(ImgTileTp *const *grid, int w, int h, int bpp, int y, int x, int n,
              unsigned char *out) {
  if (!grid || y < 0 || y >= h) return;
  const int x0 = std::max(x, 0), x1 = static_cast<int>(std::min<int64_t>(int64_t(x) + n, w));
  const ImgTileTp *row = grid[y / IMG_TILE];
  if (!row) return;
  for (int px = x0; px < x1;) {
    const int tx = px % IMG_TILE, count = std::min(IMG_TILE - tx, x1 - px);
    const unsigned char *end;
    const unsigned char *p = ImgTileLine(&row[px / IMG_TILE], y % IMG_TILE, &end);
    if (p) ImgUnpackLine(p, end, bpp, tx, count, out + static_cast<size_t>(px - x) * bpp);
    px += count;
  }
}

void Put16(FILE *fp, unsigned v) {
  const unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
  fwrite(b, 1, 2, fp);
}
void Put32(FILE *fp, uint32_t v) {
  const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                              static_cast<unsigned char>(v >> 16),
                              static_cast<unsigned char>(v >> 24)};
  fwrite(b, 1, 4, fp);
}
void PutDouble(FILE *fp, double d) {
  uint64_t v;
  memcpy(&v, &d, 8);
  Put32(fp, static_cast<uint32_t>(v));
  Put32(fp, static_cast<uint32_t>(v >> 32));
}
uint32_t Word(RgbPixelTp p) {
  return p.blue | (p.green << 8) | (p.red << 16) | (static_cast<uint32_t>(p.fourth) << 24);
}

}  // namespace

const ImgRawReaderTp *ImgRawUseReader(const ImgRawReaderTp *reader) {
  const ImgRawReaderTp *previous = g_reader;
  g_reader = reader ? reader : &kNoReader;
  return previous;
}

// ---- Grids -----------------------------------------------------------------

ReturnTp ImgAllocGrid(ImgTileTp ***grid, int w, int h, int bpp) {
  if (w < 1) return RangeError(__LINE__, "Creating image with width %d", w);
  if (h < 1) return RangeError(__LINE__, "Creating image with height %d", h);
  if (bpp < 1)
    return RangeError(__LINE__, "Creating image with %d bytes per pixel (must be >0)", bpp);
  if (bpp > 4)
    return RangeError(__LINE__, "Creating image with %d bytes per pixel (must be <5)", bpp);
  const int across = Tiles(w), rows = Tiles(h) + 1;
  // The grid alone must fit in the machine; asking for more would only
  // fail later, or succeed lazily and fail when touched.
  const uint64_t bytes = static_cast<uint64_t>(across) * rows * sizeof(ImgTileTp) +
                         static_cast<uint64_t>(rows) * sizeof(ImgTileTp *);
  if (bytes > PhysicalMemory()) return NoMemory(__LINE__);
  ImgTileTp **g = static_cast<ImgTileTp **>(calloc(rows, sizeof *g));
  if (!g) return NoMemory(__LINE__);
  for (int r = 0; r < rows; ++r) {
    g[r] = static_cast<ImgTileTp *>(calloc(across, sizeof(ImgTileTp)));
    if (!g[r]) {
      while (r-- > 0) free(g[r]);
      free(g);
      return NoMemory(__LINE__);
    }
  }
  *grid = g;
  return 0;
}

void ImgFreeGrid(ImgTileTp ***grid, int w, int h) {
  if (!grid || !*grid) return;
  const int across = Tiles(std::max(w, 0)), rows = Tiles(std::max(h, 0)) + 1;
  for (int r = 0; r < rows; ++r) {
    ImgTileTp *row = (*grid)[r];
    if (!row) continue;
    for (int c = 0; c < across; ++c) free(row[c].data);
    free(row);
  }
  free(*grid);
  *grid = nullptr;
}

// ---- The plain record ------------------------------------------------------

ReturnTp ImgInitTiles(ImgRawTp *praw, int w, int h) {
  IMG_ASSERT(praw->pptile == 0, "praw->pptile == 0");
  const ReturnTp rc = ImgAllocGrid(&praw->pptile, w, h, praw->bpp);
  if (rc) return rc;
  praw->width = w;
  praw->height = h;
  return 0;
}

ReturnTp ImgStoreTileWith(ImgTileTp *tile, const unsigned char *pixels, int stride, int w, int h,
                          int bpp, unsigned char *scratch) {
  IMG_ASSERT(!tile->data && tile->size == 0, "0");
  IMG_ASSERT(w >= 1 && w <= IMG_TILE && h >= 1 && h <= IMG_TILE && bpp >= 1 && bpp <= 4, "0");
  unsigned char *buf = scratch;
  if (!buf && !(buf = static_cast<unsigned char *>(malloc(IMG_PACK_BOUND(bpp)))))
    return NoMemory(__LINE__);
  int32_t size = 0, last = 0;  // last: where the line above starts
  memset(tile->lineoff, 0, sizeof tile->lineoff);
  for (int i = 0; i < h; ++i) {
    const int32_t n = ImgPackLine(pixels + static_cast<size_t>(i) * stride, w, bpp, buf + size);
    // A line that packs as the one above shares its bytes.
    if (i > 0 && n == size - last && memcmp(buf + last, buf + size, n) == 0) {
      tile->lineoff[i] = tile->lineoff[i - 1];
      continue;
    }
    tile->lineoff[i] = static_cast<uint16_t>(size + 1);
    last = size;
    size += n;
  }
  tile->data = static_cast<unsigned char *>(malloc(size));
  if (tile->data) memcpy(tile->data, buf, size);
  if (buf != scratch) free(buf);
  if (!tile->data) {
    memset(tile->lineoff, 0, sizeof tile->lineoff);
    return NoMemory(__LINE__);
  }
  tile->size = size;
  tile->w = static_cast<uint16_t>(w);
  tile->h = static_cast<uint16_t>(h);
  tile->form = IMG_TILE_PACKED;
  return 0;
}

ReturnTp ImgStoreTile(ImgTileTp *tile, unsigned char *pixels, int stride, int w, int h, int bpp) {
  return ImgStoreTileWith(tile, pixels, stride, w, h, bpp, nullptr);
}

ReturnTp ImgAppendTileLine(ImgTileTp *tile, int line, const unsigned char *pixels, int n, int bpp) {
  IMG_ASSERT(line >= 0 && line < IMG_TILE && n >= 1 && n <= IMG_TILE && bpp >= 1 && bpp <= 4, "0");
  if (!tile->data) tile->size = 0;
  unsigned char packed[IMG_TILE * 4 + 1];  // one line of 4-byte literals
  return ImgAppendTilePacked(tile, line, packed, ImgPackLine(pixels, n, bpp, packed));
}

namespace {

// A line equal to its stored neighbour shares its bytes: most tile lines of
// a drawing repeat the one above (below, filled from the bottom), so a
// white tile holds one line, and a reader that meets the same offset knows
// the line is the same without reading it. The bytes compared are a whole
// packed line of the tile's width, so equal bytes from the neighbour's
// start read back as the same pixels.
inline bool ShareNeighbour(ImgTileTp *tile, int line, const unsigned char *packed,
                           int32_t n_bytes) {
  for (const int other : {line - 1, line + 1}) {
    if (other < 0 || other >= IMG_TILE || !tile->lineoff[other]) continue;
    const int32_t at = tile->lineoff[other] - 1;
    const unsigned char *was = tile->data + at;
    // Most lines are a run or two: the first bytes settle it, inline.
    if (n_bytes >= 2 && at + n_bytes <= tile->size && was[0] == packed[0] && was[1] == packed[1] &&
        (n_bytes == 2 || memcmp(was + 2, packed + 2, static_cast<size_t>(n_bytes - 2)) == 0)) {
      tile->lineoff[line] = tile->lineoff[other];
      return true;
    }
  }
  return false;
}

ReturnTp AppendBytes(ImgTileTp *tile, int line, const unsigned char *packed, int32_t n_bytes) {
  // Lines put once each end within 65664 bytes, so every offset fits the
  // 16-bit lineoff; lines put again and again must not push a tile past it.
  if (tile->size >= 65535 || tile->size + n_bytes > IMG_TILE_MAX_SIZE) return NoMemory(__LINE__);
  if (!tile->data || WorkCapacity(tile->size + n_bytes) > WorkCapacity(tile->size)) {
    auto *grown =
        static_cast<unsigned char *>(realloc(tile->data, WorkCapacity(tile->size + n_bytes)));
    if (!grown) return NoMemory(__LINE__);
    tile->data = grown;
  }
  memcpy(tile->data + tile->size, packed, static_cast<size_t>(n_bytes));
  tile->lineoff[line] = static_cast<uint16_t>(tile->size + 1);
  tile->size += n_bytes;
  return 0;
}

}  // namespace

ReturnTp ImgAppendTilePacked(ImgTileTp *tile, int line, const unsigned char *packed,
                             int32_t n_bytes) {
  IMG_ASSERT(line >= 0 && line < IMG_TILE && n_bytes >= 0 && n_bytes <= IMG_TILE * 4 + 1, "0");
  if (!tile->data) tile->size = 0;
  return ShareNeighbour(tile, line, packed, n_bytes) ? 0 : AppendBytes(tile, line, packed, n_bytes);
}

void ImgUnpackTile(const ImgTileTp *tile, unsigned char *dst, int stride, int w, int h, int bpp) {
  for (int i = 0; i < h; ++i) {
    unsigned char *out = dst + static_cast<size_t>(i) * stride;
    const unsigned char *end;
    const unsigned char *p = ImgTileLine(tile, i, &end);
    const int got = p ? ImgUnpackLine(p, end, bpp, 0, w, out) : 0;
    memset(out + static_cast<size_t>(got) * bpp, 255, static_cast<size_t>(w - got) * bpp);
  }
}

int ImgGetRawPixel(ImgRawTp *praw, int x, int y) {
  IMG_ASSERT(praw && praw->pptile, "praw->pptile");
  // What cannot be read repeats the last pixel, so that a caller walking
  // a line sees a gap continue its surroundings.
  static int last = 0;
  const int bpp = praw->bpp;
  if (x < 0 || y < 0 || x >= praw->width || y >= praw->height || bpp < 1 || bpp > 4) return last;
  const ImgTileTp *row = praw->pptile[y / IMG_TILE];
  const unsigned char *end;
  const unsigned char *p = row ? ImgTileLine(&row[x / IMG_TILE], y % IMG_TILE, &end) : nullptr;
  unsigned char px[4] = {0, 0, 0, 0};
  if (!p || ImgUnpackLine(p, end, bpp, x % IMG_TILE, 1, px) < 1) return last;
  uint32_t v = px[0];
  if (bpp >= 2) v |= px[1] << 8;
  if (bpp >= 3) v |= px[2] << 16;
  if (bpp >= 4) v |= static_cast<uint32_t>(px[3]) << 24;
  last = static_cast<int>(v);
  return last;
}

void ImgGetRawRun(ImgRawTp *praw, int y, int x, int n, unsigned char *out) {
  if (!praw || n < 1 || praw->bpp < 1) return;
  memset(out, 255, static_cast<size_t>(n) * praw->bpp);
  ReadSpan(praw->pptile, praw->width, praw->height, praw->bpp, y, x, n, out);
}

void ImgGetRawLine(ImgRawTp *praw, int y, unsigned char *line) {
  if (praw) ImgGetRawRun(praw, y, 0, praw->width, line);
}

ReturnTp ImgCreateRaw(ImgRawTp **praw, int w, int h, int bpp) {
  ImgRawTp *r = static_cast<ImgRawTp *>(calloc(1, sizeof(ImgRawTp)));
  if (!r) return NoMemory(__LINE__);
  memcpy(r->magic, "QpRw", 4);
  r->version = 1;
  r->width = w;
  r->height = h;
  r->bpp = bpp;
  if (w != 0 && h != 0) {
    const ReturnTp rc = ImgInitTiles(r, w, h);
    if (rc) {
      free(r);
      return rc;
    }
  }
  *praw = r;
  return 0;
}

void ImgTermRaw(ImgRawTp **praw) {
  if (!praw || !*praw) {
    fputs("Calling ImgTermRaw with NULL praw\n", stderr);
    return;
  }
  ImgRawTp *r = *praw;
  free(r->description);
  free(r->data);
  ImgFreeGrid(&r->pptile, r->width, r->height);
  free(r);
  *praw = nullptr;
}

int ImgDumpRaw(ImgRawTp *praw, FILE *fp) {
  const int bpp = praw->bpp;
  if (bpp != 1 && bpp != 3 && bpp != 4) {
    fprintf(stderr, "%d bytes per pixel - cannot dump", bpp);
    return 1;
  }
  fprintf(fp, bpp == 1 ? "P5 %d %d 255\n" : "P6 %d %d 255\n", praw->width, praw->height);
  const size_t n = static_cast<size_t>(praw->width);
  unsigned char *line = static_cast<unsigned char *>(malloc(n * bpp));
  if (!line) {
    NoMemory(__LINE__);
    return 1;
  }
  for (int y = 0; y < praw->height; ++y) {
    ImgGetRawLine(praw, y, line);
    if (bpp == 4)
      for (size_t i = 0; i < n; ++i) memmove(line + 3 * i, line + 4 * i, 3);
    fwrite(line, bpp == 1 ? 1 : 3, n, fp);
  }
  free(line);
  return 0;
}

// ---- ImgRaw: construction --------------------------------------------------

ImgRaw::ImgRaw(int w, int h, int bpp, bool bottom_up, ImgInterpretationTp interp, double xres,
               double yres)
    : _w(w), _h(h), _bpp(bpp), _bottomUp(bottom_up), _interp(interp), _xres(xres), _yres(yres) {
  allocate();
}

ImgRaw::ImgRaw(unsigned char *pixels, int w, int h, int bpp, bool bottom_up, double xres,
               double yres)
    : ImgRaw(w, h, bpp, bottom_up, ImgInterpUnset, xres, yres) {
  const size_t stride = static_cast<size_t>(_w) * _bpp;
  for (int i = 0; i < _h && !_status; ++i) _status = putLine(pixels + i * stride);
}

ImgRaw::ImgRaw(ImgControlBlockTp *cb) { _status = setUp(cb); }

ImgRaw::ImgRaw(const char *file_name, bool read_now, int first_page, int last_page) {
  if (!g_reader->open || !g_reader->close || !g_reader->source) {
    _status = NoReader(__LINE__);
    return;
  }
  ImgControlBlockTp *cb = nullptr;
  ReturnTp rc = g_reader->open(file_name, &cb, nullptr);
  if (!rc) rc = setUp(cb);
  if (!rc && read_now) rc = readPages(cb, first_page, last_page);
  const ReturnTp closed = cb ? g_reader->close(&cb) : 0;
  _status = rc ? rc : closed;
}

ImgRaw::ImgRaw(FILE *stream) { readStream(stream); }

ImgRaw::~ImgRaw() {
  // Iteratively, so that a file of many pages does not recurse as deep.
  ImgRaw *seg = _next;
  _next = nullptr;
  while (seg) {
    ImgRaw *following = seg->_next;
    seg->_next = nullptr;
    delete seg;
    seg = following;
  }
  free(_frequent);
  ImgFreeGrid(&_tiles, _w, _h);
  free(_name);
  free(_description);
}

ReturnTp ImgRaw::allocate() {
  _status = ImgAllocGrid(&_tiles, _w, _h, _bpp);
  if (_status) {
    _w = _h = _bpp = 0;
    return _status;
  }
  if (_interp == ImgInterpUnset) _interp = FromDepth(_bpp);
  _tilesAcross = Tiles(_w);
  _tileRows = Tiles(_h) + 1;
  _linesDown = _h;
  _linesUp = 0;
  _curline = _bottomUp ? _h - 1 : 0;
  _segLines = _h;
  return 0;
}

ImgInterpretationTp ImgFileInterpretation(const IffControlBlockTp *iff) {
  if (iff->has_cmap || iff->color_model == IFF_CM_PALETTE) return ImgInterpLut;
  return FromDepth(iff->pixel_size);
}

ReturnTp ImgRaw::setUp(ImgControlBlockTp *cb) {
  if (!g_reader->source) return NoReader(__LINE__);
  IMG_ASSERT(cb, "img");
  ImgRawSourceTp src = {};
  g_reader->source(cb, &src);
  IffControlBlockTp *iff = src.iff;
  IMG_ASSERT(iff, "iff");
  _name = Dup(src.name);
  _description = Dup(src.description);
  _w = src.width;
  _h = src.lines;
  _bpp = iff->pixel_size;
  _interp = ImgFileInterpretation(iff);
  if (_interp == ImgInterpLut) {
    const int n = std::min(std::max(iff->cmap_kept, 0), 256);
    if (iff->bgrx_cmap) memcpy(_cmap, iff->bgrx_cmap, static_cast<size_t>(n) * 4);
    if (iff->transparent && iff->transparent_index >= 0 && iff->transparent_index < 256)
      _cmap[iff->transparent_index] = RgbPixelTp{0, 0, 0, 0};
  }
  _xres = iff->x_resolution;
  _yres = iff->y_resolution;
  _bottomUp = iff->bottom_up != 0;
  _turn = src.turn;
  return allocate();
}

void ImgRaw::readStream(FILE *stream) {
  char line[1024];
  auto next = [&]() { return stream && fgets(line, sizeof line, stream) != nullptr; };
  if (!next() || !next()) return;
  float wmm = 0, hmm = 0;
  while (line[0] == '#') {
    if (strncmp(line, "#METRIC", 7) == 0) {
      sscanf(line, "#METRIC %f x %f mm", &wmm, &hmm);
    } else if (strncmp(line, "#TITLE", 6) == 0) {
      char title[1024] = "PvDriver: ";
      size_t n = strlen(title);
      for (const char *in = line[6] == ' ' ? line + 7 : line + 6; *in && n + 1 < sizeof title; ++in)
        if (*in != '\n') title[n++] = *in;
      title[n] = '\0';
      free(_description);
      _description = strdup(title);
    }
    if (!next()) return;
  }
  int w = 0, h = 0, depth = 0;
  sscanf(line, "WIDTH %d", &w);
  if (!next()) return;
  sscanf(line, "HEIGHT %d", &h);
  if (!next()) return;
  sscanf(line, "DEPTH %d", &depth);  // the lines are RGBA whatever it says
  for (int i = 0; i < 3; ++i)
    if (!next()) return;
  if (w == 0 || h == 0) return;
  _w = w;
  _h = h;
  _bpp = 4;
  _interp = ImgInterpRgbw;
  if (allocate()) return;
  if (wmm > 0 && hmm > 0) {
    _xres = _w / (wmm / 25.4);
    _yres = _h / (hmm / 25.4);
  }
  const size_t bytes = static_cast<size_t>(_w) * 4;
  unsigned char *buf = static_cast<unsigned char *>(malloc(bytes));
  if (!buf) {
    _status = NoMemory(__LINE__);
    return;
  }
  for (int y = 0; y < _h && !_status; ++y) {
    // A short stream leaves the rest of the picture transparent.
    const size_t got = fread(buf, 1, bytes, stream);
    memset(buf + got, 0, bytes - got);
    for (unsigned char *p = buf; p < buf + bytes; p += 4) {
      const unsigned r = p[0], g = p[1], b = p[2], a = p[3];
      if (a == 255) {
        p[0] = b, p[2] = r;
      } else {
        p[0] = static_cast<unsigned char>(b * a / 255);
        p[1] = static_cast<unsigned char>(g * a / 255);
        p[2] = static_cast<unsigned char>(r * a / 255);
      }
    }
    _status = putLine(buf);
  }
  free(buf);
}

// ---- ImgRaw: filling -------------------------------------------------------

ReturnTp ImgRaw::putLine(unsigned char *line) {
  if (!_tiles && _status) return _status;
  if (_bottomUp)
    IMG_ASSERT(_curline >= 0, "_curline>=0");
  else
    IMG_ASSERT(_curline < _h, "_curline<_h");
  const int row = _curline / IMG_TILE, in_tile = _curline % IMG_TILE;

  if (!_hasColor && (_bpp == 3 || _bpp == 4)) {
    for (const unsigned char *p = line, *e = line + static_cast<size_t>(_w) * _bpp; p < e;
         p += _bpp)
      if (p[0] != p[1] || p[1] != p[2]) {
        _hasColor = true;
        break;
      }
  }
  if (!_hasTransparency && _bpp == 4) {
    for (const unsigned char *p = line + 3, *e = line + static_cast<size_t>(_w) * 4; p < e; p += 4)
      if (*p < 255) {
        _hasTransparency = true;
        break;
      }
  }

  ImgTileTp *work = _tiles[row];
  for (int c = 0; c < _tilesAcross; ++c) {
    ImgTileTp &t = work[c];
    // A full tile of 4-byte literals ends at 65664 bytes, so every line
    // offset fits the 16-bit lineoff.
    IMG_ASSERT(!t.data || t.size < 65535, "0");
    const int tw = Span(_w, c);
    ReturnTp rc = t.form == IMG_TILE_BITS && t.size > 0 ? ImgTileToPacked(&t, _bottomUp) : 0;
    t.form = IMG_TILE_PACKED;
    if (!rc)
      rc =
          ImgAppendTileLine(&t, in_tile, line + static_cast<size_t>(c) * IMG_TILE * _bpp, tw, _bpp);
    if (rc) return rc;
    t.w = static_cast<uint16_t>(tw);
    t.h = static_cast<uint16_t>(std::max<int>(t.h, in_tile + 1));
  }
  return lineDone(row, in_tile);
}

namespace {

// The stored lines of a tile being filled (form IMG_TILE_TWO_LEVEL, levels
// set) as plain bits: its lines pack worse than bits would hold them.
ReturnTp TileToBits(ImgTileTp *t) {
  auto *bits = static_cast<unsigned char *>(calloc(IMG_TILE, IMG_BITS_STRIDE));
  if (!bits) return NoMemory(__LINE__);
  unsigned char line[IMG_TILE];
  for (int i = 0; i < IMG_TILE; ++i) {
    if (!t->lineoff[i]) continue;
    const int got = ImgUnpackLine(t->data + t->lineoff[i] - 1, t->data + t->size, 1, 0, t->w, line);
    unsigned char *out = bits + i * IMG_BITS_STRIDE;
    for (int x = 0; x < got; ++x)
      if (line[x] == t->levels[1]) out[x >> 3] |= static_cast<unsigned char>(0x80 >> (x & 7));
    t->lineoff[i] = static_cast<uint16_t>(i * IMG_BITS_STRIDE + 1);
  }
  free(t->data);
  t->data = bits;
  t->size = IMG_TILE * IMG_BITS_STRIDE;
  t->form = IMG_TILE_BITS;
  return 0;
}

}  // namespace

// True when two neighbouring lines of a bits tile are stored alike.
static bool RepeatsLines(const ImgTileTp &t, int lines) {
  const size_t n = (t.w + 7) / 8;
  for (int i = 1; i < lines; ++i)
    if (t.lineoff[i] && t.lineoff[i - 1] &&
        memcmp(t.data + i * IMG_BITS_STRIDE, t.data + (i - 1) * IMG_BITS_STRIDE, n) == 0)
      return true;
  return false;
}

// A bits tile back to packed lines, appended in the order they arrive
// (from the last line up when bottom_up), as they would have been packed.
ReturnTp ImgTileToPacked(ImgTileTp *t, bool bottom_up) {
  ImgTileTp packed = {};
  for (int k = 0; k < IMG_TILE; ++k) {
    const int i = bottom_up ? IMG_TILE - 1 - k : k;
    const unsigned char *end;
    const unsigned char *p = t->lineoff[i] ? ImgTileLine(t, i, &end) : nullptr;
    if (!p) continue;
    const ReturnTp rc = ImgAppendTilePacked(&packed, i, p, static_cast<int32_t>(end - p));
    if (rc) {
      free(packed.data);
      return rc;
    }
  }
  free(t->data);
  t->data = packed.data;
  t->size = packed.size;
  memcpy(t->lineoff, packed.lineoff, sizeof t->lineoff);
  t->form = IMG_TILE_PACKED;
  return 0;
}

namespace {

// Pixels x .. x + n - 1 of a line given by its changes as bits, the first
// in the high bit of out[0]; out holds IMG_BITS_STRIDE bytes.
void ChangesToBits(const int32_t *changes, int count, int *next, int x, int n, unsigned char *out) {
  memset(out, 0, IMG_BITS_STRIDE);
  int k = *next;
  while (k < count && changes[k] <= x) ++k;
  *next = k;
  const int end = x + n;
  for (int pos = x; pos < end;) {
    const int stop = k < count && changes[k] < end ? changes[k] : end;
    if (k & 1)
      for (int i = pos - x; i < stop - x; ++i)
        out[i >> 3] |= static_cast<unsigned char>(0x80 >> (i & 7));
    pos = stop;
    if (k < count && changes[k] == pos) ++k;
  }
}

}  // namespace

ReturnTp ImgRaw::putChanges(const int32_t *changes, int count, const uint8_t levels[2]) {
  return putTwoLevel(nullptr, changes, count, levels);
}

ReturnTp ImgRaw::putBits(const uint8_t *bits, const uint8_t levels[2]) {
  return putTwoLevel(bits, nullptr, 0, levels);
}

ReturnTp ImgRaw::putTwoLevel(const uint8_t *bits, const int32_t *changes, int count,
                             const uint8_t levels[2]) {
  if (!_tiles && _status) return _status;
  IMG_ASSERT(_bpp == 1, "_bpp == 1");
  IMG_ASSERT(_bottomUp ? _curline >= 0 : _curline < _h, "_curline");
  const int row = _curline / IMG_TILE, in_tile = _curline % IMG_TILE;
  const int stored = _bottomUp ? Span(_h, row) - in_tile : in_tile + 1;  // with this one
  // Two equal levels are one: the line is a single run.
  const bool flat = levels[0] == levels[1];
  if (flat) count = 0;
  ImgTileTp *work = _tiles[row];
  int next = 0;
  if (_lastRun.size() != static_cast<size_t>(_tilesAcross)) {
    try {
      _lastRun.assign(static_cast<size_t>(_tilesAcross), -1);
      _lastBits.assign(static_cast<size_t>(_tilesAcross) * IMG_BITS_STRIDE, 0);
    } catch (const std::bad_alloc &) {
      return NoMemory(__LINE__);
    }
  }
  const int other = _bottomUp ? in_tile + 1 : in_tile - 1;  // the line put before
  const bool in_row = other >= 0 && other < IMG_TILE;
  const uint16_t height = static_cast<uint16_t>(in_tile + 1);
  // Most tile lines of a drawing repeat the line before: the one run the
  // tile's last line was (whichever way either came), or the line before
  // in the tile when both came the same way (bits, changes) with the same
  // levels. Such a slice shares the stored line of a tile of two levels,
  // which holds only lines of its levels, without being packed; the loops
  // below do only that, and leave the rest to `slice`.
  const int32_t before = _bottomUp ? _curline + 1 : _curline - 1;
  const bool bits_before = bits && !flat && in_row && _lastBitsAt == before &&
                           levels[0] == _lastLevels[0] && levels[1] == _lastLevels[1];
  const bool changes_before = !bits && !flat && in_row && _lastChangesAt == before &&
                              levels[0] == _lastLevels[0] && levels[1] == _lastLevels[1];
  // A line left half put by an error is no line before.
  _lastBitsAt = _lastChangesAt = INT32_MIN;
  const int32_t *was = _lastChanges.data();
  const int was_count = static_cast<int>(_lastChanges.size());
  int was_next = 0;
  auto share = [&](ImgTileTp &t) {
    t.lineoff[in_tile] = t.lineoff[other];
    if (t.h < height) t.h = height;
  };
  // Tile c's slice, with `single` the value of a slice that is one run
  // when already known (-1: not known, or not one run when put as changes).
  auto slice = [&](int c, int single) -> ReturnTp {
    ImgTileTp &t = work[c];
    IMG_ASSERT(!t.data || t.size < 65535, "0");
    const int tw = Span(_w, c), x0 = c * IMG_TILE;
    const unsigned char *from = bits ? bits + static_cast<size_t>(c) * IMG_BITS_STRIDE : nullptr;
    if (from && !flat)
      memcpy(&_lastBits[static_cast<size_t>(c) * IMG_BITS_STRIDE], from,
             static_cast<size_t>(tw + 7) / 8);
    ReturnTp rc = 0;
    if (t.size == 0) {
      t.form = IMG_TILE_TWO_LEVEL;
      t.levels[0] = levels[0];
      t.levels[1] = levels[1];
    } else if (t.form != IMG_TILE_PACKED &&
               (t.levels[0] != levels[0] || t.levels[1] != levels[1])) {
      if (t.form == IMG_TILE_BITS && (rc = ImgTileToPacked(&t, _bottomUp))) return rc;
      t.form = IMG_TILE_PACKED;
    }
    if (t.form == IMG_TILE_BITS) {
      unsigned char *to = t.data + in_tile * IMG_BITS_STRIDE;
      if (from && !flat)
        memcpy(to, from, (tw + 7) / 8);
      else
        ChangesToBits(changes, count, &next, x0, tw, to);
      t.lineoff[in_tile] = static_cast<uint16_t>(in_tile * IMG_BITS_STRIDE + 1);
    } else {
      if (from && (flat || tw == IMG_TILE)) {
        uint64_t a, b;
        memcpy(&a, from, 8);
        memcpy(&b, from + 8, 8);
        if (flat || (a == 0 && b == 0))
          single = levels[0];
        else if (a == ~uint64_t{0} && b == ~uint64_t{0})
          single = levels[1];
      }
      int16_t &last = _lastRun[c];
      if (t.form == IMG_TILE_TWO_LEVEL && in_row && t.lineoff[other] && single >= 0 &&
          last == single) {
        share(t);
        return 0;
      }
      unsigned char packed[IMG_TILE * 2];
      int32_t n_bytes;
      if (single >= 0) {
        packed[0] = static_cast<unsigned char>(tw >= 2 ? 257 - tw : 0);
        packed[1] = static_cast<unsigned char>(single);
        n_bytes = 2;
      } else if (from) {
        int32_t changed[IMG_TILE];
        int zero = 0;
        const int n = flat ? 0 : IfuBitsToChanges(tw, from, changed);
        n_bytes = ImgPackChanges(changed, n, &zero, 0, tw, levels, packed);
      } else {
        n_bytes = ImgPackChanges(changes, count, &next, x0, tw, levels, packed);
      }
      last = static_cast<int16_t>(n_bytes == 2 ? packed[1] : -1);
      if (!t.data) t.size = 0;
      if (!ShareNeighbour(&t, in_tile, packed, n_bytes) &&
          (rc = AppendBytes(&t, in_tile, packed, n_bytes)))
        return rc;
    }
    t.w = static_cast<uint16_t>(tw);
    if (t.h < height) t.h = height;
    // Lines that pack to more than twice their bits (noise) are kept as bits.
    if (t.form == IMG_TILE_TWO_LEVEL && t.size > 2 * stored * IMG_BITS_STRIDE)
      return TileToBits(&t);
    return 0;
  };
  // A third of the lines of a drawing repeat the whole line before: the
  // tiles share it in one loop, up to the first one that cannot.
  int first = 0;
  if (bits_before ? memcmp(bits, _lastBits.data(), static_cast<size_t>(_w + 7) / 8) == 0
                  : changes_before && count == was_count &&
                        (count == 0 || memcmp(changes, was, sizeof *was * count) == 0)) {
    for (; first < _tilesAcross; ++first) {
      ImgTileTp &t = work[first];
      if (t.form != IMG_TILE_TWO_LEVEL || !t.lineoff[other]) break;
      share(t);
    }
  }
  ReturnTp rc = 0;
  if (bits) {
    // The tiles of full width; the last one, maybe narrower, goes to
    // `slice`, which compares no bits beyond the page's width.
    const int full = _w / IMG_TILE;
    for (int c = first; c < _tilesAcross; ++c) {
      ImgTileTp &t = work[c];
      if (bits_before && c < full && t.form == IMG_TILE_TWO_LEVEL && t.lineoff[other]) {
        uint64_t now[2], prior[2];
        memcpy(now, bits + static_cast<size_t>(c) * IMG_BITS_STRIDE, 16);
        memcpy(prior, &_lastBits[static_cast<size_t>(c) * IMG_BITS_STRIDE], 16);
        if (now[0] == prior[0] && now[1] == prior[1]) {
          share(t);
          continue;
        }
      }
      if ((rc = slice(c, -1))) return rc;
    }
    if (!flat) {
      _lastBitsAt = _curline;
      _lastLevels[0] = levels[0];
      _lastLevels[1] = levels[1];
    }
  } else {
    for (int c = first; c < _tilesAcross;) {
      const int x0 = c * IMG_TILE;
      while (next < count && changes[next] <= x0) ++next;
      // Tiles c .. stop - 1 lie within one run.
      const int stop = next < count && changes[next] < _w ? changes[next] / IMG_TILE : _tilesAcross;
      if (stop > c) {
        const int v = levels[next & 1];
        for (; c < stop; ++c) {
          ImgTileTp &t = work[c];
          if (in_row && t.form == IMG_TILE_TWO_LEVEL && t.lineoff[other] && _lastRun[c] == v)
            share(t);
          else if ((rc = slice(c, v)))
            return rc;
        }
        continue;
      }
      // A tile with changes inside: the same changes as the line before
      // and the same level at its start give the same pixels.
      ImgTileTp &t = work[c];
      if (changes_before && t.form == IMG_TILE_TWO_LEVEL && t.lineoff[other]) {
        const int32_t x1 = x0 + Span(_w, c);
        while (was_next < was_count && was[was_next] <= x0) ++was_next;
        int end = next, was_end = was_next;
        while (end < count && changes[end] < x1) ++end;
        while (was_end < was_count && was[was_end] < x1) ++was_end;
        if (((next ^ was_next) & 1) == 0 && end - next == was_end - was_next &&
            memcmp(changes + next, was + was_next, sizeof *was * (end - next)) == 0) {
          share(t);
          next = end;
          was_next = was_end;
          ++c;
          continue;
        }
      }
      if ((rc = slice(c++, -1))) return rc;
    }
    if (!flat) {
      try {
        _lastChanges.assign(changes, changes + count);
        _lastChangesAt = _curline;
        _lastLevels[0] = levels[0];
        _lastLevels[1] = levels[1];
      } catch (const std::bad_alloc &) {
        // The next line is packed without a look at this one.
      }
    }
  }
  return lineDone(row, in_tile);
}

// After a line was put: the next line, and a finished row of tiles moved
// to its place.
ReturnTp ImgRaw::lineDone(int row, int in_tile) {
  ReturnTp rc = 0;
  bool finished;
  int target;
  if (!_bottomUp) {
    ++_linesUp;
    ++_curline;
    finished = in_tile == IMG_TILE - 1 || _curline == _h;
    target = row + 1;
  } else {
    --_linesDown;
    --_curline;
    finished = in_tile == 0;
    target = row == 0 ? _tileRows - 1 : row - 1;
  }
  if (finished) rc = finishRow(row, target, Span(_h, row));
  if (_bottomUp ? _curline < 0 : _curline == _h) {
    // The working row now stands at the target index.
    for (int c = 0; c < _tilesAcross; ++c) {
      free(_tiles[target][c].data);
      _tiles[target][c] = ImgTileTp{};
    }
    _complete = true;
  }
  return rc;
}

ReturnTp ImgRaw::finishRow(int row, int target, int row_height) {
  ReturnTp rc = 0;
  ImgTileTp *work = _tiles[row], *dest = _tiles[target];
  for (int c = 0; c < _tilesAcross; ++c) {
    ImgTileTp &from = work[c], &to = dest[c];
    bool bits = from.form == IMG_TILE_BITS;
    const int32_t size = bits ? std::min(from.size, row_height * IMG_BITS_STRIDE) : from.size;
    to.levels[0] = from.levels[0];
    to.levels[1] = from.levels[1];
    ImgTileTp packed = {};
    if (bits && RepeatsLines(from, row_height)) {
      // A tile turned to bits by noisy lines may go on with lines that
      // repeat, which packed lines share: it keeps the smaller form.
      packed = from;
      packed.h = static_cast<uint16_t>(row_height);
      packed.data = static_cast<unsigned char *>(malloc(from.size));
      if (packed.data) memcpy(packed.data, from.data, from.size);
      if (!packed.data || ImgTileToPacked(&packed, _bottomUp) || packed.size >= size) {
        free(packed.data);
        packed = ImgTileTp{};
      }
    }
    if (packed.data) {
      if (auto *exact = static_cast<unsigned char *>(realloc(packed.data, packed.size)))
        packed.data = exact;
      to.data = packed.data;
      to.size = packed.size;
      memcpy(to.lineoff, packed.lineoff, sizeof to.lineoff);
      bits = false;
    } else if ((to.data = static_cast<unsigned char *>(malloc(std::max(size, 1))))) {
      memcpy(to.data, from.data, size);
      to.size = size;
      memcpy(to.lineoff, from.lineoff, sizeof to.lineoff);
    } else if (!rc) {
      rc = NoMemory(__LINE__);  // this tile reads white; the row goes on
    }
    to.form = bits ? IMG_TILE_BITS : IMG_TILE_PACKED;
    to.w = from.w;
    to.h = static_cast<uint16_t>(row_height);
    from.size = 0;
    from.h = 0;
    from.form = IMG_TILE_PACKED;
    memset(from.lineoff, 0, sizeof from.lineoff);
  }
  std::swap(_tiles[row], _tiles[target]);
  return rc;
}

void ImgRaw::finishFill() {
  // Turns the half-filled working row into exact-size tiles, so that the
  // raster can be transformed; no further line can be put.
  const int row = _curline / IMG_TILE;
  if (_curline >= 0 && _curline < _h) {
    for (int c = 0; c < _tilesAcross; ++c) {
      ImgTileTp &t = _tiles[row][c];
      if (!t.data) continue;
      unsigned char *exact = t.size > 0 ? static_cast<unsigned char *>(malloc(t.size)) : nullptr;
      if (exact) memcpy(exact, t.data, t.size);
      free(t.data);
      t.data = exact;
      if (!exact) t = ImgTileTp{};
    }
  }
  _curline = _bottomUp ? -1 : _h;
  _complete = true;
}

ReturnTp ImgRaw::appendSegment(ImgControlBlockTp *cb) {
  ImgRaw *seg = new (std::nothrow) ImgRaw(cb);
  if (!seg) return NoMemory(__LINE__);
  if (seg->_status) {
    const ReturnTp rc = seg->_status;
    delete seg;
    return rc;
  }
  (_lastSegment ? _lastSegment : this)->_next = seg;
  _lastSegment = seg;
  return 0;
}

ReturnTp ImgRaw::appendFailedPage(ReturnTp code, const std::string &message) {
  ImgRaw *seg = new (std::nothrow) ImgRaw();
  if (!seg) return NoMemory(__LINE__);
  seg->_status = code | CMN_REPORTED;
  seg->_complete = true;
  try {
    seg->_failure = message.empty() ? CmnErrorText(code, nullptr, nullptr) : message;
  } catch (const std::bad_alloc &) {
    delete seg;
    return NoMemory(__LINE__);
  }
  (_lastSegment ? _lastSegment : this)->_next = seg;
  _lastSegment = seg;
  return IMG_PAGE_DONE;
}

ReturnTp ImgRaw::nextLine(ImgControlBlockTp *cb) {
  IMG_ASSERT(cb, "img");
  if (!g_reader->source || !g_reader->readPageHeader) return NoReader(__LINE__);
  ImgRawSourceTp src = {};
  g_reader->source(cb, &src);
  IMG_ASSERT(src.iff, "iff");
  if (_pagePending) {
    ReturnTp rc = g_reader->readPageHeader(cb);
    if (!rc) rc = appendSegment(cb);
    if (rc) return rc;
    _pagePending = false;
    if (src.lines_read) *src.lines_read = 0;
    return 0;
  }
  ImgRaw *seg = _lastSegment ? _lastSegment : this;
  if (!seg->_tiles) return seg->_status;
  if (seg->_complete) {
    // A page stored on its side stands upright in the raster.
    if (seg->_turn) {
      const ReturnTp rc = seg->rotate(seg->_turn);
      seg->_turn = 0;
      if (rc) return rc;
    }
    _pagePending = true;
    return IMG_PAGE_DONE;
  }
  // The file delivers its lines in stored order; a bottom-up page is put
  // from its last line.
  const int line = seg->_bottomUp ? seg->_h - 1 - seg->_curline : seg->_curline;
  if (seg->_bpp == 1) {
    // A bilevel line whose driver gives runs or bits is packed from them.
    IffRunLineTp runs;
    const ReturnTp rc = IffRdScanRuns(src.iff, line, &runs, true);
    if (rc) return rc;
    if (runs.bits && src.iff->width >= seg->_w) return seg->putBits(runs.bits, runs.levels);
    if (runs.bits) {
      // Bits narrower than the raster: as changes, the rest of the line
      // of the first level.
      const int32_t count = IfuBitsToChanges(src.iff->width, runs.bits, src.iff->changes);
      return seg->putChanges(src.iff->changes, count, runs.levels);
    }
    if (runs.count >= 0) return seg->putChanges(runs.changes, runs.count, runs.levels);
    return seg->putLine(src.iff->line);
  }
  const ReturnTp rc = IffRdScan(src.iff, 1, line);
  if (rc) return rc;
  return seg->putLine(src.iff->line);
}

namespace {

// While a page before the last one asked for is read, its first error is
// kept for when the page is shown; other messages go out as they come.
CmnErrorHandlerTp g_outerHandler = nullptr;
std::string *g_keptFailure = nullptr;

void KeepFailure(ReturnTp code) {
  if ((code & CMN_SEVERITY_MASK) < CMN_SEV_ERROR) {
    g_outerHandler(code);
  } else if (g_keptFailure->empty()) {
    try {
      *g_keptFailure = CmnErrorText(code, nullptr, nullptr);
    } catch (const std::bad_alloc &) {
      // The page's message is lost; the page is still passed over.
    }
  }
}

}  // namespace

ReturnTp ImgRaw::readPages(ImgControlBlockTp *cb, int first_page, int last_page) {
  IMG_ASSERT(cb, "img");
  if (!g_reader->source) return NoReader(__LINE__);
  if (last_page == 0) last_page = 10000000;
  for (int page = first_page; page <= last_page; ++page) {
    ImgRawSourceTp src = {};
    g_reader->source(cb, &src);
    IMG_ASSERT(src.iff, "iff");
    src.iff->page = page;
    if (src.page_index) *src.page_index = page - 1;
    // A page before the last one asked for that cannot be read keeps its
    // place (and its message, said when the page is shown) so that the
    // pages after it are read and keep their numbers; only a file that
    // counts its pages says that there are pages after it.
    const bool before = page < last_page && page < src.iff->page_count;
    std::string kept;
    const CmnErrorHandlerTp outer = CmnHandleError;
    if (before && outer) {
      g_outerHandler = outer;
      g_keptFailure = &kept;
      CmnHandleError = KeepFailure;
    }
    ReturnTp rc;
    do rc = nextLine(cb);
    while (rc == 0);
    CmnHandleError = outer;
    // The end of the pages, whether a driver said so or not.
    if ((rc & ~CMN_REPORTED) == IFF_I_NO_MORE_PAGES) return 0;
    if (rc != IMG_PAGE_DONE && before && _pagePending)
      rc = appendFailedPage(rc, kept);
    else if (!kept.empty())
      CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, kept.c_str());
    if (rc != IMG_PAGE_DONE) return CmnReraise(CMN_SOURCE, __LINE__, rc);
    if (src.current_page) *src.current_page = page;
  }
  return 0;
}

// ---- ImgRaw: reading -------------------------------------------------------

ImgTileTp *ImgRaw::tile(int column, int row) const {
  if (!_tiles || column < 0 || column >= _tilesAcross || row < 0 || row >= _tileRows)
    return nullptr;
  return &_tiles[row][column];
}

const ImgRaw *ImgRaw::locate(int *y) const {
  if (*y < 0) return nullptr;
  const ImgRaw *seg = this;
  while (seg && *y >= seg->_segLines) {
    *y -= seg->_segLines;
    seg = seg->_next;
  }
  return seg;
}

void ImgRaw::getPackedLine(unsigned char *buffer, int y, int x, int width) const {
  if (width <= 0) width = _w - x;
  if (width <= 0 || _bpp < 1) return;
  memset(buffer, 255, static_cast<size_t>(width) * _bpp);
  const ImgRaw *seg = locate(&y);
  // Pages of another depth cannot be given in this raster's format.
  if (seg && seg->_bpp == _bpp) ReadSpan(seg->_tiles, seg->_w, seg->_h, _bpp, y, x, width, buffer);
}

void ImgRaw::indexWhite() const {
  _whiteKnown = true;
  const size_t tiles = static_cast<size_t>(_tilesAcross) * _tileRows;
  try {
    _white.assign((tiles + 63) / 64, 0);
    _still.assign((tiles + 63) / 64, 0);
  } catch (const std::bad_alloc &) {
    _white.clear();  // read without them
    _still.clear();
    return;
  }
  for (int r = 0; r < _tileRows; ++r) {
    const ImgTileTp *row = _tiles[r];
    const int lines = r * IMG_TILE < _h ? Span(_h, r) : 0;
    for (int c = 0; row && lines > 0 && c < _tilesAcross; ++c) {
      const ImgTileTp &t = row[c];
      bool white = t.h == lines;
      // A tile whose lines all share one line's bytes (most white tiles)
      // needs one look.
      const bool one_line = white && t.form != IMG_TILE_BITS &&
                            memcmp(t.lineoff, t.lineoff + 1, (t.h - 1) * sizeof t.lineoff[0]) == 0;
      for (int y = 0; white && y < (one_line ? 1 : t.h); ++y) {
        if (y > 0 && t.form != IMG_TILE_BITS && t.lineoff[y] == t.lineoff[y - 1]) continue;
        const unsigned char *end;
        const unsigned char *p = ImgTileLine(&t, y, &end);
        white = p && end - p >= 2 && p[0] >= 128 && 257 - p[0] >= t.w && p[1] == 255;
      }
      const size_t bit = static_cast<size_t>(r) * _tilesAcross + c;
      if (white) _white[bit / 64] |= uint64_t(1) << (bit % 64);
      if (white || one_line) _still[bit / 64] |= uint64_t(1) << (bit % 64);
    }
  }
}

void ImgRaw::getRunLine(ImgRunLineTp *line, int y, int x, int width, bool reverse,
                        const std::vector<int32_t> *only) const {
  line->clear();
  if (width <= 0) width = _w - x;
  if (width <= 0) return;
  const ImgRaw *seg = locate(&y);
  // What no tile gives (outside the raster, lines never stored, pages of
  // another depth) is white, as getPackedLine gives it.
  if (seg && seg->_bpp == 1 && _bpp == 1 && seg->_tiles && y < seg->_h) {
    if (seg->_complete && !seg->_whiteKnown) seg->indexWhite();
    const ImgTileTp *row = seg->_tiles[y / IMG_TILE];
    const int x0 = std::max(x, 0);
    const int x1 = static_cast<int>(std::min<int64_t>(int64_t(x) + width, seg->_w));
    line->run(x0 - x, 255);
    size_t o = 0;  // the first range of `only` that may meet this tile or a later one
    for (int px = x0; row && px < x1;) {
      const int c = px / IMG_TILE, tx = px % IMG_TILE, count = std::min(IMG_TILE - tx, x1 - px);
      if (only) {
        while (o + 1 < only->size() && (*only)[o + 1] <= px) o += 2;
        if (o + 1 >= only->size() || (*only)[o] >= px + count) {
          // Up to the tile where the next range starts, in one run.
          const int next = o + 1 < only->size() ? (*only)[o] / IMG_TILE * IMG_TILE : x1;
          const int to = std::min(std::max(next, px + count), x1);
          line->run(to - px, 255);
          px = to;
          continue;
        }
      }
      if (seg->whiteTile(c, y / IMG_TILE)) {
        line->run(count, 255);
        px += count;
        continue;
      }
      int got = 0;
      if (row[c].form == IMG_TILE_BITS) {
        // Bits (noise) go over as the samples they are: packing them to
        // take them apart again would cost more than the scaler saves.
        unsigned char bytes[IMG_TILE];
        got = std::max(0, std::min(ImgTileBitsLine(&row[c], y % IMG_TILE, bytes) - tx, count));
        line->literals(bytes + tx, got);
      } else {
        const unsigned char *end;
        const unsigned char *p = ImgTileLine(&row[c], y % IMG_TILE, &end);
        got = p ? ImgUnpackLineRuns(p, end, tx, count, line) : 0;
      }
      line->run(count - got, 255);
      px += count;
    }
  }
  line->run(width - line->width, 255);
  if (reverse) line->reverse();
}

bool ImgRaw::changedColumns(int y, int y2, int x, int width, std::vector<int32_t> *ranges) const {
  ranges->clear();
  if (width <= 0) width = _w - x;
  int a = y, b = y2;
  const ImgRaw *seg = locate(&a);
  if (!seg || seg != locate(&b) || !seg->_tiles || a >= seg->_h || b >= seg->_h ||
      a / IMG_TILE != b / IMG_TILE || !seg->_tiles[a / IMG_TILE])
    return false;
  const int r = a / IMG_TILE;
  const ImgTileTp *row = seg->_tiles[r];
  const int x0 = std::max(x, 0);
  const int x1 = static_cast<int>(std::min<int64_t>(int64_t(x) + width, seg->_w));
  if (seg->_complete && !seg->_whiteKnown) seg->indexWhite();
  const int last = (x1 - 1) / IMG_TILE;
  auto add = [&](int c) {
    const int from = std::max(c * IMG_TILE, x0), to = std::min(c * IMG_TILE + IMG_TILE, x1);
    if (!ranges->empty() && ranges->back() == from) {
      ranges->back() = to;
    } else {
      ranges->push_back(from);
      ranges->push_back(to);
    }
  };
  if (a - b == 1 || b - a == 1) {
    if (const uint64_t *moved = seg->movesAt(r, std::max(a, b) % IMG_TILE)) {
      for (int c = x0 / IMG_TILE; x0 < x1 && c <= last;) {
        const uint64_t bits = moved[c / 64] >> (c % 64);
        if (!bits) {
          c += 64 - c % 64;
          continue;
        }
        c += __builtin_ctzll(bits);
        if (c > last) break;
        add(c++);
      }
      return true;
    }
  }
  for (int c = x0 / IMG_TILE; a != b && x0 < x1 && (c = seg->movingTile(c, r, last)) <= last; ++c) {
    const ImgTileTp &t = row[c];
    if (t.form == IMG_TILE_BITS || t.lineoff[a % IMG_TILE] != t.lineoff[b % IMG_TILE]) add(c);
  }
  return true;
}

const uint64_t *ImgRaw::movesAt(int row, int line) const {
  if (!_whiteKnown) return nullptr;  // lines may yet be put
  const size_t words = (static_cast<size_t>(_tilesAcross) + 63) / 64;
  if (_movesRow != row) {
    // Tile by tile, each tile's offsets read in a row, rather than a tile
    // a line: a line of the scaler then costs the tiles that move in it.
    _movesRow = -1;
    try {
      _moves.assign(words * IMG_TILE, 0);
    } catch (const std::bad_alloc &) {
      return nullptr;
    }
    const ImgTileTp *tiles = _tiles[row];
    const int end = _tilesAcross - 1;
    for (int c = movingTile(0, row, end); c <= end; c = movingTile(c + 1, row, end)) {
      const ImgTileTp &t = tiles[c];
      const uint64_t bit = uint64_t{1} << (c % 64);
      uint64_t *m = &_moves[c / 64];
      for (int y = 1; y < IMG_TILE; ++y)
        if (t.form == IMG_TILE_BITS || t.lineoff[y] != t.lineoff[y - 1]) m[y * words] |= bit;
    }
    _movesRow = row;
  }
  return &_moves[static_cast<size_t>(line) * words];
}

void ImgRaw::readSegmentLine(RgbPixelTp *buffer, int y, int x, int width) const {
  static const unsigned char kWhite[4] = {255, 255, 255, 255};
  const RgbPixelTp white = ImgPixelToRgb(kWhite, _bpp, _interp, _cmap);
  int done = 0;  // pixels of buffer settled so far
  auto fill = [&](int upto) {
    for (; done < upto; ++done) buffer[done] = white;
  };
  if (_tiles && y >= 0 && y < _h) {
    const ImgTileTp *row = _tiles[y / IMG_TILE];
    const int x0 = std::max(x, 0), x1 = static_cast<int>(std::min<int64_t>(int64_t(x) + width, _w));
    for (int px = x0; px < x1;) {
      const int tx = px % IMG_TILE, count = std::min(IMG_TILE - tx, x1 - px);
      fill(px - x);
      const unsigned char *end;
      const unsigned char *p = ImgTileLine(&row[px / IMG_TILE], y % IMG_TILE, &end);
      if (p) done += ImgUnpackLineRgb(p, end, _bpp, tx, count, _interp, _cmap, buffer + done);
      px += count;
    }
  }
  fill(width);
}

void ImgRaw::getLine(RgbPixelTp *buffer, int y, int x, int width, bool checker) const {
  if (width <= 0) width = _w - x;
  if (width <= 0) return;
  int local = y;
  const ImgRaw *seg = locate(&local);
  (seg ? seg : this)->readSegmentLine(buffer, seg ? local : -1, x, width);
  if (!checker) return;
  for (int i = 0; i < width; ++i) {
    if (Word(buffer[i]) != 0) continue;
    const unsigned char v = ((x + i) / 8 + y / 8) % 2 != 0 ? 240 : 224;
    buffer[i] = RgbPixelTp{v, v, v, v};
  }
}

RgbPixelTp ImgRaw::getPixel(int x, int y) const {
  const RgbPixelTp none = {0, 0, 0, 0};
  const ImgRaw *seg = this;
  while (seg && y >= seg->_h) {
    y -= seg->_h;
    seg = seg->_next;
  }
  if (!seg || !seg->_tiles || x < 0 || y < 0 || x >= seg->_w) return none;
  const ImgTileTp *ptile = &seg->_tiles[y / IMG_TILE][x / IMG_TILE];
  IMG_ASSERT(ptile->w <= 128 && ptile->h <= 128, "ptile->w<=128 && ptile->h<=128");
  const unsigned char *end;
  const unsigned char *p = ImgTileLine(ptile, y % IMG_TILE, &end);
  unsigned char px[4];
  if (!p || ImgUnpackLine(p, end, seg->_bpp, x % IMG_TILE, 1, px) < 1) return none;
  return ImgPixelToRgb(px, seg->_bpp, seg->_interp, seg->_cmap);
}

// ---- ImgRaw: the chain -----------------------------------------------------

int ImgRaw::segmentLines(bool with_rest) const {
  int lines = _segLines;
  if (with_rest)
    for (const ImgRaw *seg = _next; seg; seg = seg->_next) lines += seg->_segLines;
  return lines;
}

ImgRaw *ImgRaw::segment(int n) {
  ImgRaw *seg = this;
  for (int i = 1; i < n && seg; ++i) seg = seg->_next;
  return seg;
}

int ImgRaw::pagesInChain() const {
  if (_processed) return 1;
  int pages = 0;
  for (const ImgRaw *seg = this; seg; seg = seg->_next) {
    ++pages;
    if (seg->_processed) break;
  }
  return pages;
}

size_t ImgRaw::memoryUse() const {
  size_t bytes = static_cast<size_t>(_tilesAcross) * _tileRows * sizeof(ImgTileTp) + kRecordBytes;
  for (int r = 0; _tiles && r < _tileRows; ++r)
    for (int c = 0; c < _tilesAcross; ++c) bytes += _tiles[r][c].size;
  return bytes;
}

ImgRaw *ImgRaw::flatten() const {
  const int total = segmentLines(true);
  ImgRaw *flat = new (std::nothrow) ImgRaw(_w, total, _bpp, _bottomUp, _interp, _xres, _yres);
  if (!flat) {
    NoMemory(__LINE__);
    return nullptr;
  }
  memcpy(flat->_cmap, _cmap, sizeof _cmap);
  if (flat->_status) return flat;
  unsigned char *line = static_cast<unsigned char *>(malloc(static_cast<size_t>(_w) * _bpp));
  if (!line) {
    flat->_status = NoMemory(__LINE__);
    return flat;
  }
  for (int i = 0; i < total && !flat->_status; ++i) {
    getPackedLine(line, _bottomUp ? total - 1 - i : i, 0, _w);
    flat->_status = flat->putLine(line);
  }
  free(line);
  return flat;
}

ReturnTp ImgRaw::rotate(int degrees) {
  IMG_ASSERT(degrees == 90 || degrees == 270, "degrees == 90 || degrees == 270");
  if (!_tiles) return _status;
  if (!_complete) finishFill();
  _white.clear();
  _still.clear();
  _whiteKnown = false;
  _movesRow = -1;
  const ReturnTp rc = ImgRotateGrid(&_tiles, _w, _h, _bpp, degrees);
  if (rc && _tiles) return rc;  // nothing moved
  std::swap(_w, _h);
  _segLines = _h;
  _tilesAcross = Tiles(_w);
  _tileRows = Tiles(_h) + 1;
  return rc;
}

ReturnTp ImgRaw::removeOverlaps(ImgControlBlockTp *cb, bool proportional) {
  for (ImgRaw *seg = this; seg; seg = seg->_next) {
    if (seg->_processed) continue;
    seg->_processed = true;
    ImgRaw *next = seg->_next;
    if (!next || !seg->_tiles || !next->_tiles) continue;
    // Each line is known by the sum of its middle half.
    const int h = seg->_h, n = next->_h;
    const int wmax = std::max(seg->_w, next->_w);
    uint32_t *sig =
        static_cast<uint32_t *>(malloc((static_cast<size_t>(h) + n) * sizeof(uint32_t)));
    RgbPixelTp *line =
        static_cast<RgbPixelTp *>(malloc(static_cast<size_t>(wmax) * sizeof(RgbPixelTp)));
    if (!sig || !line) {
      free(sig);
      free(line);
      return NoMemory(__LINE__);
    }
    for (int i = 0; i < h + n; ++i) {
      const ImgRaw *s = i < h ? seg : next;
      const int from = s->_w / 4, count = s->_w - 2 * from;
      s->readSegmentLine(line, i < h ? i : i - h, from, count);
      uint32_t sum = 0;
      for (int k = 0; k < count; ++k) sum += Word(line[k]);
      sig[i] = sum;
    }
    for (int k = 0; k < h && k < n; ++k) {
      if (h - k <= n && memcmp(sig + k, sig + h, (h - k) * sizeof(uint32_t)) == 0) {
        seg->_segLines = k;
        break;
      }
    }
    free(sig);
    free(line);
  }
  if (!cb || !g_reader->source) return 0;
  ImgRawSourceTp src = {};
  g_reader->source(cb, &src);
  const int total = segmentLines(true);
  if (total > src.lines && g_reader->growLines) return g_reader->growLines(cb, total, proportional);
  return 0;
}

const RgbPixelTp *ImgRaw::frequentColors() {
  if (_frequent) return _frequent;
  _frequent = static_cast<RgbPixelTp *>(calloc(256, sizeof(RgbPixelTp)));
  if (!_frequent) {
    NoMemory(__LINE__);
    return nullptr;
  }
  if (_w < 1 || _h < 1) return _frequent;
  struct Entry {
    RgbPixelTp colour;
    int count;
  };
  constexpr int kPicks = 3000;
  Entry table[kPicks];
  int used = 0;
  srand(0);
  for (int i = 0; i < kPicks; ++i) {
    const int x = rand() % _w;
    const int y = rand() % _h;
    const RgbPixelTp c = getPixel(x, y);
    int k = 0;
    while (k < used && Word(table[k].colour) != Word(c)) ++k;
    if (k == used) table[used++] = Entry{c, 0};
    ++table[k].count;
  }
  std::stable_sort(table, table + used,
                   [](const Entry &a, const Entry &b) { return a.count > b.count; });
  for (int i = 0; i < used && i < 256; ++i) _frequent[i] = table[i].colour;
  return _frequent;
}

// ---- ImgRaw: dumps ---------------------------------------------------------

int ImgRaw::dumpRaw(FILE *fp) const {
  if (!fp) return 1;
  fwrite("QPLRAW", 1, 6, fp);
  Put32(fp, _w);
  Put32(fp, _h);
  Put32(fp, _bpp);
  const uint32_t length = _description ? static_cast<uint32_t>(strlen(_description)) + 1 : 0;
  Put32(fp, length);
  if (length) fwrite(_description, 1, length, fp);
  Put32(fp, _interp);
  PutDouble(fp, _xres);
  PutDouble(fp, _yres);
  for (const RgbPixelTp &c : _cmap) Put32(fp, Word(c));
  Put32(fp, _tilesAcross);
  Put32(fp, _tileRows);
  const unsigned char flags[3] = {_processed, _hasTransparency, _hasColor};
  fwrite(flags, 1, 3, fp);
  Put32(fp, _segLines);
  int result = 0;
  for (int r = 0; _tiles && r < _tileRows; ++r) {
    for (int c = 0; c < _tilesAcross; ++c) {
      ImgTileTp t = _tiles[r][c];
      // A bits tile is written as the packed lines it reads as.
      if (t.form == IMG_TILE_BITS) {
        t.data = static_cast<unsigned char *>(malloc(std::max(t.size, 1)));
        if (t.data) memcpy(t.data, _tiles[r][c].data, t.size);
        if (!t.data || ImgTileToPacked(&t, _bottomUp)) {
          free(t.data);
          t = ImgTileTp{};
          result = 1;
        }
      }
      Put32(fp, t.size);
      Put16(fp, t.w);
      Put16(fp, t.h);
      for (uint16_t off : t.lineoff) Put16(fp, off);
      if (t.size > 0 && (!t.data || fwrite(t.data, 1, t.size, fp) != static_cast<size_t>(t.size)))
        result = 1;
      if (t.data != _tiles[r][c].data) free(t.data);
    }
  }
  return result;
}

int ImgRaw::dumpPpm(const char *file_name) const {
  if (!_tiles) return 1;
  FILE *fp = fopen(file_name, "w");
  if (!fp) {
    perror(file_name);
    return 1;
  }
  fputs("P6\n", fp);
  if (_xres > 0 && _yres > 0)
    fprintf(fp, "#METRIC %.9f x %.9f mm\n", _w * 25.4 / _xres, _h * 25.4 / _yres);
  fprintf(fp, "%d %d 255\n", _w, _h);
  RgbPixelTp *line =
      static_cast<RgbPixelTp *>(malloc(static_cast<size_t>(_w) * sizeof(RgbPixelTp)));
  unsigned char *rgb = static_cast<unsigned char *>(malloc(static_cast<size_t>(_w) * 3));
  int result = line && rgb ? 0 : 1;
  for (int y = 0; y < _h && !result; ++y) {
    getLine(line, y, 0, _w, true);
    for (int i = 0; i < _w; ++i) {
      rgb[3 * i] = line[i].red;
      rgb[3 * i + 1] = line[i].green;
      rgb[3 * i + 2] = line[i].blue;
    }
    if (fwrite(rgb, 3, _w, fp) != static_cast<size_t>(_w)) result = 1;
  }
  free(line);
  free(rgb);
  if (fclose(fp) != 0) result = 1;
  return result;
}
