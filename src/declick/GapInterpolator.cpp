// Least-squares AR gap interpolation and its model fit.
#include "declick/GapInterpolator.h"

#include <algorithm>
#include <cmath>

#include "declick/RepairBlock.h"
#include "framework/KernelLevel.h"
#include "framework/Lanes.h"

namespace veltane {
namespace {

constexpr double kTwoPi = 6.283185307179586;
// Zero padding past one side: the widest lag pass reads up to a vector
// beyond the order at either level.
constexpr int32_t kLagTile = 16;

// sums[j] = sum_i y[i] lagged[i + j] for j < W T, each over increasing i.
template <int W, int T>
void LagPass(const double* y, const double* lagged, int32_t n, double* sums) {
  using V = Lanes<double, W>;
  V acc[T] = {};
  for (int32_t i = 0; i < n; ++i) {
    V yi;
    SplatLanes(yi, y[i]);
#pragma GCC unroll 8
    for (int m = 0; m < T; ++m) {
      V v;
      LoadLanes(v, lagged + i + W * m);
      acc[m] += yi * v;
    }
  }
  for (int m = 0; m < T; ++m) StoreLanes(acc[m], sums + W * m);
}

// r[k] += sum_i y[i] y[i+k] for k = 0 .. order, each sum over increasing i
// in a lane of its own (so every level gives the same bits); y is
// zero-padded by order + kLagTile samples past n. Passes of up to eight
// vectors, the last one only as wide as the lags left.
struct AddAutocorrelationKernel {
  template <class Isa>
  static void Run(const double* y, int32_t n, int32_t order, double* r) {
    constexpr int W = Isa::kDoubleLanes;
    constexpr int kMaxVectors = 8;
    static_assert(W <= kLagTile, "the padding covers a vector past the order");
    for (int32_t first = 0; first <= order; first += W * kMaxVectors) {
      double sums[W * kMaxVectors];
      const double* lagged = y + first;
      switch (std::min((order - first + W) / W, kMaxVectors)) {
        case 1: LagPass<W, 1>(y, lagged, n, sums); break;
        case 2: LagPass<W, 2>(y, lagged, n, sums); break;
        case 3: LagPass<W, 3>(y, lagged, n, sums); break;
        case 4: LagPass<W, 4>(y, lagged, n, sums); break;
        case 5: LagPass<W, 5>(y, lagged, n, sums); break;
        case 6: LagPass<W, 6>(y, lagged, n, sums); break;
        case 7: LagPass<W, 7>(y, lagged, n, sums); break;
        default: LagPass<W, 8>(y, lagged, n, sums); break;
      }
      for (int32_t j = 0; j < W * kMaxVectors && first + j <= order; ++j) r[first + j] += sums[j];
    }
  }
};

bool AllFinite(const double* v, int32_t count) {
  double sum = 0.0;
  for (int32_t i = 0; i < count; ++i) sum += v[i] * 0.0;  // NaN or infinity makes NaN
  return sum == 0.0;
}

}  // namespace

GapInterpolator::GapInterpolator(int32_t maxOrder, int32_t maxGap, int32_t maxSide)
    : maxOrder_(std::max(maxOrder, 1)),
      maxGap_(std::max(maxGap, 1)),
      maxSide_(std::max(maxSide, 0)),
      hann_(static_cast<size_t>(maxSide_)),
      windowed_(static_cast<size_t>(maxSide_ + maxOrder_ + kLagTile), 0.0),
      autocorr_(static_cast<size_t>(maxOrder_) + 1),
      loaded_(static_cast<size_t>(maxOrder_) + 1),
      coeffs_(static_cast<size_t>(maxOrder_) + 1),
      stretch_(static_cast<size_t>(maxGap_ + 2 * maxOrder_)),
      errors_(static_cast<size_t>(maxGap_ + maxOrder_)),
      rhs_(static_cast<size_t>(maxGap_)),
      solution_(static_cast<size_t>(std::max(maxGap_, maxOrder_ + 1))),
      row_(static_cast<size_t>(maxGap_)),
      alpha_(static_cast<size_t>(maxGap_)),
      reversed_(static_cast<size_t>(maxGap_) * static_cast<size_t>(maxGap_ + 1) / 2),
      edgeError_(static_cast<size_t>(maxGap_) + 1, 1.0),
      durbin_(static_cast<size_t>(maxGap_)),
      durbinNext_(static_cast<size_t>(maxGap_)) {}

void GapInterpolator::BuildHann(int32_t length) {
  if (hannLength_ == length) return;
  // Symmetric about the window's middle and non-zero at both ends.
  for (int32_t i = 0; i < length; ++i) hann_[i] = 0.5 - 0.5 * std::cos(kTwoPi * (i + 0.5) / length);
  hannLength_ = length;
}

bool GapInterpolator::Solve(int32_t order, double loading) {
  fitOrder_ = order;
  return Reload(loading);
}

void GapInterpolator::ModelChanged() {
  filledLength_ = 0;
  rowLength_ = 0;
  factorSteps_ = 0;
  edgeSteps_ = 1;
  edgeFailed_ = 0;
}

bool GapInterpolator::Reload(double loading) {
  valid_ = false;
  ModelChanged();
  const int32_t order = fitOrder_;
  if (order < 1) return false;
  std::copy(autocorr_.begin(), autocorr_.begin() + order + 1, loaded_.begin());
  loaded_[0] *= 1.0 + loading;
  if (!(loaded_[0] > 0.0) || !AllFinite(loaded_.data(), order + 1)) return false;
  LevinsonDurbin(loaded_.data(), order, coeffs_.data());
  coeffs_[0] = 1.0;
  order_ = order;
  valid_ = AllFinite(coeffs_.data(), order + 1);
  return valid_;
}

bool GapInterpolator::FitAround(const float* gap, int32_t gapLength, int32_t side, int32_t order, double loading) {
  valid_ = false;
  if (order < 1 || order > maxOrder_ || side <= order || side > maxSide_ || gapLength < 0) return false;
  BuildHann(side);
  const float* before = gap - side;
  const float* after = gap + gapLength;
  double sum = 0.0;
  for (int32_t i = 0; i < side; ++i) sum += static_cast<double>(before[i]) + after[i];
  mean_ = sum / (2 * side);
  std::fill(autocorr_.begin(), autocorr_.begin() + order + 1, 0.0);
  // The padding past `side` stays zero: only the first side samples are written.
  for (const float* part : {before, after}) {
    for (int32_t i = 0; i < side; ++i) windowed_[i] = (part[i] - mean_) * hann_[i];
    DispatchKernel<AddAutocorrelationKernel>(windowed_.data(), side, order, autocorr_.data());
  }
  return Solve(order, loading);
}

void GapInterpolator::SetModel(const double* a, int32_t order) {
  fitOrder_ = 0;
  ModelChanged();
  valid_ = order >= 1 && order <= maxOrder_ && AllFinite(a, order + 1);
  if (!valid_) return;
  std::copy(a, a + order + 1, coeffs_.begin());
  order_ = order;
}

void GapInterpolator::ExtendRow(int32_t length) {
  if (length <= rowLength_) return;
  const int32_t p = order_;
  const double* a = coeffs_.data();
  // Each t[k] is its own sum over increasing j, so computing the row a few
  // lags at a time gives the bits of computing it whole.
  const auto correlation = [&](int32_t k) {
    double sum = 0.0;
    for (int32_t j = 0; j <= p - k; ++j) sum += a[j] * a[j + k];
    return sum;
  };
  if (rowLength_ == 0) unit_ = 1.0 / correlation(0);
  for (int32_t k = rowLength_; k < length; ++k) row_[k] = k <= p ? correlation(k) * unit_ : 0.0;
  rowLength_ = length;
}

void GapInterpolator::ExtendFactor(int32_t steps) {
  // The Levinson recursion for a general right-hand side (SolveToeplitz in
  // RepairBlock.h) updates a forward vector g and an error alpha that
  // depend on the row alone; step i's are kept, g reversed, so that a
  // solve only runs the right-hand side's part.
  if (steps <= factorSteps_) return;
  ExtendRow(steps + 1);
  const double* t = row_.data();
  for (int32_t i = factorSteps_; i < steps; ++i) {
    double* g = reversed_.data() + static_cast<size_t>(i) * static_cast<size_t>(i + 1) / 2;
    if (i == 0) {
      g[0] = -t[1];
      alpha_[0] = 1.0 * (1.0 - g[0] * g[0]);
      continue;
    }
    const double* previous = g - i;  // step i - 1's, i values
    double sumG = 0.0;
    for (int32_t j = 0; j < i; ++j) sumG += t[j + 1] * previous[j];
    const double kappa = -(t[i + 1] + sumG) / alpha_[i - 1];
    g[0] = kappa;
    for (int32_t m = 1; m <= i; ++m) g[m] = previous[m - 1] + kappa * previous[i - m];
    alpha_[i] = alpha_[i - 1] * (1.0 - kappa * kappa);
  }
  factorSteps_ = steps;
}

void GapInterpolator::SolveKept(const double* b, int32_t length, double* y) {
  y[0] = b[0];
  if (length < 2) return;
  ExtendFactor(length - 1);
  const double* t = row_.data();
  for (int32_t i = 0; i <= length - 2; ++i) {
    const double* g = reversed_.data() + static_cast<size_t>(i) * static_cast<size_t>(i + 1) / 2;
    double sumY = 0.0;
    for (int32_t j = 0; j <= i; ++j) sumY += t[j + 1] * y[i - j];
    const double mu = (b[i + 1] - sumY) / alpha_[i];
    for (int32_t j = 0; j <= i; ++j) y[j] = y[j] + mu * g[j];
    y[i + 1] = mu;
  }
}

bool GapInterpolator::Fill(float* gap, int32_t length, double offset) {
  if (!valid_ || length < 1 || length > maxGap_) return false;
  const int32_t p = order_;
  const double* a = coeffs_.data();
  double* stretch = stretch_.data();
  for (int32_t i = 0; i < p; ++i) stretch[i] = gap[i - p] - offset;
  std::fill(stretch + p, stretch + p + length, 0.0);
  for (int32_t i = 0; i < p; ++i) stretch[p + length + i] = gap[length + i] - offset;

  // e0[j]: the prediction error at gap sample j with the gap at zero.
  PredictionError(stretch, a, p, p + length, errors_.data());
  GapCorrelation(errors_.data(), a, p, length, rhs_.data());
  ExtendRow(length);
  for (int32_t k = 0; k < length; ++k) rhs_[k] *= -unit_;
  SolveKept(rhs_.data(), length, solution_.data());
  if (!AllFinite(solution_.data(), length)) return false;
  for (int32_t i = 0; i < length; ++i) gap[i] = static_cast<float>(solution_[i] + offset);
  filledLength_ = length;
  return true;
}

double GapInterpolator::EdgeVariance() {
  // [T^-1]_00 = 1 / the last prediction error of the Durbin recursion on
  // the normalised system's first row; the recursion for a longer gap
  // goes on from where a shorter one's stopped.
  const int32_t length = filledLength_;
  if (length > edgeSteps_ && edgeFailed_ == 0) {
    ExtendRow(length);
    const double* t = row_.data();
    double* g = durbin_.data();
    double* h = durbinNext_.data();
    double error = edgeError_[edgeSteps_];
    for (int32_t i = edgeSteps_; i < length; ++i) {
      double sum = t[i];
      for (int32_t j = 1; j < i; ++j) sum += g[j] * t[i - j];
      const double kappa = -sum / error;
      for (int32_t j = 1; j < i; ++j) h[j] = g[j] + kappa * g[i - j];
      std::copy(h + 1, h + i, g + 1);
      g[i] = kappa;
      error *= 1.0 - kappa * kappa;
      if (!(error > 0.0)) {
        edgeFailed_ = i + 1;
        break;
      }
      edgeError_[i + 1] = error;
      edgeSteps_ = i + 1;
    }
  }
  if (length <= 1 || (edgeFailed_ > 0 && length >= edgeFailed_)) return 1.0;
  return 1.0 / edgeError_[length];
}

}  // namespace veltane
