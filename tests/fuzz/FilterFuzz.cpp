// The processing object fed random PCM in random formats, with random
// parameter and engine changes between buffers. No buffer may report more frames than
// its room or write past it (the output is allocated to the byte, for the
// address sanitizer), and full bypass copies exactly. Whatever came before,
// a tone played afterwards with processing on must come back at its level:
// nothing non-finite or runaway may stay in the chain's state.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "FuzzInput.h"
#include "chain/NoiseReducManager.h"
#include "effect/NoiseReducFilter.h"
#include "framework/GraphLock.h"
#include "spectral/FDNoiseReduc.h"

namespace veltane::fuzz {
namespace {

WaveFormat RandomFormat(FuzzInput& in) {
  static constexpr uint32_t kRates[] = {8000, 11025, 22050, 32000, 44100, 48000, 96000, 192000};
  const uint8_t pick = in.Byte();
  WaveFormat format;
  format.channels = static_cast<uint16_t>(1 + (pick & 1));
  format.bitsPerSample = static_cast<uint16_t>(8 * (1 + (pick >> 1) % 3));
  // Mostly the common rates; now and then any rate the effect accepts.
  format.samplesPerSec = (pick >> 3) < 28 ? kRates[(pick >> 3) % 8] : std::max<uint32_t>(in.U32(), 1);
  return format;
}

// The five switches as the effect's "Options" bits give them.
void SetSwitches(NoiseReducFilter& filter, uint8_t bits) {
  filter.SetFullBypass(bits & 1), filter.SetBypassDeclick(bits >> 1 & 1), filter.SetBypassDenoise(bits >> 2 & 1);
  filter.SetOutputClicks(bits >> 3 & 1), filter.SetAutoInputHissLevel(bits >> 4 & 1);
}

// Runs `pcm` with `room` frames of room; returns the output. `waiting` holds
// the bypassed frames that found no room yet: they come out first, in bypass
// or not, and full bypass copies exactly what waited and then `pcm`.
std::vector<uint8_t> Run(NoiseReducFilter& filter, const std::vector<uint8_t>& pcm, uint32_t room,
                         std::vector<uint8_t>& waiting) {
  const size_t frameBytes = size_t{filter.Channels()} * filter.BytesPerSample();
  const auto frames = static_cast<uint32_t>(pcm.size() / frameBytes);
  std::vector<uint8_t> out(room * frameBytes);
  uint32_t produced = room;
  (void)filter.Process(pcm.data(), frames, out.data(), &produced);
  if (produced > room) std::abort();
  out.resize(produced * frameBytes);
  const bool bypass = filter.GetFullBypass() == 1;
  if (bypass) waiting.insert(waiting.end(), pcm.begin(), pcm.begin() + frames * frameBytes);
  const size_t first = std::min(waiting.size(), out.size());
  if (!std::equal(out.begin(), out.begin() + static_cast<ptrdiff_t>(first), waiting.begin())) std::abort();
  if (bypass && produced != std::min<size_t>(room, waiting.size() / frameBytes)) std::abort();
  waiting.erase(waiting.begin(), waiting.begin() + static_cast<ptrdiff_t>(first));
  return out;
}

// RMS over the last 4096 frames out of a tone at half of full scale played
// with processing on (1 / sqrt(8) when it comes through untouched). The tone
// is written to, and read from, the top byte of each sample (8-bit PCM is
// unsigned).
double ToneLevel(NoiseReducFilter& filter, std::vector<uint8_t>& waiting) {
  SetSwitches(filter, 0);
  while (!waiting.empty()) Run(filter, {}, 4 * 4096, waiting);
  filter.SetInputHissLevel(0.0f);
  // Gains follow at once: the hiss reducer's slow release, there by design,
  // must not pass for a chain that fails to recover.
  GraphLockHolder hold(filter.Domain());
  filter.Manager().noiseReduc->SetSmoothing(1.0f);
  const uint32_t bytes = filter.BytesPerSample();
  const uint32_t samples = 4096 * filter.Channels();
  const int sign = bytes == 1 ? 0x80 : 0;
  std::vector<uint8_t> pcm(samples * bytes), out;
  // Past the chain's delay, which grows with the rate (the modern engine's
  // windows are set in time), and three blocks more.
  const uint32_t blocks = 3 + filter.GetLatencyFrames() / 4096;
  for (uint32_t block = 0; block < blocks; ++block) {
    for (uint32_t i = 0; i < samples; ++i) {
      const double tone = std::sin(0.3 * (block * 4096 + i / filter.Channels()));
      pcm[i * bytes + bytes - 1] = static_cast<uint8_t>(std::lround(64 * tone) ^ sign);
    }
    const std::vector<uint8_t> more = Run(filter, pcm, 4 * 4096, waiting);
    out.insert(out.end(), more.begin(), more.end());
  }
  if (out.size() < pcm.size()) return 0.0;
  double energy = 0.0;
  for (size_t i = out.size() - pcm.size() + bytes - 1; i < out.size(); i += bytes) {
    energy += std::pow(static_cast<int8_t>(out[i] ^ sign) / 128.0, 2);
  }
  return std::sqrt(energy / samples);
}

}  // namespace
}  // namespace veltane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace veltane;
  fuzz::FuzzInput in{data, data + size};
  std::unique_ptr<NoiseReducFilter> filter = CreateNoiseReducFilter();
  filter->SetFormat(fuzz::RandomFormat(in));
  std::vector<uint8_t> waiting;
  for (int step = 0; step < 32 && !in.Empty(); ++step) {
    const uint8_t op = in.Byte() % 8;
    if (op == 0) {  // a new format drops what waited
      const auto before = std::tuple(filter->Channels(), filter->SampleRate(), filter->BytesPerSample());
      filter->SetFormat(fuzz::RandomFormat(in));
      if (before != std::tuple(filter->Channels(), filter->SampleRate(), filter->BytesPerSample())) waiting.clear();
    }
    if (op == 1) filter->SetClickThreshold(in.Level(2.0f, 20.0f));
    if (op == 2) filter->SetOutputHissLevel(in.Level(0.0f, 1.0f));
    if (op == 3) filter->SetInputHissLevel(in.Level(0.0f, 1.0f));
    if (op == 4) fuzz::SetSwitches(*filter, in.Byte());
    if (op == 5) (void)filter->GetClickMeter();
    if (op == 5) filter->SetEngine((in.Byte() & 1) != 0 ? Engine::Modern : Engine::Classic);
    if (op < 6) continue;
    // Random bytes are random PCM, clipping-level noise of every width.
    std::vector<uint8_t> pcm(in.U16() % 6000 * size_t{filter->Channels()} * filter->BytesPerSample());
    const uint8_t roomy = in.Byte();
    const uint32_t room = roomy < 48 ? in.U16() % 5000 : static_cast<uint32_t>(pcm.size()) + 20000;
    std::generate(pcm.begin(), pcm.end(), [&] { return in.Byte(); });
    (void)fuzz::Run(*filter, pcm, room, waiting);
  }
  const double level = fuzz::ToneLevel(*filter, waiting);
  if (level < 0.5 / std::sqrt(8.0) || level > 2.0 / std::sqrt(8.0)) std::abort();
  return 0;
}
