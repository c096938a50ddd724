// A bounded single-producer, single-consumer queue of repaired clicks: the
// declicker pushes inside its processing pass, a caller on any one other
// thread (or the same) drains. Storage is fixed at construction; pushing and
// draining never allocate, never wait, and a full queue drops the newest
// marks (counted) rather than blocking the pass.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace veltane {

// One repaired click: where it starts and how many samples it spans, in the
// frames of the stream the declicker was given.
struct ClickMark {
  uint64_t frame = 0;
  uint32_t width = 0;
};

class ClickQueue {
 public:
  static constexpr uint32_t kCapacity = 1024;

  // Producer side. False (and the mark counted as dropped) when full.
  bool Push(const ClickMark& mark) {
    const uint32_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - head_.load(std::memory_order_acquire) >= kCapacity) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    marks_[tail % kCapacity] = mark;
    tail_.store(tail + 1, std::memory_order_release);
    return true;
  }
  // Consumer side. False when empty.
  bool Pop(ClickMark* mark) {
    const uint32_t head = head_.load(std::memory_order_relaxed);
    if (head == tail_.load(std::memory_order_acquire)) return false;
    *mark = marks_[head % kCapacity];
    head_.store(head + 1, std::memory_order_release);
    return true;
  }
  // Marks lost to a full queue since construction.
  uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  std::array<ClickMark, kCapacity> marks_{};
  std::atomic<uint32_t> head_{0};
  std::atomic<uint32_t> tail_{0};
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace veltane
