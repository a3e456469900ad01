// Truncated downloads and strips the file does not hold: a read that fails
// always raises a message, and a read that makes data up says so.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rasterio.h"
#include "runprog.h"

namespace {

bool Raised(const std::string &start) {
  for (const std::string &m : Recorder::raised())
    if (m.rfind(start, 0) == 0) return true;
  return false;
}

const char kIncomplete[] = "Unexpected End-Of-File: the picture is incomplete";

uint32_t Le(const std::string &f, size_t at, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v |= uint32_t(static_cast<unsigned char>(f.at(at + i))) << (8 * i);
  return v;
}

void PutLe(std::string *f, size_t at, uint32_t v, int n) {
  for (int i = 0; i < n; ++i) (*f)[at + i] = static_cast<char>(v >> (8 * i));
}

// A little-endian file as libtiff writes it (image data from byte 8, the
// directory behind them) turned round: the directory first, so that a cut
// loses pixel data and keeps the directory.
std::string DirectoryFirst(const std::string &f) {
  const uint32_t ifd = Le(f, 4, 4), n = Le(f, ifd, 2);
  std::string out = f.substr(0, 4) + std::string(4, '\0') + f.substr(ifd, 2 + 12 * n);
  out += std::string(4, '\0');
  PutLe(&out, 4, 8, 4);
  std::vector<std::pair<size_t, int>> offsets;  // where strip offsets stand, and their width
  for (uint32_t i = 0; i < n; ++i) {
    const size_t e = 8 + 2 + 12 * i;
    const uint32_t tag = Le(out, e, 2), type = Le(out, e + 2, 2), count = Le(out, e + 4, 4);
    const int unit = type == 3 ? 2 : type == 4 ? 4 : type == 5 ? 8 : 1;
    const bool strips = tag == 273 || tag == 324;
    if (uint64_t{static_cast<uint32_t>(unit)} * count <= 4) {
      if (strips) offsets.push_back({e + 8, unit});
      continue;
    }
    const uint32_t at = Le(out, e + 8, 4);
    PutLe(&out, e + 8, static_cast<uint32_t>(out.size()), 4);
    for (uint32_t k = 0; strips && k < count; ++k) offsets.push_back({out.size() + unit * k, unit});
    out += f.substr(at, uint64_t{static_cast<uint32_t>(unit)} * count);
    if (out.size() % 2) out += '\0';
  }
  const uint32_t shift = static_cast<uint32_t>(out.size()) - 8;
  for (const auto &o : offsets) PutLe(&out, o.first, Le(out, o.first, o.second) + shift, o.second);
  return out + f.substr(8, ifd - 8);
}

// Every cut of each file, read through the interface: a failure must have
// raised something, and a success must be the whole picture or have said
// that it is not.
TEST(Truncated, EveryCutOfATiffFileSaysWhy) {
  TempDir dir;
  Shell("cd " + dir.path() +
        " && pgmramp -lr 61 40 > r.pgm && pgmnoise 61 40 > n.pgm 2>/dev/null"
        " && rgb3toppm r.pgm n.pgm r.pgm > c.ppm && pnmtotiff -lzw c.ppm > lzw.tif 2>/dev/null"
        " && ppmtopgm c.ppm | pamthreshold -simple | pamtopnm > b.pbm"
        " && pnmtotiff -g4 -miniswhite b.pbm > g4.tif 2>/dev/null"
        " && tiffcp -c g3:2d -r 7 g4.tif g3.tif"
        " && convert c.ppm -compress none -depth 8 plain.tif"
        " && tiffcp -c jpeg -r 16 plain.tif jpeg.tif && tiffcp -8 -c zip -r 9 plain.tif big.tif");
  for (const char *name : {"lzw.tif", "g4.tif", "g3.tif", "plain.tif", "jpeg.tif", "big.tif"})
    for (bool turned : {false, true}) {
      if (turned && std::string(name) == "big.tif") continue;  // classic directories only
      SCOPED_TRACE(std::string(name) + (turned ? ", directory first" : ""));
      const std::string file =
          turned ? DirectoryFirst(ReadFile(dir.file(name))) : ReadFile(dir.file(name));
      WriteFile(dir.file("whole.tif"), file);
      const RgbImage whole = ReadRgb(dir.file("whole.tif"));
      ASSERT_TRUE(whole.rgb == ReadRgb(dir.file(name)).rgb);
      ASSERT_EQ(whole.rc, 0u);
      int silent_failures = 0, silent_losses = 0, first = -1;
      const size_t step = file.size() / 700 + 1;
      for (size_t length = 0; length < file.size(); length += step) {
        WriteFile(dir.file("cut.tif"), file.substr(0, length));
        Recorder recorder;
        const RgbImage cut = ReadRgb(dir.file("cut.tif"));
        const bool silent_failure = cut.rc != 0 && Recorder::raised().empty();
        const bool silent_loss = cut.rc == 0 && cut.rgb != whole.rgb && !Raised(kIncomplete);
        silent_failures += silent_failure;
        silent_losses += silent_loss;
        if ((silent_failure || silent_loss) && first < 0) first = static_cast<int>(length);
      }
      EXPECT_EQ(silent_failures, 0) << "first at " << first;
      EXPECT_EQ(silent_losses, 0) << "first at " << first;
    }
}

// A little-endian file of one 8 x 4 grey strip at offset `at` with byte
// count `count`; the data follow the directory.
std::string GreyStrip(uint32_t compression, uint32_t at, uint32_t count, const std::string &data) {
  const uint32_t entries[][4] = {{256, 3, 1, 8},           {257, 3, 1, 4}, {258, 3, 1, 8},
                                 {259, 3, 1, compression}, {262, 3, 1, 1}, {273, 4, 1, at},
                                 {277, 3, 1, 1},           {278, 3, 1, 4}, {279, 4, 1, count}};
  std::string f("II*\0\x08\0\0\0", 8);
  auto put = [&f](uint32_t v, int n) {
    for (int i = 0; i < n; ++i) f += static_cast<char>(v >> (8 * i));
  };
  put(9, 2);
  for (const auto &e : entries) {
    put(e[0], 2);
    put(e[1], 2);
    put(e[2], 4);
    put(e[3], 4);
  }
  put(0, 4);
  return f + data;
}

// Strips the file does not hold read as filler, never silently: the
// interface warns once and counts the input as incomplete. A strip whose
// byte count is wrong but whose data are all there is read as it is.
TEST(Truncated, StripsTheFileDoesNotHoldAreSaid) {
  TempDir dir;
  const uint32_t data_at = 8 + 2 + 9 * 12 + 4;
  const std::string grey(32, '\x40');
  const struct {
    const char *what;
    std::string file;
    bool complete;
  } cases[] = {
      {"offset beyond the end", GreyStrip(1, 100000, 32, ""), false},
      {"lzw offset beyond the end", GreyStrip(5, 100000, 32, ""), false},
      {"byte count 0", GreyStrip(1, data_at, 0, grey), false},
      {"byte count 2^32 - 1, data cut", GreyStrip(1, data_at, 0xFFFFFFFF, grey.substr(0, 9)),
       false},
      {"byte count 2^32 - 1, data all there", GreyStrip(1, data_at, 0xFFFFFFFF, grey), true},
      {"whole", GreyStrip(1, data_at, 32, grey), true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(dir.file("s.tif"), c.file);
    const int32_t before = IffIncompleteInputs();
    Recorder recorder;
    const RgbImage image = ReadRgb(dir.file("s.tif"));
    EXPECT_EQ(image.rc, 0u);
    EXPECT_EQ(Raised(kIncomplete), !c.complete);
    EXPECT_EQ(IffIncompleteInputs() - before, c.complete ? 0 : 1);
    if (c.complete) {
      EXPECT_EQ(image.rgb, Bytes(3 * 32, 0x40));
    }
  }
}

// Directories the file cannot give: each with its message.
TEST(Truncated, BrokenDirectoriesAreNamed) {
  TempDir dir;
  const std::string whole = GreyStrip(1, 8 + 2 + 9 * 12 + 4, 32, std::string(32, '\x40'));
  std::string zero_width = whole;
  zero_width[8 + 2 + 8] = 0;  // ImageWidth 0
  std::string no_entries = whole;
  no_entries[8] = no_entries[9] = 0;
  const struct {
    const char *what;
    std::string file, message;
  } cases[] = {
      {"cut before the directory", whole.substr(0, 8),
       "Tiff directory at byte 8: past the end of the file"},
      {"cut inside the directory", whole.substr(0, 50),
       "Tiff directory at byte 8: cut short by the end of the file"},
      {"directory beyond the end", std::string("II*\0\xFF\xFF\0\0", 8) + whole.substr(8),
       "Tiff directory at byte 65535: past the end of the file"},
      {"no entries", no_entries, "No more pages"},
      {"width 0", zero_width, "No more pages"},
  };
  for (const auto &c : cases) {
    WriteFile(dir.file("d.tif"), c.file);
    ExpectRefused(dir.file("d.tif"), c.message);
  }
}

}  // namespace
