#pragma once
// The FFT layer on FFTW single precision. Only this unit knows the bin layout:
// a spectrum is L/2 + 1 complex bins, interleaved re/im, in a buffer of L + 2 floats.
// Plans are made once per bank (FftPrepare), on the main thread, never in the block path.
// Each FftLayer holds the plans of one transform length, so that an engine (or a part of
// one) can have its own; FFTW runs the plans of different layers on different threads.
#include <cstdint>

typedef struct fftwf_plan_s* fftwf_plan;

namespace tessival {

// true: plans are measured (slow the first time, then kept as wisdom in the user's
// cache folder); false: estimated at once. Tests estimate.
extern bool FftPlanMeasure;

// Floats a spectrum buffer needs for a transform of 2^order points.
int32_t SpectrumFloats(int32_t order);

// Float buffer aligned for every plan (null on out of memory); release with FreeFftBuffer.
float* AllocateFftBuffer(int64_t floats);
void FreeFftBuffer(float* buffer);

class FftLayer {
 public:
  FftLayer() = default;
  ~FftLayer() { FftRelease(); }
  FftLayer(const FftLayer&) = delete;
  FftLayer& operator=(const FftLayer&) = delete;

  // Makes the plans for 2^order points. The two buffers (SpectrumFloats each, aligned
  // by AllocateFftBuffer) are overwritten while measuring. Returns false if FFTW fails.
  bool FftPrepare(int32_t order, float* forwardBuffer, float* inverseBuffer);
  void FftRelease();

  // In place: L real samples -> packed spectrum, unscaled.
  void FftForward(float* buffer);

  // The block path's transforms, in place or out of place, whichever this length runs
  // faster at (the FFT layer decides at FftPrepare).
  // Forward transforms of two frames of L real samples. The spectra are left in the
  // frames' own buffers or in the layer's, and stay valid until the next call; the frames
  // may then be overwritten.
  void FftForwardPair(float* frame0, float* frame1, const float*& spectrum0, const float*& spectrum1);
  // Where the layer transforms both input frames at once: a buffer of L frames, left and
  // right samples interleaved (2L floats); null where it does not. Valid until FftRelease.
  float* FftPairFrame();
  // Transforms the frame of FftPairFrame (destroyed) and leaves the spectra of its left and
  // right signals as FftForwardPair does, to float rounding.
  void FftForwardPairFrame(const float*& spectrum0, const float*& spectrum1);
  // Inverse of `spectrum` (destroyed) into L real samples without 1/L (the block path
  // folds it into the output scaling), in place or into `spare` (SpectrumFloats floats);
  // returns where the samples are. `spare` is written only when the pair's spectra are
  // out of place, so one of the pair's frames may serve.
  float* FftInverseUnscaledInto(float* spectrum, float* spare);

  // dst = x0 * h0 + x1 * h1, bin by bin: both inputs' contributions in one pass.
  void SpectrumMultiplyAdd2(const float* x0, const float* h0, const float* x1, const float* h1,
                            float* dst);
  // Both channels of a device from one pass over the input spectra: dstA = x0 * a0 + x1 * a1
  // and dstB = x0 * b0 + x1 * b1, each equal to SpectrumMultiplyAdd2's result.
  void SpectrumMultiplyAdd2Pair(const float* x0, const float* x1, const float* a0, const float* a1,
                                const float* b0, const float* b1, float* dstA, float* dstB);

 private:
  fftwf_plan ForwardPlan = nullptr;
  fftwf_plan InversePlan = nullptr;
  int32_t PlanLength = 0;  // L of the current plans
  int32_t PlanBins = 0;    // L/2 + 1
  bool OutOfPlace = false;
  float* Spectra[2] = {};  // out of place: the spectra of the two input frames
  fftwf_plan PairPlan = nullptr;
  float* PairBuffer = nullptr;  // n frames, then n complex bins, in place
};

}  // namespace tessival
