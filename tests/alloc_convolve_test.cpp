// The block path takes no memory: this binary counts every allocation the process makes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "engine/Engine.h"
#include "engine/Gains.h"
#include "settings/Settings.h"
#include "tests/support/EngineBank.h"
#include "tests/support/Reference.h"

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);

namespace {
std::atomic<long> Allocations{0};
}

extern "C" void* malloc(size_t n) {
  Allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}
extern "C" void* calloc(size_t a, size_t b) {
  Allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(a, b);
}
extern "C" void* realloc(void* p, size_t n) {
  Allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, n);
}
void* operator new(size_t n) {
  Allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = __libc_malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace tessival {
namespace {

TEST(BlockPath, AllocatesNothingInAnyOutputMode) {
  testing::ResetEngineForTest();
  std::vector<testing::FilterPair> bank(9);
  for (size_t ch = 0; ch < bank.size(); ++ch) {
    bank[ch][0] = testing::RandomSignal(3000, ch);
    bank[ch][1] = testing::RandomSignal(2000, ch + 50);
  }
  testing::LoadBankInMemory(bank);
  ASSERT_TRUE(TheEngine.FiltersLoaded);
  struct Mode {
    int32_t bits;
    bool dither;
  };
  for (const Mode mode : {Mode{16, false}, Mode{16, true}, Mode{24, false}}) {
    SampleBits = mode.bits;
    DitherOn = mode.dither;
    const long beforeRealloc = Allocations.load();
    ASSERT_TRUE(TheEngine.ReallocateWaveBuffers());
    ASSERT_GT(Allocations.load(), beforeRealloc);  // the counter does see the engine's allocations
    TheEngine.ClearBuffers();
    const long before = Allocations.load();
    for (int b = 0; b < 200; ++b) {
      if (b == 100) GainFactors[3] = 0.5f;  // a gain change between blocks
      TheEngine.ConvolveBlock(b % TheEngine.WaveBufferCount);
    }
    EXPECT_EQ(Allocations.load(), before) << "bits " << mode.bits << " dither " << mode.dither;
  }
  TheEngine.ResetEngine();
}

}  // namespace
}  // namespace tessival
