#pragma once
// The trace front-end: leveled, categorised lines through the trace module. Nothing here
// reports a failure or throws; without the module every question answers false.
#include <cstddef>

namespace vemo::tracing {

// Levels: the smaller, the more severe.
enum TraceLevel : int {
    kLevelException = 1,
    kLevelError = 2,
    kLevelWarning = 4,
    kLevelInfo = 8,
    kLevelDetail = 16,
};

// Byte limits of the texts handed to the module (terminator included).
constexpr size_t kMessageBytes = 4096;   // at most 4095 bytes of text
constexpr size_t kCategoryBytes = 128;   // at most 127 bytes of category

// ISO 8859-1 narrowing into nDest bytes, keeping at most nDest-1. A character above U+00FF makes
// the whole text empty. Returns the number of bytes written.
size_t NarrowLatin1(const wchar_t* pszWide, char* pszDest, size_t nDest);

}  // namespace vemo::tracing

bool TraceShouldTrace(int level);
bool TraceShouldTraceCategory(int level, const char* pszCategory);
bool TraceShouldTraceCategoryW(int level, const wchar_t* pszCategory);
void TraceWrite(int level, const char* pszCategory, const char* pszText);
void TraceWriteW(int level, const wchar_t* pszCategory, const wchar_t* pszText);
void TraceFormatW(int level, const wchar_t* pszCategory, const wchar_t* pszFormat, ...);
// Returns once the lines written so far are in the file: the crash path calls it before a dump.
// Does nothing without a module or with one that has no flush export.
void TraceFlush();
