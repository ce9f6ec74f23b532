// The message-pumping pause: the messages it dispatches meanwhile, its traces, the sleeper thread
// on its own, and the parameters outliving a caller that stopped early.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"
#include "Recorder.h"
#include "TestSupport.h"
#include "VeMoHostApi/Slumber.h"
#include "common/TraceCategories.h"
#include "common/UniqueHandle.h"
#include "tracing/Trace.h"

using vemo::test::WaitFor;
using namespace vemo::tracing;

namespace {
constexpr int32_t kPauseMs = 300;
constexpr DWORD kBoundMs = 10000;
constexpr UINT kTestMessage = WM_APP + 1;
constexpr wchar_t kWindowClass[] = L"VeMoSlumberTestWindow";
constexpr char kTextSleep[] = "Sleep aufrufen";
constexpr char kTextEventSet[] = "Event wurde gesetzt";

int g_dispatched = 0;

LRESULT CALLBACK CountingWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg != kTestMessage) return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
    ++g_dispatched;
    return 0;
}

void DestroyWindowHandle(HWND hWnd) noexcept { ::DestroyWindow(hWnd); }
using unique_hwnd = vemo::unique_any<HWND, DestroyWindowHandle>;

DWORD WINAPI FailingWait(DWORD, const HANDLE*, BOOL, DWORD, DWORD) { return WAIT_FAILED; }
void TestInvalidParameterHandler(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {}

class SlumberTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(recorder.loaded());
        recorder.Reset();
    }
    // Records of the host's common category with this text.
    size_t Count(int level, const std::string& text) const {
        const std::string category = vemo::test::Narrow(vemo::kCategoryVeMoHostCommon);
        const auto records = recorder.Records();
        return std::ranges::count_if(records, [&](const auto& r) { return r.level == level && r.category == category && r.text == text; });
    }
    bool SleeperDone() const {
        return WaitFor([&] { return Count(kLevelInfo, kTextEventSet) == 1 && SlumberParams::LiveCount() == 0; }, kBoundMs);
    }

    vemo::test::Recorder recorder;
};

// The caller returns once the sleeper, given the pause, signalled; a quit message meanwhile is
// taken like any other. The sleeper traces after signalling, so its line may come just after.
TEST_F(SlumberTest, APauseEndsWhenTheSleeperSignalledAndTracesItsCourse) {
    for (const int32_t pauseMs : {kPauseMs, 0}) {
        SCOPED_TRACE(pauseMs);
        recorder.Reset();
        ::PostQuitMessage(0);
        CSlumber::Slumber(pauseMs);
        MSG msg;
        EXPECT_FALSE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
        for (const std::string& text : {"Slumber timeout <" + std::to_string(pauseMs) + ">",
                                       std::string("Wir warten auf das Event vom Slumber-Thread"), std::string(kTextSleep),
                                       std::string("Event vom Slumber-Thread empfangen, Rückgabe <0> von WaitForSingleObject...")}) {
            EXPECT_EQ(1u, Count(kLevelInfo, text)) << text;
        }
        EXPECT_TRUE(SleeperDone());
    }
}

TEST_F(SlumberTest, MessagesPostedBeforeAndDuringThePauseAreDispatched) {
    WNDCLASSW wc = {.lpfnWndProc = &CountingWindowProc, .hInstance = ::GetModuleHandleW(nullptr), .lpszClassName = kWindowClass};
    ASSERT_NE(0, ::RegisterClassW(&wc));
    {
        const unique_hwnd window(::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr));
        ASSERT_TRUE(window);
        g_dispatched = 0;
        auto postBatch = [hWnd = window.get()] {
            for (int i = 0; i < 20; ++i) ::PostMessageW(hWnd, kTestMessage, 0, 0);
        };
        postBatch();
        std::thread(postBatch).join();  // a second batch from another thread
        CSlumber::Slumber(kPauseMs);
        EXPECT_EQ(40, g_dispatched);
    }
    EXPECT_TRUE(::UnregisterClassW(kWindowClass, wc.hInstance));
}

TEST_F(SlumberTest, AnEarlyEndLeavesTheParametersToTheSleeperWhichFreesThem) {
    ASSERT_TRUE(WaitFor([] { return SlumberParams::LiveCount() == 0; }, kBoundMs));
    CSlumber::SlumberWithWait(2000, &FailingWait);
    EXPECT_EQ(0u, Count(kLevelInfo, kTextEventSet));  // returned before the sleeper woke
    EXPECT_EQ(1u, Count(kLevelWarning, "fragliche Rückgabe von MsgWaitForMultipleObjects <-1>! Abbruch der Schleife!"));
    EXPECT_EQ(1u, Count(kLevelInfo, "Event vom Slumber-Thread empfangen, Rückgabe <-1> von WaitForSingleObject..."));
    // The caller is gone; the sleeper still holds the block and signals through it.
    EXPECT_EQ(1, SlumberParams::LiveCount());
    EXPECT_TRUE(SleeperDone());
}

TEST_F(SlumberTest, TheSleeperSignalsAndPutsBackTheHooksItFound) {
    EXPECT_EQ(0u, SlumberThread(nullptr));  // without parameters it only complains
    EXPECT_EQ(1u, Count(kLevelError, "Hier stimmt was nicht"));
    EXPECT_EQ(0u, Count(kLevelInfo, kTextSleep));

    const auto previousTranslator = vemo::seh::SetSehTranslator(&TranslateSEHExceptionNoDump);
    const auto previousHandler = vemo::seh::SetThreadInvalidParameterHandler(&TestInvalidParameterHandler);
    std::unique_ptr<SlumberParams, SlumberParamsRelease> params(
        SlumberParams::Create(0, vemo::unique_handle(::CreateEventW(nullptr, TRUE, FALSE, nullptr))));
    ASSERT_TRUE(params && params->hEvent);
    params->AddRef();  // the sleeper's reference
    EXPECT_EQ(0u, SlumberThread(params.get()));
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(params->hEvent.get(), 0));
    EXPECT_EQ(1u, Count(kLevelInfo, kTextEventSet));
    EXPECT_EQ(1, SlumberParams::LiveCount());
    params.reset();
    EXPECT_EQ(0, SlumberParams::LiveCount());
    EXPECT_EQ(&TranslateSEHExceptionNoDump, vemo::seh::SetSehTranslator(previousTranslator));
    EXPECT_EQ(&TestInvalidParameterHandler, vemo::seh::SetThreadInvalidParameterHandler(previousHandler));
}

}  // namespace
