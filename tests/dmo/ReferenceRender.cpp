// Writes, for every reference case, a test signal (two tones, a little hiss
// and a click every 0.1 s) as a WAV file with a canonical 44-byte header,
// and its processing by the processing object, with the parameters applied
// as the effect object applies them, as raw PCM. The Windows build's host
// tests stream the same files through veltane.dll and compare.
//
// Usage: dmo_reference_render OUTPUT-FOLDER
#include <cmath>
#include <cstdio>
#include <fstream>
#include <vector>

#include "ReferenceCases.h"
#include "effect/EffectParams.h"
#include "effect/NoiseReducFilter.h"

namespace veltane {
namespace {

std::vector<uint8_t> TestSignal(const ReferenceCase& c) {
  const uint32_t bytes = c.bits / 8;
  std::vector<uint8_t> pcm;
  uint32_t state = 12345;
  for (uint32_t n = 0; n < c.frames; ++n) {
    for (uint16_t ch = 0; ch < c.channels; ++ch) {
      state = state * 1664525u + 1013904223u;
      const double t = static_cast<double>(n) / c.rate;
      double x = 0.3 * std::sin(2 * M_PI * 440.0 * t + ch) + 0.2 * std::sin(2 * M_PI * 1250.0 * t) +
                 (static_cast<double>(state >> 8) / 16777216.0 - 0.5) * 0.02 + (n % (c.rate / 10) == 7 ? 0.4 : 0.0);
      x = std::fmax(-1.0, std::fmin(1.0, x));
      const auto v = bytes == 1 ? 128 + static_cast<int32_t>(x * 127.0) : static_cast<int32_t>(x * ((1 << (c.bits - 1)) - 1));
      for (uint32_t b = 0; b < bytes; ++b) pcm.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * b)));
    }
  }
  return pcm;
}

struct WaveHeader {
  char riff[4] = {'R', 'I', 'F', 'F'};
  uint32_t riffBytes;
  char wave[8] = {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
  uint32_t formatBytes = 16;
  uint16_t tag = 1, channels;
  uint32_t rate, byteRate;
  uint16_t blockAlign, bits;
  char data[4] = {'d', 'a', 't', 'a'};
  uint32_t dataBytes;
};
static_assert(sizeof(WaveHeader) == 44);

bool Write(const std::string& path, const void* header, size_t headerBytes, const std::vector<uint8_t>& data) {
  std::ofstream file(path, std::ios::binary);
  file.write(static_cast<const char*>(header), static_cast<std::streamsize>(headerBytes));
  file.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(file);
}

}  // namespace
}  // namespace veltane

int main(int argc, char** argv) {
  using namespace veltane;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT-FOLDER\n", argv[0]);
    return 2;
  }
  for (const ReferenceCase& c : kReferenceCases) {
    const std::vector<uint8_t> pcm = TestSignal(c);
    const auto block = static_cast<uint16_t>(c.channels * c.bits / 8);
    NoiseReducFilter filter;
    filter.SetFormat(WaveFormat{1, c.channels, c.rate, c.rate * block, block, c.bits, 0});
    if (ApplyEffectParam(filter, kParamClickThreshold, c.clickThreshold) != ParamStatus::Ok ||
        ApplyEffectParam(filter, kParamOptions, c.options) != ParamStatus::Ok) {
      std::fprintf(stderr, "%s: parameters out of range\n", c.name);
      return 1;
    }
    // Slices of one chain buffer with ample room: everything the chain returns is kept.
    std::vector<uint8_t> processed, room(static_cast<size_t>(1024 + 65536) * block);
    for (uint32_t at = 0; at < c.frames; at += 1024) {
      uint32_t produced = static_cast<uint32_t>(room.size() / block);
      filter.Process(pcm.data() + static_cast<size_t>(at) * block, std::min(1024u, c.frames - at), room.data(),
                     &produced);
      processed.insert(processed.end(), room.begin(), room.begin() + static_cast<size_t>(produced) * block);
    }
    const auto dataBytes = static_cast<uint32_t>(pcm.size());
    WaveHeader header{.riffBytes = 36 + dataBytes, .channels = c.channels, .rate = c.rate, .byteRate = c.rate * block,
                      .blockAlign = block, .bits = c.bits, .dataBytes = dataBytes};
    const std::string folder = std::string(argv[1]) + "/";
    if (!Write(folder + InputName(c), &header, sizeof header, pcm) ||
        !Write(folder + ReferenceName(c), nullptr, 0, processed)) {
      std::fprintf(stderr, "cannot write into %s\n", argv[1]);
      return 1;
    }
  }
  return 0;
}
