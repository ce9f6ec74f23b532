// VeMoPluginCheck.exe run as a child on configuration directories built here, against the real
// test plug-ins, a crafted 32-bit image and real registry keys (a child does not see a sandbox).
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "MiniJson.h"
#include "TestSupport.h"
#include "common/UniqueHandle.h"

namespace {

using vemo::test::JsonValue;
using vemo::test::Narrow;

constexpr DWORD kRunTimeoutMs = 60000;
constexpr DWORD kProcessShowsUpMs = 10000;
constexpr wchar_t kToolName[] = L"VeMoPluginCheck.exe";
constexpr wchar_t kStandInName[] = L"VemoHost.exe";
constexpr wchar_t kMainService[] = L"TRUVO Kartenwacht-Dienst";

// Real keys, removed again by the fixture.
constexpr wchar_t kComponentsKey[] = L"SOFTWARE\\TRUVOeg\\Components\\";
constexpr wchar_t kVersionsPart[] = L"\\Versions\\1.0";
constexpr wchar_t kInstalledComponent[] = L"B0009931";
constexpr wchar_t kPluginComponent[] = L"B0003811";
constexpr wchar_t kTestKey[] = L"SOFTWARE\\VeMoPluginCheckTests";
constexpr char kTestKeyA[] = "SOFTWARE\\VeMoPluginCheckTests";

constexpr DWORD kExitOk = 0;
constexpr DWORD kExitWarnings = 1;
constexpr DWORD kExitErrors = 2;
constexpr DWORD kExitNotChecked = 3;

std::wstring Bin() { return vemo::test::ExecutableDirectory(); }

void WriteFile(const std::wstring& path, const std::string& bytes) {
    ASSERT_TRUE(vemo::test::WriteFileBytes(path, bytes));
}

std::string Element(const std::string& name, const std::string& text) {
    return "<" + name + ">" + text + "</" + name + ">";
}

// A plug-in of the given context and mode with a module from the given directory.
std::string Plugin(const std::string& description, const std::string& binary, const std::wstring& directory,
                   bool system, bool pure, const std::string& extra = {}) {
    return "<plugin description=\"" + description + "\" type=\"dll\">" + Element("binaryName", binary) +
           Element("path", Narrow(directory)) + Element("system", system ? "true" : "false") +
           Element("pure", pure ? "true" : "false") + extra + "</plugin>";
}

std::string File(const std::vector<std::string>& plugins) {
    std::string xml = "<?xml version=\"1.0\"?><plugins>";
    for (const std::string& p : plugins) xml += p;
    return xml + "</plugins>";
}

constexpr const char* kToolMachine = sizeof(void*) == 4 ? "x86" : "x64";
constexpr const char* kForeignMachine = sizeof(void*) == 4 ? "x64" : "x86";

struct ToolRun {
    DWORD exitCode = 0;
    std::string output;
};

class PluginCheckTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(vemo::test::SetRegistryString(std::wstring(kComponentsKey) + kInstalledComponent + kVersionsPart,
                                                  L"CompVersion", L"1.0"));
        ASSERT_TRUE(vemo::test::SetRegistryDword(kTestKey, L"Ignore", 1));
        ASSERT_TRUE(vemo::test::SetRegistryDword(kTestKey, L"Keep", 0));
    }
    static void TearDownTestSuite() {
        vemo::test::DeleteRegistryTree(std::wstring(kComponentsKey) + kInstalledComponent);
        vemo::test::DeleteRegistryTree(kTestKey);
    }

    ToolRun Run(const std::wstring& arguments) {
        const vemo::test::CapturedProcess run =
            vemo::test::RunProcessCaptured(Bin() + kToolName, arguments, output.path() + L"out.txt", kRunTimeoutMs);
        EXPECT_TRUE(run.result.finished);
        return {run.result.exitCode, run.output};
    }
    JsonValue RunJson(const std::wstring& arguments, DWORD expectedExit) {
        const ToolRun run = Run(arguments + L" /json");
        EXPECT_EQ(run.exitCode, expectedExit) << run.output;
        std::optional<JsonValue> json = vemo::test::ParseJson(run.output);
        EXPECT_TRUE(json.has_value()) << run.output;
        return json.value_or(JsonValue{});
    }
    // Without the trailing backslash, which would escape the closing quote.
    std::wstring DirArgument() const {
        return L"/dir \"" + config.path().substr(0, config.path().size() - 1) + L"\"";
    }
    std::string ConfigFile(const char* name) const { return Narrow(config.path()) + name; }

    vemo::test::ScratchDirectory config{L"PluginCheckConfig"};
    vemo::test::ScratchDirectory output{L"PluginCheckOutput"};
};

// The text block of one plug-in, from its header to the blank line after it.
std::string TextBlock(const std::string& text, const std::string& name, const std::string& file, int number) {
    const std::string header = "  Plug-in \"" + name + "\" (" + file + " #" + std::to_string(number) + ")";
    const size_t start = text.find(header);
    if (start == std::string::npos) return {};
    return text.substr(start, text.find("\r\n\r\n", start) - start);
}

std::vector<std::string> Codes(const JsonValue& findings) {
    std::vector<std::string> codes;
    for (const JsonValue& f : findings.items) codes.push_back(f["code"].text);
    return codes;
}

TEST_F(PluginCheckTest, EveryVerdictInTextAndJson) {
    const std::string registry = std::string(kTestKeyA) + "\\";
    WriteFile(config.path() + L"B0000001.xml",
              File({Plugin("Main", "TestPlugin.dll", Bin(), true, false,
                           "<timeoutUnload>7000</timeoutUnload><menu pos=\"3\"><item><fid>5</fid><text>Open</text>"
                           "</item></menu><implements run=\"RunPollStop\"/>"),
                    Plugin("Basis", "TestPluginUnitialize.dll", Bin(), true, true),
                    Plugin("ByComponent", "TestPlugin.dll", Bin(), true, false,
                           Element("ignoreoninstalledcomponent", "B0009902,B0009931")),
                    // An ignored plug-in's time-out does not count for the unload time-out.
                    Plugin("ByRegistry", "TestPlugin.dll", Bin(), true, false,
                           Element("ignoreonregistrykey", registry + "Ignore") + Element("timeoutUnload", "9000")),
                    Plugin("NotSystem", "TestPlugin.dll", Bin(), false, false,
                           Element("ignoreonregistrykey", registry + "Keep")),
                    Plugin("Main", "TestPlugin.dll", Bin(), true, false),
                    Plugin("NoPath", "TestPlugin.dll", L"", true, false),
                    // Same name as the first, but the basis service never loaded that one.
                    Plugin("Main", "TestPlugin.dll", Bin(), true, true)}));

    const JsonValue json = RunJson(DirArgument(), kExitErrors);
    const JsonValue& plugins = json["plugins"];
    ASSERT_EQ(plugins.size(), 8u);
    const char* expected[] = {"main",     "basis",     "ignoredByComponent", "ignoredByRegistry",
                              "notSystemContext", "duplicate", "emptyPathOrName", "basis"};
    for (size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(plugins[i]["verdict"].text, expected[i]) << i;
    EXPECT_EQ(plugins[2]["verdictDetail"].text, "B0009931");
    EXPECT_EQ(plugins[3]["verdictDetail"].text, registry + "Ignore");
    EXPECT_EQ(plugins[5]["verdictDetail"].text, ConfigFile("B0000001.xml") + " #1");

    const JsonValue& main = plugins[0];
    EXPECT_EQ(main["typeCode"].number, 1);
    EXPECT_EQ(main["path"].text, Narrow(Bin()));
    EXPECT_EQ(main["timeoutUnload"].number, 7000);
    EXPECT_EQ(main["entryPoints"]["run"].text, "RunPollStop");
    EXPECT_EQ(main["entryPoints"]["initialize"].text, "Initialize");
    EXPECT_EQ(main["menu"]["position"].number, 3);
    EXPECT_EQ(main["menu"]["entries"][0]["text"].text, "Open");
    EXPECT_EQ(main["menu"]["entries"][0]["function"].number, 5);
    EXPECT_EQ(main["module"]["status"].text, "checked");
    EXPECT_EQ(main["module"]["machine"].text, kToolMachine);
    EXPECT_TRUE(main["module"]["loadable"].boolean);
    const JsonValue& unitialize = plugins[1]["module"]["exports"][2];
    EXPECT_EQ(unitialize["role"].text, "uninitialize");
    EXPECT_EQ(unitialize["name"].text, "Unitialize");
    EXPECT_TRUE(unitialize["fallback"].boolean);
    EXPECT_TRUE(unitialize["found"].boolean);
    EXPECT_FALSE(plugins[1]["module"]["exports"][3]["found"].boolean);  // RunMenu, optional
    EXPECT_TRUE(plugins[1]["module"]["loadable"].boolean);

    EXPECT_EQ(json["unloadTimeoutMs"].number, 7000);
    EXPECT_EQ(json["summary"]["errors"].number, 1);
    EXPECT_EQ(json["summary"]["warnings"].number, 1);
    EXPECT_EQ(json["summary"]["exitCode"].number, 2);

    const ToolRun text = Run(DirArgument());
    EXPECT_EQ(text.exitCode, kExitErrors);
    const std::string file = ConfigFile("B0000001.xml");
    EXPECT_NE(TextBlock(text.output, "Main", file, 1).find("loaded by the main service \"TRUVO Kartenwacht-Dienst\""),
              std::string::npos)
        << text.output;
    EXPECT_NE(TextBlock(text.output, "Basis", file, 2)
                  .find("loaded by the basis service \"TRUVO Kartenwacht-Basis-Dienst\" (/STARTPURE)"),
              std::string::npos);
    EXPECT_NE(TextBlock(text.output, "ByComponent", file, 3).find("component \"B0009931\" (installed)"),
              std::string::npos);
    EXPECT_NE(TextBlock(text.output, "ByRegistry", file, 4).find("registry value HKLM\\" + registry + "Ignore"),
              std::string::npos);
    EXPECT_NE(TextBlock(text.output, "NotSystem", file, 5).find("system-context plug-ins only"), std::string::npos);
    EXPECT_NE(TextBlock(text.output, "Main", file, 6).find("WARNING [duplicate]"), std::string::npos);
    EXPECT_NE(TextBlock(text.output, "NoPath", file, 7).find("ERROR [emptyPathOrName]"), std::string::npos);
    EXPECT_NE(text.output.find("Unload time-out: 7000 ms"), std::string::npos);
    EXPECT_NE(text.output.find("Result: 1 error(s), 1 warning(s), exit code 2"), std::string::npos);
}

TEST_F(PluginCheckTest, ModulesThatCannotBeLoaded) {
    WriteFile(config.path() + L"Foreign.dll", vemo::test::ForeignArchitectureImage());
    WriteFile(config.path() + L"NotPe.dll", "just text");
    WriteFile(config.path() + L"B0000001.xml",
              File({Plugin("Missing", "NoSuchPlugin.dll", Bin(), true, false),
                    Plugin("WrongMachine", "Foreign.dll", config.path(), true, false),
                    Plugin("NoExport", "TestPlugin.dll", Bin(), true, false,
                           "<implements initialize=\"NoSuchExport\"/>"),
                    Plugin("NotPe", "NotPe.dll", config.path(), true, true),
                    // Not loaded by either service: its missing module is only a note.
                    Plugin("NotSystem", "NoSuchPlugin.dll", Bin(), false, false)}));

    const JsonValue json = RunJson(DirArgument(), kExitErrors);
    const JsonValue& plugins = json["plugins"];
    ASSERT_EQ(plugins.size(), 5u);
    const char* status[] = {"missing", "wrongMachine", "checked", "notPeImage", "missing"};
    const char* code[] = {"moduleMissing", "wrongMachine", "exportMissing", "notPeImage", "moduleMissing"};
    for (size_t i = 0; i < std::size(status); ++i) {
        EXPECT_EQ(plugins[i]["module"]["status"].text, status[i]) << i;
        EXPECT_EQ(Codes(plugins[i]["findings"]), std::vector<std::string>{code[i]}) << i;
        EXPECT_FALSE(plugins[i]["module"]["loadable"].boolean) << i;
    }
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(plugins[i]["verdict"].text, "moduleNotLoadable") << i;
    EXPECT_EQ(plugins[1]["module"]["machine"].text, kForeignMachine);
    EXPECT_EQ(plugins[2]["module"]["exports"][0]["configured"].text, "NoSuchExport");
    EXPECT_FALSE(plugins[2]["module"]["exports"][0]["found"].boolean);
    EXPECT_TRUE(plugins[2]["module"]["exports"][1]["found"].boolean);
    EXPECT_EQ(plugins[4]["verdict"].text, "notSystemContext");
    EXPECT_EQ(plugins[4]["findings"][0]["severity"].text, "info");
    EXPECT_EQ(json["summary"]["errors"].number, 4);
    EXPECT_EQ(json["summary"]["warnings"].number, 0);

    const ToolRun text = Run(DirArgument());
    EXPECT_NE(text.output.find(std::string("machine type ") + kForeignMachine + ", the service needs " + kToolMachine),
              std::string::npos)
        << text.output;
    EXPECT_NE(text.output.find("does not export \"NoSuchExport\" (initialize)"), std::string::npos);
}

TEST_F(PluginCheckTest, MalformedFileUnknownElementBadComponentListAndSkippedFile) {
    WriteFile(config.path() + L"B0000001.xml", "<plugins><plugin description=\"cut\">");
    WriteFile(config.path() + L"B0000002.xml",
              File({Plugin("Unknown", "TestPlugin.dll", Bin(), true, false, "<Bogus/><TIMEOUTUNLOAD>100</TIMEOUTUNLOAD>"),
                    Plugin("Rejected", "TestPlugin.dll", Bin(), true, false,
                           Element("ignoreoninstalledcomponent", "b0009901")),
                    Plugin("Malformed", "TestPlugin.dll", Bin(), true, true,
                           Element("ignoreoninstalledcomponent", "B0009902; B0009903"))}));
    WriteFile(config.path() + L"B123456A.xml", File({}));
    WriteFile(config.path() + L"notes.xml", File({}));

    const JsonValue json = RunJson(DirArgument(), kExitErrors);
    ASSERT_EQ(json["files"].size(), 2u);
    const JsonValue& cut = json["files"][0]["path"].text == ConfigFile("B0000001.xml") ? json["files"][0] : json["files"][1];
    EXPECT_FALSE(cut["loaded"].boolean);
    EXPECT_EQ(Codes(cut["findings"]), std::vector<std::string>{"malformedXml"});
    ASSERT_EQ(json["skippedFiles"].size(), 1u);
    EXPECT_EQ(json["skippedFiles"][0]["path"].text, ConfigFile("B123456A.xml"));

    const JsonValue& plugins = json["plugins"];
    ASSERT_EQ(plugins.size(), 3u);
    EXPECT_EQ(plugins[0]["unknownElements"].size(), 1u);
    EXPECT_EQ(plugins[0]["unknownElements"][0].text, "Bogus");
    EXPECT_EQ(plugins[0]["timeoutUnload"].number, 100);
    EXPECT_EQ(Codes(plugins[0]["findings"]), std::vector<std::string>{"unknownElement"});
    // A refused list leaves the plug-in to be loaded; a malformed token ignores it.
    EXPECT_EQ(plugins[1]["verdict"].text, "main");
    EXPECT_EQ(Codes(plugins[1]["findings"]), std::vector<std::string>{"badComponentList"});
    EXPECT_EQ(plugins[2]["verdict"].text, "ignoredByComponent");
    EXPECT_EQ(plugins[2]["verdictDetail"].text, " B0009903");
    EXPECT_EQ(Codes(plugins[2]["findings"]), std::vector<std::string>{"badComponentList"});
    EXPECT_EQ(json["summary"]["errors"].number, 3);
    EXPECT_EQ(json["summary"]["warnings"].number, 2);  // the unknown element and the skipped file

    const ToolRun text = Run(DirArgument());
    EXPECT_NE(text.output.find("ERROR [malformedXml]"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("WARNING [skippedFile] " + ConfigFile("B123456A.xml")), std::string::npos);
    EXPECT_NE(text.output.find("WARNING [unknownElement] element \"Bogus\""), std::string::npos);
    EXPECT_EQ(text.output.find("notes.xml"), std::string::npos);
}

TEST_F(PluginCheckTest, ExitCodes) {
    WriteFile(config.path() + L"B0000001.xml", File({Plugin("Main", "TestPlugin.dll", Bin(), true, false),
                                                     Plugin("Basis", "TestPluginUnitialize.dll", Bin(), true, true)}));
    EXPECT_EQ(Run(DirArgument()).exitCode, kExitOk);
    WriteFile(config.path() + L"B0000002.xml", File({Plugin("Other", "TestPlugin.dll", Bin(), true, false, "<x/>")}));
    EXPECT_EQ(Run(DirArgument() + L" -json").exitCode, kExitWarnings);

    const ToolRun help = Run(L"/?");
    EXPECT_EQ(help.exitCode, kExitOk);
    EXPECT_NE(help.output.find("/dir <directory>"), std::string::npos);
    EXPECT_EQ(Run(L"/nonsense").exitCode, kExitNotChecked);
    EXPECT_EQ(Run(L"/dir").exitCode, kExitNotChecked);
    EXPECT_EQ(Run(L"/dir \"" + config.path() + L"missing\"").exitCode, kExitNotChecked);
}

// The sample's own file, unchanged: its path template names the program directory, which for the
// tool is bin/, where the sample plug-in lies as well.
TEST_F(PluginCheckTest, TheSampleConfigurationChecksClean) {
    const JsonValue json = RunJson(L"/dir \"" + Bin() + L"samples\\ReaderWatch\"", kExitOk);
    ASSERT_EQ(json["plugins"].size(), 1u);
    const JsonValue& plugin = json["plugins"][0];
    EXPECT_EQ(plugin["name"].text, "ReaderWatch");
    EXPECT_EQ(plugin["verdict"].text, "main");
    EXPECT_EQ(plugin["path"].text, Narrow(Bin()));
    EXPECT_EQ(plugin["module"]["path"].text, Narrow(Bin()) + "VeMoReaderWatch.dll");
    EXPECT_TRUE(plugin["module"]["loadable"].boolean);
    EXPECT_EQ(plugin["menu"]["entries"].size(), 3u);
    EXPECT_TRUE(plugin["findings"].items.empty());
}

TEST_F(PluginCheckTest, JsonEscapesBackslashesQuotesAndControlCharacters) {
    const std::string oddPath = "C:\\odd \"dir\"\\sub\\";
    WriteFile(config.path() + L"B0000001.xml",
              File({"<plugin description=\"Say &quot;hi&quot; \\ there\"><binaryName>x.dll</binaryName><path>" +
                    oddPath + "</path><events>a\tb</events><system>false</system></plugin>"}));
    const ToolRun run = Run(DirArgument() + L" /json");
    EXPECT_NE(run.output.find(R"("path": "C:\\odd \"dir\"\\sub\\")"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(R"("events": "a\tb")"), std::string::npos);
    const std::optional<JsonValue> json = vemo::test::ParseJson(run.output);
    ASSERT_TRUE(json.has_value()) << run.output;
    const JsonValue& plugin = (*json)["plugins"][0];
    EXPECT_EQ(plugin["path"].text, oddPath);
    EXPECT_EQ(plugin["name"].text, "Say \"hi\" \\ there");
    EXPECT_EQ(plugin["events"].text, "a\tb");
    EXPECT_EQ(plugin["module"]["path"].text, oddPath + "x.dll");
}

TEST_F(PluginCheckTest, ConfigurationDirectoryOfAnInstalledComponent) {
    const std::wstring componentKey = std::wstring(kComponentsKey) + kPluginComponent;
    vemo::unique_hkey existing;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, componentKey.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, existing.put()) ==
        ERROR_SUCCESS) {
        GTEST_SKIP() << "component B0003811 is installed in this prefix; not touching it";
    }
    ASSERT_TRUE(vemo::test::SetRegistryString(componentKey + kVersionsPart, L"CompVersion", L"1.0"));
    ASSERT_TRUE(vemo::test::SetRegistryString(componentKey + kVersionsPart + L"\\ConfigDir", L"", config.path()));
    WriteFile(config.path() + L"B0000003.xml", File({Plugin("Installed", "TestPlugin.dll", Bin(), true, false)}));

    const JsonValue json = RunJson(L"", kExitOk);
    vemo::test::DeleteRegistryTree(componentKey);
    EXPECT_EQ(json["mode"].text, "components");
    const JsonValue& directory = json["directories"][1];
    EXPECT_EQ(directory["component"].text, Narrow(kPluginComponent));
    EXPECT_TRUE(directory["installed"].boolean);
    EXPECT_EQ(directory["path"].text, Narrow(config.path()));
    bool found = false;
    for (const JsonValue& file : json["files"].items) {
        if (file["path"].text != ConfigFile("B0000003.xml")) continue;
        found = true;
        EXPECT_EQ(file["component"].text, Narrow(kPluginComponent));
    }
    EXPECT_TRUE(found) << "file of B0003811 not listed";
}

bool ProcessIsListed(DWORD pid) {
    vemo::unique_hfile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == pid) return true;
    }
    return false;
}

TEST_F(PluginCheckTest, ServicesAndHostInConsoleSession) {
    vemo::unique_schandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager);
    vemo::unique_schandle service(::OpenServiceW(manager.get(), kMainService, SERVICE_ALL_ACCESS));
    if (service) GTEST_SKIP() << "the main service is installed in this prefix; not touching it";
    const std::wstring binary = L"\"" + Bin() + kToolName + L"\"";
    service.reset(::CreateServiceW(manager.get(), kMainService, kMainService, SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                   binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service) << ::GetLastError();

    const JsonValue before = RunJson(DirArgument(), kExitOk);
    ::DeleteService(service.get());
    EXPECT_EQ(before["services"][0]["name"].text, Narrow(kMainService));
    EXPECT_TRUE(before["services"][0]["installed"].boolean);
    EXPECT_EQ(before["services"][0]["state"].text, "stopped");
    EXPECT_TRUE(before["services"][1]["pure"].boolean);
    EXPECT_EQ(before["services"][1]["state"].text, "notInstalled");
    EXPECT_FALSE(before["host"]["runningInConsole"].boolean);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring standIn = Bin() + VEMO_HOST_STANDIN_DIR L"\\" + kStandInName;
    ASSERT_TRUE(::CreateProcessW(standIn.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                 &info));
    vemo::unique_handle process(info.hProcess);
    vemo::unique_handle thread(info.hThread);
    ASSERT_TRUE(vemo::test::WaitFor([&] { return ProcessIsListed(info.dwProcessId); }, kProcessShowsUpMs));
    const JsonValue running = RunJson(DirArgument(), kExitOk);
    ::TerminateProcess(process.get(), 0);
    ::WaitForSingleObject(process.get(), kRunTimeoutMs);
    EXPECT_TRUE(running["host"]["runningInConsole"].boolean);
    EXPECT_EQ(running["host"]["processId"].number, static_cast<int64_t>(info.dwProcessId));
    const ToolRun text = Run(DirArgument());
    EXPECT_NE(text.output.find("VemoHost.exe in the console session: no"), std::string::npos) << text.output;
}

}  // namespace
