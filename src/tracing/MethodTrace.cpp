#include "tracing/MethodTrace.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <exception>

#include "common/WideFormat.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;

namespace {

constexpr char kBeginPrefix[] = "---> Beginn: ";
constexpr char kPendingBeginFormat[] = "---> Beginn (%02d:%02d:%02d.%03d): ";
constexpr char kErrorPrefix[] = "!!!!! FEHLER wurde gesetzt: \r\n\t Info: ";
constexpr char kErrorLinePart[] = "\n\t Zeile: ";
constexpr char kErrorInfoPrefix[] = "Fehlerinfo: ";
constexpr char kUnwindingInfo[] = "StackUnwinding ~MethodTrace: Es ist eine Exception aufgetreten";
constexpr char kEndPrefix[] = "<--- Ende: ";
constexpr char kElapsedFormat[] = " (%0.3f sec)";
constexpr char kReturnValuePart[] = "\t Returnwert: ";

int64_t ProcessClockMs() { return static_cast<int64_t>(clock()) * 1000 / CLOCKS_PER_SEC; }

std::string Narrow(const wchar_t* pszWide) {
    char buffer[kMessageBytes];
    NarrowLatin1(pszWide, buffer, sizeof(buffer));
    return buffer;
}

// Formats a narrow text and keeps at most kMessageBytes - 1 bytes of it.
std::string FormatNarrow(const char* pszFormat, va_list args) {
    std::string text = vemo::VFormatA(pszFormat, args);
    if (text.size() > kMessageBytes - 1) text.resize(kMessageBytes - 1);
    return text;
}

}  // namespace

MethodTrace::MethodTrace(int lvl, const wchar_t* pszCategory, const wchar_t* pszMethodName,
                         const wchar_t* pszSourceFile, int line, const wchar_t* pszContext) {
    if (!pszCategory || !*pszCategory || !pszMethodName || !pszSourceFile || !pszContext) return;
    // A disabled scope is the common case: it pays for the one question and nothing else.
    if (!TraceShouldTraceCategoryW(std::min(lvl, static_cast<int>(kLevelError)), pszCategory)) return;
    Begin(lvl, pszCategory, pszMethodName, pszSourceFile, line, pszContext);
}

// Out of line: its text buffers make a frame of several pages, whose stack probes a disabled
// scope would otherwise pay for.
__attribute__((noinline)) void MethodTrace::Begin(int lvl, const wchar_t* pszCategory, const wchar_t* pszMethodName,
                                                  const wchar_t* pszSourceFile, int line, const wchar_t* pszContext) {
    try {
        startTicks = ProcessClockMs();
        uncaughtAtStart = std::uncaught_exceptions();

        disabled = false;
        beginWritten = false;
        level = static_cast<uint16_t>(lvl);
        category = Narrow(pszCategory);
        methodName = Narrow(pszMethodName);

        std::string linePart;
        if (line > 0) linePart = " (" + std::to_string(line) + ")";
        const std::string context = Narrow(pszContext);
        const std::string file = Narrow(pszSourceFile);

        if (TraceShouldTraceCategory(level, category.c_str())) {
            std::string text = kBeginPrefix + methodName + linePart;
            if (!context.empty()) text += " '" + context + "'";
            text += " " + file;
            TraceWrite(level, category.c_str(), text.c_str());
            beginWritten = true;
        } else {
            SYSTEMTIME now;
            ::GetLocalTime(&now);
            char stamp[64];
            _snprintf(stamp, sizeof(stamp), kPendingBeginFormat, now.wHour, now.wMinute, now.wSecond,
                      now.wMilliseconds);
            stamp[sizeof(stamp) - 1] = '\0';
            pendingBegin = stamp + methodName + linePart + " '" + context + "' " + file;
        }
    } catch (...) {
        disabled = true;
    }
}

void MethodTrace::FlushPendingBegin() {
    if (!TraceShouldTraceCategory(level, category.c_str())) return;
    beginWritten = true;
    TraceWrite(level, category.c_str(), pendingBegin.c_str());
    pendingBegin.clear();
}

void MethodTrace::SetError(const char* pszInfo, int line) {
    try {
        if (disabled || !pszInfo) return;
        level = std::min<uint16_t>(level, kLevelError);
        if (!TraceShouldTraceCategory(level, category.c_str())) return;
        if (!beginWritten) FlushPendingBegin();
        std::string text = kErrorPrefix;
        text += pszInfo;
        if (line != 0) text += kErrorLinePart + std::to_string(line);
        TraceWrite(level, category.c_str(), text.c_str());
        resultText = std::string(kErrorInfoPrefix) + pszInfo;
    } catch (...) {
    }
}

void MethodTrace::SetErrorFormat(int line, const char* pszFormat, ...) {
    if (disabled || !pszFormat) return;
    try {
        va_list args;
        va_start(args, pszFormat);
        const std::string info = FormatNarrow(pszFormat, args);
        va_end(args);
        SetError(info.c_str(), line);
    } catch (...) {
    }
}

void MethodTrace::SetReturnValueFormat(const char* pszFormat, ...) {
    try {
        if (disabled || !pszFormat || !TraceShouldTraceCategory(level, category.c_str())) return;
        va_list args;
        va_start(args, pszFormat);
        resultText = FormatNarrow(pszFormat, args);
        va_end(args);
    } catch (...) {
    }
}

void MethodTrace::SetReturnValueFormatW(const wchar_t* pszFormat, ...) {
    try {
        if (disabled || !pszFormat || !TraceShouldTraceCategory(level, category.c_str())) return;
        va_list args;
        va_start(args, pszFormat);
        const std::wstring text = vemo::VFormatW(pszFormat, args);
        va_end(args);
        resultText = Narrow(text.c_str());
    } catch (...) {
    }
}

MethodTrace::~MethodTrace() {
    // Disabled at construction: no category, so nothing can be written, not even on unwinding.
    if (category.empty()) return;
    try {
        if (std::uncaught_exceptions() > uncaughtAtStart) {
            disabled = false;
            level = kLevelException;
            if (!beginWritten) FlushPendingBegin();
            resultText = std::string(kErrorInfoPrefix) + kUnwindingInfo;
        }
        if (disabled || !TraceShouldTraceCategory(level, category.c_str())) return;
        char elapsed[64];
        _snprintf(elapsed, sizeof(elapsed), kElapsedFormat,
                  static_cast<double>(ProcessClockMs() - startTicks) / 1000.0);
        elapsed[sizeof(elapsed) - 1] = '\0';
        std::string text = kEndPrefix + methodName + elapsed;
        if (!resultText.empty()) text += kReturnValuePart + resultText;
        TraceWrite(level, category.c_str(), text.c_str());
    } catch (...) {
    }
}
