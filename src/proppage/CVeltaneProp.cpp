// The effect's property page.
#include "proppage/CVeltaneProp.h"

#include <commctrl.h>

#include <new>

#include "dmo/ModuleLock.h"
#include "proppage/VeltanePropResources.h"

namespace veltane {
namespace {

// The size reported when the dialog cannot be measured.
constexpr SIZE kFallbackSize = {340, 150};

// Trackbars are a common control; their class must be registered before the
// dialog is made.
void LoadTrackbars() {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
}

INT_PTR CALLBACK IgnoreMessages(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

struct CheckBox {
  int id;
  HRESULT (STDMETHODCALLTYPE INoiseReducFilter::*get)(BYTE*);
  HRESULT (STDMETHODCALLTYPE INoiseReducFilter::*set)(BYTE);
};

// In the order the dialog's initialisation reads them.
constexpr CheckBox kCheckBoxes[] = {
    {IDC_FULL_BYPASS, &INoiseReducFilter::GetFullBypass, &INoiseReducFilter::SetFullBypass},
    {IDC_BYPASS_DECLICK, &INoiseReducFilter::GetBypassDeclick, &INoiseReducFilter::SetBypassDeclick},
    {IDC_BYPASS_DENOISE, &INoiseReducFilter::GetBypassDenoise, &INoiseReducFilter::SetBypassDenoise},
    {IDC_OUTPUT_CLICKS, &INoiseReducFilter::GetOutputClicks, &INoiseReducFilter::SetOutputClicks},
    {IDC_AUTO_INPUT_HISS, &INoiseReducFilter::GetAutoInputHissLevel, &INoiseReducFilter::SetAutoInputHissLevel},
};

}  // namespace

CVeltaneProp::CVeltaneProp() : ComObject(nullptr) {}

CVeltaneProp::~CVeltaneProp() {
  if (dialogWindow != nullptr) DestroyWindow(dialogWindow);
  if (filter != nullptr) filter->Release();
  if (site != nullptr) site->Release();
}

HRESULT CVeltaneProp::Create(IUnknown* outer, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  // Hosts never aggregate a property page.
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  auto* page = new (std::nothrow) CVeltaneProp();
  if (page == nullptr) return E_OUTOFMEMORY;
  IUnknown* inner = page->InnerUnknown();
  const HRESULT hr = inner->QueryInterface(iid, out);
  inner->Release();
  return hr;
}

HRESULT CVeltaneProp::ConnectToEffect(IUnknown* object) {
  if (object == nullptr) return E_POINTER;
  INoiseReducFilter* found = nullptr;
  const HRESULT hr = object->QueryInterface(IID_INoiseReducFilter, reinterpret_cast<void**>(&found));
  if (FAILED(hr)) return E_NOINTERFACE;
  if (filter != nullptr) filter->Release();
  filter = found;
  return S_OK;
}

HRESULT CVeltaneProp::DisconnectFromEffect() {
  if (filter == nullptr) return E_UNEXPECTED;
  filter->Release();
  filter = nullptr;
  return S_OK;
}

HRESULT CVeltaneProp::SetObjects(ULONG count, IUnknown** objects) {
  if (count == 0) {
    objectCount = 0;
    return DisconnectFromEffect();
  }
  if (objects == nullptr || objects[0] == nullptr) return E_POINTER;
  if (filter != nullptr) DisconnectFromEffect();
  // An effect object hands out its processing object; anything else must
  // answer INoiseReducFilter itself. The first object is the one edited.
  INoiseReducFilterSource* source = nullptr;
  HRESULT hr = E_NOINTERFACE;
  if (SUCCEEDED(objects[0]->QueryInterface(IID_INoiseReducFilterSource, reinterpret_cast<void**>(&source)))) {
    INoiseReducFilter* processing = nullptr;
    hr = source->GetNoiseReducFilter(&processing);
    source->Release();
    if (SUCCEEDED(hr)) {
      hr = ConnectToEffect(processing);
      processing->Release();
    }
  } else {
    hr = ConnectToEffect(objects[0]);
  }
  if (SUCCEEDED(hr)) objectCount = count;
  return hr;
}

HRESULT CVeltaneProp::SetPageSite(IPropertyPageSite* newSite) {
  if (newSite != nullptr) {
    if (site != nullptr) return E_UNEXPECTED;
    newSite->AddRef();
    site = newSite;
  } else if (site != nullptr) {
    site->Release();
    site = nullptr;
  }
  return S_OK;
}

HRESULT CVeltaneProp::Activate(HWND parent, LPCRECT rect, BOOL) {
  if (rect == nullptr) return E_POINTER;
  if (dialogWindow != nullptr) return E_UNEXPECTED;
  LoadTrackbars();
  dialogWindow = CreateDialogParamW(ModuleHandle(), MAKEINTRESOURCEW(IDD_VELTANEPROP), parent, DialogProc,
                                    reinterpret_cast<LPARAM>(this));
  if (dialogWindow == nullptr) return E_FAIL;
  MoveWindow(dialogWindow, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, TRUE);
  return S_OK;
}

HRESULT CVeltaneProp::Deactivate() {
  if (dialogWindow == nullptr) return E_UNEXPECTED;
  DestroyWindow(dialogWindow);
  dialogWindow = nullptr;
  return S_OK;
}

SIZE CVeltaneProp::MeasureDialog() {
  LoadTrackbars();
  // A child dialog needs a parent to exist; the desktop serves, and the
  // dialog is never shown.
  HWND measured = CreateDialogParamW(ModuleHandle(), MAKEINTRESOURCEW(IDD_VELTANEPROP), GetDesktopWindow(),
                                     IgnoreMessages, 0);
  if (measured == nullptr) return kFallbackSize;
  RECT rect{};
  GetWindowRect(measured, &rect);
  DestroyWindow(measured);
  const SIZE size{rect.right - rect.left, rect.bottom - rect.top};
  return size.cx > 0 && size.cy > 0 ? size : kFallbackSize;
}

HRESULT CVeltaneProp::GetPageInfo(PROPPAGEINFO* info) {
  if (info == nullptr) return E_POINTER;
  // The page's title is the effect's display name.
  WCHAR name[64] = L"Veltane";
  LoadStringW(ModuleHandle(), IDS_VELTANE_NAME, name, 64);
  const size_t bytes = (lstrlenW(name) + 1) * sizeof(WCHAR);
  auto* title = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
  if (title == nullptr) return E_OUTOFMEMORY;
  CopyMemory(title, name, bytes);
  info->cb = sizeof *info;
  info->pszTitle = title;
  info->size = MeasureDialog();
  info->pszDocString = nullptr;
  info->pszHelpFile = nullptr;
  info->dwHelpContext = 0;
  return S_OK;
}

HRESULT CVeltaneProp::Show(UINT command) {
  if (dialogWindow == nullptr) return E_UNEXPECTED;
  ShowWindow(dialogWindow, static_cast<int>(command));
  return S_OK;
}

HRESULT CVeltaneProp::Move(LPCRECT rect) {
  if (rect == nullptr) return E_POINTER;
  if (dialogWindow == nullptr) return E_UNEXPECTED;
  MoveWindow(dialogWindow, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, TRUE);
  return S_OK;
}

// Every change went to the effect when it was made: nothing waits for Apply.
HRESULT CVeltaneProp::IsPageDirty() { return S_FALSE; }
HRESULT CVeltaneProp::Apply() { return S_OK; }
HRESULT CVeltaneProp::Help(LPCOLESTR) { return E_NOTIMPL; }
HRESULT CVeltaneProp::TranslateAccelerator(MSG*) { return E_NOTIMPL; }

INT_PTR CALLBACK CVeltaneProp::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) SetWindowLongPtrW(window, DWLP_USER, lParam);
  auto* page = reinterpret_cast<CVeltaneProp*>(GetWindowLongPtrW(window, DWLP_USER));
  return page != nullptr ? page->HandleDialogMessage(window, message, wParam, lParam) : FALSE;
}

void CVeltaneProp::InitDialog(HWND window) {
  outputHissSlider.Attach(window, IDC_OUTPUT_HISS, IDC_OUTPUT_HISS_VALUE);
  outputHissSlider.SetRange(0.0f, 1.0f, SliderControl::Linear);
  outputHissSlider.format = "Output Hiss Level %.2f";
  clickThresholdSlider.Attach(window, IDC_CLICK_THRESHOLD, IDC_CLICK_THRESHOLD_VALUE);
  clickThresholdSlider.SetRange(2.0f, 20.0f, SliderControl::SquareRoot);
  clickThresholdSlider.format = "Click Thresh. %.2f";
  inputHissSlider.Attach(window, IDC_INPUT_HISS, IDC_INPUT_HISS_VALUE);
  inputHissSlider.SetRange(0.0f, 1.0f, SliderControl::Linear);
  inputHissSlider.format = "Input Hiss Level %.2f";
  if (filter == nullptr) return;  // nothing to show yet

  float level = 0.0f;
  filter->GetOutputHissLevel(&level);
  outputHissSlider.SetValue(level);
  filter->GetClickThreshold(&level);
  clickThresholdSlider.SetValue(level);
  filter->GetInputHissLevel(&level);
  inputHissSlider.SetValue(level);
  BYTE autoLevel = 0;
  for (const CheckBox& box : kCheckBoxes) {
    BYTE on = 0;
    (filter->*box.get)(&on);
    SendDlgItemMessageW(window, box.id, BM_SETCHECK, on != 0 ? BST_CHECKED : BST_UNCHECKED, 0);
    if (box.id == IDC_AUTO_INPUT_HISS) autoLevel = on;
  }
  inputHissSlider.Enable(autoLevel == 0);
}

INT_PTR CVeltaneProp::HandleDialogMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      InitDialog(window);
      return TRUE;  // default focus

    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      for (const CheckBox& box : kCheckBoxes) {
        if (box.id != id) continue;
        if (HIWORD(wParam) != BN_CLICKED || filter == nullptr) return TRUE;
        const BYTE on = IsDlgButtonChecked(window, id) == BST_CHECKED ? 1 : 0;
        (filter->*box.set)(on);
        if (id == IDC_AUTO_INPUT_HISS) inputHissSlider.Enable(on == 0);
        return TRUE;
      }
      return FALSE;
    }

    case WM_HSCROLL: {
      const auto sender = reinterpret_cast<HWND>(lParam);
      const bool fromSlider = sender != nullptr && (sender == GetDlgItem(window, IDC_CLICK_THRESHOLD) ||
                                                    sender == GetDlgItem(window, IDC_OUTPUT_HISS) ||
                                                    sender == GetDlgItem(window, IDC_INPUT_HISS));
      if (!fromSlider) return FALSE;
      // Line and page steps and dragging send the values; the settling codes
      // (thumb position, top, bottom, end of scroll) do not.
      switch (LOWORD(wParam)) {
        case TB_LINEUP:
        case TB_LINEDOWN:
        case TB_PAGEUP:
        case TB_PAGEDOWN:
        case TB_THUMBTRACK:
          break;
        default:
          return TRUE;
      }
      outputHissValue = outputHissSlider.GetValue();
      clickThresholdValue = clickThresholdSlider.GetValue();
      inputHissValue = inputHissSlider.GetValue();
      if (filter != nullptr) {
        filter->SetOutputHissLevel(outputHissValue);
        filter->SetClickThreshold(clickThresholdValue);
        filter->SetInputHissLevel(inputHissValue);
      }
      return TRUE;
    }

    case WM_DESTROY:
      return TRUE;

    default:
      return FALSE;
  }
}

}  // namespace veltane
