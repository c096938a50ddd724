// The benchmarks' test recording: a few partials with hiss and the odd
// click, so that the declicker has work to do and the hiss estimate
// something to find. Deterministic: the same samples on every run.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace veltane::bench {

// `frames` interleaved 16-bit stereo frames at `rate`.
inline std::vector<int16_t> Programme(uint32_t rate, uint32_t frames) {
  std::mt19937 random(1);
  std::normal_distribution<double> hiss(0.0, 0.004);
  std::vector<int16_t> pcm(2 * static_cast<size_t>(frames));
  for (uint32_t n = 0; n < frames; ++n) {
    const double t = static_cast<double>(n) / rate;
    double v = 0.2 * std::sin(2 * M_PI * 220 * t) + 0.1 * std::sin(2 * M_PI * 660 * t + 1) +
               0.05 * std::sin(2 * M_PI * 1330 * t + 2);
    if (n % 9000 == 0) v += 0.6;
    for (int c = 0; c < 2; ++c) {
      pcm[2 * n + c] = static_cast<int16_t>(std::lrint(std::clamp(v + hiss(random), -1.0, 1.0) * 32767));
    }
  }
  return pcm;
}

}  // namespace veltane::bench
