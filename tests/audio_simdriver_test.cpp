// The wave device functions on the simulated driver: what the buffer cycle and the
// device control rely on, and the simulated driver's own test facilities.
#include "audio/SimDriver.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <string>
#include <vector>

#include "audio/Priority.h"
#include "audio/WaveDevice.h"
#include "tests/support/WaveBuffers.h"
#include "tests/support/WaveQueue.h"

namespace tessival {
namespace {

using testing::Buffer;
using testing::Format;
using testing::WaveQueue;
using namespace std::chrono_literals;


std::vector<uint32_t> Messages(const std::vector<WaveMessage>& all) {
  std::vector<uint32_t> m;
  for (const WaveMessage& w : all) m.push_back(w.Msg);
  return m;
}

class SimDriverTest : public ::testing::Test {
 protected:
  void SetUp() override { sim_ = &InstallSimDriver(); }
  void TearDown() override { InstallWaveDriver(nullptr); }

  SimDriver* sim_ = nullptr;
  WaveQueue queue_;
};

TEST_F(SimDriverTest, EnumeratesNamedDevicesAndRefusesBadIds) {
  EXPECT_EQ(waveInGetNumDevs(), 2u);
  EXPECT_EQ(waveOutGetNumDevs(), 5u);
  WAVEINCAPSA in{};
  WAVEOUTCAPSA out{};
  ASSERT_EQ(waveInGetDevCapsA(1, &in, sizeof(in)), MMSYSERR_NOERROR);
  EXPECT_STREQ(in.szPname, "Sim Input 2");
  ASSERT_EQ(waveOutGetDevCapsA(4, &out, sizeof(out)), MMSYSERR_NOERROR);
  EXPECT_STREQ(out.szPname, "Sim Output 5");
  EXPECT_EQ(waveOutGetDevCapsA(5, &out, sizeof(out)), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(waveOutGetDevCapsA(0, &out, 4), MMSYSERR_INVALPARAM);

  SimConfig config;
  config.InputNames.clear();
  config.OutputNames = {"An output device with a name far longer than thirty-one"};
  InstallSimDriver(config);
  EXPECT_EQ(waveInGetNumDevs(), 0u);
  EXPECT_EQ(waveInGetDevCapsA(0, &in, sizeof(in)), MMSYSERR_BADDEVICEID);
  ASSERT_EQ(waveOutGetDevCapsA(0, &out, sizeof(out)), MMSYSERR_NOERROR);
  EXPECT_EQ(std::string(out.szPname), std::string("An output device with a name far longer").substr(0, 31));
  HWAVEIN h = reinterpret_cast<HWAVEIN>(1);
  const WAVEFORMATEX f = Format(48000, 16);
  EXPECT_EQ(waveInOpen(&h, 0, &f, &queue_, 0, CALLBACK_WINDOW), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(h, nullptr);
}

TEST_F(SimDriverTest, OpenReportsFormatBusyAndScriptedFailures) {
  HWAVEOUT h = nullptr;
  WAVEFORMATEX f = Format(48000, 24);  // 24-bit samples in a 6-byte frame: refused
  f.nBlockAlign = 6;
  EXPECT_EQ(waveOutOpen(&h, 0, &f, &queue_, 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
  f = Format(48000, 16);
  f.nChannels = 1;
  EXPECT_EQ(waveOutOpen(&h, 0, &f, &queue_, 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
  f = Format(48000, 32);
  f.nBlockAlign = 4;
  EXPECT_EQ(waveOutOpen(&h, 0, &f, &queue_, 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
  EXPECT_EQ(waveOutOpen(&h, 7, &f, &queue_, 0, CALLBACK_WINDOW), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(queue_.Size(), 0u);

  // A scripted failure for one open, then the device opens and says so.
  sim_->FailOperation(WaveKind::Out, 1, SimOp::Open, MMSYSERR_ALLOCATED, 1);
  f = Format(48000, 32);
  EXPECT_EQ(waveOutOpen(&h, 1, &f, &queue_, 0, CALLBACK_WINDOW), MMSYSERR_ALLOCATED);
  ASSERT_EQ(waveOutOpen(&h, 1, &f, &queue_, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
  ASSERT_NE(h, nullptr);
  WaveMessage m{};
  ASSERT_TRUE(queue_.Take(&m));
  EXPECT_EQ(m.Msg, MM_WOM_OPEN);
  EXPECT_EQ(m.Device, h);
  // Shared device ids open separately; an exclusive device is busy the second time.
  HWAVEOUT second = nullptr;
  EXPECT_EQ(waveOutOpen(&second, 1, &f, &queue_, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
  EXPECT_NE(second, h);
  EXPECT_EQ(sim_->OpenDeviceCount(), 2u);

  SimConfig config;
  config.Exclusive = true;
  config.Rates = {44100, 48000};
  InstallSimDriver(config);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_INVALHANDLE);  // gone with the previous driver
  queue_.Clear();
  EXPECT_EQ(waveOutOpen(&h, 0, &f, &queue_, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutOpen(&second, 0, &f, &queue_, 0, CALLBACK_WINDOW), MMSYSERR_ALLOCATED);
  f = Format(96000, 16);
  EXPECT_EQ(waveOutOpen(&second, 1, &f, &queue_, 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  EXPECT_EQ(Messages(queue_.TakeAll()), (std::vector<uint32_t>{MM_WOM_OPEN, MM_WOM_CLOSE}));
}

TEST_F(SimDriverTest, HeadersMustBePreparedAndNotQueuedTwice) {
  HWAVEIN in = nullptr;
  HWAVEOUT out = nullptr;
  const WAVEFORMATEX f = Format(48000, 16);
  ASSERT_EQ(waveInOpen(&in, 0, &f, &queue_, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutOpen(&out, 0, &f, &queue_, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
  Buffer a(400, 0);
  Buffer b(400, 1);
  const uint32_t size = sizeof(WAVEHDR);
  EXPECT_EQ(waveInAddBuffer(in, &a.Header, size), WAVERR_UNPREPARED);
  EXPECT_EQ(waveOutWrite(out, &b.Header, size), WAVERR_UNPREPARED);
  ASSERT_EQ(waveInPrepareHeader(in, &a.Header, size), MMSYSERR_NOERROR);
  EXPECT_EQ(a.Header.dwFlags, WHDR_PREPARED);
  // Prepared on the capture device is not prepared on the playback device.
  EXPECT_EQ(waveOutWrite(out, &a.Header, size), WAVERR_UNPREPARED);
  EXPECT_EQ(waveInPrepareHeader(in, &a.Header, 8), MMSYSERR_INVALPARAM);
  ASSERT_EQ(waveInAddBuffer(in, &a.Header, size), MMSYSERR_NOERROR);
  EXPECT_TRUE(a.Header.dwFlags & WHDR_INQUEUE);
  EXPECT_EQ(waveInAddBuffer(in, &a.Header, size), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveInUnprepareHeader(in, &a.Header, size), WAVERR_STILLPLAYING);
  // Handles of the wrong kind, null or made up are refused without a crash.
  EXPECT_EQ(waveOutWrite(reinterpret_cast<HWAVEOUT>(in), &a.Header, size), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInStart(nullptr), MMSYSERR_INVALHANDLE);
  WaveDeviceHandle* bogus = reinterpret_cast<WaveDeviceHandle*>(&b);
  EXPECT_EQ(waveOutReset(bogus), MMSYSERR_INVALHANDLE);

  EXPECT_EQ(waveInReset(in), MMSYSERR_NOERROR);
  EXPECT_EQ(a.Header.dwFlags, WHDR_PREPARED | WHDR_DONE);
  EXPECT_EQ(waveInUnprepareHeader(in, &a.Header, size), MMSYSERR_NOERROR);
  EXPECT_EQ(a.Header.dwFlags & WHDR_PREPARED, 0u);
  EXPECT_EQ(waveInAddBuffer(in, &a.Header, size), WAVERR_UNPREPARED);
  EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
}

TEST_F(SimDriverTest, CaptureReturnsFilledBuffersInQueueOrder) {
  sim_->SetInputSignal([](uint64_t frame, int channel, int bits) {
    return static_cast<int32_t>(frame * 2 + channel) * (bits == 32 ? -65536 : -1);
  });
  for (int bits : {16, 32}) {
    queue_.Clear();
    HWAVEIN in = nullptr;
    const WAVEFORMATEX f = Format(44100, bits);
    ASSERT_EQ(waveInOpen(&in, 1, &f, &queue_, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    constexpr uint32_t Frames = 100;
    std::vector<Buffer> buffers;
    buffers.reserve(3);
    for (uintptr_t k = 0; k < 3; ++k) buffers.emplace_back(Frames * f.nBlockAlign, k);
    for (Buffer& b : buffers) ASSERT_EQ(waveInPrepareHeader(in, &b.Header, sizeof(WAVEHDR)), 0u);
    // Queued in the order 2, 0, 1; nothing is captured before the start.
    for (uintptr_t k : {2u, 0u, 1u}) {
      ASSERT_EQ(waveInAddBuffer(in, &buffers[k].Header, sizeof(WAVEHDR)), 0u);
    }
    sim_->Step(500);
    WaveMessage m{};
    ASSERT_TRUE(queue_.Take(&m));
    EXPECT_EQ(m.Msg, MM_WIM_OPEN);
    EXPECT_EQ(queue_.Size(), 0u);

    ASSERT_EQ(waveInStart(in), 0u);
    sim_->Step(250);  // two buffers and a half
    std::vector<WaveMessage> got = queue_.TakeAll();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].Header, &buffers[2].Header);
    EXPECT_EQ(got[1].Header, &buffers[0].Header);
    for (const WaveMessage& w : got) {
      EXPECT_EQ(w.Msg, MM_WIM_DATA);
      EXPECT_EQ(w.Device, in);
      EXPECT_EQ(w.Header->dwBytesRecorded, Frames * f.nBlockAlign);
      EXPECT_EQ(w.Header->dwFlags, WHDR_PREPARED | WHDR_DONE);
    }
    // Buffer 2 holds frames 0..99, buffer 0 frames 100..199.
    const auto first = SimDriver::DecodeSamples(buffers[2].Data, bits);
    const auto second = SimDriver::DecodeSamples(buffers[0].Data, bits);
    const int32_t scale = bits == 32 ? -65536 : -1;
    EXPECT_EQ(first[0], 0);
    EXPECT_EQ(first[199], 199 * scale);
    EXPECT_EQ(second[0], 200 * scale);
    EXPECT_EQ(second[1], 201 * scale);

    // Reset hands back the partly filled buffer with what it holds, then stops capture.
    ASSERT_EQ(waveInReset(in), 0u);
    got = queue_.TakeAll();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].Header, &buffers[1].Header);
    EXPECT_EQ(got[0].Header->dwBytesRecorded, 50u * f.nBlockAlign);
    ASSERT_EQ(waveInAddBuffer(in, &buffers[1].Header, sizeof(WAVEHDR)), 0u);
    sim_->Step(1000);
    EXPECT_EQ(queue_.Size(), 0u);
    // The closing returns what is queued, then says the device is closed, then nothing more.
    ASSERT_EQ(waveInClose(in), 0u);
    got = queue_.TakeAll();
    ASSERT_EQ(Messages(got), (std::vector<uint32_t>{MM_WIM_DATA, MM_WIM_CLOSE}));
    EXPECT_EQ(got[0].Header->dwBytesRecorded, 0u);
    EXPECT_EQ(got[1].Device, in);
    sim_->Step(1000);
    EXPECT_EQ(queue_.Size(), 0u);
    // The handle may still be passed after its close.
    EXPECT_EQ(waveInUnprepareHeader(in, &buffers[0].Header, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInClose(in), MMSYSERR_INVALHANDLE);
  }
}

TEST_F(SimDriverTest, CaptureWithoutQueuedBuffersDropsFrames) {
  sim_->SetInputSamples({1, -1, 2, -2, 3, -3, 4, -4, 5, -5}, /*loop=*/true);
  HWAVEIN in = nullptr;
  const WAVEFORMATEX f = Format(48000, 16);
  ASSERT_EQ(waveInOpen(&in, 0, &f, &queue_, 0, CALLBACK_WINDOW), 0u);
  Buffer b(3 * 4, 0);
  ASSERT_EQ(waveInPrepareHeader(in, &b.Header, sizeof(WAVEHDR)), 0u);
  ASSERT_EQ(waveInStart(in), 0u);
  sim_->Step(4);  // frames 0..3 are lost
  EXPECT_EQ(sim_->DroppedCaptureFrames(), 4u);
  ASSERT_EQ(waveInAddBuffer(in, &b.Header, sizeof(WAVEHDR)), 0u);
  sim_->Step(3);
  EXPECT_EQ(SimDriver::DecodeSamples(b.Data, 16), (std::vector<int32_t>{5, -5, 1, -1, 2, -2}));
  EXPECT_EQ(waveInClose(in), 0u);
}

TEST_F(SimDriverTest, PlaybackIsHeldWhilePausedAndRecordsCopiesInOrder) {
  HWAVEOUT out = nullptr;
  const WAVEFORMATEX f = Format(48000, 16);
  ASSERT_EQ(waveOutOpen(&out, 2, &f, &queue_, 0, CALLBACK_WINDOW), 0u);
  ASSERT_EQ(waveOutPause(out), 0u);
  std::vector<Buffer> buffers;
  buffers.reserve(3);
  for (uintptr_t k = 0; k < 3; ++k) {
    buffers.emplace_back(8, k);  // two frames
    ASSERT_EQ(waveOutPrepareHeader(out, &buffers[k].Header, sizeof(WAVEHDR)), 0u);
  }
  for (uintptr_t k = 0; k < 3; ++k) {
    std::fill(buffers[k].Data.begin(), buffers[k].Data.end(), static_cast<uint8_t>(k + 1));
    ASSERT_EQ(waveOutWrite(out, &buffers[k].Header, sizeof(WAVEHDR)), 0u);
    // The program rewrites its buffer at once; the device plays what was written.
    std::fill(buffers[k].Data.begin(), buffers[k].Data.end(), 0xEE);
  }
  queue_.Clear();
  sim_->Step(100);
  EXPECT_EQ(queue_.Size(), 0u);
  EXPECT_TRUE(sim_->PlayedBytes(2).empty());

  ASSERT_EQ(waveOutRestart(out), 0u);
  sim_->Step(3);  // one buffer and half the next
  std::vector<WaveMessage> got = queue_.TakeAll();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Msg, MM_WOM_DONE);
  EXPECT_EQ(got[0].Header, &buffers[0].Header);
  EXPECT_EQ(got[0].Header->dwFlags, WHDR_PREPARED | WHDR_DONE);
  // Written again while still queued: a copy of what it holds now is queued behind.
  std::fill(buffers[1].Data.begin(), buffers[1].Data.end(), 4);
  EXPECT_EQ(waveOutWrite(out, &buffers[1].Header, sizeof(WAVEHDR)), 0u);
  EXPECT_EQ(sim_->QueuedBufferCount(out), 3u);
  sim_->Step(3);
  got = queue_.TakeAll();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].Header, &buffers[1].Header);
  EXPECT_EQ(got[1].Header, &buffers[2].Header);
  EXPECT_EQ(buffers[1].Header.dwFlags & (WHDR_INQUEUE | WHDR_DONE), WHDR_INQUEUE);  // its copy is still queued
  sim_->Step(2);
  got = queue_.TakeAll();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Header, &buffers[1].Header);
  EXPECT_EQ(buffers[1].Header.dwFlags, WHDR_PREPARED | WHDR_DONE);

  std::vector<uint8_t> expected;
  for (uint8_t v : {1, 2, 3, 4}) expected.insert(expected.end(), 8, v);
  EXPECT_EQ(sim_->PlayedBytes(2), expected);

  // Reset returns everything queued as played, paused or not.
  ASSERT_EQ(waveOutPause(out), 0u);
  for (Buffer& b : buffers) ASSERT_EQ(waveOutWrite(out, &b.Header, sizeof(WAVEHDR)), 0u);
  ASSERT_EQ(waveOutReset(out), 0u);
  got = queue_.TakeAll();
  ASSERT_EQ(got.size(), 3u);
  for (uintptr_t k = 0; k < 3; ++k) {
    EXPECT_EQ(got[k].Msg, MM_WOM_DONE);
    EXPECT_EQ(got[k].Header, &buffers[k].Header);
  }
  ASSERT_EQ(waveOutClose(out), 0u);
  EXPECT_EQ(Messages(queue_.TakeAll()), (std::vector<uint32_t>{MM_WOM_CLOSE}));
  EXPECT_TRUE(sim_->Recordings()[0].Closed);
  EXPECT_EQ(sim_->PlayedBytes(2), expected);
}

TEST_F(SimDriverTest, CallLogAndScriptedFailuresFollowTheCalls) {
  sim_->FailOperation(WaveKind::In, 0, SimOp::Prepare, MMSYSERR_NOMEM);
  sim_->FailOperation(WaveKind::Out, SimAnyDevice, SimOp::Write, MMSYSERR_ERROR, 1);
  HWAVEOUT out = nullptr;
  HWAVEIN in = nullptr;
  const WAVEFORMATEX f = Format(48000, 16);
  ASSERT_EQ(waveOutOpen(&out, 3, &f, &queue_, 0, CALLBACK_WINDOW), 0u);
  ASSERT_EQ(waveOutPause(out), 0u);
  ASSERT_EQ(waveInOpen(&in, 0, &f, &queue_, 0, CALLBACK_WINDOW), 0u);
  Buffer a(16, 0), b(16, 1), c(16, 2);
  EXPECT_EQ(waveInPrepareHeader(in, &a.Header, sizeof(WAVEHDR)), MMSYSERR_NOMEM);
  EXPECT_EQ(waveInPrepareHeader(in, &b.Header, sizeof(WAVEHDR)), MMSYSERR_NOMEM);
  EXPECT_EQ(a.Header.dwFlags, 0u);
  EXPECT_EQ(waveOutPrepareHeader(out, &c.Header, sizeof(WAVEHDR)), 0u);
  EXPECT_EQ(waveInAddBuffer(in, &a.Header, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
  EXPECT_EQ(waveOutWrite(out, &c.Header, sizeof(WAVEHDR)), MMSYSERR_ERROR);
  EXPECT_EQ(waveOutWrite(out, &c.Header, sizeof(WAVEHDR)), 0u);
  RaisePriorities();
  EXPECT_EQ(waveInStart(in), 0u);
  EXPECT_EQ(waveOutRestart(out), 0u);
  EXPECT_EQ(waveInReset(in), 0u);
  EXPECT_EQ(waveOutReset(out), 0u);
  EXPECT_EQ(waveInClose(in), 0u);
  EXPECT_EQ(waveOutClose(out), 0u);
  RestorePriorities();
  EXPECT_EQ(waveOutUnprepareHeader(out, &c.Header, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);

  const std::vector<std::string> expected = {
      "waveOutOpen 3", "waveOutPause 3", "waveInOpen 0", "waveInPrepareHeader 0 0",
      "waveInPrepareHeader 0 1", "waveOutPrepareHeader 3 2", "waveInAddBuffer 0 0",
      "waveOutWrite 3 2", "waveOutWrite 3 2", "RaisePriorities", "waveInStart 0",
      "waveOutRestart 3", "waveInReset 0", "waveOutReset 3", "waveInClose 0", "waveOutClose 3",
      "RestorePriorities", "waveOutUnprepareHeader 3 2"};
  EXPECT_EQ(sim_->CallLog(), expected);
  const std::vector<SimCall> calls = sim_->Calls();
  ASSERT_EQ(calls.size(), expected.size());
  EXPECT_EQ(calls[3].Result, MMSYSERR_NOMEM);
  EXPECT_EQ(calls[6].Result, WAVERR_UNPREPARED);
  EXPECT_EQ(calls[7].Result, MMSYSERR_ERROR);
  EXPECT_EQ(calls[17].Result, MMSYSERR_INVALHANDLE);
  sim_->ClearCallLog();
  EXPECT_TRUE(sim_->CallLog().empty());
}

// Two frames per buffer: an output that runs dry plays silence until the next write and
// a block more; a write that finds prepared + 1 copies queued is skipped.
TEST_F(SimDriverTest, PlaybackQueueStaysBoundedAndADryOutputPlaysSilence) {
  HWAVEOUT out = nullptr;
  const WAVEFORMATEX f = Format(48000, 16);
  ASSERT_EQ(waveOutOpen(&out, 0, &f, &queue_, 0, CALLBACK_WINDOW), 0u);
  Buffer a(8, 0), b(8, 1);
  std::fill(a.Data.begin(), a.Data.end(), 0xA);
  std::fill(b.Data.begin(), b.Data.end(), 0xB);
  for (Buffer* x : {&a, &b}) ASSERT_EQ(waveOutPrepareHeader(out, &x->Header, sizeof(WAVEHDR)), 0u);
  sim_->Step(10);  // never played: idle, not dry
  WaveDeviceStats stats;
  ASSERT_TRUE(WaveDeviceStatistics(out, &stats));
  EXPECT_EQ(stats.UnderrunEvents, 0u);

  ASSERT_EQ(waveOutPause(out), 0u);
  for (Buffer* x : {&a, &b, &a}) ASSERT_EQ(waveOutWrite(out, &x->Header, sizeof(WAVEHDR)), 0u);
  queue_.Clear();
  ASSERT_EQ(waveOutWrite(out, &b.Header, sizeof(WAVEHDR)), 0u);  // a fourth: skipped, done at once
  std::vector<WaveMessage> got = queue_.TakeAll();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Msg, MM_WOM_DONE);
  EXPECT_EQ(got[0].Header, &b.Header);
  EXPECT_EQ(sim_->QueuedBufferCount(out), 3u);

  ASSERT_EQ(waveOutRestart(out), 0u);
  sim_->Step(6);   // a b a
  sim_->Step(3);   // dry
  sim_->Step(2);   // still dry: the same underrun
  ASSERT_TRUE(WaveDeviceStatistics(out, &stats));
  EXPECT_EQ(stats.UnderrunEvents, 1u);
  EXPECT_EQ(stats.UnderrunFrames, 5u);
  ASSERT_EQ(waveOutWrite(out, &b.Header, sizeof(WAVEHDR)), 0u);
  sim_->Step(4);   // a block of silence, then b
  sim_->Step(1);   // dry again
  ASSERT_EQ(waveOutReset(out), 0u);
  sim_->Step(10);  // idle after the reset

  std::vector<uint8_t> want;
  for (uint8_t v : {0xA, 0xB, 0xA}) want.insert(want.end(), 8, v);
  want.insert(want.end(), 7 * 4, 0);
  want.insert(want.end(), 8, 0xB);
  want.insert(want.end(), 4, 0);
  EXPECT_EQ(sim_->PlayedBytes(0), want);
  ASSERT_TRUE(WaveDeviceStatistics(out, &stats));
  EXPECT_EQ(stats.UnderrunEvents, 2u);
  EXPECT_EQ(stats.UnderrunFrames, 8u);
  EXPECT_EQ(stats.SkippedBlocks, 1u);
  EXPECT_EQ(stats.MaxQueued, 3u);
  EXPECT_EQ(WaveDeviceXruns(out), 2u);
  EXPECT_EQ(sim_->Recordings()[0].UnderrunFrames, 8u);
  EXPECT_EQ(waveOutClose(out), 0u);
  EXPECT_FALSE(WaveDeviceStatistics(out, &stats));
}

// Offsets are applied to the whole elapsed time, so single-frame steps lose nothing.
TEST_F(SimDriverTest, RateOffsetsMakeDevicesRunFastOrSlowExactly) {
  sim_->SetRateOffsetPpm(WaveKind::In, 0, 1000);
  sim_->SetRateOffsetPpm(WaveKind::Out, 1, -250);
  HWAVEIN in = nullptr;
  HWAVEOUT out = nullptr;
  const WAVEFORMATEX f = Format(48000, 16);
  ASSERT_EQ(waveInOpen(&in, 0, &f, &queue_, 0, CALLBACK_WINDOW), 0u);
  ASSERT_EQ(waveOutOpen(&out, 1, &f, &queue_, 0, CALLBACK_WINDOW), 0u);
  Buffer big(600000 * 4, 0);
  ASSERT_EQ(waveOutPrepareHeader(out, &big.Header, sizeof(WAVEHDR)), 0u);
  ASSERT_EQ(waveOutWrite(out, &big.Header, sizeof(WAVEHDR)), 0u);
  ASSERT_EQ(waveInStart(in), 0u);
  for (int i = 0; i < 10; ++i) sim_->Step(48000);
  EXPECT_EQ(sim_->DroppedCaptureFrames(), 480480u);
  for (int i = 0; i < 4000; ++i) sim_->Step(1);
  EXPECT_EQ(sim_->DroppedCaptureFrames(), 484484u);
  EXPECT_EQ(sim_->PlayedBytes(1).size(), 483879u * 4);  // 484000 * 0.99975, rounded down
  WaveDeviceStats inStats, outStats;
  ASSERT_TRUE(WaveDeviceStatistics(in, &inStats));
  ASSERT_TRUE(WaveDeviceStatistics(out, &outStats));
  EXPECT_NEAR(inStats.Rate, 48048.0, 0.01);
  EXPECT_NEAR((outStats.Rate / inStats.Rate - 1) * 1e6, (0.99975 / 1.001 - 1) * 1e6, 3.0);
  EXPECT_EQ(waveInClose(in), 0u);
  EXPECT_EQ(waveOutClose(out), 0u);
}

TEST_F(SimDriverTest, ReplacingTheDriverClosesItsDevicesSilently) {
  HWAVEOUT out = nullptr;
  const WAVEFORMATEX f = Format(48000, 16);
  ASSERT_EQ(waveOutOpen(&out, 0, &f, &queue_, 0, CALLBACK_WINDOW), 0u);
  Buffer b(16, 0);
  ASSERT_EQ(waveOutPrepareHeader(out, &b.Header, sizeof(WAVEHDR)), 0u);
  ASSERT_EQ(waveOutWrite(out, &b.Header, sizeof(WAVEHDR)), 0u);
  queue_.Clear();
  InstallSimDriver();
  EXPECT_EQ(queue_.Size(), 0u);
  EXPECT_EQ(waveOutWrite(out, &b.Header, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
}

class SimFilesTest : public SimDriverTest {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tessival-sim-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    SimDriverTest::TearDown();
    std::filesystem::remove_all(dir_);
  }
  std::filesystem::path dir_;
};

TEST_F(SimFilesTest, CapturesALoopedWavFileAndRecordsOutputsToWavFiles) {
  // A 16-bit stereo file of three frames.
  const std::string input = (dir_ / "in.wav").string();
  SF_INFO info{};
  info.samplerate = 48000;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(input.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr);
  const short frames[] = {100, -100, 200, -200, 300, -300};
  ASSERT_EQ(sf_writef_short(file, frames, 3), 3);
  sf_close(file);

  SimConfig config;
  config.InputFile = input;
  config.RecordFolder = (dir_ / "rec").string();
  sim_ = &InstallSimDriver(config);
  HWAVEIN in = nullptr;
  HWAVEOUT out = nullptr;
  for (int bits : {16, 32}) {
    const WAVEFORMATEX f = Format(48000, bits);
    ASSERT_EQ(waveInOpen(&in, 0, &f, &queue_, 0, CALLBACK_WINDOW), 0u);
    ASSERT_EQ(waveOutOpen(&out, 1, &f, &queue_, 0, CALLBACK_WINDOW), 0u);
    Buffer b(4u * f.nBlockAlign, 0);
    ASSERT_EQ(waveInPrepareHeader(in, &b.Header, sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(waveOutPrepareHeader(out, &b.Header, sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(waveInAddBuffer(in, &b.Header, sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(waveInStart(in), 0u);
    sim_->Step(4);
    const int32_t scale = bits == 16 ? 1 : 65536;
    EXPECT_EQ(SimDriver::DecodeSamples(b.Data, bits),
              (std::vector<int32_t>{100 * scale, -100 * scale, 200 * scale, -200 * scale,
                                    300 * scale, -300 * scale, 100 * scale, -100 * scale}));
    ASSERT_EQ(waveOutWrite(out, &b.Header, sizeof(WAVEHDR)), 0u);
    sim_->Step(4);
    ASSERT_EQ(waveInClose(in), 0u);
    ASSERT_EQ(waveOutClose(out), 0u);
  }
  // One file per output open, holding what was played.
  const std::vector<SimRecording> recordings = sim_->Recordings();
  ASSERT_EQ(recordings.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const std::string path = (dir_ / "rec" / ("out-00" + std::to_string(i) + "-dev1.wav")).string();
    SF_INFO got{};
    SNDFILE* rec = sf_open(path.c_str(), SFM_READ, &got);
    ASSERT_NE(rec, nullptr) << path;
    EXPECT_EQ(got.frames, 4);
    EXPECT_EQ(got.channels, 2);
    std::vector<uint8_t> bytes(recordings[i].Bytes.size());
    EXPECT_EQ(sf_read_raw(rec, bytes.data(), static_cast<sf_count_t>(bytes.size())),
              static_cast<sf_count_t>(bytes.size()));
    sf_close(rec);
    EXPECT_EQ(bytes, recordings[i].Bytes);
  }

  std::string error;
  EXPECT_FALSE(sim_->SetInputFile((dir_ / "missing.wav").string(), &error));
  EXPECT_NE(error.find("missing.wav"), std::string::npos);
}

TEST(SimDriverRealTime, TheEnvironmentChoosesAPacedSimulatedDriver) {
  ::setenv("TESSIVAL_AUDIO", "sim", 1);
  InstallWaveDriver(nullptr);
  EXPECT_NE(dynamic_cast<SimDriver*>(&ActiveWaveDriver()), nullptr);
  ::unsetenv("TESSIVAL_AUDIO");

  WaveQueue queue;
  HWAVEIN in = nullptr;
  HWAVEOUT out = nullptr;
  const WAVEFORMATEX f = Format(48000, 16);
  ASSERT_EQ(waveInOpen(&in, 0, &f, &queue, 0, CALLBACK_WINDOW), 0u);
  ASSERT_EQ(waveOutOpen(&out, 0, &f, &queue, 0, CALLBACK_WINDOW), 0u);
  Buffer a(480 * 4, 0);  // 10 ms
  Buffer b(480 * 4, 1);
  ASSERT_EQ(waveInPrepareHeader(in, &a.Header, sizeof(WAVEHDR)), 0u);
  ASSERT_EQ(waveOutPrepareHeader(out, &b.Header, sizeof(WAVEHDR)), 0u);
  ASSERT_EQ(waveInAddBuffer(in, &a.Header, sizeof(WAVEHDR)), 0u);
  ASSERT_EQ(waveOutWrite(out, &b.Header, sizeof(WAVEHDR)), 0u);
  ASSERT_EQ(waveInStart(in), 0u);
  bool data = false, done = false;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!(data && done) && std::chrono::steady_clock::now() < deadline) {
    WaveMessage m{};
    if (!queue.WaitTake(&m, 100ms)) continue;
    data = data || (m.Msg == MM_WIM_DATA && m.Header == &a.Header);
    done = done || (m.Msg == MM_WOM_DONE && m.Header == &b.Header);
  }
  EXPECT_TRUE(data);
  EXPECT_TRUE(done);
  EXPECT_EQ(a.Header.dwBytesRecorded, 480u * 4);
  EXPECT_EQ(waveInClose(in), 0u);
  EXPECT_EQ(waveOutClose(out), 0u);
  queue.Clear();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(queue.Size(), 0u);
  InstallWaveDriver(nullptr);
}

}  // namespace
}  // namespace tessival
