// The real pvview showing pictures on private X servers: the size it
// chooses, what it saves, how the user ends it, and the colour-mapped
// path of an 8-bit server.
#include <gtest/gtest.h>
// After gtest: Xlib defines None and Bool as macros.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "colourrules.h"
#include "runprog.h"
#include "xvfb.h"

namespace {

// Pixel (x, y) of the test pictures: every pixel differs from its
// neighbours, so a shifted or scaled picture cannot pass for the original.
void Pattern(int x, int y, unsigned char *rgb) {
  rgb[0] = static_cast<unsigned char>(x * 7 + y);
  rgb[1] = static_cast<unsigned char>(y * 5 + x / 3);
  rgb[2] = static_cast<unsigned char>((x + y) * 3);
}

std::string Ppm(int w, int h) {
  std::string data = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  const size_t header = data.size();
  data.resize(header + static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      Pattern(x, y, reinterpret_cast<unsigned char *>(&data[header + (y * w + x) * 3]));
  return data;
}

class Showing : public testing::Test {
 protected:
  RunResult Pvview(const XvfbServer &server, std::vector<std::string> args) {
    args.insert(args.begin(), PVVIEW_BIN);
    RunOptions options;
    options.set_env = {"DISPLAY=" + server.display(), std::string("SYSDIR=") + PV_SYSDIR};
    options.unset_env = {"PVDEBUG", "PVVIEWDEBUG"};
    return RunProgram(args, options);
  }

  // Shows a w x h picture with the options and returns what -save wrote.
  std::string Shown(const XvfbServer &server, int w, int h, std::vector<std::string> args) {
    const std::string in = dir_.file("in.ppm"), out = dir_.file("out.rgb");
    WriteFile(in, Ppm(w, h));
    unlink(out.c_str());
    args.insert(args.end(), {"-timer", "1", "-save", out, in});
    RunResult r = Pvview(server, args);
    EXPECT_EQ(r.status, 0) << r.err;
    return ReadFile(out);
  }

  TempDir dir_;
};

TEST_F(Showing, ScreenFitLeavesRoomForTheFrame) {
  XvfbServer large(24, 1280, 1024);
  ASSERT_TRUE(large.ok());
  // Shown unscaled, the saved picture is the file's pixels exactly.
  std::string saved = Shown(large, 1000, 500, {});
  EXPECT_TRUE(saved == Ppm(1000, 500).substr(Ppm(1000, 500).size() - saved.size()) &&
              saved.size() == 1000u * 500 * 3)
      << saved.size();

  XvfbServer small(24, 800, 600);
  ASSERT_TRUE(small.ok());
  EXPECT_EQ(Shown(small, 1000, 500, {}).size(), 750u * 375 * 3);
  // Told to obey, the viewer takes the size asked for even past the screen.
  EXPECT_EQ(Shown(small, 1000, 500, {"-resize", "obey"}).size(), 1000u * 500 * 3);
}

// JPEG and JPEG 2000 files made by the reference encoders show as the
// reference decoders read them: JPEG within rounding of the integer IDCT
// (sequential and progressive), reversible JPEG 2000 exactly (JP2 file and
// bare codestream).
TEST_F(Showing, CodedPicturesShowAsTheReferenceDecodesThem) {
  XvfbServer server(24);
  ASSERT_TRUE(server.ok());
  const std::string ppm = dir_.file("in.ppm");
  WriteFile(ppm, Ppm(201, 93));
  const std::string q = "'" + ppm + "'";
  const struct {
    const char *name;
    std::string make, reference;
    int tolerance;
  } kFiles[] = {
      {"a.jpg", "cjpeg -quality 90 " + q, "djpeg -pnm", 2},
      {"b.jpg", "cjpeg -progressive -sample 1x1 " + q, "djpeg -pnm -dct int -nosmooth", 2},
      {"c.jp2", "", "", 0},
      {"d.j2k", "", "", 0},
  };
  for (const auto &f : kFiles) {
    SCOPED_TRACE(f.name);
    const std::string file = dir_.file(f.name), out = dir_.file("out.rgb");
    std::string expected;
    if (f.make.empty()) {
      ShellOutput("opj_compress -i " + q + " -o '" + file + "' >/dev/null");
      expected = Ppm(201, 93).substr(Ppm(201, 93).size() - 201 * 93 * 3);
    } else {
      ShellOutput(f.make + " > '" + file + "'");
      const std::string pnm = ShellOutput(f.reference + " '" + file + "'");
      expected = pnm.substr(pnm.size() - 201 * 93 * 3);
    }
    unlink(out.c_str());
    RunResult r = Pvview(server, {"-timer", "1", "-save", out, file});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string saved = ReadFile(out);
    ASSERT_EQ(saved.size(), expected.size());
    int worst = 0;
    for (size_t i = 0; i < saved.size(); ++i)
      worst = std::max(worst, std::abs(static_cast<unsigned char>(saved[i]) -
                                       static_cast<unsigned char>(expected[i])));
    EXPECT_LE(worst, f.tolerance);
  }
}

TEST_F(Showing, FitAndSizeOptions) {
  XvfbServer server(24);
  ASSERT_TRUE(server.ok());
  // The half pixel is added before the factor 4.
  EXPECT_EQ(
      Shown(server, 100, 50, {"-resize", "fit", "-parentwidth", "400", "-parentheight", "400"})
          .size(),
      402u * 202 * 3);
  // Without fit a small picture is not enlarged.
  EXPECT_EQ(Shown(server, 100, 50, {"-parentwidth", "400", "-parentheight", "400"}).size(),
            100u * 50 * 3);
  EXPECT_EQ(Shown(server, 600, 400, {"-size", "300"}).size(), 300u * 200 * 3);
  EXPECT_EQ(Shown(server, 600, 400, {"-size", "x100"}).size(), 150u * 100 * 3);
  EXPECT_EQ(Shown(server, 600, 400, {"-size", "300", "-rotate", "90"}).size(), 300u * 450 * 3);
}

// A JPEG shown at a quarter of its size or less is read at a reduced
// level: the window shows what the converter writes for the same crop,
// turn and size: both map the crop to the level the same way.
TEST_F(Showing, ReducedJpegShowsAsTheConverterWritesIt) {
  XvfbServer server(24);
  ASSERT_TRUE(server.ok());
  const std::string ppm = dir_.file("big.ppm"), jpg = dir_.file("big.jpg");
  const std::string shown = dir_.file("shown.rgb"), written = dir_.file("written.ppm");
  WriteFile(ppm, Ppm(800, 600));
  ASSERT_EQ(RunProgram({"sh", "-c", "pnmtojpeg " + ppm + " > " + jpg}).status, 0);
  const std::vector<std::vector<std::string>> cases = {
      {"-size", "150"},
      {"-crop", "400x300+100+50", "-size", "100"},
      {"-rotate", "90", "-size", "120"},
  };
  for (std::vector<std::string> args : cases) {
    std::vector<std::string> convert = {PVCONVERT_BIN};
    convert.insert(convert.end(), args.begin(), args.end());
    convert.insert(convert.end(), {"-type", "ppm", jpg, written});
    ASSERT_EQ(RunProgram(convert).status, 0);
    args.insert(args.end(), {"-timer", "1", "-save", shown, jpg});
    RunResult r = Pvview(server, args);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string want = ReadFile(written);
    ASSERT_GT(want.size(), 15u);
    // The converter's PPM header is "P6\nW H\n255\n".
    size_t at = 0;
    for (int fields = 0; fields < 4; ++fields) at = want.find_first_of(" \n", at) + 1;
    EXPECT_EQ(ReadFile(shown), want.substr(at)) << args[0] << " " << args[1];
  }
}

TEST_F(Showing, RelativeCropShowsTheTopLeftQuarter) {
  XvfbServer server(24);
  ASSERT_TRUE(server.ok());
  const std::string saved = Shown(server, 1000, 800, {"-relcrop", "0.5x0.5"});
  ASSERT_EQ(saved.size(), 500u * 400 * 3);
  for (int y : {0, 1, 199, 399})
    for (int x : {0, 1, 250, 499}) {
      unsigned char want[3];
      Pattern(x, y, want);
      const size_t at = (static_cast<size_t>(y) * 500 + x) * 3;
      EXPECT_EQ(static_cast<unsigned char>(saved[at]), want[0]) << x << "," << y;
      EXPECT_EQ(static_cast<unsigned char>(saved[at + 1]), want[1]) << x << "," << y;
      EXPECT_EQ(static_cast<unsigned char>(saved[at + 2]), want[2]) << x << "," << y;
    }
}

TEST_F(Showing, ColourReductionKeepsToTheBudget) {
  XvfbServer server(24);
  ASSERT_TRUE(server.ok());
  const std::string saved = Shown(server, 64, 64, {"-colors", "8"});
  ASSERT_EQ(saved.size(), 64u * 64 * 3);
  std::set<std::string> colours;
  for (size_t i = 0; i < saved.size(); i += 3) colours.insert(saved.substr(i, 3));
  EXPECT_LE(colours.size(), 8u);
  EXPECT_GT(colours.size(), 1u);
}

// The colour options as the viewer shows them on a TrueColor screen (and
// saves them), against the rules as the test writes them out.
TEST_F(Showing, ColourOptionsFollowTheirRules) {
  XvfbServer server(24);
  ASSERT_TRUE(server.ok());
  const std::string in = dir_.file("colours.ppm"), out = dir_.file("colours.rgb");
  WriteFile(in, ColourPicturePpm());
  for (const ColourCase &c : ColourCases()) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-timer", "1", "-save", out, in});
    unlink(out.c_str());
    const RunResult r = Pvview(server, args);
    ASSERT_EQ(r.status, 0) << ColourCaseName(c) << ": " << r.err;
    EXPECT_EQ(ColourMismatch(c, ReadFile(out)), "");
  }
}

TEST_F(Showing, ColourMappedServerShowsThroughThePalette) {
  XvfbServer server(8);
  ASSERT_TRUE(server.ok());
  // Four flat quarters: red, green, blue and white.
  const std::string in = dir_.file("quarters.ppm"), out = dir_.file("quarters.rgb");
  std::string data = "P6\n40 40\n255\n";
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 40; ++x) {
      const int q = (y / 20) * 2 + x / 20;
      const char rgb[4][3] = {
          {'\xff', 0, 0}, {0, '\xff', 0}, {0, 0, '\xff'}, {'\xff', '\xff', '\xff'}};
      data.append(rgb[q], 3);
    }
  WriteFile(in, data);
  RunResult r = Pvview(server, {"-timer", "1", "-nodither", "-save", out, in});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string saved = ReadFile(out);
  ASSERT_EQ(saved.size(), 40u * 40 * 3);
  auto near = [&](int x, int y, int red, int green, int blue) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(&saved[(y * 40 + x) * 3]);
    return std::abs(p[0] - red) < 48 && std::abs(p[1] - green) < 48 && std::abs(p[2] - blue) < 48;
  };
  EXPECT_TRUE(near(10, 10, 255, 0, 0));
  EXPECT_TRUE(near(30, 10, 0, 255, 0));
  EXPECT_TRUE(near(10, 30, 0, 0, 255));
  EXPECT_TRUE(near(30, 30, 255, 255, 255));
}

// The viewer and the X server run at their own pace: a test waits for
// what it needs to see, looking again until a generous deadline, never
// for a fixed time.
bool Eventually(const std::function<bool()> &done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(45);
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// A connection of the test's own. Requests on the viewer's window fail
// while it is not yet mapped or once it is gone; they come back as
// failed calls rather than ending the test.
Display *Connect(const XvfbServer &server) {
  XSetErrorHandler([](Display *, XErrorEvent *) { return 0; });
  return XOpenDisplay(server.display().c_str());
}

// The viewer's top-level window, found by its title; 0 if none comes.
Window FindWindow(Display *d, const std::string &title) {
  Window found = 0;
  Eventually([&] {
    Window root, parent, *children = nullptr;
    unsigned int n = 0;
    if (XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &n)) {
      for (unsigned int i = 0; i < n && !found; ++i) {
        char *name = nullptr;
        if (XFetchName(d, children[i], &name) && name) {
          if (title == name) found = children[i];
          XFree(name);
        }
      }
      if (children) XFree(children);
    }
    return found != 0;
  });
  return found;
}

// Runs the viewer (argv without the program) until `act`, given the window
// titled `title`, has ended it, and returns the viewer's result.
RunResult Interactive(const XvfbServer &server, std::vector<std::string> args,
                      const std::string &title, const std::function<void(Display *, Window)> &act,
                      const std::string &stdin_data = "") {
  RunOptions options;
  options.set_env = {"DISPLAY=" + server.display(), std::string("SYSDIR=") + PV_SYSDIR};
  options.timeout_seconds = 60;
  options.stdin_data = stdin_data;
  args.insert(args.begin(), PVVIEW_BIN);
  RunResult result;
  std::thread viewer([&] { result = RunProgram(args, options); });
  Display *d = Connect(server);
  if (d) {
    Window w = FindWindow(d, title);
    EXPECT_NE(w, 0u) << title;
    if (w) act(d, w);
    XCloseDisplay(d);
  }
  viewer.join();
  return result;
}

RunResult Interactive(const XvfbServer &server, const std::string &file,
                      const std::function<void(Display *, Window)> &act) {
  return Interactive(server, {"-bartitle", "under test", file}, "under test", act);
}

// The pixels of the w x h area at (x, y) of `window` that differ from the
// test pattern from (px, py) on, as "x,y" texts.
std::set<std::string> Differences(Display *d, Window window, int x, int y, int w, int h, int px = 0,
                                  int py = 0) {
  std::set<std::string> differ;
  XImage *image = XGetImage(d, window, x, y, w, h, AllPlanes, ZPixmap);
  if (!image) return {"no image"};
  for (int j = 0; j < h; ++j)
    for (int i = 0; i < w; ++i) {
      unsigned char want[3];
      Pattern(px + i, py + j, want);
      const unsigned long rgb = (unsigned long)want[0] << 16 | want[1] << 8 | want[2];
      if ((XGetPixel(image, i, j) & 0xFFFFFF) != rgb)
        differ.insert(std::to_string(i) + "," + std::to_string(j));
    }
  XDestroyImage(image);
  return differ;
}

// Waits until the area differs from the pattern in exactly `differ`; on
// failure the test is told what it shows instead.
void WaitForPicture(Display *d, Window w, int x, int y, int width, int height,
                    const std::set<std::string> &differ = {}, int px = 0, int py = 0) {
  std::set<std::string> seen;
  if (Eventually([&] { return (seen = Differences(d, w, x, y, width, height, px, py)) == differ; }))
    return;
  std::string text;
  for (const std::string &p : seen) text += p + " ";
  ADD_FAILURE() << "the window shows " << seen.size() << " other pixels: " << text.substr(0, 300);
}

// Waits until the viewer has asked for the events of `mask` on its window:
// from then on events sent to it reach it.
bool WaitForMask(Display *d, Window w, long mask) {
  return Eventually([&] {
    XWindowAttributes a;
    return XGetWindowAttributes(d, w, &a) && (a.all_event_masks & mask) == mask;
  });
}

// Input as the viewer receives it: keys and buttons sent to its window,
// the pointer really moved (the viewer asks the server where it is). Each
// is in the viewer's queue, after everything sent before it, on return.
void Key(Display *d, Window w, KeySym key) {
  XEvent e{};
  e.xkey.type = KeyPress;
  e.xkey.window = w;
  e.xkey.root = DefaultRootWindow(d);
  e.xkey.keycode = XKeysymToKeycode(d, key);
  e.xkey.same_screen = True;
  XSendEvent(d, w, False, KeyPressMask, &e);
  XSync(d, False);
}

void Button(Display *d, Window w, int type, int x, int y) {
  XEvent e{};
  e.xbutton.type = type;
  e.xbutton.window = w;
  e.xbutton.root = DefaultRootWindow(d);
  e.xbutton.x = x;
  e.xbutton.y = y;
  e.xbutton.button = Button1;
  e.xbutton.same_screen = True;
  XSendEvent(d, w, False, type == ButtonPress ? ButtonPressMask : ButtonReleaseMask, &e);
  XSync(d, False);
}

void MovePointer(Display *d, Window w, int x, int y) {
  XWarpPointer(d, 0, w, 0, 0, 0, 0, x, y);
  XSync(d, False);
}

// Waits until the viewer has handled everything sent to it so far: part
// of the window is cleared, and the viewer redraws it when it comes to the
// exposure, which is queued behind all earlier input.
void WaitForViewer(Display *d, Window w) {
  XClearArea(d, w, 100, 70, 20, 10, True);
  XSync(d, False);
  WaitForPicture(d, w, 100, 70, 20, 10, {}, 100, 70);
}

TEST_F(Showing, UserEndsTheViewer) {
  XvfbServer server(24);
  ASSERT_TRUE(server.ok());
  const std::string in = dir_.file("in.ppm");
  WriteFile(in, Ppm(120, 80));

  // q: the window has the picture's size and shows its pixels.
  RunResult r = Interactive(server, in, [&](Display *d, Window w) {
    WaitForPicture(d, w, 0, 0, 120, 80);
    XWindowAttributes a;
    ASSERT_TRUE(XGetWindowAttributes(d, w, &a));
    EXPECT_EQ(a.width, 120);
    EXPECT_EQ(a.height, 80);
    Key(d, w, XK_q);
  });
  EXPECT_EQ(r.status, 0) << r.err;

  // The window manager's close request, whenever it comes.
  r = Interactive(server, in, [&](Display *d, Window w) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, w, False, NoEventMask, &e);
    XFlush(d);
  });
  EXPECT_EQ(r.status, 0) << r.err;

  // A window destroyed from outside ends the viewer with status 1 and no
  // message, whether the picture is still loading or the viewer waits for
  // the user.
  for (bool shown : {false, true}) {
    r = Interactive(server, in, [&](Display *d, Window w) {
      if (shown) {
        ASSERT_TRUE(WaitForMask(d, w, ExposureMask));
      }
      XDestroyWindow(d, w);
      XFlush(d);
    });
    EXPECT_EQ(r.status, 1) << shown << ": " << r.err;
    EXPECT_EQ(r.err, "") << shown;
  }
}

TEST_F(Showing, CropBoxIsDrawnOverThePictureAndTakenAway) {
  XvfbServer server(24);
  ASSERT_TRUE(server.ok());
  const std::string in = dir_.file("in.ppm");
  WriteFile(in, Ppm(120, 80));
  // The outline of the box from (10, 10) to (x, y).
  auto outline = [](int x, int y) {
    std::set<std::string> points;
    for (int i = 10; i <= x; ++i)
      for (int j : {10, y}) points.insert(std::to_string(i) + "," + std::to_string(j));
    for (int j = 10; j <= y; ++j)
      for (int i : {10, x}) points.insert(std::to_string(i) + "," + std::to_string(j));
    return points;
  };
  RunResult r = Interactive(server, {"-maycrop", "true", "-bartitle", "box", in}, "box",
                            [&](Display *d, Window w) {
                              ASSERT_TRUE(WaitForMask(d, w, ButtonPressMask | ExposureMask));
                              WaitForPicture(d, w, 0, 0, 120, 80);
                              // Dragged from (10, 10): each step shows before the next is made.
                              MovePointer(d, w, 10, 10);
                              Button(d, w, ButtonPress, 10, 10);
                              WaitForPicture(d, w, 0, 0, 120, 80, outline(10, 10));
                              MovePointer(d, w, 40, 30);
                              WaitForPicture(d, w, 0, 0, 120, 80, outline(40, 30));
                              MovePointer(d, w, 60, 50);
                              WaitForPicture(d, w, 0, 0, 120, 80, outline(60, 50));
                              Button(d, w, ButtonRelease, 60, 50);
                              WaitForViewer(d, w);
                              // Exactly the outline of the box from (10, 10) to (60, 50) changed.
                              EXPECT_EQ(Differences(d, w, 0, 0, 120, 80), outline(60, 50));

                              // Space only takes the box away, and the picture is whole again.
                              Key(d, w, XK_space);
                              WaitForViewer(d, w);
                              EXPECT_EQ(Differences(d, w, 0, 0, 120, 80), std::set<std::string>{});
                              // A click without a drag leaves no box.
                              MovePointer(d, w, 30, 30);
                              Button(d, w, ButtonPress, 30, 30);
                              Button(d, w, ButtonRelease, 30, 30);
                              WaitForViewer(d, w);
                              EXPECT_EQ(Differences(d, w, 0, 0, 120, 80), std::set<std::string>{});
                              // With no box shown, Escape closes the window.
                              Key(d, w, XK_Escape);
                            });
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Showing, InterruptEndsWithStatusZero) {
  XvfbServer server(24);
  ASSERT_TRUE(server.ok());
  const std::string in = dir_.file("in.ppm"), pid = dir_.file("pid");
  WriteFile(in, Ppm(120, 80));
  RunOptions options;
  options.set_env = {"DISPLAY=" + server.display(), std::string("SYSDIR=") + PV_SYSDIR};
  options.timeout_seconds = 60;
  RunResult r;
  // The shell writes its pid and becomes the viewer.
  std::thread viewer([&] {
    r = RunProgram({"/bin/sh", "-c", "echo $$ >\"$0\"; exec \"$@\"", pid, PVVIEW_BIN, "-bartitle",
                    "signalled", in},
                   options);
  });
  Display *d = Connect(server);
  ASSERT_NE(d, nullptr);
  EXPECT_NE(FindWindow(d, "signalled"), 0u);
  XCloseDisplay(d);
  const int viewer_pid = atoi(ReadFile(pid).c_str());
  ASSERT_GT(viewer_pid, 1);
  EXPECT_EQ(kill(viewer_pid, SIGINT), 0);
  viewer.join();
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Showing, EmbeddedInAParentAtTheOffset) {
  XvfbServer server(24);
  ASSERT_TRUE(server.ok());
  const std::string in = dir_.file("in.ppm");
  WriteFile(in, Ppm(120, 80));
  Display *d = Connect(server);
  ASSERT_NE(d, nullptr);
  const Window parent = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 300, 200, 0, 0,
                                            BlackPixel(d, DefaultScreen(d)));
  XMapWindow(d, parent);
  XSync(d, False);
  RunResult r;
  std::thread viewer([&] {
    r = Pvview(server,
               {"-parentwindow", std::to_string(parent), "-xoffset", "30", "-yoffset", "20", in});
  });
  Window child = 0;
  Eventually([&] {
    Window root, up, *children = nullptr;
    unsigned int n = 0;
    if (XQueryTree(d, parent, &root, &up, &children, &n) && n > 0) child = children[0];
    if (children) XFree(children);
    return child != 0;
  });
  EXPECT_NE(child, 0u);
  if (child) {
    // Read through the parent: the picture sits at the offset, black around it.
    WaitForPicture(d, parent, 30, 20, 120, 80);
    XWindowAttributes a;
    EXPECT_TRUE(XGetWindowAttributes(d, child, &a));
    EXPECT_EQ(a.x, 30);
    EXPECT_EQ(a.y, 20);
    XImage *image = XGetImage(d, parent, 0, 0, 300, 200, AllPlanes, ZPixmap);
    EXPECT_NE(image, nullptr);
    if (image) {
      EXPECT_EQ(XGetPixel(image, 29, 20) & 0xFFFFFF, 0u);
      EXPECT_EQ(XGetPixel(image, 30, 19) & 0xFFFFFF, 0u);
      EXPECT_EQ(XGetPixel(image, 150, 100) & 0xFFFFFF, 0u);
      XDestroyImage(image);
    }
    Key(d, child, XK_q);
  }
  viewer.join();
  EXPECT_EQ(r.status, 0) << r.err;
  XCloseDisplay(d);
}

TEST_F(Showing, StandardInputIsShownUnderItsOwnTitle) {
  XvfbServer server(24);
  ASSERT_TRUE(server.ok());
  RunResult r = Interactive(
      server, {}, "From Standard Input - 120 x 80",
      [&](Display *d, Window w) {
        WaitForPicture(d, w, 0, 0, 120, 80);
        Key(d, w, XK_q);
      },
      Ppm(120, 80));
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Showing, FilesThatCannotBeShown) {
  XvfbServer server(24);
  ASSERT_TRUE(server.ok());
  WriteFile(dir_.file("in.ppm"), Ppm(10, 10));
  RunResult r =
      Pvview(server, {"-timer", "1", "-save", dir_.file("no/such/dir.rgb"), dir_.file("in.ppm")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;

  // Input that is no picture: a reported error, status 1 long before the
  // timer ends, and no window left behind.
  mkdir(dir_.file("dir.ppm").c_str(), 0700);
  const struct {
    const char *name;
    std::string data, message;
  } bad[] = {
      {"dir.ppm", "", "dir.ppm: Is a directory\nError: Cannot open "},
      // A native file whose storage mode fails at its first line.
      {"mode5.qpl",
       std::string("QPLMAGE\0\x24\0\x03\x02\0\x02\0\x01\0\x01\0\0\0\x05", 22) +
           std::string(26, '\0'),
       "Unsupported QPL format"},
      {"empty.ppm", "", "Error: Empty file\n"},
      {"header.ppm", "P6\n100 ", "Error: Invalid Data in PNM format"},
      // Plain text is typeset by the shipped filters; this is no text.
      {"text.ppm", "\x80\x81\x82\x83 this is no picture\n",
       "Unknown type of file " + dir_.file("text.ppm") + "\n"},
  };
  for (const auto &c : bad) {
    if (c.name != std::string("dir.ppm")) WriteFile(dir_.file(c.name), c.data);
    // A timer longer than the run is allowed: a viewer that waited for it
    // would be stopped and not end with status 1.
    r = Pvview(server, {"-timer", "600", dir_.file(c.name)});
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
  }
  Display *d = XOpenDisplay(server.display().c_str());
  ASSERT_NE(d, nullptr);
  Window root, parent, *children = nullptr;
  unsigned int n = 0;
  ASSERT_TRUE(XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &n));
  if (children) XFree(children);
  EXPECT_EQ(n, 0u);
  XCloseDisplay(d);

  // Pictures one pixel wide or high are still shown.
  for (auto [w, h] : {std::pair{1, 1}, {1, 50}, {50, 1}, {65535, 1}, {1, 65535}}) {
    const std::string file = dir_.file("thin.pgm");
    WriteFile(file, "P5\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n" +
                        std::string(static_cast<size_t>(w) * h, '\x80'));
    r = Pvview(server, {"-timer", "1", file});
    EXPECT_EQ(r.status, 0) << w << "x" << h << ": " << r.err;
  }
}

}  // namespace
