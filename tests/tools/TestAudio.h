// Helpers for the tool's tests: a scratch folder, audio files written and
// read with libsndfile, and the tool run in-process.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace veltane::test {

// A fresh folder under the system's temporary folder, removed with
// everything in it on destruction.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return path; }
  std::string File(const std::string& name) const { return path + "/" + name; }
  // Names in the folder, sorted, without "." and "..".
  std::vector<std::string> Names() const;

 private:
  std::string path;
};

struct Audio {
  int format = 0;  // libsndfile major | sub type
  int sampleRate = 0;
  int channels = 0;
  std::vector<int32_t> samples;  // interleaved, scaled to the full int32 range

  int64_t Frames() const { return channels > 0 ? static_cast<int64_t>(samples.size()) / channels : 0; }
};

// Writes `audio` as it is; fails the current test on error.
void WriteAudio(const std::string& path, const Audio& audio);
// Reads the whole file; an empty Audio (channels 0) when it cannot be opened.
Audio ReadAudio(const std::string& path);
std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);

// Deterministic low-passed noise at an RMS of about a quarter of full scale, rounded
// to `bits` significant bits.
Audio MakeNoise(int format, int sampleRate, int channels, int64_t frames, uint32_t bits, uint32_t seed);

struct ToolRun {
  int code = -1;
  std::string out;
  std::string err;
};

// The tool in-process, as main() runs it but never on a terminal.
ToolRun RunVeltane(const std::vector<std::string>& args, std::function<bool()> stop = {});

}  // namespace veltane::test
