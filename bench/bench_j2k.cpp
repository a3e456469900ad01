// Decoding a JPEG 2000 file (JP2 boxes or a raw codestream) with our
// codec and writing the picture as binary PGM or PPM, like opj_decompress
// does, so that bench/j2k.sh can time the codec beside it without the
// image file interface around it.
//   bench_j2k <in.jp2|in.j2k> <out.ppm|out.pgm>
#include <cstdio>
#include <vector>

#include "codecs.h"
#include "jtk.h"

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: bench_j2k <in> <out.pnm>\n");
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
  JtkImageTp *image = nullptr;
  if (Jp2Decompress(context, &param, data.data(), data.size(), &image)) return 1;
  const int32_t comps = image->components >= 3 ? 3 : 1;
  const int32_t maxval = (1 << image->comp[0].precision) - 1;
  const int32_t bytes = maxval > 255 ? 2 : 1;
  FILE *out = fopen(argv[2], "wb");
  if (!out) return 1;
  fprintf(out, "P%d\n%d %d\n%d\n", comps == 3 ? 6 : 5, image->width, image->height, maxval);
  std::vector<uint8_t> row(size_t(image->width) * comps * bytes);
  for (int32_t y = 0; y < image->height; ++y) {
    uint8_t *p = row.data();
    for (int32_t x = 0; x < image->width; ++x)
      for (int32_t c = 0; c < comps; ++c) {
        const int32_t v = image->comp[c].data[size_t(y) * image->width + x];
        if (bytes == 2) *p++ = static_cast<uint8_t>(v >> 8);
        *p++ = static_cast<uint8_t>(v);
      }
    fwrite(row.data(), 1, row.size(), out);
  }
  fclose(out);
  JtkFreeImage(&image);
  JtkDestroyContext(&context);
  return 0;
}
