// ConfigDB's own small trace layer: lines go to the host's callback and, when switched on,
// to a diagnostic file shared by all processes under a named mutex.
#include <sys/timeb.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>

#include "common/AnsiText.h"
#include "common/UniqueHandle.h"
#include "common/WideFormat.h"
#include "configdb/ConfigDBInternal.h"

namespace configdb {
namespace {

std::atomic<CDB_TraceCallback> g_traceCallback{nullptr};
// Written by Init before any other thread queries; read-only afterwards.
std::string g_internalTraceFile;

constexpr char kDebugPrefix[] = "ERROR - _TracerWrite: ";
constexpr char kFormatError[] = "Fehler im Format des Tracing-Strings!";
constexpr char kCreateError[] = "Fehler im Erzeugen des Tracing-Strings!";
constexpr char kConvertError[] = "Fehler beim Konvertieren der Log-Meldung!";
constexpr char kExceptionCaught[] = "Exception gefangen!";
constexpr char kInternalLineFormat[] = "%s - %s";
constexpr char kKindError[] = "ERROR";
constexpr char kKindInfo[] = "INFO";

constexpr char kLineHeadFormat[] = "%02d.%02d.%04d %02d:%02d:%02d.%03d [%d] [%d] ";
constexpr char kLineTextFormat[] = "%s\n";
constexpr char kLineNoTextFormat[] = "---------- (Keine Info zum Ausgeben verfügbar, iFormatLen <%d>)\n";
constexpr DWORD kTraceMutexWaitMs = 1000;
constexpr char kTimeoutPrefix[] = "-----> _InternTrace: Timeout bei WaitForSingleObject, eigentliche Trace-Zeile folgt:";
constexpr char kWaitFailedPrefixFormat[] =
    "------> _InternTrace: Fehler <%d> bei WaitForSingleObject, eigentliche Trace-Zeile folgt:";
constexpr size_t kPrefixBufferBytes = 100;

// The fixed failure texts are ASCII, so widening needs no conversion and no allocation.
void CallbackFixedText(CDB_TraceCallback callback, const char* text) {
    if (!callback) return;
    wchar_t wide[64] = {};
    for (size_t i = 0; i + 1 < std::size(wide) && text[i]; ++i) wide[i] = static_cast<unsigned char>(text[i]);
    callback(true, wide);
}

void ReportTracerFailure(CDB_TraceCallback callback, const char* text) {
    char debugText[128] = {};
    _snprintf(debugText, sizeof(debugText) - 1, "%s%s", kDebugPrefix, text);
    ::OutputDebugStringA(debugText);
    CallbackFixedText(callback, text);
}

void AppendToFile(const char* file, const std::string& bytes) {
    vemo::unique_hfile handle(::CreateFileA(file, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return;  // the line is dropped
    ::SetFilePointer(handle.get(), 0, nullptr, FILE_END);
    DWORD written = 0;
    ::WriteFile(handle.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::string TimeStampedLine(const std::string& text, int formatLength) {
    __timeb64 now{};
    _ftime64_s(&now);
    tm local{};
    _localtime64_s(&local, &now.time);
    std::string line = FormatNarrow(kLineHeadFormat, local.tm_mday, local.tm_mon + 1, local.tm_year + 1900,
                                    local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(now.millitm),
                                    static_cast<int>(::GetCurrentProcessId()),
                                    static_cast<int>(::GetCurrentThreadId()));
    line += text.empty() ? FormatNarrow(kLineNoTextFormat, formatLength) : FormatNarrow(kLineTextFormat, text.c_str());
    return line;
}

}  // namespace

void SetInternalTraceFile(const std::string& file) { g_internalTraceFile = file; }

bool InternalTraceOn() { return !g_internalTraceFile.empty(); }

void _InternTrace(const char* pszFile, const char* pszFormat, ...) {
    if (!pszFile || !*pszFile) return;
    try {
        va_list args;
        va_start(args, pszFormat);
        const int length = vemo::CountFormatA(pszFormat, args);
        std::string text;
        if (length > 0) {
            text.resize(static_cast<size_t>(length) + 1);
            va_list copy;
            va_copy(copy, args);
            _vsnprintf(text.data(), text.size(), pszFormat, copy);
            va_end(copy);
            text.resize(static_cast<size_t>(length));
        }
        va_end(args);
        const std::string line = TimeStampedLine(text, length);

        const DWORD wait = ::WaitForSingleObject(TraceMutex(), kTraceMutexWaitMs);
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
            vemo::mutex_release_scope owned(TraceMutex());
            AppendToFile(pszFile, line);
        } else if (wait == WAIT_TIMEOUT) {
            AppendToFile(pszFile, kTimeoutPrefix + line);
        } else {
            char prefix[kPrefixBufferBytes] = {};
            _snprintf(prefix, sizeof(prefix) - 1, kWaitFailedPrefixFormat, static_cast<int>(wait));
            AppendToFile(pszFile, prefix + line);
        }
    } catch (...) {
        // Diagnostic lines that cannot be written are dropped.
    }
}

void _TracerWrite(bool isError, const char* pszFormat, ...) {
    const CDB_TraceCallback callback = g_traceCallback.load();
    const bool internalTraceOn = !g_internalTraceFile.empty();
    if (!callback && !internalTraceOn) return;
    try {
        va_list args;
        va_start(args, pszFormat);
        const int length = vemo::CountFormatA(pszFormat, args);
        if (length < 1) {
            va_end(args);
            ReportTracerFailure(callback, kFormatError);
            return;
        }
        std::string text;
        std::wstring wide;
        try {
            text.resize(static_cast<size_t>(length) + 2);
            wide.resize(static_cast<size_t>(length) + 2);
        } catch (const std::bad_alloc&) {
            va_end(args);
            ReportTracerFailure(callback, kCreateError);
            return;
        }
        _vsnprintf(text.data(), text.size(), pszFormat, args);
        va_end(args);
        text.resize(static_cast<size_t>(length));

        if (internalTraceOn) {
            _InternTrace(g_internalTraceFile.c_str(), kInternalLineFormat, isError ? kKindError : kKindInfo,
                         text.c_str());
        }
        if (callback) {
            // The ANSI code page, as the text's paths and IDs were narrowed with.
            // The buffer reserved above is reused: no allocation here.
            if (!vemo::AnsiToWide(std::string_view(text.data(), static_cast<size_t>(length)), wide) || wide.empty()) {
                CallbackFixedText(callback, kConvertError);
            } else {
                callback(isError, wide.c_str());
            }
        }
    } catch (...) {
        ReportTracerFailure(callback, kExceptionCaught);
    }
}

void WritePathLog(const char* pszFormat, const std::string& compId, const std::string& path) {
    const std::string& file = PathLogFile();
    if (!file.empty()) _InternTrace(file.c_str(), pszFormat, compId.c_str(), path.c_str());
}

}  // namespace configdb

CDB_TraceCallback CDB_SetTraceCallback(CDB_TraceCallback pfnCallback) {
    return configdb::g_traceCallback.exchange(pfnCallback);
}
