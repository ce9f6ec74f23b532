// The message-pumping pause: its duration, the messages it dispatches meanwhile, its traces,
// the sleeper thread on its own, and the parameters outliving a caller that stopped early.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"
#include "Recorder.h"
#include "TestSupport.h"
#include "VeMoHostApi/Slumber.h"
#include "common/TraceCategories.h"
#include "common/UniqueHandle.h"
#include "tracing/Trace.h"

using vemo::test::Recorder;
using vemo::test::TraceRecord;
using namespace vemo::tracing;

namespace {
constexpr int32_t kPauseMs = 300;
constexpr int32_t kLongPauseMs = 2000;
constexpr int32_t kNoPauseMs = 0;
constexpr DWORD kSleeperEndWaitMs = 10000;
constexpr int kPostedMessages = 20;
constexpr UINT kTestMessage = WM_APP + 1;
constexpr wchar_t kWindowClass[] = L"VeMoSlumberTestWindow";
constexpr const wchar_t* kCategory = vemo::kCategoryVeMoHostCommon;
constexpr DWORD kWaitFailed = WAIT_FAILED;

constexpr char kTextTimeout300[] = "Slumber timeout <300>";
constexpr char kTextWaiting[] = "Wir warten auf das Event vom Slumber-Thread";
constexpr char kTextSleep[] = "Sleep aufrufen";
constexpr char kTextEventSet[] = "Event wurde gesetzt";
constexpr char kTextReceivedSignalled[] = "Event vom Slumber-Thread empfangen, Rückgabe <0> von WaitForSingleObject...";
constexpr char kTextReceivedFailed[] = "Event vom Slumber-Thread empfangen, Rückgabe <-1> von WaitForSingleObject...";
constexpr char kTextOddResult[] = "fragliche Rückgabe von MsgWaitForMultipleObjects <-1>! Abbruch der Schleife!";
constexpr char kTextNoParams[] = "Hier stimmt was nicht";

int g_dispatched = 0;

LRESULT CALLBACK CountingWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == kTestMessage) {
        ++g_dispatched;
        return 0;
    }
    return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

void DestroyWindowHandle(HWND hWnd) noexcept { ::DestroyWindow(hWnd); }
using unique_hwnd = vemo::unique_any<HWND, DestroyWindowHandle>;

DWORD WINAPI FailingWait(DWORD, const HANDLE*, BOOL, DWORD, DWORD) { return kWaitFailed; }

void TestInvalidParameterHandler(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {}

std::string Narrow(const wchar_t* psz) { return vemo::test::Narrow(psz); }

class SlumberTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(recorder.loaded());
        recorder.Reset();
    }

    // Records of our category with this text.
    size_t Count(int level, const char* pszText) const {
        const std::string category = Narrow(kCategory);
        const auto records = recorder.Records();
        return static_cast<size_t>(std::count_if(records.begin(), records.end(), [&](const TraceRecord& r) {
            return r.level == level && r.category == category && r.text == pszText;
        }));
    }

    bool WaitForLiveParamsGone() const {
        return vemo::test::WaitFor([] { return SlumberParams::LiveCount() == 0; }, kSleeperEndWaitMs);
    }

    Recorder recorder;
};

TEST_F(SlumberTest, APauseLastsItsTimeAndTracesItsCourse) {
    // The caller returns only once the sleeper, given the pause, signalled.
    CSlumber::Slumber(kPauseMs);
    EXPECT_EQ(1u, Count(kLevelInfo, kTextTimeout300));
    EXPECT_EQ(1u, Count(kLevelInfo, kTextWaiting));
    EXPECT_EQ(1u, Count(kLevelInfo, kTextSleep));
    EXPECT_EQ(1u, Count(kLevelInfo, kTextReceivedSignalled));
    // The sleeper traces after signalling: its line may come just after the caller returned.
    EXPECT_TRUE(vemo::test::WaitFor([&] { return Count(kLevelInfo, kTextEventSet) == 1; }, kSleeperEndWaitMs));
    EXPECT_TRUE(WaitForLiveParamsGone());
}

TEST_F(SlumberTest, MessagesPostedBeforeAndDuringThePauseAreDispatched) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &CountingWindowProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = kWindowClass;
    ASSERT_NE(0, ::RegisterClassW(&wc));
    {
        const unique_hwnd window(::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                                   wc.hInstance, nullptr));
        ASSERT_TRUE(window);
        g_dispatched = 0;
        for (int i = 0; i < kPostedMessages; ++i) ASSERT_TRUE(::PostMessageW(window.get(), kTestMessage, 0, 0));
        // A second batch arrives from another thread while the caller waits.
        struct Poster {
            HWND hWnd;
            static DWORD WINAPI Proc(LPVOID p) {
                const HWND hWnd = static_cast<Poster*>(p)->hWnd;
                for (int i = 0; i < kPostedMessages; ++i) ::PostMessageW(hWnd, kTestMessage, 0, 0);
                return 0;
            }
        } poster{window.get()};
        const vemo::unique_handle thread(::CreateThread(nullptr, 0, &Poster::Proc, &poster, 0, nullptr));
        ASSERT_TRUE(thread);
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread.get(), kSleeperEndWaitMs));
        CSlumber::Slumber(kPauseMs);
        EXPECT_EQ(2 * kPostedMessages, g_dispatched);
    }
    EXPECT_TRUE(::UnregisterClassW(kWindowClass, ::GetModuleHandleW(nullptr)));
}

TEST_F(SlumberTest, AQuitMessageIsTakenLikeAnyOther) {
    ::PostQuitMessage(0);
    CSlumber::Slumber(kPauseMs);
    MSG msg;
    EXPECT_FALSE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(1u, Count(kLevelInfo, kTextReceivedSignalled));
}

TEST_F(SlumberTest, AZeroPauseReturnsOnceTheSleeperSignalled) {
    CSlumber::Slumber(kNoPauseMs);
    EXPECT_EQ(1u, Count(kLevelInfo, kTextReceivedSignalled));
    EXPECT_TRUE(WaitForLiveParamsGone());
}

TEST_F(SlumberTest, AnEarlyEndLeavesTheParametersToTheSleeperWhichFreesThem) {
    ASSERT_TRUE(WaitForLiveParamsGone());
    CSlumber::SlumberWithWait(kLongPauseMs, &FailingWait);
    EXPECT_EQ(0u, Count(kLevelInfo, kTextEventSet));  // returned before the sleeper woke
    EXPECT_EQ(1u, Count(kLevelWarning, kTextOddResult));
    EXPECT_EQ(1u, Count(kLevelInfo, kTextReceivedFailed));
    // The caller is gone; the sleeper still holds the block and signals through it.
    EXPECT_EQ(1, SlumberParams::LiveCount());
    EXPECT_TRUE(vemo::test::WaitFor([&] { return Count(kLevelInfo, kTextEventSet) == 1; }, kSleeperEndWaitMs));
    EXPECT_TRUE(WaitForLiveParamsGone());
}

TEST_F(SlumberTest, TheSleeperWithoutParametersOnlyComplains) {
    EXPECT_EQ(0u, SlumberThread(nullptr));
    EXPECT_EQ(1u, Count(kLevelError, kTextNoParams));
    EXPECT_EQ(0u, Count(kLevelInfo, kTextSleep));
}

TEST_F(SlumberTest, TheSleeperSignalsAndPutsBackTheHooksItFound) {
    const auto previousTranslator = vemo::seh::SetSehTranslator(&TranslateSEHExceptionNoDump);
    const auto previousHandler = vemo::seh::SetThreadInvalidParameterHandler(&TestInvalidParameterHandler);

    vemo::unique_handle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event);
    std::unique_ptr<SlumberParams, SlumberParamsRelease> params(SlumberParams::Create(kNoPauseMs, std::move(event)));
    ASSERT_TRUE(params);
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
