// Split + merge throughput for 44.1 kHz stereo, as a multiple of real time.
//
// "realtime_x" is seconds of audio processed per second of CPU: the whole
// pass through the ports (source -> "HalfS" -> "HalfM" -> sink, 1024-frame
// buffers as the Adapter hands them in) and, for comparison, the two
// per-channel filter routines alone on the same buffers.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "halfband/AllpassCascade.h"
#include "halfband/HalfM.h"
#include "halfband/HalfS.h"

namespace veltane {
namespace {

constexpr float kRate = 44100.0f;
constexpr uint16_t kChannels = 2;
constexpr uint32_t kFrames = 1024;

std::vector<float> Noise(size_t count) {
  std::mt19937 generator(1);
  std::uniform_real_distribution<float> uniform(-0.1f, 0.1f);
  std::vector<float> values(count);
  for (float& v : values) v = uniform(generator);
  return values;
}

// Publishes the same buffer of noise at every pass.
class Source : public Block {
 public:
  Source()
      : Block("Source", 0, PortKind::Samples, 1, PortKind::Samples),
        signal_(Noise(kChannels * kFrames)) {
    Output(0)->format.SetSampleRate(kRate);
    Output(0)->format.SetChannels(kChannels);
    Output(0)->format.SetFrames(kFrames);
  }
  BlockStatus Process() override {
    float* out = Output(0)->ChannelData(0);
    if (out == nullptr) return BlockStatus::NotReady;
    std::copy(signal_.begin(), signal_.end(), out);
    return BlockStatus::Ok;
  }

 private:
  std::vector<float> signal_;
};

void SetRealtimeCounter(benchmark::State& state) {
  state.counters["realtime_x"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kFrames / kRate, benchmark::Counter::kIsRate);
}

void SplitMergeThroughPorts(benchmark::State& state) {
  const uint32_t design = static_cast<uint32_t>(state.range(0));
  Source source;
  HalfS split("HalfS 0");
  HalfM merge("HalfM 0");
  Block sink("Sink", 1, PortKind::Samples, 0, PortKind::Samples);  // takes each buffer
  split.SetDesign(design);
  merge.SetDesign(design);
  Connect(&source, 0, &split, 0);
  Connect(&split, 0, &merge, 0);
  Connect(&split, 1, &merge, 1);
  Connect(&merge, 0, &sink, 0);
  for (int warm = 0; warm < 4; ++warm) source.Run();
  const uint32_t before = sink.Input(0)->framesConsumed;
  for (auto _ : state) source.Run();
  if (sink.Input(0)->framesConsumed - before != state.iterations() * kFrames) {
    state.SkipWithError("frames were lost between split and merge");
  }
  SetRealtimeCounter(state);
}
BENCHMARK(SplitMergeThroughPorts)->Arg(0)->Arg(7)->ArgName("design");

void SplitMergeRoutinesOnly(benchmark::State& state) {
  const uint32_t design = static_cast<uint32_t>(state.range(0));
  HalfS split("HalfS 0");
  HalfM merge("HalfM 0");
  split.SetDesign(design);
  merge.SetDesign(design);
  const std::vector<float> in = Noise(kChannels * kFrames);
  std::vector<float> low(kChannels * kFrames / 2);
  std::vector<float> high(kChannels * kFrames / 2);
  std::vector<float> out(kChannels * kFrames);
  float splitStates[kChannels][2][kAllpassStateFloats] = {};
  float mergeStates[kChannels][2][kAllpassStateFloats] = {};
  for (auto _ : state) {
    for (uint16_t c = 0; c < kChannels; ++c) {
      HalfS::SplitChannel(in.data() + c, low.data() + c, high.data() + c, splitStates[c][0],
                          splitStates[c][1], kFrames, split.evenList, split.oddList,
                          split.evenCount, split.oddCount, 1, kChannels);
      HalfM::MergeChannel(low.data() + c, high.data() + c, out.data() + c, mergeStates[c][0],
                          mergeStates[c][1], kFrames / 2, merge.evenList, merge.oddList,
                          merge.evenCount, merge.oddCount, 0, kChannels);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  SetRealtimeCounter(state);
}
BENCHMARK(SplitMergeRoutinesOnly)->Arg(0)->Arg(7)->ArgName("design");

}  // namespace
}  // namespace veltane

BENCHMARK_MAIN();
