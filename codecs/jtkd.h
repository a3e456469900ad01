// What the parts of the JPEG 2000 decoder share: the parsed codestream
// (main header, tile-part positions), the coding parameters of each
// scope, a tile's code-block tree and the per-block entry points of the
// bit-plane decoder and the inverse wavelets.
#ifndef PV_CODECS_JTKD_H
#define PV_CODECS_JTKD_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <vector>

#include "jtkint.h"

// Decomposition levels allowed by the codestream syntax; resolutions are
// one more.
#define JTKD_MAX_LEVELS 32
#define JTKD_MAX_BANDS (3 * JTKD_MAX_LEVELS + 1)
// Magnitude bit-planes a code-block may carry here (the values are kept
// with one fraction bit in 32-bit words).
#define JTKD_MAX_PLANES 30

// Early-return on a failure code.
#define JTKD_TRY(expr)       \
  do {                       \
    int32_t rc_ = (expr);    \
    if (rc_ < 0) return rc_; \
  } while (0)

struct JtkdCompCod {
  int32_t levels = 0;
  int32_t xcb = 6, ycb = 6;  // exponents
  int32_t style = 0;
  int32_t reversible = 1;
  uint8_t pp[JTKD_MAX_LEVELS + 1];  // PPx low nibble, PPy high nibble per resolution
};

struct JtkdCod {
  int32_t scod = 0;
  int32_t progression = 0;
  int32_t layers = 1;
  int32_t mct = 0;
  JtkdCompCod comp;
};

struct JtkdQuant {
  int32_t style = 0;  // 0 none, 1 derived, 2 expounded
  int32_t guard = 2;
  int32_t count = 0;
  uint8_t eps[JTKD_MAX_BANDS];
  uint16_t mu[JTKD_MAX_BANDS];
};

struct JtkdPoc {
  int32_t rs, cs, lye, re, ce, progression;
};

// What one header (the main header, or the tile-part headers of a tile)
// sets. Component entries override the default of the same header.
struct JtkdScope {
  bool has_cod = false;
  JtkdCod cod;
  std::map<int32_t, JtkdCompCod> coc;
  bool has_qcd = false;
  JtkdQuant qcd;
  std::map<int32_t, JtkdQuant> qcc;
  std::map<int32_t, int32_t> roi;  // maxshift per component
  std::vector<JtkdPoc> poc;
};

struct JtkdTilePart {
  size_t header;  // first byte after SOT's segment
  size_t data;    // first byte after SOD
  size_t end;
  int32_t index;  // tile-part number in the codestream (for PPM)
};

// What the JP2 header says of the picture's channels.
struct JtkdJp2 {
  int32_t color_space = 0;  // enumerated colour space (0: none)
  // The palette: entries rows of columns values, each column of its own
  // precision and signedness.
  int32_t entries = 0, columns = 0;
  std::vector<int32_t> values;
  std::vector<int32_t> column_precision, column_signed;
  // The component mapping: one row per channel, a component taken as it
  // is, or a palette column indexed by the component.
  struct Map {
    int32_t component, through_palette, column;
  };
  std::vector<Map> map;
  // The channel definitions: channel, type (0 colour, 1 opacity, 2
  // premultiplied opacity), association (colour number from 1, 0 the
  // whole picture).
  struct Def {
    int32_t channel, type, association;
  };
  std::vector<Def> defs;
};

struct JtkdStream {
  const uint8_t *data = nullptr;
  size_t length = 0;
  int32_t rsiz = 0;
  int64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  int64_t tw = 0, th = 0, tx0 = 0, ty0 = 0;
  int32_t tiles_x = 0, tiles_y = 0;
  int32_t components = 0;
  std::vector<int32_t> precision, is_signed, dx, dy;
  JtkdScope main;
  bool has_ppm = false;
  std::vector<std::vector<uint8_t>> ppm_chunks;  // one per tile-part, in codestream order
  std::vector<std::vector<JtkdTilePart>> tiles;  // tile-parts of each tile
  size_t main_end = 0;                           // the first SOT
  JtkdJp2 jp2;
};

// ---- Tile structures ----------------------------------------------------

struct JtkdTagTree {
  struct Node {
    int32_t parent;
    int32_t value;
    int32_t low;
  };
  std::vector<Node> nodes;
  void Init(int32_t w, int32_t h);
};

struct JtkdSeg {
  uint32_t length;  // bytes kept for decoding
  uint16_t passes;  // passes the packets put in this segment
};

struct JtkdCblk {
  int32_t x0, y0, x1, y1;  // band coordinates
  int32_t zero_planes = 0;
  int32_t lblock = 3;
  int32_t passes = 0;         // passes seen in packet headers
  int32_t usable_passes = 0;  // of these, passes whose data is kept
  bool included = false;
  // The kept bytes, where the packets left them in the tile's data.
  struct Chunk {
    const uint8_t *p;
    uint32_t n;
    uint32_t seg;
  };
  std::vector<Chunk> chunks;
  std::vector<JtkdSeg> segs;
};

struct JtkdPrecBand {
  int32_t cw = 0, ch = 0;
  std::vector<JtkdCblk> cblks;
  JtkdTagTree incl, zero;
};

struct JtkdPrecinct {
  JtkdPrecBand band[3];
  int64_t ref_x = 0, ref_y = 0;  // where it starts on the reference grid
  int32_t next_layer = 0;
};

struct JtkdBand {
  int32_t orient = 0;  // 0 LL, 1 HL, 2 LH, 3 HH
  int64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  int32_t off_x = 0, off_y = 0;  // where its coefficients lie in the work plane
  int32_t planes = 0;            // magnitude bit-planes Mb
  float step = 1;                // dequantisation step, halved (values carry one fraction bit)
};

struct JtkdRes {
  int64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  int32_t ppx = 15, ppy = 15;
  int32_t pw = 0, ph = 0;
  int32_t nbands = 0;
  JtkdBand bands[3];
  std::vector<JtkdPrecinct> prec;
};

struct JtkdTileComp {
  int64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  JtkdCompCod cod;
  JtkdQuant quant;
  int32_t roi = 0;
  int32_t kept = 0;  // resolutions decoded: 0..kept
  std::vector<JtkdRes> res;
};

// One tile as its packets leave it: coding parameters, the code-blocks of
// every tile-component with their kept bytes (pointing into the
// codestream, or into `joined` when the tile came in several parts).
struct JtkdTile {
  int64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  JtkdCod cod;
  std::vector<JtkdPoc> poc;
  std::vector<JtkdTileComp> comps;
  explicit JtkdTile(size_t components) : comps(components) {}
  const uint8_t *body = nullptr;  // the tile-parts' data
  size_t body_len = 0;
  std::vector<uint8_t> joined;   // ...concatenated, when there are several
  std::vector<uint8_t> headers;  // packed packet headers (PPM or PPT)
  bool packed = false;
  size_t body_pos = 0, header_pos = 0;
  int32_t max_layers = 0;
  // Precincts and code-blocks the tile may build: tiny partitions of a
  // large picture would otherwise cost far more than its samples.
  int64_t objects_left = 0;
  // Per included code-block of the packet being read: new passes and
  // the bytes of each segment part.
  struct Part {
    JtkdCblk *cblk;
    int32_t seg_first;  // index of the first segment touched
    int32_t parts;      // segments touched
    uint32_t lengths[168];
  };
  std::vector<Part> pending;
};

// Reused work areas of the bit-plane decoder.
struct JtkdT1Work {
  std::vector<uint32_t> flags;
  std::vector<int32_t> data;
  std::vector<uint8_t> bytes;
};

// Where a decoded block goes: its first sample in a band's rows
// (integers for 5-3, floats for 9-7, times the step), the row length and
// the region-of-interest shift.
struct JtkdBlockOut {
  int32_t *ints;
  float *floats;
  size_t stride;
  float step;
  int32_t roi;
};

// Decodes the kept passes of a code-block into its place in the band.
int32_t JtkdDecodeBlock(JtkdT1Work &work, const JtkdCblk &cblk, int32_t orient, int32_t style,
                        int32_t planes, const JtkdBlockOut &out);

// Reads the headers and packets of tile t (code-blocks and their bytes,
// nothing decoded yet). Returns 1 for a tile without area.
int32_t JtkdReadTile(const JtkdStream &s, int32_t t, const JtkParamTp &param, JtkdTile &tile);
// Reads the markers of a tile-part header into the tile's scope.
int32_t JtkdParseTileHeader(const JtkdStream &s, const JtkdTilePart &part, bool first,
                            JtkdScope &scope, std::vector<uint8_t> &ppt);

// The rows of a tile-component at its kept resolution, made on demand:
// code-blocks are decoded a row of blocks at a time and the inverse
// wavelet runs on windows of rows, so the samples held follow the width
// and the number of levels, never the height. Rows are asked for in
// increasing order; each is valid until the next request.
struct JtkdLines;
// Null without memory.
JtkdLines *JtkdNewLines(JtkdTileComp &tc, JtkdT1Work &work);
void JtkdFreeLines(JtkdLines *lines);
// Row y (from the top of the kept resolution) as integers (5-3) or floats
// (9-7) into *ints or *floats; the other is set to null.
int32_t JtkdLineRow(JtkdLines *lines, int32_t y, const int32_t **ints, const float **floats);

// A zeroed plane of `bytes`, to be released with free(); null without
// memory. Large planes ask for huge pages.
void *JtkdAllocPlane(size_t bytes);

inline int64_t JtkdCeilDiv(int64_t a, int64_t b) { return (a + b - 1) / b; }
inline int64_t JtkdCeilShift(int64_t a, int32_t s) { return (a + (int64_t(1) << s) - 1) >> s; }

#endif
