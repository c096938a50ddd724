// A recursive lock that a host may also hold across calls (IMediaObject::Lock)
// and that refuses, instead of corrupting itself, to be left by a thread
// that does not hold it.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace veltane {

class HostLock {
 public:
  void lock() {
    mutex.lock();
    owner.store(std::this_thread::get_id());
    ++depth;
  }
  void unlock() {
    if (--depth == 0) owner.store(std::thread::id());
    mutex.unlock();
  }
  // Leaves the lock if the calling thread holds it; false otherwise.
  bool TryLeave() {
    if (owner.load() != std::this_thread::get_id()) return false;
    unlock();
    return true;
  }

 private:
  std::recursive_mutex mutex;
  std::atomic<std::thread::id> owner{};
  unsigned depth = 0;  // guarded by mutex
};

}  // namespace veltane
