#include "audio/AlsaDriver.h"

#include <alsa/asoundlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/AlsaDeviceList.h"
#include "audio/Priority.h"

namespace tessival {

namespace {

constexpr unsigned PeriodMicroseconds = 10000;  // the I/O thread's piece of work
constexpr unsigned BufferMicroseconds = 40000;  // ALSA's own buffering
constexpr int WaitMilliseconds = 20;            // longest wait before commands are looked at
constexpr uint32_t RingSize = 1024;             // most headers one device can have prepared
constexpr double StallSeconds = 2.0;            // a running device that moves nothing this long is lost

bool DebugEnabled() {
  static const bool enabled = [] {
    const char* v = std::getenv("TESSIVAL_AUDIO_DEBUG");
    return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
  }();
  return enabled;
}

void Debug(const char* what, const std::string& device, int err) {
  if (DebugEnabled()) std::fprintf(stderr, "alsa: %s %s: %s\n", what, device.c_str(), snd_strerror(err));
}

// ALSA prints its own complaints (unknown PCMs among the hints, ...) unless told not to.
void QuietAlsaError(const char*, int, const char*, int, const char*, ...) {}

// ALSA's error codes are errno values, plus a few of its own above SND_ERROR_BEGIN.
std::string AlsaErrorText(int err) {
  return -err >= SND_ERROR_BEGIN ? std::string(snd_strerror(err)) : ErrnoText(err);
}

// True when a program listens on the Unix socket at path (a stale file is not enough).
bool SocketAnswers(const std::string& path) {
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof(address.sun_path)) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int r = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  const bool answers = r == 0 || errno == EAGAIN || errno == EINPROGRESS;
  ::close(fd);
  return answers;
}

std::string Environment(const char* name, const std::string& otherwise = {}) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : otherwise;
}

// Which sound servers answer, where their clients would look for them.
SoundServers ProbeSoundServers() {
  SoundServers s;
  const std::string runtime = Environment("XDG_RUNTIME_DIR", "/run/user/" + std::to_string(::getuid()));
  const std::string pipewireDir = Environment("PIPEWIRE_RUNTIME_DIR", runtime);
  const std::string remote = Environment("PIPEWIRE_REMOTE", "pipewire-0");
  s.PipeWire = SocketAnswers(remote[0] == '/' ? remote : pipewireDir + "/" + remote);
  // A PULSE_SERVER elsewhere (another machine, say) is taken on trust.
  const std::string pulseServer = Environment("PULSE_SERVER");
  s.Pulse = !pulseServer.empty() ? pulseServer.rfind("unix:", 0) != 0 || SocketAnswers(pulseServer.substr(5))
                                 : SocketAnswers(Environment("PULSE_RUNTIME_PATH", runtime + "/pulse") + "/native");
  // jackd's socket, or PipeWire standing in for JACK where its libjack is the one in use.
  const std::string jackServer = Environment("JACK_DEFAULT_SERVER", "default");
  s.Jack = SocketAnswers("/dev/shm/jack_" + jackServer + "_" + std::to_string(::getuid()) + "_0");
  if (!s.Jack && s.PipeWire) {
    bool pipewireJack = Environment("LD_LIBRARY_PATH").find("pipewire") != std::string::npos;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/etc/ld.so.conf.d", ec)) {
      if (entry.path().filename().string().find("pipewire-jack") != std::string::npos) pipewireJack = true;
    }
    s.Jack = pipewireJack;
  }
  return s;
}

std::vector<AlsaCard> PresentCards() {
  std::vector<AlsaCard> cards;
  int card = -1;
  while (snd_card_next(&card) == 0 && card >= 0) {
    AlsaCard c;
    c.Index = card;
    snd_ctl_t* ctl = nullptr;
    snd_ctl_card_info_t* info = nullptr;
    snd_ctl_card_info_alloca(&info);
    if (snd_ctl_open(&ctl, ("hw:" + std::to_string(card)).c_str(), 0) == 0) {
      if (snd_ctl_card_info(ctl, info) == 0) {
        c.Id = snd_ctl_card_info_get_id(info);
        c.Name = snd_ctl_card_info_get_name(info);
      }
      snd_ctl_close(ctl);
    }
    if (!c.Id.empty()) cards.push_back(c);
  }
  return cards;
}

struct AlsaBlock;

// One queue entry: a capture header to fill, or the copy of a written playback buffer.
struct AlsaSlot {
  AlsaBlock* Owner = nullptr;
  std::vector<uint8_t> Data;  // playback: the bytes as written
  uint32_t Frames = 0;        // whole frames of the buffer
};

// A prepared header.
struct AlsaBlock {
  WAVEHDR* Header = nullptr;
  AlsaSlot Own;                    // capture: its queue entry (filled in place, queued once)
  std::atomic<uint32_t> Queued{0};  // its entries in the queue; the I/O thread lowers it last
};

// Header flags are set by the main thread at a write and by the I/O thread when it lets
// go of a copy; with several copies of one header in flight both may touch them.
void SetFlags(WAVEHDR* header, uint32_t set, uint32_t clear) {
  std::atomic_ref<uint32_t> flags(header->dwFlags);
  flags.fetch_and(~clear, std::memory_order_relaxed);
  flags.fetch_or(set, std::memory_order_relaxed);
}

double MonotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct AlsaDevice {
  WaveDeviceHandle* Handle = nullptr;
  WaveKind Kind = WaveKind::In;
  std::string Name;
  WAVEFORMATEX Format{};
  std::atomic<WaveNotifyTarget*> Target{nullptr};  // null once the driver goes silently
  snd_pcm_t* Pcm = nullptr;
  snd_pcm_uframes_t Chunk = 256;  // frames per transfer (the period)
  snd_pcm_uframes_t Delay = 0;    // frames held in ALSA: the ring for playback, a period for capture
  bool CanPause = false;
  std::vector<uint8_t> Silence;   // one period of zeros

  std::vector<std::unique_ptr<AlsaBlock>> Blocks;  // main thread only

  // Queued buffers: the main thread appends at Head, the I/O thread takes from Tail.
  // No lock: queueing runs in every block's notification handler.
  std::unique_ptr<AlsaSlot*[]> Ring{new AlsaSlot*[RingSize]};
  std::atomic<uint32_t> Head{0};
  std::atomic<uint32_t> Tail{0};

  // Playback copies: made at prepare (main thread), handed back by the I/O thread
  // through Returned once played, taken again from Free by the main thread.
  std::vector<std::unique_ptr<AlsaSlot>> Slots;  // main thread only
  std::vector<AlsaSlot*> Free;                   // main thread only
  std::unique_ptr<AlsaSlot*[]> Returned{new AlsaSlot*[RingSize]};
  std::atomic<uint32_t> ReturnedHead{0};  // I/O thread appends
  std::atomic<uint32_t> ReturnedTail{0};  // main thread takes

  // Figures (Stats): counts of the main thread, and of the I/O thread.
  uint64_t SkippedBlocks = 0;
  uint32_t MaxQueued = 0;
  std::atomic<uint64_t> UnderrunEvents{0};
  std::atomic<uint64_t> UnderrunFrames{0};
  std::atomic<double> Rate{0};  // frames per second against the monotonic clock

  std::atomic<uint32_t> Wake{0};       // bumped on every change the I/O thread must see
  std::atomic<bool> Running{false};    // capture started, or output not paused
  std::atomic<bool> ResetPending{false};
  std::atomic<bool> Quit{false};
  std::atomic<uint64_t> Xruns{0};
  // Set once by the I/O thread when the device is gone; LostText is written before.
  std::atomic<bool> Lost{false};
  std::string LostText;
  std::mutex CommandMutex;             // only for waiting on a reset (never in the block path)
  std::condition_variable CommandDone;

  std::thread Thread;

  void Nudge() {
    Wake.fetch_add(1, std::memory_order_release);
    Wake.notify_all();
  }
};

class AlsaDriver final : public WaveDriver {
 public:
  AlsaDriver() {
    if (!DebugEnabled()) snd_lib_error_set_handler(QuietAlsaError);
  }

  ~AlsaDriver() override {
    for (AlsaDevice* d : open_) {
      StopThread(*d, /*notify=*/false);
      snd_pcm_close(d->Pcm);
      d->Handle->DriverData = nullptr;
      delete d;
    }
  }

  uint32_t NumDevs(WaveKind kind) override {
    Enumerate();
    return static_cast<uint32_t>(List(kind).size());
  }

  bool DeviceName(WaveKind kind, uint32_t id, std::string* name) override {
    if (!enumerated_) Enumerate();
    const auto& list = List(kind);
    if (id >= list.size()) return false;
    *name = list[id].Name;
    return true;
  }

  std::vector<WaveDeviceEntry> Devices(WaveKind kind) override {
    Enumerate();
    return List(kind);
  }

  bool LostReason(WaveDeviceHandle* handle, std::string* reason) override {
    AlsaDevice* d = DeviceOf(handle);
    if (d == nullptr || !d->Lost.load(std::memory_order_acquire)) return false;
    *reason = d->LostText;
    return true;
  }

  MMRESULT Open(WaveDeviceHandle* handle, const WAVEFORMATEX& format, WaveNotifyTarget* target,
                uintptr_t, uint32_t) override {
    if (!enumerated_) Enumerate();
    const auto& list = List(handle->Kind);
    if (handle->DeviceId >= list.size()) return MMSYSERR_BADDEVICEID;
    if (CheckWaveFormat(format) != MMSYSERR_NOERROR) return WAVERR_BADFORMAT;

    auto d = std::make_unique<AlsaDevice>();
    d->Handle = handle;
    d->Kind = handle->Kind;
    d->Name = list[handle->DeviceId].Identity;
    d->Format = format;
    d->Target = target;
    d->Running = d->Kind == WaveKind::Out;  // an output plays what is written unless paused
    const snd_pcm_stream_t stream =
        d->Kind == WaveKind::In ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
    // Non-blocking open: a busy device answers at once instead of blocking the main thread.
    int err = snd_pcm_open(&d->Pcm, d->Name.c_str(), stream, SND_PCM_NONBLOCK);
    if (err < 0) {
      Debug("open", d->Name, err);
      if (err == -EBUSY || err == -EAGAIN) return MMSYSERR_ALLOCATED;
      if (err == -ENOMEM) return MMSYSERR_NOMEM;
      // No such device, or its sound server is not running.
      if (err == -ENOENT || err == -ENODEV || err == -ENXIO || err == -EHOSTDOWN || err == -ECONNREFUSED)
        return MMSYSERR_NODRIVER;
      return MMSYSERR_NOTENABLED;
    }
    const MMRESULT result = Configure(*d);
    if (result != MMSYSERR_NOERROR) {
      snd_pcm_close(d->Pcm);
      return result;
    }
    d->Silence.assign(d->Chunk * format.nBlockAlign, 0);
    AlsaDevice* device = d.release();
    handle->DriverData = device;
    open_.push_back(device);
    device->Thread = std::thread([device] { IoLoop(*device); });
    Post(*device, device->Kind == WaveKind::In ? MM_WIM_OPEN : MM_WOM_OPEN, nullptr);
    return MMSYSERR_NOERROR;
  }

  MMRESULT Start(WaveDeviceHandle* handle) override { return SetRunning(handle, true); }
  MMRESULT Pause(WaveDeviceHandle* handle) override { return SetRunning(handle, false); }
  MMRESULT Restart(WaveDeviceHandle* handle) override { return SetRunning(handle, true); }

  MMRESULT Prepare(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) override {
    AlsaDevice* d = DeviceOf(handle);
    if (d == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || headerSize < MinWaveHeaderSize || header->lpData == nullptr) {
      return MMSYSERR_INVALPARAM;
    }
    AlsaBlock* b = FindBlock(*d, header);
    if (b == nullptr) {
      if (d->Blocks.size() + 2 >= RingSize) return MMSYSERR_NOMEM;
      d->Blocks.push_back(std::make_unique<AlsaBlock>());
      b = d->Blocks.back().get();
      b->Header = header;
      b->Own.Owner = b;
    }
    if (d->Kind == WaveKind::Out) {
      // Copies for a full queue are made here, so that writing does not allocate.
      while (d->Slots.size() < d->Blocks.size() + 2) {
        d->Slots.push_back(std::make_unique<AlsaSlot>());
        d->Free.reserve(d->Slots.size());
        d->Free.push_back(d->Slots.back().get());
      }
      for (AlsaSlot* s : d->Free) {
        if (s->Data.size() < header->dwBufferLength) s->Data.resize(header->dwBufferLength);
      }
    }
    SetFlags(header, WHDR_PREPARED, 0);
    return MMSYSERR_NOERROR;
  }

  MMRESULT Unprepare(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) override {
    AlsaDevice* d = DeviceOf(handle);
    if (d == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || headerSize < MinWaveHeaderSize) return MMSYSERR_INVALPARAM;
    AlsaBlock* b = FindBlock(*d, header);
    if (b != nullptr) {
      if (b->Queued.load(std::memory_order_acquire) > 0) return WAVERR_STILLPLAYING;
      std::erase_if(d->Blocks, [b](const std::unique_ptr<AlsaBlock>& p) { return p.get() == b; });
    }
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
  }

  MMRESULT Queue(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) override {
    AlsaDevice* d = DeviceOf(handle);
    if (d == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || headerSize < MinWaveHeaderSize) return MMSYSERR_INVALPARAM;
    AlsaBlock* b = FindBlock(*d, header);
    if (b == nullptr || (std::atomic_ref<uint32_t>(header->dwFlags).load(std::memory_order_relaxed) &
                         WHDR_PREPARED) == 0) {
      return WAVERR_UNPREPARED;
    }
    const uint32_t head = d->Head.load(std::memory_order_relaxed);
    const uint32_t queued = head - d->Tail.load(std::memory_order_acquire);
    const uint32_t frames = header->dwBufferLength / d->Format.nBlockAlign;
    AlsaSlot* s = &b->Own;
    if (d->Kind == WaveKind::In) {
      // Filled in place: one entry per header.
      if (b->Queued.load(std::memory_order_acquire) > 0) return WAVERR_STILLPLAYING;
      if (queued >= RingSize) return MMSYSERR_NOMEM;
      header->dwBytesRecorded = 0;
    } else {
      if (queued >= d->Blocks.size() + 1) {
        // The device plays slower than it is fed: drop this block to keep latency bounded.
        ++d->SkippedBlocks;
        if (b->Queued.load(std::memory_order_acquire) == 0) SetFlags(header, WHDR_DONE, WHDR_INQUEUE);
        Post(*d, MM_WOM_DONE, header);
        return MMSYSERR_NOERROR;
      }
      s = TakeSlot(*d);
      if (s == nullptr) return MMSYSERR_NOMEM;  // cannot happen while the queue is bounded
      const size_t bytes = static_cast<size_t>(frames) * d->Format.nBlockAlign;
      if (s->Data.size() < bytes) s->Data.resize(bytes);  // only if the header grew since prepare
      std::memcpy(s->Data.data(), header->lpData, bytes);
      s->Owner = b;
    }
    s->Frames = frames;
    SetFlags(header, WHDR_INQUEUE, WHDR_DONE);
    b->Queued.fetch_add(1, std::memory_order_relaxed);
    d->Ring[head % RingSize] = s;
    d->Head.store(head + 1, std::memory_order_release);
    d->MaxQueued = std::max(d->MaxQueued, queued + 1);
    d->Nudge();
    return MMSYSERR_NOERROR;
  }

  MMRESULT Reset(WaveDeviceHandle* handle) override {
    AlsaDevice* d = DeviceOf(handle);
    if (d == nullptr) return MMSYSERR_INVALHANDLE;
    std::unique_lock lock(d->CommandMutex);
    d->ResetPending.store(true, std::memory_order_release);
    d->Nudge();
    d->CommandDone.wait(lock, [d] { return !d->ResetPending.load(std::memory_order_acquire); });
    return MMSYSERR_NOERROR;
  }

  MMRESULT Close(WaveDeviceHandle* handle) override {
    AlsaDevice* d = DeviceOf(handle);
    if (d == nullptr) return MMSYSERR_INVALHANDLE;
    StopThread(*d, /*notify=*/true);
    snd_pcm_close(d->Pcm);
    // The thread is gone: this is the device's last message.
    Post(*d, d->Kind == WaveKind::In ? MM_WIM_CLOSE : MM_WOM_CLOSE, nullptr);
    std::erase(open_, d);
    handle->DriverData = nullptr;
    delete d;
    return MMSYSERR_NOERROR;
  }

  uint64_t XrunCount(WaveDeviceHandle* handle) override {
    AlsaDevice* d = DeviceOf(handle);
    return d != nullptr ? d->Xruns.load(std::memory_order_relaxed) : 0;
  }

  bool Stats(WaveDeviceHandle* handle, WaveDeviceStats* stats) override {
    AlsaDevice* d = DeviceOf(handle);
    if (d == nullptr) return false;
    stats->Rate = d->Rate.load(std::memory_order_relaxed);
    stats->UnderrunEvents = d->UnderrunEvents.load(std::memory_order_relaxed);
    stats->UnderrunFrames = d->UnderrunFrames.load(std::memory_order_relaxed);
    stats->SkippedBlocks = d->SkippedBlocks;
    stats->MaxQueued = d->MaxQueued;
    stats->DelayFrames = static_cast<uint32_t>(d->Delay);
    return true;
  }

 private:
  const std::vector<WaveDeviceEntry>& List(WaveKind kind) const {
    return kind == WaveKind::In ? inputs_ : outputs_;
  }

  static AlsaDevice* DeviceOf(WaveDeviceHandle* handle) {
    if (handle == nullptr || handle->Closed) return nullptr;
    return static_cast<AlsaDevice*>(handle->DriverData);
  }

  static AlsaBlock* FindBlock(AlsaDevice& d, const WAVEHDR* header) {
    for (auto& b : d.Blocks) {
      if (b->Header == header) return b.get();
    }
    return nullptr;
  }

  // A free playback copy: first the ones the I/O thread has handed back.
  static AlsaSlot* TakeSlot(AlsaDevice& d) {
    const uint32_t head = d.ReturnedHead.load(std::memory_order_acquire);
    for (uint32_t tail = d.ReturnedTail.load(std::memory_order_relaxed); tail != head; ++tail) {
      d.Free.push_back(d.Returned[tail % RingSize]);  // within the capacity Prepare reserved
    }
    d.ReturnedTail.store(head, std::memory_order_release);
    if (d.Free.empty()) return nullptr;
    AlsaSlot* s = d.Free.back();
    d.Free.pop_back();
    return s;
  }

  static void Post(AlsaDevice& d, uint32_t msg, WAVEHDR* header) {
    if (WaveNotifyTarget* target = d.Target.load(std::memory_order_acquire)) {
      target->PostWaveMessage({msg, d.Handle, header});
    }
  }

  void Enumerate() {
    std::vector<AlsaHint> hints;
    void** found = nullptr;
    if (snd_device_name_hint(-1, "pcm", &found) == 0) {
      for (void** h = found; *h != nullptr; ++h) {
        char* name = snd_device_name_get_hint(*h, "NAME");
        char* desc = snd_device_name_get_hint(*h, "DESC");
        char* ioid = snd_device_name_get_hint(*h, "IOID");
        if (name != nullptr) hints.push_back({name, desc != nullptr ? desc : "", ioid != nullptr ? ioid : ""});
        std::free(name);
        std::free(desc);
        std::free(ioid);
      }
      snd_device_name_free_hint(found);
    }
    AlsaDeviceLists lists = BuildAlsaDeviceLists(hints, PresentCards(), ProbeSoundServers());
    inputs_ = std::move(lists.Inputs);
    outputs_ = std::move(lists.Outputs);
    enumerated_ = true;
  }

  // Hardware and software parameters; WAVERR_BADFORMAT for what the device refuses.
  static MMRESULT Configure(AlsaDevice& d) {
    snd_pcm_t* pcm = d.Pcm;
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    int err = snd_pcm_hw_params_any(pcm, hw);
    if (err < 0) {
      Debug("hw_params_any", d.Name, err);
      return MMSYSERR_NOTENABLED;
    }
    const snd_pcm_format_t sampleFormat =
        d.Format.wBitsPerSample == 16 ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_S32_LE;
    if ((err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
        (err = snd_pcm_hw_params_set_format(pcm, hw, sampleFormat)) < 0 ||
        (err = snd_pcm_hw_params_set_channels(pcm, hw, 2)) < 0 ||
        (err = snd_pcm_hw_params_set_rate(pcm, hw, d.Format.nSamplesPerSec, 0)) < 0) {
      Debug("format", d.Name, err);
      return WAVERR_BADFORMAT;
    }
    unsigned period = PeriodMicroseconds;
    unsigned buffer = BufferMicroseconds;
    snd_pcm_hw_params_set_period_time_near(pcm, hw, &period, nullptr);
    snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer, nullptr);
    if ((err = snd_pcm_hw_params(pcm, hw)) < 0) {
      Debug("hw_params", d.Name, err);
      return WAVERR_BADFORMAT;
    }
    snd_pcm_uframes_t periodFrames = 0;
    snd_pcm_uframes_t bufferFrames = 0;
    snd_pcm_hw_params_get_period_size(hw, &periodFrames, nullptr);
    snd_pcm_hw_params_get_buffer_size(hw, &bufferFrames);
    d.Chunk = periodFrames > 0 ? periodFrames : 256;
    d.Delay = d.Kind == WaveKind::Out ? bufferFrames : d.Chunk;
    d.CanPause = snd_pcm_hw_params_can_pause(hw) != 0;

    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    if (snd_pcm_sw_params_current(pcm, sw) == 0) {
      snd_pcm_sw_params_set_avail_min(pcm, sw, d.Chunk);
      // Playback starts once a period is in; capture is started explicitly.
      snd_pcm_sw_params_set_start_threshold(
          pcm, sw, d.Kind == WaveKind::Out ? std::min(d.Chunk, bufferFrames) : bufferFrames * 2);
      snd_pcm_sw_params(pcm, sw);
    }
    if ((err = snd_pcm_prepare(pcm)) < 0) {
      Debug("prepare", d.Name, err);
      return MMSYSERR_NOTENABLED;
    }
    return MMSYSERR_NOERROR;
  }

  static MMRESULT SetRunning(WaveDeviceHandle* handle, bool running) {
    AlsaDevice* d = DeviceOf(handle);
    if (d == nullptr) return MMSYSERR_INVALHANDLE;
    d->Running.store(running, std::memory_order_release);
    d->Nudge();
    return MMSYSERR_NOERROR;
  }

  // Ends the I/O thread; with notify, what is still queued is returned first.
  static void StopThread(AlsaDevice& d, bool notify) {
    if (!notify) d.Target.store(nullptr, std::memory_order_release);  // the driver goes away silently
    d.Quit.store(true, std::memory_order_release);
    d.Nudge();
    if (d.Thread.joinable()) d.Thread.join();
  }

  // --- I/O thread ---

  // What the I/O thread keeps between passes of its loop.
  struct IoState {
    uint32_t Offset = 0;   // frames done of the front buffer
    uint64_t Pad = 0;      // playback: silence still owed before the front buffer
    bool HwPaused = false;
    uint64_t Moved = 0;    // frames moved since open, silence and xrun gaps included
    bool Window = false;   // a rate measurement has begun at WindowTime, WindowPos
    double WindowTime = 0;
    double WindowPos = 0;
    bool Waiting = true;   // nothing to move (not running, or nothing queued)
    double LastMove = 0;   // when frames last moved, or moving became due
    double LastXrun = -1;  // when the last xrun was recovered
  };

  static AlsaSlot* Front(AlsaDevice& d) {
    const uint32_t tail = d.Tail.load(std::memory_order_relaxed);
    if (tail == d.Head.load(std::memory_order_acquire)) return nullptr;
    return d.Ring[tail % RingSize];
  }

  static uint32_t QueuedCount(AlsaDevice& d) {
    return d.Head.load(std::memory_order_acquire) - d.Tail.load(std::memory_order_relaxed);
  }

  // Lets go of the front entry: header fields first, the copy back to the main thread,
  // then the queue, then the count the main thread checks, then the message.
  static void Complete(AlsaDevice& d, uint32_t frames) {
    AlsaSlot* s = Front(d);
    AlsaBlock* b = s->Owner;
    WAVEHDR* header = b->Header;
    if (d.Kind == WaveKind::In) header->dwBytesRecorded = frames * d.Format.nBlockAlign;
    // The last copy out marks the header done (a write racing with this may leave the
    // flag early; the counts, not the flags, decide what may be reused).
    if (b->Queued.load(std::memory_order_relaxed) == 1) SetFlags(header, WHDR_DONE, WHDR_INQUEUE);
    if (s != &b->Own) {
      const uint32_t r = d.ReturnedHead.load(std::memory_order_relaxed);
      d.Returned[r % RingSize] = s;
      d.ReturnedHead.store(r + 1, std::memory_order_release);
    }
    d.Tail.store(d.Tail.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    b->Queued.fetch_sub(1, std::memory_order_release);
    Post(d, d.Kind == WaveKind::In ? MM_WIM_DATA : MM_WOM_DONE, header);
  }

  static void ReturnAll(AlsaDevice& d, IoState& io) {
    while (Front(d) != nullptr) {
      Complete(d, io.Offset);
      io.Offset = 0;
    }
    io.Pad = 0;
    io.Window = false;
  }

  // Frames the device's clock ran since ALSA stopped the stream at an xrun, from the
  // stream's own timestamps (0 when the plugin gives none).
  static uint64_t XrunGap(AlsaDevice& d) {
    snd_pcm_status_t* status = nullptr;
    snd_pcm_status_alloca(&status);
    if (snd_pcm_status(d.Pcm, status) < 0) return 0;
    snd_htimestamp_t now{}, stop{};
    snd_pcm_status_get_htstamp(status, &now);
    snd_pcm_status_get_trigger_htstamp(status, &stop);
    if (stop.tv_sec == 0 && stop.tv_nsec == 0) return 0;
    const double seconds = static_cast<double>(now.tv_sec - stop.tv_sec) +
                           static_cast<double>(now.tv_nsec - stop.tv_nsec) * 1e-9;
    if (seconds <= 0 || seconds > 3600) return 0;
    return static_cast<uint64_t>(seconds * d.Format.nSamplesPerSec);
  }

  // A playback xrun: ALSA's buffer ran empty. When nothing but the buffer that just
  // came is queued, the device ran dry because it plays faster than it is fed: it owes
  // one block of silence before that buffer, so that it does not run dry again at once.
  static void OnPlaybackXrun(AlsaDevice& d, IoState& io, const AlsaSlot& front) {
    uint64_t silent = XrunGap(d);
    io.Moved += silent;
    if (io.Offset == 0 && io.Pad == 0 && QueuedCount(d) == 1) {
      io.Pad = front.Frames;
      silent += io.Pad;
    }
    d.UnderrunEvents.fetch_add(1, std::memory_order_relaxed);
    d.UnderrunFrames.fetch_add(silent, std::memory_order_relaxed);
  }

  // The device is gone: say so once, then move nothing more (reset and close still work).
  static void Lose(AlsaDevice& d, int err, const char* text = nullptr) {
    if (d.Lost.load(std::memory_order_relaxed)) return;
    Debug("lost", d.Name, err);
    d.LostText = text != nullptr ? text : AlsaErrorText(err);
    d.Lost.store(true, std::memory_order_release);
    Post(d, MM_WAVE_LOST, nullptr);
  }

  // An xrun, a suspend or an interrupted call is recovered and counted; any other error
  // of a transfer (ENODEV for an unplugged card, EBADFD, EIO or a broken connection from
  // a sound server) is the device going away, and so is a recovery that fails.
  static void Recover(AlsaDevice& d, int err) {
    if (err != -EPIPE && err != -ESTRPIPE && err != -EINTR) {
      Lose(d, err);
      return;
    }
    if (err != -EINTR) d.Xruns.fetch_add(1, std::memory_order_relaxed);
    const int r = snd_pcm_recover(d.Pcm, err, 1);
    if (r < 0) Lose(d, r);
  }

  // The device's position (frames it has really played or captured) against the
  // monotonic clock, from the first running transfer on.
  static void Measure(AlsaDevice& d, IoState& io) {
    if (snd_pcm_state(d.Pcm) != SND_PCM_STATE_RUNNING) return;
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(d.Pcm, &delay) < 0) return;
    const double now = MonotonicSeconds();
    const double moved = static_cast<double>(io.Moved);
    const double pos = d.Kind == WaveKind::Out ? moved - static_cast<double>(delay) : moved + static_cast<double>(delay);
    if (!io.Window) {
      io.Window = true;
      io.WindowTime = now;
      io.WindowPos = pos;
    } else if (now - io.WindowTime >= 1.0) {
      d.Rate.store((pos - io.WindowPos) / (now - io.WindowTime), std::memory_order_relaxed);
    }
  }

  static void IoLoop(AlsaDevice& d) {
    RequestRealTimeScheduling(IoThreadRealTimePriority);
    const uint32_t align = d.Format.nBlockAlign;
    const double period = static_cast<double>(d.Chunk) / d.Format.nSamplesPerSec;
    IoState io;
    for (;;) {
      const uint32_t seen = d.Wake.load(std::memory_order_acquire);
      if (d.Quit.load(std::memory_order_acquire)) {
        ReturnAll(d, io);
        snd_pcm_drop(d.Pcm);
        return;
      }
      if (d.ResetPending.load(std::memory_order_acquire)) {
        io.Waiting = true;
        ReturnAll(d, io);
        snd_pcm_drop(d.Pcm);
        snd_pcm_prepare(d.Pcm);
        io.HwPaused = false;
        if (d.Kind == WaveKind::In) d.Running.store(false, std::memory_order_release);
        {
          std::lock_guard lock(d.CommandMutex);
          d.ResetPending.store(false, std::memory_order_release);
        }
        d.CommandDone.notify_all();
        continue;
      }
      if (d.Lost.load(std::memory_order_relaxed)) {
        d.Wake.wait(seen, std::memory_order_acquire);  // only commands from now on
        continue;
      }
      const bool running = d.Running.load(std::memory_order_acquire);
      const snd_pcm_state_t state = snd_pcm_state(d.Pcm);
      if (state == SND_PCM_STATE_DISCONNECTED) {
        Lose(d, -ENODEV);
        continue;
      }
      if (d.Kind == WaveKind::Out) {
        if (!running && state == SND_PCM_STATE_RUNNING) {
          // Hold what ALSA has too; without pause support it is dropped.
          if (!(d.CanPause && snd_pcm_pause(d.Pcm, 1) == 0)) {
            snd_pcm_drop(d.Pcm);
            snd_pcm_prepare(d.Pcm);
          } else {
            io.HwPaused = true;
          }
          io.Window = false;
        } else if (running && io.HwPaused) {
          if (snd_pcm_pause(d.Pcm, 0) < 0) {
            snd_pcm_drop(d.Pcm);
            snd_pcm_prepare(d.Pcm);
          }
          io.HwPaused = false;
        }
      } else if (running && state == SND_PCM_STATE_PREPARED) {
        const int err = snd_pcm_start(d.Pcm);
        if (err < 0) Debug("start", d.Name, err);
        if (err < 0 && err != -EPIPE && err != -EBUSY && err != -EAGAIN) {
          Lose(d, err);
          continue;
        }
      }
      AlsaSlot* s = Front(d);
      if (!running || s == nullptr) {
        io.Waiting = true;
        d.Wake.wait(seen, std::memory_order_acquire);
        continue;
      }
      if (io.Waiting) {
        io.Waiting = false;
        io.LastMove = MonotonicSeconds();
      }
      if (io.Offset >= s->Frames && io.Pad == 0) {
        Complete(d, s->Frames);
        io.Offset = 0;
        continue;
      }
      snd_pcm_sframes_t got;
      if (d.Kind == WaveKind::In) {
        const snd_pcm_uframes_t want = std::min<snd_pcm_uframes_t>(d.Chunk, s->Frames - io.Offset);
        uint8_t* p = s->Owner->Header->lpData + static_cast<size_t>(io.Offset) * align;
        std::memset(p, 0, want * align);
        got = snd_pcm_readi(d.Pcm, p, want);
      } else if (io.Pad > 0) {
        got = snd_pcm_writei(d.Pcm, d.Silence.data(), std::min<snd_pcm_uframes_t>(d.Chunk, io.Pad));
      } else {
        const snd_pcm_uframes_t want = std::min<snd_pcm_uframes_t>(d.Chunk, s->Frames - io.Offset);
        got = snd_pcm_writei(d.Pcm, s->Data.data() + static_cast<size_t>(io.Offset) * align, want);
      }
      if (got <= 0) {
        if (got == -EAGAIN || got == 0) {
          snd_pcm_wait(d.Pcm, WaitMilliseconds);
        } else {
          if (got == -EPIPE && d.Kind == WaveKind::Out) {
            OnPlaybackXrun(d, io, *s);
          } else if (got == -EPIPE) {
            io.Moved += XrunGap(d);  // frames the capture clock ran while nothing was read
          }
          Recover(d, static_cast<int>(got));
          io.LastXrun = MonotonicSeconds();
        }
        // A sound server that hangs, or a card that stopped its clock, says nothing.
        if (MonotonicSeconds() - io.LastMove >= StallSeconds) Lose(d, -ETIMEDOUT, "no sound moved for 2 s");
        continue;
      }
      io.Moved += static_cast<uint64_t>(got);
      // Frames taken within a period of an xrun do not count as moved: a device can only
      // run dry again after playing a period, and a sound server's plugin whose server
      // has gone reports an xrun at every write, each one recovered at once.
      if (const double now = MonotonicSeconds(); now - io.LastXrun >= period) io.LastMove = now;
      Measure(d, io);
      if (d.Kind == WaveKind::Out && io.Pad > 0) {
        io.Pad -= std::min<uint64_t>(io.Pad, static_cast<uint64_t>(got));
        continue;
      }
      io.Offset += static_cast<uint32_t>(got);
      if (io.Offset == s->Frames) {
        Complete(d, s->Frames);
        io.Offset = 0;
      }
    }
  }

  std::vector<WaveDeviceEntry> inputs_;
  std::vector<WaveDeviceEntry> outputs_;
  bool enumerated_ = false;
  std::vector<AlsaDevice*> open_;
};

}  // namespace

std::unique_ptr<WaveDriver> MakeAlsaDriver() { return std::make_unique<AlsaDriver>(); }

}  // namespace tessival
