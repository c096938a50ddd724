// Table-driven class factory with a per-class cache.
#include "dmo/ClassFactory.h"

#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "dmo/ModuleLock.h"

namespace veltane {
namespace {

class ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(CreateFunction create) : create(create) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }

  // The cache holds the first reference; every reference beyond it locks the
  // module, counted once on the way from one to two.
  ULONG STDMETHODCALLTYPE AddRef() override {
    std::lock_guard guard(lock);
    if (++refs == 2) LockModule();
    return refs;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = 0;
    {
      std::lock_guard guard(lock);
      left = --refs;
      if (left == 1) UnlockModule();
    }
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr && iid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    return create(outer, iid, out);
  }

  HRESULT STDMETHODCALLTYPE LockServer(BOOL lockIt) override {
    if (lockIt) {
      LockModule();
    } else {
      UnlockModule();
    }
    return S_OK;
  }

 private:
  CreateFunction create;
  std::mutex lock;
  ULONG refs = 1;
};

// The cache: one factory per class id, filled under the module's lock.
std::mutex& CacheLock() {
  static std::mutex lock;
  return lock;
}
std::vector<std::pair<CLSID, ClassFactory*>>& Cache() {
  static std::vector<std::pair<CLSID, ClassFactory*>> cache;
  return cache;
}

ClassFactory* FindCached(REFCLSID clsid) {
  for (auto& [id, factory] : Cache()) {
    if (id == clsid) return factory;
  }
  return nullptr;
}

}  // namespace

HRESULT GetClassObject(const ClassEntry* classes, size_t count, REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  const ClassEntry* entry = nullptr;
  for (size_t i = 0; i < count; ++i) {
    if (*classes[i].clsid == clsid) entry = &classes[i];
  }
  if (entry == nullptr) return CLASS_E_CLASSNOTAVAILABLE;

  ClassFactory* factory = nullptr;
  {
    std::lock_guard guard(CacheLock());
    factory = FindCached(clsid);
    if (factory == nullptr) {
      factory = new (std::nothrow) ClassFactory(entry->create);
      if (factory == nullptr) return E_OUTOFMEMORY;
      try {
        Cache().emplace_back(clsid, factory);
      } catch (const std::bad_alloc&) {
        factory->Release();
        return E_OUTOFMEMORY;
      }
    }
  }
  return factory->QueryInterface(iid, out);
}

void ReleaseClassFactories() {
  std::lock_guard guard(CacheLock());
  for (auto& [id, factory] : Cache()) factory->Release();
  Cache().clear();
}

}  // namespace veltane
