// The real program on X screens of every depth and visual class: a short
// recording of a known screen must show, rectangle by rectangle, the colours
// an independent grab of the same screen shows (xwd -root, decoded here
// through the colormap it carries), and the run must be whole.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/run_judge.h"
#include "tests/support/x11_painter.h"
#include "tests/support/xvfb.h"

namespace {

constexpr int kWidth = 320;  // even: the compressor takes the whole screen
constexpr int kHeight = 240;

struct Rectangle {
  int x, y, width, height;
  std::uint32_t rgb;
};
// Saturated, mixed and grey colours over a coloured background; the pointer
// rests in the bottom-right corner, away from all of them.
const Rectangle kBackground{0, 0, kWidth, kHeight, 0x336699};
const Rectangle kRectangles[] = {
    {16, 16, 64, 48, 0xff0000},   {96, 16, 64, 48, 0x00ff00},  {176, 16, 64, 48, 0x0000ff},
    {16, 96, 64, 48, 0xffff00},   {96, 96, 64, 48, 0x808080},  {176, 96, 64, 48, 0xffffff},
    {16, 176, 64, 48, 0xc04020},  {96, 176, 64, 48, 0x000000},
};

using Rgb = std::array<double, 3>;  // red, green, blue

// A picture as 8-bit RGB triplets, row by row from the top.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;

  // Mean colour of a rectangle's inside, `inset` pixels in from its edges
  // (chroma is shared between neighbouring pixels in the recording).
  Rgb mean(const Rectangle& r, int inset) const {
    Rgb sum{0, 0, 0};
    int count = 0;
    for (int y = r.y + inset; y < r.y + r.height - inset; ++y) {
      for (int x = r.x + inset; x < r.x + r.width - inset; ++x) {
        const std::uint8_t* p = rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
        for (int c = 0; c < 3; ++c) sum[c] += p[c];
        ++count;
      }
    }
    for (double& c : sum) c /= count;
    return sum;
  }
};

std::uint32_t big_endian32(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<std::uint8_t>(bytes[at + i]);
  return v;
}

std::uint16_t big_endian16(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint16_t>((static_cast<std::uint8_t>(bytes[at]) << 8) |
                                    static_cast<std::uint8_t>(bytes[at + 1]));
}

int lowest_bit(std::uint32_t mask) {
  int shift = 0;
  while (mask != 0 && (mask & 1u) == 0) {
    mask >>= 1;
    ++shift;
  }
  return shift;
}

// Decodes an XWD dump of a ZPixmap (what `xwd -root` writes): every pixel
// through the colormap in the file, its cells found by pixel value for
// indexed visuals and by field value for TrueColor and DirectColor ones.
// Returns an empty picture, with the reason in *error, for anything else.
Picture DecodeXwd(const std::string& file, std::string* error) {
  Picture picture;
  if (file.size() < 100) {
    *error = "no XWD header";
    return picture;
  }
  auto field = [&](int index) { return big_endian32(file, static_cast<std::size_t>(index) * 4); };
  const std::uint32_t header_size = field(0), version = field(1), format = field(2);
  const int width = static_cast<int>(field(4)), height = static_cast<int>(field(5));
  const bool msb_first = field(7) != 0;
  const int bits_per_pixel = static_cast<int>(field(11));
  const std::size_t bytes_per_line = field(12);
  const std::uint32_t visual_class = field(13);
  const std::uint32_t masks[3] = {field(14), field(15), field(16)};
  const std::uint32_t ncolors = field(19);
  if (version != 7 || format != 2 || bits_per_pixel % 8 != 0 || bits_per_pixel > 32) {
    *error = "not a ZPixmap XWD file of whole-byte pixels";
    return picture;
  }
  struct Cell {
    std::uint32_t pixel;
    std::uint16_t rgb[3];
  };
  std::vector<Cell> cells;
  std::size_t at = header_size;
  for (std::uint32_t i = 0; i < ncolors && at + 12 <= file.size(); ++i, at += 12) {
    cells.push_back({big_endian32(file, at),
                     {big_endian16(file, at + 4), big_endian16(file, at + 6),
                      big_endian16(file, at + 8)}});
  }
  if (file.size() < at + bytes_per_line * static_cast<std::size_t>(height)) {
    *error = "XWD pixels cut short";
    return picture;
  }
  auto to_8 = [](std::uint16_t v) {
    return static_cast<std::uint8_t>((std::uint32_t{v} * 255u + 32767u) / 65535u);
  };
  // Each channel's colour by field value (decomposed) or by pixel value.
  const bool decomposed = visual_class == 4 || visual_class == 5;
  std::map<std::uint32_t, std::uint8_t> channel[3];
  for (const Cell& cell : cells) {
    for (int c = 0; c < 3; ++c) {
      const std::uint32_t key =
          decomposed ? (cell.pixel & masks[c]) >> lowest_bit(masks[c]) : cell.pixel;
      channel[c].emplace(key, to_8(cell.rgb[c]));
    }
  }
  std::vector<std::uint8_t> table[3];
  for (int c = 0; c < 3; ++c) {
    const std::uint32_t top = decomposed ? masks[c] >> lowest_bit(masks[c]) : 0xffffu;
    if (top > 0xffffu) {
      *error = "a channel wider than 16 bits";
      return picture;
    }
    table[c].assign(top + 1, 0);
    for (const auto& [key, value] : channel[c]) {
      if (key <= top) table[c][key] = value;
    }
  }
  const int bytes = bits_per_pixel / 8;
  picture.width = width;
  picture.height = height;
  picture.rgb.resize(static_cast<std::size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::size_t p = at + y * bytes_per_line + static_cast<std::size_t>(x) * bytes;
      std::uint32_t v = 0;
      for (int i = 0; i < bytes; ++i) {
        const auto byte = static_cast<std::uint8_t>(file[p + (msb_first ? i : bytes - 1 - i)]);
        v = (v << 8) | byte;
      }
      std::uint8_t* out = picture.rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
      for (int c = 0; c < 3; ++c) {
        const std::uint32_t key = decomposed ? (v & masks[c]) >> lowest_bit(masks[c]) : v;
        out[c] = key < table[c].size() ? table[c][key] : 0;
      }
    }
  }
  return picture;
}

struct ScreenKind {
  const char* name;
  int depth;
  int visual_class;  // -cc; -1: the server's default for the depth
};

std::string KindName(const ::testing::TestParamInfo<ScreenKind>& info) { return info.param.name; }

class DepthRecording : public ::testing::TestWithParam<ScreenKind> {
 protected:
  void SetUp() override { scratch_ = MakeTempDirectory("slotrec-depth"); }
  void TearDown() override { RemoveTree(scratch_); }
  std::string scratch_;
};

TEST_P(DepthRecording, RecordsTheColoursAnIndependentGrabSees) {
  const ScreenKind kind = GetParam();
  testsupport::XvfbOptions options;
  options.width = kWidth;
  options.height = kHeight;
  options.depth = kind.depth;
  if (kind.visual_class >= 0) options.extra_args = {"-cc", std::to_string(kind.visual_class)};
  testsupport::XvfbServer server(options);
  ASSERT_TRUE(server.ok()) << server.error();
  // The painter stays connected for the whole test: the colormap cells it
  // allocated stay with it.
  testsupport::X11Painter painter(server.display());
  ASSERT_TRUE(painter.ok());
  painter.fill(kBackground.x, kBackground.y, kBackground.width, kBackground.height,
               kBackground.rgb);
  for (const Rectangle& r : kRectangles) painter.fill(r.x, r.y, r.width, r.height, r.rgb);
  painter.warp_pointer(kWidth - 4, kHeight - 4);
  painter.sync();

  ChildCommand xwd;
  xwd.program = "xwd";
  xwd.argv = {"xwd", "-root", "-silent", "-display", server.display()};
  const ChildResult dumped = RunChild(xwd);
  ASSERT_TRUE(dumped.exited && dumped.exit_status == 0) << dumped.err;
  std::string error;
  const Picture reference = DecodeXwd(dumped.out, &error);
  ASSERT_EQ(reference.width, kWidth) << error;

  ChildCommand record;
  record.program = SLOTREC_BINARY;
  record.argv = {"slotrec", "fps=10", "slotsecs=1"};
  record.working_directory = scratch_;
  record.environment = {"DISPLAY=" + server.display(), "XDG_CONFIG_HOME=" + scratch_ + "/config"};
  record.signal_when_stdout_has = "Trying prepare 000-00.avi";
  record.signal_grace_ms = 2000;
  record.signal_number = SIGINT;
  record.timeout_ms = 120000;
  const ChildResult run = RunChild(record);
  EXPECT_TRUE(run.signal_sent) << run.out;
  ASSERT_TRUE(run.exited) << "signal " << run.term_signal << "\n" << run.err;
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err.find("cannot capture"), std::string::npos) << run.err;

  const std::vector<std::string> runs = testsupport::RunDirectories(scratch_);
  ASSERT_EQ(runs.size(), 1u);
  const testsupport::RunVerdict verdict = testsupport::JudgeRun(runs[0], {"10/1"});
  for (const std::string& problem : verdict.problems) ADD_FAILURE() << problem;
  EXPECT_GT(verdict.frames(), 0);

  ChildCommand decode;
  decode.program = "ffmpeg";
  decode.argv = {"ffmpeg", "-v", "error", "-i", runs[0] + "/000-00.avi", "-frames:v", "1",
                 "-f", "rawvideo", "-pix_fmt", "rgb24", "-"};
  const ChildResult decoded = RunChild(decode);
  ASSERT_TRUE(decoded.exited && decoded.exit_status == 0) << decoded.err;
  Picture frame{kWidth, kHeight, std::vector<std::uint8_t>(decoded.out.begin(), decoded.out.end())};
  ASSERT_EQ(frame.rgb.size(), static_cast<std::size_t>(kWidth) * kHeight * 3);

  constexpr double kTolerance = 8;
  std::vector<Rectangle> all(std::begin(kRectangles), std::end(kRectangles));
  all.push_back({260, 16, 48, 140, kBackground.rgb});  // a stretch of background
  bool any_colour = false;
  for (const Rectangle& r : all) {
    const Rgb want = reference.mean(r, 0);
    const Rgb got = frame.mean(r, 4);
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(got[c], want[c], kTolerance)
          << "rectangle at " << r.x << "," << r.y << " painted " << std::hex << r.rgb
          << ", channel " << c;
      if (want[c] > 64) any_colour = true;
    }
  }
  EXPECT_TRUE(any_colour) << "the independent grab saw a black screen";
}

INSTANTIATE_TEST_SUITE_P(
    EveryDepth, DepthRecording,
    ::testing::Values(ScreenKind{"PseudoColor8", 8, -1}, ScreenKind{"GrayScale8", 8, 1},
                      ScreenKind{"StaticColor8", 8, 2}, ScreenKind{"TrueColor15", 15, -1},
                      ScreenKind{"TrueColor16", 16, -1}, ScreenKind{"TrueColor24", 24, -1},
                      ScreenKind{"DirectColor24", 24, 5}, ScreenKind{"TrueColor30", 30, -1}),
    KindName);

}  // namespace
