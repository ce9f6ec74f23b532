// The shell's special folders: CSIDLs on XP and Server 2003, known folders on later releases.
#include <shlobj.h>
#include <knownfolders.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/LateBoundShell.h"
#include "common/UniqueHandle.h"
#include "configdb/ConfigDBInternal.h"

namespace configdb {
namespace {

struct FolderSource {
    int csidl;
    const KNOWNFOLDERID* knownFolder;
};
// Indexed by ConfigDBDirType.
const FolderSource kFolderSources[] = {
    {CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, &FOLDERID_LocalAppDataLow},
    {CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, &FOLDERID_LocalAppData},
    {CSIDL_APPDATA | CSIDL_FLAG_CREATE, &FOLDERID_RoamingAppData},
    {CSIDL_COMMON_APPDATA, &FOLDERID_ProgramData},
    {CSIDL_PROGRAM_FILESX86, &FOLDERID_ProgramFilesX86},
    {CSIDL_PROGRAM_FILESX86, &FOLDERID_ProgramFilesX86},
};
static_assert(std::size(kFolderSources) == CDB_DIR_LAST + 1);

constexpr size_t kFolderBufferBytes = kPathBufferChars + 1;
constexpr size_t kFolderMaxChars = kPathBufferChars;
const DWORD kKnownFolderFlags = KF_FLAG_CREATE;
const DWORD kKnownFolderRetryFlags = KF_FLAG_CREATE | KF_FLAG_DEFAULT_PATH;

constexpr char kWrongType[] = "CDB_GetSpecialFolderPath: Falscher ConfigDBDirType <%d> wurde übergeben!";
constexpr char kFolderPathFailed[] = "CDB_GetSpecialFolderPath: Fehler <%d> von SHGetFolderPathA";
constexpr char kKnownFolderRetry[] =
    "CDB_GetSpecialFolderPath: Fehler <%d> von SHGetKnownFolderPath - versuche mit 'KF_Flag_Default_Path'";
constexpr char kKnownFolderFailed[] = "CDB_GetSpecialFolderPath: Fehler <%d> von SHGetKnownFolderPath";

bool UsesCsidlInterface(int osVersionIndex) {
    return osVersionIndex >= CDB_OS_XP && osVersionIndex <= CDB_OS_SERVER_2003_R2;
}

void FromCsidl(const FolderSource& source, char (&buffer)[kFolderBufferBytes]) {
    const HRESULT result = vemo::late::SHGetFolderPathA(nullptr, source.csidl, nullptr, SHGFP_TYPE_DEFAULT, buffer);
    if (FAILED(result)) {
        buffer[0] = '\0';
        _TracerWrite(true, kFolderPathFailed, static_cast<int>(result));
    }
}

void FromKnownFolder(const FolderSource& source, char (&buffer)[kFolderBufferBytes]) {
    PWSTR path = nullptr;
    HRESULT result = vemo::late::SHGetKnownFolderPath(*source.knownFolder, kKnownFolderFlags, nullptr, &path);
    vemo::unique_cotaskmem owner(path);
    if (FAILED(result)) {
        _TracerWrite(true, kKnownFolderRetry, static_cast<int>(result));
        path = nullptr;
        result = vemo::late::SHGetKnownFolderPath(*source.knownFolder, kKnownFolderRetryFlags, nullptr, &path);
        owner.reset(path);
        if (FAILED(result)) {
            _TracerWrite(true, kKnownFolderFailed, static_cast<int>(result));
            return;
        }
    }
    if (!path) return;
    // In the ANSI code page, as the narrow file functions that get the path read it.
    const std::string narrow = _ConvertToUnicode(std::wstring(path));
    if (narrow.size() <= kFolderMaxChars) std::memcpy(buffer, narrow.c_str(), narrow.size() + 1);
}

}  // namespace

std::string SpecialFolderPathFor(ConfigDBDirType dirType, int osVersionIndex) {
    if (dirType > CDB_DIR_LAST) {
        _TracerWrite(true, kWrongType, static_cast<int>(dirType));
        return {};
    }
    char buffer[kFolderBufferBytes] = {};
    if (UsesCsidlInterface(osVersionIndex)) {
        FromCsidl(kFolderSources[dirType], buffer);
    } else {
        FromKnownFolder(kFolderSources[dirType], buffer);
    }
    std::string folder = buffer;
    AddTrailingBackslash(folder);
    return folder;
}

}  // namespace configdb

std::string CDB_GetSpecialFolderPath(ConfigDBDirType dirType) {
    using namespace configdb;
    return Guarded("CDB_GetSpecialFolderPath", std::string(), [&] {
        Init();
        return SpecialFolderPathFor(dirType, CDB_GetOsVersion());
    });
}
