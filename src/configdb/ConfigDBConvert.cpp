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
// Both directions use the process's ANSI code page, as the narrow registry and file functions do.
std::string _ConvertToUnicode(const std::wstring& text) {
    std::string narrow;
    if (!vemo::WideToAnsi(text, narrow)) _TracerWrite(true, kConvertFailed, Printable(text).c_str());
    return narrow;
}

std::wstring _ConvertToUnicode(const std::string& text) {
    std::wstring wide;
    if (!vemo::AnsiToWide(text, wide)) _TracerWrite(true, kConvertFailed, text.c_str());
    return wide;
}

}  // namespace configdb
