#include "engine/Partition.h"

#include <fftw3.h>
#include <time.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "engine/Fft.h"
#include "engine/Kernels.h"
#include "engine/PartitionKernels.h"

namespace tessival {

namespace {



constexpr int32_t GroupPartitions = 8;    // product-sum: partitions summed in registers at a time
constexpr int32_t TileBlocks = 128;       // product-sum tile over groups: the sums stay in L1

// Floats of one spectrum of B + 1 bins in the split layout.
int32_t SpectrumStride(int32_t b) { return SplitBlocks(2 * b) * 2 * SplitBlock; }

float* Floats(int64_t n) {
  float* p = AllocateFftBuffer(n);
  if (p) std::memset(p, 0, static_cast<size_t>(n) * sizeof(float));
  return p;
}

int64_t Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

void SleepUntil(int64_t ns) {
  timespec t{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
  }
}

// a - b >= 0 for counters that wrap.
bool AtLeast(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) >= 0; }

}  // namespace

int32_t PlanRatio = 4, PlanMaxBlock = 16384;
std::vector<LevelShape> PlanLevels(int32_t p, int32_t m) {
  const int32_t LevelRatio = PlanRatio, MaxLevelBlock = PlanMaxBlock;
  assert(p >= 1 && m >= 1);
  std::vector<LevelShape> levels;
  int32_t b = p, offset = 0;
  for (;;) {
    const int64_t next = int64_t{b} * LevelRatio;
    // The next level may start where its result is due a whole block of its own after
    // its input is complete: at tap 2B' - P.
    const int64_t nextOffset = 2 * next - p;
    if (next > MaxLevelBlock || nextOffset >= m) {
      levels.push_back({b, static_cast<int32_t>((int64_t{m} - offset + b - 1) / b), offset});
      return levels;
    }
    levels.push_back({b, static_cast<int32_t>((nextOffset - offset) / b), offset});
    offset = static_cast<int32_t>(nextOffset);
    b = static_cast<int32_t>(next);
  }
}

// One level of K uniform partitions of B taps, transforms of 2B points. Both inputs go
// through one complex transform (left in the real parts, right in the imaginary), and
// both channels of a device come back through one: the pair's spectra are packed into
// one complex spectrum. The filter spectra carry the inverse's 1/2B.
struct UniformLevel {
  int32_t B = 0, K = 0, Offset = 0, Channels = 0;
  int32_t Stride = 0;                // floats per spectrum
  fftwf_plan Forward = nullptr;      // Frame -> Z
  fftwf_plan Inverse = nullptr;      // Z -> Time
  float* Frame = nullptr;            // 2B stereo frames, left and right interleaved
  float* Z = nullptr;                // 2B complex points
  float* Time = nullptr;             // 2B complex points: channel pair interleaved
  float* Delay = nullptr;            // 2K slots of the two input spectra (each one twice, at s and
                                     // s + K, so that the last K run backwards from Newest + K)
  float* Filters = nullptr;          // [channel][input][partition] spectra
  float* Acc = nullptr;              // the device pair's two product-sums
  int32_t Newest = 0;

  ~UniformLevel() { Free(); }

  bool Make(const LevelShape& shape, int32_t channels, bool measure) {
    B = shape.Block;
    K = shape.Partitions;
    Offset = shape.Offset;
    Channels = channels;
    Stride = SpectrumStride(B);
    const int64_t points = 4 * int64_t{B};
    if (!(Frame = Floats(points)) || !(Z = Floats(points)) || !(Time = Floats(points)) ||
        !(Delay = Floats(int64_t{K} * 4 * Stride)) || !(Filters = Floats(int64_t{channels} * 2 * K * Stride)) ||
        !(Acc = Floats(2 * int64_t{Stride}))) {
      return false;
    }
    const unsigned flags = measure ? FFTW_MEASURE : FFTW_ESTIMATE;
    auto* frame = reinterpret_cast<fftwf_complex*>(Frame);
    auto* z = reinterpret_cast<fftwf_complex*>(Z);
    auto* time = reinterpret_cast<fftwf_complex*>(Time);
    Forward = fftwf_plan_dft_1d(2 * B, frame, z, FFTW_FORWARD, flags);
    Inverse = fftwf_plan_dft_1d(2 * B, z, time, FFTW_BACKWARD, flags);
    Clear();  // measuring scribbles on the buffers
    return Forward && Inverse;
  }

  void Free() {
    if (Forward) fftwf_destroy_plan(Forward);
    if (Inverse) fftwf_destroy_plan(Inverse);
    Forward = Inverse = nullptr;
    for (float** p : {&Frame, &Z, &Time, &Delay, &Filters, &Acc}) {
      FreeFftBuffer(*p);
      *p = nullptr;
    }
  }

  float* Filter(int32_t ch, int32_t input, int32_t k) const {
    return Filters + ((int64_t{ch} * 2 + input) * K + k) * Stride;
  }
  float* Spectrum(int32_t slot, int32_t input) const { return Delay + (int64_t{slot} * 2 + input) * Stride; }

  // History and delay line silent.
  void Clear() {
    std::memset(Frame, 0, 4 * static_cast<size_t>(B) * sizeof(float));
    std::memset(Delay, 0, static_cast<size_t>(K) * 4 * Stride * sizeof(float));
    Newest = 0;
  }

  // The partitions of channel ch's two filters that this level covers, from taps
  // left[0 .. n), right[0 .. n). Uses Frame and Z, so only before processing.
  void SetFilters(int32_t ch, const float* left, const float* right, int32_t n) {
    const float scale = 1.0f / static_cast<float>(2 * B);  // exact: a power of two
    for (int32_t k = 0; k < K; ++k) {
      std::memset(Frame, 0, 4 * static_cast<size_t>(B) * sizeof(float));
      const int64_t first = int64_t{Offset} + int64_t{k} * B;
      for (int64_t t = 0; t < B && first + t < n; ++t) {
        Frame[2 * t] = left[first + t];
        Frame[2 * t + 1] = right[first + t];
      }
      fftwf_execute(Forward);
      float* h0 = Filter(ch, 0, k);
      float* h1 = Filter(ch, 1, k);
      ActivePartitionKernels.UnpackSplit(Z, h0, h1, 2 * B);
      for (int32_t i = 0; i < Stride; ++i) {
        h0[i] *= scale;
        h1[i] *= scale;
      }
    }
    std::memset(Frame, 0, 4 * static_cast<size_t>(B) * sizeof(float));
  }

  // The frame's two spectra into the delay line, as its newest slot.
  void Transform() {
    fftwf_execute(Forward);
    Newest = Newest + 1 == K ? 0 : Newest + 1;
    ActivePartitionKernels.UnpackSplit(Z, Spectrum(Newest + K, 0), Spectrum(Newest + K, 1), 2 * B);
    std::memcpy(Spectrum(Newest, 0), Spectrum(Newest + K, 0), 2 * static_cast<size_t>(Stride) * sizeof(float));
  }

  // Channels 2d and 2d + 1 for the newest block: B frames of the pair interleaved,
  // valid until the next call.
  const float* Device(int32_t d) {
    const int32_t a = 2 * d, b = 2 * d + 1;
    const bool pair = b < Channels;
    const int32_t blocks = Stride / (2 * SplitBlock);
    float* accA = Acc;
    float* accB = Acc + Stride;
    // Partition k's input spectra are k slots back from Newest + K.
    const ptrdiff_t xStep = -2 * ptrdiff_t{Stride};
    const auto mac = [&](int32_t k0, int32_t count, int32_t j0, int32_t n, bool accumulate) {
      const ptrdiff_t o = ptrdiff_t{j0} * 2 * SplitBlock;
      const ptrdiff_t h = ptrdiff_t{k0} * Stride + o;
      ActivePartitionKernels.MacSplit(Spectrum(Newest + K - k0, 0) + o, xStep, Stride, Filter(a, 0, 0) + h,
                                      Filter(a, 1, 0) + h, pair ? Filter(b, 0, 0) + h : nullptr,
                                      pair ? Filter(b, 1, 0) + h : nullptr, Stride, count, accA + o, accB + o, n,
                                      accumulate);
    };
    if (K <= GroupPartitions) {
      mac(0, K, 0, blocks, false);
    } else {
      // Groups of partitions summed in registers, tile by tile so that the sums stay in cache.
      for (int32_t j = 0; j < blocks; j += TileBlocks)
        for (int32_t k = 0; k < K; k += GroupPartitions)
          mac(k, std::min(GroupPartitions, K - k), j, std::min(TileBlocks, blocks - j), k > 0);
    }
    ActivePartitionKernels.PackSplit(accA, pair ? accB : nullptr, Z, 2 * B);
    fftwf_execute(Inverse);
    return Time + 2 * static_cast<size_t>(B);
  }
};

// A level computed by a worker thread. The block path appends every block's input to
// the level's ring and hands it each complete step of B frames; the worker transforms
// the last 2B frames, computes every device's B output frames into one of the output
// slots, and counts the step as done.
struct WorkerLevel : UniformLevel {
  int32_t Index = 0;              // 1 for the first level after the head
  int32_t Devices = 0;
  int32_t RingFrames = 0;         // 4B
  float* Ring = nullptr;          // input frames, left and right interleaved
  int32_t Slots = 0;              // output slots, a power of two
  float* Out = nullptr;           // [slot][device] B frames of the pair interleaved
  std::atomic<uint32_t> Handed{0};  // steps handed to the worker
  std::atomic<uint32_t> Done{0};    // steps the worker has finished
  std::atomic<bool> Sleeping{false};
  std::atomic<bool> Quit{false};
  std::shared_ptr<std::atomic<bool>> Hold;
  bool RealTime = false;
  int64_t StepNs = 0;             // a step's duration in real time
  int64_t PollNs = 0;             // how often to look for a step that is due
  // Block path only:
  bool RingOpen = true;           // this step's frames go to the ring
  uint32_t LateStep = 0;          // last step counted late, plus 1
  std::thread Thread;

  ~WorkerLevel() {
    Stop();
    FreeFftBuffer(Ring);
    FreeFftBuffer(Out);
  }

  float* OutSlot(uint32_t step, int32_t d) const {
    return Out + (int64_t{static_cast<int32_t>(step & static_cast<uint32_t>(Slots - 1))} * Devices + d) * 2 * B;
  }

  void Stop() {
    if (!Thread.joinable()) return;
    Quit.store(true);
    Handed.fetch_add(1);  // a change for a waiting worker to wake on
    Handed.notify_all();
    Thread.join();
  }

  void Step(uint32_t step) {
    // The 2B frames up to the end of this step, wrapping round the ring.
    const int64_t first = (int64_t{step} - 1) * B;
    const int32_t start = static_cast<int32_t>(((first % RingFrames) + RingFrames) % RingFrames);
    const int32_t head = std::min(2 * B, RingFrames - start);
    std::memcpy(Frame, Ring + 2 * static_cast<size_t>(start), 2 * static_cast<size_t>(head) * sizeof(float));
    std::memcpy(Frame + 2 * static_cast<size_t>(head), Ring, 2 * static_cast<size_t>(2 * B - head) * sizeof(float));
    Transform();
    for (int32_t d = 0; d < Devices; ++d)
      std::memcpy(OutSlot(step, d), Device(d), 2 * static_cast<size_t>(B) * sizeof(float));
  }

  void Run() {
    int64_t expected = 0;  // when the next step should be handed (real-time mode)
    int64_t idleSince = Now();
    for (;;) {
      if (Quit.load(std::memory_order_acquire)) return;
      const uint32_t handed = Handed.load(std::memory_order_acquire);
      const uint32_t done = Done.load(std::memory_order_relaxed);
      if (static_cast<int32_t>(handed - done) > 0) {
        while (Hold && Hold->load(std::memory_order_relaxed) && !Quit.load(std::memory_order_relaxed))
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        Step(done);
        Done.store(done + 1, std::memory_order_release);
        Done.notify_all();  // no system call unless someone waits (offline, or a reset)
        idleSince = Now();
        expected = idleSince + StepNs;
        continue;
      }
      if (RealTime) {
        // Paced by the clock: the block path never wakes us. Sleep until shortly before
        // the next step is due, then look often; after a long quiet spell (stopped),
        // sleep until woken.
        const int64_t now = Now();
        if (now - idleSince < std::max<int64_t>(4 * StepNs, 500000000)) {
          SleepUntil(now < expected - PollNs ? expected - PollNs : now + PollNs);
          continue;
        }
      }
      Sleeping.store(true);
      if (Handed.load() == handed && !Quit.load()) Handed.wait(handed);
      Sleeping.store(false);
      idleSince = Now();
      expected = idleSince + StepNs;
    }
  }

  // Until every handed step is done (for a reset).
  void WaitIdle() {
    for (;;) {
      const uint32_t done = Done.load(std::memory_order_acquire);
      if (done == Handed.load(std::memory_order_relaxed)) return;
      Done.wait(done);
    }
  }
};

PartitionedConvolver::PartitionedConvolver() : Hold(std::make_shared<std::atomic<bool>>(false)) {}

PartitionedConvolver::~PartitionedConvolver() { Release(); }

bool PartitionedConvolver::Configure(int32_t period, int32_t channels, int32_t filterLength, int32_t sampleRate,
                                     bool realTime, bool measurePlans) {
  Release();
  Period = period;
  Channels = channels;
  Devices = (channels + 1) / 2;
  RealTime = realTime;
  Shapes = PlanLevels(period, filterLength);
  if (measurePlans) fftwf_set_timelimit(1.5);
  Head = std::make_unique<UniformLevel>();
  bool ok = Head->Make(Shapes[0], channels, measurePlans);
  for (size_t i = 1; ok && i < Shapes.size(); ++i) {
    auto w = std::make_unique<WorkerLevel>();
    ok = w->Make(Shapes[i], channels, measurePlans);
    w->Index = static_cast<int32_t>(i);
    w->Devices = Devices;
    w->RingFrames = 4 * w->B;
    // Step t's result is played from tap Offset on, and step t + Slots may be handed
    // only after that: Slots * B >= Offset.
    w->Slots = 2;
    while (int64_t{w->Slots} * w->B < w->Offset) w->Slots *= 2;
    w->Hold = Hold;
    w->RealTime = realTime;
    w->StepNs = int64_t{w->B} * 1000000000 / std::max(sampleRate, 1);
    w->PollNs = std::max<int64_t>(int64_t{period} * 1000000000 / std::max(sampleRate, 1) / 4, 50000);
    ok = ok && (w->Ring = Floats(2 * int64_t{w->RingFrames})) &&
         (w->Out = Floats(int64_t{w->Slots} * Devices * 2 * w->B));
    Workers.push_back(std::move(w));
  }
  if (measurePlans) fftwf_set_timelimit(FFTW_NO_TIMELIMIT);
  if (!ok) {
    Release();
    return false;
  }
  for (auto& w : Workers) {
    WorkerLevel* level = w.get();
    level->Thread = std::thread([level] { level->Run(); });
  }
  Reset();
  return true;
}

void PartitionedConvolver::Release() {
  Workers.clear();  // each stops its thread first
  Head.reset();
  Shapes.clear();
  Blocks = Late = 0;
}

pthread_t PartitionedConvolver::WorkerThread(int32_t i) const {
  return Workers[static_cast<size_t>(i)]->Thread.native_handle();
}

void PartitionedConvolver::HoldWorkers(bool hold) { Hold->store(hold); }

void PartitionedConvolver::SetFilters(int32_t ch, const float* left, const float* right, int32_t n) {
  Head->SetFilters(ch, left, right, n);
  for (auto& w : Workers) {
    w->WaitIdle();
    w->SetFilters(ch, left, right, n);
  }
}

void PartitionedConvolver::Reset() {
  for (auto& w : Workers) w->WaitIdle();
  Head->Clear();
  for (auto& w : Workers) {
    w->Clear();
    std::memset(w->Ring, 0, 2 * static_cast<size_t>(w->RingFrames) * sizeof(float));
    std::memset(w->Out, 0, static_cast<size_t>(w->Slots) * Devices * 2 * w->B * sizeof(float));
    w->Handed.store(0);
    w->Done.store(0);
    w->RingOpen = true;
    w->LateStep = 0;
    w->Handed.notify_all();  // a real-time worker gone to sleep starts looking again
  }
  Blocks = Late = 0;
}

float* PartitionedConvolver::NewFrames() { return Head->Frame + 2 * static_cast<size_t>(Period); }

void PartitionedConvolver::BeginBlock() {
  const float* fresh = NewFrames();
  const int64_t frame = Blocks * Period;
  for (auto& w : Workers) {
    const int64_t steps = frame / w->B;
    if (frame % w->B == 0) {
      // A new step begins. Its frames overwrite those of step s - 4 in the ring, which
      // steps s - 4 and s - 3 read: they must be done (else the worker is more than a
      // step late, and its next results are lost anyway).
      w->RingOpen = steps < 3 || AtLeast(w->Done.load(std::memory_order_acquire), static_cast<uint32_t>(steps - 2));
    }
    if (w->RingOpen) {
      float* dst = w->Ring + 2 * (frame % w->RingFrames);
      std::memcpy(dst, fresh, 2 * static_cast<size_t>(Period) * sizeof(float));
    }
  }
  Head->Transform();
}

void PartitionedConvolver::CountOrWait(WorkerLevel& w, uint32_t step) {
  if (RealTime) {
    if (w.LateStep != step + 1) {
      w.LateStep = step + 1;
      ++Late;
    }
    return;
  }
  for (;;) {
    const uint32_t done = w.Done.load(std::memory_order_acquire);
    if (AtLeast(done, step + 1)) return;
    w.Done.wait(done);
  }
}

void PartitionedConvolver::DeviceBlock(int32_t d, float* left, float* right) {
  float* mix = const_cast<float*>(Head->Device(d));
  const int64_t frame = Blocks * Period;
  for (auto& w : Workers) {
    const int64_t at = frame - w->Offset;  // frame of the level's own output
    if (at < 0) continue;                  // before the start: the input was silent
    const auto step = static_cast<uint32_t>(at / w->B);
    if (!AtLeast(w->Done.load(std::memory_order_acquire), step + 1)) {
      CountOrWait(*w, step);
      if (RealTime) continue;
    }
    ActivePartitionKernels.Add(w->OutSlot(step, d) + 2 * (at % w->B), mix, 2 * Period);
  }
  ActiveKernels.Unzip(mix, left, right, Period);
}

void PartitionedConvolver::EndBlock() {
  ++Blocks;
  const int64_t frame = Blocks * Period;
  for (auto& w : Workers) {
    if (frame % w->B != 0) continue;
    // Sequentially consistent, so that a worker going to sleep either sees this step or
    // is seen sleeping and woken (which happens only after the stream stalled).
    w->Handed.store(static_cast<uint32_t>(frame / w->B));
    if (!RealTime || w->Sleeping.load()) w->Handed.notify_all();
  }
  // The new frames become the older half of the next block's frame.
  std::memcpy(Head->Frame, NewFrames(), 2 * static_cast<size_t>(Period) * sizeof(float));
}

}  // namespace tessival
