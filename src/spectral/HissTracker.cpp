// Minimum-statistics hiss tracking (Martin 2001) pooled in third-octave bands with a fitted slope limit.
#include "spectral/HissTracker.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include "framework/KernelLevel.h"
#include "framework/Lanes.h"

namespace veltane {
namespace {

// Mean hiss power over the tracker's band level before correction, in dB,
// measured by running it on white noise (mean over 12 draws and all bins;
// the same within 0.2 dB at 16, 44.1 and 96 kHz), by the share of the span
// seen: 1/64, 1/32, ..., 1. The first frames' minima sit lower than later
// ones, so the correction falls back once they have left the span.
constexpr int kBiasPoints = 7;
constexpr float kBiasMonoDb[kBiasPoints] = {5.1f, 6.3f, 6.5f, 6.6f, 6.8f, 7.0f, 6.0f};
constexpr float kBiasStereoDb[kBiasPoints] = {3.1f, 3.9f, 4.1f, 4.2f, 4.4f, 4.6f, 4.2f};

// The slope fit's four sums (x, y, x^2, x y over the bins in use), each
// accumulated in bin order as a scalar loop would; a bin out of use adds
// zeros.
struct FitSumsKernel {
  template <class Isa>
  static void Run(const double* terms, const double* use, uint32_t n, double* sums) {
    Lanes<double, 4> acc{};
    for (uint32_t i = 0; i < n; ++i) {
      Lanes<double, 4> t;
      LoadLanes(t, terms + 4 * size_t{i});
      acc += t * use[i];
    }
    StoreLanes(acc, sums);
  }
};

// Takes out of use the bins above the fitted line by more than limitDb;
// returns how many.
struct OutlierKernel {
  template <class Isa>
  static uint32_t Run(const float* db, const float* octave, double* use, uint32_t n, double offset, double rise,
                      double limitDb) {
    constexpr int kW = Isa::kDoubleLanes;
    using V = Lanes<double, kW>;
    using F = Lanes<float, kW>;
    V dropped{};
    uint32_t i = 0;
    for (; i + kW <= n; i += kW) {
      F y, x;
      LoadLanes(y, db + i);
      LoadLanes(x, octave + i);
      V u;
      LoadLanes(u, use + i);
      const auto drop = (__builtin_convertvector(y, V) > offset + rise * __builtin_convertvector(x, V) + limitDb) &
                        (u != 0.0);
      StoreLanes(V{drop ? V{} : u}, use + i);
      dropped += drop ? 1.0 - V{} : V{};
    }
    uint32_t count = 0;
    for (int l = 0; l < kW; ++l) count += static_cast<uint32_t>(dropped[l]);
    for (; i < n; ++i) {
      if (use[i] != 0.0 && db[i] > offset + rise * octave[i] + limitDb) {
        use[i] = 0.0;
        ++count;
      }
    }
    return count;
  }
};

}  // namespace

void HissTracker::Setup(uint32_t n, uint32_t hop, float sampleRate, uint16_t channels) {
  bins_ = n / 2 + 1;
  channels_ = std::max<uint16_t>(channels, 1);
  const double framesPerSecond = sampleRate / std::max<double>(hop, 1.0);
  smoothing_ = static_cast<float>(std::exp(-1.0 / kSmoothingFrames));
  bandSmoothing_ = static_cast<float>(std::exp(-double{kBandEvery} / (kBandRiseSeconds * framesPerSecond)));
  bandFall_ = static_cast<float>(std::exp(-double{kBandEvery} / (kBandFallSeconds * framesPerSecond)));
  subLength_ = kSubWindowFrames;
  smoothed_.assign(bins_, 0.0f);
  running_.assign(bins_, FLT_MAX);
  finished_.assign(bins_, FLT_MAX);
  subMinima_.assign(size_t{bins_} * (kSubWindows - 1), FLT_MAX);
  estimate_.assign(bins_, 0.0f);

  // Bands: from bin 1 up, a third of an octave wide but at least 8 bins;
  // a narrower remainder at the top joins the last band. Bin 0 joins band 0.
  bandLo_.clear();
  bandHi_.clear();
  uint32_t lo = 1;
  while (lo < bins_) {
    uint32_t hi = std::max(lo + kMinBandBins, static_cast<uint32_t>(std::lround(lo * 1.2599210498948732)));
    if (hi + kMinBandBins > bins_) hi = bins_;
    bandLo_.push_back(lo);
    bandHi_.push_back(hi);
    lo = hi;
  }
  if (!bandLo_.empty()) bandLo_[0] = 0;
  const size_t bands = bandLo_.size();
  bandCentre_.assign(bands, 0.0f);
  bandOctave_.assign(bands, 0.0f);
  centreBin_.assign(bands, 0);
  fitFirst_ = static_cast<uint32_t>(std::ceil(0.225 * n));
  fitEnd_ = std::min<uint32_t>(bins_, static_cast<uint32_t>(std::floor(0.45 * n)) + 1);
  fitOctave_.assign(fitEnd_ - fitFirst_, 0.0f);
  for (uint32_t k = fitFirst_; k < fitEnd_; ++k) fitOctave_[k - fitFirst_] = static_cast<float>(std::log2(k));
  fitDb_.assign(fitEnd_ - fitFirst_, 0.0f);
  // NaN: unequal to every value, so the first fit takes every logarithm.
  fitPower_.assign(fitEnd_ - fitFirst_, std::numeric_limits<float>::quiet_NaN());
  fitUse_.assign(fitEnd_ - fitFirst_, 0.0);
  // x and x^2 stay; y and x y follow each fit bin's level.
  fitTerms_.assign(4 * size_t{fitEnd_ - fitFirst_}, 0.0);
  for (uint32_t i = 0; i + fitFirst_ < fitEnd_; ++i) {
    const double x = fitOctave_[i];
    fitTerms_[4 * size_t{i}] = x;
    fitTerms_[4 * size_t{i} + 2] = x * x;
  }
  size_t widest = 0;
  for (size_t b = 0; b < bands; ++b) {
    const double first = std::max<uint32_t>(bandLo_[b], 1), last = bandHi_[b] - 1;
    bandCentre_[b] = static_cast<float>(std::sqrt(first * last));
    bandOctave_[b] = static_cast<float>(std::log2(bandCentre_[b]));
    // The first bin at or above the centre, as the spreading compares them.
    uint32_t bin = static_cast<uint32_t>(bandCentre_[b]);
    while (static_cast<float>(bin) < bandCentre_[b]) ++bin;
    centreBin_[b] = bin;
    widest = std::max<size_t>(widest, bandHi_[b] - bandLo_[b]);
  }
  bandDb_.assign(bands, 0.0f);
  rawDb_.assign(bands, 0.0f);
  scratch_.assign(widest, 0.0f);
  order_.resize(bins_);
  for (uint32_t k = 0; k < bins_; ++k) order_[k] = k;
  Reset();
}

void HissTracker::Reset() {
  std::fill(smoothed_.begin(), smoothed_.end(), 0.0f);
  std::fill(running_.begin(), running_.end(), FLT_MAX);
  std::fill(finished_.begin(), finished_.end(), FLT_MAX);
  std::fill(subMinima_.begin(), subMinima_.end(), FLT_MAX);
  std::fill(estimate_.begin(), estimate_.end(), 0.0f);
  framesSeen_ = framesInSub_ = subCount_ = subNext_ = 0;
  slopeDb_ = 0.0f;
  bandsSet_ = false;
}

void HissTracker::Update(const float* power) {
  const uint32_t n = bins_;
  if (n == 0) return;
  // The total only decides whether the frame is used: summed in four
  // independent lanes, which vectorise (the order moves it by rounding only).
  // Two vectors of two lanes: at the baseline a vector of four lived in
  // memory through the loop.
  Lanes<double, 2> low{}, high{};
  uint32_t k = 0;
  for (; k + 4 <= n; k += 4) {
    Lanes<float, 2> p, q;
    LoadLanes(p, power + k);
    LoadLanes(q, power + k + 2);
    low += __builtin_convertvector(p, decltype(low));
    high += __builtin_convertvector(q, decltype(high));
  }
  double first = low[0];
  for (; k < n; ++k) first += power[k];
  const double total = (first + low[1]) + (high[0] + high[1]);
  // Digital silence says nothing about the hiss; a NaN or an infinity must
  // not enter the recursions.
  if (!(total > 0.0) || !(total < 1e30)) return;

  float* s = smoothed_.data();
  float* running = running_.data();
  // A plain mean until the smoothing's own weight takes over: the first
  // frames' S would otherwise vary more than later ones and pull the minimum down.
  const float a = std::min(smoothing_, static_cast<float>(framesSeen_) / static_cast<float>(framesSeen_ + 1));
  for (k = 0; k < n; ++k) {
    s[k] = a * s[k] + (1.0f - a) * power[k];
    running[k] = std::min(running[k], s[k]);
  }
  ++framesSeen_;
  if (++framesInSub_ == subLength_) {
    // The running sub-window is finished: it replaces the oldest kept one.
    std::copy(running, running + n, subMinima_.data() + size_t{subNext_} * n);
    subNext_ = (subNext_ + 1) % (kSubWindows - 1);
    subCount_ = std::min<uint32_t>(subCount_ + 1, kSubWindows - 1);
    std::fill(finished_.begin(), finished_.end(), FLT_MAX);
    float* finished = finished_.data();
    for (uint32_t w = 0; w < subCount_; ++w) {
      const float* m = subMinima_.data() + size_t{w} * n;
      for (uint32_t k = 0; k < n; ++k) finished[k] = std::min(finished[k], m[k]);
    }
    std::fill(running, running + n, FLT_MAX);
    framesInSub_ = 0;
  }
  if ((framesSeen_ - 1) % kBandEvery == 0) UpdateBands();
}

float HissTracker::BiasDb() const {
  const double span = static_cast<double>(subLength_) * kSubWindows;
  const double share = std::min(1.0, framesSeen_ / span);
  // Points at share 2^(i - 6); linear in log2 of the share between them.
  const double at = std::clamp(std::log2(std::max(share, 1e-9)) + (kBiasPoints - 1), 0.0, kBiasPoints - 1.0);
  const int i = std::min(static_cast<int>(at), kBiasPoints - 2);
  const double f = at - i;
  const float* table = channels_ >= 2 ? kBiasStereoDb : kBiasMonoDb;
  return static_cast<float>(table[i] + f * (table[i + 1] - table[i]));
}

void HissTracker::UpdateBands() {
  const size_t bands = bandLo_.size();
  if (bands == 0) return;
  const float bias = BiasDb();
  const float* finished = finished_.data();
  const float* running = running_.data();
  // The percentile of each band's minima: an insertion sort that starts from
  // the order the bins had at the last update. The minima move little
  // between updates, so the order mostly holds and the sort is a pass with a
  // few moves (a selection from scratch was most of this update's time); the
  // value at the percentile's rank is the same whatever way it is found.
  float* sorted = scratch_.data();
  for (size_t b = 0; b < bands; ++b) {
    const uint32_t lo = bandLo_[b], count = bandHi_[b] - lo;
    uint32_t* order = order_.data() + lo;
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t bin = order[i];
      const float value = std::min(finished[bin], running[bin]);
      uint32_t j = i;
      for (; j > 0 && value < sorted[j - 1]; --j) {
        sorted[j] = sorted[j - 1];
        order[j] = order[j - 1];
      }
      sorted[j] = value;
      order[j] = bin;
    }
    const float nth = sorted[static_cast<uint32_t>(kPercentile * static_cast<float>(count - 1))];
    rawDb_[b] = 10.0f * std::log10(std::max(nth, 1e-30f)) + bias;
  }

  // The hiss's slope from the bins at the top of the spectrum (each bin's
  // minimum in dB against log2 of its index), music peaks dropped as outliers.
  float slope = 0.0f;
  const uint32_t fitCount = fitEnd_ - fitFirst_;
  if (fitCount >= 2) {
    for (uint32_t i = 0; i < fitCount; ++i) {
      const uint32_t k = fitFirst_ + i;
      // A bin's minimum mostly stays from one fit to the next (it is the
      // finished sub-windows' one until the running window falls below it):
      // its logarithm is taken again only when it moved.
      const float power = std::max(std::min(finished[k], running[k]), 1e-30f);
      if (!(power == fitPower_[i])) {
        fitPower_[i] = power;
        fitDb_[i] = 10.0f * std::log10(power);
        const double y = fitDb_[i];
        fitTerms_[4 * size_t{i} + 1] = y;
        fitTerms_[4 * size_t{i} + 3] = fitTerms_[4 * size_t{i}] * y;
      }
      fitUse_[i] = 1.0;
    }
    double count = fitCount;
    for (int pass = 0; pass < kFitPasses; ++pass) {
      double sums[4];
      DispatchKernel<FitSumsKernel>(static_cast<const double*>(fitTerms_.data()),
                                    static_cast<const double*>(fitUse_.data()), fitCount, sums);
      const double sx = sums[0], sy = sums[1], sxx = sums[2], sxy = sums[3];
      const double det = count * sxx - sx * sx;
      if (count < 2 || !(det > 1e-9)) break;
      const double rise = (count * sxy - sx * sy) / det;  // dB per octave, upward in frequency
      const double offset = (sy - rise * sx) / count;
      slope = static_cast<float>(std::clamp(-rise, 0.0, double{kMaxSlopeDb}));
      const uint32_t dropped =
          DispatchKernel<OutlierKernel>(static_cast<const float*>(fitDb_.data()),
                                        static_cast<const float*>(fitOctave_.data()), fitUse_.data(), fitCount, offset,
                                        rise, double{kOutlierDb});
      if (dropped == 0) break;
      count -= dropped;
    }
  }
  slopeDb_ = slope;
  for (size_t b = bands - 1; b-- > 0;) {
    rawDb_[b] = std::min(rawDb_[b], rawDb_[b + 1] + slope * (bandOctave_[b + 1] - bandOctave_[b]));
  }

  if (!bandsSet_) {
    std::copy(rawDb_.begin(), rawDb_.end(), bandDb_.begin());
    bandsSet_ = true;
  } else {
    for (size_t b = 0; b < bands; ++b) {
      const float c = rawDb_[b] < bandDb_[b] ? bandFall_ : bandSmoothing_;
      bandDb_[b] = c * bandDb_[b] + (1.0f - c) * rawDb_[b];
    }
  }

  // Spread over the bins: flat outside the outer centres, geometric between them.
  float* estimate = estimate_.data();
  const uint32_t n = bins_;
  uint32_t k = 0;
  // Below the first centre the fitted slope continues: pink hiss doubles per
  // octave down there, and the lowest bins hold most of its power.
  for (; k < std::min(n, centreBin_[0]); ++k) {
    const float octavesDown = bandOctave_[0] - std::log2(static_cast<float>(std::max<uint32_t>(k, 1)));
    estimate[k] = std::pow(10.0f, 0.1f * (bandDb_[0] + slope * octavesDown));
  }
  for (size_t b = 0; b + 1 < bands; ++b) {
    const float span = bandCentre_[b + 1] - bandCentre_[b];
    const float stepDb = (bandDb_[b + 1] - bandDb_[b]) / span;
    const uint32_t end = std::min(n, centreBin_[b + 1]);
    if (k >= end) continue;
    float level = std::pow(10.0f, 0.1f * (bandDb_[b] + stepDb * (static_cast<float>(k) - bandCentre_[b])));
    const float ratio = std::pow(10.0f, 0.1f * stepDb);
    for (; k < end; ++k) {
      estimate[k] = level;
      level *= ratio;
    }
  }
  const float lastLevel = std::pow(10.0f, 0.1f * bandDb_[bands - 1]);
  for (; k < n; ++k) estimate[k] = lastLevel;
}

}  // namespace veltane
