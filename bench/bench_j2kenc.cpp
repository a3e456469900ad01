// Converts a picture to JPEG 2000 through the image file interface, with
// the compression pvconvert cannot ask for yet: reversible, or lossy at a
// ratio (bench/j2kenc.sh times it beside OpenJPEG's opj_compress).
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "imagefile.h"
#include "pvinit.h"

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: bench_j2kenc <in> <out.jp2|out.j2k> <ratio, 0 reversible>\n");
    return 2;
  }
  PvInit(0);
  const uint64_t ratio = strtoull(argv[3], nullptr, 10);
  IffFileSpecTp in_spec = {argv[1], nullptr, 0}, out_spec = {argv[2], nullptr, 0};
  IffControlBlockTp *in = nullptr, *out = nullptr;
  IffParamTp head = {};
  ReturnTp rc =
      IffInit(nullptr, &in, IFF_SRV_IMPORT, &in_spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, nullptr);
  if (!rc) rc = IffRdHead(in, 0, nullptr, &head);
  const bool grey = !rc && in->pixel_size == 1;
  const uint64_t compression[3] = {ratio ? 13u : 14u, ratio, 0};
  if (!rc)
    rc = IffInit(nullptr, &out, IFF_SRV_EXPORT, &out_spec, IFF_TYPE_J2K, IFF_MIN_VERIFY, nullptr);
  if (!rc)
    rc = IffWtHead(out, head.width, head.height, 1, 1, 0, grey ? IFF_CM_GRAY : IFF_CM_RGB, 0, 8,
                   compression, 0, 0, 0, nullptr);
  for (int32_t y = 0; !rc && y < head.height; ++y) {
    rc = IffRdScan(in, 1, y);
    if (!rc) rc = IffWtScan(out, y, in->line);
  }
  IffTerm(&in);
  const ReturnTp closed = IffTerm(&out);
  return rc || closed ? 1 : 0;
}
