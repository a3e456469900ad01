// JPEG data in TIFF files, through the JPEG codec. Reading: new-style
// strips and tiles (tables from the JPEGTables tag), old-style data as one
// interchange stream or as bare scans whose tables the tags point at; each
// strip or tile is decoded whole, then handed out row by row. Writing: the
// whole picture one strip of one JPEG stream, coded as its rows come.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "tiffint.h"

#define CMN_SOURCE "tifjpeg"

namespace {

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

// The tables of an old-style page by number, each the payload of its
// marker segment (quantisation: precision and number, then the values;
// Huffman: class and number, 16 counts, then the symbols), with what an
// interchange stream says of its frame and scan.
struct OldTables {
  std::vector<uint8_t> q[4], dc[4], ac[4];
  uint32_t restart = 0;
  bool frame = false, scan = false;
  uint32_t precision = 0, height = 0;
  std::vector<uint8_t> frame_components;  // id, sampling, quantisation table
  std::vector<uint8_t> scan_components;   // id, Huffman tables
  uint64_t data_at = 0;                   // the entropy-coded data after the scan header
};

bool IsFrameMarker(uint8_t code) {
  return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
}

// The tables the tags point at: 64 quantisation values, or 16 counts and
// their symbols.
ReturnTp ReadTableTags(TiffState *s, OldTables *t) {
  const TiffDirectory &d = s->dir;
  const auto missing = [](uint64_t at) {
    return TIFF_FAIL(TIFF_E_JPEG_TABLE, static_cast<unsigned long>(at));
  };
  for (size_t i = 0; i < d.jpeg_q.size() && i < 4; ++i) {
    std::vector<uint8_t> &q = t->q[i];
    q.assign(65, static_cast<uint8_t>(i));
    if (!TiffReadAt(s, d.jpeg_q[i], &q[1], 64)) return missing(d.jpeg_q[i]);
  }
  for (int ac = 0; ac < 2; ++ac) {
    const std::vector<uint64_t> &at = ac ? d.jpeg_ac : d.jpeg_dc;
    for (size_t i = 0; i < at.size() && i < 4; ++i) {
      std::vector<uint8_t> &h = ac ? t->ac[i] : t->dc[i];
      h.assign(17, static_cast<uint8_t>(ac << 4 | i));
      if (!TiffReadAt(s, at[i], &h[1], 16)) return missing(at[i]);
      size_t symbols = 0;
      for (int k = 1; k <= 16; ++k) symbols += h[k];
      if (symbols > 256) return TIFF_FAIL(TIFF_E_INVALID);
      h.resize(17 + symbols);
      if (symbols && !TiffReadAt(s, at[i] + 16, &h[17], symbols)) return missing(at[i]);
    }
  }
  t->restart = d.jpeg_restart;
  return 0;
}

// The markers of an interchange stream at `at` up to its scan header (or
// its end, for a stream of tables only): its tables replace those of the
// tags with the same numbers. What is not a marker ends the reading;
// segments that do not fit before `end` are not read. *frame_code: the
// frame's marker.
void ReadInterchangeHeader(TiffState *s, uint64_t at, uint64_t end, OldTables *t,
                           uint8_t *frame_code) {
  uint8_t b[2];
  if (!TiffReadAt(s, at, b, 2) || b[0] != 0xFF || b[1] != 0xD8) return;
  at += 2;
  for (int segments = 0; segments < 4096 && at + 2 <= end; ++segments) {
    if (!TiffReadAt(s, at, b, 2) || b[0] != 0xFF) return;
    const uint8_t code = b[1];
    if (code == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    at += 2;
    if (code == 0xD8 || code == 0x01 || (code >= 0xD0 && code <= 0xD7)) continue;
    if (code == 0xD9 || !TiffReadAt(s, at, b, 2)) return;
    const uint32_t length = uint32_t{b[0]} << 8 | b[1];
    if (length < 2 || at + length > end) return;
    std::vector<uint8_t> p;
    if (code == 0xDB || code == 0xC4 || code == 0xDD || code == 0xDA || IsFrameMarker(code)) {
      p.resize(length - 2);
      if (!TiffReadAt(s, at + 2, p.data(), p.size())) return;
    }
    at += length;
    const size_t n = p.size();
    if (code == 0xDB) {
      for (size_t i = 0; i < n;) {
        const size_t size = 1 + (p[i] >> 4 ? 128 : 64);
        if ((p[i] & 15) > 3 || i + size > n) break;
        t->q[p[i] & 15].assign(p.begin() + i, p.begin() + i + size);
        i += size;
      }
    } else if (code == 0xC4) {
      for (size_t i = 0; i + 17 <= n;) {
        size_t size = 17;
        for (int k = 1; k <= 16; ++k) size += p[i + k];
        if ((p[i] & 15) > 3 || (p[i] >> 4) > 1 || i + size > n) break;
        (p[i] >> 4 ? t->ac : t->dc)[p[i] & 15].assign(p.begin() + i, p.begin() + i + size);
        i += size;
      }
    } else if (code == 0xDD && n == 2) {
      t->restart = uint32_t{p[0]} << 8 | p[1];
    } else if (IsFrameMarker(code) && n >= 6 && n == 6 + 3 * size_t{p[5]}) {
      t->frame = true;
      *frame_code = code;
      t->precision = p[0];
      t->height = uint32_t{p[1]} << 8 | p[2];
      t->frame_components.assign(p.begin() + 6, p.end());
    } else if (code == 0xDA) {
      if (n >= 1 && n == 4 + 2 * size_t{p[0]})
        t->scan_components.assign(p.begin() + 1, p.end() - 3);
      t->scan = true;
      t->data_at = at;
      return;
    }
  }
}

// The table headers every strip's stream starts with, and each
// component's sampling and table numbers: from the interchange stream's
// frame and scan where they describe the page's samples, else the first
// component (luma of YCbCr) sampled as YCbCrSubSampling says (2 x 2
// without it) and each component the tables of its own number, or the
// last there are.
void BuildOldJpegHead(TiffState *s, const OldTables &t) {
  const TiffDirectory &d = s->dir;
  const bool lossless = d.jpeg_proc == kTiffJpegProcLossless;
  std::vector<uint8_t> &h = s->jpeg_head;
  h = {0xFF, 0xD8};
  const auto last = [](const std::vector<uint8_t> *tables) {
    int n = 0;
    for (int i = 0; i < 4; ++i)
      if (!tables[i].empty()) n = i;
    return static_cast<uint32_t>(n);
  };
  for (int i = 0; i < 4 && !lossless; ++i)
    if (!t.q[i].empty()) JpegSegment(h, 0xDB, t.q[i]);
  for (int i = 0; i < 4; ++i)
    if (!t.dc[i].empty()) JpegSegment(h, 0xC4, t.dc[i]);
  for (int i = 0; i < 4 && !lossless; ++i)
    if (!t.ac[i].empty()) JpegSegment(h, 0xC4, t.ac[i]);
  if (t.restart)
    JpegSegment(h, 0xDD, {static_cast<uint8_t>(t.restart >> 8), static_cast<uint8_t>(t.restart)});
  uint32_t sub_h = s->jpeg_ycbcr ? 2 : 1, sub_v = sub_h;
  if (s->jpeg_ycbcr && d.ycbcr_subsampling.size() >= 2) {
    sub_h =
        static_cast<uint32_t>(std::min<uint64_t>(std::max<uint64_t>(d.ycbcr_subsampling[0], 1), 4));
    sub_v =
        static_cast<uint32_t>(std::min<uint64_t>(std::max<uint64_t>(d.ycbcr_subsampling[1], 1), 4));
  }
  const uint32_t n = d.samples;
  const bool frame = t.frame && t.frame_components.size() == 3 * n;
  const bool scan = frame && t.scan_components.size() == 2 * n;
  std::vector<uint8_t> &c = s->jpeg_components;
  c.clear();
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t sampling = static_cast<uint8_t>(i == 0 ? sub_h << 4 | sub_v : 0x11);
    uint8_t q = static_cast<uint8_t>(std::min(i, last(t.q)));
    uint8_t huff = static_cast<uint8_t>(std::min(i, last(t.dc)) << 4 | std::min(i, last(t.ac)));
    if (frame) {
      sampling = t.frame_components[3 * i + 1];
      q = t.frame_components[3 * i + 2] & 3;
    }
    if (scan)
      for (uint32_t k = 0; k < n; ++k)
        if (t.scan_components[2 * k] == t.frame_components[3 * i])
          huff = t.scan_components[2 * k + 1] & 0x33;
    c.insert(c.end(), {sampling, q, huff});
  }
}

// A stream's baseline frame marker made an extended one: the same coding,
// but up to four Huffman tables of each class, as writers of old-style
// data number their tables per component.
void AllowFourTables(std::vector<uint8_t> &data, size_t at) {
  if (at + 2 > data.size() || data[at] != 0xFF || data[at + 1] != 0xD8) return;
  at += 2;
  while (at + 4 <= data.size() && data[at] == 0xFF) {
    const uint8_t code = data[at + 1];
    if (code == 0xFF) {
      ++at;
      continue;
    }
    if (code == 0xD8 || code == 0x01 || (code >= 0xD0 && code <= 0xD7)) {
      at += 2;
      continue;
    }
    if (code == 0xC0) data[at + 1] = 0xC1;
    if (code == 0xDA || code == 0xD9) return;
    at += 2 + (size_t{data[at + 2]} << 8 | data[at + 3]);
  }
}

// The frame and scan headers of a strip or tile of `rows` x `columns`.
void OldJpegFrame(const TiffState *s, uint32_t columns, uint32_t rows, std::vector<uint8_t> &data) {
  const TiffDirectory &d = s->dir;
  const bool lossless = d.jpeg_proc == kTiffJpegProcLossless;
  const uint32_t n = d.samples;
  std::vector<uint8_t> sof = {static_cast<uint8_t>(s->jpeg_precision),
                              static_cast<uint8_t>(rows >> 8),
                              static_cast<uint8_t>(rows),
                              static_cast<uint8_t>(columns >> 8),
                              static_cast<uint8_t>(columns),
                              static_cast<uint8_t>(n)};
  std::vector<uint8_t> sos = {static_cast<uint8_t>(n)};
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t *c = &s->jpeg_components[3 * i];
    sof.insert(sof.end(), {static_cast<uint8_t>(i + 1), c[0], lossless ? uint8_t{0} : c[1]});
    sos.insert(sos.end(),
               {static_cast<uint8_t>(i + 1), static_cast<uint8_t>(lossless ? c[2] & 0xF0 : c[2])});
  }
  if (lossless) {
    const uint8_t predictor =
        static_cast<uint8_t>(d.jpeg_predictors.empty() ? 1 : d.jpeg_predictors[0]);
    const uint8_t pt =
        static_cast<uint8_t>(d.jpeg_point_transforms.empty() ? 0 : d.jpeg_point_transforms[0] & 15);
    sos.insert(sos.end(), {predictor, 0, pt});
  } else {
    sos.insert(sos.end(), {0, 63, 0});
  }
  JpegSegment(data, lossless ? 0xC3 : 0xC1, sof);
  JpegSegment(data, 0xDA, sos);
}

// The entropy-coded data of a strip made one scan of its own: restart
// markers before its data (left where writers cut one scan at them) go,
// and those within it are numbered from 0, as a scan's own are.
void CleanOldJpegData(std::vector<uint8_t> &data, size_t from) {
  size_t skip = from;
  while (skip + 1 < data.size() && data[skip] == 0xFF &&
         (data[skip + 1] == 0xFF || (data[skip + 1] >= 0xD0 && data[skip + 1] <= 0xD7)))
    skip += data[skip + 1] == 0xFF ? 1 : 2;
  data.erase(data.begin() + static_cast<std::ptrdiff_t>(from),
             data.begin() + static_cast<std::ptrdiff_t>(skip));
  uint8_t next = 0;
  for (size_t i = from; i + 1 < data.size(); ++i) {
    if (data[i] != 0xFF) continue;
    const uint8_t c = data[i + 1];
    if (c >= 0xD0 && c <= 0xD7) data[i + 1] = static_cast<uint8_t>(0xD0 + (next++ & 7));
    if (c != 0xFF) ++i;
  }
}

// Decodes strip or tile `index` (columns x rows pixels) into jpeg_rows.
ReturnTp DecodeJpeg(TiffState *s, uint64_t index, uint32_t columns, uint32_t rows) {
  const TiffDirectory &d = s->dir;
  const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(s->handle->file_size, 0));
  uint64_t count = d.counts[index];
  // Never more than the file holds: the count sizes the buffer.
  if (size && d.offsets[index] < size) count = std::min(count, size - d.offsets[index]);
  if (count > (uint64_t{1} << 30)) return TIFF_FAIL(TIFF_E_INVALID);
  std::vector<uint8_t> data;
  try {
    data.resize(static_cast<size_t>(count));
  } catch (const std::bad_alloc &) {
    return TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  }
  if (count) {
    // A strip cut short by the end of the file: what there is.
    size_t got = 0;
    if (d.offsets[index] <= static_cast<uint64_t>(INT64_MAX) &&
        !IfiSeek(s->handle, static_cast<int64_t>(d.offsets[index]), 0))
      got = IfiFetch(data.data(), 1, static_cast<size_t>(count), s->handle);
    data.resize(got);
  }
  // Old-style data: a stream of its own (the interchange stream, or a
  // strip that holds one) gets the tables it lacks from the tags; bare
  // entropy-coded data get the tables and the strip's frame and scan
  // headers before them.
  std::vector<uint8_t> tables;
  if (d.compression == kTiffCompOldJpeg) {
    if (s->jpeg_stream || (data.size() >= 2 && data[0] == 0xFF && data[1] == 0xD8)) {
      AllowFourTables(data, 0);
      tables = s->jpeg_head;
      tables.insert(tables.end(), {0xFF, 0xD9});
    } else {
      std::vector<uint8_t> head = s->jpeg_head;
      OldJpegFrame(s, columns, rows, head);
      data.insert(data.begin(), head.begin(), head.end());
      CleanOldJpegData(data, head.size());
      data.insert(data.end(), {0xFF, 0xD9});
    }
  }

  JpegParamTp *jp = nullptr;
  ReturnTp rc = IfuCodecCreateParam(&JpegCodecOps, reinterpret_cast<void **>(&jp));
  if (rc) return rc;
  const uint32_t components = s->planes > 1 ? 1 : d.samples;
  jp->color = components == 1 ? JPEG_GRAY : components == 4 ? JPEG_FOUR : JPEG_RGB;
  jp->raw_components = s->jpeg_raw;
  // Old-style data show their chroma repeated, as TIFF readers show them.
  jp->replicate = d.compression == kTiffCompOldJpeg;
  if (d.compression == kTiffCompJpeg && !d.jpeg_tables.empty()) {
    jp->tables = d.jpeg_tables.data();
    jp->tables_length = static_cast<int32_t>(d.jpeg_tables.size());
  } else if (!tables.empty()) {
    jp->tables = tables.data();
    jp->tables_length = static_cast<int32_t>(tables.size());
  }
  JpegInput in = {&data, 0, s->handle};
  IfuCodecTp *codec = nullptr;
  rc = IfuCodecOpenDecoder(nullptr, &JpegCodecOps, jp, JpegMemoryInput, &in, kTiffChunk, &codec);
  const uint64_t bytes = s->planes > 1 ? (d.tiled ? s->plane_tile_row_bytes : s->plane_row_bytes)
                                       : (d.tiled ? s->tile_row_bytes : s->row_bytes);
  s->jpeg_at = 0;
  if (!rc) {
    const auto *fp = static_cast<const JpegParamTp *>(codec->param);
    const size_t wide = fp->file_depth > 8 ? 2 : 1;
    // Four components come as they are (fp->components tells what the
    // frame holds: a frame of three for a page of four is not its data).
    const size_t decoded_row = static_cast<size_t>(fp->width) *
                               (components == 1   ? 1
                                : components == 4 ? 4
                                                  : 3) *
                               wide;
    if (components == 4 && fp->components != 4) rc = TIFF_FAIL(TIFF_E_INVALID);
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
    uint32_t y = 0;
    while (y < rows && !rc) {
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
    // A frame of fewer rows than the strip: the rest is made up.
    s->jpeg_rows.resize(static_cast<size_t>(y * bytes));
    IfuCodecTerm(&codec);
  }
  if (rc) {
    fprintf(stderr, "%s %d: JPEG error %s\n", CMN_SOURCE, __LINE__, JpegLastMessage());
    return TiffErrno = CmnReraise(CMN_SOURCE, __LINE__, rc);
  }
  return 0;
}

// Old-style data: the tables of the tags and of any interchange stream;
// the page decoded from that stream when the stream holds its data (within
// its stated length; without one, when the first strip does not start at
// or after its scan header), else strip by strip, or tile by tile, from
// the tables. A stream whose frame is the first strip's only marks strips
// that are each a stream of their own.
ReturnTp PrepareOldJpeg(TiffState *s) {
  TiffDirectory &d = s->dir;
  OldTables t;
  if (ReturnTp rc = ReadTableTags(s, &t)) return rc;
  const int64_t file_size = s->handle->file_size;
  const uint64_t limit = file_size > 0 ? static_cast<uint64_t>(file_size) : UINT64_MAX;
  const uint64_t at = d.jpeg_interchange;
  uint8_t code = 0;
  if (at && at < limit) {
    uint64_t length = d.jpeg_interchange_length;
    if (BrokenTiffJpeg && !d.counts.empty() && d.counts[0] > length) length = d.counts[0];
    const uint64_t end = length && length < limit - at ? at + length : limit;
    ReadInterchangeHeader(s, at, end, &t, &code);
    bool stream = false;
    if (t.scan) {
      if (d.offsets.empty())
        stream = true;
      else if (length)
        stream = end > t.data_at + 2;
      else
        stream = d.offsets[0] >= at && d.offsets[0] < t.data_at;
      const uint32_t rows =
          d.rows_per_strip == 0 || d.rows_per_strip > d.height ? d.height : d.rows_per_strip;
      if (stream && !d.tiled && d.offsets.size() > 1 && t.height == rows && rows < d.height)
        stream = false;
    }
    if (stream) {
      s->jpeg_stream = true;
      d.tiled = false;
      d.rows_per_strip = d.height;
      d.offsets.assign(1, at);
      d.counts.assign(1, (limit == UINT64_MAX ? UINT32_MAX : end) - at);
      d.has_counts = true;
    }
  }
  if (t.frame) {
    if (t.precision == 8 || t.precision == 12) d.bits = t.precision;
    d.jpeg_proc = code == 0xC3 ? kTiffJpegProcLossless : kTiffJpegProcBaseline;
  } else if (d.software.compare(0, 9, "gXconvert") == 0) {
    // gXconvert writes its sample size wrongly; its data are 8-bit.
    d.bits = 8;
    CmnError(CMN_SOURCE, __LINE__, TIFF_W_GXCONVERT);
  }
  if (d.jpeg_proc == 0) d.jpeg_proc = kTiffJpegProcBaseline;
  if (d.jpeg_proc != kTiffJpegProcBaseline && d.jpeg_proc != kTiffJpegProcLossless)
    return TIFF_FAIL(TIFF_E_UNSUPPORTED);
  BuildOldJpegHead(s, t);
  return 0;
}

// What JPEG data need before the layout is worked out: the components the
// codec delivers, and for old-style data their tables and layout.
ReturnTp PrepareJpeg(TiffState *s) {
  TiffDirectory &d = s->dir;
  s->jpeg_head.clear();
  s->jpeg_components.clear();
  s->jpeg_stream = false;
  // Four samples are CMYK, or RGB with alpha, coded without a colour
  // transform and converted by the reader as uncompressed ones are.
  const bool four = d.samples == 4 && d.compression == kTiffCompJpeg &&
                    (d.photometric == kTiffPhotoCmyk || d.photometric == kTiffPhotoRgb);
  if (d.samples != 1 && d.samples != 3 && !four) return TIFF_FAIL(TIFF_E_UNSUPPORTED);
  // Separate planes are one-component streams, grey to the codec; YCbCr
  // would then reach us unconverted.
  if (d.samples == 3 && d.planar == 2 && d.photometric == kTiffPhotoYCbCr)
    return TIFF_FAIL(IFD_E_TIFF_PLANAR);
  if (d.samples == 3 && d.planar == 2 && d.compression == kTiffCompOldJpeg)
    return TIFF_FAIL(IFD_E_TIFF_PLANAR);
  // The codec turns YCbCr into RGB; RGB data are coded as they are.
  s->jpeg_raw = d.photometric == kTiffPhotoRgb;
  s->jpeg_ycbcr = d.photometric == kTiffPhotoYCbCr && d.samples == 3;
  if (d.compression == kTiffCompOldJpeg)
    if (ReturnTp rc = PrepareOldJpeg(s)) return rc;
  if (d.bits != 8 && (d.bits < 2 || d.bits > 16)) return TIFF_FAIL(IFD_E_TIFF_BITS);
  s->jpeg_precision = d.bits;
  if (s->jpeg_ycbcr) d.photometric = kTiffPhotoRgb;
  if (d.bits > 8) d.bits = 16;
  return 0;
}

ReturnTp DecodeJpegRows(TiffState *s, uint8_t *out, uint64_t bytes, uint32_t rows, uint32_t,
                        size_t *got) {
  // The strip was decoded whole; what its data lacked the codec counted,
  // rows its frame did not have the reader counts.
  const size_t n = static_cast<size_t>(bytes * rows);
  const size_t k = std::min(n, s->jpeg_rows.size() - s->jpeg_at);
  if (k) memcpy(out, s->jpeg_rows.data() + s->jpeg_at, k);
  s->jpeg_at += k;
  *got = k;
  return 0;
}

ReturnTp EmitJpeg(void *arg, const uint8_t *data, int32_t length) {
  return TiffEmit(static_cast<TiffState *>(arg), data, static_cast<size_t>(length));
}

// The JPEG strip is complete: its place and length, then a word boundary.
ReturnTp FinishJpeg(TiffState *s) {
  ReturnTp rc = IfuCodecFinish(s->w_jpeg);
  IfuCodecTerm(&s->w_jpeg);
  if (rc) return rc;
  s->w_offsets.push_back(s->w_jpeg_start);
  s->w_counts.push_back(s->file_at - s->w_jpeg_start);
  return TiffAlignOutput(s);
}

// The request is read as every JPEG writer reads it (JpegCodingOf): a
// quality out of range is refused, not replaced. Baseline colour is coded
// as YCbCr, lossless as the samples are; grey and bilevel lines are coded
// as grey.
ReturnTp StartJpeg(TiffState *s, IffParamTp *p) {
  JpegCodingTp coding;
  ReturnTp rc = JpegCodingOf(p->compression, &coding);
  if (rc) return TIFF_FAIL(rc);
  JpegParamTp *jp = nullptr;
  rc = IfuCodecCreateParam(&JpegCodecOps, reinterpret_cast<void **>(&jp));
  if (rc) return rc;
  JpegUseCoding(&coding, jp);
  const bool lossless = jp->mode == JPEG_LOSSLESS;
  const bool colour = s->w_samples == 3;
  s->w_bits = 8;
  s->w_photometric = colour ? (lossless ? kTiffPhotoRgb : kTiffPhotoYCbCr) : kTiffPhotoBlackIsZero;
  s->w_rows_per_strip = static_cast<uint32_t>(s->height);
  jp->color = colour ? JPEG_RGB : JPEG_GRAY;
  s->w_ycbcr_sub[0] = static_cast<uint32_t>(jp->h_samp);
  s->w_ycbcr_sub[1] = static_cast<uint32_t>(jp->v_samp);
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

ReturnTp EncodeJpegRow(TiffState *s, const uint8_t *row) {
  if (!s->w_jpeg) return TIFF_FAIL(CMN_E_INVALID_ARG);
  ReturnTp rc = IfuCodecWrite(s->w_jpeg, row, static_cast<int32_t>(TiffWriteRowBytes(s)));
  if (rc) return rc;
  ++s->next_line;
  return s->next_line == s->height ? FinishJpeg(s) : 0;
}

}  // namespace

const TiffCoderTp TiffJpegCoder = {
    kTiffCompJpeg,           // tag
    IFF_COMP_JPEG_BASELINE,  // read_as
    // written_for
    TIFF_REQUEST_BIT(IFF_COMP_JPEG_LOSSLESS) | TIFF_REQUEST_BIT(IFF_COMP_JPEG_BASELINE),
    false,           // bilevel
    false,           // differencing
    true,            // refuses_palette
    PrepareJpeg,     // setup_decode
    DecodeJpeg,      // open_decode: the strip decoded whole
    DecodeJpegRows,  // decode
    nullptr,         // decode_line
    StartJpeg,       // setup_encode
    EncodeJpegRow,   // encode_row
    nullptr,         // encode_strip
};

// Old-style data are read, never written.
const TiffCoderTp TiffOldJpegCoder = {
    kTiffCompOldJpeg,        // tag
    IFF_COMP_JPEG_BASELINE,  // read_as (lossless when the process says so)
    0,                       // written_for
    false,                   // bilevel
    false,                   // differencing
    true,                    // refuses_palette
    PrepareJpeg,             // setup_decode
    DecodeJpeg,              // open_decode: the strip decoded whole
    DecodeJpegRows,          // decode
    nullptr,                 // decode_line
    nullptr,                 // setup_encode
    nullptr,                 // encode_row
    nullptr,                 // encode_strip
};
