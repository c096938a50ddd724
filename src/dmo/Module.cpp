// The exports of veltane.dll: module set-up, class objects, unloading and
// registration.
#include <windows.h>

#include "dmo/CVeltane.h"
#include "dmo/ClassFactory.h"
#include "dmo/ModuleLock.h"
#include "dmo/Registration.h"
#include "dmo/VeltaneGuids.h"
#include "proppage/CVeltaneProp.h"

namespace veltane {
namespace {

// The page is served too, so that hosts can create it from the class id
// the effect names.
const ClassEntry kClassTable[] = {
    {&CLSID_CVeltane, &CVeltane::Create},
    {&CLSID_CVeltaneProp, &CVeltaneProp::Create},
};

}  // namespace
}  // namespace veltane

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      veltane::SetModuleHandle(instance);
      DisableThreadLibraryCalls(instance);
      break;
    case DLL_PROCESS_DETACH:
      veltane::ReleaseClassFactories();
      break;
    default:
      break;
  }
  return TRUE;
}

STDAPI DllCanUnloadNow() { return veltane::ModuleLockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  return veltane::GetClassObject(veltane::kClassTable, std::size(veltane::kClassTable), clsid, iid, out);
}

STDAPI DllRegisterServer() { return veltane::RegisterServer(); }

STDAPI DllUnregisterServer() { return veltane::UnregisterServer(); }

}  // extern "C"
