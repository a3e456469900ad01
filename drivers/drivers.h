// The format drivers: one descriptor per driver (its type codes, names,
// operations and writer words) and the one list of them that a program
// hands to the image file interface with IffUseFormats(IfdFormats).
// Drivers read and write only through the file I/O layer.
#ifndef PV_DRIVERS_DRIVERS_H
#define PV_DRIVERS_DRIVERS_H

#include "imagefile.h"

// Every format the system knows, null-terminated (drivers.cpp).
extern const IffFormatTp *const IfdFormats[];

// The descriptors of the drivers written so far, one per driver file.
extern const IffFormatTp IfdQplFormat;             // native raw format (type 2)
extern const IffFormatTp IfdPbmFormat;             // PBM, PGM, PPM (9) and PAM (34)
extern const IffFormatTp IfdSunRasterFormat;       // Sun raster (6)
extern const IffFormatTp IfdSgiFormat;             // SGI image (10)
extern const IffFormatTp IfdXwdFormat;             // X Window dump (11)
extern const IffFormatTp IfdPngFormat;             // PNG (23)
extern const IffFormatTp IfdLayFormat;             // previews of layouts and vector files (26..47)
extern const IffFormatTp IfdCalsFormat;            // CALS Type 1 (24)
extern const IffFormatTp IfdCatiaFormat;           // CATIA raster (13)
extern const IffFormatTp IfdBmpFormat;             // Windows and OS/2 bitmaps (3)
extern const IffFormatTp IfdTgaFormat;             // Truevision TGA (7)
extern const IffFormatTp IfdPcxFormat;             // PCX (4)
extern const IffFormatTp IfdGifFormat;             // GIF (5)
extern const IffFormatTp IfdCatia4Format;          // CATIA V4 picture (14)
extern const IffFormatTp IfdStarBaseFormat;        // StarBase bitmap (12)
extern const IffFormatTp IfdCaedsFormattedFormat;  // I-DEAS picture, formatted (15)
extern const IffFormatTp IfdCaedsBinaryFormat;     // I-DEAS picture, binary (16)
extern const IffFormatTp IfdPdfFormat;             // PDF, written only (21)
extern const IffFormatTp IfdCgmFormat;             // binary CGM, written only (18, 38)
extern const IffFormatTp IfdTiffFormat;            // TIFF (8)
extern const IffFormatTp IfdCodecFormat;           // JPEG through the JPEG codec (17)
extern const IffFormatTp IfdJ2kFormat;             // JPEG 2000 (25)

// The JPEG codec's stream callbacks (also the PDF writer's DCT data): read
// up to *count bytes (*count gets the number read), write count bytes.
ReturnTp IfdCodecJpegRead(uint8_t *buffer, int32_t *count, IfiHandleTp *stream);
ReturnTp IfdCodecJpegWrite(const uint8_t *buffer, int32_t count, IfiHandleTp *stream);

// Two colour-map entries (red, green, blue each) that are both grey make
// a page of shades: its reader hands over grey bytes instead of indexes,
// so that the reading layer finds a drawing's runs in them. Sets the
// header's model (bilevel beside it for black and white) and returns
// true; false, with the header untouched, when an entry has colour.
bool IfdGreyPair(const unsigned char *entries, IffParamTp *p);

// The TIFF driver's last raised code, and its switch for JPEG data whose
// tables are broken (set from PVBROKENTIFFJPEG when a file is opened).
extern ReturnTp TiffErrno;
extern int32_t BrokenTiffJpeg;

#endif
