#include "BasisLibs_MitTracing/ThreadControlLib/ThreadFunctions.h"

#include <array>
#include <cstring>
#include <cwchar>
#include <string>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"
#include "common/AnsiText.h"
#include "common/TraceCategories.h"
#include "common/UniqueHandle.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;

namespace ThreadControl {

namespace {

constexpr int kLineCreateThread = 117;
constexpr wchar_t kMethodCreateThread[] = L"ThreadControl::_CreateThread";

constexpr wchar_t kMsgThreadCreated[] = L"Thread wurde erzeugt mit Thread-id <%d>.";
constexpr wchar_t kMsgSyncEventNotCreated[] = L"Speicher-Sync-Event konnte nicht erzeugt werden! LastError: <%d>!";
constexpr wchar_t kMsgThreadStarting[] = L"Thread wird gestartet.";
// The same text reports a failed resume and a failed wait for the handshake.
constexpr wchar_t kMsgResumeFailed[] = L"Fehler <%d> beim Aufruf von ResumeThread() aufgetreten!";
constexpr wchar_t kMsgThreadRunning[] = L"Der Thread hat alle Daten übernommen und läuft.";
constexpr wchar_t kMsgSyncWaitResult[] = L"Die Datensynchronisation kehrte mit <%d> zurück.";
constexpr wchar_t kMsgCreateThreadException[] = L"Exception in _CreateThread() aufgetreten!";
constexpr wchar_t kMsgSyncEventNotSet[] = L"Sync-Event konnte nicht gesetzt werden! LastError: <%d>";
constexpr wchar_t kMsgNoThreadFunction[] = L"Der Thread-Funktions-Pointer ist ungültig (NULL)!";
constexpr wchar_t kMsgThreadExceptionNamed[] = L"Exception in _ThreadFunction() für Thread <%s> aufgetreten!";
constexpr wchar_t kMsgThreadException[] = L"Exception in _ThreadFunction() aufgetreten!";

// The debugger convention for naming a thread.
constexpr DWORD kThreadNamingException = 0x406D1388;
constexpr DWORD kThreadNamingType = 0x1000;
constexpr DWORD kThreadNamingCallingThread = 0xFFFFFFFF;
constexpr DWORD kThreadNamingFlags = 0;

#pragma pack(push, 8)
struct ThreadNameInfo {
    DWORD dwType;
    LPCSTR szName;
    DWORD dwThreadID;
    DWORD dwFlags;
};
#pragma pack(pop)

using CategoryBuffer = std::array<wchar_t, kTraceCategoryChars>;

consteval CategoryBuffer InitialCategory() {
    CategoryBuffer buffer{};
    for (size_t i = 0; vemo::kCategoryThreadControl[i] != L'\0' && i + 1 < buffer.size(); ++i) {
        buffer[i] = vemo::kCategoryThreadControl[i];
    }
    return buffer;
}

// Written without a lock: callers set it during start-up.
constinit CategoryBuffer g_traceCategory = InitialCategory();

// The naming exception has done its work once a debugger has seen it; without a debugger it must
// end quietly, and must never reach the dump-writing translator of the thread.
void IgnoreNamingException(unsigned int, EXCEPTION_POINTERS*) {}

// Puts the thread's previous translator back on every way out.
class TranslatorScope {
public:
    explicit TranslatorScope(vemo::seh::SehTranslator translator) : m_previous(vemo::seh::SetSehTranslator(translator)) {}
    ~TranslatorScope() { vemo::seh::SetSehTranslator(m_previous); }
    TranslatorScope(const TranslatorScope&) = delete;
    TranslatorScope& operator=(const TranslatorScope&) = delete;

private:
    vemo::seh::SehTranslator m_previous;
};

// UTF-8 of the longest prefix of pszName that fits into nDest - 1 bytes, never half a character.
void ToUtf8Bounded(const wchar_t* pszName, char* pszDest, size_t nDest) {
    size_t length = wcsnlen(pszName, kThreadNameChars - 1);
    std::string utf8;
    while (length > 0) {
        if (vemo::WideToUtf8(std::wstring_view(pszName, length), utf8) && utf8.size() < nDest) {
            memcpy(pszDest, utf8.data(), utf8.size());
            return;
        }
        --length;
        if (length > 0 && IS_HIGH_SURROGATE(pszName[length - 1])) --length;
    }
}

// A thread that has not run yet holds nothing; ending it keeps it from ever reading start data
// whose frame is about to go, and keeps it from staying suspended for the life of the process.
void DiscardSuspendedThread(HANDLE hThread) { ::TerminateThread(hThread, kThreadExitSyncEventNotSet); }

}  // namespace

const wchar_t* _GetTraceCategory() { return g_traceCategory.data(); }

bool TC_SetTraceCategory(const wchar_t* pszCategory) {
    if (!pszCategory) return false;
    try {
        // Copied aside first, so an unreadable text leaves the category as it was.
        CategoryBuffer copy{};
        const DWORD fault = vemo::seh::GuardedCall([&] { wcsncpy(copy.data(), pszCategory, copy.size() - 1); });
        if (fault != 0) return false;
        g_traceCategory = copy;
        return true;
    } catch (...) {
        return false;
    }
}

void _SetThreadName(const wchar_t* pszName) {
    char szUtf8[kThreadNameUtf8Bytes] = {};
    if (pszName) ToUtf8Bounded(pszName, szUtf8, sizeof(szUtf8));

    ThreadNameInfo info;
    ZeroMemory(&info, sizeof(info));
    info.dwType = kThreadNamingType;
    info.szName = szUtf8;
    info.dwThreadID = kThreadNamingCallingThread;
    info.dwFlags = kThreadNamingFlags;

    // A guard with no translator lets the exception go on searching, so one that ignores it is
    // installed for the duration of the call.
    TranslatorScope ignore(&IgnoreNamingException);
    vemo::seh::GuardedCall([&] {
        ::RaiseException(kThreadNamingException, 0, sizeof(info) / sizeof(ULONG_PTR),
                         reinterpret_cast<const ULONG_PTR*>(&info));
    });
}

HANDLE _CreateThread(ThreadFunction pfnThreadFunction, void* pParameter, const wchar_t* pszThreadName) {
    METHOD_TRACE(trace, kLevelDetail, _GetTraceCategory(), kMethodCreateThread, kLineCreateThread);
    vemo::unique_handle thread;
    try {
        ThreadStartData startData{&pfnThreadFunction, &pParameter, &pszThreadName, nullptr};

        DWORD threadId = 0;
        thread.reset(::CreateThread(nullptr, 0, &_ThreadFunction, &startData, CREATE_SUSPENDED, &threadId));
        if (!thread) return nullptr;
        TraceFormatW(kLevelDetail, _GetTraceCategory(), kMsgThreadCreated, static_cast<int>(threadId));

        vemo::unique_handle syncEvent(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!syncEvent) {
            TraceFormatW(kLevelError, _GetTraceCategory(), kMsgSyncEventNotCreated, static_cast<int>(::GetLastError()));
            DiscardSuspendedThread(thread.get());
            return nullptr;
        }
        startData.hSyncEvent = syncEvent.get();

        TraceWriteW(kLevelDetail, _GetTraceCategory(), kMsgThreadStarting);
        if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
            TraceFormatW(kLevelDetail, _GetTraceCategory(), kMsgResumeFailed, static_cast<int>(::GetLastError()));
            DiscardSuspendedThread(thread.get());
            return nullptr;
        }

        // The thread's end releases the creator too: a thread that died before the handshake
        // would otherwise keep it waiting for good.
        const HANDLE waitFor[] = {syncEvent.get(), thread.get()};
        const DWORD waitResult = ::WaitForMultipleObjects(ARRAYSIZE(waitFor), waitFor, FALSE, INFINITE);
        if (waitResult == WAIT_OBJECT_0) {
            TraceWriteW(kLevelDetail, _GetTraceCategory(), kMsgThreadRunning);
        } else if (waitResult == WAIT_FAILED) {
            TraceFormatW(kLevelException, _GetTraceCategory(), kMsgResumeFailed, static_cast<int>(::GetLastError()));
        } else {
            TraceFormatW(kLevelError, _GetTraceCategory(), kMsgSyncWaitResult, static_cast<int>(waitResult));
        }

        syncEvent.reset();
        startData.hSyncEvent = nullptr;
        return thread.release();
    } catch (...) {
        TraceWriteW(kLevelException, _GetTraceCategory(), kMsgCreateThreadException);
        return nullptr;
    }
}

DWORD WINAPI _ThreadFunction(void* pStartData) {
    InstallThreadCrashHandlers();
    const auto* startData = static_cast<const ThreadStartData*>(pStartData);
    if (!startData) return kThreadExitNoStartData;

    wchar_t szName[kThreadNameChars] = {};
    DWORD exitCode = kThreadExitException;
    try {
        // Faults inside become C++ exceptions through the translator installed above.
        vemo::seh::GuardedCall([&] {
            const ThreadFunction pfnFunction = *startData->pFunction;
            void* const pParameter = *startData->pParameter;
            if (const wchar_t* pszName = *startData->pName) wcsncpy(szName, pszName, kThreadNameChars - 1);
            _SetThreadName(szName);

            // From here on the creator may return: its frame, and the start data with it, are gone.
            if (!::SetEvent(startData->hSyncEvent)) {
                TraceFormatW(kLevelError, _GetTraceCategory(), kMsgSyncEventNotSet, static_cast<int>(::GetLastError()));
                exitCode = kThreadExitSyncEventNotSet;
                return;
            }
            if (!pfnFunction) {
                TraceWriteW(kLevelError, _GetTraceCategory(), kMsgNoThreadFunction);
                exitCode = kThreadExitNoFunction;
                return;
            }
            exitCode = pfnFunction(pParameter);
        });
    } catch (...) {
        if (szName[0] != L'\0') {
            TraceFormatW(kLevelException, _GetTraceCategory(), kMsgThreadExceptionNamed, szName);
        } else {
            TraceWriteW(kLevelException, _GetTraceCategory(), kMsgThreadException);
        }
        exitCode = kThreadExitException;
    }
    return exitCode;
}

}  // namespace ThreadControl
