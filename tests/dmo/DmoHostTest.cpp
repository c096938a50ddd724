// veltane.dll in real hosts: a ProcessInput/ProcessOutput loop over WAV
// files and a DirectShow graph (File Source (Async) -> WAVE Parser -> DMO
// Wrapper -> Sample Grabber -> Null Renderer); both must give the samples
// of the native processing of the same files.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "DmoTestSupport.h"
#include "ReferenceCases.h"

#include <dmodshow.h>
#include <dshow.h>
#include <qedit.h>

// In the toolchain's GUID library, though its qedit.h leaves them out.
extern "C" const CLSID CLSID_SampleGrabber;
extern "C" const CLSID CLSID_NullRenderer;

namespace veltane {
namespace {

using testing::MediaBuffer;
using testing::Module;
using testing::ReferenceCase;

const ::testing::Environment* const kCom = ::testing::AddGlobalTestEnvironment(new testing::ComEnvironment);

// {D51BD5A1-7548-11CF-A520-0080C77EF58A}, published as CLSID_WAVEParser.
constexpr CLSID kWaveParser = {0xd51bd5a1, 0x7548, 0x11cf, {0xa5, 0x20, 0x00, 0x80, 0xc7, 0x7e, 0xf5, 0x8a}};

// The native build writes the inputs and references here, beside the test.
const std::string kFolder = "reference\\";

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The samples of a canonical WAV file as written by the reference program.
std::vector<uint8_t> WaveSamples(const std::vector<uint8_t>& file) {
  return file.size() > 44 ? std::vector<uint8_t>(file.begin() + 44, file.end()) : std::vector<uint8_t>();
}

std::wstring FullPath(const std::string& relative) {
  char full[MAX_PATH] = {};
  GetFullPathNameA(relative.c_str(), MAX_PATH, full, nullptr);
  return std::wstring(full, full + strlen(full));
}

class HostTest : public ::testing::TestWithParam<ReferenceCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(module.Loaded());
    input = ReadFile(kFolder + testing::InputName(GetParam()));
    reference = ReadFile(kFolder + testing::ReferenceName(GetParam()));
    if (input.empty() || reference.empty()) {
      GTEST_SKIP() << "no reference audio: configure with VELTANE_NATIVE_BUILD_DIR set to a native build";
    }
  }
  void TearDown() override { EXPECT_EQ(module.canUnloadNow(), S_OK); }

  // Sets the case's parameters as a host would, through IMediaParams.
  void SetParams(IUnknown* object) {
    IMediaParams* params = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IMediaParams, reinterpret_cast<void**>(&params)), S_OK);
    EXPECT_EQ(params->SetParam(1, GetParam().clickThreshold), S_OK);
    EXPECT_EQ(params->SetParam(3, GetParam().options), S_OK);
    params->Release();
  }

  Module module;
  std::vector<uint8_t> input;
  std::vector<uint8_t> reference;
};

TEST_P(HostTest, ProcessLoopGivesTheNativeSamples) {
  const ReferenceCase& c = GetParam();
  IMediaObject* object = module.Create<IMediaObject>();
  ASSERT_NE(object, nullptr);
  ASSERT_EQ(testing::SetTypes(object, {c.channels, c.rate, c.bits}), S_OK);
  SetParams(object);

  // 100-ms input buffers, 1500-frame output buffers: neither matches the
  // chain's buffers.
  const std::vector<uint8_t> samples = WaveSamples(input);
  const size_t block = c.channels * c.bits / 8;
  const size_t piece = c.rate / 10 * block;
  std::vector<uint8_t> output;
  for (size_t at = 0; at < samples.size(); at += piece) {
    MediaBuffer buffer(samples.data() + at, static_cast<DWORD>(std::min(piece, samples.size() - at)));
    ASSERT_EQ(object->ProcessInput(0, &buffer, DMO_INPUT_DATA_BUFFERF_TIME, 0, 0), S_OK);
    for (;;) {
      MediaBuffer out(static_cast<DWORD>(1500 * block));
      DMO_OUTPUT_DATA_BUFFER element{};
      element.pBuffer = &out;
      DWORD status = 0;
      const HRESULT hr = object->ProcessOutput(0, 1, &element, &status);
      ASSERT_TRUE(hr == S_OK || hr == S_FALSE);
      output.insert(output.end(), out.bytes.begin(), out.bytes.begin() + out.length);
      if (hr != S_OK || !(element.dwStatus & DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE)) break;
    }
  }
  EXPECT_EQ(object->Release(), 0u);
  ASSERT_EQ(output.size(), reference.size());
  EXPECT_TRUE(output == reference);
}

// Collects every buffer the Sample Grabber sees.
class Collector final : public ISampleGrabberCB {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_ISampleGrabberCB) {
      *out = static_cast<ISampleGrabberCB*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE SampleCB(double, IMediaSample*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE BufferCB(double, BYTE* data, LONG length) override {
    std::lock_guard guard(lock);
    bytes.insert(bytes.end(), data, data + length);
    return S_OK;
  }
  std::mutex lock;
  std::vector<uint8_t> bytes;
};

IBaseFilter* AddFilter(IGraphBuilder* graph, const CLSID& clsid, const wchar_t* name) {
  IBaseFilter* filter = nullptr;
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                              reinterpret_cast<void**>(&filter)))) {
    return nullptr;
  }
  if (FAILED(graph->AddFilter(filter, name))) {
    filter->Release();
    return nullptr;
  }
  return filter;
}

IPin* FindPin(IBaseFilter* filter, PIN_DIRECTION direction) {
  IEnumPins* pins = nullptr;
  if (FAILED(filter->EnumPins(&pins))) return nullptr;
  IPin* pin = nullptr;
  IPin* found = nullptr;
  while (found == nullptr && pins->Next(1, &pin, nullptr) == S_OK) {
    PIN_DIRECTION pinDirection;
    pin->QueryDirection(&pinDirection);
    if (pinDirection == direction) {
      found = pin;
    } else {
      pin->Release();
    }
  }
  pins->Release();
  return found;
}

HRESULT Connect(IGraphBuilder* graph, IBaseFilter* from, IBaseFilter* to) {
  IPin* out = FindPin(from, PINDIR_OUTPUT);
  IPin* in = FindPin(to, PINDIR_INPUT);
  const HRESULT hr = out != nullptr && in != nullptr ? graph->ConnectDirect(out, in, nullptr) : E_FAIL;
  if (out != nullptr) out->Release();
  if (in != nullptr) in->Release();
  return hr;
}

TEST_P(HostTest, DirectShowGraphGivesTheNativeSamples) {
  const ReferenceCase& c = GetParam();

  // The DMO Wrapper creates the effect by class id; this process serves it
  // without touching the registry.
  IClassFactory* factory = nullptr;
  ASSERT_EQ(module.getClassObject(CLSID_CVeltane, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_CVeltane, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);

  IGraphBuilder* graph = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                             reinterpret_cast<void**>(&graph)),
            S_OK);
  IBaseFilter* source = AddFilter(graph, CLSID_AsyncReader, L"File Source (Async)");
  IBaseFilter* parser = AddFilter(graph, kWaveParser, L"WAVE Parser");
  IBaseFilter* wrapper = AddFilter(graph, CLSID_DMOWrapperFilter, L"Veltane");
  IBaseFilter* grabber = AddFilter(graph, CLSID_SampleGrabber, L"Sample Grabber");
  IBaseFilter* renderer = AddFilter(graph, CLSID_NullRenderer, L"Null Renderer");
  ASSERT_TRUE(source && parser && wrapper && grabber && renderer);

  IFileSourceFilter* file = nullptr;
  ASSERT_EQ(source->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&file)), S_OK);
  ASSERT_EQ(file->Load(FullPath(kFolder + testing::InputName(c)).c_str(), nullptr), S_OK);
  file->Release();
  IDMOWrapperFilter* dmo = nullptr;
  ASSERT_EQ(wrapper->QueryInterface(IID_IDMOWrapperFilter, reinterpret_cast<void**>(&dmo)), S_OK);
  ASSERT_EQ(dmo->Init(CLSID_CVeltane, DMOCATEGORY_AUDIO_EFFECT), S_OK);
  dmo->Release();
  SetParams(wrapper);  // the wrapper hands out the aggregated effect's interfaces

  Collector collector;
  ISampleGrabber* grab = nullptr;
  ASSERT_EQ(grabber->QueryInterface(IID_ISampleGrabber, reinterpret_cast<void**>(&grab)), S_OK);
  ASSERT_EQ(grab->SetBufferSamples(FALSE), S_OK);
  ASSERT_EQ(grab->SetCallback(&collector, 1), S_OK);

  ASSERT_EQ(Connect(graph, source, parser), S_OK);
  ASSERT_EQ(Connect(graph, parser, wrapper), S_OK);
  ASSERT_EQ(Connect(graph, wrapper, grabber), S_OK);
  ASSERT_EQ(Connect(graph, grabber, renderer), S_OK);

  IMediaFilter* timing = nullptr;
  ASSERT_EQ(graph->QueryInterface(IID_IMediaFilter, reinterpret_cast<void**>(&timing)), S_OK);
  EXPECT_EQ(timing->SetSyncSource(nullptr), S_OK);  // as fast as it goes
  timing->Release();
  IMediaControl* control = nullptr;
  IMediaEvent* events = nullptr;
  ASSERT_EQ(graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control)), S_OK);
  ASSERT_EQ(graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&events)), S_OK);
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  LONG code = 0;
  EXPECT_EQ(events->WaitForCompletion(60000, &code), S_OK);
  EXPECT_EQ(code, EC_COMPLETE);
  control->Stop();
  events->Release();
  control->Release();
  grab->SetCallback(nullptr, 1);
  grab->Release();
  for (IBaseFilter* filter : {source, parser, wrapper, grabber, renderer}) {
    graph->RemoveFilter(filter);
    filter->Release();
  }
  EXPECT_EQ(graph->Release(), 0u);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  factory->Release();

  std::lock_guard guard(collector.lock);
  ASSERT_EQ(collector.bytes.size(), reference.size());
  EXPECT_TRUE(collector.bytes == reference);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostTest, ::testing::ValuesIn(testing::kReferenceCases),
                         [](const ::testing::TestParamInfo<ReferenceCase>& info) { return info.param.name; });

}  // namespace
}  // namespace veltane
