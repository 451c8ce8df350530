#pragma once
// Puts a filter bank held in memory into the engine, as the loading would, and
// streams interleaved input through ConvolveBlock as a live run would.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/Engine.h"

namespace tessival::testing {

// One output channel's filters: [0] for the left input, [1] for the right input.
using FilterPair = std::array<std::vector<double>, 2>;

// Resets the engine and settings to defaults (16 bits, 3 buffers, estimated plans,
// but pair k on output device k),
// fills the dither table once, and clears GainFactors to 1.
void ResetEngineForTest();

// Sizes the engine for the filters, takes the buffers, fills and transforms the
// spectra and sets FiltersLoaded. SampleBits and NumBuffers are taken as they are.
void LoadBankInMemory(const std::vector<FilterPair>& filters, Engine& e = TheEngine);

// Interleaved stereo samples for one device.
struct StereoInts {
  std::vector<int64_t> left, right;
};

// Feeds `left`/`right` (integer sample values) block by block through capture
// buffers 0, 1, ..., NumBuffers-1, 0, ... and collects every device's output.
// The input is padded with silence to whole blocks.
std::vector<StereoInts> StreamThroughEngine(const std::vector<int64_t>& left, const std::vector<int64_t>& right,
                                            Engine& e = TheEngine);

// The same, one block at a time, so that a test can interleave engines.
struct EngineStream {
  EngineStream(Engine& e, const std::vector<int64_t>& left, const std::vector<int64_t>& right);
  bool Step();  // false once every block has been convolved
  Engine& E;
  const std::vector<int64_t>& Left;
  const std::vector<int64_t>& Right;
  size_t Blocks = 0, Done = 0;
  std::vector<StereoInts> Out;  // per device
};

}  // namespace tessival::testing
