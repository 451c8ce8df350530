// The ALSA driver without a sound card: ALSA is pointed (through a temporary HOME) at a
// test .asoundrc whose devices are the "file" plugin on a "null" slave, so capture reads
// a raw file and playback writes one, as fast as the driver asks; and the test PCM of
// tests/alsa_testpcm, paced in real time, which goes wrong on cue.
#include "audio/AlsaDriver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "audio/WaveDevice.h"
#include "tests/support/ThreadCount.h"
#include "tests/support/WaveBuffers.h"
#include "tests/support/WaveQueue.h"

namespace tessival {
namespace {

using testing::Buffer;
using testing::Format;
using testing::ThreadCount;
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
    std::ofstream rc(Dir / ".asoundrc");
    rc << "pcm_type.tessival_test { lib \"" << TESSIVAL_ALSA_TESTPCM << "\" }\n"
       << "pcm.tessival_null { type null hint { show on description \"Tessival test null\" } }\n"
       << "pcm.tessival_full { type file slave.pcm \"null\" file \"/dev/full\" format \"raw\"\n"
       << "  hint { show on description \"Tessival test full disk\" } }\n";
    for (const char* mode : {"enodev", "ebadfd", "stall", "xrun"}) {
      rc << "pcm.tessival_" << mode << " { type tessival_test mode \"" << mode << "\" after 4800\n"
         << "  hint { show on description \"Tessival test " << mode << "\" } }\n";
    }
    rc << "pcm.!default { type file slave.pcm \"null\" file \"" << d << "/default.raw\" format \"raw\"\n"
        << "  hint { show on description \"Tessival test default\" } }\n"
        << "pcm.tessival_capture { type file slave.pcm \"null\" file \"/dev/null\" infile \"" << d
        << "/in.raw\" format \"raw\"\n"
        << "  hint { show on description \"Tessival test capture\" } }\n"
        << "pcm.tessival_play { type file slave.pcm \"null\" file \"" << d << "/out.raw\" format \"raw\"\n"
        << "  hint { show on description \"Tessival test playback\" } }\n";
    rc.close();
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

TEST_F(AlsaDriverTest, ListsTheDefaultDeviceFirstThenTheUsersOwnButNoDiscardingPlugins) {
  for (WaveKind kind : {WaveKind::In, WaveKind::Out}) {
    const std::vector<WaveDeviceEntry> list = WaveDeviceList(kind);
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list[0].Identity, "default");
    EXPECT_EQ(list[0].Name, "Tessival test default");
    // The user's own PCMs, whole, with the names to open them by.
    const int32_t capture = FindWaveDevice(list, "tessival_capture");
    ASSERT_GT(capture, 0);
    EXPECT_EQ(list[static_cast<size_t>(capture)].Name, "Tessival test capture (tessival_capture)");
    EXPECT_EQ(FindDevice(kind, "Tessival test capture"), capture);
    // ALSA's own discarding and converting definitions are not devices to choose.
    for (const char* stock : {"null", "samplerate", "speexrate", "upmix", "vdownmix", "oss", "sysdefault"}) {
      EXPECT_LT(FindWaveDevice(list, stock), 0) << stock;
    }
  }
  // The capability record keeps the first 31 characters of a longer name.
  WAVEOUTCAPSA cut{};
  const int32_t play = FindWaveDevice(WaveDeviceList(WaveKind::Out), "tessival_play");
  ASSERT_EQ(waveOutGetDevCapsA(static_cast<uint32_t>(play), &cut, sizeof(cut)), MMSYSERR_NOERROR);
  EXPECT_EQ(std::string(cut.szPname), std::string("Tessival test playback (tessival_play)").substr(0, 31));
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
  const int null = FindDevice(WaveKind::In, "Tessival test null");
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

// Runs a device of kind opened on pcm as a run does (every buffer returned is queued
// again) until `until` says so or patience runs out; returns the handle, still open.
WaveDeviceHandle* RunDevice(WaveQueue& queue, WaveKind kind, const char* pcm, std::vector<Buffer>& buffers,
                            std::chrono::milliseconds patience, const std::function<bool(const WaveMessage&)>& until) {
  const int32_t id = FindWaveDevice(WaveDeviceList(kind), pcm);
  EXPECT_GT(id, 0) << pcm;
  const WAVEFORMATEX f = Format(48000, 16);
  WaveDeviceHandle* h = nullptr;
  const auto open = kind == WaveKind::In ? waveInOpen : waveOutOpen;
  if (id <= 0 || open(&h, static_cast<uint32_t>(id), &f, &queue, 0, CALLBACK_WINDOW) != 0) return nullptr;
  for (uintptr_t k = 0; k < 3; ++k) buffers.emplace_back(480 * f.nBlockAlign, k);
  const auto prepare = kind == WaveKind::In ? waveInPrepareHeader : waveOutPrepareHeader;
  const auto queueBuffer = kind == WaveKind::In ? waveInAddBuffer : waveOutWrite;
  for (Buffer& b : buffers) {
    prepare(h, &b.Header, sizeof(WAVEHDR));
    queueBuffer(h, &b.Header, sizeof(WAVEHDR));
  }
  if (kind == WaveKind::In) waveInStart(h);
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (std::chrono::steady_clock::now() < deadline) {
    WaveMessage m{};
    if (!queue.WaitTake(&m, 20ms)) continue;
    if (m.Msg == MM_WIM_DATA || m.Msg == MM_WOM_DONE) queueBuffer(h, m.Header, sizeof(WAVEHDR));
    if (until(m)) break;
  }
  return h;
}

// A device that goes away says so once, with ALSA's error, and stops moving buffers;
// reset and close still answer at once, and its thread ends.
TEST_F(AlsaDriverTest, ADeviceThatGoesAwayIsReportedLostWithALSAsError) {
  const struct {
    const char* Pcm;
    WaveKind Kind;
    const char* Reason;
  } cases[] = {
      {"tessival_enodev", WaveKind::In, "No such device (ENODEV)"},
      {"tessival_ebadfd", WaveKind::Out, "File descriptor in bad state (EBADFD)"},
      {"tessival_full", WaveKind::Out, "Input/output error (EIO)"},      // the file plugin cannot write
      {"tessival_stall", WaveKind::In, "no sound moved for 2 s"},       // nothing moves, nothing said
      {"tessival_stall", WaveKind::Out, "no sound moved for 2 s"},
  };
  const size_t threads = ThreadCount();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Pcm);
    queue_.Clear();
    std::vector<Buffer> buffers;
    buffers.reserve(3);
    int lost = 0;
    const auto opened = std::chrono::steady_clock::now();
    WaveDeviceHandle* h = RunDevice(queue_, c.Kind, c.Pcm, buffers, 5s, [&](const WaveMessage& m) {
      lost += m.Msg == MM_WAVE_LOST;
      return lost > 0;
    });
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(lost, 1);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - opened).count();
    if (std::string(c.Pcm) == "tessival_stall") {
      EXPECT_GE(seconds, 2.0);
    }
    std::string reason;
    ASSERT_TRUE(WaveDeviceLostReason(h, &reason));
    EXPECT_EQ(reason, c.Reason);
    // Nothing more moves, and nothing more is said.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(queue_.Size(), 0u);
    const auto closing = std::chrono::steady_clock::now();
    const bool in = c.Kind == WaveKind::In;
    EXPECT_EQ(in ? waveInReset(h) : waveOutReset(h), 0u);
    EXPECT_EQ(queue_.TakeAll().size(), 3u);  // every buffer back
    EXPECT_EQ(in ? waveInClose(h) : waveOutClose(h), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 3s);  // promptly, even on a busy machine
    EXPECT_FALSE(WaveDeviceLostReason(h, &reason));
  }
  EXPECT_EQ(ThreadCount(), threads);
}

TEST_F(AlsaDriverTest, AnXrunIsRecoveredAndCountedNotLost) {
  for (WaveKind kind : {WaveKind::In, WaveKind::Out}) {
    queue_.Clear();
    std::vector<Buffer> buffers;
    buffers.reserve(3);
    int blocks = 0, lost = 0;
    // Until 100 blocks have moved (the xrun comes at the 10th): a machine that stalls
    // for a while must not look like a device that stopped after its xrun.
    WaveDeviceHandle* h = RunDevice(queue_, kind, "tessival_xrun", buffers, 6s, [&](const WaveMessage& m) {
      blocks += m.Msg == MM_WIM_DATA || m.Msg == MM_WOM_DONE;
      lost += m.Msg == MM_WAVE_LOST;
      return blocks >= 100 || lost > 0;
    });
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(WaveDeviceXruns(h), 1u);
    EXPECT_GE(blocks, 100);
    kind == WaveKind::In ? waveInClose(h) : waveOutClose(h);
  }
}

}  // namespace
}  // namespace tessival
