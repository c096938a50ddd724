// A host opening the effect's property pages the usual way:
// ISpecifyPropertyPages on the effect object, then OleCreatePropertyFrame.
// The frame must show the page with its controls, and the page must reach
// the processing object that processes this effect's audio. The frame stays
// open until the file "frame.done" appears, after "frame.ready" announced it,
// so that a screenshot can be taken of it (frame-screenshot.sh).
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <olectl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "dmo/DmoTestSupport.h"

namespace veltane {
namespace {

using testing::MediaBuffer;
using testing::Module;

const ::testing::Environment* const kCom = ::testing::AddGlobalTestEnvironment(new testing::ComEnvironment);

bool FileExists(const char* name) { return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES; }

struct Search {
  const char* titlePart;
  HWND found;
};

BOOL CALLBACK FindFrame(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<Search*>(context);
  char title[256] = {};
  GetWindowTextA(window, title, sizeof title);
  if (IsWindowVisible(window) && std::string(title).find(search->titlePart) != std::string::npos) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

struct ControlSearch {
  int id;
  HWND found;
};

BOOL CALLBACK FindControl(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<ControlSearch*>(context);
  if (GetDlgCtrlID(window) == search->id) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

HWND Control(HWND frame, int id) {
  ControlSearch search{id, nullptr};
  EnumChildWindows(frame, FindControl, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string ClassOf(HWND window) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

// Frames of output for 500 frames of input in one ProcessInput/Output.
DWORD FramesOut(IMediaObject* effect) {
  std::vector<uint8_t> samples(4 * 500, 0x11);
  MediaBuffer in(samples.data(), static_cast<DWORD>(samples.size()));
  EXPECT_EQ(effect->ProcessInput(0, &in, 0, 0, 0), S_OK);
  MediaBuffer out(4 * 4096);
  DMO_OUTPUT_DATA_BUFFER element{};
  element.pBuffer = &out;
  DWORD status = 0;
  EXPECT_EQ(effect->ProcessOutput(0, 1, &element, &status), S_OK);
  return out.length / 4;
}

TEST(PropertyFrame, ShowsThePageAndReachesTheEffectsProcessing) {
  if (GetEnvironmentVariableA("DISPLAY", nullptr, 0) == 0) GTEST_SKIP() << "no display: run under xvfb-run";
  DeleteFileA("frame.ready");
  Module module;
  ASSERT_TRUE(module.Loaded());
  IClassFactory* pageFactory = nullptr;
  ASSERT_EQ(module.getClassObject(CLSID_CVeltaneProp, IID_IClassFactory, reinterpret_cast<void**>(&pageFactory)),
            S_OK);

  IMediaObject* effect = module.Create<IMediaObject>();
  ASSERT_NE(effect, nullptr);
  ASSERT_EQ(testing::SetTypes(effect, {2, 44100, 16}), S_OK);
  EXPECT_EQ(FramesOut(effect), 500u);  // full bypass: everything at once

  ISpecifyPropertyPages* specify = nullptr;
  ASSERT_EQ(effect->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void**>(&specify)), S_OK);
  CAUUID pages{};
  ASSERT_EQ(specify->GetPages(&pages), S_OK);
  specify->Release();

  // The user-interface thread, as in a host. It creates the page by the
  // class id the effect names; this process serves that class itself, in
  // the thread's apartment, without touching the registry.
  std::atomic<HRESULT> registered{E_PENDING};
  std::atomic<HRESULT> frameResult{E_PENDING};
  std::thread ui([&] {
    OleInitialize(nullptr);
    DWORD cookie = 0;
    registered = CoRegisterClassObject(CLSID_CVeltaneProp, pageFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                       &cookie);
    IUnknown* objects[] = {effect};
    frameResult = OleCreatePropertyFrame(nullptr, 40, 40, L"Veltane", 1, objects, pages.cElems, pages.pElems, 0, 0,
                                         nullptr);
    if (SUCCEEDED(registered)) CoRevokeClassObject(cookie);
    OleUninitialize();
  });

  Search search{"Veltane", nullptr};
  for (int tries = 0; tries < 200 && search.found == nullptr; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EnumWindows(FindFrame, reinterpret_cast<LPARAM>(&search));
  }
  HWND frame = search.found;
  EXPECT_NE(frame, nullptr) << "no property frame appeared";
  if (frame != nullptr) {
    for (int id : {1001, 1002, 1003}) EXPECT_EQ(ClassOf(Control(frame, id)), "msctls_trackbar32") << id;
    for (int id : {1004, 1005, 1010}) EXPECT_EQ(ClassOf(Control(frame, id)), "Edit") << id;
    for (int id : {1006, 1007, 1008, 1009, 1011}) EXPECT_EQ(ClassOf(Control(frame, id)), "Button") << id;
    char text[64] = {};
    GetWindowTextA(Control(frame, 1004), text, sizeof text);
    EXPECT_STREQ(text, "Click Thresh. 4.00");

    // Let the screenshot be taken, then untick "Full Bypass" as a user would.
    std::ofstream("frame.ready") << "ready\n";
    for (int tries = 0; tries < 600 && !FileExists("frame.done"); ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    SendMessageA(Control(frame, 1011), BM_CLICK, 0, 0);
    PostMessageA(frame, WM_COMMAND, IDOK, 0);
  }
  // A frame that does not close would leave the test waiting for ever.
  for (int tries = 0; tries < 200 && frameResult.load() == E_PENDING; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (frameResult.load() == E_PENDING) {
    std::fprintf(stderr, "the property frame did not close\n");
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
  }
  ui.join();
  EXPECT_EQ(registered.load(), S_OK);
  EXPECT_EQ(frameResult.load(), S_OK);
  CoTaskMemFree(pages.pElems);

  // The page changed the processing of this very effect: the chain runs now
  // and is still filling, so nothing comes out yet.
  EXPECT_EQ(FramesOut(effect), 0u);
  EXPECT_EQ(effect->Release(), 0u);
  pageFactory->Release();
  EXPECT_EQ(module.canUnloadNow(), S_OK);
}

}  // namespace
}  // namespace veltane
