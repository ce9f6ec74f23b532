// The wide forms: convert on entry and exit; the buffer forms add null, existence and size
// checks with their codes.
#include <cwchar>
#include <string>

#include "common/WideFormat.h"
#include "configdb/ConfigDBInternal.h"

namespace configdb {
namespace {

constexpr wchar_t kNullText[] = L"NULL";
constexpr wchar_t kAddressFormat[] = L"0x%p";

struct BufferFormMessages {
    const char* nullParameter;  // pszDir, pszCompID
    const char* missing;        // path
    const char* undetermined;
    const char* tooSmall;  // buffer size, result length
};

constexpr BufferFormMessages kKonfigMessages = {
    "CDB_GetKonfigDir: Mindestens ein Parameter ist NULL: pszDir <%S>, pszCompID <%S>!",
    "CDB_GetKonfigDir: Das Konfig-Verzeichnis <%S> existiert nicht",
    "CDB_GetKonfigDir: Das Konfig-Verzeichnis konnte nicht ermittelt werden",
    "CDB_GetKonfigDir: Länge <%d> von pszDir ist zu klein, benötigte Länge <%d> ",
};
constexpr BufferFormMessages kLogMessages = {
    "CDB_GetLogDir: Mindestens ein Parameter ist NULL: pszDir <%S>, pszCompID <%S>!",
    "CDB_GetLogDir: Das Log-Verzeichnis <%S> existiert nicht",
    "CDB_GetLogDir: Das Log-Verzeichnis konnte nicht ermittelt werden",
    "CDB_GetLogDir: Länge <%d> von pszDir ist zu klein, benötigte Länge <%d> ",
};
constexpr BufferFormMessages kProgMessages = {
    "CDB_GetProgDir: Mindestens ein Parameter ist NULL: pszDir <%S>, pszCompID <%S>!",
    "CDB_GetProgDir: Das Programm-Verzeichnis <%S> existiert nicht",
    "CDB_GetProgDir: Das Programm-Verzeichnis konnte nicht ermittelt werden",
    "CDB_GetProgDir: Länge <%d> von pszDir ist zu klein, benötigte Länge <%d>",
};

// The output buffer holds no text yet, so a non-null pszDir is shown by its address.
std::wstring DescribeBuffer(const wchar_t* pszDir) {
    return pszDir ? vemo::FormatW(kAddressFormat, static_cast<const void*>(pszDir)) : std::wstring(kNullText);
}

template <typename NarrowQuery>
uint32_t QueryIntoBuffer(const wchar_t* pszCompID, wchar_t* pszDir, uint32_t nDirSize,
                         const BufferFormMessages& messages, bool checkExists, NarrowQuery query) {
    if (!pszDir || !pszCompID) {
        _TracerWrite(true, messages.nullParameter, DescribeBuffer(pszDir).c_str(), pszCompID ? pszCompID : kNullText);
        return CDB_ERROR_NULL_PARAMETER;
    }
    if (nDirSize > 0) pszDir[0] = L'\0';  // a zero-sized buffer has no room even for that

    const std::wstring directory = _ConvertToUnicode(query(_ConvertToUnicode(std::wstring(pszCompID))));
    if (checkExists && !PathExists(directory)) {
        if (!directory.empty()) {
            _TracerWrite(true, messages.missing, directory.c_str());
        } else {
            _TracerWrite(true, "%s", messages.undetermined);
        }
        return CDB_ERROR_NO_DIRECTORY;
    }
    if (nDirSize <= directory.size()) {
        _TracerWrite(true, messages.tooSmall, static_cast<int>(nDirSize), static_cast<int>(directory.size()));
        return CDB_ERROR_BUFFER_TOO_SMALL;
    }
    wmemcpy(pszDir, directory.c_str(), directory.size() + 1);
    return CDB_OK;
}

}  // namespace
}  // namespace configdb

using namespace configdb;

std::wstring CDB_GetLogDir(const std::wstring& compId, bool bCreate) {
    return Guarded("CDB_GetLogDir", std::wstring(), [&] {
        Init();
        return _ConvertToUnicode(CDB_GetLogDir(_ConvertToUnicode(compId), bCreate));
    });
}

std::wstring CDB_GetProgDir(const std::wstring& compId, bool bDefaultProgDir) {
    return Guarded("CDB_GetProgDir", std::wstring(), [&] {
        Init();
        return _ConvertToUnicode(CDB_GetProgDir(_ConvertToUnicode(compId), bDefaultProgDir));
    });
}

std::wstring CDB_GetVersion(const std::wstring& compId, int iVersionKind) {
    return Guarded("CDB_GetVersion", std::wstring(), [&] {
        Init();
        return _ConvertToUnicode(CDB_GetVersion(_ConvertToUnicode(compId), iVersionKind));
    });
}

// A failure that escapes counts as an undetermined directory.
uint32_t CDB_GetKonfigDir(const wchar_t* pszCompID, wchar_t* pszDir, uint32_t nDirSize) {
    return Guarded("CDB_GetKonfigDir", CDB_ERROR_NO_DIRECTORY, [&] {
        Init();
        return QueryIntoBuffer(pszCompID, pszDir, nDirSize, kKonfigMessages, true,
                               [](const std::string& compId) { return CDB_GetKonfigDir(compId); });
    });
}

uint32_t CDB_GetLogDir(const wchar_t* pszCompID, wchar_t* pszDir, uint32_t nDirSize, bool bCreate) {
    return Guarded("CDB_GetLogDir", CDB_ERROR_NO_DIRECTORY, [&] {
        Init();
        return QueryIntoBuffer(pszCompID, pszDir, nDirSize, kLogMessages, true,
                               [bCreate](const std::string& compId) { return CDB_GetLogDir(compId, bCreate); });
    });
}

uint32_t CDB_GetProgDir(const wchar_t* pszCompID, wchar_t* pszDir, uint32_t nDirSize, bool bDefaultProgDir) {
    return Guarded("CDB_GetProgDir", CDB_ERROR_NO_DIRECTORY, [&] {
        Init();
        // The default installation folder is a valid answer even before it exists.
        return QueryIntoBuffer(pszCompID, pszDir, nDirSize, kProgMessages, !bDefaultProgDir,
                               [bDefaultProgDir](const std::string& compId) {
                                   return CDB_GetProgDir(compId, bDefaultProgDir);
                               });
    });
}
