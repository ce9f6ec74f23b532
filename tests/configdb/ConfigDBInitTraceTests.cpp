// Start-up switches and the diagnostic files. ConfigDB reads its switches once per process,
// so these cases run in child processes of this program that share the parent's sandbox.
#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "ConfigDBTestEnv.h"
#include "TestSupport.h"
#include "common/UniqueHandle.h"
#include "configdb/ConfigDB.h"
#include "configdb/ConfigDBInternal.h"

using namespace cdbtest;

namespace {

constexpr char kInternLog[] = "ConfigDB_Intern.log";
constexpr char kPathLog[] = "ConfigDB_Lib_Dirs.log";
constexpr char kDumpLog[] = "B0003810_TracingDirs.log";
constexpr wchar_t kTraceMutex[] = L"CDB_MUTEX_INTERN_TRACE";
constexpr char kTimeoutPrefix[] =
    "-----> _InternTrace: Timeout bei WaitForSingleObject, eigentliche Trace-Zeile folgt:";
constexpr char kWaitFailedPrefix[] =
    "------> _InternTrace: Fehler <-1> bei WaitForSingleObject, eigentliche Trace-Zeile folgt:";
constexpr DWORD kBoundMs = 30000;

// "dd.mm.yyyy hh:mm:ss.mmm [pid] [tid] text"
const std::regex kLinePattern(R"(^(\d{2})\.(\d{2})\.(\d{4}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) \[(\d+)\] \[(\d+)\] (.*)$)");

struct ParsedLine {
    bool ok = false;
    DWORD pid = 0;
    DWORD tid = 0;
    std::string text;
};

ParsedLine Parse(const std::string& line) {
    ParsedLine parsed;
    std::smatch match;
    if (!std::regex_match(line, match, kLinePattern)) return parsed;
    const int day = std::stoi(match[1]), month = std::stoi(match[2]), hour = std::stoi(match[4]);
    const int minute = std::stoi(match[5]), second = std::stoi(match[6]);
    parsed.ok = day >= 1 && day <= 31 && month >= 1 && month <= 12 && hour < 24 && minute < 60 && second < 61;
    parsed.pid = std::stoul(match[8]);
    parsed.tid = std::stoul(match[9]);
    parsed.text = match[10];
    return parsed;
}

std::vector<std::string> FileLines(const std::string& path) { return vemo::test::SplitLines(ReadFileText(path)); }

std::wstring EventName(const char* what) {
    return L"Local\\cdbtest_" + std::to_wstring(::GetCurrentProcessId()) + L"_" + Widen(what);
}

void SwitchInternalTraceOn(const std::string& directory, const char* value = "ein") {
    SetString(kProductKey, "LogVia_InternTrace", value);
    SetString(kProductKey, "LogVia_InternTraceDirectory", directory);
}

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
    configdb::Init();
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
    const ParsedLine first = Parse(lines[0].substr(std::size(kWaitFailedPrefix) - 1));
    EXPECT_TRUE(first.ok) << lines[0];
    EXPECT_EQ(::GetCurrentProcessId(), first.pid);
    EXPECT_EQ(::GetCurrentThreadId(), first.tid);
    EXPECT_EQ("Zeile <1>", first.text);
    const ParsedLine second = Parse(lines[1].substr(std::size(kWaitFailedPrefix) - 1));
    EXPECT_EQ("---------- (Keine Info zum Ausgeben verfügbar, iFormatLen <0>)", second.text);
}

// --- switches, in child processes ---------------------------------------------------------------

TEST_F(ConfigDbTest, InternalTraceSwitchIgnoresCaseButWantsEin) {
    struct Case {
        const char* value;
        bool on;
    };
    for (const Case& c : {Case{"ein", true}, Case{"EIN", true}, Case{"Ein", true}, Case{"1", false},
                          Case{"aus", false}}) {
        SCOPED_TRACE(c.value);
        Scratch scratch;
        SwitchInternalTraceOn(scratch.path(), c.value);
        const std::string id = UniqueComponentId();
        const ChildOutput child = RunChild({kOpProgDir, Widen(id), L"0"});
        ASSERT_TRUE(child.finished);
        EXPECT_EQ(0u, child.exitCode) << Narrow(child.Dump());
        const std::string log = scratch.path() + kInternLog;
        EXPECT_EQ(c.on, Exists(log));
        if (c.on) {
            const std::string text = ReadFileText(log);
            EXPECT_NE(std::string::npos, text.find("INFO - CDB_GetProgDir: Programmpfad <" + id + "> = \"" +
                                                   ExeDirectory() + "\"\n"))
                << text;
        }
    }
}

TEST_F(ConfigDbTest, DiagnosticLineFormat) {
    Scratch scratch;
    SwitchInternalTraceOn(scratch.path());
    const std::string id = UniqueComponentId();
    const ChildOutput child = RunChild({kOpProgDir, Widen(id), L"0"});
    ASSERT_TRUE(child.finished);
    ASSERT_NE(0u, child.pid);

    const auto lines = FileLines(scratch.path() + kInternLog);
    ASSERT_FALSE(lines.empty());
    size_t queryLines = 0;
    for (std::string line : lines) {
        // Lines traced while start-up has not yet made the mutex carry the failed-wait mark.
        if (line.starts_with(kWaitFailedPrefix)) line.erase(0, std::size(kWaitFailedPrefix) - 1);
        const ParsedLine parsed = Parse(line);
        ASSERT_TRUE(parsed.ok) << line;
        EXPECT_EQ(child.pid, parsed.pid);
        EXPECT_EQ(child.tid, parsed.tid);
        EXPECT_TRUE(parsed.text.starts_with("INFO - ") || parsed.text.starts_with("ERROR - ")) << line;
        if (parsed.text.find("CDB_GetProgDir: ") != std::string::npos) ++queryLines;
    }
    EXPECT_EQ(3u, queryLines);  // from the registry, no registry path, the verdict
    EXPECT_TRUE(child.HasTrace(false, L"Init: Der Mutex <CDB_MUTEX_INTERN_TRACE> konnte erfolgreich erzeugt werden"))
        << Narrow(child.Dump());
    EXPECT_TRUE(child.HasTrace(false, L"Init: Der Mutex <CDB_MUTEX_GETUSERNAME> konnte erfolgreich erzeugt werden"));
}

TEST_F(ConfigDbTest, StartUpReportsMissingKeysValuesAndDirectories) {
    const ChildOutput noKey = RunChild({kOpInit});
    EXPECT_TRUE(noKey.HasTrace(true, L"Init: Fehler <2> beim Öffnen des Registry-Pfades <SOFTWARE\\TRUVO VeMo Compact>!"))
        << Narrow(noKey.Dump());
    // Without any switch no trace mutex is made, but the user-name mutex always is.
    EXPECT_FALSE(noKey.HasTrace(false, L"Init: Der Mutex <CDB_MUTEX_INTERN_TRACE> konnte erfolgreich erzeugt werden"));
    EXPECT_TRUE(noKey.HasTrace(false, L"Init: Der Mutex <CDB_MUTEX_GETUSERNAME> konnte erfolgreich erzeugt werden"));

    Scratch scratch;
    SetString(kProductKey, "LogVia_InternTrace", "ein");
    SetString(kProductKey, "ConfigDBLibDirsActive", "ein");
    SetString(kProductKey, "ConfigDBLibDirsDirectory", scratch.path() + "Fehlt");
    SetString(kProductKey, "ConfigDBTracingDirsActive", "EIN");
    SetString(kProductKey, "ConfigDBTracingDirsDirectory", scratch.path() + "AuchWeg");
    SetString(kProductKey, "ConfigDBLogDirB0003810", scratch.path() + "NichtDa");
    const ChildOutput child = RunChild({kOpInit});
    EXPECT_TRUE(child.HasTrace(true, L"Init: Fehler <2> beim Lesen des Eintrags \"LogVia_InternTraceDirectory\"!"))
        << Narrow(child.Dump());
    EXPECT_TRUE(child.HasTrace(true, Widen("Init: Verzeichnis <" + scratch.path() +
                                           "Fehlt> existiert nicht, um Pfade für Komponenten auszugeben!")));
    EXPECT_TRUE(child.HasTrace(true, Widen("Init: Verzeichnis <" + scratch.path() +
                                           "AuchWeg> existiert nicht, um alle Pfade für die B0003810 auszugeben!")));
    EXPECT_TRUE(child.HasTrace(true, Widen("Init: Verzeichnis <" + scratch.path() +
                                           "NichtDa> existiert nicht, um als alternativer Log-Pfad für die "
                                           "Komponente B0003810 zurückgegeben zu werden!")));
    EXPECT_FALSE(child.HasTrace(false, L"Init: Der Mutex <CDB_MUTEX_INTERN_TRACE> konnte erfolgreich erzeugt werden"));

    SetString(kProductKey, "LogVia_InternTrace", "aus");
    const ChildOutput switchedOff = RunChild({kOpInit});
    for (const char* name : {"ConfigDBTracingDirsActive", "ConfigDBLibDirsActive", "ConfigDBLogDirB0003810"}) {
        vemo::test::DeleteRegistryValue(Widen(kProductKey), Widen(name));
    }
    const ChildOutput empty = RunChild({kOpInit});
    for (const char* name : {"ConfigDBTracingDirsActive", "ConfigDBLibDirsActive", "ConfigDBLogDirB0003810"}) {
        EXPECT_TRUE(empty.HasTrace(false, Widen("Init: Fehler <2> beim Lesen des Eintrags \"" + std::string(name) +
                                                "\"!")))
            << name << Narrow(empty.Dump());
    }
    EXPECT_FALSE(switchedOff.HasTrace(false, L"Init: Fehler <2> beim Lesen des Eintrags \"LogVia_InternTrace\"!"))
        << Narrow(switchedOff.Dump());
    EXPECT_FALSE(switchedOff.HasTrace(true, L"Init: Fehler <2> beim Lesen des Eintrags \"LogVia_InternTraceDirectory\"!"));
}

TEST_F(ConfigDbTest, SwitchesAreReadOnlyOnce) {
    Scratch scratch;
    SetString(kProductKey, "LogVia_InternTraceDirectory", scratch.path());
    const ChildOutput child = RunChild({kOpInit, kOpSetString, Widen(kProductKey), L"LogVia_InternTrace", L"ein",
                                        kOpProgDir, Widen(UniqueComponentId()), L"0"});
    ASSERT_TRUE(child.finished);
    EXPECT_EQ(0u, child.exitCode) << Narrow(child.Dump());
    EXPECT_FALSE(Exists(scratch.path() + kInternLog));

    // This process started long ago; turning the switch on now changes nothing here either.
    SwitchInternalTraceOn(scratch.path());
    CDB_GetProgDir(UniqueComponentId(), false);
    EXPECT_FALSE(Exists(scratch.path() + kInternLog));
}

TEST_F(ConfigDbTest, PathLogGetsOneLinePerQuery) {
    Scratch scratch;
    SetString(kProductKey, "ConfigDBLibDirsActive", "ein");
    SetString(kProductKey, "ConfigDBLibDirsDirectory", scratch.path());
    const std::string id = UniqueComponentId();
    const ChildOutput child = RunChild({kOpProgDir, Widen(id), L"0", kOpLogDir, Widen(id), L"0"});
    ASSERT_TRUE(child.finished);

    const auto lines = FileLines(scratch.path() + kPathLog);
    ASSERT_EQ(2u, lines.size()) << ReadFileText(scratch.path() + kPathLog);
    EXPECT_EQ(id + " Programm <" + ExeDirectory() + ">", Parse(lines[0]).text);
    EXPECT_EQ(id + " Log <>", Parse(lines[1]).text);

    // Every query announces the path log before its own lines.
    const std::wstring announce =
        Widen("Init: Pfade für alle Komponenten werden bei jeder Abfrage nach <" + scratch.path() + kPathLog +
              "> ausgegeben");
    size_t announced = 0;
    bool announcedBeforeQuery = false;
    for (const auto& line : child.trace) {
        if (line.text == announce) ++announced;
        if (line.text.starts_with(L"CDB_GetProgDir: ") && announced > 0) announcedBeforeQuery = true;
    }
    EXPECT_GE(announced, 2u) << Narrow(child.Dump());
    EXPECT_TRUE(announcedBeforeQuery);
}

TEST_F(ConfigDbTest, OneTimeDumpOfTheOwnDirectories) {
    Scratch scratch;
    const std::string program = scratch.Sub(kOwnId);
    const std::string logOverride = scratch.Sub("Log");
    SetString(kProductKey, "ProgKey", program);
    SetString(kProductKey, "ConfigDBLogDirB0003810", logOverride);
    SetString(kProtectedDirectoriesKey, "SystemDir", scratch.Sub("System"));
    SetString(kProductKey, "ConfigDBTracingDirsActive", "ein");
    SetString(kProductKey, "ConfigDBTracingDirsDirectory", scratch.path());

    // The dump may create the product's data and user configuration directories.
    const std::string data = TempDirectory() + "Low\\Truvo\\Daten\\B0003810\\Data\\";
    const std::string userKonfig = KnownFolder(FOLDERID_RoamingAppData) + "Truvo\\Konfig\\VeMoCompact\\";
    CreatedTree dataGuard(data, 4, false);
    CreatedTree userKonfigGuard(userKonfig, 2, false);

    const ChildOutput child = RunChild({kOpInit});
    ASSERT_TRUE(child.finished);
    const std::string dumpFile = scratch.path() + kDumpLog;
    EXPECT_TRUE(child.HasTrace(false, Widen("Init: Pfade für B0003810 werden einmalig nach <" + dumpFile +
                                            "> ausgegeben")))
        << Narrow(child.Dump());
    const auto lines = FileLines(dumpFile);
    ASSERT_EQ(5u, lines.size()) << ReadFileText(dumpFile);
    EXPECT_EQ("Programm <" + program + "\\>", Parse(lines[0]).text);
    EXPECT_EQ("Daten <" + data + ">", Parse(lines[1]).text);
    EXPECT_EQ("Konfig <" + program + "\\>", Parse(lines[2]).text);
    EXPECT_EQ("Log <" + logOverride + "\\>", Parse(lines[3]).text);
    EXPECT_EQ("Konfig Benutzer <" + userKonfig + ">", Parse(lines[4]).text);
}

TEST_F(ConfigDbTest, LogDirectoryOverrideValidAtStart) {
    Scratch scratch;
    const std::string logOverride = scratch.Sub("Override");
    SetString(kProductKey, "ConfigDBLogDirB0003810", logOverride);
    Scratch registered;
    const std::string other = UniqueComponentId();
    SetString(ComponentVersionKey(other, "1.0") + "\\LogDir", "", registered.path());
    const ChildOutput child = RunChild({kOpLogDir, Widen(kOwnId), L"0", kOpLogDir, Widen(other), L"0"});
    ASSERT_TRUE(child.finished);
    EXPECT_EQ(Widen(logOverride + "\\"), child.Result("logdir", 0)) << Narrow(child.Dump());
    EXPECT_EQ(Widen(registered.path()), child.Result("logdir", 1));  // only "B0003810" is overridden
}

TEST_F(ConfigDbTest, LogDirectoryOverrideMissingAtStartIsIgnored) {
    Scratch scratch;
    const std::string late = scratch.path() + "Spaeter";
    SetString(kProductKey, "ConfigDBLogDirB0003810", late);
    const ChildOutput child = RunChild({kOpInit, kOpMkdir, Widen(late), kOpLogDir, Widen(kOwnId), L"0"});
    ASSERT_TRUE(child.finished);
    ASSERT_TRUE(Exists(late));
    EXPECT_NE(Widen(late + "\\"), child.Result("logdir")) << Narrow(child.Dump());
    EXPECT_NE(L"<none>", child.Result("logdir"));
}

// --- the shared diagnostic file -------------------------------------------------------------------

TEST_F(ConfigDbTest, TwoProcessesWritingOneFileLoseNoLine) {
    constexpr int kLinesPerChild = 200;
    Scratch scratch;
    SwitchInternalTraceOn(scratch.path());  // gives each child the trace mutex
    const std::string shared = scratch.path() + "gemeinsam.log";
    vemo::unique_handle go(::CreateEventW(nullptr, TRUE, FALSE, EventName("go").c_str()));
    vemo::unique_handle ready1(::CreateEventW(nullptr, TRUE, FALSE, EventName("ready1").c_str()));
    vemo::unique_handle ready2(::CreateEventW(nullptr, TRUE, FALSE, EventName("ready2").c_str()));
    ASSERT_TRUE(go && ready1 && ready2);

    auto operations = [&](const char* ready, const wchar_t* tag) {
        return std::vector<std::wstring>{kOpInit, kOpSignal, EventName(ready), kOpWait, EventName("go"), kOpIntern,
                                         Widen(shared), std::to_wstring(kLinesPerChild), tag};
    };
    AsyncChild first(operations("ready1", L"eins"));
    AsyncChild second(operations("ready2", L"zwei"));
    ASSERT_TRUE(first.started() && second.started());
    const HANDLE readies[] = {ready1.get(), ready2.get()};
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForMultipleObjects(2, readies, TRUE, kBoundMs));
    ::SetEvent(go.get());
    const ChildOutput firstOut = first.Wait();
    const ChildOutput secondOut = second.Wait();
    ASSERT_TRUE(firstOut.finished && secondOut.finished);
    EXPECT_EQ(0u, firstOut.exitCode);
    EXPECT_EQ(0u, secondOut.exitCode);

    std::map<std::string, int> seen;
    for (std::string line : FileLines(shared)) {
        // A writer that waited over a second still writes, marked; the line must be whole.
        if (line.starts_with(kTimeoutPrefix)) line.erase(0, std::size(kTimeoutPrefix) - 1);
        const ParsedLine parsed = Parse(line);
        ASSERT_TRUE(parsed.ok) << line;
        ++seen[parsed.text];
    }
    for (const char* tag : {"eins", "zwei"}) {
        for (int i = 0; i < kLinesPerChild; ++i) {
            EXPECT_EQ(1, seen[std::string(tag) + " " + std::to_string(i)]) << tag << " " << i;
        }
    }
    EXPECT_EQ(2u * kLinesPerChild, seen.size());
}

TEST_F(ConfigDbTest, AWriterBlockedOverASecondWritesWithTheTimeoutMark) {
    Scratch scratch;
    SwitchInternalTraceOn(scratch.path());
    const std::string file = scratch.path() + "blockiert.log";
    vemo::unique_handle go(::CreateEventW(nullptr, TRUE, FALSE, EventName("go_block").c_str()));
    vemo::unique_handle ready(::CreateEventW(nullptr, TRUE, FALSE, EventName("ready_block").c_str()));
    ASSERT_TRUE(go && ready);

    AsyncChild child({kOpInit, kOpSignal, EventName("ready_block"), kOpWait, EventName("go_block"), kOpIntern,
                      Widen(file), L"1", L"spaet"});
    ASSERT_TRUE(child.started());
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(ready.get(), kBoundMs));

    // Hold the child's trace mutex until it has written.
    vemo::unique_handle mutex(::CreateMutexW(nullptr, FALSE, kTraceMutex));
    ASSERT_TRUE(mutex);
    const DWORD wait = ::WaitForSingleObject(mutex.get(), kBoundMs);
    ASSERT_TRUE(wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED);
    ChildOutput output;
    {
        vemo::mutex_release_scope owned(mutex.get());
        ::SetEvent(go.get());
        output = child.Wait();
    }
    ASSERT_TRUE(output.finished);

    const auto lines = FileLines(file);
    ASSERT_EQ(1u, lines.size()) << ReadFileText(file);
    ASSERT_TRUE(lines[0].starts_with(kTimeoutPrefix)) << lines[0];
    const ParsedLine parsed = Parse(lines[0].substr(std::size(kTimeoutPrefix) - 1));
    EXPECT_TRUE(parsed.ok) << lines[0];
    EXPECT_EQ(output.pid, parsed.pid);
    EXPECT_EQ("spaet 0", parsed.text);
}
