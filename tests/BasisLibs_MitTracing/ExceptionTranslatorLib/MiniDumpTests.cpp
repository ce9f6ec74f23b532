// Dump names, dump files and the version read from a module's resource.
#include <gtest/gtest.h>
#include <windows.h>
#include <dbghelp.h>

#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/MiniDump.h"
#include "DumpTestEnv.h"
#include "TestSupport.h"
#include "common/UniqueHandle.h"
#include "tracing/Trace.h"

using dumptest::LogDir;
using namespace ExceptionTranslator;

namespace {

constexpr wchar_t kProgramName[] = L"dump_tests";
constexpr wchar_t kProgramExtension[] = L".exe";
constexpr wchar_t kDbgHelp[] = L"dbghelp.dll";
constexpr wchar_t kNoVersion[] = L"0.0.0.0";
constexpr wchar_t kBuildNrUnknown[] = L"CDB_GetOsBuildNr: Die BuildNr konnte nicht ermittelt werden!";
constexpr wchar_t kInfoSizeFailedHead[] = L"_GetFileVersionFromFile: GetLastError <";
constexpr wchar_t kInfoSizeFailedTail[] = L">, die FileVersionInfoSize konnte nicht ermittelt werden!";
constexpr char kDumpSignature[] = "MDMP";
constexpr DWORD kTestExceptionCode = 0xE0D0D001;
constexpr ULONG_PTR kTestExceptionArgument = 0x5EED;
constexpr size_t kOldFileBytes = 8 * 1024 * 1024;
// The bits of the header's flags that say how much memory a dump holds.
constexpr ULONG64 kDumpKindFlags = MiniDumpWithDataSegs | MiniDumpWithFullMemory;

// Initialised, so it lies in the program's writable data section.
volatile int g_dataSegmentMarker = 0x0D0D;

std::wstring TempFile(const std::wstring& name) { return LogDir() + name; }

bool DbgHelpLoaded() { return ::GetModuleHandleW(kDbgHelp) != nullptr; }

using vemo::test::RunningUnderWine;

// --- reading a dump back ----------------------------------------------------------------------

struct DumpFacts {
    bool valid = false;
    ULONG64 flags = 0;
    bool hasException = false;
    ULONG32 exceptionThreadId = 0;
    ULONG32 exceptionCode = 0;
    ULONG64 exceptionAddress = 0;
    ULONG32 exceptionParameterCount = 0;
    ULONG64 firstExceptionParameter = 0;
    std::vector<std::pair<ULONG64, ULONG64>> memoryRanges;  // start, size

    bool CoversAddress(const volatile void* address) const {
        const auto a = reinterpret_cast<ULONG64>(address);
        for (const auto& [start, size] : memoryRanges) {
            if (a >= start && a < start + size) return true;
        }
        return false;
    }
};

template <typename T>
bool ReadAt(const std::string& bytes, ULONG64 offset, T& out) {
    if (offset + sizeof(T) > bytes.size()) return false;
    std::memcpy(&out, bytes.data() + offset, sizeof(T));
    return true;
}

DumpFacts ReadDump(const std::string& bytes) {
    DumpFacts facts;
    MINIDUMP_HEADER header{};
    if (bytes.compare(0, 4, kDumpSignature) != 0 || !ReadAt(bytes, 0, header)) return facts;
    facts.flags = header.Flags;
    for (ULONG32 i = 0; i < header.NumberOfStreams; ++i) {
        MINIDUMP_DIRECTORY entry{};
        if (!ReadAt(bytes, header.StreamDirectoryRva + i * sizeof(entry), entry)) return facts;
        if (entry.StreamType == ExceptionStream) {
            MINIDUMP_EXCEPTION_STREAM stream{};
            if (!ReadAt(bytes, entry.Location.Rva, stream)) return facts;
            facts.hasException = true;
            facts.exceptionThreadId = stream.ThreadId;
            facts.exceptionCode = stream.ExceptionRecord.ExceptionCode;
            facts.exceptionAddress = stream.ExceptionRecord.ExceptionAddress;
            facts.exceptionParameterCount = stream.ExceptionRecord.NumberParameters;
            facts.firstExceptionParameter = stream.ExceptionRecord.ExceptionInformation[0];
        } else if (entry.StreamType == MemoryListStream) {
            ULONG32 count = 0;
            if (!ReadAt(bytes, entry.Location.Rva, count)) return facts;
            for (ULONG32 m = 0; m < count; ++m) {
                MINIDUMP_MEMORY_DESCRIPTOR range{};
                if (!ReadAt(bytes, entry.Location.Rva + sizeof(count) + m * sizeof(range), range)) return facts;
                facts.memoryRanges.emplace_back(range.StartOfMemoryRange, range.Memory.DataSize);
            }
        }
    }
    facts.valid = true;
    return facts;
}

// A vectored handler writes the dump while the raised exception is being dispatched, with the
// pointers the system built for it, and lets the raising code go on.
std::wstring g_vectoredDumpFile;
LONG CALLBACK DumpOnTestException(EXCEPTION_POINTERS* pointers) {
    if (pointers->ExceptionRecord->ExceptionCode != kTestExceptionCode) return EXCEPTION_CONTINUE_SEARCH;
    CreateMiniDump(pointers, g_vectoredDumpFile.c_str());
    return EXCEPTION_CONTINUE_EXECUTION;
}

inline void RemoveVectoredHandler(void* handler) noexcept { ::RemoveVectoredExceptionHandler(handler); }
using unique_vectored_handler = vemo::unique_any<void*, RemoveVectoredHandler>;

void RaiseWithDump(const std::wstring& file) {
    g_vectoredDumpFile = file;
    unique_vectored_handler handler(::AddVectoredExceptionHandler(1, &DumpOnTestException));
    ASSERT_TRUE(handler);
    const ULONG_PTR arguments[] = {kTestExceptionArgument};
    ::RaiseException(kTestExceptionCode, 0, 1, arguments);
}

// --- version resources written into a copy of a module -----------------------------------------

constexpr wchar_t kVersionInfoKey[] = L"VS_VERSION_INFO";
constexpr WORD kVersionResourceId = 1;

// A VS_VERSIONINFO block with only the fixed part.
std::vector<BYTE> VersionBlock(DWORD signature, DWORD fileMs, DWORD fileLs, DWORD productMs, DWORD productLs) {
    VS_FIXEDFILEINFO fixed{};
    fixed.dwSignature = signature;
    fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
    fixed.dwFileVersionMS = fileMs;
    fixed.dwFileVersionLS = fileLs;
    fixed.dwProductVersionMS = productMs;
    fixed.dwProductVersionLS = productLs;
    fixed.dwFileOS = VOS_NT_WINDOWS32;
    fixed.dwFileType = VFT_DLL;

    constexpr size_t kHeaderBytes = 3 * sizeof(WORD);
    const size_t keyBytes = sizeof(kVersionInfoKey);
    const size_t valueOffset = (kHeaderBytes + keyBytes + 3) & ~size_t{3};
    std::vector<BYTE> block(valueOffset + sizeof(fixed), 0);
    const WORD header[] = {static_cast<WORD>(block.size()), static_cast<WORD>(sizeof(fixed)), 0};
    std::memcpy(block.data(), header, kHeaderBytes);
    std::memcpy(block.data() + kHeaderBytes, kVersionInfoKey, keyBytes);
    std::memcpy(block.data() + valueOffset, &fixed, sizeof(fixed));
    return block;
}

// A copy of this program whose resources are replaced by the block, or by nothing.
bool WriteModuleCopy(const std::wstring& path, const std::vector<BYTE>* versionBlock) {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (!::CopyFileW(self, path.c_str(), FALSE)) return false;
    HANDLE update = ::BeginUpdateResourceW(path.c_str(), TRUE);
    if (!update) return false;
    bool ok = true;
    if (versionBlock) {
        ok = ::UpdateResourceW(update, RT_VERSION, MAKEINTRESOURCEW(kVersionResourceId),
                               MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), const_cast<BYTE*>(versionBlock->data()),
                               static_cast<DWORD>(versionBlock->size())) != FALSE;
    }
    return ::EndUpdateResourceW(update, ok ? FALSE : TRUE) != FALSE && ok;
}

class MiniDumpTest : public dumptest::TracedTest {
protected:
    void SetUp() override {
        dumptest::TracedTest::SetUp();
        dumptest::EmptyLogDir();
    }
    void TearDown() override {
        dumptest::EmptyLogDir();
        dumptest::TracedTest::TearDown();
    }
};

// --- names --------------------------------------------------------------------------------------

using MiniDumpName = MiniDumpTest;

TEST_F(MiniDumpName, CarriesLogDirCategoryModuleVersionAndTheTimeNow) {
    dumptest::ConfigDbLines configDb;
    wchar_t name[kMiniDumpPathChars] = {};
    const __time64_t before = _time64(nullptr);
    GetMiniDumpFilename(name);
    const __time64_t after = _time64(nullptr);

    const std::wstring text(name);
    const std::wstring head = LogDir() + dumptest::kTestCategory + L"__" + kProgramName + kProgramExtension + L"__V" +
                              dumptest::BuildVersion() + L"_AppCrashDump_";
    const std::wstring tail = L".dmp.txt";
    ASSERT_TRUE(text.starts_with(head)) << testing::PrintToString(text);
    ASSERT_TRUE(text.ends_with(tail)) << testing::PrintToString(text);
    const std::wstring stamp = text.substr(head.size(), text.size() - head.size() - tail.size());

    std::wsmatch fields;
    ASSERT_TRUE(std::regex_match(stamp, fields, std::wregex(LR"((\d\d)\.(\d\d)\.(\d\d\d\d)\.(\d\d)\.(\d\d)\.(\d\d))")))
        << testing::PrintToString(stamp);
    tm local{};
    local.tm_mday = std::stoi(fields[1]);
    local.tm_mon = std::stoi(fields[2]) - 1;
    local.tm_year = std::stoi(fields[3]) - 1900;
    local.tm_hour = std::stoi(fields[4]);
    local.tm_min = std::stoi(fields[5]);
    local.tm_sec = std::stoi(fields[6]);
    local.tm_isdst = -1;
    const __time64_t stamped = _mktime64(&local);
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);

    EXPECT_TRUE(HasLine(vemo::tracing::kLevelException, L"Dump-Dateiname erzeugt: <" + text + L">")) << DumpRecords();
    // The version comes from this program's resource, through ConfigDB's version query.
    EXPECT_TRUE(configDb.HasInfo(L"_GetFileVersionFromFile: <" + std::to_wstring(VEMO_TEST_VERSION_MAJOR) + L"><" +
                                 std::to_wstring(VEMO_TEST_VERSION_MINOR) + L"><" +
                                 std::to_wstring(VEMO_TEST_VERSION_PATCH) + L"><0>"))
        << testing::PrintToString(configDb.Dump());
}

TEST_F(MiniDumpName, PadsTheStampAndLeavesOutAnUnknownLogDirectory) {
    tm local{};
    local.tm_mday = 4;
    local.tm_mon = 2;  // March
    local.tm_year = 2026 - 1900;
    local.tm_hour = 7;
    local.tm_min = 5;
    local.tm_sec = 9;
    wchar_t name[kMiniDumpPathChars] = {};
    FormatMiniDumpFilename(name, L"C:\\Logs\\", L"VHService", L"VeMoHostService", L".exe", L"1.2.3.4", local);
    EXPECT_STREQ(L"C:\\Logs\\VHService__VeMoHostService.exe__V1.2.3.4_AppCrashDump_04.03.2026.07.05.09.dmp.txt", name);

    local.tm_mday = 31;
    local.tm_mon = 11;  // December
    local.tm_hour = 23;
    local.tm_min = 59;
    local.tm_sec = 58;
    FormatMiniDumpFilename(name, L"", L"VeMoHost", L"VeMoHost", L".exe", kNoVersion, local);
    EXPECT_STREQ(L"VeMoHost__VeMoHost.exe__V0.0.0.0_AppCrashDump_31.12.2026.23.59.58.dmp.txt", name);
}

TEST_F(MiniDumpName, ScopeNamesTheMethodAndItsLine) {
    wchar_t name[kMiniDumpPathChars] = {};
    GetMiniDumpFilename(name);
    EXPECT_TRUE(HasLine(vemo::tracing::kLevelInfo,
                        L"---> Beginn: ExceptionTranslator::GetMiniDumpFilename (199) "
                        L"BasisLibs_MitTracing/ExceptionTranslatorLib/MiniDump.cpp"))
        << DumpRecords();
    EXPECT_TRUE(HasLineStartingWith(vemo::tracing::kLevelInfo, L"<--- Ende: ExceptionTranslator::GetMiniDumpFilename ("))
        << DumpRecords();
}

// --- dump files ---------------------------------------------------------------------------------

using MiniDumpFile = MiniDumpTest;

TEST_F(MiniDumpFile, WrittenFromADispatchedExceptionReplacesTheFileAndCarriesTheException) {
    ASSERT_FALSE(DbgHelpLoaded()) << "something else keeps dbghelp.dll loaded; the unload checks would not hold";
    const std::wstring file = TempFile(L"vectored.dmp.txt");
    // Longer than any dump of this small program: a dump written over it without truncating
    // would leave its tail behind.
    const std::string old(kOldFileBytes, 'X');
    ASSERT_TRUE(vemo::test::WriteFileBytes(file, old));
    RaiseWithDump(file);

    const std::string bytes = vemo::test::ReadFileBytes(file);
    EXPECT_LT(bytes.size(), old.size());
    const DumpFacts facts = ReadDump(bytes);
    ASSERT_TRUE(facts.valid) << "no readable mini-dump in " << testing::PrintToString(file);
    EXPECT_TRUE(facts.hasException);
    EXPECT_EQ(::GetCurrentThreadId(), facts.exceptionThreadId);
    EXPECT_EQ(kTestExceptionCode, facts.exceptionCode);
    EXPECT_EQ(1u, facts.exceptionParameterCount);
    EXPECT_EQ(kTestExceptionArgument, facts.firstExceptionParameter);
    EXPECT_EQ(static_cast<ULONG64>(MiniDumpWithDataSegs), facts.flags & kDumpKindFlags);
    // Wine 8 records the dump type but leaves the modules' data sections out.
    if (!RunningUnderWine()) {
        EXPECT_TRUE(facts.CoversAddress(&g_dataSegmentMarker)) << "the program's data section is not in the dump";
    }
    EXPECT_FALSE(DbgHelpLoaded()) << "dbghelp.dll stayed loaded after the dump";
    EXPECT_TRUE(HasLine(vemo::tracing::kLevelInfo,
                        L"---> Beginn: ExceptionTranslator::CreateMiniDump (110) "
                        L"BasisLibs_MitTracing/ExceptionTranslatorLib/MiniDump.cpp"))
        << DumpRecords();
}

TEST_F(MiniDumpFile, WrittenFromACapturedContextUnderTheNameOfTheNameOperation) {
    wchar_t name[kMiniDumpPathChars] = {};
    GetMiniDumpFilename(name);
    CONTEXT context{};
    ::RtlCaptureContext(&context);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = 0;
    record.ExceptionAddress = reinterpret_cast<void*>(&RaiseWithDump);
    EXCEPTION_POINTERS pointers{&record, &context};
    CreateMiniDump(&pointers, name);

    const std::wstring fileName = std::wstring(name).substr(LogDir().size());
    EXPECT_EQ(std::set<std::wstring>{fileName}, vemo::test::FileNamesIn(LogDir()));
    const DumpFacts facts = ReadDump(vemo::test::ReadFileBytes(name));
    ASSERT_TRUE(facts.valid);
    EXPECT_TRUE(facts.hasException);
    EXPECT_EQ(0u, facts.exceptionCode);
    EXPECT_EQ(reinterpret_cast<ULONG64>(record.ExceptionAddress), facts.exceptionAddress);
    EXPECT_EQ(::GetCurrentThreadId(), facts.exceptionThreadId);
}

TEST_F(MiniDumpFile, WithoutAUsableNameOrFileNothingIsWrittenAndTheLibraryIsUnloaded) {
    ASSERT_FALSE(DbgHelpLoaded());
    CONTEXT context{};
    ::RtlCaptureContext(&context);
    EXCEPTION_RECORD record{};
    EXCEPTION_POINTERS pointers{&record, &context};

    CreateMiniDump(&pointers, nullptr);
    CreateMiniDump(&pointers, L"");
    EXPECT_TRUE(vemo::test::FileNamesIn(LogDir()).empty());
    EXPECT_FALSE(DbgHelpLoaded());

    // A directory that does not exist: the file cannot be created.
    const std::wstring unreachable = LogDir() + L"missing\\crash.dmp.txt";
    CreateMiniDump(&pointers, unreachable.c_str());
    EXPECT_FALSE(dumptest::Exists(unreachable));
    EXPECT_FALSE(DbgHelpLoaded());

    // A file another handle holds without sharing stays as it is.
    const std::wstring busy = TempFile(L"busy.dmp.txt");
    ASSERT_TRUE(vemo::test::WriteFileBytes(busy, "busy"));
    {
        vemo::unique_hfile holder(
            ::CreateFileW(busy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder);
        CreateMiniDump(&pointers, busy.c_str());
    }
    EXPECT_EQ("busy", vemo::test::ReadFileBytes(busy));
    EXPECT_FALSE(DbgHelpLoaded());
}

TEST_F(MiniDumpFile, WithoutExceptionPointersTheDumpHasNoExceptionStream) {
    const std::wstring file = TempFile(L"noexception.dmp.txt");
    CreateMiniDump(nullptr, file.c_str());
    const DumpFacts facts = ReadDump(vemo::test::ReadFileBytes(file));
    ASSERT_TRUE(facts.valid);
    EXPECT_FALSE(facts.hasException);
}

// --- versions -----------------------------------------------------------------------------------

using FileVersion = MiniDumpTest;

TEST_F(FileVersion, OfThisProgramIsTheBuildVersion) {
    EXPECT_EQ(dumptest::BuildVersion(), _GetFileVersionString(_GetThisModulePath().c_str()));
}

TEST_F(FileVersion, ThisModuleIsTheProgramThatLinkedTheLibrary) {
    wchar_t program[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetModuleFileNameW(nullptr, program, MAX_PATH));
    const std::wstring path = _GetThisModulePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(0, _wcsicmp(program, path.c_str())) << testing::PrintToString(path);
}

TEST_F(FileVersion, FilesWithoutVersionGiveZerosAndConfigDbErrors) {
    {
        dumptest::ConfigDbLines configDb;
        const std::wstring text = TempFile(L"plain.txt");
        ASSERT_TRUE(vemo::test::WriteFileBytes(text, "no resources here"));
        EXPECT_EQ(kNoVersion, _GetFileVersionString(text.c_str()));
        EXPECT_TRUE(configDb.HasErrorWithNumber(kInfoSizeFailedHead, kInfoSizeFailedTail))
            << testing::PrintToString(configDb.Dump());
        EXPECT_TRUE(configDb.HasError(kBuildNrUnknown));
    }
    {
        dumptest::ConfigDbLines configDb;
        const std::wstring module = TempFile(L"noversion.dll");
        ASSERT_TRUE(WriteModuleCopy(module, nullptr));
        EXPECT_EQ(kNoVersion, _GetFileVersionString(module.c_str()));
        EXPECT_TRUE(configDb.HasErrorWithNumber(kInfoSizeFailedHead, kInfoSizeFailedTail))
            << testing::PrintToString(configDb.Dump());
    }
    {
        dumptest::ConfigDbLines configDb;
        const std::wstring missing = TempFile(L"missing.dll");
        EXPECT_EQ(kNoVersion, _GetFileVersionString(missing.c_str()));
        EXPECT_TRUE(configDb.HasError(L"_GetFileVersionFromFile: Der Dateiname <" + missing + L"> existiert nicht!"))
            << testing::PrintToString(configDb.Dump());
        EXPECT_TRUE(configDb.HasError(kBuildNrUnknown));
    }
    EXPECT_EQ(kNoVersion, _GetFileVersionString(nullptr));
}

TEST_F(FileVersion, NumbersComeFromTheProductVersionHighAndTheFileVersionLow) {
    dumptest::ConfigDbLines configDb;
    const std::wstring module = TempFile(L"mixed.dll");
    const auto block = VersionBlock(VS_FFI_SIGNATURE, MAKELONG(2, 1), MAKELONG(4, 3), MAKELONG(6, 5), MAKELONG(8, 7));
    ASSERT_TRUE(WriteModuleCopy(module, &block));

    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
    uint32_t revision = 0;
    ASSERT_TRUE(_GetFileVersionFromFile(module.c_str(), &major, &minor, &build, &revision))
        << testing::PrintToString(configDb.Dump());
    EXPECT_EQ(5u, major);
    EXPECT_EQ(6u, minor);
    EXPECT_EQ(3u, build);
    EXPECT_EQ(4u, revision);
    EXPECT_TRUE(configDb.HasInfo(L"_GetFileVersionFromFile: FileVersionMS <0x00010002> != ProductVersionMS <0x00050006>!"))
        << testing::PrintToString(configDb.Dump());
    EXPECT_TRUE(configDb.HasInfo(L"_GetFileVersionFromFile: FileVersionLS <0x00030004> != ProductVersionLS <0x00070008>!"));

    // Out-pointers are optional.
    EXPECT_TRUE(_GetFileVersionFromFile(module.c_str(), nullptr, nullptr, nullptr, nullptr));
    uint32_t onlyBuild = 0;
    EXPECT_TRUE(_GetFileVersionFromFile(module.c_str(), nullptr, nullptr, &onlyBuild, nullptr));
    EXPECT_EQ(3u, onlyBuild);

    EXPECT_EQ(L"5.6.3.4", _GetFileVersionString(module.c_str()));
    EXPECT_TRUE(configDb.HasInfo(L"_GetFileVersionFromFile: <5><6><3><4>"));
}

TEST_F(FileVersion, AgreeingVersionsWriteNoMismatchLine) {
    dumptest::ConfigDbLines configDb;
    const std::wstring module = TempFile(L"agreeing.dll");
    const auto block = VersionBlock(VS_FFI_SIGNATURE, MAKELONG(0, 2), MAKELONG(65535, 7), MAKELONG(0, 2),
                                    MAKELONG(65535, 7));
    ASSERT_TRUE(WriteModuleCopy(module, &block));
    EXPECT_EQ(L"2.0.7.65535", _GetFileVersionString(module.c_str()));
    // Only the line with the four numbers.
    EXPECT_TRUE(configDb.HasInfo(L"_GetFileVersionFromFile: <2><0><7><65535>"));
    EXPECT_EQ(1u, configDb.Count()) << testing::PrintToString(configDb.Dump());
}

TEST_F(FileVersion, AnUnknownSignatureIsRejected) {
    dumptest::ConfigDbLines configDb;
    const std::wstring module = TempFile(L"badsignature.dll");
    const auto block = VersionBlock(0x12345678, MAKELONG(0, 1), 0, MAKELONG(0, 1), 0);
    ASSERT_TRUE(WriteModuleCopy(module, &block));
    uint32_t major = 99;
    EXPECT_FALSE(_GetFileVersionFromFile(module.c_str(), &major, nullptr, nullptr, nullptr));
    EXPECT_EQ(99u, major);
    EXPECT_TRUE(configDb.HasError(L"_GetFileVersionFromFile: Die Signatur <0x12345678> ist unbekannt!"))
        << testing::PrintToString(configDb.Dump());
    EXPECT_EQ(kNoVersion, _GetFileVersionString(module.c_str()));
}

}  // namespace
