// The ALSA driver without a sound card: ALSA is pointed (through a temporary HOME) at a
// test .asoundrc whose devices are the "file" plugin on a "null" slave, so capture reads
// a raw file and playback writes one, as fast as the driver asks.
#include "audio/AlsaDriver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "audio/WaveDevice.h"
#include "tests/support/WaveBuffers.h"
#include "tests/support/WaveQueue.h"

namespace tessival {
namespace {

using testing::Buffer;
using testing::Format;
using testing::WaveQueue;
using namespace std::chrono_literals;

constexpr auto Patience = 5s;  // the longest any notification may take here
constexpr uint32_t BlockFrames = 1000;
constexpr uint32_t Blocks = 12;

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The id of the device whose product name begins with prefix, or -1.
int FindDevice(WaveKind kind, const std::string& prefix) {
  const uint32_t n = kind == WaveKind::In ? waveInGetNumDevs() : waveOutGetNumDevs();
  for (uint32_t id = 0; id < n; ++id) {
    WAVEOUTCAPSA caps{};
    const MMRESULT r = kind == WaveKind::In
                           ? waveInGetDevCapsA(id, reinterpret_cast<WAVEINCAPSA*>(&caps), sizeof(caps))
                           : waveOutGetDevCapsA(id, &caps, sizeof(caps));
    if (r == MMSYSERR_NOERROR && std::string(caps.szPname).rfind(prefix, 0) == 0) {
      return static_cast<int>(id);
    }
  }
  return -1;
}

class AlsaDriverTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Dir = std::filesystem::temp_directory_path() / ("tessival-alsa-" + std::to_string(::getpid()));
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir);
    // A signal no two blocks share, longer than every capture below.
    Input.resize(Blocks * BlockFrames * 8 + 4096);
    uint32_t x = 12345;
    for (uint8_t& byte : Input) {
      x = x * 1103515245u + 12345u;
      byte = static_cast<uint8_t>(x >> 16);
    }
    std::ofstream(Dir / "in.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(Input.data()), static_cast<std::streamsize>(Input.size()));
    const std::string d = Dir.string();
    std::ofstream(Dir / ".asoundrc")
        << "pcm.!default { type file slave.pcm \"null\" file \"" << d << "/default.raw\" format \"raw\"\n"
        << "  hint { show on description \"Tessival test default\" } }\n"
        << "pcm.tessival_capture { type file slave.pcm \"null\" file \"/dev/null\" infile \"" << d
        << "/in.raw\" format \"raw\"\n"
        << "  hint { show on description \"Tessival test capture\" } }\n"
        << "pcm.tessival_play { type file slave.pcm \"null\" file \"" << d << "/out.raw\" format \"raw\"\n"
        << "  hint { show on description \"Tessival test playback\" } }\n";
    // ALSA reads ~/.asoundrc and $XDG_CONFIG_HOME/alsa/asoundrc once, at its first use.
    ::setenv("HOME", d.c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    InstallWaveDriver(MakeAlsaDriver());
  }

  static void TearDownTestSuite() {
    InstallWaveDriver(nullptr);
    std::filesystem::remove_all(Dir);
  }

  // Waits for the next message, which must be msg (and about header when given).
  void Expect(uint32_t msg, const WAVEHDR* header = nullptr) {
    WaveMessage m{};
    ASSERT_TRUE(queue_.WaitTake(&m, Patience)) << "no message 0x" << std::hex << msg;
    EXPECT_EQ(m.Msg, msg);
    if (header != nullptr) {
      EXPECT_EQ(m.Header, header);
    }
  }

  static inline std::filesystem::path Dir;
  static inline std::vector<uint8_t> Input;
  WaveQueue queue_;
};

TEST_F(AlsaDriverTest, ListsTheDefaultDeviceFirstThenTheOthers) {
  for (WaveKind kind : {WaveKind::In, WaveKind::Out}) {
    EXPECT_EQ(FindDevice(kind, "Tessival test default"), 0);
    EXPECT_GT(FindDevice(kind, "Tessival test capture"), 0);
    EXPECT_GT(FindDevice(kind, "Tessival test playback"), 0);
    EXPECT_GT(FindDevice(kind, "Discard all samples"), 0);  // ALSA's null device
  }
  WAVEINCAPSA caps{};
  EXPECT_EQ(waveInGetDevCapsA(waveInGetNumDevs(), &caps, sizeof(caps)), MMSYSERR_BADDEVICEID);
  HWAVEOUT h = nullptr;
  const WAVEFORMATEX f = Format(48000, 16);
  EXPECT_EQ(waveOutOpen(&h, waveOutGetNumDevs(), &f, &queue_, 0, CALLBACK_WINDOW), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(h, nullptr);
}

TEST_F(AlsaDriverTest, OpensAt16And32BitsAndRefusesOtherFormats) {
  const int play = FindDevice(WaveKind::Out, "Tessival test playback");
  ASSERT_GT(play, 0);
  for (int bits : {16, 32}) {
    HWAVEOUT h = nullptr;
    const WAVEFORMATEX f = Format(44100, bits);
    ASSERT_EQ(waveOutOpen(&h, play, &f, &queue_, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    ASSERT_NE(h, nullptr);
    Expect(MM_WOM_OPEN);
    // Not paused: what is written is played.
    Buffer b(BlockFrames * f.nBlockAlign, 0);
    ASSERT_EQ(waveOutPrepareHeader(h, &b.Header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(h, &b.Header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    Expect(MM_WOM_DONE, &b.Header);
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    Expect(MM_WOM_CLOSE);
    EXPECT_EQ(waveOutClose(h), MMSYSERR_INVALHANDLE);
  }
  HWAVEIN h = nullptr;
  WAVEFORMATEX f = Format(48000, 24);
  f.nBlockAlign = 6;
  EXPECT_EQ(waveInOpen(&h, 0, &f, &queue_, 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
  f = Format(48000, 16);
  f.nChannels = 6;
  f.nBlockAlign = 12;
  EXPECT_EQ(waveInOpen(&h, 0, &f, &queue_, 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(queue_.Size(), 0u);
}

TEST_F(AlsaDriverTest, PausedPlaybackHoldsItsBuffersAndResetReturnsThem) {
  const int play = FindDevice(WaveKind::Out, "Tessival test playback");
  ASSERT_GT(play, 0);
  HWAVEOUT out = nullptr;
  const WAVEFORMATEX f = Format(48000, 16);
  ASSERT_EQ(waveOutOpen(&out, play, &f, &queue_, 0, CALLBACK_WINDOW), 0u);
  Expect(MM_WOM_OPEN);
  ASSERT_EQ(waveOutPause(out), 0u);
  Buffer a(BlockFrames * 4, 0), b(BlockFrames * 4, 1);
  for (Buffer* x : {&a, &b}) {
    ASSERT_EQ(waveOutPrepareHeader(out, &x->Header, sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(waveOutWrite(out, &x->Header, sizeof(WAVEHDR)), 0u);
  }
  // A header written again while queued is queued again as a copy; with two headers
  // prepared the queue holds three, and a fourth write is skipped and returned at once.
  EXPECT_EQ(waveOutWrite(out, &a.Header, sizeof(WAVEHDR)), 0u);
  EXPECT_EQ(waveOutWrite(out, &b.Header, sizeof(WAVEHDR)), 0u);
  Expect(MM_WOM_DONE, &b.Header);
  EXPECT_EQ(waveOutUnprepareHeader(out, &a.Header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(queue_.Size(), 0u);  // the null device would have taken them at once
  WaveDeviceStats stats;
  ASSERT_TRUE(WaveDeviceStatistics(out, &stats));
  EXPECT_EQ(stats.SkippedBlocks, 1u);
  EXPECT_EQ(stats.MaxQueued, 3u);

  ASSERT_EQ(waveOutRestart(out), 0u);
  Expect(MM_WOM_DONE, &a.Header);
  Expect(MM_WOM_DONE, &b.Header);
  Expect(MM_WOM_DONE, &a.Header);
  EXPECT_EQ(a.Header.dwFlags, WHDR_PREPARED | WHDR_DONE);

  // Queued while paused, returned by the reset before it returns.
  ASSERT_EQ(waveOutPause(out), 0u);
  ASSERT_EQ(waveOutWrite(out, &b.Header, sizeof(WAVEHDR)), 0u);
  ASSERT_EQ(waveOutWrite(out, &a.Header, sizeof(WAVEHDR)), 0u);
  ASSERT_EQ(waveOutReset(out), 0u);
  std::vector<WaveMessage> got = queue_.TakeAll();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].Header, &b.Header);
  EXPECT_EQ(got[1].Header, &a.Header);
  EXPECT_EQ(a.Header.dwFlags, WHDR_PREPARED | WHDR_DONE);
  ASSERT_EQ(waveOutClose(out), 0u);
  Expect(MM_WOM_CLOSE);
  EXPECT_EQ(waveOutUnprepareHeader(out, &a.Header, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
}

TEST_F(AlsaDriverTest, CaptureResetReturnsQueuedBuffersAndNullCaptureGivesSilence) {
  const int null = FindDevice(WaveKind::In, "Discard all samples");
  ASSERT_GT(null, 0);
  HWAVEIN in = nullptr;
  const WAVEFORMATEX f = Format(48000, 32);
  ASSERT_EQ(waveInOpen(&in, null, &f, &queue_, 0, CALLBACK_WINDOW), 0u);
  Expect(MM_WIM_OPEN);
  std::vector<Buffer> buffers;
  buffers.reserve(3);
  for (uintptr_t k = 0; k < 3; ++k) {
    buffers.emplace_back(BlockFrames * 8, k);
    std::fill(buffers[k].Data.begin(), buffers[k].Data.end(), 0xAB);
    ASSERT_EQ(waveInPrepareHeader(in, &buffers[k].Header, sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(waveInAddBuffer(in, &buffers[k].Header, sizeof(WAVEHDR)), 0u);
  }
  // Not started: the reset returns all three, empty, in order.
  ASSERT_EQ(waveInReset(in), 0u);
  std::vector<WaveMessage> got = queue_.TakeAll();
  ASSERT_EQ(got.size(), 3u);
  for (uintptr_t k = 0; k < 3; ++k) {
    EXPECT_EQ(got[k].Msg, MM_WIM_DATA);
    EXPECT_EQ(got[k].Header, &buffers[k].Header);
    EXPECT_EQ(got[k].Header->dwBytesRecorded, 0u);
  }
  ASSERT_EQ(waveInAddBuffer(in, &buffers[0].Header, sizeof(WAVEHDR)), 0u);
  ASSERT_EQ(waveInStart(in), 0u);
  Expect(MM_WIM_DATA, &buffers[0].Header);
  EXPECT_EQ(buffers[0].Header.dwBytesRecorded, BlockFrames * 8);
  EXPECT_EQ(buffers[0].Data, std::vector<uint8_t>(BlockFrames * 8, 0));
  ASSERT_EQ(waveInClose(in), 0u);
  Expect(MM_WIM_CLOSE);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(queue_.Size(), 0u);
}

// A known signal captured from a raw file, passed straight through by a trivial loop
// on the test's thread, comes out in the playback file byte for byte.
TEST_F(AlsaDriverTest, ALoopThroughCaptureAndPlaybackCopiesTheSignalExactly) {
  const int cap = FindDevice(WaveKind::In, "Tessival test capture");
  const int play = FindDevice(WaveKind::Out, "Tessival test playback");
  ASSERT_GT(cap, 0);
  ASSERT_GT(play, 0);
  for (int bits : {16, 32}) {
    SCOPED_TRACE(bits);
    queue_.Clear();
    const WAVEFORMATEX f = Format(48000, bits);
    const size_t bytes = BlockFrames * f.nBlockAlign;
    HWAVEIN in = nullptr;
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, play, &f, &queue_, 0, CALLBACK_WINDOW), 0u);
    ASSERT_EQ(waveOutPause(out), 0u);
    ASSERT_EQ(waveInOpen(&in, cap, &f, &queue_, 0, CALLBACK_WINDOW), 0u);
    constexpr uintptr_t NumBuffers = 3;
    std::vector<Buffer> ins, outs;
    ins.reserve(NumBuffers);
    outs.reserve(NumBuffers);
    for (uintptr_t k = 0; k < NumBuffers; ++k) {
      ins.emplace_back(bytes, k);
      outs.emplace_back(bytes, k);
      ASSERT_EQ(waveInPrepareHeader(in, &ins[k].Header, sizeof(WAVEHDR)), 0u);
      ASSERT_EQ(waveOutPrepareHeader(out, &outs[k].Header, sizeof(WAVEHDR)), 0u);
    }
    for (Buffer& b : ins) ASSERT_EQ(waveInAddBuffer(in, &b.Header, sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(waveInStart(in), 0u);
    ASSERT_EQ(waveOutRestart(out), 0u);

    uint32_t captured = 0, played = 0, added = NumBuffers;
    const auto deadline = std::chrono::steady_clock::now() + 4 * Patience;
    while (played < Blocks && std::chrono::steady_clock::now() < deadline) {
      WaveMessage m{};
      if (!queue_.WaitTake(&m, 100ms)) continue;
      if (m.Msg == MM_WIM_DATA) {
        ASSERT_EQ(m.Header, &ins[captured % NumBuffers].Header);  // queue order
        ASSERT_EQ(m.Header->dwBytesRecorded, bytes);
        const uintptr_t k = m.Header->dwUser;
        std::copy(ins[k].Data.begin(), ins[k].Data.end(), outs[k].Data.begin());
        ASSERT_EQ(waveOutWrite(out, &outs[k].Header, sizeof(WAVEHDR)), 0u);
        std::fill(outs[k].Data.begin(), outs[k].Data.end(), 0);  // the driver has its copy
        ++captured;
      } else if (m.Msg == MM_WOM_DONE) {
        // Capture is unpaced here: buffer k is captured again only once its copy has
        // been played, so the loop never rewrites a queued playback buffer.
        ++played;
        if (added < Blocks) {
          ASSERT_EQ(waveInAddBuffer(in, &ins[m.Header->dwUser].Header, sizeof(WAVEHDR)), 0u);
          ++added;
        }
      }
    }
    EXPECT_EQ(captured, Blocks);
    EXPECT_EQ(played, Blocks);
    ASSERT_EQ(waveInReset(in), 0u);
    ASSERT_EQ(waveOutReset(out), 0u);
    ASSERT_EQ(waveInClose(in), 0u);
    ASSERT_EQ(waveOutClose(out), 0u);
    std::vector<uint32_t> closes;
    for (const WaveMessage& m : queue_.TakeAll()) closes.push_back(m.Msg);
    EXPECT_EQ(closes, (std::vector<uint32_t>{MM_WIM_CLOSE, MM_WOM_CLOSE}));

    const std::vector<uint8_t> output = ReadFile(Dir / "out.raw");
    ASSERT_GE(output.size(), Blocks * bytes);
    EXPECT_TRUE(std::equal(output.begin(), output.begin() + Blocks * bytes, Input.begin()));
  }
}

}  // namespace
}  // namespace tessival
