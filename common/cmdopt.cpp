// Option tables: parsing of the command line and of response files into a
// table of CmdOptionTp rows, and the typed queries against that table.
// Every diagnostic is fatal: it is handed to the info channel and the
// process exits with status 1.
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"

namespace {

#define CMN_SOURCE "cmdopt"
const int kMaxChoiceWords = 256;  // hard limit of allowed words, terminator included
const int kResponseLineSize = 1024;

// Allocation failure: raised once, the process ends with the status raising gives.
[[noreturn]] void NoMemory(unsigned line) {
  ReturnTp rc = CmnError(CMN_SOURCE, line, CMN_E_NOMEM);
  exit(static_cast<int>(rc));
}

void *CheckedAlloc(void *p, unsigned line) {
  if (!p) NoMemory(line);
  return p;
}

#define CMD_MALLOC(size) CheckedAlloc(malloc(size), __LINE__)
#define CMD_REALLOC(ptr, size) CheckedAlloc(realloc((ptr), (size)), __LINE__)

char *HeapCopy(const char *text) {
  size_t n = strlen(text) + 1;
  char *copy = static_cast<char *>(CMD_MALLOC(n));
  memcpy(copy, text, n);
  return copy;
}

// A growing heap text for building results of unknown length.
struct Buffer {
  char *data = nullptr;
  size_t len = 0;
  size_t cap = 0;

  void Reserve(size_t extra) {
    if (len + extra + 1 <= cap) return;
    size_t want = cap ? cap : 64;
    while (want < len + extra + 1) want *= 2;
    data = static_cast<char *>(CMD_REALLOC(data, want));
    data[len] = '\0';
    cap = want;
  }
  void Append(const char *text, size_t n) {
    Reserve(n);
    memcpy(data + len, text, n);
    len += n;
    data[len] = '\0';
  }
  void Append(char c) { Append(&c, 1); }
  // Hands the text to the caller; an empty buffer gives an empty heap text.
  char *Release() {
    if (!data) return HeapCopy("");
    char *text = data;
    data = nullptr;
    len = cap = 0;
    return text;
  }
};

bool Tracing() { return getenv("PVDEBUGARGS") != nullptr; }

bool IsAsciiAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

[[noreturn]] void FatalUsage(const CmdOptionTp *table) {
  CmdPrintOptions(table);
  exit(1);
}

// Finds the row that `typed` selects. On the command line `typed` is the
// argument with its leading "-" (skipped for matching); for a query it is
// the bare name and messages carry a "-" of their own.
CmdOptionTp *LookUp(CmdOptionTp *table, const char *typed, bool command_line) {
  const char *name = typed;
  if (command_line && *name) name++;
  char *key = CmdNormalizeName(name);
  size_t keylen = strlen(key);
  CmdOptionTp *found = nullptr;
  bool ambiguous = false;
  for (CmdOptionTp *row = table; row->name; row++) {
    if (strncmp(row->name, key, keylen) != 0) continue;
    if (!found) {
      found = row;
    } else {
      ambiguous = true;
      break;
    }
  }
  free(key);
  const char *dash = command_line ? "" : "-";
  if (!found) {
    CmnInfoPrintf(nullptr, "Unrecognized option: %s%s\n", dash, typed);
    FatalUsage(table);
  }
  if (ambiguous) {
    CmnInfoPrintf(nullptr, "Ambiguous option: %s%s\n", dash, typed);
    FatalUsage(table);
  }
  return found;
}

void FreeValueList(CmdValueNodeTp *node) {
  while (node) {
    CmdValueNodeTp *next = node->next;
    free(node->value);
    free(node);
    node = next;
  }
}

// Stores the values of the option words[0] (one of `count` remaining words,
// the option itself included) and returns how many words it consumed
// beyond the option.
int StoreOption(CmdOptionTp *table, char **words, int count) {
  CmdOptionTp *row = LookUp(table, words[0], true);
  int consumed = 0;
  if (row->nvalues <= 0) {
    if (!row->value) row->value = HeapCopy("");
  } else if (row->nvalues == 1) {
    free(row->value);
    row->value = nullptr;
    if (count > 1) {
      row->value = HeapCopy(words[1]);
      consumed = 1;
    }
  } else {
    int n = row->nvalues;
    if (count - 1 < n) {
      CmnInfoPrintf(nullptr,
                    "Missing values in option [%s], which takes %d values\n"
                    "Giving up!!!\n",
                    words[0], n);
      exit(1);
    }
    CmdValueNodeTp *last = static_cast<CmdValueNodeTp *>(row->value);
    while (last && last->next) last = last->next;
    for (int k = 1; k <= n; k++) {
      CmdValueNodeTp *node = static_cast<CmdValueNodeTp *>(CMD_MALLOC(sizeof *node));
      node->next = nullptr;
      node->value = CmdExpandValue(words[k]);
      if (last)
        last->next = node;
      else
        row->value = node;
      last = node;
    }
    consumed = n;
  }
  return consumed;
}

// Reads a response file and stores the options it holds.
void CmdReadResponseFile(const char *path, CmdOptionTp *table) {
  FILE *fp = fopen(path, "r");
  if (!fp) {
    CmnInfoPrintf(nullptr, "%s: %s\n", path, strerror(errno));
    exit(1);
  }
  bool trace = Tracing();
  Buffer text;
  char line[kResponseLineSize + 1];
  while (fgets(line, sizeof line, fp) && line[0] != '\0') {
    size_t n = strlen(line);
    if (trace) {
      fwrite(line, 1, n - 1, stderr);
      fputc(' ', stderr);
    }
    if (strncmp(line, "QPLCMD", 6) == 0) continue;
    text.Append(line, n);
  }
  fclose(fp);
  char *all = text.Release();
  int nwords = 0;
  char **words = CmdSplitWords(all, &nwords);
  free(all);
  for (int i = 0; i < nwords; i++) {
    char *expanded = CmdExpandValue(words[i]);
    free(words[i]);
    words[i] = expanded;
  }
  for (int i = 0; i < nwords; i++) i += StoreOption(table, words + i, nwords - i);
  CmdFreeWords(words);
}

// Collects the allowed words of CmdGetOptIndex / CmdGetOptChoice and
// returns the 1-based position of the word that the option's value
// selects, 0 when the option was not given, -1 after reporting a bad or
// ambiguous value. *word receives the selected word.
int SelectWord(CmdOptionTp *table, const char *name, va_list args, const char **word) {
  const char *words[kMaxChoiceWords];
  int nwords = 0;
  for (;;) {
    const char *w = va_arg(args, const char *);
    if (!w) break;
    words[nwords++] = w;
    if (nwords >= kMaxChoiceWords) {
      fprintf(stderr, "Wow: You hit a hard limit of max %d values for an option\n",
              kMaxChoiceWords);
      exit(1);
    }
  }
  *word = nullptr;
  const char *value = static_cast<const char *>(CmdGetOpt(table, name));
  if (!value) return 0;
  char *key = CmdNormalizeName(value);
  size_t keylen = strlen(key);
  int selected = 0;
  int matches = 0;
  for (int i = 0; i < nwords; i++) {
    size_t wlen = strlen(words[i]);
    bool match;
    if (wlen > 0 && words[i][wlen - 1] == '*')
      match = strncmp(key, words[i], wlen - 1) == 0;
    else
      match = strncmp(words[i], key, keylen) == 0;
    if (match) {
      matches++;
      selected = i + 1;
    }
  }
  free(key);
  if (matches == 1) {
    *word = words[selected - 1];
    return selected;
  }
  char *msg = nullptr;
  CmnStrPrintf(&msg,
               matches == 0 ? "Bad value [%s] for option [-%s]\n"
                            : "Ambiguous value [%s] for option [-%s]\n",
               value, name);
  CmnStrPrintf(&msg, "Supported values are:\n");
  for (int i = 0; i < nwords; i++) CmnStrPrintf(&msg, "    [%s]\n", words[i]);
  CmnInfoFlush(&msg);
  return -1;
}

}  // namespace

char *CmdNormalizeName(const char *name) {
  Buffer out;
  for (const char *p = name; *p && *p != ' '; p++) {
    if (*p == '_') continue;
    char c = *p;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    out.Append(c);
  }
  return out.Release();
}

char *CmdExpandValue(const char *text) {
  Buffer out;
  out.Reserve(strlen(text));
  const char *p = text;
  while (*p) {
    if (*p == '$') {
      const char *start = ++p;
      while (IsAsciiAlnum(*p)) p++;
      size_t n = static_cast<size_t>(p - start);
      char *var = static_cast<char *>(CMD_MALLOC(n + 1));
      memcpy(var, start, n);
      var[n] = '\0';
      const char *env = getenv(var);
      free(var);
      if (env) out.Append(env, strlen(env));
    } else if (*p == '\\') {
      p++;
      if (!*p) continue;  // a trailing backslash is dropped
      out.Append(CmnDecodeEscape(&p, 0, false));
    } else {
      out.Append(*p++);
    }
  }
  return out.Release();
}

char **CmdSplitWords(const char *text, int *nwords) {
  size_t cap = 16;
  size_t n = 0;
  char **words = static_cast<char **>(CMD_MALLOC(cap * sizeof *words));
  const char *p = text;
  for (;;) {
    while (IsSpace(*p)) p++;
    if (!*p) break;
    const char *start;
    const char *end;
    if (*p == '"' || *p == '\'') {
      char quote = *p;
      const char *open = p;
      start = ++p;
      while (*p && *p != quote) p += (*p == '\\' && p[1]) ? 2 : 1;
      if (!*p) {
        CmnInfoPrintf(nullptr,
                      quote == '"' ? "ERROR: No trailling quote in [%s]\n"
                                   : "ERROR: No trailling quote in string [%s]\n",
                      open);
        exit(1);
      }
      end = p++;
    } else {
      start = p;
      while (*p && !IsSpace(*p)) p++;
      end = p;
    }
    if (n + 1 >= cap) {
      cap *= 2;
      words = static_cast<char **>(CMD_REALLOC(words, cap * sizeof *words));
    }
    size_t len = static_cast<size_t>(end - start);
    char *word = static_cast<char *>(CMD_MALLOC(len + 1));
    memcpy(word, start, len);
    word[len] = '\0';
    words[n++] = word;
  }
  words[n] = nullptr;
  if (nwords) *nwords = static_cast<int>(n);
  return words;
}

void CmdFreeWords(char **words) {
  if (!words) return;
  for (char **w = words; *w; w++) free(*w);
  free(words);
}

void CmdParseArgs(int argc, char **argv, CmdOptionTp *table, char ***files, int *nfiles) {
  bool trace = Tracing();
  if (trace) fprintf(stderr, "------------------%s\n", argc > 0 ? argv[0] : "");
  char **names = static_cast<char **>(CMD_MALLOC((argc > 0 ? argc + 1 : 1) * sizeof *names));
  int count = 0;
  for (int i = 1; i < argc; i++) {
    const char *arg = argv[i];
    if (arg[0] == '@') {
      if (trace) fputs("[ ", stderr);
      CmdReadResponseFile(arg + 1, table);
      if (trace) fputs("] ", stderr);
    } else if (arg[0] == '-') {
      int consumed = StoreOption(table, argv + i, argc - i);
      if (trace) {
        fputc('[', stderr);
        for (int k = 0; k <= consumed; k++) fprintf(stderr, "%s ", argv[i + k]);
        fputs("]\n", stderr);
      }
      i += consumed;
    } else {
      names[count++] = HeapCopy(arg);
      if (trace) fprintf(stderr, "[%s]\n", arg);
    }
  }
  names[count] = nullptr;
  if (trace) fputs("------------------\n", stderr);
  if (files) {
    *files = names;
  } else {
    for (int k = 0; k < count; k++) free(names[k]);
    free(names);
  }
  if (nfiles) *nfiles = count;
}

void *CmdGetOpt(CmdOptionTp *table, const char *name) {
  CmdOptionTp *row = LookUp(table, name, false);
  if (row->nvalues == 1 && row->value && static_cast<const char *>(row->value)[0] == '\0') {
    CmnInfoPrintf(nullptr, "CmdGetOpt: Missing value for option: %s\n", name);
    exit(1);
  }
  return row->value;
}

int32_t CmdGetOptInt(CmdOptionTp *table, const char *name, int32_t dflt) {
  const char *value = static_cast<const char *>(CmdGetOpt(table, name));
  if (!value) return dflt;
  size_t len = strlen(value);
  if (len <= 4 && strncmp("none", value, len) == 0) return 0;
  bool hex = value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
  bool good = true;
  for (size_t i = 0; good && i < len; i++) {
    char c = value[i];
    if (!strchr("0123456789abcdefABCDEFxX-+", c))
      good = false;
    else if (strchr("abcdefABCDEF", c) && !hex)
      good = false;
    else if ((c == 'x' || c == 'X') && i > 1)
      good = false;
    else if ((c == '-' || c == '+') && i > 0)
      good = false;
  }
  // A number beyond 32 bits is as unusable as a malformed one: wrapped, it
  // would turn into some other, arbitrary value.
  long converted = 0;
  if (good) {
    errno = 0;
    converted = strtol(value, nullptr, 0);
    good = errno != ERANGE && converted >= INT32_MIN && converted <= INT32_MAX;
  }
  if (!good) {
    CmnInfoPrintf(nullptr,
                  "CmdGetOptInt: Bad value [%s] for option [-%s]\n"
                  "   The value must be an integer in one of the forms:\n"
                  "      decimal        ddd\n"
                  "      octal         0ddd (with d in the range 0-7)\n"
                  "   or hexadecimal  0xddd (with d in the range 0-9,A-F)\n",
                  value, name);
    exit(1);
  }
  // Base 0 reads decimal, octal (leading 0) and hexadecimal (leading 0x),
  // like the "%i" conversion; nothing convertible gives 0.
  return static_cast<int32_t>(converted);
}

int32_t CmdGetOptIntRange(CmdOptionTp *table, const char *name, int32_t dflt, int32_t low,
                          int32_t high) {
  const int32_t result = CmdGetOptInt(table, name, dflt);
  if (!CmdGetOpt(table, name) || (result >= low && result <= high)) return result;
  CmnInfoPrintf(nullptr,
                "CmdGetOptInt: Bad value [%s] for option [-%s]\n"
                "   The value must be an integer from %d to %d\n",
                static_cast<const char *>(CmdGetOpt(table, name)), name, low, high);
  exit(1);
}

double CmdGetOptDouble(CmdOptionTp *table, const char *name, double dflt) {
  const char *value = static_cast<const char *>(CmdGetOpt(table, name));
  if (!value) return dflt;
  double result;
  // "nan" and "inf" read as numbers, but no setting means anything with them.
  if (sscanf(value, "%lf", &result) != 1 || !std::isfinite(result)) {
    CmnInfoPrintf(nullptr, "CmdGetOptDouble: Bad value [%s] for option [-%s]\n", value, name);
    exit(1);
  }
  return result;
}

int CmdGetOptIndex(CmdOptionTp *table, const char *name, ...) {
  va_list args;
  va_start(args, name);
  const char *word;
  int index = SelectWord(table, name, args, &word);
  va_end(args);
  return index;
}

int CmdGetOptPosition(CmdOptionTp *table, const char *name, ...) {
  va_list args;
  va_start(args, name);
  const char *word;
  int index = SelectWord(table, name, args, &word);
  va_end(args);
  if (index < 0) exit(1);
  return index - 1;
}

const char *CmdGetOptChoice(CmdOptionTp *table, const char *name, ...) {
  va_list args;
  va_start(args, name);
  const char *word;
  int index = SelectWord(table, name, args, &word);
  va_end(args);
  if (index < 0) return "";
  return word;
}

void CmdPrintOptions(const CmdOptionTp *table) {
  char *text = nullptr;
  CmnStrPrintf(&text, "Valid options are: \n");
  for (const CmdOptionTp *row = table; row->name; row++) {
    if (!row->help) continue;
    if (row->name[0] == '\0')
      CmnStrPrintf(&text, "\n%s\n", row->help);
    else
      CmnStrPrintf(&text, " -%-14s %s\n", row->name, row->help);
  }
  CmnInfoFlush(&text);
}

void CmdFreeOpts(CmdOptionTp *table, char ***files) {
  if (table) {
    for (CmdOptionTp *row = table; row->name; row++) {
      if (row->nvalues > 1)
        FreeValueList(static_cast<CmdValueNodeTp *>(row->value));
      else
        free(row->value);
      row->value = nullptr;
    }
  }
  if (files && *files) {
    CmdFreeWords(*files);
    *files = nullptr;
  }
}
