// Ignore rules against the registry, and what the reader traces. HKLM of this process is
// redirected to a scratch key below HKCU, so other test programs and the machine's keys are never
// touched.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Recorder.h"
#include "TestSupport.h"
#include "VeMoHostIntLib/PluginKonfig.h"

namespace {

using namespace vemo::test;

[[maybe_unused]] const bool kSandbox = UseHklmSandbox(L"Software\\VeMoPluginConfigTests");
constexpr wchar_t kRuleKey[] = L"SOFTWARE\\PluginRules";

std::string Plugin(const char* name, const char* tag, const char* value) {
    return std::string("<plugin description=\"") + name + "\"><" + tag + ">" + value + "</" + tag + "></plugin>";
}
std::string ByKey(const char* name, const char* valuePath) { return Plugin(name, "ignoreonregistrykey", valuePath); }
std::string ByComponent(const char* name, const char* ids) { return Plugin(name, "ignoreoninstalledcomponent", ids); }

struct Traced {
    int level;
    const char* text;
    int times;
};
struct RuleRow {
    const char* name;
    std::string xml;
    std::vector<std::wstring> kept;
    std::vector<Traced> lines;
};

class PluginConfigRegistryTest : public ::testing::TestWithParam<RuleRow> {
protected:
    void SetUp() override {
        ASSERT_TRUE(ResetHklmSandbox());
        ASSERT_TRUE(recorder.loaded());
        ASSERT_TRUE(SetRegistryDword(kRuleKey, L"Zero", 0));
        ASSERT_TRUE(SetRegistryDword(kRuleKey, L"Two", 2));
        ASSERT_TRUE(SetRegistryString(kRuleKey, L"Text", L"1"));
        ASSERT_TRUE(RegisterComponent(L"B0009912"));
        recorder.Reset();
    }
    int Count(int level, const std::string& text) const {
        const auto records = recorder.Records();
        return static_cast<int>(std::count_if(records.begin(), records.end(),
                                              [&](const auto& r) { return r.level == level && r.text == text; }));
    }
    ScratchDirectory dir{L"plugincfgreg"};
    Recorder recorder;
};

TEST_P(PluginConfigRegistryTest, IgnoresWhatTheRulesSayAndTracesWhy) {
    const RuleRow& row = GetParam();
    const std::wstring file = dir.path() + L"B0009998.xml";
    ASSERT_TRUE(WriteFileBytes(file, "<r>" + row.xml + "</r>"));
    std::vector<CPluginInfo> infos(5);
    CPluginInfo* first = infos.data();
    const int n = CPluginConfig(file.c_str()).GetPluginInfo(&first, static_cast<int>(infos.size()));
    std::vector<std::wstring> names;
    for (int i = 0; i < n; ++i) names.push_back(infos[static_cast<size_t>(i)]._name);
    EXPECT_EQ(row.kept, names);  // no gap left by an ignored one
    for (const Traced& line : row.lines) EXPECT_EQ(line.times, Count(line.level, line.text)) << line.text << "\n" << recorder.All();
}

const RuleRow kRules[] = {
    {"OnlyANonZeroDwordIgnores",
     ByKey("zero", "SOFTWARE\\PluginRules\\Zero") + ByKey("two", "SOFTWARE\\PluginRules\\Two") +
         ByKey("text", "SOFTWARE\\PluginRules\\Text") + ByKey("nokey", "SOFTWARE\\NoSuchKey\\Value"),
     {L"zero", L"text", L"nokey"},
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
     "<plugin/>" + ByComponent("bad", "B0009911;x") + ByComponent("space", "B0009901; B0009902") +
         ByComponent("lower", "b0009911"),
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
INSTANTIATE_TEST_SUITE_P(Rules, PluginConfigRegistryTest, ::testing::ValuesIn(kRules),
                         [](const ::testing::TestParamInfo<RuleRow>& info) { return std::string(info.param.name); });

TEST(PluginConfigRegistry, AValuePathSplitsAtItsLastBackslash) {
    ASSERT_TRUE(ResetHklmSandbox());
    ScratchDirectory dir{L"plugincfgreg"};
    CPluginConfig config((dir.path() + L"none.xml").c_str());
    ASSERT_TRUE(SetRegistryDword(kRuleKey, L"Two", 2));
    EXPECT_TRUE(config.IsPluginIgnoredByRegistryKey(L"SOFTWARE\\PluginRules\\Two"));
    EXPECT_FALSE(config.IsPluginIgnoredByRegistryKey(L"SOFTWARE\\PluginRules\\Missing"));
    EXPECT_FALSE(config.IsPluginIgnoredByRegistryKey(L"NoBackslash"));
    EXPECT_FALSE(config.IsPluginIgnoredByRegistryKey(L""));
    // Nothing behind the last backslash: the whole text is both key path and value name.
    const std::wstring whole = std::wstring(kRuleKey) + L"\\Tail\\";
    ASSERT_TRUE(SetRegistryDword(whole, whole, 1));
    EXPECT_TRUE(config.IsPluginIgnoredByRegistryKey(whole));
}

// A reader whose document could not be created.
class CPluginConfigWithoutDocument : public CPluginConfig {
public:
    using CPluginConfig::CPluginConfig;
    void DropDocument() { m_xmlDocument.reset(); }
};

TEST(PluginConfigRegistry, WithoutDocumentBothOperationsRaiseEPointer) {
    ScratchDirectory dir{L"plugincfgreg"};
    CPluginConfigWithoutDocument config((dir.path() + L"none.xml").c_str());
    ASSERT_TRUE(config.HasDocument());
    config.DropDocument();
    std::vector<CPluginInfo> infos(1);
    CPluginInfo* first = infos.data();
    for (int pass = 0; pass < 2; ++pass) {
        HRESULT hr = S_OK;
        try {
            pass == 0 ? config.GetNumberOfPluginInfos() : config.GetPluginInfo(&first, 1);
        } catch (const CXmlComError& e) {
            hr = e.Error();
        }
        EXPECT_EQ(E_POINTER, hr) << pass;
    }
    std::wstring value = L"unchanged";
    EXPECT_EQ(CXmlBase::kAttributeMissing, CXmlBase::GetAttributeValue(nullptr, L"x", value));
    EXPECT_EQ(L"unchanged", value);
}

}  // namespace
