// SGI image files: a 512-byte big-endian header, then channel planes of
// rows stored bottom first, verbatim or run-length encoded through a table
// of row starts and lengths, with 1 or 2 bytes a sample. One channel is
// grey, two grey and alpha, three RGB, four RGB and alpha (more are
// ignored); alpha is laid over white. Writes verbatim 8-bit grey or RGB
// files.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "drivers.h"

#define CMN_SOURCE "ifdsgi"

namespace {

const char kFormat[] = "SGI";  // the word of "Unsupported %s format"

constexpr uint16_t kMagic = 474;
constexpr int kHeaderSize = 512;
constexpr size_t kTableChunk = 65536;

struct SgiState {
  IfiHandleTp *handle = nullptr;
  unsigned char header[kHeaderSize] = {};
  bool recognised = false;
  int storage = 0, bpc = 1, dimension = 0;
  int32_t xsize = 0, ysize = 0, zsize = 0;
  int channels = 0;         // delivered: 1 grey or 3 RGB
  bool alpha = false;       // the channel after the colour ones is alpha
  bool file_order = false;  // rows wanted in the order of the file
  int32_t next_line = 0;
  std::vector<uint32_t> starts, lengths;  // run-length files: row x channel
  std::vector<unsigned char> packed;      // one encoded row
  std::vector<unsigned char> row;         // one decoded channel row
  std::vector<unsigned char> pixels;      // with alpha: the row's samples with their alpha
  // Export.
  int64_t plane_bytes = 0;
};

ReturnTp Unsupported(unsigned line) {
  return CmnError(CMN_SOURCE, line, IFD_E_UNSUPPORTED, kFormat);
}
ReturnTp CannotConvert(unsigned line) { return CmnError(CMN_SOURCE, line, IFD_E_CONVERT, kFormat); }

// A table of ysize x zsize words from the file, read in pieces so that
// its size follows what the file holds, not what the header claims.
ReturnTp ReadTable(SgiState *s, std::vector<uint32_t> *table) {
  const size_t words = static_cast<size_t>(s->ysize) * static_cast<size_t>(s->zsize);
  table->clear();
  unsigned char chunk[kTableChunk];
  for (size_t done = 0; done < words;) {
    const size_t n = std::min(words - done, kTableChunk / 4);
    ReturnTp rc = IfiRead(chunk, 4 * n, 1, s->handle);
    if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
    try {
      for (size_t i = 0; i < n; ++i) table->push_back(IfuGetBe32(chunk + 4 * i));
    } catch (const std::exception &) {
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
    }
    done += n;
  }
  return 0;
}

// Channel `z` of file row `y` into s->row as samples of bpc bytes. A row
// that lies outside the file cannot be read.
ReturnTp ReadChannelRow(SgiState *s, int32_t y, int z) {
  const size_t samples = static_cast<size_t>(s->xsize);
  const size_t bytes = samples * static_cast<size_t>(s->bpc);
  unsigned char *out = s->row.data();
  if (s->storage == 0) {
    const int64_t at =
        kHeaderSize + (static_cast<int64_t>(z) * s->ysize + y) * static_cast<int64_t>(bytes);
    if (IfiSeek(s->handle, at, 0) != 0 || IfiRead(out, bytes, 1, s->handle) != 0)
      return CannotConvert(__LINE__);
    return 0;
  }
  const size_t k = static_cast<size_t>(z) * static_cast<size_t>(s->ysize) + static_cast<size_t>(y);
  // An encoded row is never longer than this, whatever its table says.
  const size_t length = std::min<size_t>(s->lengths[k], s->packed.size());
  memset(out, 0, bytes);
  size_t got = 0;
  if (length > 0) {
    if (IfiSeek(s->handle, s->starts[k], 0) != 0) return CannotConvert(__LINE__);
    got = IfiFetch(s->packed.data(), 1, length, s->handle);
    if (got == 0) return CannotConvert(__LINE__);
  }
  // Count bytes (or words): low 7 bits the count, 0 ends the row; the top
  // bit copies that many samples, else the next sample is repeated.
  const unsigned char *in = s->packed.data(), *end = in + got;
  const int b = s->bpc;
  size_t done = 0;
  auto sample = [&](const unsigned char *p) { return b == 2 ? IfuGetBe16(p) : *p; };
  while (in + b <= end && done < samples) {
    const unsigned count = sample(in) & 0x7F;
    const bool literal = sample(in) & 0x80;
    in += b;
    if (count == 0) break;
    for (unsigned i = 0; i < count && done < samples && in + b <= end; ++i, ++done) {
      memcpy(out + done * b, in, static_cast<size_t>(b));
      if (literal) in += b;
    }
    if (!literal) in += b;
  }
  // Samples no run reached are made up, not read: they count as such, so
  // that a table of empty rows claiming a huge picture is stopped.
  IfiAccount(s->handle, static_cast<int64_t>(got), static_cast<int64_t>((samples - done) * b));
  return 0;
}

// Samples of 2 bytes to the interface's 16-bit form, low byte first,
// spread over the whole range when the header's maximum is below it
// (12-bit data, say).
void To16(unsigned char *p, size_t samples, uint32_t maximum) {
  const bool spread = maximum > 255 && maximum < 65535;
  for (size_t i = 0; i < samples; ++i) {
    uint32_t v = IfuGetBe16(p + 2 * i);
    if (spread) v = std::min(v, maximum) * 65535u / maximum;
    p[2 * i] = static_cast<unsigned char>(v);
    p[2 * i + 1] = static_cast<unsigned char>(v >> 8);
  }
}

ReturnTp IfdSgiInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  std::unique_ptr<SgiState> s(new (std::nothrow) SgiState());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  ReturnTp rc = IffOpenDriverStream(request, &s->handle, s->header, kHeaderSize);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  if (request->service == IFF_SRV_EXPORT) {
    *state = s.release();
    return 0;
  }
  s->recognised = IfuGetBe16(s->header) == kMagic;
  request->recognised = s->recognised;
  *state = s.release();
  return 0;
}

ReturnTp IfdSgiRdHead(void *state, IffParamTp *p) {
  auto *s = static_cast<SgiState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const unsigned char *h = s->header;
  s->storage = h[2];
  s->bpc = h[3];
  s->dimension = IfuGetBe16(h + 4);
  s->xsize = IfuGetBe16(h + 6);
  s->ysize = IfuGetBe16(h + 8);
  s->zsize = IfuGetBe16(h + 10);
  if (!s->recognised || s->storage > 1 || (s->bpc != 1 && s->bpc != 2))
    return Unsupported(__LINE__);
  // A one-dimensional image has no rows to speak of, and a channel count
  // of 0 no pixels.
  if (s->dimension < 2 || s->dimension > 3) return Unsupported(__LINE__);
  if (s->dimension == 2) s->zsize = 1;
  if (s->zsize < 1) return Unsupported(__LINE__);
  s->channels = s->zsize >= 3 ? 3 : 1;
  s->alpha = s->zsize == 2 || s->zsize == 4;
  s->file_order = p->preset0 == 1;
  s->next_line = 0;

  p->width = s->xsize;
  p->height = s->ysize;
  p->aspect_x = p->aspect_y = 1;
  p->color_model = s->channels == 3 ? IFF_CM_RGB : IFF_CM_GRAY;
  // Samples covered by alpha are laid over white in 8 bits: the interface
  // has no 16-bit form of them.
  const int delivered_bpc = s->alpha ? 1 : s->bpc;
  p->bytes_per_pixel = s->channels * delivered_bpc;
  p->bits_per_sample = 8 * delivered_bpc;
  p->planes = 1;
  p->reported0 = 0;
  p->reported1 = 1;
  FXIBitsPerPixel = 8 * (s->channels + (s->alpha ? 1 : 0));
  FXICompression = s->storage ? IFF_COMP_RLE : IFF_COMP_NONE;

  const size_t row_bytes = static_cast<size_t>(s->xsize) * static_cast<size_t>(s->bpc);
  try {
    s->row.assign(row_bytes + 16, 0);
    if (s->alpha) s->pixels.assign(static_cast<size_t>(s->xsize) * (s->channels + 1), 0);
    // Literal runs of 127 cost one count each; anything longer than twice
    // the row is not a sane encoding.
    if (s->storage) s->packed.assign(2 * row_bytes + 16, 0);
  } catch (const std::exception &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  if (s->storage) {
    ReturnTp rc = IfiSeek(s->handle, kHeaderSize, 0);
    if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
    rc = ReadTable(s, &s->starts);
    if (!rc) rc = ReadTable(s, &s->lengths);
    if (rc) return rc;
  }
  return 0;
}

// An SGI image never carries a colour map.
ReturnTp IfdSgiRdCMap(void *, IffParamTp *) { return CannotConvert(__LINE__); }
ReturnTp IfdSgiWtCMap(void *, IffParamTp *) { return CannotConvert(__LINE__); }

ReturnTp IfdSgiRdScan(void *state, IffParamTp *p) {
  auto *s = static_cast<SgiState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->row.empty() || p->line != s->next_line || s->next_line >= s->ysize)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  const int32_t line = s->next_line++;
  const int32_t y = s->file_order ? line : s->ysize - 1 - line;
  const size_t w = static_cast<size_t>(s->xsize), b = static_cast<size_t>(s->bpc);
  if (s->alpha) {
    // Each channel's high bytes, alpha last, then laid over white.
    const int n = s->channels + 1;
    for (int z = 0; z < n; ++z) {
      ReturnTp rc = ReadChannelRow(s, y, z);
      if (rc) return rc;
      if (b == 2) To16(s->row.data(), w, IfuGetBe32(s->header + 16));
      for (size_t x = 0; x < w; ++x) s->pixels[n * x + z] = s->row[x * b + b - 1];
    }
    IfuAlphaOverWhite(s->xsize, n, s->pixels.data(), p->buffer);
    return 0;
  }
  unsigned char *out = p->buffer;
  for (int z = 0; z < s->channels; ++z) {
    ReturnTp rc = ReadChannelRow(s, y, z);
    if (rc) return rc;
    if (b == 2) To16(s->row.data(), w, IfuGetBe32(s->header + 16));
    if (s->channels == 1) {
      memcpy(out, s->row.data(), w * b);
      continue;
    }
    for (size_t x = 0; x < w; ++x) memcpy(out + (3 * x + z) * b, s->row.data() + x * b, b);
  }
  return 0;
}

ReturnTp IfdSgiWtHead(void *state, IffParamTp *p) {
  auto *s = static_cast<SgiState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (p->compression[0] != IFF_COMP_NONE || p->has_cmap || p->bits_per_sample > 16 ||
      p->aspect_x == 0 || p->aspect_y == 0 ||
      (p->color_model != IFF_CM_RGB && p->color_model != IFF_CM_GRAY) || p->width < 1 ||
      p->height < 1)
    return Unsupported(__LINE__);
  // The sizes are 16-bit fields.
  if (p->width > 65535 || p->height > 65535)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_TOO_LARGE, kFormat, p->width, p->height);
  // Rows are written bottom first and channel by channel, so each line
  // lands at its place in the file: the output must be a file we can seek.
  if (!s->handle->seekable) return Unsupported(__LINE__);
  s->channels = p->color_model == IFF_CM_RGB ? 3 : 1;
  s->xsize = p->width;
  s->ysize = p->height;
  s->next_line = 0;
  s->plane_bytes = static_cast<int64_t>(s->xsize) * s->ysize;
  try {
    s->row.assign(static_cast<size_t>(s->xsize), 0);
  } catch (const std::exception &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  unsigned char *h = s->header;
  memset(h, 0, kHeaderSize);
  IfuPutBe16(h, kMagic);
  h[2] = 0;  // verbatim
  h[3] = 1;  // one byte a sample
  IfuPutBe16(h + 4, s->channels == 3 ? 3 : 2);
  IfuPutBe16(h + 6, static_cast<uint16_t>(s->xsize));
  IfuPutBe16(h + 8, static_cast<uint16_t>(s->ysize));
  IfuPutBe16(h + 10, static_cast<uint16_t>(s->channels));
  // The full sample range: readers take the maximum as the white point.
  IfuPutBe32(h + 12, 0);
  IfuPutBe32(h + 16, 255);
  memcpy(h + 24, "no name", 8);
  ReturnTp rc = IfiWrite(h, kHeaderSize, 1, s->handle);
  return rc ? CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_HEADER) : 0;
}

ReturnTp IfdSgiWtScan(void *state, IffParamTp *p) {
  auto *s = static_cast<SgiState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->row.empty() || p->line != s->next_line || s->next_line >= s->ysize)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  const int32_t y = s->ysize - 1 - s->next_line++;
  const size_t w = static_cast<size_t>(s->xsize);
  FILE *f = s->handle->stream;
  for (int z = 0; z < s->channels; ++z) {
    for (size_t x = 0; x < w; ++x) s->row[x] = p->buffer[x * s->channels + z];
    // Export writes of the I/O layer are sequential; the planes are not.
    const int64_t at = kHeaderSize + z * s->plane_bytes + static_cast<int64_t>(y) * s->xsize;
    if (fseeko(f, at, SEEK_SET) != 0) return CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_LINE);
    ReturnTp rc = IfiWrite(s->row.data(), w, 1, s->handle);
    if (rc) return CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_LINE);
  }
  return 0;
}

ReturnTp IfdSgiTerm(void **state) { return IffTermDriverState<SgiState>(state); }

}  // namespace

const IffFormatTp IfdSgiFormat = {
    "SGI",
    {{IFF_TYPE_SGI, "SGI Raster."}},
    0,
    0,
    {IfdSgiInit, IfdSgiRdHead, IfdSgiWtHead, IfdSgiRdCMap, IfdSgiWtCMap, IfdSgiRdScan, IfdSgiWtScan,
     IfdSgiTerm},
    {{"sgi", IFF_TYPE_SGI, IFF_CM_RGB},
     {"rgb", IFF_TYPE_SGI, IFF_CM_RGB},
     {"bw", IFF_TYPE_SGI, IFF_CM_GRAY}},
    IFF_MODEL_BIT(IFF_CM_RGB) | IFF_MODEL_BIT(IFF_CM_GRAY),
};
