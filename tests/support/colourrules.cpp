#include "colourrules.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr uint32_t kBackground = 0xFFE0D0C0, kSecondBackground = 0xFF2040A0;

int Chan(uint32_t w, int shift) { return (w >> shift) & 255; }
uint32_t Rgb(uint32_t fourth, int r, int g, int b) {
  return (fourth & 0xFF000000) | uint32_t(r) << 16 | uint32_t(g) << 8 | uint32_t(b);
}
// Truncation of a value limited to a byte's range.
int Byte(double v) { return v <= 0 ? 0 : v >= 255 ? 255 : int(v); }

int BrightnessPass(int v, double factor) {
  const double f = std::clamp(factor, -0.999999, 0.999999);
  return Byte(255.0 * std::pow(v / 255.0, (1 - f) / (1 + f)));
}

}  // namespace

uint32_t ChromaRule(uint32_t px, double s) {
  static const std::vector<double> weight = [] {
    const int knots[7] = {590, 700, 110, 410, 300, 890, 590};
    std::vector<double> w(240);
    for (int i = 0; i < 240; ++i) {
      const int k0 = knots[i / 40], k1 = knots[i / 40 + 1];
      w[i] = std::floor(k0 + (i % 40) * (k1 - k0) / 40.0 + 0.5) / 1000.0;
    }
    return w;
  }();
  const double gain = s < 0 ? 0 : s <= 1 ? s : s <= 1.999999 ? 1 / (2 - s) : 1 / (2 - 1.999999);
  const int r = Chan(px, 16), g = Chan(px, 8), b = Chan(px, 0);
  const int M = std::max({r, g, b}), d = M - std::min({r, g, b});
  if (d == 0) return px;
  const double h = r == M   ? double(g - b) / d + 1
                   : g == M ? double(b - r) / d + 3
                            : double(r - g) / d + 5;
  const int dn = int(d * gain + 0.5);
  const double drop = std::trunc((d - dn) * weight[int(h * 40 + 0.5) % 240]);
  const int Mn = std::clamp(int(M - drop), 0, 255);
  const double sn = Mn ? std::min(Mn, dn) / double(Mn) : 0, f = h - int(h);
  const int p = int((1 - sn) * Mn + 0.5), q = int((1 - sn * f) * Mn + 0.5),
            u = int((1 - (1 - f) * sn) * Mn + 0.5), v = Mn;
  switch (int(h)) {
    case 0:
      return Rgb(px, v, p, q);
    case 1:
      return Rgb(px, v, u, p);
    case 2:
      return Rgb(px, q, v, p);
    case 3:
      return Rgb(px, p, v, u);
    case 4:
      return Rgb(px, p, q, v);
    default:
      return Rgb(px, u, p, v);
  }
}

uint32_t ColourRule(const ColourRules &rules, uint32_t w) {
  bool marked = false;
  for (const auto &pair : rules.replace)
    if (w == pair.first) {
      w = pair.second;
      marked = true;
      break;
    }
  if (!marked && std::find(rules.removed.begin(), rules.removed.end(), w) != rules.removed.end()) {
    w = 0xFFFFFFFF;
    marked = true;
  }
  const bool reversible = !marked && w != 0;
  if (reversible && rules.reversal == 1) {
    if ((w & 0xFFFFFF) == 0xFFFFFF)
      w = 0xFF000000;
    else if ((w & 0xFFFFFF) == 0)
      w = 0xFFFFFFFF;
  }
  if (reversible && rules.reversal == 3)
    w = Rgb(w, 255 - Chan(w, 16), 255 - Chan(w, 8), 255 - Chan(w, 0));
  if (rules.output == 1) {
    const int y = (77 * Chan(w, 16) + 151 * Chan(w, 8) + 28 * Chan(w, 0)) >> 8;
    w = Rgb(w, y, y, y);
  }
  if (reversible && rules.reversal == 2 && Chan(w, 0) == Chan(w, 8) && Chan(w, 8) == Chan(w, 16))
    w = Rgb(w, 255 - Chan(w, 16), 255 - Chan(w, 8), 255 - Chan(w, 0));
  if (rules.output == 3)
    w = Rgb(w, Chan(w, 16) < 128 ? 0 : 255, Chan(w, 8) < 128 ? 0 : 255, Chan(w, 0) < 128 ? 0 : 255);
  if (rules.output == 2 && w != 0 && !(w == 0xFFFFFFFF && rules.removed.empty())) w = 0xFF000000;

  if (rules.chrominance != 0) w = ChromaRule(w, rules.chrominance + 1);
  int rgb[3] = {Chan(w, 16), Chan(w, 8), Chan(w, 0)};
  const double *tint = rules.tint;
  if (rules.brightness != 0 || tint[0] != 0 || tint[1] != 0 || tint[2] != 0)
    for (int c = 0; c < 3; ++c)
      rgb[c] = BrightnessPass(BrightnessPass(rgb[c], rules.brightness), tint[c]);
  if (rules.contrast != 0)
    for (int &v : rgb) v = Byte((v - 127.5) * (rules.contrast + 1) + 127.5);
  return Rgb(w, rgb[0], rgb[1], rgb[2]);
}

std::vector<uint32_t> ColourPicture() {
  std::vector<uint32_t> px = {0xFFFFFFFF, 0xFF000000, 0xFF808080, 0xFF7F7F7F, 0xFF010101,
                              0xFFFEFEFE, 0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFF00,
                              0xFF00FFFF, 0xFFFF00FF, 0xFF7F8081, 0xFF80807F, 0xFF123456};
  uint32_t x = 2024;
  auto random = [&x] { return 0xFF000000 | ((x = x * 1103515245 + 12345) >> 8); };
  while (px.size() < 2 * kColourPictureW) px.push_back(random());
  for (int i = 2 * kColourPictureW; i < kColourPictureW * kColourPictureH; ++i)
    px.push_back(i % 10 < 7 ? kBackground : i % 10 < 9 ? kSecondBackground : random());
  return px;
}

std::string ColourPicturePpm() {
  std::string data =
      "P6\n" + std::to_string(kColourPictureW) + " " + std::to_string(kColourPictureH) + "\n255\n";
  for (uint32_t w : ColourPicture()) data += {char(w >> 16), char(w >> 8), char(w)};
  return data;
}

std::vector<ColourCase> ColourCases() {
  std::vector<ColourCase> cases;
  auto add = [&cases](std::vector<std::string> args, auto set) {
    ColourRules rules;
    set(rules);
    cases.push_back({std::move(args), rules});
  };
  add({"-output", "gray"}, [](ColourRules &r) { r.output = 1; });
  add({"-output", "bw"}, [](ColourRules &r) { r.output = 2; });
  add({"-output", "e"}, [](ColourRules &r) { r.output = 3; });
  add({"-output", "gray", "-8color", "true"}, [](ColourRules &r) { r.output = 3; });
  add({"-reversal", "bw"}, [](ColourRules &r) { r.reversal = 1; });
  add({"-reversal", "co"}, [](ColourRules &r) { r.reversal = 3; });
  add({"-reversal", "gray", "-output", "gray"}, [](ColourRules &r) {
    r.reversal = 2;
    r.output = 1;
  });
  add({"-removebgs", "2"}, [](ColourRules &r) { r.removed = {kBackground, kSecondBackground}; });
  // The background turned white is blackened with everything else.
  add({"-removebgs", "1", "-output", "bw"}, [](ColourRules &r) {
    r.removed = {kBackground};
    r.output = 2;
  });
  add({"-brightness", "0.5"}, [](ColourRules &r) { r.brightness = 0.5; });
  add({"-brightness", "-0.3", "-redtint", "0.4", "-greentint", "-0.2", "-bluetint", "0.7"},
      [](ColourRules &r) {
        r.brightness = -0.3;
        r.tint[0] = 0.4, r.tint[1] = -0.2, r.tint[2] = 0.7;
      });
  add({"-contrast", "0.6"}, [](ColourRules &r) { r.contrast = 0.6; });
  add({"-contrast", "-1"}, [](ColourRules &r) { r.contrast = -1; });
  add({"-chrominance", "-1"}, [](ColourRules &r) { r.chrominance = -1; });
  add({"-chrominance", "0.5"}, [](ColourRules &r) { r.chrominance = 0.5; });
  // Two pairs; the colon after the second ends the list harmlessly.
  add({"-colorreplace", "ff0000/00ff00:0000ff/ffffff:"}, [](ColourRules &r) {
    r.replace = {{0xFFFF0000, 0xFF00FF00}, {0xFF0000FF, 0xFFFFFFFF}};
  });
  // Everything at once: the replaced red escapes the reversal.
  add({"-colorreplace", "ff0000/00ff00", "-reversal", "color", "-brightness", "0.2", "-contrast",
       "0.3", "-chrominance", "0.4", "-redtint", "0.1", "-greentint", "-0.1", "-bluetint", "0.05"},
      [](ColourRules &r) {
        r.replace = {{0xFFFF0000, 0xFF00FF00}};
        r.reversal = 3;
        r.brightness = 0.2, r.contrast = 0.3, r.chrominance = 0.4;
        r.tint[0] = 0.1, r.tint[1] = -0.1, r.tint[2] = 0.05;
      });
  // At and beyond the limits of -1..1 the factors are held at their ends.
  add({"-brightness", "1e9", "-contrast", "1e9", "-chrominance", "1e9", "-redtint", "-1"},
      [](ColourRules &r) {
        r.brightness = 1e9, r.contrast = 1e9, r.chrominance = 1e9;
        r.tint[0] = -1;
      });
  add({"-brightness", "-1", "-chrominance", "-1e9", "-bluetint", "1", "-greentint", "-1e9"},
      [](ColourRules &r) {
        r.brightness = -1, r.chrominance = -1e9;
        r.tint[2] = 1, r.tint[1] = -1e9;
      });
  return cases;
}

std::string ColourCaseName(const ColourCase &c) {
  std::string name;
  for (const std::string &a : c.args) name += (name.empty() ? "" : " ") + a;
  return name;
}

std::string ColourMismatch(const ColourCase &c, const std::string &rgb) {
  const std::vector<uint32_t> picture = ColourPicture();
  if (rgb.size() != picture.size() * 3)
    return ColourCaseName(c) + ": " + std::to_string(rgb.size()) + " bytes";
  for (size_t i = 0; i < picture.size(); ++i) {
    const auto *px = reinterpret_cast<const unsigned char *>(&rgb[i * 3]);
    const uint32_t got = uint32_t(px[0]) << 16 | uint32_t(px[1]) << 8 | px[2];
    const uint32_t want = ColourRule(c.rules, picture[i]) & 0xFFFFFF;
    if (got != want) {
      char text[96];
      snprintf(text, sizeof text, ": pixel %zu (%06X) is %06X, not %06X", i,
               unsigned(picture[i] & 0xFFFFFF), unsigned(got), unsigned(want));
      return ColourCaseName(c) + text;
    }
  }
  return "";
}
