// The gaps of one channel: sorted, disjoint stretches of samples that the
// click remover has thrown away and filled, in stream positions.
//
// Capacity is fixed by Reserve (which allocates); nothing else allocates, so
// the list can live inside a running chain. Gaps never overlap or touch:
// whoever adds a gap first takes the union with its neighbours (Touching).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltane {

// Stream positions [start, end): end is one past the last sample.
struct Gap {
  int64_t start = 0;
  int64_t end = 0;
  int64_t Length() const { return end - start; }
  // The sample a fill's model window is centred on.
  int64_t Centre() const { return start + Length() / 2; }
  bool operator==(const Gap&) const = default;
};

class GapList {
 public:
  // Room for `capacity` gaps. Allocates; empties the list.
  void Reserve(size_t capacity);
  void Clear() { gaps_.clear(); }
  size_t Count() const { return gaps_.size(); }
  bool Full() const { return gaps_.size() >= capacity_; }
  const Gap& operator[](size_t index) const { return gaps_[index]; }

  // Whether a gap holds `position`.
  bool Holds(int64_t position) const;
  // Whether one gap holds all of `gap`.
  bool Covers(const Gap& gap) const;
  // Clean samples between `position` and the nearest gap (0 inside one);
  // INT64_MAX when the list is empty.
  int64_t Distance(int64_t position) const;
  // `gap` widened to take in every gap that overlaps or touches it.
  Gap Touching(const Gap& gap) const;
  // The nearest gap that ends at or before `position` and the nearest that
  // starts at or after `position`; false when there is none.
  bool Before(int64_t position, Gap* found) const;
  bool After(int64_t position, Gap* found) const;

  // Adds `gap`, dropping every gap inside it; the caller has widened it with
  // Touching first. False (and no change) when the list is full.
  bool Add(const Gap& gap);
  // Removes the first gap.
  void PopFront();

 private:
  // Index of the first gap that ends after `position`.
  size_t FirstEndingAfter(int64_t position) const;

  std::vector<Gap> gaps_;
  size_t capacity_ = 0;
};

}  // namespace veltane
