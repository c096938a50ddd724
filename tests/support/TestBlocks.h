// Small blocks for driving real ports in tests: a feeder that publishes
// queued buffers, a collector that keeps what reaches it, and a probe whose
// Process and hooks are scripted by the test.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "framework/Block.h"
#include "framework/ResourcePool.h"

namespace veltane::testing {

// No inputs, one Samples output; each pass publishes the next queued buffer
// of `frames` interleaved frames (NotReady when the queue is empty).
class FeedBlock : public Block {
 public:
  FeedBlock(uint16_t channels, uint32_t frames, float rate, const char* name = "Feed")
      : Block(name, 0, PortKind::Samples, 1, PortKind::Samples) {
    Output(0)->format.SetSampleRate(rate);
    Output(0)->format.SetChannels(channels);
    Output(0)->format.SetFrames(frames);
  }

  void Queue(std::vector<float> interleaved) { queue_.push_back(std::move(interleaved)); }
  // Queues `signal` cut into whole buffers (a short last buffer is padded with zeros).
  void QueueSignal(const std::vector<float>& signal) {
    const size_t per = static_cast<size_t>(Output(0)->format.frames) * Output(0)->format.channels;
    for (size_t at = 0; at < signal.size(); at += per) {
      std::vector<float> chunk(per, 0.0f);
      std::copy(signal.begin() + at, signal.begin() + std::min(signal.size(), at + per), chunk.begin());
      Queue(std::move(chunk));
    }
  }
  size_t Pending() const { return queue_.size(); }

  BlockStatus Process() override {
    if (queue_.empty() || Output(0)->ChannelData(0) == nullptr) return BlockStatus::NotReady;
    std::copy(queue_.front().begin(), queue_.front().end(), Output(0)->ChannelData(0));
    queue_.pop_front();
    return BlockStatus::Ok;
  }

 private:
  std::deque<std::vector<float>> queue_;
};

// One input of the given kind, no outputs; keeps every Samples buffer that
// reaches it (interleaved) unless holding, in which case it leaves the
// buffer untaken.
class CollectBlock : public Block {
 public:
  explicit CollectBlock(const char* name = "Collect", PortKind kind = PortKind::Samples)
      : Block(name, 1, kind, 0, PortKind::Samples) {}

  BlockStatus Process() override {
    ++passes;
    if (holding) return BlockStatus::SelfMarked;
    InputPort* in = Input(0);
    if (in->kind == PortKind::Samples && in->ChannelData(0) != nullptr) {
      const size_t count = static_cast<size_t>(in->format.frames) * in->format.channels;
      samples.insert(samples.end(), in->ChannelData(0), in->ChannelData(0) + count);
    }
    ++buffers;
    return BlockStatus::Ok;
  }
  void OnReset() override { ++resets; }
  void OnInputsChanged() override { ++inputChanges; }

  bool holding = false;
  int passes = 0;
  int buffers = 0;
  int resets = 0;
  int inputChanges = 0;
  std::vector<float> samples;
};

// A block whose Process is a test-supplied function; counts its hooks.
class ProbeBlock : public Block {
 public:
  ProbeBlock(const char* name, uint16_t inputs, PortKind inputKind, uint16_t outputs,
             PortKind outputKind)
      : Block(name, inputs, inputKind, outputs, outputKind) {}

  BlockStatus Process() override {
    ++passes;
    return process ? process(*this) : BlockStatus::Ok;
  }
  void OnReset() override { ++resets; }
  void OnInputsChanged() override {
    ++inputChanges;
    if (onInputsChanged) onInputsChanged(*this);
  }
  void OnOutputsChanged() override { ++outputChanges; }

  std::function<BlockStatus(ProbeBlock&)> process;
  std::function<void(ProbeBlock&)> onInputsChanged;
  int passes = 0;
  int resets = 0;
  int inputChanges = 0;
  int outputChanges = 0;
};

// True when every link in the blocks' ports is recorded on both ends.
inline bool LinksAreSymmetric(const std::vector<Block*>& blocks) {
  for (Block* block : blocks) {
    for (uint16_t o = 0; o < block->outputCount; ++o) {
      for (InputPort* target : block->Output(o)->targets) {
        if (target->source != block->Output(o)) return false;
      }
    }
    for (uint16_t i = 0; i < block->inputCount; ++i) {
      const InputPort* in = block->Input(i);
      if (in->source != nullptr && !in->source->HasTarget(in)) return false;
    }
  }
  return true;
}

}  // namespace veltane::testing
