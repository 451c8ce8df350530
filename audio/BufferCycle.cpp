#include "audio/BufferCycle.h"

#include <chrono>
#include <string>

#include "audio/DeviceControl.h"
#include "audio/MmErrMsg.h"
#include "engine/Engine.h"
#include "engine/Report.h"

namespace tessival {

WAVEHDR InHeaders[MaxBuffers] = {};
WAVEHDR OutHeaders[MaxOutDevices][MaxBuffers] = {};

namespace {

constexpr uint32_t HeaderSize = sizeof(WAVEHDR);

void Describe(WAVEHDR& h, uint8_t* data, int32_t k) {
  h = WAVEHDR{};
  h.lpData = data;
  h.dwBufferLength = static_cast<uint32_t>(TheEngine.WaveBufferSize);
  h.dwUser = static_cast<uintptr_t>(k);
}

void ReportFailure(const char* prefix, MMRESULT result) {
  ShowMessage(MessageKind::Warning, std::string(prefix) + "\r\n" + MMErrorText(result));
}

// Only a capture header of this run, returned by the open capture device, is processed:
// anything else is a stale or foreign notification.
bool IsCurrentCaptureHeader(const WaveMessage& m) {
  return m.Device == WaveInHandle && m.Header >= InHeaders && m.Header < InHeaders + TheEngine.WaveBufferCount &&
         m.Header->dwUser == static_cast<uintptr_t>(m.Header - InHeaders);
}

// A capture buffer is full: convolve it into playback buffer k of every device,
// then queue capture buffer k again and write the playback buffers, device 0 first.
// The whole of it counts as the block's time.
void OnCaptureData(const WaveMessage& m) {
  if (Stopping || !Running || !IsCurrentCaptureHeader(m)) return;
  const auto started = std::chrono::steady_clock::now();
  const auto k = static_cast<int32_t>(m.Header->dwUser);
  TheEngine.ConvolveBlock(k);
  waveInAddBuffer(WaveInHandle, &InHeaders[k], HeaderSize);
  for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d) waveOutWrite(WaveOutHandles[d], &OutHeaders[d][k], HeaderSize);
  TheEngine.NoteBlockTime(started);
}

void OnCaptureClose() {
  for (int32_t k = 0; k < TheEngine.WaveBufferCount; ++k) waveInUnprepareHeader(WaveInHandle, &InHeaders[k], HeaderSize);
}

// Any playback close goes over the headers of every device in use; a device already
// closed answers with an error, which is ignored.
void OnPlaybackClose() {
  for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d)
    for (int32_t k = 0; k < TheEngine.WaveBufferCount; ++k)
      waveOutUnprepareHeader(WaveOutHandles[d], &OutHeaders[d][k], HeaderSize);
}

}  // namespace

void QueueBuffers() {
  const int32_t count = TheEngine.WaveBufferCount;
  for (int32_t k = 0; k < count; ++k) Describe(InHeaders[k], TheEngine.InBuffers[k], k);
  for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d)
    for (int32_t k = 0; k < count; ++k) Describe(OutHeaders[d][k], TheEngine.OutBuffers[d][k], k);

  for (int32_t k = 0; k < count; ++k)
    if (MMRESULT r = waveInPrepareHeader(WaveInHandle, &InHeaders[k], HeaderSize)) ReportFailure("Error in Prepin: ", r);
  for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d)
    for (int32_t k = 0; k < count; ++k)
      if (MMRESULT r = waveOutPrepareHeader(WaveOutHandles[d], &OutHeaders[d][k], HeaderSize))
        ReportFailure("Error in Prepout: ", r);
  for (int32_t k = 0; k < count; ++k)
    if (MMRESULT r = waveInAddBuffer(WaveInHandle, &InHeaders[k], HeaderSize)) ReportFailure("Error in Add: ", r);
  for (int32_t d = 0; d <= TheEngine.LastOutDevice; ++d)
    for (int32_t k = 0; k < count; ++k)
      if (MMRESULT r = waveOutWrite(WaveOutHandles[d], &OutHeaders[d][k], HeaderSize))
        ReportFailure("Error in Write: ", r);
}

void DispatchWaveMessage(const WaveMessage& message) {
  switch (message.Msg) {
    case MM_WIM_DATA:
      OnCaptureData(message);
      break;
    case MM_WIM_CLOSE:
      OnCaptureClose();
      break;
    case MM_WOM_CLOSE:
      OnPlaybackClose();
      break;
    case MM_WAVE_LOST:
      DeviceLost(message.Device);
      break;
    default:  // open notifications and played buffers need nothing
      break;
  }
}

}  // namespace tessival
