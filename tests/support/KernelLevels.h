// Runs a test body once per kernel level the processor supports, so that
// every build of the kernels meets the same expectations.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "framework/KernelLevel.h"

namespace veltane::testing {

// The levels this processor runs, baseline first.
inline std::vector<KernelLevel> SupportedLevels() {
  std::vector<KernelLevel> levels = {KernelLevel::Baseline};
  if (SupportedKernelLevel() != KernelLevel::Baseline) levels.push_back(SupportedKernelLevel());
  return levels;
}

// body(level) with the kernels at each supported level in turn; the
// supported level is active again afterwards.
template <class Body>
void ForEachKernelLevel(Body&& body) {
  for (KernelLevel level : SupportedLevels()) {
    SCOPED_TRACE(KernelLevelName(level));
    UseKernelLevel(level);
    body(level);
  }
  UseKernelLevel(SupportedKernelLevel());
}

}  // namespace veltane::testing
