#include "xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

XvfbServer::XvfbServer(int depth, int width, int height) {
  int fds[2];
  if (pipe(fds) != 0) return;
  pid_ = fork();
  if (pid_ < 0) {
    close(fds[0]);
    close(fds[1]);
    return;
  }
  if (pid_ == 0) {
    close(fds[0]);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
    }
    char fd_text[16], screen[64];
    snprintf(fd_text, sizeof fd_text, "%d", fds[1]);
    snprintf(screen, sizeof screen, "%dx%dx%d", width, height, depth);
    // -displayfd lets the server pick a free display number and tells us
    // once it accepts connections, so parallel tests never collide.
    execlp("Xvfb", "Xvfb", "-displayfd", fd_text, "-screen", "0", screen, "-nolisten", "tcp",
           "-noreset", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char c;
    ssize_t n = read(fds[0], &c, 1);
    if (n <= 0) break;
    if (c == '\n') {
      if (!number.empty()) display_ = ":" + number;
      break;
    }
    number += c;
  }
  close(fds[0]);
  if (display_.empty() && pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

XvfbServer::~XvfbServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}
