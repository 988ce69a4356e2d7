// Pixel conversions of the Linux screen layer. The BGRX → BGR row loop runs
// once per frame over the whole screen (8 MB in, 6 MB out at 1920 × 1080),
// so it has a scalar version that moves four pixels in three 32-bit stores
// and an SSSE3 version that moves sixteen pixels in three 16-byte stores;
// the plain per-byte loop is kept as the reference they are checked against.
#include "platform/linux/screen/pixel_convert.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define SLOTREC_HAVE_X86 1
#else
#define SLOTREC_HAVE_X86 0
#endif

namespace pixel {
namespace {

using RowFn = void (*)(const std::uint8_t* src, std::uint8_t* dst, int width);

inline std::uint32_t load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void store32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, sizeof v); }

void row_reference(const std::uint8_t* src, std::uint8_t* dst, int width) {
  for (int x = 0; x < width; ++x) {
    dst[3 * x + 0] = src[4 * x + 0];
    dst[3 * x + 1] = src[4 * x + 1];
    dst[3 * x + 2] = src[4 * x + 2];
  }
}

// Four pixels p0..p3 (little-endian words 0xXXRRGGBB) become the three words
// BGRB GRBG RBGR.
void row_scalar(const std::uint8_t* src, std::uint8_t* dst, int width) {
  if constexpr (std::endian::native != std::endian::little) {
    row_reference(src, dst, width);
    return;
  }
  int x = 0;
  for (; x + 4 <= width; x += 4, src += 16, dst += 12) {
    std::uint32_t p0 = load32(src);
    std::uint32_t p1 = load32(src + 4);
    std::uint32_t p2 = load32(src + 8);
    std::uint32_t p3 = load32(src + 12);
    store32(dst, (p0 & 0x00ffffffu) | (p1 << 24));
    store32(dst + 4, ((p1 >> 8) & 0x0000ffffu) | (p2 << 16));
    store32(dst + 8, ((p2 >> 16) & 0x000000ffu) | (p3 << 8));
  }
  for (; x < width; ++x, src += 4, dst += 3) {
    dst[0] = src[0];
    dst[1] = src[1];
    dst[2] = src[2];
  }
}

#if SLOTREC_HAVE_X86
// Sixteen pixels per round: each 16-byte load is squeezed to 12 bytes by
// one shuffle, and the four 12-byte pieces are joined into three stores.
__attribute__((target("ssse3"))) void row_ssse3(const std::uint8_t* src,
                                                std::uint8_t* dst, int width) {
  const __m128i squeeze =
      _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  int x = 0;
  for (; x + 16 <= width; x += 16, src += 64, dst += 48) {
    __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), squeeze);
    __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16)), squeeze);
    __m128i c = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32)), squeeze);
    __m128i d = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 48)), squeeze);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_or_si128(a, _mm_slli_si128(b, 12)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16),
                     _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 32),
                     _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(d, 4)));
  }
  row_scalar(src, dst, width - x);
}
#endif

bool cpu_has_ssse3() {
#if SLOTREC_HAVE_X86
  static const bool has = __builtin_cpu_supports("ssse3") != 0;
  return has;
#else
  return false;
#endif
}

RowFn row_function(Bgr24Impl impl) {
  switch (impl) {
    case Bgr24Impl::kReference:
      return row_reference;
    case Bgr24Impl::kScalar:
      return row_scalar;
    case Bgr24Impl::kSsse3:
    case Bgr24Impl::kAuto:
#if SLOTREC_HAVE_X86
      if (cpu_has_ssse3()) return row_ssse3;
#endif
      return impl == Bgr24Impl::kAuto ? row_scalar : nullptr;
  }
  return nullptr;
}

// Bits set in a contiguous mask and the position of its lowest bit.
struct Channel {
  int shift;
  int bits;
};

Channel channel_of(std::uint32_t mask) {
  if (mask == 0) return {0, 0};
  return {std::countr_zero(mask), std::popcount(mask)};
}

bool mask_is_contiguous(std::uint32_t mask) {
  if (mask == 0) return false;
  std::uint32_t low = mask >> std::countr_zero(mask);
  return (low & (low + 1)) == 0;
}

// A channel value of `bits` bits stretched (or cut) to 8 bits, so that the
// channel's full value becomes 255.
inline std::uint8_t to_8_bits(std::uint32_t value, int bits) {
  if (bits >= 8) return static_cast<std::uint8_t>(value >> (bits - 8));
  std::uint32_t top = (1u << bits) - 1u;
  return static_cast<std::uint8_t>((value * 255u + top / 2u) / top);
}

inline std::uint32_t read_packed(const std::uint8_t* p, int bytes, bool msb_first) {
  std::uint32_t v = 0;
  if (msb_first) {
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  } else {
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  }
  return v;
}

// A colormap's 16-bit channel value to the nearest 8-bit one (8-bit c is
// 16-bit c × 257, so those come back exactly).
inline std::uint8_t from_16_bits(std::uint16_t value) {
  return static_cast<std::uint8_t>((std::uint32_t{value} * 255u + 32767u) / 65535u);
}

// A BGRX pixel as one word, laid out in memory as B, G, R, 0 whatever the
// processor's byte order.
inline std::uint32_t bgrx_word(std::uint8_t b, std::uint8_t g, std::uint8_t r) {
  const std::uint8_t bytes[4] = {b, g, r, 0};
  return load32(bytes);
}

// The whole-pixel table of a decomposed lookup from its channel tables.
void fill_whole_from_channels(PixelLookup* lookup) {
  if (lookup->whole.empty()) return;
  const std::uint32_t masks[3] = {lookup->layout.blue_mask, lookup->layout.green_mask,
                                  lookup->layout.red_mask};
  const int shifts[3] = {channel_of(masks[0]).shift, channel_of(masks[1]).shift,
                         channel_of(masks[2]).shift};
  for (std::size_t v = 0; v < lookup->whole.size(); ++v) {
    const auto value = static_cast<std::uint32_t>(v);
    lookup->whole[v] = bgrx_word(lookup->channel[0][(value & masks[0]) >> shifts[0]],
                                 lookup->channel[1][(value & masks[1]) >> shifts[1]],
                                 lookup->channel[2][(value & masks[2]) >> shifts[2]]);
  }
}

}  // namespace

bool bgr24_impl_available(Bgr24Impl impl) { return row_function(impl) != nullptr; }

void bgrx_to_bgr24(const std::uint8_t* src, std::ptrdiff_t src_stride,
                   std::uint8_t* dst, std::ptrdiff_t dst_stride, int width,
                   int rows, Bgr24Impl impl) {
  RowFn row = row_function(impl);
  if (row == nullptr || width <= 0 || rows <= 0) return;
  const std::size_t pixel_bytes = static_cast<std::size_t>(width) * 3u;
  const std::size_t row_bytes = static_cast<std::size_t>(dst_stride < 0 ? -dst_stride : dst_stride);
  const std::size_t padding = row_bytes > pixel_bytes ? row_bytes - pixel_bytes : 0;
  for (int y = 0; y < rows; ++y, src += src_stride, dst += dst_stride) {
    row(src, dst, width);
    if (padding != 0) std::memset(dst + pixel_bytes, 0, padding);
  }
}

void bgrx_to_bgr32(const std::uint8_t* src, std::ptrdiff_t src_stride,
                   std::uint8_t* dst, std::ptrdiff_t dst_stride, int width,
                   int rows) {
  for (int y = 0; y < rows; ++y, src += src_stride, dst += dst_stride) {
    for (int x = 0; x < width; ++x) {
      dst[4 * x + 0] = src[4 * x + 0];
      dst[4 * x + 1] = src[4 * x + 1];
      dst[4 * x + 2] = src[4 * x + 2];
      dst[4 * x + 3] = 0;
    }
  }
}

bool layout_is_bgrx(const PackedLayout& layout) {
  if (layout.bytes_per_pixel != 4) return false;
  if (layout.msb_first) {
    // Bytes X R G B in memory would need blue in the top byte instead.
    return layout.red_mask == 0x0000ff00u && layout.green_mask == 0x00ff0000u &&
           layout.blue_mask == 0xff000000u;
  }
  return layout.red_mask == 0x00ff0000u && layout.green_mask == 0x0000ff00u &&
         layout.blue_mask == 0x000000ffu;
}

bool packed_to_bgrx(const std::uint8_t* src, std::ptrdiff_t src_stride,
                    const PackedLayout& layout, std::uint8_t* dst,
                    std::ptrdiff_t dst_stride, int width, int rows) {
  const int bytes = layout.bytes_per_pixel;
  if (bytes < 1 || bytes > 4) return false;
  if (!mask_is_contiguous(layout.red_mask) || !mask_is_contiguous(layout.green_mask) ||
      !mask_is_contiguous(layout.blue_mask)) {
    return false;
  }
  const Channel r = channel_of(layout.red_mask);
  const Channel g = channel_of(layout.green_mask);
  const Channel b = channel_of(layout.blue_mask);
  for (int y = 0; y < rows; ++y, src += src_stride, dst += dst_stride) {
    const std::uint8_t* s = src;
    std::uint8_t* d = dst;
    for (int x = 0; x < width; ++x, s += bytes, d += 4) {
      std::uint32_t v = read_packed(s, bytes, layout.msb_first);
      d[0] = to_8_bits((v & layout.blue_mask) >> b.shift, b.bits);
      d[1] = to_8_bits((v & layout.green_mask) >> g.shift, g.bits);
      d[2] = to_8_bits((v & layout.red_mask) >> r.shift, r.bits);
      d[3] = 0;
    }
  }
  return true;
}

bool lookup_init(PixelLookup* lookup, const PackedLayout& layout, bool indexed,
                 int colormap_entries) {
  *lookup = PixelLookup{};
  const int bytes = layout.bytes_per_pixel;
  if (bytes < 1 || bytes > 4) return false;
  PixelLookup made;
  made.layout = layout;
  made.indexed = indexed;
  if (indexed) {
    if (bytes > 2 || colormap_entries < 1 || colormap_entries > kMaxColormapEntries) {
      return false;
    }
    made.layout.red_mask = made.layout.green_mask = made.layout.blue_mask = 0;
    made.colormap_entries = colormap_entries;
  } else {
    const std::uint32_t masks[3] = {layout.blue_mask, layout.green_mask, layout.red_mask};
    const std::uint64_t all = (std::uint64_t{1} << (8 * bytes)) - 1;
    for (int c = 0; c < 3; ++c) {
      if (!mask_is_contiguous(masks[c]) || (masks[c] & ~all) != 0 ||
          channel_of(masks[c]).bits > 16) {
        return false;
      }
      for (int other = 0; other < c; ++other) {
        if ((masks[c] & masks[other]) != 0) return false;
      }
      const Channel field = channel_of(masks[c]);
      const std::size_t values = std::size_t{1} << field.bits;
      made.channel[c].resize(values);
      for (std::size_t v = 0; v < values; ++v) {
        made.channel[c][v] = to_8_bits(static_cast<std::uint32_t>(v), field.bits);
      }
      made.colormap_entries = std::max(made.colormap_entries, static_cast<int>(values));
    }
    // More cells than the widest field has values are never asked for.
    made.colormap_entries = std::min(made.colormap_entries,
                                     std::max(colormap_entries, 1));
  }
  if (bytes <= 2) made.whole.assign(std::size_t{1} << (8 * bytes), bgrx_word(0, 0, 0));
  *lookup = std::move(made);
  if (!indexed) fill_whole_from_channels(lookup);
  return true;
}

std::uint32_t lookup_query_pixel(const PixelLookup& lookup, int cell) {
  const auto value = static_cast<std::uint32_t>(cell);
  if (lookup.indexed) return value;
  std::uint32_t pixel = 0;
  for (std::uint32_t mask : {lookup.layout.red_mask, lookup.layout.green_mask,
                             lookup.layout.blue_mask}) {
    const Channel field = channel_of(mask);
    const std::uint32_t top = (mask >> field.shift);
    pixel |= std::min(value, top) << field.shift;
  }
  return pixel;
}

void lookup_set_colormap(PixelLookup* lookup, const Rgb16* cells, int count) {
  count = std::clamp(count, 0, lookup->colormap_entries);
  if (lookup->indexed) {
    const std::size_t values = lookup->whole.size();
    for (std::size_t v = 0; v < values; ++v) {
      if (v < static_cast<std::size_t>(count)) {
        const Rgb16& cell = cells[v];
        lookup->whole[v] = bgrx_word(from_16_bits(cell.blue), from_16_bits(cell.green),
                                     from_16_bits(cell.red));
      } else {
        lookup->whole[v] = bgrx_word(0, 0, 0);
      }
    }
    return;
  }
  // Field value v of a channel is cell v's value for that channel.
  for (int c = 0; c < 3; ++c) {
    std::vector<std::uint8_t>& table = lookup->channel[c];
    for (std::size_t v = 0; v < table.size(); ++v) {
      if (v >= static_cast<std::size_t>(count)) {
        table[v] = 0;
        continue;
      }
      const Rgb16& cell = cells[v];
      const std::uint16_t value = c == 0 ? cell.blue : c == 1 ? cell.green : cell.red;
      table[v] = from_16_bits(value);
    }
  }
  fill_whole_from_channels(lookup);
}

bool lookup_to_bgrx(const PixelLookup& lookup, const std::uint8_t* src,
                    std::ptrdiff_t src_stride, std::uint8_t* dst,
                    std::ptrdiff_t dst_stride, int width, int rows) {
  const int bytes = lookup.layout.bytes_per_pixel;
  if (bytes < 1 || bytes > 4 || (bytes <= 2 && lookup.whole.empty()) ||
      (bytes > 2 && lookup.channel[0].empty())) {
    return false;
  }
  const bool msb_first = lookup.layout.msb_first;
  for (int y = 0; y < rows; ++y, src += src_stride, dst += dst_stride) {
    const std::uint8_t* s = src;
    std::uint8_t* d = dst;
    if (bytes == 1) {
      const std::uint32_t* whole = lookup.whole.data();
      for (int x = 0; x < width; ++x) store32(d + 4 * x, whole[s[x]]);
    } else if (bytes == 2) {
      const std::uint32_t* whole = lookup.whole.data();
      for (int x = 0; x < width; ++x, s += 2) {
        const std::uint32_t v = msb_first ? (std::uint32_t{s[0]} << 8) | s[1]
                                          : (std::uint32_t{s[1]} << 8) | s[0];
        store32(d + 4 * x, whole[v]);
      }
    } else {
      const std::uint32_t masks[3] = {lookup.layout.blue_mask, lookup.layout.green_mask,
                                      lookup.layout.red_mask};
      const int shifts[3] = {channel_of(masks[0]).shift, channel_of(masks[1]).shift,
                             channel_of(masks[2]).shift};
      const std::uint8_t* tables[3] = {lookup.channel[0].data(), lookup.channel[1].data(),
                                       lookup.channel[2].data()};
      const bool native_words = bytes == 4 && msb_first == (std::endian::native == std::endian::big);
      for (int x = 0; x < width; ++x, s += bytes, d += 4) {
        const std::uint32_t v = native_words ? load32(s) : read_packed(s, bytes, msb_first);
        d[0] = tables[0][(v & masks[0]) >> shifts[0]];
        d[1] = tables[1][(v & masks[1]) >> shifts[1]];
        d[2] = tables[2][(v & masks[2]) >> shifts[2]];
        d[3] = 0;
      }
    }
  }
  return true;
}

void blend_premultiplied_argb(const std::uint32_t* src, std::ptrdiff_t src_pitch,
                              std::uint8_t* dst, std::ptrdiff_t dst_stride,
                              int width, int rows) {
  for (int y = 0; y < rows; ++y, src += src_pitch, dst += dst_stride) {
    std::uint8_t* d = dst;
    for (int x = 0; x < width; ++x, d += 4) {
      const std::uint32_t p = src[x];
      const std::uint32_t alpha = p >> 24;
      if (alpha == 0 && (p & 0x00ffffffu) == 0) continue;  // the common clear pixel
      const std::uint32_t keep = 255u - alpha;
      const std::uint32_t channel[3] = {p & 0xffu, (p >> 8) & 0xffu, (p >> 16) & 0xffu};
      for (int c = 0; c < 3; ++c) {
        std::uint32_t v = channel[c] + (d[c] * keep + 127u) / 255u;
        d[c] = static_cast<std::uint8_t>(v > 255u ? 255u : v);  // malformed: colour above alpha
      }
    }
  }
}

}  // namespace pixel
