// The plug-in descriptor: how configuration texts map to fields and the duplicate test. Copying
// is what the reader does with every descriptor: PluginConfigTests.
#include <gtest/gtest.h>
#include <windows.h>

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

TEST(PluginInfo, SamePluginMeansTheSameNameToTheLetter) {
    const CPluginInfo a(L"Kartenleser", L"p.dll", L"C:\\", L"0", L"dll");
    EXPECT_TRUE(a.IsSamePlugin(CPluginInfo(L"Kartenleser", L"other.dll", L"D:\\", L"1", L"listener")));
    EXPECT_FALSE(a.IsSamePlugin(CPluginInfo(L"kartenleser", L"p.dll", L"C:\\", L"0", L"dll")));
}

TEST(PluginInfo, DestroyingADescriptorLeavesItsModuleLoaded) {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);  // any module will do: this program itself
    const vemo::unique_hmodule module(::LoadLibraryW(path));
    ASSERT_TRUE(module);
    {
        CPluginInfo info;
        info._hModule = module.get();
    }
    // Still loaded: the reference count is ours to drop.
    HMODULE again = nullptr;
    EXPECT_TRUE(::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, path, &again));
    EXPECT_EQ(module.get(), again);
}

}  // namespace
