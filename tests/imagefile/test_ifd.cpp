// File type identification: headers per type code, netpbm-made files, near
// misses that must fall through, and reads that never pass the given length.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "imagefile.h"
#include "runprog.h"

using namespace std::string_literals;

namespace {

// A buffer of exactly the data's size: the sanitiser catches over-reads.
uint32_t Identify(const std::string &data, bool checked = false) {
  std::unique_ptr<unsigned char[]> buf(new unsigned char[data.size()]);
  memcpy(buf.get(), data.data(), data.size());
  int32_t n = static_cast<int32_t>(data.size());
  return checked ? IfiIdentifyChecked(buf.get(), n) : IfiIdentify(buf.get(), n);
}

std::string Pad(std::string s, size_t size, char fill = ' ') {
  s.resize(size, fill);
  return s;
}

std::string Ebcdic(const std::string &s) {
  std::string out(s.size(), '\0');
  IfuAsciiToEbcdic(s.data(), static_cast<int32_t>(s.size()), &out[0]);
  return out;
}

std::string Be32(std::initializer_list<uint32_t> words) {
  std::string out;
  for (uint32_t w : words)
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(w >> shift);
  return out;
}

// A CALS header: each record in a 128-byte block, blank-padded to `blocks`
// blocks, then a few bytes of coded data when `data` is set.
std::string Cals(const std::vector<std::string> &records, size_t blocks, bool data = true) {
  std::string out;
  for (const auto &r : records) out += Pad(r, 128);
  out = Pad(out, blocks * 128);
  if (data) out += "\x26\xA0\x00\x10\x01\x00"s;
  return out;
}

const std::vector<std::string> kCalsRecords = {
    "srcdocid: NONE",         "dstdocid: NONE", "txtfilid: NONE", "figid: NONE",
    "srcgph: NONE",           "doccls: NONE",   "rtype: 1",       "rorient: 000,270",
    "rpelcnt: 001728,002200", "rdensty: 0200",  "notes: NONE"};

struct Case {
  const char *name;
  std::string bytes;
  uint32_t type;
};

void ExpectTypes(const std::vector<Case> &cases) {
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Identify(c.bytes), c.type);
  }
}

// Every prefix of every sample: the tests must stay inside what they get.
void IdentifyEveryPrefix(const std::string &bytes) {
  for (size_t n = 0; n <= bytes.size(); n++) Identify(bytes.substr(0, n));
}

const std::string kJfif = "\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"s;
const std::string kQuantTable = "\xFF\xDB\x00\x43"s + std::string(65, '\x10');

// Headers of each type, and near misses that must fall through.
std::vector<Case> SyntheticCases() {
  std::string lines;
  for (int i = 0; i < 100; i++) lines += "line " + std::to_string(i) + " of a plain text file\n";
  return {
      {"PPM", "P6\n1 1\n255\n\0\0\0"s, IFF_TYPE_PBM},
      {"plain PBM", "P1\n2 1\n0 1\n", IFF_TYPE_PBM},
      {"StarBase", Pad("Bitmapfile\0"s, 256, '\0'), IFF_TYPE_STARBASE},
      {"TIFF big-endian", "MM\0*\0\0\0\x08"s, IFF_TYPE_TIFF},
      {"SGI swapped", "\xDA\x01\x01\x00\x02\x00"s, IFF_TYPE_SGI},
      {"GIF89a", "GIF89a\x04\0\x04\0\x80\0\0"s, IFF_TYPE_GIF},
      {"QPL", "QPLMAGE\0\0\0\0\x01"s, IFF_TYPE_QPL},
      {"project", "<?xml version=\"1.0\"?>\n<VistradaProject name=\"a\">", IFF_TYPE_PVPRJ},
      {"JPEG 2000", "\0\0\0\x0C\x6A\x50\x20\x20\x0D\x0A\x87\x0A\0\0\0\x14"s, IFF_TYPE_J2K},
      {"JPEG 2000 codestream", "\xFF\x4F\xFF\x51\0\x29\0\0"s, IFF_TYPE_J2K},
      {"CALS", Cals(kCalsRecords, 16), IFF_TYPE_CALS},
      {"Targa true colour", "\0\0\x02\0\0\0\0\0\0\0\0\0\x04\0\x04\0\x18\0"s + std::string(48, 'x'),
       IFF_TYPE_TGA},
      {"SVG doctype", "<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\">\n", IFF_TYPE_SVG},
      {"EMF", "\x01\0\0\0\x6C\0\0\0"s + std::string(32, '\0') + " EMF\0\0\x01\0"s, IFF_TYPE_EMF},
      {"PDS binary", "\x01\x19\0\0\0\x10\0\0"s, IFF_TYPE_PDS},
      {"PDS text", "title\nPds Spec 2.1\n", IFF_TYPE_PDS},
      {"PDS origin", "# drawing\norigin-data 0 0\n", IFF_TYPE_PDS},
      {"APIC", "APICPICA\0\0\0\x01"s, IFF_TYPE_APIC},
      {"CGM binary", "\0\x22\x01\x41\0\0"s, IFF_TYPE_CGM},
      {"CGM binary character", "0 BEGMF", IFF_TYPE_CGM},
      {"CGM clear text", "BEGMF 'drawing';\nMFVERSION 1;\n", IFF_TYPE_CGM_TEXT},
      {"CGM clear text mixed case", "% cgm\nBegMf 'x';\n", IFF_TYPE_CGM_TEXT},
      {"CGM text at 3999", std::string(3999, 'x') + "BEGMF\n", IFF_TYPE_CGM_TEXT},
      {"WMF", "\x01\0\x09\0\0\x03\x20\0\0\0\x02\0\x10\0\0\0\0\0"s, IFF_TYPE_WMF},
      {"WMF placeable", "\xD7\xCD\xC6\x9A\0\0\0\0\0\0\x40\x01"s, IFF_TYPE_WMF},
      {"RTF", "{\\rtf1\\ansi hello}\n", IFF_TYPE_RTF},
      {"CMP layout", "clear 1\n", IFF_TYPE_CMP},
      {"EDIT layout only in lower case", "<!DOCTYPE SDI_LAYOUT>\n<sdi/>\n", IFF_TYPE_ASCII},
      {"EDIT layout lower case", "<!doctype sdi_layout>\n<sdi/>\n", IFF_TYPE_EDIT},
      {"gzip", "\x1F\x8B\x08\0\0\0\0\0"s, IFF_TYPE_GZIP},
      {"compress", "\x1F\x9D\x90\x41"s, IFF_TYPE_GZIP},
      {"zip", "PK\x03\x04\x14\0"s, IFF_TYPE_GZIP},
      {"XWD",
       Be32({104, 7,        2,      24,   4, 4,   0,   1, 32, 1, 32, 32, 16,
             4,   0xFF0000, 0xFF00, 0xFF, 8, 256, 256, 4, 4,  0, 0,  0,  0}) +
           "xwd\0"s,
       IFF_TYPE_XWD},
      {"CATIA ASCII", Pad("BEGIN IMAGE", 80) + Pad("IMAGE SIZE 4 4", 80), IFF_TYPE_CATIA3},
      {"CATIA EBCDIC", Ebcdic(Pad("BEGIN IMAGE", 80) + Pad("IMAGE SIZE 4 4", 80)), IFF_TYPE_CATIA3},
      {"CATIA PIXEL", Pad(Pad("", 96) + "PIXEL", 160), IFF_TYPE_CATIA},
      {"CATIA EBCDIC after prefix", Ebcdic(Pad(Pad("", 736) + "BUFFER", 800)), IFF_TYPE_CATIA},
      {"I-DEAS formatted", "     0   640   480     8     1\n   12 13\n", IFF_TYPE_CAEDS_FORMATTED},
      {"I-DEAS formatted without leading blanks", "0 640 480 8 1\n12 13\n",
       IFF_TYPE_CAEDS_FORMATTED},
      {"I-DEAS binary", "\0\0\0\x14"s + std::string(16, '\x01'), IFF_TYPE_CAEDS_BINARY},
      {"PostScript after ctrl-D", "\x04\r\n  %!PS\n", IFF_TYPE_PS},
      {"PostScript by its comment", "%%Title: x\n% PS-Adobe-2.0\n", IFF_TYPE_PS},
      {"our annotation", "%!PS-Adobe-3.0\n%%Creator: Plotvise Annotation 2\n", IFF_TYPE_PS},
      {"our plot", "%!PS-Adobe-3.0 EPSF-3.0\n%%Creator: Plotvise 4\n", IFF_TYPE_EPS},
      {"Kestrovan", "%!PS-Adobe-3.0\n%%Creator: Kestrovan\n", IFF_TYPE_EPS},
      {"Tektronix", "%!\n%%Creator: Tektronix, Incorporated\n", IFF_TYPE_EPS},
      {"JPEG cut in its first segment", kJfif.substr(0, 8), IFF_TYPE_JPEG},
      {"segments without a start of image", "junk" + kQuantTable + "x", IFF_TYPE_UNKNOWN},
      {"JPEG after junk", "jun\xFF\xD8"s + kQuantTable + "\xFF\xDA\0\x02"s, IFF_TYPE_JPEG},
      // Arithmetic coding: a conditioning table and a frame the decoder
      // refuses, with its reason, once the file is known for JPEG.
      {"arithmetic JPEG",
       "\xFF\xD8\xFF\xCC\0\x06\0\x10\x10\x05\xFF\xC9\0\x0B\x08\0\x01\0\x01\x01\x01\x11\0"
       "\xFF\xDA\0\x08"s,
       IFF_TYPE_JPEG},
      {"DICOM preamble", std::string(128, '\0') + "DICM\x02\0\0\0UL"s, IFF_TYPE_DICOM},
      // PNM after comments, blanks and a printer's status.
      {"comment, then a line starting with a blank", "# made by hand\n P6\n1 1\n255\nabc",
       IFF_TYPE_PBM},
      {"tab, comments with CR LF", "\t# one\r\n# two\nP4\n8 1\n\xAA"s, IFF_TYPE_PBM},
      {"printer status before the data", "%%[ status: busy ]%%\r\nP6\n1 1\n255\nabc", IFF_TYPE_PBM},
      {"printer status without data", "%%[ Error: undefined ]%%\n", IFF_TYPE_ASCII},
      {"P7 without its line feed", "P7 WIDTH", IFF_TYPE_ASCII},
      {"P8 is no PNM", "P8\n1 1\n", IFF_TYPE_ASCII},
      {"comment to the end", "# only a comment", IFF_TYPE_ASCII},
      // Near misses.
      {"GIF88a", "GIF88a\x04\0\x04\0\x80\0\0"s, IFF_TYPE_UNKNOWN},
      {"PCX of version 4", "\x0A\x04\x01\x08\0\0\0\0"s, IFF_TYPE_UNKNOWN},
      {"Bitmapfile without its zero", "Bitmapfile!", IFF_TYPE_ASCII},
      {"Targa with a bad map entry size", "\0\x01\x01\0\0\x02\0\x14\0\0\0\0\x04\0\x04\0\x08\0"s,
       IFF_TYPE_UNKNOWN},
      {"PDS mark after a zero byte", "some header text\0origin-begin"s, IFF_TYPE_ASCII},
      {"CGM text at 4000", std::string(4000, 'x') + "BEGMF\n", IFF_TYPE_ASCII},
      {"XWD with a bitmap unit of 12", Be32({104, 7, 2, 24, 4, 4,   0,   1, 12, 1, 32, 32, 16,
                                             4,   0, 0, 0,  8, 256, 256, 4, 4,  0, 0,  0,  0}),
       IFF_TYPE_UNKNOWN},
      {"I-DEAS numbers not starting at 0", "     1   640   480     8     1\n", IFF_TYPE_ASCII},
      {"I-DEAS with four numbers", "  0 640 480 8\n", IFF_TYPE_ASCII},
      {"JPEG start of scan first", "\xFF\xD8\xFF\xDA\0\x08\x01\x01\0\0\x3F\0"s, IFF_TYPE_UNKNOWN},
      {"JPEG unknown marker", "\xFF\xD8\xFF\x01\0\x08\x01\x01\0\0\x3F\0"s, IFF_TYPE_UNKNOWN},
      {"JPEG marker without its length", "\x01\x02\xFF\xD8\xFF\xE0\x00"s, IFF_TYPE_UNKNOWN},
      // Text, printer jobs and binary.
      {"100 lines of text", lines, IFF_TYPE_ASCII},
      {"93 percent printable", std::string(93, 'a') + std::string(7, '\x01'), IFF_TYPE_ASCII},
      {"92 percent printable", std::string(92, 'a') + std::string(8, '\x01'), IFF_TYPE_UNKNOWN},
      {"PCL job", "\x1B\x45\x1B&l0O\x1B(s0p12h10v0s0b3T Hello\r\n\x1B\x45"s, IFF_TYPE_UNKNOWN},
      {"PCL raster", "\x1B*t300R\x1B*r1A text text text text text"s, IFF_TYPE_UNKNOWN},
      {"PJL job", "\x1B%-12345X@PJL ENTER LANGUAGE=PCL\r\n"s, IFF_TYPE_UNKNOWN},
      {"HP-GL/2 entry", "\x1B%-1BIN;SP1;PU0,0;PD100,100;PU;\n"s, IFF_TYPE_ASCII},
      {"HP-GL/2 entry without sign", "\x1B%0bIN;SP1;PU0,0;PD100,100;PU;\n"s, IFF_TYPE_ASCII},
      {"DOS EPS header before text", "\xC5\xD0\xD3\xC6"s + std::string(200, 't'), IFF_TYPE_UNKNOWN},
      {"binary", std::string("\x80\x91\xA2\xB3\xC4\xD5\xE6\xF7", 8), IFF_TYPE_UNKNOWN},
  };
}

TEST(IfiIdentify, RecognisesEachTypeFromItsHeader) { ExpectTypes(SyntheticCases()); }

TEST(IfiIdentify, CalsNeedsItsRecordsInOrderAndABlockAfterThem) {
  std::vector<std::string> density = kCalsRecords;
  density[9] = "rdensity: 0200";
  std::vector<std::string> late(13, "notes: NONE");
  late.insert(late.end(), {"rorient: 000,270", "rpelcnt: 001728,002200", "rdensty: 0200"});
  std::vector<std::string> swapped = kCalsRecords;
  std::swap(swapped[7], swapped[8]);
  ExpectTypes({
      {"rdensity spelling", Cals(density, 16), IFF_TYPE_CALS},
      {"one whole block after the density record", Cals(kCalsRecords, 11, false), IFF_TYPE_CALS},
      {"density record is the last block", Cals(kCalsRecords, 10, false), IFF_TYPE_ASCII},
      {"block after density record cut short", Cals(kCalsRecords, 10, false) + Pad("", 127),
       IFF_TYPE_ASCII},
      {"density record in the 16th block", Cals(late, 17), IFF_TYPE_ASCII},
      {"pixel count before orientation", Cals(swapped, 16, false), IFF_TYPE_ASCII},
  });
}

uint32_t g_vetoed_type;
int VetoOne(uint32_t type) { return type != g_vetoed_type; }

// Empty input; PVUSEGSPDF, the layout switch and the host's veto hook.
TEST(IfiIdentify, LengthAndHostSettings) {
  unsigned char zero[4] = {};
  EXPECT_EQ(IfiIdentify(nullptr, 0), 0u);
  EXPECT_EQ(IfiIdentify(zero, -4), 0u);
  EXPECT_EQ(IfiIdentifyChecked(zero, -1), 0u);

  const char *had = getenv("PVUSEGSPDF");
  const std::string old = had ? had : "";
  unsetenv("PVUSEGSPDF");
  EXPECT_EQ(Identify("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n"), IFF_TYPE_PDF);
  setenv("PVUSEGSPDF", "", 1);
  EXPECT_EQ(Identify("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n"), IFF_TYPE_PDF_GS);
  had ? setenv("PVUSEGSPDF", old.c_str(), 1) : unsetenv("PVUSEGSPDF");

  const std::string canvas = "<?xml version=\"1.0\"?>\n<!-- Plotvise Collage Canvas -->\n";
  ASSERT_EQ(do_valid_lay, 0);
  EXPECT_EQ(Identify(canvas), IFF_TYPE_ASCII);
  do_valid_lay = 1;
  EXPECT_EQ(Identify(canvas), IFF_TYPE_LAYOUT);
  do_valid_lay = 0;

  const std::string png = "\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR"s, gif = "GIF89a\x01\0\x01\0\0\0\0"s;
  EXPECT_EQ(Identify(png, true), IFF_TYPE_PNG);  // no hook installed
  IfiValidateFormatImplementation = VetoOne;
  g_vetoed_type = IFF_TYPE_PNG;
  EXPECT_EQ(Identify(png, true), IFF_TYPE_UNKNOWN);
  EXPECT_EQ(Identify(gif, true), IFF_TYPE_GIF);
  EXPECT_EQ(Identify(png), IFF_TYPE_PNG);  // the plain sequence ignores the hook
  IfiValidateFormatImplementation = nullptr;
}

// Real files from the netpbm converters, made from a small PPM. They stand
// in for hand-made headers of these types, so every converter must run.
TEST(IfiIdentify, RecognisesFilesFromNetpbm) {
  const std::pair<const char *, uint32_t> converters[] = {
      {"pamtopam", IFF_TYPE_PAM}, {"pnmtoplainpnm", IFF_TYPE_PBM}, {"pnmtorast", IFF_TYPE_SUN},
      {"pnmtoxwd", IFF_TYPE_XWD}, {"pnmtosgi", IFF_TYPE_SGI},      {"pnmtotiff", IFF_TYPE_TIFF},
      {"ppmtogif", IFF_TYPE_GIF}, {"ppmtopcx", IFF_TYPE_PCX},      {"ppmtobmp", IFF_TYPE_BMP},
      {"pamtotga", IFF_TYPE_TGA}, {"pnmtopng", IFF_TYPE_PNG},      {"pnmtojpeg", IFF_TYPE_JPEG},
      {"pnmtops", IFF_TYPE_PS},   {"pamtosvg", IFF_TYPE_SVG}};
  RunOptions options;
  options.stdin_data = "P6\n8 8\n255\n";
  for (int i = 0; i < 64; i++)
    options.stdin_data += (i / 8 + i % 8) % 3 ? "\xFF\xFF\xFF"s : "\x20\x40\xC0"s;
  for (const auto &c : converters) {
    SCOPED_TRACE(c.first);
    RunResult r = RunProgram({c.first}, options);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Identify(r.out), c.second);
    IdentifyEveryPrefix(r.out.substr(0, 4096));
  }
}

TEST(IfiIdentify, ReadsNoFurtherThanTheLengthGiven) {
  for (const auto &c : SyntheticCases()) {
    SCOPED_TRACE(c.name);
    IdentifyEveryPrefix(c.bytes);
  }
  do_valid_lay = 1;
  IdentifyEveryPrefix("Plotvise Collage Canvas");
  do_valid_lay = 0;
  // Offsets and lengths taken from the bytes themselves.
  IdentifyEveryPrefix("\xFF\xD8\xFF\xE0\xFF\xFF"s);
  IdentifyEveryPrefix("\x1B%-"s);
  IdentifyEveryPrefix(std::string(8200, ' ') + "P6");
}

}  // namespace
