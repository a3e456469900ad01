// Decodes a JPEG file held in memory through the codec layer, band by band,
// and prints the time and Mpixel/s: the decoder's own cost, without file
// I/O or output (bench/jpeg.sh runs it beside djpeg). With -replicate,
// subsampled chroma is repeated instead of interpolated, which tells what
// the interpolation costs.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "codecs.h"

namespace {

struct Memory {
  std::vector<uint8_t> data;
  size_t at = 0;
};

ReturnTp Input(void *arg, uint8_t *buffer, int32_t *length) {
  auto *m = static_cast<Memory *>(arg);
  size_t n = m->data.size() - m->at;
  if (n > static_cast<size_t>(*length)) n = static_cast<size_t>(*length);
  memcpy(buffer, m->data.data() + m->at, n);
  m->at += n;
  *length = static_cast<int32_t>(n);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  const bool replicate = argc == 3 && strcmp(argv[1], "-replicate") == 0;
  if (argc != 2 && !replicate) {
    fprintf(stderr, "usage: bench_jpeg [-replicate] <file.jpg>\n");
    return 2;
  }
  Memory m;
  FILE *f = fopen(argv[argc - 1], "rb");
  if (!f) return 1;
  uint8_t chunk[65536];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;)
    m.data.insert(m.data.end(), chunk, chunk + n);
  fclose(f);
  const auto start = std::chrono::steady_clock::now();
  IfuCodecTp *codec = nullptr;
  void *param = nullptr;
  if (IfuCodecCreateParam(&JpegCodecOps, &param)) return 1;
  static_cast<JpegParamTp *>(param)->replicate = replicate;
  ReturnTp rc = IfuCodecOpenDecoder(nullptr, &JpegCodecOps, param, Input, &m, 32768, &codec);
  if (rc) return 1;
  const auto *p = static_cast<const JpegParamTp *>(codec->param);
  const int64_t row = static_cast<int64_t>(p->width) * 3 * (p->file_depth > 8 ? 2 : 1);
  std::vector<uint8_t> band(static_cast<size_t>(row * p->band_height));
  int64_t rows = 0;
  while (!rc) {
    int32_t length = static_cast<int32_t>(band.size());
    rc = IfuCodecRead(codec, band.data(), &length);
    rows += length / row;
  }
  const int width = p->width;
  IfuCodecTerm(&codec);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("%d x %lld decoded in %.3f s, %.1f Mpixel/s\n", width, static_cast<long long>(rows), s,
         width * rows / s / 1e6);
  return rc == IFU_I_EOD ? 0 : 1;
}
