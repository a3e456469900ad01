// The registry of formats, and round trips through every writer word and
// every lossless coding of each writer, read back by the reader that
// identification picks (PDF and CGM, written only, by oracles): a new writer,
// or a new coding of one, fails here until kRoundTrips has its row.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "drivers.h"
#include "rasterio.h"
#include "runprog.h"

namespace {

TEST(Registry, TheShippedListIsSound) {
  EXPECT_EQ(IffCheckFormats(IfdFormats), nullptr) << IffCheckFormats(IfdFormats);
  // Every code that identification returns has a name to record, except
  // compressed files and RTF, which the interface refuses by code alone.
  for (uint32_t type = 0; type <= IFF_TYPE_PVPRJ; ++type) {
    if (type == IFF_TYPE_GZIP || type == IFF_TYPE_RTF || type == 40) continue;
    EXPECT_NE(IffTypeName(type), nullptr) << "type " << type;
  }
  // Every writer is reachable by a word, and every word by any case.
  for (const IffFormatTp *const *f = IfdFormats; *f; ++f) {
    if (!(*f)->ops.WtHead) continue;
    ASSERT_NE((*f)->writers[0].word, nullptr) << (*f)->name;
    std::string upper = (*f)->writers[0].word;
    for (char &c : upper) c = static_cast<char>(toupper(c));
    EXPECT_EQ(IffFindWriter(upper.c_str()), &(*f)->writers[0]) << upper;
  }
  EXPECT_EQ(IffFormatOf(IFF_TYPE_PBM), IffFormatOf(IFF_TYPE_PAM));
  EXPECT_TRUE(IffFormatOf(IFF_TYPE_HPGL)->refused);
  EXPECT_EQ(IffFormatOf(40), nullptr);
  EXPECT_EQ(IffFormatOf(IFF_TYPE_COUNT), nullptr);
}

ReturnTp Nop(void *, IffParamTp *) { return 0; }

TEST(Registry, FaultyListsAreNamed) {
  const IffFormatTp a = {"A", {{IFF_TYPE_BMP, "A."}}, 0, 0, {}, {}, 0};
  const IffFormatTp same_code = {"B", {{IFF_TYPE_BMP, "B."}}, 0, 0, {}, {}, 0};
  const IffFormatTp nameless = {nullptr, {{IFF_TYPE_PCX, "P."}}, 0, 0, {}, {}, 0};
  IffFormatTp wordless = {"W", {{IFF_TYPE_GIF, "G."}}, 0, 0, {}, {}, 0};
  wordless.ops.WtHead = Nop;
  IffFormatTp foreign_word = wordless;
  foreign_word.writers[0] = {"gif", IFF_TYPE_TGA, IFF_CM_RGB};
  foreign_word.write_models = IFF_MODEL_BIT(IFF_CM_RGB);
  IffFormatTp wrong_model = foreign_word;
  wrong_model.writers[0].type = IFF_TYPE_GIF;
  wrong_model.writers[0].model = IFF_CM_GRAY;
  IffFormatTp taken_word = wrong_model;
  taken_word.types[0].type = IFF_TYPE_SUN;
  taken_word.writers[0] = {"PPM", IFF_TYPE_SUN, IFF_CM_RGB};
  const IffFormatTp outside = {"O", {{IFF_TYPE_COUNT, "O."}}, 0, 0, {}, {}, 0};

  const struct {
    std::vector<const IffFormatTp *> list;
    const char *fault;
  } kCases[] = {
      {{&a, &same_code}, "B and A both claim type code 3"},
      {{&nameless}, "a format descriptor has no name"},
      {{&wordless}, "W writes files but has no word or extension"},
      {{&foreign_word}, "W: writer word \"gif\" names a type it does not write"},
      {{&wrong_model}, "W: writer word \"gif\" asks for a colour model it does not write"},
      {{&IfdPbmFormat, &taken_word}, "W: writer word \"PPM\" is taken"},
      {{&outside}, "O: type code 49 is outside the table"},
  };
  for (const auto &c : kCases) {
    std::vector<const IffFormatTp *> list = c.list;
    list.push_back(nullptr);
    const char *fault = IffCheckFormats(list.data());
    EXPECT_STREQ(fault ? fault : "", c.fault);
  }
}

// One round trip through a writer: its word, the colour model of the lines
// handed to it, how many palette entries (0: none) and the compression
// asked for. Some lossless codings take bilevel or indexed lines only: the
// model says which.
struct RoundTrip {
  const char *word;
  uint32_t model;
  int entries;
  uint64_t compression = IFF_COMP_NONE;  // the writer's default
};

// Every writer word, and every lossless coding of each writer
// (EveryWriterAndLosslessCodingHasARoundTrip says which are missing).
const RoundTrip kRoundTrips[] = {
    {"qpl", IFF_CM_RGB, 0},
    {"qpl", IFF_CM_PALETTE, 16},
    {"ppm", IFF_CM_RGB, 0},
    {"pgm", IFF_CM_GRAY, 0},
    {"pbm", IFF_CM_BILEVEL, 0},
    {"pnm", IFF_CM_RGB, 0},
    {"pam", IFF_CM_RGBA, 0},
    {"gif", IFF_CM_PALETTE, 16},
    {"sun", IFF_CM_RGB, 0},
    {"ras", IFF_CM_PALETTE, 256},
    {"ras", IFF_CM_PALETTE, 2},
    {"xwd", IFF_CM_RGB, 0},
    {"xwd", IFF_CM_PALETTE, 16},
    {"xwd", IFF_CM_PALETTE, 2},
    {"sgi", IFF_CM_RGB, 0},
    {"rgb", IFF_CM_RGB, 0},
    {"bw", IFF_CM_GRAY, 0},
    {"png", IFF_CM_RGB, 0},
    {"png", IFF_CM_GRAY, 0},
    {"png", IFF_CM_BILEVEL, 0},
    {"png", IFF_CM_PALETTE, 3},
    {"png", IFF_CM_RGB, 0, IFF_COMP_DEFLATE},
    {"cal", IFF_CM_BILEVEL, 0},
    {"cals", IFF_CM_BILEVEL, 0},
    {"catia", IFF_CM_RGB, 0},
    {"catia", IFF_CM_PALETTE, 2},
    {"catia", IFF_CM_PALETTE, 16},
    {"catia", IFF_CM_PALETTE, 256},
    {"bmp", IFF_CM_RGB, 0},
    {"bmp", IFF_CM_PALETTE, 2},
    {"bmp", IFF_CM_PALETTE, 16},
    {"bmp", IFF_CM_PALETTE, 256},
    {"tga", IFF_CM_RGB, 0},
    {"tga", IFF_CM_PALETTE, 256},
    {"tga", IFF_CM_GRAY, 0},
    {"pcx", IFF_CM_PALETTE, 2},  // always run-length coded
    {"pcx", IFF_CM_PALETTE, 16},
    {"pcx", IFF_CM_PALETTE, 256},
    {"cat4", IFF_CM_RGB, 0},
    {"catia4", IFF_CM_RGB, 0},
    {"sb", IFF_CM_RGB, 0},
    {"sb", IFF_CM_PALETTE, 2},
    {"sb", IFF_CM_PALETTE, 16},
    {"sb", IFF_CM_PALETTE, 256},
    {"starbase", IFF_CM_PALETTE, 3},
    {"tif", IFF_CM_RGB, 0},
    {"tiff", IFF_CM_GRAY, 0},
    {"tif", IFF_CM_BILEVEL, 0},
    {"tif", IFF_CM_PALETTE, 2},
    {"tif", IFF_CM_PALETTE, 16},
    {"tiff", IFF_CM_PALETTE, 256},
    {"tif", IFF_CM_RGB, 0, IFF_COMP_LZW},
    {"tif", IFF_CM_GRAY, 0, IFF_COMP_RLE},
    {"tif", IFF_CM_PALETTE, 16, IFF_COMP_PACKBITS},
    {"tif", IFF_CM_BILEVEL, 0, IFF_COMP_G4},
    {"tif", IFF_CM_BILEVEL, 0, IFF_COMP_G3},
    {"tif", IFF_CM_BILEVEL, 0, IFF_COMP_G3_TIFF},
    {"tif", IFF_CM_RGB, 0, IFF_COMP_JPEG_LOSSLESS},
    {"tif", IFF_CM_RGB, 0, IFF_COMP_DEFLATE},
    {"tif", IFF_CM_PALETTE, 2, IFF_COMP_DEFLATE},
    {"jpg", IFF_CM_RGB, 0, IFF_COMP_JPEG_LOSSLESS},
    {"jpeg", IFF_CM_GRAY, 0, IFF_COMP_JPEG_LOSSLESS},
    {"jp2", IFF_CM_RGB, 0, IFF_COMP_WAVELET_LOSSLESS},
    {"jp2", IFF_CM_GRAY, 0, IFF_COMP_WAVELET_LOSSLESS},
    {"j2k", IFF_CM_RGB, 0, IFF_COMP_WAVELET_LOSSLESS},
    {"pdf", IFF_CM_RGB, 0},
    {"pdf", IFF_CM_GRAY, 0, IFF_COMP_DEFLATE},
    {"pdf", IFF_CM_BILEVEL, 0, IFF_COMP_G4},
    {"cgm", IFF_CM_RGB, 0},
    {"cgm", IFF_CM_RGB, 0, IFF_COMP_RLE},
};

constexpr int32_t kWidth = 37, kHeight = 23;  // odd sizes catch padding faults

// The picture as red, green, blue bytes, made to fit what the model holds.
Bytes Picture(const RoundTrip &r, Bytes *lines, Bytes *cmap) {
  Bytes rgb;
  for (int32_t y = 0; y < kHeight; ++y)
    for (int32_t x = 0; x < kWidth; ++x) {
      const int v = (x * 7 + y * 13) & 255;
      switch (r.model) {
        case IFF_CM_RGB:
          rgb.insert(rgb.end(), {static_cast<unsigned char>(v), static_cast<unsigned char>(x * 6),
                                 static_cast<unsigned char>(y * 11)});
          lines->insert(lines->end(), rgb.end() - 3, rgb.end());
          break;
        case IFF_CM_RGBA:  // opaque: read back as display pixels, blue first
          rgb.insert(rgb.end(), {static_cast<unsigned char>(v), static_cast<unsigned char>(x * 6),
                                 static_cast<unsigned char>(y * 11)});
          lines->insert(lines->end(), rgb.end() - 3, rgb.end());
          lines->push_back(255);
          break;
        case IFF_CM_GRAY:
          rgb.insert(rgb.end(), 3, static_cast<unsigned char>(v));
          lines->push_back(static_cast<unsigned char>(v));
          break;
        case IFF_CM_BILEVEL: {
          const unsigned char b = ((x / 3 + y) % 3) ? 255 : 0;
          rgb.insert(rgb.end(), 3, b);
          lines->push_back(b);
          break;
        }
        default: {
          const int index = (x + y * 3) % r.entries;
          lines->push_back(static_cast<unsigned char>(index));
          break;
        }
      }
    }
  if (r.entries) {
    for (int i = 0; i < r.entries; ++i)
      cmap->insert(cmap->end(),
                   {static_cast<unsigned char>(i * 16), static_cast<unsigned char>(255 - i * 9),
                    static_cast<unsigned char>(i * i)});
    for (unsigned char index : *lines)
      rgb.insert(rgb.end(), &(*cmap)[index * 3], &(*cmap)[index * 3 + 3]);
  }
  return rgb;
}

// The request's third word: bilevel lines are written one bit a pixel.
uint64_t Packing(uint32_t model) { return model == IFF_CM_BILEVEL ? uint64_t{IFF_ONE_BIT} : 0; }

void Write(const RoundTrip &r, const std::string &path, Bytes &lines, Bytes &cmap) {
  const IffWriterWordTp *writer = IffFindWriter(r.word);
  ASSERT_NE(writer, nullptr);
  IffFileSpecTp spec = {path.c_str(), nullptr, 0};
  IffControlBlockTp *out = nullptr;
  const uint64_t compression[3] = {r.compression, 0, Packing(r.model)};
  ASSERT_EQ(IffInit(nullptr, &out, IFF_SRV_EXPORT, &spec, writer->type, IFF_MIN_VERIFY, nullptr),
            0u);
  ASSERT_EQ(IffWtHead(out, kWidth, kHeight, 1, 1, r.entries != 0, r.model, r.entries, 8,
                      compression, 0, 0, 0, nullptr),
            0u);
  if (r.entries) {
    ASSERT_EQ(IffWtCMap(out, cmap.data()), 0u);
  }
  const size_t row = lines.size() / kHeight;
  for (int32_t y = 0; y < kHeight; ++y) ASSERT_EQ(IffWtScan(out, y, &lines[row * y]), 0u);
  ASSERT_EQ(IffTerm(&out), 0u);
}

// Through the reader that identification picks, which must be the type
// written (`type`; 0 takes any).
void ReadOurs(const std::string &path, uint32_t type, Bytes *got) {
  IffFileSpecTp spec = {path.c_str(), nullptr, 0};
  IffControlBlockTp *in = nullptr;
  uint32_t found = 0;
  ASSERT_EQ(IffInit(nullptr, &in, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, &found), 0u);
  if (type) {
    EXPECT_EQ(found, type);
  }
  IffParamTp header = {};
  ASSERT_EQ(IffRdHead(in, 0, nullptr, &header), 0u);
  ASSERT_EQ(header.width, kWidth);
  ASSERT_EQ(header.height, kHeight);
  const bool palette = header.has_cmap != 0;
  got->assign(static_cast<size_t>(kWidth) * kHeight * 3, 0);
  if (palette) {
    ASSERT_EQ(IffRdCMap(in), 0u);
  }
  // Rows come in file order; a bottom-up file gives the bottom row first.
  for (int32_t i = 0; i < kHeight; ++i) {
    ASSERT_EQ(IffRdScan(in, 1, i), 0u);
    const int32_t y = header.orientation == 2 ? kHeight - 1 - i : i;
    auto at = got->begin() + static_cast<std::ptrdiff_t>(y) * kWidth * 3;
    for (int32_t x = 0; x < kWidth; ++x, at += 3) {
      const unsigned char *p = in->line + x * in->pixel_size;
      const unsigned char grey[3] = {p[0], p[0], p[0]}, bgr[3] = {p[2], p[1], p[0]};
      const unsigned char *rgb = palette               ? in->cmap + p[0] * 3
                                 : in->pixel_size == 1 ? grey
                                 : in->pixel_size == 4 ? bgr
                                                       : p;
      std::copy(rgb, rgb + 3, at);
    }
  }
  EXPECT_EQ(IffTerm(&in), 0u);
}

// The picture in a file as red, green, blue bytes, top row first. We only
// write PDF and CGM: poppler decodes the PDF's image stream (to a PNG for
// our reader), the tests' own reader takes the CGM cell array.
void ReadBack(const IffWriterWordTp &writer, const std::string &path, Bytes *got) {
  if (writer.type == IFF_TYPE_PDF_GS) {
    const std::string png = path.substr(0, path.rfind('/')) + "/image";
    Shell("rm -f '" + png + "'-*; pdfimages -png '" + path + "' '" + png + "'");
    ReadOurs(png + "-000.png", 0, got);
  } else if (writer.type == IFF_TYPE_CGM) {
    const std::vector<CgmElement> elements = CgmElements(ReadFile(path));
    for (const CgmElement &e : elements)
      if (e.cls == 4 && e.id == 9) {  // the cell array
        int nx = 0, ny = 0;
        *got = CgmCells(e, 3, &nx, &ny);
        EXPECT_EQ(nx, kWidth);
        EXPECT_EQ(ny, kHeight);
      }
  } else {
    ReadOurs(path, writer.type, got);
  }
}

TEST(Registry, EveryWriterRoundTripsThroughItsReader) {
  TempDir dir;
  for (const RoundTrip &r : kRoundTrips) {
    SCOPED_TRACE(std::string(r.word) + " model " + std::to_string(r.model) + " compression " +
                 std::to_string(r.compression));
    Bytes lines, cmap, got;
    const Bytes expected = Picture(r, &lines, &cmap);
    const std::string path = dir.file(std::string("picture.") + r.word);
    Write(r, path, lines, cmap);
    if (HasFatalFailure()) continue;
    ReadBack(*IffFindWriter(r.word), path, &got);
    EXPECT_EQ(got, expected);
  }
}

// The lossless codings a writer takes in a header, for any model it
// writes. A writer that takes a code no coding has ignores the request's
// first word: it has no coding of its own to name.
std::set<uint64_t> LosslessCodings(const IffFormatTp &format, const std::string &path) {
  const auto takes = [&](uint64_t code) {
    for (uint32_t model = IFF_CM_RGB; model <= IFF_CM_PALETTE; ++model) {
      if (!(format.write_models & IFF_MODEL_BIT(model))) continue;
      for (const int entries : model == IFF_CM_PALETTE ? std::vector{2, 16, 256} : std::vector{0}) {
        IffFileSpecTp spec = {path.c_str(), nullptr, 0};
        IffControlBlockTp *out = nullptr;
        const uint64_t compression[3] = {code, 0, Packing(model)};
        ReturnTp rc = IffInit(nullptr, &out, IFF_SRV_EXPORT, &spec, format.writers[0].type,
                              IFF_MIN_VERIFY, nullptr);
        if (!rc)
          rc = IffWtHead(out, kWidth, kHeight, 1, 1, entries != 0, model, entries, 8, compression,
                         0, 0, 0, nullptr);
        IffTerm(&out);
        if (!rc) return true;
      }
    }
    return false;
  };
  const std::set<uint64_t> lossy = {IFF_COMP_JPEG_BASELINE, IFF_COMP_JPEG_SEQUENTIAL,
                                    IFF_COMP_JPEG_PROGRESSIVE, IFF_COMP_WAVELET_LOSSY};
  std::set<uint64_t> codings;
  if (takes(IFF_COMP_DEFLATE + 1)) return codings;
  for (uint64_t code = IFF_COMP_LZW; code <= IFF_COMP_DEFLATE; ++code)
    if (!lossy.count(code) && takes(code)) codings.insert(code);
  return codings;
}

// The writer's default (IFF_COMP_NONE) is covered by the row of each word.
TEST(Registry, EveryWriterAndLosslessCodingHasARoundTrip) {
  TempDir dir;
  Recorder quiet;  // the refusals of the probes
  const auto rows = [](const std::function<bool(const RoundTrip &)> &match) {
    return std::count_if(std::begin(kRoundTrips), std::end(kRoundTrips), match);
  };
  for (const IffFormatTp *const *f = IfdFormats; *f; ++f) {
    if (!(*f)->ops.WtHead) continue;
    for (const IffWriterWordTp &w : (*f)->writers) {
      if (!w.word) break;
      EXPECT_GT(rows([&](const RoundTrip &r) { return strcmp(r.word, w.word) == 0; }), 0)
          << "writer word " << w.word << " has no round trip";
    }
    for (const uint64_t code : LosslessCodings(**f, dir.file("probe"))) {
      EXPECT_GT(rows([&](const RoundTrip &r) {
                  const IffWriterWordTp *w = IffFindWriter(r.word);
                  return w && IffFormatOf(w->type) == *f && r.compression == code;
                }),
                0)
          << (*f)->name << " writes compression " << code << " but has no round trip of it";
    }
  }
}

}  // namespace
