// The real FFT pair against a double-precision DFT, known answers and round trips.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "framework/ResourcePool.h"
#include "spectral/RealFft.h"

namespace veltane {
namespace {

constexpr double kUnitRoundoff = 5.9604644775390625e-8;  // 2^-24, single precision
constexpr size_t kGuard = 16;
constexpr float kCanary = -12345.678f;

// A transform buffer with canaries on both sides, to catch writes past the ends.
class Guarded {
 public:
  explicit Guarded(const std::vector<float>& values)
      : storage_(values.size() + 2 * kGuard, kCanary) {
    std::copy(values.begin(), values.end(), storage_.begin() + kGuard);
  }
  float* data() { return storage_.data() + kGuard; }
  float operator[](size_t i) const { return storage_[kGuard + i]; }
  bool CanariesIntact() const {
    for (size_t i = 0; i < kGuard; ++i) {
      if (storage_[i] != kCanary || storage_[storage_.size() - 1 - i] != kCanary) return false;
    }
    return true;
  }

 private:
  std::vector<float> storage_;
};

void Forward(Guarded& data, uint32_t m) {
  const uint32_t n = 1u << m;
  const SineTables tables = ResourcePool::Instance().GetSineTable(n);
  RealFftForward(data.data(), n, m, tables.cosine, tables.sine);
}

void Inverse(Guarded& data, uint32_t m) {
  const uint32_t n = 1u << m;
  const SineTables tables = ResourcePool::Instance().GetSineTable(n);
  RealFftInverse(data.data(), n, m, tables.cosine, tables.sine);
}

std::vector<float> RandomSignal(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (float& v : x) v = uniform(rng);
  return x;
}

// The reference: X[k] = sum x[n] e^(-2 pi i k n / N) in double precision,
// twiddles indexed by (k n) mod N so that they are exact for every k.
struct Spectrum {
  std::vector<double> re, im;
};
Spectrum NaiveDft(const std::vector<float>& x) {
  const size_t n = x.size();
  std::vector<double> c(n), s(n);
  for (size_t i = 0; i < n; ++i) {
    c[i] = std::cos(2.0 * M_PI * static_cast<double>(i) / static_cast<double>(n));
    s[i] = std::sin(2.0 * M_PI * static_cast<double>(i) / static_cast<double>(n));
  }
  Spectrum out{std::vector<double>(n / 2 + 1), std::vector<double>(n / 2 + 1)};
  for (size_t k = 0; k <= n / 2; ++k) {
    for (size_t j = 0; j < n; ++j) {
      const size_t t = (k * j) % n;
      out.re[k] += x[j] * c[t];
      out.im[k] -= x[j] * s[t];
    }
  }
  return out;
}

class RealFftSizes : public ::testing::TestWithParam<uint32_t> {};

// Error bound asserted: every stored value of the forward transform is within
// (m + 1) * u * ||x||_2 of the exact DFT (u = 2^-24, m = log2 N); the round
// trip is within (m + 1) * u * N * max|x| of N x. Measured errors stay below
// half of these bounds for every N here.
TEST_P(RealFftSizes, ForwardMatchesDoublePrecisionDft) {
  const uint32_t m = GetParam();
  const size_t n = size_t{1} << m;
  for (unsigned seed = 1; seed <= 3; ++seed) {
    const std::vector<float> x = RandomSignal(n, seed * 7919 + m);
    Guarded data(x);
    Forward(data, m);
    ASSERT_TRUE(data.CanariesIntact());

    double norm = 0.0;
    for (float v : x) norm += static_cast<double>(v) * v;
    const double bound = (m + 1) * kUnitRoundoff * std::sqrt(norm);
    const Spectrum reference = NaiveDft(x);
    for (size_t k = 0; k <= n / 2 && k < n; ++k) {
      ASSERT_NEAR(data[k], reference.re[k], bound) << "Re X[" << k << "], N = " << n;
    }
    for (size_t k = 1; k < n / 2; ++k) {
      ASSERT_NEAR(data[n - k], reference.im[k], bound) << "Im X[" << k << "], N = " << n;
    }
  }
}

TEST_P(RealFftSizes, InverseOfForwardIsNTimesTheInput) {
  const uint32_t m = GetParam();
  const size_t n = size_t{1} << m;
  const std::vector<float> x = RandomSignal(n, 17 + m);
  Guarded data(x);
  Forward(data, m);
  Inverse(data, m);
  ASSERT_TRUE(data.CanariesIntact());
  const double bound = (m + 1) * kUnitRoundoff * static_cast<double>(n);
  for (size_t i = 0; i < n; ++i) {
    ASSERT_NEAR(data[i], static_cast<double>(n) * x[i], bound) << "i = " << i << ", N = " << n;
  }
}

TEST_P(RealFftSizes, ImpulseAtZeroGivesOnesInTheRealPartsOnly) {
  const uint32_t m = GetParam();
  const size_t n = size_t{1} << m;
  std::vector<float> x(n, 0.0f);
  x[0] = 1.0f;
  Guarded data(x);
  Forward(data, m);
  for (size_t k = 0; k <= n / 2 && k < n; ++k) EXPECT_EQ(data[k], 1.0f) << k;
  for (size_t k = n / 2 + 1; k < n; ++k) EXPECT_EQ(data[k], 0.0f) << k;
}

// Two signals through one interleaved transform get exactly what their own
// transforms give them, forward and back.
TEST_P(RealFftSizes, PairsGiveEachSignalItsOwnTransform) {
  const uint32_t m = GetParam();
  const uint32_t n = 1u << m;
  const SineTables tables = ResourcePool::Instance().GetSineTable(n);
  std::vector<float> a = RandomSignal(n, 3 + m), b = RandomSignal(n, 4 + m);
  std::vector<float> pairs(2 * n);
  for (uint32_t i = 0; i < n; ++i) {
    pairs[2 * i] = a[i];
    pairs[2 * i + 1] = b[i];
  }
  RealFftForward(a.data(), n, m, tables.cosine, tables.sine);
  RealFftForward(b.data(), n, m, tables.cosine, tables.sine);
  RealFftForwardPair(pairs.data(), n, m, tables.cosine, tables.sine);
  for (uint32_t i = 0; i < n; ++i) {
    ASSERT_EQ(pairs[2 * i], a[i]) << i;
    ASSERT_EQ(pairs[2 * i + 1], b[i]) << i;
  }
  RealFftInverse(a.data(), n, m, tables.cosine, tables.sine);
  RealFftInverse(b.data(), n, m, tables.cosine, tables.sine);
  RealFftInversePair(pairs.data(), n, m, tables.cosine, tables.sine);
  for (uint32_t i = 0; i < n; ++i) {
    ASSERT_EQ(pairs[2 * i], a[i]) << i;
    ASSERT_EQ(pairs[2 * i + 1], b[i]) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(PowersOfTwo, RealFftSizes, ::testing::Range(0u, 13u),
                         [](const auto& info) { return "N" + std::to_string(1u << info.param); });

// A cosine or sine of exactly k0 cycles per frame lands in one bin: cosine in
// the real part (A N / 2), sine in the imaginary part (-A N / 2).
TEST(RealFft, CosineAndSineLandInTheirBin) {
  constexpr uint32_t m = 10;
  constexpr size_t n = 1024;
  constexpr double amplitude = 0.75;
  const double tolerance = 64 * kUnitRoundoff * n;
  for (size_t k0 : {1u, 5u, 100u, 511u}) {
    std::vector<float> c(n), s(n);
    for (size_t i = 0; i < n; ++i) {
      const double phase = 2.0 * M_PI * static_cast<double>((k0 * i) % n) / n;
      c[i] = static_cast<float>(amplitude * std::cos(phase));
      s[i] = static_cast<float>(amplitude * std::sin(phase));
    }
    Guarded cosine(c), sine(s);
    Forward(cosine, m);
    Forward(sine, m);
    EXPECT_NEAR(cosine[k0], amplitude * n / 2, tolerance) << k0;
    EXPECT_NEAR(cosine[n - k0], 0.0, tolerance) << k0;
    EXPECT_NEAR(sine[k0], 0.0, tolerance) << k0;
    EXPECT_NEAR(sine[n - k0], -amplitude * n / 2, tolerance) << k0;
    // Nothing leaks into the other bins.
    for (size_t k = 0; k < n; ++k) {
      if (k == k0 || k == n - k0) continue;
      ASSERT_NEAR(cosine[k], 0.0, tolerance) << "cosine " << k0 << " element " << k;
      ASSERT_NEAR(sine[k], 0.0, tolerance) << "sine " << k0 << " element " << k;
    }
  }
}

TEST(RealFft, TheSmallestSizesAreExact) {
  Guarded one({0.3f});
  Forward(one, 0);
  EXPECT_EQ(one[0], 0.3f);
  Inverse(one, 0);
  EXPECT_EQ(one[0], 0.3f);

  Guarded two({0.25f, 0.5f});
  Forward(two, 1);
  EXPECT_EQ(two[0], 0.75f);
  EXPECT_EQ(two[1], -0.25f);
  Inverse(two, 1);
  EXPECT_EQ(two[0], 0.5f);
  EXPECT_EQ(two[1], 1.0f);
  EXPECT_TRUE(two.CanariesIntact());
}

TEST(RealFft, ASizeThatIsNotTwoToTheOrderIsLeftAlone) {
  const SineTables tables = ResourcePool::Instance().GetSineTable(8);
  std::vector<float> x = RandomSignal(8, 5);
  const std::vector<float> before = x;
  RealFftForward(x.data(), 8, 2, tables.cosine, tables.sine);
  RealFftInverse(x.data(), 6, 3, tables.cosine, tables.sine);
  EXPECT_EQ(x, before);
}

}  // namespace
}  // namespace veltane
