// The pixel routines against their plain references and hand-made pixels:
// every BGRX → BGR version over many sizes (widths 1, 3 and 4 among them),
// bottom-up and top-down, without a byte written outside the rows; the X
// server's other layouts and visual classes, and which visuals are refused;
// the cursor blend.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "platform/linux/screen/pixel_convert.h"
#include "platform/linux/screen/x11_screen.h"

namespace {

using pixel::Bgr24Impl;

TEST(DibStride, RowsArePaddedToFourBytes) {
  EXPECT_EQ(pixel::dib_stride(1, 24), 4);
  EXPECT_EQ(pixel::dib_stride(3, 24), 12);
  EXPECT_EQ(pixel::dib_stride(4, 24), 12);
  EXPECT_EQ(pixel::dib_stride(1365, 24), 4096);
  EXPECT_EQ(pixel::dib_stride(1366, 24), 4100);
  EXPECT_EQ(pixel::dib_stride(1920, 24), 5760);
  EXPECT_EQ(pixel::dib_stride(3, 32), 12);
}

// A block with guard bytes on both sides, to catch writes outside it.
struct Guarded {
  static constexpr std::size_t kGuard = 64;
  std::vector<std::uint8_t> bytes;
  explicit Guarded(std::size_t size) : bytes(size + 2 * kGuard, 0xa5) {}
  std::uint8_t* data() { return bytes.data() + kGuard; }
  bool guards_intact() const {
    for (std::size_t i = 0; i < kGuard; ++i) {
      if (bytes[i] != 0xa5 || bytes[bytes.size() - 1 - i] != 0xa5) return false;
    }
    return true;
  }
};

TEST(Bgr24, EveryVersionMatchesTheReferenceOverManySizes) {
  std::mt19937 random(12345);
  std::vector<int> widths;
  for (int w = 1; w <= 70; ++w) widths.push_back(w);
  for (int w : {127, 128, 129, 1365, 1366, 1920}) widths.push_back(w);

  for (Bgr24Impl impl : {Bgr24Impl::kScalar, Bgr24Impl::kSsse3, Bgr24Impl::kAuto}) {
    if (!pixel::bgr24_impl_available(impl)) continue;
    for (int width : widths) {
      for (int rows : {1, 2, 5}) {
        for (bool bottom_up : {true, false}) {
          // Source rows with slack after each, as a bigger bitmap would have.
          const std::ptrdiff_t src_stride = width * 4 + 8;
          std::vector<std::uint8_t> src(static_cast<std::size_t>(src_stride) * rows);
          for (auto& b : src) b = static_cast<std::uint8_t>(random());
          const std::ptrdiff_t stride = pixel::dib_stride(width, 24);
          const std::size_t size = static_cast<std::size_t>(stride) * rows;

          Guarded want(size), got(size);
          auto run = [&](Guarded& out, Bgr24Impl which) {
            std::uint8_t* first = bottom_up ? out.data() + (rows - 1) * stride : out.data();
            pixel::bgrx_to_bgr24(src.data(), src_stride, first, bottom_up ? -stride : stride,
                                 width, rows, which);
          };
          run(want, Bgr24Impl::kReference);
          run(got, impl);
          ASSERT_TRUE(got.guards_intact()) << "width " << width << " rows " << rows;
          ASSERT_EQ(want.bytes, got.bytes)
              << "impl " << static_cast<int>(impl) << " width " << width << " rows " << rows
              << (bottom_up ? " bottom-up" : " top-down");
        }
      }
    }
  }
}

TEST(Bgr24, ReferencePlacesPixelsBottomUpWithZeroPadding) {
  // Two rows of three pixels: top row 1, 2, 3 and bottom row 4, 5, 6, each
  // pixel's bytes (B, G, R, X) = (10n, 10n+1, 10n+2, 99).
  std::vector<std::uint8_t> src;
  for (int n = 1; n <= 6; ++n) {
    src.push_back(static_cast<std::uint8_t>(10 * n));
    src.push_back(static_cast<std::uint8_t>(10 * n + 1));
    src.push_back(static_cast<std::uint8_t>(10 * n + 2));
    src.push_back(99);
  }
  std::vector<std::uint8_t> dib(24, 0xee);
  pixel::bgrx_to_bgr24(src.data(), 12, dib.data() + 12, -12, 3, 2, Bgr24Impl::kReference);
  const std::vector<std::uint8_t> want = {40, 41, 42, 50, 51, 52, 60, 61, 62, 0, 0, 0,
                                          10, 11, 12, 20, 21, 22, 30, 31, 32, 0, 0, 0};
  EXPECT_EQ(dib, want);
}

TEST(Bgr32, CopiesColourAndClearsTheFourthByte) {
  const std::vector<std::uint8_t> src = {1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<std::uint8_t> out(8, 0xee);
  pixel::bgrx_to_bgr32(src.data(), 8, out.data(), 8, 2, 1);
  EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 2, 3, 0, 5, 6, 7, 0}));
}

// Packs a colour whose channels are 0 or 255 into `layout` the way an X
// server stores it: a full channel is its whole mask.
std::vector<std::uint8_t> pack(std::uint32_t rgb, const pixel::PackedLayout& layout) {
  const std::uint32_t v = ((rgb & 0xff0000u) ? layout.red_mask : 0u) |
                          ((rgb & 0x00ff00u) ? layout.green_mask : 0u) |
                          ((rgb & 0x0000ffu) ? layout.blue_mask : 0u);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(layout.bytes_per_pixel));
  for (int i = 0; i < layout.bytes_per_pixel; ++i) {
    const int at = layout.msb_first ? layout.bytes_per_pixel - 1 - i : i;
    bytes[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  return bytes;
}

TEST(PackedLayouts, ServerPixelsBecomeBgrx) {
  struct Case {
    const char* name;
    pixel::PackedLayout layout;
  };
  const Case cases[] = {
      {"32-bit LSB first", {4, false, 0xff0000, 0x00ff00, 0x0000ff}},
      {"32-bit MSB first", {4, true, 0xff0000, 0x00ff00, 0x0000ff}},
      {"32-bit red low", {4, false, 0x0000ff, 0x00ff00, 0xff0000}},
      {"24-bit packed LSB first", {3, false, 0xff0000, 0x00ff00, 0x0000ff}},
      {"24-bit packed MSB first", {3, true, 0xff0000, 0x00ff00, 0x0000ff}},
      {"16-bit 565", {2, false, 0xf800, 0x07e0, 0x001f}},
      {"15-bit 555 MSB first", {2, true, 0x7c00, 0x03e0, 0x001f}},
      {"30-bit 10-10-10", {4, false, 0x3ff00000, 0x000ffc00, 0x000003ff}},
  };
  const std::uint32_t colours[] = {0x000000, 0xffffff, 0xff0000, 0x00ff00,
                                   0x0000ff, 0xffff00, 0x00ffff, 0xff00ff};
  const int width = static_cast<int>(std::size(colours));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> src;
    for (std::uint32_t rgb : colours) {
      auto bytes = pack(rgb, c.layout);
      src.insert(src.end(), bytes.begin(), bytes.end());
    }
    std::vector<std::uint8_t> out(static_cast<std::size_t>(width) * 4, 0xee);
    ASSERT_TRUE(pixel::packed_to_bgrx(src.data(), static_cast<std::ptrdiff_t>(src.size()),
                                      c.layout, out.data(), width * 4, width, 1));
    for (int i = 0; i < width; ++i) {
      const std::uint32_t rgb = colours[i];
      EXPECT_EQ(out[4 * i + 0], rgb & 0xff) << "pixel " << i;
      EXPECT_EQ(out[4 * i + 1], (rgb >> 8) & 0xff) << "pixel " << i;
      EXPECT_EQ(out[4 * i + 2], (rgb >> 16) & 0xff) << "pixel " << i;
      EXPECT_EQ(out[4 * i + 3], 0) << "pixel " << i;
    }
  }
  // Narrow channels are stretched to the nearest 8-bit value: 16 of 31 red
  // is 131.6, 32 of 63 green 129.5, 1 of 31 blue 8.2.
  const std::uint16_t rgb565 = (16 << 11) | (32 << 5) | 1;
  const std::uint8_t src[2] = {static_cast<std::uint8_t>(rgb565), static_cast<std::uint8_t>(rgb565 >> 8)};
  std::uint8_t out[4] = {};
  ASSERT_TRUE(pixel::packed_to_bgrx(src, 2, cases[5].layout, out, 4, 1, 1));
  EXPECT_EQ(out[0], 8);
  EXPECT_EQ(out[1], 130);
  EXPECT_EQ(out[2], 132);

  EXPECT_TRUE(pixel::layout_is_bgrx({4, false, 0xff0000, 0x00ff00, 0x0000ff}));
  EXPECT_TRUE(pixel::layout_is_bgrx({4, true, 0x0000ff00, 0x00ff0000, 0xff000000}));
  EXPECT_FALSE(pixel::layout_is_bgrx({4, true, 0xff0000, 0x00ff00, 0x0000ff}));
  EXPECT_FALSE(pixel::layout_is_bgrx({3, false, 0xff0000, 0x00ff00, 0x0000ff}));
}

TEST(PackedLayouts, UnreadableLayoutsAreRefusedWithoutWriting) {
  const std::uint8_t src[8] = {};
  std::vector<std::uint8_t> out(8, 0xee);
  const pixel::PackedLayout bad[] = {
      {5, false, 0xff0000, 0x00ff00, 0x0000ff},  // no such pixel size
      {0, false, 0xff0000, 0x00ff00, 0x0000ff},
      {4, false, 0xff00ff, 0x00ff00, 0x000000},  // broken and missing masks
  };
  for (const auto& layout : bad) {
    EXPECT_FALSE(pixel::packed_to_bgrx(src, 8, layout, out.data(), 8, 2, 1));
    EXPECT_EQ(out, std::vector<std::uint8_t>(8, 0xee));
  }
}

// A TrueColor lookup before any colormap is read scales like the plain
// reference, for every pixel size and byte order.
TEST(PixelLookups, TrueColorScalingMatchesTheReference) {
  const pixel::PackedLayout layouts[] = {
      {4, false, 0xff0000, 0x00ff00, 0x0000ff}, {4, true, 0xff0000, 0x00ff00, 0x0000ff},
      {3, false, 0xff0000, 0x00ff00, 0x0000ff}, {3, true, 0x0000ff, 0x00ff00, 0xff0000},
      {2, false, 0xf800, 0x07e0, 0x001f},       {2, true, 0x7c00, 0x03e0, 0x001f},
      {4, false, 0x3ff00000, 0x000ffc00, 0x000003ff}, {1, false, 0x07, 0x38, 0xc0},
  };
  std::mt19937 random(777);
  for (const auto& layout : layouts) {
    SCOPED_TRACE(layout.bytes_per_pixel * 8);
    pixel::PixelLookup lookup;
    ASSERT_TRUE(pixel::lookup_init(&lookup, layout, false, 256));
    constexpr int kWidth = 37, kRows = 3;
    const std::ptrdiff_t src_stride = kWidth * layout.bytes_per_pixel + 5;
    std::vector<std::uint8_t> src(static_cast<std::size_t>(src_stride) * kRows);
    for (auto& b : src) b = static_cast<std::uint8_t>(random());
    Guarded want(kWidth * 4 * kRows), got(kWidth * 4 * kRows);
    ASSERT_TRUE(pixel::packed_to_bgrx(src.data(), src_stride, layout, want.data(), kWidth * 4,
                                      kWidth, kRows));
    ASSERT_TRUE(pixel::lookup_to_bgrx(lookup, src.data(), src_stride, got.data(), kWidth * 4,
                                      kWidth, kRows));
    EXPECT_TRUE(got.guards_intact());
    EXPECT_EQ(want.bytes, got.bytes);
  }
}

// Indexed pixels name colormap cells; DirectColor fields each name a cell
// of their own channel. 16-bit channels become the nearest 8-bit value.
TEST(PixelLookups, ColormapCellsGiveTheColours) {
  // 8-bit PseudoColor with three cells given; the rest stay black.
  pixel::PixelLookup indexed;
  ASSERT_TRUE(pixel::lookup_init(&indexed, {1, false, 0, 0, 0}, true, 256));
  EXPECT_EQ(pixel::lookup_query_pixel(indexed, 200), 200u);
  const pixel::Rgb16 cells[3] = {{0xffff, 0x0000, 0x8080}, {0x1234, 0x5678, 0x9abc},
                                 {0x0081, 0x0080, 0xff7f}};  // 0.502, 0.498, 254.502 × 257
  pixel::lookup_set_colormap(&indexed, cells, 3);
  const std::uint8_t src8[5] = {0, 1, 2, 3, 255};
  std::uint8_t out[20];
  ASSERT_TRUE(pixel::lookup_to_bgrx(indexed, src8, 5, out, 20, 5, 1));
  const std::vector<std::uint8_t> want8 = {0x80, 0x00, 0xff, 0,  0x9a, 0x56, 0x12, 0,
                                           0xff, 0x00, 0x01, 0,  0, 0, 0, 0,  0, 0, 0, 0};
  EXPECT_EQ(std::vector<std::uint8_t>(out, out + 20), want8);

  // 16-bit DirectColor 5-6-5, most significant byte first: cell i holds
  // field value i of every channel, the narrower fields clipped.
  pixel::PixelLookup direct;
  ASSERT_TRUE(pixel::lookup_init(&direct, {2, true, 0xf800, 0x07e0, 0x001f}, false, 64));
  EXPECT_EQ(direct.colormap_entries, 64);
  EXPECT_EQ(pixel::lookup_query_pixel(direct, 5), (5u << 11) | (5u << 5) | 5u);
  EXPECT_EQ(pixel::lookup_query_pixel(direct, 40), (31u << 11) | (40u << 5) | 31u);
  std::vector<pixel::Rgb16> ramp(64);
  for (int i = 0; i < 64; ++i) {
    // Red falls, green rises in steps of 0x0400, blue is a constant 0x4000.
    ramp[static_cast<std::size_t>(i)] = {static_cast<std::uint16_t>(0xffff - i * 0x0800),
                                         static_cast<std::uint16_t>(i * 0x0400), 0x4000};
  }
  pixel::lookup_set_colormap(&direct, ramp.data(), 64);
  const std::uint16_t value = (2u << 11) | (63u << 5) | 7u;
  const std::uint8_t src16[2] = {static_cast<std::uint8_t>(value >> 8),
                                 static_cast<std::uint8_t>(value)};
  ASSERT_TRUE(pixel::lookup_to_bgrx(direct, src16, 2, out, 4, 1, 1));
  EXPECT_EQ(out[0], 0x40);                     // blue field 7: 0x4000 = 63.75 × 257
  EXPECT_EQ(out[1], 0xfb);                     // green field 63: 0xfc00 = 251.02 × 257
  EXPECT_EQ(out[2], (0xefff * 255 + 32767) / 65535);  // red field 2: 0xefff
  EXPECT_EQ(out[3], 0);

  // Lookups that were never set up, or cannot be, convert nothing.
  pixel::PixelLookup none;
  EXPECT_FALSE(pixel::lookup_to_bgrx(none, src8, 5, out, 20, 5, 1));
  EXPECT_FALSE(pixel::lookup_init(&none, {4, false, 0, 0, 0}, true, 256));  // indexed, 32 bits
  EXPECT_FALSE(pixel::lookup_init(&none, {2, false, 0, 0, 0}, true, 65536));
  EXPECT_FALSE(pixel::lookup_init(&none, {2, false, 0xf800, 0x0fe0, 0x001f}, false, 64));
  EXPECT_FALSE(pixel::lookup_init(&none, {2, false, 0x1f800, 0x07e0, 0x001f}, false, 64));
  EXPECT_TRUE(none.whole.empty() && none.channel[0].empty());
}

// Which visuals are read how, and why the others are refused.
TEST(VisualPlans, EveryXvfbVisualIsReadAndTheRestRefusedWithAReason) {
  struct Readable {
    x11::VisualFacts facts;
    bool as_is, colormap_needed, colormap_changes;
  };
  const Readable readable[] = {
      {{0, 8, 8, false, 0, 0, 0, 256}, false, true, false},               // StaticGray
      {{1, 8, 8, false, 0, 0, 0, 256}, false, true, true},                // GrayScale
      {{2, 8, 8, false, 0x07, 0x38, 0xc0, 256}, false, true, false},      // StaticColor
      {{3, 8, 8, false, 0, 0, 0, 256}, false, true, true},                // PseudoColor
      {{4, 16, 16, false, 0xf800, 0x07e0, 0x1f, 64}, false, true, false},  // TrueColor
      {{4, 24, 32, false, 0xff0000, 0xff00, 0xff, 256}, true, false, false},
      {{5, 24, 32, false, 0xff0000, 0xff00, 0xff, 256}, false, true, true},  // DirectColor
      {{4, 30, 32, false, 0x3ff00000, 0xffc00, 0x3ff, 1024}, false, true, false},
  };
  for (const Readable& r : readable) {
    SCOPED_TRACE("class " + std::to_string(r.facts.visual_class) + " depth " +
                 std::to_string(r.facts.depth));
    x11::VisualPlan plan;
    ASSERT_TRUE(x11::plan_visual(r.facts, &plan)) << plan.reason;
    EXPECT_EQ(plan.bgrx_as_is, r.as_is);
    EXPECT_EQ(plan.colormap_needed, r.colormap_needed);
    EXPECT_EQ(plan.colormap_changes, r.colormap_changes);
  }

  struct Refused {
    x11::VisualFacts facts;
    const char* reason;
  };
  const Refused refused[] = {
      {{0, 1, 1, false, 0, 0, 0, 2}, "depth 1 StaticGray visual with 1 bits per pixel"},
      {{3, 4, 4, false, 0, 0, 0, 16}, "depth 4 PseudoColor visual with 4 bits per pixel"},
      {{3, 16, 16, false, 0, 0, 0, 65536},
       "depth 16 PseudoColor visual with 16 bits per pixel and 65536 colormap entries"},
      {{4, 16, 16, false, 0xf00f, 0x07e0, 0x1f, 64},
       "depth 16 TrueColor visual with 16 bits per pixel and channel masks 0xf00f 0x7e0 0x1f"},
      {{5, 24, 32, false, 0xff0000, 0xff0000, 0xff, 256},
       "depth 24 DirectColor visual with 32 bits per pixel and channel masks 0xff0000 0xff0000 "
       "0xff"},
      {{7, 24, 32, false, 0xff0000, 0xff00, 0xff, 256}, "depth 24 visual of unknown class 7"},
  };
  for (const Refused& r : refused) {
    x11::VisualPlan plan;
    EXPECT_FALSE(x11::plan_visual(r.facts, &plan));
    EXPECT_STREQ(plan.reason, r.reason);
  }
}

TEST(CursorBlend, PremultipliedAlphaOverTheFrame) {
  // One row of destination pixels (B, G, R, X) and premultiplied sources.
  std::vector<std::uint8_t> dst = {
      200, 100, 50, 7,   // under a clear pixel: unchanged
      200, 100, 50, 7,   // under an opaque pixel: replaced
      200, 100, 50, 7,   // under half-transparent black: halved
      0, 0, 0, 7,        // half-transparent white over black
      255, 255, 255, 7,  // a malformed pixel (colour above alpha) saturates
  };
  const std::uint32_t src[] = {0x00000000, 0xff102030, 0x80000000, 0x80808080, 0x80ffffff};
  pixel::blend_premultiplied_argb(src, 5, dst.data(), static_cast<std::ptrdiff_t>(dst.size()), 5, 1);
  const std::vector<std::uint8_t> want = {
      200, 100, 50, 7,     //
      0x30, 0x20, 0x10, 7, //
      100, 50, 25, 7,      // 200 × 127 / 255 = 99.6 → 100
      128, 128, 128, 7,    //
      255, 255, 255, 7,
  };
  EXPECT_EQ(dst, want);
}

}  // namespace
