// DIB rows into YUV 4:2:0. A 1920 x 1080 frame is two million pixels on
// every frame the screen moves, so besides the plain reference there are two
// vector versions that take sixteen columns of two rows per round. The AVX2
// one widens the pixels to 16-bit B G R X words, multiplies and sums them in
// pairs (vpmaddwd) for luma, sums each 2x2 block for chroma, and narrows
// back. The SSSE3 one, for processors without AVX2, multiplies the bytes
// themselves (pmaddubsw; see below). All use the same integer arithmetic, so
// they agree to the byte.
#include "platform/linux/video/yuv_convert.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define SLOTREC_HAVE_X86 1
#else
#define SLOTREC_HAVE_X86 0
#endif

namespace yuv {
namespace {

constexpr int kGroup = 16;  // columns per change flag: one macroblock

inline std::uint8_t luma(int b, int g, int r) {
  return static_cast<std::uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
}
inline std::uint8_t chroma_u(int b4, int g4, int r4) {
  return static_cast<std::uint8_t>(((-38 * r4 - 74 * g4 + 112 * b4 + 512) >> 10) + 128);
}
inline std::uint8_t chroma_v(int b4, int g4, int r4) {
  return static_cast<std::uint8_t>(((112 * r4 - 94 * g4 - 18 * b4 + 512) >> 10) + 128);
}

inline bool put(std::uint8_t* at, std::uint8_t value) {
  bool differs = *at != value;
  *at = value;
  return differs;
}

// Columns [x0, x1) (both even) of one pair of rows, one byte at a time.
void pair_reference(const std::uint8_t* top, const std::uint8_t* bottom, int bpp, int x0, int x1,
                    std::uint8_t* y_top, std::uint8_t* y_bottom, std::uint8_t* u, std::uint8_t* v,
                    std::uint8_t* changed) {
  for (int x = x0; x < x1; x += 2) {
    const std::uint8_t* p[4] = {top + x * bpp, top + (x + 1) * bpp, bottom + x * bpp,
                                bottom + (x + 1) * bpp};
    std::uint8_t* out[4] = {y_top + x, y_top + x + 1, y_bottom + x, y_bottom + x + 1};
    int b4 = 0, g4 = 0, r4 = 0;
    bool differs = false;
    for (int i = 0; i < 4; ++i) {
      b4 += p[i][0];
      g4 += p[i][1];
      r4 += p[i][2];
      differs |= put(out[i], luma(p[i][0], p[i][1], p[i][2]));
    }
    differs |= put(u + x / 2, chroma_u(b4, g4, r4));
    differs |= put(v + x / 2, chroma_v(b4, g4, r4));
    if (differs && changed != nullptr) changed[x / kGroup] = 1;
  }
}

#if SLOTREC_HAVE_X86
#define SLOTREC_SSSE3 __attribute__((target("ssse3")))

// The SSSE3 version works on bytes as long as it can, which 128-bit
// registers need to come near the AVX2 one. Each load takes four pixels;
// two shuffles of it feed two byte multiplies (pmaddubsw), one for luma and
// one for the 2x2 block sums of chroma. No load reaches past the group, so
// only the columns after the last whole group go to the reference.
//
// Luma: each pixel becomes B G R G, weighted 25 67 66 62. The two pair sums
// (25 B + 67 G, 66 R + 62 G) stay below 32768, so the byte multiply never
// saturates; their sum is the pixel's 66 R + 129 G + 25 B, below 65536
// with the rounding and offset added, so 16-bit words hold it exactly.
//
// Chroma: each pixel pair of a row becomes B0 B1 G0 G1 and R0 R1 0 0, and a
// multiply by ones sums them: B G R of two pixels as words. Two rows added
// are the block sums B4 G4 R4, at most 1020. They are weighted in 32 bits
// (pmaddwd) as (B4, G4) and (R4, 4112) pairs: 4112 x 32 is the rounding 512
// plus the offset 128 << 10, so one add finishes each block.

// The luma of four pixels as two words each (B G R G bytes times 25 67 66
// 62), from a register whose byte `Skip` is the first pixel's blue.
template <int Bpp, int Skip>
SLOTREC_SSSE3 inline __m128i luma_pairs_ssse3(__m128i pixels) {
  constexpr int o = Skip;
  const __m128i spread =
      Bpp == 4 ? _mm_setr_epi8(0, 1, 2, 1, 4, 5, 6, 5, 8, 9, 10, 9, 12, 13, 14, 13)
               : _mm_setr_epi8(o, o + 1, o + 2, o + 1, o + 3, o + 4, o + 5, o + 4, o + 6, o + 7, o + 8, o + 7, o + 9,
                               o + 10, o + 11, o + 10);
  const __m128i weights = _mm_setr_epi8(25, 67, 66, 62, 25, 67, 66, 62, 25, 67, 66, 62, 25, 67, 66, 62);
  return _mm_maddubs_epi16(_mm_shuffle_epi8(pixels, spread), weights);
}

// The two pixel pairs of four pixels as B01 G01 B23 G23 R01 0 R23 0 words.
template <int Bpp, int Skip>
SLOTREC_SSSE3 inline __m128i pair_sums_ssse3(__m128i pixels) {
  constexpr int o = Skip;
  const __m128i gather =
      Bpp == 4 ? _mm_setr_epi8(0, 4, 1, 5, 8, 12, 9, 13, 2, 6, -1, -1, 10, 14, -1, -1)
               : _mm_setr_epi8(o, o + 3, o + 1, o + 4, o + 6, o + 9, o + 7, o + 10, o + 2, o + 5, -1, -1, o + 8, o + 11,
                               -1, -1);
  return _mm_maddubs_epi16(_mm_shuffle_epi8(pixels, gather), _mm_set1_epi8(1));
}

// Eight pixels of two rows: their luma (as 16-bit words, `luma_top` and
// `luma_bottom`) and the U and V of their four blocks (as 32-bit values).
// Each pixel quad is one 16-byte load; with three-byte pixels the second
// quad of the second half is loaded from four bytes earlier, so that no
// load reaches past the sixteen pixels of the group.
template <int Bpp, bool SecondHalf>
SLOTREC_SSSE3 inline void half_ssse3(const std::uint8_t* top, const std::uint8_t* bottom, __m128i* luma_top,
                                     __m128i* luma_bottom, __m128i* u4, __m128i* v4) {
  constexpr int kSkip = Bpp == 3 && SecondHalf ? 4 : 0;
  constexpr int kFirst = SecondHalf ? 8 * Bpp : 0;
  constexpr int kSecond = kFirst + 4 * Bpp - kSkip;
  const __m128i t0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top + kFirst));
  const __m128i t1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top + kSecond));
  const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + kFirst));
  const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + kSecond));

  const __m128i offset = _mm_set1_epi16(128 + (16 << 8));
  *luma_top = _mm_srli_epi16(
      _mm_add_epi16(_mm_hadd_epi16(luma_pairs_ssse3<Bpp, 0>(t0), luma_pairs_ssse3<Bpp, kSkip>(t1)), offset), 8);
  *luma_bottom = _mm_srli_epi16(
      _mm_add_epi16(_mm_hadd_epi16(luma_pairs_ssse3<Bpp, 0>(b0), luma_pairs_ssse3<Bpp, kSkip>(b1)), offset), 8);

  // Blocks 0 1 and 2 3 of the half, then all four as (B4, G4) and
  // (R4, 4112) pairs.
  const __m128i first = _mm_add_epi16(pair_sums_ssse3<Bpp, 0>(t0), pair_sums_ssse3<Bpp, 0>(b0));
  const __m128i second = _mm_add_epi16(pair_sums_ssse3<Bpp, kSkip>(t1), pair_sums_ssse3<Bpp, kSkip>(b1));
  const __m128i blue_green = _mm_unpacklo_epi64(first, second);
  const __m128i red_offset =
      _mm_or_si128(_mm_unpackhi_epi64(first, second), _mm_setr_epi16(0, 4112, 0, 4112, 0, 4112, 0, 4112));
  *u4 = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(blue_green, _mm_setr_epi16(112, -74, 112, -74, 112, -74, 112, -74)),
                                     _mm_madd_epi16(red_offset, _mm_setr_epi16(-38, 32, -38, 32, -38, 32, -38, 32))),
                       10);
  *v4 = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(blue_green, _mm_setr_epi16(-18, -94, -18, -94, -18, -94, -18, -94)),
                                     _mm_madd_epi16(red_offset, _mm_setr_epi16(112, 32, 112, 32, 112, 32, 112, 32))),
                       10);
}

template <int Bpp>
SLOTREC_SSSE3 void pair_ssse3(const std::uint8_t* top, const std::uint8_t* bottom, int width,
                              std::uint8_t* y_top, std::uint8_t* y_bottom, std::uint8_t* u,
                              std::uint8_t* v, std::uint8_t* changed) {
  const int simd_end = width - width % kGroup;
  int x = 0;
  for (; x < simd_end; x += kGroup) {
    __m128i top0, bottom0, u0, v0, top1, bottom1, u1, v1;
    half_ssse3<Bpp, false>(top + x * Bpp, bottom + x * Bpp, &top0, &bottom0, &u0, &v0);
    half_ssse3<Bpp, true>(top + x * Bpp, bottom + x * Bpp, &top1, &bottom1, &u1, &v1);
    const __m128i luma_top = _mm_packus_epi16(top0, top1);
    const __m128i luma_bottom = _mm_packus_epi16(bottom0, bottom1);
    // 8 bytes of U, then 8 of V.
    const __m128i chromas = _mm_packus_epi16(_mm_packs_epi32(u0, u1), _mm_packs_epi32(v0, v1));

    if (changed != nullptr) {
      const __m128i old_chromas = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + x / 2)),
                                                     _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + x / 2)));
      __m128i differs = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y_top + x)), luma_top);
      differs = _mm_or_si128(differs, _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y_bottom + x)),
                                                    luma_bottom));
      differs = _mm_or_si128(differs, _mm_xor_si128(old_chromas, chromas));
      if (_mm_movemask_epi8(_mm_cmpeq_epi8(differs, _mm_setzero_si128())) != 0xFFFF) changed[x / kGroup] = 1;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y_top + x), luma_top);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y_bottom + x), luma_bottom);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(u + x / 2), chromas);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(v + x / 2), _mm_srli_si128(chromas, 8));
  }
  pair_reference(top, bottom, Bpp, x, width, y_top, y_bottom, u, v, changed);
}

#define SLOTREC_AVX2 __attribute__((target("avx2")))

// 16 bytes at `low` and 16 at `high` as the two lanes of one register.
SLOTREC_AVX2 inline __m256i load_lanes(const std::uint8_t* low, const std::uint8_t* high) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}

// Sixteen pixels as two registers of eight B G R X pixels each (four per
// 128-bit lane). Three-byte pixels are spread by a shuffle; the second load
// of each register reads four bytes past the sixteen pixels.
template <int Bpp>
SLOTREC_AVX2 inline void load16(const std::uint8_t* p, __m256i* first, __m256i* second) {
  if constexpr (Bpp == 4) {
    *first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    *second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  } else {
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                            0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    *first = _mm256_shuffle_epi8(load_lanes(p, p + 12), spread);
    *second = _mm256_shuffle_epi8(load_lanes(p + 24, p + 36), spread);
  }
}

// Luma of eight B G R X pixels as eight 32-bit values in pixel order.
SLOTREC_AVX2 inline __m256i luma8(__m256i pixels) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i weights = _mm256_setr_epi16(25, 129, 66, 0, 25, 129, 66, 0, 25, 129, 66, 0, 25, 129, 66, 0);
  __m256i first = _mm256_madd_epi16(_mm256_unpacklo_epi8(pixels, zero), weights);
  __m256i second = _mm256_madd_epi16(_mm256_unpackhi_epi8(pixels, zero), weights);
  __m256i sum = _mm256_hadd_epi32(first, second);
  return _mm256_srli_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(128 + (16 << 8))), 8);
}

// The 2x2 sums of eight pixels of two rows: four blocks, as B4 G4 R4 X4
// words, blocks 0 1 in the low lane and 2 3 in the high one.
SLOTREC_AVX2 inline __m256i block_sums(__m256i top, __m256i bottom) {
  const __m256i zero = _mm256_setzero_si256();
  __m256i low = _mm256_add_epi16(_mm256_unpacklo_epi8(top, zero), _mm256_unpacklo_epi8(bottom, zero));
  __m256i high = _mm256_add_epi16(_mm256_unpackhi_epi8(top, zero), _mm256_unpackhi_epi8(bottom, zero));
  return _mm256_add_epi16(_mm256_unpacklo_epi64(low, high), _mm256_unpackhi_epi64(low, high));
}

// One chroma channel of eight blocks, in block order.
SLOTREC_AVX2 inline __m256i chroma8(__m256i sums_first, __m256i sums_second, __m256i weights) {
  __m256i c = _mm256_hadd_epi32(_mm256_madd_epi16(sums_first, weights),
                                _mm256_madd_epi16(sums_second, weights));
  c = _mm256_srai_epi32(_mm256_add_epi32(c, _mm256_set1_epi32(512 + (128 << 10))), 10);
  return _mm256_permutevar8x32_epi32(c, _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7));
}

template <int Bpp>
SLOTREC_AVX2 void pair_avx2(const std::uint8_t* top, const std::uint8_t* bottom, int width,
                            std::uint8_t* y_top, std::uint8_t* y_bottom, std::uint8_t* u,
                            std::uint8_t* v, std::uint8_t* changed) {
  const __m256i u_weights = _mm256_setr_epi16(112, -74, -38, 0, 112, -74, -38, 0, 112, -74, -38, 0, 112, -74, -38, 0);
  const __m256i v_weights = _mm256_setr_epi16(-18, -94, 112, 0, -18, -94, 112, 0, -18, -94, 112, 0, -18, -94, 112, 0);
  const __m256i interleave = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  // Three-byte rows: the loads reach four bytes past the group, so the
  // last group or two go to the reference.
  const int simd_end = Bpp == 4 ? width - width % kGroup : (width >= 18 ? (width - 2) / kGroup * kGroup : 0);
  int x = 0;
  for (; x < simd_end; x += kGroup) {
    __m256i t0, t1, b0, b1;
    load16<Bpp>(top + x * Bpp, &t0, &t1);
    load16<Bpp>(bottom + x * Bpp, &b0, &b1);

    __m256i luma_top = _mm256_packs_epi32(luma8(t0), luma8(t1));
    __m256i luma_bottom = _mm256_packs_epi32(luma8(b0), luma8(b1));
    __m256i lumas = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(luma_top, luma_bottom), interleave);

    __m256i sums0 = block_sums(t0, b0);
    __m256i sums1 = block_sums(t1, b1);
    __m256i uv = _mm256_packs_epi32(chroma8(sums0, sums1, u_weights), chroma8(sums0, sums1, v_weights));
    uv = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(uv, uv), interleave);
    __m128i chromas = _mm256_castsi256_si128(uv);  // 8 bytes of U, then 8 of V

    if (changed != nullptr) {
      __m256i old_lumas = load_lanes(y_top + x, y_bottom + x);
      __m128i old_chromas = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + x / 2)),
                                               _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + x / 2)));
      __m256i differs = _mm256_xor_si256(old_lumas, lumas);
      __m128i chroma_differs = _mm_xor_si128(old_chromas, chromas);
      if (!_mm256_testz_si256(differs, differs) || !_mm_testz_si128(chroma_differs, chroma_differs))
        changed[x / kGroup] = 1;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y_top + x), _mm256_castsi256_si128(lumas));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y_bottom + x), _mm256_extracti128_si256(lumas, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(u + x / 2), chromas);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(v + x / 2), _mm_srli_si128(chromas, 8));
  }
  pair_reference(top, bottom, Bpp, x, width, y_top, y_bottom, u, v, changed);
}
#endif

// One pair of rows, all columns: the reference or a vector version.
using PairConverter = void (*)(const std::uint8_t* top, const std::uint8_t* bottom, int width,
                               std::uint8_t* y_top, std::uint8_t* y_bottom, std::uint8_t* u, std::uint8_t* v,
                               std::uint8_t* changed);

template <int Bpp>
void pair_reference_all(const std::uint8_t* top, const std::uint8_t* bottom, int width, std::uint8_t* y_top,
                        std::uint8_t* y_bottom, std::uint8_t* u, std::uint8_t* v, std::uint8_t* changed) {
  pair_reference(top, bottom, Bpp, 0, width, y_top, y_bottom, u, v, changed);
}

bool cpu_has_ssse3() {
#if SLOTREC_HAVE_X86
  static const bool has = __builtin_cpu_supports("ssse3") != 0;
  return has;
#else
  return false;
#endif
}

bool cpu_has_avx2() {
#if SLOTREC_HAVE_X86
  static const bool has = __builtin_cpu_supports("avx2") != 0;
  return has;
#else
  return false;
#endif
}

// The version `impl` names, or the reference when this processor cannot run
// it; kAuto takes the fastest one it can.
template <int Bpp>
PairConverter pair_converter(Impl impl) {
#if SLOTREC_HAVE_X86
  if ((impl == Impl::kAvx2 || impl == Impl::kAuto) && cpu_has_avx2()) return pair_avx2<Bpp>;
  if ((impl == Impl::kSsse3 || impl == Impl::kAuto) && cpu_has_ssse3()) return pair_ssse3<Bpp>;
#else
  (void)impl;
#endif
  return pair_reference_all<Bpp>;
}

}  // namespace

bool impl_available(Impl impl) {
  switch (impl) {
    case Impl::kAvx2:
      return cpu_has_avx2();
    case Impl::kSsse3:
      return cpu_has_ssse3();
    default:
      return true;
  }
}

void bgr_to_i420(const std::uint8_t* src, std::ptrdiff_t src_stride, int bytes_per_pixel, int width,
                 int rows, const Target& target, std::uint8_t* changed, Impl impl) {
  const PairConverter convert = bytes_per_pixel == 4 ? pair_converter<4>(impl) : pair_converter<3>(impl);
  for (int row = 0; row + 1 < rows; row += 2) {
    const std::uint8_t* top = src + row * src_stride;
    std::uint8_t* y_top = target.y + row * target.y_stride;
    convert(top, top + src_stride, width, y_top, y_top + target.y_stride, target.u + (row / 2) * target.c_stride,
            target.v + (row / 2) * target.c_stride, changed);
  }
}

}  // namespace yuv
