// Directory and file title of a module, with its file name cached for the two modules that
// ConfigDB asks about over and over: its own and the process executable.
#include <cstdlib>
#include <mutex>
#include <string>

#include "configdb/ConfigDBInternal.h"

namespace configdb {
namespace {

constexpr size_t kDriveChars = 3;
constexpr size_t kPartChars = 256;
constexpr char kLongPathPrefix[] = "\\\\?\\";
constexpr char kThisDllDir[] = "CDB_GetThisDllDir: Ermittelter Pfad <%s>.";

std::mutex g_cacheLock;
std::string g_configDbModuleFile;
std::string g_executableFile;

std::string ModuleFileName(HMODULE hModule) {
    std::string* cache = nullptr;
    if (!hModule) {
        cache = &g_executableFile;
    } else if (hModule == ConfigDbModule()) {
        cache = &g_configDbModuleFile;
    }
    if (cache) {
        std::lock_guard lock(g_cacheLock);
        if (!cache->empty()) return *cache;
    }
    char name[kPathBufferChars] = {};
    ::GetModuleFileNameA(hModule, name, static_cast<DWORD>(kPathBufferChars));
    if (cache && name[0]) {
        std::lock_guard lock(g_cacheLock);
        *cache = name;
    }
    return name;
}

struct PathParts {
    char drive[kDriveChars] = {};
    char directory[kPartChars] = {};
    char name[kPartChars] = {};
    char extension[kPartChars] = {};
};

bool SplitPath(const std::string& path, PathParts& parts) {
    return _splitpath_s(path.c_str(), parts.drive, kDriveChars, parts.directory, kPartChars, parts.name, kPartChars,
                        parts.extension, kPartChars) == 0;
}

}  // namespace

std::string ModuleDirFromFileName(const std::string& moduleFileName) {
    PathParts parts;
    if (!SplitPath(moduleFileName, parts)) return {};
    std::string directory = std::string(parts.drive) + parts.directory;
    if (directory.starts_with(kLongPathPrefix)) directory.erase(0, std::size(kLongPathPrefix) - 1);
    return directory;
}

std::string ModuleTitleFromFileName(const std::string& moduleFileName, bool bWithExtension) {
    PathParts parts;
    if (!SplitPath(moduleFileName, parts)) return {};
    std::string title = parts.name;
    if (bWithExtension) title += parts.extension;
    return title;
}

std::string _GetModuleDir(HMODULE hModule) {
    Init();
    return ModuleDirFromFileName(ModuleFileName(hModule));
}

std::string _GetModuleFileTitle(HMODULE hModule, bool bWithExtension) {
    Init();
    return ModuleTitleFromFileName(ModuleFileName(hModule), bWithExtension);
}

}  // namespace configdb

std::string CDB_GetThisDllDir() {
    using namespace configdb;
    return Guarded("CDB_GetThisDllDir", std::string(), [] {
        Init();  // before asking for the module handle that Init finds
        const std::string directory = _GetModuleDir(ConfigDbModule());
        _TracerWrite(false, kThisDllDir, directory.c_str());
        return directory;
    });
}
