// The registry of formats, and one round trip through every writer and the
// reader that identification picks for its file: a new writer joins by
// adding a row to kRoundTrips.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "drivers.h"
#include "runprog.h"

namespace {

using Bytes = std::vector<unsigned char>;

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

// One writer: its word, the colour model of the lines handed to it, and
// how many palette entries (0: none).
struct RoundTrip {
  const char *word;
  uint32_t model;
  int entries;
  uint64_t compression = 0;  // the header's compression code asked for (0: the writer's default)
};

const RoundTrip kRoundTrips[] = {
    {"qpl", IFF_CM_RGB, 0},         {"qpl", IFF_CM_PALETTE, 16},  {"ppm", IFF_CM_RGB, 0},
    {"pgm", IFF_CM_GRAY, 0},        {"pbm", IFF_CM_BILEVEL, 0},   {"gif", IFF_CM_PALETTE, 16},
    {"sun", IFF_CM_RGB, 0},         {"ras", IFF_CM_PALETTE, 256}, {"ras", IFF_CM_PALETTE, 2},
    {"xwd", IFF_CM_RGB, 0},         {"xwd", IFF_CM_PALETTE, 16},  {"xwd", IFF_CM_PALETTE, 2},
    {"sgi", IFF_CM_RGB, 0},         {"rgb", IFF_CM_RGB, 0},       {"bw", IFF_CM_GRAY, 0},
    {"png", IFF_CM_RGB, 0},         {"png", IFF_CM_GRAY, 0},      {"png", IFF_CM_BILEVEL, 0},
    {"png", IFF_CM_PALETTE, 3},     {"cal", IFF_CM_BILEVEL, 0},   {"cals", IFF_CM_BILEVEL, 0},
    {"catia", IFF_CM_RGB, 0},       {"catia", IFF_CM_PALETTE, 2}, {"catia", IFF_CM_PALETTE, 16},
    {"catia", IFF_CM_PALETTE, 256}, {"bmp", IFF_CM_RGB, 0},       {"bmp", IFF_CM_PALETTE, 2},
    {"bmp", IFF_CM_PALETTE, 16},    {"bmp", IFF_CM_PALETTE, 256}, {"tga", IFF_CM_RGB, 0},
    {"tga", IFF_CM_PALETTE, 256},   {"tga", IFF_CM_GRAY, 0},      {"pcx", IFF_CM_PALETTE, 2},
    {"pcx", IFF_CM_PALETTE, 16},    {"pcx", IFF_CM_PALETTE, 256}, {"pam", IFF_CM_RGBA, 0},
    {"cat4", IFF_CM_RGB, 0},        {"sb", IFF_CM_RGB, 0},        {"sb", IFF_CM_PALETTE, 2},
    {"sb", IFF_CM_PALETTE, 16},     {"sb", IFF_CM_PALETTE, 256},  {"starbase", IFF_CM_PALETTE, 3},
    {"tif", IFF_CM_RGB, 0},         {"tiff", IFF_CM_GRAY, 0},     {"tif", IFF_CM_BILEVEL, 0},
    {"tif", IFF_CM_PALETTE, 2},     {"tif", IFF_CM_PALETTE, 16},  {"tiff", IFF_CM_PALETTE, 256},
    {"jpg", IFF_CM_RGB, 0, 4},      {"jpeg", IFF_CM_GRAY, 0, 4},  {"jp2", IFF_CM_RGB, 0, 14},
    {"jp2", IFF_CM_GRAY, 0, 14},    {"j2k", IFF_CM_RGB, 0, 14},   {"tif", IFF_CM_RGB, 0, 15},
    {"tif", IFF_CM_PALETTE, 2, 15},
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

TEST(Registry, EveryWriterRoundTripsThroughItsReader) {
  TempDir dir;
  for (const RoundTrip &r : kRoundTrips) {
    SCOPED_TRACE(std::string(r.word) + " model " + std::to_string(r.model) + " compression " +
                 std::to_string(r.compression));
    const IffWriterWordTp *writer = IffFindWriter(r.word);
    ASSERT_NE(writer, nullptr);
    Bytes lines, cmap;
    const Bytes expected = Picture(r, &lines, &cmap);
    const std::string path = dir.file(std::string("picture.") + r.word);
    IffFileSpecTp spec = {path.c_str(), nullptr, 0};

    IffControlBlockTp *out = nullptr;
    const uint64_t compression[3] = {r.compression, 0, r.model == IFF_CM_BILEVEL ? 2u : 0u};
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

    IffControlBlockTp *in = nullptr;
    uint32_t type = 0;
    ASSERT_EQ(IffInit(nullptr, &in, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, &type),
              0u);
    EXPECT_EQ(type, writer->type);
    IffParamTp header = {};
    ASSERT_EQ(IffRdHead(in, 0, nullptr, &header), 0u);
    ASSERT_EQ(header.width, kWidth);
    ASSERT_EQ(header.height, kHeight);
    const bool palette = header.has_cmap != 0;
    Bytes got(static_cast<size_t>(kWidth) * kHeight * 3);
    if (palette) {
      ASSERT_EQ(IffRdCMap(in), 0u);
    }
    // Rows come in file order; a bottom-up file gives the bottom row first.
    for (int32_t i = 0; i < kHeight; ++i) {
      ASSERT_EQ(IffRdScan(in, 1, i), 0u);
      const int32_t y = header.orientation == 2 ? kHeight - 1 - i : i;
      auto at = got.begin() + static_cast<std::ptrdiff_t>(y) * kWidth * 3;
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
    EXPECT_EQ(got, expected);
  }
}

}  // namespace
