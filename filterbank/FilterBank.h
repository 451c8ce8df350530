#pragma once
// Filter bank loading: from one chosen file of a numbered set (stem1.wav ... stem10.wav)
// to a loaded bank with sizes, spectra and the texts the main window shows.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/Headroom.h"
#include "settings/Limits.h"

namespace tessival {

extern std::string FilterBaseName;  // the stem: chosen path without its digits and ".wav"
extern int32_t SurroundChannels;    // files less 2 (0 for a single file); shown only
extern int32_t BankSampleType;      // sample type shared by every file, or MixedSampleType
extern std::vector<std::string> BankFiles;  // path of file i + 1 of the bank, as found
// Headroom of each output channel of the loaded bank, measured on its taps at the load;
// empty beyond the bank, without a bank, or where it could not be measured.
extern std::optional<ChannelHeadroom> BankHeadroom[MaxChannels];

constexpr int32_t MixedSampleType = -1;  // files of different sample types: "Mixed"

// Display names of the sample types, index 1..9 (index 0 is empty).
extern const char* const SampleTypeNames[10];

// Index 0..7 of a frequency in SampleRates, or -1.
int32_t IndexOfSampleRate(int32_t rate);

// The label texts of the two group boxes, filled in the loading's order.
struct BankLabelTexts {
  std::string Fs;             // LabelFs
  std::string SurrChannels;   // LabelSurrChannels
  std::string MaxLen;         // LabelMaxLen
  std::string FFTOrderText;   // LabelFFTOrder (partitioned mode: the first partition's)
  std::string EffiCaption;    // "Efficiency:", or "Latency:" in partitioned mode
  std::string Effi;           // LabelEffi, e.g. "51 %", or the latency, e.g. "10.7 ms"
  std::string SampleType;     // LabelSampleType, a type name or "Mixed"
};

// What the loading tells the window beyond messages (Report.h) and status texts.
struct BankLoadView {
  std::function<void(const std::string&)> SetFileName;       // LabelFileName, as soon as the stem is known
  std::function<void(const BankLabelTexts&)> SetBankLabels;  // the other labels, once the sizes are known
};

// The load command after the file dialog: releases any loaded bank, then loads the
// set that `chosenPath` belongs to. On any failure shows one message naming the file
// and the problem and leaves no bank (FiltersLoaded false, buffers released).
// Returns FiltersLoaded. The caller must not call it while the devices run (the
// buffers are in use then): the "do nothing while Running" guard is the caller's,
// since this unit does not know the device state.
bool LoadFilterBank(const std::string& chosenPath, const BankLoadView& view = {});

// The efficiency line for the engine's sizes: in Auto mode "Efficiency:" and the share of
// each transform that yields new samples; in partitioned mode "Latency:" and NumBuffers
// blocks of P frames at SampleRate, to a tenth of a millisecond below 100 ms.
void SetEffiTexts(BankLabelTexts& texts);

// Reads every file of the loaded bank into FilterSpectra, zero-padded to FilterBufferLength.
// Returns false (after a message) if a file can no longer be read.
bool LoadFilterSamples();

// Clears this unit's globals (stem, file list, sample type); the engine is not touched.
void ResetFilterBank();

}  // namespace tessival
