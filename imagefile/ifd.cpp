// File type identification: a fixed sequence of signature and plausibility
// tests over the first bytes of the input; the first test that matches
// decides. The order matters: several formats have weak signatures (Targa,
// binary CGM, XWD, plain text) that would also accept files of formats
// tested before them.
//
// Every look at the input goes through Bytes, which answers "no match" for
// anything at or beyond n, so that a short or truncated buffer can never be
// read past its end.
#include "ifd.h"

#include <png.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "iff.h"
#include "ifu.h"

int32_t do_valid_lay = 0;

namespace {

using std::string_view;

struct Bytes {
  const unsigned char *b;
  int32_t n;

  // Byte i, or -1 when it is not in the buffer.
  int At(int64_t i) const { return i >= 0 && i < n ? b[i] : -1; }
  // True when the len bytes at off are all present and equal to s.
  bool Is(int64_t off, const void *s, int64_t len) const {
    return off >= 0 && len <= n - off && memcmp(b + off, s, static_cast<size_t>(len)) == 0;
  }
  bool Is(int64_t off, const char *s) const { return Is(off, s, static_cast<int64_t>(strlen(s))); }
  string_view View(int64_t off, int64_t len) const {
    if (off >= n) return {};
    if (len > n - off) len = n - off;
    return string_view(reinterpret_cast<const char *>(b + off), static_cast<size_t>(len));
  }
};

// Text searches run over a copy of the first bytes in which zero bytes are
// blanks, so that a string after binary junk is still found.
constexpr int32_t kTextMax = 8191;

struct TextCopy {
  char s[kTextMax + 1];
  int32_t len;

  explicit TextCopy(const Bytes &in) {
    len = in.n < kTextMax ? in.n : kTextMax;
    for (int32_t i = 0; i < len; i++) s[i] = in.b[i] ? static_cast<char>(in.b[i]) : ' ';
    s[len] = 0;
  }
  string_view View(int32_t limit = kTextMax) const {
    return string_view(s, static_cast<size_t>(len < limit ? len : limit));
  }
  bool Has(const char *what, int32_t limit = kTextMax) const {
    return View(limit).find(what) != string_view::npos;
  }
};

bool IsPnm(const Bytes &in) {
  int64_t p = 0;
  for (;;) {
    while (in.At(p) == ' ' || in.At(p) == '\t') p++;
    if (in.At(p) != '#') break;
    while (p < in.n && in.At(p) != '\n' && in.At(p) != '\r') p++;
    while (in.At(p) == '\n' || in.At(p) == '\r') p++;
  }
  // A PostScript printer's status message may come before the data of a
  // filter that rasterised through it.
  if (in.Is(p, "%%[")) {
    size_t at = in.View(p, in.n).find("P6");
    if (at == string_view::npos) return false;
    p += static_cast<int64_t>(at);
  }
  return in.At(p) == 'P' && in.At(p + 1) >= '1' && in.At(p + 1) <= '6';
}

uint32_t ByFirstByte(const Bytes &in) {
  switch (in.At(0)) {
    case 'B':
      if (in.Is(0, "Bitmapfile", 11)) return IFF_TYPE_STARBASE;
      if (in.Is(0, "BM")) return IFF_TYPE_BMP;
      break;
    case 'M':
      if (in.Is(0, "MM\0*", 4) || in.Is(0, "MM\0+", 4)) return IFF_TYPE_TIFF;  // + BigTIFF
      break;
    case 0x59:
      if (in.Is(0, "\x59\xA6\x6A\x95", 4)) return IFF_TYPE_SUN;
      break;
    case 0xDA:
      if (in.At(1) == 0x01) return IFF_TYPE_SGI;
      break;
    case 0x01:
      if (in.At(1) == 0xDA) return IFF_TYPE_SGI;
      break;
    case 'G':
      if (in.Is(0, "GIF87a") || in.Is(0, "GIF89a")) return IFF_TYPE_GIF;
      break;
    case 'I':
      if (in.Is(0, "II*\0", 4) || in.Is(0, "II+\0", 4)) return IFF_TYPE_TIFF;
      break;
    case 0xB1:  // DCX: pages of PCX
      if (in.Is(0, "\xB1\x68\xDE\x3A", 4)) return IFF_TYPE_PCX;
      break;
    case 0x0A: {
      int version = in.At(1);
      if (in.At(2) == 1 && (version == 0 || version == 2 || version == 3 || version == 5))
        return IFF_TYPE_PCX;
      break;
    }
    case '%':
      if (in.Is(0, "%PDF")) return getenv("PVUSEGSPDF") ? IFF_TYPE_PDF_GS : IFF_TYPE_PDF;
      break;
    case 'Q':
      if (in.Is(0, "QPLMAGE", 8)) return IFF_TYPE_QPL;
      break;
  }
  return IFF_TYPE_UNKNOWN;
}

// CALS Type 1: a header of 128-byte records. The orientation, pixel count
// and density records must come in this order within the first 16 blocks,
// and a further whole block must follow the density record.
bool IsCals(const Bytes &in) {
  int stage = 0;
  for (int64_t k = 0; k < 16 && (k + 1) * 128 <= in.n; k++) {
    if (stage == 3) return true;
    int64_t off = k * 128;
    if (stage == 0 && in.Is(off, "rorient:"))
      stage = 1;
    else if (stage == 1 && in.Is(off, "rpelcnt:"))
      stage = 2;
    else if (stage == 2 && (in.Is(off, "rdensty:") || in.Is(off, "rdensity:")))
      stage = 3;
  }
  return false;
}

bool IsTarga(const Bytes &in) {
  int cmap_type = in.At(1), image_type = in.At(2), depth = in.At(16), entry = in.At(7);
  if (cmap_type != 0 && cmap_type != 1) return false;
  switch (image_type) {
    case 1:
    case 2:
    case 3:
    case 9:
    case 10:
    case 11:
    case 32:
    case 33:
      break;
    default:
      return false;
  }
  if (depth != 8 && depth != 16 && depth != 24 && depth != 32) return false;
  return cmap_type == 0 || entry == 15 || entry == 16 || entry == 24 || entry == 32;
}

// Up to the first zero byte of the first 1023 bytes.
bool IsPds(const Bytes &in) {
  if (in.Is(0, "\x01\x19", 2)) return true;
  string_view head = in.View(0, 1023);
  head = head.substr(0, head.find('\0'));
  for (const char *mark : {"Pds Spec", "origin-begin", "origin-data"})
    if (head.find(mark) != string_view::npos) return true;
  return false;
}

bool IsCgmText(const Bytes &in) {
  static const char kBegin[] = "BEGMF";
  int64_t end = in.n - 5 < 4000 ? in.n - 5 : 4000;
  for (int64_t i = 0; i < end; i++) {
    int j = 0;
    while (j < 5 && (in.b[i + j] & ~0x20) == kBegin[j]) j++;
    if (j == 5) return true;
  }
  return false;
}

bool IsEdit(const Bytes &in) {
  if (in.n < 20 || !in.Is(0, "<!")) return false;
  return strncmp(reinterpret_cast<const char *>(in.b) + 2, "doctype sdi_", 12) == 0;
}

// The header is 25 words and the window name; the length the header
// gives is what counts (ImageMagick writes 101 bytes: an empty name).
bool IsXwd(const Bytes &in) {
  if (in.n < 100) return false;
  auto word = [&](int i) { return IfuGetBe32(in.b + 4 * i); };
  auto unit = [](uint32_t v) { return v == 8 || v == 16 || v == 32; };
  return word(0) >= 100 && word(2) <= 2 && word(13) <= 5 && word(3) <= 64 && word(7) <= 1 &&
         unit(word(8)) && word(9) <= 1 && unit(word(10));
}

// The len bytes at off, in ASCII or EBCDIC, spell text.
bool IsText(const Bytes &in, int64_t off, const char *text) {
  int64_t len = static_cast<int64_t>(strlen(text));
  if (in.Is(off, text, len)) return true;
  if (off < 0 || len > in.n - off) return false;
  char ascii[16];
  IfuEbcdicToAscii(in.b + off, static_cast<int32_t>(len), ascii);
  return memcmp(ascii, text, static_cast<size_t>(len)) == 0;
}

bool IsCatia(const Bytes &in) {
  for (int64_t off : {96, 640 + 96})
    if (IsText(in, off, "PIXEL") || IsText(in, off, "BUFFER")) return true;
  return false;
}

// Five numbers read the way " %lu %lu %lu %lu %lu" reads them (blanks,
// an optional sign, decimal digits), the first of them 0.
bool IsCaedsFormatted(const Bytes &in) {
  string_view s = in.View(0, 255);
  s = s.substr(0, s.find('\0'));
  size_t p = 0;
  for (int k = 0; k < 5; k++) {
    while (p < s.size() && strchr(" \t\n\v\f\r", s[p]) && s[p]) p++;
    if (p < s.size() && (s[p] == '+' || s[p] == '-')) p++;
    size_t digits = p;
    bool zero = true;
    for (; p < s.size() && s[p] >= '0' && s[p] <= '9'; p++)
      if (s[p] != '0') zero = false;
    if (p == digits) return false;
    if (k == 0 && !zero) return false;
  }
  return true;
}

// 0 when the text is not PostScript.
uint32_t PostScript(const TextCopy &text) {
  string_view s = text.View(1023);
  size_t p = 0;
  while (p < s.size() && p < 1000 && strchr("\x04\t\n\f\r ", s[p]) && s[p]) p++;
  if (s.substr(p, 2) != "%!" && s.find("PS-Adobe") == string_view::npos) return IFF_TYPE_UNKNOWN;
  auto has = [&](const char *what) { return s.find(what) != string_view::npos; };
  // Our own annotation output is ordinary PostScript; other known
  // producers write encapsulated pages.
  if (has("Creator: Plotvise Annotation")) return IFF_TYPE_PS;
  if (has("Kestrovan") || has("Creator: Plotvise") || has("Tektronix, Incorporated"))
    return IFF_TYPE_EPS;
  return IFF_TYPE_PS;
}

bool IsJpeg(const Bytes &in) {
  int64_t i = 0;
  while (i < in.n - 2 && !(in.b[i] == 0xFF && in.b[i + 1] == 0xD8)) i++;
  if (i >= in.n - 2) return false;
  int segments = 0;
  for (int64_t j = i + 2; in.At(j) == 0xFF;) {
    int marker = in.At(j + 1);
    if (marker == 0xDA) return segments > 0;
    // Frames of every coding count, those the decoder refuses too (the
    // arithmetic ones, with their conditioning table DAC): such a file is
    // a JPEG file, and the decoder says why it cannot read it.
    bool segment = (marker >= 0xC0 && marker <= 0xCF) || (marker >= 0xDB && marker <= 0xDD) ||
                   (marker >= 0xE0 && marker <= 0xFE);
    // A length cut off by the end of the buffer proves nothing.
    if (!segment || in.At(j + 3) < 0) return false;
    j += 2 + (in.At(j + 2) << 8 | in.At(j + 3));
    segments++;
    // The header runs on past what was read: a JPEG file so far.
    if (j > in.n - 2) return true;
  }
  return false;
}

// Printer jobs in PCL: reset, a universal exit or a PCL command. An HP-GL/2
// entry (ESC % [-] <any byte> B) is not one of them.
bool IsPcl(const Bytes &in) {
  if (in.At(0) != 0x1B) return false;
  int64_t k = in.At(1) == 'E' && in.At(2) == 0x1B ? 3 : 1;
  if (in.Is(k, "%-12345X")) return true;
  int c = in.At(k);
  if (c == '&' || c == '(' || c == '*') return true;
  if (c != '%') return false;
  auto is_b = [](int v) { return v == 'B' || v == 'b'; };
  bool hpgl = (in.At(k + 1) >= 0 && is_b(in.At(k + 2))) ||
              (in.At(k + 1) == '-' && in.At(k + 2) >= 0 && is_b(in.At(k + 3)));
  return !hpgl;
}

bool IsAscii(const Bytes &in) {
  // A DOS EPS file's binary header in front of PostScript text.
  if (in.Is(0, "\xC5\xD0\xD3\xC6", 4)) return false;
  int64_t printable = 0;
  for (int32_t i = 0; i < in.n; i++) {
    unsigned char c = in.b[i];
    if ((c >= 0x20 && c <= 0x7E) || c == '\t' || c == '\n' || c == '\r' || c == '\b') printable++;
  }
  return printable * 100 > int64_t{92} * in.n;
}

}  // namespace

uint32_t IfiIdentify(const unsigned char *buffer, int32_t n) {
  if (!buffer || n <= 0) return IFF_TYPE_UNKNOWN;
  const Bytes in{buffer, n};

  if (in.Is(0, "P7\n")) return IFF_TYPE_PAM;
  if (IsPnm(in)) return IFF_TYPE_PBM;
  if (uint32_t type = ByFirstByte(in)) return type;

  const TextCopy text(in);
  if (n > 15 && text.Has("<VistradaProject")) return IFF_TYPE_PVPRJ;
  if (in.Is(0, "\x00\x00\x00\x0C\x6A\x50\x20\x20\x0D\x0A\x87\x0A", 12)) return IFF_TYPE_J2K;
  if (IsCals(in)) return IFF_TYPE_CALS;
  if (n >= 8 && png_sig_cmp(buffer, 0, 8) == 0) return IFF_TYPE_PNG;
  if (IsTarga(in)) return IFF_TYPE_TGA;
  if (do_valid_lay && text.Has("Plotvise Collage Canvas")) return IFF_TYPE_LAYOUT;
  if (text.Has("DOCTYPE svg ") || text.Has("<svg")) return IFF_TYPE_SVG;
  if (in.Is(40, " EMF")) return IFF_TYPE_EMF;
  if (IsPds(in)) return IFF_TYPE_PDS;
  if (in.Is(0, "APICPICA")) return IFF_TYPE_APIC;
  // "0 " also begins an I-DEAS formatted picture written without leading
  // blanks: five numbers, the first 0, are that file, found further down.
  if (n >= 2 &&
      ((buffer[0] == 0 && (buffer[1] & 0xE0) == 0x20) || (in.Is(0, "0 ") && !IsCaedsFormatted(in))))
    return IFF_TYPE_CGM;
  if (n > 9) {
    if (IsCgmText(in)) return IFF_TYPE_CGM_TEXT;
    if (in.Is(0, "\x01\x00\x09\x00", 4) || in.Is(0, "\xD7\xCD\xC6\x9A", 4)) return IFF_TYPE_WMF;
    if (in.Is(0, "{\\rtf")) return IFF_TYPE_RTF;
  }
  if (n >= 5 && in.Is(0, "clea")) return IFF_TYPE_CMP;
  if (IsEdit(in)) return IFF_TYPE_EDIT;
  if (in.Is(0, "\x1F\x8B", 2) || in.Is(0, "\x1F\x9D", 2) || in.Is(0, "PK")) return IFF_TYPE_GZIP;
  if (IsXwd(in)) return IFF_TYPE_XWD;
  if (IsText(in, 0, "BEGIN IMAGE")) return IFF_TYPE_CATIA3;
  if (IsCatia(in)) return IFF_TYPE_CATIA;
  if (IsCaedsFormatted(in)) return IFF_TYPE_CAEDS_FORMATTED;
  if (n >= 4 && IfuGetBe32(buffer) == 20) return IFF_TYPE_CAEDS_BINARY;
  if (uint32_t type = PostScript(text)) return type;
  if (IsJpeg(in)) return IFF_TYPE_JPEG;
  // A bare JPEG 2000 codestream (.j2k): start of codestream, then SIZ.
  if (in.Is(0, "\xFF\x4F\xFF\x51", 4)) return IFF_TYPE_J2K;

  if (in.Is(0, "\0\0\0\0", 4)) return IFF_TYPE_DICOM;
  if (IsPcl(in)) return IFF_TYPE_UNKNOWN;
  if (IsAscii(in)) return IFF_TYPE_ASCII;
  return IFF_TYPE_UNKNOWN;
}

uint32_t IfiIdentifyChecked(const unsigned char *buffer, int32_t n) {
  uint32_t type = IfiIdentify(buffer, n);
  if (IfiValidateFormatImplementation && IfiValidateFormatImplementation(type) == 0)
    return IFF_TYPE_UNKNOWN;
  return type;
}
