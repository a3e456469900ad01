// The compressions of TIFF files: the table of coders, looked up by the
// Compression tag of a page read and by the request code of a file
// written, and the coder of uncompressed data. A new compression is a file
// that ends with its row, and the row's line here.
#include <cstring>

#include "tiffint.h"

#define CMN_SOURCE "tifcodec"

namespace {

const TiffCoderTp *const kCoders[] = {
    &TiffNoneCoder,    &TiffMhCoder,   &TiffGroup3Coder,   &TiffGroup4Coder,  &TiffLzwCoder,
    &TiffOldJpegCoder, &TiffJpegCoder, &TiffPackBitsCoder, &TiffDeflateCoder, &TiffOldDeflateCoder,
};

ReturnTp OpenNone(TiffState *s, uint64_t, uint32_t, uint32_t) {
  return IfiSeek(s->handle, static_cast<int64_t>(s->in.position), 0) ? TIFF_FAIL(TIFF_E_INVALID)
                                                                     : 0;
}

// Rows past the end of the file are zeros the read counts as made up.
// Separate planes are read in turn, each from where it stopped.
ReturnTp DecodeNone(TiffState *s, uint8_t *out, uint64_t bytes, uint32_t rows, uint32_t,
                    size_t *got) {
  const size_t n = static_cast<size_t>(bytes * rows);
  if (s->planes > 1 && IfiSeek(s->handle, static_cast<int64_t>(s->in.position), 0))
    return TIFF_FAIL(TIFF_E_INVALID);
  s->in.position += n;
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

// The compressions other writers use that this reader leaves alone, by
// name, so that a refusal tells the user what the file holds.
const char *TiffCompressionName(uint32_t tag) {
  static const struct {
    uint32_t tag;
    const char *name;
  } kNames[] = {
      {9, "JBIG"},           {10, "JBIG colour"},
      {32771, "CCITT RLEW"}, {32809, "ThunderScan"},
      {32895, "IT8 CT"},     {32896, "IT8 LW"},
      {32897, "IT8 MP"},     {32898, "IT8 BL"},
      {32908, "Pixar film"}, {32909, "PixarLog"},
      {32947, "Kodak DCS"},  {34661, "JBIG"},
      {34676, "SGI LogLuv"}, {34677, "SGI LogLuv 24"},
      {34712, "JPEG 2000"},  {34887, "LERC"},
      {34892, "lossy JPEG"}, {34925, "LZMA"},
      {50000, "zstd"},       {50001, "WebP"},
      {50002, "JPEG XL"},    {52546, "JPEG XL"},
  };
  for (const auto &n : kNames)
    if (n.tag == tag) return n.name;
  return nullptr;
}

const TiffCoderTp *TiffCoderWriting(uint64_t request) {
  if (request >= 32) return nullptr;
  for (const TiffCoderTp *c : kCoders)
    if (c->written_for & TIFF_REQUEST_BIT(request)) return c;
  return nullptr;
}
