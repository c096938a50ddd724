// A one-line progress display, redrawn in place with a carriage return; for
// terminals only (the caller decides). A bar with a percentage when the
// length is known, else the duration of the audio read so far.
#pragma once

#include <cstdint>
#include <ostream>

namespace veltane {

class ProgressBar {
 public:
  // Draws nothing unless `enabled`. A total of 0 (a stream announcing no
  // length) shows the minutes and seconds read at `sampleRate`.
  ProgressBar(std::ostream& stream, bool enabled, uint64_t totalFrames, uint32_t sampleRate);

  // Redraws only when what is shown changes.
  void Update(uint64_t framesDone);
  // Blanks the line so that whatever follows starts on a clean one.
  void Finish();

 private:
  static constexpr int kWidth = 40;  // characters inside the brackets

  std::ostream& stream;
  bool enabled;
  uint64_t total;
  uint32_t rate;
  int64_t shown = -1;  // the percentage, or the seconds, on screen
};

}  // namespace veltane
