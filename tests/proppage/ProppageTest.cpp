// The property page in a real, hidden window under Wine: the page protocol's
// results, the dialog as the effect's defaults show it, and every control
// reaching the processing object. Then the page in a host's property frame.
#include <windows.h>
#include <commctrl.h>
#include <olectl.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "dmo/DmoTestSupport.h"
#include "proppage/SliderControl.h"

namespace veltane {
namespace {

using namespace testing;  // the module, buffers, streaming, tables and the fixture
using Filter = INoiseReducFilter;

// A page from the module's class factory, an effect for it and a hidden
// parent window (Wine draws through X: without a display there is none).
struct PageTest : EffectTest {
  void SetUp() override {
    if (GetEnvironmentVariableA("DISPLAY", nullptr, 0) == 0) GTEST_SKIP() << "no display: run under Xvfb";
    EffectTest::SetUp();
    page = Create<IPropertyPage>(CLSID_CVeltaneProp);
    ASSERT_TRUE(page);
    parent = CreateWindowExA(0, "STATIC", "", WS_OVERLAPPEDWINDOW, 0, 0, 600, 400, nullptr, nullptr, nullptr, nullptr);
  }
  void TearDown() override {
    EXPECT_EQ(page ? page.Reset() : 0, 0u);
    DestroyWindow(parent);
    EffectTest::TearDown();
  }
  HWND Item(int id) { return GetDlgItem(dialog, id); }
  LRESULT Position(int id) { return SendMessageA(Item(id), TBM_GETPOS, 0, 0); }
  std::string Text(int id) {
    char text[64] = {};
    GetWindowTextA(Item(id), text, sizeof text);
    return text;
  }
  void Drag(int id, LRESULT position) {
    SendMessageA(Item(id), TBM_SETPOS, TRUE, position);
    SendMessageA(dialog, WM_HSCROLL, MAKEWPARAM(TB_THUMBTRACK, position), reinterpret_cast<LPARAM>(Item(id)));
  }
  float Level(HRESULT (STDMETHODCALLTYPE Filter::*get)(float*)) {
    float value = -1.0f;
    EXPECT_EQ((nr.Get()->*get)(&value), S_OK);
    return value;
  }

  ComPtr<IPropertyPage> page;
  HWND parent = nullptr;
  HWND dialog = nullptr;
};

TEST_F(PageTest, Protocol) {
  PROPPAGEINFO info{};
  MSG message{};
  const RECT rect{10, 10, 300, 150};
  MediaBuffer stranger({});  // no private interface
  IUnknown *none = nullptr, *strangers = &stranger, *effects = mo.Get(), *filters = nr.Get();
  Check({ROW(E_POINTER, page->GetPageInfo(nullptr)), ROW(S_OK, page->GetPageInfo(&info)),
         ROW(S_FALSE, page->IsPageDirty()), ROW(S_OK, page->Apply()), ROW(E_NOTIMPL, page->Help(L"index")),
         ROW(E_NOTIMPL, page->TranslateAccelerator(&message)), ROW(S_OK, page->SetPageSite(nullptr)),
         ROW(E_UNEXPECTED, page->Show(SW_SHOW)), ROW(E_UNEXPECTED, page->Move(&rect)),  // not active
         ROW(E_UNEXPECTED, page->Deactivate()), ROW(E_POINTER, page->Activate(parent, nullptr, FALSE)),
         ROW(E_FAIL, page->Activate(nullptr, &rect, FALSE)),
         ROW(E_POINTER, page->SetObjects(1, nullptr)), ROW(E_POINTER, page->SetObjects(1, &none)),
         ROW(E_NOINTERFACE, page->SetObjects(1, &strangers)),
         ROW(E_UNEXPECTED, page->SetObjects(0, nullptr)),  // nothing connected
         ROW(S_OK, page->SetObjects(1, &filters)),         // the processing object itself
         ROW(S_OK, page->SetObjects(0, nullptr)), ROW(E_UNEXPECTED, page->SetObjects(0, nullptr)),  // twice
         ROW(S_OK, page->SetObjects(1, &effects)), ROW(S_OK, page->Activate(parent, &rect, TRUE)),
         ROW(E_UNEXPECTED, page->Activate(parent, &rect, FALSE)), ROW(S_OK, page->Show(SW_SHOW)),
         ROW(E_POINTER, page->Move(nullptr)), ROW(S_OK, page->Move(&rect)), ROW(S_FALSE, page->IsPageDirty()),
         ROW(S_OK, page->Deactivate()), ROW(S_OK, page->SetObjects(0, nullptr))});
  EXPECT_EQ(std::wstring(info.pszTitle), L"Veltane");
  EXPECT_TRUE(info.size.cx > 232 && info.size.cy > 118);  // pixels, measured from 232 x 118 dialog units
  CoTaskMemFree(info.pszTitle);
  EXPECT_EQ(stranger.refs, 1u);
}

// The dialog opens showing the effect's defaults, and every control reaches
// the processing object.
TEST_F(PageTest, OpensWithTheEffectsDefaultsAndControlsReachTheProcessingObject) {
  IUnknown* objects[] = {mo.Get()};
  const RECT rect{0, 0, 400, 200};
  ASSERT_EQ(page->SetObjects(1, objects), S_OK);
  ASSERT_EQ(page->Activate(parent, &rect, FALSE), S_OK);
  dialog = FindWindowExA(parent, nullptr, nullptr, nullptr);
  // The sliders with their value boxes; how each box's text begins.
  const struct { int trackbar, box; double position; const char* text; bool enabled; } sliders[] = {
      {1001, 1004, 2.0f * static_cast<float>(32767 / std::sqrt(20.0)), "Click Thresh. 4.00", true},
      {1002, 1005, 0.625 * 32767, "Output Hiss Level 0.6", true},
      {1003, 1010, 0.333f * 32767, "Input Hiss Level 0.33", false}};
  for (const auto& s : sliders) {
    EXPECT_EQ(Position(s.trackbar), static_cast<LRESULT>(s.position + 0.5));
    EXPECT_EQ(Text(s.box).rfind(s.text, 0), 0u) << Text(s.box);
    EXPECT_EQ(IsWindowEnabled(Item(s.trackbar)) + IsWindowEnabled(Item(s.box)), s.enabled ? 2 : 0);
  }
  // Each check box, its switch and its state in a new effect, clicked off
  // and on again (other notifications change nothing); while "Auto Input
  // Hiss Level" is clear the input hiss slider and its box work.
  const struct { int id; HRESULT (STDMETHODCALLTYPE Filter::*get)(BYTE*); BYTE initially; } boxes[] = {
      {1011, &Filter::GetFullBypass, 1}, {1006, &Filter::GetBypassDeclick, 1}, {1007, &Filter::GetBypassDenoise, 1},
      {1008, &Filter::GetOutputClicks, 0}, {1009, &Filter::GetAutoInputHissLevel, 1}};
  for (const auto& box : boxes) EXPECT_EQ(IsDlgButtonChecked(dialog, box.id), box.initially) << box.id;
  for (BYTE round = 0; round < 2; ++round) {
    for (const auto& box : boxes) {
      SendMessageA(Item(box.id), BM_CLICK, 0, 0);
      SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(box.id, BN_SETFOCUS), reinterpret_cast<LPARAM>(Item(box.id)));
      BYTE on = 0xcc;
      EXPECT_EQ((nr.Get()->*box.get)(&on), S_OK);
      EXPECT_EQ(on, box.initially ^ round ^ 1) << box.id;
    }
    EXPECT_EQ(IsWindowEnabled(Item(1003)) + IsWindowEnabled(Item(1010)), round == 0 ? 2 : 0);
  }
  // Home and End move the thumb and send nothing.
  ASSERT_TRUE(SUCCEEDED(nr->SetClickThreshold(9.0f)) && SUCCEEDED(nr->SetInputHissLevel(0.9f)));
  SetFocus(Item(1001));
  for (WPARAM key : {VK_HOME, VK_END}) {
    SendMessageA(Item(1001), WM_KEYDOWN, key, 0);
    SendMessageA(Item(1001), WM_KEYUP, key, 0);
  }
  EXPECT_EQ(Position(1001), 32766);
  EXPECT_EQ(Level(&Filter::GetClickThreshold), 9.0f);
  // Moving only the output hiss slider sends all three levels as the sliders show them.
  Drag(1002, 9830);
  EXPECT_NEAR(Level(&Filter::GetOutputHissLevel), 9830.0f / 32767, 1e-6);
  EXPECT_NEAR(Level(&Filter::GetClickThreshold), 20.0f, 1e-2);
  EXPECT_NEAR(Level(&Filter::GetInputHissLevel), 0.333f, 1.0f / 32767);
  EXPECT_EQ(Text(1005), "Output Hiss Level 0.30");
  // The click threshold's left end is about 1.9997, which the declicker raises to 2.
  Drag(1001, 10361);
  EXPECT_EQ(Level(&Filter::GetClickThreshold), 2.0f);
  EXPECT_EQ(Text(1004), "Click Thresh. 2.00");
  SliderControl slider;
  slider.Attach(dialog, 1001, SliderControl::kNoValueBox);
  slider.SetRange(2.0f, 20.0f, SliderControl::SquareRoot);
  EXPECT_NEAR(slider.GetValue(), 1.9997f, 1e-4f);
}

bool WaitFor(const std::function<bool()>& done, int seconds) {
  for (int i = 0; i < seconds * 20 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return done();
}

// Visible top-level windows whose titles name the effect: the frame.
BOOL CALLBACK FindFrame(HWND window, LPARAM found) {
  char title[256] = {};
  GetWindowTextA(window, title, sizeof title);
  if (IsWindowVisible(window) && std::strstr(title, "Veltane")) *reinterpret_cast<HWND*>(found) = window;
  return *reinterpret_cast<HWND*>(found) == nullptr;
}

// The window with control id `id` anywhere below `frame`.
HWND Control(HWND frame, int id) {
  std::pair<int, HWND> search{id, nullptr};
  const WNDENUMPROC match = [](HWND window, LPARAM context) {
    auto& [wanted, found] = *reinterpret_cast<std::pair<int, HWND>*>(context);
    if (GetDlgCtrlID(window) == wanted) found = window;
    return BOOL{found == nullptr};
  };
  EnumChildWindows(frame, match, reinterpret_cast<LPARAM>(&search));
  return search.second;
}

// A host opening the effect's property pages the usual way: the page the
// effect names through ISpecifyPropertyPages, in OleCreatePropertyFrame. The
// frame must show the page's controls, and the page must reach the
// processing object of this very effect. The frame stays open from
// "frame.ready" until "frame.done" appears, for frame-screenshot.sh, which
// runs this case on its own.
using PropertyFrame = PageTest;

TEST_F(PropertyFrame, ShowsThePageAndReachesTheEffectsProcessing) {
  DeleteFileA("frame.ready");
  ComPtr<ISpecifyPropertyPages> specify;
  ComPtr<IClassFactory> pageFactory;
  CAUUID pages{};
  ASSERT_TRUE(SUCCEEDED(mo.As(&specify)) && SUCCEEDED(specify->GetPages(&pages)));
  ASSERT_EQ(dll.getClassObject(pages.pElems[0], IID_IClassFactory, &pageFactory), S_OK);
  ASSERT_EQ(SetTypes(mo.Get(), 2, 44100, 16), S_OK);
  const std::vector<uint8_t> input(4 * 500, 0x11);
  EXPECT_EQ(Stream(mo.Get(), input, input.size(), 4 * 4096), input);  // full bypass

  // The user-interface thread, as in a host, creating the page by the class
  // id the effect names, which this process serves without the registry.
  std::atomic<HRESULT> registered{E_PENDING}, shown{E_PENDING};
  std::thread ui([&] {
    DWORD cookie = 0;
    IUnknown* objects[] = {mo.Get()};
    OleInitialize(nullptr);
    registered = CoRegisterClassObject(pages.pElems[0], pageFactory.Get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                       &cookie);
    shown = OleCreatePropertyFrame(nullptr, 40, 40, L"Veltane", 1, objects, pages.cElems, pages.pElems, 0, 0, nullptr);
    CoRevokeClassObject(cookie);
    OleUninitialize();
  });
  HWND frame = nullptr;
  EXPECT_TRUE(WaitFor([&] { return !EnumWindows(FindFrame, reinterpret_cast<LPARAM>(&frame)); }, 10)) << "no frame";
  for (auto [ids, kind] : {std::pair{std::vector{1001, 1002, 1003}, "msctls_trackbar32"},
                           {std::vector{1004, 1005, 1010}, "Edit"},
                           {std::vector{1006, 1007, 1008, 1009, 1011}, "Button"}}) {
    for (int id : ids) {
      char name[64] = {};
      GetClassNameA(Control(frame, id), name, sizeof name);
      EXPECT_STREQ(name, kind) << id;
    }
  }
  // The screenshot first, then "Full Bypass" unticked as a user would.
  std::ofstream("frame.ready") << "ready\n";
  WaitFor([] { return GetFileAttributesA("frame.done") != INVALID_FILE_ATTRIBUTES; }, 30);
  SendMessageA(Control(frame, 1011), BM_CLICK, 0, 0);
  PostMessageA(frame, WM_COMMAND, IDOK, 0);
  if (!WaitFor([&] { return shown != E_PENDING; }, 10)) {
    std::fprintf(stderr, "the property frame did not close\n");  // the test would wait for ever
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  ui.join();
  EXPECT_EQ(std::pair(registered.load(), shown.load()), std::pair(S_OK, S_OK));
  CoTaskMemFree(pages.pElems);
  // The chain of this very effect runs now, and fills first: nothing comes out.
  EXPECT_EQ(Stream(mo.Get(), input, input.size(), 4 * 4096).size(), 0u);
}

}  // namespace
}  // namespace veltane
