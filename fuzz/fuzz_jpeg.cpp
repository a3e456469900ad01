// The JPEG decoder through the codec layer: any bytes are a stream; the
// first two bytes choose whether the rest is read after a tables stream
// taken from its own first part (as JPEG inside TIFF has it), and the
// last byte may ask for a reduced size. Bands of about 256K pixels are
// read until about a million pixels have come: a progressive frame 65,000
// pixels wide gives that in a few rows of blocks, each a dequantisation
// and a transform of thousands of blocks.
#include <algorithm>
#include <cstring>
#include <vector>

#include "codecs.h"
#include "fuzzinput.h"

namespace {

struct Memory {
  const uint8_t *data;
  size_t size, at;
};

ReturnTp Input(void *arg, uint8_t *buffer, int32_t *length) {
  auto *m = static_cast<Memory *>(arg);
  size_t n = m->size - m->at;
  // Small chunks: markers and codes straddle chunk ends.
  if (n > 1000) n = 1000;
  if (n > static_cast<size_t>(*length)) n = static_cast<size_t>(*length);
  memcpy(buffer, m->data + m->at, n);
  m->at += n;
  *length = static_cast<int32_t>(n);
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool once = (
      QuietReports(), CmnHandleDebug = [](const char *) {}, true);
  (void)once;
  if (size < 2) return 0;
  void *param = nullptr;
  if (IfuCodecCreateParam(&JpegCodecOps, &param)) return 0;
  auto *p = static_cast<JpegParamTp *>(param);
  Memory m = {data, size, 0};
  if (data[0] == 'T') {
    // "T", a length byte, that many bytes of tables, then the stream.
    const size_t tables = data[1] < size - 2 ? data[1] : size - 2;
    p->tables = data + 2;
    p->tables_length = static_cast<int32_t>(tables);
    m.at = 2 + tables;
  }
  p->raw_components = data[size - 1] & 1;
  IfuCodecTp *codec = nullptr;
  if (IfuCodecOpenDecoder(nullptr, &JpegCodecOps, param, Input, &m, 4096, &codec)) return 0;
  p = static_cast<JpegParamTp *>(codec->param);
  p->color = p->components == 1 ? JPEG_GRAY : JPEG_RGB;
  // Bits 1 and 2 of the last byte ask for 1/2, 1/4 or 1/8 size (a file
  // ending in its end-of-image marker, 0xD9, is read whole).
  p->scale_shift = (data[size - 1] >> 1) & 3;
  const int64_t row = static_cast<int64_t>(p->width) * (p->color == JPEG_GRAY ? 1 : 3) *
                      (p->file_depth > 8 ? 2 : 1);
  // A read may fill the band with that many pixels: wide frames are read
  // a few rows at a time.
  const int64_t rows =
      std::max<int64_t>(1, std::min<int64_t>(p->band_height, (256 << 10) / std::max(1, p->width)));
  std::vector<uint8_t> band(static_cast<size_t>(row * rows));
  for (int64_t pixels = 0; pixels < (1 << 20);) {
    int32_t length = static_cast<int32_t>(band.size());
    if (IfuCodecRead(codec, band.data(), &length)) break;
    pixels += length / (row / p->width);
  }
  IfuCodecTerm(&codec);
  return 0;
}
