// What hosting costs: from discovery to N plug-ins inside Run, from the stop request to the
// unload sequence's return, and the process's private bytes with N plug-ins.
#include <windows.h>
// after windows.h
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

#include "TestSupport.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "VeMoHostPluginLib/PluginThreads.h"
#include "VeMoHostPluginLib/PluginUnloading.h"

namespace {
constexpr int kPluginCounts[] = {0, 1, 16, 64};
constexpr int kRepetitions = 3;  // the best counts: the others met a busy machine
constexpr DWORD kRunWaitMs = 60000;
constexpr wchar_t kSandboxRoot[] = L"Software\\VeMoPluginBench";
constexpr wchar_t kProductKey[] = L"SOFTWARE\\TRUVO VeMo Compact";
constexpr wchar_t kProtectedDirectoriesKey[] = L"Software\\Truvoeg\\ProtectedDirectories";
constexpr wchar_t kBenchPluginDll[] = L"BenchPlugin.dll";
constexpr char kBenchRunningExport[] = "BenchRunning";
constexpr double kMsPerTick = 1000.0;
constexpr double kKiB = 1024.0;

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * kMsPerTick / static_cast<double>(frequency.QuadPart);
}

PROCESS_MEMORY_COUNTERS_EX Memory() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof(counters));
    return counters;
}

void WriteConfiguration(const std::wstring& file, int n) {
    const std::string dir = vemo::test::Narrow(vemo::test::ExecutableDirectory());
    std::string xml = "<?xml version=\"1.0\"?><root>";
    for (int i = 0; i < n; ++i) {
        xml += "<plugin type=\"dll\" description=\"bench" + std::to_string(i) + "\"><BinaryName>BenchPlugin.dll</BinaryName><Path>" +
               dir + "</Path><System>true</System><Pure>false</Pure></plugin>";
    }
    std::ofstream(vemo::test::Narrow(file), std::ios::binary | std::ios::trunc) << xml << "</root>";
}

LONG Running() {
    const HMODULE module = ::GetModuleHandleW(kBenchPluginDll);
    const FARPROC proc = module ? ::GetProcAddress(module, kBenchRunningExport) : nullptr;
    return proc ? reinterpret_cast<LONG(WINAPI*)()>(reinterpret_cast<void (*)()>(proc))() : 0;
}
}  // namespace

int wmain() {
    vemo::test::HklmSandbox sandbox{kSandboxRoot};
    // The product's configuration directory must name its component.
    vemo::test::ScratchDirectory config{L"B0003810bench"};
    if (!sandbox.active() || !vemo::test::SetRegistryString(kProductKey, L"CompVersion", L"1.0") ||
        !vemo::test::SetRegistryString(kProductKey, L"ProgKey", config.path()) ||
        !vemo::test::SetRegistryString(kProtectedDirectoriesKey, L"SystemDir", vemo::test::ExecutableDirectory())) {
        std::fprintf(stderr, "sample installation could not be set up\n");
        return 1;
    }
    const std::wstring file = config.path() + L"B0000001.xml";
    // Private bytes are sampled while all N plug-ins are inside Run, the process's high point:
    // Wine does not keep the peak counter.
    std::printf("%-4s %14s %14s %22s\n", "N", "up (ms)", "unload (ms)", "private in Run (KiB)");
    for (int n : kPluginCounts) {
        WriteConfiguration(file, n);
        double bestUp = 1e30, bestUnload = 1e30;
        SIZE_T privateBytes = 0;
        for (int r = 0; r < kRepetitions; ++r) {
            const double start = Now();
            GetPluginData(false);
            HostPlugins();
            const ULONGLONG deadline = ::GetTickCount64() + kRunWaitMs;
            while (Running() < n && ::GetTickCount64() < deadline) ::Sleep(0);
            const double up = Now() - start;
            if (Running() < n) {
                std::fprintf(stderr, "N=%d: only %ld plug-ins reached Run\n", n, Running());
                return 1;
            }
            // Wine leaves PrivateUsage at 0; the commit charge is the same figure on Windows.
            privateBytes = std::max(privateBytes, Memory().PagefileUsage);
            const double unloadStart = Now();
            UnloadPlugins();
            bestUnload = std::min(bestUnload, Now() - unloadStart);
            bestUp = std::min(bestUp, up);
        }
        std::printf("%-4d %14.1f %14.1f %22.0f\n", n, bestUp, bestUnload, privateBytes / kKiB);
    }
    return 0;
}
