// Least-squares autoregressive interpolation of a gap, and the model fit
// that feeds it.
//
// Method: the gap's samples are those that minimise the summed squared
// prediction error of an AR model over every error they enter. Its normal
// equations (A'A) y = -A' e0 (A maps the gap samples to the errors they
// enter, e0 are those errors with the gap set to zero) form a symmetric
// Toeplitz system, solved by the Levinson recursion in O(L^2). The model
// comes from the autocorrelation method (mean removed, Hann window, zero lag
// loaded by a small factor against ill conditioning) and the Levinson-Durbin
// recursion. The arithmetic is the classic repair's (RepairBlock.h), in
// double precision throughout.
//
// The parts of a fill that depend on the model alone (the system's first
// row, the Levinson recursion's forward vectors and errors, the edge
// variance per length) are kept from one fill to the next while the
// model stays: a gap that grows or shrinks one sample at a time refills
// with the same model many times. Each is computed exactly as a fresh fill
// would compute it, so a kept value is the same bits.
//
// Separate goes further where the samples that arrived in the gap still
// hold some of the signal: it takes them as the signal plus a click with
// its own short AR model, and finds the signal that makes both models'
// summed squared errors, each error in units of its own variance, least:
// the maximum a posteriori separation of two Gaussian autoregressive
// processes (interpolation from noisy observations, as in Godsill and
// Rayner, Digital Audio Restoration, 1998, with an AR model for the click
// instead of white noise). The click's innovations get a variance that
// follows their local power, so a click may be strong in one part of the
// gap and absent in another. A smooth click (an exponential decay, a
// resonance) over a rough signal comes out of the signal instead of taking
// it with it; clean samples that a gap took in beside a short click keep
// what they were; a click that looks like the signal leaves the plain
// interpolation nearly as it was.
#pragma once

#include <cstdint>
#include <vector>

namespace veltane {

class GapInterpolator {
 public:
  // Work arrays for models up to maxOrder, gaps up to maxGap samples and
  // fits over up to maxSide samples on each side of a gap (about 4 maxGap^2
  // bytes for the kept recursion and 8 maxGap^2 for Separate's matrix).
  // Allocates; nothing else does.
  GapInterpolator(int32_t maxOrder, int32_t maxGap, int32_t maxSide);

  // Fits an AR(order) model to the `side` samples on either side of the gap
  // gap[0 .. gapLength), but not to the gap: their common mean removed, each
  // side under its own Hann window, the two autocorrelations summed, r[0]
  // multiplied by 1 + loading. A provisional fill inside the gap would teach
  // the model to reproduce itself, and a hole in one window would smear its
  // spectrum. False when the arguments exceed the limits or the sides are
  // silent or not finite; the model is then unusable until the next fit or
  // SetModel. The sums are vectorised over lags; each runs over increasing
  // sample index.
  bool FitAround(const float* gap, int32_t gapLength, int32_t side, int32_t order, double loading);
  // The last fit's model again with another loading (the autocorrelation is
  // kept). False, the model unusable, when there was no fit.
  bool Reload(double loading);
  // Takes a model from elsewhere: a[0 .. order], a[0] = 1.
  void SetModel(const double* a, int32_t order);
  // The last fit's mean.
  double Mean() const { return mean_; }
  const double* Coefficients() const { return coeffs_.data(); }
  int32_t Order() const { return order_; }

  // Replaces gap[0 .. length) by its least-squares interpolation from the
  // `order` samples on either side (gap[-order .. 0) and gap[length ..
  // length + order) must be readable), every sample taken less `offset`.
  // False, with the gap untouched, when there is no model, the length is
  // outside 1 .. maxGap, or the solution is not finite.
  bool Fill(float* gap, int32_t length, double offset);
  // After a successful Fill of this gap with a fitted model (not one set by
  // SetModel): re-solves gap[0 .. length) from `arrived` (the same samples
  // as they arrived, click included) as the signal under an additive click
  // of AR order kClickOrder, whose model is fitted to what Fill's solution
  // leaves of the arrived samples. The context and offset must be Fill's.
  // False, with the gap as Fill left it, when the gap is no longer than
  // kClickOrder, the model's error variance is unknown, arrived equals the
  // fill, or the solution is not finite. Does not change what EdgeVariance
  // reports. The normal matrix is dense (the plain fill's Toeplitz matrix
  // plus a banded one), solved by Cholesky: O(L^3 / 6).
  static constexpr int32_t kClickOrder = 2;
  bool Separate(float* gap, const float* arrived, int32_t length, double offset);
  // For the last successful Fill: the variance of its first (and, by
  // symmetry, its last) sample's interpolation error, in units of the
  // model's error variance over sum a^2. 1 for a one-sample gap; it grows
  // towards the one-sided prediction's as the gap lengthens. O(L^2) the
  // first time a model meets a length, O(1) after.
  double EdgeVariance();

 private:
  void BuildHann(int32_t length);
  // The model from autocorr_[0 .. order], loaded.
  bool Solve(int32_t order, double loading);
  // Forgets what was kept for the previous model.
  void ModelChanged();
  // The normalised first row t[0 .. length) of the gap system of the
  // current model (t[k] = sum_j a[j] a[j+k] / sum_j a[j]^2, 0 past the
  // order), computed as far as it is not yet.
  void ExtendRow(int32_t length);
  // The Levinson recursion of the row, as far as `steps` steps: after step
  // i, its forward vector g (i + 1 values, kept reversed) and its error.
  void ExtendFactor(int32_t steps);
  // y[0 .. length) solving the normalised system with right-hand side b.
  void SolveKept(const double* b, int32_t length, double* y);

  int32_t maxOrder_;
  int32_t maxGap_;
  int32_t maxSide_;
  int32_t order_ = 0;
  int32_t fitOrder_ = 0;          // of the last fit, 0 after SetModel
  bool valid_ = false;
  double mean_ = 0.0;
  double variance_ = 0.0;         // the fitted model's error variance per sample; 0 when unknown
  int32_t hannLength_ = 0;     // length the Hann table was built for
  double hannEnergy_ = 0.0;    // sum of the Hann table's squares
  std::vector<double> hann_;      // maxSide
  std::vector<double> windowed_;  // one side, zero-padded: maxSide + maxOrder + a lag tile
  std::vector<double> autocorr_;  // maxOrder + 1, as fitted
  std::vector<double> loaded_;    // maxOrder + 1, loaded
  std::vector<double> coeffs_;    // maxOrder + 1
  std::vector<double> stretch_;   // the gap and its context: maxGap + 2 maxOrder
  std::vector<double> errors_;    // maxGap + maxOrder
  std::vector<double> rhs_;       // maxGap
  std::vector<double> solution_;  // maxGap, at least maxOrder + 1
  int32_t filledLength_ = 0;      // of the last Fill
  // Kept for the current model (see the header comment).
  double rowScale_ = 0.0;         // sum a^2: the system's row before it was divided by it
  double unit_ = 0.0;             // 1 / sum a^2
  int32_t rowLength_ = 0;
  std::vector<double> row_;       // maxGap
  int32_t factorSteps_ = 0;
  std::vector<double> alpha_;     // per step: the recursion's error, maxGap
  std::vector<double> reversed_;  // step i's g reversed at i (i + 1) / 2: maxGap (maxGap + 1) / 2
  int32_t edgeSteps_ = 1;         // lengths up to this have their edge error
  int32_t edgeFailed_ = 0;        // the first length whose recursion broke down, 0 for none
  std::vector<double> edgeError_; // per length, maxGap + 1
  std::vector<double> durbin_;    // the edge recursion's vector, maxGap
  std::vector<double> durbinNext_;  // maxGap
  std::vector<double> joint_;       // maxGap x maxGap: the separation's normal matrix
  std::vector<double> jointRhs_;    // maxGap
  std::vector<double> click_;       // maxGap: the click as the plain fill leaves it
  std::vector<double> innovation_;  // maxGap + kClickOrder: the click's innovations
  std::vector<double> weight_;      // maxGap + kClickOrder: their weights
};

}  // namespace veltane
