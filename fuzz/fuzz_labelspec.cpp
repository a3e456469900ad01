// Label specification files and classification files: any bytes are read
// as both, and every label they give is rendered and composed into a few
// lines of a small output.
#include <cstdlib>
#include <vector>

#include "fuzzinput.h"
#include "image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Specification and classification files are short: a kilobyte holds
  // every construct, and longer texts only take longer to render.
  if (size > 1024) return 0;
  static bool once = (QuietReports(), true);
  (void)once;
  FuzzFile file(data, size);
  if (!file.ok()) return 0;

  ImgControlBlockTp cb;
  cb.width = 64;
  cb.lines = 48;
  ImgLabelSpecTp **tail = &cb.label_specs;
  if (FILE *fp = fopen(file.name(), "r")) {
    ImgReadLabelSpecs(fp, &tail);
    fclose(fp);
  }
  int made = 0;
  for (const ImgLabelSpecTp *s = cb.label_specs; s && made < 8; s = s->next, ++made)
    ImgMakeLabel(&cb, s);

  char *text = nullptr;
  double point_size = 0;
  if (ImgReadClassification(file.name(), &text, &point_size)) {
    ImgLabelSpecTp spec;
    spec.text = text;
    spec.point_size = point_size;
    ImgMakeLabel(&cb, &spec);
    spec.text = nullptr;
    free(text);
  }
  std::vector<RgbPixelTp> line(64);
  for (int32_t y = 0; y < 48; y += 7) ImgApplyLabels(&cb, line.data(), y, 0, 64);
  ImgFreeStamp(&cb);
  return 0;
}
