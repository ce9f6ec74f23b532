// The one registry writer of ConfigDB: a REG_SZ value, creating its key when needed.
#include <string>

#include "common/UniqueHandle.h"
#include "configdb/ConfigDBInternal.h"

uint32_t CDB_SetRegistryKeyString(HKEY hRootKey, bool b32BitView, const std::wstring& keyPath,
                                  const std::wstring& valueName, const std::wstring& value) {
    using namespace configdb;
    return Guarded("CDB_SetRegistryKeyString", CDB_ERROR_REGISTRY_WRITE, [&] {
        Init();
        const REGSAM access = KEY_SET_VALUE | (b32BitView ? KEY_WOW64_32KEY : 0);
        vemo::unique_hkey key;
        if (::RegCreateKeyExW(hRootKey, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                              key.put(), nullptr) != ERROR_SUCCESS) {
            return CDB_ERROR_REGISTRY_WRITE;
        }
        const DWORD dataBytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
        const LSTATUS status = ::RegSetValueExW(key.get(), valueName.c_str(), 0, REG_SZ,
                                                reinterpret_cast<const BYTE*>(value.c_str()), dataBytes);
        return status == ERROR_SUCCESS ? CDB_OK : CDB_ERROR_REGISTRY_WRITE;
    });
}
