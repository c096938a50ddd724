// The module's lock count, which decides whether the DLL may be unloaded,
// and the module's own handle.
//
// The count is live COM objects of this module plus outstanding
// LockServer(TRUE) calls plus references to a cached class factory beyond
// the cache's own. Interlocked; callable from any thread.
#pragma once

#include <windows.h>

namespace veltane {

void LockModule();
void UnlockModule();
LONG ModuleLockCount();

// Set by DllMain on process attach; resources (the page's dialog) and the
// registered server path come from it.
HMODULE ModuleHandle();
void SetModuleHandle(HMODULE module);

}  // namespace veltane
