// veltane.dll's effect object. First its COM boundary: every method of every
// interface with null pointers, bad streams, indices and flags and values
// out of range gives its documented result and nothing crashes (one table
// of rows per interface, run in order on one object as a host would call
// them). Then what the calls do: types, streaming with any room and piece
// size, in-place processing, cloning, envelopes, its own processing object,
// a thousand lifetimes and hosts streaming from several threads.
#include <cmath>
#include <random>
#include <thread>

#include "DmoTestSupport.h"

#include <psapi.h>

namespace veltane {
namespace {

using testing::Check;
using testing::ComPtr;
using testing::MediaBuffer;
using testing::MediaType;

std::vector<uint8_t> Noise(size_t bytes) {
  std::mt19937 random(static_cast<uint32_t>(bytes));
  std::vector<uint8_t> data(bytes);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  return data;
}

// A new effect object and its processing object for each test.
struct DmoTest : testing::DllTest {
  void SetUp() override {
    DllTest::SetUp();
    mo = testing::Create<IMediaObject>();
    ASSERT_TRUE(mo && SUCCEEDED(mo.As(&source)) && SUCCEEDED(source->GetNoiseReducFilter(&filter)));
  }
  void TearDown() override {
    filter.Reset(), source.Reset();
    if (mo) {
      EXPECT_EQ(mo.Reset(), 0u);
    }
    DllTest::TearDown();
  }
  template <typename T>
  ComPtr<T> As() {
    ComPtr<T> itf;
    EXPECT_EQ(mo.As(&itf), S_OK);
    return itf;
  }
  ComPtr<IMediaObject> mo;
  ComPtr<INoiseReducFilterSource> source;
  ComPtr<INoiseReducFilter> filter;
  DWORD a = 0xcc, b = 0xcc, c = 0xcc;
};

TEST_F(DmoTest, ModuleAndClassFactories) {
  ComPtr<IClassFactory> factory, pageFactory;
  void* out = nullptr;
  auto& dll = testing::dll;
  // The cache keeps the first reference of a factory.
  auto drop = [](ComPtr<IClassFactory>& f) { return f.Reset() == 1 ? S_OK : E_FAIL; };
  Check({ROW(E_POINTER, dll.getClassObject(CLSID_CVeltane, IID_IClassFactory, nullptr)),
         ROW(CLASS_E_CLASSNOTAVAILABLE, dll.getClassObject(IID_IUnknown, IID_IClassFactory, &out)),
         ROW(E_NOINTERFACE, dll.getClassObject(CLSID_CVeltane, IID_IMediaObject, &out)),
         ROW(S_OK, dll.getClassObject(CLSID_CVeltane, IID_IClassFactory, &factory)),
         ROW(S_OK, dll.getClassObject(CLSID_CVeltaneProp, IID_IClassFactory, &pageFactory)),
         ROW(E_POINTER, factory->QueryInterface(IID_IUnknown, nullptr)),
         ROW(E_NOINTERFACE, factory->QueryInterface(IID_IMediaObject, &out)),
         ROW(E_POINTER, factory->CreateInstance(nullptr, IID_IMediaObject, nullptr)),
         ROW(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &out)),
         ROW(CLASS_E_NOAGGREGATION, factory->CreateInstance(mo.Get(), IID_IMediaObject, &out)),
         ROW(CLASS_E_NOAGGREGATION, pageFactory->CreateInstance(mo.Get(), IID_IUnknown, &out)),
         ROW(E_NOINTERFACE, pageFactory->CreateInstance(nullptr, IID_IMediaObject, &out)),
         ROW(E_POINTER, mo->QueryInterface(IID_IMediaObject, nullptr)),
         ROW(E_NOINTERFACE, mo->QueryInterface(IID_INoiseReducFilter, &out)),
         ROW(E_NOINTERFACE, mo->QueryInterface(IID_IPropertyPage, &out))},
        &out);
  filter.Reset(), source.Reset(), mo.Reset();
  Check({ROW(S_FALSE, dll.canUnloadNow()),  // references beyond the caches'
         ROW(S_OK, drop(factory)),
         ROW(S_OK, drop(pageFactory)),
         ROW(S_OK, dll.canUnloadNow()),
         ROW(S_OK, dll.getClassObject(CLSID_CVeltane, IID_IClassFactory, &factory)),
         ROW(S_OK, factory->LockServer(TRUE)),
         ROW(S_OK, drop(factory)),
         ROW(S_FALSE, dll.canUnloadNow()),  // the server lock alone
         ROW(S_OK, dll.getClassObject(CLSID_CVeltane, IID_IClassFactory, &factory)),
         ROW(S_OK, factory->LockServer(FALSE)),
         ROW(S_OK, drop(factory))});
}

TEST_F(DmoTest, MediaObject) {
  DMO_MEDIA_TYPE mono24 = MediaType({1, 48000, 24}), zeroRate = MediaType({2, 0, 16}), preferred, follows, current;
  MediaBuffer in(Noise(400)), oneByte({1}), failing({1, 2, 3, 4}), overfull({1, 2, 3, 4}), small({}, 2),
      full({}, 400);
  failing.failure = E_FAIL;
  overfull.length = 8;  // beyond its maximum
  DMO_OUTPUT_DATA_BUFFER none{}, tooSmall{&small, 0, 0, 0}, output{&full, 0, 0, 0}, bad{&failing, 0, 0, 0},
      beyond{&overfull, 0, 0, 0};
  DWORD inputs = 0, outputs = 0, inFlags = 0xcc, outFlags = 0xcc, size = 0, lookahead = 0xcc, alignment = 0;
  Check({ROW(E_POINTER, mo->GetStreamCount(&a, nullptr)),
         ROW(S_OK, mo->GetStreamCount(&inputs, &outputs)),
         ROW(E_POINTER, mo->GetInputStreamInfo(1, nullptr)),  // the pointer first
         ROW(DMO_E_INVALIDSTREAMINDEX, mo->GetInputStreamInfo(1, &a)),
         ROW(S_OK, mo->GetInputStreamInfo(0, &inFlags)),
         ROW(E_POINTER, mo->GetOutputStreamInfo(0, nullptr)),
         ROW(DMO_E_INVALIDSTREAMINDEX, mo->GetOutputStreamInfo(1, &a)),
         ROW(S_OK, mo->GetOutputStreamInfo(0, &outFlags)),
         ROW(DMO_E_INVALIDSTREAMINDEX, mo->GetInputType(1, 0, &current)),
         ROW(DMO_E_NO_MORE_ITEMS, mo->GetInputType(0, 1, &current)),
         ROW(S_OK, mo->GetInputType(0, 0, nullptr)),
         ROW(DMO_E_NO_MORE_ITEMS, mo->GetOutputType(0, 1, nullptr)),
         ROW(S_OK, mo->GetOutputType(0, 0, &preferred)),
         ROW(DMO_E_INVALIDSTREAMINDEX, mo->SetInputType(1, &mono24, 0)),
         ROW(E_POINTER, mo->SetInputType(0, nullptr, 0)),
         ROW(E_POINTER, mo->SetOutputType(0, nullptr, DMO_SET_TYPEF_TEST_ONLY)),
         ROW(E_INVALIDARG, mo->SetInputType(0, &mono24, 3)),
         ROW(E_INVALIDARG, mo->SetOutputType(0, nullptr, 3)),
         ROW(E_INVALIDARG, mo->SetOutputType(0, &mono24, 4)),
         ROW(S_OK, mo->SetInputType(0, nullptr, DMO_SET_TYPEF_CLEAR)),  // nothing to clear
         ROW(S_OK, mo->SetInputType(0, &mono24, DMO_SET_TYPEF_TEST_ONLY)),
         ROW(DMO_E_TYPE_NOT_SET, mo->GetInputCurrentType(0, &current)),  // a test sets nothing
         ROW(DMO_E_INVALIDSTREAMINDEX, mo->GetOutputCurrentType(1, &current)),
         ROW(E_POINTER, mo->GetInputSizeInfo(0, &a, nullptr, &c)),
         ROW(E_POINTER, mo->GetOutputSizeInfo(1, nullptr, &c)),
         ROW(DMO_E_TYPE_NOT_SET, mo->GetInputSizeInfo(0, &a, &b, &c)),
         ROW(E_NOTIMPL, mo->GetInputMaxLatency(0, nullptr)),
         ROW(E_NOTIMPL, mo->SetInputMaxLatency(1, -1)),
         ROW(DMO_E_INVALIDSTREAMINDEX, mo->Discontinuity(1)),
         ROW(S_OK, mo->Discontinuity(0)),
         ROW(S_OK, mo->AllocateStreamingResources()),
         ROW(S_OK, mo->FreeStreamingResources()),
         ROW(E_UNEXPECTED, mo->Lock(0)),  // not held
         ROW(S_OK, mo->Lock(1)),
         ROW(S_OK, mo->Lock(-1)),  // recursive
         ROW(S_OK, mo->Lock(0)),
         ROW(S_OK, mo->Lock(0)),
         ROW(E_POINTER, mo->GetInputStatus(1, nullptr)),
         ROW(DMO_E_INVALIDSTREAMINDEX, mo->GetInputStatus(1, &a)),
         ROW(DMO_E_INVALIDSTREAMINDEX, mo->ProcessInput(1, &in, 0, 0, 0)),
         ROW(DMO_E_TYPE_NOT_SET, mo->ProcessInput(0, &in, 0, 0, 0)),
         ROW(E_POINTER, mo->ProcessOutput(0, 1, &output, nullptr)),
         ROW(E_INVALIDARG, mo->ProcessOutput(0, 2, &output, &a)),
         ROW(E_POINTER, mo->ProcessOutput(0, 1, nullptr, &a)),
         ROW(DMO_E_TYPE_NOT_SET, mo->ProcessOutput(0, 1, &output, &a)),
         ROW(S_OK, mo->Flush()),
         // A rate of 0 passes the check, not the completion.
         ROW(S_OK, mo->SetInputType(0, &zeroRate, 0)),
         ROW(E_FAIL, mo->SetOutputType(0, &zeroRate, 0)),
         ROW(DMO_E_TYPE_NOT_SET, mo->GetOutputCurrentType(0, &current)),
         ROW(S_OK, mo->SetInputType(0, &mono24, 0)),
         ROW(S_OK, mo->GetOutputType(0, 0, &follows)),
         ROW(E_POINTER, mo->GetInputCurrentType(0, nullptr)),
         ROW(DMO_E_TYPE_NOT_SET, mo->GetOutputSizeInfo(0, &a, &c)),  // one type only
         ROW(DMO_E_TYPE_NOT_SET, mo->ProcessInput(0, &in, 0, 0, 0)),
         ROW(S_OK, mo->SetOutputType(0, &mono24, 0)),
         ROW(DMO_E_INVALIDSTREAMINDEX, mo->GetInputSizeInfo(1, &a, &b, &c)),
         ROW(S_OK, mo->GetInputSizeInfo(0, &size, &lookahead, &alignment)),
         ROW(E_POINTER, mo->ProcessInput(0, nullptr, 0, 0, 0)),
         ROW(E_FAIL, mo->ProcessInput(0, &failing, 0, 0, 0)),   // the buffer's failure
         ROW(S_FALSE, mo->ProcessInput(0, &oneByte, 0, 0, 0)),  // less than a frame
         ROW(S_FALSE, mo->ProcessOutput(0, 1, &output, &a)),    // nothing held
         ROW(S_OK, mo->ProcessInput(0, &in, DMO_INPUT_DATA_BUFFERF_TIME, -1, -1)),
         ROW(DMO_E_NOTACCEPTING, mo->ProcessInput(0, &in, 0, 0, 0)),
         ROW(E_INVALIDARG, mo->ProcessOutput(0, 1, &tooSmall, &a)),  // less than a frame of room
         ROW(E_INVALIDARG, mo->ProcessOutput(0, 1, &beyond, &a)),
         ROW(E_FAIL, mo->ProcessOutput(0, 1, &bad, &a)),
         ROW(S_OK, mo->ProcessOutput(DMO_PROCESS_OUTPUT_DISCARD_WHEN_NO_BUFFER, 1, &none, &a)),
         ROW(S_OK, mo->Flush())});
  EXPECT_EQ(std::tuple(inputs, outputs, inFlags, outFlags), std::tuple(1ul, 1ul, 0ul, 0ul));
  EXPECT_EQ(std::tuple(size, lookahead, alignment), std::tuple(3ul, 0ul, 1ul));
  EXPECT_EQ(none.dwStatus, static_cast<DWORD>(DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE));
  for (auto* buffer : {&in, &oneByte, &failing, &overfull, &small, &full}) EXPECT_EQ(buffer->refs, 1u);
  // The preferred type: 16-bit stereo at 44100 Hz until the other stream has one.
  DMO_MEDIA_TYPE stereo16 = MediaType({});
  for (auto [got, want] : {std::pair{&preferred, &stereo16}, {&follows, &mono24}}) {
    EXPECT_TRUE(got->majortype == MEDIATYPE_Audio && got->subtype == MEDIASUBTYPE_PCM &&
                got->formattype == FORMAT_WaveFormatEx && got->cbFormat == want->cbFormat &&
                std::memcmp(got->pbFormat, want->pbFormat, want->cbFormat) == 0);
    MoFreeMediaType(got), MoFreeMediaType(want);
  }
  MoFreeMediaType(&zeroRate);
}

TEST_F(DmoTest, InPlaceParametersAndSettings) {
  auto ip = As<IMediaObjectInPlace>();
  auto pi = As<IMediaParamInfo>();
  auto mp = As<IMediaParams>();
  auto es = As<IEffectSettings>();
  auto pages = As<ISpecifyPropertyPages>();
  BYTE data[8] = {};
  MP_PARAMINFO info;
  WCHAR* text = nullptr;
  GUID format;
  MP_TIMEDATA timeData;
  float value;
  REFERENCE_TIME latency = -1;
  MP_ENVELOPE_SEGMENT ramp{0, 1000, 3.0f, 50.0f, MP_CURVE_LINEAR, 0}, noNumber{0, 1000, 3.0f, NAN, MP_CURVE_LINEAR, 0};
  const EffectSettings badOptions{4.0f, 0.5f, 0.5f, 32}, badLevel{5.0f, 2.0f, 0.25f, 0};
  CAUUID pageList{};
  Check({ROW(E_POINTER, ip->GetLatency(nullptr)),
         ROW(S_OK, ip->GetLatency(&latency)),
         ROW(E_POINTER, ip->Clone(nullptr)),
         ROW(DMO_E_TYPE_NOT_SET, ip->Process(sizeof data, data, 0, 0)),
         ROW(S_OK, testing::SetTypes(mo.Get(), {})),
         ROW(S_OK, ip->Process(0, nullptr, 0, 0)),
         ROW(S_OK, ip->Process(3, data, 0, 0)),  // less than a frame
         ROW(E_POINTER, ip->Process(sizeof data, nullptr, 0, 0)),
         ROW(S_OK, ip->Process(sizeof data, data, -1, 0xffffffff)),
         ROW(E_POINTER, pi->GetParamCount(nullptr)),
         ROW(E_POINTER, pi->GetParamInfo(0, nullptr)),
         ROW(E_INVALIDARG, pi->GetParamInfo(4, &info)),
         ROW(E_INVALIDARG, pi->GetParamInfo(0xffffffff, &info)),
         ROW(E_POINTER, pi->GetParamText(0, nullptr)),
         ROW(E_INVALIDARG, pi->GetParamText(4, &text)),
         ROW(E_POINTER, pi->GetNumTimeFormats(nullptr)),
         ROW(E_POINTER, pi->GetSupportedTimeFormat(0, nullptr)),
         ROW(E_INVALIDARG, pi->GetSupportedTimeFormat(1, &format)),
         ROW(E_POINTER, pi->GetCurrentTimeFormat(nullptr, &timeData)),
         ROW(E_POINTER, pi->GetCurrentTimeFormat(&format, nullptr)),
         ROW(E_POINTER, mp->GetParam(0, nullptr)),
         ROW(E_INVALIDARG, mp->GetParam(4, &value)),
         ROW(E_INVALIDARG, mp->SetParam(4, 0.0f)),
         ROW(E_INVALIDARG, mp->SetParam(1, 1.9f)),
         ROW(E_INVALIDARG, mp->SetParam(1, INFINITY)),
         ROW(E_INVALIDARG, mp->SetParam(0, 1.01f)),
         ROW(E_INVALIDARG, mp->SetParam(0, -0.01f)),
         ROW(E_INVALIDARG, mp->SetParam(2, NAN)),
         ROW(E_INVALIDARG, mp->SetParam(3, 31.5f)),
         ROW(E_INVALIDARG, mp->SetParam(3, -1.0f)),
         ROW(S_OK, mp->SetParam(1, 2.0f)),
         ROW(S_OK, mp->SetParam(1, 20.0f)),
         ROW(E_POINTER, mp->AddEnvelope(1, 0, nullptr)),
         ROW(E_INVALIDARG, mp->AddEnvelope(4, 1, &ramp)),
         ROW(E_INVALIDARG, mp->AddEnvelope(1, 1, &noNumber)),
         ROW(S_OK, mp->AddEnvelope(1, 0, &ramp)),
         ROW(E_INVALIDARG, mp->FlushEnvelope(1, 10, 10)),
         ROW(E_INVALIDARG, mp->FlushEnvelope(1, 10, 5)),
         ROW(E_INVALIDARG, mp->FlushEnvelope(4, 0, 10)),
         ROW(S_OK, mp->FlushEnvelope(1, 0, 10)),
         ROW(E_INVALIDARG, mp->SetTimeFormat(kGuidTimeMusic, 0)),
         ROW(S_OK, mp->SetTimeFormat(kGuidTimeReference, 5)),
         ROW(E_POINTER, es->SetSettings(nullptr)),
         ROW(E_POINTER, es->GetSettings(nullptr)),
         ROW(E_POINTER, es->GetClickMeter(nullptr)),
         ROW(S_OK, es->GetClickMeter(&a)),
         ROW(E_INVALIDARG, es->SetSettings(&badOptions)),
         ROW(E_INVALIDARG, es->SetSettings(&badLevel)),
         ROW(E_POINTER, pages->GetPages(nullptr)),
         ROW(S_OK, pages->GetPages(&pageList)),
         ROW(E_POINTER, source->GetNoiseReducFilter(nullptr))});
  EXPECT_EQ(latency, 0);
  EXPECT_LE(a, 100u);
  ASSERT_EQ(pageList.cElems, 1u);
  EXPECT_EQ(pageList.pElems[0], CLSID_CVeltaneProp);
  CoTaskMemFree(pageList.pElems);
  // Settings stop at the first bad field: what came before it landed.
  const EffectSettings expected{5.0f, 0.5f, 0.5f, 23};
  EffectSettings read;
  EXPECT_EQ(es->GetSettings(&read), S_OK);
  EXPECT_EQ(std::memcmp(&read, &expected, sizeof read), 0);
}

// The processing object's own interface takes any value, and the effect
// streams on.
TEST_F(DmoTest, ProcessingObjectTakesAnyValue) {
  using Filter = INoiseReducFilter;
  for (auto get : {&Filter::GetBypassDeclick, &Filter::GetBypassDenoise, &Filter::GetFullBypass,
                   &Filter::GetOutputClicks, &Filter::GetAutoInputHissLevel}) {
    EXPECT_EQ((filter.Get()->*get)(nullptr), E_POINTER);
  }
  for (auto get : {&Filter::GetClickThreshold, &Filter::GetOutputHissLevel, &Filter::GetInputHissLevel}) {
    EXPECT_EQ((filter.Get()->*get)(nullptr), E_POINTER);
  }
  EXPECT_EQ(filter->GetClickMeter(nullptr), E_POINTER);
  ASSERT_EQ(testing::SetTypes(mo.Get(), {}), S_OK);
  for (float v : {NAN, INFINITY, -INFINITY, 1e30f, -1.0f}) {
    for (BYTE on : {0, 1, 0xff}) {
      Check({ROW(S_OK, filter->SetClickThreshold(v)), ROW(S_OK, filter->SetOutputHissLevel(v)),
             ROW(S_OK, filter->SetInputHissLevel(v)), ROW(S_OK, filter->SetFullBypass(on)),
             ROW(S_OK, filter->SetBypassDeclick(on)), ROW(S_OK, filter->SetBypassDenoise(on)),
             ROW(S_OK, filter->SetOutputClicks(on)), ROW(S_OK, filter->SetAutoInputHissLevel(on)),
             ROW(S_OK, filter->Reserved())});
      EXPECT_EQ(testing::Stream(mo.Get(), Noise(4 * 3000), {4 * 3000}, 4 * 4096).size() % 4, 0u);
    }
  }
  EXPECT_EQ(filter->ResetOutputHissLevel(), S_OK);
  float level = 0;
  EXPECT_EQ(filter->GetClickThreshold(&level), S_OK);
  EXPECT_EQ(level, 2.0f);  // the declicker keeps at least 2
}

// Refused formats are never stored: alone as input, or as output against a
// 16-bit stereo input.
TEST_F(DmoTest, RefusedFormatsAreNotStored) {
  using Spoil = void (*)(DMO_MEDIA_TYPE&, WAVEFORMATEX&);
  const std::pair<bool, Spoil> refusals[] = {
      {false, [](DMO_MEDIA_TYPE&, WAVEFORMATEX& w) { w.wBitsPerSample = 32, w.nBlockAlign = 8, w.nAvgBytesPerSec *= 2; }},
      {false, [](DMO_MEDIA_TYPE&, WAVEFORMATEX& w) { w.nBlockAlign = 3; }},
      {false, [](DMO_MEDIA_TYPE&, WAVEFORMATEX& w) { w.nAvgBytesPerSec += 1; }},
      {false, [](DMO_MEDIA_TYPE&, WAVEFORMATEX& w) { w.wFormatTag = WAVE_FORMAT_IEEE_FLOAT; }},
      {false, [](DMO_MEDIA_TYPE&, WAVEFORMATEX& w) { w.nChannels = 0, w.nBlockAlign = 0, w.nAvgBytesPerSec = 0; }},
      {false, [](DMO_MEDIA_TYPE&, WAVEFORMATEX& w) { w.nChannels = 3, w.nBlockAlign = 6, w.nAvgBytesPerSec *= 1.5; }},
      {false, [](DMO_MEDIA_TYPE& t, WAVEFORMATEX&) { t.subtype = MEDIASUBTYPE_IEEE_FLOAT; }},
      {false, [](DMO_MEDIA_TYPE& t, WAVEFORMATEX&) { t.majortype = MEDIATYPE_Video; }},
      {false, [](DMO_MEDIA_TYPE& t, WAVEFORMATEX&) { t.formattype = FORMAT_None; }},
      {false, [](DMO_MEDIA_TYPE& t, WAVEFORMATEX&) { t.cbFormat = 16; }},
      {false, [](DMO_MEDIA_TYPE& t, WAVEFORMATEX&) { t.pbFormat = nullptr; }},
      {true, [](DMO_MEDIA_TYPE&, WAVEFORMATEX& w) { w.nSamplesPerSec = 48000, w.nAvgBytesPerSec = 48000 * 4; }},
      {true, [](DMO_MEDIA_TYPE&, WAVEFORMATEX& w) { w.cbSize = 22; }}};
  DMO_MEDIA_TYPE good = MediaType({}), current;
  int row = 0;
  for (const auto& [asOutput, spoil] : refusals) {
    DMO_MEDIA_TYPE type = MediaType({}), spoiled = type;
    spoil(spoiled, *reinterpret_cast<WAVEFORMATEX*>(type.pbFormat));
    ASSERT_EQ(mo->SetInputType(0, asOutput ? &good : nullptr, asOutput ? 0 : DMO_SET_TYPEF_CLEAR), S_OK);
    const auto set = asOutput ? &IMediaObject::SetOutputType : &IMediaObject::SetInputType;
    const auto get = asOutput ? &IMediaObject::GetOutputCurrentType : &IMediaObject::GetInputCurrentType;
    EXPECT_EQ((mo.Get()->*set)(0, &spoiled, DMO_SET_TYPEF_TEST_ONLY), DMO_E_TYPE_NOT_ACCEPTED) << "refusal " << row;
    EXPECT_EQ((mo.Get()->*set)(0, &spoiled, 0), DMO_E_TYPE_NOT_ACCEPTED) << "refusal " << row++;
    EXPECT_EQ((mo.Get()->*get)(0, &current), DMO_E_TYPE_NOT_SET);
    MoFreeMediaType(&type);
  }
  MoFreeMediaType(&good);
}

// Every rate, depth, layout and tag: sizes of one frame, and in full bypass
// whole frames pass unchanged whatever pieces the input arrives in.
class FormatTest : public DmoTest, public ::testing::WithParamInterface<std::tuple<uint32_t, uint16_t, uint16_t, bool>> {};

TEST_P(FormatTest, CarriesPartialFramesThroughUnchanged) {
  const auto [rate, bits, channels, extensible] = GetParam();
  testing::PcmFormat format{channels, rate, bits};
  if (extensible) format.tag = WAVE_FORMAT_EXTENSIBLE, format.extraBytes = 22;
  ASSERT_EQ(testing::SetTypes(mo.Get(), format), S_OK);
  DWORD size = 0;
  EXPECT_EQ(mo->GetOutputSizeInfo(0, &size, &a), S_OK);
  EXPECT_EQ(size, bits / 8u * channels);
  const auto input = Noise(size * 1000 + 1);  // the last byte is a partial frame unless frames are single bytes
  const auto output = testing::Stream(mo.Get(), input, {1, 1001, 2, 5}, 4096);
  EXPECT_TRUE(output == std::vector(input.begin(), input.begin() + input.size() / size * size));
}

INSTANTIATE_TEST_SUITE_P(RatesDepthsLayouts, FormatTest,
                         ::testing::Combine(::testing::Values(8000u, 44100u, 96000u, 192000u),
                                            ::testing::Values<uint16_t>(8, 16, 24), ::testing::Values<uint16_t>(1, 2),
                                            ::testing::Bool()));

// Full bypass: each call takes half the room's worth of frames and appends
// them behind what the buffer holds; a timed input stamps every output with
// its time advanced by the frames already taken.
TEST_F(DmoTest, BypassDeliversHalfTheRoomPerCall) {
  ASSERT_EQ(testing::SetTypes(mo.Get(), {}), S_OK);
  const auto bytes = Noise(4000);
  const REFERENCE_TIME start = 123'456'789, later = start + 500 * 10'000'000LL / 44100;
  const DWORD sync = DMO_OUTPUT_DATA_BUFFERF_SYNCPOINT, incomplete = DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE;
  const struct { size_t held; HRESULT hr; DWORD flags; REFERENCE_TIME time; size_t from, to; } calls[] = {
      {100, S_OK, sync | incomplete, start, 0, 2000}, {0, S_OK, sync, later, 2000, 4000}, {0, S_FALSE, 0, -1, 0, 0}};
  for (const DWORD timed : {DWORD{DMO_INPUT_DATA_BUFFERF_TIME}, DWORD{0}}) {
    MediaBuffer in(bytes);
    ASSERT_EQ(mo->ProcessInput(0, &in, timed, start, 0), S_OK);
    for (const auto& call : calls) {
      std::vector<uint8_t> expected(call.held, 7);
      MediaBuffer out(expected, 4000);
      expected.insert(expected.end(), bytes.begin() + call.from, bytes.begin() + call.to);
      DMO_OUTPUT_DATA_BUFFER element{&out, 0xcc, -1, 0};
      EXPECT_EQ(mo->ProcessOutput(0, 1, &element, &a), call.hr);
      const bool stamped = timed && call.hr == S_OK;
      EXPECT_EQ(element.dwStatus, call.flags | (stamped ? DMO_OUTPUT_DATA_BUFFERF_TIME : 0));
      EXPECT_EQ(element.rtTimestamp, stamped ? call.time : -1);
      EXPECT_EQ(out.Data(), expected);
    }
    EXPECT_EQ(in.refs, 1u);
  }
}

// With processing on, every room of a frame or more makes progress, and the
// stream is the same as with ample rooms.
class RoomTest : public DmoTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(RoomTest, ActiveOutputIsTheSameWhateverTheRoom) {
  const auto input = Noise(4 * 30000);
  static const auto expected = [&] {
    auto reference = testing::Create<IMediaObject>();
    EXPECT_EQ(testing::SetTypes(reference.Get(), {}, 16.0f), S_OK);
    return testing::Stream(reference.Get(), input, {4 * 4410}, 4 * 65536);
  }();
  ASSERT_GT(expected.size(), input.size() / 2);
  ASSERT_EQ(testing::SetTypes(mo.Get(), {}, 16.0f), S_OK);
  EXPECT_TRUE(testing::Stream(mo.Get(), input, {4 * 4410}, 4 * GetParam()) == expected);
}

INSTANTIATE_TEST_SUITE_P(Frames, RoomTest, ::testing::Values(1u, 2u, 7u, 480u, 1023u, 1024u, 4096u));

// In place, full bypass leaves the buffer as it is; with processing on every
// frame is handed back, the chain's delay first, in silence. Parameters
// with an active envelope follow it at each call's time.
TEST_F(DmoTest, InPlaceHandsBackEveryFrameAndFollowsEnvelopes) {
  auto inPlace = As<IMediaObjectInPlace>();
  auto params = As<IMediaParams>();
  ASSERT_EQ(testing::SetTypes(mo.Get(), {}), S_OK);
  const auto input = Noise(4 * 3000);
  auto data = input;
  EXPECT_EQ(inPlace->Process(data.size(), data.data(), 0, 0), S_OK);
  EXPECT_EQ(data, input);
  MP_ENVELOPE_SEGMENT ramp{1000, 2000, 2.0f, 50.0f, MP_CURVE_LINEAR, 0};
  ASSERT_EQ(params->SetParam(3, 16.0f), S_OK);
  ASSERT_EQ(params->AddEnvelope(1, 1, &ramp), S_OK);
  float threshold = 0;
  for (const auto& [time, expected] : {std::pair(1500LL, 11.0f), std::pair(3000LL, 20.0f), std::pair(5000LL, 5.0f)}) {
    if (time == 5000) filter->SetClickThreshold(5.0f);  // past the end: no longer followed
    for (size_t at = 0; at < data.size(); at += 4 * 300) {
      EXPECT_EQ(inPlace->Process(4 * 300, data.data() + at, time, 0), S_OK);
    }
    EXPECT_EQ(filter->GetClickThreshold(&threshold), S_OK);
    EXPECT_EQ(threshold, expected) << "at " << time;  // 50 was clamped to 20
  }
  EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](uint8_t x) { return x == 0; }));
}

// A clone takes the parameters (the envelope added last reads back), both
// types and a processing object of its own.
TEST_F(DmoTest, CloneCopiesParametersAndTypes) {
  ASSERT_EQ(testing::SetTypes(mo.Get(), {1, 48000, 24}), S_OK);
  const EffectSettings chosen{7.5f, 0.25f, 0.75f, 9}, expected{7.5f, 0.25f, 0.9f, 9};
  ASSERT_EQ(As<IEffectSettings>()->SetSettings(&chosen), S_OK);
  MP_ENVELOPE_SEGMENT ramp{0, 1000, 0.1f, 0.9f, MP_CURVE_LINEAR, 0};
  ASSERT_EQ(As<IMediaParams>()->AddEnvelope(2, 1, &ramp), S_OK);
  ComPtr<IMediaObjectInPlace> clone;
  ASSERT_EQ(As<IMediaObjectInPlace>()->Clone(&clone), S_OK);
  ComPtr<IEffectSettings> settings;
  ComPtr<IMediaObject> object;
  EffectSettings read{};
  ASSERT_TRUE(SUCCEEDED(clone.As(&settings)) && SUCCEEDED(clone.As(&object)));
  EXPECT_EQ(settings->GetSettings(&read), S_OK);
  EXPECT_EQ(std::memcmp(&read, &expected, sizeof read), 0);
  const auto input = Noise(3 * 100);
  EXPECT_EQ(testing::Stream(object.Get(), input, {input.size()}, 4096), input);  // its types set, in full bypass
  EXPECT_EQ((settings.Reset(), object.Reset(), clone.Reset()), 0u);
}

// Two effects in one host each process with a processing object of their
// own, which lives on while someone (a property page) holds it.
TEST_F(DmoTest, EachEffectHasItsOwnProcessingObject) {
  auto second = testing::Create<IMediaObject>();
  ComPtr<INoiseReducFilterSource> secondSource;
  ComPtr<INoiseReducFilter> secondFilter;
  ASSERT_TRUE(second && SUCCEEDED(second.As(&secondSource)) &&
              SUCCEEDED(secondSource->GetNoiseReducFilter(&secondFilter)));
  EXPECT_NE(secondFilter.Get(), filter.Get());
  ASSERT_EQ(testing::SetTypes(mo.Get(), {}, 16.0f), S_OK);
  ASSERT_EQ(testing::SetTypes(second.Get(), {}), S_OK);
  const auto input = Noise(4 * 500);
  EXPECT_EQ(testing::Stream(mo.Get(), input, {input.size()}, 4096).size(), 0u);  // the chain fills first
  EXPECT_EQ(testing::Stream(second.Get(), input, {input.size()}, 4096), input);  // still in full bypass
  EXPECT_EQ((secondSource.Reset(), second.Reset()), 0u);
  EXPECT_EQ(secondFilter->SetClickThreshold(7.0f), S_OK);
  EXPECT_EQ(secondFilter.Reset(), 0u);
}

// An aggregated object hands its owner every reference and identity.
TEST_F(DmoTest, AggregationDelegatesToTheOwner) {
  struct Owner final : IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
      return iid == IID_IUnknown ? (*out = this, AddRef(), S_OK) : inner->QueryInterface(iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    IUnknown* inner = nullptr;
    ULONG refs = 1;
  } owner;
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(testing::dll.getClassObject(CLSID_CVeltane, IID_IClassFactory, &factory), S_OK);
  ASSERT_EQ(factory->CreateInstance(&owner, IID_IUnknown, reinterpret_cast<void**>(&owner.inner)), S_OK);
  EXPECT_EQ(owner.refs, 1u);  // the aggregate holds no reference on its owner
  ComPtr<IMediaParams> params;
  ComPtr<IUnknown> identity, marshal;
  ASSERT_EQ(owner.inner->QueryInterface(IID_IMediaParams, &params), S_OK);
  EXPECT_EQ(params.As(&identity), S_OK);
  EXPECT_EQ(identity.Get(), &owner);
  EXPECT_EQ(params->QueryInterface(IID_IMarshal, &marshal), S_OK);
  EXPECT_EQ(owner.refs, 4u);
  params.Reset(), identity.Reset(), marshal.Reset(), factory.Reset();
  EXPECT_EQ(owner.refs, 1u);
  EXPECT_EQ(owner.inner->Release(), 0u);
}

// A thousand create, stream and release cycles leave no memory behind.
TEST_F(DmoTest, AThousandLifetimesLeaveNothingBehind) {
  const auto input = Noise(4 * 4410);
  const auto privateBytes = [] {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    K32GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                            sizeof counters);
    return counters.PrivateUsage;
  };
  SIZE_T before = 0;
  for (int cycle = 0; cycle < 1100; ++cycle) {
    if (cycle == 100) before = privateBytes();
    auto object = testing::Create<IMediaObject>();
    ASSERT_EQ(testing::SetTypes(object.Get(), {}, 16.0f), S_OK);
    testing::Stream(object.Get(), input, {4 * 2205}, 4 * 1000);
    ASSERT_EQ(object.Reset(), 0u);
  }
  EXPECT_LT(privateBytes(), before + 4 * 1024 * 1024);
}

// Hosts streaming from several threads, each holding Lock across its calls,
// while another thread sets and reads parameters: no frame is lost or
// repeated, and nothing deadlocks.
TEST_F(DmoTest, ThreadsStreamingThroughLockKeepEveryFrame) {
  ASSERT_EQ(testing::SetTypes(mo.Get(), {}), S_OK);
  std::vector<uint8_t> input(4 * 40000), output;
  for (uint32_t n = 0; n < 40000; ++n) std::memcpy(&input[4 * n], &n, 4);  // each frame its number
  size_t next = 0;                                                         // under the object's lock
  std::atomic<bool> done{false};
  std::thread parameters([&] {
    auto settings = As<IEffectSettings>();
    auto params = As<IMediaParams>();
    for (int step = 0; !done; ++step) {
      EffectSettings read;
      EXPECT_EQ(params->SetParam(0, step % 100 / 100.0f), S_OK);
      EXPECT_EQ(settings->GetSettings(&read), S_OK);
      EXPECT_EQ(mo->GetInputStatus(0, &a), S_OK);
    }
  });
  std::vector<std::thread> hosts;
  for (size_t piece : {1001, 4 * 97, 37, 4096}) {
    hosts.emplace_back([&, piece] {
      for (bool more = true; more;) {
        mo->Lock(1);
        const size_t n = std::min(piece, input.size() - next);
        const auto out = testing::Stream(mo.Get(), {input.begin() + next, input.begin() + next + n}, {n}, 4 * 333);
        output.insert(output.end(), out.begin(), out.end());
        more = (next += n) < input.size();
        mo->Lock(0);
      }
    });
  }
  for (auto& host : hosts) host.join();
  done = true;
  parameters.join();
  EXPECT_TRUE(output == input);
}

}  // namespace
}  // namespace veltane
