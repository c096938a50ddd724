// Split-radix real FFT (Sorensen, Jones, Heideman and Burrus, 1987).
#include "spectral/RealFft.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace veltane {
namespace {

// 1/sqrt(2) as the algorithm defines it: rounded to single precision.
constexpr double kR = static_cast<double>(0.70710677f);

bool IsPowerOfTwo(uint32_t n, uint32_t m) { return m < 32 && n == (uint32_t{1} << m); }

// L signals side by side: element i of lane l is x[i * L + l]. Every lane
// goes through exactly the same operations, in double precision within a
// step and rounded to float between steps, so the compiler can run the
// lanes of a pair in one vector register without changing any lane's result.
template <int L>
struct Lanes {
  double v[L];

  static Lanes Load(const float* x, size_t i) {
    Lanes r;
    for (int l = 0; l < L; ++l) r.v[l] = x[i * L + l];
    return r;
  }
  void Store(float* x, size_t i) const {
    for (int l = 0; l < L; ++l) x[i * L + l] = static_cast<float>(v[l]);
  }
  friend Lanes operator+(Lanes a, const Lanes& b) {
    for (int l = 0; l < L; ++l) a.v[l] += b.v[l];
    return a;
  }
  friend Lanes operator-(Lanes a, const Lanes& b) {
    for (int l = 0; l < L; ++l) a.v[l] -= b.v[l];
    return a;
  }
  friend Lanes operator-(Lanes a) {
    for (int l = 0; l < L; ++l) a.v[l] = -a.v[l];
    return a;
  }
  friend Lanes operator*(Lanes a, double k) {
    for (int l = 0; l < L; ++l) a.v[l] *= k;
    return a;
  }
  friend Lanes operator*(double k, Lanes a) {
    for (int l = 0; l < L; ++l) a.v[l] = k * a.v[l];
    return a;
  }
};

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

// The swaps of the digit-reversal permutation for one size, in the order
// the permutation's own index walk makes them.
using SwapList = std::vector<std::pair<uint32_t, uint32_t>>;

SwapList MakeSwaps(size_t n) {
  SwapList swaps;
  size_t j = 0;
  for (size_t i = 0; i + 1 < n; ++i) {
    if (i < j) swaps.emplace_back(static_cast<uint32_t>(i), static_cast<uint32_t>(j));
    size_t k = n / 2;
    while (k <= j) {
      j -= k;
      k /= 2;
    }
    j += k;
  }
  return swaps;
}

// Walking the index arithmetic costs as much as a transform stage, so each
// size's swaps are worked out once (on first use, like the sine tables) and
// kept for the rest of the process.
const SwapList& SwapsFor(uint32_t m) {
  static std::array<std::atomic<const SwapList*>, 32> lists{};
  static std::mutex building;
  if (const SwapList* list = lists[m].load(std::memory_order_acquire)) return *list;
  std::lock_guard hold(building);
  if (const SwapList* list = lists[m].load(std::memory_order_relaxed)) return *list;
  const SwapList* list = new SwapList(MakeSwaps(size_t{1} << m));  // kept until exit
  lists[m].store(list, std::memory_order_release);
  return *list;
}

template <int L>
void DigitReverse(float* x, uint32_t m) {
  for (const auto& [i, j] : SwapsFor(m)) {
    float held[L];
    std::memcpy(held, x + size_t{i} * L, sizeof held);
    std::memcpy(x + size_t{i} * L, x + size_t{j} * L, sizeof held);
    std::memcpy(x + size_t{j} * L, held, sizeof held);
  }
}

template <int L>
void LengthTwoButterflies(float* x, size_t n) {
  if (n < 2) return;
  Sweep(2, 4, n - 1, n - 1, [x](size_t i) {
    const auto a = Lanes<L>::Load(x, i);
    const auto b = Lanes<L>::Load(x, i + 1);
    (a + b).Store(x, i);
    (a - b).Store(x, i + 1);
  });
}

template <int L>
void Forward(float* x, uint32_t m, const float* cosTable, const float* sinTable) {
  using V = Lanes<L>;
  const size_t size = size_t{1} << m;
  DigitReverse<L>(x, m);
  LengthTwoButterflies<L>(x, size);
  if (m < 2) return;

  for (uint32_t k = 2; k <= m; ++k) {
    const size_t span = size_t{1} << k;
    const size_t quarter = span / 4;
    const size_t eighth = span / 8;

    // Butterflies without twiddles (j = 1) and, past the first stage, the
    // ones at the eighth point whose twiddle is 1/sqrt(2).
    Sweep(span, 2 * span, size, size, [=](size_t i) {
      size_t i1 = i, i2 = i1 + quarter, i3 = i2 + quarter, i4 = i3 + quarter;
      V a1 = V::Load(x, i1);
      V a3 = V::Load(x, i3);
      V a4 = V::Load(x, i4);
      V t1 = a4 + a3;
      (a4 - a3).Store(x, i4);
      (a1 - t1).Store(x, i3);
      (a1 + t1).Store(x, i1);
      if (quarter == 1) return;
      i1 += eighth;
      i2 += eighth;
      i3 += eighth;
      i4 += eighth;
      a1 = V::Load(x, i1);
      const V a2 = V::Load(x, i2);
      a3 = V::Load(x, i3);
      a4 = V::Load(x, i4);
      t1 = (a3 + a4) * kR;
      const V t2 = (a3 - a4) * kR;
      (a2 - t1).Store(x, i4);
      (-a2 - t1).Store(x, i3);
      (a1 - t2).Store(x, i2);
      (a1 + t2).Store(x, i1);
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
        const V a1 = V::Load(x, i1), a2 = V::Load(x, i2), a3 = V::Load(x, i3), a4 = V::Load(x, i4);
        const V a5 = V::Load(x, i5), a6 = V::Load(x, i6), a7 = V::Load(x, i7), a8 = V::Load(x, i8);
        const V t1 = a3 * cc1 + a7 * ss1;
        const V t2 = a7 * cc1 - a3 * ss1;
        const V t3 = a4 * cc3 + a8 * ss3;
        const V t4 = a8 * cc3 - a4 * ss3;
        const V t5 = t1 + t3;
        const V t6 = t2 + t4;
        const V u = t1 - t3;
        const V v = t2 - t4;
        (t6 - a6).Store(x, i3);
        (t6 + a6).Store(x, i8);
        (-a2 - u).Store(x, i7);
        (a2 - u).Store(x, i4);
        (a1 - t5).Store(x, i6);
        (a1 + t5).Store(x, i1);
        (a5 - v).Store(x, i5);
        (a5 + v).Store(x, i2);
      });
    }
  }
}

template <int L>
void Inverse(float* x, uint32_t m, const float* cosTable, const float* sinTable) {
  using V = Lanes<L>;
  const size_t size = size_t{1} << m;
  if (m < 2) {
    LengthTwoButterflies<L>(x, size);
    DigitReverse<L>(x, m);
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
      const V a1 = V::Load(x, i1), a2 = V::Load(x, i2), a3 = V::Load(x, i3), a4 = V::Load(x, i4);
      V t1 = a1 - a3;
      (a1 + a3).Store(x, i1);
      (2.0 * a2).Store(x, i2);
      (t1 - 2.0 * a4).Store(x, i3);
      (t1 + 2.0 * a4).Store(x, i4);
      if (quarter == 1) return;
      i1 += eighth;
      i2 += eighth;
      i3 += eighth;
      i4 += eighth;
      const V b1 = V::Load(x, i1), b2 = V::Load(x, i2), b3 = V::Load(x, i3), b4 = V::Load(x, i4);
      t1 = (b2 - b1) * kR;
      const V t2 = (b4 + b3) * kR;
      (b1 + b2).Store(x, i1);
      (b4 - b3).Store(x, i2);
      (2.0 * (-t2 - t1)).Store(x, i3);
      (2.0 * (t1 - t2)).Store(x, i4);
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
        const V a1 = V::Load(x, i1), a2 = V::Load(x, i2), a3 = V::Load(x, i3), a4 = V::Load(x, i4);
        const V a5 = V::Load(x, i5), a6 = V::Load(x, i6), a7 = V::Load(x, i7), a8 = V::Load(x, i8);
        (a1 + a6).Store(x, i1);
        (a5 + a2).Store(x, i5);
        (a8 - a3).Store(x, i6);
        (a4 - a7).Store(x, i2);
        const V p = (a5 - a2) - (a3 + a8);
        const V q1 = a1 - a6 - (a4 + a7);
        const V p3 = (a3 + a8) + (a5 - a2);
        const V q3 = a1 - a6 + (a4 + a7);
        (p * ss1 + q1 * cc1).Store(x, i3);
        (q1 * ss1 - p * cc1).Store(x, i7);
        (q3 * cc3 - p3 * ss3).Store(x, i4);
        (p3 * cc3 + q3 * ss3).Store(x, i8);
      });
    }
  }

  LengthTwoButterflies<L>(x, size);
  DigitReverse<L>(x, m);
}

}  // namespace

void RealFftForward(float* x, uint32_t n, uint32_t m, const float* cosTable,
                    const float* sinTable) {
  if (x != nullptr && IsPowerOfTwo(n, m)) Forward<1>(x, m, cosTable, sinTable);
}

void RealFftInverse(float* x, uint32_t n, uint32_t m, const float* cosTable,
                    const float* sinTable) {
  if (x != nullptr && IsPowerOfTwo(n, m)) Inverse<1>(x, m, cosTable, sinTable);
}

void RealFftForwardPair(float* pairs, uint32_t n, uint32_t m, const float* cosTable,
                        const float* sinTable) {
  if (pairs != nullptr && IsPowerOfTwo(n, m)) Forward<2>(pairs, m, cosTable, sinTable);
}

void RealFftInversePair(float* pairs, uint32_t n, uint32_t m, const float* cosTable,
                        const float* sinTable) {
  if (pairs != nullptr && IsPowerOfTwo(n, m)) Inverse<2>(pairs, m, cosTable, sinTable);
}

}  // namespace veltane
