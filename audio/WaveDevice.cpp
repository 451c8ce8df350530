// The wave device functions: handle checks, then the call to the driver that opened
// the device. Enumeration and open go to the driver in use.
#include "audio/WaveDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <unordered_set>

#include "audio/AlsaDriver.h"
#include "audio/DesktopDriver.h"
#include "audio/JackDriver.h"
#include "audio/SimDriver.h"
#include "audio/WaveDriver.h"

namespace tessival {

namespace {

// Closed handles kept so that late calls with them are answered, not crashed on.
constexpr size_t KeptClosedHandles = 64;

struct DriverState {
  std::unique_ptr<WaveDriver> Driver;
  std::unordered_set<WaveDeviceHandle*> Handles;  // open and kept closed ones
  std::deque<WaveDeviceHandle*> ClosedHandles;    // oldest first

  // Drops every handle; the driver (if any) has already released their devices.
  void ForgetHandles() {
    for (WaveDeviceHandle* h : Handles) delete h;
    Handles.clear();
    ClosedHandles.clear();
  }

  ~DriverState() {
    Driver.reset();
    ForgetHandles();
  }
};

DriverState& State() {
  static DriverState state;
  return state;
}

std::unique_ptr<WaveDriver> MakeDefaultDriver() {
  const char* choice = std::getenv("TESSIVAL_AUDIO");
  if (choice != nullptr && std::strcmp(choice, "sim") == 0) return MakeSimDriverFromEnvironment();
  if (choice != nullptr && std::strcmp(choice, "jack") == 0) return MakeJackDriver();
  if (choice != nullptr && std::strcmp(choice, "alsa") == 0) return MakeAlsaDriver();
  return MakeDesktopDriver(MakeAlsaDriver(), MakeJackDriver());
}

// The handle if it is a live or kept one, else null; nothing else is dereferenced.
WaveDeviceHandle* Known(WaveDeviceHandle* handle) {
  if (handle == nullptr) return nullptr;
  DriverState& s = State();
  return s.Handles.find(handle) != s.Handles.end() ? handle : nullptr;
}

// The same, of the wanted kind.
WaveDeviceHandle* Known(WaveDeviceHandle* handle, WaveKind kind) {
  WaveDeviceHandle* h = Known(handle);
  return h != nullptr && h->Kind == kind ? h : nullptr;
}

MMRESULT GetNumDevs(WaveKind kind) { return ActiveWaveDriver().NumDevs(kind); }

template <typename Caps>
MMRESULT GetDevCaps(WaveKind kind, uint32_t deviceId, Caps* caps, uint32_t capsSize) {
  if (caps == nullptr || capsSize < sizeof(Caps)) return MMSYSERR_INVALPARAM;
  std::string name;
  if (!ActiveWaveDriver().DeviceName(kind, deviceId, &name)) return MMSYSERR_BADDEVICEID;
  CopyProductName(name, caps->szPname);
  return MMSYSERR_NOERROR;
}

MMRESULT Open(WaveKind kind, WaveDeviceHandle** handle, uint32_t deviceId,
              const WAVEFORMATEX* format, WaveNotifyTarget* target, uintptr_t instance,
              uint32_t flags) {
  if (handle == nullptr || format == nullptr) return MMSYSERR_INVALPARAM;
  *handle = nullptr;
  WaveDriver& driver = ActiveWaveDriver();
  auto h = std::make_unique<WaveDeviceHandle>();
  h->Driver = &driver;
  h->Kind = kind;
  h->DeviceId = deviceId;
  const MMRESULT result = driver.Open(h.get(), *format, target, instance, flags);
  if (result != MMSYSERR_NOERROR) return result;
  *handle = h.get();
  State().Handles.insert(h.release());
  return MMSYSERR_NOERROR;
}

MMRESULT Close(WaveKind kind, WaveDeviceHandle* handle) {
  WaveDeviceHandle* h = Known(handle, kind);
  if (h == nullptr) return MMSYSERR_INVALHANDLE;
  if (h->Closed) return h->Driver->Close(h);  // the driver answers (and may log) it
  const MMRESULT result = h->Driver->Close(h);
  if (result != MMSYSERR_NOERROR) return result;
  h->Closed = true;
  DriverState& s = State();
  s.ClosedHandles.push_back(h);
  if (s.ClosedHandles.size() > KeptClosedHandles) {
    WaveDeviceHandle* oldest = s.ClosedHandles.front();
    s.ClosedHandles.pop_front();
    s.Handles.erase(oldest);
    delete oldest;
  }
  return MMSYSERR_NOERROR;
}

}  // namespace

WaveDriver& ActiveWaveDriver() {
  DriverState& s = State();
  if (!s.Driver) s.Driver = MakeDefaultDriver();
  return *s.Driver;
}

void InstallWaveDriver(std::unique_ptr<WaveDriver> driver) {
  DriverState& s = State();
  s.Driver.reset();  // its destructor stops and frees every device of its own
  s.ForgetHandles();
  s.Driver = std::move(driver);
}

uint64_t WaveDeviceXruns(WaveDeviceHandle* handle) {
  WaveDeviceHandle* h = Known(handle);
  if (h == nullptr || h->Closed) return 0;
  return h->Driver->XrunCount(h);
}

bool WaveDeviceStatistics(WaveDeviceHandle* handle, WaveDeviceStats* stats) {
  WaveDeviceHandle* h = Known(handle);
  if (h == nullptr || h->Closed || stats == nullptr) return false;
  *stats = WaveDeviceStats{};
  return h->Driver->Stats(h, stats);
}

void PrintWaveDeviceStats(WaveDeviceHandle* capture, WaveDeviceHandle* const* playback, int count) {
  const char* debug = std::getenv("TESSIVAL_DEBUG");
  if (debug == nullptr || std::strcmp(debug, "1") != 0) return;
  WaveDeviceStats in;
  const bool haveIn = WaveDeviceStatistics(capture, &in) && in.Rate > 0;
  if (haveIn) std::fprintf(stderr, "tessival: capture: %.3f frames/s measured\n", in.Rate);
  for (int d = 0; d < count; ++d) {
    WaveDeviceStats out;
    if (!WaveDeviceStatistics(playback[d], &out)) continue;
    char ppm[32] = "unknown";
    if (haveIn && out.Rate > 0) std::snprintf(ppm, sizeof(ppm), "%+.1f ppm", (out.Rate / in.Rate - 1.0) * 1e6);
    std::fprintf(stderr,
                 "tessival: output %d: rate %s against capture, %llu underruns (%llu silent frames), "
                 "%llu blocks skipped, at most %u buffers queued\n",
                 d, ppm, static_cast<unsigned long long>(out.UnderrunEvents),
                 static_cast<unsigned long long>(out.UnderrunFrames),
                 static_cast<unsigned long long>(out.SkippedBlocks), out.MaxQueued);
  }
}

MMRESULT CheckWaveFormat(const WAVEFORMATEX& format) {
  if (format.wFormatTag != WAVE_FORMAT_PCM || format.nChannels != 2) return WAVERR_BADFORMAT;
  if (format.wBitsPerSample != 16 && format.wBitsPerSample != 32) return WAVERR_BADFORMAT;
  if (format.nBlockAlign != format.nChannels * format.wBitsPerSample / 8) return WAVERR_BADFORMAT;
  if (format.nSamplesPerSec == 0) return WAVERR_BADFORMAT;
  return MMSYSERR_NOERROR;
}

void CopyProductName(const std::string& name, char (&field)[32]) {
  const size_t n = std::min(name.size(), sizeof(field) - 1);
  std::memcpy(field, name.data(), n);
  field[n] = '\0';
}

std::vector<WaveDeviceEntry> WaveDriver::Devices(WaveKind kind) {
  std::vector<WaveDeviceEntry> list;
  const uint32_t n = NumDevs(kind);
  for (uint32_t id = 0; id < n; ++id) {
    std::string name;
    if (!DeviceName(kind, id, &name)) break;
    list.push_back({name, name});
  }
  return list;
}

void MakeDeviceNamesUnique(std::vector<WaveDeviceEntry>& list) {
  std::map<std::string, int> seen;
  for (WaveDeviceEntry& e : list) ++seen[e.Name];
  std::map<std::string, int> numbered;
  for (WaveDeviceEntry& e : list) {
    if (seen[e.Name] < 2) continue;
    const int n = ++numbered[e.Name];
    if (n == 1) continue;  // the first keeps its name
    std::string candidate;
    for (int k = n;; ++k) {
      candidate = e.Name + " (" + std::to_string(k) + ")";
      if (seen.find(candidate) == seen.end()) break;
    }
    seen[candidate] = 1;
    e.Name = candidate;
  }
}

std::string ErrnoText(int err) {
  const int code = err < 0 ? -err : err;
  std::string text = std::strerror(code);
  if (const char* name = strerrorname_np(code)) text += std::string(" (") + name + ")";
  return text;
}

std::vector<WaveDeviceEntry> WaveDeviceList(WaveKind kind) { return ActiveWaveDriver().Devices(kind); }

int32_t FindWaveDevice(const std::vector<WaveDeviceEntry>& list, const std::string& identity) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].Identity == identity) return static_cast<int32_t>(i);
  }
  return -1;
}

bool WaveDeviceLostReason(WaveDeviceHandle* handle, std::string* reason) {
  WaveDeviceHandle* h = Known(handle);
  if (h == nullptr || h->Closed || reason == nullptr) return false;
  return h->Driver->LostReason(h, reason);
}

uint32_t waveInGetNumDevs() { return GetNumDevs(WaveKind::In); }
uint32_t waveOutGetNumDevs() { return GetNumDevs(WaveKind::Out); }

MMRESULT waveInGetDevCapsA(uint32_t deviceId, WAVEINCAPSA* caps, uint32_t capsSize) {
  return GetDevCaps(WaveKind::In, deviceId, caps, capsSize);
}
MMRESULT waveOutGetDevCapsA(uint32_t deviceId, WAVEOUTCAPSA* caps, uint32_t capsSize) {
  return GetDevCaps(WaveKind::Out, deviceId, caps, capsSize);
}

MMRESULT waveInOpen(HWAVEIN* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                    WaveNotifyTarget* target, uintptr_t instance, uint32_t flags) {
  return Open(WaveKind::In, handle, deviceId, format, target, instance, flags);
}
MMRESULT waveOutOpen(HWAVEOUT* handle, uint32_t deviceId, const WAVEFORMATEX* format,
                     WaveNotifyTarget* target, uintptr_t instance, uint32_t flags) {
  return Open(WaveKind::Out, handle, deviceId, format, target, instance, flags);
}

MMRESULT waveOutPause(HWAVEOUT handle) {
  WaveDeviceHandle* h = Known(handle, WaveKind::Out);
  return h != nullptr ? h->Driver->Pause(h) : MMSYSERR_INVALHANDLE;
}
MMRESULT waveOutRestart(HWAVEOUT handle) {
  WaveDeviceHandle* h = Known(handle, WaveKind::Out);
  return h != nullptr ? h->Driver->Restart(h) : MMSYSERR_INVALHANDLE;
}
MMRESULT waveInStart(HWAVEIN handle) {
  WaveDeviceHandle* h = Known(handle, WaveKind::In);
  return h != nullptr ? h->Driver->Start(h) : MMSYSERR_INVALHANDLE;
}

MMRESULT waveInPrepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t headerSize) {
  WaveDeviceHandle* h = Known(handle, WaveKind::In);
  return h != nullptr ? h->Driver->Prepare(h, header, headerSize) : MMSYSERR_INVALHANDLE;
}
MMRESULT waveOutPrepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t headerSize) {
  WaveDeviceHandle* h = Known(handle, WaveKind::Out);
  return h != nullptr ? h->Driver->Prepare(h, header, headerSize) : MMSYSERR_INVALHANDLE;
}
MMRESULT waveInUnprepareHeader(HWAVEIN handle, WAVEHDR* header, uint32_t headerSize) {
  WaveDeviceHandle* h = Known(handle, WaveKind::In);
  return h != nullptr ? h->Driver->Unprepare(h, header, headerSize) : MMSYSERR_INVALHANDLE;
}
MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, WAVEHDR* header, uint32_t headerSize) {
  WaveDeviceHandle* h = Known(handle, WaveKind::Out);
  return h != nullptr ? h->Driver->Unprepare(h, header, headerSize) : MMSYSERR_INVALHANDLE;
}
MMRESULT waveInAddBuffer(HWAVEIN handle, WAVEHDR* header, uint32_t headerSize) {
  WaveDeviceHandle* h = Known(handle, WaveKind::In);
  return h != nullptr ? h->Driver->Queue(h, header, headerSize) : MMSYSERR_INVALHANDLE;
}
MMRESULT waveOutWrite(HWAVEOUT handle, WAVEHDR* header, uint32_t headerSize) {
  WaveDeviceHandle* h = Known(handle, WaveKind::Out);
  return h != nullptr ? h->Driver->Queue(h, header, headerSize) : MMSYSERR_INVALHANDLE;
}

MMRESULT waveInReset(HWAVEIN handle) {
  WaveDeviceHandle* h = Known(handle, WaveKind::In);
  return h != nullptr ? h->Driver->Reset(h) : MMSYSERR_INVALHANDLE;
}
MMRESULT waveOutReset(HWAVEOUT handle) {
  WaveDeviceHandle* h = Known(handle, WaveKind::Out);
  return h != nullptr ? h->Driver->Reset(h) : MMSYSERR_INVALHANDLE;
}
MMRESULT waveInClose(HWAVEIN handle) { return Close(WaveKind::In, handle); }
MMRESULT waveOutClose(HWAVEOUT handle) { return Close(WaveKind::Out, handle); }

}  // namespace tessival
