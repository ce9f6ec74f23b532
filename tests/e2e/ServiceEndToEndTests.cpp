// The real executable against the service control manager: install, start, stop, uninstall,
// checked through the manager itself and through the trace file.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <knownfolders.h>
#include <shlobj.h>

#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "common/EventLog.h"
#include "common/UniqueHandle.h"

namespace {

using vemo::unique_schandle;
using namespace vemo::test;

constexpr wchar_t kMainService[] = L"TRUVO Kartenwacht-Dienst";
constexpr wchar_t kBasisService[] = L"TRUVO Kartenwacht-Basis-Dienst";
constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kHostExe[] = L"VeMoHost.exe";
constexpr DWORD kStateTimeoutMs = 30000;
constexpr DWORD kNoService = ERROR_SERVICE_DOES_NOT_EXIST;

std::wstring Executable() { return ExecutableDirectory() + L"VeMoHostService.exe"; }
DWORD RunExe(const std::wstring& arguments) {
    const ProcessResult result = RunProcess(Executable(), arguments, 60000);
    return result.finished ? result.exitCode : STILL_ACTIVE;
}

unique_schandle Open(const wchar_t* name, DWORD access) {
    const unique_schandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    return unique_schandle(::OpenServiceW(manager.get(), name, access));
}
// Last error of opening the service, or its Event Log source: 0 when it exists.
DWORD OpenError(const wchar_t* name) { return Open(name, SERVICE_QUERY_CONFIG) ? 0 : ::GetLastError(); }
LONG OpenSourceError(const wchar_t* name, vemo::unique_hkey& source) {
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, vemo::eventlog::SourceKeyPath(name).c_str(), 0, KEY_READ | KEY_WOW64_64KEY, source.put());
}

std::wstring Text(const wchar_t* text) { return text ? text : L"(null)"; }
// What the manager keeps of a service and its Event Log source, as one text to compare.
std::wstring Registration(const wchar_t* name) {
    const unique_schandle service = Open(name, SERVICE_QUERY_CONFIG);
    std::vector<BYTE> config(8192), description(8192);
    const auto* c = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config.data());
    const auto* d = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(description.data());
    DWORD needed = 0;
    if (!::QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data()), 8192, &needed) ||
        !::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, description.data(), 8192, &needed)) {
        return L"<not registered>";
    }
    vemo::unique_hkey source;
    wchar_t file[MAX_PATH] = {};
    DWORD bytes = sizeof(file), types = 0;
    OpenSourceError(name, source);
    ::RegGetValueW(source.get(), nullptr, L"EventMessageFile", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, file, &bytes);
    bytes = sizeof(types);
    ::RegGetValueW(source.get(), nullptr, L"TypesSupported", RRF_RT_REG_DWORD, nullptr, &types, &bytes);
    return std::to_wstring(c->dwServiceType) + L" " + std::to_wstring(c->dwStartType) + L" " + std::to_wstring(c->dwErrorControl) +
           L" " + Text(c->lpLoadOrderGroup) + L" " + Text(c->lpBinaryPathName) + L" " + Text(c->lpDisplayName) + L" " +
           Text(c->lpServiceStartName) + L" | " + Text(d->lpDescription) + L" | " + file + L" " + std::to_wstring(types);
}

SERVICE_STATUS_PROCESS Status(const wchar_t* name) {
    const unique_schandle service = Open(name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    ::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status), &needed);
    return status;
}
DWORD State(const wchar_t* name) { return Status(name).dwCurrentState; }
std::vector<DWORD> States() { return {State(kMainService), State(kBasisService)}; }
bool WaitForState(const wchar_t* name, DWORD state) { return WaitFor([&] { return State(name) == state; }, kStateTimeoutMs); }

class ServiceEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_scratch = std::make_unique<ScratchDirectory>(L"vemo_e2e");
        ASSERT_TRUE(SetRegistryString(kProductKey, L"TraceFile", TracePath()));
        ASSERT_TRUE(SetRegistryDword(kProductKey, L"TraceLevels", 0x1F));
        RunExe(L"/uninstall");
    }
    static void TearDownTestSuite() {
        RunExe(L"/uninstall");
        DeleteRegistryValue(kProductKey, L"TraceFile");
        DeleteRegistryValue(kProductKey, L"TraceLevels");
        s_scratch.reset();
    }
    static std::wstring TracePath() { return s_scratch->path() + L"trace.log"; }
    void SetUp() override { m_traceStart = ReadFileBytes(TracePath()).size(); }
    // A started service may have started the user-session host from the build's program folder.
    void TearDown() override {
        RunExe(L"/uninstall");
        EndProcessesNamed(kHostExe, kStateTimeoutMs);
    }

    // The trace written since the test began; with pid, only the lines that process wrote.
    size_t TraceCount(const std::string& text, DWORD pid = 0) const {
        const std::string all = ReadFileBytes(TracePath());
        const std::string column = "\t" + std::to_string(pid) + "\t";
        size_t count = 0;
        for (const std::string& line : SplitLines(all.size() > m_traceStart ? all.substr(m_traceStart) : std::string())) {
            count += line.find(text) != std::string::npos && (pid == 0 || line.find(column) != std::string::npos);
        }
        return count;
    }
    bool WaitForTrace(const std::string& text, size_t times = 1) const {
        return WaitFor([&] { return TraceCount(text) >= times; }, kStateTimeoutMs);
    }

    static inline std::unique_ptr<ScratchDirectory> s_scratch;
    size_t m_traceStart = 0;
};

TEST_F(ServiceEndToEnd, InstallRegistersBothServicesWithTheirEventSourcesAndAgainChangesNothing) {
    ASSERT_EQ(0u, RunExe(L"/install"));
    // Own process and interactive, automatic, normal errors, the group, the quoted path, the
    // account; the description; the Event Log source with this executable's message table.
    const std::wstring common = L"272 2 1 SmartCardGroup \"" + Executable() + L"\"";
    const std::wstring source = L" | " + Executable() + L" 7";
    EXPECT_EQ(common + L" TRUVO Kartenwacht-Dienst LocalSystem | Zentrale Komponente f\u00fcr Kartenwacht Plugins" + source,
              Registration(kMainService));
    EXPECT_EQ(common + L" /STARTPURE TRUVO Kartenwacht-Basis-Dienst LocalSystem | Zentrale Komponente f\u00fcr Kartenwacht Basis-Plugins" +
                  source,
              Registration(kBasisService));
    // Changed by hand: a second install must leave it alone.
    ASSERT_TRUE(::ChangeServiceConfigW(Open(kMainService, SERVICE_CHANGE_CONFIG).get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START,
                                       SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_EQ(0u, RunExe(L"-INSTALL"));
    EXPECT_EQ(L"272 3", Registration(kMainService).substr(0, 5));
    EXPECT_LT(0u, TraceCount("service \"TRUVO Kartenwacht-Dienst\" is now installed"));
    EXPECT_LT(0u, TraceCount("service \"TRUVO Kartenwacht-Basis-Dienst\" is already installed"));
}

// What the program does with its words (their parsing: ServiceLifecycleTests). Failures are traced, not
// reported by the exit code; without arguments it tries to run as a service, which from a console fails.
TEST_F(ServiceEndToEnd, IdentityWordsSelectOneServiceAndMissingServicesAreReported) {
    EXPECT_EQ(257u, RunExe(L"/install BASE extra"));
    EXPECT_EQ(kNoService, OpenError(kBasisService));
    ASSERT_EQ(0u, RunExe(L"/install BASE"));
    EXPECT_EQ((std::vector<DWORD>{kNoService, 0}), (std::vector<DWORD>{OpenError(kMainService), OpenError(kBasisService)}));
    ASSERT_EQ(0u, RunExe(L"BASE /uninstall"));
    EXPECT_EQ(kNoService, OpenError(kBasisService));
    vemo::unique_hkey source;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenSourceError(kBasisService, source)) << "the event source outlived its service";
    for (const wchar_t* command : {L"/stop", L"/uninstall", L"/start", L""}) EXPECT_EQ(0u, RunExe(command)) << Narrow(command);
    for (const char* line : {"could not stop service \"TRUVO Kartenwacht-Dienst\", because it is not installed",
                             "service \"TRUVO Kartenwacht-Basis-Dienst\" is not installed",
                             "could not start service \"TRUVO Kartenwacht-Dienst\", because it is not installed",
                             "error starting Windows-service <TRUVO Kartenwacht-Dienst>. LastError <"}) {
        EXPECT_LT(0u, TraceCount(line)) << line;
    }
}

constexpr char kHostStartedLine[] = "VeMoHost gestartet, pid <";

class SampleInstallation : public ServiceEndToEnd {
protected:
    void SetUp() override {
        ServiceEndToEnd::SetUp();
        EndProcessesNamed(kHostExe, kStateTimeoutMs);
        vemo::unique_cotaskmem folder;
        ASSERT_TRUE(SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, reinterpret_cast<PWSTR*>(folder.put()))));
        m_konfig = std::wstring(static_cast<const wchar_t*>(folder.get())) + L"\\Truvo\\Konfig\\VeMoCompact\\";
        const int created = ::SHCreateDirectoryExW(nullptr, m_konfig.c_str(), nullptr);
        ASSERT_TRUE(created == ERROR_SUCCESS || created == ERROR_ALREADY_EXISTS) << created;
        ASSERT_TRUE(SetRegistryString(kProductKey, L"CompVersion", L"1.0"));
        ASSERT_TRUE(SetRegistryString(kProductKey, L"ProgKey", ExecutableDirectory()));
        ASSERT_TRUE(RegisterComponent(kBasisComponent, s_scratch->path()));
        DeleteRegistryValue(kRunKey, L"QRNServ");
        ASSERT_TRUE(WritePluginConfiguration(m_konfig + L"B0000001.xml", {{.name = L"HauptPlugin", .run = L"RunPollStop"},
                                                                          {.name = L"BasisPlugin", .run = L"RunPollStop", .pure = true}}));
        ASSERT_TRUE(WritePluginConfiguration(s_scratch->path() + L"B0000002.xml", {{.name = L"ZweitPlugin"}}));
    }
    void TearDown() override {
        ServiceEndToEnd::TearDown();
        ::DeleteFileW((m_konfig + L"B0000001.xml").c_str());
        DeleteRegistryTree(std::wstring(kComponentsKey) + kBasisComponent);
        DeleteRegistryValue(kProductKey, L"CompVersion");
        DeleteRegistryValue(kProductKey, L"ProgKey");
        DeleteRegistryValue(kRunKey, L"QRNServ");
    }
    // How often each plug-in's start line shows among that process's lines.
    std::vector<size_t> PluginStarts(DWORD pid) const {
        std::vector<size_t> counts;
        for (const char* plugin : {"HauptPlugin", "ZweitPlugin", "BasisPlugin"}) {
            counts.push_back(TraceCount("Init() fertig - PluginName <" + std::string(plugin) + ">, rufen Run()", pid));
        }
        return counts;
    }
    std::wstring m_konfig;
};

// Each service runs its own plug-ins; the host starts once; controls other than stop leave a service
// running; a stop waits until both have stopped, and a stop at the first sight of RUNNING still ends one.
TEST_F(SampleInstallation, EachServiceRunsItsOwnPluginsTheHostStartsOnceAndEveryStopEndsIt) {
    ASSERT_EQ(0u, RunExe(L"/install"));
    ASSERT_EQ(0u, RunExe(L"/start VEMO"));
    ASSERT_TRUE(WaitForState(kMainService, SERVICE_RUNNING));
    ASSERT_TRUE(WaitForTrace("InitEvent set"));
    const DWORD mainPid = Status(kMainService).dwProcessId;
    // The service runs as the build made it: the x86 product under WOW64 in the 64-bit prefix.
    const vemo::unique_handle mainProcess(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, mainPid));
    BOOL wow64 = FALSE;
    ASSERT_TRUE(mainProcess && ::IsWow64Process(mainProcess.get(), &wow64));
    EXPECT_EQ(sizeof(void*) == 4, wow64 != FALSE);
    EXPECT_EQ((std::vector<size_t>{1, 1, 0}), PluginStarts(mainPid));
    EXPECT_EQ(L"\"" + ExecutableDirectory() + kHostExe + L"\"", ReadRegistryString(kRunKey, L"QRNServ"));
    // The host starts after the barrier and leaves its line.
    EXPECT_TRUE(WaitForTrace(kHostStartedLine));
    EXPECT_EQ(1u, ProcessIdsNamed(kHostExe).size());

    ASSERT_EQ(0u, RunExe(L"/start"));  // the main service runs already: starts the basis one
    ASSERT_TRUE(WaitForState(kBasisService, SERVICE_RUNNING));
    ASSERT_TRUE(WaitForTrace("InitEvent set", 2));
    const DWORD basisPid = Status(kBasisService).dwProcessId;
    EXPECT_EQ((std::vector<size_t>{0, 0, 1}), PluginStarts(basisPid));
    // The host runs already: not started a second time.
    EXPECT_EQ(0u, TraceCount("VeMoHost läuft noch nicht", basisPid));
    EXPECT_EQ((std::vector<size_t>{1, 1}), (std::vector<size_t>{ProcessIdsNamed(kHostExe).size(), TraceCount(kHostStartedLine)}));
    // Both processes serve their service through the first record's object, whose name they trace.
    EXPECT_TRUE(WaitForTrace("service \"TRUVO Kartenwacht-Dienst\" started", 2));
    const unique_schandle service = Open(kMainService, SERVICE_ALL_ACCESS);
    SERVICE_STATUS status{};
    EXPECT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status));
    ::ControlService(service.get(), 200, &status);
    EXPECT_TRUE(WaitForTrace("bad service request!"));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), State(kMainService));

    ASSERT_EQ(0u, RunExe(L"/stop"));  // returns only once each service has stopped
    EXPECT_EQ((std::vector<DWORD>{SERVICE_STOPPED, SERVICE_STOPPED}), States());
    for (const auto& [pid, plugin] : {std::pair{mainPid, "HauptPlugin"}, std::pair{basisPid, "BasisPlugin"}}) {
        EXPECT_EQ(1u, TraceCount("Keine aktiven Plugins mehr vorhanden!", pid));
        EXPECT_EQ(1u, TraceCount("PlugIn<" + std::string(plugin) + ">::UN-Init dauerte", pid));
    }
    EXPECT_EQ(0u, TraceCount("soll abgeschossen werden"));
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        // The manager may report STOPPED while the last process is still leaving; then a start
        // is refused with ERROR_SERVICE_ALREADY_RUNNING for a moment (seen under Wine).
        DWORD startError = ERROR_SERVICE_ALREADY_RUNNING;
        WaitFor([&] {
            startError = ::StartServiceW(service.get(), 0, nullptr) ? ERROR_SUCCESS : ::GetLastError();
            return startError != ERROR_SERVICE_ALREADY_RUNNING;
        }, kStateTimeoutMs);
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), startError);
        ASSERT_TRUE(WaitForState(kMainService, SERVICE_RUNNING));
        ASSERT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
        EXPECT_TRUE(WaitForState(kMainService, SERVICE_STOPPED));
    }
}

}  // namespace
