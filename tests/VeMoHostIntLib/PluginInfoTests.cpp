// The plug-in descriptor: how configuration texts map to fields, copying and the duplicate test.
#include <gtest/gtest.h>
#include <windows.h>

#include "TestSupport.h"
#include "VeMoHostIntLib/PluginInfo.h"

namespace {

CPluginInfo Make(const wchar_t* name, const wchar_t* level, const wchar_t* type) {
    return CPluginInfo(name, L"plugin.dll", L"C:\\Plugins\\", level, type);
}

TEST(PluginInfo, LevelIsOneOnlyForTheTextOne) {
    EXPECT_EQ(1, Make(L"a", L"1", L"dll")._level);
    for (const wchar_t* text : {L"01", L"2", L"", L" 1"}) EXPECT_EQ(0, Make(L"a", text, L"dll")._level);
    CPluginInfo info = Make(L"a", L"1", L"dll");
    info.SetLevelAsTxt(nullptr);  // a missing attribute leaves the level alone
    EXPECT_EQ(1, info._level);
}

TEST(PluginInfo, TypeTextsIgnoreCase) {
    EXPECT_EQ(CPluginInfo::kTypeDll, Make(L"a", L"0", L"DLL").Type());
    EXPECT_EQ(CPluginInfo::kTypeListener, Make(L"a", L"0", L"Listener").Type());
    EXPECT_EQ(CPluginInfo::kTypeOther, Make(L"a", L"0", L"").Type());
    EXPECT_EQ(CPluginInfo::kTypeOther, Make(L"a", L"0", L"service").Type());
    CPluginInfo info = Make(L"a", L"0", L"listener");
    info.SetTypeAsTxt(nullptr);
    EXPECT_EQ(CPluginInfo::kTypeListener, info.Type());
}

bool WINAPI Init() { return true; }
int32_t WINAPI RunPlugin(VemoPluginStopFlag) { return 0; }
void WINAPI Uninit() {}

TEST(PluginInfo, LoadedMeansAllThreeRequiredEntryPointsAreKnown) {
    CPluginInfo info;
    info._isLoaded = true;  // the flag is not what counts
    info._pfnInitialize = &Init;
    info._pfnRun = &RunPlugin;
    EXPECT_FALSE(info.IsPluginLoaded());
    info._pfnUninitialize = &Uninit;
    EXPECT_TRUE(info.IsPluginLoaded());
}

TEST(PluginInfo, CopyTakesEveryFieldButTheOwnersAndReplacesTheMenu) {
    CPluginInfo source = Make(L"Quelle", L"1", L"listener");
    source._runName = L"R";
    source._runMenuName = L"RM";
    source._initializeName = L"I";
    source._uninitializeName = L"U";
    source._className = L"events";
    source._ignoreOnInstalledComponent = L"B0003815";
    source._isLoaded = true;
    source._initOk = false;
    source._runsInSystemContext = true;
    source._runsInPureMode = true;
    source._timeOutUnload = 12345;
    source._hThread.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));  // any handle it owns
    source._stopRequested = true;
    source._pfnInitialize = &Init;
    source._pfnUninitialize = &Uninit;
    source._pfnRun = &RunPlugin;
    source._menuPosition = 7;
    source._hModule.reset(::LoadLibraryW(L"kernel32.dll"));
    const vemo::unique_handle event;
    source._hRunEvent = &event;
    source._vecMenu = {MenuEntry{L"Eins", 1, L"", true, false}, MenuEntry{L"", 0, L"Haupt", false, true}};

    CPluginInfo target;
    target._vecMenu = {MenuEntry{L"alt", 9, L"", true, false}};
    target.Copy(source);
    EXPECT_EQ(L"Quelle", target._name);
    EXPECT_EQ(L"plugin.dll", target._binaryName);
    EXPECT_EQ(L"C:\\Plugins\\", target._path);
    EXPECT_EQ(L"R", target._runName);
    EXPECT_EQ(L"RM", target._runMenuName);
    EXPECT_EQ(L"I", target._initializeName);
    EXPECT_EQ(L"U", target._uninitializeName);
    EXPECT_EQ(L"events", target._className);
    EXPECT_EQ(L"B0003815", target._ignoreOnInstalledComponent);
    EXPECT_TRUE(target._isLoaded);
    EXPECT_FALSE(target._initOk);
    EXPECT_TRUE(target.RunInSystemContext());
    EXPECT_TRUE(target.RunInPureMode());
    EXPECT_EQ(12345, target._timeOutUnload);
    EXPECT_EQ(1, target._level);
    EXPECT_EQ(CPluginInfo::kTypeListener, target.Type());
    EXPECT_FALSE(target._hThread) << "a thread handle held twice";
    EXPECT_TRUE(target._stopRequested.load());
    EXPECT_TRUE(target.IsPluginLoaded());
    EXPECT_EQ(7, target._menuPosition);
    EXPECT_EQ(nullptr, target.GetPluginHndl()) << "a module held twice";
    EXPECT_TRUE(source._hThread && source._hModule);
    EXPECT_EQ(&event, target._hRunEvent);
    ASSERT_EQ(2u, target._vecMenu.size());
    EXPECT_EQ(L"Eins", target._vecMenu[0]._text);
    EXPECT_EQ(1, target._vecMenu[0]._function);
    EXPECT_EQ(L"Haupt", target._vecMenu[1]._parentMenu);
    EXPECT_FALSE(target._vecMenu[1]._isActive);
    EXPECT_TRUE(target._vecMenu[1]._isSeparator);
}

TEST(PluginInfo, SamePluginMeansTheSameNameToTheLetter) {
    CPluginInfo a = Make(L"Kartenleser", L"0", L"dll");
    CPluginInfo b(L"Kartenleser", L"other.dll", L"D:\\", L"1", L"listener");
    CPluginInfo c = Make(L"kartenleser", L"0", L"dll");
    EXPECT_TRUE(a.IsSamePlugin(b));
    EXPECT_FALSE(a.IsSamePlugin(c));
    EXPECT_FALSE(a.IsSamePlugin(Make(L"Kartenleser2", L"0", L"dll")));
}

TEST(PluginInfo, ADescriptorGivesBackItsModuleUnlessReleased) {
    const std::wstring path = vemo::test::PluginDirectory() + vemo::test::kTestPluginDll;
    auto loaded = [&] {
        HMODULE module = nullptr;
        return ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, path.c_str(), &module) != FALSE;
    };
    ASSERT_FALSE(loaded());
    {
        CPluginInfo info;
        info._hModule.reset(::LoadLibraryW(path.c_str()));
        ASSERT_TRUE(loaded());
    }
    EXPECT_FALSE(loaded());
    HMODULE kept = nullptr;
    {
        CPluginInfo info;
        info._hModule.reset(::LoadLibraryW(path.c_str()));
        kept = info._hModule.release();  // what the stop does for a thread that could not be ended
    }
    EXPECT_TRUE(loaded());
    ::FreeLibrary(kept);
}

}  // namespace
