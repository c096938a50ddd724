// Helpers for the tests of veltane.dll: the module and its exports, a media
// buffer, PCM media types, a host's streaming loop, tables of {call,
// expected result} rows, a fixture that no object may outlive and one that
// adds a new effect.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <olectl.h>
#include <wrl/client.h>

#include <cstring>
#include <functional>
#include <vector>

#include "dmo/DmoHeaders.h"
#include "dmo/IEffectSettings.h"
#include "dmo/INoiseReducFilter.h"
#include "dmo/VeltaneGuids.h"

namespace veltane::testing {

using Microsoft::WRL::ComPtr;

// veltane.dll, loaded from beside the test program, and its exports.
struct Module {
  template <typename F>
  F Export(const char* name) {
    F function = nullptr;  // GetProcAddress gives a generic pointer; the export's type is known
    const FARPROC found = handle != nullptr ? GetProcAddress(handle, name) : nullptr;
    std::memcpy(&function, &found, sizeof function);
    return function;
  }
  HMODULE handle = LoadLibraryA("veltane.dll");
  decltype(&DllCanUnloadNow) canUnloadNow = Export<decltype(&DllCanUnloadNow)>("DllCanUnloadNow");
  decltype(&DllGetClassObject) getClassObject = Export<decltype(&DllGetClassObject)>("DllGetClassObject");
  decltype(&DllUnregisterServer) unregisterServer = Export<decltype(&DllUnregisterServer)>("DllUnregisterServer");
};
inline Module dll;

// A new object of `clsid` through the module's class factory, as T.
template <typename T>
ComPtr<T> Create(const CLSID& clsid = CLSID_CVeltane) {
  ComPtr<IClassFactory> factory;
  ComPtr<T> object;
  if (SUCCEEDED(dll.getClassObject(clsid, IID_IClassFactory, &factory))) {
    factory->CreateInstance(nullptr, __uuidof(T), &object);
  }
  return object;
}

// An IMediaBuffer holding `data` with `room` bytes free behind it, owned by
// the test (Release never deletes); every method returns `failure`. As the
// owner of an aggregate, it asks `inner` for every interface but IUnknown.
struct MediaBuffer final : IMediaBuffer {
  explicit MediaBuffer(std::vector<uint8_t> data, DWORD room = 0)
      : bytes(std::move(data)), length(static_cast<DWORD>(bytes.size())) {
    bytes.resize(bytes.size() + room);
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (inner != nullptr && iid != IID_IUnknown) return inner->QueryInterface(iid, out);
    *out = iid == IID_IUnknown || iid == IID_IMediaBuffer ? this : nullptr;
    return *out != nullptr ? (AddRef(), S_OK) : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE SetLength(DWORD n) override {
    return n > bytes.size() ? E_INVALIDARG : (length = n, failure);
  }
  HRESULT STDMETHODCALLTYPE GetMaxLength(DWORD* n) override { return *n = static_cast<DWORD>(bytes.size()), failure; }
  HRESULT STDMETHODCALLTYPE GetBufferAndLength(BYTE** data, DWORD* n) override {
    if (data != nullptr) *data = bytes.empty() ? nullptr : bytes.data();
    if (n != nullptr) *n = length;
    return failure;
  }
  std::vector<uint8_t> Data() const { return {bytes.begin(), bytes.begin() + length}; }

  std::vector<uint8_t> bytes;
  DWORD length;
  ULONG refs = 1;
  HRESULT failure = S_OK;
  IUnknown* inner = nullptr;
};

// A PCM media type (cbSize `extra`, the format block as much longer); free
// with MoFreeMediaType.
inline DMO_MEDIA_TYPE MediaType(WORD channels = 2, DWORD rate = 44100, WORD bits = 16, WORD tag = WAVE_FORMAT_PCM,
                                WORD extra = 0) {
  DMO_MEDIA_TYPE type{};
  MoInitMediaType(&type, 18 + extra);
  type.majortype = MEDIATYPE_Audio;
  type.subtype = MEDIASUBTYPE_PCM;
  type.formattype = FORMAT_WaveFormatEx;
  const auto block = static_cast<WORD>(bits * channels / 8);
  const WAVEFORMATEX wave{tag, channels, rate, rate * block, block, bits, extra};
  std::memset(type.pbFormat, 0, type.cbFormat);
  std::memcpy(type.pbFormat, &wave, 18);
  return type;
}

// Sets both stream types of `object` to PCM of the given layout, then the
// "Options" parameter (23, the neutral value, leaves full bypass on).
inline HRESULT SetTypes(IMediaObject* object, WORD channels, DWORD rate, WORD bits, float options = 23.0f) {
  DMO_MEDIA_TYPE type = MediaType(channels, rate, bits);
  ComPtr<IMediaParams> params;
  HRESULT hr = object->SetInputType(0, &type, 0);
  if (SUCCEEDED(hr)) hr = object->SetOutputType(0, &type, 0);
  if (SUCCEEDED(hr)) hr = object->QueryInterface(IID_IMediaParams, &params);
  MoFreeMediaType(&type);
  return SUCCEEDED(hr) ? params->SetParam(3, options) : hr;
}

// Streams `input` as a host does: buffers of `piece` bytes, each followed by
// ProcessOutput with `room` bytes until nothing is pending. Returns
// everything produced.
inline std::vector<uint8_t> Stream(IMediaObject* object, const std::vector<uint8_t>& input, size_t piece, DWORD room) {
  std::vector<uint8_t> output;
  for (size_t at = 0; at < input.size(); at += piece) {
    MediaBuffer in(std::vector<uint8_t>(input.begin() + at, input.begin() + std::min(at + piece, input.size())));
    HRESULT hr = object->ProcessInput(0, &in, 0, 0, 0);
    EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << std::hex << hr;
    for (DWORD status = 0, more = 1, calls = 0; hr == S_OK && more && calls < 1'000'000; ++calls) {
      MediaBuffer out({}, room);
      DMO_OUTPUT_DATA_BUFFER element{&out, 0, 0, 0};
      hr = object->ProcessOutput(0, 1, &element, &status);
      more = element.dwStatus & DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE;
      output.insert(output.end(), out.bytes.begin(), out.bytes.begin() + out.length);
    }
    EXPECT_EQ(in.refs, 1u) << "input still held: output never completed";
  }
  return output;
}

// A table row: a call as written and the result it must give.
struct Row {
  const char* call;
  HRESULT expected;
  std::function<HRESULT()> run;
};
#define ROW(expected, call) ::veltane::testing::Row{#call, static_cast<HRESULT>(expected), [&] { return call; }}

// Runs the rows in order. With `out`, each row starts with garbage there,
// and a row that fails for any reason but a null pointer must clear it.
inline void Check(std::initializer_list<Row> rows, void** out = nullptr) {
  for (const Row& row : rows) {
    if (out != nullptr) *out = reinterpret_cast<void*>(0xcc);
    EXPECT_EQ(row.run(), row.expected) << row.call;
    const bool clears = out != nullptr && FAILED(row.expected) && row.expected != E_POINTER;
    EXPECT_TRUE(!clears || *out == nullptr) << row.call << " leaves its out-pointer set";
  }
}

// COM for the program, and every test must leave the module unloadable.
struct DllTest : ::testing::Test {
  static void SetUpTestSuite() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  void SetUp() override { ASSERT_NE(dll.handle, nullptr); }
  void TearDown() override { EXPECT_EQ(dll.canUnloadNow(), S_OK) << "an object outlived the test"; }
};

// A new effect object, its interfaces, its processing object and scratch
// out-values; at the end no reference to the effect may be left.
struct EffectTest : DllTest {
  void SetUp() override {
    DllTest::SetUp();
    mo = Create<IMediaObject>();
    ASSERT_TRUE(mo && SUCCEEDED(mo.As(&ip)) && SUCCEEDED(mo.As(&pi)) && SUCCEEDED(mo.As(&mp)) &&
                SUCCEEDED(mo.As(&es)) && SUCCEEDED(mo.As(&source)) && SUCCEEDED(source->GetNoiseReducFilter(&nr)));
  }
  void TearDown() override {
    ReleaseAll();
    DllTest::TearDown();
  }
  void ReleaseAll() {
    ip.Reset(), pi.Reset(), mp.Reset(), es.Reset(), source.Reset(), nr.Reset();
    EXPECT_EQ(mo ? mo.Reset() : 0, 0u);
  }
  ComPtr<IMediaObject> mo;
  ComPtr<IMediaObjectInPlace> ip;
  ComPtr<IMediaParamInfo> pi;
  ComPtr<IMediaParams> mp;
  ComPtr<IEffectSettings> es;
  ComPtr<INoiseReducFilterSource> source;
  ComPtr<INoiseReducFilter> nr;
  DWORD a = 0xcc, b = 0xcc, c = 0xcc;
};

}  // namespace veltane::testing
