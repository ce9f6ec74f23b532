// Directory and version queries, their registry sources and their fallbacks, against the private
// hive and the real file system: one row per case. Every folder a case makes goes again; folders other
// programs may share are only removed when they were made here and are left empty. Then the
// special folders, the Windows release, module folders and directory creation.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <memory>
#include <tuple>

#include "ConfigDbTest.h"
#include "configdb/ConfigDB.h"
#include "configdb/ConfigDBInternal.h"

using namespace cdbtest;
using namespace configdb;

namespace {

struct Lookup {
    const char* name;
    std::vector<std::string> values;  // see SetValues
    std::string (*query)(const std::string& id);
    const char* expected;
    struct {  // what else a case needs or checks
        std::vector<const char*> lines = {};   // traced by the query: "I text" or "E text"
        std::vector<const char*> made = {};    // folders made beforehand
        std::vector<const char*> exists = {};  // folders there afterwards
        std::vector<const char*> absent = {};  // folders the query must not make
        const char* id = nullptr;              // default: a component of its own
        bool company = false;                  // the company environment of the component
        bool blockUserLog = false;             // a file where the user's log folder would go
    } more = {};
};

#define Q(expr) [](const std::string& id) -> std::string { return expr; }
std::string B(bool value) { return value ? "1" : "0"; }
// CDB_GetVersion's kinds 0 to 7 and -1, each followed by a bar.
std::string Versions(const std::string& id) {
    std::string all;
    for (const int kind : {0, 1, 2, 3, 4, 5, 6, 7, -1}) all += CDB_GetVersion(id, kind) + "|";
    return all;
}
// The newest version subkey of a new component that has these.
std::string Newest(const std::vector<std::string>& versions) {
    const std::string id = UniqueComponentId();
    for (const std::string& version : versions) SetValues({"{c}\\Versions\\" + version + "|x|"}, id, "");
    return _GetHighestVersionKey(Expand("{c}\\Versions", id, ""));
}

const char kData[] = "{c}\\AvailableDataDirectories\\Bilder\\Dir1|";

const Lookup kLookups[] = {
    {"OwnComponentHasNoRegisteredFolders",
     {"{v}\\ConfigDir||{s}", "{v}\\LogDir||{s}", "{c}\\AvailableDataDirectories\\Data\\Dir1||{s}"},
     Q(B(_UsesComponentRegistry(id)) + B(_UsesComponentRegistry("B0003811")) + _GetKonfigDirFromRegistry(id) +
       _GetLogDirFromRegistry(id) + _GetDataDirFromRegistry(id, "Data")),
     "01", {.id = kOwnId}},
    // Program folder: FixedProgDir joined with ProgDir, the product's from ProgKey.
    {"ProgDirJoinsFixedProgDirAndProgDir",
     {"{v}\\ProtectedDirectories|FixedProgDir|{s}Basis", "{v}\\ProtectedDirectories|ProgDir|Sub"},
     Q(CDB_GetProgDir(id, false)), "{s}Basis\\Sub\\", {.made = {"{s}Basis\\Sub"}}},
    {"OwnProgDirFromProgKey", {"{prod}|ProgKey|{s}Programm"},
     Q(CDB_GetProgDir(id, false) + "|" + CDB_GetProgDir(id, true)), "{s}Programm\\|{s}Programm\\",
     {.made = {"{s}Programm"}, .id = kOwnId}},
    {"UnknownProgDirIsTheModuleDir", {}, Q(CDB_GetProgDir(id, false) + "|" + CDB_GetProgDir(id, true)), "{exe}|{exe}",
     {.lines = {"I CDB_GetProgDir: Via Registry kein Programmpfad ermittelbar."}}},
    {"MissingRegisteredProgDirIsTheModuleDir", {"{v}\\ProtectedDirectories|FixedProgDir|{s}Weg"},
     Q(CDB_GetProgDir(id, false)), "{exe}",
     {.lines = {"I CDB_GetProgDir: Programmpfad via Registry existiert nicht: \"{s}Weg\""}}},
    {"OwnDefaultProgDirNeedNotExist", {}, Q(CDB_GetProgDir(id, true) + "|" + CDB_GetProgDir(id, false)),
     "{pf}TRUVO\\PROGRAMM\\VeMoCompacT\\|{exe}", {.lines = {"I CDB_GetProgDir: Default Programmpfad eingestellt."},
     .id = kOwnId}},
    // System folder: ProtectedDirectories for source 1, ProgKey for the others, else the module's.
    {"SystemDirWithoutRegistry", {}, Q(CDB_GetSystemDir(1) + "|" + CDB_GetSystemDir(0)), "{exe}|{exe}"},
    {"SystemDirFromTheRegistry", {"{sys}|SystemDir|{s}System", "{prod}|ProgKey|{s}Programm"},
     Q(CDB_GetSystemDir(1) + "|" + CDB_GetSystemDir(0) + "|" + CDB_GetSystemDir(2)),
     "{s}System\\|{s}Programm\\|{s}Programm\\", {.made = {"{s}System", "{s}Programm"}}},
    // Machine-wide configuration: the registry, program files (x86), where older installations
    // keep their files, then common application data, each only where it exists; else the program.
    // A registered folder gets one backslash added, never a second one.
    {"KonfigFromTheNewestVersion", {"{c}\\Versions\\1.0\\ConfigDir||{s}Alt", "{c}\\Versions\\2.0\\ConfigDir||{s}Konfig"},
     Q(CDB_GetKonfigDir(id)), "{s}Konfig\\", {.made = {"{s}Alt", "{s}Konfig"}}},
    {"KonfigGuessInProgramData", {}, Q(CDB_GetKonfigDir(id)), "{pd}Truvo\\Konfig\\{id}\\",
     {.lines = {"I _GuessLocalKonfigDir: Keine Truvo-Umgebung, nehmen ProgrammData-Verzeichnis."},
     .made = {"{pd}Truvo\\Konfig\\{id}"}}},
    {"KonfigGuessTakesProgramFilesFirst", {}, Q(CDB_GetKonfigDir(id)), "{pf}Truvo\\Konfig\\{id}\\",
     {.made = {"{pd}Truvo\\Konfig\\{id}", "{pf}Truvo\\Konfig\\{id}"}}},
    {"KonfigGuessFindsNothingAndMakesNothing", {}, Q(CDB_GetKonfigDir(id) + "|" + _GuessLocalKonfigDir(id)),
     "{exe}|{exe}",
     {.lines = {"E _GuessLocalKonfigDir: Verzeichnis <{pd}Truvo\\Konfig\\{id}\\> ist nicht vorhanden!",
               "I _GuessLocalKonfigDir: Immer noch kein Konfig-Verzeichnis, nehmen jetzt das Programmverzeichnis."},
     .absent = {"{pd}Truvo\\Konfig\\{id}"}}},
    {"CompanyKonfigIsTheProgramDir", {}, Q(B(_IsTruvoEnvironment(id)) + CDB_GetKonfigDir(id)), "1{s}Prog\\{id}\\",
     {.made = {"{pd}Truvo\\Konfig\\{id}"}, .company = true}},
    // The company environment needs the ID in the program folder; the module folder stands in
    // for SystemDir.
    {"CompanyNeedsTheIdInTheProgramDir", {"{v}\\ProtectedDirectories|FixedProgDir|{s}Anders"},
     Q(B(_IsTruvoEnvironment(id)) + B(_IsTruvoEnvironment(""))), "01", {.made = {"{s}Anders"}}},
    // The user's configuration.
    {"UserKonfigMadeBelowRoaming", {}, Q(CDB_GetKonfigDirCurrentUser(id, true)), "{roam}Truvo\\Konfig\\{id}\\",
     {.lines = {"I _GuessLocalUserKonfigDir: Versuchen Konfigpfad \"{roam}Truvo\\Konfig\\{id}\\\" anzulegen."},
     .exists = {"{roam}Truvo\\Konfig\\{id}"}}},
    {"UserKonfigWithoutCreateEndsInLowTemp", {}, Q(CDB_GetKonfigDirCurrentUser(id, false)), "{tl}Truvo\\Konfig\\{id}\\",
     {.lines = {"E CDB_GetKonfigDirCurrentUser: konnten keinen KonfigPfad des Benutzers für <{id}> ermitteln!"},
     .absent = {"{roam}Truvo\\Konfig\\{id}", "{tl}Truvo\\Konfig\\{id}"}}},
    // Log: the registry, LocalLow, the registered folder made (on the program's drive when its
    // own is missing), the low temporary folder.
    {"LogMadeBelowLocalLow", {}, Q(CDB_GetLogDir(id, true)), "{low}Truvo\\Log\\{id}\\",
     {.exists = {"{low}Truvo\\Log\\{id}"}}},
    {"LogWithoutCreateStopsAfterTheRegistry", {}, Q(CDB_GetLogDir(id, false)), "",
     {.lines = {"I _GuessLocalLogDir: Logpfad <> über Registry ermittelt.",
               "E CDB_GetLogDir: Konnten keinen LogPfad für <{id}> ermitteln!"},
     .absent = {"{low}Truvo\\Log\\{id}"}}},
    {"RegisteredLogWithoutCreate", {"{v}\\LogDir||{s}Log\\"}, Q(CDB_GetLogDir(id, false)), "{s}Log\\", {.made = {"{s}Log"}}},
    {"MissingRegisteredLogWithoutCreate", {"{v}\\LogDir||{s}Fehlt"}, Q(CDB_GetLogDir(id, false)), "{s}Fehlt\\",
     {.absent = {"{s}Fehlt"}}},
    {"RegisteredLogMadeWhenTheUserFolderIsBlocked", {"{v}\\LogDir||{s}Neu\\Tiefer"}, Q(CDB_GetLogDir(id, true)),
     "{s}Neu\\Tiefer\\", {.lines = {"E _CreateDirectory: Angeforderter Pfad ist eine Datei (<{low}Truvo\\Log\\{id}>)"},
     .exists = {"{s}Neu\\Tiefer"}, .blockUserLog = true}},
    {"LogOnAMissingDriveMovesToTheProgramDrive", {"{v}\\LogDir||{qexe}cdbfix_{id}\\log"}, Q(CDB_GetLogDir(id, true)),
     "{lexe}cdbfix_{id}\\log\\", {.exists = {"{exe}cdbfix_{id}\\log"}, .blockUserLog = true}},
    {"LogEndsInLowTemp", {}, Q(CDB_GetLogDir(id, true)), "{tl}Truvo\\Log\\{id}\\",
     {.lines = {"I _GuessLocalLogDir: Immer noch kein Log-Verzeichnis, versuchen es mit TempDir + TruvoPfad"},
     .exists = {"{tl}Truvo\\Log\\{id}"}, .blockUserLog = true}},
    // Data: the registry (made on request, on the program's drive when its own is missing), common
    // application data, in a company environment the low temporary folder.
    {"DataFromTheRegistry", {std::string(kData) + "|{s}Bilder", "{c}\\AvailableDataDirectories\\Andere\\Dir1||{s}Andere"},
     Q(CDB_GetDataDir(id, false, "Bilder")), "{s}Bilder\\", {.made = {"{s}Bilder", "{s}Andere"}}},
    {"RegisteredDataMade", {std::string(kData) + "|{s}Neu\\Bilder"}, Q(CDB_GetDataDir(id, true, "Bilder")),
     "{s}Neu\\Bilder\\", {.exists = {"{s}Neu\\Bilder"}}},
    {"DataOnAMissingDriveMovesToTheProgramDrive", {std::string(kData) + "|{qexe}cdbfix_{id}\\daten"},
     Q(CDB_GetDataDir(id, true, "Bilder")), "{lexe}cdbfix_{id}\\daten\\", {.exists = {"{exe}cdbfix_{id}\\daten"}}},
    {"DataGuessWithoutCreate", {}, Q(CDB_GetDataDir(id, false, "Bilder")), "{pd}Truvo\\Daten\\{id}\\",
     {.lines = {"E CDB_GetDataDir: Konnten keinen Datenpfad für <{id}> ermitteln!"},
     .absent = {"{pd}Truvo\\Daten\\{id}"}}},
    {"DataGuessMadeInProgramData", {}, Q(CDB_GetDataDir(id, true, "Bilder")), "{pd}Truvo\\Daten\\{id}\\Bilder\\",
     {.lines = {"I _GuessLocalDataDir: Keine Truvo-Umgebung, nehmen ProgrammData-Verzeichnis."},
     .exists = {"{pd}Truvo\\Daten\\{id}\\Bilder"}}},
    {"CompanyDataInLowTemp", {}, Q(CDB_GetDataDir(id, true, "Bilder")), "{tl}Truvo\\Daten\\{id}\\Bilder\\",
     {.exists = {"{tl}Truvo\\Daten\\{id}\\Bilder"}, .absent = {"{pd}Truvo\\Daten\\{id}"}, .company = true}},
    // The temporary folder and its low-integrity form, which an empty folder keeps empty.
    {"TempDirAndItsLowForm", {},
     Q(CBD_GetTempDir() + "|" + _GetTempDirLow() + "|" + LowIntegrityTempPath("C:\\U\\Temp\\Low\\") + "|" +
       LowIntegrityTempPath("C:\\Temp\\low\\") + "|" + LowIntegrityTempPath("")),
     "{t}|{tl}|C:\\U\\Temp\\Low\\|C:\\Temp\\low\\Low\\|", {.lines = {"I CBD_GetTempDir: Temporärer Pfad = \"{t}\""}}},
    {"SpecialFolderOfAnUnknownType", {}, Q(CDB_GetSpecialFolderPath(7) + SpecialFolderPathFor(6, CDB_OS_XP_SP3)), "",
     {.lines = {"E CDB_GetSpecialFolderPath: Falscher ConfigDBDirType <7> wurde übergeben!",
                "E CDB_GetSpecialFolderPath: Falscher ConfigDBDirType <6> wurde übergeben!"}}},
    // Version names compare as decimal numbers; names that are no number count for nothing;
    // without any the lookup goes to "1.0".
    {"NewestVersionIsTheLargestDecimalNumber", {},
     Q(Newest({"1.0", "2.0"}) + Newest({"1.10", "1.9"}) + Newest({"9", "10", "2.0"}) + Newest({"0.9"}) +
       Newest({"neu", "1.5"}) + Newest({}) + Newest({"3.0", "abc", "2.9"})),
     "\\2.0\\1.9\\10\\1.0\\1.5\\1.0\\3.0"},
    // Versions from the component's and the package's newest version keys; the product's from its
    // key, without a package. A build number that cannot be read counts as 0, so kind 4 cannot
    // tell installed.
    {"VersionsOfComponentAndPackage",
     {"{v}|CompVersion|1.0", "{c}\\Versions\\3.0|CompVersion|5.2", "{c}\\Versions\\3.0|BuildNumber|#1234",
      "{c}\\Versions\\3.0|FileVersion|5.2.0.1234", "{p}\\Versions\\2.0|CompVersion|7.1", "{p}\\Versions\\2.0|BuildNumber|#77"},
     Q(Versions(id)), "5.2.1234|7.1.77|5.2|7.1|1234|77|5.2.0.1234|||",
     {.lines = {"I CDB_GetVersion: Version <5.2.1234> über Registry ermittelt."}}},
    {"VersionWithoutBuildNumber", {"{v}|CompVersion|5.2"}, Q(Versions(id)), "5.2.0||5.2||0|0||||",
     {.lines = {"I CDB_GetVersion: Version <5.2.0> über Registry ermittelt."}}},
    {"VersionOfAnAbsentComponent", {}, Q(Versions(id)), "||||0|0||||",
     {.lines = {"I CDB_GetVersion: Via Registry keine Version ermittelbar."}}},
    {"OwnVersionFromTheProductKey",
     {"{prod}|CompVersion|3.1", "{prod}|BuildNumber|#5", "{prod}|FileVersion|3.1.0.5", "{p}\\Versions\\1.0|CompVersion|9.9",
      "{v}|CompVersion|8.8"},
     Q(Versions(id)), "3.1.5||3.1||5||3.1.0.5|||",
     {.lines = {"I CDB_GetVersion: Version <3.1.5> über Registry ermittelt."}, .id = kOwnId}},
    // Installed: a version, even without a build number (the rule over every registry shape:
    // BadInputTests).
    {"InstalledMeansTheComponentHasAVersion", {"{v}|CompVersion|5.2", "{prod}|CompVersion|1.0"},
     Q(B(CDB_IsComponentInstalled(Widen(id).c_str())) + B(CDB_IsComponentInstalled(UniqueComponentId().c_str())) +
       B(CDB_IsComponentInstalled(static_cast<const char*>(nullptr))) +
       B(CDB_IsComponentInstalled(static_cast<const wchar_t*>(nullptr))) + B(CDB_IsComponentInstalled(kOwnId))),
     "10001", {.lines = {"I CDB_IsComponentInstalled: Komponente <{id}> <TRUE>"}}},
};

// Where a case may make a folder outside its scratch folder, and how many parents may go with it.
const std::pair<const char*, int> kSharedFolders[] = {
    {"{pd}Truvo\\Konfig\\{id}", 2}, {"{pf}Truvo\\Konfig\\{id}", 2}, {"{roam}Truvo\\Konfig\\{id}", 2},
    {"{low}Truvo\\Log\\{id}", 2},   {"{pd}Truvo\\Daten\\{id}", 2},  {"{tl}Truvo\\Log\\{id}", 3},
    {"{tl}Truvo\\Daten\\{id}", 3},  {"{tl}Truvo\\Konfig\\{id}", 3}, {"{exe}cdbfix_{id}", 0}};

class ConfigDbLookup : public ConfigDbTest, public ::testing::WithParamInterface<Lookup> {};

TEST_P(ConfigDbLookup, GivesTheExpectedAnswer) {
    const Lookup& row = GetParam();
    const auto& c = row.more;
    const Scratch scratch;
    const std::string id = c.id ? c.id : UniqueComponentId();
    auto x = [&](const std::string& text) { return Expand(text, id, scratch.path()); };
    std::vector<std::unique_ptr<vemo::test::CreatedTree>> guards;
    for (const auto& [folder, parents] : kSharedFolders) {
        guards.push_back(std::make_unique<vemo::test::CreatedTree>(Widen(x(folder)), parents));
    }
    SetValues(row.values, id, scratch.path());
    if (c.company) {
        SetValues({"{sys}|SystemDir|{s}System", "{v}\\ProtectedDirectories|FixedProgDir|{s}Prog",
                   "{v}\\ProtectedDirectories|ProgDir|{id}"}, id, scratch.path());
        scratch.Sub("System");
        scratch.Sub("Prog\\" + id);
    }
    for (const char* folder : c.made) ASSERT_EQ(0, ::SHCreateDirectoryExA(nullptr, x(folder).c_str(), nullptr)) << folder;
    if (c.blockUserLog) {
        ::SHCreateDirectoryExA(nullptr, x("{low}Truvo\\Log").c_str(), nullptr);
        ASSERT_TRUE(vemo::test::WriteFileBytes(Widen(x("{low}Truvo\\Log\\{id}")), "blockiert"));
    }
    trace.Clear();
    EXPECT_EQ(x(row.expected), row.query(id));
    for (const char* line : c.lines) EXPECT_TRUE(Traced(x(line))) << x(line) << "\n" << Narrow(trace.Dump());
    for (const char* folder : c.exists) EXPECT_TRUE(Exists(x(folder))) << x(folder);
    for (const char* folder : c.absent) EXPECT_FALSE(Exists(x(folder))) << x(folder);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConfigDbLookup, ::testing::ValuesIn(kLookups),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigDbFallbacks, CompanySubPathByKindAndComponent) {
    // IDs compare exactly: another case is another component.
    const char* const cases[][3] = {
        {"B0003811", "Log", "Truvo\\Log\\VeMo\\"},  {"B0003815", "Log", "Truvo\\Log\\VeMo\\"},
        {"B0003814", "Log", "Truvo\\Log\\VeMo\\"},  {kOwnId, "Log", "Truvo\\Log\\VeMo\\"},
        {"B0003816", "Log", "Truvo\\Log\\B0003816\\"}, {"b0003811", "Log", "Truvo\\Log\\b0003811\\"},
        {kOwnId, "Konfig", "Truvo\\Konfig\\VeMoCompact\\"}, {"B0003811", "Konfig", "Truvo\\Konfig\\B0003811\\"},
        {kOwnId, "Daten", "Truvo\\Daten\\B0003810\\"}, {"B0003811", "Daten", "Truvo\\Daten\\B0003811\\"}};
    for (const auto& c : cases) EXPECT_EQ(c[2], _BuildTruvoSubPath(c[0], c[1])) << c[0] << " " << c[1];
}

// The folders by their place in the profile and the environment, not by the shell's own answer.
// Systems before Vista answer through the older interface, which knows no LocalLow: there the
// low folder is the local one. Both program-files kinds mean the 32-bit folder.
TEST(ConfigDbFallbacks, SpecialFoldersLieWhereTheProfileAndTheEnvironmentSay) {
    auto env = [](const char* name) {
        char value[MAX_PATH] = {};
        const DWORD n = ::GetEnvironmentVariableA(name, value, MAX_PATH);
        return n > 0 && n < MAX_PATH ? std::string(value) + "\\" : std::string();
    };
    const std::string local = env("LOCALAPPDATA");
    ASSERT_TRUE(local.ends_with("\\Local\\")) << local;
    const std::pair<ConfigDBDirType, std::string> folders[] = {
        {CDB_DIR_LOCAL_APPDATA, local}, {CDB_DIR_ROAMING_APPDATA, env("APPDATA")}, {CDB_DIR_PROGRAMDATA, env("ProgramData")},
        {CDB_DIR_PROGRAM_FILES_X86, env("ProgramFiles(x86)")}, {CDB_DIR_PROGRAM_FILES, env("ProgramFiles(x86)")}};
    for (const auto& [type, expected] : folders) EXPECT_EQ(expected, CDB_GetSpecialFolderPath(type)) << type;
    const std::string low = local.substr(0, local.size() - 6) + "LocalLow\\";
    EXPECT_EQ(low, CDB_GetSpecialFolderPath(CDB_DIR_LOCAL_APPDATA_LOW));
    for (const int os : {CDB_OS_XP_SP3, CDB_OS_SERVER_2003_R2, CDB_OS_VISTA, CDB_OS_UNKNOWN}) {
        for (const auto& [type, expected] : folders) EXPECT_EQ(expected, SpecialFolderPathFor(type, os)) << os;
        const bool old = os == CDB_OS_XP_SP3 || os == CDB_OS_SERVER_2003_R2;
        EXPECT_EQ(old ? local : low, SpecialFolderPathFor(CDB_DIR_LOCAL_APPDATA_LOW, os)) << os;
    }
}

TEST(ConfigDbOsVersion, ReleasesMapToTheirIndex) {
    constexpr BYTE W = VER_NT_WORKSTATION, S = VER_NT_SERVER, DC = VER_NT_DOMAIN_CONTROLLER;
    // major, minor, service pack, product type, R2, index
    const std::tuple<DWORD, DWORD, WORD, BYTE, bool, int> cases[] = {
        {5, 1, 0, W, false, CDB_OS_XP},          {5, 1, 1, W, false, CDB_OS_XP_SP1},       {5, 1, 2, W, false, CDB_OS_XP_SP2},
        {5, 1, 3, W, false, CDB_OS_XP_SP3},      {5, 1, 4, W, false, CDB_OS_XP},           {5, 2, 0, S, false, CDB_OS_SERVER_2003},
        {5, 2, 0, S, true, CDB_OS_SERVER_2003_R2}, {5, 0, 0, W, false, CDB_OS_UNKNOWN},    {5, 3, 0, W, false, CDB_OS_UNKNOWN},
        {6, 0, 0, W, false, CDB_OS_VISTA},       {6, 0, 1, W, false, CDB_OS_VISTA_SP1},    {6, 0, 2, W, false, CDB_OS_VISTA_SP2},
        {6, 0, 3, W, false, CDB_OS_VISTA},       {6, 0, 2, S, false, CDB_OS_SERVER_2008},  {6, 1, 0, W, false, CDB_OS_WIN7},
        {6, 1, 1, W, false, CDB_OS_WIN7_SP1},    {6, 1, 1, S, false, CDB_OS_SERVER_2008_R2}, {6, 1, 0, DC, false, CDB_OS_SERVER_2008_R2},
        {6, 2, 0, W, false, CDB_OS_WIN8},        {6, 2, 0, S, false, CDB_OS_SERVER_2012},  {6, 3, 0, W, false, CDB_OS_WIN8_1},
        {6, 3, 0, S, false, CDB_OS_SERVER_2012_R2}, {6, 4, 0, W, false, CDB_OS_UNKNOWN},   {10, 0, 0, W, false, CDB_OS_WIN10},
        {10, 0, 0, S, false, CDB_OS_SERVER_2016},  // also Server 2019 and 2022
        {10, 1, 0, W, false, CDB_OS_UNKNOWN},    {11, 0, 0, W, false, CDB_OS_AFTER_WIN10}, {12, 3, 0, S, false, CDB_OS_AFTER_SERVER_2016},
        {4, 0, 0, W, false, CDB_OS_UNKNOWN},     {7, 0, 0, W, false, CDB_OS_UNKNOWN},      {9, 0, 0, S, false, CDB_OS_UNKNOWN},
    };
    for (const auto& [major, minor, servicePack, type, r2, index] : cases) {
        OsVersionFacts facts{VER_PLATFORM_WIN32_NT, major, minor, servicePack, type, r2};
        EXPECT_EQ(index, MapOsVersion(facts)) << major << "." << minor << " SP" << servicePack;
        facts.platformId = VER_PLATFORM_WIN32_WINDOWS;
        EXPECT_EQ(CDB_OS_UNKNOWN, MapOsVersion(facts));
    }
    EXPECT_EQ(CDB_OS_UNKNOWN, MapOsVersion(OsVersionFacts{}));
    // Wine 8 reports Windows 7 SP1 workstation; the table covers every other release.
    if (!vemo::test::RunningUnderWine()) return;
    TraceCapture trace;
    EXPECT_EQ(CDB_OS_WIN7_SP1, CDB_GetOsVersion());
    EXPECT_TRUE(trace.Has(Widen("I CDB_GetOsVersion: \"" + std::to_string(CDB_OS_WIN7_SP1) + "\" (Windows 7 SP1)")));
}

TEST(ConfigDbModules, DirectoryAndTitleOfModules) {
    EXPECT_EQ("C:\\Programme\\VeMo\\", ModuleDirFromFileName("\\\\?\\C:\\Programme\\VeMo\\Dienst.exe"));
    EXPECT_EQ("\\\\server\\share\\", ModuleDirFromFileName("\\\\server\\share\\Dienst.exe"));
    EXPECT_EQ("Dienst", ModuleTitleFromFileName("\\\\?\\C:\\Programme\\VeMo\\Dienst.exe", false));
    EXPECT_EQ("Dienst.exe", ModuleTitleFromFileName("C:\\Programme\\VeMo\\Dienst.exe", true));
    EXPECT_EQ(ExeDirectory(), CDB_GetThisDllDir());  // linked statically: the program's
    EXPECT_EQ("configdb_tests.exe", _GetModuleFileTitle(nullptr, true));
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    char path[MAX_PATH] = {};
    const std::string name(path, ::GetModuleFileNameA(kernel, path, MAX_PATH));
    EXPECT_EQ(name.substr(0, name.rfind('\\') + 1), _GetModuleDir(kernel));
    EXPECT_EQ("kernel32", _GetModuleFileTitle(kernel, false));
}

// Every missing level is made, topmost first; what exists is not made again, with or without a
// trailing backslash; a file in the way stops it with error 80.
TEST(ConfigDbCreateDirectory, MakesEveryMissingLevelTopmostFirstAndStopsAtAFile) {
    const Scratch scratch;
    const std::wstring base = Widen(scratch.path());
    TraceCapture trace;
    EXPECT_TRUE(CDB_CreateDirectory(scratch.path() + "a\\b\\c"));
    EXPECT_TRUE(Exists(scratch.path() + "a\\b\\c"));
    std::vector<std::wstring> expected;
    for (const wchar_t* level : {L"a", L"a\\b", L"a\\b\\c"}) {
        expected.push_back(L"I _CreateDirectory: Pfad '<" + base + level + L">' soll angelegt werden");
    }
    expected.push_back(L"I CDB_CreateDirectory: Verzeichnis <" + base + L"a\\b\\c> wurde angelegt");
    EXPECT_EQ(expected, trace.Lines());
    trace.Clear();
    EXPECT_TRUE(CDB_CreateDirectory(scratch.path() + "a\\b\\c") && CDB_CreateDirectory(scratch.path() + "a\\b\\c\\"));
    EXPECT_TRUE(trace.Lines().empty()) << Narrow(trace.Dump());
    EXPECT_TRUE(CDB_CreateDirectory(scratch.path() + "d\\"));
    EXPECT_TRUE(Exists(scratch.path() + "d"));

    ASSERT_TRUE(vemo::test::WriteFileBytes(base + L"datei", "x"));
    EXPECT_FALSE(CDB_CreateDirectory(scratch.path() + "datei\\unter"));
    EXPECT_FALSE(Exists(scratch.path() + "datei\\unter"));
    ::SetLastError(0);
    EXPECT_FALSE(_CreateDirectory(base + L"datei"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), ::GetLastError());
    EXPECT_FALSE(CDB_CreateDirectory(""));
    for (const std::wstring& line : {L"E _CreateDirectory: Angeforderter Pfad ist eine Datei (<" + base + L"datei>)",
                                     L"E CDB_CreateDirectory: Fehler <80> beim Anlegen des Verzeichnisses <" + base + L"datei\\unter>!",
                                     std::wstring(L"E CDB_CreateDirectory: Kein Pfad übergeben!")}) {
        EXPECT_TRUE(trace.Has(line)) << Narrow(line) << "\n" << Narrow(trace.Dump());
    }
}

}  // namespace
