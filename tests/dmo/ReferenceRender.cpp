// Writes, for every reference case, the test signal as a WAV file and its
// processing by the processing object (in the order the effect object
// applies the parameters) as raw PCM. The Windows build's host tests stream
// the same WAV files through veltane.dll and compare.
//
// Usage: dmo_reference_render OUTPUT-FOLDER
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "ReferenceCases.h"
#include "effect/EffectParams.h"
#include "effect/NoiseReducFilter.h"

namespace {

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT-FOLDER\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  for (const auto& c : veltane::testing::kReferenceCases) {
    const std::vector<uint8_t> pcm = veltane::testing::TestSignal(c);
    veltane::NoiseReducFilter filter;
    veltane::WaveFormat format;
    format.channels = c.channels;
    format.samplesPerSec = c.rate;
    format.bitsPerSample = c.bits;
    format.blockAlign = static_cast<uint16_t>(c.channels * c.bits / 8);
    format.avgBytesPerSec = c.rate * format.blockAlign;
    filter.SetFormat(format);
    if (veltane::ApplyEffectParam(filter, veltane::kParamClickThreshold, c.clickThreshold) != veltane::ParamStatus::Ok ||
        veltane::ApplyEffectParam(filter, veltane::kParamOptions, c.options) != veltane::ParamStatus::Ok) {
      std::fprintf(stderr, "%s: parameters out of range\n", c.name);
      return 1;
    }
    // Slices of one chain buffer with ample room: everything the chain
    // returns is kept.
    const uint32_t block = format.blockAlign;
    std::vector<uint8_t> processed;
    std::vector<uint8_t> room(static_cast<size_t>(1024 + 65536) * block);
    for (uint32_t at = 0; at < c.frames; at += 1024) {
      const uint32_t slice = std::min<uint32_t>(1024, c.frames - at);
      uint32_t produced = static_cast<uint32_t>(room.size() / block);
      filter.Process(pcm.data() + static_cast<size_t>(at) * block, slice, room.data(), &produced);
      processed.insert(processed.end(), room.begin(), room.begin() + static_cast<size_t>(produced) * block);
    }
    if (!WriteFile(folder + "/" + veltane::testing::InputName(c), veltane::testing::WaveFile(c, pcm)) ||
        !WriteFile(folder + "/" + veltane::testing::ReferenceName(c), processed)) {
      std::fprintf(stderr, "cannot write into %s\n", folder.c_str());
      return 1;
    }
  }
  return 0;
}
