// The version resource of a file, as the crash handling names its dumps with it.
#include <windows.h>
#include <io.h>

#include <string>
#include <vector>

#include "common/WideFormat.h"
#include "configdb/ConfigDB.h"
#include "configdb/ConfigDBInternal.h"

namespace {
constexpr wchar_t kUnknownVersion[] = L"0.0.0.0";
constexpr wchar_t kVersionFormat[] = L"%d.%d.%d.%d";
constexpr size_t kVersionChars = 20;  // four 16-bit numbers, three dots
constexpr wchar_t kVersionRootBlock[] = L"\\";
constexpr DWORD kFixedFileInfoSignature = VS_FFI_SIGNATURE;  // 0xFEEF04BD
constexpr int kAccessExists = 0;
constexpr char kOpGetFileVersionString[] = "_GetFileVersionString";
constexpr char kOpGetFileVersionFromFile[] = "_GetFileVersionFromFile";

// ConfigDB lines of the version query (narrow, ConfigDB's own trace).
constexpr char kCdbBuildNrUnknown[] = "CDB_GetOsBuildNr: Die BuildNr konnte nicht ermittelt werden!";
constexpr char kCdbVersionNumbers[] = "_GetFileVersionFromFile: <%d><%d><%d><%d>";
constexpr char kCdbFileMissing[] = "_GetFileVersionFromFile: Der Dateiname <%S> existiert nicht!";
constexpr char kCdbInfoSizeFailed[] =
    "_GetFileVersionFromFile: GetLastError <%d>, die FileVersionInfoSize konnte nicht ermittelt werden!";
constexpr char kCdbInfoFailed[] =
    "_GetFileVersionFromFile: GetLastError <%d>, die Dateiversion von <kernel32.dll> konnte nicht ermittelt werden!";
constexpr char kCdbFixedInfoFailed[] =
    "_GetFileVersionFromFile: GetLastError <%d>, FIXEDFILEINFO konnte nicht ermittelt werden!";
constexpr char kCdbBadSignature[] = "_GetFileVersionFromFile: Die Signatur <0x%08x> ist unbekannt!";
constexpr char kCdbVersionMsDiffers[] = "_GetFileVersionFromFile: FileVersionMS <0x%08x> != ProductVersionMS <0x%08x>!";
constexpr char kCdbVersionLsDiffers[] = "_GetFileVersionFromFile: FileVersionLS <0x%08x> != ProductVersionLS <0x%08x>!";
}  // namespace

std::wstring _GetFileVersionString(const wchar_t* pszFilePath) {
    return configdb::Guarded(kOpGetFileVersionString, std::wstring(kUnknownVersion), [&] {
        configdb::Init();
        uint32_t major = 0;
        uint32_t minor = 0;
        uint32_t build = 0;
        uint32_t revision = 0;
        if (!_GetFileVersionFromFile(pszFilePath, &major, &minor, &build, &revision)) {
            configdb::_TracerWrite(true, kCdbBuildNrUnknown);
            return std::wstring(kUnknownVersion);
        }
        configdb::_TracerWrite(false, kCdbVersionNumbers, static_cast<int>(major), static_cast<int>(minor),
                               static_cast<int>(build), static_cast<int>(revision));
        wchar_t version[kVersionChars] = {};
        vemo::FormatToBufferW(version, kVersionChars, kVersionFormat, static_cast<int>(major), static_cast<int>(minor),
                              static_cast<int>(build), static_cast<int>(revision));
        return std::wstring(version);
    });
}

bool _GetFileVersionFromFile(const wchar_t* pszFilePath, uint32_t* pMajor, uint32_t* pMinor, uint32_t* pBuild,
                             uint32_t* pRevision) {
    return configdb::Guarded(kOpGetFileVersionFromFile, false, [&] {
        // A null path would reach the runtime's invalid-parameter handler, which writes a dump.
        const wchar_t* path = pszFilePath ? pszFilePath : L"";
        if (path[0] == L'\0' || _waccess_s(path, kAccessExists) != 0) {
            configdb::_TracerWrite(true, kCdbFileMissing, path);
            return false;
        }
        DWORD ignored = 0;
        const DWORD infoSize = ::GetFileVersionInfoSizeW(path, &ignored);
        if (infoSize == 0) {
            configdb::_TracerWrite(true, kCdbInfoSizeFailed, static_cast<int>(::GetLastError()));
            return false;
        }
        std::vector<BYTE> info(infoSize);
        if (!::GetFileVersionInfoW(path, 0, infoSize, info.data())) {
            configdb::_TracerWrite(true, kCdbInfoFailed, static_cast<int>(::GetLastError()));
            return false;
        }
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT fixedSize = 0;
        if (!::VerQueryValueW(info.data(), kVersionRootBlock, reinterpret_cast<void**>(&fixed), &fixedSize) ||
            !fixed || fixedSize < sizeof(VS_FIXEDFILEINFO)) {
            configdb::_TracerWrite(true, kCdbFixedInfoFailed, static_cast<int>(::GetLastError()));
            return false;
        }
        if (fixed->dwSignature != kFixedFileInfoSignature) {
            configdb::_TracerWrite(true, kCdbBadSignature, static_cast<unsigned int>(fixed->dwSignature));
            return false;
        }
        if (fixed->dwFileVersionMS != fixed->dwProductVersionMS) {
            configdb::_TracerWrite(false, kCdbVersionMsDiffers, static_cast<unsigned int>(fixed->dwFileVersionMS),
                                   static_cast<unsigned int>(fixed->dwProductVersionMS));
        }
        if (fixed->dwFileVersionLS != fixed->dwProductVersionLS) {
            configdb::_TracerWrite(false, kCdbVersionLsDiffers, static_cast<unsigned int>(fixed->dwFileVersionLS),
                                   static_cast<unsigned int>(fixed->dwProductVersionLS));
        }
        // Major and minor from the product version, build and revision from the file version:
        // the numbers the program has always reported; they are the file version wherever the
        // two versions agree.
        if (pMajor) *pMajor = HIWORD(fixed->dwProductVersionMS);
        if (pMinor) *pMinor = LOWORD(fixed->dwProductVersionMS);
        if (pBuild) *pBuild = HIWORD(fixed->dwFileVersionLS);
        if (pRevision) *pRevision = LOWORD(fixed->dwFileVersionLS);
        return true;
    });
}
