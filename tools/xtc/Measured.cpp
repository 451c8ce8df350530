#include "tools/xtc/Measured.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "filterbank/WavReader.h"

namespace tessival::xtc {

namespace {

constexpr double MaxSeconds = 10;  // read of a measurement: its direct sound lies well within
constexpr uint32_t MinRate = 1000, MaxRate = 768000;

struct FileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

std::string ReadMeasurement(const std::string& path, double& rate, Taps& leftEar, Taps& rightEar) {
  std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "rb"));
  if (!file) return std::strerror(errno);
  ByteSource src = ByteSource::FromFile(file.get());
  WavFmt fmt;
  int32_t frames = 0;
  std::string problem;
  const int32_t type = ReadWavHeader(src, fmt, frames, &problem);
  if (type == WavTypeNone) {
    return problem.empty() ? std::to_string(fmt.BitsPerSample) + "-bit samples are not supported"
                           : problem;
  }
  if (fmt.Channels != 2) {
    return "a measurement needs 2 channels (left ear, right ear), this one has " +
           std::to_string(fmt.Channels);
  }
  if (fmt.BlockAlign != 2 * BytesPerSample(type)) return "Corrupt WAV file";
  if (fmt.SamplesPerSec < MinRate || fmt.SamplesPerSec > MaxRate) {
    return "a sampling frequency of " + std::to_string(fmt.SamplesPerSec) + " Hz is not usable";
  }
  if (frames <= 0) return "holds no samples";

  const int32_t take = std::min<int32_t>(frames, static_cast<int32_t>(MaxSeconds * fmt.SamplesPerSec));
  std::vector<float> ear[2] = {std::vector<float>(take), std::vector<float>(take)};
  switch (ReadWavSamples(src, type, take, ear[0].data(), ear[1].data())) {
    case WavReadResult::Ok:
      break;
    case WavReadResult::ShortRead:
      return "the file ends before its samples do";
    case WavReadResult::NotFinite:
      return "holds samples that are not numbers (NaN or infinity)";
  }
  double peak[2] = {0, 0};
  for (int e = 0; e < 2; ++e)
    for (float v : ear[e]) peak[e] = std::max(peak[e], double{std::fabs(v)});
  if (peak[0] == 0 && peak[1] == 0) return "silent";
  if (peak[0] == 0 || peak[1] == 0) {
    return std::string("the ") + (peak[0] == 0 ? "left" : "right") + "-ear channel is silent";
  }
  rate = fmt.SamplesPerSec;
  leftEar.assign(ear[0].begin(), ear[0].end());
  rightEar.assign(ear[1].begin(), ear[1].end());
  return {};
}

}  // namespace tessival::xtc
