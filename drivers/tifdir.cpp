// The TIFF directory: the chain of directories of a file, and the entries
// of one read into its record; the directory of a written file, in tag
// order with its long values right behind it, and the header that points
// at it.
//
// Every array of the directory grows with the bytes actually read, never
// with the count a header claims.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "tiffint.h"

#define CMN_SOURCE "tifdir"

namespace {

constexpr uint32_t kMaxEntries = 1000;
constexpr uint64_t kMaxValues = uint64_t{1} << 25;  // more strips than any legal picture has
constexpr uint32_t kMaxPages = 65535;

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
  kExtraSamples = 338,
  kSampleFormat = 339,
  kSMinSampleValue = 340,
  kSMaxSampleValue = 341,
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

// The types of an entry's values.
enum FieldType : uint16_t {
  kByte = 1,
  kAscii = 2,
  kShort = 3,
  kLong = 4,
  kRational = 5,  // two longs: numerator, denominator
  kSignedByte = 6,
  kUndefined = 7,
  kSignedShort = 8,
  kSignedLong = 9,
  kFloat = 11,
  kDouble = 12,
  kIfd = 13,
  kLong8 = 16,  // BigTIFF's offsets and counts
  kIfd8 = 18,
};

// The sizes of a directory: its entry count, an entry, an offset.
struct Layout {
  uint64_t count, entry, offset;
};
Layout LayoutOf(const TiffState *s) { return s->big ? Layout{8, 20, 8} : Layout{2, 12, 4}; }

// A count or offset of the directory's size (2, 4 or 8 bytes).
uint64_t GetN(const TiffState *s, const uint8_t *p, uint64_t n) {
  return n == 2 ? TiffGet16(s, p) : n == 4 ? TiffGet32(s, p) : TiffGet64(s, p);
}

// The entry count of the directory at offset and its next offset; false
// when the directory cannot be read.
bool DirectoryAt(TiffState *s, uint64_t offset, uint64_t *entries, uint64_t *next) {
  const Layout l = LayoutOf(s);
  uint8_t b[8];
  if (!TiffReadAt(s, offset, b, l.count)) return false;
  *entries = GetN(s, b, l.count);
  if (*entries > kMaxEntries ||
      !TiffReadAt(s, offset + l.count + l.entry * *entries, b, l.offset)) {
    *next = 0;
    return true;
  }
  *next = GetN(s, b, l.offset);
  return true;
}

int TypeSize(uint16_t type) {
  switch (type) {
    case kByte:
    case kAscii:
    case kUndefined:
    case kSignedByte:
      return 1;
    case kShort:
    case kSignedShort:
      return 2;
    case kLong:
    case kIfd:
    case kSignedLong:
    case kFloat:
      return 4;
    case kRational:
    case kLong8:
    case kIfd8:
    case kDouble:
      return 8;
    default:
      return 0;
  }
}

struct EntryTp {
  uint16_t tag, type;
  uint64_t count;
  uint8_t value[8];  // BigTIFF's entries hold 8 bytes, the others 4
};

// The values of an entry as numbers (rationals as numerator, denominator
// pairs). Arrays are read a block at a time: what is kept never exceeds
// what the file holds.
bool Values(TiffState *s, const EntryTp &e, std::vector<uint64_t> *out) {
  out->clear();
  const int size = TypeSize(e.type);
  if (size == 0 || e.count == 0) return true;
  const int unit = e.type == kRational ? 4 : size;
  if (e.count > kMaxValues) return false;
  const uint64_t total = e.count * static_cast<uint64_t>(size);
  auto decode = [&](const uint8_t *p, size_t n) {
    for (size_t i = 0; i + static_cast<size_t>(unit) <= n; i += static_cast<size_t>(unit)) {
      switch (unit) {
        case 1:
          out->push_back(p[i]);
          break;
        case 2:
          out->push_back(TiffGet16(s, p + i));
          break;
        case 4:
          out->push_back(TiffGet32(s, p + i));
          break;
        default:
          out->push_back(TiffGet64(s, p + i));
          break;
      }
    }
  };
  const uint64_t inline_bytes = LayoutOf(s).offset;
  if (total <= inline_bytes) {
    decode(e.value, static_cast<size_t>(total));
    return true;
  }
  uint64_t offset = GetN(s, e.value, inline_bytes);
  uint64_t left = total;
  uint8_t block[4096];
  while (left > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, sizeof block));
    if (!TiffReadAt(s, offset, block, n)) return false;
    decode(block, n);
    offset += n;
    left -= n;
  }
  return true;
}

uint32_t First(const std::vector<uint64_t> &v, uint32_t fallback) {
  return v.empty() ? fallback : static_cast<uint32_t>(v[0]);
}

// The first value of an entry of any numeric type as a number; NaN when
// there is none.
double Number(uint16_t type, const std::vector<uint64_t> &v) {
  if (v.empty()) return std::nan("");
  const uint64_t u = v[0];
  switch (type) {
    case kSignedByte:
      return static_cast<int8_t>(u);
    case kSignedShort:
      return static_cast<int16_t>(u);
    case kSignedLong:
      return static_cast<int32_t>(u);
    case kFloat: {
      const uint32_t bits = static_cast<uint32_t>(u);
      float f;
      memcpy(&f, &bits, 4);
      return f;
    }
    case kDouble: {
      double f;
      memcpy(&f, &u, 8);
      return f;
    }
    case kRational:
      return v.size() > 1 && v[1] ? static_cast<double>(u) / static_cast<double>(v[1])
                                  : std::nan("");
    default:
      return static_cast<double>(u);
  }
}

double Rational(const std::vector<uint64_t> &v) {
  if (v.size() < 2 || v[1] == 0) return 0;
  return static_cast<double>(v[0]) / static_cast<double>(v[1]);
}

// One directory entry and the bytes of its values beyond the entry.
struct OutEntry {
  uint16_t tag, type;
  std::vector<uint64_t> values;
};
}  // namespace

uint16_t TiffGet16(const TiffState *s, const uint8_t *p) {
  return s->big_endian ? static_cast<uint16_t>(p[0] << 8 | p[1]) : IfuGetLe16(p);
}
uint32_t TiffGet32(const TiffState *s, const uint8_t *p) {
  return s->big_endian ? IfuGetBe32(p)
                       : static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) |
                             static_cast<uint32_t>(p[3]) << 24;
}

uint64_t TiffGet64(const TiffState *s, const uint8_t *p) {
  const uint64_t a = TiffGet32(s, p), b = TiffGet32(s, p + 4);
  return s->big_endian ? a << 32 | b : b << 32 | a;
}

bool TiffReadAt(TiffState *s, uint64_t offset, void *buffer, size_t n) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  if (IfiSeek(s->handle, static_cast<int64_t>(offset), 0)) return false;
  return IfiFetch(buffer, 1, n, s->handle) == n;
}

// The directories of the chain, first to last, stopping where it loops.
std::vector<uint64_t> TiffChain(TiffState *s) {
  std::vector<uint64_t> chain;
  std::vector<uint64_t> seen;
  uint64_t offset = s->first_ifd;
  while (offset > 0 && chain.size() < kMaxPages) {
    auto at = std::lower_bound(seen.begin(), seen.end(), offset);
    if (at != seen.end() && *at == offset) break;
    seen.insert(at, offset);
    uint64_t entries = 0, next = 0;
    if (!DirectoryAt(s, offset, &entries, &next)) break;
    chain.push_back(offset);
    if (entries == 0 || entries > kMaxEntries) break;
    offset = next;
  }
  return chain;
}

// A directory that holds no picture ends the pages; said, because for the
// first page it is all the user learns of a broken file.
ReturnTp TiffNoMorePages(const char *source, unsigned line) {
  const ReturnTp rc = TiffErrno = CmnError(source, line, IFF_I_NO_MORE_PAGES);
  return rc ? rc : IFF_I_NO_MORE_PAGES | CMN_REPORTED;
}

// A directory the file does not hold (a truncated download, mostly).
ReturnTp TiffDirectoryMissing(TiffState *s, const char *source, unsigned line, uint64_t offset) {
  const int64_t size = s->handle->file_size;
  const bool beyond = size <= 0 || offset >= static_cast<uint64_t>(size);
  return TiffErrno = CmnError(source, line, beyond ? TIFF_E_DIR_BEYOND_END : TIFF_E_DIR_CUT,
                              static_cast<unsigned long>(offset));
}

ReturnTp TiffReadDirectory(TiffState *s, uint64_t offset) {
  TiffDirectory &d = s->dir;
  d = TiffDirectory();
  const Layout l = LayoutOf(s);
  uint8_t b[8];
  if (!TiffReadAt(s, offset, b, l.count))
    return TiffDirectoryMissing(s, CMN_SOURCE, __LINE__, offset);
  const uint64_t n = GetN(s, b, l.count);
  if (n == 0 || n > kMaxEntries) return TiffNoMorePages(CMN_SOURCE, __LINE__);
  std::vector<uint8_t> raw(l.entry * n);
  if (!TiffReadAt(s, offset + l.count, raw.data(), raw.size()))
    return TiffDirectoryMissing(s, CMN_SOURCE, __LINE__, offset);
  std::vector<uint64_t> v;
  for (uint64_t i = 0; i < n; ++i) {
    const uint8_t *p = &raw[l.entry * i];
    EntryTp e;
    e.tag = TiffGet16(s, p);
    e.type = TiffGet16(s, p + 2);
    e.count = GetN(s, p + 4, l.offset);
    memset(e.value, 0, sizeof e.value);
    memcpy(e.value, p + 4 + l.offset, l.offset);
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
      case kExtraSamples:
      case kSampleFormat:
      case kSMinSampleValue:
      case kSMaxSampleValue:
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
    // Signed and floating-point values mean something to the range tags
    // only; elsewhere they carry no value, as any unknown type.
    const bool numeric = e.tag == kSMinSampleValue || e.tag == kSMaxSampleValue;
    if (!numeric && (e.type == kSignedByte || e.type == kSignedShort || e.type == kSignedLong ||
                     e.type == kFloat || e.type == kDouble))
      e.count = 0;
    if (!Values(s, e, &v)) {
      // A table the JPEG data may do without is not worth failing for.
      if (jpeg_table || e.tag == kJpegTables) continue;
      return TIFF_FAIL(TIFF_E_INVALID);
    }
    switch (e.tag) {
      case kNewSubfileType:
        d.subfile = First(v, 0);
        break;
      case kExtraSamples:
        d.extra_samples = First(v, 0);
        break;
      case kSampleFormat:
        d.sample_format = First(v, 1);
        break;
      case kSMinSampleValue:
        d.smin = Number(e.type, v);
        break;
      case kSMaxSampleValue:
        d.smax = Number(e.type, v);
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

ReturnTp TiffWriteDirectory(TiffState *s) {
  // A BigTIFF file has 8-byte counts and offsets: its strips are LONG8.
  const bool big = s->w_big;
  const uint16_t offset_type = big ? kLong8 : kLong;
  std::vector<OutEntry> e;
  auto one = [&](uint16_t tag, uint16_t type, uint64_t v) { e.push_back({tag, type, {v}}); };
  one(kImageWidth, kLong, static_cast<uint32_t>(s->width));
  one(kImageLength, kLong, static_cast<uint32_t>(s->height));
  e.push_back({kBitsPerSample, kShort, std::vector<uint64_t>(s->w_samples, s->w_bits)});
  one(kCompression, kShort, s->w_compression);
  one(kPhotometric, kShort, s->w_photometric);
  e.push_back({kStripOffsets, offset_type, s->w_offsets});
  if (s->w_orientation != 1) one(kOrientation, kShort, s->w_orientation);
  one(kSamplesPerPixel, kShort, s->w_samples);
  one(kRowsPerStrip, kLong, s->w_rows_per_strip);
  e.push_back({kStripByteCounts, offset_type, s->w_counts});
  e.push_back({kXResolution, kRational, {s->xres[0], s->xres[1]}});
  e.push_back({kYResolution, kRational, {s->yres[0], s->yres[1]}});
  if (s->w_photometric == kTiffPhotoRgb || s->w_photometric == kTiffPhotoYCbCr)
    one(kPlanarConfig, kShort, 1);
  if (s->w_compression == kTiffCompGroup3) one(kT4Options, kLong, 0);
  if (s->w_compression == kTiffCompGroup4) one(kT6Options, kLong, 0);
  if (s->w_photometric == kTiffPhotoPalette)
    e.push_back(
        {kColorMap, kShort, std::vector<uint64_t>(s->w_colormap.begin(), s->w_colormap.end())});
  if (s->w_photometric == kTiffPhotoYCbCr) {
    // The JFIF conversion, and its full-range reference values.
    e.push_back({kYCbCrCoefficients, kRational, {299, 1000, 587, 1000, 114, 1000}});
    e.push_back({kYCbCrSubSampling, kShort, {s->w_ycbcr_sub[0], s->w_ycbcr_sub[1]}});
    e.push_back({kReferenceBlackWhite, kRational, {0, 1, 255, 1, 128, 1, 255, 1, 128, 1, 255, 1}});
  }

  // Directory first, its long values right behind it.
  const uint64_t word = big ? 8 : 4;  // an offset, and the room for a value in an entry
  const uint64_t ifd = s->file_at;
  const uint64_t table = ifd + (big ? 8 : 2) + (big ? 20 : 12) * e.size() + word;
  std::vector<uint8_t> head, tail;
  auto put = [](std::vector<uint8_t> &v, uint64_t x, int n) {
    for (int i = 0; i < n; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
  };
  const uint64_t limit = big ? UINT64_MAX : UINT32_MAX;
  put(head, e.size(), big ? 8 : 2);
  for (const OutEntry &x : e) {
    const int size = x.type == kShort ? 2 : x.type == kLong8 ? 8 : 4;
    const uint64_t count = x.type == kRational ? x.values.size() / 2 : x.values.size();
    put(head, x.tag, 2);
    put(head, x.type, 2);
    put(head, count, static_cast<int>(word));
    std::vector<uint8_t> bytes;
    for (uint64_t v : x.values) {
      if (v > (size == 8 ? UINT64_MAX : size == 4 ? UINT32_MAX : 0xFFFF))
        return TIFF_FAIL(IFD_E_WRITE_HEADER);
      put(bytes, v, size);
    }
    if (bytes.size() <= word) {
      bytes.resize(word, 0);
      head.insert(head.end(), bytes.begin(), bytes.end());
    } else {
      if (table + tail.size() > limit) return TIFF_FAIL(IFD_E_WRITE_HEADER);
      put(head, table + tail.size(), static_cast<int>(word));
      tail.insert(tail.end(), bytes.begin(), bytes.end());
    }
  }
  put(head, 0, static_cast<int>(word));
  if (ifd > limit) return TIFF_FAIL(IFD_E_WRITE_HEADER);
  ReturnTp rc = TiffEmit(s, head.data(), head.size());
  if (!rc) rc = TiffEmit(s, tail.data(), tail.size());
  if (rc) return rc;
  // The directory is linked from the header (the first page) or from the
  // directory before it.
  const uint64_t link = s->w_link;
  s->w_link = ifd + head.size() - word;
  std::vector<uint8_t> offset;
  put(offset, ifd, static_cast<int>(word));
  if (s->header_written) {
    if (IfiSeek(s->handle, static_cast<int64_t>(link), 0) ||
        IfiWrite(offset.data(), offset.size(), 1, s->handle) ||
        IfiSeek(s->handle, static_cast<int64_t>(s->file_at), 0))
      return TIFF_FAIL(IFD_E_WRITE_HEADER);
    return 0;
  }
  if (link == (big ? 8 : 4))
    s->w_first_ifd = ifd;
  else
    memcpy(&s->spool[static_cast<size_t>(link - (big ? 16 : 8))], offset.data(), offset.size());
  return 0;
}

// The header of a file written: classic, or BigTIFF (version 43, 8-byte
// offsets) with the first directory's offset after them.
std::vector<uint8_t> TiffWriteHeader(bool big, uint64_t first_ifd) {
  std::vector<uint8_t> h(big ? 16 : 8, 0);
  h[0] = h[1] = 'I';
  h[2] = big ? 43 : 42;
  if (big) h[4] = 8;
  const size_t at = big ? 8 : 4;
  for (size_t i = 0; i < (big ? 8u : 4u); ++i)
    h[at + i] = static_cast<uint8_t>(first_ifd >> (8 * i));
  return h;
}

ReturnTp TiffWriteSpool(TiffState *s) {
  if (s->header_written) return 0;
  const std::vector<uint8_t> header = TiffWriteHeader(s->w_big, s->w_first_ifd);
  if (IfiWrite(header.data(), header.size(), 1, s->handle) ||
      (!s->spool.empty() && IfiWrite(s->spool.data(), s->spool.size(), 1, s->handle)))
    return TIFF_FAIL(IFD_E_WRITE_HEADER);
  return 0;
}
