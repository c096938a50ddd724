// One channel's click search over one block: seeds, growth to each click's
// extent, joins.
#include "declick/ExtentDetector.h"

#include <algorithm>
#include <cmath>

#include "declick/ClickStatistic.h"
#include "declick/Vec.h"

namespace veltane {
namespace {

constexpr int32_t kSubBlock = 32;       // samples per spread sub-block
constexpr int32_t kSpreadSpan = 6;      // sub-blocks either side in the median
constexpr float kSpreadFloor = 1e-7f;   // digital silence still has a yardstick
constexpr double kLoading = 1e-5;       // zero-lag loading of the short model
// Sub-blocks louder than this many times the RMS of those within
// kRobustSpan of them weigh only that much in the fit: a click fitted by the
// model would be predicted by it. Measured on the evaluation recordings:
// 2 fixed 4-8 % more of the clicks in quiet passages than no weighing, 3 or
// 5 about half of that, 1.5 weighed down the music too.
constexpr float kRobustLimit = 2.0f;
constexpr int32_t kRobustSpan = 4;
constexpr int32_t kEdgeSpan = 12;       // samples looked at beyond each edge
constexpr float kEdgeBar = 3.0f;        // z that still belongs to the click
constexpr int32_t kEdgeMargin = 2;      // samples taken beyond the last such one
constexpr float kTrimBar = 3.0f;        // deviations of an edge sample that still count as clean
constexpr int32_t kSilentRun = 16;      // exact zeros in a row that make digital silence
constexpr int32_t kOnsetSpan = 96;      // samples compared on either side of a gap
constexpr float kOnsetStep = 32.0f;      // a level rising this much makes an onset
constexpr float kOnsetFactor = 2.0f;    // an onset's seed must be this much stronger
// Samples a seed adds to the gaps per unit of z it needs above its bar.
// Since the final fill separates a click from the music under it, a wide
// gap costs clean audio less: 120 rather than 80 keeps a 56-sample scratch
// of z 18 in a quiet passage, and of the clean recordings repairs one more
// stretch of guitar only (still 80 dB from the original).
constexpr float kEvidenceSpan = 120.0f;
// A click a few samples wide whose every sample stands out moderately (a
// low, wide impulse; a burst in a noise-like passage) seeds too: the root
// mean square of z over kWideSpan samples centred on a sample counts
// kWideWeight times, when that is more than the sample's own z.
constexpr int32_t kWideSpan = 8;
constexpr int32_t kWideHalf = kWideSpan / 2;
constexpr float kWideWeight = 1.6667f;
static_assert(kWideSpan <= kEdgeSpan, "a run's statistic is recomputed in the edge buffers");
constexpr int32_t kSearchCount = ExtentDetector::kSearchEnd - ExtentDetector::kSearchBegin;
constexpr int32_t kCopyLength = ExtentDetector::kOrder + ExtentDetector::kBlock;
constexpr int32_t kSaveReach = ExtentDetector::kMaxGap + 1;  // a seed changes nothing farther off
constexpr double kTwoPi = 6.283185307179586;

// A seed a little under its bar still counts where nothing else in the
// searched half stands out: in a quiet, noise-like passage the statistic
// is light-tailed, and a click 3-8 times its level peaks at z 10-12 there.
// Samples within kCalmReach of the seed (its own reach) and near a gap
// (a click already found) do not count against it. 0.85 found one click
// more on speech but repaired two stretches of the clean speech recording
// (26 samples); 0.9 leaves every clean recording as before.
constexpr float kCalmFactor = 0.9f;
constexpr float kCalmBar = 5.0f;
constexpr int32_t kCalmReach = 64;
// A click that decays smoothly (a stylus hitting a defect: a step, then an
// exponential fall) is predicted by the model from both sides, so its gap
// stops at the onset and the fill ramps up to the tail. Predicted forward
// from before the gap alone, the samples after it stay off by the tail.
// Samples there that lie more than kTailBar deviations of that prediction
// off it, each on the click's side and no farther off than kTailGrowth
// times the one before (a decay, not the music's own swing), join the gap.
// Only a seed with no gap within kNearDistance: the prediction must start
// from clean samples. Measured on the evaluation recordings' clicks (two
// draws): speech 1 and 2 more of 48 clicks fixed, the median 2.3 and 1.2 dB
// higher, no clean recording changed; a bar of 4, no sign rule, or a growth
// of 1.0 or 1.5 did worse on one file or another.
constexpr float kTailBar = 3.0f;
constexpr double kTailGrowth = 1.25;
constexpr int32_t kTailSpan = 48;  // samples predicted beyond the gap
constexpr int32_t kTailMin = 2;    // a shorter tail is the prediction's own error
}  // namespace

ExtentDetector::ExtentDetector()
    : copy_(kCopyLength, 0.0f),
      filled_(kCopyLength, 0),
      window_(kBlock),
      weights_(kBlock),
      scratch_(kBlock + kShortLagPad),
      coeffs_(kOrder + 1, 0.0),
      coeffsF_(kOrder + 1, 0.0f),
      errors_(kBlock),
      z_(kSearchCount + kWideSpan),
      run_(kSearchCount + kWideSpan),
      meanAbs_(kBlock / kSubBlock),
      spread_(kBlock / kSubBlock),
      edgeErrors_(kEdgeSpan + kOrder),
      edgeZ_(2 * kEdgeSpan),
      candidates_(kSearchCount),
      saved_(2 * kSaveReach + 1),
      savedFilled_(2 * kSaveReach + 1),
      dropped_(kMaxSeeds * 2),
      made_(kMaxSeeds * 2),
      tail_(kMaxGap + kTailSpan + 1),
      impulse_(kMaxGap + kTailSpan + 1),
      fill_(kOrder, kMaxGap, 0) {
  for (int32_t i = 0; i < kBlock; ++i) {
    window_[i] = static_cast<float>(0.5 - 0.5 * std::cos(kTwoPi * (i + 0.5) / kBlock));
  }
}

void ExtentDetector::Load(const float* from, const float* arrived, int64_t blockStart) {
  blockStart_ = blockStart;
  Vec4f sum = {};
  for (int32_t i = kOrder; i < kCopyLength; i += 4) sum += vec::Load(from + i);
  loadMean_ = (sum[0] + sum[1] + sum[2] + sum[3]) / kBlock;
  for (int32_t i = 0; i < kCopyLength; ++i) copy_[i] = from[i] - loadMean_;
  arrived_ = arrived;
  if (dirtyLast_ >= dirtyFirst_) std::fill(filled_.begin() + dirtyFirst_, filled_.begin() + dirtyLast_ + 1, 0);
  dirtyFirst_ = kCopyLength;
  dirtyLast_ = -1;
  model_ = false;
  madeCount_ = 0;
  droppedCount_ = 0;
}

bool ExtentDetector::Fit() {
  // The copy is mean-free since Load; fills move its mean too little to
  // matter to the model. Loud bursts are weighed down first.
  const bool weighed = RobustWeights(copy_.data() + kOrder, window_.data(), kBlock / kSubBlock, kSubBlock,
                                     kRobustSpan, kRobustLimit, weights_.data());
  model_ = FitShortModel(copy_.data() + kOrder, kBlock, weighed ? weights_.data() : window_.data(), kOrder, kLoading,
                         scratch_.data(), coeffs_.data());
  if (!model_) return false;
  float sumA2 = 0.0f;
  for (int32_t k = 0; k <= kOrder; ++k) {
    coeffsF_[k] = static_cast<float>(coeffs_[k]);
    sumA2 += coeffsF_[k] * coeffsF_[k];
  }
  norm_ = std::sqrt(sumA2);
  fill_.SetModel(coeffs_.data(), kOrder);
  return true;
}

void ExtentDetector::MarkFilled(int32_t first, int32_t last) {
  std::fill(filled_.begin() + first, filled_.begin() + last + 1, 1);
  dirtyFirst_ = std::min(dirtyFirst_, first);
  dirtyLast_ = std::max(dirtyLast_, last);
}

void ExtentDetector::StatisticAt(int32_t first, int32_t count, float sigma, float* z) {
  ShortPredictionErrors(copy_.data() + kOrder + first, coeffsF_.data(), kOrder, count + kOrder, edgeErrors_.data());
  InterpolationErrors(edgeErrors_.data(), coeffsF_.data(), kOrder, count, z);
  const float scale = 1.0f / (sigma * norm_);
  for (int32_t i = 0; i < count; ++i) z[i] *= scale;
}

bool ExtentDetector::Fill(int32_t first, int32_t last) {
  const int32_t at = kOrder + first;
  if (!fill_.Fill(copy_.data() + at, last - first + 1, 0.0)) return false;
  MarkFilled(at, at + (last - first));
  return true;
}

int32_t ExtentDetector::LowestIndex(const Settings& settings) const {
  const int64_t first = settings.firstPosition - blockStart_;
  return static_cast<int32_t>(std::clamp<int64_t>(first, kKeepBegin, kBlock));
}

bool ExtentDetector::SilentWithin(int32_t first, int32_t last) const {
  first = std::max(kOrder + first, 0);
  last = std::min(kOrder + last, kOrder + kBlock - 1);
  int32_t run = 0;
  for (int32_t i = first; i <= last; ++i) {
    run = arrived_[i] == 0.0f ? run + 1 : 0;
    if (run >= kSilentRun) return true;
  }
  return false;
}

bool ExtentDetector::AtSilenceEdge(int32_t index) const {
  // Digital silence is no recording: where exact zeros (the silence a
  // caller flushes with, an edit, a file's padding) meet sound that goes on
  // longer than a click could, the abrupt edge that the statistic sees
  // within its reach is left alone. A click inside silence has silence on
  // both sides within a gap's length, and is repaired.
  const int32_t reach = kOrder + kSilentRun;
  const bool before = SilentWithin(index - reach, index);
  const bool after = SilentWithin(index, index + reach);
  if (before == after) return false;
  return before ? !SilentWithin(index, index + kMaxGap + reach) : !SilentWithin(index - kMaxGap - reach, index);
}

bool ExtentDetector::Dropped(int32_t index) const {
  for (int32_t i = 0; i < droppedCount_; ++i) {
    if (index >= dropped_[i].first && index <= dropped_[i].last) return true;
  }
  return false;
}

void ExtentDetector::Widen(const GapList& gaps, int32_t* first, int32_t* last) const {
  const Gap joined = gaps.Touching({blockStart_ + *first, blockStart_ + *last + 1});
  *first = static_cast<int32_t>(joined.start - blockStart_);
  *last = static_cast<int32_t>(joined.end - 1 - blockStart_);
}

int32_t ExtentDetector::Look(GapList& gaps, const Settings& settings, float* peak) {
  if (!Fit()) return 0;
  // Seeds, and so the spreads they are measured by, lie in the searched
  // half: the errors are needed kSpreadSpan sub-blocks around it, and as far
  // as the statistic of its last sample reaches.
  const int32_t errorsFirst = kSearchBegin - kSpreadSpan * kSubBlock;
  const int32_t errorsEnd = std::max(kSearchEnd + kSpreadSpan * kSubBlock, kSearchEnd + kOrder);
  ShortPredictionErrors(copy_.data() + kOrder + errorsFirst, coeffsF_.data(), kOrder, errorsEnd - errorsFirst,
                        errors_.data() + errorsFirst);
  // One sub-block beyond the searched half on each side: the wide
  // statistic of its first and last samples reaches there.
  LocalSpread(errors_.data() + errorsFirst, (errorsEnd - errorsFirst) / kSubBlock, kSubBlock, kSpreadSpan - 1,
              kSpreadSpan + kSearchCount / kSubBlock + 1, kSpreadSpan, kSpreadFloor, meanAbs_.data(),
              spread_.data() + kSearchBegin / kSubBlock - kSpreadSpan);
  const int32_t zFirst = kSearchBegin - kWideHalf;
  InterpolationErrors(errors_.data() + zFirst, coeffsF_.data(), kOrder, kSearchCount + kWideSpan, z_.data());
  // z is scaled a sub-block at a time, with that sub-block's spread.
  for (int32_t j = zFirst / kSubBlock; j <= (kSearchEnd + kWideHalf - 1) / kSubBlock; ++j) {
    const float scale = 1.0f / (spread_[j] * norm_);
    const int32_t from = std::max(j * kSubBlock, zFirst) - zFirst;
    const int32_t to = std::min((j + 1) * kSubBlock, kSearchEnd + kWideHalf) - zFirst;
    for (int32_t i = from; i < to; ++i) z_[i] *= scale;
  }

  // run_[i]: the sum of z^2 over z_[i .. i + kWideSpan), by pairs, fours and
  // eights.
  constexpr int32_t kRuns = kSearchCount + kWideSpan;
  float pairs[kRuns];
  float fours[kRuns];
  for (int32_t i = 0; i < kRuns; ++i) pairs[i] = z_[i] * z_[i];
  for (int32_t i = 0; i + 1 < kRuns; ++i) pairs[i] += pairs[i + 1];
  for (int32_t i = 0; i + 2 < kRuns; ++i) fours[i] = pairs[i] + pairs[i + 2];
  for (int32_t i = 0; i < kSearchCount; ++i) run_[i] = fours[i] + fours[i + 4];
  static_assert(kWideSpan == 8, "the runs are sums of eight");

  const int32_t lowest = LowestIndex(settings);
  const float entry = std::min(settings.seedBar, settings.nearBar);
  // The run's sum of squares passes the entry bar before any root is taken.
  const float runEntry = entry * entry * kWideSpan / (kWideWeight * kWideWeight);
  int32_t candidateCount = 0;
  float largest = 0.0f;
  const auto consider = [&](int32_t i) {
    const float own = z_[kWideHalf + i];
    largest = std::max(largest, own);
    if (own > entry || run_[i] > runEntry) candidates_[candidateCount++] = {Strength(z_.data() + i), kSearchBegin + i};
  };
  // The stream's abrupt start is not a click: nothing below `lowest` is
  // looked at. Four samples at a time after the first few: most samples are
  // no candidate, and each lane keeps the largest z of its own samples,
  // folded in below as one running maximum would.
  const int32_t start = std::clamp(lowest - kSearchBegin, 0, kSearchCount);
  int32_t i = start;
  for (; i < kSearchCount && i % 4 != 0; ++i) consider(i);
  static_assert(kSearchCount % 4 == 0, "whole vectors");
  const Vec4f entries = vec::Splat(entry);
  const Vec4f runEntries = vec::Splat(runEntry);
  Vec4f largestLanes = vec::Splat(0.0f);
  for (; i < kSearchCount; i += 4) {
    const Vec4f own = vec::Load(z_.data() + kWideHalf + i);
    largestLanes = largestLanes < own ? own : largestLanes;
    const Vec4i hit = (own > entries) | (vec::Load(run_.data() + i) > runEntries);
    if ((hit[0] | hit[1] | hit[2] | hit[3]) == 0) continue;
    for (int32_t l = 0; l < 4; ++l) {
      if (hit[l] != 0) candidates_[candidateCount++] = {Strength(z_.data() + i + l), kSearchBegin + i + l};
    }
  }
  for (int32_t l = 0; l < 4; ++l) largest = std::max(largest, largestLanes[l]);
  if (largest > *peak) *peak = largest;
  std::sort(candidates_.begin(), candidates_.begin() + candidateCount,
            [](const Candidate& a, const Candidate& b) { return a.z > b.z || (a.z == b.z && a.index < b.index); });

  int32_t made = 0;
  int32_t tried = 0;
  bool current = true;  // z_ still describes the block: nothing filled since
  for (int32_t c = 0; c < candidateCount && tried < kMaxSeeds; ++c) {
    const int32_t index = candidates_[c].index;
    const int64_t position = blockStart_ + index;
    if (gaps.Holds(position) || Dropped(index) || AtSilenceEdge(index)) continue;
    float bar = gaps.Distance(position) <= kNearDistance ? settings.nearBar : settings.seedBar;
    float z = candidates_[c].z;
    if (!current) {
      float around[kWideSpan];
      StatisticAt(index - kWideHalf, kWideSpan, spread_[index / kSubBlock], around);
      z = Strength(around);
    }
    if (!(z > bar) && bar == settings.seedBar && z > kCalmFactor * bar && Calm(gaps, index)) bar *= kCalmFactor;
    if (!(z > bar)) continue;
    ++tried;
    current = false;
    if (Seed(index, z, bar, gaps, settings)) ++made;
  }
  return made;
}

bool ExtentDetector::Calm(const GapList& gaps, int32_t index) const {
  const int32_t zFirst = kSearchBegin - kWideHalf;
  for (int32_t k = 0; k < kSearchCount + kWideSpan; ++k) {
    if (!(z_[k] > kCalmBar)) continue;
    const int32_t at = zFirst + k;
    if (at >= index - kCalmReach && at <= index + kCalmReach) continue;
    if (gaps.Distance(blockStart_ + at) <= kOrder) continue;
    return false;
  }
  return true;
}

float ExtentDetector::Strength(const float* z) {
  float sum = 0.0f;
  for (int32_t i = 0; i < kWideSpan; ++i) sum += z[i] * z[i];
  return std::max(z[kWideHalf], kWideWeight * std::sqrt(sum / kWideSpan));
}

bool ExtentDetector::Seed(int32_t index, float z, float bar, GapList& gaps, const Settings& settings) {
  const float sigma = spread_[index / kSubBlock];
  const int32_t lowest = LowestIndex(settings);
  int32_t first = index;
  int32_t last = index;

  const int32_t saveFirst = kOrder + std::max(index - kSaveReach, -kOrder);
  const int32_t saveLast = kOrder + std::min(index + kSaveReach, kBlock - 1);
  const int32_t saveCount = saveLast - saveFirst + 1;
  std::copy(copy_.begin() + saveFirst, copy_.begin() + saveLast + 1, saved_.begin());
  std::copy(filled_.begin() + saveFirst, filled_.begin() + saveLast + 1, savedFilled_.begin());
  const auto restore = [&] {
    std::copy(saved_.begin(), saved_.begin() + saveCount, copy_.begin() + saveFirst);
    std::copy(savedFilled_.begin(), savedFilled_.begin() + saveCount, filled_.begin() + saveFirst);
  };

  bool kept = Grow(gaps, lowest, sigma, &first, &last);
  bool evident = false;  // already weighed, with the tail
  if (kept) Trim(&first, &last, sigma);
  if (kept && gaps.Distance(blockStart_ + first) > kNearDistance) {
    const int32_t tail = std::min({TailEnd(first, last, sigma), kKeepEnd - 1, first + kMaxGap - 1});
    if (tail >= last + kTailMin) {
      // The tail joins, and grows as any gap; the growth's margin may go
      // back, and the faint half of the tail with it.
      int32_t tailFirst = first;
      int32_t tailLast = tail;
      bool taken = Grow(gaps, lowest, sigma, &tailFirst, &tailLast);
      if (taken) {
        Trim(&tailFirst, &tailLast, sigma, first, (last + tail) / 2);
        taken = Evident(gaps, z, bar, tailFirst, tailLast);
      }
      if (taken) {
        first = tailFirst;
        last = tailLast;
        evident = true;
      } else {
        // Back to the gap without its tail.
        restore();
        kept = Fill(first, last);
      }
    }
  }
  if (kept) {
    kept = (evident || Evident(gaps, z, bar, first, last)) && Join(gaps, lowest, &first, &last) &&
           gaps.Add({blockStart_ + first, blockStart_ + last + 1});
  }
  if (!kept) {
    // A long scratch or too weak a seed: the block goes back to how it was
    // and no seed inside the stretch is tried again in this block.
    restore();
    if (droppedCount_ < static_cast<int32_t>(dropped_.size())) dropped_[droppedCount_++] = {first, last};
    return false;
  }
  if (madeCount_ < static_cast<int32_t>(made_.size())) {
    made_[madeCount_++] = {blockStart_ + first, blockStart_ + last + 1};
  }
  return true;
}

bool ExtentDetector::Grow(const GapList& gaps, int32_t lowest, float sigma, int32_t* first, int32_t* last) {
  const int32_t highest = kKeepEnd - 1;
  float* zRight = edgeZ_.data();
  float* zLeft = edgeZ_.data() + kEdgeSpan;
  // Each step widens the gap by at least one sample, so the loop ends.
  for (int32_t step = 0; step <= kMaxGap; ++step) {
    Widen(gaps, first, last);
    if (*last - *first + 1 > kMaxGap || !Fill(*first, *last)) return false;
    // The farthest sample beyond each edge that still stands out, plus a
    // margin for a tail too faint to stand out on its own.
    int32_t newFirst = *first;
    int32_t newLast = *last;
    const int32_t right = std::min(kEdgeSpan, highest - *last);
    if (right > 0) StatisticAt(*last + 1, right, sigma, zRight);
    for (int32_t i = right - 1; i >= 0; --i) {
      if (zRight[i] > kEdgeBar) {
        newLast = std::min(*last + 1 + i + kEdgeMargin, highest);
        break;
      }
    }
    const int32_t left = std::min(kEdgeSpan, *first - lowest);
    if (left > 0) StatisticAt(*first - left, left, sigma, zLeft);
    for (int32_t i = 0; i < left; ++i) {
      if (zLeft[i] > kEdgeBar) {
        newFirst = std::max(*first - left + i - kEdgeMargin, lowest);
        break;
      }
    }
    if (newFirst == *first && newLast == *last) return true;
    *first = newFirst;
    *last = newLast;
  }
  return false;
}

int32_t ExtentDetector::TailEnd(int32_t first, int32_t last, float sigma) {
  // The model run forward from the samples before the gap with no new
  // innovation: p[n] predicts sample first + n. Its error there has the
  // variance sigma^2 times the sum of h^2 over the model's impulse response
  // h up to n, which grows the farther the prediction runs.
  const double* a = coeffs_.data();
  const float* x = copy_.data() + kOrder;
  const int32_t count = std::min(last - first + 1 + kTailSpan, kBlock - first);
  double* p = tail_.data();
  double* h = impulse_.data();
  const double bar2 = static_cast<double>(kTailBar) * kTailBar * sigma * sigma;
  double power = 0.0;
  double previous = 0.0;  // how far the last sample of the click lies off
  int32_t end = last;
  for (int32_t n = 0; n < count; ++n) {
    double predicted = 0.0;
    double response = n == 0 ? 1.0 : 0.0;
    for (int32_t k = 1; k <= kOrder; ++k) {
      if (n >= k) {
        predicted -= a[k] * p[n - k];
        response -= a[k] * h[n - k];
      } else {
        predicted -= a[k] * x[first + n - k];
      }
    }
    p[n] = predicted;
    h[n] = response;
    power += response * response;
    const double off = Arrived(kOrder + first + n) - predicted;
    if (first + n > last) {
      const bool decays = off * previous > 0.0 && std::fabs(off) <= kTailGrowth * std::fabs(previous);
      if (!decays || !(off * off > bar2 * power)) break;
      end = first + n;
    }
    previous = off;
  }
  return end;
}

bool ExtentDetector::Evident(const GapList& gaps, float z, float bar, int32_t first, int32_t last) const {
  // A long repair of clean audio does more harm than a short one: every
  // sample a seed adds to the gaps asks for a stronger seed.
  int64_t covered = 0;
  for (size_t i = 0; i < gaps.Count(); ++i) {
    const int64_t from = std::max(gaps[i].start, blockStart_ + first);
    const int64_t to = std::min(gaps[i].end, blockStart_ + last + 1);
    if (to > from) covered += to - from;
  }
  const auto added = static_cast<float>(last - first + 1 - covered);
  // A sound that starts out of quiet is no click, though its first samples
  // stand out against the loud part's spread: where the signal after the
  // gap is far louder than before it, the seed must be stronger still.
  const float before = Level(first - kOnsetSpan, first - 1);
  const float after = Level(last + 1, last + kOnsetSpan);
  const float onset = after > kOnsetStep * before ? kOnsetFactor : 1.0f;
  return z >= onset * bar * (1.0f + added / kEvidenceSpan);
}

float ExtentDetector::Level(int32_t first, int32_t last) const {
  // The copy holds block indices -kOrder .. kBlock - 1. Deviations from the
  // stretch's own mean: the block's mean need not be the quiet part's.
  first = std::max(first, -kOrder);
  last = std::min(last, kBlock - 1);
  if (last < first) return 0.0f;
  const float* x = copy_.data() + kOrder;
  const auto count = static_cast<float>(last - first + 1);
  float mean = 0.0f;
  for (int32_t i = first; i <= last; ++i) mean += x[i];
  mean /= count;
  float sum = 0.0f;
  for (int32_t i = first; i <= last; ++i) sum += std::fabs(x[i] - mean);
  return sum / count;
}

bool ExtentDetector::Join(const GapList& gaps, int32_t lowest, int32_t* first, int32_t* last) {
  // A neighbour whose near edge is close joins if the union stays short:
  // two clicks so close share one repair.
  const int32_t highest = kKeepEnd - 1;
  const int32_t alone[2] = {*first, *last};
  Gap near;
  if (gaps.Before(blockStart_ + *first, &near) && blockStart_ + *first - near.end <= kJoinDistance &&
      blockStart_ + *last + 1 - near.start <= kMaxGap && near.start - blockStart_ >= lowest) {
    *first = static_cast<int32_t>(near.start - blockStart_);
  }
  if (gaps.After(blockStart_ + *last + 1, &near) && near.start - (blockStart_ + *last + 1) <= kJoinDistance &&
      near.end - (blockStart_ + *first) <= kMaxGap && near.end - 1 - blockStart_ <= highest) {
    *last = static_cast<int32_t>(near.end - 1 - blockStart_);
  }
  // A join, or a trim that left part of an earlier gap outside, may leave
  // the union touching yet another gap.
  Widen(gaps, first, last);
  if (*last - *first + 1 > kMaxGap) return false;
  return (*first == alone[0] && *last == alone[1]) || Fill(*first, *last);
}

void ExtentDetector::Trim(int32_t* first, int32_t* last, float sigma, int32_t keepFirst, int32_t keepLast) {
  // An edge sample whose arrived value lies within kTrimBar deviations of
  // its interpolation (the deviation an edge sample of this gap has under
  // the model) was clean: it goes back, the smaller deviation first, and the
  // rest is refilled. This undoes the growth's margin and any reach of the
  // statistic past the click, so a one-sample click gets a one-sample gap.
  const float unit = sigma * sigma / (norm_ * norm_);
  while (*last > *first) {
    const auto variance = static_cast<float>(fill_.EdgeVariance()) * unit;
    const float dl = Arrived(kOrder + *first) - copy_[kOrder + *first];
    const float dr = Arrived(kOrder + *last) - copy_[kOrder + *last];
    const bool leftFree = *first < keepFirst;
    const bool rightFree = *last > keepLast;
    if (!leftFree && !rightFree) break;
    const bool leftSide = leftFree && (!rightFree || dl * dl <= dr * dr);
    const float d = leftSide ? dl : dr;
    if (!(d * d < kTrimBar * kTrimBar * variance)) break;
    const int32_t at = leftSide ? (*first)++ : (*last)--;
    copy_[kOrder + at] = Arrived(kOrder + at);
    MarkFilled(kOrder + at, kOrder + at);
    if (!Fill(*first, *last)) break;
  }
}

void ExtentDetector::Link(GapList& gaps, const Gap& gap, const Settings& settings) {
  if (!model_ || gaps.Covers(gap)) return;
  const Gap joined = gaps.Touching(gap);
  const int64_t first = joined.start - blockStart_;
  const int64_t last = joined.end - 1 - blockStart_;
  if (joined.Length() > kMaxGap || first < LowestIndex(settings) || last > kKeepEnd - 1) return;
  if (!gaps.Add(joined)) return;
  Fill(static_cast<int32_t>(first), static_cast<int32_t>(last));
}

void ExtentDetector::Store(float* to) const {
  for (int32_t i = dirtyFirst_; i <= dirtyLast_; ++i) {
    if (filled_[i]) to[i] = copy_[i] + loadMean_;
  }
}

}  // namespace veltane
