// Soak under load: the live cycle on the simulated driver paced in real time, with a
// bank of 10 filters of 65536 taps at 48 kHz, other processes keeping every core busy,
// and a gain slider moved every 100 ms on the main thread between blocks.
//
// Reports the blocks that missed their deadline (an output ran dry), the main thread's
// time per block (median, 99.9th percentile, longest) and the resident set size (VmHWM,
// VmRSS) after 1 minute and at the end. Build in Release and run, e.g.:
//   cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-release --target soak_bench
//   build-release/bench/soak_bench                 # 10 minutes, one busy process per core
//   build-release/bench/soak_bench --minutes=1 --load=0
// The bank is written as WAV files to a temporary folder and loaded as the program
// loads one; FFT wisdom goes to a temporary cache folder, never the user's.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/BufferCycle.h"
#include "audio/DeviceControl.h"
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

}  // namespace

int main(int argc, char** argv) {
  double minutes = 10;
  int load = static_cast<int>(std::thread::hardware_concurrency());
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--minutes=", 10) == 0) {
      minutes = std::atof(argv[i] + 10);
    } else if (std::strncmp(argv[i], "--load=", 7) == 0) {
      load = std::atoi(argv[i] + 7);
    } else {
      std::fprintf(stderr, "usage: %s [--minutes=10] [--load=<busy processes, default one per core>]\n", argv[0]);
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
  InstallSimDriver(config);
  MessageLoop loop;
  NotifyTarget = &loop;

  const double blockSeconds = static_cast<double>(TheEngine.BlockLength) / SampleRate;
  std::printf("bank: C=%d M=%d L=%d N=%d at %d Hz (a block is %.3f s), loaded in %.1f s; %d busy processes\n",
              TheEngine.NumFilterChannels, TheEngine.FilterLength, TheEngine.FFTLength, TheEngine.BlockLength, SampleRate, blockSeconds, loadSeconds,
              static_cast<int>(busy.size()));
  std::fflush(stdout);

  std::vector<double> blockMs;
  blockMs.reserve(static_cast<size_t>(minutes * 60 / blockSeconds) + 16);
  int64_t gainChanges = 0, lateBlocks = 0;
  std::pair<long, long> atOneMinute{-1, -1};
  StartButtonClick();
  if (!Running) {
    for (const auto& m : messages) std::fprintf(stderr, "%s\n", m.c_str());
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
      const auto t0 = Clock::now();
      DispatchWaveMessage(m);
      if (m.Msg == MM_WIM_DATA) {
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        blockMs.push_back(ms);
        lateBlocks += ms > blockSeconds * 1000;
      }
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
  StopButtonClick();
  stopLoad();

  std::printf("\nsoak: %.1f min, %zu blocks of %d frames, %lld gain changes, %d busy processes\n", minutes,
              blockMs.size(), TheEngine.BlockLength, static_cast<long long>(gainChanges), load);
  std::printf("blocks that missed their deadline (an output ran dry): %llu; underruns per output:%s\n",
              static_cast<unsigned long long>(missed), perDevice.c_str());
  std::printf("blocks whose handling took longer than a block (%.1f ms): %lld\n", blockSeconds * 1000,
              static_cast<long long>(lateBlocks));
  std::printf("main thread per block: median %.2f ms, 99.9th percentile %.2f ms, longest %.2f ms\n",
              Percentile(blockMs, 0.5), Percentile(blockMs, 0.999), Percentile(blockMs, 1.0));
  std::printf("resident: at 1 min VmHWM %ld kB VmRSS %ld kB; at the end VmHWM %ld kB VmRSS %ld kB\n",
              atOneMinute.first, atOneMinute.second, atEnd.first, atEnd.second);
  for (const auto& m : messages) std::printf("message: %s\n", m.c_str());

  InstallWaveDriver(nullptr);
  TheEngine.ResetEngine();
  std::filesystem::remove_all(dir);
  return 0;
}
