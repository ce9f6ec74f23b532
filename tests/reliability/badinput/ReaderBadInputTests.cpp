// The configuration reader on single files: generated documents with hostile values in every
// encoding, files no parser accepts, and documents nested deeply. (The file of 10 000 plug-ins
// goes through discovery, which reads it with the same reader.)
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "BadInput.h"
#include "PluginDocuments.h"
#include "TestSupport.h"
#include "VeMoHostIntLib/PluginKonfig.h"
#include "World.h"

namespace badinput {
namespace {

constexpr wchar_t kFileName[] = L"B0000001.xml";
constexpr wchar_t kUnfilled[] = L"#unfilled#";
constexpr int kUnfilledTimeOut = -7;
constexpr int kLevelError = 2;
constexpr size_t kComponentIdLength = 8;
constexpr int kBrokenReadMaximum = 4;
// Wine's MSXML is built on libxml2, whose default limit refuses a document whose elements nest
// deeper than this (the root counts as 1); MSXML 3 on Windows has no limit.
constexpr int kWineDepthLimit = 257;

const std::string kInvalidComponentLine = "Ung\xfcltige Komponente in Tag <ignoreoninstalledcomponent> gefunden!";
std::string InvalidLengthLine(size_t length) {
    return "L\xe4nge von Tag <ignoreoninstalledcomponent> ist ung\xfcltig (" + std::to_string(length) + ")!";
}

std::vector<ExpectedPlugin> ExpectAll(const DocumentSpec& document) {
    std::vector<ExpectedPlugin> expected;
    for (const PluginSpec* plugin : PluginsInOrder(document)) expected.push_back(Expect(*plugin));
    return expected;
}

// Reads the file as discovery does: count, then at most maxCount descriptors. Descriptors the
// reader must not fill carry a marker, the one behind the maximum included.
void CheckRead(const std::wstring& file, const std::vector<ExpectedPlugin>& expected, int maxCount,
               const std::string& where) {
    std::vector<CPluginInfo> infos(static_cast<size_t>(maxCount) + 1);
    for (CPluginInfo& info : infos) {
        info._name = kUnfilled;
        info._timeOutUnload = kUnfilledTimeOut;
    }
    int count = -1;
    int filled = -1;
    try {
        CPluginConfig config(file.c_str());
        count = config.GetNumberOfPluginInfos();
        CPluginInfo* first = infos.data();
        filled = config.GetPluginInfo(&first, maxCount);
    } catch (const CXmlComError& e) {
        FAIL() << where << ": the reader raised DOM error 0x" << std::hex << e.Error();
    }
    EXPECT_EQ(static_cast<int>(expected.size()), count) << where << ": plug-in elements counted";

    std::vector<const ExpectedPlugin*> kept;
    std::map<std::string, int> rejectedLines;
    const size_t read = std::min(expected.size(), static_cast<size_t>(std::max(maxCount, 0)));
    for (size_t i = 0; i < read; ++i) {
        if (!expected[i].ignored) kept.push_back(&expected[i]);
        for (const std::wstring& list : expected[i].rejectedComponentLists) {
            ++rejectedLines[list.size() >= kComponentIdLength ? kInvalidComponentLine : InvalidLengthLine(list.size())];
        }
    }
    if (static_cast<int>(kept.size()) != filled) {
        std::string verdicts;
        for (size_t i = 0; i < read; ++i) {
            verdicts += "\n  element " + std::to_string(i) + " " + Describe(expected[i].name) +
                        (expected[i].ignored ? " ignored" : " kept") + ", components " + Describe(expected[i].components);
        }
        for (int i = 0; i < filled && i < maxCount; ++i) verdicts += "\n  filled " + Describe(infos[static_cast<size_t>(i)]._name);
        FAIL() << where << ": " << filled << " descriptors filled, expected " << kept.size() << " of " << read
               << " read:" << verdicts;
    }
    for (int i = 0; i < filled; ++i) {
        ExpectDescriptor(infos[static_cast<size_t>(i)], *kept[static_cast<size_t>(i)],
                         where + ", descriptor " + std::to_string(i));
        if (::testing::Test::HasFailure()) return;
    }
    for (size_t i = static_cast<size_t>(filled); i < infos.size(); ++i) {
        EXPECT_EQ(kUnfilled, infos[i]._name) << where << ": descriptor " << i << " written beyond the filled ones";
        EXPECT_EQ(kUnfilledTimeOut, infos[i]._timeOutUnload) << where << ": descriptor " << i;
    }
    for (const auto& [line, n] : rejectedLines) {
        EXPECT_EQ(n, CountTraced(kLevelError, line)) << where << ": " << line;
    }
}

std::wstring CaseFile(const char* group) {
    static std::map<std::string, std::wstring> directories;
    std::wstring& directory = directories[group];
    if (directory.empty()) directory = TheWorld().NewDirectory(L"reader");
    return directory + kFileName;
}

// VEMO_BADINPUT_KEEP=<file>: the last case's file is copied there, to look at a replayed case.
void KeepForReplay(const std::wstring& file) {
    wchar_t target[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(L"VEMO_BADINPUT_KEEP", target, MAX_PATH) > 0) ::CopyFileW(file.c_str(), target, FALSE);
}

// --- the kinds of input ----------------------------------------------------------------------

void HostileValues(Rng& rng) {
    const DocumentSpec document = GenerateDocument(rng, TheWorld().generator(), GeneratorOptions{});
    const auto encoding = static_cast<Encoding>(rng.Below(8));
    const std::wstring file = CaseFile("values");
    ASSERT_TRUE(WriteBytes(file, EncodeDocument(WriteDocument(rng, document, encoding), encoding)));
    const std::vector<ExpectedPlugin> expected = ExpectAll(document);
    const int all = static_cast<int>(expected.size());
    const int maxCount = rng.Chance(80) ? all : rng.Between(0, all);
    const std::string where = std::string("values in ") + EncodingName(encoding);
    CheckRead(file, expected, maxCount, where);
    KeepForReplay(file);
    CountExtra((std::string("reader.values/") + EncodingName(encoding)).c_str(), 1);
    ExpectNoCaughtExceptions(where);
}

void BrokenFiles(Rng& rng) {
    const auto breakage = static_cast<Breakage>(rng.Below(static_cast<uint32_t>(Breakage::kCount)));
    const std::wstring file = CaseFile("malformed");
    ASSERT_TRUE(WriteBytes(file, BrokenFile(rng, TheWorld().generator(), breakage)));
    const std::string where = std::string("broken: ") + BreakageName(breakage);
    CheckRead(file, {}, kBrokenReadMaximum, where);
    KeepForReplay(file);
    CountExtra((std::string("reader.malformed/") + BreakageName(breakage)).c_str(), 1);
    ExpectNoCaughtExceptions(where);
}

void DeepNesting(Rng& rng) {
    GeneratorOptions options;
    options.minPlugins = 1;
    options.maxPlugins = 4;
    options.hugePercentTenths = 0;
    const int depths[] = {240, 252, 256, 300, 1000, 100000};
    options.maxDepth = rng.Pick(depths);
    const DocumentSpec document = GenerateDocument(rng, TheWorld().generator(), options);
    const Encoding encoding = rng.Chance(50) ? Encoding::kUtf8 : Encoding::kUtf16LeBom;
    const std::wstring text = WriteDocument(rng, document, encoding);
    const std::wstring file = CaseFile("deep");
    ASSERT_TRUE(WriteBytes(file, EncodeDocument(text, encoding)));
    KeepForReplay(file);
    const int deepest = DeepestElement(text);
    const std::string where = "deepest element at level " + std::to_string(deepest);
    if (deepest > kWineDepthLimit && vemo::test::RunningUnderWine()) {
        // Wine: the whole document is refused, like a broken one; never a part of it.
        CheckRead(file, {}, options.maxPlugins, where + " (beyond Wine's limit)");
        CountExtra("reader.deep/beyond Wine's limit", 1);
    } else {
        CheckRead(file, ExpectAll(document), options.maxPlugins * 2, where);
        CountExtra("reader.deep/read", 1);
    }
    ExpectNoCaughtExceptions(where);
}

const Group kGroups[] = {
    {"reader.values", "HostileValuesInEveryEncoding", 200, 6000, HostileValues},
    {"reader.malformed", "FilesNoParserAccepts", 200, 2500, BrokenFiles},
    {"reader.deep", "DeeplyNestedDocuments", 30, 300, DeepNesting},
};

class ReaderBadInput : public ::testing::TestWithParam<Group> {
protected:
    void SetUp() override { ASSERT_TRUE(TheWorld().ready()); }
};

TEST_P(ReaderBadInput, ReadsExactlyWhatTheFileSaysAndNothingForABrokenOne) {
    RunCases(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Reader, ReaderBadInput, ::testing::ValuesIn(kGroups),
                         GroupName{});

}  // namespace
}  // namespace badinput
