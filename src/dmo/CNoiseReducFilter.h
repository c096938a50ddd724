// The COM face of the processing object: INoiseReducFilter over a
// NoiseReducFilter that it owns.
//
// Each effect object creates one and holds a reference; a property page
// connected to that effect holds another. The processing object lives until
// the last holder releases it. Not aggregatable. It leaves COM
// initialisation to the host: the thread that creates it has COM set up
// already, and the object may be released on another thread.
#pragma once

#include <memory>

#include "dmo/ComObject.h"
#include "dmo/INoiseReducFilter.h"
#include "effect/NoiseReducFilter.h"

namespace veltane {

class CNoiseReducFilter final : public ComObject<CNoiseReducFilter, INoiseReducFilter> {
 public:
  // A new object with one reference in *out; E_OUTOFMEMORY when the object
  // or its chain cannot be built, E_POINTER for null.
  static HRESULT Create(CNoiseReducFilter** out);

  // The processing object, for the effect object's format, processing and
  // parameter calls.
  NoiseReducFilter& Filter() { return *filter; }

  HRESULT STDMETHODCALLTYPE SetBypassDeclick(BYTE on) override;
  HRESULT STDMETHODCALLTYPE GetBypassDeclick(BYTE* on) override;
  HRESULT STDMETHODCALLTYPE SetBypassDenoise(BYTE on) override;
  HRESULT STDMETHODCALLTYPE GetBypassDenoise(BYTE* on) override;
  HRESULT STDMETHODCALLTYPE SetFullBypass(BYTE on) override;
  HRESULT STDMETHODCALLTYPE GetFullBypass(BYTE* on) override;
  HRESULT STDMETHODCALLTYPE SetOutputClicks(BYTE on) override;
  HRESULT STDMETHODCALLTYPE GetOutputClicks(BYTE* on) override;
  HRESULT STDMETHODCALLTYPE SetAutoInputHissLevel(BYTE on) override;
  HRESULT STDMETHODCALLTYPE GetAutoInputHissLevel(BYTE* on) override;
  HRESULT STDMETHODCALLTYPE SetClickThreshold(float value) override;
  HRESULT STDMETHODCALLTYPE GetClickThreshold(float* value) override;
  HRESULT STDMETHODCALLTYPE Reserved() override;
  HRESULT STDMETHODCALLTYPE SetOutputHissLevel(float level) override;
  HRESULT STDMETHODCALLTYPE GetOutputHissLevel(float* level) override;
  HRESULT STDMETHODCALLTYPE ResetOutputHissLevel() override;
  HRESULT STDMETHODCALLTYPE SetInputHissLevel(float level) override;
  HRESULT STDMETHODCALLTYPE GetInputHissLevel(float* level) override;
  HRESULT STDMETHODCALLTYPE GetClickMeter(DWORD* level) override;

 private:
  explicit CNoiseReducFilter(std::unique_ptr<NoiseReducFilter> owned);

  std::unique_ptr<NoiseReducFilter> filter;
};

}  // namespace veltane
