// The PDF writer: its files rendered by Ghostscript and their images
// decoded by poppler against the picture written, the cross-reference
// table, page sizes, a large Group 4 drawing beside a Group 4 TIFF, and
// refused headers and failing outputs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "imagefile.h"
#include "runprog.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string Sh(const std::string &command) {
  RunResult r = RunProgram({"/bin/sh", "-c", "set -e; " + command}, {{}, {}, "", "", 300});
  EXPECT_EQ(r.status, 0) << command << ": " << r.err;
  return r.out;
}

// Pixels of any picture file as 8-bit RGB, decoded by ImageMagick.
std::string Rgb(const std::string &path) {
  return Sh("convert-im6.q16 '" + path + "' -depth 8 rgb:-");
}

struct Picture {
  int32_t w, h;
  uint32_t model;
  Bytes pixels;  // 1 or 3 bytes per pixel
};

Picture Make(int32_t w, int32_t h, uint32_t model) {
  Picture p{w, h, model, {}};
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const int v = model == IFF_CM_BILEVEL ? ((x / 3 + y / 2) % 3 == 0 || x == y ? 0 : 255)
                                            : (x * 7 + y * 13) % 256;
      p.pixels.push_back(static_cast<unsigned char>(v));
      if (model == IFF_CM_RGB)
        p.pixels.insert(p.pixels.end(), {static_cast<unsigned char>(x * 5),
                                         static_cast<unsigned char>(255 - y * 9)});
    }
  return p;
}

// What a reader shows of a picture, as 8-bit RGB; one-bit rows threshold.
std::string Expected(const Picture &p, bool one_bit) {
  std::string out;
  for (unsigned char v : p.pixels) {
    const char c = static_cast<char>(one_bit ? (v >= 128 ? 255 : 0) : v);
    out.append(p.model == IFF_CM_RGB ? 1 : 3, c);
  }
  return out;
}

class Pdf : public testing::Test {
 protected:
  void SetUp() override {
    CmnSetErrorHandler([](ReturnTp) {});
  }
  void TearDown() override { CmnSetErrorHandler(CmnDefaultErrorHandler); }
  // Writes the picture; the first failure.
  static ReturnTp Write(const std::string &path, const Picture &p, uint64_t compression,
                        double resolution = 0, bool one_bit = false, int32_t rows = -1) {
    IffControlBlockTp *out = nullptr;
    IffFileSpecTp spec = {path.c_str(), nullptr, 0};
    ReturnTp rc =
        IffInit(nullptr, &out, IFF_SRV_EXPORT, &spec, IFF_TYPE_PDF_GS, IFF_MIN_VERIFY, nullptr);
    if (rc) {
      IffTerm(&out);  // the block is made even when the file cannot be
      return rc;
    }
    out->x_resolution = out->y_resolution = resolution;
    const uint64_t c[3] = {compression, 0, one_bit ? 2u : 0u};
    rc = IffWtHead(out, p.w, p.h, 1, 1, 0, p.model, 0, 8, c, 0, 0, 0, nullptr);
    const size_t row = p.pixels.size() / static_cast<size_t>(p.h);
    for (int32_t y = 0; !rc && y < (rows < 0 ? p.h : rows); ++y)
      rc = IffWtScan(out, y, const_cast<unsigned char *>(&p.pixels[row * static_cast<size_t>(y)]));
    const ReturnTp closed = IffTerm(&out);
    return rc ? rc : closed;
  }
  TempDir dir_;
};

// The objects sit where the cross-reference table says, every entry is 20
// bytes, startxref names the "xref" line, and the stated image length is
// the bytes between "stream" and "endstream".
void CheckStructure(const std::string &f) {
  const size_t xref = f.rfind("xref\n0 8\n");
  ASSERT_NE(xref, std::string::npos);
  const size_t start = f.rfind("startxref\n");
  EXPECT_EQ(std::stoul(f.substr(start + 10)), xref);
  EXPECT_EQ(f.substr(f.size() - 6), "%%EOF\n");
  const size_t table = xref + 9;
  EXPECT_EQ(f.substr(table, 20), "0000000000 65535 f \n");
  for (int i = 1; i <= 7; ++i) {
    const std::string entry = f.substr(table + 20 * static_cast<size_t>(i), 20);
    EXPECT_EQ(entry.substr(10), " 00000 n \n");
    EXPECT_EQ(f.compare(std::stoul(entry), 8, std::to_string(i) + " 0 obj\n"), 0) << i;
  }
  EXPECT_EQ(f.substr(table + 160, 7), "trailer");
  const size_t data = f.find("stream\n", f.find("6 0 obj")) + 7;
  const size_t end = f.find("\nendstream\nendobj\n7 0 obj\n", data);
  EXPECT_EQ(std::stoul(f.substr(f.find("7 0 obj\n") + 8)), end - data);
}

TEST_F(Pdf, ReadersShowThePictureWritten) {
  struct Case {
    const char *name;
    uint32_t model;
    uint64_t compression;
    bool one_bit;
  } kCases[] = {{"rgb", IFF_CM_RGB, 0, false},
                {"rgb flate", IFF_CM_RGB, 15, false},
                {"grey", IFF_CM_GRAY, 0, false},
                {"grey flate", IFF_CM_GRAY, 15, false},
                {"grey 1 bit", IFF_CM_GRAY, 0, true},
                {"grey g4", IFF_CM_GRAY, 9, false},
                {"bilevel", IFF_CM_BILEVEL, 0, true},
                {"bilevel g4", IFF_CM_BILEVEL, 9, true},
                {"bilevel flate", IFF_CM_BILEVEL, 15, true}};
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    const Picture p = Make(37, 23, c.model);  // odd sizes catch padding faults
    const std::string path = dir_.file("p.pdf");
    ASSERT_EQ(Write(path, p, c.compression, 0, c.one_bit), 0u);
    const std::string file = ReadFile(path);
    CheckStructure(file);
    const bool bits = c.one_bit || c.compression == 9;
    EXPECT_NE(file.find(bits ? "/BitsPerComponent 1\n" : "/BitsPerComponent 8\n"),
              std::string::npos);
    // Ghostscript at the page's resolution: one device pixel per image pixel.
    Sh("gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=ppmraw -r72 -sOutputFile='" + dir_.file("gs.ppm") +
       "' '" + path + "'");
    EXPECT_TRUE(Rgb(dir_.file("gs.ppm")) == Expected(p, bits));
    // poppler's own decoding of the image stream.
    Sh("cd '" + dir_.path() +
       "' && rm -f im-* && pdfimages -png p.pdf im && qpdf --check p.pdf >/dev/null");
    EXPECT_TRUE(Rgb(dir_.file("im-000.png")) == Expected(p, bits));
  }
}

// At 300 dpi an A4 scan is an A4 page; the content line keeps its six
// characters per number. (Without a resolution, a point per pixel: the
// renders above are made at 72 dpi.)
TEST_F(Pdf, PageSizeFollowsTheResolution) {
  const Picture p{2480, 3508, IFF_CM_RGB, Bytes(3 * 2480 * 3508, 200)};
  ASSERT_EQ(Write(dir_.file("s.pdf"), p, 15, 300), 0u);
  const std::string f = ReadFile(dir_.file("s.pdf"));
  EXPECT_NE(f.find("/MediaBox [0 0 595 842]\n   /CropBox  [0 0 595 842]"), std::string::npos);
  EXPECT_NE(
      f.find("<< /Length 41\n>>\nstream\nq\n   595 0 0    842 0 0 cm\n/QPLpdf0 Do\nQ\nendstream"),
      std::string::npos);
  CheckStructure(f);
}

TEST_F(Pdf, RefusedHeadersAndFailingOutputs) {
  const Picture grey = Make(8, 2, IFF_CM_GRAY);
  struct Case {
    const char *name;
    Picture p;
    uint64_t compression;
    double dpi;
    ReturnTp code;
  } kCases[] = {{"page beyond 999999 points", Make(20000, 1, IFF_CM_GRAY), 0, 1, IFF_E_WT_HEADER},
                {"colour in Group 4", Make(8, 2, IFF_CM_RGB), 9, 0, IFF_E_WT_HEADER},
                {"unknown compression", grey, 3, 0, IFF_E_WT_HEADER},
                {"alpha", {8, 2, IFF_CM_RGBA, Bytes(64)}, 0, 0, IFF_E_WT_HEADER}};
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Write(dir_.file("bad.pdf"), c.p, c.compression, c.dpi) & ~CMN_REPORTED, c.code);
  }
  // Rows missing: no trailer, so no reader takes the file for complete.
  const Picture p = Make(37, 23, IFF_CM_GRAY);
  for (uint64_t compression : {0, 9, 15}) {
    EXPECT_EQ(Write(dir_.file("cut.pdf"), p, compression, 0, false, 10) & ~CMN_REPORTED,
              IFD_E_EXPORT_SEQUENCE);
    EXPECT_EQ(ReadFile(dir_.file("cut.pdf")).find("startxref"), std::string::npos);
  }
  // Unwritable outputs.
  EXPECT_EQ(Write(dir_.file("no/such/dir.pdf"), p, 0) & ~CMN_REPORTED, CMN_E_OPEN_NAMED);
  EXPECT_NE(Write("/dev/full", Make(400, 300, IFF_CM_RGB), 0), 0u);
  EXPECT_NE(Write("/dev/full", Make(400, 300, IFF_CM_BILEVEL), 9), 0u);
  // Reading a PDF is the filters' business.
  const std::string in = dir_.file("in.pdf");
  ASSERT_EQ(Write(in, p, 0), 0u);
  setenv("PVUSEGSPDF", "1", 1);
  IffControlBlockTp *cb = nullptr;
  IffFileSpecTp spec = {in.c_str(), nullptr, 0};
  EXPECT_EQ(IffInit(nullptr, &cb, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, nullptr) &
                ~CMN_REPORTED,
            IFF_E_UNKNOWN_TYPE);
  unsetenv("PVUSEGSPDF");
  IffTerm(&cb);
}

// A sheet of 20000 x 28000 (a frame and large text, made by netpbm), read
// through our PBM reader into a Group 4 PDF.
TEST_F(Pdf, LargeGroup4DrawingStaysSmall) {
  const std::string pbm = dir_.file("big.pbm"), pdf = dir_.file("big.pdf");
  Sh("cd '" + dir_.path() +
     "' && pbmtext -builtin fixed 'A DRAWING OF 20000 x 28000' | pnmenlarge 30 >t.pbm && "
     "pbmmake -white 19920 27920 | pnmpad -black -left 40 -right 40 -top 40 -bottom 40 | "
     "pnmpaste t.pbm 2000 2000 >big.pbm && pnmtotiff -g4 big.pbm >big.tif");
  IffControlBlockTp *in = nullptr, *out = nullptr;
  IffFileSpecTp from = {pbm.c_str(), nullptr, 0}, to = {pdf.c_str(), nullptr, 0};
  IffParamTp head = {};
  ASSERT_EQ(IffInit(nullptr, &in, IFF_SRV_IMPORT, &from, IFF_TYPE_ANY, IFF_MIN_VERIFY, nullptr),
            0u);
  ASSERT_EQ(IffRdHead(in, 0, nullptr, &head), 0u);
  ASSERT_EQ(IffInit(nullptr, &out, IFF_SRV_EXPORT, &to, IFF_TYPE_PDF_GS, IFF_MIN_VERIFY, nullptr),
            0u);
  out->x_resolution = out->y_resolution = 400;
  const uint64_t c[3] = {9, 0, 2};
  ASSERT_EQ(IffWtHead(out, 20000, 28000, 1, 1, 0, IFF_CM_BILEVEL, 0, 8, c, 0, 0, 0, nullptr), 0u);
  for (int32_t y = 0; y < 28000; ++y) {
    ASSERT_EQ(IffRdScan(in, 1, y), 0u);
    ASSERT_EQ(IffWtScan(out, y, in->line), 0u);
  }
  ASSERT_EQ(IffTerm(&out), 0u);
  IffTerm(&in);
  const size_t ours = ReadFile(pdf).size(), tiff = ReadFile(dir_.file("big.tif")).size();
  EXPECT_LT(ours, tiff + 4096) << ours << " vs " << tiff;
  // Rendered at a fiftieth: the frame's corner is black, the middle white.
  const std::string grey =
      Sh("gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pgmraw -r8 -sOutputFile=- '" + pdf +
         "' | convert-im6.q16 - -depth 8 gray:-");
  ASSERT_EQ(grey.size(), 400u * 560u);
  EXPECT_LT(static_cast<unsigned char>(grey[0]), 64);
  EXPECT_GT(static_cast<unsigned char>(grey[400 * 400 + 200]), 192);
}

// pvconvert: the page takes the input's resolution, -compression picks the
// filter, and a failed conversion leaves no file.
TEST(PdfConvert, CompressionWordsResolutionAndFailures) {
  TempDir dir;
  const std::string png = dir.file("in.png");
  Sh("convert-im6.q16 -size 248x351 xc:gray70 -units PixelsPerInch -density 30 '" + png + "'");
  struct Case {
    std::vector<std::string> args;
    int status;
    const char *expect;
  } kCases[] = {{{"-compression", "none", png, dir.file("a.pdf")}, 0, "/MediaBox [0 0 595 842]"},
                {{"-compression", "g4", png, dir.file("b.pdf")}, 0, "/Filter /CCITTFaxDecode"},
                {{"-compression", "flate", png, dir.file("c.pdf")}, 0, "/Filter /FlateDecode"},
                {{"-compression", "rle", png, dir.file("d.cgm")}, 0, "TF_00000"},
                {{"-compression", "baseline", "-quality", "15", png, dir.file("f.pdf")},
                 0,
                 "/Filter /DCTDecode"},
                {{"-compression", "lzw", png, dir.file("e.pdf")}, 1, nullptr},
                {{"-compression", "g4", png, dir.file("e.cgm")}, 1, nullptr},
                {{png, dir.file("no/e.pdf")}, 1, nullptr},
                {{"-type", "pdf", png, "/dev/full"}, 1, nullptr}};
  for (const Case &c : kCases) {
    std::vector<std::string> argv = {PV_PVCONVERT};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(RunProgram(argv).status, c.status) << c.args.back();
    if (c.expect) {
      EXPECT_NE(ReadFile(c.args.back()).find(c.expect), std::string::npos) << c.args.back();
    }
  }
  EXPECT_EQ(Sh("ls -A '" + dir.path() + "'"), "a.pdf\nb.pdf\nc.pdf\nd.cgm\nf.pdf\nin.png\n");
  // The DCT page opens in Ghostscript, in the input's grey (70% is 179).
  const std::string grey =
      Sh("gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pgmraw -r30 -sOutputFile=- '" +
         dir.file("f.pdf") + "' | convert-im6.q16 - -depth 8 gray:-");
  ASSERT_EQ(grey.size(), 248u * 351u);
  for (size_t i = 0; i < grey.size(); i += 997)
    EXPECT_NEAR(static_cast<unsigned char>(grey[i]), 179, 3) << i;
}

}  // namespace
