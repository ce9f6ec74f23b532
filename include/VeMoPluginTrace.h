#pragma once
// Trace lines from a plug-in into the service's trace file, header only. The service loads its
// trace module (QnUmTraceSystem001.dll) before any plug-in; these functions use that module in
// the plug-in's process and write nothing where it is not loaded (a plug-in in a test program).
// Texts are narrowed to ISO 8859-1 as the module expects; a text with a character above U+00FF
// is written empty. The module's entry points are WINAPI (__stdcall on x86).
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace vemo::plugin {

enum TraceLevel : int {
    kTraceException = 1,
    kTraceError = 2,
    kTraceWarning = 4,
    kTraceInfo = 8,
    kTraceDetail = 16,
};

namespace trace_detail {
inline constexpr wchar_t kModuleName[] = L"QnUmTraceSystem001.dll";
using ShouldTraceFn = bool(WINAPI*)(int level);
using WriteFn = int(WINAPI*)(int level, const char* category, const char* text);

struct Exports {
    ShouldTraceFn shouldTrace = nullptr;
    WriteFn write = nullptr;
};

// Looked up on every call: the module may be loaded after the plug-in, and is never unloaded
// while the service runs.
inline Exports Bind() {
    Exports exports;
    if (HMODULE module = ::GetModuleHandleW(kModuleName)) {
        exports.shouldTrace = reinterpret_cast<ShouldTraceFn>(::GetProcAddress(module, "ExpShouldTrace"));
        exports.write = reinterpret_cast<WriteFn>(::GetProcAddress(module, "ExpWrite"));
    }
    return exports;
}

inline std::string Latin1(const wchar_t* text) {
    std::string narrow;
    for (const wchar_t* p = text ? text : L""; *p; ++p) {
        if (*p > 0xFF) return {};
        narrow.push_back(static_cast<char>(static_cast<unsigned char>(*p)));
    }
    return narrow;
}
}  // namespace trace_detail

// True when the service's trace module writes lines of this level.
inline bool TraceEnabled(int level) {
    const trace_detail::Exports exports = trace_detail::Bind();
    return exports.shouldTrace && exports.write && exports.shouldTrace(level);
}

inline void TraceWrite(int level, const wchar_t* category, const wchar_t* text) {
    const trace_detail::Exports exports = trace_detail::Bind();
    if (!exports.shouldTrace || !exports.write || !exports.shouldTrace(level)) return;
    exports.write(level, trace_detail::Latin1(category).c_str(), trace_detail::Latin1(text).c_str());
}

// printf-style with the Windows wide conventions: %s is a wide string, %S a narrow one.
inline void TraceFormat(int level, const wchar_t* category, const wchar_t* format, ...) {
    if (!TraceEnabled(level)) return;
    va_list args;
    va_start(args, format);
    va_list count;
    va_copy(count, args);
    const int length = ::_vscwprintf(format, count);
    va_end(count);
    if (length >= 0) {
        std::wstring text(static_cast<size_t>(length) + 1, L'\0');
        ::_vsnwprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<size_t>(length));
        TraceWrite(level, category, text.c_str());
    }
    va_end(args);
}

}  // namespace vemo::plugin
