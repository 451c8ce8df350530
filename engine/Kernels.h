#pragma once
// The hot loops of the block path: a plain version of each, and AVX2/FMA and AVX-512
// ones picked at run time where the CPU has them. All are exposed so tests can hold
// them against each other.
#include <cstdint>

namespace tessival {

// dst = x0 * h0 + x1 * h1 over `bins` interleaved complex bins.
using MultiplyAdd2Fn = void (*)(const float* x0, const float* h0, const float* x1, const float* h1,
                                float* dst, int32_t bins);
// Both channels of a device in one pass: dstA = x0 * a0 + x1 * a1 and
// dstB = x0 * b0 + x1 * b1, each equal to MultiplyAdd2's result bit for bit.
using MultiplyAdd2PairFn = void (*)(const float* x0, const float* x1, const float* a0, const float* a1,
                                    const float* b0, const float* b1, float* dstA, float* dstB, int32_t bins);
// Splits the spectrum z of n complex points whose real parts were one real signal and
// whose imaginary parts another (n even, at least 2) into the two signals' spectra,
// n / 2 + 1 interleaved bins each, as a real forward transform of each would give them.
using UnpackPairFn = void (*)(const float* z, float* x0, float* x1, int32_t n);
// What one conversion saw of each side (0 left, 1 right), on the integer scale: the
// largest magnitude of the scaled values before rounding, and how many of them were
// held at an end of the integer range (a NaN counts as 0 for both).
struct ConversionLevels {
  float Peak[2];
  int32_t Saturated[2];
};
// Interleaves round(l[j] * ls) and round(r[j] * rs) into n stereo frames, halves to
// even, saturating (NaN gives 0), and sets `levels` for them. `r` may be null: that
// side is silent. The held samples are counted in a second pass, run only for a side
// whose peak reached the nearer end of the range.
using ToInt16Fn = void (*)(const float* l, float ls, const float* r, float rs, int16_t* out, int32_t n,
                           ConversionLevels& levels);
using ToInt32Fn = void (*)(const float* l, float ls, const float* r, float rs, int32_t* out, int32_t n,
                           ConversionLevels& levels);
// The capture's conversions also set `peak` to the largest magnitude of each channel,
// left and right, as an unsigned integer (32768 for -32768, 2^31 for INT32_MIN).
// Splits n interleaved stereo frames into the float channels l and r, values unscaled
// (a 32-bit integer becomes the nearest float).
using FromInt16Fn = void (*)(const int16_t* in, float* l, float* r, int32_t n, uint32_t peak[2]);
using FromInt32Fn = void (*)(const int32_t* in, float* l, float* r, int32_t n, uint32_t peak[2]);
// n integer samples (n even: whole frames) to floats in the same order, values unscaled
// (frames stay interleaved).
using Widen16Fn = void (*)(const int16_t* in, float* out, int32_t n, uint32_t peak[2]);
using Widen32Fn = void (*)(const int32_t* in, float* out, int32_t n, uint32_t peak[2]);
// n frames of two float channels interleaved, and split again.
using ZipFn = void (*)(const float* l, const float* r, float* frames, int32_t n);
using UnzipFn = void (*)(const float* frames, float* l, float* r, int32_t n);

struct Kernels {
  MultiplyAdd2Fn MultiplyAdd2;
  MultiplyAdd2PairFn MultiplyAdd2Pair;
  UnpackPairFn UnpackPair;
  ToInt16Fn ToInt16;
  ToInt32Fn ToInt32;
  FromInt16Fn FromInt16;
  FromInt32Fn FromInt32;
  Widen16Fn Widen16;
  Widen32Fn Widen32;
  ZipFn Zip;
  UnzipFn Unzip;
};

extern const Kernels ScalarKernels;
extern const Kernels Avx2Kernels;    // only to be called where CpuHasAvx2()
extern const Kernels Avx512Kernels;  // only to be called where CpuHasAvx512()
extern Kernels ActiveKernels;      // what the block path calls

bool CpuHasAvx2();
bool CpuHasAvx512();  // AVX-512F and DQ besides AVX2 and FMA
// Picks the fastest set the CPU runs, or the plain one.
void SelectKernels(bool allowSimd = true);

// Single-sample conversions shared by the plain loops and the dithered path.
// Nearest, halves to even, saturating; NaN gives 0.
int16_t RoundToInt16(double v);
int32_t RoundToInt32(float v);
int32_t RoundToInt32(double v);

// Whether a value rounds outside the 16- or 32-bit range, so that its conversion holds
// it at the nearer end: 32767.5 rounds (to even) to 32768 and is held; -32768.5 rounds
// to -32768 and is not. NaN is not.
inline bool Saturates16(double v) { return v >= 32767.5 || v < -32768.5; }
inline bool Saturates32(float v) { return v >= 2147483648.0f || v < -2147483648.0f; }

}  // namespace tessival
