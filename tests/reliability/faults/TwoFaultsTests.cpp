// Two threads of the thread-control library, which run under the translator that writes dumps,
// fault together: each runs the whole crash sequence on its own, traces its dump attempt and ends
// through its own handler, and the dump folder holds exactly the files the crash handling named.
// In one second both name the same file and the second writer finds it open; named in different
// seconds and started at the same moment, both dumps are written completely, one after the other.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <iostream>
#include <iterator>
#include <set>
#include <string>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/MiniDump.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ThreadFunctions.h"
#include "FaultTestsEnv.h"
#include "TestSupport.h"
#include "common/UniqueHandle.h"
#include "tracing/Trace.h"

namespace {

using namespace faulttest;

constexpr wchar_t kCategory[] = L"FaultTests";
constexpr char kCategoryNarrow[] = "FaultTests";
constexpr wchar_t kProgramFile[] = L"fault_matrix_tests.exe";
constexpr const wchar_t* kThreadNames[] = {L"Fehler1", L"Fehler2"};
constexpr size_t kFaultingThreads = std::size(kThreadNames);
constexpr char kDumpAttemptPrefix[] = "TranslateSEHExceptionToStdException -> Exception aufgetreten! Thread-ID <";
constexpr char kDumpNamePrefix[] = "Dump-Dateiname erzeugt: <";
constexpr char kCreateMiniDumpBegins[] = "---> Beginn: ExceptionTranslator::CreateMiniDump";
constexpr char kThreadEndHead[] = "Exception in _ThreadFunction() für Thread <";
constexpr char kThreadEndTail[] = "> aufgetreten!";
constexpr char kMinidumpSignature[] = "MDMP";
constexpr size_t kSignatureBytes = 4;
constexpr wchar_t kDumpExtension[] = L".dmp.txt";
constexpr size_t kStampChars = 19;  // dd.mm.yyyy.hh.mm.ss
// MiniDumpWriteDump takes several seconds under Wine, and two are written one after the other.
constexpr DWORD kDumpBoundMs = 120000;
// Released this early in a second, both faults name their dump within it.
constexpr WORD kFreshSecondMs = 200;
constexpr DWORD kSecondWaitMs = 2000;
constexpr DWORD kNotReleased = 2;
constexpr DWORD kDidNotFault = 3;
constexpr ULONGLONG kFileTimeTicksPerSecond = 10000000;

volatile int* volatile g_nullTarget = nullptr;

DWORD WINAPI FaultWhenReleased(void* pRelease) {
    if (::WaitForSingleObject(static_cast<HANDLE>(pRelease), kPromptMs) != WAIT_OBJECT_0) return kNotReleased;
    *g_nullTarget = 1;
    return kDidNotFault;
}

std::wstring BuildVersion() {
    return std::to_wstring(VEMO_TEST_VERSION_MAJOR) + L"." + std::to_wstring(VEMO_TEST_VERSION_MINOR) + L"." +
           std::to_wstring(VEMO_TEST_VERSION_PATCH) + L".0";
}

ULONGLONG Seconds(const SYSTEMTIME& time) {
    FILETIME file{};
    ::SystemTimeToFileTime(&time, &file);
    return ((static_cast<ULONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime) / kFileTimeTicksPerSecond;
}

// The stamp "dd.mm.yyyy.hh.mm.ss" in seconds; 0 when it is not one.
ULONGLONG StampSeconds(const std::wstring& stamp) {
    SYSTEMTIME time{};
    wchar_t end = 0;
    int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
    if (stamp.size() != kStampChars ||
        swscanf(stamp.c_str(), L"%2d.%2d.%4d.%2d.%2d.%2d%lc", &day, &month, &year, &hour, &minute, &second, &end) != 6) {
        return 0;
    }
    time.wDay = static_cast<WORD>(day);
    time.wMonth = static_cast<WORD>(month);
    time.wYear = static_cast<WORD>(year);
    time.wHour = static_cast<WORD>(hour);
    time.wMinute = static_cast<WORD>(minute);
    time.wSecond = static_cast<WORD>(second);
    return Seconds(time);
}

// log folder, category "__" program "__V" version "_AppCrashDump_"; then the stamp and ".dmp.txt"
std::wstring DumpNameHead() {
    return DumpDirectory() + kCategory + L"__" + kProgramFile + L"__V" + BuildVersion() +
           ExceptionTranslator::kAppCrashDumpMarker;
}
std::wstring Stamp(const std::wstring& path) {
    const size_t head = DumpNameHead().size();
    const size_t tail = std::size(kDumpExtension) - 1;
    return path.size() < head + tail ? std::wstring() : path.substr(head, path.size() - head - tail);
}

class TwoFaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(recorder.loaded());
        m_previousCategory = g_szExceptionTranslatorCategory;
        wcsncpy(g_szExceptionTranslatorCategory, kCategory, kExceptionTranslatorCategoryChars - 1);
    }
    void TearDown() override {
        wcsncpy(g_szExceptionTranslatorCategory, m_previousCategory.c_str(), kExceptionTranslatorCategoryChars - 1);
    }

    std::vector<vemo::test::TraceRecord> OwnLines(const char* prefix) const {
        std::vector<vemo::test::TraceRecord> own;
        for (vemo::test::TraceRecord& r : TracesStartingWith(recorder, vemo::tracing::kLevelException, prefix)) {
            if (r.category == kCategoryNarrow) own.push_back(std::move(r));
        }
        return own;
    }

    // The names the crash handling traced, in order.
    std::vector<std::wstring> DumpNames() const {
        std::vector<std::wstring> names;
        for (const vemo::test::TraceRecord& r : OwnLines(kDumpNamePrefix)) {
            const std::string quoted = r.text.substr(std::strlen(kDumpNamePrefix));
            if (!quoted.empty() && quoted.back() == '>') names.emplace_back(quoted.begin(), quoted.end() - 1);
        }
        return names;
    }

    enum class Release {
        kTogether,            // both fault at the start of a second
        kDumpsStartTogether,  // named in different seconds, both start writing at the same moment
    };
    void FaultTwice(Release how);

    vemo::test::Recorder recorder;

private:
    std::wstring m_previousCategory;
};

void TwoFaultsTest::FaultTwice(Release how) {
    for (const std::wstring& name : vemo::test::FileNamesIn(DumpDirectory())) {
        ASSERT_TRUE(::DeleteFileW((DumpDirectory() + name).c_str()));
    }
    recorder.Reset();

    vemo::unique_handle releases[kFaultingThreads];
    vemo::unique_handle threads[kFaultingThreads];
    std::set<DWORD> threadIds;
    for (size_t i = 0; i < kFaultingThreads; ++i) {
        releases[i].reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ASSERT_TRUE(releases[i]) << i;
        threads[i].reset(ThreadControl::_CreateThread(&FaultWhenReleased, releases[i].get(), kThreadNames[i]));
        ASSERT_TRUE(threads[i]) << i;
        threadIds.insert(::GetThreadId(threads[i].get()));
    }
    SYSTEMTIME released{};
    ASSERT_TRUE(vemo::test::WaitFor(
        [&] {
            ::GetLocalTime(&released);
            return released.wMilliseconds < kFreshSecondMs;
        },
        kSecondWaitMs));
    if (how == Release::kTogether) {
        ASSERT_TRUE(::SetEvent(releases[0].get()));
        ASSERT_TRUE(::SetEvent(releases[1].get()));
    } else {
        // Both threads are held right before they write, the second named in a later second than
        // the first; then both go at once.
        recorder.HoldLinesStartingWith(kCreateMiniDumpBegins);
        ASSERT_TRUE(::SetEvent(releases[0].get()));
        ASSERT_TRUE(vemo::test::WaitFor([&] { return recorder.HeldCount() == 1; }, kPromptMs)) << AllTraces(recorder);
        const ULONGLONG firstStamp = StampSeconds(Stamp(DumpNames().front()));
        ASSERT_TRUE(vemo::test::WaitFor(
            [&] {
                SYSTEMTIME now{};
                ::GetLocalTime(&now);
                return Seconds(now) > firstStamp;
            },
            kSecondWaitMs));
        ASSERT_TRUE(::SetEvent(releases[1].get()));
        ASSERT_TRUE(vemo::test::WaitFor([&] { return recorder.HeldCount() == 2; }, kPromptMs)) << AllTraces(recorder);
        recorder.ReleaseHeld();
    }
    for (size_t i = 0; i < kFaultingThreads; ++i) {
        EXPECT_EQ(ThreadControl::kThreadExitException, ExitCodeAfterEnd(threads[i].get(), kDumpBoundMs)) << i;
    }
    SYSTEMTIME ended{};
    ::GetLocalTime(&ended);

    // Both ran the whole sequence once: their own dump attempt, their own end through the handler.
    const std::vector<vemo::test::TraceRecord> attempts = OwnLines(kDumpAttemptPrefix);
    ASSERT_EQ(kFaultingThreads, attempts.size()) << AllTraces(recorder);
    std::set<DWORD> attemptThreads;
    for (const vemo::test::TraceRecord& r : attempts) {
        attemptThreads.insert(static_cast<DWORD>(std::stoul(r.text.substr(std::strlen(kDumpAttemptPrefix)))));
    }
    EXPECT_EQ(threadIds, attemptThreads);
    for (const wchar_t* name : kThreadNames) {
        const std::string line = kThreadEndHead + vemo::test::Narrow(name) + kThreadEndTail;
        EXPECT_EQ(1u, CountTraces(recorder, line)) << line;
    }

    std::set<std::wstring> named;
    const std::vector<std::wstring> names = DumpNames();
    ASSERT_EQ(kFaultingThreads, names.size()) << AllTraces(recorder);
    for (const std::wstring& path : names) {
        ASSERT_EQ(0u, path.find(DumpNameHead())) << vemo::test::Narrow(path);
        ASSERT_TRUE(path.ends_with(kDumpExtension)) << vemo::test::Narrow(path);
        const ULONGLONG at = StampSeconds(Stamp(path));
        EXPECT_GE(at, Seconds(released)) << vemo::test::Narrow(path);
        EXPECT_LE(at, Seconds(ended)) << vemo::test::Narrow(path);
        named.insert(path.substr(DumpDirectory().size()));
    }
    if (how == Release::kDumpsStartTogether) {
        EXPECT_EQ(kFaultingThreads, named.size());
    } else {
        std::cout << "[          ] dump names in one second: " << (named.size() == 1 ? "yes" : "no") << std::endl;
    }

    // Exactly the named files, each a complete dump.
    EXPECT_EQ(named, vemo::test::FileNamesIn(DumpDirectory()));
    for (const std::wstring& name : named) {
        EXPECT_EQ(kMinidumpSignature, vemo::test::ReadFileBytes(DumpDirectory() + name).substr(0, kSignatureBytes))
            << vemo::test::Narrow(name);
    }
}

TEST_F(TwoFaultsTest, TwoThreadsFaultingInOneSecondEachTryADumpAndEndThroughTheirHandler) {
    const int repetitions = vemo::test::ScaledCount(1, 5);
    for (int i = 0; i < repetitions && !HasFatalFailure(); ++i) FaultTwice(Release::kTogether);
}

// Two dumps of different names started at the same moment: both are written completely, and both
// threads end through their handler; the process does not hang.
TEST_F(TwoFaultsTest, TwoDumpsStartedAtTheSameMomentAreBothWritten) {
    const int repetitions = vemo::test::ScaledCount(1, 5);
    for (int i = 0; i < repetitions && !HasFatalFailure(); ++i) FaultTwice(Release::kDumpsStartTogether);
}

}  // namespace
