// Throughput of the effect object's streaming helpers around the processing
// object: the output queue with host rooms of several sizes, and in-place
// processing through the aligner. Figures are frames per second of 16-bit
// stereo at 44100 Hz; the real-time factor is items_per_second / 44100.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "effect/InPlaceAligner.h"
#include "effect/NoiseReducFilter.h"
#include "effect/OutputQueue.h"

namespace veltane {
namespace {

constexpr uint32_t kFrames = 44100;  // one second per iteration
constexpr uint32_t kFrameBytes = 4;

std::vector<uint8_t> Signal() {
  std::mt19937 random(1);
  std::normal_distribution<float> noise(0.0f, 2000.0f);
  std::vector<uint8_t> pcm(static_cast<size_t>(kFrames) * kFrameBytes);
  for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
    const auto s = static_cast<int16_t>(noise(random));
    pcm[i] = static_cast<uint8_t>(s);
    pcm[i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8);
  }
  return pcm;
}

void Prepare(NoiseReducFilter& filter, bool active) {
  WaveFormat format;
  format.channels = 2;
  format.samplesPerSec = 44100;
  format.bitsPerSample = 16;
  format.blockAlign = kFrameBytes;
  format.avgBytesPerSec = 44100 * kFrameBytes;
  filter.SetFormat(format);
  filter.SetFullBypass(active ? 0 : 1);
  filter.SetBypassDeclick(0);
  filter.SetBypassDenoise(0);
}

// Host input buffers of 100 ms, output rooms of range(0) frames, half of the
// room taken per call as the effect object does.
void BM_OutputQueue(benchmark::State& state) {
  const auto room = static_cast<uint32_t>(state.range(0));
  const bool active = state.range(1) != 0;
  NoiseReducFilter filter;
  Prepare(filter, active);
  OutputQueue queue;
  queue.Reset(kFrameBytes, 0);
  const auto input = Signal();
  std::vector<uint8_t> host(static_cast<size_t>(room) * kFrameBytes);
  for (auto _ : state) {
    for (uint32_t at = 0; at < kFrames; at += 4410) {
      uint32_t held = 4410;
      const uint8_t* in = input.data() + static_cast<size_t>(at) * kFrameBytes;
      while (held > 0 || queue.QueuedFrames() > 0) {
        const uint32_t take = queue.QueuedFrames() >= room ? 0 : std::min(held, std::max(room / 2, 1u));
        queue.Produce(filter, in, take);
        in += static_cast<size_t>(take) * kFrameBytes;
        held -= take;
        benchmark::DoNotOptimize(queue.Deliver(host.data(), room));
      }
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFrames);
}
BENCHMARK(BM_OutputQueue)->ArgsProduct({{64, 1024, 8192}, {0, 1}})->Unit(benchmark::kMillisecond);

// In-place buffers of range(0) frames.
void BM_InPlace(benchmark::State& state) {
  const auto piece = static_cast<uint32_t>(state.range(0));
  NoiseReducFilter filter;
  Prepare(filter, true);
  InPlaceAligner aligner;
  auto data = Signal();
  for (auto _ : state) {
    for (uint32_t at = 0; at + piece <= kFrames; at += piece) {
      aligner.Process(filter, data.data() + static_cast<size_t>(at) * kFrameBytes, piece);
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * (kFrames / piece) * piece);
}
BENCHMARK(BM_InPlace)->Arg(441)->Arg(4410)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace veltane

BENCHMARK_MAIN();
