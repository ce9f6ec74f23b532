// The plug-in descriptor: how configuration texts map to fields, what it owns and the duplicate
// test. Copying every field is what the reader does with every descriptor: PluginConfigTests.
#include <gtest/gtest.h>
#include <windows.h>

#include "TestSupport.h"
#include "VeMoHostIntLib/PluginInfo.h"
#include "common/UniqueHandle.h"

namespace {

TEST(PluginInfo, LevelIsOneOnlyForTheTextOneAndTypeTextsIgnoreCase) {
    const std::pair<const wchar_t*, int> levels[] = {{L"1", 1}, {L"01", 0}, {L"2", 0}, {L"", 0}, {L" 1", 0}};
    for (const auto& [text, level] : levels) EXPECT_EQ(level, CPluginInfo(L"a", L"p.dll", L"C:\\", text, L"dll")._level);
    const std::pair<const wchar_t*, int> types[] = {{L"DLL", CPluginInfo::kTypeDll}, {L"Listener", CPluginInfo::kTypeListener},
                                                    {L"", CPluginInfo::kTypeOther}, {L"service", CPluginInfo::kTypeOther}};
    for (const auto& [text, type] : types) EXPECT_EQ(type, CPluginInfo(L"a", L"p.dll", L"C:\\", L"0", text).Type());
    // A missing attribute leaves the field alone.
    CPluginInfo info(L"a", L"p.dll", L"C:\\", L"1", L"listener");
    info.SetLevelAsTxt(nullptr);
    info.SetTypeAsTxt(nullptr);
    EXPECT_EQ(1, info._level);
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

// The reader copies finished descriptors into their slots; module and thread are never held twice.
TEST(PluginInfo, CopyLeavesTheOwnersWithTheSource) {
    CPluginInfo source(L"Quelle", L"p.dll", L"C:\\", L"1", L"listener");
    source._hThread.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));  // any handle it owns
    source._hModule.reset(::LoadLibraryW(L"kernel32.dll"));
    const vemo::unique_handle event;
    source._hRunEvent = &event;
    CPluginInfo target;
    target.Copy(source);
    EXPECT_EQ(L"Quelle", target._name);
    EXPECT_FALSE(target._hThread);
    EXPECT_EQ(nullptr, target.GetPluginHndl());
    EXPECT_TRUE(source._hThread && source._hModule);
    EXPECT_EQ(&event, target._hRunEvent);
}

TEST(PluginInfo, SamePluginMeansTheSameNameToTheLetter) {
    const CPluginInfo a(L"Kartenleser", L"p.dll", L"C:\\", L"0", L"dll");
    EXPECT_TRUE(a.IsSamePlugin(CPluginInfo(L"Kartenleser", L"other.dll", L"D:\\", L"1", L"listener")));
    EXPECT_FALSE(a.IsSamePlugin(CPluginInfo(L"kartenleser", L"p.dll", L"C:\\", L"0", L"dll")));
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
    const vemo::unique_hmodule giveBack(kept);
}

}  // namespace
