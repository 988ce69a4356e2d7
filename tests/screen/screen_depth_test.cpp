// Every kind of X screen Xvfb offers, grabbed through the screen layer: pixel
// values painted straight onto the root window must come out of the grab in
// the colours the server itself gives for them (XQueryColors on the default
// colormap), and where the colormap can be written, a changed cell must
// show in the next grab without anything being repainted.
//
// One program for all kinds: SLOTREC_TEST_SCREEN="<depth>/<class>" picks
// the server (class as X numbers them, StaticGray 0 .. DirectColor 5, or -1
// for the server's default); without it, 8-bit PseudoColor.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/screen/screen_test_support.h"

namespace {

using screentest::Capture;
using screentest::ScreenModel;

constexpr int kWidth = 200;  // 25 × 25 cells of 8 × 6 pixels
constexpr int kHeight = 150;
constexpr int kCellWidth = 8;
constexpr int kCellHeight = 6;
constexpr int kColumns = kWidth / kCellWidth;
constexpr int kCells = kColumns * (kHeight / kCellHeight);

struct ScreenKind {
  int depth = 8;
  int visual_class = PseudoColor;
};

const ScreenKind kKind = [] {
  ScreenKind kind;
  if (const char* text = std::getenv("SLOTREC_TEST_SCREEN")) {
    std::sscanf(text, "%d/%d", &kind.depth, &kind.visual_class);
  }
  return kind;
}();

const bool registered = [] {
  testsupport::XvfbOptions options;
  options.width = kWidth;
  options.height = kHeight;
  options.depth = kKind.depth;
  if (kKind.visual_class >= 0) options.extra_args = {"-cc", std::to_string(kKind.visual_class)};
  screentest::install_xvfb(options);
  return true;
}();

// The test's own connection: paints pixel values as they are and asks the
// server what colour a pixel value is.
class RawClient {
 public:
  RawClient() : dpy_(XOpenDisplay(screentest::xvfb()->display().c_str())) {
    if (dpy_ == nullptr) return;
    screen_ = DefaultScreen(dpy_);
    gc_ = XCreateGC(dpy_, RootWindow(dpy_, screen_), 0, nullptr);
  }
  ~RawClient() {
    if (dpy_ == nullptr) return;
    XFreeGC(dpy_, gc_);
    XCloseDisplay(dpy_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool ok() const { return dpy_ != nullptr; }
  Display* display() const { return dpy_; }
  Colormap colormap() const { return DefaultColormap(dpy_, screen_); }
  Visual* visual() const { return DefaultVisual(dpy_, screen_); }
  int depth() const { return DefaultDepth(dpy_, screen_); }
  unsigned long black_pixel() const { return BlackPixel(dpy_, screen_); }

  void fill(int x, int y, int w, int h, unsigned long pixel) {
    XSetForeground(dpy_, gc_, pixel);
    XFillRectangle(dpy_, RootWindow(dpy_, screen_), gc_, x, y, static_cast<unsigned>(w),
                   static_cast<unsigned>(h));
  }

  // 0xRRGGBB of each pixel value, in the server's words (each 16-bit
  // channel to the nearest 8-bit value).
  std::vector<std::uint32_t> colours_of(const std::vector<unsigned long>& pixels) {
    std::vector<XColor> query(pixels.size());
    for (std::size_t i = 0; i < pixels.size(); ++i) query[i].pixel = pixels[i];
    XQueryColors(dpy_, colormap(), query.data(), static_cast<int>(query.size()));
    std::vector<std::uint32_t> rgb;
    auto to_8 = [](unsigned short v) { return (std::uint32_t{v} * 255u + 32767u) / 65535u; };
    for (const XColor& c : query) {
      rgb.push_back((to_8(c.red) << 16) | (to_8(c.green) << 8) | to_8(c.blue));
    }
    return rgb;
  }

  void sync() { XSync(dpy_, False); }

 private:
  Display* dpy_ = nullptr;
  int screen_ = 0;
  GC gc_{};
};

class ScreenDepth : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(screentest::xvfb(), nullptr);
    client_ = std::make_unique<RawClient>();
    ASSERT_TRUE(client_->ok());
    ASSERT_EQ(client_->depth(), kKind.depth);
    if (kKind.visual_class >= 0) {
      ASSERT_EQ(client_->visual()->c_class, kKind.visual_class);
    }
  }

  // Pixel values that exercise the visual: all of them up to 8 bits; for
  // decomposed visuals every field at its extremes and at random.
  std::vector<unsigned long> pixel_values() const {
    std::vector<unsigned long> values;
    const unsigned long all = kKind.depth >= 32 ? 0xffffffffUL : (1UL << kKind.depth) - 1;
    if (kKind.depth <= 8) {
      for (unsigned long v = 0; v <= all; ++v) values.push_back(v);
      return values;
    }
    const Visual* v = client_->visual();
    for (unsigned long mask : {0UL, v->red_mask, v->green_mask, v->blue_mask,
                               v->red_mask | v->green_mask, v->green_mask | v->blue_mask,
                               v->red_mask | v->blue_mask, all}) {
      values.push_back(mask);
    }
    std::mt19937 random(kKind.depth * 10 + kKind.visual_class);
    while (static_cast<int>(values.size()) < kCells) values.push_back(random() & all);
    return values;
  }

  // Paints one cell per value over a black screen and returns what the
  // screen should show.
  ScreenModel paint_cells(const std::vector<unsigned long>& values) {
    ScreenModel model(kWidth, kHeight);
    const unsigned long black = client_->black_pixel();
    client_->fill(0, 0, kWidth, kHeight, black);
    model.fill(0, 0, kWidth, kHeight, client_->colours_of({black})[0]);
    const std::vector<std::uint32_t> colours = client_->colours_of(values);
    for (std::size_t i = 0; i < values.size(); ++i) {
      const int x = static_cast<int>(i) % kColumns * kCellWidth;
      const int y = static_cast<int>(i) / kColumns * kCellHeight;
      client_->fill(x, y, kCellWidth, kCellHeight, values[i]);
      model.fill(x, y, kCellWidth, kCellHeight, colours[i]);
    }
    client_->sync();
    return model;
  }

  std::unique_ptr<RawClient> client_;
};

TEST_F(ScreenDepth, EveryPixelValueComesOutInTheServersColour) {
  std::vector<unsigned long> values = pixel_values();
  values.resize(std::min<std::size_t>(values.size(), kCells));
  const ScreenModel model = paint_cells(values);
  Capture capture;
  ASSERT_TRUE(screentest::open_capture(&capture, false, false));
  screentest::grab(&capture);
  EXPECT_TRUE(capture.holds_frame);
  EXPECT_EQ(screentest::compare_frame(capture, model, 0, 0), "");
  // A part of the screen, through the other way of reading it.
  screentest::grab(&capture, kWidth - 3, kHeight - 5);
  EXPECT_EQ(screentest::compare_frame(capture, model, 0, 0), "");
  screentest::close_capture(&capture);
}

TEST_F(ScreenDepth, AChangedColormapCellShowsInTheNextGrab) {
  const int visual_class = client_->visual()->c_class;
  if (visual_class != GrayScale && visual_class != PseudoColor && visual_class != DirectColor) {
    GTEST_SKIP() << "the colormap of this visual cannot change";
  }
  // Writable cells of our own (as many as the colormap has left, up to 6:
  // an 8-bit DirectColor one has only 4 blue cells), painted once.
  unsigned long pixels[6] = {};
  int own = 6;
  while (own > 0 && XAllocColorCells(client_->display(), client_->colormap(), False, nullptr, 0,
                                     pixels, static_cast<unsigned>(own)) == 0) {
    --own;
  }
  ASSERT_GT(own, 0);
  auto store = [&](int round) {
    XColor colours[6] = {};
    for (int i = 0; i < own; ++i) {
      colours[i].pixel = pixels[i];
      colours[i].red = static_cast<unsigned short>((0x1357 * (i + 1) + 0x4000 * round) & 0xffff);
      colours[i].green = static_cast<unsigned short>((0xf0f0 - 0x2222 * i + 0x700 * round) & 0xffff);
      colours[i].blue = static_cast<unsigned short>((0x8421 * (i + round) + 0x0123) & 0xffff);
      colours[i].flags = DoRed | DoGreen | DoBlue;
    }
    XStoreColors(client_->display(), client_->colormap(), colours, own);
    client_->sync();
  };
  store(0);
  const std::vector<unsigned long> values(pixels, pixels + own);
  const ScreenModel first = paint_cells(values);

  Capture capture;
  ASSERT_TRUE(screentest::open_capture(&capture, false, false));
  screentest::grab(&capture);
  EXPECT_EQ(screentest::compare_frame(capture, first, 0, 0), "");

  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE("colormap change " + std::to_string(round));
    store(round);
    ScreenModel changed = first;
    const std::vector<std::uint32_t> colours = client_->colours_of(values);
    for (int i = 0; i < own; ++i) {
      changed.fill(i % kColumns * kCellWidth, i / kColumns * kCellHeight, kCellWidth,
                   kCellHeight, colours[static_cast<std::size_t>(i)]);
    }
    ASSERT_NE(changed.rgb, first.rgb);
    screentest::grab(&capture);
    EXPECT_EQ(screentest::compare_frame(capture, changed, 0, 0), "");
  }
  screentest::close_capture(&capture);
  XFreeColors(client_->display(), client_->colormap(), pixels, own, 0);
}

}  // namespace
