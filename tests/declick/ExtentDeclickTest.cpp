// The modern click remover: its routines against dense references, and the block through real ports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "declick/ClickStatistic.h"
#include "declick/ExtentDeclick.h"
#include "declick/GapInterpolator.h"
#include "declick/GapList.h"
#include "declick/RepairBlock.h"
#include "support/AllocationCounter.h"
#include "support/KernelLevels.h"
#include "support/Signals.h"
#include "support/TestBlocks.h"

namespace veltane {
namespace {

using V = std::vector<double>;
using F = std::vector<float>;
constexpr float kRate = 44100.0f;
constexpr double kPi = testing::kPi;

// x[n] = w[n] - sum_{k>=1} a[k] x[n-k] with white Gaussian w, after a warm-up.
V ArProcess(size_t count, const V& a, double sigma, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  V x(count + 1000, 0.0);
  for (size_t n = 0; n < x.size(); ++n) {
    x[n] = noise(rng);
    for (size_t k = 1; k < a.size() && k <= n; ++k) x[n] -= a[k] * x[n - k];
  }
  return {x.end() - static_cast<std::ptrdiff_t>(count), x.end()};
}

// Solves m y = b by Gauss-Jordan without pivoting (the systems here are positive definite).
V SolveDense(std::vector<V> m, V b) {
  const size_t n = b.size();
  for (size_t c = 0; c < n; ++c) {
    for (size_t r = 0; r < n; ++r) {
      if (r == c) continue;
      const double f = m[r][c] / m[c][c];
      for (size_t k = c; k < n; ++k) m[r][k] -= f * m[c][k];
      b[r] -= f * b[c];
    }
  }
  for (size_t r = 0; r < n; ++r) b[r] /= m[r][r];
  return b;
}

// AR coefficients from autocorrelations r[0..p] (r[0] already loaded) by the dense normal equations.
V DenseModel(const V& r, size_t p) {
  std::vector<V> m(p, V(p));
  V b(p);
  for (size_t i = 0; i < p; ++i) {
    for (size_t j = 0; j < p; ++j) m[i][j] = r[i > j ? i - j : j - i];
    b[i] = -r[i + 1];
  }
  V a = SolveDense(m, b);
  a.insert(a.begin(), 1.0);
  return a;
}

V HannAutocorrelation(const V& x, double mean, size_t p) {
  const size_t n = x.size();
  V y(n), r(p + 1, 0.0);
  for (size_t i = 0; i < n; ++i) y[i] = (x[i] - mean) * (0.5 - 0.5 * std::cos(2 * kPi * (i + 0.5) / n));
  for (size_t k = 0; k <= p; ++k)
    for (size_t i = 0; i + k < n; ++i) r[k] += y[i] * y[i + k];
  return r;
}

const V kResonant = {1.0, -2.3455770706281402, 1.9214128010326288, -1.0519528890984233, 1.7051162118456946,
                     -2.107959481595953, 0.9110153327155979};  // pole pairs at radii 0.998, 0.988, 0.968

TEST(ExtentRoutines, ModelFitsMatchTheDenseNormalEquations) {
  // The short model: single-precision autocorrelation, so only close to the dense answer.
  const V x = ArProcess(1024, {1.0, -1.2, 0.8, -0.3}, 0.1, 1);
  F xf(x.begin(), x.end()), window(1024), scratch(1024 + kShortLagPad);
  for (int i = 0; i < 1024; ++i) window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2 * kPi * (i + 0.5) / 1024));
  double mean = 0.0;
  for (double v : x) mean += v / 1024;
  for (float& v : xf) v = static_cast<float>(v - mean);
  V r = HannAutocorrelation(V(xf.begin(), xf.end()), 0.0, 24), a(25);
  r[0] *= 1.0 + 1e-5;
  ASSERT_TRUE(FitShortModel(xf.data(), 1024, window.data(), 24, 1e-5, scratch.data(), a.data()));
  const V dense = DenseModel(r, 24);
  for (int k = 0; k <= 24; ++k) EXPECT_NEAR(a[k], dense[k], 2e-3) << k;
  EXPECT_FALSE(FitShortModel(F(1024, 0.0f).data(), 1024, window.data(), 24, 1e-5, scratch.data(), a.data()));

  // The final model: both sides of a gap, each under its own Hann window, their sums added, in double.
  const V music = ArProcess(2 * 700 + 9, kResonant, 0.01, 2);
  const F musicF(music.begin(), music.end());
  for (const int order : {5, 40, 100}) {
    GapInterpolator fill(100, 160, 700);
    ASSERT_TRUE(fill.FitAround(musicF.data() + 700, 9, 700, order, 1e-9));
    double sum = 0.0;
    for (size_t i = 0; i < musicF.size(); ++i) sum += (i < 700 || i >= 709) ? musicF[i] : 0.0;
    const V before(musicF.begin(), musicF.begin() + 700), after(musicF.begin() + 709, musicF.end());
    V rs = HannAutocorrelation(before, sum / 1400, order);
    const V right = HannAutocorrelation(after, sum / 1400, order);
    for (int k = 0; k <= order; ++k) rs[k] += right[k];
    rs[0] *= 1.0 + 1e-9;
    const V dense = DenseModel(rs, order);
    for (int k = 0; k <= order; ++k) {
      ASSERT_NEAR(fill.Coefficients()[k], dense[k], 1e-6 * (1 + std::fabs(dense[k]))) << k;
    }
  }
}

// z[n] compares x[n] with its least-squares interpolation by every other sample: found here by minimising the summed
// squared error over x[n] directly (a parabola through three trial values).
TEST(ExtentRoutines, InterpolationErrorIsTheDistanceToTheLeastSquaresInterpolation) {
  constexpr int p = 6, count = 40;
  const V a = {1.0, -0.9, 0.4, 0.3, -0.2, 0.15, -0.05};
  const V x = ArProcess(count + 2 * p, {1.0, -0.5}, 1.0, 3);
  const F xf(x.begin(), x.end()), af(a.begin(), a.end());
  F e(count + p), g(count);
  ShortPredictionErrors(xf.data() + p, af.data(), p, count + p, e.data());
  InterpolationErrors(e.data(), af.data(), p, count, g.data());
  double sumA2 = 0.0;
  for (double v : a) sumA2 += v * v;
  for (int n = 0; n < count; ++n) {
    const auto energy = [&](double trial) {  // the errors x[n + p] enters
      V y(xf.begin(), xf.end());
      y[n + p] = trial;
      double total = 0.0;
      for (int m = n + p; m <= n + 2 * p; ++m) {
        double err = 0.0;
        for (int k = 0; k <= p; ++k) err += a[k] * y[m - k];
        total += err * err;
      }
      return total;
    };
    const double best = (energy(-1.0) - energy(1.0)) / (2.0 * (energy(1.0) + energy(-1.0) - 2.0 * energy(0.0)));
    EXPECT_NEAR(g[n], std::fabs(xf[n + p] - best) * sumA2, 1e-4 * (1 + g[n])) << n;
  }
}

// The gap's samples minimise the summed squared error of every error they enter: the dense least-squares problem.
TEST(ExtentRoutines, GapFillSolvesTheDenseLeastSquaresProblemAndKnowsItsEdgeVariance) {
  const V a = {1.0, -1.5, 0.9, -0.2, 0.05};
  const int p = 4;
  for (const int gap : {1, 3, 17, 160}) {
    V x = ArProcess(gap + 2 * p, a, 1.0, gap);
    F xf(x.begin(), x.end());
    GapInterpolator fill(p, 160, 0);
    fill.SetModel(a.data(), p);
    ASSERT_TRUE(fill.Fill(xf.data() + p, gap, 0.25));
    // Rows: the errors at samples p .. 2p+gap-1; columns: the gap's samples.
    std::vector<V> ata(gap, V(gap, 0.0));
    V atb(gap, 0.0);
    for (int n = p; n < 2 * p + gap; ++n) {
      double known = 0.0;
      V row(gap, 0.0);
      for (int k = 0; k <= p; ++k) {
        const int at = n - k;
        if (at >= p && at < p + gap) row[at - p] += a[k]; else known += a[k] * (x[at] - 0.25);
      }
      for (int i = 0; i < gap; ++i) {
        atb[i] -= row[i] * known;
        for (int j = 0; j < gap; ++j) ata[i][j] += row[i] * row[j];
      }
    }
    const V y = SolveDense(ata, atb);
    for (int i = 0; i < gap; ++i) ASSERT_NEAR(xf[p + i], y[i] + 0.25, 1e-4 * (1 + std::fabs(y[i]))) << gap << " " << i;
    // The first sample's variance, in units of sigma^2 / sum a^2: [(A'A / sum a^2)^-1]_00.
    V unit(gap, 0.0);
    unit[0] = 1.0;
    double sumA2 = 0.0;
    for (double v : a) sumA2 += v * v;
    EXPECT_NEAR(fill.EdgeVariance(), SolveDense(ata, unit)[0] * sumA2, 1e-9 * fill.EdgeVariance()) << gap;
  }
  GapInterpolator fill(4, 8, 0);
  F untouched(20, 1.0f);
  EXPECT_FALSE(fill.Fill(untouched.data() + 4, 3, 0.0));  // no model yet
  fill.SetModel(a.data(), 4);
  EXPECT_FALSE(fill.Fill(untouched.data() + 4, 9, 0.0));  // longer than it was built for
  EXPECT_EQ(untouched, F(20, 1.0f));
}

// The final model is the same bits at every kernel level. A gap that grows and shrinks refills with one model many
// times: each fill, and its edge variance, is the same bits as a fresh interpolator's, whatever lengths came before;
// a new model forgets the old one's.
TEST(ExtentRoutines, FinalModelsAndRepeatedFillsAreTheBitsOfAFreshOne) {
  const V music = ArProcess(2 * 700 + 160, kResonant, 0.01, 6);
  const F musicF(music.begin(), music.end());
  GapInterpolator models(24, 160, 700);
  ASSERT_TRUE(models.FitAround(musicF.data() + 700, 160, 700, 24, 1e-5));
  const V sharp(models.Coefficients(), models.Coefficients() + 25);
  ASSERT_TRUE(models.FitAround(musicF.data() + 700, 160, 700, 7, 1e-3));
  const V loose(models.Coefficients(), models.Coefficients() + 8);
  // The final model's sums, lag passes of every width, are the same bits at every kernel level.
  for (const int order : {1, 3, 8, 16, 31, 32, 33, 64, 100}) {
    GapInterpolator fit(100, 160, 700);
    UseKernelLevel(KernelLevel::Baseline);
    ASSERT_TRUE(fit.FitAround(musicF.data() + 700, 160, 700, order, 1e-9));
    const V reference(fit.Coefficients(), fit.Coefficients() + order + 1);
    testing::ForEachKernelLevel([&](KernelLevel) {
      ASSERT_TRUE(fit.FitAround(musicF.data() + 700, 160, 700, order, 1e-9));
      ASSERT_EQ(V(fit.Coefficients(), fit.Coefficients() + order + 1), reference) << order;
    });
  }
  GapInterpolator kept(24, 160, 0);
  for (const V* model : {&sharp, &loose, &sharp}) {
    const int p = static_cast<int>(model->size()) - 1;
    kept.SetModel(model->data(), p);
    for (const int length : {17, 3, 40, 1, 160, 12, 41, 2}) {
      F a = musicF, b = musicF;
      ASSERT_TRUE(kept.Fill(a.data() + 700, length, 0.125));
      GapInterpolator fresh(24, 160, 0);
      fresh.SetModel(model->data(), p);
      ASSERT_TRUE(fresh.Fill(b.data() + 700, length, 0.125));
      ASSERT_EQ(a, b) << p << " " << length;
      ASSERT_EQ(kept.EdgeVariance(), fresh.EdgeVariance()) << p << " " << length;
    }
  }
}

// A click over a rough signal, taken apart instead of thrown away: a smooth click (a decay, a resonance) leaves the
// signal under it, clean samples in a gap wider than its click keep theirs, a noise-like click leaves the plain
// interpolation about as it was. Error in the gap in dB below the click's, by Fill alone and how much better after
// Separate; floors a few dB below what was measured.
TEST(ExtentRoutines, SeparationKeepsTheSignalUnderASmoothClick) {
  struct Case { const char* name; int width; double fillDb, separateDb; };
  const Case cases[] = {{"decay", 40, 3, 4},     {"decay", 12, 5, 3},  {"resonance", 30, 2, 1.5},
                        {"spike", 16, 10, 2.5},  {"burst", 30, 6, -2}};
  constexpr int kSide = 700;
  for (const Case& c : cases) {
    const V clean = ArProcess(2 * kSide + c.width, {1.0, -0.3}, 0.01, 11);
    std::mt19937 rng(12);
    std::normal_distribution<double> noise(0.0, 1.0);
    F arrived(clean.begin(), clean.end());
    for (int i = 0; i < c.width; ++i) {
      const double t = static_cast<double>(i) / c.width;
      double s = std::exp(-3.0 * t);
      if (c.name[0] == 'r') s = std::exp(-4.0 * t) * std::cos(0.7 * i);
      if (c.name[0] == 'b') s = noise(rng) * std::sin(kPi * (i + 0.5) / c.width);
      if (c.name[0] == 's') s = i < 2 ? 3.0 : 0.0;  // two samples, then clean ones the detector took in
      arrived[kSide + i] += static_cast<float>(0.05 * s);
    }
    const auto gapError = [&](const F& x) {
      double sum = 0.0;
      for (int i = kSide; i < kSide + c.width; ++i) sum += (x[i] - clean[i]) * (x[i] - clean[i]);
      return sum;
    };
    GapInterpolator fill(24, 160, kSide);
    F x = arrived;
    ASSERT_TRUE(fill.FitAround(x.data() + kSide, c.width, kSide, 24, 1e-9));
    ASSERT_TRUE(fill.Fill(x.data() + kSide, c.width, fill.Mean()));
    const double fillDb = 10.0 * std::log10(gapError(arrived) / gapError(x));
    const double edge = fill.EdgeVariance();
    ASSERT_TRUE(fill.Separate(x.data() + kSide, arrived.data() + kSide, c.width, fill.Mean()));
    const double separateDb = 10.0 * std::log10(gapError(arrived) / gapError(x));
    std::printf("%-9s %2d samples: fill %5.1f dB, separated %5.1f dB\n", c.name, c.width, fillDb, separateDb);
    EXPECT_GE(fillDb, c.fillDb) << c.name << " " << c.width;
    EXPECT_GE(separateDb, fillDb + c.separateDb) << c.name << " " << c.width;
    EXPECT_EQ(fill.EdgeVariance(), edge) << "the plain fill's system is kept";
  }
  // Nothing to take apart: a model without a known error variance, a gap of the click model's order.
  const V music = ArProcess(64, {1.0, -0.3}, 0.01, 13);
  const F arrived(music.begin(), music.end());
  F x = arrived;
  GapInterpolator fill(4, 8, 20);
  fill.SetModel(V{1.0, -0.3}.data(), 1);
  ASSERT_TRUE(fill.Fill(x.data() + 30, 5, 0.0));
  F before = x;
  EXPECT_FALSE(fill.Separate(x.data() + 30, arrived.data() + 30, 5, 0.0));
  EXPECT_EQ(x, before);
  ASSERT_TRUE(fill.FitAround(x.data() + 30, 2, 20, 4, 1e-9) && fill.Fill(x.data() + 30, 2, fill.Mean()));
  before = x;
  EXPECT_FALSE(fill.Separate(x.data() + 30, arrived.data() + 30, 2, fill.Mean()));
  EXPECT_EQ(x, before);
}

TEST(ExtentRoutines, LocalSpreadIsTheMedianOfNeighbouringSubBlocks) {
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  F e(32 * 20);
  for (size_t i = 0; i < e.size(); ++i) e[i] = unit(rng) * (1.0f + static_cast<float>(i / 32 % 5));
  std::fill(e.begin() + 32 * 7, e.begin() + 32 * 8, 0.0f);  // a silent sub-block, floored if it is the median
  F meanAbs(20), spread(20, -1.0f);
  LocalSpread(e.data(), 20, 32, 2, 18, 6, 0.3f, meanAbs.data(), spread.data());
  for (int j = 0; j < 20; ++j) {
    if (j < 2 || j >= 18) {
      EXPECT_EQ(spread[j], -1.0f) << j;  // not asked for
      continue;
    }
    F window;
    for (int i = std::max(j - 6, 0); i <= std::min(j + 6, 19); ++i) {
      double sum = 0.0;
      for (int k = 0; k < 32; ++k) sum += std::fabs(e[32 * i + k]);
      window.push_back(static_cast<float>(sum / 32));
    }
    std::sort(window.begin(), window.end());
    EXPECT_NEAR(spread[j], std::max(1.2533141f * window[window.size() / 2], 0.3f), 1e-5f) << j;
  }
}

// A burst louder than both its sides is weighed down to `limit` times their RMS; a sound that starts loud and goes
// on is not, nor is the quiet before it.
TEST(ExtentRoutines, RobustWeightsWeighDownBurstsButNotOnsets) {
  std::mt19937 rng(5);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  constexpr int kSubs = 16, kLength = 32, kSpan = 4;
  F x(kSubs * kLength), window(x.size()), weights(x.size(), -1.0f);
  for (size_t i = 0; i < x.size(); ++i) {
    const size_t sub = i / kLength;
    x[i] = noise(rng) * (sub == 5 ? 10.0f : sub >= 10 ? 8.0f : 1.0f);
    window[i] = 0.5f + 0.5f * std::sin(static_cast<float>(i));
  }
  ASSERT_TRUE(RobustWeights(x.data(), window.data(), kSubs, kLength, kSpan, 2.0f, weights.data()));
  V power(kSubs, 0.0);
  for (size_t i = 0; i < x.size(); ++i) power[i / kLength] += static_cast<double>(x[i]) * x[i];
  for (int j = 0; j < kSubs; ++j) {
    V near(power.begin() + std::max(j - kSpan, 0), power.begin() + std::min(j + kSpan, kSubs - 1) + 1);
    std::sort(near.begin(), near.end());
    const double ceiling = 4.0 * near[near.size() / 2];
    const double gain = power[j] > ceiling ? std::sqrt(ceiling / power[j]) : 1.0;
    EXPECT_EQ(gain < 1.0, j == 5) << j;  // the burst only
    for (int i = j * kLength; i < (j + 1) * kLength; ++i) {
      ASSERT_NEAR(weights[i], window[i] * gain, 1e-4 * window[i]) << j;
    }
  }
  // Without the burst nothing is weighed down and nothing written.
  std::fill(weights.begin(), weights.end(), -1.0f);
  for (int i = 5 * kLength; i < 6 * kLength; ++i) x[i] /= 10.0f;
  EXPECT_FALSE(RobustWeights(x.data(), window.data(), kSubs, kLength, kSpan, 2.0f, weights.data()));
  EXPECT_TRUE(std::all_of(weights.begin(), weights.end(), [](float w) { return w == -1.0f; }));
}

TEST(ExtentRoutines, GapListKeepsSortedDisjointGaps) {
  GapList gaps;
  gaps.Reserve(3);
  EXPECT_EQ(gaps.Distance(10), INT64_MAX);
  ASSERT_TRUE(gaps.Add({100, 110}) && gaps.Add({10, 20}) && gaps.Add({200, 205}));
  EXPECT_FALSE(gaps.Add({300, 301}));  // full
  EXPECT_TRUE(gaps.Holds(10) && gaps.Holds(109) && !gaps.Holds(110) && !gaps.Holds(9));
  EXPECT_TRUE(gaps.Covers({101, 105}) && !gaps.Covers({105, 111}));
  EXPECT_EQ(gaps.Distance(25), 6);  // 25 - 19
  EXPECT_EQ(gaps.Distance(95), 5);
  EXPECT_EQ(gaps.Touching({20, 100}), (Gap{10, 110}));  // touches both neighbours
  EXPECT_EQ(gaps.Touching({21, 99}), (Gap{21, 99}));
  Gap found;
  EXPECT_TRUE(gaps.Before(100, &found) && found == (Gap{10, 20}));
  EXPECT_TRUE(gaps.After(110, &found) && found == (Gap{200, 205}));
  EXPECT_FALSE(gaps.After(206, &found));
  ASSERT_TRUE(gaps.Add({5, 120}));  // takes the place of the two inside it, even when full
  EXPECT_EQ(gaps.Count(), 2u);
  EXPECT_TRUE(gaps[0] == (Gap{5, 120}) && gaps[1] == (Gap{200, 205}));
  gaps.PopFront();
  EXPECT_TRUE(gaps.Count() == 1 && gaps[0] == (Gap{200, 205}));
}

// Feed -> ExtentDeclick -> Collect, streamed in buffers of `frames`.
struct Rig {
  Rig(uint16_t channels, uint32_t frames, float rate = kRate)
      : feed(channels, frames, rate), declick("Modern Declick") {
    Connect(&feed, 0, &declick, 0);
    Connect(&declick, 0, &collect, 0);
  }
  // Runs `x` through, followed by silence enough to let all of it out; beforeRun(n) before the n-th run.
  const F& Stream(F x, const std::function<void(int)>& beforeRun = {}) {
    const size_t frames = x.size() / feed.Output(0)->format.channels;
    x.resize(x.size() + 4096 * feed.Output(0)->format.channels, 0.0f);
    feed.QueueSignal(x);
    for (int run = 0; feed.Pending() > 0 || feed.Output(0)->ready; ++run, feed.Run()) {
      if (beforeRun) beforeRun(run);
    }
    // Each run hands out at most one buffer: a few more let out what settled.
    for (int run = 0; run < 16; ++run) feed.Run();
    collect.samples.resize(frames * feed.Output(0)->format.channels);
    return collect.samples;
  }
  testing::FeedBlock feed;
  ExtentDeclick declick;
  testing::CollectBlock collect;
};

// Music-like partials over a little hiss, so that clicks have something to be heard against.
F Music(uint32_t frames, uint16_t channels, uint32_t seed, float rate = kRate) {
  F x = testing::MusicLike(frames, channels, rate, seed);
  testing::AddWhiteHiss(x, 0.001, seed);
  return x;
}

enum class Shape { Impulse, Ringing, Burst, Clipped };

// Adds a click of `width` samples at `frame` to channel `channel` (all when -1), peak `peak`.
void AddClick(F& x, uint16_t channels, int channel, size_t frame, int width, Shape shape, double peak, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  for (int i = 0; i < width; ++i) {
    double s = 0.0;
    switch (shape) {
      case Shape::Impulse: s = std::exp(-3.0 * i / width); break;
      case Shape::Ringing: s = std::exp(-4.0 * i / width) * std::cos(2 * kPi * 5000.0 * i / kRate); break;
      case Shape::Burst: s = 0.5 * noise(rng) * std::sin(kPi * (i + 0.5) / width); break;
      case Shape::Clipped: s = 3.0 * std::exp(-3.0 * i / width); break;  // driven past full scale
    }
    for (uint16_t c = 0; c < channels; ++c) {
      if (channel >= 0 && c != channel) continue;
      float& v = x[(frame + i) * channels + c];
      v = static_cast<float>(std::clamp(v + peak * s, -1.0, 1.0));
    }
  }
}

double Energy(const F& a, const F& b, size_t from, size_t to) {
  double sum = 0.0;
  for (size_t i = from; i < to; ++i) sum += (static_cast<double>(a[i]) - b[i]) * (static_cast<double>(a[i]) - b[i]);
  return sum;
}

// Each shape and width in music at about ten times its RMS: the error in the click's region (the click and 100
// samples either side) falls by the floor. Floors in dB, a few below what was measured.
TEST(ExtentDeclick, ClickShapesAndWidthsAreRepairedByTheirFloors) {
  struct Case { Shape shape; const char* name; int width; double floorDb; };
  const Case cases[] = {
      {Shape::Impulse, "impulse", 1, 35}, {Shape::Impulse, "impulse", 4, 35}, {Shape::Impulse, "impulse", 16, 25},
      {Shape::Impulse, "impulse", 60, 25}, {Shape::Ringing, "ringing", 4, 35}, {Shape::Ringing, "ringing", 24, 25},
      {Shape::Burst, "noise burst", 8, 30}, {Shape::Burst, "noise burst", 40, 20}, {Shape::Clipped, "clipped", 6, 30},
      {Shape::Clipped, "clipped", 30, 20}};
  for (const Case& c : cases) {
    const F clean = Music(30000, 2, 3);
    F clicked = clean;
    for (size_t at : {6000u, 14000u, 22000u}) AddClick(clicked, 2, -1, at, c.width, c.shape, 2.0, at);
    const F out = Rig(2, 1024).Stream(clicked);
    double before = 0.0, after = 0.0;
    for (size_t at : {6000u, 14000u, 22000u}) {
      before += Energy(clicked, clean, 2 * (at - 100), 2 * (at + c.width + 100));
      after += Energy(out, clean, 2 * (at - 100), 2 * (at + c.width + 100));
    }
    const double db = 10.0 * std::log10(before / after);
    std::printf("%-11s %2d samples: %5.1f dB\n", c.name, c.width, db);
    EXPECT_GE(db, c.floorDb) << c.name << " " << c.width;
  }
}

// A smooth decay (a step, then an exponential fall) over a quiet, noise-like passage at 16 kHz, as between words
// on a speech recording, at about 25 times its RMS: the model predicts the decay from both sides, yet the repair
// must reach into its tail, not stop at its onset. Per width: how far the repair reaches at least, and the
// reduction floor.
TEST(ExtentDeclick, SmoothDecaysAreRepairedToTheirTails) {
  constexpr float kSpeechRate = 16000.0f;
  struct Case { int width; double peak; int reach; double floorDb; };
  // Before the tail test the repairs reached 6-7 and 10-18 samples in (13.4 and 8.6 dB); decays of 70 samples
  // are still repaired only near their onsets.
  const Case cases[] = {{15, 0.08, 8, 13}, {40, 0.08, 16, 11}};
  for (const Case& c : cases) {
    std::mt19937 rng(static_cast<uint32_t>(c.width));
    std::normal_distribution<double> noise(0.0, 1.0);
    F clean(30000);
    double state = 0.0;
    for (float& v : clean) v = static_cast<float>(state = 0.3 * state + 0.003 * noise(rng));  // about -50 dBFS
    F clicked = clean;
    const size_t spots[] = {6000, 14000, 22000};
    for (size_t at : spots) AddClick(clicked, 1, -1, at, c.width, Shape::Impulse, c.peak, 0);
    Rig rig(1, 512, kSpeechRate);
    rig.declick.SetOutputClicks(1);
    const F removed = rig.Stream(clicked);
    const F out = Rig(1, 512, kSpeechRate).Stream(clicked);
    double before = 0.0, after = 0.0;
    for (size_t at : spots) {
      size_t last = 0;
      for (size_t i = at; i < at + c.width + 50; ++i) last = removed[i] != 0.0f ? i : last;
      EXPECT_GE(last, at + c.reach) << "width " << c.width << " at " << at;
      before += Energy(clicked, clean, at - 100, at + c.width + 100);
      after += Energy(out, clean, at - 100, at + c.width + 100);
    }
    const double db = 10.0 * std::log10(before / after);
    std::printf("decay %2d samples: %5.1f dB\n", c.width, db);
    EXPECT_GE(db, c.floorDb) << "width " << c.width;
  }
}

// One-sample clicks in white noise, sized in its deviations: a little under the seed bar they are taken where
// nothing else in the block stands out, and left where other samples do (here every 150 samples, 6 deviations);
// well under it never, well over it always.
TEST(ExtentDeclick, ASeedUnderItsBarCountsOnlyInACalmBlock) {
  struct Case { double size; bool busy; size_t found; };
  const Case cases[] = {{9.0, false, 0}, {11.0, false, 2}, {11.0, true, 0}, {13.0, true, 2}};
  for (const Case& c : cases) {
    std::mt19937 rng(9);
    std::normal_distribution<double> noise(0.0, 0.01);
    F clicked(30000);
    for (float& v : clicked) v = static_cast<float>(noise(rng));
    if (c.busy) {
      for (size_t i = 5000; i < 25000; i += 150) clicked[i] += (i / 150) % 2 ? 0.06f : -0.06f;
    }
    const size_t spots[] = {10025, 18025};
    for (size_t at : spots) clicked[at] += static_cast<float>(c.size * 0.01);
    Rig rig(1, 512);
    rig.declick.SetOutputClicks(1);
    const F removed = rig.Stream(clicked);
    size_t found = 0;
    for (size_t at : spots) found += removed[at] != 0.0f;
    EXPECT_EQ(found, c.found) << c.size << (c.busy ? " busy" : " calm");
  }
}

// Sharp but natural onsets after quiet passages are no clicks: not one sample changes.
TEST(ExtentDeclick, OnsetsStayUntouched) {
  std::mt19937 rng(6);
  std::normal_distribution<double> noise(0.0, 1.0);
  const auto envelope = [](double t, double rise, double decay) {
    return t < 0 ? 0.0 : (1.0 - std::exp(-t / rise)) * std::exp(-t / decay);
  };
  struct Onset { const char* name; std::function<double(double)> at; };
  const Onset onsets[] = {
      {"piano attack", [&](double t) {  // struck string: partials with a hammer's 1 ms rise
         double v = 0.0;
         for (int h = 1; h <= 8; ++h) v += 0.3 / h * std::sin(2 * kPi * 261.6 * h * t) * envelope(t, 0.001, 0.8 / h);
         return v;
       }},
      {"plucked string", [&](double t) {  // a pluck: bright partials, 0.3 ms rise, fast decay of the highs
         double v = 0.0;
         for (int h = 1; h <= 20; ++h) {
           v += 0.4 / h * std::sin(2 * kPi * 196.0 * h * t + h) * envelope(t, 0.0003, 1.5 / h);
         }
         return v;
       }},
      {"plosive", [&](double t) {  // a /p/ release: a short burst of shaped noise, then voicing
         const double burst = 0.3 * noise(rng) * envelope(t, 0.0005, 0.008);
         const double voice =
             0.2 * std::sin(2 * kPi * 120 * t) * std::sin(2 * kPi * 700 * t) * envelope(t - 0.03, 0.01, 1.0);
         return burst + voice;
       }}};
  for (const Onset& onset : onsets) {
    F x(40000);
    for (size_t n = 0; n < x.size(); ++n) {
      const double t = (static_cast<double>(n) - 10000.0) / kRate;
      x[n] = static_cast<float>(onset.at(t) + 0.0005 * noise(rng));
    }
    const F out = Rig(1, 512).Stream(x);
    size_t changed = 0;
    for (size_t n = 0; n < x.size(); ++n) changed += out.at(n) != x[n];
    EXPECT_EQ(changed, 0u) << onset.name;
  }
}

// A click heard in one channel only is still repaired in both: a record's defect reaches both walls of the groove.
TEST(ExtentDeclick, AClickInOneChannelIsRepairedInBothThroughTheLink) {
  const F clean = Music(20000, 2, 8);
  F clicked = clean;
  AddClick(clicked, 2, 0, 9000, 6, Shape::Impulse, 2.0, 1);
  Rig rig(2, 1024);
  rig.declick.SetOutputClicks(1);
  const F& removed = rig.Stream(clicked);
  size_t first[2] = {SIZE_MAX, SIZE_MAX}, last[2] = {0, 0};
  for (size_t i = 0; i < removed.size(); ++i) {
    if (removed[i] == 0.0f) continue;
    first[i % 2] = std::min(first[i % 2], i / 2);
    last[i % 2] = std::max(last[i % 2], i / 2);
  }
  for (int c = 0; c < 2; ++c) {
    EXPECT_TRUE(first[c] >= 8990 && last[c] <= 9020) << c << ": " << first[c] << ".." << last[c];
  }
  EXPECT_LE(first[1], 9000u);  // the other channel's gap covers the click
  const F repaired = Rig(2, 1024).Stream(clicked);
  const double before = Energy(clicked, clean, 2 * 8900, 2 * 9100);
  EXPECT_GE(10 * std::log10(before / Energy(repaired, clean, 2 * 8900, 2 * 9100)), 30);
}

// The same output for every buffer size and every kernel level, mono and stereo; further channels come out silent.
TEST(ExtentDeclick, OutputIsTheSameWhateverTheBufferSizeOrKernelLevel) {
  for (const uint16_t channels : {1, 2, 3}) {
    F x = Music(21000, channels, 9);
    for (size_t at : {3000u, 9700u, 15000u}) AddClick(x, channels, -1, at, 7, Shape::Burst, 1.5, at);
    UseKernelLevel(KernelLevel::Baseline);
    const F reference = Rig(channels, 4096).Stream(x);
    EXPECT_GT(Energy(reference, x, 0, x.size()), 0.0);
    testing::ForEachKernelLevel([&](KernelLevel level) {
      for (const uint32_t frames : {1u, 7u, 480u, 1024u}) {
        const F out = Rig(channels, frames).Stream(x);
        ASSERT_EQ(out.size(), reference.size());
        for (size_t i = 0; i < out.size(); ++i) {
          ASSERT_EQ(out[i], i % channels < 2 ? reference[i] : 0.0f)
              << channels << " channels, " << frames << " frames, " << KernelLevelName(level);
        }
      }
    });
  }
}

// Bypass hands on the input in place, switched at any pass, and the steady passes allocate nothing.
TEST(ExtentDeclick, BypassSwitchesWithoutLossOrRepeatAndPassesAllocateNothing) {
  F x = Music(30000, 2, 10);
  AddClick(x, 2, -1, 12000, 5, Shape::Impulse, 2.0, 2);
  Rig rig(2, 1024);
  rig.collect.samples.reserve(2 * 40000);
  std::vector<bool> bypassed;
  const F& out = rig.Stream(x, [&](int run) {
    if (run == 8) testing::StartCountingAllocations();
    if (run == 20) { EXPECT_EQ(testing::StopCountingAllocations(), 0); }
    rig.declick.SetBypass(run % 7 < 3);
  });
  // Every frame is the input's but where the click was; none is lost, repeated or shifted.
  for (size_t i = 0; i < x.size(); ++i) {
    if (i / 2 < 11990 || i / 2 >= 12020) {
      ASSERT_EQ(out[i], x[i]) << i;
    }
  }
  Rig plain(2, 1024);
  plain.declick.SetBypass(1);
  EXPECT_EQ(plain.Stream(x), x);
}

// "Output Clicks" gives exact zeros where nothing was repaired; the meter scales the strongest z against the seed
// bar; the stream's abrupt start is never taken for a click.
TEST(ExtentDeclick, OutputClicksMeterAndStartFollowTheirRules) {
  F x = Music(20000, 1, 11);
  for (float& v : x) v += 0.3f;  // an abrupt start, and an abrupt end into the caller's silence
  AddClick(x, 1, -1, 10000, 3, Shape::Impulse, 2.0, 3);
  x[15000] = NAN;  // taken as silence: a one-sample click
  Rig rig(1, 1024);
  rig.declick.SetOutputClicks(1);
  const F& removed = rig.Stream(x);
  for (size_t n = 0; n < removed.size(); ++n) {
    const bool inGap = (n >= 9990 && n < 10013) || (n >= 14990 && n < 15010);
    ASSERT_TRUE(std::isfinite(removed[n]) && (inGap || removed[n] == 0.0f)) << n << " " << removed[n];
  }
  EXPECT_LT(removed[10000], -0.5f);
  const int level = rig.declick.ReadClickLevel();
  EXPECT_TRUE(level > 30 && rig.declick.ReadClickLevel() == 0) << level;
  EXPECT_EQ(ExtentDeclick::SeedBar(4.0f), 12.0f);
  rig.declick.SetThreshold(0.5f);
  EXPECT_EQ(rig.declick.GetThreshold(), 2.0f);
  // A higher threshold finds fewer: a faint click is repaired at 4 and left alone at 20.
  F faint = Music(20000, 1, 12);
  AddClick(faint, 1, -1, 10000, 3, Shape::Impulse, 0.2, 4);
  for (const auto& [threshold, repaired] : {std::pair{4.0f, true}, {20.0f, false}}) {
    Rig rig(1, 1024);
    rig.declick.SetThreshold(threshold);
    const F out = rig.Stream(faint);
    EXPECT_EQ(out != faint, repaired) << threshold;
  }
}

}  // namespace
}  // namespace veltane
