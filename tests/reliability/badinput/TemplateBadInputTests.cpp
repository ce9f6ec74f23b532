// Path templates on hostile narrow paths: marks in any case, repeated, split, without their end,
// unknown ones, values and categories that hold marks themselves, code-page bytes, 64 KiB.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>

#include "BadInput.h"
#include "ConfigDbModel.h"
#include "VeMoHostPluginLib/PathTemplates.h"
#include "World.h"

namespace badinput {
namespace {

constexpr size_t kHugeChars = 65536;

constexpr const char* kMarks[] = {"{pid}", "{pname}", "{cat}", "{datejjjjmmtt}", "{datettmmjjjj}", "{tracelogdir}"};
constexpr const char* kJunk[] = {"{",  "}",       "(",   ")}",   "{foo}", "{{pid}}",  "{PID", "pid}", "{cat",
                                 "{p", "id}",     "\\",  "C:\\", "..\\",  "\xE4",     "\x80", "\xFF", " ",
                                 "%", "%TEMP%",   "{programdir(B0003810", "{konfigdir(", "{programdir)}",
                                 "{programdir()}", "{{", "}}", "{ pid}", "{pid }"};
constexpr const char* kCategories[] = {"",  "Kat", "{cat}", "{PID}", "{datejjjjmmtt}", "{programdir(B0009961)}",
                                       "{konfigdir(", "\xE4\x80", "{pname}{pname}", ")}"};
constexpr int kKindsInTable[] = {10, 11, 20, 30, 31, 40, 41, 50, 60};
constexpr int kKindsNotInTable[] = {0, 1, 12, 21, 32, 42, 51, 59, 61, 100, -1, INT_MAX, INT_MIN};

std::string RandomCase(Rng& rng, std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z' && rng.Chance(40)) c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::string Argument(Rng& rng, const std::vector<std::wstring>& ids) { return vemo::test::Narrow(rng.Pick(ids)); }

std::string HostilePath(Rng& rng) {
    const GeneratorWorld& world = TheWorld().generator();
    std::string path;
    const int pieces = rng.Between(0, 10);
    for (int i = 0; i < pieces; ++i) {
        switch (rng.Below(6)) {
            case 0: path += RandomCase(rng, rng.Pick(kMarks)); break;
            case 1: path += RandomCase(rng, "{konfigdir(") + Argument(rng, world.templateIds) + ")}"; break;
            case 2: path += RandomCase(rng, "{programdir(") + Argument(rng, world.templateIds) + ")}"; break;
            case 3: path += RandomCase(rng, "{logdir(") + Argument(rng, world.logIds) + ")}"; break;
            default: path += rng.Pick(kJunk); break;
        }
    }
    // An opening "{logdir(" only at the very end: closed by a later ")}" it would create a
    // directory named by whatever lies between.
    if (rng.Chance(5)) path += RandomCase(rng, "{logdir(B0009971");
    if (rng.Chance(1)) path = std::string(kHugeChars, 'x') + path + std::string(kHugeChars, 'y');
    return path;
}

void HostileTemplates(Rng& rng) {
    const std::string path = HostilePath(rng);
    std::string category = rng.Pick(kCategories);
    if (rng.Chance(3)) category = std::string(300, 'c');
    const std::string before = model::ExpandTemplates(path, category);
    std::string actual = path;
    EXPECT_TRUE(ExpandPathTemplates(actual, category));
    if (actual != before) {
        // Only a date that turned over while expanding may differ; ask again.
        EXPECT_EQ(model::ExpandTemplates(path, category), actual)
            << "path \"" << path.substr(0, 300) << "\", category \"" << category << "\"";
    }

    const int kind = rng.Chance(50) ? rng.Pick(kKindsInTable) : rng.Pick(kKindsNotInTable);
    std::string value = "unchanged";
    const bool known = std::find(std::begin(kKindsInTable), std::end(kKindsInTable), kind) != std::end(kKindsInTable);
    const std::string argument = Argument(rng, TheWorld().generator().templateIds);
    EXPECT_EQ(known, ExpandPathTemplate(kind, category, argument, value)) << "kind " << kind;
    switch (kind) {
        case 11: EXPECT_EQ(std::to_string(::GetCurrentProcessId()), value); break;
        case 20: EXPECT_EQ(category, value); break;
        case 50: EXPECT_EQ(model::KonfigDir(argument), value) << "argument \"" << argument << "\""; break;
        case 60: EXPECT_EQ(model::ProgDir(argument), value) << "argument \"" << argument << "\""; break;
        default: break;
    }
    ExpectNoCaughtExceptions("templates");
}

TEST(TemplateBadInput, ExpandsEveryMarkLeavesEverythingElseAndEnds) {
    ASSERT_TRUE(TheWorld().ready());
    RunCases("templates", 300, 3000, HostileTemplates);
}

}  // namespace
}  // namespace badinput
