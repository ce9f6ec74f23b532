// Windows release mapping, module directories, directory creation and text conversion.
#include <gtest/gtest.h>

#include "ConfigDbTest.h"
#include "configdb/ConfigDB.h"
#include "configdb/ConfigDBInternal.h"

using namespace cdbtest;
using configdb::OsVersionFacts;

namespace {

constexpr BYTE kWorkstation = VER_NT_WORKSTATION;
constexpr BYTE kServer = VER_NT_SERVER;
constexpr BYTE kDomainController = VER_NT_DOMAIN_CONTROLLER;

OsVersionFacts Nt(DWORD major, DWORD minor, BYTE productType, WORD servicePack = 0, bool serverR2 = false) {
    OsVersionFacts facts;
    facts.platformId = VER_PLATFORM_WIN32_NT;
    facts.major = major;
    facts.minor = minor;
    facts.productType = productType;
    facts.servicePackMajor = servicePack;
    facts.serverR2 = serverR2;
    return facts;
}

}  // namespace

TEST(ConfigDbOsVersion, ReleasesMapToTheirIndex) {
    struct Case {
        OsVersionFacts facts;
        int index;
    };
    const Case cases[] = {
        {Nt(5, 1, kWorkstation), CDB_OS_XP},
        {Nt(5, 1, kWorkstation, 1), CDB_OS_XP_SP1},
        {Nt(5, 1, kWorkstation, 2), CDB_OS_XP_SP2},
        {Nt(5, 1, kWorkstation, 3), CDB_OS_XP_SP3},
        {Nt(5, 1, kWorkstation, 4), CDB_OS_XP},
        {Nt(5, 2, kServer), CDB_OS_SERVER_2003},
        {Nt(5, 2, kServer, 0, true), CDB_OS_SERVER_2003_R2},
        {Nt(5, 0, kWorkstation), CDB_OS_UNKNOWN},
        {Nt(5, 3, kWorkstation), CDB_OS_UNKNOWN},
        {Nt(6, 0, kWorkstation), CDB_OS_VISTA},
        {Nt(6, 0, kWorkstation, 1), CDB_OS_VISTA_SP1},
        {Nt(6, 0, kWorkstation, 2), CDB_OS_VISTA_SP2},
        {Nt(6, 0, kWorkstation, 3), CDB_OS_VISTA},
        {Nt(6, 0, kServer, 2), CDB_OS_SERVER_2008},
        {Nt(6, 1, kWorkstation), CDB_OS_WIN7},
        {Nt(6, 1, kWorkstation, 1), CDB_OS_WIN7_SP1},
        {Nt(6, 1, kServer, 1), CDB_OS_SERVER_2008_R2},
        {Nt(6, 1, kDomainController), CDB_OS_SERVER_2008_R2},
        {Nt(6, 2, kWorkstation), CDB_OS_WIN8},
        {Nt(6, 2, kServer), CDB_OS_SERVER_2012},
        {Nt(6, 3, kWorkstation), CDB_OS_WIN8_1},
        {Nt(6, 3, kServer), CDB_OS_SERVER_2012_R2},
        {Nt(6, 4, kWorkstation), CDB_OS_UNKNOWN},
        {Nt(10, 0, kWorkstation), CDB_OS_WIN10},
        {Nt(10, 0, kServer), CDB_OS_SERVER_2016},  // also Server 2019 and 2022
        {Nt(10, 1, kWorkstation), CDB_OS_UNKNOWN},
        {Nt(11, 0, kWorkstation), CDB_OS_AFTER_WIN10},
        {Nt(12, 3, kServer), CDB_OS_AFTER_SERVER_2016},
        {Nt(4, 0, kWorkstation), CDB_OS_UNKNOWN},
        {Nt(7, 0, kWorkstation), CDB_OS_UNKNOWN},
        {Nt(9, 0, kServer), CDB_OS_UNKNOWN},
        {OsVersionFacts{}, CDB_OS_UNKNOWN},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.index, configdb::MapOsVersion(c.facts))
            << c.facts.major << "." << c.facts.minor << " SP" << c.facts.servicePackMajor << " type "
            << int(c.facts.productType);
    }
    OsVersionFacts notNt = Nt(10, 0, kWorkstation);
    notNt.platformId = VER_PLATFORM_WIN32_WINDOWS;
    EXPECT_EQ(CDB_OS_UNKNOWN, configdb::MapOsVersion(notNt));
}

// Wine 8 reports Windows 7 SP1 workstation; the table above covers every other release.
TEST(ConfigDbOsVersion, TheRunningReleaseUnderWineIsSevenSp1) {
    if (!vemo::test::RunningUnderWine()) GTEST_SKIP() << "the release of this machine is not known here";
    TraceCapture trace;
    EXPECT_EQ(CDB_OS_WIN7_SP1, CDB_GetOsVersion());
    EXPECT_EQ(CDB_OS_WIN7_SP1, CDB_GetOsVersion());
    EXPECT_TRUE(trace.HasInfo(Widen("CDB_GetOsVersion: \"" + std::to_string(CDB_OS_WIN7_SP1) + "\" (Windows 7 SP1)")))
        << Narrow(trace.Dump());
}

// --- modules ------------------------------------------------------------------------------------

TEST(ConfigDbModules, DirectoryAndTitleFromAModuleFileName) {
    EXPECT_EQ("C:\\Programme\\VeMo\\", configdb::ModuleDirFromFileName("\\\\?\\C:\\Programme\\VeMo\\Dienst.exe"));
    EXPECT_EQ("C:\\Programme\\VeMo\\", configdb::ModuleDirFromFileName("C:\\Programme\\VeMo\\Dienst.exe"));
    EXPECT_EQ("\\\\server\\share\\", configdb::ModuleDirFromFileName("\\\\server\\share\\Dienst.exe"));
    EXPECT_EQ("Dienst", configdb::ModuleTitleFromFileName("\\\\?\\C:\\Programme\\VeMo\\Dienst.exe", false));
    EXPECT_EQ("Dienst.exe", configdb::ModuleTitleFromFileName("C:\\Programme\\VeMo\\Dienst.exe", true));
}

TEST(ConfigDbModules, ThisModuleAndTheExecutable) {
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
    ::GetModuleFileNameA(kernel, path, MAX_PATH);
    EXPECT_EQ(configdb::ModuleDirFromFileName(path), configdb::_GetModuleDir(kernel));
    EXPECT_EQ("kernel32", configdb::_GetModuleFileTitle(kernel, false));
}

// --- directory creation -------------------------------------------------------------------------

TEST(ConfigDbCreateDirectory, CreatesEveryMissingLevelTopmostFirst) {
    Scratch scratch;
    TraceCapture trace;
    const std::string deepest = scratch.path() + "a\\b\\c";
    EXPECT_TRUE(CDB_CreateDirectory(deepest));
    EXPECT_TRUE(Exists(deepest));

    std::vector<std::wstring> creating;
    for (const auto& line : trace.Lines()) {
        if (line.text.starts_with(L"_CreateDirectory: Pfad '<")) creating.push_back(line.text);
    }
    const std::wstring base = Widen(scratch.path());
    ASSERT_EQ(3u, creating.size()) << Narrow(trace.Dump());
    EXPECT_EQ(L"_CreateDirectory: Pfad '<" + base + L"a>' soll angelegt werden", creating[0]);
    EXPECT_EQ(L"_CreateDirectory: Pfad '<" + base + L"a\\b>' soll angelegt werden", creating[1]);
    EXPECT_EQ(L"_CreateDirectory: Pfad '<" + base + L"a\\b\\c>' soll angelegt werden", creating[2]);
    EXPECT_TRUE(trace.HasInfo(L"CDB_CreateDirectory: Verzeichnis <" + base + L"a\\b\\c> wurde angelegt"));

    trace.Clear();
    EXPECT_TRUE(CDB_CreateDirectory(deepest));
    EXPECT_TRUE(CDB_CreateDirectory(deepest + "\\"));
    EXPECT_TRUE(trace.Lines().empty()) << Narrow(trace.Dump());

    // With or without a trailing backslash, the same directory.
    EXPECT_TRUE(CDB_CreateDirectory(scratch.path() + "d\\"));
    EXPECT_TRUE(CDB_CreateDirectory(scratch.path() + "e"));
    EXPECT_TRUE(Exists(scratch.path() + "d"));
    EXPECT_TRUE(Exists(scratch.path() + "e"));
}

TEST(ConfigDbCreateDirectory, AFileInTheWayStopsItWithError80) {
    Scratch scratch;
    WriteFileText(scratch.path() + "datei", "x");
    TraceCapture trace;
    EXPECT_FALSE(CDB_CreateDirectory(scratch.path() + "datei\\unter"));
    EXPECT_FALSE(Exists(scratch.path() + "datei\\unter"));
    const std::wstring file = Widen(scratch.path()) + L"datei";
    EXPECT_TRUE(trace.HasError(L"_CreateDirectory: Angeforderter Pfad ist eine Datei (<" + file + L">)"));
    EXPECT_TRUE(trace.HasError(L"CDB_CreateDirectory: Fehler <80> beim Anlegen des Verzeichnisses <" + file +
                               L"\\unter>!"))
        << Narrow(trace.Dump());

    SetLastError(0);
    EXPECT_FALSE(configdb::_CreateDirectory(file));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), ::GetLastError());

    trace.Clear();
    EXPECT_FALSE(CDB_CreateDirectory(""));
    EXPECT_TRUE(trace.HasError(L"CDB_CreateDirectory: Kein Pfad übergeben!"));
}

// --- text conversion ----------------------------------------------------------------------------

TEST(ConfigDbConvert, CodePageAndUtf16BothWays) {
    EXPECT_EQ(L"Prüfung Größe", configdb::_ConvertToUnicode(std::string("Prüfung Größe")));
    EXPECT_EQ("Prüfung Größe", configdb::_ConvertToUnicode(std::wstring(L"Prüfung Größe")));
    EXPECT_EQ("", configdb::_ConvertToUnicode(std::wstring()));
    EXPECT_EQ(L"", configdb::_ConvertToUnicode(std::string()));

    TraceCapture trace;
    EXPECT_EQ("", configdb::_ConvertToUnicode(std::wstring(L"Zeichen \u4E2D")));
    EXPECT_TRUE(trace.HasContaining(L"_ConvertToUnicode: Fehler beim Konvertieren des Strings <Zeichen "))
        << Narrow(trace.Dump());
}
