#include "audio/JackDriver.h"

#include <dlfcn.h>
#include <jack/jack.h>
#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/DeviceQueue.h"
#include "audio/FloatSamples.h"
#include "audio/Priority.h"
#include "audio/ServerProbe.h"

namespace tessival {

namespace {

constexpr const char* ClientName = "Tessival";
constexpr int NumEntries = 6;  // entry 0 captures, 1 to 5 play the output pairs
constexpr auto NotifierTick = std::chrono::milliseconds(100);
constexpr double StallSeconds = 2.0;  // a server that runs no cycle this long while a device has work is lost
constexpr double GoneCheckSeconds = 0.3;  // after this long without a cycle, is the server still there?

struct JackEntry {
  const char* Name;
  const char* Identity;
  const char* Ports[2];
};

constexpr JackEntry Entries[NumEntries] = {
    {"JACK: in 1-2", "jack:in_L,in_R", {"in_L", "in_R"}},
    {"JACK: out 1-2", "jack:dipole_L,dipole_R", {"dipole_L", "dipole_R"}},
    {"JACK: out 3-4", "jack:S1,S2", {"S1", "S2"}},
    {"JACK: out 5-6", "jack:S3,S4", {"S3", "S4"}},
    {"JACK: out 7-8", "jack:S5,S6", {"S5", "S6"}},
    {"JACK: out 9-10", "jack:S7,S8", {"S7", "S8"}},
};

// The entry of device id of kind, or -1.
int EntryOf(WaveKind kind, uint32_t id) {
  if (kind == WaveKind::In) return id == 0 ? 0 : -1;
  return id < NumEntries - 1 ? static_cast<int>(id) + 1 : -1;
}

bool DebugEnabled() {
  const char* v = std::getenv("TESSIVAL_AUDIO_DEBUG");
  return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

void Quiet(const char*) {}

double MonotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Frames waiting between the callback and the buffers: captured ones until a buffer is
// queued to take them (the program turns its buffers round between cycles, however
// many blocks a period holds), played ones a little ahead of the callback.
constexpr uint32_t CaptureRingFrames = 1u << 17;
constexpr uint32_t PlaybackRingFrames = 1u << 15;

struct JackDevice {
  JackDevice(WaveKind kind, const WAVEFORMATEX& format)
      : Kind(kind),
        Format(format),
        Queue(kind, format.nBlockAlign),
        Ring(kind == WaveKind::In ? CaptureRingFrames : PlaybackRingFrames, format.nBlockAlign) {}

  WaveDeviceHandle* Handle = nullptr;
  const WaveKind Kind;
  int Entry = 0;
  const WAVEFORMATEX Format;
  WaveNotifyTarget* Target = nullptr;

  DeviceQueue Queue;       // its device side: the notifier thread (or the main thread holding it off)
  PlaybackCursor Play{/*fillsWhenDry=*/false};  // the callback plays silence when the ring runs dry
  CaptureCursor Capture;
  FrameRing Ring;          // callback <-> notifier
  std::atomic<bool> Running{false};  // capture started, or output not paused
  bool Fed = false;                  // callback: the ring has given frames since the last reset
  std::atomic<uint32_t> Unfed{0};    // callback: silence played while the capture ran, before it was fed
  std::atomic<uint64_t> ShortFrames{0};  // callback: silence played because the ring ran dry
  uint64_t ShortSeen = 0;                // notifier: of those, the frames already counted
  bool LeadDue = true;                   // notifier: a period of silence goes before the first buffer

  uint64_t XrunsAtOpen = 0;
  std::atomic<uint64_t> Overruns{0};         // capture cycles that found the ring full
  // The device's own count of frames against JACK's clock, for its rate.
  std::atomic<uint64_t> RunFrames{0};
  std::atomic<uint64_t> FirstUsecs{0};
  std::atomic<uint64_t> FirstFrames{0};
  std::atomic<uint64_t> LastUsecs{0};
  std::atomic<uint64_t> LastFrames{0};

  // Set once (notifier thread, under the post lock) when the device is lost.
  std::atomic<bool> Lost{false};
  std::string LostText;
};

class JackDriver final : public WaveDriver {
 public:
  JackDriver() {
    if (!DebugEnabled()) {
      jack_set_error_function(Quiet);
      jack_set_info_function(Quiet);
    }
    sem_init(&wake_, 0, 0);
  }

  ~JackDriver() override {
    CloseClient();  // no callback runs after this
    StopNotifier();
    for (JackDevice* d : open_) {
      d->Handle->DriverData = nullptr;
      delete d;
    }
    sem_destroy(&wake_);
  }

  uint32_t NumDevs(WaveKind kind) override { return kind == WaveKind::In ? 1 : NumEntries - 1; }

  bool DeviceName(WaveKind kind, uint32_t id, std::string* name) override {
    const int e = EntryOf(kind, id);
    if (e < 0) return false;
    *name = Entries[e].Name;
    return true;
  }

  std::vector<WaveDeviceEntry> Devices(WaveKind kind) override {
    std::vector<WaveDeviceEntry> list;
    for (int e = kind == WaveKind::In ? 0 : 1; e < (kind == WaveKind::In ? 1 : NumEntries); ++e)
      list.push_back({Entries[e].Name, Entries[e].Identity});
    return list;
  }

  MMRESULT Open(WaveDeviceHandle* handle, const WAVEFORMATEX& format, WaveNotifyTarget* target,
                uintptr_t, uint32_t) override {
    const int e = EntryOf(handle->Kind, handle->DeviceId);
    if (e < 0) return MMSYSERR_BADDEVICEID;
    if (CheckWaveFormat(format) != MMSYSERR_NOERROR) return WAVERR_BADFORMAT;
    if (active_[e].load() != nullptr) return MMSYSERR_ALLOCATED;
    // A server that went away leaves a dead client; a new one is opened once its devices are closed.
    if (client_ != nullptr && Dead()) {
      if (!open_.empty()) return MMSYSERR_NODRIVER;
      CloseClient();
    }
    if (client_ == nullptr) {
      const MMRESULT r = OpenClient();
      if (r != MMSYSERR_NOERROR) return r;
    }
    if (jack_get_sample_rate(client_) != format.nSamplesPerSec) return WAVERR_BADFORMAT;
    const bool registered = ports_[e][0].load() != nullptr;
    if (!registered && !RegisterPorts(e)) return MMSYSERR_NOMEM;

    auto d = std::make_unique<JackDevice>(handle->Kind, format);
    d->Handle = handle;
    d->Entry = e;
    d->Target = target;
    d->Running = d->Kind == WaveKind::Out;  // an output plays what is written unless paused
    d->XrunsAtOpen = xruns_.load(std::memory_order_relaxed);
    JackDevice* device = d.release();
    handle->DriverData = device;
    {
      std::lock_guard lock(postMutex_);
      open_.push_back(device);
    }
    active_[e].store(device);
    if (!activated_) {
      if (jack_activate(client_) != 0) {
        active_[e].store(nullptr);
        Forget(device);
        return MMSYSERR_NOTENABLED;
      }
      activated_ = true;
    }
    if (!registered) ConnectToPhysicalPorts(e);
    Post(*device, device->Kind == WaveKind::In ? MM_WIM_OPEN : MM_WOM_OPEN, nullptr);
    return MMSYSERR_NOERROR;
  }

  MMRESULT Start(WaveDeviceHandle* handle) override { return SetRunning(handle, true); }
  MMRESULT Pause(WaveDeviceHandle* handle) override { return SetRunning(handle, false); }
  MMRESULT Restart(WaveDeviceHandle* handle) override { return SetRunning(handle, true); }

  MMRESULT Prepare(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) override {
    JackDevice* d = DeviceOf(handle);
    return d != nullptr ? d->Queue.Prepare(header, headerSize) : MMSYSERR_INVALHANDLE;
  }

  MMRESULT Unprepare(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) override {
    JackDevice* d = DeviceOf(handle);
    return d != nullptr ? d->Queue.Unprepare(header, headerSize) : MMSYSERR_INVALHANDLE;
  }

  MMRESULT Queue(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) override {
    JackDevice* d = DeviceOf(handle);
    if (d == nullptr) return MMSYSERR_INVALHANDLE;
    bool skipped = false;
    const MMRESULT result = d->Queue.Add(header, headerSize, &skipped);
    if (skipped) Post(*d, MM_WOM_DONE, header);
    if (result == MMSYSERR_NOERROR && !skipped) sem_post(&wake_);
    return result;
  }

  MMRESULT Reset(WaveDeviceHandle* handle) override {
    JackDevice* d = DeviceOf(handle);
    if (d == nullptr) return MMSYSERR_INVALHANDLE;
    HoldOff(*d);
    {
      std::lock_guard lock(postMutex_);
      ReturnAll(*d);
    }
    if (d->Kind == WaveKind::In) d->Running.store(false);
    active_[d->Entry].store(d);
    return MMSYSERR_NOERROR;
  }

  MMRESULT Close(WaveDeviceHandle* handle) override {
    JackDevice* d = DeviceOf(handle);
    if (d == nullptr) return MMSYSERR_INVALHANDLE;
    HoldOff(*d);  // its ports stay, playing silence, with their connections
    {
      std::lock_guard lock(postMutex_);
      ReturnAll(*d);
      // Nothing about the device is posted after this.
      Post(*d, d->Kind == WaveKind::In ? MM_WIM_CLOSE : MM_WOM_CLOSE, nullptr);
    }
    Forget(d);
    // A client whose server went away goes with its last device: libjack keeps the old
    // server's state while any client of it is open, and a new server would find it.
    if (open_.empty() && Dead()) CloseClient();
    return MMSYSERR_NOERROR;
  }

  bool LostReason(WaveDeviceHandle* handle, std::string* reason) override {
    JackDevice* d = DeviceOf(handle);
    if (d == nullptr || !d->Lost.load(std::memory_order_acquire)) return false;
    *reason = d->LostText;
    return true;
  }

  uint64_t XrunCount(WaveDeviceHandle* handle) override {
    JackDevice* d = DeviceOf(handle);
    if (d == nullptr) return 0;
    // The server's xruns since the open, and the device's own overruns and underruns.
    return xruns_.load(std::memory_order_relaxed) - d->XrunsAtOpen + d->Overruns.load(std::memory_order_relaxed) +
           d->Play.UnderrunEvents();
  }

  bool Stats(WaveDeviceHandle* handle, WaveDeviceStats* stats) override {
    JackDevice* d = DeviceOf(handle);
    if (d == nullptr) return false;
    const uint64_t first = d->FirstUsecs.load(std::memory_order_relaxed);
    const uint64_t last = d->LastUsecs.load(std::memory_order_relaxed);
    if (first != 0 && last > first) {
      const uint64_t frames = d->LastFrames.load(std::memory_order_relaxed) - d->FirstFrames.load(std::memory_order_relaxed);
      stats->Rate = static_cast<double>(frames) * 1e6 / static_cast<double>(last - first);
    }
    stats->UnderrunEvents = d->Play.UnderrunEvents();
    stats->UnderrunFrames = d->Play.UnderrunFrames();
    stats->SkippedBlocks = d->Queue.SkippedBlocks();
    stats->MaxQueued = d->Queue.MaxQueued();
    // An output's ring runs two periods ahead of the server; an input gives a period at a time.
    stats->DelayFrames = (d->Kind == WaveKind::Out ? 2 : 1) * Period();
    return true;
  }

 private:
  static JackDevice* DeviceOf(WaveDeviceHandle* handle) {
    if (handle == nullptr || handle->Closed) return nullptr;
    return static_cast<JackDevice*>(handle->DriverData);
  }

  static void Post(JackDevice& d, uint32_t msg, WAVEHDR* header) {
    if (d.Target != nullptr) d.Target->PostWaveMessage({msg, d.Handle, header});
  }

  // --- The client (main thread) ---

  MMRESULT OpenClient() {
    jack_status_t status{};
    client_ = jack_client_open(ClientName, JackNoStartServer, &status);
    if (client_ == nullptr) return MMSYSERR_NODRIVER;
    shutdown_.store(false);
    lost_.store(false);
    shutdownReason_[0] = '\0';
    period_.store(jack_get_buffer_size(client_));  // until the first cycle says otherwise
    jack_set_process_callback(client_, &JackDriver::OnProcess, this);
    jack_set_xrun_callback(client_, &JackDriver::OnXrun, this);
    jack_on_info_shutdown(client_, &JackDriver::OnShutdown, this);
    jack_set_latency_callback(client_, &JackDriver::OnLatency, this);
    StartNotifier();
    return MMSYSERR_NOERROR;
  }

  // The server shut the client down, or its devices were lost to a silent server.
  bool Dead() const { return shutdown_.load(std::memory_order_acquire) || lost_.load(std::memory_order_acquire); }

  void CloseClient() {
    if (client_ == nullptr) return;
    StopNotifier();  // a new client's notifier starts with fresh stall timing
    if (activated_ && !Dead()) jack_deactivate(client_);
    jack_client_close(client_);
    client_ = nullptr;
    activated_ = false;
    for (auto& entry : ports_) {
      for (auto& port : entry) port.store(nullptr);
    }
  }

  bool RegisterPorts(int e) {
    const unsigned long flags = e == 0 ? JackPortIsInput : JackPortIsOutput;
    jack_port_t* ports[2] = {};
    for (int ch = 0; ch < 2; ++ch) {
      ports[ch] = jack_port_register(client_, Entries[e].Ports[ch], JACK_DEFAULT_AUDIO_TYPE, flags, 0);
      if (ports[ch] == nullptr) {
        if (ch == 1) jack_port_unregister(client_, ports[0]);
        return false;
      }
    }
    ports_[e][1].store(ports[1]);
    ports_[e][0].store(ports[0]);  // the callback looks at the left port first
    return true;
  }

  // A port without a connection goes to the physical port of its place, if there is one.
  void ConnectToPhysicalPorts(int e) {
    const char** physical = jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                                           JackPortIsPhysical | (e == 0 ? JackPortIsOutput : JackPortIsInput));
    if (physical == nullptr) return;
    size_t count = 0;
    while (physical[count] != nullptr) ++count;
    for (int ch = 0; ch < 2; ++ch) {
      jack_port_t* port = ports_[e][ch].load();
      const size_t place = e == 0 ? static_cast<size_t>(ch) : static_cast<size_t>(2 * (e - 1) + ch);
      if (port == nullptr || place >= count || jack_port_connected(port) > 0) continue;
      if (e == 0) {
        jack_connect(client_, physical[place], jack_port_name(port));
      } else {
        jack_connect(client_, jack_port_name(port), physical[place]);
      }
    }
    jack_free(physical);
  }

  MMRESULT SetRunning(WaveDeviceHandle* handle, bool running) {
    JackDevice* d = DeviceOf(handle);
    if (d == nullptr) return MMSYSERR_INVALHANDLE;
    if (running) UpdateLatency();
    // The rate is measured over running time only: a pause starts a new measurement.
    if (running && !d->Running.load()) d->FirstUsecs.store(0, std::memory_order_relaxed);
    d->Running.store(running);
    return MMSYSERR_NOERROR;
  }

  // From the input to an output, a frame waits for the playback buffers queued before
  // its block (as many as are prepared, each a block long) and for the period of silence
  // that goes before them.
  void UpdateLatency() {
    uint32_t own = 0;
    for (int e = 1; e < NumEntries; ++e) {
      if (JackDevice* d = active_[e].load())
        own = std::max(own, d->Queue.PreparedCount() * d->Queue.LargestFrames() + Period());
    }
    if (own != latency_.exchange(own) && client_ != nullptr && !shutdown_.load()) jack_recompute_total_latencies(client_);
  }

  // The callback leaves the device alone from now on: its entry is cleared and a cycle
  // that may have begun before is waited out. (A callback never blocks, so the wait is
  // short; after a shutdown no cycle runs at all.)
  void HoldOff(JackDevice& d) {
    active_[d.Entry].store(nullptr);
    const uint64_t cycle = cycle_.load();
    if (cycle % 2 == 0) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (cycle_.load() == cycle && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
  }

  // With the callback held off and the post lock held: everything still queued, in
  // order; the ring's frames are dropped.
  static void ReturnAll(JackDevice& d) {
    const bool in = d.Kind == WaveKind::In;
    d.Queue.ReturnAll(in ? d.Capture.Offset() : 0, [&](WAVEHDR* h) { Post(d, in ? MM_WIM_DATA : MM_WOM_DONE, h); });
    d.Capture.Reset();
    d.Play.Reset();
    d.Ring.Clear();
    d.Fed = false;
    d.Unfed.store(0);
    d.ShortSeen = d.ShortFrames.load();
    d.LeadDue = true;
  }

  void Forget(JackDevice* d) {
    {
      std::lock_guard lock(postMutex_);
      std::erase(open_, d);
    }
    d->Handle->DriverData = nullptr;
    delete d;
  }

  // --- The notifier thread ---

  void StartNotifier() {
    if (notifier_.joinable()) return;
    quit_ = false;
    notifier_ = std::thread([this] { NotifyLoop(); });
  }

  void StopNotifier() {
    if (!notifier_.joinable()) return;
    {
      std::lock_guard lock(postMutex_);
      quit_ = true;
    }
    sem_post(&wake_);
    notifier_.join();
  }

  void NotifyLoop() {
    RequestRealTimeScheduling(IoThreadRealTimePriority);  // it keeps the outputs' rings filled
    uint64_t lastCycle = 0;
    double lastChange = MonotonicSeconds();
    for (;;) {
      timespec until{};
      clock_gettime(CLOCK_REALTIME, &until);
      until.tv_nsec += std::chrono::nanoseconds(NotifierTick).count();
      until.tv_sec += until.tv_nsec / 1000000000;
      until.tv_nsec %= 1000000000;
      while (sem_timedwait(&wake_, &until) != 0 && errno == EINTR) {
      }
      std::lock_guard lock(postMutex_);
      if (quit_) return;
      for (JackDevice* d : open_) Serve(*d);
      if (shutdown_.load(std::memory_order_acquire)) {
        std::string reason = "the JACK server went away";
        if (shutdownReason_[0] != '\0') reason += std::string(" (") + shutdownReason_ + ")";
        LoseAll(reason);
        continue;
      }
      // A server that stopped running cycles may say nothing (PipeWire's JACK layer does
      // not tell a client its daemon went away): it is asked whether it is still there.
      const uint64_t cycle = cycle_.load(std::memory_order_relaxed);
      const double now = MonotonicSeconds();
      if (cycle != lastCycle || !HasWork()) {
        lastCycle = cycle;
        lastChange = now;
      } else if (now - lastChange >= StallSeconds) {
        LoseAll("the JACK server ran no cycle for 2 s");
      } else if (now - lastChange >= GoneCheckSeconds && !JackServerAnswers()) {
        LoseAll("the JACK server went away");
      }
    }
  }

  bool HasWork() const {
    for (const JackDevice* d : open_) {
      if (d->Running.load(std::memory_order_relaxed) && !d->Lost.load(std::memory_order_relaxed)) return true;
    }
    return false;
  }

  uint32_t Period() const { return std::max<uint32_t>(period_.load(std::memory_order_relaxed), 16); }

  // The device side of the device's queue: captured frames into the queued buffers,
  // queued buffers into a playing output's ring. Under the post lock.
  //
  // An output's ring is kept two periods ahead of the callback. Blocks are captured a
  // period at a time and played a period at a time, so the block that completes a
  // period is played a period after its frames came in at best; a period of silence
  // before the first buffer gives every block that slack, whatever the ratio of block
  // to period. When the callback found the ring dry all the same, the device ran dry:
  // the dry rule of WaveDriver.h applies.
  void Serve(JackDevice& d) {
    if (d.Lost.load(std::memory_order_relaxed)) return;
    const uint32_t align = d.Format.nBlockAlign;
    if (d.Kind == WaveKind::In) {
      while (d.Ring.Readable() > 0) {
        uint8_t* to = nullptr;
        const uint32_t n = d.Capture.Next(d.Queue, d.Ring.Readable(), &to);
        if (n == 0) break;  // the frames wait in the ring for the next buffer
        d.Ring.Read(n, [&](const uint8_t* p, uint32_t k) {
          std::memcpy(to, p, static_cast<size_t>(k) * align);
          to += static_cast<size_t>(k) * align;
        });
        if (WAVEHDR* h = d.Capture.Filled(d.Queue, n)) Post(d, MM_WIM_DATA, h);
      }
      return;
    }
    if (!d.Running.load(std::memory_order_acquire)) return;
    if (const uint64_t dry = d.ShortFrames.load(std::memory_order_relaxed); dry != d.ShortSeen) {
      d.Play.RanDry(d.Queue);
      d.Play.CountSilence(dry - d.ShortSeen);
      d.ShortSeen = dry;
    }
    const auto zeros = [align](uint8_t* p, uint32_t k) { std::memset(p, 0, static_cast<size_t>(k) * align); };
    if (d.LeadDue && d.Queue.Front() != nullptr) {
      // A cycle that ran the output before its first buffer came has played part of
      // the lead already, while the capture ran: the rest only, or the latency would
      // grow by a period whenever Play lands before a cycle rather than after it.
      const uint32_t played = d.Unfed.load(std::memory_order_relaxed);
      if (played < Period()) d.Ring.Write(Period() - played, zeros);
      d.LeadDue = false;
    }
    const uint32_t target = std::min(2 * Period(), d.Ring.Capacity());
    while (d.Ring.Readable() < target) {
      const uint8_t* from = nullptr;
      const uint32_t n = d.Play.Next(d.Queue, target - d.Ring.Readable(), &from);
      if (n == 0) break;
      if (from == nullptr) {
        d.Ring.Write(n, zeros);  // silence owed before a buffer that came too late
      } else {
        d.Ring.Write(n, [&](uint8_t* p, uint32_t k) {
          std::memcpy(p, from, static_cast<size_t>(k) * align);
          from += static_cast<size_t>(k) * align;
        });
      }
      if (WAVEHDR* h = d.Play.Played(d.Queue, n)) Post(d, MM_WOM_DONE, h);
    }
  }

  // The client is marked done before the first notification goes out: the main thread
  // may close every device before this returns, and the last close must take the client.
  void LoseAll(const std::string& reason) {
    lost_.store(true, std::memory_order_release);
    for (JackDevice* d : open_) {
      if (d->Lost.load(std::memory_order_relaxed)) continue;
      d->LostText = reason;
      d->Lost.store(true, std::memory_order_release);
      Post(*d, MM_WAVE_LOST, nullptr);
    }
  }

  // --- JACK's threads ---

  static int OnProcess(jack_nframes_t frames, void* arg) {
    static_cast<JackDriver*>(arg)->Process(frames);
    return 0;
  }

  static int OnXrun(void* arg) {
    static_cast<JackDriver*>(arg)->xruns_.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }

  // Called on a thread of libjack's; may call no JACK function.
  static void OnShutdown(jack_status_t, const char* reason, void* arg) {
    auto* self = static_cast<JackDriver*>(arg);
    if (reason != nullptr) {
      std::strncpy(self->shutdownReason_, reason, sizeof(self->shutdownReason_) - 1);
      self->shutdownReason_[sizeof(self->shutdownReason_) - 1] = '\0';
    }
    self->shutdown_.store(true, std::memory_order_release);
    sem_post(&self->wake_);
  }

  // Outputs take the capture latency of the inputs plus the client's own; inputs the
  // playback latency of the outputs plus the client's own.
  static void OnLatency(jack_latency_callback_mode_t mode, void* arg) {
    auto* self = static_cast<JackDriver*>(arg);
    const jack_nframes_t own = self->latency_.load(std::memory_order_relaxed);
    const bool capture = mode == JackCaptureLatency;
    jack_latency_range_t range{0, 0};
    bool any = false;
    for (int e = 0; e < NumEntries; ++e) {
      if ((e == 0) != capture) continue;
      for (auto& p : self->ports_[e]) {
        jack_port_t* port = p.load();
        if (port == nullptr) continue;
        jack_latency_range_t r{};
        jack_port_get_latency_range(port, mode, &r);
        range.min = any ? std::min(range.min, r.min) : r.min;
        range.max = any ? std::max(range.max, r.max) : r.max;
        any = true;
      }
    }
    range.min += own;
    range.max += own;
    for (int e = 0; e < NumEntries; ++e) {
      if ((e == 0) == capture) continue;
      for (auto& p : self->ports_[e]) {
        if (jack_port_t* port = p.load()) jack_port_set_latency_range(port, mode, &range);
      }
    }
  }

  // The real-time path: no lock, no allocation, no call but libjack's buffer lookups
  // and one sem_post to wake the notifier.
  void Process(jack_nframes_t frames) {
    cycle_.fetch_add(1);  // odd: a cycle is running (see HoldOff)
    period_.store(frames, std::memory_order_relaxed);
    bool any = false;
    bool capturing = false;  // entry 0, the capture, comes first
    const uint64_t usecs = jack_get_time();
    for (int e = 0; e < NumEntries; ++e) {
      jack_port_t* left = ports_[e][0].load(std::memory_order_acquire);
      if (left == nullptr) continue;
      jack_port_t* right = ports_[e][1].load(std::memory_order_acquire);
      auto* l = static_cast<float*>(jack_port_get_buffer(left, frames));
      auto* r = static_cast<float*>(jack_port_get_buffer(right, frames));
      JackDevice* d = active_[e].load();
      const bool moving = d != nullptr && d->Running.load(std::memory_order_acquire) &&
                          !d->Lost.load(std::memory_order_relaxed);
      if (e == 0) {
        capturing = moving;
        if (moving) CaptureFrom(*d, l, r, frames);
      } else if (moving) {
        PlayInto(*d, l, r, frames, capturing);
      } else {
        std::fill_n(l, frames, 0.0f);
        std::fill_n(r, frames, 0.0f);
      }
      if (moving) Count(*d, frames, usecs);
      any |= d != nullptr;
    }
    cycle_.fetch_add(1);
    if (any) sem_post(&wake_);
  }

  static void Count(JackDevice& d, jack_nframes_t frames, uint64_t usecs) {
    const uint64_t run = d.RunFrames.load(std::memory_order_relaxed);
    if (d.FirstUsecs.load(std::memory_order_relaxed) == 0) {
      d.FirstFrames.store(run, std::memory_order_relaxed);
      d.FirstUsecs.store(usecs, std::memory_order_relaxed);
    }
    d.LastFrames.store(run, std::memory_order_relaxed);
    d.LastUsecs.store(usecs, std::memory_order_relaxed);
    d.RunFrames.store(run + frames, std::memory_order_relaxed);
  }

  static void CaptureFrom(JackDevice& d, const float* l, const float* r, jack_nframes_t frames) {
    const int bits = d.Format.wBitsPerSample;
    const uint32_t align = d.Format.nBlockAlign;
    jack_nframes_t done = 0;
    d.Ring.Write(frames, [&](uint8_t* p, uint32_t n) {
      FloatsToSamples(l + done, 1, bits, p, align, n);
      FloatsToSamples(r + done, 1, bits, p + align / 2, align, n);
      done += n;
    });
    if (done < frames) d.Overruns.fetch_add(1, std::memory_order_relaxed);  // no buffer for too long
  }

  static void PlayInto(JackDevice& d, float* l, float* r, jack_nframes_t frames, bool capturing) {
    const int bits = d.Format.wBitsPerSample;
    const uint32_t align = d.Format.nBlockAlign;
    jack_nframes_t done = 0;
    d.Ring.Read(frames, [&](const uint8_t* p, uint32_t n) {
      SamplesToFloats(p, align, bits, l + done, 1, n);
      SamplesToFloats(p + align / 2, align, bits, r + done, 1, n);
      done += n;
    });
    std::fill(l + done, l + frames, 0.0f);
    std::fill(r + done, r + frames, 0.0f);
    if (done > 0) d.Fed = true;
    if (!d.Fed && capturing) d.Unfed.store(d.Unfed.load(std::memory_order_relaxed) + frames, std::memory_order_relaxed);
    // Ran dry: the next buffer came too late, or the notifier did.
    if (done < frames && d.Fed) d.ShortFrames.fetch_add(frames - done, std::memory_order_relaxed);
  }

  jack_client_t* client_ = nullptr;  // main thread
  bool activated_ = false;
  std::atomic<jack_port_t*> ports_[NumEntries][2] = {};  // registered ports, kept for the client's life
  std::atomic<JackDevice*> active_[NumEntries] = {};     // the device the callback serves per entry
  std::atomic<uint64_t> cycle_{0};                        // bumped at the start and end of every cycle
  std::atomic<uint64_t> xruns_{0};
  std::atomic<uint32_t> latency_{0};                      // the client's own, in frames
  std::atomic<uint32_t> period_{0};                       // frames of the last cycle
  std::atomic<bool> shutdown_{false};                     // the server shut the client down
  std::atomic<bool> lost_{false};                         // the devices were lost: the client is done
  char shutdownReason_[256] = {};

  sem_t wake_{};
  std::thread notifier_;
  std::mutex postMutex_;             // notifier, and the main thread while it returns buffers
  bool quit_ = false;                // under postMutex_
  std::vector<JackDevice*> open_;    // under postMutex_ (the main thread also reads it alone)
};

}  // namespace

std::unique_ptr<WaveDriver> MakeJackDriver() { return std::make_unique<JackDriver>(); }

std::string LoadedLibjack() {
  Dl_info info{};
  void* symbol = dlsym(RTLD_DEFAULT, "jack_client_open");
  if (symbol == nullptr || dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) return {};
  return info.dli_fname;
}

bool JackServerAnswers() {
  static const bool pipewire = LoadedLibjack().find("pipewire") != std::string::npos;
  return pipewire ? PipeWireAnswers() : JackdAnswers();
}

}  // namespace tessival
