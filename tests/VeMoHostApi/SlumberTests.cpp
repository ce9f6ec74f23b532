// The message-pumping pause: the messages it dispatches, and parameters outliving a caller that stopped early.
#include <gtest/gtest.h>
#include <windows.h>

#include <thread>

#include "Recorder.h"
#include "TestSupport.h"
#include "VeMoHostApi/Slumber.h"
#include "common/UniqueHandle.h"

namespace {

constexpr UINT kTestMessage = WM_APP + 1;
int g_dispatched = 0;
LRESULT CALLBACK CountingWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg != kTestMessage) return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
    return ++g_dispatched, 0;
}
void DestroyWindowHandle(HWND hWnd) noexcept { ::DestroyWindow(hWnd); }
DWORD WINAPI FailingWait(DWORD, const HANDLE*, BOOL, DWORD, DWORD) { return WAIT_FAILED; }

class Slumber : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(recorder.loaded());
        ASSERT_TRUE(vemo::test::WaitFor([] { return SlumberParams::LiveCount() == 0; }, 10000));
        recorder.Reset();
    }
    // The sleeper traces after signalling, so its line may come after the caller returned.
    bool SleeperDone() const {
        return vemo::test::WaitFor(
            [&] { return recorder.CountExact("Event wurde gesetzt") == 1 && SlumberParams::LiveCount() == 0; }, 10000);
    }
    vemo::test::Recorder recorder;
};

// Messages from this thread and another are dispatched, a quit message is taken like any other, and the
// caller returns once the sleeper signalled.
TEST_F(Slumber, DispatchesEveryMessageUntilTheSleeperSignalled) {
    WNDCLASSW wc = {.lpfnWndProc = &CountingWindowProc, .hInstance = ::GetModuleHandleW(nullptr), .lpszClassName = L"VeMoSlumber"};
    ASSERT_NE(0, ::RegisterClassW(&wc));
    const vemo::unique_any<HWND, DestroyWindowHandle> window(
        ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr));
    ASSERT_TRUE(window);
    auto postBatch = [hWnd = window.get()] { for (int i = 0; i < 20; ++i) ::PostMessageW(hWnd, kTestMessage, 0, 0); };
    postBatch();
    std::thread(postBatch).join();
    ::PostQuitMessage(0);
    CSlumber::Slumber(500);
    EXPECT_EQ(40, g_dispatched);
    MSG msg;
    EXPECT_FALSE(::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(1u, recorder.CountExact("Event vom Slumber-Thread empfangen, Rückgabe <0> von WaitForSingleObject..."));
    EXPECT_TRUE(SleeperDone());
}

// A failed wait ends the caller's loop at once; the sleeper still signals through the parameters and frees them.
TEST_F(Slumber, AnEarlyEndLeavesTheParametersToTheSleeperWhichFreesThem) {
    CSlumber::SlumberWithWait(2000, &FailingWait);
    EXPECT_EQ(0u, recorder.CountExact("Event wurde gesetzt"));
    EXPECT_EQ(1u, recorder.CountExact("fragliche Rückgabe von MsgWaitForMultipleObjects <-1>! Abbruch der Schleife!"));
    EXPECT_EQ(1, SlumberParams::LiveCount());
    EXPECT_TRUE(SleeperDone());
}

}  // namespace
