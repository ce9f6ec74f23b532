#include "VeMoHostIntLib/DaemonMode.h"

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <exception>
#include <iterator>
#include <utility>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"
#include "VeMoDaemon.h"
#include "common/ProductIds.h"
#include "common/TraceCategories.h"
#include "common/UniqueHandle.h"
#include "common/WideFormat.h"
#include "configdb/ConfigDB.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;
using vemo::kCategoryVeMoHostCommon;

namespace {

// Source lines the traces of these two scopes have always shown.
constexpr int kLineGetSetVeMoHostRunKey = 18;
constexpr int kLineEnterDaemonMode = 102;
constexpr wchar_t kMethodGetSetVeMoHostRunKey[] = L"GetSetVeMoHostRunKey";
constexpr wchar_t kMethodEnterDaemonMode[] = L"EnterDaemonMode";

constexpr wchar_t kRunKeyPath[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValueName[] = L"QRNServ";
constexpr wchar_t kHostFileName[] = L"VeMoHost.exe";
constexpr wchar_t kQuote[] = L"\"";
// Reading and writing both use the 32-bit view, so a value written here is always found here.
constexpr REGSAM kRunKeyReadAccess = KEY_READ | KEY_WOW64_32KEY;
constexpr REGSAM kRunKeyWriteAccess = KEY_READ | KEY_WRITE | KEY_WOW64_32KEY;
constexpr bool kRunKey32BitView = true;
// Only presence counts, so a value that does not fit the buffer is present all the same.
constexpr DWORD kRunValueReadBytes = 260;
constexpr bool kNoDefaultProgDir = false;

constexpr wchar_t kMsgRunKeyOpenFailed[] =
    L"Registry-Zweig <%s> konnte nicht geöffnet bzw. angelegt werden! LastError: <%d>";
constexpr wchar_t kMsgRunKeyCreated[] = L"Registry-Zweig <%s> wurde neu angelegt";
constexpr wchar_t kMsgRunKeyOpened[] = L"Registry-Zweig <%s> ist vorhanden und wurde geöffnet";
constexpr wchar_t kMsgRunValueNotRead[] = L"Schlüssel <%s> konnte nicht gelesen werden! LastError: <%d>";
constexpr wchar_t kMsgNoProgDir[] = L"Es ist ein Fehler beim Aufruf von CDB_SetRegistryKeyString() aufgetreten!";
constexpr wchar_t kMsgRunValueNotWritten[] =
    L"Schlüssel <%s> konnte nicht in in Pfad <%s> geschrieben werden! Fehler <%d>!";
constexpr wchar_t kMsgRunValueWritten[] = L"Schlüssel <%s> wurde in Pfad <%s> geschrieben.";

// The executable's path is split and joined again in the classic buffers.
constexpr DWORD kExePathChars = 260;
constexpr size_t kDriveChars = 3;
constexpr size_t kDirChars = 256;
constexpr size_t kJoinedPathChars = 260;
constexpr wchar_t kDaemonDllPathFormat[] = L"%s%s%s";

constexpr wchar_t kMsgLoadFailed[] = L"LoadLibrary der VemoDaemon-DLL gescheitert.";
constexpr wchar_t kMsgExportMissing[] = L"GetProcAdress von mind. einer Funktion der VemoDaemon-DLL ist gescheitert.";
constexpr wchar_t kMsgInitFailed[] = L"VemoDaemonInit liefert false.";
constexpr wchar_t kMsgCallingCheck[] = L"Rufen VemoDaemonCheckLeser.";
constexpr wchar_t kMsgCheckError[] = L"VemoDaemonCheckLeser liefert Fehler <%d>!";
constexpr wchar_t kMsgCheckReturned[] = L"Rückkehr aus Funktion VemoDaemonCheckLeser.";
constexpr wchar_t kMsgExitReturned[] = L"Rückkehr aus Funktion VemoDaemonExit.";
constexpr wchar_t kMsgDaemonException[] = L"Es ist eine Exception in EnterDaemonMode() aufgetreten!";

static_assert(sizeof(std::atomic<bool>) == 1 && std::atomic<bool>::is_always_lock_free,
              "the daemon module receives the stop flag's address as a plain byte");

std::wstring OwnComponentId() {
    return {std::begin(CDB_COMPONENT_VEMO_COMPACT), std::end(CDB_COMPONENT_VEMO_COMPACT) - 1};
}

std::wstring GetProgDirWide(const std::wstring& compId, bool bDefaultProgDir) {
    return CDB_GetProgDir(compId, bDefaultProgDir);
}

// A machine fault inside the daemon module that the thread's translator did not turn into an
// exception of its own (the initialisation thread's translator does, after writing a dump).
class DaemonModuleFault : public std::exception {};

template <typename F>
void CallDaemonModule(F call) {
    if (vemo::seh::GuardedCall(std::move(call)) != 0) throw DaemonModuleFault();
}

template <typename Fn>
bool BindExport(HMODULE hModule, const char* pszName, Fn& pfn) {
    pfn = reinterpret_cast<Fn>(::GetProcAddress(hModule, pszName));
    return pfn != nullptr;
}

}  // namespace

bool GetSetVeMoHostRunKey(bool bWrite, bool& bRunKey) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHostCommon, kMethodGetSetVeMoHostRunKey, kLineGetSetVeMoHostRunKey);
    bRunKey = false;
    try {
        vemo::unique_hkey key;
        DWORD disposition = 0;
        const LSTATUS openStatus =
            ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              bWrite ? kRunKeyWriteAccess : kRunKeyReadAccess, nullptr, key.put(), &disposition);
        if (openStatus != ERROR_SUCCESS) {
            TraceFormatW(kLevelWarning, kCategoryVeMoHostCommon, kMsgRunKeyOpenFailed, kRunKeyPath,
                         static_cast<int>(openStatus));
            return false;
        }
        TraceFormatW(kLevelInfo, kCategoryVeMoHostCommon,
                     disposition == REG_CREATED_NEW_KEY ? kMsgRunKeyCreated : kMsgRunKeyOpened, kRunKeyPath);

        if (!bWrite) {
            BYTE data[kRunValueReadBytes];
            DWORD dataBytes = sizeof(data);
            const LSTATUS readStatus = ::RegQueryValueExW(key.get(), kRunValueName, nullptr, nullptr, data, &dataBytes);
            if (readStatus == ERROR_SUCCESS || readStatus == ERROR_MORE_DATA) {
                bRunKey = true;
                return true;
            }
            TraceFormatW(kLevelInfo, kCategoryVeMoHostCommon, kMsgRunValueNotRead, kRunValueName,
                         static_cast<int>(readStatus));
            return false;
        }

        const std::wstring progDir = GetProgDirWide(OwnComponentId(), kNoDefaultProgDir);
        if (progDir.empty()) {
            TraceWriteW(kLevelError, kCategoryVeMoHostCommon, kMsgNoProgDir);
            return false;
        }
        // The program directory ends in a backslash, so nothing goes between it and the file name.
        const std::wstring value = kQuote + progDir + kHostFileName + kQuote;
        const uint32_t writeResult =
            CDB_SetRegistryKeyString(HKEY_LOCAL_MACHINE, kRunKey32BitView, kRunKeyPath, kRunValueName, value);
        if (writeResult != CDB_OK) {
            TraceFormatW(kLevelError, kCategoryVeMoHostCommon, kMsgRunValueNotWritten, kRunValueName, kRunKeyPath,
                         static_cast<int>(writeResult));
            return false;
        }
        TraceFormatW(kLevelInfo, kCategoryVeMoHostCommon, kMsgRunValueWritten, kRunValueName, kRunKeyPath);
        bRunKey = true;
        return true;
    } catch (...) {
        bRunKey = false;
        TraceFormatW(kLevelException, kCategoryVeMoHostCommon, vemo::kMsgExceptionIn, kMethodGetSetVeMoHostRunKey);
        return false;
    }
}

bool GetDaemonDllPath(wchar_t (&szPath)[kDaemonDllPathChars]) {
    std::fill(std::begin(szPath), std::end(szPath), L'\0');
    wchar_t szExePath[kExePathChars] = {};
    const DWORD exeChars = ::GetModuleFileNameW(nullptr, szExePath, kExePathChars);
    if (exeChars == 0 || exeChars >= kExePathChars) return false;  // none, or cut
    wchar_t szDrive[kDriveChars] = {};
    wchar_t szDir[kDirChars] = {};
    if (_wsplitpath_s(szExePath, szDrive, kDriveChars, szDir, kDirChars, nullptr, 0, nullptr, 0) != 0) return false;
    // A joined path that does not fit the join buffer never reaches the caller's buffer.
    wchar_t szJoined[kJoinedPathChars];
    if (!vemo::FormatToBufferW(szJoined, kJoinedPathChars, kDaemonDllPathFormat, szDrive, szDir,
                               VEMO_DAEMON_MODULE_NAME)) {
        return false;
    }
    std::wmemcpy(szPath, szJoined, std::wcslen(szJoined) + 1);
    return true;
}

bool EnterDaemonMode(bool& bHostNeeded, const std::atomic<bool>* pStopFlag) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHostCommon, kMethodEnterDaemonMode, kLineEnterDaemonMode);
    bHostNeeded = false;
    vemo::unique_hmodule module;
    try {
        wchar_t szDllPath[kDaemonDllPathChars];
        if (GetDaemonDllPath(szDllPath)) module.reset(::LoadLibraryW(szDllPath));
        if (!module) {
            TraceWriteW(kLevelError, kCategoryVeMoHostCommon, kMsgLoadFailed);
            return false;
        }

        PFN_VEMO_DAEMON_INIT pfnInit = nullptr;
        PFN_VEMO_DAEMON_CHECK_LESER pfnCheckLeser = nullptr;
        PFN_VEMO_DAEMON_EXIT pfnExit = nullptr;
        if (!BindExport(module.get(), VEMO_DAEMON_INIT_NAME, pfnInit) ||
            !BindExport(module.get(), VEMO_DAEMON_CHECK_LESER_NAME, pfnCheckLeser) ||
            !BindExport(module.get(), VEMO_DAEMON_EXIT_NAME, pfnExit)) {
            TraceWriteW(kLevelError, kCategoryVeMoHostCommon, kMsgExportMissing);
            return false;
        }

        int32_t initResult = VEMO_DAEMON_INIT_OK;
        CallDaemonModule([&] { initResult = pfnInit(VEMO_DAEMON_INIT_ARGUMENT); });
        if (initResult != VEMO_DAEMON_INIT_OK) {
            TraceWriteW(kLevelError, kCategoryVeMoHostCommon, kMsgInitFailed);
            return false;
        }

        TraceWriteW(kLevelInfo, kCategoryVeMoHostCommon, kMsgCallingCheck);
        int32_t checkResult = VEMO_DAEMON_NO_ANSWER;
        const auto stopFlag = reinterpret_cast<VemoDaemonStopFlag>(pStopFlag);
        CallDaemonModule([&] { checkResult = pfnCheckLeser(stopFlag); });
        if (checkResult == VEMO_DAEMON_HOST_NEEDED) {
            bHostNeeded = true;
        } else if (checkResult != VEMO_DAEMON_NO_ANSWER) {
            TraceFormatW(kLevelError, kCategoryVeMoHostCommon, kMsgCheckError, static_cast<int>(checkResult));
        }

        TraceWriteW(kLevelInfo, kCategoryVeMoHostCommon, kMsgCheckReturned);
        CallDaemonModule([&] { pfnExit(); });
        TraceWriteW(kLevelInfo, kCategoryVeMoHostCommon, kMsgExitReturned);
        module.reset();
        return true;
    } catch (...) {
        // Whatever the module was doing when it failed may still need its code: it stays loaded.
        static_cast<void>(module.release());
        bHostNeeded = false;
        TraceWriteW(kLevelException, kCategoryVeMoHostCommon, kMsgDaemonException);
        return false;
    }
}
