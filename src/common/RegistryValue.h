#pragma once
// A REG_DWORD value read with its type checked: any other type, a missing value or a missing key
// is no value. One reading for the crash options, the configuration values, ConfigDB and the
// trace and daemon modules; value names in either character width.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <type_traits>
#include <vector>

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

// A value as stored, for readers that report a wrong type or a failed read themselves. At most
// maxBytes are read (a longer value fails with ERROR_MORE_DATA); a wide zero always follows the
// data, so a REG_SZ without its own end still ends.
struct StoredRegistryValue {
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    DWORD AsDword() const {
        DWORD value = 0;
        std::memcpy(&value, data.data(), std::min(sizeof(value), data.size()));
        return value;
    }
    const wchar_t* AsText() const { return reinterpret_cast<const wchar_t*>(data.data()); }
};

inline StoredRegistryValue ReadStoredRegistryValue(HKEY key, const wchar_t* pszName, DWORD maxBytes) {
    StoredRegistryValue stored;
    stored.data.assign(maxBytes + sizeof(wchar_t) + 1, 0);
    DWORD size = maxBytes;
    stored.status = ::RegQueryValueExW(key, pszName, nullptr, &stored.type, stored.data.data(), &size);
    return stored;
}

}  // namespace vemo
