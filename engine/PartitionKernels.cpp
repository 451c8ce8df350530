#include "engine/PartitionKernels.h"

#include "engine/Kernels.h"

#include <initializer_list>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

namespace tessival {

namespace {

constexpr int32_t W = SplitBlock;

// Where bin k's real part lies in the split layout (its imaginary part follows W later).
inline int32_t Re(int32_t k) { return (k / W) * 2 * W + k % W; }

// ---- plain versions ----

// Bins first .. last - 1, each from z(k) and z(n - k) (z(0) for k = 0).
inline void UnpackBins(const float* z, float* x0, float* x1, int32_t n, int32_t first, int32_t last) {
  for (int32_t k = first; k < last; ++k) {
    const int32_t m = k == 0 ? 0 : n - k;
    const float ar = z[2 * k], ai = z[2 * k + 1], br = z[2 * m], bi = z[2 * m + 1];
    x0[Re(k)] = 0.5f * (ar + br);
    x0[Re(k) + W] = 0.5f * (ai - bi);
    x1[Re(k)] = 0.5f * (ai + bi);
    x1[Re(k) + W] = 0.5f * -(ar - br);
  }
}

// The last block's bins after n / 2: zero.
inline void ClearTail(float* x0, float* x1, int32_t n) {
  for (int32_t k = n / 2 + 1; k < SplitBlocks(n) * W; ++k) x0[Re(k)] = x0[Re(k) + W] = x1[Re(k)] = x1[Re(k) + W] = 0.0f;
}

void UnpackSplitScalar(const float* z, float* x0, float* x1, int32_t n) {
  UnpackBins(z, x0, x1, n, 0, n / 2 + 1);
  ClearTail(x0, x1, n);
}

void MacSplitScalar(const float* x, ptrdiff_t xStep, ptrdiff_t xSecond, const float* a0, const float* a1,
                    const float* b0, const float* b1, ptrdiff_t hStep, int32_t partitions, float* a, float* b,
                    int32_t blocks, bool accumulate) {
  for (int32_t j = 0; j < blocks; ++j) {
    const ptrdiff_t o = ptrdiff_t{j} * 2 * W;
    for (int32_t l = 0; l < W; ++l) {
      float ar = accumulate ? a[o + l] : 0.0f, ai = accumulate ? a[o + W + l] : 0.0f;
      float br = b0 && accumulate ? b[o + l] : 0.0f, bi = b0 && accumulate ? b[o + W + l] : 0.0f;
      for (int32_t k = 0; k < partitions; ++k) {
        const float* p = x + k * xStep + o + l;
        const float x0r = p[0], x0i = p[W], x1r = p[xSecond], x1i = p[xSecond + W];
        const ptrdiff_t h = k * hStep + o + l;
        ar += x0r * a0[h] - x0i * a0[h + W] + (x1r * a1[h] - x1i * a1[h + W]);
        ai += x0r * a0[h + W] + x0i * a0[h] + (x1r * a1[h + W] + x1i * a1[h]);
        if (b0) {
          br += x0r * b0[h] - x0i * b0[h + W] + (x1r * b1[h] - x1i * b1[h + W]);
          bi += x0r * b0[h + W] + x0i * b0[h] + (x1r * b1[h + W] + x1i * b1[h]);
        }
      }
      a[o + l] = ar;
      a[o + W + l] = ai;
      if (b0) {
        b[o + l] = br;
        b[o + W + l] = bi;
      }
    }
  }
}

// Bins first .. last - 1 (1 <= first, last <= n / 2), each writing z(k) and z(n - k).
inline void PackBins(const float* a, const float* b, float* z, int32_t n, int32_t first, int32_t last) {
  for (int32_t k = first; k < last; ++k) {
    const float ar = a[Re(k)], ai = a[Re(k) + W];
    const float br = b ? b[Re(k)] : 0.0f, bi = b ? b[Re(k) + W] : 0.0f;
    z[2 * k] = ar - bi;
    z[2 * k + 1] = ai + br;
    z[2 * (n - k)] = ar + bi;
    z[2 * (n - k) + 1] = br - ai;
  }
}

// Bins 0 and n / 2, which have no partner.
inline void PackEnds(const float* a, const float* b, float* z, int32_t n) {
  for (const int32_t k : {int32_t{0}, n / 2}) {
    const float br = b ? b[Re(k)] : 0.0f, bi = b ? b[Re(k) + W] : 0.0f;
    z[2 * k] = a[Re(k)] - bi;
    z[2 * k + 1] = a[Re(k) + W] + br;
  }
}

void PackSplitScalar(const float* a, const float* b, float* z, int32_t n) {
  PackBins(a, b, z, n, 1, n / 2);
  PackEnds(a, b, z, n);
}

void AddScalar(const float* __restrict src, float* __restrict dst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) dst[i] += src[i];
}

// ---- AVX2 / FMA versions: one block of 8 bins per step; each clears the upper halves
// of the vector registers before plain code (see Kernels.cpp) ----

#define TESSIVAL_AVX2 __attribute__((target("avx2,fma")))

// 8 interleaved complex values from p into real and imaginary parts, in order.
TESSIVAL_AVX2 inline void Deinterleave(const float* p, __m256& re, __m256& im) {
  const __m256i order = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  const __m256 a = _mm256_permutevar8x32_ps(_mm256_loadu_ps(p), order);      // r0..r3 i0..i3
  const __m256 b = _mm256_permutevar8x32_ps(_mm256_loadu_ps(p + 8), order);  // r4..r7 i4..i7
  re = _mm256_permute2f128_ps(a, b, 0x20);
  im = _mm256_permute2f128_ps(a, b, 0x31);
}

// The same, for the 8 values ending at p + 16, taken backwards (the last one first).
TESSIVAL_AVX2 inline void DeinterleaveBackwards(const float* p, __m256& re, __m256& im) {
  const __m256i order = _mm256_setr_epi32(6, 4, 2, 0, 7, 5, 3, 1);
  const __m256 a = _mm256_permutevar8x32_ps(_mm256_loadu_ps(p), order);      // r3..r0 i3..i0
  const __m256 b = _mm256_permutevar8x32_ps(_mm256_loadu_ps(p + 8), order);  // r7..r4 i7..i4
  re = _mm256_permute2f128_ps(b, a, 0x20);
  im = _mm256_permute2f128_ps(b, a, 0x31);
}

TESSIVAL_AVX2 inline void Interleave(float* p, __m256 re, __m256 im) {
  const __m256 lo = _mm256_unpacklo_ps(re, im), hi = _mm256_unpackhi_ps(re, im);  // r0 i0 r1 i1 | r4 i4 r5 i5 ...
  _mm256_storeu_ps(p, _mm256_permute2f128_ps(lo, hi, 0x20));
  _mm256_storeu_ps(p + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
}

TESSIVAL_AVX2 inline __m256 Reverse(__m256 v) {
  return _mm256_permutevar8x32_ps(v, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
}

// Blocks 1 .. n / 16 - 1 whole; block 0 (whose bin 0 has no partner) and the last one
// (bin n / 2 and the tail) plainly. The same operations as the plain loop.
TESSIVAL_AVX2 void UnpackSplitAvx2(const float* z, float* x0, float* x1, int32_t n) {
  const __m256 half = _mm256_set1_ps(0.5f), minusHalf = _mm256_set1_ps(-0.5f);
  for (int32_t k = W; k + W <= n / 2; k += W) {
    __m256 ar, ai, br, bi;
    Deinterleave(z + 2 * k, ar, ai);
    DeinterleaveBackwards(z + 2 * (n - k - W + 1), br, bi);
    float* o0 = x0 + Re(k);
    float* o1 = x1 + Re(k);
    _mm256_storeu_ps(o0, _mm256_mul_ps(half, _mm256_add_ps(ar, br)));
    _mm256_storeu_ps(o0 + W, _mm256_mul_ps(half, _mm256_sub_ps(ai, bi)));
    _mm256_storeu_ps(o1, _mm256_mul_ps(half, _mm256_add_ps(ai, bi)));
    _mm256_storeu_ps(o1 + W, _mm256_mul_ps(minusHalf, _mm256_sub_ps(ar, br)));
  }
  _mm256_zeroupper();
  UnpackBins(z, x0, x1, n, 0, W);
  UnpackBins(z, x0, x1, n, n / 2, n / 2 + 1);
  ClearTail(x0, x1, n);
}

// acc(re, im) += x * h for one block.
TESSIVAL_AVX2 inline void MacBlock(__m256 xr, __m256 xi, const float* h, __m256& re, __m256& im) {
  const __m256 hr = _mm256_loadu_ps(h), hi = _mm256_loadu_ps(h + W);
  re = _mm256_fmadd_ps(xr, hr, re);
  re = _mm256_fnmadd_ps(xi, hi, re);
  im = _mm256_fmadd_ps(xr, hi, im);
  im = _mm256_fmadd_ps(xi, hr, im);
}

template <bool Pair>
TESSIVAL_AVX2 void MacSplitAvx2Impl(const float* x, ptrdiff_t xStep, ptrdiff_t xSecond, const float* a0,
                                    const float* a1, const float* b0, const float* b1, ptrdiff_t hStep,
                                    int32_t partitions, float* a, float* b, int32_t blocks, bool accumulate) {
  for (int32_t j = 0; j < blocks; ++j) {
    const ptrdiff_t o = ptrdiff_t{j} * 2 * W;
    __m256 ar = _mm256_setzero_ps(), ai = ar, br = ar, bi = ar;
    if (accumulate) {
      ar = _mm256_loadu_ps(a + o);
      ai = _mm256_loadu_ps(a + o + W);
      if (Pair) {
        br = _mm256_loadu_ps(b + o);
        bi = _mm256_loadu_ps(b + o + W);
      }
    }
    const float* p = x + o;
    ptrdiff_t h = o;
    for (int32_t k = 0; k < partitions; ++k, p += xStep, h += hStep) {
      const __m256 x0r = _mm256_loadu_ps(p), x0i = _mm256_loadu_ps(p + W);
      const __m256 x1r = _mm256_loadu_ps(p + xSecond), x1i = _mm256_loadu_ps(p + xSecond + W);
      MacBlock(x0r, x0i, a0 + h, ar, ai);
      MacBlock(x1r, x1i, a1 + h, ar, ai);
      if (Pair) {
        MacBlock(x0r, x0i, b0 + h, br, bi);
        MacBlock(x1r, x1i, b1 + h, br, bi);
      }
    }
    _mm256_storeu_ps(a + o, ar);
    _mm256_storeu_ps(a + o + W, ai);
    if (Pair) {
      _mm256_storeu_ps(b + o, br);
      _mm256_storeu_ps(b + o + W, bi);
    }
  }
  _mm256_zeroupper();
}

void MacSplitAvx2(const float* x, ptrdiff_t xStep, ptrdiff_t xSecond, const float* a0, const float* a1,
                  const float* b0, const float* b1, ptrdiff_t hStep, int32_t partitions, float* a, float* b,
                  int32_t blocks, bool accumulate) {
  b0 ? MacSplitAvx2Impl<true>(x, xStep, xSecond, a0, a1, b0, b1, hStep, partitions, a, b, blocks, accumulate)
     : MacSplitAvx2Impl<false>(x, xStep, xSecond, a0, a1, b0, b1, hStep, partitions, a, b, blocks, accumulate);
}

// Blocks 1 .. n / 16 - 1 whole, z(n - k) written backwards; block 0 and bin n / 2 plainly.
template <bool HasB>
TESSIVAL_AVX2 void PackSplitAvx2Impl(const float* a, const float* b, float* z, int32_t n) {
  for (int32_t k = W; k + W <= n / 2; k += W) {
    const __m256 ar = _mm256_loadu_ps(a + Re(k)), ai = _mm256_loadu_ps(a + Re(k) + W);
    const __m256 br = HasB ? _mm256_loadu_ps(b + Re(k)) : _mm256_setzero_ps();
    const __m256 bi = HasB ? _mm256_loadu_ps(b + Re(k) + W) : _mm256_setzero_ps();
    Interleave(z + 2 * k, _mm256_sub_ps(ar, bi), _mm256_add_ps(ai, br));
    Interleave(z + 2 * (n - k - W + 1), Reverse(_mm256_add_ps(ar, bi)), Reverse(_mm256_sub_ps(br, ai)));
  }
  _mm256_zeroupper();
  PackBins(a, b, z, n, 1, W);
  PackEnds(a, b, z, n);
}

void PackSplitAvx2(const float* a, const float* b, float* z, int32_t n) {
  b ? PackSplitAvx2Impl<true>(a, b, z, n) : PackSplitAvx2Impl<false>(a, b, z, n);
}

TESSIVAL_AVX2 void AddAvx2(const float* __restrict src, float* __restrict dst, int32_t n) {
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(dst + i, _mm256_add_ps(_mm256_loadu_ps(dst + i), _mm256_loadu_ps(src + i)));
  _mm256_zeroupper();
  AddScalar(src + i, dst + i, n - i);
}

}  // namespace

const PartitionKernels ScalarPartitionKernels{UnpackSplitScalar, MacSplitScalar, PackSplitScalar, AddScalar};
const PartitionKernels Avx2PartitionKernels{UnpackSplitAvx2, MacSplitAvx2, PackSplitAvx2, AddAvx2};

void SelectPartitionKernels(bool allowSimd) {
  ActivePartitionKernels = allowSimd && CpuHasAvx2() ? Avx2PartitionKernels : ScalarPartitionKernels;
}

PartitionKernels ActivePartitionKernels = CpuHasAvx2() ? Avx2PartitionKernels : ScalarPartitionKernels;

}  // namespace tessival
