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

// Old-style JPEG without an interchange stream: the tables the tags point
// at, as the markers of a stream (the frame and scan headers follow per strip).
ReturnTp BuildOldJpegHead(TiffState *s) {
  const TiffDirectory &d = s->dir;
  std::vector<uint8_t> &h = s->jpeg_head;
  h = {0xFF, 0xD8};
  const bool lossless = d.jpeg_proc == kTiffJpegProcLossless;
  if (!lossless) {
    for (size_t t = 0; t < d.jpeg_q.size() && t < 4; ++t) {
      std::vector<uint8_t> q(65);
      q[0] = static_cast<uint8_t>(t);
      if (!TiffReadAt(s, d.jpeg_q[t], &q[1], 64)) return TIFF_FAIL(TIFF_E_INVALID);
      JpegSegment(h, 0xDB, q);
    }
  }
  for (int ac = 0; ac < (lossless ? 1 : 2); ++ac) {
    const std::vector<uint64_t> &tables = ac ? d.jpeg_ac : d.jpeg_dc;
    for (size_t t = 0; t < tables.size() && t < 4; ++t) {
      std::vector<uint8_t> table(17);
      table[0] = static_cast<uint8_t>(ac << 4 | t);
      if (!TiffReadAt(s, tables[t], &table[1], 16)) return TIFF_FAIL(TIFF_E_INVALID);
      size_t symbols = 0;
      for (int i = 1; i <= 16; ++i) symbols += table[i];
      if (symbols > 256) return TIFF_FAIL(TIFF_E_INVALID);
      table.resize(17 + symbols);
      if (symbols && !TiffReadAt(s, tables[t] + 16, &table[17], symbols))
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
  const TiffDirectory &d = s->dir;
  const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(s->handle->file_size, 0));
  uint64_t count = d.counts[index];
  // Never more than the file holds: the count sizes the buffer.
  if (size && d.offsets[index] < size) count = std::min(count, size - d.offsets[index]);
  if (count > (uint64_t{1} << 30)) return TIFF_FAIL(TIFF_E_INVALID);
  std::vector<uint8_t> data;
  const bool old_frame = d.compression == kTiffCompOldJpeg && !s->jpeg_head.empty();
  if (old_frame) {
    // The frame and scan headers of this strip, then its entropy-coded data.
    data = s->jpeg_head;
    const bool lossless = d.jpeg_proc == kTiffJpegProcLossless;
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
  const uint32_t components = s->planes > 1 ? 1 : d.samples;
  jp->color = components == 1 ? JPEG_GRAY : components == 4 ? JPEG_FOUR : JPEG_RGB;
  jp->raw_components = s->jpeg_raw;
  // Old-style data show their chroma repeated, as TIFF readers show them.
  jp->replicate = d.compression == kTiffCompOldJpeg;
  if (d.compression == kTiffCompJpeg && !d.jpeg_tables.empty()) {
    jp->tables = d.jpeg_tables.data();
    jp->tables_length = static_cast<int32_t>(d.jpeg_tables.size());
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
  TiffDirectory &d = s->dir;
  s->jpeg_head.clear();
  // Four samples are CMYK, or RGB with alpha, coded without a colour
  // transform and converted by the reader as uncompressed ones are.
  const bool four = d.samples == 4 && d.compression == kTiffCompJpeg &&
                    (d.photometric == kTiffPhotoCmyk || d.photometric == kTiffPhotoRgb);
  if (d.samples != 1 && d.samples != 3 && !four) return TIFF_FAIL(TIFF_E_UNSUPPORTED);
  // Separate planes are one-component streams, grey to the codec; YCbCr
  // would then reach us unconverted.
  if (d.samples == 3 && d.planar == 2 && d.photometric == kTiffPhotoYCbCr)
    return TIFF_FAIL(IFD_E_TIFF_PLANAR);
  if (d.bits != 8 && (d.bits < 2 || d.bits > 16)) return TIFF_FAIL(IFD_E_TIFF_BITS);
  if (d.samples == 3 && d.planar == 2 && d.compression == kTiffCompOldJpeg)
    return TIFF_FAIL(IFD_E_TIFF_PLANAR);
  s->jpeg_precision = d.bits;
  // The codec turns YCbCr into RGB; RGB data are coded as they are.
  s->jpeg_raw = d.photometric == kTiffPhotoRgb;
  s->jpeg_ycbcr = d.photometric == kTiffPhotoYCbCr && d.samples == 3;
  if (s->jpeg_ycbcr) d.photometric = kTiffPhotoRgb;
  if (d.bits > 8) d.bits = 16;
  if (d.compression != kTiffCompOldJpeg) return 0;
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
  if (d.jpeg_proc != kTiffJpegProcBaseline && d.jpeg_proc != kTiffJpegProcLossless)
    return TIFF_FAIL(TIFF_E_UNSUPPORTED);
  return BuildOldJpegHead(s);
}

ReturnTp DecodeJpegRows(TiffState *s, uint8_t *out, uint64_t bytes, uint32_t rows, uint32_t,
                        size_t *got) {
  // The strip was decoded whole; what its data lacked the codec counted.
  const size_t n = static_cast<size_t>(bytes * rows);
  const size_t k = std::min(n, s->jpeg_rows.size() - s->jpeg_at);
  if (k) memcpy(out, s->jpeg_rows.data() + s->jpeg_at, k);
  s->jpeg_at += k;
  if (k < n) memset(out + k, 0, n - k);
  *got = n;
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
