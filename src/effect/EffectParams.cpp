// The parameter table and how each parameter reaches the processing object.
#include "effect/EffectParams.h"

#include "effect/NoiseReducFilter.h"

namespace veltane {

const std::array<ParamRow, kEffectParamCount> kEffectParamRows = {{
    {kParamClickThreshold, u"Click Threshold", ParamType::Float, curve::kAll, 2.0f, 20.0f, 4.0f, u"", u""},
    {kParamOutputHissLevel, u"Output Hiss Level", ParamType::Float, curve::kAll, 0.0f, 1.0f, 0.63f, u"", u""},
    {kParamInputHissLevel, u"Input Hiss Level", ParamType::Float, curve::kAll, 0.0f, 1.0f, 0.33f, u"", u""},
    {kParamOptions, u"Options", ParamType::Int, curve::kAll, 0.0f, 31.0f, 23.0f, u"", u""},
}};

const ParamRow* FindEffectParam(uint32_t index) {
  for (const ParamRow& row : kEffectParamRows) {
    if (row.index == index) return &row;
  }
  return nullptr;
}

bool IsInParamRange(uint32_t index, float value) {
  const ParamRow* row = FindEffectParam(index);
  // Written so that NaN fails: it compares false with everything.
  return row == nullptr || (value >= row->minValue && value <= row->maxValue);
}

ParamStatus ApplyEffectParam(NoiseReducFilter& filter, uint32_t index, float value) {
  if (!IsInParamRange(index, value)) return ParamStatus::InvalidArg;
  switch (index) {
    case kParamOutputHissLevel:
      filter.SetOutputHissLevel(value);
      break;
    case kParamClickThreshold:
      filter.SetClickThreshold(value);
      break;
    case kParamInputHissLevel:
      filter.SetInputHissLevel(value);
      break;
    case kParamOptions: {
      const auto bits = static_cast<uint32_t>(value);  // in range, so truncation is defined
      filter.SetFullBypass(bits & options::kFullBypass ? 1 : 0);
      filter.SetBypassDeclick(bits & options::kBypassDeclick ? 1 : 0);
      filter.SetBypassDenoise(bits & options::kBypassDenoise ? 1 : 0);
      filter.SetOutputClicks(bits & options::kOutputClicks ? 1 : 0);
      filter.SetAutoInputHissLevel(bits & options::kAutoInputHissLevel ? 1 : 0);
      break;
    }
    default:
      break;
  }
  return ParamStatus::Ok;
}

}  // namespace veltane
