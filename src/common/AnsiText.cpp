#include "common/AnsiText.h"

#include <windows.h>

namespace vemo {

bool AnsiToWide(std::string_view text, std::wstring& wide) {
    wide.clear();
    if (text.empty()) return true;
    const int length = static_cast<int>(text.size());
    const int chars = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (chars <= 0) return false;
    wide.resize(static_cast<size_t>(chars));
    if (::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), length, wide.data(), chars) != chars) {
        wide.clear();
        return false;
    }
    return true;
}

bool WideToAnsi(std::wstring_view text, std::string& narrow) {
    narrow.clear();
    if (text.empty()) return true;
    const int length = static_cast<int>(text.size());
    BOOL usedDefault = FALSE;
    const int bytes =
        ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), length, nullptr, 0, nullptr, &usedDefault);
    if (bytes <= 0 || usedDefault) return false;
    narrow.resize(static_cast<size_t>(bytes));
    if (::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), length, narrow.data(), bytes, nullptr,
                              &usedDefault) != bytes ||
        usedDefault) {
        narrow.clear();
        return false;
    }
    return true;
}

namespace {
std::string WideTo(UINT codePage, std::wstring_view text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int bytes = ::WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string narrow(static_cast<size_t>(bytes), '\0');
    if (::WideCharToMultiByte(codePage, 0, text.data(), length, narrow.data(), bytes, nullptr, nullptr) != bytes) {
        return {};
    }
    return narrow;
}
}  // namespace

std::string WideToAnsiShown(std::wstring_view text) { return WideTo(CP_ACP, text); }

bool WideToUtf8(std::wstring_view text, std::string& utf8) {
    utf8 = WideTo(CP_UTF8, text);
    return !utf8.empty() || text.empty();
}

}  // namespace vemo
