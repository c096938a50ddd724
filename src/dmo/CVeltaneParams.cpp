// The effect object's parameter interfaces: IMediaParamInfo, IMediaParams
// and the private IEffectSettings, over the parameter store.
#include <cmath>
#include <cstring>
#include <vector>

#include "dmo/CVeltane.h"
#include "dmo/VeltaneGuids.h"
#include "effect/EffectParams.h"

namespace veltane {
namespace {

HRESULT ToHresult(ParamStatus status) {
  switch (status) {
    case ParamStatus::Ok:
      return S_OK;
    case ParamStatus::OutOfMemory:
      return E_OUTOFMEMORY;
    case ParamStatus::NotLoaded:
      return kDmusNotInit;
    case ParamStatus::InvalidArg:
      break;
  }
  return E_INVALIDARG;
}

TimeFormatId ToTimeFormat(const GUID& guid) {
  TimeFormatId id;
  std::memcpy(id.bytes.data(), &guid, sizeof(GUID));
  return id;
}

GUID ToGuid(const TimeFormatId& id) {
  GUID guid;
  std::memcpy(&guid, id.bytes.data(), sizeof(GUID));
  return guid;
}

// Copies a UTF-16 text into a fixed WCHAR array, cut to fit.
template <size_t N>
void CopyText(WCHAR (&to)[N], const char16_t* from) {
  size_t i = 0;
  for (; from != nullptr && from[i] != u'\0' && i + 1 < N; ++i) to[i] = static_cast<WCHAR>(from[i]);
  to[i] = L'\0';
}

size_t TextLength(const char16_t* text) {
  size_t n = 0;
  while (text != nullptr && text[n] != u'\0') ++n;
  return n;
}

}  // namespace

HRESULT CVeltane::GetParamCount(DWORD* count) {
  if (count == nullptr) return E_POINTER;
  *count = params.GetParamCount();
  return S_OK;
}

HRESULT CVeltane::GetParamInfo(DWORD index, MP_PARAMINFO* info) {
  if (info == nullptr) return E_POINTER;
  const ParamRow* row = params.GetParamInfo(index);
  if (row == nullptr) return E_INVALIDARG;
  info->mpType = static_cast<MP_TYPE>(row->type);
  info->mopCaps = row->caps;
  info->mpdMinValue = row->minValue;
  info->mpdMaxValue = row->maxValue;
  info->mpdNeutralValue = row->neutralValue;
  CopyText(info->szUnitText, row->unitText);
  CopyText(info->szLabel, row->label);
  return S_OK;
}

HRESULT CVeltane::GetParamText(DWORD index, WCHAR** text) {
  if (text == nullptr) return E_POINTER;
  *text = nullptr;
  const ParamRow* row = params.GetParamInfo(index);
  if (row == nullptr) return E_INVALIDARG;
  // label NUL unit NUL names (',' -> NUL) NUL NUL
  const size_t label = TextLength(row->label);
  const size_t unit = TextLength(row->unitText);
  const size_t names = TextLength(row->enumText);
  const size_t total = label + 1 + unit + 1 + names + 2;
  auto* block = static_cast<WCHAR*>(CoTaskMemAlloc(total * sizeof(WCHAR)));
  if (block == nullptr) return E_OUTOFMEMORY;
  WCHAR* at = block;
  for (size_t i = 0; i < label; ++i) *at++ = static_cast<WCHAR>(row->label[i]);
  *at++ = L'\0';
  for (size_t i = 0; i < unit; ++i) *at++ = static_cast<WCHAR>(row->unitText[i]);
  *at++ = L'\0';
  for (size_t i = 0; i < names; ++i) *at++ = row->enumText[i] == u',' ? L'\0' : static_cast<WCHAR>(row->enumText[i]);
  *at++ = L'\0';
  *at++ = L'\0';
  *text = block;
  return S_OK;
}

HRESULT CVeltane::GetNumTimeFormats(DWORD* count) {
  if (count == nullptr) return E_POINTER;
  *count = params.GetTimeFormatCount();
  return S_OK;
}

HRESULT CVeltane::GetSupportedTimeFormat(DWORD index, GUID* format) {
  if (format == nullptr) return E_POINTER;
  TimeFormatId id;
  const HRESULT hr = ToHresult(params.GetSupportedTimeFormat(index, &id));
  if (SUCCEEDED(hr)) *format = ToGuid(id);
  return hr;
}

HRESULT CVeltane::GetCurrentTimeFormat(GUID* format, MP_TIMEDATA* data) {
  if (format == nullptr || data == nullptr) return E_POINTER;
  *format = ToGuid(params.GetCurrentTimeFormat());
  *data = params.GetTimeData();
  return S_OK;
}

HRESULT CVeltane::GetParam(DWORD index, MP_DATA* value) {
  if (value == nullptr) return E_POINTER;
  if (index >= kEffectParamCount) return E_INVALIDARG;
  return ToHresult(params.GetParam(index, value));
}

HRESULT CVeltane::ApplyParam(DWORD index, float value) {
  return ToHresult(ApplyEffectParam(processing->Filter(), index, value));
}

HRESULT CVeltane::SetParam(DWORD index, MP_DATA value) {
  // Applied first, recorded after: the processing object's lock and the
  // parameter store's lock are never held together.
  const HRESULT hr = ApplyParam(index, value);
  if (FAILED(hr)) return hr;
  if (index >= kEffectParamCount) return E_INVALIDARG;
  return ToHresult(params.RecordParam(index, value));
}

HRESULT CVeltane::AddEnvelope(DWORD index, DWORD count, MP_ENVELOPE_SEGMENT* segments) {
  if (segments == nullptr) return E_POINTER;
  if (index >= kEffectParamCount) return E_INVALIDARG;
  std::vector<EnvelopeSegment> added;
  try {
    added.reserve(count);
  } catch (const std::exception&) {
    return E_OUTOFMEMORY;
  }
  for (DWORD i = 0; i < count; ++i) {
    const MP_ENVELOPE_SEGMENT& s = segments[i];
    // Values are clamped into the parameter's range, which cannot be done to
    // a value that is not a number: the call is refused before anything is
    // added, or GetParam and a clone's settings would carry the NaN.
    if (std::isnan(s.valStart) || std::isnan(s.valEnd)) return E_INVALIDARG;
    added.push_back({s.rtStart, s.rtEnd, s.valStart, s.valEnd, static_cast<uint32_t>(s.iCurve), s.flags});
  }
  return ToHresult(params.AddEnvelope(index, added));
}

HRESULT CVeltane::FlushEnvelope(DWORD index, REFERENCE_TIME start, REFERENCE_TIME end) {
  if (index >= kEffectParamCount) return E_INVALIDARG;
  return ToHresult(params.FlushEnvelope(index, start, end));
}

HRESULT CVeltane::SetTimeFormat(GUID format, MP_TIMEDATA) {
  return ToHresult(params.SetTimeFormat(ToTimeFormat(format)));
}

HRESULT CVeltane::SetSettings(const EffectSettings* settings) {
  if (settings == nullptr) return E_POINTER;
  HRESULT hr = SetParam(kParamClickThreshold, settings->clickThreshold);
  if (SUCCEEDED(hr)) hr = SetParam(kParamOutputHissLevel, settings->outputHissLevel);
  if (SUCCEEDED(hr)) hr = SetParam(kParamInputHissLevel, settings->inputHissLevel);
  if (SUCCEEDED(hr)) hr = SetParam(kParamOptions, static_cast<float>(settings->options));
  return hr;
}

HRESULT CVeltane::GetSettings(EffectSettings* settings) {
  if (settings == nullptr) return E_POINTER;
  HRESULT hr = GetParam(kParamClickThreshold, &settings->clickThreshold);
  if (SUCCEEDED(hr)) hr = GetParam(kParamOutputHissLevel, &settings->outputHissLevel);
  if (SUCCEEDED(hr)) hr = GetParam(kParamInputHissLevel, &settings->inputHissLevel);
  if (SUCCEEDED(hr)) {
    float options = 0.0f;
    hr = GetParam(kParamOptions, &options);
    if (SUCCEEDED(hr)) settings->options = static_cast<DWORD>(std::trunc(options));
  }
  return hr;
}

HRESULT CVeltane::GetClickMeter(DWORD* level) { return processing->GetClickMeter(level); }

}  // namespace veltane
