// Blocks driving real ports in tests: a scripted probe, a feeder and a collector.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "framework/Block.h"

namespace veltane::testing {

// A block whose Process is a test-supplied function; counts its hooks.
class ProbeBlock : public Block {
 public:
  using Block::Block;  // name, input count and kind, output count and kind

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

// One input, no outputs; keeps every Samples buffer that reaches it
// (interleaved) unless holding, when it leaves the buffer untaken.
class CollectBlock : public ProbeBlock {
 public:
  explicit CollectBlock(const char* name = "Collect")
      : ProbeBlock(name, 1, PortKind::Samples, 0, PortKind::Samples) {
    process = [this](ProbeBlock&) {
      if (holding) return BlockStatus::SelfMarked;
      if (const float* data = Input(0)->ChannelData(0)) {
        const StreamFormat& format = Input(0)->format;
        samples.insert(samples.end(), data, data + size_t{format.frames} * format.channels);
      }
      ++buffers;
      return BlockStatus::Ok;
    };
  }

  bool holding = false;
  int buffers = 0;
  std::vector<float> samples;
};

// No inputs, one Samples output; each pass publishes the next queued buffer
// of `frames` interleaved frames (NotReady when the queue is empty).
class FeedBlock : public ProbeBlock {
 public:
  FeedBlock(uint16_t channels, uint32_t frames, float rate, const char* name = "Feed")
      : ProbeBlock(name, 0, PortKind::Samples, 1, PortKind::Samples) {
    Output(0)->format.SetSampleRate(rate);
    Output(0)->format.SetChannels(channels);
    Output(0)->format.SetFrames(frames);
    process = [this](ProbeBlock&) {
      if (queue_.empty() || Output(0)->ChannelData(0) == nullptr) return BlockStatus::NotReady;
      std::copy(queue_.front().begin(), queue_.front().end(), Output(0)->ChannelData(0));
      queue_.pop_front();
      return BlockStatus::Ok;
    };
  }

  void Queue(std::vector<float> interleaved) { queue_.push_back(std::move(interleaved)); }
  // Queues `signal` cut into whole buffers (a short last buffer is padded with zeros).
  void QueueSignal(const std::vector<float>& signal) {
    const size_t per = static_cast<size_t>(Output(0)->format.frames) * Output(0)->format.channels;
    for (size_t at = 0; at < signal.size(); at += per) {
      Queue({signal.begin() + at, signal.begin() + std::min(signal.size(), at + per)});
      queue_.back().resize(per, 0.0f);
    }
  }
  size_t Pending() const { return queue_.size(); }

 private:
  std::deque<std::vector<float>> queue_;
};

// An onInputsChanged for a probe that keeps the format of its first input on every output.
inline void CopyInputFormat(ProbeBlock& self) {
  for (auto& out : self.outputs) out->format.CopyFrom(&self.Input(0)->format);
}

}  // namespace veltane::testing
