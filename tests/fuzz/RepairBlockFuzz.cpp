// RepairBlock on arbitrary blocks of what the chain can carry (finite
// floats) with arbitrary arguments: the block comes back finite, the meter
// is only ever raised, and nothing is written outside the block or the work
// arrays (canaries on both sides of each). Arguments outside the limits
// leave everything untouched.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "declick/RepairBlock.h"

namespace veltane::fuzz {
namespace {

constexpr size_t kGuard = 8;
constexpr double kCanary = -1234.5;

// An array of doubles with canaries on both sides.
class Guarded {
 public:
  explicit Guarded(size_t count) : storage(count + 2 * kGuard, kCanary), count(count) {}
  double* Data() { return storage.data() + kGuard; }
  bool Intact() const {
    const auto canary = [](double v) { return v == kCanary; };
    return std::all_of(storage.begin(), storage.begin() + kGuard, canary) &&
           std::all_of(storage.begin() + kGuard + count, storage.end(), canary);
  }

 private:
  std::vector<double> storage;
  size_t count;
};

void Check(bool holds) {
  if (!holds) std::abort();
}

}  // namespace
}  // namespace veltane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace veltane;
  using fuzz::Guarded;
  fuzz::FuzzInput in(data, size);
  const int32_t order = in.Byte() % 48 - 2;
  const int32_t length = in.U16() % 1400;
  const int32_t maxClicks = in.Byte() % 26 - 2;
  const double threshold = in.Level(-1.0f, 40.0f);
  const int32_t maxClickWidth = in.Byte() % 110 - 4;
  const bool audioLike = in.Byte() % 2 == 0;  // 16-bit steps, else any float bits

  Guarded x(static_cast<size_t>(length));
  for (int32_t i = 0; i < length; ++i) {
    float value = static_cast<int16_t>(in.U16()) / 32768.0f;
    if (!audioLike) {
      const uint32_t bits = in.U32();
      std::memcpy(&value, &bits, sizeof value);
    }
    x.Data()[i] = std::isfinite(value) ? value : 0.0;  // as the declick block loads them
  }
  const std::vector<double> before(x.Data(), x.Data() + length);

  Guarded arrays[] = {Guarded(kMaxModelOrder + 1), Guarded(kMaxModelOrder + 1), Guarded(static_cast<size_t>(length)),
                      Guarded(kMaxGapLength),      Guarded(kMaxGapLength),      Guarded(kMaxGapLength),
                      Guarded(kMaxGapLength),      Guarded(kMaxGapResidual)};
  RepairWork work;
  work.autocorr = arrays[0].Data();
  work.coeffs = arrays[1].Data();
  work.residual = arrays[2].Data();
  work.toeplitzRow = arrays[3].Data();
  work.solverForward = arrays[4].Data();
  work.solverBackward = arrays[5].Data();
  work.rhs = arrays[6].Data();
  work.gapResidual = arrays[7].Data();
  const float peakBefore = in.Level(0.0f, 50.0f);
  float peak = peakBefore;

  RepairBlock(x.Data(), length, order, maxClicks, threshold, maxClickWidth, work, peak);

  fuzz::Check(x.Intact());
  for (const Guarded& array : arrays) fuzz::Check(array.Intact());
  const bool valid = order >= 1 && order <= kMaxModelOrder && length >= 2 * order + 101;
  if (!valid) {
    fuzz::Check(std::equal(before.begin(), before.end(), x.Data()) && peak == peakBefore);
    return 0;
  }
  fuzz::Check(std::all_of(x.Data(), x.Data() + length, [](double v) { return std::isfinite(v); }));
  fuzz::Check(peak >= peakBefore);
  return 0;
}
