// Ignore rules against the registry. HKLM of this process is redirected to a scratch key below
// HKCU, so other test programs and the machine's keys are never touched.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Recorder.h"
#include "TestSupport.h"
#include "VeMoHostIntLib/PluginKonfig.h"
#include "common/UniqueHandle.h"

namespace {

[[maybe_unused]] const bool kSandbox = vemo::test::UseHklmSandbox(L"Software\\VeMoPluginConfigTests");
constexpr wchar_t kRuleKey[] = L"SOFTWARE\\PluginRules";


using vemo::test::SetRegistryDword;
using vemo::test::SetRegistryString;
using vemo::test::SetRegistryValue;
bool InstallComponent(const std::wstring& id) { return vemo::test::RegisterComponent(id); }

class PluginConfigRegistryTest : public ::testing::Test {
protected:
    vemo::test::ScratchDirectory dir{L"plugincfgreg"};
    vemo::test::Recorder recorder;

    void SetUp() override {
        ASSERT_TRUE(vemo::test::ResetHklmSandbox());
        ASSERT_TRUE(recorder.loaded());
        recorder.Reset();
    }
    std::vector<std::wstring> ReadNames(const std::string& xml) {
        const std::wstring file = dir.path() + L"B0009998.xml";
        EXPECT_TRUE(vemo::test::WriteFileBytes(file, xml));
        std::vector<CPluginInfo> infos(4);
        CPluginConfig config(file.c_str());
        CPluginInfo* first = infos.data();
        const int n = config.GetPluginInfo(&first, static_cast<int>(infos.size()));
        std::vector<std::wstring> names;
        for (int i = 0; i < n; ++i) names.push_back(infos[static_cast<size_t>(i)]._name);
        return names;
    }
    bool Traced(int level, const std::string& text) const {
        const auto records = recorder.Records();
        return std::any_of(records.begin(), records.end(),
                           [&](const auto& r) { return r.level == level && r.text == text; });
    }
    int CountTraced(int level, const std::string& text) const {
        const auto records = recorder.Records();
        return static_cast<int>(std::count_if(records.begin(), records.end(),
                                              [&](const auto& r) { return r.level == level && r.text == text; }));
    }
};

std::string RegistryPlugin(const char* name, const char* valuePath) {
    return std::string("<plugin description=\"") + name + "\"><ignoreonregistrykey>" + valuePath +
           "</ignoreonregistrykey></plugin>";
}

TEST_F(PluginConfigRegistryTest, OnlyANonZeroDwordIgnores) {
    ASSERT_TRUE(SetRegistryDword(kRuleKey, L"Zero", 0));
    ASSERT_TRUE(SetRegistryDword(kRuleKey, L"Two", 2));
    ASSERT_TRUE(SetRegistryString(kRuleKey, L"Text", L"1"));
    const std::vector<std::wstring> names =
        ReadNames("<r>" + RegistryPlugin("zero", "SOFTWARE\\PluginRules\\Zero") +
                  RegistryPlugin("two", "SOFTWARE\\PluginRules\\Two") +
                  RegistryPlugin("text", "SOFTWARE\\PluginRules\\Text") +
                  RegistryPlugin("nokey", "SOFTWARE\\NoSuchKey\\Value") + "</r>");
    EXPECT_EQ((std::vector<std::wstring>{L"zero", L"text", L"nokey"}), names);
    EXPECT_TRUE(Traced(8, "Schl\xfcssel <Text> hat den falschen Typ <1>. Es wird nur Typ <4> unterst\xfctzt!"));
    EXPECT_TRUE(Traced(8, "Schl\xfcssel <Two> unter <HKLM\\SOFTWARE\\PluginRules> wurde erfolgreich gelesen. Wert: <2>"));

    CPluginConfig config((dir.path() + L"none.xml").c_str());
    EXPECT_FALSE(config.IsPluginIgnoredByRegistryKey(L"NoBackslash"));
    EXPECT_FALSE(config.IsPluginIgnoredByRegistryKey(L""));
    EXPECT_TRUE(config.IsPluginIgnoredByRegistryKey(L"SOFTWARE\\PluginRules\\Two"));
    EXPECT_FALSE(config.IsPluginIgnoredByRegistryKey(L"SOFTWARE\\PluginRules\\Missing"));
    // Nothing behind the last backslash: the whole text is both key path and value name.
    const std::wstring whole = std::wstring(kRuleKey) + L"\\Tail\\";
    ASSERT_TRUE(SetRegistryDword(whole, whole, 1));
    EXPECT_TRUE(config.IsPluginIgnoredByRegistryKey(whole));
}

TEST_F(PluginConfigRegistryTest, InstalledComponentsIgnore) {
    ASSERT_TRUE(InstallComponent(L"B0009912"));
    const std::vector<std::wstring> names = ReadNames(
        "<r><plugin description=\"semi\"><ignoreoninstalledcomponent>B0009911;B0009912</ignoreoninstalledcomponent></plugin>"
        "<plugin description=\"comma\"><ignoreoninstalledcomponent>B0009912,B0009911</ignoreoninstalledcomponent></plugin>"
        "<plugin description=\"none\"><ignoreoninstalledcomponent>B0009911,B0009913</ignoreoninstalledcomponent></plugin>"
        "<plugin description=\"short\"><ignoreoninstalledcomponent>B12</ignoreoninstalledcomponent></plugin></r>");
    EXPECT_EQ((std::vector<std::wstring>{L"none", L"short"}), names);
    EXPECT_TRUE(Traced(8, "Komponente <B0009912> ist installiert. Plugin <semi> wird nicht geladen."));
    EXPECT_TRUE(Traced(2, "L\xe4nge von Tag <ignoreoninstalledcomponent> ist ung\xfcltig (3)!"));
}

TEST_F(PluginConfigRegistryTest, MissingAttributesAndBadTokensAreTraced) {
    const std::vector<std::wstring> names = ReadNames(
        "<r><plugin/><plugin description=\"bad\"><ignoreoninstalledcomponent>B0009911;x</ignoreoninstalledcomponent></plugin>"
        "<plugin description=\"lower\"><ignoreoninstalledcomponent>b0009911</ignoreoninstalledcomponent></plugin></r>");
    EXPECT_EQ((std::vector<std::wstring>{L"", L"lower"}), names);
    EXPECT_EQ(1, CountTraced(4, "Fehler beim Ermitteln des Attributes <description>, attr == NULL"));
    // Only the first element lacks a description; none of the three has a type or level.
    EXPECT_EQ(3, CountTraced(4, "Fehler beim Ermitteln des Attributes <type>, attr == NULL"));
    EXPECT_EQ(3, CountTraced(4, "Fehler beim Ermitteln des Attributes <level>, attr == NULL"));
    EXPECT_TRUE(Traced(8, "Komponentenstring <x> ist fehlerhaft und/oder wird nicht unterst\xfctzt."));
    EXPECT_TRUE(Traced(2, "Ung\xfcltige Komponente in Tag <ignoreoninstalledcomponent> gefunden!"));
    // Every plug-in element reports its children, also when it has none.
    EXPECT_EQ(1, CountTraced(8, "ChildNodes <0> gefunden..."));
    EXPECT_EQ(2, CountTraced(8, "ChildNodes <1> gefunden..."));
}

// A reader whose document could not be created.
class CPluginConfigWithoutDocument : public CPluginConfig {
public:
    using CPluginConfig::CPluginConfig;
    void DropDocument() { m_xmlDocument.reset(); }
};

TEST_F(PluginConfigRegistryTest, WithoutDocumentBothOperationsRaiseEPointer) {
    CPluginConfigWithoutDocument config((dir.path() + L"none.xml").c_str());
    ASSERT_TRUE(config.HasDocument());
    config.DropDocument();
    std::vector<CPluginInfo> infos(1);
    CPluginInfo* first = infos.data();
    for (int pass = 0; pass < 2; ++pass) {
        HRESULT hr = S_OK;
        try {
            if (pass == 0) config.GetNumberOfPluginInfos();
            else config.GetPluginInfo(&first, 1);
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
