// Progress on a terminal.
#include "veltane/ProgressBar.h"

#include <algorithm>
#include <string>

namespace veltane {

ProgressBar::ProgressBar(std::ostream& out, bool on, uint64_t totalFrames)
    : stream(out), enabled(on && totalFrames > 0), total(totalFrames) {}

void ProgressBar::Update(uint64_t framesDone) {
  if (!enabled) return;
  const int percent = static_cast<int>(std::min<uint64_t>(framesDone, total) * 100 / total);
  if (percent == shownPercent) return;
  shownPercent = percent;
  const int filled = percent * kWidth / 100;
  stream << "\rrestoring [" << std::string(static_cast<size_t>(filled), '#')
         << std::string(static_cast<size_t>(kWidth - filled), ' ') << "] " << percent << "%" << std::flush;
}

void ProgressBar::Finish() {
  if (!enabled || shownPercent < 0) return;
  stream << "\r" << std::string(kWidth + 18, ' ') << "\r" << std::flush;
  shownPercent = -1;
}

}  // namespace veltane
