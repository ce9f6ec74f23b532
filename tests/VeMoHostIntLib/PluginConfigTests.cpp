// The configuration reader on real files in a scratch directory: one document per row, the
// fields of its first descriptor as text.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "VeMoHostIntLib/PluginKonfig.h"

namespace {

// A private machine hive: the ignore rules must not see components another test installs.
[[maybe_unused]] const bool kSandbox = vemo::test::UseHklmSandbox(L"Software\\VeMoPluginConfigReaderTests");

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

TEST(PluginConfig, VocabularyIgnoresCaseNestingAndPrefixes) {
    vemo::test::ScratchDirectory dir{L"plugincfg"};
    const std::wstring file = dir.path() + L"B0009999.xml";
    for (const VocabularyRow& row : kVocabulary) {
        SCOPED_TRACE(row.xml);
        ASSERT_TRUE(vemo::test::WriteFileBytes(file, std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><r>") + row.xml + "</r>"));
        CPluginConfig config(file.c_str());
        EXPECT_EQ(row.count, config.GetNumberOfPluginInfos());
        std::vector<CPluginInfo> infos(4);
        CPluginInfo* first = infos.data();
        ASSERT_EQ(row.count, config.GetPluginInfo(&first, 4));
        const std::wstring description = Describe(infos[0]);
        for (const std::wstring& fact : row.facts) {
            EXPECT_NE(std::wstring::npos, description.find(L";" + fact + L";")) << vemo::test::Narrow(fact) << " in "
                                                                               << vemo::test::Narrow(description);
        }
    }
}

TEST(PluginConfig, AtMostTheMaximumCountAndNothingFromBrokenFiles) {
    vemo::test::ScratchDirectory dir{L"plugincfg"};
    const std::wstring file = dir.path() + L"B0009999.xml";
    ASSERT_TRUE(vemo::test::WriteFileBytes(file, R"(<r><plugin description="a"/><plugin description="b"/><plugin description="c"/></r>)"));
    std::vector<CPluginInfo> infos(3);
    CPluginInfo* first = infos.data();
    EXPECT_EQ(0, CPluginConfig(file.c_str()).GetPluginInfo(&first, 0));
    EXPECT_EQ(L"", infos[0]._name);
    EXPECT_EQ(2, CPluginConfig(file.c_str()).GetPluginInfo(&first, 2));
    EXPECT_EQ(L"b", infos[1]._name);
    EXPECT_EQ(L"", infos[2]._name);

    ASSERT_TRUE(vemo::test::WriteFileBytes(file, R"(<r><plugin description="a"></r>)"));
    EXPECT_EQ(0, CPluginConfig(file.c_str()).GetNumberOfPluginInfos());
    EXPECT_EQ(0, CPluginConfig((dir.path() + L"fehlt.xml").c_str()).GetNumberOfPluginInfos());
}

}  // namespace
