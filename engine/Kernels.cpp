#include "engine/Kernels.h"

#include <immintrin.h>

namespace tessival {

namespace {

// ---- plain versions ----

void MultiplyAdd2Scalar(const float* __restrict x0, const float* __restrict h0,
                        const float* __restrict x1, const float* __restrict h1,
                        float* __restrict dst, int32_t bins) {
  for (int32_t i = 0; i < bins; ++i) {
    const float ar = x0[2 * i], ai = x0[2 * i + 1];
    const float br = h0[2 * i], bi = h0[2 * i + 1];
    const float cr = x1[2 * i], ci = x1[2 * i + 1];
    const float dr = h1[2 * i], di = h1[2 * i + 1];
    dst[2 * i] = (ar * br - ai * bi) + (cr * dr - ci * di);
    dst[2 * i + 1] = (ar * bi + ai * br) + (cr * di + ci * dr);
  }
}

void ToInt16Scalar(const float* l, float ls, const float* r, float rs, int16_t* out, int32_t n) {
  for (int32_t j = 0; j < n; ++j) {
    out[2 * j] = RoundToInt16(l[j] * ls);
    out[2 * j + 1] = r ? RoundToInt16(r[j] * rs) : 0;
  }
}

void ToInt32Scalar(const float* l, float ls, const float* r, float rs, int32_t* out, int32_t n) {
  for (int32_t j = 0; j < n; ++j) {
    out[2 * j] = RoundToInt32(l[j] * ls);
    out[2 * j + 1] = r ? RoundToInt32(r[j] * rs) : 0;
  }
}

// ---- AVX2 / FMA versions: four complex bins or eight frames per step ----

__attribute__((target("avx2,fma"))) void MultiplyAdd2Avx2(
    const float* __restrict x0, const float* __restrict h0, const float* __restrict x1,
    const float* __restrict h1, float* __restrict dst, int32_t bins) {
  int32_t i = 0;
  for (; i + 4 <= bins; i += 4) {
    const __m256 a = _mm256_loadu_ps(x0 + 2 * i), b = _mm256_loadu_ps(h0 + 2 * i);
    const __m256 c = _mm256_loadu_ps(x1 + 2 * i), d = _mm256_loadu_ps(h1 + 2 * i);
    // Real parts of the filters times both parts of the inputs...
    __m256 p = _mm256_mul_ps(a, _mm256_moveldup_ps(b));
    p = _mm256_fmadd_ps(c, _mm256_moveldup_ps(d), p);
    // ...and imaginary parts times the swapped inputs, subtracted in even lanes, added in odd.
    __m256 q = _mm256_mul_ps(_mm256_permute_ps(a, 0xB1), _mm256_movehdup_ps(b));
    q = _mm256_fmadd_ps(_mm256_permute_ps(c, 0xB1), _mm256_movehdup_ps(d), q);
    _mm256_storeu_ps(dst + 2 * i, _mm256_addsub_ps(p, q));
  }
  MultiplyAdd2Scalar(x0 + 2 * i, h0 + 2 * i, x1 + 2 * i, h1 + 2 * i, dst + 2 * i, bins - i);
}

__attribute__((target("avx2,fma"))) inline __m256 ScaledNoNaN(const float* p, __m256 scale) {
  const __m256 v = _mm256_mul_ps(_mm256_loadu_ps(p), scale);
  return _mm256_and_ps(v, _mm256_cmp_ps(v, v, _CMP_ORD_Q));
}

template <bool HasRight>
__attribute__((target("avx2,fma"))) void ToInt16Avx2Impl(const float* l, float ls, const float* r, float rs,
                                                          int16_t* out, int32_t n) {
  const __m256 sl = _mm256_set1_ps(ls), sr = _mm256_set1_ps(rs);
  const __m256 lo = _mm256_set1_ps(-32768.0f), hi = _mm256_set1_ps(32767.0f);
  int32_t j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256 vl = _mm256_min_ps(_mm256_max_ps(ScaledNoNaN(l + j, sl), lo), hi);
    const __m256i il = _mm256_cvtps_epi32(vl);
    __m256i ir = _mm256_setzero_si256();
    if constexpr (HasRight) ir = _mm256_cvtps_epi32(_mm256_min_ps(_mm256_max_ps(ScaledNoNaN(r + j, sr), lo), hi));
    // Within each 128-bit lane: l0 r0 l1 r1 | l2 r2 l3 r3, packed back in frame order.
    const __m256i a = _mm256_unpacklo_epi32(il, ir), b = _mm256_unpackhi_epi32(il, ir);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * j), _mm256_packs_epi32(a, b));
  }
  ToInt16Scalar(l + j, ls, HasRight ? r + j : nullptr, rs, out + 2 * j, n - j);
}

__attribute__((target("avx2,fma"))) inline __m256i ToInt32x8(__m256 v) {
  // 2^31 and above saturate; below -2^31 clamps; the rest rounds half to even.
  const __m256 top = _mm256_set1_ps(2147483648.0f);
  const __m256 over = _mm256_cmp_ps(v, top, _CMP_GE_OQ);
  const __m256i i = _mm256_cvtps_epi32(_mm256_max_ps(v, _mm256_set1_ps(-2147483648.0f)));
  return _mm256_blendv_epi8(i, _mm256_set1_epi32(INT32_MAX), _mm256_castps_si256(over));
}

template <bool HasRight>
__attribute__((target("avx2,fma"))) void ToInt32Avx2Impl(const float* l, float ls, const float* r, float rs,
                                                          int32_t* out, int32_t n) {
  const __m256 sl = _mm256_set1_ps(ls), sr = _mm256_set1_ps(rs);
  int32_t j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256i il = ToInt32x8(ScaledNoNaN(l + j, sl));
    __m256i ir = _mm256_setzero_si256();
    if constexpr (HasRight) ir = ToInt32x8(ScaledNoNaN(r + j, sr));
    const __m256i a = _mm256_unpacklo_epi32(il, ir), b = _mm256_unpackhi_epi32(il, ir);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * j), _mm256_permute2x128_si256(a, b, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * j + 8), _mm256_permute2x128_si256(a, b, 0x31));
  }
  ToInt32Scalar(l + j, ls, HasRight ? r + j : nullptr, rs, out + 2 * j, n - j);
}

void ToInt16Avx2(const float* l, float ls, const float* r, float rs, int16_t* out, int32_t n) {
  r ? ToInt16Avx2Impl<true>(l, ls, r, rs, out, n) : ToInt16Avx2Impl<false>(l, ls, r, rs, out, n);
}

void ToInt32Avx2(const float* l, float ls, const float* r, float rs, int32_t* out, int32_t n) {
  r ? ToInt32Avx2Impl<true>(l, ls, r, rs, out, n) : ToInt32Avx2Impl<false>(l, ls, r, rs, out, n);
}

}  // namespace

int16_t RoundToInt16(double v) {
  v = v == v ? v : 0.0;
  v = v < -32768.0 ? -32768.0 : (v > 32767.0 ? 32767.0 : v);
  return static_cast<int16_t>(_mm_cvtsd_si32(_mm_set_sd(v)));  // nearest, halves to even
}

int32_t RoundToInt32(float v) {
  if (v != v) return 0;
  if (v >= 2147483648.0f) return INT32_MAX;
  if (v <= -2147483648.0f) return INT32_MIN;
  return _mm_cvtss_si32(_mm_set_ss(v));
}

const Kernels ScalarKernels{MultiplyAdd2Scalar, ToInt16Scalar, ToInt32Scalar};
const Kernels Avx2Kernels{MultiplyAdd2Avx2, ToInt16Avx2, ToInt32Avx2};

bool CpuHasAvx2() {
  __builtin_cpu_init();  // may run before the runtime has probed the CPU
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }

void SelectKernels(bool allowSimd) { ActiveKernels = allowSimd && CpuHasAvx2() ? Avx2Kernels : ScalarKernels; }

Kernels ActiveKernels = CpuHasAvx2() ? Avx2Kernels : ScalarKernels;

}  // namespace tessival
