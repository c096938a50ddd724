// What the tool's tests share: scratch folders, audio files written and read
// through libsndfile, test noise, and the tool run in-process.
#pragma once

#include <sndfile.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "veltane/Tool.h"

namespace veltane::testing_support {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16, kFlac16 = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
constexpr int kWavFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT, kAiff16 = SF_FORMAT_AIFF | SF_FORMAT_PCM_16;

inline std::string ReadText(const std::string& path) {  // empty for a folder
  return (std::ostringstream() << std::ifstream(path, std::ios::binary).rdbuf()).str();
}

// A fresh scratch folder, removed with everything in it.
struct TempFolder {
  TempFolder() { ::mkdtemp(path.data()); }
  ~TempFolder() { fs::remove_all(path); }
  std::string File(const std::string& name) const { return path + "/" + name; }
  std::map<std::string, std::string> Contents() const {  // every file below, by name; a pipe or link as such
    std::map<std::string, std::string> contents;
    for (const auto& entry : fs::recursive_directory_iterator(path)) {
      contents[entry.path()] = entry.is_symlink() ? "link to " + fs::read_symlink(entry.path()).string()
                               : entry.is_fifo()  ? "pipe"
                               : entry.is_regular_file() && entry.file_size() > (1 << 24)
                                   ? "size " + std::to_string(entry.file_size())
                                   : ReadText(entry.path());
    }
    return contents;
  }
  std::string path = (fs::temp_directory_path() / "veltane-test-XXXXXX").string();
};

struct Audio {
  int format, sampleRate, channels;  // format: libsndfile major | sub type
  std::vector<int32_t> samples;      // interleaved, full int32 scale
  int64_t Frames() const { return static_cast<int64_t>(samples.size()) / channels; }
};

inline void WriteAudio(const std::string& path, const Audio& audio) {
  SF_INFO info{0, audio.sampleRate, audio.channels, audio.format, 0, 0};
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  sf_command(file, SFC_SET_SCALE_INT_FLOAT_WRITE, nullptr, SF_TRUE);  // full scale is 1.0 in float files
  EXPECT_EQ(sf_writef_int(file, audio.samples.data(), audio.Frames()), audio.Frames()) << path;
  sf_close(file);
}

// As doubles (full scale 1.0, exact for integers): float files read as
// integers would be scaled to their peak.
inline Audio ReadAudio(const std::string& path) {  // no samples when it cannot be read
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) return Audio{0, 0, 1, {}};
  std::vector<double> real(info.frames * info.channels);
  real.resize(sf_readf_double(file, real.data(), info.frames) * info.channels);
  sf_close(file);
  Audio audio{info.format, info.samplerate, info.channels, {}};
  for (double x : real) audio.samples.push_back(static_cast<int32_t>(std::clamp(x * 0x1p31, -0x1p31, 0x1p31 - 1)));
  return audio;
}

// Interleaved noise through one pole at 0.9 (most energy low, where the band
// splitting delays least), about a quarter of full scale, rounded to `bits` bits.
inline Audio MakeNoise(int format, int sampleRate, int channels, int64_t frames, int bits) {
  Audio audio{format, sampleRate, channels, std::vector<int32_t>(frames * channels)};
  std::mt19937 random(1);
  std::normal_distribution<double> normal(0.0, 0.1);
  double y = 0.0;
  for (size_t i = 0; i < audio.samples.size(); ++i) {
    y = 0.9 * y + normal(random);
    const double steps = std::clamp(std::nearbyint(std::ldexp(y, bits - 1)), -0x1p31, 0x1p31 - 1);
    audio.samples[i] = static_cast<int32_t>(std::clamp(std::ldexp(steps, 32 - bits), -0x1p31, 0x1p31 - 1));
  }
  return audio;
}

// The tool in-process, never on a terminal (`stop` stands for Ctrl-C):
// its exit code, stdout and stderr.
struct ToolRun {
  int code;
  std::string out, err;
};
inline ToolRun RunVeltane(const Args& args, std::function<bool()> stop = {}) {
  std::ostringstream out, err;
  const int code = RunTool(args, out, err, ToolEnvironment{false, std::move(stop)});
  return {code, out.str(), err.str()};
}

}  // namespace veltane::testing_support
