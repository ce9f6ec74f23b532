#include "ConfigDbModel.h"

#include <io.h>
#include <shlobj.h>
#include <knownfolders.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>

#include "BadInput.h"
#include "TestSupport.h"
#include "common/UniqueHandle.h"

namespace badinput::model {
namespace {

constexpr REGSAM kReadAccess = KEY_READ | KEY_WOW64_32KEY;
constexpr size_t kDwordBytes = sizeof(DWORD);
constexpr size_t kSubKeyNameBytes = kPathChars + 1;
constexpr char kVersionsPart[] = "\\Versions";
constexpr char kDefaultVersionKey[] = "\\1.0";
constexpr double kDefaultVersion = 1.0;
constexpr char kConfigDirPart[] = "\\ConfigDir";
constexpr char kLogDirPart[] = "\\LogDir";
constexpr char kProtectedPart[] = "\\ProtectedDirectories";
constexpr char kComponentTable[][9] = {"B0003815", "B0003810", "B0003811", "B0003812", "B0003813", "B0003814"};

std::wstring Wide(const std::string& narrow) { return vemo::test::Widen(narrow); }

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// What the narrow registry API hands back for a value: string types in the ANSI code page (an odd
// last byte dropped), everything else byte for byte.
std::string NarrowData(const StoredValue& value) {
    if (!IsStringType(value.type)) return value.bytes;
    const size_t units = value.bytes.size() / sizeof(wchar_t);
    std::wstring wide(units, L'\0');
    if (units > 0) std::memcpy(wide.data(), value.bytes.data(), units * sizeof(wchar_t));
    return vemo::test::Narrow(wide);
}

bool InComponentTable(const std::string& compId) {
    for (const char* id : kComponentTable) {
        if (compId == id) return true;
    }
    return false;
}

std::string TruvoSubPath(const std::string& compId, const std::string& kind) {
    std::string leaf = compId;
    if (kind == "Log" && InComponentTable(compId)) leaf = "VeMo";
    if (kind == "Konfig" && compId == kOwnComponent) leaf = "VeMoCompact";
    return CutToPathBuffer(WithBackslash("Truvo\\" + kind + "\\" + leaf));
}

std::string KeyPath(const std::string& path) { return path.size() < kPathChars ? path : std::string(); }

std::string HighestVersionKey(const std::string& versionsKey) {
    std::string result = kDefaultVersionKey;
    double best = kDefaultVersion;
    vemo::unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(versionsKey).c_str(), 0, kReadAccess, key.put()) != ERROR_SUCCESS) {
        return result;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256] = {};
        DWORD chars = 256;
        const LSTATUS status = ::RegEnumKeyExW(key.get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) continue;
        const std::string narrow = vemo::test::Narrow(std::wstring(name, chars));
        if (narrow.size() + 1 > kSubKeyNameBytes) continue;
        const double version = std::atof(narrow.c_str());
        if (version > 0 && version > best) {
            result = "\\" + narrow;
            best = version;
        }
    }
    return result;
}

std::string DirectoryValue(const std::string& compId, const char* part) {
    if (compId == kOwnComponent) return {};
    const std::string newest = NewestComponentVersionKey(compId);
    if (newest.empty()) return {};
    std::string directory = RegistryString(KeyPath(newest + part), "");
    return directory.empty() ? directory : WithBackslash(directory);
}

std::string ProgDirFromRegistry(const std::string& compId) {
    if (compId == kOwnComponent) {
        std::string directory = RegistryString(kProductKey, "ProgKey");
        return Exists(directory) ? WithBackslash(directory) : directory;
    }
    const std::string newest = NewestComponentVersionKey(compId);
    if (newest.empty()) return {};
    const std::string key = KeyPath(newest + kProtectedPart);
    std::string directory = RegistryString(key, "FixedProgDir");
    if (Exists(directory)) {
        directory = CutToPathBuffer(WithBackslash(directory) + RegistryString(key, "ProgDir"));
        if (Exists(directory)) directory = WithBackslash(directory);
    }
    return directory;
}

std::string SystemDir() {
    std::string directory = RegistryString(kProtectedDirectoriesKey, "SystemDir");
    if (!directory.empty()) directory = WithBackslash(directory);
    if (!Exists(directory)) directory = ModuleDirectory();
    return WithBackslash(directory);
}

bool TruvoEnvironment(const std::string& compId) {
    if (!Exists(SystemDir())) return false;
    if (compId.empty()) return true;
    const std::string programDir = ProgDir(compId);
    return !programDir.empty() && programDir.find(compId) != std::string::npos;
}

std::string GuessKonfigDir(const std::string& compId) {
    std::string result = DirectoryValue(compId, kConfigDirPart);
    if (Exists(result)) return result;
    result.clear();
    if (!TruvoEnvironment(compId)) {
        result = KnownFolderNarrow(FOLDERID_ProgramData);
        if (Exists(result)) {
            result = CutToPathBuffer(result + TruvoSubPath(compId, "Konfig"));
            if (!Exists(result)) result.clear();
        }
    }
    if (!Exists(result)) {
        result = ProgDir(compId);
        if (!Exists(result)) result.clear();
    }
    return result;
}

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string Today(bool yearFirst) {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    char text[32] = {};
    if (yearFirst) {
        std::snprintf(text, sizeof(text), "%04d%02d%02d", now.wYear, now.wMonth, now.wDay);
    } else {
        std::snprintf(text, sizeof(text), "%02d%02d%04d", now.wDay, now.wMonth, now.wYear);
    }
    return text;
}

std::string ProgramTitle() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring title(path);
    title = title.substr(title.find_last_of(L"\\/") + 1);
    return vemo::test::Narrow(title.substr(0, title.rfind(L'.')));
}

}  // namespace

StoredValue ReadStored(const std::string& keyPath, const std::string& valueName) {
    StoredValue value;
    if (keyPath.empty()) return value;
    vemo::unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(keyPath).c_str(), 0, kReadAccess, key.put()) != ERROR_SUCCESS) {
        return value;
    }
    const std::wstring name = Wide(valueName);
    DWORD bytes = 0;
    if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &value.type, nullptr, &bytes) != ERROR_SUCCESS) {
        return value;
    }
    value.bytes.resize(bytes);
    if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &value.type,
                           reinterpret_cast<BYTE*>(value.bytes.data()), &bytes) != ERROR_SUCCESS) {
        return value;
    }
    value.bytes.resize(bytes);
    value.present = true;
    return value;
}

std::string RegistryString(const std::string& keyPath, const std::string& valueName) {
    const StoredValue value = ReadStored(keyPath, valueName);
    if (!value.present) return {};
    const std::string data = NarrowData(value);
    if (data.size() > kRegistryStringBytes) return {};
    return data.substr(0, data.find('\0'));
}

uint32_t RegistryDword(const std::string& keyPath, const std::string& valueName) {
    const StoredValue value = ReadStored(keyPath, valueName);
    if (!value.present) return 0;
    const std::string data = NarrowData(value);
    if (data.size() > kDwordBytes) return 0;
    uint32_t number = 0;
    std::memcpy(&number, data.data(), data.size());
    return number;
}

bool AtUnterminatedStringLimit(DWORD type, const std::string& bytes, size_t limit) {
    if (!IsStringType(type)) return false;
    StoredValue value{true, type, bytes};
    const std::string data = NarrowData(value);
    return data.size() == limit && (data.empty() || data.back() != '\0');
}

bool Exists(const std::string& path) { return !path.empty() && _access_s(path.c_str(), 0) == 0; }

std::string WithBackslash(std::string path) {
    if (!path.empty() && path.back() != '\\') path += '\\';
    return path;
}

std::string CutToPathBuffer(std::string path) {
    if (path.size() > kPathChars - 1) path.resize(kPathChars - 1);
    return path;
}

std::string ModuleDirectory() {
    const std::wstring directory = vemo::test::ExecutableDirectory();
    return vemo::test::Narrow(directory);
}

std::string KnownFolderNarrow(REFKNOWNFOLDERID folder) {
    PWSTR path = nullptr;
    if (FAILED(::SHGetKnownFolderPath(folder, KF_FLAG_CREATE, nullptr, &path))) return {};
    vemo::unique_cotaskmem owner(path);
    return WithBackslash(vemo::test::Narrow(path));
}

bool NarrowId(const std::wstring& wide, std::string& narrow) {
    narrow.clear();
    if (wide.empty()) return true;
    return SingleByte(wide, CP_ACP, narrow);
}

bool WidenPath(const std::string& narrow, std::wstring& wide) {
    wide.clear();
    if (narrow.empty()) return true;
    const int n = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow.c_str(), static_cast<int>(narrow.size()),
                                        nullptr, 0);
    if (n <= 0) return false;
    wide.resize(static_cast<size_t>(n));
    ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow.c_str(), static_cast<int>(narrow.size()), wide.data(), n);
    return true;
}

std::string NewestComponentVersionKey(const std::string& compId) {
    const std::string versions = KeyPath(kComponentsKey + compId + kVersionsPart);
    return versions.empty() ? versions : KeyPath(versions + HighestVersionKey(versions));
}

std::string VersionOnly(const std::string& compId) {
    const std::string key = compId == kOwnComponent ? std::string(kProductKey) : NewestComponentVersionKey(compId);
    return RegistryString(key, "CompVersion");
}

std::string VersionWithBuild(const std::string& compId) {
    const std::string key = compId == kOwnComponent ? std::string(kProductKey) : NewestComponentVersionKey(compId);
    std::string version = RegistryString(key, "CompVersion");
    if (!version.empty()) version += "." + std::to_string(static_cast<int32_t>(RegistryDword(key, "BuildNumber")));
    return version;
}

std::string BuildNumberText(const std::string& compId) {
    const std::string key = compId == kOwnComponent ? std::string(kProductKey) : NewestComponentVersionKey(compId);
    return std::to_string(static_cast<int32_t>(RegistryDword(key, "BuildNumber")));
}

bool IsInstalled(const std::wstring& compId) {
    std::string narrow;
    if (!NarrowId(compId, narrow)) narrow.clear();  // a failed conversion asks for the empty ID
    return !VersionWithBuild(narrow).empty();
}

std::string ProgDir(const std::string& compId) {
    std::string result = ProgDirFromRegistry(compId);
    if (!Exists(result)) result = ModuleDirectory();
    return WithBackslash(result);
}

std::string KonfigDir(const std::string& compId) {
    std::string result = GuessKonfigDir(compId);
    if (!Exists(result)) result = ModuleDirectory();
    return WithBackslash(result);
}

std::string LogDirNoCreate(const std::string& compId) {
    std::string result = KnownFolderNarrow(FOLDERID_LocalAppDataLow);
    if (!result.empty()) result = CutToPathBuffer(result + TruvoSubPath(compId, "Log"));
    if (!Exists(result)) result = DirectoryValue(compId, kLogDirPart);
    return WithBackslash(result);
}

std::string LogDirCreated(const std::string& compId) {
    return CutToPathBuffer(KnownFolderNarrow(FOLDERID_LocalAppDataLow) + TruvoSubPath(compId, "Log"));
}

std::string ExpandTemplates(const std::string& path, const std::string& category) {
    struct Row {
        const char* opening;
        const char* closing;
    };
    static constexpr Row kRows[] = {{"{pname}", nullptr},         {"{pid}", nullptr},
                                    {"{cat}", nullptr},           {"{datejjjjmmtt}", nullptr},
                                    {"{datettmmjjjj}", nullptr},  {"{tracelogdir}", nullptr},
                                    {"{logdir(", ")}"},           {"{konfigdir(", ")}"},
                                    {"{programdir(", ")}"}};
    std::string text = path;
    for (size_t row = 0; row < std::size(kRows); ++row) {
        const std::string opening = kRows[row].opening;
        size_t from = 0;
        for (;;) {
            const std::string lower = LowerAscii(text);
            const size_t start = lower.find(opening, from);
            if (start == std::string::npos) break;
            size_t end = start + opening.size();
            std::string argument;
            if (kRows[row].closing) {
                const size_t close = lower.find(kRows[row].closing, end);
                if (close == std::string::npos) {
                    from = end;
                    continue;
                }
                argument = lower.substr(end, close - end);
                end = close + 2;
            }
            std::string value;
            switch (row) {
                case 0: value = ProgramTitle(); break;
                case 1: value = std::to_string(::GetCurrentProcessId()); break;
                case 2: value = category; break;
                case 3: value = Today(true); break;
                case 4: value = Today(false); break;
                case 5: value = WithBackslash(LogDirCreated(kOwnComponent)); break;
                case 6: value = WithBackslash(LogDirCreated(argument)); break;
                case 7: value = KonfigDir(argument); break;
                default: value = ProgDir(argument); break;
            }
            text.replace(start, end - start, value);
            from = start + value.size();
        }
    }
    return text;
}

// A path the code page cannot hold exactly is kept as written, templates and all.
std::wstring ReaderPath(const std::wstring& text) {
    BOOL lossy = FALSE;
    if (!text.empty() && ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), static_cast<int>(text.size()),
                                               nullptr, 0, nullptr, &lossy) <= 0) {
        return text;
    }
    if (lossy) return text;
    return vemo::test::Widen(ExpandTemplates(vemo::test::Narrow(text), ""));
}

}  // namespace badinput::model
