// The processing object fed random PCM in random formats, with random
// parameter changes between buffers. For every buffer it must report no more
// frames than the room it was given and write nothing past that room (the
// output area is allocated to the byte, for the address sanitizer); full
// bypass must copy exactly. Whatever it went through, a tone played through
// it afterwards with processing on must come back at its own level: nothing
// non-finite or runaway may stay in the chain's state.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzInput.h"
#include "chain/NoiseReducManager.h"
#include "effect/NoiseReducFilter.h"
#include "framework/GraphLock.h"
#include "spectral/FDNoiseReduc.h"

namespace veltane::fuzz {
namespace {

constexpr uint32_t kRates[] = {8000, 11025, 22050, 32000, 44100, 48000, 96000, 192000};

void Check(bool holds) {
  if (!holds) std::abort();
}

WaveFormat RandomFormat(FuzzInput& in) {
  const uint8_t pick = in.Byte();
  WaveFormat format;
  format.channels = static_cast<uint16_t>(1 + (pick & 1));
  format.bitsPerSample = static_cast<uint16_t>(8 * (1 + (pick >> 1) % 3));
  // Mostly the common rates; now and then any rate the effect accepts.
  format.samplesPerSec = (pick >> 3) < 28 ? kRates[(pick >> 3) % 8] : std::max<uint32_t>(in.U32(), 1);
  format.blockAlign = static_cast<uint16_t>(format.channels * format.bitsPerSample / 8);
  format.avgBytesPerSec = format.samplesPerSec * format.blockAlign;
  return format;
}

// One sample at full scale +-1.0 in the host's layout, and back.
void Encode(double value, uint32_t bytes, uint8_t* to) {
  const auto steps = static_cast<int32_t>(std::lround(std::clamp(value, -1.0, 1.0) * 8388607.0)) * 256;
  const auto bits = static_cast<uint32_t>(steps);
  if (bytes == 1) {
    to[0] = static_cast<uint8_t>((bits >> 24) ^ 0x80u);
    return;
  }
  for (uint32_t b = 0; b < bytes; ++b) to[b] = static_cast<uint8_t>(bits >> (32 - 8 * (bytes - b)));
}

double Decode(const uint8_t* from, uint32_t bytes) {
  if (bytes == 1) return (from[0] - 128) / 128.0;
  uint32_t bits = 0;
  for (uint32_t b = 0; b < bytes; ++b) bits |= uint32_t{from[b]} << (32 - 8 * (bytes - b));
  return static_cast<int32_t>(bits) / 2147483648.0;
}

// Runs `frames` frames of `pcm` with `room` frames of room and checks the
// bounds; returns the output.
std::vector<uint8_t> Run(NoiseReducFilter& filter, const std::vector<uint8_t>& pcm, uint32_t frames,
                         uint32_t room) {
  const size_t frameBytes = size_t{filter.Channels()} * filter.BytesPerSample();
  std::vector<uint8_t> out(room * frameBytes);
  uint32_t produced = room;
  (void)filter.Process(pcm.data(), frames, out.data(), &produced);
  Check(produced <= room);
  if (filter.GetFullBypass() == 1) {
    Check(produced == std::min(frames, room) && std::equal(out.begin(), out.begin() + produced * frameBytes,
                                                            pcm.begin()));
  }
  out.resize(produced * frameBytes);
  return out;
}

// A buffer of raw bytes, or of full-scale squares or DC, which random bytes
// seldom make.
void Feed(NoiseReducFilter& filter, FuzzInput& in) {
  const uint32_t bytes = filter.BytesPerSample();
  const uint32_t frameBytes = filter.Channels() * bytes;
  const uint32_t frames = in.U16() % 6000;
  const uint8_t shape = in.Byte();
  const uint32_t room = shape < 48 ? in.U16() % 5000 : frames + 20000;
  std::vector<uint8_t> pcm(size_t{frames} * frameBytes);
  if (shape % 4 != 0) {
    in.Take(pcm.data(), pcm.size());
  } else {
    const uint32_t half = 1 + in.Byte();
    for (uint32_t n = 0; n < frames * filter.Channels(); ++n) {
      Encode((n / filter.Channels() / half) % 2 == 0 || half == 256 ? 1.0 : -1.0, bytes, &pcm[n * bytes]);
    }
  }
  (void)Run(filter, pcm, frames, room);
}

// RMS of a tone at half of full scale, played with processing on, over its
// last 4096 frames out (1 / sqrt(8) when it comes through untouched).
double ToneLevel(NoiseReducFilter& filter) {
  filter.SetFullBypass(0);
  filter.SetBypassDeclick(0);
  filter.SetBypassDenoise(0);
  filter.SetOutputClicks(0);
  filter.SetAutoInputHissLevel(0);
  filter.SetInputHissLevel(0.0f);
  {
    // Gains follow at once: the hiss reducer's slow release, there by
    // design, must not pass for a chain that fails to recover.
    GraphLockHolder hold;
    filter.Manager().noiseReduc->SetSmoothing(1.0f);
  }
  const uint32_t channels = filter.Channels();
  const uint32_t bytes = filter.BytesPerSample();
  constexpr uint32_t kFrames = 4096;
  std::vector<uint8_t> pcm(size_t{kFrames} * channels * bytes);
  std::vector<uint8_t> last;
  for (uint32_t block = 0; block < 3; ++block) {
    for (uint32_t n = 0; n < kFrames * channels; ++n) {
      Encode(0.5 * std::sin(0.3 * (block * kFrames + n / channels)), bytes, &pcm[n * bytes]);
    }
    std::vector<uint8_t> out = Run(filter, pcm, kFrames, 4 * kFrames);
    last.insert(last.end(), out.begin(), out.end());
  }
  const size_t samples = std::min<size_t>(last.size() / bytes, size_t{kFrames} * channels);
  double energy = 0.0;
  for (size_t i = last.size() / bytes - samples; i < last.size() / bytes; ++i) {
    energy += std::pow(Decode(&last[i * bytes], bytes), 2);
  }
  return samples == 0 ? 0.0 : std::sqrt(energy / samples);
}

}  // namespace
}  // namespace veltane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace veltane;
  fuzz::FuzzInput in(data, size);
  std::unique_ptr<NoiseReducFilter> filter = CreateNoiseReducFilter();
  filter->SetFormat(fuzz::RandomFormat(in));
  for (int step = 0; step < 32 && !in.Empty(); ++step) {
    switch (in.Byte() % 8) {
      case 0:
        filter->SetFormat(fuzz::RandomFormat(in));
        break;
      case 1:
        filter->SetClickThreshold(in.Level(2.0f, 20.0f));
        break;
      case 2:
        filter->SetOutputHissLevel(in.Level(0.0f, 1.0f));
        break;
      case 3:
        filter->SetInputHissLevel(in.Level(0.0f, 1.0f));
        break;
      case 4: {
        const uint8_t bits = in.Byte();
        filter->SetFullBypass(bits & 1);
        filter->SetBypassDeclick((bits >> 1) & 1);
        filter->SetBypassDenoise((bits >> 2) & 1);
        filter->SetOutputClicks((bits >> 3) & 1);
        filter->SetAutoInputHissLevel((bits >> 4) & 1);
        break;
      }
      case 5:
        (void)filter->GetClickMeter();
        break;
      default:
        fuzz::Feed(*filter, in);
        break;
    }
  }
  const double level = fuzz::ToneLevel(*filter);
  fuzz::Check(level > 0.5 / std::sqrt(8.0) && level < 2.0 / std::sqrt(8.0));
  return 0;
}
