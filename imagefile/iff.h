// The image file interface: the one door through which images of every
// format are read and written. It selects the format driver from a fixed
// table by type code, forwards header, colour map, scan line and
// termination requests to it, checks what passes both ways, and on import
// normalises every line to 1, 3 or 4 bytes per pixel with 8-bit samples.
#ifndef PV_IMAGEFILE_IFF_H
#define PV_IMAGEFILE_IFF_H

#include <cstdint>

#include "cmnerror.h"
#include "ifiio.h"

#define IFF_SRV_IMPORT 0
#define IFF_SRV_EXPORT 1
// The level with the header checks is 0; the viewer always uses it.
#define IFF_MIN_VERIFY 0
#define IFF_MAX_VERIFY 1

// File type codes: returned by identification, named on export, and the
// index of the driver table.
enum {
  IFF_TYPE_UNKNOWN = 0,
  IFF_TYPE_ANY = 1,  // import: find the type from the content
  IFF_TYPE_QPL = 2,
  IFF_TYPE_BMP = 3,
  IFF_TYPE_PCX = 4,
  IFF_TYPE_GIF = 5,
  IFF_TYPE_SUN = 6,
  IFF_TYPE_TGA = 7,
  IFF_TYPE_TIFF = 8,
  IFF_TYPE_PBM = 9,
  IFF_TYPE_SGI = 10,
  IFF_TYPE_XWD = 11,
  IFF_TYPE_STARBASE = 12,
  IFF_TYPE_CATIA3 = 13,
  IFF_TYPE_CATIA = 14,
  IFF_TYPE_CAEDS_FORMATTED = 15,
  IFF_TYPE_CAEDS_BINARY = 16,
  IFF_TYPE_JPEG = 17,
  IFF_TYPE_CGM = 18,
  IFF_TYPE_PS = 19,
  IFF_TYPE_EPS = 20,
  IFF_TYPE_PDF_GS = 21,
  IFF_TYPE_ASCII = 22,
  IFF_TYPE_PNG = 23,
  IFF_TYPE_CALS = 24,
  IFF_TYPE_J2K = 25,
  IFF_TYPE_LAYOUT = 26,
  IFF_TYPE_SVG = 27,
  IFF_TYPE_EMF = 28,
  IFF_TYPE_WMF = 29,
  IFF_TYPE_CMP = 30,
  IFF_TYPE_EDIT = 31,
  IFF_TYPE_GZIP = 32,
  IFF_TYPE_RTF = 33,
  IFF_TYPE_PAM = 34,
  IFF_TYPE_HPGL = 35,
  IFF_TYPE_APIC = 36,
  IFF_TYPE_PDF = 37,
  IFF_TYPE_CGM_TEXT = 38,
  IFF_TYPE_PDS = 39,
  IFF_TYPE_XPS = 41,
  IFF_TYPE_DICOM = 42,
  IFF_TYPE_PVPRJ = 43,
  IFF_TYPE_COUNT = 49  // codes 0..48 have a row in the table
};

// Colour models.
enum {
  IFF_CM_RGB = 1,
  IFF_CM_GRAY = 2,
  IFF_CM_CMYK = 3,
  IFF_CM_YCBCR = 4,
  IFF_CM_BILEVEL = 5,
  IFF_CM_RGBA = 6,
  IFF_CM_PALETTE = 7
};

// Codes of the interface (module 0x05).
#define IFF_E_CB_NOT_NULL   0x05080002u
#define IFF_E_NO_FILENAME   0x05080003u
#define IFF_E_UNKNOWN_TYPE  0x05080006u
#define IFF_E_CB_NULL       0x05080007u
#define IFF_E_SERVICE       0x05080008u
#define IFF_E_BAD_HEADER    0x0508000Au
#define IFF_E_WIDTH         0x0508000Bu
#define IFF_E_HEIGHT        0x0508000Cu
#define IFF_E_HAS_CMAP      0x0508000Eu
#define IFF_E_CMAP          0x0508000Fu
#define IFF_E_CMAP_SIZE     0x05080010u
#define IFF_E_ORIENTATION   0x05080011u
#define IFF_E_MIRRORED      0x05080012u
#define IFF_E_WT_HEADER     0x05080016u
#define IFF_E_CMAP_PTR      0x05080017u
#define IFF_E_NO_CMAP_RD    0x05080018u
#define IFF_E_NO_CMAP_WT    0x05080019u
#define IFF_E_SCANLINE_PTR  0x0508001Au
#define IFF_E_RD_NO_LINE    0x0508001Bu
#define IFF_E_WT_NO_LINE    0x0508001Du
#define IFF_E_NOT_LINKED    0x0508001Fu
#define IFF_E_IMPORT_ONLY   0x05080020u
#define IFF_E_NO_PREVIEW    0x05020021u
#define IFF_NO_MORE_PAGES   0x22010001u
#define IFF_E_NOT_SUPPORTED 0x0004000Au

#define IFF_SAMPLES 3000

// The parameter record of one header, colour-map or scan request. Zeroed
// before each header read and write.
typedef struct {
  uint32_t preset0, preset1;  // 0 and 1 before a header read
  int32_t resolution_known;
  void *client_data;
  int32_t page;  // 1-based; 0 is the first page
  int32_t width, height;
  int32_t bytes_per_pixel;  // as stored; 0 lets the interface derive it; 2 and 6 are 16-bit samples
  int32_t aspect_x, aspect_y;
  double x_resolution, y_resolution;  // dots per inch; 0 unknown
  int32_t has_cmap;
  int32_t transparent, transparent_index;
  uint32_t color_model, secondary_model;
  int32_t cmap_entries;
  int32_t bits_per_sample;
  int32_t orientation;  // 0 top-down, 2 bottom-up, 1 and 3 transposed
  int32_t mirrored;
  int32_t planes;
  int32_t reported0, reported1;
  uint64_t extra;
  int32_t export_option;
  int32_t page_count;
  uint64_t compression[3];
  unsigned char *cmap;
  int32_t line;
  unsigned char *buffer;
  int32_t nlines;
  int32_t line_step;
  char *title, *description, *pagelist;  // owned texts found by the driver, handed to the client
} IffParamTp;

struct IffControlBlockTp;

typedef struct {
  IffFileSpecTp spec;
  int32_t service;
  int32_t recognised;   // set by a driver that finds its own signature
  IfiHandleTp *stream;  // import: the handle already open; export: null
} IffOpenRequestTp;

typedef ReturnTp (*IffInitFnTp)(void **state, IffOpenRequestTp *request,
                                struct IffControlBlockTp *cb);
typedef ReturnTp (*IffOpFnTp)(void *state, IffParamTp *param);
typedef ReturnTp (*IffTermFnTp)(void **state);

// The eight operations of a driver, in this order; a slot may be empty.
typedef struct {
  IffInitFnTp Init;
  IffOpFnTp RdHead, WtHead, RdCMap, WtCMap, RdScan, WtScan;
  IffTermFnTp Term;
} IffDriverTp;

typedef struct IffControlBlockTp {
  int32_t service;
  void *driver_state;
  IffDriverTp driver;
  IffFileSpecTp spec;
  uint32_t requested_type;
  int32_t verify_level;
  void *client_data;
  unsigned char *cmap;  // colour-map buffer, at least 256 entries
  unsigned char *line;  // line buffer, max(bytes per pixel, 4) x (width + 10)
  int32_t height, width;
  double x_resolution, y_resolution;
  int32_t resolution_known;
  int32_t export_option;
  unsigned char *bgrx_cmap;  // 256 entries blue, green, red, fourth byte; filled by the client
  int32_t pixel_size;        // 1, 3 or 4 bytes per delivered pixel
  uint32_t color_model, secondary_model;
  int32_t has_cmap;
  int32_t cmap_kept, cmap_entry_size;
  int32_t transparent, transparent_index;
  int32_t bottom_up;
  int32_t keep_cmyk;
  int32_t line_step;
  uint32_t reported_model;
  int32_t cmap_file_entries;
  int32_t bytes_per_pixel;
  int32_t bits_per_sample;
  uint32_t frequent[256];
  int32_t sample_cursor;
  uint32_t *sample_values, *sample_rows, *sample_cols;
  int32_t ignore_scan_errors;
  char *description;
  int32_t rasterized;
  int32_t file_size;
  int32_t multipage;
  int32_t header_read;
  int32_t page;
  int32_t page_count;
  int32_t scaled;
  // Not part of the file's description: bookkeeping of the interface.
  int32_t driver_present;
  IfiHandleTp *stream;  // the open input while no driver has taken it
  // The input, whoever owns it: a driver keeps the handle it was given
  // until its Term, and the interface reads the handle's counters.
  const IfiHandleTp *input;
  uint32_t file_type;
  size_t line_size;
  size_t cmap_size;
} IffControlBlockTp;

// Set by each driver when it reads a header.
extern int32_t FXIBitsPerPixel;
extern int32_t FXICompression;
extern const char *const FXICompressionNames[16];

// A host may veto an identified type: returning 0 makes the file unknown.
typedef int (*IfiValidateFormatTp)(uint32_t type);
extern IfiValidateFormatTp IfiValidateFormatImplementation;

ReturnTp IffInit(void *client, IffControlBlockTp **holder, int32_t service,
                 const IffFileSpecTp *spec, uint32_t requested_type, int32_t verify_level,
                 uint32_t *file_type);
ReturnTp IffRdHead(IffControlBlockTp *cb, uint64_t extra, void *client_data, IffParamTp *header);
ReturnTp IffRdCMap(IffControlBlockTp *cb);
ReturnTp IffRdScan(IffControlBlockTp *cb, int32_t count, int32_t line);
ReturnTp IffWtHead(IffControlBlockTp *cb, int32_t width, int32_t height, int32_t aspect_x,
                   int32_t aspect_y, int32_t has_cmap, uint32_t color_model,
                   int32_t cmap_entries, int32_t bits_per_sample, const uint64_t compression[3],
                   int32_t orientation, int32_t mirrored, uint64_t extra, void *client_data);
ReturnTp IffWtCMap(IffControlBlockTp *cb, unsigned char *cmap);
ReturnTp IffWtScan(IffControlBlockTp *cb, int32_t line, unsigned char *buffer);
ReturnTp IffTerm(IffControlBlockTp **holder);
void IffFrequentColors(IffControlBlockTp *cb);

// The type name recorded as a file's description ("UNKNOWN FILE TYPE."
// for 0, 1 and 48), or null for the codes that have none.
const char *IffTypeName(uint32_t type);

// Tests and later drivers: the driver table row of a type code, or null
// outside the table.
IffDriverTp *IffDriverSlot(uint32_t type);

#endif
