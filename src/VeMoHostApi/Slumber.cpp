#include "VeMoHostApi/Slumber.h"

#include <memory>
#include <new>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"
#include "common/ProductIds.h"
#include "common/TraceCategories.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;
using vemo::kCategoryVeMoHostCommon;

namespace {
constexpr SIZE_T kSleeperStackReservation = 16000;
constexpr DWORD kLoopWaitMs = 1;
constexpr DWORD kWakeMask = QS_ALLINPUT;
constexpr DWORD kEventCount = 1;
constexpr DWORD kWaitEventSignalled = WAIT_OBJECT_0;
constexpr DWORD kWaitInputWaiting = WAIT_OBJECT_0 + kEventCount;
constexpr DWORD kSleeperResult = 0;
// A negative time-out would read as (nearly) INFINITE for Sleep: it counts as no pause.
constexpr int32_t kShortestSleepMs = 0;

constexpr wchar_t kMethodSlumber[] = L"CSlumber::Slumber";
constexpr wchar_t kMethodSlumberThread[] = L"SlumberThread";
constexpr wchar_t kMsgTimeout[] = L"Slumber timeout <%ld>";
constexpr wchar_t kMsgCreateEventFailed[] = L"Fehler <%d> bei CreateEvent";
constexpr wchar_t kMsgCreateThreadFailed[] = L"Fehler <%d> bei CreateThread";
constexpr wchar_t kMsgWaiting[] = L"Wir warten auf das Event vom Slumber-Thread";
constexpr wchar_t kMsgOddWaitResult[] = L"fragliche Rückgabe von MsgWaitForMultipleObjects <%d>! Abbruch der Schleife!";
constexpr wchar_t kMsgEventReceived[] = L"Event vom Slumber-Thread empfangen, Rückgabe <%d> von WaitForSingleObject...";
constexpr wchar_t kMsgSleep[] = L"Sleep aufrufen";
constexpr wchar_t kMsgEventSet[] = L"Event wurde gesetzt";
constexpr wchar_t kMsgSetEventFailed[] = L"Fehler <%d> bei SetEvent";
constexpr wchar_t kMsgNoParams[] = L"Hier stimmt was nicht";

std::atomic<int> g_liveSlumberParams{0};

using SlumberParamsRef = std::unique_ptr<SlumberParams, SlumberParamsRelease>;

// The sleeper's crash hooks for the life of the thread procedure; the ones set before come back
// only when there were any and they were not ours.
class SleeperCrashHooks {
public:
    SleeperCrashHooks()
        : m_previousTranslator(vemo::seh::SetSehTranslator(&TranslateSEHExceptionToStdException)),
          m_previousHandler(vemo::seh::SetThreadInvalidParameterHandler(&InvalidParameterHandler)) {}
    ~SleeperCrashHooks() {
        if (m_previousHandler && m_previousHandler != &InvalidParameterHandler) {
            vemo::seh::SetThreadInvalidParameterHandler(m_previousHandler);
        }
        if (m_previousTranslator && m_previousTranslator != &TranslateSEHExceptionToStdException) {
            vemo::seh::SetSehTranslator(m_previousTranslator);
        }
    }
    SleeperCrashHooks(const SleeperCrashHooks&) = delete;
    SleeperCrashHooks& operator=(const SleeperCrashHooks&) = delete;

private:
    vemo::seh::SehTranslator m_previousTranslator;
    vemo::seh::InvalidParameterHandlerFn m_previousHandler;
};
}  // namespace

SlumberParams* SlumberParams::Create(int32_t lTimeoutMs, vemo::unique_handle hEvent) noexcept {
    auto* pParams = new (std::nothrow) SlumberParams();
    if (!pParams) return nullptr;
    pParams->lTimeoutMs = lTimeoutMs;
    pParams->hEvent = std::move(hEvent);
    g_liveSlumberParams.fetch_add(1);
    return pParams;
}

SlumberParams::~SlumberParams() { g_liveSlumberParams.fetch_sub(1); }

void SlumberParams::AddRef() noexcept { m_refs.fetch_add(1); }

void SlumberParams::Release() noexcept {
    if (m_refs.fetch_sub(1) == 1) delete this;
}

int SlumberParams::LiveCount() noexcept { return g_liveSlumberParams.load(); }

void CSlumber::Slumber(int32_t lTimeoutMs) { SlumberWithWait(lTimeoutMs, &::MsgWaitForMultipleObjects); }

void CSlumber::SlumberWithWait(int32_t lTimeoutMs, WaitFunction pfnWait) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHostCommon, kMethodSlumber, __LINE__);
    try {
        TraceFormatW(kLevelInfo, kCategoryVeMoHostCommon, kMsgTimeout, static_cast<long>(lTimeoutMs));

        vemo::unique_handle hEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!hEvent) {
            TraceFormatW(kLevelError, kCategoryVeMoHostCommon, kMsgCreateEventFailed,
                         static_cast<int>(::GetLastError()));
            return;
        }
        // Only the waiting uses the handle here; the block keeps it open for the sleeper.
        const HANDLE hWaitEvent = hEvent.get();
        SlumberParamsRef params(SlumberParams::Create(lTimeoutMs, std::move(hEvent)));
        if (!params) {
            TraceFormatW(kLevelError, kCategoryVeMoHostCommon, kMsgCreateEventFailed,
                         static_cast<int>(ERROR_NOT_ENOUGH_MEMORY));
            return;
        }

        // The sleeper's reference, handed over with the thread start.
        params->AddRef();
        vemo::unique_handle hThread(::CreateThread(nullptr, kSleeperStackReservation, &SlumberThread, params.get(),
                                                   STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        if (!hThread) {
            const DWORD dwError = ::GetLastError();
            params->Release();  // the sleeper never started: take its reference back
            TraceFormatW(kLevelError, kCategoryVeMoHostCommon, kMsgCreateThreadFailed, static_cast<int>(dwError));
            return;
        }

        TraceWriteW(kLevelInfo, kCategoryVeMoHostCommon, kMsgWaiting);
        DWORD dwResult = kWaitEventSignalled;
        for (;;) {
            dwResult = pfnWait(kEventCount, &hWaitEvent, FALSE, kLoopWaitMs, kWakeMask);
            if (dwResult == kWaitEventSignalled) break;
            if (dwResult == WAIT_TIMEOUT || dwResult == kWaitInputWaiting) {
                // One message per wake-up, so the wait for the event is never held up for long.
                MSG msg;
                if (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                    ::TranslateMessage(&msg);
                    ::DispatchMessageW(&msg);
                }
                continue;
            }
            TraceFormatW(kLevelWarning, kCategoryVeMoHostCommon, kMsgOddWaitResult, static_cast<int>(dwResult));
            break;
        }
        TraceFormatW(kLevelInfo, kCategoryVeMoHostCommon, kMsgEventReceived, static_cast<int>(dwResult));
    } catch (...) {
        TraceFormatW(kLevelException, kCategoryVeMoHostCommon, vemo::kMsgExceptionIn, kMethodSlumber);
    }
}

DWORD WINAPI SlumberThread(LPVOID pParams) {
    SleeperCrashHooks hooks;
    SlumberParamsRef params(static_cast<SlumberParams*>(pParams));
    try {
        if (!params) {
            TraceWriteW(kLevelError, kCategoryVeMoHostCommon, kMsgNoParams);
            return kSleeperResult;
        }
        TraceWriteW(kLevelInfo, kCategoryVeMoHostCommon, kMsgSleep);
        ::Sleep(static_cast<DWORD>(params->lTimeoutMs < kShortestSleepMs ? kShortestSleepMs : params->lTimeoutMs));
        if (::SetEvent(params->hEvent.get())) {
            TraceWriteW(kLevelInfo, kCategoryVeMoHostCommon, kMsgEventSet);
        } else {
            TraceFormatW(kLevelError, kCategoryVeMoHostCommon, kMsgSetEventFailed,
                         static_cast<int>(::GetLastError()));
        }
    } catch (...) {
        TraceFormatW(kLevelException, kCategoryVeMoHostCommon, vemo::kMsgExceptionIn, kMethodSlumberThread);
    }
    return kSleeperResult;
}
