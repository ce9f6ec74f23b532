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
constexpr wchar_t kProductKey[] = L"SOFTWARE\\TRUVO VeMo Compact";
constexpr DWORD kAllTraceLevels = 0x1F;
constexpr DWORD kCommandTimeoutMs = 60000;
constexpr DWORD kStateTimeoutMs = 30000;
constexpr DWORD kExpectedServiceType = 0x110;

std::wstring Executable() { return ExecutableDirectory() + L"VeMoHostService.exe"; }

ProcessResult RunExe(const std::wstring& arguments) { return RunProcess(Executable(), arguments, kCommandTimeoutMs); }

unique_schandle Manager() { return unique_schandle(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)); }

// Last error of opening the service: 0 when it exists.
DWORD OpenError(const wchar_t* name) {
    unique_schandle manager = Manager();
    unique_schandle service(::OpenServiceW(manager.get(), name, SERVICE_QUERY_CONFIG));
    return service ? 0 : ::GetLastError();
}

struct ServiceConfig {
    DWORD type = 0, startType = 0, errorControl = 0;
    std::wstring binaryPath, group, displayName, account, description;
};

ServiceConfig QueryConfig(const wchar_t* name) {
    ServiceConfig config;
    unique_schandle manager = Manager();
    unique_schandle service(::OpenServiceW(manager.get(), name, SERVICE_QUERY_CONFIG));
    if (!service) return config;
    DWORD needed = 0;
    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* qsc = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (::QueryServiceConfigW(service.get(), qsc, needed, &needed)) {
        config.type = qsc->dwServiceType;
        config.startType = qsc->dwStartType;
        config.errorControl = qsc->dwErrorControl;
        config.binaryPath = qsc->lpBinaryPathName ? qsc->lpBinaryPathName : L"";
        config.group = qsc->lpLoadOrderGroup ? qsc->lpLoadOrderGroup : L"";
        config.displayName = qsc->lpDisplayName ? qsc->lpDisplayName : L"";
        config.account = qsc->lpServiceStartName ? qsc->lpServiceStartName : L"";
    }
    needed = 0;
    ::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    std::vector<BYTE> descBuffer(needed + sizeof(SERVICE_DESCRIPTIONW));
    auto* desc = reinterpret_cast<SERVICE_DESCRIPTIONW*>(descBuffer.data());
    if (::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, descBuffer.data(),
                               static_cast<DWORD>(descBuffer.size()), &needed) &&
        desc->lpDescription) {
        config.description = desc->lpDescription;
    }
    return config;
}

SERVICE_STATUS_PROCESS Status(const wchar_t* name) {
    unique_schandle manager = Manager();
    unique_schandle service(::OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service || !::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                            sizeof(status), &needed)) {
        return SERVICE_STATUS_PROCESS{};
    }
    return status;
}

DWORD State(const wchar_t* name) { return Status(name).dwCurrentState; }

bool WaitForState(const wchar_t* name, DWORD state) {
    return WaitFor([&] { return State(name) == state; }, kStateTimeoutMs);
}

bool SendControl(const wchar_t* name, DWORD control) {
    unique_schandle manager = Manager();
    unique_schandle service(::OpenServiceW(manager.get(), name, SERVICE_ALL_ACCESS));
    SERVICE_STATUS status{};
    return service && ::ControlService(service.get(), control, &status);
}

constexpr wchar_t kHostExe[] = L"VeMoHost.exe";

std::vector<DWORD> HostProcesses() { return ProcessIdsNamed(kHostExe); }

void EndHostProcesses() { EndProcessesNamed(kHostExe, kStateTimeoutMs); }

class ServiceEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_scratch = std::make_unique<ScratchDirectory>(L"vemo_e2e");
        s_tracePath = s_scratch->path() + L"trace.log";
        ASSERT_TRUE(SetRegistryString(kProductKey, L"TraceFile", s_tracePath));
        ASSERT_TRUE(SetRegistryDword(kProductKey, L"TraceLevels", kAllTraceLevels));
        RunExe(L"/uninstall");
    }
    static void TearDownTestSuite() {
        RunExe(L"/uninstall");
        DeleteRegistryValue(kProductKey, L"TraceFile");
        DeleteRegistryValue(kProductKey, L"TraceLevels");
        s_scratch.reset();
    }
    void SetUp() override { m_traceStart = ReadFileBytes(s_tracePath).size(); }
    // A started service may have started the user-session host from the build's program folder.
    void TearDown() override {
        RunExe(L"/uninstall");
        EndHostProcesses();
    }

    // The trace written since the test began.
    std::string NewTrace() const {
        const std::string all = ReadFileBytes(s_tracePath);
        return all.size() > m_traceStart ? all.substr(m_traceStart) : std::string();
    }
    bool TraceHas(const std::string& text) const { return NewTrace().find(text) != std::string::npos; }
    size_t TraceCount(const std::string& text) const {
        const std::string trace = NewTrace();
        size_t count = 0;
        for (size_t at = trace.find(text); at != std::string::npos; at = trace.find(text, at + 1)) ++count;
        return count;
    }
    bool WaitForTrace(const std::string& text, size_t times = 1) const {
        return WaitFor([&] { return TraceCount(text) >= times; }, kStateTimeoutMs);
    }

    static std::unique_ptr<ScratchDirectory> s_scratch;
    static std::wstring s_tracePath;
    size_t m_traceStart = 0;
};

std::unique_ptr<ScratchDirectory> ServiceEndToEnd::s_scratch;
std::wstring ServiceEndToEnd::s_tracePath;

TEST_F(ServiceEndToEnd, InstallRegistersBothServicesAndAgainChangesNothing) {
    ASSERT_EQ(0u, RunExe(L"/install").exitCode);
    const std::wstring quoted = L"\"" + Executable() + L"\"";
    const std::pair<const wchar_t*, std::wstring> expected[] = {
        {kMainService, quoted},
        {kBasisService, quoted + L" /STARTPURE"},
    };
    for (const auto& [name, binaryPath] : expected) {
        SCOPED_TRACE(vemo::test::Narrow(name));
        const ServiceConfig config = QueryConfig(name);
        EXPECT_EQ(kExpectedServiceType, config.type);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config.startType);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config.errorControl);
        EXPECT_EQ(L"SmartCardGroup", config.group);
        EXPECT_EQ(binaryPath, config.binaryPath);
        EXPECT_EQ(name, config.displayName);
        EXPECT_EQ(L"LocalSystem", config.account);
    }
    // Each service has its Event Log source, with this executable's message table.
    for (const auto& [name, binaryPath] : expected) {
        vemo::unique_hkey source;
        ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, vemo::eventlog::SourceKeyPath(name).c_str(), 0,
                                                 KEY_READ | KEY_WOW64_64KEY, source.put()))
            << vemo::test::Narrow(name);
        wchar_t file[MAX_PATH] = {};
        DWORD bytes = sizeof(file);
        DWORD type = REG_NONE;
        EXPECT_EQ(ERROR_SUCCESS, ::RegQueryValueExW(source.get(), L"EventMessageFile", nullptr, &type,
                                                    reinterpret_cast<BYTE*>(file), &bytes));
        EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
        EXPECT_EQ(Executable(), std::wstring(file));
        DWORD types = 0;
        bytes = sizeof(types);
        EXPECT_EQ(ERROR_SUCCESS, ::RegQueryValueExW(source.get(), L"TypesSupported", nullptr, &type,
                                                    reinterpret_cast<BYTE*>(&types), &bytes));
        EXPECT_EQ(static_cast<DWORD>(EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE), types);
    }
    EXPECT_EQ(L"Zentrale Komponente f\u00fcr Kartenwacht Plugins", QueryConfig(kMainService).description);
    EXPECT_EQ(L"Zentrale Komponente f\u00fcr Kartenwacht Basis-Plugins", QueryConfig(kBasisService).description);
    EXPECT_TRUE(TraceHas("service \"TRUVO Kartenwacht-Dienst\" is now installed"));

    // Changed by hand: a second install must leave it alone.
    {
        unique_schandle manager = Manager();
        unique_schandle service(::OpenServiceW(manager.get(), kMainService, SERVICE_CHANGE_CONFIG));
        ASSERT_TRUE(service);
        ASSERT_TRUE(::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE,
                                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    }
    ASSERT_EQ(0u, RunExe(L"-INSTALL").exitCode);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), QueryConfig(kMainService).startType);
    EXPECT_EQ(quoted + L" /STARTPURE", QueryConfig(kBasisService).binaryPath);
    EXPECT_TRUE(TraceHas("service \"TRUVO Kartenwacht-Basis-Dienst\" is already installed"));
}

TEST_F(ServiceEndToEnd, IdentityWordsSelectOneService) {
    ASSERT_EQ(0u, RunExe(L"/install BASE").exitCode);
    EXPECT_EQ(0u, OpenError(kBasisService));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenError(kMainService));
    ASSERT_EQ(0u, RunExe(L"BASE /uninstall").exitCode);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenError(kBasisService));
    vemo::unique_hkey source;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, vemo::eventlog::SourceKeyPath(kBasisService).c_str(),
                                                    0, KEY_READ | KEY_WOW64_64KEY, source.put()))
        << "the event source outlived its service";
    // Three arguments are too many even when they name a command and identities.
    EXPECT_EQ(257u, RunExe(L"BASE -install VEMO").exitCode);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenError(kMainService));
    ASSERT_EQ(0u, RunExe(L"-install VEMO").exitCode);
    EXPECT_EQ(0u, OpenError(kMainService));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenError(kBasisService));
    EXPECT_EQ(L"\"" + Executable() + L"\"", QueryConfig(kMainService).binaryPath);
}

TEST_F(ServiceEndToEnd, StartRunsBothAndStopWaitsUntilTheyHaveStopped) {
    ASSERT_EQ(0u, RunExe(L"/install").exitCode);
    ASSERT_EQ(0u, RunExe(L"/start").exitCode);
    EXPECT_TRUE(WaitForState(kMainService, SERVICE_RUNNING));
    EXPECT_TRUE(WaitForState(kBasisService, SERVICE_RUNNING));
    // Both processes serve their service through the first record's object, whose name they trace.
    EXPECT_TRUE(WaitForTrace("service \"TRUVO Kartenwacht-Dienst\" started", 2));
    EXPECT_TRUE(TraceHas("call to start service \"TRUVO Kartenwacht-Dienst\" was successful"));

    // Controls other than stop leave the service running; unknown ones are reported.
    EXPECT_TRUE(SendControl(kMainService, SERVICE_CONTROL_INTERROGATE));
    SendControl(kMainService, 200);
    EXPECT_TRUE(WaitForTrace("bad service request!"));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), State(kMainService));

    const ProcessResult stop = RunExe(L"/stop");
    ASSERT_TRUE(stop.finished);
    EXPECT_EQ(0u, stop.exitCode);
    // /stop returns only once each service has stopped.
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State(kMainService));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State(kBasisService));
    EXPECT_TRUE(TraceHas("service \"TRUVO Kartenwacht-Dienst\" has stopped."));
    EXPECT_EQ(2u, TraceCount("setting stop-state for \"TRUVO Kartenwacht-Dienst\""));
}

TEST_F(ServiceEndToEnd, AStopRightAfterRunningStillEndsTheService) {
    ASSERT_EQ(0u, RunExe(L"/install VEMO").exitCode);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        unique_schandle manager = Manager();
        unique_schandle service(::OpenServiceW(manager.get(), kMainService, SERVICE_ALL_ACCESS));
        ASSERT_TRUE(service);
        // The manager may report STOPPED while the last round's process is still leaving; then a
        // start is refused with ERROR_SERVICE_ALREADY_RUNNING for a moment (seen under Wine).
        DWORD startError = ERROR_SERVICE_ALREADY_RUNNING;
        WaitFor([&] {
            startError = ::StartServiceW(service.get(), 0, nullptr) ? ERROR_SUCCESS : ::GetLastError();
            return startError != ERROR_SERVICE_ALREADY_RUNNING;
        }, kStateTimeoutMs);
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), startError);
        // Stop at the first sight of RUNNING, while the service may not be in its loop yet.
        ASSERT_TRUE(WaitFor([&] { return State(kMainService) == SERVICE_RUNNING; }, kStateTimeoutMs));
        SERVICE_STATUS status{};
        ASSERT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
        EXPECT_TRUE(WaitForState(kMainService, SERVICE_STOPPED));
    }
}

TEST_F(ServiceEndToEnd, MissingServicesStopAndUninstallSuccessfullyButDoNotStart) {
    ASSERT_EQ(0u, RunExe(L"/install").exitCode);
    ASSERT_EQ(0u, RunExe(L"/uninstall").exitCode);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenError(kMainService));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenError(kBasisService));
    EXPECT_TRUE(TraceHas("service \"TRUVO Kartenwacht-Dienst\" is now uninstalled"));

    EXPECT_EQ(0u, RunExe(L"/stop").exitCode);
    EXPECT_EQ(0u, RunExe(L"/uninstall").exitCode);
    EXPECT_EQ(0u, RunExe(L"/start").exitCode);  // failures are traced, not reported by the exit code
    EXPECT_TRUE(TraceHas("could not stop service \"TRUVO Kartenwacht-Dienst\", because it is not installed"));
    EXPECT_TRUE(TraceHas("service \"TRUVO Kartenwacht-Basis-Dienst\" is not installed"));
    EXPECT_TRUE(TraceHas("could not start service \"TRUVO Kartenwacht-Dienst\", because it is not installed"));
    EXPECT_TRUE(TraceHas("OpenService() failed with <1060>!"));
}

TEST_F(ServiceEndToEnd, TooManyArgumentsEndWith257AndChangeNothing) {
    const ProcessResult result = RunExe(L"/install BASE extra");
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(257u, result.exitCode);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), OpenError(kBasisService));
    EXPECT_TRUE(TraceHas("Too many arguments! Only 3 arguments are allowed: VeMoHostService /<command> [sc]"));
    EXPECT_FALSE(TraceHas("kommando <"));
}

TEST_F(ServiceEndToEnd, WithoutArgumentsItTriesToRunAsServiceFromTheConsole) {
    const ProcessResult result = RunExe(L"");
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_TRUE(TraceHas("kommando <NULL>"));
    EXPECT_TRUE(TraceHas("error starting Windows-service <TRUVO Kartenwacht-Dienst>. LastError <"));
    EXPECT_TRUE(TraceHas("---> Beginn: CService::Start ("));
}

// --- a sample installation: plug-ins of both services and the user-session host -------------

constexpr wchar_t kBasisComponentKey[] = L"SOFTWARE\\TRUVOeg\\Components\\B0003811";
constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"QRNServ";
constexpr char kHostStartedLine[] = "VeMoHost gestartet, pid <";

std::wstring ProgramDataKonfigDir() {
    vemo::unique_cotaskmem folder;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, reinterpret_cast<PWSTR*>(folder.put())))) {
        return L"";
    }
    return std::wstring(static_cast<const wchar_t*>(folder.get())) + L"\\Truvo\\Konfig\\VeMoCompact\\";
}

std::string PluginElement(const char* name, bool pure, const char* run) {
    return std::string("<plugin type=\"dll\" description=\"") + name + "\"><BinaryName>TestPlugin.dll</BinaryName><Path>" +
           Narrow(ExecutableDirectory()) + "</Path><System>true</System><Pure>" + (pure ? "true" : "false") +
           "</Pure><implements run=\"" + run + "\"/></plugin>";
}

void WritePluginFile(const std::wstring& path, const std::string& plugins) {
    ASSERT_TRUE(vemo::test::WriteFileBytes(path, "<?xml version=\"1.0\"?><root>" + plugins + "</root>"));
}

DWORD ServiceProcessId(const wchar_t* name) { return Status(name).dwProcessId; }

std::wstring ReadRunKey() { return ReadRegistryString(kRunKey, kRunValue).value_or(L""); }

class SampleInstallation : public ServiceEndToEnd {
protected:
    void SetUp() override {
        ServiceEndToEnd::SetUp();
        EndHostProcesses();
        m_konfig = ProgramDataKonfigDir();
        ASSERT_FALSE(m_konfig.empty());
        const int created = ::SHCreateDirectoryExW(nullptr, m_konfig.c_str(), nullptr);
        ASSERT_TRUE(created == ERROR_SUCCESS || created == ERROR_ALREADY_EXISTS) << created;
        ASSERT_TRUE(SetRegistryString(kProductKey, L"CompVersion", L"1.0"));
        ASSERT_TRUE(SetRegistryString(kProductKey, L"ProgKey", ExecutableDirectory()));
        ASSERT_TRUE(SetRegistryString(std::wstring(kBasisComponentKey) + L"\\Versions\\1.0", L"CompVersion", L"1.0"));
        ASSERT_TRUE(SetRegistryString(std::wstring(kBasisComponentKey) + L"\\Versions\\1.0\\ConfigDir", L"",
                                      s_scratch->path()));
        DeleteRegistryValue(kRunKey, kRunValue);
        WritePluginFile(m_konfig + L"B0000001.xml",
                        PluginElement("HauptPlugin", false, "RunPollStop") + PluginElement("BasisPlugin", true, "RunPollStop"));
        WritePluginFile(s_scratch->path() + L"B0000002.xml", PluginElement("ZweitPlugin", false, "Run"));
    }
    void TearDown() override {
        ServiceEndToEnd::TearDown();
        ::DeleteFileW((m_konfig + L"B0000001.xml").c_str());
        ::DeleteFileW((s_scratch->path() + L"B0000002.xml").c_str());
        DeleteRegistryTree(kBasisComponentKey);
        DeleteRegistryValue(kProductKey, L"CompVersion");
        DeleteRegistryValue(kProductKey, L"ProgKey");
        DeleteRegistryValue(kRunKey, kRunValue);
    }

    // Trace lines holding text, written by process pid.
    size_t LinesOf(DWORD pid, const std::string& text) const {
        size_t n = 0;
        const std::string column = "\t" + std::to_string(pid) + "\t";
        for (const std::string& line : SplitLines(NewTrace())) {
            if (line.find(column) != std::string::npos && line.find(text) != std::string::npos) ++n;
        }
        return n;
    }

    std::wstring m_konfig;
};

TEST_F(SampleInstallation, EachServiceRunsItsOwnPluginsAndTheHostStartsOnce) {
    ASSERT_EQ(0u, RunExe(L"/install").exitCode);
    ASSERT_EQ(0u, RunExe(L"/start VEMO").exitCode);
    ASSERT_TRUE(WaitForState(kMainService, SERVICE_RUNNING));
    ASSERT_TRUE(WaitForTrace("InitEvent set"));
    const DWORD mainPid = ServiceProcessId(kMainService);
    // The service runs as the build made it: the x86 product under WOW64 in the 64-bit prefix.
    const vemo::unique_handle mainProcess(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, mainPid));
    BOOL wow64 = FALSE;
    ASSERT_TRUE(mainProcess && ::IsWow64Process(mainProcess.get(), &wow64));
    EXPECT_EQ(sizeof(void*) == 4, wow64 != FALSE);
    EXPECT_EQ(1u, LinesOf(mainPid, "Init() fertig - PluginName <HauptPlugin>, rufen Run()"));
    EXPECT_EQ(1u, LinesOf(mainPid, "Init() fertig - PluginName <ZweitPlugin>, rufen Run()"));
    EXPECT_EQ(0u, LinesOf(mainPid, "PluginName <BasisPlugin>"));
    EXPECT_EQ(L"\"" + ExecutableDirectory() + kHostExe + L"\"", ReadRunKey());
    // The host starts after the barrier and leaves its line.
    EXPECT_TRUE(WaitForTrace(kHostStartedLine));
    EXPECT_TRUE(TraceHas("Es wurde <"));
    EXPECT_EQ(1u, HostProcesses().size());

    ASSERT_EQ(0u, RunExe(L"/start BASE").exitCode);
    ASSERT_TRUE(WaitForState(kBasisService, SERVICE_RUNNING));
    ASSERT_TRUE(WaitForTrace("InitEvent set", 2));
    const DWORD basisPid = ServiceProcessId(kBasisService);
    EXPECT_EQ(1u, LinesOf(basisPid, "Init() fertig - PluginName <BasisPlugin>, rufen Run()"));
    EXPECT_EQ(0u, LinesOf(basisPid, "PluginName <HauptPlugin>"));
    EXPECT_EQ(0u, LinesOf(basisPid, "PluginName <ZweitPlugin>"));
    // The host runs already: not started a second time.
    EXPECT_EQ(0u, LinesOf(basisPid, "VeMoHost läuft noch nicht"));
    EXPECT_EQ(1u, HostProcesses().size());
    EXPECT_EQ(1u, TraceCount(kHostStartedLine));

    ASSERT_EQ(0u, RunExe(L"/stop").exitCode);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State(kMainService));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State(kBasisService));
    EXPECT_EQ(1u, LinesOf(mainPid, "Keine aktiven Plugins mehr vorhanden!"));
    EXPECT_EQ(1u, LinesOf(basisPid, "Keine aktiven Plugins mehr vorhanden!"));
    EXPECT_EQ(1u, LinesOf(mainPid, "PlugIn<HauptPlugin>::UN-Init dauerte"));
    EXPECT_EQ(1u, LinesOf(basisPid, "PlugIn<BasisPlugin>::UN-Init dauerte"));
    EXPECT_EQ(0u, TraceCount("soll abgeschossen werden"));
}

// --- the sample plug-in, installed as an author would: its DLL in the program directory, its
// configuration file copied into a configuration directory ----------------------------------

constexpr wchar_t kSampleConfigFolder[] = L"samples\\ReaderWatch\\";
constexpr wchar_t kSampleConfigFile[] = L"B0000100.xml";
constexpr char kReaderWatchRunStarted[] = "Run: Überwachung der Kartenleser gestartet";
constexpr char kReaderWatchPcscUnavailable[] = "PC/SC nicht verfügbar (SCardEstablishContext: 0x";
constexpr char kReaderWatchPcscAvailable[] = "PC/SC verfügbar, Kartenleser: ";

TEST_F(SampleInstallation, TheSampleReaderWatchRunsAndEndsWithinTheUnloadTime) {
    const std::wstring installed = m_konfig + kSampleConfigFile;
    ASSERT_TRUE(::CopyFileW((ExecutableDirectory() + kSampleConfigFolder + kSampleConfigFile).c_str(),
                            installed.c_str(), FALSE));
    const struct RemoveAtEnd {
        std::wstring path;
        ~RemoveAtEnd() { ::DeleteFileW(path.c_str()); }
    } removeAtEnd{installed};

    ASSERT_EQ(0u, RunExe(L"/install VEMO").exitCode);
    ASSERT_EQ(0u, RunExe(L"/start VEMO").exitCode);
    ASSERT_TRUE(WaitForState(kMainService, SERVICE_RUNNING));
    const DWORD pid = ServiceProcessId(kMainService);
    ASSERT_TRUE(WaitForTrace(kReaderWatchRunStarted));
    EXPECT_EQ(1u, LinesOf(pid, kReaderWatchRunStarted));
    // Whether PC/SC is there depends on the machine (Wine 8 has none); Run says which at once.
    const auto pcscVerdicts = [&] {
        return LinesOf(pid, kReaderWatchPcscUnavailable) + LinesOf(pid, kReaderWatchPcscAvailable);
    };
    ASSERT_TRUE(WaitFor([&] { return pcscVerdicts() > 0; }, kStateTimeoutMs));

    ASSERT_EQ(0u, RunExe(L"/stop VEMO").exitCode);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State(kMainService));
    EXPECT_EQ(1u, pcscVerdicts());
    EXPECT_EQ(1u, LinesOf(pid, "Run: Stop-Flag gesetzt, Überwachung beendet"));
    EXPECT_EQ(1u, LinesOf(pid, "Run() aus PluginName <ReaderWatch> zurückgekehrt mit Returncode <0>"));
    EXPECT_EQ(1u, LinesOf(pid, "PlugIn<ReaderWatch>::UN-Init dauerte"));
    EXPECT_EQ(1u, LinesOf(pid, "Uninitialize: PC/SC freigegeben"));
    // Every plug-in left Run within the unload time: none was terminated.
    EXPECT_EQ(1u, LinesOf(pid, "Keine aktiven Plugins mehr vorhanden!"));
    EXPECT_EQ(0u, TraceCount("soll abgeschossen werden"));
}

}  // namespace
