// TIFF files: any page of a multi-page file, strips or tiles, uncompressed,
// LZW (with horizontal differencing), PackBits and the CCITT compressions,
// read; single-page little-endian files written with the same compressions.
//
// Reading streams: a strip is decoded a row at a time as lines are asked
// for, so memory follows one row whatever the strip holds; only a row of
// tiles is buffered, because its tiles lie one after another in the file.
// Every array of the directory grows with the bytes actually read, never
// with the count a header claims.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codecs.h"
#include "drivers.h"

#define CMN_SOURCE "ifdtiff"

ReturnTp TiffErrno = 0;
int32_t BrokenTiffJpeg = 0;

namespace {

// Every failure of this driver is also kept in TiffErrno.
#define TIFF_FAIL(...) (TiffErrno = CmnError(CMN_SOURCE, __LINE__, __VA_ARGS__))

constexpr uint32_t kMaxEntries = 1000;
constexpr uint64_t kMaxValues = uint64_t{1} << 25;  // more strips than any legal picture has
constexpr uint32_t kMaxPages = 65535;
constexpr int32_t kChunk = 65536;  // compressed bytes read at once
constexpr uint64_t kMaxTileRowBuffer = uint64_t{1} << 28;

enum Tag : uint16_t {
  kNewSubfileType = 254,
  kSubfileType = 255,
  kImageWidth = 256,
  kImageLength = 257,
  kBitsPerSample = 258,
  kCompression = 259,
  kPhotometric = 262,
  kFillOrder = 266,
  kStripOffsets = 273,
  kOrientation = 274,
  kSamplesPerPixel = 277,
  kRowsPerStrip = 278,
  kStripByteCounts = 279,
  kXResolution = 282,
  kYResolution = 283,
  kPlanarConfig = 284,
  kGrayResponseUnit = 290,
  kGrayResponseCurve = 291,
  kT4Options = 292,
  kT6Options = 293,
  kResolutionUnit = 296,
  kTransferFunction = 301,
  kSoftware = 305,
  kDateTime = 306,
  kPredictor = 317,
  kWhitePoint = 318,
  kPrimaryChromaticities = 319,
  kColorMap = 320,
  kTileWidth = 322,
  kTileLength = 323,
  kTileOffsets = 324,
  kTileByteCounts = 325,
  kJpegTables = 347,
  kJpegProc = 512,
  kJpegInterchange = 513,
  kJpegInterchangeLength = 514,
  kJpegRestartInterval = 515,
  kJpegLosslessPredictors = 517,
  kJpegPointTransforms = 518,
  kJpegQTables = 519,
  kJpegDCTables = 520,
  kJpegACTables = 521,
  kYCbCrCoefficients = 529,
  kYCbCrSubSampling = 530,
  kYCbCrPositioning = 531,
  kReferenceBlackWhite = 532,
};

enum : uint32_t {
  kNone = 1,
  kModifiedHuffman = 2,
  kGroup3 = 3,
  kGroup4 = 4,
  kLzw = 5,
  kOldJpeg = 6,
  kJpeg = 7,
  kPackBits = 32773
};

// One page's directory, as far as this driver uses it.
struct Directory {
  uint32_t subfile = 0, width = 0, height = 0;
  uint32_t bits = 1, compression = kNone, photometric = 0xFFFFFFFF, fill_order = 1;
  uint32_t orientation = 1, samples = 1, rows_per_strip = 0xFFFFFFFF, planar = 1;
  uint32_t gray_unit = 2, t4 = 0, t6 = 0, resolution_unit = 2, predictor = 1;
  uint32_t tile_width = 0, tile_length = 0;
  double x_resolution = 0, y_resolution = 0;
  std::vector<uint64_t> offsets, counts;  // strips, or tiles when tiled
  bool has_counts = false, tiled = false;
  std::vector<uint64_t> gray_curve, colormap, transfer, white_point, primaries;
  std::string software;
  std::vector<uint8_t> jpeg_tables;
  uint32_t jpeg_proc = 0, jpeg_interchange = 0, jpeg_interchange_length = 0;
  uint32_t jpeg_restart = 0;
  std::vector<uint64_t> jpeg_predictors, jpeg_point_transforms, jpeg_q, jpeg_dc, jpeg_ac;
  std::vector<uint64_t> ycbcr_coefficients, ycbcr_subsampling, reference_black_white;
  uint32_t ycbcr_positioning = 1;
};

// The TIFF LZW decoder: codes most significant bit first, the width grows
// one code early. It hands out any number of bytes at a time, keeping the
// rest of a string that did not fit for the next call.
struct LzwDecoder {
  uint16_t prefix[4096];
  uint16_t length[4096];
  uint8_t suffix[4096], first[4096];
  uint8_t pending[4096];
  int32_t pending_at = 0, pending_end = 0;
  int32_t next = 258, width = 9, old = -1;
  uint64_t bits = 0;
  int32_t nbits = 0;
  bool started = false, ended = false;

  void Reset() {
    next = 258;
    width = 9;
    old = -1;
  }
  void Start() {
    for (int i = 0; i < 256; ++i) {
      prefix[i] = 0xFFFF;
      suffix[i] = first[i] = static_cast<uint8_t>(i);
      length[i] = 1;
    }
    pending_at = pending_end = 0;
    bits = 0;
    nbits = 0;
    started = ended = false;
    Reset();
  }
};

// Where the compressed bytes of the current strip or tile are.
struct Input {
  uint64_t position = 0;  // next byte in the file
  uint64_t left = 0;      // bytes of the strip not yet read
  std::vector<uint8_t> chunk;
  int32_t at = 0, end = 0;
};

struct PackBitsState {
  int32_t literal = 0;  // bytes still to copy
  int32_t repeat = 0;   // times still to repeat value
  uint8_t value = 0;
};

struct TiffState {
  int32_t service = IFF_SRV_IMPORT;
  IfiHandleTp *handle = nullptr;
  bool big_endian = false;
  uint32_t first_ifd = 0, current_ifd = 0;
  Directory dir;
  // Derived sizes.
  uint64_t row_bytes = 0, strip_rows = 0, nstrips = 0;
  uint64_t tile_row_bytes = 0, tiles_across = 0;
  // Reading.
  int32_t next_line = 0;           // lines delivered of this page
  uint32_t strip = 0;              // next strip (or row of tiles) to open
  uint32_t strip_lines = 0;        // lines left in the open strip
  std::vector<uint8_t> row;        // one stored row
  std::vector<uint8_t> tile_rows;  // a row of tiles, side by side
  uint64_t tile_row_at = 0;        // next row within tile_rows
  bool blank_strip = false;        // byte count 0: the strip is white
  bool strip_damaged = false;      // fax data of this strip decoded past damage
  bool damage_warned = false;      // ... said once a page
  Input in;
  std::unique_ptr<LzwDecoder> lzw;
  PackBitsState packbits;
  IfuCodecTp *fax = nullptr;
  bool fax_direct = false;  // 1-bit fax rows drawn from their runs
  uint8_t gray_map[256];
  bool has_gray_map = false;
  bool reverse_input = false;  // FillOrder 2: bytes bit-reversed before decoding
  // JPEG: each strip or tile decoded whole, then handed out row by row.
  std::vector<uint8_t> jpeg_rows;
  size_t jpeg_at = 0;
  bool jpeg_raw = false;           // RGB components coded as they are
  bool jpeg_ycbcr = false;         // YCbCr coded, delivered as RGB
  uint32_t jpeg_precision = 8;     // the frame's sample precision
  std::vector<uint8_t> jpeg_head;  // old style without a stream: tables built from the tags
  uint32_t out_bytes = 1;          // bytes per delivered pixel, 8-bit samples
  uint32_t line_bytes = 1;         // bytes per pixel in the line handed over
  bool mirrored = false;
  // Writing.
  int32_t width = 0, height = 0;
  uint32_t w_photometric = 1, w_samples = 1, w_bits = 8, w_compression = kNone;
  uint32_t w_orientation = 1;
  uint32_t w_model = IFF_CM_RGB;
  uint32_t w_rows_per_strip = 0;
  int32_t w_cmap_entries = 0;
  uint32_t xres[2] = {72, 1}, yres[2] = {72, 1};
  std::vector<uint16_t> w_colormap;
  std::vector<uint8_t> strip_buffer;  // rows of the strip being filled
  uint32_t strip_fill = 0;            // rows in it
  std::vector<uint64_t> w_offsets, w_counts;
  std::vector<uint8_t> spool;   // everything after the header, when the output cannot seek
  uint64_t file_at = 8;         // bytes written so far
  std::vector<uint8_t> packed;  // compressed strip
  bool header_written = false;
  // JPEG writing: the picture is one strip, coded as its rows come.
  IfuCodecTp *w_jpeg = nullptr;
  uint32_t w_ycbcr_sub[2] = {2, 1};
  uint64_t w_jpeg_start = 0;
};

// ---- Reading the directory -------------------------------------------------

uint16_t Get16(const TiffState *s, const uint8_t *p) {
  return s->big_endian ? static_cast<uint16_t>(p[0] << 8 | p[1]) : IfuGetLe16(p);
}
uint32_t Get32(const TiffState *s, const uint8_t *p) {
  return s->big_endian ? IfuGetBe32(p)
                       : static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) |
                             static_cast<uint32_t>(p[3]) << 24;
}

bool ReadAt(TiffState *s, uint64_t offset, void *buffer, size_t n) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  if (IfiSeek(s->handle, static_cast<int64_t>(offset), 0)) return false;
  return IfiFetch(buffer, 1, n, s->handle) == n;
}

// The entry count of the directory at offset and its next offset; false
// when the directory cannot be read.
bool DirectoryAt(TiffState *s, uint32_t offset, uint32_t *entries, uint32_t *next) {
  uint8_t b[4];
  if (!ReadAt(s, offset, b, 2)) return false;
  *entries = Get16(s, b);
  if (!ReadAt(s, uint64_t{offset} + 2 + 12 * uint64_t{*entries}, b, 4)) {
    *next = 0;
    return true;
  }
  *next = Get32(s, b);
  return true;
}

// The directories of the chain, first to last, stopping where it loops.
std::vector<uint32_t> Chain(TiffState *s) {
  std::vector<uint32_t> chain;
  std::vector<uint32_t> seen;
  uint32_t offset = s->first_ifd;
  while (offset > 0 && chain.size() < kMaxPages) {
    auto at = std::lower_bound(seen.begin(), seen.end(), offset);
    if (at != seen.end() && *at == offset) break;
    seen.insert(at, offset);
    uint32_t entries = 0, next = 0;
    if (!DirectoryAt(s, offset, &entries, &next)) break;
    chain.push_back(offset);
    if (entries == 0 || entries > kMaxEntries) break;
    offset = next;
  }
  return chain;
}

int TypeSize(uint16_t type) {
  switch (type) {
    case 1:
    case 2:
    case 7:
      return 1;
    case 3:
      return 2;
    case 4:
      return 4;
    case 5:
      return 8;
    default:
      return 0;
  }
}

struct EntryTp {
  uint16_t tag, type;
  uint32_t count;
  uint8_t value[4];
};

// The values of an entry as numbers (rationals as numerator, denominator
// pairs). Arrays are read a block at a time: what is kept never exceeds
// what the file holds.
bool Values(TiffState *s, const EntryTp &e, std::vector<uint64_t> *out) {
  out->clear();
  const int size = TypeSize(e.type);
  if (size == 0 || e.count == 0) return true;
  const int unit = e.type == 5 ? 4 : size;
  const uint64_t total = uint64_t{e.count} * static_cast<uint64_t>(size);
  if (uint64_t{e.count} > kMaxValues) return false;
  auto decode = [&](const uint8_t *p, size_t n) {
    for (size_t i = 0; i + static_cast<size_t>(unit) <= n; i += static_cast<size_t>(unit)) {
      switch (unit) {
        case 1:
          out->push_back(p[i]);
          break;
        case 2:
          out->push_back(Get16(s, p + i));
          break;
        default:
          out->push_back(Get32(s, p + i));
          break;
      }
    }
  };
  if (total <= 4) {
    decode(e.value, static_cast<size_t>(total));
    return true;
  }
  uint64_t offset = Get32(s, e.value);
  uint64_t left = total;
  uint8_t block[4096];
  while (left > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, sizeof block));
    if (!ReadAt(s, offset, block, n)) return false;
    decode(block, n);
    offset += n;
    left -= n;
  }
  return true;
}

uint32_t First(const std::vector<uint64_t> &v, uint32_t fallback) {
  return v.empty() ? fallback : static_cast<uint32_t>(v[0]);
}

double Rational(const std::vector<uint64_t> &v) {
  if (v.size() < 2 || v[1] == 0) return 0;
  return static_cast<double>(v[0]) / static_cast<double>(v[1]);
}

// A directory that holds no picture ends the pages; said, because for the
// first page it is all the user learns of a broken file.
ReturnTp NoMorePages(unsigned line) {
  const ReturnTp rc = TiffErrno = CmnError(CMN_SOURCE, line, IFF_I_NO_MORE_PAGES);
  return rc ? rc : IFF_I_NO_MORE_PAGES | CMN_REPORTED;
}

// A directory the file does not hold (a truncated download, mostly).
ReturnTp DirectoryMissing(TiffState *s, unsigned line, uint32_t offset) {
  const int64_t size = s->handle->file_size;
  const bool beyond = size <= 0 || offset >= static_cast<uint64_t>(size);
  return TiffErrno = CmnError(CMN_SOURCE, line, beyond ? TIFF_E_DIR_BEYOND_END : TIFF_E_DIR_CUT,
                              static_cast<unsigned long>(offset));
}

ReturnTp ParseDirectory(TiffState *s, uint32_t offset) {
  Directory &d = s->dir;
  d = Directory();
  uint8_t b[2];
  if (!ReadAt(s, offset, b, 2)) return DirectoryMissing(s, __LINE__, offset);
  const uint32_t n = Get16(s, b);
  if (n == 0 || n > kMaxEntries) return NoMorePages(__LINE__);
  std::vector<uint8_t> raw(12 * size_t{n});
  if (!ReadAt(s, uint64_t{offset} + 2, raw.data(), raw.size()))
    return DirectoryMissing(s, __LINE__, offset);
  std::vector<uint64_t> v;
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t *p = &raw[12 * size_t{i}];
    EntryTp e;
    e.tag = Get16(s, p);
    e.type = Get16(s, p + 2);
    e.count = Get32(s, p + 4);
    memcpy(e.value, p + 8, 4);
    if (e.tag < kNewSubfileType || e.tag > kReferenceBlackWhite || e.count == 0) continue;
    const bool jpeg_table =
        e.tag == kJpegQTables || e.tag == kJpegDCTables || e.tag == kJpegACTables;
    if (jpeg_table && BrokenTiffJpeg) continue;
    switch (e.tag) {
      case kNewSubfileType:
      case kSubfileType:
      case kImageWidth:
      case kImageLength:
      case kBitsPerSample:
      case kCompression:
      case kPhotometric:
      case kFillOrder:
      case kStripOffsets:
      case kOrientation:
      case kSamplesPerPixel:
      case kRowsPerStrip:
      case kStripByteCounts:
      case kXResolution:
      case kYResolution:
      case kPlanarConfig:
      case kGrayResponseUnit:
      case kGrayResponseCurve:
      case kT4Options:
      case kT6Options:
      case kResolutionUnit:
      case kTransferFunction:
      case kSoftware:
      case kPredictor:
      case kWhitePoint:
      case kPrimaryChromaticities:
      case kColorMap:
      case kTileWidth:
      case kTileLength:
      case kTileOffsets:
      case kTileByteCounts:
      case kJpegTables:
      case kJpegProc:
      case kJpegInterchange:
      case kJpegInterchangeLength:
      case kJpegRestartInterval:
      case kJpegLosslessPredictors:
      case kJpegPointTransforms:
      case kJpegQTables:
      case kJpegDCTables:
      case kJpegACTables:
      case kYCbCrCoefficients:
      case kYCbCrSubSampling:
      case kYCbCrPositioning:
      case kReferenceBlackWhite:
        break;
      default:
        continue;
    }
    if (!Values(s, e, &v)) {
      // A table the JPEG data may do without is not worth failing for.
      if (jpeg_table || e.tag == kJpegTables) continue;
      return TIFF_FAIL(TIFF_E_INVALID);
    }
    switch (e.tag) {
      case kNewSubfileType:
        d.subfile = First(v, 0);
        break;
      case kSubfileType: {
        const uint32_t t = First(v, 1);
        d.subfile = t == 2 ? 1 : t == 3 ? 2 : 0;
        break;
      }
      case kImageWidth:
        d.width = First(v, 0);
        break;
      case kImageLength:
        d.height = First(v, 0);
        break;
      case kBitsPerSample:
        d.bits = First(v, 1);
        break;
      case kCompression:
        d.compression = First(v, 1);
        break;
      case kPhotometric:
        d.photometric = First(v, 0xFFFFFFFF);
        break;
      case kFillOrder:
        d.fill_order = First(v, 1);
        break;
      case kStripOffsets:
        if (!d.tiled) d.offsets = v;
        break;
      case kOrientation:
        d.orientation = First(v, 1);
        break;
      case kSamplesPerPixel:
        d.samples = First(v, 1);
        break;
      case kRowsPerStrip:
        d.rows_per_strip = First(v, 0xFFFFFFFF);
        break;
      case kStripByteCounts:
        if (!d.tiled) {
          d.counts = v;
          d.has_counts = true;
        }
        break;
      case kXResolution:
        d.x_resolution = Rational(v);
        break;
      case kYResolution:
        d.y_resolution = Rational(v);
        break;
      case kPlanarConfig:
        d.planar = First(v, 1);
        break;
      case kGrayResponseUnit:
        d.gray_unit = First(v, 2);
        break;
      case kGrayResponseCurve:
        d.gray_curve = v;
        break;
      case kT4Options:
        d.t4 = First(v, 0);
        break;
      case kT6Options:
        d.t6 = First(v, 0);
        break;
      case kResolutionUnit:
        d.resolution_unit = First(v, 2);
        break;
      case kTransferFunction:
        d.transfer = v;
        break;
      case kSoftware:
        d.software.assign(v.begin(), v.end());
        break;
      case kPredictor:
        d.predictor = First(v, 1);
        break;
      case kWhitePoint:
        d.white_point = v;
        break;
      case kPrimaryChromaticities:
        d.primaries = v;
        break;
      case kColorMap:
        d.colormap = v;
        break;
      case kTileWidth:
        d.tile_width = First(v, 0);
        break;
      case kTileLength:
        d.tile_length = First(v, 0);
        break;
      case kTileOffsets:
        d.tiled = true;
        d.offsets = v;
        break;
      case kTileByteCounts:
        d.tiled = true;
        d.counts = v;
        d.has_counts = true;
        break;
      case kJpegTables:
        d.jpeg_tables.assign(v.begin(), v.end());
        break;
      case kJpegProc:
        d.jpeg_proc = First(v, 0);
        break;
      case kJpegInterchange:
        d.jpeg_interchange = First(v, 0);
        break;
      case kJpegInterchangeLength:
        d.jpeg_interchange_length = First(v, 0);
        break;
      case kJpegRestartInterval:
        d.jpeg_restart = First(v, 0);
        break;
      case kJpegLosslessPredictors:
        d.jpeg_predictors = v;
        break;
      case kJpegPointTransforms:
        d.jpeg_point_transforms = v;
        break;
      case kJpegQTables:
        d.jpeg_q = v;
        break;
      case kJpegDCTables:
        d.jpeg_dc = v;
        break;
      case kJpegACTables:
        d.jpeg_ac = v;
        break;
      case kYCbCrCoefficients:
        d.ycbcr_coefficients = v;
        break;
      case kYCbCrSubSampling:
        d.ycbcr_subsampling = v;
        break;
      case kYCbCrPositioning:
        d.ycbcr_positioning = First(v, 1);
        break;
      case kReferenceBlackWhite:
        d.reference_black_white = v;
        break;
      default:
        break;
    }
  }
  // Strip offsets that came before the tile tags belong to no strips.
  if (d.tiled && d.tile_width == 0) d.tiled = false;
  return 0;
}

// ---- Decoding --------------------------------------------------------------

// The next compressed bytes of the strip; 0 at its end.
int32_t Refill(TiffState *s) {
  Input &in = s->in;
  if (in.left == 0) return 0;
  if (in.chunk.size() < static_cast<size_t>(kChunk)) in.chunk.resize(kChunk);
  const size_t want = static_cast<size_t>(std::min<uint64_t>(in.left, kChunk));
  if (in.position > static_cast<uint64_t>(INT64_MAX) ||
      IfiSeek(s->handle, static_cast<int64_t>(in.position), 0)) {
    in.left = 0;
    return 0;
  }
  const size_t got = IfiFetch(in.chunk.data(), 1, want, s->handle);
  IfiAccount(s->handle, static_cast<int64_t>(got), 0);
  in.position += got;
  in.left = got < want ? 0 : in.left - got;
  if (s->reverse_input) IfuReverseBits(in.chunk.data(), static_cast<int32_t>(got));
  in.at = 0;
  in.end = static_cast<int32_t>(got);
  return in.end;
}

ReturnTp FaxInput(void *arg, uint8_t *buffer, int32_t *length) {
  TiffState *s = static_cast<TiffState *>(arg);
  Input &in = s->in;
  const size_t want =
      static_cast<size_t>(std::min<uint64_t>(in.left, static_cast<uint64_t>(*length)));
  size_t got = 0;
  if (want > 0 && in.position <= static_cast<uint64_t>(INT64_MAX) &&
      !IfiSeek(s->handle, static_cast<int64_t>(in.position), 0))
    got = IfiFetch(buffer, 1, want, s->handle);
  IfiAccount(s->handle, static_cast<int64_t>(got), 0);
  in.position += got;
  in.left = got < want ? 0 : in.left - got;
  *length = static_cast<int32_t>(got);
  return 0;
}

// Up to n decoded LZW bytes into out; fewer when the data ends. The
// working values live in locals: stores through out may alias anything.
ReturnTp LzwProduce(TiffState *s, uint8_t *out, size_t n, size_t *produced) {
  LzwDecoder &z = *s->lzw;
  Input &in = s->in;
  size_t done = 0;
  if (z.pending_at < z.pending_end) {
    const size_t k = std::min(n, static_cast<size_t>(z.pending_end - z.pending_at));
    memcpy(out, z.pending + z.pending_at, k);
    z.pending_at += static_cast<int32_t>(k);
    done = k;
  }
  uint64_t bits = z.bits;
  int32_t nbits = z.nbits, width = z.width, next = z.next, old = z.old;
  uint16_t *const prefix = z.prefix;
  uint16_t *const length = z.length;
  uint8_t *const suffix = z.suffix;
  uint8_t *const first = z.first;
  ReturnTp rc = 0;
  while (done < n && !z.ended) {
    if (nbits < width) {
      if (in.end - in.at >= 4 && nbits <= 32) {
        const uint8_t *p = &in.chunk[static_cast<size_t>(in.at)];
        bits = bits << 32 | IfuGetBe32(p);
        nbits += 32;
        in.at += 4;
      } else {
        while (nbits < width) {
          if (in.at >= in.end && Refill(s) == 0) break;
          bits = bits << 8 | in.chunk[static_cast<size_t>(in.at++)];
          nbits += 8;
        }
        if (nbits < width) {
          z.ended = true;
          break;
        }
      }
    }
    const int32_t code = static_cast<int32_t>(bits >> (nbits - width)) & ((1 << width) - 1);
    nbits -= width;
    if (!z.started) {
      // Old-style LZW (low bit first) starts otherwise: refused.
      if (code != 256) {
        rc = TIFF_FAIL(TIFF_E_INVALID);
        break;
      }
      z.started = true;
    }
    if (code == 256) {
      next = 258;
      width = 9;
      old = -1;
      continue;
    }
    if (code == 257) {
      z.ended = true;
      break;
    }
    if (old < 0) {
      if (code > 255) {
        rc = TIFF_FAIL(TIFF_E_INVALID);
        break;
      }
      out[done++] = static_cast<uint8_t>(code);
      old = code;
      continue;
    }
    if (code > next) {
      rc = TIFF_FAIL(TIFF_E_INVALID);
      break;
    }
    if (next >= 4096) {
      // The table is full without a Clear: the data ends here.
      z.ended = true;
      break;
    }
    // The new entry: the previous string and the first byte of this one
    // (of the previous one when the code is the entry being made).
    const int32_t e = next;
    prefix[e] = static_cast<uint16_t>(old);
    first[e] = first[old];
    suffix[e] = code == e ? first[old] : first[code];
    length[e] = static_cast<uint16_t>(length[old] + 1);
    ++next;
    if (next == 511)
      width = 10;
    else if (next == 1023)
      width = 11;
    else if (next == 2047)
      width = 12;
    old = code;
    const size_t len = length[code];
    if (len == 1) {
      out[done++] = suffix[code];
      continue;
    }
    uint8_t *dst;
    const bool fits = len <= n - done;
    dst = fits ? out + done : z.pending;
    int32_t c = code;
    for (size_t i = len; i-- > 0;) {
      dst[i] = suffix[c];
      c = prefix[c];
    }
    if (fits) {
      done += len;
    } else {
      const size_t k = n - done;
      memcpy(out + done, z.pending, k);
      z.pending_at = static_cast<int32_t>(k);
      z.pending_end = static_cast<int32_t>(len);
      done = n;
    }
  }
  z.bits = bits;
  z.nbits = nbits;
  z.width = width;
  z.next = next;
  z.old = old;
  *produced = done;
  return rc;
}

size_t PackBitsProduce(TiffState *s, uint8_t *out, size_t n) {
  PackBitsState &p = s->packbits;
  Input &in = s->in;
  size_t done = 0;
  while (done < n) {
    if (p.repeat > 0) {
      const size_t k = std::min(n - done, static_cast<size_t>(p.repeat));
      memset(out + done, p.value, k);
      done += k;
      p.repeat -= static_cast<int32_t>(k);
      continue;
    }
    if (in.at >= in.end && Refill(s) == 0) break;
    if (p.literal > 0) {
      const size_t k =
          std::min({n - done, static_cast<size_t>(p.literal), static_cast<size_t>(in.end - in.at)});
      memcpy(out + done, &in.chunk[static_cast<size_t>(in.at)], k);
      in.at += static_cast<int32_t>(k);
      done += k;
      p.literal -= static_cast<int32_t>(k);
      continue;
    }
    const int8_t header = static_cast<int8_t>(in.chunk[static_cast<size_t>(in.at++)]);
    if (header >= 0) {
      p.literal = header + 1;
    } else if (header != -128) {
      if (in.at >= in.end && Refill(s) == 0) break;
      p.value = in.chunk[static_cast<size_t>(in.at++)];
      p.repeat = 1 - header;
    }
  }
  return done;
}

// Undoes horizontal differencing in one row of `bytes` bytes.
ReturnTp Undifference(TiffState *s, uint8_t *row, uint64_t bytes) {
  const Directory &d = s->dir;
  const uint64_t step = d.planar == 2 ? 1 : d.samples;
  if (d.bits == 8 && step == 1) {
    uint8_t a = row[0];
    for (uint64_t i = 1; i < bytes; ++i) row[i] = a = static_cast<uint8_t>(a + row[i]);
  } else if (d.bits == 8 && step == 3) {
    // Running sums in registers: the memory chain is what costs.
    uint8_t r = row[0], g = row[1], b = row[2];
    for (uint64_t i = 3; i + 2 < bytes; i += 3) {
      row[i] = r = static_cast<uint8_t>(r + row[i]);
      row[i + 1] = g = static_cast<uint8_t>(g + row[i + 1]);
      row[i + 2] = b = static_cast<uint8_t>(b + row[i + 2]);
    }
  } else if (d.bits == 8) {
    for (uint64_t i = step; i < bytes; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - step]);
  } else if (d.bits == 16) {
    const uint64_t stride = 2 * step;
    for (uint64_t i = stride; i + 1 < bytes; i += 2) {
      uint8_t *p = row + i, *q = row + i - stride;
      uint16_t a = s->big_endian ? static_cast<uint16_t>(p[0] << 8 | p[1]) : IfuGetLe16(p);
      uint16_t b = s->big_endian ? static_cast<uint16_t>(q[0] << 8 | q[1]) : IfuGetLe16(q);
      const uint16_t v = static_cast<uint16_t>(a + b);
      if (s->big_endian) {
        p[0] = static_cast<uint8_t>(v >> 8);
        p[1] = static_cast<uint8_t>(v);
      } else {
        IfuPutLe16(p, v);
      }
    }
  } else {
    return TIFF_FAIL(CMN_E_INVALID_ARG);
  }
  return 0;
}

bool IsFax(uint32_t compression) {
  return compression == kModifiedHuffman || compression == kGroup3 || compression == kGroup4;
}

// ---- JPEG strips ------------------------------------------------------------

struct JpegInput {
  const std::vector<uint8_t> *data;
  size_t at;
  IfiHandleTp *handle;
};

// The strip's bytes for the codec. The codec asks past them only when its
// data run out before the strip's rows do: what it asked for is counted as
// made up.
ReturnTp JpegMemoryInput(void *arg, uint8_t *buffer, int32_t *length) {
  auto *in = static_cast<JpegInput *>(arg);
  const size_t n = std::min(in->data->size() - in->at, static_cast<size_t>(*length));
  if (n) memcpy(buffer, in->data->data() + in->at, n);  // an empty strip has no buffer
  in->at += n;
  if (n == 0 && *length > 0) IfiAccount(in->handle, 0, *length);
  *length = static_cast<int32_t>(n);
  return 0;
}

void JpegSegment(std::vector<uint8_t> &out, uint8_t code, const std::vector<uint8_t> &payload) {
  out.insert(out.end(), {0xFF, code, static_cast<uint8_t>((payload.size() + 2) >> 8),
                         static_cast<uint8_t>(payload.size() + 2)});
  out.insert(out.end(), payload.begin(), payload.end());
}

// Old-style JPEG without an interchange stream: the tables the tags point
// at, as the markers of a stream (the frame and scan headers follow per strip).
ReturnTp BuildOldJpegHead(TiffState *s) {
  const Directory &d = s->dir;
  std::vector<uint8_t> &h = s->jpeg_head;
  h = {0xFF, 0xD8};
  const bool lossless = d.jpeg_proc == 14;
  if (!lossless) {
    for (size_t t = 0; t < d.jpeg_q.size() && t < 4; ++t) {
      std::vector<uint8_t> q(65);
      q[0] = static_cast<uint8_t>(t);
      if (!ReadAt(s, d.jpeg_q[t], &q[1], 64)) return TIFF_FAIL(TIFF_E_INVALID);
      JpegSegment(h, 0xDB, q);
    }
  }
  for (int ac = 0; ac < (lossless ? 1 : 2); ++ac) {
    const std::vector<uint64_t> &tables = ac ? d.jpeg_ac : d.jpeg_dc;
    for (size_t t = 0; t < tables.size() && t < 4; ++t) {
      std::vector<uint8_t> table(17);
      table[0] = static_cast<uint8_t>(ac << 4 | t);
      if (!ReadAt(s, tables[t], &table[1], 16)) return TIFF_FAIL(TIFF_E_INVALID);
      size_t symbols = 0;
      for (int i = 1; i <= 16; ++i) symbols += table[i];
      if (symbols > 256) return TIFF_FAIL(TIFF_E_INVALID);
      table.resize(17 + symbols);
      if (symbols && !ReadAt(s, tables[t] + 16, &table[17], symbols))
        return TIFF_FAIL(TIFF_E_INVALID);
      JpegSegment(h, 0xC4, table);
    }
  }
  if (d.jpeg_restart)
    JpegSegment(h, 0xDD,
                {static_cast<uint8_t>(d.jpeg_restart >> 8), static_cast<uint8_t>(d.jpeg_restart)});
  return 0;
}

// Decodes strip or tile `index` (columns x rows pixels) into jpeg_rows.
ReturnTp DecodeJpeg(TiffState *s, uint64_t index, uint32_t columns, uint32_t rows) {
  const Directory &d = s->dir;
  const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(s->handle->file_size, 0));
  uint64_t count = d.counts[index];
  // Never more than the file holds: the count sizes the buffer.
  if (size && d.offsets[index] < size) count = std::min(count, size - d.offsets[index]);
  if (count > (uint64_t{1} << 30)) return TIFF_FAIL(TIFF_E_INVALID);
  std::vector<uint8_t> data;
  const bool old_frame = d.compression == kOldJpeg && !s->jpeg_head.empty();
  if (old_frame) {
    // The frame and scan headers of this strip, then its entropy-coded data.
    data = s->jpeg_head;
    const bool lossless = d.jpeg_proc == 14;
    std::vector<uint8_t> sof = {static_cast<uint8_t>(s->jpeg_precision),
                                static_cast<uint8_t>(rows >> 8),
                                static_cast<uint8_t>(rows),
                                static_cast<uint8_t>(columns >> 8),
                                static_cast<uint8_t>(columns),
                                static_cast<uint8_t>(d.samples)};
    std::vector<uint8_t> sos = {static_cast<uint8_t>(d.samples)};
    for (uint32_t c = 0; c < d.samples; ++c) {
      uint32_t h = 1, v = 1;
      if (c == 0 && s->jpeg_ycbcr && d.ycbcr_subsampling.size() >= 2) {
        h = static_cast<uint32_t>(std::min<uint64_t>(d.ycbcr_subsampling[0], 4));
        v = static_cast<uint32_t>(std::min<uint64_t>(d.ycbcr_subsampling[1], 4));
      }
      const uint8_t qt =
          static_cast<uint8_t>(std::min<size_t>(c, d.jpeg_q.empty() ? 0 : d.jpeg_q.size() - 1));
      const uint8_t dc =
          static_cast<uint8_t>(std::min<size_t>(c, d.jpeg_dc.empty() ? 0 : d.jpeg_dc.size() - 1));
      const uint8_t ac =
          static_cast<uint8_t>(std::min<size_t>(c, d.jpeg_ac.empty() ? 0 : d.jpeg_ac.size() - 1));
      sof.insert(sof.end(), {static_cast<uint8_t>(c + 1), static_cast<uint8_t>(h << 4 | v),
                             lossless ? uint8_t{0} : qt});
      sos.insert(sos.end(), {static_cast<uint8_t>(c + 1),
                             static_cast<uint8_t>(dc << 4 | (lossless ? 0 : ac))});
    }
    const uint8_t predictor =
        static_cast<uint8_t>(d.jpeg_predictors.empty() ? 1 : d.jpeg_predictors[0]);
    const uint8_t pt =
        static_cast<uint8_t>(d.jpeg_point_transforms.empty() ? 0 : d.jpeg_point_transforms[0] & 15);
    if (lossless)
      sos.insert(sos.end(), {predictor, 0, pt});
    else
      sos.insert(sos.end(), {0, 63, 0});
    JpegSegment(data, lossless ? 0xC3 : 0xC0, sof);
    JpegSegment(data, 0xDA, sos);
  }
  const size_t head = data.size();
  try {
    data.resize(head + static_cast<size_t>(count));
  } catch (const std::bad_alloc &) {
    return TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  }
  if (count) {
    // A strip cut short by the end of the file: what there is.
    size_t got = 0;
    if (d.offsets[index] <= static_cast<uint64_t>(INT64_MAX) &&
        !IfiSeek(s->handle, static_cast<int64_t>(d.offsets[index]), 0))
      got = IfiFetch(&data[head], 1, static_cast<size_t>(count), s->handle);
    data.resize(head + got);
  }
  if (old_frame) data.insert(data.end(), {0xFF, 0xD9});

  JpegParamTp *jp = nullptr;
  ReturnTp rc = IfuCodecCreateParam(&JpegCodecOps, reinterpret_cast<void **>(&jp));
  if (rc) return rc;
  jp->color = d.samples == 1 ? JPEG_GRAY : JPEG_RGB;
  jp->raw_components = s->jpeg_raw;
  if (d.compression == kJpeg && !d.jpeg_tables.empty()) {
    jp->tables = d.jpeg_tables.data();
    jp->tables_length = static_cast<int32_t>(d.jpeg_tables.size());
  }
  JpegInput in = {&data, 0, s->handle};
  IfuCodecTp *codec = nullptr;
  rc = IfuCodecOpenDecoder(nullptr, &JpegCodecOps, jp, JpegMemoryInput, &in, kChunk, &codec);
  const uint64_t bytes = d.tiled ? s->tile_row_bytes : s->row_bytes;
  s->jpeg_at = 0;
  if (!rc) {
    const auto *fp = static_cast<const JpegParamTp *>(codec->param);
    const size_t wide = fp->file_depth > 8 ? 2 : 1;
    const size_t decoded_row = static_cast<size_t>(fp->width) * (d.samples == 1 ? 1 : 3) * wide;
    std::vector<uint8_t> band;
    try {
      s->jpeg_rows.assign(static_cast<size_t>(bytes * rows), 0);
      band.resize(decoded_row * static_cast<size_t>(fp->band_height));
    } catch (const std::bad_alloc &) {
      IfuCodecTerm(&codec);
      return TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
    }
    // Rows beyond the strip, or pixels beyond its width, are dropped; a
    // sample size other than the directory's is not this picture's data.
    const size_t keep = std::min(static_cast<size_t>(bytes), decoded_row);
    if (wide != (d.bits > 8 ? 2u : 1u)) rc = TIFF_FAIL(TIFF_E_INVALID);
    for (uint32_t y = 0; y < rows && !rc;) {
      int32_t length = static_cast<int32_t>(band.size());
      rc = IfuCodecRead(codec, band.data(), &length);
      if (rc == IFU_I_EOD) {
        rc = 0;
        break;
      }
      for (size_t r = 0; !rc && r < length / decoded_row && y < rows; ++r, ++y) {
        const uint8_t *from = band.data() + r * decoded_row;
        uint8_t *to = s->jpeg_rows.data() + static_cast<size_t>(y * bytes);
        if (wide == 1) {
          memcpy(to, from, keep);
        } else {
          // Samples above 8 bits widened to 16, in the file's byte order.
          const int shift = 16 - fp->file_depth;
          for (size_t i = 0; 2 * i < keep; ++i) {
            uint16_t v;
            memcpy(&v, from + 2 * i, 2);
            v = static_cast<uint16_t>(v << shift | (shift > 0 ? v >> (fp->file_depth - shift) : 0));
            to[2 * i + (s->big_endian ? 0 : 1)] = static_cast<uint8_t>(v >> 8);
            to[2 * i + (s->big_endian ? 1 : 0)] = static_cast<uint8_t>(v);
          }
        }
      }
    }
    IfuCodecTerm(&codec);
  }
  if (rc) {
    fprintf(stderr, "%s %d: JPEG error %s\n", CMN_SOURCE, __LINE__, JpegLastMessage());
    return TiffErrno = CmnReraise(CMN_SOURCE, __LINE__, rc);
  }
  return 0;
}

// What JPEG data need before the layout is worked out: the components the
// codec delivers, one strip for an old-style interchange stream, and the
// tables of old-style data without one.
ReturnTp PrepareJpeg(TiffState *s) {
  Directory &d = s->dir;
  s->jpeg_head.clear();
  if (d.samples != 1 && d.samples != 3) return TIFF_FAIL(TIFF_E_UNSUPPORTED);
  if (d.samples == 3 && d.planar == 2) return TIFF_FAIL(IFD_E_TIFF_PLANAR);
  if (d.bits != 8 && (d.bits < 2 || d.bits > 16)) return TIFF_FAIL(IFD_E_TIFF_BITS);
  s->jpeg_precision = d.bits;
  // The codec turns YCbCr into RGB; RGB data are coded as they are.
  s->jpeg_raw = d.photometric == 2;
  s->jpeg_ycbcr = d.photometric == 6 && d.samples == 3;
  if (s->jpeg_ycbcr) d.photometric = 2;
  if (d.bits > 8) d.bits = 16;
  if (d.compression != kOldJpeg) return 0;
  if (d.jpeg_interchange) {
    uint64_t length = d.jpeg_interchange_length;
    const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(s->handle->file_size, 0));
    if (BrokenTiffJpeg && !d.counts.empty() && d.counts[0] > length) length = d.counts[0];
    if (length == 0) length = size > d.jpeg_interchange ? size - d.jpeg_interchange : UINT32_MAX;
    d.tiled = false;
    d.rows_per_strip = d.height;
    d.offsets.assign(1, d.jpeg_interchange);
    d.counts.assign(1, length);
    d.has_counts = true;
    return 0;
  }
  if (d.software.compare(0, 9, "gXconvert") == 0) {
    // gXconvert writes its sample size wrongly; its data are 8-bit.
    s->jpeg_precision = 8;
    d.bits = 8;
    CmnError(CMN_SOURCE, __LINE__, TIFF_W_GXCONVERT);
  }
  if (d.jpeg_proc != 1 && d.jpeg_proc != 14) return TIFF_FAIL(TIFF_E_UNSUPPORTED);
  return BuildOldJpegHead(s);
}

// Prepares the decoder for the data of strip or tile `index`, of `rows`
// rows of `columns` pixels.
ReturnTp OpenData(TiffState *s, uint64_t index, uint32_t columns, uint32_t rows) {
  const Directory &d = s->dir;
  s->in.at = s->in.end = 0;
  s->in.position = d.offsets[index];
  s->in.left = d.counts[index];
  s->blank_strip = d.counts[index] == 0;
  s->strip_damaged = false;
  if (s->fax) IfuCodecTerm(&s->fax);
  if (s->blank_strip) return 0;
  switch (d.compression) {
    case kJpeg:
    case kOldJpeg:
      return DecodeJpeg(s, index, columns, rows);
    case kNone:
      return IfiSeek(s->handle, static_cast<int64_t>(s->in.position), 0) ? TIFF_FAIL(TIFF_E_INVALID)
                                                                         : 0;
    case kLzw:
      if (!s->lzw) s->lzw.reset(new (std::nothrow) LzwDecoder);
      if (!s->lzw) return TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
      s->lzw->Start();
      return 0;
    case kPackBits:
      s->packbits = PackBitsState();
      return 0;
    default: {
      FaxParamTp *p = nullptr;
      ReturnTp rc = IfuCodecCreateParam(&FaxCodecOps, reinterpret_cast<void **>(&p));
      if (rc) return rc;
      p->mode = d.compression == kModifiedHuffman ? FAX_MODE_MH
                : d.compression == kGroup4        ? FAX_MODE_G4
                : (d.t4 & 1)                      ? FAX_MODE_G3_2D
                                                  : FAX_MODE_G3_1D;
      p->columns = static_cast<int32_t>(columns);
      p->rows = static_cast<int32_t>(rows);
      p->group3 = d.compression == kGroup3;
      p->end_of_line = d.compression == kGroup3;
      p->byte_align = d.compression == kModifiedHuffman || (d.compression == kGroup3 && (d.t4 & 4));
      p->msb_first = d.fill_order != 2;
      p->black_is_one = !(d.photometric == 1 && d.gray_curve.empty());
      return IfuCodecOpenDecoder(nullptr, &FaxCodecOps, p, FaxInput, s, kChunk, &s->fax);
    }
  }
}

// Fax data decoded past damage: a deliberate salvage, said once a page
// with the first row it touched. What the strip then lacks is part of the
// damage, not missing data.
void FaxDamaged(TiffState *s, uint64_t row) {
  s->strip_damaged = true;
  if (s->damage_warned) return;
  s->damage_warned = true;
  CmnError(CMN_SOURCE, __LINE__, IFD_W_FAX_DAMAGED, static_cast<unsigned long>(row + 1));
}

void AccountMadeUp(TiffState *s, int64_t n) {
  if (s->strip_damaged)
    IfiAccountSalvaged(s->handle, n);
  else
    IfiAccount(s->handle, 0, n);
}

// The next `rows` rows of `bytes` bytes each of the open data into out.
// Data that ends early leaves zeros, counted as made up.
ReturnTp ProduceRows(TiffState *s, uint8_t *out, uint64_t bytes, uint32_t rows, uint32_t columns) {
  const Directory &d = s->dir;
  const size_t n = static_cast<size_t>(bytes * rows);
  if (s->blank_strip) {
    // A strip of no bytes: none of its rows are in the file.
    memset(out, 255, n);
    IfiAccount(s->handle, 0, static_cast<int64_t>(n));
    return 0;
  }
  size_t got = 0;
  switch (d.compression) {
    case kJpeg:
    case kOldJpeg:
      got = std::min(n, s->jpeg_rows.size() - s->jpeg_at);
      if (got) memcpy(out, s->jpeg_rows.data() + s->jpeg_at, got);
      s->jpeg_at += got;
      if (got < n) memset(out + got, 0, n - got);
      return 0;
    case kNone:
      if (IfiRead(out, n, 1, s->handle)) memset(out, 0, n);  // past the end: counted zeros
      if (s->reverse_input) IfuReverseBits(out, static_cast<int32_t>(n));
      return 0;
    case kLzw: {
      ReturnTp rc = LzwProduce(s, out, n, &got);
      if (rc) return rc;
      break;
    }
    case kPackBits:
      got = PackBitsProduce(s, out, n);
      break;
    default: {
      const int32_t row_bytes = static_cast<int32_t>((columns + 7) / 8);
      for (uint32_t r = 0; r < rows; ++r) {
        uint8_t *row = out + r * bytes;
        const int32_t *changes = nullptr;
        int32_t count = -1, failed = 0;
        ReturnTp rc = FaxDecodeRowChanges(s->fax, &changes, &count, &failed);
        if (rc) return rc;
        if (failed) FaxDamaged(s, s->next_line + r);
        if (count < 0) break;
        FaxFillRow(row, static_cast<int32_t>(columns), changes, count,
                   !(d.photometric == 1 && d.gray_curve.empty()));
        if (static_cast<uint64_t>(row_bytes) < bytes) memset(row + row_bytes, 0, bytes - row_bytes);
        got += bytes;
      }
      break;
    }
  }
  if (got < n) {
    memset(out + got, 0, n - got);
    AccountMadeUp(s, static_cast<int64_t>(n - got));
  }
  if (d.predictor == 2 && (d.compression == kLzw || d.compression == kPackBits)) {
    for (uint32_t r = 0; r < rows; ++r) {
      ReturnTp rc = Undifference(s, out + r * bytes, bytes);
      if (rc) return rc;
    }
  }
  return 0;
}

// A fax row straight from its runs: white 255, black 0.
ReturnTp FaxDirectRow(TiffState *s, uint8_t *line) {
  const int32_t width = static_cast<int32_t>(s->dir.width);
  memset(line, 255, static_cast<size_t>(width));
  if (s->blank_strip) {
    IfiAccount(s->handle, 0, width / 8 + 1);
    return 0;
  }
  const int32_t *changes = nullptr;
  int32_t count = -1, failed = 0;
  ReturnTp rc = FaxDecodeRowChanges(s->fax, &changes, &count, &failed);
  if (rc) return rc;
  if (failed) FaxDamaged(s, s->next_line);
  if (count < 0) {
    AccountMadeUp(s, width / 8 + 1);
    return 0;
  }
  for (int32_t i = 0; i < count; i += 2) {
    const int32_t from = std::min(changes[i], width);
    const int32_t to = i + 1 < count ? std::min(changes[i + 1], width) : width;
    if (to > from) memset(line + from, 0, static_cast<size_t>(to - from));
  }
  return 0;
}

// Decodes the next row of tiles into tile_rows.
ReturnTp LoadTileRow(TiffState *s, uint32_t rows) {
  const Directory &d = s->dir;
  const uint64_t stride = s->tiles_across * s->tile_row_bytes;
  std::vector<uint8_t> tile(static_cast<size_t>(s->tile_row_bytes * rows));
  for (uint64_t t = 0; t < s->tiles_across; ++t) {
    const uint64_t index = uint64_t{s->strip} * s->tiles_across + t;
    ReturnTp rc = OpenData(s, index, d.tile_width, d.tile_length);
    if (!rc) rc = ProduceRows(s, tile.data(), s->tile_row_bytes, rows, d.tile_width);
    if (rc) return rc;
    for (uint32_t r = 0; r < rows; ++r)
      memcpy(&s->tile_rows[static_cast<size_t>(r * stride + t * s->tile_row_bytes)],
             &tile[static_cast<size_t>(r * s->tile_row_bytes)],
             static_cast<size_t>(s->tile_row_bytes));
  }
  return 0;
}

// ---- Header ----------------------------------------------------------------

uint32_t RowsInStrip(const TiffState *s, uint32_t strip) {
  const uint64_t first = uint64_t{strip} * s->strip_rows;
  return static_cast<uint32_t>(std::min<uint64_t>(s->strip_rows, s->dir.height - first));
}

ReturnTp SetUpLayout(TiffState *s, IffParamTp *p) {
  Directory &d = s->dir;
  if (d.compression != kOldJpeg && d.compression != kJpeg && d.bits != 1 &&
      (d.bits < 4 || d.bits > 8) && d.bits != 16)
    return TIFF_FAIL(IFD_E_TIFF_BITS);
  if (d.samples < 1 || d.samples > 16) return TIFF_FAIL(TIFF_E_INVALID);
  const bool jpeg = d.compression == kOldJpeg || d.compression == kJpeg;
  if (jpeg)
    if (ReturnTp rc = PrepareJpeg(s)) return rc;
  if (d.compression != kNone && d.compression != kLzw && d.compression != kPackBits &&
      !IsFax(d.compression) && !jpeg)
    return TIFF_FAIL(TIFF_E_COMPRESSION);
  const uint32_t bits = d.bits;
  uint32_t photometric = d.photometric;
  if (photometric == 0xFFFFFFFF) {
    // Without the tag: what the data most likely is.
    photometric = IsFax(d.compression) ? 0 : d.samples >= 3 ? 2 : d.colormap.empty() ? 1 : 3;
    d.photometric = photometric;
  }
  const bool planar_rgb = d.planar == 2 && d.samples > 1;
  // One sample per pixel is the same layout in either configuration.
  if (planar_rgb) return TIFF_FAIL(IFD_E_TIFF_PLANAR);
  if (IsFax(d.compression) && (bits != 1 || d.samples != 1)) return TIFF_FAIL(TIFF_E_INVALID);
  if (d.predictor == 2 && bits != 8 && bits != 16) return TIFF_FAIL(CMN_E_INVALID_ARG);

  switch (photometric) {
    case 0:
    case 1:
      p->color_model = IFF_CM_GRAY;
      break;
    case 2:
      if (d.samples < 3) return TIFF_FAIL(TIFF_E_INVALID);
      p->color_model = d.samples >= 4 ? IFF_CM_RGBA : IFF_CM_RGB;
      break;
    case 3:
      if (bits > 8 || d.colormap.size() < 3 * (size_t{1} << bits)) return TIFF_FAIL(TIFF_E_INVALID);
      p->color_model = IFF_CM_RGB;
      break;
    case 5:
      if (d.samples < 4) return TIFF_FAIL(TIFF_E_INVALID);
      p->color_model = IFF_CM_CMYK;
      break;
    case 6:
      if (d.samples < 3 || (!d.ycbcr_subsampling.empty() &&
                            (d.ycbcr_subsampling[0] != 1 ||
                             (d.ycbcr_subsampling.size() > 1 && d.ycbcr_subsampling[1] != 1))))
        return TIFF_FAIL(TIFF_E_UNSUPPORTED);
      if (d.ycbcr_subsampling.empty()) return TIFF_FAIL(TIFF_E_UNSUPPORTED);  // 2 x 2 by default
      p->color_model = IFF_CM_YCBCR;
      break;
    default:
      return TIFF_FAIL(CMN_E_INVALID_ARG);
  }

  // Row and strip arithmetic. The row buffer is sized from the width:
  // sizes the interface refuses are refused before it is allocated.
  if (d.width > 0 && d.height > 0)
    if (ReturnTp code = IffSizeCode(d.width, d.height)) return TIFF_FAIL(code);
  s->row_bytes = (uint64_t{d.width} * d.samples * bits + 7) / 8;
  if (d.tiled) {
    if (d.tile_width == 0 || d.tile_length == 0 || d.tile_width > 65536 || d.tile_length > 65536 ||
        (uint64_t{d.tile_width} * d.samples * bits) % 8)
      return TIFF_FAIL(TIFF_E_INVALID);
    s->tile_row_bytes = (uint64_t{d.tile_width} * d.samples * bits + 7) / 8;
    s->tiles_across = (uint64_t{d.width} + d.tile_width - 1) / d.tile_width;
    s->strip_rows = d.tile_length;
    const uint64_t rows = std::min<uint64_t>(d.tile_length, d.height);
    if (s->tiles_across * s->tile_row_bytes * rows > kMaxTileRowBuffer)
      return TIFF_FAIL(TIFF_E_INVALID);
  } else {
    s->strip_rows =
        d.rows_per_strip == 0 || d.rows_per_strip > d.height ? d.height : d.rows_per_strip;
  }
  if (s->row_bytes > kMaxTileRowBuffer) return TIFF_FAIL(TIFF_E_INVALID);
  s->nstrips = (uint64_t{d.height} - 1) / s->strip_rows + 1;
  const uint64_t pieces = d.tiled ? s->nstrips * s->tiles_across : s->nstrips;
  if (d.offsets.size() < pieces) return TIFF_FAIL(TIFF_E_INVALID);
  if (!d.has_counts) {
    if (pieces > 1) return TIFF_FAIL(TIFF_E_INVALID);
    uint64_t count = s->row_bytes * d.height;
    if (d.compression != kNone) {
      const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(s->handle->file_size, 0));
      count = size > d.offsets[0] ? size - d.offsets[0] : size == 0 ? UINT32_MAX : 0;
    }
    d.counts.assign(1, count);
  }
  if (d.counts.size() < pieces) return TIFF_FAIL(TIFF_E_INVALID);
  return 0;
}

void FillHeader(TiffState *s, IffParamTp *p) {
  const Directory &d = s->dir;
  p->width = static_cast<int32_t>(d.width);
  p->height = static_cast<int32_t>(d.height);
  double factor = d.resolution_unit == 3 ? 2.54 : d.resolution_unit == 1 ? 0 : 1;
  const double xres = std::isfinite(d.x_resolution) ? d.x_resolution * factor : 0;
  const double yres = std::isfinite(d.y_resolution) ? d.y_resolution * factor : 0;
  p->x_resolution = xres;
  p->y_resolution = yres;
  p->resolution_known = xres > 0;
  p->aspect_x = p->aspect_y = 1;
  if (d.x_resolution > 0 && d.y_resolution > 0) {
    const double ratio = std::round(d.y_resolution / d.x_resolution * 100);
    p->aspect_x = static_cast<int32_t>(std::min(std::max(ratio, 1.0), 100000.0));
    p->aspect_y = 100;
  } else if ((d.width == 320 && d.height == 200) || (d.width == 360 && d.height == 480) ||
             (d.width == 640 &&
              (d.height == 200 || d.height == 350 || d.height == 400 || d.height == 480))) {
    p->aspect_x = static_cast<int32_t>(4 * d.height);
    p->aspect_y = static_cast<int32_t>(3 * d.width);
  }
  p->planes = 1;
  p->reported1 = 1;
  p->bits_per_sample = d.bits == 16 && p->color_model != IFF_CM_RGBA &&
                               p->color_model != IFF_CM_CMYK && d.photometric != 3
                           ? 16
                           : 8;
  if (d.samples == 1 && d.bits == 1) p->secondary_model = IFF_CM_BILEVEL;
  static const int kOrient[9][2] = {{0, 0}, {0, 0}, {0, 1}, {2, 1}, {2, 0},
                                    {1, 1}, {1, 0}, {3, 1}, {3, 0}};
  const uint32_t o = d.orientation <= 8 ? d.orientation : 0;
  p->orientation = kOrient[o][0];
  p->mirrored = kOrient[o][1];
  s->mirrored = p->mirrored;
}

// The grey map of 1 to 8-bit grey, when there is one: from a response
// curve, or the inverted ramp of white-is-zero.
void MakeGrayMap(TiffState *s) {
  const Directory &d = s->dir;
  s->has_gray_map = false;
  if (d.bits > 8 || (d.photometric != 0 && d.photometric != 1) || d.samples < 1) return;
  const uint32_t entries = 1u << d.bits;
  if (d.gray_curve.size() >= entries) {
    const double unit = std::pow(10.0, static_cast<double>(std::min<uint32_t>(d.gray_unit, 9)));
    for (uint32_t i = 0; i < entries; ++i) {
      const double density = static_cast<double>(d.gray_curve[i]) / unit;
      const double v = std::pow(10.0, -density) * 65535;
      s->gray_map[i] =
          static_cast<uint8_t>(static_cast<int>(std::min(std::max(v, 0.0), 65535.0)) >> 8);
    }
    s->has_gray_map = true;
  } else if (d.photometric == 0) {
    const uint32_t top = entries - 1;
    for (uint32_t i = 0; i < entries; ++i)
      s->gray_map[i] = static_cast<uint8_t>(static_cast<int>((top - i) * (65535 / top)) >> 8);
    s->has_gray_map = true;
  }
}

// The samples of one stored row to the pixels the interface takes.
void Deliver(TiffState *s, const uint8_t *row, uint8_t *line) {
  const Directory &d = s->dir;
  const uint32_t w = d.width, spp = d.samples, bits = d.bits;
  const uint32_t photometric = d.photometric;
  if (bits < 8) {
    // Spread packed samples, keeping the first sample of each pixel.
    const uint32_t mask = (1u << bits) - 1;
    uint64_t bit = 0;
    const uint32_t keep = photometric == 2 || photometric == 6 ? 3 : photometric == 5 ? 4 : 1;
    const uint32_t kept = std::min(keep, spp);
    uint8_t *o = line;
    for (uint32_t x = 0; x < w; ++x) {
      for (uint32_t k = 0; k < spp; ++k, bit += bits) {
        if (k >= kept) continue;
        const uint64_t byte = bit >> 3;
        const uint32_t shift = static_cast<uint32_t>(16 - bits - (bit & 7));
        const uint32_t word =
            static_cast<uint32_t>(row[byte]) << 8 | (byte + 1 < s->row_bytes ? row[byte + 1] : 0);
        *o++ = static_cast<uint8_t>((word >> shift) & mask);
      }
    }
    if (photometric != 3) {
      const size_t n = static_cast<size_t>(o - line);
      if (s->has_gray_map) {
        for (size_t i = 0; i < n; ++i) line[i] = s->gray_map[line[i]];
      } else if (bits == 1) {
        for (size_t i = 0; i < n; ++i) line[i] = line[i] ? 255 : 0;
      } else {
        for (size_t i = 0; i < n; ++i) line[i] = static_cast<uint8_t>(line[i] * 255 / mask);
      }
    }
    if (photometric == 2 && spp >= 4) {
      // Colour with an extra sample below 8 bits: shown opaque.
      for (uint32_t x = w; x-- > 0;) {
        line[4 * x + 3] = 255;
        line[4 * x + 2] = line[3 * x];
        line[4 * x + 1] = line[3 * x + 1];
        line[4 * x] = line[3 * x + 2];
      }
    }
    return;
  }
  const uint32_t keep = photometric == 2   ? std::min<uint32_t>(spp, 4)
                        : photometric == 5 ? 4
                        : photometric == 6 ? 3
                                           : 1;
  if (bits == 8) {
    if (keep == spp) {
      memcpy(line, row, static_cast<size_t>(w) * spp);
    } else {
      for (uint32_t x = 0; x < w; ++x)
        for (uint32_t k = 0; k < keep; ++k) line[x * keep + k] = row[x * spp + k];
    }
    if (s->has_gray_map)
      for (uint32_t x = 0; x < w; ++x) line[x] = s->gray_map[line[x]];
  } else {
    // 16 bits: grey and RGB go low byte first to the interface, which
    // reduces them; the four-sample forms are reduced here.
    const bool wide = photometric == 0 || photometric == 1 || (photometric == 2 && keep == 3);
    const int hi = s->big_endian ? 0 : 1;
    for (uint32_t x = 0; x < w; ++x)
      for (uint32_t k = 0; k < keep; ++k) {
        const uint8_t *p = row + 2 * (size_t{x} * spp + k);
        if (wide) {
          uint16_t v = static_cast<uint16_t>(p[hi] << 8 | p[1 - hi]);
          if (photometric == 0) v = static_cast<uint16_t>(65535 - v);
          IfuPutLe16(line + 2 * (size_t{x} * keep + k), v);
        } else {
          line[x * keep + k] = p[hi];
        }
      }
  }
  if (photometric == 2 && keep == 4) {
    uint8_t *p = line;
    for (uint32_t x = 0; x < w; ++x, p += 4) {
      const unsigned a = p[3];
      const uint8_t r = p[0];
      if (a == 255) {
        p[0] = p[2];
        p[2] = r;
      } else {
        p[0] = static_cast<uint8_t>(p[2] * a / 255);
        p[1] = static_cast<uint8_t>(p[1] * a / 255);
        p[2] = static_cast<uint8_t>(r * a / 255);
      }
    }
  }
}

void ReversePixels(uint8_t *line, uint32_t width, uint32_t bytes) {
  for (uint32_t a = 0, b = width ? width - 1 : 0; a < b; ++a, --b)
    for (uint32_t k = 0; k < bytes; ++k) std::swap(line[a * bytes + k], line[b * bytes + k]);
}

void ResetReading(TiffState *s) {
  s->next_line = 0;
  s->strip = 0;
  s->strip_lines = 0;
  s->blank_strip = false;
  s->damage_warned = false;
  if (s->fax) IfuCodecTerm(&s->fax);
  s->tile_rows.clear();
  s->tile_rows.shrink_to_fit();
}

}  // namespace

ReturnTp IfdTiffInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return TIFF_FAIL(CMN_E_INVALID_ARG);
  *state = nullptr;
  request->recognised = 0;
  BrokenTiffJpeg = getenv("PVBROKENTIFFJPEG") != nullptr;
  if (request->service != IFF_SRV_IMPORT && request->service != IFF_SRV_EXPORT)
    return TIFF_FAIL(CMN_E_INVALID_ARG);
  std::unique_ptr<TiffState> s(new (std::nothrow) TiffState());
  if (!s) return TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  s->service = request->service;
  if (request->service == IFF_SRV_EXPORT) {
    ReturnTp rc = IfiOpenWrite(&request->spec, &s->handle);
    if (rc) return TiffErrno = rc;
    // The directory's place is known only at the end: a file that can seek
    // gets it written into the header then; other output is kept until then.
    if (s->handle->seekable) s->handle->direct = 1;
    if (s->handle->seekable) {
      const uint8_t header[8] = {'I', 'I', 42, 0, 8, 0, 0, 0};
      if (IfiWrite(header, sizeof header, 1, s->handle)) {
        IfiClose(s->handle);
        return TIFF_FAIL(IFD_E_WRITE_HEADER);
      }
      s->header_written = true;
    }
    *state = s.release();
    return 0;
  }
  s->handle = request->stream;
  if (!s->handle) {
    ReturnTp rc = IfiOpenRead(nullptr, &request->spec, &s->handle);
    if (rc) return TiffErrno = rc;
  }
  uint8_t header[8];
  if (!ReadAt(s.get(), 0, header, sizeof header) ||
      !((header[0] == 'I' && header[1] == 'I') || (header[0] == 'M' && header[1] == 'M'))) {
    if (!request->stream) IfiClose(s->handle);
    return TIFF_FAIL(TIFF_E_NOT_TIFF);
  }
  s->big_endian = header[0] == 'M';
  if (Get16(s.get(), header + 2) != 42) {
    if (!request->stream) IfiClose(s->handle);
    return TIFF_FAIL(TIFF_E_NOT_TIFF);
  }
  s->first_ifd = Get32(s.get(), header + 4);
  if (s->first_ifd == 0) {
    if (!request->stream) IfiClose(s->handle);
    return TIFF_FAIL(TIFF_E_INVALID);
  }
  request->recognised = 1;
  *state = s.release();
  return 0;
}

ReturnTp IfdTiffRdHead(void *state, IffParamTp *p) {
  auto *s = static_cast<TiffState *>(state);
  if (!s || !p || s->service != IFF_SRV_IMPORT) return TIFF_FAIL(CMN_E_INVALID_ARG);
  ResetReading(s);
  const std::vector<uint32_t> chain = Chain(s);
  const int32_t count = static_cast<int32_t>(chain.size());
  int32_t page = p->page < 1 ? 1 : p->page;
  // Not a single directory: the file ends before its first one.
  if (count == 0) return DirectoryMissing(s, __LINE__, s->first_ifd);
  if (page > count) return IFF_I_NO_MORE_PAGES;
  if (const char *env = getenv("PV_IMAGE_NUMBER")) {
    const long n = strtol(env, nullptr, 10);
    if (n > 1) page = static_cast<int32_t>(std::min<long>(page + n - 1, count));
  }
  s->current_ifd = chain[static_cast<size_t>(page - 1)];
  ReturnTp rc;
  try {
    rc = ParseDirectory(s, s->current_ifd);
  } catch (const std::bad_alloc &) {
    rc = TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  }
  if (rc) return rc;
  const Directory &d = s->dir;
  if (d.width == 0 || d.height == 0) return NoMorePages(__LINE__);
  FXIBitsPerPixel = static_cast<int32_t>(d.samples * d.bits);
  switch (d.compression) {
    case kNone:
      FXICompression = 0;
      break;
    case kModifiedHuffman:
      FXICompression = 11;
      break;
    case kGroup3:
      FXICompression = (d.t4 & 1) ? 10 : 8;  // two-dimensional coding named as such
      break;
    case kGroup4:
      FXICompression = 9;
      break;
    case kLzw:
      FXICompression = 1;
      break;
    case kOldJpeg:
      FXICompression = d.jpeg_proc == 14 ? 4 : 5;
      break;
    case kJpeg:
      FXICompression = 5;
      break;
    case kPackBits:
      FXICompression = 12;  // TIFF's own name for its run-length coding
      break;
    default:
      break;
  }
  p->page_count = count;
  rc = SetUpLayout(s, p);
  if (rc) return rc;
  FillHeader(s, p);
  MakeGrayMap(s);
  const uint32_t photometric = d.photometric;
  if (photometric == 3) {
    p->has_cmap = 1;
    p->cmap_entries = 1 << d.bits;
  } else if (s->has_gray_map) {
    p->has_cmap = 1;
    p->cmap_entries = 1 << d.bits;
  }
  // Bytes per delivered pixel.
  const bool wide = d.bits == 16;
  switch (p->color_model) {
    case IFF_CM_GRAY:
      s->out_bytes = 1;
      break;
    case IFF_CM_RGB:
      s->out_bytes = photometric == 3 ? 1 : 3;
      break;
    case IFF_CM_YCBCR:
      s->out_bytes = 3;
      break;
    default:
      s->out_bytes = 4;
      break;
  }
  p->bytes_per_pixel = static_cast<int32_t>(s->out_bytes);
  if (wide && (p->color_model == IFF_CM_GRAY || (p->color_model == IFF_CM_RGB && photometric == 2)))
    p->bytes_per_pixel *= 2;
  s->line_bytes = static_cast<uint32_t>(p->bytes_per_pixel);
  s->reverse_input =
      d.fill_order == 2 && !IsFax(d.compression) && (d.compression != kNone || d.bits < 8);
  // Fax strips without a response curve go from runs straight to grey
  // (white 255, black 0, as the map of either photometric gives them).
  s->fax_direct = IsFax(d.compression) && !d.tiled && d.gray_curve.empty();
  const uint64_t row = d.tiled ? s->tiles_across * s->tile_row_bytes : s->row_bytes;
  try {
    s->row.assign(static_cast<size_t>(row + 8), 0);
  } catch (const std::bad_alloc &) {
    return TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  }
  return 0;
}

ReturnTp IfdTiffRdCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<TiffState *>(state);
  if (!s || !p || !p->cmap) return TIFF_FAIL(CMN_E_INVALID_ARG);
  const Directory &d = s->dir;
  if (d.photometric == 3) {
    const size_t n = size_t{1} << d.bits;
    bool eight = getenv("QPL_8_TIF") != nullptr;
    if (!eight) {
      eight = true;
      for (size_t i = 0; i < 3 * n; ++i)
        if (d.colormap[i] > 255) eight = false;
    }
    for (size_t i = 0; i < n; ++i)
      for (size_t c = 0; c < 3; ++c) {
        const uint64_t v = d.colormap[c * n + i];
        p->cmap[3 * i + c] = static_cast<uint8_t>(eight ? v : v >> 8);
      }
    return 0;
  }
  if (s->has_gray_map) {
    memcpy(p->cmap, s->gray_map, size_t{1} << d.bits);
    return 0;
  }
  if (d.photometric == 1) return TIFF_FAIL(CMN_E_INVALID_STATE);
  if (d.photometric == 2) return TIFF_FAIL(CMN_E_INVALID_STATE);
  return TIFF_FAIL(CMN_E_INVALID_ARG);
}

ReturnTp IfdTiffRdScan(void *state, IffParamTp *p) {
  auto *s = static_cast<TiffState *>(state);
  if (!s || !p || !p->buffer || s->service != IFF_SRV_IMPORT) return TIFF_FAIL(CMN_E_INVALID_ARG);
  const Directory &d = s->dir;
  if (p->line < 0 || static_cast<uint32_t>(p->line) >= d.height ||
      static_cast<uint32_t>(s->next_line) >= d.height)
    return TIFF_FAIL(IFD_E_IMPORT_SEQUENCE);
  if (s->strip_lines == 0) {
    const uint32_t rows = RowsInStrip(s, s->strip);
    if (d.tiled) {
      const uint64_t stride = s->tiles_across * s->tile_row_bytes;
      ReturnTp rc = 0;
      try {
        s->tile_rows.resize(static_cast<size_t>(stride * rows));
        rc = LoadTileRow(s, rows);
      } catch (const std::bad_alloc &) {
        rc = TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
      }
      if (rc) return rc;
      s->tile_row_at = 0;
    } else {
      ReturnTp rc = OpenData(s, s->strip, d.width, rows);
      if (rc) return rc;
    }
    s->strip_lines = rows;
    ++s->strip;
  }
  ReturnTp rc = 0;
  if (s->fax_direct) {
    rc = FaxDirectRow(s, p->buffer);
  } else {
    const uint8_t *row;
    if (d.tiled) {
      const uint64_t stride = s->tiles_across * s->tile_row_bytes;
      row = &s->tile_rows[static_cast<size_t>(s->tile_row_at++ * stride)];
    } else {
      rc = ProduceRows(s, s->row.data(), s->row_bytes, 1, d.width);
      row = s->row.data();
    }
    if (!rc) Deliver(s, row, p->buffer);
  }
  if (rc) return rc;
  if (s->mirrored) ReversePixels(p->buffer, d.width, s->line_bytes);
  --s->strip_lines;
  ++s->next_line;
  return 0;
}

// ---- Writing ---------------------------------------------------------------

namespace {

// The TIFF LZW encoder: Clear first, codes most significant bit first,
// Clear again when the table is about to fill.
struct LzwEncoder {
  static constexpr int kSize = 5003;  // prime, above 4096
  int32_t keys[kSize];
  uint16_t codes[kSize];
  int32_t next = 258, ent = -1;
  uint64_t acc = 0;
  int32_t nacc = 0;
  std::vector<uint8_t> *out;

  explicit LzwEncoder(std::vector<uint8_t> *o) : out(o) {
    Clear();
    Put(256);
  }
  int Width(int32_t n) const { return n < 512 ? 9 : n < 1024 ? 10 : n < 2048 ? 11 : 12; }
  void Clear() {
    std::fill(keys, keys + kSize, -1);
    next = 258;
  }
  void Put(int32_t code) {
    const int w = Width(next);
    acc = acc << w | static_cast<uint32_t>(code);
    nacc += w;
    while (nacc >= 8) {
      nacc -= 8;
      out->push_back(static_cast<uint8_t>(acc >> nacc));
    }
  }
  void Add(const uint8_t *data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      const uint8_t c = data[i];
      if (ent < 0) {
        ent = c;
        continue;
      }
      const int32_t key = ent << 8 | c;
      uint32_t h = static_cast<uint32_t>((c << 4) ^ ent) % kSize;
      while (keys[h] >= 0 && keys[h] != key) h = h + 1 == kSize ? 0 : h + 1;
      if (keys[h] == key) {
        ent = codes[h];
        continue;
      }
      Put(ent);
      if (next >= 4094) {
        Put(256);
        Clear();
      } else {
        keys[h] = key;
        codes[h] = static_cast<uint16_t>(next++);
      }
      ent = c;
    }
  }
  void Finish() {
    if (ent >= 0) {
      Put(ent);
      // The reader adds an entry for this code before it reads the end.
      if (next + 1 >= 4094) {
        ++next;
        Put(256);
        Clear();
      } else {
        ++next;
      }
    }
    Put(257);
    if (nacc > 0) out->push_back(static_cast<uint8_t>(acc << (8 - nacc)));
    nacc = 0;
  }
};

void PackBitsEncode(const uint8_t *in, size_t n, std::vector<uint8_t> *out) {
  size_t i = 0;
  while (i < n) {
    size_t run = 1;
    while (i + run < n && run < 128 && in[i + run] == in[i]) ++run;
    if (run >= 2) {
      out->push_back(static_cast<uint8_t>(1 - static_cast<int>(run)));
      out->push_back(in[i]);
      i += run;
      continue;
    }
    size_t lit = 1;
    while (i + lit < n && lit < 128 && !(i + lit + 1 < n && in[i + lit] == in[i + lit + 1])) ++lit;
    out->push_back(static_cast<uint8_t>(lit - 1));
    out->insert(out->end(), in + i, in + i + lit);
    i += lit;
  }
}

ReturnTp AppendOutput(void *arg, const uint8_t *data, int32_t length) {
  auto *v = static_cast<std::vector<uint8_t> *>(arg);
  v->insert(v->end(), data, data + length);
  return 0;
}

uint64_t WriteRowBytes(const TiffState *s) {
  return (uint64_t{s->w_samples} * static_cast<uint64_t>(s->width) * s->w_bits + 7) / 8;
}

// Bytes after the header: straight to a file that can seek, else kept.
ReturnTp Emit(TiffState *s, const void *data, size_t n) {
  if (n == 0) return 0;
  if (s->header_written) {
    if (IfiWrite(data, n, 1, s->handle)) return TIFF_FAIL(IFD_E_WRITE_LINE);
  } else {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    s->spool.insert(s->spool.end(), p, p + n);
  }
  s->file_at += n;
  return 0;
}

ReturnTp EmitJpeg(void *arg, const uint8_t *data, int32_t length) {
  return Emit(static_cast<TiffState *>(arg), data, static_cast<size_t>(length));
}

// The JPEG strip is complete: its place and length, then a word boundary.
ReturnTp FinishJpeg(TiffState *s) {
  ReturnTp rc = IfuCodecFinish(s->w_jpeg);
  IfuCodecTerm(&s->w_jpeg);
  if (rc) return rc;
  s->w_offsets.push_back(s->w_jpeg_start);
  s->w_counts.push_back(s->file_at - s->w_jpeg_start);
  if (s->file_at & 1) {
    const uint8_t zero = 0;
    rc = Emit(s, &zero, 1);
  }
  return rc;
}

// Compresses and writes the strip that has been filled.
ReturnTp FlushStrip(TiffState *s) {
  if (s->strip_fill == 0) return 0;
  const uint64_t rb = WriteRowBytes(s);
  const size_t n = static_cast<size_t>(rb * s->strip_fill);
  s->packed.clear();
  const uint8_t *data = s->strip_buffer.data();
  size_t length = n;
  switch (s->w_compression) {
    case kLzw: {
      std::unique_ptr<LzwEncoder> e(new (std::nothrow) LzwEncoder(&s->packed));
      if (!e) return TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
      e->Add(data, n);
      e->Finish();
      data = s->packed.data();
      length = s->packed.size();
      break;
    }
    case kPackBits:
      for (uint32_t r = 0; r < s->strip_fill; ++r) PackBitsEncode(data + r * rb, rb, &s->packed);
      data = s->packed.data();
      length = s->packed.size();
      break;
    case kModifiedHuffman:
    case kGroup3:
    case kGroup4: {
      FaxParamTp *p = nullptr;
      ReturnTp rc = IfuCodecCreateParam(&FaxCodecOps, reinterpret_cast<void **>(&p));
      if (rc) return rc;
      p->mode = s->w_compression == kGroup4   ? FAX_MODE_G4
                : s->w_compression == kGroup3 ? FAX_MODE_G3_1D
                                              : FAX_MODE_MH;
      p->columns = s->width;
      p->rows = static_cast<int32_t>(s->strip_fill);
      p->group3 = s->w_compression == kGroup3;
      p->end_of_line = s->w_compression == kGroup3;
      p->byte_align = s->w_compression == kModifiedHuffman;
      p->black_is_one = 1;
      IfuCodecTp *codec = nullptr;
      rc = IfuCodecOpenEncoder(nullptr, &FaxCodecOps, p, AppendOutput, &s->packed, &codec);
      if (!rc) rc = IfuCodecWrite(codec, data, static_cast<int32_t>(n));
      if (!rc) rc = IfuCodecFinish(codec);
      if (codec) IfuCodecTerm(&codec);
      if (rc) return rc;
      data = s->packed.data();
      length = s->packed.size();
      break;
    }
    default:
      break;
  }
  s->w_offsets.push_back(s->file_at);
  s->w_counts.push_back(length);
  ReturnTp rc = Emit(s, data, length);
  if (rc) return rc;
  // Values and directories start on a word boundary.
  if (s->file_at & 1) {
    const uint8_t zero = 0;
    rc = Emit(s, &zero, 1);
  }
  s->strip_fill = 0;
  return rc;
}

// One directory entry and the bytes of its values beyond the entry.
struct OutEntry {
  uint16_t tag, type;
  std::vector<uint32_t> values;
};

ReturnTp WriteDirectory(TiffState *s) {
  std::vector<OutEntry> e;
  auto one = [&](uint16_t tag, uint16_t type, uint32_t v) { e.push_back({tag, type, {v}}); };
  one(kImageWidth, 4, static_cast<uint32_t>(s->width));
  one(kImageLength, 4, static_cast<uint32_t>(s->height));
  e.push_back({kBitsPerSample, 3, std::vector<uint32_t>(s->w_samples, s->w_bits)});
  one(kCompression, 3, s->w_compression);
  one(kPhotometric, 3, s->w_photometric);
  std::vector<uint32_t> offsets(s->w_offsets.begin(), s->w_offsets.end());
  std::vector<uint32_t> counts(s->w_counts.begin(), s->w_counts.end());
  e.push_back({kStripOffsets, 4, offsets});
  if (s->w_orientation != 1) one(kOrientation, 3, s->w_orientation);
  one(kSamplesPerPixel, 3, s->w_samples);
  one(kRowsPerStrip, 4, s->w_rows_per_strip);
  e.push_back({kStripByteCounts, 4, counts});
  e.push_back({kXResolution, 5, {s->xres[0], s->xres[1]}});
  e.push_back({kYResolution, 5, {s->yres[0], s->yres[1]}});
  if (s->w_photometric == 2 || s->w_photometric == 6) one(kPlanarConfig, 3, 1);
  if (s->w_compression == kGroup3) one(kT4Options, 4, 0);
  if (s->w_compression == kGroup4) one(kT6Options, 4, 0);
  if (s->w_photometric == 3)
    e.push_back({kColorMap, 3, std::vector<uint32_t>(s->w_colormap.begin(), s->w_colormap.end())});
  if (s->w_photometric == 6) {
    // The JFIF conversion, and its full-range reference values.
    e.push_back({kYCbCrCoefficients, 5, {299, 1000, 587, 1000, 114, 1000}});
    e.push_back({kYCbCrSubSampling, 3, {s->w_ycbcr_sub[0], s->w_ycbcr_sub[1]}});
    e.push_back({kReferenceBlackWhite, 5, {0, 1, 255, 1, 128, 1, 255, 1, 128, 1, 255, 1}});
  }

  // Directory first, its long values right behind it.
  const uint64_t ifd = s->file_at;
  const uint64_t table = ifd + 2 + 12 * e.size() + 4;
  std::vector<uint8_t> head, tail;
  auto put16 = [](std::vector<uint8_t> &v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
  };
  auto put32 = [&](std::vector<uint8_t> &v, uint32_t x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
  };
  put16(head, static_cast<uint32_t>(e.size()));
  for (const OutEntry &x : e) {
    const uint32_t size = x.type == 3 ? 2 : 4;
    const uint32_t count = x.type == 5 ? static_cast<uint32_t>(x.values.size() / 2)
                                       : static_cast<uint32_t>(x.values.size());
    put16(head, x.tag);
    put16(head, x.type);
    put32(head, count);
    std::vector<uint8_t> bytes;
    for (uint32_t v : x.values) {
      if (size == 2)
        put16(bytes, v);
      else
        put32(bytes, v);
    }
    if (bytes.size() <= 4) {
      bytes.resize(4, 0);
      head.insert(head.end(), bytes.begin(), bytes.end());
    } else {
      if (table + tail.size() > UINT32_MAX) return TIFF_FAIL(IFD_E_WRITE_HEADER);
      put32(head, static_cast<uint32_t>(table + tail.size()));
      tail.insert(tail.end(), bytes.begin(), bytes.end());
    }
  }
  put32(head, 0);
  if (ifd > UINT32_MAX) return TIFF_FAIL(IFD_E_WRITE_HEADER);
  ReturnTp rc = Emit(s, head.data(), head.size());
  if (!rc) rc = Emit(s, tail.data(), tail.size());
  if (rc) return rc;
  uint8_t offset[4] = {static_cast<uint8_t>(ifd), static_cast<uint8_t>(ifd >> 8),
                       static_cast<uint8_t>(ifd >> 16), static_cast<uint8_t>(ifd >> 24)};
  if (s->header_written) {
    if (IfiSeek(s->handle, 4, 0) || IfiWrite(offset, 4, 1, s->handle))
      return TIFF_FAIL(IFD_E_WRITE_HEADER);
    return 0;
  }
  const uint8_t header[4] = {'I', 'I', 42, 0};
  if (IfiWrite(header, 4, 1, s->handle) || IfiWrite(offset, 4, 1, s->handle) ||
      (!s->spool.empty() && IfiWrite(s->spool.data(), s->spool.size(), 1, s->handle)))
    return TIFF_FAIL(IFD_E_WRITE_HEADER);
  return 0;
}

}  // namespace

namespace {

// JPEG (new style): the whole picture one strip of one JPEG stream,
// baseline colour as YCbCr (the sampling from the request's third word:
// 1 1x1, 4 2x2, else 2x1), lossless as the samples are; grey and
// bilevel lines are coded as grey.
ReturnTp StartJpeg(TiffState *s, IffParamTp *p) {
  const bool lossless = p->compression[0] == 4;
  const bool colour = s->w_samples == 3;
  s->w_bits = 8;
  s->w_photometric = colour ? (lossless ? 2 : 6) : 1;
  s->w_rows_per_strip = static_cast<uint32_t>(s->height);
  JpegParamTp *jp = nullptr;
  ReturnTp rc = IfuCodecCreateParam(&JpegCodecOps, reinterpret_cast<void **>(&jp));
  if (rc) return rc;
  jp->mode = lossless ? JPEG_LOSSLESS : JPEG_BASELINE;
  jp->color = colour ? JPEG_RGB : JPEG_GRAY;
  jp->h_samp = p->compression[2] == 1 ? 1 : 2;
  jp->v_samp = p->compression[2] == 4 ? 2 : 1;
  s->w_ycbcr_sub[0] = static_cast<uint32_t>(jp->h_samp);
  s->w_ycbcr_sub[1] = static_cast<uint32_t>(jp->v_samp);
  jp->quality = p->compression[1] >= 1 && p->compression[1] <= 20
                    ? static_cast<int32_t>(p->compression[1])
                    : 10;
  jp->depth = 8;
  jp->width = s->width;
  jp->height = s->height;
  s->w_jpeg_start = s->file_at;
  s->strip_buffer.assign(1, 0);  // marks the export as started; rows go to the codec
  rc = IfuCodecOpenEncoder(nullptr, &JpegCodecOps, jp, EmitJpeg, s, &s->w_jpeg);
  if (rc) return rc;
  s->next_line = 0;
  return 0;
}

}  // namespace

ReturnTp IfdTiffWtHead(void *state, IffParamTp *p) {
  auto *s = static_cast<TiffState *>(state);
  if (!s || !p || s->service != IFF_SRV_EXPORT) return TIFF_FAIL(CMN_E_INVALID_ARG);
  s->width = p->width;
  s->height = p->height;
  s->w_model = p->color_model;
  switch (p->compression[0]) {
    case 0:
      s->w_compression = kNone;
      break;
    case 1:
      s->w_compression = kLzw;
      break;
    case 2:
    case 12:
      s->w_compression = kPackBits;
      break;
    case 4:
    case 5:
      s->w_compression = kJpeg;
      break;
    case 8:
      s->w_compression = kGroup3;
      break;
    case 9:
      s->w_compression = kGroup4;
      break;
    case 11:
      s->w_compression = kModifiedHuffman;
      break;
    default:
      return TIFF_FAIL(CMN_E_INVALID_ARG);
  }
  const bool fax = IsFax(s->w_compression);
  const bool jpeg = s->w_compression == kJpeg;
  if (jpeg && (p->has_cmap || p->color_model == IFF_CM_PALETTE))
    return TIFF_FAIL(IFD_E_COMPRESSION);
  switch (p->color_model) {
    case IFF_CM_GRAY:
    case IFF_CM_BILEVEL:
      s->w_samples = 1;
      s->w_photometric = fax ? 0 : 1;
      s->w_bits = p->color_model == IFF_CM_BILEVEL || fax ? 1 : p->bits_per_sample > 8 ? 16 : 8;
      break;
    case IFF_CM_RGB:
    case IFF_CM_PALETTE:
      if (fax) {
        s->w_samples = 1;
        s->w_photometric = 0;
        s->w_bits = 1;
      } else if (p->has_cmap) {
        s->w_samples = 1;
        s->w_photometric = 3;
        const int32_t n = p->cmap_entries;
        s->w_cmap_entries = n;
        s->w_bits = n <= 2 ? 1 : n <= 16 ? 4 : 8;
      } else {
        s->w_samples = 3;
        s->w_photometric = 2;
        s->w_bits = 8;
      }
      break;
    default:
      return TIFF_FAIL(CMN_E_INVALID_ARG);
  }
  if (s->w_bits == 16) s->w_bits = 8;  // the lines handed over hold 8-bit samples
  if (p->orientation < 0 || p->orientation > 3 || p->mirrored < 0 || p->mirrored > 1)
    return TIFF_FAIL(CMN_E_INVALID_ARG);
  // The inverse of the reading table: bottom-up rows are TIFF 4, and
  // bottom-up mirrored rows (a half turn) TIFF 3.
  static const uint32_t kOrient[2][4] = {{1, 6, 4, 8}, {2, 5, 3, 7}};
  s->w_orientation = kOrient[p->mirrored][p->orientation];
  if (p->x_resolution > 0) {
    const double x = std::round(p->x_resolution * 1000);
    const double y = std::round((p->y_resolution > 0 ? p->y_resolution : p->x_resolution) * 1000);
    s->xres[0] = static_cast<uint32_t>(std::min(x, 4.0e9));
    s->yres[0] = static_cast<uint32_t>(std::min(y, 4.0e9));
    s->xres[1] = s->yres[1] = 1000;
  } else if (p->aspect_y > 10) {
    s->xres[0] = static_cast<uint32_t>(p->aspect_y);
    s->yres[0] = static_cast<uint32_t>(p->aspect_x);
  } else if (p->aspect_y > 0) {
    s->xres[0] = 72;
    s->yres[0] =
        static_cast<uint32_t>(std::max<int64_t>(int64_t{p->aspect_x} * 72 / p->aspect_y, 1));
  }
  const uint64_t rb = WriteRowBytes(s);
  if (rb == 0 || rb > UINT32_MAX) return TIFF_FAIL(CMN_E_INVALID_ARG);
  if (jpeg) return StartJpeg(s, p);
  s->w_rows_per_strip = static_cast<uint32_t>(
      std::min<uint64_t>({0x7FFFFF / rb + 1, 32767, static_cast<uint64_t>(s->height)}));
  try {
    s->strip_buffer.assign(static_cast<size_t>(rb * s->w_rows_per_strip), 0);
  } catch (const std::bad_alloc &) {
    return TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  }
  s->next_line = 0;
  return 0;
}

ReturnTp IfdTiffWtCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<TiffState *>(state);
  if (!s || !p || !p->cmap || s->service != IFF_SRV_EXPORT) return TIFF_FAIL(CMN_E_INVALID_ARG);
  if (s->w_photometric != 3) return 0;  // a map of lines written as grey or bilevel
  const size_t n = size_t{1} << s->w_bits;
  const size_t given = static_cast<size_t>(std::max(s->w_cmap_entries, 0));
  s->w_colormap.assign(3 * n, 0);
  for (size_t i = 0; i < n && i < given; ++i)
    for (size_t c = 0; c < 3; ++c)
      s->w_colormap[c * n + i] = static_cast<uint16_t>(p->cmap[3 * i + c] * 257);
  return 0;
}

ReturnTp IfdTiffWtScan(void *state, IffParamTp *p) {
  auto *s = static_cast<TiffState *>(state);
  if (!s || !p || !p->buffer || s->service != IFF_SRV_EXPORT || s->strip_buffer.empty())
    return TIFF_FAIL(CMN_E_INVALID_ARG);
  if (p->line != s->next_line || p->line >= s->height) return TIFF_FAIL(CMN_E_INVALID_ARG);
  if (s->w_compression == kJpeg) {
    if (!s->w_jpeg) return TIFF_FAIL(CMN_E_INVALID_ARG);
    ReturnTp rc = IfuCodecWrite(s->w_jpeg, p->buffer, static_cast<int32_t>(WriteRowBytes(s)));
    if (rc) return rc;
    ++s->next_line;
    return s->next_line == s->height ? FinishJpeg(s) : 0;
  }
  const uint64_t rb = WriteRowBytes(s);
  uint8_t *row = &s->strip_buffer[static_cast<size_t>(rb * s->strip_fill)];
  const uint8_t *in = p->buffer;
  const int32_t w = s->width;
  if (s->w_photometric == 2 || (s->w_bits == 8 && s->w_photometric != 0)) {
    memcpy(row, in, static_cast<size_t>(rb));
  } else {
    // Packed samples; a bilevel or thresholded pixel is set where it is
    // white (black-is-zero) or black (white-is-zero).
    memset(row, 0, static_cast<size_t>(rb));
    const bool rgb = s->w_model == IFF_CM_RGB && s->w_photometric == 0 && s->w_colormap.empty();
    for (int32_t x = 0; x < w; ++x) {
      uint32_t v;
      if (s->w_photometric == 3) {
        v = in[x];
      } else {
        const uint32_t g =
            rgb ? (in[3 * x] * 77u + in[3 * x + 1] * 150u + in[3 * x + 2] * 29u) >> 8 : in[x];
        const uint32_t white = g >= 128;
        v = s->w_photometric == 0 ? !white : white;
      }
      const uint64_t bit = uint64_t(x) * s->w_bits;
      row[bit >> 3] |= static_cast<uint8_t>(v << (8 - s->w_bits - (bit & 7)));
    }
  }
  ++s->strip_fill;
  ++s->next_line;
  if (s->strip_fill == s->w_rows_per_strip || s->next_line == s->height) return FlushStrip(s);
  return 0;
}

ReturnTp IfdTiffTerm(void **state) {
  if (!state || !*state) return 0;
  std::unique_ptr<TiffState> s(static_cast<TiffState *>(*state));
  *state = nullptr;
  ReturnTp rc = 0;
  if (s->fax) IfuCodecTerm(&s->fax);
  if (s->w_jpeg) {
    // Rows missing: the file is not finished.
    IfuCodecTerm(&s->w_jpeg);
    rc = TIFF_FAIL(IFD_E_EXPORT_SEQUENCE);
  } else if (s->service == IFF_SRV_EXPORT && !s->strip_buffer.empty()) {
    rc = FlushStrip(s.get());
    if (!rc) rc = WriteDirectory(s.get());
  }
  if (s->handle) {
    const ReturnTp closed = IfiClose(s->handle);
    if (!rc) rc = closed;
  }
  return rc;
}

const IffFormatTp IfdTiffFormat = {
    "TIFF",
    {{IFF_TYPE_TIFF, "TIFF."}},
    1,
    0,
    {IfdTiffInit, IfdTiffRdHead, IfdTiffWtHead, IfdTiffRdCMap, IfdTiffWtCMap, IfdTiffRdScan,
     IfdTiffWtScan, IfdTiffTerm},
    {{"tif", IFF_TYPE_TIFF, IFF_CM_RGB}, {"tiff", IFF_TYPE_TIFF, IFF_CM_RGB}},
    IFF_MODEL_BIT(IFF_CM_RGB) | IFF_MODEL_BIT(IFF_CM_GRAY) | IFF_MODEL_BIT(IFF_CM_BILEVEL) |
        IFF_MODEL_BIT(IFF_CM_PALETTE),
};
