// TIFF's Deflate coding (Compression 8, and 32946 of older writers): each
// strip or tile one zlib stream. The decoder inflates only as many bytes
// as the rows asked for, so a strip streams a row at a time and a stream
// that would inflate past its strip is never followed further; a stream
// that ends early, or breaks, leaves the rest of its rows to the reader,
// which fills them with zeros and counts them as made up.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "tiffint.h"

#define CMN_SOURCE "tifzip"

struct TiffZipStream {
  z_stream z;
  bool ready = false;  // inflateInit done
  bool ended = false;  // the stream's end, or damage, reached
};

void TiffZipDelete::operator()(TiffZipStream *z) const {
  if (z->ready) inflateEnd(&z->z);
  delete z;
}

namespace {

ReturnTp OpenZip(TiffState *s, uint64_t, uint32_t, uint32_t) {
  if (!s->zip) {
    s->zip.reset(new (std::nothrow) TiffZipStream());
    if (!s->zip) return TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
    memset(&s->zip->z, 0, sizeof s->zip->z);
  }
  TiffZipStream &zs = *s->zip;
  const int rc = zs.ready ? inflateReset(&zs.z) : inflateInit(&zs.z);
  if (rc != Z_OK) return TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  zs.ready = true;
  zs.ended = false;
  return 0;
}

ReturnTp DecodeZip(TiffState *s, uint8_t *out, uint64_t bytes, uint32_t rows, uint32_t,
                   size_t *got) {
  TiffZipStream &zs = *s->zip;
  TiffInput &in = s->in;
  const size_t n = static_cast<size_t>(bytes * rows);
  size_t done = 0;
  while (done < n && !zs.ended) {
    if (in.at >= in.end && TiffRefill(s) == 0) break;
    zs.z.next_in = &in.chunk[static_cast<size_t>(in.at)];
    zs.z.avail_in = static_cast<uInt>(in.end - in.at);
    // Rows are far below 4 GiB (the layout caps them); a chunk of output
    // at a time all the same, so that avail_out never wraps.
    const size_t want = std::min<size_t>(n - done, size_t{1} << 30);
    zs.z.next_out = out + done;
    zs.z.avail_out = static_cast<uInt>(want);
    const int rc = inflate(&zs.z, Z_NO_FLUSH);
    done += want - zs.z.avail_out;
    in.at = in.end - static_cast<int32_t>(zs.z.avail_in);
    // The stream's end, or data that cannot be inflated: what came is
    // kept, the rest of the strip is made up by the reader.
    if (rc == Z_STREAM_END || rc == Z_DATA_ERROR || rc == Z_NEED_DICT || rc == Z_MEM_ERROR)
      zs.ended = true;
  }
  *got = done;
  return 0;
}

// A strip in one go: the strip buffer is the writer's whole working set.
ReturnTp EncodeZip(TiffState *s, const uint8_t *rows, uint64_t row_bytes, uint32_t count) {
  const uLong n = static_cast<uLong>(row_bytes * count);
  uLongf size = compressBound(n);
  try {
    s->packed.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc &) {
    return TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  }
  if (compress2(s->packed.data(), &size, rows, n, Z_DEFAULT_COMPRESSION) != Z_OK)
    return TIFF_FAIL(CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  s->packed.resize(static_cast<size_t>(size));
  return 0;
}

}  // namespace

const TiffCoderTp TiffDeflateCoder = {
    kTiffCompDeflate,                    // tag
    IFF_COMP_DEFLATE,                    // read_as
    TIFF_REQUEST_BIT(IFF_COMP_DEFLATE),  // written_for
    false,                               // bilevel
    true,                                // differencing
    false,                               // refuses_palette
    nullptr,                             // setup_decode
    OpenZip,                             // open_decode
    DecodeZip,                           // decode
    nullptr,                             // decode_line
    nullptr,                             // setup_encode
    nullptr,                             // encode_row
    EncodeZip,                           // encode_strip
};

// The value older writers gave Deflate before it had its own: read only.
const TiffCoderTp TiffOldDeflateCoder = {
    kTiffCompOldDeflate,  // tag
    IFF_COMP_DEFLATE,     // read_as
    0,                    // written_for
    false,                // bilevel
    true,                 // differencing
    false,                // refuses_palette
    nullptr,              // setup_decode
    OpenZip,              // open_decode
    DecodeZip,            // decode
    nullptr,              // decode_line
    nullptr,              // setup_encode
    nullptr,              // encode_row
    nullptr,              // encode_strip
};
