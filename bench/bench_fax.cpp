// Decoding the Group 4 drawing (20000 x 28000 by default) into packed
// rows: our decoder beside libtiff's on the same data in the same run, in
// Mpixel/s, best of a few rounds, and whether both give the same rows.
// libtiff makes the data and is the yardstick; it is linked here only.
//   bench_fax [width height [rounds]]
#include <tiffio.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs.h"
#include "drawing.h"

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Source {
  const std::vector<uint8_t> *data;
  size_t at;
};

ReturnTp Feed(void *arg, uint8_t *buffer, int32_t *length) {
  Source *s = static_cast<Source *>(arg);
  size_t n = s->data->size() - s->at;
  if (n > static_cast<size_t>(*length)) n = static_cast<size_t>(*length);
  memcpy(buffer, s->data->data() + s->at, n);
  s->at += n;
  *length = static_cast<int32_t>(n);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  const int w = argc > 2 ? atoi(argv[1]) : 20000, h = argc > 2 ? atoi(argv[2]) : 28000;
  const int rounds = argc > 3 ? atoi(argv[3]) : 3;
  const size_t rowbytes = (w + 7) / 8;
  char path[] = "/tmp/pvfaxbench.XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return 1;
  close(fd);

  // The drawing, written by libtiff as one Group 4 strip.
  TIFF *tif = TIFFOpen(path, "w");
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, h);
  Drawing drawing(w, h, true);
  std::vector<unsigned char> line(w), packed(rowbytes);
  for (int y = 0; y < h; ++y) {
    drawing.Line(y, line.data());
    std::fill(packed.begin(), packed.end(), 0);
    for (int x = 0; x < w; ++x)
      if (line[x] == 0) packed[x >> 3] |= static_cast<unsigned char>(0x80 >> (x & 7));
    TIFFWriteScanline(tif, packed.data(), y, 0);
  }
  TIFFClose(tif);

  tif = TIFFOpen(path, "r");
  std::vector<uint8_t> coded(TIFFRawStripSize(tif, 0));
  TIFFReadRawStrip(tif, 0, coded.data(), static_cast<tmsize_t>(coded.size()));
  std::vector<uint8_t> theirs(rowbytes * h), ours(rowbytes * h);
  double best_theirs = 1e9, best_ours = 1e9;
  for (int r = 0; r < rounds; ++r) {
    double t = Now();
    TIFFReadEncodedStrip(tif, 0, theirs.data(), static_cast<tmsize_t>(theirs.size()));
    best_theirs = std::min(best_theirs, Now() - t);

    t = Now();
    FaxParamTp *p = nullptr;
    IfuCodecCreateParam(&FaxCodecOps, reinterpret_cast<void **>(&p));
    p->mode = FAX_MODE_G4;
    p->columns = w;
    p->rows = h;
    Source source = {&coded, 0};
    IfuCodecTp *codec = nullptr;
    if (IfuCodecOpenDecoder(nullptr, &FaxCodecOps, p, Feed, &source, 65536, &codec)) return 1;
    size_t done = 0;
    for (;;) {
      int32_t length = static_cast<int32_t>(std::min(rowbytes * 64, ours.size() - done));
      if (length == 0 || IfuCodecRead(codec, ours.data() + done, &length) || length == 0) break;
      done += length;
    }
    IfuCodecTerm(&codec);
    best_ours = std::min(best_ours, Now() - t);
  }
  TIFFClose(tif);
  unlink(path);

  // The same data to changing elements only, the shape in which rows
  // reach a line of one byte per pixel.
  double best_runs = 1e9;
  int64_t changes_seen = 0;
  for (int r = 0; r < rounds; ++r) {
    const double t = Now();
    FaxParamTp *p = nullptr;
    IfuCodecCreateParam(&FaxCodecOps, reinterpret_cast<void **>(&p));
    p->mode = FAX_MODE_G4;
    p->columns = w;
    p->rows = h;
    Source source = {&coded, 0};
    IfuCodecTp *codec = nullptr;
    if (IfuCodecOpenDecoder(nullptr, &FaxCodecOps, p, Feed, &source, 65536, &codec)) return 1;
    const int32_t *changes = nullptr;
    int32_t count = 0;
    changes_seen = 0;
    while (FaxDecodeRowChanges(codec, &changes, &count, nullptr) == 0 && count >= 0)
      changes_seen += count;
    IfuCodecTerm(&codec);
    best_runs = std::min(best_runs, Now() - t);
  }

  // Only the pixels count: the bits after the last pixel of a row may differ.
  bool same = true;
  const uint8_t tail = static_cast<uint8_t>(w % 8 ? 0xFF << (8 - w % 8) : 0xFF);
  for (int y = 0; y < h && same; ++y) {
    const uint8_t *a = &ours[y * rowbytes], *b = &theirs[y * rowbytes];
    same = memcmp(a, b, rowbytes - 1) == 0 && ((a[rowbytes - 1] ^ b[rowbytes - 1]) & tail) == 0;
  }
  const double mpix = static_cast<double>(w) * h / 1e6;
  printf("Group 4 drawing %d x %d, %zu bytes coded, best of %d\n", w, h, coded.size(), rounds);
  printf("%-10s %8.3f s %9.1f Mpixel/s\n", "libtiff", best_theirs, mpix / best_theirs);
  printf("%-10s %8.3f s %9.1f Mpixel/s\n", "pvview", best_ours, mpix / best_ours);
  printf("%-10s %8.3f s %9.1f Mpixel/s (to changing elements only, %lld of them)\n", "pvview",
         best_runs, mpix / best_runs, static_cast<long long>(changes_seen));
  printf("speed-up %.2fx, rows identical: %s\n", best_theirs / best_ours, same ? "yes" : "NO");
  return same ? 0 : 1;
}
