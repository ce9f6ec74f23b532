// Crash options act only in the user-session host: restart there when set, nowhere else.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "CrashHostProtocol.h"
#include "TestSupport.h"

namespace {

using namespace vemo::test;

constexpr wchar_t kOptionsKey[] = L"Software\\TRUVO VeMo compact\\Options";
constexpr wchar_t kRestartOption[] = L"ShouldRestartVeMoHost";

TEST(CrashOptions, OnlyANonZeroDwordRestartsAndOnlyTheHost) {
    ScratchDirectory scratch{L"crash_options"};
    const std::wstring evidence = scratch.path() + L"restarted.txt", host = ExecutableDirectory() + L"vemohost.exe",
                       other = scratch.path() + L"VeMoHostService.exe";
    ASSERT_TRUE(::CopyFileW(host.c_str(), other.c_str(), FALSE));
    ::SetEnvironmentVariableW(kCrashHostEvidenceVariable, evidence.c_str());
    // Never the message box: there is no one to close it.
    ASSERT_TRUE(SetRegistryDword(kOptionsKey, L"ShowCrashMessage", 0));
    struct Case {
        const char* name;
        const std::wstring& program;
        DWORD type;
        DWORD value;
        bool restarts;
    };
    const DWORD one = L'1';  // REG_SZ "1" as its bytes
    const Case cases[] = {
        {"set: the crashed host ends with -1, a new one starts", host, REG_DWORD, 1, true},
        {"REG_SZ \"1\" counts as not set", host, REG_SZ, one, false},
        {"REG_DWORD 0", host, REG_DWORD, 0, false},
        {"another program ignores the option", other, REG_DWORD, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::DeleteFileW(evidence.c_str());
        ::SetEnvironmentVariableW(kCrashHostModeVariable, nullptr);
        ASSERT_TRUE(SetRegistryValue(kOptionsKey, kRestartOption, c.type, &c.value, c.type == REG_SZ ? 4 : sizeof(DWORD)));
        const ProcessResult result = RunProcess(c.program, L"", 60000);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(c.restarts ? 0xFFFFFFFF : static_cast<DWORD>(kCrashHostExitSurvived), result.exitCode);
        // The restarted instance may still be on its way: wait for its evidence when one is due.
        EXPECT_EQ(c.restarts, WaitFor([&] { return Exists(evidence); }, c.restarts ? 60000 : 0));
    }
    DeleteRegistryValue(kOptionsKey, kRestartOption);
    DeleteRegistryValue(kOptionsKey, L"ShowCrashMessage");
}

}  // namespace
