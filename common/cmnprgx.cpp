// Small runtime services: generic singly linked lists, the quoted-word
// parser, the program search along PATH, the debugging hooks and the
// graphics size rounding used to size rasters of vector input.
#include <malloc.h>
#include <sys/stat.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common.h"

#define CMN_SOURCE "cmnprgx"

CmnDebugCheckTp CmnDebugCheckPtr = nullptr;
CmnDebugOutputTp CmnDebugOutputPtr = nullptr;

// ---------------------------------------------------------------------------
// Singly linked lists. A node is any record whose first field is the next
// pointer, so the head and every node can be walked as a CmnLinkTp.

static CmnLinkTp *NewNode(size_t node_size) {
  // The node must at least hold its links (both kinds share this
  // allocator); callers ask for their own record size.
  if (node_size < sizeof(CmnLink2Tp)) node_size = sizeof(CmnLink2Tp);
  void *node = calloc(1, node_size);
  if (!node) CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
  return static_cast<CmnLinkTp *>(node);
}

void *CmnLinkAppend(void *head_address, size_t node_size) {
  if (!head_address) return nullptr;
  CmnLinkTp **link = static_cast<CmnLinkTp **>(head_address);
  while (*link) link = &(*link)->next;
  *link = NewNode(node_size);
  return *link;
}

void *CmnLinkInsert(void *head_address, size_t node_size, int position) {
  if (!head_address) return nullptr;
  CmnLinkTp **link = static_cast<CmnLinkTp **>(head_address);
  // The new node ends up with the 0-based index `position`, or last when
  // the list is shorter.
  for (int i = 0; i < position && *link; i++) link = &(*link)->next;
  CmnLinkTp *node = NewNode(node_size);
  if (!node) return nullptr;
  node->next = *link;
  *link = node;
  return node;
}

void *CmnLinkGetEntry(void *head_address, int index) {
  CmnLinkTp **head = static_cast<CmnLinkTp **>(head_address);
  if (head && *head) {
    // Entry 0 is the anchor itself, so that "the entry before index 1"
    // can be used uniformly for insertion and removal.
    if (index < 1) return head_address;
    CmnLinkTp *node = *head;
    for (int i = 1; node && i < index; i++) node = node->next;
    if (node) return node;
  }
  fprintf(stderr, "CmnLinkGetEntry: OUT OF RANGE, ptr:%p entry:%d\n", head_address, index);
  return nullptr;
}

int CmnLinkCount(const void *head) {
  int count = 0;
  for (const CmnLinkTp *node = static_cast<const CmnLinkTp *>(head); node; node = node->next)
    count++;
  return count;
}

// Unlinks the node with the 0-based index and returns it, or null.
static CmnLinkTp *Unlink(void *head_address, int index) {
  if (!head_address || index < 0) return nullptr;
  CmnLinkTp **link = static_cast<CmnLinkTp **>(head_address);
  for (int i = 0; i < index && *link; i++) link = &(*link)->next;
  CmnLinkTp *node = *link;
  if (node) *link = node->next;
  return node;
}

void CmnLinkRemove(void *head_address, int index) { free(Unlink(head_address, index)); }

void CmnLinkFree(void *head_address) {
  if (!head_address) return;
  CmnLinkTp **head = static_cast<CmnLinkTp **>(head_address);
  CmnLinkTp *node = *head;
  while (node) {
    CmnLinkTp *next = node->next;
    free(node);
    node = next;
  }
  *head = nullptr;
}

// Nodes with child lists: the same walk, but a node takes its child list
// with it when it goes.

void *CmnLink2Append(void *head_address, size_t node_size) {
  return CmnLinkAppend(head_address, node_size);
}

void *CmnLink2GetEntry(void *head_address, int index) {
  void *entry = CmnLinkGetEntry(head_address, index);
  if (!entry) fprintf(stderr, "(called from CmnLink2GetEntry)\n");
  return entry;
}

int CmnLink2Count(const void *head) { return CmnLinkCount(head); }

static void FreeNode2(CmnLink2Tp *node) {
  CmnLink2Free(&node->child);
  free(node);
}

void CmnLink2Remove(void *head_address, int index) {
  CmnLinkTp *node = Unlink(head_address, index);
  if (node) FreeNode2(reinterpret_cast<CmnLink2Tp *>(node));
}

void CmnLink2Free(void *head_address) {
  if (!head_address) return;
  CmnLink2Tp **head = static_cast<CmnLink2Tp **>(head_address);
  CmnLink2Tp *node = *head;
  *head = nullptr;
  while (node) {
    CmnLink2Tp *next = node->next;
    FreeNode2(node);
    node = next;
  }
}

// ---------------------------------------------------------------------------
// Quoted-word parser. The word buffer must hold strlen(text) + 1 bytes: a
// word is never longer than the text it comes from.

static bool IsOctal(char c) { return c >= '0' && c <= '7'; }

char CmnDecodeEscape(const char **p, int max_octal, bool bell) {
  const char *s = *p;
  if (IsOctal(*s)) {
    unsigned code = 0;
    for (int i = 0; IsOctal(*s) && (max_octal == 0 || i < max_octal); ++i)
      code = code * 8 + static_cast<unsigned>(*s++ - '0');
    *p = s;
    return static_cast<char>(code & 0xFF);
  }
  char c = *s++;
  *p = s;
  switch (c) {
    case 'a':
      return bell ? '\a' : c;
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    case 'v':
      return '\v';
    default:
      return c;
  }
}

const char *CmnParse(const char *text, char *word) {
  if (!word) {
    fprintf(stderr, "Internal error: CmnParse called with NULL buffer\n");
    exit(1);
  }
  *word = '\0';
  if (!text) return text;
  const char *p = text;
  while (*p && isspace(static_cast<unsigned char>(*p))) p++;
  if (!*p) return p;
  if (p[0] == '"' && p[1] == '"') return p + 2;  // an explicitly empty word

  char *w = word;
  bool quoted = false;
  while (*p && (quoted || !isspace(static_cast<unsigned char>(*p)))) {
    char c = *p++;
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (c == '\\') {
      if (!*p) break;  // a trailing backslash escapes nothing
      c = CmnDecodeEscape(&p, 3, true);
    }
    *w++ = c;
  }
  *w = '\0';
  return p;
}

// ---------------------------------------------------------------------------
// Program search.

static bool IsExecutable(const char *path) {
  struct stat st;
  if (stat(path, &st) != 0) return false;
  // A directory carries execute bits too, but cannot be run.
  return !S_ISDIR(st.st_mode) && (st.st_mode & S_IXUSR);
}

static int Found(const char *path, char *result, size_t result_length) {
  if (result && result_length > 0) {
    size_t length = strlen(path);
    if (length >= result_length) length = result_length - 1;
    memcpy(result, path, length);
    result[length] = '\0';
  }
  return 1;
}

int CmnFindProgram(const char *name, char *result, size_t result_length) {
  if (!name || !*name) return 0;
  if (name[0] == '/') return IsExecutable(name) ? Found(name, result, result_length) : 0;

  const char *path_env = getenv("PATH");
  if (!path_env) return 0;
  char *path = strdup(path_env);
  if (!path) {
    CmnError(CMN_SOURCE, __LINE__, CMN_E_NOMEM);
    exit(1);
  }
  int found = 0;
  std::string candidate;
  for (char *start = path; !found && start;) {
    char *colon = strchr(start, ':');
    if (colon) *colon = '\0';
    if (*start) {
      candidate.assign(start).append("/").append(name);
      if (IsExecutable(candidate.c_str())) found = Found(candidate.c_str(), result, result_length);
    }
    start = colon ? colon + 1 : nullptr;
  }
  free(path);
  return found;
}

// ---------------------------------------------------------------------------
// Debugging hooks: inert unless a host installs them.

int CmnDebugCheck(const char *text, int value) {
  return CmnDebugCheckPtr ? CmnDebugCheckPtr(text, value) : value;
}

void CmnDebugOutput(const char *text) {
  if (CmnDebugOutputPtr) CmnDebugOutputPtr(text);
}

// ---------------------------------------------------------------------------
// Graphics size rounding: vector input is rasterised at no less than a
// minimum size, scaled up a little and rounded to a multiple of 300 so that
// filters see familiar sizes.

int32_t CmnGraphicsSize(int32_t a, int32_t b) {
  int64_t s = a > 1 ? a : 1;
  if (b > s) s = b;
  if (s < 300) s = s * (300 / s);

  double factor = 1.4;
  if (const char *scale = getenv("PVGSCALE")) {
    factor = strtod(scale, nullptr);
    if (!(factor >= 0.1)) factor = 1.0;  // also catches a value that is not a number
  }
  // Limit in floating point before converting: a huge size or factor must
  // not overflow the integer.
  const int64_t kLargest = INT32_MAX / 300 * 300;
  double scaled = static_cast<double>(s) * factor;
  int64_t t = scaled >= static_cast<double>(kLargest) ? kLargest : static_cast<int64_t>(scaled);

  int64_t minimum = 1500;
  if (const char *min_env = getenv("PVGMINSIZE")) {
    minimum = strtoll(min_env, nullptr, 10);
    if (minimum == 0) minimum = 300;
    if (minimum > kLargest) minimum = kLargest;
  }
  int64_t size = t > minimum ? t : minimum;
  return static_cast<int32_t>((size + 299) / 300 * 300);
}

void CmnKeepFreedMemory() {
#ifdef M_TRIM_THRESHOLD
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
}
