// RepairBlock on arbitrary blocks of what the chain can carry (finite
// floats) with arbitrary arguments: the block comes back finite, the meter is
// only ever raised, and nothing is written outside the block or the work
// arrays (canaries on both sides of each). Arguments outside the limits leave
// everything untouched.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "declick/RepairBlock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace veltane;
  constexpr size_t kGuard = 8;
  constexpr double kCanary = -1234.5;
  fuzz::FuzzInput in{data, data + size};
  const int32_t order = in.Byte() % 48 - 2;
  const int32_t length = in.U16() % 1400;
  const int32_t maxClicks = in.Byte() % 26 - 2;
  const double threshold = in.Level(-1.0f, 40.0f);
  const int32_t maxClickWidth = in.Byte() % 110 - 4;
  const bool anyFloat = in.Byte() % 2 == 1;  // else 16-bit steps

  // The block, then the work arrays in RepairWork's order, each followed by canaries.
  const size_t sizes[] = {size_t(length), kMaxModelOrder + 1, kMaxModelOrder + 1, size_t(length), kMaxGapLength,
                          kMaxGapLength,  kMaxGapLength,      kMaxGapLength,      kMaxGapResidual};
  std::vector<double> memory(kGuard, kCanary);
  double* at[9];
  for (size_t a = 0; a < 9; ++a) memory.resize(memory.size() + sizes[a] + kGuard, kCanary);
  for (size_t a = 0, offset = kGuard; a < 9; offset += sizes[a++] + kGuard) at[a] = &memory[offset];
  for (int32_t i = 0; i < length; ++i) {
    float value = static_cast<int16_t>(in.U16()) / 32768.0f;
    const uint32_t bits = anyFloat ? in.U32() : 0;
    if (anyFloat) std::memcpy(&value, &bits, sizeof value);
    at[0][i] = std::isfinite(value) ? value : 0.0;  // as the declick block loads them
  }
  const std::vector<double> before(memory);
  const float peakBefore = in.Level(0.0f, 50.0f);
  float peak = peakBefore;

  RepairBlock(at[0], length, order, maxClicks, threshold, maxClickWidth,
              RepairWork{at[1], at[2], at[3], at[4], at[5], at[6], at[7], at[8]}, peak);

  const auto canary = [](double v) { return v == kCanary; };
  bool holds = std::all_of(memory.begin(), memory.begin() + kGuard, canary);
  for (size_t a = 0; a < 9; ++a) holds = holds && std::all_of(at[a] + sizes[a], at[a] + sizes[a] + kGuard, canary);
  if (order < 1 || order > kMaxModelOrder || length < 2 * order + 101) {
    holds = holds && memory == before && peak == peakBefore;
  } else {
    const auto finite = [](double v) { return std::isfinite(v); };
    holds = holds && std::all_of(at[0], at[0] + length, finite) && peak >= peakBefore;
  }
  if (!holds) std::abort();
  return 0;
}
