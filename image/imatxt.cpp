// Text labels: bitmap fonts, label specification files, the
// security-classification file, rendering a label into a coverage picture
// sized to the output, and compositing the labels into output lines.
#include "imatxt.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "common.h"
#include "imaread.h"
#include "imarotat.h"
#include "imascale.h"

#define CMN_SOURCE "imatxt"

// The path is patched into installed binaries behind its marker; keep the
// field's size.
char ImgSecureField[7 + 80] = "SEQNAME/etc/pvsecure";

const char kImgCorruptClassification[] = "WARNING: CLASSIFICATION FILE CORRUPTED. NOTIFY THE CSSO.";

namespace {

// A coverage picture larger than this is not a label anyone can read on
// a page; such a label is left out.
constexpr size_t kMaxCover = size_t{1} << 26;
// No page carries more labels than this, nor a label more lines of more
// characters (the stamp's own limits): the rest is left out, so that a
// specification file costs bounded time and memory whatever it holds.
constexpr int kMaxLabels = 64;
constexpr size_t kMaxLabelLines = 32, kMaxLabelChars = 256;

// The glyph grid: 32 x 8 cells of wc x hc pixels, 1 = ink.
struct FontTp {
  std::vector<uint8_t> ink;
  int32_t wc = 8, hc = 16;
  bool builtin = true;
  bool ink_at(unsigned ch, int gx, int gy) const {
    if (builtin) return PCFont[ch * 16 + gy] & (0x80 >> gx);
    const size_t x = (ch % 32) * static_cast<size_t>(wc) + gx;
    const size_t y = (ch / 32) * static_cast<size_t>(hc) + gy;
    return ink[y * 32 * wc + x] != 0;
  }
};

FontTp g_font;
bool g_font_tried = false;

// The font file of PV_LABELFONT, a binary PGM whose glyph grid is 32
// cells across and 8 down; a pixel below 255 is ink.
void LoadFont() {
  if (g_font_tried) return;
  const char *name = getenv("PV_LABELFONT");
  if (!name) return;
  g_font_tried = true;
  FILE *fp = fopen(name, "rb");
  if (!fp) {
    perror(name);
    return;
  }
  // The header's numbers may stand on one line or several.
  int w = 0, h = 0, max = 0;
  if (fscanf(fp, "P5 %d %d %d", &w, &h, &max) != 3 || fgetc(fp) == EOF) max = 0;
  if (max <= 0 || max > 255 || w <= 0 || h <= 0) {
    CmnInfoPrintf(nullptr, "Bad format of fontfile %s (must be binary pgm)\n", name);
  } else if (w % 32) {
    CmnInfoPrintf(nullptr, "Bad width of fontarray %d (must be a multiple of 32)\n", w);
  } else if (h % 8) {
    CmnInfoPrintf(nullptr, "Bad height of fontarray %d (must be a multiple of 8)\n", h);
  } else if (w > 32 * 256 || h > 8 * 256) {
    // Glyphs larger than 256 pixels are no label font.
    CmnInfoPrintf(nullptr, "Bad width of fontarray %d (must be a multiple of 32)\n", w);
  } else {
    std::vector<uint8_t> pixels(static_cast<size_t>(w) * h);
    if (fread(pixels.data(), 1, pixels.size(), fp) == pixels.size()) {
      for (uint8_t &p : pixels) p = p < 255;
      g_font.ink.swap(pixels);
      g_font.wc = w / 32;
      g_font.hc = h / 8;
      g_font.builtin = false;
    } else {
      CmnInfoPrintf(nullptr, "Bad format of fontfile %s (must be binary pgm)\n", name);
    }
  }
  fclose(fp);
}

char *Dup(const char *text) { return text ? strdup(text) : nullptr; }

ImgLabelSpecTp *CopySettings(const ImgLabelSpecTp &from) {
  ImgLabelSpecTp *spec = new ImgLabelSpecTp(from);
  spec->next = nullptr;
  spec->text = nullptr;
  spec->font = Dup(from.font);
  return spec;
}

bool Flag(const char *value, int *out) {
  if (*value == 'T' || *value == 't') {
    *out = 1;
  } else if (*value == 'F' || *value == 'f') {
    *out = 0;
  } else {
    return false;
  }
  return true;
}

void Report(const char *format, const char *what) {
  std::string text = format;
  text.replace(text.find("%s"), 2, what);
  CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, text.c_str());
}

// One "*name=value" line of a specification file.
void ApplyOption(ImgLabelSpecTp *spec, const char *line, double default_scale, double xres) {
  const char *eq = strchr(line, '=');
  const std::string name(line, eq ? static_cast<size_t>(eq - line + 1) : strlen(line));
  const char *value = eq ? eq + 1 : "";
  int flag = 0;
  if (name == "*font=") {
    free(spec->font);
    spec->font = strdup(value);
  } else if (name == "*size=") {
    spec->point_size = atoi(value);
  } else if (name == "*bold=" || name == "*italic=") {
    if (!Flag(value, &flag)) return Report("Invalid value <%s>", line);
    (name == "*bold=" ? spec->bold : spec->italic) = flag;
  } else if (name == "*absolute=") {
    if (!Flag(value, &flag)) return Report("Invalid value <%s>", line);
    spec->scale = flag ? (xres != 0 ? xres : 72.0) : default_scale;
  } else if (name == "*adjust=") {
    if (*value == 'l')
      spec->adjust = 0;
    else if (*value == 'c')
      spec->adjust = 1;
    else if (*value == 'r')
      spec->adjust = 2;
    else
      return Report("Invalid value <%s>", line);
  } else if (name == "*foreground=" || name == "*color=") {
    spec->foreground = ImgParseColor(value);
  } else if (name == "*background=") {
    spec->background = ImgParseColor(value);
  } else if (name == "*position=") {
    int x, y;
    if (sscanf(value, "%d,%d", &x, &y) == 2) {
      spec->x = x;
      spec->y = y;
      return;
    }
    std::string words(value);
    for (char &c : words) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (words.find("cent") != std::string::npos) spec->x = spec->y = 500;
    if (words.find("left") != std::string::npos) spec->x = 0;
    if (words.find("right") != std::string::npos) spec->x = 1000;
    if (words.find("top") != std::string::npos) spec->y = 0;
    if (words.find("bot") != std::string::npos) spec->y = 1000;
  } else {
    Report("Invalid option <%s>", line);
  }
}

// The pixel after a label's colour is laid over it with alpha a.
RgbPixelTp Over(const RgbPixelTp &under, uint32_t color) {
  const unsigned a = color >> 24;
  const RgbPixelTp c{static_cast<uint8_t>(color), static_cast<uint8_t>(color >> 8),
                     static_cast<uint8_t>(color >> 16), static_cast<uint8_t>(a)};
  if (a == 255) return c;
  if (a == 0) return under;
  auto mix = [a](unsigned o, unsigned v) {
    return static_cast<uint8_t>((o * (255 - a) + v * a) / 255);
  };
  return RgbPixelTp{mix(under.blue, c.blue), mix(under.green, c.green), mix(under.red, c.red),
                    mix(under.fourth, c.fourth)};
}

// The output area labels are placed in.
void OutputArea(const ImgControlBlockTp *cb, int32_t *w, int32_t *h) {
  *w = cb->stamp_width ? cb->stamp_width : cb->stretch ? cb->stretch->out_width : cb->width;
  *h = cb->stamp_height ? cb->stamp_height : cb->stretch ? cb->stretch->out_lines : cb->lines;
}

}  // namespace

uint32_t ImgParseColor(const char *text) {
  static const struct {
    const char *name;
    uint32_t value;
  } kNames[] = {{"black", 0xFF000000u},  {"red", 0xFFFF0000u},   {"green", 0xFF00FF00u},
                {"blue", 0xFF0000FFu},   {"cyan", 0xFF00FFFFu},  {"magenta", 0xFFFF00FFu},
                {"yellow", 0xFFFFFF00u}, {"white", 0xFFFFFFFFu}, {"clear", 0u}};
  if (!text) return 0xFF000000u;
  for (const auto &n : kNames) {
    const char *at = strstr(text, n.name);
    if (!at) continue;
    uint32_t v = n.value;
    unsigned t;
    const char *comma = strchr(at, ',');
    if (comma && sscanf(comma + 1, "%u", &t) == 1)
      v = (v & 0xFFFFFFu) | (255u - std::min(t, 255u)) << 24;
    return v;
  }
  unsigned v[4] = {0, 0, 0, 0};
  const int n = sscanf(text, "%X,%X,%X,%X", &v[0], &v[1], &v[2], &v[3]);
  if (n == 1) return v[0] ^ 0xFF000000u;
  if (n >= 2)
    return (255u - std::min(v[3], 255u)) << 24 | std::min(v[0], 255u) << 16 |
           std::min(v[1], 255u) << 8 | std::min(v[2], 255u);
  return 0xFF000000u;
}

int ImgReadLabelSpecs(FILE *fp, ImgLabelSpecTp ***tail) {
  ImgLabelSpecTp current;
  current.font = strdup("Nimbus Sans L");
  const double default_scale = current.scale;
  std::string text, last_text;
  bool in_text = false;
  size_t text_lines = 0;
  int count = 0;
  auto close_text = [&](const std::string &t) {
    ImgLabelSpecTp *spec = CopySettings(current);
    std::string body = t;
    if (!body.empty() && body.back() == '\n') body.pop_back();
    spec->text = strdup(body.c_str());
    **tail = spec;
    *tail = &spec->next;
    ++count;
  };
  char line[1024];
  // One label more than are drawn is kept, so that the caller can tell.
  while (count <= kMaxLabels && fgets(line, sizeof line, fp)) {
    if (line[0] == '#' || line[0] == '*') {
      if (in_text) {
        close_text(text);
        last_text = text;
        in_text = false;
      }
      if (line[0] == '#') continue;
      size_t n = strlen(line);
      while (n > 0 && isspace(static_cast<unsigned char>(line[n - 1]))) line[--n] = 0;
      if (strcmp(line, "*repeat") == 0) {
        close_text(last_text);
        continue;
      }
      ApplyOption(&current, line, default_scale, 0);
      continue;
    }
    if (!in_text) {
      text.clear();
      text_lines = 0;
    }
    in_text = true;
    // Lines past what a label shows are read and left out.
    if (text_lines < kMaxLabelLines && text.size() < kMaxLabelLines * sizeof line) text += line;
    if (strchr(line, '\n')) ++text_lines;
  }
  if (in_text && count <= kMaxLabels) close_text(text);
  free(current.font);
  return count;
}

void ImgFreeLabelSpecs(ImgLabelSpecTp **list) {
  while (ImgLabelSpecTp *s = *list) {
    *list = s->next;
    free(s->text);
    free(s->font);
    delete s;
  }
}

const char *ImgClassificationPath(void) { return ImgSecureField + 7; }

bool ImgReadClassification(const char *path, char **text, double *point_size) {
  FILE *fp = fopen(path, "r");
  if (!fp) return false;
  std::string body;
  bool taken = false, corrupted = false;
  long del = 0, other = 0, bad = 0;
  char line[511];
  while (fgets(line, sizeof line, fp)) {
    for (const char *p = line; *p; ++p) {
      const unsigned char c = static_cast<unsigned char>(*p);
      if (c == 127) {
        ++del;
        continue;
      }
      ++other;
      if ((c < 32 || c > 126) && c != '\t' && c != '\n' && c != '\r') ++bad;
    }
    if (!taken && strncmp(line, "EMPTY", 5) == 0) {
      corrupted = true;
      break;
    }
    if (!taken && strstr(line, "point-size")) {
      *point_size = strlen(line) > 10 ? atof(line + 10) : 0;
      continue;
    }
    body += line;
    taken = true;
  }
  fclose(fp);
  if (!taken || 6 * del > other || bad) corrupted = true;
  *text = strdup(corrupted ? kImgCorruptClassification : body.c_str());
  return true;
}

ReturnTp ImgMakeLabel(ImgControlBlockTp *cb, const ImgLabelSpecTp *spec) {
  LoadFont();
  const FontTp &font = g_font;
  const int32_t advance = font.wc + 1;
  // Lines of the text, without its last newline.
  std::string text = spec->text ? spec->text : "";
  if (!text.empty() && text.back() == '\n') text.pop_back();
  // A newline, a carriage return, or the pair of them ends a line.
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      lines.emplace_back();
    } else {
      lines.back() += text[i];
    }
  }
  if (lines.size() > kMaxLabelLines) lines.resize(kMaxLabelLines);
  size_t longest = 0;
  for (auto &l : lines) {
    if (l.size() > kMaxLabelChars) l.resize(kMaxLabelChars);
    longest = std::max(longest, l.size());
  }
  const int64_t wb = static_cast<int64_t>(advance + 1) * (static_cast<int64_t>(longest) + 2);
  const int64_t hb = static_cast<int64_t>(lines.size()) * font.hc;
  if (wb <= 0 || hb <= 0 || static_cast<uint64_t>(wb * hb) > kMaxCover) return 0;

  ImgLabelTp *label = new (std::nothrow) ImgLabelTp();
  if (!label) return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  try {
    label->cover.assign(static_cast<size_t>(wb * hb), 0);
  } catch (const std::bad_alloc &) {
    delete label;
    return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  }
  int32_t cw = static_cast<int32_t>(wb), ch = static_cast<int32_t>(hb);
  for (int32_t r = 0; r < ch; ++r) {
    const std::string &l = lines[static_cast<size_t>(r / font.hc)];
    const int gy = r % font.hc;
    const int64_t spare = static_cast<int64_t>(longest) + 2 - static_cast<int64_t>(l.size());
    int64_t x = advance;
    if (spec->adjust == 1) x = spare * advance / 2;
    if (spec->adjust == 2) x = (spare - 1) * advance;
    uint8_t *row = &label->cover[static_cast<size_t>(r) * cw];
    for (size_t i = 0; i < l.size() && x < cw; ++i, x += advance)
      for (int gx = 0; gx < font.wc && x + gx < cw; ++gx)
        if (font.ink_at(static_cast<unsigned char>(l[i]), gx, gy)) row[x + gx] = 255;
  }

  // Turned with the page.
  int32_t px = spec->x, py = spec->y;
  int angle = cb->stamp_angle % 360;
  if (angle < 0) angle += 360;
  if (angle == 90 || angle == 180 || angle == 270) {
    if (ImgRotateBuffer(label->cover.data(), cw, ch, 1, angle)) {
      delete label;
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
    }
    if (angle == 180) {
      px = 1000 - spec->x;
      py = 1000 - spec->y;
    } else {
      px = angle == 90 ? spec->y : 1000 - spec->y;
      py = angle == 90 ? 1000 - spec->x : spec->x;
      std::swap(cw, ch);
    }
  } else if (angle != 0) {
    char message[64];
    snprintf(message, sizeof message, "ImgMakeLabel called with angle %d\n", angle);
    CmnError(CMN_SOURCE, __LINE__, CMN_E_TEXT, message);
  }
  label->cover_w = cw;
  label->cover_h = ch;

  // Sized from the reference edge of the output.
  int32_t ow, oh;
  OutputArea(cb, &ow, &oh);
  const double shorter = std::min(ow, oh), longer = std::max(ow, oh);
  double edge = shorter;
  if (const char *policy = getenv("PV_LABEL_POLICY")) {
    if (strstr(policy, "short"))
      edge = shorter;
    else if (strstr(policy, "long"))
      edge = longer;
    else if (strstr(policy, "average"))
      edge = std::floor(std::sqrt(shorter * longer));
    else
      CmnInfoPrintf(nullptr,
                    "Warning vailid values for PV_LABEL_POLICY are <shortedge|longedge|average>\n");
  }
  const double factor = edge * spec->point_size / font.hc / 72.0 * 0.125;
  // A label larger than any output can hold is kept within 2^24 pixels.
  auto side = [factor](int32_t n) {
    const double v = n * factor;
    return static_cast<int32_t>(std::max(1.0, std::min(v, 16777216.0)));
  };
  const int32_t lw = side(cw), lh = side(ch);

  // Positions beyond the edges (a file may say anything) stop at them.
  auto place = [](int64_t room, int32_t at, int32_t lowest, int32_t size) {
    const int64_t v = room * at / 1000;
    return static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(v, lowest), size));
  };
  label->left = place(static_cast<int64_t>(ow) - lw, px, cb->label_min_left, ow);
  label->top = place(static_cast<int64_t>(oh) - lh, py, cb->label_min_top, oh);
  label->point_size = spec->point_size;
  label->foreground = spec->foreground;
  label->background = spec->background;
  // Only the part inside the output is ever scaled.
  const int32_t cols = std::max(1, std::min(lw, ow - label->left));
  const int32_t rows = std::max(1, std::min(lh, oh - label->top));
  ReturnTp rc =
      ImgCreateStretch(&label->stretch, ImgScaleAveraging, cw, ch, lw, lh, 1, 0, 0, cols, rows);
  if (rc) {
    delete label;
    return rc;
  }
  label->right = label->left + cols;
  label->bottom = label->top + rows;
  label->next = cb->labels;
  cb->labels = label;
  return 0;
}

ReturnTp ImgSetUpLabels(ImgControlBlockTp *cb, bool text_label) {
  LoadFont();
  ReturnTp rc = 0;
  const char *text = cb->label_text ? cb->label_text : getenv("PV_LABELTXT");
  if (text_label && text && *text) {
    ImgLabelSpecTp spec;
    spec.text = const_cast<char *>(text);
    const char *size = getenv("PV_TXT_POINT_SIZE");
    spec.point_size = size ? atof(size) : 8.0;
    if (spec.point_size < 1.0) spec.point_size = 8.0;
    static const int32_t kPlaces[6][2] = {{0, 0},    {500, 0},    {1000, 0},
                                          {0, 1000}, {500, 1000}, {1000, 1000}};
    const int p = cb->label_position >= 0 && cb->label_position < 6 ? cb->label_position : 5;
    spec.x = kPlaces[p][0];
    spec.y = kPlaces[p][1];
    if (const char *x = getenv("PV_TXT_X")) spec.x = atoi(x);
    if (const char *y = getenv("PV_TXT_Y")) spec.y = atoi(y);
    spec.adjust = 1;
    spec.foreground = 0xFF000000u;
    spec.background = getenv("PV_CLEARLABEL") ? 0u : 0xFFFFFFFFu;
    rc = ImgMakeLabel(cb, &spec);
    spec.text = nullptr;
    if (rc) return rc;
  }

  // Specification files, appended to those of the command line.
  ImgLabelSpecTp **tail = &cb->label_specs;
  while (*tail) tail = &(*tail)->next;
  int from_files = 0;
  std::string names[3];
  if (const char *top = getenv("PVTOPDIR")) names[0] = std::string(top) + "/labelspec";
  if (const char *home = getenv("HOME")) names[1] = std::string(home) + "/.plotvise/labelspec";
  if (const char *file = getenv("PVLABELFILE")) names[2] = file;
  for (const std::string &name : names) {
    if (name.empty()) continue;
    if (FILE *fp = fopen(name.c_str(), "r")) {
      from_files += ImgReadLabelSpecs(fp, &tail);
      fclose(fp);
    }
  }
  int made = cb->labels ? 1 : 0;
  for (const ImgLabelSpecTp *s = cb->label_specs; s && !rc; s = s->next) {
    if (!s->text || !*s->text) continue;
    if (made++ == kMaxLabels) {
      CmnInfoPrintf(nullptr, "Warning: only the first %d labels are drawn\n", kMaxLabels);
      break;
    }
    rc = ImgMakeLabel(cb, s);
  }
  if (rc || from_files) return rc;

  char *secure = nullptr;
  double point_size = 0;
  if (!ImgReadClassification(ImgClassificationPath(), &secure, &point_size)) return 0;
  if (point_size == 0) {
    const char *env = getenv("pv_sec_pnt_sz");
    point_size = env ? atof(env) : 0;
  }
  if (point_size < 1.0) point_size = 10.0;
  ImgLabelSpecTp spec;
  spec.text = secure;
  spec.point_size = point_size;
  spec.adjust = 1;
  spec.x = 500;
  for (int32_t y : {0, 1000}) {
    spec.y = y;
    if (!rc) rc = ImgMakeLabel(cb, &spec);
  }
  free(secure);
  spec.text = nullptr;
  return rc;
}

void ImgApplyLabels(ImgControlBlockTp *cb, RgbPixelTp *out, int32_t y, int32_t x0, int32_t width) {
  for (ImgLabelTp *l = cb->labels; l; l = l->next) {
    if (y < l->top || y >= l->bottom) continue;
    const int32_t from = std::max(l->left, x0), to = std::min(l->right, x0 + width);
    if (from >= to) continue;
    std::vector<uint8_t> &row = l->row;
    if (row.size() < static_cast<size_t>(l->right - l->left)) row.resize(l->right - l->left);
    if (ImgStretchRow(l->stretch, y - l->top, l->cover.data(), row.data())) continue;
    for (int32_t x = from; x < to; ++x) {
      RgbPixelTp *p = &out[x - x0];
      const RgbPixelTp b = Over(*p, l->background), f = Over(*p, l->foreground);
      const unsigned c = row[static_cast<size_t>(x - l->left)];
      auto mix = [c](unsigned fv, unsigned bv) {
        return static_cast<uint8_t>((fv * c + bv * (255 - c)) / 255);
      };
      *p = RgbPixelTp{mix(f.blue, b.blue), mix(f.green, b.green), mix(f.red, b.red),
                      mix(f.fourth, b.fourth)};
    }
  }
}
