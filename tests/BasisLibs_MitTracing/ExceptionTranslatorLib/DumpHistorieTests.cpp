// The dump history: which dumps a cleanup deletes, in which order it counts them, and what it
// leaves alone.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "BasisLibs_MitTracing/ExceptionTranslatorLib/DumpHistorie.h"
#include "BasisLibs_MitTracing/ExceptionTranslatorLib/MiniDump.h"
#include "DumpTestEnv.h"
#include "TestSupport.h"
#include "common/UniqueHandle.h"
#include "tracing/Trace.h"

using dumptest::LogDir;
using namespace ExceptionTranslator;
using vemo::tracing::kLevelDetail;
using vemo::tracing::kLevelError;
using vemo::tracing::kLevelInfo;

namespace {

constexpr wchar_t kService[] = L"VHService__VeMoHostService.exe";
constexpr wchar_t kHost[] = L"VeMoHost__VeMoHost.exe";
constexpr wchar_t kCurrentMask[] = L"*__V*_AppCrashDump_*.dmp.txt";
constexpr wchar_t kOldMask[] = L"*__AppCrashDump_*.dmp.txt";
constexpr DWORD kSharingViolation = ERROR_SHARING_VIOLATION;
constexpr size_t kStampChars = 19;

// Names as the current and the old writer made them; stamp is dd.mm.yyyy.hh.mm.ss.
std::wstring CurrentDump(const wchar_t* program, const std::wstring& stamp) {
    return std::wstring(program) + L"__V1.0.0.0_AppCrashDump_" + stamp + L".dmp.txt";
}
std::wstring OldDump(const wchar_t* program, const std::wstring& stamp) {
    return std::wstring(program) + L"__AppCrashDump_" + stamp + L".dmp.txt";
}

using vemo::unique_hfind;

// The order in which the directory search returns the files of a mask.
std::vector<std::wstring> SearchOrder(const wchar_t* mask) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data{};
    unique_hfind find(::FindFirstFileW((LogDir() + mask).c_str(), &data));
    if (!find) return names;
    do {
        names.push_back(data.cFileName);
    } while (::FindNextFileW(find.get(), &data));
    return names;
}

// The lines of a cleanup about one dump.
std::wstring KeptLine(const std::wstring& name) {
    return L"Dump <" + LogDir() + name + L"> wurde historienbedingt nicht gelöscht.";
}
std::wstring DeletedLine(const std::wstring& name) { return L"Dump <" + LogDir() + name + L"> wurde gelöscht."; }

WIN32_FIND_DATAW Entry(const std::wstring& name) {
    WIN32_FIND_DATAW data{};
    wcsncpy(data.cFileName, name.c_str(), MAX_PATH - 1);
    return data;
}

class DumpHistory : public dumptest::TracedTest {
protected:
    void SetUp() override {
        dumptest::TracedTest::SetUp();
        dumptest::EmptyLogDir();
    }
    void TearDown() override {
        dumptest::EmptyLogDir();
        dumptest::TracedTest::TearDown();
    }

    void Create(const std::vector<std::wstring>& names) {
        for (const auto& name : names) ASSERT_TRUE(vemo::test::WriteFileBytes(LogDir() + name, "dump")) << name.c_str();
        ASSERT_EQ(names.size(), vemo::test::FileNamesIn(LogDir()).size());
    }
    static std::set<std::wstring> Without(std::vector<std::wstring> names, const std::vector<std::wstring>& gone) {
        std::set<std::wstring> rest(names.begin(), names.end());
        for (const auto& name : gone) rest.erase(name);
        return rest;
    }
    static std::set<std::wstring> Remaining() { return vemo::test::FileNamesIn(LogDir()); }
};

// --- how many stay --------------------------------------------------------------------------------

TEST_F(DumpHistory, FourOrFiveDumpsAllStay) {
    const std::vector<std::wstring> five = {
        CurrentDump(kService, L"01.02.2026.10.00.00"), CurrentDump(kHost, L"31.01.2026.10.00.00"),
        CurrentDump(kService, L"15.01.2026.08.30.00"), CurrentDump(kHost, L"02.02.2026.00.00.01"),
        CurrentDump(kService, L"20.01.2026.12.00.00")};
    const std::vector<std::wstring> four(five.begin(), five.begin() + 4);
    for (const auto* names : {&four, &five}) {
        dumptest::EmptyLogDir();
        recorder.Reset();
        Create(*names);
        ClearDumpHistory(kCurrentDumpPattern);
        EXPECT_EQ(std::set<std::wstring>(names->begin(), names->end()), Remaining());
        for (const auto& name : *names) {
            EXPECT_TRUE(HasLine(kLevelInfo, KeptLine(name))) << DumpRecords();
        }
    }
}

TEST_F(DumpHistory, OfSixTheOldestByStampGoesNotTheFirstOrLastByName) {
    const std::wstring oldest = CurrentDump(kService, L"10.12.2025.23.59.59");
    const std::vector<std::wstring> names = {
        CurrentDump(kService, L"31.01.2026.10.00.00"), CurrentDump(kHost, L"01.02.2026.09.00.00"),
        CurrentDump(kService, L"15.01.2026.08.30.00"), CurrentDump(kHost, L"02.02.2026.00.00.01"),
        CurrentDump(kService, L"01.01.2026.00.00.00"), oldest};
    // The test only means something if name order and stamp order disagree.
    const std::set<std::wstring> byName(names.begin(), names.end());
    ASSERT_NE(oldest, *byName.begin());
    ASSERT_NE(oldest, *byName.rbegin());
    Create(names);

    ClearDumpHistory(kCurrentDumpPattern);
    EXPECT_EQ(Without(names, {oldest}), Remaining());
    EXPECT_TRUE(HasLine(kLevelInfo, DeletedLine(oldest))) << DumpRecords();
    for (const auto& name : names) {
        if (name != oldest) {
            EXPECT_TRUE(HasLine(kLevelInfo, KeptLine(name))) << DumpRecords();
        }
    }
}

TEST_F(DumpHistory, EveryFieldOfTheStampCountsYearFirst) {
    // The two oldest differ from the next only in the minute and in the year.
    const std::vector<std::wstring> names = {
        CurrentDump(kService, L"05.03.2026.07.05.09"), CurrentDump(kHost, L"05.03.2026.07.05.10"),
        CurrentDump(kService, L"05.03.2026.07.05.08"), CurrentDump(kHost, L"31.12.2025.23.59.59"),
        CurrentDump(kService, L"06.03.2026.00.00.00"), CurrentDump(kHost, L"05.03.2026.17.00.00"),
        CurrentDump(kService, L"05.03.2026.07.04.59")};
    Create(names);
    ClearDumpHistory(kCurrentDumpPattern);
    EXPECT_EQ(Without(names, {names[3], names[6]}), Remaining());
}

// --- equal stamps -------------------------------------------------------------------------------

TEST_F(DumpHistory, OfEqualStampsAtTheCutTheOneFoundLaterStays) {
    const std::wstring sameStamp = L"10.01.2026.12.00.00";
    const std::vector<std::wstring> names = {
        CurrentDump(kService, sameStamp), CurrentDump(kHost, sameStamp),
        CurrentDump(kService, L"11.01.2026.12.00.00"), CurrentDump(kHost, L"12.01.2026.12.00.00"),
        CurrentDump(kService, L"13.01.2026.12.00.00"), CurrentDump(kHost, L"14.01.2026.12.00.00")};
    Create(names);
    const std::vector<std::wstring> order = SearchOrder(kCurrentMask);
    const auto first = std::find(order.begin(), order.end(), names[0]);
    const auto second = std::find(order.begin(), order.end(), names[1]);
    ASSERT_TRUE(first != order.end() && second != order.end());
    const std::wstring foundEarlier = first < second ? names[0] : names[1];

    ClearDumpHistory(kCurrentDumpPattern);
    EXPECT_EQ(Without(names, {foundEarlier}), Remaining());
}

TEST_F(DumpHistory, EqualStampsBelowTheCutBothGo) {
    const std::wstring sameStamp = L"10.01.2026.12.00.00";
    const std::vector<std::wstring> names = {
        CurrentDump(kService, sameStamp), CurrentDump(kHost, sameStamp),
        CurrentDump(kService, L"11.01.2026.12.00.00"), CurrentDump(kHost, L"12.01.2026.12.00.00"),
        CurrentDump(kService, L"13.01.2026.12.00.00"), CurrentDump(kHost, L"14.01.2026.12.00.00"),
        CurrentDump(kHost, L"15.01.2026.12.00.00")};
    Create(names);
    ClearDumpHistory(kCurrentDumpPattern);
    EXPECT_EQ(Without(names, {names[0], names[1]}), Remaining());
}

// --- old names, other names, unreadable stamps ------------------------------------------------------

TEST_F(DumpHistory, OldPatternDumpsAllGoEvenWhenFew) {
    const std::vector<std::wstring> old = {OldDump(kService, L"01.02.2026.10.00.00"),
                                           OldDump(kHost, L"02.02.2026.10.00.00")};
    const std::vector<std::wstring> current = {CurrentDump(kService, L"01.02.2026.10.00.00"),
                                               CurrentDump(kHost, L"02.02.2026.10.00.00")};
    std::vector<std::wstring> all = old;
    all.insert(all.end(), current.begin(), current.end());
    Create(all);

    ClearDumpHistory(kOldDumpPattern);
    EXPECT_EQ(std::set<std::wstring>(current.begin(), current.end()), Remaining());
    for (const auto& name : old) {
        EXPECT_TRUE(HasLine(kLevelInfo, DeletedLine(name))) << DumpRecords();
    }
}

TEST_F(DumpHistory, FilesOfOtherNamesAreNeverTouched) {
    const std::vector<std::wstring> others = {
        L"notes.txt",
        L"crash.dmp.txt",
        L"VHService__VeMoHostService.exe__V1.0.0.0_AppCrashDump_01.01.2020.00.00.00.dmp",
        L"VHService_VeMoHostService.exe_V1.0.0.0_AppCrashDump_01.01.2020.00.00.00.dmp.txt",
        L"VHService__VeMoHostService.exe__V1.0.0.0_CrashDump_01.01.2020.00.00.00.dmp.txt"};
    std::vector<std::wstring> dumps;
    for (int day = 10; day < 17; ++day) dumps.push_back(CurrentDump(kService, std::to_wstring(day) + L".01.2026.12.00.00"));
    std::vector<std::wstring> all = others;
    all.insert(all.end(), dumps.begin(), dumps.end());
    Create(all);

    ClearDumpHistory(kOldDumpPattern);
    ClearDumpHistory(kCurrentDumpPattern);
    EXPECT_EQ(Without(all, {dumps[0], dumps[1]}), Remaining());
}

TEST_F(DumpHistory, AnUnreadableStampCountsAsOldest) {
    const std::wstring unreadable = CurrentDump(kHost, L"xx.12.2030.23.59.59");
    const std::vector<std::wstring> names = {
        unreadable, CurrentDump(kService, L"10.01.2026.12.00.00"), CurrentDump(kService, L"11.01.2026.12.00.00"),
        CurrentDump(kService, L"12.01.2026.12.00.00"), CurrentDump(kService, L"13.01.2026.12.00.00"),
        CurrentDump(kService, L"14.01.2026.12.00.00")};
    Create(names);
    ClearDumpHistory(kCurrentDumpPattern);
    EXPECT_EQ(Without(names, {unreadable}), Remaining());
}

TEST_F(DumpHistory, ADumpThatCannotBeDeletedIsReportedAndTheWalkGoesOn) {
    std::vector<std::wstring> names;
    for (int day = 10; day < 17; ++day) names.push_back(CurrentDump(kHost, std::to_wstring(day) + L".01.2026.12.00.00"));
    Create(names);
    const std::wstring busy = LogDir() + names[0];
    {
        vemo::unique_hfile holder(
            ::CreateFileW(busy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder);
        ClearDumpHistory(kCurrentDumpPattern);
    }
    EXPECT_EQ(Without(names, {names[1]}), Remaining());
    EXPECT_TRUE(HasLine(kLevelError, L"Fehler <" + std::to_wstring(kSharingViolation) + L"> beim Löschen der Datei <" +
                                         busy + L"> aufgetreten!"))
        << DumpRecords();
}

TEST_F(DumpHistory, AnEmptyDirectoryIsReported) {
    ClearDumpHistory(kCurrentDumpPattern);
    EXPECT_TRUE(HasLine(kLevelInfo, L"FindFirstFile() lieferte keine Dateien mit Maske <" + LogDir() + kCurrentMask +
                                        L">."))
        << DumpRecords();
}

// --- masks, keys and the list ----------------------------------------------------------------------

TEST_F(DumpHistory, MasksOfBothPatternsLieInTheLogDirectory) {
    wchar_t mask[kMiniDumpPathChars] = {};
    GetMiniDumpFilemask(kCurrentDumpPattern, mask);
    EXPECT_EQ(LogDir() + kCurrentMask, mask);
    EXPECT_TRUE(HasLine(kLevelInfo, L"Dateimaske (neue Version) wurde erzeugt: <" + LogDir() + kCurrentMask + L">"))
        << DumpRecords();
    GetMiniDumpFilemask(kOldDumpPattern, mask);
    EXPECT_EQ(LogDir() + kOldMask, mask);
    EXPECT_TRUE(HasLine(kLevelInfo, L"Dateimaske (alte Version) wurde erzeugt: <" + LogDir() + kOldMask + L">"))
        << DumpRecords();
}

TEST_F(DumpHistory, TheListKeysCurrentNamesByStampAndKeepsEqualKeysInOrder) {
    DumpFileMap list;
    const std::wstring first = CurrentDump(kService, L"04.03.2026.07.05.09");
    const std::wstring second = CurrentDump(kHost, L"04.03.2026.07.05.09");
    AddFileToMap(kCurrentDumpPattern, list, Entry(first));
    AddFileToMap(kCurrentDumpPattern, list, Entry(second));
    AddFileToMap(kCurrentDumpPattern, list, Entry(L"unrelated.dmp.txt"));
    AddFileToMap(kOldDumpPattern, list, Entry(OldDump(kHost, L"01.01.2026.00.00.00")));

    ASSERT_EQ(4u, list.size());
    const auto [from, to] = list.equal_range(L"20260304070509");
    ASSERT_EQ(2, std::distance(from, to));
    EXPECT_EQ(LogDir() + first, from->second);
    EXPECT_EQ(LogDir() + second, std::next(from)->second);
    EXPECT_EQ(2u, list.count(L""));  // no marker, or the old pattern
    EXPECT_TRUE(HasLine(kLevelDetail, L"Dateiname für neue Version wurde in Liste aufgenommen.\nDateiname <" +
                                          LogDir() + first + L">\nKey <20260304070509>"))
        << DumpRecords();
    EXPECT_TRUE(HasLine(kLevelDetail, L"Dateiname für alte Version wurde in Liste aufgenommen.\nDateiname <" +
                                          LogDir() + OldDump(kHost, L"01.01.2026.00.00.00") + L">\nKey <>"))
        << DumpRecords();
}

TEST_F(DumpHistory, ANameFromTheNameOperationIsFoundAndKeyedByItsStamp) {
    wchar_t name[kMiniDumpPathChars] = {};
    GetMiniDumpFilename(name);
    ASSERT_TRUE(vemo::test::WriteFileBytes(name, "dump"));
    const std::wstring fileName = std::wstring(name).substr(LogDir().size());
    ASSERT_EQ(std::vector<std::wstring>{fileName}, SearchOrder(kCurrentMask));
    EXPECT_TRUE(SearchOrder(kOldMask).empty());

    // dd.mm.yyyy.hh.mm.ss in the name, yyyymmddhhmmss in the key.
    const std::wstring marker = L"_AppCrashDump_";
    const size_t stampAt = fileName.find(marker) + marker.size();
    const std::wstring stamp = fileName.substr(stampAt, kStampChars);
    const std::wstring key = stamp.substr(6, 4) + stamp.substr(3, 2) + stamp.substr(0, 2) + stamp.substr(11, 2) +
                             stamp.substr(14, 2) + stamp.substr(17, 2);
    DumpFileMap list;
    AddFileToMap(kCurrentDumpPattern, list, Entry(fileName));
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ(key, list.begin()->first);
    EXPECT_EQ(std::wstring(name), list.begin()->second);
}

TEST_F(DumpHistory, ScopesNameTheirMethodsAndLines) {
    ClearDumpHistory(kCurrentDumpPattern);
    DumpFileMap list;
    AddFileToMap(kCurrentDumpPattern, list, Entry(L"x.dmp.txt"));
    // The same short source form as every other scope of the build.
    const std::wstring source = L" BasisLibs_MitTracing/ExceptionTranslatorLib/DumpHistorie.cpp";
    EXPECT_TRUE(HasLine(kLevelInfo, L"---> Beginn: ExceptionTranslator::ClearDumpHistory (30)" + source));
    EXPECT_TRUE(HasLine(kLevelInfo, L"---> Beginn: ExceptionTranslator::GetMiniDumpFilemask (95)" + source));
    EXPECT_TRUE(HasLine(kLevelInfo, L"---> Beginn: ExceptionTranslator::AddFileToMap (123)" + source)) << DumpRecords();
}

}  // namespace
