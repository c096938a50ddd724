// AR click detection and least-squares interpolation of one block.
#include "declick/RepairBlock.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace veltane {
namespace {

// Ratio break points and width rules of the nominal repair width.
constexpr double kNarrowRatio = 2.5;
constexpr double kShortRatio = 6.0;
constexpr double kLongRatio = 15.0;
constexpr double kWideRatio = 30.0;
constexpr double kShortSlope = 5.0;
constexpr double kLongSlope = 3.3333333333333335;  // the double nearest 10/3
constexpr double kLongBase = 50.0;

// The hot loops below compute kTile independent sums side by side (one per
// output element, each accumulated over its own index in increasing order),
// which the compiler turns into vector code without reordering any sum.
// Unrolling the tile keeps its accumulators in registers.

// r[k0 + j] sums for j < kTile: sum_{i=0}^{M-k-1} x[i] x[i+k].
template <int kTile>
void AutocorrelationTile(const double* x, int32_t m, int32_t k0, double* sums) {
  double acc[kTile] = {};
  // Every lag of the tile has a term for i below m - (k0 + kTile - 1).
  const int32_t common = std::max(m - (k0 + kTile - 1), 0);
  for (int32_t i = 0; i < common; ++i) {
    const double xi = x[i];
    const double* lagged = x + i + k0;
#pragma GCC unroll 16
    for (int j = 0; j < kTile; ++j) acc[j] += xi * lagged[j];
  }
  for (int j = 0; j < kTile; ++j) {
    const int32_t last = m - (k0 + j);  // exclusive
    for (int32_t i = common; i < last; ++i) acc[j] += x[i] * x[i + k0 + j];
    sums[j] = acc[j];
  }
}

// e[j] = sum_{k=0}^{p} a[k] x[j + p - k] for j < kTile.
template <int kTile>
void PredictionTile(const double* x, const double* a, int32_t p, double* e) {
  double acc[kTile] = {};
  for (int32_t k = 0; k <= p; ++k) {
    const double ak = a[k];
    const double* xk = x + p - k;
#pragma GCC unroll 16
    for (int j = 0; j < kTile; ++j) acc[j] += ak * xk[j];
  }
  for (int j = 0; j < kTile; ++j) e[j] = acc[j];
}

// b[j] = sum_{i=0}^{p} a[i] e0[j + i] for j < kTile.
template <int kTile>
void GapTile(const double* e0, const double* a, int32_t p, double* b) {
  double acc[kTile] = {};
  for (int32_t i = 0; i <= p; ++i) {
    const double ai = a[i];
    const double* ei = e0 + i;
#pragma GCC unroll 16
    for (int j = 0; j < kTile; ++j) acc[j] += ai * ei[j];
  }
  for (int j = 0; j < kTile; ++j) b[j] = acc[j];
}

// Largest e[n] for first <= n < last, the earliest of equal maxima; the
// maximum starts at 0 and the index at -1.
struct Peak {
  double value = 0.0;
  int32_t index = -1;
};

Peak FindPeak(const double* e, int32_t first, int32_t last) {
  Peak peak;
  for (int32_t n = first; n < last; ++n) {
    if (e[n] > peak.value) {
      peak.value = e[n];
      peak.index = n;
    }
  }
  return peak;
}

// The meter keeps f32; a ratio beyond the f32 range (a spread estimate that
// has all but vanished) is kept as the largest f32.
float MeterValue(double ratio) { return ratio > FLT_MAX ? FLT_MAX : static_cast<float>(ratio); }

}  // namespace

ClickWidth NominalClickWidth(double ratio, int32_t maxClickWidth) {
  ClickWidth result{1, false};
  if (ratio < kNarrowRatio) {
    result = {1, false};
  } else if (ratio < kShortRatio) {
    result = {5, false};
  } else if (ratio < kLongRatio) {
    result = {static_cast<int32_t>((ratio - kShortRatio + 1.0) * kShortSlope), false};
  } else if (ratio < kWideRatio) {
    result = {static_cast<int32_t>((ratio - kLongRatio) * kLongSlope + kLongBase), true};
  } else {
    result = {99, true};
  }
  result.width = std::max(std::min(result.width, maxClickWidth), 1);
  return result;
}

void Autocorrelation(const double* x, int32_t blockLength, int32_t modelOrder, double* r) {
  const int32_t m = blockLength - modelOrder;
  if (m <= 0 || modelOrder < 0) return;
  const double scale = 1.0 / m;
  int32_t k = 0;
  for (; k + 16 <= modelOrder + 1; k += 16) AutocorrelationTile<16>(x, m, k, r + k);
  for (; k + 8 <= modelOrder + 1; k += 8) AutocorrelationTile<8>(x, m, k, r + k);
  for (; k + 4 <= modelOrder + 1; k += 4) AutocorrelationTile<4>(x, m, k, r + k);
  for (; k <= modelOrder; ++k) AutocorrelationTile<1>(x, m, k, r + k);
  for (k = 0; k <= modelOrder; ++k) r[k] = scale * r[k];
}

void LevinsonDurbin(const double* r, int32_t modelOrder, double* a) {
  if (modelOrder < 1) return;
  double kappa = -r[1] / r[0];
  a[1] = kappa;
  double error = (1.0 - kappa * kappa) * r[0];
  for (int32_t i = 2; i <= modelOrder; ++i) {
    double sum = 0.0;
    for (int32_t j = 1; j < i; ++j) sum += a[j] * r[i - j];
    kappa = -(r[i] + sum) / error;
    // a[j] <- a[j] + kappa a[i-j] from the old values: update the pairs
    // (j, i-j) together, the middle one alone.
    int32_t lo = 1;
    int32_t hi = i - 1;
    for (; lo < hi; ++lo, --hi) {
      const double low = a[lo];
      const double high = a[hi];
      a[lo] = low + kappa * high;
      a[hi] = high + kappa * low;
    }
    if (lo == hi) a[lo] = a[lo] + kappa * a[lo];
    a[i] = kappa;
    error = error * (1.0 - kappa * kappa);
  }
}

void PredictionError(const double* x, const double* a, int32_t modelOrder, int32_t count,
                     double* e) {
  int32_t n = 0;
  for (; n + 16 <= count; n += 16) PredictionTile<16>(x + n, a, modelOrder, e + n);
  for (; n + 4 <= count; n += 4) PredictionTile<4>(x + n, a, modelOrder, e + n);
  for (; n < count; ++n) PredictionTile<1>(x + n, a, modelOrder, e + n);
}

void GapCorrelation(const double* e0, const double* a, int32_t modelOrder, int32_t gapLength,
                    double* b) {
  int32_t n = 0;
  for (; n + 16 <= gapLength; n += 16) GapTile<16>(e0 + n, a, modelOrder, b + n);
  for (; n + 4 <= gapLength; n += 4) GapTile<4>(e0 + n, a, modelOrder, b + n);
  for (; n < gapLength; ++n) GapTile<1>(e0 + n, a, modelOrder, b + n);
}

void CoefficientCorrelation(const double* a, int32_t modelOrder, int32_t count, double* t) {
  for (int32_t k = 0; k < count; ++k) {
    double sum = 0.0;
    for (int32_t j = 0; j <= modelOrder - k; ++j) sum += a[j] * a[j + k];
    t[k] = sum;
  }
}

void SolveToeplitz(const double* t, const double* b, int32_t gapLength, double* y,
                   double* backward, double* forward) {
  if (gapLength < 1) return;
  double* g = backward;
  double* h = forward;
  y[0] = b[0];
  if (gapLength < 2) return;  // t[1] does not exist for a single sample
  g[0] = -t[1];
  double alpha = 1.0;
  double kappa = g[0];
  for (int32_t i = 0; i <= gapLength - 2; ++i) {
    alpha = alpha * (1.0 - kappa * kappa);
    // Both sums read y and g before this step changes either, so they run
    // in one loop as two independent accumulations.
    double sumY = 0.0;
    double sumG = 0.0;
    for (int32_t j = 0; j <= i; ++j) {
      sumY += t[j + 1] * y[i - j];
      sumG += t[j + 1] * g[i - j];
    }
    const double mu = (b[i + 1] - sumY) / alpha;
    for (int32_t j = 0; j <= i; ++j) y[j] = y[j] + mu * g[i - j];
    y[i + 1] = mu;
    if (i < gapLength - 2) {
      kappa = -(t[i + 2] + sumG) / alpha;
      for (int32_t j = 0; j <= i; ++j) h[j] = g[j] + kappa * g[i - j];
      std::copy(h, h + i + 1, g);
      g[i + 1] = kappa;
    }
  }
}

void RepairBlock(double* x, int32_t blockLength, int32_t modelOrder, int32_t maxClicks,
                 double threshold, int32_t maxClickWidth, const RepairWork& work,
                 float& peakRatio, RepairGaps* gaps) {
  const int32_t n = blockLength;
  const int32_t p = modelOrder;
  if (x == nullptr || p < 1 || p > kMaxModelOrder || n < 2 * p + 2 * kSearchMargin + 1 ||
      work.autocorr == nullptr || work.coeffs == nullptr || work.residual == nullptr ||
      work.toeplitzRow == nullptr || work.solverForward == nullptr ||
      work.solverBackward == nullptr || work.rhs == nullptr || work.gapResidual == nullptr) {
    return;
  }
  double* r = work.autocorr;
  double* a = work.coeffs;
  double* e = work.residual;
  double* t = work.toeplitzRow;
  double* b = work.rhs;
  double* e0 = work.gapResidual;

  // 1. Mean removal.
  double sum = 0.0;
  for (int32_t i = 0; i < n; ++i) sum += x[i];
  const double mean = sum / n;
  for (int32_t i = 0; i < n; ++i) x[i] = x[i] - mean;

  // Search window over residual indices (residual n is the error at sample
  // n + p): searchEnd is exclusive.
  const int32_t searchBegin = kSearchMargin;
  const int32_t searchEnd = n - 2 * p - kSearchMargin;
  const int32_t searchCount = n - 2 * p - 2 * kSearchMargin;

  bool refit = true;
  double sigma = 0.0;
  int32_t gapStart = 0;
  int32_t gapLength = 0;
  for (int32_t iteration = 0; iteration < maxClicks; ++iteration) {
    Peak peak;
    if (refit) {
      // Model, then the full search.
      Autocorrelation(x, n, p, r);
      if (r[0] == 0.0) break;  // silent block
      LevinsonDurbin(r, p, a);
      a[0] = 1.0;
      // Only the errors inside the search window are ever read (the spread,
      // the peak and the incremental update all stay inside it), so the
      // ones outside it are not worked out.
      PredictionError(x + searchBegin, a, p, searchCount, e + searchBegin);
      double total = 0.0;
      for (int32_t i = searchBegin; i < searchEnd; ++i) {
        const double v = std::fabs(e[i]);
        e[i] = v;
        total += v;
        if (v > peak.value) {
          peak.value = v;
          peak.index = i;
        }
      }
      sigma = kRobustSpread * total / searchCount;
    } else {
      // Incremental search: only the errors that the last gap's samples
      // enter are stale; the spread moves by the change of their sum.
      const int32_t lo = std::max(gapStart - p, searchBegin);
      const int32_t hi = std::min(gapStart + gapLength, searchEnd);
      double oldTotal = 0.0;
      for (int32_t i = lo; i < hi; ++i) oldTotal += e[i];
      PredictionError(x + (gapStart - p), a, p, p + gapLength, e + (gapStart - p));
      double newTotal = 0.0;
      for (int32_t i = lo; i < hi; ++i) {
        const double v = std::fabs(e[i]);
        e[i] = v;
        newTotal += v;
      }
      sigma = sigma + kRobustSpread * (newTotal - oldTotal) / searchCount;
      peak = FindPeak(e, searchBegin, searchEnd);
    }

    const double ratio = peak.value / sigma;
    // The meter sees sub-threshold ratios too.
    if (ratio >= peakRatio) peakRatio = MeterValue(ratio);
    if (!(ratio >= threshold) || peak.index < 0) break;  // also a ratio that is not a number

    const ClickWidth width = NominalClickWidth(ratio, maxClickWidth);
    refit = width.refit;

    // Gap of 2 * half + 1 samples around the sample with the largest error.
    const int32_t centre = peak.index + p;
    const int32_t half = width.width / 2;
    const int32_t start = std::max(centre - half, p);
    const int32_t end = std::min(centre + half, n - p - 1);
    const int32_t length = end - start + 1;
    if (gaps != nullptr && gaps->count < RepairGaps::kMax) {
      gaps->start[gaps->count] = start;
      gaps->length[gaps->count] = length;
      ++gaps->count;
    }

    // Least-squares AR interpolation: (A'A) y = -A' e0, where A maps the gap
    // samples to the prediction errors they enter and e0 are those errors
    // with the gap set to zero.
    std::fill(x + start, x + end + 1, 0.0);
    PredictionError(x + (start - p), a, p, p + length, e0);
    GapCorrelation(e0, a, p, length, b);
    const int32_t lags = std::min(p + 1, length);
    CoefficientCorrelation(a, p, lags, t);
    std::fill(t + lags, t + length, 0.0);
    const double unit = 1.0 / t[0];
    for (int32_t k = 0; k < length; ++k) t[k] = t[k] * unit;
    for (int32_t k = 0; k < length; ++k) b[k] = b[k] * -unit;
    SolveToeplitz(t, b, length, x + start, work.solverBackward, work.solverForward);
    gapStart = start;
    gapLength = length;
  }

  // 4. The mean goes back, also after an early exit.
  for (int32_t i = 0; i < n; ++i) x[i] = x[i] + mean;
}

}  // namespace veltane
