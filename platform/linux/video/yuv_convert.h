// The colour conversion in front of the x264 compressor: DIB rows (24-bit
// BGR or 32-bit BGRX) into a YUV 4:2:0 picture, BT.601 limited range, each
// 2x2 block's chroma from the sum of its four pixels.
//
// The conversion also says where it changed the picture: it compares what
// it writes with what the picture held, per 16-pixel column group (one
// macroblock column), so the compressor learns which macroblocks of a frame
// are the same as in the frame before without a second copy of either.
//
// The plain reference defines every output byte; the AVX2 version and the
// SSSE3 one (for processors without AVX2) give the same bytes (the tests
// check each against the reference, the encode benchmark times all three).
#pragma once

#include <cstddef>
#include <cstdint>

namespace yuv {

// Y = ((66 R + 129 G + 25 B + 128) >> 8) + 16 for each pixel;
// U = ((-38 R4 - 74 G4 + 112 B4 + 512) >> 10) + 128 and
// V = ((112 R4 - 94 G4 - 18 B4 + 512) >> 10) + 128 for each 2x2 block,
// where R4, G4, B4 are the sums of its four pixels' channels.
// kAuto takes AVX2 where the processor has it, else SSSE3, else the
// reference; a version named but not available runs as the reference.
enum class Impl { kAuto, kReference, kAvx2, kSsse3 };

// True when `impl` can run on this processor (kReference and kAuto always).
bool impl_available(Impl impl);

// Where the converted rows go: row 0 of each plane is the first row given.
struct Target {
  std::uint8_t* y;
  std::uint8_t* u;
  std::uint8_t* v;
  std::ptrdiff_t y_stride;
  std::ptrdiff_t c_stride;  // of u and v
};

// Converts `rows` rows (even) of `width` pixels (even) of `bytes_per_pixel`
// (3: B G R, 4: B G R X) into the target. Row i of the source starts at
// src + i * src_stride (negative for a bottom-up DIB read from its top row).
// When `changed` is not null, changed[g] is set to 1 for every group g of 16
// columns (the last one may be narrower) where a written byte of any plane
// differs from the byte it replaces; it is never cleared. Any thread.
void bgr_to_i420(const std::uint8_t* src, std::ptrdiff_t src_stride, int bytes_per_pixel, int width,
                 int rows, const Target& target, std::uint8_t* changed, Impl impl = Impl::kAuto);

}  // namespace yuv
