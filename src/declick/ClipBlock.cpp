// Outlier clamping for simple mode.
#include "declick/ClipBlock.h"

#include <cmath>
#include <cstddef>

#include "framework/KernelLevel.h"
#include "framework/Lanes.h"

namespace veltane {
namespace {

struct ClipKernel {
  template <class Isa>
  static void Run(double* x, int32_t blockLength, double factor) {
    if (x == nullptr || blockLength < 1) return;
    const int32_t n = blockLength;
    double sum = 0.0;
    for (int32_t i = 0; i < n; ++i) sum += x[i];
    const double mean = sum / n;
    double deviation = 0.0;
    for (int32_t i = 0; i < n; ++i) {
      x[i] = x[i] - mean;
      deviation += std::fabs(x[i]);
    }
    const double limit = deviation / n * factor;
    int32_t i = 0;
    for (; i < n && i < kClipLookBack; ++i) {
      // Written out rather than std::clamp, which needs limit >= 0.
      const double v = x[i];
      const double clamped = v > limit ? limit : (v < -limit ? -limit : v);
      x[i] = clamped + mean;
    }
    // A later outlier takes the final value of the sample kClipLookBack
    // before it. Those values are final for a whole vector at a time (a
    // vector is narrower than the look-back), so vectors run in order.
    using V = Lanes<double, Isa::kDoubleLanes>;
    static_assert(Isa::kDoubleLanes <= kClipLookBack);
    V high, low, offset;
    SplatLanes(high, limit);
    SplatLanes(low, -limit);
    SplatLanes(offset, mean);
    for (; i + Isa::kDoubleLanes <= n; i += Isa::kDoubleLanes) {
      V v, earlier;
      LoadLanes(v, x + i);
      LoadLanes(earlier, x + (i - kClipLookBack));
      const V kept = v + offset;
      const auto outlier = (v > high) | (v < low);
      StoreLanes(outlier ? earlier : kept, x + i);
    }
    for (; i < n; ++i) {
      const double v = x[i];
      x[i] = v > limit || v < -limit ? x[i - kClipLookBack] : v + mean;
    }
  }
};

}  // namespace

void ClipBlock(double* x, int32_t blockLength, double factor) {
  DispatchKernel<ClipKernel>(x, blockLength, factor);
}

}  // namespace veltane
