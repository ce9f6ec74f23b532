// Text helpers: printf-style narrow formatting and the conversions between the process's
// code page and UTF-16.
#include <cstdarg>
#include <cstdlib>
#include <string>

#include "common/WideFormat.h"
#include "configdb/ConfigDBInternal.h"

namespace configdb {
namespace {
constexpr char kConvertFailed[] = "_ConvertToUnicode: Fehler beim Konvertieren des Strings <%s>!";

// The failed text as far as the code page can show it, for the trace line.
std::string Printable(const std::wstring& text) {
    const int length = static_cast<int>(text.size());
    const int bytes = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string narrow(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), length, narrow.data(), bytes, nullptr, nullptr);
    return narrow;
}
}  // namespace

std::string FormatNarrow(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    std::string text = vemo::VFormatA(pszFormat, args);
    va_end(args);
    return text;
}

// An empty source converts to an empty result without complaint: there was nothing to lose.
// Both directions use the process's ANSI code page, as the narrow registry and file functions
// do. wcstombs_s/mbstowcs_s would convert in the CRT's "C" locale, which is ISO 8859-1: an ID or
// directory holding "€" (or another character at 0x80-0x9F of code page 1252) would not convert
// or would come back as another path. A character the code page lacks still fails.
std::string _ConvertToUnicode(const std::wstring& text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    BOOL usedDefault = FALSE;
    const int bytes =
        ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), length, nullptr, 0, nullptr, &usedDefault);
    std::string narrow(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes <= 0 || usedDefault ||
        ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), length, narrow.data(), bytes, nullptr,
                              &usedDefault) != bytes ||
        usedDefault) {
        _TracerWrite(true, kConvertFailed, Printable(text).c_str());
        return {};
    }
    return narrow;
}

std::wstring _ConvertToUnicode(const std::string& text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int chars = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.c_str(), length, nullptr, 0);
    std::wstring wide(static_cast<size_t>(chars > 0 ? chars : 0), L'\0');
    if (chars <= 0 ||
        ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.c_str(), length, wide.data(), chars) != chars) {
        _TracerWrite(true, kConvertFailed, text.c_str());
        return {};
    }
    return wide;
}

}  // namespace configdb
