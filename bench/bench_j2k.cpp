// Decoding a JPEG 2000 file (JP2 boxes or a raw codestream) with our
// codec and writing the picture as binary PGM or PPM, like opj_decompress
// does, so that bench/j2k.sh can time the codec beside it without the
// image file interface around it; row by row, as the driver decodes, and
// at a resolution level when asked (as opj_decompress -r).
//   bench_j2k <in.jp2|in.j2k> <out.ppm|out.pgm> [reduce]
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "codecs.h"
#include "jtk.h"

int main(int argc, char **argv) {
  if (argc != 3 && argc != 4) {
    fprintf(stderr, "usage: bench_j2k <in> <out.pnm> [reduce]\n");
    return 2;
  }
  FILE *in = fopen(argv[1], "rb");
  if (!in) return 1;
  std::vector<uint8_t> data;
  uint8_t chunk[1 << 16];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, in)) > 0;)
    data.insert(data.end(), chunk, chunk + n);
  fclose(in);
  JtkContextTp *context = JtkCreateContext(nullptr, nullptr);
  JtkParamTp param{};
  param.jp2 = !(data.size() >= 2 && data[0] == 0xFF && data[1] == 0x4F);
  param.reduce = argc == 4 ? atoi(argv[3]) : 0;
  JtkDecoderTp *decoder = nullptr;
  if (JtkOpenDecoder(context, &param, data.data(), data.size(), &decoder)) return 1;
  const JtkImageTp *image = JtkDecoderImage(decoder);
  const int32_t comps = image->components >= 3 ? 3 : 1;
  const int32_t maxval = (1 << image->comp[0].precision) - 1;
  const int32_t bytes = maxval > 255 ? 2 : 1;
  FILE *out = fopen(argv[2], "wb");
  if (!out) return 1;
  fprintf(out, "P%d\n%d %d\n%d\n", comps == 3 ? 6 : 5, image->width, image->height, maxval);
  std::vector<uint8_t> row(size_t(image->width) * comps * bytes);
  for (int32_t y = 0; y < image->height; ++y) {
    for (int32_t c = 0; c < comps; ++c) {
      const int32_t *samples = nullptr;
      if (JtkDecodeRow(context, decoder, c, y, &samples)) return 1;
      uint8_t *p = row.data() + size_t(c) * bytes;
      for (int32_t x = 0; x < image->width; ++x, p += comps * bytes) {
        if (bytes == 2) p[0] = static_cast<uint8_t>(samples[x] >> 8);
        p[bytes - 1] = static_cast<uint8_t>(samples[x]);
      }
    }
    fwrite(row.data(), 1, row.size(), out);
  }
  fclose(out);
  JtkCloseDecoder(&decoder);
  JtkDestroyContext(&context);
  return 0;
}
