#include "audio/DesktopDriver.h"

#include "audio/JackDriver.h"

namespace tessival {

namespace {

class DesktopDriver final : public WaveDriver {
 public:
  DesktopDriver(std::unique_ptr<WaveDriver> alsa, std::unique_ptr<WaveDriver> jack)
      : alsa_(std::move(alsa)), jack_(std::move(jack)) {}

  uint32_t NumDevs(WaveKind kind) override { return static_cast<uint32_t>(Devices(kind).size()); }

  bool DeviceName(WaveKind kind, uint32_t id, std::string* name) override {
    const Part p = PartOf(kind, id);
    return p.Driver != nullptr && p.Driver->DeviceName(kind, p.Id, name);
  }

  std::vector<WaveDeviceEntry> Devices(WaveKind kind) override {
    std::vector<WaveDeviceEntry> list = alsa_->Devices(kind);
    Counts(kind).Alsa = static_cast<uint32_t>(list.size());
    Counts(kind).Jack = 0;
    if (JackServerAnswers()) {
      const std::vector<WaveDeviceEntry> jack = jack_->Devices(kind);
      Counts(kind).Jack = static_cast<uint32_t>(jack.size());
      list.insert(list.end(), jack.begin(), jack.end());
    }
    return list;
  }

  MMRESULT Open(WaveDeviceHandle* handle, const WAVEFORMATEX& format, WaveNotifyTarget* target,
                uintptr_t instance, uint32_t flags) override {
    if (!listed_) {
      Devices(WaveKind::In);
      Devices(WaveKind::Out);
    }
    const Part p = PartOf(handle->Kind, handle->DeviceId);
    if (p.Driver == nullptr) return MMSYSERR_BADDEVICEID;
    handle->Driver = p.Driver;
    handle->DeviceId = p.Id;
    return p.Driver->Open(handle, format, target, instance, flags);
  }

  // Every handle belongs to the driver that opened it; none of these reach here.
  MMRESULT Start(WaveDeviceHandle*) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT Pause(WaveDeviceHandle*) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT Restart(WaveDeviceHandle*) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT Prepare(WaveDeviceHandle*, WAVEHDR*, uint32_t) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT Unprepare(WaveDeviceHandle*, WAVEHDR*, uint32_t) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT Queue(WaveDeviceHandle*, WAVEHDR*, uint32_t) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT Reset(WaveDeviceHandle*) override { return MMSYSERR_INVALHANDLE; }
  MMRESULT Close(WaveDeviceHandle*) override { return MMSYSERR_INVALHANDLE; }

 private:
  struct ListCounts {
    uint32_t Alsa = 0;
    uint32_t Jack = 0;
  };
  struct Part {
    WaveDriver* Driver = nullptr;
    uint32_t Id = 0;
  };

  ListCounts& Counts(WaveKind kind) {
    listed_ = true;
    return kind == WaveKind::In ? in_ : out_;
  }

  Part PartOf(WaveKind kind, uint32_t id) {
    if (!listed_) {
      Devices(WaveKind::In);
      Devices(WaveKind::Out);
    }
    const ListCounts& c = kind == WaveKind::In ? in_ : out_;
    if (id < c.Alsa) return {alsa_.get(), id};
    if (id - c.Alsa < c.Jack) return {jack_.get(), id - c.Alsa};
    return {};
  }

  std::unique_ptr<WaveDriver> alsa_;
  std::unique_ptr<WaveDriver> jack_;
  ListCounts in_, out_;
  bool listed_ = false;
};

}  // namespace

std::unique_ptr<WaveDriver> MakeDesktopDriver(std::unique_ptr<WaveDriver> alsa, std::unique_ptr<WaveDriver> jack) {
  return std::make_unique<DesktopDriver>(std::move(alsa), std::move(jack));
}

}  // namespace tessival
