// A one-line progress bar, redrawn in place with a carriage return; for
// terminals only (the caller decides).
#pragma once

#include <cstdint>
#include <ostream>

namespace veltane {

class ProgressBar {
 public:
  // Draws nothing unless `enabled`. A total of 0 (unknown or empty input)
  // shows no percentage.
  ProgressBar(std::ostream& stream, bool enabled, uint64_t totalFrames);

  // Redraws only when the shown percentage moves.
  void Update(uint64_t framesDone);
  // Blanks the line so that whatever follows starts on a clean one.
  void Finish();

 private:
  static constexpr int kWidth = 40;  // characters inside the brackets

  std::ostream& stream;
  bool enabled;
  uint64_t total;
  int shownPercent = -1;
};

}  // namespace veltane
