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
std::string _ConvertToUnicode(const std::wstring& text) {
    if (text.empty()) return {};
    std::string narrow(text.size() + 1, '\0');
    size_t converted = 0;
    const errno_t status = wcstombs_s(&converted, narrow.data(), narrow.size(), text.c_str(), text.size());
    if (status != 0 || converted <= 1) {  // converted counts the terminator
        _TracerWrite(true, kConvertFailed, Printable(text).c_str());
        return {};
    }
    narrow.resize(converted - 1);
    return narrow;
}

std::wstring _ConvertToUnicode(const std::string& text) {
    if (text.empty()) return {};
    std::wstring wide(text.size() + 1, L'\0');
    size_t converted = 0;
    const errno_t status = mbstowcs_s(&converted, wide.data(), wide.size(), text.c_str(), text.size());
    if (status != 0 || converted <= 1) {
        _TracerWrite(true, kConvertFailed, text.c_str());
        return {};
    }
    wide.resize(converted - 1);
    return wide;
}

}  // namespace configdb
