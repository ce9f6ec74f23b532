// Text helpers: printf-style narrow formatting and the conversions between the process's
// code page and UTF-16.
#include <cstdarg>
#include <cstdlib>
#include <string>

#include "common/AnsiText.h"
#include "common/WideFormat.h"
#include "configdb/ConfigDBInternal.h"

namespace configdb {
namespace {
constexpr char kConvertFailed[] = "_ConvertToUnicode: Fehler beim Konvertieren des Strings <%s>!";

}  // namespace

std::string FormatNarrow(const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    std::string text = vemo::VFormatA(pszFormat, args);
    va_end(args);
    return text;
}

// An empty source converts to an empty result without complaint: there was nothing to lose.
// Both directions use the process's ANSI code page, as the narrow registry and file functions do.
std::string _ConvertToUnicode(const std::wstring& text) {
    std::string narrow;
    if (!vemo::WideToAnsi(text, narrow)) _TracerWrite(true, kConvertFailed, vemo::WideToAnsiShown(text).c_str());
    return narrow;
}

std::wstring _ConvertToUnicode(const std::string& text) {
    std::wstring wide;
    if (!vemo::AnsiToWide(text, wide)) _TracerWrite(true, kConvertFailed, text.c_str());
    return wide;
}

}  // namespace configdb
