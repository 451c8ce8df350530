#pragma once
// Device samples (signed little-endian 16 or 32-bit integers) to and from the floats of
// full scale 1.0 that JACK ports and float-only ALSA devices carry: v / 32768 and
// v / 2^31. Every 16-bit value, and every 32-bit value a float holds exactly (all the
// engine writes), goes there and back without loss. Back to integers, floats round half
// to even; 1.0 and above saturate, NaN gives 0. No allocation: the real-time paths use them.
#include <cstddef>
#include <cstdint>

namespace tessival {

// count samples: from src, one every srcStride bytes, to dst, one every dstStride floats.
void SamplesToFloats(const uint8_t* src, size_t srcStride, int bits, float* dst, size_t dstStride, size_t count);

// count samples: from src, one every srcStride floats, to dst, one every dstStride bytes.
void FloatsToSamples(const float* src, size_t srcStride, int bits, uint8_t* dst, size_t dstStride, size_t count);

}  // namespace tessival
