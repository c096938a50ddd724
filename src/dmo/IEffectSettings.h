// The effect object's private settings interface: the four parameters as
// one record.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace veltane {

// 16 bytes, in this order.
struct EffectSettings {
  float clickThreshold;   // 2..20
  float outputHissLevel;  // 0..1
  float inputHissLevel;   // 0..1
  DWORD options;          // the "Options" bits, 0..31
};
static_assert(sizeof(EffectSettings) == 16);

struct IEffectSettings : public IUnknown {
  // Sets click threshold, output hiss level, input hiss level and options,
  // in that order, as IMediaParams::SetParam does; stops at the first
  // failure and returns it. E_POINTER for null.
  virtual HRESULT STDMETHODCALLTYPE SetSettings(const EffectSettings* settings) = 0;
  // Reads the four parameters as IMediaParams::GetParam does (options
  // truncated to an integer). E_POINTER for null.
  virtual HRESULT STDMETHODCALLTYPE GetSettings(EffectSettings* settings) = 0;
  // The processing object's click meter, 0..100.
  virtual HRESULT STDMETHODCALLTYPE GetClickMeter(DWORD* level) = 0;
};

}  // namespace veltane

__CRT_UUID_DECL(veltane::IEffectSettings, 0x44b095cd, 0x8eb0, 0x4b72, 0xb7, 0xfd, 0x90, 0x5a, 0x67, 0x2c, 0xde, 0x10)

namespace veltane {
inline const IID& IID_IEffectSettings = __uuidof(IEffectSettings);
}  // namespace veltane
