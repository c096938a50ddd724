// veltane.dll's streaming: input status, held input and carried bytes,
// output rooms of every size, flags and time stamps, flushing, in-place
// processing, cloning, and a thousand create-stream-release cycles.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "DmoTestSupport.h"

#include <psapi.h>

namespace veltane {
namespace {

using testing::MediaBuffer;
using testing::MediaType;
using testing::Module;
using testing::PcmFormat;
using testing::SetTypes;
using testing::Wave;

const ::testing::Environment* const kCom = ::testing::AddGlobalTestEnvironment(new testing::ComEnvironment);

std::vector<uint8_t> Noise(size_t bytes, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> data(bytes);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  return data;
}

struct Output {
  HRESULT hr;
  DWORD status;
  DWORD flags;
  REFERENCE_TIME time;
  std::vector<uint8_t> data;
};

Output TakeOutput(IMediaObject* object, DWORD room, DWORD already = 0) {
  MediaBuffer buffer(room + already);
  buffer.length = already;
  DMO_OUTPUT_DATA_BUFFER element{};
  element.pBuffer = &buffer;
  element.dwStatus = 0xcc;
  element.rtTimestamp = -1;
  DWORD status = 0xcc;
  const HRESULT hr = object->ProcessOutput(0, 1, &element, &status);
  EXPECT_EQ(buffer.refs, 1u);
  return {hr, status, element.dwStatus, element.rtTimestamp, buffer.Data()};
}

// Streams `input` through the object as a host does: buffers of `piece`
// bytes, each followed by ProcessOutput calls with `room` bytes until no
// output is pending. Returns everything produced.
std::vector<uint8_t> Stream(IMediaObject* object, const std::vector<uint8_t>& input, size_t piece, DWORD room) {
  std::vector<uint8_t> output;
  for (size_t at = 0; at < input.size(); at += piece) {
    MediaBuffer buffer(input.data() + at, static_cast<DWORD>(std::min(piece, input.size() - at)));
    const HRESULT in = object->ProcessInput(0, &buffer, 0, 0, 0);
    EXPECT_TRUE(in == S_OK || in == S_FALSE) << std::hex << in;
    for (int calls = 0;; ++calls) {
      const Output out = TakeOutput(object, room);
      output.insert(output.end(), out.data.begin(), out.data.end());
      if (out.hr != S_OK || !(out.flags & DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE)) break;
      if (calls > 1'000'000) {
        ADD_FAILURE() << "output never completes";
        return output;
      }
    }
    EXPECT_EQ(buffer.refs, 1u);  // released once delivered
  }
  return output;
}

class StreamingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(module.Loaded());
    object = module.Create<IMediaObject>();
    ASSERT_NE(object, nullptr);
    ASSERT_EQ(SetTypes(object, format), S_OK);
  }
  void TearDown() override {
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(module.canUnloadNow(), S_OK);
  }
  void SetOptions(float options) {
    IMediaParams* params = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IMediaParams, reinterpret_cast<void**>(&params)), S_OK);
    EXPECT_EQ(params->SetParam(3, options), S_OK);
    params->Release();
  }
  DWORD InputStatus() {
    DWORD flags = 0xcc;
    EXPECT_EQ(object->GetInputStatus(0, &flags), S_OK);
    return flags;
  }

  Module module;
  IMediaObject* object = nullptr;
  PcmFormat format{2, 44100, 16};
};

TEST_F(StreamingTest, InputIsRefusedUntilReadyAndWhileHeld) {
  EXPECT_EQ(object->GetInputStatus(0, nullptr), E_POINTER);
  DWORD flags = 0;
  EXPECT_EQ(object->GetInputStatus(1, &flags), DMO_E_INVALIDSTREAMINDEX);
  EXPECT_EQ(InputStatus(), static_cast<DWORD>(DMO_INPUT_STATUSF_ACCEPT_DATA));
  const auto bytes = Noise(400, 1);
  MediaBuffer buffer(bytes.data(), 400);
  EXPECT_EQ(object->ProcessInput(1, &buffer, 0, 0, 0), DMO_E_INVALIDSTREAMINDEX);
  EXPECT_EQ(object->ProcessInput(0, nullptr, 0, 0, 0), E_POINTER);
  EXPECT_EQ(object->ProcessInput(0, &buffer, 0, 0, 0), S_OK);
  EXPECT_EQ(buffer.refs, 2u);
  EXPECT_EQ(InputStatus(), 0u);
  MediaBuffer second(bytes.data(), 400);
  EXPECT_EQ(object->ProcessInput(0, &second, 0, 0, 0), DMO_E_NOTACCEPTING);
  EXPECT_EQ(second.refs, 1u);
  EXPECT_EQ(object->Flush(), S_OK);
  EXPECT_EQ(buffer.refs, 1u);
  EXPECT_EQ(InputStatus(), static_cast<DWORD>(DMO_INPUT_STATUSF_ACCEPT_DATA));

  EXPECT_EQ(object->SetOutputType(0, nullptr, DMO_SET_TYPEF_CLEAR), S_OK);
  EXPECT_EQ(object->ProcessInput(0, &buffer, 0, 0, 0), DMO_E_TYPE_NOT_SET);
  DWORD status = 0;
  DMO_OUTPUT_DATA_BUFFER element{};
  EXPECT_EQ(object->ProcessOutput(0, 1, &element, &status), DMO_E_TYPE_NOT_SET);
}

TEST_F(StreamingTest, FullBypassDeliversHalfTheRoomPerCall) {
  const auto bytes = Noise(4000, 2);
  MediaBuffer buffer(bytes.data(), 4000);
  ASSERT_EQ(object->ProcessInput(0, &buffer, 0, 0, 0), S_OK);
  Output out = TakeOutput(object, 4000);
  EXPECT_EQ(out.hr, S_OK);
  EXPECT_EQ(out.status, 0u);
  EXPECT_EQ(out.flags, static_cast<DWORD>(DMO_OUTPUT_DATA_BUFFERF_SYNCPOINT | DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE));
  EXPECT_EQ(out.data, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 2000));
  out = TakeOutput(object, 4000);
  EXPECT_EQ(out.hr, S_OK);
  EXPECT_EQ(out.flags, static_cast<DWORD>(DMO_OUTPUT_DATA_BUFFERF_SYNCPOINT));
  EXPECT_EQ(out.data, std::vector<uint8_t>(bytes.begin() + 2000, bytes.end()));
  EXPECT_EQ(buffer.refs, 1u);
  out = TakeOutput(object, 4000);
  EXPECT_EQ(out.hr, S_FALSE);
  EXPECT_EQ(out.flags, 0u);
  EXPECT_TRUE(out.data.empty());
}

TEST_F(StreamingTest, OutputIsAppendedBehindWhatTheBufferHolds) {
  const auto bytes = Noise(400, 3);
  MediaBuffer buffer(bytes.data(), 400);
  ASSERT_EQ(object->ProcessInput(0, &buffer, 0, 0, 0), S_OK);
  const Output out = TakeOutput(object, 800, 100);
  EXPECT_EQ(out.hr, S_OK);
  ASSERT_EQ(out.data.size(), 500u);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), out.data.begin() + 100));
}

TEST_F(StreamingTest, PartialFramesAreCarriedIntoTheNextInput) {
  const auto bytes = Noise(1004, 4);
  MediaBuffer first(bytes.data(), 1001);
  ASSERT_EQ(object->ProcessInput(0, &first, 0, 0, 0), S_OK);
  Output out = TakeOutput(object, 4000);
  EXPECT_EQ(out.data, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 1000));  // 250 frames
  EXPECT_EQ(first.refs, 1u);
  MediaBuffer second(bytes.data() + 1001, 3);
  ASSERT_EQ(object->ProcessInput(0, &second, 0, 0, 0), S_OK);
  out = TakeOutput(object, 4000);
  EXPECT_EQ(out.data, std::vector<uint8_t>(bytes.begin() + 1000, bytes.end()));
}

TEST_F(StreamingTest, InputsShorterThanAFrameWaitForTheRest) {
  const auto bytes = Noise(4, 5);
  MediaBuffer first(bytes.data(), 1);
  EXPECT_EQ(object->ProcessInput(0, &first, 0, 0, 0), S_FALSE);
  EXPECT_EQ(first.refs, 1u);
  EXPECT_EQ(InputStatus(), static_cast<DWORD>(DMO_INPUT_STATUSF_ACCEPT_DATA));
  EXPECT_EQ(TakeOutput(object, 400).hr, S_FALSE);
  MediaBuffer second(bytes.data() + 1, 2);
  EXPECT_EQ(object->ProcessInput(0, &second, 0, 0, 0), S_FALSE);
  MediaBuffer third(bytes.data() + 3, 1);
  EXPECT_EQ(object->ProcessInput(0, &third, 0, 0, 0), S_OK);
  EXPECT_EQ(TakeOutput(object, 400).data, bytes);  // no byte lost, none reordered
}

TEST_F(StreamingTest, TimeStampsAdvanceByTheFramesAlreadyTaken) {
  const auto bytes = Noise(4000, 6);
  MediaBuffer timed(bytes.data(), 4000);
  const REFERENCE_TIME start = 123'456'789;
  ASSERT_EQ(object->ProcessInput(0, &timed, DMO_INPUT_DATA_BUFFERF_TIME, start, 0), S_OK);
  Output out = TakeOutput(object, 2000);  // 250 frames per call
  EXPECT_TRUE(out.flags & DMO_OUTPUT_DATA_BUFFERF_TIME);
  EXPECT_EQ(out.time, start);
  out = TakeOutput(object, 2000);
  EXPECT_TRUE(out.flags & DMO_OUTPUT_DATA_BUFFERF_TIME);
  EXPECT_EQ(out.time, start + 250 * 10'000'000LL / 44100);
  while (out.flags & DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE) out = TakeOutput(object, 2000);

  MediaBuffer untimed(bytes.data(), 4000);
  ASSERT_EQ(object->ProcessInput(0, &untimed, 0, start, 0), S_OK);
  out = TakeOutput(object, 2000);
  EXPECT_FALSE(out.flags & DMO_OUTPUT_DATA_BUFFERF_TIME);
  EXPECT_EQ(out.time, -1);
  EXPECT_EQ(object->Flush(), S_OK);
}

TEST_F(StreamingTest, OutputArgumentsAreChecked) {
  DMO_OUTPUT_DATA_BUFFER elements[2] = {};
  DWORD status = 0xcc;
  EXPECT_EQ(object->ProcessOutput(0, 1, elements, nullptr), E_POINTER);
  EXPECT_EQ(object->ProcessOutput(0, 2, elements, &status), E_INVALIDARG);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(object->ProcessOutput(0, 1, nullptr, &status), E_POINTER);

  const auto bytes = Noise(400, 7);
  MediaBuffer buffer(bytes.data(), 400);
  ASSERT_EQ(object->ProcessInput(0, &buffer, 0, 0, 0), S_OK);
  elements[0].dwStatus = 0xcc;
  EXPECT_EQ(object->ProcessOutput(DMO_PROCESS_OUTPUT_DISCARD_WHEN_NO_BUFFER, 1, elements, &status), S_OK);
  EXPECT_EQ(elements[0].dwStatus, static_cast<DWORD>(DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE));

  EXPECT_EQ(TakeOutput(object, 3).hr, E_INVALIDARG);  // less than a frame of room
  MediaBuffer overfull(8);
  overfull.length = 8;
  overfull.bytes.resize(4);  // length beyond the maximum
  elements[0].pBuffer = &overfull;
  EXPECT_EQ(object->ProcessOutput(0, 1, elements, &status), E_INVALIDARG);
  EXPECT_EQ(object->Flush(), S_OK);
}

TEST_F(StreamingTest, OneFrameRoomsDrainTheInput) {
  const auto bytes = Noise(40, 8);
  MediaBuffer buffer(bytes.data(), 40);
  ASSERT_EQ(object->ProcessInput(0, &buffer, 0, 0, 0), S_OK);
  std::vector<uint8_t> output;
  for (int call = 0; call < 10; ++call) {
    const Output out = TakeOutput(object, 4);
    ASSERT_EQ(out.hr, S_OK);
    output.insert(output.end(), out.data.begin(), out.data.end());
    EXPECT_EQ((out.flags & DMO_OUTPUT_DATA_BUFFERF_INCOMPLETE) != 0, call < 9);
  }
  EXPECT_EQ(output, bytes);
}

TEST_F(StreamingTest, ActiveChainFillsBeforeAnythingComesOut) {
  SetOptions(16.0f);
  const auto bytes = Noise(2000, 9);
  MediaBuffer buffer(bytes.data(), 2000);
  ASSERT_EQ(object->ProcessInput(0, &buffer, 0, 0, 0), S_OK);
  const Output out = TakeOutput(object, 4000);
  EXPECT_EQ(out.hr, S_OK);
  EXPECT_TRUE(out.data.empty());
  EXPECT_TRUE(out.flags & DMO_OUTPUT_DATA_BUFFERF_SYNCPOINT);
}

// The same audio through host rooms of every size gives the same stream as
// one object fed with ample rooms; no room makes the host wait forever.
class RoomSizeTest : public StreamingTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(RoomSizeTest, ActiveOutputIsTheSameWhateverTheRoom) {
  const DWORD roomFrames = GetParam();
  SetOptions(16.0f);
  const auto input = Noise(4 * 30000, 10);
  IMediaObject* reference = module.Create<IMediaObject>();
  ASSERT_NE(reference, nullptr);
  ASSERT_EQ(SetTypes(reference, format), S_OK);
  IMediaParams* params = nullptr;
  ASSERT_EQ(reference->QueryInterface(IID_IMediaParams, reinterpret_cast<void**>(&params)), S_OK);
  ASSERT_EQ(params->SetParam(3, 16.0f), S_OK);
  params->Release();
  const auto expected = Stream(reference, input, 4 * 4410, 4 * 65536);
  EXPECT_EQ(reference->Release(), 0u);
  EXPECT_GT(expected.size(), input.size() / 2);

  const auto output = Stream(object, input, 4 * 4410, 4 * roomFrames);
  EXPECT_EQ(output, expected);
}

INSTANTIATE_TEST_SUITE_P(Rooms, RoomSizeTest, ::testing::Values(1u, 2u, 7u, 480u, 1023u, 1024u, 4096u));

TEST_F(StreamingTest, InPlaceHandsBackEveryFrame) {
  IMediaObjectInPlace* inPlace = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IMediaObjectInPlace, reinterpret_cast<void**>(&inPlace)), S_OK);
  REFERENCE_TIME latency = -1;
  EXPECT_EQ(inPlace->GetLatency(nullptr), E_POINTER);
  EXPECT_EQ(inPlace->GetLatency(&latency), S_OK);
  EXPECT_EQ(latency, 0);

  const auto input = Noise(4 * 3000, 11);
  auto data = input;
  EXPECT_EQ(inPlace->Process(static_cast<ULONG>(data.size()), data.data(), 0, 0), S_OK);
  EXPECT_EQ(data, input);  // full bypass leaves it as it is

  SetOptions(16.0f);
  for (size_t at = 0; at < data.size(); at += 4 * 300) {
    EXPECT_EQ(inPlace->Process(4 * 300, data.data() + at, 0, 0), S_OK);
  }
  // The chain's delay comes first, in silence; every frame was handed back.
  EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(inPlace->Process(0, nullptr, 0, 0), S_OK);
  EXPECT_EQ(inPlace->Process(8, nullptr, 0, 0), E_POINTER);

  EXPECT_EQ(object->SetInputType(0, nullptr, DMO_SET_TYPEF_CLEAR), S_OK);
  EXPECT_EQ(inPlace->Process(4, data.data(), 0, 0), DMO_E_TYPE_NOT_SET);
  inPlace->Release();
}

TEST_F(StreamingTest, CloneCopiesParametersTypesAndEnvelopes) {
  IMediaObjectInPlace* inPlace = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IMediaObjectInPlace, reinterpret_cast<void**>(&inPlace)), S_OK);
  IEffectSettings* settings = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IEffectSettings, reinterpret_cast<void**>(&settings)), S_OK);
  const EffectSettings chosen{7.5f, 0.25f, 0.75f, 9};
  ASSERT_EQ(settings->SetSettings(&chosen), S_OK);
  settings->Release();
  IMediaParams* params = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IMediaParams, reinterpret_cast<void**>(&params)), S_OK);
  MP_ENVELOPE_SEGMENT ramp{0, 1000, 0.1f, 0.9f, MP_CURVE_LINEAR, 0};
  ASSERT_EQ(params->AddEnvelope(2, 1, &ramp), S_OK);
  params->Release();

  EXPECT_EQ(inPlace->Clone(nullptr), E_POINTER);
  IMediaObjectInPlace* copy = nullptr;
  ASSERT_EQ(inPlace->Clone(&copy), S_OK);
  IEffectSettings* copied = nullptr;
  ASSERT_EQ(copy->QueryInterface(IID_IEffectSettings, reinterpret_cast<void**>(&copied)), S_OK);
  EffectSettings read{};
  ASSERT_EQ(copied->GetSettings(&read), S_OK);
  EXPECT_FLOAT_EQ(read.clickThreshold, 7.5f);
  EXPECT_FLOAT_EQ(read.outputHissLevel, 0.25f);
  EXPECT_FLOAT_EQ(read.inputHissLevel, 0.9f);  // the newest segment: the envelope added last
  EXPECT_EQ(read.options, 9u);
  copied->Release();

  IMediaObject* copyObject = nullptr;
  ASSERT_EQ(copy->QueryInterface(IID_IMediaObject, reinterpret_cast<void**>(&copyObject)), S_OK);
  DMO_MEDIA_TYPE type;
  ASSERT_EQ(copyObject->GetOutputCurrentType(0, &type), S_OK);
  const WAVEFORMATEX expected = Wave(format);
  EXPECT_EQ(std::memcmp(type.pbFormat, &expected, 18), 0);
  MoFreeMediaType(&type);
  DWORD flags = 0;
  EXPECT_EQ(copyObject->GetInputStatus(0, &flags), S_OK);
  EXPECT_EQ(flags, static_cast<DWORD>(DMO_INPUT_STATUSF_ACCEPT_DATA));
  copyObject->Release();
  EXPECT_EQ(copy->Release(), 0u);
  inPlace->Release();
}

TEST(DmoLifetime, AThousandCreateStreamReleaseCyclesLeaveNothingBehind) {
  Module module;
  ASSERT_TRUE(module.Loaded());
  IClassFactory* factory = nullptr;
  ASSERT_EQ(module.getClassObject(CLSID_CVeltane, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  const auto input = Noise(4 * 4410, 12);
  auto cycle = [&] {
    IMediaObject* object = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IMediaObject, reinterpret_cast<void**>(&object)), S_OK);
    ASSERT_EQ(SetTypes(object, {2, 44100, 16}), S_OK);
    IMediaParams* params = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IMediaParams, reinterpret_cast<void**>(&params)), S_OK);
    ASSERT_EQ(params->SetParam(3, 16.0f), S_OK);
    params->Release();
    Stream(object, input, 4 * 2205, 4 * 1000);
    ASSERT_EQ(object->Release(), 0u);
  };
  auto privateBytes = [] {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    K32GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                            sizeof counters);
    return counters.PrivateUsage;
  };
  for (int i = 0; i < 100; ++i) cycle();
  const SIZE_T before = privateBytes();
  for (int i = 0; i < 1000; ++i) cycle();
  const SIZE_T after = privateBytes();
  EXPECT_LT(after, before + 4 * 1024 * 1024) << "grew by " << (after - before) << " bytes";
  factory->Release();
  EXPECT_EQ(module.canUnloadNow(), S_OK);
}

}  // namespace
}  // namespace veltane
