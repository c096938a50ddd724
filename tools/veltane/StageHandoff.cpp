// The bounded packet hand-off between the restoration's two threads.
#include "veltane/StageHandoff.h"

#include <algorithm>

namespace veltane {

StageHandoff::StageHandoff(uint32_t packets, size_t bytesPerPacket) : ring(std::max<uint32_t>(packets, 1)) {
  for (Packet& packet : ring) packet.bytes.resize(bytesPerPacket);
}

StageHandoff::Packet* StageHandoff::BeginPush() {
  std::unique_lock hold(mutex);
  changed.wait(hold, [this] { return closed || pushed - popped < ring.size(); });
  return closed ? nullptr : &ring[pushed % ring.size()];
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

bool StageHandoff::WaitDrained() {
  std::unique_lock hold(mutex);
  changed.wait(hold, [this] { return closed || popped == pushed; });
  return !closed;
}

void StageHandoff::Close() {
  {
    std::lock_guard hold(mutex);
    closed = true;
  }
  changed.notify_all();
}

}  // namespace veltane
