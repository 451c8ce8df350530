#pragma once
// Headroom of one output channel: how far the sum of its two convolutions (the left
// input through one filter, the right input through the other) can rise above full
// scale. A pure computation on the taps at full scale 1.0, for the bank's load and the
// canceller designer; it keeps no state and never runs in the block path.
#include <cstdint>
#include <optional>

struct fftwf_plan_s;

namespace tessival {

struct ChannelHeadroom {
  double BoundDb = 0;   // sum of |taps| of both filters: no input within full scale exceeds it
  double PeakDb = 0;    // peak over frequency of |H_left(f)| + |H_right(f)|: what a
                        // full-scale sine (in phase on both inputs as needed) reaches
  double PeakCycles = 0;  // where that peak lies, in cycles per sample (0 to 0.5)
};

// Both figures in dB (20 log10; minus infinity for silent filters). The spectrum is
// sampled on a grid at least twice, and for filters up to a million taps four times,
// finer than the filter's length. Empty when FFTW cannot get its memory or plan.
std::optional<ChannelHeadroom> MeasureHeadroom(const float* left, const float* right,
                                               int32_t taps);

// The same for many channels of one length, as a bank's load measures them: the
// transform is planned and its buffers taken once (planning a long transform takes
// longer than running it).
class HeadroomMeter {
 public:
  explicit HeadroomMeter(int32_t taps);
  ~HeadroomMeter();
  HeadroomMeter(const HeadroomMeter&) = delete;
  HeadroomMeter& operator=(const HeadroomMeter&) = delete;

  // The figures of one channel of `taps` taps a side; empty when the meter could not
  // get its memory or plan.
  std::optional<ChannelHeadroom> Measure(const float* left, const float* right);

 private:
  int32_t Taps;
  int64_t Points = 0;                // n, the grid
  float* Frame = nullptr;            // the n samples transformed: a filter, then zeros
  float (*Spectra[2])[2] = {};       // n / 2 + 1 bins of each filter
  float* Sums = nullptr;             // |L| + |R| at each bin
  ::fftwf_plan_s* Plan = nullptr;
};

}  // namespace tessival
