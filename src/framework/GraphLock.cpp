// Graph domains: their locks, their pools, and the domain blocks join.
#include "framework/GraphLock.h"

#include "framework/Block.h"
#include "framework/ResourcePool.h"

namespace veltane {
namespace {

thread_local GraphDomain* currentDomain = nullptr;

}  // namespace

GraphDomain::GraphDomain() : pool_(new ResourcePool(lock_)) {}

GraphDomain::~GraphDomain() = default;

GraphDomain& GraphDomain::Shared() {
  // Deliberately leaked: it must stay valid until the process ends.
  static GraphDomain* shared = new GraphDomain;
  return *shared;
}

GraphDomain& GraphDomain::Current() { return currentDomain != nullptr ? *currentDomain : Shared(); }

GraphDomain::Scope::Scope(GraphDomain& domain) : previous_(currentDomain) { currentDomain = &domain; }

GraphDomain::Scope::~Scope() { currentDomain = previous_; }

std::recursive_mutex& GraphLock() { return GraphDomain::Shared().Lock(); }

GraphLockHolder::GraphLockHolder(const Block& block) : lock_(block.domain.Lock()) {}

}  // namespace veltane
