// A block's input: reads the buffer of the output it is linked to, in place.
#pragma once

#include <cstdint>

#include "framework/BlockStatus.h"
#include "framework/StreamFormat.h"

namespace veltane {

class Block;
class OutputPort;
class SampleRing;
struct SampleBuffer;

// Owned by its block. Every operation is called with GraphLock held.
class InputPort {
 public:
  InputPort(Block* owner, uint16_t index, PortKind kind);
  // Unlinks itself from its source first.
  ~InputPort();
  InputPort(const InputPort&) = delete;
  InputPort& operator=(const InputPort&) = delete;

  // False when unlinked (an unlinked input never holds its block back); true
  // when the source has nothing ready; otherwise whether this input has
  // already taken the source's buffer.
  bool IsStale() const;
  // InputUnlinked, NoBuffer, or Ok with the source's buffer (never copied).
  BlockStatus GetBuffer(SampleBuffer** buffer) const;
  // Samples: address of the channel's first sample in the interleaved array;
  // Spectra: the channel's array. Null when unlinked or without a buffer.
  float* ChannelData(uint16_t channel) const;
  // true: marks the buffer taken, lets the source retire it once all its
  // targets took it, and counts the format's frames as consumed.
  void MarkConsumed(bool taken);
  // Copies the source's format; a real change flags this input in its
  // owner's inputFormatsChanged.
  BlockStatus PullFormat();
  // Moves the whole fresh buffer into the ring (one ring channel per stream
  // channel when perChannel, else interleaved into channel 0) and marks it
  // consumed. Returns the samples taken; 0 when stale, without a buffer or
  // when the ring lacks room for all of it.
  uint32_t PullToRing(SampleRing& ring, bool perChannel);

  // Link plumbing, used by the link operations (Block.h).
  void AttachTo(OutputPort* output);
  // Detaches from `from` (or from whatever source when null).
  BlockStatus Detach(OutputPort* from);

  PortKind kind;
  StreamFormat format;
  OutputPort* source = nullptr;
  uint16_t index;
  Block* owner;
  uint32_t framesConsumed = 0;
  bool detaching = false;
  bool consumed = false;
  uint16_t mask;
};

}  // namespace veltane
