// The Event Log: the executable's message table, and the events of loading, the barrier, an
// unreadable file and a dump, seen through the reporting sink (Wine keeps no events to read back).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/MiniDump.h"
#include "EventRecorder.h"
#include "PluginHosting.h"
#include "TestSupport.h"
#include "VeMoHostPluginLib/PluginDiscovery.h"
#include "VeMoHostPluginLib/PluginThreads.h"
#include "VeMoHostPluginLib/PluginUnloading.h"
#include "common/EventLog.h"
#include "common/UniqueHandle.h"

namespace {

using namespace vemo::test;

class EventLogTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (g_vecPluginInfo) UnloadPlugins();
    }
    EventRecorder events;
    ScratchDirectory scratch{L"eventlog"};
};

// Every ID, formatted from the executable's own message table with distinct inserts.
struct MessageCase {
    DWORD id;
    int inserts;
};
constexpr MessageCase kMessages[] = {
    {VEMO_EVENT_SERVICE_STARTED, 2},   {VEMO_EVENT_SERVICE_STOPPED, 1}, {VEMO_EVENT_PLUGIN_NOT_LOADED, 3},
    {VEMO_EVENT_PLUGIN_INIT_FAILED, 1}, {VEMO_EVENT_BARRIER_TIMEOUT, 1}, {VEMO_EVENT_PLUGIN_FAULT, 2},
    {VEMO_EVENT_PLUGIN_TERMINATED, 2}, {VEMO_EVENT_CONFIG_UNREADABLE, 2}, {VEMO_EVENT_MINIDUMP_WRITTEN, 1},
};

TEST(EventMessages, EveryEventFormatsWithItsInsertsFromTheExecutable) {
    // Test programs sit one level below the product's binaries.
    const vemo::unique_hmodule exe(::LoadLibraryExW((ExecutableDirectory() + L"..\\VeMoHostService.exe").c_str(), nullptr,
                                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(exe) << ::GetLastError();
    for (const MessageCase& message : kMessages) {
        std::vector<std::wstring> inserts;
        std::vector<DWORD_PTR> arguments;
        for (int i = 0; i < message.inserts; ++i) inserts.push_back(L"<Einfuegung" + std::to_wstring(i + 1) + L">");
        for (const std::wstring& insert : inserts) arguments.push_back(reinterpret_cast<DWORD_PTR>(insert.c_str()));
        wchar_t text[1024] = {};
        const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                         reinterpret_cast<LPCVOID>(exe.get()), message.id, 0, text, ARRAYSIZE(text),
                                         reinterpret_cast<va_list*>(arguments.data()));
        ASSERT_GT(n, 0u) << std::hex << message.id << " error " << std::dec << ::GetLastError();
        const std::wstring formatted(text, n);
        for (const std::wstring& insert : inserts) {
            EXPECT_NE(std::wstring::npos, formatted.find(insert)) << std::hex << message.id;
        }
        EXPECT_EQ(std::wstring::npos, formatted.find(L'%')) << std::hex << message.id;
    }
}

// A plug-in that cannot be loaded is reported with its module and why.
TEST_F(EventLogTest, APluginThatCannotBeLoadedIsReportedWithItsModuleAndWhy) {
    HostDescribed({{.name = L"p0", .initialize = L"NoSuchExport"}, {.name = L"p1", .binary = L"Fehlt.dll"}, {.name = L"p2"}});
    EXPECT_EQ(1, CountHostedPlugins());
    const auto notLoaded = events.Events(VEMO_EVENT_PLUGIN_NOT_LOADED);
    ASSERT_EQ(2u, notLoaded.size());
    EXPECT_EQ(L"p0", notLoaded[0].at(0));
    EXPECT_EQ(PluginDirectory() + kTestPluginDll, notLoaded[0].at(1));
    EXPECT_EQ(L"p1", notLoaded[1].at(0));
    EXPECT_EQ(PluginDirectory() + L"Fehlt.dll", notLoaded[1].at(1));
    EXPECT_NE(notLoaded[0].at(2), notLoaded[1].at(2)) << "a missing export and a missing module";
}

// More descriptors than one wait can take fail the barrier at once, like a time-out: every
// waiter sees it, the log gets it once. As many as one wait can take are waited for.
TEST_F(EventLogTest, ABarrierTimeOutIsReportedOnceForAllWaiters) {
    // A second start-up of 65 in the same process is a new barrier and is reported again.
    size_t expected = 0;
    for (const size_t n : {size_t{MAXIMUM_WAIT_OBJECTS}, size_t{MAXIMUM_WAIT_OBJECTS + 1}, size_t{MAXIMUM_WAIT_OBJECTS + 1}}) {
        // Descriptors without a module: the loading pass signals every slot itself.
        HostDescribed(std::vector<PluginSpec>(n, {.path = scratch.path()}));
        EXPECT_TRUE(WaitForPluginInitialization());
        EXPECT_TRUE(WaitForPluginInitialization());
        expected += n > MAXIMUM_WAIT_OBJECTS ? 1 : 0;
        EXPECT_EQ(expected, events.Events(VEMO_EVENT_BARRIER_TIMEOUT).size()) << n;
        UnloadPlugins();
    }
}

TEST_F(EventLogTest, AnUnreadableConfigurationFileAndAWrittenDumpAreReported) {
    const std::wstring broken = scratch.path() + L"B0000001.xml";
    ASSERT_TRUE(WriteFileBytes(broken, "<root><plugin></root>"));
    const std::wstring good = scratch.path() + L"B0000002.xml";
    ASSERT_TRUE(WriteFileBytes(good, "<root><plugin/></root>"));
    EXPECT_EQ(1, CountPluginData({broken, good}));
    const auto unreadable = events.Events(VEMO_EVENT_CONFIG_UNREADABLE);
    ASSERT_EQ(1u, unreadable.size());
    EXPECT_EQ(broken, unreadable[0].at(0));
    EXPECT_FALSE(unreadable[0].at(1).empty());

    const std::wstring dump = scratch.path() + L"x_AppCrashDump_.dmp.txt";
    ExceptionTranslator::CreateMiniDump(nullptr, dump.c_str());
    const auto written = events.Events(VEMO_EVENT_MINIDUMP_WRITTEN);
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ(dump, written[0].at(0));
}

}  // namespace
