// ConfigDB's start-up, once per process on the first query: the module that contains it,
// the diagnostic switches of the product key, the shared trace mutex and, if asked, a
// one-time dump of the product's directories.
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "common/UniqueHandle.h"
#include "configdb/ConfigDBInternal.h"
#include "configdb/ConfigDBSecurity.h"

namespace configdb {
namespace {

constexpr char kInternTraceSwitch[] = "LogVia_InternTrace";
constexpr char kInternTraceDirectory[] = "LogVia_InternTraceDirectory";
constexpr char kDumpSwitch[] = "ConfigDBTracingDirsActive";
constexpr char kDumpDirectory[] = "ConfigDBTracingDirsDirectory";
constexpr char kPathLogSwitch[] = "ConfigDBLibDirsActive";
constexpr char kPathLogDirectory[] = "ConfigDBLibDirsDirectory";
constexpr char kLogDirOverride[] = "ConfigDBLogDirB0003810";
constexpr char kSwitchOn[] = "ein";  // compared without regard to case

constexpr char kInternTraceFileName[] = "ConfigDB_Intern.log";
constexpr char kPathLogFileName[] = "ConfigDB_Lib_Dirs.log";
constexpr char kDumpFileSuffix[] = "_TracingDirs.log";
constexpr char kDumpDataDirName[] = "Data";

constexpr char kTraceMutexName[] = "CDB_MUTEX_INTERN_TRACE";
constexpr char kUserNameMutexName[] = "CDB_MUTEX_GETUSERNAME";
constexpr DWORD kMutexOpenAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;
constexpr DWORD kModuleFromAddress =
    GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;

constexpr char kOpenFailed[] = "Init: Fehler <%d> beim Öffnen des Registry-Pfades <%s>!";
constexpr char kReadFailed[] = "Init: Fehler <%d> beim Lesen des Eintrags \"%s\"!";
constexpr char kInternDirMissing[] = "Init: Verzeichnis <%s> existiert nicht, um internes Log auszugeben!";
constexpr char kDumpDirMissing[] = "Init: Verzeichnis <%s> existiert nicht, um alle Pfade für die %s auszugeben!";
constexpr char kPathLogDirMissing[] = "Init: Verzeichnis <%s> existiert nicht, um Pfade für Komponenten auszugeben!";
constexpr char kOverrideDirMissing[] =
    "Init: Verzeichnis <%s> existiert nicht, um als alternativer Log-Pfad für die Komponente %s zurückgegeben zu "
    "werden!";
constexpr char kCloseFailed[] = "Init: Fehler <%d> beim Aufruf von ::RegCloseKey!";
constexpr char kMutexCreated[] = "Init: Der Mutex <%s> konnte erfolgreich erzeugt werden";
constexpr char kMutexFailed[] = "Init: Fehler <%d> beim Erzeugen des Mutex <%s>!";
constexpr char kDumpAnnounce[] = "Init: Pfade für %s werden einmalig nach <%s> ausgegeben";
constexpr char kPathLogAnnounce[] = "Init: Pfade für alle Komponenten werden bei jeder Abfrage nach <%s> ausgegeben";
constexpr char kDumpProgram[] = "Programm <%s>";
constexpr char kDumpData[] = "Daten <%s>";
constexpr char kDumpKonfig[] = "Konfig <%s>";
constexpr char kDumpLog[] = "Log <%s>";
constexpr char kDumpUserKonfig[] = "Konfig Benutzer <%s>";

// Written once under g_initOnce; read-only afterwards.
struct InitState {
    HMODULE module = nullptr;
    std::string pathLogFile;
    std::string logDirOverride;
    std::string dumpFile;  // the one-time dump is wanted when not empty
    // Open for the life of the process.
    vemo::unique_handle traceMutex;
    vemo::unique_handle userNameMutex;
};
InitState g_state;
std::once_flag g_initOnce;
std::atomic<bool> g_dumpPending{false};

LSTATUS ReadValue(HKEY key, const char* name, std::string& value) {
    char buffer[kRegistryStringBytes + 1] = {};
    DWORD size = kRegistryStringBytes;
    const LSTATUS status = ::RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    if (status == ERROR_SUCCESS) value = buffer;
    return status;
}

// Reads a switch; a failed read is INFO (the switch simply is not set).
bool SwitchIsOn(HKEY key, const char* name) {
    std::string value;
    const LSTATUS status = ReadValue(key, name, value);
    if (status != ERROR_SUCCESS) {
        _TracerWrite(false, kReadFailed, static_cast<int>(status), name);
        return false;
    }
    return _stricmp(value.c_str(), kSwitchOn) == 0;
}

// The file in the directory of a switched-on feature, or empty with an ERROR line.
std::string FileInSwitchDirectory(HKEY key, const char* directoryValue, const char* fileName,
                                  const char* missingFormat) {
    std::string directory;
    const LSTATUS status = ReadValue(key, directoryValue, directory);
    if (status != ERROR_SUCCESS) {
        _TracerWrite(true, kReadFailed, static_cast<int>(status), directoryValue);
        return {};
    }
    if (!PathExists(directory)) {
        _TracerWrite(true, missingFormat, directory.c_str(), CDB_COMPONENT_VEMO_COMPACT);
        return {};
    }
    AddTrailingBackslash(directory);
    return directory + fileName;
}

void ReadLogDirOverride(HKEY key) {
    std::string directory;
    const LSTATUS status = ReadValue(key, kLogDirOverride, directory);
    if (status != ERROR_SUCCESS) {
        _TracerWrite(false, kReadFailed, static_cast<int>(status), kLogDirOverride);
        return;
    }
    if (!PathExists(directory)) {
        _TracerWrite(true, kOverrideDirMissing, directory.c_str(), CDB_COMPONENT_VEMO_COMPACT);
        return;
    }
    AddTrailingBackslash(directory);
    g_state.logDirOverride = directory;
}

void ReadSwitches() {
    vemo::unique_hkey key;
    const LSTATUS openStatus = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, kRegistryReadAccess, key.put());
    if (openStatus != ERROR_SUCCESS) {
        _TracerWrite(true, kOpenFailed, static_cast<int>(openStatus), kProductKey);
        return;
    }
    if (SwitchIsOn(key.get(), kInternTraceSwitch)) {
        // Lines from here on reach the file as well.
        SetInternalTraceFile(
            FileInSwitchDirectory(key.get(), kInternTraceDirectory, kInternTraceFileName, kInternDirMissing));
    }
    if (SwitchIsOn(key.get(), kDumpSwitch)) {
        const std::string file = FileInSwitchDirectory(key.get(), kDumpDirectory, "", kDumpDirMissing);
        if (!file.empty()) g_state.dumpFile = file + CDB_COMPONENT_VEMO_COMPACT + kDumpFileSuffix;
    }
    if (SwitchIsOn(key.get(), kPathLogSwitch)) {
        g_state.pathLogFile = FileInSwitchDirectory(key.get(), kPathLogDirectory, kPathLogFileName, kPathLogDirMissing);
    }
    ReadLogDirOverride(key.get());

    const LSTATUS closeStatus = vemo::close_reporting(key);
    if (closeStatus != ERROR_SUCCESS) _TracerWrite(true, kCloseFailed, static_cast<int>(closeStatus));
}

// Creates the mutex with the shared security attributes, or opens it when a process of
// another account made it first.
vemo::unique_handle CreateSharedMutex(const char* name) {
    vemo::unique_handle mutex(::CreateMutexA(MutexSecurityAttributes().ForCreate(), FALSE, name));
    if (mutex) {
        _TracerWrite(false, kMutexCreated, name);
        return mutex;
    }
    DWORD error = ::GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
        mutex.reset(::OpenMutexA(kMutexOpenAccess, FALSE, name));
        if (mutex) return mutex;
        error = ::GetLastError();
    }
    _TracerWrite(true, kMutexFailed, static_cast<int>(error), name);
    return mutex;
}

void InitOnce() {
    try {
        ::GetModuleHandleExA(kModuleFromAddress, reinterpret_cast<LPCSTR>(&Init), &g_state.module);
        ReadSwitches();
        const bool diagnosticFileOn =
            InternalTraceOn() || !g_state.dumpFile.empty() || !g_state.pathLogFile.empty();
        if (diagnosticFileOn) g_state.traceMutex = CreateSharedMutex(kTraceMutexName);
        g_state.userNameMutex = CreateSharedMutex(kUserNameMutexName);
        g_dumpPending = !g_state.dumpFile.empty();
    } catch (...) {
        // Every failure only switches its feature off; the queries work without them.
    }
}

void DumpOwnComponentPaths() {
    const std::string& file = g_state.dumpFile;
    _TracerWrite(false, kDumpAnnounce, CDB_COMPONENT_VEMO_COMPACT, file.c_str());
    const std::string own = CDB_COMPONENT_VEMO_COMPACT;
    const std::string program = CDB_GetProgDir(own, false);
    const std::string data = CDB_GetDataDir(own, true, kDumpDataDirName);
    const std::string konfig = CDB_GetKonfigDir(own);
    const std::string log = CDB_GetLogDir(own, true);
    const std::string userKonfig = CDB_GetKonfigDirCurrentUser(own, true);
    _InternTrace(file.c_str(), kDumpProgram, program.c_str());
    _InternTrace(file.c_str(), kDumpData, data.c_str());
    _InternTrace(file.c_str(), kDumpKonfig, konfig.c_str());
    _InternTrace(file.c_str(), kDumpLog, log.c_str());
    _InternTrace(file.c_str(), kDumpUserKonfig, userKonfig.c_str());
}

}  // namespace

// Unlike a plain flag, call_once also makes a concurrent first query wait for the start-up.
void Init() {
    std::call_once(g_initOnce, InitOnce);
    if (g_dumpPending.exchange(false)) DumpOwnComponentPaths();
    if (!g_state.pathLogFile.empty()) _TracerWrite(false, kPathLogAnnounce, g_state.pathLogFile.c_str());
}

HMODULE ConfigDbModule() { return g_state.module; }
HANDLE TraceMutex() { return g_state.traceMutex.get(); }
const std::string& PathLogFile() { return g_state.pathLogFile; }
const std::string& LogDirOverride() { return g_state.logDirOverride; }

}  // namespace configdb
