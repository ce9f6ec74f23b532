#include "TraceConfig.h"

#include <optional>

#include "QnUmTraceSystem001/TraceSettings.h"
#include "TraceText.h"
#include "common/RegistryValue.h"
#include "common/UniqueHandle.h"

namespace vemo::tracemodule {
namespace {

constexpr wchar_t kProfileListKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr wchar_t kProgramDataValue[] = L"ProgramData";
constexpr wchar_t kProgramDataVariable[] = L"%ProgramData%";

std::optional<DWORD> ReadDword(HKEY key, const wchar_t* name) { return vemo::ReadRegistryDword(key, name); }

std::optional<std::wstring> ReadString(HKEY key, const wchar_t* name) {
    // Expanded below for both types, so a REG_SZ written by hand with %ProgramData% works too.
    constexpr DWORD kFlags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
    for (int attempt = 0; attempt < 2; ++attempt) {  // a second try if the value grew in between
        DWORD size = 0;
        if (::RegGetValueW(key, nullptr, name, kFlags, nullptr, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
        std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
        size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        const LSTATUS status = ::RegGetValueW(key, nullptr, name, kFlags, nullptr, text.data(), &size);
        if (status == ERROR_MORE_DATA) continue;
        if (status != ERROR_SUCCESS) return std::nullopt;
        text.resize(text.find(L'\0'));
        return text;
    }
    return std::nullopt;
}

void ReadCategoryMasks(HKEY parent, TraceConfig& config) {
    unique_hkey key;
    if (::RegOpenKeyExW(parent, kSubkeyTraceCategories, 0, KEY_READ | kRegistryView, key.put()) != ERROR_SUCCESS) {
        return;
    }
    DWORD maxNameChars = 0;
    if (::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxNameChars,
                           nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return;
    }
    std::wstring name(maxNameChars + 1, L'\0');
    std::string latin1;
    for (DWORD index = 0;; ++index) {
        DWORD nameChars = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD value = 0;
        DWORD size = sizeof(value);
        const LSTATUS status = ::RegEnumValueW(key.get(), index, name.data(), &nameChars, nullptr, &type,
                                               reinterpret_cast<BYTE*>(&value), &size);
        if (status == ERROR_NO_MORE_ITEMS) break;
        // ERROR_MORE_DATA: a value larger than a DWORD, so of the wrong type; the category keeps the global mask.
        if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value)) continue;
        // Empty names (the default value) and names outside ISO 8859-1 cannot name a category.
        if (nameChars == 0 || !WideToLatin1(std::wstring_view(name.data(), nameChars), latin1)) continue;
        config.categoryMasks.emplace_back(latin1, static_cast<int>(value));
    }
}

// The common application data folder as the system keeps it (what the shell answers for
// FOLDERID_ProgramData), read without loading the shell: that costs a start more than all else.
std::wstring DefaultTraceFile() {
    std::wstring folder;
    unique_hkey profiles;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProfileListKey, 0, KEY_QUERY_VALUE, profiles.put()) == ERROR_SUCCESS) {
        folder = ExpandEnvironment(ReadString(profiles.get(), kProgramDataValue).value_or(std::wstring()));
    }
    if (folder.empty()) folder = ExpandEnvironment(kProgramDataVariable);
    return folder + L"\\" + kDefaultTraceFileBelowProgramData;
}

}  // namespace

std::wstring ExpandEnvironment(const std::wstring& text) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD needed = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
        if (needed == 0) return text;
        std::wstring expanded(needed, L'\0');
        const DWORD written = ::ExpandEnvironmentStringsW(text.c_str(), expanded.data(), needed);
        if (written == 0) return text;
        if (written <= needed) {
            expanded.resize(expanded.find(L'\0'));
            return expanded;
        }
    }
    return text;
}

TraceConfig ReadTraceConfig() {
    TraceConfig config;
    config.enabled = kDefaultTraceEnabled != 0;
    config.levelMask = static_cast<int>(kDefaultTraceLevels);
    config.maxFileBytes = kDefaultTraceFileMaxSize;
    config.keptFiles = kDefaultTraceFileCount;
    std::wstring traceFile;

    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRegistryKey, 0, KEY_READ | kRegistryView, key.put()) == ERROR_SUCCESS) {
        if (auto enabled = ReadDword(key.get(), kValueTraceEnabled)) config.enabled = *enabled != 0;
        if (auto levels = ReadDword(key.get(), kValueTraceLevels)) config.levelMask = static_cast<int>(*levels);
        if (auto bytes = ReadDword(key.get(), kValueTraceFileMaxSize)) config.maxFileBytes = *bytes;
        if (auto count = ReadDword(key.get(), kValueTraceFileCount)) config.keptFiles = *count;
        if (auto file = ReadString(key.get(), kValueTraceFile); file && !file->empty()) traceFile = *file;
        ReadCategoryMasks(key.get(), config);
    }
    config.traceFile = traceFile.empty() ? DefaultTraceFile() : ExpandEnvironment(traceFile);
    return config;
}

}  // namespace vemo::tracemodule
