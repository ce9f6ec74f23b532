#include "common/WideFormat.h"

#include <cstdio>
#include <cwchar>
#include <stdio.h>

namespace vemo {

int CountFormatW(const wchar_t* pszFormat, va_list args) {
    if (!pszFormat) return -1;
    va_list copy;
    va_copy(copy, args);
    const int n = _vscwprintf(pszFormat, copy);
    va_end(copy);
    return n;
}

int CountFormatA(const char* pszFormat, va_list args) {
    if (!pszFormat) return -1;
    va_list copy;
    va_copy(copy, args);
    const int n = _vscprintf(pszFormat, copy);
    va_end(copy);
    return n;
}

bool VFormatToBufferW(wchar_t* pszDest, size_t nDest, const wchar_t* pszFormat, va_list args) {
    if (!pszDest || nDest == 0) return false;
    pszDest[0] = L'\0';
    if (!pszFormat) return false;
    va_list copy;
    va_copy(copy, args);
    const int n = _vsnwprintf(pszDest, nDest - 1, pszFormat, copy);
    va_end(copy);
    pszDest[nDest - 1] = L'\0';
    if (n < 0) return false;
    pszDest[static_cast<size_t>(n) < nDest ? n : nDest - 1] = L'\0';
    return static_cast<size_t>(n) < nDest;
}

bool FormatToBufferW(wchar_t* pszDest, size_t nDest, const wchar_t* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    const bool ok = VFormatToBufferW(pszDest, nDest, pszFormat, args);
    va_end(args);
    return ok;
}

std::wstring VFormatW(const wchar_t* pszFormat, va_list args) {
    const int n = CountFormatW(pszFormat, args);
    if (n <= 0) return {};
    std::wstring text(static_cast<size_t>(n) + 1, L'\0');
    va_list copy;
    va_copy(copy, args);
    _vsnwprintf(text.data(), text.size(), pszFormat, copy);
    va_end(copy);
    text.resize(static_cast<size_t>(n));
    return text;
}

std::wstring FormatW(const wchar_t* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    std::wstring text = VFormatW(pszFormat, args);
    va_end(args);
    return text;
}

std::string VFormatA(const char* pszFormat, va_list args) {
    const int n = CountFormatA(pszFormat, args);
    if (n <= 0) return {};
    std::string text(static_cast<size_t>(n) + 1, '\0');
    va_list copy;
    va_copy(copy, args);
    _vsnprintf(text.data(), text.size(), pszFormat, copy);
    va_end(copy);
    text.resize(static_cast<size_t>(n));
    return text;
}

void CopyBounded(wchar_t* pszDest, size_t nDest, const wchar_t* pszSource) {
    if (nDest == 0) return;
    wcsncpy(pszDest, pszSource ? pszSource : L"", nDest - 1);
    pszDest[nDest - 1] = L'\0';
}

}  // namespace vemo
