// Directory queries and their fallbacks against the sandboxed registry and the real file
// system. Every directory a test makes is removed again; folders other programs may share
// are only removed when they were made here and are left empty.
#include <gtest/gtest.h>

#include <cctype>

#include "ConfigDbTest.h"
#include "configdb/ConfigDB.h"
#include "configdb/ConfigDBInternal.h"

using namespace cdbtest;

namespace {

constexpr char kDefaultProgSubPath[] = "TRUVO\\PROGRAMM\\VeMoCompacT\\";

std::string LocalLow() { return KnownFolder(FOLDERID_LocalAppDataLow); }
std::string Roaming() { return KnownFolder(FOLDERID_RoamingAppData); }
std::string ProgramData() { return KnownFolder(FOLDERID_ProgramData); }
std::string ProgramFilesX86() { return KnownFolder(FOLDERID_ProgramFilesX86); }
std::string TempLow() { return TempDirectory() + "Low\\"; }

// A drive letter this machine does not have, so a registry path on it cannot be created.
char MissingDrive() {
    const DWORD drives = ::GetLogicalDrives();
    for (char letter = 'Q'; letter <= 'Y'; ++letter) {
        if (!(drives & (1u << (letter - 'A')))) return letter;
    }
    return '\0';
}

std::string LowerFirst(std::string path) {
    if (!path.empty()) path[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
    return path;
}

// Puts a file where the per-user log directory of the component would go, so that guess
// cannot succeed and the later sources are reached.
class BlockedUserLogDir {
public:
    explicit BlockedUserLogDir(const std::string& id)
        : m_path(LocalLow() + "Truvo\\Log\\" + id), m_guard(m_path, 2, false) {
        ::SHCreateDirectoryExA(nullptr, (LocalLow() + "Truvo\\Log").c_str(), nullptr);
        WriteFileText(m_path, "blockiert");
    }

private:
    std::string m_path;
    CreatedTree m_guard;
};

void MakeTruvoEnvironment(const Scratch& scratch, const std::string& id) {
    SetString(kProtectedDirectoriesKey, "SystemDir", scratch.Sub("System"));
    SetString(ComponentVersionKey(id, "1.0") + "\\ProtectedDirectories", "FixedProgDir", scratch.Sub("Prog"));
    scratch.Sub("Prog\\" + id);
    SetString(ComponentVersionKey(id, "1.0") + "\\ProtectedDirectories", "ProgDir", id);
}

}  // namespace

// --- program directory --------------------------------------------------------------------------

TEST_F(ConfigDbTest, UnknownComponentProgramDirectoryIsTheModuleDirectory) {
    const std::string id = UniqueComponentId();
    EXPECT_EQ(ExeDirectory(), CDB_GetProgDir(id, false));
    EXPECT_TRUE(trace.HasInfo(L"CDB_GetProgDir: Via Registry kein Programmpfad ermittelbar.")) << Narrow(trace.Dump());
    EXPECT_TRUE(trace.HasInfo(Widen("CDB_GetProgDir: Programmpfad <" + id + "> = \"" + ExeDirectory() + "\"")));
    // The default flag only concerns the product's own component.
    EXPECT_EQ(ExeDirectory(), CDB_GetProgDir(id, true));
}

TEST_F(ConfigDbTest, RegisteredProgramDirectoryThatIsMissingFallsBackToTheModuleDirectory) {
    Scratch scratch;
    const std::string id = UniqueComponentId();
    SetString(ComponentVersionKey(id, "1.0") + "\\ProtectedDirectories", "FixedProgDir", scratch.path() + "Weg");
    EXPECT_EQ(ExeDirectory(), CDB_GetProgDir(id, false));
    EXPECT_TRUE(trace.HasInfo(
        Widen("CDB_GetProgDir: Programmpfad via Registry existiert nicht: \"" + scratch.path() + "Weg\"")));
}

TEST_F(ConfigDbTest, OwnComponentDefaultProgramDirectoryNeedNotExist) {
    const std::string expected = ProgramFilesX86() + kDefaultProgSubPath;
    ASSERT_FALSE(ProgramFilesX86().empty());
    EXPECT_EQ(expected, CDB_GetProgDir(kOwnId, true));
    EXPECT_TRUE(trace.HasInfo(L"CDB_GetProgDir: Default Programmpfad eingestellt."));
    EXPECT_EQ(ExeDirectory(), CDB_GetProgDir(kOwnId, false));
}

// --- machine-wide configuration directory -------------------------------------------------------

TEST_F(ConfigDbTest, KonfigDirFromTheRegistry) {
    Scratch scratch;
    const std::string id = UniqueComponentId();
    const std::string dir = scratch.Sub("Konfig");
    SetString(ComponentVersionKey(id, "2.0") + "\\ConfigDir", "", dir);
    EXPECT_EQ(dir + "\\", CDB_GetKonfigDir(id));
    EXPECT_TRUE(trace.HasInfo(Widen("_GuessLocalKonfigDir: Konfigpfad <" + dir + "\\> über Registry ermittelt.")));
    EXPECT_TRUE(trace.HasInfo(Widen("CDB_GetKonfigDir: KonfigPfad <" + id + "> = \"" + dir + "\\\"")));
}

// Program files (x86) first, where older installations keep their files, then common
// application data; each only where its "Konfig" directory exists.
TEST_F(ConfigDbTest, MachineWideKonfigGuessTakesProgramFilesThenApplicationData) {
    const std::string inProgramData = UniqueComponentId();
    const std::string programDataDir = ProgramData() + "Truvo\\Konfig\\" + inProgramData + "\\";
    CreatedTree programDataGuard(programDataDir, 2);
    ASSERT_TRUE(CDB_CreateDirectory(programDataDir));
    EXPECT_EQ(programDataDir, CDB_GetKonfigDir(inProgramData));
    EXPECT_TRUE(trace.HasInfo(L"_GuessLocalKonfigDir: Keine Truvo-Umgebung, nehmen ProgrammData-Verzeichnis."));

    const std::string inProgramFiles = UniqueComponentId();
    const std::string programFilesDir = ProgramFilesX86() + "Truvo\\Konfig\\" + inProgramFiles + "\\";
    CreatedTree programFilesGuard(programFilesDir, 2);
    ASSERT_TRUE(CDB_CreateDirectory(programFilesDir));
    EXPECT_EQ(programFilesDir, CDB_GetKonfigDir(inProgramFiles));

    // Both present: program files wins.
    const std::string inBoth = UniqueComponentId();
    const std::string bothFiles = ProgramFilesX86() + "Truvo\\Konfig\\" + inBoth + "\\";
    const std::string bothData = ProgramData() + "Truvo\\Konfig\\" + inBoth + "\\";
    CreatedTree bothFilesGuard(bothFiles, 2);
    CreatedTree bothDataGuard(bothData, 2);
    ASSERT_TRUE(CDB_CreateDirectory(bothFiles));
    ASSERT_TRUE(CDB_CreateDirectory(bothData));
    EXPECT_EQ(bothFiles, CDB_GetKonfigDir(inBoth));

    // Neither: one error naming the data folder, then the program directory.
    const std::string nowhere = UniqueComponentId();
    trace.Clear();
    EXPECT_EQ(ExeDirectory(), CDB_GetKonfigDir(nowhere));
    EXPECT_TRUE(trace.HasError(Widen("_GuessLocalKonfigDir: Verzeichnis <" + ProgramData() + "Truvo\\Konfig\\" +
                                     nowhere + "\\> ist nicht vorhanden!")))
        << Narrow(trace.Dump());
    EXPECT_TRUE(trace.HasInfo(
        L"_GuessLocalKonfigDir: Immer noch kein Konfig-Verzeichnis, nehmen jetzt das Programmverzeichnis."));
}

TEST_F(ConfigDbTest, KonfigGuessCreatesNothing) {
    const std::string id = UniqueComponentId();
    EXPECT_EQ(ExeDirectory(), CDB_GetKonfigDir(id));
    EXPECT_FALSE(Exists(ProgramData() + "Truvo\\Konfig\\" + id));
    EXPECT_EQ(ExeDirectory(), configdb::_GuessLocalKonfigDir(id));
}

TEST_F(ConfigDbTest, CompanyEnvironmentTakesTheProgramDirectoryForKonfig) {
    Scratch scratch;
    const std::string id = UniqueComponentId();
    MakeTruvoEnvironment(scratch, id);
    const std::string programDataDir = ProgramData() + "Truvo\\Konfig\\" + id + "\\";
    CreatedTree guard(programDataDir, 2);
    ASSERT_TRUE(CDB_CreateDirectory(programDataDir));

    EXPECT_TRUE(configdb::_IsTruvoEnvironment(id));
    EXPECT_EQ(scratch.path() + "Prog\\" + id + "\\", CDB_GetKonfigDir(id));
    EXPECT_FALSE(trace.HasInfo(L"_GuessLocalKonfigDir: Keine Truvo-Umgebung, nehmen ProgrammData-Verzeichnis."));
}

TEST_F(ConfigDbTest, CompanyEnvironmentNeedsTheIdInTheProgramDirectory) {
    Scratch scratch;
    const std::string id = UniqueComponentId();
    EXPECT_TRUE(configdb::_IsTruvoEnvironment(""));  // the module directory stands in for SystemDir
    EXPECT_FALSE(configdb::_IsTruvoEnvironment(id));
    SetString(ComponentVersionKey(id, "1.0") + "\\ProtectedDirectories", "FixedProgDir", scratch.Sub("Anders"));
    EXPECT_FALSE(configdb::_IsTruvoEnvironment(id));
    MakeTruvoEnvironment(scratch, id);
    EXPECT_TRUE(configdb::_IsTruvoEnvironment(id));
}

// --- configuration directory of the user ------------------------------------------------------

TEST_F(ConfigDbTest, UserKonfigDirIsCreatedBelowRoamingAppData) {
    const std::string id = UniqueComponentId();
    const std::string expected = Roaming() + "Truvo\\Konfig\\" + id + "\\";
    CreatedTree guard(expected, 2);
    EXPECT_EQ(expected, CDB_GetKonfigDirCurrentUser(id, true));
    EXPECT_TRUE(Exists(expected));
    EXPECT_TRUE(trace.HasInfo(Widen("_GuessLocalUserKonfigDir: Versuchen Konfigpfad \"" + expected + "\" anzulegen.")));
}

TEST_F(ConfigDbTest, UserKonfigDirWithoutCreateEndsInTheLowTempDirectory) {
    const std::string id = UniqueComponentId();
    const std::string expected = TempLow() + "Truvo\\Konfig\\" + id + "\\";
    EXPECT_EQ(expected, CDB_GetKonfigDirCurrentUser(id, false));
    EXPECT_FALSE(Exists(expected));
    EXPECT_FALSE(Exists(Roaming() + "Truvo\\Konfig\\" + id));
    EXPECT_TRUE(trace.HasError(
        Widen("CDB_GetKonfigDirCurrentUser: konnten keinen KonfigPfad des Benutzers für <" + id + "> ermitteln!")));

    const std::string own = CDB_GetKonfigDirCurrentUser(kOwnId, false);
    EXPECT_TRUE(own.ends_with("\\Truvo\\Konfig\\VeMoCompact\\")) << own;
}

// --- log directory ------------------------------------------------------------------------------

TEST_F(ConfigDbTest, LogDirIsCreatedBelowLocalAppDataLow) {
    const std::string id = UniqueComponentId();
    const std::string expected = LocalLow() + "Truvo\\Log\\" + id + "\\";
    CreatedTree guard(expected, 2);
    EXPECT_EQ(expected, CDB_GetLogDir(id, true));
    EXPECT_TRUE(Exists(expected));
    EXPECT_TRUE(trace.HasInfo(Widen("_GuessLocalLogDir: Benutzerspezifischer Logpfad <" + expected + ">")));
    EXPECT_TRUE(trace.HasInfo(Widen("CDB_GetLogDir: LogPfad <" + id + "> = \"" + expected + "\"")));
}

TEST_F(ConfigDbTest, LogDirWithoutCreateStopsAfterTheRegistry) {
    const std::string id = UniqueComponentId();
    EXPECT_EQ("", CDB_GetLogDir(id, false));
    EXPECT_FALSE(Exists(LocalLow() + "Truvo\\Log\\" + id));
    EXPECT_TRUE(trace.HasInfo(L"_GuessLocalLogDir: Logpfad <> über Registry ermittelt."));
    EXPECT_TRUE(trace.HasError(Widen("CDB_GetLogDir: Konnten keinen LogPfad für <" + id + "> ermitteln!")));

    Scratch scratch;
    const std::string registered = scratch.Sub("Log");
    SetString(ComponentVersionKey(id, "1.0") + "\\LogDir", "", registered);
    EXPECT_EQ(registered + "\\", CDB_GetLogDir(id, false));

    const std::string missing = UniqueComponentId();
    SetString(ComponentVersionKey(missing, "1.0") + "\\LogDir", "", scratch.path() + "Fehlt");
    EXPECT_EQ(scratch.path() + "Fehlt\\", CDB_GetLogDir(missing, false));
    EXPECT_FALSE(Exists(scratch.path() + "Fehlt"));
}

TEST_F(ConfigDbTest, RegisteredLogDirIsCreatedWhenTheUserFolderIsBlocked) {
    const std::string id = UniqueComponentId();
    BlockedUserLogDir blocked(id);
    Scratch scratch;
    const std::string registered = scratch.path() + "Neu\\Tiefer";
    SetString(ComponentVersionKey(id, "1.0") + "\\LogDir", "", registered);
    EXPECT_EQ(registered + "\\", CDB_GetLogDir(id, true));
    EXPECT_TRUE(Exists(registered));
    EXPECT_TRUE(trace.HasError(Widen("_CreateDirectory: Angeforderter Pfad ist eine Datei (<" + LocalLow() +
                                     "Truvo\\Log\\" + id + ">)")))
        << Narrow(trace.Dump());
}

TEST_F(ConfigDbTest, LogDirOnAMissingDriveMovesToTheProgramDrive) {
    const char drive = MissingDrive();
    ASSERT_NE('\0', drive);
    const std::string id = UniqueComponentId();
    BlockedUserLogDir blocked(id);
    const std::string fixDir = ExeDirectory() + "cdbfix_" + id;
    CreatedTree guard(fixDir);
    const std::string registered = std::string(1, drive) + fixDir.substr(1) + "\\log";
    SetString(ComponentVersionKey(id, "1.0") + "\\LogDir", "", registered);

    const std::string expected = LowerFirst(fixDir) + "\\log\\";
    EXPECT_EQ(expected, CDB_GetLogDir(id, true));
    EXPECT_TRUE(Exists(expected));
    EXPECT_TRUE(trace.HasInfo(Widen("_GuessLocalLogDir: Versuchen Logpfad \"" + registered + "\\\" anzulegen.")));
}

TEST_F(ConfigDbTest, LogDirEndsInTheLowTempDirectory) {
    const std::string id = UniqueComponentId();
    BlockedUserLogDir blocked(id);
    const std::string expected = TempLow() + "Truvo\\Log\\" + id + "\\";
    CreatedTree guard(expected, 3, true);
    EXPECT_EQ(expected, CDB_GetLogDir(id, true));
    EXPECT_TRUE(Exists(expected));
    EXPECT_TRUE(trace.HasInfo(
        L"_GuessLocalLogDir: Immer noch kein Log-Verzeichnis, versuchen es mit TempDir + TruvoPfad"));
}

// --- data directory -----------------------------------------------------------------------------

TEST_F(ConfigDbTest, DataDirFromTheRegistry) {
    Scratch scratch;
    const std::string id = UniqueComponentId();
    const std::string dataKey = std::string(kComponentsKey) + "\\" + id + "\\AvailableDataDirectories\\Bilder\\Dir1";
    SetString(dataKey, "", scratch.Sub("Bilder"));
    EXPECT_EQ(scratch.path() + "Bilder\\", CDB_GetDataDir(id, false, "Bilder"));
    EXPECT_TRUE(trace.HasInfo(
        Widen("_GuessLocalDataDir: Datenpfad <" + scratch.path() + "Bilder\\> über Registry ermittelt.")));

    const std::string toCreate = scratch.path() + "Neu\\Bilder";
    SetString(dataKey, "", toCreate);
    EXPECT_EQ(toCreate + "\\", CDB_GetDataDir(id, true, "Bilder"));
    EXPECT_TRUE(Exists(toCreate));
}

TEST_F(ConfigDbTest, DataDirOnAMissingDriveMovesToTheProgramDrive) {
    const char drive = MissingDrive();
    ASSERT_NE('\0', drive);
    const std::string id = UniqueComponentId();
    const std::string fixDir = ExeDirectory() + "cdbfix_" + id;
    CreatedTree guard(fixDir);
    const std::string registered = std::string(1, drive) + fixDir.substr(1) + "\\daten";
    SetString(std::string(kComponentsKey) + "\\" + id + "\\AvailableDataDirectories\\Bilder\\Dir1", "", registered);
    EXPECT_EQ(LowerFirst(fixDir) + "\\daten\\", CDB_GetDataDir(id, true, "Bilder"));
    EXPECT_TRUE(Exists(fixDir + "\\daten"));
}

TEST_F(ConfigDbTest, DataDirGuessBelowCommonApplicationData) {
    const std::string id = UniqueComponentId();
    const std::string base = ProgramData() + "Truvo\\Daten\\" + id + "\\";
    CreatedTree guard(base, 2);

    EXPECT_EQ(base, CDB_GetDataDir(id, false, "Bilder"));
    EXPECT_FALSE(Exists(base));
    EXPECT_TRUE(trace.HasError(Widen("CDB_GetDataDir: Konnten keinen Datenpfad für <" + id + "> ermitteln!")));

    EXPECT_EQ(base + "Bilder\\", CDB_GetDataDir(id, true, "Bilder"));
    EXPECT_TRUE(Exists(base + "Bilder"));
    EXPECT_TRUE(trace.HasInfo(L"_GuessLocalDataDir: Keine Truvo-Umgebung, nehmen ProgrammData-Verzeichnis."));
}

TEST_F(ConfigDbTest, DataDirInACompanyEnvironmentEndsInTheLowTempDirectory) {
    Scratch scratch;
    const std::string id = UniqueComponentId();
    MakeTruvoEnvironment(scratch, id);
    const std::string expected = TempLow() + "Truvo\\Daten\\" + id + "\\Bilder\\";
    CreatedTree guard(TempLow() + "Truvo\\Daten\\" + id, 3);
    EXPECT_EQ(expected, CDB_GetDataDir(id, true, "Bilder"));
    EXPECT_TRUE(Exists(expected));
    EXPECT_FALSE(Exists(ProgramData() + "Truvo\\Daten\\" + id));
}

// --- sub-paths, folders, temporary directory ------------------------------------------------------

TEST(ConfigDbFallbacks, CompanySubPathByKindAndComponent) {
    EXPECT_EQ("Truvo\\Log\\VeMo\\", configdb::_BuildTruvoSubPath("B0003811", "Log"));
    EXPECT_EQ("Truvo\\Log\\VeMo\\", configdb::_BuildTruvoSubPath("B0003815", "Log"));
    EXPECT_EQ("Truvo\\Log\\VeMo\\", configdb::_BuildTruvoSubPath("B0003814", "Log"));
    EXPECT_EQ("Truvo\\Log\\VeMo\\", configdb::_BuildTruvoSubPath(kOwnId, "Log"));
    EXPECT_EQ("Truvo\\Log\\B0003816\\", configdb::_BuildTruvoSubPath("B0003816", "Log"));
    EXPECT_EQ("Truvo\\Konfig\\VeMoCompact\\", configdb::_BuildTruvoSubPath(kOwnId, "Konfig"));
    EXPECT_EQ("Truvo\\Konfig\\B0003811\\", configdb::_BuildTruvoSubPath("B0003811", "Konfig"));
    EXPECT_EQ("Truvo\\Konfig\\B1234567\\", configdb::_BuildTruvoSubPath("B1234567", "Konfig"));
    EXPECT_EQ("Truvo\\Daten\\B0003810\\", configdb::_BuildTruvoSubPath(kOwnId, "Daten"));
    EXPECT_EQ("Truvo\\Daten\\B0003811\\", configdb::_BuildTruvoSubPath("B0003811", "Daten"));
    // IDs compare exactly: another case is another component.
    EXPECT_EQ("Truvo\\Log\\b0003811\\", configdb::_BuildTruvoSubPath("b0003811", "Log"));
}

TEST(ConfigDbFallbacks, LowIntegrityTemporaryDirectory) {
    EXPECT_EQ("C:\\Temp\\Low\\", configdb::LowIntegrityTempPath("C:\\Temp\\"));
    EXPECT_EQ("C:\\Users\\x\\AppData\\Local\\Temp\\Low\\",
              configdb::LowIntegrityTempPath("C:\\Users\\x\\AppData\\Local\\Temp\\Low\\"));
    EXPECT_EQ("C:\\Temp\\low\\Low\\", configdb::LowIntegrityTempPath("C:\\Temp\\low\\"));  // case counts
    EXPECT_EQ("", configdb::LowIntegrityTempPath(""));

    TraceCapture trace;
    EXPECT_EQ(TempDirectory(), CBD_GetTempDir());
    EXPECT_TRUE(trace.HasInfo(Widen("CBD_GetTempDir: Temporärer Pfad = \"" + TempDirectory() + "\"")));
    EXPECT_EQ(TempLow(), configdb::_GetTempDirLow());
}

// The folders by their place in the profile and the environment, not by the shell's own answer.
std::string EnvironmentFolder(const char* name) {
    char value[MAX_PATH] = {};
    const DWORD n = ::GetEnvironmentVariableA(name, value, MAX_PATH);
    return n > 0 && n < MAX_PATH ? WithBackslash(value) : std::string();
}

TEST(ConfigDbFallbacks, SpecialFoldersLieWhereTheProfileAndTheEnvironmentSay) {
    const std::string local = CDB_GetSpecialFolderPath(CDB_DIR_LOCAL_APPDATA);
    ASSERT_TRUE(local.ends_with("\\Local\\")) << local;
    const std::string appData = local.substr(0, local.size() - 6);
    EXPECT_EQ(appData + "LocalLow\\", CDB_GetSpecialFolderPath(CDB_DIR_LOCAL_APPDATA_LOW));
    EXPECT_EQ(EnvironmentFolder("APPDATA"), CDB_GetSpecialFolderPath(CDB_DIR_ROAMING_APPDATA));
    EXPECT_EQ(EnvironmentFolder("LOCALAPPDATA"), local);
    EXPECT_EQ(EnvironmentFolder("ProgramData"), CDB_GetSpecialFolderPath(CDB_DIR_PROGRAMDATA));
    // Both program-files kinds mean the 32-bit folder, where the product is installed.
    EXPECT_EQ(EnvironmentFolder("ProgramFiles(x86)"), CDB_GetSpecialFolderPath(CDB_DIR_PROGRAM_FILES_X86));
    EXPECT_EQ(EnvironmentFolder("ProgramFiles(x86)"), CDB_GetSpecialFolderPath(CDB_DIR_PROGRAM_FILES));

    TraceCapture trace;
    EXPECT_EQ("", CDB_GetSpecialFolderPath(7));
    EXPECT_TRUE(trace.HasError(L"CDB_GetSpecialFolderPath: Falscher ConfigDBDirType <7> wurde übergeben!"));
    trace.Clear();
    EXPECT_EQ("", configdb::SpecialFolderPathFor(6, CDB_OS_XP_SP3));
    EXPECT_TRUE(trace.HasError(L"CDB_GetSpecialFolderPath: Falscher ConfigDBDirType <6> wurde übergeben!"));
}

// Systems before Vista answer through the older interface, which knows the same folders but no
// LocalLow: there the low folder is the local one.
TEST(ConfigDbFallbacks, OldestSystemsHaveNoLowFolder) {
    for (const int os : {CDB_OS_XP_SP3, CDB_OS_SERVER_2003_R2, CDB_OS_VISTA, CDB_OS_UNKNOWN}) {
        const bool old = os == CDB_OS_XP_SP3 || os == CDB_OS_SERVER_2003_R2;
        for (const ConfigDBDirType type : {CDB_DIR_LOCAL_APPDATA, CDB_DIR_ROAMING_APPDATA, CDB_DIR_PROGRAMDATA,
                                           CDB_DIR_PROGRAM_FILES_X86, CDB_DIR_PROGRAM_FILES}) {
            EXPECT_EQ(CDB_GetSpecialFolderPath(type), configdb::SpecialFolderPathFor(type, os)) << os << " " << type;
        }
        EXPECT_EQ(CDB_GetSpecialFolderPath(old ? CDB_DIR_LOCAL_APPDATA : CDB_DIR_LOCAL_APPDATA_LOW),
                  configdb::SpecialFolderPathFor(CDB_DIR_LOCAL_APPDATA_LOW, os))
            << os;
    }
}
