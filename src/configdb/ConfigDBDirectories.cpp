// The narrow queries: for each directory kind, the order in which the sources are tried.
#include <string>

#include "configdb/ConfigDBInternal.h"

namespace configdb {
namespace {

constexpr char kDefaultProgSubPath[] = "TRUVO\\PROGRAMM\\VeMoCompacT";
constexpr char kTrue[] = "TRUE";
constexpr char kFalse[] = "FALSE";

constexpr char kProgFromRegistry[] = "CDB_GetProgDir: Programmpfad <%s> über Registry ermittelt.";
constexpr char kProgNoRegistry[] = "CDB_GetProgDir: Via Registry kein Programmpfad ermittelbar.";
constexpr char kProgRegistryMissing[] = "CDB_GetProgDir: Programmpfad via Registry existiert nicht: \"%s\"";
constexpr char kProgDefault[] = "CDB_GetProgDir: Default Programmpfad eingestellt.";
constexpr char kProgResult[] = "CDB_GetProgDir: Programmpfad <%s> = \"%s\"";
constexpr char kProgNone[] = "CDB_GetProgDir: Konnten keinen Programmpfad für <%s> ermitteln!";
constexpr char kProgPathLog[] = "%s Programm <%s>";

constexpr char kKonfigGuessed[] = "CDB_GetKonfigDir: KonfigPfad über Alternative ermittelt: \"%s\"";
constexpr char kKonfigNoRegistry[] = "CDB_GetKonfigDir: Via Registry kein KonfigPfad ermittelbar.";
constexpr char kKonfigRegistryMissing[] = "CDB_GetKonfigDir: KonfigPfad via Registry existiert nicht: \"%s\"";
constexpr char kKonfigResult[] = "CDB_GetKonfigDir: KonfigPfad <%s> = \"%s\"";
constexpr char kKonfigNone[] = "CDB_GetKonfigDir: Konnten keinen KonfigPfad für <%s> ermitteln!";
constexpr char kKonfigPathLog[] = "%s Konfig <%s>";

constexpr char kUserKonfigGuessed[] =
    "CDB_GetKonfigDirCurrentUser: Lokales Konfigverzeichnis über Alternative ermittelt: \"%s\"";
constexpr char kUserKonfigResult[] = "CDB_GetKonfigDirCurrentUser: KonfigPfad des Benutzers <%s> = \"%s\"";
constexpr char kUserKonfigNone[] =
    "CDB_GetKonfigDirCurrentUser: konnten keinen KonfigPfad des Benutzers für <%s> ermitteln!";
constexpr char kUserKonfigPathLog[] = "%s Konfig des Benutzers <%s>";

constexpr char kLogGuessed[] = "CDB_GetLogDir: Lokales Logverzeichnis über Alternative ermittelt: \"%s\"";
constexpr char kLogResult[] = "CDB_GetLogDir: LogPfad <%s> = \"%s\"";
constexpr char kLogNone[] = "CDB_GetLogDir: Konnten keinen LogPfad für <%s> ermitteln!";
constexpr char kLogPathLog[] = "%s Log <%s>";

constexpr char kDataGuessed[] = "CDB_GetDataDir: Lokales Datenverzeichnis über Alternative ermittelt: \"%s\"";
constexpr char kDataResult[] = "CDB_GetDataDir: Datenpfad <%s> = \"%s\"";
constexpr char kDataNone[] = "CDB_GetDataDir: Konnten keinen Datenpfad für <%s> ermitteln!";
constexpr char kDataPathLog[] = "%s Daten <%s>";

constexpr char kSystemFromRegistry[] = "CDB_GetSystemDir: Truvo-Systempfad <%s> über Registry ermittelt.";
constexpr char kSystemResult[] = "CDB_GetSystemDir: Systempfad = \"%s\"";
constexpr char kSystemNone[] = "CDB_GetSystemDir: Konnten keinen Systempfad ermitteln!";

constexpr char kVersionFromRegistry[] = "CDB_GetVersion: Version <%s> über Registry ermittelt.";
constexpr char kVersionNone[] = "CDB_GetVersion: Via Registry keine Version ermittelbar.";
constexpr char kInstalled[] = "CDB_IsComponentInstalled: Komponente <%s> <%s>";
constexpr char kInstalledWide[] = "CDB_IsComponentInstalled: Komponente <%S> <%s>";

// The verdict line: INFO with the path when it exists, else ERROR with the component ID.
void TraceVerdict(const std::string& compId, const std::string& path, const char* found, const char* none) {
    if (PathExists(path)) {
        _TracerWrite(false, found, compId.c_str(), path.c_str());
    } else {
        _TracerWrite(true, none, compId.c_str());
    }
}

std::string Finish(std::string path, const char* pathLogFormat, const std::string& compId) {
    AddTrailingBackslash(path);
    WritePathLog(pathLogFormat, compId, path);
    return path;
}

}  // namespace
}  // namespace configdb

using namespace configdb;

std::string CDB_GetProgDir(const std::string& compId, bool bDefaultProgDir) {
    return Guarded("CDB_GetProgDir", std::string(), [&] {
        Init();
        std::string result = _GetProgDirFromRegistry(compId);
        _TracerWrite(false, kProgFromRegistry, result.c_str());
        if (!PathExists(result)) {
            if (result.empty()) {
                _TracerWrite(false, kProgNoRegistry);
            } else {
                _TracerWrite(false, kProgRegistryMissing, result.c_str());
            }
            if (bDefaultProgDir && compId == CDB_COMPONENT_VEMO_COMPACT) {
                // The default installation folder counts whether it exists or not.
                std::string programFiles = CDB_GetSpecialFolderPath(CDB_DIR_PROGRAM_FILES);
                if (!programFiles.empty()) {
                    AppendToPathBuffer(programFiles, kDefaultProgSubPath);
                    result = programFiles;
                    _TracerWrite(false, kProgDefault);
                }
            } else {
                result = _GetModuleDir(ConfigDbModule());
            }
        }
        TraceVerdict(compId, result, kProgResult, kProgNone);
        return Finish(result, kProgPathLog, compId);
    });
}

std::string CDB_GetKonfigDir(const std::string& compId) {
    return Guarded("CDB_GetKonfigDir", std::string(), [&] {
        Init();
        std::string result = _GuessLocalKonfigDir(compId);
        _TracerWrite(false, kKonfigGuessed, result.c_str());
        if (!PathExists(result)) {
            if (result.empty()) {
                _TracerWrite(false, kKonfigNoRegistry);
            } else {
                _TracerWrite(false, kKonfigRegistryMissing, result.c_str());
            }
            result = _GetModuleDir(ConfigDbModule());
        }
        TraceVerdict(compId, result, kKonfigResult, kKonfigNone);
        return Finish(result, kKonfigPathLog, compId);
    });
}

std::string CDB_GetKonfigDirCurrentUser(const std::string& compId, bool bCreate) {
    return Guarded("CDB_GetKonfigDirCurrentUser", std::string(), [&] {
        Init();
        const std::string result = _GuessLocalUserKonfigDir(compId, bCreate);
        _TracerWrite(false, kUserKonfigGuessed, result.c_str());
        TraceVerdict(compId, result, kUserKonfigResult, kUserKonfigNone);
        return Finish(result, kUserKonfigPathLog, compId);
    });
}

std::string CDB_GetLogDir(const std::string& compId, bool bCreate) {
    return Guarded("CDB_GetLogDir", std::string(), [&] {
        Init();
        std::string result;
        if (compId == CDB_COMPONENT_VEMO_COMPACT) result = LogDirOverride();
        if (!PathExists(result)) {
            result = _GuessLocalLogDir(compId, bCreate);
            _TracerWrite(false, kLogGuessed, result.c_str());
        }
        TraceVerdict(compId, result, kLogResult, kLogNone);
        return Finish(result, kLogPathLog, compId);
    });
}

std::string CDB_GetDataDir(const std::string& compId, bool bCreate, const std::string& dataDirName) {
    return Guarded("CDB_GetDataDir", std::string(), [&] {
        Init();
        const std::string result = _GuessLocalDataDir(compId, dataDirName, bCreate);
        _TracerWrite(false, kDataGuessed, result.c_str());
        TraceVerdict(compId, result, kDataResult, kDataNone);
        return Finish(result, kDataPathLog, compId);
    });
}

std::string CDB_GetSystemDir(int iSystemDirSource) {
    return Guarded("CDB_GetSystemDir", std::string(), [&] {
        Init();
        std::string result;
        if (iSystemDirSource == CDB_SYSTEM_DIR_FROM_REGISTRY) {
            result = _GetSystemDirFromRegistry();
            _TracerWrite(false, kSystemFromRegistry, result.c_str());
        } else {
            result = _GetProgDirFromRegistry(CDB_COMPONENT_VEMO_COMPACT);
        }
        if (!PathExists(result)) result = _GetModuleDir(ConfigDbModule());
        if (PathExists(result)) {
            _TracerWrite(false, kSystemResult, result.c_str());
        } else {
            _TracerWrite(true, kSystemNone);
        }
        AddTrailingBackslash(result);
        return result;
    });
}

std::string CDB_GetVersion(const std::string& compId, int iVersionKind) {
    return Guarded("CDB_GetVersion", std::string(), [&] {
        Init();
        std::string version = _GetVersionFromRegistry(compId, iVersionKind);
        _TracerWrite(false, kVersionFromRegistry, version.c_str());
        if (version.empty()) _TracerWrite(false, kVersionNone);
        return version;
    });
}

bool CDB_IsComponentInstalled(const char* pszCompID) {
    return Guarded("CDB_IsComponentInstalled", false, [&] {
        Init();
        const std::string compId = pszCompID ? pszCompID : "";
        const bool installed = !CDB_GetVersion(compId, CDB_VERSION_WITH_BUILD).empty();
        _TracerWrite(false, kInstalled, compId.c_str(), installed ? kTrue : kFalse);
        return installed;
    });
}

bool CDB_IsComponentInstalled(const wchar_t* pszCompID) {
    return Guarded("CDB_IsComponentInstalled", false, [&] {
        Init();
        const std::wstring compId = pszCompID ? pszCompID : L"";
        const bool installed = !CDB_GetVersion(_ConvertToUnicode(compId), CDB_VERSION_WITH_BUILD).empty();
        _TracerWrite(false, kInstalledWide, compId.c_str(), installed ? kTrue : kFalse);
        return installed;
    });
}
