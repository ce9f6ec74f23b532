// Process search in the console session. The searched program is this test program itself:
// it runs for sure, under a name no other process of the prefix has.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <string>

#include "BasisLibs_MitTracing/ThreadControlLib/ProcessControl.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ProcessInfo.h"
#include "ThreadControlTraceTest.h"
#include "common/WideFormat.h"

using vemo::test::Latin1;

namespace {

constexpr DWORD kUntouched = 4711;
constexpr wchar_t kNotRunning[] = L"KeinSolcherProzess.exe";
constexpr size_t kOverlongFileNameChars = 255;

constexpr wchar_t kMsgSearchingFormat[] = L"Gesuchter Prozess <%s>, gesuchte Sitzungs-ID: <%d>, ProzessID: <0>.";
constexpr wchar_t kMsgFoundFormat[] = L"Prozess <%s> wurde gefunden.";
constexpr wchar_t kMsgNotFoundFormat[] = L"Prozess <%s> wurde nicht gefunden.";
constexpr wchar_t kMsgInSessionFormat[] = L"Prozess <%s> wurde in SessionID <%d> mit Prozess-ID <%d> gefunden.";
constexpr wchar_t kMsgOtherSessionFormat[] = L"Prozess <%s> wurde in SessionID <%d> gefunden. Es wird weitergesucht...";
constexpr char kScopePublic[] = "---> Beginn: ThreadControl::TC_FindProcessInConsoleSessionW (";
constexpr char kScopeConsole[] = "---> Beginn: ThreadControl::_FindProcessInConsoleSession (";
constexpr char kScopeRunning[] = "---> Beginn: ThreadControl::_IsProcessRunning (";

class ThreadControlProcessSearch : public vemo::test::ThreadControlTraceTest {
protected:
    void SetUp() override {
        ThreadControlTraceTest::SetUp();
        wchar_t path[MAX_PATH] = {};
        ASSERT_GT(::GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
        ownPath = path;
        ownName = ownPath.substr(ownPath.find_last_of(L'\\') + 1);
        ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &ownSession));
        // Where the test does not run at the console, finding itself there would be wrong.
        if (ownSession != ::WTSGetActiveConsoleSessionId()) GTEST_SKIP() << "not running in the console session";
    }

    static std::wstring Upper(std::wstring text) {
        std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towupper(c); });
        return text;
    }
    size_t CountInfo(const std::wstring& text) const { return Count(8, Latin1(text)); }

    std::wstring ownPath;
    std::wstring ownName;
    DWORD ownSession = 0;
};

TEST_F(ThreadControlProcessSearch, FindsARunningProgramByFileNameInAnyCaseWithOrWithoutAPath) {
    const std::wstring names[] = {ownName, Upper(ownName), ownPath, L"D:\\anderswo\\" + Upper(ownName)};
    for (const std::wstring& name : names) {
        recorder.Reset();
        DWORD processId = kUntouched;
        EXPECT_TRUE(ThreadControl::TC_FindProcessInConsoleSessionW(name.c_str(), &processId)) << Latin1(name);
        EXPECT_EQ(::GetCurrentProcessId(), processId) << Latin1(name);

        // Only the file name is searched for; the outcome is reported with the name as given.
        const std::wstring searched = name.substr(name.find_last_of(L'\\') + 1);
        EXPECT_EQ(1u, CountInfo(vemo::FormatW(kMsgSearchingFormat, searched.c_str(), static_cast<int>(ownSession))));
        EXPECT_EQ(1u, CountInfo(vemo::FormatW(kMsgInSessionFormat, ownName.c_str(), static_cast<int>(ownSession),
                                              static_cast<int>(::GetCurrentProcessId()))));
        EXPECT_EQ(1u, CountInfo(vemo::FormatW(kMsgFoundFormat, name.c_str()))) << Latin1(name);
    }
    const auto scopes = Texts(16);
    ASSERT_GE(scopes.size(), 3u);
    EXPECT_TRUE(vemo::test::StartsWith(scopes[0], kScopePublic)) << scopes[0];
    EXPECT_TRUE(vemo::test::StartsWith(scopes[1], kScopeConsole)) << scopes[1];
    EXPECT_TRUE(vemo::test::StartsWith(scopes[2], kScopeRunning)) << scopes[2];

    // The caller may leave out the id.
    EXPECT_TRUE(ThreadControl::TC_FindProcessInConsoleSessionW(ownName.c_str(), nullptr));
}

TEST_F(ThreadControlProcessSearch, NamesThatDoNotRunOrCannotBeSplitAreNotFound) {
    const std::wstring overlong = std::wstring(kOverlongFileNameChars, L'p') + L".exe";
    const std::wstring names[] = {kNotRunning, L"", L"C:\\Programme\\", overlong};
    for (const std::wstring& name : names) {
        recorder.Reset();
        DWORD processId = kUntouched;
        EXPECT_FALSE(ThreadControl::TC_FindProcessInConsoleSessionW(name.c_str(), &processId)) << Latin1(name);
        EXPECT_EQ(0u, processId) << Latin1(name);
        EXPECT_EQ(1u, CountInfo(vemo::FormatW(kMsgNotFoundFormat, name.c_str()))) << Latin1(name);
    }
    DWORD processId = kUntouched;
    EXPECT_FALSE(ThreadControl::TC_FindProcessInConsoleSessionW(nullptr, &processId));
    EXPECT_EQ(0u, processId);
    EXPECT_TRUE(Texts(1).empty());
}

TEST_F(ThreadControlProcessSearch, OnlyTheSearchedSessionCountsAndAnySessionReturnsNoId) {
    const DWORD otherSession = ownSession + 1;
    DWORD processId = kUntouched;
    EXPECT_FALSE(ThreadControl::_IsProcessRunning(ownName.c_str(), otherSession, &processId));
    EXPECT_EQ(0u, processId);
    EXPECT_EQ(1u, CountInfo(vemo::FormatW(kMsgOtherSessionFormat, ownName.c_str(), static_cast<int>(ownSession))));

    recorder.Reset();
    processId = kUntouched;
    EXPECT_TRUE(ThreadControl::_IsProcessRunning(Upper(ownName).c_str(), ownSession, &processId));
    EXPECT_EQ(::GetCurrentProcessId(), processId);

    // Any session: found without asking for the process's session, which then counts as 0.
    recorder.Reset();
    processId = kUntouched;
    EXPECT_TRUE(ThreadControl::_IsProcessRunning(ownName.c_str(), ThreadControl::kAnySession, &processId));
    EXPECT_EQ(0u, processId);
    EXPECT_EQ(1u, CountInfo(vemo::FormatW(kMsgInSessionFormat, ownName.c_str(), 0,
                                          static_cast<int>(::GetCurrentProcessId()))));
}

}  // namespace
