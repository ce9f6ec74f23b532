#include "BasisLibs_MitTracing/ThreadControlLib/ProcessControl.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

#include "BasisLibs_MitTracing/ThreadControlLib/ProcessControlInt.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ProcessInfo.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ShellExecuteFromExplorer.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ThreadFunctions.h"
#include "common/ProductIds.h"
#include "common/AnsiText.h"
#include "common/UniqueHandle.h"
#include "common/WideFormat.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;

namespace ThreadControl {

namespace {

constexpr wchar_t kMethodStartProcessAsyncW[] = L"ThreadControl::TC_StartProcessAsyncW";
constexpr wchar_t kMethodStartProcessAsyncA[] = L"ThreadControl::TC_StartProcessAsyncA";
constexpr wchar_t kMethodStartProcess[] = L"ThreadControl::_StartProcess";
constexpr wchar_t kMethodExecuteProcessAsUserW[] = L"ThreadControl::TC_ExecuteProcessAsUserW";
constexpr wchar_t kMethodFindProcessInConsoleSessionW[] = L"ThreadControl::TC_FindProcessInConsoleSessionW";
constexpr int kLineExecuteProcessAsUserW = 124;
constexpr int kLineFindProcessInConsoleSessionW = 224;
constexpr int kLineStartProcessAsyncW = 438;
constexpr int kLineStartProcessAsyncA = 475;
constexpr int kLineStartProcess = 31;

constexpr wchar_t kMsgConvertFailed[] = L"ConvertToUnicode: Fehler beim Konvertieren des Strings <%S>!";
constexpr wchar_t kMsgCall[] =
    L"Funktionsaufruf mit Prozessname: <%s>, Parameter: <%s>, Warten auf Prozess-Ende: <%s>";
constexpr wchar_t kNullText[] = L"NULL";
constexpr wchar_t kNoText[] = L"Nein";
constexpr wchar_t kMsgBothNull[] = L"Sowohl der Prozessname, als auch die Parameter sind NULL!";
constexpr wchar_t kMsgParametersWithoutProgram[] = L"Der Prozessname ist NULL! Der Prozess wird nicht gestartet!";
constexpr wchar_t kMsgNoMemoryParameters[] = L"Fehler aufgetreten bei Speicherallokierung für die Parametrisierung!";
constexpr wchar_t kMsgParametersTooLong[] =
    L"Die Parameter sind zu lang! Platz: <%u> Zeichen, Länge der Parameter: <%u> Zeichen.";
constexpr wchar_t kMsgNoMemoryProgramName[] =
    L"Fehler aufgetreten bei Speicherallokierung für die den Programmnamen!";
constexpr wchar_t kMsgNotAbsolute[] =
    L"Der übergebene Dateiname wurde nicht absolut angegeben! Der Prozess wird nicht gestartet!";
constexpr wchar_t kMsgQuoted[] = L"Prozess-Name wurde gequoted: <%s>.";
constexpr wchar_t kMsgNoMemoryCommandLine[] = L"Fehler aufgetreten bei Speicherallokierung für die den Programmaufruf!";
constexpr wchar_t kMsgStarting[] = L"Der Programmaufruf <%s> wird gestartet.";
constexpr wchar_t kMsgIdle[] = L"WaitForInputIdle() war erfolgreich.";
constexpr wchar_t kMsgIdleTimeout[] = L"Beim Warten auf den Prozess-Start wurde der Timeout überschritten!";
constexpr wchar_t kMsgIdleError[] = L"Beim Warten auf den Prozess-Start trat der Fehler <%d> auf!";
constexpr wchar_t kMsgIdleOther[] = L"WaitForInputIdle() lieferte <%d> zurück!";
constexpr wchar_t kMsgElevationRequired[] = L"Der Prozess <%s> benötigt erhöhte Rechte!";
constexpr wchar_t kMsgCreateProcessFailed[] = L"CreateProcess() lieferte <%d> zurück!";

// Not in the MinGW headers.
constexpr DWORD kErrorElevationRequired = 740;

constexpr wchar_t kCommandLineFormat[] = L"%s %s";
constexpr wchar_t kQuote = L'"';
constexpr wchar_t kEmpty[] = L"";
// Room of the parameter copy and of the quoted name beyond the program name's length.
constexpr size_t kExtraRoomChars = 260;
// Room of the command line beyond both parts: the blank between them and the terminator.
constexpr size_t kCommandLineExtraChars = 2;
constexpr DWORD kReadinessWaitMs = 20000;

// Heap buffers of the start: a failed allocation is a result the caller reports, not an exception.
std::unique_ptr<wchar_t[]> AllocateChars(size_t count) { return std::unique_ptr<wchar_t[]>(new (std::nothrow) wchar_t[count]); }

// Steps of the start after its scope has opened; every failure is traced here and becomes a code.
DWORD StartProcess(const wchar_t* pszProgram, const wchar_t* pszParameters, const STARTUPINFOW* pStartupInfo) {
    const wchar_t* const category = _GetTraceCategory();
    TraceFormatW(kLevelInfo, category, kMsgCall, pszProgram ? pszProgram : kNullText,
                 pszParameters ? pszParameters : kNullText, kNoText);

    if (!pszProgram && !pszParameters) {
        TraceWriteW(kLevelError, category, kMsgBothNull);
        return kStartProcessBadArguments;
    }
    // The room of the parameter copy is measured on the program name; without one there is nothing to start.
    if (!pszProgram) {
        TraceWriteW(kLevelError, category, kMsgParametersWithoutProgram);
        return kStartProcessBadArguments;
    }

    // Once set, the code stops the start, but the preparation goes on so that every problem is traced.
    DWORD code = kStartProcessSucceeded;
    const size_t programLength = wcslen(pszProgram);
    const size_t room = programLength + kExtraRoomChars;

    std::unique_ptr<wchar_t[]> parameterCopy;
    if (pszParameters) {
        parameterCopy = AllocateChars(room);
        if (!parameterCopy) {
            TraceWriteW(kLevelError, category, kMsgNoMemoryParameters);
            code = kStartProcessNoMemory;
        } else {
            const size_t parameterLength = wcslen(pszParameters);
            if (parameterLength < room - 1) {
                wmemcpy(parameterCopy.get(), pszParameters, parameterLength + 1);
            } else {
                TraceFormatW(kLevelError, category, kMsgParametersTooLong, static_cast<unsigned>(room),
                             static_cast<unsigned>(parameterLength));
                parameterCopy.reset();
                code = kStartProcessBadArguments;
            }
        }
    }

    std::unique_ptr<wchar_t[]> quotedName = AllocateChars(room);
    if (!quotedName) {
        TraceWriteW(kLevelError, category, kMsgNoMemoryProgramName);
        return kStartProcessNoMemory;
    }
    const bool leadingQuote = programLength > 0 && pszProgram[0] == kQuote;
    const bool trailingQuote = programLength > 0 && pszProgram[programLength - 1] == kQuote;

    const size_t nameBegin = leadingQuote ? 1 : 0;
    const size_t nameEnd = trailingQuote ? programLength - 1 : programLength;
    const std::wstring nameToTest(pszProgram + nameBegin, nameEnd > nameBegin ? nameEnd - nameBegin : 0);
    if (!_IsAbsolutePath(nameToTest.c_str())) {
        TraceWriteW(kLevelError, category, kMsgNotAbsolute);
        code = kStartProcessBadArguments;
    }

    if (leadingQuote && trailingQuote) {
        wmemcpy(quotedName.get(), pszProgram, programLength + 1);
    } else {
        wchar_t* out = quotedName.get();
        if (!leadingQuote) *out++ = kQuote;
        wmemcpy(out, pszProgram, programLength);
        out += programLength;
        if (!trailingQuote) *out++ = kQuote;
        *out = L'\0';
        TraceFormatW(kLevelInfo, category, kMsgQuoted, quotedName.get());
    }

    if (code != kStartProcessSucceeded) return code;

    const wchar_t* const parameters = parameterCopy ? parameterCopy.get() : kEmpty;
    const size_t commandLineChars = wcslen(quotedName.get()) + wcslen(parameters) + kCommandLineExtraChars;
    std::unique_ptr<wchar_t[]> commandLine = AllocateChars(commandLineChars);
    if (!commandLine) {
        TraceWriteW(kLevelError, category, kMsgNoMemoryCommandLine);
        return kStartProcessNoMemory;
    }
    vemo::FormatToBufferW(commandLine.get(), commandLineChars, kCommandLineFormat, quotedName.get(), parameters);
    TraceFormatW(kLevelInfo, category, kMsgStarting, commandLine.get());

    STARTUPINFOW startupInfo;
    if (pStartupInfo) {
        startupInfo = *pStartupInfo;
    } else {
        ZeroMemory(&startupInfo, sizeof(startupInfo));
        startupInfo.cb = sizeof(startupInfo);
    }
    PROCESS_INFORMATION processInfo;
    ZeroMemory(&processInfo, sizeof(processInfo));
    if (!::CreateProcessW(nullptr, commandLine.get(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startupInfo,
                          &processInfo)) {
        const DWORD error = ::GetLastError();
        if (error == kErrorElevationRequired) {
            TraceFormatW(kLevelError, category, kMsgElevationRequired, quotedName.get());
        } else {
            TraceFormatW(kLevelError, category, kMsgCreateProcessFailed, static_cast<int>(error));
        }
        return kStartProcessRefused;
    }
    const vemo::unique_handle process(processInfo.hProcess);
    const vemo::unique_handle thread(processInfo.hThread);

    const DWORD waitResult = ::WaitForInputIdle(process.get(), kReadinessWaitMs);
    if (waitResult == 0) {
        TraceWriteW(kLevelInfo, category, kMsgIdle);
    } else if (waitResult == WAIT_TIMEOUT) {
        TraceWriteW(kLevelWarning, category, kMsgIdleTimeout);
    } else if (waitResult == WAIT_FAILED) {
        // A program without a message queue (a console program) never becomes idle: not worth a line.
        const DWORD error = ::GetLastError();
        if (error != ERROR_NOT_GUI_PROCESS) TraceFormatW(kLevelError, category, kMsgIdleError, static_cast<int>(error));
    } else {
        TraceFormatW(kLevelWarning, category, kMsgIdleOther, static_cast<int>(waitResult));
    }
    return kStartProcessSucceeded;
}

}  // namespace

PathParts _SplitPath(const wchar_t* pszPath) {
    PathParts parts;
    const size_t length = wcslen(pszPath);
    if (length >= 2 && pszPath[1] == L':') parts.drive = 2;

    size_t afterLastSeparator = parts.drive;
    for (size_t i = parts.drive; i < length; ++i) {
        if (pszPath[i] == L'\\' || pszPath[i] == L'/') afterLastSeparator = i + 1;
    }
    parts.directory = afterLastSeparator - parts.drive;

    size_t extensionStart = length;
    for (size_t i = length; i > afterLastSeparator; --i) {
        if (pszPath[i - 1] == L'.') {
            extensionStart = i - 1;
            break;
        }
    }
    parts.fileName = extensionStart - afterLastSeparator;
    parts.extension = length - extensionStart;
    return parts;
}

bool _IsAbsolutePath(const wchar_t* pszPath) {
    if (!pszPath) return false;
    const PathParts parts = _SplitPath(pszPath);
    // A part longer than its split buffer (terminator included) makes the runtime's split fail.
    if (parts.drive >= kDriveChars || parts.directory >= kDirectoryChars || parts.fileName >= kFileNameChars ||
        parts.extension >= kExtensionChars) {
        return false;
    }
    const bool uncPrefix = parts.drive == 0 && pszPath[0] == L'\\' && pszPath[1] == L'\\';
    return (parts.drive > 0 || uncPrefix) && parts.directory > 0;
}

std::wstring ConvertToUnicode(const char* pszText) {
    // An empty program is no program: reported like a text that cannot be converted.
    std::wstring wide;
    if (!vemo::AnsiToWide(pszText, wide) || wide.empty()) {
        TraceFormatW(kLevelError, _GetTraceCategory(), kMsgConvertFailed, pszText);
        return std::wstring();
    }
    return wide;
}

DWORD _StartProcess(const wchar_t* pszProgram, const wchar_t* pszParameters, const STARTUPINFOW* pStartupInfo) {
    METHOD_TRACE(trace, kLevelDetail, _GetTraceCategory(), kMethodStartProcess, kLineStartProcess);
    try {
        return StartProcess(pszProgram, pszParameters, pStartupInfo);
    } catch (...) {
        TraceFormatW(kLevelException, _GetTraceCategory(), vemo::kMsgExceptionIn, kMethodStartProcess);
        return kStartProcessNoMemory;
    }
}

DWORD TC_StartProcessAsyncW(const wchar_t* pszProgram, const wchar_t* pszParameters,
                            const STARTUPINFOW* pStartupInfo) {
    METHOD_TRACE(trace, kLevelDetail, _GetTraceCategory(), kMethodStartProcessAsyncW, kLineStartProcessAsyncW);
    try {
        return _StartProcess(pszProgram, pszParameters, pStartupInfo);
    } catch (...) {
        TraceFormatW(kLevelException, _GetTraceCategory(), vemo::kMsgExceptionIn, kMethodStartProcessAsyncW);
        return kStartProcessException;
    }
}

DWORD TC_StartProcessAsyncA(const char* pszProgram) {
    METHOD_TRACE(trace, kLevelDetail, _GetTraceCategory(), kMethodStartProcessAsyncA, kLineStartProcessAsyncA);
    try {
        std::wstring program;
        if (pszProgram) program = ConvertToUnicode(pszProgram);
        return _StartProcess(pszProgram ? program.c_str() : nullptr, nullptr, nullptr);
    } catch (...) {
        TraceFormatW(kLevelException, _GetTraceCategory(), vemo::kMsgExceptionIn, kMethodStartProcessAsyncA);
        return kStartProcessException;
    }
}

bool TC_ExecuteProcessAsUserW(const wchar_t* pszProgram, const wchar_t* pszParameters) {
    METHOD_TRACE(trace, kLevelDetail, _GetTraceCategory(), kMethodExecuteProcessAsUserW, kLineExecuteProcessAsUserW);
    try {
        // A single-threaded apartment for this call only; uninitialised by the scope on every way
        // out, and only when this call's initialisation counted, so a caller's COM stays intact.
        const vemo::unique_couninitialize com(COINIT_APARTMENTTHREADED);
        return _ExecuteProcessAsUser(pszProgram, pszParameters);
    } catch (...) {
        TraceFormatW(kLevelException, _GetTraceCategory(), vemo::kMsgExceptionIn, kMethodExecuteProcessAsUserW);
        return false;
    }
}

bool TC_FindProcessInConsoleSessionW(const wchar_t* pszProcessName, DWORD* pdwProcessId) {
    METHOD_TRACE(trace, kLevelDetail, _GetTraceCategory(), kMethodFindProcessInConsoleSessionW,
                 kLineFindProcessInConsoleSessionW);
    try {
        return _FindProcessInConsoleSession(pszProcessName, pdwProcessId);
    } catch (...) {
        TraceFormatW(kLevelException, _GetTraceCategory(), vemo::kMsgExceptionIn, kMethodFindProcessInConsoleSessionW);
        return false;
    }
}

}  // namespace ThreadControl
