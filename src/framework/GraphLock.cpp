// The process-wide graph lock.
#include "framework/GraphLock.h"

namespace veltane {

std::recursive_mutex& GraphLock() {
  // Deliberately leaked: it must stay valid until the process ends.
  static std::recursive_mutex* lock = new std::recursive_mutex;
  return *lock;
}

}  // namespace veltane
