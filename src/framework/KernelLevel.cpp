// Run-time choice of the kernels' instruction set (CPUID and XGETBV as the
// Intel and AMD programmer's manuals describe them).
#include "framework/KernelLevel.h"

#include <atomic>

#if VELTANE_HAS_V3
#include <cpuid.h>
#endif

namespace veltane {
namespace {

#if VELTANE_HAS_V3
bool Bit(uint32_t word, int bit) { return ((word >> bit) & 1u) != 0; }

// x86-64-v3 as the psABI defines it: AVX, AVX2, BMI1, BMI2, F16C, FMA,
// LZCNT and MOVBE on top of v2 (SSE3 .. SSE4.2, POPCNT, CX16, LAHF-SAHF),
// and an OS that saves the SSE and AVX registers (XCR0 bits 1 and 2).
KernelLevel Detect() {
  uint32_t a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return KernelLevel::Baseline;
  const bool v2 = Bit(c, 0) && Bit(c, 9) && Bit(c, 13) && Bit(c, 19) && Bit(c, 20) && Bit(c, 23);
  const bool leaf1 = Bit(c, 12) && Bit(c, 22) && Bit(c, 27) && Bit(c, 28) && Bit(c, 29);  // FMA MOVBE OSXSAVE AVX F16C
  if (!v2 || !leaf1) return KernelLevel::Baseline;
  uint32_t xcrLow = 0, xcrHigh = 0;
  __asm__ volatile("xgetbv" : "=a"(xcrLow), "=d"(xcrHigh) : "c"(0));
  if ((xcrLow & 0x6u) != 0x6u) return KernelLevel::Baseline;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return KernelLevel::Baseline;
  if (!Bit(b, 3) || !Bit(b, 5) || !Bit(b, 8)) return KernelLevel::Baseline;  // BMI1 AVX2 BMI2
  if (__get_cpuid(0x80000001u, &a, &b, &c, &d) == 0 || !Bit(c, 0) || !Bit(c, 5)) {
    return KernelLevel::Baseline;  // LAHF-SAHF, LZCNT
  }
  return KernelLevel::X86_64_V3;
}
#else
KernelLevel Detect() { return KernelLevel::Baseline; }
#endif

// Constant-initialised, so that anything running before the detection
// below (another library's static initialiser) gets the baseline, which gives
// the same bits.
constinit std::atomic<KernelLevel> supported{KernelLevel::Baseline};
constinit std::atomic<KernelLevel> active{KernelLevel::Baseline};

// Detected while the program, the DLL or the plugin loads: a kernel call on
// an audio thread never waits for it.
[[maybe_unused]] const bool detected = [] {
  const KernelLevel level = Detect();
  supported.store(level, std::memory_order_relaxed);
  active.store(level, std::memory_order_relaxed);
  return true;
}();

}  // namespace

KernelLevel SupportedKernelLevel() { return supported.load(std::memory_order_relaxed); }

KernelLevel ActiveKernelLevel() { return active.load(std::memory_order_relaxed); }

KernelLevel UseKernelLevel(KernelLevel wanted) {
  const KernelLevel best = SupportedKernelLevel();
  const KernelLevel level = wanted <= best ? wanted : best;
  active.store(level, std::memory_order_relaxed);
  return level;
}

const char* KernelLevelName(KernelLevel level) {
  return level == KernelLevel::X86_64_V3 ? "x86-64-v3" : "baseline";
}

}  // namespace veltane
