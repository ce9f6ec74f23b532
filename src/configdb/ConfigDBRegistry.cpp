// What the installation recorded for each component: directories and versions below the
// newest version subkey. Anything that cannot be read counts as empty; callers fall back.
#include <cstdlib>
#include <string>

#include "common/RegistryValue.h"
#include "common/UniqueHandle.h"
#include "configdb/ConfigDBInternal.h"

namespace configdb {
namespace {

constexpr char kComponentsKey[] = "SOFTWARE\\TRUVOeg\\Components";
constexpr char kComponentVersionsKeyFormat[] = "%s\\%s\\Versions";  // components key, ID
constexpr char kPackageVersionsKeyFormat[] = "SOFTWARE\\TRUVOeg\\Packages\\%s\\Versions";
constexpr char kDataDirKeyFormat[] = "%s\\%s\\AvailableDataDirectories\\%s\\Dir1";  // components key, ID, name
constexpr char kProtectedDirectoriesKey[] = "Software\\Truvoeg\\ProtectedDirectories";

constexpr char kDefaultVersionKey[] = "\\1.0";
constexpr double kDefaultVersion = 1.0;
constexpr char kConfigDirSubKey[] = "\\ConfigDir";
constexpr char kLogDirSubKey[] = "\\LogDir";
constexpr char kProtectedDirectoriesSubKey[] = "\\ProtectedDirectories";
constexpr char kDefaultValue[] = "";
constexpr char kFixedProgDirValue[] = "FixedProgDir";
constexpr char kProgDirValue[] = "ProgDir";
constexpr char kProgKeyValue[] = "ProgKey";
constexpr char kSystemDirValue[] = "SystemDir";
constexpr char kCompVersionValue[] = "CompVersion";
constexpr char kBuildNumberValue[] = "BuildNumber";
constexpr char kFileVersionValue[] = "FileVersion";

constexpr DWORD kSubKeyNameBytes = kPathBufferChars + 1;
constexpr char kBuildNumberSuffixFormat[] = ".%d";
constexpr char kBuildNumberFormat[] = "%d";
constexpr size_t kNumberBufferChars = 20;

// Key paths live in path buffers: a longer one cannot be opened.
std::string KeyPath(std::string path) { return path.size() < kPathBufferChars ? path : std::string(); }

std::string ComponentVersionsKey(const std::string& compId) {
    return KeyPath(FormatNarrow(kComponentVersionsKeyFormat, kComponentsKey, compId.c_str()));
}

std::string NewestComponentVersionKey(const std::string& compId) {
    const std::string versions = ComponentVersionsKey(compId);
    return versions.empty() ? std::string() : KeyPath(versions + _GetHighestVersionKey(versions));
}

std::string NewestPackageVersionKey(const std::string& compId) {
    const std::string versions = KeyPath(FormatNarrow(kPackageVersionsKeyFormat, compId.c_str()));
    return versions.empty() ? std::string() : KeyPath(versions + _GetHighestVersionKey(versions));
}

std::string DirectoryBelowNewestVersion(const std::string& compId, const char* subKey) {
    if (!_UsesComponentRegistry(compId)) return {};
    const std::string newest = NewestComponentVersionKey(compId);
    if (newest.empty()) return {};
    std::string directory = _ReadRegistryString(KeyPath(newest + subKey), kDefaultValue);
    AddTrailingBackslash(directory);
    return directory;
}

std::string FormatNumber(const char* format, uint32_t number) {
    char buffer[kNumberBufferChars] = {};
    _snprintf(buffer, sizeof(buffer) - 1, format, static_cast<int>(number));
    return buffer;
}

}  // namespace

std::string _ReadRegistryString(const std::string& keyPath, const std::string& valueName) {
    if (keyPath.empty()) return {};
    vemo::unique_hkey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, kRegistryReadAccess, key.put()) != ERROR_SUCCESS) {
        return {};
    }
    // The type is not checked: the text up to the first zero byte is the value.
    char buffer[kRegistryStringBytes + 1] = {};
    DWORD size = kRegistryStringBytes;
    if (::RegQueryValueExA(key.get(), valueName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS) {
        return {};
    }
    return buffer;
}

uint32_t _ReadRegistryDword(const std::string& keyPath, const std::string& valueName) {
    if (keyPath.empty()) return 0;
    vemo::unique_hkey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, kRegistryReadAccess, key.put()) != ERROR_SUCCESS) {
        return 0;
    }
    return vemo::ReadRegistryDword(key.get(), valueName.c_str()).value_or(0);
}

// Versions compare as decimal numbers, so 1.10 counts as 1.1 and loses to 1.9.
std::string _GetHighestVersionKey(const std::string& versionsKeyPath) {
    std::string result = kDefaultVersionKey;
    double best = kDefaultVersion;
    vemo::unique_hkey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, versionsKeyPath.c_str(), 0, kRegistryReadAccess, key.put()) !=
        ERROR_SUCCESS) {
        return result;
    }
    DWORD subKeys = 0;
    if (::RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return result;
    }
    for (DWORD index = 0; index < subKeys; ++index) {
        char name[kSubKeyNameBytes] = {};
        if (::RegEnumKeyA(key.get(), index, name, kSubKeyNameBytes) != ERROR_SUCCESS) continue;
        const double version = std::atof(name);
        if (version > 0 && version > best) {
            result = std::string("\\") + name;
            best = version;
        }
    }
    return result;
}

bool _UsesComponentRegistry(const std::string& compId) { return compId != CDB_COMPONENT_VEMO_COMPACT; }

std::string _GetKonfigDirFromRegistry(const std::string& compId) {
    return DirectoryBelowNewestVersion(compId, kConfigDirSubKey);
}

std::string _GetLogDirFromRegistry(const std::string& compId) {
    return DirectoryBelowNewestVersion(compId, kLogDirSubKey);
}

std::string _GetProgDirFromRegistry(const std::string& compId) {
    if (!_UsesComponentRegistry(compId)) {
        std::string directory = _ReadRegistryString(kProductKey, kProgKeyValue);
        if (PathExists(directory)) AddTrailingBackslash(directory);
        return directory;
    }
    const std::string newest = NewestComponentVersionKey(compId);
    if (newest.empty()) return {};
    const std::string key = KeyPath(newest + kProtectedDirectoriesSubKey);
    std::string directory = _ReadRegistryString(key, kFixedProgDirValue);
    // A base that does not exist is returned raw: the caller's existence test then fails.
    if (PathExists(directory)) {
        AddTrailingBackslash(directory);
        AppendToPathBuffer(directory, _ReadRegistryString(key, kProgDirValue));
        if (PathExists(directory)) AddTrailingBackslash(directory);
    }
    return directory;
}

std::string _GetDataDirFromRegistry(const std::string& compId, const std::string& dataDirName) {
    if (!_UsesComponentRegistry(compId)) return {};
    const std::string key =
        KeyPath(FormatNarrow(kDataDirKeyFormat, kComponentsKey, compId.c_str(), dataDirName.c_str()));
    std::string directory = _ReadRegistryString(key, kDefaultValue);
    AddTrailingBackslash(directory);
    return directory;
}

std::string _GetSystemDirFromRegistry() {
    std::string directory = _ReadRegistryString(kProtectedDirectoriesKey, kSystemDirValue);
    AddTrailingBackslash(directory);
    return directory;
}

std::string _GetVersionFromRegistry(const std::string& compId, int iVersionKind) {
    bool fromPackage = false;
    switch (iVersionKind) {
        case CDB_VERSION_WITH_BUILD:
        case CDB_VERSION_ONLY:
        case CDB_VERSION_BUILD:
        case CDB_VERSION_FILE:
            break;
        case CDB_VERSION_PACKAGE_WITH_BUILD:
        case CDB_VERSION_PACKAGE_ONLY:
        case CDB_VERSION_PACKAGE_BUILD:
            fromPackage = true;
            break;
        default:
            return {};
    }
    if (!_UsesComponentRegistry(compId) && fromPackage) return {};  // the product has no package key
    // A key path too long for its buffer is empty: it reads as missing values, so the build
    // number kinds still give "0".
    const std::string key = !_UsesComponentRegistry(compId) ? std::string(kProductKey)  // without a versions subkey
                            : fromPackage                    ? NewestPackageVersionKey(compId)
                                                             : NewestComponentVersionKey(compId);

    switch (iVersionKind) {
        case CDB_VERSION_WITH_BUILD:
        case CDB_VERSION_PACKAGE_WITH_BUILD: {
            std::string version = _ReadRegistryString(key, kCompVersionValue);
            if (!version.empty()) version += FormatNumber(kBuildNumberSuffixFormat, _ReadRegistryDword(key, kBuildNumberValue));
            return version;
        }
        case CDB_VERSION_ONLY:
        case CDB_VERSION_PACKAGE_ONLY:
            return _ReadRegistryString(key, kCompVersionValue);
        case CDB_VERSION_BUILD:
        case CDB_VERSION_PACKAGE_BUILD:
            return FormatNumber(kBuildNumberFormat, _ReadRegistryDword(key, kBuildNumberValue));
        default:
            return _ReadRegistryString(key, kFileVersionValue);
    }
}

}  // namespace configdb
