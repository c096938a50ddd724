// Complex single-precision FFT for the modern engine: a radix-4 Stockham
// autosort transform (Stockham 1966; Van Loan, "Computational Frameworks for
// the Fast Fourier Transform", 1992) with one radix-2 stage last when log2 N
// is odd, on split real and imaginary arrays, four lanes per vector at the
// baseline kernel level and eight at x86-64-v3 (KernelLevel.h), with the
// same operations per element at both, so the same bits.
//
// Two real channels go through one complex transform: with z = x0 + i x1 the
// spectrum Z[k] holds both, X0[k] = (Z[k] + conj Z[N-k]) / 2 and
// X1[k] = (Z[k] - conj Z[N-k]) / 2i; a real gain applied to Z[k] and Z[N-k]
// alike is that gain on both channels.
//
// Natural order in and out (no bit reversal). The vectors are GCC/clang
// vector extensions: SSE2 or AVX2 on x86-64, NEON on ARM, plain code where
// neither exists. Setup allocates; the transforms allocate nothing, keep no
// state and may run on several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltane {

class FloatFft {
 public:
  static constexpr uint32_t kMinSize = 16;
  static constexpr uint32_t kMaxSize = uint32_t{1} << 20;

  // Prepares the twiddle factors for n = 2^m, kMinSize <= n <= kMaxSize.
  // Allocates. False, changing nothing, for any other n.
  bool Setup(uint32_t n);
  uint32_t Size() const { return size_; }

  // Z[k] = sum_j z[j] e^(-2 pi i j k / n). in, out and work are distinct
  // arrays of Size() floats each (real and imaginary parts apart); `in` is
  // left as it was, `work` is scratch. Does nothing before Setup.
  void Forward(const float* inRe, const float* inIm, float* outRe, float* outIm, float* workRe,
               float* workIm) const;
  // z[j] = sum_k Z[k] e^(+2 pi i j k / n), without the 1/n: Inverse after
  // Forward gives n z. Same array rules as Forward.
  void Inverse(const float* inRe, const float* inIm, float* outRe, float* outIm, float* workRe,
               float* workIm) const {
    // The inverse transform is the forward one with real and imaginary parts swapped on both sides.
    Forward(inIm, inRe, outIm, outRe, workIm, workRe);
  }

 private:
  uint32_t size_ = 0;
  // Per radix-4 stage, sub-transform length L = n, n/4, ... down to 4: the
  // real and imaginary parts of w^p, w^2p, w^3p (w = e^(-2 pi i / L),
  // p < L/4) as six arrays of L/4.
  std::vector<float> twiddles_;
};

}  // namespace veltane
