#include "BasisLibs_MitTracing/ThreadControlLib/ProcessInfo.h"

#include <tlhelp32.h>

#include <cwchar>
#include <string>

#include "BasisLibs_MitTracing/ThreadControlLib/ProcessControlInt.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ThreadFunctions.h"
#include "common/ProductIds.h"
#include "common/UniqueHandle.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;

namespace ThreadControl {

namespace {

constexpr wchar_t kMethodFindInConsoleSession[] = L"ThreadControl::_FindProcessInConsoleSession";
constexpr wchar_t kMethodIsProcessRunning[] = L"ThreadControl::_IsProcessRunning";
constexpr int kLineFindInConsoleSession = 23;
constexpr int kLineIsProcessRunning = 83;

constexpr wchar_t kMsgNoConsoleSession[] =
    L"Die Session-ID konnte nicht ermittelt werden! Möglicherweise WTS-Sitzung?!? Es wird nicht nach Prozessen "
    L"gesucht!";
constexpr wchar_t kMsgFound[] = L"Prozess <%s> wurde gefunden.";
constexpr wchar_t kMsgNotFound[] = L"Prozess <%s> wurde nicht gefunden.";
constexpr wchar_t kMsgSearching[] = L"Gesuchter Prozess <%s>, gesuchte Sitzungs-ID: <%d>, ProzessID: <%d>.";
constexpr wchar_t kMsgSnapshotFailed[] = L"Fehler <%d> bei CreateToolhelp32Snapshot() aufgetreten!";
constexpr wchar_t kMsgEntryFound[] = L"Prozess <%s> wurde gefunden. ProzessID: <%d>.";
constexpr wchar_t kMsgSessionQueryFailed[] =
    L"ProcessIdToSessionId() fehlgeschlagen mit <%d>. Gesuchte Prozess-ID: <%d>!";
constexpr wchar_t kMsgFoundInSession[] = L"Prozess <%s> wurde in SessionID <%d> mit Prozess-ID <%d> gefunden.";
constexpr wchar_t kMsgOtherSession[] = L"Prozess <%s> wurde in SessionID <%d> gefunden. Es wird weitergesucht...";

constexpr wchar_t kNoName[] = L"";

// Longest file name and extension the searched name may have.
constexpr size_t kMaxSearchedFileNameChars = 254;
constexpr size_t kMaxSearchedExtensionChars = 255;
// When any session is asked for, a found process's session counts as this.
constexpr DWORD kSessionWhenAnyAsked = 0;

// File name and extension of the name; empty when a part is too long, which then matches nothing.
std::wstring SearchedName(const wchar_t* pszProcessName) {
    if (!pszProcessName) return std::wstring();
    const PathParts parts = _SplitPath(pszProcessName);
    if (parts.fileName > kMaxSearchedFileNameChars || parts.extension > kMaxSearchedExtensionChars) {
        return std::wstring();
    }
    return std::wstring(pszProcessName + parts.drive + parts.directory, parts.fileName + parts.extension);
}

// File names compare as the file system does: ordinal, case ignored for every letter.
bool SameFileName(const wchar_t* pszExeFile, const std::wstring& searched) {
    return ::CompareStringOrdinal(pszExeFile, -1, searched.c_str(), static_cast<int>(searched.size()), TRUE) ==
           CSTR_EQUAL;
}

void SetProcessId(DWORD* pdwProcessId, DWORD id) {
    if (pdwProcessId) *pdwProcessId = id;
}

bool IsProcessRunning(const wchar_t* pszProcessName, DWORD dwSessionId, DWORD* pdwProcessId) {
    const wchar_t* const category = _GetTraceCategory();
    SetProcessId(pdwProcessId, 0);
    const std::wstring searched = SearchedName(pszProcessName);
    TraceFormatW(kLevelInfo, category, kMsgSearching, searched.c_str(), static_cast<int>(dwSessionId),
                 static_cast<int>(pdwProcessId ? *pdwProcessId : 0));

    const vemo::unique_hfile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        TraceFormatW(kLevelError, category, kMsgSnapshotFailed, static_cast<int>(::GetLastError()));
        return false;
    }

    const bool particularSession = dwSessionId != kAnySession;
    PROCESSENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        // An empty searched name never matches: every entry has an executable name.
        if (searched.empty() || !SameFileName(entry.szExeFile, searched)) continue;
        const int processId = static_cast<int>(entry.th32ProcessID);
        TraceFormatW(kLevelInfo, category, kMsgEntryFound, entry.szExeFile, processId);

        DWORD session = kSessionWhenAnyAsked;
        // The process may have ended since the snapshot: skip it and look on.
        if (particularSession && !::ProcessIdToSessionId(entry.th32ProcessID, &session)) {
            TraceFormatW(kLevelInfo, category, kMsgSessionQueryFailed, static_cast<int>(::GetLastError()), processId);
            continue;
        }
        if (!particularSession || session == dwSessionId) {
            TraceFormatW(kLevelInfo, category, kMsgFoundInSession, entry.szExeFile, static_cast<int>(session), processId);
            if (particularSession) SetProcessId(pdwProcessId, entry.th32ProcessID);
            return true;
        }
        TraceFormatW(kLevelInfo, category, kMsgOtherSession, entry.szExeFile, static_cast<int>(session));
    }
    return false;
}

}  // namespace

bool _IsProcessRunning(const wchar_t* pszProcessName, DWORD dwSessionId, DWORD* pdwProcessId) {
    METHOD_TRACE(trace, kLevelDetail, _GetTraceCategory(), kMethodIsProcessRunning, kLineIsProcessRunning);
    try {
        return IsProcessRunning(pszProcessName, dwSessionId, pdwProcessId);
    } catch (...) {
        TraceFormatW(kLevelException, _GetTraceCategory(), vemo::kMsgExceptionIn, kMethodIsProcessRunning);
        return false;
    }
}

bool _FindProcessInConsoleSession(const wchar_t* pszProcessName, DWORD* pdwProcessId) {
    METHOD_TRACE(trace, kLevelDetail, _GetTraceCategory(), kMethodFindInConsoleSession, kLineFindInConsoleSession);
    try {
        const wchar_t* const category = _GetTraceCategory();
        const DWORD consoleSession = ::WTSGetActiveConsoleSessionId();
        if (consoleSession == kNoConsoleSession) {
            TraceWriteW(kLevelWarning, category, kMsgNoConsoleSession);
            return false;
        }
        const bool found = _IsProcessRunning(pszProcessName, consoleSession, pdwProcessId);
        TraceFormatW(kLevelInfo, category, found ? kMsgFound : kMsgNotFound, pszProcessName ? pszProcessName : kNoName);
        return found;
    } catch (...) {
        TraceFormatW(kLevelException, _GetTraceCategory(), vemo::kMsgExceptionIn, kMethodFindInConsoleSession);
        return false;
    }
}

}  // namespace ThreadControl
