// The fax decoder on its own: the first byte chooses the mode and the
// flags, the next two the columns, the rest is the coded data. Decoded
// rows are encoded again, so that the encoder sees odd rows too.
#include <cstring>

#include "codecs.h"
#include "fuzzinput.h"

namespace {

struct Source {
  const uint8_t *data;
  size_t size, at;
};

ReturnTp Feed(void *arg, uint8_t *buffer, int32_t *length) {
  Source *s = static_cast<Source *>(arg);
  size_t n = s->size - s->at;
  if (n > static_cast<size_t>(*length)) n = static_cast<size_t>(*length);
  memcpy(buffer, s->data + s->at, n);
  s->at += n;
  *length = static_cast<int32_t>(n);
  return 0;
}

ReturnTp Discard(void *, const uint8_t *, int32_t) { return 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  static bool once = (QuietReports(), true);
  (void)once;
  FaxParamTp *p = nullptr;
  if (IfuCodecCreateParam(&FaxCodecOps, reinterpret_cast<void **>(&p))) return 0;
  p->mode = data[0] & 3;
  p->end_of_line = data[0] >> 2 & 1;
  p->byte_align = data[0] >> 3 & 1;
  p->msb_first = data[0] >> 4 & 1;
  p->black_is_one = data[0] >> 5 & 1;
  p->rows = data[0] >> 6 ? 64 : 0;
  p->columns = (data[1] << 8 | data[2]) % 4096 + 1;
  FaxParamTp encode = *p;
  Source source = {data + 3, size - 3, 0};
  IfuCodecTp *decoder = nullptr, *encoder = nullptr;
  if (IfuCodecOpenDecoder(nullptr, &FaxCodecOps, p, Feed, &source, 64, &decoder)) return 0;
  FaxParamTp *q = static_cast<FaxParamTp *>(malloc(sizeof encode));
  if (q) {
    *q = encode;
    IfuCodecOpenEncoder(nullptr, &FaxCodecOps, q, Discard, nullptr, &encoder);
  }
  const int32_t rowbytes = (encode.columns + 7) / 8;
  uint8_t rows[3 * 512];
  for (int n = 0; n < 256; ++n) {
    int32_t length = 3 * rowbytes;
    if (IfuCodecRead(decoder, rows, &length) || length == 0) break;
    if (encoder) IfuCodecWrite(encoder, rows, length);
  }
  if (encoder) {
    IfuCodecFinish(encoder);
    IfuCodecTerm(&encoder);
  }
  IfuCodecTerm(&decoder);
  return 0;
}
