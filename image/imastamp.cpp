// The stamp: a text printed large across the output picture. It is drawn
// by the pvgraphx renderer into a picture stream, read into a raster and
// turned with the page; or, on request (OLDSTAMP), drawn here as a
// coverage picture and blended. Also the stamp and label options that
// pvview and pvconvert share, and the application of stamp and labels to
// each output line.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "common.h"
#include "imaread.h"
#include "imarotat.h"
#include "imascale.h"

#define CMN_SOURCE "imastamp"

namespace {

// Lines of the renderer's header read at most before it is given up.
constexpr int kHeaderLines = 64;

RgbPixelTp WordPixel(uint32_t v) {
  return RgbPixelTp{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                    static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
}

// The renderer's stream is read through a stream that first gives back
// the header already read (and checked) and then the rest of the pipe.
struct PrefixedStreamTp {
  std::string head;
  size_t pos = 0;
  FILE *rest = nullptr;
};

ssize_t PrefixedRead(void *cookie, char *buf, size_t size) {
  auto *s = static_cast<PrefixedStreamTp *>(cookie);
  if (s->pos < s->head.size()) {
    const size_t n = std::min(size, s->head.size() - s->pos);
    memcpy(buf, s->head.data() + s->pos, n);
    s->pos += n;
    return static_cast<ssize_t>(n);
  }
  return static_cast<ssize_t>(IfiPipeRead(s->rest, buf, size));
}

// Reads the header of the renderer's stream into s->head; false when it
// does not describe a picture of at most max_w x max_h.
bool CheckHeader(PrefixedStreamTp *s, int32_t max_w, int32_t max_h) {
  char line[1024];
  int32_t w = -1, h = -1;
  int after_depth = -1;
  for (int i = 0; i < kHeaderLines && after_depth < 3; ++i) {
    if (!fgets(line, sizeof line, s->rest)) return false;
    s->head += line;
    if (after_depth >= 0) {
      ++after_depth;
    } else if (i > 0 && line[0] != '#') {
      if (w < 0) {
        if (sscanf(line, "WIDTH %d", &w) != 1) return false;
      } else if (h < 0) {
        if (sscanf(line, "HEIGHT %d", &h) != 1) return false;
      } else {
        after_depth = 0;
      }
    }
  }
  return after_depth == 3 && w > 0 && h > 0 && w <= max_w && h <= max_h;
}

// The renderer's command line. Every word that comes from the user is
// quoted, so the shell hands the text over as one argument and runs
// nothing in it.
std::string RendererCommand(const ImgControlBlockTp *cb, int32_t w, int32_t h) {
  std::string program = "pvgraphx";
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    // The renderer installed beside this program comes first.
    self[n] = 0;
    if (char *slash = strrchr(self, '/')) {
      strcpy(slash + 1, "pvgraphx");
      if (access(self, X_OK) == 0) program = self;
    }
  }
  char *quoted_program = CmnShellQuote(program.c_str());
  char *quoted_text = CmnShellQuote(cb->stamp_text);
  char *command = nullptr;
  CmnStrPrintf(&command, "%s -noinfile -dostamp -stamptext %s -stampcolor %s -stampweight %s",
               quoted_program, quoted_text, ImgStampColorName(cb->stamp_color, cb->stamp_inverse),
               ImgStampWeightName(cb->stamp_weight));
  CmnStrPrintf(&command, " -papersize %dx%d -size %d", w, h, std::max(w, h));
  std::string result = command;
  CmnStrFree(&command);
  CmnStrFree(&quoted_text);
  CmnStrFree(&quoted_program);
  return result;
}

// First method: the renderer's picture as the stamp raster.
void RunRenderer(ImgControlBlockTp *cb, ImgStampTp *st, int32_t w, int32_t h) {
  const bool turned = cb->stamp_angle == 90 || cb->stamp_angle == 270;
  const int32_t pw = turned ? h : w, ph = turned ? w : h;
  const std::string command = RendererCommand(cb, pw, ph);
  pid_t pid = 0;
  FILE *pipe = IfiOpenPipe(command.c_str(), "r", &pid, nullptr, 0);
  if (!pipe) return;
  PrefixedStreamTp prefixed;
  prefixed.rest = pipe;
  if (CheckHeader(&prefixed, pw, ph)) {
    cookie_io_functions_t io = {PrefixedRead, nullptr, nullptr, nullptr};
    if (FILE *stream = fopencookie(&prefixed, "r", io)) {
      st->raster = new (std::nothrow) ImgRaw(stream);
      fclose(stream);
    }
  } else {
    // Whatever else it would write is of no use: it is not waited for.
    kill(-pid, SIGTERM);
  }
  IfiEmptyPipe(pipe);
  IfiClosePipe(pipe, pid);
  ImgRaw *r = st->raster;
  if (r && r->status() == 0 && r->width() > 0 && r->height() > 0) {
    ReturnTp rc = 0;
    const int a = cb->stamp_angle;
    if (a == 90 || a == 270) {
      rc = r->rotate(a);
    } else if (a == 180) {
      rc = r->rotate(90);
      if (!rc) rc = r->rotate(90);
    }
    if (!rc) return;
  }
  // No picture: nothing is stamped.
  delete st->raster;
  st->raster = nullptr;
}

// Second method: the coverage picture drawn here.
ReturnTp DrawCoverage(ImgControlBlockTp *cb, ImgStampTp *st, int32_t w, int32_t h) {
  if (const char *weight = getenv("PVSTAMPWEIGHT"))
    cb->stamp_weight = weight[0] == 'l'   ? 1
                       : weight[0] == 'h' ? 2
                       : weight[0] == 'm' ? 0
                                          : cb->stamp_weight;
  int32_t pw, ph;
  ImgStampPaperSize(w, h, static_cast<int32_t>(strlen(cb->stamp_text)), cb->stamp_weight, &pw, &ph);
  const int a = cb->stamp_angle;
  if (a == 90 || a == 270) std::swap(pw, ph);
  try {
    st->cover.resize(static_cast<size_t>(pw) * ph);
    st->line.resize(static_cast<size_t>(w));
  } catch (const std::bad_alloc &) {
    st->cover.clear();
  }
  if (st->cover.empty())
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
  ImgStampLayout layout(cb->stamp_text, cb->stamp_weight, pw, ph);
  for (int32_t y = 0; y < ph; ++y) layout.row(y, &st->cover[static_cast<size_t>(y) * pw]);
  if (a == 90 || a == 180 || a == 270) {
    if (ImgRotateBuffer(st->cover.data(), pw, ph, 1, a))
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM_AT, CMN_SOURCE, __LINE__);
    if (a != 180) std::swap(pw, ph);
  }
  return ImgCreateStretch(&st->stretch, ImgScaleAveraging, pw, ph, w, h, 1);
}

// The inverse rule: dark parts lighten and light parts darken by c.
void Invert(RgbPixelTp *p, unsigned c) {
  if (p->fourth == 255) {
    for (uint8_t *ch : {&p->blue, &p->green, &p->red})
      *ch = static_cast<uint8_t>(*ch < 128 ? (255 * c + *ch * (255 - c)) / 255
                                           : *ch * (255 - c) / 255);
  } else {
    for (uint8_t *ch : {&p->blue, &p->green, &p->red})
      *ch = static_cast<uint8_t>(*ch * (255 - c) / 255);
    p->fourth = static_cast<uint8_t>(p->fourth + (255 - p->fourth) * c / 255);
  }
}

}  // namespace

const char *ImgStampColorName(uint32_t color, bool inverse) {
  if (inverse) return "Inverse";
  switch (color) {
    case 0xFF0000FFu:
      return "Blue";
    case 0xFFFF0000u:
      return "Red";
    case 0xFF00FF00u:
      return "Green";
    case 0xFFFF00FFu:
      return "Magenta";
    case 0xFF00FFFFu:
      return "Cyan";
    case 0xFFFFFF00u:
      return "Yellow";
    case 0xFFFFFFFFu:
      return "White";
    default:
      return "Black";
  }
}

const char *ImgStampWeightName(int weight) {
  static const char *const kNames[] = {"Medium", "Light", "Heavy"};
  return kNames[weight >= 0 && weight <= 2 ? weight : 0];
}

uint32_t ImgStampColorFromEnv(const char *value, bool *inverse) {
  uint32_t c = 0xFF000000u;
  if (!value) return c;
  switch (value[0]) {
    case 'r':
      c |= 0xFF0000u;
      break;
    case 'g':
      c |= 0x00FF00u;
      break;
    case 'b':
      if (strncmp(value, "blu", 3) == 0) c |= 0x0000FFu;
      break;
    case 'm':
      c |= 0xFF00FFu;
      break;
    case 'c':
      c |= 0x00FFFFu;
      break;
    case 'y':
      c |= 0xFFFF00u;
      break;
    case 'w':
      c |= 0xFFFFFFu;
      break;
    case 'x':
      *inverse = true;
      break;
    default:
      break;
  }
  return c;
}

void ImgStampPaperSize(int32_t w, int32_t h, int32_t n, int weight, int32_t *paper_w,
                       int32_t *paper_h) {
  const int64_t lo = std::max(1, std::min(w, h)), hi = std::max(1, std::max(w, h));
  int64_t a = 1000, b = 100, k = 1000;
  if (weight == 1) a = 2000, b = 200, k = 2000;
  if (weight == 2) a = 600, b = 60, k = 600;
  const int64_t L = std::min<int64_t>(b * std::max(n, 0) + k, 4000);
  int64_t s = a * hi <= lo * L ? L : a;
  double l = static_cast<double>(s) * hi / lo + 0.5;
  // A very long, thin output would ask for a paper beyond any use: the
  // paper keeps its shape within 2^26 pixels.
  const double limit = 67108864.0;
  if (s * l > limit) {
    const double f = std::sqrt(limit / (s * l));
    s = std::max<int64_t>(1, static_cast<int64_t>(s * f));
    l = std::max(1.0, l * f);
  }
  const int32_t sl = static_cast<int32_t>(l);
  if (w <= h) {
    *paper_w = static_cast<int32_t>(s);
    *paper_h = sl;
  } else {
    *paper_w = sl;
    *paper_h = static_cast<int32_t>(s);
  }
}

// ---- Layout of the stamp text ------------------------------------------------

ImgStampLayout::ImgStampLayout(const char *text, int weight, int32_t w, int32_t h) : w_(w), h_(h) {
  // Lines of the text; each glyph cell is 9 x 16 font pixels, drawn at
  // twice that resolution so that the weights can differ by half a pixel.
  std::vector<std::string> lines(1);
  for (const char *p = text ? text : ""; *p; ++p) {
    if (*p == '\n')
      lines.emplace_back();
    else if (*p != '\r')
      lines.back() += *p;
  }
  // No stamp shows more than a few lines of a few hundred characters;
  // the rest is left out, which keeps the bitmap within 5 MB.
  const size_t kMaxChars = 256, kMaxLines = 32;
  size_t longest = 1;
  for (const auto &l : lines) longest = std::max(longest, l.size());
  longest = std::min(longest, kMaxChars);
  bw_ = static_cast<int32_t>(longest) * 18 + 4;
  bh_ = static_cast<int32_t>(std::min(lines.size(), kMaxLines)) * 32 + 4;
  bits_.assign(static_cast<size_t>(bw_) * bh_, 0);
  const int grow_x = weight == 1 ? 0 : weight == 2 ? 2 : 1;
  const int grow_y = weight == 2 ? 1 : 0;
  for (size_t li = 0; li * 32 + 36 <= static_cast<size_t>(bh_); ++li) {
    const std::string &l = lines[li];
    // Lines are centred against the longest.
    const int32_t x0 = 2 + static_cast<int32_t>((longest - std::min(l.size(), longest)) * 9);
    for (size_t c = 0; c < l.size() && c < longest; ++c) {
      const unsigned char *glyph = PCFont + 16 * static_cast<unsigned char>(l[c]);
      for (int gy = 0; gy < 16; ++gy)
        for (int gx = 0; gx < 8; ++gx) {
          if (!(glyph[gy] & (0x80 >> gx))) continue;
          const int32_t bx = x0 + static_cast<int32_t>(c) * 18 + 2 * gx;
          const int32_t by = 2 + static_cast<int32_t>(li) * 32 + 2 * gy;
          for (int dy = 0; dy < 2 + grow_y; ++dy)
            for (int dx = 0; dx < 2 + grow_x; ++dx)
              if (bx + dx < bw_ && by + dy < bh_)
                bits_[static_cast<size_t>(by + dy) * bw_ + bx + dx] = 255;
        }
    }
  }
  // Across the paper, or along its diagonal when the text is larger so.
  const double margin = 0.9;
  const double flat = std::min(margin * w / bw_, margin * h / bh_);
  const double angle = std::atan2(static_cast<double>(h), static_cast<double>(w));
  const double c = std::cos(angle), s = std::sin(angle);
  const double tilted =
      std::min(margin * w / (bw_ * c + bh_ * s), margin * h / (bw_ * s + bh_ * c));
  diagonal_ = tilted > flat * 1.05;
  scale_ = diagonal_ ? tilted : flat;
  if (!(scale_ > 0)) scale_ = 1;
  cos_ = diagonal_ ? c : 1;
  sin_ = diagonal_ ? s : 0;
}

uint8_t ImgStampLayout::sample(double u, double v) const {
  // Bilinear between the four bitmap pixels around (u, v).
  u -= 0.5;
  v -= 0.5;
  const double fu = std::floor(u), fv = std::floor(v);
  const int32_t x = static_cast<int32_t>(fu), y = static_cast<int32_t>(fv);
  const double ax = u - fu, ay = v - fv;
  auto at = [&](int32_t px, int32_t py) -> double {
    if (px < 0 || py < 0 || px >= bw_ || py >= bh_) return 0;
    return bits_[static_cast<size_t>(py) * bw_ + px];
  };
  const double top = at(x, y) * (1 - ax) + at(x + 1, y) * ax;
  const double bottom = at(x, y + 1) * (1 - ax) + at(x + 1, y + 1) * ax;
  return static_cast<uint8_t>(top * (1 - ay) + bottom * ay + 0.5);
}

void ImgStampLayout::row(int32_t y, uint8_t *out) const {
  // The text rises from lower left to upper right: paper point (px, py)
  // shows bitmap point (u, v) turned by the angle about the centres. Along
  // the row u and v are linear in x, so only the span where both lie on
  // the bitmap is sampled.
  const double dy = y + 0.5 - h_ / 2.0;
  const double du = cos_ / scale_, dv = sin_ / scale_;
  const double u0 = (-(w_ / 2.0 - 0.5) * cos_ - dy * sin_) / scale_ + bw_ / 2.0;
  const double v0 = (-(w_ / 2.0 - 0.5) * sin_ + dy * cos_) / scale_ + bh_ / 2.0;
  double lo = 0, hi = w_;
  auto clip = [&](double start, double step, double limit) {
    // start + step x must stay within [-1, limit + 1].
    if (step == 0) {
      if (start < -1 || start > limit + 1) hi = lo;
      return;
    }
    double a = (-1 - start) / step, b = (limit + 1 - start) / step;
    if (a > b) std::swap(a, b);
    lo = std::max(lo, std::floor(a));
    hi = std::min(hi, std::ceil(b) + 1);
  };
  clip(u0, du, bw_);
  clip(v0, dv, bh_);
  const int32_t from = static_cast<int32_t>(std::max(0.0, lo));
  const int32_t to = static_cast<int32_t>(
      std::max(static_cast<double>(from), std::min(hi, static_cast<double>(w_))));
  memset(out, 0, static_cast<size_t>(w_));
  for (int32_t x = from; x < to; ++x) out[x] = sample(u0 + x * du, v0 + x * dv);
}

// ---- Preparation and application ---------------------------------------------

namespace {

// A stamp shows at most 32 lines of 256 characters, and its text reaches
// the renderer as one argument of a shell command, which the system
// limits to 128 KiB with the text quoted (a quote costs four bytes). A
// longer text is refused rather than dropped without a picture.
constexpr size_t kMaxStampText = 16384;

// The stamp alone, for an output of w x h.
ReturnTp PrepareStampPicture(ImgControlBlockTp *cb, int32_t w, int32_t h) {
  static bool old_method = false;
  if (getenv("OLDSTAMP")) old_method = true;
  if (!cb->stamp_text || !*cb->stamp_text) {
    free(cb->stamp_text);
    cb->stamp_text = nullptr;
    if (const char *text = getenv("PVSTAMP")) {
      if (strlen(text) > kMaxStampText)
        return CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, "PVSTAMP: the stamp text is too long");
      cb->stamp_text = strdup(text);
      if (const char *color = getenv("PVSTAMPCOLOR"))
        cb->stamp_color = ImgStampColorFromEnv(color, &cb->stamp_inverse);
    }
  }
  if (!cb->stamp_text || !*cb->stamp_text) return 0;
  ImgStampTp *st = new (std::nothrow) ImgStampTp();
  if (!st) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  cb->stamp = st;
  ReturnTp rc = 0;
  if (old_method)
    rc = DrawCoverage(cb, st, w, h);
  else
    RunRenderer(cb, st, w, h);
  if (!rc && !st->raster && !st->stretch) {
    // Nothing to stamp with; labels may still come.
    delete st;
    cb->stamp = nullptr;
  }
  return rc;
}

// A stamp pixel of the renderer's picture laid over an output pixel.
inline void BlendStamp(const ImgControlBlockTp *cb, RgbPixelTp *p, RgbPixelTp s) {
  if (!s.fourth) return;
  if (cb->stamp_inverse)
    Invert(p, s.fourth);
  else
    *p = s;
}

// Coverage c of the stamp colour laid over an output pixel.
inline void BlendCoverage(const ImgControlBlockTp *cb, RgbPixelTp *p, unsigned c, RgbPixelTp col) {
  if (!c) return;
  if (cb->stamp_inverse) {
    Invert(p, c);
  } else {
    p->blue = static_cast<uint8_t>((col.blue * c + p->blue * (255 - c)) >> 8);
    p->green = static_cast<uint8_t>((col.green * c + p->green * (255 - c)) >> 8);
    p->red = static_cast<uint8_t>((col.red * c + p->red * (255 - c)) >> 8);
    p->fourth = static_cast<uint8_t>((col.fourth * c + p->fourth * (255 - c)) >> 8);
  }
}

}  // namespace

ReturnTp ImgPrepareStamp(ImgControlBlockTp *cb) {
  const int32_t w = cb->stamp_width ? cb->stamp_width : cb->stretch->out_width;
  const int32_t h = cb->stamp_height ? cb->stamp_height : cb->stretch->out_lines;
  ReturnTp rc = PrepareStampPicture(cb, w, h);
  if (!rc) rc = ImgSetUpLabels(cb, cb->text_label);
  return rc;
}

ReturnTp ImgPrepareViewStamp(ImgControlBlockTp *cb, int32_t w, int32_t h, int32_t vw, int32_t vh) {
  if (ImgStampTp *st = cb->stamp) {
    delete st->raster;
    ImgReleaseStretch(&st->stretch);
    delete st;
    cb->stamp = nullptr;
  }
  while (ImgLabelTp *l = cb->labels) {
    cb->labels = l->next;
    ImgReleaseStretch(&l->stretch);
    delete l;
  }
  ReturnTp rc = PrepareStampPicture(cb, w, h);
  if (rc) return rc;
  // Labels are placed in the area the stamp size names; the specifications
  // read from files for them are read again next time.
  const int32_t sw = cb->stamp_width, sh = cb->stamp_height;
  cb->stamp_width = vw;
  cb->stamp_height = vh;
  ImgLabelSpecTp **tail = &cb->label_specs;
  while (*tail) tail = &(*tail)->next;
  rc = ImgSetUpLabels(cb, cb->text_label);
  ImgFreeLabelSpecs(tail);
  cb->stamp_width = sw;
  cb->stamp_height = sh;
  return rc;
}

void ImgApplyStamp(ImgControlBlockTp *cb, RgbPixelTp *out, int32_t y, int32_t x0, int32_t width) {
  ImgStampTp *st = cb->stamp;
  if (st) st->line_row = -1;
  if (st && st->raster) {
    ImgRaw *r = st->raster;
    const int32_t row = st->row + y;
    if (row >= 0 && row < r->height() && x0 + st->col < r->width()) {
      const int32_t n = std::min(width, r->width() - (x0 + st->col));
      if (st->line.size() < static_cast<size_t>(n) * 4) st->line.resize(static_cast<size_t>(n) * 4);
      r->getPackedLine(st->line.data(), row, x0 + st->col, n);
      const RgbPixelTp *s = reinterpret_cast<const RgbPixelTp *>(st->line.data());
      for (int32_t i = 0; i < n; ++i) BlendStamp(cb, &out[i], s[i]);
    }
  } else if (st && st->stretch) {
    const int32_t row = st->row + y;
    if (row >= 0 && row < st->stretch->out_lines) {
      if (ImgStretchRow(st->stretch, row, st->cover.data(), st->line.data()) == 0) {
        const RgbPixelTp col = WordPixel(cb->stamp_color);
        const int32_t n = std::min(width, st->stretch->cols - x0);
        for (int32_t i = 0; i < n; ++i) BlendCoverage(cb, &out[i], st->line[x0 + i], col);
      }
    }
  }
  ImgApplyLabels(cb, out, y, x0, width);
}

void ImgApplyZoomedStamp(ImgControlBlockTp *cb, RgbPixelTp *out, int32_t width, int32_t x0,
                         int32_t y, int32_t zw, int32_t zh) {
  ImgStampTp *st = cb->stamp;
  if (!st || zw < 1 || zh < 1 || (!st->raster && !st->stretch)) return;
  const int32_t sw = st->raster ? st->raster->width() : st->stretch->out_width;
  const int32_t sh = st->raster ? st->raster->height() : st->stretch->out_lines;
  if (sw < 1 || sh < 1 || y < 0 || y >= zh) return;
  const int32_t row = static_cast<int32_t>(static_cast<int64_t>(y) * sh / zh);
  // Zoomed in, many rows show the same row of the stamp.
  if (st->line_row != row) {
    st->line_row = -1;
    if (st->raster) {
      st->line.resize(static_cast<size_t>(sw) * 4);
      st->raster->getPackedLine(st->line.data(), row, 0, sw);
    } else {
      st->line.resize(static_cast<size_t>(sw));
      if (ImgStretchRow(st->stretch, row, st->cover.data(), st->line.data())) return;
    }
    st->line_row = row;
  }
  const RgbPixelTp col = WordPixel(cb->stamp_color);
  const RgbPixelTp *pixels = reinterpret_cast<const RgbPixelTp *>(st->line.data());
  for (int32_t i = 0; i < width; ++i) {
    const int64_t x = static_cast<int64_t>(x0) + i;
    if (x < 0 || x >= zw) continue;
    const size_t at = static_cast<size_t>(x * sw / zw);
    if (st->raster)
      BlendStamp(cb, &out[i], pixels[at]);
    else
      BlendCoverage(cb, &out[i], st->line[at], col);
  }
}

void ImgFreeStamp(ImgControlBlockTp *cb) {
  if (ImgStampTp *st = cb->stamp) {
    delete st->raster;
    ImgReleaseStretch(&st->stretch);
    delete st;
    cb->stamp = nullptr;
  }
  while (ImgLabelTp *l = cb->labels) {
    cb->labels = l->next;
    ImgReleaseStretch(&l->stretch);
    delete l;
  }
  ImgFreeLabelSpecs(&cb->label_specs);
  free(cb->label_text);
  cb->label_text = nullptr;
}

// ---- Options -----------------------------------------------------------------

void ImgReadStampOptions(CmdOptionTp *table, ImgStampOptionsTp *out) {
  out->stamptext = static_cast<const char *>(CmdGetOpt(table, "stamptext"));
  if (out->stamptext && strlen(out->stamptext) > kMaxStampText) {
    CmnInfoPrintf(nullptr, "Invalid -stamptext parameter: %zu bytes, at most %zu\n",
                  strlen(out->stamptext), kMaxStampText);
    exit(1);
  }
  static const uint32_t kColors[] = {0xFF000000u, 0xFFFF0000u, 0xFF00FF00u, 0xFF0000FFu,
                                     0xFFFFFF00u, 0xFFFF00FFu, 0xFF00FFFFu, 0xFFFFFFFFu};
  const int color = CmdGetOptPosition(table, "stampcolor", "black", "red", "green", "blue",
                                      "yellow", "magenta", "cyan", "white", "inverse", nullptr);
  out->stampinverse = color == 8;
  if (color >= 0 && color < 8) out->stampcolor = kColors[color];
  const int weight = CmdGetOptPosition(table, "stampweight", "medium", "light", "heavy", nullptr);
  out->stampweight = weight < 0 ? 0 : weight;
  out->labeltext = static_cast<const char *>(CmdGetOpt(table, "labeltext"));
  const int position = CmdGetOptPosition(table, "labelposition", "topleft", "topcenter", "topright",
                                         "bottomleft", "bottomcenter", "bottomright", nullptr);
  out->labelposition = position < 0 ? 5 : position;
  out->labelspecs = static_cast<CmdValueNodeTp *>(CmdGetOpt(table, "labelspec"));
  // A size and a place that are no numbers are a wrong command line, as
  // a bad word is for the other options: said, and the program ends.
  int k = 0;
  for (const CmdValueNodeTp *v = out->labelspecs; v; v = v->next, k = (k + 1) % 4) {
    if (k == 3 || !v->value) continue;
    char *end = nullptr;
    if (k == 0)
      strtod(v->value, &end);
    else
      strtol(v->value, &end, 10);
    if (end == v->value || *end) {
      CmnInfoPrintf(nullptr, "Bad value [%s] for option [-labelspec]\n", v->value);
      exit(1);
    }
  }
  if (const char *file = static_cast<const char *>(CmdGetOpt(table, "labelfile")))
    setenv("PVLABELFILE", file, 1);
}

void ImgCopyStampOptions(const ImgStampOptionsTp *in, ImgControlBlockTp *cb) {
  free(cb->stamp_text);
  cb->stamp_text = in->stamptext ? strdup(in->stamptext) : nullptr;
  cb->stamp_color = in->stampcolor;
  cb->stamp_inverse = in->stampinverse;
  cb->stamp_weight = in->stampweight;
  free(cb->label_text);
  cb->label_text = in->labeltext ? strdup(in->labeltext) : nullptr;
  cb->label_position = in->labelposition;
  cb->text_label = true;
  ImgLabelSpecTp **tail = &cb->label_specs;
  while (*tail) tail = &(*tail)->next;
  for (const CmdValueNodeTp *v = in->labelspecs; v;) {
    const char *words[4] = {};
    for (int k = 0; k < 4 && v; ++k, v = v->next) words[k] = v->value;
    if (!words[3]) break;
    ImgLabelSpecTp *spec = new ImgLabelSpecTp();
    spec->point_size = atof(words[0]);
    spec->x = atoi(words[1]);
    spec->y = atoi(words[2]);
    spec->text = strdup(words[3]);
    spec->foreground = 0xFF000000u;
    spec->background = 0xFFFFFFFFu;
    fprintf(stderr, "%4g%4d%4d [%s]\n", spec->point_size, spec->x, spec->y, spec->text);
    *tail = spec;
    tail = &spec->next;
  }
}
