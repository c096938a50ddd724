// The one process-wide recursive lock that guards the whole block graph.
#pragma once

#include <mutex>

namespace veltane {

// Created on first use and never destroyed, so blocks that outlive static
// destruction (a COM server unloading late) can still take it.
std::recursive_mutex& GraphLock();

// Scoped holder: `GraphLockHolder hold;` keeps the lock until end of scope.
class GraphLockHolder {
 public:
  GraphLockHolder() : lock_(GraphLock()) {}

 private:
  std::lock_guard<std::recursive_mutex> lock_;
};

}  // namespace veltane
