// pvview -explore true on private X servers, driven with xdotool: each
// view read back from the window and compared with the source as the test
// computes it (and netpbm turns it). Every wait is for what the window
// shows or its title, with a deadline only as a guard.
#include <gtest/gtest.h>
// After gtest: Xlib defines None and Bool as macros.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "runprog.h"
#include "xvfb.h"

namespace {

// Source pixel (x, y): no two pixels near each other are alike, so a view
// shifted or scaled by one pixel cannot pass for the right one.
uint32_t Source(int x, int y) {
  const unsigned r = (x * 7 + y) & 255, g = (y * 5 + x / 3) & 255, b = ((x + y) * 3) & 255;
  return r << 16 | g << 8 | b;
}

std::string Ppm(int w, int h, const std::function<uint32_t(int, int)> &at = Source) {
  std::string data = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint32_t v = at(x, y);
      data += {static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
    }
  return data;
}

// A picture as 0xRRGGBB words.
struct Picture {
  int w = 0, h = 0;
  std::vector<uint32_t> px;
  uint32_t at(int x, int y) const { return px[static_cast<size_t>(y) * w + x]; }
};

// A binary PPM (as netpbm writes it) read back.
Picture FromPpm(const std::string &ppm) {
  Picture p;
  int maxval = 0, used = 0;
  if (sscanf(ppm.c_str(), "P6 %d %d %d%n", &p.w, &p.h, &maxval, &used) != 3) return p;
  const unsigned char *d = reinterpret_cast<const unsigned char *>(ppm.data()) + used + 1;
  for (int i = 0; i < p.w * p.h; ++i, d += 3) p.px.push_back(d[0] << 16 | d[1] << 8 | d[2]);
  return p;
}

Picture Grab(Display *d, Window w) {
  Picture p;
  XWindowAttributes a;
  if (!XGetWindowAttributes(d, w, &a)) return p;
  XImage *image = XGetImage(d, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
  if (!image) return p;
  p.w = a.width;
  p.h = a.height;
  for (int y = 0; y < p.h; ++y)
    for (int x = 0; x < p.w; ++x) p.px.push_back(XGetPixel(image, x, y) & 0xFFFFFF);
  XDestroyImage(image);
  return p;
}

std::string Title(Display *d, Window w) {
  char *name = nullptr;
  std::string title;
  if (XFetchName(d, w, &name) && name) {
    title = name;
    XFree(name);
  }
  return title;
}

// Polls until `done` holds; false after a minute (a guard only).
bool WaitFor(const std::function<bool()> &done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

Window FindWindow(Display *d, const std::string &title) {
  Window found = 0;
  WaitFor([&] {
    Window root, parent, *children = nullptr;
    unsigned int n = 0;
    XSync(d, False);
    if (XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &n))
      for (unsigned int i = 0; i < n && !found; ++i)
        if (Title(d, children[i]).rfind(title, 0) == 0) found = children[i];
    if (children) XFree(children);
    return found != 0;
  });
  return found;
}

// Where in the source the view of w x h at 100% starts, when the window's
// middle is within `reach` pixels of where `expected` says; -1 otherwise.
bool FindOffset(const Picture &view, int source_w, int source_h, int ex, int ey, int reach, int *ox,
                int *oy) {
  for (int dy = -reach; dy <= reach; ++dy)
    for (int dx = -reach; dx <= reach; ++dx) {
      const int x0 = ex + dx, y0 = ey + dy;
      if (x0 < 0 || y0 < 0 || x0 + view.w > source_w || y0 + view.h > source_h) continue;
      bool same = true;
      for (int y = view.h / 2 - 20; same && y <= view.h / 2 + 20; ++y)
        for (int x = view.w / 2 - 20; same && x <= view.w / 2 + 20; ++x)
          same = view.at(x, y) == Source(x0 + x, y0 + y);
      if (same) {
        *ox = x0;
        *oy = y0;
        return true;
      }
    }
  return false;
}

// The view equals the source at 100% from (ox, oy).
bool ShowsSourceAt(const Picture &view, int ox, int oy) {
  for (int y = 0; y < view.h; ++y)
    for (int x = 0; x < view.w; ++x)
      if (view.at(x, y) != Source(ox + x, oy + y)) return false;
  return !view.px.empty();
}

class Exploring : public testing::Test {
 protected:
  // A window that is gone must fail the test, not end it.
  static void SetUpTestSuite() {
    XSetErrorHandler([](Display *, XErrorEvent *) { return 0; });
  }

  // Runs pvview (arguments without the program) until `act`, handed the
  // window whose title starts with `title`, has ended it.
  RunResult Run(const XvfbServer &server, std::vector<std::string> args, const std::string &title,
                const std::function<void(Display *, Window)> &act) {
    RunOptions options;
    options.set_env = {"DISPLAY=" + server.display(), std::string("SYSDIR=") + PV_SYSDIR};
    options.unset_env = {"PVDEBUG", "PVVIEWDEBUG"};
    options.timeout_seconds = 240;
    args.insert(args.begin(), PVVIEW_BIN);
    RunResult result;
    std::thread viewer([&] { result = RunProgram(args, options); });
    if (Display *d = XOpenDisplay(server.display().c_str())) {
      const Window w = FindWindow(d, title);
      EXPECT_NE(w, 0u) << title;
      if (w) act(d, w);
      XCloseDisplay(d);
    }
    viewer.join();
    if (testing::Test::HasFailure()) fprintf(stderr, "viewer said: %s\n", result.err.c_str());
    return result;
  }

  // xdotool steps against the window, which gets the focus first.
  static void Do(const XvfbServer &server, Window w, const std::string &steps) {
    const std::string id = std::to_string(w);
    const std::string command = "DISPLAY=" + server.display() + " xdotool windowfocus --sync " +
                                id + " " + steps + " >/dev/null 2>&1";
    EXPECT_EQ(system(command.c_str()), 0) << steps;
  }

  // Drags a crop box from (x0, y0) to (x1, y1) with button 1, waiting for
  // each step: the viewer reads the pointer when it takes each event.
  static void DragBox(const XvfbServer &server, Display *d, Window w, int x0, int y0, int x1,
                      int y1) {
    const Picture base = Grab(d, w);
    const std::string to = "mousemove --window " + std::to_string(w) + " ";
    Do(server, w, to + std::to_string(x0) + " " + std::to_string(y0) + " mousedown 1");
    EXPECT_TRUE(WaitFor([&] { return Grab(d, w).at(x0, y0) != base.at(x0, y0); }));
    Do(server, w, to + std::to_string(x1) + " " + std::to_string(y1));
    EXPECT_TRUE(WaitFor([&] { return Outlined(Grab(d, w), base, x0, y0, x1, y1); }));
    Do(server, w, "mouseup 1");
  }

  // The picture differs from `base` on the outline of the box and nowhere
  // else.
  static bool Outlined(const Picture &view, const Picture &base, int x0, int y0, int x1, int y1) {
    if (view.px.size() != base.px.size()) return false;
    for (int y = 0; y < view.h; ++y)
      for (int x = 0; x < view.w; ++x) {
        const bool outline = (x >= x0 && x <= x1 && (y == y0 || y == y1)) ||
                             (y >= y0 && y <= y1 && (x == x0 || x == x1));
        if ((view.at(x, y) != base.at(x, y)) != outline) return false;
      }
    return true;
  }

  std::string File(const std::string &name, const std::string &data) {
    WriteFile(dir_.file(name), data);
    return dir_.file(name);
  }

  TempDir dir_;
};

// Zooming: actual pixels about the window's middle and about the pointer,
// the wheel, the limit of 6400%, and the fitted view back as a plain run
// shows it.
TEST_F(Exploring, ZoomShowsTheSourceAndComesBackToTheFittedView) {
  XvfbServer server(24, 800, 600);
  ASSERT_TRUE(server.ok());
  const std::string in = File("in.ppm", Ppm(1000, 700));
  const std::string plain = dir_.file("plain.rgb");
  RunOptions options;
  options.set_env = {"DISPLAY=" + server.display(), std::string("SYSDIR=") + PV_SYSDIR};
  ASSERT_EQ(RunProgram({PVVIEW_BIN, "-timer", "1", "-save", plain, in}, options).status, 0);
  const std::string fitted = ReadFile(plain);

  RunResult r =
      Run(server, {"-explore", "true", "-bartitle", "zoom", in}, "zoom", [&](Display *d, Window w) {
        // 1000 x 700 fitted into 800 x 600 with room for a frame: 714 x 500.
        EXPECT_TRUE(WaitFor([&] { return Title(d, w) == "zoom - 1/? - 71%"; })) << Title(d, w);
        const Picture start = Grab(d, w);
        ASSERT_EQ(start.w, 714);
        ASSERT_EQ(start.h, 500);
        std::string shown;
        for (uint32_t p : start.px) shown += {char(p >> 16), char(p >> 8), char(p)};
        EXPECT_TRUE(shown == fitted);

        // 1 about the middle (the pointer there too): the source's middle.
        Do(server, w, "mousemove --window " + std::to_string(w) + " 357 250 key 1");
        ASSERT_TRUE(WaitFor([&] { return Title(d, w) == "zoom - 1/? - 100%"; })) << Title(d, w);
        Picture view = Grab(d, w);
        int ox = -1, oy = -1;
        ASSERT_TRUE(FindOffset(view, 1000, 700, 500 - 357, 350 - 250, 2, &ox, &oy));
        EXPECT_TRUE(ShowsSourceAt(view, ox, oy));

        // The wheel zooms about the pointer: the page point under it stays.
        Do(server, w, "mousemove --window " + std::to_string(w) + " 100 80 click 4");
        ASSERT_TRUE(WaitFor([&] { return Title(d, w) == "zoom - 1/? - 200%"; })) << Title(d, w);
        view = Grab(d, w);
        for (int dy = 0; dy < 2; ++dy)
          for (int dx = 0; dx < 2; ++dx)
            EXPECT_EQ(view.at(100 + dx, 80 + dy), Source(ox + 100, oy + 80)) << dx << "," << dy;

        // Zooming in stops at 6400%; out, at the fitted view.
        Do(server, w, "key plus plus plus plus plus plus plus");
        EXPECT_TRUE(WaitFor([&] { return Title(d, w) == "zoom - 1/? - 6400%"; })) << Title(d, w);
        Do(server, w, "key minus minus minus minus minus minus minus minus minus");
        EXPECT_TRUE(WaitFor([&] { return Title(d, w) == "zoom - 1/? - 71%"; })) << Title(d, w);
        EXPECT_EQ(Grab(d, w).px, start.px);

        // 0 after a zoom: the fitted view again.
        Do(server, w, "key plus plus");
        EXPECT_TRUE(WaitFor([&] { return Title(d, w) == "zoom - 1/? - 286%"; })) << Title(d, w);
        Do(server, w, "key 0");
        EXPECT_TRUE(WaitFor([&] { return Title(d, w) == "zoom - 1/? - 71%"; })) << Title(d, w);
        EXPECT_EQ(Grab(d, w).px, start.px);
        Do(server, w, "key q");
      });
  EXPECT_EQ(r.status, 0) << r.err;
}

// Moving the view at 100%: a quarter window by key, stopping at the
// edges, a drag with the middle button, and a window made smaller keeping
// the page point in its middle.
TEST_F(Exploring, PanShowsTheColumnsBeside) {
  XvfbServer server(24, 800, 600);
  ASSERT_TRUE(server.ok());
  // Fitted to 750 x 250: at 100% the view moves 187 across and 62 down,
  // up to 1350 and 450.
  const std::string in = File("in.ppm", Ppm(2100, 700));
  RunResult r =
      Run(server, {"-explore", "true", "-bartitle", "pan", in}, "pan", [&](Display *d, Window w) {
        const std::string id = std::to_string(w);
        ASSERT_TRUE(WaitFor([&] { return Title(d, w) == "pan - 1/? - 36%"; })) << Title(d, w);
        Do(server, w, "mousemove --window " + id + " 375 125 key 1");
        ASSERT_TRUE(WaitFor([&] { return Title(d, w) == "pan - 1/? - 100%"; }));
        int x = -1, y = -1;
        ASSERT_TRUE(FindOffset(Grab(d, w), 2100, 700, 675, 225, 2, &x, &y));
        const struct {
          const char *keys;
          int dx, dy;
        } moves[] = {{"l", 187, 0}, {"Right Right", 374, 0}, {"l", 187, 0}, {"h", -187, 0},
                     {"j", 0, 62},  {"k Up", 0, -124}};
        for (const auto &m : moves) {
          SCOPED_TRACE(m.keys);
          x = std::min(std::max(x + m.dx, 0), 1350);
          y = std::min(std::max(y + m.dy, 0), 450);
          Do(server, w, std::string("key ") + m.keys);
          EXPECT_TRUE(WaitFor([&] { return ShowsSourceAt(Grab(d, w), x, y); })) << x << "," << y;
        }
        // The picture follows the pointer.
        Do(server, w,
           "mousemove --window " + id + " 400 125 mousedown 2 mousemove --window " + id +
               " 330 100 mouseup 2");
        EXPECT_TRUE(WaitFor([&] { return ShowsSourceAt(Grab(d, w), x + 70, y + 25); }));
        // Smaller: the same zoom, the same page point in the middle.
        Do(server, w, "windowsize " + id + " 600 200");
        EXPECT_TRUE(WaitFor([&] { return ShowsSourceAt(Grab(d, w), x + 70 + 75, y + 25 + 25); }));
        EXPECT_EQ(Title(d, w), "pan - 1/? - 100%");
        Do(server, w, "key Escape");
      });
  EXPECT_EQ(r.status, 0) << r.err;
}

// A label stays in its place in the window and the stamp goes with the
// page: after pans that come back, the window, made from moved pixels and
// the strips drawn beside them, is the view as it was first drawn whole
// (or, through a palette, made whole again).
TEST_F(Exploring, PansKeepTheLabelInPlaceAndTheStampOnThePage) {
  const std::string in = File("in.ppm", Ppm(2100, 700));
  // Through the screen's own colours, and through a palette of 256.
  for (int depth : {24, 16, 8}) {
    SCOPED_TRACE(depth);
    XvfbServer server(depth, 800, 600);
    ASSERT_TRUE(server.ok());
    RunResult r = Run(
        server,
        {"-explore", "true", "-bartitle", "decor", "-labeltext", "LABEL 1", "-labelposition",
         "topleft", "-stamptext", "STAMP", "-stampcolor", "red", in},
        "decor", [&](Display *d, Window w) {
          const std::string id = std::to_string(w);
          ASSERT_TRUE(WaitFor([&] { return Title(d, w) == "decor - 1/? - 36%"; })) << Title(d, w);
          Do(server, w, "mousemove --window " + id + " 375 125 key 1");
          ASSERT_TRUE(WaitFor([&] { return Title(d, w) == "decor - 1/? - 100%"; }));
          // The title changes once the view is on the server.
          const Picture first = Grab(d, w);
          // Each move is seen on the screen before the one back is made, so
          // that the two are not taken together as no move at all.
          const std::string to = "mousemove --window " + id + " ";
          const std::pair<std::string, std::string> moves[] = {
              {"key l", "key h"},
              {"key h", "key l"},
              {"key j", "key k"},
              {"key k", "key j"},
              {"key Right Down", "key Left Up"},
              {to + "400 125 mousedown 2 " + to + "330 90", to + "400 125 mouseup 2"}};
          for (const auto &m : moves) {
            SCOPED_TRACE(m.first);
            Do(server, w, m.first);
            EXPECT_TRUE(WaitFor([&] { return Grab(d, w).px != first.px; }));
            Do(server, w, m.second);
            EXPECT_TRUE(WaitFor([&] { return Grab(d, w).px == first.px; }));
          }
          Do(server, w, "key Escape");
        });
    EXPECT_EQ(r.status, 0) << r.err;
  }
}

// Pages of a TIFF file, read as they are asked for; a page that cannot be
// read leaves the one shown; turns and mirrors as netpbm makes them.
TEST_F(Exploring, PagesAndTurns) {
  XvfbServer server(24);
  ASSERT_TRUE(server.ok());
  const std::string q = "'" + dir_.path() + "'";
  ShellOutput("cd " + q +
              " && ppmmake red 60 40 >r.ppm && ppmmake green 60 40 >g.ppm && "
              "ppmmake blue 60 40 >b.ppm && for c in r g b; do pnmtotiff $c.ppm >$c.tif; done && "
              "tiffcp r.tif g.tif b.tif pages.tif");
  auto all = [&](Display *d, Window w, uint32_t colour) {
    const Picture p = Grab(d, w);
    for (uint32_t v : p.px)
      if (v != colour) return false;
    return !p.px.empty();
  };
  RunResult r = Run(
      server, {"-explore", "true", "-bartitle", "pages", dir_.file("pages.tif")}, "pages",
      [&](Display *d, Window w) {
        ASSERT_TRUE(WaitFor([&] { return Title(d, w) == "pages - 1/3 - 100%"; })) << Title(d, w);
        EXPECT_TRUE(all(d, w, 0xFF0000));
        const struct {
          const char *keys, *title;
          uint32_t colour;
        } steps[] = {{"Next", "pages - 2/3 - 100%", 0x00FF00},
                     {"n n", "pages - 3/3 - 100%", 0x0000FF},
                     {"n p", "pages - 2/3 - 100%", 0x00FF00},
                     {"Prior", "pages - 1/3 - 100%", 0xFF0000}};
        for (const auto &s : steps) {
          SCOPED_TRACE(s.keys);
          Do(server, w, std::string("key ") + s.keys);
          EXPECT_TRUE(WaitFor([&] { return Title(d, w) == s.title && all(d, w, s.colour); }))
              << Title(d, w);
        }
        Do(server, w, "key q");
      });
  EXPECT_EQ(r.status, 0) << r.err;

  // A second picture whose header is cut short.
  const std::string two = File("two.ppm", Ppm(40, 30) + "P6\n100 ");
  r = Run(server, {"-explore", "true", "-bartitle", "broken", two}, "broken",
          [&](Display *d, Window w) {
            ASSERT_TRUE(WaitFor([&] { return Title(d, w) == "broken - 1/? - 100%"; }));
            const Picture first = Grab(d, w);
            Do(server, w, "key n");
            EXPECT_TRUE(WaitFor([&] {
              return Title(d, w).rfind("broken - 1/1 - 100% - Invalid Data in PNM format", 0) == 0;
            })) << Title(d, w);
            EXPECT_EQ(Grab(d, w).px, first.px);
            Do(server, w, "key q");
          });
  EXPECT_EQ(r.status, 0) << r.err;

  // A square picture fills its window whichever way it is turned.
  const std::string square = File("square.ppm", Ppm(90, 90));
  const std::string sq = "'" + square + "'";
  const struct {
    const char *keys, *netpbm;
  } turns[] = {{"r", "pamflip -cw"},
               {"m", "pamflip -cw | pamflip -lr"},
               // Turned back under a mirror: the mirror is now top to bottom.
               {"R", "pamflip -tb"},
               {"R R", "pamflip -lr"}};
  r = Run(server, {"-explore", "true", "-bartitle", "turn", square}, "turn",
          [&](Display *d, Window w) {
            ASSERT_TRUE(WaitFor([&] { return Title(d, w) == "turn - 1/? - 100%"; }));
            for (const auto &t : turns) {
              SCOPED_TRACE(t.keys);
              const Picture want = FromPpm(ShellOutput("cat " + sq + " | " + t.netpbm));
              ASSERT_EQ(want.w, 90);
              Do(server, w, std::string("key ") + t.keys);
              EXPECT_TRUE(WaitFor([&] { return Grab(d, w).px == want.px; }));
            }
            Do(server, w, "key q");
          });
  EXPECT_EQ(r.status, 0) << r.err;
}

// Without the option the window does what it always did: every key but
// q, Escape and space is ignored. The crop box drawn after the keys shows
// that they have been handled.
TEST_F(Exploring, KeysChangeNothingWithoutTheOption) {
  XvfbServer server(24);
  ASSERT_TRUE(server.ok());
  const std::string in = File("in.ppm", Ppm(120, 80));
  RunResult r = Run(
      server, {"-maycrop", "true", "-bartitle", "plain", in}, "plain", [&](Display *d, Window w) {
        const std::string id = std::to_string(w);
        ASSERT_TRUE(WaitFor([&] { return ShowsSourceAt(Grab(d, w), 0, 0); }));
        const Picture first = Grab(d, w);
        Do(server, w,
           "key plus 1 l Right n Next r m 0 minus mousemove --window " + id +
               " 60 40 click 4 click 2");
        DragBox(server, d, w, 10, 10, 60, 50);
        // The box's outline, and nothing else, differs from the picture.
        EXPECT_TRUE(WaitFor([&] { return Outlined(Grab(d, w), first, 10, 10, 60, 50); }));
        EXPECT_EQ(Title(d, w), "plain");
        Do(server, w, "key space key q");
      });
  EXPECT_EQ(r.status, 0) << r.err;
}

// -save writes the view shown last, -timer ends the run, the crop box
// names the part of the page under it, and a window inside another one
// takes the keys once it has the focus.
TEST_F(Exploring, SaveTimerCropBoxAndParentWindow) {
  XvfbServer server(24, 800, 600);
  ASSERT_TRUE(server.ok());
  const std::string in = File("in.ppm", Ppm(1000, 700));
  const std::string saved = dir_.file("saved.rgb"), plain = dir_.file("plain.rgb");
  RunOptions options;
  options.set_env = {"DISPLAY=" + server.display(), std::string("SYSDIR=") + PV_SYSDIR};
  ASSERT_EQ(RunProgram({PVVIEW_BIN, "-timer", "1", "-save", plain, in}, options).status, 0);
  ASSERT_EQ(RunProgram({PVVIEW_BIN, "-explore", "true", "-timer", "1", "-save", saved, in}, options)
                .status,
            0);
  EXPECT_TRUE(ReadFile(saved) == ReadFile(plain));

  Picture last;
  RunResult r =
      Run(server, {"-explore", "true", "-maycrop", "true", "-save", saved, "-bartitle", "box", in},
          "box", [&](Display *d, Window w) {
            ASSERT_TRUE(WaitFor([&] { return Title(d, w) == "box - 1/? - 71%"; }));
            DragBox(server, d, w, 100, 100, 200, 150);
            // 1000 / 714 and 700 / 500 page pixels per window pixel.
            EXPECT_TRUE(WaitFor([&] {
              return Title(d, w) == "box - 1/? - 71% - Crop: 141x71+140+140 (1000,700)";
            })) << Title(d, w);
            Do(server, w, "key space key plus");
            EXPECT_TRUE(WaitFor([&] { return Title(d, w) == "box - 1/? - 143%"; })) << Title(d, w);
            last = Grab(d, w);
            Do(server, w, "key q");
          });
  EXPECT_EQ(r.status, 0) << r.err;
  std::string shown;
  for (uint32_t p : last.px) shown += {char(p >> 16), char(p >> 8), char(p)};
  EXPECT_TRUE(ReadFile(saved) == shown);

  Display *d = XOpenDisplay(server.display().c_str());
  ASSERT_NE(d, nullptr);
  const Window parent = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 300, 200, 0, 0, 0);
  XMapWindow(d, parent);
  XSync(d, False);
  const std::string small = File("small.ppm", Ppm(120, 80));
  std::thread viewer([&] {
    r = RunProgram({PVVIEW_BIN, "-explore", "true", "-parentwindow", std::to_string(parent),
                    "-xoffset", "30", "-yoffset", "20", small},
                   options);
  });
  Window child = 0;
  EXPECT_TRUE(WaitFor([&] {
    Window root, up, *children = nullptr;
    unsigned int n = 0;
    if (XQueryTree(d, parent, &root, &up, &children, &n) && n > 0) child = children[0];
    if (children) XFree(children);
    return child && ShowsSourceAt(Grab(d, child), 0, 0);
  }));
  if (child) {
    Do(server, child, "key plus");
    // At 200% each source pixel covers two by two.
    EXPECT_TRUE(WaitFor([&] {
      const Picture p = Grab(d, child);
      return p.px.size() == 120u * 80 && p.at(0, 0) == p.at(1, 1) && p.at(0, 0) != p.at(2, 2);
    }));
    Do(server, child, "key q");
  }
  viewer.join();
  EXPECT_EQ(r.status, 0) << r.err;
  XCloseDisplay(d);
}

}  // namespace
