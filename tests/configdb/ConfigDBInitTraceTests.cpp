// ConfigDB's trace, its diagnostic files and the switches read at its start-up. ConfigDB reads
// its switches once per process, so these cases set the private hive here and run their checks in
// a child, which shares the hive and starts ConfigDB afresh; the child's argument is the scratch
// folder the parent made.
#include <gtest/gtest.h>

#include <regex>

#include "ConfigDbTest.h"
#include "configdb/ConfigDB.h"
#include "configdb/ConfigDBInternal.h"

using namespace cdbtest;
using vemo::test::ChildArgument;
using vemo::test::InChild;
using vemo::test::RunCurrentTestInChildren;

namespace {

// Lines written before the start-up made the mutex.
constexpr char kWaitFailedPrefix[] = "------> _InternTrace: Fehler <-1> bei WaitForSingleObject, eigentliche Trace-Zeile folgt:";

std::vector<std::string> FileLines(const std::string& path) {
    return vemo::test::SplitLines(vemo::test::ReadFileBytes(Widen(path)));
}
std::string ParentFolder() { return Narrow(ChildArgument()); }  // in a child: the parent's scratch folder
void SwitchInternalTraceOn(const std::string& directory, const char* value = "ein") {
    SetValues({std::string("{prod}|LogVia_InternTrace|") + value, "{prod}|LogVia_InternTraceDirectory|" + directory}, "", "");
}

}  // namespace

TEST_F(ConfigDbTest, TracerWriteReportsBadFormatsAndConvertsUmlauts) {
    configdb::_TracerWrite(false, "%s", "");
    configdb::_TracerWrite(true, "Prüfung <%d> %s", 5, "Größe");
    // Code page 1252 holds "€" at 0x80, which the C runtime's default locale reads as U+0080.
    configdb::_TracerWrite(true, "Kosten%s", "\x80");
    configdb::_TracerWrite(false, "Hinweis");
    EXPECT_EQ((std::vector<std::wstring>{L"E Fehler im Format des Tracing-Strings!", L"E Prüfung <5> Größe", L"E Kosten\u20AC",
                                         L"I Hinweis"}),
              trace.Lines());
}

// The internal trace wants "ein" in any case; its lines carry time, process, thread and level.
class InternalTraceSwitch : public ConfigDbTest, public ::testing::WithParamInterface<std::pair<const char*, bool>> {};

TEST_P(InternalTraceSwitch, WantsEinInAnyCase) {
    const auto [value, on] = GetParam();
    if (!InChild()) {
        const Scratch scratch;
        SwitchInternalTraceOn(scratch.path(), value);
        EXPECT_TRUE(RunCurrentTestInChildren(1, Widen(scratch.path())));
        return;
    }
    CDB_GetProgDir("B9999901", false);
    const auto lines = FileLines(ParentFolder() + "ConfigDB_Intern.log");
    ASSERT_EQ(on, !lines.empty());
    EXPECT_EQ(on, trace.Has(L"I Init: Der Mutex <CDB_MUTEX_INTERN_TRACE> konnte erfolgreich erzeugt werden"));
    // "dd.mm.yyyy hh:mm:ss.mmm [pid] [tid] INFO - text" or "... ERROR - text".
    const std::regex record("(" + std::string(kWaitFailedPrefix) + R"()?(0[1-9]|[12]\d|3[01])\.(0[1-9]|1[0-2])\.\d{4} ([01]\d|2[0-3]):[0-5]\d:[0-5]\d\.\d{3} \[)" +
                            std::to_string(::GetCurrentProcessId()) + R"(\] \[)" + std::to_string(::GetCurrentThreadId()) + R"(\] (INFO|ERROR) - .*)");
    size_t queryLines = 0;
    for (const std::string& line : lines) {
        EXPECT_TRUE(std::regex_match(line, record)) << line;
        queryLines += line.find("] INFO - CDB_GetProgDir: ") != std::string::npos;
    }
    if (!on) return;
    EXPECT_TRUE(lines.front().starts_with(kWaitFailedPrefix)) << "written before the start-up made the mutex";
    EXPECT_EQ(3u, queryLines);  // from the registry, no registry path, the verdict
    EXPECT_TRUE(lines.back().ends_with("] INFO - CDB_GetProgDir: Programmpfad <B9999901> = \"" + ExeDirectory() + "\"")) << lines.back();
}

INSTANTIATE_TEST_SUITE_P(Values, InternalTraceSwitch,
                         ::testing::Values(std::pair{"ein", true}, std::pair{"EIN", true}, std::pair{"Ein", true},
                                           std::pair{"1", false}, std::pair{"aus", false}));

// This process started long ago: switches and overrides set now change nothing here.
TEST_F(ConfigDbTest, SwitchesAndOverridesAreReadOnceAtTheStartUp) {
    const Scratch scratch;
    SwitchInternalTraceOn(scratch.path());
    SetValues({"{prod}|ConfigDBLibDirsActive|ein", "{prod}|ConfigDBLibDirsDirectory|{s}", "{prod}|ConfigDBLogDirB0003810|{s}"}, "",
              scratch.path());
    EXPECT_EQ(ExeDirectory(), CDB_GetProgDir(UniqueComponentId(), false));
    EXPECT_NE(scratch.path(), CDB_GetLogDir(kOwnId, false));
    EXPECT_TRUE(vemo::test::FileNamesIn(Widen(scratch.path())).empty());
}

// The log folder override of "B0003810", read at the start-up, counts for that component only.
TEST_F(ConfigDbTest, LogOverrideCountsForTheOwnComponentOnly) {
    if (InChild()) {
        EXPECT_EQ(ParentFolder() + "Log\\", CDB_GetLogDir(kOwnId, false));
        EXPECT_EQ(ParentFolder() + "Andere\\", CDB_GetLogDir("B9999902", false));
        return;
    }
    const Scratch scratch;
    SetValues({"{prod}|ConfigDBLogDirB0003810|{s}Log", "{v}\\LogDir||{s}Andere"}, "B9999902", scratch.path());
    for (const char* sub : {"Log", "Andere"}) scratch.Sub(sub);
    EXPECT_TRUE(RunCurrentTestInChildren(1, Widen(scratch.path())));
}
