// veltane.dll's parameters: IMediaParamInfo, IMediaParams with ranges,
// "Options" and envelopes followed by in-place processing, and the private
// IEffectSettings.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "DmoTestSupport.h"

namespace veltane {
namespace {

using testing::Module;
using testing::SetTypes;

const ::testing::Environment* const kCom = ::testing::AddGlobalTestEnvironment(new testing::ComEnvironment);

class ParamsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(module.Loaded());
    params = module.Create<IMediaParams>();
    ASSERT_NE(params, nullptr);
    ASSERT_EQ(params->QueryInterface(IID_IMediaParamInfo, reinterpret_cast<void**>(&info)), S_OK);
    ASSERT_EQ(params->QueryInterface(IID_IEffectSettings, reinterpret_cast<void**>(&settings)), S_OK);
    INoiseReducFilterSource* source = nullptr;
    ASSERT_EQ(params->QueryInterface(IID_INoiseReducFilterSource, reinterpret_cast<void**>(&source)), S_OK);
    ASSERT_EQ(source->GetNoiseReducFilter(&filter), S_OK);
    source->Release();
  }
  void TearDown() override {
    filter->Release();
    settings->Release();
    info->Release();
    EXPECT_EQ(params->Release(), 0u);
    EXPECT_EQ(module.canUnloadNow(), S_OK);
  }
  float Param(DWORD index) {
    float value = -1.0f;
    EXPECT_EQ(params->GetParam(index, &value), S_OK);
    return value;
  }
  BYTE Flag(HRESULT (STDMETHODCALLTYPE INoiseReducFilter::*get)(BYTE*)) {
    BYTE on = 0xcc;
    EXPECT_EQ((filter->*get)(&on), S_OK);
    return on;
  }

  Module module;
  IMediaParams* params = nullptr;
  IMediaParamInfo* info = nullptr;
  IEffectSettings* settings = nullptr;
  INoiseReducFilter* filter = nullptr;
};

TEST_F(ParamsTest, InfoDescribesTheFourParameters) {
  DWORD count = 0;
  EXPECT_EQ(info->GetParamCount(nullptr), E_POINTER);
  EXPECT_EQ(info->GetParamCount(&count), S_OK);
  EXPECT_EQ(count, 4u);
  const struct {
    const wchar_t* label;
    MP_TYPE type;
    float min, max, neutral;
  } expected[] = {{L"Output Hiss Level", MPT_FLOAT, 0.0f, 1.0f, 0.63f},
                  {L"Click Threshold", MPT_FLOAT, 2.0f, 20.0f, 4.0f},
                  {L"Input Hiss Level", MPT_FLOAT, 0.0f, 1.0f, 0.33f},
                  {L"Options", MPT_INT, 0.0f, 31.0f, 23.0f}};
  for (DWORD i = 0; i < 4; ++i) {
    MP_PARAMINFO row;
    std::memset(&row, 0xcc, sizeof row);
    ASSERT_EQ(info->GetParamInfo(i, &row), S_OK);
    EXPECT_EQ(std::wstring(row.szLabel), expected[i].label);
    EXPECT_EQ(std::wstring(row.szUnitText), L"");
    EXPECT_EQ(row.mpType, expected[i].type);
    EXPECT_EQ(row.mopCaps, 0x1Fu);
    EXPECT_FLOAT_EQ(row.mpdMinValue, expected[i].min);
    EXPECT_FLOAT_EQ(row.mpdMaxValue, expected[i].max);
    EXPECT_FLOAT_EQ(row.mpdNeutralValue, expected[i].neutral);
  }
  MP_PARAMINFO row;
  EXPECT_EQ(info->GetParamInfo(4, &row), E_INVALIDARG);
  EXPECT_EQ(info->GetParamInfo(0, nullptr), E_POINTER);

  WCHAR* text = nullptr;
  EXPECT_EQ(info->GetParamText(4, &text), E_INVALIDARG);
  EXPECT_EQ(info->GetParamText(0, nullptr), E_POINTER);
  ASSERT_EQ(info->GetParamText(3, &text), S_OK);
  const wchar_t expectedText[] = L"Options\0\0\0\0";
  EXPECT_EQ(std::memcmp(text, expectedText, sizeof expectedText - sizeof(wchar_t)), 0);
  CoTaskMemFree(text);
}

TEST_F(ParamsTest, OneTimeFormatReferenceTime) {
  DWORD count = 0;
  EXPECT_EQ(info->GetNumTimeFormats(nullptr), E_POINTER);
  EXPECT_EQ(info->GetNumTimeFormats(&count), S_OK);
  EXPECT_EQ(count, 1u);
  GUID format{};
  EXPECT_EQ(info->GetSupportedTimeFormat(0, nullptr), E_POINTER);
  EXPECT_EQ(info->GetSupportedTimeFormat(1, &format), E_INVALIDARG);
  EXPECT_EQ(info->GetSupportedTimeFormat(0, &format), S_OK);
  EXPECT_EQ(format, kGuidTimeReference);
  MP_TIMEDATA data = 0xcc;
  EXPECT_EQ(info->GetCurrentTimeFormat(&format, nullptr), E_POINTER);
  EXPECT_EQ(info->GetCurrentTimeFormat(nullptr, &data), E_POINTER);
  EXPECT_EQ(info->GetCurrentTimeFormat(&format, &data), S_OK);
  EXPECT_EQ(format, kGuidTimeReference);
  EXPECT_EQ(data, 0u);
  EXPECT_EQ(params->SetTimeFormat(kGuidTimeMusic, 0), E_INVALIDARG);
  EXPECT_EQ(params->SetTimeFormat(kGuidTimeReference, 5), S_OK);
}

TEST_F(ParamsTest, NewObjectReportsNeutralValuesWhileProcessingWithItsOwnDefaults) {
  EXPECT_FLOAT_EQ(Param(3), 23.0f);
  EXPECT_FLOAT_EQ(Param(0), 0.63f);
  EXPECT_FLOAT_EQ(Param(1), 4.0f);
  EXPECT_FLOAT_EQ(Param(2), 0.33f);
  float level = 0;
  EXPECT_EQ(filter->GetOutputHissLevel(&level), S_OK);
  EXPECT_FLOAT_EQ(level, 0.625f);
  EXPECT_EQ(params->GetParam(0, nullptr), E_POINTER);
  EXPECT_EQ(params->GetParam(4, &level), E_INVALIDARG);
}

TEST_F(ParamsTest, SetParamChecksRangesAndReachesTheProcessingObject) {
  EXPECT_EQ(params->SetParam(1, 1.9f), E_INVALIDARG);
  EXPECT_EQ(params->SetParam(0, 1.01f), E_INVALIDARG);
  EXPECT_EQ(params->SetParam(3, 31.5f), E_INVALIDARG);
  EXPECT_EQ(params->SetParam(2, NAN), E_INVALIDARG);
  EXPECT_EQ(params->SetParam(4, 0.0f), E_INVALIDARG);
  EXPECT_FLOAT_EQ(Param(1), 4.0f);
  EXPECT_EQ(params->SetParam(1, 2.0f), S_OK);
  EXPECT_EQ(params->SetParam(1, 20.0f), S_OK);
  float threshold = 0;
  EXPECT_EQ(filter->GetClickThreshold(&threshold), S_OK);
  EXPECT_FLOAT_EQ(threshold, 20.0f);

  EXPECT_EQ(params->SetParam(3, 16.9f), S_OK);
  EXPECT_FLOAT_EQ(Param(3), 16.9f);
  EXPECT_EQ(Flag(&INoiseReducFilter::GetFullBypass), 0);
  EXPECT_EQ(Flag(&INoiseReducFilter::GetBypassDeclick), 0);
  EXPECT_EQ(Flag(&INoiseReducFilter::GetBypassDenoise), 0);
  EXPECT_EQ(Flag(&INoiseReducFilter::GetOutputClicks), 0);
  EXPECT_EQ(Flag(&INoiseReducFilter::GetAutoInputHissLevel), 1);
  EXPECT_EQ(params->SetParam(3, 9.0f), S_OK);
  EXPECT_EQ(Flag(&INoiseReducFilter::GetFullBypass), 1);
  EXPECT_EQ(Flag(&INoiseReducFilter::GetOutputClicks), 1);
  EXPECT_EQ(Flag(&INoiseReducFilter::GetAutoInputHissLevel), 0);
}

TEST_F(ParamsTest, EnvelopesAreCheckedAndClamped) {
  MP_ENVELOPE_SEGMENT segment{0, 1000, 3.0f, 50.0f, MP_CURVE_LINEAR, 0};
  EXPECT_EQ(params->AddEnvelope(1, 1, nullptr), E_POINTER);
  EXPECT_EQ(params->AddEnvelope(4, 1, &segment), E_INVALIDARG);
  EXPECT_EQ(params->AddEnvelope(1, 0, &segment), S_OK);
  EXPECT_FLOAT_EQ(Param(1), 4.0f);
  EXPECT_EQ(params->AddEnvelope(1, 1, &segment), S_OK);
  EXPECT_FLOAT_EQ(Param(1), 20.0f);
  EXPECT_EQ(params->FlushEnvelope(1, 10, 10), E_INVALIDARG);
  EXPECT_EQ(params->FlushEnvelope(4, 0, 10), E_INVALIDARG);
  EXPECT_EQ(params->FlushEnvelope(1, 0, 1000), S_OK);
  EXPECT_FLOAT_EQ(Param(1), 4.0f);  // no segment left: neutral again
}

TEST_F(ParamsTest, InPlaceProcessingFollowsActiveEnvelopes) {
  IMediaObject* object = nullptr;
  ASSERT_EQ(params->QueryInterface(IID_IMediaObject, reinterpret_cast<void**>(&object)), S_OK);
  ASSERT_EQ(SetTypes(object, {2, 44100, 16}), S_OK);
  IMediaObjectInPlace* inPlace = nullptr;
  ASSERT_EQ(params->QueryInterface(IID_IMediaObjectInPlace, reinterpret_cast<void**>(&inPlace)), S_OK);
  MP_ENVELOPE_SEGMENT ramps[] = {{1000, 2000, 2.0f, 12.0f, MP_CURVE_LINEAR, 0},
                                 {3000, 4000, 0.0f, 14.0f, MP_CURVE_SQUARE, 1 /* begin at the current value */}};
  ASSERT_EQ(params->AddEnvelope(1, 2, ramps), S_OK);
  BYTE frames[400] = {};
  auto thresholdAt = [&](REFERENCE_TIME time) {
    EXPECT_EQ(inPlace->Process(sizeof frames, frames, time, 0), S_OK);
    float threshold = 0;
    filter->GetClickThreshold(&threshold);
    return threshold;
  };
  EXPECT_NEAR(thresholdAt(1500), 7.0f, 1e-4);
  EXPECT_NEAR(thresholdAt(2500), 12.0f, 1e-4);  // between segments: the older one's end
  EXPECT_NEAR(thresholdAt(3500), 12.0f + 2.0f * 0.25f, 1e-4);  // from 12 on a square curve
  EXPECT_NEAR(thresholdAt(5000), 14.0f, 1e-4);  // past the end: applied once more, then done
  EXPECT_EQ(filter->SetClickThreshold(3.0f), S_OK);
  EXPECT_NEAR(thresholdAt(6000), 3.0f, 1e-4);  // no longer followed
  inPlace->Release();
  object->Release();
}

TEST_F(ParamsTest, SettingsTravelAsOneRecord) {
  EXPECT_EQ(settings->SetSettings(nullptr), E_POINTER);
  EXPECT_EQ(settings->GetSettings(nullptr), E_POINTER);
  EffectSettings read;
  std::memset(&read, 0xcc, sizeof read);
  ASSERT_EQ(settings->GetSettings(&read), S_OK);
  EXPECT_FLOAT_EQ(read.clickThreshold, 4.0f);
  EXPECT_FLOAT_EQ(read.outputHissLevel, 0.63f);
  EXPECT_FLOAT_EQ(read.inputHissLevel, 0.33f);
  EXPECT_EQ(read.options, 23u);

  const EffectSettings chosen{12.5f, 0.1f, 0.9f, 6};
  ASSERT_EQ(settings->SetSettings(&chosen), S_OK);
  ASSERT_EQ(settings->GetSettings(&read), S_OK);
  EXPECT_FLOAT_EQ(read.clickThreshold, 12.5f);
  EXPECT_FLOAT_EQ(read.outputHissLevel, 0.1f);
  EXPECT_FLOAT_EQ(read.inputHissLevel, 0.9f);
  EXPECT_EQ(read.options, 6u);
  EXPECT_EQ(Flag(&INoiseReducFilter::GetBypassDeclick), 1);
  EXPECT_EQ(Flag(&INoiseReducFilter::GetFullBypass), 0);

  // The first bad field stops the rest: the threshold lands, the level does not.
  const EffectSettings bad{5.0f, 2.0f, 0.5f, 0};
  EXPECT_EQ(settings->SetSettings(&bad), E_INVALIDARG);
  ASSERT_EQ(settings->GetSettings(&read), S_OK);
  EXPECT_FLOAT_EQ(read.clickThreshold, 5.0f);
  EXPECT_FLOAT_EQ(read.outputHissLevel, 0.1f);
  EXPECT_EQ(read.options, 6u);

  DWORD meter = 0xcc;
  EXPECT_EQ(settings->GetClickMeter(nullptr), E_POINTER);
  EXPECT_EQ(settings->GetClickMeter(&meter), S_OK);
  EXPECT_LE(meter, 100u);
  EXPECT_EQ(settings->GetClickMeter(&meter), S_OK);
  EXPECT_EQ(meter, 0u);  // reading reset the peak, and nothing was processed since
}

}  // namespace
}  // namespace veltane
