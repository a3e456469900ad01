// GIF: reads GIF87a and GIF89a (every image of the file is a page, with
// its global or local colour table, transparency from the graphic control
// extension, interlaced or not) and writes GIF89a palette images, with the
// variable-width LZW coder of both directions.
//
// Reading streams the file: a header read parses the blocks up to the
// start of an image's data, and each row is decoded as it is asked for.
// Only an interlaced image is decoded whole, into a frame buffer whose
// rows are allocated as the data fills them, so that memory follows what
// the file really holds; a picture far larger than its file could give is
// refused before its first row (IffWholeImageFits).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "drivers.h"

namespace {

#define CMN_SOURCE "ifdgif"

constexpr int kMaxCodes = 4096;       // 12-bit codes
constexpr int kNoCode = 4098;         // no previous code (after a clear)
constexpr uint32_t kNoPrefix = 4097;  // encoder: nothing gathered yet
constexpr int kHashSize = 8192;
constexpr uint32_t kHashEmpty = 0xFFFFFFFFu;
// The encoder starts again once the next code would pass this, so that no
// code needs 13 bits.
constexpr int kLastCode = 4094;

enum Phase {
  kNoImage,     // before the first header, or after a failed one
  kAtData,      // the header stopped in front of the minimum code size byte
  kInData,      // rows are being decoded
  kAfterImage,  // the image's data and its terminator are consumed
};

struct GifState {
  IfiHandleTp *handle = nullptr;
  bool exporting = false;

  // The screen and the global colour table.
  bool screen_read = false;
  bool image_seen = false;
  int32_t screen_width = 0, screen_height = 0;
  int global_bits = 1;
  int aspect = 0;
  unsigned char global[768] = {};

  // The current image.
  Phase phase = kNoImage;
  int32_t width = 0, height = 0;
  bool interlaced = false;
  int cmap_bits = 1;
  unsigned char cmap[768] = {};
  int32_t next_line = 0;
  ReturnTp failure = 0;  // a row failed: every later row fails alike
  // Interlaced images: the rows, each allocated when its pass reaches it.
  std::vector<std::unique_ptr<unsigned char[]>> frame;
  bool frame_done = false;

  // A page of two grey entries is handed over as grey bytes: map gives
  // each index its byte (the grey, or the index itself for a palette page).
  bool grey = false;
  unsigned char map[256] = {};

  // LZW decoder. Each code's string is kept whole in `strings` (start and
  // length), so that a code is written by one copy; a new entry copies
  // its prefix's string and adds a byte, or only adds the byte when the
  // prefix's string ends the store (the runs of a drawing).
  int min_size = 0, clear = 0, end = 0, avail = 0, code_width = 0, limit = 0;
  int prev = kNoCode;
  uint32_t start[kMaxCodes] = {};
  uint16_t length[kMaxCodes] = {};
  std::vector<unsigned char> strings;
  uint32_t strings_end = 0;
  uint32_t pending_at = 0, pending = 0;  // the rest of the last string, for the next row
  // The bit reader: data sub-blocks gathered without their counts, read a
  // word at a time.
  std::vector<unsigned char> data;
  size_t data_pos = 0, data_len = 0;
  uint64_t acc = 0;
  int acc_bits = 0;
  bool data_ended = false;  // the zero-length sub-block was met (or the file ended)

  // Export.
  int32_t out_line = 0;
  int next_free = 0;  // the code the next entry of the encoder gets
  int out_bits = 0;
  int bits_per_sample = 8;
  int entries = 0;  // colour-map entries the caller hands over
  int64_t pixels_left = 0;
  uint32_t gathered = kNoPrefix;
  std::unique_ptr<uint32_t[]> hash;
  unsigned char out_block[256] = {};  // count byte, then up to 255 bytes
  bool write_failed = false;
};

// ---------------------------------------------------------------------------
// Reading blocks.

bool ReadBytes(GifState *s, void *buffer, size_t n) {
  return n == 0 || IfiFetch(buffer, 1, n, s->handle) == n;
}

int ReadByte(GifState *s) {
  unsigned char c;
  return ReadBytes(s, &c, 1) ? c : -1;
}

// Passes over data sub-blocks up to and including the zero-length one.
bool SkipSubBlocks(GifState *s) {
  unsigned char data[255];
  for (;;) {
    const int n = ReadByte(s);
    if (n < 0) return false;
    if (n == 0) return true;
    if (!ReadBytes(s, data, static_cast<size_t>(n))) return false;
  }
}

// The rest of the current image's data, after its last pixel or when the
// next header passes over an image nobody read.
void FinishImage(GifState *s) {
  if (s->phase == kAtData && ReadByte(s) >= 0) s->phase = kInData;
  if (s->phase == kInData && !s->data_ended) SkipSubBlocks(s);
  s->phase = kAfterImage;
}

// An extension: its label and sub-blocks. A graphic control extension
// (label 0xF9) with bit 0 of its flags set makes the next image
// transparent.
ReturnTp ReadExtension(GifState *s, bool *transparent, int *index) {
  const int label = ReadByte(s);
  if (label < 0) return CmnError(CMN_SOURCE, __LINE__, IFD_E_GIF_EXTENSION);
  unsigned char data[255];
  for (bool first = true;; first = false) {
    const int n = ReadByte(s);
    if (n < 0 || !ReadBytes(s, data, static_cast<size_t>(std::max(n, 0))))
      return CmnError(CMN_SOURCE, __LINE__, IFD_E_GIF_EXTENSION_HANDLING);
    if (n == 0) return 0;
    if (label == 0xF9 && first && n >= 4) {
      *transparent = (data[0] & 1) != 0;
      *index = data[3];
    }
  }
}

// The first header: signature, screen descriptor and global table.
ReturnTp ReadScreen(GifState *s) {
  unsigned char h[13];
  if (IfiSeek(s->handle, 0, 0) != 0 || !ReadBytes(s, h, sizeof h))
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_OPEN_FILE);
  if (memcmp(h, "GIF87a", 6) != 0 && memcmp(h, "GIF89a", 6) != 0)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_OPEN_FILE);
  s->screen_width = IfuGetLe16(h + 6);
  s->screen_height = IfuGetLe16(h + 8);
  s->global_bits = (h[10] & 7) + 1;
  s->aspect = h[12];
  // Without a global table, pixels of images without a local one are
  // black and white.
  memset(s->global, 0, sizeof s->global);
  memset(s->global + 3, 255, 3);
  if ((h[10] & 0x80) && !ReadBytes(s, s->global, 3u << s->global_bits))
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_OPEN_FILE);
  s->screen_read = true;
  return 0;
}

// Pixel aspect and resolution from the screen: the aspect byte when set,
// else the shapes of the old display modes, whose pixels were not square.
void SetAspect(const GifState *s, IffParamTp *p) {
  const int aspect = s->aspect;
  const int32_t w = s->screen_width, h = s->screen_height;
  p->aspect_x = p->aspect_y = 1;
  if (aspect != 0) {
    p->aspect_x = (aspect * 100 + 1500) >> 6;
    p->aspect_y = 100;
    return;
  }
  const bool old_mode = (w == 320 && h == 200) || (w == 360 && h == 480) ||
                        (w == 640 && (h == 200 || h == 350 || h == 400));
  if (!old_mode) return;
  p->aspect_x = static_cast<uint16_t>(4 * h);
  p->aspect_y = static_cast<uint16_t>(3 * w);
  p->x_resolution = 72.0;
  p->y_resolution = 72.0 * (4.0 * h) / (3.0 * w);
  p->resolution_known = 1;
}

// Parses blocks from where the stream stands up to the data of the next
// image, taking its descriptor and colour table.
ReturnTp ReadImageHeader(GifState *s, IffParamTp *p) {
  bool transparent = false;
  int index = 0;
  int c;
  while ((c = ReadByte(s)) == '!') {
    ReturnTp rc = ReadExtension(s, &transparent, &index);
    if (rc) return rc;
  }
  if (c != ',') return IFF_I_NO_MORE_PAGES;
  unsigned char d[9];
  if (!ReadBytes(s, d, sizeof d)) return CmnError(CMN_SOURCE, __LINE__, IFD_E_GIF_DESCRIPTOR);
  s->width = IfuGetLe16(d + 4);
  s->height = IfuGetLe16(d + 6);
  if (s->width == 0 || s->height == 0) return CmnError(CMN_SOURCE, __LINE__, IFD_E_GIF_DESCRIPTOR);
  s->interlaced = (d[8] & 0x40) != 0;
  if (d[8] & 0x80) {
    s->cmap_bits = (d[8] & 7) + 1;
    memset(s->cmap, 0, sizeof s->cmap);
    if (!ReadBytes(s, s->cmap, 3u << s->cmap_bits))
      return CmnError(CMN_SOURCE, __LINE__, IFD_E_GIF_DESCRIPTOR);
  } else {
    s->cmap_bits = s->global_bits;
    memcpy(s->cmap, s->global, sizeof s->cmap);
  }
  if (transparent) {
    // Shown as the paper it lies on.
    memset(s->cmap + 3 * index, 255, 3);
    p->transparent = 1;
    p->transparent_index = index;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// The LZW decoder.

constexpr size_t kDataRoom = 16384;  // gathered data, beside 8 bytes of padding
// The string store starts small and grows with the strings the data make:
// a table of 12-bit codes holds at most about 8 MiB of them.
constexpr size_t kFirstStore = 65536;

void ResetTable(GifState *s) {
  s->avail = s->end + 1;
  s->code_width = s->min_size + 1;
  s->limit = 1 << s->code_width;
  s->prev = kNoCode;
  s->strings_end = static_cast<uint32_t>(s->clear);  // the literals stay
}

ReturnTp DecodeError(unsigned line) { return CmnError(CMN_SOURCE, line, IFD_E_GIF_DECOMPRESS); }

ReturnTp StartDecoder(GifState *s) {
  const int size = ReadByte(s);
  // Code widths run from 3 to 12 bits, and literals are 8-bit indexes.
  if (size < 2 || size > 8) return DecodeError(__LINE__);
  s->min_size = size;
  s->clear = 1 << size;
  s->end = s->clear + 1;
  try {
    if (s->strings.size() < kFirstStore) s->strings.assign(kFirstStore, 0);
    if (s->data.size() < kDataRoom + 8) s->data.assign(kDataRoom + 8, 0);
  } catch (const std::exception &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  }
  // Each literal is the one byte its index hands over.
  for (int i = 0; i < s->clear; ++i) {
    s->strings[static_cast<size_t>(i)] = s->map[i];
    s->start[i] = static_cast<uint32_t>(i);
    s->length[i] = 1;
  }
  ResetTable(s);
  s->pending = 0;
  s->acc = 0;
  s->acc_bits = 0;
  s->data_pos = s->data_len = 0;
  s->data_ended = false;
  s->phase = kInData;
  return 0;
}

// Gathers the next data sub-blocks into the data buffer, which the bit
// reader has emptied. A sub-block cut short by the end of the file gives
// nothing, as if the data ended before it.
void GatherData(GifState *s) {
  s->data_pos = s->data_len = 0;
  while (!s->data_ended && s->data_len + 255 <= kDataRoom) {
    const int n = ReadByte(s);
    if (n <= 0 || !ReadBytes(s, s->data.data() + s->data_len, static_cast<size_t>(n))) {
      s->data_ended = true;
      break;
    }
    s->data_len += static_cast<size_t>(n);
  }
}

// Tops the bit accumulator up to at least 57 bits, or to what is left.
// With 8 bytes at hand a whole word is read: bits already held are ORed
// in again at the same places, which changes nothing.
inline void Refill(GifState *s) {
  if (s->data_len - s->data_pos >= 8) {
    const unsigned char *p = s->data.data() + s->data_pos;
    uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = word << 8 | p[i];
    s->acc |= word << s->acc_bits;
    s->data_pos += static_cast<size_t>((63 - s->acc_bits) >> 3);
    s->acc_bits |= 56;
    return;
  }
  s->acc &= (uint64_t{1} << s->acc_bits) - 1;
  while (s->acc_bits <= 56) {
    if (s->data_pos == s->data_len) {
      if (s->data_ended) return;
      GatherData(s);
      if (s->data_len - s->data_pos >= 8) return Refill(s);
      continue;
    }
    s->acc |= uint64_t{s->data[s->data_pos++]} << s->acc_bits;
    s->acc_bits += 8;
  }
}

// Adds the entry that the string of code `prev` and the byte `first` make.
// False when the store cannot grow.
inline bool AddEntry(GifState *s, unsigned char first) {
  const uint32_t at = s->start[s->prev], n = s->length[s->prev];
  const int entry = s->avail++;
  if (at + n == s->strings_end) {
    // The prefix ends the store: the entry is the prefix and one byte more.
    s->start[entry] = at;
  } else {
    s->start[entry] = s->strings_end;
    s->strings_end += n;
    if (s->strings_end + 1 > s->strings.size()) {
      try {
        s->strings.resize(std::max<size_t>(2 * s->strings.size(), s->strings_end + 1));
      } catch (const std::exception &) {
        return false;
      }
    }
    memcpy(&s->strings[s->start[entry]], &s->strings[at], n);
  }
  if (s->strings_end + 1 > s->strings.size()) {
    try {
      s->strings.resize(2 * s->strings.size());
    } catch (const std::exception &) {
      return false;
    }
  }
  s->strings[s->strings_end++] = first;
  s->length[entry] = static_cast<uint16_t>(n + 1);
  return true;
}

// Fills a row of n pixels: first with the rest of the string the previous
// row left, then code by code. The rest of the last string waits for the
// next row.
ReturnTp DecodeRow(GifState *s, unsigned char *row, int32_t n) {
  uint32_t x = 0;
  const uint32_t width = static_cast<uint32_t>(n);
  if (s->pending) {
    const uint32_t k = std::min(s->pending, width);
    memcpy(row, &s->strings[s->pending_at], k);
    x = k;
    s->pending -= k;
    s->pending_at += k;
  }
  while (x < width) {
    if (s->acc_bits < s->code_width) {
      Refill(s);
      if (s->acc_bits < s->code_width) return DecodeError(__LINE__);
    }
    const int code = static_cast<int>(s->acc & ((1u << s->code_width) - 1));
    s->acc >>= s->code_width;
    s->acc_bits -= s->code_width;
    if (code == s->clear) {
      ResetTable(s);
      continue;
    }
    // The end code may come only after the last pixel.
    if (code == s->end) return DecodeError(__LINE__);

    if (s->prev == kNoCode) {
      // The first code after a clear adds no entry; it must be a literal.
      if (code > s->clear) return DecodeError(__LINE__);
    } else if (code < s->avail || s->avail == kMaxCodes) {
      if (s->avail < kMaxCodes && !AddEntry(s, s->strings[s->start[code]]))
        return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
    } else if (code == s->avail) {
      // The code being defined right now: the previous string followed by
      // its own first byte.
      if (!AddEntry(s, s->strings[s->start[s->prev]]))
        return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
    } else {
      return DecodeError(__LINE__);
    }
    if (s->avail >= s->limit && s->code_width < 12) {
      ++s->code_width;
      s->limit <<= 1;
    }
    s->prev = code;

    const uint32_t at = s->start[code], len = s->length[code];
    const unsigned char *from = &s->strings[at];
    if (len <= width - x) {
      if (len == 1) {
        row[x] = *from;
      } else {
        memcpy(row + x, from, len);
      }
      x += len;
    } else {
      const uint32_t k = width - x;
      memcpy(row + x, from, k);
      x = width;
      s->pending_at = at + k;
      s->pending = len - k;
    }
  }
  return 0;
}

// The four passes of an interlaced image, all rows at once.
ReturnTp DecodeFrame(GifState *s) {
  static const int kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
  for (int pass = 0; pass < 4; ++pass)
    for (int32_t y = kStart[pass]; y < s->height; y += kStep[pass]) {
      auto &row = s->frame[static_cast<size_t>(y)];
      row.reset(new (std::nothrow) unsigned char[static_cast<size_t>(s->width)]);
      if (!row) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
      ReturnTp rc = DecodeRow(s, row.get(), s->width);
      if (rc) return rc;
    }
  s->frame_done = true;
  return 0;
}

// ---------------------------------------------------------------------------
// The LZW encoder.

ReturnTp WriteBlock(GifState *s) {
  const size_t n = s->out_block[0];
  if (n == 0) return 0;
  const ReturnTp rc = IfiWrite(s->out_block, 1, n + 1, s->handle);
  s->out_block[0] = 0;
  if (rc != 0) {
    s->write_failed = true;
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_WRITE_FILE);
  }
  return 0;
}

ReturnTp PutByte(GifState *s, unsigned char b) {
  if (s->out_block[0] == 255) {
    ReturnTp rc = WriteBlock(s);
    if (rc) return rc;
  }
  s->out_block[++s->out_block[0]] = b;
  return 0;
}

// Puts a code above the bits already gathered, least significant first,
// and widens the codes once the next free one needs it.
ReturnTp PutCode(GifState *s, uint32_t code) {
  s->acc |= code << s->acc_bits;
  s->acc_bits += s->code_width;
  while (s->acc_bits >= 8) {
    ReturnTp rc = PutByte(s, static_cast<unsigned char>(s->acc));
    if (rc) return rc;
    s->acc >>= 8;
    s->acc_bits -= 8;
  }
  if (code < kMaxCodes && s->next_free >= s->limit && s->code_width < 12) {
    ++s->code_width;
    s->limit = 1 << s->code_width;
  }
  return 0;
}

void RestartEncoder(GifState *s) {
  s->next_free = s->clear + 2;
  s->code_width = s->min_size + 1;
  s->limit = 1 << s->code_width;
  std::fill(s->hash.get(), s->hash.get() + kHashSize, kHashEmpty);
}

ReturnTp EncodePixels(GifState *s, const unsigned char *line, int32_t n) {
  const unsigned mask = (1u << s->min_size) - 1;
  uint32_t *hash = s->hash.get();
  int32_t x = 0;
  if (s->gathered == kNoPrefix && n > 0) s->gathered = line[x++] & mask;
  for (; x < n; ++x) {
    const uint32_t pixel = line[x] & mask;
    const uint32_t key = (s->gathered << 8) + pixel;
    uint32_t h = (key ^ (key >> 12)) & (kHashSize - 1);
    while (hash[h] != kHashEmpty && (hash[h] >> 12) != key) h = (h + 1) & (kHashSize - 1);
    if (hash[h] != kHashEmpty) {
      s->gathered = hash[h] & 0xFFF;
      continue;
    }
    ReturnTp rc = PutCode(s, s->gathered);
    if (rc) return rc;
    s->gathered = pixel;
    if (s->next_free > kLastCode) {
      rc = PutCode(s, static_cast<uint32_t>(s->clear));
      if (rc) return rc;
      RestartEncoder(s);
    } else {
      hash[h] = key << 12 | static_cast<uint32_t>(s->next_free++);
    }
  }
  return 0;
}

ReturnTp FinishEncoder(GifState *s) {
  ReturnTp rc = PutCode(s, s->gathered);
  if (!rc) rc = PutCode(s, static_cast<uint32_t>(s->end));
  if (!rc && s->acc_bits > 0) rc = PutByte(s, static_cast<unsigned char>(s->acc));
  s->acc = 0;
  s->acc_bits = 0;
  if (!rc) rc = WriteBlock(s);
  // The terminator: a block of no bytes.
  if (!rc && IfiWrite("", 1, 1, s->handle) != 0) {
    s->write_failed = true;
    rc = CmnError(CMN_SOURCE, __LINE__, CMN_E_WRITE_FILE);
  }
  return rc;
}

// ---------------------------------------------------------------------------
// The operations.

ReturnTp IfdGifInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  std::unique_ptr<GifState> s(new (std::nothrow) GifState());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  if (request->service == IFF_SRV_IMPORT) {
    ReturnTp rc = IffOpenDriverStream(request, &s->handle, nullptr, 0);
    if (rc) return rc;
    unsigned char magic[4] = {};
    IfiPeek(magic, 1, sizeof magic, s->handle);
    request->recognised = memcmp(magic, "GIF8", 4) == 0;
  } else {
    s->exporting = true;
    s->hash.reset(new (std::nothrow) uint32_t[kHashSize]);
    if (!s->hash) return CmnError(CMN_SOURCE, __LINE__, CMN_E_OPEN_FILE);
    ReturnTp rc = IfiOpenWrite(&request->spec, &s->handle);
    if (rc) return rc;
    if (IfiWrite("GIF89a", 1, 6, s->handle) != 0) {
      IfiClose(s->handle);
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_OPEN_FILE);
    }
  }
  *state = s.release();
  return 0;
}

ReturnTp IfdGifRdHead(void *state, IffParamTp *p) {
  auto *s = static_cast<GifState *>(state);
  if (!s || !p || s->exporting) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!s->screen_read) {
    ReturnTp rc = ReadScreen(s);
    if (rc) return rc;
  } else if (s->phase == kNoImage) {
    return IFF_I_NO_MORE_PAGES;
  } else {
    FinishImage(s);
  }
  s->phase = kNoImage;
  s->frame.clear();
  s->frame_done = false;
  s->failure = 0;
  s->next_line = 0;
  ReturnTp rc = ReadImageHeader(s, p);
  // A file without a single image has no first page: said, not only
  // returned, because nothing else tells the user.
  if (rc == IFF_I_NO_MORE_PAGES && !s->image_seen) {
    rc = CmnError(CMN_SOURCE, __LINE__, IFF_I_NO_MORE_PAGES);
    return rc ? rc : IFF_I_NO_MORE_PAGES | CMN_REPORTED;
  }
  if (rc) return rc;
  s->phase = kAtData;
  s->image_seen = true;

  p->width = s->width;
  p->height = s->height;
  SetAspect(s, p);
  p->has_cmap = 1;
  p->cmap_entries = 1 << s->cmap_bits;
  p->bits_per_sample = 8;
  p->bytes_per_pixel = 1;
  p->color_model = IFF_CM_RGB;
  p->orientation = 0;
  p->mirrored = 0;
  p->planes = 1;
  p->reported0 = 0;
  p->reported1 = 1;
  FXIBitsPerPixel = s->cmap_bits;
  FXICompression = IFF_COMP_LZW;
  // Two greys: each index becomes its grey as it is decoded. Indexes
  // beyond the table show white, as on a palette page.
  s->grey = s->cmap_bits == 1 && !p->transparent && IfdGreyPair(s->cmap, p);
  for (int i = 0; i < 256; ++i)
    s->map[i] = !s->grey ? static_cast<unsigned char>(i) : i < 2 ? s->cmap[3 * i] : 255;
  if (s->interlaced) {
    try {
      s->frame.resize(static_cast<size_t>(s->height));
    } catch (const std::exception &) {
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
    }
  }
  // The data is read once, in order: the I/O layer need not keep a copy.
  s->handle->exact_growth = 1;
  return 0;
}

ReturnTp IfdGifRdCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<GifState *>(state);
  if (!s || !p || !p->cmap) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  memcpy(p->cmap, s->cmap, 3u << s->cmap_bits);
  return 0;
}

ReturnTp IfdGifRdScan(void *state, IffParamTp *p) {
  auto *s = static_cast<GifState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->failure) return CmnReraise(CMN_SOURCE, __LINE__, s->failure);
  if (s->phase == kNoImage || p->line < 0 || p->line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
  ReturnTp rc = 0;
  if (s->phase == kAtData) rc = StartDecoder(s);
  if (!rc && s->interlaced) {
    // Every row is held until the last pass: only as many bytes as a file
    // of this size can really give.
    if (!s->frame_done && !IffWholeImageFits(int64_t{s->width} * s->height, s->handle->file_size)) {
      s->failure = CmnError(CMN_SOURCE, __LINE__, IFD_E_WHOLE_IMAGE, "GIF", s->width, s->height);
      return s->failure;
    }
    if (!s->frame_done) {
      rc = DecodeFrame(s);
      if (!rc) FinishImage(s);
    }
    if (!rc)
      memcpy(p->buffer, s->frame[static_cast<size_t>(p->line)].get(),
             static_cast<size_t>(s->width));
  } else if (!rc) {
    if (p->line != s->next_line) return CmnError(CMN_SOURCE, __LINE__, IFD_E_IMPORT_SEQUENCE);
    rc = DecodeRow(s, p->buffer, s->width);
    if (!rc && ++s->next_line == s->height) FinishImage(s);
  }
  if (rc) s->failure = IFD_E_GIF_DECOMPRESS;
  return rc;
}

ReturnTp IfdGifWtHead(void *state, IffParamTp *p) {
  auto *s = static_cast<GifState *>(state);
  if (!s || !p || !s->exporting) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!p->has_cmap) return CmnError(CMN_SOURCE, __LINE__, IFD_E_NEEDS_CMAP);
  // The colour model names the colour map's entries: red, green, blue.
  if (p->color_model != IFF_CM_RGB && p->color_model != IFF_CM_PALETTE)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_NEEDS_RGB);
  if (p->cmap_entries > 256 || p->cmap_entries < 0)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_CMAP_SIZE);
  if (p->width < 1 || p->height < 1) return CmnError(CMN_SOURCE, __LINE__, IFD_E_CONVERT, "GIF");
  // The screen and image sizes are 16-bit fields.
  if (p->width > 0xFFFF || p->height > 0xFFFF)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_TOO_LARGE, "GIF", p->width, p->height);
  // A header after the last row of a frame starts the next frame, with a
  // colour table of its own, on the first frame's screen.
  if (s->clear != 0) {
    if (s->pixels_left != 0) return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
    if (p->width > s->screen_width || p->height > s->screen_height) {
      char text[128];
      snprintf(text, sizeof text,
               "A GIF frame of %d x %d pixels does not fit the first one's %d x %d", p->width,
               p->height, s->screen_width, s->screen_height);
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, text);
    }
    s->image_seen = true;
    s->clear = 0;
  } else {
    s->screen_width = p->width;
    s->screen_height = p->height;
  }
  int bits = 1;
  while ((1 << bits) < p->cmap_entries) ++bits;
  s->out_bits = bits;
  s->entries = p->cmap_entries;
  s->width = p->width;
  s->height = p->height;
  s->bits_per_sample = p->bits_per_sample > 0 ? p->bits_per_sample : 8;
  p->compression[0] = IFF_COMP_LZW;
  return 0;
}

ReturnTp IfdGifWtCMap(void *state, IffParamTp *p) {
  auto *s = static_cast<GifState *>(state);
  if (!s || !p || !p->cmap || !s->exporting || s->out_bits == 0)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  // The table has 2^bits entries; those the caller has not got stay black.
  const int entries = 1 << s->out_bits;
  unsigned char table[768] = {};
  if (s->bits_per_sample == 8) {
    memcpy(table, p->cmap, 3u * static_cast<unsigned>(s->entries));
  } else if (s->entries > 0) {
    ReturnTp rc = IfuConvBPC(3 * s->entries, s->bits_per_sample, 8, p->cmap, table);
    if (rc) return rc;
  }

  unsigned char head[7 + 768 + 8 + 10 + 768 + 1];
  size_t n = 0;
  const bool first = !s->image_seen;  // the screen and its table come with the first frame
  if (first) {
    IfuPutLe16(head, static_cast<uint16_t>(s->width));
    IfuPutLe16(head + 2, static_cast<uint16_t>(s->height));
    head[4] = static_cast<unsigned char>(0x80 | 7 << 4 | (s->out_bits - 1));
    head[5] = 0;  // background
    head[6] = 0;  // aspect
    n = 7;
    memcpy(head + n, table, 3u * static_cast<unsigned>(entries));
    n += 3u * static_cast<unsigned>(entries);
  }
  if (p->transparent) {
    const unsigned char control[8] = {
        0x21, 0xF9, 4, 1, 0, 0, static_cast<unsigned char>(p->transparent_index), 0};
    memcpy(head + n, control, sizeof control);
    n += sizeof control;
  }
  head[n++] = ',';
  IfuPutLe16(head + n, 0);
  IfuPutLe16(head + n + 2, 0);
  IfuPutLe16(head + n + 4, static_cast<uint16_t>(s->width));
  IfuPutLe16(head + n + 6, static_cast<uint16_t>(s->height));
  head[n + 8] = static_cast<unsigned char>((first ? 0 : 0x80) | (s->out_bits - 1));
  n += 9;
  if (!first) {
    memcpy(head + n, table, 3u * static_cast<unsigned>(entries));
    n += 3u * static_cast<unsigned>(entries);
  }
  // A 2-colour image still needs 3-bit codes: 2 is the smallest size.
  s->min_size = std::max(2, s->out_bits);
  head[n++] = static_cast<unsigned char>(s->min_size);
  if (IfiWrite(head, 1, n, s->handle) != 0) {
    s->write_failed = true;
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_WRITE_FILE);
  }

  s->clear = 1 << s->min_size;
  s->end = s->clear + 1;
  RestartEncoder(s);
  s->gathered = kNoPrefix;
  s->acc = 0;
  s->acc_bits = 0;
  s->out_block[0] = 0;
  s->pixels_left = static_cast<int64_t>(s->width) * s->height;
  s->out_line = 0;
  return PutCode(s, static_cast<uint32_t>(s->clear));
}

ReturnTp IfdGifWtScan(void *state, IffParamTp *p) {
  auto *s = static_cast<GifState *>(state);
  if (!s || !p || !p->buffer || !s->exporting)
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->clear == 0 || p->line != s->out_line || s->out_line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  ++s->out_line;
  ReturnTp rc = EncodePixels(s, p->buffer, s->width);
  if (rc) return rc;
  s->pixels_left -= s->width;
  if (s->pixels_left == 0) return FinishEncoder(s);
  return 0;
}

// The trailer and the close are one step here: a failure of either is
// reported as the file's failing close, so the stream is closed here.
ReturnTp Finish(GifState *s) {
  ReturnTp rc = 0;
  if (s->exporting && !s->write_failed && IfiWrite(";", 1, 1, s->handle) != 0)
    rc = CmnError(CMN_SOURCE, __LINE__, IFD_E_GIF_CLOSE);
  const ReturnTp closed = IfiClose(s->handle);
  s->handle = nullptr;
  if (!rc && closed) rc = CmnError(CMN_SOURCE, __LINE__, IFD_E_GIF_CLOSE);
  return rc;
}

ReturnTp IfdGifTerm(void **state) { return IffTermDriverState<GifState>(state, Finish); }

}  // namespace

const IffFormatTp IfdGifFormat = {
    "GIF",
    {{IFF_TYPE_GIF, "GIF."}},
    1,
    0,
    {IfdGifInit, IfdGifRdHead, IfdGifWtHead, IfdGifRdCMap, IfdGifWtCMap, IfdGifRdScan, IfdGifWtScan,
     IfdGifTerm},
    {{"gif", IFF_TYPE_GIF, IFF_CM_PALETTE}},
    IFF_MODEL_BIT(IFF_CM_PALETTE),
    1,
};
