// Windows release mapping, module directories, directory creation and text conversion.
#include <gtest/gtest.h>

#include "ConfigDbTest.h"
#include "configdb/ConfigDB.h"
#include "configdb/ConfigDBInternal.h"

using namespace cdbtest;
using configdb::OsVersionFacts;

namespace {

TEST(ConfigDbOsVersion, ReleasesMapToTheirIndex) {
    constexpr BYTE W = VER_NT_WORKSTATION, S = VER_NT_SERVER, DC = VER_NT_DOMAIN_CONTROLLER;
    struct Case {
        DWORD major, minor;
        BYTE type;
        WORD servicePack;
        bool r2;
        int index;
    };
    const Case cases[] = {
        {5, 1, W, 0, false, CDB_OS_XP},           {5, 1, W, 1, false, CDB_OS_XP_SP1},
        {5, 1, W, 2, false, CDB_OS_XP_SP2},       {5, 1, W, 3, false, CDB_OS_XP_SP3},
        {5, 1, W, 4, false, CDB_OS_XP},           {5, 2, S, 0, false, CDB_OS_SERVER_2003},
        {5, 2, S, 0, true, CDB_OS_SERVER_2003_R2}, {5, 0, W, 0, false, CDB_OS_UNKNOWN},
        {5, 3, W, 0, false, CDB_OS_UNKNOWN},      {6, 0, W, 0, false, CDB_OS_VISTA},
        {6, 0, W, 1, false, CDB_OS_VISTA_SP1},    {6, 0, W, 2, false, CDB_OS_VISTA_SP2},
        {6, 0, W, 3, false, CDB_OS_VISTA},        {6, 0, S, 2, false, CDB_OS_SERVER_2008},
        {6, 1, W, 0, false, CDB_OS_WIN7},         {6, 1, W, 1, false, CDB_OS_WIN7_SP1},
        {6, 1, S, 1, false, CDB_OS_SERVER_2008_R2}, {6, 1, DC, 0, false, CDB_OS_SERVER_2008_R2},
        {6, 2, W, 0, false, CDB_OS_WIN8},         {6, 2, S, 0, false, CDB_OS_SERVER_2012},
        {6, 3, W, 0, false, CDB_OS_WIN8_1},       {6, 3, S, 0, false, CDB_OS_SERVER_2012_R2},
        {6, 4, W, 0, false, CDB_OS_UNKNOWN},      {10, 0, W, 0, false, CDB_OS_WIN10},
        {10, 0, S, 0, false, CDB_OS_SERVER_2016},  // also Server 2019 and 2022
        {10, 1, W, 0, false, CDB_OS_UNKNOWN},     {11, 0, W, 0, false, CDB_OS_AFTER_WIN10},
        {12, 3, S, 0, false, CDB_OS_AFTER_SERVER_2016}, {4, 0, W, 0, false, CDB_OS_UNKNOWN},
        {7, 0, W, 0, false, CDB_OS_UNKNOWN},      {9, 0, S, 0, false, CDB_OS_UNKNOWN},
    };
    for (const Case& c : cases) {
        OsVersionFacts facts;
        facts.platformId = VER_PLATFORM_WIN32_NT;
        facts.major = c.major;
        facts.minor = c.minor;
        facts.productType = c.type;
        facts.servicePackMajor = c.servicePack;
        facts.serverR2 = c.r2;
        EXPECT_EQ(c.index, configdb::MapOsVersion(facts)) << c.major << "." << c.minor << " SP" << c.servicePack;
        facts.platformId = VER_PLATFORM_WIN32_WINDOWS;
        EXPECT_EQ(CDB_OS_UNKNOWN, configdb::MapOsVersion(facts));
    }
    EXPECT_EQ(CDB_OS_UNKNOWN, configdb::MapOsVersion(OsVersionFacts{}));
    // Wine 8 reports Windows 7 SP1 workstation; the table covers every other release.
    if (!vemo::test::RunningUnderWine()) return;
    TraceCapture trace;
    EXPECT_EQ(CDB_OS_WIN7_SP1, CDB_GetOsVersion());
    EXPECT_TRUE(trace.HasInfo(Widen("CDB_GetOsVersion: \"" + std::to_string(CDB_OS_WIN7_SP1) + "\" (Windows 7 SP1)")))
        << Narrow(trace.Dump());
}

TEST(ConfigDbModules, DirectoryAndTitleOfModules) {
    EXPECT_EQ("C:\\Programme\\VeMo\\", configdb::ModuleDirFromFileName("\\\\?\\C:\\Programme\\VeMo\\Dienst.exe"));
    EXPECT_EQ("C:\\Programme\\VeMo\\", configdb::ModuleDirFromFileName("C:\\Programme\\VeMo\\Dienst.exe"));
    EXPECT_EQ("\\\\server\\share\\", configdb::ModuleDirFromFileName("\\\\server\\share\\Dienst.exe"));
    EXPECT_EQ("Dienst", configdb::ModuleTitleFromFileName("\\\\?\\C:\\Programme\\VeMo\\Dienst.exe", false));
    EXPECT_EQ("Dienst.exe", configdb::ModuleTitleFromFileName("C:\\Programme\\VeMo\\Dienst.exe", true));

    TraceCapture trace;
    EXPECT_EQ(ExeDirectory(), configdb::_GetModuleDir(nullptr));
    EXPECT_EQ(ExeDirectory(), configdb::_GetModuleDir(nullptr));  // from the cache
    EXPECT_EQ(ExeDirectory(), configdb::_GetModuleDir(configdb::ConfigDbModule()));
    EXPECT_EQ(ExeDirectory(), CDB_GetThisDllDir());
    EXPECT_TRUE(trace.HasInfo(Widen("CDB_GetThisDllDir: Ermittelter Pfad <" + ExeDirectory() + ">.")));
    EXPECT_EQ("configdb_tests", configdb::_GetModuleFileTitle(nullptr, false));
    EXPECT_EQ("configdb_tests.exe", configdb::_GetModuleFileTitle(nullptr, true));
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    char path[MAX_PATH] = {};
    const std::string name(path, ::GetModuleFileNameA(kernel, path, MAX_PATH));
    EXPECT_EQ(name.substr(0, name.rfind('\\') + 1), configdb::_GetModuleDir(kernel));
    EXPECT_EQ("kernel32", configdb::_GetModuleFileTitle(kernel, false));
}

TEST(ConfigDbCreateDirectory, CreatesEveryMissingLevelTopmostFirst) {
    const Scratch scratch;
    TraceCapture trace;
    const std::wstring base = Widen(scratch.path());
    EXPECT_TRUE(CDB_CreateDirectory(scratch.path() + "a\\b\\c"));
    EXPECT_TRUE(Exists(scratch.path() + "a\\b\\c"));
    std::vector<std::wstring> creating;
    for (const auto& line : trace.Lines()) {
        if (line.text.starts_with(L"_CreateDirectory: Pfad '<")) creating.push_back(line.text);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"_CreateDirectory: Pfad '<" + base + L"a>' soll angelegt werden",
                                         L"_CreateDirectory: Pfad '<" + base + L"a\\b>' soll angelegt werden",
                                         L"_CreateDirectory: Pfad '<" + base + L"a\\b\\c>' soll angelegt werden"}),
              creating);
    EXPECT_TRUE(trace.HasInfo(L"CDB_CreateDirectory: Verzeichnis <" + base + L"a\\b\\c> wurde angelegt"));
    // What exists is not made again, with or without a trailing backslash.
    trace.Clear();
    EXPECT_TRUE(CDB_CreateDirectory(scratch.path() + "a\\b\\c"));
    EXPECT_TRUE(CDB_CreateDirectory(scratch.path() + "a\\b\\c\\"));
    EXPECT_TRUE(trace.Lines().empty()) << Narrow(trace.Dump());
    EXPECT_TRUE(CDB_CreateDirectory(scratch.path() + "d\\"));
    EXPECT_TRUE(Exists(scratch.path() + "d"));
}

TEST(ConfigDbCreateDirectory, AFileInTheWayStopsItWithError80) {
    const Scratch scratch;
    ASSERT_TRUE(vemo::test::WriteFileBytes(Widen(scratch.path() + "datei"), "x"));
    TraceCapture trace;
    EXPECT_FALSE(CDB_CreateDirectory(scratch.path() + "datei\\unter"));
    EXPECT_FALSE(Exists(scratch.path() + "datei\\unter"));
    const std::wstring file = Widen(scratch.path()) + L"datei";
    EXPECT_TRUE(trace.HasError(L"_CreateDirectory: Angeforderter Pfad ist eine Datei (<" + file + L">)"));
    EXPECT_TRUE(trace.HasError(L"CDB_CreateDirectory: Fehler <80> beim Anlegen des Verzeichnisses <" + file + L"\\unter>!"))
        << Narrow(trace.Dump());
    ::SetLastError(0);
    EXPECT_FALSE(configdb::_CreateDirectory(file));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), ::GetLastError());
    EXPECT_FALSE(CDB_CreateDirectory(""));
    EXPECT_TRUE(trace.HasError(L"CDB_CreateDirectory: Kein Pfad übergeben!"));
}

TEST(ConfigDbConvert, CodePageAndUtf16BothWays) {
    EXPECT_EQ(L"Prüfung Größe", configdb::_ConvertToUnicode(std::string("Prüfung Größe")));
    EXPECT_EQ("Prüfung Größe", configdb::_ConvertToUnicode(std::wstring(L"Prüfung Größe")));
    EXPECT_EQ("", configdb::_ConvertToUnicode(std::wstring()));
    EXPECT_EQ(L"", configdb::_ConvertToUnicode(std::string()));
}

}  // namespace
