// Shared by the driver tests: test pictures, an image read through the
// interface as red, green, blue bytes, a file decoded by a netpbm command
// the same way, files written through a writer, the messages raised, and
// the elements of a CGM file.
#ifndef PV_TESTS_DRIVERS_RASTERIO_H
#define PV_TESTS_DRIVERS_RASTERIO_H

#include <string>
#include <vector>

#include "imagefile.h"

using Bytes = std::vector<unsigned char>;

struct RgbImage {
  ReturnTp rc = 0;                // the first failure, CMN_REPORTED cleared
  int32_t width = 0, height = 0;  // set once the header and map are read
  uint32_t type = 0;              // as identified
  IffParamTp header = {};
  Bytes rgb;  // 3 bytes a pixel, rows top first
};

// Opens, reads the header, the colour map and every line; stops at the
// first failure. The transparent entry shows white, as over a white
// window; the lines of a bottom-up file are put back top first.
// `page` (1-based; 0 the first) of a file of pages.
RgbImage ReadRgb(const std::string &path, int32_t page = 0);
// As ReadRgb, each line asked for as the raster asks for a bilevel page's
// (IffRdScanRuns): *packed counts the lines handed over as bits or
// changes instead of bytes.
RgbImage ReadRgbPacked(const std::string &path, int32_t *packed);
// The output of a shell command that writes one PNM image, as RGB bytes
// (samples above 8 bits keep their high byte). Fails the test when the
// command fails.
RgbImage NetpbmRgb(const std::string &command);
// The output of a shell command that writes one PAM (with or without
// alpha, 8 or 16 bits), as RGB bytes with alpha laid over white as the
// viewer does it: colour x alpha / 255 + 255 - alpha, on the high bytes.
RgbImage PamOverWhite(const std::string &command);
// Runs a shell command; fails the test when it fails.
std::string Shell(const std::string &command);

// Writes lines (1 byte a pixel with a map or grey, else 3) of the given
// model through the writer of `type`, in the row order given (default top
// first). The first failure is returned.
ReturnTp WriteLines(const std::string &path, uint32_t type, int32_t width, int32_t height,
                    uint32_t model, const Bytes &lines, const Bytes &cmap = {},
                    const std::vector<int32_t> &order = {});

// A w x h picture of at most `colours` colours (0: many), as indexes and
// a palette, or as red, green, blue lines; returns its red, green, blue.
Bytes Picture(int32_t w, int32_t h, int colours, Bytes *lines, Bytes *cmap);
std::string PpmOf(int32_t w, int32_t h, const Bytes &rgb);

// Every message raised while a Recorder lives.
class Recorder {
 public:
  Recorder();
  ~Recorder();
  static std::vector<std::string> &raised();
};

// Reading the file fails with a message that starts with `message`.
void ExpectRefused(const std::string &path, const std::string &message);

// A reader of the binary CGM encoding, written from the standard's rules
// (no tool at hand reads CGM): one element, its data gathered from every
// partition.
struct CgmElement {
  int cls, id;
  bool long_form;
  std::vector<unsigned> partitions;  // data lengths
  Bytes data;
};
// Splits a file into elements; fails the test on anything malformed.
std::vector<CgmElement> CgmElements(const std::string &file);
// The rows of a cell array as bytes per cell (1 indexed, 3 direct).
Bytes CgmCells(const CgmElement &cell_array, size_t cell, int *nx, int *ny);

#endif
