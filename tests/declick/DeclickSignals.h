// Test signals for the click remover: AR processes, a music-like mix,
// injected clicks, and the work arrays of one RepairBlock caller.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "declick/RepairBlock.h"

namespace veltane::testing {

// Owns a full set of RepairBlock work arrays for blocks of up to `length`.
struct RepairArrays {
  explicit RepairArrays(int32_t length = 600)
      : autocorr(kMaxModelOrder + 1),
        coeffs(kMaxModelOrder + 1),
        residual(length),
        toeplitzRow(kMaxGapLength),
        solverForward(kMaxGapLength),
        solverBackward(kMaxGapLength),
        rhs(kMaxGapLength),
        gapResidual(kMaxGapResidual) {}

  RepairWork Work() {
    return {autocorr.data(),      coeffs.data(),         residual.data(), toeplitzRow.data(),
            solverForward.data(), solverBackward.data(), rhs.data(),      gapResidual.data()};
  }

  std::vector<double> autocorr, coeffs, residual, toeplitzRow, solverForward, solverBackward,
      rhs, gapResidual;
};

// x[n] = w[n] - sum_{k>=1} a[k] x[n-k] with white Gaussian w of deviation
// `sigma`: the process whose prediction error (a[0] = 1) is w. A warm-up
// run is dropped so the result starts in the steady state.
inline std::vector<double> ArProcess(size_t count, const std::vector<double>& a, double sigma,
                                     uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  const size_t warmUp = 2000;
  std::vector<double> x(count + warmUp, 0.0);
  for (size_t n = 0; n < x.size(); ++n) {
    double v = noise(rng);
    for (size_t k = 1; k < a.size() && k <= n; ++k) v -= a[k] * x[n - k];
    x[n] = v;
  }
  return {x.begin() + static_cast<std::ptrdiff_t>(warmUp), x.end()};
}

// AR coefficients (a[0] = 1) of a cascade of resonances, each a pole pair
// at radius r and angle theta.
inline std::vector<double> Resonances(const std::vector<std::pair<double, double>>& poles) {
  std::vector<double> a{1.0};
  for (const auto& [r, theta] : poles) {
    const double section[3] = {1.0, -2.0 * r * std::cos(theta), r * r};
    std::vector<double> next(a.size() + 2, 0.0);
    for (size_t i = 0; i < a.size(); ++i) {
      for (int j = 0; j < 3; ++j) next[i + j] += a[i] * section[j];
    }
    a = next;
  }
  return a;
}

// A few partials with slowly drifting levels over a little noise, at a
// level like that of quiet music (peaks near 0.3 of full scale).
inline std::vector<double> MusicLike(size_t count, double rate, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 0.002);
  const double pi = 3.14159265358979323846;
  const double partials[][2] = {{220.0, 0.10}, {330.0, 0.06}, {440.0, 0.05}, {1250.0, 0.03},
                                {2630.0, 0.01}};
  std::vector<double> x(count);
  for (size_t n = 0; n < count; ++n) {
    const double time = static_cast<double>(n) / rate;
    double v = noise(rng);
    int index = 0;
    for (const auto& partial : partials) {
      const double drift = 1.0 + 0.5 * std::sin(2.0 * pi * (0.3 + 0.1 * index) * time);
      v += partial[1] * drift * std::sin(2.0 * pi * partial[0] * time + index);
      ++index;
    }
    x[n] = v;
  }
  return x;
}

// One injected click: `width` samples from `start`, a decaying burst of
// peak `amplitude` and alternating sign.
struct Click {
  size_t start;
  size_t width;
  double amplitude;
};

inline void AddClick(std::vector<double>& x, const Click& click) {
  for (size_t i = 0; i < click.width && click.start + i < x.size(); ++i) {
    const double shape = std::exp(-0.4 * static_cast<double>(i));
    x[click.start + i] += (i % 2 == 0 ? 1.0 : -0.6) * click.amplitude * shape;
  }
}

inline std::vector<float> ToFloat(const std::vector<double>& x) {
  return {x.begin(), x.end()};
}

}  // namespace veltane::testing
