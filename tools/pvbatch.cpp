// pvconvert over many inputs. Every input is converted in a process of its
// own: the reading layer keeps process-wide state, a file that crashes its
// conversion takes only its own process down, and each worker's memory is
// what one conversion needs. The parent only forks, collects each worker's
// messages (prefixed with the input's name, so that parallel workers'
// lines neither mix nor lose their file), keeps the progress line and
// prints the summary.
#include "pvbatch.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common.h"

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

volatile sig_atomic_t bStopSignal = 0;
int bWakeFd = -1;  // the write end of the parent's self-pipe

void NoteStop(int sig) {
  if (!bStopSignal) bStopSignal = sig;
  const int saved = errno;
  if (bWakeFd >= 0) (void)!write(bWakeFd, "", 1);
  errno = saved;
}

bool Newer(const struct stat &a, const struct stat &b) {
  return a.st_mtim.tv_sec != b.st_mtim.tv_sec ? a.st_mtim.tv_sec > b.st_mtim.tv_sec
                                              : a.st_mtim.tv_nsec > b.st_mtim.tv_nsec;
}

// The name of an input without its directories and its last extension; a
// name that is all extension (".profile") stays whole.
std::string BaseName(const std::string &in) {
  const size_t slash = in.rfind('/');
  std::string base = slash == std::string::npos ? in : in.substr(slash + 1);
  const size_t dot = base.rfind('.');
  if (dot != std::string::npos && dot > 0) base.resize(dot);
  return base;
}

double Now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

std::string Clock(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600)
    snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

struct WorkerTp {
  pid_t pid = -1;
  int fd = -1;  // its standard error
  size_t job = 0;
  std::string pending;  // the start of a line not yet ended
};

// The run's state, in the parent.
class Run {
 public:
  Run(const PvBatchTp &batch, const std::vector<std::string> &inputs,
      const PvBatchConvertFn &convert)
      : batch_(batch), inputs_(inputs), convert_(convert) {}
  int Go();

 private:
  bool Start(size_t job);
  void Drain(WorkerTp *w);
  void Finish(WorkerTp *w);
  void Say(const std::string &line);
  void Progress(bool force);
  int PagesDone() const;

  const PvBatchTp &batch_;
  const std::vector<std::string> &inputs_;
  const PvBatchConvertFn &convert_;
  std::vector<std::string> outputs_;
  std::vector<bool> skip_;
  std::vector<WorkerTp> workers_;
  volatile int *pages_ = nullptr;  // per input, shared with the workers
  struct sigaction saved_[4] = {};
  size_t converted_ = 0, failed_ = 0, skipped_ = 0, done_ = 0;
  bool terminal_ = false, shown_ = false;
  double start_ = 0, shown_at_ = 0;
  std::string in_work_;
};

// The workers' lines, each with its input's name; a progress line on the
// terminal is cleared first and drawn again after.
void Run::Say(const std::string &line) {
  if (shown_) fputs("\r\033[K", stderr);
  shown_ = false;
  fputs(line.c_str(), stderr);
  fputc('\n', stderr);
}

int Run::PagesDone() const {
  int pages = 0;
  for (size_t i = 0; i < inputs_.size(); ++i) pages += pages_[i];
  return pages;
}

// One line, no wider than the terminal (a wrapped line could not be
// rewritten in place), at most a few times a second.
void Run::Progress(bool force) {
  if (!terminal_) return;
  const double now = Now();
  if (!force && now - shown_at_ < 0.25) return;
  shown_at_ = now;
  const double elapsed = now - start_;
  const size_t total = inputs_.size() - skipped_;
  const size_t done = done_ - skipped_;
  std::string left = "--:--";
  if (done > 0 && done < total) left = Clock(elapsed / done * (total - done));
  if (done >= total) left = "0:00";
  char head[160];
  snprintf(head, sizeof head, "%zu/%zu files, %d pages, %s elapsed, %s left", done_, inputs_.size(),
           PagesDone(), Clock(elapsed).c_str(), left.c_str());
  std::string line = head;
  if (!in_work_.empty()) line += ", " + in_work_;
  struct winsize ws;
  size_t width = 80;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1) width = ws.ws_col;
  if (line.size() > width - 1) line.resize(width - 1);
  fprintf(stderr, "\r\033[K%s", line.c_str());
  fflush(stderr);
  shown_ = true;
}

// Forks the worker of one input. Its standard error is a pipe to us; the
// stopping signals are blocked from the fork until it has the converter's
// own handlers back, so that a stop always finds a handler that removes
// its temporary file.
bool Run::Start(size_t job) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  sigset_t ending, before;
  sigemptyset(&ending);
  for (int sig : kStopSignals) sigaddset(&ending, sig);
  sigprocmask(SIG_BLOCK, &ending, &before);
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDERR_FILENO);
    for (size_t i = 0; i < 4; ++i) sigaction(kStopSignals[i], &saved_[i], nullptr);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    const int status = convert_(inputs_[job].c_str(), outputs_[job].c_str(), &pages_[job]);
    fflush(nullptr);
    _exit(status);
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return false;
  }
  WorkerTp w;
  w.pid = pid;
  w.fd = fds[0];
  w.job = job;
  workers_.push_back(w);
  in_work_ = inputs_[job];
  return true;
}

void Run::Drain(WorkerTp *w) {
  char buffer[4096];
  const ssize_t n = read(w->fd, buffer, sizeof buffer);
  if (n < 0 && errno == EINTR) return;
  if (n <= 0) {
    Finish(w);
    return;
  }
  w->pending.append(buffer, static_cast<size_t>(n));
  size_t end;
  while ((end = w->pending.find('\n')) != std::string::npos) {
    Say(inputs_[w->job] + ": " + w->pending.substr(0, end));
    w->pending.erase(0, end + 1);
  }
}

// A worker whose messages have ended: reaped, and counted.
void Run::Finish(WorkerTp *w) {
  if (!w->pending.empty()) Say(inputs_[w->job] + ": " + w->pending);
  close(w->fd);
  w->fd = -1;
  int status = 0;
  while (waitpid(w->pid, &status, 0) < 0 && errno == EINTR) {
  }
  ++done_;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    ++converted_;
  } else if (WIFSIGNALED(status) && bStopSignal &&
             (WTERMSIG(status) == SIGTERM || WTERMSIG(status) == bStopSignal)) {
    --done_;  // ended by our stop: neither converted nor failed
  } else {
    ++failed_;
    if (WIFSIGNALED(status))
      Say(inputs_[w->job] + ": conversion ended by signal " + std::to_string(WTERMSIG(status)) +
          " (" + strsignal(WTERMSIG(status)) + ")");
  }
}

int Run::Go() {
  const size_t n = inputs_.size();
  // The outputs, and their clashes, before any work.
  std::map<std::string, size_t> seen;
  for (size_t i = 0; i < n; ++i) {
    const std::string &in = inputs_[i];
    if (in.empty()) {
      CmnInfoPrintf(nullptr, "Standard input cannot be converted into a directory: -destdir\n");
      return 2;
    }
    std::string out = batch_.destdir + "/" + BaseName(in) + batch_.extension;
    auto found = seen.emplace(out, i);
    if (!found.second) {
      CmnInfoPrintf(nullptr, "[%s] and [%s] would both be written to [%s]\n",
                    inputs_[found.first->second].c_str(), in.c_str(), out.c_str());
      return 2;
    }
    outputs_.push_back(out);
  }
  long jobs = batch_.jobs;
  if (jobs == 0) jobs = n > 1 ? std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)) : 1;
  jobs = std::min<long>(jobs, static_cast<long>(n));

  void *shared = mmap(nullptr, std::max<size_t>(n, 1) * sizeof(int), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) {
    CmnInfoPrintf(nullptr, "Cannot share the page counts: %s\n", strerror(errno));
    return 1;
  }
  pages_ = static_cast<volatile int *>(shared);  // zero-filled

  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  bWakeFd = wake[1];
  for (size_t i = 0; i < 4; ++i) {
    struct sigaction act = {};
    act.sa_handler = NoteStop;
    sigemptyset(&act.sa_mask);
    sigaction(kStopSignals[i], &act, &saved_[i]);  // no SA_RESTART: poll wakes
  }

  terminal_ = isatty(STDERR_FILENO);
  start_ = Now();
  size_t next = 0;
  std::string failed_start;
  while (!bStopSignal && (next < n || !workers_.empty())) {
    while (!bStopSignal && next < n && workers_.size() < static_cast<size_t>(jobs)) {
      const size_t job = next++;
      if (batch_.skip_existing) {
        const std::string look = batch_.first_numbered_page
                                     ? PvBatchPageName(outputs_[job], batch_.first_numbered_page)
                                     : outputs_[job];
        struct stat in, out;
        if (stat(look.c_str(), &out) == 0 && stat(inputs_[job].c_str(), &in) == 0 &&
            Newer(out, in)) {
          ++skipped_;
          ++done_;
          continue;
        }
      }
      if (!Start(job)) {
        Say(inputs_[job] + ": cannot start a worker: " + strerror(errno));
        ++failed_;
        ++done_;
      }
    }
    Progress(false);
    if (workers_.empty()) continue;
    std::vector<struct pollfd> fds;
    for (const WorkerTp &w : workers_) fds.push_back({w.fd, POLLIN, 0});
    fds.push_back({wake[0], POLLIN, 0});
    const int ready = poll(fds.data(), fds.size(), terminal_ ? 250 : -1);
    if (ready <= 0) continue;
    for (size_t i = 0; i < workers_.size(); ++i)
      if (fds[i].revents) Drain(&workers_[i]);
    workers_.erase(std::remove_if(workers_.begin(), workers_.end(),
                                  [](const WorkerTp &w) { return w.fd < 0; }),
                   workers_.end());
    if (!workers_.empty()) in_work_ = inputs_[workers_.back().job];
  }

  // Stopped: the workers end as a single conversion ends on the same
  // signal (filters ended, temporary file removed); what they finished
  // stays.
  const int stop = bStopSignal;
  size_t first = next;  // where to start again: the first input not done
  for (const WorkerTp &w : workers_) first = std::min(first, w.job);
  if (stop) {
    for (const WorkerTp &w : workers_) kill(w.pid, SIGTERM);
    for (WorkerTp &w : workers_) {
      while (w.fd >= 0) Drain(&w);
    }
  }
  in_work_.clear();
  Progress(true);
  char summary[256];
  snprintf(summary, sizeof summary, "%zu converted, %zu failed, %zu skipped", converted_, failed_,
           skipped_);
  std::string line = summary;
  if (stop) {
    line += std::string("; stopped by ") + strsignal(stop) + " with " + std::to_string(n - done_) +
            " of " + std::to_string(n) + " files left";
    if (first < n) line += ", from [" + inputs_[first] + "]";
  }
  Say(line);
  fflush(stderr);
  munmap(shared, std::max<size_t>(n, 1) * sizeof(int));
  if (stop) {
    signal(stop, SIG_DFL);
    raise(stop);
  }
  for (size_t i = 0; i < 4; ++i) sigaction(kStopSignals[i], &saved_[i], nullptr);
  bWakeFd = -1;
  close(wake[0]);
  close(wake[1]);
  return failed_ ? 1 : 0;
}

}  // namespace

bool PvBatchRequested(const std::vector<std::string> &args) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (a.size() < 2 || a[0] != '-') continue;
    char *name = CmdNormalizeName(a.c_str() + 1);
    const bool match = *name && strncmp("destdir", name, strlen(name)) == 0;
    free(name);
    if (match) return true;
  }
  return false;
}

bool PvBatchExpandLists(std::vector<std::string> *args) {
  std::vector<std::string> out;
  for (size_t i = 0; i < args->size(); ++i) {
    const std::string &a = (*args)[i];
    if (i == 0 || a.size() < 2 || a[0] != '@') {
      out.push_back(a);
      continue;
    }
    FILE *fp = fopen(a.c_str() + 1, "r");
    if (!fp) {
      CmnInfoPrintf(nullptr, "Cannot read the list [%s]: %s\n", a.c_str() + 1, strerror(errno));
      return false;
    }
    std::vector<std::string> names;
    bool options = false, first = true;
    char *line = nullptr;
    size_t size = 0;
    ssize_t len;
    while ((len = getline(&line, &size, fp)) >= 0) {
      std::string name(line, static_cast<size_t>(len));
      while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
      if (name.find_first_not_of(" \t") == std::string::npos) continue;
      if (first && name[0] == '-') options = true;
      first = false;
      names.push_back(name);
    }
    const bool failed = ferror(fp);
    free(line);
    fclose(fp);
    if (failed) {
      CmnInfoPrintf(nullptr, "Cannot read the list [%s]\n", a.c_str() + 1);
      return false;
    }
    if (options)
      out.push_back(a);
    else
      out.insert(out.end(), names.begin(), names.end());
  }
  *args = out;
  return true;
}

std::string PvBatchPageName(const std::string &out, int page) {
  const size_t slash = out.rfind('/');
  size_t dot = out.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = out.size();
  return out.substr(0, dot) + "-" + std::to_string(page) + out.substr(dot);
}

int PvBatchRun(const PvBatchTp &batch, const std::vector<std::string> &inputs,
               const PvBatchConvertFn &convert) {
  struct stat st;
  if (stat(batch.destdir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    CmnInfoPrintf(nullptr, "Output directory [%s] does not exist\n", batch.destdir.c_str());
    return 2;
  }
  if (access(batch.destdir.c_str(), W_OK | X_OK) != 0) {
    CmnInfoPrintf(nullptr, "Output directory [%s] is not writable\n", batch.destdir.c_str());
    return 2;
  }
  if (inputs.empty()) {
    CmnInfoPrintf(nullptr, "No input files\n");
    return 2;
  }
  Run run(batch, inputs, convert);
  return run.Go();
}
