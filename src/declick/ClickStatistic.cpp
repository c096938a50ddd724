// The click detector's short model, interpolation error and local spread.
#include "declick/ClickStatistic.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "declick/RepairBlock.h"
#include "declick/Vec.h"
#include "framework/KernelLevel.h"
#include "framework/Lanes.h"

namespace veltane {
namespace {

constexpr float kRobustSpreadF = 1.2533141f;  // sqrt(pi/2): mean |Gaussian| -> sigma

// The loops keep one sum per lane (per lag or per output), each over
// increasing index exactly as the scalar formula reads, so the kernels built
// for every instruction set (KernelLevel) give the same bits.

// r[j] = sum_i y[i] y[i+j] for j < W T, y zero-padded past n: one pass,
// every lag's sum in its own lane.
template <int W, int T>
void AutocorrelationLags(const float* y, int32_t n, float* r) {
  using V = Lanes<float, W>;
  V acc[T] = {};
  for (int32_t i = 0; i < n; ++i) {
    V yi;
    SplatLanes(yi, y[i]);
#pragma GCC unroll 8
    for (int m = 0; m < T; ++m) {
      V v;
      LoadLanes(v, y + i + W * m);
      acc[m] += yi * v;
    }
  }
  for (int m = 0; m < T; ++m) StoreLanes(acc[m], r + W * m);
}

// out[j] = sum_k a[k] x[j + kStep k] for j < W T, or its magnitude when
// kMagnitude: with kStep -1 the prediction error of x, with +1 (run on
// that error) the interpolation error.
template <int W, int T, int kStep, bool kMagnitude>
void FilterTile(const float* x, const float* a, int32_t order, float* out) {
  using V = Lanes<float, W>;
  V acc[T] = {};
  for (int32_t k = 0; k <= order; ++k) {
    V ak;
    SplatLanes(ak, a[k]);
    const float* xk = x + kStep * k;
#pragma GCC unroll 4
    for (int m = 0; m < T; ++m) {
      V v;
      LoadLanes(v, xk + W * m);
      acc[m] += ak * v;
    }
  }
  for (int m = 0; m < T; ++m) {
    if constexpr (kMagnitude) {
      float lanes[W];
      StoreLanes(acc[m], lanes);
      for (int j = 0; j < W; ++j) out[W * m + j] = std::fabs(lanes[j]);
    } else {
      StoreLanes(acc[m], out + W * m);
    }
  }
}

// The same one output at a time, for the ends.
template <int kStep, bool kMagnitude>
float FilterAt(const float* x, const float* a, int32_t order) {
  float sum = 0.0f;
  for (int32_t k = 0; k <= order; ++k) sum += a[k] * x[kStep * k];
  return kMagnitude ? std::fabs(sum) : sum;
}

// The windowed block into scratch (zero-padded by kShortLagPad) and its
// autocorrelation r[0 .. order] and a little beyond, up to a whole vector.
struct WindowedAutocorrelationKernel {
  template <class Isa>
  static void Run(const float* x, int32_t n, const float* window, int32_t order, float* scratch, float* r) {
    constexpr int W = Isa::kFloatLanes;
    for (int32_t i = 0; i < n; ++i) scratch[i] = x[i] * window[i];
    std::fill(scratch + n, scratch + n + kShortLagPad, 0.0f);
    static_assert(kMaxShortOrder + 1 <= 8 * W, "the widest pass covers every lag");
    switch ((order + W) / W) {  // lags rounded up to whole vectors
      case 1: AutocorrelationLags<W, 1>(scratch, n, r); break;
      case 2: AutocorrelationLags<W, 2>(scratch, n, r); break;
      case 3: AutocorrelationLags<W, 3>(scratch, n, r); break;
      case 4: AutocorrelationLags<W, 4>(scratch, n, r); break;
      case 5: AutocorrelationLags<W, 5>(scratch, n, r); break;
      case 6: AutocorrelationLags<W, 6>(scratch, n, r); break;
      case 7: AutocorrelationLags<W, 7>(scratch, n, r); break;
      default: AutocorrelationLags<W, 8>(scratch, n, r); break;
    }
  }
};

// Tiles of four vectors, then single vectors, then one output at a time.
template <int kStep, bool kMagnitude>
struct FilterKernel {
  template <class Isa>
  static void Run(const float* x, const float* a, int32_t order, int32_t count, float* out) {
    constexpr int W = Isa::kFloatLanes;
    int32_t i = 0;
    for (; i + 4 * W <= count; i += 4 * W) FilterTile<W, 4, kStep, kMagnitude>(x + i, a, order, out + i);
    for (; i + W <= count; i += W) FilterTile<W, 1, kStep, kMagnitude>(x + i, a, order, out + i);
    for (; i < count; ++i) out[i] = FilterAt<kStep, kMagnitude>(x + i, a, order);
  }
};
using PredictionErrorsKernel = FilterKernel<-1, false>;
using InterpolationErrorsKernel = FilterKernel<1, true>;

bool Finite(double v) { return v - v == 0.0; }

}  // namespace

bool FitShortModel(const float* x, int32_t n, const float* window, int32_t order, double loading, float* scratch,
                   double* a) {
  if (order < 1 || order > kMaxShortOrder || n <= order) return false;
  // Room for the widest pass the kernel has: eight vectors of eight lanes.
  float r[64];
  DispatchKernel<WindowedAutocorrelationKernel>(x, n, window, order, scratch, r);
  double rd[kMaxShortOrder + 1];
  double check = 0.0;
  for (int32_t k = 0; k <= order; ++k) {
    rd[k] = r[k];
    check += rd[k] * 0.0;
  }
  rd[0] *= 1.0 + loading;
  if (!(rd[0] > 0.0) || check != 0.0) return false;
  LevinsonDurbin(rd, order, a);
  a[0] = 1.0;
  for (int32_t k = 1; k <= order; ++k) {
    if (!Finite(a[k])) return false;
  }
  return true;
}

bool RobustWeights(const float* x, const float* window, int32_t subBlocks, int32_t subLength, int32_t span,
                   float limit, float* weights) {
  span = std::clamp(span, 0, kMaxSpreadSpan);
  const int32_t weighed = std::min(subBlocks, kMaxRobustSubBlocks);
  float power[kMaxRobustSubBlocks];
  for (int32_t j = 0; j < weighed; ++j) {
    const float* block = x + static_cast<std::ptrdiff_t>(j) * subLength;
    Vec4f sum = {};
    for (int32_t i = 0; i + 4 <= subLength; i += 4) {
      const Vec4f v = vec::Load(block + i);
      sum += v * v;
    }
    power[j] = sum[0] + sum[1] + sum[2] + sum[3];
  }
  const float limit2 = limit * limit;
  float gain[kMaxRobustSubBlocks];
  bool any = false;
  for (int32_t j = 0; j < weighed; ++j) {
    gain[j] = 1.0f;
    // The upper median of the neighbourhood lies below power / limit^2 when
    // more than half of it does: counted first, sorted only then (rarely).
    const int32_t from = std::max(j - span, 0);
    const int32_t to = std::min(j + span, weighed - 1);
    const int32_t count = to - from + 1;
    const float level = power[j] / limit2;
    int32_t below = 0;
    for (int32_t k = from; k <= to; ++k) below += power[k] < level ? 1 : 0;
    if (below <= count / 2) continue;
    float near[2 * kMaxSpreadSpan + 1];
    std::copy(power + from, power + to + 1, near);
    std::nth_element(near, near + count / 2, near + count);
    gain[j] = std::sqrt(limit2 * near[count / 2] / power[j]);
    any = true;
  }
  if (!any) return false;
  for (int32_t j = 0; j < subBlocks; ++j) {
    const Vec4f g = vec::Splat(j < weighed ? gain[j] : 1.0f);
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(j) * subLength;
    for (int32_t i = 0; i + 4 <= subLength; i += 4) vec::Store(weights + at + i, vec::Load(window + at + i) * g);
  }
  return true;
}

void ShortPredictionErrors(const float* x, const float* a, int32_t order, int32_t count, float* e) {
  DispatchKernel<PredictionErrorsKernel>(x, a, order, count, e);
}

void InterpolationErrors(const float* e, const float* a, int32_t order, int32_t count, float* g) {
  DispatchKernel<InterpolationErrorsKernel>(e, a, order, count, g);
}

void LocalSpread(const float* e, int32_t subBlocks, int32_t subLength, int32_t first, int32_t last, int32_t span,
                 float floor, float* meanAbs, float* spread) {
  span = std::clamp(span, 0, kMaxSpreadSpan);
  first = std::clamp(first, 0, subBlocks);
  last = std::clamp(last, first, subBlocks);
  const Vec4i magnitude = {0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff};
  for (int32_t j = 0; j < subBlocks; ++j) {
    const float* block = e + static_cast<std::ptrdiff_t>(j) * subLength;
    Vec4f sum = {};
    for (int32_t i = 0; i + 4 <= subLength; i += 4) {
      sum += reinterpret_cast<Vec4f>(reinterpret_cast<Vec4i>(vec::Load(block + i)) & magnitude);
    }
    meanAbs[j] = (sum[0] + sum[1] + sum[2] + sum[3]) / static_cast<float>(subLength);
  }
  // The window of sub-blocks slides by one: keep it sorted, dropping the one
  // that leaves and inserting the one that enters.
  float sorted[2 * kMaxSpreadSpan + 1];
  int32_t count = 0;
  const auto insert = [&](float v) {
    int32_t at = count++;
    for (; at > 0 && sorted[at - 1] > v; --at) sorted[at] = sorted[at - 1];
    sorted[at] = v;
  };
  const auto remove = [&](float v) {
    int32_t at = 0;
    while (at < count - 1 && !(sorted[at] == v)) ++at;
    for (--count; at < count; ++at) sorted[at] = sorted[at + 1];
  };
  // Start with the window of sub-block first - 1.
  for (int32_t i = std::max(first - 1 - span, 0); i <= std::min(first - 1 + span, subBlocks - 1); ++i) {
    insert(meanAbs[i]);
  }
  for (int32_t j = first; j < last; ++j) {
    if (j - span - 1 >= 0) remove(meanAbs[j - span - 1]);
    if (j + span < subBlocks) insert(meanAbs[j + span]);
    const float value = kRobustSpreadF * sorted[count / 2];
    spread[j] = value > floor ? value : floor;  // also a NaN median gives the floor
  }
}

}  // namespace veltane
