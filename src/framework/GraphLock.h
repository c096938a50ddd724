// The lock that guards a graph of blocks, and the pool its blocks share.
//
// By default every block joins the one process-wide domain, so one recursive
// lock guards every graph in the process and one pool lends their buffers:
// the Windows effect's chains all live there. A processing object that must
// run beside others on other threads (the command-line tool's workers, a
// plugin instance in a host that runs tracks in parallel) gives its chain a
// domain of its own, so that its lock is never taken by another chain and
// its pool is never searched by one. A graph never spans two domains.
#pragma once

#include <memory>
#include <mutex>

namespace veltane {

class Block;
class ResourcePool;

class GraphDomain {
 public:
  GraphDomain();
  ~GraphDomain();
  GraphDomain(const GraphDomain&) = delete;
  GraphDomain& operator=(const GraphDomain&) = delete;

  // The process-wide domain. Created on first use and never destroyed, so
  // blocks that outlive static destruction (a COM server unloading late) can
  // still take its lock.
  static GraphDomain& Shared();
  // The domain that blocks constructed now on this thread join: that of the
  // innermost live Scope on this thread, else the shared one.
  static GraphDomain& Current();

  std::recursive_mutex& Lock() { return lock_; }
  // Every pool operation is called with Lock() held.
  ResourcePool& Pool() { return *pool_; }

  // While a Scope lives, blocks constructed on its thread join `domain`.
  // A domain must outlive every block that joined it.
  class Scope {
   public:
    explicit Scope(GraphDomain& domain);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    GraphDomain* previous_;
  };

 private:
  std::recursive_mutex lock_;
  std::unique_ptr<ResourcePool> pool_;
};

// The shared domain's lock: the one lock of every graph built outside a Scope.
std::recursive_mutex& GraphLock();

// Scoped holder of a domain's lock: `GraphLockHolder hold(*this);` in a block
// keeps its graph's lock until the end of the scope.
class GraphLockHolder {
 public:
  explicit GraphLockHolder(GraphDomain& domain) : lock_(domain.Lock()) {}
  explicit GraphLockHolder(const Block& block);

 private:
  std::lock_guard<std::recursive_mutex> lock_;
};

}  // namespace veltane
