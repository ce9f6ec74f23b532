#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/DumpHistorie.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/MiniDump.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"
#include "common/ProductIds.h"
#include "common/RegistryValue.h"
#include "common/UniqueHandle.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

using namespace vemo::tracing;

wchar_t g_szExceptionTranslatorCategory[kExceptionTranslatorCategoryChars] = L"ExceptionTranslator";

namespace {

constexpr char kSehExceptionFormat[] = "SEH-Exception aufgetreten: ErrorCode = %x";
constexpr size_t kSehExceptionTextBytes = 257;
constexpr size_t kModulePathChars = 261;

constexpr char kHostExecutableMark[] = "\\vemohost.exe";
using vemo::kCrashOptionsKey;
constexpr const wchar_t* kCrashOptionNames[] = {L"ShowCrashMessage", L"ShouldRestartVeMoHost"};
constexpr int kRestartExitStatus = -1;

constexpr wchar_t kCrashMessageText[] =
    L"Der Kartenwacht-Prozess VemoHost.exe hat eine Ausnahmesituation verursacht.\n"
    L"Es wird eine sog. Mini-Dump-Datei zu Analysezwecken ins Kartenwacht-Logverzeichnis geschrieben.";
constexpr wchar_t kCrashMessageCaption[] = L" VemoHost-Prozess muss neu gestartet werden ";

constexpr wchar_t kClearHistoriesMethod[] = L"ExceptionTranslator::ClearDumpHistories";
constexpr int kClearHistoriesLine = 15;

void TraceCrash(const wchar_t* pszFormat) {
    if (g_szExceptionTranslatorCategory[0] == L'\0') return;
    TraceFormatW(kLevelException, g_szExceptionTranslatorCategory, pszFormat,
                 static_cast<int>(::GetCurrentThreadId()));
}

// The old pattern goes entirely, then the current one down to its newest dumps, so the dump
// written next is never among the removed.
void ClearDumpHistories() {
    METHOD_TRACE(trace, kLevelInfo, g_szExceptionTranslatorCategory, kClearHistoriesMethod, kClearHistoriesLine);
    ExceptionTranslator::ClearDumpHistory(ExceptionTranslator::kOldDumpPattern);
    ExceptionTranslator::ClearDumpHistory(ExceptionTranslator::kCurrentDumpPattern);
}

void WriteDump(EXCEPTION_POINTERS* pExceptionPointers) {
    // The dump may be the last thing the process does: the lines before it go to the file first.
    TraceFlush();
    ClearDumpHistories();
    wchar_t fileName[ExceptionTranslator::kMiniDumpPathChars] = {};
    ExceptionTranslator::GetMiniDumpFilename(fileName);
    ExceptionTranslator::CreateMiniDump(pExceptionPointers, fileName);
}

// Message box and restart, in the user-session host only.
void ApplyCrashOptions() {
    if (ReadCrashOption(kCrashOptionShowMessage)) ShowCrashMessageBox();
    if (ReadCrashOption(kCrashOptionRestartHost)) {
        RestartHostProcess();
        exit(kRestartExitStatus);
    }
}

void RequestSehThrow(unsigned int code) {
    char text[kSehExceptionTextBytes] = {};
    _snprintf(text, sizeof(text) - 1, kSehExceptionFormat, code);
    vemo::seh::RequestThrow(text);
}

std::string ExecutablePathLower() {
    char path[kModulePathChars] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, path, kModulePathChars - 1);
    std::string lower(path, n < kModulePathChars ? n : 0);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

}  // namespace

void TranslateSEHExceptionToStdException(unsigned int code, EXCEPTION_POINTERS* pExceptionPointers) {
    TraceCrash(L"TranslateSEHExceptionToStdException -> Exception aufgetreten! Thread-ID <%d> - MiniDump wird erzeugt!");
    WriteDump(pExceptionPointers);
    ApplyCrashOptions();
    // The process goes on: the fault becomes an ordinary exception for the thread's own handlers.
    RequestSehThrow(code);
}

void InvalidParameterHandler(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {
    TraceCrash(L"InvalidParameterHandler -> Exception aufgetreten! Thread-ID <%d> - MiniDump wird erzeugt!");
    // Where the handler was called from: the caller's instruction and stack pointers.
    CONTEXT context{};
    ::RtlCaptureContext(&context);
    context.ContextFlags = CONTEXT_CONTROL;
    void* const returnAddress = __builtin_return_address(0);
    // Above the frame pointer: the saved one, the return address, then the caller's stack.
    void* const frame = __builtin_frame_address(0);
    const auto callerStack = reinterpret_cast<ULONG_PTR>(frame) + 2 * sizeof(void*);
#if defined(__x86_64__)
    context.Rip = reinterpret_cast<DWORD64>(returnAddress);
    context.Rsp = callerStack;
#elif defined(__i386__)
    // x86 stack walks follow the frame-pointer chain: start it at the caller's frame.
    context.Eip = reinterpret_cast<DWORD>(returnAddress);
    context.Esp = callerStack;
    context.Ebp = *static_cast<DWORD*>(frame);
#endif
    EXCEPTION_RECORD record{};
    record.ExceptionCode = 0;
    record.ExceptionFlags = 0;
    record.NumberParameters = 0;
    record.ExceptionAddress = returnAddress;
    EXCEPTION_POINTERS pointers{&record, &context};
    WriteDump(&pointers);
    ApplyCrashOptions();
}

void TranslateSEHExceptionNoDump(unsigned int code, EXCEPTION_POINTERS*) { RequestSehThrow(code); }

bool ReadCrashOption(int index) {
    if (ExecutablePathLower().find(kHostExecutableMark) == std::string::npos) return false;
    if (index != kCrashOptionShowMessage && index != kCrashOptionRestartHost) return false;
    // The package's installer is a 32-bit program: its values lie in the 32-bit view.
    vemo::unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCrashOptionsKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, key.put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    return vemo::ReadRegistryDword(key.get(), kCrashOptionNames[index]).value_or(0) != 0;
}

void ShowCrashMessageBox() { ::MessageBoxW(nullptr, kCrashMessageText, kCrashMessageCaption, MB_OK | MB_ICONERROR); }

namespace {
std::atomic<HostRestarter> g_hostRestarter{nullptr};
}  // namespace

void SetHostRestarter(HostRestarter restarter) { g_hostRestarter = restarter; }

void RestartHostProcess() {
    TraceWriteW(kLevelInfo, g_szExceptionTranslatorCategory, L"VeMoHost wird neu gestartet!");
    char path[kModulePathChars] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, path, kModulePathChars - 1);
    if (n == 0 || n >= kModulePathChars - 1) return;
    if (const HostRestarter restarter = g_hostRestarter.load()) restarter(path);
}

void InstallThreadCrashHandlers() {
    vemo::seh::SetSehTranslator(&TranslateSEHExceptionToStdException);
    vemo::seh::SetThreadInvalidParameterHandler(&InvalidParameterHandler);
}

void InstallProcessCrashHandlers(HostRestarter restarter) {
    SetHostRestarter(restarter);
    vemo::seh::SetSehTranslator(&TranslateSEHExceptionToStdException);
    vemo::seh::SetProcessInvalidParameterHandler(&InvalidParameterHandler);
    vemo::seh::InstallUnhandledExceptionFilter();
}
