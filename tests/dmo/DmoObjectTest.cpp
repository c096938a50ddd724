// veltane.dll's effect object: class objects and unloading, aggregation,
// the interface table, streams, media types, sizes, Lock and the property
// page it names.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>

#include "DmoTestSupport.h"

namespace veltane {
namespace {

using testing::FakeOuter;
using testing::MediaType;
using testing::Module;
using testing::PcmFormat;
using testing::RefCount;
using testing::SetTypes;
using testing::Wave;

const ::testing::Environment* const kCom = ::testing::AddGlobalTestEnvironment(new testing::ComEnvironment);

class DmoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(module.Loaded());
    object = module.Create<IMediaObject>();
    ASSERT_NE(object, nullptr);
  }
  void TearDown() override {
    if (object != nullptr) {
      EXPECT_EQ(object->Release(), 0u);
    }
    EXPECT_EQ(module.canUnloadNow(), S_OK);  // nothing of a test may outlive it
  }
  Module module;
  IMediaObject* object = nullptr;
};

TEST(DmoModule, ClassObjectsAndUnloadCounting) {
  Module module;
  ASSERT_TRUE(module.Loaded());
  EXPECT_EQ(module.canUnloadNow(), S_OK);
  EXPECT_EQ(module.getClassObject(CLSID_CVeltane, IID_IClassFactory, nullptr), E_POINTER);
  void* out = reinterpret_cast<void*>(0xcc);
  EXPECT_EQ(module.getClassObject(IID_IUnknown, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);

  IClassFactory* factory = nullptr;
  ASSERT_EQ(module.getClassObject(CLSID_CVeltane, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  EXPECT_EQ(module.canUnloadNow(), S_FALSE);  // a reference beyond the cache's
  IUnknown* unknown = nullptr;
  ASSERT_EQ(module.getClassObject(CLSID_CVeltane, IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  EXPECT_EQ(unknown, factory);  // the cached factory
  unknown->Release();
  out = reinterpret_cast<void*>(0xcc);
  EXPECT_EQ(module.getClassObject(CLSID_CVeltane, IID_IMediaObject, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);

  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IMediaObject, nullptr), E_POINTER);
  out = reinterpret_cast<void*>(0xcc);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  IMediaObject* object = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IMediaObject, reinterpret_cast<void**>(&object)), S_OK);
  EXPECT_EQ(factory->Release(), 1u);  // the cache keeps it
  EXPECT_EQ(module.canUnloadNow(), S_FALSE);  // the object lives
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(module.canUnloadNow(), S_OK);

  ASSERT_EQ(module.getClassObject(CLSID_CVeltane, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(factory->Release(), 1u);
  EXPECT_EQ(module.canUnloadNow(), S_FALSE);  // the server lock alone
  ASSERT_EQ(module.getClassObject(CLSID_CVeltane, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  factory->Release();
  EXPECT_EQ(module.canUnloadNow(), S_OK);
}

TEST(DmoModule, AggregationDelegatesToTheOuterObject) {
  Module module;
  ASSERT_TRUE(module.Loaded());
  IClassFactory* factory = nullptr;
  ASSERT_EQ(module.getClassObject(CLSID_CVeltane, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  FakeOuter outer;
  void* out = reinterpret_cast<void*>(0xcc);
  EXPECT_EQ(factory->CreateInstance(&outer, IID_IMediaObject, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);

  IUnknown* inner = nullptr;
  ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
  factory->Release();
  EXPECT_EQ(outer.refs, 1u);  // the aggregate holds no reference on its owner
  outer.inner = inner;

  IMediaObject* object = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_IMediaObject, reinterpret_cast<void**>(&object)), S_OK);
  EXPECT_EQ(outer.refs, 2u);  // the interface's reference went to the outer object
  IUnknown* identity = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
  identity->Release();
  IMediaParams* params = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IMediaParams, reinterpret_cast<void**>(&params)), S_OK);
  params->Release();
  IUnknown* marshal = nullptr;
  EXPECT_EQ(object->QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&marshal)), S_OK);
  if (marshal != nullptr) marshal->Release();
  object->Release();
  EXPECT_EQ(outer.refs, 1u);
  EXPECT_EQ(module.canUnloadNow(), S_FALSE);
  EXPECT_EQ(inner->Release(), 0u);
  EXPECT_EQ(module.canUnloadNow(), S_OK);
}

TEST_F(DmoTest, AnswersItsInterfacesWithOneIdentity) {
  const IID answered[] = {IID_IUnknown, IID_IMediaObject, IID_IMediaObjectInPlace, IID_IMediaParamInfo,
                          IID_IMediaParams, IID_ISpecifyPropertyPages, IID_IEffectSettings,
                          IID_INoiseReducFilterSource, IID_IMarshal};
  IUnknown* identity = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  for (const IID& iid : answered) {
    IUnknown* itf = nullptr;
    ASSERT_EQ(object->QueryInterface(iid, reinterpret_cast<void**>(&itf)), S_OK);
    for (const IID& back : answered) {
      IUnknown* again = nullptr;
      EXPECT_EQ(itf->QueryInterface(back, reinterpret_cast<void**>(&again)), S_OK);
      if (again != nullptr) again->Release();
    }
    IUnknown* self = nullptr;
    ASSERT_EQ(itf->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&self)), S_OK);
    EXPECT_EQ(self, identity);
    self->Release();
    itf->Release();
  }
  identity->Release();

  const IID refused[] = {IID_INoiseReducFilter, IID_IClassFactory, IID_IPersist, IID_IPropertyPage};
  for (const IID& iid : refused) {
    void* out = reinterpret_cast<void*>(0xcc);
    EXPECT_EQ(object->QueryInterface(iid, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(object->QueryInterface(IID_IMediaObject, nullptr), E_POINTER);
  EXPECT_EQ(RefCount(object), 1u);
}

TEST_F(DmoTest, StreamsAreOneInOneOut) {
  DWORD inputs = 0xcc;
  DWORD outputs = 0xcc;
  EXPECT_EQ(object->GetStreamCount(nullptr, &outputs), E_POINTER);
  EXPECT_EQ(object->GetStreamCount(&inputs, nullptr), E_POINTER);
  EXPECT_EQ(object->GetStreamCount(&inputs, &outputs), S_OK);
  EXPECT_EQ(inputs, 1u);
  EXPECT_EQ(outputs, 1u);
  DWORD flags = 0xcc;
  EXPECT_EQ(object->GetInputStreamInfo(1, nullptr), E_POINTER);
  EXPECT_EQ(object->GetInputStreamInfo(1, &flags), DMO_E_INVALIDSTREAMINDEX);
  EXPECT_EQ(object->GetInputStreamInfo(0, &flags), S_OK);
  EXPECT_EQ(flags, 0u);
  flags = 0xcc;
  EXPECT_EQ(object->GetOutputStreamInfo(0, nullptr), E_POINTER);
  EXPECT_EQ(object->GetOutputStreamInfo(1, &flags), DMO_E_INVALIDSTREAMINDEX);
  EXPECT_EQ(object->GetOutputStreamInfo(0, &flags), S_OK);
  EXPECT_EQ(flags, 0u);
  REFERENCE_TIME latency = 0;
  EXPECT_EQ(object->GetInputMaxLatency(0, &latency), E_NOTIMPL);
  EXPECT_EQ(object->SetInputMaxLatency(0, 10), E_NOTIMPL);
  EXPECT_EQ(object->Discontinuity(0), S_OK);
  EXPECT_EQ(object->Discontinuity(1), DMO_E_INVALIDSTREAMINDEX);
  EXPECT_EQ(object->AllocateStreamingResources(), S_OK);
  EXPECT_EQ(object->FreeStreamingResources(), S_OK);
}

TEST_F(DmoTest, PreferredTypesFollowTheOtherStream) {
  DMO_MEDIA_TYPE type;
  EXPECT_EQ(object->GetInputType(0, 0, nullptr), S_OK);
  EXPECT_EQ(object->GetInputType(0, 1, &type), DMO_E_NO_MORE_ITEMS);
  EXPECT_EQ(object->GetOutputType(1, 0, &type), DMO_E_INVALIDSTREAMINDEX);

  std::memset(&type, 0xcc, sizeof type);
  ASSERT_EQ(object->GetOutputType(0, 0, &type), S_OK);
  EXPECT_EQ(type.majortype, MEDIATYPE_Audio);
  EXPECT_EQ(type.subtype, MEDIASUBTYPE_PCM);
  EXPECT_EQ(type.formattype, FORMAT_WaveFormatEx);
  ASSERT_EQ(type.cbFormat, 18u);
  const WAVEFORMATEX expected = Wave({2, 44100, 16});
  EXPECT_EQ(std::memcmp(type.pbFormat, &expected, 18), 0);
  MoFreeMediaType(&type);

  DMO_MEDIA_TYPE input = MediaType(Wave({1, 48000, 24}));
  ASSERT_EQ(object->SetInputType(0, &input, 0), S_OK);
  ASSERT_EQ(object->GetOutputType(0, 0, &type), S_OK);
  EXPECT_EQ(type.cbFormat, input.cbFormat);
  EXPECT_EQ(std::memcmp(type.pbFormat, input.pbFormat, input.cbFormat), 0);
  MoFreeMediaType(&type);
  MoFreeMediaType(&input);
}

// A format that the type check must refuse, made from 16-bit stereo.
struct Refusal {
  const char* what;
  void (*spoil)(DMO_MEDIA_TYPE&, WAVEFORMATEX&);
};

class TypeRefusalTest : public DmoTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(TypeRefusalTest, IsNotAccepted) {
  WAVEFORMATEX wave = Wave({2, 44100, 16});
  DMO_MEDIA_TYPE type = MediaType(wave);
  GetParam().spoil(type, wave);
  if (type.pbFormat != nullptr && type.cbFormat >= 18) std::memcpy(type.pbFormat, &wave, 18);
  EXPECT_EQ(object->SetInputType(0, &type, DMO_SET_TYPEF_TEST_ONLY), DMO_E_TYPE_NOT_ACCEPTED) << GetParam().what;
  EXPECT_EQ(object->SetInputType(0, &type, 0), DMO_E_TYPE_NOT_ACCEPTED) << GetParam().what;
  DMO_MEDIA_TYPE current;
  EXPECT_EQ(object->GetInputCurrentType(0, &current), DMO_E_TYPE_NOT_SET);
  if (type.pbFormat != nullptr) MoFreeMediaType(&type);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, TypeRefusalTest,
    ::testing::Values(
        Refusal{"32-bit", [](DMO_MEDIA_TYPE&, WAVEFORMATEX& w) { w.wBitsPerSample = 32, w.nBlockAlign = 8, w.nAvgBytesPerSec = 44100 * 8; }},
        Refusal{"block of 3", [](DMO_MEDIA_TYPE&, WAVEFORMATEX& w) { w.nBlockAlign = 3; }},
        Refusal{"byte rate", [](DMO_MEDIA_TYPE&, WAVEFORMATEX& w) { w.nAvgBytesPerSec += 1; }},
        Refusal{"float", [](DMO_MEDIA_TYPE& t, WAVEFORMATEX&) { t.subtype = MEDIASUBTYPE_IEEE_FLOAT; }},
        Refusal{"video", [](DMO_MEDIA_TYPE& t, WAVEFORMATEX&) { t.majortype = MEDIATYPE_Video; }},
        Refusal{"format type", [](DMO_MEDIA_TYPE& t, WAVEFORMATEX&) { t.formattype = FORMAT_None; }},
        Refusal{"short format", [](DMO_MEDIA_TYPE& t, WAVEFORMATEX&) { t.cbFormat = 16; }},
        Refusal{"tag", [](DMO_MEDIA_TYPE&, WAVEFORMATEX& w) { w.wFormatTag = 3; }},
        Refusal{"no channel", [](DMO_MEDIA_TYPE&, WAVEFORMATEX& w) { w.nChannels = 0, w.nBlockAlign = 0, w.nAvgBytesPerSec = 0; }},
        Refusal{"three channels", [](DMO_MEDIA_TYPE&, WAVEFORMATEX& w) { w.nChannels = 3, w.nBlockAlign = 6, w.nAvgBytesPerSec = 44100 * 6; }},
        Refusal{"eight channels of 24 bits", [](DMO_MEDIA_TYPE&, WAVEFORMATEX& w) { w.nChannels = 8, w.wBitsPerSample = 24, w.nBlockAlign = 24, w.nAvgBytesPerSec = 44100 * 24; }}));

TEST_F(DmoTest, NullFormatBlockIsRefused) {
  DMO_MEDIA_TYPE type = MediaType(Wave({2, 44100, 16}));
  BYTE* format = type.pbFormat;
  type.pbFormat = nullptr;
  EXPECT_EQ(object->SetInputType(0, &type, 0), DMO_E_TYPE_NOT_ACCEPTED);
  type.pbFormat = format;
  MoFreeMediaType(&type);
}

TEST_F(DmoTest, SetTypeArgumentsAreCheckedInOrder) {
  DMO_MEDIA_TYPE type = MediaType(Wave({2, 44100, 16}));
  EXPECT_EQ(object->SetInputType(1, &type, 0), DMO_E_INVALIDSTREAMINDEX);
  EXPECT_EQ(object->SetInputType(0, nullptr, 0), E_POINTER);
  EXPECT_EQ(object->SetInputType(0, &type, 3), E_INVALIDARG);
  EXPECT_EQ(object->SetInputType(0, &type, 4), E_INVALIDARG);
  EXPECT_EQ(object->SetOutputType(0, nullptr, 3), E_INVALIDARG);
  EXPECT_EQ(object->SetInputType(0, &type, DMO_SET_TYPEF_TEST_ONLY), S_OK);
  DMO_MEDIA_TYPE current;
  EXPECT_EQ(object->GetInputCurrentType(0, &current), DMO_E_TYPE_NOT_SET);  // a test sets nothing
  EXPECT_EQ(object->SetInputType(0, &type, 0), S_OK);
  EXPECT_EQ(object->GetInputCurrentType(1, &current), DMO_E_INVALIDSTREAMINDEX);
  EXPECT_EQ(object->GetInputCurrentType(0, nullptr), E_POINTER);
  ASSERT_EQ(object->GetInputCurrentType(0, &current), S_OK);
  EXPECT_EQ(std::memcmp(current.pbFormat, type.pbFormat, type.cbFormat), 0);
  MoFreeMediaType(&current);
  EXPECT_EQ(object->GetOutputCurrentType(0, &current), DMO_E_TYPE_NOT_SET);
  EXPECT_EQ(object->SetInputType(0, nullptr, DMO_SET_TYPEF_CLEAR), S_OK);
  EXPECT_EQ(object->GetInputCurrentType(0, &current), DMO_E_TYPE_NOT_SET);
  MoFreeMediaType(&type);
}

TEST_F(DmoTest, OutputMustMatchTheInputByteForByte) {
  ASSERT_EQ(object->SetInputType(0, nullptr, DMO_SET_TYPEF_CLEAR), S_OK);
  DMO_MEDIA_TYPE input = MediaType(Wave({2, 44100, 16}));
  ASSERT_EQ(object->SetInputType(0, &input, 0), S_OK);
  DMO_MEDIA_TYPE other = MediaType(Wave({2, 48000, 16}));
  EXPECT_EQ(object->SetOutputType(0, &other, 0), DMO_E_TYPE_NOT_ACCEPTED);
  MoFreeMediaType(&other);
  WAVEFORMATEX extended = Wave({2, 44100, 16});
  extended.cbSize = 22;
  other = MediaType(extended, 40);
  EXPECT_EQ(object->SetOutputType(0, &other, 0), DMO_E_TYPE_NOT_ACCEPTED);
  MoFreeMediaType(&other);
  EXPECT_EQ(object->SetOutputType(0, &input, 0), S_OK);
  MoFreeMediaType(&input);
}

TEST_F(DmoTest, ExtensibleFormatsAreReadByTheirFirst18Bytes) {
  WAVEFORMATEX wave = Wave({2, 96000, 24});
  wave.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  wave.cbSize = 22;
  DMO_MEDIA_TYPE type = MediaType(wave, 40);  // SubFormat and valid bits left zero
  EXPECT_EQ(object->SetInputType(0, &type, 0), S_OK);
  EXPECT_EQ(object->SetOutputType(0, &type, 0), S_OK);
  DWORD size = 0, lookahead = 0, alignment = 0;
  EXPECT_EQ(object->GetInputSizeInfo(0, &size, &lookahead, &alignment), S_OK);
  EXPECT_EQ(size, 6u);
  MoFreeMediaType(&type);
}

TEST_F(DmoTest, ZeroRateFailsAtCompletionAndLeavesThatStreamUnset) {
  DMO_MEDIA_TYPE type = MediaType(Wave({2, 0, 16}));
  ASSERT_EQ(object->SetInputType(0, &type, 0), S_OK);
  EXPECT_EQ(object->SetOutputType(0, &type, 0), E_FAIL);
  DMO_MEDIA_TYPE current;
  EXPECT_EQ(object->GetOutputCurrentType(0, &current), DMO_E_TYPE_NOT_SET);
  ASSERT_EQ(object->GetInputCurrentType(0, &current), S_OK);
  MoFreeMediaType(&current);
  DWORD flags = 0xcc;
  EXPECT_EQ(object->GetInputStatus(0, &flags), S_OK);
  EXPECT_EQ(flags, 0u);  // not ready
  MoFreeMediaType(&type);
}

TEST_F(DmoTest, SizesNeedBothTypes) {
  DWORD size = 0xcc, lookahead = 0xcc, alignment = 0xcc;
  EXPECT_EQ(object->GetInputSizeInfo(0, nullptr, &lookahead, &alignment), E_POINTER);
  EXPECT_EQ(object->GetInputSizeInfo(0, &size, nullptr, &alignment), E_POINTER);
  EXPECT_EQ(object->GetOutputSizeInfo(0, &size, nullptr), E_POINTER);
  DMO_MEDIA_TYPE type = MediaType(Wave({2, 44100, 24}));
  ASSERT_EQ(object->SetInputType(0, &type, 0), S_OK);
  EXPECT_EQ(object->GetInputSizeInfo(0, &size, &lookahead, &alignment), DMO_E_TYPE_NOT_SET);
  ASSERT_EQ(object->SetOutputType(0, &type, 0), S_OK);
  EXPECT_EQ(object->GetInputSizeInfo(1, &size, &lookahead, &alignment), DMO_E_INVALIDSTREAMINDEX);
  EXPECT_EQ(object->GetInputSizeInfo(0, &size, &lookahead, &alignment), S_OK);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(lookahead, 0u);
  EXPECT_EQ(alignment, 1u);
  size = alignment = 0xcc;
  EXPECT_EQ(object->GetOutputSizeInfo(0, &size, &alignment), S_OK);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(alignment, 1u);
  MoFreeMediaType(&type);
}

class FormatSweepTest : public DmoTest,
                        public ::testing::WithParamInterface<std::tuple<uint32_t, uint16_t, uint16_t>> {};

TEST_P(FormatSweepTest, EveryRateDepthAndLayoutIsAccepted) {
  const auto [rate, bits, channels] = GetParam();
  ASSERT_EQ(SetTypes(object, {channels, rate, bits}), S_OK);
  DWORD size = 0, alignment = 0;
  EXPECT_EQ(object->GetOutputSizeInfo(0, &size, &alignment), S_OK);
  EXPECT_EQ(size, static_cast<DWORD>(bits / 8 * channels));
  DWORD flags = 0;
  EXPECT_EQ(object->GetInputStatus(0, &flags), S_OK);
  EXPECT_EQ(flags, static_cast<DWORD>(DMO_INPUT_STATUSF_ACCEPT_DATA));
}

INSTANTIATE_TEST_SUITE_P(RatesDepthsChannels, FormatSweepTest,
                         ::testing::Combine(::testing::Values(8000u, 11025u, 22050u, 32000u, 44100u, 48000u, 88200u,
                                                              96000u, 192000u),
                                            ::testing::Values<uint16_t>(8, 16, 24),
                                            ::testing::Values<uint16_t>(1, 2)));

TEST_F(DmoTest, LockIsHeldAcrossCallsAndShutsOutOtherThreads) {
  EXPECT_EQ(object->Lock(0), E_UNEXPECTED);  // not held
  ASSERT_EQ(object->Lock(1), S_OK);
  EXPECT_EQ(object->Lock(1), S_OK);  // recursive
  std::atomic<bool> done{false};
  std::thread other([&] {
    DWORD inputs = 0, outputs = 0;
    object->GetStreamCount(&inputs, &outputs);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(done);
  EXPECT_EQ(object->Lock(0), S_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(done);
  EXPECT_EQ(object->Lock(0), S_OK);
  other.join();
  EXPECT_TRUE(done);
}

TEST_F(DmoTest, NamesThePropertyPage) {
  ISpecifyPropertyPages* pages = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void**>(&pages)), S_OK);
  EXPECT_EQ(pages->GetPages(nullptr), E_POINTER);
  CAUUID list{};
  ASSERT_EQ(pages->GetPages(&list), S_OK);
  ASSERT_EQ(list.cElems, 1u);
  EXPECT_EQ(list.pElems[0], CLSID_CVeltaneProp);
  CoTaskMemFree(list.pElems);
  pages->Release();
}

TEST_F(DmoTest, EachObjectHasItsOwnProcessingObjectThatOutlivesIt) {
  IMediaObject* second = module.Create<IMediaObject>();
  ASSERT_NE(second, nullptr);
  auto filterOf = [](IMediaObject* effect) {
    INoiseReducFilterSource* source = nullptr;
    INoiseReducFilter* filter = nullptr;
    EXPECT_EQ(effect->QueryInterface(IID_INoiseReducFilterSource, reinterpret_cast<void**>(&source)), S_OK);
    EXPECT_EQ(source->GetNoiseReducFilter(nullptr), E_POINTER);
    EXPECT_EQ(source->GetNoiseReducFilter(&filter), S_OK);
    source->Release();
    return filter;
  };
  INoiseReducFilter* first = filterOf(object);
  INoiseReducFilter* other = filterOf(second);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(first, other);
  // The processing object is its own COM object, not part of the effect's identity.
  void* out = reinterpret_cast<void*>(0xcc);
  EXPECT_EQ(first->QueryInterface(IID_IMediaObject, &out), E_NOINTERFACE);

  IMediaParams* params = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IMediaParams, reinterpret_cast<void**>(&params)), S_OK);
  ASSERT_EQ(params->SetParam(3, 16.0f), S_OK);
  params->Release();
  BYTE bypass = 0xcc;
  EXPECT_EQ(first->GetFullBypass(&bypass), S_OK);
  EXPECT_EQ(bypass, 0);
  EXPECT_EQ(other->GetFullBypass(&bypass), S_OK);
  EXPECT_EQ(bypass, 1);  // the second effect is undisturbed

  EXPECT_EQ(second->Release(), 0u);
  EXPECT_EQ(other->SetClickThreshold(7.0f), S_OK);  // still alive with the effect gone
  float threshold = 0;
  EXPECT_EQ(other->GetClickThreshold(&threshold), S_OK);
  EXPECT_FLOAT_EQ(threshold, 7.0f);
  EXPECT_EQ(module.canUnloadNow(), S_FALSE);
  EXPECT_EQ(other->Release(), 0u);
  EXPECT_EQ(first->Release(), 1u);  // the effect object keeps its own
}

}  // namespace
}  // namespace veltane
