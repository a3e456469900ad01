// The PBM/PGM/PPM/PAM driver against netpbm, both ways.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "imagefile.h"
#include "runprog.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Status lines before an image come from filters, read as the filter's type.
uint32_t IdentifyAsPam(const unsigned char *, int32_t) { return IFF_TYPE_PAM; }

std::vector<std::string> g_raised;
void Record(ReturnTp code) { g_raised.push_back(CmnErrorText(code, nullptr, nullptr)); }
std::vector<std::string> g_info;
void RecordInfo(const char *, char **text) {
  g_info.push_back(*text);
  CmnStrFree(text);
}

struct Page {
  IffParamTp header;
  int32_t pixel_size;
  Bytes pixels;
};

class Pbm : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = IfiIdentifyFn;
    CmnSetErrorHandler(Record);
    CmnSetInfoHandler(RecordInfo);
    g_raised.clear();
    g_info.clear();
  }
  void TearDown() override {
    IffTerm(&cb_);
    IfiIdentifyFn = saved_;
    CmnSetErrorHandler(CmnDefaultErrorHandler);
    CmnSetInfoHandler(CmnDefaultInfoHandler);
  }

  std::string Make(const std::string &name, const std::string &data) {
    WriteFile(dir_.file(name), data);
    return dir_.file(name);
  }
  ReturnTp Open(const std::string &path) {
    IffTerm(&cb_);
    IffFileSpecTp spec = {path.c_str(), nullptr, 0};
    uint32_t type = 0;
    return IffInit(nullptr, &cb_, IFF_SRV_IMPORT, &spec, IFF_TYPE_ANY, IFF_MIN_VERIFY, &type);
  }
  // Every page of a file, and the code of the header read after the last.
  std::vector<Page> ReadAll(const std::string &path, ReturnTp *end = nullptr) {
    std::vector<Page> pages;
    EXPECT_EQ(Open(path), 0u);
    for (ReturnTp rc = 0; cb_ && pages.size() < 5;) {
      Page p = {};
      if ((rc = IffRdHead(cb_, 0, nullptr, &p.header)) != 0) {
        if (end) *end = rc;
        break;
      }
      p.pixel_size = cb_->pixel_size;
      for (int32_t y = 0; y < p.header.height; ++y) {
        EXPECT_EQ(IffRdScan(cb_, 1, y), 0u);
        p.pixels.insert(p.pixels.end(), cb_->line, cb_->line + p.pixel_size * p.header.width);
      }
      pages.push_back(p);
    }
    return pages;
  }
  Page ReadOne(const std::string &path) {
    std::vector<Page> pages = ReadAll(path);
    return pages.empty() ? Page{} : pages[0];
  }

  // The samples of a file as netpbm decodes them, spread to 8 bits.
  Bytes Netpbm(const std::string &path) {
    std::istringstream plain(ShellOutput("pamtopnm " + path + " | pnmtoplainpnm"));
    std::string magic;
    unsigned w, h, m = 1, v;
    char bit;
    plain >> magic >> w >> h;
    Bytes out;
    if (magic == "P1")
      while (plain >> bit) out.push_back(bit == '0' ? 255 : 0);
    else if (plain >> m)
      while (plain >> v) out.push_back(m > 255 ? (v * 65535 / m) >> 8 : v * 255 / m);
    return out;
  }

  TempDir dir_;
  IffControlBlockTp *cb_ = nullptr;
  IfiIdentifyFnTp saved_ = nullptr;
};

TEST_F(Pbm, EveryNetpbmVariantReadsAsNetpbmDecodesIt) {
  std::vector<std::string> makers = {
      "pbmmake -g 13 5 | pnmtoplainpnm", "pbmmake -g 13 5", "pbmtext -builtin fixed Hi",
      "printf 'P2 # c\\n# x\\n3 # w\\n1\\n# m\\n255\\n1 # a\\n 2 3\\n'"};
  for (const char *image : {"pgmramp -diag 17 6", "ppmpat -madras 23 7"})
    for (const char *form :
         {"pnmtoplainpnm", "cat", "pamtopam", "pamdepth 15", "pamdepth 100", "pamdepth 4095",
          "pamdepth 65535", "pamdepth 1023 | pnmtoplainpnm", "pamdepth 1000 | pamtopam"})
      makers.push_back(std::string(image) + " | " + form);
  for (const std::string &make : makers) {
    SCOPED_TRACE(make);
    std::string path = dir_.file("in");
    ShellOutput(make + " > " + path);
    Page page = ReadOne(path);
    EXPECT_EQ(page.pixel_size, make.find("ppmpat") == 0 ? 3 : 1);
    EXPECT_EQ(page.pixels, Netpbm(path));
  }
  EXPECT_TRUE(g_raised.empty());
}

TEST_F(Pbm, ConcatenatedImagesAreSuccessivePages) {
  std::string a = dir_.file("a"), b = dir_.file("b"), both = dir_.file("both");
  ShellOutput("ppmpat -madras 9 4 > " + a + "; pgmramp -lr 5 3 | pnmtoplainpnm > " + b +
              "; { cat " + a + " " + b + "; printf '\\n\\n'; } > " + both);
  ReturnTp end = 0;
  std::vector<Page> pages = ReadAll(both, &end);
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages[0].pixels, Netpbm(a));
  EXPECT_EQ(pages[1].pixels, Netpbm(b));
  EXPECT_EQ(end, IFF_I_NO_MORE_PAGES);
  EXPECT_TRUE(g_raised.empty()) << "the end of the stream is not an error";

  // A page left unread is passed over to reach the next.
  ASSERT_EQ(Open(both), 0u);
  IffParamTp h;
  ASSERT_EQ(IffRdHead(cb_, 0, nullptr, &h), 0u);
  ASSERT_EQ(IffRdScan(cb_, 1, 0), 0u);
  ASSERT_EQ(IffRdHead(cb_, 0, nullptr, &h), 0u);
  EXPECT_EQ(h.width, 5);
  EXPECT_EQ(h.color_model, static_cast<uint32_t>(IFF_CM_GRAY));
}

TEST_F(Pbm, AlphaBecomesPremultipliedDisplayPixel) {
  std::string hdr = "P7\nWIDTH 3\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  Page p = ReadOne(Make("a.pam", hdr + std::string("\12\24\36\200\1\2\3\377\11\11\11\0", 12)));
  EXPECT_EQ(p.pixels, (Bytes{15, 10, 5, 128, 3, 2, 1, 255, 0, 0, 0, 0}));
  EXPECT_EQ(p.header.color_model, static_cast<uint32_t>(IFF_CM_RGBA));

  // Grey with alpha, 16 bits per sample, made by netpbm.
  const std::string g = dir_.file("g.pgm"), a = dir_.file("a.pgm"), ga = dir_.file("ga.pam");
  ShellOutput("pgmramp -lr 6 2 > " + g + "; pgmramp -tb 6 2 > " + a +
              "; pamstack -tupletype GRAYSCALE_ALPHA " + g + " " + a + " | pamdepth 65535 > " + ga);
  Bytes grey = Netpbm(g), alpha = Netpbm(a), want;
  for (size_t i = 0; i < grey.size(); ++i) {
    const unsigned char v = static_cast<unsigned char>(grey[i] * alpha[i] / 255);
    want.insert(want.end(), {v, v, v, alpha[i]});
  }
  EXPECT_EQ(ReadOne(ga).pixels, want);
}

TEST_F(Pbm, CommentsCarrySizeTextsAndStatusLines) {
  Page p =
      ReadOne(Make("m.ppm", "P6\n#METRIC 25.4 x 50.8\n100 100\n255\n" + std::string(30000, '\1')));
  EXPECT_EQ(p.header.resolution_known, 1);
  EXPECT_DOUBLE_EQ(p.header.x_resolution, 100.0);
  EXPECT_DOUBLE_EQ(p.header.y_resolution, 50.0);

  IfiIdentifyFn = IdentifyAsPam;
  p = ReadOne(Make("t.pam",
                   "%%[ Page: 1 ]%%\nP7\n#TITLE Site plan\nWIDTH 2\n#METRIC 25.4 x 50.8\n"
                   "#DESCRIPTION first floor\nHEIGHT 4\nDEPTH 1\n#PAGELIST 1-3\nMAXVAL 255\n"
                   "TUPLTYPE GRAYSCALE\nENDHDR\n12345678"));
  EXPECT_EQ(p.pixels, (Bytes{'1', '2', '3', '4', '5', '6', '7', '8'}));
  EXPECT_STREQ(p.header.title, "Site plan");
  EXPECT_STREQ(p.header.description, "first floor");
  EXPECT_STREQ(p.header.pagelist, "1-3");
  EXPECT_DOUBLE_EQ(p.header.x_resolution, 2.0);
  EXPECT_DOUBLE_EQ(p.header.y_resolution, 2.0);
  for (char *t : {p.header.title, p.header.description, p.header.pagelist}) free(t);

  // A comment line before the magic; plain samples are the low 8 bits of
  // their numbers; a maximum of 0 scales nothing.
  IfiIdentifyFn = saved_;
  EXPECT_EQ(ReadOne(Make("c.pgm", "# made by hand\nP2 3 1 255 300 7 256\n")).pixels,
            (Bytes{44, 7, 0}));
  EXPECT_EQ(ReadOne(Make("z.pgm", "P5 2 1 0\n\x05\xff")).pixels, (Bytes{5, 255}));
}

TEST_F(Pbm, WrittenFilesReadBackWithNetpbmAndUs) {
  struct Case {
    uint32_t model;
    uint64_t bilevel;
    const char *magic;
  } cases[] = {{IFF_CM_GRAY, 0, "P5 11 3 255\n"},
               {IFF_CM_RGB, 0, "P6 11 3 255\n"},
               {IFF_CM_GRAY, 2, "P4 11 3\n"}};
  const std::string path = dir_.file("out");
  const IffFileSpecTp spec = {path.c_str(), nullptr, 0};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.magic);
    ASSERT_EQ(IffInit(nullptr, &cb_, IFF_SRV_EXPORT, &spec, IFF_TYPE_PBM, IFF_MIN_VERIFY, nullptr),
              0u);
    uint64_t compression[3] = {0, 0, c.bilevel};
    ASSERT_EQ(IffWtHead(cb_, 11, 3, 1, 1, 0, c.model, 0, 8, compression, 0, 0, 0, nullptr), 0u);
    Bytes all;
    for (int y = 0; y < 3; ++y) {
      Bytes line;
      for (int i = 0; i < (c.model == IFF_CM_RGB ? 33 : 11); ++i)
        line.push_back(c.bilevel ? (i % 3 ? 255 : 0) : (y * 50 + i * 7) & 255);
      const Bytes sent = line;
      ASSERT_EQ(IffWtScan(cb_, y, line.data()), 0u);
      EXPECT_EQ(line, sent) << "the caller's line is left alone";
      all.insert(all.end(), line.begin(), line.end());
    }
    ASSERT_EQ(IffTerm(&cb_), 0u);
    EXPECT_EQ(ReadFile(path).rfind(c.magic, 0), 0u);
    EXPECT_EQ(Netpbm(path), all);
    IffTerm(&cb_);
  }

  ASSERT_EQ(IffInit(nullptr, &cb_, IFF_SRV_EXPORT, &spec, IFF_TYPE_PBM, IFF_MIN_VERIFY, nullptr),
            0u);
  EXPECT_EQ(IffWtHead(cb_, 2, 2, 1, 1, 0, IFF_CM_RGBA, 0, 8, nullptr, 0, 0, 0, nullptr),
            0x00040019u | CMN_REPORTED);
  EXPECT_EQ(g_raised.back(), "Unsupported colormode for PBM");
}

TEST_F(Pbm, BadInputFailsWithItsMessage) {
  struct Case {
    std::string data;
    ReturnTp code;
    std::string message;
  } cases[] = {
      {"P5\nabc 4\n255\n", 0x06040003u, "Invalid Data in PNM format"},
      {"P6\n4", 0x06040003u, "Invalid Data in PNM format"},
      // Sizes of 0 are the interface's to refuse.
      {"P5\n0 4\n255\n", 0x0508000Au, "Bad file header params returned from driver"},
      {"P7\nWIDTH 2 HEIGHT 0 DEPTH 1 MAXVAL 9 ENDHDR\n", 0x0508000Au, "Bad file header params"},
      {"P7\nWIDTH 2 HEIGHT 2 DEPTH 1 MAXVAL 70000 ENDHDR\n", 0x06040003u,
       "Invalid Data in PAM format"},
      {"P5\n4 4\n70000\n", 0x06040003u, "Invalid Data in PNM format"},
      {"P5\n2000000000 2000000000\n255\n", 0x0508000Bu, "Strange width of the image"},
      {"P7\nWIDTH 2 HEIGHT 2 DEPTH 0 MAXVAL 9 ENDHDR\n", 0x06040003u, "Invalid Data in PAM format"},
      {"P7\nWIDTH 2 HEIGHT 2 DEPTH 1000 MAXVAL 9 ENDHDR\n", 0x06040001u, "Unsupported PAM format"},
      {"P7\nWIDTH 2 HEIGHT 1 DEPTH 1 MAXVAL 9\n", 0x00040019u, "Invalid line in PAM header: []"},
      {"P7\nWIDTH 2\nNAME a b\nENDHDR\n", 0x00040019u, "Invalid line in PAM header: [NAME a b]"},
      {"P7\nWIDTH x\nENDHDR\n", 0x00040019u, "Invalid line in PAM header: [x]"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.data);
    g_raised.clear();
    ASSERT_EQ(Open(Make("bad", c.data)), 0u);
    IffParamTp h;
    EXPECT_EQ(IffRdHead(cb_, 0, nullptr, &h) & ~CMN_REPORTED, c.code);
    ASSERT_EQ(g_raised.size(), 1u);
    EXPECT_EQ(g_raised[0].rfind(c.message, 0), 0u) << g_raised[0];
  }

  ReturnTp end = 0;
  EXPECT_EQ(ReadAll(Make("p9", "P5 1 1 255\n\1P9\n1 1\n"), &end).size(), 1u);
  EXPECT_EQ(end, 1u);
  EXPECT_EQ(g_info, std::vector<std::string>{
                        "PBM/PAM file error: Expected a digit in range 1-7 but found [9]"});

  // Truncated data reads as zeros, without error; lines out of order are refused.
  g_raised.clear();
  std::vector<Page> pages = ReadAll(Make("short", "P6\n2 2\n255\nabcde"));
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].pixels, (Bytes{'a', 'b', 'c', 'd', 'e', 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(Open(Make("seq", "P5\n2 2\n255\nabcd")), 0u);
  IffParamTp h;
  ASSERT_EQ(IffRdHead(cb_, 0, nullptr, &h), 0u);
  EXPECT_EQ(IffRdScan(cb_, 1, 1) & ~CMN_REPORTED, 0x06080005u);
}

}  // namespace
