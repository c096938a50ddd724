// What a declicker reports of the clicks it repaired: how many since the
// stream started, and where each one was, for a caller to drain. The
// declicker adds inside its processing pass; one caller, on any one thread,
// reads and drains. Storage is fixed at construction: adding and draining
// never allocate and never wait, and a full queue drops the newest marks
// (counted) rather than hold up the pass.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace veltane {

// One repaired click: its first frame and how many frames it spans, counted
// from the start of the stream the reporting block was given.
struct ClickMark {
  uint64_t frame = 0;
  uint32_t width = 0;
};

class ClickReport {
 public:
  static constexpr uint32_t kCapacity = 1024;

  // Producer side, inside the declicker's pass. Counts the click and
  // queues its mark (unless the queue is full).
  void Add(const ClickMark& mark) {
    repaired_.fetch_add(1, std::memory_order_relaxed);
    const uint32_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - head_.load(std::memory_order_acquire) >= kCapacity) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    marks_[tail % kCapacity] = mark;
    tail_.store(tail + 1, std::memory_order_release);
  }
  // A new stream: the count starts again (marks not yet drained stay).
  void Restart() { repaired_.store(0, std::memory_order_relaxed); }
  // The rate, in Hz, of the frames the marks count (the declicker's input).
  void SetRate(float rate) { rate_.store(rate, std::memory_order_relaxed); }

  // Consumer side.
  uint64_t Repaired() const { return repaired_.load(std::memory_order_relaxed); }
  float Rate() const { return rate_.load(std::memory_order_relaxed); }
  // The oldest mark not yet drained; false when there is none.
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
  std::atomic<uint32_t> head_{0};  // counters run freely; kCapacity divides 2^32
  std::atomic<uint32_t> tail_{0};
  std::atomic<uint64_t> repaired_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<float> rate_{0.0f};
};

}  // namespace veltane
