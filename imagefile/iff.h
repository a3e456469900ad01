// The image file interface: the one door through which images of every
// format are read and written. It selects the format driver from a fixed
// table by type code, forwards header, colour map, scan line and
// termination requests to it, checks what passes both ways, and on import
// normalises every line to 1, 3 or 4 bytes per pixel with 8-bit samples.
#ifndef PV_IMAGEFILE_IFF_H
#define PV_IMAGEFILE_IFF_H

#include <cstdint>
#include <memory>

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

// Pixels sampled over each page for its frequent colours. The fuzz build
// takes far fewer: its pages are small, and sorting the positions of 3000
// would cost more than reading most of its inputs.
#ifndef IFF_SAMPLES
#define IFF_SAMPLES 3000
#endif
// The full size and up to 33 resolution levels.
#define IFF_MAX_LEVEL_SIZES 34

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
  // A reader may instead state the picture's orientation as TIFF's
  // Orientation tag and EXIF number it (1..8; 0 none, anything else 1):
  // the interface then sets orientation and mirrored and reverses each
  // line itself (IffViewOrientation).
  int32_t view_orientation;
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
  // Formats coded at several resolutions (JPEG 2000, JPEG's reduced
  // inverse DCTs) list the full size, then the size at each resolution
  // level, smallest first: level_count pairs of width and height.
  int32_t level_count;
  int32_t level_sizes[2 * IFF_MAX_LEVEL_SIZES];
  // Scan requests: the level the lines are delivered at, an index into
  // level_sizes (0, the full size, unless IffRequestLevel asked for
  // another). A driver that lists levels honours it from the first line.
  int32_t level;
  // Scan requests of IffRdScanRuns. runs_wanted is then 1, and a driver
  // whose line holds only two byte values may hand it over without a byte
  // per pixel: line_form IFF_LINE_BITS, `bits` holding the row packed (its
  // first pixel in the high bit of the first byte, a 0 bit standing for
  // levels[0] and a 1 bit for levels[1]), or IFF_LINE_RUNS, `changes`
  // holding change_count columns at which the level changes, levels[0]
  // from column 0 (the fax codec's changing elements: pixels from
  // changes[2k] up to changes[2k + 1] are levels[1]). The levels are the
  // bytes the driver would have put into buffer, and the memory stays the
  // driver's until its next request. A driver that leaves line_form
  // IFF_LINE_BYTES fills buffer as for any scan request.
  int32_t runs_wanted;
  int32_t line_form;
  uint8_t levels[2];
  const uint8_t *bits;
  const int32_t *changes;
  int32_t change_count;
} IffParamTp;

enum { IFF_LINE_BYTES = 0, IFF_LINE_BITS = 1, IFF_LINE_RUNS = 2 };

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
  int32_t reverse_lines;  // each delivered line is reversed (a mirrored view orientation)
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
  // The page's resolution levels as its header listed them, and the one
  // its lines are delivered at (IffRequestLevel; 0 the full size).
  int32_t level_count;
  int32_t level_sizes[2 * IFF_MAX_LEVEL_SIZES];
  int32_t level;
  // Not part of the file's description: bookkeeping of the interface.
  int32_t lines_read;  // scan requests of the page so far
  int32_t driver_present;
  IfiHandleTp *stream;  // the open input while no driver has taken it
  // The input, whoever owns it: a driver keeps the handle it was given
  // until its Term, and the interface reads the handle's counters.
  const IfiHandleTp *input;
  int64_t made_up_at_head;  // the input's made-up bytes (salvaged aside) after the header
  int32_t data_missing;     // this input was warned about as incomplete
  uint32_t file_type;
  size_t line_size;
  size_t cmap_size;
  int32_t *changes;  // IffRdScanRuns: width + 1 entries, made with the header
} IffControlBlockTp;

// ---- The registry of formats ---------------------------------------------
// Each driver describes itself once, in one descriptor beside its code: the
// type codes it serves with their names, whether a file holds pages, its
// operations, and for writers the words that select it. The interface's
// driver table, the type names, the multi-page rule and the converter's
// output words are all derived from the list of descriptors that the
// program hands over with IffUseFormats (drivers/drivers.cpp holds it).

#define IFF_FORMAT_TYPES 16  // type codes one descriptor may serve
#define IFF_FORMAT_WORDS 8   // writer words of one descriptor

typedef struct {
  uint32_t type;     // file type code
  const char *name;  // the type name recorded as the file's description, or null
} IffTypeNameTp;

typedef struct {
  const char *word;  // the converter's -type word, also the output file extension
  uint32_t type;     // the type code written
  uint32_t model;    // colour model of the lines the writer is given (IFF_CM_*)
} IffWriterWordTp;

typedef struct IffFormatTp {
  const char *name;                           // short name, for messages and tests
  IffTypeNameTp types[IFF_FORMAT_TYPES];      // used rows have a code or a name
  int32_t multipage;                          // a header per page: IffRdHead again
  int32_t refused;                            // IffInit answers "Arg. not supported"
  IffDriverTp ops;                            // empty slots are null; none while unwritten
  IffWriterWordTp writers[IFF_FORMAT_WORDS];  // used rows have a word
  uint32_t write_models;                      // IFF_MODEL_BIT of each model it writes
  // Writes several pages into one file: IffWtHead again after a page's
  // last line starts the next; IffControlBlockTp.page_count set before
  // the first IffWtHead tells how many follow (0 or 1: one).
  int32_t write_pages = 0;
} IffFormatTp;

#define IFF_MODEL_BIT(model) (1u << (model))

// Hands the null-terminated list of descriptors to the interface; the last
// call wins. Debug builds stop at once on a faulty list (IffCheckFormats).
// Until it is called no type has a driver.
void IffUseFormats(const IffFormatTp *const *list);
// The first fault of a list (a duplicate type code or writer word, a code
// outside the table, a descriptor without a name, a writer without a word,
// a word for a type or model its descriptor does not write), or null.
const char *IffCheckFormats(const IffFormatTp *const *list);
// The descriptor serving a type code, or null (the code is refused).
const IffFormatTp *IffFormatOf(uint32_t type);
// True when a picture of width x height lies within the sizes the
// interface accepts from any header.
bool IffSizeWithinLimits(int64_t width, int64_t height);
// The code the interface would raise for that size: 0 when it is
// accepted, else IFF_E_BAD_HEADER, IFF_E_WIDTH or IFF_E_HEIGHT (not
// raised). Drivers that size buffers in their header read check with it
// before allocating.
ReturnTp IffSizeCode(int64_t width, int64_t height);
// True when a driver may hold a whole decoded picture of `bytes` (an
// interlaced image, kept until its last pass) for an input of
// `input_size` bytes (0 when not known): at most 1100 times the input
// (what deflate can give at best, with room to spare) plus 1 MiB, and at
// most 1 GiB when the input's size is not known. A tiny file that claims
// a huge picture is refused before the memory is taken.
bool IffWholeImageFits(int64_t bytes, int64_t input_size);
// The writer row of a word or extension (any case), or null.
const IffWriterWordTp *IffFindWriter(const char *word);
// Every writer word of the list in order, separated by " | ".
const char *IffWriterWords(void);

// Inputs found incomplete in this run: a line read made up data past the
// end of its input (IfiRead's zeros, or a driver's IfiAccount of what it
// filled in). Each is warned about once, when it is found; a converter ends
// with a failure status when any was.
int32_t IffIncompleteInputs(void);

// Set by each driver when it reads a header.
extern int32_t FXIBitsPerPixel;
extern int32_t FXICompression;
extern const char *const FXICompressionNames[16];

// The compression codes: what FXICompression reports for a file read, and
// what the first word of an export's compression request asks a writer
// for. Each is the index of its name in FXICompressionNames.
enum IffCompressionTp : uint32_t {
  IFF_COMP_NONE = 0,
  IFF_COMP_LZW = 1,
  IFF_COMP_RLE = 2,  // run-length; PackBits when a writer asks
  IFF_COMP_HUFFMAN = 3,
  IFF_COMP_JPEG_LOSSLESS = 4,
  IFF_COMP_JPEG_BASELINE = 5,
  IFF_COMP_JPEG_SEQUENTIAL = 6,
  IFF_COMP_JPEG_PROGRESSIVE = 7,
  IFF_COMP_G3 = 8,
  IFF_COMP_G4 = 9,
  IFF_COMP_G3_2D = 10,
  IFF_COMP_G3_TIFF = 11,  // modified Huffman
  IFF_COMP_PACKBITS = 12,
  IFF_COMP_WAVELET_LOSSY = 13,
  IFF_COMP_WAVELET_LOSSLESS = 14,
  IFF_COMP_DEFLATE = 15,
};

// The third word of an export's compression request. JPEG coding reads it
// as the luminance samples per chrominance sample of a colour picture
// (any value but 1x1 and 2x2 asks for 2x1); writers of grey and bilevel
// lines read IFF_ONE_BIT as "one bit a pixel".
enum IffSamplingTp : uint32_t {
  IFF_SAMPLING_2X1 = 0,
  IFF_SAMPLING_1X1 = 1,
  IFF_ONE_BIT = 2,
  IFF_SAMPLING_2X2 = 4,
};

// A host may veto an identified type: returning 0 makes the file unknown.
typedef int (*IfiValidateFormatTp)(uint32_t type);
extern IfiValidateFormatTp IfiValidateFormatImplementation;

ReturnTp IffInit(const IfiFilterClientTp *client, IffControlBlockTp **holder, int32_t service,
                 const IffFileSpecTp *spec, uint32_t requested_type, int32_t verify_level,
                 uint32_t *file_type);
ReturnTp IffRdHead(IffControlBlockTp *cb, uint64_t extra, void *client_data, IffParamTp *header);
ReturnTp IffRdCMap(IffControlBlockTp *cb);
ReturnTp IffRdScan(IffControlBlockTp *cb, int32_t count, int32_t line);
// A line of two byte values as IffRdScanRuns gives it: levels[0] from
// column 0, levels[1] after the first change, and so on.
typedef struct {
  const uint8_t *bits;     // the row packed (first pixel in the high bit; a 1 bit is levels[1])
  const int32_t *changes;  // or: count increasing columns below the width where the level changes
  int32_t count;           // -1: neither, the line is in cb->line as IffRdScan leaves it
  uint8_t levels[2];
} IffRunLineTp;

// Reads line `line` of a page of one byte per pixel without a byte per
// pixel when its driver can hand it over so: as the row's bits (only when
// `bits_too`) or as its changes, valid until the next request. Otherwise
// the line's bytes are in cb->line as after IffRdScan. All give the same
// pixels.
ReturnTp IffRdScanRuns(IffControlBlockTp *cb, int32_t line, IffRunLineTp *out, bool bits_too);
// Asks for the page's lines at resolution level `level` (an index into the
// header's level_sizes; 0 is the full size) before its first line: width
// and height become the level's, and so do the positions sampled for the
// frequent colours. A level the header did not list, or a request after a
// line was read, is refused with CMN_E_INVALID_ARG. Without a request every
// driver delivers the full size.
ReturnTp IffRequestLevel(IffControlBlockTp *cb, int32_t level);
ReturnTp IffWtHead(IffControlBlockTp *cb, int32_t width, int32_t height, int32_t aspect_x,
                   int32_t aspect_y, int32_t has_cmap, uint32_t color_model, int32_t cmap_entries,
                   int32_t bits_per_sample, const uint64_t compression[3], int32_t orientation,
                   int32_t mirrored, uint64_t extra, void *client_data);
ReturnTp IffWtCMap(IffControlBlockTp *cb, unsigned char *cmap);
ReturnTp IffWtScan(IffControlBlockTp *cb, int32_t line, unsigned char *buffer);
ReturnTp IffTerm(IffControlBlockTp **holder);
// The header's orientation and mirrored for a TIFF/EXIF orientation 1..8:
// the delivered lines (mirrored first when `mirrored`) are shown top line
// first (0), bottom line first (2), or are columns of the upright
// picture turned a quarter clockwise (1) or anticlockwise (3).
void IffViewOrientation(int32_t view, int32_t *orientation, int32_t *mirrored);
void IffFrequentColors(IffControlBlockTp *cb);

// For drivers' Init: the stream a driver works on. Export: the output,
// opened for writing. Import: the stream the request hands in, or the
// named file opened here; rewound, and its first `size` bytes (none when
// 0) read into `header`. On a failure a stream opened here is closed again
// and a stream handed in stays the caller's. Codes of the seek and the
// read come back as the I/O layer gave them, for the driver to pass up
// under its own name. `opened_here` (may be null) tells which stream it
// was, for a driver that fails later in its Init. A format that names a
// file too short for its header unknown itself (in RdHead, by its own
// message) asks for IFF_HEADER_AS_FOUND: the header is then read as far as
// the file goes, `*got` bytes (none when the stream cannot be rewound), and
// the rest of it is zero.
enum IffHeaderNeedTp : uint8_t { IFF_HEADER_WHOLE, IFF_HEADER_AS_FOUND };
ReturnTp IffOpenDriverStream(IffOpenRequestTp *request, IfiHandleTp **handle, void *header,
                             size_t size, bool *opened_here = nullptr,
                             IffHeaderNeedTp need = IFF_HEADER_WHOLE, size_t *got = nullptr);

// For drivers' Term: runs `finish` (may be null: the file's last words,
// the driver's own buffers), deletes the driver's state (a State with a
// `handle` member), closes its stream and clears *state; nothing to do
// without one. The first failure comes back: finishing before closing.
template <typename State>
ReturnTp IffTermDriverState(void **state, ReturnTp (*finish)(State *) = nullptr) {
  if (!state || !*state) return 0;
  std::unique_ptr<State> s(static_cast<State *>(*state));
  *state = nullptr;
  const ReturnTp finished = finish ? finish(s.get()) : 0;
  const ReturnTp closed = s->handle ? IfiClose(s->handle) : 0;
  return finished ? finished : closed;
}

// The type name recorded as a file's description ("UNKNOWN FILE TYPE."
// for 0, 1 and 48), or null for the codes that have none.
const char *IffTypeName(uint32_t type);

// Tests: the driver table row of a type code (derived from the registry and
// patchable), or null outside the table.
IffDriverTp *IffDriverSlot(uint32_t type);

#endif
