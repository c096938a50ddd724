// veltane.dll registered for real: regsvr32, the DMO list, the registry
// layout, creation by class id, and unregistering (twice).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DmoTestSupport.h"

namespace veltane {
namespace {

using testing::Module;

const ::testing::Environment* const kCom = ::testing::AddGlobalTestEnvironment(new testing::ComEnvironment);

std::string ModulePath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path);
  folder.resize(folder.find_last_of('\\') + 1);
  return folder + "veltane.dll";
}

// Runs the system's regsvr32 on the module; returns its exit code.
DWORD RunRegsvr32(const std::string& arguments) {
  std::string command = "regsvr32.exe /s " + arguments + " \"" + ModulePath() + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return 0xFFFFFFFF;
  }
  WaitForSingleObject(process.hProcess, 60000);
  DWORD code = 0xFFFFFFFF;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

std::string ClassKey(const CLSID& clsid) {
  WCHAR text[40] = {};
  StringFromGUID2(clsid, text, 40);
  std::string key = "CLSID\\";
  for (const WCHAR* c = text; *c != 0; ++c) key += static_cast<char>(*c);
  return key;
}

// The REG_SZ value `name` (null: the default value) of HKCR\key, or
// "<missing>".
std::string ReadString(const std::string& key, const char* name) {
  char value[MAX_PATH + 1] = {};
  DWORD size = sizeof value - 1;
  DWORD type = 0;
  if (RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_ANY, &type, value, &size) != ERROR_SUCCESS) {
    return "<missing>";
  }
  return type == REG_SZ ? std::string(value) : "<not a string>";
}

bool KeyExists(const std::string& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
  RegCloseKey(handle);
  return true;
}

// The DMO list's name for clsid in the audio-effect category, or "".
std::wstring FindDmo(const CLSID& clsid) {
  IEnumDMO* list = nullptr;
  if (FAILED(DMOEnum(DMOCATEGORY_AUDIO_EFFECT, 0, 0, nullptr, 0, nullptr, &list))) return L"";
  std::wstring found;
  CLSID id;
  WCHAR* name = nullptr;
  while (list->Next(1, &id, &name, nullptr) == S_OK) {
    if (id == clsid) found = name != nullptr ? name : L"";
    CoTaskMemFree(name);
  }
  list->Release();
  return found;
}

TEST(DmoRegistration, RegisterEnumerateCreateAndUnregister) {
  ASSERT_EQ(RunRegsvr32(""), 0u);

  EXPECT_EQ(FindDmo(CLSID_CVeltane), L"Veltane");
  DMO_PARTIAL_MEDIATYPE inputs[4], outputs[4];
  unsigned long inputCount = 0, outputCount = 0;
  ASSERT_EQ(DMOGetTypes(CLSID_CVeltane, 4, &inputCount, inputs, 4, &outputCount, outputs), S_OK);
  ASSERT_EQ(inputCount, 1u);
  ASSERT_EQ(outputCount, 1u);
  EXPECT_EQ(inputs[0].type, MEDIATYPE_Audio);
  EXPECT_EQ(inputs[0].subtype, MEDIASUBTYPE_PCM);
  EXPECT_EQ(outputs[0].type, MEDIATYPE_Audio);
  EXPECT_EQ(outputs[0].subtype, MEDIASUBTYPE_PCM);

  const std::string effect = ClassKey(CLSID_CVeltane);
  EXPECT_EQ(ReadString(effect, nullptr), "CVeltane Class");
  EXPECT_EQ(lstrcmpiA(ReadString(effect + "\\InprocServer32", nullptr).c_str(), ModulePath().c_str()), 0);
  EXPECT_EQ(ReadString(effect + "\\InprocServer32", "ThreadingModel"), "Both");
  HKEY programmable = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, (effect + "\\Programmable").c_str(), 0, KEY_READ, &programmable),
            ERROR_SUCCESS);
  DWORD subkeys = 9, values = 9;
  EXPECT_EQ(RegQueryInfoKeyA(programmable, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                             nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 0u);
  EXPECT_EQ(values, 0u);
  RegCloseKey(programmable);

  const std::string page = ClassKey(CLSID_CVeltaneProp);
  EXPECT_EQ(ReadString(page, nullptr), "CVeltaneProp Class");
  EXPECT_EQ(ReadString(page + "\\InprocServer32", "ThreadingModel"), "Both");
  EXPECT_EQ(ReadString("Veltane.VeltaneProp\\CurVer", nullptr), "Veltane.VeltaneProp.1");

  IMediaObject* object = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_CVeltane, nullptr, CLSCTX_INPROC_SERVER, IID_IMediaObject,
                             reinterpret_cast<void**>(&object)),
            S_OK);
  EXPECT_EQ(object->Release(), 0u);
  CoFreeUnusedLibraries();

  ASSERT_EQ(RunRegsvr32("/u"), 0u);
  EXPECT_EQ(FindDmo(CLSID_CVeltane), L"");
  EXPECT_FALSE(KeyExists(effect));
  EXPECT_FALSE(KeyExists(page));
  EXPECT_FALSE(KeyExists("Veltane.VeltaneProp"));
  EXPECT_EQ(CoCreateInstance(CLSID_CVeltane, nullptr, CLSCTX_INPROC_SERVER, IID_IMediaObject,
                             reinterpret_cast<void**>(&object)),
            REGDB_E_CLASSNOTREG);

  // Unregistering again reports the missing key as the Win32 code itself.
  Module module;
  ASSERT_TRUE(module.Loaded());
  EXPECT_EQ(module.unregisterServer(), static_cast<HRESULT>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace veltane
