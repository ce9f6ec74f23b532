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

using namespace vemo::test;

namespace {

constexpr DWORD kUntouched = 4711;
constexpr wchar_t kMsgInSessionFormat[] = L"Prozess <%s> wurde in SessionID <%d> mit Prozess-ID <%d> gefunden.";

class ThreadControlProcessSearch : public ThreadControlTraceTest {
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
    std::wstring ownPath, ownName;
    DWORD ownSession = 0;
    const int ownId = static_cast<int>(::GetCurrentProcessId());
};

// Only the file name is searched for, in any case; the outcome is reported with the name as given.
TEST_F(ThreadControlProcessSearch, FindsARunningProgramByFileNameAndReportsWhatItSearched) {
    std::wstring upper = ownName;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](wchar_t c) { return std::towupper(c); });
    const std::pair<std::wstring, bool> cases[] = {
        {ownName, true}, {upper, true}, {ownPath, true}, {L"D:\\anderswo\\" + upper, true}, {L"KeinSolcherProzess.exe", false},
        {L"", false}, {L"C:\\Programme\\", false}, {std::wstring(255, L'p') + L".exe", false},
    };
    for (const auto& [name, found] : cases) {
        SCOPED_TRACE(Latin1(name));
        recorder.Reset();
        DWORD processId = kUntouched;
        EXPECT_EQ(found, ThreadControl::TC_FindProcessInConsoleSessionW(name.c_str(), &processId));
        EXPECT_EQ(found ? ::GetCurrentProcessId() : 0u, processId);
        EXPECT_EQ(1u, Count(8, Line(found ? L"Prozess <%s> wurde gefunden." : L"Prozess <%s> wurde nicht gefunden.", name.c_str())));
        if (!found) continue;
        EXPECT_EQ(1u, Count(8, Line(L"Gesuchter Prozess <%s>, gesuchte Sitzungs-ID: <%d>, ProzessID: <0>.",
                                    name.substr(name.find_last_of(L'\\') + 1).c_str(), static_cast<int>(ownSession))));
        EXPECT_EQ(1u, Count(8, Line(kMsgInSessionFormat, ownName.c_str(), static_cast<int>(ownSession), ownId)));
    }
    DWORD processId = kUntouched;
    EXPECT_FALSE(ThreadControl::TC_FindProcessInConsoleSessionW(nullptr, &processId));
    EXPECT_EQ(0u, processId);
    EXPECT_TRUE(ThreadControl::TC_FindProcessInConsoleSessionW(ownName.c_str(), nullptr));  // the id may be left out
    EXPECT_TRUE(Texts(1).empty());
}

TEST_F(ThreadControlProcessSearch, OnlyTheSearchedSessionCountsAndAnySessionReturnsNoId) {
    DWORD processId = kUntouched;
    EXPECT_FALSE(ThreadControl::_IsProcessRunning(ownName.c_str(), ownSession + 1, &processId));
    EXPECT_EQ(0u, processId);
    EXPECT_EQ(1u, Count(8, Line(L"Prozess <%s> wurde in SessionID <%d> gefunden. Es wird weitergesucht...", ownName.c_str(),
                                static_cast<int>(ownSession))));
    // Any session: found without asking for the process's session, which then counts as 0.
    recorder.Reset();
    processId = kUntouched;
    EXPECT_TRUE(ThreadControl::_IsProcessRunning(ownName.c_str(), ThreadControl::kAnySession, &processId));
    EXPECT_EQ(0u, processId);
    EXPECT_EQ(1u, Count(8, Line(kMsgInSessionFormat, ownName.c_str(), 0, ownId)));
}

}  // namespace
