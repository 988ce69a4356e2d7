// The pixel routines against their plain references and hand-made pixels:
// every BGRX → BGR version over many sizes (widths 1, 3 and 4 among them),
// bottom-up and top-down, without a byte written outside the rows; the X
// server's other layouts; the cursor blend.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "platform/linux/pixel_convert.h"

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
    src.insert(src.end(), {static_cast<std::uint8_t>(10 * n), static_cast<std::uint8_t>(10 * n + 1),
                           static_cast<std::uint8_t>(10 * n + 2), 99});
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
