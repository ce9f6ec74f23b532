#include "BasisLibs_MitTracing/ExceptionTranslatorLib/MiniDump.h"

#include <dbghelp.h>
#include <io.h>
#include <sys/timeb.h>

#include <atomic>
#include <cstdlib>
#include <cwchar>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "common/ProductIds.h"
#include "common/EventLog.h"
#include "common/UniqueHandle.h"
#include "common/WideFormat.h"
#include "configdb/ConfigDB.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;

namespace {

// Dumps belong to the product's own component, whatever program writes them.

// The name's format is assembled from its four pieces, in this order.
constexpr wchar_t kNameHeadFormat[] = L"%s%s__%s%s__V%s";
constexpr wchar_t kNameExtension[] = L".dmp.txt";
constexpr size_t kNameFormatChars = std::size(kNameHeadFormat) + std::size(ExceptionTranslator::kAppCrashDumpMarker) +
                                    std::size(ExceptionTranslator::kMiniDumpStampFormat) + std::size(kNameExtension);
// Fields of _wsplitpath_s.
constexpr size_t kSplitPartChars = 256;
constexpr DWORD kModulePathChars = MAX_PATH;
constexpr DWORD kThisModulePathChars = 520;
constexpr DWORD kModuleFromAddress =
    GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
constexpr int kTmMonthBase = 1;
constexpr int kTmYearBase = 1900;

constexpr wchar_t kDbgHelpLibrary[] = L"dbghelp.dll";
constexpr char kMiniDumpWriteDumpExport[] = "MiniDumpWriteDump";
using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);
constexpr MINIDUMP_TYPE kDumpType = MiniDumpWithDataSegs;

constexpr wchar_t kMethodGetMiniDumpFilename[] = L"ExceptionTranslator::GetMiniDumpFilename";
constexpr wchar_t kMethodCreateMiniDump[] = L"ExceptionTranslator::CreateMiniDump";
constexpr int kLineGetMiniDumpFilename = 199;
constexpr int kLineCreateMiniDump = 110;

constexpr wchar_t kMsgDumpNameCreated[] = L"Dump-Dateiname erzeugt: <%s>";

// DbgHelp is single-threaded: two MiniDumpWriteDump calls at once fault inside it or suspend each
// other for good. Threads that fault together write one after the other; recursive, so a fault
// inside the writer on the same thread does not wait for itself.
std::recursive_mutex g_dumpWriterLock;

// The log directory cache. Whoever queries first publishes the text; a thread that finds the
// cache being filled uses its own answer, so no thread waits inside a crash handler.
enum LogDirCacheState : int { kCacheEmpty, kCacheFilling, kCacheFilled };
std::atomic<int> g_logDirCacheState{kCacheEmpty};
wchar_t g_szLogDirCache[ExceptionTranslator::kMiniDumpPathChars] = {};

using vemo::CopyBounded;

}  // namespace

namespace ExceptionTranslator {

void TraceCaughtException(const wchar_t* pszMethod) {
    TraceFormatW(kLevelException, g_szExceptionTranslatorCategory, vemo::kMsgExceptionIn, pszMethod);
}

void CopyCachedLogDir(wchar_t* pszLogDir) {
    pszLogDir[0] = L'\0';
    if (g_logDirCacheState.load(std::memory_order_acquire) == kCacheFilled) {
        CopyBounded(pszLogDir, kMiniDumpPathChars, g_szLogDirCache);
        return;
    }
    wchar_t queried[kMiniDumpPathChars] = {};
    if (CDB_GetLogDir(vemo::kProductComponentId, queried, kMiniDumpPathChars, true) != CDB_OK || queried[0] == L'\0') return;
    int expected = kCacheEmpty;
    if (g_logDirCacheState.compare_exchange_strong(expected, kCacheFilling, std::memory_order_acq_rel)) {
        CopyBounded(g_szLogDirCache, kMiniDumpPathChars, queried);
        g_logDirCacheState.store(kCacheFilled, std::memory_order_release);
    }
    CopyBounded(pszLogDir, kMiniDumpPathChars, queried);
}

void FormatMiniDumpFilename(wchar_t* pszFileName, const wchar_t* pszLogDir, const wchar_t* pszCategory,
                            const wchar_t* pszModuleName, const wchar_t* pszModuleExt, const wchar_t* pszVersion,
                            const tm& localTime) {
    wchar_t format[kNameFormatChars] = {};
    wcscat(format, kNameHeadFormat);
    wcscat(format, kAppCrashDumpMarker);
    wcscat(format, kMiniDumpStampFormat);
    wcscat(format, kNameExtension);
    // A name longer than the buffer is cut; such a log directory is not provided for.
    vemo::FormatToBufferW(pszFileName, kMiniDumpPathChars, format, pszLogDir, pszCategory, pszModuleName,
                          pszModuleExt, pszVersion, localTime.tm_mday, localTime.tm_mon + kTmMonthBase,
                          localTime.tm_year + kTmYearBase, localTime.tm_hour, localTime.tm_min, localTime.tm_sec);
}

void GetMiniDumpFilename(wchar_t* pszFileName) {
    METHOD_TRACE(trace, kLevelInfo, g_szExceptionTranslatorCategory, kMethodGetMiniDumpFilename,
                 kLineGetMiniDumpFilename);
    if (!pszFileName) return;
    pszFileName[0] = L'\0';
    try {
        wchar_t logDir[kMiniDumpPathChars] = {};
        CopyCachedLogDir(logDir);

        wchar_t modulePath[kModulePathChars + 1] = {};
        wchar_t moduleName[kSplitPartChars] = {};
        wchar_t moduleExt[kSplitPartChars] = {};
        const DWORD length = ::GetModuleFileNameW(nullptr, modulePath, kModulePathChars);
        if (length > 0 && length < kModulePathChars) {
            _wsplitpath_s(modulePath, nullptr, 0, nullptr, 0, moduleName, kSplitPartChars, moduleExt, kSplitPartChars);
        }

        __timeb64 now{};
        _ftime64_s(&now);
        tm localTime{};
        _localtime64_s(&localTime, &now.time);

        const std::wstring version = _GetFileVersionString(_GetThisModulePath().c_str());
        FormatMiniDumpFilename(pszFileName, logDir, g_szExceptionTranslatorCategory, moduleName, moduleExt,
                               version.c_str(), localTime);
        TraceFormatW(kLevelException, g_szExceptionTranslatorCategory, kMsgDumpNameCreated, pszFileName);
    } catch (...) {
        pszFileName[0] = L'\0';
        TraceCaughtException(kMethodGetMiniDumpFilename);
    }
}

void CreateMiniDump(EXCEPTION_POINTERS* pExceptionPointers, const wchar_t* pszFileName) {
    METHOD_TRACE(trace, kLevelInfo, g_szExceptionTranslatorCategory, kMethodCreateMiniDump, kLineCreateMiniDump);
    try {
        if (!pszFileName || pszFileName[0] == L'\0') return;
        // Loaded only now: a process that never faults never maps the debug-help library. By full
        // path from the system directory: a dbghelp.dll planted beside the program is not taken.
        wchar_t systemDir[MAX_PATH] = {};
        const UINT systemChars = ::GetSystemDirectoryW(systemDir, MAX_PATH);
        if (systemChars == 0 || systemChars >= MAX_PATH) return;
        const std::wstring dbgHelpPath = std::wstring(systemDir) + L"\\" + kDbgHelpLibrary;
        vemo::unique_hmodule dbgHelp(::LoadLibraryW(dbgHelpPath.c_str()));
        if (!dbgHelp) return;
        const auto writeDump =
            reinterpret_cast<MiniDumpWriteDumpFn>(::GetProcAddress(dbgHelp.get(), kMiniDumpWriteDumpExport));
        if (!writeDump) return;
        // Declared after the library, so the file is closed before the library goes.
        vemo::unique_hfile file(
            ::CreateFileW(pszFileName, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return;
        MINIDUMP_EXCEPTION_INFORMATION exceptionInfo{};
        exceptionInfo.ThreadId = ::GetCurrentThreadId();
        exceptionInfo.ExceptionPointers = pExceptionPointers;
        exceptionInfo.ClientPointers = FALSE;
        // The file is taken before waiting: of two dumps of one name the second finds it open.
        const std::lock_guard<std::recursive_mutex> oneWriterAtATime(g_dumpWriterLock);
        // Without exception pointers the dump still shows every thread, just no exception stream.
        if (writeDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file.get(), kDumpType,
                      pExceptionPointers ? &exceptionInfo : nullptr, nullptr, nullptr)) {
            vemo::eventlog::Report(VEMO_EVENT_MINIDUMP_WRITTEN, {pszFileName});
        }
    } catch (...) {
        // The caller goes on whatever happened here; there is just no dump.
    }
}

}  // namespace ExceptionTranslator

std::wstring _GetThisModulePath() {
    HMODULE module = nullptr;  // not counted, so not released
    if (!::GetModuleHandleExW(kModuleFromAddress, reinterpret_cast<LPCWSTR>(&_GetThisModulePath), &module)) return {};
    wchar_t path[kThisModulePathChars] = {};
    const DWORD length = ::GetModuleFileNameW(module, path, kThisModulePathChars);
    return std::wstring(path, length < kThisModulePathChars ? length : 0);
}
