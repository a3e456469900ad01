// TIFF files: any page of a multi-page file, strips or tiles, uncompressed,
// LZW (with horizontal differencing), PackBits, the CCITT compressions and
// JPEG, read; single-page little-endian files written with the same
// compressions. This file holds the driver's operations: a page's layout,
// strips and tiles read a row at a time, lines delivered, rows gathered into
// strips and written. The directory is read and written in tifdir.cpp; each
// compression is coded in a file of its own, found through the table of
// tifcodec.cpp (tiffint.h).
//
// Reading streams: a strip is decoded a row at a time as lines are asked
// for, so memory follows one row whatever the strip holds; only a row of
// tiles is buffered, because its tiles lie one after another in the file.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "tiffint.h"

#define CMN_SOURCE "ifdtiff"

ReturnTp TiffErrno = 0;
int32_t BrokenTiffJpeg = 0;

// ---- Services of the coders ------------------------------------------------

// The next compressed bytes of the strip; 0 at its end.
int32_t TiffRefill(TiffState *s) {
  TiffInput &in = s->in;
  if (in.left == 0) return 0;
  if (in.chunk.size() < static_cast<size_t>(kTiffChunk)) in.chunk.resize(kTiffChunk);
  const size_t want = static_cast<size_t>(std::min<uint64_t>(in.left, kTiffChunk));
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

void TiffAccountMadeUp(TiffState *s, int64_t n) {
  if (s->strip_damaged)
    IfiAccountSalvaged(s->handle, n);
  else
    IfiAccount(s->handle, 0, n);
}

uint64_t TiffWriteRowBytes(const TiffState *s) {
  return (uint64_t{s->w_samples} * static_cast<uint64_t>(s->width) * s->w_bits + 7) / 8;
}

// Bytes after the header: straight to a file that can seek, else kept.
ReturnTp TiffEmit(TiffState *s, const void *data, size_t n) {
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

ReturnTp TiffAlignOutput(TiffState *s) {
  if ((s->file_at & 1) == 0) return 0;
  const uint8_t zero = 0;
  return TiffEmit(s, &zero, 1);
}

namespace {

constexpr uint64_t kMaxTileRowBuffer = uint64_t{1} << 28;

// Prepares the decoder for the data of strip or tile `index`, of `rows`
// rows of `columns` pixels.
ReturnTp OpenData(TiffState *s, uint64_t index, uint32_t columns, uint32_t rows) {
  const TiffDirectory &d = s->dir;
  s->in.at = s->in.end = 0;
  s->in.position = d.offsets[index];
  s->in.left = d.counts[index];
  s->blank_strip = d.counts[index] == 0;
  s->strip_damaged = false;
  if (s->fax) IfuCodecTerm(&s->fax);
  if (s->blank_strip) return 0;
  return s->coder->open_decode(s, index, columns, rows);
}

// Floating-point differencing undone in one row of `columns` pixels: the
// bytes were differenced across the row (a pixel's samples apart), after
// the bytes of its values were put in planes, most significant first.
void UndoFloatDifferencing(TiffState *s, uint8_t *row, uint64_t bytes, uint32_t columns) {
  const size_t n = static_cast<size_t>(bytes), size = s->dir.bits / 8;
  const size_t values = n / size;
  const size_t stride = columns ? std::max<size_t>(values / columns, 1) : 1;
  for (size_t i = stride; i < values * size; ++i)
    row[i] = static_cast<uint8_t>(row[i] + row[i - stride]);
  std::vector<uint8_t> &planes = s->plane_row_scratch;
  planes.assign(row, row + values * size);
  for (size_t v = 0; v < values; ++v)
    for (size_t k = 0; k < size; ++k)
      row[v * size + (s->big_endian ? k : size - 1 - k)] = planes[k * values + v];
}

// The next `rows` rows of `bytes` bytes each of the open data into out.
// Data that ends early leaves zeros, counted as made up.
ReturnTp ProduceRows(TiffState *s, uint8_t *out, uint64_t bytes, uint32_t rows, uint32_t columns) {
  const TiffDirectory &d = s->dir;
  const size_t n = static_cast<size_t>(bytes * rows);
  if (s->blank_strip) {
    // A strip of no bytes: none of its rows are in the file.
    memset(out, 255, n);
    IfiAccount(s->handle, 0, static_cast<int64_t>(n));
    return 0;
  }
  size_t got = 0;
  ReturnTp rc = s->coder->decode(s, out, bytes, rows, columns, &got);
  if (rc) return rc;
  if (got < n) {
    memset(out + got, 0, n - got);
    TiffAccountMadeUp(s, static_cast<int64_t>(n - got));
  }
  if (d.predictor == 2 && s->coder->differencing) {
    for (uint32_t r = 0; r < rows; ++r) {
      rc = TiffUndifference(s, out + r * bytes, bytes);
      if (rc) return rc;
    }
  }
  if (d.predictor == 3 && s->coder->differencing)
    for (uint32_t r = 0; r < rows; ++r) UndoFloatDifferencing(s, out + r * bytes, bytes, columns);
  return 0;
}

// The samples of one plane's row of `n` pixels put in their places among
// the samples of each pixel in `row`.
void InterleavePlane(const TiffState *s, const uint8_t *plane, uint32_t p, uint64_t n,
                     uint8_t *row) {
  const uint32_t bits = s->dir.bits, spp = s->dir.samples;
  if (bits == 8) {
    // The common case in a loop of its own: a copy call per sample costs
    // more than the decoding.
    uint8_t *to = row + p;
    for (uint64_t x = 0; x < n; ++x, to += spp) *to = plane[x];
    return;
  }
  if (bits % 8 == 0) {
    const size_t b = bits / 8;
    for (uint64_t x = 0; x < n; ++x)
      for (size_t k = 0; k < b; ++k) row[(x * spp + p) * b + k] = plane[x * b + k];
    return;
  }
  if (8 % bits != 0) {
    // Samples that may straddle bytes (3, 5, 6, 7, 10, 12 ... bits) go bit by bit.
    for (uint64_t x = 0; x < n; ++x) {
      const uint64_t from = x * bits, to = (x * spp + p) * bits;
      for (uint32_t k = 0; k < bits; ++k) {
        const uint64_t f = from + k, t = to + k;
        const unsigned bit = (plane[f >> 3] >> (7 - (f & 7))) & 1u;
        uint8_t &o = row[t >> 3];
        o = static_cast<uint8_t>((o & ~(1u << (7 - (t & 7)))) | bit << (7 - (t & 7)));
      }
    }
    return;
  }
  const uint32_t mask = (1u << bits) - 1;
  for (uint64_t x = 0; x < n; ++x) {
    const uint64_t from = x * bits, to = (x * spp + p) * bits;
    const uint32_t v = (plane[from >> 3] >> (8 - bits - (from & 7))) & mask;
    const uint32_t shift = static_cast<uint32_t>(8 - bits - (to & 7));
    uint8_t &o = row[to >> 3];
    o = static_cast<uint8_t>((o & ~(mask << shift)) | v << shift);
  }
}

// The open strip's state and that of plane p change places.
void SwapPlane(TiffState *s, uint32_t p) {
  TiffPlaneStream &o = s->plane_streams[p];
  std::swap(s->in, o.in);
  std::swap(s->lzw, o.lzw);
  std::swap(s->zip, o.zip);
  std::swap(s->packbits, o.packbits);
  std::swap(s->jpeg_rows, o.jpeg_rows);
  std::swap(s->jpeg_at, o.jpeg_at);
  std::swap(s->blank_strip, o.blank_strip);
  std::swap(s->strip_damaged, o.strip_damaged);
}

// Opens strip `strip` of every plane, `rows` rows each.
ReturnTp OpenPlanes(TiffState *s, uint32_t strip, uint32_t rows) {
  for (uint32_t p = 0; p < s->planes; ++p) {
    SwapPlane(s, p);
    const ReturnTp rc = OpenData(s, uint64_t{p} * s->nstrips + strip, s->dir.width, rows);
    SwapPlane(s, p);
    if (rc) return rc;
  }
  return 0;
}

// The next row of the open strips of every plane, interleaved into row.
ReturnTp ProducePlaneRow(TiffState *s, uint8_t *row) {
  for (uint32_t p = 0; p < s->planes; ++p) {
    SwapPlane(s, p);
    const ReturnTp rc = ProduceRows(s, s->plane_row.data(), s->plane_row_bytes, 1, s->dir.width);
    SwapPlane(s, p);
    if (rc) return rc;
    InterleavePlane(s, s->plane_row.data(), p, s->dir.width, row);
  }
  return 0;
}

// A tile of YCbCr in blocks of ycc_h x ycc_v luma samples with their
// chroma, `rows` of its rows, into tile_rows at column `t` as pixels of
// three samples, each block's chroma repeated over its luma.
ReturnTp LoadYCbCrTile(TiffState *s, uint64_t t, uint32_t rows) {
  const TiffDirectory &d = s->dir;
  const uint32_t h = s->ycc_h, v = s->ycc_v, n = h * v;
  const uint64_t stride = s->tiles_across * s->tile_row_bytes;
  const uint64_t block_row = (uint64_t{d.tile_width} + h - 1) / h * (n + 2);
  std::vector<uint8_t> blocks(static_cast<size_t>(block_row));
  for (uint32_t top = 0; top < rows; top += v) {
    if (ReturnTp rc = ProduceRows(s, blocks.data(), block_row, 1, d.tile_width)) return rc;
    for (uint32_t line = 0; line < v && top + line < rows; ++line) {
      uint8_t *to =
          &s->tile_rows[static_cast<size_t>((top + line) * stride + t * s->tile_row_bytes)];
      for (uint32_t x = 0; x < d.tile_width; ++x, to += 3) {
        const uint8_t *p = &blocks[size_t{x / h} * (n + 2)];
        to[0] = p[line * h + x % h];
        to[1] = p[n];
        to[2] = p[n + 1];
      }
    }
  }
  return 0;
}

// Decodes the next row of tiles into tile_rows; with separate planes,
// the tile of each plane in turn, interleaved.
ReturnTp LoadTileRow(TiffState *s, uint32_t rows) {
  const TiffDirectory &d = s->dir;
  const uint64_t stride = s->tiles_across * s->tile_row_bytes;
  if (s->ycc_h * s->ycc_v > 1) {
    for (uint64_t t = 0; t < s->tiles_across; ++t) {
      ReturnTp rc =
          OpenData(s, uint64_t{s->strip} * s->tiles_across + t, d.tile_width, d.tile_length);
      if (!rc) rc = LoadYCbCrTile(s, t, rows);
      if (rc) return rc;
    }
    return 0;
  }
  const uint64_t piece_bytes = s->planes > 1 ? s->plane_tile_row_bytes : s->tile_row_bytes;
  const uint64_t per_plane = s->nstrips * s->tiles_across;
  std::vector<uint8_t> tile(static_cast<size_t>(piece_bytes * rows));
  for (uint64_t t = 0; t < s->tiles_across; ++t) {
    for (uint32_t p = 0; p < s->planes; ++p) {
      const uint64_t index = p * per_plane + uint64_t{s->strip} * s->tiles_across + t;
      ReturnTp rc = OpenData(s, index, d.tile_width, d.tile_length);
      if (!rc) rc = ProduceRows(s, tile.data(), piece_bytes, rows, d.tile_width);
      if (rc) return rc;
      for (uint32_t r = 0; r < rows; ++r) {
        uint8_t *to = &s->tile_rows[static_cast<size_t>(r * stride + t * s->tile_row_bytes)];
        const uint8_t *from = &tile[static_cast<size_t>(r * piece_bytes)];
        if (s->planes > 1)
          InterleavePlane(s, from, p, d.tile_width, to);
        else
          memcpy(to, from, static_cast<size_t>(piece_bytes));
      }
    }
  }
  return 0;
}

// ---- Header ----------------------------------------------------------------

uint32_t RowsInStrip(const TiffState *s, uint32_t strip) {
  const uint64_t first = uint64_t{strip} * s->strip_rows;
  return static_cast<uint32_t>(std::min<uint64_t>(s->strip_rows, s->dir.height - first));
}

ReturnTp SetUpLayout(TiffState *s, IffParamTp *p) {
  TiffDirectory &d = s->dir;
  const TiffCoderTp *coder = TiffCoderFor(d.compression);
  if (!coder) {
    const char *name = TiffCompressionName(d.compression);
    const std::string said = name ? std::string(" (") + name + ")" : std::string();
    return TIFF_FAIL(TIFF_E_COMPRESSION_NAMED, static_cast<unsigned long>(d.compression),
                     said.c_str());
  }
  // A coder with a setup of its own checks its sample sizes there.
  const bool own_setup = coder->setup_decode;
  // 32-bit integers and IEEE floating point of 32 or 64 bits are scaled
  // to 8 bits (floating point of other sizes is not read).
  const bool wide = (d.bits == 32 && d.sample_format >= 1 && d.sample_format <= 3) ||
                    (d.bits == 64 && d.sample_format == 3);
  if ((!own_setup && !wide && d.bits != 1 && d.bits != 2 && (d.bits < 4 || d.bits > 8) &&
       d.bits != 16) ||
      (d.sample_format == 3 && !wide))
    return TIFF_FAIL(IFD_E_TIFF_BITS);
  if (d.samples < 1 || d.samples > 16) return TIFF_FAIL(TIFF_E_INVALID);
  if (own_setup)
    if (ReturnTp rc = coder->setup_decode(s)) return rc;
  const uint32_t bits = d.bits;
  uint32_t photometric = d.photometric;
  if (photometric == kTiffPhotoMissing) {
    // Without the tag: what the data most likely is.
    photometric = coder->bilevel       ? kTiffPhotoWhiteIsZero
                  : d.samples >= 3     ? kTiffPhotoRgb
                  : d.colormap.empty() ? kTiffPhotoBlackIsZero
                                       : kTiffPhotoPalette;
    d.photometric = photometric;
  }
  // One sample per pixel is the same layout in either configuration.
  s->planes = d.planar == 2 && d.samples > 1 ? d.samples : 1;
  if (coder->bilevel && (bits != 1 || d.samples != 1)) return TIFF_FAIL(TIFF_E_INVALID);
  if (d.predictor == 2 && bits != 8 && bits != 16) return TIFF_FAIL(CMN_E_INVALID_ARG);

  switch (photometric) {
    case kTiffPhotoWhiteIsZero:
    case kTiffPhotoBlackIsZero:
      p->color_model = IFF_CM_GRAY;
      break;
    case kTiffPhotoRgb:
      if (d.samples < 3) return TIFF_FAIL(TIFF_E_INVALID);
      p->color_model = IFF_CM_RGB;
      break;
    case kTiffPhotoPalette:
      if (bits > 8 || d.colormap.size() < 3 * (size_t{1} << bits)) return TIFF_FAIL(TIFF_E_INVALID);
      p->color_model = IFF_CM_RGB;
      break;
    case kTiffPhotoCmyk:
      // Inks are shown as RGB here, multiplied as libtiff multiplies them.
      if (d.samples < 4) return TIFF_FAIL(TIFF_E_INVALID);
      p->color_model = IFF_CM_RGB;
      break;
    case kTiffPhotoCieLab:
    case kTiffPhotoIccLab:
      if (bits != 8 || d.samples == 2) return TIFF_FAIL(TIFF_E_UNSUPPORTED);
      p->color_model = d.samples == 1 ? IFF_CM_GRAY : IFF_CM_RGB;
      break;
    case kTiffPhotoYCbCr: {
      // (JPEG data reach here as RGB: their codec converts them.)
      if (d.samples < 3 || bits != 8) return TIFF_FAIL(TIFF_E_UNSUPPORTED);
      const auto &sub = d.ycbcr_subsampling;
      s->ycc_h = sub.empty() ? 2 : static_cast<uint32_t>(sub[0]);
      s->ycc_v = sub.size() < 2 ? 2 : static_cast<uint32_t>(sub[1]);
      const auto valid = [](uint32_t n) { return n == 1 || n == 2 || n == 4; };
      if (!valid(s->ycc_h) || !valid(s->ycc_v)) return TIFF_FAIL(TIFF_E_UNSUPPORTED);
      // Blocks of luma with their chroma are read from strips and tiles
      // of pixels of three samples only.
      if (s->ycc_h * s->ycc_v > 1 &&
          (d.samples != 3 || d.planar == 2 || d.predictor != 1 || s->ycc_v > s->ycc_h))
        return TIFF_FAIL(TIFF_E_UNSUPPORTED);
      s->ycbcr = true;
      p->color_model = IFF_CM_RGB;
      break;
    }
    default:
      return TIFF_FAIL(CMN_E_INVALID_ARG);
  }

  s->wide_samples = wide;
  if (wide && photometric > kTiffPhotoRgb) return TIFF_FAIL(IFD_E_TIFF_BITS);
  if (d.predictor == 3 && d.sample_format != 3) return TIFF_FAIL(CMN_E_INVALID_ARG);
  // Alpha is laid over white, as PNG's is. An extra sample that is not
  // said to be associated alpha is taken as unassociated, as ImageMagick
  // takes it.
  const uint32_t colours = photometric <= kTiffPhotoBlackIsZero ? 1 : 3;
  s->alpha = bits >= 8 && !wide && photometric <= kTiffPhotoRgb && d.samples > colours
                 ? (d.extra_samples == 1 ? 1 : 2)
                 : 0;

  // Row and strip arithmetic. The row buffer is sized from the width:
  // sizes the interface refuses are refused before it is allocated.
  if (d.width > 0 && d.height > 0)
    if (ReturnTp code = IffSizeCode(d.width, d.height)) return TIFF_FAIL(code);
  s->row_bytes = (uint64_t{d.width} * d.samples * bits + 7) / 8;
  const uint64_t blocks = s->ycc_h * s->ycc_v;
  if (blocks > 1)  // a stored row is a row of blocks, each its luma and two chroma samples
    s->row_bytes = (uint64_t{d.width} + s->ycc_h - 1) / s->ycc_h * (blocks + 2);
  s->plane_row_bytes = (uint64_t{d.width} * bits + 7) / 8;
  if (d.tiled) {
    if (d.tile_width == 0 || d.tile_length == 0 || d.tile_width > 65536 || d.tile_length > 65536 ||
        (uint64_t{d.tile_width} * d.samples * bits) % 8)
      return TIFF_FAIL(TIFF_E_INVALID);
    s->tile_row_bytes = (uint64_t{d.tile_width} * d.samples * bits + 7) / 8;
    s->plane_tile_row_bytes = (uint64_t{d.tile_width} * bits + 7) / 8;
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
  const uint64_t pieces = (d.tiled ? s->nstrips * s->tiles_across : s->nstrips) * s->planes;
  if (d.offsets.size() < pieces) return TIFF_FAIL(TIFF_E_INVALID);
  if (!d.has_counts) {
    if (pieces > 1) return TIFF_FAIL(TIFF_E_INVALID);
    uint64_t count = s->row_bytes * ((uint64_t{d.height} + s->ycc_v - 1) / s->ycc_v);
    if (d.compression != kTiffCompNone) {
      const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(s->handle->file_size, 0));
      count = size > d.offsets[0] ? size - d.offsets[0] : size == 0 ? UINT32_MAX : 0;
    }
    d.counts.assign(1, count);
  }
  if (d.counts.size() < pieces) return TIFF_FAIL(TIFF_E_INVALID);
  s->coder = coder;
  return 0;
}

void FillHeader(TiffState *s, IffParamTp *p) {
  const TiffDirectory &d = s->dir;
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
  p->bits_per_sample =
      d.bits == 16 && !s->alpha && (p->color_model == IFF_CM_GRAY || d.photometric == kTiffPhotoRgb)
          ? 16
          : 8;
  if (d.samples == 1 && d.bits == 1) p->secondary_model = IFF_CM_BILEVEL;
  p->view_orientation = d.orientation <= 8 ? static_cast<int32_t>(d.orientation) : 1;
}

// The grey map of 1 to 8-bit grey, when there is one: from a response
// curve, or the inverted ramp of white-is-zero.
void MakeGrayMap(TiffState *s) {
  const TiffDirectory &d = s->dir;
  s->has_gray_map = false;
  if (d.bits > 8 ||
      (d.photometric != kTiffPhotoWhiteIsZero && d.photometric != kTiffPhotoBlackIsZero) ||
      d.samples < 1)
    return;
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
  } else if (d.photometric == kTiffPhotoWhiteIsZero) {
    const uint32_t top = entries - 1;
    for (uint32_t i = 0; i < entries; ++i)
      s->gray_map[i] = static_cast<uint8_t>(static_cast<int>((top - i) * (65535 / top)) >> 8);
    s->has_gray_map = true;
  }
}

// Sample k of pixel x of a stored row, as an 8-bit value.
uint32_t Sample8(const TiffState *s, const uint8_t *row, uint32_t x, uint32_t k) {
  const TiffDirectory &d = s->dir;
  const uint64_t i = uint64_t{x} * d.samples + k;
  switch (d.bits) {
    case 8:
      return row[i];
    case 16:
      return row[2 * i + (s->big_endian ? 0 : 1)];
    default: {
      const uint64_t bit = i * d.bits;
      const uint32_t mask = (1u << d.bits) - 1;
      const uint32_t word = static_cast<uint32_t>(row[bit >> 3]) << 8 |
                            ((bit >> 3) + 1 < s->row_bytes ? row[(bit >> 3) + 1] : 0);
      const uint32_t v = (word >> (16 - d.bits - (bit & 7))) & mask;
      return v * 255 / mask;
    }
  }
}

// The conversion of YCbCr codes to RGB: the codes scaled from their
// reference black and white (luma to 255, chroma to 127 either side of
// its black) and cut to whole levels, then the colours of the luma
// coefficients in 16.16 fixed point, each colour's chroma part rounded
// before the luma is added: the levels libtiff gives.
void MakeYCbCrTables(TiffState *s) {
  const TiffDirectory &d = s->dir;
  double luma[3] = {0.299, 0.587, 0.114};
  const auto &c = d.ycbcr_coefficients;  // three rationals
  if (c.size() >= 6 && c[1] && c[3] && c[5] && c[2])
    for (int i = 0; i < 3; ++i)
      luma[i] = static_cast<double>(c[2 * i]) / static_cast<double>(c[2 * i + 1]);
  double ref[6] = {0, 255, 128, 255, 128, 255};
  const auto &r = d.reference_black_white;  // six rationals
  if (r.size() >= 12)
    for (int i = 0; i < 6; ++i)
      ref[i] = r[2 * i + 1] ? static_cast<double>(r[2 * i]) / static_cast<double>(r[2 * i + 1]) : 0;
  const auto level = [](int code, double black, double white, double range) {
    const double span = white - black != 0 ? white - black : 1;
    return static_cast<int32_t>(std::min(std::max((code - black) * range / span, -4096.0), 4096.0));
  };
  const auto fixed = [](double f) {
    return static_cast<int32_t>(std::min(std::max(f, 0.0), 2.0) * 65536 + 0.5);
  };
  const int32_t cr_r = fixed(2 - 2 * luma[0]), cb_b = fixed(2 - 2 * luma[2]);
  const int32_t cr_g = -fixed(luma[0] * (2 - 2 * luma[0]) / luma[1]);
  const int32_t cb_g = -fixed(luma[2] * (2 - 2 * luma[2]) / luma[1]);
  for (int i = 0; i < 256; ++i) {
    const int32_t cb = level(i, ref[2], ref[3], 127), cr = level(i, ref[4], ref[5], 127);
    s->ycc_y[i] = level(i, ref[0], ref[1], 255);
    s->ycc_r[i] = (cr_r * cr + 32768) >> 16;
    s->ycc_b[i] = (cb_b * cb + 32768) >> 16;
    s->ycc_gr[i] = cr_g * cr;
    s->ycc_gb[i] = cb_g * cb + 32768;
  }
}

// Line `line` of a stored row of YCbCr: of pixels (three samples and any
// extra ones) or of blocks of ycc_h x ycc_v luma samples and their chroma.
void DeliverYCbCr(const TiffState *s, const uint8_t *row, uint32_t line, uint8_t *out) {
  const uint32_t h = s->ycc_h, v = s->ycc_v, n = h * v;
  const auto clamp = [](int32_t i) { return static_cast<uint8_t>(std::min(std::max(i, 0), 255)); };
  for (uint32_t x = 0; x < s->dir.width; ++x) {
    uint32_t y, cb, cr;
    if (n == 1 || s->dir.tiled) {  // tiles are made pixels as they are read
      const uint8_t *p = row + size_t{x} * s->dir.samples;
      y = p[0], cb = p[1], cr = p[2];
    } else {
      const uint8_t *p = row + size_t{x / h} * (n + 2);
      y = p[line * h + x % h], cb = p[n], cr = p[n + 1];
    }
    const int32_t l = s->ycc_y[y];
    out[3 * x] = clamp(l + s->ycc_r[cr]);
    out[3 * x + 1] = clamp(l + ((s->ycc_gb[cb] + s->ycc_gr[cr]) >> 16));
    out[3 * x + 2] = clamp(l + s->ycc_b[cb]);
  }
}

// CIE L*a*b* to sRGB, as ImageMagick shows it: L* from 0 to 100, a* and
// b* in levels, to XYZ of the D65 white (whatever white the file names:
// its white is shown white), then sRGB's primaries and curve. libtiff's
// RGBA interface shows Lab through a display model of its own, tens of
// levels away from the colours the file holds.
void DeliverLab(const TiffState *s, const uint8_t *row, uint8_t *line) {
  // The sRGB curve of a linear value in 1/kSteps, rounded to a level.
  constexpr int kSteps = 16384;
  static const std::vector<uint8_t> curve = [] {
    std::vector<uint8_t> c(kSteps + 1);
    for (int i = 0; i <= kSteps; ++i) {
      const double v = static_cast<double>(i) / kSteps;
      const double e = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
      c[static_cast<size_t>(i)] = static_cast<uint8_t>(std::lround(e * 255));
    }
    return c;
  }();
  const auto inverse = [](double t) {
    return t > 6.0 / 29 ? t * t * t : 3 * (6.0 / 29) * (6.0 / 29) * (t - 4.0 / 29);
  };
  const auto encode = [](double v) {
    return curve[static_cast<size_t>(std::lround(std::min(std::max(v, 0.0), 1.0) * kSteps))];
  };
  const TiffDirectory &d = s->dir;
  const int lift = d.photometric == kTiffPhotoIccLab ? 128 : 0;
  for (uint32_t x = 0; x < d.width; ++x) {
    const uint8_t *p = row + size_t{x} * d.samples;
    const double fy = (p[0] * 100.0 / 255 + 16) / 116;
    if (d.samples == 1) {
      line[x] = encode(inverse(fy));
      continue;
    }
    const int a = lift ? p[1] - lift : static_cast<int8_t>(p[1]);
    const int b = lift ? p[2] - lift : static_cast<int8_t>(p[2]);
    const double X = 0.95047 * inverse(fy + a / 500.0), Y = inverse(fy),
                 Z = 1.08883 * inverse(fy - b / 200.0);
    line[3 * x] = encode(3.2404542 * X - 1.5371385 * Y - 0.4985314 * Z);
    line[3 * x + 1] = encode(-0.9692660 * X + 1.8760108 * Y + 0.0415560 * Z);
    line[3 * x + 2] = encode(0.0556434 * X - 0.2040259 * Y + 1.0572252 * Z);
  }
}

// Sample k of pixel x of a row of 32 or 64-bit samples, as a number.
double WideSample(const TiffState *s, const uint8_t *row, uint32_t x, uint32_t k) {
  const TiffDirectory &d = s->dir;
  const uint8_t *p = row + (size_t{x} * d.samples + k) * (d.bits / 8);
  if (d.bits == 64) {
    const uint64_t u = TiffGet64(s, p);
    double f;
    memcpy(&f, &u, 8);
    return f;
  }
  const uint32_t u = TiffGet32(s, p);
  if (d.sample_format == 2) return static_cast<int32_t>(u);
  if (d.sample_format == 1) return u;
  float f;
  memcpy(&f, &u, 4);
  return f;
}

// Wide samples from the page's least value (black) to its greatest
// (white); what is not a number is black, infinities take their end.
// The first pass (range_pass) only measures the range.
void DeliverWide(TiffState *s, const uint8_t *row, uint8_t *line) {
  const TiffDirectory &d = s->dir;
  const uint32_t colours = d.photometric == kTiffPhotoRgb ? 3 : 1;
  if (s->range_pass) {
    for (uint32_t x = 0; x < d.width; ++x)
      for (uint32_t k = 0; k < colours; ++k) {
        const double v = WideSample(s, row, x, k);
        if (!std::isfinite(v)) continue;
        if (!s->range_known || v < s->low) s->low = v;
        if (!s->range_known || v > s->high) s->high = v;
        s->range_known = true;
      }
    return;
  }
  const double span = s->high - s->low;
  const bool invert = d.photometric == kTiffPhotoWhiteIsZero;
  for (uint32_t x = 0; x < d.width; ++x)
    for (uint32_t k = 0; k < colours; ++k) {
      const double v = WideSample(s, row, x, k);
      double level = std::isnan(v)            ? 0
                     : span > 0               ? (v - s->low) * 255 / span
                     : v > 0 || v == INFINITY ? 255
                                              : 0;
      level = std::min(std::max(level, 0.0), 255.0);
      const auto out = static_cast<uint8_t>(level + 0.5);
      line[x * colours + k] = invert ? static_cast<uint8_t>(255 - out) : out;
    }
}

// Inks to RGB: each colour scaled by what its ink and black leave,
// (255 - C)(255 - K) / 255, as libtiff converts them.
void DeliverCmyk(const TiffState *s, const uint8_t *row, uint8_t *line) {
  for (uint32_t x = 0; x < s->dir.width; ++x) {
    const uint32_t white = 255 - Sample8(s, row, x, 3);
    for (uint32_t k = 0; k < 3; ++k)
      line[3 * x + k] = static_cast<uint8_t>((255 - Sample8(s, row, x, k)) * white / 255);
  }
}

// The samples of one stored row to the pixels the interface takes.
void Deliver(TiffState *s, const uint8_t *row, uint8_t *line) {
  const TiffDirectory &d = s->dir;
  const uint32_t w = d.width, spp = d.samples, bits = d.bits;
  const uint32_t photometric = d.photometric;
  if (photometric == kTiffPhotoCmyk) return DeliverCmyk(s, row, line);
  if (s->ycbcr) return DeliverYCbCr(s, row, 0, line);
  if (s->wide_samples) return DeliverWide(s, row, line);
  if (photometric == kTiffPhotoCieLab || photometric == kTiffPhotoIccLab)
    return DeliverLab(s, row, line);
  if (bits == 1 && spp == 1) {
    // Bilevel rows, the common case of scanned pages, a byte of eight
    // pixels at a time.
    const bool palette = photometric == kTiffPhotoPalette;
    const uint8_t zero = palette ? 0 : s->has_gray_map ? s->gray_map[0] : 0;
    const uint8_t one = palette ? 1 : s->has_gray_map ? s->gray_map[1] : 255;
    if (s->scan && s->scan->runs_wanted) {
      // Handed over as they are: no byte per pixel.
      s->scan->line_form = IFF_LINE_BITS;
      s->scan->bits = row;
      s->scan->levels[0] = zero;
      s->scan->levels[1] = one;
      return;
    }
    IfuExpandBitsAs(static_cast<int32_t>(w), row, line, zero, one);
    return;
  }
  if (bits < 8) {
    // Spread packed samples, keeping the first sample of each pixel.
    const uint32_t mask = (1u << bits) - 1;
    uint64_t bit = 0;
    const uint32_t keep = photometric == kTiffPhotoRgb || photometric == kTiffPhotoYCbCr ? 3
                          : photometric == kTiffPhotoCmyk                                ? 4
                                                                                         : 1;
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
    if (photometric != kTiffPhotoPalette) {
      const size_t n = static_cast<size_t>(o - line);
      if (s->has_gray_map) {
        for (size_t i = 0; i < n; ++i) line[i] = s->gray_map[line[i]];
      } else if (bits == 1) {
        for (size_t i = 0; i < n; ++i) line[i] = line[i] ? 255 : 0;
      } else {
        for (size_t i = 0; i < n; ++i) line[i] = static_cast<uint8_t>(line[i] * 255 / mask);
      }
    }
    return;
  }
  const uint32_t colours = photometric == kTiffPhotoRgb     ? 3
                           : photometric == kTiffPhotoCmyk  ? 4
                           : photometric == kTiffPhotoYCbCr ? 3
                                                            : 1;
  const uint32_t keep = colours + (s->alpha ? 1 : 0);
  if (bits == 8) {
    if (keep == spp) {
      memcpy(line, row, static_cast<size_t>(w) * spp);
    } else {
      for (uint32_t x = 0; x < w; ++x)
        for (uint32_t k = 0; k < keep; ++k) line[x * keep + k] = row[x * spp + k];
    }
  } else {
    // 16 bits: grey and RGB go low byte first to the interface, which
    // reduces them; the four-sample forms are reduced here.
    const bool wide =
        !s->alpha && (photometric == kTiffPhotoWhiteIsZero ||
                      photometric == kTiffPhotoBlackIsZero || photometric == kTiffPhotoRgb);
    const int hi = s->big_endian ? 0 : 1;
    for (uint32_t x = 0; x < w; ++x)
      for (uint32_t k = 0; k < keep; ++k) {
        const uint8_t *p = row + 2 * (size_t{x} * spp + k);
        if (wide) {
          uint16_t v = static_cast<uint16_t>(p[hi] << 8 | p[1 - hi]);
          if (photometric == kTiffPhotoWhiteIsZero) v = static_cast<uint16_t>(65535 - v);
          IfuPutLe16(line + 2 * (size_t{x} * keep + k), v);
        } else {
          line[x * keep + k] = p[hi];
        }
      }
  }
  if (s->has_gray_map && bits == 8)
    for (uint32_t x = 0; x < w; ++x) line[x * keep] = s->gray_map[line[x * keep]];
  if (s->alpha == 2) {
    IfuAlphaOverWhite(static_cast<int32_t>(w), static_cast<int>(keep), line, line);
  } else if (s->alpha == 1) {
    // Associated alpha: the colours are already multiplied by it.
    for (uint32_t x = 0; x < w; ++x) {
      const unsigned a = line[x * keep + colours];
      for (uint32_t k = 0; k < colours; ++k)
        line[x * colours + k] = static_cast<uint8_t>(std::min(255u, line[x * keep + k] + 255 - a));
    }
  }
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
  s->coder = nullptr;
  s->ycbcr = false;
  s->ycc_h = s->ycc_v = 1;
  s->wide_samples = s->range_known = s->range_pass = false;
}

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
  bool opened_here = false;
  ReturnTp rc = IffOpenDriverStream(request, &s->handle, nullptr, 0, &opened_here);
  if (rc) return TiffErrno = CmnReraise(CMN_SOURCE, __LINE__, rc);
  if (request->service == IFF_SRV_EXPORT) {
    // The directory's place is known only at the end: a file that can seek
    // gets it written into the header then; other output is kept until then.
    if (s->handle->seekable) s->handle->direct = 1;
    // Only a plain number counts: a stray value must not make every file
    // BigTIFF (0, or a negative number wrapped by strtoull).
    if (const char *above = getenv("PV_TIFF_BIG_ABOVE")) {
      char *end = nullptr;
      const unsigned long long bytes = strtoull(above, &end, 10);
      if (*above >= '0' && *above <= '9' && end && *end == '\0' && bytes > 0)
        s->w_big_above = bytes;
    }
    if (s->handle->seekable) {
      const std::vector<uint8_t> header = TiffWriteHeader(false, 8);
      if (IfiWrite(header.data(), header.size(), 1, s->handle)) {
        IfiClose(s->handle);
        return TIFF_FAIL(IFD_E_WRITE_HEADER);
      }
      s->header_written = true;
    }
    *state = s.release();
    return 0;
  }
  uint8_t header[16] = {};
  if (!TiffReadAt(s.get(), 0, header, 8) ||
      !((header[0] == 'I' && header[1] == 'I') || (header[0] == 'M' && header[1] == 'M'))) {
    if (opened_here) IfiClose(s->handle);
    return TIFF_FAIL(TIFF_E_NOT_TIFF);
  }
  s->big_endian = header[0] == 'M';
  // Version 42, or 43 for BigTIFF: 8-byte offsets (the only size there is)
  // and the first directory's offset after them.
  const uint16_t version = TiffGet16(s.get(), header + 2);
  s->big = version == 43;
  if ((version != 42 && !s->big) ||
      (s->big && (!TiffReadAt(s.get(), 8, header + 8, 8) || TiffGet16(s.get(), header + 4) != 8 ||
                  TiffGet16(s.get(), header + 6) != 0))) {
    if (opened_here) IfiClose(s->handle);
    return TIFF_FAIL(TIFF_E_NOT_TIFF);
  }
  s->first_ifd = s->big ? TiffGet64(s.get(), header + 8) : TiffGet32(s.get(), header + 4);
  if (s->first_ifd == 0) {
    if (opened_here) IfiClose(s->handle);
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
  const std::vector<uint64_t> chain = TiffChain(s);
  const int32_t count = static_cast<int32_t>(chain.size());
  int32_t page = p->page < 1 ? 1 : p->page;
  // Not a single directory: the file ends before its first one.
  if (count == 0) return TiffDirectoryMissing(s, CMN_SOURCE, __LINE__, s->first_ifd);
  if (page > count) return IFF_I_NO_MORE_PAGES;
  if (const char *env = getenv("PV_IMAGE_NUMBER")) {
    const long n = strtol(env, nullptr, 10);
    if (n > 1) page = static_cast<int32_t>(std::min<long>(page + n - 1, count));
  }
  s->current_ifd = chain[static_cast<size_t>(page - 1)];
  ReturnTp rc;
  try {
    rc = TiffReadDirectory(s, s->current_ifd);
  } catch (const std::bad_alloc &) {
    rc = TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  }
  if (rc) return rc;
  const TiffDirectory &d = s->dir;
  if (d.width == 0 || d.height == 0) return TiffNoMorePages(CMN_SOURCE, __LINE__);
  FXIBitsPerPixel = static_cast<int32_t>(d.samples * d.bits);
  if (const TiffCoderTp *coder = TiffCoderFor(d.compression)) {
    FXICompression = coder->read_as;
    // Two-dimensional Group 3 and lossless old-style JPEG are named as such.
    if (d.compression == kTiffCompGroup3 && (d.t4 & 1)) FXICompression = IFF_COMP_G3_2D;
    if (d.compression == kTiffCompOldJpeg && d.jpeg_proc == kTiffJpegProcLossless)
      FXICompression = IFF_COMP_JPEG_LOSSLESS;
  }
  p->page_count = count;
  rc = SetUpLayout(s, p);
  if (rc) return rc;
  FillHeader(s, p);
  MakeGrayMap(s);
  if (s->ycbcr) MakeYCbCrTables(s);
  const uint32_t photometric = d.photometric;
  if (photometric == kTiffPhotoPalette) {
    p->has_cmap = 1;
    p->cmap_entries = 1 << d.bits;
  } else if (s->has_gray_map) {
    p->has_cmap = 1;
    p->cmap_entries = 1 << d.bits;
  }
  // Bytes per delivered pixel.
  const bool wide = d.bits == 16 && !s->alpha;  // alpha is laid over white here
  switch (p->color_model) {
    case IFF_CM_GRAY:
      s->out_bytes = 1;
      break;
    case IFF_CM_RGB:
      s->out_bytes = photometric == kTiffPhotoPalette ? 1 : 3;
      break;
    default:
      s->out_bytes = 4;
      break;
  }
  p->bytes_per_pixel = static_cast<int32_t>(s->out_bytes);
  if (wide && (p->color_model == IFF_CM_GRAY ||
               (p->color_model == IFF_CM_RGB && photometric == kTiffPhotoRgb)))
    p->bytes_per_pixel *= 2;
  s->line_bytes = static_cast<uint32_t>(p->bytes_per_pixel);
  s->reverse_input =
      d.fill_order == 2 && !s->coder->bilevel && (d.compression != kTiffCompNone || d.bits < 8);
  // Fax strips without a response curve go from runs straight to grey
  // (white 255, black 0, as the map of either photometric gives them).
  s->direct_lines = s->coder->decode_line && !d.tiled && d.gray_curve.empty();
  const uint64_t row = d.tiled ? s->tiles_across * s->tile_row_bytes : s->row_bytes;
  try {
    s->row.assign(static_cast<size_t>(row + 8), 0);
    s->plane_streams.clear();
    if (s->planes > 1) {
      s->plane_streams.resize(s->planes);
      s->plane_row.assign(static_cast<size_t>(s->plane_row_bytes + 8), 0);
    }
  } catch (const std::bad_alloc &) {
    return TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  }
  return 0;
}

ReturnTp IfdTiffRdCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<TiffState *>(state);
  if (!s || !p || !p->cmap) return TIFF_FAIL(CMN_E_INVALID_ARG);
  const TiffDirectory &d = s->dir;
  if (d.photometric == kTiffPhotoPalette) {
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
  if (d.photometric == kTiffPhotoBlackIsZero) return TIFF_FAIL(CMN_E_INVALID_STATE);
  if (d.photometric == kTiffPhotoRgb) return TIFF_FAIL(CMN_E_INVALID_STATE);
  return TIFF_FAIL(CMN_E_INVALID_ARG);
}

ReturnTp IfdTiffRdScan(void *state, IffParamTp *p);
ReturnTp ScanLine(TiffState *s, IffParamTp *p);

// The range of a page of wide samples: from its SMinSampleValue and
// SMaxSampleValue, or else from a first pass over its rows, decoded a
// row at a time as they are for the lines and then read again, so that
// memory stays that of one row (a row of tiles) at the cost of decoding
// the page twice.
ReturnTp FindRange(TiffState *s) {
  const TiffDirectory &d = s->dir;
  if (std::isfinite(d.smin) && std::isfinite(d.smax) && d.smax > d.smin) {
    s->low = d.smin;
    s->high = d.smax;
    s->range_known = true;
    return 0;
  }
  std::vector<uint8_t> line;
  try {
    line.resize(size_t{d.width} * s->line_bytes);
  } catch (const std::bad_alloc &) {
    return TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  }
  IffParamTp p = {};
  p.buffer = line.data();
  s->range_pass = true;
  ReturnTp rc = 0;
  for (uint32_t y = 0; y < d.height && !rc; ++y) {
    p.line = static_cast<int32_t>(y);
    rc = IfdTiffRdScan(s, &p);
  }
  s->range_pass = false;
  s->range_known = true;  // a page of no number at all is black
  s->next_line = 0;
  s->strip = 0;
  s->strip_lines = 0;
  return rc;
}

ReturnTp IfdTiffRdScan(void *state, IffParamTp *p) {
  auto *s = static_cast<TiffState *>(state);
  if (!s || !p || !p->buffer || s->service != IFF_SRV_IMPORT) return TIFF_FAIL(CMN_E_INVALID_ARG);
  const TiffDirectory &d = s->dir;
  if (s->wide_samples && !s->range_known && !s->range_pass)
    if (ReturnTp rc = FindRange(s)) return rc;
  if (!s->coder || p->line < 0 || static_cast<uint32_t>(p->line) >= d.height ||
      static_cast<uint32_t>(s->next_line) >= d.height)
    return TIFF_FAIL(IFD_E_IMPORT_SEQUENCE);
  s->scan = p;
  const ReturnTp rc = ScanLine(s, p);
  s->scan = nullptr;
  return rc;
}

ReturnTp ScanLine(TiffState *s, IffParamTp *p) {
  const TiffDirectory &d = s->dir;
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
      ReturnTp rc =
          s->planes > 1 ? OpenPlanes(s, s->strip, rows) : OpenData(s, s->strip, d.width, rows);
      if (rc) return rc;
    }
    s->strip_lines = rows;
    s->ycc_line = 0;
    ++s->strip;
  }
  ReturnTp rc = 0;
  if (s->direct_lines) {
    rc = s->coder->decode_line(s, p->buffer);
  } else {
    const uint8_t *row;
    if (d.tiled) {
      const uint64_t stride = s->tiles_across * s->tile_row_bytes;
      row = &s->tile_rows[static_cast<size_t>(s->tile_row_at++ * stride)];
    } else {
      if (s->ycc_v > 1 || s->ycc_h > 1) {
        // A row of blocks gives ycc_v lines.
        if (s->ycc_line % s->ycc_v == 0)
          rc = ProduceRows(s, s->row.data(), s->row_bytes, 1, d.width);
        if (!rc) DeliverYCbCr(s, s->row.data(), s->ycc_line % s->ycc_v, p->buffer);
        ++s->ycc_line;
        if (rc) return rc;
        --s->strip_lines;
        ++s->next_line;
        return 0;
      }
      rc = s->planes > 1 ? ProducePlaneRow(s, s->row.data())
                         : ProduceRows(s, s->row.data(), s->row_bytes, 1, d.width);
      row = s->row.data();
    }
    if (!rc) Deliver(s, row, p->buffer);
  }
  if (rc) return rc;
  --s->strip_lines;
  ++s->next_line;
  return 0;
}

// ---- Writing ---------------------------------------------------------------

// Compresses and writes the strip that has been filled.
ReturnTp FlushStrip(TiffState *s) {
  if (s->strip_fill == 0) return 0;
  const uint64_t rb = TiffWriteRowBytes(s);
  const size_t n = static_cast<size_t>(rb * s->strip_fill);
  s->packed.clear();
  const uint8_t *data = s->strip_buffer.data();
  size_t length = n;
  if (s->w_coder->encode_strip) {
    ReturnTp rc = s->w_coder->encode_strip(s, data, rb, s->strip_fill);
    if (rc) return rc;
    data = s->packed.data();
    length = s->packed.size();
  }
  s->w_offsets.push_back(s->file_at);
  s->w_counts.push_back(length);
  ReturnTp rc = TiffEmit(s, data, length);
  if (rc) return rc;
  rc = TiffAlignOutput(s);
  s->strip_fill = 0;
  return rc;
}

ReturnTp IfdTiffWtHead(void *state, IffParamTp *p) {
  auto *s = static_cast<TiffState *>(state);
  if (!s || !p || s->service != IFF_SRV_EXPORT) return TIFF_FAIL(CMN_E_INVALID_ARG);
  // A header after the last line of a page starts the next page: the one
  // written gets its directory, and the next starts afresh.
  if (!s->strip_buffer.empty()) {
    if (s->w_jpeg || s->next_line != s->height) return TIFF_FAIL(IFD_E_EXPORT_SEQUENCE);
    ReturnTp rc = FlushStrip(s);
    if (!rc) rc = TiffWriteDirectory(s);
    if (rc) return rc;
    s->strip_buffer.clear();
    s->w_offsets.clear();
    s->w_counts.clear();
    s->w_colormap.clear();
    s->w_cmap_entries = 0;
    s->xres[0] = s->yres[0] = 72;
    s->xres[1] = s->yres[1] = 1;
  }
  s->width = p->width;
  s->height = p->height;
  s->w_model = p->color_model;
  s->w_coder = TiffCoderWriting(p->compression[0]);
  if (!s->w_coder) return TIFF_FAIL(CMN_E_INVALID_ARG);
  s->w_compression = s->w_coder->tag;
  const bool fax = s->w_coder->bilevel;
  if (s->w_coder->refuses_palette && (p->has_cmap || p->color_model == IFF_CM_PALETTE))
    return TIFF_FAIL(IFD_E_COMPRESSION);
  switch (p->color_model) {
    case IFF_CM_GRAY:
    case IFF_CM_BILEVEL:
      s->w_samples = 1;
      s->w_photometric = fax ? kTiffPhotoWhiteIsZero : kTiffPhotoBlackIsZero;
      s->w_bits = p->color_model == IFF_CM_BILEVEL || fax ? 1 : p->bits_per_sample > 8 ? 16 : 8;
      break;
    case IFF_CM_RGB:
    case IFF_CM_PALETTE:
      if (fax) {
        s->w_samples = 1;
        s->w_photometric = kTiffPhotoWhiteIsZero;
        s->w_bits = 1;
      } else if (p->has_cmap) {
        s->w_samples = 1;
        s->w_photometric = kTiffPhotoPalette;
        const int32_t n = p->cmap_entries;
        s->w_cmap_entries = n;
        s->w_bits = n <= 2 ? 1 : n <= 16 ? 4 : 8;
      } else {
        s->w_samples = 3;
        s->w_photometric = kTiffPhotoRgb;
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
  static const uint32_t kOrient[2][4] = {{1, 6, 4, 8}, {2, 7, 3, 5}};
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
  const uint64_t rb = TiffWriteRowBytes(s);
  if (rb == 0 || rb > UINT32_MAX) return TIFF_FAIL(CMN_E_INVALID_ARG);
  if (s->w_link == 4 && s->file_at == 8) {
    // The first page: the file is BigTIFF if its pages may pass the limit.
    const uint64_t pages = static_cast<uint64_t>(std::max(p->page_count, 1));
    const uint64_t bytes = rb * static_cast<uint64_t>(s->height) * pages;
    if (bytes + bytes / 4 > s->w_big_above) {
      s->w_big = true;
      s->w_link = 8;
      s->file_at = 16;
      const std::vector<uint8_t> header = TiffWriteHeader(true, 16);
      if (s->header_written &&
          (IfiSeek(s->handle, 0, 0) || IfiWrite(header.data(), header.size(), 1, s->handle)))
        return TIFF_FAIL(IFD_E_WRITE_HEADER);
    }
  }
  if (s->w_coder->setup_encode) return s->w_coder->setup_encode(s, p);
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
  if (s->w_photometric != kTiffPhotoPalette) return 0;  // a map of lines written as grey or bilevel
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
  if (s->w_coder->encode_row) return s->w_coder->encode_row(s, p->buffer);
  const uint64_t rb = TiffWriteRowBytes(s);
  uint8_t *row = &s->strip_buffer[static_cast<size_t>(rb * s->strip_fill)];
  const uint8_t *in = p->buffer;
  const int32_t w = s->width;
  if (s->w_photometric == kTiffPhotoRgb ||
      (s->w_bits == 8 && s->w_photometric != kTiffPhotoWhiteIsZero)) {
    memcpy(row, in, static_cast<size_t>(rb));
  } else {
    // Packed samples; a bilevel or thresholded pixel is set where it is
    // white (black-is-zero) or black (white-is-zero).
    memset(row, 0, static_cast<size_t>(rb));
    const bool rgb = s->w_model == IFF_CM_RGB && s->w_photometric == kTiffPhotoWhiteIsZero &&
                     s->w_colormap.empty();
    for (int32_t x = 0; x < w; ++x) {
      uint32_t v;
      if (s->w_photometric == kTiffPhotoPalette) {
        v = in[x];
      } else {
        const uint32_t g =
            rgb ? (in[3 * x] * 77u + in[3 * x + 1] * 150u + in[3 * x + 2] * 29u) >> 8 : in[x];
        const uint32_t white = g >= 128;
        v = s->w_photometric == kTiffPhotoWhiteIsZero ? !white : white;
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

// A file written is finished here: its last strip and its directory.
ReturnTp IfdTiffTerm(void **state) {
  if (!state || !*state) return 0;
  auto *s = static_cast<TiffState *>(*state);
  ReturnTp rc = 0;
  if (s->fax) IfuCodecTerm(&s->fax);
  if (s->w_jpeg) {
    // Rows missing: the file is not finished.
    IfuCodecTerm(&s->w_jpeg);
    rc = TIFF_FAIL(IFD_E_EXPORT_SEQUENCE);
  } else if (s->service == IFF_SRV_EXPORT && !s->strip_buffer.empty()) {
    rc = FlushStrip(s);
    if (!rc) rc = TiffWriteDirectory(s);
    if (!rc) rc = TiffWriteSpool(s);
  }
  // The first failure is the one passed up: finishing, then closing.
  const ReturnTp closed = IffTermDriverState<TiffState>(state);
  return rc ? rc : closed;
}

}  // namespace

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
    1,
};
