#pragma once
// printf-style formatting with the Windows conventions: in a wide format %s is a wide text
// and %S a narrow one. The CRT's underscore functions keep those semantics under MinGW;
// the standard swprintf family does not, so every wide format goes through here.
#include <cstdarg>
#include <cstddef>
#include <string>

namespace vemo {

// Length of the formatted text in characters, or -1 if the format cannot be counted.
int CountFormatW(const wchar_t* pszFormat, va_list args);
int CountFormatA(const char* pszFormat, va_list args);

// Formats into pszDest (nDest characters, always terminated); false if it was cut or failed.
bool FormatToBufferW(wchar_t* pszDest, size_t nDest, const wchar_t* pszFormat, ...);
bool VFormatToBufferW(wchar_t* pszDest, size_t nDest, const wchar_t* pszFormat, va_list args);

// Copies at most nDest - 1 characters and always ends the text; null copies as empty.
void CopyBounded(wchar_t* pszDest, size_t nDest, const wchar_t* pszSource);

std::wstring FormatW(const wchar_t* pszFormat, ...);
std::wstring VFormatW(const wchar_t* pszFormat, va_list args);
std::string VFormatA(const char* pszFormat, va_list args);

}  // namespace vemo
