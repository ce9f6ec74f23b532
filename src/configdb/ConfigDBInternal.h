#pragma once
// ConfigDB's internal operations, shared by its source files and reachable by its tests.
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "common/ProductIds.h"
#include "configdb/ConfigDB.h"
#include "configdb/ConfigDBModules.h"

#define CDB_PRINTF_FORMAT(fmt, args) __attribute__((format(ms_printf, fmt, args)))

namespace configdb {

// Paths and key paths are held in buffers of this many characters, terminator included;
// registry strings are read with this many bytes into a zeroed buffer one byte larger.
inline constexpr size_t kPathBufferChars = MAX_PATH;
inline constexpr DWORD kRegistryStringBytes = MAX_PATH;
inline constexpr char kProductKey[] = "SOFTWARE\\TRUVO VeMo Compact";
// Everything ConfigDB reads from HKEY_LOCAL_MACHINE goes through the 32-bit view.
inline constexpr REGSAM kRegistryReadAccess = KEY_READ | KEY_WOW64_32KEY;

// --- start-up (ConfigDBInit.cpp) ----------------------------------------------------------

// Runs the one-time start-up on the first call in the process; cheap afterwards.
void Init();
// The module that contains ConfigDB.
HMODULE ConfigDbModule();
// The trace mutex, or nullptr when no diagnostic file is switched on.
HANDLE TraceMutex();
// Empty when the per-query path log is off.
const std::string& PathLogFile();
// Empty unless "ConfigDBLogDirB0003810" named an existing directory at start-up.
const std::string& LogDirOverride();

// --- trace (ConfigDBTrace.cpp) --------------------------------------------------------------

inline constexpr const char* kExceptionInOperation = vemo::kMsgExceptionInA;

void _TracerWrite(bool isError, const char* pszFormat, ...) CDB_PRINTF_FORMAT(2, 3);
void _InternTrace(const char* pszFile, const char* pszFormat, ...) CDB_PRINTF_FORMAT(2, 3);
// Empty switches the internal trace file off.
void SetInternalTraceFile(const std::string& file);
bool InternalTraceOn();
// Appends one line to the per-query path log when it is on.
void WritePathLog(const char* pszFormat, const std::string& compId, const std::string& path);

// No public operation throws: anything escaping its body is traced and becomes its failure value.
template <typename Result, typename Body>
Result Guarded(const char* pszOperation, Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        _TracerWrite(true, kExceptionInOperation, pszOperation);
        return failure;
    }
}

// --- file system and text (ConfigDBFileSystem.cpp, ConfigDBConvert.cpp) -------------------

bool PathExists(const std::string& path);
bool PathExists(const std::wstring& path);
void AddTrailingBackslash(std::string& path);
// Appends and cuts to the path buffer, as the registry and folder steps do.
void AppendToPathBuffer(std::string& path, std::string_view tail);
bool _CreateDirectory(const std::wstring& path);
std::string FormatNarrow(const char* pszFormat, ...) CDB_PRINTF_FORMAT(1, 2);
std::string _ConvertToUnicode(const std::wstring& text);  // wide to narrow
std::wstring _ConvertToUnicode(const std::string& text);  // narrow to wide

// --- registry (ConfigDBRegistry.cpp) ------------------------------------------------------

std::string _ReadRegistryString(const std::string& keyPath, const std::string& valueName);
uint32_t _ReadRegistryDword(const std::string& keyPath, const std::string& valueName);
std::string _GetHighestVersionKey(const std::string& versionsKeyPath);
bool _UsesComponentRegistry(const std::string& compId);
std::string _GetKonfigDirFromRegistry(const std::string& compId);
std::string _GetLogDirFromRegistry(const std::string& compId);
std::string _GetProgDirFromRegistry(const std::string& compId);
std::string _GetDataDirFromRegistry(const std::string& compId, const std::string& dataDirName);
std::string _GetSystemDirFromRegistry();
std::string _GetVersionFromRegistry(const std::string& compId, int iVersionKind);

// --- fallbacks (ConfigDBFallbacks.cpp, ConfigDBSpecialFolders.cpp) ------------------------

inline constexpr char kSubPathKonfig[] = "Konfig";
inline constexpr char kSubPathLog[] = "Log";
inline constexpr char kSubPathDaten[] = "Daten";

std::string _BuildTruvoSubPath(const std::string& compId, const std::string& kind);
std::string _GetTempDirLow();
// The low-integrity form of a temporary path (the pure step of _GetTempDirLow).
std::string LowIntegrityTempPath(const std::string& tempPath);
bool _IsTruvoEnvironment(const std::string& compId);
std::string _GuessLocalKonfigDir(const std::string& compId);
std::string _GuessLocalLogDir(const std::string& compId, bool bCreate);
std::string _GuessLocalDataDir(const std::string& compId, const std::string& dataDirName, bool bCreate);
std::string _GuessLocalUserKonfigDir(const std::string& compId, bool bCreate);
// CDB_GetSpecialFolderPath for a given release index, so both shell interfaces can be tested.
std::string SpecialFolderPathFor(ConfigDBDirType dirType, int osVersionIndex);

// --- OS and modules (ConfigDBOsInfo.cpp, ConfigDBModules.cpp) -----------------------------

struct OsVersionFacts {
    DWORD platformId = 0;
    DWORD major = 0;
    DWORD minor = 0;
    WORD servicePackMajor = 0;
    BYTE productType = 0;
    bool serverR2 = false;  // GetSystemMetrics(SM_SERVERR2) != 0, asked for 5.2 only
};
int MapOsVersion(const OsVersionFacts& facts);
const char* OsVersionName(int index);


}  // namespace configdb
