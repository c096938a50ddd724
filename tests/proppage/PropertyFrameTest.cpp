// A host opening the effect's property pages the usual way: the page the
// effect names through ISpecifyPropertyPages, in OleCreatePropertyFrame. The
// frame must show the page's controls, and the page must reach the
// processing object of this very effect. The frame stays open from
// "frame.ready" until "frame.done" appears, for frame-screenshot.sh.
#include <windows.h>
#include <olectl.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "dmo/DmoTestSupport.h"

namespace veltane {
namespace {

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

using namespace testing;  // the module, streaming and the fixture
using PropertyFrame = DllTest;

TEST_F(PropertyFrame, ShowsThePageAndReachesTheEffectsProcessing) {
  if (GetEnvironmentVariableA("DISPLAY", nullptr, 0) == 0) GTEST_SKIP() << "no display: run under Xvfb";
  DeleteFileA("frame.ready");
  auto effect = Create<IMediaObject>();
  ComPtr<ISpecifyPropertyPages> specify;
  ComPtr<IClassFactory> pageFactory;
  CAUUID pages{};
  ASSERT_TRUE(effect && SUCCEEDED(effect.As(&specify)) && SUCCEEDED(specify->GetPages(&pages)));
  ASSERT_EQ(dll.getClassObject(pages.pElems[0], IID_IClassFactory, &pageFactory), S_OK);
  ASSERT_EQ(SetTypes(effect.Get(), 2, 44100, 16), S_OK);
  const std::vector<uint8_t> input(4 * 500, 0x11);
  EXPECT_EQ(Stream(effect.Get(), input, {input.size()}, 4 * 4096), input);  // full bypass

  // The user-interface thread, as in a host, creating the page by the class
  // id the effect names, which this process serves without the registry.
  std::atomic<HRESULT> registered{E_PENDING}, shown{E_PENDING};
  std::thread ui([&] {
    DWORD cookie = 0;
    IUnknown* objects[] = {effect.Get()};
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
  EXPECT_EQ(Stream(effect.Get(), input, {input.size()}, 4 * 4096).size(), 0u);
  specify.Reset(), pageFactory.Reset();
  EXPECT_EQ(effect.Reset(), 0u);
}

}  // namespace
}  // namespace veltane
