// The property page of the effect: three sliders with value boxes and five
// check boxes, each change sent at once to the processing object through
// INoiseReducFilter.
//
// A host gives it objects through IPropertyPage::SetObjects. An object that
// answers INoiseReducFilter is used as it is; an effect object, which does
// not, is asked (through INoiseReducFilterSource) for the processing object
// that processes its audio. The page holds that reference until the objects
// are taken away. It never holds unapplied changes, so it is never dirty.
// Runs on the host's user-interface thread; not aggregatable.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include "dmo/ComObject.h"
#include "dmo/INoiseReducFilter.h"
#include "proppage/SliderControl.h"

namespace veltane {

class CVeltaneProp final : public ComObject<CVeltaneProp, IPropertyPage> {
 public:
  // A new page queried for `iid`; CLASS_E_NOAGGREGATION with an outer
  // object, E_OUTOFMEMORY, or the QueryInterface failure.
  static HRESULT Create(IUnknown* outer, REFIID iid, void** out);

  // Takes `object`'s INoiseReducFilter: E_POINTER for null, E_NOINTERFACE
  // when it has none.
  HRESULT ConnectToEffect(IUnknown* object);
  // Lets the filter go; E_UNEXPECTED when there was none.
  HRESULT DisconnectFromEffect();
  // The dialog's messages; returns whether the message was handled.
  INT_PTR HandleDialogMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  // IPropertyPage.
  HRESULT STDMETHODCALLTYPE SetPageSite(IPropertyPageSite* site) override;
  HRESULT STDMETHODCALLTYPE Activate(HWND parent, LPCRECT rect, BOOL modal) override;
  HRESULT STDMETHODCALLTYPE Deactivate() override;
  HRESULT STDMETHODCALLTYPE GetPageInfo(PROPPAGEINFO* info) override;
  HRESULT STDMETHODCALLTYPE SetObjects(ULONG count, IUnknown** objects) override;
  HRESULT STDMETHODCALLTYPE Show(UINT command) override;
  HRESULT STDMETHODCALLTYPE Move(LPCRECT rect) override;
  HRESULT STDMETHODCALLTYPE IsPageDirty() override;
  HRESULT STDMETHODCALLTYPE Apply() override;
  HRESULT STDMETHODCALLTYPE Help(LPCOLESTR helpDir) override;
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG* message) override;

 private:
  CVeltaneProp();
  ~CVeltaneProp() override;

  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void InitDialog(HWND window);
  // The pixel size of the dialog, measured by creating it hidden.
  SIZE MeasureDialog();

  IPropertyPageSite* site = nullptr;  // owned reference
  HWND dialogWindow = nullptr;
  bool dirty = false;
  ULONG objectCount = 0;

  SliderControl outputHissSlider;
  SliderControl clickThresholdSlider;
  SliderControl inputHissSlider;
  INoiseReducFilter* filter = nullptr;  // owned reference; null without an object
  float clickThresholdValue = 0.0f;
  float outputHissValue = 0.0f;
  float inputHissValue = 0.0f;
};

}  // namespace veltane
