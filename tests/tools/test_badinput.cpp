// Bad and unusual input as the user meets it through the programs: every
// failure says why, missing data fail the conversion, damaged fax data are
// salvaged as libtiff salvages them, and the messages name things in the
// user's terms.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runprog.h"
#include "xvfb.h"

namespace {

RunResult RunTool(const std::string &program, const std::vector<std::string> &args,
                  const std::string &input = "", const std::vector<std::string> &env = {}) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions o;
  o.stdin_data = input;
  o.set_env = env;
  o.unset_env = {"PVDEBUG", "OLDSTAMP", "PVSTAMP", "SYSDIR"};
  return RunProgram(argv, o);
}

RunResult Convert(const std::vector<std::string> &args, const std::string &input = "",
                  const std::vector<std::string> &env = {}) {
  return RunTool(PVCONVERT_BIN, args, input, env);
}

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

class BadInput : public testing::Test {
 protected:
  std::string F(const std::string &name) const { return dir_.file(name); }
  void Make(const std::string &commands) { ShellOutput("cd " + dir_.path() + " && " + commands); }
  TempDir dir_;
};

// A picture cut short is written as far as it goes, with a warning, and
// the conversion fails; the whole file converts silently.
TEST_F(BadInput, MissingDataFailTheConversionInEveryFormat) {
  Make(
      "pgmramp -lr 64 48 > r.pgm && pgmnoise 64 48 > n.pgm 2>/dev/null"
      " && rgb3toppm r.pgm n.pgm r.pgm > c.ppm && cp r.pgm x.pgm && cp c.ppm x.ppm"
      " && convert c.ppm x.bmp && convert c.ppm -colors 16 -compress RLE rle8.bmp"
      " && convert c.ppm x.tga && convert c.ppm -compress RLE rle.tga"
      " && convert c.ppm x.pcx && convert c.ppm x.sun"
      " && (pnmquant 16 c.ppm | pnmtorast -rle > rle.sun) 2>/dev/null"
      " && cjpeg c.ppm > x.jpg");
  for (const char *name : {"x.pgm", "x.ppm", "x.bmp", "rle8.bmp", "x.tga", "rle.tga", "x.pcx",
                           "x.sun", "rle.sun", "x.jpg"}) {
    SCOPED_TRACE(name);
    RunResult r = Convert({F(name), F("o.ppm")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string file = ReadFile(F(name));
    WriteFile(F("cut"), file.substr(0, file.size() * 7 / 10));
    r = Convert({F("cut"), F("o.ppm")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "Unexpected End-Of-File")) << r.err;
  }
  // A TIFF strip where the file has none: 8 x 4 grey, its one strip at
  // byte 100000.
  const uint32_t entries[][3] = {{256, 3, 8},      {257, 3, 4}, {258, 3, 8},
                                 {273, 4, 100000}, {278, 3, 4}, {279, 4, 32}};
  std::string tiff("II*\0\x08\0\0\0", 8);
  auto put = [&tiff](uint32_t v, int n) {
    for (int i = 0; i < n; ++i) tiff += static_cast<char>(v >> (8 * i));
  };
  put(6, 2);
  for (const auto &e : entries) {
    put(e[0], 2);
    put(e[1], 2);
    put(1, 4);
    put(e[2], 4);
  }
  put(0, 4);
  WriteFile(F("strip.tif"), tiff);
  const RunResult r = Convert({F("strip.tif"), F("o.ppm")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.err, "Warning: Unexpected End-Of-File: the picture is incomplete")) << r.err;
}

// The shapes of a truncated or broken TIFF file, through each program:
// status 1 and a message, never silence.
TEST_F(BadInput, BrokenTiffFilesSayWhyInEveryProgram) {
  Make("pgmramp -lr 64 48 | pnmtotiff -lzw > x.tif 2>/dev/null");
  const std::string file = ReadFile(F("x.tif"));
  std::string zero_entries = file, beyond = file;
  const size_t ifd = static_cast<unsigned char>(file[4]) | static_cast<unsigned char>(file[5]) << 8;
  zero_entries[ifd] = zero_entries[ifd + 1] = 0;
  beyond[7] = 0x7F;
  const struct {
    const char *what;
    std::string data;
  } cases[] = {
      {"cut before its directory", file.substr(0, ifd - 10)},
      {"cut inside its directory", file.substr(0, ifd + 20)},
      {"directory beyond the end", beyond},
      {"directory without entries", zero_entries},
  };
  XvfbServer server(24);
  ASSERT_TRUE(server.ok());
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(F("bad.tif"), c.data);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{F("bad.tif"), F("o.ppm")}, {"-info", F("bad.tif")}}) {
      const RunResult r = Convert(args);
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.err, "");
    }
    const RunResult r =
        RunTool(PVVIEW_BIN, {"-timer", "1", F("bad.tif")}, "",
                {"DISPLAY=" + server.display(), std::string("SYSDIR=") + PV_SYSDIR});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err, "");
  }
}

// A single-strip fax page, packed rows of 1 bits for black.
std::string Page(int w, int h) {
  std::string pbm = "P4\n" + std::to_string(w) + " " + std::to_string(h) + "\n";
  const int rb = (w + 7) / 8;
  std::string bits(static_cast<size_t>(rb) * h, '\0');
  auto set = [&](int x, int y) {
    bits[static_cast<size_t>(y) * rb + x / 8] |= char(0x80 >> (x & 7));
  };
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const bool line = y % 40 < 24 && (x / 7 + y / 40) % 9 < 5 && ((x * 13) ^ (y * 7)) % 11 < 6;
      const bool frame = x < 30 || x > w - 30 || (x - y / 2) % 300 == 0;
      if (line || frame) set(x, y);
    }
  return pbm + bits;
}

// Offset and byte count of the one strip of a little-endian TIFF file.
void Strip(const std::string &f, size_t *offset, size_t *count) {
  auto u = [&](size_t at, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v |= uint32_t(static_cast<unsigned char>(f.at(at + i))) << (8 * i);
    return v;
  };
  const uint32_t ifd = u(4, 4);
  for (uint32_t i = 0, n = u(ifd, 2); i < n; ++i) {
    const size_t e = ifd + 2 + 12 * i;
    const uint32_t value = u(e + 2, 2) == 3 ? u(e + 8, 2) : u(e + 8, 4);
    if (u(e, 2) == 273) *offset = value;
    if (u(e, 2) == 279) *count = value;
  }
}

// The rows of a binary PBM, each as its pixels.
std::vector<std::string> Rows(const std::string &pbm) {
  size_t at = 2;
  int v[2];
  for (int &n : v) {
    at = pbm.find_first_not_of(" \t\r\n", at);
    const size_t end = pbm.find_first_of(" \t\r\n", at);
    n = std::stoi(pbm.substr(at, end - at));
    at = end;
  }
  ++at;
  const int w = v[0], rb = (w + 7) / 8;
  std::vector<std::string> rows;
  for (int y = 0; y < v[1] && at + rb <= pbm.size(); ++y, at += rb) {
    std::string row;
    for (int x = 0; x < w; ++x) row += (pbm[at + x / 8] >> (7 - x % 8)) & 1 ? '#' : '.';
    rows.push_back(row);
  }
  return rows;
}

size_t SameFromTop(const std::vector<std::string> &a, const std::vector<std::string> &b) {
  size_t n = 0;
  while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
  return n;
}

size_t Same(const std::vector<std::string> &a, const std::vector<std::string> &b) {
  size_t n = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) n += a[i] == b[i];
  return n;
}

// Four bytes zeroed at 40% of a 1700 x 2200 page: the page is written with
// a warning, its rows above the damage as libtiff decodes them, and with
// end-of-line codes the rows below as well.
TEST_F(BadInput, DamagedFaxDataAreSalvagedAsLibtiffSalvagesThem) {
  WriteFile(F("page.pbm"), Page(1700, 2200));
  Make(
      "pnmtotiff -miniswhite page.pbm > page.tif 2>/dev/null"
      " && tiffcp -c g4 -r 2200 page.tif g4.tif && tiffcp -c g3:2d -r 2200 page.tif g3.tif");
  const std::vector<std::string> page = Rows(ReadFile(F("page.pbm")));
  for (const char *name : {"g4.tif", "g3.tif"}) {
    SCOPED_TRACE(name);
    std::string file = ReadFile(F(name));
    size_t offset = 0, count = 0;
    Strip(file, &offset, &count);
    ASSERT_GT(count, 1000u);
    file.replace(offset + count * 2 / 5, 4, 4, '\0');
    WriteFile(F("damaged.tif"), file);
    const RunResult r = Convert({F("damaged.tif"), F("ours.pbm")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.err, "Warning: Damaged fax data: the rows from row ")) << r.err;
    const std::vector<std::string> ours = Rows(ReadFile(F("ours.pbm")));
    const std::vector<std::string> theirs =
        Rows(ShellOutput("tifftopnm " + F("damaged.tif") + " 2>/dev/null; true"));
    ASSERT_EQ(ours.size(), 2200u);
    ASSERT_EQ(theirs.size(), 2200u);
    const size_t above = SameFromTop(theirs, page);
    EXPECT_GT(above, 500u);
    EXPECT_GE(SameFromTop(ours, theirs), above);
    // End-of-line codes let decoding start again below the damage.
    if (name[1] == '3') {
      EXPECT_GE(Same(ours, page), Same(theirs, page));
      EXPECT_GT(Same(ours, page), above + 100);
    }
  }
}

// A filter given the angle turns the page itself: the conversion turns it
// no further, and mirrors it as asked.
TEST_F(BadInput, APageTurnedByItsFilterIsNotTurnedAgain) {
  Make(
      "pgmramp -lr 23 17 > r.pgm && pgmnoise 23 17 > n.pgm 2>/dev/null"
      " && rgb3toppm r.pgm n.pgm r.pgm > in.ppm && (echo TURNME; cat in.ppm) > in.turn"
      " && printf '#!/bin/sh\\nif [ \"$1\" = 0 ]; then cat; else pamflip -r$1; fi\\n' > turn"
      " && chmod +x turn");
  WriteFile(F("filters"), "TURNME \"sed 1d | " + F("turn") + " %A\" \"turned by a test\\n\"\n");
  const std::vector<std::string> env = {"SYSDIR=" + dir_.path()};
  for (const char *rotate : {"0", "90", "180", "270"})
    for (const char *mirror : {"none", "horizontal", "vertical", "both"}) {
      SCOPED_TRACE(std::string(rotate) + " " + mirror);
      const RunResult plain =
          Convert({"-rotate", rotate, "-mirror", mirror, F("in.ppm"), F("plain.ppm")});
      const RunResult turned =
          Convert({"-rotate", rotate, "-mirror", mirror, F("in.turn"), F("turned.ppm")}, "", env);
      ASSERT_EQ(plain.status, 0) << plain.err;
      ASSERT_EQ(turned.status, 0) << turned.err;
      EXPECT_TRUE(ReadFile(F("plain.ppm")) == ReadFile(F("turned.ppm")));
    }
}

// Inputs without a picture say which: empty, or a GIF that holds none.
TEST_F(BadInput, EmptyInputAndAGifWithoutAnImage) {
  WriteFile(F("empty"), "");
  // Screen, a graphic control extension, the trailer.
  WriteFile(F("none.gif"), std::string("GIF89a\x0a\0\x0a\0\0\0\0!\xf9\x04\0\0\0\0\0;", 22));
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{F("empty"), F("o.ppm")}, "Error: Empty file\n"},
      {{"-", F("o.ppm")}, "Error: Empty file\n"},
      {{"-info", "-"}, "Error: Empty file\n"},
      {{F("none.gif"), F("o.ppm")}, "Info: No more pages\n"},
      {{"-info", F("none.gif")}, "Info: No more pages\n"},
  };
  for (const auto &c : cases) {
    const RunResult r = Convert(c.args);
    EXPECT_EQ(r.status, 1) << c.args[0];
    EXPECT_EQ(r.err, c.message) << c.args[0];
  }
}

// -info names each compression as its format does.
TEST_F(BadInput, InfoNamesTheCompressionInTheFormatsTerms) {
  Make(
      "pgmramp -lr 40 30 > r.pgm && pgmnoise 40 30 > n.pgm 2>/dev/null"
      " && rgb3toppm r.pgm n.pgm r.pgm > c.ppm && pamthreshold -simple r.pgm | pamtopnm > b.pbm"
      " && convert c.ppm x.bmp && convert c.ppm -colors 16 -compress RLE rle8.bmp"
      " && convert c.ppm -compress none x.sun"
      " && (pnmquant 16 c.ppm | pnmtorast -rle > rle.sun) 2>/dev/null"
      " && convert c.ppm -compress none x.tga && convert c.ppm -compress RLE rle.tga"
      " && convert c.ppm -compress RLE rle.sgi && convert c.ppm x.pcx && convert c.ppm x.gif"
      " && pnmtotiff c.ppm > c.tif 2>/dev/null && tiffcp -c packbits c.tif packbits.tif"
      " && tiffcp -c lzw c.tif lzw.tif && pnmtotiff b.pbm > b.tif 2>/dev/null"
      " && tiffcp -c g3 b.tif g3.tif && tiffcp -c g3:2d b.tif g32d.tif"
      " && tiffcp -c g4 b.tif g4.tif && cjpeg -progressive c.ppm > p.jpg");
  const struct {
    const char *file, *name;
  } cases[] = {
      {"x.bmp", "none"},
      {"rle8.bmp", "Run Length Compressed"},
      {"x.sun", "none"},
      {"rle.sun", "Run Length Compressed"},
      {"x.tga", "none"},
      {"rle.tga", "Run Length Compressed"},
      {"rle.sgi", "Run Length Compressed"},
      {"x.pcx", "Run Length Compressed"},
      {"x.gif", "LZW Compressed"},
      {"packbits.tif", "Packbits compressed"},
      {"lzw.tif", "LZW Compressed"},
      {"g3.tif", "CCITT Group 3"},
      {"g32d.tif", "FaxG3-2D"},
      {"g4.tif", "CCITT Group 4"},
      {"p.jpg", "Jpeg Progressive"},
  };
  for (const auto &c : cases) {
    const RunResult r = Convert({"-info", F(c.file)});
    EXPECT_EQ(r.status, 0) << c.file << ": " << r.err;
    EXPECT_TRUE(Has(r.out, std::string("\nCompression: ") + c.name + "\n")) << c.file << r.out;
  }
}

// A JPEG file that cannot be read is named, then says why in the codec's
// words; it never ends in the bare handle message.
TEST_F(BadInput, FailingJpegSaysWhy) {
  Make("pgmramp -lr 40 30 > r.pgm && cjpeg -arithmetic r.pgm > arith.jpg && cjpeg r.pgm > x.jpg");
  const std::string x = ReadFile(F("x.jpg"));
  const size_t sof = x.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  std::string two_components = x;
  two_components[sof + 9] = 2;
  WriteFile(F("two.jpg"), two_components);
  WriteFile(F("cut.jpg"), x.substr(0, sof + 6));
  const struct {
    const char *file, *words;
  } cases[] = {
      {"arith.jpg", "Error: Cannot decode the JPEG data: JPEG arithmetic coding is not supported"},
      {"two.jpg", "Error: Cannot decode the JPEG data: Header length field invalid."},
      {"cut.jpg", "Error: Cannot decode the JPEG data: "},
  };
  for (const auto &c : cases) {
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{F(c.file), F("o.ppm")}, {"-info", F(c.file)}}) {
      const RunResult r = Convert(args);
      EXPECT_EQ(r.status, 1) << c.file;
      EXPECT_TRUE(Has(r.err, "JPEG file " + F(c.file) + "\n" + c.words)) << c.file << ": " << r.err;
      EXPECT_FALSE(Has(r.err, "Invalid character")) << c.file << ": " << r.err;
    }
  }
}

// Values of the stamp and label options that name nothing end the program
// with the status of a wrong command line, saying which.
TEST_F(BadInput, BadLabelAndStampValuesAreWrongCommandLines) {
  Make("pgmramp -lr 40 30 > r.pgm");
  const struct {
    const char *program;
    std::vector<std::string> args;
    int status;
    std::string message;
  } cases[] = {
      {PVCONVERT_BIN,
       {"-labelspec", "10", "x", "3", "T", F("r.pgm"), F("o.ppm")},
       1,
       "Bad value [x] for option [-labelspec]"},
      {PVCONVERT_BIN,
       {"-labelspec", "big", "2", "3", "T", F("r.pgm"), F("o.ppm")},
       1,
       "Bad value [big] for option [-labelspec]"},
      {PVGRAPHX_BIN, {"-stampcolor", "purple"}, 2, "unknown colour [purple]"},
      {PVGRAPHX_BIN,
       {"-stamptext", "X", "-stampweight", "fat", "-papersize", "9x9"},
       2,
       "unknown weight [fat]"},
  };
  for (const auto &c : cases) {
    const RunResult r = RunTool(c.program, c.args);
    EXPECT_EQ(r.status, c.status) << c.message;
    EXPECT_TRUE(Has(r.err, c.message)) << r.err;
  }
  // Good values still work.
  const RunResult r = Convert({"-labelspec", "10.5", "2", "3", "T", F("r.pgm"), F("o.ppm")});
  EXPECT_EQ(r.status, 0) << r.err;
}

// An SVG document whose converter gives nothing is read by the layout
// driver when it holds a preview picture.
TEST_F(BadInput, SvgWithAPreviewIsReadWhenItsConverterFails) {
  Make(
      "pgmramp -lr 40 30 > r.pgm && pgmnoise 40 30 > n.pgm 2>/dev/null"
      " && rgb3toppm r.pgm n.pgm r.pgm > c.ppm && pnmtopng c.ppm > c.png"
      " && (printf '<svg xmlns=\"http://www.w3.org/2000/svg\">\\n<!-- {\"preview\": \"';"
      "     base64 -w0 c.png; printf '\"} -->\\n<rect broken') > a.svg");
  WriteFile(F("filters"), "*xzSVG \"false\" \"SVG drawing, by a converter that fails.\\n\"\n");
  const RunResult r = Convert({F("a.svg"), F("o.ppm")}, "", {"SYSDIR=" + dir_.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(Convert({F("c.png"), F("png.ppm")}).status, 0);
  EXPECT_TRUE(ReadFile(F("o.ppm")) == ReadFile(F("png.ppm")));
}

// Under an inverse stamp dark parts lighten and light parts darken,
// whichever way the stamp is drawn.
TEST_F(BadInput, InverseStampInvertsWithEitherMethod) {
  Make(
      "pgmmake 0.15 200 100 > dark.pgm && pgmmake 0.85 200 100 > light.pgm"
      " && pnmcat -lr dark.pgm light.pgm > half.pgm");
  ASSERT_EQ(Convert({F("half.pgm"), F("plain.ppm")}).status, 0);
  const std::string plain = ReadFile(F("plain.ppm"));
  for (const char *method : {"renderer", "OLDSTAMP"}) {
    SCOPED_TRACE(method);
    std::vector<std::string> env;
    if (std::string(method) == "OLDSTAMP") env.push_back("OLDSTAMP=1");
    const RunResult r = Convert(
        {"-stamptext", "XX", "-stampcolor", "inverse", F("half.pgm"), F("stamped.ppm")}, "", env);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string stamped = ReadFile(F("stamped.ppm"));
    ASSERT_EQ(stamped.size(), plain.size());
    const size_t data = plain.size() - 400 * 100 * 3;
    int lighter = 0, darker = 0;
    for (size_t i = data; i < plain.size(); i += 3) {
      const int before = static_cast<unsigned char>(plain[i]);
      const int after = static_cast<unsigned char>(stamped[i]);
      lighter += before < 128 && after > 128;
      darker += before > 128 && after < 128;
    }
    EXPECT_GT(lighter, 500);
    EXPECT_GT(darker, 500);
  }
}

}  // namespace
