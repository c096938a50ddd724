// One INPUT restored to one OUTPUT: what both forms of the command run per
// file, the single-file form in the process itself, folder mode in a worker
// process per file.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "veltane/CommandLine.h"
#include "veltane/ExitCode.h"

namespace veltane {

class AudioReader;

// What a finished restoration reports, for the summary and the folder table.
struct FileReport {
  uint64_t frames = 0;       // restored, at sampleRate
  uint32_t sampleRate = 0;
  double seconds = 0.0;      // wall-clock time of the whole run
  uint32_t clickPeak = 0;    // highest click meter reading, 0..100
  uint64_t clicks = 0;       // clicks repaired
  // The hiss reducer's last estimate, dBFS; NaN when there is none (denoise off, bypass).
  float hissDb = std::numeric_limits<float>::quiet_NaN();
  std::string description;   // "44100 Hz, stereo, 16-bit PCM WAV"
  std::vector<std::string> lost;  // metadata OUTPUT lacks, in words
};

// Told about the run as it goes; every call comes from the restoring thread.
class FileObserver {
 public:
  virtual ~FileObserver() = default;
  // INPUT is open; `totalFrames` -1 when it announces no length.
  virtual void Opened(int64_t /*totalFrames*/, uint32_t /*sampleRate*/) {}
  // After each block read.
  virtual void Progress(uint64_t /*framesRead*/) {}
  // The hidden file that becomes OUTPUT (whoever must clean up after a crash wants it).
  virtual void Temporary(const std::string& /*path*/) {}
};

// "not carried from INPUT into OUTPUT (...): a, b and c." for FileReport::lost.
std::string LostSentence(const std::vector<std::string>& lost);

class FileRestoration {
 public:
  // Restores options.input into options.output, and draws options.spectrogram
  // when it is set. Polls `stop` between blocks. On failure, OUTPUT is left
  // as it was and no temporary file remains.
  static ToolStatus Run(const ToolOptions& options, FileObserver& observer, const std::function<bool()>& stop,
                        FileReport* report);
};

}  // namespace veltane
