// The partitioned block path's kernels: the split layout's unpacking and packing
// against the complex spectra they stand for, and the AVX2 set against the plain one
// (bit for bit, the product-sum to rounding).
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "engine/Kernels.h"
#include "engine/PartitionKernels.h"
#include "tests/support/Reference.h"

namespace tessival {
namespace {

using Complex = std::complex<double>;

// Bin k of a split-layout spectrum.
Complex Bin(const std::vector<float>& x, int32_t k) {
  const int32_t at = (k / SplitBlock) * 2 * SplitBlock + k % SplitBlock;
  return {x[at], x[at + SplitBlock]};
}

// The DFT of n points, directly.
std::vector<Complex> Dft(const std::vector<Complex>& z, int sign) {
  const int32_t n = static_cast<int32_t>(z.size());
  std::vector<Complex> out(n);
  for (int32_t k = 0; k < n; ++k)
    for (int32_t t = 0; t < n; ++t) out[k] += z[t] * std::polar(1.0, sign * 2 * M_PI * k * t / n);
  return out;
}

std::vector<float> Floats(size_t n, uint32_t seed) {
  std::vector<float> v;
  for (double d : testing::RandomSignal(n, seed)) v.push_back(static_cast<float>(d));
  return v;
}

std::vector<const PartitionKernels*> Sets() {
  std::vector<const PartitionKernels*> sets{&ScalarPartitionKernels};
  if (CpuHasAvx2()) sets.push_back(&Avx2PartitionKernels);
  return sets;
}

// Two real signals through one complex transform: unpacked, each is its own real
// transform; packed again from two spectra, one inverse gives both signals back.
TEST(PartitionKernels, UnpackAndPackSplitTwoRealSignalsAndJoinThemAgain) {
  for (const PartitionKernels* k : Sets()) {
    for (int32_t n : {16, 32, 48, 64}) {
      const auto a = testing::RandomSignal(n, 1 + n), b = testing::RandomSignal(n, 2 + n);
      std::vector<Complex> frame(n);
      for (int32_t t = 0; t < n; ++t) frame[t] = {a[t], b[t]};
      const auto z = Dft(frame, -1);
      std::vector<float> zf(2 * n), x0(SplitBlocks(n) * 2 * SplitBlock, 9.0f), x1 = x0;
      for (int32_t i = 0; i < n; ++i) zf[2 * i] = float(z[i].real()), zf[2 * i + 1] = float(z[i].imag());
      k->UnpackSplit(zf.data(), x0.data(), x1.data(), n);
      std::vector<Complex> ra(a.begin(), a.end()), rb(b.begin(), b.end());
      const auto fa = Dft(ra, -1), fb = Dft(rb, -1);
      for (int32_t bin = 0; bin < SplitBlocks(n) * SplitBlock; ++bin) {
        const Complex want0 = bin <= n / 2 ? fa[bin] : 0.0, want1 = bin <= n / 2 ? fb[bin] : 0.0;
        ASSERT_NEAR(std::abs(Bin(x0, bin) - want0), 0, 1e-4) << "n " << n << " bin " << bin;
        ASSERT_NEAR(std::abs(Bin(x1, bin) - want1), 0, 1e-4) << "n " << n << " bin " << bin;
      }
      std::vector<float> packed(2 * n);
      k->PackSplit(x0.data(), x1.data(), packed.data(), n);
      std::vector<Complex> zp(n);
      for (int32_t i = 0; i < n; ++i) zp[i] = {packed[2 * i], packed[2 * i + 1]};
      const auto back = Dft(zp, +1);
      for (int32_t t = 0; t < n; ++t) {
        ASSERT_NEAR(back[t].real() / n, a[t], 1e-5) << "n " << n << " t " << t;
        ASSERT_NEAR(back[t].imag() / n, b[t], 1e-5) << "n " << n << " t " << t;
      }
      // Without a second spectrum the imaginary parts come back silent.
      k->PackSplit(x0.data(), nullptr, packed.data(), n);
      for (int32_t i = 0; i < n; ++i) zp[i] = {packed[2 * i], packed[2 * i + 1]};
      for (const Complex& v : Dft(zp, +1)) ASSERT_NEAR(v.imag() / n, 0, 1e-5) << "n " << n;
    }
  }
}

TEST(PartitionKernels, Avx2SetEqualsThePlainOne) {
  if (!CpuHasAvx2()) GTEST_SKIP() << "no AVX2 here";
  const PartitionKernels& p = ScalarPartitionKernels;
  const PartitionKernels& v = Avx2PartitionKernels;
  for (int32_t n : {16, 32, 48, 64, 80, 96, 112, 128, 1 << 14}) {
    const int32_t floats = SplitBlocks(n) * 2 * SplitBlock;
    const auto z = Floats(2 * n, 3 + n);
    std::vector<float> a0(floats), a1(floats), b0(floats), b1(floats);
    p.UnpackSplit(z.data(), a0.data(), a1.data(), n);
    v.UnpackSplit(z.data(), b0.data(), b1.data(), n);
    ASSERT_EQ(a0, b0) << "unpack n " << n;
    ASSERT_EQ(a1, b1) << "unpack n " << n;
    std::vector<float> zp(2 * n), zv(2 * n);
    for (const float* second : {static_cast<const float*>(a1.data()), static_cast<const float*>(nullptr)}) {
      p.PackSplit(a0.data(), second, zp.data(), n);
      v.PackSplit(a0.data(), second, zv.data(), n);
      ASSERT_EQ(zp, zv) << "pack n " << n;
    }
    std::vector<float> sum(z), sumV(z);
    p.Add(a0.data(), sum.data(), floats);
    v.Add(a0.data(), sumV.data(), floats);
    ASSERT_EQ(sum, sumV) << "add n " << n;
  }
  // The product-sum over several partitions, one and two channels, written and added.
  for (int32_t blocks : {1, 2, 5, 64}) {
    for (int32_t parts : {1, 3, 8}) {
      const int32_t stride = blocks * 2 * SplitBlock;
      const auto x = Floats(2 * stride * parts, 7 + blocks), h = Floats(4 * stride * parts, 8 + parts);
      const float* f[4];
      for (int i = 0; i < 4; ++i) f[i] = h.data() + i * stride * parts;
      for (const bool pair : {true, false}) {
        for (const bool accumulate : {false, true}) {
          auto accP = Floats(2 * stride, 9), accV = accP;
          p.MacSplit(x.data(), 2 * stride, stride, f[0], f[1], pair ? f[2] : nullptr, f[3], stride, parts,
                     accP.data(), accP.data() + stride, blocks, accumulate);
          v.MacSplit(x.data(), 2 * stride, stride, f[0], f[1], pair ? f[2] : nullptr, f[3], stride, parts,
                     accV.data(), accV.data() + stride, blocks, accumulate);
          for (int32_t i = 0; i < 2 * stride; ++i)
            ASSERT_NEAR(accP[i], accV[i], 1e-5 * parts) << "blocks " << blocks << " partitions " << parts << " i " << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tessival
