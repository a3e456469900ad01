// Truevision TGA: an 18-byte header, an identification field, a colour map
// of 15-, 16-, 24- or 32-bit entries, then pixels of 8 to 32 bits, stored
// as they are (types 1 mapped, 2 true colour, 3 grey) or in run-length
// packets (types 9, 10, 11) that may run on from one row into the next.
// 32-bit colour with alpha bits in the descriptor is laid over white.
// Writes uncompressed types 1, 2 and 3. Fields are little-endian.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "drivers.h"

#define CMN_SOURCE "ifdtga"

namespace {

const char kFormat[] = "TARGA";  // the word of "Unsupported %s format"

constexpr int kHeaderSize = 18;
constexpr int kMinRowBuffer = 1024;
constexpr size_t kChunk = 4096;             // run-length data read at once
constexpr unsigned char kTopOrigin = 0x20;  // descriptor bit 5: first row at the top

// Header offsets.
constexpr int kIdLength = 0, kMapType = 1, kImageType = 2, kMapFirst = 3, kMapLength = 5,
              kEntrySize = 7, kWidth = 12, kHeight = 14, kDepth = 16, kDescriptor = 17;

enum {
  kMapped = 1,
  kTrueColour = 2,
  kGrey = 3,
  kRleMapped = 9,
  kRleTrueColour = 10,
  kRleGrey = 11
};

struct TgaState {
  IfiHandleTp *handle = nullptr;
  bool recognised = false;
  unsigned char header[kHeaderSize] = {};
  int32_t type = 0;
  int32_t width = 0, height = 0;
  int32_t depth = 0, pixel_bytes = 0;
  int32_t entry_bytes = 0, map_first = 0, map_length = 0;
  int64_t data_start = 0;
  bool top = false;
  bool rle = false;
  bool grey = false, mapped = false;
  bool alpha = false;  // 32-bit colour whose fourth byte is alpha
  std::vector<unsigned char> row;
  // A run-length packet that did not end with the previous row goes on
  // in the next: what is left of it, and the pixel of a run.
  int32_t next_line = 0;
  int32_t packet_left = 0;
  bool packet_run = false;
  unsigned char run_pixel[4] = {};
  // Packets are a few bytes each: run-length data comes through a buffer.
  std::vector<unsigned char> chunk;
  size_t chunk_at = 0, chunk_end = 0;
  // Writing.
  int32_t bits = 8;
  int32_t out_type = 0;
  bool top_down = false;
};

ReturnTp Unsupported(unsigned line) {
  return CmnError(CMN_SOURCE, line, IFD_E_UNSUPPORTED, kFormat);
}
ReturnTp CannotConvert(unsigned line) { return CmnError(CMN_SOURCE, line, IFD_E_CONVERT, kFormat); }

bool IsRle(int32_t type) { return type >= kRleMapped && type <= kRleGrey; }

bool Recognised(const unsigned char *h) {
  const int map_type = h[kMapType], type = h[kImageType], entry = h[kEntrySize], depth = h[kDepth];
  if (map_type > 1) return false;
  switch (type) {
    case 1:
    case 2:
    case 3:
    case 9:
    case 10:
    case 11:
    case 32:
    case 33:
      break;
    default:
      return false;
  }
  if ((type == kMapped || type == kRleMapped) && entry != 15 && entry != 16 && entry != 24 &&
      entry != 32)
    return false;
  return depth == 8 || depth == 16 || depth == 24 || depth == 32;
}

// Pixels of the file to the line: a 15- or 16-bit colour as three 5-bit
// components, blue-green-red (and alpha) as red, green, blue; indexes and
// grey values of 8 bits as they are; 16-bit indexes most significant byte
// first and 16-bit grey low byte first, as the interface takes them.
void Convert(const TgaState *s, const unsigned char *in, unsigned char *out, int32_t n) {
  switch (s->pixel_bytes) {
    case 1:
      memcpy(out, in, static_cast<size_t>(n));
      break;
    case 2:
      for (int32_t i = 0; i < n; ++i) {
        const unsigned v = IfuGetLe16(in + 2 * i);
        if (s->mapped) {
          out[2 * i] = static_cast<unsigned char>(v >> 8);
          out[2 * i + 1] = static_cast<unsigned char>(v);
        } else if (s->grey) {
          out[2 * i] = in[2 * i];
          out[2 * i + 1] = in[2 * i + 1];
        } else {
          out[3 * i] = (v >> 10) & 31;
          out[3 * i + 1] = (v >> 5) & 31;
          out[3 * i + 2] = v & 31;
        }
      }
      break;
    default:
      for (int32_t i = 0; i < n; ++i) {
        const unsigned char *p = in + static_cast<size_t>(s->pixel_bytes) * i;
        const unsigned a = s->alpha ? p[3] : 255;
        out[3 * i] = IfuOverWhite(p[2], a);
        out[3 * i + 1] = IfuOverWhite(p[1], a);
        out[3 * i + 2] = IfuOverWhite(p[0], a);
      }
      break;
  }
}

// Size of one delivered pixel.
int32_t OutBytes(const TgaState *s) {
  if (s->pixel_bytes == 1) return 1;
  if (s->pixel_bytes == 2 && (s->mapped || s->grey)) return 2;
  return 3;
}

// Raw pixels: what the file holds of them, the rest zeros.
void ReadPixels(TgaState *s, unsigned char *buffer, size_t size) {
  if (size == 0) return;  // an empty map has no buffer
  memset(buffer, 0, size);
  IfiRead(buffer, 1, size, s->handle);
}

// The next bytes of run-length data. Past the end of the file the I/O
// layer makes up zeros and counts them.
void ReadRle(TgaState *s, unsigned char *out, size_t size) {
  while (size > 0) {
    if (s->chunk_at == s->chunk_end) {
      const int64_t before = s->handle->delivered;
      const ReturnTp rc = IfiRead(s->chunk.data(), 1, kChunk, s->handle);
      s->chunk_end = rc ? kChunk : static_cast<size_t>(s->handle->delivered - before);
      if (rc) memset(s->chunk.data(), 0, kChunk);
      s->chunk_at = 0;
    }
    const size_t n = std::min(size, s->chunk_end - s->chunk_at);
    memcpy(out, s->chunk.data() + s->chunk_at, n);
    s->chunk_at += n;
    out += n;
    size -= n;
  }
}

// One row of packets, in file order.
void DecodeRleRow(TgaState *s, unsigned char *out) {
  const int32_t pb = s->pixel_bytes;
  const int32_t ob = OutBytes(s);
  int32_t x = 0;
  while (x < s->width) {
    if (s->packet_left == 0) {
      unsigned char head = 0;
      ReadRle(s, &head, 1);  // past the end: a raw packet of zeros
      s->packet_run = head & 0x80;
      s->packet_left = s->packet_run ? head - 127 : head + 1;
      if (s->packet_run) ReadRle(s, s->run_pixel, static_cast<size_t>(pb));
    }
    const int32_t n = std::min(s->packet_left, s->width - x);
    unsigned char *to = out + static_cast<size_t>(ob) * x;
    if (s->packet_run) {
      Convert(s, s->run_pixel, to, 1);
      // The pixel repeated, in copies that double each time.
      for (int32_t done = 1; done < n;) {
        const int32_t k = std::min(done, n - done);
        memcpy(to + static_cast<size_t>(ob) * done, to, static_cast<size_t>(ob) * k);
        done += k;
      }
    } else {
      ReadRle(s, s->row.data(), static_cast<size_t>(n * pb));
      Convert(s, s->row.data(), to, n);
    }
    s->packet_left -= n;
    x += n;
  }
}

// Components of fewer than 8 bits widened by shifting.
unsigned char Widen(unsigned char v, int32_t bits) {
  return bits > 0 && bits < 8 ? static_cast<unsigned char>(v << (8 - bits)) : v;
}

ReturnTp IfdTgaInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  std::unique_ptr<TgaState> s(new (std::nothrow) TgaState());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);

  ReturnTp rc = IffOpenDriverStream(request, &s->handle, s->header, kHeaderSize);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  if (request->service == IFF_SRV_EXPORT) {
    *state = s.release();
    return 0;
  }
  s->recognised = Recognised(s->header);
  request->recognised = s->recognised;
  *state = s.release();
  return 0;
}

ReturnTp IfdTgaRdHead(void *state, IffParamTp *p) {
  auto *s = static_cast<TgaState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const unsigned char *h = s->header;
  if (!s->recognised) return Unsupported(__LINE__);
  s->type = h[kImageType];
  if (s->type > kRleGrey) return Unsupported(__LINE__);
  s->rle = IsRle(s->type);
  s->grey = s->type == kGrey || s->type == kRleGrey;
  s->mapped = s->type == kMapped || s->type == kRleMapped;
  s->width = IfuGetLe16(h + kWidth);
  s->height = IfuGetLe16(h + kHeight);
  s->depth = h[kDepth];
  s->pixel_bytes = s->depth / 8;
  s->top = h[kDescriptor] & kTopOrigin;
  // The descriptor's low bits count the alpha bits of a pixel: without
  // them the fourth byte of a 32-bit pixel means nothing.
  s->alpha = !s->mapped && !s->grey && s->depth == 32 && (h[kDescriptor] & 15) != 0;
  // Indexes and grey values of 24 or 32 bits mean nothing we can show.
  if ((s->mapped || s->grey) && s->pixel_bytes > 2) return Unsupported(__LINE__);
  if (!s->mapped && !s->grey && s->pixel_bytes < 2) return Unsupported(__LINE__);

  // A colour map in the file is passed over even where no pixel uses it.
  s->entry_bytes = h[kMapType] ? (h[kEntrySize] + 7) / 8 : 0;
  s->map_first = IfuGetLe16(h + kMapFirst);
  s->map_length = h[kMapType] ? IfuGetLe16(h + kMapLength) : 0;
  s->data_start = kHeaderSize + h[kIdLength] + static_cast<int64_t>(s->map_length) * s->entry_bytes;
  s->next_line = 0;
  s->packet_left = 0;
  try {
    s->row.assign(static_cast<size_t>(std::max(s->pixel_bytes * s->width, kMinRowBuffer)), 0);
    if (s->rle) s->chunk.assign(kChunk, 0);
  } catch (const std::exception &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  }

  int32_t bits;
  if (s->grey)
    bits = s->depth;
  else
    bits = (s->mapped ? h[kEntrySize] : s->depth) >= 24 ? 8 : 5;
  FXIBitsPerPixel = s->depth;
  FXICompression = s->rle ? IFF_COMP_RLE : IFF_COMP_NONE;

  p->width = s->width;
  p->height = s->height;
  p->aspect_x = p->aspect_y = 1;
  p->has_cmap = s->mapped;
  p->cmap_entries = s->mapped ? s->map_first + s->map_length : 0;
  p->color_model = s->grey ? IFF_CM_GRAY : IFF_CM_RGB;
  p->bits_per_sample = bits;
  p->bytes_per_pixel = OutBytes(s);
  p->planes = 1;
  p->orientation = s->rle && !s->top ? 2 : 0;
  p->mirrored = s->rle && !s->top ? 1 : 0;
  p->reported0 = 0;
  p->reported1 = 1;
  return 0;
}

ReturnTp IfdTgaRdCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<TgaState *>(state);
  if (!s || !p || !p->cmap) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!s->mapped) return 0;
  const int32_t eb = s->entry_bytes;
  std::vector<unsigned char> raw;
  try {
    raw.assign(static_cast<size_t>(s->map_length) * eb, 0);
  } catch (const std::exception &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  }
  ReturnTp rc = IfiSeek(s->handle, kHeaderSize + s->header[kIdLength], 0);
  if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  // A map cut short leaves its last entries black.
  ReadPixels(s, raw.data(), raw.size());
  // The interface gives room for the first entry index plus the length.
  unsigned char *out = p->cmap + 3 * static_cast<size_t>(s->map_first);
  for (int32_t i = 0; i < s->map_length; ++i, out += 3) {
    const unsigned char *e = raw.data() + static_cast<size_t>(eb) * i;
    if (eb == 2) {
      const unsigned v = IfuGetLe16(e);
      out[0] = (v >> 10) & 31;
      out[1] = (v >> 5) & 31;
      out[2] = v & 31;
    } else {
      out[0] = e[2];
      out[1] = e[1];
      out[2] = e[0];
    }
  }
  return 0;
}

// Uncompressed rows are fetched from their place, top row first, in any
// order; run-length rows come in file order, one after the other.
ReturnTp IfdTgaRdScan(void *state, IffParamTp *p) {
  auto *s = static_cast<TgaState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const int32_t line = p->line;
  if (!s->type || line < 0 || line >= s->height || (s->rle && line != s->next_line))
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  const int64_t row_bytes = static_cast<int64_t>(s->pixel_bytes) * s->width;
  if (s->rle) {
    if (line == 0) {
      s->packet_left = 0;
      s->chunk_at = s->chunk_end = 0;
      ReturnTp rc = IfiSeek(s->handle, s->data_start, 0);
      if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
    }
    DecodeRleRow(s, p->buffer);
  } else {
    const int64_t at = s->top ? line : s->height - 1 - line;
    ReturnTp rc = IfiSeek(s->handle, s->data_start + at * row_bytes, 0);
    if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
    ReadPixels(s, s->row.data(), static_cast<size_t>(row_bytes));
    Convert(s, s->row.data(), p->buffer, s->width);
  }
  s->next_line = line + 1;
  return 0;
}

ReturnTp IfdTgaWtHead(void *state, IffParamTp *p) {
  auto *s = static_cast<TgaState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const bool mapped = p->has_cmap && p->cmap_entries > 0;
  if (mapped && p->cmap_entries == 256 &&
      (p->color_model == IFF_CM_RGB || p->color_model == IFF_CM_PALETTE))
    s->out_type = kMapped;
  else if (!mapped && p->color_model == IFF_CM_RGB)
    s->out_type = kTrueColour;
  else if (!mapped && p->color_model == IFF_CM_GRAY)
    s->out_type = kGrey;
  else
    return Unsupported(__LINE__);
  if (p->compression[0] != IFF_COMP_NONE || p->bits_per_sample > 8) return Unsupported(__LINE__);
  // Sizes are 16-bit fields.
  if (p->width < 1 || p->height < 1) return CannotConvert(__LINE__);
  // The width and height are 16-bit fields.
  if (p->width > 0xFFFF || p->height > 0xFFFF)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_TOO_LARGE, kFormat, p->width, p->height);
  s->width = p->width;
  s->height = p->height;
  s->bits = p->bits_per_sample;
  s->pixel_bytes = s->out_type == kTrueColour ? 3 : 1;
  s->map_length = s->out_type == kMapped ? 256 : 0;
  s->data_start = kHeaderSize + 3 * s->map_length;
  try {
    s->row.assign(static_cast<size_t>(s->pixel_bytes) * s->width, 0);
  } catch (const std::exception &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  }
  // Rows go to their place in the file, so they may come in any order.
  // Output that cannot seek (a pipe) is stored top row first instead,
  // and its rows must come in that order.
  s->top_down = !s->handle->seekable;
  s->handle->direct = 1;
  s->next_line = 0;

  unsigned char *h = s->header;
  memset(h, 0, kHeaderSize);
  h[kMapType] = s->out_type == kMapped;
  h[kImageType] = static_cast<unsigned char>(s->out_type);
  IfuPutLe16(h + kMapLength, static_cast<uint16_t>(s->map_length));
  h[kEntrySize] = s->map_length ? 24 : 0;
  IfuPutLe16(h + kWidth, static_cast<uint16_t>(s->width));
  IfuPutLe16(h + kHeight, static_cast<uint16_t>(s->height));
  h[kDepth] = static_cast<unsigned char>(8 * s->pixel_bytes);
  h[kDescriptor] = s->top_down ? kTopOrigin : 0;
  ReturnTp rc = IfiWrite(h, kHeaderSize, 1, s->handle);
  return rc ? CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_HEADER) : 0;
}

ReturnTp IfdTgaWtCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<TgaState *>(state);
  if (!s || !p || !p->cmap) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->out_type != kMapped) return CannotConvert(__LINE__);
  unsigned char out[3 * 256];
  for (int i = 0; i < 256; ++i)
    for (int k = 0; k < 3; ++k) out[3 * i + k] = Widen(p->cmap[3 * i + 2 - k], s->bits);
  ReturnTp rc = IfiWrite(out, sizeof out, 1, s->handle);
  return rc ? CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_CMAP) : 0;
}

ReturnTp IfdTgaWtScan(void *state, IffParamTp *p) {
  auto *s = static_cast<TgaState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  const int32_t line = p->line;
  if (!s->out_type || line < 0 || line >= s->height || (s->top_down && line != s->next_line))
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  const unsigned char *in = p->buffer;
  unsigned char *out = s->row.data();
  if (s->out_type == kTrueColour) {
    for (int32_t i = 0; i < s->width; ++i)
      for (int k = 0; k < 3; ++k) out[3 * i + k] = Widen(in[3 * i + 2 - k], s->bits);
  } else {
    memcpy(out, in, static_cast<size_t>(s->width));
  }
  const int64_t row_bytes = static_cast<int64_t>(s->row.size());
  if (!s->top_down) {
    ReturnTp rc = IfiSeek(s->handle, s->data_start + (s->height - 1 - line) * row_bytes, 0);
    if (rc) return CmnReraise(CMN_SOURCE, __LINE__, rc);
  }
  ReturnTp rc = IfiWrite(out, 1, s->row.size(), s->handle);
  if (rc) return CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_LINE);
  s->next_line = line + 1;
  return 0;
}

ReturnTp IfdTgaTerm(void **state) { return IffTermDriverState<TgaState>(state); }

}  // namespace

const IffFormatTp IfdTgaFormat = {
    "TGA",
    {{IFF_TYPE_TGA, "Targa."}},
    0,
    0,
    {IfdTgaInit, IfdTgaRdHead, IfdTgaWtHead, IfdTgaRdCMap, IfdTgaWtCMap, IfdTgaRdScan, IfdTgaWtScan,
     IfdTgaTerm},
    {{"tga", IFF_TYPE_TGA, IFF_CM_RGB}},
    IFF_MODEL_BIT(IFF_CM_RGB) | IFF_MODEL_BIT(IFF_CM_GRAY) | IFF_MODEL_BIT(IFF_CM_PALETTE),
};
