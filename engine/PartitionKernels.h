#pragma once
// The hot loops of the partitioned block path, beside those of Kernels.h. Its spectra
// are kept split: blocks of 8 bins, the 8 real parts then the 8 imaginary parts, so
// that the product-sum over many partitions needs no shuffles (4 fused multiply-adds
// per 8 bins and filter; measured some 2x faster than the interleaved product-sum with
// the sums kept in memory). The transforms stay FFTW's interleaved complex ones:
// unpacking after the forward one and packing before the inverse one change layouts.
// A plain version of each, and AVX2/FMA ones picked at run time.
#include <cstddef>
#include <cstdint>

namespace tessival {

constexpr int32_t SplitBlock = 8;  // bins per block of the split layout

// Blocks of the split layout that hold bins 0 .. n / 2 of an n-point real transform.
inline int32_t SplitBlocks(int32_t n) { return (n / 2 + SplitBlock) / SplitBlock; }

// The spectrum z of n complex points, whose real parts were one real signal and whose
// imaginary parts another, split into the two signals' spectra x0 and x1 (bins 0 ..
// n / 2, as real transforms give them, in the split layout; the bins after n / 2 in the
// last block are 0). n a multiple of 16.
using UnpackSplitFn = void (*)(const float* z, float* x0, float* x1, int32_t n);

// Product-sum over `partitions` partitions, block by block, of both channels of a
// device: a(b) = sum over k of x0_k * a0_k + x1_k * a1_k (b0_k, b1_k), added to what a and
// b hold when `accumulate`, else written. Partition k's spectra: x0_k = x + k * xStep,
// x1_k = x0_k + xSecond, a0_k = a0 + k * hStep and so on. b0 null: one channel only.
using MacSplitFn = void (*)(const float* x, ptrdiff_t xStep, ptrdiff_t xSecond, const float* a0, const float* a1,
                            const float* b0, const float* b1, ptrdiff_t hStep, int32_t partitions, float* a,
                            float* b, int32_t blocks, bool accumulate);

// The split spectra a and b of two real signals (bins 0 .. n / 2) into the spectrum z
// of n complex points whose inverse transform holds the first signal in its real parts
// and the second in its imaginary parts: z(k) = a(k) + i b(k), z(n - k) = conj a(k) +
// i conj b(k). b null: a silent second signal. n a multiple of 16.
using PackSplitFn = void (*)(const float* a, const float* b, float* z, int32_t n);

// dst[i] += src[i] for n floats.
using AddFn = void (*)(const float* src, float* dst, int32_t n);

struct PartitionKernels {
  UnpackSplitFn UnpackSplit;
  MacSplitFn MacSplit;
  PackSplitFn PackSplit;
  AddFn Add;
};

extern const PartitionKernels ScalarPartitionKernels;
extern const PartitionKernels Avx2PartitionKernels;  // only to be called where CpuHasAvx2()
extern PartitionKernels ActivePartitionKernels;     // what the block path calls

// Picks the fastest set the CPU runs, or the plain one.
void SelectPartitionKernels(bool allowSimd = true);

}  // namespace tessival
