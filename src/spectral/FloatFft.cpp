// Radix-4 Stockham complex FFT in float vectors (Stockham 1966; Van Loan 1992).
#include "spectral/FloatFft.h"

#include <cmath>

#include "framework/KernelLevel.h"
#include "framework/Lanes.h"

namespace veltane {
namespace {

using V4 = Lanes<float, 4>;
using V8 = Lanes<float, 8>;

// Writes rows r0 .. r3 transposed: element j of every row, then element j + 1
// of every row, and so on (4 W consecutive floats).
inline void StoreTransposed(float* out, const V4& r0, const V4& r1, const V4& r2, const V4& r3) {
  const V4 t0 = __builtin_shufflevector(r0, r1, 0, 4, 1, 5);
  const V4 t1 = __builtin_shufflevector(r0, r1, 2, 6, 3, 7);
  const V4 t2 = __builtin_shufflevector(r2, r3, 0, 4, 1, 5);
  const V4 t3 = __builtin_shufflevector(r2, r3, 2, 6, 3, 7);
  StoreLanes(V4{__builtin_shufflevector(t0, t2, 0, 1, 4, 5)}, out);
  StoreLanes(V4{__builtin_shufflevector(t0, t2, 2, 3, 6, 7)}, out + 4);
  StoreLanes(V4{__builtin_shufflevector(t1, t3, 0, 1, 4, 5)}, out + 8);
  StoreLanes(V4{__builtin_shufflevector(t1, t3, 2, 3, 6, 7)}, out + 12);
}

// The same with eight lanes: the four-lane transposes run in both halves at
// once and the halves are exchanged last (element j and j + 4 share a step).
inline void StoreTransposed(float* out, const V8& r0, const V8& r1, const V8& r2, const V8& r3) {
  const V8 t0 = __builtin_shufflevector(r0, r1, 0, 8, 1, 9, 4, 12, 5, 13);
  const V8 t1 = __builtin_shufflevector(r0, r1, 2, 10, 3, 11, 6, 14, 7, 15);
  const V8 t2 = __builtin_shufflevector(r2, r3, 0, 8, 1, 9, 4, 12, 5, 13);
  const V8 t3 = __builtin_shufflevector(r2, r3, 2, 10, 3, 11, 6, 14, 7, 15);
  const V8 u0 = __builtin_shufflevector(t0, t2, 0, 1, 8, 9, 4, 5, 12, 13);     // elements 0 and 4
  const V8 u1 = __builtin_shufflevector(t0, t2, 2, 3, 10, 11, 6, 7, 14, 15);   // 1 and 5
  const V8 u2 = __builtin_shufflevector(t1, t3, 0, 1, 8, 9, 4, 5, 12, 13);     // 2 and 6
  const V8 u3 = __builtin_shufflevector(t1, t3, 2, 3, 10, 11, 6, 7, 14, 15);   // 3 and 7
  StoreLanes(V8{__builtin_shufflevector(u0, u1, 0, 1, 2, 3, 8, 9, 10, 11)}, out);
  StoreLanes(V8{__builtin_shufflevector(u2, u3, 0, 1, 2, 3, 8, 9, 10, 11)}, out + 8);
  StoreLanes(V8{__builtin_shufflevector(u0, u1, 4, 5, 6, 7, 12, 13, 14, 15)}, out + 16);
  StoreLanes(V8{__builtin_shufflevector(u2, u3, 4, 5, 6, 7, 12, 13, 14, 15)}, out + 24);
}

// The radix-4 decimation-in-frequency butterfly of the forward transform on
// W lanes, inputs a, b, c, d at `at`, at + span, at + 2 span, at + 3 span:
// y0 = (a + c) + (b + d), y1 = w1 ((a - c) - i (b - d)),
// y2 = w2 ((a + c) - (b + d)), y3 = w3 ((a - c) + i (b - d)).
// Without twiddles (every w = 1, the last stage) the products are left out.
// The twiddles W are vectors, or floats that every lane shares.
template <class W>
struct Twiddles {  // w1, w2, w3: real and imaginary parts
  W w1Re, w1Im, w2Re, w2Im, w3Re, w3Im;
};

// Column p of the stage's six twiddle rows of `quarter` values each, each
// put into lanes by load(lanes, first value).
template <class W, class Load>
inline void LoadTwiddles(Twiddles<W>& tw, const float* w, size_t quarter, size_t p, Load load) {
  load(tw.w1Re, w + p);
  load(tw.w1Im, w + quarter + p);
  load(tw.w2Re, w + 2 * quarter + p);
  load(tw.w2Im, w + 3 * quarter + p);
  load(tw.w3Re, w + 4 * quarter + p);
  load(tw.w3Im, w + 5 * quarter + p);
}

template <class V, bool kTwiddled, class W>
inline void Radix4(const float* re, const float* im, size_t at, size_t span, const Twiddles<W>& w, V (&yRe)[4],
                   V (&yIm)[4]) {
  V aRe, aIm, bRe, bIm, cRe, cIm, dRe, dIm;
  LoadLanes(aRe, re + at);
  LoadLanes(aIm, im + at);
  LoadLanes(bRe, re + at + span);
  LoadLanes(bIm, im + at + span);
  LoadLanes(cRe, re + at + 2 * span);
  LoadLanes(cIm, im + at + 2 * span);
  LoadLanes(dRe, re + at + 3 * span);
  LoadLanes(dIm, im + at + 3 * span);
  const V apcRe = aRe + cRe, apcIm = aIm + cIm, amcRe = aRe - cRe, amcIm = aIm - cIm;
  const V bpdRe = bRe + dRe, bpdIm = bIm + dIm;
  const V jbmdRe = -(bIm - dIm), jbmdIm = bRe - dRe;  // i (b - d)
  yRe[0] = apcRe + bpdRe;
  yIm[0] = apcIm + bpdIm;
  const V t1Re = amcRe - jbmdRe, t1Im = amcIm - jbmdIm;
  const V t2Re = apcRe - bpdRe, t2Im = apcIm - bpdIm;
  const V t3Re = amcRe + jbmdRe, t3Im = amcIm + jbmdIm;
  if constexpr (kTwiddled) {
    yRe[1] = t1Re * w.w1Re - t1Im * w.w1Im;
    yIm[1] = t1Re * w.w1Im + t1Im * w.w1Re;
    yRe[2] = t2Re * w.w2Re - t2Im * w.w2Im;
    yIm[2] = t2Re * w.w2Im + t2Im * w.w2Re;
    yRe[3] = t3Re * w.w3Re - t3Im * w.w3Im;
    yIm[3] = t3Re * w.w3Im + t3Im * w.w3Re;
  } else {
    yRe[1] = t1Re;
    yIm[1] = t1Im;
    yRe[2] = t2Re;
    yIm[2] = t2Im;
    yRe[3] = t3Re;
    yIm[3] = t3Im;
  }
}

// First stage (stride 1): the lanes run over p, and the results are
// transposed into y[4p + r].
template <class V>
void FirstStage(const float* fromRe, const float* fromIm, float* toRe, float* toIm, size_t quarter,
                const float* w) {
  constexpr size_t kW = sizeof(V) / sizeof(float);
  for (size_t p = 0; p < quarter; p += kW) {
    Twiddles<V> tw;
    LoadTwiddles(tw, w, quarter, p, [](V& v, const float* at) { LoadLanes(v, at); });
    V yRe[4], yIm[4];
    Radix4<V, true>(fromRe, fromIm, p, quarter, tw, yRe, yIm);
    StoreTransposed(toRe + 4 * p, yRe[0], yRe[1], yRe[2], yRe[3]);
    StoreTransposed(toIm + 4 * p, yIm[0], yIm[1], yIm[2], yIm[3]);
  }
}

// Later stages (stride s, a multiple of the lanes): the lanes run over q,
// with one set of twiddles per p; y[4 s p + r s + q].
template <class V, bool kTwiddled>
void LaterStage(const float* fromRe, const float* fromIm, float* toRe, float* toIm, size_t s, size_t quarter,
                const float* w) {
  constexpr size_t kW = sizeof(V) / sizeof(float);
  for (size_t p = 0; p < quarter; ++p) {
    const auto at = [&](size_t r) { return kTwiddled ? w[r * quarter + p] : 1.0f; };
    const Twiddles<float> tw = {at(0), at(1), at(2), at(3), at(4), at(5)};
    float* yRe0 = toRe + 4 * s * p;
    float* yIm0 = toIm + 4 * s * p;
    for (size_t q = 0; q < s; q += kW) {
      V yRe[4], yIm[4];
      Radix4<V, kTwiddled>(fromRe, fromIm, s * p + q, s * quarter, tw, yRe, yIm);
      StoreLanes(yRe[0], yRe0 + q);
      StoreLanes(yIm[0], yIm0 + q);
      StoreLanes(yRe[1], yRe0 + s + q);
      StoreLanes(yIm[1], yIm0 + s + q);
      StoreLanes(yRe[2], yRe0 + 2 * s + q);
      StoreLanes(yIm[2], yIm0 + 2 * s + q);
      StoreLanes(yRe[3], yRe0 + 3 * s + q);
      StoreLanes(yIm[3], yIm0 + 3 * s + q);
    }
  }
}

// A later stage of stride 4 in eight lanes: p in the low four, p + 1 in the
// high four, each with its own twiddles. The 32 results of the pair are
// consecutive: y[16 p + 4 r + q], rows 0 and 1 of p, rows 2 and 3, then the same of p + 1.
// Through memory: assigning a vector literal made GCC 12 under -fsanitize=thread
// report the twiddles as maybe uninitialized.
inline void SplatPair(V8& v, const float* t) {
  const float lanes[8] = {t[0], t[0], t[0], t[0], t[1], t[1], t[1], t[1]};
  LoadLanes(v, lanes);
}

void StrideFourStage(const float* fromRe, const float* fromIm, float* toRe, float* toIm, size_t quarter,
                     const float* w) {
  for (size_t p = 0; p < quarter; p += 2) {
    Twiddles<V8> tw;
    LoadTwiddles(tw, w, quarter, p, SplatPair);
    V8 yRe[4], yIm[4];
    Radix4<V8, true>(fromRe, fromIm, 4 * p, 4 * quarter, tw, yRe, yIm);
    for (int part = 0; part < 2; ++part) {
      float* re = part == 0 ? toRe : toIm;
      const V8(&y)[4] = part == 0 ? yRe : yIm;
      StoreLanes(V8{__builtin_shufflevector(y[0], y[1], 0, 1, 2, 3, 8, 9, 10, 11)}, re + 16 * p);
      StoreLanes(V8{__builtin_shufflevector(y[2], y[3], 0, 1, 2, 3, 8, 9, 10, 11)}, re + 16 * p + 8);
      StoreLanes(V8{__builtin_shufflevector(y[0], y[1], 4, 5, 6, 7, 12, 13, 14, 15)}, re + 16 * p + 16);
      StoreLanes(V8{__builtin_shufflevector(y[2], y[3], 4, 5, 6, 7, 12, 13, 14, 15)}, re + 16 * p + 24);
    }
  }
}

// Radix 2 (the last stage when log2 n is odd), twiddles all 1:
// y[q] = a + b, y[q + s] = a - b.
template <class V>
void RadixTwoStage(const float* fromRe, const float* fromIm, float* toRe, float* toIm, size_t s) {
  constexpr size_t kW = sizeof(V) / sizeof(float);
  for (size_t q = 0; q < s; q += kW) {
    V aRe, aIm, bRe, bIm;
    LoadLanes(aRe, fromRe + q);
    LoadLanes(aIm, fromIm + q);
    LoadLanes(bRe, fromRe + q + s);
    LoadLanes(bIm, fromIm + q + s);
    StoreLanes(V{aRe + bRe}, toRe + q);
    StoreLanes(V{aIm + bIm}, toIm + q);
    StoreLanes(V{aRe - bRe}, toRe + q + s);
    StoreLanes(V{aIm - bIm}, toIm + q + s);
  }
}

// The whole transform with the widest vectors of the level wherever a
// stage's loop is long enough for them, four lanes elsewhere; every element
// goes through the same operations either way.
struct ForwardKernel {
  template <class Isa>
  static void Run(size_t n, const float* twiddles, const float* inRe, const float* inIm, float* outRe,
                  float* outIm, float* workRe, float* workIm) {
    using VW = Lanes<float, Isa::kFloatLanes>;
    constexpr size_t kW = Isa::kFloatLanes;
    size_t count = 0;
    for (size_t length = n; length >= 2; length /= 4) ++count;
    // The stages alternate between out and work so that the last one writes out.
    const float* fromRe = inRe;
    const float* fromIm = inIm;
    float* toRe = count % 2 == 1 ? outRe : workRe;
    float* toIm = count % 2 == 1 ? outIm : workIm;
    const float* w = twiddles;
    for (size_t length = n, s = 1; length >= 2; length /= 4, s *= 4) {
      const size_t quarter = length / 4;
      if (length == 2) {
        if (s % kW == 0) {
          RadixTwoStage<VW>(fromRe, fromIm, toRe, toIm, s);
        } else {
          RadixTwoStage<V4>(fromRe, fromIm, toRe, toIm, s);
        }
      } else if (s == 1) {
        if (quarter % kW == 0) {
          FirstStage<VW>(fromRe, fromIm, toRe, toIm, quarter, w);
        } else {
          FirstStage<V4>(fromRe, fromIm, toRe, toIm, quarter, w);
        }
      } else if (length == 4) {
        if (s % kW == 0) {
          LaterStage<VW, false>(fromRe, fromIm, toRe, toIm, s, quarter, w);
        } else {
          LaterStage<V4, false>(fromRe, fromIm, toRe, toIm, s, quarter, w);
        }
      } else if (s % kW == 0) {
        LaterStage<VW, true>(fromRe, fromIm, toRe, toIm, s, quarter, w);
      } else {
        bool paired = false;
        if constexpr (kW == 8) {
          paired = s == 4 && quarter % 2 == 0;
          if (paired) StrideFourStage(fromRe, fromIm, toRe, toIm, quarter, w);
        }
        if (!paired) LaterStage<V4, true>(fromRe, fromIm, toRe, toIm, s, quarter, w);
      }
      w += 6 * quarter;
      fromRe = toRe;
      fromIm = toIm;
      toRe = toRe == outRe ? workRe : outRe;
      toIm = toIm == outIm ? workIm : outIm;
    }
  }
};

}  // namespace

bool FloatFft::Setup(uint32_t n) {
  if (n < kMinSize || n > kMaxSize || (n & (n - 1)) != 0) return false;
  size_ = n;
  twiddles_.clear();
  for (uint32_t length = n; length >= 4; length /= 4) {
    const uint32_t quarter = length / 4;
    const size_t at = twiddles_.size();
    twiddles_.resize(at + 6 * size_t{quarter});
    float* w = twiddles_.data() + at;
    for (uint32_t p = 0; p < quarter; ++p) {
      for (uint32_t r = 1; r <= 3; ++r) {
        // The angle is reduced to [0, 2 pi) in integers first, so every factor is exact to rounding.
        const double angle = 2.0 * 3.14159265358979323846 * ((uint64_t{r} * p) % length) / length;
        w[(2 * (r - 1)) * quarter + p] = static_cast<float>(std::cos(angle));
        w[(2 * (r - 1) + 1) * quarter + p] = static_cast<float>(-std::sin(angle));
      }
    }
  }
  return true;
}

void FloatFft::Forward(const float* inRe, const float* inIm, float* outRe, float* outIm, float* workRe,
                       float* workIm) const {
  if (size_ == 0) return;
  DispatchKernel<ForwardKernel>(size_t{size_}, twiddles_.data(), inRe, inIm, outRe, outIm, workRe, workIm);
}

}  // namespace veltane
