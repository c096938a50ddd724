// A first-in first-out store of audio frames, one float array per channel,
// with a capacity fixed when it is made.
//
// The plugin keeps its delayed output and its dry signal here between host
// blocks. Storage is allocated by the constructor only; pushing, popping and
// clearing never allocate, so all of it may run on a real-time thread. A push
// beyond the capacity stores what fits and says how much that was. Not
// thread-safe: the owner serialises calls.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace veltane::lv2 {

class FrameFifo {
 public:
  // Allocates channels x capacityFrames floats; throws std::bad_alloc when
  // memory runs out.
  FrameFifo(uint16_t channels, uint32_t capacityFrames);

  uint32_t Size() const { return size; }
  uint32_t Capacity() const { return capacity; }

  void Clear();
  // Appends up to `frames` silent frames; returns how many fitted.
  uint32_t PushSilence(uint32_t frames);
  // Drops up to `frames` of the oldest frames; returns how many.
  uint32_t Discard(uint32_t frames);

  // Appends up to `frames` frames whose samples come from
  // source(channel, frame) -> float, frame counted from 0; returns how many
  // fitted.
  template <typename Source>
  uint32_t PushFrom(uint32_t frames, Source&& source) {
    frames = std::min(frames, capacity - size);
    uint32_t at = Wrap(head + size);
    for (uint32_t done = 0; done < frames; at = 0) {
      const uint32_t run = std::min(frames - done, capacity - at);
      for (uint16_t c = 0; c < channels; ++c) {
        float* to = Channel(c) + at;
        for (uint32_t i = 0; i < run; ++i) to[i] = source(c, done + i);
      }
      done += run;
    }
    size += frames;
    return frames;
  }

  // Removes up to `frames` of the oldest frames, handing each sample to
  // sink(channel, frame, value), frame counted from 0; returns how many.
  template <typename Sink>
  uint32_t PopTo(uint32_t frames, Sink&& sink) {
    frames = std::min(frames, size);
    uint32_t at = head;
    for (uint32_t done = 0; done < frames; at = 0) {
      const uint32_t run = std::min(frames - done, capacity - at);
      for (uint16_t c = 0; c < channels; ++c) {
        const float* from = Channel(c) + at;
        for (uint32_t i = 0; i < run; ++i) sink(c, done + i, from[i]);
      }
      done += run;
    }
    return Discard(frames);
  }

 private:
  float* Channel(uint16_t c) { return storage.data() + static_cast<size_t>(c) * capacity; }
  uint32_t Wrap(uint64_t index) const { return capacity == 0 ? 0 : static_cast<uint32_t>(index % capacity); }

  uint16_t channels;
  uint32_t capacity;
  std::vector<float> storage;  // channel c at c x capacity
  uint32_t head = 0;           // index of the oldest frame
  uint32_t size = 0;           // frames held
};

}  // namespace veltane::lv2
