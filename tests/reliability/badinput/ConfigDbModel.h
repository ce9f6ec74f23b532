#pragma once
// What ConfigDB and the path templates are to answer, worked out by the test from the registry
// as it stands and the file system: values are read back raw through the wide registry API and
// taken through the narrow rules here, independently of ConfigDB's own code.
#include <windows.h>
#include <shlobj.h>

#include <cstdint>
#include <string>

namespace badinput::model {

inline constexpr size_t kPathChars = MAX_PATH;        // buffers of 260 characters, terminator included
inline constexpr size_t kRegistryStringBytes = MAX_PATH;
inline constexpr char kComponentsKey[] = "SOFTWARE\\TRUVOeg\\Components\\";
inline constexpr char kProductKey[] = "SOFTWARE\\TRUVO VeMo Compact";
inline constexpr char kProtectedDirectoriesKey[] = "Software\\Truvoeg\\ProtectedDirectories";
inline constexpr char kOwnComponent[] = "B0003810";

// A value as stored: its type and bytes. Nothing when the key or value is missing.
struct StoredValue {
    bool present = false;
    DWORD type = REG_NONE;
    std::string bytes;
};
StoredValue ReadStored(const std::string& keyPath, const std::string& valueName);

// The narrow string read: the ANSI form of string types (data of other types as it is), cut at
// the first zero byte; empty when it does not fit 260 bytes or cannot be read.
std::string RegistryString(const std::string& keyPath, const std::string& valueName);
// The 32-bit read: the first bytes zero-extended; 0 when more than 4 bytes or unreadable.
uint32_t RegistryDword(const std::string& keyPath, const std::string& valueName);
// Whether the ANSI form of a string value would take exactly as many bytes as the buffer holds
// without its own terminator: Wine adds one and refuses it, Windows does not. Generators avoid it.
bool AtUnterminatedStringLimit(DWORD type, const std::string& bytes, size_t limit);

// Exists: _access_s in mode 0.
bool Exists(const std::string& path);
std::string WithBackslash(std::string path);
std::string CutToPathBuffer(std::string path);

// The directory of the module that holds ConfigDB (this program), with a backslash.
std::string ModuleDirectory();
// A shell folder, narrow, with a backslash.
std::string KnownFolderNarrow(REFKNOWNFOLDERID folder);

// Wide and narrow in the process's code page; false when a character has no form there.
bool NarrowId(const std::wstring& wide, std::string& narrow);
bool WidenPath(const std::string& narrow, std::wstring& wide);

std::string NewestComponentVersionKey(const std::string& compId);  // empty when too long
std::string VersionWithBuild(const std::string& compId);          // kind 0
std::string VersionOnly(const std::string& compId);               // kind 2
std::string BuildNumberText(const std::string& compId);           // kind 4
bool IsInstalled(const std::wstring& compId);                     // the wide form

std::string ProgDir(const std::string& compId);  // bDefaultProgDir false
std::string KonfigDir(const std::string& compId);
// bCreate false: the per-user folder when it exists, else the registry's value as it is.
std::string LogDirNoCreate(const std::string& compId);
// bCreate true, for a component whose per-user log folder can be created.
std::string LogDirCreated(const std::string& compId);

// The path templates on narrow text: the table in order, marks regardless of case, arguments
// lower-cased; a row searches on behind what it inserted; a mark without ")}" stays.
std::string ExpandTemplates(const std::string& path, const std::string& category);
// The reader's "path": through the ANSI code page, expanded with the empty category, and back.
std::wstring ReaderPath(const std::wstring& text);

}  // namespace badinput::model
