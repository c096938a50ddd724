// One channel's click search over one 1024-sample block: finds each click's
// true extent and fills it from a short AR model.
//
// The block is searched in its middle half. Each seed (a sample that stands
// far from its own interpolation, or amid a run of samples that together
// stand far from theirs; strongest first) starts a one-sample gap
// that grows while samples just beyond its edges, with the gap filled,
// still stand out; edge samples whose arrived value then lies close to the
// fill go back. So a gap ends where the click ends, not at a width guessed
// from its height. A seed must be the stronger the more samples it adds to
// the gaps, gaps longer than kMaxGap are left alone (a long scratch is not
// smeared), and gaps close together are joined. A gap that stops short of a
// smooth decay takes in the decay's tail, found against a prediction from
// before the click alone; a seed a little under its bar counts where
// nothing else in the block stands out. The statistic is
// ClickStatistic.h's, from a model fitted with loud bursts weighed down (a
// click must not shape the model that should find it); the fill is
// GapInterpolator's with the block's model.
// The final, long-model fill of each gap is the caller's.
//
// Work happens on a mean-free copy of the block; Store writes back only the
// samples that a fill or a trim touched, so clean samples come back bit for
// bit. Positions in the GapList are stream positions. Allocates in the
// constructor only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "declick/GapInterpolator.h"
#include "declick/GapList.h"

namespace veltane {

class ExtentDetector {
 public:
  static constexpr int32_t kOrder = 24;          // short model
  static constexpr int32_t kBlock = 1024;        // samples per block
  static constexpr int32_t kSearchBegin = 256;   // seeds come from [kSearchBegin, kSearchEnd)
  static constexpr int32_t kSearchEnd = 768;
  static constexpr int32_t kKeepBegin = 48;      // gaps stay inside [kKeepBegin, kKeepEnd)
  static constexpr int32_t kKeepEnd = 976;
  static constexpr int32_t kMaxGap = 160;        // longer stretches are left alone
  static constexpr int32_t kJoinDistance = 100;  // clean samples between gaps that join
  static constexpr int32_t kNearDistance = 100;  // a weaker seed counts this close to a gap
  static constexpr int32_t kMaxSeeds = 48;       // seeds tried per look

  // What a seed needs, and where the stream starts.
  struct Settings {
    float seedBar = 12.0f;  // z of a seed
    float nearBar = 8.0f;   // z of a seed within kNearDistance of a gap
    int64_t firstPosition = 0;  // no gap reaches before this stream position
  };

  ExtentDetector();

  // Copies stream positions [blockStart - kOrder, blockStart + kBlock) from
  // `from` (the sample at blockStart - kOrder; the stream as repaired so
  // far) and removes their mean; `arrived` is the same stretch as it
  // arrived, read (not copied) until Store. Forgets the gaps of the
  // previous block.
  void Load(const float* from, const float* arrived, int64_t blockStart);
  // One look: fits the model to the block as it now stands, then seeds,
  // grows and joins gaps, adding them to `gaps`. Returns the gaps made;
  // raises *peak to the largest z of the searched half.
  int32_t Look(GapList& gaps, const Settings& settings, float* peak);
  // A gap found in another channel: added (widened by the gaps it touches)
  // and filled with the last look's model, unless `gaps` covers it already,
  // the union would exceed kMaxGap, or no look has a model.
  void Link(GapList& gaps, const Gap& gap, const Settings& settings);
  // Writes the filled samples back (to the sample at blockStart - kOrder),
  // with the mean restored; every other sample is left as it is.
  void Store(float* to) const;

  // The gaps the looks of this block made, in the order they were made.
  int32_t MadeCount() const { return madeCount_; }
  const Gap& Made(int32_t i) const { return made_[static_cast<size_t>(i)]; }

 private:
  // Indices below are block indices: sample i of the block is copy_[kOrder + i].
  bool Fit();
  // z at block indices [first, first + count) into z, with spread `sigma`.
  void StatisticAt(int32_t first, int32_t count, float sigma, float* z);
  bool Fill(int32_t first, int32_t last);  // inclusive
  // A seed's strength from the z of the kWideSpan samples around it,
  // z[kWideSpan / 2] being its own.
  static float Strength(const float* z);
  // Whether no sample of the searched half beyond kCalmReach of `index`
  // and away from the gaps has a z above kCalmBar (as of the last Look's
  // statistic).
  bool Calm(const GapList& gaps, int32_t index) const;
  // The last sample after the filled gap [first, last] that the click's
  // decay still reaches (see kTailBar); `last` when none does.
  int32_t TailEnd(int32_t first, int32_t last, float sigma);
  // Grows, trims, weighs, joins and commits a seed at `index` with
  // statistic z against `bar`; false when it was dropped.
  bool Seed(int32_t index, float z, float bar, GapList& gaps, const Settings& settings);
  // Grows the filled gap [*first, *last] until no sample beyond its edges
  // stands out; false when it outgrew kMaxGap or could not be filled.
  bool Grow(const GapList& gaps, int32_t lowest, float sigma, int32_t* first, int32_t* last);
  // Whether a seed of statistic z (against `bar`) is strong enough for the
  // samples its gap [first, last] adds to `gaps`.
  bool Evident(const GapList& gaps, float z, float bar, int32_t first, int32_t last) const;
  // The mean absolute deviation of the block over [first, last] as it now
  // stands, as far as the copy reaches; 0 for none.
  float Level(int32_t first, int32_t last) const;
  // Joins close neighbours and takes in touching gaps, refilling when the
  // gap changed; false when the union would exceed kMaxGap.
  bool Join(const GapList& gaps, int32_t lowest, int32_t* first, int32_t* last);
  // [first, last] widened by every gap of `gaps` it overlaps or touches.
  void Widen(const GapList& gaps, int32_t* first, int32_t* last) const;
  bool Dropped(int32_t index) const;
  // Whether `index` sits within the statistic's reach of an edge between
  // digital silence and sound; whether arrived samples [first, last] hold
  // a run of exact zeros.
  bool AtSilenceEdge(int32_t index) const;
  bool SilentWithin(int32_t first, int32_t last) const;
  void MarkFilled(int32_t first, int32_t last);  // copy_ indices, inclusive
  float Arrived(int32_t at) const { return arrived_[at] - loadMean_; }
  // Gives back edge samples of the filled gap [*first, *last] that sit
  // within the model's reach of their interpolation; refills what is left.
  // The left edge goes no farther right than keepFirst, the right one no
  // farther left than keepLast (by default both are free).
  void Trim(int32_t* first, int32_t* last, float sigma, int32_t keepFirst = kBlock, int32_t keepLast = -kBlock);
  int32_t LowestIndex(const Settings& settings) const;

  int64_t blockStart_ = 0;
  float loadMean_ = 0.0f;   // removed by Load, restored by Store
  float norm_ = 0.0f;       // sqrt(sum a^2)
  bool model_ = false;
  std::vector<float> copy_;      // kOrder + kBlock
  const float* arrived_ = nullptr;  // the block before any repair, with its mean
  std::vector<uint8_t> filled_;  // per copy_ sample: written by a fill or a trim
  int32_t dirtyFirst_ = 0;       // filled_ is clear outside [dirtyFirst_, dirtyLast_]
  int32_t dirtyLast_ = kOrder + kBlock - 1;
  std::vector<float> window_;    // Hann, kBlock
  std::vector<float> weights_;   // the window with loud bursts weighed down, kBlock
  std::vector<float> scratch_;   // kBlock + kShortLagPad
  std::vector<double> coeffs_;   // kOrder + 1
  std::vector<float> coeffsF_;   // kOrder + 1
  std::vector<float> errors_;    // kBlock
  std::vector<float> z_;         // the searched half and kWideSpan / 2 samples either side
  std::vector<float> run_;       // sums of z^2 over kWideSpan samples, as z_
  std::vector<float> meanAbs_;   // sub-blocks
  std::vector<float> spread_;    // sub-blocks
  std::vector<float> edgeErrors_;  // errors around one edge
  std::vector<float> edgeZ_;
  struct Candidate {
    float z;
    int32_t index;
  };
  std::vector<Candidate> candidates_;  // kSearchEnd - kSearchBegin
  std::vector<float> saved_;           // the stretch a seed may change
  std::vector<uint8_t> savedFilled_;
  struct Stretch {
    int32_t first, last;
  };
  std::vector<Stretch> dropped_;  // stretches left alone in this block
  int32_t droppedCount_ = 0;
  std::vector<Gap> made_;         // kMaxSeeds x 2 looks
  std::vector<double> tail_;      // TailEnd's prediction, kMaxGap + its span
  std::vector<double> impulse_;   // the model's impulse response, as tail_
  int32_t madeCount_ = 0;
  GapInterpolator fill_;
};

}  // namespace veltane
