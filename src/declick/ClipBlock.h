// Simple-mode click suppression: clamps outliers of one block against a
// multiple of its mean absolute deviation.
#pragma once

#include <cstdint>

namespace veltane {

// Samples handed back from when an outlier is replaced.
constexpr int32_t kClipLookBack = 30;

// In place on x[0 .. blockLength-1]: with m the block mean and T = factor
// times the mean absolute deviation from m, a sample further than T from m
// is clamped to m +- T among the first 30 samples and, later, takes the
// final value already given to the sample 30 before it. Never allocates.
void ClipBlock(double* x, int32_t blockLength, double factor);

}  // namespace veltane
