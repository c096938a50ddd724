// Click removal speed: RepairBlock calls per second, the classic declick
// block's throughput as a multiple of real time for one 22050 Hz channel (one
// half band of a 44.1 kHz stream), and the modern declicker's for 44.1 kHz
// stereo with 5 clicks a second (x_realtime; items_per_second counts frames).
//
// With `--seconds=N` instead of benchmark options it runs the modern
// declicker over N seconds of that stereo programme once and exits: run under
// callgrind for an instruction count that does not depend on the machine's
// load (see callgrind.sh).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "declick/ExtentDeclick.h"
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

constexpr uint32_t kStereoRate = 44100;
constexpr uint32_t kStereoFrames = 1024;  // what the Adapter hands the chain

// 20 s of stereo at 44.1 kHz: drifting partials over a little noise, with 5
// clicks a second in both channels, 1 to 80 samples wide (log-uniform), half
// decaying impulses and half noise bursts, 3 to 30 times the programme's RMS.
std::vector<float> StereoProgramme() {
  const double pi = 3.14159265358979323846;
  const size_t frames = 20 * kStereoRate;
  std::mt19937 rng(5);
  std::normal_distribution<double> noise(0.0, 0.002);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<float> x(2 * frames);
  for (size_t n = 0; n < frames; ++n) {
    const double time = static_cast<double>(n) / kStereoRate;
    for (size_t c = 0; c < 2; ++c) {
      double v = noise(rng);
      for (int k = 1; k <= 6; ++k) {
        const double drift = 1.0 + 0.5 * std::sin(2.0 * pi * (0.2 + 0.07 * k) * time + static_cast<double>(c));
        v += 0.08 / k * drift * std::sin(2.0 * pi * 196.0 * k * time + k + 0.4 * static_cast<double>(c));
      }
      x[2 * n + c] = static_cast<float>(v);
    }
  }
  for (size_t start = kStereoRate / 10; start + 100 < frames; start += kStereoRate / 5) {
    const auto width = static_cast<size_t>(std::exp(unit(rng) * std::log(80.0)));
    const double peak = 0.12 * std::exp(unit(rng) * std::log(10.0)) * (unit(rng) < 0.5 ? -1.0 : 1.0);
    const bool burst = unit(rng) < 0.5;
    for (size_t i = 0; i < width; ++i) {
      const double shape = burst ? noise(rng) / 0.002 * std::sin(pi * (i + 0.5) / width) : std::exp(-3.0 * i / width);
      for (size_t c = 0; c < 2; ++c) x[2 * (start + i) + c] += static_cast<float>(peak * shape * (c ? 0.8 : 1.0));
    }
  }
  return x;
}

// Publishes successive stereo buffers of the looping programme.
class StereoSource : public Block {
 public:
  explicit StereoSource(const std::vector<float>& programme)
      : Block("Source", 0, PortKind::Samples, 1, PortKind::Samples), programme_(programme) {
    Output(0)->format.SetSampleRate(static_cast<float>(kStereoRate));
    Output(0)->format.SetChannels(2);
    Output(0)->format.SetFrames(kStereoFrames);
  }
  BlockStatus Process() override {
    float* out = Output(0)->ChannelData(0);
    if (out == nullptr) return BlockStatus::NotReady;
    if (offset_ + 2 * kStereoFrames > programme_.size()) offset_ = 0;
    std::copy_n(programme_.begin() + static_cast<std::ptrdiff_t>(offset_), 2 * kStereoFrames, out);
    offset_ += 2 * kStereoFrames;
    return BlockStatus::Ok;
  }

 private:
  const std::vector<float>& programme_;
  size_t offset_ = 0;
};

// The modern declicker as the chain runs it: each input buffer is followed
// by passes enough to hand out what settled (the Adapter runs the chain
// four times per buffer).
struct ModernRig {
  explicit ModernRig(const std::vector<float>& programme) : source(programme), declick("Modern Declick") {
    Connect(&source, 0, &declick, 0);
    Connect(&declick, 0, &sink, 0);
  }
  uint32_t Run(uint64_t frames) {
    const uint32_t before = declick.Output(0)->framesProduced;
    for (uint64_t done = 0; done < frames; done += kStereoFrames) {
      source.Run();
      declick.Run();
    }
    return declick.Output(0)->framesProduced - before;
  }
  StereoSource source;
  ExtentDeclick declick;
  Sink sink;
};

void BM_ExtentDeclickRealTime(benchmark::State& state) {
  const std::vector<float> programme = StereoProgramme();
  ModernRig rig(programme);
  rig.Run(kStereoRate);  // set-up and the pipeline's fill
  double frames = 0.0;
  for (auto _ : state) frames += rig.Run(kStereoRate);
  state.SetItemsProcessed(static_cast<int64_t>(frames));
  state.counters["x_realtime"] = benchmark::Counter(frames / kStereoRate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ExtentDeclickRealTime)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace veltane

int main(int argc, char** argv) {
  if (argc >= 2 && std::strncmp(argv[1], "--seconds=", 10) == 0) {
    const std::vector<float> programme = veltane::StereoProgramme();
    veltane::ModernRig rig(programme);
    rig.Run(static_cast<uint64_t>(std::atof(argv[1] + 10) * veltane::kStereoRate));
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
