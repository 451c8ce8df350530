#include "engine/Kernels.h"

#include <algorithm>
#include <type_traits>

// GCC 12 takes the undefined pass-through operands inside the AVX-512 intrinsics for
// uninitialised values (its bug 105593); the header's lines carry the warning.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

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

// Both channels of a device from one pass over the input spectra; each result equals
// MultiplyAdd2Scalar's bit for bit.
void MultiplyAdd2PairScalar(const float* __restrict x0, const float* __restrict x1, const float* __restrict a0,
                            const float* __restrict a1, const float* __restrict b0, const float* __restrict b1,
                            float* __restrict dstA, float* __restrict dstB, int32_t bins) {
  MultiplyAdd2Scalar(x0, a0, x1, a1, dstA, bins);
  MultiplyAdd2Scalar(x0, b0, x1, b1, dstB, bins);
}

// Bins first .. last - 1 of the two real spectra carried by one complex spectrum z of n
// points (left input real, right imaginary): X0(k) = (Z(k) + conj Z(n - k)) / 2 and
// X1(k) = (Z(k) - conj Z(n - k)) / 2i.
inline void UnpackBins(const float* z, float* x0, float* x1, int32_t n, int32_t first, int32_t last) {
  for (int32_t k = first; k < last; ++k) {
    const int32_t m = k == 0 ? 0 : n - k;
    const float ar = z[2 * k], ai = z[2 * k + 1], br = z[2 * m], bi = z[2 * m + 1];
    x0[2 * k] = 0.5f * (ar + br);
    x0[2 * k + 1] = 0.5f * (ai - bi);
    x1[2 * k] = 0.5f * (ai + bi);
    x1[2 * k + 1] = 0.5f * -(ar - br);
  }
}

void UnpackPairScalar(const float* __restrict z, float* __restrict x0, float* __restrict x1, int32_t n) {
  UnpackBins(z, x0, x1, n, 0, n / 2 + 1);
}

// The largest magnitude of one side's scaled values, kept by every conversion loop.
// The held samples are counted in a second pass, only over a side whose peak reached
// the nearer end of the range (a block that clips).
struct Extremes {
  float Peak = 0.0f;
};

inline void Track(Extremes& e, float v) {  // a NaN changes nothing
  const float magnitude = v < 0 ? -v : v;
  if (magnitude > e.Peak) e.Peak = magnitude;
}

template <bool Wide>
inline bool Saturates(float v) {
  return Wide ? Saturates32(v) : Saturates16(v);
}

template <bool Wide>
int32_t CountSaturated(const float* x, float scale, int32_t n) {
  int32_t count = 0;
  for (int32_t j = 0; j < n; ++j) count += Saturates<Wide>(x[j] * scale);
  return count;
}

using CountFn = int32_t (*)(const float* x, float scale, int32_t n);

// The levels of a whole call from the extremes its loops kept; `count` is the set's
// own counting pass.
template <bool Wide>
void FinishLevels(const float* l, float ls, const float* r, float rs, int32_t n, const Extremes (&e)[2],
                  ConversionLevels& levels, CountFn count) {
  const float* side[2] = {l, r};
  const float scale[2] = {ls, rs};
  const float nearerEnd = Wide ? 2147483648.0f : 32767.5f;
  for (int s = 0; s < 2; ++s) {
    levels.Peak[s] = e[s].Peak;
    levels.Saturated[s] = side[s] && e[s].Peak >= nearerEnd ? count(side[s], scale[s], n) : 0;
  }
}

template <bool Wide>
using Sample = std::conditional_t<Wide, int32_t, int16_t>;

template <bool Wide>
inline Sample<Wide> Round(float v) {
  if constexpr (Wide) {
    return RoundToInt32(v);
  } else {
    return RoundToInt16(v);
  }
}

// Interleaved samples of l (and r, else zeros) times their gains, the extremes kept.
template <bool Wide>
void ConvertPlain(const float* l, float ls, const float* r, float rs, Sample<Wide>* out, int32_t n,
                  Extremes (&e)[2]) {
  for (int32_t j = 0; j < n; ++j) {
    const float a = l[j] * ls;
    Track(e[0], a);
    out[2 * j] = Round<Wide>(a);
    if (r) {
      const float b = r[j] * rs;
      Track(e[1], b);
      out[2 * j + 1] = Round<Wide>(b);
    } else {
      out[2 * j + 1] = 0;
    }
  }
}

void ToInt16Scalar(const float* l, float ls, const float* r, float rs, int16_t* out, int32_t n,
                   ConversionLevels& levels) {
  Extremes e[2];
  ConvertPlain<false>(l, ls, r, rs, out, n, e);
  FinishLevels<false>(l, ls, r, rs, n, e, levels, CountSaturated<false>);
}

void ToInt32Scalar(const float* l, float ls, const float* r, float rs, int32_t* out, int32_t n,
                   ConversionLevels& levels) {
  Extremes e[2];
  ConvertPlain<true>(l, ls, r, rs, out, n, e);
  FinishLevels<true>(l, ls, r, rs, n, e, levels, CountSaturated<true>);
}

inline uint32_t Magnitude(int32_t v) { return v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v); }

// The peaks of n interleaved frames, left (even samples) and right (odd ones).
template <typename Sample>
void FramePeaks(const Sample* in, int32_t n, uint32_t peak[2]) {
  uint32_t a = 0, b = 0;
  for (int32_t j = 0; j < n; ++j) {
    a = std::max(a, Magnitude(in[2 * j]));
    b = std::max(b, Magnitude(in[2 * j + 1]));
  }
  peak[0] = a;
  peak[1] = b;
}

void FromInt16Scalar(const int16_t* __restrict in, float* __restrict l, float* __restrict r, int32_t n,
                     uint32_t peak[2]) {
  for (int32_t j = 0; j < n; ++j) {
    l[j] = in[2 * j];
    r[j] = in[2 * j + 1];
  }
  FramePeaks(in, n, peak);
}

void FromInt32Scalar(const int32_t* __restrict in, float* __restrict l, float* __restrict r, int32_t n,
                     uint32_t peak[2]) {
  for (int32_t j = 0; j < n; ++j) {
    l[j] = static_cast<float>(in[2 * j]);
    r[j] = static_cast<float>(in[2 * j + 1]);
  }
  FramePeaks(in, n, peak);
}

// The capture's samples to floats as they lie, frames still interleaved.
void Widen16Scalar(const int16_t* __restrict in, float* __restrict out, int32_t n, uint32_t peak[2]) {
  for (int32_t i = 0; i < n; ++i) out[i] = in[i];
  FramePeaks(in, n / 2, peak);
}

void Widen32Scalar(const int32_t* __restrict in, float* __restrict out, int32_t n, uint32_t peak[2]) {
  for (int32_t i = 0; i < n; ++i) out[i] = static_cast<float>(in[i]);
  FramePeaks(in, n / 2, peak);
}

void ZipScalar(const float* __restrict l, const float* __restrict r, float* __restrict frames, int32_t n) {
  for (int32_t j = 0; j < n; ++j) {
    frames[2 * j] = l[j];
    frames[2 * j + 1] = r[j];
  }
}

void UnzipScalar(const float* __restrict frames, float* __restrict l, float* __restrict r, int32_t n) {
  for (int32_t j = 0; j < n; ++j) {
    l[j] = frames[2 * j];
    r[j] = frames[2 * j + 1];
  }
}

// ---- AVX2 / FMA versions: four complex bins or eight frames per step ----
// Each clears the upper halves of the vector registers before its plain tail: GCC
// leaves them dirty across a tail call, and FFTW's SSE2 code that runs next then
// pays for every instruction (measured: the inverse transforms 1.5x slower).

__attribute__((target("avx2,fma"))) inline void MultiplyAdd2Step(const float* x0, const float* h0, const float* x1,
                                                                const float* h1, float* dst) {
  const __m256 a = _mm256_loadu_ps(x0), b = _mm256_loadu_ps(h0);
  const __m256 c = _mm256_loadu_ps(x1), d = _mm256_loadu_ps(h1);
  // Real parts of the filters times both parts of the inputs...
  __m256 p = _mm256_mul_ps(a, _mm256_moveldup_ps(b));
  p = _mm256_fmadd_ps(c, _mm256_moveldup_ps(d), p);
  // ...and imaginary parts times the swapped inputs, subtracted in even lanes, added in odd.
  __m256 q = _mm256_mul_ps(_mm256_permute_ps(a, 0xB1), _mm256_movehdup_ps(b));
  q = _mm256_fmadd_ps(_mm256_permute_ps(c, 0xB1), _mm256_movehdup_ps(d), q);
  _mm256_storeu_ps(dst, _mm256_addsub_ps(p, q));
}

__attribute__((target("avx2,fma"))) void MultiplyAdd2Avx2(
    const float* __restrict x0, const float* __restrict h0, const float* __restrict x1,
    const float* __restrict h1, float* __restrict dst, int32_t bins) {
  int32_t i = 0;
  for (; i + 4 <= bins; i += 4) MultiplyAdd2Step(x0 + 2 * i, h0 + 2 * i, x1 + 2 * i, h1 + 2 * i, dst + 2 * i);
  _mm256_zeroupper();  // the plain tail and whatever runs next may be legacy SSE
  MultiplyAdd2Scalar(x0 + 2 * i, h0 + 2 * i, x1 + 2 * i, h1 + 2 * i, dst + 2 * i, bins - i);
}

__attribute__((target("avx2,fma"))) inline void MultiplyAdd2PairStep(const float* x0, const float* x1,
                                                                    const float* a0, const float* a1,
                                                                    const float* b0, const float* b1, float* dstA,
                                                                    float* dstB) {
  const __m256 x = _mm256_loadu_ps(x0), y = _mm256_loadu_ps(x1);
  const __m256 xs = _mm256_permute_ps(x, 0xB1), ys = _mm256_permute_ps(y, 0xB1);
  for (int side = 0; side < 2; ++side) {
    const __m256 h = _mm256_loadu_ps(side ? b0 : a0), g = _mm256_loadu_ps(side ? b1 : a1);
    __m256 p = _mm256_mul_ps(x, _mm256_moveldup_ps(h));
    p = _mm256_fmadd_ps(y, _mm256_moveldup_ps(g), p);
    __m256 q = _mm256_mul_ps(xs, _mm256_movehdup_ps(h));
    q = _mm256_fmadd_ps(ys, _mm256_movehdup_ps(g), q);
    _mm256_storeu_ps(side ? dstB : dstA, _mm256_addsub_ps(p, q));
  }
}

// As MultiplyAdd2Avx2 for both channels of a device: the input spectra are read once
// for the two, and each result equals MultiplyAdd2Avx2's bit for bit.
__attribute__((target("avx2,fma"))) void MultiplyAdd2PairAvx2(
    const float* __restrict x0, const float* __restrict x1, const float* __restrict a0,
    const float* __restrict a1, const float* __restrict b0, const float* __restrict b1,
    float* __restrict dstA, float* __restrict dstB, int32_t bins) {
  int32_t i = 0;
  for (; i + 4 <= bins; i += 4)
    MultiplyAdd2PairStep(x0 + 2 * i, x1 + 2 * i, a0 + 2 * i, a1 + 2 * i, b0 + 2 * i, b1 + 2 * i, dstA + 2 * i,
                         dstB + 2 * i);
  _mm256_zeroupper();  // the tails may run legacy SSE
  MultiplyAdd2Avx2(x0 + 2 * i, a0 + 2 * i, x1 + 2 * i, a1 + 2 * i, dstA + 2 * i, bins - i);
  MultiplyAdd2Avx2(x0 + 2 * i, b0 + 2 * i, x1 + 2 * i, b1 + 2 * i, dstB + 2 * i, bins - i);
}

// Four bins a step; bin k meets bin n - k, read backwards. The same operations as the
// plain loop, so the same results bit for bit.
__attribute__((target("avx2,fma"))) void UnpackPairAvx2(const float* __restrict z, float* __restrict x0,
                                                        float* __restrict x1, int32_t n) {
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256 oddSign = _mm256_castsi256_ps(_mm256_setr_epi32(0, INT32_MIN, 0, INT32_MIN, 0, INT32_MIN, 0, INT32_MIN));
  int32_t k = 1;
  for (; k + 4 <= n / 2; k += 4) {
    const __m256 a = _mm256_loadu_ps(z + 2 * k);
    // Bins n - k - 3 .. n - k, turned round to run n - k .. n - k - 3.
    const __m256 b = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_loadu_ps(z + 2 * (n - k - 3))), 0x1B));
    const __m256 sum = _mm256_add_ps(a, b), diff = _mm256_sub_ps(a, b);
    // x0 = (sum.re, diff.im) / 2; x1 = (sum.im, -diff.re) / 2.
    _mm256_storeu_ps(x0 + 2 * k, _mm256_mul_ps(half, _mm256_blend_ps(sum, diff, 0xAA)));
    const __m256 swapped = _mm256_blend_ps(_mm256_permute_ps(sum, 0xB1), _mm256_permute_ps(diff, 0xB1), 0xAA);
    _mm256_storeu_ps(x1 + 2 * k, _mm256_mul_ps(half, _mm256_xor_ps(swapped, oddSign)));
  }
  _mm256_zeroupper();  // the plain loop may be legacy SSE
  UnpackBins(z, x0, x1, n, k, n / 2 + 1);
  UnpackBins(z, x0, x1, n, 0, 1);
}

__attribute__((target("avx2,fma"))) inline __m256 ScaledNoNaN(const float* p, __m256 scale) {
  const __m256 v = _mm256_mul_ps(_mm256_loadu_ps(p), scale);
  return _mm256_and_ps(v, _mm256_cmp_ps(v, v, _CMP_ORD_Q));
}

// The running peak of one side, eight values a step.
struct Extremes8 {
  __m256 Peak;
};

__attribute__((target("avx2,fma"))) inline Extremes8 NoExtremes8() { return {_mm256_setzero_ps()}; }

__attribute__((target("avx2,fma"))) inline void Track8(Extremes8& e, __m256 v) {
  e.Peak = _mm256_max_ps(e.Peak, _mm256_andnot_ps(_mm256_set1_ps(-0.0f), v));
}

__attribute__((target("avx2,fma"))) inline float HorizontalMax(__m256 v) {
  __m128 m = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  m = _mm_max_ps(m, _mm_movehl_ps(m, m));
  return _mm_cvtss_f32(_mm_max_ss(m, _mm_shuffle_ps(m, m, 1)));
}

__attribute__((target("avx2,fma"))) inline void Merge8(Extremes& e, const Extremes8& v) {
  e.Peak = std::max(e.Peak, HorizontalMax(v.Peak));
}

template <bool HasRight>
__attribute__((target("avx2,fma"))) void Convert16Avx2(const float* l, float ls, const float* r, float rs,
                                                        int16_t* out, int32_t n, Extremes (&e)[2]) {
  const __m256 sl = _mm256_set1_ps(ls), sr = _mm256_set1_ps(rs);
  const __m256 lo = _mm256_set1_ps(-32768.0f), hi = _mm256_set1_ps(32767.0f);
  Extremes8 el = NoExtremes8(), er = NoExtremes8();
  int32_t j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256 vl = ScaledNoNaN(l + j, sl);
    Track8(el, vl);
    const __m256i il = _mm256_cvtps_epi32(_mm256_min_ps(_mm256_max_ps(vl, lo), hi));
    __m256i ir = _mm256_setzero_si256();
    if constexpr (HasRight) {
      const __m256 vr = ScaledNoNaN(r + j, sr);
      Track8(er, vr);
      ir = _mm256_cvtps_epi32(_mm256_min_ps(_mm256_max_ps(vr, lo), hi));
    }
    // Within each 128-bit lane: l0 r0 l1 r1 | l2 r2 l3 r3, packed back in frame order.
    const __m256i a = _mm256_unpacklo_epi32(il, ir), b = _mm256_unpackhi_epi32(il, ir);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * j), _mm256_packs_epi32(a, b));
  }
  Merge8(e[0], el);
  if constexpr (HasRight) Merge8(e[1], er);
  _mm256_zeroupper();  // the plain tail and whatever runs next may be legacy SSE
  ConvertPlain<false>(l + j, ls, HasRight ? r + j : nullptr, rs, out + 2 * j, n - j, e);
}

__attribute__((target("avx2,fma"))) inline __m256i ToInt32x8(__m256 v) {
  // 2^31 and above saturate; below -2^31 clamps; the rest rounds half to even.
  const __m256 top = _mm256_set1_ps(2147483648.0f);
  const __m256 over = _mm256_cmp_ps(v, top, _CMP_GE_OQ);
  const __m256i i = _mm256_cvtps_epi32(_mm256_max_ps(v, _mm256_set1_ps(-2147483648.0f)));
  return _mm256_blendv_epi8(i, _mm256_set1_epi32(INT32_MAX), _mm256_castps_si256(over));
}

template <bool HasRight>
__attribute__((target("avx2,fma"))) void Convert32Avx2(const float* l, float ls, const float* r, float rs,
                                                        int32_t* out, int32_t n, Extremes (&e)[2]) {
  const __m256 sl = _mm256_set1_ps(ls), sr = _mm256_set1_ps(rs);
  Extremes8 el = NoExtremes8(), er = NoExtremes8();
  int32_t j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256 vl = ScaledNoNaN(l + j, sl);
    Track8(el, vl);
    const __m256i il = ToInt32x8(vl);
    __m256i ir = _mm256_setzero_si256();
    if constexpr (HasRight) {
      const __m256 vr = ScaledNoNaN(r + j, sr);
      Track8(er, vr);
      ir = ToInt32x8(vr);
    }
    const __m256i a = _mm256_unpacklo_epi32(il, ir), b = _mm256_unpackhi_epi32(il, ir);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * j), _mm256_permute2x128_si256(a, b, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * j + 8), _mm256_permute2x128_si256(a, b, 0x31));
  }
  Merge8(e[0], el);
  if constexpr (HasRight) Merge8(e[1], er);
  _mm256_zeroupper();  // the plain tail and whatever runs next may be legacy SSE
  ConvertPlain<true>(l + j, ls, HasRight ? r + j : nullptr, rs, out + 2 * j, n - j, e);
}

// Peaks kept in eight lanes that alternate left and right, stored before the upper
// halves are cleared, then joined with the plain tail's `peak`.
struct Lanes {
  alignas(32) uint32_t v[8];
};

__attribute__((target("avx2,fma"))) inline Lanes StoreLanes(__m256i lanes) {
  Lanes l;
  _mm256_store_si256(reinterpret_cast<__m256i*>(l.v), lanes);
  return l;
}

inline void JoinPeaks(const Lanes& l, uint32_t peak[2]) {
  peak[0] = std::max({peak[0], l.v[0], l.v[2], l.v[4], l.v[6]});
  peak[1] = std::max({peak[1], l.v[1], l.v[3], l.v[5], l.v[7]});
}

__attribute__((target("avx2,fma"))) void FromInt16Avx2(const int16_t* __restrict in, float* __restrict l,
                                                       float* __restrict r, int32_t n, uint32_t peak[2]) {
  __m256i most = _mm256_setzero_si256();  // 16-bit magnitudes: |-32768| is 32768 unsigned
  int32_t j = 0;
  for (; j + 8 <= n; j += 8) {
    // One 32-bit lane per frame: left in the low half, right in the high half.
    const __m256i f = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 2 * j));
    most = _mm256_max_epu16(most, _mm256_abs_epi16(f));
    _mm256_storeu_ps(l + j, _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_slli_epi32(f, 16), 16)));
    _mm256_storeu_ps(r + j, _mm256_cvtepi32_ps(_mm256_srai_epi32(f, 16)));
  }
  // The left words and the right words of `most` as 32-bit lanes; the low and the high
  // frames of each half interleaved, l r l r, and joined, so that every frame counts.
  const __m256i left = _mm256_and_si256(most, _mm256_set1_epi32(0xFFFF)), right = _mm256_srli_epi32(most, 16);
  const Lanes lanes = StoreLanes(
      _mm256_max_epu32(_mm256_unpacklo_epi32(left, right), _mm256_unpackhi_epi32(left, right)));
  _mm256_zeroupper();  // the plain tail and whatever runs next may be legacy SSE
  FromInt16Scalar(in + 2 * j, l + j, r + j, n - j, peak);
  JoinPeaks(lanes, peak);
}

__attribute__((target("avx2,fma"))) void FromInt32Avx2(const int32_t* __restrict in, float* __restrict l,
                                                       float* __restrict r, int32_t n, uint32_t peak[2]) {
  const __m256i split = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  __m256i most = _mm256_setzero_si256();
  int32_t j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 2 * j));
    const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 2 * j + 8));
    most = _mm256_max_epu32(most, _mm256_max_epu32(_mm256_abs_epi32(x), _mm256_abs_epi32(y)));
    // l0 l1 l2 l3 r0 r1 r2 r3 and l4 .. l7 r4 .. r7, then the halves regrouped.
    const __m256i a = _mm256_permutevar8x32_epi32(x, split), b = _mm256_permutevar8x32_epi32(y, split);
    _mm256_storeu_ps(l + j, _mm256_cvtepi32_ps(_mm256_permute2x128_si256(a, b, 0x20)));
    _mm256_storeu_ps(r + j, _mm256_cvtepi32_ps(_mm256_permute2x128_si256(a, b, 0x31)));
  }
  const Lanes lanes = StoreLanes(most);
  _mm256_zeroupper();  // the plain tail and whatever runs next may be legacy SSE
  FromInt32Scalar(in + 2 * j, l + j, r + j, n - j, peak);
  JoinPeaks(lanes, peak);
}

__attribute__((target("avx2,fma"))) void Widen16Avx2(const int16_t* __restrict in, float* __restrict out,
                                                     int32_t n, uint32_t peak[2]) {
  __m256i most = _mm256_setzero_si256();
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256i v = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)));
    most = _mm256_max_epu32(most, _mm256_abs_epi32(v));
    _mm256_storeu_ps(out + i, _mm256_cvtepi32_ps(v));
  }
  const Lanes lanes = StoreLanes(most);
  _mm256_zeroupper();
  Widen16Scalar(in + i, out + i, n - i, peak);
  JoinPeaks(lanes, peak);
}

__attribute__((target("avx2,fma"))) void Widen32Avx2(const int32_t* __restrict in, float* __restrict out,
                                                     int32_t n, uint32_t peak[2]) {
  __m256i most = _mm256_setzero_si256();
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    most = _mm256_max_epu32(most, _mm256_abs_epi32(v));
    _mm256_storeu_ps(out + i, _mm256_cvtepi32_ps(v));
  }
  const Lanes lanes = StoreLanes(most);
  _mm256_zeroupper();
  Widen32Scalar(in + i, out + i, n - i, peak);
  JoinPeaks(lanes, peak);
}

__attribute__((target("avx2,fma"))) void ZipAvx2(const float* __restrict l, const float* __restrict r,
                                                 float* __restrict frames, int32_t n) {
  int32_t j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256 a = _mm256_loadu_ps(l + j), b = _mm256_loadu_ps(r + j);
    // Within each 128-bit lane: l0 r0 l1 r1 | l4 r4 l5 r5, and l2 r2 l3 r3 | l6 r6 l7 r7.
    const __m256 lo = _mm256_unpacklo_ps(a, b), hi = _mm256_unpackhi_ps(a, b);
    _mm256_storeu_ps(frames + 2 * j, _mm256_permute2f128_ps(lo, hi, 0x20));
    _mm256_storeu_ps(frames + 2 * j + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
  }
  _mm256_zeroupper();
  ZipScalar(l + j, r + j, frames + 2 * j, n - j);
}

__attribute__((target("avx2,fma"))) void UnzipAvx2(const float* __restrict frames, float* __restrict l,
                                                   float* __restrict r, int32_t n) {
  const __m256i split = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  int32_t j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256 a = _mm256_permutevar8x32_ps(_mm256_loadu_ps(frames + 2 * j), split);
    const __m256 b = _mm256_permutevar8x32_ps(_mm256_loadu_ps(frames + 2 * j + 8), split);
    _mm256_storeu_ps(l + j, _mm256_permute2f128_ps(a, b, 0x20));
    _mm256_storeu_ps(r + j, _mm256_permute2f128_ps(a, b, 0x31));
  }
  _mm256_zeroupper();
  UnzipScalar(frames + 2 * j, l + j, r + j, n - j);
}

// The counting pass of a block that clips, eight values a step: each lane subtracts the
// all-ones mask of a held value.
template <bool Wide>
__attribute__((target("avx2,fma"))) int32_t CountSaturatedAvx2(const float* x, float scale, int32_t n) {
  const __m256 s = _mm256_set1_ps(scale);
  const __m256 hi = _mm256_set1_ps(Wide ? 2147483648.0f : 32767.5f);
  const __m256 lo = _mm256_set1_ps(Wide ? -2147483648.0f : -32768.5f);
  __m256i lanes = _mm256_setzero_si256();
  int32_t j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256 v = _mm256_mul_ps(_mm256_loadu_ps(x + j), s);
    const __m256 held = _mm256_or_ps(_mm256_cmp_ps(v, hi, _CMP_GE_OQ), _mm256_cmp_ps(v, lo, _CMP_LT_OQ));
    lanes = _mm256_sub_epi32(lanes, _mm256_castps_si256(held));
  }
  __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(lanes), _mm256_extracti128_si256(lanes, 1));
  sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0x4E));
  sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0xB1));
  const int32_t count = _mm_cvtsi128_si32(sum);
  _mm256_zeroupper();
  return count + CountSaturated<Wide>(x + j, scale, n - j);
}

void ToInt16Avx2(const float* l, float ls, const float* r, float rs, int16_t* out, int32_t n,
                 ConversionLevels& levels) {
  Extremes e[2];
  r ? Convert16Avx2<true>(l, ls, r, rs, out, n, e) : Convert16Avx2<false>(l, ls, r, rs, out, n, e);
  FinishLevels<false>(l, ls, r, rs, n, e, levels, CountSaturatedAvx2<false>);
}

void ToInt32Avx2(const float* l, float ls, const float* r, float rs, int32_t* out, int32_t n,
                 ConversionLevels& levels) {
  Extremes e[2];
  r ? Convert32Avx2<true>(l, ls, r, rs, out, n, e) : Convert32Avx2<false>(l, ls, r, rs, out, n, e);
  FinishLevels<true>(l, ls, r, rs, n, e, levels, CountSaturatedAvx2<true>);
}

// ---- AVX-512 versions of the conversions: sixteen frames per step; a block that
// clips is counted by the AVX2 pass. The product-sum stays on AVX2: the wider one
// measured no faster (it is bound by memory at large sizes), and keeping it keeps the
// results of both sets identical. ----

#define TESSIVAL_AVX512 __attribute__((target("avx512f,avx512dq,avx2,fma")))

TESSIVAL_AVX512 inline __m512 ScaledNoNaN512(const float* p, __m512 scale) {
  const __m512 v = _mm512_mul_ps(_mm512_loadu_ps(p), scale);
  return _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(v, v, _CMP_ORD_Q), v);
}

struct Extremes16 {
  __m512 Peak;
};

TESSIVAL_AVX512 inline Extremes16 NoExtremes16() { return {_mm512_setzero_ps()}; }

// One instruction: the larger magnitude of the two, its sign cleared.
TESSIVAL_AVX512 inline void Track16(Extremes16& e, __m512 v) { e.Peak = _mm512_range_ps(e.Peak, v, 0x0B); }

TESSIVAL_AVX512 inline void Merge16(Extremes& e, const Extremes16& v) {
  e.Peak = std::max(e.Peak, _mm512_reduce_max_ps(v.Peak));
}

template <bool HasRight>
TESSIVAL_AVX512 void Convert16Avx512(const float* l, float ls, const float* r, float rs, int16_t* out, int32_t n,
                                     Extremes (&e)[2]) {
  const __m512 sl = _mm512_set1_ps(ls), sr = _mm512_set1_ps(rs);
  const __m512 lo = _mm512_set1_ps(-32768.0f), hi = _mm512_set1_ps(32767.0f);
  const __m512i low16 = _mm512_set1_epi32(0xFFFF);
  Extremes16 el = NoExtremes16(), er = NoExtremes16();
  int32_t j = 0;
  for (; j + 16 <= n; j += 16) {
    const __m512 vl = ScaledNoNaN512(l + j, sl);
    Track16(el, vl);
    const __m512i il = _mm512_cvtps_epi32(_mm512_min_ps(_mm512_max_ps(vl, lo), hi));
    __m512i ir = _mm512_setzero_si512();
    if constexpr (HasRight) {
      const __m512 vr = ScaledNoNaN512(r + j, sr);
      Track16(er, vr);
      ir = _mm512_cvtps_epi32(_mm512_min_ps(_mm512_max_ps(vr, lo), hi));
    }
    // A frame is one 32-bit lane: left in the low half, right in the high half.
    const __m512i frames = _mm512_or_si512(_mm512_and_si512(il, low16), _mm512_slli_epi32(ir, 16));
    _mm512_storeu_si512(out + 2 * j, frames);
  }
  Merge16(e[0], el);
  if constexpr (HasRight) Merge16(e[1], er);
  Convert16Avx2<HasRight>(l + j, ls, HasRight ? r + j : nullptr, rs, out + 2 * j, n - j, e);
}

TESSIVAL_AVX512 inline __m512i ToInt32x16(__m512 v) {
  const __mmask16 over = _mm512_cmp_ps_mask(v, _mm512_set1_ps(2147483648.0f), _CMP_GE_OQ);
  const __m512i i = _mm512_cvtps_epi32(_mm512_max_ps(v, _mm512_set1_ps(-2147483648.0f)));
  return _mm512_mask_mov_epi32(i, over, _mm512_set1_epi32(INT32_MAX));
}

template <bool HasRight>
TESSIVAL_AVX512 void Convert32Avx512(const float* l, float ls, const float* r, float rs, int32_t* out, int32_t n,
                                     Extremes (&e)[2]) {
  const __m512 sl = _mm512_set1_ps(ls), sr = _mm512_set1_ps(rs);
  const __m512i first = _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
  const __m512i second = _mm512_setr_epi32(8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
  Extremes16 el = NoExtremes16(), er = NoExtremes16();
  int32_t j = 0;
  for (; j + 16 <= n; j += 16) {
    const __m512 vl = ScaledNoNaN512(l + j, sl);
    Track16(el, vl);
    const __m512i il = ToInt32x16(vl);
    __m512i ir = _mm512_setzero_si512();
    if constexpr (HasRight) {
      const __m512 vr = ScaledNoNaN512(r + j, sr);
      Track16(er, vr);
      ir = ToInt32x16(vr);
    }
    _mm512_storeu_si512(out + 2 * j, _mm512_permutex2var_epi32(il, first, ir));
    _mm512_storeu_si512(out + 2 * j + 16, _mm512_permutex2var_epi32(il, second, ir));
  }
  Merge16(e[0], el);
  if constexpr (HasRight) Merge16(e[1], er);
  Convert32Avx2<HasRight>(l + j, ls, HasRight ? r + j : nullptr, rs, out + 2 * j, n - j, e);
}

void ToInt16Avx512(const float* l, float ls, const float* r, float rs, int16_t* out, int32_t n,
                   ConversionLevels& levels) {
  Extremes e[2];
  r ? Convert16Avx512<true>(l, ls, r, rs, out, n, e) : Convert16Avx512<false>(l, ls, r, rs, out, n, e);
  FinishLevels<false>(l, ls, r, rs, n, e, levels, CountSaturatedAvx2<false>);
}

void ToInt32Avx512(const float* l, float ls, const float* r, float rs, int32_t* out, int32_t n,
                   ConversionLevels& levels) {
  Extremes e[2];
  r ? Convert32Avx512<true>(l, ls, r, rs, out, n, e) : Convert32Avx512<false>(l, ls, r, rs, out, n, e);
  FinishLevels<true>(l, ls, r, rs, n, e, levels, CountSaturatedAvx2<true>);
}

TESSIVAL_AVX512 void FromInt16Avx512(const int16_t* __restrict in, float* __restrict l, float* __restrict r,
                                     int32_t n, uint32_t peak[2]) {
  __m512i mostL = _mm512_setzero_si512(), mostR = _mm512_setzero_si512();
  int32_t j = 0;
  for (; j + 16 <= n; j += 16) {
    const __m512i f = _mm512_loadu_si512(in + 2 * j);
    const __m512i left = _mm512_srai_epi32(_mm512_slli_epi32(f, 16), 16), right = _mm512_srai_epi32(f, 16);
    mostL = _mm512_max_epu32(mostL, _mm512_abs_epi32(left));
    mostR = _mm512_max_epu32(mostR, _mm512_abs_epi32(right));
    _mm512_storeu_ps(l + j, _mm512_cvtepi32_ps(left));
    _mm512_storeu_ps(r + j, _mm512_cvtepi32_ps(right));
  }
  const uint32_t most[2] = {_mm512_reduce_max_epu32(mostL), _mm512_reduce_max_epu32(mostR)};
  FromInt16Avx2(in + 2 * j, l + j, r + j, n - j, peak);
  peak[0] = std::max(peak[0], most[0]);
  peak[1] = std::max(peak[1], most[1]);
}

TESSIVAL_AVX512 void FromInt32Avx512(const int32_t* __restrict in, float* __restrict l, float* __restrict r,
                                     int32_t n, uint32_t peak[2]) {
  const __m512i evens = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  const __m512i odds = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
  __m512i mostL = _mm512_setzero_si512(), mostR = _mm512_setzero_si512();
  int32_t j = 0;
  for (; j + 16 <= n; j += 16) {
    const __m512i a = _mm512_loadu_si512(in + 2 * j), b = _mm512_loadu_si512(in + 2 * j + 16);
    const __m512i left = _mm512_permutex2var_epi32(a, evens, b), right = _mm512_permutex2var_epi32(a, odds, b);
    mostL = _mm512_max_epu32(mostL, _mm512_abs_epi32(left));
    mostR = _mm512_max_epu32(mostR, _mm512_abs_epi32(right));
    _mm512_storeu_ps(l + j, _mm512_cvtepi32_ps(left));
    _mm512_storeu_ps(r + j, _mm512_cvtepi32_ps(right));
  }
  const uint32_t most[2] = {_mm512_reduce_max_epu32(mostL), _mm512_reduce_max_epu32(mostR)};
  FromInt32Avx2(in + 2 * j, l + j, r + j, n - j, peak);
  peak[0] = std::max(peak[0], most[0]);
  peak[1] = std::max(peak[1], most[1]);
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

int32_t RoundToInt32(double v) {
  v = v == v ? v : 0.0;
  v = v < -2147483648.0 ? -2147483648.0 : (v > 2147483647.0 ? 2147483647.0 : v);
  return _mm_cvtsd_si32(_mm_set_sd(v));
}

const Kernels ScalarKernels{MultiplyAdd2Scalar, MultiplyAdd2PairScalar, UnpackPairScalar, ToInt16Scalar, ToInt32Scalar,
                            FromInt16Scalar, FromInt32Scalar, Widen16Scalar, Widen32Scalar, ZipScalar, UnzipScalar};
const Kernels Avx2Kernels{MultiplyAdd2Avx2, MultiplyAdd2PairAvx2, UnpackPairAvx2, ToInt16Avx2, ToInt32Avx2,
                          FromInt16Avx2, FromInt32Avx2, Widen16Avx2, Widen32Avx2, ZipAvx2, UnzipAvx2};
const Kernels Avx512Kernels{MultiplyAdd2Avx2, MultiplyAdd2PairAvx2, UnpackPairAvx2, ToInt16Avx512, ToInt32Avx512,
                            FromInt16Avx512, FromInt32Avx512, Widen16Avx2, Widen32Avx2, ZipAvx2, UnzipAvx2};

bool CpuHasAvx2() {
  __builtin_cpu_init();  // may run before the runtime has probed the CPU
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }

bool CpuHasAvx512() {
  __builtin_cpu_init();
  return CpuHasAvx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
}

namespace {
const Kernels& FastestKernels(bool allowSimd) {
  if (!allowSimd) return ScalarKernels;
  if (CpuHasAvx512()) return Avx512Kernels;
  return CpuHasAvx2() ? Avx2Kernels : ScalarKernels;
}
}  // namespace

void SelectKernels(bool allowSimd) { ActiveKernels = FastestKernels(allowSimd); }

Kernels ActiveKernels = FastestKernels(true);

}  // namespace tessival
