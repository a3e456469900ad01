// The screen layer and its X11 driver on private Xvfb servers, windows read
// back pixel by pixel; the layer's own rules over a fake driver.
#include <gtest/gtest.h>
// Xlib comes after GoogleTest: its macros (None, Bool) clash with it.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "screen.h"
#include "scrint.h"
#include "scrx.h"
#include "xvfb.h"

static bool operator==(const ScrRectTp &a, const ScrRectTp &b) {
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

namespace {

const ReturnTp kInvalid = 0x00080001u | CMN_REPORTED;
const ReturnTp kNotSupported = 0x0004000Au | CMN_REPORTED;

struct Env {
  Env(const char *name, const char *value) : name_(name) { setenv(name, value, 1); }
  ~Env() { unsetenv(name_); }
  const char *name_;
};

// The pixels of the window (masked) that differ from want(x, y), as "x,y"
// positions; empty when all agree.
template <typename F>
std::string Differences(Display *d, Window w, int width, int height, F want,
                        unsigned long mask = ~0ul) {
  XSync(d, False);
  XImage *image = XGetImage(d, w, 0, 0, width, height, AllPlanes, ZPixmap);
  if (!image) return "no image";
  std::string out;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      if ((XGetPixel(image, x, y) & mask) != want(x, y) && out.size() < 200)
        out += std::to_string(x) + "," + std::to_string(y) + " ";
  XDestroyImage(image);
  return out;
}

struct Rgb {
  unsigned long r, g, b;
};

// Covers 0 and 255 in every channel and many values between.
Rgb TestColour(int x, int y) {
  return {(x * 7 + y * 13) & 255ul, (255 - x * 5 - y) & 255ul,
          (x * y * 3 + 255 * (x == 1)) & 255ul};
}

// The test image through ScrPutLine: bytes blue, green, red, fourth.
void ShowImage(SCR_CONTROL_BLOCK *cb, int width, int height) {
  std::vector<uint8_t> line(4 * width);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      Rgb c = TestColour(x, y);
      uint8_t *p = &line[4 * x];
      p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = 255;
    }
    ASSERT_EQ(ScrPutLine(cb, y, line.data()), 0u) << "line " << y;
  }
}

class Screen : public testing::Test {
 protected:
  void SetUp() override {
    for (const char *name : {"VIEW_8BIT", "VIEW_12BIT", "VIEW_15BIT", "VIEW_16BIT", "VIEW_24BIT",
                             "VIEW_TRUECOLOR", "VIEW_DIRECTCOLOR", "VIEW_ID", "VIEW_GAMMA"})
      unsetenv(name);
    parentWindow = 0;
    xoffset = yoffset = 0;
  }
  void TearDown() override {
    EXPECT_EQ(cb_ ? ScrClose(&cb_) : 0u, 0u);  // before the connection it works on
    Start(0);
  }
  // A fresh server (none for depth 0); connections to the one before are
  // closed first.
  Display *Start(int depth) {
    for (Display *d : displays_) XCloseDisplay(d);
    displays_.clear();
    server_.reset(depth ? new XvfbServer(depth, 320, 240) : nullptr);
    return server_ && server_->ok() ? Connect() : nullptr;
  }
  Display *Connect() {
    displays_.push_back(XOpenDisplay(server_->display().c_str()));
    return displays_.back();
  }

  std::unique_ptr<XvfbServer> server_;
  std::vector<Display *> displays_;
  SCR_CONTROL_BLOCK *cb_ = nullptr;
};

// Every true-colour layout reads back exactly; the two 24-bit cases share
// one server.
TEST_F(Screen, TrueColourLinesReadBackExactly) {
  const struct {
    const char *name;
    int server_depth;
    const char *variable;  // selection variable set, or null
    int window_depth;
    unsigned long (*expected)(Rgb);
  } cases[] = {{"24 bits", 24, "VIEW_24BIT", 24, [](Rgb c) { return c.r << 16 | c.g << 8 | c.b; }},
               // Without a selection the deepest true-colour visual wins.
               {"deepest of 24", 24, nullptr, 32,
                [](Rgb c) { return 0xFF000000ul | c.r << 16 | c.g << 8 | c.b; }},
               {"16 bits", 16, "VIEW_16BIT", 16,
                [](Rgb c) { return (c.r >> 3) << 11 | (c.g >> 2) << 5 | c.b >> 3; }},
               {"15 bits", 15, "VIEW_15BIT", 15,
                [](Rgb c) { return (c.r >> 3) << 10 | (c.g >> 3) << 5 | c.b >> 3; }},
               // Xvfb's 8-bit true colour has red in the low bits: 3, 3, 2.
               {"8 bits, red low", 8, "VIEW_TRUECOLOR", 8,
                [](Rgb c) { return c.r >> 5 | (c.g >> 5) << 3 | (c.b >> 6) << 6; }}};
  Display *d = nullptr;
  int depth = 0;
  for (const auto &t : cases) {
    SCOPED_TRACE(t.name);
    if (t.server_depth != depth) d = Start(depth = t.server_depth);
    ASSERT_TRUE(d);
    std::unique_ptr<Env> env(t.variable ? new Env(t.variable, "1") : nullptr);
    const int w = 37, h = 12;
    ASSERT_EQ(ScrOpen(&cb_, d, 0, w, h, 0, 0, "true colour"), 0u);
    EXPECT_EQ(cb_->color_count, 0);
    ShowImage(cb_, w, h);
    Window win = scr_external_window_id;
    XWindowAttributes wa;
    ASSERT_TRUE(XGetWindowAttributes(d, win, &wa));
    EXPECT_EQ(wa.depth, t.window_depth);
    EXPECT_EQ(Differences(d, win, w, h, [&](int x, int y) { return t.expected(TestColour(x, y)); }),
              "");

    // A top-level window asks the window manager for a delete message.
    Atom *protocols = nullptr;
    int n = 0;
    ASSERT_TRUE(XGetWMProtocols(d, win, &protocols, &n));
    EXPECT_TRUE(n == 1 && protocols[0] == XInternAtom(d, "WM_DELETE_WINDOW", False));
    XFree(protocols);
    ASSERT_EQ(ScrClose(&cb_), 0u);
  }
}

// The colour of a cell of the window's colour map.
XColor CellColour(Display *d, Window w, unsigned long pixel) {
  XWindowAttributes wa;
  XColor colour{};
  colour.pixel = pixel;
  if (XGetWindowAttributes(d, w, &wa)) XQueryColors(d, wa.colormap, &colour, 1);
  return colour;
}

TEST_F(Screen, PseudoColourKeepsOtherClientsCellsAndLoadsThePalette) {
  Display *mine = Start(8);
  ASSERT_TRUE(mine);
  Display *other = Connect();
  Colormap shared = DefaultColormap(other, 0);
  unsigned long held[40];
  ASSERT_TRUE(XAllocColorCells(other, shared, False, nullptr, 0, held, 40));
  XColor theirs = {held[7], 0x2A12, 0xC100, 0x7F00, DoRed | DoGreen | DoBlue, 0};
  XStoreColor(other, shared, &theirs);
  XSync(other, False);

  const int w = 16, h = 11;
  ASSERT_EQ(ScrOpen(&cb_, mine, 0, w, h, 0, 0, "pseudo"), 0u);
  ASSERT_TRUE(cb_->display_class == SCR_CLASS_PSEUDOCOLOR && cb_->color_count == 256);
  std::vector<unsigned long> free_cells;
  for (int p = 0; p < 256; ++p)
    if (!cb_->cell_table[p]) free_cells.push_back(p);
  const uint8_t *kept = cb_->default_colors + 3 * held[7];
  EXPECT_TRUE(kept[0] == 0x2A && kept[1] == 0xC1 && kept[2] == 0x7F);
  // The server agrees: exactly the cells marked free can still be had.
  std::vector<unsigned long> got(free_cells.size() + 1);
  EXPECT_FALSE(XAllocColorCells(other, shared, False, nullptr, 0, got.data(), got.size()));
  ASSERT_TRUE(XAllocColorCells(other, shared, False, nullptr, 0, got.data(), free_cells.size()));
  got.pop_back();
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, free_cells);

  // The viewer's palette goes into the free cells; taken cells keep theirs.
  for (unsigned long p : free_cells) {
    uint8_t *rgb = cb_->default_colors + 3 * p;
    rgb[0] = p, rgb[1] = 255 - p, rgb[2] = p / 2;
  }
  ASSERT_EQ(ScrInstallColorMap(cb_), 0u);
  auto index = [&](int x, int y) { return free_cells[(x + y * w) % free_cells.size()]; };
  std::vector<uint8_t> line(w);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) line[x] = static_cast<uint8_t>(index(x, y));
    ASSERT_EQ(ScrPutLine(cb_, y, line.data()), 0u);
  }
  Window win = scr_external_window_id;
  EXPECT_EQ(Differences(mine, win, w, h, index), "");
  for (unsigned long p : free_cells) {
    XColor c = CellColour(mine, win, p);
    ASSERT_TRUE(c.red == p * 257 && c.green == (255 - p) * 257 && c.blue == p / 2 * 257) << p;
  }
  EXPECT_EQ(CellColour(mine, win, held[7]).green, 0xC1 * 257);
  XWindowAttributes wa;
  XGetWindowAttributes(mine, win, &wa);
  int n = 0;
  Colormap *installed = XListInstalledColormaps(mine, DefaultRootWindow(mine), &n);
  EXPECT_NE(std::find(installed, installed + n, wa.colormap), installed + n);
  XFree(installed);
  ASSERT_EQ(ScrClose(&cb_), 0u);

  // VIEW_GAMMA corrects the loaded colours; 0 is taken as unset.
  const std::pair<const char *, int> gammas[] = {{"2.0", 127}, {"0", 64}, {"1", 64}};
  for (auto [gamma, level] : gammas) {
    Env env("VIEW_GAMMA", gamma);
    ASSERT_EQ(ScrOpen(&cb_, mine, 0, 4, 1, 0, 0, "gamma"), 0u);
    memcpy(cb_->default_colors + 3 * 100, "\x40\xFF\x00", 3);
    ASSERT_EQ(ScrInstallColorMap(cb_), 0u);
    XColor c = CellColour(mine, scr_external_window_id, 100);
    EXPECT_TRUE(c.red == level * 257 && c.green == 255 * 257 && c.blue == 0) << gamma;
    ASSERT_EQ(ScrClose(&cb_), 0u);
  }
}

TEST_F(Screen, EmbeddedWindowDrawsOnlyInsideItsRectangleOfAnExistingParent) {
  Display *mine = Start(24);
  ASSERT_TRUE(mine);
  Display *host = Connect();
  const unsigned long kBackground = 0x123456;
  Window parent =
      XCreateSimpleWindow(host, DefaultRootWindow(host), 10, 10, 120, 90, 0, 0, kBackground);
  XMapWindow(host, parent);
  XSync(host, False);

  Env same_depth("VIEW_24BIT", "1");
  parentWindow = parent;
  xoffset = 30;
  yoffset = 20;
  const int w = 50, h = 40;
  ASSERT_EQ(ScrOpen(&cb_, mine, parent, w, h, 30, 20, "embedded"), 0u);
  ShowImage(cb_, w, h);

  Atom *protocols = nullptr;
  int count = 0;  // no delete message asked for
  EXPECT_FALSE(XGetWMProtocols(mine, scr_external_window_id, &protocols, &count));

  auto want = [&](int x, int y) {
    if (x < 30 || x >= 30 + w || y < 20 || y >= 20 + h) return kBackground;
    Rgb c = TestColour(x - 30, y - 20);
    return c.r << 16 | c.g << 8 | c.b;
  };
  EXPECT_EQ(Differences(host, parent, 120, 90, want, 0xFFFFFF), "");
  ASSERT_EQ(ScrClose(&cb_), 0u);

  // A parent that does not exist is a coded error, not the end.
  parentWindow = 0x3FFFFF0;
  testing::internal::CaptureStderr();
  const ReturnTp rc = ScrOpen(&cb_, mine, parentWindow, 10, 10, 0, 0, "orphan");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(rc & CMN_REPORTED);
  EXPECT_EQ(cb_, nullptr);
  EXPECT_NE(err.find("Error: X error: BadWindow"), std::string::npos) << err;
}

std::vector<ScrResAttributeTp> ListVisuals(Display *d) {
  SCR_DRIVER_FUNCTIONS functions;
  EXPECT_EQ(ScrDrvXFunctions(&functions), 0u);
  auto attributes = std::make_unique<ScrAttributesTp>();
  EXPECT_EQ(ScrGetAttributes(&functions, d, attributes.get()), 0u);
  return {attributes->resolutions, attributes->resolutions + attributes->n_resolutions};
}

TEST_F(Screen, VisualSelection) {
  Display *d = Start(24);
  ASSERT_TRUE(d);
  const VisualID default_id = XVisualIDFromVisual(DefaultVisual(d, 0));

  // One true-colour attribute per depth; of 24 the default visual, which
  // has the smallest identifier.
  std::vector<ScrResAttributeTp> all = ListVisuals(d);
  for (int depth : {24, 32})
    EXPECT_EQ(std::count_if(all.begin(), all.end(),
                            [&](const ScrResAttributeTp &a) {
                              return a.display_class == TrueColor && a.depth == depth &&
                                     a.cmap_entries == 0 &&
                                     (depth != 24 || VisualID(a.driver_defined) == default_id);
                            }),
              1)
        << "depth " << depth;

  char id[32];
  for (const char *format : {"%lx", "0x%lX"}) {
    snprintf(id, sizeof id, format, default_id);
    Env one("VIEW_ID", id);
    std::vector<ScrResAttributeTp> kept = ListVisuals(d);
    ASSERT_EQ(kept.size(), 1u) << id;
    EXPECT_EQ(static_cast<VisualID>(kept[0].driver_defined), default_id);
  }
  {
    Env zero("VIEW_ID", "0");
    Env direct("VIEW_DIRECTCOLOR", "");  // being set counts, not the value
    std::vector<ScrResAttributeTp> kept = ListVisuals(d);
    ASSERT_FALSE(kept.empty());
    for (const auto &a : kept) EXPECT_EQ(a.display_class, DirectColor);
  }
  {
    Env only_8bit("VIEW_8BIT", "1");
    testing::internal::CaptureStderr();
    EXPECT_EQ(ScrOpen(&cb_, d, 0, 10, 10, 0, 0, "none"), SCR_E_UNSUPPORTED);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "pvview : unsupported image/screen combination\n");
    EXPECT_EQ(cb_, nullptr);
  }

  // An overlay visual is never offered; the next one of its depth is.
  Atom overlay = XInternAtom(d, "SERVER_OVERLAY_VISUALS", False);
  long record[4] = {static_cast<long>(default_id), 1, 0, 0};
  XChangeProperty(d, DefaultRootWindow(d), overlay, overlay, 32, PropModeReplace,
                  reinterpret_cast<unsigned char *>(record), 4);
  std::vector<ScrResAttributeTp> kept = ListVisuals(d);
  for (const auto &a : kept) EXPECT_NE(static_cast<VisualID>(a.driver_defined), default_id);
  EXPECT_EQ(kept.size(), all.size());

  // Nor is a visual of 30 bits.
  ASSERT_TRUE(d = Start(30));
  for (const auto &a : ListVisuals(d)) EXPECT_NE(a.depth, 30);
}

std::vector<ScrRectTp> flushes;
ReturnTp RecordFlush(void *context, int32_t x, int32_t y, int32_t w, int32_t h) {
  flushes.push_back({x, y, w, h});
  return ScrDrvXFlush(context, x, y, w, h);
}

TEST_F(Screen, LinesAreFlushedInBandsOfFiveAndEscapeStops) {
  Display *mine = Start(24);
  ASSERT_TRUE(mine);
  const std::pair<int, std::vector<ScrRectTp>> cases[] = {
      {5, {{0, 0, 8, 5}}},
      {12, {{0, 0, 8, 5}, {0, 5, 8, 5}, {0, 10, 8, 2}}},
      {6, {{0, 0, 8, 5}, {0, 5, 8, 1}}}};
  for (const auto &[height, bands] : cases) {
    ASSERT_EQ(ScrOpen(&cb_, mine, 0, 8, height, 0, 0, "bands"), 0u);
    cb_->functions.flush = RecordFlush;
    flushes.clear();
    ShowImage(cb_, 8, height);
    EXPECT_EQ(flushes, bands) << "height " << height;
    ASSERT_EQ(ScrClose(&cb_), 0u);
  }

  Display *other = Connect();
  ASSERT_EQ(ScrOpen(&cb_, mine, 0, 8, 8, 0, 0, "keys"), 0u);
  auto press = [&](KeySym key) {
    XEvent e{};
    e.xkey.type = KeyPress;
    e.xkey.window = scr_external_window_id;
    e.xkey.root = DefaultRootWindow(other);
    e.xkey.keycode = XKeysymToKeycode(other, key);
    e.xkey.same_screen = True;
    XSendEvent(other, scr_external_window_id, False, KeyPressMask, &e);
    XSync(other, False);
    XSync(mine, False);  // the event is ours before this returns
  };
  std::vector<uint8_t> line(4 * 8, 0);
  press(XK_a);
  EXPECT_EQ(ScrPutLine(cb_, 0, line.data()), 0u);
  press(XK_Escape);
  EXPECT_EQ(ScrPutLine(cb_, 1, line.data()), 1u);
}

// The server, the window or its parent goes away while lines are put;
// only the lost connection has a message of its own. A window destroyed
// by another client ends the program however the news comes: as the
// DestroyNotify that the next line finds waiting, or as the error of a
// request on the dead window (a flush, which looks at no events).
TEST_F(Screen, LosingTheDisplayOrTheWindowEndsWithStatus1) {
  ASSERT_TRUE(Start(24));
  const struct {
    const char *gone;
    bool error_first;
  } kCases[] = {
      {"server", false}, {"window", false}, {"parent", false}, {"window", true}, {"parent", true}};
  for (const auto &c : kCases) {
    const bool server = c.gone[0] == 's', parent = c.gone[0] == 'p';
    EXPECT_EXIT(
        {
          XvfbServer *own = server ? new XvfbServer(24, 200, 100) : nullptr;
          const std::string name = own ? own->display() : server_->display();
          Display *other = XOpenDisplay(name.c_str());
          Display *d = XOpenDisplay(name.c_str());
          Window host = XCreateSimpleWindow(other, DefaultRootWindow(other), 0, 0, 50, 50, 0, 0, 0);
          XMapWindow(other, host);
          XSync(other, False);
          parentWindow = parent ? host : 0;
          SCR_CONTROL_BLOCK *cb = nullptr;
          if (ScrOpen(&cb, d, parentWindow, 20, 10, 0, 0, "target") != 0) {
            delete own;  // a server left running would keep the child's output open
            _exit(3);
          }
          if (own) {
            delete own;
          } else {
            XDestroyWindow(other, parent ? host : scr_external_window_id);
            XSync(other, False);
            XSync(d, False);  // the DestroyNotify is queued, not yet looked at
          }
          std::vector<uint8_t> line(80, 0);
          if (c.error_first) ScrFlush(cb, 0, 0, 20, 10);
          for (int y = 0; y < 10; ++y) ScrPutLine(cb, y, line.data());
          _exit(4);
        },
        testing::ExitedWithCode(1),
        server ? "^Error: Lost the connection to the X display :[0-9]+\n$" : "^$")
        << c.gone << (c.error_first ? ", error first" : "");
  }
}

// A channel wider than 8 bits cannot be filled from 8-bit samples.
TEST(ScreenFormat, WideChannelEndsTheProgram) {
  const std::pair<std::vector<unsigned long>, const char *> cases[] = {
      {{0xFFC0, 0x3E, 0x1}, "Error: Red mask=10 \\(maximum is 8\\) "},
      {{0x7, 0xFF8, 0x7000}, "Error: Green mask=9 \\(maximum is 8\\) "}};
  for (const auto &[masks, message] : cases) {
    ScrDrvXTp x;
    XImage image{};
    image.width = 4, image.height = 1, image.bytes_per_line = 8;
    x.image = &image;
    x.buffer.resize(8);
    x.visual.c_class = TrueColor;
    x.format = {16, LSBFirst, 0, {masks[0], masks[1], masks[2]}};
    uint8_t pixels[16] = {};
    ScrRectTp rect = {0, 0, 4, 1};
    EXPECT_EXIT(ScrDrvXLoadRectangle(&x, &rect, pixels), testing::ExitedWithCode(1), message);
  }
}

TEST(ScreenFormat, PacksEveryLayoutAndByteOrder) {
  // One pixel: fourth byte 0x80, red 0xC8, green 0x64, blue 0x19.
  const std::vector<uint8_t> rgb = {0x80, 0xC8, 0x64, 0x19};
  const struct {
    ScrDrvXFormatTp format;
    std::vector<uint8_t> in, out;
  } cases[] = {
      {{32, MSBFirst, 0, {0xFF0000, 0xFF00, 0xFF}}, rgb, {0x80, 0xC8, 0x64, 0x19}},
      {{32, LSBFirst, 0, {0xFF0000, 0xFF00, 0xFF}}, rgb, {0x19, 0x64, 0xC8, 0xFF}},
      {{32, MSBFirst, 0, {0xFF, 0xFF00, 0xFF0000}}, rgb, {0xFF, 0x19, 0x64, 0xC8}},
      {{32, LSBFirst, 0, {0xFF, 0xFF00, 0xFF0000}}, rgb, {0xC8, 0x64, 0x19, 0xFF}},
      {{24, LSBFirst, 0, {0xFF0000, 0xFF00, 0xFF}}, rgb, {0x19, 0x64, 0xC8}},
      {{24, MSBFirst, 0, {0xFF0000, 0xFF00, 0xFF}}, rgb, {0xC8, 0x64, 0x19}},
      {{32, LSBFirst, 0, {0xFF000000, 0xFF0000, 0xFF00}}, rgb, {0x00, 0x19, 0x64, 0xC8}},
      {{16, LSBFirst, 0, {0xF800, 0x7E0, 0x1F}}, rgb, {0x23, 0xCB}},
      {{16, MSBFirst, 0, {0xF800, 0x7E0, 0x1F}}, rgb, {0xCB, 0x23}},
      {{16, MSBFirst, 0, {0x7C00, 0x3E0, 0x1F}}, rgb, {0x65, 0x83}},
      {{8, LSBFirst, 0, {0x7, 0x38, 0xC0}}, rgb, {0x1E}},
      {{8, LSBFirst, 1, {0, 0, 0}}, {7, 200}, {7, 200}},
      {{16, MSBFirst, 1, {0, 0, 0}}, {7}, {0x00, 0x07}},
      {{1, LSBFirst, 1, {0, 0, 0}}, {1, 0, 0, 0, 0, 0, 0, 5, 0, 9}, {0x81, 0x40}},
  };
  for (const auto &t : cases) {
    int pixels = t.format.indexed ? static_cast<int>(t.in.size()) : 1;
    std::vector<uint8_t> out(ScrDrvXLineBytes(&t.format, pixels), 0xEE);
    ScrDrvXPackLine(&t.format, t.in.data(), out.data(), pixels);
    EXPECT_EQ(out, t.out) << t.format.bits_per_pixel << " bpp, masks " << std::hex
                          << t.format.masks[0] << " order " << t.format.byte_order;
  }
}

std::vector<std::pair<void *, ScrRectTp>> loaded;
int fake_contexts[SCR_MAX_VIEWPORTS + 1];
int next_context = 0;

ReturnTp FakeInit(ScrInitRecordTp *, void **context, ScrDriverInfoTp *) {
  *context = &fake_contexts[next_context++ % (SCR_MAX_VIEWPORTS + 1)];
  return 0;
}
ReturnTp FakeLoad(void *context, const ScrRectTp *rect, uint8_t *) {
  loaded.push_back({context, *rect});
  return 0;
}
ReturnTp FakeTerm(void *, int32_t) { return 0; }
ReturnTp FakeAttributes(void *, ScrAttributesTp *a) {
  memset(a, 0, sizeof *a);
  a->n_resolutions = 3;
  for (int i = 0; i < 3; ++i) {
    ScrResAttributeTp &r = a->resolutions[i];
    r.width = 640, r.height = 480, r.ratio = 640.0f / 480.0f;
    r.cmap_entries = 256, r.bits_per_color = 8, r.depth = 8, r.rgb_supported = 1;
    r.driver_defined = i == 1 ? 99 : 7;  // the first and the last are alike
  }
  return 0;
}

class Layer : public testing::Test {
 protected:
  void SetUp() override {
    memset(&functions_, 0, sizeof functions_);
    memcpy(functions_.tag, SCR_DRIVER_FUNCTIONS_TAG, sizeof functions_.tag);
    functions_.init = FakeInit;
    functions_.load_rectangle = FakeLoad;
    functions_.get_attributes = FakeAttributes;
    functions_.term = FakeTerm;
    FakeAttributes(nullptr, &attributes_);
    loaded.clear();
  }
  void TearDown() override {
    if (cb_) {
      EXPECT_EQ(ScrTerm(&cb_), 0u);
    }
  }
  ReturnTp Init() {
    ScrModeTp mode = {256, 8, 0};
    return ScrInit(&cb_, &functions_, &mode, &record_, &attributes_.resolutions[0], nullptr);
  }
  ReturnTp Viewport(void **handle, ScrViewportModeTp mode, ScrXYTp image, ScrXYTp view) {
    ScrDriverInfoTp info;
    return ScrCreateViewport(cb_, handle, &mode, {0, 0}, image, image, view, &info, "v");
  }
  template <typename F>
  static std::string Stderr(F call) {  // what the call writes on standard error
    testing::internal::CaptureStderr();
    call();
    return testing::internal::GetCapturedStderr();
  }

  SCR_DRIVER_FUNCTIONS functions_;
  ScrAttributesTp attributes_;
  ScrInitRecordTp record_{};
  SCR_CONTROL_BLOCK *cb_ = nullptr;
};

TEST_F(Layer, InitRefusesBadParametersWithTheHighestNumber) {
  const ScrResAttributeTp &good = attributes_.resolutions[0];
  ScrResAttributeTp unknown = good;
  unknown.driver_defined = 12345;
  const struct {
    ScrModeTp mode;
    const char *tag;  // null: the right one
    bool block_set;
    const ScrResAttributeTp *desired;
    int number;
  } cases[] = {{{256, 8, 0}, "SCR_DRIVER_FUNCTIONX", false, &good, 4},
               {{256, 8, 2}, nullptr, true, &good, 2},
               {{256, 0, 0}, nullptr, false, &good, 3},
               {{256, 17, 2}, "SCR", true, &good, 4},
               {{256, 8, 0}, nullptr, false, &unknown, 7},
               {{256, 8, 1}, nullptr, false, &good, 7}};  // last: no black-and-white support
  for (const auto &t : cases) {
    SCR_DRIVER_FUNCTIONS functions = functions_;
    if (t.tag) {
      memset(functions.tag, 0, sizeof functions.tag);
      memcpy(functions.tag, t.tag, strlen(t.tag));
    }
    auto *block = t.block_set ? reinterpret_cast<SCR_CONTROL_BLOCK *>(&record_) : nullptr;
    ReturnTp rc = 0;
    std::string err =
        Stderr([&] { rc = ScrInit(&block, &functions, &t.mode, &record_, t.desired, nullptr); });
    EXPECT_EQ(rc, kInvalid);
    EXPECT_EQ(err.rfind("Parameter Failure Code = " + std::to_string(t.number) +
                            "\nInternal Error: Invalid argument",
                        0),
              0u)
        << err;
  }
  ASSERT_EQ(Init(), 0u);
  EXPECT_EQ(cb_->resolution, 2) << "of several matches the last counts";
}

TEST_F(Layer, ViewportsCheckTheirParameters) {
  ASSERT_EQ(Init(), 0u);
  const struct {
    ScrViewportModeTp mode;
    bool handle_set, bad_block;
    int number;
  } cases[] = {{{0, 2}, false, false, 5},
               {{0, 1}, true, false, 1},
               {{0, 1}, false, true, 3},
               {{2, 1}, false, false, 4}};
  for (const auto &t : cases) {
    void *handle = t.handle_set ? &record_ : nullptr;
    cb_->tag[0] = t.bad_block ? 's' : 'S';
    ReturnTp rc = 0;
    std::string err = Stderr([&] { rc = Viewport(&handle, t.mode, {10, 10}, {10, 10}); });
    EXPECT_EQ(rc, kInvalid);
    EXPECT_NE(err.find(")\nParameter Failure = " + std::to_string(t.number) + "\n"),
              std::string::npos)
        << err;
  }
  cb_->tag[0] = 'S';
  void *handle = nullptr;
  ReturnTp rc = 0;
  Stderr([&] { rc = Viewport(&handle, {0, 1}, {10, 10}, {20, 20}); });
  EXPECT_EQ(rc, kNotSupported) << "zooming is needed";
}

TEST_F(Layer, RectanglesAreClippedPerViewport) {
  ASSERT_EQ(Init(), 0u);
  void *whole = nullptr, *corner = nullptr;
  ASSERT_EQ(Viewport(&whole, {0, 1}, {10, 10}, {10, 10}), 0u);
  ASSERT_EQ(Viewport(&corner, {0, 1}, {5, 5}, {5, 5}), 0u);
  uint8_t pixels[64] = {};

  ASSERT_EQ(ScrLoadRectangle(cb_, {0, 7}, {10, 1}, pixels), 0u);  // disjoint from the corner
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(loaded[0].first, whole);
  ASSERT_EQ(ScrLoadRectangle(cb_, {1, 1}, {4, 4}, pixels), 0u);  // inside both
  ASSERT_EQ(loaded.size(), 3u);
  EXPECT_TRUE(loaded[2].first == corner && loaded[2].second == (ScrRectTp{1, 1, 4, 4}));

  Stderr([&] {
    EXPECT_EQ(ScrLoadRectangle(cb_, {0, 2}, {10, 1}, pixels), kNotSupported);  // partly shown
    EXPECT_EQ(ScrLoadRectangle(cb_, {0, 9}, {10, 2}, pixels), kInvalid);       // off the image
    EXPECT_EQ(ScrLoadRectangle(cb_, {0, 0}, {0, 1}, pixels), kInvalid);        // empty
    cb_->functions.load_rectangle = nullptr;
    EXPECT_EQ(ScrLoadRectangle(cb_, {0, 0}, {1, 1}, pixels), kNotSupported);
    EXPECT_EQ(ScrLoadColorMap(cb_, 1, pixels), kNotSupported);
  });

  ScrXYTp start, size;
  int result = -1;
  std::string err = Stderr([&] {
    EXPECT_EQ(ScrClipRectangle({0, 0}, {9, 9}, {5, 5}, {4, 7}, &start, &size, &result), kInvalid);
  });
  EXPECT_EQ(err.rfind("rectangle_a_start = 0 0\nrectangle_a_end   = 9 9\n"
                      "rectangle_b_start = 5 5\nrectangle_b_end   = 4 7\n"
                      "Internal Error: Invalid argument (scrutil",
                      0),
            0u);
}

}  // namespace
