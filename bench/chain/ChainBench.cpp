// Whole-chain throughput: the processing object restoring 16-bit stereo with
// declick and denoise on and the automatic hiss level, on one thread.
// Prints the real-time factor (realtime_x counter) per engine, rate and
// kernel level (0 baseline, 1 x86-64-v3; a level the processor lacks is
// skipped).
//
// With `--seconds=N [--engine=classic|modern] [--rate=R] [--kernels=baseline]`
// instead of benchmark options it processes N seconds of audio (the classic
// engine at 44.1 kHz unless told otherwise) once and exits: run under
// callgrind for an instruction count that does not depend on the machine's
// load (see bench/callgrind.sh). `--kernels` alone prints the level the
// kernels run at.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "effect/NoiseReducFilter.h"
#include "framework/KernelLevel.h"
#include "support/Programme.h"

namespace veltane {
namespace {

constexpr uint32_t kBlock = 4410;

struct Restoration {
  Restoration(Engine engine, uint32_t rate) : input(bench::Programme(rate, rate)), output(2 * (kBlock + 8192)) {
    filter.SetEngine(engine);
    filter.SetFullBypass(0);
    filter.SetBypassDeclick(0);
    filter.SetBypassDenoise(0);
    filter.SetAutoInputHissLevel(1);
    filter.SetFormat(WaveFormat{1, 2, rate, rate * 4, 4, 16, 0});
  }
  // Runs `frames` frames of the looping programme through the chain.
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
  const auto level = static_cast<KernelLevel>(state.range(2));
  state.SetLabel(engine == Engine::Modern ? "modern" : "classic");
  if (UseKernelLevel(level) != level) {
    state.SkipWithError("the processor lacks this kernel level");
    UseKernelLevel(SupportedKernelLevel());
    return;
  }
  Restoration restoration(engine, rate);
  restoration.Run(rate);  // warm-up: formats, tables, the hiss estimate
  for (auto _ : state) restoration.Run(rate);
  state.counters["realtime_x"] = benchmark::Counter(
      static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  UseKernelLevel(SupportedKernelLevel());
}
BENCHMARK(BM_Chain)
    ->ArgNames({"engine", "rate", "kernels"})
    ->ArgsProduct(
        {{static_cast<int>(Engine::Classic), static_cast<int>(Engine::Modern)}, {44100, 48000, 96000}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

// The value of `--name=value` in argv[1 ..], or null.
const char* Option(int argc, char** argv, const char* name) {
  const size_t length = std::strlen(name);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') return argv[i] + length + 1;
  }
  return nullptr;
}

}  // namespace
}  // namespace veltane

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--kernels") == 0) {
    std::printf("%s\n", veltane::KernelLevelName(veltane::ActiveKernelLevel()));
    return 0;
  }
  if (const char* seconds = veltane::Option(argc, argv, "--seconds")) {
    const char* engine = veltane::Option(argc, argv, "--engine");
    const char* rate = veltane::Option(argc, argv, "--rate");
    const char* kernels = veltane::Option(argc, argv, "--kernels");
    if (kernels != nullptr && std::strcmp(kernels, "baseline") == 0) {
      veltane::UseKernelLevel(veltane::KernelLevel::Baseline);
    }
    const bool modern = engine != nullptr && std::strcmp(engine, "modern") == 0;
    const uint32_t hz = rate != nullptr ? static_cast<uint32_t>(std::atoi(rate)) : 44100;
    veltane::Restoration restoration(modern ? veltane::Engine::Modern : veltane::Engine::Classic, hz);
    restoration.Run(static_cast<uint64_t>(std::atof(seconds) * hz));
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::AddCustomContext("kernels", veltane::KernelLevelName(veltane::SupportedKernelLevel()));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
