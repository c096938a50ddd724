// Test signals (music-like tones, clicks, white hiss) and restoration measures.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace veltane::testing {

constexpr double kPi = 3.14159265358979323846;

// Slowly swelling partials below 4 kHz, like a sustained chord: loud where music is,
// nothing in the hiss bands above 7 kHz. Interleaved, peak about 0.5.
inline std::vector<float> MusicLike(uint32_t frames, uint16_t channels, double rate,
                                    uint32_t seed = 1) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  struct Partial { double frequency, amplitude, phase, swell; };
  std::vector<Partial> partials;
  for (double root : {220.0, 277.18, 329.63}) {
    for (int harmonic = 1; harmonic <= 4 && root * harmonic < rate * 0.2; ++harmonic) {
      const double phase = unit(random) * 2 * kPi;
      partials.push_back({root * harmonic, 0.12 / harmonic, phase, 0.3 + unit(random)});
    }
  }
  std::vector<float> out(static_cast<size_t>(frames) * channels);
  for (size_t i = 0; i < out.size(); ++i) {
    const double t = static_cast<double>(i / channels) / rate;
    const auto c = static_cast<double>(i % channels);
    double v = 0.0;
    for (const Partial& p : partials) {
      const double envelope = 0.6 + 0.4 * std::sin(2 * kPi * p.swell * t + c);
      v += p.amplitude * envelope * std::sin(2 * kPi * p.frequency * t + p.phase + 0.3 * c);
    }
    out[i] = static_cast<float>(v);
  }
  return out;
}

inline double Rms(const std::vector<float>& x, size_t begin, size_t end) {
  double sum = 0.0;
  for (size_t i = begin; i < end; ++i) sum += static_cast<double>(x[i]) * x[i];
  return end > begin ? std::sqrt(sum / static_cast<double>(end - begin)) : 0.0;
}

inline void AddWhiteHiss(std::vector<float>& x, double rms, uint32_t seed = 99) {
  std::mt19937 random(seed);
  std::normal_distribution<double> gauss(0.0, rms);
  for (float& v : x) v = static_cast<float>(v + gauss(random));
}

struct Click { uint32_t frame, width; };  // the first frame, the length in frames

// Adds decaying impulses of alternating sign on every channel: a sharp edge of
// `peak`, then a tail over `width` frames, as a dust particle leaves.
inline void AddClicks(std::vector<float>& x, uint16_t channels, const std::vector<Click>& clicks,
                      double peak) {
  for (size_t i = 0; i < clicks.size(); ++i) {
    for (uint32_t k = 0; k < clicks[i].width; ++k) {
      float* frame = &x[(static_cast<size_t>(clicks[i].frame) + k) * channels];
      const double v = (i % 2 == 0 ? peak : -peak) * std::exp(-4.0 * k / clicks[i].width);
      for (uint16_t c = 0; c < channels; ++c) frame[c] += static_cast<float>(v);
    }
  }
}

// Lag (frames, within +-maxLag) at which `b` best matches `a` on channel 0: b[n + lag] ~ a[n].
inline int BestLag(const std::vector<float>& a, const std::vector<float>& b, uint16_t channels,
                   int maxLag) {
  const size_t frames = std::min(a.size(), b.size()) / channels;
  std::pair<double, int> best{-1e300, 0};  // correlation, lag
  for (int lag = -maxLag; lag <= maxLag; ++lag) {
    double sum = 0.0;
    for (size_t n = maxLag; n + maxLag < frames; ++n) {
      sum += double{a[n * channels]} * b[(n + lag) * channels];
    }
    if (sum > best.first) best = {sum, lag};
  }
  return best.second;
}

// Floats to little-endian PCM of `bytes` per sample, 8 bits offset by 128, and back.
inline std::vector<uint8_t> Encode(const std::vector<float>& x, int bytes) {
  std::vector<uint8_t> pcm;
  for (float v : x) {
    const auto s = static_cast<uint32_t>(std::lrint(std::clamp(v, -1.0f, 0.999f) * 0x1p31)) ^
                   static_cast<uint32_t>(bytes == 1) << 31;
    for (int k = 4 - bytes; k < 4; ++k) pcm.push_back(static_cast<uint8_t>(s >> 8 * k));
  }
  return pcm;
}

inline std::vector<float> Decode(const std::vector<uint8_t>& pcm, int bytes) {
  std::vector<float> x;
  for (size_t i = 0; i < pcm.size(); i += bytes) {
    uint32_t s = static_cast<uint32_t>(bytes == 1) << 31;
    for (int k = 0; k < bytes; ++k) s ^= uint32_t{pcm[i + k]} << 8 * (4 - bytes + k);
    x.push_back(static_cast<float>(static_cast<int32_t>(s) / 0x1p31));
  }
  return x;
}

}  // namespace veltane::testing
