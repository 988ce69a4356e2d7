// Pixel conversions of the Linux screen layer: the frame bitmap's 32-bit
// BGRX rows into the 24-bit (or 32-bit) rows of a DIB, the X server's other
// pixel layouts into BGRX, and the cursor's alpha blend.
//
// Each fast routine has a plain reference version beside it; the tests check
// one against the other and the grab benchmark times both.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pixel {

// Bytes in one DIB row of `width` pixels at `bits_per_pixel`: the row raised
// to the next multiple of 4 bytes, in signed 32-bit arithmetic as GDI does
// it (1 → 4, 3 → 12, 4 → 12, 1365 → 4096, 1366 → 4100 at 24 bits).
constexpr std::int32_t dib_stride(std::int32_t width, std::int32_t bits_per_pixel) {
  return ((width * bits_per_pixel + 31) / 32) * 4;
}

// Ways of running the BGRX → BGR conversion. kAuto picks the fastest one
// the processor has.
enum class Bgr24Impl { kAuto, kReference, kScalar, kSsse3 };

// True when `impl` can run on this processor (kReference, kScalar and kAuto
// always can).
bool bgr24_impl_available(Bgr24Impl impl);

// Converts `rows` rows of `width` 32-bit BGRX pixels into 24-bit BGR rows.
// Row i is read from src + i*src_stride and written to dst + i*dst_stride;
// a negative dst_stride (dst pointing at the last row of the block) writes a
// bottom-up DIB. Each written row is |dst_stride| bytes: 3*width pixel bytes,
// then zero padding. |dst_stride| must be at least 3*width. Any thread.
void bgrx_to_bgr24(const std::uint8_t* src, std::ptrdiff_t src_stride,
                   std::uint8_t* dst, std::ptrdiff_t dst_stride, int width,
                   int rows, Bgr24Impl impl = Bgr24Impl::kAuto);

// The same for 32-bit DIB rows: BGR copied, the fourth byte set to zero.
void bgrx_to_bgr32(const std::uint8_t* src, std::ptrdiff_t src_stride,
                   std::uint8_t* dst, std::ptrdiff_t dst_stride, int width,
                   int rows);

// How the X server packs a pixel: 1 to 4 bytes, in little-endian
// (LSBFirst) or big-endian (MSBFirst) order, each channel a contiguous mask.
struct PackedLayout {
  int bytes_per_pixel;
  bool msb_first;
  std::uint32_t red_mask;
  std::uint32_t green_mask;
  std::uint32_t blue_mask;
};

// True when the layout is already BGRX in memory (4 bytes, blue in the first
// byte, red in the third): the server's pixels can then be used as they are.
bool layout_is_bgrx(const PackedLayout& layout);

// Converts `rows` rows of `width` packed pixels into BGRX rows (the fourth
// byte zero), scaling channels of fewer or more than 8 bits to 8 bits.
// Returns false, writing nothing, for a layout it cannot read.
bool packed_to_bgrx(const std::uint8_t* src, std::ptrdiff_t src_stride,
                    const PackedLayout& layout, std::uint8_t* dst,
                    std::ptrdiff_t dst_stride, int width, int rows);

// Blends a premultiplied ARGB image (0xAARRGGBB per element, as XFixes
// gives cursors) of `width` × `rows` over BGRX rows:
// out = src + dst × (255 − alpha) / 255, rounded, per colour channel.
// The caller clips; the fourth byte of dst is left alone.
void blend_premultiplied_argb(const std::uint32_t* src, std::ptrdiff_t src_pitch,
                              std::uint8_t* dst, std::ptrdiff_t dst_stride,
                              int width, int rows);

}  // namespace pixel
