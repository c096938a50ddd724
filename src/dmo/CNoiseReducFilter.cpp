// INoiseReducFilter over the processing object.
#include "dmo/CNoiseReducFilter.h"

#include <new>

namespace veltane {
namespace {

template <typename T>
HRESULT Out(T* out, T value) {
  if (out == nullptr) return E_POINTER;
  *out = value;
  return S_OK;
}

}  // namespace

CNoiseReducFilter::CNoiseReducFilter(std::unique_ptr<NoiseReducFilter> owned)
    : ComObject(nullptr), filter(std::move(owned)) {}

HRESULT CNoiseReducFilter::Create(CNoiseReducFilter** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  std::unique_ptr<NoiseReducFilter> owned = CreateNoiseReducFilter();
  if (!owned) return E_OUTOFMEMORY;
  *out = new (std::nothrow) CNoiseReducFilter(std::move(owned));
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT CNoiseReducFilter::SetBypassDeclick(BYTE on) {
  filter->SetBypassDeclick(on);
  return S_OK;
}
HRESULT CNoiseReducFilter::GetBypassDeclick(BYTE* on) { return Out(on, filter->GetBypassDeclick()); }

HRESULT CNoiseReducFilter::SetBypassDenoise(BYTE on) {
  filter->SetBypassDenoise(on);
  return S_OK;
}
HRESULT CNoiseReducFilter::GetBypassDenoise(BYTE* on) { return Out(on, filter->GetBypassDenoise()); }

HRESULT CNoiseReducFilter::SetFullBypass(BYTE on) {
  filter->SetFullBypass(on);
  return S_OK;
}
HRESULT CNoiseReducFilter::GetFullBypass(BYTE* on) { return Out(on, filter->GetFullBypass()); }

HRESULT CNoiseReducFilter::SetOutputClicks(BYTE on) {
  filter->SetOutputClicks(on);
  return S_OK;
}
HRESULT CNoiseReducFilter::GetOutputClicks(BYTE* on) { return Out(on, filter->GetOutputClicks()); }

HRESULT CNoiseReducFilter::SetAutoInputHissLevel(BYTE on) {
  filter->SetAutoInputHissLevel(on);
  return S_OK;
}
HRESULT CNoiseReducFilter::GetAutoInputHissLevel(BYTE* on) { return Out(on, filter->GetAutoInputHissLevel()); }

HRESULT CNoiseReducFilter::SetClickThreshold(float value) {
  filter->SetClickThreshold(value);
  return S_OK;
}
HRESULT CNoiseReducFilter::GetClickThreshold(float* value) { return Out(value, filter->GetClickThreshold()); }

HRESULT CNoiseReducFilter::Reserved() { return S_OK; }

HRESULT CNoiseReducFilter::SetOutputHissLevel(float level) {
  filter->SetOutputHissLevel(level);
  return S_OK;
}
HRESULT CNoiseReducFilter::GetOutputHissLevel(float* level) { return Out(level, filter->GetOutputHissLevel()); }

HRESULT CNoiseReducFilter::ResetOutputHissLevel() {
  filter->ResetOutputHissLevel();
  return S_OK;
}

HRESULT CNoiseReducFilter::SetInputHissLevel(float level) {
  filter->SetInputHissLevel(level);
  return S_OK;
}
HRESULT CNoiseReducFilter::GetInputHissLevel(float* level) { return Out(level, filter->GetInputHissLevel()); }

HRESULT CNoiseReducFilter::GetClickMeter(DWORD* level) {
  if (level == nullptr) return E_POINTER;
  *level = filter->GetClickMeter();
  return S_OK;
}

}  // namespace veltane
