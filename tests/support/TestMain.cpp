// The entry point of every test program: GoogleTest, the private machine hive a program asked
// for, and the child role of a process started by StartChild.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <memory>
#include <string>

#include "TestSupport.h"

namespace vemo::test::detail {
extern bool g_inChild;
extern std::wstring g_childArgument;
extern std::wstring g_sandboxKey;
extern const wchar_t* g_sandboxRoot;
}  // namespace vemo::test::detail

namespace {
using namespace vemo::test::detail;

constexpr wchar_t kChildFlag[] = L"--vemo-child";
constexpr wchar_t kSandboxFlag[] = L"--vemo-sandbox=";
constexpr wchar_t kArgumentFlag[] = L"--vemo-arg=";
// The exit code of a child that did not run exactly one test to a pass.
constexpr int kChildRanNothing = 3;

std::wstring g_parentSandboxKey;

void ReadFlags() {
    int count = 0;
    vemo::unique_hlocal owner(::CommandLineToArgvW(::GetCommandLineW(), &count));
    auto* argv = static_cast<wchar_t**>(owner.get());
    for (int i = 1; argv && i < count; ++i) {
        const std::wstring arg = argv[i];
        if (arg == kChildFlag) g_inChild = true;
        if (arg.starts_with(kSandboxFlag)) g_parentSandboxKey = arg.substr(std::wcslen(kSandboxFlag));
        if (arg.starts_with(kArgumentFlag)) {
            g_childArgument = arg.substr(std::wcslen(kArgumentFlag));
            if (!g_childArgument.empty()) g_childArgument.pop_back();  // the "|" that protects a backslash
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ReadFlags();
    // HKLM goes to a scratch key of this process, or to the parent's in a child.
    std::unique_ptr<vemo::test::HklmSandbox> sandbox;
    if (g_sandboxRoot && g_parentSandboxKey != L"-") {
        sandbox = g_parentSandboxKey.empty() ? std::make_unique<vemo::test::HklmSandbox>(g_sandboxRoot)
                                             : std::make_unique<vemo::test::HklmSandbox>(g_parentSandboxKey, true);
        if (!sandbox->active()) {
            std::fprintf(stderr, "The private machine hive could not be set up; no test touches the real one.\n");
            return 1;
        }
        g_sandboxKey = sandbox->key();
    }
    const int result = RUN_ALL_TESTS();
    if (!g_inChild || result != 0) return result;
    const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
    return unit.successful_test_count() == 1 && unit.skipped_test_count() == 0 ? 0 : kChildRanNothing;
}
