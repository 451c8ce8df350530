#include "audio/SimDriver.h"

#include "audio/Priority.h"

#include <sndfile.h>

#include "audio/DeviceQueue.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace tessival {

namespace {

constexpr auto PaceTick = std::chrono::milliseconds(5);

const char* FunctionName(WaveKind kind, SimOp op) {
  const bool in = kind == WaveKind::In;
  switch (op) {
    case SimOp::Open: return in ? "waveInOpen" : "waveOutOpen";
    case SimOp::Start: return in ? "waveInStart" : "waveOutStart";
    case SimOp::Pause: return in ? "waveInPause" : "waveOutPause";
    case SimOp::Restart: return in ? "waveInRestart" : "waveOutRestart";
    case SimOp::Prepare: return in ? "waveInPrepareHeader" : "waveOutPrepareHeader";
    case SimOp::Unprepare: return in ? "waveInUnprepareHeader" : "waveOutUnprepareHeader";
    case SimOp::Add: return in ? "waveInAddBuffer" : "waveOutAddBuffer";
    case SimOp::Write: return in ? "waveInWrite" : "waveOutWrite";
    case SimOp::Reset: return in ? "waveInReset" : "waveOutReset";
    case SimOp::Close: return in ? "waveInClose" : "waveOutClose";
  }
  return "?";
}

void StoreSample(uint8_t* p, int32_t value, int bits) {
  const auto v = static_cast<uint32_t>(value);
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  if (bits == 32) {
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
  }
}

}  // namespace

struct SimDriver::Device {
  Device(WaveKind kind, const WAVEFORMATEX& format) : Kind(kind), Format(format), Queue(kind, format.nBlockAlign) {}
  WaveDeviceHandle* Handle = nullptr;
  WaveKind Kind;
  uint32_t Id = 0;
  WAVEFORMATEX Format;
  WaveNotifyTarget* Target = nullptr;
  bool Running = false;  // capture started, or output not paused
  DeviceQueue Queue;
  PlaybackCursor Play;
  CaptureCursor Capture;
  uint64_t SignalFrame = 0;      // capture: next frame index of the signal
  uint64_t ClockFrames = 0;      // stepped time since open
  uint64_t AdvancedFrames = 0;   // that time scaled by the rate offset, processed
  double DueFrames = 0;          // real-time clock: frames owed, fraction included
  int32_t Ppm = 0;
  size_t Recording = 0;          // output: index into recordings_
  SNDFILE* File = nullptr;       // output: WAV file being written
  uint64_t CaptureXruns = 0;     // steps in which a capture device had nothing queued
  bool Lost = false;
  std::string LostText;
  // Rate measurement: device frames advanced while running, against the clock.
  uint64_t RunDeviceFrames = 0;
  uint64_t RunClockFrames = 0;   // stepped clock
  double RunSeconds = 0;         // real-time clock
};

SimDriver::SimDriver(SimConfig config) : config_(std::move(config)), signal_(DefaultSignal) {
  if (!config_.InputFile.empty()) {
    std::string error;
    if (!SetInputFile(config_.InputFile, &error)) std::fprintf(stderr, "%s\n", error.c_str());
  }
  if (!config_.RecordFolder.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(config_.RecordFolder, ec);
  }
  if (config_.Clock == SimClock::RealTime) pacer_ = std::thread([this] { PaceLoop(); });
}

SimDriver::~SimDriver() {
  {
    std::lock_guard lock(mutex_);
    stopPacing_ = true;
  }
  if (pacer_.joinable()) pacer_.join();
  for (auto& device : devices_) {
    if (device->File != nullptr) sf_close(device->File);
    device->Handle->DriverData = nullptr;
  }
}

int32_t SimDriver::DefaultSignal(uint64_t frame, int channel, int bits) {
  const double period = channel == 0 ? 109.0 : 87.0;
  const double fullScale = bits == 16 ? 32767.0 : 2147483647.0;
  const double phase = static_cast<double>(frame % static_cast<uint64_t>(period)) / period;
  return static_cast<int32_t>(std::lround(0.25 * fullScale * std::sin(2.0 * M_PI * phase)));
}

std::vector<int32_t> SimDriver::DecodeSamples(const std::vector<uint8_t>& bytes, int bits) {
  const size_t width = bits == 16 ? 2 : 4;
  std::vector<int32_t> out(bytes.size() / width);
  for (size_t i = 0; i < out.size(); ++i) {
    const uint8_t* p = &bytes[i * width];
    if (width == 2) {
      out[i] = static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
    } else {
      out[i] = static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                                    (static_cast<uint32_t>(p[2]) << 16) |
                                    (static_cast<uint32_t>(p[3]) << 24));
    }
  }
  return out;
}

// --- Test API ---

void SimDriver::FailOperation(WaveKind kind, uint32_t deviceId, SimOp op, MMRESULT result,
                              int count) {
  std::lock_guard lock(mutex_);
  failures_.push_back({kind, deviceId, op, result, count < 0 ? SimAlways : count});
}

void SimDriver::ClearFailures() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

std::vector<std::string> SimDriver::CallLog() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> log;
  log.reserve(calls_.size());
  for (const SimCall& call : calls_) {
    std::string line = call.Function;
    if (call.DeviceId != SimAnyDevice) line += " " + std::to_string(call.DeviceId);
    if (call.Buffer >= 0) line += " " + std::to_string(call.Buffer);
    log.push_back(std::move(line));
  }
  return log;
}

std::vector<SimCall> SimDriver::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void SimDriver::ClearCallLog() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

void SimDriver::SetInputSignal(SimSignal signal) {
  std::lock_guard lock(mutex_);
  signal_ = signal ? std::move(signal) : SimSignal(DefaultSignal);
}

void SimDriver::SetInputSamples(std::vector<int32_t> interleaved, bool loop) {
  auto samples = std::make_shared<const std::vector<int32_t>>(std::move(interleaved));
  SetInputSignal([samples, loop](uint64_t frame, int channel, int) -> int32_t {
    const uint64_t frames = samples->size() / 2;
    if (frames == 0) return 0;
    if (frame >= frames) {
      if (!loop) return 0;
      frame %= frames;
    }
    return (*samples)[frame * 2 + static_cast<uint64_t>(channel)];
  });
}

bool SimDriver::SetInputFile(const std::string& path, std::string* error) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    if (error != nullptr) *error = path + ": " + sf_strerror(nullptr);
    return false;
  }
  std::vector<int32_t> all(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
  const sf_count_t got = sf_readf_int(file, all.data(), info.frames);
  sf_close(file);
  if (got <= 0 || info.channels < 1) {
    if (error != nullptr) *error = path + ": no audio frames could be read";
    return false;
  }
  // Two channels per frame: mono doubled, further channels dropped.
  auto samples = std::make_shared<std::vector<int32_t>>(static_cast<size_t>(got) * 2);
  for (sf_count_t f = 0; f < got; ++f) {
    const int32_t* src = &all[static_cast<size_t>(f * info.channels)];
    (*samples)[static_cast<size_t>(f) * 2] = src[0];
    (*samples)[static_cast<size_t>(f) * 2 + 1] = info.channels > 1 ? src[1] : src[0];
  }
  SetInputSignal([samples](uint64_t frame, int channel, int bits) -> int32_t {
    const int32_t v = (*samples)[(frame % (samples->size() / 2)) * 2 + static_cast<uint64_t>(channel)];
    return bits == 16 ? (v >> 16) : v;
  });
  return true;
}

void SimDriver::SetRateOffsetPpm(WaveKind kind, uint32_t deviceId, int32_t ppm) {
  std::lock_guard lock(mutex_);
  rateOffsets_.push_back({kind, deviceId, std::clamp(ppm, -500000, 500000)});
}

void SimDriver::Step(uint64_t frames) {
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < devices_.size(); ++i) {
    Device& d = *devices_[i];
    d.ClockFrames += frames;
    // Integer scaling of the whole elapsed time carries the fraction from step to step,
    // so a drifting device stays deterministic and exact over any number of steps.
    const auto scaled = static_cast<uint64_t>(
        (static_cast<unsigned __int128>(d.ClockFrames) * static_cast<uint64_t>(1000000 + d.Ppm)) /
        1000000u);
    const uint64_t n = scaled - d.AdvancedFrames;
    d.AdvancedFrames = scaled;
    if (d.Running) {
      d.RunDeviceFrames += n;
      d.RunClockFrames += frames;
    }
    Advance(d, n);
  }
}

std::vector<SimRecording> SimDriver::Recordings() const {
  std::lock_guard lock(mutex_);
  return recordings_;
}

std::vector<uint8_t> SimDriver::PlayedBytes(uint32_t deviceId) const {
  std::lock_guard lock(mutex_);
  for (auto it = recordings_.rbegin(); it != recordings_.rend(); ++it) {
    if (it->DeviceId == deviceId) return it->Bytes;
  }
  return {};
}

void SimDriver::TakePlayedBytes(uint32_t deviceId, std::vector<uint8_t>* bytes) {
  std::lock_guard lock(mutex_);
  bytes->clear();
  for (auto it = recordings_.rbegin(); it != recordings_.rend(); ++it) {
    if (it->DeviceId == deviceId) {
      bytes->swap(it->Bytes);
      break;
    }
  }
}

uint64_t SimDriver::DroppedCaptureFrames() const {
  std::lock_guard lock(mutex_);
  return droppedFrames_;
}

size_t SimDriver::OpenDeviceCount() const {
  std::lock_guard lock(mutex_);
  return devices_.size();
}

size_t SimDriver::QueuedBufferCount(WaveDeviceHandle* handle) const {
  std::lock_guard lock(mutex_);
  Device* d = DeviceOf(handle);
  return d != nullptr ? d->Queue.Size() : 0;
}

// --- Internals (mutex_ held) ---

MMRESULT SimDriver::Log(const char* function, uint32_t deviceId, const WAVEHDR* header,
                        MMRESULT result) {
  if (config_.KeepCallLog) {
    const int64_t buffer = header != nullptr ? static_cast<int64_t>(header->dwUser) : -1;
    calls_.push_back({function, deviceId, buffer, result});
  }
  return result;
}

bool SimDriver::TakeFailure(WaveKind kind, uint32_t deviceId, SimOp op, MMRESULT* result) {
  for (Failure& f : failures_) {
    if (f.Kind != kind || f.Op != op || f.Remaining == 0) continue;
    if (f.DeviceId != SimAnyDevice && f.DeviceId != deviceId) continue;
    if (f.Remaining > 0) --f.Remaining;
    *result = f.Result;
    return true;
  }
  return false;
}

SimDriver::Device* SimDriver::DeviceOf(WaveDeviceHandle* handle) const {
  if (handle == nullptr || handle->Closed || handle->DriverData == nullptr) return nullptr;
  return static_cast<Device*>(handle->DriverData);
}

void SimDriver::Post(Device& device, uint32_t msg, WAVEHDR* header) {
  if (device.Target != nullptr) device.Target->PostWaveMessage({msg, device.Handle, header});
}

void SimDriver::Advance(Device& device, uint64_t frames) {
  if (!device.Running || device.Lost) return;
  if (device.Kind == WaveKind::In) {
    AdvanceCapture(device, frames);
  } else {
    AdvancePlayback(device, frames);
  }
}

void SimDriver::AdvanceCapture(Device& d, uint64_t frames) {
  const int bits = d.Format.wBitsPerSample;
  const uint32_t align = d.Format.nBlockAlign;
  const uint32_t width = align / 2;
  while (frames > 0) {
    uint8_t* p = nullptr;
    const uint32_t n = d.Capture.Next(d.Queue, static_cast<uint32_t>(std::min<uint64_t>(frames, UINT32_MAX)), &p);
    if (n == 0) {
      droppedFrames_ += frames;
      d.SignalFrame += frames;
      ++d.CaptureXruns;
      return;
    }
    for (uint32_t f = 0; f < n; ++f, p += align) {
      StoreSample(p, signal_(d.SignalFrame, 0, bits), bits);
      StoreSample(p + width, signal_(d.SignalFrame, 1, bits), bits);
      ++d.SignalFrame;
    }
    if (WAVEHDR* done = d.Capture.Filled(d.Queue, n)) Post(d, MM_WIM_DATA, done);
    frames -= n;
  }
}

void SimDriver::AdvancePlayback(Device& d, uint64_t frames) {
  const uint32_t align = d.Format.nBlockAlign;
  SimRecording& rec = recordings_[d.Recording];
  while (frames > 0) {
    const uint8_t* p = nullptr;
    const uint32_t n = d.Play.Next(d.Queue, static_cast<uint32_t>(std::min<uint64_t>(frames, UINT32_MAX)), &p);
    if (n == 0) return;  // never started: idle, not an underrun
    if (p == nullptr) rec.UnderrunFrames += n;
    Record(d, rec, p, static_cast<size_t>(n) * align);
    if (WAVEHDR* done = d.Play.Played(d.Queue, n)) Post(d, MM_WOM_DONE, done);
    frames -= n;
  }
}

// Keeps played bytes (null: silence) in memory and in the output's file.
void SimDriver::Record(Device& d, SimRecording& rec, const uint8_t* p, size_t bytes) {
  static const uint8_t zeros[4096] = {};
  if (p != nullptr) {
    if (config_.RecordToMemory) rec.Bytes.insert(rec.Bytes.end(), p, p + bytes);
    if (d.File != nullptr) sf_write_raw(d.File, p, static_cast<sf_count_t>(bytes));
    return;
  }
  if (config_.RecordToMemory) rec.Bytes.resize(rec.Bytes.size() + bytes, 0);
  for (size_t done = 0; d.File != nullptr && done < bytes;) {
    const size_t piece = std::min(bytes - done, sizeof(zeros));
    sf_write_raw(d.File, zeros, static_cast<sf_count_t>(piece));
    done += piece;
  }
}

// Hands every queued buffer back, in queue order; an output is then idle again.
void SimDriver::ReturnAll(Device& d) {
  const bool in = d.Kind == WaveKind::In;
  d.Queue.ReturnAll(in ? d.Capture.Offset() : 0, [&](WAVEHDR* h) { Post(d, in ? MM_WIM_DATA : MM_WOM_DONE, h); });
  d.Capture.Reset();
  d.Play.Reset();
}

void SimDriver::PaceLoop() {
  if (config_.RealTimePacer) RequestRealTimeScheduling(IoThreadRealTimePriority);
  auto last = std::chrono::steady_clock::now();
  for (;;) {
    std::this_thread::sleep_for(PaceTick);
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - last).count();
    last = now;
    std::lock_guard lock(mutex_);
    if (stopPacing_) return;
    for (auto& device : devices_) {
      Device& d = *device;
      d.DueFrames += seconds * d.Format.nSamplesPerSec * (1.0 + d.Ppm * 1e-6);
      const auto n = static_cast<uint64_t>(d.DueFrames);
      d.DueFrames -= static_cast<double>(n);
      if (d.Running) {
        d.RunDeviceFrames += n;
        d.RunSeconds += seconds;
      }
      Advance(d, n);
    }
  }
}

// --- WaveDriver ---

uint32_t SimDriver::NumDevs(WaveKind kind) {
  std::lock_guard lock(mutex_);
  return static_cast<uint32_t>(kind == WaveKind::In ? config_.InputNames.size()
                                                    : config_.OutputNames.size());
}

bool SimDriver::DeviceName(WaveKind kind, uint32_t id, std::string* name) {
  std::lock_guard lock(mutex_);
  const auto& names = kind == WaveKind::In ? config_.InputNames : config_.OutputNames;
  if (id >= names.size()) return false;
  *name = names[id];
  return true;
}

MMRESULT SimDriver::Open(WaveDeviceHandle* handle, const WAVEFORMATEX& format,
                         WaveNotifyTarget* target, uintptr_t, uint32_t) {
  std::lock_guard lock(mutex_);
  const WaveKind kind = handle->Kind;
  const uint32_t id = handle->DeviceId;
  const char* function = FunctionName(kind, SimOp::Open);
  const auto& names = kind == WaveKind::In ? config_.InputNames : config_.OutputNames;
  if (id >= names.size()) return Log(function, id, nullptr, MMSYSERR_BADDEVICEID);
  MMRESULT result = MMSYSERR_NOERROR;
  if (TakeFailure(kind, id, SimOp::Open, &result)) return Log(function, id, nullptr, result);
  if (CheckWaveFormat(format) != MMSYSERR_NOERROR) return Log(function, id, nullptr, WAVERR_BADFORMAT);
  if (!config_.Rates.empty() &&
      std::find(config_.Rates.begin(), config_.Rates.end(), format.nSamplesPerSec) == config_.Rates.end()) {
    return Log(function, id, nullptr, WAVERR_BADFORMAT);
  }
  if (config_.Exclusive) {
    for (auto& d : devices_) {
      if (d->Kind == kind && d->Id == id) return Log(function, id, nullptr, MMSYSERR_ALLOCATED);
    }
  }
  auto device = std::make_unique<Device>(kind, format);
  device->Handle = handle;
  device->Id = id;
  device->Target = target;
  device->Running = kind == WaveKind::Out;  // outputs play at once unless paused
  for (const RateOffset& r : rateOffsets_) {
    if (r.Kind == kind && (r.DeviceId == id || r.DeviceId == SimAnyDevice)) device->Ppm = r.Ppm;
  }
  if (kind == WaveKind::Out) {
    device->Recording = recordings_.size();
    SimRecording rec;
    rec.DeviceId = id;
    rec.Format = format;
    recordings_.push_back(std::move(rec));
    if (!config_.RecordFolder.empty()) {
      char name[64];
      std::snprintf(name, sizeof(name), "out-%03zu-dev%u.wav", device->Recording, id);
      const std::string path = (std::filesystem::path(config_.RecordFolder) / name).string();
      SF_INFO info{};
      info.samplerate = static_cast<int>(format.nSamplesPerSec);
      info.channels = 2;
      info.format = SF_FORMAT_WAV | (format.wBitsPerSample == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_32);
      device->File = sf_open(path.c_str(), SFM_WRITE, &info);
      if (device->File == nullptr) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), sf_strerror(nullptr));
      }
    }
  }
  handle->DriverData = device.get();
  devices_.push_back(std::move(device));
  Post(*devices_.back(), kind == WaveKind::In ? MM_WIM_OPEN : MM_WOM_OPEN, nullptr);
  return Log(function, id, nullptr, MMSYSERR_NOERROR);
}

MMRESULT SimDriver::Start(WaveDeviceHandle* handle) {
  std::lock_guard lock(mutex_);
  const char* function = FunctionName(handle->Kind, SimOp::Start);
  Device* d = DeviceOf(handle);
  if (d == nullptr) return Log(function, handle->DeviceId, nullptr, MMSYSERR_INVALHANDLE);
  MMRESULT result = MMSYSERR_NOERROR;
  if (TakeFailure(d->Kind, d->Id, SimOp::Start, &result)) return Log(function, d->Id, nullptr, result);
  d->Running = true;
  return Log(function, d->Id, nullptr, MMSYSERR_NOERROR);
}

MMRESULT SimDriver::Pause(WaveDeviceHandle* handle) {
  std::lock_guard lock(mutex_);
  const char* function = FunctionName(handle->Kind, SimOp::Pause);
  Device* d = DeviceOf(handle);
  if (d == nullptr) return Log(function, handle->DeviceId, nullptr, MMSYSERR_INVALHANDLE);
  MMRESULT result = MMSYSERR_NOERROR;
  if (TakeFailure(d->Kind, d->Id, SimOp::Pause, &result)) return Log(function, d->Id, nullptr, result);
  d->Running = false;
  return Log(function, d->Id, nullptr, MMSYSERR_NOERROR);
}

MMRESULT SimDriver::Restart(WaveDeviceHandle* handle) {
  std::lock_guard lock(mutex_);
  const char* function = FunctionName(handle->Kind, SimOp::Restart);
  Device* d = DeviceOf(handle);
  if (d == nullptr) return Log(function, handle->DeviceId, nullptr, MMSYSERR_INVALHANDLE);
  MMRESULT result = MMSYSERR_NOERROR;
  if (TakeFailure(d->Kind, d->Id, SimOp::Restart, &result)) return Log(function, d->Id, nullptr, result);
  d->Running = true;
  return Log(function, d->Id, nullptr, MMSYSERR_NOERROR);
}

MMRESULT SimDriver::Prepare(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) {
  std::lock_guard lock(mutex_);
  const char* function = FunctionName(handle->Kind, SimOp::Prepare);
  Device* d = DeviceOf(handle);
  if (d == nullptr) return Log(function, handle->DeviceId, header, MMSYSERR_INVALHANDLE);
  MMRESULT result = MMSYSERR_NOERROR;
  if (TakeFailure(d->Kind, d->Id, SimOp::Prepare, &result)) return Log(function, d->Id, header, result);
  return Log(function, d->Id, header, d->Queue.Prepare(header, headerSize));
}

MMRESULT SimDriver::Unprepare(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) {
  std::lock_guard lock(mutex_);
  const char* function = FunctionName(handle->Kind, SimOp::Unprepare);
  Device* d = DeviceOf(handle);
  if (d == nullptr) return Log(function, handle->DeviceId, header, MMSYSERR_INVALHANDLE);
  MMRESULT result = MMSYSERR_NOERROR;
  if (TakeFailure(d->Kind, d->Id, SimOp::Unprepare, &result)) return Log(function, d->Id, header, result);
  return Log(function, d->Id, header, d->Queue.Unprepare(header, headerSize));
}

MMRESULT SimDriver::Queue(WaveDeviceHandle* handle, WAVEHDR* header, uint32_t headerSize) {
  std::lock_guard lock(mutex_);
  const SimOp op = handle->Kind == WaveKind::In ? SimOp::Add : SimOp::Write;
  const char* function = FunctionName(handle->Kind, op);
  Device* d = DeviceOf(handle);
  if (d == nullptr) return Log(function, handle->DeviceId, header, MMSYSERR_INVALHANDLE);
  MMRESULT result = MMSYSERR_NOERROR;
  if (TakeFailure(d->Kind, d->Id, op, &result)) return Log(function, d->Id, header, result);
  bool skipped = false;
  result = d->Queue.Add(header, headerSize, &skipped);
  if (skipped) Post(*d, MM_WOM_DONE, header);
  return Log(function, d->Id, header, result);
}

MMRESULT SimDriver::Reset(WaveDeviceHandle* handle) {
  std::lock_guard lock(mutex_);
  const char* function = FunctionName(handle->Kind, SimOp::Reset);
  Device* d = DeviceOf(handle);
  if (d == nullptr) return Log(function, handle->DeviceId, nullptr, MMSYSERR_INVALHANDLE);
  MMRESULT result = MMSYSERR_NOERROR;
  if (TakeFailure(d->Kind, d->Id, SimOp::Reset, &result)) return Log(function, d->Id, nullptr, result);
  ReturnAll(*d);
  if (d->Kind == WaveKind::In) d->Running = false;
  return Log(function, d->Id, nullptr, MMSYSERR_NOERROR);
}

MMRESULT SimDriver::Close(WaveDeviceHandle* handle) {
  std::lock_guard lock(mutex_);
  const char* function = FunctionName(handle->Kind, SimOp::Close);
  Device* d = DeviceOf(handle);
  if (d == nullptr) return Log(function, handle->DeviceId, nullptr, MMSYSERR_INVALHANDLE);
  MMRESULT result = MMSYSERR_NOERROR;
  if (TakeFailure(d->Kind, d->Id, SimOp::Close, &result)) return Log(function, d->Id, nullptr, result);
  ReturnAll(*d);
  if (d->File != nullptr) sf_close(d->File);
  if (d->Kind == WaveKind::Out) recordings_[d->Recording].Closed = true;
  Post(*d, d->Kind == WaveKind::In ? MM_WIM_CLOSE : MM_WOM_CLOSE, nullptr);
  const uint32_t id = d->Id;
  std::erase_if(devices_, [d](const std::unique_ptr<Device>& p) { return p.get() == d; });
  handle->DriverData = nullptr;
  return Log(function, id, nullptr, MMSYSERR_NOERROR);
}

uint64_t SimDriver::XrunCount(WaveDeviceHandle* handle) {
  std::lock_guard lock(mutex_);
  Device* d = DeviceOf(handle);
  return d != nullptr ? d->CaptureXruns + d->Play.UnderrunEvents() : 0;
}

bool SimDriver::Stats(WaveDeviceHandle* handle, WaveDeviceStats* stats) {
  std::lock_guard lock(mutex_);
  Device* d = DeviceOf(handle);
  if (d == nullptr) return false;
  const double seconds = d->RunSeconds + static_cast<double>(d->RunClockFrames) / d->Format.nSamplesPerSec;
  stats->Rate = seconds > 0 ? static_cast<double>(d->RunDeviceFrames) / seconds : 0;
  stats->UnderrunEvents = d->Play.UnderrunEvents();
  stats->UnderrunFrames = d->Play.UnderrunFrames();
  stats->SkippedBlocks = d->Queue.SkippedBlocks();
  stats->MaxQueued = d->Queue.MaxQueued();
  return true;
}

bool SimDriver::LostReason(WaveDeviceHandle* handle, std::string* reason) {
  std::lock_guard lock(mutex_);
  Device* d = DeviceOf(handle);
  if (d == nullptr || !d->Lost) return false;
  *reason = d->LostText;
  return true;
}

void SimDriver::LoseDevice(WaveKind kind, uint32_t deviceId, const std::string& reason) {
  std::lock_guard lock(mutex_);
  for (auto& device : devices_) {
    Device& d = *device;
    if (d.Kind != kind || d.Lost || (deviceId != SimAnyDevice && d.Id != deviceId)) continue;
    d.Lost = true;
    d.LostText = reason;
    Post(d, MM_WAVE_LOST, nullptr);
  }
}

void SimDriver::NoteEvent(const char* event) {
  std::lock_guard lock(mutex_);
  if (config_.KeepCallLog) calls_.push_back({event, SimAnyDevice, -1, MMSYSERR_NOERROR});
}

SimDriver& InstallSimDriver(SimConfig config) {
  auto driver = std::make_unique<SimDriver>(std::move(config));
  SimDriver& ref = *driver;
  InstallWaveDriver(std::move(driver));
  return ref;
}

std::unique_ptr<WaveDriver> MakeSimDriverFromEnvironment() {
  SimConfig config;
  config.Clock = SimClock::RealTime;
  config.RecordToMemory = false;
  config.KeepCallLog = false;
  if (const char* input = std::getenv("TESSIVAL_SIM_INPUT")) config.InputFile = input;
  if (const char* folder = std::getenv("TESSIVAL_SIM_RECORD")) config.RecordFolder = folder;
  return std::make_unique<SimDriver>(std::move(config));
}

}  // namespace tessival
