#pragma once
// Where administrators switch the trace module, and what it does when they leave a value out.
// Shared with the tests and the bench so that the names exist once.
#include <windows.h>

namespace vemo::tracemodule {

// HKEY_LOCAL_MACHINE, always the 32-bit view: the program is a 32-bit product on a 64-bit Windows.
inline constexpr wchar_t kRegistryKey[] = L"SOFTWARE\\TRUVO VeMo Compact";
inline constexpr REGSAM kRegistryView = KEY_WOW64_32KEY;

inline constexpr wchar_t kValueTraceEnabled[] = L"TraceEnabled";      // REG_DWORD, 0 = off
inline constexpr wchar_t kValueTraceLevels[] = L"TraceLevels";        // REG_DWORD, level bit mask
inline constexpr wchar_t kValueTraceFile[] = L"TraceFile";            // REG_SZ or REG_EXPAND_SZ
inline constexpr wchar_t kSubkeyTraceCategories[] = L"TraceCategories";  // REG_DWORD per category
inline constexpr wchar_t kValueTraceFileMaxSize[] = L"TraceFileMaxSize";  // REG_DWORD, bytes, 0 = no limit
inline constexpr wchar_t kValueTraceFileCount[] = L"TraceFileCount";      // REG_DWORD, files kept

inline constexpr DWORD kDefaultTraceEnabled = 1;
inline constexpr DWORD kDefaultTraceLevels = 0x0F;  // exception, error, warning, info; detail off
inline constexpr DWORD kDefaultTraceFileMaxSize = 10 * 1024 * 1024;
// The current file and the renamed older ones together; fewer than the minimum count as the minimum.
inline constexpr DWORD kDefaultTraceFileCount = 5;
inline constexpr DWORD kMinimumTraceFileCount = 2;
// Below the machine's common application data folder (FOLDERID_ProgramData). Taken from the
// shell, not from %ProgramData%: a service's environment may not carry the right value.
inline constexpr wchar_t kDefaultTraceFileBelowProgramData[] = L"Truvo\\Log\\VeMo\\VeMoTrace.log";

// Listener names: the configured file, and standard error once it was asked for.
inline constexpr char kFileListener[] = "file";
inline constexpr char kConsoleListener[] = "console";

// Appends to a file are guarded by the mutex <prefix><16 hex digits>: the 64-bit FNV-1a hash of
// the UTF-16 units of the file's lower-case full path. Other writers of the file may join in.
inline constexpr wchar_t kAppendMutexPrefix[] = L"Global\\QnUmTraceSystem001_";
inline constexpr unsigned long long kAppendMutexHashOffset = 14695981039346656037ull;
inline constexpr unsigned long long kAppendMutexHashPrime = 1099511628211ull;
// The rotation generation of the file: a shared LONG in the mapping <mutex name><suffix>.
inline constexpr wchar_t kGenerationMappingSuffix[] = L"_Generation";

}  // namespace vemo::tracemodule
