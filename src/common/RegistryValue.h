#pragma once
// A REG_DWORD value read with its type checked: any other type, a missing value or a missing key
// is no value. One reading for the crash options, the configuration values, ConfigDB and the
// trace and daemon modules; value names in either character width.
#include <windows.h>

#include <optional>
#include <type_traits>

namespace vemo {

template <typename Char>
std::optional<DWORD> ReadRegistryDword(HKEY key, const Char* pszName) {
    static_assert(std::is_same_v<Char, char> || std::is_same_v<Char, wchar_t>);
    DWORD value = 0;
    DWORD size = sizeof(value);
    // RRF_RT_REG_DWORD rejects every other type, a REG_BINARY of four bytes too.
    LSTATUS status = ERROR_SUCCESS;
    if constexpr (std::is_same_v<Char, char>) {
        status = ::RegGetValueA(key, nullptr, pszName, RRF_RT_REG_DWORD, nullptr, &value, &size);
    } else {
        status = ::RegGetValueW(key, nullptr, pszName, RRF_RT_REG_DWORD, nullptr, &value, &size);
    }
    if (status != ERROR_SUCCESS) return std::nullopt;
    return value;
}

}  // namespace vemo
