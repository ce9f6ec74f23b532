// The sample plug-in as plug-in authors copy it: one module that a configuration names in two
// entries of one service runs its entry points on two threads at once.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "TestSupport.h"
#include "VeMoPlugin.h"
#include "common/UniqueHandle.h"

namespace {

struct Entries {
    PFN_VEMO_PLUGIN_INITIALIZE initialize = nullptr;
    PFN_VEMO_PLUGIN_RUN run = nullptr;
    PFN_VEMO_PLUGIN_UNINITIALIZE uninitialize = nullptr;
};

TEST(ReaderWatchSample, EachPluginThreadKeepsItsOwnStateWhenTheModuleIsShared) {
    const vemo::unique_hmodule module(::LoadLibraryW((vemo::test::ExecutableDirectory() + L"VeMoReaderWatch.dll").c_str()));
    ASSERT_TRUE(module);
    Entries entries;
    entries.initialize = reinterpret_cast<PFN_VEMO_PLUGIN_INITIALIZE>(::GetProcAddress(module.get(), "Initialize"));
    entries.run = reinterpret_cast<PFN_VEMO_PLUGIN_RUN>(::GetProcAddress(module.get(), "Run"));
    entries.uninitialize = reinterpret_cast<PFN_VEMO_PLUGIN_UNINITIALIZE>(::GetProcAddress(module.get(), "Uninitialize"));
    ASSERT_TRUE(entries.initialize && entries.run && entries.uninitialize);

    // The first entry is initialised; the second one runs its whole course meanwhile, on its own
    // thread; then the first one runs. A stop flag that is already set makes Run return at once.
    const vemo::unique_handle firstInitialised(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const vemo::unique_handle secondDone(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const bool stop = true;
    bool firstInitOk = false;
    int32_t firstRun = -1;
    std::thread first([&] {
        firstInitOk = entries.initialize();
        ::SetEvent(firstInitialised.get());
        ::WaitForSingleObject(secondDone.get(), INFINITE);
        firstRun = entries.run(&stop);
        entries.uninitialize();
    });
    ::WaitForSingleObject(firstInitialised.get(), INFINITE);
    int32_t secondRun = -1;
    std::thread second([&] {
        if (entries.initialize()) secondRun = entries.run(&stop);
        entries.uninitialize();
    });
    second.join();
    ::SetEvent(secondDone.get());
    first.join();

    EXPECT_TRUE(firstInitOk);
    EXPECT_EQ(secondRun, 0);
    EXPECT_EQ(firstRun, 0) << "the second entry's Uninitialize took the first entry's state";
}

}  // namespace
