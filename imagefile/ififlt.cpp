// External conversion filters: the description file, matching an input to
// a filter, expanding its command and running the chain of filters whose
// raster output the drivers read.
#include "ififlt.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common.h"
#include "ifd.h"
#include "iff.h"

IfiFilterTp filters[IFI_FILTER_SLOTS];
int32_t passthru_ps = 0;
int32_t graphics_width = 525;
int32_t graphics_height = 720;

namespace {

#define CMN_SOURCE "ififlt"

constexpr int kLineMax = 1024;  // a description line holds at most 1023 characters
constexpr int kNameMax = 255;   // longest $NAME
constexpr int kMaxUses = 2;     // a slot feeding its own type runs at most twice
constexpr int32_t kAfterGzip = IFI_INITIAL_READ;  // decompressed data: identify on a full buffer
constexpr int32_t kFirstBytes = 44;
const char kDefaultSysdir[] = "/usr/local/plotvise/system";

bool loaded = false;

struct TypeTag {
  const char *spelling;
  uint32_t types[2];
};
// A tag serves the types of every spelling it begins with.
const TypeTag kTypeTags[] = {
    {"*xzPVPRJ", {IFF_TYPE_PVPRJ, 0}},
    {"*xzCGMTEXT", {IFF_TYPE_CGM_TEXT, 0}},
    {"*xzCGM", {IFF_TYPE_CGM, 0}},
    {"*xzHPGL", {IFF_TYPE_HPGL, 0}},
    {"*xzPOSTSCRIPT", {IFF_TYPE_PS, IFF_TYPE_EPS}},
    {"*xzPDF", {IFF_TYPE_PDF_GS, 0}},
    {"*xzNEWPDF", {IFF_TYPE_PDF, 0}},
    {"*xzASCII", {IFF_TYPE_ASCII, 0}},
    {"*xzSDI", {IFF_TYPE_EDIT, 0}},
    {"*xzZEH", {IFF_TYPE_CMP, 0}},
    {"*xzEMF", {IFF_TYPE_EMF, 0}},
    {"*xzAPIC", {IFF_TYPE_APIC, 0}},
    {"*xzSVG", {IFF_TYPE_SVG, 0}},
    {"*xzWMF", {IFF_TYPE_WMF, 0}},
    {"*xzRTF", {IFF_TYPE_RTF, 0}},
    {"*xzDICOM", {IFF_TYPE_DICOM, 0}},
    {"*xzPDS", {IFF_TYPE_PDS, 0}},
};

bool StartsWith(const char *text, const char *prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

// Types that no raster driver reads and that a filter may convert.
bool NeedsFilter(uint32_t type) {
  switch (type) {
    case IFF_TYPE_UNKNOWN:
    case IFF_TYPE_CGM:
    case IFF_TYPE_PDF_GS:
    case IFF_TYPE_ASCII:
    case IFF_TYPE_SVG:
    case IFF_TYPE_EMF:
    case IFF_TYPE_WMF:
    case IFF_TYPE_CMP:
    case IFF_TYPE_EDIT:
    case IFF_TYPE_GZIP:
    case IFF_TYPE_HPGL:
    case IFF_TYPE_APIC:
    case IFF_TYPE_PDF:
    case IFF_TYPE_CGM_TEXT:
    case IFF_TYPE_PDS:
    case IFF_TYPE_XPS:
    case IFF_TYPE_DICOM:
    case IFF_TYPE_PVPRJ:
      return true;
    case IFF_TYPE_PS:
    case IFF_TYPE_EPS:
      return passthru_ps == 0;
    default:
      return false;
  }
}

// Calcomp plotter files have no type code of their own.
bool IsCalcomp(const unsigned char *b, int32_t n) {
  static const char kHeader[] = "&&&&CALCOMP DEVICE CONTROL";
  if (n > 26 && memcmp(b, kHeader, 26) == 0) return true;
  if (n <= 19) return false;
  for (int i = 0; i < 15; ++i) {
    if (b[i] == 2 && b[i + 2] == b[i + 1] + 1 && b[i + 3] == b[i + 1] && b[i + 4] == b[i + 1] &&
        b[i + 5] == b[i + 1] + 1)
      return true;
  }
  return false;
}

bool TypeTagMatches(const char *tag, const unsigned char *b, int32_t n, uint32_t type) {
  if (StartsWith(tag, "*xzCALCOMP")) return IsCalcomp(b, n);
  for (const TypeTag &t : kTypeTags)
    if (StartsWith(tag, t.spelling) && type != 0 && (t.types[0] == type || t.types[1] == type))
      return true;
  return false;
}

// The first word of a command: up to white space, or the text of a leading
// pair of double (or single) quotes.
std::string FirstWord(const char *command) {
  while (*command && isspace(static_cast<unsigned char>(*command))) ++command;
  if (*command == '"' || *command == '\'') {
    const char *end = strchr(command + 1, *command);
    return end ? std::string(command + 1, end) : std::string(command + 1);
  }
  const char *end = command;
  while (*end && !isspace(static_cast<unsigned char>(*end))) ++end;
  return std::string(command, end);
}

std::string Quoted(const char *text) {
  char *q = CmnShellQuote(text);
  std::string result = q ? q : "''";
  free(q);
  return result;
}

// Adds a slot's description: "%s" in it stands for the text so far, which
// is otherwise put in front. A text already ending in ".\n" has been
// described by a filter and stays.
void Describe(char **description, const char *text) {
  const char *current = *description ? *description : "";
  const size_t n = strlen(current);
  if (n >= 2 && current[n - 2] == '.') return;
  std::string before = current;
  if (!before.empty() && before.back() == '\n') before.pop_back();
  std::string t = text ? text : "";
  const size_t at = t.find("%s");
  std::string result =
      at == std::string::npos ? before + t : t.substr(0, at) + before + t.substr(at + 2);
  if (result.empty() || result.back() != '\n') result += '\n';
  CmnStrFree(description);
  CmnStrPrintf(description, "%s", result.c_str());
}

bool Usable(int slot) { return !filters[slot].scaled || graphics_size != 0; }

void ParseError(const char *path, const char *line) {
  fputs("Parse error reading filter description line\n", stderr);
  fprintf(stderr, "File: %s\n", path);
  fprintf(stderr, "Line: %s\n", line);
  exit(1);
}

// Where the filters' messages go: -1 (our standard error) while
// debugging, else a descriptor for the filters' standard error that the
// caller closes. The log in the temporary directory has a name anyone can
// guess, so it is opened here and never through a link, a device or a
// file of another user planted there: those are refused, and the messages
// dropped.
int FilterMessages() {
  if (getenv("PVDEBUG") || getenv("PVDEBUGFILTER")) return -1;
  static bool warned = false;  // once per program, not once per pass
  const char *user = getenv("LOGNAME");
  if (!user) user = getenv("USER");
  char tmpdir[CMD_PATH_MAX];
  int fd = -1;
  if (user && strchr(user, '/')) {
    if (!warned) CmnError(CMN_SOURCE, __LINE__, IFI_W_FILTER_USER, user);
    warned = true;
  } else if (user && *user && CmdTmpDir(nullptr, tmpdir) == 0) {
    const std::string log = std::string(tmpdir) + "pv." + user + ".log";
    // Non-blocking: a FIFO put there must not hold the open up.
    fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
              0600);
    struct stat st;
    const bool own = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                     st.st_uid == geteuid() && st.st_nlink == 1;
    if (fd >= 0 && own) {
      fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
      return fd;
    }
    if (fd >= 0 || errno != ENOENT) {
      if (!warned) CmnError(CMN_SOURCE, __LINE__, IFI_W_FILTER_LOG, log.c_str());
      warned = true;
    }
    if (fd >= 0) close(fd);
  }
  return open("/dev/null", O_WRONLY | O_CLOEXEC);
}

// Ends a pass of the pipeline that is not read any further; the filter's
// wait status when it had finished by itself, else -1.
int StopPipe(FILE *pipe, pid_t pid) { return pipe ? IfiClosePipe(pipe, pid) : -1; }

// Temporary files of the stage, kept where a signal handler finds them:
// the copied input, and the sample the test programs look at.
struct TemporaryTp {
  std::atomic<bool> set{false};
  char path[CMD_PATH_MAX];
};
TemporaryTp copied_input, test_sample;

void Note(TemporaryTp *t, const char *path) {
  snprintf(t->path, sizeof t->path, "%s", path);
  t->set = true;
}

void Remove(TemporaryTp *t) {
  if (t->set.exchange(false)) unlink(t->path);
}

}  // namespace

int IfiAddFilterLine(const char *line) {
  if (!line || line[0] == '#') return 0;
  const char *p = line;
  while (*p && isspace(static_cast<unsigned char>(*p))) ++p;
  if (!*p) return 0;
  int used = 0;
  while (used < IFI_FILTER_SLOTS && filters[used].tag) ++used;
  if (used == IFI_FILTER_SLOTS) return 2;
  // No word is longer than its line.
  const size_t n = strlen(line) + 1;
  std::vector<char> tag(n), command(n), description(n);
  p = CmnParse(line, tag.data());
  p = CmnParse(p, command.data());
  if (!*p) return 1;
  CmnParse(p, description.data());
  IfiFilterTp &f = filters[used];
  f.tag = strdup(tag.data());
  f.command = strdup(command.data());
  f.description = strdup(description.data());
  const char *c = command.data();
  f.rasterized = strstr(c, "%R") || strstr(c, "%S");
  f.uses_file_name = strstr(c, "%F") != nullptr;
  f.scaled = strstr(c, "%S") != nullptr;
  f.uses_angle = strstr(c, "%A") != nullptr;
  return 0;
}

int IfiLoadFiltersFrom(const char *path) {
  IfiUnloadFilters();
  loaded = true;
  FILE *file = path ? fopen(path, "r") : nullptr;
  if (!file) return 1;
  char line[kLineMax];
  int rc = 0;
  while (rc != 2 && fgets(line, sizeof line, file)) {
    // A longer line is cut; its rest would otherwise read as a line of its own.
    if (!strchr(line, '\n') && !feof(file)) {
      int c;
      while ((c = fgetc(file)) != EOF && c != '\n') {
      }
    }
    rc = IfiAddFilterLine(line);
    if (rc == 1) ParseError(path, line);
  }
  fclose(file);
  return 0;
}

int IfiLoadFilters(void) {
  if (loaded) return 0;
  const char *sysdir = getenv("SYSDIR");
  if (!sysdir || !*sysdir) sysdir = kDefaultSysdir;
  return IfiLoadFiltersFrom((std::string(sysdir) + "/filters").c_str());
}

void IfiUnloadFilters(void) {
  for (IfiFilterTp &f : filters) {
    free(f.tag);
    free(f.command);
    free(f.description);
    f = IfiFilterTp{};
  }
  loaded = false;
}

int IfiFindFilter(const unsigned char *buffer, int32_t length, char **description) {
  if (!buffer || length < 0) length = 0;
  int candidate = -1;
  char *test_file = nullptr;
  bool identified = false;
  uint32_t type = 0;
  for (int slot = 0; slot < IFI_FILTER_SLOTS && filters[slot].tag && candidate < 0; ++slot) {
    const IfiFilterTp &f = filters[slot];
    if (f.tag[0] != '*') {
      const size_t n = strlen(f.tag);
      if (n <= static_cast<size_t>(length) && memcmp(buffer, f.tag, n) == 0 && Usable(slot))
        candidate = slot;
      continue;
    }
    char program[CMD_PATH_MAX];
    if (f.tag[1] && CmnFindProgram(f.tag + 1, program, sizeof program)) {
      if (!IfiFilterProgramExists(f.command)) continue;
      if (!test_file) {
        test_file = CmdTmpName(nullptr, "ifi");
        if (!test_file) continue;
        Note(&test_sample, test_file);
        FILE *out = fopen(test_file, "wb");
        if (out) {
          if (length > 0) fwrite(buffer, 1, static_cast<size_t>(length), out);
          fclose(out);
        }
      }
      char *output = nullptr;
      const int status = IfiRunTest(program, test_file, &output);
      CmnStrFree(&output);
      if (status == 0 && Usable(slot)) candidate = slot;
      continue;
    }
    if (!identified) {
      type = IfiIdentifyChecked(buffer, length);
      identified = true;
    }
    if (TypeTagMatches(f.tag, buffer, length, type) && Usable(slot)) candidate = slot;
  }
  if (candidate >= 0 && description) Describe(description, filters[candidate].description);
  if (test_file) {
    Remove(&test_sample);
    free(test_file);
  }
  return candidate;
}

void IfiExpandFilterCommand(char **command, int slot, const char *file_name, int resolution,
                            int size, int width, int height, int angle) {
  if (!command) return;
  CmnStrFree(command);
  if (slot < 0 || slot >= IFI_FILTER_SLOTS || !filters[slot].command) return;

  const char *lines_env = getenv("PV_CGM_LINES_PER_VDC");
  int lines_per_vdc = lines_env ? atoi(lines_env) : 10000;
  int lines = lines_per_vdc != 0 ? size / lines_per_vdc : 0;
  if (lines == 0) lines = 1;
  const std::string codes[][2] = {
      {"%A", std::to_string(angle)},
      {"%R", std::to_string(resolution)},
      {"%L", std::to_string(lines)},
      {"%S", std::to_string(size)},
      {"%W", std::to_string(static_cast<int64_t>(resolution) * width / 72)},
      {"%H", std::to_string(static_cast<int64_t>(resolution) * height / 72)},
      {"%F", file_name ? Quoted(file_name) : std::string()},
  };

  // The template is kept as pieces: text of the template, which later
  // rounds still look at, and replacements, which no round looks at again,
  // so that a file name or a variable's value can never bring in a code or
  // break out of its quotes.
  std::vector<std::pair<std::string, bool>> pieces{{filters[slot].command, true}};
  for (bool replaced = true; replaced;) {
    replaced = false;
    std::vector<std::pair<std::string, bool>> next;
    for (auto &piece : pieces) {
      if (!piece.second) {
        next.push_back(std::move(piece));
        continue;
      }
      const std::string &t = piece.first;
      size_t from = 0;
      for (size_t i = 0; i < t.size(); ++i) {
        if (t[i] != '$') continue;
        size_t end = i + 1;
        while (end < t.size() && end - i - 1 < kNameMax &&
               isalnum(static_cast<unsigned char>(t[end])))
          ++end;
        if (end == i + 1) continue;
        const char *value = getenv(t.substr(i + 1, end - i - 1).c_str());
        next.emplace_back(t.substr(from, i - from), true);
        if (value) next.emplace_back(Quoted(value), false);
        from = end;
        i = end - 1;
        replaced = true;
      }
      next.emplace_back(t.substr(from), true);
    }
    pieces = std::move(next);
    for (const auto &code : codes) {
      if (code[0] == "%F" && !file_name) continue;
      for (size_t k = 0; k < pieces.size(); ++k) {
        if (!pieces[k].second) continue;
        const size_t at = pieces[k].first.find(code[0]);
        if (at == std::string::npos) continue;
        std::string before = pieces[k].first.substr(0, at);
        std::string after = pieces[k].first.substr(at + 2);
        pieces[k] = {before, true};
        pieces.insert(pieces.begin() + static_cast<long>(k) + 1, {code[1], false});
        pieces.insert(pieces.begin() + static_cast<long>(k) + 2, {after, true});
        replaced = true;
        break;
      }
    }
  }
  std::string result;
  for (const auto &piece : pieces) result += piece.first;
  CmnStrPrintf(command, "%s", result.c_str());
}

int IfiFilterProgramExists(const char *command) {
  if (!command) return 0;
  const std::string name = FirstWord(command);
  char found[CMD_PATH_MAX];
  return !name.empty() && CmnFindProgram(name.c_str(), found, sizeof found);
}

int IfiRunTest(const char *program, const char *file, char **text) {
  if (!program || !file) return -1;
  const std::string command = std::string(program) + " " + Quoted(file);
  pid_t pid = 0;
  FILE *pipe = IfiOpenPipe(command.c_str(), "r", &pid, nullptr, 0);
  if (!pipe) return -1;
  char chunk[256];
  size_t got;
  do {
    got = IfiPipeRead(pipe, chunk, sizeof chunk - 1);
    if (got < sizeof chunk - 1 && errno == ETIMEDOUT) IfiReportFilterTimeout();
    if (!text || got == 0) continue;
    chunk[got] = 0;
    char *joined = nullptr;
    CmnStrPrintf(&joined, "%s%s", *text ? *text : "", chunk);
    CmnStrFree(text);
    *text = joined;
  } while (got == sizeof chunk - 1);
  const int status = IfiClosePipe(pipe, pid);
  return status < 0 ? -1 : status >> 8;
}

void IfiEndFilters(void) {
  IfiEndChildren();
  Remove(&copied_input);
  Remove(&test_sample);
}

ReturnTp IfiFilterStage(const IfiFilterClientTp *client, const char *name, int command_header,
                        IfiHandleTp *h) {
  if (!h || !NeedsFilter(h->file_type)) return 0;
  if (IfiLoadFilters() != 0 || !filters[0].tag) return 0;

  const int64_t from = std::min<int64_t>(h->start_offset, h->valid);
  int32_t length = static_cast<int32_t>(std::min<int64_t>(h->valid - from, IFI_INITIAL_READ));
  // Nothing changes for an input that no filter takes: it stays as it is.
  char *description = h->description ? strdup(h->description) : nullptr;
  int slot = IfiFindFilter(h->buffer.data() + from, length, &description);
  if (slot < 0) {
    free(description);
    return 0;
  }
  h->seekable = 0;

  // The filters read a named file themselves; anything else is copied
  // into a temporary file first, so that every filter can be given a name.
  std::string input = name ? name : "";
  // A name that looks like an option must not be read as one by a filter.
  if (input[0] == '-') input = "./" + input;
  std::string temporary;
  if (input.empty() || command_header) {
    char tmpdir[CMD_PATH_MAX];
    if (CmdTmpDir(nullptr, tmpdir) != 0) strcpy(tmpdir, "/tmp/");
    temporary = std::string(tmpdir) + "pvpfXXXXXX";
    // No signal between the file's creation and its record.
    sigset_t ending, before;
    sigemptyset(&ending);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&ending, sig);
    pthread_sigmask(SIG_BLOCK, &ending, &before);
    const int fd = mkstemp(&temporary[0]);
    if (fd >= 0) Note(&copied_input, temporary.c_str());
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    FILE *copy = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
    if (!copy) {
      perror(temporary.c_str());
      exit(1);
    }
    size_t copied = 0;
    if (h->valid > from)
      copied += fwrite(h->buffer.data() + from, 1, static_cast<size_t>(h->valid - from), copy);
    char block[32768];
    size_t got;
    while ((got = fread(block, 1, sizeof block, h->stream)) > 0)
      copied += fwrite(block, 1, got, copy);
    fclose(copy);
    if (copied == 0) {
      Remove(&copied_input);
      free(description);
      return CmnError(CMN_SOURCE, __LINE__, IFI_E_EMPTY);
    }
    input = temporary;
  }

  std::string pipeline = "(cat " + Quoted(input.c_str());
  int uses[IFI_FILTER_SLOTS] = {};
  uint32_t type = h->file_type;
  bool first = true;
  for (;;) {
    if (!first) {
      type = h->file_type;
      if (!NeedsFilter(type)) break;
      slot = IfiFindFilter(h->buffer.data(), static_cast<int32_t>(h->valid), &description);
      if (slot < 0) break;
    }
    first = false;
    const IfiFilterTp &f = filters[slot];
    int32_t angle = 0;
    if (client && client->rotation) angle = client->rotation(client->data);
    char *command = nullptr;
    IfiExpandFilterCommand(&command, slot, input.c_str(), graphics_resolution, graphics_size,
                           graphics_width, graphics_height, angle);
    const bool runnable = command && IfiFilterProgramExists(command);
    if (!runnable || ++uses[slot] > kMaxUses) {
      CmnStrFree(&command);
      break;
    }
    pipeline += " | ";
    pipeline += command;
    CmnStrFree(&command);

    if (f.uses_angle && angle != 0 && client && client->rotated) client->rotated(client->data);
    if (f.rasterized) rasterized = 1;
    if (f.scaled) h->scaled = 1;
    if (StartsWith(f.tag, "*xzCGM") || StartsWith(f.tag, "*xzHPGL") ||
        strstr(f.command, "readpdf") || strstr(f.command, "pvstitch") ||
        strstr(f.command, "plotemf"))
      h->vector_filter = 1;

    if (h->is_pipe) {
      StopPipe(h->stream, h->pid);
      h->stream = nullptr;
      h->is_pipe = 0;
    }
    const std::string line = pipeline + " )";
    if (getenv("PVDEBUGFILTER")) fprintf(stderr, "%s\n", line.c_str());

    h->rasterized = f.rasterized;
    pid_t pid = 0;
    const int messages = FilterMessages();
    FILE *pipe = IfiOpenPipe(line.c_str(), "r", &pid, nullptr, 0, messages);
    if (messages >= 0) close(messages);
    if (!pipe) {
      h->file_type = IFF_TYPE_UNKNOWN;
      break;
    }
    if (client && client->filter_pid) client->filter_pid(client->data, pid);
    if (h->stream && h->stream != stdin) fclose(h->stream);
    h->stream = pipe;
    h->pid = pid;
    h->is_pipe = 1;
    h->start_offset = 0;
    h->position = 0;
    h->direct = 0;
    h->valid = 0;
    const int32_t want = type == IFF_TYPE_GZIP ? kAfterGzip : kFirstBytes;
    if (static_cast<int64_t>(h->buffer.size()) < want) h->buffer.resize(static_cast<size_t>(want));
    h->valid = static_cast<int64_t>(IfiPipeRead(pipe, h->buffer.data(), static_cast<size_t>(want)));
    if (h->valid < want && errno == ETIMEDOUT) {
      const ReturnTp rc = IfiReportFilterTimeout();
      StopPipe(h->stream, h->pid);
      h->stream = nullptr;
      h->is_pipe = 0;
      h->pid = 0;
      free(description);
      Remove(&copied_input);
      return rc;
    }
    if (h->valid == 0) {
      h->file_type = IFF_TYPE_UNKNOWN;
      break;
    }
    h->file_type = IfiIdentifyChecked(h->buffer.data(), static_cast<int32_t>(h->valid));
    // A raster header can run past the first bytes (a comment in a PNM
    // header): look at more before asking for a further filter.
    if (NeedsFilter(h->file_type) && want < kAfterGzip && h->valid == want) {
      IfiFetch(nullptr, 1, static_cast<size_t>(kAfterGzip - want), h);
      h->file_type = IfiIdentifyChecked(h->buffer.data(), static_cast<int32_t>(h->valid));
    }
  }

  // Nothing usable came out of the pipeline: it is stopped, and the input
  // reads as the empty unknown file it now is.
  const uint32_t t = h->file_type;
  if (h->is_pipe && (t == IFF_TYPE_UNKNOWN || t == IFF_TYPE_ANY || t == IFF_TYPE_ASCII ||
                     ((t == IFF_TYPE_PS || t == IFF_TYPE_EPS) && passthru_ps == 0))) {
    // A failing filter is the likelier cause: say so first.
    IfiReportFilterStatus(StopPipe(h->stream, h->pid));
    h->stream = fopen("/dev/null", "r");
    h->is_pipe = 0;
    h->pid = 0;
    h->file_type = IFF_TYPE_UNKNOWN;
    if (!h->stream) {
      free(description);
      Remove(&copied_input);
      return CmnError(CMN_SOURCE, __LINE__, CMN_E_OPEN_NAMED, "/dev/null");
    }
  }
  // A running pipeline has its input open already.
  Remove(&copied_input);
  CmnStrFree(&h->description);
  h->description = description;
  return 0;
}
