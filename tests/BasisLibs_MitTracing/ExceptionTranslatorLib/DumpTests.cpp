// Mini-dumps: their names, their files, the version read from a module's resource, the dump
// history, and the whole chain from a faulting thread to a dump. The program sits in a folder of
// its own with a recording trace module; ConfigDB's log folder of the product is a scratch folder.
#include <gtest/gtest.h>
#include <windows.h>
#include <dbghelp.h>

#include <cstring>
#include <optional>
#include <regex>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/DumpHistorie.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/ExceptionTranslator.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/MiniDump.h"
#include "BasisLibs_MitTracing/ThreadControlLib/ThreadFunctions.h"
#include "ConfigDbLines.h"
#include "Recorder.h"
#include "TestSupport.h"
#include "common/TraceCategories.h"
#include "configdb/ConfigDB.h"
#include "tracing/Trace.h"

namespace {

using namespace vemo::test;
using namespace ExceptionTranslator;

[[maybe_unused]] const bool kSandbox = UseHklmSandbox(L"Software\\VeMoDumpTests");

constexpr wchar_t kCategory[] = L"DumpTests";
constexpr wchar_t kNoVersion[] = L"0.0.0.0";
constexpr DWORD kTestExceptionCode = 0xE0D0D001;
const std::wstring kBuildVersion = std::to_wstring(VEMO_TEST_VERSION_MAJOR) + L"." + std::to_wstring(VEMO_TEST_VERSION_MINOR) +
                                   L"." + std::to_wstring(VEMO_TEST_VERSION_PATCH) + L".0";
const std::wstring kOwnDumpPrefix = std::wstring(kCategory) + L"__dump_tests.exe__V" + kBuildVersion + L"_AppCrashDump_";

// ConfigDB reads the log folder override once, at its start-up: set before anything asks it.
class LogFolder : public ::testing::Environment {
public:
    void SetUp() override {
        wchar_t answer[MAX_PATH + 1] = {};
        ASSERT_TRUE(SetRegistryString(kProductKey, L"ConfigDBLogDirB0003810", dir.path()));
        ASSERT_EQ(CDB_OK, CDB_GetLogDir(kOwnComponent, answer, MAX_PATH + 1, true));
        ASSERT_EQ(dir.path(), std::wstring(answer));
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
    bool Has(int level, const std::wstring& text) const {
        for (const TraceRecord& r : recorder.Records()) {
            if (r.level == level && r.text == Narrow(text)) return true;
        }
        return false;
    }
    static void WriteDumps(const std::vector<std::wstring>& names) {
        for (const std::wstring& name : names) ASSERT_TRUE(WriteFileBytes(LogDir() + name, "dump"));
    }

    Recorder recorder;
    const std::wstring m_previousCategory = g_szExceptionTranslatorCategory;
};

// --- names ----------------------------------------------------------------------------------------

TEST_F(DumpTest, NameCarriesLogDirCategoryModuleVersionAndTheTimeNow) {
    ConfigDbLines configDb;
    wchar_t name[kMiniDumpPathChars] = {};
    const __time64_t before = _time64(nullptr);
    GetMiniDumpFilename(name);
    const __time64_t after = _time64(nullptr);
    const std::wstring text(name), head = LogDir() + kOwnDumpPrefix;
    const std::wstring stamp = text.starts_with(head) ? text.substr(head.size()) : L"";
    std::wsmatch f;
    ASSERT_TRUE(std::regex_match(stamp, f, std::wregex(LR"((\d\d)\.(\d\d)\.(\d{4})\.(\d\d)\.(\d\d)\.(\d\d)\.dmp\.txt)"))) << Narrow(text);
    tm local{.tm_sec = std::stoi(f[6]), .tm_min = std::stoi(f[5]), .tm_hour = std::stoi(f[4]), .tm_mday = std::stoi(f[1]),
             .tm_mon = std::stoi(f[2]) - 1, .tm_year = std::stoi(f[3]) - 1900, .tm_isdst = -1};
    const __time64_t stamped = _mktime64(&local);
    EXPECT_TRUE(stamped >= before && stamped <= after) << Narrow(stamp);
    EXPECT_TRUE(Has(vemo::tracing::kLevelException, L"Dump-Dateiname erzeugt: <" + text + L">")) << recorder.All();
    // The version comes from this program's resource, through ConfigDB's version query.
    EXPECT_TRUE(configDb.HasContaining(L"_GetFileVersionFromFile: <" + std::to_wstring(VEMO_TEST_VERSION_MAJOR) + L"><"));
    // The crash-handling scopes name their source as every other scope does: below src/, as built.
    const auto scope = recorder.Lines("---> Beginn: ExceptionTranslator::GetMiniDumpFilename (");
    ASSERT_FALSE(scope.empty()) << recorder.All();
    EXPECT_TRUE(scope.front().text.ends_with(" BasisLibs_MitTracing/ExceptionTranslatorLib/MiniDump.cpp")) << scope.front().text;
}

TEST(DumpName, PadsTheStampAndLeavesOutAnUnknownLogDirectory) {
    wchar_t name[kMiniDumpPathChars] = {};
    FormatMiniDumpFilename(name, L"C:\\Logs\\", L"VHService", L"VeMoHostService", L".exe", L"1.2.3.4",
                           tm{.tm_sec = 9, .tm_min = 5, .tm_hour = 7, .tm_mday = 4, .tm_mon = 2, .tm_year = 126});
    EXPECT_STREQ(L"C:\\Logs\\VHService__VeMoHostService.exe__V1.2.3.4_AppCrashDump_04.03.2026.07.05.09.dmp.txt", name);
    FormatMiniDumpFilename(name, L"", L"VeMoHost", L"VeMoHost", L".exe", kNoVersion,
                           tm{.tm_sec = 58, .tm_min = 59, .tm_hour = 23, .tm_mday = 31, .tm_mon = 11, .tm_year = 126});
    EXPECT_STREQ(L"VeMoHost__VeMoHost.exe__V0.0.0.0_AppCrashDump_31.12.2026.23.59.58.dmp.txt", name);
}

// --- dump files -----------------------------------------------------------------------------------

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

// A vectored handler writes the dump while the raised exception is dispatched, with the pointers
// the system built for it, and lets the raising code go on.
std::wstring g_vectoredDumpFile;
LONG CALLBACK DumpOnTestException(EXCEPTION_POINTERS* pointers) {
    if (pointers->ExceptionRecord->ExceptionCode != kTestExceptionCode) return EXCEPTION_CONTINUE_SEARCH;
    CreateMiniDump(pointers, g_vectoredDumpFile.c_str());
    return EXCEPTION_CONTINUE_EXECUTION;
}
void RemoveVectoredHandler(void* handler) noexcept { ::RemoveVectoredExceptionHandler(handler); }

TEST_F(DumpTest, AFileWrittenFromADispatchedExceptionReplacesTheOldOneAndCarriesTheException) {
    ASSERT_FALSE(DbgHelpLoaded()) << "something else keeps dbghelp.dll loaded; the unload checks would not hold";
    g_vectoredDumpFile = LogDir() + L"vectored.dmp.txt";
    // Longer than any dump of this program: one written over it without truncating leaves its tail.
    const std::string old(8 * 1024 * 1024, 'X');
    ASSERT_TRUE(WriteFileBytes(g_vectoredDumpFile, old));
    {
        vemo::unique_any<void*, RemoveVectoredHandler> handler(::AddVectoredExceptionHandler(1, &DumpOnTestException));
        const ULONG_PTR arguments[] = {0x5EED};
        ::RaiseException(kTestExceptionCode, 0, 1, arguments);
    }
    const std::string bytes = ReadFileBytes(g_vectoredDumpFile);
    EXPECT_LT(bytes.size(), old.size());
    const auto exception = ExceptionOf(bytes);
    ASSERT_TRUE(exception);
    EXPECT_EQ(::GetCurrentThreadId(), exception->ThreadId);
    EXPECT_EQ(kTestExceptionCode, exception->ExceptionRecord.ExceptionCode);
    EXPECT_EQ(1u, exception->ExceptionRecord.NumberParameters);
    EXPECT_EQ(0x5EEDu, exception->ExceptionRecord.ExceptionInformation[0]);
    const ULONG64 flags = reinterpret_cast<const MINIDUMP_HEADER*>(bytes.data())->Flags;
    EXPECT_EQ(static_cast<ULONG64>(MiniDumpWithDataSegs), flags & (MiniDumpWithDataSegs | MiniDumpWithFullMemory));
    EXPECT_FALSE(DbgHelpLoaded()) << "dbghelp.dll stayed loaded after the dump";

    // Without pointers the dump has no exception; without a usable file there is none.
    ::DeleteFileW(g_vectoredDumpFile.c_str());
    CreateMiniDump(nullptr, g_vectoredDumpFile.c_str());
    EXPECT_EQ("MDMP", ReadFileBytes(g_vectoredDumpFile).substr(0, 4));
    EXPECT_FALSE(ExceptionOf(ReadFileBytes(g_vectoredDumpFile)));
    CONTEXT context{};
    ::RtlCaptureContext(&context);
    EXCEPTION_RECORD record{};
    EXCEPTION_POINTERS pointers{&record, &context};
    CreateMiniDump(&pointers, (LogDir() + L"fehlt\\crash.dmp.txt").c_str());  // no folder, no dump
    // A file another handle holds without sharing stays as it is.
    {
        vemo::unique_hfile holder(::CreateFileW(g_vectoredDumpFile.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        CreateMiniDump(&pointers, g_vectoredDumpFile.c_str());
    }
    EXPECT_FALSE(ExceptionOf(ReadFileBytes(g_vectoredDumpFile)));
    EXPECT_EQ(std::set<std::wstring>{L"vectored.dmp.txt"}, FileNamesIn(LogDir()));
    EXPECT_FALSE(DbgHelpLoaded());
}

// --- versions -------------------------------------------------------------------------------------

void DiscardUpdate(HANDLE update) noexcept { ::EndUpdateResourceW(update, TRUE); }

// A copy of this program whose resources are only a VS_VERSIONINFO with its fixed part, or none.
bool WriteModuleCopy(const std::wstring& path, const VS_FIXEDFILEINFO* fixed) {
    if (!::CopyFileW(_GetThisModulePath().c_str(), path.c_str(), FALSE)) return false;
    vemo::unique_any<HANDLE, DiscardUpdate> update(::BeginUpdateResourceW(path.c_str(), TRUE));
    constexpr wchar_t kKey[] = L"VS_VERSION_INFO";
    constexpr size_t kValueOffset = (6 + sizeof(kKey) + 3) & ~size_t{3};
    std::vector<BYTE> block(kValueOffset + sizeof(VS_FIXEDFILEINFO), 0);
    const WORD header[] = {static_cast<WORD>(block.size()), static_cast<WORD>(sizeof(VS_FIXEDFILEINFO)), 0};
    std::memcpy(block.data(), header, 6);
    std::memcpy(block.data() + 6, kKey, sizeof(kKey));
    if (fixed) std::memcpy(block.data() + kValueOffset, fixed, sizeof(*fixed));
    return update && (!fixed || ::UpdateResourceW(update.get(), RT_VERSION, MAKEINTRESOURCEW(1), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                                                   block.data(), static_cast<DWORD>(block.size()))) &&
           ::EndUpdateResourceW(update.release(), FALSE);
}

TEST_F(DumpTest, VersionTakesProductVersionHighAndFileVersionLow) {
    EXPECT_EQ(kBuildVersion, _GetFileVersionString(_GetThisModulePath().c_str()));
    for (const DWORD signature : {static_cast<DWORD>(VS_FFI_SIGNATURE), DWORD{0x12345678}}) {
        const std::wstring module = LogDir() + L"kopie" + std::to_wstring(signature) + L".dll";
        VS_FIXEDFILEINFO fixed{.dwSignature = signature, .dwStrucVersion = VS_FFI_STRUCVERSION, .dwFileVersionMS = MAKELONG(2, 1),
                               .dwFileVersionLS = MAKELONG(4, 3), .dwProductVersionMS = MAKELONG(6, 5),
                               .dwProductVersionLS = MAKELONG(8, 7), .dwFileOS = VOS_NT_WINDOWS32, .dwFileType = VFT_DLL};
        ASSERT_TRUE(WriteModuleCopy(module, &fixed));
        const bool valid = signature == VS_FFI_SIGNATURE;
        EXPECT_EQ(valid ? L"5.6.3.4" : kNoVersion, _GetFileVersionString(module.c_str()));
        uint32_t major = 99;
        EXPECT_EQ(valid, _GetFileVersionFromFile(module.c_str(), &major, nullptr, nullptr, nullptr));
        EXPECT_EQ(valid ? 5u : 99u, major) << "a failed query leaves its out-parameter untouched";
    }
    // Files without a version: a text file, a module without resources, a missing file, none.
    const std::wstring text = LogDir() + L"plain.txt", bare = LogDir() + L"bare.dll";
    ASSERT_TRUE(WriteFileBytes(text, "no resources here") && WriteModuleCopy(bare, nullptr));
    for (const std::wstring& file : {text, bare, LogDir() + L"missing.dll"}) EXPECT_EQ(kNoVersion, _GetFileVersionString(file.c_str()));
    EXPECT_EQ(kNoVersion, _GetFileVersionString(nullptr));
}

// --- the dump history: five current dumps stay, the oldest by stamp go -----------------------------

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
    {"FiveStay", Days(kService, {11, 13, 15}) + Days(kHost, {12, 14}), {}},
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
};

class DumpHistory : public DumpTest, public ::testing::WithParamInterface<HistoryCase> {};

TEST_P(DumpHistory, KeepsTheFiveNewest) {
    const HistoryCase& c = GetParam();
    WriteDumps(c.files);
    ClearDumpHistory(kOldDumpPattern);
    ClearDumpHistory(kCurrentDumpPattern);
    std::set<std::wstring> expected(c.files.begin(), c.files.end());
    for (size_t i : c.deleted) {
        expected.erase(c.files[i]);
        EXPECT_TRUE(Has(vemo::tracing::kLevelInfo, L"Dump <" + LogDir() + c.files[i] + L"> wurde gelöscht.")) << recorder.All();
    }
    EXPECT_EQ(expected, FileNamesIn(LogDir()));
}

INSTANTIATE_TEST_SUITE_P(Cases, DumpHistory, ::testing::ValuesIn(kHistoryCases),
                         [](const ::testing::TestParamInfo<HistoryCase>& info) { return std::string(info.param.name); });

// Of two equal stamps at the cut, the one the directory search finds later stays.
TEST_F(DumpTest, OfEqualStampsAtTheCutTheOneFoundLaterStays) {
    const std::vector<std::wstring> names = Days(kService, {10, 11, 13}) + Days(kHost, {10, 12, 14});
    WriteDumps(names);
    WIN32_FIND_DATAW data{};
    ASSERT_TRUE(vemo::unique_hfind(::FindFirstFileW((LogDir() + L"*10.01.2026*").c_str(), &data)));
    ClearDumpHistory(kCurrentDumpPattern);
    std::set<std::wstring> expected(names.begin(), names.end());
    expected.erase(data.cFileName);
    EXPECT_EQ(expected, FileNamesIn(LogDir()));
}

TEST_F(DumpTest, ADumpThatCannotBeDeletedIsReportedAndTheWalkGoesOn) {
    const std::vector<std::wstring> names = Days(kHost, {10, 11, 12, 13, 14, 15, 16});
    WriteDumps(names);
    const std::wstring busy = LogDir() + names[0];
    {
        vemo::unique_hfile holder(::CreateFileW(busy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        ClearDumpHistory(kCurrentDumpPattern);
    }
    std::set<std::wstring> expected(names.begin(), names.end());
    expected.erase(names[1]);
    EXPECT_EQ(expected, FileNamesIn(LogDir()));
    EXPECT_TRUE(Has(vemo::tracing::kLevelError, L"Fehler <32> beim Löschen der Datei <" + busy + L"> aufgetreten!")) << recorder.All();
}

// --- the whole chain ------------------------------------------------------------------------------

volatile int* volatile g_nullPointer = nullptr;
DWORD WINAPI WriteThroughNull(void*) {
    *g_nullPointer = 1;
    return 0;
}

// A thread of the thread-control library faults: the translator it runs under (its naming left it
// in place) traces, prunes the history, writes a real dump into the log folder; only that thread ends.
TEST_F(DumpTest, AFaultEndsOnlyItsThreadWithATraceLineAndARealDump) {
    ThreadControl::TC_SetTraceCategory(kCategory);
    const std::wstring oldDump = LogDir() + Old(L"X", L"01.01.2020.00.00.00");
    ASSERT_TRUE(WriteFileBytes(oldDump, "alt"));
    vemo::unique_handle thread(ThreadControl::_CreateThread(&WriteThroughNull, nullptr, L"Absturzfaden"));
    ASSERT_TRUE(thread);
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread.get(), 120000));
    ThreadControl::TC_SetTraceCategory(vemo::kCategoryThreadControl);
    DWORD exitCode = 0;
    ASSERT_TRUE(::GetExitCodeThread(thread.get(), &exitCode));
    EXPECT_EQ(ThreadControl::kThreadExitException, exitCode);
    const auto reported = recorder.Lines(Narrow(L"Exception in _ThreadFunction() für Thread <Absturzfaden> aufgetreten!"));
    ASSERT_EQ(1u, reported.size()) << recorder.All();
    EXPECT_EQ(1, reported[0].level);
    EXPECT_EQ("DumpTests", reported[0].category) << "the library writes under the category it was given";
    EXPECT_EQ(1u, recorder.Count("TranslateSEHExceptionToStdException -> Exception aufgetreten! Thread-ID <"));
    EXPECT_FALSE(Exists(oldDump));
    const auto files = FileNamesIn(LogDir());
    ASSERT_EQ(1u, files.size());
    EXPECT_TRUE(files.begin()->starts_with(kOwnDumpPrefix)) << Narrow(*files.begin());
    EXPECT_TRUE(ExceptionOf(ReadFileBytes(LogDir() + *files.begin()))) << "a dump with the fault in it";
}

TEST_F(DumpTest, TheInvalidParameterHandlerWritesADumpAndReturns) {
    InvalidParameterHandler(nullptr, nullptr, nullptr, 0, 0);  // as the runtime calls it
    EXPECT_EQ(1u, recorder.Count("InvalidParameterHandler -> Exception aufgetreten! Thread-ID <")) << recorder.All();
    const auto files = FileNamesIn(LogDir());
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ("MDMP", ReadFileBytes(LogDir() + *files.begin()).substr(0, 4));
}

}  // namespace
