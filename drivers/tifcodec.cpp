// The compressions of TIFF files: the table of coders, looked up by the
// Compression tag of a page read and by the request code of a file
// written, and the coder of uncompressed data. A new compression is a file
// that ends with its row, and the row's line here.
#include <cstring>

#include "tiffint.h"

#define CMN_SOURCE "tifcodec"

namespace {

const TiffCoderTp *const kCoders[] = {
    &TiffNoneCoder, &TiffMhCoder,      &TiffGroup3Coder, &TiffGroup4Coder,
    &TiffLzwCoder,  &TiffOldJpegCoder, &TiffJpegCoder,   &TiffPackBitsCoder,
};

ReturnTp OpenNone(TiffState *s, uint64_t, uint32_t, uint32_t) {
  return IfiSeek(s->handle, static_cast<int64_t>(s->in.position), 0) ? TIFF_FAIL(TIFF_E_INVALID)
                                                                     : 0;
}

// Rows past the end of the file are zeros the read counts as made up.
ReturnTp DecodeNone(TiffState *s, uint8_t *out, uint64_t bytes, uint32_t rows, uint32_t,
                    size_t *got) {
  const size_t n = static_cast<size_t>(bytes * rows);
  if (IfiRead(out, n, 1, s->handle)) memset(out, 0, n);
  if (s->reverse_input) IfuReverseBits(out, static_cast<int32_t>(n));
  *got = n;
  return 0;
}

}  // namespace

const TiffCoderTp TiffNoneCoder = {
    kTiffCompNone,                    // tag
    IFF_COMP_NONE,                    // read_as
    TIFF_REQUEST_BIT(IFF_COMP_NONE),  // written_for
    false,                            // bilevel
    false,                            // differencing
    false,                            // refuses_palette
    nullptr,                          // setup_decode
    OpenNone,                         // open_decode
    DecodeNone,                       // decode
    nullptr,                          // decode_line
    nullptr,                          // setup_encode
    nullptr,                          // encode_row
    nullptr,                          // encode_strip
};

const TiffCoderTp *TiffCoderFor(uint32_t tag) {
  for (const TiffCoderTp *c : kCoders)
    if (c->tag == tag) return c;
  return nullptr;
}

const TiffCoderTp *TiffCoderWriting(uint64_t request) {
  if (request >= 32) return nullptr;
  for (const TiffCoderTp *c : kCoders)
    if (c->written_for & TIFF_REQUEST_BIT(request)) return c;
  return nullptr;
}
