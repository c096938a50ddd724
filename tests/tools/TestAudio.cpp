// Helpers for the tool's tests.
#include "TestAudio.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "veltane/Tool.h"

namespace veltane::test {

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "veltane-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "cannot create a temporary folder";
  path = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  // Tests may have taken permissions away; give them back so that removal works.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(path, ignored)) {
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path, ignored);
}

std::vector<std::string> TempFolder::Names() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

void WriteAudio(const std::string& path, const Audio& audio) {
  SF_INFO info{};
  info.format = audio.format;
  info.samplerate = audio.sampleRate;
  info.channels = audio.channels;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
  sf_command(file, SFC_SET_SCALE_INT_FLOAT_WRITE, nullptr, SF_TRUE);  // full scale is 1.0 in float files
  EXPECT_EQ(sf_writef_int(file, audio.samples.data(), audio.Frames()), audio.Frames());
  EXPECT_EQ(sf_close(file), 0);
}

Audio ReadAudio(const std::string& path) {
  Audio audio;
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) return audio;
  sf_command(file, SFC_SET_SCALE_FLOAT_INT_READ, nullptr, SF_TRUE);
  audio.format = info.format;
  audio.sampleRate = info.samplerate;
  audio.channels = info.channels;
  audio.samples.resize(static_cast<size_t>(info.frames) * info.channels);
  const sf_count_t got = sf_readf_int(file, audio.samples.data(), info.frames);
  audio.samples.resize(static_cast<size_t>(got) * info.channels);
  sf_close(file);
  return audio;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

Audio MakeNoise(int format, int sampleRate, int channels, int64_t frames, uint32_t bits, uint32_t seed) {
  Audio audio;
  audio.format = format;
  audio.sampleRate = sampleRate;
  audio.channels = channels;
  audio.samples.resize(static_cast<size_t>(frames) * channels);
  std::mt19937 random(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> state(static_cast<size_t>(channels), 0.0);
  const double scale = std::ldexp(1.0, static_cast<int>(bits) - 1);
  for (int64_t frame = 0; frame < frames; ++frame) {
    for (int channel = 0; channel < channels; ++channel) {
      // One pole at 0.9: most energy well below a quarter of the rate,
      // where the chain's band splitting delays the signal least.
      double& y = state[static_cast<size_t>(channel)];
      y = 0.9 * y + 0.1 * normal(random);
      const double steps = std::clamp(std::nearbyint(y * scale), -scale, scale - 1.0);
      audio.samples[static_cast<size_t>(frame * channels + channel)] =
          static_cast<int32_t>(static_cast<int64_t>(steps) << (32 - bits));
    }
  }
  return audio;
}

ToolRun RunVeltane(const std::vector<std::string>& args, std::function<bool()> stop) {
  std::ostringstream out;
  std::ostringstream err;
  ToolEnvironment environment;
  environment.stderrIsTerminal = false;
  environment.stopRequested = std::move(stop);
  ToolRun run;
  run.code = RunTool(args, out, err, environment);
  run.out = out.str();
  run.err = err.str();
  return run;
}

}  // namespace veltane::test
