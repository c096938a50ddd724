// What the module writes into the registry and the DMO list, and how it
// takes it out again: one table of facts serves both directions.
#pragma once

#include <windows.h>

namespace veltane {

// DMO registration ("Veltane", audio effect, PCM in and out) and, under
// HKEY_CLASSES_ROOT, the effect class and the property page class with
// their in-process server (this module, threading model "Both"). Returns the
// DMO registration's failure; registry failures are not reported.
HRESULT RegisterServer();

// Removes what RegisterServer wrote. Returns the result of deleting the
// effect's class key as the raw Win32 code: 0 when deleted, 2 when it was
// not there.
HRESULT UnregisterServer();

}  // namespace veltane
