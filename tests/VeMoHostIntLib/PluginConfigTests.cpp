// The plug-in descriptor and the configuration reader on real files: the vocabulary (one document
// per row, the fields of its first descriptor as text), the ignore rules against a private
// machine hive and what the reader traces, and what a descriptor owns.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "Recorder.h"
#include "TestSupport.h"
#include "VeMoHostIntLib/PluginKonfig.h"

namespace {

using namespace vemo::test;

// The ignore rules must not see components another test installs.
[[maybe_unused]] const bool kSandbox = UseHklmSandbox(L"Software\\VeMoPluginConfigTests");
constexpr wchar_t kRuleKey[] = L"SOFTWARE\\PluginRules";

// What the reader counts and fills, with room for this many, from a document with these elements
// inside its root.
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
    const char* xml;  // the elements inside the root
    int count;
    std::vector<std::wstring> facts;  // "field=value" of the first descriptor
};

const VocabularyRow kVocabulary[] = {
    {R"(<plugin description="Eins" type="DLL" level="1"/>)", 1, {L"name=Eins", L"level=1", L"type=1"}},
    // The level is 1 only for the text "1"; the type texts ignore case.
    {R"(<plugin type="Listener" level="01"/>)", 1, {L"type=2", L"level=0"}},
    {R"(<plugin type="service" level=" 1"/>)", 1, {L"type=0", L"level=0"}},
    // Element names ignore case, nesting and namespace prefixes.
    {R"(<group><plugin><BINARYNAME>eins.dll</BINARYNAME><x:Path xmlns:x="urn:x">C:\P\{cat}</x:Path></plugin></group>)", 1,
     {L"binary=eins.dll", L"path=C:\\P\\"}},
    {R"(<plugin><System>TRUE</System><pure>yes</pure><events>Klasse</events></plugin>)", 1, {L"system=1", L"pure=0", L"class=Klasse"}},
    {R"(<plugin><ignoreOnInstalledComponent>B0009901</ignoreOnInstalledComponent></plugin>)", 1, {L"ignore=B0009901"}},
    // An empty entry point name keeps its default.
    {R"(<plugin><implements run="" initialize="Init2"/></plugin>)", 1, {L"run=Run", L"init=Init2", L"uninit=Uninitialize"}},
    {"<plugin><menu pos=\"3\">\n  <e active=\"0\" parent=\"P\">\n    <separ/><text>Hallo</text><fid>17</fid></e>\n"
     "  <e><text>x</text><separ/></e>\n</menu></plugin>", 1, {L"menupos=3", L"menu=[00|P|Hallo|17][11||x|0]"}},
    // Time-outs: leading blanks and trailing text, none, defaults, saturation at 32 bits.
    {R"(<plugin><timeoutUnload>  350ms</timeoutUnload></plugin>)", 1, {L"timeout=350"}},
    {R"(<plugin><timeoutUnload>abc</timeoutUnload></plugin>)", 1, {L"timeout=0"}},
    {R"(<plugin/>)", 1, {L"name=", L"type=0", L"timeout=2000"}},
    {R"(<plugin><timeoutUnload>-99999999999</timeoutUnload></plugin>)", 1, {L"timeout=-2147483648"}},
    {R"(<plugin><timeoutUnload>2147483648</timeoutUnload></plugin>)", 1, {L"timeout=2147483647"}},
    // "ā" has no exact form in code page 1252; a best-fit "a" would name another directory.
    {"<plugin><path>C:\\Pl\xC4\x81gins\\</path></plugin>", 1, {L"path=C:\\Pl\u0101gins\\"}},
    {"<plugin><path>C:\\M\xC3\xBCnchen\\</path></plugin>", 1, {L"path=C:\\M\u00FCnchen\\"}},
    {R"(<plugin description="a"/><plugin description="b"/><plugin description="c"/>)", 3, {L"name=a"}},
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
        EXPECT_EQ(row.count, read.counted);
        ASSERT_EQ(row.count, read.filled);
        const std::wstring description = Describe(read.infos[0]);
        for (const std::wstring& fact : row.facts) {
            EXPECT_NE(std::wstring::npos, description.find(L";" + fact + L";")) << Narrow(fact) << " in " << Narrow(description);
        }
    }
}

TEST_F(PluginConfig, AtMostTheRoomGivenAndNothingFromBrokenFiles) {
    const std::string three = R"(<plugin description="a"/><plugin description="b"/><plugin description="c"/>)";
    EXPECT_EQ(0, Read(file, three, 0).filled);
    const Descriptors two = Read(file, three, 2);
    ASSERT_EQ(2, two.filled);
    EXPECT_EQ(L"b", two.infos[1]._name);
    const Descriptors broken = Read(file, R"(<plugin description="a">)", 1);
    EXPECT_EQ(0, broken.counted);
    EXPECT_EQ(0, broken.filled);
    EXPECT_EQ(0, CPluginConfig((dir.path() + L"fehlt.xml").c_str()).GetNumberOfPluginInfos());
}

// --- ignore rules -------------------------------------------------------------------------------

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
     {{8, "Schl\xfcssel <Text> hat den falschen Typ <1>. Es wird nur Typ <4> unterst\xfctzt!", 1},
      {8, "Schl\xfcssel <Two> unter <HKLM\\SOFTWARE\\PluginRules> wurde erfolgreich gelesen. Wert: <2>", 1}}},
    {"InstalledComponentsIgnore",
     ByComponent("semi", "B0009911;B0009912") + ByComponent("comma", "B0009912,B0009911") +
         ByComponent("none", "B0009911,B0009913") + ByComponent("short", "B12"),
     {L"none", L"short"},
     {{8, "Komponente <B0009912> ist installiert. Plugin <semi> wird nicht geladen.", 1},
      {2, "L\xe4nge von Tag <ignoreoninstalledcomponent> ist ung\xfcltig (3)!", 1}}},
    // A malformed token ignores its plug-in; a list in lower case is no list at all.
    {"MalformedTokensIgnoreAndLowerCaseIsNoList",
     "<plugin/>" + ByComponent("bad", "B0009911;x") + ByComponent("space", "B0009901; B0009902") + ByComponent("lower", "b0009911"),
     {L"", L"lower"},
     {{8, "Komponentenstring <x> ist fehlerhaft und/oder wird nicht unterst\xfctzt.", 1},
      {8, "Komponentenstring < B0009902> ist fehlerhaft und/oder wird nicht unterst\xfctzt.", 1},
      {2, "Ung\xfcltige Komponente in Tag <ignoreoninstalledcomponent> gefunden!", 1},
      // Only the first element lacks a description; none has a type or level.
      {4, "Fehler beim Ermitteln des Attributes <description>, attr == NULL", 1},
      {4, "Fehler beim Ermitteln des Attributes <type>, attr == NULL", 4},
      {4, "Fehler beim Ermitteln des Attributes <level>, attr == NULL", 4},
      // Every plug-in element reports its children, also when it has none.
      {8, "ChildNodes <0> gefunden...", 1},
      {8, "ChildNodes <1> gefunden...", 3}}},
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

// --- what a descriptor owns ----------------------------------------------------------------------

TEST(PluginInfo, SamePluginMeansTheSameNameToTheLetter) {
    const CPluginInfo a(L"Kartenleser", L"p.dll", L"C:\\", L"0", L"dll");
    EXPECT_TRUE(a.IsSamePlugin(CPluginInfo(L"Kartenleser", L"other.dll", L"D:\\", L"1", L"listener")));
    EXPECT_FALSE(a.IsSamePlugin(CPluginInfo(L"kartenleser", L"p.dll", L"C:\\", L"0", L"dll")));
}

// A descriptor frees its module unless the stop released it (for a thread it could not end).
TEST(PluginInfo, ADescriptorGivesBackItsModuleUnlessReleased) {
    const std::wstring path = PluginDirectory() + kTestPluginDll;
    auto loaded = [&] {
        HMODULE module = nullptr;
        return ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, path.c_str(), &module) != FALSE;
    };
    ASSERT_FALSE(loaded());
    for (const bool release : {false, true}) {
        HMODULE kept = nullptr;
        {
            CPluginInfo info;
            info._hModule.reset(::LoadLibraryW(path.c_str()));
            ASSERT_TRUE(loaded());
            if (release) kept = info._hModule.release();
        }
        EXPECT_EQ(release, loaded());
        const vemo::unique_hmodule giveBack(kept);
    }
}

}  // namespace
