// Click removal speed: RepairBlock calls per second, and the declick block's
// throughput as a multiple of real time for one 22050 Hz channel (one half
// band of a 44.1 kHz stream).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "declick/RepairBlock.h"
#include "declick/TDDeclick.h"

namespace veltane {
namespace {

constexpr double kRate = 22050.0;
constexpr int32_t kN = 600;
constexpr int32_t kP = 28;

// Partials with drifting levels over a little noise, with a click of a few
// samples every `clickSpacing` samples (none when 0).
std::vector<float> Programme(size_t count, size_t clickSpacing) {
  std::mt19937 rng(1);
  std::normal_distribution<double> noise(0.0, 0.002);
  const double pi = 3.14159265358979323846;
  const double partials[][2] = {{220.0, 0.10}, {330.0, 0.06}, {440.0, 0.05}, {1250.0, 0.03},
                                {2630.0, 0.01}};
  std::vector<float> x(count);
  for (size_t n = 0; n < count; ++n) {
    const double time = static_cast<double>(n) / kRate;
    double v = noise(rng);
    int index = 0;
    for (const auto& partial : partials) {
      const double drift = 1.0 + 0.5 * std::sin(2.0 * pi * (0.3 + 0.1 * index) * time);
      v += partial[1] * drift * std::sin(2.0 * pi * partial[0] * time + index);
      ++index;
    }
    if (clickSpacing > 0 && n % clickSpacing < 3) v += (n % 2 ? -0.4 : 0.6);
    x[n] = static_cast<float>(v);
  }
  return x;
}

struct Arrays {
  std::vector<double> autocorr = std::vector<double>(kMaxModelOrder + 1);
  std::vector<double> coeffs = std::vector<double>(kMaxModelOrder + 1);
  std::vector<double> residual = std::vector<double>(kN);
  std::vector<double> toeplitzRow = std::vector<double>(kMaxGapLength);
  std::vector<double> solverForward = std::vector<double>(kMaxGapLength);
  std::vector<double> solverBackward = std::vector<double>(kMaxGapLength);
  std::vector<double> rhs = std::vector<double>(kMaxGapLength);
  std::vector<double> gapResidual = std::vector<double>(kMaxGapResidual);
  RepairWork Work() {
    return {autocorr.data(),      coeffs.data(),         residual.data(), toeplitzRow.data(),
            solverForward.data(), solverBackward.data(), rhs.data(),      gapResidual.data()};
  }
};

// One call per iteration on successive 600-sample blocks of the programme
// (hop 443, as the block calls it). Arg: samples between clicks (0: none).
void BM_RepairBlock(benchmark::State& state) {
  const std::vector<float> programme = Programme(443 * 200 + kN, static_cast<size_t>(state.range(0)));
  Arrays arrays;
  std::vector<double> block(kN);
  size_t offset = 0;
  float peak = 0.0f;
  for (auto _ : state) {
    std::copy(programme.begin() + static_cast<std::ptrdiff_t>(offset),
              programme.begin() + static_cast<std::ptrdiff_t>(offset + kN), block.begin());
    RepairBlock(block.data(), kN, kP, 20, 4.5, 80, arrays.Work(), peak);
    benchmark::DoNotOptimize(block.data());
    offset = offset + 443 + kN > programme.size() ? 0 : offset + 443;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["calls_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                     benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RepairBlock)->ArgName("click_spacing")->Arg(0)->Arg(2000)->Arg(300)->Arg(60);

// Publishes successive 512-frame buffers of a looping mono programme, as
// the first half-band split hands them to the declicker at 44.1 kHz.
class Source : public Block {
 public:
  explicit Source(const std::vector<float>& programme)
      : Block("Source", 0, PortKind::Samples, 1, PortKind::Samples), programme_(programme) {
    Output(0)->format.SetSampleRate(static_cast<float>(kRate));
    Output(0)->format.SetChannels(1);
    Output(0)->format.SetFrames(kFrames);
  }
  BlockStatus Process() override {
    float* out = Output(0)->ChannelData(0);
    if (out == nullptr) return BlockStatus::NotReady;
    if (offset_ + kFrames > programme_.size()) offset_ = 0;
    std::copy_n(programme_.begin() + static_cast<std::ptrdiff_t>(offset_), kFrames, out);
    offset_ += kFrames;
    return BlockStatus::Ok;
  }
  static constexpr uint32_t kFrames = 512;

 private:
  const std::vector<float>& programme_;
  size_t offset_ = 0;
};

class Sink : public Block {
 public:
  Sink() : Block("Sink", 1, PortKind::Samples, 0, PortKind::Samples) {}
};

// Arg 0: RepairBlock; arg 1: simple mode (ClipBlock).
void BM_TDDeclickRealTime(benchmark::State& state) {
  const std::vector<float> programme = Programme(static_cast<size_t>(kRate) * 20, 1500);
  Source source(programme);
  TDDeclick declick("TDDeclick0");
  declick.maxClickWidth = 80;
  declick.simpleMode = state.range(0) != 0;
  Sink sink;
  Connect(&source, 0, &declick, 0);
  Connect(&declick, 0, &sink, 0);
  for (int i = 0; i < 32; ++i) source.Run();  // fill the ring to its steady state
  const uint32_t before = declick.Output(0)->framesProduced;
  for (auto _ : state) source.Run();
  const double frames = static_cast<double>(declick.Output(0)->framesProduced - before);
  state.SetItemsProcessed(static_cast<int64_t>(frames));
  state.counters["x_realtime"] = benchmark::Counter(frames / kRate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TDDeclickRealTime)->ArgName("simple")->Arg(0)->Arg(1);

}  // namespace
}  // namespace veltane

BENCHMARK_MAIN();
