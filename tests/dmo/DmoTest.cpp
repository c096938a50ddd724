// veltane.dll's effect object. First its COM boundary: every method of every
// interface with null pointers, bad streams, indices and flags and values out
// of range gives its documented result, and nothing crashes (a table per
// interface, a method's rows side by side, run in order on one object as a
// host would call them). Then what the calls do.
#include <cmath>
#include <random>
#include <thread>
#include <utility>

#include "DmoTestSupport.h"

#include <psapi.h>

namespace veltane {
namespace {

using namespace testing;  // the module, buffers, types, streaming and tables

std::vector<uint8_t> Noise(size_t bytes) {
  std::mt19937 random(static_cast<uint32_t>(bytes));
  std::vector<uint8_t> data(bytes);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  return data;
}

using DmoTest = EffectTest;

TEST_F(DmoTest, ModuleClassFactoriesAndAggregation) {
  ComPtr<IClassFactory> factory, page;
  void* out = nullptr;
  auto drop = [](ComPtr<IClassFactory>& f) { return f.Reset() == 1 ? S_OK : E_FAIL; };  // the cache keeps one
  Check({ROW(E_POINTER, dll.getClassObject(CLSID_CVeltane, IID_IClassFactory, nullptr)),
         ROW(CLASS_E_CLASSNOTAVAILABLE, dll.getClassObject(IID_IUnknown, IID_IClassFactory, &out)),
         ROW(E_NOINTERFACE, dll.getClassObject(CLSID_CVeltane, IID_IMediaObject, &out)),
         ROW(S_OK, dll.getClassObject(CLSID_CVeltane, IID_IClassFactory, &factory)),
         ROW(S_OK, dll.getClassObject(CLSID_CVeltaneProp, IID_IClassFactory, &page)),
         ROW(E_POINTER, factory->QueryInterface(IID_IUnknown, nullptr)),
         ROW(E_NOINTERFACE, factory->QueryInterface(IID_IMediaObject, &out)),
         ROW(E_POINTER, factory->CreateInstance(nullptr, IID_IMediaObject, nullptr)),
         ROW(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &out)),
         ROW(CLASS_E_NOAGGREGATION, factory->CreateInstance(mo.Get(), IID_IMediaObject, &out)),
         ROW(CLASS_E_NOAGGREGATION, page->CreateInstance(mo.Get(), IID_IUnknown, &out)),
         ROW(E_NOINTERFACE, page->CreateInstance(nullptr, IID_IMediaObject, &out)),
         ROW(E_POINTER, mo->QueryInterface(IID_IMediaObject, nullptr)),
         ROW(E_NOINTERFACE, mo->QueryInterface(IID_INoiseReducFilter, &out))},
        &out);
  // Aggregated, the effect hands its owner every reference and its identity.
  MediaBuffer owner({});
  ComPtr<IMediaParams> params;
  ComPtr<IUnknown> identity, marshal;
  ASSERT_EQ(factory->CreateInstance(&owner, IID_IUnknown, reinterpret_cast<void**>(&owner.inner)), S_OK);
  EXPECT_EQ(owner.refs, 1u);  // the aggregate holds no reference on its owner
  ASSERT_EQ(owner.inner->QueryInterface(IID_IMediaParams, &params), S_OK);
  EXPECT_TRUE(SUCCEEDED(params.As(&identity)) && identity.Get() == static_cast<IUnknown*>(&owner));
  EXPECT_EQ(params->QueryInterface(IID_IMarshal, &marshal), S_OK);
  EXPECT_EQ(owner.refs, 4u);
  params.Reset(), identity.Reset(), marshal.Reset();
  EXPECT_EQ(owner.refs, 1u);
  EXPECT_EQ(owner.inner->Release(), 0u);
  ReleaseAll();
  Check({ROW(S_FALSE, dll.canUnloadNow()), ROW(S_OK, drop(factory)), ROW(S_OK, drop(page)),
         ROW(S_OK, dll.canUnloadNow()), ROW(S_OK, dll.getClassObject(CLSID_CVeltane, IID_IClassFactory, &factory)),
         ROW(S_OK, factory->LockServer(TRUE)), ROW(S_OK, drop(factory)), ROW(S_FALSE, dll.canUnloadNow()),
         ROW(S_OK, dll.getClassObject(CLSID_CVeltane, IID_IClassFactory, &factory)),
         ROW(S_OK, factory->LockServer(FALSE)), ROW(S_OK, drop(factory))});
}

// Types the check refuses whatever the other stream holds: spoiled copies of
// 16-bit stereo at 44100 Hz.
std::vector<DMO_MEDIA_TYPE> Refused() {
  std::vector<DMO_MEDIA_TYPE> types(11);
  for (auto& type : types) type = MediaType();
  auto wave = [&](size_t i) { return reinterpret_cast<WAVEFORMATEX*>(types[i].pbFormat); };
  wave(0)->wBitsPerSample = 32, wave(0)->nBlockAlign = 8, wave(0)->nAvgBytesPerSec *= 2;
  wave(1)->nBlockAlign = 3, wave(2)->nAvgBytesPerSec += 1, wave(3)->wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  wave(4)->nChannels = 0, wave(4)->nBlockAlign = 0, wave(4)->nAvgBytesPerSec = 0;  // no channel
  wave(5)->nChannels = 3, wave(5)->nBlockAlign = 6, wave(5)->nAvgBytesPerSec = 44100 * 6;  // the chain takes 1 or 2
  types[6].subtype = MEDIASUBTYPE_IEEE_FLOAT, types[7].majortype = MEDIATYPE_Video, types[8].formattype = FORMAT_None;
  types[9].cbFormat = 16;
  CoTaskMemFree(std::exchange(types[10].pbFormat, nullptr));
  return types;
}

TEST_F(DmoTest, MediaObject) {
  auto refused = Refused();
  // otherRate and longer (its cbSize beyond the 18 bytes) are refused only against stereo16 input.
  DMO_MEDIA_TYPE mono24 = MediaType(1, 48000, 24), stereo16 = MediaType(), otherRate = MediaType(2, 48000),
                 longer = MediaType(2, 44100, 16, WAVE_FORMAT_PCM, 4), zeroRate = MediaType(2, 0, 16),
                 extensible = MediaType(2, 96000, 24, WAVE_FORMAT_EXTENSIBLE, 22), preferred, follows, type;
  MediaBuffer in(Noise(400)), byte({1}), failing({1, 2}), overfull({1, 2}), small({}, 2), room({}, 400);
  failing.failure = E_FAIL;
  overfull.length = 8;  // beyond its maximum
  DMO_OUTPUT_DATA_BUFFER none{}, tooSmall{&small, 0, 0, 0}, out{&room, 0, 0, 0}, bad{&failing, 0, 0, 0},
      beyond{&overfull, 0, 0, 0};
  DWORD inputs = 0, outputs = 0, inFlags = 9, outFlags = 9, size = 0, lookahead = 9, alignment = 0, accepting = 0,
        holding = 9;
  for (auto& t : refused) {
    for (const DWORD flags : {DWORD{0}, DWORD{DMO_SET_TYPEF_TEST_ONLY}}) {
      EXPECT_EQ(mo->SetInputType(0, &t, flags), DMO_E_TYPE_NOT_ACCEPTED) << &t - refused.data();
      EXPECT_EQ(mo->SetOutputType(0, &t, flags), DMO_E_TYPE_NOT_ACCEPTED) << &t - refused.data();
    }
  }
  Check({ROW(E_POINTER, mo->GetStreamCount(&a, nullptr)), ROW(S_OK, mo->GetStreamCount(&inputs, &outputs)),
         ROW(E_POINTER, mo->GetInputStreamInfo(1, nullptr)), ROW(S_OK, mo->GetInputStreamInfo(0, &inFlags)),
         ROW(DMO_E_INVALIDSTREAMINDEX, mo->GetInputStreamInfo(1, &a)),
         ROW(E_POINTER, mo->GetOutputStreamInfo(0, nullptr)), ROW(S_OK, mo->GetOutputStreamInfo(0, &outFlags)),
         ROW(DMO_E_INVALIDSTREAMINDEX, mo->GetOutputStreamInfo(1, &a)),
         ROW(DMO_E_INVALIDSTREAMINDEX, mo->GetInputType(1, 0, &type)),
         ROW(DMO_E_NO_MORE_ITEMS, mo->GetInputType(0, 1, &type)), ROW(S_OK, mo->GetInputType(0, 0, nullptr)),
         ROW(DMO_E_NO_MORE_ITEMS, mo->GetOutputType(0, 1, nullptr)), ROW(S_OK, mo->GetOutputType(0, 0, &preferred)),
         ROW(DMO_E_INVALIDSTREAMINDEX, mo->SetInputType(1, &mono24, 0)),
         ROW(E_POINTER, mo->SetInputType(0, nullptr, 0)), ROW(E_INVALIDARG, mo->SetInputType(0, &mono24, 3)),
         ROW(E_INVALIDARG, mo->SetOutputType(0, nullptr, 3)), ROW(E_INVALIDARG, mo->SetOutputType(0, &mono24, 4)),
         ROW(E_POINTER, mo->SetOutputType(0, nullptr, DMO_SET_TYPEF_TEST_ONLY)),
         ROW(S_OK, mo->SetInputType(0, nullptr, DMO_SET_TYPEF_CLEAR)),  // nothing to clear
         ROW(S_OK, mo->SetInputType(0, &extensible, DMO_SET_TYPEF_TEST_ONLY)),
         ROW(DMO_E_TYPE_NOT_SET, mo->GetInputCurrentType(0, &type)),  // nothing refused or tested was stored
         ROW(DMO_E_TYPE_NOT_SET, mo->GetOutputCurrentType(0, &type)),
         ROW(DMO_E_INVALIDSTREAMINDEX, mo->GetOutputCurrentType(1, &type)),
         ROW(E_POINTER, mo->GetInputSizeInfo(0, &a, nullptr, &c)),
         ROW(E_POINTER, mo->GetOutputSizeInfo(1, nullptr, &c)),
         ROW(DMO_E_TYPE_NOT_SET, mo->GetInputSizeInfo(0, &a, &b, &c)),
         ROW(E_NOTIMPL, mo->GetInputMaxLatency(0, nullptr)), ROW(E_NOTIMPL, mo->SetInputMaxLatency(1, -1)),
         ROW(DMO_E_INVALIDSTREAMINDEX, mo->Discontinuity(1)), ROW(S_OK, mo->Discontinuity(0)),
         ROW(S_OK, mo->AllocateStreamingResources()), ROW(S_OK, mo->FreeStreamingResources()),
         ROW(E_UNEXPECTED, mo->Lock(0)), ROW(S_OK, mo->Lock(1)), ROW(S_OK, mo->Lock(-1)), ROW(S_OK, mo->Lock(0)),
         ROW(S_OK, mo->Lock(0)), ROW(E_UNEXPECTED, mo->Lock(0)),  // leaving a lock not held
         ROW(E_POINTER, mo->GetInputStatus(1, nullptr)), ROW(DMO_E_INVALIDSTREAMINDEX, mo->GetInputStatus(1, &a)),
         ROW(DMO_E_INVALIDSTREAMINDEX, mo->ProcessInput(1, &in, 0, 0, 0)),
         ROW(DMO_E_TYPE_NOT_SET, mo->ProcessInput(0, &in, 0, 0, 0)),
         ROW(E_POINTER, mo->ProcessOutput(0, 1, &out, nullptr)), ROW(E_INVALIDARG, mo->ProcessOutput(0, 2, &out, &a)),
         ROW(E_POINTER, mo->ProcessOutput(0, 1, nullptr, &a)),
         ROW(DMO_E_TYPE_NOT_SET, mo->ProcessOutput(0, 1, &out, &a)),
         ROW(S_OK, mo->Flush()),
         // A rate of 0 passes the check, not the completion, which leaves that stream unset.
         ROW(S_OK, mo->SetInputType(0, &zeroRate, 0)), ROW(E_FAIL, mo->SetOutputType(0, &zeroRate, 0)),
         ROW(DMO_E_TYPE_NOT_SET, mo->GetOutputCurrentType(0, &type)),
         ROW(S_OK, mo->SetInputType(0, &stereo16, 0)),
         ROW(DMO_E_TYPE_NOT_ACCEPTED, mo->SetOutputType(0, &otherRate, 0)),
         ROW(DMO_E_TYPE_NOT_ACCEPTED, mo->SetOutputType(0, &longer, DMO_SET_TYPEF_TEST_ONLY)),
         ROW(S_OK, mo->SetInputType(0, &mono24, 0)), ROW(S_OK, mo->GetOutputType(0, 0, &follows)),
         ROW(E_POINTER, mo->GetInputCurrentType(0, nullptr)),
         ROW(DMO_E_TYPE_NOT_SET, mo->GetOutputSizeInfo(0, &a, &c)),  // one type only
         ROW(DMO_E_TYPE_NOT_SET, mo->ProcessInput(0, &in, 0, 0, 0)), ROW(S_OK, mo->SetOutputType(0, &mono24, 0)),
         ROW(DMO_E_INVALIDSTREAMINDEX, mo->GetInputSizeInfo(1, &a, &b, &c)),
         ROW(S_OK, mo->GetInputSizeInfo(0, &size, &lookahead, &alignment)),
         ROW(E_POINTER, mo->ProcessInput(0, nullptr, 0, 0, 0)), ROW(E_FAIL, mo->ProcessInput(0, &failing, 0, 0, 0)),
         ROW(S_FALSE, mo->ProcessInput(0, &byte, 0, 0, 0)),  // less than a frame
         ROW(S_OK, mo->GetInputStatus(0, &accepting)), ROW(S_FALSE, mo->ProcessOutput(0, 1, &out, &a)),  // none held
         ROW(S_OK, mo->ProcessInput(0, &in, DMO_INPUT_DATA_BUFFERF_TIME, -1, -1)),
         ROW(S_OK, mo->GetInputStatus(0, &holding)),
         ROW(DMO_E_NOTACCEPTING, mo->ProcessInput(0, &in, 0, 0, 0)),
         ROW(E_INVALIDARG, mo->ProcessOutput(0, 1, &tooSmall, &a)),  // less than a frame of room
         ROW(E_INVALIDARG, mo->ProcessOutput(0, 1, &beyond, &a)), ROW(E_FAIL, mo->ProcessOutput(0, 1, &bad, &a)),
         ROW(S_OK, mo->ProcessOutput(DMO_PROCESS_OUTPUT_DISCARD_WHEN_NO_BUFFER, 1, &none, &a)),
         ROW(S_OK, mo->Flush())});
  EXPECT_EQ(std::tuple(inputs, outputs, inFlags, outFlags, size, lookahead, alignment, accepting, holding),
            std::tuple(1ul, 1ul, 0ul, 0ul, 3ul, 0ul, 1ul, DWORD{DMO_INPUT_STATUSF_ACCEPT_DATA}, 0ul));
  EXPECT_EQ(none.dwStatus, static_cast<DWORD>(DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE));
  for (auto* buffer : {&in, &byte, &failing, &overfull, &small, &room}) EXPECT_EQ(buffer->refs, 1u);
  // The preferred type: 16-bit stereo at 44100 Hz until the other stream has a type.
  for (auto [got, want] : {std::pair{&preferred, &stereo16}, {&follows, &mono24}}) {
    EXPECT_TRUE(got->majortype == MEDIATYPE_Audio && got->subtype == MEDIASUBTYPE_PCM &&
                got->formattype == FORMAT_WaveFormatEx && got->cbFormat == want->cbFormat &&
                std::memcmp(got->pbFormat, want->pbFormat, want->cbFormat) == 0);
  }
  for (auto* t : {&preferred, &follows, &stereo16, &mono24, &otherRate, &longer, &zeroRate, &extensible}) {
    MoFreeMediaType(t);
  }
  for (auto& t : refused) MoFreeMediaType(&t);
}

// In place, the parameters as hosts show them, settings, pages and the
// processing object's own interface, which takes any value. A new effect
// reports the neutral values, though its processing object starts from its
// own defaults; settings stop at the first bad field, what came before it
// landing.
TEST_F(DmoTest, InPlaceParametersSettingsAndProcessingObject) {
  const struct { const wchar_t* label; MP_TYPE type; float min, max, neutral; } rows[] = {
      {L"Output Hiss Level", MPT_FLOAT, 0, 1, 0.63f}, {L"Click Threshold", MPT_FLOAT, 2, 20, 4},
      {L"Input Hiss Level", MPT_FLOAT, 0, 1, 0.33f}, {L"Options", MPT_INT, 0, 31, 23}};
  MP_PARAMINFO info;
  WCHAR* text = nullptr;
  float value = -1;
  for (DWORD i = 0; i < 4; ++i) {
    const auto& row = rows[i];
    std::memset(&info, 0xcc, sizeof info);
    ASSERT_TRUE(SUCCEEDED(pi->GetParamInfo(i, &info)) && SUCCEEDED(pi->GetParamText(i, &text)) &&
                SUCCEEDED(mp->GetParam(i, &value)));
    EXPECT_EQ(std::tuple(std::wstring(info.szLabel), std::wstring(info.szUnitText), info.mpType, info.mopCaps,
                         info.mpdMinValue, info.mpdMaxValue, info.mpdNeutralValue, value),
              std::tuple(std::wstring(row.label), std::wstring(), row.type, 0x1ful, row.min, row.max, row.neutral,
                         row.neutral));
    EXPECT_EQ(std::wstring(text, wcslen(row.label) + 4), row.label + std::wstring(4, L'\0'));  // no unit, no names
    CoTaskMemFree(text);
  }
  ComPtr<ISpecifyPropertyPages> pages;
  BYTE data[8] = {}, full = 9, declick = 9;
  DWORD params = 0, formats = 0;
  GUID format{}, supported{};
  MP_TIMEDATA time = 9;
  float level = 0, threshold = 0;
  REFERENCE_TIME latency = -1;
  MP_ENVELOPE_SEGMENT ramp{0, 1000, 3.0f, 50.0f, MP_CURVE_LINEAR, 0}, noNumber{0, 1000, 3.0f, NAN, MP_CURVE_LINEAR, 0};
  const EffectSettings chosen{12.5f, 0.1f, 0.9f, 6}, badOptions{4.0f, 0.5f, 0.5f, 32}, badLevel{5.0f, 2.0f, 0.25f, 0};
  EffectSettings read{};
  CAUUID list{};
  Check({ROW(S_OK, nr->GetOutputHissLevel(&level)), ROW(E_POINTER, ip->GetLatency(nullptr)),
         ROW(S_OK, ip->GetLatency(&latency)),
         ROW(E_POINTER, ip->Clone(nullptr)), ROW(DMO_E_TYPE_NOT_SET, ip->Process(sizeof data, data, 0, 0)),
         ROW(S_OK, SetTypes(mo.Get(), 2, 44100, 16)), ROW(S_OK, ip->Process(0, nullptr, 0, 0)),
         ROW(S_OK, ip->Process(3, data, 0, 0)), ROW(E_POINTER, ip->Process(sizeof data, nullptr, 0, 0)),
         ROW(S_OK, ip->Process(sizeof data, data, -1, 0xffffffff)),
         ROW(E_POINTER, pi->GetParamCount(nullptr)), ROW(S_OK, pi->GetParamCount(&params)),
         ROW(E_POINTER, pi->GetParamInfo(0, nullptr)), ROW(E_INVALIDARG, pi->GetParamInfo(4, &info)),
         ROW(E_INVALIDARG, pi->GetParamInfo(0xffffffff, &info)),
         ROW(E_POINTER, pi->GetParamText(0, nullptr)), ROW(E_INVALIDARG, pi->GetParamText(4, &text)),
         ROW(E_POINTER, pi->GetNumTimeFormats(nullptr)), ROW(S_OK, pi->GetNumTimeFormats(&formats)),
         ROW(E_POINTER, pi->GetSupportedTimeFormat(0, nullptr)), ROW(S_OK, pi->GetSupportedTimeFormat(0, &supported)),
         ROW(E_INVALIDARG, pi->GetSupportedTimeFormat(1, &format)),
         ROW(E_POINTER, pi->GetCurrentTimeFormat(nullptr, &time)),
         ROW(E_POINTER, pi->GetCurrentTimeFormat(&format, nullptr)),
         ROW(S_OK, pi->GetCurrentTimeFormat(&format, &time)),
         ROW(E_POINTER, mp->GetParam(0, nullptr)), ROW(E_INVALIDARG, mp->GetParam(4, &value)),
         ROW(E_INVALIDARG, mp->SetParam(4, 0.0f)), ROW(E_INVALIDARG, mp->SetParam(1, 1.9f)),
         ROW(E_INVALIDARG, mp->SetParam(1, INFINITY)), ROW(E_INVALIDARG, mp->SetParam(0, 1.01f)),
         ROW(E_INVALIDARG, mp->SetParam(0, -0.01f)), ROW(E_INVALIDARG, mp->SetParam(2, NAN)),
         ROW(E_INVALIDARG, mp->SetParam(3, 31.5f)), ROW(E_INVALIDARG, mp->SetParam(3, -1.0f)),
         ROW(S_OK, mp->SetParam(1, 2.0f)), ROW(S_OK, mp->SetParam(1, 20.0f)),
         ROW(E_POINTER, mp->AddEnvelope(1, 0, nullptr)), ROW(E_INVALIDARG, mp->AddEnvelope(4, 1, &ramp)),
         ROW(E_INVALIDARG, mp->AddEnvelope(1, 1, &noNumber)), ROW(S_OK, mp->AddEnvelope(1, 0, &ramp)),
         ROW(E_INVALIDARG, mp->FlushEnvelope(1, 10, 10)), ROW(E_INVALIDARG, mp->FlushEnvelope(1, 10, 5)),
         ROW(E_INVALIDARG, mp->FlushEnvelope(4, 0, 10)), ROW(S_OK, mp->FlushEnvelope(1, 0, 10)),
         ROW(E_INVALIDARG, mp->SetTimeFormat(kGuidTimeMusic, 0)), ROW(S_OK, mp->SetTimeFormat(kGuidTimeReference, 5)),
         ROW(E_POINTER, es->SetSettings(nullptr)), ROW(E_POINTER, es->GetSettings(nullptr)),
         ROW(E_POINTER, es->GetClickMeter(nullptr)), ROW(S_OK, es->GetClickMeter(&a)),
         ROW(S_OK, es->SetSettings(&chosen)), ROW(S_OK, nr->GetFullBypass(&full)),
         ROW(S_OK, nr->GetBypassDeclick(&declick)),  // "Options" 6
         ROW(E_INVALIDARG, es->SetSettings(&badOptions)), ROW(E_INVALIDARG, es->SetSettings(&badLevel)),
         ROW(S_OK, es->GetSettings(&read)),
         ROW(S_OK, mo.As(&pages)), ROW(E_POINTER, pages->GetPages(nullptr)), ROW(S_OK, pages->GetPages(&list)),
         ROW(E_POINTER, source->GetNoiseReducFilter(nullptr)),
         ROW(E_POINTER, nr->GetBypassDeclick(nullptr)), ROW(E_POINTER, nr->GetBypassDenoise(nullptr)),
         ROW(E_POINTER, nr->GetFullBypass(nullptr)), ROW(E_POINTER, nr->GetOutputClicks(nullptr)),
         ROW(E_POINTER, nr->GetAutoInputHissLevel(nullptr)), ROW(E_POINTER, nr->GetClickThreshold(nullptr)),
         ROW(E_POINTER, nr->GetOutputHissLevel(nullptr)), ROW(E_POINTER, nr->GetInputHissLevel(nullptr)),
         ROW(E_POINTER, nr->GetClickMeter(nullptr)), ROW(S_OK, nr->SetClickThreshold(NAN)),
         ROW(S_OK, nr->SetOutputHissLevel(-INFINITY)), ROW(S_OK, nr->SetInputHissLevel(1e30f)),
         ROW(S_OK, nr->SetFullBypass(0xff)), ROW(S_OK, nr->SetBypassDeclick(0xff)), ROW(S_OK, nr->Reserved()),
         ROW(S_OK, nr->SetBypassDenoise(0xff)), ROW(S_OK, nr->SetOutputClicks(0xff)),
         ROW(S_OK, nr->SetAutoInputHissLevel(0xff)), ROW(S_OK, nr->ResetOutputHissLevel()),
         ROW(S_OK, nr->GetClickThreshold(&threshold))});
  EXPECT_EQ(std::tuple(latency, params, formats, time, a <= 100), std::tuple(0, 4ul, 1ul, 0, true));
  EXPECT_TRUE(supported == kGuidTimeReference && format == supported);
  EXPECT_TRUE(list.cElems == 1 && list.pElems[0] == CLSID_CVeltaneProp);
  CoTaskMemFree(list.pElems);
  const EffectSettings expected{5.0f, 0.5f, 0.5f, 6};
  EXPECT_EQ(std::memcmp(&read, &expected, sizeof read), 0);
  EXPECT_EQ(std::tuple(level, full, declick), std::tuple(0.625f, 0, 1));
  EXPECT_EQ(threshold, 2.0f);  // the declicker keeps at least 2
}

// Full bypass: each call takes half the room's worth of frames and appends
// them behind what the buffer holds; a timed input stamps every output with
// its time advanced by the frames already taken, an untimed one none.
TEST_F(DmoTest, BypassDeliversHalfTheRoomPerCall) {
  ASSERT_EQ(SetTypes(mo.Get(), 2, 44100, 16), S_OK);
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
      const bool stamped = timed && call.hr == S_OK;
      EXPECT_EQ(mo->ProcessOutput(0, 1, &element, &a), call.hr);
      EXPECT_EQ(element.dwStatus, call.flags | (stamped ? DMO_OUTPUT_DATA_BUFFERF_TIME : 0));
      EXPECT_EQ(element.rtTimestamp, stamped ? call.time : -1);
      EXPECT_EQ(out.Data(), expected);
    }
  }
}

// Partial frames: a whole-frame input leaves its last partial frame in front
// of the next one; an input shorter than a frame is refused and dropped,
// and the carry keeps what it held, so the input after it comes out exactly.
TEST_F(DmoTest, InputShorterThanAFrameIsDroppedAndTheCarryKept) {
  ASSERT_EQ(SetTypes(mo.Get(), 2, 44100, 16), S_OK);  // 4-byte frames, full bypass
  const auto bytes = Noise(5006);
  const struct { size_t from, to; HRESULT hr; size_t outFrom, outTo; } inputs[] = {
      {0, 1001, S_OK, 0, 1000}, {1001, 1004, S_OK, 1000, 1004}, {1004, 1006, S_FALSE, 0, 0},
      {1006, 5006, S_OK, 1006, 5006}};
  for (const auto& input : inputs) {
    MediaBuffer in({bytes.begin() + input.from, bytes.begin() + input.to});
    EXPECT_EQ(mo->ProcessInput(0, &in, 0, 0, 0), input.hr) << input.from;
    std::vector<uint8_t> output;
    for (DWORD status = 0, more = input.hr == S_OK; more;) {
      MediaBuffer out({}, 8000);
      DMO_OUTPUT_DATA_BUFFER element{&out, 0, 0, 0};
      ASSERT_EQ(mo->ProcessOutput(0, 1, &element, &status), S_OK);
      more = element.dwStatus & DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE;
      output.insert(output.end(), out.bytes.begin(), out.bytes.begin() + out.length);
    }
    EXPECT_TRUE(output == std::vector<uint8_t>(bytes.begin() + input.outFrom, bytes.begin() + input.outTo))
        << "input from byte " << input.from;
    EXPECT_EQ(in.refs, 1u);
  }
}

// A thousand lives of create, stream and release leave no memory behind;
// with processing on, every output room of a frame or more makes progress
// and gives the stream that ample rooms give.
TEST_F(DmoTest, AThousandLivesWithEveryRoomSize) {
  const auto input = Noise(4 * 9000);
  const DWORD rooms[] = {65536, 1, 2, 7, 480, 1023, 1024, 4096};
  std::vector<uint8_t> expected;
  PROCESS_MEMORY_COUNTERS_EX before{}, after{};
  for (int life = 0; life < 1100; ++life) {
    if (life == 100) K32GetProcessMemoryInfo(GetCurrentProcess(), PPROCESS_MEMORY_COUNTERS(&before), sizeof before);
    auto object = Create<IMediaObject>();
    ASSERT_EQ(SetTypes(object.Get(), 2, 44100, 16, 16.0f), S_OK);
    const auto output = Stream(object.Get(), input, 4 * 2205, 4 * rooms[life % 8]);
    if (life == 0) expected = output;
    ASSERT_TRUE(output == expected && output.size() > 4 * 4096) << "room " << rooms[life % 8];
    ASSERT_EQ(object.Reset(), 0u);
  }
  K32GetProcessMemoryInfo(GetCurrentProcess(), PPROCESS_MEMORY_COUNTERS(&after), sizeof after);
  EXPECT_LT(after.PrivateUsage, before.PrivateUsage + 4 * 1024 * 1024);
}

// In place, processing hands back every frame, the chain's delay first in
// silence; a parameter with an active envelope follows it at each call's time.
TEST_F(DmoTest, InPlaceHandsBackEveryFrameAndFollowsEnvelopes) {
  ASSERT_EQ(SetTypes(mo.Get(), 2, 44100, 16, 16.0f), S_OK);
  MP_ENVELOPE_SEGMENT ramp{1000, 2000, 2.0f, 50.0f, MP_CURVE_LINEAR, 0};
  ASSERT_EQ(mp->AddEnvelope(1, 1, &ramp), S_OK);
  auto data = Noise(4 * 3000);
  float threshold = 0;
  for (const auto& [time, expected] : {std::pair(1500LL, 11.0f), std::pair(3000LL, 20.0f), std::pair(5000LL, 5.0f)}) {
    if (time == 5000) nr->SetClickThreshold(5.0f);  // past the end: no longer followed
    for (size_t at = 0; at < data.size(); at += 4 * 300) EXPECT_EQ(ip->Process(4 * 300, &data[at], time, 0), S_OK);
    EXPECT_EQ(nr->GetClickThreshold(&threshold), S_OK);
    EXPECT_EQ(threshold, expected) << "at " << time;  // 50 was clamped to 20
  }
  EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](uint8_t x) { return x == 0; }));
}

// A clone takes the parameters (the envelope added last reads back) and both
// types, and processes with a processing object of its own, which lives on
// while someone (a property page) holds it.
TEST_F(DmoTest, CloneIsAnEffectOfItsOwn) {
  const EffectSettings chosen{7.5f, 0.25f, 0.75f, 16}, expected{7.5f, 0.25f, 0.9f, 16};
  MP_ENVELOPE_SEGMENT ramp{0, 1000, 0.1f, 0.9f, MP_CURVE_LINEAR, 0};
  ComPtr<IMediaObjectInPlace> clone;
  ComPtr<IEffectSettings> settings;
  ComPtr<IMediaObject> object;
  ComPtr<INoiseReducFilter> processing;
  EffectSettings read{};
  ASSERT_EQ(SetTypes(mo.Get(), 1, 48000, 24), S_OK);
  ASSERT_TRUE(SUCCEEDED(es->SetSettings(&chosen)) && SUCCEEDED(mp->AddEnvelope(2, 1, &ramp)));
  ASSERT_EQ(ip->Clone(&clone), S_OK);
  ASSERT_TRUE(SUCCEEDED(clone.As(&settings)) && SUCCEEDED(clone.As(&object)) && SUCCEEDED(clone.As(&source)) &&
              SUCCEEDED(source->GetNoiseReducFilter(&processing)) && SUCCEEDED(settings->GetSettings(&read)));
  EXPECT_NE(processing.Get(), nr.Get());
  EXPECT_EQ(std::memcmp(&read, &expected, sizeof read), 0);
  ASSERT_EQ(nr->SetFullBypass(1), S_OK);
  const auto input = Noise(3 * 500);
  EXPECT_EQ(Stream(mo.Get(), input, input.size(), 4096), input);         // the source, in full bypass
  EXPECT_EQ(Stream(object.Get(), input, input.size(), 4096).size(), 0u);  // the clone's chain fills first
  EXPECT_EQ((settings.Reset(), object.Reset(), source.Reset(), clone.Reset()), 0u);
  EXPECT_EQ(processing->SetClickThreshold(7.0f), S_OK);
  EXPECT_EQ(processing.Reset(), 0u);
}

// Hosts streaming from several threads, each holding Lock across its calls,
// while another thread sets and reads parameters: no frame is lost or
// repeated, partial frames included, and nothing deadlocks.
TEST_F(DmoTest, ThreadsStreamingThroughLockKeepEveryFrame) {
  ASSERT_EQ(SetTypes(mo.Get(), 2, 44100, 24), S_OK);
  std::vector<uint8_t> input(6 * 200000), output;
  for (uint32_t n = 0; n < 200000; ++n) std::memcpy(&input[6 * n], &n, 4);  // each frame its number
  size_t next = 0;                                                           // under the object's lock
  std::atomic<bool> done{false};
  std::atomic<int> started{0};
  std::thread parameters([&] {
    EffectSettings read;
    for (int step = 0; !done; ++step) {
      EXPECT_EQ(mp->SetParam(0, step % 100 / 100.0f), S_OK);
      EXPECT_EQ(es->GetSettings(&read), S_OK);
      EXPECT_EQ(mo->GetInputStatus(0, &a), S_OK);
    }
  });
  std::vector<std::thread> hosts;
  for (size_t piece : {1001, 6 * 97, 37, 4096}) {
    hosts.emplace_back([&, piece] {
      for (++started; started < 4;) std::this_thread::yield();  // all at once
      for (bool more = true; more;) {
        mo->Lock(1);
        const size_t n = std::min(piece, input.size() - std::min(next, input.size()));
        const auto out = Stream(mo.Get(), {input.begin() + next, input.begin() + next + n}, n, 6 * 333);
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
