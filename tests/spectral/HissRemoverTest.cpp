// The modern hiss remover: its float transform, the log-spectral amplitude gain, the hiss tracker and the block.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "spectral/FloatFft.h"
#include "spectral/HissRemover.h"
#include "spectral/HissTracker.h"
#include "spectral/LsaGain.h"
#include "support/AllocationCounter.h"
#include "support/KernelLevels.h"
#include "support/Signals.h"
#include "support/TestBlocks.h"

namespace veltane {
namespace {

using testing::kPi;

std::vector<float> Gaussian(size_t count, double deviation, uint32_t seed) {
  std::vector<float> x(count, 0.0f);
  testing::AddWhiteHiss(x, deviation, seed);
  return x;
}

// 1/f hiss above 20 Hz: white noise through a sum of first-order low-passes spaced an octave apart, each weighted so
// that the power falls by 3 dB per octave; about 1.5 dB of ripple.
std::vector<float> Pink(size_t frames, uint16_t channels, double rate, double deviation, uint32_t seed) {
  std::vector<float> white = Gaussian(frames * channels, 1.0, seed), out(frames * channels, 0.0f);
  for (uint16_t c = 0; c < channels; ++c) {
    for (double corner = 20.0; corner < rate / 2; corner *= 2) {
      const double a = std::exp(-2 * kPi * corner / rate), weight = std::sqrt(corner) * (1 - a) / std::sqrt(1 - a * a);
      double state = 0.0;
      for (size_t i = 0; i < frames; ++i) {
        state = a * state + white[i * channels + c];
        out[i * channels + c] += static_cast<float>(weight * state);
      }
    }
  }
  const double scale = deviation / testing::Rms(out, 0, out.size());
  for (float& v : out) v = static_cast<float>(v * scale);
  return out;
}

// N = 16 .. 8192 at every kernel level: every output within 3 (m + 1) u ||z||_2 of a double-precision DFT
// (u = 2^-24, m = log2 N), the round trip within 3 (m + 1) u N max|z| of N z, the input untouched, nothing written
// past the arrays; and the same bits at every level.
TEST(FloatFft, MatchesADoublePrecisionDftAndRoundTripsAtEverySizeAndLevel) {
  constexpr double kU = 5.9604644775390625e-8;
  constexpr float kCanary = 1234.5f;
  for (uint32_t m = 4; m <= 13; ++m) {
    std::vector<std::vector<float>> results;
    testing::ForEachKernelLevel([&](KernelLevel) {
      const uint32_t n = 1u << m;
      FloatFft fft;
      ASSERT_TRUE(fft.Setup(n));
      const std::vector<float> re = Gaussian(n, 0.3, m), im = Gaussian(n, 0.2, m + 50);
      // Each array sits between two canaries.
      std::vector<float> outRe(n + 2, kCanary), outIm(n + 2, kCanary), backRe(n + 2, kCanary), backIm(n + 2, kCanary);
      std::vector<float> workRe(n), workIm(n), copyRe = re, copyIm = im;
      fft.Forward(re.data(), im.data(), outRe.data() + 1, outIm.data() + 1, workRe.data(), workIm.data());
      fft.Inverse(outRe.data() + 1, outIm.data() + 1, backRe.data() + 1, backIm.data() + 1, workRe.data(),
                  workIm.data());
      double norm = 0.0, peak = 0.0;
      for (uint32_t j = 0; j < n; ++j) {
        norm += double{re[j]} * re[j] + double{im[j]} * im[j];
        peak = std::max({peak, std::fabs(double{re[j]}), std::fabs(double{im[j]})});
      }
      const double bound = 3 * (m + 1) * kU * std::sqrt(norm);
      for (uint32_t k = 0; k < n; k += (n > 1024 ? 7 : 1)) {
        double sumRe = 0.0, sumIm = 0.0;
        for (uint32_t j = 0; j < n; ++j) {
          const double angle = -2 * kPi * ((uint64_t{k} * j) % n) / n;
          sumRe += re[j] * std::cos(angle) - im[j] * std::sin(angle);
          sumIm += re[j] * std::sin(angle) + im[j] * std::cos(angle);
        }
        ASSERT_NEAR(outRe[k + 1], sumRe, bound) << "Re Z[" << k << "], N = " << n;
        ASSERT_NEAR(outIm[k + 1], sumIm, bound) << "Im Z[" << k << "], N = " << n;
      }
      for (uint32_t j = 0; j < n; ++j) {
        ASSERT_NEAR(backRe[j + 1], 1.0 * n * re[j], 3 * (m + 1) * kU * n * peak) << j << ", N = " << n;
        ASSERT_NEAR(backIm[j + 1], 1.0 * n * im[j], 3 * (m + 1) * kU * n * peak) << j << ", N = " << n;
      }
      EXPECT_EQ(copyRe, re);
      EXPECT_EQ(copyIm, im);
      for (const std::vector<float>* v : {&outRe, &outIm, &backRe, &backIm}) {
        EXPECT_TRUE(v->front() == kCanary && v->back() == kCanary) << "N = " << n;
        results.push_back(*v);
      }
    });
    for (size_t i = 4; i < results.size(); ++i) ASSERT_EQ(results[i], results[i % 4]) << "N = " << (1u << m);
  }
  FloatFft fft;
  for (uint32_t n : {0u, 1u, 8u, 24u, 1000u}) EXPECT_FALSE(fft.Setup(n)) << n;
}

// Known answers: an impulse gives all ones; a cosine in the real part and a sine in the imaginary part of k0 cycles
// land on Z[k0] and Z[N - k0] as the two channels' spectra X0 + i X1 predict.
TEST(FloatFft, KnownAnswersForAnImpulseAndTwoRealChannelsAtEveryLevel) {
  testing::ForEachKernelLevel([&](KernelLevel) {
    constexpr uint32_t n = 512, k0 = 37;
    FloatFft fft;
    fft.Setup(n);
    std::vector<float> re(n, 0.0f), im(n, 0.0f), outRe(n), outIm(n), workRe(n), workIm(n);
    re[0] = 1.0f;
    fft.Forward(re.data(), im.data(), outRe.data(), outIm.data(), workRe.data(), workIm.data());
    for (uint32_t k = 0; k < n; ++k) ASSERT_TRUE(outRe[k] == 1.0f && outIm[k] == 0.0f) << k;
    for (uint32_t j = 0; j < n; ++j) {
      re[j] = static_cast<float>(0.5 * std::cos(2 * kPi * k0 * j / n));  // channel 0: X0[k0] = X0[N-k0] = N/4
      im[j] = static_cast<float>(0.5 * std::sin(2 * kPi * k0 * j / n));  // channel 1: X1[k0] = -i N/4, X1[N-k0] = i N/4
    }
    fft.Forward(re.data(), im.data(), outRe.data(), outIm.data(), workRe.data(), workIm.data());
    // Z = X0 + i X1: Z[k0] = N/4 + N/4 = N/2, Z[N - k0] = N/4 - N/4 = 0.
    for (uint32_t k = 0; k < n; ++k) {
      ASSERT_NEAR(outRe[k], k == k0 ? n / 2.0 : 0.0, 1e-3) << k;
      ASSERT_NEAR(outIm[k], 0.0, 1e-3) << k;
    }
  });
}

// The table of exp(E1(v)/2) against the double-precision function, and that against the standard library's
// exponential integral, over the table's whole range and beyond it.
TEST(LsaGain, TheExponentialIntegralTableStaysWithinItsStatedBound) {
  double worstDb = 0.0;
  for (double log2v = -20.0; log2v < 12.0; log2v += 1.0 / 512) {
    const double v = std::exp2(log2v);
    const double exact = LsaGain::ExpHalfE1Exact(v);
    ASSERT_NEAR(exact, std::exp(-0.5 * std::expint(-v)), 1e-12 * exact) << v;
    worstDb = std::max(worstDb, std::fabs(20 * std::log10(LsaGain::ExpHalfE1(static_cast<float>(v)) / exact)));
  }
  EXPECT_LT(worstDb, 0.003);
  EXPECT_EQ(LsaGain::ExpHalfE1(5000.0f), 1.0f);
  EXPECT_EQ(LsaGain::ExpHalfE1(0.0f), LsaGain::ExpHalfE1(std::exp2(-20.0f)));
  EXPECT_EQ(LsaGain::ExpHalfE1(std::nanf("")), LsaGain::ExpHalfE1(std::exp2(-20.0f)));
}

// The polynomial logarithm and power against the standard library, over the whole range the gain rule uses them in.
TEST(LsaGain, TheLogarithmAndPowerStayWithinTheirStatedBounds) {
  double worstLog = 0, worstExp = 0;
  for (double e = -125.9; e < 127.9; e += 0.00137) {
    const float x = std::exp2(static_cast<float>(e));
    worstLog = std::max(worstLog, std::fabs(LsaGain::Log2Approx(x) - std::log2(double{x})));
    const float y = static_cast<float>(e);
    worstExp = std::max(worstExp, std::fabs(LsaGain::Exp2Approx(y) / std::exp2(double{y}) - 1));
  }
  EXPECT_LT(worstLog, 5e-5);
  EXPECT_LT(worstExp, 2e-5);
  EXPECT_EQ(LsaGain::Exp2Approx(-127.0f), 0.0f);
  EXPECT_EQ(LsaGain::Exp2Approx(std::nanf("")), 0.0f);
}

// The gain rule against a slow reference (the standard library's exponential integral), frame by frame: the first
// frame takes its own a-priori SNR, the second the decision-directed one, each refined by the second step, over a
// grid of a-posteriori SNRs (the grid of the two frames' gammas spans a-priori SNRs from -40 to +40 dB, with a floor
// of -40 dB), then weighted by the speech-presence probability from the smoothed a-priori SNR around each bin, at
// every kernel level.
TEST(LsaGain, MatchesASlowReferenceOverAGridOfSnrsWithTheSameBitsAtEveryLevel) {
  auto lsa = [](double xi, double gamma) {
    const double v = xi / (1 + xi) * gamma;
    return std::min(1.0, xi / (1 + xi) * std::exp(-0.5 * std::expint(-v)));
  };
  // The two steps; returns the gain and leaves the first step's clean-power estimate in `previous`.
  constexpr float kFloor = 0.01f;  // -40 dB: the a-priori SNR's floor is -40 dB too
  const double xiMin = double{kFloor} * kFloor;
  auto reference = [&](double xi, double gamma, double& previous) {
    const double first = lsa(xi, gamma);
    previous = first * first * gamma;
    return lsa(std::max(previous, xiMin), gamma);
  };
  // The presence weighting over all bins, from each bin's second-step a-priori SNR (max(previous, xiMin)) and gamma.
  std::vector<double> zeta;
  auto weigh = [&](const std::vector<double>& g, const std::vector<double>& previous, const std::vector<double>& gammas) {
    const size_t n = g.size();
    const double half = LsaGain::kGlobalHalfWidth;
    std::vector<double> xi(n), out(n);
    for (size_t k = 0; k < n; ++k) {
      xi[k] = std::max(previous[k], xiMin);
      zeta[k] = LsaGain::kZetaSmoothing * zeta[k] + (1 - LsaGain::kZetaSmoothing) * xi[k];
    }
    auto presence = [](double z) {
      return std::clamp(std::log(z / LsaGain::kZetaMin) / std::log(double{LsaGain::kZetaMax} / LsaGain::kZetaMin), 0.0, 1.0);
    };
    for (size_t k = 0; k < n; ++k) {
      const double local = 0.25 * zeta[k > 0 ? k - 1 : k] + 0.5 * zeta[k] + 0.25 * zeta[k + 1 < n ? k + 1 : k];
      double sum = 0;
      int count = 0;
      for (double j = std::max(0.0, k - half); j <= std::min(n - 1.0, k + half); ++j, ++count) sum += zeta[static_cast<size_t>(j)];
      const double q = std::min(1 - presence(local) * presence(sum / count), double{LsaGain::kMaxAbsence});
      const double v = xi[k] / (1 + xi[k]) * gammas[k];
      const double p = 1 / (1 + q / (1 - q) * (1 + xi[k]) * std::exp(-v));
      out[k] = std::pow(std::max<double>(g[k], kFloor), p) * std::pow(double{kFloor}, 1 - p);
    }
    return out;
  };
  std::vector<double> gammas;
  for (double db = -20.0; db <= 40.0; db += 2.5) gammas.push_back(std::pow(10.0, db / 10));
  const uint32_t bins = static_cast<uint32_t>(gammas.size() * gammas.size());
  std::vector<float> power1(bins), power2(bins), hiss(bins, 2.0f), gains(bins);
  for (uint32_t b = 0; b < bins; ++b) {
    power1[b] = static_cast<float>(2.0 * gammas[b / gammas.size()]);
    power2[b] = static_cast<float>(2.0 * gammas[b % gammas.size()]);
  }
  // Fewer bins than one vector or than the global window, and 625: the
  // lanes' padded tails and the spectrum's ends.
  const uint32_t all = bins;
  for (const uint32_t bins : {1u, 2u, 9u, 40u, all}) {
    std::vector<std::vector<float>> results;
    testing::ForEachKernelLevel([&](KernelLevel) {
      LsaGain gain;
      gain.Setup(bins, 256.0 / 44100);
      zeta.assign(bins, 0.0);
      gain.Compute(power1.data(), hiss.data(), kFloor, gains.data());
      results.emplace_back(gains.begin(), gains.begin() + bins);
      std::vector<double> previous(bins), expected(bins), gamma(bins);
      for (uint32_t b = 0; b < bins; ++b) {
        gamma[b] = power1[b] / 2.0;
        expected[b] = reference(std::max(gamma[b] - 1, xiMin), gamma[b], previous[b]);
      }
      expected = weigh(expected, previous, gamma);
      for (uint32_t b = 0; b < bins; ++b) {
        ASSERT_NEAR(gains[b], expected[b], 1e-3 * expected[b]) << bins << " bins, first frame, gamma " << gamma[b];
      }
      gain.Compute(power2.data(), hiss.data(), kFloor, gains.data());
      results.emplace_back(gains.begin(), gains.begin() + bins);
      std::vector<double> xi(bins);
      for (uint32_t b = 0; b < bins; ++b) {
        gamma[b] = power2[b] / 2.0;
        const double alpha = gain.Alpha();
        xi[b] = std::max(alpha * previous[b] + (1 - alpha) * std::max(gamma[b] - 1, 0.0), xiMin);
        expected[b] = reference(xi[b], gamma[b], previous[b]);
      }
      expected = weigh(expected, previous, gamma);
      for (uint32_t b = 0; b < bins; ++b) {
        ASSERT_NEAR(gains[b], expected[b], 1e-3 * expected[b])
            << bins << " bins, second frame, xi " << xi[b] << " gamma " << gamma[b];
      }
      // No hiss known: everything passes.
      const std::vector<float> none(bins, 0.0f);
      gain.Compute(power2.data(), none.data(), kFloor, gains.data());
      for (uint32_t b = 0; b < bins; ++b) ASSERT_NEAR(gains[b], 1.0f, 1e-6) << b;
    });
    // Both frames at every level.
    for (size_t r = 2; r < results.size(); ++r) ASSERT_EQ(results[r], results[r % 2]) << bins << " bins, " << r;
  }
}

// samples -> "HissRemover" -> samples, in buffers of `frames` frames.
struct HissChain {
  HissChain(uint16_t channels, float rate, uint32_t frames = 1024) : feed(channels, frames, rate) {
    Connect(&feed, 0, &hiss, 0);
    Connect(&hiss, 0, &collect, 0);
  }
  // Runs `x` through, and zeros after it so that the delayed tail comes out too.
  const std::vector<float>& Run(const std::vector<float>& x) {
    feed.QueueSignal(x);
    while (feed.Pending() > 0) feed.Run();
    return collect.samples;
  }
  testing::FeedBlock feed;
  HissRemover hiss;
  testing::CollectBlock collect;
};

// Mean over bins lo .. hi - 1 of the tracker's estimate in dB against `truth` (per-bin power in dB).
double EstimateErrorDb(const HissRemover& hiss, uint32_t lo, uint32_t hi, const std::vector<double>& truthDb) {
  double sum = 0.0;
  for (uint32_t k = lo; k < hi; ++k) sum += 10 * std::log10(hiss.Tracker().Estimate()[k]) - truthDb[k];
  return sum / (hi - lo);
}

// The tracker follows a 10 dB step of white and of pink hiss down and up, stereo at 44.1 kHz and mono at 16 kHz:
// within 2 dB of the true per-bin power 1 s after a fall and 1.5 s after a rise has filled the minimum's span (176
// frames: 1 s at 44.1 kHz, 1.4 s at 16 kHz), in every sixth of the spectrum but the lowest, where pink hiss changes by
// several dB within one band (3 dB there).
TEST(HissTracker, FollowsAStepInWhiteAndPinkHissLevel) {
  for (bool pink : {false, true}) {
    for (auto [rate, channels] : {std::pair{44100.0f, uint16_t{2}}, std::pair{16000.0f, uint16_t{1}}}) {
      HissChain chain(channels, rate);
      const uint32_t n = HissRemover::FftSizeFor(rate), bins = n / 2 + 1;
      const auto second = static_cast<size_t>(rate);
      // 6 s at -50 dBFS, 6 s at -60 dBFS, 6 s at -50 dBFS.
      std::vector<float> x;
      for (double db : {-50.0, -60.0, -50.0}) {
        const double deviation = std::pow(10.0, db / 20);
        const std::vector<float> part = pink ? Pink(6 * second, channels, rate, deviation, 7)
                                             : Gaussian(6 * second * channels, deviation, 7);
        x.insert(x.end(), part.begin(), part.end());
      }
      // The truth per bin: the mean power of the same hiss at -50 dBFS in the analysis frames.
      std::vector<double> truthDb(bins, 0.0);
      const std::vector<float> reference = pink ? Pink(30 * second, 1, rate, 1.0, 9) : Gaussian(30 * second, 1.0, 9);
      FloatFft fft;
      fft.Setup(n);
      std::vector<float> re(n), im(n, 0.0f), zr(n), zi(n), wr(n), wi(n);
      std::vector<double> mean(bins, 0.0);
      size_t frames = 0;
      for (size_t at = 0; at + n <= reference.size(); at += n / 2, ++frames) {
        for (uint32_t i = 0; i < n; ++i) re[i] = static_cast<float>(std::sin(kPi * i / n) * reference[at + i]);
        fft.Forward(re.data(), im.data(), zr.data(), zi.data(), wr.data(), wi.data());
        for (uint32_t k = 0; k < bins; ++k) mean[k] += double{zr[k]} * zr[k] + double{zi[k]} * zi[k];
      }
      for (uint32_t k = 0; k < bins; ++k) truthDb[k] = 10 * std::log10(mean[k] / frames) - 50.0;

      auto checkAt = [&](double seconds, double offsetDb, const char* what) {
        HissChain run(channels, rate);
        run.Run(std::vector<float>(x.begin(), x.begin() + static_cast<size_t>(seconds * rate) * channels));
        for (uint32_t part = 0; part < 6; ++part) {
          const uint32_t lo = 2 + part * (bins - 2) / 6, hi = 2 + (part + 1) * (bins - 2) / 6;
          EXPECT_NEAR(EstimateErrorDb(run.hiss, lo, hi, truthDb), offsetDb, part == 0 ? 3.0 : 2.0)
              << what << (pink ? ", pink" : ", white") << ", " << rate << " Hz, bins " << lo << " .. " << hi;
        }
      };
      checkAt(5.9, 0.0, "settled");
      checkAt(7.0, -10.0, "1 s after the fall");
      const double span = 176.0 * (n / 4) / rate;
      checkAt(12.0 + span + 1.5, 0.0, "1.5 s after the span has filled after the rise");
    }
  }
}

// A chord held for 8 s over hiss 40 dB below it: by its end the estimate in the bins of its partials has not risen
// more than 3 dB above the hiss, nor anywhere else.
TEST(HissTracker, DoesNotTakeASustainedChordForHiss) {
  constexpr float kRate = 44100.0f;
  constexpr uint16_t kChannels = 2;
  const size_t frames = 8 * static_cast<size_t>(kRate);
  std::vector<float> x = Gaussian(frames * kChannels, 0.001, 3);  // -60 dBFS
  for (double root : {130.81, 164.81, 196.0, 261.63}) {  // C major, 12 harmonics each, peak about 0.4
    for (int h = 1; h <= 12; ++h) {
      for (size_t i = 0; i < frames; ++i) {
        const float v = static_cast<float>(0.03 / h * std::sin(2 * kPi * root * h * i / kRate + h));
        x[i * 2] += v;
        x[i * 2 + 1] += v;
      }
    }
  }
  HissChain chain(kChannels, kRate);
  chain.Run(x);
  const uint32_t n = HissRemover::FftSizeFor(kRate);
  const double hissDb = 10 * std::log10(1e-6 * n / 2);  // white hiss: E|X[k]|^2 = deviation^2 N / 2
  double worst = -100.0;
  for (uint32_t k = 2; k <= n / 2; ++k) worst = std::max(worst, 10 * std::log10(chain.hiss.Tracker().Estimate()[k]) - hissDb);
  EXPECT_LT(worst, 3.0);
}

// The block's stream: silence stays exact silence; with nothing removed ("Output Hiss Level" 1) and in bypass the
// output is the input delayed by N - H at every rate; the output does not depend on the input buffer size.
TEST(HissRemover, SilenceStaysSilentAndTheDelayIsNMinusH) {
  for (float rate : {16000.0f, 44100.0f, 96000.0f}) {
    const uint32_t latency = HissRemover::LatencyFor(rate);
    EXPECT_EQ(latency, HissRemover::FftSizeFor(rate) * 3 / 4);
    HissChain silent(2, rate);
    for (float v : silent.Run(std::vector<float>(2 * 40000, 0.0f))) ASSERT_EQ(v, 0.0f) << rate;
    const std::vector<float> x = testing::MusicLike(30000, 2, rate);
    for (bool bypass : {false, true}) {
      HissChain chain(2, rate);
      chain.hiss.SetOutputLevel(1.0f);
      chain.hiss.SetBypass(bypass);
      std::vector<float> padded = x;
      padded.resize(x.size() + 2 * size_t{latency} + 4096, 0.0f);
      const std::vector<float>& y = chain.Run(padded);
      ASSERT_GE(y.size(), x.size() + 2 * size_t{latency}) << rate;
      // The pre-roll: exact zeros in bypass, the transforms' rounding of the music's frames otherwise.
      for (size_t i = 0; i < 2 * size_t{latency}; ++i) ASSERT_NEAR(y[i], 0.0f, bypass ? 0.0 : 1e-6) << rate << " " << i;
      for (size_t i = 0; i < x.size(); ++i) {
        if (bypass) {
          ASSERT_EQ(y[i + 2 * latency], x[i]) << rate << " bypass " << i;
        } else {
          ASSERT_NEAR(y[i + 2 * latency], x[i], 2e-6) << rate << " " << i;
        }
      }
    }
  }
}

// An offset under hiss (mono and stereo, an offset per channel, stepping halfway): the offset comes out as it went
// in, within a tenth of the hiss's RMS over every tenth of a second, while the hiss around it loses at least 10 dB.
TEST(HissRemover, AnOffsetPassesWhileTheHissAroundItGoes) {
  constexpr float kRate = 44100.0f;
  constexpr double kHiss = 0.001;
  const uint32_t frames = 4 * static_cast<uint32_t>(kRate);
  for (uint16_t channels : {1, 2}) {
    std::vector<float> offset(size_t{frames} * channels), x;
    for (size_t i = 0; i < offset.size(); ++i) {
      offset[i] = (i % channels == 0 ? 0.05f : -0.02f) + (i / channels >= frames / 2 ? 0.03f : 0.0f);
    }
    x = offset;
    testing::AddWhiteHiss(x, kHiss, 3);
    const uint32_t latency = HissRemover::LatencyFor(kRate);
    x.resize(x.size() + 2 * size_t{latency} * channels + 8192, 0.0f);
    HissChain chain(channels, kRate);
    const std::vector<float>& y = chain.Run(x);
    ASSERT_GE(y.size(), offset.size() + 2 * size_t{latency} * channels);
    const size_t tenth = static_cast<size_t>(kRate / 10) * channels;
    double residual = 0.0;
    size_t counted = 0;
    // From the second second on; the tenths on either side of the step and the last one, before the zeros, are left
    // out (a step's first frames are gained like any onset's).
    for (size_t start = 10 * tenth; start + 2 * tenth <= offset.size(); start += tenth) {
      if (start + tenth >= offset.size() / 2 && start <= offset.size() / 2 + tenth) continue;
      for (uint16_t c = 0; c < channels; ++c) {
        double mean = 0.0, truth = 0.0;
        for (size_t i = start + c; i < start + tenth; i += channels) {
          const double out = y[i + 2 * size_t{latency} * channels];
          mean += out;
          truth += offset[i];
          residual += std::pow(out - offset[i], 2);
          ++counted;
        }
        ASSERT_NEAR(mean / (tenth / channels), truth / (tenth / channels), 0.1 * kHiss) << channels << " " << start;
      }
    }
    EXPECT_LT(10 * std::log10(residual / counted / (kHiss * kHiss)), -10.0) << channels;
  }
}

// The same bits whatever the input buffer size and the kernel level.
TEST(HissRemover, OutputDoesNotDependOnTheInputBufferSizeNorTheKernelLevel) {
  constexpr float kRate = 48000.0f;
  std::vector<float> x = testing::MusicLike(40000, 2, kRate);
  testing::AddWhiteHiss(x, 0.003, 5);
  std::vector<float> first;
  testing::ForEachKernelLevel([&](KernelLevel) {
    for (uint32_t frames : {1u, 7u, 480u, 4096u}) {
      HissChain chain(2, kRate, frames);
      const size_t count = chain.Run(x).size();
      ASSERT_GE(count, size_t{60000}) << frames;
      const std::vector<float> y(chain.collect.samples.begin(), chain.collect.samples.begin() + 60000);
      if (first.empty()) {
        first = y;
      } else {
        ASSERT_EQ(y, first) << frames;
      }
    }
  });
}

// What it is for: hiss goes, music stays. Music-like tones with white hiss 30 dB below them gain at least 6 dB of
// SNR from the second second on; the same tones without hiss keep an SNR of at least 40 dB. A reset leaves no trace:
// silence after it comes out exactly zero. In steady state nothing is allocated.
TEST(HissRemover, RemovesHissKeepsMusicAndAllocatesNothing) {
  constexpr float kRate = 44100.0f;
  const size_t frames = 6 * static_cast<size_t>(kRate);
  const std::vector<float> clean = testing::MusicLike(static_cast<uint32_t>(frames), 2, kRate);
  const double level = testing::Rms(clean, 0, clean.size());
  std::vector<float> noisy = clean;
  testing::AddWhiteHiss(noisy, level * 0.0316, 11);
  const uint32_t latency = HissRemover::LatencyFor(kRate);
  auto snrDb = [&](const std::vector<float>& y, const std::vector<float>& reference) {
    double signal = 0.0, error = 0.0;
    for (size_t i = 2 * static_cast<size_t>(kRate); i < reference.size(); ++i) {
      signal += double{reference[i]} * reference[i];
      error += std::pow(double{y[i + 2 * latency]} - reference[i], 2);
    }
    return 10 * std::log10(signal / error);
  };
  HissChain chain(2, kRate);
  std::vector<float> padded = noisy;
  padded.resize(noisy.size() + 2 * size_t{latency} + 4096, 0.0f);
  chain.feed.QueueSignal(padded);
  chain.collect.samples.reserve(padded.size());
  chain.feed.Run();  // the first format allocates
  testing::StartCountingAllocations();
  while (chain.feed.Pending() > 0) chain.feed.Run();
  EXPECT_EQ(testing::StopCountingAllocations(), 0);
  const double before = 10 * std::log10(level * level / (level * level * 0.001));
  EXPECT_GT(snrDb(chain.collect.samples, clean), before + 6.0);

  HissChain untouched(2, kRate);
  std::vector<float> cleanPadded = clean;
  cleanPadded.resize(clean.size() + 2 * size_t{latency} + 4096, 0.0f);
  EXPECT_GT(snrDb(untouched.Run(cleanPadded), clean), 40.0);

  chain.feed.RequestReset();
  chain.collect.samples.clear();
  for (float v : chain.Run(std::vector<float>(2 * 20000, 0.0f))) ASSERT_EQ(v, 0.0f);
}

}  // namespace
}  // namespace veltane
