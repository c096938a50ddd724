// Processed-frame queue between the processing object and host buffers.
#include "effect/OutputQueue.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "effect/NoiseReducFilter.h"

namespace veltane {

void OutputQueue::Reset(uint32_t newFrameBytes, uint8_t newSilenceByte) {
  frameBytes = newFrameBytes;
  silenceByte = newSilenceByte;
  head = 0;
  tail = 0;
  backlogFrames = 0;
}

uint32_t OutputQueue::QueuedFrames() const {
  return frameBytes == 0 ? 0 : static_cast<uint32_t>((tail - head) / frameBytes);
}

uint8_t* OutputQueue::ReserveTail(uint32_t frames) {
  const size_t needed = static_cast<size_t>(frames) * frameBytes;
  if (storage.size() - tail < needed) {
    // Move the queued frames to the front first; grow only if that is not
    // enough.
    if (head > 0) {
      std::memmove(storage.data(), storage.data() + head, tail - head);
      tail -= head;
      head = 0;
    }
    if (storage.size() - tail < needed) {
      try {
        storage.resize(tail + needed);
      } catch (const std::bad_alloc&) {
        return nullptr;
      }
    }
  }
  return storage.data() + tail;
}

uint32_t OutputQueue::Produce(NoiseReducFilter& filter, const uint8_t* in, uint32_t frames) {
  if (frameBytes == 0) return 0;
  uint32_t appended = 0;
  while (frames > 0) {
    const uint32_t slice = std::min(frames, kSliceFrames);
    // The chain cannot return more than it was given plus what it holds.
    uint32_t room = slice + backlogFrames + kSlackFrames;
    uint8_t* out = ReserveTail(room);
    if (out == nullptr) break;  // out of memory: the rest of the input is dropped
    filter.Process(in, slice, out, &room);
    tail += static_cast<size_t>(room) * frameBytes;
    appended += room;
    backlogFrames = room >= slice + backlogFrames ? 0 : backlogFrames + slice - room;
    in += static_cast<size_t>(slice) * frameBytes;
    frames -= slice;
  }
  return appended;
}

void OutputQueue::PushSilence(uint32_t frames) {
  if (frameBytes == 0 || frames == 0) return;
  uint8_t* out = ReserveTail(frames);
  if (out == nullptr) return;
  const size_t bytes = static_cast<size_t>(frames) * frameBytes;
  std::memset(out, silenceByte, bytes);
  tail += bytes;
}

uint32_t OutputQueue::Deliver(uint8_t* out, uint32_t maxFrames) {
  const uint32_t frames = std::min(maxFrames, QueuedFrames());
  const size_t bytes = static_cast<size_t>(frames) * frameBytes;
  if (bytes > 0) std::memcpy(out, storage.data() + head, bytes);
  head += bytes;
  if (head == tail) head = tail = 0;
  return frames;
}

}  // namespace veltane
