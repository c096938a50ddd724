// Throughput of the command-line tool: the restoration loop alone (memory to
// memory) and the whole command on a WAV file. The audio_s counter is
// seconds of audio restored per second: the multiple of real time.
#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "effect/NoiseReducFilter.h"
#include "veltane/CommandLine.h"
#include "veltane/FilterProcessor.h"
#include "veltane/Restorer.h"
#include "veltane/Tool.h"

namespace veltane {
namespace {

constexpr int kSeconds = 10;

// 16-bit stereo noise with a click every tenth of a second.
std::vector<int16_t> Recording(int rate) {
  std::mt19937 random(1);
  std::normal_distribution<float> normal(0.0f, 2000.0f);
  std::vector<int16_t> samples(static_cast<size_t>(rate) * kSeconds * 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    const bool click = (i / 2) % static_cast<size_t>(rate / 10) == 0;
    samples[i] = static_cast<int16_t>(click ? 30000.0f : std::clamp(normal(random), -32000.0f, 32000.0f));
  }
  return samples;
}

class MemorySource : public Restorer::Source {
 public:
  explicit MemorySource(const std::vector<int16_t>& samples) : samples(samples) {}
  ToolStatus Read(uint8_t* pcm, uint32_t frames, uint32_t* got) override {
    const size_t left = (samples.size() - position) / 2;
    *got = static_cast<uint32_t>(std::min<size_t>(frames, left));
    if (*got > 0) std::memcpy(pcm, samples.data() + position, *got * 4u);
    position += *got * 2u;
    return ToolStatus::Success();
  }
  const std::vector<int16_t>& samples;
  size_t position = 0;
};

class NullSink : public Restorer::Sink {
 public:
  ToolStatus Write(const uint8_t*, uint32_t frames) override {
    written += frames;
    return ToolStatus::Success();
  }
  uint64_t written = 0;
};

void BM_RestoreLoop(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const std::vector<int16_t> samples = Recording(rate);
  ToolOptions options;  // the tool's defaults: declick and denoise on
  for (auto _ : state) {
    NoiseReducFilter filter;
    FilterProcessor processor(filter);
    processor.Configure(options, static_cast<uint32_t>(rate), 2, 2);
    MemorySource source(samples);
    NullSink sink;
    Restorer::Result result;
    Restorer restorer(4);
    if (!restorer.Run(source, processor, sink, &result).Ok()) state.SkipWithError("restoration failed");
    benchmark::DoNotOptimize(sink.written);
  }
  state.counters["audio_s"] =
      benchmark::Counter(static_cast<double>(kSeconds) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RestoreLoop)->Arg(44100)->Arg(96000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RestoreWavFile(benchmark::State& state) {
  const std::string folder = (std::filesystem::temp_directory_path() / ("veltane-bench-" + std::to_string(::getpid()))).string();
  std::filesystem::create_directories(folder);
  const std::string input = folder + "/in.wav";
  const std::string output = folder + "/out.wav";
  const std::vector<int16_t> samples = Recording(44100);
  SF_INFO info{};
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  info.samplerate = 44100;
  info.channels = 2;
  SNDFILE* file = sf_open(input.c_str(), SFM_WRITE, &info);
  sf_writef_short(file, samples.data(), static_cast<sf_count_t>(samples.size() / 2));
  sf_close(file);

  for (auto _ : state) {
    std::ostringstream out;
    std::ostringstream err;
    if (RunTool({"--quiet", input, output}, out, err, ToolEnvironment{}) != 0) state.SkipWithError("tool failed");
  }
  state.counters["audio_s"] =
      benchmark::Counter(static_cast<double>(kSeconds) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_RestoreWavFile)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace veltane

BENCHMARK_MAIN();
