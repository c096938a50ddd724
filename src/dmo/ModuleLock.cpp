// Module lock count and handle.
#include "dmo/ModuleLock.h"

namespace veltane {
namespace {

LONG lockCount = 0;
HMODULE moduleHandle = nullptr;

}  // namespace

void LockModule() { InterlockedIncrement(&lockCount); }
void UnlockModule() { InterlockedDecrement(&lockCount); }
LONG ModuleLockCount() { return InterlockedCompareExchange(&lockCount, 0, 0); }

HMODULE ModuleHandle() { return moduleHandle; }
void SetModuleHandle(HMODULE module) { moduleHandle = module; }

}  // namespace veltane
