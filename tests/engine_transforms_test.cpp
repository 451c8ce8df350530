// The block path's transforms on both sides of the length where the FFT layer turns
// from out-of-place to in-place plans: same spectra as the plain forward transform
// (to float rounding from the paired frame), and a round trip that gives back L times
// the frame, wherever the samples land.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "engine/Fft.h"
#include "tests/support/Reference.h"

namespace tessival {
namespace {

struct Buffer {
  explicit Buffer(int32_t order) : p(AllocateFftBuffer(SpectrumFloats(order))) {}
  ~Buffer() { FreeFftBuffer(p); }
  float* p;
};

TEST(Transforms, PairAndInverseIntoMatchThePlainTransformsInAndOutOfPlace) {
  FftPlanMeasure = false;
  for (int32_t order : {1, 2, 3, 12, 16, 17}) {
    const int32_t l = int32_t{1} << order;
    Buffer a(order), b(order), work(order), plainA(order), plainB(order);
    FftLayer layer;
    ASSERT_TRUE(layer.FftPrepare(order, a.p, work.p));
    const auto ra = testing::RandomSignal(l, 3 + order), rb = testing::RandomSignal(l, 4 + order);
    for (int32_t i = 0; i < l; ++i) {
      a.p[i] = plainA.p[i] = static_cast<float>(ra[i]);
      b.p[i] = plainB.p[i] = static_cast<float>(rb[i]);
    }
    layer.FftForward(plainA.p);
    layer.FftForward(plainB.p);

    const float* x0 = nullptr;
    const float* x1 = nullptr;
    layer.FftForwardPair(a.p, b.p, x0, x1);
    ASSERT_EQ(std::memcmp(x0, plainA.p, (l + 2) * sizeof(float)), 0) << "order " << order;
    ASSERT_EQ(std::memcmp(x1, plainB.p, (l + 2) * sizeof(float)), 0) << "order " << order;

    // The second input's spectrum back to the time domain, through the work buffer.
    std::memcpy(work.p, x1, (l + 2) * sizeof(float));
    const float* back = layer.FftInverseUnscaledInto(work.p, a.p);
    ASSERT_TRUE(back == work.p || back == a.p);
    double worst = 0;
    for (int32_t i = 0; i < l; ++i) worst = std::fmax(worst, std::fabs(back[i] / l - rb[i]));
    EXPECT_LT(worst, 1e-5) << "order " << order;
    // The spectra made by the pair are untouched by the inverse.
    EXPECT_EQ(std::memcmp(x1, plainB.p, (l + 2) * sizeof(float)), 0) << "order " << order;
  }
}

TEST(Transforms, PairedFrameGivesBothInputsSpectraWhereTheLayerPairsThem) {
  FftPlanMeasure = false;
  for (int32_t order : {1, 2, 3, 12, 15, 16, 17}) {
    const int32_t l = int32_t{1} << order;
    Buffer a(order), work(order), plainA(order), plainB(order);
    FftLayer layer;
    ASSERT_TRUE(layer.FftPrepare(order, a.p, work.p));
    float* frame = layer.FftPairFrame();
    // Paired from 4 points up to the largest out-of-place length.
    ASSERT_EQ(frame != nullptr, order >= 2 && order <= 16) << "order " << order;
    if (!frame) {
      continue;
    }
    const auto ra = testing::RandomSignal(l, 3 + order), rb = testing::RandomSignal(l, 4 + order);
    for (int32_t i = 0; i < l; ++i) {
      frame[2 * i] = plainA.p[i] = static_cast<float>(ra[i]);
      frame[2 * i + 1] = plainB.p[i] = static_cast<float>(rb[i]);
    }
    layer.FftForward(plainA.p);
    layer.FftForward(plainB.p);
    const float* x0 = nullptr;
    const float* x1 = nullptr;
    layer.FftForwardPairFrame(x0, x1);
    // Bins of the random frames reach about sqrt(l); float rounding stays far below.
    const double tolerance = 1e-5 * std::sqrt(static_cast<double>(l));
    for (int32_t i = 0; i < l + 2; ++i) {
      ASSERT_NEAR(x0[i], plainA.p[i], tolerance) << "order " << order << " float " << i;
      ASSERT_NEAR(x1[i], plainB.p[i], tolerance) << "order " << order << " float " << i;
    }
    // The first and last bins are real, exactly, as a real transform leaves them.
    for (const float* x : {x0, x1}) {
      EXPECT_EQ(x[1], 0.0f) << "order " << order;
      EXPECT_EQ(x[l + 1], 0.0f) << "order " << order;
    }
  }
}

}  // namespace
}  // namespace tessival
