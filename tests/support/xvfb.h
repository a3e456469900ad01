// A private X server for the tests that need a display: its own display
// number (chosen by the server itself), a given depth, stopped at the end.
#ifndef PV_TESTS_XVFB_H
#define PV_TESTS_XVFB_H

#include <sys/types.h>

#include <string>

class XvfbServer {
 public:
  XvfbServer(int depth, int width = 1280, int height = 1024);
  ~XvfbServer();
  XvfbServer(const XvfbServer &) = delete;
  XvfbServer &operator=(const XvfbServer &) = delete;

  bool ok() const { return !display_.empty(); }
  // ":N", for DISPLAY.
  const std::string &display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

#endif
