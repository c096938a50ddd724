// Split-radix real FFT (Sorensen, Jones, Heideman and Burrus, 1987).
#include "spectral/RealFft.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "framework/KernelLevel.h"
#include "framework/Lanes.h"

namespace veltane {
namespace {

// 1/sqrt(2) as the algorithm defines it: rounded to single precision.
constexpr double kR = static_cast<double>(0.70710677f);

bool IsPowerOfTwo(uint32_t n, uint32_t m) { return m < 32 && n == (uint32_t{1} << m); }

// Floats to doubles and back, one instruction each way for every width:
// the vector extensions' own conversion goes element by element or through
// memory at the widths of two and four. The four-wide ones are called from
// x86-64-v3 code only.
inline void Widen(double& v, const float* p) { v = *p; }
inline void Narrow(double v, float* p) { *p = static_cast<float>(v); }
#if defined(__SSE2__)
inline void Widen(Lanes<double, 2>& v, const float* p) {  // p needs no alignment
  const __m128 two = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
  v = reinterpret_cast<Lanes<double, 2>>(_mm_cvtps_pd(two));
}
inline void Narrow(const Lanes<double, 2>& v, float* p) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(_mm_cvtpd_ps(reinterpret_cast<__m128d>(v))));
}
#else
inline void Widen(Lanes<double, 2>& v, const float* p) {
  Lanes<float, 2> f;
  LoadLanes(f, p);
  v = __builtin_convertvector(f, Lanes<double, 2>);
}
inline void Narrow(const Lanes<double, 2>& v, float* p) { StoreLanes(__builtin_convertvector(v, Lanes<float, 2>), p); }
#endif
#if VELTANE_HAS_V3
VELTANE_TARGET_V3 inline void Widen(Lanes<double, 4>& v, const float* p) {
  v = reinterpret_cast<Lanes<double, 4>>(_mm256_cvtps_pd(_mm_loadu_ps(p)));
}
VELTANE_TARGET_V3 inline void Narrow(const Lanes<double, 4>& v, float* p) {
  _mm_storeu_ps(p, _mm256_cvtpd_ps(reinterpret_cast<__m256d>(v)));
}
#endif

// Element i of a signal of kChannels interleaved channels lies at
// x[kChannels * i + channel]. A Span holds kIndices consecutive elements of
// every channel as doubles, in the lanes of one vector (a plain double for
// one element of a mono signal). Every lane goes through exactly the same
// operations, in double precision within a step and rounded to float between
// steps, so each channel and each element gets what the scalar transform
// gives it.
template <int kChannels, int kIndices>
struct Span {
  static constexpr int kLanes = kChannels * kIndices;
  using Value = std::conditional_t<kLanes == 1, double, Lanes<double, kLanes>>;

  // Elements i .. i + kIndices - 1.
  static void Load(Value& v, const float* x, size_t i) { Widen(v, x + kChannels * i); }
  static void Store(const Value& v, float* x, size_t i) { Narrow(v, x + kChannels * i); }
  // Elements i, i - 1, ..., i - kIndices + 1, in that order of the lanes.
  static void LoadDown(Value& v, const float* x, size_t i) {
    Load(v, x, i + 1 - kIndices);
    Reverse(v);
  }
  static void StoreDown(const Value& v, float* x, size_t i) {
    Value reversed = v;
    Reverse(reversed);
    Store(reversed, x, i + 1 - kIndices);
  }
  // table[index[k]] for element k, in every channel's lane.
  static void Twiddle(Value& v, const float* table, const size_t (&index)[kIndices]) {
    if constexpr (kLanes == 1) {
      v = table[index[0]];
    } else {
      for (int l = 0; l < kLanes; ++l) v[l] = table[index[l / kChannels]];
    }
  }

 private:
  static void Reverse(Value& v) {
    if constexpr (kIndices == 2 && kChannels == 1) {
      v = __builtin_shufflevector(v, v, 1, 0);
    } else if constexpr (kIndices == 2) {
      v = __builtin_shufflevector(v, v, 2, 3, 0, 1);
    }
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

template <int kChannels>
void DigitReverse(float* x, uint32_t m) {
  for (const auto& [i, j] : SwapsFor(m)) {
    float held[kChannels];
    std::memcpy(held, x + size_t{i} * kChannels, sizeof held);
    std::memcpy(x + size_t{i} * kChannels, x + size_t{j} * kChannels, sizeof held);
    std::memcpy(x + size_t{j} * kChannels, held, sizeof held);
  }
}

template <int kChannels>
void LengthTwoButterflies(float* x, size_t n) {
  using S = Span<kChannels, 1>;
  if (n < 2) return;
  Sweep(2, 4, n - 1, n - 1, [x](size_t i) {
    typename S::Value a, b;
    S::Load(a, x, i);
    S::Load(b, x, i + 1);
    S::Store(a + b, x, i);
    S::Store(a - b, x, i + 1);
  });
}

// Elements i1 .. i8 of one general butterfly for kIndices consecutive j at
// once: i1 .. i4 rise with j, i5 .. i8 fall.
template <int kChannels, int kIndices>
struct Octet {
  using S = Span<kChannels, kIndices>;
  using Value = typename S::Value;
  Value a[8];

  void Load(const float* x, const size_t (&at)[8]) {
    for (int k = 0; k < 4; ++k) S::Load(a[k], x, at[k]);
    for (int k = 4; k < 8; ++k) S::LoadDown(a[k], x, at[k]);
  }
  void Store(const Value (&v)[8], float* x, const size_t (&at)[8]) const {
    for (int k = 0; k < 4; ++k) S::Store(v[k], x, at[k]);
    for (int k = 4; k < 8; ++k) S::StoreDown(v[k], x, at[k]);
  }
};

// The twiddle factors of kIndices consecutive j in one stage.
template <int kChannels, int kIndices>
struct Twiddles {
  using S = Span<kChannels, kIndices>;
  typename S::Value cc1, ss1, cc3, ss3;

  Twiddles(const float* cosTable, const float* sinTable, size_t j, size_t stride) {
    size_t q[kIndices], q3[kIndices];
    for (int k = 0; k < kIndices; ++k) {
      q[k] = (j + k - 1) * stride;
      q3[k] = 3 * q[k];
    }
    S::Twiddle(cc1, cosTable, q);
    S::Twiddle(ss1, sinTable, q);
    S::Twiddle(cc3, cosTable, q3);
    S::Twiddle(ss3, sinTable, q3);
  }
};

// The eight element indices of the general butterfly at i for j.
void OctetIndices(size_t i, size_t j, size_t quarter, size_t (&at)[8]) {
  at[0] = i + j - 1;
  at[4] = i + quarter - j + 1;
  for (int k = 1; k < 4; ++k) {
    at[k] = at[k - 1] + quarter;
    at[4 + k] = at[3 + k] + quarter;
  }
}

template <int kChannels, int kIndices>
void ForwardGeneral(float* x, size_t size, size_t span, size_t j, const Twiddles<kChannels, kIndices>& w) {
  using V = typename Span<kChannels, kIndices>::Value;
  const size_t quarter = span / 4;
  Sweep(span, 2 * span, size - 1, size - 1, [=, &w](size_t i) {
    size_t at[8];
    OctetIndices(i, j, quarter, at);
    Octet<kChannels, kIndices> o;
    o.Load(x, at);
    const V* a = o.a;
    const V t1 = a[2] * w.cc1 + a[6] * w.ss1;
    const V t2 = a[6] * w.cc1 - a[2] * w.ss1;
    const V t3 = a[3] * w.cc3 + a[7] * w.ss3;
    const V t4 = a[7] * w.cc3 - a[3] * w.ss3;
    const V t5 = t1 + t3;
    const V t6 = t2 + t4;
    const V u = t1 - t3;
    const V v = t2 - t4;
    const V out[8] = {a[0] + t5, a[4] + v, t6 - a[5], a[1] - u, a[4] - v, a[0] - t5, -a[1] - u, t6 + a[5]};
    o.Store(out, x, at);
  });
}

template <int kChannels, int kIndices>
void InverseGeneral(float* x, size_t size, size_t span, size_t j, const Twiddles<kChannels, kIndices>& w) {
  using V = typename Span<kChannels, kIndices>::Value;
  const size_t quarter = span / 4;
  Sweep(span, 2 * span, size, size - 1, [=, &w](size_t i) {
    size_t at[8];
    OctetIndices(i, j, quarter, at);
    Octet<kChannels, kIndices> o;
    o.Load(x, at);
    const V* a = o.a;
    const V p = (a[4] - a[1]) - (a[2] + a[7]);
    const V q1 = a[0] - a[5] - (a[3] + a[6]);
    const V p3 = (a[2] + a[7]) + (a[4] - a[1]);
    const V q3 = a[0] - a[5] + (a[3] + a[6]);
    const V out[8] = {a[0] + a[5],          a[3] - a[6],          p * w.ss1 + q1 * w.cc1, q3 * w.cc3 - p3 * w.ss3,
                      a[4] + a[1],          a[7] - a[2],          q1 * w.ss1 - p * w.cc1, p3 * w.cc3 + q3 * w.ss3};
    o.Store(out, x, at);
  });
}

template <bool kInverse, int kChannels, int kIndices>
void Butterflies(float* x, size_t size, size_t span, size_t j, const Twiddles<kChannels, kIndices>& w) {
  if constexpr (kInverse) {
    InverseGeneral(x, size, span, j, w);
  } else {
    ForwardGeneral(x, size, span, j, w);
  }
}

// The general butterflies of one stage, j = 2 .. span / 8: in twos where a
// vector holds two elements of every channel, the odd one out alone.
template <class Isa, int kChannels, bool kInverse>
void GeneralButterflies(float* x, size_t size, size_t span, const float* cosTable, const float* sinTable) {
  constexpr bool kInTwos = 2 * kChannels <= Isa::kDoubleLanes;
  const size_t eighth = span / 8;
  const size_t stride = size / span;
  size_t j = 2;
  for (; j <= eighth && (!kInTwos || (eighth - j) % 2 == 0); ++j) {
    Butterflies<kInverse>(x, size, span, j, Twiddles<kChannels, 1>(cosTable, sinTable, j, stride));
  }
  if constexpr (kInTwos) {
    for (; j + 1 <= eighth; j += 2) {
      Butterflies<kInverse>(x, size, span, j, Twiddles<kChannels, 2>(cosTable, sinTable, j, stride));
    }
  }
}

template <class Isa, int kChannels>
void Forward(float* x, uint32_t m, const float* cosTable, const float* sinTable) {
  using S = Span<kChannels, 1>;
  using V = typename S::Value;
  const size_t size = size_t{1} << m;
  DigitReverse<kChannels>(x, m);
  LengthTwoButterflies<kChannels>(x, size);
  if (m < 2) return;

  for (uint32_t k = 2; k <= m; ++k) {
    const size_t span = size_t{1} << k;
    const size_t quarter = span / 4;
    const size_t eighth = span / 8;

    // Butterflies without twiddles (j = 1) and, past the first stage, the
    // ones at the eighth point whose twiddle is 1/sqrt(2).
    Sweep(span, 2 * span, size, size, [=](size_t i) {
      size_t i1 = i, i2 = i1 + quarter, i3 = i2 + quarter, i4 = i3 + quarter;
      V a1, a2, a3, a4;
      S::Load(a1, x, i1);
      S::Load(a3, x, i3);
      S::Load(a4, x, i4);
      V t1 = a4 + a3;
      S::Store(a4 - a3, x, i4);
      S::Store(a1 - t1, x, i3);
      S::Store(a1 + t1, x, i1);
      if (quarter == 1) return;
      i1 += eighth;
      i2 += eighth;
      i3 += eighth;
      i4 += eighth;
      S::Load(a1, x, i1);
      S::Load(a2, x, i2);
      S::Load(a3, x, i3);
      S::Load(a4, x, i4);
      t1 = (a3 + a4) * kR;
      const V t2 = (a3 - a4) * kR;
      S::Store(a2 - t1, x, i4);
      S::Store(-a2 - t1, x, i3);
      S::Store(a1 - t2, x, i2);
      S::Store(a1 + t2, x, i1);
    });

    GeneralButterflies<Isa, kChannels, false>(x, size, span, cosTable, sinTable);
  }
}

template <class Isa, int kChannels>
void Inverse(float* x, uint32_t m, const float* cosTable, const float* sinTable) {
  using S = Span<kChannels, 1>;
  using V = typename S::Value;
  const size_t size = size_t{1} << m;
  if (m < 2) {
    LengthTwoButterflies<kChannels>(x, size);
    DigitReverse<kChannels>(x, m);
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
      V a1, a2, a3, a4;
      S::Load(a1, x, i1);
      S::Load(a2, x, i2);
      S::Load(a3, x, i3);
      S::Load(a4, x, i4);
      V t1 = a1 - a3;
      S::Store(a1 + a3, x, i1);
      S::Store(2.0 * a2, x, i2);
      S::Store(t1 - 2.0 * a4, x, i3);
      S::Store(t1 + 2.0 * a4, x, i4);
      if (quarter == 1) return;
      i1 += eighth;
      i2 += eighth;
      i3 += eighth;
      i4 += eighth;
      S::Load(a1, x, i1);
      S::Load(a2, x, i2);
      S::Load(a3, x, i3);
      S::Load(a4, x, i4);
      t1 = (a2 - a1) * kR;
      const V t2 = (a4 + a3) * kR;
      S::Store(a1 + a2, x, i1);
      S::Store(a4 - a3, x, i2);
      S::Store(2.0 * (-t2 - t1), x, i3);
      S::Store(2.0 * (t1 - t2), x, i4);
    });

    GeneralButterflies<Isa, kChannels, true>(x, size, span, cosTable, sinTable);
  }

  LengthTwoButterflies<kChannels>(x, size);
  DigitReverse<kChannels>(x, m);
}

// Both transforms for one or two interleaved signals, built for every
// instruction set.
template <int kChannels>
struct ForwardKernel {
  template <class Isa>
  static void Run(float* x, uint32_t m, const float* cosTable, const float* sinTable) {
    Forward<Isa, kChannels>(x, m, cosTable, sinTable);
  }
};

template <int kChannels>
struct InverseKernel {
  template <class Isa>
  static void Run(float* x, uint32_t m, const float* cosTable, const float* sinTable) {
    Inverse<Isa, kChannels>(x, m, cosTable, sinTable);
  }
};

}  // namespace

void RealFftForward(float* x, uint32_t n, uint32_t m, const float* cosTable,
                    const float* sinTable) {
  if (x != nullptr && IsPowerOfTwo(n, m)) DispatchKernel<ForwardKernel<1>>(x, m, cosTable, sinTable);
}

void RealFftInverse(float* x, uint32_t n, uint32_t m, const float* cosTable,
                    const float* sinTable) {
  if (x != nullptr && IsPowerOfTwo(n, m)) DispatchKernel<InverseKernel<1>>(x, m, cosTable, sinTable);
}

void RealFftForwardPair(float* pairs, uint32_t n, uint32_t m, const float* cosTable,
                        const float* sinTable) {
  if (pairs != nullptr && IsPowerOfTwo(n, m)) DispatchKernel<ForwardKernel<2>>(pairs, m, cosTable, sinTable);
}

void RealFftInversePair(float* pairs, uint32_t n, uint32_t m, const float* cosTable,
                        const float* sinTable) {
  if (pairs != nullptr && IsPowerOfTwo(n, m)) DispatchKernel<InverseKernel<2>>(pairs, m, cosTable, sinTable);
}

}  // namespace veltane
