// The eight polyphase IIR half-band designs shared by the split and merge stages.
//
// Design d has d + 3 first-order allpass coefficients c1 < c2 < ... in (0, 1),
// dealt alternately into listA (c1, c3, ...) and listB (c2, c4, ...). Each list
// is one branch of the polyphase pair and runs at the half rate. Higher designs
// are steeper: the lower band of a split is down about 30 + 10 d dB from 0.3 of
// the full rate upwards, at the cost of more sections and group delay.
#pragma once

#include <cstdint>

namespace veltane {

struct HalfbandDesign {
  const float* listA;
  uint16_t countA;
  const float* listB;
  uint16_t countB;
};

constexpr uint32_t kHalfbandDesignCount = 8;
constexpr uint16_t kHalfbandMaxListLength = 5;

// The design with that number, or null when there is none (d above 7). The
// lists are static and never change.
const HalfbandDesign* GetHalfbandDesign(uint32_t d);

}  // namespace veltane
