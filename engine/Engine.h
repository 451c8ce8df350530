#pragma once
// The convolution engine: the sizes of the loaded filter bank, the float work buffers,
// the wave buffers exchanged with the devices, and the block convolution. An Engine is
// an object so that a program, the renderer or a test can hold more than one; the
// program's own is TheEngine. The dither table and the gain factors are the program's,
// shared by every engine.
//
// Two modes, chosen by the setting BlockFrames when the sizes are set: "Auto" (0), one
// block of N = L - M + 1 frames through transforms of L points, on the calling thread
// alone; and partitioned (P = 64 .. 8192), blocks of P frames, the filters cut into
// partitions, the longer ones computed by worker threads (engine/Partition.h).
//
// Contract: ConvolveBlock allocates nothing, locks nothing and makes no system call.
// Memory (and in partitioned mode the worker threads) is taken and released only by
// AllocateBuffers (the configuration: every buffer, plan and thread), FreeBuffers,
// ReallocateWaveBuffers and FillDitherTable, never while the devices run. ClearBuffers
// puts the carried state back to silence.
#include <chrono>
#include <cstdint>

#include "engine/Fft.h"
#include "engine/Kernels.h"
#include "engine/Partition.h"
#include "settings/Limits.h"

namespace tessival {

constexpr int32_t DitherFrames = 102487;          // the dither sequence repeats after this many frames
constexpr int32_t DitherTableSize = 2 * DitherFrames;
constexpr int32_t MaxFilterLength = 1 << 24;      // longest filter the engine sizes (16 Mi frames)

// Dither: triangular values in 16-bit steps, two per frame, the same for every engine.
extern float* DitherTable;

// Linear gain per output channel, read at every block; 1.0 is unity.
extern float GainFactors[MaxChannels];

// Figures of a run, counted by the block path (on the thread that calls ConvolveBlock)
// and read between blocks; ClearBuffers sets them back to 0 at every start. Levels are
// magnitudes on the full-scale-1.0 scale of the sample format (32768 or 2^31 is 1.0);
// an output level is taken after the channel's gain and before the conversion to
// integers, so a clipping channel reads above 1.0.
struct RunFigures {
  int64_t Blocks = 0;                   // blocks convolved
  int64_t LatePartitions = 0;           // partitioned mode: results of the worker threads that were
                                        // not there when their block was played (and were left out)
  float OutputPeak[MaxChannels] = {};   // largest magnitude of each output channel
  int64_t Saturated[MaxChannels] = {};  // its samples held at an end of the integer range
  float InputPeak[2] = {};              // largest magnitude of the left and the right input
  double LoadSum = 0;                   // sum over the timed blocks of each one's time over its duration
  float WorstLoad = 0;                  // the largest of those ratios (NoteBlockTime)
};

struct EngineSizes {
  int32_t FFTOrder;
  int32_t FFTLength;
  int32_t BlockLength;
};

// The size rule: the power of two nearest to 2M on a log scale, exactly in integers.
// Valid for 1 <= M <= MaxFilterLength.
EngineSizes SizesForFilterLength(int32_t M);

// D for C filter channels.
int32_t LastOutDeviceFor(int32_t C);

// NumBuffers held to 2..8: the count the wave buffers and the headers use.
int32_t HeldNumBuffers();

// Takes and fills the dither table (once per program; later calls only refill it).
void FillDitherTable();

class Engine {
 public:
  Engine() = default;
  ~Engine() { FreeBuffers(); }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Sizes, set by the loading in this order before AllocateBuffers.
  int32_t NumFilterChannels = 0;  // C, 1..10
  int32_t FilterLength = 0;       // M, >= 1
  int32_t LastOutDevice = 0;      // D = (C - 1) div 2
  int32_t PartitionFrames = 0;    // P in partitioned mode, 0 in Auto mode
  int32_t FFTOrder = 0;           // log2(2M) rounded to nearest; partitioned: log2(2P), the first partition's
  int32_t FFTLength = 0;          // L = 2^FFTOrder
  int32_t BlockLength = 0;        // N = L - M + 1; partitioned: P
  int32_t WaveBufferSize = 0;     // bytes per wave buffer: N*4 at 16 bits, N*8 otherwise
  int32_t FilterBufferLength = 0; // floats of each FilterSpectra array before TransformFilters: L, or
                                  // in partitioned mode M (the taps, which it cuts into partitions)

  bool FiltersLoaded = false;     // a bank is loaded and every engine buffer exists

  // Float buffers: L + 2 floats each, room for a spectrum in the FFT layer's packing (the
  // history excepted). The block path computes one device's pair of channels at a time,
  // so two output buffers serve every channel. Where the input spectra and the inverse
  // transforms' samples end up is the FFT layer's choice (in place, or out of place
  // into buffers of its own and InputFrames); see ConvolveBlock.
  // In partitioned mode only FilterSpectra (the taps, until TransformFilters) and
  // ChannelOutput (P samples) are taken; the rest lives in Partitions.
  float* FilterSpectra[MaxChannels][2] = {};  // spectrum of [ch][0] the left-input, [ch][1] the right-input filter
  float* ChannelOutput[2] = {};  // summed spectrum of the device's left (0) and right (1) channel, then,
                                 // in place, its samples; [1] only when C > 1
  float* InputFrames[2] = {};    // transform frame of each input (unless the FFT layer pairs them in
                                 // one frame of its own), then room for an out-of-place inverse
  float* InputHistory[2] = {};   // last M - 1 input samples of each channel (null when M is 1)

  // Wave buffers: little-endian interleaved stereo, 16- or 32-bit samples.
  uint8_t* InBuffers[MaxBuffers] = {};
  uint8_t* OutBuffers[MaxOutDevices][MaxBuffers] = {};
  int32_t WaveBufferCount = 0;  // buffers per device actually made (NumBuffers held to 2..8)
  int32_t WaveBufferBits = 0;   // SampleBits the wave buffers were sized for

  int32_t DitherPos = 0;    // index of the next value in DitherTable
  int32_t DitherCount = 0;  // frames dithered since DitherPos last returned to 0

  RunFigures Figures;  // of the current run
  RunFigures Recent;   // the same since the meters last took them (TakeRecentFigures)

  FftLayer Fft;  // the plans for L points (Auto mode)

  // Partitioned mode: the levels of partitions and their worker threads.
  PartitionedConvolver Partitions;
  // Partitioned mode: who computes the levels after the head (Partition.h): worker threads
  // that the block never waits for (a live run, the default), worker threads it waits for
  // (tests), or the block itself (the renderer). Set before AllocateBuffers.
  WorkerMode Workers = WorkerMode::Live;

  // Sets C, M, D, P (BlockFrames, held to its choices), FFTOrder, FFTLength and
  // BlockLength together.
  void SetEngineSizes(int32_t C, int32_t M);

  // Takes every buffer for the current sizes and makes the FFT plans. On out of
  // memory releases whatever it took and returns false.
  bool AllocateBuffers();

  // Releases everything AllocateBuffers took (safe when nothing was taken).
  void FreeBuffers();

  // Re-makes the wave buffers for the current SampleBits and NumBuffers; the float
  // buffers are untouched. Returns false on out of memory (the wave buffers are then gone).
  bool ReallocateWaveBuffers();

  // Zeroes every wave buffer in use and the input history, and the run's figures. In
  // partitioned mode it waits for busy workers and paces them by SampleRate from now on.
  void ClearBuffers();

  // The run's figures back to 0, and the recent ones (every start does it).
  void ClearFigures();

  // The figures counted since the last call (or the start), and a fresh count from here.
  RunFigures TakeRecentFigures();

  // Zeroes the input history only: the next block is convolved as if the input had
  // been silent before it.
  void ClearInputHistory();

  // Puts the dither sequence back to its first value, as every start does.
  void RestartDither();

  // Turns every zero-padded impulse response in FilterSpectra into its spectrum; in
  // partitioned mode into the partitions' spectra (and releases FilterSpectra).
  void TransformFilters();

  // Convolves capture buffer k into playback buffer k of every device in use.
  void ConvolveBlock(int32_t BufferIndex);

  // DSP load: the time from `started` (the block's notification) to now, against the
  // time the block plays. The caller reads the monotonic clock, which the vDSO serves
  // without entering the kernel, so the convolution itself reads no clock.
  void NoteBlockTime(std::chrono::steady_clock::time_point started);

  // Frees the buffers, clears the sizes and flags, restores unity gains and the
  // dither state (the table itself stays). For tests and program exit.
  void ResetEngine();

 private:
  bool AllocateWaveBuffers();
  void FreeWaveBuffers();
  bool AllocateFloatBuffers();
  void ConvolvePartitioned(int32_t k);
  // The steps every block path shares for its figures: the capture's peaks, which the
  // capture's conversion to floats finds, and each device's output, converted with its
  // levels by WriteDevice.
  void NoteInputPeaks(const uint32_t peak[2]);
  // Rounds the valid samples of device d's two channels (right null: none), each scaled
  // by its gain times `scale`, into playback buffer k.
  void WriteDevice(int32_t d, int32_t k, const float* left, const float* right, float scale);
  void NoteLevels(int32_t d, const ConversionLevels& levels);

  float* Samples[2] = {};  // where the last inverse of each side of the pair left its samples
  int64_t LateNoted = 0;   // Partitions.LatePartitions() when the figures last took it
};

// The program's engine: the loading fills it, the devices' notifications run it.
extern Engine TheEngine;

}  // namespace tessival
