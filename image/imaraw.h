// The tiled raster held in memory. Pixels of 1 to 4 bytes are cut into
// tiles of at most 128 x 128; every line of a tile is run-length packed, so
// that a large, mostly uniform drawing costs little memory. A multi-page
// file is a chain of ImgRaw segments, one per page, read back as one tall
// image. ImgRawTp is the plain record with the same tile grid, used by the
// tile store functions and by rotation.
#ifndef PV_IMAGE_IMARAW_H
#define PV_IMAGE_IMARAW_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cmnerror.h"
#include "imatypes.h"

struct IffControlBlockTp;
struct ImgControlBlockTp;  // the reading layer's control block
struct ImgRunLineTp;       // a line as pieces (imascale.h)

#define IMG_TILE 128               // tile width and height in pixels
#define IMG_TILE_MAX_SIZE 66047    // largest `size` a readable tile may claim
#define IMG_PAGE_DONE 0x22010002u  // nextLine: the page is complete

// A broken internal rule (more lines put than the raster has, a tile wider
// than 128) is a programming error, not bad input: the program stops,
// naming the rule. Each source defines CMN_SOURCE.
#define IMG_ASSERT(cond, rule)                                \
  do {                                                        \
    if (!(cond)) CmnAssertFailed(rule, CMN_SOURCE, __LINE__); \
  } while (0)

// How stored bytes become RgbPixelTp.
typedef enum {
  ImgInterpUnset = 0,  // derived from the bytes per pixel at construction
  ImgInterpLut = 1,    // 1 byte: index into the raster's colour table
  ImgInterpGray = 2,   // 1 byte: copied to blue, green and red
  ImgInterpRgb = 3,    // 3 bytes red, green, blue
  ImgInterpRgbw = 4    // 4 bytes, already an RgbPixelTp
} ImgInterpretationTp;

// How a tile holds its lines. A tile of a bilevel page whose lines pack
// worse than their bits (noise, halftones) keeps them as plain bits:
// line i at data + i x IMG_BITS_STRIDE, first pixel in the high bit, a 0
// bit levels[0] and a 1 bit levels[1]. ImgTileLine gives such a line
// packed like any other, so the form is seen only where tiles are filled
// (and by the reader of runs, which takes its bytes as they are).
enum {
  IMG_TILE_PACKED = 0,
  IMG_TILE_BITS = 1,
  IMG_TILE_TWO_LEVEL = 2  // while filled: packed, every line of the tile's two levels so far
};
#define IMG_BITS_STRIDE 16

// One tile. lineoff[i] is 1 + the offset of line i's packed bytes in data;
// 0 means the line was never stored and reads back white.
// The fields a line put or read looks at first share its first bytes.
typedef struct {
  unsigned char *data;  // owned (malloc)
  int32_t size;         // bytes used in data
  uint16_t w;           // width in pixels, 1..128
  uint16_t h;           // lines, 1..128
  uint8_t form;         // IMG_TILE_PACKED, IMG_TILE_BITS (IMG_TILE_TWO_LEVEL while filled)
  uint8_t levels[2];
  uint16_t lineoff[IMG_TILE];
} ImgTileTp;

// The plain raster record. pptile has (height + 127) / 128 + 1 row
// pointers (one spare row), each to (width + 127) / 128 tiles.
typedef struct {
  char magic[4];      // "QpRw"
  int32_t version;    // 1
  char *description;  // owned
  int32_t width, height, bpp;
  void *data;  // owned further data
  ImgTileTp **pptile;
} ImgRawTp;

// ---- Packed lines (imapack.cpp) -------------------------------------------
// A packed line is a sequence of runs, each opened by a control byte c:
// c < 128 is a literal run of c + 1 pixels that follow; c >= 128 repeats
// the one pixel that follows 257 - c times.

// Bytes of working buffer that always hold one packed tile of 128 lines.
// The longest line is one literal run of 128 pixels, except with 1-byte
// pixels, where the pattern a b b costs 4 bytes per 3 pixels: 171 bytes.
#define IMG_PACK_BOUND(bpp) \
  (static_cast<size_t>(IMG_TILE) * ((bpp) == 1 ? 171 : IMG_TILE * (bpp) + 1))

// Packs n (1..128) pixels of bpp bytes; returns the bytes written to out.
int32_t ImgPackLine(const unsigned char *pixels, int n, int bpp, unsigned char *out);
// Packs pixels x .. x + n - 1 (n 1..128) of a line of two byte values,
// levels[0] from column 0 and changing at the `count` increasing columns
// of `changes`, to the same bytes as ImgPackLine makes of them. *next is
// the index of a change at or before the first one above x (0 will do;
// left to right, the caller keeps it for the next tile).
int32_t ImgPackChanges(const int32_t *changes, int count, int *next, int x, int n,
                       const uint8_t levels[2], unsigned char *out);
// Unpacks pixels skip .. skip + n - 1 of a packed line that ends before
// end. Returns how many of the n pixels the data reached; the others are
// left as they are.
int ImgUnpackLine(const unsigned char *packed, const unsigned char *end, int bpp, int skip, int n,
                  unsigned char *out);
// The same, converted to display pixels through the interpretation (cmap
// is the 256-entry colour table for ImgInterpLut).
int ImgUnpackLineRgb(const unsigned char *packed, const unsigned char *end, int bpp, int skip,
                     int n, ImgInterpretationTp interp, const RgbPixelTp *cmap, RgbPixelTp *out);
// The same for one-byte pixels, appended to `out` as pieces.
int ImgUnpackLineRuns(const unsigned char *packed, const unsigned char *end, int skip, int n,
                      ImgRunLineTp *out);
// One stored pixel as a display pixel.
RgbPixelTp ImgPixelToRgb(const unsigned char *pixel, int bpp, ImgInterpretationTp interp,
                         const RgbPixelTp *cmap);
// The packed bytes of line `line` of a tile and their end, or null when the
// tile is not readable or the line was never stored. A line of a bits tile
// is packed into one of a few buffers of the calling thread, valid until
// the eighth call after.
const unsigned char *ImgTileLine(const ImgTileTp *tile, int line, const unsigned char **end);
// Line `line` of a bits tile as one byte a pixel (its two levels) into
// out[IMG_TILE]: the pixels it holds (the tile's width), or 0 when the tile
// is not a readable bits tile or the line was never stored.
int ImgTileBitsLine(const ImgTileTp *tile, int line, unsigned char *out);

// ---- Tile grids and the plain record (imaraw.cpp) -------------------------

// Allocates a zeroed grid for w x h pixels of bpp bytes after the range
// checks ("Creating image with ...", 0x40019); a grid too large to hold
// is "Not enough memory".
ReturnTp ImgAllocGrid(ImgTileTp ***grid, int w, int h, int bpp);
// Frees every tile's data, the rows and the row array of a grid made for
// height h; sets *grid to null.
void ImgFreeGrid(ImgTileTp ***grid, int w, int h);

ReturnTp ImgInitTiles(ImgRawTp *praw, int w, int h);
// Packs h lines of w pixels (line i at pixels + i x stride) into an empty
// tile. scratch, when given, holds IMG_PACK_BOUND(bpp) bytes.
ReturnTp ImgStoreTile(ImgTileTp *tile, unsigned char *pixels, int stride, int w, int h, int bpp);
ReturnTp ImgStoreTileWith(ImgTileTp *tile, const unsigned char *pixels, int stride, int w, int h,
                          int bpp, unsigned char *scratch);
// Packs n (1..128) pixels as line `line` of a tile being filled, in any
// order; a line put again replaces the earlier one. The tile's buffer
// grows with the bytes the lines pack to, not with what 128 lines could
// need. The tile's w and h are the caller's to set.
ReturnTp ImgAppendTileLine(ImgTileTp *tile, int line, const unsigned char *pixels, int n, int bpp);
// The same for a line already packed (n_bytes bytes). A line equal to the
// stored line above or below it shares that line's bytes.
ReturnTp ImgAppendTilePacked(ImgTileTp *tile, int line, const unsigned char *packed,
                             int32_t n_bytes);
// A tile of plain bits to packed lines, appended in the order lines are
// put (from the last when bottom_up).
ReturnTp ImgTileToPacked(ImgTileTp *tile, bool bottom_up);
// Unpacks a w x h region from a tile into dst (line i at dst + i x stride);
// lines the tile cannot give are white.
void ImgUnpackTile(const ImgTileTp *tile, unsigned char *dst, int stride, int w, int h, int bpp);
int ImgGetRawPixel(ImgRawTp *praw, int x, int y);
// Line y of the record (width x bpp bytes); unstored parts are white.
void ImgGetRawLine(ImgRawTp *praw, int y, unsigned char *line);
// Pixels x .. x + n - 1 of line y; parts outside the raster are white.
void ImgGetRawRun(ImgRawTp *praw, int y, int x, int n, unsigned char *out);
// A new record; the grid is made only when w and h are not 0.
ReturnTp ImgCreateRaw(ImgRawTp **praw, int w, int h, int bpp);
void ImgTermRaw(ImgRawTp **praw);
// Writes the record as binary PGM (1 byte) or PPM (3 and 4 bytes, the
// fourth dropped); returns 0, or 1 for other depths.
int ImgDumpRaw(ImgRawTp *praw, FILE *fp);

// ---- The reading layer, as far as the raster needs it ---------------------

// What a raster takes over from an open control block.
typedef struct {
  IffControlBlockTp *iff;   // the file's interface control block
  int32_t width;            // display width
  int32_t lines;            // source line count of the page
  const char *name;         // file name
  const char *description;  // image description
  int32_t *page_index;      // the block's page index
  int32_t *current_page;    // the block's current page number
  int32_t *lines_read;      // source lines read for this page
  int32_t turn;             // the page's own quarter turn, as a rotation (90, 270; 0 none)
} ImgRawSourceTp;

// The reading layer's operations: ImgOpen, ImgReadPageHeader, ImgClose, a
// view of its control block, and the growth that overlap removal asks
// for. The raster does not call that layer directly, so that it links and
// is tested on its own.
typedef struct {
  ReturnTp (*open)(const char *file_name, ImgControlBlockTp **cb, ImgOpenParamsTp *params);
  ReturnTp (*readPageHeader)(ImgControlBlockTp *cb);
  ReturnTp (*close)(ImgControlBlockTp **cb);
  void (*source)(ImgControlBlockTp *cb, ImgRawSourceTp *out);
  // The chain now holds `lines` source lines, more than the block has:
  // grow its line measures in proportion and remake its scaler.
  ReturnTp (*growLines)(ImgControlBlockTp *cb, int32_t lines, bool proportional);
} ImgRawReaderTp;

// Installs the reading layer's table (ImgReadingLayer, at start-up) and
// returns the one before; null uninstalls. Until one is installed, the
// constructors that read files and nextLine fail with a coded error.
const ImgRawReaderTp *ImgRawUseReader(const ImgRawReaderTp *reader);

// How the lines the image file interface delivers are read as display
// pixels: the one rule for the raster and for lines streamed from a file,
// so that both show the same picture. Four bytes per pixel are display
// pixels already (the drivers premultiply their alpha).
ImgInterpretationTp ImgFileInterpretation(const IffControlBlockTp *iff);

// ---- The raster -----------------------------------------------------------

class ImgRaw {
 public:
  // Empty raster; interp 0 follows from bpp (1 gray, 3 RGB, 4 RGBW).
  ImgRaw(int w, int h, int bpp, bool bottom_up, ImgInterpretationTp interp, double xres,
         double yres);
  // Puts all h lines of a contiguous buffer (line i at i x w x bpp), in
  // arrival order.
  ImgRaw(unsigned char *pixels, int w, int h, int bpp, bool bottom_up, double xres, double yres);
  // Set up from an open control block; no lines are read.
  explicit ImgRaw(ImgControlBlockTp *cb);
  // Opens a file, sets up from it and, with read_now, reads pages
  // first..last (last 0: all).
  ImgRaw(const char *file_name, bool read_now, int first_page, int last_page);
  // The picture stream of the stamp renderer: text header, then RGBA lines.
  explicit ImgRaw(FILE *stream);
  ~ImgRaw();
  ImgRaw(const ImgRaw &) = delete;
  ImgRaw &operator=(const ImgRaw &) = delete;

  // 0, or the code raised while the raster was made or read. A raster that
  // could not be set up has no grid and width, height and depth 0.
  ReturnTp status() const { return _status; }

  ReturnTp putLine(unsigned char *line);
  // Puts the next line of a raster of one byte per pixel given as its
  // changes between two levels, or with bits as its packed bits
  // (IffRdScanRuns); no byte per pixel is made.
  ReturnTp putChanges(const int32_t *changes, int count, const uint8_t levels[2]);
  ReturnTp putBits(const uint8_t *bits, const uint8_t levels[2]);
  ReturnTp nextLine(ImgControlBlockTp *cb);
  // The page loop: reads pages first..last into the chain.
  ReturnTp readPages(ImgControlBlockTp *cb, int first_page, int last_page);
  ReturnTp appendSegment(ImgControlBlockTp *cb);
  // The message of a page that could not be read, whose place in the
  // chain is an empty segment; empty for a page that was read.
  const std::string &failure() const { return _failure; }

  // Line y of the chain, pixels x .. x + width - 1 (width 0: the line) in
  // stored format; white where nothing is stored.
  void getPackedLine(unsigned char *buffer, int y, int x = 0, int width = 0) const;
  // The same as pieces (imascale.h), read from its end when `reverse`, for
  // rasters of one byte per pixel; white where nothing is stored.
  // With `only` (pairs of raster columns, ascending), tiles that meet none
  // of its ranges are not read and give white in their place.
  void getRunLine(ImgRunLineTp *line, int y, int x, int width, bool reverse,
                  const std::vector<int32_t> *only = nullptr) const;
  // Where lines y and y2 may differ in x .. x + width - 1 (width 0: to
  // the end): the raster columns (pairs, ascending) of the tiles that do not
  // give both from the same stored bytes; none when the lines read the
  // same. False when that cannot be told (lines of two tile rows or pages).
  bool changedColumns(int y, int y2, int x, int width, std::vector<int32_t> *ranges) const;
  // The same as display pixels; with checker, transparent pixels show a
  // gray checkerboard.
  void getLine(RgbPixelTp *buffer, int y, int x = 0, int width = 0, bool checker = false) const;
  RgbPixelTp getPixel(int x, int y) const;

  int segmentLines(bool with_rest = false) const;
  // Lines of this segment put so far (all of them once it is complete).
  int linesPut() const { return _bottomUp ? _h - 1 - _curline : _curline; }
  ImgRaw *segment(int n);
  int pagesInChain() const;
  size_t memoryUse() const;
  ImgRaw *flatten() const;
  ReturnTp rotate(int degrees);
  ReturnTp removeOverlaps(ImgControlBlockTp *cb, bool proportional);
  const RgbPixelTp *frequentColors();
  int dumpRaw(FILE *fp) const;
  int dumpPpm(const char *file_name) const;

  int width() const { return _w; }
  int height() const { return _h; }
  int bytesPerPixel() const { return _bpp; }
  bool bottomUp() const { return _bottomUp; }
  const char *name() const { return _name; }
  const char *description() const { return _description; }
  ImgInterpretationTp interpretation() const { return _interp; }
  ImgRaw *next() const { return _next; }
  double xResolution() const { return _xres; }
  double yResolution() const { return _yres; }
  RgbPixelTp *colorTable() { return _cmap; }
  const RgbPixelTp *colorTable() const { return _cmap; }
  int tilesAcross() const { return _tilesAcross; }
  int tileRows() const { return _tileRows; }
  // Tile (column, row) of this segment, or null outside the grid.
  ImgTileTp *tile(int column, int row) const;
  bool complete() const { return _complete; }
  bool processed() const { return _processed; }
  bool hasTransparency() const { return _hasTransparency; }
  bool hasColor() const { return _hasColor; }

 private:
  ImgRaw() = default;  // the empty place of a page that could not be read
  ReturnTp allocate();
  ReturnTp setUp(ImgControlBlockTp *cb);
  void readStream(FILE *stream);
  ReturnTp finishRow(int row, int target, int row_height);
  ReturnTp lineDone(int row, int in_tile);
  ReturnTp putTwoLevel(const uint8_t *bits, const int32_t *changes, int count,
                       const uint8_t levels[2]);
  void finishFill();
  ReturnTp appendFailedPage(ReturnTp code, const std::string &message);
  const ImgRaw *locate(int *y) const;
  void readSegmentLine(RgbPixelTp *buffer, int y, int x, int width) const;

  int _w = 0;
  int _h = 0;
  int _bpp = 0;
  bool _bottomUp = false;
  char *_name = nullptr;
  char *_description = nullptr;
  ImgInterpretationTp _interp = ImgInterpUnset;
  ImgRaw *_lastSegment = nullptr;
  ImgRaw *_next = nullptr;
  double _xres = 0;
  double _yres = 0;
  RgbPixelTp _cmap[256] = {};
  RgbPixelTp *_frequent = nullptr;
  int _tilesAcross = 0;
  int _tileRows = 0;
  int _linesDown = 0;
  int _linesUp = 0;
  int _curline = 0;
  bool _complete = false;
  bool _pagePending = false;
  int _turn = 0;  // the page's own quarter turn, made once it is read
  bool _processed = false;
  bool _hasTransparency = false;
  bool _hasColor = false;
  int _segLines = 0;
  ImgTileTp **_tiles = nullptr;
  ReturnTp _status = 0;
  std::string _failure;
  // While lines are put as two levels: per tile column, the value of the
  // one run the tile's last line put was, or -1; the line put before as
  // it came (bits, or changes), its levels and the _curline it was put at
  // (INT32_MIN: none). A line that repeats them shares its bytes without
  // being packed.
  std::vector<int16_t> _lastRun;
  std::vector<uint8_t> _lastBits;
  std::vector<int32_t> _lastChanges;
  int32_t _lastBitsAt = INT32_MIN;
  int32_t _lastChangesAt = INT32_MIN;
  uint8_t _lastLevels[2] = {0, 0};
  // For lines read as pieces, made on first use once the segment is
  // complete: a bit per tile, set when every line of the tile is one run
  // of white, so that the white of a drawing is passed over without a
  // look at its tiles; and one set for those and for tiles whose lines all
  // share one line's bytes (a stroke straight down), which give any two of
  // their lines alike.
  mutable std::vector<uint64_t> _white;
  mutable std::vector<uint64_t> _still;
  mutable bool _whiteKnown = false;
  void indexWhite() const;
  bool whiteTile(int column, int row) const {
    const size_t bit = static_cast<size_t>(row) * _tilesAcross + column;
    return !_white.empty() && (_white[bit / 64] >> (bit % 64) & 1);
  }
  // For lines read in part, the tile row last asked about: for each of
  // its lines, a bit per tile column whose line differs from the line
  // above (or is held as bits).
  mutable int _movesRow = -1;
  mutable std::vector<uint64_t> _moves;
  const uint64_t *movesAt(int row, int line) const;
  // The first tile of a row from column on that is not known still, or
  // last + 1: the white of a drawing passed over a word of tiles at a time.
  int movingTile(int column, int row, int last) const {
    if (_still.empty()) return column;
    const size_t base = static_cast<size_t>(row) * _tilesAcross;
    while (column <= last) {
      const size_t bit = base + column;
      const uint64_t moving = ~_still[bit / 64] >> (bit % 64);
      if (moving) {
        column += __builtin_ctzll(moving);
        return column <= last ? column : last + 1;
      }
      column += 64 - static_cast<int>(bit % 64);
    }
    return last + 1;
  }
};

#endif
