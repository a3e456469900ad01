// The JPEG 2000 codestream decoder: any bytes as a raw codestream, main
// header first, then the whole picture when it is of modest size, else
// the first rows through the row decoder.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "codecs.h"
#include "jtk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  JtkContextTp *context = JtkCreateContext(nullptr, nullptr);
  if (!context) return 0;
  JtkSetHandlerMode(context, JTK_HANDLER_QUIET);
  JtkHeaderTp header;
  if (JtkGetMainHeader(context, data, size, 0, &header) == 0) {
    // Large pictures are legal; a quarter of a million samples keep the
    // runs short (every code-block is decoded, data or not).
    const int64_t w = int64_t(header.x1) - header.x0, h = int64_t(header.y1) - header.y0;
    if (w * h * header.components <= (int64_t(1) << 18)) {
      JtkParamTp param{};
      param.reduce = size % 3 == 0 ? 1 : 0;
      param.max_layers = size % 5 == 0 ? 1 : 0;
      JtkImageTp *image = nullptr;
      Jp2Decompress(context, &param, data, size, &image);
      JtkFreeImage(&image);
    } else {
      // Larger claims are opened (memory follows the rows) and their first
      // rows of each channel made, when the first row of tiles they decode
      // for it is of modest size too: a short file may legally claim a
      // row of tiles of millions of samples, which takes seconds to make
      // here and says nothing more about the decoder.
      const int64_t first_rows =
          std::min<int64_t>(header.y1, int64_t(header.tile_y0) + header.tile_h) - header.y0;
      const bool modest =
          w * std::max<int64_t>(first_rows, 1) * header.components <= (int64_t(1) << 18);
      JtkParamTp param{};
      JtkDecoderTp *decoder = nullptr;
      if (JtkOpenDecoder(context, &param, data, size, &decoder) == 0 && modest) {
        const JtkImageTp *layout = JtkDecoderImage(decoder);
        const int32_t *row = nullptr;
        for (int32_t c = 0; c < layout->components && c < 4; ++c)
          for (int32_t y = 0; y < layout->comp[c].height && y < 2; ++y)
            if (JtkDecodeRow(context, decoder, c, y, &row)) break;
      }
      JtkCloseDecoder(&decoder);
    }
  }
  JtkDestroyContext(&context);
  return 0;
}
