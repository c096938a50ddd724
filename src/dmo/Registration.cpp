// Registration of the effect as a DMO and of both classes as COM servers.
#include "dmo/Registration.h"

#include <shlwapi.h>

#include <array>
#include <cstdio>

#include "dmo/DmoHeaders.h"
#include "dmo/ModuleLock.h"
#include "dmo/VeltaneGuids.h"

namespace veltane {
namespace {

// A version-independent ProgID and the versioned one it points to; the
// effect class has none.
struct ProgIds {
  const char* current;    // e.g. "Veltane.VeltaneProp"
  const char* versioned;  // e.g. "Veltane.VeltaneProp.1"
};

struct ClassFacts {
  const CLSID* clsid;
  const char* description;
  const ProgIds* progIds;
};

constexpr ProgIds kPageProgIds = {"Veltane.VeltaneProp", "Veltane.VeltaneProp.1"};

// The effect first: its key's deletion is what unregistering reports. The
// page is registered too so that hosts can create it from the class id the
// effect names in ISpecifyPropertyPages.
constexpr std::array<ClassFacts, 2> kClasses = {{
    {&CLSID_CVeltane, "CVeltane Class", nullptr},
    {&CLSID_CVeltaneProp, "CVeltaneProp Class", &kPageProgIds},
}};

constexpr wchar_t kDmoName[] = L"Veltane";

std::array<char, 39> BracedId(const CLSID& id) {
  std::array<char, 39> text{};
  std::snprintf(text.data(), text.size(), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2],
                id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
  return text;
}

void SetString(HKEY key, const char* name, const char* value) {
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), static_cast<DWORD>(strlen(value) + 1));
}

HKEY CreateKey(HKEY parent, const char* path) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return nullptr;
  }
  return key;
}

// CLSID\{id} = description, with InprocServer32 = module path and
// ThreadingModel "Both", and an empty "Programmable" key. Stops quietly at
// the first key that cannot be created.
void RegisterClass(const ClassFacts& facts, const char* modulePath) {
  char path[64];
  std::snprintf(path, sizeof path, "CLSID\\%s", BracedId(*facts.clsid).data());
  HKEY classKey = CreateKey(HKEY_CLASSES_ROOT, path);
  if (classKey == nullptr) return;
  SetString(classKey, nullptr, facts.description);
  HKEY server = CreateKey(classKey, "InprocServer32");
  if (server == nullptr) {
    RegCloseKey(classKey);
    return;
  }
  SetString(server, nullptr, modulePath);
  SetString(server, "ThreadingModel", "Both");
  RegCloseKey(server);
  if (HKEY programmable = CreateKey(classKey, "Programmable")) RegCloseKey(programmable);
  if (facts.progIds != nullptr) {
    if (HKEY progId = CreateKey(classKey, "ProgID")) {
      SetString(progId, nullptr, facts.progIds->versioned);
      RegCloseKey(progId);
    }
    if (HKEY independent = CreateKey(classKey, "VersionIndependentProgID")) {
      SetString(independent, nullptr, facts.progIds->current);
      RegCloseKey(independent);
    }
  }
  RegCloseKey(classKey);

  if (facts.progIds == nullptr) return;
  const auto id = BracedId(*facts.clsid);
  for (const char* name : {facts.progIds->versioned, facts.progIds->current}) {
    HKEY key = CreateKey(HKEY_CLASSES_ROOT, name);
    if (key == nullptr) continue;
    SetString(key, nullptr, facts.description);
    if (HKEY clsidKey = CreateKey(key, "CLSID")) {
      SetString(clsidKey, nullptr, id.data());
      RegCloseKey(clsidKey);
    }
    if (name == facts.progIds->current) {
      if (HKEY curVer = CreateKey(key, "CurVer")) {
        SetString(curVer, nullptr, facts.progIds->versioned);
        RegCloseKey(curVer);
      }
    }
    RegCloseKey(key);
  }
}

}  // namespace

HRESULT RegisterServer() {
  DMO_PARTIAL_MEDIATYPE types[] = {{MEDIATYPE_Audio, MEDIASUBTYPE_PCM}};
  const HRESULT hr = DMORegister(const_cast<wchar_t*>(kDmoName), CLSID_CVeltane, DMOCATEGORY_AUDIO_EFFECT, 0, 1,
                                 types, 1, types);
  if (FAILED(hr)) return hr;
  char modulePath[MAX_PATH + 1] = {};
  GetModuleFileNameA(ModuleHandle(), modulePath, MAX_PATH);
  for (const ClassFacts& facts : kClasses) RegisterClass(facts, modulePath);
  return S_OK;
}

HRESULT UnregisterServer() {
  DMOUnregister(CLSID_CVeltane, DMOCATEGORY_AUDIO_EFFECT);
  HKEY clsidRoot = CreateKey(HKEY_CLASSES_ROOT, "CLSID");
  if (clsidRoot == nullptr) return S_OK;
  LSTATUS effectResult = ERROR_SUCCESS;
  for (const ClassFacts& facts : kClasses) {
    const LSTATUS result = SHDeleteKeyA(clsidRoot, BracedId(*facts.clsid).data());
    if (facts.clsid == kClasses[0].clsid) effectResult = result;
    if (facts.progIds != nullptr) {
      SHDeleteKeyA(HKEY_CLASSES_ROOT, facts.progIds->versioned);
      SHDeleteKeyA(HKEY_CLASSES_ROOT, facts.progIds->current);
    }
  }
  RegCloseKey(clsidRoot);
  // The Win32 code as it comes, not an HRESULT made of it.
  return static_cast<HRESULT>(effectResult);
}

}  // namespace veltane
