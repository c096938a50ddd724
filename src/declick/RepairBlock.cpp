// AR click detection and least-squares interpolation of one block.
#include "declick/RepairBlock.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>

#include "framework/KernelLevel.h"
#include "framework/Lanes.h"

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

// The correlation loops compute many independent sums side by side in
// vector lanes (one sum per lane, each accumulated over its own index in
// increasing order, exactly as the scalar formula reads), never one sum
// split across lanes. Tiles of T vectors of W lanes keep their accumulators
// in registers.

// sums[j] = sum_{i=0}^{m-k-1} x[i] x[i+k] with k = k0 + j, for j < lags
// (lags <= W * T; the lanes past `lags` are computed and dropped).
template <int W, int T>
inline void AutocorrelationPass(const double* x, ptrdiff_t m, ptrdiff_t k0, int32_t lags,
                                double* sums) {
  using V = Lanes<double, W>;
  constexpr ptrdiff_t kSpan = W * T;
  V acc[T] = {};
  // Every lag of the pass has a term for i below m - (k0 + kSpan - 1).
  const ptrdiff_t common = std::max<ptrdiff_t>(m - (k0 + kSpan - 1), 0);
  for (ptrdiff_t i = 0; i < common; ++i) {
    V xi;
    SplatLanes(xi, x[i]);
    const double* lagged = x + i + k0;
    for (int t = 0; t < T; ++t) {
      V v;
      LoadLanes(v, lagged + t * W);
      acc[t] += xi * v;
    }
  }
  // Each vector goes on while all its lags still have terms, then each lag
  // alone takes its last few.
  double partial[kSpan];
  for (int t = 0; t < T; ++t) {
    const ptrdiff_t end = std::max(m - (k0 + t * W + W - 1), common);
    if (t * W < lags) {
      for (ptrdiff_t i = common; i < end; ++i) {
        V xi;
        SplatLanes(xi, x[i]);
        V v;
        LoadLanes(v, x + i + k0 + t * W);
        acc[t] += xi * v;
      }
    }
    StoreLanes(acc[t], partial + t * W);
    for (int l = 0; l < W && t * W + l < lags; ++l) {
      const ptrdiff_t k = k0 + t * W + l;
      double sum = partial[t * W + l];
      for (ptrdiff_t i = end; i < m - k; ++i) sum += x[i] * x[i + k];
      sums[t * W + l] = sum;
    }
  }
}

// out[n] = sum_{k=0}^{taps-1} c[k] x[n + k * step] for the W * T outputs of
// one tile.
template <int W, int T>
inline void FirTile(const double* c, int32_t taps, const double* x, ptrdiff_t step, double* out) {
  using V = Lanes<double, W>;
  V acc[T] = {};
  const double* xk = x;
  for (int32_t k = 0; k < taps; ++k, xk += step) {
    V ck;
    SplatLanes(ck, c[k]);
    for (int t = 0; t < T; ++t) {
      V v;
      LoadLanes(v, xk + t * W);
      acc[t] += ck * v;
    }
  }
  for (int t = 0; t < T; ++t) StoreLanes(acc[t], out + t * W);
}

// out[n] = sum_{k=0}^{taps-1} c[k] x[n + k * step] for n < count; out must
// not overlap x. A count that is not a whole number of tiles ends with a
// tile that overlaps the one before: it recomputes the same values.
template <int W, int T>
inline void Fir(const double* c, int32_t taps, const double* x, ptrdiff_t step, int32_t count,
                double* out) {
  constexpr int32_t kSpan = W * T;
  int32_t n = 0;
  for (; n + kSpan <= count; n += kSpan) FirTile<W, T>(c, taps, x + n, step, out + n);
  if (n == count) return;
  if (count >= kSpan) {
    FirTile<W, T>(c, taps, x + (count - kSpan), step, out + (count - kSpan));
    return;
  }
  for (; n + W <= count; n += W) FirTile<W, 1>(c, taps, x + n, step, out + n);
  if (n == count) return;
  if (count >= W) {
    FirTile<W, 1>(c, taps, x + (count - W), step, out + (count - W));
    return;
  }
  for (; n < count; ++n) {
    double sum = 0.0;
    for (int32_t k = 0; k < taps; ++k) sum += c[k] * x[n + k * step];
    out[n] = sum;
  }
}

// Tile shapes per instruction set: eight accumulators fill half the vector
// registers; the filters' counts (often 30 to 130) waste less with tiles of
// 16 outputs on the wider vectors.
template <class Isa>
struct Tiles {
  static constexpr int kW = Isa::kDoubleLanes;
  static constexpr int kCorrelation = 8;
  static constexpr int kFilter = kW >= 4 ? 4 : 8;
};

// The routines built for every instruction set; DispatchKernel picks one.
struct AutocorrelationKernel {
  template <class Isa>
  static void Run(const double* x, int32_t blockLength, int32_t modelOrder, double* r) {
    using Shape = Tiles<Isa>;
    const int32_t m = blockLength - modelOrder;
    if (m <= 0 || modelOrder < 0) return;
    constexpr int32_t kPass = Shape::kW * Shape::kCorrelation;
    for (int32_t k0 = 0; k0 <= modelOrder; k0 += kPass) {
      AutocorrelationPass<Shape::kW, Shape::kCorrelation>(x, m, k0, std::min(kPass, modelOrder + 1 - k0),
                                                           r + k0);
    }
    const double scale = 1.0 / m;
    for (int32_t k = 0; k <= modelOrder; ++k) r[k] = scale * r[k];
  }
};

struct PredictionErrorKernel {
  template <class Isa>
  static void Run(const double* x, const double* a, int32_t modelOrder, int32_t count, double* e) {
    using Shape = Tiles<Isa>;
    Fir<Shape::kW, Shape::kFilter>(a, modelOrder + 1, x + modelOrder, -1, count, e);
  }
};

struct GapCorrelationKernel {
  template <class Isa>
  static void Run(const double* e0, const double* a, int32_t modelOrder, int32_t gapLength, double* b) {
    using Shape = Tiles<Isa>;
    Fir<Shape::kW, Shape::kFilter>(a, modelOrder + 1, e0, 1, gapLength, b);
  }
};

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

namespace {

struct RepairBlockKernel {
  template <class Isa>
  static void Run(double* x, int32_t blockLength, int32_t modelOrder, int32_t maxClicks, double threshold,
                  int32_t maxClickWidth, const RepairWork& work, float& peakRatio, RepairGaps* gaps);
};

template <class Isa>
void RepairBlockKernel::Run(double* x, int32_t blockLength, int32_t modelOrder, int32_t maxClicks,
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
      AutocorrelationKernel::Run<Isa>(x, n, p, r);
      if (r[0] == 0.0) break;  // silent block
      LevinsonDurbin(r, p, a);
      a[0] = 1.0;
      // Only the errors inside the search window are ever read (the spread,
      // the peak and the incremental update all stay inside it), so the
      // ones outside it are not worked out.
      PredictionErrorKernel::Run<Isa>(x + searchBegin, a, p, searchCount, e + searchBegin);
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
      PredictionErrorKernel::Run<Isa>(x + (gapStart - p), a, p, p + gapLength, e + (gapStart - p));
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
    PredictionErrorKernel::Run<Isa>(x + (start - p), a, p, p + length, e0);
    GapCorrelationKernel::Run<Isa>(e0, a, p, length, b);
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

}  // namespace

void Autocorrelation(const double* x, int32_t blockLength, int32_t modelOrder, double* r) {
  DispatchKernel<AutocorrelationKernel>(x, blockLength, modelOrder, r);
}

void PredictionError(const double* x, const double* a, int32_t modelOrder, int32_t count,
                     double* e) {
  DispatchKernel<PredictionErrorKernel>(x, a, modelOrder, count, e);
}

void GapCorrelation(const double* e0, const double* a, int32_t modelOrder, int32_t gapLength,
                    double* b) {
  DispatchKernel<GapCorrelationKernel>(e0, a, modelOrder, gapLength, b);
}

void RepairBlock(double* x, int32_t blockLength, int32_t modelOrder, int32_t maxClicks,
                 double threshold, int32_t maxClickWidth, const RepairWork& work,
                 float& peakRatio, RepairGaps* gaps) {
  DispatchKernel<RepairBlockKernel>(x, blockLength, modelOrder, maxClicks, threshold, maxClickWidth, work,
                                    peakRatio, gaps);
}

}  // namespace veltane
