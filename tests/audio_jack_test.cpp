// The JACK driver against a real server: jackd on its dummy backend, or, run under
// pw-jack (PipeWire's libjack), a headless PipeWire. TESSIVAL_TEST_JACK names the one
// meant ("jackd" or "pipewire"); the libjack the dynamic linker gave must be that
// server's. A test client of its own feeds and records the ports. Also ALSA's jack
// device through the same server, which takes float samples only.
#include "audio/JackDriver.h"

#include <gtest/gtest.h>
#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/AlsaDriver.h"
#include "audio/DesktopDriver.h"
#include "audio/DeviceChoice.h"
#include "audio/WaveDevice.h"
#include "audio/WaveDriver.h"
#include "engine/Engine.h"
#include "filterbank/FilterBank.h"
#include "settings/Settings.h"
#include "tests/support/EngineBank.h"
#include "tests/support/LiveRun.h"
#include "tests/support/TestServer.h"
#include "tests/support/WaveBuffers.h"
#include "tests/support/WaveQueue.h"

namespace tessival {
namespace {

using testing::Buffer;
using testing::Format;
using testing::LiveRun;
using testing::TestServer;
using testing::WaveQueue;
using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool Sanitized = true;  // too slow to keep a server's time: pace and rate are not checked
#else
constexpr bool Sanitized = false;
#endif

bool PipeWireWanted() {
  const char* wanted = std::getenv("TESSIVAL_TEST_JACK");
  return wanted != nullptr && std::string(wanted) == "pipewire";
}

// A JACK client of the test's own: two outputs fed from a signal, two inputs recorded.
// Its callback only moves samples between ports and buffers taken beforehand.
class TestClient {
 public:
  TestClient() {
    client_ = jack_client_open("tessival-test", JackNoStartServer, nullptr);
    if (client_ == nullptr) return;
    const char* names[4] = {"out_L", "out_R", "in_L", "in_R"};
    for (int i = 0; i < 4; ++i)
      ports_[i] = jack_port_register(client_, names[i], JACK_DEFAULT_AUDIO_TYPE, i < 2 ? JackPortIsOutput : JackPortIsInput, 0);
    jack_set_process_callback(client_, &TestClient::OnProcess, this);
    if (jack_activate(client_) != 0) {
      jack_client_close(client_);
      client_ = nullptr;
    }
  }
  ~TestClient() {
    if (client_ != nullptr) {
      jack_deactivate(client_);
      jack_client_close(client_);
    }
  }
  bool Ok() const { return client_ != nullptr; }

  // The client alone feeds Tessival's inputs and records its dipole pair. (PipeWire's
  // test-mic, a physical capture port there, stalls a JACK client linked to it.)
  void Route() {
    for (int wait = 0; wait < 100 && Ports("^Tessival:").size() < 4; ++wait) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(jack_connect(client_, Port(0).c_str(), "Tessival:in_L"), 0);
    EXPECT_EQ(jack_connect(client_, Port(1).c_str(), "Tessival:in_R"), 0);
    EXPECT_EQ(jack_connect(client_, "Tessival:dipole_L", Port(2).c_str()), 0);
    EXPECT_EQ(jack_connect(client_, "Tessival:dipole_R", Port(3).c_str()), 0);
    // The driver's own links to the physical ports may show up later (PipeWire makes
    // them asynchronously): they go until only the client's remain.
    for (int wait = 0; wait < 25; ++wait) {
      for (int ch = 0; ch < 2; ++ch) {
        const std::string port = ch == 0 ? "Tessival:in_L" : "Tessival:in_R";
        for (const std::string& peer : Connections(port))
          if (peer != Port(ch)) jack_disconnect(client_, peer.c_str(), port.c_str());
      }
      std::this_thread::sleep_for(20ms);
    }
  }
  jack_client_t* Client() const { return client_; }
  std::string Port(int i) const { return jack_port_name(ports_[i]); }  // 0 out_L, 1 out_R, 2 in_L, 3 in_R

  // From the next cycle on: plays l and r once, and records `frames` of the inputs.
  void Play(std::vector<float> l, std::vector<float> r, size_t frames) {
    // The callback leaves the buffers alone once it has seen running_ false and
    // finished that cycle.
    if (running_.exchange(false, std::memory_order_acq_rel)) {
      const uint64_t seen = cycles_.load(std::memory_order_acquire);
      while (cycles_.load(std::memory_order_acquire) < seen + 2) std::this_thread::sleep_for(1ms);
    }
    feedL_ = std::move(l);
    feedR_ = std::move(r);
    recL_.assign(frames, 0.0f);
    recR_.assign(frames, 0.0f);
    fed_ = 0;
    recorded_.store(0);
    running_.store(true, std::memory_order_release);
  }
  size_t Recorded() const { return recorded_.load(std::memory_order_acquire); }
  const std::vector<float>& RecordedLeft() const { return recL_; }
  const std::vector<float>& RecordedRight() const { return recR_; }
  // The next cycle takes ms milliseconds (the server runs late: an xrun).
  void Stall(int ms) { stallMs_.store(ms); }

  // Every connection of port (full name) removed.
  void DisconnectAll(const std::string& port) {
    jack_port_t* p = jack_port_by_name(client_, port.c_str());
    if (p == nullptr) return;
    if (const char** peers = jack_port_get_all_connections(client_, p)) {
      for (const char** peer = peers; *peer != nullptr; ++peer) {
        if (jack_port_flags(p) & JackPortIsOutput) {
          jack_disconnect(client_, port.c_str(), *peer);
        } else {
          jack_disconnect(client_, *peer, port.c_str());
        }
      }
      jack_free(peers);
    }
  }
  std::vector<std::string> Connections(const std::string& port) const {
    std::vector<std::string> all;
    jack_port_t* p = jack_port_by_name(client_, port.c_str());
    if (p == nullptr) return all;
    if (const char** peers = jack_port_get_all_connections(client_, p)) {
      for (const char** peer = peers; *peer != nullptr; ++peer) all.push_back(*peer);
      jack_free(peers);
    }
    return all;
  }
  std::vector<std::string> Ports(const char* pattern, unsigned long flags = 0) const {
    std::vector<std::string> all;
    if (const char** found = jack_get_ports(client_, pattern, JACK_DEFAULT_AUDIO_TYPE, flags)) {
      for (const char** p = found; *p != nullptr; ++p) all.push_back(*p);
      jack_free(found);
    }
    return all;
  }

 private:
  static int OnProcess(jack_nframes_t n, void* arg) {
    static_cast<TestClient*>(arg)->Process(n);
    return 0;
  }
  void Process(jack_nframes_t n) {
    if (const int ms = stallMs_.exchange(0)) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    auto* ol = static_cast<float*>(jack_port_get_buffer(ports_[0], n));
    auto* orr = static_cast<float*>(jack_port_get_buffer(ports_[1], n));
    const auto* il = static_cast<const float*>(jack_port_get_buffer(ports_[2], n));
    const auto* ir = static_cast<const float*>(jack_port_get_buffer(ports_[3], n));
    if (!running_.load(std::memory_order_acquire)) {
      std::fill_n(ol, n, 0.0f);
      std::fill_n(orr, n, 0.0f);
      cycles_.fetch_add(1, std::memory_order_release);
      return;
    }
    size_t rec = recorded_.load(std::memory_order_relaxed);
    for (jack_nframes_t i = 0; i < n; ++i) {
      const bool feeding = fed_ < feedL_.size();
      ol[i] = feeding ? feedL_[fed_] : 0.0f;
      orr[i] = feeding ? feedR_[fed_] : 0.0f;
      fed_ += feeding;
      if (rec < recL_.size()) {
        recL_[rec] = il[i];
        recR_[rec] = ir[i];
        ++rec;
      }
    }
    recorded_.store(rec, std::memory_order_release);
    cycles_.fetch_add(1, std::memory_order_release);
  }

  jack_client_t* client_ = nullptr;
  jack_port_t* ports_[4] = {};
  std::vector<float> feedL_, feedR_, recL_, recR_;
  size_t fed_ = 0;
  std::atomic<size_t> recorded_{0};
  std::atomic<bool> running_{false};
  std::atomic<int> stallMs_{0};
  std::atomic<uint64_t> cycles_{0};
};

class JackServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Server = std::make_unique<TestServer>(PipeWireWanted() ? TestServer::Kind::PipeWire : TestServer::Kind::Jackd,
                                          "tessival-jack");
    ::setenv("HOME", (Server->Dir() / "home").c_str(), 1);  // no user ALSA configuration
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("PIPEWIRE_REMOTE");
    // The server of the libjack in use is the one started.
    Libjack = LoadedLibjack();
    if ((Libjack.find("pipewire") != std::string::npos) != PipeWireWanted()) return;
    Server->Start();
  }
  static void TearDownTestSuite() { Server.reset(); }

  void SetUp() override {
    const bool pipewireLib = Libjack.find("pipewire") != std::string::npos;
    if (pipewireLib != PipeWireWanted()) {
      const std::string why = PipeWireWanted() ? "PipeWire's libjack is not in use (pipewire-jack, pw-jack): skipped"
                                               : "jackd2's libjack is not in use (" + Libjack + "): skipped";
      if (TestServer::OnCi()) FAIL() << why;
      GTEST_SKIP() << why;
    }
    TESSIVAL_REQUIRE_SERVER(*Server);
    testing::ResetEngineForTest();
  }
  void TearDown() override {
    InstallWaveDriver(nullptr);
    TheEngine.ResetEngine();
  }

  static inline std::unique_ptr<TestServer> Server;
  static inline std::string Libjack;
};

TEST_F(JackServerTest, ListsTheClientsEntriesAndTheDesktopAddsThemWhileTheServerAnswers) {
  InstallWaveDriver(MakeJackDriver());
  std::vector<WaveDeviceEntry> in = WaveDeviceList(WaveKind::In), out = WaveDeviceList(WaveKind::Out);
  ASSERT_EQ(in.size(), 1u);
  EXPECT_EQ(in[0].Name, "JACK: in 1-2");
  std::vector<std::string> names;
  for (const auto& e : out) names.push_back(e.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"JACK: out 1-2", "JACK: out 3-4", "JACK: out 5-6", "JACK: out 7-8",
                                              "JACK: out 9-10"}));
  EXPECT_EQ(out[4].Identity, "jack:S7,S8");

  InstallWaveDriver(MakeDesktopDriver(MakeAlsaDriver(), MakeJackDriver()));
  out = WaveDeviceList(WaveKind::Out);
  ASSERT_GE(out.size(), 6u);
  EXPECT_EQ(out.back().Name, "JACK: out 9-10");
  EXPECT_EQ(out[out.size() - 5].Name, "JACK: out 1-2");
  EXPECT_EQ(WaveDeviceList(WaveKind::In).back().Name, "JACK: in 1-2");
  // A desktop entry opens on the JACK driver, by its place in the whole list.
  HWAVEOUT h = nullptr;
  WaveQueue queue;
  const WAVEFORMATEX f = Format(48000, 16);
  ASSERT_EQ(waveOutOpen(&h, static_cast<uint32_t>(out.size() - 5), &f, &queue, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);

  // Where no server answers, the entries are not offered.
  const char* variable = PipeWireWanted() ? "PIPEWIRE_REMOTE" : "JACK_DEFAULT_SERVER";
  const std::string kept = std::getenv(variable) != nullptr ? std::getenv(variable) : "";
  ::setenv(variable, "tessival-no-such-server", 1);
  for (const auto& e : WaveDeviceList(WaveKind::Out)) EXPECT_EQ(e.Name.rfind("JACK: ", 0), std::string::npos) << e.Name;
  kept.empty() ? ::unsetenv(variable) : ::setenv(variable, kept.c_str(), 1);
}

// A test client feeds a known signal into in_L and in_R; the tiny bank's output on
// dipole_L and dipole_R, recorded by the client, is the engine's output for that input
// bit for bit, once aligned (the client cannot know where Tessival's blocks begin, so
// every block phase is tried).
TEST_F(JackServerTest, PlaysTheTinyBankBitForBitAt16And32Bits) {
  for (int32_t bits : {16, 24}) {
    SCOPED_TRACE(bits);
    testing::ResetEngineForTest();
    SampleBits = bits;
    ASSERT_TRUE(LoadFilterBank(std::string(TESSIVAL_BUILD_DIR) + "/demo/tiny1.wav"));
    const int32_t n = TheEngine.BlockLength;
    InstallWaveDriver(MakeJackDriver());
    WaveInDevice = 0;
    WaveOutDevices[0] = 0;
    TestClient client;
    ASSERT_TRUE(client.Ok());
    LiveRun run;
    StartButtonClick();
    ASSERT_TRUE(Running) << (run.Messages.empty() ? "" : run.Messages.front());
    client.Route();
    // Routing took half a second without turning a buffer: a run of its own, routed
    // from its start, keeps the latency it starts with.
    StopButtonClick();
    StartButtonClick();
    ASSERT_TRUE(run.Pump(5s, [&] { return run.CaptureBlocks >= 4; }));

    // Half a second of noise, every value one a float holds exactly.
    const double scale = bits == 16 ? 32768.0 : 2147483648.0;
    std::mt19937 random(bits);
    std::vector<int64_t> left(24000), right(24000);
    std::vector<float> feedL(left.size()), feedR(right.size());
    for (size_t i = 0; i < left.size(); ++i) {
      const int64_t a = static_cast<int32_t>(random() % 40001) - 20000, b = static_cast<int32_t>(random() % 40001) - 20000;
      left[i] = bits == 16 ? a : a * 32768 + static_cast<int64_t>(random() % 256) * 128;
      right[i] = bits == 16 ? b : b * 32768;
      feedL[i] = static_cast<float>(static_cast<double>(left[i]) / scale);
      feedR[i] = static_cast<float>(static_cast<double>(right[i]) / scale);
    }
    left[0] = bits == 16 ? 20000 : int64_t{20000} * 32768;
    feedL[0] = static_cast<float>(static_cast<double>(left[0]) / scale);
    const size_t frames = 48000;
    client.Play(feedL, feedR, frames);
    ASSERT_TRUE(run.Pump(10s, [&] { return client.Recorded() == frames; }));
    // What Tessival tells the graph it adds (the test client passes its ports' latency
    // on, round the loop: only the difference counts), read while it plays, and
    // whether the run kept its latency (a dry output or an xrun adds to it).
    jack_latency_range_t inputs[2]{}, dipole{};
    for (int ch = 0; ch < 2; ++ch)
      jack_port_get_latency_range(jack_port_by_name(client.Client(), ch == 0 ? "Tessival:in_L" : "Tessival:in_R"),
                                  JackCaptureLatency, &inputs[ch]);
    jack_port_get_latency_range(jack_port_by_name(client.Client(), "Tessival:dipole_L"), JackCaptureLatency, &dipole);
    const jack_nframes_t reported = dipole.max - std::max(inputs[0].max, inputs[1].max);
    WaveDeviceStats stats;
    const bool steady = WaveDeviceStatistics(WaveOutHandles[0], &stats) && stats.UnderrunFrames == 0 &&
                        stats.SkippedBlocks == 0 && WaveDeviceXruns(WaveOutHandles[0]) == 0;
    StopButtonClick();
    EXPECT_TRUE(run.Messages.empty()) << run.Messages.front();

    std::vector<int64_t> gotL(frames), gotR(frames);
    for (size_t i = 0; i < frames; ++i) {
      const double l = client.RecordedLeft()[i] * scale, r = client.RecordedRight()[i] * scale;
      ASSERT_EQ(l, std::nearbyint(l)) << "frame " << i << " is no " << (bits == 16 ? 16 : 32) << "-bit sample";
      gotL[i] = static_cast<int64_t>(l);
      gotR[i] = static_cast<int64_t>(r);
    }
    // The first sample is loud; before it only the transforms' rounding noise of its
    // block may show.
    size_t onset = 0;
    while (onset < frames && std::abs(gotL[onset]) < std::abs(left[0]) / 2) ++onset;
    ASSERT_LT(onset + 4 * size_t(n), frames - left.size()) << "the signal came out too late or not at all";
    ASSERT_GE(onset, size_t(n));
    // The loop is Tessival plus the one period jackd puts on the connection that closes
    // it; the impulse of tiny1 adds nothing. It played a period of silence more than it
    // said whenever Play came before a cycle rather than just after one.
    if (!PipeWireWanted() && steady) {
      EXPECT_EQ(onset, reported + jack_get_buffer_size(client.Client()));
    }

    // Which block phase: the one whose output, noise before the onset included, matches
    // the first blocks.
    const size_t check = 4 * n;
    int32_t phase = -1;
    for (int32_t p = 0; p < n && phase < 0; ++p) {
      TheEngine.ClearBuffers();
      std::vector<int64_t> li(p, 0), ri(p, 0);
      li.insert(li.end(), left.begin(), left.begin() + check);
      ri.insert(ri.end(), right.begin(), right.begin() + check);
      const auto out = testing::StreamThroughEngine(li, ri);
      if (std::equal(out[0].left.begin(), out[0].left.begin() + check, gotL.begin() + onset - p) &&
          std::equal(out[0].right.begin(), out[0].right.begin() + check, gotR.begin() + onset - p))
        phase = p;
    }
    ASSERT_GE(phase, 0) << "no block phase gives the recorded output";
    // The whole of it, the signal's tail included.
    TheEngine.ClearBuffers();
    std::vector<int64_t> li(phase, 0), ri(phase, 0);
    li.insert(li.end(), left.begin(), left.end());
    ri.insert(ri.end(), right.begin(), right.end());
    const auto out = testing::StreamThroughEngine(li, ri);
    const size_t start = onset - phase, length = std::min(out[0].left.size(), frames - start);
    ASSERT_GT(length, left.size());
    size_t differ = 0;
    for (size_t i = 0; i < length; ++i) differ += gotL[start + i] != out[0].left[i] || gotR[start + i] != out[0].right[i];
    EXPECT_EQ(differ, 0u) << "of " << length << " frames";
    std::printf("%d bits: %zu frames bit for bit, block phase %d, %zu frames from the client's first sample "
                "to the onset, %u reported by Tessival%s\n", bits == 16 ? 16 : 32, length, phase, onset, reported,
                steady ? "" : " (the run had xruns or ran dry)");
  }
}

TEST_F(JackServerTest, ARateOtherThanTheServersIsRefusedWithTheFormatMessage) {
  InstallWaveDriver(MakeJackDriver());
  HWAVEOUT h = nullptr;
  WaveQueue queue;
  const WAVEFORMATEX f = Format(44100, 16);
  EXPECT_EQ(waveOutOpen(&h, 0, &f, &queue, 0, CALLBACK_WINDOW), WAVERR_BADFORMAT);
  EXPECT_EQ(h, nullptr);

  ASSERT_TRUE(LoadFilterBank(std::string(TESSIVAL_BUILD_DIR) + "/demo/tiny1.wav"));
  SampleRate = 44100;
  SampleBits = 24;
  LiveRun run;
  StartButtonClick();
  EXPECT_FALSE(Running);
  ASSERT_EQ(run.Messages.size(), 1u);
  EXPECT_EQ(run.Messages[0], "Unsupported wave format:\r\nfs=44100  Bits=24");
}

// Ports stay registered from their first open on, so the connections made in a
// patchbay survive stop and play; only a port that had none when first registered is
// connected to the physical port of its place.
TEST_F(JackServerTest, PortsKeepTheUsersConnectionsOverOpenAndCloseCycles) {
  InstallWaveDriver(MakeJackDriver());
  TestClient client;
  ASSERT_TRUE(client.Ok());
  const std::vector<std::string> capture = client.Ports(nullptr, JackPortIsPhysical | JackPortIsOutput);
  const std::vector<std::string> playback = client.Ports(nullptr, JackPortIsPhysical | JackPortIsInput);
  const char* outs[] = {"dipole_L", "dipole_R", "S1", "S2", "S3", "S4"};
  WaveQueue queue;
  const WAVEFORMATEX f = Format(48000, 16);
  std::vector<Buffer> buffers;
  buffers.reserve(3);
  for (uintptr_t k = 0; k < 3; ++k) buffers.emplace_back(257 * 4, k);

  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(cycle);
    HWAVEIN in = nullptr;
    HWAVEOUT out[3] = {};
    ASSERT_EQ(waveInOpen(&in, 0, &f, &queue, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    for (uint32_t d = 0; d < 3; ++d) ASSERT_EQ(waveOutOpen(&out[d], d, &f, &queue, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
    HWAVEOUT again = nullptr;
    EXPECT_EQ(waveOutOpen(&again, 1, &f, &queue, 0, CALLBACK_WINDOW), MMSYSERR_ALLOCATED);
    // One set of ports, however often they were opened (PipeWire shows them a moment later).
    for (int wait = 0; wait < 50 && client.Ports("^Tessival:").size() < 8; ++wait) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(client.Ports("^Tessival:").size(), 8u);
    if (cycle == 0) {
      for (int ch = 0; ch < 2; ++ch) {
        const std::string port = std::string("Tessival:") + (ch == 0 ? "in_L" : "in_R");
        EXPECT_EQ(client.Connections(port), ch < static_cast<int>(capture.size()) ? std::vector<std::string>{capture[ch]}
                                                                                 : std::vector<std::string>{})
            << port;
      }
      for (size_t i = 0; i < 6; ++i) {
        const std::string port = std::string("Tessival:") + outs[i];
        EXPECT_EQ(client.Connections(port), i < playback.size() ? std::vector<std::string>{playback[i]}
                                                                : std::vector<std::string>{})
            << port;
      }
      // The user's own routing: dipole_L moved to the test client, in_R left unconnected.
      client.DisconnectAll("Tessival:dipole_L");
      client.DisconnectAll("Tessival:in_R");
      ASSERT_EQ(jack_connect(client.Client(), "Tessival:dipole_L", client.Port(2).c_str()), 0);
    } else {
      EXPECT_EQ(client.Connections("Tessival:dipole_L"), std::vector<std::string>{client.Port(2)});
      EXPECT_TRUE(client.Connections("Tessival:in_R").empty());
    }
    // The client's latency: the inputs' plus three queued blocks of 257 frames and the
    // period of silence before them.
    for (Buffer& b : buffers) ASSERT_EQ(waveOutPrepareHeader(out[0], &b.Header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutRestart(out[0]), MMSYSERR_NOERROR);
    // The server recomputes on its own thread (PipeWire a few cycles later).
    jack_latency_range_t inRange{}, outRange{};
    const jack_nframes_t own = 3 * 257 + jack_get_buffer_size(client.Client());
    for (int wait = 0; wait < 100; ++wait) {
      std::this_thread::sleep_for(20ms);
      jack_port_get_latency_range(jack_port_by_name(client.Client(), "Tessival:in_L"), JackCaptureLatency, &inRange);
      jack_port_get_latency_range(jack_port_by_name(client.Client(), "Tessival:S1"), JackCaptureLatency, &outRange);
      if (outRange.max == inRange.max + own) break;
    }
    EXPECT_EQ(outRange.max, inRange.max + own);

    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
    for (HWAVEOUT h : out) EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    EXPECT_EQ(client.Ports("^Tessival:").size(), 8u);  // closed, still there
  }
}

TEST_F(JackServerTest, TheServersXrunsAndTheRateAreCountedOnEveryOpenDevice) {
  InstallWaveDriver(MakeJackDriver());
  TestClient client;
  ASSERT_TRUE(client.Ok());
  WaveQueue queue;
  const WAVEFORMATEX f = Format(48000, 32);
  HWAVEOUT out = nullptr;
  ASSERT_EQ(waveOutOpen(&out, 0, &f, &queue, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(WaveDeviceXruns(out), 0u);
  client.Stall(100);  // about five periods late
  std::this_thread::sleep_for(500ms);
  const uint64_t xruns = WaveDeviceXruns(out);
  std::printf("xruns after a client ran 100 ms late: %llu\n", static_cast<unsigned long long>(xruns));
  if (!PipeWireWanted()) {
    EXPECT_GE(xruns, 1u);  // PipeWire tells a JACK client of its own xruns only
  }
  // The rate counts running time only: a pause leaves no hole in it.
  ASSERT_EQ(waveOutPause(out), MMSYSERR_NOERROR);
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(waveOutRestart(out), MMSYSERR_NOERROR);
  std::this_thread::sleep_for(600ms);
  WaveDeviceStats stats{};
  ASSERT_TRUE(WaveDeviceStatistics(out, &stats));
  if (!Sanitized) {
    EXPECT_NEAR(stats.Rate, 48000.0, 480.0);  // the cycles' times jitter on a busy machine
  }
  EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
}

// ALSA's jack device takes floats only; the ALSA driver converts. A signal fed into its
// capture ports comes back out of its playback ports unchanged, at the server's pace.
TEST_F(JackServerTest, AlsasJackDeviceCarriesIntegerSamplesAsFloatsAtTheServersPace) {
  if (Sanitized) GTEST_SKIP() << "ALSA's jack plugin cannot keep the server's time under a sanitizer: skipped";
  InstallWaveDriver(MakeAlsaDriver());
  const int32_t id = FindWaveDevice(WaveDeviceList(WaveKind::Out), "jack");
  if (id < 0) GTEST_SKIP() << "ALSA's jack device is not installed (libasound2-plugins): skipped";
  ASSERT_EQ(FindWaveDevice(WaveDeviceList(WaveKind::In), "jack"), id);
  TestClient client;
  ASSERT_TRUE(client.Ok());
  WaveQueue queue;
  const WAVEFORMATEX f = Format(48000, 16);
  HWAVEIN in = nullptr;
  HWAVEOUT out = nullptr;
  ASSERT_EQ(waveOutOpen(&out, static_cast<uint32_t>(id), &f, &queue, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInOpen(&in, static_cast<uint32_t>(id), &f, &queue, 0, CALLBACK_WINDOW), MMSYSERR_NOERROR);
  constexpr uint32_t Frames = 1024;
  std::vector<Buffer> ins, outs;
  ins.reserve(4);  // the headers must not move once prepared
  outs.reserve(4);
  for (uintptr_t k = 0; k < 4; ++k) {
    ins.emplace_back(Frames * 4, k);
    outs.emplace_back(Frames * 4, k);
    ASSERT_EQ(waveInPrepareHeader(in, &ins[k].Header, sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(waveOutPrepareHeader(out, &outs[k].Header, sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(waveInAddBuffer(in, &ins[k].Header, sizeof(WAVEHDR)), 0u);
  }
  ASSERT_EQ(waveInStart(in), 0u);
  // A stream is set up when it first moves sound: one block of silence for the output.
  ASSERT_EQ(waveOutWrite(out, &outs[0].Header, sizeof(WAVEHDR)), 0u);
  // The plugin's clients ("<program>.C.<pid>.<n>" and ".P.") and their ports appear once
  // its streams are set up: feed and record them.
  const std::string pid = std::to_string(::getpid());
  std::vector<std::string> from, to;
  for (int wait = 0; wait < 100 && (from.size() < 2 || to.size() < 2); ++wait) {
    std::this_thread::sleep_for(20ms);
    from = client.Ports(("\\.C\\." + pid + "\\.").c_str(), JackPortIsInput);
    to = client.Ports(("\\.P\\." + pid + "\\.").c_str(), JackPortIsOutput);
  }
  ASSERT_EQ(from.size(), 2u);
  ASSERT_EQ(to.size(), 2u);
  for (const std::string& p : from) client.DisconnectAll(p);
  for (int ch = 0; ch < 2; ++ch) {
    ASSERT_EQ(jack_connect(client.Client(), client.Port(ch).c_str(), from[ch].c_str()), 0);
    ASSERT_EQ(jack_connect(client.Client(), to[ch].c_str(), client.Port(2 + ch).c_str()), 0);
  }
  std::vector<float> l(48000), r(48000);
  for (size_t i = 0; i < l.size(); ++i) {
    l[i] = static_cast<float>(static_cast<int>((i * 7919) % 30001) - 15000) / 32768.0f;
    r[i] = -l[i];
  }
  l[0] = 0.5f;
  client.Play(l, r, 96000);
  // Two seconds of a loop: every captured block is written out as it came.
  const auto started = std::chrono::steady_clock::now();
  int captured = 0;
  while (client.Recorded() < 96000 && std::chrono::steady_clock::now() - started < 10s) {
    WaveMessage m{};
    if (!queue.WaitTake(&m, 50ms)) continue;
    ASSERT_NE(m.Msg, MM_WAVE_LOST);
    if (m.Msg != MM_WIM_DATA) continue;
    const auto k = m.Header->dwUser;
    std::memcpy(outs[k].Data.data(), ins[k].Data.data(), Frames * 4);
    ASSERT_EQ(waveOutWrite(out, &outs[k].Header, sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(waveInAddBuffer(in, m.Header, sizeof(WAVEHDR)), 0u);
    ++captured;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_NEAR(captured * double(Frames) / 48000 / seconds, 1.0, 0.15) << captured << " blocks in " << seconds << " s";
  ASSERT_EQ(client.Recorded(), 96000u);
  size_t onset = 0;
  while (onset < 96000 && client.RecordedLeft()[onset] == 0.0f) ++onset;
  ASSERT_LT(onset + l.size(), 96000u);
  size_t differ = 0;
  for (size_t i = 0; i < l.size(); ++i)
    differ += client.RecordedLeft()[onset + i] != l[i] || client.RecordedRight()[onset + i] != r[i];
  EXPECT_EQ(differ, 0u);
  EXPECT_EQ(waveInReset(in), 0u);
  EXPECT_EQ(waveInClose(in), 0u);
  EXPECT_EQ(waveOutClose(out), 0u);
}

// Last in the file, but tests run shuffled: the server is started again at the end.
TEST_F(JackServerTest, TheServerGoingAwayStopsTheRunWithAMessageNamingJack) {
  ASSERT_TRUE(LoadFilterBank(std::string(TESSIVAL_BUILD_DIR) + "/demo/tiny1.wav"));
  InstallWaveDriver(MakeJackDriver());
  WaveInDevice = 0;
  WaveOutDevices[0] = 0;
  {
    TestClient client;
    ASSERT_TRUE(client.Ok());
    LiveRun run;
    StartButtonClick();
    ASSERT_TRUE(Running) << (run.Messages.empty() ? "" : run.Messages.front());
    client.Route();
    ASSERT_TRUE(run.Pump(5s, [&] { return run.CaptureBlocks >= 4; }));
    const auto stopped = std::chrono::steady_clock::now();
    Server->Stop();
    EXPECT_TRUE(run.Pump(5s, [&] { return !Running; }));
    std::printf("run stopped %.2f s after the server was told to stop\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count());
    if (!run.Messages.empty()) std::printf("reason: %s\n", run.Messages[0].substr(run.Messages[0].find('\n') + 1).c_str());
    ASSERT_EQ(run.Messages.size(), 1u);
    EXPECT_EQ(run.Messages[0].rfind("Device lost: ", 0), 0u) << run.Messages[0];
    EXPECT_NE(run.Messages[0].find("JACK"), std::string::npos) << run.Messages[0];
    EXPECT_EQ(run.Status, "Stopped");
  }
  ASSERT_EQ(Server->Start(), 0);
  // A new client once the server is back.
  TestClient client;
  ASSERT_TRUE(client.Ok());
  LiveRun run;
  StartButtonClick();
  ASSERT_TRUE(Running) << (run.Messages.empty() ? "" : run.Messages.front());
  client.Route();
  EXPECT_TRUE(run.Pump(5s, [&] { return run.CaptureBlocks >= 2; }));
}

}  // namespace
}  // namespace tessival
