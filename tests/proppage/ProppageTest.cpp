// The property page in a real (hidden) window under Wine: the slider
// arithmetic, the dialog as the effect's defaults show it, every control
// reaching the processing object, and the page protocol's results.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cmath>
#include <string>

#include "dmo/DmoTestSupport.h"
#include "proppage/SliderControl.h"

namespace veltane {
namespace {

using testing::Module;

const ::testing::Environment* const kCom = ::testing::AddGlobalTestEnvironment(new testing::ComEnvironment);

// Wine draws windows through X: without a display no window can be made.
bool HaveDisplay() { return GetEnvironmentVariableA("DISPLAY", nullptr, 0) > 0; }

HWND HiddenWindow() {
  return CreateWindowExA(0, "STATIC", "page host", WS_OVERLAPPEDWINDOW, 0, 0, 600, 400, nullptr, nullptr,
                         GetModuleHandleA(nullptr), nullptr);
}

std::string Text(HWND window) {
  char text[256] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

LRESULT Position(HWND trackbar) { return SendMessageA(trackbar, TBM_GETPOS, 0, 0); }

class SliderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveDisplay()) GTEST_SKIP() << "no display: run under xvfb-run";
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    parent = HiddenWindow();
    trackbar = CreateWindowExA(0, TRACKBAR_CLASSA, "", WS_CHILD, 0, 0, 200, 20, parent,
                               reinterpret_cast<HMENU>(1001), nullptr, nullptr);
    box = CreateWindowExA(0, "EDIT", "", WS_CHILD, 0, 30, 200, 20, parent, reinterpret_cast<HMENU>(1004), nullptr,
                          nullptr);
    ASSERT_TRUE(parent && trackbar && box);
    slider.Attach(parent, 1001, 1004);
  }
  void TearDown() override {
    if (parent != nullptr) DestroyWindow(parent);
  }
  HWND parent = nullptr;
  HWND trackbar = nullptr;
  HWND box = nullptr;
  SliderControl slider;
};

TEST_F(SliderTest, SquareRootScaleMapsTheClickThresholdRange) {
  slider.SetRange(2.0f, 20.0f, SliderControl::SquareRoot);
  EXPECT_NEAR(slider.factor, 7326.92f, 0.01f);
  EXPECT_EQ(slider.posMin, 10361);
  EXPECT_EQ(slider.posMax, 32766);
  EXPECT_EQ(SendMessageA(trackbar, TBM_GETRANGEMIN, 0, 0), 10361);
  EXPECT_EQ(SendMessageA(trackbar, TBM_GETRANGEMAX, 0, 0), 32766);
  slider.format = "Click Thresh. %.2f";
  slider.SetValue(4.0f);
  EXPECT_EQ(Position(trackbar), static_cast<LRESULT>(2.0 * slider.factor + 0.5));
  EXPECT_EQ(Text(box), "Click Thresh. 4.00");
  EXPECT_NEAR(slider.GetValue(), 4.0f, 1e-3f);
  SendMessageA(trackbar, TBM_SETPOS, TRUE, 10361);
  EXPECT_NEAR(slider.GetValue(), 1.9997f, 1e-4f);
  EXPECT_EQ(Text(box), "Click Thresh. 2.00");
}

TEST_F(SliderTest, LinearAndLogarithmicRoundTrip) {
  slider.SetRange(0.0f, 1.0f, SliderControl::Linear);
  EXPECT_FLOAT_EQ(slider.factor, 32767.0f);
  EXPECT_EQ(slider.posMin, 0);
  EXPECT_EQ(slider.posMax, 32767);
  slider.SetValue(0.25f);
  EXPECT_EQ(Position(trackbar), 8192);
  EXPECT_NEAR(slider.GetValue(), 0.25f, 1.0f / 32767);
  EXPECT_EQ(Text(box).substr(0, 4), "0.25");  // "%f" without a format

  slider.SetRange(0.5f, 8.0f, SliderControl::Logarithmic);
  slider.SetValue(2.0f);
  EXPECT_NEAR(slider.GetValue(), 2.0f, 1e-3f);
}

TEST_F(SliderTest, ReversedRangeRunsTheOtherWay) {
  slider.SetRange(1.0f, 0.0f, SliderControl::Linear);
  EXPECT_TRUE(slider.reversed);
  EXPECT_EQ(slider.posMin, 0);
  EXPECT_EQ(slider.posMax, 32767);
  slider.SetValue(0.75f);
  EXPECT_EQ(Position(trackbar), 32767 - 24575);
  EXPECT_NEAR(slider.GetValue(), 0.75f, 1e-4f);
}

TEST(SliderWithoutTrackbar, EveryOperationIsANoOp) {
  SliderControl slider;
  slider.Attach(nullptr, 1001, 1004);
  slider.SetRange(2.0f, 20.0f, SliderControl::SquareRoot);
  EXPECT_FLOAT_EQ(slider.factor, 1000.0f);  // untouched
  slider.SetValue(5.0f);
  EXPECT_FLOAT_EQ(slider.value, 0.0f);
  EXPECT_FLOAT_EQ(slider.GetValue(), 0.0f);
  slider.Enable(false);
}

// An object with no private interface at all.
class Stranger final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = iid == IID_IUnknown ? this : nullptr;
    return *out != nullptr ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

class PageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveDisplay()) GTEST_SKIP() << "no display: run under xvfb-run";
    ASSERT_TRUE(module.Loaded());
    effect = module.Create<IMediaObject>();
    ASSERT_NE(effect, nullptr);
    INoiseReducFilterSource* source = nullptr;
    ASSERT_EQ(effect->QueryInterface(IID_INoiseReducFilterSource, reinterpret_cast<void**>(&source)), S_OK);
    ASSERT_EQ(source->GetNoiseReducFilter(&filter), S_OK);
    source->Release();
    IClassFactory* factory = nullptr;
    ASSERT_EQ(module.getClassObject(CLSID_CVeltaneProp, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
    factory->Release();
    parent = HiddenWindow();
    ASSERT_NE(parent, nullptr);
  }
  void TearDown() override {
    if (page == nullptr) return;
    if (dialog != nullptr) {
      EXPECT_EQ(page->Deactivate(), S_OK);
    }
    EXPECT_EQ(page->Release(), 0u);
    DestroyWindow(parent);
    filter->Release();
    EXPECT_EQ(effect->Release(), 0u);
    EXPECT_EQ(module.canUnloadNow(), S_OK);
  }
  void Open() {
    IUnknown* objects[] = {effect};
    ASSERT_EQ(page->SetObjects(1, objects), S_OK);
    const RECT rect{0, 0, 400, 200};
    ASSERT_EQ(page->Activate(parent, &rect, FALSE), S_OK);
    dialog = FindWindowExA(parent, nullptr, nullptr, nullptr);
    ASSERT_NE(dialog, nullptr);
  }
  HWND Item(int id) { return GetDlgItem(dialog, id); }
  void Click(int id) { SendMessageA(Item(id), BM_CLICK, 0, 0); }
  void Drag(int id, LRESULT position) {
    SendMessageA(Item(id), TBM_SETPOS, TRUE, position);
    SendMessageA(dialog, WM_HSCROLL, MAKEWPARAM(TB_THUMBTRACK, position), reinterpret_cast<LPARAM>(Item(id)));
  }
  BYTE Flag(HRESULT (STDMETHODCALLTYPE INoiseReducFilter::*get)(BYTE*)) {
    BYTE on = 0xcc;
    EXPECT_EQ((filter->*get)(&on), S_OK);
    return on;
  }
  float Level(HRESULT (STDMETHODCALLTYPE INoiseReducFilter::*get)(float*)) {
    float value = -1.0f;
    EXPECT_EQ((filter->*get)(&value), S_OK);
    return value;
  }

  Module module;
  IMediaObject* effect = nullptr;
  INoiseReducFilter* filter = nullptr;
  IPropertyPage* page = nullptr;
  HWND parent = nullptr;
  HWND dialog = nullptr;
};

TEST_F(PageTest, OpensWithTheEffectsDefaults) {
  Open();
  const float clickFactor = static_cast<float>(32767.0 / std::sqrt(20.0));
  EXPECT_EQ(Position(Item(1001)), static_cast<LRESULT>(2.0 * clickFactor + 0.5));
  EXPECT_EQ(Position(Item(1002)), static_cast<LRESULT>(0.625 * 32767 + 0.5));
  EXPECT_EQ(Position(Item(1003)), static_cast<LRESULT>(0.333f * 32767 + 0.5));
  EXPECT_EQ(Text(Item(1004)), "Click Thresh. 4.00");
  EXPECT_EQ(Text(Item(1005)).substr(0, 21), "Output Hiss Level 0.6");  // 0.625 to two decimals
  EXPECT_EQ(Text(Item(1010)), "Input Hiss Level 0.33");
  EXPECT_EQ(IsDlgButtonChecked(dialog, 1011), BST_CHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dialog, 1006), BST_CHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dialog, 1007), BST_CHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dialog, 1008), BST_UNCHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dialog, 1009), BST_CHECKED);
  EXPECT_FALSE(IsWindowEnabled(Item(1003)));
  EXPECT_FALSE(IsWindowEnabled(Item(1010)));
  EXPECT_TRUE(IsWindowEnabled(Item(1002)));
}

TEST_F(PageTest, CheckBoxesReachTheProcessingObject) {
  Open();
  Click(1011);
  EXPECT_EQ(Flag(&INoiseReducFilter::GetFullBypass), 0);
  Click(1006);
  EXPECT_EQ(Flag(&INoiseReducFilter::GetBypassDeclick), 0);
  Click(1007);
  EXPECT_EQ(Flag(&INoiseReducFilter::GetBypassDenoise), 0);
  Click(1008);
  EXPECT_EQ(Flag(&INoiseReducFilter::GetOutputClicks), 1);
  Click(1009);
  EXPECT_EQ(Flag(&INoiseReducFilter::GetAutoInputHissLevel), 0);
  EXPECT_TRUE(IsWindowEnabled(Item(1003)));
  EXPECT_TRUE(IsWindowEnabled(Item(1010)));
  Click(1009);
  EXPECT_EQ(Flag(&INoiseReducFilter::GetAutoInputHissLevel), 1);
  EXPECT_FALSE(IsWindowEnabled(Item(1003)));
  EXPECT_FALSE(IsWindowEnabled(Item(1010)));
  Click(1011);
  EXPECT_EQ(Flag(&INoiseReducFilter::GetFullBypass), 1);
  // Notifications other than a click change nothing.
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(1011, BN_SETFOCUS), reinterpret_cast<LPARAM>(Item(1011)));
  EXPECT_EQ(Flag(&INoiseReducFilter::GetFullBypass), 1);
}

TEST_F(PageTest, MovingOneSliderSendsAllThreeLevels) {
  Open();
  ASSERT_EQ(filter->SetClickThreshold(9.0f), S_OK);
  ASSERT_EQ(filter->SetInputHissLevel(0.9f), S_OK);
  Drag(1002, 9830);  // about 0.3
  EXPECT_NEAR(Level(&INoiseReducFilter::GetOutputHissLevel), 9830.0f / 32767, 1e-6);
  EXPECT_NEAR(Level(&INoiseReducFilter::GetClickThreshold), 4.0f, 1e-3);  // as the slider shows it
  EXPECT_NEAR(Level(&INoiseReducFilter::GetInputHissLevel), 0.333f, 1.0f / 32767);
  EXPECT_EQ(Text(Item(1005)), "Output Hiss Level 0.30");
}

TEST_F(PageTest, ClickThresholdAtItsLeftEndReadsBackAsTwo) {
  Open();
  Drag(1001, 10361);
  EXPECT_FLOAT_EQ(Level(&INoiseReducFilter::GetClickThreshold), 2.0f);
  EXPECT_EQ(Text(Item(1004)), "Click Thresh. 2.00");
}

TEST_F(PageTest, HomeAndEndMoveTheThumbButSendNothing) {
  Open();
  ASSERT_EQ(filter->SetClickThreshold(9.0f), S_OK);
  SetFocus(Item(1001));
  SendMessageA(Item(1001), WM_KEYDOWN, VK_HOME, 0);
  SendMessageA(Item(1001), WM_KEYUP, VK_HOME, 0);
  EXPECT_EQ(Position(Item(1001)), 10361);
  SendMessageA(Item(1001), WM_KEYDOWN, VK_END, 0);
  SendMessageA(Item(1001), WM_KEYUP, VK_END, 0);
  EXPECT_EQ(Position(Item(1001)), 32766);
  EXPECT_FLOAT_EQ(Level(&INoiseReducFilter::GetClickThreshold), 9.0f);
  // A line step does send.
  SendMessageA(Item(1001), WM_KEYDOWN, VK_LEFT, 0);
  EXPECT_NEAR(Level(&INoiseReducFilter::GetClickThreshold), 20.0f, 0.01f);
}

TEST_F(PageTest, ObjectsWithoutThePrivateInterfaceAreRefused) {
  Stranger stranger;
  IUnknown* objects[] = {&stranger};
  EXPECT_EQ(page->SetObjects(1, objects), E_NOINTERFACE);
  IUnknown* none[] = {nullptr};
  EXPECT_EQ(page->SetObjects(1, none), E_POINTER);
  EXPECT_EQ(page->SetObjects(0, nullptr), E_UNEXPECTED);  // nothing connected

  // The processing object itself is accepted as it is.
  IUnknown* direct[] = {filter};
  EXPECT_EQ(page->SetObjects(1, direct), S_OK);
  EXPECT_EQ(page->SetObjects(0, nullptr), S_OK);
  EXPECT_EQ(page->SetObjects(0, nullptr), E_UNEXPECTED);
}

TEST_F(PageTest, ProtocolAnswers) {
  PROPPAGEINFO info{};
  EXPECT_EQ(page->GetPageInfo(nullptr), E_POINTER);
  ASSERT_EQ(page->GetPageInfo(&info), S_OK);
  EXPECT_EQ(std::wstring(info.pszTitle), L"Veltane");
  EXPECT_GT(info.size.cx, 232);  // measured in pixels from 232 x 118 dialog units
  EXPECT_GT(info.size.cy, 118);
  EXPECT_EQ(info.pszDocString, nullptr);
  CoTaskMemFree(info.pszTitle);
  EXPECT_EQ(page->IsPageDirty(), S_FALSE);
  EXPECT_EQ(page->Apply(), S_OK);
  EXPECT_EQ(page->Help(L"x"), E_NOTIMPL);
  MSG message{};
  EXPECT_EQ(page->TranslateAccelerator(&message), E_NOTIMPL);
  EXPECT_EQ(page->Show(SW_SHOW), E_UNEXPECTED);  // not active
  Open();
  EXPECT_EQ(page->Show(SW_SHOW), S_OK);
  const RECT moved{10, 10, 300, 150};
  EXPECT_EQ(page->Move(&moved), S_OK);
  EXPECT_EQ(page->Move(nullptr), E_POINTER);
  EXPECT_EQ(page->IsPageDirty(), S_FALSE);
}

TEST(PageFactory, RefusesAggregationAndKeepsTheModuleLoaded) {
  Module module;
  ASSERT_TRUE(module.Loaded());
  IClassFactory* factory = nullptr;
  ASSERT_EQ(module.getClassObject(CLSID_CVeltaneProp, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  Stranger outer;
  void* out = reinterpret_cast<void*>(0xcc);
  EXPECT_EQ(factory->CreateInstance(&outer, IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  IPropertyPage* page = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
  factory->Release();
  EXPECT_EQ(module.canUnloadNow(), S_FALSE);
  EXPECT_EQ(page->Release(), 0u);
  EXPECT_EQ(module.canUnloadNow(), S_OK);
}

}  // namespace
}  // namespace veltane
