// Path templates: marks regardless of case, every occurrence, unknown words left alone.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "VeMoHostPluginLib/PathTemplates.h"
#include "configdb/ConfigDB.h"

namespace {

std::string Pid() { return std::to_string(::GetCurrentProcessId()); }

std::string Expand(std::string path, const std::string& category = "") {
    EXPECT_TRUE(ExpandPathTemplates(path, category));
    return path;
}

TEST(PathTemplates, SimpleMarksIgnoreCaseAndRepeat) {
    EXPECT_EQ("C:\\Plain\\Path\\", Expand("C:\\Plain\\Path\\"));
    EXPECT_EQ("C:\\Logs\\" + Pid() + "\\Keep", Expand("C:\\Logs\\{PiD}\\Keep"));
    EXPECT_EQ(Pid() + "_" + Pid(), Expand("{pid}_{PID}"));
    EXPECT_EQ("C:\\{unknown}\\x", Expand("C:\\{unknown}\\x"));
    EXPECT_EQ("C:\\a\\b", Expand("C:\\a{cat}\\b"));
    EXPECT_EQ("C:\\aKat\\b", Expand("C:\\a{CAT}\\b", "Kat"));
    EXPECT_EQ("pathtemplate_tests.exe", Expand("{pname}") + ".exe");
}

TEST(PathTemplates, DatesFollowTheLocalClock) {
    const std::string ymd = Expand("{datejjjjmmtt}");
    const std::string dmy = Expand("{DateTTMMJJJJ}");
    ASSERT_EQ(8u, ymd.size());
    ASSERT_EQ(8u, dmy.size());
    EXPECT_EQ(ymd.substr(0, 4), dmy.substr(4, 4));
    EXPECT_EQ(ymd.substr(4, 2), dmy.substr(2, 2));
    EXPECT_EQ(ymd.substr(6, 2), dmy.substr(0, 2));
}

TEST(PathTemplates, ArgumentMarksAskConfigDbInLowerCase) {
    const std::string programDir = CDB_GetProgDir("b0003811", false);
    EXPECT_EQ("X" + programDir + "Plugins\\", Expand("X{ProgramDir(B0003811)}Plugins\\"));
    EXPECT_EQ(CDB_GetKonfigDir("b0003810") + "tail", Expand("{KONFIGDIR(B0003810)}tail"));
    EXPECT_EQ(CDB_GetLogDir("b0003812", true) + "f", Expand("{LOGDIR(B0003812)}f"));
    EXPECT_EQ(CDB_GetLogDir(CDB_COMPONENT_VEMO_COMPACT, true) + Pid(), Expand("{TraceLogDir}{pid}"));
    std::string value;
    EXPECT_TRUE(ExpandPathTemplate(kPathTemplateProgramDir, "", "b0003811", value));
    EXPECT_EQ(programDir, value);
    EXPECT_FALSE(ExpandPathTemplate(12, "", "", value));
}

TEST(PathTemplates, UnclosedMarksAndSelfReferringValuesTerminate) {
    // Without ")}" behind it the mark is left as written, in its own case, and later rows still run.
    EXPECT_EQ("A{programdir(b0003811", Expand("A{programdir(b0003811"));
    EXPECT_EQ("{LogDir(x" + Pid(), Expand("{LogDir(x{pid}"));
    // A category holding its own mark is inserted once, not expanded again by its row...
    EXPECT_EQ("a{cat}b", Expand("a{cat}b", "{cat}"));
    // ...but a later row expands what an earlier one inserted.
    EXPECT_EQ("a" + Expand("{datejjjjmmtt}") + "b", Expand("a{cat}b", "{DATEJJJJMMTT}"));
}

}  // namespace
