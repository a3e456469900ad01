// The image file interface: driver selection, the checks around every
// request, and the normalisation of imported lines to 8-bit samples in 1,
// 3 or 4 bytes per pixel.
//
// Conventions for what a driver delivers in the line buffer: 16-bit
// samples (6 bytes per pixel, or 16-bit grey) low byte first; 16-bit
// colour-map indexes (2 bytes per pixel) most significant byte first;
// 32-bit colour-map indexes low byte first.
#include "iff.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ifu.h"

#define CMN_SOURCE "iff"

int32_t FXIBitsPerPixel = 0;
int32_t FXICompression = 0;
IfiValidateFormatTp IfiValidateFormatImplementation = nullptr;

const char *const FXICompressionNames[16] = {
    "",
    "LZW Compressed",
    "Run Length Compressed",
    "Huffman Compressed",
    "Jpeg Lossless",
    "Jpeg Baseline",
    "Jpeg Sequential",
    "Jpeg Progressive",
    "CCITT Group 3",
    "CCITT Group 4",
    "FaxG3-2D",
    "FaxG3-TIFF",
    "Packbits compressed",
    "Wavelet (lossy)",
    "Wavelet (lossless)",
    "Deflated",
};

namespace {

// What the registry says of each type code, derived by IffUseFormats.
const IffFormatTp *g_format_of[IFF_TYPE_COUNT];
IffDriverTp g_drivers[IFF_TYPE_COUNT];
// Built on first use: programs and tests hand the list over from static
// initialisers, before this file's own would have run.
std::string &WriterWords() {
  static std::string words;
  return words;
}

// Codes no descriptor claims still have the names the I/O layer records.
const char *const kUnknownName = "UNKNOWN FILE TYPE.";

// Reads of lines past the end, over the whole run: a client stuck in such
// a loop is stopped.
int g_missing_lines = 0;
// Inputs that ran out of data while lines were read.
int32_t g_incomplete_inputs = 0;

// Lines, scaling tables and colour maps are sized from header fields;
// anything beyond these is a broken or hostile header, not an image.
constexpr int64_t kMaxWidth = 1 << 24;
constexpr int64_t kMaxHeight = 1 << 24;
// Eight times a large drawing (20000 x 28000): every pixel of the page
// may have to pass the scaler, even those a short file never delivers.
#ifdef PV_FUZZ_MAX_PIXELS
// The fuzz targets alone are built with a far smaller page: they read
// every line of it, and each input must take a moment only. Every check a
// driver makes before this one still runs.
constexpr int64_t kMaxPixels = PV_FUZZ_MAX_PIXELS;
#else
constexpr int64_t kMaxPixels = int64_t{1} << 32;
#endif
constexpr int32_t kMaxCMapEntries = 1 << 16;
// 12-bit indexes can reach this far into the colour map.
constexpr int32_t kIndexReach = 4096;

}  // namespace

int32_t IffIncompleteInputs(void) { return g_incomplete_inputs; }

bool IffSizeWithinLimits(int64_t width, int64_t height) {
  return width >= 1 && height >= 1 && width <= kMaxWidth && height <= kMaxHeight &&
         width * height <= kMaxPixels;
}

ReturnTp IffSizeCode(int64_t width, int64_t height) {
  if (width == 0 || height == 0) return IFF_E_BAD_HEADER;
  if (width < 0 || width > kMaxWidth) return IFF_E_WIDTH;
  if (height < 0 || height > kMaxHeight || width * height > kMaxPixels) return IFF_E_HEIGHT;
  return 0;
}

bool IffWholeImageFits(int64_t bytes, int64_t input_size) {
  constexpr int64_t kRatio = 1100;
  constexpr int64_t kSlack = int64_t{1} << 20;
  constexpr int64_t kUnknownSizeLimit = int64_t{1} << 30;
  if (bytes <= kSlack) return true;
  if (input_size <= 0) return bytes <= kUnknownSizeLimit;
  return (bytes - kSlack) / kRatio <= input_size;
}

namespace {

bool HasOperations(const IffDriverTp &d) {
  return d.Init || d.RdHead || d.WtHead || d.RdCMap || d.WtCMap || d.RdScan || d.WtScan || d.Term;
}

bool Used(const IffTypeNameTp &t) { return t.type || t.name; }

int EntrySize(uint32_t model, int32_t bits) {
  int size;
  switch (model) {
    case IFF_CM_GRAY:
    case IFF_CM_BILEVEL:
      size = 1;
      break;
    case IFF_CM_CMYK:
    case IFF_CM_RGBA:
      size = 4;
      break;
    default:
      size = 3;
      break;
  }
  return bits > 8 ? 2 * size : size;
}

unsigned char Clamp(int v) { return static_cast<unsigned char>(v < 0 ? 0 : v > 255 ? 255 : v); }

void CmykToRgb(const unsigned char *in, unsigned char *out) {
  int c = in[0], m = in[1], y = in[2], k = in[3];
  out[0] = Clamp(255 - k - c);
  out[1] = Clamp(255 - k - m);
  out[2] = Clamp(255 - k - y);
}

// v x 255 / (2^bits - 1): the largest value of fewer bits becomes 255.
unsigned char Spread(unsigned v, int bits) {
  unsigned top = (1u << bits) - 1;
  return static_cast<unsigned char>(std::min(v, top) * 255 / top);
}

ReturnTp Raise(unsigned line, ReturnTp code) { return CmnError(CMN_SOURCE, line, code); }

// A converter that gave nothing usable leaves an input unknown. When a
// driver of ours reads the file as it is (an SVG or a layout document
// with its preview picture), a regular file is opened again without the
// filter stage and read by that driver. Standard input, a pipe or a
// device was used up by the converter and stays unknown.
void ReadUnconverted(const IfiFilterClientTp *client, const IffFileSpecTp *spec,
                     IfiHandleTp **handle, uint32_t *type, bool failed_before) {
  struct stat st;
  if (!spec->name || !spec->name[0] || (*handle)->first_read <= 0 || !IfiFilterStageFn ||
      stat(spec->name, &st) != 0 || !S_ISREG(st.st_mode))
    return;
  const IfiFilterStageFnTp stage = IfiFilterStageFn;
  IfiFilterStageFn = nullptr;
  IfiHandleTp *own = nullptr;
  const ReturnTp rc = IfiOpenRead(client, spec, &own);
  IfiFilterStageFn = stage;
  if (rc) return;
  const uint32_t t = own->file_type;
  const IffFormatTp *format = t < IFF_TYPE_COUNT ? g_format_of[t] : nullptr;
  if (t == IFF_TYPE_UNKNOWN || !format || format->refused || !g_drivers[t].RdHead) {
    IfiClose(own);
    return;
  }
  // The converter's failure has been reported, but the picture is whole.
  IfiClose(*handle);
  IfiSetFilterFailed(failed_before);
  *handle = own;
  *type = t;
}

}  // namespace

const char *IffCheckFormats(const IffFormatTp *const *list) {
  static std::string &fault = *new std::string;  // outlives every caller
  const IffFormatTp *owner[IFF_TYPE_COUNT] = {};
  std::vector<const char *> words;
  for (; list && *list; ++list) {
    const IffFormatTp &f = **list;
    if (!f.name || !*f.name) return "a format descriptor has no name";
    for (const IffTypeNameTp &t : f.types) {
      if (!Used(t)) continue;
      if (t.type >= IFF_TYPE_COUNT)
        return (fault = std::string(f.name) + ": type code " + std::to_string(t.type) +
                        " is outside the table")
            .c_str();
      if (owner[t.type])
        return (fault = std::string(f.name) + " and " + owner[t.type]->name +
                        " both claim type code " + std::to_string(t.type))
            .c_str();
      owner[t.type] = &f;
    }
    bool has_word = false;
    for (const IffWriterWordTp &w : f.writers) {
      if (!w.word) continue;
      has_word = true;
      bool serves = false;
      for (const IffTypeNameTp &t : f.types) serves = serves || (Used(t) && t.type == w.type);
      if (!serves || !f.ops.WtHead)
        return (fault = std::string(f.name) + ": writer word \"" + w.word +
                        "\" names a type it does not write")
            .c_str();
      if (w.model >= 32 || !(f.write_models & IFF_MODEL_BIT(w.model)))
        return (fault = std::string(f.name) + ": writer word \"" + w.word +
                        "\" asks for a colour model it does not write")
            .c_str();
      for (const char *seen : words)
        if (strcasecmp(seen, w.word) == 0)
          return (fault = std::string(f.name) + ": writer word \"" + w.word + "\" is taken")
              .c_str();
      words.push_back(w.word);
    }
    if (f.ops.WtHead && !has_word)
      return (fault = std::string(f.name) + " writes files but has no word or extension").c_str();
  }
  return nullptr;
}

void IffUseFormats(const IffFormatTp *const *list) {
#ifndef NDEBUG
  if (const char *fault = IffCheckFormats(list)) {
    fprintf(stderr, "Internal Error: format registry: %s\n", fault);
    abort();
  }
#endif
  for (uint32_t type = 0; type < IFF_TYPE_COUNT; ++type) {
    g_format_of[type] = nullptr;
    g_drivers[type] = IffDriverTp{};
  }
  WriterWords().clear();
  for (; list && *list; ++list) {
    const IffFormatTp &f = **list;
    for (const IffTypeNameTp &t : f.types)
      if (Used(t) && t.type < IFF_TYPE_COUNT) {
        g_format_of[t.type] = &f;
        g_drivers[t.type] = f.ops;
      }
    for (const IffWriterWordTp &w : f.writers)
      if (w.word) WriterWords() += (WriterWords().empty() ? "" : " | ") + std::string(w.word);
  }
}

const IffFormatTp *IffFormatOf(uint32_t type) {
  return type < IFF_TYPE_COUNT ? g_format_of[type] : nullptr;
}

const IffWriterWordTp *IffFindWriter(const char *word) {
  if (!word) return nullptr;
  for (const IffFormatTp *f : g_format_of) {
    if (!f) continue;
    for (const IffWriterWordTp &w : f->writers)
      if (w.word && strcasecmp(w.word, word) == 0) return &w;
  }
  return nullptr;
}

const char *IffWriterWords(void) { return WriterWords().c_str(); }

const char *IffTypeName(uint32_t type) {
  if (type >= IFF_TYPE_COUNT) return nullptr;
  if (const IffFormatTp *f = g_format_of[type])
    for (const IffTypeNameTp &t : f->types)
      if (Used(t) && t.type == type) return t.name;
  // The codes of "no type" keep their name even before any list is handed over.
  return type == IFF_TYPE_UNKNOWN || type == IFF_TYPE_ANY ? kUnknownName : nullptr;
}

IffDriverTp *IffDriverSlot(uint32_t type) {
  return type < IFF_TYPE_COUNT ? &g_drivers[type] : nullptr;
}

ReturnTp IffInit(const IfiFilterClientTp *client, IffControlBlockTp **holder, int32_t service,
                 const IffFileSpecTp *spec, uint32_t requested_type, int32_t verify_level,
                 uint32_t *file_type) {
  FXICompression = IFF_COMP_NONE;
  if (!holder) return Raise(__LINE__, IFF_E_CB_NULL);
  if (*holder) return Raise(__LINE__, IFF_E_CB_NOT_NULL);
  if (!spec) return Raise(__LINE__, IFF_E_NO_FILENAME);
  if (spec->name && spec->reserved) return Raise(__LINE__, CMN_E_INVALID_ARG);
  int32_t iff_service_required = service;
  int32_t iff_verify_level = verify_level;
  CMN_ASSERT(iff_service_required == IFF_SRV_IMPORT || iff_service_required == IFF_SRV_EXPORT);
  CMN_ASSERT(iff_verify_level == IFF_MIN_VERIFY || iff_verify_level == IFF_MAX_VERIFY);

  auto *cb = static_cast<IffControlBlockTp *>(calloc(1, sizeof(IffControlBlockTp)));
  if (!cb) return Raise(__LINE__, CMN_E_NOMEM);
  cb->requested_type = requested_type;
  cb->verify_level = verify_level;
  cb->line_step = 1;
  cb->spec = *spec;
  cb->service = service;
  *holder = cb;

  IffOpenRequestTp request = {};
  request.spec = *spec;
  request.service = service;

  uint32_t type;
  if (service == IFF_SRV_IMPORT) {
    IfiHandleTp *handle = nullptr;
    const bool failed_before = IfiFilterFailed();
    ReturnTp rc = IfiOpenRead(client, spec, &handle);
    if (rc) return rc;
    type = handle->file_type;
    if (type == IFF_TYPE_UNKNOWN) ReadUnconverted(client, spec, &handle, &type, failed_before);
    if (handle->description) {
      cb->description = strdup(handle->description);
      if (!cb->description) {
        IfiClose(handle);
        return Raise(__LINE__, CMN_E_NOMEM);
      }
    }
    cb->rasterized = handle->rasterized;
    cb->scaled = handle->scaled;
    cb->file_size = static_cast<int32_t>(std::min<int64_t>(handle->file_size, INT32_MAX));
    cb->multipage = IffFormatOf(type) && IffFormatOf(type)->multipage;
    request.stream = handle;
    cb->input = handle;
  } else {
    type = requested_type;
  }
  cb->file_type = type;
  if (file_type) *file_type = type;

  // An input without a single byte has no type to guess at.
  if (service == IFF_SRV_IMPORT && type == IFF_TYPE_UNKNOWN &&
      cb->input->first_read <= cb->input->start_offset) {
    IfiClose(request.stream);
    cb->input = nullptr;
    return Raise(__LINE__, IFI_E_EMPTY);
  }
  if (service == IFF_SRV_IMPORT && type == IFF_TYPE_UNKNOWN) {
    // No driver: the client decides what an unknown file means.
    cb->stream = request.stream;
    return 0;
  }

  const IffFormatTp *format = IffFormatOf(type);
  if (!format || format->refused) {
    if (request.stream) IfiClose(request.stream);
    return Raise(__LINE__, CMN_E_NOT_SUPPORTED);
  }
  if (HasOperations(g_drivers[type])) {
    cb->driver = g_drivers[type];
    cb->driver_present = 1;
  }

  if (cb->driver_present && cb->driver.Init) {
    // The driver owns the handle once its Init succeeds.
    ReturnTp rc = cb->driver.Init(&cb->driver_state, &request, cb);
    if (rc) {
      if (!cb->driver_state && request.stream) IfiClose(request.stream);
      if (rc == IFF_W_NO_PREVIEW) return rc;
      return CmnReraise(CMN_SOURCE, __LINE__, rc);
    }
  } else {
    cb->stream = request.stream;
  }

  if (service == IFF_SRV_EXPORT && cb->driver_present && !cb->driver.WtHead)
    return Raise(__LINE__, IFF_E_IMPORT_ONLY);
  if (requested_type != IFF_TYPE_ANY && !cb->driver_present)
    return Raise(__LINE__, IFF_E_NOT_LINKED);

  if (getenv("IGNORE_READSCAN_ERROR")) cb->ignore_scan_errors = 1;
  return 0;
}

namespace {
ReturnTp TakeHeader(IffControlBlockTp *cb, IffParamTp *h);
}  // namespace

ReturnTp IffRdHead(IffControlBlockTp *cb, uint64_t extra, void *client_data, IffParamTp *h) {
  if (!cb) return Raise(__LINE__, IFF_E_CB_NULL);
  if (cb->service != IFF_SRV_IMPORT) return Raise(__LINE__, IFF_E_SERVICE);
  if (!h) return Raise(__LINE__, CMN_E_INVALID_ARG);

  cb->client_data = client_data;
  memset(h, 0, sizeof *h);
  h->preset0 = 0;
  h->preset1 = 1;
  h->client_data = client_data;
  h->extra = extra;
  h->page = cb->page;

  if (!cb->multipage && cb->header_read) return IFF_I_NO_MORE_PAGES;
  cb->header_read = 1;

  if (!cb->driver.RdHead) return Raise(__LINE__, IFF_E_NOT_LINKED);
  ReturnTp rc = cb->driver.RdHead(cb->driver_state, h);
  if (!rc) rc = TakeHeader(cb, h);
  // What a header read made up (probes past the end) is no missing line.
  cb->made_up_at_head = cb->input ? cb->input->made_up - cb->input->salvaged : 0;
  if (rc) {
    // The texts a driver found belong to the client only with a header.
    for (char **text : {&h->title, &h->description, &h->pagelist}) CmnStrFree(text);
  }
  return rc;
}

namespace {

// Everything the interface checks and derives from a header the driver
// has just read.
ReturnTp TakeHeader(IffControlBlockTp *cb, IffParamTp *h) {
  ReturnTp rc;
  if (h->view_orientation) IffViewOrientation(h->view_orientation, &h->orientation, &h->mirrored);
  cb->reverse_lines = h->view_orientation && h->mirrored;
  cb->transparent = h->transparent;
  cb->transparent_index = h->transparent_index;
  cb->bits_per_sample = h->bits_per_sample;
  if (h->bits_per_sample < 8) h->bits_per_sample = 8;

  if (h->width == 0 || h->height == 0 || h->aspect_x <= 0 || h->aspect_y <= 0 || h->planes < 1 ||
      h->planes > 10 || h->bits_per_sample > 16)
    return Raise(__LINE__, IFF_E_BAD_HEADER);
  if (h->width < 0 || h->width > kMaxWidth) return Raise(__LINE__, IFF_E_WIDTH);
  if (h->height < 0 || h->height > kMaxHeight ||
      static_cast<int64_t>(h->width) * h->height > kMaxPixels)
    return Raise(__LINE__, IFF_E_HEIGHT);
  // Clients show the lines stretched by the pixel aspect: the stretched
  // height is sized from, and must stay within the limits too.
  if (h->aspect_x > 0 && h->aspect_y > 0 && h->aspect_y != h->aspect_x) {
    const int64_t shown = static_cast<int64_t>(h->height) * h->aspect_y / h->aspect_x;
    if (shown > kMaxHeight || static_cast<int64_t>(h->width) * shown > kMaxPixels)
      return Raise(__LINE__, IFF_E_HEIGHT);
  }

  if (cb->verify_level == IFF_MIN_VERIFY) {
    if (h->has_cmap > 1) return Raise(__LINE__, IFF_E_HAS_CMAP);
    switch (h->color_model) {
      case IFF_CM_RGB:
      case IFF_CM_GRAY:
      case IFF_CM_CMYK:
      case IFF_CM_YCBCR:
      case IFF_CM_RGBA:
      case IFF_CM_PALETTE:
        break;
      default:
        return Raise(__LINE__, IFF_E_CMAP);
    }
    if (h->cmap_entries != 0 && !h->has_cmap) return Raise(__LINE__, IFF_E_CMAP_SIZE);
    if (h->orientation > 3) return Raise(__LINE__, IFF_E_ORIENTATION);
    if (h->mirrored > 1) return Raise(__LINE__, IFF_E_MIRRORED);
  }
  // Whatever the level, a colour map is never sized by an absurd count.
  if (h->has_cmap && (h->cmap_entries < 0 || h->cmap_entries > kMaxCMapEntries))
    return Raise(__LINE__, IFF_E_CMAP_SIZE);

  cb->color_model = h->color_model;
  cb->secondary_model = h->secondary_model ? h->secondary_model : h->color_model;
  cb->reported_model = h->color_model;

  int32_t b = h->bytes_per_pixel;
  int32_t pixel;
  if (b) {
    pixel = b == 6 ? 3 : b;
  } else if (h->has_cmap) {
    b = h->cmap_entries < 257 ? 1 : 2;
    pixel = b;
  } else {
    switch (h->color_model) {
      case IFF_CM_RGB:
      case IFF_CM_YCBCR:
        b = 3;
        break;
      case IFF_CM_GRAY:
        b = 1;
        break;
      case IFF_CM_CMYK:
      case IFF_CM_RGBA:
        b = 4;
        break;
      default:
        return Raise(__LINE__, IFF_E_CMAP);
    }
    pixel = b;
  }
  if (b == 2 && h->color_model == IFF_CM_GRAY) pixel = 1;
  if (h->has_cmap) pixel = b == 1 ? 1 : 3;
  if (h->color_model == IFF_CM_CMYK && !cb->keep_cmyk) {
    cb->color_model = IFF_CM_RGB;
    h->color_model = IFF_CM_RGB;
    pixel = 3;
  }
  cb->bytes_per_pixel = b;
  cb->pixel_size = pixel;
  cb->width = h->width;
  cb->height = h->height;

  cb->has_cmap = h->has_cmap;
  if (h->has_cmap) {
    cb->cmap_entry_size = EntrySize(cb->reported_model, cb->bits_per_sample);
    cb->cmap_kept = std::min(h->cmap_entries, 256);
    cb->cmap_file_entries = h->cmap_entries;
    h->cmap_entries = cb->cmap_kept;
    if (b > 1 || cb->reported_model == IFF_CM_GRAY) {
      // Wide indexes and grey maps are applied here; the client sees pixels.
      rc = IffRdCMap(cb);
      if (rc) return rc;
      h->has_cmap = 0;
    } else {
      cb->color_model = IFF_CM_PALETTE;
      h->color_model = IFF_CM_PALETTE;
    }
  }

  size_t line_size = static_cast<size_t>(std::max(b, 4)) * (static_cast<size_t>(h->width) + 10);
  auto *line = static_cast<unsigned char *>(realloc(cb->line, line_size));
  if (!line) return Raise(__LINE__, CMN_E_NOMEM);
  memset(line, 0, line_size);
  cb->line = line;
  cb->line_size = line_size;
  // The changes of a bilevel line handed over as runs: at most one a pixel.
  auto *changes = static_cast<int32_t *>(
      realloc(cb->changes, (static_cast<size_t>(std::max(h->width, 0)) + 1) * sizeof(int32_t)));
  if (!changes) return Raise(__LINE__, CMN_E_NOMEM);
  cb->changes = changes;

  cb->bottom_up = h->orientation == 2;
  cb->page_count = h->page_count;
  // A new page starts at its full size.
  cb->level = 0;
  cb->lines_read = 0;
  cb->level_count = std::min(std::max(h->level_count, 0), IFF_MAX_LEVEL_SIZES);
  for (int32_t i = 0; i < 2 * cb->level_count; ++i) cb->level_sizes[i] = h->level_sizes[i];
  if (h->x_resolution != 0) {
    cb->x_resolution = h->x_resolution;
    cb->resolution_known = 1;
  }
  if (h->y_resolution != 0) cb->y_resolution = h->y_resolution;

  // Where the client samples pixels for the frequent colours: uniform over
  // the image, in reading order.
  if (!cb->sample_values) {
    cb->sample_values = static_cast<uint32_t *>(calloc(IFF_SAMPLES, sizeof(uint32_t)));
    cb->sample_rows = static_cast<uint32_t *>(calloc(IFF_SAMPLES, sizeof(uint32_t)));
    cb->sample_cols = static_cast<uint32_t *>(calloc(IFF_SAMPLES, sizeof(uint32_t)));
    if (!cb->sample_values || !cb->sample_rows || !cb->sample_cols)
      return Raise(__LINE__, CMN_E_NOMEM);
  }
  // Positions are pixel numbers in reading order; a large image has more
  // pixels than 32 bits count, so they are kept in 64 bits until split.
  double area = static_cast<double>(h->width) * static_cast<double>(h->height);
  uint64_t positions[IFF_SAMPLES];
  for (uint64_t &p : positions)
    p = static_cast<uint64_t>(static_cast<double>(rand()) * area * 4.656612873077393e-10);
  std::sort(positions, positions + IFF_SAMPLES);
  const uint64_t width = static_cast<uint64_t>(h->width);
  for (int i = 0; i < IFF_SAMPLES; ++i) {
    cb->sample_rows[i] = static_cast<uint32_t>(positions[i] / width);
    cb->sample_cols[i] = static_cast<uint32_t>(positions[i] % width);
  }
  cb->sample_cursor = 0;
  return 0;
}

}  // namespace

ReturnTp IffRdCMap(IffControlBlockTp *cb) {
  if (!cb) return Raise(__LINE__, IFF_E_CB_NULL);
  if (cb->service != IFF_SRV_IMPORT) return Raise(__LINE__, IFF_E_SERVICE);
  if (!cb->has_cmap) return Raise(__LINE__, IFF_E_NO_CMAP_RD);

  // Room for every entry of the file, and for every 12-bit index that a
  // wide pixel can hold, so that no pixel reads past the map.
  int32_t entries = std::max(256, cb->cmap_file_entries);
  if (cb->bytes_per_pixel > 1) entries = std::max(entries, kIndexReach);
  size_t size = static_cast<size_t>(entries) * static_cast<size_t>(cb->cmap_entry_size);
  free(cb->cmap);
  cb->cmap = static_cast<unsigned char *>(calloc(size, 1));
  if (!cb->cmap) {
    cb->cmap_size = 0;
    return Raise(__LINE__, CMN_E_NOMEM);
  }
  cb->cmap_size = size;

  if (!cb->driver.RdCMap) return Raise(__LINE__, IFF_E_NOT_LINKED);
  IffParamTp p = {};
  p.cmap = cb->cmap;
  p.cmap_entries = cb->cmap_file_entries;
  p.client_data = cb->client_data;
  ReturnTp rc = cb->driver.RdCMap(cb->driver_state, &p);
  if (rc) return rc;

  if (cb->reported_model == IFF_CM_CMYK && !cb->keep_cmyk && cb->cmap_entry_size == 4) {
    for (int32_t i = 0; i < entries; ++i) CmykToRgb(cb->cmap + 4 * i, cb->cmap + 3 * i);
    cb->cmap_entry_size = 3;
  }
  if (cb->bytes_per_pixel > 1 || cb->reported_model == IFF_CM_GRAY) cb->has_cmap = 0;
  if (cb->bits_per_sample < 8 && cb->bits_per_sample > 0) {
    size_t used = static_cast<size_t>(entries) * static_cast<size_t>(cb->cmap_entry_size);
    for (size_t i = 0; i < used; ++i) cb->cmap[i] = Spread(cb->cmap[i], cb->bits_per_sample);
    cb->bits_per_sample = 8;
  }
  return 0;
}

// Two-byte samples hold values of the reported bits (12-bit JPEG and JPEG
// 2000 deliver 0..4095): their top eight bits are shown. A driver that
// reports 8 bits or fewer beside two-byte samples has widened them to 16.
static int WideShift(int32_t bits_per_sample) {
  return bits_per_sample > 8 ? std::min(bits_per_sample - 8, 8) : 8;
}

namespace {

// One scan request to the driver, with the checks and the accounting of
// every line read, whatever form the line comes in. *done is false when
// the request never reached the driver (rc is then the answer).
ReturnTp AskDriver(IffControlBlockTp *cb, int32_t count, int32_t line, IffParamTp *p, bool *done) {
  *done = false;
  if (!cb) return Raise(__LINE__, IFF_E_CB_NULL);
  if (!cb->line) return Raise(__LINE__, IFF_E_SCANLINE_PTR);
  if (line < 0 || line >= cb->height) {
    ++g_missing_lines;
    if (g_missing_lines <= 10) {
      char text[80];
      snprintf(text, sizeof text, "Trying to read a line (%d) that does not exist", line);
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, text);
    }
    if (g_missing_lines > 100) {
      CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, "Giving up..");
      exit(1);
    }
    return Raise(__LINE__, IFF_E_RD_NO_LINE);
  }
  if (!cb->driver.RdScan) return Raise(__LINE__, IFF_E_NOT_LINKED);

  p->line = line;
  p->nlines = count;
  p->buffer = cb->line;
  p->line_step = cb->line_step;
  p->client_data = cb->client_data;
  p->level = cb->level;
  ++cb->lines_read;
  *done = true;
  ReturnTp rc = cb->driver.RdScan(cb->driver_state, p);
  if (!rc && IfiInputExhausted(cb->input)) {
    *done = false;
    return Raise(__LINE__, IFI_E_EOF);
  }
  // A picture that runs out of data is shown as far as it goes, but never
  // passes for a whole one: said once per input, and counted for the run.
  if (!rc && !cb->data_missing && cb->input &&
      cb->input->made_up - cb->input->salvaged > cb->made_up_at_head) {
    cb->data_missing = 1;
    ++g_incomplete_inputs;
    CmnError(CMN_SOURCE, __LINE__, IFI_W_DATA_MISSING);
  }
  return rc;
}

// The bytes a driver delivered to the interface's pixels, in place.
ReturnTp PostProcess(IffControlBlockTp *cb, ReturnTp rc) {
  unsigned char *l = cb->line;
  const int32_t w = cb->width;
  const int32_t b = cb->bytes_per_pixel;
  const bool cmap = cb->cmap != nullptr && cb->cmap_size > 0;
  const int es = cb->cmap_entry_size;
  if (b == 6) {
    const int shift = WideShift(cb->bits_per_sample);
    for (int32_t i = 0; i < 3 * w; ++i) {
      const unsigned v = (l[2 * i] | (l[2 * i + 1] << 8)) >> shift;
      l[i] = static_cast<unsigned char>(std::min(v, 255u));
    }
  } else if (b == 2 && cmap) {
    for (int32_t i = w - 1; i >= 0; --i) {
      unsigned index = ((l[2 * i] << 8) | l[2 * i + 1]) & 0xFFF;
      const unsigned char *e = cb->cmap + static_cast<size_t>(index) * es;
      int step = es >= 6 ? 2 : 1;  // 16-bit components: their high bytes
      unsigned char r = e[0], g = e[step], bl = e[2 * step];
      l[3 * i] = r;
      l[3 * i + 1] = g;
      l[3 * i + 2] = bl;
    }
  } else if (b == 2) {
    const int shift = WideShift(cb->bits_per_sample);
    for (int32_t i = 0; i < w; ++i)
      l[i] = static_cast<unsigned char>((l[2 * i] | (l[2 * i + 1] << 8)) >> shift);
  } else if (b == 4 && cb->cmap_file_entries > 256 && cmap) {
    for (int32_t i = 0; i < w; ++i) {
      unsigned index = (l[4 * i] | (l[4 * i + 1] << 8)) & 0xFFF;
      const unsigned char *e = cb->cmap + static_cast<size_t>(index) * es;
      int step = es >= 6 ? 2 : 1;
      unsigned char r = e[0], g = e[step], bl = e[2 * step];
      l[3 * i] = r;
      l[3 * i + 1] = g;
      l[3 * i + 2] = bl;
    }
  } else if (cb->reported_model == IFF_CM_CMYK && !cb->keep_cmyk) {
    for (int32_t i = 0; i < w; ++i) CmykToRgb(l + 4 * i, l + 3 * i);
  } else if (!cb->has_cmap && cb->bits_per_sample < 8 && cb->bits_per_sample > 0) {
    for (int32_t i = 0; i < b * w; ++i) l[i] = Spread(l[i], cb->bits_per_sample);
  }
  if (cb->reverse_lines) {
    const int32_t ps = cb->pixel_size;
    for (int32_t a = 0, z = w - 1; a < z; ++a, --z)
      std::swap_ranges(l + static_cast<size_t>(a) * ps, l + static_cast<size_t>(a + 1) * ps,
                       l + static_cast<size_t>(z) * ps);
  }
  return cb->ignore_scan_errors ? 0 : rc;
}

}  // namespace

ReturnTp IffRdScan(IffControlBlockTp *cb, int32_t count, int32_t line) {
  IffParamTp p = {};
  bool done;
  const ReturnTp rc = AskDriver(cb, count, line, &p, &done);
  return done ? PostProcess(cb, rc) : rc;
}

ReturnTp IffRdScanRuns(IffControlBlockTp *cb, int32_t line, IffRunLineTp *out, bool bits_too) {
  *out = IffRunLineTp{nullptr, nullptr, -1, {0, 0}};
  // Only lines the interface passes on as they come may skip their bytes:
  // one byte per pixel, not reversed, no colour model to convert.
  const bool eligible = cb && cb->line && cb->bytes_per_pixel == 1 && cb->pixel_size == 1 &&
                        !cb->reverse_lines && cb->width > 0 &&
                        !(cb->reported_model == IFF_CM_CMYK && !cb->keep_cmyk);
  // Without a header read (no room for changes) the line comes as bytes.
  if (!eligible || !cb->changes) return IffRdScan(cb, 1, line);
  IffParamTp p = {};
  p.runs_wanted = 1;
  bool done;
  ReturnTp rc = AskDriver(cb, 1, line, &p, &done);
  if (!done) return rc;
  const int32_t w = cb->width;
  if (p.line_form == IFF_LINE_BITS && p.bits) {
    if (bits_too) {
      out->bits = p.bits;
      out->count = 0;
    } else {
      out->count = IfuBitsToChanges(w, p.bits, cb->changes);
    }
  } else if (p.line_form == IFF_LINE_RUNS && (p.changes || p.change_count <= 0)) {
    // Runs are taken as a driver gives them (a damaged fax row may repeat
    // a column): the pixels from changes[2k] to changes[2k + 1] take the
    // second level. Columns that already increase from 0 within the width
    // (the last may be the width) are handed on as they are.
    const int32_t m = p.change_count;
    bool plain = m <= 0 || (p.changes[0] >= 0 && p.changes[m - 1] <= w);
    // A line of a drawing has hundreds: four compared a step.
    typedef int32_t Four __attribute__((vector_size(16)));
    Four falls = {0, 0, 0, 0};
    int32_t at = 1;
    for (; at + 4 <= m; at += 4) {
      Four a, b;
      memcpy(&a, p.changes + at - 1, sizeof a);
      memcpy(&b, p.changes + at, sizeof b);
      falls |= a >= b;
    }
    for (; at < m; ++at) falls[0] |= p.changes[at - 1] >= p.changes[at];
    if (plain && (falls[0] | falls[1] | falls[2] | falls[3]) == 0) {
      out->changes = p.changes;
      out->count = m > 0 ? m - (p.changes[m - 1] == w) : 0;
    } else {
      int32_t n = 0;
      for (int32_t i = 0; i < p.change_count; i += 2) {
        const int32_t from = std::max(p.changes[i], 0);
        const int32_t to = i + 1 < p.change_count ? std::min(p.changes[i + 1], w) : w;
        if (from >= to || from >= w) continue;
        if (n > 0 && from <= cb->changes[n - 1]) {
          cb->changes[n - 1] = std::max(cb->changes[n - 1], to);
        } else {
          cb->changes[n++] = from;
          cb->changes[n++] = to;
        }
      }
      if (n > 0 && cb->changes[n - 1] >= w) --n;
      out->count = n;
      out->changes = cb->changes;
    }
  } else {
    return PostProcess(cb, rc);  // the driver gave bytes
  }
  if (!out->bits && !out->changes) out->changes = cb->changes;
  out->levels[0] = p.levels[0];
  out->levels[1] = p.levels[1];
  // Levels below 8 bits are spread to bytes as their lines would be.
  if (!cb->has_cmap && cb->bits_per_sample < 8 && cb->bits_per_sample > 0)
    for (int k = 0; k < 2; ++k) out->levels[k] = Spread(out->levels[k], cb->bits_per_sample);
  return cb->ignore_scan_errors ? 0 : rc;
}

ReturnTp IffRequestLevel(IffControlBlockTp *cb, int32_t level) {
  if (!cb) return Raise(__LINE__, IFF_E_CB_NULL);
  if (cb->service != IFF_SRV_IMPORT || !cb->header_read || cb->lines_read > 0 || level < 0 ||
      level >= std::max(cb->level_count, 1))
    return Raise(__LINE__, CMN_E_INVALID_ARG);
  if (level == cb->level) return 0;
  const int32_t from_w = cb->width, from_h = cb->height;
  const int32_t w = cb->level_sizes[2 * level], h = cb->level_sizes[2 * level + 1];
  // The line buffer was sized for the full width; a level is never wider.
  const size_t room = cb->line_size / static_cast<size_t>(std::max(cb->bytes_per_pixel, 4));
  if (w < 1 || h < 1 || static_cast<size_t>(w) + 10 > room || h > cb->level_sizes[1])
    return Raise(__LINE__, IFF_E_BAD_HEADER);
  cb->level = level;
  cb->width = w;
  cb->height = h;
  if (cb->sample_rows && cb->sample_cols)
    for (int i = 0; i < IFF_SAMPLES; ++i) {
      cb->sample_rows[i] = static_cast<uint32_t>(uint64_t{cb->sample_rows[i]} * h / from_h);
      cb->sample_cols[i] = static_cast<uint32_t>(uint64_t{cb->sample_cols[i]} * w / from_w);
    }
  return 0;
}

void IffViewOrientation(int32_t view, int32_t *orientation, int32_t *mirrored) {
  // Lines are mirrored before they are turned: 5 (lines down the left
  // side, top to bottom) is mirrored lines turned anticlockwise, 7
  // mirrored lines turned clockwise.
  static const int32_t kView[9][2] = {{0, 0}, {0, 0}, {0, 1}, {2, 1}, {2, 0},
                                      {3, 1}, {1, 0}, {1, 1}, {3, 0}};
  const int32_t v = view >= 1 && view <= 8 ? view : 1;
  *orientation = kView[v][0];
  *mirrored = kView[v][1];
}

ReturnTp IffWtHead(IffControlBlockTp *cb, int32_t width, int32_t height, int32_t aspect_x,
                   int32_t aspect_y, int32_t has_cmap, uint32_t color_model, int32_t cmap_entries,
                   int32_t bits_per_sample, const uint64_t compression[3], int32_t orientation,
                   int32_t mirrored, uint64_t extra, void *client_data) {
  if (!cb) return Raise(__LINE__, IFF_E_CB_NULL);
  if (cb->service != IFF_SRV_EXPORT) return Raise(__LINE__, IFF_E_SERVICE);
  if (width <= 0 || height <= 0 || aspect_x == 0 || aspect_y == 0 || bits_per_sample > 16)
    return Raise(__LINE__, IFF_E_WT_HEADER);
  if (has_cmap > 1) return Raise(__LINE__, IFF_E_HAS_CMAP);
  switch (color_model) {
    case IFF_CM_RGB:
    case IFF_CM_GRAY:
    case IFF_CM_BILEVEL:
    case IFF_CM_RGBA:
    case IFF_CM_PALETTE:
      break;
    default:
      return Raise(__LINE__, IFF_E_CMAP);
  }
  if (cmap_entries != 0 && !has_cmap) return Raise(__LINE__, IFF_E_CMAP_SIZE);
  if (orientation > 3) return Raise(__LINE__, IFF_E_ORIENTATION);
  if (mirrored > 1) return Raise(__LINE__, IFF_E_MIRRORED);
  if (!cb->driver.WtHead) return Raise(__LINE__, IFF_E_IMPORT_ONLY);

  IffParamTp p = {};
  p.width = width;
  p.height = height;
  p.aspect_x = aspect_x;
  p.aspect_y = aspect_y;
  p.has_cmap = has_cmap;
  p.color_model = color_model;
  p.cmap_entries = cmap_entries;
  p.bits_per_sample = bits_per_sample;
  p.orientation = orientation;
  p.mirrored = mirrored;
  p.extra = extra;
  p.client_data = client_data;
  p.x_resolution = cb->x_resolution;
  p.y_resolution = cb->y_resolution;
  p.resolution_known = cb->resolution_known;
  p.export_option = cb->export_option;
  p.page_count = cb->page_count;
  if (compression)
    for (int i = 0; i < 3; ++i) p.compression[i] = compression[i];
  cb->client_data = client_data;
  ReturnTp rc = cb->driver.WtHead(cb->driver_state, &p);
  if (rc) return rc;
  cb->has_cmap = has_cmap;
  cb->height = height;
  cb->width = width;
  return 0;
}

ReturnTp IffWtCMap(IffControlBlockTp *cb, unsigned char *cmap) {
  if (!cb) return Raise(__LINE__, IFF_E_CB_NULL);
  if (!cmap) return Raise(__LINE__, IFF_E_CMAP_PTR);
  if (cb->service != IFF_SRV_EXPORT) return Raise(__LINE__, IFF_E_SERVICE);
  if (!cb->has_cmap) return Raise(__LINE__, IFF_E_NO_CMAP_WT);
  if (!cb->driver.WtCMap) return Raise(__LINE__, IFF_E_NOT_LINKED);
  IffParamTp p = {};
  p.cmap = cmap;
  p.transparent = cb->transparent;
  p.transparent_index = cb->transparent_index;
  p.client_data = cb->client_data;
  return cb->driver.WtCMap(cb->driver_state, &p);
}

ReturnTp IffWtScan(IffControlBlockTp *cb, int32_t line, unsigned char *buffer) {
  if (!cb) return Raise(__LINE__, IFF_E_CB_NULL);
  if (!buffer) return Raise(__LINE__, IFF_E_SCANLINE_PTR);
  if (line < 0 || line >= cb->height) return Raise(__LINE__, IFF_E_WT_NO_LINE);
  if (!cb->driver.WtScan) return Raise(__LINE__, IFF_E_NOT_LINKED);
  IffParamTp p = {};
  p.line = line;
  p.buffer = buffer;
  p.nlines = 1;
  p.line_step = 1;
  p.client_data = cb->client_data;
  return cb->driver.WtScan(cb->driver_state, &p);
}

ReturnTp IffTerm(IffControlBlockTp **holder) {
  if (!holder || !*holder) return 0;
  IffControlBlockTp *cb = *holder;
  // A driver that fails to finish its file has still let go of it: the
  // block is freed all the same, and the failure passed on.
  ReturnTp rc = 0;
  if (cb->driver.Term && cb->driver_state) rc = cb->driver.Term(&cb->driver_state);
  if (cb->stream) IfiClose(cb->stream);
  free(cb->cmap);
  free(cb->bgrx_cmap);
  free(cb->line);
  free(cb->changes);
  free(cb->sample_values);
  free(cb->sample_rows);
  free(cb->sample_cols);
  free(cb->description);
  free(cb);
  *holder = nullptr;
  return rc;
}

void IffFrequentColors(IffControlBlockTp *cb) {
  if (!cb || !cb->sample_values) return;
  uint32_t values[IFF_SAMPLES];
  int32_t counts[IFF_SAMPLES];
  int distinct = 0;
  for (int i = 0; i < IFF_SAMPLES; ++i) {
    uint32_t v = cb->sample_values[i];
    int k = 0;
    while (k < distinct && values[k] != v) ++k;
    if (k == distinct) {
      values[distinct] = v;
      counts[distinct++] = 0;
    }
    ++counts[k];
  }
  for (int pick = 0; pick < 256; ++pick) {
    int best = 0;
    int32_t best_count = 0;
    for (int k = 0; k < distinct; ++k)
      if (counts[k] > best_count) {
        best = k;
        best_count = counts[k];
      }
    cb->frequent[pick] = values[best];
    counts[best] = 0;
  }
}

ReturnTp IffOpenDriverStream(IffOpenRequestTp *request, IfiHandleTp **handle, void *header,
                             size_t size, bool *opened_here, IffHeaderNeedTp need, size_t *got) {
  const bool exporting = request->service == IFF_SRV_EXPORT;
  IfiHandleTp *h = exporting ? nullptr : request->stream;
  if (opened_here) *opened_here = h == nullptr;
  if (got) *got = 0;
  if (exporting) return IfiOpenWrite(&request->spec, handle);
  if (!h) {
    ReturnTp rc = IfiOpenRead(nullptr, &request->spec, &h);
    if (rc) return rc;
  }
  if (need == IFF_HEADER_AS_FOUND) {
    const size_t n = size && IfiSeek(h, 0, 0) == 0 ? IfiFetch(header, 1, size, h) : 0;
    if (size) memset(static_cast<unsigned char *>(header) + n, 0, size - n);
    if (got) *got = n;
    *handle = h;
    return 0;
  }
  ReturnTp rc = IfiSeek(h, 0, 0);
  if (!rc && size) rc = IfiRead(header, size, 1, h);
  if (rc) {
    if (h != request->stream) IfiClose(h);
    return rc;
  }
  *handle = h;
  return 0;
}
