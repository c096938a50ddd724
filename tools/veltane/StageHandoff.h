// A bounded round trip of packets between two threads: the first stage of a
// restoration fills a packet with its output, the second stage takes it as
// input, puts its own output into the same packet and hands it back, and
// the first thread, which also writes the file, takes it back in order.
//
// Every packet's storage is allocated once, by the constructor; packets go
// round a fixed ring, so nothing is allocated while they flow. Each side
// fills and reads packets in place (no copy). A side waits on a condition
// variable while it has nothing to do: the producer while every packet is
// out (only when it asks to wait for one to come back), the consumer while
// none has been handed on. Close, from either side, ends the round trip at
// once: waits return, packets not yet taken are dropped. This is how the end
// of the stream, a failure or a stop reaches the other thread.
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
    std::vector<uint8_t> bytes;     // the first stage's output; its size is the capacity
    uint32_t frames = 0;            // frames in `bytes`
    std::vector<uint8_t> returned;  // the second stage's output; its size is the capacity
    uint32_t returnedFrames = 0;    // frames in `returned`
    // Frames read when the first stage ran for this packet: how many the
    // writing may give out, once the input has ended.
    uint64_t framesIn = 0;
  };

  // `packets` packets (at least one), each holding `bytesPerPacket` bytes
  // on the way there and `returnedBytesPerPacket` on the way back.
  StageHandoff(uint32_t packets, size_t bytesPerPacket, size_t returnedBytesPerPacket);

  // Producer: the next free packet; null once closed, or while every packet
  // is out (it never waits: take one back first). Push hands it on.
  Packet* BeginPush();
  void Push();
  // Consumer: the oldest packet handed on, waiting while there is none;
  // null once closed. Pop hands it back.
  Packet* BeginPop();
  void Pop();
  // Producer: the oldest packet handed back; with `wait`, waiting for it
  // while there is none, otherwise null then (and null once closed).
  // EndTakeBack frees it.
  Packet* BeginTakeBack(bool wait);
  void EndTakeBack();
  // Producer: packets pushed and not yet taken back.
  uint32_t Outstanding();
  uint32_t Capacity() const { return static_cast<uint32_t>(ring.size()); }
  // Either side: ends the round trip (see above). Idempotent.
  void Close();

 private:
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Packet> ring;
  uint64_t pushed = 0;  // packets handed on, ever
  uint64_t popped = 0;  // packets handed back, ever
  uint64_t taken = 0;   // packets taken back and freed, ever
  bool closed = false;
};

}  // namespace veltane
