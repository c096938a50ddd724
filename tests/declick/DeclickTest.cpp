// The click remover: AR repair against dense references and quality floors, and the block through real ports.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "declick/ClipBlock.h"
#include "declick/RepairBlock.h"
#include "declick/TDDeclick.h"
#include "support/AllocationCounter.h"
#include "support/KernelLevels.h"
#include "support/Signals.h"
#include "support/TestBlocks.h"

namespace veltane {
namespace {

using V = std::vector<double>;
constexpr int32_t kN = 600;
constexpr float kRate = 22050.0f;

// x[n] = w[n] - sum_{k>=1} a[k] x[n-k], w white Gaussian of deviation sigma, after a warm-up.
V ArProcess(size_t count, const V& a, double sigma, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  V x(count + 2000, 0.0);
  for (size_t n = 0; n < x.size(); ++n) {
    x[n] = noise(rng);
    for (size_t k = 1; k < a.size() && k <= n; ++k) x[n] -= a[k] * x[n - k];
  }
  return {x.end() - static_cast<std::ptrdiff_t>(count), x.end()};
}

// RepairBlock with the block's constants and work arrays of the documented sizes, apart so that the
// sanitizers see overruns; it must not allocate. Returns the samples that moved by more than 1e-9.
std::vector<int32_t> Repair(V& x, float& peak, int32_t maxClicks = 20, int32_t maxClickWidth = 100) {
  V w[8] = {V(kMaxModelOrder + 1), V(kMaxModelOrder + 1), V(kN),           V(kMaxGapLength),
            V(kMaxGapLength),      V(kMaxGapLength),      V(kMaxGapLength), V(kMaxGapResidual)};
  const RepairWork work{w[0].data(), w[1].data(), w[2].data(), w[3].data(),
                        w[4].data(), w[5].data(), w[6].data(), w[7].data()};
  const V input = x;
  testing::StartCountingAllocations();
  RepairBlock(x.data(), kN, 28, maxClicks, 4.5, maxClickWidth, work, peak);
  EXPECT_EQ(testing::StopCountingAllocations(), 0);
  std::vector<int32_t> moved;
  for (int32_t i = 0; i < kN; ++i)
    if (std::fabs(x[i] - input[i]) > 1e-9) moved.push_back(i);
  return moved;
}

TEST(SolveToeplitz, AgreesWithADenseSolverForSizesOneTo101) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int32_t size = 1; size <= kMaxGapLength; ++size) {
    // The autocorrelation of two random resonances: positive definite, t[0] = 1.
    const double r1 = 0.3 + 0.65 * unit(rng), r2 = 0.3 + 0.65 * unit(rng), theta = 3.0 * unit(rng);
    V t(size), b(size), y(size), g(size), h(size);  // exact sizes: the sanitizers see overruns
    std::vector<V> m(size, V(size + 1));  // [T | b], solved by Gauss-Jordan
    for (int32_t i = 0; i < size; ++i) {
      t[i] = 0.5 * std::pow(r1, i) + 0.5 * std::pow(r2, i) * std::cos(theta * i);
      for (int32_t j = 0; j + i < size; ++j) m[j][j + i] = m[j + i][j] = t[i];
      m[i][size] = b[i] = unit(rng) - 0.5;
    }
    for (int32_t c = 0; c < size; ++c) {  // no pivoting: the matrix is positive definite
      for (int32_t r = 0; r < size; ++r) {
        for (int32_t k = size; k >= c && r != c; --k) m[r][k] -= m[r][c] / m[c][c] * m[c][k];  // m[r][c] last
      }
    }
    SolveToeplitz(t.data(), b.data(), size, y.data(), g.data(), h.data());
    for (int32_t i = 0; i < size; ++i) ASSERT_NEAR(y[i], m[i][size] / m[i][i], 1e-9 * (1 + std::fabs(y[i]))) << size;
  }
}

TEST(LevinsonDurbin, RecoversTheCoefficientsOfAnArProcess) {
  const V truth = {1.0, -1.297876022357046, 0.603595027873916, -0.6948590362258381, 0.5776};  // poles 0.95, 0.8
  const V x = ArProcess(200000, truth, 1.0, 11);
  V r(29), a(29, 0.0);  // order 28, as the block uses: beyond the true order the coefficients vanish
  Autocorrelation(x.data(), static_cast<int32_t>(x.size()), 28, r.data());
  LevinsonDurbin(r.data(), 28, a.data());
  for (int32_t k = 1; k <= 28; ++k) EXPECT_NEAR(a[k], k <= 4 ? truth[k] : 0.0, 0.02) << k;
}

// The gap's normal equations against the dense least-squares problem: the errors e[n] = sum_k a[k] x[n-k] that touch
// a gap x[p .. p+L-1] give A'A = T(t) and A'e0 = b, with e0 the errors when the gap is zero.
TEST(GapEquations, MatchTheDenseLeastSquaresProblemUpToTheLastLag) {
  constexpr int32_t p = 5;
  const V a = {1.0, -0.9, 0.4, 0.3, -0.2, 0.15};
  for (int32_t gap : {1, 3, p, p + 1, p + 4}) {
    V x = ArProcess(gap + 2 * p, {1.0}, 1.0, gap), e0(gap + p), b(gap), t(gap, 0.0);
    std::fill(x.begin() + p, x.begin() + p + gap, 0.0);
    PredictionError(x.data(), a.data(), p, gap + p, e0.data());  // the errors at samples p .. 2p+L-1
    GapCorrelation(e0.data(), a.data(), p, gap, b.data());
    CoefficientCorrelation(a.data(), p, std::min(p + 1, gap), t.data());
    const auto column = [&](int32_t m, int32_t n) { return n - m >= 0 && n - m <= p ? a[n - m] : 0.0; };  // dA/dx
    for (int32_t m = 0; m < gap; ++m) {
      double atE = 0.0;
      for (int32_t n = 0; n < gap + p; ++n) atE += column(m, n) * e0[n];
      EXPECT_NEAR(b[m], atE, 1e-12) << gap << " " << m;
      for (int32_t k = 0; k < gap; ++k) {
        double ata = 0.0;
        for (int32_t n = 0; n < gap + p; ++n) ata += column(m, n) * column(k, n);
        EXPECT_NEAR(t[std::abs(m - k)], ata, 1e-12) << gap << " " << m << " " << k;
      }
    }
  }
}

// The correlations are sums taken in index order, as written: every kernel
// level must give exactly those bits, for any order and count (the vector
// tiles have remainders and overlapping last tiles that a few counts miss).
TEST(Correlations, EqualTheSumsInIndexOrderBitForBitAtEveryKernelLevel) {
  const V x = ArProcess(700, {1.0, -0.9, 0.5}, 0.3, 4);
  V a = ArProcess(41, {1.0}, 0.5, 5);
  a[0] = 1.0;
  testing::ForEachKernelLevel([&](KernelLevel) {
    for (int32_t p : {1, 3, 7, 16, 28, 33, 40}) {
      for (int32_t n : {2 * p + 1, 2 * p + 37, 600, 700}) {
        V r(p + 1, -1.0);
        Autocorrelation(x.data(), n, p, r.data());
        for (int32_t k = 0; k <= p; ++k) {
          double sum = 0.0;
          for (int32_t i = 0; i + k < n - p; ++i) sum += x[i] * x[i + k];
          ASSERT_EQ(r[k], (1.0 / (n - p)) * sum) << "p " << p << ", N " << n << ", lag " << k;
        }
      }
      for (int32_t count = 1; count <= 140; ++count) {
        V e(count + 1, -1.0), b(count + 1, -1.0);
        PredictionError(x.data(), a.data(), p, count, e.data());
        GapCorrelation(x.data(), a.data(), p, count, b.data());
        for (int32_t i = 0; i < count; ++i) {
          double error = 0.0, gap = 0.0;
          for (int32_t k = 0; k <= p; ++k) error += a[k] * x[i + p - k];
          for (int32_t k = 0; k <= p; ++k) gap += a[k] * x[i + k];
          ASSERT_EQ(e[i], error) << "p " << p << ", count " << count << ", at " << i;
          ASSERT_EQ(b[i], gap) << "p " << p << ", count " << count << ", at " << i;
        }
        ASSERT_EQ(e[count], -1.0) << "written past the count";
        ASSERT_EQ(b[count], -1.0) << "written past the count";
      }
    }
  });
}

// Whole repairs and simple-mode clipping give the same bits at every level.
TEST(Correlations, RepairAndClippingAgreeAcrossKernelLevels) {
  std::vector<V> repaired, clipped;
  testing::ForEachKernelLevel([&](KernelLevel) {
    for (uint32_t block = 0; block < 12; ++block) {
      V x = ArProcess(kN, {1.0, -1.6, 0.8}, 0.05, 20 + block);
      for (int32_t click = 0; click < 4; ++click) x[90 + 110 * click + block] += (click % 2 ? -0.8 : 0.6) * (block % 3);
      V clip = x;
      float peak = 0.0f;
      Repair(x, peak);
      ClipBlock(clip.data(), kN, 4.0);
      repaired.push_back(x);
      clipped.push_back(clip);
    }
  });
  const size_t blocks = repaired.size() / testing::SupportedLevels().size();
  for (size_t i = blocks; i < repaired.size(); ++i) {
    EXPECT_EQ(repaired[i], repaired[i % blocks]) << "block " << i % blocks;
    EXPECT_EQ(clipped[i], clipped[i % blocks]) << "block " << i % blocks;
  }
}

// Simple mode: with m the mean and T four mean absolute deviations, an outlier among the first 30 samples is clamped
// to m + T, a later one takes the value of the sample 30 before it.
TEST(ClipBlock, ClampsEarlyOutliersAndRepeatsTheSample30BeforeLaterOnes) {
  V x(100);
  for (int32_t i = 0; i < 100; ++i) x[i] = i % 2 ? 1.1 : 0.9;
  V clipped = x;
  clipped[5] = 3.0;    // m = 0.99, mean absolute deviation (49 * 0.11 + 49 * 0.09 + 2.01 + 2.99) / 100 = 0.148
  clipped[60] = -2.0;
  ClipBlock(clipped.data(), 100, 4.0);
  x[5] = 0.99 + 4 * 0.148;
  for (int32_t i = 0; i < 100; ++i) EXPECT_NEAR(clipped[i], x[i], 1e-12) << i;
}

TEST(RepairBlock, RepairsClicksAtSearchedCentresLargestFirstUpToMaxClicksWithTheTabledWidths) {
  const std::tuple<double, int32_t, int32_t, bool> table[] = {  // ratio, maxClickWidth, width, refit
      {2.2, 100, 1, false}, {2.49, 100, 1, false}, {2.5, 100, 5, false}, {5.99, 100, 5, false}, {6.0, 100, 5, false},
      {9.3, 100, 21, false}, {14.99, 100, 49, false}, {15.0, 100, 50, true}, {17.1, 100, 57, true}, {9.3, 0, 1, false},
      {29.99, 100, 99, true}, {30.0, 100, 99, true}, {1e9, 100, 99, true}, {30.0, 80, 80, true}, {17.1, 40, 40, true}};
  for (const auto& [ratio, cap, width, refit] : table) {
    const ClickWidth w = NominalClickWidth(ratio, cap);
    EXPECT_TRUE(w.width == width && w.refit == refit) << ratio << " capped at " << cap;
  }
  // Silence and constants come back untouched; one-sample gaps (maxClickWidth 1) show which clicks are repaired.
  float peak = 0.0f;  // the meter takes the largest ratio even when no click passes the threshold
  V x = ArProcess(kN, {1.0}, 0.01, 3), copy;
  EXPECT_TRUE(Repair(x, peak).empty() && peak > 2.0f && peak < 4.5f) << peak;
  peak = 3.0f;
  for (double level : {0.0, 0.25, -0.7f + 0.0, 1e-3f + 0.0, -1.0})  // values f32 samples hold
    EXPECT_TRUE(Repair(x = V(kN, level), peak).empty() && x == V(kN, level) && peak == 3.0f) << level;
  for (int32_t at : {70, 77, 78, 521, 522, 530}) {
    (x = ArProcess(kN, {1.0}, 0.01, 2))[at] += 0.5;
    EXPECT_EQ(Repair(x, peak, 1, 1), at >= 78 && at <= 521 ? std::vector<int32_t>{at} : std::vector<int32_t>{}) << at;
  }
  x = ArProcess(kN, {1.0}, 0.01, 6);
  std::vector<int32_t> positions;  // 21 clicks of falling size
  for (int32_t i = 0; i < 21; ++i) x[positions.emplace_back(85 + i * 20 + (i * 7) % 11)] += 0.6 - 0.01 * i;
  EXPECT_EQ(Repair(copy = x, peak, 21, 1), positions);
  positions.pop_back();
  EXPECT_EQ(Repair(x, peak, 20, 1), positions);
  V equal(kN, 0.0);  // equal impulses on silence: bit-identical errors
  equal[150] = equal[350] = 1.0;
  EXPECT_EQ(Repair(equal, peak, 1, 1), std::vector<int32_t>{150});
}

// Up to three clicks a block, as loud as the signal or louder; floors in dB for the error inside the clicks.
TEST(RepairBlock, ErrorInsideClicksDropsByTheFloor) {
  // Pole pairs at radius 0.998, 0.988, 0.968 and angles 0.15, 0.7, 2.2, and a chord with a little hiss.
  const V resonant = {1.0, -2.3455770706281402, 1.9214128010326288, -1.0519528890984233, 1.7051162118456946,
                      -2.107959481595953, 0.9110153327155979};
  const std::tuple<bool, int, double> cases[] = {{false, 1, 20.0}, {false, 3, 20.0}, {true, 1, 15.0}};  // music?
  for (const auto& [music, widest, floorDb] : cases) {
    std::mt19937 rng(99);
    std::uniform_int_distribution<size_t> width(1, widest);
    std::uniform_real_distribution<double> size(0.4, 1.0);
    double before = 0.0, after = 0.0;
    float peak = 0.0f;
    for (uint32_t block = 1; block <= 30; ++block) {
      std::vector<float> chord = testing::MusicLike(kN, 1, kRate, block);
      testing::AddWhiteHiss(chord, 0.003, block);
      V clean = music ? V(chord.begin(), chord.end()) : ArProcess(kN, resonant, 0.002, block);
      double top = 0.0;
      for (double v : clean) top = std::max(top, std::fabs(v));
      for (double& v : clean) v *= 0.3 / top;
      V clicked = clean, repaired;
      for (size_t start : {100u, 260u, 420u}) {
        if (rng() % 4 == 0) continue;
        const size_t at = start + rng() % 60, count = width(rng);
        const double amplitude = (rng() % 2 ? 1.0 : -1.0) * size(rng);
        for (size_t i = 0; i < count; ++i) clicked[at + i] += (i % 2 ? -0.6 : 1.0) * amplitude * std::exp(-0.4 * i);
      }
      Repair(repaired = clicked, peak);
      for (int32_t i = 0; i < kN; ++i) {  // inside the clicks
        before += (clicked[i] != clean[i]) * (clicked[i] - clean[i]) * (clicked[i] - clean[i]);
        after += (clicked[i] != clean[i]) * (repaired[i] - clean[i]) * (repaired[i] - clean[i]);
      }
    }
    const double improvementDb = 10.0 * std::log10(before / after);
    std::printf("%s, clicks up to %d samples: %.1f dB\n", music ? "music-like" : "resonant AR", widest, improvementDb);
    EXPECT_GE(improvementDb, floorDb) << (music ? "music-like" : "resonant AR") << ", clicks up to " << widest;
  }
}

struct Rig {  // Feed -> TDDeclick -> Collect
  Rig(uint16_t channels, uint32_t frames) : feed(channels, frames, kRate), declick("TDDeclick0") {
    Connect(&feed, 0, &declick, 0);
    Connect(&declick, 0, &collect, 0);
  }
  // Runs `x` through with enough zeros behind it to let all of it out; beforeRun(n) before the n-th run.
  template <typename Hook = void (*)(int)>
  const std::vector<float>& Stream(std::vector<float> x, Hook beforeRun = [](int) {}) {
    x.resize(x.size() + 12000 * feed.Output(0)->format.channels, 0.0f);
    feed.QueueSignal(x);
    for (int run = 0; feed.Pending() > 0 || feed.Output(0)->ready; ++run, feed.Run()) beforeRun(run);
    return collect.samples;
  }
  testing::FeedBlock feed;
  TDDeclick declick;
  testing::CollectBlock collect;
};

// Channels 0 and 1 come out as two mono streams would, whatever the buffer size; further ones are silenced.
TEST(TDDeclick, ChannelsAreDeclickedLikeMonoStreamsWhateverTheBufferSize) {
  const auto clicked = [](uint16_t channels) {  // channels 0 and 1 do not depend on the count
    std::vector<float> x = testing::MusicLike(9000, channels, kRate, 2);
    testing::AddClicks(x, channels, {{1500, 3}, {4400, 3}, {7300, 3}}, 0.7);
    return x;
  };
  std::vector<float> stereo = clicked(2), mono[2];
  for (size_t i = 0; i < stereo.size(); ++i) mono[i % 2].push_back(stereo[i]);
  for (std::vector<float>& channel : mono) channel = Rig(1, 256).Stream(channel);
  for (uint16_t channels : {1, 2, 3}) {
    for (uint32_t frames : {1u, 7u, 480u, 4096u}) {
      const std::vector<float> out = Rig(channels, frames).Stream(clicked(channels));
      for (size_t i = 0; i < 9000u * channels; ++i)  // at() throws, and so fails, if the output is short
        ASSERT_EQ(out.at(i), i % channels < 2 ? mono[i % channels][i / channels] : 0.0f) << channels << frames;
    }
  }
}

// Without repairs the output is the input: a pass after the third 256-frame buffer (600 samples), one every
// 443 then, allocating nothing; bypass switched at set passes or from another thread loses and repeats nothing.
TEST(TDDeclick, FramesAfterTheThirdBufferAndSwitchesBypassWithoutLossOrRepeat) {
  for (const auto& [channels, threaded] : {std::pair<uint16_t, bool>{1, false}, {2, false}, {1, true}}) {
    const std::vector<float> x = testing::MusicLike(20000, channels, kRate, 6);
    Rig rig(channels, 256);
    rig.declick.SetThreshold(1e9f);
    rig.collect.samples.reserve(40000 * channels);
    std::atomic<bool> done{false};
    std::thread other([&] {
      for (uint32_t i = 0; threaded && !done.load(); ++i, std::this_thread::yield()) {
        rig.declick.SetBypass(i % 3 == 0);
        rig.declick.SetThreshold(1e9f + static_cast<float>(i % 2));
        rig.declick.ReadClickLevel();
      }
    });
    const std::vector<float>& out = rig.Stream(x, [&](int run) {
      const size_t passes[] = {0, 0, 0, 1, 1, 2, 3, 3, 4};  // before each of the first runs
      EXPECT_TRUE(threaded || run > 8 || rig.collect.samples.size() == passes[run] * 443 * channels) << run;
      if (run == 3) testing::StartCountingAllocations();  // formats, ring and pool buffers are set up
      if (run == 9) { EXPECT_EQ(testing::StopCountingAllocations(), 0) << channels; }
      if (!threaded && run > 8 && (run % 9 == 4 || run % 13 < 2)) rig.declick.SetBypass(!rig.declick.GetBypass());
    });
    done = true;
    other.join();
    for (size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(out.at(i), x[i], 1e-6) << channels << threaded << " " << i;
  }
}

// "Output Clicks" gives repaired minus arrived samples: left uniform noise, where nothing passes the threshold, and a
// NaN taken as silence; right one click. A reset clears the meter; in simple mode a spike takes the value 30 samples
// before it. The click level scales the ratio above the threshold (at least 2); a reading clears it.
TEST(TDDeclick, OutputClicksMeterAndSimpleModeFollowTheirSettings) {
  std::mt19937 rng(8);
  std::uniform_real_distribution<float> uniform(-0.1f, 0.1f);
  std::vector<float> x(2 * 12000);
  for (float& v : x) v = uniform(rng);
  x[2 * 8000] = NAN;
  x[2 * 5000 + 1] += 0.8f;
  Rig rig(2, 1024);
  rig.declick.SetOutputClicks(1);
  const std::vector<float>& out = rig.Stream(x);
  EXPECT_TRUE(std::fabs(out[2 * 5000 + 1] + 0.8f) < 0.1f && rig.declick.peakRatio > 10.0f) << out[10001];
  for (size_t i = 0; i < out.size(); ++i)  // a gap reaches 49 samples either side of its click
    ASSERT_TRUE(std::fabs(out[i]) < 1e-7f || (i % 2 == 1 && i / 2 + 50 >= 5000 && i / 2 <= 5000 + 50)) << i;
  rig.feed.RequestReset();
  rig.feed.Run();
  EXPECT_EQ(rig.declick.peakRatio.load(), 0.0f);
  rig.declick.SetOutputClicks(0);
  rig.declick.simpleMode = true;
  x[2 * 5000 + 1] += 2.0f;
  const size_t before = out.size();
  rig.Stream(x);
  EXPECT_TRUE(out[before + 10001] == out[before + 9941] && std::fabs(out[before + 9941] - x[9941]) < 1e-6f);
  rig.declick.SetThreshold(1.0f);
  EXPECT_EQ(rig.declick.GetThreshold(), 2.0f);
  rig.declick.SetThreshold(4.0f);
  for (const auto& [ratio, level] : {std::pair{40.0f, 90}, {50.f, 100}, {9.f, 0}, {10.5f, 1}, {0.f, 0}, {1e30f, 100}}) {
    rig.declick.peakRatio = ratio;
    EXPECT_TRUE(rig.declick.ReadClickLevel() == level && rig.declick.ReadClickLevel() == 0) << ratio;
  }
}

}  // namespace
}  // namespace veltane
