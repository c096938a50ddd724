// Speed of the real FFT and of the hiss-removal path (Analysis, FDNoiseReduc,
// Synthesis) at 44.1 kHz stereo, and of the modern engine's float transform
// and hiss remover, reported as a multiple of real time and in millions of
// samples per second.
//
// With `--hiss-seconds=N [--kernels=baseline]` instead of benchmark options
// it runs N seconds of 44.1 kHz stereo through "HissRemover" alone (at the
// baseline kernel level if asked, else the processor's) and exits, for
// callgrind (bench/spectral/callgrind.sh).
//
// Each benchmark runs in many short repetitions and reports the mean, the
// minimum and the maximum: on a machine shared with other work the best
// repetition (the _min time, the _max real-time multiple) is the figure that
// reflects the code rather than the neighbours.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "framework/Block.h"
#include "framework/GraphLock.h"
#include "framework/KernelLevel.h"
#include "framework/ResourcePool.h"
#include "spectral/Analysis.h"
#include "spectral/FDNoiseReduc.h"
#include "spectral/FloatFft.h"
#include "spectral/HissRemover.h"
#include "spectral/LsaGain.h"
#include "spectral/RealFft.h"
#include "spectral/Synthesis.h"

namespace veltane {
namespace {

constexpr uint32_t kChainFrames = 1024;  // frames per buffer, as the chain hands them on
constexpr uint16_t kChannels = 2;
constexpr float kRate = 44100.0f;

std::vector<float> Noise(size_t count, float deviation) {
  std::mt19937 rng(1);
  std::normal_distribution<float> normal(0.0f, deviation);
  std::vector<float> out(count);
  for (float& v : out) v = normal(rng);
  return out;
}

// Publishes successive buffers of a long stereo signal, round and round.
class Source : public Block {
 public:
  explicit Source(std::vector<float> signal)
      : Block("Source", 0, PortKind::Samples, 1, PortKind::Samples), signal_(std::move(signal)) {
    Output(0)->format.SetSampleRate(kRate);
    Output(0)->format.SetChannels(kChannels);
    Output(0)->format.SetFrames(kChainFrames);
  }
  BlockStatus Process() override {
    const size_t count = size_t{kChainFrames} * kChannels;
    if (at_ + count > signal_.size()) at_ = 0;
    std::copy_n(signal_.data() + at_, count, Output(0)->ChannelData(0));
    at_ += count;
    return BlockStatus::Ok;
  }

 private:
  std::vector<float> signal_;
  size_t at_ = 0;
};

// Takes every buffer it is given, counting its frames.
class Sink : public Block {
 public:
  Sink() : Block("Sink", 1, PortKind::Samples, 0, PortKind::Samples) {}
  BlockStatus Process() override {
    frames += Input(0)->format.frames;
    return BlockStatus::Ok;
  }
  uint64_t frames = 0;
};

double Smallest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
double Largest(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

// Every benchmark here: 30 repetitions of at least 50 ms, reported as their
// mean, median, spread, least and largest.
void Repeated(benchmark::internal::Benchmark* b) {
  b->MinTime(0.05)
      ->Repetitions(30)
      ->ReportAggregatesOnly(true)
      ->ComputeStatistics("min", Smallest)
      ->ComputeStatistics("max", Largest);
}

void BM_RealFft2048ForwardInverse(benchmark::State& state) {
  constexpr uint32_t n = 2048;
  const SineTables tables = GraphDomain::Shared().Pool().GetSineTable(n);
  const std::vector<float> source = Noise(n, 0.3f);
  std::vector<float> work(n);
  for (auto _ : state) {
    // Restoring the input (an 8 KB copy) keeps the values from growing by N per round.
    std::copy(source.begin(), source.end(), work.begin());
    RealFftForward(work.data(), n, 11, tables.cosine, tables.sine);
    RealFftInverse(work.data(), n, 11, tables.cosine, tables.sine);
    benchmark::DoNotOptimize(work.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_RealFft2048ForwardInverse)->Unit(benchmark::kNanosecond)->Apply(Repeated);

// One iteration pushes one 1024-frame stereo buffer through the path, with
// the hiss reduction active and its automatic estimate on.
void BM_SpectralPath44100Stereo(benchmark::State& state) {
  Source source(Noise(size_t{kChainFrames} * kChannels * 64, 0.05f));
  Analysis analysis;
  FDNoiseReduc noiseReduc;
  Synthesis synthesis;
  Sink sink;
  analysis.SetSizeMode(3);
  analysis.SetHopMode(1);
  noiseReduc.SetBypass(false);
  noiseReduc.SetAutoLevel(true);
  Connect(&source, 0, &analysis, 0);
  Connect(&analysis, 0, &noiseReduc, 0);
  Connect(&noiseReduc, 0, &synthesis, 0);
  Connect(&synthesis, 0, &sink, 0);
  for (int warm = 0; warm < 8; ++warm) source.Run();

  for (auto _ : state) source.Run();
  state.counters["x_realtime"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kChainFrames / kRate, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SpectralPath44100Stereo)->Unit(benchmark::kMicrosecond)->Apply(Repeated);

// The classic transform on the same two channels, for comparison.
void BM_RealFftPair1024ForwardInverse(benchmark::State& state) {
  constexpr uint32_t n = 1024;
  const SineTables tables = GraphDomain::Shared().Pool().GetSineTable(n);
  const std::vector<float> source = Noise(2 * n, 0.3f);
  std::vector<float> work(2 * n);
  for (auto _ : state) {
    std::copy(source.begin(), source.end(), work.begin());
    RealFftForwardPair(work.data(), n, 10, tables.cosine, tables.sine);
    RealFftInversePair(work.data(), n, 10, tables.cosine, tables.sine);
    benchmark::DoNotOptimize(work.data());
    benchmark::ClobberMemory();
  }
  state.counters["Msamples_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * 2 * n * 1e-6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RealFftPair1024ForwardInverse)->Unit(benchmark::kNanosecond)->Apply(Repeated);

// Two channels' 1024-sample frames (44.1 kHz) as one complex transform, there and back.
void BM_FloatFft1024PairForwardInverse(benchmark::State& state) {
  constexpr uint32_t n = 1024;
  FloatFft fft;
  fft.Setup(n);
  const std::vector<float> re = Noise(n, 0.3f), im = Noise(n, 0.2f);
  std::vector<float> spectrum(2 * n), back(2 * n), work(2 * n);
  for (auto _ : state) {
    fft.Forward(re.data(), im.data(), spectrum.data(), spectrum.data() + n, work.data(), work.data() + n);
    fft.Inverse(spectrum.data(), spectrum.data() + n, back.data(), back.data() + n, work.data(), work.data() + n);
    benchmark::DoNotOptimize(back.data());
    benchmark::ClobberMemory();
  }
  state.counters["Msamples_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * 2 * n * 1e-6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FloatFft1024PairForwardInverse)->Unit(benchmark::kNanosecond)->Apply(Repeated);

// The gain rule alone over the 513 bins of a 1024-sample frame: hiss of
// varying level under power from far below it to far above it.
void BM_LsaGain513Bins(benchmark::State& state) {
  constexpr uint32_t bins = 513;
  LsaGain gain;
  gain.Setup(bins, 256.0 / kRate);
  const std::vector<float> noise = Noise(2 * bins, 1.0f);
  std::vector<float> power(bins), hiss(bins), gains(bins);
  for (uint32_t k = 0; k < bins; ++k) {
    hiss[k] = 1e-4f * (1.0f + 0.5f * noise[k] * noise[k]);
    power[k] = hiss[k] * std::exp(6.0f * noise[bins + k]);
  }
  for (auto _ : state) {
    gain.Compute(power.data(), hiss.data(), 0.056f, gains.data());
    benchmark::DoNotOptimize(gains.data());
    benchmark::ClobberMemory();
  }
  state.counters["Mbins_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * bins * 1e-6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LsaGain513Bins)->Unit(benchmark::kNanosecond)->Apply(Repeated);

// "HissRemover" with a source of `frames` frames per buffer and a sink, warmed up past its pre-roll.
struct HissPath {
  HissPath() : source(Noise(size_t{kChainFrames} * kChannels * 64, 0.05f)) {
    Connect(&source, 0, &hiss, 0);
    Connect(&hiss, 0, &sink, 0);
    for (int warm = 0; warm < 64; ++warm) Push();
  }
  // One buffer in, then passes over the remover until it gives out nothing
  // more: it hands out one hop per pass, so one pass would leave most of the
  // buffer's work undone.
  void Push() {
    source.Run();
    for (uint64_t before = ~uint64_t{0}; before != sink.frames;) {
      before = sink.frames;
      hiss.Run();
    }
  }
  Source source;
  HissRemover hiss;
  Sink sink;
};

// One iteration pushes one 1024-frame stereo buffer through, automatic hiss level on.
void BM_HissRemover44100Stereo(benchmark::State& state) {
  HissPath path;
  for (auto _ : state) path.Push();
  const double frames = static_cast<double>(state.iterations()) * kChainFrames;
  state.counters["x_realtime"] = benchmark::Counter(frames / kRate, benchmark::Counter::kIsRate);
  state.counters["Msamples_per_s"] = benchmark::Counter(frames * kChannels * 1e-6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HissRemover44100Stereo)->Unit(benchmark::kMicrosecond)->Apply(Repeated);

}  // namespace
}  // namespace veltane

int main(int argc, char** argv) {
  if ((argc == 2 || argc == 3) && std::strncmp(argv[1], "--hiss-seconds=", 15) == 0) {
    if (argc == 3) {
      if (std::strcmp(argv[2], "--kernels=baseline") != 0) return 1;
      veltane::UseKernelLevel(veltane::KernelLevel::Baseline);
    }
    const double seconds = std::atof(argv[1] + 15);
    veltane::HissPath path;
    const auto buffers = static_cast<uint64_t>(seconds * veltane::kRate / veltane::kChainFrames);
    for (uint64_t i = 0; i < buffers; ++i) path.Push();
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
