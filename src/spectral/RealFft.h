// In-place real-valued FFT pair for power-of-two lengths, after the
// split-radix real algorithm of Sorensen, Jones, Heideman and Burrus (IEEE
// Trans. ASSP, 1987): the forward transform decimates in time with the
// digit-reversal permutation first, the inverse decimates in frequency with
// the permutation last.
//
// Half-complex layout: for N real values the spectrum X[k] = sum x[n]
// e^(-2 pi i k n / N) is stored in the same N floats as
//   element 0          Re X[0]
//   element k          Re X[k],  1 <= k <= N/2
//   element N - k      Im X[k],  1 <= k <  N/2
// Im X[0] and Im X[N/2] are zero and not stored. The power of bin k is
// Re^2 + Im^2 (the square of the single stored value for k = 0 and N/2).
//
// Both transforms keep no state, allocate nothing and evaluate no
// trigonometric function: the twiddle factors come from the tables of
// ResourcePool::GetSineTable(N), read below index 3N/8. Arithmetic inside a
// butterfly is done in double precision; values are stored as floats between
// steps. Safe to call from any thread on distinct data.
#pragma once

#include <cstdint>

namespace veltane {

// Transforms data[0 .. n-1] in place into the half-complex layout. n = 2^m.
// cosTable and sinTable are the views of GetSineTable(n). Does nothing when
// n is not 2^m.
void RealFftForward(float* data, uint32_t n, uint32_t m, const float* cosTable,
                     const float* sinTable);

// Transforms a half-complex spectrum in place back to n real values without
// dividing by n: RealFftInverse(RealFftForward(x)) = n x. Does nothing when n
// is not 2^m.
void RealFftInverse(float* data, uint32_t n, uint32_t m, const float* cosTable,
                     const float* sinTable);

// The same two transforms on two signals at once, interleaved: element i of
// signal 0 at pairs[2 i], of signal 1 at pairs[2 i + 1]. Each signal gets
// exactly the values the single transforms give it; a stereo frame costs
// little more than a mono one because both run through the same steps.
void RealFftForwardPair(float* pairs, uint32_t n, uint32_t m, const float* cosTable,
                        const float* sinTable);
void RealFftInversePair(float* pairs, uint32_t n, uint32_t m, const float* cosTable,
                        const float* sinTable);

}  // namespace veltane
