// The list of formats: every type code the system knows, with the driver
// that serves it. Adding a driver is one descriptor in its own file and
// one line here (replacing its placeholder below).
#include "drivers.h"

namespace {

// Known types whose driver is not written yet: they keep their names, the
// client decides what a file of such a type means, and asking for one by
// type says "The requested driver is not linked in".
#define IFD_PLACEHOLDER(name, multipage, ...) \
  const IffFormatTp name = {#name, {__VA_ARGS__}, multipage, 0, {}, {}, 0};

IFD_PLACEHOLDER(Bmp, 0, {IFF_TYPE_BMP, "Microsoft Bitmap (BMP)."})
IFD_PLACEHOLDER(Pcx, 0, {IFF_TYPE_PCX, "PCX."})
IFD_PLACEHOLDER(SunRaster, 0, {IFF_TYPE_SUN, "Sun Raster "})
IFD_PLACEHOLDER(Tga, 0, {IFF_TYPE_TGA, "Targa."})
IFD_PLACEHOLDER(Tiff, 1, {IFF_TYPE_TIFF, "TIFF."})
IFD_PLACEHOLDER(Sgi, 0, {IFF_TYPE_SGI, "SGI Raster."})
IFD_PLACEHOLDER(Xwd, 0, {IFF_TYPE_XWD, "XWD."})
IFD_PLACEHOLDER(StarBase, 0, {IFF_TYPE_STARBASE, "StarBase."})
IFD_PLACEHOLDER(Catia, 0, {IFF_TYPE_CATIA3, "Catia (level <4)."})
IFD_PLACEHOLDER(Catia4, 0, {IFF_TYPE_CATIA, "Catia."})
IFD_PLACEHOLDER(CaedsFormatted, 0, {IFF_TYPE_CAEDS_FORMATTED, "I-DEAS Picture\nFormatted."})
IFD_PLACEHOLDER(CaedsBinary, 0, {IFF_TYPE_CAEDS_BINARY, "I-DEAS Picture\nBinary."})
IFD_PLACEHOLDER(Jpeg, 0, {IFF_TYPE_JPEG, "JPEG."})
IFD_PLACEHOLDER(Cgm, 0, {IFF_TYPE_CGM, "CGM."}, {IFF_TYPE_CGM_TEXT, "CGM."})
IFD_PLACEHOLDER(Pdf, 0, {IFF_TYPE_PDF_GS, "PDF."})
IFD_PLACEHOLDER(Png, 0, {IFF_TYPE_PNG, "Portable Network Graphics (PNG)."})
IFD_PLACEHOLDER(Cals, 0, {IFF_TYPE_CALS, "CALS Raster Type 1."})
IFD_PLACEHOLDER(J2k, 0, {IFF_TYPE_J2K, "JPEG 2000."})
IFD_PLACEHOLDER(Layout, 0, {IFF_TYPE_LAYOUT, "Plotvise Layout."},
                {IFF_TYPE_SVG, "SVG (Scalable Vector Graphics)."},
                {IFF_TYPE_EMF, "EMF (Enhanced MetaFile)."}, {IFF_TYPE_WMF, "WMF (Window MetaFile)."},
                {IFF_TYPE_CMP, "CMP (ZEH layout)."}, {IFF_TYPE_EDIT, "EDIT (SDI layout)."},
                {IFF_TYPE_APIC, "APic"}, {IFF_TYPE_PDF, "PDF."},
                {IFF_TYPE_PDS, "PDS (Schlumberger PDS format)."}, {IFF_TYPE_XPS, "XPS."},
                {IFF_TYPE_DICOM, "DICOM."}, {IFF_TYPE_PVPRJ, "PVPRJ (Vistrada Project)"},
                {44, nullptr}, {45, nullptr}, {46, nullptr}, {47, nullptr})

// Types that no driver reads: the client decides (PostScript and text go
// to the filters).
IFD_PLACEHOLDER(NoType, 0, {IFF_TYPE_UNKNOWN, "UNKNOWN FILE TYPE."},
                {IFF_TYPE_ANY, "UNKNOWN FILE TYPE."})
IFD_PLACEHOLDER(PostScript, 0, {IFF_TYPE_PS, "PostScript."}, {IFF_TYPE_EPS, "PostScript."})
IFD_PLACEHOLDER(Ascii, 0, {IFF_TYPE_ASCII, "ASCII."})

#undef IFD_PLACEHOLDER

// Types that are refused outright ("Arg. not supported"); codes that no
// row names (40, and 49 on) are refused too.
const IffFormatTp Refused = {
    "Refused",
    {{IFF_TYPE_GZIP, nullptr}, {IFF_TYPE_RTF, nullptr}, {IFF_TYPE_HPGL, "HPGL."},
     {48, "UNKNOWN FILE TYPE."}},
    0, 1, {}, {}, 0};

}  // namespace

const IffFormatTp *const IfdFormats[] = {
    &IfdQplFormat, &Bmp, &Pcx, &IfdGifFormat, &SunRaster, &Tga, &Tiff, &IfdPbmFormat, &Sgi, &Xwd,
    &StarBase, &Catia, &Catia4, &CaedsFormatted, &CaedsBinary, &Jpeg, &Cgm, &Pdf, &Png,
    &Cals, &J2k, &Layout, &NoType, &PostScript, &Ascii, &Refused, nullptr,
};
