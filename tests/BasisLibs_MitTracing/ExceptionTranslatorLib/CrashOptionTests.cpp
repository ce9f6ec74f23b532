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
constexpr wchar_t kShowMessageOption[] = L"ShowCrashMessage";
constexpr DWORD kRestartedExit = 0xFFFFFFFF;
constexpr DWORD kTimeoutMs = 60000;

class CrashOptions : public ::testing::Test {
protected:
    void SetUp() override {
        ::SetEnvironmentVariableW(kCrashHostModeVariable, nullptr);
        ::SetEnvironmentVariableW(kCrashHostEvidenceVariable, m_evidence.c_str());
        // Never the message box: there is no one to close it.
        ASSERT_TRUE(SetRegistryDword(kOptionsKey, kShowMessageOption, 0));
    }
    void TearDown() override {
        DeleteRegistryValue(kOptionsKey, kRestartOption);
        DeleteRegistryValue(kOptionsKey, kShowMessageOption);
    }

    ProcessResult Crash(const std::wstring& program) { return RunProcess(program, L"", kTimeoutMs); }
    bool RestartedInstanceLeftEvidence() {
        return WaitFor([&] { return ::GetFileAttributesW(m_evidence.c_str()) != INVALID_FILE_ATTRIBUTES; }, kTimeoutMs);
    }
    bool EvidenceExists() { return ::GetFileAttributesW(m_evidence.c_str()) != INVALID_FILE_ATTRIBUTES; }

    const std::wstring m_host = ExecutableDirectory() + L"vemohost.exe";
    ScratchDirectory m_scratch{L"crash_options"};
    const std::wstring m_evidence = m_scratch.path() + L"restarted.txt";
};

TEST_F(CrashOptions, RestartOptionStartsTheHostAgainAndEndsTheCrashedOneWithMinusOne) {
    ASSERT_TRUE(SetRegistryDword(kOptionsKey, kRestartOption, 1));
    const ProcessResult result = Crash(m_host);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(kRestartedExit, result.exitCode);
    EXPECT_TRUE(RestartedInstanceLeftEvidence());
}

TEST_F(CrashOptions, OptionsThatAreNotANonZeroDwordCountAsNotSet) {
    for (const bool asString : {true, false}) {
        SCOPED_TRACE(asString ? "REG_SZ \"1\"" : "REG_DWORD 0");
        if (asString) {
            ASSERT_TRUE(SetRegistryString(kOptionsKey, kRestartOption, L"1"));
        } else {
            ASSERT_TRUE(SetRegistryDword(kOptionsKey, kRestartOption, 0));
        }
        const ProcessResult result = Crash(m_host);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(static_cast<DWORD>(kCrashHostExitSurvived), result.exitCode);
        EXPECT_FALSE(EvidenceExists());
    }
}

TEST_F(CrashOptions, OtherProgramsIgnoreTheOptions) {
    ASSERT_TRUE(SetRegistryDword(kOptionsKey, kRestartOption, 1));
    const std::wstring other = m_scratch.path() + L"VeMoHostService.exe";
    ASSERT_TRUE(::CopyFileW(m_host.c_str(), other.c_str(), FALSE));
    const ProcessResult result = Crash(other);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(static_cast<DWORD>(kCrashHostExitSurvived), result.exitCode);
    EXPECT_FALSE(EvidenceExists());
}

}  // namespace
