// Playback devices on clocks of their own: an hour of the live cycle on the simulated
// driver, stepped, with one output 300 ppm fast and one 300 ppm slow against capture.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "audio/BufferCycle.h"
#include "audio/DeviceControl.h"
#include "audio/SimDriver.h"
#include "engine/Engine.h"
#include "engine/Report.h"
#include "settings/Settings.h"
#include "tests/support/EngineBank.h"

namespace tessival {
namespace {

class MessageQueue : public WaveNotifyTarget {
 public:
  void PostWaveMessage(const WaveMessage& m) override {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(m);
  }
  void Pump() {
    for (;;) {
      WaveMessage m;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty()) return;
        m = queue_.front();
        queue_.pop_front();
      }
      DispatchWaveMessage(m);
    }
  }

 private:
  std::mutex mutex_;
  std::deque<WaveMessage> queue_;
};

// Capture sample of input frame t: never 0, so silence is told apart, and with a period
// (30011, prime) far longer than a block, so every block is told apart from its neighbours.
int32_t Signal(int64_t t, int channel) {
  return 1 + static_cast<int32_t>((t * 7919 + channel * 104729) % 30011);
}

// Follows what one output played: the silent blocks of the start, then input blocks in
// order, each bit-exact, with a skipped block or a run of silence only between blocks.
class PlayedStream {
 public:
  PlayedStream(int64_t blockLength, int64_t silentStart) : n_(blockLength), t_(-silentStart) {}

  // Takes 16-bit stereo frames; false (and why in Error) at the first frame that breaks
  // the rules.
  bool Feed(const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i + 3 < bytes.size(); i += 4) {
      int16_t l, r;
      std::memcpy(&l, &bytes[i], 2);
      std::memcpy(&r, &bytes[i + 2], 2);
      if (t_ < 0) {
        if (l != 0 || r != 0) return Fail("sound in the silent start");
        ++t_;
        continue;
      }
      if (l == 0 && r == 0) {
        if (t_ % n_ != 0) return Fail("silence inside a block");
        ++silent_;
        continue;
      }
      if (t_ % n_ == 0 && !Is(t_, l, r) && Is(t_ + n_, l, r)) {
        t_ += n_;
        ++skipped_;
      }
      if (!Is(t_, l, r)) return Fail("wrong sample");
      ++t_;
    }
    return true;
  }

  int64_t Frames() const { return t_; }  // input frames reached
  uint64_t Silent() const { return silent_; }
  uint64_t Skipped() const { return skipped_; }
  std::string Error;

 private:
  static bool Is(int64_t t, int32_t l, int32_t r) { return l == Signal(t, 0) && r == Signal(t, 1); }
  bool Fail(const char* why) {
    Error = std::string(why) + " at input frame " + std::to_string(t_) + " (block " + std::to_string(t_ / n_) + ")";
    return false;
  }

  int64_t n_;
  int64_t t_;
  uint64_t silent_ = 0;
  uint64_t skipped_ = 0;
};

TEST(ClockDrift, AnHourWithOutputsAt300PpmEitherWayStaysBoundedAndPlaysEveryKeptBlockExactly) {
  testing::ResetEngineForTest();
  SimConfig config;
  config.KeepCallLog = false;
  SimDriver& sim = InstallSimDriver(config);
  MessageQueue queue;
  NotifyTarget = &queue;
  Running = Stopping = false;
  std::vector<std::string> messages;
  Ui.ShowMessage = [&](MessageKind, const std::string& t) { messages.push_back(t); };
  Ui.SetStatusText = [](const std::string&) {};

  // Four channels of pure impulses: both devices play the input as it came.
  constexpr int32_t Taps = 2048;
  std::vector<testing::FilterPair> bank(4);
  for (int32_t ch = 0; ch < 4; ++ch) {
    bank[ch][ch % 2] = std::vector<double>(Taps, 0.0);
    bank[ch][ch % 2][0] = 1.0;
  }
  testing::LoadBankInMemory(bank);
  ASSERT_TRUE(TheEngine.FiltersLoaded);
  ASSERT_EQ(TheEngine.LastOutDevice, 1);
  SampleRate = 48000;
  const int64_t n = TheEngine.BlockLength;  // 2049
  const uint32_t buffers = static_cast<uint32_t>(HeldNumBuffers());
  sim.SetInputSignal([](uint64_t frame, int channel, int) { return Signal(static_cast<int64_t>(frame), channel); });
  sim.SetRateOffsetPpm(WaveKind::Out, static_cast<uint32_t>(WaveOutDevices[0]), 300);
  sim.SetRateOffsetPpm(WaveKind::Out, static_cast<uint32_t>(WaveOutDevices[1]), -300);

  StartButtonClick();
  ASSERT_TRUE(Running);
  queue.Pump();
  const int64_t blocks = 3600LL * 48000 / n;
  std::vector<PlayedStream> streams(2, PlayedStream(n, int64_t(buffers) * n));
  std::vector<uint8_t> played;
  auto check = [&] {
    for (int d = 0; d < 2; ++d) {
      sim.TakePlayedBytes(WaveOutDevices[d], &played);
      if (!streams[d].Feed(played)) return false;
    }
    return true;
  };
  for (int64_t b = 0; b < blocks; ++b) {
    sim.Step(static_cast<uint64_t>(n));
    queue.Pump();
    if (b % 16 == 15) {
      ASSERT_TRUE(check()) << streams[0].Error << streams[1].Error;
    }
  }
  ASSERT_TRUE(check()) << streams[0].Error << streams[1].Error;

  WaveDeviceStats in, fast, slow;
  ASSERT_TRUE(WaveDeviceStatistics(WaveInHandle, &in));
  ASSERT_TRUE(WaveDeviceStatistics(WaveOutHandles[0], &fast));
  ASSERT_TRUE(WaveDeviceStatistics(WaveOutHandles[1], &slow));
  ::setenv("TESSIVAL_DEBUG", "1", 1);
  ::testing::internal::CaptureStderr();
  StopButtonClick();
  const std::string report = ::testing::internal::GetCapturedStderr();
  ::unsetenv("TESSIVAL_DEBUG");
  queue.Pump();

  EXPECT_EQ(sim.DroppedCaptureFrames(), 0u);
  EXPECT_TRUE(messages.empty());
  // Latency bounded: never more than NumBuffers + 1 blocks queued.
  EXPECT_LE(fast.MaxQueued, buffers + 1);
  EXPECT_LE(slow.MaxQueued, buffers + 1);
  // The drift, 300 ppm of an hour, is paid in whole blocks: silence for the fast device,
  // skips for the slow one, one block every 1e6 / 300 blocks or so, and nothing else.
  const double driftBlocks = 300e-6 * double(blocks);
  EXPECT_EQ(fast.SkippedBlocks, 0u);
  EXPECT_EQ(slow.UnderrunEvents, 0u);
  EXPECT_GE(fast.UnderrunEvents, 1u);
  EXPECT_LE(double(fast.UnderrunEvents), driftBlocks + 1);
  EXPECT_GE(slow.SkippedBlocks, 1u);
  EXPECT_LE(double(slow.SkippedBlocks), driftBlocks + 1);
  EXPECT_EQ(streams[0].Silent(), fast.UnderrunFrames);
  EXPECT_EQ(streams[0].Skipped(), 0u);
  EXPECT_EQ(streams[1].Silent(), 0u);
  EXPECT_EQ(streams[1].Skipped(), slow.SkippedBlocks);
  // Every block captured reached both devices (except those skipped), up to the few
  // still queued at the stop.
  for (int d = 0; d < 2; ++d) {
    EXPECT_GE(streams[d].Frames(), (blocks - buffers - 2) * n) << d;
    EXPECT_LE(streams[d].Frames(), blocks * n) << d;
  }
  // The measured rates, and the report the stop prints with TESSIVAL_DEBUG=1.
  EXPECT_NEAR((fast.Rate / in.Rate - 1) * 1e6, 300.0, 0.5);
  EXPECT_NEAR((slow.Rate / in.Rate - 1) * 1e6, -300.0, 0.5);
  EXPECT_NE(report.find("output 0: rate +300.0 ppm against capture, " + std::to_string(fast.UnderrunEvents) +
                        " underruns (" + std::to_string(fast.UnderrunFrames) + " silent frames), 0 blocks skipped"),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("output 1: rate -300.0 ppm against capture, 0 underruns (0 silent frames), " +
                        std::to_string(slow.SkippedBlocks) + " blocks skipped"),
            std::string::npos)
      << report;

  InstallWaveDriver(nullptr);
  NotifyTarget = nullptr;
  ResetUiHooks();
  TheEngine.ResetEngine();
}

}  // namespace
}  // namespace tessival
