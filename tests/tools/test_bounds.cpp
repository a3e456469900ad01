// Bad files cost bounded time and memory whatever their headers claim,
// valid pictures of the same sizes still open, and writers refuse sizes
// their fields cannot hold rather than write files no reader takes.
// Time and memory are the converter's own, as the kernel counted them when
// it was reaped.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "runprog.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define PV_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PV_SANITIZED 1
#endif
#endif

// The sanitizers' shadow memory, quarantine and checks cost a multiple.
#ifdef PV_SANITIZED
constexpr double kCost = 6;
constexpr long kMemoryKb = 400 * 1024;
#else
constexpr double kCost = 1;
constexpr long kMemoryKb = 100 * 1024;
#endif

// Values packed by a layout: b a byte, w and d 16 and 32 bits low byte
// first, W and D high byte first.
std::string Pack(const char *layout, std::initializer_list<uint32_t> values) {
  std::string s;
  const uint32_t *v = values.begin();
  for (const char *l = layout; *l; ++l, ++v) {
    const int bytes = *l == 'b' ? 1 : *l == 'w' || *l == 'W' ? 2 : 4;
    for (int i = 0; i < bytes; ++i) {
      const int shift = 8 * (*l == 'W' || *l == 'D' ? bytes - 1 - i : i);
      s.push_back(static_cast<char>(*v >> shift));
    }
  }
  return s;
}

// ---- Files whose headers claim far more than they hold ----------------------

// 798 bytes: 32-bit pixels, 402653186 of them in a row.
std::string SunRaster() {
  return Pack("DDDDDDDD", {0x59A66A95u, 0x18000002u, 1, 32, 0, 1, 0, 0}) + std::string(766, 1);
}

// 3.5 KB: an 8-bit Z-format dump 2147483647 pixels wide.
std::string XwdDump() {
  std::string f = Pack("DDDDDDDDDDDDDDDDDDD",
                       {104, 7, 2, 8, 2147483647u, 1, 0, 1, 8, 1, 8, 8, 0, 0, 0, 0, 0, 8, 256});
  f.resize(100, '\0');
  return f + std::string("xwd\0", 4) + std::string(3396, '"');
}

// cjpeg's file of a small picture, its frame made 65535 x 65535: the scan
// ends with the small picture's data.
std::string HugeFrameJpeg() {
  std::string f = ShellOutput("pgmnoise -randomseed=1 16 16 | cjpeg -grayscale");
  const size_t sof = f.find("\xFF\xC0");
  if (sof != std::string::npos) f.replace(sof + 5, 4, "\xFF\xFF\xFF\xFF");
  return f;
}

// 136 bytes: 65535 x 65535 pixels of 8 bits, rows of 2 bytes.
std::string WidePcx() {
  std::string f = Pack("bbbbwwww", {10, 5, 1, 8, 0, 0, 65534, 65534});
  f.resize(65, '\0');
  return f + Pack("bw", {1, 2}) + std::string(60 + 8, '\0');
}

// 525 KB: 65535 x 65535 run-length coded, every row empty in its tables.
std::string EmptySgiRows() {
  std::string f = Pack("WbbWWWWDD", {474, 1, 1, 2, 65535, 65535, 1, 0, 255});
  f.resize(512 + 8 * 65535, '\0');
  return f;
}

// 216 bytes: a TIFF strip of one row of 60000000 RGBA pixels.
std::string WideTiff() {
  static const uint32_t kEntries[10][4] = {
      {256, 4, 1, 60000000}, {257, 4, 1, 1}, {258, 3, 4, 134}, {259, 3, 1, 1},  {262, 3, 1, 2},
      {273, 4, 1, 200},      {277, 3, 1, 4}, {278, 4, 1, 1},   {279, 4, 1, 16}, {284, 3, 1, 1}};
  std::string f = "II*" + Pack("bdw", {0, 8, 10});
  for (const auto &e : kEntries) f += Pack("wwdd", {e[0], e[1], e[2], e[3]});
  f += Pack("dwwww", {0, 8, 8, 8, 8});
  f.resize(216, '\0');
  return f;
}

// 90 bytes: 2^21 x 1 RGB, bottom-up, most of the row missing.
std::string WideBmp() {
  return "BM" +
         Pack("ddddddwwdddddd", {90, 0, 54, 40, 1u << 21, 1, 1, 24, 0, 0, 2835, 2835, 0, 0}) +
         std::string(36, '@');
}

std::string PngChunk(const char *type, const std::string &data) {
  const std::string body = type + data;
  const uLong crc = crc32(0, reinterpret_cast<const Bytef *>(body.data()), uInt(body.size()));
  return Pack("D", {uint32_t(data.size())}) + body + Pack("D", {uint32_t(crc)});
}

// 195 KB: a white 40000 x 40000 bilevel page, interlaced. Every row of the
// seven passes is there: only its whole-image buffer, a byte a pixel, is
// out of proportion to the file.
std::string InterlacedBilevelPng() {
  const uint32_t side = 40000;
  const std::string ihdr = Pack("DDbbbbb", {side, side, 1, 0, 0, 0, 1});
  static const int kPass[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                  {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
  z_stream z = {};
  deflateInit(&z, Z_BEST_COMPRESSION);
  std::string idat, rows;
  std::vector<unsigned char> out(1 << 16);
  auto pump = [&](int flush) {
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      deflate(&z, flush);
      idat.append(reinterpret_cast<char *>(out.data()), out.size() - z.avail_out);
    } while (z.avail_out == 0);
  };
  for (const auto &p : kPass) {
    const uint32_t w = (side - p[0] + p[2] - 1) / p[2], h = (side - p[1] + p[3] - 1) / p[3];
    rows.assign(1 + (w + 7) / 8, '\0');  // filter byte, then white
    for (uint32_t y = 0; y < h; ++y) {
      z.next_in = reinterpret_cast<Bytef *>(&rows[0]);
      z.avail_in = static_cast<uInt>(rows.size());
      pump(Z_NO_FLUSH);
    }
  }
  pump(Z_FINISH);
  deflateEnd(&z);
  return "\x89PNG\r\n\x1A\n" + PngChunk("IHDR", ihdr) + PngChunk("IDAT", idat) +
         PngChunk("IEND", "");
}

// 968 KB: 65535 x 40000 interlaced, coded as tightly as LZW allows: once
// the table is full, every 12-bit code stands for 4091 pixels.
std::string InterlacedGif() {
  const uint32_t w = 65535, h = 40000;
  const uint64_t pixels = uint64_t{w} * h;
  std::string data;
  uint32_t acc = 0;
  int bits = 0, width = 3, next = 6, limit = 8;
  auto put = [&](uint32_t code) {
    acc |= code << bits;
    for (bits += width; bits >= 8; bits -= 8, acc >>= 8) data.push_back(static_cast<char>(acc));
    // The width follows the decoder's table, as in every GIF.
    if (next < 4096) ++next;
    if (next > limit && width < 12) ++width, limit <<= 1;
  };
  put(4);  // clear: the table starts afresh
  next = 6, width = 3, limit = 8;
  uint64_t done = 0;
  // Pixel 0, then codes 6, 7, ... each one pixel longer than the last; the
  // last code is the one that ends on the last pixel.
  for (uint32_t code = 0, length = 1; done < pixels; length += length < 4091) {
    const uint64_t left = pixels - done;
    if (left < length) {
      length = static_cast<uint32_t>(left);
      code = left == 1 ? 0 : length + 4;
    }
    put(code);
    done += length;
    code = code == 0 ? 6 : std::min(code + 1, 4095u);
  }
  put(5);  // end
  if (bits) data.push_back(static_cast<char>(acc));
  // Four colours, the image at the origin, interlaced, codes from 3 bits.
  std::string f = "GIF89a" + Pack("wwbbb", {w, h, 0x81, 0, 0}) +
                  Pack("bbbbbbbbbbbb", {0, 0, 0, 255, 255, 255, 128, 128, 128, 64, 64, 64}) + "," +
                  Pack("wwwwbb", {0, 0, w, h, 0x40, 2});
  for (size_t at = 0; at < data.size(); at += 255) {
    const size_t n = std::min<size_t>(255, data.size() - at);
    f += static_cast<char>(n);
    f += data.substr(at, n);
  }
  return f + std::string("\x00;", 2);
}

// A 2000 x 1500 drawing.
std::string Drawing() {
  std::string f = "P5\n2000 1500\n255\n";
  for (int y = 0; y < 1500; ++y)
    for (int x = 0; x < 2000; ++x)
      f += static_cast<char>((x / 50 + y / 40) % 2 ? 255 : (x + y) % 200);
  return f;
}

// The files the label and stamp cases name besides the picture.
void RepeatedLabels(const TempDir &dir) {
  std::string spec = "CONFIDENTIAL DRAWING\n";
  for (int i = 0; i < 20000; ++i) spec += "*repeat\n";
  WriteFile(dir.file("labels"), spec);
}
void LongStampText(const TempDir &dir) {
  WriteFile(dir.file("options"), "-stamptext " + std::string(140000, 'A') + "\n");
}

struct Bound {
  const char *name;
  std::string (*make)();  // the input file
  bool info;              // -info, else a conversion to PGM
  int status;
  const char *message;       // in what the converter prints
  double cpu;                // seconds of its user and system time, at most
  const char *options = "";  // words; "DIR/" stands for the test's folder
  void (*files)(const TempDir &) = nullptr;
};

TEST(Bounds, HeadersClaimingFarMoreThanTheFileHoldsCostLittle) {
  const double refused = 0.5 * kCost, bounded = 3 * kCost;
  const Bound cases[] = {
      {"Sun raster 402653186 wide", SunRaster, true, 1, "Strange width of the image", refused},
      {"XWD 2147483647 wide", XwdDump, true, 1, "Strange width of the image", refused},
      {"TIFF 60000000 wide", WideTiff, true, 1, "Strange width of the image", refused},
      {"JPEG 65535 x 65535 of 16 x 16 data", HugeFrameJpeg, false, 1, "Unexpected End-Of-File",
       bounded},
      {"PCX 65535 wide with rows of 2 bytes", WidePcx, false, 1, "Unexpected End-Of-File", bounded},
      {"BMP 2^21 x 1 bottom-up", WideBmp, false, 0, "", bounded},
      {"SGI 65535 x 65535 of empty rows", EmptySgiRows, false, 1, "Unexpected End-Of-File",
       bounded},
      {"PNG 40000 x 40000 bilevel interlaced", InterlacedBilevelPng, false, 1,
       "Interlaced PNG of 40000 x 40000 pixels is too large to hold", refused},
      {"GIF 65535 x 40000 interlaced", InterlacedGif, false, 1,
       "Interlaced GIF of 65535 x 40000 pixels is too large to hold", refused},
      {"20000 repeated labels", Drawing, false, 0, "only the first 64 labels are drawn", bounded,
       "-labelfile DIR/labels", RepeatedLabels},
      {"stamp text of 140000 bytes", Drawing, false, 1, "Invalid -stamptext parameter", refused,
       "@DIR/options", LongStampText},
  };
  for (const Bound &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string in = dir.file("in");
    WriteFile(in, c.make());
    if (c.files) c.files(dir);
    std::vector<std::string> argv{PVCONVERT_BIN};
    std::istringstream words(c.options);
    for (std::string o; words >> o;) {
      if (o.find("DIR/") != std::string::npos) o.replace(o.find("DIR/"), 4, dir.path() + "/");
      argv.push_back(o);
    }
    if (c.info) argv.push_back("-info");
    argv.push_back(in);
    if (!c.info) argv.push_back(dir.file("out.pgm"));
    RunOptions o;
    o.timeout_seconds = 30;
    const RunResult r = RunProgram(argv, o);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << r.out << r.err;
    EXPECT_LT(r.cpu_seconds, c.cpu);
    EXPECT_LT(r.peak_kb, kMemoryKb);
  }
}

// ---- Valid pictures of those sizes ----------------------------------------------

// Netpbm's noise, 40000 pixels in a row or a column, through each
// format's Debian writer: every bound above still lets it through, pixel
// for pixel.
TEST(Bounds, RealPicturesOfTheSameSizesStillOpen) {
  TempDir dir;
  const std::string wide = dir.file("wide.pgm"), tall = dir.file("tall.pgm");
  WriteFile(wide, ShellOutput("pgmnoise -randomseed=7 40000 1"));
  WriteFile(tall, ShellOutput("pgmnoise -randomseed=8 1 40000"));
  const std::string bilevel = "pgmtopbm -threshold";
  struct Case {
    const char *name;
    std::string writer;     // a pipe from the noise to the file
    std::string reference;  // a pipe from the noise to what must come back
  } const cases[] = {
      {"PNG interlaced", "pnmtopng -interlace", "cat"},
      {"PNG bilevel interlaced", bilevel + " | pnmtopng -interlace",
       bilevel + " | pamdepth 255 2>/dev/null"},
      {"BMP bottom-up", "ppmtobmp", "cat"},
      {"GIF interlaced", "pamtogif -interlace", "cat"},
      {"PCX", "ppmtopcx 2>/dev/null", "cat"},
      {"Sun raster", "pnmtorast", "cat"},
      {"XWD", "pnmtoxwd", "cat"},
      {"TIFF LZW", "pnmtotiff -lzw", "cat"},
  };
  for (const Case &c : cases)
    for (const std::string &in : {wide, tall}) {
      SCOPED_TRACE(std::string(c.name) + (in == wide ? " 40000 x 1" : " 1 x 40000"));
      const std::string file = dir.file("picture"), want = dir.file("want.pgm");
      WriteFile(file, ShellOutput(c.writer + " < " + in));
      WriteFile(want, ShellOutput(c.reference + " < " + in));
      const RunResult r = RunProgram({PVCONVERT_BIN, file, dir.file("back.pgm")});
      ASSERT_EQ(r.status, 0) << r.err;
      const RunResult same = RunProgram({"pnmpsnr", dir.file("back.pgm"), want});
      EXPECT_NE(same.err.find("no difference"), std::string::npos) << same.err;
    }
}

// ---- Writers at the edges of their fields ------------------------------------

// Grey noise of w x h has 256 levels: palette writers get a full map.
// One pixel more than a format's fields hold is refused with the sizes;
// the largest picture each takes is read back whole by the Debian reader.
// PCX's columns, rows and bytes per line are signed 16-bit integers; JPEG
// decoders stop at 65500.
TEST(Bounds, WritersRefuseWhatTheirFieldsCannotHold) {
  struct Case {
    const char *out;
    int w, h;
    const char *reader;  // empty: refused
  } const cases[] = {
      {"o.pcx", 32766, 1, "pcxtoppm"},
      {"o.pcx", 32767, 1, ""},
      {"o.pcx", 65535, 1, ""},
      {"o.pcx", 65536, 1, ""},
      {"o.pcx", 1, 32769, ""},
      {"o.gif", 65535, 1, "giftopnm"},
      {"o.gif", 65536, 1, ""},
      {"o.gif", 1, 65536, ""},
      {"o.tga", 65535, 1, "tgatoppm"},
      {"o.tga", 1, 65536, ""},
      {"o.sgi", 1, 65535, "sgitopnm 2>/dev/null"},
      {"o.sgi", 65536, 1, ""},
      {"o.jpg", 65500, 1, "djpeg"},
      {"o.jpg", 65501, 1, ""},
      {"o.cgm", 32769, 1, ""},
      {"o.qpl", 65536, 1, ""},
  };
  TempDir dir;
  for (const Case &c : cases) {
    const std::string size = std::to_string(c.w) + " x " + std::to_string(c.h);
    SCOPED_TRACE(std::string(c.out) + " " + size);
    const std::string in = dir.file("in.pgm"), out = dir.file(c.out);
    WriteFile(in, ShellOutput("pgmnoise -randomseed=3 " + std::to_string(c.w) + " " +
                              std::to_string(c.h)));
    remove(out.c_str());
    const RunResult r = RunProgram({PVCONVERT_BIN, in, out});
    if (!*c.reader) {
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.err.find("files cannot hold a picture of " + size + " pixels"), std::string::npos)
          << r.err;
      EXPECT_NE(access(out.c_str(), F_OK), 0) << "no file is left";
      continue;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    const RunResult back = RunProgram(
        {"sh", "-c", std::string(c.reader) + " < " + out + " | ppmtopgm | pnmpsnr - " + in});
    // JPEG is lossy: it is enough that it decodes to the size.
    const bool lossy = strstr(c.out, ".jpg") != nullptr;
    EXPECT_NE(back.err.find(lossy ? "lumina" : "no difference"), std::string::npos) << back.err;
  }
}

}  // namespace
