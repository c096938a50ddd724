// The module's class table and its class factory.
//
// One entry per class served; each entry caches one factory, created on the
// first request for it and kept until the module detaches. The cache's own
// reference does not keep the module loaded: the factory locks the module
// only while it has references beyond that one.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace veltane {

// Creates an object of one class: out-pointer already checked and cleared.
using CreateFunction = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);

struct ClassEntry {
  const CLSID* clsid;
  CreateFunction create;
};

// The factory for `clsid` queried for `iid`: E_POINTER for a null out,
// CLASS_E_CLASSNOTAVAILABLE for a class not in `classes`.
HRESULT GetClassObject(const ClassEntry* classes, size_t count, REFCLSID clsid, REFIID iid, void** out);

// Drops every cached factory (process detach).
void ReleaseClassFactories();

}  // namespace veltane
