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
const CmnErrorTableTp kMessages[] = {
    // System services: files, memory, directories, arguments, texts.
    {0x00040001u, "The file or directory does not exist"},
    {0x00040002u, "I/O error"},
    {0x00040003u, "Not enough memory"},
    {0x00040004u, "Permission denied"},
    {0x00040005u, "File already exists"},
    {0x00040006u, "Not a directory"},
    {0x00040007u, "The file is a directory"},
    {0x00040009u, "Invalid environment"},
    {0x0004000Au, "Arg. not supported"},
    {0x0004000Bu, "Too many open files"},
    {0x0004000Cu, "No space on device"},
    {0x0004000Du, "Domain error"},
    {0x0004000Eu, "Result too large"},
    {0x00040010u, "Cannot open file"},
    {0x00040011u, "Cannot open %s"},
    {0x00040012u, "Cannot read file"},
    {0x00040013u, "Cannot read %s"},
    {0x00040014u, "Cannot write file"},
    {0x00040015u, "Cannot write %s"},
    {0x00040016u, "Name, <%s>, too long. Max %d allowed"},
    {0x00040017u, "Too many parameters specified"},
    {0x00040018u, "General system call error"},
    {0x00040019u, "%s"},
    {0x0004001Au, "%s%s"},
    {0x0004001Bu, "%s%s%s"},
    {0x0004001Cu, "%s%s%s%s"},
    {0x0004001Du, "%s%s%s%s%s"},
    {0x0004001Eu, "Cannot create directory %s"},
    {0x0004001Fu, "Cannot move file %s to %s"},
    {0x00040020u, "Cannot copy file %s to %s"},
    {0x00040021u, "%s %d: Not enough memory"},
    {0x00040022u, "Cannot open %s"},
    {0x00020001u, "Unknown type of file %s"},
    {0x00020002u, "Cannot save rasterized Vector Graphics file"},
    {0x00080001u, "Invalid argument"},
    {0x00080002u, "Invalid state"},
    // Image file interface.
    {0x05080002u, "Control block pointer should be NULL"},
    {0x05080003u, "File name points to NULL"},
    {0x05080006u, "Unknown file type"},
    {0x05080007u, "Control block pointer is NULL"},
    {0x05080008u, "Service confusion from the application"},
    {0x0508000Au, "Bad file header params returned from driver"},
    {0x0508000Bu, "Strange width of the image"},
    {0x0508000Cu, "Strange height of the image"},
    {0x0508000Eu, "Is there a colormap or not"},
    {0x0508000Fu, "Strange color map"},
    {0x05080010u, "Strange color map size"},
    {0x05080011u, "Strange orientation"},
    {0x05080012u, "Invalid mirrored state"},
    {0x05080016u, "Invalid parameters while writing file header"},
    {0x05080017u, "The colormap pointer is NULL"},
    {0x05080018u, "There is not colormap to read"},
    {0x05080019u, "There is not colormap to write"},
    {0x0508001Au, "The ScanLine pointer is NULL"},
    {0x0508001Bu, "Reading a line that does not exist"},
    {0x0508001Du, "Writing a line that does not exist"},
    {0x0508001Fu, "The requested driver is not linked in"},
    {0x05080020u, "The IFD has been set up for import only"},
    {0x05020021u, "The layout does not have a preview"},
    // Format drivers.
    {0x06040001u, "Unsupported %s format"},
    {0x06040002u, "Cannot convert to %s format"},
    {0x06040003u, "Invalid Data in %s format"},
    {0x06080005u, "Invalid line sequence during import"},
    {0x06080006u, "Invalid line sequence during export"},
    {0x06080007u, "The driver expects a color map"},
    {0x06080008u, "The driver expects image data in RGB form"},
    {0x06080009u, "Invalid color map size during export"},
    {0x0608000Bu, "Cannot write the header information"},
    {0x0608000Cu, "Cannot write a scan line"},
    {0x0608000Du, "The driver does not handle compression"},
    {0x0608000Eu, "Cannot write the color map"},
    {0x06080010u, "The driver cannot handle the desired compression"},
    {0x0604008Cu, "Version of PCX file is not supported"},
    {0x0604008Du, "Unsupported color mode in PCX file"},
    {0x0608007Au, "Invalid GIF record in file"},
    {0x0608007Bu, "Cannot read the GIF image descriptor"},
    {0x0608007Cu, "Cannot decompress GIF scan line"},
    {0x0608007Du, "Cannot get GIF extension block"},
    {0x0608007Eu, "Problems with GIF extension block handling"},
    {0x0608007Fu, "GIF problems during close"},
    {0x060400B5u, "TIFF planar configuration not supported"},
    {0x060400B6u, "TIFF bits per sample not supported"},
    {0x060400BEu, "No Raster Data in I-DEAS Picture File"},
    // Format conversion utilities.
    {0x07080003u, "Unnecessary call of IfuConvBPC()"},
    {0x07080004u, "Invalid RL encoding"},
    {0x07080005u, "Only byte oriented RL encoding is supported"},
    {0x07080006u, "Invalid number of pixels per byte"},
    // File I/O.
    {0x08040004u, "Empty file"},
    {0x08080004u, "Cannot close file"},
    {0x08080006u, "Cannot read file"},
    {0x08080009u, "File not found"},
    {0x0808000Au, "Unexpected End-Of-File"},
    {0x0808000Bu, "Cannot set file buffer"},
    {0x0808000Cu, "Invalid or unopend stream"},
    {0x0808000Du, "Invalid file stream"},
    // TIFF reading.
    {0x0A040001u, "Not a Tiff file"},
    {0x0A040002u, "Invalid or unsupported Tiff file"},
    {0x0A040003u, "Compression not supported"},
    {0x0A040004u, "Unsupported Tiff file"},
    // File-name arguments, start-up, screen visuals.
    {0x14040006u, "Could not subsitute '~' with users home directory"},
    {0x18040007u,
     "Use the option '-sys <sysdir>' or set the SYSDIR variable\n"
     "to specify the path-name of the system directory"},
    {0x1D040001u, "Too many visuals encountered"},
    // Codec stream handles and buffers.
    {0x20080001u, "Handle atready allocated"},
    {0x20040002u, "Cannot allocate handle"},
    {0x20040003u, "Cannot allocate buffer"},
    {0x20080004u, "Invalid handle"},
    {0x20010005u, "EOD found"},
    {0x20080006u, "Invalid buffer"},
    {0x20040007u, "Invalid character"},
    {0x20020008u, "Data lost"},
    {0x2008000Bu, "Non-integral strip"},
    {0x2001000Eu, "Paused"},
    {0x200800FFu, "Internal error"},
    // Pages of a multi-page image.
    {0x22010001u, "No more pages"},
};

constexpr size_t kBufSize = 512;

// What the last raise recorded.
const char *g_source = nullptr;
unsigned g_line = 0;
va_list g_args;
bool g_args_live = false;             // true while the handler of a raise runs
char g_rendered[kBufSize];            // message of the last raised code
ReturnTp g_rendered_code = 0;

char g_message[kBufSize];             // what CmnErrorText returns
char g_second[kBufSize];              // decorated form and debug texts

uint16_t g_filter[4];

int SeverityIndex(ReturnTp code) {
  switch (code & CMN_SEVERITY_MASK) {
    case CMN_SEV_INFO: return 0;
    case CMN_SEV_WARNING: return 1;
    case CMN_SEV_ERROR: return 2;
    default: return 3;
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

ReturnTp CmnVError(const char *source, unsigned line, ReturnTp code, va_list args) {
  if (code == 0 || (code & CMN_REPORTED)) return code;

  g_source = source;
  g_line = static_cast<uint16_t>(line);
  CmnErrno = code;

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

  if (!CmnHandleError) return code;
  if (g_filter[SeverityIndex(code)] != 0) return code;

  va_copy(g_args, args);
  g_args_live = true;
  CmnHandleError(code);
  g_args_live = false;
  va_end(g_args);

  ReturnTp severity = code & CMN_SEVERITY_MASK;
  if (severity == CMN_SEV_INFO || severity == CMN_SEV_WARNING) return 0;
  return code | CMN_REPORTED;
}

ReturnTp CmnError(const char *source, unsigned line, ReturnTp code, ...) {
  va_list args;
  va_start(args, code);
  ReturnTp rc = CmnVError(source, line, code, args);
  va_end(args);
  return rc;
}

ReturnTp CmnSysError(const char *text) {
  char buf[kBufSize];
  snprintf(buf, sizeof buf, "%s: %s", text ? text : "", strerror(errno));
  return CmnError(CMN_SOURCE, 202, CMN_E_SYSTEXT, buf);
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
    if (snprintf(g_message, sizeof g_message, "%s (%.*s  %4u)", g_second, keep, g_source,
                 g_line) < 0)
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
    case CMN_SEV_INFO: form = "Info: %s\n"; break;
    case CMN_SEV_WARNING: form = "Warning: %s\n"; break;
    case CMN_SEV_ERROR: form = "Error: %s\n"; break;
    default: form = "Internal Error: %s\n"; break;
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
