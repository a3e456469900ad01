// The CCITT fax codings in TIFF files (modified Huffman, Group 3 with one-
// or two-dimensional coding, Group 4) through the fax codec: each strip or
// tile decoded a row at a time, strips without a response curve drawn
// straight from their runs; each written strip coded on its own.
#include <algorithm>
#include <cstring>
#include <vector>

#include "tiffint.h"

#define CMN_SOURCE "tiffax"

namespace {

ReturnTp FaxInput(void *arg, uint8_t *buffer, int32_t *length) {
  TiffState *s = static_cast<TiffState *>(arg);
  TiffInput &in = s->in;
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

ReturnTp OpenFax(TiffState *s, uint64_t, uint32_t columns, uint32_t rows) {
  const TiffDirectory &d = s->dir;
  FaxParamTp *p = nullptr;
  ReturnTp rc = IfuCodecCreateParam(&FaxCodecOps, reinterpret_cast<void **>(&p));
  if (rc) return rc;
  p->mode = d.compression == kTiffCompModifiedHuffman ? FAX_MODE_MH
            : d.compression == kTiffCompGroup4        ? FAX_MODE_G4
            : (d.t4 & 1)                              ? FAX_MODE_G3_2D
                                                      : FAX_MODE_G3_1D;
  p->columns = static_cast<int32_t>(columns);
  p->rows = static_cast<int32_t>(rows);
  p->group3 = d.compression == kTiffCompGroup3;
  p->end_of_line = d.compression == kTiffCompGroup3;
  p->byte_align =
      d.compression == kTiffCompModifiedHuffman || (d.compression == kTiffCompGroup3 && (d.t4 & 4));
  p->msb_first = d.fill_order != 2;
  // Black runs are 1 bits whatever the photometric; a black-is-zero page
  // then shows them white, as libtiff and every viewer built on it does.
  p->black_is_one = 1;
  return IfuCodecOpenDecoder(nullptr, &FaxCodecOps, p, FaxInput, s, kTiffChunk, &s->fax);
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

ReturnTp DecodeFax(TiffState *s, uint8_t *out, uint64_t bytes, uint32_t rows, uint32_t columns,
                   size_t *got) {
  const int32_t row_bytes = static_cast<int32_t>((columns + 7) / 8);
  for (uint32_t r = 0; r < rows; ++r) {
    uint8_t *row = out + r * bytes;
    const int32_t *changes = nullptr;
    int32_t count = -1, failed = 0;
    ReturnTp rc = FaxDecodeRowChanges(s->fax, &changes, &count, &failed);
    if (rc) return rc;
    if (failed) FaxDamaged(s, s->next_line + r);
    if (count < 0) break;
    FaxFillRow(row, static_cast<int32_t>(columns), changes, count, true);
    if (static_cast<uint64_t>(row_bytes) < bytes) memset(row + row_bytes, 0, bytes - row_bytes);
    *got += bytes;
  }
  return 0;
}

// The changing elements of the next fax row into *changes and *count;
// false when the row is not there (a blank strip, data used up: its bytes
// are counted as made up) or decoding failed (*rc).
bool NextRowChanges(TiffState *s, const int32_t **changes, int32_t *count, ReturnTp *rc) {
  const int32_t width = static_cast<int32_t>(s->dir.width);
  *rc = 0;
  if (s->blank_strip) {
    IfiAccount(s->handle, 0, width / 8 + 1);
    return false;
  }
  int32_t failed = 0;
  *count = -1;
  if ((*rc = FaxDecodeRowChanges(s->fax, changes, count, &failed))) return false;
  if (failed) FaxDamaged(s, s->next_line);
  if (*count < 0) {
    TiffAccountMadeUp(s, width / 8 + 1);
    return false;
  }
  return true;
}

// Asked for runs, the row's changing elements are handed over as they
// are; a row that is not there (a blank strip, data used up) is 255
// whatever the photometric, as its bytes are.
ReturnTp FaxRunsRow(TiffState *s, IffParamTp *p) {
  const uint8_t white = s->dir.photometric == kTiffPhotoBlackIsZero ? 0 : 255;
  p->line_form = IFF_LINE_RUNS;
  p->change_count = 0;
  p->levels[0] = p->levels[1] = 255;
  const int32_t *changes = nullptr;
  int32_t count = -1;
  ReturnTp rc = 0;
  if (!NextRowChanges(s, &changes, &count, &rc)) return rc;
  p->levels[0] = white;
  p->levels[1] = static_cast<uint8_t>(255 - white);
  p->changes = changes;
  p->change_count = count;
  return 0;
}

// A fax row straight from its runs: white runs 255 and black runs 0, or
// the other way round on a black-is-zero page.
ReturnTp FaxDirectRow(TiffState *s, uint8_t *line) {
  if (s->scan && s->scan->runs_wanted) return FaxRunsRow(s, s->scan);
  const int32_t width = static_cast<int32_t>(s->dir.width);
  const uint8_t white = s->dir.photometric == kTiffPhotoBlackIsZero ? 0 : 255;
  memset(line, 255, static_cast<size_t>(width));
  const int32_t *changes = nullptr;
  int32_t count = -1;
  ReturnTp rc = 0;
  if (!NextRowChanges(s, &changes, &count, &rc)) return rc;
  if (white == 0) memset(line, 0, static_cast<size_t>(width));
  for (int32_t i = 0; i < count; i += 2) {
    const int32_t from = std::min(changes[i], width);
    const int32_t to = i + 1 < count ? std::min(changes[i + 1], width) : width;
    if (to > from) memset(line + from, 255 - white, static_cast<size_t>(to - from));
  }
  return 0;
}

ReturnTp AppendOutput(void *arg, const uint8_t *data, int32_t length) {
  auto *v = static_cast<std::vector<uint8_t> *>(arg);
  v->insert(v->end(), data, data + length);
  return 0;
}

// Written fax data are black-is-one; Group 3 is written one-dimensional,
// with its ends of line.
ReturnTp EncodeFax(TiffState *s, const uint8_t *rows, uint64_t row_bytes, uint32_t count) {
  FaxParamTp *p = nullptr;
  ReturnTp rc = IfuCodecCreateParam(&FaxCodecOps, reinterpret_cast<void **>(&p));
  if (rc) return rc;
  p->mode = s->w_compression == kTiffCompGroup4   ? FAX_MODE_G4
            : s->w_compression == kTiffCompGroup3 ? FAX_MODE_G3_1D
                                                  : FAX_MODE_MH;
  p->columns = s->width;
  p->rows = static_cast<int32_t>(count);
  p->group3 = s->w_compression == kTiffCompGroup3;
  p->end_of_line = s->w_compression == kTiffCompGroup3;
  p->byte_align = s->w_compression == kTiffCompModifiedHuffman;
  p->black_is_one = 1;
  IfuCodecTp *codec = nullptr;
  rc = IfuCodecOpenEncoder(nullptr, &FaxCodecOps, p, AppendOutput, &s->packed, &codec);
  if (!rc) rc = IfuCodecWrite(codec, rows, static_cast<int32_t>(row_bytes * count));
  if (!rc) rc = IfuCodecFinish(codec);
  if (codec) IfuCodecTerm(&codec);
  return rc;
}

}  // namespace

const TiffCoderTp TiffMhCoder = {
    kTiffCompModifiedHuffman,            // tag
    IFF_COMP_G3_TIFF,                    // read_as
    TIFF_REQUEST_BIT(IFF_COMP_G3_TIFF),  // written_for
    true,                                // bilevel
    false,                               // differencing
    false,                               // refuses_palette
    nullptr,                             // setup_decode
    OpenFax,                             // open_decode
    DecodeFax,                           // decode
    FaxDirectRow,                        // decode_line
    nullptr,                             // setup_encode
    nullptr,                             // encode_row
    EncodeFax,                           // encode_strip
};

// Two-dimensional coding is read (and named as such), never written.
const TiffCoderTp TiffGroup3Coder = {
    kTiffCompGroup3,                // tag
    IFF_COMP_G3,                    // read_as (FaxG3-2D with two-dimensional coding)
    TIFF_REQUEST_BIT(IFF_COMP_G3),  // written_for
    true,                           // bilevel
    false,                          // differencing
    false,                          // refuses_palette
    nullptr,                        // setup_decode
    OpenFax,                        // open_decode
    DecodeFax,                      // decode
    FaxDirectRow,                   // decode_line
    nullptr,                        // setup_encode
    nullptr,                        // encode_row
    EncodeFax,                      // encode_strip
};

const TiffCoderTp TiffGroup4Coder = {
    kTiffCompGroup4,                // tag
    IFF_COMP_G4,                    // read_as
    TIFF_REQUEST_BIT(IFF_COMP_G4),  // written_for
    true,                           // bilevel
    false,                          // differencing
    false,                          // refuses_palette
    nullptr,                        // setup_decode
    OpenFax,                        // open_decode
    DecodeFax,                      // decode
    FaxDirectRow,                   // decode_line
    nullptr,                        // setup_encode
    nullptr,                        // encode_row
    EncodeFax,                      // encode_strip
};
