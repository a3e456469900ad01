// The list of formats: every type code the system knows, with the driver
// that serves it. Adding a driver is one descriptor in its own file and
// one line here (replacing its placeholder below).
#include "drivers.h"

namespace {

// Known types without a driver of their own: they keep their names, the
// client decides what a file of such a type means, and asking for one by
// type says "The requested driver is not linked in".
#define IFD_PLACEHOLDER(name, multipage, ...) \
  const IffFormatTp name = {#name, {__VA_ARGS__}, multipage, 0, {}, {}, 0};

// Types that no driver reads: the client decides (PostScript and text go
// to the filters).
IFD_PLACEHOLDER(NoType, 0, {IFF_TYPE_UNKNOWN, "UNKNOWN FILE TYPE."},
                {IFF_TYPE_ANY, "UNKNOWN FILE TYPE."})
IFD_PLACEHOLDER(PostScript, 0, {IFF_TYPE_PS, "PostScript."}, {IFF_TYPE_EPS, "PostScript."})
IFD_PLACEHOLDER(Ascii, 0, {IFF_TYPE_ASCII, "ASCII."})

#undef IFD_PLACEHOLDER

// Types that are refused outright ("Arg. not supported"); codes that no
// row names (40, and 49 on) are refused too.
const IffFormatTp Refused = {"Refused",
                             {{IFF_TYPE_GZIP, nullptr},
                              {IFF_TYPE_RTF, nullptr},
                              {IFF_TYPE_HPGL, "HPGL."},
                              {48, "UNKNOWN FILE TYPE."}},
                             0,
                             1,
                             {},
                             {},
                             0};

}  // namespace

const IffFormatTp *const IfdFormats[] = {
    &IfdQplFormat,
    &IfdBmpFormat,
    &IfdPcxFormat,
    &IfdGifFormat,
    &IfdSunRasterFormat,
    &IfdTgaFormat,
    &IfdTiffFormat,
    &IfdPbmFormat,
    &IfdSgiFormat,
    &IfdXwdFormat,
    &IfdStarBaseFormat,
    &IfdCatiaFormat,
    &IfdCatia4Format,
    &IfdCaedsFormattedFormat,
    &IfdCaedsBinaryFormat,
    &IfdCodecFormat,
    &IfdCgmFormat,
    &IfdPdfFormat,
    &IfdPngFormat,
    &IfdCalsFormat,
    &IfdJ2kFormat,
    &IfdLayFormat,
    &NoType,
    &PostScript,
    &Ascii,
    &Refused,
    nullptr,
};

bool IfdGreyPair(const unsigned char *entries, IffParamTp *p) {
  for (int i = 0; i < 2; ++i) {
    const unsigned char *e = entries + 3 * i;
    if (e[0] != e[1] || e[0] != e[2]) return false;
  }
  const int a = entries[0], b = entries[3];
  p->color_model = IFF_CM_GRAY;
  p->has_cmap = 0;
  p->cmap_entries = 0;
  p->bits_per_sample = 8;
  p->bytes_per_pixel = 1;
  if ((a == 0 && b == 255) || (a == 255 && b == 0)) p->secondary_model = IFF_CM_BILEVEL;
  return true;
}
