// Split-radix real FFT (Sorensen, Jones, Heideman and Burrus, 1987).
#include "spectral/RealFft.h"

#include <cstddef>
#include <utility>

namespace veltane {
namespace {

// 1/sqrt(2) as the algorithm defines it: rounded to single precision.
constexpr double kR = static_cast<double>(0.70710677f);

bool IsPowerOfTwo(uint32_t n, uint32_t m) { return m < 32 && n == (uint32_t{1} << m); }

// The index scheme of the L-shaped butterflies: visits i = s, s + d, ...
// below visitBound, then restarts at s = 2d - span with d quadrupled, for as
// long as s stays below restartBound.
template <typename Visit>
inline void Sweep(size_t span, size_t step, size_t restartBound, size_t visitBound, Visit&& visit) {
  size_t s = 0;
  size_t d = step;
  while (s < restartBound) {
    for (size_t i = s; i < visitBound; i += d) visit(i);
    s = 2 * d - span;
    d *= 4;
  }
}

void DigitReverse(float* x, size_t n) {
  size_t j = 0;
  for (size_t i = 0; i + 1 < n; ++i) {
    if (i < j) std::swap(x[i], x[j]);
    size_t k = n / 2;
    while (k <= j) {
      j -= k;
      k /= 2;
    }
    j += k;
  }
}

void LengthTwoButterflies(float* x, size_t n) {
  if (n < 2) return;
  Sweep(2, 4, n - 1, n - 1, [x](size_t i) {
    const double a = x[i];
    const double b = x[i + 1];
    x[i] = static_cast<float>(a + b);
    x[i + 1] = static_cast<float>(a - b);
  });
}

}  // namespace

void RealFftForward(float* x, uint32_t n, uint32_t m, const float* cosTable,
                    const float* sinTable) {
  if (x == nullptr || !IsPowerOfTwo(n, m)) return;
  const size_t size = n;
  DigitReverse(x, size);
  LengthTwoButterflies(x, size);
  if (m < 2) return;

  for (uint32_t k = 2; k <= m; ++k) {
    const size_t span = size_t{1} << k;
    const size_t quarter = span / 4;
    const size_t eighth = span / 8;

    // Butterflies without twiddles (j = 1) and, past the first stage, the
    // ones at the eighth point whose twiddle is 1/sqrt(2).
    Sweep(span, 2 * span, size, size, [=](size_t i) {
      size_t i1 = i, i2 = i1 + quarter, i3 = i2 + quarter, i4 = i3 + quarter;
      double t1 = static_cast<double>(x[i4]) + x[i3];
      x[i4] = static_cast<float>(static_cast<double>(x[i4]) - x[i3]);
      x[i3] = static_cast<float>(x[i1] - t1);
      x[i1] = static_cast<float>(x[i1] + t1);
      if (quarter == 1) return;
      i1 += eighth;
      i2 += eighth;
      i3 += eighth;
      i4 += eighth;
      t1 = (static_cast<double>(x[i3]) + x[i4]) * kR;
      const double t2 = (static_cast<double>(x[i3]) - x[i4]) * kR;
      const double a1 = x[i1];
      const double a2 = x[i2];
      x[i4] = static_cast<float>(a2 - t1);
      x[i3] = static_cast<float>(-a2 - t1);
      x[i2] = static_cast<float>(a1 - t2);
      x[i1] = static_cast<float>(a1 + t2);
    });

    // The general L-shaped butterflies, one twiddle pair per j.
    for (size_t j = 2; j <= eighth; ++j) {
      const size_t q = (j - 1) * (size / span);
      const double cc1 = cosTable[q];
      const double ss1 = sinTable[q];
      const double cc3 = cosTable[3 * q];
      const double ss3 = sinTable[3 * q];
      Sweep(span, 2 * span, size - 1, size - 1, [=](size_t i) {
        const size_t i1 = i + j - 1, i2 = i1 + quarter, i3 = i2 + quarter, i4 = i3 + quarter;
        const size_t i5 = i + quarter - j + 1, i6 = i5 + quarter, i7 = i6 + quarter,
                     i8 = i7 + quarter;
        const double a1 = x[i1], a2 = x[i2], a3 = x[i3], a4 = x[i4];
        const double a5 = x[i5], a6 = x[i6], a7 = x[i7], a8 = x[i8];
        const double t1 = a3 * cc1 + a7 * ss1;
        const double t2 = a7 * cc1 - a3 * ss1;
        const double t3 = a4 * cc3 + a8 * ss3;
        const double t4 = a8 * cc3 - a4 * ss3;
        const double t5 = t1 + t3;
        const double t6 = t2 + t4;
        const double u = t1 - t3;
        const double v = t2 - t4;
        x[i3] = static_cast<float>(t6 - a6);
        x[i8] = static_cast<float>(t6 + a6);
        x[i7] = static_cast<float>(-a2 - u);
        x[i4] = static_cast<float>(a2 - u);
        x[i6] = static_cast<float>(a1 - t5);
        x[i1] = static_cast<float>(a1 + t5);
        x[i5] = static_cast<float>(a5 - v);
        x[i2] = static_cast<float>(a5 + v);
      });
    }
  }
}

void RealFftInverse(float* x, uint32_t n, uint32_t m, const float* cosTable,
                    const float* sinTable) {
  if (x == nullptr || !IsPowerOfTwo(n, m)) return;
  const size_t size = n;
  if (m < 2) {
    LengthTwoButterflies(x, size);
    DigitReverse(x, size);
    return;
  }

  size_t span = 2 * size;
  for (uint32_t stage = 1; stage < m; ++stage) {
    const size_t step = span;
    span /= 2;
    const size_t quarter = span / 4;
    const size_t eighth = span / 8;

    Sweep(span, step, size, size, [=](size_t i) {
      size_t i1 = i, i2 = i + quarter, i3 = i + 2 * quarter, i4 = i + 3 * quarter;
      double t1 = static_cast<double>(x[i1]) - x[i3];
      x[i1] = static_cast<float>(static_cast<double>(x[i1]) + x[i3]);
      x[i2] = static_cast<float>(2.0 * x[i2]);
      const double a4 = x[i4];
      x[i3] = static_cast<float>(t1 - 2.0 * a4);
      x[i4] = static_cast<float>(t1 + 2.0 * a4);
      if (quarter == 1) return;
      i1 += eighth;
      i2 += eighth;
      i3 += eighth;
      i4 += eighth;
      const double b1 = x[i1], b2 = x[i2], b3 = x[i3], b4 = x[i4];
      t1 = (b2 - b1) * kR;
      const double t2 = (b4 + b3) * kR;
      x[i1] = static_cast<float>(b1 + b2);
      x[i2] = static_cast<float>(b4 - b3);
      x[i3] = static_cast<float>(2.0 * (-t2 - t1));
      x[i4] = static_cast<float>(2.0 * (t1 - t2));
    });

    for (size_t j = 2; j <= eighth; ++j) {
      const size_t q = (j - 1) * (size / span);
      const double cc1 = cosTable[q];
      const double ss1 = sinTable[q];
      const double cc3 = cosTable[3 * q];
      const double ss3 = sinTable[3 * q];
      Sweep(span, 2 * span, size, size - 1, [=](size_t i) {
        const size_t i1 = i + j - 1, i2 = i1 + quarter, i3 = i2 + quarter, i4 = i3 + quarter;
        const size_t i5 = i + quarter - j + 1, i6 = i5 + quarter, i7 = i6 + quarter,
                     i8 = i7 + quarter;
        const double a1 = x[i1], a2 = x[i2], a3 = x[i3], a4 = x[i4];
        const double a5 = x[i5], a6 = x[i6], a7 = x[i7], a8 = x[i8];
        x[i1] = static_cast<float>(a1 + a6);
        x[i5] = static_cast<float>(a5 + a2);
        x[i6] = static_cast<float>(a8 - a3);
        x[i2] = static_cast<float>(a4 - a7);
        const double p = (a5 - a2) - (a3 + a8);
        const double q1 = a1 - a6 - (a4 + a7);
        const double p3 = (a3 + a8) + (a5 - a2);
        const double q3 = a1 - a6 + (a4 + a7);
        x[i3] = static_cast<float>(p * ss1 + q1 * cc1);
        x[i7] = static_cast<float>(q1 * ss1 - p * cc1);
        x[i4] = static_cast<float>(q3 * cc3 - p3 * ss3);
        x[i8] = static_cast<float>(p3 * cc3 + q3 * ss3);
      });
    }
  }

  LengthTwoButterflies(x, size);
  DigitReverse(x, size);
}

}  // namespace veltane
