// The AR repair routine and its steps: known answers, agreement with dense
// reference solutions, the search rules and the repair quality.
#include "declick/RepairBlock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "declick/DeclickSignals.h"

namespace veltane {
namespace {

using testing::AddClick;
using testing::ArProcess;
using testing::Click;
using testing::MusicLike;
using testing::RepairArrays;
using testing::Resonances;

constexpr int32_t kN = 600;
constexpr int32_t kP = 28;

// Gaussian elimination with partial pivoting on a dense copy.
std::vector<double> DenseSolve(std::vector<std::vector<double>> m, std::vector<double> b) {
  const size_t n = b.size();
  for (size_t col = 0; col < n; ++col) {
    size_t pivot = col;
    for (size_t row = col + 1; row < n; ++row) {
      if (std::fabs(m[row][col]) > std::fabs(m[pivot][col])) pivot = row;
    }
    std::swap(m[col], m[pivot]);
    std::swap(b[col], b[pivot]);
    for (size_t row = col + 1; row < n; ++row) {
      const double f = m[row][col] / m[col][col];
      for (size_t k = col; k < n; ++k) m[row][k] -= f * m[col][k];
      b[row] -= f * b[col];
    }
  }
  std::vector<double> y(n);
  for (size_t i = n; i-- > 0;) {
    double s = b[i];
    for (size_t k = i + 1; k < n; ++k) s -= m[i][k] * y[k];
    y[i] = s / m[i][i];
  }
  return y;
}

// --- The steps -------------------------------------------------------------

TEST(SolveToeplitz, AgreesWithADenseSolverForSizesOneTo101) {
  std::mt19937 rng(7);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (int32_t size = 1; size <= kMaxGapLength; ++size) {
    // The biased autocorrelation of a coloured random sequence is symmetric
    // positive definite; scaled so that t[0] = 1.
    std::vector<double> z(static_cast<size_t>(size) + 24);
    double previous = 0.0;
    for (double& v : z) previous = v = normal(rng) + 0.7 * previous;
    std::vector<double> t(static_cast<size_t>(size) + 1, 0.0);
    for (int32_t k = 0; k < size; ++k) {
      for (size_t i = 0; i + static_cast<size_t>(k) < z.size(); ++i) t[k] += z[i] * z[i + k];
    }
    const double t0 = t[0];
    for (double& v : t) v /= t0;
    std::vector<double> b(static_cast<size_t>(size));
    for (double& v : b) v = normal(rng);

    std::vector<std::vector<double>> dense(size, std::vector<double>(size));
    for (int32_t r = 0; r < size; ++r) {
      for (int32_t c = 0; c < size; ++c) dense[r][c] = t[std::abs(r - c)];
    }
    const std::vector<double> expected = DenseSolve(dense, b);

    // Canaries behind every output and work vector catch overruns.
    constexpr double kCanary = -12345.0;
    std::vector<double> y(size + 1, kCanary), g(size + 1, kCanary), h(size + 1, kCanary);
    SolveToeplitz(t.data(), b.data(), size, y.data(), g.data(), h.data());
    double scale = 0.0;
    for (double v : expected) scale = std::max(scale, std::fabs(v));
    for (int32_t i = 0; i < size; ++i) {
      ASSERT_NEAR(y[i], expected[i], 1e-9 * scale) << "size " << size << " element " << i;
    }
    EXPECT_EQ(y[size], kCanary) << size;
    EXPECT_EQ(g[size], kCanary) << size;
    EXPECT_EQ(h[size], kCanary) << size;
  }
}

TEST(LevinsonDurbin, RecoversTheCoefficientsOfAnArProcess) {
  const std::vector<double> truth = Resonances({{0.95, 0.3}, {0.8, 1.9}});  // order 4
  const std::vector<double> x = ArProcess(200000, truth, 1.0, 11);
  for (int32_t order : {4, 8}) {
    std::vector<double> r(order + 1), a(order + 1, 0.0);
    Autocorrelation(x.data(), static_cast<int32_t>(x.size()), order, r.data());
    LevinsonDurbin(r.data(), order, a.data());
    for (int32_t k = 1; k <= order; ++k) {
      const double expected = k < static_cast<int32_t>(truth.size()) ? truth[k] : 0.0;
      EXPECT_NEAR(a[k], expected, 0.02) << "order " << order << " k " << k;
    }
  }
}

// The fast loops compute many sums side by side; each must still be the
// left-to-right sum of its formula, bit for bit, at every length.
TEST(RepairSteps, MatchTheirFormulasBitForBit) {
  const std::vector<double> x = MusicLike(kN, 22050.0, 5);
  std::vector<double> a(kP + 1);
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> uniform(-0.5, 0.5);
  for (double& v : a) v = uniform(rng);

  for (int32_t order : {1, 3, 7, 15, 16, 28, 40}) {
    for (int32_t length : {order + 1, order + 5, 100, kN}) {
      std::vector<double> r(order + 1);
      Autocorrelation(x.data(), length, order, r.data());
      const int32_t m = length - order;
      for (int32_t k = 0; k <= order; ++k) {
        double s = 0.0;
        for (int32_t i = 0; i <= m - k - 1; ++i) s += x[i] * x[i + k];
        ASSERT_EQ(r[k], (1.0 / m) * s) << order << " " << length << " " << k;
      }
    }
  }
  for (int32_t count = 1; count <= 41; ++count) {
    std::vector<double> e(count + 1, 7.0);
    PredictionError(x.data(), a.data(), kP, count, e.data());
    std::vector<double> b(count + 1, 7.0);
    GapCorrelation(x.data(), a.data(), kP, count, b.data());
    for (int32_t n = 0; n < count; ++n) {
      double s = 0.0;
      for (int32_t k = 0; k <= kP; ++k) s += a[k] * x[n + kP - k];
      ASSERT_EQ(e[n], s) << count << " " << n;
      double g = 0.0;
      for (int32_t j = 0; j <= kP; ++j) g += a[j] * x[n + j];
      ASSERT_EQ(b[n], g) << count << " " << n;
    }
    EXPECT_EQ(e[count], 7.0);
    EXPECT_EQ(b[count], 7.0);
  }
}

// --- The width table -------------------------------------------------------

struct WidthCase {
  double ratio;
  int32_t cap;
  int32_t width;
  bool refit;
};

class NominalWidth : public ::testing::TestWithParam<WidthCase> {};

TEST_P(NominalWidth, FollowsTheBreakPointsAndTruncates) {
  const WidthCase c = GetParam();
  const ClickWidth w = NominalClickWidth(c.ratio, c.cap);
  EXPECT_EQ(w.width, c.width) << c.ratio;
  EXPECT_EQ(w.refit, c.refit) << c.ratio;
}

INSTANTIATE_TEST_SUITE_P(
    Table, NominalWidth,
    ::testing::Values(WidthCase{2.2, 100, 1, false}, WidthCase{2.49, 100, 1, false},
                      WidthCase{2.5, 100, 5, false}, WidthCase{5.99, 100, 5, false},
                      WidthCase{6.0, 100, 5, false}, WidthCase{9.3, 100, 21, false},
                      WidthCase{14.99, 100, 49, false}, WidthCase{15.0, 100, 50, true},
                      WidthCase{17.1, 100, 57, true}, WidthCase{29.99, 100, 99, true},
                      WidthCase{30.0, 100, 99, true}, WidthCase{1e9, 100, 99, true},
                      WidthCase{30.0, 80, 80, true}, WidthCase{17.1, 40, 40, true},
                      WidthCase{9.3, 0, 1, false}));

// --- RepairBlock -----------------------------------------------------------

class RepairBlockTest : public ::testing::Test {
 protected:
  // Runs RepairBlock with the block's constants on a copy of `input`.
  std::vector<double> Repair(const std::vector<double>& input, double threshold = 4.5,
                             int32_t maxClicks = 20, int32_t maxClickWidth = 100) {
    std::vector<double> x = input;
    RepairBlock(x.data(), kN, kP, maxClicks, threshold, maxClickWidth, arrays.Work(), peak);
    return x;
  }

  // Indices whose value moved by more than `tolerance`.
  static std::vector<int32_t> Changed(const std::vector<double>& before,
                                      const std::vector<double>& after, double tolerance = 1e-9) {
    std::vector<int32_t> moved;
    for (size_t i = 0; i < before.size(); ++i) {
      if (std::fabs(after[i] - before[i]) > tolerance) moved.push_back(static_cast<int32_t>(i));
    }
    return moved;
  }

  static std::vector<double> Noise(uint32_t seed, double sigma = 0.01) {
    return ArProcess(kN, {1.0}, sigma, seed);
  }

  RepairArrays arrays;
  float peak = 0.0f;
};

TEST_F(RepairBlockTest, SilenceAndConstantsComeBackUnchangedWithTheMeterUntouched) {
  // Values that f32 samples can hold, as the block always passes.
  for (double level : {0.0, 0.25, -0.7f + 0.0, 1e-3f + 0.0, -1.0}) {
    const std::vector<double> input(kN, level);
    peak = 3.0f;
    EXPECT_EQ(Repair(input), input) << level;
    EXPECT_EQ(peak, 3.0f) << level;
  }
}

TEST_F(RepairBlockTest, AnArgumentOutsideTheLimitsLeavesEverythingUntouched) {
  std::vector<double> input = Noise(1);
  input[300] += 1.0;
  std::vector<double> x = input;
  RepairBlock(x.data(), kN, 41, 20, 4.5, 100, arrays.Work(), peak);
  RepairBlock(x.data(), 2 * kP + 100, kP, 20, 4.5, 100, arrays.Work(), peak);
  RepairWork missing = arrays.Work();
  missing.rhs = nullptr;
  RepairBlock(x.data(), kN, kP, 20, 4.5, 100, missing, peak);
  EXPECT_EQ(x, input);
  EXPECT_EQ(peak, 0.0f);
}

TEST_F(RepairBlockTest, SearchWindowStartsAtSample78) {
  for (int32_t at : {70, 78, 521, 530}) {
    std::vector<double> input = Noise(2);
    input[at] += 0.5;
    const std::vector<double> output = Repair(input, 4.5, 1);
    const bool searched = at >= 78 && at <= 521;
    if (searched) {
      EXPECT_LT(std::fabs(output[at] - input[at] + 0.5), 0.1) << at;
    } else {
      EXPECT_NEAR(output[at], input[at], 1e-12) << at;
    }
  }
}

TEST_F(RepairBlockTest, GapsAreCentredOnTheLargestErrorAndCappedInWidth) {
  std::vector<double> input = Noise(3);
  input[300] += 10.0;  // ratio far above 30: nominal width 99
  std::vector<int32_t> moved = Changed(input, Repair(input, 4.5, 1));
  ASSERT_FALSE(moved.empty());
  EXPECT_EQ(moved.front(), 300 - 49);
  EXPECT_EQ(moved.back(), 300 + 49);
  EXPECT_GT(peak, 30.0f);

  moved = Changed(input, Repair(input, 4.5, 1, 80));
  ASSERT_FALSE(moved.empty());
  EXPECT_EQ(moved.front(), 300 - 40);
  EXPECT_EQ(moved.back(), 300 + 40);

  // At the ends of the window the widest gap still stays inside the block.
  for (int32_t at : {78, 521}) {
    std::vector<double> edge = Noise(4);
    edge[at] += 10.0;
    moved = Changed(edge, Repair(edge, 4.5, 1));
    ASSERT_FALSE(moved.empty());
    EXPECT_GE(moved.front(), kP) << at;
    EXPECT_LE(moved.back(), kN - kP - 1) << at;
    EXPECT_TRUE(std::find(moved.begin(), moved.end(), at) != moved.end()) << at;
  }
}

TEST_F(RepairBlockTest, TheGapHoldsTheLeastSquaresInterpolation) {
  const std::vector<double> clean = MusicLike(kN, 22050.0, 8);
  for (double size : {0.03, 0.3}) {  // a narrow gap without refit, a wide one with
    std::vector<double> input = clean;
    input[300] += size;
    const std::vector<double> output = Repair(input, 4.5, 1);
    const std::vector<int32_t> moved = Changed(input, output);
    ASSERT_FALSE(moved.empty());
    const int32_t start = moved.front();
    const int32_t length = moved.back() - start + 1;

    // The model of the first search: the mean-removed block's AR fit.
    double mean = 0.0;
    for (double v : input) mean += v;
    mean /= kN;
    std::vector<double> z(input.size());
    for (size_t i = 0; i < z.size(); ++i) z[i] = input[i] - mean;
    std::vector<double> r(kP + 1), a(kP + 1);
    Autocorrelation(z.data(), kN, kP, r.data());
    LevinsonDurbin(r.data(), kP, a.data());
    a[0] = 1.0;

    // Minimise the summed squared prediction error at samples start ..
    // start + length - 1 + p over the gap samples: (A'A) y = -A' e0.
    const int32_t rows = length + kP;
    std::vector<std::vector<double>> ata(length, std::vector<double>(length, 0.0));
    std::vector<double> rhs(length, 0.0);
    for (int32_t row = 0; row < rows; ++row) {
      std::vector<double> coefficient(length, 0.0);
      double fixed = 0.0;
      for (int32_t k = 0; k <= kP; ++k) {
        const int32_t sample = start + row - k;
        if (sample >= start && sample < start + length) {
          coefficient[sample - start] = a[k];
        } else {
          fixed += a[k] * z[sample];
        }
      }
      for (int32_t j = 0; j < length; ++j) {
        for (int32_t m = 0; m < length; ++m) ata[j][m] += coefficient[j] * coefficient[m];
        rhs[j] -= coefficient[j] * fixed;
      }
    }
    const std::vector<double> expected = DenseSolve(ata, rhs);
    for (int32_t j = 0; j < length; ++j) {
      EXPECT_NEAR(output[start + j], expected[j] + mean, 1e-9) << size << " sample " << start + j;
    }
  }
}

TEST_F(RepairBlockTest, TheMeterSeesRatiosBelowTheThreshold) {
  const std::vector<double> input = Noise(5);
  const std::vector<double> output = Repair(input, 1000.0);
  EXPECT_TRUE(Changed(input, output, 1e-15).empty());
  EXPECT_GT(peak, 1.5f);
  EXPECT_LT(peak, 10.0f);
  const float seen = peak;
  peak = 500.0f;  // a higher meter stays
  Repair(input, 1000.0);
  EXPECT_EQ(peak, 500.0f);
  peak = 0.0f;
  Repair(input, 1000.0);
  EXPECT_EQ(peak, seen);
}

TEST_F(RepairBlockTest, RepairsAtMostMaxClicksPerCall) {
  // 21 one-sample clicks of falling size at scattered positions; one-sample
  // gaps so that no repair covers a neighbour.
  std::vector<double> input = Noise(6);
  std::vector<int32_t> positions;
  for (int32_t i = 0; i < 21; ++i) positions.push_back(85 + i * 20 + (i * 7) % 11);
  for (int32_t i = 0; i < 21; ++i) input[positions[i]] += 0.6 - 0.01 * i;

  // Largest first: the twenty largest are repaired, the smallest is not.
  std::vector<int32_t> largest(positions.begin(), positions.begin() + 20);
  EXPECT_EQ(Changed(input, Repair(input, 4.5, 20, 1)), largest);
  EXPECT_EQ(Changed(input, Repair(input, 4.5, 21, 1)), positions);
}

TEST_F(RepairBlockTest, TheEarliestOfEqualMaximaIsRepairedFirst) {
  // Two equal impulses on silence give bit-identical prediction errors.
  std::vector<double> input(kN, 0.0);
  input[150] = 1.0;
  input[350] = 1.0;
  const std::vector<double> output = Repair(input, 4.5, 1);
  EXPECT_GT(std::fabs(output[150] - 1.0), 0.5);
  EXPECT_NEAR(output[350], 1.0, 1e-12);
}

// --- Repair quality --------------------------------------------------------

struct QualityCase {
  const char* name;
  std::vector<double> (*signal)(uint32_t seed);
  int maxClickWidth;  // samples
  double floorDb;     // least improvement inside the clicks
};

std::vector<double> ResonantAr(uint32_t seed) {
  static const std::vector<double> a = Resonances({{0.998, 0.15}, {0.988, 0.7}, {0.968, 2.2}});
  std::vector<double> x = ArProcess(kN, a, 0.002, seed);
  double peak = 0.0;
  for (double v : x) peak = std::max(peak, std::fabs(v));
  for (double& v : x) v *= 0.3 / peak;
  return x;
}

std::vector<double> Music(uint32_t seed) {
  std::vector<double> x = MusicLike(kN * 40, 22050.0, seed);
  const size_t from = (seed % 39) * kN;
  return {x.begin() + static_cast<std::ptrdiff_t>(from), x.begin() + static_cast<std::ptrdiff_t>(from + kN)};
}

class RepairQuality : public ::testing::TestWithParam<QualityCase> {};

TEST_P(RepairQuality, ErrorInsideClicksDropsByTheFloor) {
  const QualityCase c = GetParam();
  RepairArrays arrays;
  std::mt19937 rng(99);
  // Impulsive clicks, one to three samples wide, as loud as the music or
  // louder: strong clicks get gaps of 75 to 99 samples, over which an
  // order-28 interpolation is only as good as the signal is predictable.
  std::uniform_int_distribution<int> width(1, c.maxClickWidth);
  std::uniform_real_distribution<double> size(0.4, 1.0);
  double before = 0.0;
  double after = 0.0;
  for (uint32_t block = 0; block < 30; ++block) {
    const std::vector<double> clean = c.signal(block + 1);
    std::vector<double> clicked = clean;
    std::vector<Click> clicks;
    // Up to three clicks, far enough apart, inside the searched centres.
    for (size_t start : {100u, 260u, 420u}) {
      if (rng() % 4 == 0) continue;
      clicks.push_back({start + rng() % 60, static_cast<size_t>(width(rng)),
                        (rng() % 2 ? 1.0 : -1.0) * size(rng)});
      AddClick(clicked, clicks.back());
    }
    std::vector<double> repaired = clicked;
    float peak = 0.0f;
    RepairBlock(repaired.data(), kN, kP, 20, 4.5, 100, arrays.Work(), peak);
    for (const Click& click : clicks) {
      for (size_t i = click.start; i < click.start + click.width; ++i) {
        before += (clicked[i] - clean[i]) * (clicked[i] - clean[i]);
        after += (repaired[i] - clean[i]) * (repaired[i] - clean[i]);
      }
    }
  }
  const double improvementDb = 10.0 * std::log10(before / after);
  RecordProperty("improvement_db", std::to_string(improvementDb));
  std::printf("%s, clicks up to %d samples: %.1f dB\n", c.name, c.maxClickWidth, improvementDb);
  EXPECT_GE(improvementDb, c.floorDb) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Signals, RepairQuality,
                         ::testing::Values(QualityCase{"resonant AR", ResonantAr, 1, 20.0},
                                           QualityCase{"resonant AR", ResonantAr, 3, 20.0},
                                           QualityCase{"music-like", Music, 1, 15.0}),
                         [](const ::testing::TestParamInfo<QualityCase>& info) {
                           const std::string name =
                                 info.param.signal == Music ? "MusicLike" : "ResonantAr";
                           return name + "Width" + std::to_string(info.param.maxClickWidth);
                         });

}  // namespace
}  // namespace veltane
