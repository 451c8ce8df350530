// The ALSA driver through a real PipeWire daemon (started headless by
// scripts/pipewire-headless): the server's device in the lists, sound flowing, and the
// server stopped mid-run reported as lost devices, with no thread left behind. Skipped
// where PipeWire is not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "audio/AlsaDriver.h"
#include "audio/WaveDevice.h"
#include "tests/support/WaveBuffers.h"
#include "tests/support/WaveQueue.h"

namespace tessival {
namespace {

using testing::Buffer;
using testing::Format;
using testing::WaveQueue;
using namespace std::chrono_literals;

const std::string Script = std::string(TESSIVAL_SOURCE_DIR) + "/scripts/pipewire-headless";

// Threads of the process. The first thread started may start a sanitizer's own helper
// thread too, so one is started and ended before the first count.
size_t ThreadCount() {
  static const bool warmed = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)warmed;
  size_t n = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

class SoundServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Dir = std::filesystem::temp_directory_path() / ("tessival-pw-" + std::to_string(::getpid()));
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir / "home");
    // No user ALSA configuration; the server's clients look for it here.
    ::setenv("HOME", (Dir / "home").c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("XDG_RUNTIME_DIR", (Dir / "run").c_str(), 1);
    ::unsetenv("PIPEWIRE_REMOTE");
    ::unsetenv("PULSE_SERVER");
    Status = StartServer();
    InstallWaveDriver(MakeAlsaDriver());
  }

  static void TearDownTestSuite() {
    InstallWaveDriver(nullptr);
    StopServer();
    std::filesystem::remove_all(Dir);
  }

  static int StartServer() {
    const std::string command = Script + " start " + Dir.string() + " " + std::to_string(::getpid());
    const int rc = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }
  static void StopServer() { std::system((Script + " stop " + Dir.string()).c_str()); }

  void SetUp() override {
    if (Status == 2) GTEST_SKIP() << "PipeWire is not installed (pipewire, pipewire-bin, wireplumber): skipped";
    ASSERT_EQ(Status, 0) << "PipeWire did not start: see " << Dir;
    if (FindWaveDevice(WaveDeviceList(WaveKind::Out), "pipewire") < 0)
      GTEST_SKIP() << "ALSA's pipewire device is not installed (pipewire-alsa): skipped";
  }

  // Runs the devices as a run does (every returned buffer is queued again) until
  // `until` says so or patience runs out; false on timeout.
  bool Run(std::chrono::milliseconds patience, const std::function<bool(const WaveMessage&)>& until) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
      WaveMessage m{};
      if (!queue_.WaitTake(&m, 50ms)) continue;
      if (m.Msg == MM_WIM_DATA) waveInAddBuffer(m.Device, m.Header, sizeof(WAVEHDR));
      if (m.Msg == MM_WOM_DONE) waveOutWrite(m.Device, m.Header, sizeof(WAVEHDR));
      if (until(m)) return true;
    }
    return false;
  }

  static inline std::filesystem::path Dir;
  static inline int Status = -1;
  WaveQueue queue_;
};

TEST_F(SoundServer, ListsTheServerWhileItAnswersAndNotOnceItIsGone) {
  const std::vector<WaveDeviceEntry> outputs = WaveDeviceList(WaveKind::Out);
  ASSERT_GE(outputs.size(), 2u);
  EXPECT_EQ(outputs[0].Identity, "default");
  EXPECT_EQ(outputs[1].Identity, "pipewire");
  EXPECT_EQ(outputs[1].Name, "PipeWire sound server");
  EXPECT_EQ(FindWaveDevice(WaveDeviceList(WaveKind::In), "pipewire"), 1);
  for (const WaveDeviceEntry& e : outputs) EXPECT_NE(e.Identity, "null");

  StopServer();
  EXPECT_LT(FindWaveDevice(WaveDeviceList(WaveKind::Out), "pipewire"), 0);
  ASSERT_EQ(StartServer(), 0);
  EXPECT_EQ(FindWaveDevice(WaveDeviceList(WaveKind::Out), "pipewire"), 1);
}

TEST_F(SoundServer, ServerStoppedMidRunLosesItsDevicesAndTheyOpenAgainOnceItIsBack) {
  const size_t threadsBefore = ThreadCount();
  const WAVEFORMATEX f = Format(48000, 16);
  constexpr uint32_t Frames = 4800;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    queue_.Clear();
    const uint32_t id = static_cast<uint32_t>(FindWaveDevice(WaveDeviceList(WaveKind::Out), "pipewire"));
    HWAVEIN in = nullptr;
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, id, &f, &queue_, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInOpen(&in, id, &f, &queue_, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    std::vector<Buffer> ins, outs;
    for (uintptr_t k = 0; k < 4; ++k) {
      ins.emplace_back(Frames * 4, k);
      outs.emplace_back(Frames * 4, k);
    }
    for (uintptr_t k = 0; k < 4; ++k) {
      ASSERT_EQ(waveInPrepareHeader(in, &ins[k].Header, sizeof(WAVEHDR)), 0u);
      ASSERT_EQ(waveInAddBuffer(in, &ins[k].Header, sizeof(WAVEHDR)), 0u);
      ASSERT_EQ(waveOutPrepareHeader(out, &outs[k].Header, sizeof(WAVEHDR)), 0u);
      ASSERT_EQ(waveOutWrite(out, &outs[k].Header, sizeof(WAVEHDR)), 0u);
    }
    ASSERT_EQ(waveInStart(in), 0u);
    // Sound flows: both devices hand buffers back at the server's pace (half a second's
    // worth each; a server just started takes a moment to link the streams).
    int captured = 0, played = 0;
    EXPECT_TRUE(Run(10s, [&](const WaveMessage& m) {
      EXPECT_NE(m.Msg, MM_WAVE_LOST);
      captured += m.Msg == MM_WIM_DATA;
      played += m.Msg == MM_WOM_DONE;
      return captured >= 5 && played >= 5;
    }));

    const auto stopped = std::chrono::steady_clock::now();
    StopServer();
    int lost = 0;
    Run(5s, [&](const WaveMessage& m) {
      if (m.Msg != MM_WAVE_LOST) return false;
      ++lost;
      std::string reason;
      EXPECT_TRUE(WaveDeviceLostReason(m.Device, &reason));
      EXPECT_FALSE(reason.empty());
      std::printf("%s lost %.2f s after the server was told to stop: %s\n", m.Device == in ? "capture" : "playback",
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count(),
                  reason.c_str());
      return lost == 2;
    });
    EXPECT_EQ(lost, 2) << "both devices are reported lost";

    // Reset and close answer at once, and every thread of the devices ends.
    const auto closing = std::chrono::steady_clock::now();
    EXPECT_EQ(waveInReset(in), 0u);
    EXPECT_EQ(waveOutReset(out), 0u);
    EXPECT_EQ(waveInClose(in), 0u);
    EXPECT_EQ(waveOutClose(out), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 3s);  // promptly, even on a busy machine
    EXPECT_EQ(ThreadCount(), threadsBefore);
    ASSERT_EQ(StartServer(), 0);
  }
}

}  // namespace
}  // namespace tessival
