// The LV2 plugin's cost as a host sees it: run() over one second of 44100 Hz
// stereo in host blocks of several sizes (items are frames: the real-time
// factor is items_per_second / 44100), and the set-up a host waits for when
// it instantiates or re-activates an instance (the chain's warm-up).
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "lv2/Descriptor.h"
#include "lv2/VeltanePlugin.h"

namespace veltane::lv2 {
namespace {

constexpr double kRate = 44100.0;
constexpr uint32_t kFrames = 44100;

struct Instance {
  explicit Instance(uint16_t channels) : descriptor(Descriptor(channels == 1 ? 0 : 1)) {
    handle = descriptor->instantiate(descriptor, kRate, "", nullptr);
    for (uint32_t port = 0; port < kControlPortCount; ++port) {
      controls[port] = kControlRanges[port].defaultValue;
      descriptor->connect_port(handle, port, &controls[port]);
    }
    descriptor->activate(handle);
  }
  ~Instance() { descriptor->cleanup(handle); }
  const LV2_Descriptor* descriptor;
  LV2_Handle handle;
  float controls[kControlPortCount];
};

// Music-like partials with a little noise, one array per channel.
std::vector<float> Channel(uint32_t c) {
  std::vector<float> x(kFrames);
  uint32_t noise = 7 + c;
  for (uint32_t i = 0; i < kFrames; ++i) {
    noise = noise * 1664525u + 1013904223u;
    x[i] = 0.2f * std::sin(0.0627f * i + c) + 0.1f * std::sin(0.0161f * i) + 1e-3f * static_cast<int32_t>(noise) / 0x1p31f;
  }
  return x;
}

// Stereo, restoring with the defaults, in host blocks of range(0) frames.
void BM_Run(benchmark::State& state) {
  const auto block = static_cast<uint32_t>(state.range(0));
  Instance plugin(2);
  const std::vector<float> input[2] = {Channel(0), Channel(1)};
  std::vector<float> output[2] = {std::vector<float>(kFrames), std::vector<float>(kFrames)};
  for (auto _ : state) {
    for (uint32_t at = 0; at < kFrames; at += block) {
      const uint32_t n = std::min(block, kFrames - at);
      for (uint32_t c = 0; c < 2; ++c) {
        plugin.descriptor->connect_port(plugin.handle, kFirstAudioPort + c, const_cast<float*>(input[c].data() + at));
        plugin.descriptor->connect_port(plugin.handle, kFirstAudioPort + 2 + c, output[c].data() + at);
      }
      plugin.descriptor->run(plugin.handle, n);
    }
    benchmark::DoNotOptimize(output[0].data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFrames);
}
BENCHMARK(BM_Run)->Arg(1)->Arg(64)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);

// instantiate and the first activate, then cleanup; range(0) channels.
void BM_Instantiate(benchmark::State& state) {
  for (auto _ : state) {
    Instance plugin(static_cast<uint16_t>(state.range(0)));
    benchmark::DoNotOptimize(plugin.handle);
  }
}
BENCHMARK(BM_Instantiate)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// A re-activation after a stream has run: the chain that ran is built and
// warmed up anew.
void BM_Reactivate(benchmark::State& state) {
  Instance plugin(2);
  std::vector<float> audio(VeltanePlugin::kSliceFrames, 0.0f);
  for (uint32_t port = kFirstAudioPort; port < kFirstAudioPort + 4; ++port) {
    plugin.descriptor->connect_port(plugin.handle, port, audio.data());
  }
  for (auto _ : state) {
    plugin.descriptor->run(plugin.handle, VeltanePlugin::kSliceFrames);
    plugin.descriptor->activate(plugin.handle);
  }
}
BENCHMARK(BM_Reactivate)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace veltane::lv2

BENCHMARK_MAIN();
