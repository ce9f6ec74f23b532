// The integration library against a private machine hive, with the daemon module and the recording trace
// module beside the program: the configuration reader on real files, its ignore rules, and daemon mode.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"
#include "QRNCSAVeMoDaemon001/DaemonSettings.h"
#include "Recorder.h"
#include "TestSupport.h"
#include "VeMoDaemon.h"
#include "VeMoHostIntLib/DaemonMode.h"
#include "VeMoHostIntLib/PluginKonfig.h"
#include "configdb/ConfigDB.h"

namespace {

using namespace vemo::test;
using vemo::daemonmodule::DaemonTestMode;

// The ignore rules must not see components another test installs.
[[maybe_unused]] const bool kSandbox = UseHklmSandbox(L"Software\\VeMoHostIntTests");

constexpr wchar_t kRuleKey[] = L"SOFTWARE\\PluginRules";

// What the reader counts and fills, with room for this many, from a root holding body.
struct Descriptors {
    std::unique_ptr<CPluginInfo[]> infos;
    int counted = 0;
    int filled = 0;
};
Descriptors Read(const std::wstring& file, const std::string& body, int room = 5) {
    EXPECT_TRUE(WriteFileBytes(file, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r>" + body + "</r>"));
    CPluginConfig config(file.c_str());
    Descriptors read{std::make_unique<CPluginInfo[]>(static_cast<size_t>(room)), config.GetNumberOfPluginInfos()};
    CPluginInfo* first = read.infos.get();
    read.filled = config.GetPluginInfo(&first, room);
    return read;
}

std::wstring Describe(const CPluginInfo& p) {
    std::wstring text = L";name=" + p._name + L";level=" + std::to_wstring(p._level) + L";type=" + std::to_wstring(p._type) +
                        L";binary=" + p._binaryName + L";path=" + p._path + L";system=" + std::to_wstring(p._runsInSystemContext) +
                        L";pure=" + std::to_wstring(p._runsInPureMode) + L";timeout=" + std::to_wstring(p._timeOutUnload) +
                        L";class=" + p._className + L";run=" + p._runName + L";init=" + p._initializeName + L";uninit=" +
                        p._uninitializeName + L";menupos=" + std::to_wstring(p._menuPosition) + L";ignore=" +
                        p._ignoreOnInstalledComponent + L";menu=";
    for (const MenuEntry& e : p._vecMenu) {
        text += L"[" + std::to_wstring(e._isSeparator) + std::to_wstring(e._isActive) + L"|" + e._parentMenu + L"|" + e._text +
                L"|" + std::to_wstring(e._function) + L"]";
    }
    return text + L";";
}

struct VocabularyRow {
    const char* xml;                  // the one plug-in inside the root
    std::vector<std::wstring> facts;  // "field=value" of its descriptor
};

const VocabularyRow kVocabulary[] = {
    {R"(<plugin description="Eins" type="DLL" level="1"/>)", {L"name=Eins", L"level=1", L"type=1"}},
    // The level is 1 only for the text "1"; the type texts ignore case.
    {R"(<plugin type="Listener" level="01"/>)", {L"type=2", L"level=0"}},
    {R"(<plugin type="service" level=" 1"/>)", {L"type=0", L"level=0"}},
    // Element names ignore case, nesting and namespace prefixes.
    {R"(<group><plugin><BINARYNAME>eins.dll</BINARYNAME><x:Path xmlns:x="urn:x">C:\P\{cat}</x:Path></plugin></group>)",
     {L"binary=eins.dll", L"path=C:\\P\\"}},
    {R"(<plugin><System>TRUE</System><pure>yes</pure><events>Klasse</events></plugin>)", {L"system=1", L"pure=0", L"class=Klasse"}},
    {R"(<plugin><ignoreOnInstalledComponent>B0009901</ignoreOnInstalledComponent></plugin>)", {L"ignore=B0009901"}},
    // An empty entry point name keeps its default.
    {R"(<plugin><implements run="" initialize="Init2"/></plugin>)", {L"run=Run", L"init=Init2", L"uninit=Uninitialize"}},
    {"<plugin><menu pos=\"3\">\n  <e active=\"0\" parent=\"P\">\n    <separ/><text>Hallo</text><fid>17</fid></e>\n"
     "  <e><text>x</text><separ/></e>\n</menu></plugin>", {L"menupos=3", L"menu=[00|P|Hallo|17][11||x|0]"}},
    // Time-outs: leading blanks and trailing text, none, defaults, saturation at 32 bits.
    {R"(<plugin><timeoutUnload>  350ms</timeoutUnload></plugin>)", {L"timeout=350"}},
    {R"(<plugin><timeoutUnload>abc</timeoutUnload></plugin>)", {L"timeout=0"}},
    {R"(<plugin/>)", {L"name=", L"type=0", L"timeout=2000"}},
    {R"(<plugin><timeoutUnload>-99999999999</timeoutUnload></plugin>)", {L"timeout=-2147483648"}},
    {R"(<plugin><timeoutUnload>2147483648</timeoutUnload></plugin>)", {L"timeout=2147483647"}},
    // "ā" has no exact form in code page 1252; a best-fit "a" would name another directory.
    {"<plugin><path>C:\\Pl\xC4\x81gins\\</path></plugin>", {L"path=C:\\Pl\u0101gins\\"}},
    {"<plugin><path>C:\\M\xC3\xBCnchen\\</path></plugin>", {L"path=C:\\M\u00FCnchen\\"}},
};

class PluginConfig : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ResetHklmSandbox());
        ASSERT_TRUE(recorder.loaded());
        recorder.Reset();
    }
    ScratchDirectory dir{L"plugincfg"};
    const std::wstring file = dir.path() + L"B0009999.xml";
    Recorder recorder;
};

TEST_F(PluginConfig, VocabularyIgnoresCaseNestingAndPrefixes) {
    for (const VocabularyRow& row : kVocabulary) {
        SCOPED_TRACE(row.xml);
        const Descriptors read = Read(file, row.xml, 4);
        EXPECT_EQ(1, read.counted);
        ASSERT_EQ(1, read.filled);
        const std::wstring description = Describe(read.infos[0]);
        for (const std::wstring& fact : row.facts) {
            EXPECT_NE(std::wstring::npos, description.find(L";" + fact + L";")) << Narrow(fact) << " in " << Narrow(description);
        }
    }
}

// (A broken file: PluginDiscoveryTests.)
TEST_F(PluginConfig, AtMostTheRoomGivenAndNothingFromMissingFiles) {
    const std::string three = R"(<plugin description="a"/><plugin description="b"/><plugin description="c"/>)";
    EXPECT_EQ(0, Read(file, three, 0).filled);
    const Descriptors two = Read(file, three, 2);
    EXPECT_EQ(3, two.counted);
    ASSERT_EQ(2, two.filled);
    EXPECT_EQ(L"b", two.infos[1]._name);
    EXPECT_EQ(0, CPluginConfig((dir.path() + L"fehlt.xml").c_str()).GetNumberOfPluginInfos());
}

std::string Plugin(const char* name, const char* tag, const char* value) {
    return std::string("<plugin description=\"") + name + "\"><" + tag + ">" + value + "</" + tag + "></plugin>";
}
std::string ByKey(const char* name, const char* valuePath) { return Plugin(name, "ignoreonregistrykey", valuePath); }
std::string ByComponent(const char* name, const char* ids) { return Plugin(name, "ignoreoninstalledcomponent", ids); }

struct RuleRow {
    const char* name;
    std::string xml;
    std::vector<std::wstring> kept;
    std::vector<std::tuple<int, const char*, int>> lines;  // level, text, how often
};

const RuleRow kRules[] = {
    {"OnlyANonZeroDwordIgnores",
     ByKey("zero", "SOFTWARE\\PluginRules\\Zero") + ByKey("two", "SOFTWARE\\PluginRules\\Two") +
         ByKey("text", "SOFTWARE\\PluginRules\\Text") + ByKey("nokey", "SOFTWARE\\NoSuchKey\\Value") + ByKey("bare", "Two") +
         // Nothing behind the last backslash: the whole text is both key path and value name.
         ByKey("tail", "SOFTWARE\\PluginRules\\Tail\\"),
     {L"zero", L"text", L"nokey", L"bare"},
     {{8, "Schl\xfcssel <Text> hat den falschen Typ <1>. Es wird nur Typ <4> unterst\xfctzt!", 1}}},
    {"InstalledComponentsIgnore",
     ByComponent("semi", "B0009911;B0009912") + ByComponent("comma", "B0009912,B0009911") +
         ByComponent("none", "B0009911,B0009913") + ByComponent("short", "B12"),
     {L"none", L"short"},
     {{2, "L\xe4nge von Tag <ignoreoninstalledcomponent> ist ung\xfcltig (3)!", 1}}},
    // A malformed token ignores its plug-in; a list in lower case is no list at all.
    {"MalformedTokensIgnoreAndLowerCaseIsNoList",
     "<plugin/>" + ByComponent("bad", "B0009911;x") + ByComponent("space", "B0009901; B0009902") + ByComponent("lower", "b0009911"),
     {L"", L"lower"},
     {{8, "Komponentenstring <x> ist fehlerhaft und/oder wird nicht unterst\xfctzt.", 1},
      {8, "Komponentenstring < B0009902> ist fehlerhaft und/oder wird nicht unterst\xfctzt.", 1},
      {2, "Ung\xfcltige Komponente in Tag <ignoreoninstalledcomponent> gefunden!", 1}}},
};

class IgnoreRules : public PluginConfig, public ::testing::WithParamInterface<RuleRow> {};

TEST_P(IgnoreRules, IgnoreWhatTheRulesSayAndTraceWhy) {
    ASSERT_TRUE(SetRegistryDword(kRuleKey, L"Zero", 0));
    ASSERT_TRUE(SetRegistryDword(kRuleKey, L"Two", 2));
    ASSERT_TRUE(SetRegistryString(kRuleKey, L"Text", L"1"));
    ASSERT_TRUE(SetRegistryDword(std::wstring(kRuleKey) + L"\\Tail\\", std::wstring(kRuleKey) + L"\\Tail\\", 1));
    ASSERT_TRUE(RegisterComponent(L"B0009912"));
    recorder.Reset();
    std::vector<std::wstring> names;
    const Descriptors read = Read(file, GetParam().xml);
    for (int i = 0; i < read.filled; ++i) names.push_back(read.infos[static_cast<size_t>(i)]._name);
    EXPECT_EQ(GetParam().kept, names);  // no gap left by an ignored one
    const auto records = recorder.Records();
    for (const auto& [level, text, times] : GetParam().lines) {
        EXPECT_EQ(times, std::ranges::count_if(records, [&](const auto& r) { return r.level == level && r.text == text; }))
            << text << "\n" << recorder.All();
    }
}
INSTANTIATE_TEST_SUITE_P(Rules, IgnoreRules, ::testing::ValuesIn(kRules),
                         [](const ::testing::TestParamInfo<RuleRow>& info) { return std::string(info.param.name); });

constexpr DWORD kCallBoundMs = 20000;  // generous: only a hang may exceed it
constexpr char kExitReturned[] = "R\xfc" "ckkehr aus Funktion VemoDaemonExit.";

// Sets the module's test switch and clears its record of calls.
bool SetDaemonSwitch(DaemonTestMode mode, DWORD delayMs = 0, DWORD result = 0) {
    using namespace vemo::daemonmodule;
    return DeleteRegistryValue(kRegistryKey, kValueTestCalls) &&
           SetRegistryDword(kRegistryKey, kValueTestMode, static_cast<DWORD>(mode)) &&
           SetRegistryDword(kRegistryKey, kValueTestDelayMs, delayMs) && SetRegistryDword(kRegistryKey, kValueTestResult, result);
}
// The exports the module saw called, one letter each, in order.
std::wstring DaemonCalls() {
    return ReadRegistryString(vemo::daemonmodule::kRegistryKey, vemo::daemonmodule::kValueTestCalls).value_or(L"");
}
bool DaemonModuleLoaded() { return ::GetModuleHandleW(VEMO_DAEMON_MODULE_NAME) != nullptr; }

class DaemonModeTest : public PluginConfig {
protected:
    std::vector<std::string> Texts(int level) const {
        std::vector<std::string> texts;
        for (const TraceRecord& r : recorder.Records()) if (r.level == level && r.category == "VeMoHost.Common") texts.push_back(r.text);
        return texts;
    }
    bool Traced(int level, const std::string& text) const { return std::ranges::count(Texts(level), text) > 0; }

    struct DaemonCall {
        std::atomic<bool> stopFlag{false};
        std::atomic<bool> done{false};
        bool result = false;
        bool hostNeeded = false;
    };
    // EnterDaemonMode on a thread of its own, as the service runs it; stopWhileChecking sets the stop
    // flag once the check has been called. Empty on a hang.
    std::optional<bool> RunDaemonMode(bool stopWhileChecking, bool& bHostNeeded) {
        auto call = std::make_shared<DaemonCall>();
        call->hostNeeded = bHostNeeded;
        std::thread([call] {
            vemo::seh::SetSehTranslator(&TranslateSEHExceptionNoDump);  // the service's thread translates faults too
            call->result = EnterDaemonMode(call->hostNeeded, &call->stopFlag);
            call->done = true;
        }).detach();  // the shared state outlives a thread that hangs
        if (stopWhileChecking) {
            EXPECT_TRUE(WaitFor([&] { return Traced(8, "Rufen VemoDaemonCheckLeser."); }, kCallBoundMs));
            call->stopFlag = true;
        }
        if (!WaitFor([&] { return call->done.load(); }, kCallBoundMs)) {
            call->stopFlag = true;
            return std::nullopt;
        }
        bHostNeeded = call->hostNeeded;
        return call->result;
    }
};

TEST_F(DaemonModeTest, EachAnswerOfTheModule) {
    struct Case {
        const char* name;
        DaemonTestMode mode;
        DWORD delayMs, result;
        bool stopWhileChecking;
        std::optional<bool> done;
        bool hostNeeded;        // the out flag
        const char* errorLine;  // the one level-2 line, if any
        const wchar_t* calls;   // the exports the module saw called
    };
    const Case cases[] = {
        {"host needed", DaemonTestMode::HostNeeded, 50, 0, false, true, true, nullptr, L"ICE"},
        {"no answer until stopped", DaemonTestMode::WaitForStop, 0, 0, true, true, false, nullptr, L"ICE"},
        {"stop before the answer", DaemonTestMode::HostNeeded, 600000, 0, true, true, false, nullptr, L"ICE"},
        {"error code", DaemonTestMode::ReturnResult, 0, 1234, false, true, false, "VemoDaemonCheckLeser liefert Fehler <1234>!", L"ICE"},
        {"init fails", DaemonTestMode::InitFails, 0, 0, false, false, false, "VemoDaemonInit liefert false.", L"I"},
        // A fault in the check is reported and leaves the module loaded: nothing runs after it.
        {"fault", DaemonTestMode::Fault, 0, 0, false, false, false, nullptr, L"IC"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        recorder.Reset();
        ASSERT_TRUE(SetDaemonSwitch(c.mode, c.delayMs, c.result));
        bool hostNeeded = !c.hostNeeded;
        EXPECT_EQ(c.done, RunDaemonMode(c.stopWhileChecking, hostNeeded));
        EXPECT_EQ(c.hostNeeded, hostNeeded);
        EXPECT_EQ(c.errorLine ? std::vector<std::string>{c.errorLine} : std::vector<std::string>{}, Texts(2));
        EXPECT_EQ(c.calls, DaemonCalls());
        const bool fault = c.mode == DaemonTestMode::Fault;
        EXPECT_EQ(fault, Traced(1, "Es ist eine Exception in EnterDaemonMode() aufgetreten!"));
        EXPECT_EQ(fault, DaemonModuleLoaded());
        if (fault && DaemonModuleLoaded()) ::FreeLibrary(::GetModuleHandleW(VEMO_DAEMON_MODULE_NAME));  // the one reference left
    }
}

TEST_F(DaemonModeTest, WatchingTheReadersEndsOnStopOrWithAPcscCode) {
    // No switch: PC/SC decides. Wine 8 fails SCardEstablishContext (SCARD_F_INTERNAL_ERROR) at once, Windows
    // without the service gives SCARD_E_NO_SERVICE; with it and no reader the check waits for the stop.
    bool hostNeeded = true;
    EXPECT_EQ(true, RunDaemonMode(true, hostNeeded));
    EXPECT_FALSE(hostNeeded);
    const auto errors = Texts(2);
    if (RunningUnderWine() || !errors.empty()) {
        ASSERT_EQ(1u, errors.size());
        unsigned code = 0;
        ASSERT_EQ(1, sscanf(errors[0].c_str(), "VemoDaemonCheckLeser liefert Fehler <%u>!", &code)) << errors[0];
        EXPECT_EQ(RunningUnderWine() ? 0x80100001u : 0x8010001Du, code) << std::hex << code;
    }
    EXPECT_TRUE(Traced(8, kExitReturned));
    EXPECT_FALSE(DaemonModuleLoaded());
}

}  // namespace
