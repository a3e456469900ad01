#include "runprog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

RunResult RunProgram(const std::vector<std::string> &argv, const RunOptions &options) {
  return RunProgram(argv, options, nullptr);
}

RunResult RunProgram(const std::vector<std::string> &argv, const RunOptions &options,
                     const std::function<void(pid_t)> &while_running) {
  RunResult result;
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) return result;
  pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    for (const auto &name : options.unset_env) unsetenv(name.c_str());
    for (const auto &pair : options.set_env) {
      auto eq = pair.find('=');
      setenv(pair.substr(0, eq).c_str(), eq == std::string::npos ? "" : pair.c_str() + eq + 1, 1);
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  // Feed standard input in full first; the tests send little.
  signal(SIGPIPE, SIG_IGN);
  const std::string &data = options.stdin_data;
  for (size_t done = 0; done < data.size();) {
    ssize_t n = write(in[1], data.data() + done, data.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(in[1]);
  if (while_running) while_running(pid);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  bool out_open = true, err_open = true, killed = false;
  while (out_open || err_open) {
    if (!killed && std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      killed = true;
    }
    // Children it left behind may hold its output open for ever.
    if (killed && std::chrono::steady_clock::now() > deadline + std::chrono::seconds(5)) break;
    pollfd fds[2] = {{out_open ? out[0] : -1, POLLIN, 0}, {err_open ? err[0] : -1, POLLIN, 0}};
    if (poll(fds, 2, 200) <= 0) continue;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      } else {
        (i == 0 ? out_open : err_open) = false;
      }
    }
  }
  close(out[0]);
  close(err[0]);
  int status = 0;
  struct rusage usage = {};
  wait4(pid, &status, 0, &usage);
  result.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  result.peak_kb = usage.ru_maxrss;
  if (WIFEXITED(status))
    result.status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.status = 128 + WTERMSIG(status);
  return result;
}

bool WaitFor(const std::function<bool()> &done, int timeout_seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    usleep(10000);
  }
  return true;
}

bool ProcessGone(pid_t pid, int timeout_seconds) {
  return WaitFor(
      [pid]() {
        if (kill(pid, 0) != 0) return true;
        const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
        const size_t paren = stat.rfind(')');
        return paren == std::string::npos || stat.compare(paren, 3, ") Z") == 0;
      },
      timeout_seconds);
}

bool LineWritten(const std::string &path, int timeout_seconds) {
  return WaitFor([&path]() { return ReadFile(path).find('\n') != std::string::npos; },
                 timeout_seconds);
}

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/pvtest.XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data())) path_ = buf.data();
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  RunProgram({"rm", "-rf", path_});
}

void WriteFile(const std::string &path, const std::string &data) {
  std::ofstream f(path, std::ios::binary);
  f << data;
}

std::string ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string ShellOutput(const std::string &command) {
  RunResult r = RunProgram({"/bin/sh", "-c", "set -e; " + command});
  EXPECT_EQ(r.status, 0) << command << ": " << r.err;
  return r.out;
}
