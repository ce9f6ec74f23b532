// Mini-dumps: their names, their files, the version read from a module's resource, the dump
// history, and the whole chain from a faulting thread to a dump. The program sits in a folder of
// its own with a recording trace module; ConfigDB's log folder of the product is a scratch folder.
#include <gtest/gtest.h>
#include <windows.h>
#include <dbghelp.h>

#include <cstring>
#include <ctime>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <vector>

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
constexpr ULONG_PTR kTestExceptionArgument = 0x5EED;
constexpr DWORD kThreadTimeoutMs = 120000;

std::wstring BuildVersion() {
    return std::to_wstring(VEMO_TEST_VERSION_MAJOR) + L"." + std::to_wstring(VEMO_TEST_VERSION_MINOR) + L"." +
           std::to_wstring(VEMO_TEST_VERSION_PATCH) + L".0";
}

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
        m_previousCategory = g_szExceptionTranslatorCategory;
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
    Recorder recorder;

private:
    std::wstring m_previousCategory;
};

// --- names ----------------------------------------------------------------------------------------

TEST_F(DumpTest, NameCarriesLogDirCategoryModuleVersionAndTheTimeNow) {
    ConfigDbLines configDb;
    wchar_t name[kMiniDumpPathChars] = {};
    const __time64_t before = _time64(nullptr);
    GetMiniDumpFilename(name);
    const __time64_t after = _time64(nullptr);
    const std::wstring text(name);
    const std::wstring head = LogDir() + kCategory + L"__dump_tests.exe__V" + BuildVersion() + L"_AppCrashDump_";
    ASSERT_TRUE(text.starts_with(head) && text.ends_with(L".dmp.txt")) << Narrow(text);
    std::wsmatch f;
    const std::wstring stamp = text.substr(head.size(), text.size() - head.size() - 8);
    ASSERT_TRUE(std::regex_match(stamp, f, std::wregex(LR"((\d\d)\.(\d\d)\.(\d\d\d\d)\.(\d\d)\.(\d\d)\.(\d\d))")));
    tm local{.tm_sec = std::stoi(f[6]), .tm_min = std::stoi(f[5]), .tm_hour = std::stoi(f[4]), .tm_mday = std::stoi(f[1]),
             .tm_mon = std::stoi(f[2]) - 1, .tm_year = std::stoi(f[3]) - 1900, .tm_isdst = -1};
    const __time64_t stamped = _mktime64(&local);
    EXPECT_TRUE(stamped >= before && stamped <= after) << Narrow(stamp);
    EXPECT_TRUE(Has(vemo::tracing::kLevelException, L"Dump-Dateiname erzeugt: <" + text + L">")) << recorder.All();
    // The version comes from this program's resource, through ConfigDB's version query.
    EXPECT_TRUE(configDb.HasInfo(L"_GetFileVersionFromFile: <" + std::to_wstring(VEMO_TEST_VERSION_MAJOR) + L"><" +
                                 std::to_wstring(VEMO_TEST_VERSION_MINOR) + L"><" +
                                 std::to_wstring(VEMO_TEST_VERSION_PATCH) + L"><0>"));
}

TEST(DumpName, PadsTheStampAndLeavesOutAnUnknownLogDirectory) {
    wchar_t name[kMiniDumpPathChars] = {};
    tm march{.tm_sec = 9, .tm_min = 5, .tm_hour = 7, .tm_mday = 4, .tm_mon = 2, .tm_year = 126};
    FormatMiniDumpFilename(name, L"C:\\Logs\\", L"VHService", L"VeMoHostService", L".exe", L"1.2.3.4", march);
    EXPECT_STREQ(L"C:\\Logs\\VHService__VeMoHostService.exe__V1.2.3.4_AppCrashDump_04.03.2026.07.05.09.dmp.txt", name);
    tm december{.tm_sec = 58, .tm_min = 59, .tm_hour = 23, .tm_mday = 31, .tm_mon = 11, .tm_year = 126};
    FormatMiniDumpFilename(name, L"", L"VeMoHost", L"VeMoHost", L".exe", kNoVersion, december);
    EXPECT_STREQ(L"VeMoHost__VeMoHost.exe__V0.0.0.0_AppCrashDump_31.12.2026.23.59.58.dmp.txt", name);
}

// --- dump files -----------------------------------------------------------------------------------

struct DumpFacts {
    bool valid = false;
    bool hasException = false;
    ULONG64 flags = 0;
    MINIDUMP_EXCEPTION_STREAM exception{};
};

DumpFacts ReadDump(const std::string& bytes) {
    DumpFacts facts;
    MINIDUMP_HEADER header{};
    if (bytes.size() < sizeof(header) || bytes.compare(0, 4, "MDMP") != 0) return facts;
    std::memcpy(&header, bytes.data(), sizeof(header));
    facts.flags = header.Flags;
    for (ULONG32 i = 0; i < header.NumberOfStreams; ++i) {
        MINIDUMP_DIRECTORY entry{};
        const size_t at = header.StreamDirectoryRva + i * sizeof(entry);
        if (at + sizeof(entry) > bytes.size()) return facts;
        std::memcpy(&entry, bytes.data() + at, sizeof(entry));
        if (entry.StreamType != ExceptionStream) continue;
        if (entry.Location.Rva + sizeof(facts.exception) > bytes.size()) return facts;
        std::memcpy(&facts.exception, bytes.data() + entry.Location.Rva, sizeof(facts.exception));
        facts.hasException = true;
    }
    facts.valid = true;
    return facts;
}

// A vectored handler writes the dump while the raised exception is dispatched, with the pointers
// the system built for it, and lets the raising code go on.
std::wstring g_vectoredDumpFile;
LONG CALLBACK DumpOnTestException(EXCEPTION_POINTERS* pointers) {
    if (pointers->ExceptionRecord->ExceptionCode != kTestExceptionCode) return EXCEPTION_CONTINUE_SEARCH;
    CreateMiniDump(pointers, g_vectoredDumpFile.c_str());
    return EXCEPTION_CONTINUE_EXECUTION;
}
inline void RemoveVectoredHandler(void* handler) noexcept { ::RemoveVectoredExceptionHandler(handler); }
using unique_vectored_handler = vemo::unique_any<void*, RemoveVectoredHandler>;

TEST_F(DumpTest, AFileWrittenFromADispatchedExceptionReplacesTheOldOneAndCarriesTheException) {
    ASSERT_FALSE(DbgHelpLoaded()) << "something else keeps dbghelp.dll loaded; the unload checks would not hold";
    g_vectoredDumpFile = LogDir() + L"vectored.dmp.txt";
    // Longer than any dump of this program: one written over it without truncating leaves its tail.
    const std::string old(8 * 1024 * 1024, 'X');
    ASSERT_TRUE(WriteFileBytes(g_vectoredDumpFile, old));
    {
        unique_vectored_handler handler(::AddVectoredExceptionHandler(1, &DumpOnTestException));
        const ULONG_PTR arguments[] = {kTestExceptionArgument};
        ::RaiseException(kTestExceptionCode, 0, 1, arguments);
    }
    const std::string bytes = ReadFileBytes(g_vectoredDumpFile);
    EXPECT_LT(bytes.size(), old.size());
    const DumpFacts facts = ReadDump(bytes);
    ASSERT_TRUE(facts.valid && facts.hasException);
    EXPECT_EQ(::GetCurrentThreadId(), facts.exception.ThreadId);
    EXPECT_EQ(kTestExceptionCode, facts.exception.ExceptionRecord.ExceptionCode);
    EXPECT_EQ(1u, facts.exception.ExceptionRecord.NumberParameters);
    EXPECT_EQ(kTestExceptionArgument, facts.exception.ExceptionRecord.ExceptionInformation[0]);
    EXPECT_EQ(static_cast<ULONG64>(MiniDumpWithDataSegs), facts.flags & (MiniDumpWithDataSegs | MiniDumpWithFullMemory));
    EXPECT_FALSE(DbgHelpLoaded()) << "dbghelp.dll stayed loaded after the dump";
}

TEST_F(DumpTest, WithoutPointersOrAUsableFileTheDumpHasNoExceptionOrIsNotWritten) {
    CreateMiniDump(nullptr, (LogDir() + L"ohne.dmp.txt").c_str());
    const DumpFacts facts = ReadDump(ReadFileBytes(LogDir() + L"ohne.dmp.txt"));
    ASSERT_TRUE(facts.valid);
    EXPECT_FALSE(facts.hasException);
    ::DeleteFileW((LogDir() + L"ohne.dmp.txt").c_str());

    CONTEXT context{};
    ::RtlCaptureContext(&context);
    EXCEPTION_RECORD record{};
    EXCEPTION_POINTERS pointers{&record, &context};
    CreateMiniDump(&pointers, nullptr);
    CreateMiniDump(&pointers, L"");
    CreateMiniDump(&pointers, (LogDir() + L"fehlt\\crash.dmp.txt").c_str());
    EXPECT_TRUE(FileNamesIn(LogDir()).empty());
    // A file another handle holds without sharing stays as it is.
    const std::wstring busy = LogDir() + L"busy.dmp.txt";
    ASSERT_TRUE(WriteFileBytes(busy, "busy"));
    {
        vemo::unique_hfile holder(::CreateFileW(busy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        CreateMiniDump(&pointers, busy.c_str());
    }
    EXPECT_EQ("busy", ReadFileBytes(busy));
    EXPECT_FALSE(DbgHelpLoaded());
}

// --- versions -------------------------------------------------------------------------------------

// A copy of this program whose resources are only a VS_VERSIONINFO with its fixed part, or none.
bool WriteModuleCopy(const std::wstring& path, const VS_FIXEDFILEINFO* fixed) {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (!::CopyFileW(self, path.c_str(), FALSE)) return false;
    HANDLE update = ::BeginUpdateResourceW(path.c_str(), TRUE);
    if (!update) return false;
    bool ok = true;
    if (fixed) {
        constexpr wchar_t kKey[] = L"VS_VERSION_INFO";
        const size_t valueOffset = (6 + sizeof(kKey) + 3) & ~size_t{3};
        std::vector<BYTE> block(valueOffset + sizeof(*fixed), 0);
        const WORD header[] = {static_cast<WORD>(block.size()), static_cast<WORD>(sizeof(*fixed)), 0};
        std::memcpy(block.data(), header, 6);
        std::memcpy(block.data() + 6, kKey, sizeof(kKey));
        std::memcpy(block.data() + valueOffset, fixed, sizeof(*fixed));
        ok = ::UpdateResourceW(update, RT_VERSION, MAKEINTRESOURCEW(1), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                               block.data(), static_cast<DWORD>(block.size())) != FALSE;
    }
    return ::EndUpdateResourceW(update, ok ? FALSE : TRUE) != FALSE && ok;
}

TEST_F(DumpTest, VersionTakesProductVersionHighAndFileVersionLow) {
    EXPECT_EQ(BuildVersion(), _GetFileVersionString(_GetThisModulePath().c_str()));
    struct Case {
        DWORD signature, fileMs, fileLs, productMs, productLs;
        const wchar_t* version;
        size_t mismatchLines;
    };
    const Case cases[] = {{VS_FFI_SIGNATURE, MAKELONG(2, 1), MAKELONG(4, 3), MAKELONG(6, 5), MAKELONG(8, 7), L"5.6.3.4", 2},
                          {VS_FFI_SIGNATURE, MAKELONG(0, 2), MAKELONG(65535, 7), MAKELONG(0, 2), MAKELONG(65535, 7),
                           L"2.0.7.65535", 0},
                          {0x12345678, MAKELONG(0, 1), 0, MAKELONG(0, 1), 0, kNoVersion, 0}};
    for (const Case& c : cases) {
        ConfigDbLines configDb;
        const std::wstring module = LogDir() + L"kopie" + std::to_wstring(&c - cases) + L".dll";
        VS_FIXEDFILEINFO fixed{.dwSignature = c.signature, .dwStrucVersion = VS_FFI_STRUCVERSION,
                               .dwFileVersionMS = c.fileMs, .dwFileVersionLS = c.fileLs,
                               .dwProductVersionMS = c.productMs, .dwProductVersionLS = c.productLs,
                               .dwFileOS = VOS_NT_WINDOWS32, .dwFileType = VFT_DLL};
        ASSERT_TRUE(WriteModuleCopy(module, &fixed));
        EXPECT_EQ(c.version, _GetFileVersionString(module.c_str()));
        size_t mismatches = 0;
        for (const ConfigDbLine& line : configDb.Lines()) mismatches += line.text.find(L"!= Product") != std::wstring::npos;
        EXPECT_EQ(c.mismatchLines, mismatches) << Narrow(configDb.Dump());
        uint32_t major = 99;
        uint32_t build = 0;
        EXPECT_EQ(c.signature == VS_FFI_SIGNATURE, _GetFileVersionFromFile(module.c_str(), &major, nullptr, &build, nullptr));
        if (c.signature != VS_FFI_SIGNATURE) {
            EXPECT_EQ(99u, major);  // untouched
            EXPECT_TRUE(configDb.HasError(L"_GetFileVersionFromFile: Die Signatur <0x12345678> ist unbekannt!"));
        }
    }
    // Files without a version: a text file, a module without resources, a missing file.
    ConfigDbLines configDb;
    const std::wstring text = LogDir() + L"plain.txt";
    const std::wstring bare = LogDir() + L"bare.dll";
    ASSERT_TRUE(WriteFileBytes(text, "no resources here") && WriteModuleCopy(bare, nullptr));
    for (const std::wstring& file : {text, bare, LogDir() + L"missing.dll"}) EXPECT_EQ(kNoVersion, _GetFileVersionString(file.c_str()));
    EXPECT_EQ(kNoVersion, _GetFileVersionString(nullptr));
    EXPECT_TRUE(configDb.HasError(L"_GetFileVersionFromFile: Der Dateiname <" + LogDir() + L"missing.dll> existiert nicht!"));
    EXPECT_TRUE(configDb.HasError(L"CDB_GetOsBuildNr: Die BuildNr konnte nicht ermittelt werden!"));
}

// --- the dump history: five current dumps stay, the oldest by stamp go -----------------------------

std::wstring Current(const wchar_t* program, const wchar_t* stamp) {
    return std::wstring(program) + L"__V1.0.0.0_AppCrashDump_" + stamp + L".dmp.txt";
}
std::wstring Old(const wchar_t* program, const wchar_t* stamp) {
    return std::wstring(program) + L"__AppCrashDump_" + stamp + L".dmp.txt";
}
constexpr wchar_t kService[] = L"VHService__VeMoHostService.exe";
constexpr wchar_t kHost[] = L"VeMoHost__VeMoHost.exe";

struct HistoryCase {
    const char* name;
    std::vector<std::wstring> files;
    std::vector<size_t> deleted;  // indexes into files
};
void PrintTo(const HistoryCase& c, std::ostream* os) { *os << c.name; }

const HistoryCase kHistoryCases[] = {
    {"FourStay", {Current(kService, L"01.02.2026.10.00.00"), Current(kHost, L"31.01.2026.10.00.00"),
                  Current(kService, L"15.01.2026.08.30.00"), Current(kHost, L"02.02.2026.00.00.01")}, {}},
    {"FiveStay", {Current(kService, L"01.02.2026.10.00.00"), Current(kHost, L"31.01.2026.10.00.00"),
                  Current(kService, L"15.01.2026.08.30.00"), Current(kHost, L"02.02.2026.00.00.01"),
                  Current(kService, L"20.01.2026.12.00.00")}, {}},
    // Neither first nor last by name.
    {"OfSixTheOldestByStampGoes", {Current(kService, L"31.01.2026.10.00.00"), Current(kHost, L"01.02.2026.09.00.00"),
                                   Current(kService, L"15.01.2026.08.30.00"), Current(kHost, L"02.02.2026.00.00.01"),
                                   Current(kService, L"01.01.2026.00.00.00"), Current(kService, L"10.12.2025.23.59.59")}, {5}},
    {"EveryFieldCountsYearFirst", {Current(kService, L"05.03.2026.07.05.09"), Current(kHost, L"05.03.2026.07.05.10"),
                                   Current(kService, L"05.03.2026.07.05.08"), Current(kHost, L"31.12.2025.23.59.59"),
                                   Current(kService, L"06.03.2026.00.00.00"), Current(kHost, L"05.03.2026.17.00.00"),
                                   Current(kService, L"05.03.2026.07.04.59")}, {3, 6}},
    {"EqualStampsBelowTheCutBothGo", {Current(kService, L"10.01.2026.12.00.00"), Current(kHost, L"10.01.2026.12.00.00"),
                                      Current(kService, L"11.01.2026.12.00.00"), Current(kHost, L"12.01.2026.12.00.00"),
                                      Current(kService, L"13.01.2026.12.00.00"), Current(kHost, L"14.01.2026.12.00.00"),
                                      Current(kHost, L"15.01.2026.12.00.00")}, {0, 1}},
    {"AnUnreadableStampCountsAsOldest", {Current(kHost, L"xx.12.2030.23.59.59"), Current(kService, L"10.01.2026.12.00.00"),
                                         Current(kService, L"11.01.2026.12.00.00"), Current(kService, L"12.01.2026.12.00.00"),
                                         Current(kService, L"13.01.2026.12.00.00"), Current(kService, L"14.01.2026.12.00.00")}, {0}},
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
    for (const std::wstring& name : c.files) ASSERT_TRUE(WriteFileBytes(LogDir() + name, "dump"));
    ClearDumpHistory(kOldDumpPattern);
    ClearDumpHistory(kCurrentDumpPattern);
    std::set<std::wstring> expected(c.files.begin(), c.files.end());
    for (size_t i : c.deleted) {
        expected.erase(c.files[i]);
        EXPECT_TRUE(Has(vemo::tracing::kLevelInfo, L"Dump <" + LogDir() + c.files[i] + L"> wurde gelöscht.")) << recorder.All();
    }
    EXPECT_EQ(expected, FileNamesIn(LogDir()));
    for (const std::wstring& name : expected) {
        if (name.ends_with(L".dmp.txt") && name.find(L"__V1.0.0.0_AppCrashDump_") != std::wstring::npos) {
            EXPECT_TRUE(Has(vemo::tracing::kLevelInfo, L"Dump <" + LogDir() + name + L"> wurde historienbedingt nicht gelöscht."));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DumpHistory, ::testing::ValuesIn(kHistoryCases),
                         [](const ::testing::TestParamInfo<HistoryCase>& info) { return std::string(info.param.name); });

// Of two equal stamps at the cut, the one the directory search finds later stays.
TEST_F(DumpTest, OfEqualStampsAtTheCutTheOneFoundLaterStays) {
    const std::vector<std::wstring> names = {Current(kService, L"10.01.2026.12.00.00"), Current(kHost, L"10.01.2026.12.00.00"),
                                             Current(kService, L"11.01.2026.12.00.00"), Current(kHost, L"12.01.2026.12.00.00"),
                                             Current(kService, L"13.01.2026.12.00.00"), Current(kHost, L"14.01.2026.12.00.00")};
    for (const std::wstring& name : names) ASSERT_TRUE(WriteFileBytes(LogDir() + name, "dump"));
    std::wstring foundFirst;
    WIN32_FIND_DATAW data{};
    {
        vemo::unique_hfind find(::FindFirstFileW((LogDir() + L"*10.01.2026*").c_str(), &data));
        ASSERT_TRUE(find);
        foundFirst = data.cFileName;
    }
    ClearDumpHistory(kCurrentDumpPattern);
    std::set<std::wstring> expected(names.begin(), names.end());
    expected.erase(foundFirst);
    EXPECT_EQ(expected, FileNamesIn(LogDir()));
}

TEST_F(DumpTest, ADumpThatCannotBeDeletedIsReportedAndTheWalkGoesOn) {
    std::vector<std::wstring> names;
    for (int day = 10; day < 17; ++day) names.push_back(Current(kHost, (std::to_wstring(day) + L".01.2026.12.00.00").c_str()));
    for (const std::wstring& name : names) ASSERT_TRUE(WriteFileBytes(LogDir() + name, "dump"));
    const std::wstring busy = LogDir() + names[0];
    {
        vemo::unique_hfile holder(::CreateFileW(busy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        ClearDumpHistory(kCurrentDumpPattern);
    }
    std::set<std::wstring> expected(names.begin(), names.end());
    expected.erase(names[1]);
    EXPECT_EQ(expected, FileNamesIn(LogDir()));
    EXPECT_TRUE(Has(vemo::tracing::kLevelError, L"Fehler <32> beim Löschen der Datei <" + busy + L"> aufgetreten!"))
        << recorder.All();
    recorder.Reset();
    EmptyLogDir();
    ClearDumpHistory(kCurrentDumpPattern);
    EXPECT_TRUE(Has(vemo::tracing::kLevelInfo, L"FindFirstFile() lieferte keine Dateien mit Maske <" + LogDir() +
                                                   L"*__V*_AppCrashDump_*.dmp.txt>."));
}

// The history keys a name by its stamp, year first: the name operation's own names included.
TEST_F(DumpTest, TheListKeysNamesByTheirStamp) {
    wchar_t name[kMiniDumpPathChars] = {};
    GetMiniDumpFilename(name);
    const std::wstring fileName = std::wstring(name).substr(LogDir().size());
    const std::wstring stamp = fileName.substr(fileName.find(L"_AppCrashDump_") + 14, 19);
    auto entry = [](const std::wstring& n) {
        WIN32_FIND_DATAW data{};
        wcsncpy(data.cFileName, n.c_str(), MAX_PATH - 1);
        return data;
    };
    DumpFileMap list;
    AddFileToMap(kCurrentDumpPattern, list, entry(fileName));
    AddFileToMap(kCurrentDumpPattern, list, entry(Current(kService, L"04.03.2026.07.05.09")));
    AddFileToMap(kCurrentDumpPattern, list, entry(Current(kHost, L"04.03.2026.07.05.09")));
    AddFileToMap(kCurrentDumpPattern, list, entry(L"unrelated.dmp.txt"));
    AddFileToMap(kOldDumpPattern, list, entry(Old(kHost, L"01.01.2026.00.00.00")));
    ASSERT_EQ(5u, list.size());
    const std::wstring key = stamp.substr(6, 4) + stamp.substr(3, 2) + stamp.substr(0, 2) + stamp.substr(11, 2) +
                             stamp.substr(14, 2) + stamp.substr(17, 2);
    EXPECT_EQ(1u, list.count(key));
    EXPECT_EQ(std::wstring(name), list.find(key)->second);
    const auto [from, to] = list.equal_range(L"20260304070509");
    ASSERT_EQ(2, std::distance(from, to));  // equal keys in the order they came
    EXPECT_EQ(LogDir() + Current(kService, L"04.03.2026.07.05.09"), from->second);
    EXPECT_EQ(2u, list.count(L""));  // no marker, or the old pattern
}

// The crash-handling scopes name their source as every other scope does: the path below src/ with
// its extension, as the build gives it.
TEST_F(DumpTest, CrashHandlingScopesNameTheirSourceAsTheBuildGivesIt) {
    ClearDumpHistory(kCurrentDumpPattern);
    wchar_t name[kMiniDumpPathChars] = {};
    GetMiniDumpFilename(name);
    const std::pair<const char*, std::string> scopes[] = {
        {"---> Beginn: ExceptionTranslator::ClearDumpHistory (", " BasisLibs_MitTracing/ExceptionTranslatorLib/DumpHistorie.cpp"},
        {"---> Beginn: ExceptionTranslator::GetMiniDumpFilename (", " BasisLibs_MitTracing/ExceptionTranslatorLib/MiniDump.cpp"},
    };
    for (const auto& [begin, source] : scopes) {
        const auto lines = recorder.Lines(begin);
        ASSERT_FALSE(lines.empty()) << begin << recorder.All();
        const std::string& text = lines.front().text;
        EXPECT_TRUE(text.size() > source.size() && text.compare(text.size() - source.size(), source.size(), source) == 0)
            << text;
    }
}

// --- the whole chain ------------------------------------------------------------------------------

volatile int* volatile g_nullPointer = nullptr;
DWORD WINAPI WriteThroughNull(void*) {
    *g_nullPointer = 1;
    return 0;
}

// A thread of the thread-control library faults: the translator traces, prunes the history,
// writes a real dump into the log folder, and only that thread ends.
TEST_F(DumpTest, AFaultEndsOnlyItsThreadWithATraceLineAndARealDump) {
    ThreadControl::TC_SetTraceCategory(kCategory);
    const std::wstring oldDump = LogDir() + Old(L"X", L"01.01.2020.00.00.00");
    ASSERT_TRUE(WriteFileBytes(oldDump, "alt"));
    vemo::unique_handle thread(ThreadControl::_CreateThread(&WriteThroughNull, nullptr, L"Absturzfaden"));
    ASSERT_TRUE(thread);
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread.get(), kThreadTimeoutMs));
    ThreadControl::TC_SetTraceCategory(vemo::kCategoryThreadControl);
    DWORD exitCode = 0;
    ASSERT_TRUE(::GetExitCodeThread(thread.get(), &exitCode));
    EXPECT_EQ(ThreadControl::kThreadExitException, exitCode);
    EXPECT_TRUE(Has(1, L"Exception in _ThreadFunction() für Thread <Absturzfaden> aufgetreten!")) << recorder.All();
    EXPECT_EQ(1u, recorder.Count("TranslateSEHExceptionToStdException -> Exception aufgetreten! Thread-ID <"));
    EXPECT_FALSE(Exists(oldDump));
    const auto files = FileNamesIn(LogDir());
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(0u, files.begin()->find(std::wstring(kCategory) + L"__dump_tests.exe__V" + BuildVersion() + L"_AppCrashDump_"));
    EXPECT_EQ("MDMP", ReadFileBytes(LogDir() + *files.begin()).substr(0, 4));
}

TEST_F(DumpTest, TheInvalidParameterHandlerWritesADumpAndReturns) {
    InvalidParameterHandler(nullptr, nullptr, nullptr, 0, 0);  // as the runtime calls it
    EXPECT_EQ(1u, recorder.Count("InvalidParameterHandler -> Exception aufgetreten! Thread-ID <")) << recorder.All();
    const auto files = FileNamesIn(LogDir());
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ("MDMP", ReadFileBytes(LogDir() + *files.begin()).substr(0, 4));
}

}  // namespace
