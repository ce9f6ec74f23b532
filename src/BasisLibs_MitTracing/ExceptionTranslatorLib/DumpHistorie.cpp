#include "BasisLibs_MitTracing/ExceptionTranslatorLib/DumpHistorie.h"

#include <cwchar>
#include <iterator>
#include <string_view>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/MiniDump.h"
#include "common/UniqueHandle.h"
#include "common/WideFormat.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;

namespace {

using vemo::unique_hfind;

constexpr wchar_t kMaskCurrentPattern[] = L"%s*__V*_AppCrashDump_*.dmp.txt";
constexpr wchar_t kMaskOldPattern[] = L"%s*__AppCrashDump_*.dmp.txt";
constexpr wchar_t kNameCurrentPattern[] = L"neue Version";
constexpr wchar_t kNameOldPattern[] = L"alte Version";

constexpr wchar_t kSortKeyFormat[] = L"%02d%02d%02d%02d%02d%02d";
constexpr size_t kSortKeyChars = 20;
constexpr wchar_t kFullPathFormat[] = L"%s%s";

constexpr wchar_t kMethodClearDumpHistory[] = L"ExceptionTranslator::ClearDumpHistory";
constexpr wchar_t kMethodGetMiniDumpFilemask[] = L"ExceptionTranslator::GetMiniDumpFilemask";
constexpr wchar_t kMethodAddFileToMap[] = L"ExceptionTranslator::AddFileToMap";
constexpr int kLineClearDumpHistory = 30;
constexpr int kLineGetMiniDumpFilemask = 95;
constexpr int kLineAddFileToMap = 123;

constexpr wchar_t kMsgMaskCreated[] = L"Dateimaske (%s) wurde erzeugt: <%s>";
constexpr wchar_t kMsgAddedToList[] = L"Dateiname für %s wurde in Liste aufgenommen.\nDateiname <%s>\nKey <%s>";
constexpr wchar_t kMsgNoFiles[] = L"FindFirstFile() lieferte keine Dateien mit Maske <%s>.";
constexpr wchar_t kMsgKept[] = L"Dump <%s> wurde historienbedingt nicht gelöscht.";
constexpr wchar_t kMsgDeleted[] = L"Dump <%s> wurde gelöscht.";
constexpr wchar_t kMsgDeleteFailed[] = L"Fehler <%d> beim Löschen der Datei <%s> aufgetreten!";

const wchar_t* PatternName(bool bNewVersion) { return bNewVersion ? kNameCurrentPattern : kNameOldPattern; }

void Trace(int level, const wchar_t* pszFormat, const wchar_t* pszText) {
    TraceFormatW(level, g_szExceptionTranslatorCategory, pszFormat, pszText);
}

// The stamp after the marker as yyyymmddhhmmss; fields that cannot be read count as 0, so an
// unreadable stamp sorts before every readable one. No marker, no key.
std::wstring SortKeyOf(const wchar_t* pszFileName) {
    const wchar_t* marker = std::wcsstr(pszFileName, ExceptionTranslator::kAppCrashDumpMarker);
    if (!marker) return {};
    const std::wstring_view afterMarker(marker + std::size(ExceptionTranslator::kAppCrashDumpMarker) - 1);
    const std::wstring stamp(afterMarker.substr(0, ExceptionTranslator::kMiniDumpStampChars));
    int day = 0;
    int month = 0;
    int year = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    // Only numeric conversions: the C99 and the Windows scanf agree on them.
    swscanf(stamp.c_str(), ExceptionTranslator::kMiniDumpStampFormat, &day, &month, &year, &hour, &minute, &second);
    wchar_t key[kSortKeyChars] = {};
    vemo::FormatToBufferW(key, kSortKeyChars, kSortKeyFormat, year, month, day, hour, minute, second);
    return key;
}

}  // namespace

namespace ExceptionTranslator {

void GetMiniDumpFilemask(bool bNewVersion, wchar_t* pszFileMask) {
    METHOD_TRACE(trace, kLevelInfo, g_szExceptionTranslatorCategory, kMethodGetMiniDumpFilemask, kLineGetMiniDumpFilemask);
    if (!pszFileMask) return;
    pszFileMask[0] = L'\0';
    try {
        wchar_t logDir[kMiniDumpPathChars] = {};
        CopyCachedLogDir(logDir);
        vemo::FormatToBufferW(pszFileMask, kMiniDumpPathChars, bNewVersion ? kMaskCurrentPattern : kMaskOldPattern,
                              logDir);
        TraceFormatW(kLevelInfo, g_szExceptionTranslatorCategory, kMsgMaskCreated, PatternName(bNewVersion),
                     pszFileMask);
    } catch (...) {
        pszFileMask[0] = L'\0';
        TraceCaughtException(kMethodGetMiniDumpFilemask);
    }
}

void AddFileToMap(bool bNewVersion, DumpFileMap& fileMap, const WIN32_FIND_DATAW& findData) {
    METHOD_TRACE(trace, kLevelInfo, g_szExceptionTranslatorCategory, kMethodAddFileToMap, kLineAddFileToMap);
    try {
        wchar_t logDir[kMiniDumpPathChars] = {};
        CopyCachedLogDir(logDir);
        std::wstring key;
        if (bNewVersion) key = SortKeyOf(findData.cFileName);
        wchar_t fullPath[kMiniDumpPathChars] = {};
        vemo::FormatToBufferW(fullPath, kMiniDumpPathChars, kFullPathFormat, logDir, findData.cFileName);
        // A multimap inserts an equal key after those already there: the later find sorts later.
        fileMap.emplace(key, fullPath);
        TraceFormatW(kLevelDetail, g_szExceptionTranslatorCategory, kMsgAddedToList, PatternName(bNewVersion),
                     fullPath, key.c_str());
    } catch (...) {
        TraceCaughtException(kMethodAddFileToMap);
    }
}

void ClearDumpHistory(bool bNewVersion) {
    METHOD_TRACE(trace, kLevelInfo, g_szExceptionTranslatorCategory, kMethodClearDumpHistory, kLineClearDumpHistory);
    try {
        wchar_t mask[kMiniDumpPathChars] = {};
        GetMiniDumpFilemask(bNewVersion, mask);
        if (mask[0] == L'\0') return;

        DumpFileMap fileMap;
        {
            WIN32_FIND_DATAW findData{};
            unique_hfind find(::FindFirstFileW(mask, &findData));
            if (!find) {
                Trace(kLevelInfo, kMsgNoFiles, mask);
                return;
            }
            do {
                AddFileToMap(bNewVersion, fileMap, findData);
            } while (::FindNextFileW(find.get(), &findData));
        }

        // Newest first; the first kDumpHistoryKept of the current pattern stay.
        const size_t count = fileMap.size();
        const size_t deleteUpTo = count >= kDumpHistoryKept ? count - kDumpHistoryKept : 0;
        size_t position = count;
        for (auto entry = fileMap.rbegin(); entry != fileMap.rend(); ++entry, --position) {
            const wchar_t* path = entry->second.c_str();
            if (bNewVersion && position > deleteUpTo) {
                Trace(kLevelInfo, kMsgKept, path);
            } else if (::DeleteFileW(path)) {
                Trace(kLevelInfo, kMsgDeleted, path);
            } else {
                TraceFormatW(kLevelError, g_szExceptionTranslatorCategory, kMsgDeleteFailed,
                             static_cast<int>(::GetLastError()), path);
            }
        }
        fileMap.clear();
    } catch (...) {
        TraceCaughtException(kMethodClearDumpHistory);
    }
}

}  // namespace ExceptionTranslator
