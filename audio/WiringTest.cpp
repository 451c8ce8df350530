#include "audio/WiringTest.h"

#include <algorithm>
#include <cmath>

namespace tessival {

namespace {

constexpr double FadeSeconds = 0.01;

void Store(uint8_t* p, double value, int bits) {
  const double scale = bits == 16 ? 32767.0 : 2147483647.0;
  const auto v = static_cast<uint32_t>(static_cast<int32_t>(std::lrint(std::clamp(value, -1.0, 1.0) * scale)));
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  if (bits == 32) {
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
  }
}

}  // namespace

std::vector<float> WiringBurst(uint32_t rate) {
  const size_t frames = static_cast<size_t>(std::lround(WiringBurstSeconds * rate));
  std::vector<double> pink(frames);
  // White noise through Paul Kellet's set of first-order filters, whose sum falls by
  // 3 dB per octave within 0.05 dB across the audio band.
  double b[7] = {};
  uint32_t state = 0x9E3779B9u;
  const auto white = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return static_cast<double>(state) / 2147483648.0 - 1.0;
  };
  const size_t settle = 8192;  // the slowest filter's memory, so that the burst starts pink
  for (size_t i = 0; i < settle + frames; ++i) {
    const double w = white();
    b[0] = 0.99886 * b[0] + w * 0.0555179;
    b[1] = 0.99332 * b[1] + w * 0.0750759;
    b[2] = 0.96900 * b[2] + w * 0.1538520;
    b[3] = 0.86650 * b[3] + w * 0.3104856;
    b[4] = 0.55000 * b[4] + w * 0.5329522;
    b[5] = -0.7616 * b[5] - w * 0.0168980;
    const double p = b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + w * 0.5362;
    b[6] = w * 0.115926;
    if (i >= settle) pink[i - settle] = p;
  }
  double mean = 0;
  for (double v : pink) mean += v;
  mean /= static_cast<double>(std::max<size_t>(frames, 1));
  double power = 0;
  for (double& v : pink) {
    v -= mean;
    power += v * v;
  }
  const double rms = std::sqrt(power / static_cast<double>(std::max<size_t>(frames, 1)));
  const double gain = rms > 0 ? std::pow(10.0, WiringBurstLevelDb / 20.0) / rms : 0;
  const size_t fade = std::min(frames / 2, static_cast<size_t>(FadeSeconds * rate));
  std::vector<float> burst(frames);
  for (size_t i = 0; i < frames; ++i) {
    double g = gain;
    const size_t edge = std::min(i, frames - 1 - i);
    if (edge < fade) g *= 0.5 - 0.5 * std::cos(M_PI * (static_cast<double>(edge) + 0.5) / static_cast<double>(fade));
    burst[i] = static_cast<float>(pink[i] * g);
  }
  return burst;
}

MMRESULT WiringTest::Start(uint32_t deviceId, const WAVEFORMATEX& format, WaveNotifyTarget* target) {
  Stop();
  const std::vector<float> burst = WiringBurst(format.nSamplesPerSec);
  const int bits = format.wBitsPerSample;
  const size_t align = format.nBlockAlign;
  for (int part = 0; part < 2; ++part) {
    data_[part].assign(burst.size() * align, 0);
    for (size_t i = 0; i < burst.size(); ++i) Store(&data_[part][i * align + part * align / 2], burst[i], bits);
  }
  data_[2].assign(static_cast<size_t>(std::lround(WiringTailSeconds * format.nSamplesPerSec)) * align, 0);

  HWAVEOUT device = nullptr;
  const MMRESULT result = waveOutOpen(&device, deviceId, &format, target, 0, CALLBACK_WINDOW);
  if (result != MMSYSERR_NOERROR) return result;
  device_ = device;
  played_ = 0;
  for (int part = 0; part < Parts; ++part) {
    WAVEHDR& h = headers_[part];
    h = WAVEHDR{};
    h.lpData = data_[part].data();
    h.dwBufferLength = static_cast<uint32_t>(data_[part].size());
    h.dwUser = static_cast<uintptr_t>(part);
    waveOutPrepareHeader(device_, &h, sizeof(WAVEHDR));
  }
  for (WAVEHDR& h : headers_) waveOutWrite(device_, &h, sizeof(WAVEHDR));
  return MMSYSERR_NOERROR;
}

bool WiringTest::OnMessage(const WaveMessage& message, std::string* reason) {
  if (device_ == nullptr || message.Device != device_) return false;  // an earlier check's, or closed
  if (message.Msg == MM_WAVE_LOST) {
    if (!WaveDeviceLostReason(device_, reason)) reason->clear();
    Stop();
    return true;
  }
  if (message.Msg == MM_WOM_DONE && ++played_ == Parts) Stop();
  return false;
}

void WiringTest::Stop() {
  if (device_ == nullptr) return;
  HWAVEOUT device = device_;
  device_ = nullptr;  // notifications still on their way are ignored from here on
  waveOutReset(device);
  for (WAVEHDR& h : headers_) waveOutUnprepareHeader(device, &h, sizeof(WAVEHDR));
  waveOutClose(device);
}

}  // namespace tessival
