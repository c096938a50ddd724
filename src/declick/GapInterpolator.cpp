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
constexpr double kClickLoading = 1e-6;  // zero-lag loading of the click's model
// The click's innovation variance at each sample: the mean square of the
// innovations within kVarianceHalfSpan samples, times kClickVarianceScale,
// at least kVarianceFloor times its largest value. Measured on the
// evaluation recordings: spans of 3 to 9 do about as well; a scale of 0.5
// (the click taken for somewhat less than the fill leaves) fixed one click
// more than 1 or 2. The floor keeps the click's model, fitted to a rough
// estimate of the click, from being trusted where the click runs smoothly:
// without it a strong 60-sample decay over tonal music kept 10 dB more of
// itself.
constexpr int32_t kVarianceHalfSpan = 2;
constexpr double kClickVarianceScale = 0.5;
constexpr double kVarianceFloor = 1e-2;

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

// Solves the symmetric positive definite system m y = b in place (y in b)
// by Cholesky's factorisation of m's lower triangle (row-major, n x n; the
// upper triangle is not read). False when m is not positive definite or a
// result is not finite.
bool CholeskySolve(double* m, int32_t n, double* b) {
  const auto at = [&](int32_t i, int32_t j) -> double& { return m[static_cast<size_t>(i) * n + j]; };
  for (int32_t j = 0; j < n; ++j) {
    double pivot = at(j, j);
    for (int32_t k = 0; k < j; ++k) pivot -= at(j, k) * at(j, k);
    if (!(pivot > 0.0)) return false;
    const double root = std::sqrt(pivot);
    at(j, j) = root;
    for (int32_t i = j + 1; i < n; ++i) {
      double sum = at(i, j);
      for (int32_t k = 0; k < j; ++k) sum -= at(i, k) * at(j, k);
      at(i, j) = sum / root;
    }
  }
  for (int32_t i = 0; i < n; ++i) {
    double sum = b[i];
    for (int32_t k = 0; k < i; ++k) sum -= at(i, k) * b[k];
    b[i] = sum / at(i, i);
  }
  for (int32_t i = n - 1; i >= 0; --i) {
    double sum = b[i];
    for (int32_t k = i + 1; k < n; ++k) sum -= at(k, i) * b[k];
    b[i] = sum / at(i, i);
  }
  for (int32_t i = 0; i < n; ++i) {
    if (!std::isfinite(b[i])) return false;
  }
  return true;
}

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
      durbinNext_(static_cast<size_t>(maxGap_)),
      joint_(static_cast<size_t>(maxGap_) * static_cast<size_t>(maxGap_)),
      jointRhs_(static_cast<size_t>(maxGap_)),
      click_(static_cast<size_t>(maxGap_)),
      innovation_(static_cast<size_t>(maxGap_ + kClickOrder)),
      weight_(static_cast<size_t>(maxGap_ + kClickOrder)) {}

void GapInterpolator::BuildHann(int32_t length) {
  if (hannLength_ == length) return;
  // Symmetric about the window's middle and non-zero at both ends.
  hannEnergy_ = 0.0;
  for (int32_t i = 0; i < length; ++i) {
    hann_[i] = 0.5 - 0.5 * std::cos(kTwoPi * (i + 0.5) / length);
    hannEnergy_ += hann_[i] * hann_[i];
  }
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
  // The final prediction error of the windowed sides, per unit of window
  // energy: the model's error variance per sample.
  double error = 0.0;
  for (int32_t k = 0; k <= order; ++k) error += coeffs_[k] * loaded_[k];
  variance_ = valid_ && error > 0.0 ? error / (2.0 * hannEnergy_) : 0.0;
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
  variance_ = 0.0;
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
  if (rowLength_ == 0) {
    rowScale_ = correlation(0);
    unit_ = 1.0 / rowScale_;
  }
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

bool GapInterpolator::Separate(float* gap, const float* arrived, int32_t length, double offset) {
  constexpr int32_t q = kClickOrder;
  if (!valid_ || length <= q || length != filledLength_ || !(variance_ > 0.0)) return false;
  // The click as the interpolation leaves it, zero outside the gap: its
  // model by the autocorrelation method, unwindowed (the zeros are true).
  for (int32_t i = 0; i < length; ++i) click_[i] = static_cast<double>(arrived[i]) - gap[i];
  double r[q + 1];
  for (int32_t k = 0; k <= q; ++k) {
    r[k] = 0.0;
    for (int32_t i = 0; i + k < length; ++i) r[k] += click_[i] * click_[i + k];
  }
  r[0] *= 1.0 + kClickLoading;
  if (!(r[0] > 0.0) || !AllFinite(r, q + 1)) return false;
  double b[q + 1] = {1.0};
  LevinsonDurbin(r, q, b);
  // The click's innovations e[n] = sum_k b[k] d[n-k], n = 0 .. L+q-1, and
  // the variance each is weighed by: their local mean square, so that the
  // click is strong where it was strong and clean samples beside a short
  // click stay as they arrived.
  const int32_t count = length + q;
  // sum_k b[k] x(n - k) over the samples inside the gap.
  const auto filtered = [&](int32_t n, const auto& x) {
    double e = 0.0;
    for (int32_t k = 0; k <= q; ++k) {
      if (n - k >= 0 && n - k < length) e += b[k] * x(n - k);
    }
    return e;
  };
  double* innovation = innovation_.data();
  for (int32_t n = 0; n < count; ++n) {
    const double e = filtered(n, [&](int32_t i) { return click_[i]; });
    innovation[n] = e * e;
  }
  double largest = 0.0;
  double* weight = weight_.data();
  for (int32_t n = 0; n < count; ++n) {
    double sum = 0.0;
    for (int32_t j = std::max(n - kVarianceHalfSpan, 0); j <= std::min(n + kVarianceHalfSpan, count - 1); ++j) {
      sum += innovation[j];
    }
    weight[n] = sum / (2 * kVarianceHalfSpan + 1);
    largest = std::max(largest, weight[n]);
  }
  if (!(largest > 0.0) || !std::isfinite(largest)) return false;
  // Both error sums in units of their own variance, the system divided as
  // Fill divided it: weight[n] = variance_ / (rowScale_ x the innovation's
  // variance).
  const double floor = kVarianceFloor * largest;
  for (int32_t n = 0; n < count; ++n) {
    weight[n] = variance_ / (rowScale_ * kClickVarianceScale * std::max(weight[n], floor));
  }
  // The normal matrix: the plain fill's Toeplitz row plus B' W B, banded by
  // q; dense (the gaps are short), solved by Cholesky.
  double* m = joint_.data();
  const auto at = [&](int32_t i, int32_t j) -> double& { return m[static_cast<size_t>(i) * length + j]; };
  for (int32_t i = 0; i < length; ++i) {
    for (int32_t j = 0; j <= i; ++j) at(i, j) = row_[i - j];
  }
  for (int32_t i = 0; i < length; ++i) {
    for (int32_t j = std::max(i - q, 0); j <= i; ++j) {
      double sum = 0.0;
      for (int32_t n = i; n <= j + q; ++n) sum += b[n - i] * b[n - j] * weight[n];
      at(i, j) += sum;
    }
  }
  // Right-hand side: the plain fill's plus B' W B (arrived - offset).
  double* rhs = jointRhs_.data();
  for (int32_t n = 0; n < count; ++n) {
    innovation[n] = weight[n] * filtered(n, [&](int32_t i) { return arrived[i] - offset; });
  }
  for (int32_t i = 0; i < length; ++i) {
    double sum = 0.0;
    for (int32_t k = 0; k <= q; ++k) sum += b[k] * innovation[i + k];
    rhs[i] = rhs_[i] + sum;
  }
  if (!CholeskySolve(m, length, rhs)) return false;
  for (int32_t i = 0; i < length; ++i) gap[i] = static_cast<float>(rhs[i] + offset);
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
