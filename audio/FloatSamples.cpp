#include "audio/FloatSamples.h"

#include <cmath>
#include <cstring>

namespace tessival {

namespace {

int32_t Load(const uint8_t* p, int bits) {
  if (bits == 16) return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
  uint32_t v;
  std::memcpy(&v, p, 4);  // little-endian machines only, as the rest of the program
  return static_cast<int32_t>(v);
}

void Store(uint8_t* p, int32_t v, int bits) {
  if (bits == 16) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> 8);
    return;
  }
  std::memcpy(p, &v, 4);
}

// Scaled by a power of two, so the product is exact; the comparisons keep lrintf within
// range (it rounds half to even in the default rounding mode).
int32_t ToInt(float x, int bits) {
  if (bits == 16) {
    const float v = x * 32768.0f;
    if (!(v > -32768.0f)) return v != v ? 0 : -32768;
    if (v >= 32767.0f) return 32767;
    return static_cast<int32_t>(std::lrintf(v));
  }
  const float v = x * 2147483648.0f;
  if (!(v > -2147483648.0f)) return v != v ? 0 : INT32_MIN;
  if (v >= 2147483648.0f) return INT32_MAX;
  return static_cast<int32_t>(std::lrintf(v));
}

}  // namespace

void SamplesToFloats(const uint8_t* src, size_t srcStride, int bits, float* dst, size_t dstStride, size_t count) {
  const float scale = bits == 16 ? 1.0f / 32768.0f : 1.0f / 2147483648.0f;
  for (size_t i = 0; i < count; ++i, src += srcStride, dst += dstStride) {
    *dst = static_cast<float>(Load(src, bits)) * scale;
  }
}

void FloatsToSamples(const float* src, size_t srcStride, int bits, uint8_t* dst, size_t dstStride, size_t count) {
  for (size_t i = 0; i < count; ++i, src += srcStride, dst += dstStride) Store(dst, ToInt(*src, bits), bits);
}

}  // namespace tessival
