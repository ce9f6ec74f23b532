// The real executable against the service control manager: install, start, stop, uninstall,
// checked through the manager itself and through the trace file.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <knownfolders.h>
#include <shlobj.h>

#include <memory>
#include <tuple>
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
// Last error of opening the service: 0 when it exists.
DWORD OpenError(const wchar_t* name) { return Open(name, SERVICE_QUERY_CONFIG) ? 0 : ::GetLastError(); }
// Last error of opening the service's Event Log source: 0 when it exists.
LONG OpenSourceError(const wchar_t* name, vemo::unique_hkey& source) {
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, vemo::eventlog::SourceKeyPath(name).c_str(), 0, KEY_READ | KEY_WOW64_64KEY,
                           source.put());
}

// The configuration the manager keeps (zeroed when there is none) and the description.
struct ServiceConfig {
    std::vector<BYTE> buffer = std::vector<BYTE>(8192);
    const QUERY_SERVICE_CONFIGW* operator->() const { return reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data()); }
    std::wstring description;
};
ServiceConfig QueryConfig(const wchar_t* name) {
    const unique_schandle service = Open(name, SERVICE_QUERY_CONFIG);
    ServiceConfig config;
    std::vector<BYTE> description(8192);
    DWORD needed = 0;
    ::QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.buffer.data()), 8192, &needed);
    if (::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, description.data(), 8192, &needed)) {
        const wchar_t* text = reinterpret_cast<SERVICE_DESCRIPTIONW*>(description.data())->lpDescription;
        config.description = text ? text : L"";
    }
    return config;
}
std::wstring Text(const wchar_t* text) { return text ? text : L""; }

SERVICE_STATUS_PROCESS Status(const wchar_t* name) {
    const unique_schandle service = Open(name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    ::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status), &needed);
    return status;
}
DWORD State(const wchar_t* name) { return Status(name).dwCurrentState; }
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
    bool TraceHas(const std::string& text) const { return TraceCount(text) > 0; }
    bool WaitForTrace(const std::string& text, size_t times = 1) const {
        return WaitFor([&] { return TraceCount(text) >= times; }, kStateTimeoutMs);
    }

    static inline std::unique_ptr<ScratchDirectory> s_scratch;
    size_t m_traceStart = 0;
};

TEST_F(ServiceEndToEnd, InstallRegistersBothServicesWithTheirEventSourcesAndAgainChangesNothing) {
    ASSERT_EQ(0u, RunExe(L"/install"));
    const std::wstring quoted = L"\"" + Executable() + L"\"";
    for (const auto& [name, binaryPath, description] :
         {std::tuple{kMainService, quoted, L"Zentrale Komponente f\u00fcr Kartenwacht Plugins"},
          std::tuple{kBasisService, quoted + L" /STARTPURE", L"Zentrale Komponente f\u00fcr Kartenwacht Basis-Plugins"}}) {
        SCOPED_TRACE(Narrow(name));
        const ServiceConfig config = QueryConfig(name);
        EXPECT_EQ(0x110u, config->dwServiceType);  // own process, interactive
        EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config->dwStartType);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config->dwErrorControl);
        EXPECT_EQ(L"SmartCardGroup", Text(config->lpLoadOrderGroup));
        EXPECT_EQ(binaryPath, Text(config->lpBinaryPathName));
        EXPECT_EQ(name, Text(config->lpDisplayName));
        EXPECT_EQ(L"LocalSystem", Text(config->lpServiceStartName));
        EXPECT_EQ(description, config.description);
        // The Event Log source, with this executable's message table.
        vemo::unique_hkey source;
        ASSERT_EQ(ERROR_SUCCESS, OpenSourceError(name, source));
        wchar_t file[MAX_PATH] = {};
        DWORD bytes = sizeof(file), types = 0;
        EXPECT_EQ(ERROR_SUCCESS, ::RegGetValueW(source.get(), nullptr, L"EventMessageFile", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                                                nullptr, file, &bytes));
        EXPECT_EQ(Executable(), std::wstring(file));
        bytes = sizeof(types);
        EXPECT_EQ(ERROR_SUCCESS, ::RegGetValueW(source.get(), nullptr, L"TypesSupported", RRF_RT_REG_DWORD, nullptr, &types, &bytes));
        EXPECT_EQ(static_cast<DWORD>(EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE), types);
    }
    EXPECT_TRUE(TraceHas("service \"TRUVO Kartenwacht-Dienst\" is now installed"));

    // Changed by hand: a second install must leave it alone.
    ASSERT_TRUE(::ChangeServiceConfigW(Open(kMainService, SERVICE_CHANGE_CONFIG).get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START,
                                       SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_EQ(0u, RunExe(L"-INSTALL"));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), QueryConfig(kMainService)->dwStartType);
    EXPECT_TRUE(TraceHas("service \"TRUVO Kartenwacht-Basis-Dienst\" is already installed"));
}

// The words' parsing is EntryPointTests' business; here what the program does with them.
TEST_F(ServiceEndToEnd, IdentityWordsSelectOneServiceAndTooManyArgumentsChangeNothing) {
    EXPECT_EQ(257u, RunExe(L"/install BASE extra"));
    EXPECT_EQ(kNoService, OpenError(kBasisService));
    EXPECT_TRUE(TraceHas("Too many arguments! Only 3 arguments are allowed: VeMoHostService /<command> [sc]"));
    ASSERT_EQ(0u, RunExe(L"/install BASE"));
    EXPECT_EQ(0u, OpenError(kBasisService));
    EXPECT_EQ(kNoService, OpenError(kMainService));
    ASSERT_EQ(0u, RunExe(L"BASE /uninstall"));
    EXPECT_EQ(kNoService, OpenError(kBasisService));
    vemo::unique_hkey source;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenSourceError(kBasisService, source)) << "the event source outlived its service";
}

TEST_F(ServiceEndToEnd, StartRunsBothAndStopWaitsUntilTheyHaveStopped) {
    ASSERT_EQ(0u, RunExe(L"/install"));
    ASSERT_EQ(0u, RunExe(L"/start"));
    EXPECT_TRUE(WaitForState(kMainService, SERVICE_RUNNING));
    EXPECT_TRUE(WaitForState(kBasisService, SERVICE_RUNNING));
    // Both processes serve their service through the first record's object, whose name they trace.
    EXPECT_TRUE(WaitForTrace("service \"TRUVO Kartenwacht-Dienst\" started", 2));
    EXPECT_TRUE(TraceHas("call to start service \"TRUVO Kartenwacht-Dienst\" was successful"));
    // Controls other than stop leave the service running; unknown ones are reported.
    const unique_schandle service = Open(kMainService, SERVICE_ALL_ACCESS);
    SERVICE_STATUS status{};
    EXPECT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_INTERROGATE, &status));
    ::ControlService(service.get(), 200, &status);
    EXPECT_TRUE(WaitForTrace("bad service request!"));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), State(kMainService));

    EXPECT_EQ(0u, RunExe(L"/stop"));  // returns only once each service has stopped
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State(kMainService));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State(kBasisService));
    EXPECT_EQ(2u, TraceCount("setting stop-state for \"TRUVO Kartenwacht-Dienst\""));

    // A stop at the first sight of RUNNING, while the service may not be in its loop yet, still ends it.
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

TEST_F(ServiceEndToEnd, MissingServicesStopAndUninstallSuccessfullyButDoNotStart) {
    ASSERT_EQ(0u, RunExe(L"/install"));
    ASSERT_EQ(0u, RunExe(L"/uninstall"));
    EXPECT_EQ(kNoService, OpenError(kMainService));
    EXPECT_EQ(kNoService, OpenError(kBasisService));
    EXPECT_TRUE(TraceHas("service \"TRUVO Kartenwacht-Dienst\" is now uninstalled"));
    EXPECT_EQ(0u, RunExe(L"/stop"));
    EXPECT_EQ(0u, RunExe(L"/uninstall"));
    EXPECT_EQ(0u, RunExe(L"/start"));  // failures are traced, not reported by the exit code
    EXPECT_TRUE(TraceHas("could not stop service \"TRUVO Kartenwacht-Dienst\", because it is not installed"));
    EXPECT_TRUE(TraceHas("service \"TRUVO Kartenwacht-Basis-Dienst\" is not installed"));
    EXPECT_TRUE(TraceHas("could not start service \"TRUVO Kartenwacht-Dienst\", because it is not installed"));
    // Without arguments it tries to run as a service, which from the console fails.
    EXPECT_EQ(0u, RunExe(L""));
    EXPECT_TRUE(TraceHas("error starting Windows-service <TRUVO Kartenwacht-Dienst>. LastError <"));
}

// --- a sample installation: plug-ins of both services and the user-session host -------------

constexpr wchar_t kBasisComponentKey[] = L"SOFTWARE\\TRUVOeg\\Components\\B0003811";
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
        ASSERT_TRUE(SetRegistryString(std::wstring(kBasisComponentKey) + L"\\Versions\\1.0", L"CompVersion", L"1.0"));
        ASSERT_TRUE(SetRegistryString(std::wstring(kBasisComponentKey) + L"\\Versions\\1.0\\ConfigDir", L"", s_scratch->path()));
        DeleteRegistryValue(kRunKey, L"QRNServ");
        ASSERT_TRUE(WritePluginConfiguration(m_konfig + L"B0000001.xml", {{.name = L"HauptPlugin", .run = L"RunPollStop"},
                                                                          {.name = L"BasisPlugin", .run = L"RunPollStop", .pure = true}}));
        ASSERT_TRUE(WritePluginConfiguration(s_scratch->path() + L"B0000002.xml", {{.name = L"ZweitPlugin"}}));
    }
    void TearDown() override {
        ServiceEndToEnd::TearDown();
        ::DeleteFileW((m_konfig + L"B0000001.xml").c_str());
        ::DeleteFileW((s_scratch->path() + L"B0000002.xml").c_str());
        DeleteRegistryTree(kBasisComponentKey);
        DeleteRegistryValue(kProductKey, L"CompVersion");
        DeleteRegistryValue(kProductKey, L"ProgKey");
        DeleteRegistryValue(kRunKey, L"QRNServ");
    }
    std::wstring m_konfig;
};

TEST_F(SampleInstallation, EachServiceRunsItsOwnPluginsAndTheHostStartsOnce) {
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
    EXPECT_EQ(1u, TraceCount("Init() fertig - PluginName <HauptPlugin>, rufen Run()", mainPid));
    EXPECT_EQ(1u, TraceCount("Init() fertig - PluginName <ZweitPlugin>, rufen Run()", mainPid));
    EXPECT_EQ(0u, TraceCount("PluginName <BasisPlugin>", mainPid));
    EXPECT_EQ(L"\"" + ExecutableDirectory() + kHostExe + L"\"", ReadRegistryString(kRunKey, L"QRNServ"));
    // The host starts after the barrier and leaves its line.
    EXPECT_TRUE(WaitForTrace(kHostStartedLine));
    EXPECT_EQ(1u, ProcessIdsNamed(kHostExe).size());

    ASSERT_EQ(0u, RunExe(L"/start BASE"));
    ASSERT_TRUE(WaitForState(kBasisService, SERVICE_RUNNING));
    ASSERT_TRUE(WaitForTrace("InitEvent set", 2));
    const DWORD basisPid = Status(kBasisService).dwProcessId;
    EXPECT_EQ(1u, TraceCount("Init() fertig - PluginName <BasisPlugin>, rufen Run()", basisPid));
    EXPECT_EQ(0u, TraceCount("PluginName <HauptPlugin>", basisPid) + TraceCount("PluginName <ZweitPlugin>", basisPid));
    // The host runs already: not started a second time.
    EXPECT_EQ(0u, TraceCount("VeMoHost läuft noch nicht", basisPid));
    EXPECT_EQ(1u, ProcessIdsNamed(kHostExe).size());
    EXPECT_EQ(1u, TraceCount(kHostStartedLine));

    ASSERT_EQ(0u, RunExe(L"/stop"));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State(kMainService));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State(kBasisService));
    for (const auto& [pid, plugin] : {std::pair{mainPid, "HauptPlugin"}, std::pair{basisPid, "BasisPlugin"}}) {
        EXPECT_EQ(1u, TraceCount("Keine aktiven Plugins mehr vorhanden!", pid));
        EXPECT_EQ(1u, TraceCount("PlugIn<" + std::string(plugin) + ">::UN-Init dauerte", pid));
    }
    EXPECT_EQ(0u, TraceCount("soll abgeschossen werden"));
}

}  // namespace
