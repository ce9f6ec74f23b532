// VeMoPluginCheck.exe on configuration directories built here, the real test plug-ins, a crafted image
// of the other architecture and real registry keys (a child sees no sandbox). JSON is read by "name": value.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

using namespace vemo::test;
using Strings = std::vector<std::string>;

constexpr DWORD kRunTimeoutMs = 60000;
constexpr wchar_t kToolName[] = L"VeMoPluginCheck.exe";
constexpr wchar_t kTestKey[] = L"SOFTWARE\\VeMoPluginCheckTests";
constexpr char kRegistry[] = "SOFTWARE\\VeMoPluginCheckTests\\";
constexpr DWORD kExitOk = 0, kExitWarnings = 1, kExitErrors = 2, kExitNotChecked = 3;
constexpr const char* kToolMachine = sizeof(void*) == 4 ? "x86" : "x64";

std::string Element(const std::string& name, const std::string& text) { return "<" + name + ">" + text + "</" + name + ">"; }

// Every value of "name" in the JSON text, in order, as written (strings without their quotes).
Strings Values(const std::string& json, const std::string& name) {
    Strings values;
    const std::regex pair("\"" + name + "\": (\"((?:[^\"\\\\]|\\\\.)*)\"|[-0-9a-z]+)");
    for (auto it = std::sregex_iterator(json.begin(), json.end(), pair); it != std::sregex_iterator(); ++it) {
        values.push_back((*it)[2].matched ? (*it)[2].str() : (*it)[1].str());
    }
    return values;
}
// The first value of "name" after the anchor text.
std::string After(const std::string& json, const std::string& anchor, const std::string& name) {
    const size_t at = json.find(anchor);
    const Strings values = at == std::string::npos ? Strings{} : Values(json.substr(at + anchor.size()), name);
    return values.empty() ? "<none after " + anchor + ">" : values.front();
}
std::string Escaped(std::string text) {  // as JSON writes a path
    for (size_t at = text.find('\\'); at != std::string::npos; at = text.find('\\', at + 2)) text.insert(at, 1, '\\');
    return text;
}

class PluginCheckTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(RegisterComponent(L"B0009931"));
        ASSERT_TRUE(SetRegistryDword(kTestKey, L"Ignore", 1));
        ASSERT_TRUE(SetRegistryDword(kTestKey, L"Keep", 0));
    }
    static void TearDownTestSuite() {
        DeleteRegistryTree(std::wstring(kComponentsKey) + L"B0009931");
        DeleteRegistryTree(kTestKey);
    }
    // A file of its own per run: whatever a run left holding its output cannot keep the next out.
    CapturedProcess Run(const std::wstring& arguments) {
        const std::wstring file = output.path() + L"out" + std::to_wstring(++m_runs) + L".txt";
        const CapturedProcess run = RunProcessCaptured(ExecutableDirectory() + kToolName, arguments, file, kRunTimeoutMs);
        EXPECT_TRUE(run.result.finished);
        return run;
    }
    // The JSON form and the text form, each with the exit code expected.
    std::pair<std::string, std::string> RunBoth(DWORD expectedExit) {
        const CapturedProcess json = Run(DirArgument() + L" /json"), text = Run(DirArgument());
        EXPECT_EQ(expectedExit, json.result.exitCode) << json.output;
        EXPECT_EQ(expectedExit, text.result.exitCode) << text.output;
        return {json.output, text.output};
    }
    // Without the trailing backslash, which would escape the closing quote.
    std::wstring DirArgument() const { return L"/dir \"" + config.path().substr(0, config.path().size() - 1) + L"\""; }
    std::string ConfigFile(const char* name) const { return Narrow(config.path()) + name; }
    void Write(const wchar_t* name, const std::string& bytes) { ASSERT_TRUE(WriteFileBytes(config.path() + name, bytes)); }

    ScratchDirectory config{L"PluginCheckConfig"};
    ScratchDirectory output{L"PluginCheckOutput"};
    int m_runs = 0;
};

TEST_F(PluginCheckTest, EveryVerdictInTextAndJson) {
    const std::string registry = kRegistry;
    Write(L"B0000001.xml",
          PluginDocument({{.name = L"Main", .run = L"RunPollStop", .timeoutUnload = 7000,
                           .extra = "<menu pos=\"3\"><item><fid>5</fid><text>Open</text></item></menu>"},
                          {.name = L"Basis", .binary = L"TestPluginUnitialize.dll", .pure = true},
                          {.name = L"ByComponent", .extra = Element("ignoreoninstalledcomponent", "B0009902,B0009931")},
                          // An ignored plug-in's time-out does not count for the unload time-out.
                          {.name = L"ByRegistry", .timeoutUnload = 9000, .extra = Element("ignoreonregistrykey", registry + "Ignore")},
                          {.name = L"NotSystem", .system = false, .extra = Element("ignoreonregistrykey", registry + "Keep")},
                          {.name = L"Main"},
                          {.name = L"NoPath", .path = kNoPath},
                          // Same name as the first, but the basis service never loaded that one.
                          {.name = L"Main", .pure = true}}));
    const auto [json, text] = RunBoth(kExitErrors);
    EXPECT_EQ((Strings{"main", "basis", "ignoredByComponent", "ignoredByRegistry", "notSystemContext", "duplicate",
                       "emptyPathOrName", "basis"}),
              Values(json, "verdict"))
        << json;
    EXPECT_EQ((Strings{"", "", "B0009931", Escaped(registry + "Ignore"), "", Escaped(ConfigFile("B0000001.xml")) + " #1", "", ""}),
              Values(json, "verdictDetail"));
    EXPECT_EQ((Strings{"7000", "RunPollStop", "3", "Open", "5", kToolMachine}),
              (Strings{Values(json, "timeoutUnload").front(), Values(json, "run").front(), Values(json, "position").front(),
                       Values(json, "text").front(), Values(json, "function").front(), Values(json, "machine").front()}));
    EXPECT_EQ("true", After(json, R"("name": "Unitialize")", "found")) << json;
    EXPECT_EQ("true", After(json, R"("name": "Unitialize")", "fallback"));
    EXPECT_EQ((Strings{"7000"}), Values(json, "unloadTimeoutMs"));
    EXPECT_EQ((Strings{"1", "1", "2"}), (Strings{Values(json, "errors")[0], Values(json, "warnings")[0], Values(json, "exitCode")[0]}));
    for (const char* line : {"loaded by the main service \"TRUVO Kartenwacht-Dienst\"", "WARNING [duplicate]", "ERROR [emptyPathOrName]",
                             "loaded by the basis service \"TRUVO Kartenwacht-Basis-Dienst\" (/STARTPURE)",
                             "component \"B0009931\" (installed)", "Result: 1 error(s), 1 warning(s), exit code 2"}) {
        EXPECT_NE(std::string::npos, text.find(line)) << line << "\n" << text;
    }
}

TEST_F(PluginCheckTest, ModulesThatCannotBeLoaded) {
    Write(L"Foreign.dll", ForeignArchitectureImage());
    Write(L"NotPe.dll", "just text");
    Write(L"B0000001.xml", PluginDocument({{.name = L"Missing", .binary = L"NoSuchPlugin.dll"},
                                           {.name = L"WrongMachine", .binary = L"Foreign.dll", .path = config.path()},
                                           {.name = L"NoExport", .initialize = L"NoSuchExport"},
                                           {.name = L"NotPe", .binary = L"NotPe.dll", .path = config.path(), .pure = true},
                                           // Not loaded by either service: its missing module is only a note.
                                           {.name = L"NotSystem", .binary = L"NoSuchPlugin.dll", .system = false}}));
    const auto [json, text] = RunBoth(kExitErrors);
    EXPECT_EQ((Strings{"moduleMissing", "wrongMachine", "exportMissing", "notPeImage", "moduleMissing"}), Values(json, "code")) << json;
    EXPECT_EQ((Strings{"moduleNotLoadable", "moduleNotLoadable", "moduleNotLoadable", "moduleNotLoadable", "notSystemContext"}),
              Values(json, "verdict"));
    EXPECT_EQ("info", Values(json, "severity").back());
    EXPECT_EQ((Strings{"4", "0"}), (Strings{Values(json, "errors")[0], Values(json, "warnings")[0]}));
    EXPECT_EQ("false", After(json, R"("configured": "NoSuchExport")", "found")) << json;
    EXPECT_NE(std::string::npos, text.find(std::string("machine type ") + (sizeof(void*) == 4 ? "x64" : "x86") +
                                           ", the service needs " + kToolMachine)) << text;
}

TEST_F(PluginCheckTest, MalformedFileUnknownElementBadComponentListAndSkippedFile) {
    Write(L"B0000001.xml", "<plugins><plugin description=\"cut\">");
    Write(L"B0000002.xml",
          PluginDocument({{.name = L"Unknown", .extra = "<Bogus/><TIMEOUTUNLOAD>100</TIMEOUTUNLOAD>"},
                          {.name = L"Rejected", .extra = Element("ignoreoninstalledcomponent", "b0009901")},
                          {.name = L"Malformed", .pure = true, .extra = Element("ignoreoninstalledcomponent", "B0009902; B0009903")}}));
    Write(L"B123456A.xml", PluginDocument({}));
    Write(L"notes.xml", PluginDocument({}));
    const auto [json, text] = RunBoth(kExitErrors);
    // A refused list leaves the plug-in to be loaded; a malformed token ignores it.
    EXPECT_EQ((Strings{"main", "main", "ignoredByComponent"}), Values(json, "verdict")) << json;
    EXPECT_EQ((Strings{"", "", " B0009903"}), Values(json, "verdictDetail"));
    Strings codes = Values(json, "code");
    std::sort(codes.begin(), codes.end());
    EXPECT_EQ((Strings{"badComponentList", "badComponentList", "malformedXml", "unknownElement"}), codes);
    EXPECT_EQ(Escaped(ConfigFile("B123456A.xml")), After(json, "\"skippedFiles\"", "path"));
    EXPECT_EQ("100", Values(json, "timeoutUnload").front());
    EXPECT_EQ((Strings{"3", "2"}), (Strings{Values(json, "errors")[0], Values(json, "warnings")[0]}));
    EXPECT_NE(std::string::npos, text.find("WARNING [unknownElement] element \"Bogus\"")) << text;
    EXPECT_EQ(std::string::npos, text.find("notes.xml"));
}

TEST_F(PluginCheckTest, ExitCodesJsonEscapesAndRejectedArguments) {
    Write(L"B0000001.xml", PluginDocument({{.name = L"Main"}, {.name = L"Basis", .binary = L"TestPluginUnitialize.dll", .pure = true}}));
    EXPECT_EQ(kExitOk, Run(DirArgument()).result.exitCode);
    Write(L"B0000002.xml", PluginDocument({{.name = L"Other", .extra = "<x/>"}}));
    // The JSON form escapes backslashes, quotes and control characters.
    Write(L"B0000003.xml", "<plugins><plugin description=\"Say &quot;hi&quot; \\ there\"><binaryName>x.dll</binaryName>"
                           "<path>C:\\odd \"dir\"\\sub\\</path><events>a\tb</events><system>false</system></plugin></plugins>");
    const CapturedProcess warned = Run(DirArgument() + L" -json");
    EXPECT_EQ(kExitWarnings, warned.result.exitCode) << warned.output;
    for (const char* escaped : {R"("path": "C:\\odd \"dir\"\\sub\\")", R"("path": "C:\\odd \"dir\"\\sub\\x.dll")",
                                R"("name": "Say \"hi\" \\ there")", R"("events": "a\tb")"}) {
        EXPECT_NE(std::string::npos, warned.output.find(escaped)) << escaped << "\n" << warned.output;
    }
    const CapturedProcess help = Run(L"/?");
    EXPECT_EQ(kExitOk, help.result.exitCode);
    EXPECT_NE(std::string::npos, help.output.find("/dir <directory>"));
    for (const std::wstring& arguments : {std::wstring(L"/nonsense"), std::wstring(L"/dir"), L"/dir \"" + config.path() + L"missing\""}) {
        EXPECT_EQ(kExitNotChecked, Run(arguments).result.exitCode) << Narrow(arguments);
    }
}

// The sample's own file, unchanged: its path template names the program directory, which for the
// tool is bin/, where the sample plug-in lies as well.
TEST_F(PluginCheckTest, TheSampleConfigurationChecksClean) {
    const CapturedProcess run = Run(L"/dir \"" + ExecutableDirectory() + L"samples\\ReaderWatch\" /json");
    EXPECT_EQ(kExitOk, run.result.exitCode) << run.output;
    EXPECT_EQ((Strings{"main"}), Values(run.output, "verdict"));
    EXPECT_EQ(Escaped(Narrow(ExecutableDirectory()) + "VeMoReaderWatch.dll"), Values(run.output, "path").back());
    EXPECT_EQ((Strings{"true"}), Values(run.output, "loadable"));
    EXPECT_TRUE(Values(run.output, "code").empty());
}

TEST_F(PluginCheckTest, ConfigurationDirectoryOfAnInstalledComponent) {
    if (ReadRegistryString(ComponentVersionKey(kBasisComponent), L"CompVersion")) {
        GTEST_SKIP() << "component B0003811 is installed in this prefix; not touching it";
    }
    ASSERT_TRUE(RegisterComponent(kBasisComponent, config.path()));
    Write(L"B0000003.xml", PluginDocument({{.name = L"Installed"}}));
    const CapturedProcess run = Run(L"/json");
    DeleteRegistryTree(std::wstring(kComponentsKey) + kBasisComponent);
    EXPECT_EQ(kExitOk, run.result.exitCode) << run.output;
    EXPECT_EQ("components", Values(run.output, "mode").front());
    EXPECT_EQ("true", After(run.output, "\"component\": \"B0003811\"", "installed")) << run.output;
    EXPECT_EQ(Escaped(Narrow(config.path())), After(run.output, "\"component\": \"B0003811\"", "path"));
    EXPECT_EQ("B0003811", After(run.output, "\"path\": \"" + Escaped(ConfigFile("B0000003.xml")) + "\"", "component"));
}

}  // namespace
