#pragma once
// A REG_DWORD value read with its type checked: any other type, a missing value or a missing key
// is no value. One reading for the crash options, the configuration values, ConfigDB and the
// trace and daemon modules.
#include <windows.h>

#include <optional>

namespace vemo {

inline std::optional<DWORD> ReadRegistryDword(HKEY key, const wchar_t* pszName) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    // RRF_RT_REG_DWORD rejects every other type, a REG_BINARY of four bytes too.
    if (::RegGetValueW(key, nullptr, pszName, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

inline std::optional<DWORD> ReadRegistryDword(HKEY key, const char* pszName) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (::RegGetValueA(key, nullptr, pszName, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

}  // namespace vemo
