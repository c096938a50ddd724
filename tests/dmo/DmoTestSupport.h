// Helpers for the tests of veltane.dll: loading the module, a plain media
// buffer, media types for a PCM format, and a fake aggregating object.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dmo/DmoHeaders.h"
#include "dmo/IEffectSettings.h"
#include "dmo/INoiseReducFilter.h"
#include "dmo/VeltaneGuids.h"

namespace veltane::testing {

// veltane.dll, loaded from beside the test program, with its exports.
class Module {
 public:
  Module() {
    handle = LoadLibraryA("veltane.dll");
    if (handle == nullptr) return;
    Find(canUnloadNow, "DllCanUnloadNow");
    Find(getClassObject, "DllGetClassObject");
    Find(registerServer, "DllRegisterServer");
    Find(unregisterServer, "DllUnregisterServer");
  }
  ~Module() {
    if (handle != nullptr) FreeLibrary(handle);
  }
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  bool Loaded() const { return handle != nullptr && canUnloadNow && getClassObject && registerServer && unregisterServer; }

  // A new effect object through the class factory, queried for T.
  template <typename T>
  T* Create(IUnknown* outer = nullptr) {
    IClassFactory* factory = nullptr;
    if (FAILED(getClassObject(CLSID_CVeltane, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) return nullptr;
    T* object = nullptr;
    const HRESULT hr = factory->CreateInstance(outer, __uuidof(T), reinterpret_cast<void**>(&object));
    factory->Release();
    return SUCCEEDED(hr) ? object : nullptr;
  }

  template <typename F>
  void Find(F& function, const char* name) {
    // GetProcAddress hands back a generic function pointer; the export's
    // real type is known from its name.
    const FARPROC found = GetProcAddress(handle, name);
    static_assert(sizeof found == sizeof function);
    std::memcpy(&function, &found, sizeof function);
  }

  HMODULE handle = nullptr;
  HRESULT(WINAPI* canUnloadNow)() = nullptr;
  HRESULT(WINAPI* getClassObject)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT(WINAPI* registerServer)() = nullptr;
  HRESULT(WINAPI* unregisterServer)() = nullptr;
};

// A plain IMediaBuffer over its own bytes.
class MediaBuffer final : public IMediaBuffer {
 public:
  explicit MediaBuffer(DWORD maxLength) : bytes(maxLength) {}
  MediaBuffer(const uint8_t* data, DWORD length) : bytes(data, data + length), length(length) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IMediaBuffer) {
      *out = static_cast<IMediaBuffer*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  // Never deletes: the test owns the buffer and checks the count.
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE SetLength(DWORD newLength) override {
    if (newLength > bytes.size()) return E_INVALIDARG;
    length = newLength;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetMaxLength(DWORD* maxLength) override {
    *maxLength = static_cast<DWORD>(bytes.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBufferAndLength(BYTE** data, DWORD* outLength) override {
    if (data != nullptr) *data = bytes.empty() ? nullptr : bytes.data();
    if (outLength != nullptr) *outLength = length;
    return S_OK;
  }

  std::vector<uint8_t> Data() const { return {bytes.begin(), bytes.begin() + length}; }
  std::vector<uint8_t> bytes;
  DWORD length = 0;
  std::atomic<ULONG> refs{1};
};

struct PcmFormat {
  uint16_t channels = 2;
  uint32_t rate = 44100;
  uint16_t bits = 16;
  uint16_t tag = WAVE_FORMAT_PCM;
};

inline WAVEFORMATEX Wave(const PcmFormat& f) {
  WAVEFORMATEX wave{};
  wave.wFormatTag = f.tag;
  wave.nChannels = f.channels;
  wave.nSamplesPerSec = f.rate;
  wave.wBitsPerSample = f.bits;
  wave.nBlockAlign = static_cast<WORD>(f.bits * f.channels / 8);
  wave.nAvgBytesPerSec = f.rate * wave.nBlockAlign;
  return wave;
}

// A media type holding a copy of `wave` (cbFormat bytes of it; the rest
// zero). Free with MoFreeMediaType.
inline DMO_MEDIA_TYPE MediaType(const WAVEFORMATEX& wave, DWORD formatBytes = sizeof(WAVEFORMATEX)) {
  DMO_MEDIA_TYPE type{};
  MoInitMediaType(&type, formatBytes);
  type.majortype = MEDIATYPE_Audio;
  type.subtype = MEDIASUBTYPE_PCM;
  type.formattype = FORMAT_WaveFormatEx;
  std::memset(type.pbFormat, 0, formatBytes);
  std::memcpy(type.pbFormat, &wave, std::min<DWORD>(formatBytes, sizeof wave));
  return type;
}

// Sets both stream types of `object` to `format`.
inline HRESULT SetTypes(IMediaObject* object, const PcmFormat& format) {
  DMO_MEDIA_TYPE type = MediaType(Wave(format));
  HRESULT hr = object->SetInputType(0, &type, 0);
  if (SUCCEEDED(hr)) hr = object->SetOutputType(0, &type, 0);
  MoFreeMediaType(&type);
  return hr;
}

// An aggregating object that only counts references and answers IUnknown.
class FakeOuter final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown) {
      *out = this;
      AddRef();
      return S_OK;
    }
    // Everything else goes to the aggregated object, as an aggregator does.
    if (inner != nullptr) return inner->QueryInterface(iid, out);
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }

  IUnknown* inner = nullptr;
  std::atomic<ULONG> refs{1};
};

// The reference count of `object` (AddRef then Release).
inline ULONG RefCount(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

// Initialises COM on the test's thread for the whole test program.
class ComEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  void TearDown() override { CoUninitialize(); }
};

}  // namespace veltane::testing
