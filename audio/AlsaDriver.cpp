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

#include "audio/AlsaDeviceList.h"
#include "audio/DeviceQueue.h"
#include "audio/FloatSamples.h"
#include "audio/JackDriver.h"
#include "audio/Priority.h"
#include "audio/ServerProbe.h"

namespace tessival {

namespace {

constexpr int WaitMilliseconds = 20;            // longest wait before commands are looked at
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

// Which sound servers answer, for ALSA's devices of theirs.
SoundServers ProbeSoundServers() {
  SoundServers s;
  s.PipeWire = PipeWireAnswers();
  s.Pulse = PulseAnswers();
  // ALSA's jack device speaks through the libjack this program has loaded.
  s.Jack = JackServerAnswers();
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

double MonotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct AlsaDevice {
  AlsaDevice(WaveKind kind, const WAVEFORMATEX& format)
      : Kind(kind), Format(format), Queue(kind, format.nBlockAlign), Play(/*fillsWhenDry=*/false) {}

  WaveDeviceHandle* Handle = nullptr;
  const WaveKind Kind;
  std::string Name;
  const WAVEFORMATEX Format;
  std::atomic<WaveNotifyTarget*> Target{nullptr};  // null once the driver goes silently
  snd_pcm_t* Pcm = nullptr;
  bool Floats = false;             // the device takes FLOAT_LE only: samples are converted here
  snd_pcm_uframes_t Chunk = 256;   // frames per transfer (the period)
  snd_pcm_uframes_t BufferFrames = 0;
  snd_pcm_uframes_t AskedBuffer = 0;  // the buffer size Configure last asked ALSA for
  snd_pcm_uframes_t MaxPiece = 0;  // frames Silence and Scratch hold
  std::atomic<uint32_t> Delay{0};  // frames held in ALSA: the ring for playback, a period for capture
  bool CanPause = false;
  std::vector<uint8_t> Silence;    // zeros in the device's format
  std::vector<float> Scratch;      // float devices: one piece, converted

  DeviceQueue Queue;
  PlaybackCursor Play;
  CaptureCursor Capture;
  std::atomic<uint32_t> BlockFrames{0};  // the longest header prepared (main thread writes)

  std::atomic<double> Rate{0};  // frames per second against the monotonic clock
  std::atomic<uint64_t> Xruns{0};

  std::atomic<uint32_t> Wake{0};       // bumped on every change the I/O thread must see
  std::atomic<bool> Running{false};    // capture started, or output not paused
  std::atomic<bool> ResetPending{false};
  std::atomic<bool> Quit{false};
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

}  // namespace

AlsaBufferSize ChooseAlsaBuffer(WaveKind kind, uint32_t blockFrames, uint32_t rate) {
  AlsaBufferSize s;
  s.PeriodFrames = std::max<uint32_t>(rate / 100, 32);  // 10 ms pieces for the I/O thread
  const uint32_t least = 4 * s.PeriodFrames;             // 40 ms
  const uint32_t most = std::max(least, rate / 4);       // 250 ms
  // A capture buffer only holds what has not been read yet: a long one costs no latency.
  // A playback buffer adds its length to the latency, which matters next to a short
  // block; next to a long one a gap costs far more.
  s.BufferFrames = kind == WaveKind::In ? most : std::clamp(blockFrames, least, most);
  return s;
}

namespace {

class AlsaDriver final : public WaveDriver {
 public:
  AlsaDriver() {
    if (!DebugEnabled()) snd_lib_error_set_handler(QuietAlsaError);
  }

  ~AlsaDriver() override {
    for (AlsaDevice* d : open_) {
      StopThread(*d, /*notify=*/false);
      if (d->Pcm != nullptr) snd_pcm_close(d->Pcm);
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

    auto d = std::make_unique<AlsaDevice>(handle->Kind, format);
    d->Handle = handle;
    d->Name = list[handle->DeviceId].Identity;
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
    const MMRESULT result = Configure(*d, 0, /*install=*/false);
    if (result != MMSYSERR_NOERROR) {
      snd_pcm_close(d->Pcm);
      return result;
    }
    // Room for a period of any buffer Configure may choose later on.
    d->MaxPiece = std::max<snd_pcm_uframes_t>(d->Chunk, ChooseAlsaBuffer(d->Kind, 0, format.nSamplesPerSec).PeriodFrames);
    d->Silence.assign(d->MaxPiece * format.nBlockAlign, 0);
    if (d->Floats) d->Scratch.assign(d->MaxPiece * 2, 0.0f);
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
    const MMRESULT result = d->Queue.Prepare(header, headerSize);
    d->BlockFrames.store(d->Queue.LargestFrames(), std::memory_order_release);
    return result;
  }

  MMRESULT Unprepare(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) override {
    AlsaDevice* d = DeviceOf(handle);
    return d != nullptr ? d->Queue.Unprepare(header, headerSize) : MMSYSERR_INVALHANDLE;
  }

  MMRESULT Queue(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) override {
    AlsaDevice* d = DeviceOf(handle);
    if (d == nullptr) return MMSYSERR_INVALHANDLE;
    bool skipped = false;
    const MMRESULT result = d->Queue.Add(header, headerSize, &skipped);
    if (skipped) Post(*d, MM_WOM_DONE, header);
    if (result == MMSYSERR_NOERROR && !skipped) d->Nudge();
    return result;
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
    if (d->Pcm != nullptr) snd_pcm_close(d->Pcm);
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
    stats->UnderrunEvents = d->Play.UnderrunEvents();
    stats->UnderrunFrames = d->Play.UnderrunFrames();
    stats->SkippedBlocks = d->Queue.SkippedBlocks();
    stats->MaxQueued = d->Queue.MaxQueued();
    stats->DelayFrames = d->Delay.load(std::memory_order_relaxed);
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

  // Hardware and software parameters for blocks of blockFrames (0: not known yet);
  // WAVERR_BADFORMAT for what the device refuses. Integer samples where the device takes
  // them, else floats (ALSA's jack device takes nothing else), converted in transfers.
  // Without install the parameters are only checked against what the device allows and
  // the sizes noted: the open does that, so that the stream is set up once, when the
  // block length is known (a sound server's plugin makes a stream of each setup).
  static MMRESULT Configure(AlsaDevice& d, uint32_t blockFrames, bool install = true) {
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
    if ((err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) {
      Debug("access", d.Name, err);
      return WAVERR_BADFORMAT;
    }
    d.Floats = snd_pcm_hw_params_test_format(pcm, hw, sampleFormat) < 0 &&
               snd_pcm_hw_params_test_format(pcm, hw, SND_PCM_FORMAT_FLOAT_LE) == 0;
    if ((err = snd_pcm_hw_params_set_format(pcm, hw, d.Floats ? SND_PCM_FORMAT_FLOAT_LE : sampleFormat)) < 0 ||
        (err = snd_pcm_hw_params_set_channels(pcm, hw, 2)) < 0 ||
        (err = snd_pcm_hw_params_set_rate(pcm, hw, d.Format.nSamplesPerSec, 0)) < 0) {
      Debug("format", d.Name, err);
      return WAVERR_BADFORMAT;
    }
    const AlsaBufferSize want = ChooseAlsaBuffer(d.Kind, blockFrames, d.Format.nSamplesPerSec);
    snd_pcm_uframes_t period = want.PeriodFrames;
    snd_pcm_uframes_t buffer = want.BufferFrames;
    d.AskedBuffer = want.BufferFrames;
    snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, nullptr);
    snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
    if (!install) {
      d.Chunk = period > 0 ? period : 256;
      d.BufferFrames = buffer;
      d.Delay.store(static_cast<uint32_t>(d.Kind == WaveKind::Out ? buffer : d.Chunk), std::memory_order_relaxed);
      return MMSYSERR_NOERROR;
    }
    if ((err = snd_pcm_hw_params(pcm, hw)) < 0) {
      Debug("hw_params", d.Name, err);
      return WAVERR_BADFORMAT;
    }
    snd_pcm_uframes_t periodFrames = 0;
    snd_pcm_hw_params_get_period_size(hw, &periodFrames, nullptr);
    snd_pcm_hw_params_get_buffer_size(hw, &d.BufferFrames);
    d.Chunk = periodFrames > 0 ? periodFrames : 256;
    d.Delay.store(static_cast<uint32_t>(d.Kind == WaveKind::Out ? d.BufferFrames : d.Chunk), std::memory_order_relaxed);
    d.CanPause = snd_pcm_hw_params_can_pause(hw) != 0;

    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    if (snd_pcm_sw_params_current(pcm, sw) == 0) {
      snd_pcm_sw_params_set_avail_min(pcm, sw, d.Chunk);
      // Playback starts once a period is in; capture is started explicitly.
      snd_pcm_sw_params_set_start_threshold(
          pcm, sw, d.Kind == WaveKind::Out ? std::min(d.Chunk, d.BufferFrames) : d.BufferFrames * 2);
      snd_pcm_sw_params(pcm, sw);
    }
    if ((err = snd_pcm_prepare(pcm)) < 0) {
      Debug("prepare", d.Name, err);
      return MMSYSERR_NOTENABLED;
    }
    if (DebugEnabled()) {
      std::fprintf(stderr, "alsa: %s: %s, period %lu, buffer %lu frames\n", d.Name.c_str(),
                   d.Floats ? "float samples" : "integer samples", d.Chunk, d.BufferFrames);
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
    bool HwPaused = false;
    uint32_t Fitted = 0;   // the block length ALSA's buffer was chosen for
    uint64_t Moved = 0;    // frames the device's clock ran through since open: transfers and gaps
    bool Window = false;   // a rate measurement has begun at WindowTime, WindowPos
    double WindowTime = 0;
    double WindowPos = 0;
    bool Waiting = true;   // nothing to move (not running, or nothing queued)
    double LastMove = 0;   // when frames last moved, or moving became due
    double LastXrun = -1;  // when the last xrun was recovered
    double RunsOutAt = -1; // when ALSA's buffer runs empty (playback) or full (capture), as its
                           // delay said at the last transfer; -1 when not known
    bool InGap = false;    // an xrun was recovered; its lost frames are counted at the next transfer
  };

  static void ReturnAll(AlsaDevice& d, IoState& io) {
    const bool in = d.Kind == WaveKind::In;
    d.Queue.ReturnAll(in ? d.Capture.Offset() : 0, [&](WAVEHDR* h) { Post(d, in ? MM_WIM_DATA : MM_WOM_DONE, h); });
    d.Capture.Reset();
    d.Play.Reset();
    io.Window = false;
    io.RunsOutAt = -1;
    io.InGap = false;
  }

  // The device is gone: say so once, then move nothing more (reset and close still work).
  static void Lose(AlsaDevice& d, int err, const char* text = nullptr) {
    if (d.Lost.load(std::memory_order_relaxed)) return;
    Debug("lost", d.Name, err);
    d.LostText = text != nullptr ? text : AlsaErrorText(err);
    d.Lost.store(true, std::memory_order_release);
    Post(d, MM_WAVE_LOST, nullptr);
  }

  // Step: a reset asked for by the main thread. Everything queued goes back, ALSA drops
  // what it holds, and the main thread is told it is done.
  static void ResetStep(AlsaDevice& d, IoState& io) {
    io.Waiting = true;
    ReturnAll(d, io);
    if (d.Pcm != nullptr) {
      snd_pcm_drop(d.Pcm);
      snd_pcm_prepare(d.Pcm);
    }
    io.HwPaused = false;
    if (d.Kind == WaveKind::In) d.Running.store(false, std::memory_order_release);
    {
      std::lock_guard lock(d.CommandMutex);
      d.ResetPending.store(false, std::memory_order_release);
    }
    d.CommandDone.notify_all();
  }

  // Step: ALSA's state follows the program's (pause and restart of an output, start of
  // a capture). False when the device turned out to be gone.
  static bool FollowStateStep(AlsaDevice& d, IoState& io, bool running) {
    const snd_pcm_state_t state = snd_pcm_state(d.Pcm);
    if (state == SND_PCM_STATE_DISCONNECTED) {
      Lose(d, -ENODEV);
      return false;
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
        io.RunsOutAt = -1;
      } else if (running && io.HwPaused) {
        if (snd_pcm_pause(d.Pcm, 0) < 0) {
          snd_pcm_drop(d.Pcm);
          snd_pcm_prepare(d.Pcm);
        }
        io.HwPaused = false;
      }
    } else if (running && (state == SND_PCM_STATE_PREPARED || state == SND_PCM_STATE_OPEN) &&
               d.Queue.Front() != nullptr) {
      if (!FitBufferStep(d, io)) return false;
      const int err = snd_pcm_start(d.Pcm);
      if (err < 0) Debug("start", d.Name, err);
      if (err < 0 && err != -EPIPE && err != -EBUSY && err != -EAGAIN) {
        Lose(d, err);
        return false;
      }
    }
    return true;
  }

  // Step: before a stream first starts, its parameters are set for the program's block
  // length (it prepares its headers after the open); they are chosen again if a longer
  // block comes before a later start. Then the PCM is opened anew: PipeWire's plugin,
  // given new hardware parameters after hw_free, keeps a stream that reports itself
  // running and never takes a frame. False when the device turned out to be gone (then
  // it may have no PCM any more).
  static bool FitBufferStep(AlsaDevice& d, IoState& io) {
    const uint32_t block = d.BlockFrames.load(std::memory_order_acquire);
    const snd_pcm_state_t state = snd_pcm_state(d.Pcm);
    if (state == SND_PCM_STATE_OPEN) {
      io.Fitted = block;
      if (Configure(d, block) != MMSYSERR_NOERROR && Configure(d, 0) != MMSYSERR_NOERROR) {
        Lose(d, -EIO, "the device refused its buffer size");
        return false;
      }
      return true;
    }
    if (block == io.Fitted || state != SND_PCM_STATE_PREPARED) return true;
    io.Fitted = block;
    if (ChooseAlsaBuffer(d.Kind, block, d.Format.nSamplesPerSec).BufferFrames == d.AskedBuffer) return true;
    snd_pcm_close(d.Pcm);
    d.Pcm = nullptr;
    const snd_pcm_stream_t stream = d.Kind == WaveKind::In ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
    snd_pcm_t* pcm = nullptr;
    const int err = snd_pcm_open(&pcm, d.Name.c_str(), stream, SND_PCM_NONBLOCK);
    if (err < 0) {
      Lose(d, err);
      return false;
    }
    d.Pcm = pcm;
    if (Configure(d, block) != MMSYSERR_NOERROR && Configure(d, 0) != MMSYSERR_NOERROR) {
      Lose(d, -EIO, "the device refused its buffer size");
      return false;
    }
    return true;
  }

  // Step: one piece moved between ALSA and the front buffer. Returns ALSA's answer.
  static snd_pcm_sframes_t TransferStep(AlsaDevice& d) {
    const uint32_t align = d.Format.nBlockAlign;
    const int bits = d.Format.wBitsPerSample;
    const uint32_t piece = static_cast<uint32_t>(std::min(d.Chunk, d.MaxPiece));
    if (d.Kind == WaveKind::In) {
      uint8_t* p = nullptr;
      const uint32_t want = d.Capture.Next(d.Queue, piece, &p);
      if (!d.Floats) {
        std::memset(p, 0, static_cast<size_t>(want) * align);  // ALSA's null device leaves it untouched
        return snd_pcm_readi(d.Pcm, p, want);
      }
      std::fill_n(d.Scratch.data(), want * 2, 0.0f);
      const snd_pcm_sframes_t got = snd_pcm_readi(d.Pcm, d.Scratch.data(), want);
      if (got > 0) FloatsToSamples(d.Scratch.data(), 1, bits, p, align / 2, static_cast<size_t>(got) * 2);
      return got;
    }
    const uint8_t* p = nullptr;
    const uint32_t want = d.Play.Next(d.Queue, piece, &p);
    if (p == nullptr) p = d.Silence.data();
    if (!d.Floats) return snd_pcm_writei(d.Pcm, p, want);
    SamplesToFloats(p, align / 2, bits, d.Scratch.data(), 1, static_cast<size_t>(want) * 2);
    return snd_pcm_writei(d.Pcm, d.Scratch.data(), want);
  }

  // Step: got frames were moved. The gap of a recovered xrun is counted now that the
  // stream runs again: the time since ALSA's buffer ran out, in frames.
  static void MovedStep(AlsaDevice& d, IoState& io, uint32_t got, double period) {
    const double now = MonotonicSeconds();
    if (io.InGap) {
      io.InGap = false;
      if (io.RunsOutAt >= 0 && now > io.RunsOutAt) {
        const auto lost = static_cast<uint64_t>((now - io.RunsOutAt) * d.Format.nSamplesPerSec);
        io.Moved += lost;
        if (d.Kind == WaveKind::Out) d.Play.CountSilence(lost);
      }
    }
    io.Moved += got;
    // Frames taken within a period of an xrun do not count as moved: a device can only
    // run dry again after playing a period, and a sound server's plugin whose server
    // has gone reports an xrun at every write, each one recovered at once.
    if (now - io.LastXrun >= period) io.LastMove = now;
    WAVEHDR* done = d.Kind == WaveKind::In ? d.Capture.Filled(d.Queue, got) : d.Play.Played(d.Queue, got);
    MeasureStep(d, io, now);
    if (done != nullptr) Post(d, d.Kind == WaveKind::In ? MM_WIM_DATA : MM_WOM_DONE, done);
  }

  // Step: the device's position (frames it has really played or captured) against the
  // monotonic clock, and when its buffer will run out if nothing more is moved.
  static void MeasureStep(AlsaDevice& d, IoState& io, double now) {
    if (snd_pcm_state(d.Pcm) != SND_PCM_STATE_RUNNING) return;
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(d.Pcm, &delay) < 0) return;
    const double rate = d.Format.nSamplesPerSec;
    const double held = static_cast<double>(delay);
    io.RunsOutAt = now + (d.Kind == WaveKind::Out ? held : static_cast<double>(d.BufferFrames) - held) / rate;
    const double moved = static_cast<double>(io.Moved);
    const double pos = d.Kind == WaveKind::Out ? moved - held : moved + held;
    if (!io.Window) {
      io.Window = true;
      io.WindowTime = now;
      io.WindowPos = pos;
    } else if (now - io.WindowTime >= 1.0) {
      d.Rate.store((pos - io.WindowPos) / (now - io.WindowTime), std::memory_order_relaxed);
    }
  }

  // Step: ALSA said no. An xrun, a suspend or an interrupted call is recovered and
  // counted; any other error (ENODEV for an unplugged card, EBADFD, EIO or a broken
  // connection from a sound server) is the device going away, and so is a recovery
  // that fails.
  static void ErrorStep(AlsaDevice& d, IoState& io, int err) {
    if (err == -EAGAIN || err == 0) {
      snd_pcm_wait(d.Pcm, WaitMilliseconds);
      return;
    }
    if (err != -EPIPE && err != -ESTRPIPE && err != -EINTR) {
      Lose(d, err);
      return;
    }
    if (err != -EINTR) {
      d.Xruns.fetch_add(1, std::memory_order_relaxed);
      if (d.Kind == WaveKind::Out) d.Play.RanDry(d.Queue);
      io.InGap = true;
    }
    const int r = snd_pcm_recover(d.Pcm, err, 1);
    if (r < 0) Lose(d, r);
    io.LastXrun = MonotonicSeconds();
  }

  static void IoLoop(AlsaDevice& d) {
    RequestRealTimeScheduling(IoThreadRealTimePriority);
    const double period = static_cast<double>(d.Chunk) / d.Format.nSamplesPerSec;
    IoState io;
    for (;;) {
      const uint32_t seen = d.Wake.load(std::memory_order_acquire);
      if (d.Quit.load(std::memory_order_acquire)) {
        ReturnAll(d, io);
        if (d.Pcm != nullptr) snd_pcm_drop(d.Pcm);
        return;
      }
      if (d.ResetPending.load(std::memory_order_acquire)) {
        ResetStep(d, io);
        continue;
      }
      if (d.Lost.load(std::memory_order_relaxed)) {
        d.Wake.wait(seen, std::memory_order_acquire);  // only commands from now on
        continue;
      }
      const bool running = d.Running.load(std::memory_order_acquire);
      if (!FollowStateStep(d, io, running)) continue;
      if (!running || d.Queue.Front() == nullptr) {
        io.Waiting = true;
        d.Wake.wait(seen, std::memory_order_acquire);
        continue;
      }
      if (io.Waiting) {
        io.Waiting = false;
        io.LastMove = MonotonicSeconds();
      }
      if (d.Kind == WaveKind::Out && !FitBufferStep(d, io)) continue;
      const snd_pcm_sframes_t got = TransferStep(d);
      if (got > 0) {
        MovedStep(d, io, static_cast<uint32_t>(got), period);
        continue;
      }
      ErrorStep(d, io, static_cast<int>(got));
      // A sound server that hangs, or a card that stopped its clock, says nothing.
      if (MonotonicSeconds() - io.LastMove >= StallSeconds) Lose(d, -ETIMEDOUT, "no sound moved for 2 s");
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
