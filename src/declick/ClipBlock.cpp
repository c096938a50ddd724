// Outlier clamping for simple mode.
#include "declick/ClipBlock.h"

#include <cmath>

namespace veltane {

void ClipBlock(double* x, int32_t blockLength, double factor) {
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
  for (int32_t i = 0; i < n; ++i) {
    const double v = x[i];
    if (i < kClipLookBack) {
      // Written out rather than std::clamp, which needs limit >= 0.
      const double clamped = v > limit ? limit : (v < -limit ? -limit : v);
      x[i] = clamped + mean;
    } else if (v > limit || v < -limit) {
      // The earlier sample already carries its final value, mean included.
      x[i] = x[i - kClipLookBack];
    } else {
      x[i] = v + mean;
    }
  }
}

}  // namespace veltane
