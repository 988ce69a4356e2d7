// DIB rows into YUV 4:2:0. A 1920 x 1080 frame is two million pixels on
// every frame the screen moves, so besides the plain reference there is an
// AVX2 version that takes sixteen columns of two rows per round: the pixels
// are widened to 16-bit B G R X words, multiplied and summed in pairs
// (vpmaddwd) for luma, summed over each 2x2 block for chroma, and narrowed
// back. Both use the same integer arithmetic, so they agree to the byte.
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

bool cpu_has_avx2() {
#if SLOTREC_HAVE_X86
  static const bool has = __builtin_cpu_supports("avx2") != 0;
  return has;
#else
  return false;
#endif
}

}  // namespace

bool impl_available(Impl impl) { return impl != Impl::kAvx2 || cpu_has_avx2(); }

void bgr_to_i420(const std::uint8_t* src, std::ptrdiff_t src_stride, int bytes_per_pixel, int width,
                 int rows, const Target& target, std::uint8_t* changed, Impl impl) {
  const bool avx2 = (impl == Impl::kAvx2 || impl == Impl::kAuto) && cpu_has_avx2();
  for (int row = 0; row + 1 < rows; row += 2) {
    const std::uint8_t* top = src + row * src_stride;
    const std::uint8_t* bottom = top + src_stride;
    std::uint8_t* y_top = target.y + row * target.y_stride;
    std::uint8_t* y_bottom = y_top + target.y_stride;
    std::uint8_t* u = target.u + (row / 2) * target.c_stride;
    std::uint8_t* v = target.v + (row / 2) * target.c_stride;
#if SLOTREC_HAVE_X86
    if (avx2) {
      if (bytes_per_pixel == 4)
        pair_avx2<4>(top, bottom, width, y_top, y_bottom, u, v, changed);
      else
        pair_avx2<3>(top, bottom, width, y_top, y_bottom, u, v, changed);
      continue;
    }
#else
    (void)avx2;
#endif
    pair_reference(top, bottom, bytes_per_pixel, 0, width, y_top, y_bottom, u, v, changed);
  }
}

}  // namespace yuv
