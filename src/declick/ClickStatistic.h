// The click detector's statistic: a short AR model of a block, and how far
// each sample lies from its least-squares interpolation by its neighbours,
// in units of the local spread of the model's error.
//
// Method: the model comes from the autocorrelation method (mean removed,
// Hann window, zero lag loaded) and the Levinson-Durbin recursion. With the
// prediction error e[n] = sum_k a[k] x[n-k], g[n] = sum_j a[j] e[n+j] is half
// the gradient of the summed squared error with respect to x[n]; x[n] less
// its least-squares interpolation from both sides is g[n] / sum a^2, whose
// deviation under the model is sigma / sqrt(sum a^2). So
// z[n] = |g[n]| / (sigma sqrt(sum a^2)) counts standard deviations, and
// because it looks both ways a click's end stands out as well as its start.
// sigma is local: sqrt(pi/2) times the median, over neighbouring
// sub-blocks, of the mean absolute error in each, so one loud click does not
// raise the yardstick it is measured by.
//
// Single precision (the model only decides where to look; the repair is
// double). The loops keep one accumulator per lag or output, in vector
// lanes, and are built for each instruction set (KernelLevel) without
// reordering any sum, so every machine gets the same bits. Nothing
// allocates.
#pragma once

#include <cstdint>

namespace veltane {

// The short model's largest order, and the zero padding the fit's scratch
// needs past the block.
constexpr int32_t kMaxShortOrder = 31;
constexpr int32_t kShortLagPad = kMaxShortOrder + 1;
// The widest span of sub-blocks either side that a median runs over.
constexpr int32_t kMaxSpreadSpan = 16;

// a[0 .. order] (a[0] = 1) of x[0 .. n) (mean-free) times window[0 .. n),
// r[0] multiplied by 1 + loading; autocorrelation in single precision,
// Levinson-Durbin in double. scratch holds n + kShortLagPad floats. False,
// with `a` unusable, when order is outside 1 .. kMaxShortOrder or the
// block is silent or not finite.
bool FitShortModel(const float* x, int32_t n, const float* window, int32_t order, double loading, float* scratch,
                   double* a);

// weights[i] = window[i] x g(i / subLength) for i = 0 .. subBlocks x
// subLength - 1: a sub-block whose power exceeds limit^2 times the median
// power of the sub-blocks within `span` of it (those that exist; the upper
// median of an even count) gets g = limit x sqrt(median / power), scaling its
// RMS down to limit times its neighbours'; every other sub-block gets g = 1.
// A click is louder than the sound on both sides of it and is weighed down
// in the fit, so the model describes the music rather than the click; a
// sound that starts loud has loud neighbours on one side, which make the
// median of a wide enough span, and keeps its weight. subLength is a
// multiple of 4; span is at most kMaxSpreadSpan; sub-blocks past the
// kMaxRobustSubBlocks-th keep g = 1. Returns false, with `weights` not
// written, when every g is 1: the window itself is then the weighting.
constexpr int32_t kMaxRobustSubBlocks = 64;
bool RobustWeights(const float* x, const float* window, int32_t subBlocks, int32_t subLength, int32_t span,
                   float limit, float* weights);

// e[i] = sum_{k=0}^{order} a[k] x[i-k] for i = 0 .. count-1; reads
// x[-order .. count).
void ShortPredictionErrors(const float* x, const float* a, int32_t order, int32_t count, float* e);

// g[i] = |sum_{j=0}^{order} a[j] e[i+j]| for i = 0 .. count-1; reads
// e[0 .. count + order).
void InterpolationErrors(const float* e, const float* a, int32_t order, int32_t count, float* g);

// spread[j] = max(sqrt(pi/2) x the median of m[j-span .. j+span], floor) for
// sub-blocks j = first .. last-1 of the `subBlocks` sub-blocks of
// `subLength` samples (a multiple of 4) of e, where m[i] is the mean |e| of
// sub-block i; the median runs over the sub-blocks that exist (fewer near
// the ends; the upper median of an even count). meanAbs is scratch of
// subBlocks floats; span is at most kMaxSpreadSpan.
void LocalSpread(const float* e, int32_t subBlocks, int32_t subLength, int32_t first, int32_t last, int32_t span,
                 float floor, float* meanAbs, float* spread);

}  // namespace veltane
