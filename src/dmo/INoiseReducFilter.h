// The processing object's private COM interface and the effect object's
// private way of handing it out.
//
// Every INoiseReducFilter method holds the processing object's lock while it
// runs and returns S_OK; a null out-pointer gives E_POINTER instead of a
// crash. Flags travel as one byte, 0 or 1; levels as floats (0..1 for the
// hiss levels, 2..20 for the click threshold).
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace veltane {

struct INoiseReducFilter : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetBypassDeclick(BYTE on) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBypassDeclick(BYTE* on) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetBypassDenoise(BYTE on) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBypassDenoise(BYTE* on) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetFullBypass(BYTE on) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetFullBypass(BYTE* on) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetOutputClicks(BYTE on) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetOutputClicks(BYTE* on) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetAutoInputHissLevel(BYTE on) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAutoInputHissLevel(BYTE* on) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetClickThreshold(float value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetClickThreshold(float* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reserved() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetOutputHissLevel(float level) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetOutputHissLevel(float* level) = 0;
  virtual HRESULT STDMETHODCALLTYPE ResetOutputHissLevel() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetInputHissLevel(float level) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetInputHissLevel(float* level) = 0;
  // 0..100; reading resets the declicker's peak.
  virtual HRESULT STDMETHODCALLTYPE GetClickMeter(DWORD* level) = 0;
};

// Answered by the effect object: hands out the INoiseReducFilter of the
// processing object that processes its audio. The effect object does not
// answer IID_INoiseReducFilter itself, since the processing object is a COM
// object of its own with its own identity; the property page asks for this
// interface when it is given an effect object.
struct INoiseReducFilterSource : public IUnknown {
  // *filter gets a new reference; E_POINTER for null.
  virtual HRESULT STDMETHODCALLTYPE GetNoiseReducFilter(INoiseReducFilter** filter) = 0;
};

}  // namespace veltane

__CRT_UUID_DECL(veltane::INoiseReducFilter, 0x0b0dfe6c, 0x5d00, 0x4bdf, 0x9c, 0x2b, 0xe8, 0x3c, 0xff, 0x1d, 0x81, 0x7d)
__CRT_UUID_DECL(veltane::INoiseReducFilterSource, 0x958597ce, 0xe29b, 0x4a0f, 0x8e, 0x25, 0x7b, 0xf8, 0x35, 0xc0, 0x58,
                0x74)

namespace veltane {
inline const IID& IID_INoiseReducFilter = __uuidof(INoiseReducFilter);
inline const IID& IID_INoiseReducFilterSource = __uuidof(INoiseReducFilterSource);
}  // namespace veltane
