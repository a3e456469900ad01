// What the files of the TIFF driver share: the directory as read, the
// driver's state, the record each compression fills, and the directory,
// strip and output services the coders call. Only drivers/ifdtiff.cpp,
// drivers/tifdir.cpp and the coder files (tifcodec, tiflzw, tifpack,
// tifjpeg, tiffax, tifzip) include it.
#ifndef PV_DRIVERS_TIFFINT_H
#define PV_DRIVERS_TIFFINT_H

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codecs.h"
#include "drivers.h"

// Every failure of the TIFF driver is also kept in TiffErrno; raised under
// the name of the file that uses the macro.
#define TIFF_FAIL(...) (TiffErrno = CmnError(CMN_SOURCE, __LINE__, __VA_ARGS__))

constexpr int32_t kTiffChunk = 65536;  // compressed bytes read at once

// The values of the Compression tag this driver knows.
enum TiffCompressionTag : uint32_t {
  kTiffCompNone = 1,
  kTiffCompModifiedHuffman = 2,
  kTiffCompGroup3 = 3,
  kTiffCompGroup4 = 4,
  kTiffCompLzw = 5,
  kTiffCompOldJpeg = 6,
  kTiffCompJpeg = 7,
  kTiffCompDeflate = 8,
  kTiffCompPackBits = 32773,
  kTiffCompOldDeflate = 32946  // Deflate as written before 8 was assigned
};

// The old-style JPEG processes read.
enum : uint32_t { kTiffJpegProcBaseline = 1, kTiffJpegProcLossless = 14 };

// The values of the Photometric tag.
enum : uint32_t {
  kTiffPhotoWhiteIsZero = 0,
  kTiffPhotoBlackIsZero = 1,
  kTiffPhotoRgb = 2,
  kTiffPhotoPalette = 3,
  kTiffPhotoCmyk = 5,
  kTiffPhotoYCbCr = 6,
  kTiffPhotoCieLab = 8,           // a* and b* signed
  kTiffPhotoIccLab = 9,           // a* and b* lifted by 128
  kTiffPhotoMissing = 0xFFFFFFFF  // no tag: guessed from the data
};

// One page's directory, as far as this driver uses it.
struct TiffDirectory {
  uint32_t subfile = 0, width = 0, height = 0;
  uint32_t bits = 1, compression = kTiffCompNone, photometric = kTiffPhotoMissing;
  uint32_t fill_order = 1;
  uint32_t orientation = 1, samples = 1, rows_per_strip = 0xFFFFFFFF, planar = 1;
  uint32_t gray_unit = 2, t4 = 0, t6 = 0, resolution_unit = 2, predictor = 1;
  uint32_t tile_width = 0, tile_length = 0;
  uint32_t extra_samples = 0;     // the first extra sample: 1 associated alpha, 2 unassociated
  uint32_t sample_format = 1;     // 1 unsigned, 2 signed integers, 3 IEEE floating point
  double smin = NAN, smax = NAN;  // SMinSampleValue, SMaxSampleValue (NaN: not given)
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

// Where the compressed bytes of the current strip or tile are.
struct TiffInput {
  uint64_t position = 0;  // next byte in the file
  uint64_t left = 0;      // bytes of the strip not yet read
  std::vector<uint8_t> chunk;
  int32_t at = 0, end = 0;
};

struct TiffPackBitsState {
  int32_t literal = 0;  // bytes still to copy
  int32_t repeat = 0;   // times still to repeat value
  uint8_t value = 0;
};

// The LZW decoder's tables live in tiflzw.cpp.
struct TiffLzwDecoder;
struct TiffLzwDelete {
  void operator()(TiffLzwDecoder *z) const;
};

// The zlib stream of Deflate data lives in tifzip.cpp.
struct TiffZipStream;
struct TiffZipDelete {
  void operator()(TiffZipStream *z) const;
};

struct TiffCoderTp;

// The decoding state of one open strip. Separate planes are read side by
// side, each strip with its own state, swapped into TiffState in turn.
struct TiffPlaneStream {
  TiffInput in;
  std::unique_ptr<TiffLzwDecoder, TiffLzwDelete> lzw;
  std::unique_ptr<TiffZipStream, TiffZipDelete> zip;
  TiffPackBitsState packbits;
  std::vector<uint8_t> jpeg_rows;
  size_t jpeg_at = 0;
  bool blank_strip = false, strip_damaged = false;
};

struct TiffState {
  int32_t service = IFF_SRV_IMPORT;
  IfiHandleTp *handle = nullptr;
  bool big_endian = false;
  bool big = false;  // BigTIFF: 64-bit offsets and counts
  uint64_t first_ifd = 0, current_ifd = 0;
  TiffDirectory dir;
  const TiffCoderTp *coder = nullptr;  // of the page read
  // Derived sizes.
  uint64_t row_bytes = 0, strip_rows = 0, nstrips = 0;
  uint64_t tile_row_bytes = 0, tiles_across = 0;
  // Separate planes (PlanarConfiguration 2): the samples of a pixel are
  // in `planes` strips or tiles; the sizes of one plane's row.
  uint32_t planes = 1;
  uint64_t plane_row_bytes = 0, plane_tile_row_bytes = 0;
  std::vector<TiffPlaneStream> plane_streams;  // the planes of the open strips
  std::vector<uint8_t> plane_row;              // one plane's row, decoded
  std::vector<uint8_t> plane_row_scratch;      // a row's bytes by significance (float differencing)
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
  IffParamTp *scan = nullptr;      // the scan request in hand (bilevel rows as bits or runs)
  TiffInput in;
  std::unique_ptr<TiffLzwDecoder, TiffLzwDelete> lzw;
  TiffPackBitsState packbits;
  std::unique_ptr<TiffZipStream, TiffZipDelete> zip;
  IfuCodecTp *fax = nullptr;
  bool direct_lines = false;  // lines drawn by the coder itself (fax rows from their runs)
  uint8_t gray_map[256];
  bool has_gray_map = false;
  bool reverse_input = false;  // FillOrder 2: bytes bit-reversed before decoding
  // JPEG: each strip or tile decoded whole, then handed out row by row.
  std::vector<uint8_t> jpeg_rows;
  size_t jpeg_at = 0;
  bool jpeg_raw = false;        // RGB components coded as they are
  bool jpeg_ycbcr = false;      // YCbCr coded, delivered as RGB
  uint32_t jpeg_precision = 8;  // the frame's sample precision
  // Old-style data: the tables as marker segments (start of image,
  // quantisation and Huffman tables, restart interval), from the tags and
  // any interchange stream; each component's sampling, quantisation table
  // and Huffman tables (three bytes) for the frame and scan headers made
  // per strip; jpeg_stream: the page is decoded from the interchange
  // stream itself.
  std::vector<uint8_t> jpeg_head;
  std::vector<uint8_t> jpeg_components;
  bool jpeg_stream = false;
  uint32_t out_bytes = 1;   // bytes per delivered pixel, 8-bit samples
  uint32_t line_bytes = 1;  // bytes per pixel in the line handed over
  uint32_t alpha = 0;       // 8 or 16-bit colours with alpha: 1 associated, 2 not
  // 32-bit integers and 32 or 64-bit floating point, shown from the
  // page's least value (black) to its greatest (white).
  bool wide_samples = false;
  bool range_known = false, range_pass = false;  // range_pass: lines only measured
  double low = 0, high = 0;
  // YCbCr samples made RGB here (not by a JPEG codec): the luma samples
  // of a block across and down, the block row being read (`row`) and the
  // line of it delivered next, and each code's part of R, G and B.
  bool ycbcr = false;
  uint32_t ycc_h = 1, ycc_v = 1, ycc_line = 0;
  int32_t ycc_y[256], ycc_r[256], ycc_b[256], ycc_gb[256], ycc_gr[256];
  // Writing.
  const TiffCoderTp *w_coder = nullptr;
  int32_t width = 0, height = 0;
  uint32_t w_photometric = kTiffPhotoBlackIsZero, w_samples = 1, w_bits = 8;
  uint32_t w_compression = kTiffCompNone;
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
  // Where the offset of the next directory goes: the header's, then the
  // last directory's link (pages after the first).
  uint64_t w_link = 4;
  uint64_t w_first_ifd = 0;  // for the header of an output that cannot seek
  // BigTIFF written: chosen at the first page's header when the pages'
  // uncompressed size, with a quarter more for data that do not compress,
  // would pass w_big_above (4 GB; PV_TIFF_BIG_ABOVE sets it for tests).
  bool w_big = false;
  uint64_t w_big_above = UINT32_MAX;
  // JPEG writing: the picture is one strip, coded as its rows come.
  IfuCodecTp *w_jpeg = nullptr;
  uint32_t w_ycbcr_sub[2] = {2, 1};
  uint64_t w_jpeg_start = 0;
};

// One compression of TIFF files, found by the value of its Compression
// tag. Each coder file ends with its rows; tifcodec.cpp lists them. A
// coder that is only read leaves the writing slots null.
struct TiffCoderTp {
  uint32_t tag;              // the Compression tag's value
  IffCompressionTp read_as;  // what FXICompression reports for its pages
  uint32_t written_for;      // TIFF_REQUEST_BIT of each request code it writes; 0: read only
  bool bilevel;              // codes 1-bit rows of one sample only (the fax codings)
  bool differencing;         // horizontal differencing (Predictor 2) undone after it
  bool refuses_palette;      // writes samples, never indexes with a colour map
  // Reading. The page's setup once its directory is read, before the
  // layout is worked out; a coder with one checks the sample sizes itself
  // (null: the reader's sizes, nothing to prepare).
  ReturnTp (*setup_decode)(TiffState *s);
  // The start of strip or tile `index`, of `rows` rows of `columns` pixels.
  ReturnTp (*open_decode)(TiffState *s, uint64_t index, uint32_t columns, uint32_t rows);
  // The next `rows` rows of `bytes` bytes of the open strip into out;
  // *got (0 on entry) tells how many bytes the data held: the reader
  // zeroes the rest and counts it as made up.
  ReturnTp (*decode)(TiffState *s, uint8_t *out, uint64_t bytes, uint32_t rows, uint32_t columns,
                     size_t *got);
  // A delivered line straight from the data, where strips without a
  // response curve allow it (null: rows go through decode).
  ReturnTp (*decode_line)(TiffState *s, uint8_t *line);
  // Writing. A coder with a setup takes each row as it comes (encode_row);
  // the others code the rows gathered into a strip into s->packed
  // (encode_strip; null: the rows are stored as they are).
  ReturnTp (*setup_encode)(TiffState *s, IffParamTp *p);
  ReturnTp (*encode_row)(TiffState *s, const uint8_t *row);
  ReturnTp (*encode_strip)(TiffState *s, const uint8_t *rows, uint64_t row_bytes, uint32_t count);
};

// A request code in written_for.
#define TIFF_REQUEST_BIT(code) (uint32_t{1} << (code))

// The coders (tifcodec.cpp): the one of a Compression tag value, and the
// one a writer's request code selects; null when there is none.
const TiffCoderTp *TiffCoderFor(uint32_t tag);
const TiffCoderTp *TiffCoderWriting(uint64_t request);
// The name of a compression no coder reads; null when it has none.
const char *TiffCompressionName(uint32_t tag);
extern const TiffCoderTp TiffNoneCoder;
extern const TiffCoderTp TiffLzwCoder;                                   // tiflzw.cpp
extern const TiffCoderTp TiffPackBitsCoder;                              // tifpack.cpp
extern const TiffCoderTp TiffJpegCoder, TiffOldJpegCoder;                // tifjpeg.cpp
extern const TiffCoderTp TiffMhCoder, TiffGroup3Coder, TiffGroup4Coder;  // tiffax.cpp
extern const TiffCoderTp TiffDeflateCoder, TiffOldDeflateCoder;          // tifzip.cpp

// Horizontal differencing undone in one row of `bytes` bytes (tifpack.cpp).
ReturnTp TiffUndifference(TiffState *s, uint8_t *row, uint64_t bytes);

// The directory (tifdir.cpp): numbers in the file's byte order, bytes at
// an offset, the chain of directories, one directory read, and the
// directory of a written file with its header.
uint16_t TiffGet16(const TiffState *s, const uint8_t *p);
uint32_t TiffGet32(const TiffState *s, const uint8_t *p);
uint64_t TiffGet64(const TiffState *s, const uint8_t *p);
bool TiffReadAt(TiffState *s, uint64_t offset, void *buffer, size_t n);
std::vector<uint64_t> TiffChain(TiffState *s);
ReturnTp TiffReadDirectory(TiffState *s, uint64_t offset);
ReturnTp TiffNoMorePages(const char *source, unsigned line);
ReturnTp TiffDirectoryMissing(TiffState *s, const char *source, unsigned line, uint64_t offset);
ReturnTp TiffWriteDirectory(TiffState *s);
// The header and the kept bytes of an output that cannot seek, once its
// last directory is written.
ReturnTp TiffWriteSpool(TiffState *s);
std::vector<uint8_t> TiffWriteHeader(bool big, uint64_t first_ifd);

// Strips (ifdtiff.cpp): the next compressed bytes of the open strip into
// s->in (0 at its end); missing bytes counted as made up, or as salvaged
// after fax damage; bytes after the header written or kept; a zero byte
// that puts the next value on a word boundary; the bytes of a written row.
int32_t TiffRefill(TiffState *s);
void TiffAccountMadeUp(TiffState *s, int64_t n);
ReturnTp TiffEmit(TiffState *s, const void *data, size_t n);
ReturnTp TiffAlignOutput(TiffState *s);
uint64_t TiffWriteRowBytes(const TiffState *s);

#endif
