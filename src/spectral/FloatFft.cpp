// Radix-4 Stockham complex FFT in four-float vectors (Stockham 1966; Van Loan 1992).
#include "spectral/FloatFft.h"

#include <cmath>
#include <cstring>

namespace veltane {
namespace {

using V4 = float __attribute__((vector_size(16)));

inline V4 Load(const float* p) {
  V4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void Store(float* p, V4 v) { std::memcpy(p, &v, sizeof v); }
inline V4 Splat(float x) { return V4{x, x, x, x}; }

struct Cv {  // four complex values, real and imaginary parts apart
  V4 re, im;
};
inline Cv operator+(Cv a, Cv b) { return {a.re + b.re, a.im + b.im}; }
inline Cv operator-(Cv a, Cv b) { return {a.re - b.re, a.im - b.im}; }
inline Cv Mul(Cv a, V4 wr, V4 wi) { return {a.re * wr - a.im * wi, a.re * wi + a.im * wr}; }
inline Cv TimesI(Cv a) { return {-a.im, a.re}; }
inline Cv LoadC(const float* re, const float* im, size_t i) { return {Load(re + i), Load(im + i)}; }
inline void StoreC(float* re, float* im, size_t i, Cv v) {
  Store(re + i, v.re);
  Store(im + i, v.im);
}

// Row r of the result holds element r of p, p+1, p+2, p+3: written out they
// are 16 consecutive values in the order p0r0 p0r1 p0r2 p0r3 p1r0 ...
inline void StoreTransposed(float* out, V4 r0, V4 r1, V4 r2, V4 r3) {
  const V4 t0 = __builtin_shufflevector(r0, r1, 0, 4, 1, 5);
  const V4 t1 = __builtin_shufflevector(r0, r1, 2, 6, 3, 7);
  const V4 t2 = __builtin_shufflevector(r2, r3, 0, 4, 1, 5);
  const V4 t3 = __builtin_shufflevector(r2, r3, 2, 6, 3, 7);
  Store(out, __builtin_shufflevector(t0, t2, 0, 1, 4, 5));
  Store(out + 4, __builtin_shufflevector(t0, t2, 2, 3, 6, 7));
  Store(out + 8, __builtin_shufflevector(t1, t3, 0, 1, 4, 5));
  Store(out + 12, __builtin_shufflevector(t1, t3, 2, 3, 6, 7));
}

// The radix-4 decimation-in-frequency butterfly of the forward transform:
// y0 = (a + c) + (b + d), y1 = w1 ((a - c) - i (b - d)),
// y2 = w2 ((a + c) - (b + d)), y3 = w3 ((a - c) + i (b - d)).
struct Butterfly {
  Cv y0, y1, y2, y3;
};
inline Butterfly Radix4(Cv a, Cv b, Cv c, Cv d, const V4* w) {
  const Cv apc = a + c, amc = a - c, bpd = b + d, jbmd = TimesI(b - d);
  return {apc + bpd, Mul(amc - jbmd, w[0], w[1]), Mul(apc - bpd, w[2], w[3]), Mul(amc + jbmd, w[4], w[5])};
}

}  // namespace

bool FloatFft::Setup(uint32_t n) {
  if (n < kMinSize || n > kMaxSize || (n & (n - 1)) != 0) return false;
  size_ = n;
  stages_.clear();
  twiddles_.clear();
  uint32_t length = n, stride = 1;
  for (; length >= 4; length /= 4, stride *= 4) {
    const uint32_t quarter = length / 4;
    stages_.push_back({length, stride, twiddles_.size()});
    twiddles_.resize(twiddles_.size() + 6 * size_t{quarter});
    float* w = twiddles_.data() + stages_.back().twiddles;
    for (uint32_t p = 0; p < quarter; ++p) {
      for (uint32_t r = 1; r <= 3; ++r) {
        // The angle is reduced to [0, 2 pi) in integers first, so every factor is exact to rounding.
        const double angle = 2.0 * 3.14159265358979323846 * ((uint64_t{r} * p) % length) / length;
        w[(2 * (r - 1)) * quarter + p] = static_cast<float>(std::cos(angle));
        w[(2 * (r - 1) + 1) * quarter + p] = static_cast<float>(-std::sin(angle));
      }
    }
  }
  if (length == 2) stages_.push_back({2, stride, 0});
  return true;
}

void FloatFft::Forward(const float* inRe, const float* inIm, float* outRe, float* outIm, float* workRe,
                       float* workIm) const {
  if (size_ == 0) return;
  const size_t count = stages_.size();
  // The stages alternate between out and work so that the last one writes out.
  const float* fromRe = inRe;
  const float* fromIm = inIm;
  float* toRe = count % 2 == 1 ? outRe : workRe;
  float* toIm = count % 2 == 1 ? outIm : workIm;
  for (size_t k = 0; k < count; ++k) {
    const Stage& stage = stages_[k];
    const size_t s = stage.stride;
    if (stage.length == 2) {
      // Radix 2, twiddles all 1: y[q] = a + b, y[q + s] = a - b.
      for (size_t q = 0; q < s; q += 4) {
        const Cv a = LoadC(fromRe, fromIm, q), b = LoadC(fromRe, fromIm, q + s);
        StoreC(toRe, toIm, q, a + b);
        StoreC(toRe, toIm, q + s, a - b);
      }
    } else {
      const size_t quarter = stage.length / 4;
      const float* w = twiddles_.data() + stage.twiddles;
      if (s == 1) {
        // First stage: the four lanes run over p, and the results are
        // transposed into y[4p + r].
        for (size_t p = 0; p < quarter; p += 4) {
          V4 tw[6];
          for (int r = 0; r < 6; ++r) tw[r] = Load(w + r * quarter + p);
          const Butterfly y = Radix4(LoadC(fromRe, fromIm, p), LoadC(fromRe, fromIm, p + quarter),
                                     LoadC(fromRe, fromIm, p + 2 * quarter),
                                     LoadC(fromRe, fromIm, p + 3 * quarter), tw);
          StoreTransposed(toRe + 4 * p, y.y0.re, y.y1.re, y.y2.re, y.y3.re);
          StoreTransposed(toIm + 4 * p, y.y0.im, y.y1.im, y.y2.im, y.y3.im);
        }
      } else {
        // Later stages: the lanes run over q, with one set of twiddles per p.
        for (size_t p = 0; p < quarter; ++p) {
          V4 tw[6];
          for (int r = 0; r < 6; ++r) tw[r] = Splat(w[r * quarter + p]);
          const size_t a = s * p, b = s * (p + quarter), c = s * (p + 2 * quarter), d = s * (p + 3 * quarter);
          const size_t y = 4 * s * p;
          for (size_t q = 0; q < s; q += 4) {
            const Butterfly r = Radix4(LoadC(fromRe, fromIm, a + q), LoadC(fromRe, fromIm, b + q),
                                       LoadC(fromRe, fromIm, c + q), LoadC(fromRe, fromIm, d + q), tw);
            StoreC(toRe, toIm, y + q, r.y0);
            StoreC(toRe, toIm, y + s + q, r.y1);
            StoreC(toRe, toIm, y + 2 * s + q, r.y2);
            StoreC(toRe, toIm, y + 3 * s + q, r.y3);
          }
        }
      }
    }
    fromRe = toRe;
    fromIm = toIm;
    toRe = toRe == outRe ? workRe : outRe;
    toIm = toIm == outIm ? workIm : outIm;
  }
}

}  // namespace veltane
