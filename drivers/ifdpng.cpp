// PNG files read and written through libpng, with the file I/O layer
// underneath both ways (libpng's read and write callbacks).
//
// What reaches the line buffer: one byte per grey pixel or palette index,
// three per RGB pixel, 8 bits per sample (16-bit samples keep their high
// byte, grey below 8 bits is spread to 0..255, palette indexes below 8
// bits are unpacked one per byte). Alpha, from an alpha channel or from
// the one transparent grey or RGB value of a tRNS chunk, is laid over
// white here exactly as the viewer and the converter lay an image with
// alpha over white (colour premultiplied by alpha, plus the white left
// uncovered), so rows are always 1 or 3 bytes per pixel. A palette keeps
// its first fully transparent entry as the transparent index; the other
// entries with alpha below 255 are laid over white in the colour map.
//
// libpng reports errors by a long jump back to the operation that called
// it. The functions that arm the jump hold only plain data, so that the
// jump skips no destructor; after a jump the libpng structures are only
// destroyed.
#include "ifdpng.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <numeric>
#include <vector>

#include "drivers.h"

#define CMN_SOURCE "ifdpng"

namespace {

const char kFormat[] = "PNG";  // the word of "Invalid Data in %s format"
constexpr double kMetresPerInch = 0.0254;
// Deflate makes at most about 1032 bytes of one; with room to spare, a
// file cannot hold more image data than this many times its size.
constexpr int64_t kInflateRatio = 1100;
constexpr int64_t kInflateSlack = 1 << 20;

struct PngStateTp {
  // Where the bytes come from or go to: the file, or a PNG held in memory
  // (the handle is then only kept for the interface).
  IfiHandleTp *handle = nullptr;
  std::vector<unsigned char> memory;
  bool from_memory = false;
  size_t memory_position = 0;
  int64_t input_size = 0;  // bytes of PNG data, 0 unknown

  png_structp png = nullptr;
  png_infop info = nullptr;
  bool writing = false;
  bool recognised = false;
  // libpng has jumped out: its structures are only good for destroying.
  bool failed = false;
  ReturnTp error = 0;        // what the failed operation reported
  ReturnTp io_error = 0;     // a write the I/O layer refused (already reported)
  bool input_ended = false;  // the read callback ran out of data
  char message[160] = "";    // libpng's text of the last error

  // Reading.
  bool header_read = false;
  png_uint_32 width = 0, height = 0;
  int bit_depth = 0, color_type = 0, interlace = 0;
  int channels = 0;  // samples per pixel that libpng delivers
  // One-bit grey (without a transparent key) and one-bit palette rows are
  // taken from libpng packed, interlaced images held so while the passes
  // arrive, and spread by table: zero and one are their bytes.
  bool packed_bits = false;
  unsigned char zero = 0, one = 0;
  size_t rowbytes = 0;
  int passes = 1;
  // One-bit interlaced rows are taken pass by pass as libpng decodes them
  // and spread into the image here, by table: libpng's own spreading goes
  // pixel by pixel.
  bool own_passes = false;
  png_color palette[256] = {};
  png_byte palette_alpha[256] = {};
  int palette_size = 0;
  int transparent_index = -1;
  std::vector<unsigned char> row;    // one decoded row
  std::vector<unsigned char> image;  // interlaced images, whole
  uint32_t next_line = 0;

  // Writing.
  png_uint_32 out_width = 0, out_height = 0;
  bool header_written = false;
  int out_type = 0, out_depth = 0;
  uint32_t out_model = 0;
  int cmap_entries = 0;
  int cmap_entry_size = 3;
  bool info_written = false;
  uint32_t rows_written = 0;
  std::vector<unsigned char> out_row;
};

void OnError(png_structp png, png_const_charp text) {
  auto *s = static_cast<PngStateTp *>(png_get_error_ptr(png));
  snprintf(s->message, sizeof s->message, "%s", text ? text : "");
  s->failed = true;
  png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp text) { CmnDebug(1, "libpng: %s\n", text); }

void ReadInput(png_structp png, png_bytep data, size_t length) {
  auto *s = static_cast<PngStateTp *>(png_get_io_ptr(png));
  size_t got = 0;
  if (s->from_memory) {
    got = std::min(length, s->memory.size() - s->memory_position);
    if (got) memcpy(data, s->memory.data() + s->memory_position, got);
    s->memory_position += got;
  } else if (length) {
    got = IfiFetch(data, 1, length, s->handle);
  }
  if (got < length) {
    s->input_ended = true;
    png_error(png, "Read Error");
  }
}

void WriteOutput(png_structp png, png_bytep data, size_t length) {
  auto *s = static_cast<PngStateTp *>(png_get_io_ptr(png));
  if (length == 0) return;
  ReturnTp rc = IfiWrite(data, 1, length, s->handle);
  if (rc) {
    s->io_error = rc;
    png_error(png, "Write Error");
  }
}

void FlushOutput(png_structp) {}

// The failure of an operation once libpng has jumped out of it: the code
// the I/O layer already reported, or the operation's own. Later requests
// get the same answer without calling libpng again.
ReturnTp Failure(PngStateTp *s, unsigned line, ReturnTp code) {
  if (s->error) return s->error;
  CmnDebug(1, "libpng: %s\n", s->message);
  if (s->io_error)
    s->error = s->io_error;
  else if (code == IFD_E_INVALID_DATA)
    s->error = CmnError(CMN_SOURCE, line, code, kFormat);
  else
    s->error = CmnError(CMN_SOURCE, line, code);
  return s->error;
}

// ---- Reading ---------------------------------------------------------------

// The chunks up to the image data, and the transformations that make rows
// of 8-bit grey, palette indexes or RGB, with alpha where the file has it.
bool ReadInfo(PngStateTp *s) {
  if (setjmp(png_jmpbuf(s->png))) return false;
  png_structp png = s->png;
  png_infop info = s->info;
  png_read_info(png, info);
  png_uint_32 width, height;
  int depth, type, interlace;
  png_get_IHDR(png, info, &width, &height, &depth, &type, &interlace, nullptr, nullptr);
  s->width = width;
  s->height = height;
  s->bit_depth = depth;
  s->color_type = type;
  s->interlace = interlace;

  if (depth == 16) png_set_strip_16(png);
  const bool key = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  switch (type) {
    case PNG_COLOR_TYPE_GRAY:
      s->packed_bits = depth == 1 && !key;
      s->one = 255;
      if (depth < 8 && !s->packed_bits) png_set_expand_gray_1_2_4_to_8(png);
      if (key) png_set_tRNS_to_alpha(png);
      break;
    case PNG_COLOR_TYPE_RGB:
      if (key) png_set_tRNS_to_alpha(png);
      break;
    case PNG_COLOR_TYPE_PALETTE: {
      s->packed_bits = depth == 1;
      s->one = 1;
      if (depth < 8 && !s->packed_bits) png_set_packing(png);
      png_colorp palette = nullptr;
      int entries = 0;
      if (!png_get_PLTE(png, info, &palette, &entries) || entries < 1) png_error(png, "no PLTE");
      s->palette_size = std::min(entries, 256);
      memcpy(s->palette, palette, sizeof(png_color) * static_cast<size_t>(s->palette_size));
      memset(s->palette_alpha, 255, sizeof s->palette_alpha);
      png_bytep alpha = nullptr;
      int alphas = 0;
      if (key && png_get_tRNS(png, info, &alpha, &alphas, nullptr) && alpha) {
        alphas = std::min(alphas, s->palette_size);
        memcpy(s->palette_alpha, alpha, static_cast<size_t>(alphas));
      }
      break;
    }
    case PNG_COLOR_TYPE_GRAY_ALPHA:
    case PNG_COLOR_TYPE_RGB_ALPHA:
      break;
    default:
      png_error(png, "unknown colour type");
  }
  s->own_passes = s->packed_bits && interlace == PNG_INTERLACE_ADAM7;
  s->passes = s->own_passes ? 7 : png_set_interlace_handling(png);
  png_read_update_info(png, info);
  s->rowbytes = png_get_rowbytes(png, info);
  s->channels = png_get_channels(png, info);
  return true;
}

// Rows of the file as libpng delivers them become the lines of the
// interface: alpha laid over white.
void Deliver(const PngStateTp *s, const unsigned char *in, unsigned char *out) {
  if (s->packed_bits)
    return IfuExpandBitsAs(static_cast<int32_t>(s->width), in, out, s->zero, s->one);
  IfuAlphaOverWhite(static_cast<int32_t>(s->width), s->channels, in, out);
}

bool ReadRow(PngStateTp *s, unsigned char *row) {
  if (setjmp(png_jmpbuf(s->png))) return false;
  png_read_row(s->png, row, nullptr);
  return true;
}

// Where the pixels of a byte of a pass row go in the image row: for every
// pass whose columns are 2, 4 or 8 apart, the eight pixels of each byte
// value at their places in the dx bytes they fall into (the first byte in
// the high bits of the word).
struct PassSpreadTp {
  uint64_t word[7][256];
  PassSpreadTp() : word() {
    for (int pass = 0; pass < 7; ++pass) {
      const int dx = 1 << PNG_PASS_COL_SHIFT(pass), x0 = PNG_PASS_START_COL(pass);
      if (dx == 1) continue;
      for (int b = 0; b < 256; ++b)
        for (int i = 0; i < 8; ++i)
          if (b & (0x80 >> i)) word[pass][b] |= uint64_t{1} << (8 * dx - 1 - (x0 + i * dx));
    }
  }
};

// Pass row `in` of `cols` one-bit pixels into image row `out` (zero where
// the pass has not been yet).
void SpreadPassRow(int pass, const unsigned char *in, png_uint_32 cols, unsigned char *out,
                   size_t out_bytes) {
  static const PassSpreadTp spread;
  const size_t in_bytes = (cols + 7) / 8;
  const unsigned last_mask = cols % 8 ? 0xFF00u >> (cols % 8) & 0xFF : 0xFF;
  const int dx = 1 << PNG_PASS_COL_SHIFT(pass);
  if (dx == 1) {
    memcpy(out, in, std::min(in_bytes, out_bytes));
    if (in_bytes <= out_bytes) out[in_bytes - 1] &= static_cast<unsigned char>(last_mask);
    return;
  }
  for (size_t j = 0; j < in_bytes; ++j) {
    const unsigned b = j + 1 == in_bytes ? in[j] & last_mask : in[j];
    const uint64_t word = spread.word[pass][b];
    for (int i = 0; i < dx && j * dx + i < out_bytes; ++i)
      out[j * dx + i] |= static_cast<unsigned char>(word >> (8 * (dx - 1 - i)));
  }
}

// Every pass of an interlaced image into the whole-image buffer (zero).
bool ReadPasses(PngStateTp *s, unsigned char *image) {
  if (setjmp(png_jmpbuf(s->png))) return false;
  if (!s->own_passes) {
    for (int pass = 0; pass < s->passes; ++pass)
      for (png_uint_32 y = 0; y < s->height; ++y)
        png_read_row(s->png, image + static_cast<size_t>(y) * s->rowbytes, nullptr);
    return true;
  }
  // libpng gives the rows of each pass that has pixels, each as wide as
  // its pass.
  unsigned char *row = s->row.data();
  for (int pass = 0; pass < 7; ++pass) {
    const png_uint_32 cols = PNG_PASS_COLS(s->width, pass), rows = PNG_PASS_ROWS(s->height, pass);
    if (cols == 0 || rows == 0) continue;
    for (png_uint_32 r = 0; r < rows; ++r) {
      png_read_row(s->png, row, nullptr);
      const png_uint_32 y = PNG_ROW_FROM_PASS_ROW(r, pass);
      SpreadPassRow(pass, row, cols, image + static_cast<size_t>(y) * s->rowbytes, s->rowbytes);
    }
  }
  return true;
}

// The failure of a row: input that ended early, or data libpng refused.
ReturnTp RowFailure(PngStateTp *s, unsigned line) {
  return Failure(s, line, s->input_ended ? IFI_E_EOF : IFD_E_INVALID_DATA);
}

// An interlaced image is decoded whole at the first row. The buffer is
// sized by the header, so the header must first be possible: the file has
// to be large enough to inflate to the rows it declares, and to the bytes
// the buffer holds (a byte a pixel, where the file may pack eight).
ReturnTp LoadImage(PngStateTp *s) {
  const int file_channels = s->color_type == PNG_COLOR_TYPE_PALETTE      ? 1
                            : s->color_type == PNG_COLOR_TYPE_GRAY       ? 1
                            : s->color_type == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                            : s->color_type == PNG_COLOR_TYPE_RGB        ? 3
                                                                         : 4;
  const int64_t raw_row = (static_cast<int64_t>(s->width) * file_channels * s->bit_depth + 7) / 8;
  const int64_t raw = static_cast<int64_t>(s->height) * (raw_row + 1);
  int64_t size = 0;
  if (__builtin_mul_overflow(static_cast<int64_t>(s->rowbytes), static_cast<int64_t>(s->height),
                             &size))
    return Failure(s, __LINE__, CMN_E_NOMEM);
  if (s->input_size > 0 && (raw - kInflateSlack) / kInflateRatio > s->input_size) {
    snprintf(s->message, sizeof s->message, "%lld bytes of rows in a file of %lld",
             static_cast<long long>(raw), static_cast<long long>(s->input_size));
    return Failure(s, __LINE__, IFI_E_EOF);
  }
  // Rows held packed still pass the rule of a byte a pixel: a header
  // claiming far more than the file holds is refused before libpng spends
  // its time on the passes.
  int64_t spread = size;
  if (s->packed_bits && __builtin_mul_overflow(static_cast<int64_t>(s->width),
                                               static_cast<int64_t>(s->height), &spread))
    return Failure(s, __LINE__, CMN_E_NOMEM);
  if (!IffWholeImageFits(spread, s->input_size)) {
    if (s->error) return s->error;
    s->error = CmnError(CMN_SOURCE, __LINE__, IFD_E_WHOLE_IMAGE, kFormat,
                        static_cast<int>(s->width), static_cast<int>(s->height));
    return s->error;
  }
  try {
    s->image.assign(static_cast<size_t>(size), 0);
  } catch (const std::exception &) {
    return Failure(s, __LINE__, CMN_E_NOMEM);
  }
  if (!ReadPasses(s, s->image.data())) {
    s->image.clear();
    s->image.shrink_to_fit();
    return RowFailure(s, __LINE__);
  }
  return 0;
}

// The pixel aspect ratio of pHYs: a pixel is as wide as the inverse of the
// pixels per unit across.
void SetAspect(png_uint_32 x_per_unit, png_uint_32 y_per_unit, IffParamTp *p) {
  p->aspect_x = p->aspect_y = 1;
  if (x_per_unit == 0 || y_per_unit == 0 || x_per_unit == y_per_unit) return;
  const png_uint_32 g = std::gcd(x_per_unit, y_per_unit);
  // pHYs values are at most 2^31 - 1.
  p->aspect_x = static_cast<int32_t>(std::min<png_uint_32>(y_per_unit / g, INT32_MAX));
  p->aspect_y = static_cast<int32_t>(std::min<png_uint_32>(x_per_unit / g, INT32_MAX));
}

// ---- Writing ---------------------------------------------------------------

// The bit depth of a palette of n entries.
int PaletteDepth(int n) { return n <= 2 ? 1 : n <= 4 ? 2 : n <= 16 ? 4 : 8; }

bool WriteHeader(PngStateTp *s, const IffParamTp *p) {
  if (setjmp(png_jmpbuf(s->png))) return false;
  png_structp png = s->png;
  png_infop info = s->info;
  png_set_IHDR(png, info, s->out_width, s->out_height, s->out_depth, s->out_type,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (p->x_resolution > 0) {
    const double y = p->y_resolution > 0 ? p->y_resolution : p->x_resolution;
    const double x_ppm = std::round(p->x_resolution / kMetresPerInch);
    const double y_ppm = std::round(y / kMetresPerInch);
    if (x_ppm >= 1 && y_ppm >= 1 && x_ppm <= INT32_MAX && y_ppm <= INT32_MAX)
      png_set_pHYs(png, info, static_cast<png_uint_32>(x_ppm), static_cast<png_uint_32>(y_ppm),
                   PNG_RESOLUTION_METER);
  } else if (p->aspect_x > 0 && p->aspect_y > 0 && p->aspect_x != p->aspect_y) {
    // No resolution, only the shape of a pixel.
    png_set_pHYs(png, info, static_cast<png_uint_32>(p->aspect_y),
                 static_cast<png_uint_32>(p->aspect_x), PNG_RESOLUTION_UNKNOWN);
  }
  if (s->out_type != PNG_COLOR_TYPE_PALETTE) {
    png_write_info(png, info);
    if (s->out_depth < 8) png_set_packing(png);
    s->info_written = true;
  }
  return true;
}

bool WritePalette(PngStateTp *s, const png_color *palette, const png_byte *alpha) {
  if (setjmp(png_jmpbuf(s->png))) return false;
  png_set_PLTE(s->png, s->info, palette, s->cmap_entries);
  if (alpha) png_set_tRNS(s->png, s->info, alpha, s->cmap_entries, nullptr);
  png_write_info(s->png, s->info);
  if (s->out_depth < 8) png_set_packing(s->png);
  s->info_written = true;
  return true;
}

bool WriteRow(PngStateTp *s, const unsigned char *row) {
  if (setjmp(png_jmpbuf(s->png))) return false;
  png_write_row(s->png, row);
  return true;
}

bool WriteEnd(PngStateTp *s) {
  if (setjmp(png_jmpbuf(s->png))) return false;
  png_write_end(s->png, s->info);
  return true;
}

// The structures are created outside any jump buffer: creation reports
// failure by a null result.
ReturnTp CreateReader(PngStateTp *s) {
  s->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, s, OnError, OnWarning);
  if (s->png) s->info = png_create_info_struct(s->png);
  if (!s->png || !s->info)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  png_set_read_fn(s->png, s, ReadInput);
  // Only IHDR, PLTE, tRNS, pHYs and the image data mean something here; the
  // other chunks are passed over unread, so that no text or profile is
  // inflated and kept for nothing.
  static const png_byte kIgnored[] =
      "bKGD\0cHRM\0eXIf\0gAMA\0hIST\0iCCP\0iTXt\0oFFs\0pCAL\0sCAL\0sPLT\0sRGB\0sBIT\0"
      "tEXt\0tIME\0zTXt";
  png_set_keep_unknown_chunks(s->png, PNG_HANDLE_CHUNK_NEVER, kIgnored, sizeof kIgnored / 5);
  png_set_keep_unknown_chunks(s->png, PNG_HANDLE_CHUNK_NEVER, nullptr, 0);
  return 0;
}

void DestroyPng(PngStateTp *s) {
  if (s->writing)
    png_destroy_write_struct(&s->png, &s->info);
  else if (s->png)
    png_destroy_read_struct(&s->png, &s->info, nullptr);
}

ReturnTp Release(PngStateTp *s) {
  DestroyPng(s);
  ReturnTp rc = 0;
  if (s->handle) rc = IfiClose(s->handle);
  s->handle = nullptr;
  return rc;
}

// A file the caller gave up on is left without its end: it is not
// complete, and the caller has its own failure to report.
ReturnTp Finish(PngStateTp *s) {
  ReturnTp rc = 0;
  if (s->writing && !s->failed && s->info_written && s->rows_written == s->out_height &&
      !WriteEnd(s))
    rc = Failure(s, __LINE__, IFD_E_WRITE_LINE);
  DestroyPng(s);
  return rc;
}

PngStateTp *State(void *state) { return static_cast<PngStateTp *>(state); }

}  // namespace

ReturnTp IfdPngInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  std::unique_ptr<PngStateTp> s(new (std::nothrow) PngStateTp());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);

  if (request->service == IFF_SRV_EXPORT) {
    s->writing = true;
    ReturnTp rc = IffOpenDriverStream(request, &s->handle, nullptr, 0);
    if (rc) return rc;
    s->png = png_create_write_struct(PNG_LIBPNG_VER_STRING, s.get(), OnError, OnWarning);
    if (s->png) s->info = png_create_info_struct(s->png);
    if (!s->png || !s->info) {
      Release(s.get());
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
    }
    // The interface bounds the size of what it writes; libpng's own bound
    // of a million pixels is for readers of untrusted files.
    png_set_user_limits(s->png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    png_set_write_fn(s->png, s.get(), WriteOutput, FlushOutput);
    *state = s.release();
    return 0;
  }

  // A stream handed in stays the caller's until this call succeeds.
  IfiHandleTp *handle = nullptr;
  bool opened_here = false;
  unsigned char signature[8];
  size_t got = 0;
  ReturnTp rc = IffOpenDriverStream(request, &handle, signature, sizeof signature, &opened_here,
                                    IFF_HEADER_AS_FOUND, &got);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  rc = CreateReader(s.get());
  if (rc) {
    s->handle = opened_here ? handle : nullptr;
    Release(s.get());
    return rc;
  }
  s->recognised = got == sizeof signature && png_sig_cmp(signature, 0, sizeof signature) == 0;
  png_set_sig_bytes(s->png, sizeof signature);
  // Only forward reads from here on: the I/O layer keeps no copy.
  handle->exact_growth = 1;
  s->handle = handle;
  s->input_size = handle->file_size;
  request->recognised = s->recognised;
  *state = s.release();
  return 0;
}

ReturnTp IfdPngOpenMemory(std::vector<unsigned char> &&data, IfiHandleTp *handle, void **state,
                          IffOpenRequestTp *request) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  std::unique_ptr<PngStateTp> s(new (std::nothrow) PngStateTp());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  ReturnTp rc = CreateReader(s.get());
  if (rc) {
    Release(s.get());
    return rc;
  }
  s->memory = std::move(data);
  s->from_memory = true;
  s->input_size = static_cast<int64_t>(s->memory.size());
  s->recognised = s->memory.size() >= 8 && png_sig_cmp(s->memory.data(), 0, 8) == 0;
  s->handle = handle;
  request->recognised = s->recognised;
  *state = s.release();
  return 0;
}

ReturnTp IfdPngRdHead(void *state, IffParamTp *p) {
  PngStateTp *s = State(state);
  if (!s || !p || s->writing) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  FXIBitsPerPixel = 24;
  FXICompression = IFF_COMP_DEFLATE;
  if (!s->recognised || s->header_read) return CmnError(CMN_SOURCE, __LINE__, IFF_E_BAD_HEADER);
  s->header_read = true;
  if (!ReadInfo(s)) return Failure(s, __LINE__, IFF_E_BAD_HEADER);
  try {
    s->row.assign(s->rowbytes, 0);
  } catch (const std::exception &) {
    return Failure(s, __LINE__, CMN_E_NOMEM);
  }

  // libpng holds widths and heights to a million; they fit.
  p->width = static_cast<int32_t>(s->width);
  p->height = static_cast<int32_t>(s->height);
  png_uint_32 x_per_unit = 0, y_per_unit = 0;
  int unit = PNG_RESOLUTION_UNKNOWN;
  if (png_get_pHYs(s->png, s->info, &x_per_unit, &y_per_unit, &unit)) {
    SetAspect(x_per_unit, y_per_unit, p);
    if (unit == PNG_RESOLUTION_METER && x_per_unit && y_per_unit) {
      p->x_resolution = x_per_unit * kMetresPerInch;
      p->y_resolution = y_per_unit * kMetresPerInch;
      p->resolution_known = 1;
    }
  } else {
    SetAspect(0, 0, p);
  }
  const bool palette = s->color_type == PNG_COLOR_TYPE_PALETTE;
  p->color_model = palette || (s->color_type & PNG_COLOR_MASK_COLOR) ? IFF_CM_RGB : IFF_CM_GRAY;
  p->has_cmap = palette;
  p->cmap_entries = palette ? s->palette_size : 0;
  p->transparent = 0;
  p->transparent_index = 0;
  if (palette) {
    for (int i = 0; i < s->palette_size && s->transparent_index < 0; ++i)
      if (s->palette_alpha[i] == 0) s->transparent_index = i;
    if (s->transparent_index >= 0) {
      p->transparent = 1;
      p->transparent_index = s->transparent_index;
    }
  }
  p->bits_per_sample = 8;
  p->orientation = 0;
  p->mirrored = 0;
  p->planes = 1;
  p->reported0 = 0;
  p->reported1 = 1;
  return 0;
}

ReturnTp IfdPngRdCMap(void *state, IffParamTp *p) {
  PngStateTp *s = State(state);
  if (!s || !p || !p->cmap || s->writing) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  for (int i = 0; i < s->palette_size; ++i) {
    const png_color &c = s->palette[i];
    // The transparent entry is the interface's to handle; partly covered
    // entries show the white beneath here.
    const unsigned a = i == s->transparent_index ? 255 : s->palette_alpha[i];
    p->cmap[3 * i] = IfuOverWhite(c.red, a);
    p->cmap[3 * i + 1] = IfuOverWhite(c.green, a);
    p->cmap[3 * i + 2] = IfuOverWhite(c.blue, a);
  }
  return 0;
}

ReturnTp IfdPngRdScan(void *state, IffParamTp *p) {
  PngStateTp *s = State(state);
  if (!s || !p || !p->buffer || s->writing)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!s->header_read || p->line < 0 || static_cast<uint32_t>(p->line) != s->next_line ||
      s->next_line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  if (s->failed) return s->error;
  const unsigned char *row = s->row.data();
  if (s->passes > 1) {
    if (s->image.empty()) {
      ReturnTp rc = LoadImage(s);
      if (rc) return rc;
    }
    row = s->image.data() + static_cast<size_t>(s->next_line) * s->rowbytes;
  } else if (!ReadRow(s, s->row.data())) {
    return RowFailure(s, __LINE__);
  }
  if (s->packed_bits && p->runs_wanted) {
    p->line_form = IFF_LINE_BITS;
    p->bits = row;
    p->levels[0] = s->zero;
    p->levels[1] = s->one;
  } else {
    Deliver(s, row, p->buffer);
  }
  ++s->next_line;
  return 0;
}

ReturnTp IfdPngWtHead(void *state, IffParamTp *p) {
  PngStateTp *s = State(state);
  if (!s || !p || !s->writing) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->failed || s->header_written) return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
  if (p->compression[0] != IFF_COMP_NONE && p->compression[0] != IFF_COMP_DEFLATE)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_COMPRESSION);
  const int bits = p->bits_per_sample ? p->bits_per_sample : 8;
  s->out_model = p->color_model;
  if (p->has_cmap) {
    if (p->cmap_entries < 1 || p->cmap_entries > 256 ||
        (p->color_model != IFF_CM_RGB && p->color_model != IFF_CM_PALETTE &&
         p->color_model != IFF_CM_GRAY))
      return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
    s->out_type = PNG_COLOR_TYPE_PALETTE;
    s->out_depth = PaletteDepth(p->cmap_entries);
    s->cmap_entries = p->cmap_entries;
    s->cmap_entry_size = (p->color_model == IFF_CM_GRAY ? 1 : 3) * (bits > 8 ? 2 : 1);
  } else {
    switch (p->color_model) {
      case IFF_CM_RGB:
      case IFF_CM_RGBA:
        if (bits != 8) return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
        s->out_type = p->color_model == IFF_CM_RGB ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGB_ALPHA;
        s->out_depth = 8;
        break;
      case IFF_CM_GRAY:
        if (bits != 1 && bits != 2 && bits != 4 && bits != 8)
          return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
        s->out_type = PNG_COLOR_TYPE_GRAY;
        s->out_depth = bits;
        break;
      case IFF_CM_BILEVEL:
        s->out_type = PNG_COLOR_TYPE_GRAY;
        s->out_depth = 1;
        break;
      default:
        return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
    }
  }
  s->out_width = static_cast<png_uint_32>(p->width);
  s->out_height = static_cast<png_uint_32>(p->height);
  const size_t samples = s->out_type == PNG_COLOR_TYPE_RGB_ALPHA ? 4
                         : s->out_type == PNG_COLOR_TYPE_RGB     ? 3
                                                                 : 1;
  try {
    s->out_row.assign(samples * s->out_width, 0);
  } catch (const std::exception &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  if (!WriteHeader(s, p)) return Failure(s, __LINE__, IFF_E_WT_HEADER);
  s->header_written = true;
  return 0;
}

ReturnTp IfdPngWtCMap(void *state, IffParamTp *p) {
  PngStateTp *s = State(state);
  if (!s || !p || !p->cmap || !s->writing) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->failed) return s->error;
  if (!s->header_written || s->out_type != PNG_COLOR_TYPE_PALETTE || s->info_written)
    return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
  // Entries of 16-bit components keep the first byte of each, as the
  // interface reads them.
  const int step = s->cmap_entry_size == 6 ? 2 : 1;
  png_color palette[256];
  for (int i = 0; i < s->cmap_entries; ++i) {
    const unsigned char *e = p->cmap + static_cast<size_t>(i) * s->cmap_entry_size;
    if (s->cmap_entry_size <= 2)
      palette[i] = {e[0], e[0], e[0]};
    else
      palette[i] = {e[0], e[step], e[2 * step]};
  }
  png_byte alpha[256];
  const bool transparent =
      p->transparent && p->transparent_index >= 0 && p->transparent_index < s->cmap_entries;
  if (transparent) {
    memset(alpha, 255, sizeof alpha);
    alpha[p->transparent_index] = 0;
  }
  if (!WritePalette(s, palette, transparent ? alpha : nullptr))
    return Failure(s, __LINE__, IFF_E_WT_HEADER);
  return 0;
}

// The caller's lines: one byte per pixel (palette index, grey sample of
// the declared depth, or bilevel 0 / 255), or red, green, blue. The line
// is copied, so the caller's stays as it was.
ReturnTp IfdPngWtScan(void *state, IffParamTp *p) {
  PngStateTp *s = State(state);
  if (!s || !p || !p->buffer || !s->writing)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->failed) return s->error;
  if (!s->header_written) return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  if (!s->info_written) return CmnError(CMN_SOURCE, __LINE__, IFD_E_NEEDS_CMAP);
  if (p->line < 0 || static_cast<uint32_t>(p->line) != s->rows_written ||
      s->rows_written >= s->out_height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  const unsigned char *in = p->buffer;
  unsigned char *out = s->out_row.data();
  const size_t w = s->out_width;
  if (s->out_type == PNG_COLOR_TYPE_RGB_ALPHA) {
    for (size_t i = 0; i < w; ++i, in += 3, out += 4) {
      memcpy(out, in, 3);
      out[3] = 255;
    }
  } else if (s->out_type == PNG_COLOR_TYPE_RGB) {
    memcpy(out, in, 3 * w);
  } else if (s->out_type == PNG_COLOR_TYPE_PALETTE) {
    // An index beyond the palette would make the file invalid.
    const unsigned last = static_cast<unsigned>(s->cmap_entries - 1);
    for (size_t i = 0; i < w; ++i)
      out[i] = static_cast<unsigned char>(std::min<unsigned>(in[i], last));
  } else if (s->out_model == IFF_CM_BILEVEL) {
    for (size_t i = 0; i < w; ++i) out[i] = in[i] >= 128;
  } else {
    const unsigned top = (1u << s->out_depth) - 1;
    for (size_t i = 0; i < w; ++i)
      out[i] = static_cast<unsigned char>(std::min<unsigned>(in[i], top));
  }
  if (!WriteRow(s, s->out_row.data())) return Failure(s, __LINE__, IFD_E_WRITE_LINE);
  ++s->rows_written;
  return 0;
}

ReturnTp IfdPngTerm(void **state) { return IffTermDriverState<PngStateTp>(state, Finish); }

const IffFormatTp IfdPngFormat = {
    "PNG",
    {{IFF_TYPE_PNG, "Portable Network Graphics (PNG)."}},
    0,
    0,
    {IfdPngInit, IfdPngRdHead, IfdPngWtHead, IfdPngRdCMap, IfdPngWtCMap, IfdPngRdScan, IfdPngWtScan,
     IfdPngTerm},
    {{"png", IFF_TYPE_PNG, IFF_CM_RGB}},
    IFF_MODEL_BIT(IFF_CM_RGB) | IFF_MODEL_BIT(IFF_CM_GRAY) | IFF_MODEL_BIT(IFF_CM_BILEVEL) |
        IFF_MODEL_BIT(IFF_CM_RGBA) | IFF_MODEL_BIT(IFF_CM_PALETTE),
};
