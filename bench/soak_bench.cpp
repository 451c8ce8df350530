// Soak under load: the live cycle on the simulated driver paced in real time, with a
// bank of 10 filters of 65536 taps at 48 kHz, other processes keeping every core busy,
// and a gain slider moved every 100 ms on the main thread between blocks. --block=P runs
// the partitioned engine with blocks of P frames (default 0: Auto, one block of 65537).
// As with a sound card, the main thread, the partitioned mode's workers and the clock's
// thread run at real-time priority where the user's limits allow it (--rt=0: not).
//
// Reports the blocks that missed their deadline (an output ran dry), the main thread's
// time per block (median, 99.9th percentile, longest), the partitioned mode's late
// results, the CPU time of every thread per second of audio, and the resident set size
// (VmHWM, VmRSS) after 1 minute and at the end.
//
// Probe threads, two on each CPU, sleep 1 ms at a time and note every wake-up more than
// 10 ms late (--stall-ms) as a stall of that CPU: one at real-time priority above every
// thread of ours sees the machine stop (a host taking its CPUs away); one just below the
// main thread sees the CPUs taken by other programs' real-time threads as well (a shared
// machine). Every missed deadline, late block and late partition result is time-stamped
// as the main thread sees it, and counted as explained when it falls in a machine stall,
// or in a time when every CPU was held, or the 20 ms after; else as unexplained.
// Build in Release and run, e.g.:
//   cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-release --target soak_bench
//   build-release/bench/soak_bench                 # 10 minutes, one busy process per core
//   build-release/bench/soak_bench --block=256     # the same with blocks of 256 frames
//   build-release/bench/soak_bench --minutes=1 --load=0
// The bank is written as WAV files to a temporary folder and loaded as the program
// loads one; FFT wisdom goes to a temporary cache folder, never the user's.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/BufferCycle.h"
#include "audio/DeviceControl.h"
#include "audio/Priority.h"
#include "audio/SimDriver.h"
#include "engine/Engine.h"
#include "engine/Fft.h"
#include "engine/Gains.h"
#include "engine/Report.h"
#include "filterbank/FilterBank.h"
#include "settings/Settings.h"

namespace {

using namespace tessival;
using Clock = std::chrono::steady_clock;

constexpr int32_t Files = 10;
constexpr int32_t Taps = 65536;
constexpr int32_t Rate = 48000;

void PutU16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(v & 0xFF);
  b.push_back((v >> 8) & 0xFF);
}
void PutU32(std::vector<uint8_t>& b, uint32_t v) {
  PutU16(b, v & 0xFFFF);
  PutU16(b, v >> 16);
}
void PutTag(std::vector<uint8_t>& b, const char* tag) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(tag[i]));
}

// Ten two-channel 32-bit float files of decaying noise, like room responses.
bool WriteBank(const std::string& dir) {
  uint32_t s = 7;
  for (int32_t i = 1; i <= Files; ++i) {
    std::vector<uint8_t> b;
    PutTag(b, "RIFF");
    PutU32(b, 36 + Taps * 8);
    PutTag(b, "WAVE");
    PutTag(b, "fmt ");
    PutU32(b, 16);
    PutU16(b, 3);  // IEEE float
    PutU16(b, 2);
    PutU32(b, Rate);
    PutU32(b, Rate * 8);
    PutU16(b, 8);
    PutU16(b, 32);
    PutTag(b, "data");
    PutU32(b, Taps * 8);
    for (int32_t t = 0; t < Taps; ++t) {
      const float decay = std::exp(-6.0f * static_cast<float>(t) / Taps) * 0.05f;
      for (int ch = 0; ch < 2; ++ch) {
        s = s * 1664525u + 1013904223u;
        const float v = (static_cast<float>(s >> 8) / 16777216.0f - 0.5f) * decay;
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        PutU32(b, bits);
      }
    }
    std::ofstream out(dir + "/soak" + std::to_string(i) + ".wav", std::ios::binary);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    if (!out) return false;
  }
  return true;
}

// The main window's message loop, reduced: notifications queued by the driver's thread.
class MessageLoop : public WaveNotifyTarget {
 public:
  void PostWaveMessage(const WaveMessage& m) override {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(m);
    }
    ready_.notify_one();
  }
  bool WaitTake(WaveMessage* m, Clock::time_point until) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_until(lock, until, [this] { return !queue_.empty(); })) return false;
    *m = queue_.front();
    queue_.pop_front();
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<WaveMessage> queue_;
};

// VmHWM and VmRSS of this process, in kB.
std::pair<long, long> ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  long hwm = -1, rss = -1;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) hwm = std::atol(line.c_str() + 6);
    if (line.rfind("VmRSS:", 0) == 0) rss = std::atol(line.c_str() + 6);
  }
  return {hwm, rss};
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto i = static_cast<size_t>(std::ceil(p * static_cast<double>(v.size()))) - 1;
  return v[std::min(i, v.size() - 1)];
}

int64_t NowNs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}
int64_t MonoNs() { return NowNs(CLOCK_MONOTONIC); }

// Spans of CLOCK_MONOTONIC time (ns) with how many events each holds, in a fixed array
// made up front: adding never allocates, and what does not fit is only counted.
class SpanLog {
 public:
  struct Span {
    int64_t From = 0, To = 0;
    int64_t Count = 0;
  };
  explicit SpanLog(size_t capacity) : spans_(capacity) {}
  void Add(int64_t from, int64_t to, int64_t count = 1) {
    total_ += count;
    if (used_ < spans_.size())
      spans_[used_++] = {from, to, count};
    else
      dropped_ += count;
  }
  const Span* begin() const { return spans_.data(); }
  const Span* end() const { return spans_.data() + used_; }
  int64_t Total() const { return total_; }
  int64_t Dropped() const { return dropped_; }

 private:
  std::vector<Span> spans_;
  size_t used_ = 0;
  int64_t total_ = 0, dropped_ = 0;
};

// Sleeps 1 ms at a time to absolute times on one CPU; a wake-up late by more than the
// threshold means that CPU stood still (nothing of ours outranks the probe), noted as [due, woken].
// A host may stop one virtual CPU and not the other: one probe per CPU.
class StallProbe {
 public:
  static constexpr int64_t PeriodNs = 1'000'000;

  StallProbe(size_t capacity, int64_t lateNs) : stalls_(capacity), lateNs_(lateNs) {}
  void Start(int cpu, int priority) {
    thread_ = std::thread([this, cpu, priority] { Run(cpu, priority); });
  }
  void Stop() {
    stop_.store(true, std::memory_order_relaxed);
    if (thread_.joinable()) thread_.join();
  }
  // Read after Stop.
  const SpanLog& Stalls() const { return stalls_; }
  bool RealTime() const { return realTime_; }
  bool Pinned() const { return pinned_; }
  int64_t Wakeups() const { return wakeups_; }

 private:
  void Run(int cpu, int priority) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pinned_ = pthread_setaffinity_np(pthread_self(), sizeof(set), &set) == 0;
    realTime_ = RequestRealTimeScheduling(priority);
    int64_t due = MonoNs();
    while (!stop_.load(std::memory_order_relaxed)) {
      due += PeriodNs;
      const timespec at{static_cast<time_t>(due / 1'000'000'000), static_cast<long>(due % 1'000'000'000)};
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
      }
      const int64_t now = MonoNs();
      ++wakeups_;
      if (now - due > lateNs_) {
        stalls_.Add(due, now);
        due = now;  // start afresh rather than catch up in a burst
      }
    }
  }

  SpanLog stalls_;
  const int64_t lateNs_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  bool realTime_ = false, pinned_ = false;
  int64_t wakeups_ = 0;
};

using Probes = std::vector<std::unique_ptr<StallProbe>>;

// The stalls of one probe per CPU: `Any` where some CPU stood still (overlapping ones
// joined), `Every` where all of them did at once.
struct StallSummary {
  SpanLog Any{0}, Every{0};
  bool RealTime = true, Pinned = true, Full = false;
};

StallSummary SumStalls(const Probes& probes) {
  std::vector<std::pair<int64_t, int>> edges;  // a stall's start +1, its end -1
  StallSummary sum;
  for (const auto& p : probes) {
    for (const auto& st : p->Stalls()) {
      edges.emplace_back(st.From, 1);
      edges.emplace_back(st.To, -1);
    }
    sum.RealTime = sum.RealTime && p->RealTime();
    sum.Pinned = sum.Pinned && p->Pinned();
    sum.Full = sum.Full || p->Stalls().Dropped() > 0;
  }
  std::sort(edges.begin(), edges.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second > b.second;  // touching stalls join
  });
  sum.Any = SpanLog(edges.size() / 2 + 1);
  sum.Every = SpanLog(edges.size() / 2 + 1);
  const int all = static_cast<int>(probes.size());
  int depth = 0;
  int64_t anyFrom = 0, everyFrom = 0;
  for (const auto& [t, step] : edges) {
    if (step > 0 && depth == 0) anyFrom = t;
    if (step > 0 && depth == all - 1) everyFrom = t;
    if (step < 0 && depth == all) sum.Every.Add(everyFrom, t);
    if (step < 0 && depth == 1) sum.Any.Add(anyFrom, t);
    depth += step;
  }
  return sum;
}

void PrintStalls(const char* what, const SpanLog& stalls) {
  int64_t total = 0, longest = 0;
  for (const auto& st : stalls) {
    total += st.To - st.From;
    longest = std::max(longest, st.To - st.From);
  }
  std::printf("  %s: %lld, %.3f s in all, longest %.1f ms\n", what, static_cast<long long>(stalls.Total()),
              static_cast<double>(total) / 1e9, static_cast<double>(longest) / 1e6);
}

// An event is explained when its span meets a stall or the 20 ms after its end: the
// engine's threads need that long at most to see the dry output and catch up.
constexpr int64_t AfterStallNs = 20'000'000;

bool Meets(const SpanLog::Span& e, const SpanLog& stalls) {
  for (const auto& s : stalls) {
    if (e.From <= s.To + AfterStallNs && s.From <= e.To) return true;
  }
  return false;
}

// One line per kind of event, and the first unexplained ones with their times. `held`
// only counts for what the machine's stalls leave unexplained.
void PrintAttribution(const char* what, const SpanLog& events, const SpanLog& machine, const SpanLog& held,
                      int64_t origin) {
  int64_t inMachine = 0, inHeld = 0, unexplained = 0;
  for (const auto& e : events) {
    if (Meets(e, machine))
      inMachine += e.Count;
    else if (Meets(e, held))
      inHeld += e.Count;
    else
      unexplained += e.Count;
  }
  std::printf("  %s: %lld; at a machine stall %lld; at every CPU held by real-time work %lld; unexplained %lld", what,
              static_cast<long long>(events.Total()), static_cast<long long>(inMachine),
              static_cast<long long>(inHeld), static_cast<long long>(unexplained));
  if (events.Dropped() > 0) std::printf("; not time-stamped (log full) %lld", static_cast<long long>(events.Dropped()));
  std::printf("\n");
  int shown = 0;
  for (const auto& e : events) {
    if (Meets(e, machine) || Meets(e, held)) continue;
    if (++shown > 10) break;
    std::printf("    unexplained: %lld between %.3f s and %.3f s\n", static_cast<long long>(e.Count),
                static_cast<double>(e.From - origin) / 1e9, static_cast<double>(e.To - origin) / 1e9);
  }
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 10;
  int load = static_cast<int>(std::thread::hardware_concurrency());
  int32_t block = 0;
  bool realTime = true;
  double stallMs = 10;
  int probePriority = IoThreadRealTimePriority + 5;  // above every thread of the program
  int heldPriority = MainThreadRealTimePriority - 5;  // below its main thread, above its workers
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--minutes=", 10) == 0) {
      minutes = std::atof(argv[i] + 10);
    } else if (std::strncmp(argv[i], "--load=", 7) == 0) {
      load = std::atoi(argv[i] + 7);
    } else if (std::strncmp(argv[i], "--block=", 8) == 0) {
      block = std::atoi(argv[i] + 8);
    } else if (std::strncmp(argv[i], "--stall-ms=", 11) == 0) {
      stallMs = std::atof(argv[i] + 11);
    } else if (std::strncmp(argv[i], "--probe-rt=", 11) == 0) {
      probePriority = std::atoi(argv[i] + 11);
    } else if (std::strncmp(argv[i], "--held-rt=", 10) == 0) {
      heldPriority = std::atoi(argv[i] + 10);
    } else if (std::strncmp(argv[i], "--rt=", 5) == 0) {
      realTime = std::atoi(argv[i] + 5) != 0;
    } else {
      std::fprintf(stderr,
                   "usage: %s [--minutes=10] [--load=<busy processes, default one per core>] [--block=P] [--rt=1] [--stall-ms=10] [--probe-rt=75] [--held-rt=55]\n",
                   argv[0]);
      return 2;
    }
  }

  // The competing load: separate processes spinning at normal priority, forked before
  // any thread exists.
  std::vector<pid_t> busy;
  for (int i = 0; i < load; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the bench
      volatile uint64_t x = 0;
      for (;;) x = x + 1;
    }
    if (pid > 0) busy.push_back(pid);
  }
  auto stopLoad = [&] {
    for (pid_t pid : busy) kill(pid, SIGKILL);
    for (pid_t pid : busy) waitpid(pid, nullptr, 0);
    busy.clear();
  };

  char tmpl[] = "/tmp/tessival-soak-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  const std::string dir = tmpl;
  setenv("XDG_CACHE_HOME", (dir + "/cache").c_str(), 1);
  if (!WriteBank(dir)) {
    std::fprintf(stderr, "cannot write the bank in %s\n", dir.c_str());
    stopLoad();
    return 1;
  }

  SetDefaultSettings();
  BlockFrames = block;
  FillDitherTable();
  std::vector<std::string> messages;
  Ui.ShowMessage = [&](MessageKind, const std::string& t) { messages.push_back(t); };
  Ui.SetStatusText = [](const std::string&) {};
  const auto loadStart = Clock::now();
  if (!LoadFilterBank(dir + "/soak1.wav")) {
    for (const auto& m : messages) std::fprintf(stderr, "%s\n", m.c_str());
    stopLoad();
    return 1;
  }
  const double loadSeconds = std::chrono::duration<double>(Clock::now() - loadStart).count();

  SimConfig config;
  config.Clock = SimClock::RealTime;
  config.RecordToMemory = false;
  config.KeepCallLog = false;
  config.RealTimePacer = realTime;
  InstallSimDriver(config);
  MessageLoop loop;
  NotifyTarget = &loop;

  const double blockSeconds = static_cast<double>(TheEngine.BlockLength) / SampleRate;
  std::printf("bank: C=%d M=%d L=%d N=%d at %d Hz (a block is %.3f s), loaded in %.1f s; %d busy processes\n",
              TheEngine.NumFilterChannels, TheEngine.FilterLength, TheEngine.FFTLength, TheEngine.BlockLength, SampleRate, blockSeconds, loadSeconds,
              static_cast<int>(busy.size()));
  if (block > 0) {
    std::printf("partitioned levels:");
    for (const LevelShape& l : TheEngine.Partitions.Levels()) std::printf(" %d x %d", l.Block, l.Partitions);
    std::printf(" (blocks x partitions; the first on the main thread)\n");
  }
  std::fflush(stdout);

  std::vector<double> blockMs;
  blockMs.reserve(static_cast<size_t>(minutes * 60 / blockSeconds) + 16);
  int64_t gainChanges = 0, lateBlocks = 0;
  std::pair<long, long> atOneMinute{-1, -1};

  // Time-stamped as the main thread sees them: a span from the previous look to this one
  // (for a late block, its handling), in arrays made before the run.
  constexpr size_t LogCapacity = 4096;
  SpanLog missedLog(LogCapacity), lateBlockLog(LogCapacity), latePartitionLog(LogCapacity);
  // Two probes per CPU: one above every thread of ours sees the machine stop; one below
  // the main thread sees the CPUs taken by real-time threads of other programs too.
  Probes above, below;
  for (int cpu = 0; cpu < std::max(1, static_cast<int>(std::thread::hardware_concurrency())); ++cpu) {
    above.push_back(std::make_unique<StallProbe>(8192, static_cast<int64_t>(stallMs * 1e6)));
    above.back()->Start(cpu, probePriority);
    below.push_back(std::make_unique<StallProbe>(8192, static_cast<int64_t>(stallMs * 1e6)));
    below.back()->Start(cpu, heldPriority);
  }
  const auto stopProbes = [&] {
    for (auto& p : above) p->Stop();
    for (auto& p : below) p->Stop();
  };
  const auto mostUnderruns = [] {
    uint64_t most = 0;
    for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d) {
      WaveDeviceStats stats;
      if (WaveDeviceStatistics(WaveOutHandles[d], &stats)) most = std::max(most, stats.UnderrunEvents);
    }
    return most;
  };
  const int64_t origin = MonoNs();
  int64_t lastLook = origin;
  uint64_t underrunsNoted = 0;
  int64_t latePartitionsNoted = 0;
  long lateWaits = 0, latePreempted = 0, lateFaults = 0, lateMajorFaults = 0;
  int64_t longestCpuNs = 0, longestLateCpuNs = 0;
  StartButtonClick();
  if (realTime) RaisePriorities(true);  // as with a sound card
  rusage usageAtStart{};
  getrusage(RUSAGE_SELF, &usageAtStart);
  if (!Running) {
    for (const auto& m : messages) std::fprintf(stderr, "%s\n", m.c_str());
    stopProbes();
    stopLoad();
    return 1;
  }
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(minutes * 60));
  auto nextGain = start + std::chrono::milliseconds(100);
  auto nextMinute = start + std::chrono::minutes(1);
  int minute = 0;
  for (;;) {
    const auto now = Clock::now();
    if (now >= end) break;
    WaveMessage m{};
    if (loop.WaitTake(&m, std::min({nextGain, nextMinute, end}))) {
      rusage r0{};
      getrusage(RUSAGE_THREAD, &r0);
      const int64_t cpu0 = NowNs(CLOCK_THREAD_CPUTIME_ID);
      const int64_t t0 = MonoNs();
      DispatchWaveMessage(m);
      if (m.Msg == MM_WIM_DATA) {
        const int64_t t1 = MonoNs();
        // Its own CPU time: a block that was late only for want of a CPU used little.
        const int64_t cpuNs = NowNs(CLOCK_THREAD_CPUTIME_ID) - cpu0;
        longestCpuNs = std::max(longestCpuNs, cpuNs);
        const double ms = static_cast<double>(t1 - t0) / 1e6;
        blockMs.push_back(ms);
        if (ms > blockSeconds * 1000) {
          longestLateCpuNs = std::max(longestLateCpuNs, cpuNs);
          ++lateBlocks;
          lateBlockLog.Add(t0, t1);
          // What held the main thread up: waits, preemptions or page faults.
          rusage r1{};
          getrusage(RUSAGE_THREAD, &r1);
          lateWaits += r1.ru_nvcsw - r0.ru_nvcsw;
          latePreempted += r1.ru_nivcsw - r0.ru_nivcsw;
          lateFaults += r1.ru_minflt - r0.ru_minflt;
          lateMajorFaults += r1.ru_majflt - r0.ru_majflt;
        }
      }
    }
    {
      const int64_t look = MonoNs();
      const uint64_t underruns = mostUnderruns();
      if (underruns > underrunsNoted) {
        missedLog.Add(lastLook, look, static_cast<int64_t>(underruns - underrunsNoted));
        underrunsNoted = underruns;
      }
      const int64_t latePartitions = TheEngine.Figures.LatePartitions;
      if (latePartitions > latePartitionsNoted) {
        latePartitionLog.Add(lastLook, look, latePartitions - latePartitionsNoted);
        latePartitionsNoted = latePartitions;
      }
      lastLook = look;
    }
    const auto after = Clock::now();
    if (after >= nextGain) {
      // A slider moves one step, sweeping its whole range up and down.
      const int k = static_cast<int>(gainChanges % 10);
      const int32_t phase = static_cast<int32_t>((gainChanges / 10) % 60);
      GainSteps[k] = phase < 30 ? 6 - phase : phase - 54;
      UpdateGainFactorsForSlider(k);
      ++gainChanges;
      nextGain += std::chrono::milliseconds(100);
    }
    if (after >= nextMinute) {
      ++minute;
      const auto [hwm, rss] = ResidentKb();
      if (minute == 1) atOneMinute = {hwm, rss};
      std::printf("minute %d: %zu blocks, VmHWM %ld kB, VmRSS %ld kB\n", minute, blockMs.size(), hwm, rss);
      std::fflush(stdout);
      nextMinute += std::chrono::minutes(1);
    }
  }
  const auto atEnd = ResidentKb();
  rusage usageAtEnd{};
  getrusage(RUSAGE_SELF, &usageAtEnd);
  const auto cpuSeconds = [](const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  };
  const double audioSeconds = static_cast<double>(blockMs.size()) * blockSeconds;
  const int64_t late = TheEngine.Figures.LatePartitions;

  // A block missed its deadline when an output ran dry waiting for it.
  uint64_t missed = 0;
  std::string perDevice;
  for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d) {
    WaveDeviceStats stats;
    if (!WaveDeviceStatistics(WaveOutHandles[d], &stats)) continue;
    missed = std::max(missed, stats.UnderrunEvents);
    char text[64];
    std::snprintf(text, sizeof(text), " %llu (%llu frames)", static_cast<unsigned long long>(stats.UnderrunEvents),
                  static_cast<unsigned long long>(stats.UnderrunFrames));
    perDevice += text;
  }
  // Underruns or late results that came after the last look still count.
  {
    const int64_t look = MonoNs();
    if (missed > underrunsNoted) missedLog.Add(lastLook, look, static_cast<int64_t>(missed - underrunsNoted));
    if (late > latePartitionsNoted) latePartitionLog.Add(lastLook, look, late - latePartitionsNoted);
  }
  StopButtonClick();
  stopProbes();
  stopLoad();

  std::printf("\nsoak: %.1f min, %zu blocks of %d frames, %lld gain changes, %d busy processes\n", minutes,
              blockMs.size(), TheEngine.BlockLength, static_cast<long long>(gainChanges), load);
  std::printf("blocks that missed their deadline (an output ran dry): %llu; underruns per output:%s\n",
              static_cast<unsigned long long>(missed), perDevice.c_str());
  std::printf("blocks whose handling took longer than a block (%.1f ms): %lld\n", blockSeconds * 1000,
              static_cast<long long>(lateBlocks));
  std::printf("main thread per block: median %.3f ms, 99.9th percentile %.3f ms, longest %.3f ms\n",
              Percentile(blockMs, 0.5), Percentile(blockMs, 0.999), Percentile(blockMs, 1.0));
  std::printf("main thread's own CPU time per block: longest %.3f ms\n", static_cast<double>(longestCpuNs) / 1e6);
  if (lateBlocks > 0) {
    std::printf("in the late blocks the main thread used at most %.3f ms of CPU, waited %ld times, was preempted %ld times, "
                "took %ld page faults (%ld major)\n",
                static_cast<double>(longestLateCpuNs) / 1e6, lateWaits, latePreempted, lateFaults, lateMajorFaults);
  }
  if (block > 0) std::printf("late partition results: %lld\n", static_cast<long long>(late));
  std::printf("CPU time of every thread: %.4f s per second of audio (real-time priority %s)\n",
              audioSeconds > 0 ? (cpuSeconds(usageAtEnd) - cpuSeconds(usageAtStart)) / audioSeconds : 0.0,
              realTime ? "asked for" : "not asked for");
  std::printf("resident: at 1 min VmHWM %ld kB VmRSS %ld kB; at the end VmHWM %ld kB VmRSS %ld kB\n",
              atOneMinute.first, atOneMinute.second, atEnd.first, atEnd.second);
  const StallSummary machine = SumStalls(above);
  const StallSummary held = SumStalls(below);
  std::printf("stalls: a probe per CPU sleeping 1 ms at a time, woken more than %g ms late (%s%s%s)\n", stallMs,
              machine.RealTime && held.RealTime ? "real-time priority" : "real-time priority refused",
              machine.Pinned && held.Pinned ? "" : ", not all pinned",
              machine.Full || held.Full ? ", log full: later stalls not timed" : "");
  char line[160];
  std::snprintf(line, sizeof(line), "machine stalls, some CPU stopped (probes at %d, above every thread of ours)", probePriority);
  PrintStalls(line, machine.Any);
  std::snprintf(line, sizeof(line), "of those, every CPU stopped at once");
  PrintStalls(line, machine.Every);
  std::snprintf(line, sizeof(line), "every CPU held at once by real-time threads above %d (of ours: the main thread, the clock)", heldPriority);
  PrintStalls(line, held.Every);
  std::printf("events against the stalls (within them or the 20 ms after):\n");
  PrintAttribution("missed deadlines", missedLog, machine.Any, held.Every, origin);
  PrintAttribution("blocks handled late", lateBlockLog, machine.Any, held.Every, origin);
  if (block > 0) PrintAttribution("late partition results", latePartitionLog, machine.Any, held.Every, origin);
  for (const auto& m : messages) std::printf("message: %s\n", m.c_str());

  InstallWaveDriver(nullptr);
  TheEngine.ResetEngine();
  std::filesystem::remove_all(dir);
  return 0;
}
