// The bounded packet round trip between the restoration's two threads.
#include "veltane/StageHandoff.h"

#include <algorithm>

namespace veltane {

StageHandoff::StageHandoff(uint32_t packets, size_t bytesPerPacket, size_t returnedBytesPerPacket)
    : ring(std::max<uint32_t>(packets, 1)) {
  for (Packet& packet : ring) {
    packet.bytes.resize(bytesPerPacket);
    packet.returned.resize(returnedBytesPerPacket);
  }
}

StageHandoff::Packet* StageHandoff::BeginPush() {
  std::lock_guard hold(mutex);
  return closed || pushed - taken >= ring.size() ? nullptr : &ring[pushed % ring.size()];
}

void StageHandoff::Push() {
  {
    std::lock_guard hold(mutex);
    ++pushed;
  }
  changed.notify_all();
}

StageHandoff::Packet* StageHandoff::BeginPop() {
  std::unique_lock hold(mutex);
  changed.wait(hold, [this] { return closed || popped < pushed; });
  return closed ? nullptr : &ring[popped % ring.size()];
}

void StageHandoff::Pop() {
  {
    std::lock_guard hold(mutex);
    ++popped;
  }
  changed.notify_all();
}

StageHandoff::Packet* StageHandoff::BeginTakeBack(bool wait) {
  std::unique_lock hold(mutex);
  if (wait) changed.wait(hold, [this] { return closed || taken < popped; });
  return closed || taken == popped ? nullptr : &ring[taken % ring.size()];
}

void StageHandoff::EndTakeBack() {
  std::lock_guard hold(mutex);
  ++taken;
}

uint32_t StageHandoff::Outstanding() {
  std::lock_guard hold(mutex);
  return static_cast<uint32_t>(pushed - taken);
}

void StageHandoff::Close() {
  {
    std::lock_guard hold(mutex);
    closed = true;
  }
  changed.notify_all();
}

}  // namespace veltane
