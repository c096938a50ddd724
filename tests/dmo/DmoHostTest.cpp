// veltane.dll in real hosts: registered by regsvr32 and listed as a DMO, then
// a ProcessInput/ProcessOutput loop and a DirectShow graph (File Source
// (Async) -> WAVE Parser -> DMO Wrapper -> Sample Grabber -> Null Renderer)
// over WAV files, which must give the native command-line tool's samples.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "DmoTestSupport.h"

#include <dmodshow.h>
#include <dshow.h>
#include <qedit.h>

// In the toolchain's GUID library, though its qedit.h leaves them out.
extern "C" const CLSID CLSID_SampleGrabber, CLSID_NullRenderer;

namespace veltane {
namespace {

using namespace testing;  // the module, types, streaming and the fixture

// {D51BD5A1-7548-11CF-A520-0080C77EF58A}, published as CLSID_WAVEParser.
constexpr CLSID kWaveParser = {0xd51bd5a1, 0x7548, 0x11cf, {0xa5, 0x20, 0x00, 0x80, 0xc7, 0x7e, 0xf5, 0x8a}};

std::string Folder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::string(path, std::strrchr(path, '\\') + 1);
}

// The REG_SZ value `name` (null: the default) of HKCR\key, or "<missing>".
std::string Value(const std::string& key, const char* name = nullptr) {
  char value[MAX_PATH + 1] = {};
  DWORD size = MAX_PATH;
  const LSTATUS found = RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size);
  return found == ERROR_SUCCESS ? value : "<missing>";
}

// The name under which the DMO list holds the effect among the audio effects
// taking and giving PCM; "" when it is not there.
std::wstring Listed() {
  const DMO_PARTIAL_MEDIATYPE pcm{MEDIATYPE_Audio, MEDIASUBTYPE_PCM};
  ComPtr<IEnumDMO> list;
  CLSID id;
  WCHAR* name = nullptr;
  std::wstring found;
  EXPECT_EQ(DMOEnum(DMOCATEGORY_AUDIO_EFFECT, 0, 1, &pcm, 1, &pcm, &list), S_OK);
  while (list && list->Next(1, &id, &name, nullptr) == S_OK) {
    if (id == CLSID_CVeltane) found = name;
    CoTaskMemFree(name);
  }
  return found;
}

using DmoRegistration = DllTest;

// The effect and its property page as regsvr32 registers and unregisters them.
TEST_F(DmoRegistration, RegistersAsAnAudioEffectAndUnregistersCleanly) {
  WCHAR effectId[40], pageId[40];
  StringFromGUID2(CLSID_CVeltane, effectId, 40), StringFromGUID2(CLSID_CVeltaneProp, pageId, 40);
  const std::string key = "CLSID\\" + std::string(effectId, effectId + 38),
                    page = "CLSID\\" + std::string(pageId, pageId + 38), path = Folder() + "veltane.dll";
  HKEY programmable = nullptr;
  DWORD subkeys = 9, values = 9;
  ComPtr<IMediaObject> object;
  ASSERT_EQ(std::system(("regsvr32.exe /s \"" + path + "\"").c_str()), 0);
  EXPECT_EQ(Listed(), L"Veltane");
  EXPECT_EQ(Value(key), "CVeltane Class");
  EXPECT_EQ(lstrcmpiA(Value(key + "\\InprocServer32").c_str(), path.c_str()), 0);
  for (const auto& k : {key, page}) EXPECT_EQ(Value(k + "\\InprocServer32", "ThreadingModel"), "Both");
  EXPECT_EQ(Value("Veltane.VeltaneProp\\CurVer"), "Veltane.VeltaneProp.1");
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, (key + "\\Programmable").c_str(), 0, KEY_READ, &programmable), 0);
  RegQueryInfoKeyA(programmable, 0, 0, 0, &subkeys, 0, 0, &values, 0, 0, 0, 0);
  RegCloseKey(programmable);
  EXPECT_EQ(subkeys + values, 0u);  // an empty key
  EXPECT_EQ(CoCreateInstance(CLSID_CVeltane, nullptr, CLSCTX_INPROC_SERVER, IID_IMediaObject, &object), S_OK);
  object.Reset();
  CoFreeUnusedLibraries();

  ASSERT_EQ(std::system(("regsvr32.exe /s /u \"" + path + "\"").c_str()), 0);
  EXPECT_EQ(Listed(), L"");
  for (const std::string& gone : {key, page, std::string("Veltane.VeltaneProp")}) EXPECT_EQ(Value(gone), "<missing>");
  EXPECT_EQ(CoCreateInstance(CLSID_CVeltane, nullptr, CLSCTX_INPROC_SERVER, IID_IMediaObject, &object),
            REGDB_E_CLASSNOTREG);
  // Unregistering again reports the missing key as the Win32 code itself.
  EXPECT_EQ(dll.unregisterServer(), static_cast<HRESULT>(ERROR_FILE_NOT_FOUND));
}

// The cases that make-reference.sh prepares in reference/: an input made
// from the example recording, and the native tool's restoration of it with
// these settings.
struct Case {
  const char* name;
  WORD channels;
  DWORD rate;
  WORD bits;
  float clickThreshold, options;
  DWORD Block() const { return channels * bits / 8; }
} const kCases[] = {{"stereo16", 2, 44100, 16, 4.0f, 16.0f}, {"mono24", 1, 96000, 24, 3.0f, 0.0f},
                    {"stereo8", 2, 22050, 8, 6.0f, 4.0f}};
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

// The samples of a WAV file: what follows its "data" chunk's header.
std::vector<uint8_t> Samples(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
  const char tag[] = "data";
  const auto data = std::search(bytes.begin(), bytes.end(), tag, tag + 4);
  return bytes.end() - data > 8 ? std::vector<uint8_t>(data + 8, bytes.end()) : std::vector<uint8_t>();
}

class HostTest : public EffectTest, public ::testing::WithParamInterface<Case> {
 protected:
  void SetUp() override {
    EffectTest::SetUp();
    input = Samples(file), native = Samples(Folder() + "reference\\reference-" + GetParam().name + ".wav");
    if (input.empty() || native.empty()) GTEST_SKIP() << "no reference audio: set VELTANE_NATIVE_BUILD_DIR";
  }
  // Sets the case's parameters as a host would.
  void SetParams(IUnknown* object) {
    ComPtr<IMediaParams> params;
    ASSERT_EQ(object->QueryInterface(IID_IMediaParams, &params), S_OK);
    EXPECT_EQ(params->SetParam(1, GetParam().clickThreshold), S_OK);
    EXPECT_EQ(params->SetParam(3, GetParam().options), S_OK);
  }
  // The tool drops its latency from the start: from there on, the effect's
  // output must be the tool's.
  void ExpectNative(const std::vector<uint8_t>& output) {
    const auto at = std::search(output.begin(), output.end(), native.begin(), native.begin() + 4096);
    const size_t latency = at - output.begin();
    ASSERT_LT(latency, output.size() / 2) << "the tool's samples are not in the " << output.size() << " bytes";
    EXPECT_EQ(latency % GetParam().Block(), 0u);
    EXPECT_TRUE(output.size() - latency <= native.size() && std::equal(at, output.end(), native.begin()));
  }
  const std::string file = Folder() + "reference\\input-" + GetParam().name + ".wav";
  std::vector<uint8_t> input, native;
};

TEST_P(HostTest, ProcessLoopGivesTheNativeSamples) {
  const Case& c = GetParam();
  ASSERT_EQ(SetTypes(mo.Get(), c.channels, c.rate, c.bits), S_OK);
  SetParams(mo.Get());
  // 100-ms input buffers and 1500-frame rooms: neither matches the chain's buffers.
  ExpectNative(Stream(mo.Get(), input, c.rate / 10 * c.Block(), 1500 * c.Block()));
}

// Keeps every buffer the Sample Grabber sees, on the graph's one streaming thread.
struct Collector final : ISampleGrabberCB {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = iid == IID_IUnknown || iid == IID_ISampleGrabberCB ? this : nullptr;
    return *out != nullptr ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE SampleCB(double, IMediaSample*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE BufferCB(double, BYTE* data, LONG length) override {
    return bytes.insert(bytes.end(), data, data + length), S_OK;
  }
  std::vector<uint8_t> bytes;
};

// The first pin of `filter` that goes in `direction`.
ComPtr<IPin> Pin(IBaseFilter* filter, PIN_DIRECTION direction) {
  ComPtr<IEnumPins> pins;
  ComPtr<IPin> pin;
  PIN_DIRECTION its;
  filter->EnumPins(&pins);
  while (pins->Next(1, &pin, nullptr) == S_OK) {
    if (SUCCEEDED(pin->QueryDirection(&its)) && its == direction) return pin;
  }
  return nullptr;
}

TEST_P(HostTest, DirectShowGraphGivesTheNativeSamples) {
  const CLSID classes[] = {CLSID_AsyncReader, kWaveParser, CLSID_DMOWrapperFilter, CLSID_SampleGrabber,
                           CLSID_NullRenderer};
  ComPtr<IClassFactory> factory;
  ComPtr<IGraphBuilder> graph;
  ComPtr<IBaseFilter> filters[5];
  ComPtr<IFileSourceFilter> source;
  ComPtr<IDMOWrapperFilter> wrapper;
  ComPtr<ISampleGrabber> grabber;
  ComPtr<IMediaControl> control;
  ComPtr<IMediaEvent> events;
  ComPtr<IMediaFilter> timing;
  Collector collector;
  DWORD cookie = 0;
  LONG code = 0;
  // The wrapper creates the effect by class id, served by this process without the registry.
  ASSERT_EQ(dll.getClassObject(CLSID_CVeltane, IID_IClassFactory, &factory), S_OK);
  ASSERT_EQ(CoRegisterClassObject(CLSID_CVeltane, factory.Get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), 0);
  ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, &graph), S_OK);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(CoCreateInstance(classes[i], nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, &filters[i]), S_OK);
    ASSERT_EQ(graph->AddFilter(filters[i].Get(), nullptr), S_OK);
  }
  ASSERT_TRUE(SUCCEEDED(filters[0].As(&source)) && SUCCEEDED(filters[2].As(&wrapper)) &&
              SUCCEEDED(filters[3].As(&grabber)) && SUCCEEDED(graph.As(&control)) && SUCCEEDED(graph.As(&timing)) &&
              SUCCEEDED(graph->QueryInterface(IID_IMediaEvent, &events)));
  ASSERT_EQ(source->Load(std::wstring(file.begin(), file.end()).c_str(), nullptr), S_OK);
  ASSERT_EQ(wrapper->Init(CLSID_CVeltane, DMOCATEGORY_AUDIO_EFFECT), S_OK);
  SetParams(wrapper.Get());  // the wrapper hands out the interfaces of the effect it aggregates
  ASSERT_EQ(grabber->SetCallback(&collector, 1), S_OK);
  for (int i = 0; i < 4; ++i) {
    const auto from = Pin(filters[i].Get(), PINDIR_OUTPUT), to = Pin(filters[i + 1].Get(), PINDIR_INPUT);
    ASSERT_EQ(graph->ConnectDirect(from.Get(), to.Get(), nullptr), S_OK) << i;
  }
  EXPECT_EQ(timing->SetSyncSource(nullptr), S_OK);  // as fast as it goes
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  EXPECT_EQ(events->WaitForCompletion(60000, &code), S_OK);
  EXPECT_EQ(code, EC_COMPLETE);
  control->Stop();
  grabber->SetCallback(nullptr, 1);
  for (auto& filter : filters) graph->RemoveFilter(filter.Get());
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  ExpectNative(collector.bytes);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace veltane
