// The audio that the host tests stream through veltane.dll and that the
// native build processes for comparison: a deterministic test signal per
// case and the parameters it is processed with.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace veltane::testing {

struct ReferenceCase {
  const char* name;
  uint32_t rate;
  uint16_t channels;
  uint16_t bits;
  uint32_t frames;
  float clickThreshold;
  float options;  // the "Options" parameter
};

inline constexpr ReferenceCase kReferenceCases[] = {
    {"stereo16", 44100, 2, 16, 3 * 44100, 4.0f, 16.0f},  // everything on, automatic hiss level
    {"mono24", 96000, 1, 24, 2 * 96000, 3.0f, 0.0f},     // everything on, fixed hiss level
    {"stereo8", 22050, 2, 8, 22050, 6.0f, 4.0f},         // declicking only
};

inline std::string InputName(const ReferenceCase& c) { return std::string("input-") + c.name + ".wav"; }
inline std::string ReferenceName(const ReferenceCase& c) { return std::string("reference-") + c.name + ".raw"; }

// Two tones, a little hiss from a fixed generator and a click every 0.1 s,
// as interleaved PCM of the case's format.
inline std::vector<uint8_t> TestSignal(const ReferenceCase& c) {
  const uint32_t bytes = c.bits / 8;
  std::vector<uint8_t> pcm(static_cast<size_t>(c.frames) * c.channels * bytes);
  uint32_t state = 12345;
  size_t at = 0;
  for (uint32_t n = 0; n < c.frames; ++n) {
    for (uint16_t ch = 0; ch < c.channels; ++ch) {
      state = state * 1664525u + 1013904223u;
      const double hiss = (static_cast<double>(state >> 8) / 16777216.0 - 0.5) * 0.02;
      const double t = static_cast<double>(n) / c.rate;
      double x = 0.3 * std::sin(2 * M_PI * 440.0 * t + ch) + 0.2 * std::sin(2 * M_PI * 1250.0 * t) + hiss;
      if (n % (c.rate / 10) == 7) x += 0.4;
      const double clamped = std::fmax(-1.0, std::fmin(1.0, x));
      if (bytes == 1) {
        pcm[at++] = static_cast<uint8_t>(128 + static_cast<int>(clamped * 127.0));
      } else {
        const auto v = static_cast<int32_t>(clamped * (bytes == 2 ? 32767.0 : 8388607.0));
        for (uint32_t b = 0; b < bytes; ++b) pcm[at++] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * b));
      }
    }
  }
  return pcm;
}

// A canonical 44-byte RIFF/WAVE header followed by the samples.
inline std::vector<uint8_t> WaveFile(const ReferenceCase& c, const std::vector<uint8_t>& pcm) {
  std::vector<uint8_t> file(44 + pcm.size());
  auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&file[at], &v, 4); };
  auto put16 = [&](size_t at, uint16_t v) { std::memcpy(&file[at], &v, 2); };
  std::memcpy(&file[0], "RIFF", 4);
  put32(4, static_cast<uint32_t>(36 + pcm.size()));
  std::memcpy(&file[8], "WAVEfmt ", 8);
  put32(16, 16);
  put16(20, 1);
  put16(22, c.channels);
  put32(24, c.rate);
  const uint16_t block = static_cast<uint16_t>(c.channels * c.bits / 8);
  put32(28, c.rate * block);
  put16(32, block);
  put16(34, c.bits);
  std::memcpy(&file[36], "data", 4);
  put32(40, static_cast<uint32_t>(pcm.size()));
  if (!pcm.empty()) std::memcpy(&file[44], pcm.data(), pcm.size());
  return file;
}

}  // namespace veltane::testing
