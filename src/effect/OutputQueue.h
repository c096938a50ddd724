// A first-in first-out store of processed host frames between the processing
// object and a host's output buffers.
//
// The processing object returns whole chain buffers, and only those that fit
// the room it is given; a host's output buffer may be smaller than one chain
// buffer. The queue gives the processing object room for everything it can
// return and keeps what the host's buffer cannot take yet, so every output
// room of one frame or more makes progress and nothing is lost.
//
// Not thread-safe: the owner serialises calls. Storage grows when a call
// needs more than before and is reused afterwards; should memory run out,
// the input (or silence) that found no room is dropped. Never throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltane {

class NoiseReducFilter;

class OutputQueue {
 public:
  // Input handed to the processing object per call, in frames: the chain
  // keeps its ring sized from the first call, so no later call may be larger.
  static constexpr uint32_t kSliceFrames = 1024;
  // Room beyond the input and the frames the chain still holds: one call can
  // return whole chain buffers of up to this many frames more.
  static constexpr uint32_t kSlackFrames = 8192;

  // Empties the queue for frames of `frameBytes` bytes; `silenceByte` is the
  // value of a silent sample byte (0x80 for 8-bit PCM, else 0).
  void Reset(uint32_t frameBytes, uint8_t silenceByte);

  // Runs `frames` frames from `in` through filter.Process (in slices) and
  // appends everything it returns. Returns the frames appended. `in` may
  // point into a buffer the caller later overwrites with Deliver.
  uint32_t Produce(NoiseReducFilter& filter, const uint8_t* in, uint32_t frames);
  // Appends `frames` frames of silence.
  void PushSilence(uint32_t frames);
  // Moves up to `maxFrames` of the oldest frames to `out`; returns how many.
  uint32_t Deliver(uint8_t* out, uint32_t maxFrames);

  uint32_t QueuedFrames() const;
  // Frames handed to the processing object and not yet returned by it.
  uint32_t BacklogFrames() const { return backlogFrames; }
  uint32_t FrameBytes() const { return frameBytes; }

 private:
  // Makes room for `frames` more frames behind the queued ones.
  uint8_t* ReserveTail(uint32_t frames);

  std::vector<uint8_t> storage;
  size_t head = 0;  // byte offset of the oldest queued frame
  size_t tail = 0;  // byte offset just past the newest queued frame
  uint32_t frameBytes = 0;
  uint8_t silenceByte = 0;
  uint32_t backlogFrames = 0;
};

}  // namespace veltane
