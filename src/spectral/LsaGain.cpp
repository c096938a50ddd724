// Log-spectral amplitude gain (Ephraim and Malah 1985) with a tabled exp(E1(v)/2).
#include "spectral/LsaGain.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "framework/KernelLevel.h"
#include "framework/Lanes.h"

#if VELTANE_HAS_V3
#include <immintrin.h>
#endif

namespace veltane {
namespace {

constexpr int kLowestExponent = -20;  // the table covers 2^-20 <= v < 2^12
constexpr int kOctaves = 32;
constexpr int kStepsPerOctave = 16;   // the top four mantissa bits
constexpr int kEntries = kOctaves * kStepsPerOctave + 1;
constexpr float kLowest = 1.0f / (1 << 20);
constexpr float kHighest = 4096.0f;

// Entry i holds the value at the float whose exponent and top four mantissa
// bits are i, and the step to the next entry's value (that value minus this
// one, in float, as the interpolation would take it); between entries v moves
// linearly with the remaining 19 bits. The last entry (2^12) only ever meets
// a zero fraction: its step is 0. Both halves of a pair are read together.
struct TableEntry {
  float value;
  float step;
};
using Table = std::array<TableEntry, kEntries>;

Table BuildTable() {
  std::array<float, kEntries> values{};
  for (int i = 0; i < kEntries; ++i) {
    const double v = std::ldexp(1.0 + (i % kStepsPerOctave) / 16.0, kLowestExponent + i / kStepsPerOctave);
    values[i] = static_cast<float>(LsaGain::ExpHalfE1Exact(v));
  }
  Table table{};
  for (int i = 0; i < kEntries; ++i) {
    table[i].value = values[i];
    table[i].step = i + 1 < kEntries ? values[i + 1] - values[i] : 0.0f;
  }
  return table;
}

// Built while the program (or the DLL, or the plugin) loads, so that a look-up
// is a plain read: no guard, no call.
alignas(64) const Table kTable = BuildTable();

// value[l] = kTable[index[l]].value, step[l] = kTable[index[l]].step: one read
// per lane at the baseline, two gathers of 64-bit pairs at x86-64-v3.
template <class I, class V>
inline void ReadTable(const I& index, V& value, V& step) {
  // Through arrays: plain loads and stores, where lane inserts cost more.
  constexpr size_t kW = sizeof(V) / sizeof(float);
  int32_t at[kW];
  float values[kW], steps[kW];
  StoreLanes(index, at);
  for (size_t l = 0; l < kW; ++l) {
    values[l] = kTable[at[l]].value;
    steps[l] = kTable[at[l]].step;
  }
  LoadLanes(value, values);
  LoadLanes(step, steps);
}
#if VELTANE_HAS_V3
VELTANE_TARGET_V3 inline void ReadTable(const Lanes<int32_t, 8>& index, Lanes<float, 8>& value,
                                        Lanes<float, 8>& step) {
  // Lanes 0, 1, 4, 5 go to the first gather and 2, 3, 6, 7 to the second, so
  // that one shuffle within each 128-bit half puts every lane back in place.
  const __m256i order = _mm256_permute4x64_epi64(reinterpret_cast<__m256i>(index), 0xd8);
  const double* pairs = reinterpret_cast<const double*>(kTable.data());
  // The masked form with a defined source: the plain one starts from an
  // undefined register, which GCC 12 warns of.
  const __m256d zero = _mm256_setzero_pd(), all = _mm256_cmp_pd(zero, zero, _CMP_EQ_OQ);
  const __m256 first =
      _mm256_castpd_ps(_mm256_mask_i32gather_pd(zero, pairs, _mm256_castsi256_si128(order), all, 8));
  const __m256 second =
      _mm256_castpd_ps(_mm256_mask_i32gather_pd(zero, pairs, _mm256_extracti128_si256(order, 1), all, 8));
  value = reinterpret_cast<Lanes<float, 8>>(_mm256_shuffle_ps(first, second, 0x88));
  step = reinterpret_cast<Lanes<float, 8>>(_mm256_shuffle_ps(first, second, 0xdd));
}
#endif

// out = exp(E1(v) / 2) in every lane, without branches: v is clamped into the
// table (a NaN to its bottom), and above it the value is 1.
template <int W>
inline void Lookup(const Lanes<float, W>& v, Lanes<float, W>& out) {
  using V = Lanes<float, W>;
  using I = Lanes<int32_t, W>;
  const V lowest = kLowest - V{}, highest = kHighest - V{};
  const V inside = v >= lowest ? (v < highest ? v : highest) : lowest;
  I bits;
  std::memcpy(&bits, &inside, sizeof bits);
  // Exponent and top four mantissa bits index the table; the other 19 bits
  // are the position between two entries.
  const I index = (bits >> 19) - ((127 + kLowestExponent) << 4);
  const V fraction = __builtin_convertvector(bits & 0x7ffff, V) * (1.0f / 524288.0f);
  V below, step;
  ReadTable(index, below, step);
  const V value = below + fraction * step;
  out = v >= highest ? 1.0f - V{} : value;
}

// log2(x) in every lane: the exponent's bits and a degree-5 polynomial in
// the mantissa (the fit LsaGain::Log2Approx states).
template <int W>
inline void Log2Lanes(const Lanes<float, W>& x, Lanes<float, W>& out) {
  using V = Lanes<float, W>;
  using I = Lanes<int32_t, W>;
  I bits;
  std::memcpy(&bits, &x, sizeof bits);
  // Nine bits: a sign bit set reads as 256 more, as an unsigned shift gives.
  const V exponent = __builtin_convertvector((bits >> 23) & 0x1ff, V) - 127.0f;
  const I mantissaBits = (bits & 0x7fffff) | 0x3f800000;
  V m;
  std::memcpy(&m, &mantissaBits, sizeof m);
  const V t = m - 1.0f;
  // Chebyshev fit of log2(1 + t) on [0, 1), largest error 3.2e-5.
  const V poly =
      3.1908130e-05f +
      t * (1.4412674f + t * (-0.70570415f + t * (0.40872175f + t * (-0.18772264f + t * 0.043428909f))));
  out = exponent + poly;
}

// 2^x in every lane, branch-free: x + 127 is clamped to [0, 255), its
// truncation is its floor and the exponent's biased bits (0, below -126,
// makes the scale 0); a NaN goes to the bottom.
template <int W>
inline void Exp2Lanes(const Lanes<float, W>& x, Lanes<float, W>& out) {
  using V = Lanes<float, W>;
  using I = Lanes<int32_t, W>;
  const V bottom = -127.0f - V{}, top = 127.99f - V{};
  const V low = x > bottom ? x : bottom;
  const V biased = (top < low ? top : low) + 127.0f;
  const I whole = __builtin_convertvector(biased, I);
  const V f = biased - __builtin_convertvector(whole, V);
  // Chebyshev fit of 2^f on [0, 1), largest relative error 7.3e-6.
  const V poly = 1.0000073f + f * (0.69293129f + f * (0.24171026f + f * (0.051666878f + f * 0.013676531f)));
  const I scaleBits = whole << 23;
  V scale;
  std::memcpy(&scale, &scaleBits, sizeof scale);
  out = poly * scale;
}

// x = std::clamp(x, lo, hi) in every lane, choosing as it does.
template <class V>
inline void ClampLanes(V& x, const V& lo, const V& hi) {
  x = x < lo ? lo : (hi < x ? hi : x);
}

// mean[i] = sum[i] / count, rounded to float.
struct MeanKernel {
  template <class Isa>
  static void Run(const double* __restrict sum, double count, uint32_t n, float* __restrict mean) {
    for (uint32_t i = 0; i < n; ++i) mean[i] = static_cast<float>(sum[i] / count);
  }
};

// What every frame's weighting shares.
struct WeighConstants {
  float floor;      // the gain floor, at least 1e-9 so that it has a logarithm
  float log2Floor;
  float log2Min;    // log2 zetaMin
  float span;       // 1 / (log2 zetaMax - log2 zetaMin)
};

// The arrays one frame's lanes read and write, bin k at index k.
struct FrameArrays {
  const float* power;
  const float* hiss;
  float* previous;    // G1'^2 gamma'
  float* zeta;        // the smoothed a-priori SNR
  double* zetaWide;   // the same in double, for the global mean's running sum
  float* likelihood;  // (1 + xi) exp(-v)
  float* gains;       // log2 of the clamped LSA gain after the first pass
};

// Vectors per chunk of the first pass: its three steps each run over a chunk
// before the next starts, so that the vectors of a chunk, independent of one
// another, overlap in the processor (one vector's steps form a long chain of
// divisions and table reads, which overlapped little).
constexpr uint32_t kChunkVectors = 8;

// `vectors` times W bins of one frame of the two-step gain from bin k on,
// every bin on its own; then, for the presence weighting, the smoothed
// a-priori SNR, (1 + xi) exp(-v) (the likelihood ratio's inverse without the
// priors) and log2 of the clamped second-step gain. The weighting's xi is
// recovered from xi / (1 + xi), the value the second step's table look-up
// used. At most kChunkVectors vectors.
template <int W>
inline void GainLanes(const FrameArrays& a, uint32_t k, uint32_t vectors, float alpha, float xiMin,
                      const WeighConstants& c) {
  using V = Lanes<float, W>;
  // A hiss power this small against any real power means "no hiss known";
  // it also keeps gamma finite.
  const V tiny = 1e-20f - V{}, zero = V{}, one = 1.0f - V{}, floorXi = xiMin - V{};
  V gammas[kChunkVectors], scaleds[kChunkVectors], vs[kChunkVectors];
  // First step, up to its table look-up's argument.
  for (uint32_t j = 0; j < vectors; ++j) {
    const uint32_t at = k + j * W;
    V p, h, old;
    LoadLanes(p, a.power + at);
    LoadLanes(h, a.hiss + at);
    LoadLanes(old, a.previous + at);
    // max(a, b) and min(a, b) are written a < b ? b : a and b < a ? b : a, as std::max and std::min choose.
    const V gamma = p / (h < tiny ? tiny : h);
    const V excess = gamma - 1.0f;
    const V blend = alpha * old + (1.0f - alpha) * (excess < zero ? zero : excess);
    const V xi1 = blend < floorXi ? floorXi : blend;
    const V scaled1 = xi1 / (1.0f + xi1);
    gammas[j] = gamma;
    scaleds[j] = scaled1;
    vs[j] = scaled1 * gamma;
  }
  // Its gain, and the second step up to its look-up's argument.
  for (uint32_t j = 0; j < vectors; ++j) {
    const uint32_t at = k + j * W;
    const V gamma = gammas[j];
    V e1;
    Lookup<W>(vs[j], e1);
    const V lsa1 = scaleds[j] * e1;
    const V g1 = one < lsa1 ? one : lsa1;
    // A NaN or an overflow would stay in the recursion for good: it restarts from zero instead.
    const V clean = g1 * g1 * gamma;
    const V kept = clean < 1e30f ? clean : zero;
    StoreLanes(kept, a.previous + at);
    // Second step: the first step's clean-power estimate is this frame's a-priori SNR.
    const V xi2 = kept < floorXi ? floorXi : kept;
    const V scaled2 = xi2 / (1.0f + xi2);
    scaleds[j] = scaled2;
    vs[j] = scaled2 * gamma;
  }
  // Its gain, and what the weighting takes from it.
  for (uint32_t j = 0; j < vectors; ++j) {
    const uint32_t at = k + j * W;
    const V scaled2 = scaleds[j], v = vs[j];
    V zeta;
    LoadLanes(zeta, a.zeta + at);
    V e2;
    Lookup<W>(v, e2);
    constexpr float kLog2E = 1.44269504f;
    const V rest = 1.0f - scaled2, least = 1e-7f - V{};
    const V xi = scaled2 / (rest < least ? least : rest);
    const V smoothed = LsaGain::kZetaSmoothing * zeta + (1.0f - LsaGain::kZetaSmoothing) * xi;
    StoreLanes(smoothed, a.zeta + at);
    StoreLanes(__builtin_convertvector(smoothed, Lanes<double, W>), a.zetaWide + at);
    V decay, logGain;
    Exp2Lanes<W>(V{(-kLog2E) * v}, decay);
    StoreLanes(V{(1.0f + xi) * decay}, a.likelihood + at);
    V lsa2 = scaled2 * e2;
    ClampLanes(lsa2, V{c.floor - V{}}, one);
    Log2Lanes<W>(lsa2, logGain);
    StoreLanes(logGain, a.gains + at);
  }
}

// `vectors` times W bins of the weighting (at most kChunkVectors), in two
// steps over them as the first pass does: from the local and global smoothed
// a-priori SNR the presence probability p, then G^p floor^(1 - p) in the
// log2 domain.
template <int W>
inline void WeighLanes(const float* local, const float* global, const float* likelihood, uint32_t vectors,
                       const WeighConstants& c, float* gains) {
  using V = Lanes<float, W>;
  const V zero = V{}, one = 1.0f - V{};
  V odds[kChunkVectors];
  for (uint32_t j = 0; j < vectors; ++j) {
    V z, g;
    LoadLanes(z, local + j * W);
    LoadLanes(g, global + j * W);
    // P(z), linear in log2 z between the two limits.
    V logLocal, logGlobal;
    Log2Lanes<W>(z, logLocal);
    Log2Lanes<W>(g, logGlobal);
    V pLocal = (logLocal - c.log2Min) * c.span, pGlobal = (logGlobal - c.log2Min) * c.span;
    ClampLanes(pLocal, zero, one);
    ClampLanes(pGlobal, zero, one);
    const V presence = pLocal * pGlobal;
    const V absent = 1.0f - presence, most = LsaGain::kMaxAbsence - V{};
    const V q = most < absent ? most : absent;
    odds[j] = q / (1.0f - q);
  }
  for (uint32_t j = 0; j < vectors; ++j) {
    V l, logGain;
    LoadLanes(l, likelihood + j * W);
    LoadLanes(logGain, gains + j * W);
    const V p = 1.0f / (1.0f + odds[j] * l);
    V weighed;
    Exp2Lanes<W>(V{c.log2Floor + p * (logGain - c.log2Floor)}, weighed);
    ClampLanes(weighed, V{c.floor - V{}}, one);
    StoreLanes(weighed, gains + j * W);
  }
}

// The first pass over one frame, in the widest vectors of the level; the last
// few bins go through the same lanes from a padded copy.
struct ComputeKernel {
  template <class Isa>
  static void Run(uint32_t n, const FrameArrays& a, float alpha, float xiMin, const WeighConstants& c) {
    constexpr uint32_t kW = Isa::kFloatLanes;
    uint32_t k = 0;
    for (; k + kW * kChunkVectors <= n; k += kW * kChunkVectors) GainLanes<kW>(a, k, kChunkVectors, alpha, xiMin, c);
    if (const uint32_t vectors = (n - k) / kW; vectors > 0) {
      GainLanes<kW>(a, k, vectors, alpha, xiMin, c);
      k += vectors * kW;
    }
    if (k == n) return;
    float p[kW] = {}, h[kW] = {}, old[kW] = {}, zeta[kW] = {}, likelihood[kW] = {}, g[kW] = {};
    double wide[kW] = {};
    const uint32_t rest = n - k;
    std::copy(a.power + k, a.power + n, p);
    std::copy(a.hiss + k, a.hiss + n, h);
    std::copy(a.previous + k, a.previous + n, old);
    std::copy(a.zeta + k, a.zeta + n, zeta);
    GainLanes<kW>(FrameArrays{p, h, old, zeta, wide, likelihood, g}, 0, 1, alpha, xiMin, c);
    std::copy(old, old + rest, a.previous + k);
    std::copy(zeta, zeta + rest, a.zeta + k);
    std::copy(wide, wide + rest, a.zetaWide + k);
    std::copy(likelihood, likelihood + rest, a.likelihood + k);
    std::copy(g, g + rest, a.gains + k);
  }
};

// The weighting's pass, once the smoothed a-priori SNR of every bin and its
// global mean are known. The local mean (zeta[k-1] + 2 zeta[k] + zeta[k+1]) / 4
// is cut at the spectrum's ends; those two bins and the last few go through
// the same lanes from padded copies.
struct WeighKernel {
  template <class Isa>
  static void Run(uint32_t n, const float* zeta, const float* global, const float* likelihood,
                  const WeighConstants& c, float* gains) {
    using V = Lanes<float, Isa::kFloatLanes>;
    constexpr uint32_t kW = Isa::kFloatLanes;
    uint32_t k = 1;
    // The local means of a chunk first, then its weighting.
    while (k + kW < n) {
      const uint32_t vectors = std::min(kChunkVectors, (n - 1 - k) / kW);
      float local[kChunkVectors * kW];
      for (uint32_t j = 0; j < vectors; ++j) {
        V before, at, after;
        LoadLanes(before, zeta + k + j * kW - 1);
        LoadLanes(at, zeta + k + j * kW);
        LoadLanes(after, zeta + k + j * kW + 1);
        StoreLanes(V{0.25f * (before + after) + 0.5f * at}, local + j * kW);
      }
      WeighLanes<kW>(local, global + k, likelihood + k, vectors, c, gains + k);
      k += vectors * kW;
    }
    // Left: bin 0 and bins k .. n-1, the last of them an end.
    uint32_t left[kW + 1];
    uint32_t count = 0;
    left[count++] = 0;
    for (uint32_t j = k; j < n; ++j) left[count++] = j;
    for (uint32_t start = 0; start < count; start += kW) {
      float local[kW] = {}, g[kW] = {}, l[kW] = {}, out[kW] = {};
      const uint32_t lanes = std::min(kW, count - start);
      for (uint32_t i = 0; i < lanes; ++i) {
        const uint32_t j = left[start + i];
        if (n == 1) {
          local[i] = zeta[0];
        } else if (j == 0) {
          local[i] = 0.75f * zeta[0] + 0.25f * zeta[1];
        } else if (j + 1 == n) {
          local[i] = 0.75f * zeta[n - 1] + 0.25f * zeta[n - 2];
        } else {
          local[i] = 0.25f * (zeta[j - 1] + zeta[j + 1]) + 0.5f * zeta[j];
        }
        g[i] = global[j];
        l[i] = likelihood[j];
        out[i] = gains[j];
      }
      WeighLanes<kW>(local, g, l, 1, c, out);
      for (uint32_t i = 0; i < lanes; ++i) gains[left[start + i]] = out[i];
    }
  }
};

}  // namespace

double LsaGain::ExpHalfE1Exact(double v) {
  if (!(v > 0.0)) return HUGE_VAL;
  double e1;
  if (v <= 1.0) {
    // E1(v) = -gamma - ln v - sum_k (-v)^k / (k k!)
    constexpr double kEulerGamma = 0.57721566490153286061;
    double sum = 0.0, term = 1.0;
    for (int k = 1; k < 60; ++k) {
      term *= -v / k;
      sum += term / k;
      if (std::fabs(term) < 1e-18) break;
    }
    e1 = -kEulerGamma - std::log(v) - sum;
  } else {
    // E1(v) = e^-v / (v + 1 / (1 + 1 / (v + 2 / (1 + 2 / (v + ...))))), evaluated
    // by the modified Lentz method on its even form.
    double b = v + 1.0, c = 1e300, d = 1.0 / b, h = d;
    for (int k = 1; k < 200; ++k) {
      const double a = -static_cast<double>(k) * k;
      b += 2.0;
      d = 1.0 / (a * d + b);
      c = b + a / c;
      const double delta = c * d;
      h *= delta;
      if (std::fabs(delta - 1.0) < 1e-16) break;
    }
    e1 = h * std::exp(-v);
  }
  return std::exp(0.5 * e1);
}

float LsaGain::ExpHalfE1(float v) {
  Lanes<float, 4> out;
  Lookup<4>(Lanes<float, 4>{v, v, v, v}, out);
  return out[0];
}

void LsaGain::Setup(uint32_t bins, double hopSeconds) {
  bins_ = bins;
  alpha_ = static_cast<float>(std::exp(-hopSeconds / kAlphaSeconds));
  previous_.assign(bins, 0.0f);
  zeta_.assign(bins, 0.0f);
  likelihood_.assign(bins, 0.0f);
  global_.assign(bins, 0.0f);
  sums_.assign(bins, 0.0);
  zetaWide_.assign(bins, 0.0);
  Reset();
}

void LsaGain::Reset() {
  std::fill(previous_.begin(), previous_.end(), 0.0f);
  std::fill(zeta_.begin(), zeta_.end(), 0.0f);
  first_ = true;
}

float LsaGain::Log2Approx(float x) {
  Lanes<float, 4> out;
  Log2Lanes<4>(Lanes<float, 4>{x, x, x, x}, out);
  return out[0];
}

float LsaGain::Exp2Approx(float x) {
  Lanes<float, 4> out;
  Exp2Lanes<4>(Lanes<float, 4>{x, x, x, x}, out);
  return out[0];
}

void LsaGain::Compute(const float* power, const float* hiss, float gainFloor, float* gains) {
  const uint32_t n = bins_;
  if (n == 0) return;
  // On the first frame there is no previous estimate: the a-priori SNR is
  // this frame's own maximum-likelihood one.
  const float alpha = first_ ? 0.0f : alpha_;
  first_ = false;
  // A floor below -25 dB lowers the a-priori SNR's floor with it, or the gain
  // could never reach it.
  const float xiMin = std::min(kXiMin, gainFloor * gainFloor);
  // A floor of 0 would have no logarithm; 1e-9 is far below anything audible.
  const float floor = std::clamp(gainFloor, 1e-9f, 1.0f);
  const float log2Min = Log2Approx(kZetaMin);
  const WeighConstants c{floor, Log2Approx(floor), log2Min, 1.0f / (Log2Approx(kZetaMax) - log2Min)};
  float* zeta = zeta_.data();
  float* global = global_.data();
  const double* wide = zetaWide_.data();
  const FrameArrays arrays{power, hiss, previous_.data(), zeta, zetaWide_.data(), likelihood_.data(), gains};
  DispatchKernel<ComputeKernel>(n, arrays, alpha, xiMin, c);
  // The global mean: a running sum over the bins within kGlobalHalfWidth,
  // in double (a serial recursion: a few instructions a bin). The window
  // grows at the low end, slides, and shrinks at the high end; with fewer
  // bins than the window it only grows and shrinks.
  constexpr uint32_t h = kGlobalHalfWidth;
  double sum = 0.0, count = 0.0;
  for (uint32_t k = 0; k < n && k <= h; ++k, count += 1.0) sum += wide[k];
  uint32_t k = 0;
  for (; k < h && k + h + 1 < n; ++k) {
    global[k] = static_cast<float>(sum / count);
    sum += wide[k + h + 1];
    count += 1.0;
  }
  // While the window slides its count stays: the sums first, then their
  // means in lanes.
  double* sums = sums_.data();
  const uint32_t slideFirst = k;
  if (k + h + 1 < n) {
    const double* enter = wide + k + h + 1;
    const double* leave = wide + k - h;
    double* out = sums + k;
    const uint32_t steps = n - (k + h + 1);
    for (uint32_t i = 0; i < steps; ++i) {
      out[i] = sum;
      sum += enter[i];
      sum -= leave[i];
    }
    k += steps;
  }
  DispatchKernel<MeanKernel>(static_cast<const double*>(sums + slideFirst), count, k - slideFirst,
                             global + slideFirst);
  for (; k < n; ++k) {
    global[k] = static_cast<float>(sum / count);
    if (k >= h) {
      sum -= wide[k - h];
      count -= 1.0;
    }
  }
  DispatchKernel<WeighKernel>(n, static_cast<const float*>(zeta), static_cast<const float*>(global),
                              static_cast<const float*>(likelihood_.data()), c, gains);
}

}  // namespace veltane
