// The configuration reader on real files in a scratch directory.
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

class PluginConfigTest : public ::testing::Test {
protected:
    vemo::test::ScratchDirectory dir{L"plugincfg"};
    std::wstring Write(const std::string& xml) {
        const std::wstring file = dir.path() + L"B0009999.xml";
        EXPECT_TRUE(vemo::test::WriteFileBytes(file, xml));
        return file;
    }
    int Read(const std::wstring& file, std::vector<CPluginInfo>& out, int maxCount) {
        CPluginConfig config(file.c_str());
        CPluginInfo* first = out.data();
        return config.GetPluginInfo(&first, maxCount);
    }
};

TEST_F(PluginConfigTest, VocabularyIgnoresCaseAndNesting) {
    const std::wstring file = Write(
        "<?xml version=\"1.0\"?><root><group><plugin description=\"Eins\" type=\"DLL\" level=\"1\">"
        "<BINARYNAME>eins.dll</BINARYNAME><x:Path xmlns:x=\"urn:x\">C:\\P\\{cat}</x:Path><System>TRUE</System>"
        "<pure>yes</pure><timeoutUnload>  350ms</timeoutUnload><events>Klasse</events>"
        "<implements run=\"\" initialize=\"Init2\"/>"
        "<menu pos=\"3\">\n  <e active=\"0\" parent=\"P\">\n    <separ/><text>Hallo</text><fid>17</fid></e>\n  <e><text>x</text><separ/></e>\n</menu>"
        "</plugin></group><plugin><timeoutUnload>abc</timeoutUnload></plugin><plugin/></root>");
    std::vector<CPluginInfo> infos(3);
    {
        CPluginConfig config(file.c_str());
        EXPECT_EQ(3, config.GetNumberOfPluginInfos());
    }
    ASSERT_EQ(3, Read(file, infos, 3));
    const CPluginInfo& a = infos[0];
    EXPECT_EQ(L"Eins", a._name);
    EXPECT_EQ(1, a._level);
    EXPECT_EQ(CPluginInfo::kTypeDll, a._type);
    EXPECT_EQ(L"eins.dll", a._binaryName);
    EXPECT_EQ(L"C:\\P\\", a._path);
    EXPECT_TRUE(a._runsInSystemContext);
    EXPECT_FALSE(a._runsInPureMode);
    EXPECT_EQ(350, a._timeOutUnload);
    EXPECT_EQ(L"Klasse", a._className);
    EXPECT_EQ(L"Run", a._runName);
    EXPECT_EQ(L"Init2", a._initializeName);
    EXPECT_EQ(L"Uninitialize", a._uninitializeName);
    EXPECT_EQ(3, a._menuPosition);
    ASSERT_EQ(2u, a._vecMenu.size());
    EXPECT_FALSE(a._vecMenu[0]._isSeparator);
    EXPECT_FALSE(a._vecMenu[0]._isActive);
    EXPECT_EQ(L"P", a._vecMenu[0]._parentMenu);
    EXPECT_EQ(L"Hallo", a._vecMenu[0]._text);
    EXPECT_EQ(17, a._vecMenu[0]._function);
    EXPECT_TRUE(a._vecMenu[1]._isSeparator);
    EXPECT_TRUE(a._vecMenu[1]._isActive);
    EXPECT_EQ(0, infos[1]._timeOutUnload);
    EXPECT_EQ(2000, infos[2]._timeOutUnload);
    EXPECT_EQ(L"", infos[2]._name);
    EXPECT_EQ(0, infos[2]._type);
}

TEST_F(PluginConfigTest, MaximumCountAndBrokenFiles) {
    const std::wstring file = Write("<r><plugin description=\"a\"/><plugin description=\"b\"/><plugin description=\"c\"/></r>");
    std::vector<CPluginInfo> infos(3);
    EXPECT_EQ(0, Read(file, infos, 0));
    EXPECT_EQ(L"", infos[0]._name);
    EXPECT_EQ(2, Read(file, infos, 2));
    EXPECT_EQ(L"b", infos[1]._name);
    EXPECT_EQ(L"", infos[2]._name);

    const std::wstring broken = Write("<r><plugin description=\"a\"></r>");
    CPluginConfig config(broken.c_str());
    EXPECT_EQ(0, config.GetNumberOfPluginInfos());
    CPluginConfig missing((dir.path() + L"fehlt.xml").c_str());
    EXPECT_EQ(0, missing.GetNumberOfPluginInfos());
}

TEST_F(PluginConfigTest, MalformedComponentTokenIgnoresAndLowerCaseListIsRejected) {
    const std::wstring file = Write(
        "<r><plugin description=\"a\"><ignoreoninstalledcomponent>B0009901; B0009902</ignoreoninstalledcomponent></plugin>"
        "<plugin description=\"b\"><ignoreoninstalledcomponent>b0009901</ignoreoninstalledcomponent></plugin>"
        "<plugin description=\"c\"><ignoreoninstalledcomponent>B0009901,B0009902</ignoreoninstalledcomponent></plugin></r>");
    std::vector<CPluginInfo> infos(3);
    ASSERT_EQ(2, Read(file, infos, 3));
    EXPECT_EQ(L"b", infos[0]._name);  // no gap left by the ignored one
    EXPECT_EQ(L"", infos[0]._ignoreOnInstalledComponent);
    EXPECT_EQ(L"c", infos[1]._name);
}

// Out-of-range numbers saturate instead of wrapping into a small or positive time-out.
TEST_F(PluginConfigTest, NumbersBeyondThirtyTwoBitsSaturate) {
    const std::wstring file = Write(
        "<r><plugin><timeoutUnload>-99999999999</timeoutUnload></plugin>"
        "<plugin><timeoutUnload>2147483648</timeoutUnload></plugin>"
        "<plugin><timeoutUnload>-2147483648</timeoutUnload></plugin></r>");
    std::vector<CPluginInfo> infos(3);
    ASSERT_EQ(3, Read(file, infos, 3));
    EXPECT_EQ(INT32_MIN, infos[0]._timeOutUnload);
    EXPECT_EQ(INT32_MAX, infos[1]._timeOutUnload);
    EXPECT_EQ(INT32_MIN, infos[2]._timeOutUnload);
}

// "ā" has no exact form in code page 1252; a best-fit "a" would name another directory.
TEST_F(PluginConfigTest, APathTheCodePageCannotHoldStaysAsWritten) {
    const std::wstring file = Write(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r><plugin><path>C:\\Pl\xC4\x81gins\\</path></plugin>"
        "<plugin><path>C:\\M\xC3\xBCnchen\\</path></plugin></r>");
    std::vector<CPluginInfo> infos(2);
    ASSERT_EQ(2, Read(file, infos, 2));
    EXPECT_EQ(L"C:\\Pl\u0101gins\\", infos[0]._path);
    EXPECT_EQ(L"C:\\M\u00FCnchen\\", infos[1]._path);
}

}  // namespace
