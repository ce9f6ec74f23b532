// A stand-in for the user-session host that faults once. Built as vemohost.exe so that the crash
// options act in it. The first instance marks the environment before it faults; an instance
// started again by the restart option inherits the mark, leaves evidence and ends quietly.
#include <windows.h>

#include <exception>
#include <string>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ProcessControl.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"
#include "CrashHostProtocol.h"
#include "common/UniqueHandle.h"

namespace {
volatile int* volatile g_nullPointer = nullptr;

std::wstring Environment(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    const DWORD n = ::GetEnvironmentVariableW(name, value, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(value) : std::wstring();
}
}  // namespace

int wmain() {
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    const std::wstring evidence = Environment(kCrashHostEvidenceVariable);
    if (Environment(kCrashHostModeVariable) == kCrashHostModeRestarted) {
        const vemo::unique_hfile file(::CreateFileW(evidence.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        return file ? kCrashHostExitRestarted : kCrashHostExitNoEvidence;
    }
    ::SetEnvironmentVariableW(kCrashHostModeVariable, kCrashHostModeRestarted);
    InstallProcessCrashHandlers(&ThreadControl::TC_StartProcessAsyncA);
    try {
        vemo::seh::GuardedCall([] { *g_nullPointer = 1; });
    } catch (const std::exception&) {
        return kCrashHostExitSurvived;
    }
    return kCrashHostExitNoFault;
}
