// Whole-chain throughput: the processing object restoring 16-bit stereo with
// declick and denoise on and the automatic hiss level, on one thread.
// Prints the real-time factor per engine and rate (realtime_x counter).
//
// With `--seconds=N [--engine=classic|modern] [--rate=R]` instead of
// benchmark options it processes N seconds of stereo at rate R (44100) once
// and exits: run under callgrind for an instruction count that does not
// depend on the machine's load (see callgrind.sh).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "effect/NoiseReducFilter.h"

namespace veltane {
namespace {

constexpr uint32_t kBlock = 4410;

// A few partials with hiss and the odd click: the declicker has work to do
// and the hiss estimate something to find.
std::vector<int16_t> Program(uint32_t rate, uint32_t frames) {
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

struct Restoration {
  Restoration(Engine engine, uint32_t rate) : input(Program(rate, rate)), output(2 * (kBlock + 8192)) {
    filter.SetEngine(engine);
    filter.SetFullBypass(0);
    filter.SetBypassDeclick(0);
    filter.SetBypassDenoise(0);
    filter.SetAutoInputHissLevel(1);
    filter.SetFormat(WaveFormat{1, 2, rate, rate * 4, 4, 16, 0});
  }
  // Runs `frames` frames of the looping program through the chain.
  void Run(uint64_t frames) {
    const uint32_t total = static_cast<uint32_t>(input.size() / 2);
    for (uint64_t done = 0; done < frames; done += kBlock) {
      const uint32_t at = static_cast<uint32_t>(done % (total - kBlock));
      uint32_t room = kBlock + 8192;
      filter.Process(reinterpret_cast<const uint8_t*>(&input[2 * static_cast<size_t>(at)]), kBlock,
                     reinterpret_cast<uint8_t*>(output.data()), &room);
    }
  }
  NoiseReducFilter filter;
  std::vector<int16_t> input;
  std::vector<int16_t> output;
};

void BM_Chain(benchmark::State& state) {
  const auto engine = static_cast<Engine>(state.range(0));
  const auto rate = static_cast<uint32_t>(state.range(1));
  state.SetLabel(engine == Engine::Modern ? "modern" : "classic");
  Restoration restoration(engine, rate);
  restoration.Run(rate);  // warm-up: formats, tables, the hiss estimate
  for (auto _ : state) restoration.Run(rate);
  state.counters["realtime_x"] = benchmark::Counter(
      static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Chain)
    ->ArgsProduct({{static_cast<int>(Engine::Classic), static_cast<int>(Engine::Modern)}, {44100, 48000, 96000}})
    ->ArgNames({"engine", "rate"})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

}  // namespace
}  // namespace veltane

int main(int argc, char** argv) {
  if (argc >= 2 && std::strncmp(argv[1], "--seconds=", 10) == 0) {
    const double seconds = std::atof(argv[1] + 10);
    veltane::Engine engine = veltane::Engine::Classic;
    uint32_t rate = 44100;
    for (int i = 2; i < argc; ++i) {
      if (std::strcmp(argv[i], "--engine=modern") == 0) engine = veltane::Engine::Modern;
      if (std::strncmp(argv[i], "--rate=", 7) == 0) rate = static_cast<uint32_t>(std::atoi(argv[i] + 7));
    }
    veltane::Restoration restoration(engine, rate);
    restoration.Run(static_cast<uint64_t>(seconds * rate));
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
