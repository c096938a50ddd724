// The COM boilerplate of this module, written once: QueryInterface over a
// list of interfaces, atomic reference counting and aggregation.
//
// A class derives from ComObject<Self, I1, I2, ...>. Every interface's
// IUnknown methods go to the controlling unknown: the outer object's when
// the object is aggregated, else the object's own inner unknown. The inner,
// non-delegating unknown answers IID_IUnknown with itself, each listed
// interface with the matching base, and anything else through
// QueryOtherInterface (for interfaces served by aggregated helpers). The
// object is created with one inner reference; the last inner Release deletes
// it. Every live object holds one module lock.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>

#include "dmo/ModuleLock.h"

namespace veltane {

template <typename Self, typename... Interfaces>
class ComObject : public Interfaces... {
 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  // IUnknown of every listed interface: the controlling unknown's.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return outer->QueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return outer->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return outer->Release(); }

  // The non-delegating unknown: what an aggregating outer object keeps.
  IUnknown* InnerUnknown() { return &inner; }
  // The unknown that defines the object's identity.
  IUnknown* ControllingUnknown() { return outer; }

 protected:
  // `outerUnknown` is the aggregating object, or null.
  explicit ComObject(IUnknown* outerUnknown) : inner(this), outer(outerUnknown ? outerUnknown : &inner) {
    LockModule();
  }
  virtual ~ComObject() { UnlockModule(); }

  // Interfaces beyond the list; on success *out holds a reference.
  virtual HRESULT QueryOtherInterface(REFIID, void**) { return E_NOINTERFACE; }

 private:
  class Inner final : public IUnknown {
   public:
    explicit Inner(ComObject* owner) : owner(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
      if (out == nullptr) return E_POINTER;
      *out = nullptr;
      if (iid == IID_IUnknown) {
        *out = static_cast<IUnknown*>(this);
      } else if (!owner->template Find<Interfaces...>(iid, out)) {
        return owner->QueryOtherInterface(iid, out);
      }
      static_cast<IUnknown*>(*out)->AddRef();
      return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override {
      const ULONG left = --refs;
      if (left == 0) delete owner;
      return left;
    }

   private:
    ComObject* owner;
    std::atomic<ULONG> refs{1};
  };

  template <typename First, typename... Rest>
  bool Find(REFIID iid, void** out) {
    if (iid == __uuidof(First)) {
      *out = static_cast<First*>(this);
      return true;
    }
    if constexpr (sizeof...(Rest) > 0) {
      return Find<Rest...>(iid, out);
    } else {
      return false;
    }
  }

  Inner inner;
  IUnknown* outer;
};

}  // namespace veltane
