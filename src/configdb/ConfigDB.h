#pragma once
// ConfigDB: in which directory a component keeps its programs, configuration, logs and data,
// and which version of it is installed. The answer comes from the registry (32-bit view)
// where the installation wrote it, otherwise from a fixed chain of guesses.
//
// Narrow texts are in the process's ANSI code page. A directory result that is not empty
// always ends in a backslash; an empty result means nothing was found. No operation throws.
#include <windows.h>

#include <cstdint>
#include <string>

// Receives every ConfigDB line: bIsError true for ERROR, false for INFO. Called on the
// querying thread, so it must be safe to call from any thread.
using CDB_TraceCallback = void (*)(bool bIsError, const wchar_t* pszText);

// The product's own component; its program directory and version live in the product key.
inline constexpr char CDB_COMPONENT_VEMO_COMPACT[] = "B0003810";

// Results of the wide buffer forms.
inline constexpr uint32_t CDB_OK = 0;
inline constexpr uint32_t CDB_ERROR_NULL_PARAMETER = 1001;
inline constexpr uint32_t CDB_ERROR_BUFFER_TOO_SMALL = 1002;
inline constexpr uint32_t CDB_ERROR_NO_DIRECTORY = 1003;
// Result of CDB_SetRegistryKeyString when the key cannot be opened or the value not written.
inline constexpr uint32_t CDB_ERROR_REGISTRY_WRITE = 1011;

// iSystemDirSource of CDB_GetSystemDir: the package's "SystemDir"; any other value takes the
// program directory of "B0003810".
inline constexpr int CDB_SYSTEM_DIR_FROM_REGISTRY = 1;

// iVersionKind of CDB_GetVersion. "Package" kinds read the package key of the ID; for
// "B0003810" they are always empty, its component kinds read the product key.
inline constexpr int CDB_VERSION_WITH_BUILD = 0;          // "CompVersion" + "." + "BuildNumber"
inline constexpr int CDB_VERSION_PACKAGE_WITH_BUILD = 1;
inline constexpr int CDB_VERSION_ONLY = 2;                // "CompVersion"
inline constexpr int CDB_VERSION_PACKAGE_ONLY = 3;
inline constexpr int CDB_VERSION_BUILD = 4;               // "BuildNumber", "0" when missing
inline constexpr int CDB_VERSION_PACKAGE_BUILD = 5;
inline constexpr int CDB_VERSION_FILE = 6;                // "FileVersion"

// The special folder CDB_GetSpecialFolderPath asks the shell for.
using ConfigDBDirType = uint32_t;
inline constexpr ConfigDBDirType CDB_DIR_LOCAL_APPDATA_LOW = 0;  // Local on XP / Server 2003
inline constexpr ConfigDBDirType CDB_DIR_LOCAL_APPDATA = 1;
inline constexpr ConfigDBDirType CDB_DIR_ROAMING_APPDATA = 2;
inline constexpr ConfigDBDirType CDB_DIR_PROGRAMDATA = 3;
inline constexpr ConfigDBDirType CDB_DIR_PROGRAM_FILES_X86 = 4;
inline constexpr ConfigDBDirType CDB_DIR_PROGRAM_FILES = 5;  // the same folder as 4
inline constexpr ConfigDBDirType CDB_DIR_LAST = CDB_DIR_PROGRAM_FILES;

// Windows release index of CDB_GetOsVersion.
inline constexpr int CDB_OS_UNKNOWN = 0;
inline constexpr int CDB_OS_XP = 1;
inline constexpr int CDB_OS_XP_SP1 = 2;
inline constexpr int CDB_OS_XP_SP2 = 3;
inline constexpr int CDB_OS_XP_SP3 = 4;
inline constexpr int CDB_OS_SERVER_2003 = 5;
inline constexpr int CDB_OS_SERVER_2003_R2 = 6;
inline constexpr int CDB_OS_VISTA = 7;
inline constexpr int CDB_OS_VISTA_SP1 = 8;
inline constexpr int CDB_OS_VISTA_SP2 = 9;
inline constexpr int CDB_OS_SERVER_2008 = 10;
inline constexpr int CDB_OS_WIN7 = 11;
inline constexpr int CDB_OS_WIN7_SP1 = 12;
inline constexpr int CDB_OS_SERVER_2008_R2 = 13;
inline constexpr int CDB_OS_WIN8 = 14;
inline constexpr int CDB_OS_SERVER_2012 = 15;
inline constexpr int CDB_OS_WIN8_1 = 16;
inline constexpr int CDB_OS_SERVER_2012_R2 = 17;
inline constexpr int CDB_OS_WIN10 = 18;
inline constexpr int CDB_OS_SERVER_2016 = 19;
inline constexpr int CDB_OS_AFTER_WIN10 = 100;
inline constexpr int CDB_OS_AFTER_SERVER_2016 = 101;

// --- narrow queries -----------------------------------------------------------------------

// bDefaultProgDir: for "B0003810" without a registered directory, take the default
// installation folder below program files (even if it does not exist).
std::string CDB_GetProgDir(const std::string& compId, bool bDefaultProgDir);
std::string CDB_GetKonfigDir(const std::string& compId);
// bCreate: the guesses may create the directory they settle on.
std::string CDB_GetKonfigDirCurrentUser(const std::string& compId, bool bCreate);
std::string CDB_GetLogDir(const std::string& compId, bool bCreate);
std::string CDB_GetDataDir(const std::string& compId, bool bCreate, const std::string& dataDirName);
std::string CDB_GetSystemDir(int iSystemDirSource);
// iVersionKind: CDB_VERSION_*; empty when there is none.
std::string CDB_GetVersion(const std::string& compId, int iVersionKind);
// True when the component's version (kind 0) is not empty.
bool CDB_IsComponentInstalled(const char* pszCompID);

// --- wide forms ---------------------------------------------------------------------------

// Convert on entry and exit; no null test, no existence test, no code.
std::wstring CDB_GetLogDir(const std::wstring& compId, bool bCreate);
std::wstring CDB_GetProgDir(const std::wstring& compId, bool bDefaultProgDir);
std::wstring CDB_GetVersion(const std::wstring& compId, int iVersionKind);
bool CDB_IsComponentInstalled(const wchar_t* pszCompID);

// Buffer forms: CDB_OK with the directory in pszDir, or CDB_ERROR_* with pszDir empty.
// nDirSize is the buffer size in characters and must exceed the directory's length.
uint32_t CDB_GetKonfigDir(const wchar_t* pszCompID, wchar_t* pszDir, uint32_t nDirSize);
uint32_t CDB_GetLogDir(const wchar_t* pszCompID, wchar_t* pszDir, uint32_t nDirSize, bool bCreate);
// With bDefaultProgDir true the directory is not required to exist.
uint32_t CDB_GetProgDir(const wchar_t* pszCompID, wchar_t* pszDir, uint32_t nDirSize, bool bDefaultProgDir);

// --- registry writing ---------------------------------------------------------------------

// Writes a REG_SZ value, creating the key when needed; b32BitView selects KEY_WOW64_32KEY.
// CDB_OK or CDB_ERROR_REGISTRY_WRITE.
uint32_t CDB_SetRegistryKeyString(HKEY hRootKey, bool b32BitView, const std::wstring& keyPath,
                                  const std::wstring& valueName, const std::wstring& value);

// --- trace ----------------------------------------------------------------------------------

// Installs the callback (nullptr for none) and returns the previous one.
CDB_TraceCallback CDB_SetTraceCallback(CDB_TraceCallback pfnCallback);

// --- machine and module facts ---------------------------------------------------------------

// The shell folder of the type with a trailing backslash, or empty (also for a type above 5).
std::string CDB_GetSpecialFolderPath(ConfigDBDirType dirType);
// The temporary directory if it exists, else empty.
std::string CBD_GetTempDir();
// Release index (CDB_OS_*).
int CDB_GetOsVersion();
// Directory of the module that contains ConfigDB, with a trailing backslash.
std::string CDB_GetThisDllDir();
// File version of a file as "%d.%d.%d.%d", or "0.0.0.0" when it has none.
std::wstring _GetFileVersionString(const wchar_t* pszFilePath);

// The four numbers of the version resource, most significant first: the two words of the
// product version's high double word, then the two of the file version's low double word.
// Null out-pointers are skipped. Every failure is a ConfigDB ERROR line and false.
bool _GetFileVersionFromFile(const wchar_t* pszFilePath, uint32_t* pMajor, uint32_t* pMinor, uint32_t* pBuild,
                             uint32_t* pRevision);
// Creates the directory with all missing parents; true when it exists afterwards.
bool CDB_CreateDirectory(const std::string& path);
