// Pixel conversions of the Linux screen layer: the frame bitmap's 32-bit
// BGRX rows into the 24-bit (or 32-bit) rows of a DIB, the X server's other
// pixel layouts and visual classes into BGRX, and the cursor's alpha blend.
//
// Each fast routine has a plain reference version beside it; the tests check
// one against the other and the grab benchmark times both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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
// Returns false, writing nothing, for a layout it cannot read. The plain
// reference for a TrueColor lookup (lookup_to_bgrx).
bool packed_to_bgrx(const std::uint8_t* src, std::ptrdiff_t src_stride,
                    const PackedLayout& layout, std::uint8_t* dst,
                    std::ptrdiff_t dst_stride, int width, int rows);

// A colour as the X server describes a colormap cell: 16 bits a channel.
struct Rgb16 {
  std::uint16_t red;
  std::uint16_t green;
  std::uint16_t blue;
};

// What every pixel value of a visual shows, as BGRX, whatever the visual
// class. Indexed pixels (StaticGray, GrayScale, StaticColor, PseudoColor)
// name a colormap cell; decomposed ones (TrueColor, DirectColor) hold one
// field per channel, which is scaled linearly to 8 bits (TrueColor) or
// names a cell of that channel's colormap (DirectColor).
//
// Pixels of one or two bytes go through `whole`, one BGRX word for every
// pixel value; wider ones (always decomposed) through one 8-bit table per
// channel, indexed by the channel's field. The tables are made once, by
// lookup_init, and refilled in place from the colormap.
struct PixelLookup {
  PackedLayout layout{};  // the masks are zero for indexed pixels
  bool indexed = false;
  int colormap_entries = 0;  // cells lookup_set_colormap expects
  std::vector<std::uint32_t> whole;      // 1- and 2-byte pixels: BGRX word per value
  std::vector<std::uint8_t> channel[3];  // decomposed: blue, green, red per field value
};

// Sets `lookup` up for pixels stored as `layout`: indexed (the value names
// one of `colormap_entries` cells; all black until lookup_set_colormap) or
// decomposed (contiguous masks of at most 16 bits; each field scaled
// linearly until lookup_set_colormap). Allocates the tables. False, with
// `lookup` empty, for pixels it cannot read: indexed ones wider than two
// bytes or with more than kMaxColormapEntries cells, broken masks.
constexpr int kMaxColormapEntries = 4096;
bool lookup_init(PixelLookup* lookup, const PackedLayout& layout, bool indexed,
                 int colormap_entries);

// The pixel value to ask the colormap about for cell `cell` (0 ..
// colormap_entries − 1): the cell itself for indexed pixels; for decomposed
// ones the cell in every field (clipped to the field), since a DirectColor
// colormap keeps one cell per field value and channel.
std::uint32_t lookup_query_pixel(const PixelLookup& lookup, int cell);

// Refills the tables from the colormap: cells[i] is the colour the server
// gives for lookup_query_pixel(lookup, i), for i below `count`; cells it
// does not give are black. Each 16-bit channel becomes the nearest 8-bit
// value. Allocates nothing. Any thread, while no conversion uses the
// lookup.
void lookup_set_colormap(PixelLookup* lookup, const Rgb16* cells, int count);

// Converts `rows` rows of `width` pixels into BGRX rows (the fourth byte
// zero) through the lookup. False, writing nothing, for a lookup that
// lookup_init has not set up.
bool lookup_to_bgrx(const PixelLookup& lookup, const std::uint8_t* src,
                    std::ptrdiff_t src_stride, std::uint8_t* dst,
                    std::ptrdiff_t dst_stride, int width, int rows);

// Blends a premultiplied ARGB image (0xAARRGGBB per element, as XFixes
// gives cursors) of `width` × `rows` over BGRX rows:
// out = src + dst × (255 − alpha) / 255, rounded, per colour channel.
// The caller clips; the fourth byte of dst is left alone.
void blend_premultiplied_argb(const std::uint32_t* src, std::ptrdiff_t src_pitch,
                              std::uint8_t* dst, std::ptrdiff_t dst_stride,
                              int width, int rows);

}  // namespace pixel
