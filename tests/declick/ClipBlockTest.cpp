// Simple-mode clamping: outliers against the mean absolute deviation.
#include "declick/ClipBlock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "declick/DeclickSignals.h"

namespace veltane {
namespace {

constexpr int32_t kN = 600;

struct Stats {
  double mean;
  double limit;  // factor times the mean absolute deviation
};

Stats Measure(const std::vector<double>& x, double factor) {
  double sum = 0.0;
  for (double v : x) sum += v;
  const double mean = sum / static_cast<double>(x.size());
  double deviation = 0.0;
  for (double v : x) deviation += std::fabs(v - mean);
  return {mean, deviation / static_cast<double>(x.size()) * factor};
}

class ClipBlockTest : public ::testing::Test {
 protected:
  std::vector<double> Noise() const { return testing::ArProcess(kN, {1.0}, 0.01, 21); }
};

TEST_F(ClipBlockTest, ALateSpikeTakesTheValueGivenThirtySamplesBefore) {
  std::vector<double> x = Noise();
  for (double& v : x) v += 0.2;  // an offset, so the mean matters
  x[200] = 5.0;
  const std::vector<double> input = x;
  ClipBlock(x.data(), kN, 4.5);
  EXPECT_EQ(x[200], x[170]);
  EXPECT_NEAR(x[170], input[170], 1e-12);
}

TEST_F(ClipBlockTest, AnEarlySpikeIsClampedToTheLimit) {
  for (double spike : {5.0, -5.0}) {
    std::vector<double> x = Noise();
    x[10] = spike;
    const Stats stats = Measure(x, 4.5);
    ClipBlock(x.data(), kN, 4.5);
    EXPECT_NEAR(x[10], stats.mean + std::copysign(stats.limit, spike), 1e-12) << spike;
  }
}

TEST_F(ClipBlockTest, ARunOfOutliersRepeatsTheLastGoodStretch) {
  std::vector<double> x = Noise();
  for (int32_t i = 300; i < 340; ++i) x[i] = 3.0;
  ClipBlock(x.data(), kN, 4.5);
  // 300..329 copy 270..299; 330..339 copy what 300..309 have just become.
  for (int32_t i = 300; i < 340; ++i) EXPECT_EQ(x[i], x[i - 30]) << i;
  for (int32_t i = 330; i < 340; ++i) EXPECT_EQ(x[i], x[i - 60]) << i;
}

TEST_F(ClipBlockTest, SamplesWithinTheLimitKeepTheirValues) {
  std::vector<double> x = Noise();
  const std::vector<double> input = x;
  const Stats stats = Measure(x, 100.0);
  ClipBlock(x.data(), kN, 100.0);
  for (int32_t i = 0; i < kN; ++i) {
    ASSERT_LT(std::fabs(input[i] - stats.mean), stats.limit);
    EXPECT_NEAR(x[i], input[i], 1e-15) << i;
  }
}

}  // namespace
}  // namespace veltane
