// The entry point of every test program: GoogleTest, the private machine hive a program asked
// for, and the child role of a process started by StartChild.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <optional>
#include <string>

#include "TestSupport.h"

namespace vemo::test::detail {
extern bool g_inChild;
extern std::wstring g_childArgument;
extern std::wstring g_sandboxKey;
extern const wchar_t* g_sandboxRoot;
}  // namespace vemo::test::detail

int main(int argc, char** argv) {
    using namespace vemo::test::detail;
    ::testing::InitGoogleTest(&argc, argv);
    std::wstring parentSandboxKey;  // "-": the real hive
    int count = 0;
    const vemo::unique_hlocal owner(::CommandLineToArgvW(::GetCommandLineW(), &count));
    for (int i = 1; owner && i < count; ++i) {
        const std::wstring arg = static_cast<wchar_t**>(owner.get())[i];
        g_inChild |= arg == L"--vemo-child";
        if (arg.starts_with(L"--vemo-sandbox=")) parentSandboxKey = arg.substr(15);
        // Without the "|" that protects a trailing backslash.
        if (arg.starts_with(L"--vemo-arg=")) g_childArgument = arg.substr(11, arg.size() - 12);
    }
    // HKLM goes to a scratch key of this process, or to the parent's in a child.
    std::optional<vemo::test::HklmSandbox> sandbox;
    if (g_sandboxRoot && parentSandboxKey != L"-") {
        if (!sandbox.emplace(g_sandboxRoot, parentSandboxKey).active()) {
            std::fprintf(stderr, "The private machine hive could not be set up; no test touches the real one.\n");
            return 1;
        }
        g_sandboxKey = sandbox->key();
    }
    const int result = RUN_ALL_TESTS();
    if (!g_inChild || result != 0) return result;
    // A child passes only when exactly one test ran and passed.
    const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
    return unit.successful_test_count() == 1 && unit.skipped_test_count() == 0 ? 0 : 3;
}
