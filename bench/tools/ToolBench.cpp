// Throughput of the command-line tool: the restoration loop alone (memory to
// Throughput of the command-line tool: the restoration loop alone (memory to
// memory, per engine and rate), the whole command on a WAV file, and the
// spectrogram picture. The audio_s counter is seconds of audio restored per
// second: the multiple of real time.
#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "effect/NoiseReducFilter.h"
#include "framework/KernelLevel.h"
#include "support/Programme.h"
#include "veltane/CommandLine.h"
#include "veltane/FilterProcessor.h"
#include "veltane/Restorer.h"
#include "veltane/Spectrogram.h"
#include "veltane/Tool.h"

namespace veltane {
namespace {

constexpr int kSeconds = 10;

std::vector<int16_t> Recording(int rate) {
  return bench::Programme(static_cast<uint32_t>(rate), static_cast<uint32_t>(rate) * kSeconds);
}

// Writes 16-bit stereo of the programme to a WAV file; false on failure.
bool WriteWav(const std::string& path, uint32_t rate, uint32_t frames) {
  const std::vector<int16_t> samples = bench::Programme(rate, frames);
  SF_INFO info{};
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  info.samplerate = static_cast<int>(rate);
  info.channels = 2;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) return false;
  const sf_count_t written = sf_writef_short(file, samples.data(), frames);
  return sf_close(file) == 0 && written == static_cast<sf_count_t>(frames);
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
  const auto engine = static_cast<Engine>(state.range(0));
  const int rate = static_cast<int>(state.range(1));
  state.SetLabel(engine == Engine::Modern ? "modern" : "classic");
  const std::vector<int16_t> samples = Recording(rate);
  ToolOptions options;  // the tool's defaults: declick and denoise on
  options.engine = engine;
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
BENCHMARK(BM_RestoreLoop)
    ->ArgNames({"engine", "rate"})
    ->ArgsProduct({{static_cast<int>(Engine::Classic), static_cast<int>(Engine::Modern)}, {44100, 48000, 96000}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_RestoreWavFile(benchmark::State& state) {
  const std::string folder = (std::filesystem::temp_directory_path() / ("veltane-bench-" + std::to_string(::getpid()))).string();
  std::filesystem::create_directories(folder);
  const std::string input = folder + "/in.wav";
  const std::string output = folder + "/out.wav";
  if (!WriteWav(input, 44100, 44100 * kSeconds)) state.SkipWithError("cannot write the input file");

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

// The picture's whole cost for a 10-minute stereo recording at 44.1 kHz: the
// analysis as the frames stream by (input and output) and the drawing and
// encoding of the PNG. One iteration is one picture.
void BM_SpectrogramTenMinutes(benchmark::State& state) {
  const std::vector<int16_t> samples = Recording(44100);
  std::vector<float> block(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) block[i] = samples[i] / 32768.0f;
  std::vector<ClickMark> clicks;
  for (uint64_t frame = 0; frame < 600ull * 44100; frame += 4410) clicks.push_back({frame, 8});
  const std::string path =
      (std::filesystem::temp_directory_path() / ("veltane-bench-" + std::to_string(::getpid()) + ".png")).string();
  const auto frames = static_cast<uint32_t>(block.size() / 2);
  for (auto _ : state) {
    Spectrogram picture(44100, 2);
    for (int repeat = 0; repeat < 600 / kSeconds; ++repeat) {
      for (uint32_t at = 0; at < frames; at += 4096) {
        const uint32_t count = std::min<uint32_t>(4096, frames - at);
        picture.AddInput(&block[2 * size_t{at}], count);
        picture.AddOutput(&block[2 * size_t{at}], count);
      }
    }
    if (!picture.Write(path, clicks).Ok()) state.SkipWithError("picture not written");
  }
  std::filesystem::remove(path);
}
BENCHMARK(BM_SpectrogramTenMinutes)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace veltane

// With `--write-wav=PATH --rate=R --seconds=N` instead of benchmark options
// it writes N seconds of the programme at R Hz as 16-bit stereo WAV and
// exits; with `--baseline-tool ARGUMENT...` it runs the veltane command with
// the baseline kernels. bench/callgrind.sh restores such files under
// callgrind with the tool itself and, for the baseline level, this way.
int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--baseline-tool") == 0) {
    veltane::UseKernelLevel(veltane::KernelLevel::Baseline);
    return veltane::RunTool(std::vector<std::string>(argv + 2, argv + argc), std::cout, std::cerr,
                            veltane::ToolEnvironment{});
  }
  std::string path;
  uint32_t rate = 44100;
  double seconds = 1.0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--write-wav=", 0) == 0) path = arg.substr(12);
    if (arg.rfind("--rate=", 0) == 0) rate = static_cast<uint32_t>(std::stoul(arg.substr(7)));
    if (arg.rfind("--seconds=", 0) == 0) seconds = std::stod(arg.substr(10));
  }
  if (!path.empty()) return veltane::WriteWav(path, rate, static_cast<uint32_t>(seconds * rate)) ? 0 : 1;
  benchmark::Initialize(&argc, argv);
  benchmark::AddCustomContext("kernels", veltane::KernelLevelName(veltane::ActiveKernelLevel()));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
