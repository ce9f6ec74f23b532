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

}  // namespace vemo
