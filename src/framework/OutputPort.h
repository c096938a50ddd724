// A block's output: holds a pooled buffer and lends it to every linked input.
#pragma once

#include <cstdint>
#include <vector>

#include "framework/BlockStatus.h"
#include "framework/StreamFormat.h"

namespace veltane {

class Block;
class InputPort;
class SampleRing;
struct SampleBuffer;

// Owned by its block. Every operation is called with GraphLock held.
class OutputPort {
 public:
  OutputPort(Block* owner, uint16_t index, PortKind kind);
  // Unlinks every target and returns its buffer to the pool.
  ~OutputPort();
  OutputPort(const OutputPort&) = delete;
  OutputPort& operator=(const OutputPort&) = delete;

  // Keeps the held buffer while it is large enough for the format, else
  // swaps it for a fitting one from the pool.
  BlockStatus AcquireBuffer();
  // Also retires: a changed format drops the buffer; a ready buffer that
  // every target has taken goes back to the pool. Busy while a target still
  // has to take the ready buffer.
  bool IsBusy();
  BlockStatus GetBuffer(SampleBuffer** held) const;
  float* ChannelData(uint16_t channel) const;
  // Publishes the buffer to every target and counts the format's frames.
  void MarkReady();
  void ReleaseBuffer();
  // Triggers every target's block, in target order.
  void Notify();
  // Moves exactly one buffer's worth from the ring into the held buffer and
  // marks it ready. Returns the samples given; 0 when busy, without a buffer
  // or when the ring holds less than a whole buffer.
  uint32_t FillFromRing(SampleRing& ring, bool perChannel);

  // Link plumbing, used by the link operations (Block.h).
  uint16_t TargetCount() const { return static_cast<uint16_t>(targets.size()); }
  bool HasTarget(const InputPort* input) const;
  void AppendTarget(InputPort* input);
  BlockStatus RemoveTarget(InputPort* input);
  void RemoveAllTargets();

  PortKind kind;
  StreamFormat format;
  SampleBuffer* buffer = nullptr;
  uint16_t index;
  uint16_t mask;
  Block* owner;
  uint32_t framesProduced = 0;
  bool detaching = false;
  std::vector<InputPort*> targets;  // in the order the links were made
  bool ready = false;
};

}  // namespace veltane
