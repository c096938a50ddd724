// The classic engine's output, sample for sample: restored files hashed and
// compared with the hashes of the release that reproduces the Windows effect,
// with the kernels of every instruction set the machine runs. A change meant
// to alter the tool's output updates the table in the same commit and says
// why; any other change must leave every hash as it is.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>
#include <tuple>

#include "framework/KernelLevel.h"
#include "veltane/Tool.h"

namespace veltane {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

// A recording-like test signal: decaying notes over low-passed noise, white
// hiss, and clicks of a few shapes. Uniform draws from mt19937 only, whose
// sequence the language fixes, so every build makes the same file.
std::vector<int32_t> MakeRecording(int rate, int channels, int seconds, int bits) {
  std::mt19937 random(20261206);
  const auto uniform = [&random] { return (random() >> 8) * 0x1p-24 * 2.0 - 1.0; };
  const int64_t frames = static_cast<int64_t>(rate) * seconds;
  std::vector<int32_t> samples(frames * channels);
  double low[2] = {0.0, 0.0};
  for (int64_t n = 0; n < frames; ++n) {
    const double t = static_cast<double>(n) / rate;
    const double note = 0.3 * std::exp(-3.0 * std::fmod(t, 0.5)) *
                        std::sin(2.0 * M_PI * (220.0 + 110.0 * std::floor(t / 0.5)) * t);
    for (int c = 0; c < channels; ++c) {
      low[c] = 0.95 * low[c] + 0.02 * uniform();
      double x = note * (c == 0 ? 1.0 : 0.8) + low[c] + 0.003 * uniform();
      const int64_t sinceClick = n % (rate / 5);
      if (sinceClick < 12 && n > rate / 2) x += 0.4 * std::exp(-0.4 * sinceClick) * (sinceClick % 2 == 0 ? 1 : -1);
      const double steps = std::nearbyint(std::clamp(x, -1.0, 1.0) * std::ldexp(1.0, bits - 1));
      samples[n * channels + c] = static_cast<int32_t>(std::clamp(steps, -std::ldexp(1.0, bits - 1),
                                                                  std::ldexp(1.0, bits - 1) - 1.0)) *
                                  (1 << (32 - bits));
    }
  }
  return samples;
}

// FNV-1a over the decoded samples: the audio, whatever the header holds.
uint64_t HashAudio(const std::string& path, int64_t* frames) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) return 0;
  std::vector<int32_t> samples(info.frames * info.channels);
  *frames = sf_readf_int(file, samples.data(), info.frames);
  sf_close(file);
  uint64_t hash = 0xcbf29ce484222325ull;
  for (int32_t sample : samples) {
    for (int byte = 0; byte < 4; ++byte) {
      hash = (hash ^ ((static_cast<uint32_t>(sample) >> (8 * byte)) & 0xff)) * 0x100000001b3ull;
    }
  }
  return hash;
}

struct GoldenCase {
  const char* name;
  int rate, channels, format;  // format 0: the bundled example recording
  Args options;
  uint64_t hash;
};

const GoldenCase kCases[] = {
    {"bundled piano, defaults", 44100, 2, 0, {}, 0xd634cbbe22e42721ull},
    {"96 kHz 24-bit stereo", 96000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_24, {}, 0x3a0de48d24c07b7dull},
    {"22.05 kHz 16-bit mono", 22050, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, {}, 0x56b230bc5c4ee6bfull},
    {"48 kHz 16-bit stereo, manual hiss, threshold 3", 48000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
     {"--manual-hiss", "--input-hiss", "0.4", "--click-threshold", "3"}, 0xadcda93f472409a5ull},
    {"32 kHz 8-bit stereo", 32000, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_U8, {}, 0xf1f89a16a70b44dbull},
    {"44.1 kHz 24-bit stereo, output clicks", 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_24, {"--output-clicks"},
     0x76d9124bb839147bull},
    {"48 kHz float mono", 48000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, {}, 0xbb3012d2b5599001ull},
    {"44.1 kHz 32-bit stereo to 16 bits", 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_32, {"--format", "pcm16"},
     0xc4e17e487fa27847ull},
    {"96 kHz 16-bit mono, declicking only, to 8 bits", 96000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
     {"--no-denoise", "--format", "pcm8"}, 0xe53c7bb410aaff10ull},
};

void PrintTo(const GoldenCase& golden, std::ostream* out) { *out << golden.name; }

class GoldenOutputTest : public ::testing::TestWithParam<std::tuple<GoldenCase, KernelLevel>> {
 protected:
  void TearDown() override { UseKernelLevel(SupportedKernelLevel()); }
};

TEST_P(GoldenOutputTest, ClassicEngineOutputIsUnchanged) {
  const auto& [golden, level] = GetParam();
  if (UseKernelLevel(level) != level) GTEST_SKIP() << "this processor does not run " << KernelLevelName(level);
  const fs::path folder = fs::temp_directory_path() / ("veltane-golden-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  std::string input = VELTANE_EXAMPLES_DIR "/piano-degraded.wav";
  if (golden.format != 0) {
    input = (folder / "in.wav").string();
    const int sub = golden.format & SF_FORMAT_SUBMASK;
    const int bits = sub == SF_FORMAT_PCM_U8 ? 8 : sub == SF_FORMAT_PCM_16 ? 16 : sub == SF_FORMAT_PCM_32 ? 32 : 24;
    const std::vector<int32_t> samples = MakeRecording(golden.rate, golden.channels, 3, bits);
    SF_INFO info{0, golden.rate, golden.channels, golden.format, 0, 0};
    SNDFILE* file = sf_open(input.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    sf_writef_int(file, samples.data(), static_cast<sf_count_t>(samples.size() / golden.channels));
    sf_close(file);
  }
  const std::string output = (folder / "out.wav").string();
  Args args{"--engine", "classic"};
  args.insert(args.end(), golden.options.begin(), golden.options.end());
  args.insert(args.end(), {"-q", input, output});
  std::ostringstream out, err;
  ASSERT_EQ(RunTool(args, out, err, ToolEnvironment{}), 0) << err.str();
  int64_t inFrames = 0, outFrames = 0;
  HashAudio(input, &inFrames);
  const uint64_t hash = HashAudio(output, &outFrames);
  fs::remove_all(folder);
  EXPECT_EQ(outFrames, inFrames);
  char text[32];
  std::snprintf(text, sizeof text, "0x%016llxull", static_cast<unsigned long long>(hash));
  EXPECT_EQ(hash, golden.hash) << golden.name << ": the output hashes to " << text;
}

INSTANTIATE_TEST_SUITE_P(Recordings, GoldenOutputTest,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::Values(KernelLevel::Baseline, KernelLevel::X86_64_V3)),
                         [](const auto& info) {
                           return "Case" + std::to_string(info.index / 2) +
                                  (std::get<1>(info.param) == KernelLevel::Baseline ? "Baseline" : "V3");
                         });

}  // namespace
}  // namespace veltane
