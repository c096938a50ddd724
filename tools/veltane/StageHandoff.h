// A bounded hand-off of packets from one producer thread to one consumer
// thread: the first stage of a restoration fills a packet with its output and
// the second stage takes it as input, in order.
//
// Every packet's storage is allocated once, by the constructor; packets go
// round a fixed ring, so nothing is allocated while they flow. The producer
// fills the packet it begins in place and the consumer reads it in place
// (no copy). Either side waits on a condition variable while the ring is
// full or empty. Close, from either side, ends the hand-off at once: waits
// return, packets not yet taken are dropped, and nothing more is handed on.
// This is how the end of the stream, a failure or a stop reaches the other
// thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace veltane {

class StageHandoff {
 public:
  struct Packet {
    std::vector<uint8_t> bytes;  // the first stage's output; its size is the capacity
    uint32_t frames = 0;         // frames in `bytes`
    // What the second stage needs to know of the stream at this point: the
    // frames read so far, whether the input has ended, and whether the
    // first stage ran for this packet (false for the mark of the input's end,
    // which carries no call).
    uint64_t framesIn = 0;
    bool inputEnded = false;
    bool call = true;
  };

  // `packets` packets of `bytesPerPacket` bytes each (at least one packet).
  StageHandoff(uint32_t packets, size_t bytesPerPacket);

  // Producer: the next free packet, waiting while every one is taken; null
  // once closed. Push hands it on.
  Packet* BeginPush();
  void Push();
  // Consumer: the oldest packet handed on, waiting while there is none;
  // null once closed. Pop frees it for the producer again.
  Packet* BeginPop();
  void Pop();
  // Producer: waits until the consumer has popped every packet pushed.
  // False when the hand-off closed first (or meanwhile).
  bool WaitDrained();
  // Either side: ends the hand-off (see above). Idempotent.
  void Close();

 private:
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Packet> ring;
  uint64_t pushed = 0;  // packets handed on, ever
  uint64_t popped = 0;  // packets freed again, ever
  bool closed = false;
};

}  // namespace veltane
