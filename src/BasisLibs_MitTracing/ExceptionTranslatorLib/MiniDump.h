#pragma once
// Mini-dumps of the whole process, named so that the dump history can find, date and prune
// them: log directory, category, module, its version and the local time to the second.
#include <windows.h>

#include "configdb/ConfigDB.h"  // the file version of the dump name

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace ExceptionTranslator {

// Buffers for a dump file name, a file mask and the log directory (terminator included).
inline constexpr size_t kMiniDumpPathChars = 261;

// The part of every dump name that the history searches for, and what it is followed by.
inline constexpr wchar_t kAppCrashDumpMarker[] = L"_AppCrashDump_";
inline constexpr wchar_t kMiniDumpStampFormat[] = L"%02d.%02d.%04d.%02d.%02d.%02d";
inline constexpr size_t kMiniDumpStampChars = 19;  // dd.mm.yyyy.hh.mm.ss

// The dump file name for a fault now, into pszFileName (kMiniDumpPathChars characters).
void GetMiniDumpFilename(wchar_t* pszFileName);

// Writes a mini-dump of this process with the exception information into pszFileName.
// Never reports a failure: without the library or the file there simply is no dump.
void CreateMiniDump(EXCEPTION_POINTERS* pExceptionPointers, const wchar_t* pszFileName);

// The pure formatting step of GetMiniDumpFilename: the pieces of the name and the local time.
void FormatMiniDumpFilename(wchar_t* pszFileName, const wchar_t* pszLogDir, const wchar_t* pszCategory,
                            const wchar_t* pszModuleName, const wchar_t* pszModuleExt, const wchar_t* pszVersion,
                            const tm& localTime);

// Copies the log directory of "B0003810" (with its trailing backslash, or empty when it is
// unknown) into pszLogDir (kMiniDumpPathChars characters). The first successful query is kept
// for the life of the process; a failed one is asked again next time.
void CopyCachedLogDir(wchar_t* pszLogDir);

// The level-1 line of an operation whose catch-all handler caught an exception.
void TraceCaughtException(const wchar_t* pszMethod);

}  // namespace ExceptionTranslator

// Full path of the module that contains this code; empty if it cannot be found.
std::wstring _GetThisModulePath();
