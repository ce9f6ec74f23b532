#pragma once
// Machine faults and invalid runtime parameters of the program's own threads become a trace
// line, a pruned dump history and a mini-dump; in plug-in threads a lighter translator turns a
// fault into an ordinary exception.
#include <windows.h>

#include <cstddef>
#include <cstdint>

// Category of every line of the crash handling; the entry point sets it at start.
constexpr size_t kExceptionTranslatorCategoryChars = 256;
extern wchar_t g_szExceptionTranslatorCategory[kExceptionTranslatorCategoryChars];

void TranslateSEHExceptionToStdException(unsigned int code, EXCEPTION_POINTERS* pExceptionPointers);
void InvalidParameterHandler(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                             unsigned int line, uintptr_t reserved);
// Never returns normally: makes the guard's caller throw "SEH-Exception aufgetreten: ErrorCode = %x".
void TranslateSEHExceptionNoDump(unsigned int code, EXCEPTION_POINTERS* pExceptionPointers);

enum CrashOption { kCrashOptionShowMessage = 0, kCrashOptionRestartHost = 1 };
bool ReadCrashOption(int index);
void ShowCrashMessageBox();
void RestartHostProcess();
// How the crash handling starts the program anew: the process start of the thread-control
// library, handed in by the entry point (that library builds on this one). Unset, nothing is
// started.
using HostRestarter = DWORD (*)(const char* pszProgram);
void SetHostRestarter(HostRestarter restarter);

// Both hooks for the calling thread: the translator and the thread's invalid-parameter handler.
void InstallThreadCrashHandlers();
// The entry point's hooks: translator of the main thread, process-wide invalid-parameter
// handler and the unhandled-exception filter; restarter as for SetHostRestarter.
void InstallProcessCrashHandlers(HostRestarter restarter);
