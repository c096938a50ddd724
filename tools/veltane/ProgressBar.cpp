// Progress on a terminal.
#include "veltane/ProgressBar.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace veltane {

ProgressBar::ProgressBar(std::ostream& out, bool on, uint64_t totalFrames, uint32_t sampleRate)
    : stream(out), enabled(on && (totalFrames > 0 || sampleRate > 0)), total(totalFrames), rate(sampleRate) {}

void ProgressBar::Update(uint64_t framesDone) {
  if (!enabled) return;
  if (total == 0) {
    const auto seconds = static_cast<int64_t>(framesDone / rate);
    if (seconds == shown) return;
    shown = seconds;
    char text[64];
    std::snprintf(text, sizeof text, "\rrestoring: %lld:%02lld of audio so far", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    stream << text << std::flush;
    return;
  }
  const int percent = static_cast<int>(std::min<uint64_t>(framesDone, total) * 100 / total);
  if (percent == shown) return;
  shown = percent;
  const int filled = percent * kWidth / 100;
  stream << "\rrestoring [" << std::string(static_cast<size_t>(filled), '#')
         << std::string(static_cast<size_t>(kWidth - filled), ' ') << "] " << percent << "%" << std::flush;
}

void ProgressBar::Finish() {
  if (!enabled || shown < 0) return;
  stream << "\r" << std::string(kWidth + 18, ' ') << "\r" << std::flush;
  shown = -1;
}

}  // namespace veltane
