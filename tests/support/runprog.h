// Runs a program the way a user would, with its own environment changes,
// and captures its exit status and everything it prints.
#ifndef PV_TESTS_RUNPROG_H
#define PV_TESTS_RUNPROG_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
  // What the program used, as its parent saw it when reaping it: user and
  // system time in seconds, and the peak resident set in KiB.
  double cpu_seconds = 0;
  long peak_kb = 0;
};

struct RunOptions {
  std::vector<std::string> set_env;    // "NAME=value"
  std::vector<std::string> unset_env;  // "NAME"
  std::string stdin_data;
  std::string cwd;
  int timeout_seconds = 60;
};

RunResult RunProgram(const std::vector<std::string> &argv, const RunOptions &options = {});
// The same, calling while_running with the program's pid once it runs (and
// its input is fed): to wait for an event and signal it. Its output is
// collected after.
RunResult RunProgram(const std::vector<std::string> &argv, const RunOptions &options,
                     const std::function<void(pid_t)> &while_running);

// What a /bin/sh command (run under `set -e`) prints; fails the test when
// the command fails.
std::string ShellOutput(const std::string &command);

// A fresh directory under TMPDIR (or /tmp), removed with its contents at
// destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// True once done() is, checked every 10 ms up to the guard: for events
// that give no other sign.
bool WaitFor(const std::function<bool()> &done, int timeout_seconds = 30);
// Wait for an event, up to a generous guard: true once pid runs no more
// (gone, or a zombie no one has reaped yet); true once the file holds a
// whole line.
bool ProcessGone(pid_t pid, int timeout_seconds = 30);
bool LineWritten(const std::string &path, int timeout_seconds = 30);

void WriteFile(const std::string &path, const std::string &data);
std::string ReadFile(const std::string &path);

#endif
