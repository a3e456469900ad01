// The crop values of the viewer: "crop" in pixels and "relcrop" in
// fractions of the image, both [width][x height][+|- xoff[+|- yoff]].
// Bad input is fatal: the message goes to the info channel and the
// process exits with status 1.
#include <cstdint>
#include <cstdlib>

#include "common.h"

namespace {

bool IsSign(char c) { return c == '+' || c == '-'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a decimal integer (optional sign) at p, clamped to the 32-bit range.
bool ReadInt(const char *p, int64_t *value, const char **end) {
  char *stop;
  long long v = strtoll(p, &stop, 10);
  if (stop == p) return false;
  if (v > INT32_MAX) v = INT32_MAX;
  if (v < INT32_MIN) v = INT32_MIN;
  *value = v;
  *end = stop;
  return true;
}

// Reads a decimal fraction (optional sign, digits with an optional point,
// optional exponent) at p. Hexadecimal, "inf" and "nan" are not numbers
// here, so that "0x0.5" reads as 0 followed by "x0.5".
bool ReadFraction(const char *p, double *value, const char **end) {
  const char *q = p;
  while (*q == ' ' || (*q >= '\t' && *q <= '\r')) q++;
  if (IsSign(*q)) q++;
  if (!IsDigit(*q) && !(*q == '.' && IsDigit(q[1]))) return false;
  if (q[0] == '0' && (q[1] == 'x' || q[1] == 'X')) {
    *value = 0.0;
    *end = q + 1;
    return true;
  }
  char *stop;
  *value = strtod(p, &stop);
  *end = stop;
  return true;
}

// A signed offset against one side of length `total` (the input size in
// pixels, or 1 for fractions). A negative offset counts from the far edge.
template <typename T>
void PlaceOnAxis(T total, T *size, T *offset) {
  if (*offset < 0) {
    T magnitude = *offset < -total ? 0 : -*offset;
    if (*size + magnitude <= total)
      *offset = total - *size - magnitude;
    else
      *size = total - magnitude;  // the offset stays out of range
  }
  if (*offset < 0 || *offset >= total) *offset = 0;
  if (*size > total - *offset) *size = total - *offset;
}

[[noreturn]] void BadCrop(bool relative, const char *text) {
  if (relative)
    CmnInfoPrintf(nullptr, "Bad format for relative crop.. [%s]\n", text);
  else
    CmnInfoPrintf(nullptr, "Bad format for crop.. [%s]\n", text);
  exit(1);
}

}  // namespace

void CmdParseCrop(const char *text, int32_t *width, int32_t *height, int32_t *xoff, int32_t *yoff) {
  if (!text || !*text) return;
  const int64_t in_w = *width;
  const int64_t in_h = *height;
  int64_t w = 1, h = 1, x = 0, y = 0;
  if (in_w == 0 || in_h == 0) {
    CmnInfoPrintf(nullptr, "Input size is %dx%d - cannot crop\n", *width, *height);
    exit(1);
  }
  const bool relative = false;
  const char *p = text;
  if (!IsSign(*p) && *p != 'x') {
    if (!ReadInt(p, &w, &p)) BadCrop(relative, text);
    if (w < 1) w = 1;
  }
  if (*p == 'x') {
    p++;
    if (!IsSign(*p) && ReadInt(p, &h, &p) && h < 1) h = 1;
  }
  if (IsSign(*p)) {
    if (!ReadInt(p, &x, &p)) BadCrop(relative, p);
    PlaceOnAxis(in_w, &w, &x);
    if (IsSign(*p)) {
      if (!ReadInt(p, &y, &p)) BadCrop(relative, p);
      PlaceOnAxis(in_h, &h, &y);
      if (*p) BadCrop(relative, p);
    }
  }
  *width = static_cast<int32_t>(w);
  *height = static_cast<int32_t>(h);
  *xoff = static_cast<int32_t>(x);
  *yoff = static_cast<int32_t>(y);
}

void CmdParseRelCrop(const char *text, double *width, double *height, double *xoff, double *yoff) {
  if (!text || !*text) return;
  double w = 1.0, h = 1.0, x = 0.0, y = 0.0;
  const bool relative = true;
  const char *p = text;
  if (!IsSign(*p) && *p != 'x') {
    if (!ReadFraction(p, &w, &p)) BadCrop(relative, text);
    if (!(w > 0.0 && w <= 1.0)) w = 1.0;
  }
  if (*p == 'x') {
    p++;
    if (!IsSign(*p) && ReadFraction(p, &h, &p) && !(h > 0.0 && h <= 1.0)) h = 1.0;
  }
  if (IsSign(*p)) {
    if (!ReadFraction(p, &x, &p)) BadCrop(relative, p);
    PlaceOnAxis(1.0, &w, &x);
    if (IsSign(*p)) {
      if (!ReadFraction(p, &y, &p)) BadCrop(relative, p);
      PlaceOnAxis(1.0, &h, &y);
      if (*p) BadCrop(relative, p);
    }
  }
  *width = w;
  *height = h;
  *xoff = x;
  *yoff = y;
}

int CmdParseSize(const char *text, int32_t *width, int32_t *height) {
  *width = *height = 0;
  if (!text) return 0;
  const char *p = text;
  char *end;
  if (*p != 'x' && *p != 'X') {
    long v = strtol(p, &end, 10);
    if (end == p || v < 1 || v > INT32_MAX) return 0;
    *width = static_cast<int32_t>(v);
    p = end;
    if (*p != 'x' && *p != 'X') return *p == '\0';
  }
  ++p;
  long v = strtol(p, &end, 10);
  if (end == p || *end || v < 1 || v > INT32_MAX) return 0;
  *height = static_cast<int32_t>(v);
  return 1;
}
