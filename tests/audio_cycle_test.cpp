// Starting, running and stopping the devices on the simulated driver: the call
// sequences, the messages, and the blocks that come out of every output.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "audio/BufferCycle.h"
#include "audio/DeviceControl.h"
#include "audio/SimDriver.h"
#include "engine/Engine.h"
#include "engine/Report.h"
#include "settings/Settings.h"
#include "tests/support/EngineBank.h"
#include "tests/support/Reference.h"

namespace tessival {
namespace {

using testing::FilterPair;

// The main thread's message queue, pumped by the test.
class MessageQueue : public WaveNotifyTarget {
 public:
  void PostWaveMessage(const WaveMessage& m) override {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(m);
  }
  // Runs every queued notification; returns how many.
  int Pump() {
    int n = 0;
    for (;;) {
      WaveMessage m;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty()) return n;
        m = queue_.front();
        queue_.pop_front();
      }
      DispatchWaveMessage(m);
      ++n;
    }
  }
  void Post(const WaveMessage& m) { PostWaveMessage(m); }

 private:
  std::mutex mutex_;
  std::deque<WaveMessage> queue_;
};

class DeviceCycle : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ResetEngineForTest();
    sim = &InstallSimDriver();
    NotifyTarget = &queue;
    Running = Stopping = false;
    Ui.ShowMessage = [this](MessageKind kind, const std::string& t) {
      messages.push_back(t);
      warnings += kind == MessageKind::Warning;
    };
    Ui.SetStatusText = [this](const std::string& t) { status = t; };
  }
  void TearDown() override {
    StopButtonClick();
    queue.Pump();
    InstallWaveDriver(nullptr);
    NotifyTarget = nullptr;
    ResetUiHooks();
    TheEngine.ResetEngine();
  }

  // A bank of c channels whose filters are short impulses: channel ch passes the
  // left input when ch is even and the right input when it is odd.
  void LoadImpulseBank(int32_t c, int32_t m = 64) {
    std::vector<FilterPair> bank(c);
    for (int32_t ch = 0; ch < c; ++ch) {
      bank[ch][ch % 2] = std::vector<double>(m, 0.0);
      bank[ch][ch % 2][0] = 1.0;
    }
    testing::LoadBankInMemory(bank);
    ASSERT_TRUE(TheEngine.FiltersLoaded);
  }

  std::vector<std::string> Log() const { return sim->CallLog(); }

  static int Count(const std::vector<std::string>& log, const std::string& prefix) {
    int n = 0;
    for (const auto& s : log) n += s.rfind(prefix, 0) == 0;
    return n;
  }

  SimDriver* sim = nullptr;
  MessageQueue queue;
  std::vector<std::string> messages;
  int warnings = 0;
  std::string status = "Stopped";
};

TEST_F(DeviceCycle, StartAndStopDoNothingWhenTheyDoNotApply) {
  StartButtonClick();  // no bank
  StopButtonClick();   // not running
  EXPECT_FALSE(Running);
  EXPECT_TRUE(Log().empty());
  LoadImpulseBank(2);
  StartButtonClick();
  ASSERT_TRUE(Running);
  sim->ClearCallLog();
  StartButtonClick();  // while running
  EXPECT_TRUE(Log().empty());
  EXPECT_TRUE(messages.empty());
}

TEST_F(DeviceCycle, OpensAndStartsInEveryConfiguredOrder) {
  LoadImpulseBank(3, 16);  // two playback devices
  NumBuffers = 2;
  ASSERT_TRUE(TheEngine.ReallocateWaveBuffers());
  const std::vector<std::string> queueing = {
      "waveInPrepareHeader 0 0", "waveInPrepareHeader 0 1",  "waveOutPrepareHeader 0 0",
      "waveOutPrepareHeader 0 1", "waveOutPrepareHeader 1 0", "waveOutPrepareHeader 1 1",
      "waveInAddBuffer 0 0",     "waveInAddBuffer 0 1",      "waveOutWrite 0 0",
      "waveOutWrite 0 1",        "waveOutWrite 1 0",         "waveOutWrite 1 1"};
  const std::vector<std::string> openPlay = {"waveOutOpen 0", "waveOutPause 0", "waveOutOpen 1", "waveOutPause 1"};
  const std::vector<std::string> restart = {"waveOutRestart 0", "waveOutRestart 1"};
  for (int32_t openOrder : {0, 1, 7}) {
    for (int32_t startOrder : {0, 1, -3}) {
      OpenOrder = openOrder;
      StartOrder = startOrder;
      sim->ClearCallLog();
      StartButtonClick();
      ASSERT_TRUE(Running);
      std::vector<std::string> want;
      if (openOrder == 1) want.push_back("waveInOpen 0");
      want.insert(want.end(), openPlay.begin(), openPlay.end());
      if (openOrder != 1) want.push_back("waveInOpen 0");
      want.insert(want.end(), queueing.begin(), queueing.end());
      want.push_back("RaisePriorities");
      if (startOrder == 1) want.push_back("waveInStart 0");
      want.insert(want.end(), restart.begin(), restart.end());
      if (startOrder != 1) want.push_back("waveInStart 0");
      EXPECT_EQ(Log(), want) << "open " << openOrder << " start " << startOrder;
      EXPECT_EQ(status, "Playing ...");

      sim->ClearCallLog();
      StopButtonClick();
      queue.Pump();
      const std::vector<std::string> stop = {"waveOutReset 0", "waveOutReset 1", "waveInReset 0",
                                             "waveOutClose 0", "waveOutClose 1", "waveInClose 0",
                                             "RestorePriorities"};
      auto log = Log();
      ASSERT_GE(log.size(), stop.size());
      EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + stop.size()), stop);
      EXPECT_FALSE(Running);
      EXPECT_EQ(status, "Stopped");
    }
  }
  EXPECT_TRUE(messages.empty());
}

TEST_F(DeviceCycle, OpensOnePlaybackDevicePerOutputPair) {
  for (const auto& [channels, devices] : std::vector<std::pair<int32_t, int>>{{1, 1}, {2, 1}, {3, 2}, {9, 5}, {10, 5}}) {
    LoadImpulseBank(channels, 8);
    WaveOutDevices[1] = 4;  // pairs may name any device
    sim->ClearCallLog();
    StartButtonClick();
    ASSERT_TRUE(Running) << channels;
    const auto log = Log();
    EXPECT_EQ(Count(log, "waveOutOpen"), devices) << channels;
    EXPECT_EQ(Count(log, "waveOutPrepareHeader"), devices * 3) << channels;
    EXPECT_EQ(Count(log, "waveOutWrite"), devices * 3) << channels;
    EXPECT_EQ(Count(log, "waveInAddBuffer"), 3) << channels;
    std::vector<std::string> opens;
    for (const auto& call : log)
      if (call.rfind("waveOutOpen", 0) == 0) opens.push_back(call);
    if (devices > 1) {
      EXPECT_EQ(opens[1], "waveOutOpen 4");
    }
    StopButtonClick();
    queue.Pump();
  }
}

TEST_F(DeviceCycle, RefusedFormatNamesRateAndBits) {
  LoadImpulseBank(2);
  SampleBits = 24;
  SampleRate = 48000;
  sim->FailOperation(WaveKind::Out, 0, SimOp::Open, WAVERR_BADFORMAT);
  StartButtonClick();
  EXPECT_FALSE(Running);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "Unsupported wave format:\r\nfs=48000  Bits=24");
  EXPECT_EQ(warnings, 1);
  // The buffers were re-made for 32-bit samples before anything was opened.
  EXPECT_EQ(TheEngine.WaveBufferBits, 24);
}

TEST_F(DeviceCycle, FailedOpenClosesWhatTheSequenceOpenedAndReportsTheDevice) {
  LoadImpulseBank(10, 8);
  sim->FailOperation(WaveKind::Out, 3, SimOp::Open, MMSYSERR_ALLOCATED);
  status = "Filters Loaded";
  StartButtonClick();
  EXPECT_FALSE(Running);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "Error en waveOutOpen: \r\ndevice already allocated");
  EXPECT_EQ(status, "Filters Loaded");
  const auto log = Log();
  const std::vector<std::string> want = {"waveOutOpen 0", "waveOutPause 0", "waveOutOpen 1", "waveOutPause 1",
                                         "waveOutOpen 2", "waveOutPause 2", "waveOutOpen 3", "waveOutClose 0",
                                         "waveOutClose 1", "waveOutClose 2"};
  EXPECT_EQ(log, want);
  queue.Pump();
  EXPECT_EQ(sim->OpenDeviceCount(), 0u);

  // Capture first: its failure ends the sequence before any playback device opens.
  messages.clear();
  sim->ClearFailures();
  sim->ClearCallLog();
  OpenOrder = 1;
  WaveInDevice = 9;
  StartButtonClick();
  EXPECT_FALSE(Running);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "WaveInOpen: \r\ndevice ID out of range");
  EXPECT_EQ(Log(), std::vector<std::string>{"waveInOpen 9"});

  // Playback first: every playback device is open when capture fails, and closed after.
  messages.clear();
  sim->ClearCallLog();
  OpenOrder = 0;
  StartButtonClick();
  EXPECT_EQ(Count(Log(), "waveOutOpen"), 5);
  EXPECT_EQ(Count(Log(), "waveOutClose"), 5);
  queue.Pump();
  EXPECT_EQ(sim->OpenDeviceCount(), 0u);

  // The next start, with a device that exists, runs.
  WaveInDevice = 1;
  StartButtonClick();
  EXPECT_TRUE(Running);
}

TEST_F(DeviceCycle, QueueingFailuresAreReportedPerHeaderAndTheStartCompletes) {
  LoadImpulseBank(2);
  sim->FailOperation(WaveKind::In, SimAnyDevice, SimOp::Prepare, MMSYSERR_NOMEM);
  StartButtonClick();
  EXPECT_TRUE(Running);
  EXPECT_EQ(status, "Playing ...");
  ASSERT_EQ(messages.size(), 6u);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(messages[k], "Error in Prepin: \r\nmemory allocation error");
  for (int k = 3; k < 6; ++k) EXPECT_EQ(messages[k], "Error in Add: \r\nheader not prepared");
  EXPECT_EQ(warnings, 6);
}

TEST_F(DeviceCycle, FilledCaptureBufferIsConvolvedAndRequeuedInDeviceOrder) {
  LoadImpulseBank(10, 8);
  StartButtonClick();
  ASSERT_TRUE(Running);
  queue.Pump();  // open notifications
  sim->ClearCallLog();
  // Capture buffer 2 comes back filled out of turn: exactly index 2 is processed.
  auto* in = reinterpret_cast<int16_t*>(TheEngine.InBuffers[2]);
  for (int32_t j = 0; j < TheEngine.BlockLength; ++j) in[2 * j] = in[2 * j + 1] = 1234;
  InHeaders[2].dwBytesRecorded = 16;  // not looked at
  queue.Post({MM_WIM_DATA, WaveInHandle, &InHeaders[2]});
  queue.Pump();
  const std::vector<std::string> want = {"waveInAddBuffer 0 2", "waveOutWrite 0 2", "waveOutWrite 1 2",
                                         "waveOutWrite 2 2",    "waveOutWrite 3 2", "waveOutWrite 4 2"};
  auto log = Log();
  ASSERT_EQ(log.size(), want.size());
  EXPECT_EQ(log, want);
  EXPECT_EQ(reinterpret_cast<int16_t*>(TheEngine.OutBuffers[4][2])[TheEngine.BlockLength * 2 - 1], 1234);
  EXPECT_EQ(reinterpret_cast<int16_t*>(TheEngine.OutBuffers[4][1])[0], 0);

  // A header that is not one of this run's capture headers is ignored.
  sim->ClearCallLog();
  WAVEHDR foreign{};
  foreign.dwUser = 1;
  queue.Post({MM_WIM_DATA, WaveInHandle, &foreign});
  queue.Post({MM_WIM_DATA, WaveOutHandles[0], &InHeaders[1]});
  InHeaders[TheEngine.WaveBufferCount].dwUser = static_cast<uintptr_t>(TheEngine.WaveBufferCount);  // beyond the buffers made
  queue.Post({MM_WIM_DATA, WaveInHandle, &InHeaders[TheEngine.WaveBufferCount]});
  queue.Pump();
  EXPECT_TRUE(Log().empty());

  // After the stop, returned and late buffers change nothing and queue nothing.
  StopButtonClick();
  queue.Post({MM_WIM_DATA, WaveInHandle, &InHeaders[0]});
  std::fill(in, in + 2 * TheEngine.BlockLength, int16_t{999});
  queue.Pump();
  for (const auto& s : Log()) {
    EXPECT_EQ(s.find("AddBuffer"), std::string::npos) << s;
    EXPECT_EQ(s.find("waveOutWrite"), std::string::npos) << s;
  }
  EXPECT_EQ(reinterpret_cast<int16_t*>(TheEngine.OutBuffers[0][0])[0], 0);
}

TEST_F(DeviceCycle, CloseNotificationsReleaseTheHeaders) {
  LoadImpulseBank(4, 8);
  StartButtonClick();
  sim->ClearCallLog();
  StopButtonClick();
  queue.Pump();
  const auto log = Log();
  EXPECT_EQ(Count(log, "waveInUnprepareHeader"), 3);
  // Every playback close goes over the headers of both devices.
  EXPECT_EQ(Count(log, "waveOutUnprepareHeader"), 2 * 2 * 3);
}

TEST_F(DeviceCycle, StartAfterStopUsesTheCurrentSettings) {
  LoadImpulseBank(2, 8);
  StartButtonClick();
  StopButtonClick();
  queue.Pump();
  // The devices played are remembered by name from now on...
  EXPECT_EQ(WaveOutDeviceNames[0], "Sim Output 1");
  EXPECT_EQ(WaveInDeviceName, "Sim Input 1");
  // ...and the device dialog changes both.
  WaveOutDevices[0] = 2;
  WaveOutDeviceNames[0] = "Sim Output 3";
  WaveInDevice = 1;
  WaveInDeviceName = "Sim Input 2";
  NumBuffers = 5;
  SampleRate = 32000;
  sim->ClearCallLog();
  StartButtonClick();
  ASSERT_TRUE(Running);
  const auto log = Log();
  EXPECT_EQ(log[0], "waveOutOpen 2");
  EXPECT_EQ(Count(log, "waveInOpen 1"), 1);
  EXPECT_EQ(Count(log, "waveInAddBuffer"), 5);
  EXPECT_EQ(WaveFormat.nSamplesPerSec, 32000u);
  EXPECT_EQ(WaveFormat.nAvgBytesPerSec, 128000u);
  EXPECT_EQ(WaveFormat.nBlockAlign, 4);
}

// A capture device that starts filling a buffer the moment it is queued again, as a
// card's DMA may: the block must have been convolved by then.
class EagerCaptureDriver : public SimDriver {
 public:
  bool Scribble = false;
  MMRESULT Queue(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) override {
    if (Scribble && handle->Kind == WaveKind::In) std::memset(header->lpData, 0x55, header->dwBufferLength);
    return SimDriver::Queue(handle, header, headerSize);
  }
};

TEST_F(DeviceCycle, ACaptureBufferIsConvolvedBeforeItIsQueuedAgain) {
  auto driver = std::make_unique<EagerCaptureDriver>();
  EagerCaptureDriver& eager = *driver;
  InstallWaveDriver(std::move(driver));
  sim = &eager;
  LoadImpulseBank(2, 8);
  StartButtonClick();
  queue.Pump();
  eager.Scribble = true;
  eager.Step(TheEngine.BlockLength);
  queue.Pump();
  const auto* out = reinterpret_cast<const int16_t*>(TheEngine.OutBuffers[0][0]);
  for (int32_t j = 0; j < TheEngine.BlockLength; ++j) {
    ASSERT_EQ(out[2 * j], SimDriver::DefaultSignal(j, 0, 16)) << j;
    ASSERT_EQ(out[2 * j + 1], SimDriver::DefaultSignal(j, 1, 16)) << j;
  }
}

// Runs `blocks` capture blocks through the live cycle, calling before(b) ahead of
// each block, and returns what every output device played.
std::vector<std::vector<int32_t>> RunLive(SimDriver& sim, MessageQueue& queue, int blocks,
                                          const std::function<void(int)>& before = {}) {
  StartButtonClick();
  queue.Pump();
  for (int b = 0; b < blocks; ++b) {
    if (before) before(b);
    sim.Step(TheEngine.BlockLength);
    queue.Pump();
  }
  const int bits = TheEngine.WaveBufferBits == 16 ? 16 : 32;
  std::vector<std::vector<int32_t>> played;
  for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d)
    played.push_back(SimDriver::DecodeSamples(sim.PlayedBytes(WaveOutDevices[d]), bits));
  StopButtonClick();
  queue.Pump();
  return played;
}

TEST_F(DeviceCycle, APlayAfterStopStartsAfreshWithSilenceAndTheDitherFromItsStart) {
  // The first run leaves its last blocks in the buffers, its history and the dither
  // sequence part way: a second Play must queue silence first, then play exactly what
  // the first run played.
  LoadImpulseBank(4, 300);
  DitherOn = true;
  const auto first = RunLive(*sim, queue, 12);
  const auto second = RunLive(*sim, queue, 12);
  const size_t silent = size_t(HeldNumBuffers()) * TheEngine.BlockLength;
  for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d) {
    ASSERT_GT(second[d].size(), 2 * silent) << d;
    for (size_t i = 0; i < 2 * silent; ++i) ASSERT_EQ(second[d][i], 0) << "device " << d << " sample " << i;
    EXPECT_EQ(second[d], first[d]) << "device " << d;
  }
}

TEST_F(DeviceCycle, LiveOutputEqualsTheOfflineComputationAfterTheSilentBlocks) {
  for (bool dither : {false, true}) {
    for (int32_t bits : {16, 24}) {
      testing::ResetEngineForTest();
      SampleBits = bits;
      DitherOn = dither;
      std::vector<FilterPair> bank(5);
      for (int32_t ch = 0; ch < 5; ++ch) {
        bank[ch][0] = testing::RandomSignal(300, 10 + ch);
        bank[ch][1] = testing::RandomSignal(200, 20 + ch);
        for (auto& side : bank[ch])
          for (auto& v : side) v *= 0.05;
      }
      const int32_t scale = bits == 16 ? 12000 : (1 << 28);
      const auto l = testing::RandomSignal(40000, 1), r = testing::RandomSignal(40000, 2);
      sim->SetInputSignal([&](uint64_t frame, int channel, int) {
        return static_cast<int32_t>((channel ? r : l)[frame % l.size()] * scale);
      });
      testing::LoadBankInMemory(bank);
      const int blocks = 40;
      const auto live = RunLive(*sim, queue, blocks);

      // The same input, offline, from a fresh start.
      testing::LoadBankInMemory(bank);
      TheEngine.DitherPos = TheEngine.DitherCount = 0;
      std::vector<int64_t> li, ri;
      for (int64_t t = 0; t < int64_t(blocks) * TheEngine.BlockLength; ++t) {
        li.push_back(static_cast<int32_t>(l[t % l.size()] * scale));
        ri.push_back(static_cast<int32_t>(r[t % r.size()] * scale));
      }
      const auto offline = testing::StreamThroughEngine(li, ri);
      const size_t silent = size_t(HeldNumBuffers()) * TheEngine.BlockLength;
      for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d) {
        const auto& got = live[d];
        ASSERT_GE(got.size(), 2 * (silent + size_t(blocks - 3) * TheEngine.BlockLength)) << d;
        for (size_t f = 0; f < silent; ++f) ASSERT_EQ(got[2 * f], 0);
        for (size_t f = silent; f < got.size() / 2; ++f) {
          ASSERT_EQ(got[2 * f], offline[d].left[f - silent]) << "device " << d << " frame " << f;
          ASSERT_EQ(got[2 * f + 1], offline[d].right[f - silent]) << "device " << d << " frame " << f;
        }
      }
    }
  }
  EXPECT_TRUE(messages.empty());
}

TEST_F(DeviceCycle, LongRunWithGainChangesLosesRepeatsAndReordersNoBlock) {
  LoadImpulseBank(4, 32);
  const int32_t n = TheEngine.BlockLength;
  auto signal = [](uint64_t frame, int channel) {
    return static_cast<int32_t>((frame * 7919 + channel * 104729) % 30011) - 15005;
  };
  sim->SetInputSignal([&](uint64_t frame, int channel, int) { return signal(frame, channel); });
  const int blocks = 100000;
  std::vector<float> gainOfBlock(blocks);
  std::mt19937 gen(5);
  const float choices[] = {1.0f, 2.0f, 0.0f, -1.0f};
  const auto played = RunLive(*sim, queue, blocks, [&](int b) {
    if (gen() % 7 == 0) GainFactors[2] = choices[gen() % 4];  // S1, channel 2
    gainOfBlock[b] = GainFactors[2];
  });
  const size_t silent = size_t(HeldNumBuffers()) * n;
  ASSERT_GE(played[1].size() / 2, silent + size_t(blocks - 3) * n);
  for (size_t f = silent; f < played[1].size() / 2; ++f) {
    const size_t t = f - silent;
    const int64_t want = std::clamp<int64_t>(std::llround(gainOfBlock[t / n] * signal(t, 0)), -32768, 32767);
    ASSERT_EQ(played[1][2 * f], want) << "frame " << t << " block " << t / n;
    ASSERT_EQ(played[1][2 * f + 1], signal(t, 1)) << "frame " << t;
  }
  EXPECT_EQ(sim->DroppedCaptureFrames(), 0u);
}

// A stored device found under its identity is opened wherever the list now holds it;
// one that is absent is named, and nothing at all is opened.
TEST_F(DeviceCycle, StoredDevicesAreOpenedByIdentityAndAnAbsentOneIsNamedInsteadOfReplaced) {
  LoadImpulseBank(4, 8);  // pairs 0 and 1
  WaveOutDeviceNames[0] = "Sim Output 4";  // its id (0) is out of date
  WaveInDeviceName = "Sim Input 2";
  sim->ClearCallLog();
  StartButtonClick();
  ASSERT_TRUE(Running);
  EXPECT_EQ(Count(Log(), "waveOutOpen 3"), 1);
  EXPECT_EQ(Count(Log(), "waveInOpen 1"), 1);
  EXPECT_EQ(WaveOutDevices[0], 3);
  EXPECT_EQ(WaveOutDeviceNames[1], "Sim Output 2");  // played by id, remembered by name
  StopButtonClick();
  queue.Pump();

  // The output that pair 1 used is unplugged; the one that takes its place is not used.
  SimConfig config;
  config.OutputNames = {"Sim Output 1", "Sim Output 3", "Sim Output 4", "Sim Output 5"};
  sim = &InstallSimDriver(config);
  StartButtonClick();
  EXPECT_FALSE(Running);
  EXPECT_TRUE(Log().empty()) << "nothing opened";
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0],
            "Error en waveOutOpen: \r\ndevice ID out of range\r\nSurround Out (1-2): Sim Output 2 is not present");
  EXPECT_EQ(warnings, 1);
  EXPECT_EQ(WaveOutDevices[1], 1);  // left as it was
  EXPECT_EQ(status, "Stopped");

  // Plugged in again (anywhere in the list): plays on it.
  config.OutputNames = {"Sim Output 2", "Sim Output 1", "Sim Output 3", "Sim Output 4", "Sim Output 5"};
  sim = &InstallSimDriver(config);
  StartButtonClick();
  ASSERT_TRUE(Running);
  EXPECT_EQ(Log()[0], "waveOutOpen 3");  // "Sim Output 4" for pair 0
  EXPECT_EQ(Count(Log(), "waveOutOpen 0"), 1);
}

// Pairs on one device that opens only once (a hw: device) get the open's own message,
// and the device opened first is closed again.
TEST_F(DeviceCycle, TwoPairsOnADeviceThatOpensOnceGetTheOpensMessage) {
  SimConfig config;
  config.Exclusive = true;
  sim = &InstallSimDriver(config);
  LoadImpulseBank(4, 8);
  WaveOutDevices[1] = WaveOutDevices[0] = 2;
  StartButtonClick();
  EXPECT_FALSE(Running);
  EXPECT_EQ(messages, std::vector<std::string>{"Error en waveOutOpen: \r\ndevice already allocated"});
  EXPECT_EQ(sim->OpenDeviceCount(), 0u);
}

// A device that goes away mid-run stops the run as the stop command does and says which
// device and why; a notification about it after that changes nothing; Play works again.
TEST_F(DeviceCycle, ADeviceLostMidRunStopsTheRunWithAMessageNamingIt) {
  LoadImpulseBank(4, 8);
  for (WaveKind kind : {WaveKind::Out, WaveKind::In}) {
    messages.clear();
    StartButtonClick();
    ASSERT_TRUE(Running);
    for (int b = 0; b < 5; ++b) {
      sim->Step(static_cast<uint64_t>(TheEngine.BlockLength));
      queue.Pump();
    }
    sim->ClearCallLog();
    const WaveDeviceHandle* lostHandle = kind == WaveKind::In ? WaveInHandle : WaveOutHandles[1];
    sim->LoseDevice(kind, kind == WaveKind::In ? 0 : 1, "No such device (ENODEV)");
    queue.Pump();
    EXPECT_FALSE(Running);
    EXPECT_EQ(status, "Stopped");
    EXPECT_EQ(sim->OpenDeviceCount(), 0u);
    const auto log = Log();
    EXPECT_EQ(Count(log, "waveOutClose"), 2);
    EXPECT_EQ(Count(log, "waveInClose"), 1);
    EXPECT_EQ(Count(log, "RestorePriorities"), 1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], kind == WaveKind::In
                               ? "Device lost: Wave Record, Sim Input 1\r\nNo such device (ENODEV)"
                               : "Device lost: Surround Out (1-2), Sim Output 2\r\nNo such device (ENODEV)");
    // Too late to matter: its run is over.
    queue.Post({MM_WAVE_LOST, const_cast<WaveDeviceHandle*>(lostHandle), nullptr});
    queue.Pump();
    EXPECT_EQ(messages.size(), 1u);
  }
  StartButtonClick();
  EXPECT_TRUE(Running);
  sim->Step(static_cast<uint64_t>(TheEngine.BlockLength));
  EXPECT_GT(queue.Pump(), 0);
  EXPECT_EQ(warnings, 2);
}

}  // namespace
}  // namespace tessival
