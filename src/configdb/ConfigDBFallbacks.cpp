// The guesses when the registry names no existing directory: shell folders with the company
// sub-path, the program directory, and last a temporary directory a low-integrity process
// can write. With bCreate the log, data and per-user configuration guesses create what they
// settle on.
#include <algorithm>
#include <cctype>
#include <string>

#include "configdb/ConfigDBInternal.h"

namespace configdb {
namespace {

constexpr const char* kComponentTable[] = {"B0003815", CDB_COMPONENT_VEMO_COMPACT, "B0003811",
                                           "B0003812", "B0003813", "B0003814"};
constexpr char kSubPathFormat[] = "Truvo\\%s\\%s";
constexpr char kSharedLogName[] = "VeMo";
constexpr char kOwnKonfigName[] = "VeMoCompact";
constexpr char kLowMarker[] = "\\Low";
constexpr char kLowSuffix[] = "Low\\";

constexpr char kTempDir[] = "CBD_GetTempDir: Temporärer Pfad = \"%s\"";

constexpr char kKonfigFromRegistry[] = "_GuessLocalKonfigDir: Konfigpfad <%s> über Registry ermittelt.";
constexpr char kKonfigNoTruvo[] = "_GuessLocalKonfigDir: Keine Truvo-Umgebung, nehmen ProgrammData-Verzeichnis.";
constexpr char kKonfigMissing[] = "_GuessLocalKonfigDir: Verzeichnis <%s> ist nicht vorhanden!";
constexpr ConfigDBDirType kMachineKonfigBases[] = {CDB_DIR_PROGRAM_FILES_X86, CDB_DIR_PROGRAMDATA};
constexpr char kKonfigProgDir[] =
    "_GuessLocalKonfigDir: Immer noch kein Konfig-Verzeichnis, nehmen jetzt das Programmverzeichnis.";

constexpr char kLogUser[] = "_GuessLocalLogDir: Benutzerspezifischer Logpfad <%s>";
constexpr char kLogTryCreate[] = "_GuessLocalLogDir: Versuchen Logpfad \"%s\" anzulegen.";
constexpr char kLogFromRegistry[] = "_GuessLocalLogDir: Logpfad <%s> über Registry ermittelt.";
constexpr char kLogTemp[] = "_GuessLocalLogDir: Immer noch kein Log-Verzeichnis, versuchen es mit TempDir + TruvoPfad";

constexpr char kDataFromRegistry[] = "_GuessLocalDataDir: Datenpfad <%s> über Registry ermittelt.";
constexpr char kDataTryCreate[] = "_GuessLocalDataDir: Versuchen Datenpfad \"%s\" anzulegen.";
constexpr char kDataNoTruvo[] = "_GuessLocalDataDir: Keine Truvo-Umgebung, nehmen ProgrammData-Verzeichnis.";
constexpr char kDataTemp[] =
    "_GuessLocalDataDir: Immer noch kein Daten-Verzeichnis, versuchen es mit TempDirLow + TruvoPfad.";

constexpr char kUserKonfig[] = "_GuessLocalUserKonfigDir: Benutzerspezifischer Konfigpfad <%s>";
constexpr char kUserKonfigTryCreate[] = "_GuessLocalUserKonfigDir: Versuchen Konfigpfad \"%s\" anzulegen.";
constexpr char kUserKonfigTemp[] =
    "_GuessLocalUserKonfigDir: Immer noch kein Konfig-Verzeichnis, versuchen es mit TempDir + TruvoPfad";

bool InComponentTable(const std::string& compId) {
    return std::find(std::begin(kComponentTable), std::end(kComponentTable), compId) != std::end(kComponentTable);
}

char LowerCase(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

constexpr size_t kDriveColon = 1;
bool HasDriveLetter(const std::string& path) {
    return path.size() > kDriveColon && std::isalpha(static_cast<unsigned char>(path[0])) && path[kDriveColon] == ':';
}

// A registry path on a drive this machine lacks moves to the program's drive. Only drive
// letters are swapped: a UNC or relative path would turn into a path relative to the
// current directory.
void ApplyDriveFix(const std::string& compId, std::string& candidate) {
    if (!HasDriveLetter(candidate)) return;
    const std::string programDir = CDB_GetProgDir(compId, false);
    if (!HasDriveLetter(programDir) || LowerCase(programDir[0]) == LowerCase(candidate[0])) return;
    candidate[0] = LowerCase(programDir[0]);
    CDB_CreateDirectory(candidate);
}

void CreateIfMissing(std::string& path) {
    if (!PathExists(path)) CDB_CreateDirectory(path);
}

// Appends the data directory name below an existing base, creating it when allowed.
void AppendDataDirName(std::string& path, const std::string& dataDirName, bool bCreate) {
    if (dataDirName.empty() || !PathExists(path)) return;
    AddTrailingBackslash(path);
    AppendToPathBuffer(path, dataDirName);
    if (bCreate) CreateIfMissing(path);
}

// _GetTempDirLow followed by the sub-path, or empty when there is no temporary directory.
std::string TempLowWithSubPath(const std::string& compId, const char* kind) {
    std::string path = _GetTempDirLow();
    if (!path.empty()) AppendToPathBuffer(path, _BuildTruvoSubPath(compId, kind));
    return path;
}

}  // namespace

std::string _BuildTruvoSubPath(const std::string& compId, const std::string& kind) {
    std::string leaf = compId;
    if (kind == kSubPathLog && InComponentTable(compId)) {
        leaf = kSharedLogName;  // the product's components share one log directory
    } else if (kind == kSubPathKonfig && compId == CDB_COMPONENT_VEMO_COMPACT) {
        leaf = kOwnKonfigName;
    }
    std::string subPath = FormatNarrow(kSubPathFormat, kind.c_str(), leaf.c_str());
    AddTrailingBackslash(subPath);
    if (subPath.size() > kPathBufferChars - 1) subPath.resize(kPathBufferChars - 1);
    return subPath;
}

std::string LowIntegrityTempPath(const std::string& tempPath) {
    // An empty temporary directory stays empty rather than becoming a relative "Low\".
    if (tempPath.empty() || tempPath.find(kLowMarker) != std::string::npos) return tempPath;
    return tempPath + kLowSuffix;
}

std::string _GetTempDirLow() { return LowIntegrityTempPath(CBD_GetTempDir()); }

bool _IsTruvoEnvironment(const std::string& compId) {
    if (!PathExists(CDB_GetSystemDir(CDB_SYSTEM_DIR_FROM_REGISTRY))) return false;
    if (compId.empty()) return true;
    const std::string programDir = CDB_GetProgDir(compId, false);
    return !programDir.empty() && programDir.find(compId) != std::string::npos;
}

std::string _GuessLocalKonfigDir(const std::string& compId) {
    std::string result = _GetKonfigDirFromRegistry(compId);
    if (!result.empty()) _TracerWrite(false, kKonfigFromRegistry, result.c_str());
    if (PathExists(result)) return result;

    result.clear();
    if (!_IsTruvoEnvironment(compId)) {
        _TracerWrite(false, kKonfigNoTruvo);
        // Installations keep their files below program files (x86), newer ones below common
        // application data: program files first, then the data folder, each only where its
        // "Konfig" directory exists; see docs/configdb.md.
        for (const ConfigDBDirType type : kMachineKonfigBases) {
            std::string base = CDB_GetSpecialFolderPath(type);
            if (!PathExists(base)) continue;
            AppendToPathBuffer(base, _BuildTruvoSubPath(compId, kSubPathKonfig));
            result = base;
            if (PathExists(result)) break;
        }
        if (!result.empty() && !PathExists(result)) {
            _TracerWrite(true, kKonfigMissing, result.c_str());
            result.clear();
        }
    }
    if (!PathExists(result)) {
        _TracerWrite(false, kKonfigProgDir);
        result = CDB_GetProgDir(compId, false);
        if (!PathExists(result)) {
            _TracerWrite(true, kKonfigMissing, result.c_str());
            result.clear();
        }
    }
    return result;
}

std::string _GuessLocalLogDir(const std::string& compId, bool bCreate) {
    std::string result = CDB_GetSpecialFolderPath(CDB_DIR_LOCAL_APPDATA_LOW);
    if (!result.empty()) {
        AppendToPathBuffer(result, _BuildTruvoSubPath(compId, kSubPathLog));
        _TracerWrite(false, kLogUser, result.c_str());
        if (!PathExists(result) && bCreate) {
            _TracerWrite(false, kLogTryCreate, result.c_str());
            CDB_CreateDirectory(result);
        }
    }
    if (!PathExists(result)) {
        result = _GetLogDirFromRegistry(compId);
        _TracerWrite(false, kLogFromRegistry, result.c_str());
    }
    if (!PathExists(result) && bCreate) {
        if (!result.empty()) {
            _TracerWrite(false, kLogTryCreate, result.c_str());
            CDB_CreateDirectory(result);
            if (!PathExists(result)) ApplyDriveFix(compId, result);
        }
        if (!PathExists(result)) {
            _TracerWrite(false, kLogTemp);
            result = TempLowWithSubPath(compId, kSubPathLog);
            if (!result.empty()) CDB_CreateDirectory(result);
        }
    }
    return result;
}

std::string _GuessLocalDataDir(const std::string& compId, const std::string& dataDirName, bool bCreate) {
    std::string result = _GetDataDirFromRegistry(compId, dataDirName);
    if (!result.empty()) _TracerWrite(false, kDataFromRegistry, result.c_str());
    if (PathExists(result)) return result;
    if (!result.empty() && bCreate) {
        _TracerWrite(false, kDataTryCreate, result.c_str());
        CDB_CreateDirectory(result);
        if (!PathExists(result)) ApplyDriveFix(compId, result);
    }
    if (!PathExists(result) && !_IsTruvoEnvironment(compId)) {
        _TracerWrite(false, kDataNoTruvo);
        result = CDB_GetSpecialFolderPath(CDB_DIR_PROGRAMDATA);
        if (!result.empty()) {
            AppendToPathBuffer(result, _BuildTruvoSubPath(compId, kSubPathDaten));
            if (bCreate) CreateIfMissing(result);
            AppendDataDirName(result, dataDirName, bCreate);
        }
    }
    if (!PathExists(result) && bCreate) {
        _TracerWrite(false, kDataTemp);
        result = TempLowWithSubPath(compId, kSubPathDaten);
        if (!result.empty()) {
            CreateIfMissing(result);
            AppendDataDirName(result, dataDirName, bCreate);
        }
    }
    return result;
}

std::string _GuessLocalUserKonfigDir(const std::string& compId, bool bCreate) {
    std::string result = CDB_GetSpecialFolderPath(CDB_DIR_ROAMING_APPDATA);
    if (!result.empty()) {
        AppendToPathBuffer(result, _BuildTruvoSubPath(compId, kSubPathKonfig));
        _TracerWrite(false, kUserKonfig, result.c_str());
        if (!PathExists(result) && bCreate) {
            _TracerWrite(false, kUserKonfigTryCreate, result.c_str());
            CDB_CreateDirectory(result);
        }
    }
    if (!PathExists(result)) {
        _TracerWrite(false, kUserKonfigTemp);
        result = TempLowWithSubPath(compId, kSubPathKonfig);
        if (!result.empty() && bCreate) {
            _TracerWrite(false, kUserKonfigTryCreate, result.c_str());
            CDB_CreateDirectory(result);
        }
    }
    return result;
}

}  // namespace configdb

std::string CBD_GetTempDir() {
    using namespace configdb;
    return Guarded("CBD_GetTempDir", std::string(), [] {
        Init();
        char buffer[kPathBufferChars] = {};
        ::GetTempPathA(static_cast<DWORD>(kPathBufferChars), buffer);
        std::string directory = buffer;
        if (!PathExists(directory)) directory.clear();
        _TracerWrite(false, kTempDir, directory.c_str());
        return directory;
    });
}
