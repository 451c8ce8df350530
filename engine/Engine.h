#pragma once
// Engine state: the sizes of the loaded filter bank, the float work buffers, the
// wave buffers exchanged with the devices, and the dither table.
//
// Contract: ConvolveBlock allocates nothing, locks nothing and makes no system call.
// Memory is taken and released only by AllocateBuffers, FreeBuffers,
// ReallocateWaveBuffers and FillDitherTable, never while the devices run.
#include <cstdint>

#include "settings/Limits.h"

namespace tessival {

constexpr int32_t DitherFrames = 102487;          // the dither sequence repeats after this many frames
constexpr int32_t DitherTableSize = 2 * DitherFrames;
constexpr int32_t MaxFilterLength = 1 << 24;      // longest filter the engine sizes (16 Mi frames)

// Sizes, set by the loading in this order before AllocateBuffers.
extern int32_t NumFilterChannels;  // C, 1..10
extern int32_t FilterLength;       // M, >= 1
extern int32_t LastOutDevice;      // D = (C - 1) div 2
extern int32_t FFTOrder;           // log2(2M) rounded to nearest
extern int32_t FFTLength;          // L = 2^FFTOrder
extern int32_t BlockLength;        // N = L - M + 1
extern int32_t WaveBufferSize;     // bytes per wave buffer: N*4 at 16 bits, N*8 otherwise

extern bool FiltersLoaded;         // a bank is loaded and every engine buffer exists

// Float buffers: L + 2 floats each, room for a spectrum in the FFT layer's packing (the
// history excepted). The block path computes one device's pair of channels at a time,
// so two output buffers serve every channel. Where the input spectra and the inverse
// transforms' samples end up is the FFT layer's choice (in place, or out of place
// into buffers of its own and InputFrames); see ConvolveBlock.
extern float* FilterSpectra[MaxChannels][2];  // spectrum of [ch][0] the left-input, [ch][1] the right-input filter
extern float* ChannelOutput[2];  // summed spectrum of the device's left (0) and right (1) channel, then,
                                 // in place, its samples; [1] only when C > 1
extern float* InputFrames[2];    // transform frame of each input (unless the FFT layer pairs them in
                                 // one frame of its own), then room for an out-of-place inverse
extern float* InputHistory[2];   // last M - 1 input samples of each channel (null when M is 1)

// Wave buffers: little-endian interleaved stereo, 16- or 32-bit samples.
extern uint8_t* InBuffers[MaxBuffers];
extern uint8_t* OutBuffers[MaxOutDevices][MaxBuffers];
extern int32_t WaveBufferCount;  // buffers per device actually made (NumBuffers held to 2..8)
extern int32_t WaveBufferBits;   // SampleBits the wave buffers were sized for

// Dither: triangular values in 16-bit steps, two per frame.
extern float* DitherTable;
extern int32_t DitherPos;    // index of the next value in DitherTable
extern int32_t DitherCount;  // frames dithered since DitherPos last returned to 0

// Linear gain per output channel, read at every block; 1.0 is unity.
extern float GainFactors[MaxChannels];

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

// Sets C, M, D, FFTOrder, FFTLength and BlockLength together.
void SetEngineSizes(int32_t C, int32_t M);

// NumBuffers held to 2..8: the count the wave buffers and the headers use.
int32_t HeldNumBuffers();

// Takes every buffer for the current sizes and makes the FFT plans. On out of
// memory releases whatever it took and returns false.
bool AllocateBuffers();

// Releases everything AllocateBuffers took (safe when nothing was taken).
void FreeBuffers();

// Re-makes the wave buffers for the current SampleBits and NumBuffers; the float
// buffers are untouched. Returns false on out of memory (the wave buffers are then gone).
bool ReallocateWaveBuffers();

// Zeroes every wave buffer in use and the input history.
void ClearBuffers();

// Zeroes the input history only: the next block is convolved as if the input had
// been silent before it.
void ClearInputHistory();

// Puts the dither sequence back to its first value, as every start does.
void RestartDither();

// Takes and fills the dither table (once per program; later calls only refill it).
void FillDitherTable();

// Turns every zero-padded impulse response in FilterSpectra into its spectrum.
void TransformFilters();

// Convolves capture buffer k into playback buffer k of every device in use.
void ConvolveBlock(int32_t BufferIndex);

// Frees the buffers, clears the sizes and flags, restores unity gains and the
// dither state (the table itself stays). For tests and program exit.
void ResetEngine();

}  // namespace tessival
