// PDF export: one page showing the picture as one image XObject, the data
// uncompressed, DCT (JPEG), Group 4 or Flate coded. Reading PDF is the
// filters' work.
//
// The file is written front to back and every byte is counted here, so
// that the cross-reference table is right on a pipe too. The image's
// length is only known at the end, so it goes into an object of its own
// (7) that follows the data. Flate data is deflated row by row: memory
// follows one row, never the whole picture.
#include <zlib.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "codecs.h"
#include "drivers.h"

namespace {

#define CMN_SOURCE "ifdpdf"

// The release named in the file's Creator entry: 10 reads 1.0, then the build.
constexpr int kVersion = 10, kBuild = 1;
constexpr size_t kStreamBuffer = 4000;
constexpr size_t kDeflateChunk = 65536;
// The content stream states its length as 41: the page size must fit the
// six characters it is given there.
constexpr long kMaxPoints = 999999;

struct PdfState {
  IfiHandleTp *handle = nullptr;
  int64_t written = 0;      // bytes of the file so far
  int64_t offsets[8] = {};  // of objects 1 to 7
  int64_t data_start = 0;
  int32_t width = 0, height = 0;
  int32_t row_bytes = 0;  // handed to the output
  uint32_t model = 0;
  bool one_bit = false;
  uint64_t compression = IFF_COMP_NONE;  // none, DCT, CCITT Group 4 or Flate
  int32_t next_line = 0;
  bool failed = false;  // a step failed: the file must not look complete
  IfuCodecTp *codec = nullptr;
  z_stream zs{};
  bool deflating = false;
  unsigned char *row = nullptr;    // one output row
  unsigned char *chunk = nullptr;  // deflate output
};

ReturnTp Put(PdfState *s, const void *data, size_t length) {
  if (!length) return 0;
  ReturnTp rc = IfiWrite(data, length, 1, s->handle);
  if (rc) return rc;
  s->written += static_cast<int64_t>(length);
  return 0;
}

ReturnTp PutText(PdfState *s, const char *format, ...) __attribute__((format(printf, 2, 3)));
ReturnTp PutText(PdfState *s, const char *format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  CMN_ASSERT(n >= 0 && static_cast<size_t>(n) < sizeof text);
  return Put(s, text, static_cast<size_t>(n));
}

ReturnTp CodecOutput(void *arg, const uint8_t *data, int32_t length) {
  return Put(static_cast<PdfState *>(arg), data, static_cast<size_t>(length));
}

// Page size in points: from the resolution, else one point per pixel.
long Points(int32_t pixels, double resolution) {
  if (resolution <= 0) return pixels;
  const double points = pixels / resolution * 72 + 0.49;
  if (points < 1) return 1;  // an empty page would show nothing
  return points > kMaxPoints + 1 ? kMaxPoints + 1 : static_cast<long>(points);
}

// Light pixels (128 and up) become set bits, first pixel in the high bit;
// the bits after the last pixel are set too (white, to every reader).
void PackBits(const unsigned char *in, int32_t width, unsigned char *out) {
  const int32_t whole = width / 8;
  for (int32_t i = 0; i < whole; ++i, in += 8) {
    unsigned v = 0;
    for (int b = 0; b < 8; ++b) v = v << 1 | (in[b] >> 7);
    out[i] = static_cast<unsigned char>(v);
  }
  if (width % 8) {
    unsigned v = 0;
    for (int b = 0; b < 8; ++b) v = v << 1 | (b < width % 8 ? in[b] >> 7 : 1);
    out[whole] = static_cast<unsigned char>(v);
  }
}

ReturnTp Deflate(PdfState *s, int flush) {
  do {
    s->zs.next_out = s->chunk;
    s->zs.avail_out = kDeflateChunk;
    const int z = deflate(&s->zs, flush);
    if (z == Z_STREAM_ERROR) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
    ReturnTp rc = Put(s, s->chunk, kDeflateChunk - s->zs.avail_out);
    if (rc) return rc;
  } while (s->zs.avail_out == 0);
  return 0;
}

ReturnTp WriteHeader(PdfState *s, long w, long h) {
  if (PutText(s, "%%PDF-1.2\n%%\x80\x81\x82\x83\n"))
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_HEADER);
  ReturnTp rc = 0;
  s->offsets[1] = s->written;
  rc = PutText(s, "1 0 obj\n<< /Type /Catalog\n   /Pages 3 0 R\n>>\nendobj\n");
  if (rc) return rc;
  s->offsets[2] = s->written;
  rc = PutText(s, "2 0 obj\n<< /Creator (Plotvise %d.%d.%d) >>\nendobj\n", kVersion / 10,
               kVersion % 10, kBuild);
  if (rc) return rc;
  s->offsets[3] = s->written;
  rc = PutText(s, "3 0 obj\n<< /Type /Pages\n   /Count 1\n   /Kids [ 4 0 R ]\n>>\nendobj\n");
  if (rc) return rc;
  s->offsets[4] = s->written;
  rc = PutText(s,
               "4 0 obj\n<< /Type /Page\n   /Parent 3 0 R\n   /MediaBox [0 0 %ld %ld]\n"
               "   /CropBox  [0 0 %ld %ld]\n   /Rotate 0\n   /Resources\n"
               "   << /XObject << /QPLpdf0 6 0 R >>\n      /ProcSet [/PDF /ImageC ]\n   >>\n"
               "   /Contents 5 0 R\n>>\nendobj\n",
               w, h, w, h);
  if (rc) return rc;
  s->offsets[5] = s->written;
  rc = PutText(s,
               "5 0 obj\n<< /Length 41\n>>\nstream\nq\n%6ld 0 0 %6ld 0 0 cm\n/QPLpdf0 "
               "Do\nQ\nendstream\nendobj\n",
               w, h);
  if (rc) return rc;
  s->offsets[6] = s->written;
  rc = PutText(s, "6 0 obj\n<< /Type /XObject\n   /Subtype /Image\n   /Name /QPLpdf0\n");
  if (!rc && s->compression == IFF_COMP_DEFLATE) rc = PutText(s, "   /Filter /FlateDecode\n");
  if (!rc && s->compression == IFF_COMP_JPEG_BASELINE) rc = PutText(s, "   /Filter /DCTDecode\n");
  if (!rc && s->compression == IFF_COMP_G4)
    rc = PutText(s,
                 "   /Filter /CCITTFaxDecode\n   /DecodeParms\n    << /K -1\n"
                 "       /Columns %6d\n       /Rows    %6d\n    >>\n",
                 s->width, s->height);
  if (!rc) rc = PutText(s, "   /Width %6d\n   /Height %6d\n", s->width, s->height);
  if (!rc)
    rc =
        PutText(s, "%s\n   /BitsPerComponent %d\n",
                s->model == IFF_CM_RGB ? "   /ColorSpace /DeviceRGB" : "   /ColorSpace /DeviceGray",
                s->one_bit ? 1 : 8);
  if (!rc) rc = PutText(s, "   /Length 7 0 R\n>>\nstream\n");
  s->data_start = s->written;
  return rc;
}

ReturnTp WriteTrailer(PdfState *s) {
  const int64_t length = s->written - s->data_start;
  ReturnTp rc = PutText(s, "\nendstream\nendobj\n");
  if (rc) return rc;
  s->offsets[7] = s->written;
  rc = PutText(s, "7 0 obj\n%ld\nendobj\n", static_cast<long>(length));
  if (rc) return rc;
  const int64_t xref = s->written;
  rc = PutText(s, "xref\n0 8\n0000000000 65535 f \n");
  for (int i = 1; !rc && i <= 7; ++i)
    rc = PutText(s, "%010ld 00000 n \n", static_cast<long>(s->offsets[i]));
  if (!rc)
    rc = PutText(s, "trailer\n<< /Size 8\n   /Root 1 0 R\n>>\nstartxref\n%ld\n%c%cEOF\n",
                 static_cast<long>(xref), '%', '%');
  return rc;
}

ReturnTp IfdPdfInit(void **state, IffOpenRequestTp *request, IffControlBlockTp *) {
  if (!state || !request) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  *state = nullptr;
  // Reading a PDF means drawing it: that is a filter's work, not ours.
  if (request->service != IFF_SRV_EXPORT) return CmnError(CMN_SOURCE, __LINE__, IFF_E_UNKNOWN_TYPE);
  std::unique_ptr<PdfState> s(new (std::nothrow) PdfState());
  if (!s) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  ReturnTp rc = IffOpenDriverStream(request, &s->handle, nullptr, 0);
  if (rc) return rc;
  rc = IfiSetBuffer(s->handle, nullptr, 0, kStreamBuffer);
  if (rc) {
    IfiClose(s->handle);
    return rc;
  }
  request->recognised = 1;
  *state = s.release();
  return 0;
}

ReturnTp IfdPdfWtHead(void *state, IffParamTp *p) {
  auto *s = static_cast<PdfState *>(state);
  if (!s || !p) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (s->next_line || s->data_start) return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  s->failed = true;  // until the header is out
  s->width = p->width;
  s->height = p->height;
  s->model = p->color_model;
  s->compression = p->compression[0];
  if (s->compression != IFF_COMP_NONE && s->compression != IFF_COMP_G4 &&
      s->compression != IFF_COMP_DEFLATE && s->compression != IFF_COMP_JPEG_BASELINE)
    return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
  // DCT data is coded as the JPEG writers code it, baseline only.
  JpegCodingTp coding = {};
  if (s->compression == IFF_COMP_JPEG_BASELINE) {
    const ReturnTp refused = JpegCodingOf(p->compression, &coding);
    if (refused) return CmnError(CMN_SOURCE, __LINE__, refused);
  }
  if (p->width < 1 || p->height < 1) return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
  switch (p->color_model) {
    case IFF_CM_RGB:
      s->row_bytes = 3 * p->width;
      break;
    case IFF_CM_GRAY:
      s->one_bit = p->compression[2] == IFF_ONE_BIT;
      break;
    case IFF_CM_BILEVEL:
      s->one_bit = true;
      break;
    default:
      return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
  }
  // DCT codes grey and bilevel pictures as grey samples.
  if (s->compression == IFF_COMP_JPEG_BASELINE) s->one_bit = false;
  // Group 4 codes bits: grey is thresholded, colour has no meaning there.
  if (s->compression == IFF_COMP_G4) {
    if (s->model == IFF_CM_RGB) return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);
    s->one_bit = true;
  }
  if (s->model != IFF_CM_RGB) s->row_bytes = s->one_bit ? (p->width + 7) / 8 : p->width;

  const double xres = p->x_resolution;
  const double yres = p->y_resolution > 0 ? p->y_resolution : xres;
  const long w = Points(p->width, xres), h = Points(p->height, yres);
  if (w > kMaxPoints || h > kMaxPoints) return CmnError(CMN_SOURCE, __LINE__, IFF_E_WT_HEADER);

  if (s->one_bit) {
    s->row = static_cast<unsigned char *>(malloc(static_cast<size_t>(s->row_bytes)));
    if (!s->row) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  }
  if (s->compression == IFF_COMP_G4) {
    FaxParamTp *fax = nullptr;
    ReturnTp rc = IfuCodecCreateParam(&FaxCodecOps, reinterpret_cast<void **>(&fax));
    if (rc) return rc;
    fax->mode = FAX_MODE_G4;
    fax->columns = s->width;
    fax->rows = s->height;
    fax->black_is_one = 0;  // set bits are light, as in the uncompressed rows
    rc = IfuCodecOpenEncoder(nullptr, &FaxCodecOps, fax, CodecOutput, s, &s->codec);
    if (rc) return rc;
  } else if (s->compression == IFF_COMP_DEFLATE) {
    s->chunk = static_cast<unsigned char *>(malloc(kDeflateChunk));
    if (!s->chunk) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
    if (deflateInit(&s->zs, Z_DEFAULT_COMPRESSION) != Z_OK)
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
    s->deflating = true;
  }
  ReturnTp rc = WriteHeader(s, w, h);
  if (rc) return rc;
  // The JPEG stream starts right away: after the image's dictionary.
  if (s->compression == IFF_COMP_JPEG_BASELINE) {
    JpegParamTp *jp = nullptr;
    rc = IfuCodecCreateParam(&JpegCodecOps, reinterpret_cast<void **>(&jp));
    if (rc) return rc;
    JpegUseCoding(&coding, jp);
    jp->color = s->model == IFF_CM_RGB ? JPEG_RGB : JPEG_GRAY;
    jp->depth = 8;
    jp->width = s->width;
    jp->height = s->height;
    rc = IfuCodecOpenEncoder(nullptr, &JpegCodecOps, jp, CodecOutput, s, &s->codec);
    if (rc) return rc;
  }
  s->failed = false;
  return 0;
}

ReturnTp IfdPdfWtScan(void *state, IffParamTp *p) {
  auto *s = static_cast<PdfState *>(state);
  if (!s || !p || !p->buffer) return CmnError(CMN_SOURCE, __LINE__, CMN_E_INVALID_ARG);
  if (!s->data_start || s->failed || p->line != s->next_line || p->line >= s->height)
    return CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  s->failed = true;
  const unsigned char *row = p->buffer;
  if (s->one_bit) {
    PackBits(p->buffer, s->width, s->row);
    row = s->row;
  }
  ReturnTp rc = 0;
  if (s->codec) {
    rc = IfuCodecWrite(s->codec, row, s->row_bytes);
  } else if (s->deflating) {
    s->zs.next_in = const_cast<unsigned char *>(row);
    s->zs.avail_in = static_cast<uInt>(s->row_bytes);
    rc = Deflate(s, Z_NO_FLUSH);
  } else if (Put(s, row, static_cast<size_t>(s->row_bytes))) {
    rc = CmnError(CMN_SOURCE, __LINE__, IFD_E_WRITE_LINE);
  }
  if (rc) return rc;
  s->failed = false;
  ++s->next_line;
  return 0;
}

// The trailer goes out only after every row: a file cut short by a
// failure lacks its cross-reference table, and no reader takes it for
// complete.
ReturnTp Finish(PdfState *s) {
  ReturnTp rc = 0;
  const bool complete = !s->failed && s->data_start && s->next_line == s->height;
  if (s->codec) {
    if (complete) rc = IfuCodecFinish(s->codec);
    IfuCodecTerm(&s->codec);
  }
  if (s->deflating) {
    if (complete && !rc) rc = Deflate(s, Z_FINISH);
    deflateEnd(&s->zs);
  }
  if (complete && !rc) rc = WriteTrailer(s);
  if (s->data_start && !s->failed && s->next_line != s->height && !rc)
    rc = CmnError(CMN_SOURCE, __LINE__, IFD_E_EXPORT_SEQUENCE);
  free(s->row);
  free(s->chunk);
  return rc;
}

ReturnTp IfdPdfTerm(void **state) { return IffTermDriverState<PdfState>(state, Finish); }

}  // namespace

const IffFormatTp IfdPdfFormat = {
    "PDF",
    {{IFF_TYPE_PDF_GS, "PDF."}},
    0,
    0,
    {IfdPdfInit, nullptr, IfdPdfWtHead, nullptr, nullptr, nullptr, IfdPdfWtScan, IfdPdfTerm},
    {{"pdf", IFF_TYPE_PDF_GS, IFF_CM_RGB}},
    IFF_MODEL_BIT(IFF_CM_RGB) | IFF_MODEL_BIT(IFF_CM_GRAY) | IFF_MODEL_BIT(IFF_CM_BILEVEL),
};
