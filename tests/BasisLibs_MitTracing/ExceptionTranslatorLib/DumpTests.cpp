// The structured-exception guard and the translators' hooks; mini-dumps: names, versions, history, and
// the chain from a fault to a dump. ConfigDB's log folder of the product is a scratch folder.
#include <gtest/gtest.h>
#include <windows.h>
#include <dbghelp.h>

#include <cstring>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/DumpHistorie.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/MiniDump.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/SehGuard.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ThreadFunctions.h"
#include "EventRecorder.h"
#include "PluginHosting.h"
#include "Recorder.h"
#include "TestSupport.h"
#include "common/TraceCategories.h"
#include "tracing/Trace.h"

namespace {

using namespace vemo::test;
using namespace ExceptionTranslator;
using namespace vemo::seh;

[[maybe_unused]] const bool kSandbox = UseHklmSandbox(L"Software\\VeMoDumpTests");

constexpr wchar_t kCategory[] = L"DumpTests";
const std::wstring kBuildVersion = std::to_wstring(VEMO_TEST_VERSION_MAJOR) + L"." + std::to_wstring(VEMO_TEST_VERSION_MINOR) +
                                   L"." + std::to_wstring(VEMO_TEST_VERSION_PATCH) + L".0";
const std::wstring kOwnDumpPrefix = std::wstring(kCategory) + L"__dump_tests.exe__V" + kBuildVersion + L"_AppCrashDump_";

// Faults the optimiser cannot see through.
volatile int* volatile g_nullPointer = nullptr;
volatile int g_zero = 0, g_quotient = 0;
void WriteThroughNull() { *g_nullPointer = 1; }
void DivideByZero() { g_quotient = 10 / g_zero; }

thread_local unsigned int t_seenCode = 0;
thread_local bool t_sawContext = false;
void RecordingTranslator(unsigned int code, EXCEPTION_POINTERS* pointers) {
    t_seenCode = code;
    t_sawContext = pointers && pointers->ContextRecord && pointers->ExceptionRecord;
}

std::string ThrownText(void (*fault)()) {
    try {
        GuardedCall([&] { fault(); });
    } catch (const SehException& e) {
        return std::to_string(e.code()) + " " + e.what();
    }
    return "<nothing thrown>";
}

TEST(SehGuard, FaultsBecomeExceptionsOrCodesAndCppExceptionsPassUntouched) {
    const SehTranslator previous = SetSehTranslator(&TranslateSEHExceptionNoDump);
    EXPECT_EQ("3221225620 SEH-Exception aufgetreten: ErrorCode = c0000094", ThrownText(&DivideByZero));
    int caught = 0;  // again and again, not only the first time
    for (int i = 0; i < 20; ++i) caught += ThrownText(&WriteThroughNull) == "3221225477 SEH-Exception aufgetreten: ErrorCode = c0000005";
    EXPECT_EQ(20, caught);
    // The translator belongs to its thread.
    SehTranslator seenInOtherThread = &RecordingTranslator;
    std::thread([&] { seenInOtherThread = GetSehTranslator(); }).join();
    EXPECT_EQ(nullptr, seenInOtherThread);
    // A quiet translator sees the fault with its context and the guard returns its code; C++
    // exceptions pass untouched.
    SetSehTranslator(&RecordingTranslator);
    EXPECT_EQ(0u, GuardedCall([&] { caught = 0; }));
    EXPECT_EQ(0, caught);
    EXPECT_THROW(GuardedCall([] { throw std::out_of_range("weiter"); }), std::out_of_range);
    EXPECT_EQ(0u, t_seenCode) << "a C++ exception reached the translator";
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), GuardedCall(&WriteThroughNull));
    EXPECT_EQ(static_cast<unsigned int>(EXCEPTION_ACCESS_VIOLATION), t_seenCode);
    EXPECT_TRUE(t_sawContext);
    SetSehTranslator(previous);
}

thread_local int t_threadCalls = 0;
int g_processCalls = 0;
void CountThread(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) { ++t_threadCalls; }
void CountProcess(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) { ++g_processCalls; }

// Wine's msvcrt never calls the installed handler from its own checks (Windows' msvcrt does:
// e.g. _itoa_s with no buffer), so the registered handler is called as the runtime would.
void ReportInvalidParameter() {
    _invalid_parameter_handler handler = _get_invalid_parameter_handler();
    ASSERT_NE(nullptr, handler);
    handler(nullptr, nullptr, nullptr, 0, 0);
}

TEST(SehGuard, InvalidParameterHandlersPerProcessAndPerThread) {
    SetProcessInvalidParameterHandler(&CountProcess);
    SetThreadInvalidParameterHandler(&CountThread);
    ReportInvalidParameter();
    // Another thread without a handler of its own reaches the process-wide one.
    std::thread([] { ReportInvalidParameter(); }).join();
    EXPECT_EQ(1, t_threadCalls);
    EXPECT_EQ(1, g_processCalls);
    SetThreadInvalidParameterHandler(nullptr);
    SetProcessInvalidParameterHandler(nullptr);
}

// A child faults outside any guard; its translator leaves a file behind before the process ends.
std::wstring g_evidencePath;
void EvidenceTranslator(unsigned int code, EXCEPTION_POINTERS*) {
    WriteFileBytes(g_evidencePath, std::to_string(code));
}

TEST(SehGuard, FaultsOutsideAnyGuardReachTheTranslator) {
    if (InChild()) {
        ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);  // no dialog, no crash report
        g_evidencePath = ChildArgument();
        SetSehTranslator(&EvidenceTranslator);
        InstallUnhandledExceptionFilter();
        WriteThroughNull();
        return;
    }
    ScratchDirectory scratch(L"seh_unhandled");
    const std::wstring evidence = scratch.path() + L"evidence.txt";
    const auto child = StartChild("SehGuard.FaultsOutsideAnyGuardReachTheTranslator", evidence).get();
    EXPECT_TRUE(child.result.finished && child.result.exitCode != 0);
    EXPECT_EQ(std::to_string(EXCEPTION_ACCESS_VIOLATION), ReadFileBytes(evidence));
}

// ConfigDB reads the log folder override once, at its start-up: set before anything asks it.
class LogFolder : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_TRUE(SetRegistryString(kProductKey, L"ConfigDBLogDirB0003810", dir.path()));
        TraceShouldTrace(vemo::tracing::kLevelInfo);  // binds the module next to us
    }
    ScratchDirectory dir{L"dump_tests"};
};
LogFolder* const g_log = static_cast<LogFolder*>(::testing::AddGlobalTestEnvironment(new LogFolder));
const std::wstring& LogDir() { return g_log->dir.path(); }
bool DbgHelpLoaded() { return ::GetModuleHandleW(L"dbghelp.dll") != nullptr; }

// The crash handling writes in the test's category while a test runs; the log folder is empty.
class DumpTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(recorder.loaded());
        wcsncpy(g_szExceptionTranslatorCategory, kCategory, kExceptionTranslatorCategoryChars - 1);
        EmptyLogDir();
        recorder.Reset();
    }
    void TearDown() override {
        EmptyLogDir();
        wcsncpy(g_szExceptionTranslatorCategory, m_previousCategory.c_str(), kExceptionTranslatorCategoryChars - 1);
    }
    static void EmptyLogDir() {
        for (const std::wstring& name : FileNamesIn(LogDir())) ::DeleteFileW((LogDir() + name).c_str());
    }

    Recorder recorder;
    const std::wstring m_previousCategory = g_szExceptionTranslatorCategory;
};

TEST_F(DumpTest, NameCarriesLogDirCategoryModuleVersionAndTheTimeNow) {
    wchar_t name[kMiniDumpPathChars] = {};
    const __time64_t before = _time64(nullptr);
    GetMiniDumpFilename(name);
    const std::wstring text(name);
    bool stamped = false;  // with the local time of a second the call took
    for (__time64_t t = before; t <= _time64(nullptr) && !stamped; ++t) {
        tm local{};
        wchar_t stamp[32] = {};
        _localtime64_s(&local, &t);
        wcsftime(stamp, ARRAYSIZE(stamp), L"%d.%m.%Y.%H.%M.%S.dmp.txt", &local);
        stamped = text == LogDir() + kOwnDumpPrefix + stamp;
    }
    EXPECT_TRUE(stamped) << Narrow(text);
    EXPECT_EQ(1u, recorder.CountExact(Narrow(L"Dump-Dateiname erzeugt: <" + text + L">"))) << recorder.All();
    // The crash-handling scopes name their source as every other scope does: below src/, as built.
    const auto scope = recorder.Lines("---> Beginn: ExceptionTranslator::GetMiniDumpFilename (");
    ASSERT_FALSE(scope.empty()) << recorder.All();
    EXPECT_TRUE(scope.front().text.ends_with(" BasisLibs_MitTracing/ExceptionTranslatorLib/MiniDump.cpp")) << scope.front().text;
}

TEST(DumpName, PadsTheStamp) {
    wchar_t name[kMiniDumpPathChars] = {};
    FormatMiniDumpFilename(name, L"C:\\Logs\\", L"VHService", L"VeMoHostService", L".exe", L"1.2.3.4",
                           tm{.tm_sec = 9, .tm_min = 5, .tm_hour = 7, .tm_mday = 4, .tm_mon = 2, .tm_year = 126});
    EXPECT_STREQ(L"C:\\Logs\\VHService__VeMoHostService.exe__V1.2.3.4_AppCrashDump_04.03.2026.07.05.09.dmp.txt", name);
}

// The exception stream of a dump file, if it has one.
std::optional<MINIDUMP_EXCEPTION_STREAM> ExceptionOf(const std::string& bytes) {
    MINIDUMP_HEADER header{};
    if (bytes.size() < sizeof(header) || bytes.compare(0, 4, "MDMP") != 0) return std::nullopt;
    std::memcpy(&header, bytes.data(), sizeof(header));
    for (ULONG32 i = 0; i < header.NumberOfStreams; ++i) {
        MINIDUMP_DIRECTORY entry{};
        MINIDUMP_EXCEPTION_STREAM exception{};
        const size_t at = header.StreamDirectoryRva + i * sizeof(entry);
        if (at + sizeof(entry) > bytes.size()) return std::nullopt;
        std::memcpy(&entry, bytes.data() + at, sizeof(entry));
        if (entry.StreamType != ExceptionStream || entry.Location.Rva + sizeof(exception) > bytes.size()) continue;
        std::memcpy(&exception, bytes.data() + entry.Location.Rva, sizeof(exception));
        return exception;
    }
    return std::nullopt;
}

// (This program's own version: the dump name above.)
TEST_F(DumpTest, AFileWithoutAVersionResourceHasNone) {
    ASSERT_TRUE(WriteFileBytes(LogDir() + L"plain.txt", "no resources here"));
    for (const wchar_t* file : {L"plain.txt", L"missing.dll"}) EXPECT_EQ(L"0.0.0.0", _GetFileVersionString((LogDir() + file).c_str()));
}

// The dump history: five current dumps stay, the oldest by stamp go.

std::wstring Current(const wchar_t* program, const wchar_t* stamp) {
    return std::wstring(program) + L"__V1.0.0.0_AppCrashDump_" + stamp + L".dmp.txt";
}
std::wstring Old(const wchar_t* program, const wchar_t* stamp) { return std::wstring(program) + L"__AppCrashDump_" + stamp + L".dmp.txt"; }
constexpr wchar_t kService[] = L"VHService__VeMoHostService.exe";
constexpr wchar_t kHost[] = L"VeMoHost__VeMoHost.exe";

struct HistoryCase {
    const char* name;
    std::vector<std::wstring> files;
    std::vector<size_t> deleted;  // indexes into files
    int busy = -1;                // held open without sharing meanwhile: reported, and the walk goes on
};
void PrintTo(const HistoryCase& c, std::ostream* os) { *os << c.name; }

// Stamps of day.month.2026 12:00:00 from their days, for the cases that differ in the day only.
std::vector<std::wstring> Days(const wchar_t* program, std::initializer_list<int> days) {
    std::vector<std::wstring> names;
    for (int day : days) names.push_back(Current(program, (std::to_wstring(day) + L".01.2026.12.00.00").c_str()));
    return names;
}
std::vector<std::wstring> operator+(std::vector<std::wstring> a, const std::vector<std::wstring>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const HistoryCase kHistoryCases[] = {
    // Neither first nor last by name; every field counts, the year first.
    {"EveryFieldCountsYearFirst", {Current(kService, L"05.03.2026.07.05.09"), Current(kHost, L"05.03.2026.07.05.10"),
                                   Current(kService, L"05.03.2026.07.05.08"), Current(kHost, L"31.12.2025.23.59.59"),
                                   Current(kService, L"06.03.2026.00.00.00"), Current(kHost, L"05.03.2026.17.00.00"),
                                   Current(kService, L"05.03.2026.07.04.59")}, {3, 6}},
    {"EqualStampsBelowTheCutBothGo", Days(kService, {10, 11, 13}) + Days(kHost, {10, 12, 14, 15}), {0, 3}},
    {"AnUnreadableStampCountsAsOldest", Days(kService, {10, 11, 12, 13, 14}) + std::vector{Current(kHost, L"xx.12.2030.23.59.59")}, {5}},
    // Old names all go, however few; other names never.
    {"OldNamesAllGoOthersStay", {Old(kService, L"01.02.2026.10.00.00"), Old(kHost, L"02.02.2026.10.00.00"),
                                 Current(kService, L"01.02.2026.10.00.00"), L"notes.txt", L"crash.dmp.txt",
                                 L"VHService__VeMoHostService.exe__V1.0.0.0_AppCrashDump_01.01.2020.00.00.00.dmp",
                                 L"VHService_VeMoHostService.exe_V1.0.0.0_AppCrashDump_01.01.2020.00.00.00.dmp.txt",
                                 L"VHService__VeMoHostService.exe__V1.0.0.0_CrashDump_01.01.2020.00.00.00.dmp.txt"}, {0, 1}},
    {"AnUndeletableDumpIsReportedAndTheNextGoes", Days(kHost, {10, 11, 12, 13, 14, 15, 16}), {1}, 0},
};

class DumpHistory : public DumpTest, public ::testing::WithParamInterface<HistoryCase> {};

TEST_P(DumpHistory, KeepsTheFiveNewest) {
    const HistoryCase& c = GetParam();
    for (const std::wstring& name : c.files) ASSERT_TRUE(WriteFileBytes(LogDir() + name, "dump"));
    {
        const std::wstring busy = c.busy < 0 ? L"" : LogDir() + c.files[static_cast<size_t>(c.busy)];
        vemo::unique_hfile holder(c.busy < 0 ? INVALID_HANDLE_VALUE
                                             : ::CreateFileW(busy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_EQ(c.busy >= 0, holder.is_valid());
        ClearDumpHistory(kOldDumpPattern);
        ClearDumpHistory(kCurrentDumpPattern);
        EXPECT_EQ(c.busy >= 0 ? 1u : 0u, recorder.CountExact(Narrow(L"Fehler <32> beim Löschen der Datei <" + busy + L"> aufgetreten!")));
    }
    std::set<std::wstring> expected(c.files.begin(), c.files.end());
    for (size_t i : c.deleted) expected.erase(c.files[i]);
    EXPECT_EQ(expected, FileNamesIn(LogDir()));
}

INSTANTIATE_TEST_SUITE_P(Cases, DumpHistory, ::testing::ValuesIn(kHistoryCases),
                         [](const ::testing::TestParamInfo<HistoryCase>& info) { return std::string(info.param.name); });

DWORD WINAPI FaultWhenReleased(void* pRelease) {
    if (::WaitForSingleObject(static_cast<HANDLE>(pRelease), 15000) != WAIT_OBJECT_0) return 2;
    *g_nullPointer = 1;
    return 3;
}

// Two threads of the thread-control library fault: their translator traces in the library's category,
// prunes the history and writes a dump of each fault, with dbghelp.dll loaded only meanwhile. Both are
// held right before writing, named in different seconds, then let go at once: the writes must not overlap.
TEST_F(DumpTest, FaultingThreadsEndWithATraceLineAndACompleteDumpEachAlsoAtTheSameMoment) {
    ASSERT_FALSE(DbgHelpLoaded()) << "something else keeps dbghelp.dll loaded; the unload check would not hold";
    ThreadControl::TC_SetTraceCategory(kCategory);
    const std::wstring oldDump = LogDir() + Old(L"X", L"01.01.2020.00.00.00");
    ASSERT_TRUE(WriteFileBytes(oldDump, "alt"));
    recorder.HoldLinesStartingWith("---> Beginn: ExceptionTranslator::CreateMiniDump");
    vemo::unique_handle releases[2], threads[2];
    for (size_t i = 0; i < 2; ++i) {
        releases[i].reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        threads[i].reset(ThreadControl::_CreateThread(&FaultWhenReleased, releases[i].get(), i ? L"Fehler2" : L"Fehler1"));
        ASSERT_TRUE(releases[i] && threads[i]) << i;
    }
    ASSERT_TRUE(::SetEvent(releases[0].get()));
    ASSERT_TRUE(WaitFor([&] { return recorder.HeldCount() == 1; }, 15000)) << recorder.All();
    const __time64_t firstNamed = _time64(nullptr);  // the first name was made in this second or before
    ASSERT_TRUE(WaitFor([&] { return _time64(nullptr) > firstNamed; }, 15000));
    ASSERT_TRUE(::SetEvent(releases[1].get()));
    ASSERT_TRUE(WaitFor([&] { return recorder.HeldCount() == 2; }, 15000)) << recorder.All();
    recorder.ReleaseHeld();
    std::set<DWORD> faulted;
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(ThreadControl::kThreadExitException, ExitCodeAfterEnd(threads[i].get(), 120000));
        const auto reported = recorder.Lines("Exception in _ThreadFunction() f\xFCr Thread <Fehler" + std::to_string(i + 1) + "> aufgetreten!");
        ASSERT_EQ(1u, reported.size()) << recorder.All();
        EXPECT_EQ(1, reported[0].level);
        EXPECT_EQ("DumpTests", reported[0].category) << "the library writes under the category it was given";
        faulted.insert(::GetThreadId(threads[i].get()));
    }
    ThreadControl::TC_SetTraceCategory(vemo::kCategoryThreadControl);
    EXPECT_FALSE(Exists(oldDump));
    const auto files = FileNamesIn(LogDir());
    ASSERT_EQ(2u, files.size());
    std::set<DWORD> dumped;
    for (const std::wstring& name : files) {
        EXPECT_TRUE(name.starts_with(kOwnDumpPrefix)) << Narrow(name);
        const std::string bytes = ReadFileBytes(LogDir() + name);
        const auto exception = ExceptionOf(bytes);
        ASSERT_TRUE(exception) << "a complete dump with the fault in it: " << Narrow(name);
        dumped.insert(exception->ThreadId);
        EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), exception->ExceptionRecord.ExceptionCode);
        const ULONG64 flags = reinterpret_cast<const MINIDUMP_HEADER*>(bytes.data())->Flags;
        EXPECT_EQ(static_cast<ULONG64>(MiniDumpWithDataSegs), flags & (MiniDumpWithDataSegs | MiniDumpWithFullMemory));
    }
    EXPECT_EQ(faulted, dumped);
    EXPECT_FALSE(DbgHelpLoaded()) << "dbghelp.dll stayed loaded after the dumps";
}

// The handler writes a dump of its own name and returns. Without exception pointers a dump has no
// exception stream; it replaces a longer file of the same name whole, and the Event Log gets its name.
TEST_F(DumpTest, TheInvalidParameterHandlerWritesADumpAndReturns) {
    InvalidParameterHandler(nullptr, nullptr, nullptr, 0, 0);  // as the runtime calls it
    const auto files = FileNamesIn(LogDir());
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ("MDMP", ReadFileBytes(LogDir() + *files.begin()).substr(0, 4));
    const std::wstring file = LogDir() + L"ersetzt.dmp.txt";
    const std::string old(8 * 1024 * 1024, 'X');  // longer than any dump of this program
    ASSERT_TRUE(WriteFileBytes(file, old));
    const EventRecorder events;
    CreateMiniDump(nullptr, file.c_str());
    EXPECT_EQ((std::vector<EventRecorder::Inserts>{{file}}), events.Events(VEMO_EVENT_MINIDUMP_WRITTEN));
    const std::string bytes = ReadFileBytes(file);
    EXPECT_LT(bytes.size(), old.size());
    EXPECT_EQ("MDMP", bytes.substr(0, 4));
    EXPECT_FALSE(ExceptionOf(bytes));
}

}  // namespace
