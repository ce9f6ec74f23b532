// The host service against the service manager, beside a baseline service that only reports
// RUNNING: start, all N plug-ins inside Run, stop with 64 plug-ins, and the private bytes each
// plug-in costs. Every figure is judged by its ratio to a baseline taken in the same run.
#include <windows.h>
// after windows.h
#include <knownfolders.h>
#include <psapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "BenchNames.h"
#include "TestSupport.h"
#include "common/CommandTable.h"
#include "common/UniqueHandle.h"

using vemo::unique_handle;
using vemo::unique_schandle;
using namespace vemo::bench;

namespace {
constexpr int kRepetitions = 5;            // the median counts
constexpr int kPluginCounts[] = {0, 1, 16, 64};
constexpr int kStopPluginCount = 64;
constexpr DWORD kStateWaitMs = 60000;
constexpr DWORD kInRunWaitMs = 60000;
constexpr DWORD kHostWaitMs = 30000;
constexpr DWORD kCommandWaitMs = 60000;
constexpr DWORD kPollMs = 1;
constexpr SIZE_T kBareThreadStack = 256000;  // the reservation the host gives a plug-in thread
constexpr double kKiB = 1024.0;

constexpr double kStartRatioTarget = 1.2;
// Tracing at the default levels may cost at most half again the start with the normal course off.
constexpr double kUpTraceRatioTarget = 1.5;
constexpr double kStopTargetMs = 800.0;
constexpr double kFootprintTargetKiB = 64.0;

constexpr wchar_t kServiceExe[] = L"VeMoHostService.exe";
constexpr wchar_t kHostProcess[] = L"VeMoHost.exe";
constexpr wchar_t kProductKey[] = L"SOFTWARE\\TRUVO VeMo Compact";
constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"QRNServ";
constexpr wchar_t kKonfigBelowProgramData[] = L"\\Truvo\\Konfig\\VeMoCompact\\";
constexpr wchar_t kPluginFile[] = L"B0000001.xml";
constexpr wchar_t kTraceLevelsValue[] = L"TraceLevels";
constexpr DWORD kQuietTraceLevels = 0x07;  // exceptions, errors, warnings: the normal course off

double NowMs() {
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

SERVICE_STATUS_PROCESS Status(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                           &needed);
    return status;
}

bool WaitForState(SC_HANDLE service, DWORD state) {
    const ULONGLONG deadline = ::GetTickCount64() + kStateWaitMs;
    while (Status(service).dwCurrentState != state) {
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(kPollMs);
    }
    return true;
}

bool Stop(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return ::ControlService(service, SERVICE_CONTROL_STOP, &status) && WaitForState(service, SERVICE_STOPPED);
}

// The next start is measured only once the stopped service's process has gone: its teardown
// (the host unloads its COM and shell DLLs) would otherwise run beside that start and be
// counted against the host and not against the baselines, whose processes end at once.
void WaitForProcessExit(DWORD processId) {
    unique_handle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (process) ::WaitForSingleObject(process.get(), kStateWaitMs);
}

std::vector<DWORD> HostProcesses() { return vemo::test::ProcessIdsNamed(kHostProcess); }

// Every start ends with the user-session host: the next one must find none, as at boot.
void EndHostProcesses() { vemo::test::EndProcessesNamed(kHostProcess, kHostWaitMs); }

// What the process has committed for itself. Wine leaves PrivateUsage at 0 and counts resident
// anonymous memory as the page-file usage; on Windows both are the commit charge.
SIZE_T PrivateBytes(HANDLE process) {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    if (!::GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters))) {
        return 0;
    }
    return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

void Row(const char* figure, const std::string& value, const std::string& target, bool met) {
    std::printf(kTableRowFormat, figure, value.c_str(), target.c_str(), met ? "met" : "MISSED");
}

std::string Format(const char* format, double a, double b = 0, double c = 0) {
    char text[160];
    std::snprintf(text, sizeof(text), format, a, b, c);
    return text;
}

// The baseline service, registered for the run and removed at its end.
class BaselineService {
public:
    BaselineService(SC_HANDLE manager, const wchar_t* name, const wchar_t* exe) : m_manager(manager) {
        const std::wstring binary = L"\"" + vemo::test::ExecutableDirectory() + exe + L"\" " + name;
        m_service.reset(::CreateServiceW(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                         SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr,
                                         nullptr, nullptr, nullptr));
        if (!m_service) m_service.reset(::OpenServiceW(manager, name, SERVICE_ALL_ACCESS));
    }
    ~BaselineService() {
        if (m_service) {
            Stop(m_service.get());
            ::DeleteService(m_service.get());
        }
    }
    BaselineService(const BaselineService&) = delete;
    BaselineService& operator=(const BaselineService&) = delete;
    SC_HANDLE get() const { return m_service.get(); }

private:
    SC_HANDLE m_manager;
    unique_schandle m_service;
};

// A sample installation of the product: program folder = this folder, one configuration file of
// N bench plug-ins, both services installed. Removed again at the end.
class SampleInstallation {
public:
    SampleInstallation() {
        vemo::unique_cotaskmem folder;
        if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, reinterpret_cast<PWSTR*>(folder.put())))) {
            return;
        }
        m_konfig = std::wstring(static_cast<const wchar_t*>(folder.get())) + kKonfigBelowProgramData;
        const int created = ::SHCreateDirectoryExW(nullptr, m_konfig.c_str(), nullptr);
        m_ready = (created == ERROR_SUCCESS || created == ERROR_ALREADY_EXISTS) &&
                  vemo::test::SetRegistryString(kProductKey, L"CompVersion", L"1.0") &&
                  vemo::test::SetRegistryString(kProductKey, L"ProgKey", vemo::test::ExecutableDirectory()) &&
                  Command(L"/install");
    }
    ~SampleInstallation() {
        Command(L"/uninstall");
        EndHostProcesses();
        ::DeleteFileW((m_konfig + kPluginFile).c_str());
        vemo::test::DeleteRegistryValue(kProductKey, L"CompVersion");
        vemo::test::DeleteRegistryValue(kProductKey, L"ProgKey");
        vemo::test::DeleteRegistryValue(kRunKey, kRunValue);
    }
    SampleInstallation(const SampleInstallation&) = delete;
    SampleInstallation& operator=(const SampleInstallation&) = delete;
    bool ready() const { return m_ready; }

    void WritePlugins(int n) const {
        const std::string dir = vemo::test::Narrow(vemo::test::ExecutableDirectory());
        std::string xml = "<?xml version=\"1.0\"?><root>";
        for (int i = 0; i < n; ++i) {
            xml += "<plugin type=\"dll\" description=\"bench" + std::to_string(i) +
                   "\"><BinaryName>BenchPlugin.dll</BinaryName><Path>" + dir +
                   "</Path><System>true</System><Pure>false</Pure></plugin>";
        }
        std::ofstream(vemo::test::Narrow(m_konfig + kPluginFile), std::ios::binary | std::ios::trunc)
            << xml << "</root>";
    }

private:
    static bool Command(const wchar_t* arguments) {
        const auto result =
            vemo::test::RunProcess(vemo::test::ExecutableDirectory() + kServiceExe, arguments, kCommandWaitMs);
        return result.finished && result.exitCode == 0;
    }

    std::wstring m_konfig;
    bool m_ready = false;
};

// One start of a baseline service to RUNNING, then its stop; false if it did not start.
bool StartBaselineOnce(SC_HANDLE service, std::vector<double>& times) {
    const double start = NowMs();
    if (!::StartServiceW(service, 0, nullptr) || !WaitForState(service, SERVICE_RUNNING)) {
        std::fprintf(stderr, "baseline service did not start (error %lu)\n", ::GetLastError());
        return false;
    }
    times.push_back(NowMs() - start);
    const DWORD processId = Status(service).dwProcessId;
    Stop(service);
    WaitForProcessExit(processId);
    return true;
}

// Both baselines, started once right before each start of the host: a machine that gets slower
// or faster during the run moves all three alike, and the ratios compare like with like.
struct Baselines {
    const BaselineService& bare;
    const BaselineService& queue;
    std::vector<double> bareMs;
    std::vector<double> queueMs;
    bool StartBoth() { return StartBaselineOnce(bare.get(), bareMs) && StartBaselineOnce(queue.get(), queueMs); }
};

// One start of the host service with N plug-ins, measured from StartServiceW.
struct HostRun {
    double runningMs = 0;
    double upMs = 0;
    double stopMs = 0;
    SIZE_T privateBytes = 0;
};

bool MeasureHostRun(SC_HANDLE service, HANDLE inRun, int n, HostRun& run) {
    const double start = NowMs();
    if (!::StartServiceW(service, 0, nullptr)) return false;
    if (!WaitForState(service, SERVICE_RUNNING)) return false;
    run.runningMs = NowMs() - start;
    for (int i = 0; i < n; ++i) {
        if (::WaitForSingleObject(inRun, kInRunWaitMs) != WAIT_OBJECT_0) return false;
    }
    run.upMs = NowMs() - start;
    // The start-up ends with the user-session host: sampled after it, all plug-ins are in Run.
    if (!vemo::test::WaitFor([] { return !HostProcesses().empty(); }, kHostWaitMs)) return false;
    const DWORD processId = Status(service).dwProcessId;
    unique_handle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    run.privateBytes = process ? PrivateBytes(process.get()) : 0;
    const double stopStart = NowMs();
    if (!Stop(service)) return false;
    run.stopMs = NowMs() - stopStart;
    EndHostProcesses();
    WaitForProcessExit(processId);
    return true;
}

// Five starts with n plug-ins; the medians, and every start's RUNNING time added to running.
// With baselines, each start of the host follows one start of each baseline.
bool MeasureMedian(const SampleInstallation& installation, SC_HANDLE service, HANDLE inRun, int n, HostRun& median,
                   std::vector<double>& running, Baselines* baselines) {
    installation.WritePlugins(n);
    std::vector<double> myRunning, up, stop, bytes;
    for (int r = 0; r < kRepetitions; ++r) {
        if (baselines && !baselines->StartBoth()) return false;
        HostRun run;
        if (!MeasureHostRun(service, inRun, n, run)) {
            std::fprintf(stderr, "N=%d: the host service did not run its plug-ins (error %lu)\n", n, ::GetLastError());
            Stop(service);
            return false;
        }
        myRunning.push_back(run.runningMs);
        up.push_back(run.upMs);
        stop.push_back(run.stopMs);
        bytes.push_back(static_cast<double>(run.privateBytes));
    }
    running.insert(running.end(), myRunning.begin(), myRunning.end());
    median = HostRun{Median(myRunning), Median(up), Median(stop), static_cast<SIZE_T>(Median(bytes))};
    return true;
}

// What one idle thread with a plug-in's stack reservation costs in this process.
struct IdleThread {
    HANDLE ready;
    HANDLE release;
};

DWORD WINAPI IdleThreadProc(void* parameter) {
    const auto* idle = static_cast<const IdleThread*>(parameter);
    ::ReleaseSemaphore(idle->ready, 1, nullptr);
    return ::WaitForSingleObject(idle->release, INFINITE);
}

double BareThreadKiB() {
    unique_handle ready(::CreateSemaphoreW(nullptr, 0, kStopPluginCount, nullptr));
    unique_handle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    IdleThread shared{ready.get(), release.get()};
    const SIZE_T before = PrivateBytes(::GetCurrentProcess());
    std::vector<unique_handle> threads;
    for (int i = 0; i < kStopPluginCount; ++i) {
        threads.emplace_back(::CreateThread(
            nullptr, kBareThreadStack,
            &IdleThreadProc, &shared, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    }
    for (int i = 0; i < kStopPluginCount; ++i) ::WaitForSingleObject(ready.get(), kStateWaitMs);
    const SIZE_T after = PrivateBytes(::GetCurrentProcess());
    ::SetEvent(release.get());
    for (const unique_handle& thread : threads) ::WaitForSingleObject(thread.get(), INFINITE);
    return (static_cast<double>(after) - static_cast<double>(before)) / kKiB / kStopPluginCount;
}
}  // namespace

int wmain() {
    unique_schandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        std::fprintf(stderr, "no service manager (error %lu)\n", ::GetLastError());
        return 1;
    }

    const BaselineService bare(manager.get(), kBaselineServiceName, kBaselineServiceExe);
    const BaselineService queue(manager.get(), kQueueBaselineServiceName, kQueueBaselineServiceExe);
    if (!bare.get() || !queue.get()) {
        std::fprintf(stderr, "baseline service could not be installed (error %lu)\n", ::GetLastError());
        return 1;
    }
    Baselines baselines{bare, queue, {}, {}};

    SampleInstallation installation;
    unique_schandle host(::OpenServiceW(manager.get(), g_serviceTable[kServiceIndexVemo].name, SERVICE_ALL_ACCESS));
    unique_handle inRun(::CreateSemaphoreW(nullptr, 0, kInRunSemaphoreMax, kInRunSemaphore));
    if (!installation.ready() || !host || !inRun) {
        std::fprintf(stderr, "sample installation could not be set up (error %lu)\n", ::GetLastError());
        return 1;
    }
    EndHostProcesses();

    std::printf("%-4s %12s %12s %12s %14s   (median of %d starts)\n", "N", "RUNNING ms", "all in Run", "stop ms",
                "private KiB", kRepetitions);
    std::vector<HostRun> medians;
    std::vector<double> running;  // RUNNING does not wait for the plug-ins: every start counts
    for (int n : kPluginCounts) {
        HostRun median;
        if (!MeasureMedian(installation, host.get(), inRun.get(), n, median, running, &baselines)) return 1;
        medians.push_back(median);
        std::printf("%-4d %12.1f %12.1f %12.1f %14.0f\n", n, median.runningMs, median.upMs, median.stopMs,
                    median.privateBytes / kKiB);
    }
    // The same start with the trace module writing only exceptions, errors and warnings.
    HostRun quiet;
    std::vector<double> quietRunning;
    if (!vemo::test::SetRegistryDword(kProductKey, kTraceLevelsValue, kQuietTraceLevels) ||
        !MeasureMedian(installation, host.get(), inRun.get(), kStopPluginCount, quiet, quietRunning, nullptr)) {
        vemo::test::DeleteRegistryValue(kProductKey, kTraceLevelsValue);
        return 1;
    }
    vemo::test::DeleteRegistryValue(kProductKey, kTraceLevelsValue);
    std::printf("%-4d %12.1f %12.1f %12.1f %14.0f   (TraceLevels %lu)\n", kStopPluginCount, quiet.runningMs,
                quiet.upMs, quiet.stopMs, quiet.privateBytes / kKiB, kQuietTraceLevels);

    const HostRun& none = medians.front();
    const HostRun& full = medians.back();
    const double runningMs = Median(running);
    const double baselineMs = Median(baselines.bareMs);
    const double queueBaselineMs = Median(baselines.queueMs);
    std::printf("baseline services, each started once before every start of the host above: RUNNING after %.1f ms, "
                "with a message queue after %.1f ms\n", baselineMs, queueBaselineMs);
    const double startRatio = runningMs / baselineMs;
    // Not a target of its own: the host needs a message queue, which the bare baseline does not make.
    Row("service start: StartServiceW to RUNNING, host / bare baseline",
        Format("%.1f / %.1f ms = %.2f x", runningMs, baselineMs, startRatio), "-", true);
    const double queueRatio = runningMs / queueBaselineMs;
    Row("service start, host / baseline with a message queue (user32)",
        Format("%.1f / %.1f ms = %.2f x", runningMs, queueBaselineMs, queueRatio),
        Format("<= %.1f x", kStartRatioTarget), queueRatio <= kStartRatioTarget);
    Row("plug-ins up, N = 64, TraceLevels 7 (normal course not written)", Format("%.1f ms", quiet.upMs), "-", true);
    const double upLimitMs = quiet.upMs * kUpTraceRatioTarget;
    for (size_t i = 1; i < medians.size(); ++i) {
        const std::string figure = "plug-ins up: StartServiceW to all in Run, N = " + std::to_string(kPluginCounts[i]);
        const bool last = i + 1 == medians.size();
        Row(figure.c_str(), Format("%.1f ms (%.2f x TraceLevels 7)", medians[i].upMs, medians[i].upMs / quiet.upMs),
            last ? Format("<= %.1f x = %.1f ms", kUpTraceRatioTarget, upLimitMs) : "-",
            !last || medians[i].upMs <= upLimitMs);
    }
    Row("stop: ControlService(STOP) to STOPPED, 64 plug-ins", Format("%.1f ms", full.stopMs),
        Format("<= %.0f ms", kStopTargetMs), full.stopMs <= kStopTargetMs);
    const double perPluginKiB =
        (static_cast<double>(full.privateBytes) - static_cast<double>(none.privateBytes)) / kKiB / kStopPluginCount;
    const double bareKiB = BareThreadKiB();
    const double beyondKiB = perPluginKiB - bareKiB;
    Row("footprint: private bytes per plug-in beyond its own thread",
        Format("%.0f KiB (%.0f per plug-in - %.0f idle thread)", beyondKiB, perPluginKiB, bareKiB),
        Format("<= %.0f KiB", kFootprintTargetKiB), beyondKiB <= kFootprintTargetKiB);
    return 0;
}
