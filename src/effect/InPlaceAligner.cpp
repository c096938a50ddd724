// In-place processing with a fixed delay.
#include "effect/InPlaceAligner.h"

#include <cstring>

#include "effect/NoiseReducFilter.h"

namespace veltane {

void InPlaceAligner::Reset() {
  std::lock_guard guard(lock);
  primed = false;
  delayFrames = 0;
}

uint32_t InPlaceAligner::DelayFrames() {
  std::lock_guard guard(lock);
  return delayFrames;
}

void InPlaceAligner::Process(NoiseReducFilter& filter, uint8_t* data, uint32_t frames) {
  std::lock_guard guard(lock);
  if (filter.GetFullBypass() == 1) {
    // The processing object leaves an in-place buffer as it is.
    filter.Process(data, frames, data, nullptr);
    primed = false;
    delayFrames = 0;
    return;
  }
  const uint32_t frameBytes = filter.Channels() * filter.BytesPerSample();
  if (frameBytes == 0 || frames == 0) return;
  if (!primed || queue.FrameBytes() != frameBytes) {
    queue.Reset(frameBytes, filter.BytesPerSample() == 1 ? 0x80 : 0x00);
    delayFrames = filter.GetLatencyFrames() + kBufferingFrames;
    queue.PushSilence(delayFrames);
    primed = true;
  }
  queue.Produce(filter, data, frames);
  const uint32_t delivered = queue.Deliver(data, frames);
  if (delivered < frames) {
    const uint32_t shortfall = frames - delivered;
    std::memset(data + static_cast<size_t>(delivered) * frameBytes, filter.BytesPerSample() == 1 ? 0x80 : 0x00,
                static_cast<size_t>(shortfall) * frameBytes);
    delayFrames += shortfall;
  }
}

}  // namespace veltane
