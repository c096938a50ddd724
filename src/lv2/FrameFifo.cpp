// Fixed-capacity planar frame FIFO.
#include "lv2/FrameFifo.h"

namespace veltane::lv2 {

FrameFifo::FrameFifo(uint16_t channelCount, uint32_t capacityFrames)
    : channels(channelCount), capacity(capacityFrames), storage(static_cast<size_t>(channelCount) * capacityFrames) {}

void FrameFifo::Clear() {
  head = 0;
  size = 0;
}

uint32_t FrameFifo::PushSilence(uint32_t frames) {
  return PushFrom(frames, [](uint16_t, uint32_t) { return 0.0f; });
}

uint32_t FrameFifo::Discard(uint32_t frames) {
  frames = std::min(frames, size);
  head = Wrap(uint64_t{head} + frames);
  size -= frames;
  return frames;
}

}  // namespace veltane::lv2
