// The daemon module's three exports. The host calls them on one thread, in the order
// initialise, check, exit, and loads the module anew for every round.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "QRNCSAVeMoDaemon001/DaemonSettings.h"
#include "ReaderWatch.h"
#include "VeMoDaemon.h"
#include "common/RegistryValue.h"
#include "common/UniqueHandle.h"

namespace vemo::daemonmodule {
namespace {

struct Settings {
    DaemonTestMode mode = DaemonTestMode::WatchReaders;
    DWORD delayMs = 0;
    DWORD result = 0;
};

// Written by VeMoDaemonInit, read by VeMoDaemonCheckLeser on the same thread.
Settings g_settings;

DWORD ReadDword(HKEY key, const wchar_t* pszName, DWORD defaultValue) {
    return vemo::ReadRegistryDword(key, pszName).value_or(defaultValue);
}

Settings ReadSettings() {
    Settings settings;
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRegistryKey, 0, KEY_READ | kRegistryView, key.put()) != ERROR_SUCCESS) {
        return settings;
    }
    settings.mode = static_cast<DaemonTestMode>(
        ReadDword(key.get(), kValueTestMode, static_cast<DWORD>(DaemonTestMode::WatchReaders)));
    settings.delayMs = ReadDword(key.get(), kValueTestDelayMs, 0);
    settings.result = ReadDword(key.get(), kValueTestResult, 0);
    return settings;
}

// Leaves evidence of the calls for tests; the real work leaves the registry alone.
void RecordCall(wchar_t call) {
    if (g_settings.mode == DaemonTestMode::WatchReaders) return;
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRegistryKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | kRegistryView,
                        key.put()) != ERROR_SUCCESS) {
        return;
    }
    wchar_t calls[64] = {};
    DWORD size = sizeof(calls) - sizeof(wchar_t);
    if (::RegGetValueW(key.get(), nullptr, kValueTestCalls, RRF_RT_REG_SZ, nullptr, calls, &size) != ERROR_SUCCESS) {
        calls[0] = L'\0';
    }
    std::wstring text = calls;
    text += call;
    ::RegSetValueExW(key.get(), kValueTestCalls, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool IsKnownMode(DaemonTestMode mode) {
    switch (mode) {
        case DaemonTestMode::WatchReaders:
        case DaemonTestMode::HostNeeded:
        case DaemonTestMode::WaitForStop:
        case DaemonTestMode::ReturnResult:
        case DaemonTestMode::InitFails:
        case DaemonTestMode::Fault:
            return true;
    }
    return false;
}

// Waits up to delayMs in short steps; false when the stop flag ended the wait first.
bool WaitUnlessStopped(VemoDaemonStopFlag pStopFlag, DWORD delayMs) {
    const ULONGLONG deadline = ::GetTickCount64() + delayMs;
    for (;;) {
        if (StopRequested(pStopFlag)) return false;
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) return true;
        ::Sleep(static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kStopPollMs)));
    }
}

}  // namespace
}  // namespace vemo::daemonmodule

using namespace vemo::daemonmodule;

extern "C" {

int32_t WINAPI VeMoDaemonInit(int32_t iInterfaceVersion) {
    g_settings = ReadSettings();
    RecordCall(kCallInit);
    if (iInterfaceVersion != VEMO_DAEMON_INIT_ARGUMENT) return kUnknownInterfaceVersion;
    if (!IsKnownMode(g_settings.mode)) return kUnknownTestMode;
    if (g_settings.mode == DaemonTestMode::InitFails) {
        return g_settings.result != 0 ? static_cast<int32_t>(g_settings.result) : kDefaultInitFailure;
    }
    return VEMO_DAEMON_INIT_OK;
}

int32_t WINAPI VeMoDaemonCheckLeser(VemoDaemonStopFlag pStopFlag) {
    RecordCall(kCallCheckLeser);
    if (!pStopFlag) return kNoStopFlag;
    switch (g_settings.mode) {
        case DaemonTestMode::WaitForStop:
            while (!StopRequested(pStopFlag)) ::Sleep(kStopPollMs);
            return VEMO_DAEMON_NO_ANSWER;
        case DaemonTestMode::HostNeeded:
            return WaitUnlessStopped(pStopFlag, g_settings.delayMs) ? VEMO_DAEMON_HOST_NEEDED : VEMO_DAEMON_NO_ANSWER;
        case DaemonTestMode::ReturnResult:
            return WaitUnlessStopped(pStopFlag, g_settings.delayMs) ? static_cast<int32_t>(g_settings.result)
                                                                     : VEMO_DAEMON_NO_ANSWER;
        case DaemonTestMode::Fault:
            if (!WaitUnlessStopped(pStopFlag, g_settings.delayMs)) return VEMO_DAEMON_NO_ANSWER;
            ::RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
            return VEMO_DAEMON_NO_ANSWER;
        default:
            return WatchReaders(pStopFlag);
    }
}

int32_t WINAPI VeMoDaemonExit() {
    RecordCall(kCallExit);
    g_settings = Settings();
    return 0;
}

}  // extern "C"
