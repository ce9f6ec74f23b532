#pragma once
// The dump history in the log directory of "B0003810": dumps of the old name pattern all go,
// of the current pattern the five newest by the stamp in their names stay. Every program that
// writes into that directory shares the one history.
#include <windows.h>

#include <cstddef>
#include <map>
#include <string>

namespace ExceptionTranslator {

// The pattern flag: the current names carry "__V" and the module's version, the old ones not.
inline constexpr bool kOldDumpPattern = false;
inline constexpr bool kCurrentDumpPattern = true;

// Dumps of the current pattern that survive a cleanup.
inline constexpr size_t kDumpHistoryKept = 5;

// Sort key (yyyymmddhhmmss, empty for the old pattern) to full path; equal keys keep the order
// in which the directory search found them.
using DumpFileMap = std::multimap<std::wstring, std::wstring>;

// Deletes the dumps of one pattern that the history does not keep.
void ClearDumpHistory(bool bNewVersion);

// The search mask of the pattern into pszFileMask (kMiniDumpPathChars characters).
void GetMiniDumpFilemask(bool bNewVersion, wchar_t* pszFileMask);

// Adds one entry of the directory search (its name has no directory part) to the list.
void AddFileToMap(bool bNewVersion, DumpFileMap& fileMap, const WIN32_FIND_DATAW& findData);

}  // namespace ExceptionTranslator
