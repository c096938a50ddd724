// Autoregressive click detection and least-squares repair of one block.
//
// Method: fit an all-pole (AR) model to the block by the autocorrelation
// method and the Levinson-Durbin recursion; take the largest absolute
// prediction error against a robust spread estimate (mean absolute error
// times sqrt(pi/2)); while that ratio passes the threshold, zero a gap around
// it and refill the gap with the samples that minimise the summed squared
// prediction error across it (least-squares AR interpolation, solved as a
// symmetric Toeplitz system by the Levinson recursion for a general
// right-hand side).
//
// Every routine works on caller-owned f64 arrays, keeps no state and never
// allocates. Sums are formed left to right over increasing index, exactly as
// each formula reads; the fast paths only compute several independent sums
// side by side in vector lanes, never reorder one, so the kernels of every
// instruction set (KernelLevel) give the same bits.
#pragma once

#include <cstdint>

namespace veltane {

// Limits of the work arrays (RepairWork).
constexpr int32_t kMaxModelOrder = 40;      // p
constexpr int32_t kMaxGapLength = 101;      // samples in one gap
constexpr int32_t kMaxGapResidual = 141;    // p + gap length
constexpr int32_t kSearchMargin = 50;       // residual values skipped at each end
constexpr double kRobustSpread = 1.253314137;  // sqrt(pi/2): mean |Gaussian| -> sigma

// Caller-owned work arrays for one RepairBlock call (not owned here). Sizes
// in doubles.
struct RepairWork {
  double* autocorr = nullptr;        // r[0..p]: kMaxModelOrder + 1
  double* coeffs = nullptr;          // a[0..p], a[0] = 1: kMaxModelOrder + 1
  double* residual = nullptr;        // prediction errors: blockLength
  double* toeplitzRow = nullptr;     // first row of the gap system: kMaxGapLength
  double* solverForward = nullptr;   // kMaxGapLength
  double* solverBackward = nullptr;  // kMaxGapLength
  double* rhs = nullptr;             // right-hand side of the gap system: kMaxGapLength
  double* gapResidual = nullptr;     // errors over a gap and p after it: kMaxGapResidual
};

// Nominal repair width for an outlier ratio, capped at maxClickWidth, and
// whether the model must be refitted before the next search.
struct ClickWidth {
  int32_t width;
  bool refit;
};
ClickWidth NominalClickWidth(double ratio, int32_t maxClickWidth);

// Repairs x[0 .. blockLength-1] in place: at most maxClicks gaps, each found
// as the largest outlier of the AR(modelOrder) prediction error among the
// click centres modelOrder + 50 .. blockLength - modelOrder - 51, while the
// outlier ratio is at least `threshold`. peakRatio is raised to every ratio
// seen (also below the threshold; stored as f32). A block whose first
// blockLength - modelOrder samples are constant comes back unchanged with
// peakRatio untouched. Arguments outside the limits (modelOrder not in
// 1..40, blockLength below 2 * modelOrder + 101, a missing array) leave
// everything untouched. A maxClickWidth below 1 acts as 1. Never allocates.
// `gaps` (optional) receives each repaired gap, in repair order.
struct RepairGaps {
  static constexpr int32_t kMax = 64;  // at least any maxClicks the declicker uses
  int32_t count = 0;
  int32_t start[kMax];   // first sample of the gap in x
  int32_t length[kMax];  // samples
};
void RepairBlock(double* x, int32_t blockLength, int32_t modelOrder, int32_t maxClicks,
                 double threshold, int32_t maxClickWidth, const RepairWork& work,
                 float& peakRatio, RepairGaps* gaps = nullptr);

// r[k] = (1 / (N - p)) * sum_{i=0}^{N-p-k-1} x[i] x[i+k], k = 0..p: only the
// first N - p samples take part.
void Autocorrelation(const double* x, int32_t blockLength, int32_t modelOrder, double* r);

// AR coefficients a[1..p] from r[0..p] by the Levinson-Durbin recursion, for
// the error e[n] = sum_{k=0}^{p} a[k] x[n-k] with a[0] = 1 (set by the
// caller; a[0] is not written).
void LevinsonDurbin(const double* r, int32_t modelOrder, double* a);

// e[n] = sum_{k=0}^{p} a[k] x[n + p - k], n = 0..count-1: x is the first
// sample of the stretch, so e[n] is the error at sample n + p. e must not
// overlap x.
void PredictionError(const double* x, const double* a, int32_t modelOrder, int32_t count,
                     double* e);

// b[n] = sum_{j=0}^{p} a[j] e0[n + j], n = 0..gapLength-1. b must not
// overlap e0.
void GapCorrelation(const double* e0, const double* a, int32_t modelOrder, int32_t gapLength,
                    double* b);

// t[k] = sum_{j=0}^{p-k} a[j] a[j+k], k = 0..count-1 (count <= p + 1).
void CoefficientCorrelation(const double* a, int32_t modelOrder, int32_t count, double* t);

// Solves sum_m t[|n-m|] y[m] = b[n], n = 0..L-1, for a symmetric Toeplitz
// matrix with t[0] = 1. backward and forward are work vectors of L doubles;
// y must not overlap t or b.
void SolveToeplitz(const double* t, const double* b, int32_t gapLength, double* y,
                   double* backward, double* forward);

}  // namespace veltane
