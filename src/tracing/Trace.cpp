#include "tracing/Trace.h"

#include <cstdarg>
#include <cstring>
#include <memory>

#include "common/WideFormat.h"
#include "tracing/TraceSystemBinding.h"

namespace vemo::tracing {

size_t NarrowLatin1(const wchar_t* pszWide, char* pszDest, size_t nDest) {
    if (!pszDest || nDest == 0) return 0;
    pszDest[0] = '\0';
    if (!pszWide) return 0;
    size_t n = 0;
    for (const wchar_t* p = pszWide; *p; ++p) {
        if (static_cast<unsigned>(*p) > 0xFF) {
            pszDest[0] = '\0';
            return 0;
        }
        if (n + 1 < nDest) pszDest[n++] = static_cast<char>(static_cast<unsigned char>(*p));
    }
    pszDest[n] = '\0';
    return n;
}

namespace {

// An operation binds the module when it finds its own entry point unset.
template <typename Fn>
Fn EntryPoint(std::atomic<Fn> TraceSystemBinding::*slot) {
    TraceSystemBinding& b = GetTraceSystemBinding();
    Fn fn = (b.*slot).load();
    if (!fn && BindTraceSystem()) fn = (b.*slot).load();
    return fn;
}

void Write(int level, const char* pszCategory, const char* pszText) {
    if (auto fn = EntryPoint(&TraceSystemBinding::ExpWrite)) fn(level, pszCategory, pszText);
}

constexpr size_t kStackFormatChars = kMessageBytes + 1;

// Formats into pszDest (kMessageBytes bytes, narrowed); an uncountable format leaves it empty.
void FormatMessageLatin1(char* pszDest, const wchar_t* pszFormat, va_list args) {
    std::memset(pszDest, 0, kMessageBytes);
    const int count = vemo::CountFormatW(pszFormat, args);
    if (count < 0) return;
    if (static_cast<size_t>(count) < kStackFormatChars) {
        wchar_t text[kStackFormatChars];
        vemo::VFormatToBufferW(text, kStackFormatChars, pszFormat, args);
        NarrowLatin1(text, pszDest, kMessageBytes);
    } else {
        auto text = std::make_unique<wchar_t[]>(static_cast<size_t>(count) + 1);
        vemo::VFormatToBufferW(text.get(), static_cast<size_t>(count) + 1, pszFormat, args);
        NarrowLatin1(text.get(), pszDest, kMessageBytes);
    }
}

}  // namespace
}  // namespace vemo::tracing

using namespace vemo::tracing;

bool TraceShouldTrace(int level) {
    auto fn = EntryPoint(&TraceSystemBinding::ExpShouldTrace);
    return fn && fn(level);
}

bool TraceShouldTraceCategory(int level, const char* pszCategory) {
    if (!pszCategory || !*pszCategory) return false;
    auto fn = EntryPoint(&TraceSystemBinding::ExpShouldTraceCategory);
    return fn && fn(level, pszCategory);
}

bool TraceShouldTraceCategoryW(int level, const wchar_t* pszCategory) {
    char category[kCategoryBytes];
    NarrowLatin1(pszCategory, category, sizeof(category));
    return TraceShouldTraceCategory(level, category);
}

void TraceWrite(int level, const char* pszCategory, const char* pszText) {
    try {
        if (!TraceShouldTrace(level)) return;
        if (!pszCategory || !*pszCategory || !pszText) return;
        Write(level, pszCategory, pszText);
    } catch (...) {
    }
}

void TraceWriteW(int level, const wchar_t* pszCategory, const wchar_t* pszText) {
    try {
        if (!TraceShouldTrace(level)) return;
        if (!pszCategory || !*pszCategory || !pszText) return;
        char category[kCategoryBytes + 1];
        char text[kMessageBytes];
        NarrowLatin1(pszCategory, category, kCategoryBytes);
        NarrowLatin1(pszText, text, sizeof(text));
        if (!*category) return;
        Write(level, category, text);
    } catch (...) {
    }
}

void TraceFormatW(int level, const wchar_t* pszCategory, const wchar_t* pszFormat, ...) {
    try {
        if (!pszCategory || !*pszCategory || !pszFormat) return;
        if (!TraceShouldTrace(level)) return;
        char text[kMessageBytes];
        va_list args;
        va_start(args, pszFormat);
        FormatMessageLatin1(text, pszFormat, args);
        va_end(args);
        char category[kCategoryBytes + 1];
        NarrowLatin1(pszCategory, category, kCategoryBytes);
        if (!*category) return;
        Write(level, category, text);
    } catch (...) {
    }
}
