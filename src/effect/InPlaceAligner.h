// In-place processing that hands back exactly the frames it was given.
//
// The chain delays the audio and returns it in whole chain buffers, so a
// call rarely gets back as many frames as it put in. The aligner runs a fixed
// delay behind instead: its queue starts with that delay in silence (the
// chain's latency plus room for the chain's buffering), every call appends
// what the chain returns and takes out exactly as many frames as came in.
// Should the chain ever hold back more than that, the shortfall is filled
// with silence once and the delay grows by it. In full bypass the buffer is
// left as it is and the delay starts afresh when processing resumes.
//
// Thread-safe: calls are serialised by the aligner's own lock, which is taken
// before the processing object's locks and never while the caller holds the
// effect object's lock. May allocate when the delay is (re)built.
#pragma once

#include <cstdint>
#include <mutex>

#include "effect/OutputQueue.h"

namespace veltane {

class NoiseReducFilter;

class InPlaceAligner {
 public:
  // Room for the chain's own buffering beyond its latency: the Adapter holds
  // up to one chain buffer of input and returns output in chain buffers of
  // up to 2048 frames, and the sub-band stages hold partial buffers (about
  // 5100 frames measured at 96 and 192 kHz, 3100 at 44.1 kHz).
  static constexpr uint32_t kBufferingFrames = 8192;

  // Forgets the queued audio; the next active call starts with the delay in
  // silence again. Called when the format changes.
  void Reset();

  // Processes `frames` frames of `filter`'s current format in place at
  // `data`. Afterwards all of them hold output: in full bypass the input
  // itself, otherwise the processed stream DelayFrames() behind.
  void Process(NoiseReducFilter& filter, uint8_t* data, uint32_t frames);

  // The current delay in frames; 0 while not processing.
  uint32_t DelayFrames();

 private:
  std::mutex lock;
  OutputQueue queue;
  bool primed = false;
  uint32_t delayFrames = 0;
};

}  // namespace veltane
