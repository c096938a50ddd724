// The instruction set the signal-processing kernels run with, chosen at run
// time from what the processor offers.
//
// Every hot loop is built twice: for the x86-64 baseline (SSE2) and for
// x86-64-v3 (AVX2), the latter in functions marked VELTANE_TARGET_V3 so the
// rest of the program stays runnable on any x86-64. Both builds do exactly
// the same floating-point operations in the same order (no fused
// multiply-add: the core libraries are compiled with -ffp-contract=off), so
// the output does not depend on the machine. The choice is a test of one
// variable per kernel call, not ifunc or target_clones (which Windows PE
// images do not have), so the Windows DLL chooses the same way.
#pragma once

#include <cstdint>
#include <utility>

// Marks a function compiled for x86-64-v3; `flatten` inlines the shared
// kernel templates into it, so they are built with the same instructions.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VELTANE_HAS_V3 1
#define VELTANE_TARGET_V3 __attribute__((target("arch=x86-64-v3"), flatten))
#else
#define VELTANE_HAS_V3 0
#define VELTANE_TARGET_V3
#endif

namespace veltane {

enum class KernelLevel : uint8_t {
  Baseline,   // any x86-64 (SSE2)
  X86_64_V3,  // AVX2, FMA, BMI1/2, F16C, LZCNT, MOVBE, with the OS saving the AVX state
};

// The best level this processor and operating system run, detected when the
// program (or the DLL, or the plugin) loads.
KernelLevel SupportedKernelLevel();

// The level the kernels use: the supported one unless UseKernelLevel chose a
// lower one. Lock-free; safe from any thread.
KernelLevel ActiveKernelLevel();

// Makes the kernels run at `wanted`, lowered to what is supported, and
// returns the level now in use. For tests and benchmarks that compare the
// builds; call it while no chain is processing.
KernelLevel UseKernelLevel(KernelLevel wanted);

// "baseline" or "x86-64-v3".
const char* KernelLevelName(KernelLevel level);

// True when the x86-64-v3 kernels are to run (the test every dispatching
// function makes once per call, never per sample).
inline bool UseV3Kernels() { return VELTANE_HAS_V3 && ActiveKernelLevel() == KernelLevel::X86_64_V3; }

// Vector widths of each level, in lanes, as the kernels are written for them.
struct BaselineIsa {
  static constexpr int kDoubleLanes = 2;
  static constexpr int kFloatLanes = 4;
};
struct V3Isa {
  static constexpr int kDoubleLanes = 4;
  static constexpr int kFloatLanes = 8;
};

template <class Kernel, class... Args>
VELTANE_TARGET_V3 auto RunV3Kernel(Args&&... args) {
  return Kernel::template Run<V3Isa>(std::forward<Args>(args)...);
}

// Runs Kernel::Run<Isa>(args...) built for the active level. Kernels are
// types with internal linkage (anonymous namespace), so each build exists
// once per translation unit.
template <class Kernel, class... Args>
auto DispatchKernel(Args&&... args) {
#if VELTANE_HAS_V3
  if (UseV3Kernels()) return RunV3Kernel<Kernel>(std::forward<Args>(args)...);
#endif
  return Kernel::template Run<BaselineIsa>(std::forward<Args>(args)...);
}

}  // namespace veltane
