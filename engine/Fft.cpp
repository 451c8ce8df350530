#include "engine/Fft.h"

#include "engine/Kernels.h"

#include <fftw3.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace tessival {

bool FftPlanMeasure = true;

namespace {

// Up to this length the plans run out of place: FFTW has more algorithms for them, and
// two buffers of this size still sit in a core's cache (measured: about 1.3x faster at
// 65536 points, equal at 131072, slower from 262144 on, where the second buffer costs
// cache and TLB misses).
constexpr int32_t OutOfPlaceMaxLength = 1 << 16;

// Measuring is bounded so that a first load of a huge bank stays quick.
constexpr double MeasureSecondsPerPlan = 1.5;

std::string WisdomPath() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  std::string dir;
  if (cache && *cache) {
    dir = cache;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || !*home) return {};
    dir = std::string(home) + "/.cache";
  }
  return dir + "/Tessival/fftwf-wisdom";
}

bool WisdomLoaded = false;

void LoadWisdomOnce() {
  if (WisdomLoaded) return;
  WisdomLoaded = true;
  const std::string path = WisdomPath();
  // An unreadable or foreign cache is simply empty.
  if (!path.empty() && !fftwf_import_wisdom_from_filename(path.c_str())) fftwf_forget_wisdom();
}

void SaveWisdom() {
  const std::string path = WisdomPath();
  if (path.empty()) return;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  const std::string tmp = path + ".tmp";
  // Written whole, then renamed, so a reader never sees half a file.
  if (fftwf_export_wisdom_to_filename(tmp.c_str())) {
    std::filesystem::rename(tmp, path, ec);
  }
  std::filesystem::remove(tmp, ec);
}

// Measured or estimated as the layer is set, through the wisdom cache.
template <typename Make>
fftwf_plan PlanWith(Make make, bool& planned) {
  if (!FftPlanMeasure) return make(FFTW_ESTIMATE);
  if (fftwf_plan p = make(FFTW_MEASURE | FFTW_WISDOM_ONLY)) return p;
  planned = true;
  fftwf_set_timelimit(MeasureSecondsPerPlan);
  fftwf_plan p = make(FFTW_MEASURE);
  fftwf_set_timelimit(FFTW_NO_TIMELIMIT);
  return p;
}

// A plan between `time` and `bins` (the same buffer for an in-place plan).
fftwf_plan MakePlan(bool forward, int32_t n, float* time, float* bins, bool& planned) {
  auto* spectrum = reinterpret_cast<fftwf_complex*>(bins);
  return PlanWith(
      [&](unsigned flags) {
        return forward ? fftwf_plan_dft_r2c_1d(n, time, spectrum, flags) : fftwf_plan_dft_c2r_1d(n, spectrum, time, flags);
      },
      planned);
}

// Out of place, the two input frames are transformed together, as the real and
// imaginary parts of one complex frame of interleaved samples, and the spectrum is split
// after. Measured at 32768 points: 54 us against 71 for two real transforms; at 65536,
// 121 against 165. Above, in place, the whole block measured no faster at 131072 points,
// and from 524288 on (a 4 MB frame) the complex transform takes 3x as long.

constexpr size_t HugePage = size_t{2} << 20;

}  // namespace

int32_t SpectrumFloats(int32_t order) { return (int32_t{1} << order) + 2; }

float* AllocateFftBuffer(int64_t floats) {
  // 64-byte alignment suits every SIMD width FFTW uses, so any buffer can run any plan.
  const size_t bytes = (static_cast<size_t>(floats) * sizeof(float) + 63) & ~size_t{63};
  if (bytes < HugePage) return static_cast<float*>(std::aligned_alloc(64, bytes ? bytes : 64));
  // Large buffers start on a huge page and ask for huge pages: the long transforms
  // stride across megabytes, and 4 kB pages cost a TLB miss and a fault each.
  auto* p = static_cast<float*>(std::aligned_alloc(HugePage, (bytes + HugePage - 1) & ~(HugePage - 1)));
  if (p) ::madvise(p, bytes & ~(HugePage - 1), MADV_HUGEPAGE);
  return p;
}

void FreeFftBuffer(float* buffer) { std::free(buffer); }

bool FftLayer::FftPrepare(int32_t order, float* forwardBuffer, float* inverseBuffer) {
  FftRelease();
  const int32_t n = int32_t{1} << order;
  if (FftPlanMeasure) LoadWisdomOnce();
  OutOfPlace = n <= OutOfPlaceMaxLength;
  if (OutOfPlace) {
    for (float*& s : Spectra) {
      if (!(s = AllocateFftBuffer(SpectrumFloats(order)))) {
        FftRelease();
        return false;
      }
    }
  }
  bool planned = false;
  ForwardPlan = MakePlan(true, n, forwardBuffer, OutOfPlace ? Spectra[0] : forwardBuffer, planned);
  InversePlan = MakePlan(false, n, OutOfPlace ? Spectra[1] : inverseBuffer, inverseBuffer, planned);
  if (!ForwardPlan || !InversePlan) {
    FftRelease();
    return false;
  }
  // The paired transform only speeds things up; without it the real ones serve.
  if (OutOfPlace && n >= 4 && (PairBuffer = AllocateFftBuffer(2 * int64_t{n}))) {
    auto* frame = reinterpret_cast<fftwf_complex*>(PairBuffer);
    PairPlan = PlanWith([&](unsigned flags) { return fftwf_plan_dft_1d(n, frame, frame, FFTW_FORWARD, flags); }, planned);
  }
  if (planned) SaveWisdom();
  PlanLength = n;
  PlanBins = n / 2 + 1;
  return true;
}

void FftLayer::FftRelease() {
  if (ForwardPlan) fftwf_destroy_plan(ForwardPlan);
  if (InversePlan) fftwf_destroy_plan(InversePlan);
  if (PairPlan) fftwf_destroy_plan(PairPlan);
  ForwardPlan = InversePlan = PairPlan = nullptr;
  FreeFftBuffer(PairBuffer);
  PairBuffer = nullptr;
  PlanLength = PlanBins = 0;
  for (float*& s : Spectra) {
    FreeFftBuffer(s);
    s = nullptr;
  }
  OutOfPlace = false;
}

void FftLayer::FftForward(float* buffer) {
  if (!OutOfPlace) {
    fftwf_execute_dft_r2c(ForwardPlan, buffer, reinterpret_cast<fftwf_complex*>(buffer));
    return;
  }
  fftwf_execute_dft_r2c(ForwardPlan, buffer, reinterpret_cast<fftwf_complex*>(Spectra[0]));
  std::memcpy(buffer, Spectra[0], static_cast<size_t>(PlanLength + 2) * sizeof(float));
}

void FftLayer::FftForwardPair(float* frame0, float* frame1, const float*& spectrum0, const float*& spectrum1) {
  if (!OutOfPlace) {
    FftForward(frame0);
    FftForward(frame1);
    spectrum0 = frame0;
    spectrum1 = frame1;
    return;
  }
  fftwf_execute_dft_r2c(ForwardPlan, frame0, reinterpret_cast<fftwf_complex*>(Spectra[0]));
  fftwf_execute_dft_r2c(ForwardPlan, frame1, reinterpret_cast<fftwf_complex*>(Spectra[1]));
  spectrum0 = Spectra[0];
  spectrum1 = Spectra[1];
}

float* FftLayer::FftPairFrame() { return PairPlan ? PairBuffer : nullptr; }

void FftLayer::FftForwardPairFrame(const float*& spectrum0, const float*& spectrum1) {
  fftwf_execute(PairPlan);
  ActiveKernels.UnpackPair(PairBuffer, Spectra[0], Spectra[1], PlanLength);
  spectrum0 = Spectra[0];
  spectrum1 = Spectra[1];
}

float* FftLayer::FftInverseUnscaledInto(float* spectrum, float* spare) {
  float* samples = OutOfPlace ? spare : spectrum;
  fftwf_execute_dft_c2r(InversePlan, reinterpret_cast<fftwf_complex*>(spectrum), samples);
  return samples;
}

void FftLayer::SpectrumMultiplyAdd2(const float* x0, const float* h0, const float* x1, const float* h1,
                                    float* dst) {
  ActiveKernels.MultiplyAdd2(x0, h0, x1, h1, dst, PlanBins);
}

void FftLayer::SpectrumMultiplyAdd2Pair(const float* x0, const float* x1, const float* a0, const float* a1,
                                        const float* b0, const float* b1, float* dstA, float* dstB) {
  ActiveKernels.MultiplyAdd2Pair(x0, x1, a0, a1, b0, b1, dstA, dstB, PlanBins);
}

}  // namespace tessival
