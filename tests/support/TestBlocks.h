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

  std::function<BlockStatus(ProbeBlock&)> process;
  std::function<void(ProbeBlock&)> onInputsChanged;
  int passes = 0, resets = 0, inputChanges = 0;
};

// One input of the given kind, no outputs; keeps every Samples buffer that
// reaches it (interleaved) unless holding, in which case it leaves the
// buffer untaken.
class CollectBlock : public ProbeBlock {
 public:
  explicit CollectBlock(const char* name = "Collect", PortKind kind = PortKind::Samples)
      : ProbeBlock(name, 1, kind, 0, PortKind::Samples) {
    process = [this](ProbeBlock&) {
      if (holding) return BlockStatus::SelfMarked;
      const InputPort* in = Input(0);
      if (in->kind == PortKind::Samples && in->ChannelData(0) != nullptr) {
        const size_t count = static_cast<size_t>(in->format.frames) * in->format.channels;
        samples.insert(samples.end(), in->ChannelData(0), in->ChannelData(0) + count);
      }
      ++buffers;
      return BlockStatus::Ok;
    };
  }

  bool holding = false;
  int buffers = 0;
  std::vector<float> samples;
};

// An onInputsChanged for a probe that keeps the format of its first input on every output.
inline void CopyInputFormat(ProbeBlock& self) {
  for (auto& out : self.outputs) out->format.CopyFrom(&self.Input(0)->format);
}

}  // namespace veltane::testing
