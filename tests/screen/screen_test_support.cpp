#include "tests/screen/screen_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "tests/support/process.h"

namespace screentest {
namespace {

std::unique_ptr<testsupport::XvfbServer> g_server;

class XvfbEnvironment : public ::testing::Environment {
 public:
  explicit XvfbEnvironment(testsupport::XvfbOptions options) : options_(std::move(options)) {}
  void SetUp() override {
    config_home_ = MakeTempDirectory("slotrec-screen");
    ASSERT_FALSE(config_home_.empty());
    setenv("XDG_CONFIG_HOME", config_home_.c_str(), 1);
    g_server = std::make_unique<testsupport::XvfbServer>(options_);
    ASSERT_TRUE(g_server->ok()) << g_server->error();
    setenv("DISPLAY", g_server->display().c_str(), 1);
  }
  void TearDown() override {
    g_server.reset();
    RemoveTree(config_home_);
  }

 private:
  testsupport::XvfbOptions options_;
  std::string config_home_;
};

}  // namespace

testsupport::XvfbServer* xvfb() { return g_server.get(); }

void install_xvfb(const testsupport::XvfbOptions& options) {
  ::testing::AddGlobalTestEnvironment(new XvfbEnvironment(options));
}

void ScreenModel::fill(int x, int y, int w, int h, std::uint32_t colour) {
  for (int row = std::max(y, 0); row < std::min(y + h, height); ++row) {
    for (int col = std::max(x, 0); col < std::min(x + w, width); ++col) {
      rgb[static_cast<std::size_t>(row) * width + col] = colour;
    }
  }
}

void ScreenModel::draw_cursor(const testsupport::CursorPicture& picture, int x, int y) {
  for (int row = 0; row < static_cast<int>(picture.rows.size()); ++row) {
    const std::string& line = picture.rows[static_cast<std::size_t>(row)];
    for (int col = 0; col < static_cast<int>(line.size()); ++col) {
      const int px = x + col, py = y + row;
      if (px < 0 || py < 0 || px >= width || py >= height) continue;
      const char c = line[static_cast<std::size_t>(col)];
      if (c == '#') rgb[static_cast<std::size_t>(py) * width + px] = picture.foreground;
      if (c == '.') rgb[static_cast<std::size_t>(py) * width + px] = picture.background;
    }
  }
}

void paint(testsupport::X11Painter& painter, ScreenModel& model, int x, int y, int w, int h,
           std::uint32_t colour) {
  painter.fill(x, y, w, h, colour);
  model.fill(x, y, w, h, colour);
}

std::uint8_t* DibView::data() const { return reinterpret_cast<std::uint8_t*>(grabber_->dib); }

std::size_t DibView::size() const {
  return grabber_->dib != nullptr ? static_cast<std::size_t>(grabber_->dib_bytes) : 0;
}

DibView::operator std::vector<std::uint8_t>() const {
  return std::vector<std::uint8_t>(data(), data() + size());
}

bool operator==(const DibView& dib, const std::vector<std::uint8_t>& bytes) {
  return dib.size() == bytes.size() && std::equal(bytes.begin(), bytes.end(), dib.data());
}

Capture::~Capture() { close_capture(this); }

std::uint32_t Capture::pixel(int x, int y) const {
  const BITMAPINFOHEADER& h = header();
  const std::size_t row = static_cast<std::size_t>(h.biHeight - 1 - y);
  const std::uint8_t* p = dib.data() + 40 + row * static_cast<std::size_t>(DibStride(h.biWidth)) +
                          static_cast<std::size_t>(x) * 3;
  return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

bool open_capture(Capture* capture, bool whole_desktop, bool with_cursor) {
  close_capture(capture);
  return OpenGrabber(&capture->grabber, with_cursor ? 1 : 0, whole_desktop ? 1 : 0) != nullptr;
}

void grab(Capture* capture) {
  GrabFrame(&capture->grabber);
  capture->holds_frame = capture->grabber.dib != nullptr && GetSystemMetrics(SM_CXVIRTUALSCREEN) > 0;
}

void grab(Capture* capture, int width, int height) {
  capture->grabber.width = width;
  capture->grabber.height = height;
  grab(capture);
}

void close_capture(Capture* capture) {
  CloseGrabber(&capture->grabber);
  capture->holds_frame = false;
}

bool run_xrandr(const std::string& display, const std::string& args) {
  const std::string command = "xrandr --display " + display + " " + args + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

std::string compare_frame(const Capture& capture, const ScreenModel& model, int dx, int dy) {
  if (capture.grabber.dib == nullptr) return "no frame: the grabber holds no DIB";
  const BITMAPINFOHEADER& h = capture.header();
  const std::size_t stride = static_cast<std::size_t>(DibStride(h.biWidth));
  for (int y = 0; y < h.biHeight; ++y) {
    for (int x = 0; x < h.biWidth; ++x) {
      const std::uint32_t want = model.at(x + dx, y + dy);
      const std::uint32_t got = capture.pixel(x, y);
      if (want != got) {
        char text[128];
        std::snprintf(text, sizeof text, "pixel (%d, %d): want %06x, got %06x", x, y,
                      static_cast<unsigned>(want), static_cast<unsigned>(got));
        return text;
      }
    }
    const std::uint8_t* row =
        capture.dib.data() + 40 + static_cast<std::size_t>(h.biHeight - 1 - y) * stride;
    for (std::size_t pad = static_cast<std::size_t>(h.biWidth) * 3; pad < stride; ++pad) {
      if (row[pad] != 0) return "row " + std::to_string(y) + ": padding not zero";
    }
  }
  return "";
}

}  // namespace screentest
