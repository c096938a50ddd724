// The click detector's short model, interpolation error and local spread.
#include "declick/ClickStatistic.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "declick/RepairBlock.h"

namespace veltane {
namespace {

constexpr float kRobustSpreadF = 1.2533141f;  // sqrt(pi/2): mean |Gaussian| -> sigma

// r[j] = sum_i y[i] y[i+j] for j < kLags, y zero-padded past n: one pass,
// kLags accumulators side by side.
template <int kLags>
void AutocorrelationLags(const float* y, int32_t n, float* r) {
  float acc[kLags] = {};
  for (int32_t i = 0; i < n; ++i) {
    const float yi = y[i];
    const float* lagged = y + i;
#pragma GCC unroll 32
    for (int j = 0; j < kLags; ++j) acc[j] += yi * lagged[j];
  }
  for (int j = 0; j < kLags; ++j) r[j] = acc[j];
}

// e[j] = sum_k a[k] x[j-k] - bias for j < kTile.
template <int kTile>
void ErrorTile(const float* x, const float* a, int32_t order, float bias, float* e) {
  float acc[kTile] = {};
  for (int32_t k = 0; k <= order; ++k) {
    const float ak = a[k];
    const float* xk = x - k;
#pragma GCC unroll 16
    for (int j = 0; j < kTile; ++j) acc[j] += ak * xk[j];
  }
  for (int j = 0; j < kTile; ++j) e[j] = acc[j] - bias;
}

// g[j] = |sum_k a[k] e[j+k]| for j < kTile.
template <int kTile>
void GradientTile(const float* e, const float* a, int32_t order, float* g) {
  float acc[kTile] = {};
  for (int32_t k = 0; k <= order; ++k) {
    const float ak = a[k];
    const float* ek = e + k;
#pragma GCC unroll 16
    for (int j = 0; j < kTile; ++j) acc[j] += ak * ek[j];
  }
  for (int j = 0; j < kTile; ++j) g[j] = std::fabs(acc[j]);
}

bool Finite(double v) { return v - v == 0.0; }

}  // namespace

bool FitShortModel(const float* x, int32_t n, float mean, const float* window, int32_t order,
                   double loading, float* scratch, double* a) {
  if (order < 1 || order > kMaxShortOrder || n <= order) return false;
  for (int32_t i = 0; i < n; ++i) scratch[i] = (x[i] - mean) * window[i];
  std::fill(scratch + n, scratch + n + kShortLagPad, 0.0f);
  float r[kMaxShortOrder + 1];
  switch ((order + 4) / 4) {  // lags rounded up to whole vectors of four
    case 1: AutocorrelationLags<4>(scratch, n, r); break;
    case 2: AutocorrelationLags<8>(scratch, n, r); break;
    case 3: AutocorrelationLags<12>(scratch, n, r); break;
    case 4: AutocorrelationLags<16>(scratch, n, r); break;
    case 5: AutocorrelationLags<20>(scratch, n, r); break;
    case 6: AutocorrelationLags<24>(scratch, n, r); break;
    case 7: AutocorrelationLags<28>(scratch, n, r); break;
    default: AutocorrelationLags<32>(scratch, n, r); break;
  }
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

void ShortPredictionErrors(const float* x, const float* a, int32_t order, float bias, int32_t count,
                           float* e) {
  int32_t i = 0;
  for (; i + 16 <= count; i += 16) ErrorTile<16>(x + i, a, order, bias, e + i);
  for (; i + 4 <= count; i += 4) ErrorTile<4>(x + i, a, order, bias, e + i);
  for (; i < count; ++i) ErrorTile<1>(x + i, a, order, bias, e + i);
}

void InterpolationErrors(const float* e, const float* a, int32_t order, int32_t count, float* g) {
  int32_t i = 0;
  for (; i + 16 <= count; i += 16) GradientTile<16>(e + i, a, order, g + i);
  for (; i + 4 <= count; i += 4) GradientTile<4>(e + i, a, order, g + i);
  for (; i < count; ++i) GradientTile<1>(e + i, a, order, g + i);
}

void LocalSpread(const float* e, int32_t subBlocks, int32_t subLength, int32_t span, float floor,
                 float* meanAbs, float* spread) {
  span = std::clamp(span, 0, kMaxSpreadSpan);
  for (int32_t j = 0; j < subBlocks; ++j) {
    const float* block = e + static_cast<std::ptrdiff_t>(j) * subLength;
    float sum = 0.0f;
    for (int32_t i = 0; i < subLength; ++i) sum += std::fabs(block[i]);
    meanAbs[j] = sum / static_cast<float>(subLength);
  }
  float near[2 * kMaxSpreadSpan + 1];
  for (int32_t j = 0; j < subBlocks; ++j) {
    const int32_t first = std::max(j - span, 0);
    const int32_t last = std::min(j + span, subBlocks - 1);
    const int32_t count = last - first + 1;
    std::copy(meanAbs + first, meanAbs + last + 1, near);
    std::nth_element(near, near + count / 2, near + count);
    const float value = kRobustSpreadF * near[count / 2];
    spread[j] = value > floor ? value : floor;  // also a NaN median gives the floor
  }
}

}  // namespace veltane
