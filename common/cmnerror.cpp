// Raising status codes and turning them into message texts.
//
// A raise records where it happened and its message arguments; the
// installed handler formats the message at once through CmnErrorText.
// C cannot keep a va_list alive past the raise, so the arguments are live
// only while the handler runs; the message of the last raised code is also
// rendered at raise time so that it can still be asked for afterwards.
#include "cmnerror.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#define CMN_SOURCE "cmnerror"

ReturnTp CmnErrno = 0;
uint16_t pvdebug = 0;

namespace {

// Rows are searched from the last towards the first, so a later row for
// the same code wins.
#define CMN_CODE_ROW(name, code, message) {name, message},
const CmnErrorTableTp kMessages[] = {CMN_CODE_TABLE(CMN_CODE_ROW)};
#undef CMN_CODE_ROW

constexpr size_t kBufSize = 512;

// What the last raise recorded.
const char *g_source = nullptr;
unsigned g_line = 0;
va_list g_args;
bool g_args_live = false;   // true while the handler of a raise runs
char g_rendered[kBufSize];  // message of the last raised code
ReturnTp g_rendered_code = 0;

char g_message[kBufSize];  // what CmnErrorText returns
char g_second[kBufSize];   // decorated form and debug texts

uint16_t g_filter[4];

int SeverityIndex(ReturnTp code) {
  switch (code & CMN_SEVERITY_MASK) {
    case CMN_SEV_INFO:
      return 0;
    case CMN_SEV_WARNING:
      return 1;
    case CMN_SEV_ERROR:
      return 2;
    default:
      return 3;
  }
}

void DefaultDebugHandler(const char *text) {
  fputs(text, stderr);
  fflush(stderr);
}

const char *FindFormat(ReturnTp code, const CmnErrorTableTp *extension, bool *in_main) {
  for (size_t i = sizeof kMessages / sizeof kMessages[0]; i-- > 0;)
    if (kMessages[i].code == code) {
      *in_main = true;
      return kMessages[i].message;
    }
  *in_main = false;
  if (extension)
    for (const CmnErrorTableTp *row = extension; row->message; ++row)
      if (row->code == code) return row->message;
  return nullptr;
}

// A format whose arguments are gone: conversions are left out rather than
// read from a stale argument list.
void RenderWithoutArguments(const char *format, char *out, size_t size) {
  size_t n = 0;
  for (const char *p = format; *p && n + 1 < size; ++p) {
    if (*p != '%') {
      out[n++] = *p;
      continue;
    }
    if (p[1] == '%') {
      out[n++] = '%';
      ++p;
      continue;
    }
    ++p;
    while (*p && !strchr("diouxXeEfFgGaAcspn", *p)) ++p;
    if (!*p) break;
  }
  out[n] = '\0';
}

void ApplyBackspaces(char *text) {
  for (char *p; (p = strstr(text, "\\b")) != nullptr;) {
    char *from = p > text ? p - 1 : p;
    memmove(from, p + 2, strlen(p + 2) + 1);
  }
}

}  // namespace

CmnErrorHandlerTp CmnHandleError = CmnDefaultErrorHandler;
CmnDebugHandlerTp CmnHandleDebug = DefaultDebugHandler;

namespace {

// Records the place, hands the code to the handler (with the arguments
// when they are live) and gives the caller its answer.
ReturnTp Deliver(const char *source, unsigned line, ReturnTp code, va_list *args) {
  g_source = source;
  g_line = static_cast<uint16_t>(line);
  CmnErrno = code;
  if (!CmnHandleError) return code;
  if (g_filter[SeverityIndex(code)] != 0) return code;

  if (args) {
    va_copy(g_args, *args);
    g_args_live = true;
  }
  CmnHandleError(code);
  if (args) {
    g_args_live = false;
    va_end(g_args);
  }

  ReturnTp severity = code & CMN_SEVERITY_MASK;
  if (severity == CMN_SEV_INFO || severity == CMN_SEV_WARNING) return 0;
  return code | CMN_REPORTED;
}

}  // namespace

ReturnTp CmnVError(const char *source, unsigned line, ReturnTp code, va_list args) {
  if (code == 0 || (code & CMN_REPORTED)) return code;

  bool in_main = false;
  const char *format = FindFormat(code, nullptr, &in_main);
  g_rendered_code = code;
  if (format) {
    va_list copy;
    va_copy(copy, args);
    vsnprintf(g_rendered, sizeof g_rendered, format, copy);
    va_end(copy);
  } else {
    g_rendered[0] = '\0';
  }
  va_list copy;
  va_copy(copy, args);
  const ReturnTp rc = Deliver(source, line, code, &copy);
  va_end(copy);
  return rc;
}

ReturnTp CmnReraise(const char *source, unsigned line, ReturnTp code) {
  if (code == 0 || (code & CMN_REPORTED)) return code;
  if (code != g_rendered_code) {
    bool in_main = false;
    const char *format = FindFormat(code, nullptr, &in_main);
    g_rendered_code = code;
    if (format)
      RenderWithoutArguments(format, g_rendered, sizeof g_rendered);
    else
      g_rendered[0] = '\0';
  }
  return Deliver(source, line, code, nullptr);
}

ReturnTp CmnError(const char *source, unsigned line, ReturnTp code, ...) {
  va_list args;
  va_start(args, code);
  ReturnTp rc = CmnVError(source, line, code, args);
  va_end(args);
  return rc;
}

void CmnAssertFailed(const char *rule, const char *source, unsigned line) {
  fprintf(stderr, "Assertion failed: %s (%s %u)\n", rule, source, line);
  abort();
}

ReturnTp CmnSysError(const char *text) {
  char buf[kBufSize];
  snprintf(buf, sizeof buf, "%s: %s", text ? text : "", strerror(errno));
  return CmnError(CMN_SOURCE, 202, CMN_E_TEXT, buf);
}

const char *CmnErrorText(ReturnTp code, const CmnErrorTableTp *extension, FILE *stream) {
  code &= ~CMN_REPORTED;
  bool in_main = false;
  const char *format = FindFormat(code, extension, &in_main);
  if (!format) {
    snprintf(g_message, sizeof g_message, "Unknown Error 0x%lX", static_cast<unsigned long>(code));
  } else if (g_args_live && code == CmnErrno) {
    va_list copy;
    va_copy(copy, g_args);
    vsnprintf(g_message, sizeof g_message, format, copy);
    va_end(copy);
  } else if (in_main && code == g_rendered_code) {
    memcpy(g_message, g_rendered, sizeof g_message);
  } else {
    RenderWithoutArguments(format, g_message, sizeof g_message);
  }

  if ((pvdebug > 0 || SeverityIndex(code) == 3) && g_source) {
    size_t len = strnlen(g_message, kBufSize - 1);
    memcpy(g_second, g_message, len);
    g_second[len] = '\0';
    int keep = 150 - static_cast<int>(len);
    if (keep < 0) keep = 0;
    // A long message loses the tail of its decoration rather than overflow.
    if (snprintf(g_message, sizeof g_message, "%s (%.*s  %4u)", g_second, keep, g_source, g_line) <
        0)
      memcpy(g_message, g_second, len + 1);
  }

  ApplyBackspaces(g_message);

  if (stream) {
    fprintf(stream, "%s\n", g_message);
    fflush(stream);
  }
  return g_message;
}

void CmnFilterOn(uint32_t mask) {
  const uint32_t bits[4] = {CMN_SEV_INFO, CMN_SEV_WARNING, CMN_SEV_ERROR, CMN_SEV_INTERNAL};
  for (int i = 0; i < 4; ++i)
    if ((mask & bits[i]) && g_filter[i] < UINT16_MAX) ++g_filter[i];
}

void CmnFilterOff(uint32_t mask) {
  const uint32_t bits[4] = {CMN_SEV_INFO, CMN_SEV_WARNING, CMN_SEV_ERROR, CMN_SEV_INTERNAL};
  for (int i = 0; i < 4; ++i)
    if ((mask & bits[i]) && g_filter[i] > 0) --g_filter[i];
}

CmnErrorHandlerTp *CmnSetErrorHandler(CmnErrorHandlerTp handler) {
  CmnHandleError = handler;
  return &CmnHandleError;
}

void CmnDefaultErrorHandler(ReturnTp code) {
  const char *form;
  switch (code & CMN_SEVERITY_MASK) {
    case CMN_SEV_INFO:
      form = "Info: %s\n";
      break;
    case CMN_SEV_WARNING:
      form = "Warning: %s\n";
      break;
    case CMN_SEV_ERROR:
      form = "Error: %s\n";
      break;
    default:
      form = "Internal Error: %s\n";
      break;
  }
  fprintf(stderr, form, CmnErrorText(code, nullptr, nullptr));
  fflush(stderr);
}

void CmnDebug(int level, const char *format, ...) {
  if (pvdebug < level || !format) return;
  va_list args;
  va_start(args, format);
  vsnprintf(g_second, sizeof g_second, format, args);
  va_end(args);
  ApplyBackspaces(g_second);
  if (CmnHandleDebug) CmnHandleDebug(g_second);
}

// Process-wide values shared across the layers (see common.h).
int graphics_resolution = 144;
int graphics_size = 0;
int rasterized = 0;
unsigned long parentWindow = 0;
int xoffset = 0;
int yoffset = 0;
