// Start-up switches and the diagnostic files. ConfigDB reads its switches once per process, so
// these cases set the private hive here and run their checks in a child, which shares the hive
// and starts ConfigDB afresh; the child's argument is the scratch folder the parent made.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <regex>

#include "ConfigDbTest.h"
#include "common/UniqueHandle.h"
#include "configdb/ConfigDB.h"
#include "configdb/ConfigDBInternal.h"

using namespace cdbtest;
using vemo::test::ChildArgument;
using vemo::test::InChild;
using vemo::test::RunCurrentTestInChildren;

namespace {

constexpr char kInternLog[] = "ConfigDB_Intern.log";
constexpr char kPathLog[] = "ConfigDB_Lib_Dirs.log";
constexpr char kDumpLog[] = "B0003810_TracingDirs.log";
constexpr char kTimeoutPrefix[] =
    "-----> _InternTrace: Timeout bei WaitForSingleObject, eigentliche Trace-Zeile folgt:";
constexpr char kWaitFailedPrefix[] =
    "------> _InternTrace: Fehler <-1> bei WaitForSingleObject, eigentliche Trace-Zeile folgt:";
constexpr DWORD kBoundMs = 30000;
constexpr int kLinesPerChild = 200;

// "dd.mm.yyyy hh:mm:ss.mmm [pid] [tid] text"
const std::regex kLinePattern(R"(^(\d{2})\.(\d{2})\.(\d{4}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) \[(\d+)\] \[(\d+)\] (.*)$)");

struct ParsedLine {
    bool ok = false;
    DWORD pid = 0;
    DWORD tid = 0;
    std::string text;
};

ParsedLine Parse(std::string line) {
    for (const char* mark : {kWaitFailedPrefix, kTimeoutPrefix}) {
        if (line.starts_with(mark)) line.erase(0, std::strlen(mark));
    }
    ParsedLine parsed;
    std::smatch match;
    if (!std::regex_match(line, match, kLinePattern)) return parsed;
    const int day = std::stoi(match[1]), month = std::stoi(match[2]), hour = std::stoi(match[4]);
    parsed.ok = day >= 1 && day <= 31 && month >= 1 && month <= 12 && hour < 24 && std::stoi(match[5]) < 60 &&
                std::stoi(match[6]) < 61;
    parsed.pid = std::stoul(match[8]);
    parsed.tid = std::stoul(match[9]);
    parsed.text = match[10];
    return parsed;
}

std::vector<std::string> FileLines(const std::string& path) { return vemo::test::SplitLines(ReadFileText(path)); }
std::string ParentFolder() { return Narrow(ChildArgument()); }  // in a child: the parent's scratch folder

void SwitchInternalTraceOn(const std::string& directory, const char* value = "ein") {
    SetString(kProductKey, "LogVia_InternTrace", value);
    SetString(kProductKey, "LogVia_InternTraceDirectory", directory);
}

std::wstring EventName(const char* what) { return L"Local\\cdbtest_" + Widen(what); }

}  // namespace

// --- in this process ----------------------------------------------------------------------------

TEST_F(ConfigDbTest, TracerWriteReportsBadFormatsAndConvertsUmlauts) {
    configdb::_TracerWrite(false, "%s", "");
    EXPECT_TRUE(trace.HasError(L"Fehler im Format des Tracing-Strings!"));
    configdb::_TracerWrite(true, "Prüfung <%d> %s", 5, "Größe");
    EXPECT_TRUE(trace.HasError(L"Prüfung <5> Größe"));
    // Code page 1252 holds "€" at 0x80, which the C runtime's default locale reads as U+0080.
    configdb::_TracerWrite(true, "Kosten%s", "\x80");
    EXPECT_TRUE(trace.HasError(L"Kosten\u20AC"));
    configdb::_TracerWrite(false, "Hinweis");
    EXPECT_TRUE(trace.HasInfo(L"Hinweis"));
}

TEST(ConfigDbTrace, SetTraceCallbackReturnsThePreviousOne) {
    const CDB_TraceCallback first = [](bool, const wchar_t*) {};
    const CDB_TraceCallback second = [](bool, const wchar_t*) {};
    const CDB_TraceCallback before = CDB_SetTraceCallback(first);
    EXPECT_EQ(first, CDB_SetTraceCallback(second));
    EXPECT_EQ(second, CDB_SetTraceCallback(before));
}

TEST(ConfigDbTrace, InternTraceWithoutTheMutexMarksTheFailedWait) {
    // This process has every diagnostic file off, so it has no trace mutex to wait for.
    ASSERT_EQ(nullptr, configdb::TraceMutex());
    Scratch scratch;
    const std::string file = scratch.path() + "ohne_mutex.log";
    configdb::_InternTrace(file.c_str(), "Zeile <%d>", 1);
    configdb::_InternTrace(file.c_str(), "%s", "");
    configdb::_InternTrace(nullptr, "nie");
    configdb::_InternTrace("", "nie");
    const auto lines = FileLines(file);
    ASSERT_EQ(2u, lines.size());
    ASSERT_TRUE(lines[0].starts_with(kWaitFailedPrefix)) << lines[0];
    const ParsedLine first = Parse(lines[0]);
    EXPECT_TRUE(first.ok) << lines[0];
    EXPECT_EQ(::GetCurrentProcessId(), first.pid);
    EXPECT_EQ(::GetCurrentThreadId(), first.tid);
    EXPECT_EQ("Zeile <1>", first.text);
    EXPECT_EQ("---------- (Keine Info zum Ausgeben verfügbar, iFormatLen <0>)", Parse(lines[1]).text);
}

// --- switches, each checked in a child ----------------------------------------------------------

class InternalTraceSwitch : public ConfigDbTest, public ::testing::WithParamInterface<std::pair<const char*, bool>> {};

TEST_P(InternalTraceSwitch, WantsEinInAnyCase) {
    const auto [value, on] = GetParam();
    if (InChild()) {
        CDB_GetProgDir("B9999901", false);
        const std::string text = ReadFileText(ParentFolder() + kInternLog);
        EXPECT_EQ(on, Exists(ParentFolder() + kInternLog));
        if (on) {
            EXPECT_NE(std::string::npos,
                      text.find("INFO - CDB_GetProgDir: Programmpfad <B9999901> = \"" + ExeDirectory() + "\"\n"))
                << text;
        }
        return;
    }
    Scratch scratch;
    SwitchInternalTraceOn(scratch.path(), value);
    EXPECT_TRUE(RunCurrentTestInChildren(1, Widen(scratch.path())));
}

INSTANTIATE_TEST_SUITE_P(Values, InternalTraceSwitch,
                         ::testing::Values(std::pair{"ein", true}, std::pair{"EIN", true}, std::pair{"Ein", true},
                                           std::pair{"1", false}, std::pair{"aus", false}));

TEST_F(ConfigDbTest, DiagnosticLinesCarryTimeProcessThreadAndLevel) {
    if (InChild()) {
        CDB_GetProgDir(UniqueComponentId(), false);
        const auto lines = FileLines(ParentFolder() + kInternLog);
        ASSERT_FALSE(lines.empty());
        size_t queryLines = 0;
        for (const std::string& line : lines) {
            const ParsedLine parsed = Parse(line);
            ASSERT_TRUE(parsed.ok) << line;
            EXPECT_EQ(::GetCurrentProcessId(), parsed.pid);
            EXPECT_EQ(::GetCurrentThreadId(), parsed.tid);
            EXPECT_TRUE(parsed.text.starts_with("INFO - ") || parsed.text.starts_with("ERROR - ")) << line;
            if (parsed.text.find("CDB_GetProgDir: ") != std::string::npos) ++queryLines;
        }
        EXPECT_EQ(3u, queryLines);  // from the registry, no registry path, the verdict
        EXPECT_TRUE(trace.HasInfo(L"Init: Der Mutex <CDB_MUTEX_INTERN_TRACE> konnte erfolgreich erzeugt werden"));
        EXPECT_TRUE(trace.HasInfo(L"Init: Der Mutex <CDB_MUTEX_GETUSERNAME> konnte erfolgreich erzeugt werden"));
        return;
    }
    Scratch scratch;
    SwitchInternalTraceOn(scratch.path());
    EXPECT_TRUE(RunCurrentTestInChildren(1, Widen(scratch.path())));
}

// What the start-up reports for the switches found: the argument names the case.
TEST_F(ConfigDbTest, StartUpReportsMissingKeysValuesAndDirectories) {
    if (InChild()) {
        const std::wstring which = ChildArgument().substr(0, 1);
        const std::string dir = Narrow(ChildArgument().substr(1));
        configdb::Init();
        const bool traceMutex =
            trace.HasInfo(L"Init: Der Mutex <CDB_MUTEX_INTERN_TRACE> konnte erfolgreich erzeugt werden");
        EXPECT_TRUE(trace.HasInfo(L"Init: Der Mutex <CDB_MUTEX_GETUSERNAME> konnte erfolgreich erzeugt werden"));
        if (which == L"k") {  // no product key at all
            EXPECT_TRUE(trace.HasError(L"Init: Fehler <2> beim Öffnen des Registry-Pfades <SOFTWARE\\TRUVO VeMo Compact>!"));
            EXPECT_FALSE(traceMutex);
        } else if (which == L"d") {  // every switch on, every folder missing
            EXPECT_TRUE(trace.HasError(L"Init: Fehler <2> beim Lesen des Eintrags \"LogVia_InternTraceDirectory\"!"));
            EXPECT_TRUE(trace.HasError(Widen("Init: Verzeichnis <" + dir +
                                             "Fehlt> existiert nicht, um Pfade für Komponenten auszugeben!")));
            EXPECT_TRUE(trace.HasError(Widen("Init: Verzeichnis <" + dir +
                                             "AuchWeg> existiert nicht, um alle Pfade für die B0003810 auszugeben!")));
            EXPECT_TRUE(trace.HasError(Widen("Init: Verzeichnis <" + dir +
                                             "NichtDa> existiert nicht, um als alternativer Log-Pfad für die "
                                             "Komponente B0003810 zurückgegeben zu werden!")));
            EXPECT_FALSE(traceMutex);
        } else {  // only "LogVia_InternTrace" = "aus"
            for (const char* name : {"ConfigDBTracingDirsActive", "ConfigDBLibDirsActive", "ConfigDBLogDirB0003810"}) {
                EXPECT_TRUE(trace.HasInfo(Widen("Init: Fehler <2> beim Lesen des Eintrags \"" + std::string(name) + "\"!")))
                    << name;
            }
            EXPECT_FALSE(trace.HasInfo(L"Init: Fehler <2> beim Lesen des Eintrags \"LogVia_InternTrace\"!"));
            EXPECT_FALSE(trace.HasError(L"Init: Fehler <2> beim Lesen des Eintrags \"LogVia_InternTraceDirectory\"!"));
        }
        EXPECT_FALSE(HasFailure()) << Narrow(trace.Dump());
        return;
    }
    Scratch scratch;
    EXPECT_TRUE(RunCurrentTestInChildren(1, L"k"));
    SetString(kProductKey, "LogVia_InternTrace", "ein");
    SetString(kProductKey, "ConfigDBLibDirsActive", "ein");
    SetString(kProductKey, "ConfigDBLibDirsDirectory", scratch.path() + "Fehlt");
    SetString(kProductKey, "ConfigDBTracingDirsActive", "EIN");
    SetString(kProductKey, "ConfigDBTracingDirsDirectory", scratch.path() + "AuchWeg");
    SetString(kProductKey, "ConfigDBLogDirB0003810", scratch.path() + "NichtDa");
    EXPECT_TRUE(RunCurrentTestInChildren(1, L"d" + Widen(scratch.path())));
    ASSERT_TRUE(vemo::test::ResetHklmSandbox());
    SetString(kProductKey, "LogVia_InternTrace", "aus");
    EXPECT_TRUE(RunCurrentTestInChildren(1, L"a"));
}

TEST_F(ConfigDbTest, SwitchesAreReadOnlyOnce) {
    if (InChild()) {
        configdb::Init();
        SetString(kProductKey, "LogVia_InternTrace", "ein");
        CDB_GetProgDir(UniqueComponentId(), false);
        EXPECT_FALSE(Exists(ParentFolder() + kInternLog));
        return;
    }
    Scratch scratch;
    SetString(kProductKey, "LogVia_InternTraceDirectory", scratch.path());
    EXPECT_TRUE(RunCurrentTestInChildren(1, Widen(scratch.path())));
    // This process started long ago; turning the switch on now changes nothing here either.
    SwitchInternalTraceOn(scratch.path());
    CDB_GetProgDir(UniqueComponentId(), false);
    EXPECT_FALSE(Exists(scratch.path() + kInternLog));
}

TEST_F(ConfigDbTest, PathLogGetsOneLinePerQuery) {
    if (InChild()) {
        const std::string id = UniqueComponentId();
        CDB_GetProgDir(id, false);
        CDB_GetLogDir(id, false);
        const auto lines = FileLines(ParentFolder() + kPathLog);
        ASSERT_EQ(2u, lines.size()) << ReadFileText(ParentFolder() + kPathLog);
        EXPECT_EQ(id + " Programm <" + ExeDirectory() + ">", Parse(lines[0]).text);
        EXPECT_EQ(id + " Log <>", Parse(lines[1]).text);
        // Every query announces the path log before its own lines.
        const std::wstring announce = Widen("Init: Pfade für alle Komponenten werden bei jeder Abfrage nach <" +
                                            ParentFolder() + kPathLog + "> ausgegeben");
        size_t announced = 0;
        bool announcedBeforeQuery = false;
        for (const auto& line : trace.Lines()) {
            if (line.text == announce) ++announced;
            if (line.text.starts_with(L"CDB_GetProgDir: ") && announced > 0) announcedBeforeQuery = true;
        }
        EXPECT_GE(announced, 2u) << Narrow(trace.Dump());
        EXPECT_TRUE(announcedBeforeQuery);
        return;
    }
    Scratch scratch;
    SetString(kProductKey, "ConfigDBLibDirsActive", "ein");
    SetString(kProductKey, "ConfigDBLibDirsDirectory", scratch.path());
    EXPECT_TRUE(RunCurrentTestInChildren(1, Widen(scratch.path())));
}

TEST_F(ConfigDbTest, OneTimeDumpOfTheOwnDirectories) {
    // The dump may create the product's data and user configuration directories.
    const std::string data = TempDirectory() + "Low\\Truvo\\Daten\\B0003810\\Data\\";
    const std::string userKonfig = KnownFolder(FOLDERID_RoamingAppData) + "Truvo\\Konfig\\VeMoCompact\\";
    if (InChild()) {
        configdb::Init();
        const std::string dumpFile = ParentFolder() + kDumpLog;
        EXPECT_TRUE(trace.HasInfo(Widen("Init: Pfade für B0003810 werden einmalig nach <" + dumpFile + "> ausgegeben")))
            << Narrow(trace.Dump());
        const auto lines = FileLines(dumpFile);
        ASSERT_EQ(5u, lines.size()) << ReadFileText(dumpFile);
        EXPECT_EQ("Programm <" + ParentFolder() + "B0003810\\>", Parse(lines[0]).text);
        EXPECT_EQ("Daten <" + data + ">", Parse(lines[1]).text);
        EXPECT_EQ("Konfig <" + ParentFolder() + "B0003810\\>", Parse(lines[2]).text);
        EXPECT_EQ("Log <" + ParentFolder() + "Log\\>", Parse(lines[3]).text);
        EXPECT_EQ("Konfig Benutzer <" + userKonfig + ">", Parse(lines[4]).text);
        return;
    }
    Scratch scratch;
    SetString(kProductKey, "ProgKey", scratch.Sub(kOwnId));
    SetString(kProductKey, "ConfigDBLogDirB0003810", scratch.Sub("Log"));
    SetString(kProtectedDirectoriesKey, "SystemDir", scratch.Sub("System"));
    SetString(kProductKey, "ConfigDBTracingDirsActive", "ein");
    SetString(kProductKey, "ConfigDBTracingDirsDirectory", scratch.path());
    CreatedTree dataGuard(data, 4, false);
    CreatedTree userKonfigGuard(userKonfig, 2, false);
    EXPECT_TRUE(RunCurrentTestInChildren(1, Widen(scratch.path())));
}

// The log directory override of "B0003810" counts only when its folder exists at the start-up.
// The child's argument: "-" for an override that exists, or what the query gives without one.
TEST_F(ConfigDbTest, LogDirectoryOverrideCountsWhenItExistsAtStart) {
    const std::wstring overrideValue = L"ConfigDBLogDirB0003810";
    const std::wstring otherLogKey = Widen(ComponentVersionKey("B9999902", "1.0") + "\\LogDir");
    if (InChild()) {
        configdb::Init();
        const std::string override = Narrow(vemo::test::ReadRegistryString(Widen(kProductKey), overrideValue).value_or(L""));
        if (ChildArgument() == L"-") {
            EXPECT_EQ(override + "\\", CDB_GetLogDir(kOwnId, false));
            // Only "B0003810" is overridden.
            EXPECT_EQ(Narrow(vemo::test::ReadRegistryString(otherLogKey, L"").value_or(L"")), CDB_GetLogDir("B9999902", false));
        } else {
            ASSERT_TRUE(::CreateDirectoryA(override.c_str(), nullptr));
            EXPECT_EQ(ChildArgument() == L"+" ? std::string() : Narrow(ChildArgument()), CDB_GetLogDir(kOwnId, false));
        }
        return;
    }
    Scratch scratch;
    Scratch registered;
    SetString(kProductKey, Narrow(overrideValue), scratch.Sub("Override"));
    SetString(Narrow(otherLogKey), "", registered.path());
    EXPECT_TRUE(RunCurrentTestInChildren(1, L"-"));
    // Made only after the start-up: ignored. This process started without an override.
    SetString(kProductKey, Narrow(overrideValue), scratch.path() + "Spaeter");
    const std::string withoutOverride = CDB_GetLogDir(kOwnId, false);
    EXPECT_TRUE(RunCurrentTestInChildren(1, withoutOverride.empty() ? L"+" : Widen(withoutOverride)));
}

// --- the shared diagnostic file -------------------------------------------------------------------

TEST_F(ConfigDbTest, TwoProcessesWritingOneFileLoseNoLine) {
    const std::string shared = "gemeinsam.log";
    if (InChild()) {
        configdb::Init();
        vemo::unique_handle ready(::OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, EventName("ready").c_str()));
        vemo::unique_handle go(::OpenEventW(SYNCHRONIZE, FALSE, EventName("go").c_str()));
        ASSERT_TRUE(ready && go);
        ASSERT_TRUE(::ReleaseSemaphore(ready.get(), 1, nullptr));
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(go.get(), kBoundMs));
        const std::string file = ParentFolder() + shared;
        for (int i = 0; i < kLinesPerChild; ++i) configdb::_InternTrace(file.c_str(), "%lu %d", ::GetCurrentProcessId(), i);
        return;
    }
    Scratch scratch;
    SwitchInternalTraceOn(scratch.path());  // gives each child the trace mutex
    vemo::unique_handle ready(::CreateSemaphoreW(nullptr, 0, 2, EventName("ready").c_str()));
    vemo::unique_handle go(::CreateEventW(nullptr, TRUE, FALSE, EventName("go").c_str()));
    ASSERT_TRUE(ready && go);
    const std::string name = "ConfigDbTest.TwoProcessesWritingOneFileLoseNoLine";
    auto first = vemo::test::StartChild(name, Widen(scratch.path()));
    auto second = vemo::test::StartChild(name, Widen(scratch.path()));
    for (int i = 0; i < 2; ++i) ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(ready.get(), kBoundMs));
    ::SetEvent(go.get());
    EXPECT_TRUE(vemo::test::Passed(first.get())) << first.get().output;
    EXPECT_TRUE(vemo::test::Passed(second.get())) << second.get().output;

    std::map<std::string, int> seen;
    std::set<DWORD> writers;
    for (const std::string& line : FileLines(scratch.path() + shared)) {
        // A writer that waited over a second still writes, marked; the line must be whole.
        const ParsedLine parsed = Parse(line);
        ASSERT_TRUE(parsed.ok) << line;
        ++seen[parsed.text];
        writers.insert(parsed.pid);
    }
    ASSERT_EQ(2u, writers.size());
    for (const DWORD pid : writers) {
        for (int i = 0; i < kLinesPerChild; ++i) EXPECT_EQ(1, seen[std::to_string(pid) + " " + std::to_string(i)]) << pid;
    }
    EXPECT_EQ(2u * kLinesPerChild, seen.size());
}

TEST_F(ConfigDbTest, AWriterBlockedOverASecondWritesWithTheTimeoutMark) {
    const std::string file = "blockiert.log";
    if (InChild()) {
        configdb::Init();
        vemo::unique_handle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, EventName("ready_block").c_str()));
        vemo::unique_handle go(::OpenEventW(SYNCHRONIZE, FALSE, EventName("go_block").c_str()));
        ASSERT_TRUE(ready && go && ::SetEvent(ready.get()));
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(go.get(), kBoundMs));
        configdb::_InternTrace((ParentFolder() + file).c_str(), "spaet %lu", ::GetCurrentProcessId());
        return;
    }
    Scratch scratch;
    SwitchInternalTraceOn(scratch.path());
    vemo::unique_handle go(::CreateEventW(nullptr, TRUE, FALSE, EventName("go_block").c_str()));
    vemo::unique_handle ready(::CreateEventW(nullptr, TRUE, FALSE, EventName("ready_block").c_str()));
    ASSERT_TRUE(go && ready);
    auto child = vemo::test::StartChild("ConfigDbTest.AWriterBlockedOverASecondWritesWithTheTimeoutMark",
                                        Widen(scratch.path()));
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(ready.get(), kBoundMs));
    // Hold the child's trace mutex until it has written.
    vemo::unique_handle mutex(::CreateMutexW(nullptr, FALSE, L"CDB_MUTEX_INTERN_TRACE"));
    ASSERT_TRUE(mutex);
    const DWORD wait = ::WaitForSingleObject(mutex.get(), kBoundMs);
    ASSERT_TRUE(wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED);
    {
        vemo::mutex_release_scope owned(mutex.get());
        ::SetEvent(go.get());
        EXPECT_TRUE(vemo::test::Passed(child.get())) << child.get().output;
    }
    const auto lines = FileLines(scratch.path() + file);
    ASSERT_EQ(1u, lines.size()) << ReadFileText(scratch.path() + file);
    ASSERT_TRUE(lines[0].starts_with(kTimeoutPrefix)) << lines[0];
    const ParsedLine parsed = Parse(lines[0]);
    EXPECT_TRUE(parsed.ok) << lines[0];
    EXPECT_EQ("spaet " + std::to_string(parsed.pid), parsed.text);
}
