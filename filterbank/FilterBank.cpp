#include "filterbank/FilterBank.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "engine/Engine.h"
#include "engine/Report.h"
#include "filterbank/WavReader.h"
#include "settings/Settings.h"

namespace tessival {

std::string FilterBaseName;
int32_t SurroundChannels = 0;
int32_t BankSampleType = 0;
std::vector<std::string> BankFiles;
std::optional<ChannelHeadroom> BankHeadroom[MaxChannels];

const char* const SampleTypeNames[10] = {
    "",
    "32-bit Int PCM",
    "IEEE Float (24.0 type 1)",
    "IEEE Float (16.8 type 1)",
    "IEEE Float (0.24 type 3)",
    "24-bit Packed Int",
    "24-bit Packed Int (20-bit)",
    "16-bit Int PCM",
    "8-bit Int PCM",
    "IEEE Float 64",
};

namespace {

// What the header pass learns about one file.
struct FileHeader {
  WavFmt Fmt;
  int32_t Type = 0;
  int32_t Frames = 0;
};

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Splits the chosen path into the stem (without the number) and its ending.
// The ending is ".wav" in any case, else whatever extension the name has.
void SplitChosenPath(const std::string& path, std::string& stem, std::string& ending) {
  const size_t nameStart = path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1;
  const size_t dot = path.find_last_of('.');
  ending.clear();
  if (dot != std::string::npos && dot > nameStart) ending = path.substr(dot);
  stem = path.substr(0, path.size() - ending.size());
  while (stem.size() > nameStart && std::isdigit(static_cast<unsigned char>(stem.back()))) stem.pop_back();
}

// Where file `number` of the set is: the chosen ending as written first, then the usual cases.
std::string FindBankFile(const std::string& stem, const std::string& ending, int32_t number,
                         std::string& firstTried) {
  const std::string base = stem + std::to_string(number);
  firstTried = base + ending;
  for (const std::string& e : {ending, std::string(".wav"), std::string(".WAV")}) {
    if (IsRegularFile(base + e)) return base + e;
  }
  return {};
}

std::string FileNameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Reads and checks the header of one bank file; on a problem returns its text.
std::string ReadBankHeader(const std::string& path, FileHeader& h) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return std::strerror(errno);
  std::string problem;
  h.Type = ReadWavHeader(f, h.Fmt, h.Frames, &problem);
  std::fclose(f);
  if (h.Type == WavTypeNone) {
    if (!problem.empty()) return problem;
    return std::to_string(h.Fmt.BitsPerSample) + "-bit samples are not supported";
  }
  if (h.Fmt.Channels == 1) {
    return "a filter file must have 2 channels (the filters for the left and the right input), "
           "this one has 1. To make a pair of two mono filters: sox -M left.wav right.wav " +
           FileNameOf(path);
  }
  if (h.Fmt.Channels != 2) {
    return "a filter file must have 2 channels, this one has " + std::to_string(h.Fmt.Channels);
  }
  if (h.Fmt.BlockAlign != 2 * BytesPerSample(h.Type)) return "Corrupt WAV file";
  if (h.Fmt.SamplesPerSec == 0 || h.Fmt.SamplesPerSec > std::numeric_limits<int32_t>::max()) {
    return "a sampling frequency of " + std::to_string(h.Fmt.SamplesPerSec) + " Hz is not usable";
  }
  if (h.Frames > MaxFilterLength) {
    return "a filter of " + std::to_string(h.Frames) + " frames is longer than the " +
           std::to_string(MaxFilterLength) + " frames supported";
  }
  return {};
}

void ReleaseBank() {
  TheEngine.FreeBuffers();
  TheEngine.FiltersLoaded = false;
  for (auto& h : BankHeadroom) h.reset();
}

// Headroom of every channel, from the taps while they are still taps.
void MeasureBankHeadroom() {
  HeadroomMeter meter(TheEngine.FilterLength);
  for (int32_t ch = 0; ch < TheEngine.NumFilterChannels; ++ch)
    BankHeadroom[ch] = meter.Measure(TheEngine.FilterSpectra[ch][0], TheEngine.FilterSpectra[ch][1]);
}

// The reader's own texts keep their exact wording on the first line; the file follows.
bool IsReaderText(const std::string& problem) {
  return problem.rfind("Corrupt WAV file", 0) == 0 || problem.rfind("WAV Type ", 0) == 0;
}

bool FailLoad(const std::string& text) {
  ShowMessage(MessageKind::Plain, text);
  ReleaseBank();
  return false;
}

// Efficiency of the block: N * 100 / L, rounded half to even (L is a power of two,
// so the quotient is exact in a double and nearbyint sees the true halves).
std::string EfficiencyText(int32_t n, int32_t l) {
  const double pct = std::nearbyint(static_cast<double>(n) * 100.0 / static_cast<double>(l));
  return std::to_string(static_cast<int32_t>(pct)) + " %";
}

bool LoadBank(const std::string& chosenPath, const BankLoadView& view) {
  ReleaseBank();

  std::string stem, ending;
  SplitChosenPath(chosenPath, stem, ending);
  FilterBaseName = stem;
  if (view.SetFileName) view.SetFileName(FileNameOf(stem));

  TheEngine.NumFilterChannels = 0;
  TheEngine.FilterLength = 0;
  BankFiles.clear();

  // Header pass: every file of the set, at most MaxChannels of them.
  int32_t maxFrames = 0;
  int32_t bankType = 0;
  uint32_t rate = 0;
  for (int32_t number = 1; number <= MaxChannels; ++number) {
    std::string looked;
    const std::string path = FindBankFile(stem, ending, number, looked);
    if (path.empty()) {
      if (number == 1) return FailLoad(looked + ": file not found");
      break;
    }
    FileHeader h;
    const std::string problem = ReadBankHeader(path, h);
    if (!problem.empty()) return FailLoad(IsReaderText(problem) ? problem + "\n" + path : path + ": " + problem);
    if (number == 1) {
      rate = h.Fmt.SamplesPerSec;
      bankType = h.Type;
    } else {
      if (h.Fmt.SamplesPerSec != rate) {
        return FailLoad("Sampling Frequency must be the same for each filter\n" + path + ": " +
                        std::to_string(h.Fmt.SamplesPerSec) + " Hz, file 1 has " + std::to_string(rate) + " Hz");
      }
      if (h.Type != bankType) bankType = MixedSampleType;
    }
    maxFrames = std::max(maxFrames, h.Frames);
    BankFiles.push_back(path);
  }
  const auto count = static_cast<int32_t>(BankFiles.size());
  if (maxFrames == 0) {
    return FailLoad(BankFiles.front() + ": the filter bank holds no samples (every file has 0 frames)");
  }

  SampleRate = static_cast<int32_t>(rate);
  SampleRateIndex = IndexOfSampleRate(SampleRate);
  SurroundChannels = std::max(0, count - 2);
  BankSampleType = bankType;
  TheEngine.SetEngineSizes(count, maxFrames);

  if (view.SetBankLabels) {
    BankLabelTexts t;
    t.Fs = std::to_string(SampleRate);
    t.SurrChannels = std::to_string(SurroundChannels);
    t.MaxLen = std::to_string(TheEngine.FilterLength);
    t.FFTOrderText = std::to_string(TheEngine.FFTOrder);
    SetEffiTexts(t);
    t.SampleType = BankSampleType == MixedSampleType ? "Mixed" : SampleTypeNames[BankSampleType];
    view.SetBankLabels(t);
  }

  if (!TheEngine.AllocateBuffers()) {
    return FailLoad(stem + ": not enough memory for a bank with filters of " +
                    std::to_string(TheEngine.FilterLength) + " frames");
  }
  TheEngine.FiltersLoaded = true;

  SetStatusText("Loading Filters ...");
  if (!LoadFilterSamples()) {
    ReleaseBank();
    SetStatusText("Stopped");  // nothing is loading any more
    return false;
  }
  MeasureBankHeadroom();
  TheEngine.TransformFilters();
  SetStatusText("Filters Loaded");
  return true;
}

}  // namespace

void SetEffiTexts(BankLabelTexts& texts) {
  if (TheEngine.PartitionFrames == 0) {
    texts.EffiCaption = "Efficiency:";
    texts.Effi = EfficiencyText(TheEngine.BlockLength, TheEngine.FFTLength);
    return;
  }
  texts.EffiCaption = "Latency:";
  const double ms = 1000.0 * HeldNumBuffers() * TheEngine.PartitionFrames / std::max(SampleRate, 1);
  char text[32];
  std::snprintf(text, sizeof text, ms < 100.0 ? "%.1f ms" : "%.0f ms", ms);
  texts.Effi = text;
}

int32_t IndexOfSampleRate(int32_t rate) {
  for (int32_t i = 0; i < NumSampleRates; ++i) {
    if (SampleRates[i] == rate) return i;
  }
  return -1;
}

bool LoadFilterBank(const std::string& chosenPath, const BankLoadView& view) {
  try {
    return LoadBank(chosenPath, view);
  } catch (const std::bad_alloc&) {
    const bool wasLoading = TheEngine.FiltersLoaded;
    FailLoad(chosenPath + ": not enough memory to load this filter bank");
    if (wasLoading) SetStatusText("Stopped");
    return false;
  }
}

bool LoadFilterSamples() {
  for (int32_t c = 0; c < TheEngine.NumFilterChannels; ++c) {
    const std::string& path = BankFiles[static_cast<size_t>(c)];
    float* left = TheEngine.FilterSpectra[c][0];
    float* right = TheEngine.FilterSpectra[c][1];
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
      ShowMessage(MessageKind::Plain, path + ": " + std::strerror(errno));
      return false;
    }
    ByteSource src = ByteSource::FromFile(f);
    WavFmt fmt;
    int32_t frames = 0;
    std::string problem;
    const int32_t type = ReadWavHeader(src, fmt, frames, &problem);
    WavReadResult result = WavReadResult::ShortRead;
    if (type != WavTypeNone && fmt.Channels == 2 && frames <= TheEngine.FilterLength) {
      result = ReadWavSamples(src, type, frames, left, right);
    }
    const bool readError = std::ferror(f) != 0;
    std::fclose(f);
    if (result == WavReadResult::NotFinite) {
      ShowMessage(MessageKind::Plain,
                  path + ": the filter holds samples that are not numbers (NaN or infinite)");
      return false;
    }
    if (result != WavReadResult::Ok) {
      ShowMessage(MessageKind::Plain, path + (readError ? ": read error"
                                                        : ": the file changed while the bank was loading"));
      return false;
    }
    // Zero padding to the transform length: a shorter filter just has more zeros.
    const size_t pad = static_cast<size_t>(TheEngine.FilterBufferLength - frames);
    std::fill_n(left + frames, pad, 0.0f);
    std::fill_n(right + frames, pad, 0.0f);
  }
  return true;
}

void ResetFilterBank() {
  FilterBaseName.clear();
  SurroundChannels = 0;
  BankSampleType = 0;
  BankFiles.clear();
  for (auto& h : BankHeadroom) h.reset();
}

}  // namespace tessival
