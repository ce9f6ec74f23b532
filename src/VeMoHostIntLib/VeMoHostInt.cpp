#include "VeMoHostIntLib/VeMoHostInt.h"

#include <windows.h>
// after windows.h

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <io.h>

#include "BasisLibs_MitTracing/ThreadControlLib/ProcessControl.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ThreadFunctions.h"
#include "common/CommandTable.h"
#include "common/LateBoundShell.h"
#include "common/ProductIds.h"
#include "common/RegistryValue.h"
#include "common/TraceCategories.h"
#include "common/UniqueHandle.h"
#include "common/WideFormat.h"
#include "configdb/ConfigDB.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;
using vemo::kCategoryVeMoHost;

wchar_t g_szVeMoHostCategory[kHostCategoryChars] = L"VeMoHost";

namespace {
using vemo::kOptionsKey;
constexpr wchar_t kWaitForDebugAttachValue[] = L"WaitForDebugAttach";
constexpr REGSAM kOptionsAccess = KEY_READ | KEY_WOW64_32KEY;
// Holds a decimal text of at most four characters; a longer value counts as absent.
constexpr DWORD kPauseValueBytes = 10;
constexpr DWORD kMsPerSecond = 1000;
constexpr int kLinePause2Attach = 146;

constexpr uint32_t kPathChars = MAX_PATH;
constexpr int kLineStartHost = 221;
constexpr int kLineParseCommandLine = 531;
constexpr int kAccessExists = 0;
}  // namespace

void Pause2Attach() {
    METHOD_TRACE(trace, kLevelInfo, g_szVeMoHostCategory, L"Pause2Attach", kLinePause2Attach);
    vemo::unique_hkey key;
    const LSTATUS opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kOptionsKey, 0, kOptionsAccess, key.put());
    if (opened != ERROR_SUCCESS) {
        TraceFormatW(kLevelInfo, g_szVeMoHostCategory,
                     L"Registry-Zweig <%s> konnte nicht geöffnet werden! LastError: <%d>", kOptionsKey,
                     static_cast<int>(opened));
        return;
    }
    const vemo::StoredRegistryValue stored =
        vemo::ReadStoredRegistryValue(key.get(), kWaitForDebugAttachValue, kPauseValueBytes);
    if (stored.status != ERROR_SUCCESS) return;
    long seconds = 0;
    if (stored.type == REG_DWORD) {
        seconds = static_cast<long>(stored.AsDword());
    } else if (stored.type == REG_SZ) {
        seconds = std::wcstol(stored.AsText(), nullptr, 10);
    } else {
        TraceFormatW(kLevelError, g_szVeMoHostCategory,
                     L"Registry-Key <%s> hat den falschen Typ <%d> und kann nicht verarbeitet werden! Es werden die "
                     L"Typen REG_DWORD und REG_SZ unterstützt.",
                     kWaitForDebugAttachValue, static_cast<int>(stored.type));
        return;
    }
    if (seconds > 0) {
        TraceFormatW(kLevelDetail, g_szVeMoHostCategory, L"Warte <%d> Sekunden...", static_cast<int>(seconds));
        ::Sleep(static_cast<DWORD>(seconds) * kMsPerSecond);
    }
}

bool StartHost() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHost, L"StartHost", kLineStartHost);
    wchar_t programDir[kPathChars] = {};
    wchar_t hostPath[kPathChars] = {};
    const wchar_t parameters[] = L"";
    ThreadControl::TC_SetTraceCategory(kCategoryVeMoHost);

    if (CDB_GetProgDir(vemo::kProductComponentId, programDir, kPathChars, false) != 0) {
        TraceFormatW(kLevelError, kCategoryVeMoHost, L"Pfad der Komponente <%s> konnte nicht ermittelt werden!",
                     vemo::kProductComponentId);
        return false;
    }
    if (programDir[0] == L'\0') {
        TraceWriteW(kLevelError, kCategoryVeMoHost, L"Pfad ist zu kurz!");
        return false;
    }
    vemo::FormatToBufferW(hostPath, kPathChars, L"%s%s", programDir, kVeMoHostFileName);

    if (_waccess(hostPath, kAccessExists) != 0) {
        const int error = errno;
        switch (error) {
            case ENOENT:
                TraceFormatW(kLevelError, kCategoryVeMoHost, L"Datei <%s> nicht vorhanden!", hostPath);
                break;
            case EACCES:
                TraceFormatW(kLevelError, kCategoryVeMoHost, L"Keie Leseberechtigung auf Datei <%s>!", hostPath);
                break;
            case EINVAL:
                TraceWriteW(kLevelError, kCategoryVeMoHost, L"Falscher Übergabeparameter in _taccess()!");
                break;
            default:
                TraceFormatW(kLevelError, kCategoryVeMoHost, L"Fehler <%d> bei Zugriff auf Datei <%s>!", error, hostPath);
                break;
        }
        return false;
    }

    if (ThreadControl::TC_ExecuteProcessAsUserW(hostPath, parameters)) return true;

    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof(startupInfo);
    startupInfo.dwFlags = STARTF_USESHOWWINDOW;
    startupInfo.wShowWindow = SW_HIDE;
    const DWORD result = ThreadControl::TC_StartProcessAsyncW(hostPath, parameters, &startupInfo);
    if (result == 0) return true;
    TraceFormatW(kLevelError, kCategoryVeMoHost, L"TC_StartProcess() schlug fehl mit <%d>!", static_cast<int>(result));
    return false;
}

int32_t ParseCommandLine(bool& bPureMode, bool& bWithoutDaemon) {
    METHOD_TRACE(trace, kLevelDetail, kCategoryVeMoHost, L"ParseCommandLine", kLineParseCommandLine);
    bPureMode = false;
    try {
        int argc = 0;
        const vemo::unique_hlocal argvOwner(vemo::late::CommandLineToArgvW(::GetCommandLineW(), &argc));
        auto* argv = static_cast<wchar_t**>(argvOwner.get());
        if (!argv || argc < 2) return kParseNothingToExamine;
        for (int i = 1; i < argc; ++i) {
            const wchar_t* argument = argv[i];
            if (argument[0] != L'-' && argument[0] != L'/') continue;
            if (_wcsicmp(argument + 1, g_commandTable[kCommandRowStartPure].keyword) == 0) bPureMode = true;
            if (_wcsicmp(argument + 1, g_commandTable[kCommandRowStartWithoutDaemon].keyword) == 0) bWithoutDaemon = true;
        }
        return kParseExamined;
    } catch (...) {
        TraceWriteW(kLevelError, kCategoryVeMoHost, L"Exception während des Daten-Parsens aufgetreten!");
        return kParseException;
    }
}
