// Formatted heap texts through one shared scratch buffer, and the info
// channel through which the program's informational texts leave it.
#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "common.h"

#define CMN_SOURCE "cmninfo"

namespace {

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
char *g_scratch = nullptr;
size_t g_capacity = 0;

// A formatting error (an invalid multibyte sequence, say) must not grow
// the buffer for ever; past this size the result is given up as empty.
constexpr size_t kGiveUp = 1u << 20;

void Lock() {
  if (pthread_mutex_lock(&g_mutex) != 0) {
    fprintf(stderr, "%s %d: failed to lock mutex from thread: %p\n", CMN_SOURCE, 638,
            reinterpret_cast<void *>(pthread_self()));
    fflush(stderr);
  }
}

void Unlock() {
  if (pthread_mutex_unlock(&g_mutex) != 0) {
    fprintf(stderr, "%s %d: failed to unlock mutex from thread: %p\n", CMN_SOURCE, 650,
            reinterpret_cast<void *>(pthread_self()));
    fflush(stderr);
  }
}

void Grow(size_t capacity) {
  char *p = static_cast<char *>(realloc(g_scratch, capacity));
  if (!p) CmnPanic(__LINE__, CMN_SOURCE, "Out of memory");
  g_scratch = p;
  g_capacity = capacity;
}

// Formats into the scratch buffer; the mutex must be held.
void FormatLocked(const char *format, va_list args) {
  if (!g_scratch) Grow(64);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(g_scratch, g_capacity, format, copy);
    va_end(copy);
    if (n >= 0 && static_cast<size_t>(n) < g_capacity - 1) return;
    if (n < 0 && g_capacity >= kGiveUp) {
      g_scratch[0] = '\0';
      return;
    }
    size_t need = n >= 0 ? static_cast<size_t>(n) + 1 : 0;
    Grow(need > g_capacity + 63 ? need : g_capacity + 64);
  }
}

char *HeapCopy(const char *text) {
  char *copy = strdup(text);
  if (!copy) CmnPanic(__LINE__, CMN_SOURCE, "Out of memory");
  return copy;
}

// Null destination text: a heap copy; otherwise a non-empty result is
// appended.
void StoreLocked(char **dest) {
  if (!*dest) {
    *dest = HeapCopy(g_scratch);
    return;
  }
  size_t add = strlen(g_scratch);
  if (add == 0) return;
  size_t have = strlen(*dest);
  char *p = static_cast<char *>(realloc(*dest, have + add + 1));
  if (!p) CmnPanic(__LINE__, CMN_SOURCE, "Out of memory");
  memcpy(p + have, g_scratch, add + 1);
  *dest = p;
}

}  // namespace

CmnInfoHandlerTp CmnInfoHandle = CmnDefaultInfoHandler;

char *CmnStrVPrintf(char **dest, const char *format, va_list args) {
  if (!format) return dest ? *dest : nullptr;
  Lock();
  FormatLocked(format, args);
  char *result = g_scratch;
  if (dest) {
    StoreLocked(dest);
    result = *dest;
  }
  Unlock();
  return result;
}

char *CmnStrPrintf(char **dest, const char *format, ...) {
  va_list args;
  va_start(args, format);
  char *result = CmnStrVPrintf(dest, format, args);
  va_end(args);
  return result;
}

char *CmnInfoPrintf(char **dest, const char *format, ...) {
  if (!format) return dest ? *dest : nullptr;
  va_list args;
  va_start(args, format);
  Lock();
  FormatLocked(format, args);
  va_end(args);
  if (dest) {
    StoreLocked(dest);
    CmnInfo("Info", dest);
  } else {
    char *copy = HeapCopy(g_scratch);
    CmnInfo("Info", &copy);
  }
  Unlock();
  return dest ? *dest : nullptr;
}

void CmnInfo(const char *kind, char **text) {
  if (!CmnInfoHandle) {
    fprintf(stderr, "%s %d: Info handler not set\n", CMN_SOURCE, 201);
    return;
  }
  CmnInfoHandle(kind, text);
}

void CmnInfoFlush(char **text) {
  if (text && *text) CmnInfo("Info", text);
}

CmnInfoHandlerTp *CmnSetInfoHandler(CmnInfoHandlerTp handler) {
  CmnInfoHandle = handler;
  return &CmnInfoHandle;
}

void CmnDefaultInfoHandler(const char *, char **text) {
  if (!text || !*text) return;
  fputs(*text, stderr);
  fflush(stderr);
  free(*text);
  *text = nullptr;
}

void CmnStrFree(char **text) {
  if (text && *text) {
    free(*text);
    *text = nullptr;
  }
}

void CmnPanic(unsigned line, const char *source, const char *message) {
  fprintf(stderr, "\nPanic in line %d of file %s: %s\n", static_cast<int>(line), source, message);
  fflush(stderr);
  abort();
}

size_t CmnStrCapacity(void) {
  Lock();
  size_t capacity = g_capacity;
  Unlock();
  return capacity;
}

char *CmnShellQuote(const char *text) {
  if (!text) text = "";
  size_t quotes = 0;
  for (const char *p = text; *p; ++p) quotes += (*p == '\'');
  // Each embedded quote becomes '\'' (close, escaped quote, reopen).
  size_t size = strlen(text) + 3 * quotes + 3;
  char *out = static_cast<char *>(malloc(size));
  if (!out) CmnPanic(__LINE__, CMN_SOURCE, "Out of memory");
  char *o = out;
  *o++ = '\'';
  for (const char *p = text; *p; ++p) {
    if (*p == '\'') {
      memcpy(o, "'\\''", 4);
      o += 4;
    } else {
      *o++ = *p;
    }
  }
  *o++ = '\'';
  *o = '\0';
  return out;
}
