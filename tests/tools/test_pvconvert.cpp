// pvconvert against netpbm: geometry, sizes, bottom-up sources, palettes
// and bad input.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "colourrules.h"
#include "imagefile.h"
#include "runprog.h"

namespace {

struct Pnm {
  int w = 0, h = 0, channels = 0;
  std::vector<int> v;
};

// Binary PGM or PPM with maxval 255, as netpbm and our writer make them.
Pnm ReadPnm(const std::string &data) {
  Pnm p;
  std::istringstream in(data);
  std::string magic;
  int maxval = 0;
  in >> magic >> p.w >> p.h >> maxval;
  in.get();
  p.channels = magic == "P6" ? 3 : magic == "P5" ? 1 : 0;
  const size_t n = size_t(p.w) * p.h * p.channels;
  if (!p.channels || maxval != 255 || data.size() < n) return Pnm();
  const std::string rest = data.substr(data.size() - n);
  for (unsigned char c : rest) p.v.push_back(c);
  return p;
}

RunResult Pvconvert(const std::vector<std::string> &args, const std::string &input = "") {
  std::vector<std::string> argv{PVCONVERT_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions o;
  o.stdin_data = input;
  return RunProgram(argv, o);
}

// The output of a netpbm command line, as a picture.
Pnm Netpbm(const std::string &command) {
  const RunResult r = RunProgram({"sh", "-c", command});
  EXPECT_EQ(r.status, 0) << command << ": " << r.err;
  return ReadPnm(r.out);
}

void ExpectNear(const Pnm &got, const Pnm &want, int tolerance, const std::string &what) {
  ASSERT_EQ(got.w, want.w) << what;
  ASSERT_EQ(got.h, want.h) << what;
  ASSERT_EQ(got.channels, want.channels) << what;
  for (size_t i = 0; i < got.v.size(); ++i)
    ASSERT_LE(std::abs(got.v[i] - want.v[i]), tolerance) << what << " at sample " << i;
}

class PvConvert : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every pixel differs from its neighbours, and no row or column is
    // symmetric, so that a wrong turn or a wrong crop shows.
    input_ = dir_.file("in.ppm");
    std::string data = "P6\n" + std::to_string(kW) + " " + std::to_string(kH) + "\n255\n";
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x)
        for (int c = 0; c < 3; ++c) data += char((x * 7 + y * y * 3 + c * 85) & 255);
    WriteFile(input_, data);
  }
  Pnm Convert(const std::vector<std::string> &options, const std::string &out = "out.ppm") {
    std::vector<std::string> args = options;
    args.push_back(input_);
    args.push_back(dir_.file(out));
    const RunResult r = Pvconvert(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return ReadPnm(ReadFile(dir_.file(out)));
  }
  static constexpr int kW = 23, kH = 17;
  TempDir dir_;
  std::string input_;
};

TEST_F(PvConvert, GeometryMatchesNetpbm) {
  const std::string in = input_;
  struct Case {
    std::vector<std::string> options;
    std::string netpbm;
  } cases[] = {
      {{}, "cat " + in},
      {{"-crop", "9x5+4+3"}, "pamcut 4 3 9 5 " + in},
      {{"-rotate", "90"}, "pamflip -r90 " + in},
      {{"-rot", "270"}, "pamflip -r270 " + in},
      {{"-rotate", "180"}, "pamflip -r180 " + in},
      {{"-mirror", "both"}, "pamflip -r180 " + in},
      {{"-mirror", "horizontal"}, "pamflip -lr " + in},
      {{"-mirror", "vertical"}, "pamflip -tb " + in},
      {{"-crop", "9x5+4+3", "-rotate", "90"}, "pamcut 4 3 9 5 " + in + " | pamflip -r90"},
      // As the viewer: turned first, then mirrored; a crop past the edges
      // ends at them.
      {{"-rotate", "90", "-mirror", "h"}, "pamflip -r90 " + in + " | pamflip -lr"},
      {{"-rotate", "270", "-mirror", "v"}, "pamflip -r270 " + in + " | pamflip -tb"},
      {{"-crop", "100000x100000"}, "cat " + in},
      {{"-relcrop", "0.5x0.5+0.25+0.25"}, "pamcut 6 4 12 9 " + in},
      {{"-size", "46x34", "-scalemethod", "replication"},
       "pamscale -nomix -xsize 46 -ysize 34 " + in},
  };
  for (const Case &c : cases) {
    std::string what;
    for (const std::string &o : c.options) what += o + " ";
    ExpectNear(Convert(c.options), Netpbm(c.netpbm), 0, what);
  }
}

TEST_F(PvConvert, AveragingIsWithinOneLevelOfAnAreaMean) {
  // An exact factor of 2 down, and a size that is no divisor of the input.
  ExpectNear(Convert({"-crop", "20x16+0+0", "-size", "10x8"}),
             Netpbm("pamcut 0 0 20 16 " + input_ + " | pamscale -linear -xsize 10 -ysize 8"), 1,
             "halved");
  const Pnm odd = Convert({"-size", "7"});
  EXPECT_EQ(odd.w, 7);
  EXPECT_EQ(odd.h, 7 * kH / kW);
}

TEST_F(PvConvert, OutputTypesAndStandardStreams) {
  const Pnm gray = Convert({}, "out.pgm");
  EXPECT_EQ(gray.channels, 1);
  // PBM output is bits: read back by netpbm as black and white.
  ASSERT_EQ(Pvconvert({"-type", "pbm", input_, dir_.file("out.bin")}).status, 0);
  EXPECT_EQ(ReadFile(dir_.file("out.bin")).substr(0, 2), "P4");
  EXPECT_EQ(
      RunProgram({"sh", "-c", "pnmtoplainpnm < " + dir_.file("out.bin") + " >/dev/null"}).status,
      0);

  // Through the native format and back, from standard input.
  ASSERT_EQ(Pvconvert({input_, dir_.file("out.qpl")}).status, 0);
  const RunResult back = Pvconvert({"-", dir_.file("back.ppm")}, ReadFile(dir_.file("out.qpl")));
  ASSERT_EQ(back.status, 0) << back.err;
  ExpectNear(ReadPnm(ReadFile(dir_.file("back.ppm"))), ReadPnm(ReadFile(input_)), 0, "qpl");

  const RunResult info = Pvconvert({"-info", dir_.file("out.qpl")});
  EXPECT_EQ(info.status, 0);
  EXPECT_NE(info.out.find("Width: 23\nHeight: 17\n"), std::string::npos) << info.out;
}

// The PC formats, to a file and to a pipe, read back by netpbm. PCX takes
// a palette: a picture of few colours keeps them.
TEST_F(PvConvert, WritesBmpTgaAndPcx) {
  const std::string few = dir_.file("few.ppm");
  ASSERT_EQ(RunProgram({"sh", "-c", "pnmquant 100 " + input_ + " >" + few + " 2>/dev/null"}).status,
            0);
  const struct {
    std::string type, reader, in;
  } cases[] = {{"bmp", "bmptopnm", input_}, {"tga", "tgatoppm", input_}, {"pcx", "pcxtoppm", few}};
  for (const auto &c : cases) {
    const std::string out = dir_.file("out." + c.type);
    ASSERT_EQ(Pvconvert({c.in, out}).status, 0) << c.type;
    ExpectNear(Netpbm(c.reader + " " + out + " 2>/dev/null"), ReadPnm(ReadFile(c.in)), 0, c.type);
    const RunResult piped = Pvconvert({"-type", c.type, c.in, "-"});
    ASSERT_EQ(piped.status, 0) << piped.err;
    WriteFile(out, piped.out);
    ExpectNear(Netpbm(c.reader + " " + out + " 2>/dev/null"), ReadPnm(ReadFile(c.in)), 0,
               c.type + " to a pipe");
  }
}

// Palette writers: a picture of few colours keeps them exactly; one of
// many is reduced (any writer picked by number gets the form it writes).
TEST_F(PvConvert, PaletteWritersGetThePicturesColours) {
  const std::string few = dir_.file("few.ppm");
  ASSERT_EQ(RunProgram({"sh", "-c", "ppmpat -madras 23 17 | pnmquant 16 >" + few + " 2>/dev/null"})
                .status,
            0);
  ASSERT_EQ(Pvconvert({few, dir_.file("few.gif")}).status, 0);
  ExpectNear(Netpbm("giftopnm " + dir_.file("few.gif")), ReadPnm(ReadFile(few)), 0, "few colours");

  const RunResult many = Pvconvert({"-type", "5", input_, dir_.file("many")});
  ASSERT_EQ(many.status, 0) << many.err;
  const Pnm reduced = Netpbm("giftopnm " + dir_.file("many"));
  EXPECT_EQ(reduced.w, kW);
  EXPECT_EQ(reduced.h, kH);
}

// The output named: a link stays a link, a replaced file keeps its mode,
// a FIFO or standard output is written into, and a conversion stopped by a
// signal leaves no temporary file behind. The feeder holds the pipe open
// far longer than any loaded machine needs to start the conversion, so
// that the signal always finds it running.
TEST_F(PvConvert, OutputFilesOfEveryKind) {
  const std::string d = dir_.path() + "/", pv = std::string(PVCONVERT_BIN) + " ";
  const RunResult r = RunProgram(
      {"sh", "-c",
       "cd " + d + " && ln -s target.ppm link.ppm && echo old > ro.ppm && chmod 444 ro.ppm && " +
           pv + input_ + " link.ppm && " + pv + input_ + " ro.ppm && mkfifo fifo && " +
           "(cat fifo > from-fifo &) && " + pv + "-type ppm " + input_ + " fifo && " + pv +
           "-type pgm " + input_ +
           " /dev/stdout | head -c 2 && stat -c '%F %a' link.ppm ro.ppm && stat -c %F fifo" +
           " && mkfifo slow && ((printf 'P5 2000 2000 255 '; head -c 1000000 /dev/zero; sleep 60) "
           ">" +
           " slow 2>/dev/null &) && (" + pv +
           "- stopped.pgm < slow & p=$!; until ls -A | grep -q pvc;" +
           " do sleep 0.1; done; kill -HUP $p; wait $p;" +
           " echo \" status $?\"); ls -A | grep -c pvconvert"});
  EXPECT_EQ(r.out, "P5symbolic link 777\nregular file 444\nfifo\n status 129\n0\n");
  for (const char *out : {"target.ppm", "ro.ppm", "from-fifo"})
    EXPECT_EQ(ReadPnm(ReadFile(dir_.file(out))).w, kW) << out;
}

// Pages of a stream of pictures, and a header's pixel aspect, as the
// viewer takes them.
TEST_F(PvConvert, PagesAndAspectAsTheViewer) {
  const std::string two = dir_.file("two.pbm"), text = dir_.file("text.qpl");
  WriteFile(two, "P1\n2 2\n0 1\n1 0\nP1\n3 1\n0 1 0\n");
  EXPECT_NE(Pvconvert({"-info", two}).out.find("Pages: 2\n"), std::string::npos);
  ASSERT_EQ(Pvconvert({"-pageno", "2", two, dir_.file("p2.pgm")}).status, 0);
  EXPECT_EQ(ReadFile(dir_.file("p2.pgm")), std::string("P5 3 1 255\n\xff\0\xff", 14));
  // A text screen: 640 x 400 whatever its aspect says.
  WriteFile(text, std::string("QPLMAGE\0\x24\0\x03\x02\0\x19\0\x01\0\x01\0\0\x01\x09", 22) +
                      std::string(14 + 6 + 8192 + 160 * 25, '\0'));
  ASSERT_EQ(Pvconvert({text, dir_.file("t.ppm")}).status, 0);
  EXPECT_EQ(ReadFile(dir_.file("t.ppm")).substr(0, 15), "P6 640 400 255\n");
  // -info tells the size a conversion writes, also for pixels that are
  // not square.
  const std::string png = dir_.file("tall.png");
  ShellOutput("ppmpat -madras 20 13 | pnmtopng -size \"2835 3000 1\" > " + png);
  ASSERT_EQ(Pvconvert({png, dir_.file("tall.ppm")}).status, 0);
  const std::string ppm = ReadFile(dir_.file("tall.ppm"));
  for (const std::string &file : {text, png}) {
    const std::string info = Pvconvert({"-info", file}).out;
    const std::string size = file == png ? ppm.substr(3, ppm.find(" 255") - 3) : "640 400";
    EXPECT_NE(info.find("Width: " + size.substr(0, size.find(' ')) +
                        "\nHeight: " + size.substr(size.find(' ') + 1) + "\n"),
              std::string::npos)
        << info;
  }
}

// Alpha: the picture the viewer shows (laid over white), and kept whole
// in a PAM.
TEST_F(PvConvert, AlphaIsShownAsTheViewerShowsItAndKeptInPam) {
  const std::string rgba = dir_.file("a.pam"), gray = dir_.file("g.pam");
  WriteFile(rgba, std::string("P7\nWIDTH 2\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\n"
                              "ENDHDR\n\xff\0\0\xff\xff\xff\xff\x80",
                              73));
  WriteFile(gray,
            "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\n"
            "ENDHDR\n\xc8\x64");
  struct Case {
    std::string in, out;
    std::string samples;  // the output's last bytes
  } cases[] = {
      {rgba, "o.ppm", std::string("\xff\0\0\xff\xff\xff", 6)},  // opaque red, white at 128
      {gray, "o.pgm", "\xe9"},                                  // 200 at 100 over white: 233
      {rgba, "o.pam", std::string("\xff\0\0\xff\xff\xff\xff\x80", 8)},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(Pvconvert({c.in, dir_.file(c.out)}).status, 0) << c.out;
    const std::string got = ReadFile(dir_.file(c.out));
    ASSERT_GE(got.size(), c.samples.size());
    EXPECT_EQ(got.substr(got.size() - c.samples.size()), c.samples) << c.out;
  }
  EXPECT_EQ(ReadFile(dir_.file("o.pam")).substr(0, 3), "P7\n");
}

// A native file stored bottom line first, with two equal palette entries.
TEST_F(PvConvert, BottomUpPaletteFile) {
  const int w = 4, h = 3;
  std::vector<unsigned char> map(768, 0);
  const unsigned char colours[4][3] = {{200, 100, 50}, {200, 100, 50}, {0, 0, 255}, {9, 9, 9}};
  for (int i = 0; i < 4; ++i)
    for (int c = 0; c < 3; ++c) map[3 * i + c] = colours[i][c];
  // Row y holds indexes (x + y) % 4; stored from the last row up.
  const std::string path = dir_.file("up.qpl");
  IffControlBlockTp *out = nullptr;
  IffFileSpecTp spec = {path.c_str(), nullptr, 0};
  ASSERT_EQ(IffInit(nullptr, &out, IFF_SRV_EXPORT, &spec, IFF_TYPE_QPL, IFF_MIN_VERIFY, nullptr),
            0u);
  const uint64_t none[3] = {0, 0, 0};
  ASSERT_EQ(IffWtHead(out, w, h, 1, 1, 1, IFF_CM_PALETTE, 256, 8, none, 2, 0, 0, nullptr), 0u);
  ASSERT_EQ(IffWtCMap(out, map.data()), 0u);
  for (int i = 0; i < h; ++i) {
    const int y = h - 1 - i;
    unsigned char line[w];
    for (int x = 0; x < w; ++x) line[x] = static_cast<unsigned char>((x + y) % 4);
    ASSERT_EQ(IffWtScan(out, i, line), 0u);
  }
  ASSERT_EQ(IffTerm(&out), 0u);

  ASSERT_EQ(Pvconvert({path, dir_.file("up.ppm")}).status, 0);
  const Pnm got = ReadPnm(ReadFile(dir_.file("up.ppm")));
  ASSERT_EQ(got.w, w);
  ASSERT_EQ(got.h, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int index = (x + y) % 4;
      // The second of two equal entries is a distinct display pixel (254
      // in the fourth byte, colour scaled to match); laid over white it
      // shows the colour of the first again.
      const int *px = &got.v[(y * w + x) * 3];
      for (int c = 0; c < 3; ++c) EXPECT_EQ(px[c], colours[index][c]) << x << "," << y;
    }
}

// Every colour option on a picture of known colours, against the rules as
// the test writes them out.
TEST_F(PvConvert, ColourOptionsFollowTheirRules) {
  const std::string in = dir_.file("colours.ppm"), out = dir_.file("colours-out.ppm");
  WriteFile(in, ColourPicturePpm());
  for (const ColourCase &c : ColourCases()) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {in, out});
    const RunResult r = Pvconvert(args);
    ASSERT_EQ(r.status, 0) << ColourCaseName(c) << ": " << r.err;
    // The samples are the file's last bytes.
    const std::string ppm = ReadFile(out);
    const size_t n = size_t(kColourPictureW) * kColourPictureH * 3;
    EXPECT_EQ(ColourMismatch(c, ppm.substr(ppm.size() - std::min(n, ppm.size()))), "");
  }
}

TEST_F(PvConvert, BadInputFailsWithoutLeavingOutput) {
  WriteFile(dir_.file("words.txt"), "nothing but text here\n");
  WriteFile(dir_.file("page.ps"), "%!PS\nshowpage\n");  // no filter file here to draw it
  WriteFile(dir_.file("a.gif"), std::string("GIF89a\x01\x00\x01\x00\x00\x00\x00;", 13));
  // Headers that promise more than any real picture, or far more than the
  // file holds: refused at once, or stopped after bounded work.
  WriteFile(dir_.file("tall.pgm"), "P5\n1 2000000000\n255\nabc");
  WriteFile(dir_.file("vast.pgm"), "P5\n65536 65537\n255\nabc");
  WriteFile(dir_.file("hollow.pgm"), "P5\n100000 10000\n255\nabc");
  WriteFile(dir_.file("plain.pgm"), "P2\n100000 10000\n255\n1 2 3");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{dir_.file("missing.ppm"), dir_.file("o.ppm")}, "Error: Cannot open"},
      {{dir_.file("words.txt"), dir_.file("o.ppm")}, "Unknown type of file"},
      {{dir_.file("page.ps"), dir_.file("o.ppm")}, "Unknown type of file"},
      {{dir_.file("a.gif"), dir_.file("o.ppm")}, "Info: No more pages"},
      {{"-type", "tiffy", input_, dir_.file("o.ppm")},
       "Bad value [tiffy] for option [-type]\nOutput types are: "},
      {{input_, dir_.file("o.unknown")}, "No output type for [" + dir_.file("o.unknown") + "]"},
      {{input_, "-"}, "Standard output needs an output type: -type <type>\nOutput types are:"},
      {{input_, dir_.file("nodir/o.ppm")}, "Cannot open"},
      {{"-crop", "bad", input_, dir_.file("o.ppm")}, "Bad format for crop"},
      {{dir_.file("tall.pgm"), dir_.file("o.ppm")}, "Strange height of the image"},
      {{dir_.file("vast.pgm"), dir_.file("o.ppm")}, "Strange height of the image"},
      {{"-size", "10", dir_.file("hollow.pgm"), dir_.file("o.ppm")}, "Unexpected End-Of-File"},
      {{"-size", "10", dir_.file("plain.pgm"), dir_.file("o.ppm")}, "Unexpected End-Of-File"},
      {{"-size", "100000x100000", input_, dir_.file("o.ppm")}, "Output size 100000x100000 is"},
      {{"-pageno", "2", input_, dir_.file("o.ppm")}, "The image has no page 2"},
      {{"-brightness", "abc", input_, dir_.file("o.ppm")},
       "CmdGetOptDouble: Bad value [abc] for option [-brightness]\n"},
      {{"-output", "purple", input_, dir_.file("o.ppm")},
       "Bad value [purple] for option [-output]"},
      {{"-removebgs", "most", input_, dir_.file("o.ppm")}, "CmdGetOptInt: Bad value [most]"},
      {{"-colorreplace", "ff0000/00ff00;1/2", input_, dir_.file("o.ppm")},
       "Invalid -colorreplace parameter: [ff0000/00ff00;1/2]\n"},
  };
  for (const Case &c : cases) {
    const RunResult r = Pvconvert(c.args);
    EXPECT_EQ(r.status, 1) << c.args[0];
    EXPECT_NE((r.err + r.out).find(c.message), std::string::npos) << r.err << r.out;
  }
  // Nothing but the inputs is left in the directory.
  int files = 0;
  DIR *d = opendir(dir_.path().c_str());
  while (dirent *e = readdir(d)) files += e->d_name[0] != '.' || strlen(e->d_name) > 2;
  closedir(d);
  EXPECT_EQ(files, 8);
}

}  // namespace

namespace {

// The JPEG words give each mode its frame, -quality its tables and
// -subsampling the sampling; lossless gives the picture back exactly;
// values out of range fail without output.
TEST_F(PvConvert, JpegCompressionQualityAndSampling) {
  struct Case {
    std::vector<std::string> options;
    std::string frame;  // the frame marker, the first component's sampling, the DQT's first entry
  } kCases[] = {
      {{}, std::string("\xC0\x21\x10", 3)},
      {{"-quality", "5"}, std::string("\xC0\x21\x18", 3)},
      {{"-compression", "sequential", "-subsampling", "2x2"}, std::string("\xC1\x22\x10", 3)},
      {{"-compression", "progressive", "-subsampling", "1x1", "-quality", "20"},
       std::string("\xC2\x11\x04", 3)},
      {{"-compression", "lossless"}, std::string("\xC3\x11", 2)}};
  for (const Case &c : kCases) {
    const std::string out = dir_.file("out.jpg");
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {input_, out});
    const RunResult r = Pvconvert(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string jpeg = ReadFile(out);
    const size_t sof = jpeg.find(std::string("\xFF") + c.frame[0]);
    ASSERT_NE(sof, std::string::npos) << c.frame;
    EXPECT_EQ(jpeg[sof + 11], c.frame[1]);
    if (c.frame.size() > 2) {
      EXPECT_EQ(jpeg[jpeg.find("\xFF\xDB") + 5], c.frame[2]);
      // djpeg reads what we write.
      const RunResult d = RunProgram({"djpeg", "-pnm", out});
      EXPECT_EQ(d.status, 0) << d.err;
      EXPECT_EQ(ReadPnm(d.out).w, kW);
    } else {
      const Pnm want = ReadPnm(ReadFile(input_));
      const RunResult p = Pvconvert({out, dir_.file("back.ppm")});
      ASSERT_EQ(p.status, 0) << p.err;
      EXPECT_EQ(ReadPnm(ReadFile(dir_.file("back.ppm"))).v, want.v);
    }
  }
  for (const auto &bad :
       std::vector<std::vector<std::string>>{{"-quality", "0"},
                                             {"-quality", "21"},
                                             {"-subsampling", "3x3"},
                                             {"-compression", "lzw"},
                                             {"-compression", "lossy", "-type", "png"}}) {
    std::vector<std::string> args = bad;
    args.insert(args.end(), {input_, dir_.file("bad.jpg")});
    EXPECT_EQ(Pvconvert(args).status, 1) << bad[1];
    EXPECT_FALSE(std::ifstream(dir_.file("bad.jpg")).good()) << bad[1];
  }
}

}  // namespace
