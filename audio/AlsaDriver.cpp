#include "audio/AlsaDriver.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/Priority.h"

namespace tessival {

namespace {

constexpr unsigned PeriodMicroseconds = 10000;  // the I/O thread's piece of work
constexpr unsigned BufferMicroseconds = 40000;  // ALSA's own buffering
constexpr int WaitMilliseconds = 20;            // longest wait before commands are looked at
constexpr uint32_t RingSize = 1024;             // most headers one device can have prepared

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

struct Endpoint {
  std::string Name;         // ALSA PCM name
  std::string ProductName;  // first line of its description
};

// A prepared header; for playback it also holds the copy taken at write time.
struct AlsaBlock {
  WAVEHDR* Header = nullptr;
  std::vector<uint8_t> Copy;
  uint32_t Frames = 0;              // whole frames of the queued buffer
  std::atomic<bool> Queued{false};  // cleared by the I/O thread, last, when it lets go
};

struct AlsaDevice {
  WaveDeviceHandle* Handle = nullptr;
  WaveKind Kind = WaveKind::In;
  std::string Name;
  WAVEFORMATEX Format{};
  std::atomic<WaveNotifyTarget*> Target{nullptr};  // null once the driver goes silently
  snd_pcm_t* Pcm = nullptr;
  snd_pcm_uframes_t Chunk = 256;  // frames per transfer (the period)
  bool CanPause = false;

  std::vector<std::unique_ptr<AlsaBlock>> Blocks;  // main thread only

  // Queued buffers: the main thread appends at Head, the I/O thread takes from Tail.
  // No lock: queueing runs in every block's notification handler.
  std::unique_ptr<AlsaBlock*[]> Ring{new AlsaBlock*[RingSize]};
  std::atomic<uint32_t> Head{0};
  std::atomic<uint32_t> Tail{0};

  std::atomic<uint32_t> Wake{0};       // bumped on every change the I/O thread must see
  std::atomic<bool> Running{false};    // capture started, or output not paused
  std::atomic<bool> ResetPending{false};
  std::atomic<bool> Quit{false};
  std::atomic<uint64_t> Xruns{0};
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
    *name = list[id].ProductName;
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
    d->Name = list[handle->DeviceId].Name;
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
      if (err == -ENOENT || err == -ENODEV || err == -ENXIO) return MMSYSERR_NODRIVER;
      return MMSYSERR_NOTENABLED;
    }
    const MMRESULT result = Configure(*d);
    if (result != MMSYSERR_NOERROR) {
      snd_pcm_close(d->Pcm);
      return result;
    }
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
      if (d->Blocks.size() >= RingSize) return MMSYSERR_NOMEM;
      d->Blocks.push_back(std::make_unique<AlsaBlock>());
      b = d->Blocks.back().get();
      b->Header = header;
    }
    // The copy is made here so that writing never allocates.
    if (d->Kind == WaveKind::Out && !b->Queued.load(std::memory_order_acquire)) {
      b->Copy.resize(header->dwBufferLength);
    }
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
  }

  MMRESULT Unprepare(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) override {
    AlsaDevice* d = DeviceOf(handle);
    if (d == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || headerSize < MinWaveHeaderSize) return MMSYSERR_INVALPARAM;
    AlsaBlock* b = FindBlock(*d, header);
    if (b != nullptr) {
      if (b->Queued.load(std::memory_order_acquire)) return WAVERR_STILLPLAYING;
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
    if (b == nullptr || (header->dwFlags & WHDR_PREPARED) == 0) return WAVERR_UNPREPARED;
    if (b->Queued.load(std::memory_order_acquire)) return WAVERR_STILLPLAYING;
    const uint32_t head = d->Head.load(std::memory_order_relaxed);
    if (head - d->Tail.load(std::memory_order_acquire) >= RingSize) return MMSYSERR_NOMEM;
    b->Frames = header->dwBufferLength / d->Format.nBlockAlign;
    if (d->Kind == WaveKind::Out) {
      const size_t bytes = static_cast<size_t>(b->Frames) * d->Format.nBlockAlign;
      if (b->Copy.size() < bytes) b->Copy.resize(bytes);  // only if the header grew since prepare
      std::memcpy(b->Copy.data(), header->lpData, bytes);
    } else {
      header->dwBytesRecorded = 0;
    }
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    b->Queued.store(true, std::memory_order_relaxed);
    d->Ring[head % RingSize] = b;
    d->Head.store(head + 1, std::memory_order_release);
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

 private:
  const std::vector<Endpoint>& List(WaveKind kind) const {
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

  static void Post(AlsaDevice& d, uint32_t msg, WAVEHDR* header) {
    if (WaveNotifyTarget* target = d.Target.load(std::memory_order_acquire)) {
      target->PostWaveMessage({msg, d.Handle, header});
    }
  }

  void Enumerate() {
    inputs_.clear();
    outputs_.clear();
    std::vector<Endpoint> all;
    std::vector<std::string> ioids;
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) == 0) {
      for (void** h = hints; *h != nullptr; ++h) {
        char* name = snd_device_name_get_hint(*h, "NAME");
        char* desc = snd_device_name_get_hint(*h, "DESC");
        char* ioid = snd_device_name_get_hint(*h, "IOID");
        if (name != nullptr) {
          std::string product = desc != nullptr ? desc : name;
          product = product.substr(0, product.find('\n'));
          all.push_back({name, product});
          ioids.emplace_back(ioid != nullptr ? ioid : "");
        }
        std::free(name);
        std::free(desc);
        std::free(ioid);
      }
      snd_device_name_free_hint(hints);
    }
    Endpoint defaultEndpoint{"default", "default"};
    for (size_t i = 0; i < all.size(); ++i) {
      if (all[i].Name == "default") defaultEndpoint = all[i];
    }
    inputs_.push_back(defaultEndpoint);
    outputs_.push_back(defaultEndpoint);
    for (size_t i = 0; i < all.size(); ++i) {
      if (all[i].Name == "default") continue;
      if (ioids[i] != "Output") inputs_.push_back(all[i]);
      if (ioids[i] != "Input") outputs_.push_back(all[i]);
    }
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

  static AlsaBlock* Front(AlsaDevice& d) {
    const uint32_t tail = d.Tail.load(std::memory_order_relaxed);
    if (tail == d.Head.load(std::memory_order_acquire)) return nullptr;
    return d.Ring[tail % RingSize];
  }

  // Lets go of the front buffer: header fields first, then the queue, then the flag
  // the main thread checks, then the message.
  static void Complete(AlsaDevice& d, uint32_t frames) {
    AlsaBlock* b = Front(d);
    WAVEHDR* header = b->Header;
    if (d.Kind == WaveKind::In) header->dwBytesRecorded = frames * d.Format.nBlockAlign;
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    d.Tail.store(d.Tail.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    b->Queued.store(false, std::memory_order_release);
    Post(d, d.Kind == WaveKind::In ? MM_WIM_DATA : MM_WOM_DONE, header);
  }

  static void ReturnAll(AlsaDevice& d, uint32_t& offset) {
    while (Front(d) != nullptr) {
      Complete(d, offset);
      offset = 0;
    }
  }

  static void Recover(AlsaDevice& d, int err) {
    if (err == -EPIPE || err == -ESTRPIPE) d.Xruns.fetch_add(1, std::memory_order_relaxed);
    if (snd_pcm_recover(d.Pcm, err, 1) < 0) {
      Debug("recover", d.Name, err);
      // A device that went away: try again later rather than spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(WaitMilliseconds));
    }
  }

  static void IoLoop(AlsaDevice& d) {
    RequestRealTimeScheduling(IoThreadRealTimePriority);
    const uint32_t align = d.Format.nBlockAlign;
    uint32_t offset = 0;  // frames done of the front buffer
    bool hwPaused = false;
    for (;;) {
      const uint32_t seen = d.Wake.load(std::memory_order_acquire);
      if (d.Quit.load(std::memory_order_acquire)) {
        ReturnAll(d, offset);
        snd_pcm_drop(d.Pcm);
        return;
      }
      if (d.ResetPending.load(std::memory_order_acquire)) {
        ReturnAll(d, offset);
        snd_pcm_drop(d.Pcm);
        snd_pcm_prepare(d.Pcm);
        hwPaused = false;
        if (d.Kind == WaveKind::In) d.Running.store(false, std::memory_order_release);
        {
          std::lock_guard lock(d.CommandMutex);
          d.ResetPending.store(false, std::memory_order_release);
        }
        d.CommandDone.notify_all();
        continue;
      }
      const bool running = d.Running.load(std::memory_order_acquire);
      const snd_pcm_state_t state = snd_pcm_state(d.Pcm);
      if (d.Kind == WaveKind::Out) {
        if (!running && state == SND_PCM_STATE_RUNNING) {
          // Hold what ALSA has too; without pause support it is dropped.
          if (!(d.CanPause && snd_pcm_pause(d.Pcm, 1) == 0)) {
            snd_pcm_drop(d.Pcm);
            snd_pcm_prepare(d.Pcm);
          } else {
            hwPaused = true;
          }
        } else if (running && hwPaused) {
          if (snd_pcm_pause(d.Pcm, 0) < 0) {
            snd_pcm_drop(d.Pcm);
            snd_pcm_prepare(d.Pcm);
          }
          hwPaused = false;
        }
      } else if (running && state == SND_PCM_STATE_PREPARED) {
        const int err = snd_pcm_start(d.Pcm);
        if (err < 0) Debug("start", d.Name, err);
      }
      AlsaBlock* b = Front(d);
      if (!running || b == nullptr) {
        d.Wake.wait(seen, std::memory_order_acquire);
        continue;
      }
      if (offset >= b->Frames) {
        Complete(d, b->Frames);
        offset = 0;
        continue;
      }
      const snd_pcm_uframes_t want = std::min<snd_pcm_uframes_t>(d.Chunk, b->Frames - offset);
      snd_pcm_sframes_t got;
      if (d.Kind == WaveKind::In) {
        uint8_t* p = b->Header->lpData + static_cast<size_t>(offset) * align;
        std::memset(p, 0, want * align);
        got = snd_pcm_readi(d.Pcm, p, want);
      } else {
        got = snd_pcm_writei(d.Pcm, b->Copy.data() + static_cast<size_t>(offset) * align, want);
      }
      if (got == -EAGAIN) {
        snd_pcm_wait(d.Pcm, WaitMilliseconds);
        continue;
      }
      if (got < 0) {
        Recover(d, static_cast<int>(got));
        continue;
      }
      offset += static_cast<uint32_t>(got);
      if (offset == b->Frames) {
        Complete(d, b->Frames);
        offset = 0;
      }
    }
  }

  std::vector<Endpoint> inputs_;
  std::vector<Endpoint> outputs_;
  bool enumerated_ = false;
  std::vector<AlsaDevice*> open_;
};

}  // namespace

std::unique_ptr<WaveDriver> MakeAlsaDriver() { return std::make_unique<AlsaDriver>(); }

}  // namespace tessival
