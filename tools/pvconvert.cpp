// pvconvert: reads an image through the viewer's reading layer, with the
// viewer's image options, and writes the resulting lines through the image
// file interface. "pvconvert -info <in-file>" describes the input instead.
//
// A regular output file is written under a temporary name in its own
// directory and renamed when complete, so a failed or interrupted
// conversion never leaves a file that looks finished.
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common.h"
#include "image.h"
#include "imagefile.h"
#include "pvbatch.h"
#include "pvinit.h"

#define CMN_SOURCE "pvconvert"

namespace {

CmdOptionTp cvOptions[] = {
    {"", 0, nullptr, "GENERAL:"},
    {"help", 0, nullptr, ""},
    {"info", 0, nullptr, "(describe the input file)"},
    {"type", 1, nullptr, nullptr},  // help: the writer words, set in main
    {"pageno", 1, nullptr, "Page number"},
    {"destdir", 1, nullptr, "<dir> (convert every input file into this directory)"},
    {"jobs", 1, nullptr, "<n> (with -destdir: files converted at once; default: processors)"},
    {"skipexisting", 0, nullptr, "(with -destdir: keep outputs newer than their input)"},
    {"compression", 1, nullptr,
     "<none | lzw | packbits | rle | g3 | g4 | mh | flate | deflate | zip | baseline | sequential "
     "| "
     "progressive | lossless | lossy>"
     " (TIFF: none to mh, deflate, baseline, lossless; PDF: none, g4, flate, baseline; CGM: none, "
     "rle;"
     " JPEG: baseline to lossless; JPEG 2000: lossless, lossy)"},
    {"quality", 1, nullptr, "<1..20> (JPEG coding: 1 smallest, 20 best; default 10)"},
    {"ratio", 1, nullptr, "<n> (lossy JPEG 2000: compression ratio; default 10)"},
    {"subsampling", 1, nullptr,
     "<1x1 | 2x1 | 2x2> (JPEG colour: luminance samples per chrominance sample)"},
    {"", 0, nullptr, "COLORS:"},
    IMG_COLOR_MODE_OPTION_ROWS,
    IMG_COLOR_FACTOR_OPTION_ROWS,
    {"", 0, nullptr, "GEOMETRY:"},
    {"crop", 1, nullptr, "[<width>][x<height>][+/-<xoff>[+/-<yoff>]]"},
    {"rotate", 1, nullptr, "<0 | 90 | 180 | 270>"},
    {"mirror", 1, nullptr, "<none | horizontal | vertical | both>"},
    {"scalemethod", 1, nullptr, "<averaging | interpolation | replication>"},
    {"size", 1, nullptr, "[<width>][x<height>]"},
    {"relcrop", 1, nullptr, nullptr},
    {"", 0, nullptr, "STAMP and LABEL:"},
    IMG_STAMP_OPTION_ROWS,
    {nullptr, 0, nullptr, nullptr},
};

char **cvFiles = nullptr;
int cvNFiles = 0;

[[noreturn]] void Exit(int status) {
  CmdFreeOpts(cvOptions, &cvFiles);
  exit(status);
}

// What the writer is asked for: a type code and the colour model of the
// lines handed to it.
struct OutputKindTp {
  uint32_t type;
  uint32_t model;        // IFF_CM_RGB, IFF_CM_GRAY, IFF_CM_BILEVEL, IFF_CM_PALETTE or IFF_CM_RGBA
  uint64_t compression;  // the header's compression code (IFF_COMP_*)
  uint64_t level = 0;    // its second word: JPEG quality or JPEG 2000 ratio
  uint64_t sampling = IFF_SAMPLING_2X1;  // its third word for JPEG colour
};

// The -compression words and the header codes they ask for; each writer
// refuses the codes it does not write. The fax codings take black and
// white only: the lines handed over are bilevel then.
// The words of the JPEG family name a code per output: JPEG coding (JPEG
// files, and the JPEG inside TIFF and PDF) or JPEG 2000; 0 where the
// output has no such coding, which its writer then refuses.
bool ChooseCompression(const char *word, OutputKindTp *kind) {
  constexpr uint64_t kNo = ~uint64_t{0};
  static const struct {
    const char *word;
    uint64_t code, j2k;  // the code for most outputs, and for JPEG 2000
  } kCodes[] = {{"none", IFF_COMP_NONE, IFF_COMP_NONE},
                {"lzw", IFF_COMP_LZW, kNo},
                {"packbits", IFF_COMP_RLE, kNo},
                {"rle", IFF_COMP_RLE, kNo},
                {"g3", IFF_COMP_G3, kNo},
                {"g4", IFF_COMP_G4, kNo},
                {"mh", IFF_COMP_G3_TIFF, kNo},
                {"flate", IFF_COMP_DEFLATE, kNo},
                {"lossless", IFF_COMP_JPEG_LOSSLESS, IFF_COMP_WAVELET_LOSSLESS},
                {"baseline", IFF_COMP_JPEG_BASELINE, kNo},
                {"sequential", IFF_COMP_JPEG_SEQUENTIAL, kNo},
                {"progressive", IFF_COMP_JPEG_PROGRESSIVE, kNo},
                {"lossy", IFF_COMP_JPEG_BASELINE, IFF_COMP_WAVELET_LOSSY},
                {"deflate", IFF_COMP_DEFLATE, kNo},
                {"zip", IFF_COMP_DEFLATE, kNo}};
  if (!word) return true;
  for (const auto &c : kCodes)
    if (strcasecmp(word, c.word) == 0) {
      const uint64_t code = kind->type == IFF_TYPE_J2K ? c.j2k : c.code;
      if (code == kNo) return false;
      kind->compression = code;
      const IffFormatTp *format = IffFormatOf(kind->type);
      const bool fax = c.code == IFF_COMP_G3 || c.code == IFF_COMP_G4 || c.code == IFF_COMP_G3_TIFF;
      if (fax && format && (format->write_models & IFF_MODEL_BIT(IFF_CM_BILEVEL)))
        kind->model = IFF_CM_BILEVEL;
      return true;
    }
  return false;
}

// A whole number from min to max, or the default when the option is absent.
bool NumberOption(const char *name, long min, long max, long fallback, uint64_t *value) {
  const char *text = static_cast<const char *>(CmdGetOpt(cvOptions, name));
  long v = fallback;
  if (text) {
    char *end;
    v = strtol(text, &end, 10);
    if (end == text || *end || v < min || v > max) {
      CmnInfoPrintf(nullptr, "Bad value [%s] for option [-%s]\n", text, name);
      return false;
    }
  }
  *value = static_cast<uint64_t>(v);
  return true;
}

// The second and third words of the compression request: the JPEG
// quality (10 unless asked), the JPEG 2000 ratio, the JPEG sampling.
bool ChooseLevel(OutputKindTp *kind) {
  // A JPEG file asked for a quality or a sampling is a baseline one.
  if (kind->type == IFF_TYPE_JPEG && kind->compression == IFF_COMP_NONE &&
      (CmdGetOpt(cvOptions, "quality") || CmdGetOpt(cvOptions, "subsampling")))
    kind->compression = IFF_COMP_JPEG_BASELINE;
  const uint64_t code = kind->compression;
  if (kind->type == IFF_TYPE_J2K) return NumberOption("ratio", 1, 1000, 10, &kind->level);
  if (code < IFF_COMP_JPEG_LOSSLESS || code > IFF_COMP_JPEG_PROGRESSIVE) return true;
  if (!NumberOption("quality", 1, 20, 10, &kind->level)) return false;
  const char *sampling = static_cast<const char *>(CmdGetOpt(cvOptions, "subsampling"));
  if (!sampling || strcasecmp(sampling, "2x1") == 0) return true;
  if (strcasecmp(sampling, "1x1") == 0) {
    kind->sampling = IFF_SAMPLING_1X1;
  } else if (strcasecmp(sampling, "2x2") == 0) {
    kind->sampling = IFF_SAMPLING_2X2;
  } else {
    CmnInfoPrintf(nullptr, "Bad value [%s] for option [-subsampling]\n", sampling);
    return false;
  }
  return true;
}

bool KindFromWord(const char *word, OutputKindTp *kind) {
  const IffWriterWordTp *w = IffFindWriter(word);
  if (!w) return false;
  *kind = {w->type, w->model, IFF_COMP_NONE};
  return true;
}

// The -type value, else the output's extension.
bool ChooseKind(const char *type, const char *out, OutputKindTp *kind) {
  if (type) {
    char *end;
    const long number = strtol(type, &end, 10);
    if (end != type && !*end) {
      if (number < 2 || number >= IFF_TYPE_COUNT) return false;
      kind->type = static_cast<uint32_t>(number);
      // True colour where the format takes it, else its palette form.
      const IffFormatTp *format = IffFormatOf(kind->type);
      const uint32_t models = format ? format->write_models : 0;
      kind->model =
          !(models & IFF_MODEL_BIT(IFF_CM_RGB)) && (models & IFF_MODEL_BIT(IFF_CM_PALETTE))
              ? IFF_CM_PALETTE
              : IFF_CM_RGB;
      return true;
    }
    return KindFromWord(type, kind);
  }
  const char *dot = strrchr(out, '.');
  const char *slash = strrchr(out, '/');
  if (!dot || (slash && dot < slash)) return false;
  return KindFromWord(dot + 1, kind);
}

// The pages of a file whose format does not say how many it holds: the
// headers that follow the first one, counted without reading any picture.
int CountPages(ImgControlBlockTp *cb) {
  if (cb->page_count > 0) return cb->page_count;
  if (!cb->iff || !cb->iff->multipage) return 1;
  int pages = 1;
  const uint32_t quiet = CMN_SEV_INFO | CMN_SEV_WARNING | CMN_SEV_ERROR | CMN_SEV_INTERNAL;
  CmnFilterOn(quiet);  // what follows the last picture is no concern here
  for (;;) {
    IffParamTp head = {};
    if (IffRdHead(cb->iff, 0, cb, &head)) break;
    for (char **text : {&head.title, &head.description, &head.pagelist}) CmnStrFree(text);
    ++pages;
  }
  CmnFilterOff(quiet);
  return pages;
}

// An open input that is an image we can read.
int Info(const char *name, ImgOpenParamsTp *params) {
  ImgControlBlockTp *cb = nullptr;
  ReturnTp rc = ImgOpenPicture(name, &cb, params);
  if (!rc) {
    printf("Type: %s\n", cb->type_description ? cb->type_description : "");
    // The size a conversion writes: lines as stored, whatever pixel
    // aspect the header gives (the viewer's own scaling applies it), of
    // the upright page.
    int32_t w = cb->width, h = cb->source_lines;
    if (cb->file_turn == 90 || cb->file_turn == 270) std::swap(w, h);
    printf("Width: %d\n", w);
    printf("Height: %d\n", h);
    const int bits = FXIBitsPerPixel;
    const char *compression = *cb->compression ? cb->compression : "none";
    printf("Pages: %d\n", CountPages(cb));
    printf("Bits per pixel: %d\n", bits);
    printf("Compression: %s\n", compression);
  }
  if (cb) ImgClose(&cb);
  return rc ? 1 : 0;
}

// The palette of a picture of at most 256 colours, each pixel replaced
// by its index; false when there are more.
bool ExactPalette(const std::vector<RgbPixelTp> &frame, std::vector<unsigned char> *index,
                  std::vector<unsigned char> *cmap) {
  std::unordered_map<uint32_t, unsigned char> seen;
  uint32_t last = UINT32_MAX;
  unsigned char last_index = 0;
  for (size_t i = 0; i < frame.size(); ++i) {
    const RgbPixelTp &p = frame[i];
    const uint32_t v = static_cast<uint32_t>(p.red) << 16 | p.green << 8 | p.blue;
    if (v != last) {
      auto found = seen.find(v);
      if (found == seen.end()) {
        if (seen.size() == 256) return false;
        found = seen.emplace(v, static_cast<unsigned char>(seen.size())).first;
        cmap->insert(cmap->end(), {p.red, p.green, p.blue});
      }
      last = v;
      last_index = found->second;
    }
    (*index)[i] = last_index;
  }
  return true;
}

// The whole picture as palette indexes: its own colours when they are few
// enough, else reduced by the viewer's colour reduction.
ReturnTp ReadPalettePicture(ImgControlBlockTp *cb, int32_t w, int32_t h,
                            std::vector<unsigned char> *index, std::vector<unsigned char> *cmap) {
  std::vector<RgbPixelTp> frame;
  try {
    frame.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
  } catch (const std::exception &) {
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  for (int32_t y = 0; y < h; ++y) {
    RgbPixelTp *line = &frame[static_cast<size_t>(y) * static_cast<size_t>(w)];
    ReturnTp rc = ImgReadLine(cb, y, line);
    if (rc) return rc;
    ImgOverWhite(line, line, w);
  }
  index->resize(frame.size());
  if (ExactPalette(frame, index, cmap)) {
    // Palettes of 2, 16 or 256 entries are the sizes every palette writer
    // takes (PCX takes no others); the spare entries are black.
    const size_t entries = cmap->size() / 3;
    cmap->resize(3 * (entries <= 2 ? 2 : entries <= 16 ? 16 : 256), 0);
    return 0;
  }
  RgbPixelTp palette[256] = {};
  const uint32_t inuse[256] = {};
  ImgReduceColors(frame.data(), index->data(), palette, inuse, 255, false, false, w, h);
  cmap->clear();
  for (const RgbPixelTp &p : palette) cmap->insert(cmap->end(), {p.red, p.green, p.blue});
  return 0;
}

// The input's resolution carried through crop, rotation and resizing, so
// that formats with a physical size (a PDF page) keep the picture's; 0
// when the input states none or its pixels are not square.
void OutputResolution(const ImgControlBlockTp *cb, int32_t w, int32_t h, double *xres,
                      double *yres) {
  *xres = *yres = 0;
  if (cb->x_resolution <= 0 || cb->aspect != 0) return;
  int32_t cw = cb->crop_w ? cb->crop_w : cb->width;
  int32_t ch = cb->crop_h ? cb->crop_h : cb->lines;
  if (cb->rotation == 90 || cb->rotation == 270) std::swap(cw, ch);
  if (cw < 1 || ch < 1) return;
  const double y = cb->y_resolution > 0 ? cb->y_resolution : cb->x_resolution;
  *xres = cb->x_resolution * w / cw;
  *yres = y * h / ch;
}

// The lines of the open input, through the writer, as one page of `out`.
ReturnTp WritePage(IffControlBlockTp *out, ImgControlBlockTp *cb, OutputKindTp kind, int32_t w,
                   int32_t h) {
  OutputResolution(cb, w, h, &out->x_resolution, &out->y_resolution);
  out->resolution_known = out->x_resolution > 0;
  uint64_t compression[3] = {kind.compression, kind.level, kind.sampling};
  if (kind.model == IFF_CM_BILEVEL) compression[2] = IFF_ONE_BIT;
  // A palette writer needs the colours of the whole picture first.
  const bool palette = kind.model == IFF_CM_PALETTE;
  std::vector<unsigned char> index, cmap;
  ReturnTp rc = palette ? ReadPalettePicture(cb, w, h, &index, &cmap) : 0;
  const int32_t entries = static_cast<int32_t>(cmap.size() / 3);
  if (!rc)
    rc = IffWtHead(out, w, h, 1, 1, palette, kind.model, entries, 8, compression, 0, 0, 0, nullptr);
  if (!rc && palette) rc = IffWtCMap(out, cmap.data());
  std::vector<RgbPixelTp> line;
  std::vector<unsigned char> bytes;
  if (!rc && !palette) {
    line.resize(static_cast<size_t>(w));
    bytes.resize(static_cast<size_t>(w) * 4);
  }
  for (int32_t y = 0; !rc && y < h; ++y) {
    if (palette) {
      rc = IffWtScan(out, y, &index[static_cast<size_t>(y) * static_cast<size_t>(w)]);
      continue;
    }
    rc = ImgReadLine(cb, y, line.data());
    if (rc) break;
    // A file with an alpha sample keeps the transparency; any other shows
    // what a screen would: transparent parts lie over white.
    if (kind.model == IFF_CM_RGBA) {
      ImgPix2StraightRgba(line.data(), bytes.data(), w);
      rc = IffWtScan(out, y, bytes.data());
      continue;
    }
    ImgOverWhite(line.data(), line.data(), w);
    if (kind.model == IFF_CM_GRAY)
      ImgPix2Gray(line.data(), bytes.data(), w);
    else if (kind.model == IFF_CM_BILEVEL)
      ImgPix2Bilevel(line.data(), bytes.data(), w);
    else
      ImgPix2Rgb(line.data(), bytes.data(), w);
    rc = IffWtScan(out, y, bytes.data());
  }
  return rc;
}

ReturnTp OpenWriter(const char *path, OutputKindTp kind, IffControlBlockTp **out) {
  IffFileSpecTp spec = {};
  spec.name = path;
  return IffInit(nullptr, out, IFF_SRV_EXPORT, &spec, kind.type, IFF_MIN_VERIFY, nullptr);
}

ReturnTp CloseWriter(IffControlBlockTp **out, ReturnTp rc) {
  if (!*out) return rc;
  const ReturnTp closed = IffTerm(out);
  return rc ? rc : closed;
}

// The input opened for its lines. They come straight from the file where
// that gives the picture the viewer shows; otherwise the raster is built
// as the viewer builds it: a page after the first, a header whose pixel
// aspect the raster does not apply, a mirror across a quarter turn (the
// raster turns first), a crop of a page stored on its side, and background
// removal (counted over the raster).
ReturnTp OpenInput(const char *in, ImgOpenParamsTp *params, const ImgColorOpsTp *color,
                   ImgControlBlockTp **pcb, ImgRaw **praw) {
  ImgOpenParamsTp first = *params;
  first.page = 0;
  ImgControlBlockTp *cb = nullptr;
  ReturnTp rc = ImgOpenPicture(in, &cb, &first);
  if (rc) {
    if (cb) ImgClose(&cb);
    return rc;
  }
  // A filter given the angle has turned the page itself: nothing is left
  // to turn, here or in a raster built from it; the stamp still runs along
  // the turned page.
  const int32_t stamp_angle = cb->stamp_angle;
  ImgOpenParamsTp rest = *params;
  rest.rotation = cb->rotation;
  params = &rest;
  const bool turned = params->rotation == 90 || params->rotation == 270;
  // A crop is taken in the upright page, which only the raster holds for a
  // page stored on its side.
  const bool upright_crop =
      cb->file_turn && (CmdGetOpt(cvOptions, "crop") || CmdGetOpt(cvOptions, "relcrop"));
  const bool stream = params->page < 2 && cb->lines == cb->source_lines && !color->removebgs &&
                      !(turned && (params->mirror == 1 || params->mirror == 2)) && !upright_crop;
  if (stream) {
    *pcb = cb;
    return 0;
  }
  *praw = new ImgRaw(cb);
  rc = (*praw)->status();
  if (!rc) rc = (*praw)->readPages(cb, 1, std::max(params->page, 1));
  ImgClose(&cb);
  if (!rc) rc = ImgOpenRaw(*praw, params->page, pcb, params);
  if (!rc) (*pcb)->stamp_angle = stamp_angle;
  return rc;
}

// The hidden temporary output, for the signal handler: removed when the
// user stops the conversion, so that no half-written file is left.
char cvTemporary[4096];

// A conversion stopped by a signal leaves nothing behind: no filter still
// running, no temporary file.
void CleanUpAndDie(int sig) {
  IfiEndFilters();
  if (cvTemporary[0]) unlink(cvTemporary);
  signal(sig, SIG_DFL);
  raise(sig);
}

void ForgetTemporary() { cvTemporary[0] = 0; }

// Where the lines go: `path` itself (standard output as "", a device, a
// FIFO), or `temp` beside it, renamed over it when complete.
struct OutputTp {
  std::string path, temp;
};

// A symbolic link is followed to the file it names, so that the link
// stays. A regular file (or a new one) is replaced at once when complete,
// keeping the mode of the file it replaces; anything else (a device, a
// FIFO, a terminal) is written straight into.
ReturnTp PrepareOutput(const char *outname, OutputTp *out) {
  out->path = outname;
  if (!*outname) return 0;
  struct stat st;
  const bool exists = stat(outname, &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) return 0;
  // The names of links (not those of /proc, which name no file) lead to
  // the regular file, or the place for a new one.
  for (int hops = 0; hops < 40; ++hops) {
    struct stat lst;
    if (lstat(out->path.c_str(), &lst) != 0 || !S_ISLNK(lst.st_mode)) break;
    std::vector<char> link(static_cast<size_t>(lst.st_size > 0 ? lst.st_size : 255) + 1);
    const ssize_t n = readlink(out->path.c_str(), link.data(), link.size() - 1);
    if (n < 0) break;
    const std::string to(link.data(), static_cast<size_t>(n));
    const size_t slash = out->path.rfind('/');
    out->path =
        to[0] == '/' || slash == std::string::npos ? to : out->path.substr(0, slash + 1) + to;
  }

  const size_t slash = out->path.rfind('/');
  std::string temp = slash == std::string::npos ? std::string() : out->path.substr(0, slash + 1);
  temp += ".pvconvert.XXXXXX";
  // The temporary file keeps the output's extension: writers whose files
  // differ by the name asked for (a JPEG 2000 codestream for .j2k, a JP2
  // file for .jp2) see the same name they would see writing in place.
  const size_t dot = out->path.rfind('.');
  std::string ext =
      dot == std::string::npos || dot < slash + 1 ? std::string() : out->path.substr(dot);
  if (ext.size() > 8 || ext.size() < 2) ext.clear();
  temp += ext;
  if (temp.size() >= sizeof cvTemporary) return CmnError(CMN_SOURCE, __LINE__, CMN_E_OPEN, outname);
  // No signal between the file's creation and its name's record: the
  // handler would leave it behind.
  sigset_t ending, before;
  sigemptyset(&ending);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&ending, sig);
  sigprocmask(SIG_BLOCK, &ending, &before);
  const int fd = mkstemps(&temp[0], static_cast<int>(ext.size()));
  if (fd >= 0) snprintf(cvTemporary, sizeof cvTemporary, "%s", temp.c_str());
  sigprocmask(SIG_SETMASK, &before, nullptr);
  if (fd < 0) return CmnError(CMN_SOURCE, __LINE__, CMN_E_OPEN, outname);
  mode_t mode;
  if (exists) {
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  fchmod(fd, mode);
  close(fd);
  out->temp = temp;
  return 0;
}

// The pages -pageno asks for: one page, as always (range false), or a
// range written page by page: "all", "2-5", "3-" (to the last page).
struct PageRangeTp {
  bool range = false;
  int32_t first = 1, last = 0;  // last 0: to the last page
};

bool ParsePageRange(const char *text, PageRangeTp *r) {
  r->range = true;
  if (strcasecmp(text, "all") == 0) return true;
  char *end;
  const long first = strtol(text, &end, 10);
  if (end == text || *end != '-' || first < 1 || first > INT32_MAX) return false;
  const char *rest = end + 1;
  long last = 0;
  if (*rest) {
    last = strtol(rest, &end, 10);
    if (end == rest || *end || last < first || last > INT32_MAX) return false;
  }
  r->first = static_cast<int32_t>(first);
  r->last = static_cast<int32_t>(last);
  return true;
}

// The pages of an input held in one raster when several are written:
// each page is read once, however many follow it.
struct SourceTp {
  std::unique_ptr<ImgRaw> raw;
  int32_t rotation = 0, stamp_angle = 0;
};

ReturnTp OpenSource(const char *in, const ImgOpenParamsTp *params, int32_t last, SourceTp *src) {
  ImgOpenParamsTp first = *params;
  first.page = 0;
  ImgControlBlockTp *cb = nullptr;
  ReturnTp rc = ImgOpenPicture(in, &cb, &first);
  if (!rc) {
    src->rotation = cb->rotation;
    src->stamp_angle = cb->stamp_angle;
    src->raw.reset(new ImgRaw(cb));
    rc = src->raw->status();
    if (!rc) rc = src->raw->readPages(cb, 1, last);
  }
  if (cb) {
    const ReturnTp closed = ImgClose(&cb);
    if (!rc) rc = closed;
  }
  return rc;
}

// Crop, size, scaling method, colours and stamp of the open page, as the
// options ask; false after a message when the size cannot be read.
bool ShapePage(ImgControlBlockTp *cb, const ImgColorOpsTp *color, const ImgStampOptionsTp *stamp,
               int32_t *pw, int32_t *ph, ReturnTp *prc) {
  // Relative crop first, then the absolute crop inside it.
  double fw = 1.0, fh = 1.0, fx = 0.0, fy = 0.0;
  CmdParseRelCrop(static_cast<const char *>(CmdGetOpt(cvOptions, "relcrop")), &fw, &fh, &fx, &fy);
  cb->crop_w = static_cast<int32_t>(cb->width * fw + 0.5);
  cb->crop_h = static_cast<int32_t>(cb->lines * fh + 0.5);
  cb->crop_x = static_cast<int32_t>(fx * cb->width + 0.5);
  cb->crop_y = static_cast<int32_t>(fy * cb->lines + 0.5);
  if (const char *crop = static_cast<const char *>(CmdGetOpt(cvOptions, "crop"))) {
    int32_t x = cb->crop_x, y = cb->crop_y;
    CmdParseCrop(crop, &cb->crop_w, &cb->crop_h, &x, &y);
    cb->crop_x = x;
    cb->crop_y = y;
  }
  // A crop reaching past the picture ends at its edges: what lies beyond
  // is nothing the user can have asked to see enlarged.
  cb->crop_x = std::min(std::max(cb->crop_x, 0), cb->width - 1);
  cb->crop_y = std::min(std::max(cb->crop_y, 0), cb->lines - 1);
  if (cb->crop_w <= 0 || cb->crop_w > cb->width - cb->crop_x) cb->crop_w = cb->width - cb->crop_x;
  if (cb->crop_h <= 0 || cb->crop_h > cb->lines - cb->crop_y) cb->crop_h = cb->lines - cb->crop_y;

  int32_t cw, ch;
  ImgOutputSize(cb, &cw, &ch);
  int64_t w = cw, h = ch;  // a size option can ask for more than 32 bits hold
  if (const char *size = static_cast<const char *>(CmdGetOpt(cvOptions, "size"))) {
    int32_t sw, sh;
    if (!CmdParseSize(size, &sw, &sh)) {
      fprintf(stderr, "Bad format for size.. [%s]\n", size);
      return false;
    }
    if (sw) {
      h = sh ? sh : sw * h / w;
      w = sw;
    } else {
      w = w * sh / h;
      h = sh;
    }
    w = std::max<int64_t>(w, 1);
    h = std::max<int64_t>(h, 1);
  }
  ReturnTp rc = 0;
  if (!IffSizeWithinLimits(w, h)) {
    char text[96];
    snprintf(text, sizeof text, "Output size %lldx%lld is beyond what can be written",
             static_cast<long long>(w), static_cast<long long>(h));
    rc = CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, text);
  }
  if (!rc) rc = ImgSetOutputSize(cb, static_cast<int32_t>(w), static_cast<int32_t>(h));

  static const ImgScaleTp kMethods[] = {ImgScaleAveraging, ImgScaleBilinear, ImgScaleBilinear,
                                        ImgScaleReplication};
  const int method = CmdGetOptPosition(cvOptions, "scalemethod", "averaging", "bilinear",
                                       "interpolation", "replication", nullptr);
  cb->scale_method = method < 0 ? ImgScaleAveraging : kMethods[method];

  ImgCopyColorOptions(color, &cb->color);
  ImgCopyStampOptions(stamp, cb);
  // Only the output size is written: a page read from the file may be
  // decoded at a smaller resolution level that still gives it.
  cb->may_reduce = true;
  *pw = static_cast<int32_t>(w);
  *ph = static_cast<int32_t>(h);
  *prc = rc;
  return true;
}

// What one conversion shares between its pages.
struct JobTp {
  const char *in;
  OutputKindTp kind;
  ImgOpenParamsTp *params;
  const ImgColorOpsTp *color;
  const ImgStampOptionsTp *stamp;
  SourceTp *source;  // null: one page, opened as it streams best
};

// Whether page `page` of the source's chain was read (a page that was not
// says why as it is opened).
bool PageReadable(const JobTp &job, int32_t page) {
  ImgOpenParamsTp params = *job.params;
  params.rotation = job.source->rotation;
  params.page = page;
  ImgControlBlockTp *cb = nullptr;
  const ReturnTp rc = ImgOpenRaw(job.source->raw.get(), page, &cb, &params);
  if (cb) ImgClose(&cb);
  return rc == 0;
}

// Page `page` of the input, open and shaped for writing.
int OpenPage(const JobTp &job, int32_t page, ImgControlBlockTp **pcb, ImgRaw **praw, int32_t *w,
             int32_t *h, ReturnTp *prc) {
  ReturnTp rc;
  if (job.source) {
    ImgOpenParamsTp params = *job.params;
    params.rotation = job.source->rotation;
    params.page = page;
    rc = ImgOpenRaw(job.source->raw.get(), page, pcb, &params);
    if (!rc) (*pcb)->stamp_angle = job.source->stamp_angle;
  } else {
    rc = OpenInput(job.in, job.params, job.color, pcb, praw);
  }
  if (rc) return 1;
  return ShapePage(*pcb, job.color, job.stamp, w, h, prc) ? 0 : 1;
}

// One page into `outname` (through a temporary file), or every page of
// `pages` when the writer takes pages.
int WriteOutput(const JobTp &job, const char *outname, const std::vector<int32_t> &pages) {
  std::vector<ImgControlBlockTp *> cbs;
  ImgRaw *raw = nullptr;
  int32_t w = 0, h = 0;
  ReturnTp rc = 0;
  ImgControlBlockTp *cb = nullptr;
  // The first page before the output: a file that cannot be read leaves
  // no empty output behind.
  int status = OpenPage(job, pages[0], &cb, &raw, &w, &h, &rc);
  OutputTp target;
  IffControlBlockTp *out = nullptr;
  if (!status && !rc) rc = PrepareOutput(outname, &target);
  if (!status && !rc) {
    const char *path = target.temp.empty() ? target.path.c_str() : target.temp.c_str();
    rc = OpenWriter(path, job.kind, &out);
    if (!rc && pages.size() > 1) out->page_count = static_cast<int32_t>(pages.size());
  }
  for (size_t i = 0; !status && !rc && i < pages.size(); ++i) {
    if (i > 0) {
      const ReturnTp closed = ImgClose(&cb);
      if (closed) rc = closed;
      if (!rc) status = OpenPage(job, pages[i], &cb, &raw, &w, &h, &rc);
      if (status || rc) break;
    }
    rc = WritePage(out, cb, job.kind, w, h);
  }
  rc = CloseWriter(&out, rc);
  if (!target.temp.empty()) {
    if (!rc && !status && rename(target.temp.c_str(), target.path.c_str()) != 0)
      rc = CmnError(CMN_SOURCE, __LINE__, CMN_E_WRITE, outname);
    if (rc || status) unlink(target.temp.c_str());
    ForgetTemporary();
  }
  const ReturnTp closed = cb ? ImgClose(&cb) : 0;
  delete raw;
  return status || rc || closed ? 1 : 0;
}

int Convert(const char *in, const char *outname, ImgOpenParamsTp *params,
            const ImgColorOpsTp *color, const ImgStampOptionsTp *stamp,
            const PageRangeTp &range = PageRangeTp(), volatile int *written = nullptr) {
  OutputKindTp kind = {};
  const char *type = static_cast<const char *>(CmdGetOpt(cvOptions, "type"));
  if (!ChooseKind(type, outname, &kind)) {
    // Say what was wrong, and what would be right.
    if (type)
      CmnInfoPrintf(nullptr, "Bad value [%s] for option [-type]\n", type);
    else if (!*outname)
      CmnInfoPrintf(nullptr, "Standard output needs an output type: -type <type>\n");
    else
      CmnInfoPrintf(nullptr, "No output type for [%s]: give -type <type> or a known extension\n",
                    outname);
    CmnInfoPrintf(nullptr, "Output types are: %s\n", IffWriterWords());
    return 1;
  }
  const char *compression = static_cast<const char *>(CmdGetOpt(cvOptions, "compression"));
  if (!ChooseCompression(compression, &kind)) {
    CmnInfoPrintf(nullptr, "Bad value [%s] for option [-compression]\n", compression);
    return 1;
  }
  if (!ChooseLevel(&kind)) return 1;

  JobTp job = {in, kind, params, color, stamp, nullptr};
  int status;
  bool left_out = false;
  if (!range.range) {
    status = WriteOutput(job, outname, {params->page});
    if (!status && written) *written = 1;
  } else {
    // Every page chosen that the file holds; none is an error.
    SourceTp source;
    if (OpenSource(in, params, range.last, &source)) return 1;
    job.source = &source;
    const int32_t held = source.raw->pagesInChain();
    const int32_t last = range.last ? std::min(range.last, held) : held;
    if (range.first > last) {
      char text[64];
      snprintf(text, sizeof text, "The image has no page %d", range.first);
      CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, text);
      return 1;
    }
    // A page that cannot be read says why as it is opened and is left
    // out; the others are written, and the conversion fails all the same.
    std::vector<int32_t> pages;
    for (int32_t p = range.first; p <= last; ++p) {
      if (PageReadable(job, p))
        pages.push_back(p);
      else
        left_out = true;
    }
    if (pages.empty()) return 1;
    const IffFormatTp *format = IffFormatOf(kind.type);
    if (format && format->write_pages) {
      status = WriteOutput(job, outname, pages);
      if (!status && written) *written = static_cast<int>(pages.size());
    } else if (!*outname) {
      CmnInfoPrintf(nullptr, "Standard output takes one page of this type: give -pageno <n>\n");
      return 1;
    } else {
      // One file a page, numbered; each page written stays.
      status = 0;
      for (int32_t p : pages) {
        if (WriteOutput(job, PvBatchPageName(outname, p).c_str(), {p})) {
          status = 1;
          break;
        }
        if (written) ++*written;
      }
    }
  }
  // A picture that ran out of data is written as far as it goes, but the
  // conversion failed all the same.
  return status || left_out || IffIncompleteInputs() ? 1 : 0;
}

// Many inputs into one directory: each converted as a single conversion
// would be, in a worker process of its own (tools/pvbatch).
int Batch(const char *destdir, ImgOpenParamsTp *params, const ImgColorOpsTp *color,
          const ImgStampOptionsTp *stamp, const PageRangeTp &range) {
  PvBatchTp batch;
  batch.destdir = destdir;
  const char *type = static_cast<const char *>(CmdGetOpt(cvOptions, "type"));
  OutputKindTp kind = {};
  if (!type || !ChooseKind(type, "", &kind)) {
    CmnInfoPrintf(nullptr, "-destdir needs an output type: -type <type>\n");
    CmnInfoPrintf(nullptr, "Output types are: %s\n", IffWriterWords());
    return 2;
  }
  // The extension is the type's word; a type number takes its format's
  // first word for that type.
  const IffWriterWordTp *word = IffFindWriter(type);
  const IffFormatTp *format = IffFormatOf(kind.type);
  for (int i = 0; !word && format && i < IFF_FORMAT_WORDS && format->writers[i].word; ++i)
    if (format->writers[i].type == kind.type) word = &format->writers[i];
  if (!word) {
    CmnInfoPrintf(nullptr, "Bad value [%s] for option [-type]\n", type);
    return 2;
  }
  batch.extension = std::string(".") + word->word;
  uint64_t jobs = 0;
  if (CmdGetOpt(cvOptions, "jobs") && !NumberOption("jobs", 1, 4096, 0, &jobs)) return 2;
  batch.jobs = static_cast<long>(jobs);
  batch.skip_existing = CmdGetOpt(cvOptions, "skipexisting") != nullptr;
  if (range.range && !(format && format->write_pages)) batch.first_numbered_page = range.first;
  const std::vector<std::string> inputs(cvFiles, cvFiles + cvNFiles);
  return PvBatchRun(batch, inputs, [&](const char *in, const char *out, volatile int *pages) {
    // A worker that crashes still removes its temporary file.
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) signal(sig, CleanUpAndDie);
    const int status = Convert(in, out, params, color, stamp, range, pages);
    return status == 0 && IfiFilterFailed() ? 1 : status;
  });
}

}  // namespace

int main(int argc, char **argv) {
  CmnKeepFreedMemory();
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(sig, CleanUpAndDie);
  // Installed, the filters find the system directory shipped beside the
  // program unless SYSDIR names another.
  CmnDefaultSysdirToEnv();
  PvInit(PV_INIT_FILTERS);
  const std::string type_help = std::string("<") + IffWriterWords() + " | type number>";
  for (CmdOptionTp *row = cvOptions; row->name; ++row)
    if (strcmp(row->name, "type") == 0) row->help = type_help.c_str();
  // "-" names a standard stream, which the file interface knows as the
  // empty name; the option parser would take "-" for an option.
  // A run into a directory takes lists of inputs as response files.
  std::vector<std::string> words(argv, argv + argc);
  if (PvBatchRequested(words) && !PvBatchExpandLists(&words)) Exit(2);
  std::vector<char *> args;
  static char standard_stream[] = "";
  for (size_t i = 0; i < words.size(); ++i)
    args.push_back(i > 0 && words[i] == "-" ? standard_stream : &words[i][0]);
  args.push_back(nullptr);
  CmdParseArgs(static_cast<int>(words.size()), args.data(), cvOptions, &cvFiles, &cvNFiles);
  const bool info = CmdGetOpt(cvOptions, "info") != nullptr;
  const char *destdir = static_cast<const char *>(CmdGetOpt(cvOptions, "destdir"));
  if (CmdGetOpt(cvOptions, "help") || (destdir && info) ||
      (!destdir && cvNFiles != (info ? 1 : 2))) {
    fputs("  pvconvert [options] <in-file> <out-file>\n", stderr);
    fputs("  pvconvert [options] -destdir <dir> -type <type> <in-file>...\n", stderr);
    fputs("  pvconvert -info <in-file>\n", stderr);
    CmdPrintOptions(cvOptions);
    Exit(1);
  }

  ImgOpenParamsTp params = {};
  params.last = 1;
  // A range of pages ("all", "2-5"); a single number keeps its old reading.
  PageRangeTp range;
  const char *pageno = static_cast<const char *>(CmdGetOpt(cvOptions, "pageno"));
  if (pageno && (strcasecmp(pageno, "all") == 0 || (*pageno && strchr(pageno + 1, '-')))) {
    if (!ParsePageRange(pageno, &range) || info) {
      CmnInfoPrintf(nullptr, "Bad value [%s] for option [-pageno]\n", pageno);
      Exit(destdir ? 2 : 1);
    }
  } else {
    params.page = CmdGetOptIntRange(cvOptions, "pageno", 0, 0, INT32_MAX);
  }
  const int rotate = CmdGetOptPosition(cvOptions, "rotate", "0", "90", "180", "270", nullptr);
  params.rotation = rotate < 0 ? 0 : rotate * 90;
  const int mirror =
      CmdGetOptPosition(cvOptions, "mirror", "none", "horizontal", "vertical", "both", nullptr);
  params.mirror = mirror < 0 ? 0 : mirror;
  // Read before any file is touched: a bad value ends the program first.
  ImgColorOpsTp color{};
  ImgReadColorOptions(cvOptions, &color);
  ImgStampOptionsTp stamp;
  ImgReadStampOptions(cvOptions, &stamp);

  if (destdir) Exit(Batch(destdir, &params, &color, &stamp, range));
  const char *in = cvFiles[0];
  const int status =
      info ? Info(in, &params) : Convert(in, cvFiles[1], &params, &color, &stamp, range);
  // A filter that failed may have left the picture incomplete.
  Exit(status == 0 && IfiFilterFailed() ? 1 : status);
}
