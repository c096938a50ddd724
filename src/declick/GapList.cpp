// Sorted, disjoint gaps of one channel.
#include "declick/GapList.h"

#include <algorithm>
#include <cstdint>

namespace veltane {

void GapList::Reserve(size_t capacity) {
  gaps_.clear();
  gaps_.reserve(capacity);
  capacity_ = capacity;
}

size_t GapList::FirstEndingAfter(int64_t position) const {
  const auto it = std::upper_bound(gaps_.begin(), gaps_.end(), position,
                                   [](int64_t p, const Gap& g) { return p < g.end; });
  return static_cast<size_t>(it - gaps_.begin());
}

bool GapList::Holds(int64_t position) const {
  const size_t i = FirstEndingAfter(position);
  return i < gaps_.size() && gaps_[i].start <= position;
}

bool GapList::Covers(const Gap& gap) const {
  const size_t i = FirstEndingAfter(gap.start);
  return i < gaps_.size() && gaps_[i].start <= gap.start && gaps_[i].end >= gap.end;
}

int64_t GapList::Distance(int64_t position) const {
  int64_t best = INT64_MAX;
  const size_t i = FirstEndingAfter(position);
  if (i < gaps_.size()) best = std::max<int64_t>(gaps_[i].start - position, 0);
  if (i > 0) best = std::min(best, position - (gaps_[i - 1].end - 1));
  return best;
}

Gap GapList::Touching(const Gap& gap) const {
  Gap joined = gap;
  // Gaps ending at gap.start touch it; so does one starting at gap.end.
  for (size_t i = FirstEndingAfter(gap.start - 1); i < gaps_.size() && gaps_[i].start <= gap.end; ++i) {
    joined.start = std::min(joined.start, gaps_[i].start);
    joined.end = std::max(joined.end, gaps_[i].end);
  }
  return joined;
}

bool GapList::Before(int64_t position, Gap* found) const {
  const size_t i = FirstEndingAfter(position);
  if (i == 0) return false;
  *found = gaps_[i - 1];
  return true;
}

bool GapList::After(int64_t position, Gap* found) const {
  for (size_t i = FirstEndingAfter(position); i < gaps_.size(); ++i) {
    if (gaps_[i].start >= position) {
      *found = gaps_[i];
      return true;
    }
  }
  return false;
}

bool GapList::Add(const Gap& gap) {
  const size_t first = FirstEndingAfter(gap.start);
  size_t last = first;
  while (last < gaps_.size() && gaps_[last].end <= gap.end && gaps_[last].start >= gap.start) ++last;
  const size_t dropped = last - first;
  if (gaps_.size() - dropped + 1 > capacity_) return false;
  // Within the reserved capacity neither erase nor insert allocates.
  gaps_.erase(gaps_.begin() + static_cast<std::ptrdiff_t>(first),
              gaps_.begin() + static_cast<std::ptrdiff_t>(last));
  gaps_.insert(gaps_.begin() + static_cast<std::ptrdiff_t>(first), gap);
  return true;
}

void GapList::PopFront() {
  if (!gaps_.empty()) gaps_.erase(gaps_.begin());
}

}  // namespace veltane
